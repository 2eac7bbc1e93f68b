// Videos on a display of the X11 driver, under a private Xvfb: without a
// display adapter a video draws its frames straight into the window, the
// picture's drawing keeps out of its rectangle while it plays, and a
// change of the display's scale moves and sizes it with the picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "display/display.h"
#include "display/display_private.h"
#include "draw/draw.h"
#include "media/media.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "tests/display/display_fixture.h"
#include "tests/media/image_support.h"
#include "tests/support/harness.h"

namespace {

constexpr uint32_t BACKGROUND = 0x336699;

struct Fixture {
  std::string file;
  int32_t width, height;
  std::vector<std::vector<uint32_t>> rgb;  // each frame as 0x00RRGGBB
};

class X11Videos : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new DisplayTestServer("640x480x24");
    dir = new imagetest::TempDir;
    bool ok = false;
    imagetest::Shell(
        "/usr/bin/python3 '" QM_SOURCE_DIR "/tests/media/make_cdxl.py' '" + dir->path() + "'", &ok);
    ASSERT_TRUE(ok);
  }
  static void TearDownTestSuite() {
    delete server;
    delete dir;
    server = nullptr;
    dir = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server->running());
    setenv("DISPLAY", server->name().c_str(), 1);
    SetNoPointerThread(1);
    ASSERT_EQ(OpenX11Connection(), ERR_NONE);
    PlayerHarness::SetErrorRaising(1);
    for (ErrorCode (*open)(VmState*) : {OpenDisplayLibrary, OpenBGPicLibrary, OpenBrushLibrary,
                                        OpenDrawLibrary, OpenEventLibrary, OpenVideoLibrary}) {
      VmPushValue(h.L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(h.L), ERR_NONE);
      VmSetTop(h.L, 0);
    }
    probe = XOpenDisplay(server->name().c_str());
    ASSERT_NE(probe, nullptr);
  }
  void TearDown() override {
    FreeAllVideos(h.L);
    FreeAllEvents(h.L);
    FreeDrawTables(h.L);
    FreeAllBrushes(h.L);
    CloseDisplayLibrary(h.L);
    CloseX11Connection();
    if (probe) XCloseDisplay(probe);
    SetNoPointerThread(0);
    unsetenv("DISPLAY");
  }

  ErrorCode call(const char* name, std::initializer_list<double> args) {
    VmSetTop(h.L, 0);
    for (double a : args) VmPushNumber(h.L, a);
    ErrorCode e = h.Call(name, static_cast<int>(args.size()));
    VmSetTop(h.L, 0);
    return e;
  }
  void openDisplay(const Options& options) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, 1);
    PushOptions(h.L, options);
    ASSERT_EQ(h.Call("CreateDisplay", 2), ERR_NONE);
    VmSetTop(h.L, 0);
    ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
    ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  }
  void openVideo(const Fixture& f) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, 1);
    VmPushString(h.L, f.file.c_str());
    ASSERT_EQ(h.Call("OpenVideo", 2), ERR_NONE);
    VmSetTop(h.L, 0);
  }
  static Fixture pal4() {
    Fixture f{*dir / "pal4.cdxl", 40, 24, {}};
    auto bytes = imagetest::ReadFile(*dir / "pal4.rgb");
    const size_t n = 40 * 24;
    for (size_t at = 0; at + n * 3 <= bytes.size(); at += n * 3) {
      std::vector<uint32_t> frame(n);
      for (size_t i = 0; i < n; i++)
        frame[i] = (uint32_t{bytes[at + 3 * i]} << 16) | (uint32_t{bytes[at + 3 * i + 1]} << 8) |
                   bytes[at + 3 * i + 2];
      f.rgb.push_back(frame);
    }
    return f;
  }
  int32_t state() {
    VideoTestStats s{};
    EXPECT_EQ(GetVideoTestStats(ObjectId{nullptr, 1}, &s), ERR_NONE);
    return s.state;
  }
  void pollFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
      ErrorCode e = ERR_NONE;
      PollEvents(h.L, 1, 0, &e);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < end);
  }
  // The window's rectangle as 0x00RRGGBB words, every step-th pixel of
  // every step-th row.
  std::vector<uint32_t> window(int32_t x, int32_t y, int32_t w, int32_t h, int32_t step = 1) {
    XSync(d->x11->display, False);
    std::vector<uint32_t> out;
    XImage* image = XGetImage(probe, GetDisplayWindowId(d), x, y, static_cast<unsigned>(w),
                              static_cast<unsigned>(h), AllPlanes, ZPixmap);
    if (!image) return out;
    for (int32_t j = 0; j < h; j += step)
      for (int32_t i = 0; i < w; i += step)
        out.push_back(static_cast<uint32_t>(XGetPixel(image, i, j)) & 0xFFFFFF);
    XDestroyImage(image);
    return out;
  }
  int shownFrame(const Fixture& f, int32_t x, int32_t y, int32_t step = 1) {
    auto w = window(x, y, f.width * step, f.height * step, step);
    for (size_t i = 0; i < f.rgb.size(); i++)
      if (f.rgb[i] == w) return static_cast<int>(i);
    return -1;
  }
  // Polls until the video leaves state 1 (at most 5 s), noting the frames
  // shown at x, y in the order they come.
  std::vector<int> playThrough(const Fixture& f, int32_t x, int32_t y, int32_t step = 1) {
    std::vector<int> seen;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (state() == 1 && std::chrono::steady_clock::now() < end) {
      pollFor(10);
      const int shown = shownFrame(f, x, y, step);
      if (shown >= 0 && (seen.empty() || seen.back() != shown)) seen.push_back(shown);
    }
    pollFor(50);
    const int last = shownFrame(f, x, y, step);
    if (last >= 0 && (seen.empty() || seen.back() != last)) seen.push_back(last);
    return seen;
  }

  static inline DisplayTestServer* server = nullptr;
  static inline imagetest::TempDir* dir = nullptr;
  PlayerHarness h;
  Display* probe = nullptr;
  DisplayRecord* d = nullptr;
};

