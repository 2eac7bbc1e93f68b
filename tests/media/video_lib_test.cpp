// The video library on the test display adapter, with CDXL files from the
// generator: the command rules and their errors, frames grabbed into
// brushes, and playback: threads per video, frames reaching the window in
// order, the end, seeking and resizing while paused, a closed display
// suspending its videos, and stops, closes and shut-down while playing
// leaving no thread, leak or pending frame.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "fx/fx.h"
#include "media/audio_private.h"
#include "media/image_private.h"
#include "media/media.h"
#include "media/video_private.h"
#include "tests/gfx/display_fixture.h"
#include "tests/media/image_support.h"

using gfxtest::DisplayTest;
using imagetest::Shell;
using imagetest::TempDir;

namespace {

struct Fixture {
  std::string file;
  int32_t width, height, frames;
  std::vector<std::vector<uint32_t>> rgb;  // each frame as 0x00RRGGBB
};

class Videos : public DisplayTest {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    bool ok = false;
    Shell("/usr/bin/python3 '" QM_SOURCE_DIR "/tests/media/make_cdxl.py' '" + dir->path() + "'",
          &ok);
    ASSERT_TRUE(ok);
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  void SetUp() override {
    DisplayTest::SetUp();
    InstallImageFileWriters();  // DumpVideo writes PNG files
    for (ErrorCode (*open)(VmState*) : {OpenEventLibrary, OpenVideoLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
  }
  void TearDown() override {
    FreeAllVideos(L);
    FreeAllEvents(L);
    DisplayTest::TearDown();
  }

  static Fixture load(const std::string& name, int32_t w, int32_t h, int32_t frames) {
    Fixture f{*dir / (name + ".cdxl"), w, h, frames, {}};
    auto bytes = imagetest::ReadFile(*dir / (name + ".rgb"));
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    for (size_t at = 0; at + n * 3 <= bytes.size(); at += n * 3) {
      std::vector<uint32_t> frame(n);
      for (size_t i = 0; i < n; i++)
        frame[i] = (uint32_t{bytes[at + 3 * i]} << 16) | (uint32_t{bytes[at + 3 * i + 1]} << 8) |
                   bytes[at + 3 * i + 2];
      f.rgb.push_back(frame);
    }
    return f;
  }
  static Fixture pal4() { return load("pal4", 40, 24, 10); }
  static Fixture pal8snd() { return load("pal8snd", 48, 20, 6); }

  VideoTestStats stats(int id) {
    VideoTestStats s{};
    EXPECT_EQ(GetVideoTestStats(ObjectId{nullptr, id}, &s), ERR_NONE);
    return s;
  }
  // Runs the event poll (which installs pending frames) for ms.
  void pollFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
      ErrorCode e = ERR_NONE;
      PollEvents(L, 1, 0, &e);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < end);
  }
  // The window's rectangle at x, y as 0x00RRGGBB words.
  std::vector<uint32_t> window(int32_t x, int32_t y, int32_t w, int32_t h) {
    std::vector<uint32_t> out;
    for (int32_t j = 0; j < h; j++)
      for (int32_t i = 0; i < w; i++) out.push_back(At(x + i, y + j));
    return out;
  }
  // Which frame of the fixture the window shows at x, y; -1 for none.
  int shownFrame(const Fixture& f, int32_t x, int32_t y) {
    auto w = window(x, y, f.width, f.height);
    for (size_t i = 0; i < f.rgb.size(); i++)
      if (f.rgb[i] == w) return static_cast<int>(i);
    return -1;
  }
  // A brush's pixels as 0x00RRGGBB words.
  std::vector<uint32_t> brushPixels(ObjectId id) {
    BrushObject* b = nullptr;
    EXPECT_EQ(GetBrushObject(L, id, &b, 0), ERR_NONE);
    if (!b) return {};
    uint32_t* p = ReadBitmapRectARGB(b->bitmap, 0, 0, b->width, b->height, 0);
    std::vector<uint32_t> out(p, p + static_cast<size_t>(b->width) * b->height);
    FreeMemory(p);
    for (uint32_t& v : out) v &= 0xFFFFFF;
    return out;
  }
  static TempDir* dir;
};
TempDir* Videos::dir = nullptr;

TEST_F(Videos, CommandRules) {
  OpenDisplay(200, 120);
  const Fixture f = pal4();
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  const std::string zero = *dir / "bad_zero_chunk.cdxl", second = *dir / "bad_second_size.cdxl";
  struct Case {
    const char* what;
    const char* command;
    std::vector<Value> args;
    ErrorCode want;
  } cases[] = {
      {"pause stopped", "PauseVideo", {1}, ERR_VIDNOTPLAYING},
      {"resume stopped", "ResumeVideo", {1}, ERR_VIDNOTPAUSED},
      {"stop stopped", "StopVideo", {1}, ERR_VIDSTOPPED},
      {"seek to the duration", "SeekVideo", {1, 833}, ERR_SEEKRANGE},
      {"seek to duration - 1", "SeekVideo", {1, 832}, ERR_NONE},
      {"seek back to the start", "SeekVideo", {1, 0}, ERR_NONE},
      {"frame 0", "GetVideoFrame", {5, 0, 1}, ERR_VIDEOFRAME},
      {"frame past the end", "GetVideoFrame", {5, 11, 1}, ERR_VIDEOFRAME},
      {"grab mode 2", "GetVideoFrame", {5, 1, 1, 2}, ERR_WRONGUSAGE},
      {"grab time = duration", "GetVideoFrame", {5, 833, 1, 1}, ERR_SEEKRANGE},
      {"zero width", "SetVideoSize", {1, 0, 10}, ERR_BADDIMENSIONS},
      {"uselayer without layers",
       "PlayVideo",
       {1, 0, 0, Value::Table({{"uselayer", true}})},
       ERR_NOLAYERS},
      {"frame layer without layers", "DisplayVideoFrame", {1, 0, 0, 0}, ERR_NOLAYERS},
      {"unknown number", "StopVideo", {9}, ERR_FINDVIDEO},
      {"driver 7", "ForceVideoDriver", {7}, ERR_NONE},
      {"video mode", "ForceVideoMode", {1}, ERR_UNSUPPORTEDFEAT},
      {"export format 5", "DumpVideo", {1, 0, 0, "/nonexistent/x", 5}, ERR_WRONGUSAGE},
      {"bad header", "OpenVideo", {2, zero.c_str()}, ERR_LOADVIDEO},
      {"second chunk size", "OpenVideo", {2, second.c_str()}, ERR_LOADVIDEO},
  };
  for (const Case& c : cases) EXPECT_EQ(CallWith(c.command, c.args), c.want) << c.what;
  ASSERT_EQ(CallWith("PlayVideo", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("PlayVideo", {1}), ERR_VIDPLAYING);
  EXPECT_EQ(CallWith("GetVideoFrame", {5, 1, 1}), ERR_FGRABVIDSTATE);
  EXPECT_EQ(CallWith("DumpVideo", {1}), ERR_WRONGUSAGE);
  EXPECT_EQ(CallWith("ResumeVideo", {1}), ERR_VIDNOTPAUSED);
  ASSERT_EQ(CallWith("PauseVideo", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("PauseVideo", {1}), ERR_VIDNOTPLAYING);
  EXPECT_EQ(CallWith("PlayVideo", {1}), ERR_VIDPAUSED);
  ASSERT_EQ(CallWith("StopVideo", {1}), ERR_NONE);

  struct Volume {
    Value given;
    int32_t stored;
  } volumes[] = {{100, 64}, {-1, 0}, {32, 32}, {"50%", 32}};
  for (const Volume& v : volumes) {
    ASSERT_EQ(CallWith("SetVideoVolume", {1, v.given}), ERR_NONE);
    EXPECT_EQ(stats(1).volume, v.stored);
  }
  // The driver switch: "native" takes no file on this platform.
  EXPECT_EQ(CallWith("ForceVideoDriver", {0}), ERR_NONE);
  EXPECT_EQ(CallWith("OpenVideo", {2, f.file.c_str()}), ERR_LOADVIDEO);
  EXPECT_EQ(CallWith("IsVideo", {f.file.c_str()}), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>{1});
  EXPECT_EQ(CallWith("ForceVideoDriver", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("OpenVideo", {2, f.file.c_str()}), ERR_NONE);
  EXPECT_EQ(CallWith("IsVideo", {(*dir / "bad_type.cdxl").c_str()}), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>{0});
}

TEST_F(Videos, GrabbedFramesEqualTheFilesFrames) {
  OpenDisplay(64, 64);
  const Fixture f = pal8snd();
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  // Mode 0 by frame number, out of order; mode 1 by time (12 fps).
  struct Case {
    int32_t position, mode, frame;
  } cases[] = {{1, 0, 0}, {4, 0, 3},   {4, 0, 3},   {2, 0, 1}, {6, 0, 5},
               {0, 1, 0}, {250, 1, 3}, {499, 1, 5}, {3, 0, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.position << " mode " << c.mode);
    ASSERT_EQ(CallWith("GetVideoFrame", {7, c.position, 1, c.mode}), ERR_NONE);
    EXPECT_TRUE(brushPixels(ObjectId{nullptr, 7}) == f.rgb[static_cast<size_t>(c.frame)]);
  }
  // An automatic brush id comes back.
  VmPushNil(L);
  VmPushNumber(L, 1);
  VmPushNumber(L, 1);
  ASSERT_EQ(Call("GetVideoFrame", 3), ERR_NONE);
  EXPECT_EQ(lastTypes.size(), 1u);
}

// The size, scaling, driver and loader a video reports, stopped and bound,
// and the points of the display that a bound video covers.
TEST_F(Videos, AttributesAndCoveredPoints) {
  OpenDisplay(200, 120);
  ASSERT_EQ(CallWith("OpenVideo", {1, pal4().file.c_str()}), ERR_NONE);
  auto attribute = [&](int32_t which) {
    std::string text;
    for (double n : {double(OBJTYPE_VIDEO), 1.0, double(which)}) VmPushNumber(L, n);
    const ErrorCode e = testcall::CallCollecting(L, "GetAttribute", 3, [&](VmState* S, int i) {
      text = VmType(S, i) == VM_TYPE_STRING ? VmToString(S, i) : std::to_string(VmToNumber(S, i));
    });
    EXPECT_EQ(e, ERR_NONE) << which;
    return text;
  };
  struct Case {
    int32_t attribute;
    const char* stopped;  // as opened, 40x24
    const char* resized;  // SetVideoSize(1, 80, 48, 1) while stopped
  } cases[] = {
      {ATTRSCALEMODE, "0.000000", "1.000000"},     {ATTRSCALEWIDTH, "40.000000", "80.000000"},
      {ATTRSCALEHEIGHT, "24.000000", "48.000000"}, {ATTRDRIVER, "1.000000", "1.000000"},
      {ATTRLOADER, "inbuilt", "inbuilt"},          {ATTRWIDTH, "40.000000", "80.000000"},
  };
  for (const Case& c : cases) EXPECT_EQ(attribute(c.attribute), c.stopped) << c.attribute;
  ASSERT_EQ(CallWith("SetVideoSize", {1, 80, 48, 1}), ERR_NONE);
  for (const Case& c : cases) EXPECT_EQ(attribute(c.attribute), c.resized) << c.attribute;

  EXPECT_EQ(IsVideoAtPosition(d, 10, 20), 0);  // not bound yet
  ASSERT_EQ(CallWith("PlayVideo", {1, 10, 20}), ERR_NONE);
  struct Point {
    int32_t x, y, covered;
  } points[] = {{10, 20, 1}, {9, 20, 0},  {10, 19, 0}, {89, 67, 1},
                {90, 67, 0}, {89, 68, 0}, {50, 40, 1}};
  for (const Point& p : points)
    EXPECT_EQ(IsVideoAtPosition(d, p.x, p.y), p.covered) << p.x << "," << p.y;
  EXPECT_EQ(attribute(ATTRSCALEWIDTH), "80.000000");
  ASSERT_EQ(CallWith("StopVideo", {1}), ERR_NONE);
  EXPECT_EQ(IsVideoAtPosition(d, 10, 20), 0);
}

TEST_F(Videos, PlaybackShowsTheFramesInOrderAndEnds) {
  OpenDisplay(200, 120);
  const Fixture f = pal4();
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {1, 10, 20}), ERR_NONE);
  EXPECT_EQ(stats(1).threads, 3);
  std::vector<int> seen;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (stats(1).state == 1 && std::chrono::steady_clock::now() < end) {
    pollFor(10);
    const int shown = shownFrame(f, 10, 20);
    if (shown >= 0 && (seen.empty() || seen.back() != shown)) seen.push_back(shown);
  }
  pollFor(50);
  const int last = shownFrame(f, 10, 20);
  if (seen.empty() || seen.back() != last) seen.push_back(last);
  EXPECT_EQ(stats(1).state, 4);
  EXPECT_EQ(CallWith("IsVideoPlaying", {1}), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>{0});
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << testing::PrintToString(seen);
  EXPECT_GE(seen.size(), 5u) << testing::PrintToString(seen);
  EXPECT_EQ(last, 9);  // the last frame stays
  const VideoTestStats s = stats(1);
  EXPECT_EQ(s.presented + s.dropped, 10);
  // A finished video plays again from the start.
  ASSERT_EQ(CallWith("PlayVideo", {1, 10, 20}), ERR_NONE);
  ASSERT_EQ(CallWith("StopVideo", {1}), ERR_NONE);
  EXPECT_EQ(stats(1).threads, 0);
}

TEST_F(Videos, SoundAddsTheAudioThread) {
  OpenDisplay(100, 100);
  ASSERT_EQ(CallWith("OpenVideo", {1, pal8snd().file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {1}), ERR_NONE);
  EXPECT_EQ(stats(1).threads, 4);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (stats(1).state == 1 && std::chrono::steady_clock::now() < end) pollFor(10);
  EXPECT_EQ(stats(1).state, 4);
  EXPECT_EQ(stats(1).presented + stats(1).dropped, 6);
}

TEST_F(Videos, PausedSeeksAndResizesShowTheHeldFrame) {
  OpenDisplay(200, 120);
  const Fixture f = pal4();
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {1, 0, 0}), ERR_NONE);
  pollFor(100);
  ASSERT_EQ(CallWith("PauseVideo", {1}), ERR_NONE);
  // 12 fps: 500 ms is frame 6.
  ASSERT_EQ(CallWith("SeekVideo", {1, 500}), ERR_NONE);
  pollFor(150);
  EXPECT_EQ(shownFrame(f, 0, 0), 6);
  EXPECT_EQ(stats(1).state, 2);
  ASSERT_EQ(CallWith("SetVideoSize", {1, 80, 48}), ERR_NONE);
  pollFor(50);
  // Doubled by nearest neighbour: every second pixel of each second row.
  std::vector<uint32_t> big = window(0, 0, 80, 48), half;
  for (int32_t y = 0; y < 48; y += 2)
    for (int32_t x = 0; x < 80; x += 2) half.push_back(big[static_cast<size_t>(y * 80 + x)]);
  EXPECT_TRUE(half == f.rgb[6]);
  EXPECT_EQ(stats(1).state, 2);
  ASSERT_EQ(CallWith("ResumeVideo", {1}), ERR_NONE);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (stats(1).state == 1 && std::chrono::steady_clock::now() < end) pollFor(10);
  EXPECT_EQ(stats(1).state, 4);
}

// Paused while both frame entries wait to be shown, a video is resized at
// once and shows the frame it held at the new size.
TEST_F(Videos, APausedVideoWithQueuedFramesResizes) {
  OpenDisplay(200, 120);
  const Fixture f = pal4();
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {1, 0, 0}), ERR_NONE);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (shownFrame(f, 0, 0) < 0 && std::chrono::steady_clock::now() < end) pollFor(10);
  ASSERT_EQ(CallWith("PauseVideo", {1}), ERR_NONE);
  pollFor(20);
  const int held = shownFrame(f, 0, 0);
  ASSERT_GE(held, 0);
  ASSERT_EQ(CallWith("SetVideoSize", {1, 80, 48}), ERR_NONE);
  pollFor(50);
  std::vector<uint32_t> big = window(0, 0, 80, 48), half;
  for (int32_t y = 0; y < 48; y += 2)
    for (int32_t x = 0; x < 80; x += 2) half.push_back(big[static_cast<size_t>(y * 80 + x)]);
  EXPECT_TRUE(half == f.rgb[static_cast<size_t>(held)]);
  EXPECT_EQ(stats(1).state, 2);
}

