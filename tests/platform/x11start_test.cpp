// Start-up of the X11 back end against a server that resets when its last
// client leaves: the look at the server that start-up takes (for the desktop
// scale) and the default connection that windows use must be one unbroken
// stay, or a connection arriving during the reset is dropped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <X11/Xatom.h>

#include "platform/linux/x11_private.h"
#include "tests/platform/xvfb.h"

namespace {

// A root property lasts only as long as the server does not reset, so a
// mark set between the two steps shows whether the server stayed in use.
TEST(X11Start, ServerStaysInUseFromFirstLookToDefaultConnection) {
  TestXServer server(24, true);
  ASSERT_TRUE(server.running());
  setenv("DISPLAY", server.name().c_str(), 1);
  SetNoPointerThread(1);
  ASSERT_EQ(OpenX11Connection(), ERR_NONE);
  ASSERT_EQ(
      server.run({"xprop", "-root", "-f", "QM_START_MARK", "8s", "-set", "QM_START_MARK", "kept"}),
      0);
  X11ConnectionRecord* c = nullptr;
  ASSERT_EQ(GetX11Connection(nullptr, &c), ERR_NONE);
  Atom mark = XInternAtom(c->display, "QM_START_MARK", True);
  std::string value;
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (mark != None &&
      XGetWindowProperty(c->display, c->root, mark, 0, 64, False, AnyPropertyType, &type, &format,
                         &count, &after, &data) == Success &&
      data)
    value.assign(reinterpret_cast<const char*>(data), count);
  if (data) XFree(data);
  EXPECT_EQ(value, "kept");
  CloseX11Connection();
  SetNoPointerThread(0);
  unsetenv("DISPLAY");
}

}  // namespace