TEST_F(X11Videos, FramesGoStraightToTheWindowAndDrawingKeepsOutOfThem) {
  openDisplay({{"width", 200}, {"height", 120}, {"color", BACKGROUND}});
  const Fixture f = pal4();
  openVideo(f);
  ASSERT_EQ(call("PlayVideo", {1, 10, 20}), ERR_NONE);
  EXPECT_EQ(d->bgpic->sprites, nullptr);  // no sprite instance without an adapter
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (shownFrame(f, 10, 20) < 0 && std::chrono::steady_clock::now() < end) pollFor(10);
  ASSERT_EQ(call("PauseVideo", {1}), ERR_NONE);
  pollFor(20);
  const int held = shownFrame(f, 10, 20);
  ASSERT_GE(held, 0);
  EXPECT_EQ(call("BeginDoubleBuffer", {}), ERR_VIDATTACHED);
  // A box over everything goes around the video.
  constexpr uint32_t GREEN = 0x00FF00;
  ASSERT_EQ(call("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(call("Box", {0, 0, 200, 120, GREEN}), ERR_NONE);
  EXPECT_EQ(shownFrame(f, 10, 20), held);
  EXPECT_EQ(window(5, 5, 1, 1), std::vector<uint32_t>{GREEN});
  ASSERT_EQ(call("ResumeVideo", {1}), ERR_NONE);
  std::vector<int> seen = playThrough(f, 10, 20);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << testing::PrintToString(seen);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 9);  // the last frame stays
  EXPECT_EQ(state(), 4);
  // Stopped, the window shows what the picture holds there.
  ASSERT_EQ(call("StopVideo", {1}), ERR_NONE);
  EXPECT_EQ(window(10, 20, 1, 1), std::vector<uint32_t>{GREEN});
  EXPECT_EQ(call("BeginDoubleBuffer", {}), ERR_NONE);
  EXPECT_EQ(call("EndDoubleBuffer", {}), ERR_NONE);
}

// On an autoscaled display a video plays at the scaled place and size; a
// new scale moves and sizes it with the picture, and it stays paused.
TEST_F(X11Videos, AVideoFollowsTheDisplaysScale) {
  openDisplay({{"width", 200}, {"height", 120}, {"color", BACKGROUND}, {"scalefactor", 2}});
  const Fixture f = pal4();
  openVideo(f);
  ASSERT_EQ(call("PlayVideo", {1, 10, 20}), ERR_NONE);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (shownFrame(f, 20, 40, 2) < 0 && std::chrono::steady_clock::now() < end) pollFor(10);
  ASSERT_EQ(call("PauseVideo", {1}), ERR_NONE);
  pollFor(20);
  const int held = shownFrame(f, 20, 40, 2);
  ASSERT_GE(held, 0);
  ASSERT_EQ(ResizeDisplay(h.L, d, KEEPPOSITION, KEEPPOSITION, 600, 360, 0, 0, 0, RESIZE_USER),
            ERR_NONE);
  ASSERT_DOUBLE_EQ(d->scaleX, 3.0);
  pollFor(50);
  EXPECT_EQ(shownFrame(f, 30, 60, 3), held);
  EXPECT_EQ(window(20, 40, 1, 1), std::vector<uint32_t>{BACKGROUND});
  EXPECT_EQ(state(), 2);
}

// On a display scaled by 1.5 a 40 x 24 video played at 11, 21 covers the
// window pixels where a layer of its rectangle would lie: the coordinates
// of its first and last pixels scaled and rounded (16.5 to 17, 75 stays).
TEST_F(X11Videos, AVideoOnAScaledDisplayCoversItsPicturePixels) {
  openDisplay({{"width", 200}, {"height", 120}, {"color", BACKGROUND}, {"scalefactor", 1.5}});
  ASSERT_DOUBLE_EQ(d->scaleX, 1.5);
  openVideo(pal4());
  ASSERT_EQ(call("PlayVideo", {1, 11, 21}), ERR_NONE);
  struct Point {
    int32_t x, y, covered;
  } points[] = {{17, 32, 1}, {16, 32, 0}, {17, 31, 0}, {75, 66, 1}, {76, 66, 0}, {75, 67, 0}};
  for (const Point& p : points)
    EXPECT_EQ(IsVideoAtPosition(d, p.x, p.y), p.covered) << p.x << "," << p.y;
  ASSERT_EQ(call("StopVideo", {1}), ERR_NONE);
}

}  // namespace