TEST_F(Videos, ClosingTheDisplaySuspendsItsVideos) {
  OpenDisplay(200, 120);
  ASSERT_EQ(CallWith("OpenVideo", {1, pal4().file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {1}), ERR_NONE);
  pollFor(50);
  ASSERT_EQ(CloseDisplayWindow(L, d, nullptr, CLOSE_KEEPBRUSHES), ERR_NONE);
  EXPECT_EQ(stats(1).state, 3);
  const int64_t before = stats(1).presented;
  pollFor(150);
  EXPECT_EQ(stats(1).presented - before, 0);  // nothing is drawn while suspended
  ASSERT_EQ(OpenDisplayWindow(L, d, 0), ERR_NONE);
  EXPECT_EQ(stats(1).state, 1);
}

// Stops, closes and pauses in quick succession, and shut-down with videos
// still playing: ASan finds any thread, leak or pending frame left.
TEST_F(Videos, StopCloseAndShutDownWhilePlaying) {
  OpenDisplay(200, 120);
  const Fixture f = pal8snd();
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  for (int i = 0; i < 5; i++) {
    ASSERT_EQ(CallWith("PlayVideo", {1}), ERR_NONE);
    pollFor(i * 7);
    ASSERT_EQ(CallWith("StopVideo", {1}), ERR_NONE);
    EXPECT_EQ(stats(1).threads, 0);
  }
  ASSERT_EQ(CallWith("PlayVideo", {1}), ERR_NONE);
  for (int i = 0; i < 5; i++) {
    ASSERT_EQ(CallWith("PauseVideo", {1}), ERR_NONE);
    ASSERT_EQ(CallWith("SeekVideo", {1, 100 * i}), ERR_NONE);
    ASSERT_EQ(CallWith("ResumeVideo", {1}), ERR_NONE);
  }
  ASSERT_EQ(CallWith("CloseVideo", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("StopVideo", {1}), ERR_FINDVIDEO);
  ASSERT_EQ(CallWith("OpenVideo", {2, f.file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("OpenVideo", {3, pal4().file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {2}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {3, 50, 50}), ERR_NONE);
  pollFor(30);
  // TearDown frees both while they play.
}

TEST_F(Videos, DumpWritesTheSoundAndTheFrames) {
  OpenDisplay(100, 100);
  const Fixture f = pal8snd();
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  const std::string prefix = *dir / "dump";
  ASSERT_EQ(CallWith("DumpVideo", {1, 0, 0, prefix.c_str(), 1}), ERR_NONE);
  // The WAVE data is the sound as it is decoded.
  auto wav = imagetest::ReadFile(prefix + ".wav");
  auto pcm = imagetest::ReadFile(*dir / "pal8snd.pcm");
  ASSERT_GE(wav.size(), 44u);
  EXPECT_TRUE(std::vector<uint8_t>(wav.begin() + 44, wav.begin() + 44 +
                                                         static_cast<long>(std::min(
                                                             pcm.size(), wav.size() - 44))) == pcm);
  if (imagetest::HaveTool("soxi")) {
    bool ok = false;
    EXPECT_EQ(Shell("soxi -r '" + prefix + ".wav'", &ok), "3840\n");
    EXPECT_TRUE(ok);
  }
  for (int i = 0; i < f.frames; i++) {
    imagetest::Decoded d = imagetest::Load(prefix + std::to_string(i) + ".png");
    ASSERT_EQ(d.error, ERR_NONE) << i;
    for (uint32_t& p : d.pixels) p &= 0xFFFFFF;
    EXPECT_TRUE(d.pixels == f.rgb[static_cast<size_t>(i)]) << i;
  }
  // The export ran through the display: its last frame is in the window.
  pollFor(20);
  EXPECT_EQ(shownFrame(f, 0, 0), f.frames - 1);
  const std::string missing = *dir / "missing/dir/x";
  EXPECT_EQ(CallWith("DumpVideo", {1, 0, 0, missing.c_str(), 0}), ERR_WRITEFILE);
}

}  // namespace

// While a video is bound to it, a display refuses to close and to double
// buffer (1455), and plug-ins get no callback on it; once the video
// stops, all three work.
TEST_F(Videos, ADisplayShowingAVideoRefusesCloseBufferAndCallbacks) {
  OpenDisplay(200, 120);
  ASSERT_EQ(CallWith("OpenVideo", {1, pal4().file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("PauseVideo", {1}), ERR_NONE);
  auto callback = [](QmDisplayCallback*, int32_t, const intptr_t*, void*) -> int32_t { return 0; };
  EXPECT_EQ(CallWith("CloseDisplay", {1}), ERR_VIDATTACHED);
  // With the display adapter the video is an instance on the picture's
  // sprite list; double buffering still names the video, as on X11.
  EXPECT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_VIDATTACHED);
  EXPECT_EQ(AddDisplayCallback(1, callback, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(d->state, DISPSTATE_OPEN);
  ASSERT_EQ(CallWith("StopVideo", {1}), ERR_NONE);
  QmDisplayCallback* record = AddDisplayCallback(1, callback, nullptr, nullptr, 0);
  EXPECT_NE(record, nullptr);
  RemoveDisplayCallback(record);
  EXPECT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_NONE);
  EXPECT_EQ(CallWith("EndDoubleBuffer", {}), ERR_NONE);
  EXPECT_EQ(CallWith("CloseDisplay", {1}), ERR_NONE);
}

// Nor can a display be freed while a video plays on it or is paused
// there; stopped, it goes.
TEST_F(Videos, ADisplayShowingAVideoIsNotFreed) {
  OpenDisplay(200, 120);
  ASSERT_EQ(CallWith("OpenVideo", {1, pal4().file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateDisplay", {2, Value::Table({{"width", 40}, {"height", 30}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("SelectDisplay", {2}), ERR_NONE);
  EXPECT_EQ(CallWith("FreeDisplay", {1}), ERR_VIDATTACHED);
  EXPECT_EQ(stats(1).state, 1);
  ASSERT_EQ(CallWith("PauseVideo", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("FreeDisplay", {1}), ERR_VIDATTACHED);
  ASSERT_EQ(CallWith("StopVideo", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("FreeDisplay", {1}), ERR_NONE);
  d = nullptr;
}

// With the display adapter a video shows through a sprite instance of the
// display's picture: drawing beneath it leaves it whole, a move shows both
// areas again, and once it stops what was drawn beneath shows.
TEST_F(Videos, AVideoShowsThroughASpriteInstanceOverWhatIsDrawn) {
  OpenDisplay(200, 120);
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenDrawLibrary(L), ERR_NONE);
  VmSetTop(L, 0);
  const Fixture f = pal4();
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {1, 10, 20}), ERR_NONE);
  auto* instance = static_cast<SpriteInstance*>(d->bgpic->sprites);
  ASSERT_NE(instance, nullptr);
  EXPECT_NE(instance->video, nullptr);
  EXPECT_EQ(instance->next, nullptr);
  EXPECT_EQ(CountSpriteInstances(d->bgpic), 0);  // no sprite of the script's
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (shownFrame(f, 10, 20) < 0 && std::chrono::steady_clock::now() < end) pollFor(10);
  ASSERT_EQ(CallWith("PauseVideo", {1}), ERR_NONE);
  pollFor(20);
  const int held = shownFrame(f, 10, 20);
  ASSERT_GE(held, 0);
  constexpr uint32_t GREEN = 0x00FF00;
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(CallWith("Box", {0, 0, 200, 120, static_cast<double>(GREEN)}), ERR_NONE);
  EXPECT_EQ(shownFrame(f, 10, 20), held);
  EXPECT_EQ(At(5, 5), GREEN);
  ASSERT_EQ(CallWith("SetVideoPosition", {1, 100, 60}), ERR_NONE);
  pollFor(50);
  EXPECT_EQ(shownFrame(f, 100, 60), held);
  EXPECT_EQ(At(10, 20), GREEN);
  EXPECT_EQ(At(49, 43), GREEN);
  ASSERT_EQ(CallWith("StopVideo", {1}), ERR_NONE);
  EXPECT_EQ(d->bgpic->sprites, nullptr);
  EXPECT_EQ(At(100, 60), GREEN);
  EXPECT_EQ(At(139, 83), GREEN);
}

// Videos shown as layers: the layers library is open as well.
class VideoLayers : public Videos {
 protected:
  void SetUp() override {
    Videos::SetUp();
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenLayersLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  void TearDown() override {
    Videos::TearDown();
    FreeLayerSystem(L);
  }
  qmLayer* layer(int32_t position) { return GetFXLayerByIndex(position); }
  // Plays until the video leaves state 1 (at most 5 s), noting the frames
  // the window shows at x, y in the order they come.
  std::vector<int> playThrough(const Fixture& f, ObjectId id, int32_t x, int32_t y) {
    std::vector<int> seen;
    VideoTestStats s{};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (GetVideoTestStats(id, &s) == ERR_NONE && s.state == 1 &&
           std::chrono::steady_clock::now() < end) {
      pollFor(10);
      const int shown = shownFrame(f, x, y);
      if (shown >= 0 && (seen.empty() || seen.back() != shown)) seen.push_back(shown);
    }
    pollFor(50);
    const int last = shownFrame(f, x, y);
    if (last >= 0 && (seen.empty() || seen.back() != last)) seen.push_back(last);
    return seen;
  }
};

TEST_F(VideoLayers, AVideoPlaysInItsLayerWhichStopsItWhenRemoved) {
  OpenDisplay(200, 120, true);
  const Fixture f = pal4();
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {1, 10, 20, Value::Table({{"uselayer", true}})}), ERR_NONE);
  ASSERT_EQ(CountFXLayers(), 1);
  EXPECT_EQ(layer(1)->type, LAYER_VIDEO);
  EXPECT_EQ(stats(1).threads, 3);
  std::vector<int> seen = playThrough(f, ObjectId{nullptr, 1}, 10, 20);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << testing::PrintToString(seen);
  EXPECT_GE(seen.size(), 5u) << testing::PrintToString(seen);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 9);  // the layer keeps the last frame
  EXPECT_EQ(stats(1).state, 4);
  EXPECT_EQ(CallWith("SetVideoPosition", {1, 0, 0}), ERR_VIDLAYERFUNC);
  EXPECT_EQ(CallWith("SetVideoSize", {1, 20, 20}), ERR_VIDLAYERFUNC);

  // The layer commands drive the layer's video.
  EXPECT_EQ(CallWith("PlayLayer", {1}), ERR_NONE);
  EXPECT_EQ(stats(1).state, 1);
  EXPECT_EQ(CallWith("PlayLayer", {1}), ERR_VIDPLAYING);
  EXPECT_EQ(CallWith("PauseLayer", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("SeekLayer", {1, 500}), ERR_NONE);
  pollFor(150);
  EXPECT_EQ(shownFrame(f, 10, 20), 6);
  // The layer answers its video's playback attributes (12 fps: 500 ms).
  struct Attribute {
    int32_t object, id, attribute;
    double want;
  } attributes[] = {{OBJTYPE_LAYER, 1, ATTRPAUSED, 1},     {OBJTYPE_LAYER, 1, ATTRPLAYING, 0},
                    {OBJTYPE_LAYER, 1, ATTRDURATION, 833}, {OBJTYPE_LAYER, 1, ATTRCANSEEK, 1},
                    {OBJTYPE_VIDEO, 1, ATTRPAUSED, 1},     {OBJTYPE_VIDEO, 1, ATTRCANSEEK, 1}};
  for (const Attribute& a : attributes) {
    ASSERT_EQ(CallWith("GetAttribute", {a.object, a.id, a.attribute}), ERR_NONE) << a.attribute;
    EXPECT_EQ(results, std::vector<double>{a.want}) << a.object << " " << a.attribute;
  }
  ASSERT_EQ(CallWith("GetAttribute", {OBJTYPE_LAYER, 1, ATTRPOSITION}), ERR_NONE);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_NEAR(results[0], 500, 50);
  EXPECT_EQ(CallWith("SetLayerVolume", {1, "50%"}), ERR_NONE);
  EXPECT_EQ(stats(1).volume, 32);
  EXPECT_EQ(CallWith("ResumeLayer", {1}), ERR_NONE);
  EXPECT_EQ(stats(1).state, 1);
  EXPECT_EQ(CallWith("StopLayer", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("StopLayer", {1}), ERR_VIDSTOPPED);
  EXPECT_EQ(stats(1).threads, 0);

  // Played as a layer again while the first plays: a hidden copy plays in
  // a second layer; removing that layer stops and frees the copy.
  ASSERT_EQ(CallWith("PlayLayer", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {1, 100, 20, Value::Table({{"uselayer", true}})}), ERR_NONE);
  ASSERT_EQ(CountFXLayers(), 2);
  const ObjectId copy = layer(2)->sourceId;
  ASSERT_NE(copy.autoId, nullptr);
  VideoTestStats s{};
  ASSERT_EQ(GetVideoTestStats(copy, &s), ERR_NONE);
  EXPECT_EQ(s.state, 1);
  EXPECT_EQ(CallWith("RemoveLayer", {2}), ERR_NONE);
  EXPECT_EQ(GetVideoTestStats(copy, &s), ERR_FINDARRAY);
  EXPECT_EQ(stats(1).state, 1);

  // Closed while its layer shows it, the video lives on for the layer
  // under an id the script does not know; it goes with the layer.
  ASSERT_EQ(CallWith("CloseVideo", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("StopVideo", {1}), ERR_FINDVIDEO);
  const ObjectId hidden = layer(1)->sourceId;
  ASSERT_EQ(GetVideoTestStats(hidden, &s), ERR_NONE);
  EXPECT_EQ(s.state, 1);
  EXPECT_EQ(CallWith("RemoveLayer", {1}), ERR_NONE);
  EXPECT_EQ(GetVideoTestStats(hidden, &s), ERR_FINDARRAY);
  EXPECT_EQ(CallWith("PlayLayer", {1}), ERR_LAYERRANGE);
}

// A layer that shows its video through a transform plays too: each frame
// is drawn through the layer's scale again.
TEST_F(VideoLayers, AScaledVideoLayerPlaysItsFrames) {
  OpenDisplay(200, 120, true);
  const Fixture f = pal4();
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo",
                     {1, 0, 0, Value::Table({{"uselayer", true}, {"scalex", 2}, {"scaley", 2}})}),
            ERR_NONE);
  // Which frame the doubled image shows: every second pixel of each second row.
  auto shownHalf = [&]() {
    std::vector<uint32_t> big = window(0, 0, 2 * f.width, 2 * f.height), half;
    for (int32_t y = 0; y < 2 * f.height; y += 2)
      for (int32_t x = 0; x < 2 * f.width; x += 2)
        half.push_back(big[static_cast<size_t>(y * 2 * f.width + x)]);
    for (size_t i = 0; i < f.rgb.size(); i++)
      if (f.rgb[i] == half) return static_cast<int>(i);
    return -1;
  };
  std::vector<int> seen;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (stats(1).state == 1 && std::chrono::steady_clock::now() < end) {
    pollFor(10);
    const int shown = shownHalf();
    if (shown >= 0 && (seen.empty() || seen.back() != shown)) seen.push_back(shown);
  }
  pollFor(50);
  const int last = shownHalf();
  if (last >= 0 && (seen.empty() || seen.back() != last)) seen.push_back(last);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << testing::PrintToString(seen);
  EXPECT_GE(seen.size(), 5u) << testing::PrintToString(seen);
  EXPECT_EQ(last, 9);
}

// A scaled video layer shown with a transition, async or synchronous in
// layer mode: a frame that arrives while the transition runs (a paused
// seek) is drawn through the layer's scale into the layer's own images, and
// the transition goes on with it; the layer ends showing it.
TEST_F(VideoLayers, ATransitionOfAVideoLayerTakesTheFramesThatArrive) {
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenTransitionFXLibrary(L), ERR_NONE);
  VmSetTop(L, 0);
  OpenDisplay(200, 120, true);
  const Fixture f = pal4();  // 40x24, shown at 80x48
  // The frame the window shows at 0, 0 in row `row` of the doubled image.
  auto shownRow = [&](int32_t row) {
    std::vector<uint32_t> big = window(0, 2 * row, 2 * f.width, 1), half;
    for (int32_t x = 0; x < 2 * f.width; x += 2) half.push_back(big[static_cast<size_t>(x)]);
    for (int i = 0; i < f.frames; i++)
      if (std::equal(half.begin(), half.end(),
                     f.rgb[static_cast<size_t>(i)].begin() + row * f.width))
        return i;
    return -1;
  };
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo",
                     {1, 0, 0, Value::Table({{"uselayer", true}, {"scalex", 2}, {"scaley", 2}})}),
            ERR_NONE);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (shownRow(0) < 0 && std::chrono::steady_clock::now() < end) pollFor(10);
  ASSERT_EQ(CallWith("PauseLayer", {1}), ERR_NONE);
  pollFor(20);
  ASSERT_NE(shownRow(0), 6);
  ASSERT_EQ(CallWith("HideLayer", {1}), ERR_NONE);

  static void* handle = nullptr;
  PushValue(L, 1);
  PushValue(L, Value::Table({{"type", 32}, {"speed", 1}, {"async", 1}}));
  ASSERT_EQ(testcall::CallCollecting(L, "ShowLayerFX", 2,
                                     [](VmState* vm, int i) { handle = VmToUserdata(vm, i); }),
            ERR_NONE);
  ASSERT_NE(handle, nullptr);
  auto step = [&]() {
    VmPushLightUserdata(L, handle);
    EXPECT_EQ(Call("AsyncDrawFrame", 1), ERR_NONE);
    return !results.empty() && results[0] != 0;
  };
  step();
  step();
  ASSERT_EQ(CallWith("SeekLayer", {1, 500}), ERR_NONE);  // 12 fps: frame 6
  end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (shownRow(0) != 6 && std::chrono::steady_clock::now() < end) pollFor(10);
  EXPECT_EQ(shownRow(0), 6);  // the rows shown so far show the new frame
  bool finished = false;
  for (int i = 0; i < 1000 && !finished; i++) finished = step();
  ASSERT_TRUE(finished);
  for (int32_t row : {0, f.height / 2, f.height - 1}) EXPECT_EQ(shownRow(row), 6) << row;
  EXPECT_EQ(stats(1).state, 2);

  // The same synchronously: the frame comes between two frames of the run
  // (the poll between them applies it), and the next frame shows it.
  ASSERT_EQ(CallWith("SeekLayer", {1, 0}), ERR_NONE);
  end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (shownRow(0) != 0 && std::chrono::steady_clock::now() < end) pollFor(10);
  ASSERT_EQ(shownRow(0), 0);
  ASSERT_EQ(CallWith("HideLayer", {1}), ERR_NONE);
  auto setHook = plugintest::ModuleSymbol<void (*)(void (*)(void*), void*)>(
      root + "/Plugins/testdisplay.qmp", "TestDisplaySetVWaitHook");
  ASSERT_NE(setHook, nullptr);
  struct Unhook {
    void (*set)(void (*)(void*), void*);
    ~Unhook() { set(nullptr, nullptr); }
  } unhook{setHook};
  struct Run {
    int32_t frames = 0;
    int afterSeek = -1;
    std::function<void()> seek;
    std::function<int()> rowZero;
  } run;
  run.seek = [&]() {
    EXPECT_EQ(CallWith("SeekLayer", {1, 500}), ERR_NONE);
    // Waits for the frame as the poll would apply it.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      uint32_t* row = ReadBitmapRectARGB(layer(1)->base->own.bitmap, 0, 0, f.width, 1, 0);
      bool shown = true;
      for (int32_t i = 0; i < f.width; i++)
        shown = shown && (row[i] & 0xFFFFFF) == f.rgb[6][static_cast<size_t>(i)];
      FreeMemory(row);
      if (shown || std::chrono::steady_clock::now() > until) break;
      ApplyPendingDisplayFrames(L);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  run.rowZero = [&]() { return shownRow(0); };
  setHook(
      [](void* data) {
        auto* r = static_cast<Run*>(data);
        if (++r->frames == 2) r->seek();
        if (r->frames == 3) r->afterSeek = r->rowZero();
      },
      &run);
  ASSERT_EQ(CallWith("ShowLayerFX",
                     {1, Value::Table({{"type", 32}, {"speed", 1}, {"forcerealtimelayers", 1}})}),
            ERR_NONE);
  EXPECT_GT(run.frames, 3);
  EXPECT_EQ(run.afterSeek, 6);
  for (int32_t row : {0, f.height / 2, f.height - 1}) EXPECT_EQ(shownRow(row), 6) << row;
}

// One frame as a layer, by time and inserted by the layers library;
// switching layers off stops the video layers.
TEST_F(VideoLayers, FramesAsLayersAndLayersOff) {
  OpenDisplay(200, 120, true);
  const Fixture f = pal4();
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayVideoFrame", {1, 0, 60, 500}), ERR_NONE);
  EXPECT_EQ(shownFrame(f, 0, 60), 6);
  EXPECT_EQ(stats(1).state, 0);
  EXPECT_EQ(CallWith("GetVideoFrame", {5, 1, 1}), ERR_WRONGUSAGE);  // a layer's
  ASSERT_EQ(CallWith("InsertLayer", {1, LAYER_VIDEO, 1, 100, 60}), ERR_NONE);
  ASSERT_EQ(CountFXLayers(), 2);
  EXPECT_EQ(layer(1)->type, LAYER_VIDEO);
  EXPECT_EQ(shownFrame(f, 100, 60), 0);
  // The inserted frame's layer plays its hidden copy.
  ASSERT_EQ(CallWith("PlayLayer", {1}), ERR_NONE);
  const ObjectId copy = layer(1)->sourceId;
  VideoTestStats s{};
  ASSERT_EQ(GetVideoTestStats(copy, &s), ERR_NONE);
  EXPECT_EQ(s.threads, 3);
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
  ASSERT_EQ(GetVideoTestStats(copy, &s), ERR_NONE);
  EXPECT_EQ(s.threads, 0);
  EXPECT_EQ(s.state, 0);
}

// The part of the frames that a video layer shows, through the style table:
// a paused layer shows the part of its held frame at once and plays on in
// it; the table read back gives a new layer of the video the same part.
TEST_F(VideoLayers, APartOfTheFramesThroughTheStyleTable) {
  OpenDisplay(200, 120, true);
  const Fixture f = pal4();  // 40x24
  constexpr int32_t PX = 8, PY = 4, PW = 16, PH = 10;
  auto part = [&](int frame) {
    std::vector<uint32_t> out;
    for (int32_t j = 0; j < PH; j++)
      for (int32_t i = 0; i < PW; i++) out.push_back(f.rgb[frame][(PY + j) * f.width + PX + i]);
    return out;
  };
  auto shownPart = [&]() {
    const auto w = window(10, 20, PW, PH);
    for (int i = 0; i < f.frames; i++)
      if (w == part(i)) return i;
    return -1;
  };
  ASSERT_EQ(CallWith("OpenVideo", {1, f.file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {1, 10, 20, Value::Table({{"uselayer", true}})}), ERR_NONE);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (shownFrame(f, 10, 20) < 0 && std::chrono::steady_clock::now() < end) pollFor(10);
  ASSERT_EQ(CallWith("PauseVideo", {1}), ERR_NONE);
  pollFor(20);
  const int held = shownFrame(f, 10, 20);
  ASSERT_GE(held, 0);

  const Value partTable =
      Value::Table({{"partx", PX}, {"party", PY}, {"partwidth", PW}, {"partheight", PH}});
  ASSERT_EQ(CallWith("SetLayerStyle", {1, partTable}), ERR_NONE);
  EXPECT_EQ(shownPart(), held);
  EXPECT_EQ(layer(1)->display->width, PW);
  EXPECT_EQ(stats(1).state, 2);  // the remade layer still shows the paused video
  EXPECT_EQ(stats(1).threads, 3);
  struct Bad {
    const char* what;
    Value table;
  } bad[] = {{"no width", Value::Table({{"partwidth", 0}})},
             {"left of the frame", Value::Table({{"partx", -1}})},
             {"right of the frame", Value::Table({{"partx", 40}})}};
  for (const Bad& b : bad)
    EXPECT_EQ(CallWith("SetLayerStyle", {1, b.table}), ERR_WRONGUSAGE) << b.what;
  EXPECT_EQ(layer(1)->display->width, PW);

  ASSERT_EQ(CallWith("ResumeVideo", {1}), ERR_NONE);
  std::vector<int> seen;
  while (stats(1).state == 1 && std::chrono::steady_clock::now() < end + std::chrono::seconds(5)) {
    pollFor(10);
    const int shown = shownPart();
    if (shown >= 0 && (seen.empty() || seen.back() != shown)) seen.push_back(shown);
  }
  pollFor(50);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << testing::PrintToString(seen);
  EXPECT_EQ(shownPart(), f.frames - 1);

  // Round trip: the table read back, applied to a fresh frame layer.
  VmPushString(L, "savedstyle");
  VmPushNumber(L, 1);
  ASSERT_EQ(testcall::Call(L, "getlayerstyle", 1), ERR_NONE);
  const struct {
    const char* name;
    int32_t want;
  } fields[] = {{"partx", PX}, {"party", PY}, {"partwidth", PW}, {"partheight", PH}};
  for (const auto& field : fields) {
    VmPushString(L, field.name);
    VmGetTable(L, -2);
    EXPECT_EQ(VmToNumber(L, -1), field.want) << field.name;
    VmSetTop(L, VmGetTop(L) - 1);
  }
  VmSetTable(L, VM_GLOBALS_INDEX);
  VmSetTop(L, 0);
  ASSERT_EQ(CallWith("StopVideo", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayVideoFrame", {1, 10, 20, 0}), ERR_NONE);
  ASSERT_EQ(shownFrame(f, 10, 20), 0);
  VmPushNumber(L, 1);
  VmPushString(L, "savedstyle");
  VmGetTable(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(Call("SetLayerStyle", 2), ERR_NONE);
  EXPECT_EQ(shownPart(), 0);
  EXPECT_EQ(layer(1)->display->width, PW);
  VmPushString(L, "savedstyle");
  VmPushNil(L);
  VmSetTable(L, VM_GLOBALS_INDEX);
}

// Videos with sound over the test audio adapter, whose channels the test
// pulls; the sound library is open.
class VideoSounds : public Videos {
 protected:
  void InstallMore() override { Install("testaudio"); }
  void SetUp() override {
    Videos::SetUp();
    SetAppletVersion(6, 0);
    TagItem preload[] = {{ATTR_DEFERBITMAPS, 1}, {ATTR_DONE, 0}};
    SetGlobalAttrs(nullptr, preload);
    ASSERT_EQ(LoadPluginFile(L, "testaudio", 0, 0, 0, 0, 0), ERR_NONE);
    preload[0].data = 0;
    SetGlobalAttrs(nullptr, preload);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenSoundLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
    const std::string module = root + "/Plugins/testaudio.qmp";
    pull = plugintest::ModuleSymbol<uint32_t (*)(void*, void*, uint32_t)>(module, "TestAudioPull");
    log = plugintest::ModuleSymbol<const char* (*)()>(module, "TestAudioLog");
    ASSERT_TRUE(pull && log);
  }
  void TearDown() override {
    Videos::TearDown();
    SetAppletVersion(8, 0);
  }
  // Pulls the channel's samples that are not silence into out.
  void drain(int32_t channel, std::vector<int16_t>* out) {
    int16_t block[256];
    while (pull(GetAudioChannel(channel), block, 256) == 256) {
      bool any = false;
      for (int16_t s : block)
        if (s != 0) out->push_back(s), any = true;
      if (!any) break;
    }
  }
  uint32_t (*pull)(void*, void*, uint32_t) = nullptr;
  const char* (*log)() = nullptr;
};

TEST_F(VideoSounds, TheSoundPlaysOnItsChannelWhichTheSoundCommandsReach) {
  OpenDisplay(100, 100);
  ASSERT_EQ(CallWith("OpenVideo", {1, pal8snd().file.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("PlayVideo", {1, 0, 0, Value::Table({{"channel", 3}})}), ERR_NONE);
  int32_t state = 0;
  ObjectId owner{};
  ASSERT_EQ(GetChannelState(2, &state, &owner, 0), ERR_NONE);
  EXPECT_EQ(state, CHANNELSTATE_VIDEO);
  EXPECT_EQ(owner.number, 1);
  EXPECT_NE(std::string(log()).find("AllocAudioChannel 4 3840 64"), std::string::npos) << log();
  // The samples arrive in order, once the silence between is left out. The
  // channel is released when the video ends, so sound still waiting in its
  // buffer then (when this thread was late to drain it) is cut: all but
  // that tail must arrive. A machine too busy to run this thread while the
  // short video plays loses more than the tail, so the video plays again,
  // a few times at most, until one run is heard whole.
  auto bytes = imagetest::ReadFile(*dir / "pal8snd.pcm");
  std::vector<int16_t> expected(bytes.size() / 2);
  std::memcpy(expected.data(), bytes.data(), expected.size() * 2);
  std::vector<int16_t> heard;
  for (int run = 0; run < 4; run++) {
    if (run > 0) {
      ASSERT_EQ(CallWith("PlayVideo", {1, 0, 0, Value::Table({{"channel", 3}})}), ERR_NONE);
    }
    heard.clear();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (stats(1).state == 1 && std::chrono::steady_clock::now() < end) {
      pollFor(10);
      drain(2, &heard);
    }
    pollFor(50);
    drain(2, &heard);
    ASSERT_LE(heard.size(), expected.size());
    EXPECT_TRUE(std::equal(heard.begin(), heard.end(), expected.begin()))
        << heard.size() << " of " << expected.size();
    if (heard.size() >= expected.size() * 9 / 10) break;
  }
  EXPECT_GE(heard.size(), expected.size() * 9 / 10) << heard.size() << " of " << expected.size();

  // The channel's volume is the video's; stopping the channel stops it.
  ASSERT_EQ(CallWith("SetChannelVolume", {3, 16}), ERR_NONE);
  EXPECT_EQ(stats(1).volume, 16);
  EXPECT_NE(std::string(log()).find("SetChannelAttributes 1=16"), std::string::npos) << log();
  ASSERT_EQ(CallWith("StopChannel", {3}), ERR_NONE);
  EXPECT_EQ(stats(1).state, 0);
  EXPECT_EQ(stats(1).threads, 0);
  ASSERT_EQ(GetChannelState(2, &state, nullptr, 0), ERR_NONE);
  EXPECT_EQ(state, CHANNELSTATE_FREE);
  // The video's own volume reaches its channel; CloseAudio stops it.
  ASSERT_EQ(CallWith("PlayVideo", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("SetVideoVolume", {1, 8}), ERR_NONE);
  EXPECT_NE(std::string(log()).find("SetChannelAttributes 1=8"), std::string::npos) << log();
  ASSERT_EQ(CallWith("CloseAudio", {}), ERR_NONE);
  EXPECT_EQ(stats(1).state, 0);
  EXPECT_EQ(stats(1).threads, 0);
}
