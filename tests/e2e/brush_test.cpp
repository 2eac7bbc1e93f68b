// End-to-end brushes: an applet loads an opaque and an RGBA PNG, grabs a
// part of the desktop and shows all three on its first display, on a
// private X server; the window's pixels are read back from the server and
// compared with what ImageMagick makes of the same files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "tests/e2e/player_run.h"
#include "tests/media/image_support.h"
#include "tests/platform/xvfb.h"

namespace {

using imagetest::Shell;
using imagetest::Words;

constexpr uint32_t BACKGROUND = 0x336699;
constexpr uint32_t DESKTOP = 0x123456;

template <class F>
bool WaitFor(F condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The window's rectangle, 0xRRGGBB row by row (empty when unreadable).
std::vector<uint32_t> WindowRect(Display* x, Window w, int left, int top, int width, int height) {
  std::vector<uint32_t> out;
  XImage* image = XGetImage(x, w, left, top, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (!image) return out;
  for (int py = 0; py < height; py++)
    for (int px = 0; px < width; px++)
      out.push_back(static_cast<uint32_t>(XGetPixel(image, px, py)) & 0xFFFFFF);
  XDestroyImage(image);
  return out;
}

TEST(BrushRun, LoadedAndGrabbedBrushesReachTheWindow) {
  TestXServer server("1024x768x24");
  if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
  ASSERT_EQ(access(e2e::PLAYER.c_str(), X_OK), 0) << "build the quillmere program first";
  Display* x = XOpenDisplay(server.name().c_str());
  ASSERT_NE(x, nullptr);
  // The desktop's colour, where no window covers it.
  Window root = DefaultRootWindow(x);
  XSetWindowBackground(x, root, DESKTOP);
  XClearWindow(x, root);
  XSync(x, False);

  e2e::TempDir dir;
  const std::string opaque = dir / "f.png", rgba = dir / "a.png";
  Shell(
      "convert -size 40x30 xc: -channel R -fx 'i/39' -channel G -fx 'j/29' -channel B -fx "
      "'((i*7+j*3)%17)/16' +channel -alpha off -depth 8 '" +
      opaque + "'");
  Shell(
      "convert -size 20x10 xc:'#ff8000' -alpha set -channel A -fx 'i/20' +channel "
      "-bordercolor none -border 3 -depth 8 '" +
      rgba + "'");
  Shell("convert -size 26x16 xc:'#336699' '" + (dir / "bg.png") + "'");
  const std::vector<uint32_t> wantOpaque =
      Words(Shell("convert '" + opaque + "' -depth 8 rgb:-"), 3);
  const std::vector<uint32_t> wantRgba = Words(
      Shell("convert '" + (dir / "bg.png") + "' '" + rgba + "' -composite -depth 8 rgb:-"), 3);
  ASSERT_EQ(wantOpaque.size(), 40u * 30u);
  ASSERT_EQ(wantRgba.size(), 26u * 16u);

  // LoadBrush(1, "f.png"); DisplayBrush(1, 10, 20); LoadBrush(2, "a.png",
  // {loadalpha = 1}); DisplayBrush(2, 100, 20); GrabDesktop(3, {width = 8,
  // height = 8}); DisplayBrush(3, 200, 20); then wait.
  std::string text =
      ".applet section 3 be16:640 be16:480\n"
      ".applet section 5 be32:0x336699\n"
      ".line 1\n"
      "GETGLOBAL 0, \"loadbrush\"\n"
      "LOADNUM 1, 1\n"
      "LOADCONST 2, \"f.png\"\n"
      "CALL 0, 3, 1\n"
      "GETGLOBAL 0, \"displaybrush\"\n"
      "LOADNUM 1, 1\n"
      "LOADNUM 2, 10\n"
      "LOADNUM 3, 20\n"
      "CALL 0, 4, 1\n"
      "GETGLOBAL 0, \"loadbrush\"\n"
      "LOADNUM 1, 2\n"
      "LOADCONST 2, \"a.png\"\n"
      "NEWTABLE 3, 0, 1\n"
      "LOADNUM 4, 1\n"
      "SETTABLE 3, \"loadalpha\", 4\n"
      "CALL 0, 4, 1\n"
      "GETGLOBAL 0, \"displaybrush\"\n"
      "LOADNUM 1, 2\n"
      "LOADNUM 2, 100\n"
      "LOADNUM 3, 20\n"
      "CALL 0, 4, 1\n"
      "GETGLOBAL 0, \"grabdesktop\"\n"
      "LOADNUM 1, 3\n"
      "NEWTABLE 2, 0, 2\n"
      "LOADNUM 3, 8\n"
      "SETTABLE 2, \"width\", 3\n"
      "SETTABLE 2, \"height\", 3\n"
      "CALL 0, 3, 1\n"
      "GETGLOBAL 0, \"displaybrush\"\n"
      "LOADNUM 1, 3\n"
      "LOADNUM 2, 200\n"
      "LOADNUM 3, 20\n"
      "CALL 0, 4, 1\n" +
      std::string(e2e::WAIT_LOOP);
  e2e::WriteFile(dir / "a.qma", e2e::Assemble(text));
  e2e::Child player(e2e::PLAYER, {"-debugdevice", "stdout", dir / "a.qma"}, server.name(),
                    dir.path());

  Window window = 0;
  ASSERT_TRUE(WaitFor([&] {
    Window r, parent, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(x, root, &r, &parent, &children, &count))
      for (unsigned i = 0; i < count; i++) {
        XWindowAttributes a;
        if (XGetWindowAttributes(x, children[i], &a) && a.map_state == IsViewable)
          window = children[i];
      }
    if (children) XFree(children);
    return window != 0 || player.Exited();
  }));
  ASSERT_NE(window, 0u) << "no window was shown";

  // The first frame may still be on its way.
  std::vector<uint32_t> got;
  WaitFor([&] { return (got = WindowRect(x, window, 10, 20, 40, 30)) == wantOpaque; });
  EXPECT_EQ(got, wantOpaque);
  // So may the frames of the later brushes.
  int worst = 0;
  WaitFor([&] {
    got = WindowRect(x, window, 100, 20, 26, 16);
    if (got.size() != wantRgba.size()) return false;
    worst = 0;
    for (size_t i = 0; i < got.size(); i++)
      for (int shift : {0, 8, 16})
        worst = std::max(worst, std::abs(static_cast<int>((got[i] >> shift) & 0xFF) -
                                         static_cast<int>((wantRgba[i] >> shift) & 0xFF)));
    return worst <= 1;
  });
  ASSERT_EQ(got.size(), wantRgba.size());
  EXPECT_LE(worst, 1);
  WaitFor(
      [&] { return WindowRect(x, window, 200, 20, 8, 8) == std::vector<uint32_t>(64, DESKTOP); });
  EXPECT_EQ(WindowRect(x, window, 200, 20, 8, 8), std::vector<uint32_t>(64, DESKTOP));
  EXPECT_EQ(WindowRect(x, window, 208, 20, 1, 1), std::vector<uint32_t>(1, BACKGROUND));

  XEvent close{};
  close.xclient.type = ClientMessage;
  close.xclient.window = window;
  close.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
  close.xclient.format = 32;
  close.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
  close.xclient.data.l[1] = CurrentTime;
  XSendEvent(x, window, False, NoEventMask, &close);
  XFlush(x);
  e2e::RunResult r = player.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Loading brush f.png"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
  XCloseDisplay(x);
}

}  // namespace
