// Commands run against a real X window: a private Xvfb of 640x480 without
// window manager for the suite, the X connection and the libraries a test
// names opened for each test, and the window's pixels read back with xwd.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "display/display_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "tests/display/display_fixture.h"
#include "tests/media/image_support.h"
#include "tests/support/harness.h"

class X11WindowTest : public ::testing::Test {
 protected:
  using Opener = ErrorCode (*)(VmState*);
  static void SetUpTestSuite() { server = new DisplayTestServer("640x480x24"); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  // Connects to the suite's server and opens the given libraries into the
  // globals, the display library among them.
  void Open(std::initializer_list<Opener> libraries) {
    ASSERT_TRUE(server->running());
    setenv("DISPLAY", server->name().c_str(), 1);
    SetNoPointerThread(1);
    ASSERT_EQ(OpenX11Connection(), ERR_NONE);
    for (Opener open : libraries) {
      VmPushValue(h.L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(h.L), ERR_NONE);
      VmSetTop(h.L, 0);
    }
  }
  // A test frees its objects first; the display library and the connection
  // then close here.
  virtual void FreeObjects() {}
  virtual void AfterDisplayClosed() {}
  void TearDown() override {
    FreeObjects();
    CloseDisplayLibrary(h.L);
    AfterDisplayClosed();
    CloseX11Connection();
    SetNoPointerThread(0);
    unsetenv("DISPLAY");
  }
  // The window's pixels as xwd reads them from the server.
  std::vector<uint32_t> Window() {
    XSync(d->x11->display, False);
    return imagetest::Words(imagetest::Shell("DISPLAY=" + server->name() + " xwd -silent -id " +
                                             std::to_string(GetDisplayWindowId(d)) +
                                             " | xwdtopnm | convert pnm:- -depth 8 rgb:-"),
                            3);
  }

  static inline DisplayTestServer* server = nullptr;
  PlayerHarness h;
  DisplayRecord* d = nullptr;
};
