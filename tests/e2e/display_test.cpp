// End-to-end runs of the built player whose applets open their first
// display from the header's display settings, on a private 1024x768 X
// server without a window manager: the window's place, size, title and
// every pixel are read back from the server while the applet waits for
// events, then a close request ends the run. Every run must end with no
// window of the program left and nothing on standard error (the sanitizers
// report there).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "display/display.h"
#include "display/display_private.h"
#include "tests/e2e/player_run.h"
#include "tests/e2e/window_check.h"
#include "tests/platform/xvfb.h"

namespace {

using e2e::Bytes;

// Xvfb with one 1024x768 screen of depth 24, and a connection of the
// test's own to read windows back.
class Screen {
 public:
  Screen() {
    if (server_.running()) x_ = XOpenDisplay(server_.name().c_str());
  }
  ~Screen() {
    if (x_) XCloseDisplay(x_);
  }
  Display* x() const { return x_; }
  const std::string& name() const { return server_.name(); }

  std::vector<Window> TopLevel() const {
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    std::vector<Window> list;
    if (XQueryTree(x_, DefaultRootWindow(x_), &root, &parent, &children, &count))
      list.assign(children, children + count);
    if (children) XFree(children);
    return list;
  }

 private:
  TestXServer server_{"1024x768x24"};
  Display* x_ = nullptr;
};

// Polls until the condition holds or the limit passes.
template <class F>
bool WaitFor(F condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class DisplayRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { screen_ = new Screen; }
  static void TearDownTestSuite() {
    delete screen_;
    screen_ = nullptr;
  }
  void SetUp() override {
    if (!screen_->x()) GTEST_SKIP() << "Xvfb is not available";
    ASSERT_EQ(access(e2e::PLAYER.c_str(), X_OK), 0)
        << "build the quillmere program first: " << e2e::PLAYER;
  }
  void ExpectCleanEnd(const e2e::RunResult& r) {
    EXPECT_EQ(r.err, "");
    XSync(screen_->x(), False);
    EXPECT_TRUE(screen_->TopLevel().empty()) << "a window of the program remains";
  }

  static Screen* screen_;
  e2e::TempDir dir_;
};
Screen* DisplayRun::screen_ = nullptr;

TEST_F(DisplayRun, FirstDisplayFromHeader) {
  struct Case {
    const char* name;
    std::string sections;
    int x, y;
  };
  const Case cases[] = {
      {"no position: centred", "", 192, 144},
      {"LEFT and TOP",
       ".applet section 6 be32:" + std::to_string(POS_LEFT) + " be32:" + std::to_string(POS_TOP) +
           "\n",
       0, 0},
      {"RIGHT and BOTTOM",
       ".applet section 6 be32:" + std::to_string(POS_RIGHT) +
           " be32:" + std::to_string(POS_BOTTOM) + "\n",
       384, 288},
      {"a plain position", ".applet section 6 be32:10 be32:20\n", 10, 20},
  };
  Display* x = screen_->x();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text =
        ".applet title \"Blue Window\"\n"
        ".applet section 3 be16:640 be16:480\n"
        ".applet section 5 be32:0x336699\n" +
        c.sections + e2e::WAIT_LOOP;
    e2e::WriteFile(dir_ / "a.qma", e2e::Assemble(text));
    e2e::Child player(e2e::PLAYER, {"-quiet", "-debugdevice", "stdout", dir_ / "a.qma"},
                      screen_->name(), dir_.path());

    Window window = 0;
    ASSERT_TRUE(WaitFor([&] {
      for (Window w : screen_->TopLevel()) {
        XWindowAttributes a;
        if (XGetWindowAttributes(x, w, &a) && a.map_state == IsViewable) window = w;
      }
      return window != 0 || player.Exited();
    }));
    ASSERT_NE(window, 0u) << "no window was shown";
    // The player takes the focus once its window is mapped, a moment after
    // the server shows it as viewable.
    Window focus = 0;
    WaitFor([&] {
      int revert = 0;
      XGetInputFocus(x, &focus, &revert);
      return focus == window || player.Exited();
    });
    EXPECT_EQ(focus, window) << "the first display's window does not hold the focus";
    XWindowAttributes a;
    ASSERT_TRUE(XGetWindowAttributes(x, window, &a));
    EXPECT_EQ(a.x, c.x);
    EXPECT_EQ(a.y, c.y);
    EXPECT_EQ(a.width, 640);
    EXPECT_EQ(a.height, 480);
    char* title = nullptr;
    ASSERT_TRUE(XFetchName(x, window, &title));
    EXPECT_STREQ(title, "Blue Window");
    XFree(title);

    // The first frame may still be on its way: wait until every pixel has
    // the display's colour.
    long wrong = -1;
    WaitFor([&] {
      XImage* image = XGetImage(x, window, 0, 0, 640, 480, AllPlanes, ZPixmap);
      if (!image) return false;
      wrong = 0;
      for (int py = 0; py < 480; py++)
        for (int px = 0; px < 640; px++)
          if ((XGetPixel(image, px, py) & 0xFFFFFF) != 0x336699) wrong++;
      XDestroyImage(image);
      return wrong == 0;
    });
    EXPECT_EQ(wrong, 0) << "pixels not $336699";

    // A close request without a handler ends the run.
    e2e::CloseWindow(x, window);
    e2e::RunResult r = player.Finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    ExpectCleanEnd(r);
  }
}

// An interval handler that prints and ends the run with End(7) while the
// main chunk waits for events: the exit status is End's value.
TEST_F(DisplayRun, IntervalHandlerEndsTheRun) {
  const char* text =
      ".applet section 5 be32:0x336699\n"
      ".line 1\n"
      "GETGLOBAL 0, \"setinterval\"\n"
      "LOADNIL 1, 1\n"
      "CLOSURE 2 tick\n"
      "LOADNUM 3, 20, 0\n"
      "CALL 0, 4, 1\n"
      "loop:\n"
      "GETGLOBAL 0, \"waitevent\"\n"
      "CALL 0, 1, 1\n"
      "JUMP loop\n"
      "RETURN 0, 1, 0\n"
      ".function tick\n"
      ".line 2\n"
      "GETGLOBAL 0, \"debugprint\"\n"
      "LOADCONST 1, \"tick\"\n"
      "CALL 0, 2, 1\n"
      "GETGLOBAL 0, \"end\"\n"
      "LOADNUM 1, 7, 0\n"
      "CALL 0, 2, 1\n"
      "RETURN 0, 1, 0\n"
      ".end\n";
  e2e::WriteFile(dir_ / "a.qma", e2e::Assemble(text));
  e2e::RunResult r = e2e::Run(e2e::PLAYER, {"-quiet", "-debugdevice", "stdout", dir_ / "a.qma"},
                              screen_->name(), dir_.path());
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.out, "tick\n");
  ExpectCleanEnd(r);
}

}  // namespace
