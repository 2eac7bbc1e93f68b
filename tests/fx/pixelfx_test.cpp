// The pixel-zoom, swirl and roll renderers on the test display: every id
// over a table of sizes and picture planes (frame count, exact final
// frame), jumps and decorated layers in layer mode, and the frames that
// tell a wrong block size, level, roll size or step.
#include <algorithm>
#include <cstdlib>

#include "platform/linux/system_private.h"
#include "tests/fx/direct_run.h"
#include "tests/fx/fx_harness.h"

namespace fxtest {
namespace {

constexpr uint32_t BACKGROUND = 0x203040;

// The frame count and step a renderer promises for a picture.
struct Promise {
  int32_t frames, step;
};
Promise Promised(int32_t effect, int32_t w, int32_t h, int32_t speed, bool layerMode = false) {
  FXState s{};
  s.effect = effect;
  s.width = w;
  s.height = h;
  s.speed = speed;
  s.parameter = FX_RANDOMPARAMETER;
  s.render = GetFXRenderer(effect);
  // These renderers prepare layer mode without touching the layer.
  s.layerMode = layerMode;
  EXPECT_EQ(s.render(&s, nullptr), ERR_NONE);
  if (s.releasePriv) s.releasePriv(&s, 1);
  FreeMemory(s.priv);
  return {s.frameCount, s.speed};
}

class PixelFXTest : public FXHarness {
 protected:
  void Reopen() {
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  // The lines (rows, or columns) of a frame that equal those of a picture.
  std::vector<bool> SameLines(const Frame& frame, const Frame& picture, bool columns) const {
    int32_t lines = columns ? W : H, along = columns ? H : W;
    std::vector<bool> same(static_cast<size_t>(lines), true);
    for (int32_t l = 0; l < lines; l++)
      for (int32_t a = 0; a < along && same[l]; a++) {
        size_t i = columns ? static_cast<size_t>(a) * W + l : static_cast<size_t>(l) * W + a;
        same[l] = frame[i] == picture[i];
      }
    return same;
  }
};

const int32_t BRUSH_IDS[] = {84, 85, 86, 87, 132, 138};

// Every STRUDEL frame drawn straight into a bitmap is exactly what the
// pixel engine's swirl kernel draws of the two pictures at that angle, on
// a wide and a tall picture.
TEST(PixelFXDirect, StrudelFramesAreTheSwirlKernelsExactly) {
  std::vector<double> sine(SWIRL_TABLE_ENTRIES), cosine(SWIRL_TABLE_ENTRIES);
  BuildSwirlTables(sine.data(), cosine.data());
  auto random = [](int n, int x, int y) {
    return static_cast<uint32_t>((x * 2654435761u) ^ (y * 40503u) ^ (n * 97u)) & 0xFFFFFFu;
  };
  for (auto [W, H] : {std::pair{37, 23}, std::pair{20, 41}}) {
    SCOPED_TRACE(testing::Message() << W << "x" << H);
    fxdirect::DirectRun r(
        W, H, fxdirect::Picture(W, H, [&](int x, int y) { return random(1, x, y); }),
        fxdirect::Picture(W, H, [&](int x, int y) { return random(2, x, y); }), -1);
    ASSERT_EQ(r.prepare(138, 16), ERR_NONE);
    ASSERT_TRUE(r.run());
    ASSERT_EQ(r.frames.size(), 45u);
    OwnedBitmap want(AllocBitmap(W, H, 0, nullptr));
    for (int k = 1; k < 45; ++k) {
      ASSERT_EQ(SwirlTransitionFrame(r.newPic.get(), r.oldPic.get(), want.get(), nullptr, nullptr,
                                     W, H, sine.data(), cosine.data(), 0, 16 * k),
                ERR_NONE);
      ASSERT_EQ(r.frames[static_cast<size_t>(k) - 1], fxdirect::PixelsOf(want.get()))
          << "frame " << k;
    }
  }
}

TEST_F(PixelFXTest, EveryEffectEndsOnItsCountWithThePlainFinalFrame) {
  struct Case {
    int32_t w, h;
    Plane plane;
  } cases[] = {{64, 48, Plane::None}, {61, 37, Plane::None}, {1, 1, Plane::None},
               {1, 40, Plane::None},  {61, 37, Plane::Mask}, {64, 48, Plane::Alpha}};
  for (const Case& c : cases) {
    OpenDisplay(c.w, c.h, false, BACKGROUND);
    Frame before = Snapshot();
    MakeBrush(9, c.w, c.h, Fill::Solid, Plane::None, BACKGROUND);
    MakeBrush(1, c.w, c.h, Fill::Coded, c.plane);
    ASSERT_EQ(Run("DisplayBrush", {1, 0, 0}), ERR_NONE);
    Frame plain = Snapshot();
    for (int32_t id : BRUSH_IDS)
      for (int32_t speed : {-1, -2, 7}) {
        SCOPED_TRACE(testing::Message() << "effect " << id << " speed " << speed << " on " << c.w
                                        << "x" << c.h << " plane " << static_cast<int>(c.plane));
        ASSERT_EQ(Run("DisplayBrush", {9, 0, 0}), ERR_NONE);
        ASSERT_EQ(Snapshot(), before);
        ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, id, speed}), ERR_NONE);
        EXPECT_EQ(static_cast<int32_t>(frames.size()), Promised(id, c.w, c.h, speed).frames);
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back(), plain);
      }
    // PIXELZOOM2 moves whole pictures: background pictures only.
    if (c.plane == Plane::None) {
      MakeBrush(2, c.w, c.h, Fill::Coded, Plane::None, 0, 2);
      ASSERT_EQ(Run("BrushToBGPic", {1, 11}), ERR_NONE);
      ASSERT_EQ(Run("BrushToBGPic", {2, 12}), ERR_NONE);
      ASSERT_EQ(Run("DisplayTransitionFX", {11, 132}), ERR_NONE);
      Frame first = Snapshot();
      ASSERT_EQ(Run("DisplayTransitionFX", {12, 133}), ERR_NONE);
      EXPECT_EQ(frames.size(), 49u);
      for (int32_t y = 0; y < c.h; y++)
        for (int32_t x = 0; x < c.w; x++)
          ASSERT_EQ(frames.back()[static_cast<size_t>(y) * c.w + x], CodedPixel(2, x, y));
      EXPECT_NE(first, frames.back());
    }
    Reopen();
  }
}

// Block sizes: PIXELZOOM1 refines the new picture from blocks of 24;
// PIXELZOOM2 first coarsens the old one from blocks of 2, then refines the
// new one from 25; both whatever the speed.
TEST_F(PixelFXTest, PixelZoomFramesAreTheBlockSizes) {
  const int32_t w = 64, h = 48;
  OpenDisplay(w, h, false);
  MakeBrush(1, w, h, Fill::Coded, Plane::None, 0, 1);
  MakeBrush(2, w, h, Fill::Coded, Plane::None, 0, 2);
  ASSERT_EQ(Run("BrushToBGPic", {1, 11}), ERR_NONE);
  ASSERT_EQ(Run("BrushToBGPic", {2, 12}), ERR_NONE);
  ASSERT_EQ(Run("DisplayTransitionFX", {11}), ERR_NONE);
  auto blocked = [&](const Frame& f, int32_t picture, int32_t block) {
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        if (f[static_cast<size_t>(y) * w + x] != CodedPixel(picture, x - x % block, y - y % block))
          return ::testing::AssertionFailure() << "block " << block << " of picture " << picture
                                               << " differs at " << x << "," << y;
    return ::testing::AssertionSuccess();
  };
  for (int32_t speed : {-1, -2, -3, 1, 200}) {
    SCOPED_TRACE(testing::Message() << "speed " << speed);
    ASSERT_EQ(Run("DisplayTransitionFX", {12, 132, speed}), ERR_NONE);
    ASSERT_EQ(frames.size(), 25u);
    EXPECT_TRUE(blocked(frames[0], 2, 24));
    EXPECT_TRUE(blocked(frames[12], 2, 12));
    EXPECT_TRUE(blocked(frames[23], 2, 1));
    EXPECT_EQ(frames[24], frames[23]);
    ASSERT_EQ(Run("DisplayTransitionFX", {11, 133, speed}), ERR_NONE);
    ASSERT_EQ(frames.size(), 49u);
    EXPECT_TRUE(blocked(frames[0], 2, 2));
    EXPECT_TRUE(blocked(frames[22], 2, 24));
    EXPECT_TRUE(blocked(frames[23], 1, 25));
    EXPECT_TRUE(blocked(frames[47], 1, 1));
    EXPECT_EQ(frames[48], frames[47]);
  }
}

int channel(uint32_t c, int shift) { return static_cast<int>((c >> shift) & 0xFF); }

// On solid pictures every STRUDEL frame is one colour, the mix of new and
// old at its level (angle x 255 / 720), the angle growing by 16 at
// FASTSPEED.
TEST_F(PixelFXTest, StrudelMixesUniformlyAtItsLevel) {
  const uint32_t NEW = 0x3080C0, OLD = 0xE02010;
  OpenDisplay(30, 20, false, OLD);
  MakeBrush(1, 30, 20, Fill::Solid, Plane::None, NEW);
  ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, 138, -2}), ERR_NONE);
  ASSERT_EQ(frames.size(), 45u);
  for (size_t k = 1; k <= frames.size(); k++) {
    const Frame& f = frames[k - 1];
    int32_t level = std::min(16 * static_cast<int32_t>(k), 720) * 255 / 720;
    ASSERT_TRUE(std::all_of(f.begin(), f.end(), [&](uint32_t p) { return p == f[0]; }))
        << "frame " << k;
    for (int shift : {0, 8, 16}) {
      int want = (channel(NEW, shift) * level + channel(OLD, shift) * (255 - level)) / 255;
      EXPECT_LE(std::abs(channel(f[0], shift) - want), 2)
          << "frame " << k << std::hex << " pixel " << f[0];
    }
  }
  EXPECT_EQ(frames.back()[0], NEW);
}

// In every frame of a roll the lines before the band show the flat new
// picture, the lines past the roll position the old one, and the band's
// first line the new picture's line R / 2 further on: this pins the roll's
// size R and the step.
TEST_F(PixelFXTest, RollsUnrollTheFlatPictureBehindABandOfTheirSize) {
  struct Case {
    int32_t effect, w, h, speed, R, step;
  } cases[] = {
      {84, 8, 120, -1, 20, 2},   // ROLLTOP: 120 / 12 = 10 raised to 20
      {86, 8, 120, -2, 60, 5},   // WALLPAPERTOP: 120 / 2
      {85, 64, 6, 100, 20, 8},   // ROLLLEFT: 100 / 5 = 20 clamped to 8
      {87, 300, 4, 30, 150, 6},  // WALLPAPERLEFT
      {84, 61, 37, -3, 20, 1},   // a picture shorter than a twelfth of 20
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "effect " << c.effect << " on " << c.w << "x" << c.h);
    OpenDisplay(c.w, c.h, false);
    MakeBrush(2, c.w, c.h, Fill::Coded, Plane::None, 0, 2);
    ASSERT_EQ(Run("DisplayBrush", {2, 0, 0}), ERR_NONE);
    Frame old = Snapshot();
    MakeBrush(1, c.w, c.h, Fill::Coded);
    bool columns = c.effect == 85 || c.effect == 87;
    int32_t E = columns ? c.w : c.h;
    ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, c.effect, c.speed}), ERR_NONE);
    ASSERT_EQ(static_cast<int32_t>(frames.size()), (E + c.step - 1) / c.step);
    Frame now = frames.back();
    for (int32_t y = 0; y < c.h; y++)
      for (int32_t x = 0; x < c.w; x++)
        ASSERT_EQ(now[static_cast<size_t>(y) * c.w + x], CodedPixel(1, x, y));
    for (size_t k = 1; k < frames.size(); k++) {
      int32_t P = static_cast<int32_t>(k) * c.step;
      std::vector<bool> isNew = SameLines(frames[k - 1], now, columns);
      std::vector<bool> isOld = SameLines(frames[k - 1], old, columns);
      for (int32_t l = 0; l < E; l++) {
        if (l < P - c.R + 1) {
          ASSERT_TRUE(isNew[l]) << "frame " << k << " line " << l;
        }
        if (l > P) {
          ASSERT_TRUE(isOld[l]) << "frame " << k << " line " << l;
        }
      }
      int32_t band = P - c.R + 1, source = P + c.R / 2;
      if (band >= 0 && source < E) {
        int32_t x = columns ? band : 0, y = columns ? 0 : band;
        EXPECT_EQ(frames[k - 1][static_cast<size_t>(y) * c.w + x],
                  columns ? CodedPixel(1, source, 0) : CodedPixel(1, 0, source))
            << "frame " << k;
      }
    }
    Reopen();
  }
}

// Hiding a plain layer with STRUDEL runs directly: the stack without the
// layer swirls in over the layer, from the shown stack to the bare one.
TEST_F(PixelFXTest, StrudelHidesAPlainLayerDirectly) {
  OpenDisplay(30, 20, true);
  Frame empty = Snapshot();
  MakeBrush(1, 30, 20, Fill::Solid, Plane::None, 0xE02010);
  ASSERT_EQ(Run("DisplayBrush", {1, 0, 0}), ERR_NONE);
  Frame shown = Snapshot();
  ASSERT_EQ(Run("HideLayerFX", {1, 138, -2}), ERR_NONE);
  ASSERT_EQ(frames.size(), 45u);
  // Frame 1 is at level 16 x 255 / 720 = 5: still nearly the layer.
  for (int shift : {0, 8, 16})
    EXPECT_LE(std::abs(channel(frames[0][0], shift) - channel(shown[0], shift)), 6) << shift;
  EXPECT_EQ(frames.back(), empty);
  EXPECT_EQ(GetFXLayerByIndex(1)->hidden, 1);
}

// Layer mode: on a layer with a shadow and a border every effect hides and
// shows with its frame count and ends with the stack the plain commands
// give, the border no longer faded; stepped asynchronously, a jump to
// frame n shows what n steps show and the steps after it go on from there.
TEST_F(PixelFXTest, LayerModeHidesShowsAndJumps) {
  const int32_t w = 40, h = 30;
  for (int32_t id : BRUSH_IDS) {
    SCOPED_TRACE(testing::Message() << "effect " << id);
    OpenDisplay(w, h, true);
    Frame empty = Snapshot();
    MakeBrush(1, 24, 16, Fill::Coded, Plane::Mask);
    ASSERT_EQ(Run("DisplayBrush", {1, 6, 5}), ERR_NONE);
    ASSERT_EQ(Run("SetLayerStyle", {1, Value::Table({{"shadow", true}, {"border", true}})}),
              ERR_NONE);
    Frame shown = Snapshot();
    ASSERT_NE(shown, empty);
    ASSERT_EQ(Run("HideLayerFX", {1, id}), ERR_NONE);
    EXPECT_GE(frames.size(), 2u);
    EXPECT_EQ(Snapshot(), empty);
    ASSERT_EQ(Run("ShowLayerFX", {1, id}), ERR_NONE);
    EXPECT_EQ(static_cast<int32_t>(frames.size()), Promised(id, 24, 16, -1, true).frames);
    EXPECT_EQ(Snapshot(), shown);

    // Jumps, on a layer without decoration (whose fade follows the frame
    // counter rather than the frame shown). Each step's frame is the window
    // after it.
    ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
    ASSERT_EQ(Run("DisplayBrush", {1, 6, 5}), ERR_NONE);
    shown = Snapshot();
    ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
    ASSERT_EQ(Run("ShowLayerFX", {1, Value::Table({{"type", id}, {"async", 1}})}), ERR_NONE);
    ASSERT_EQ(StepToEnd(), ERR_NONE);
    std::vector<Frame> steps = frames;
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ(steps.back(), shown);
    for (int32_t n : {1, static_cast<int32_t>(steps.size()) / 2}) {
      SCOPED_TRACE(testing::Message() << "jump to " << n);
      ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
      ASSERT_EQ(Run("ShowLayerFX", {1, Value::Table({{"type", id}, {"async", 1}})}), ERR_NONE);
      VmPushLightUserdata(L, handle);
      VmPushNumber(L, n);
      ASSERT_EQ(Call("AsyncDrawFrame", 2), ERR_NONE);
      EXPECT_EQ(Snapshot(), steps[static_cast<size_t>(n) - 1]);
      ASSERT_EQ(StepToEnd(), ERR_NONE);
      ASSERT_FALSE(frames.empty());
      EXPECT_EQ(frames[0], steps[static_cast<size_t>(n)]);
      EXPECT_EQ(Snapshot(), shown);
    }
    Reopen();
  }
}

// ---- Scroll effects ----

// The frames a straight scroll takes: the distance along the longer axis
// over the step, rounded up.
int32_t ScrollFrames(int32_t effect, int32_t w, int32_t h, int32_t step) {
  int32_t distance = effect == 47 || effect == 48   ? w
                     : effect == 49 || effect == 50 ? h
                                                    : std::max(w, h);
  return (distance + step - 1) / step;
}

TEST_F(PixelFXTest, ScrollsGlideInWithTheirFrameCountAndEndInPlace) {
  struct Size {
    int32_t w, h;
  } sizes[] = {{64, 48}, {61, 37}, {1, 1}, {1, 40}, {2, 2}, {6, 5}};
  for (const Size& size : sizes) {
    OpenDisplay(size.w, size.h, false, BACKGROUND);
    Frame before = Snapshot();
    MakeBrush(9, size.w, size.h, Fill::Solid, Plane::None, BACKGROUND);
    MakeBrush(1, size.w, size.h, Fill::Coded, Plane::Mask);
    ASSERT_EQ(Run("DisplayBrush", {1, 0, 0}), ERR_NONE);
    Frame plain = Snapshot();
    for (int32_t id = 47; id <= 54; id++)
      for (int32_t speed : {-1, 7}) {
        SCOPED_TRACE(testing::Message()
                     << "effect " << id << " speed " << speed << " on " << size.w << "x" << size.h);
        ASSERT_EQ(Run("DisplayBrush", {9, 0, 0}), ERR_NONE);
        ASSERT_EQ(Snapshot(), before);
        ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, id, speed}), ERR_NONE);
        EXPECT_EQ(static_cast<int32_t>(frames.size()),
                  ScrollFrames(id, size.w, size.h, speed < 0 ? 10 : speed));
        EXPECT_EQ(Promised(id, size.w, size.h, speed).frames, static_cast<int32_t>(frames.size()));
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back(), plain);
      }
    Reopen();
  }
}

// SCROLLLEFT, also by its second name: the brush at x - w + k x step in
// frame k, over what lay beneath, until it reaches its place; a new
// background picture glides in over the old one the same way.
TEST_F(PixelFXTest, ScrollFramesShowThePictureOnItsWay) {
  const int32_t w = 20, h = 6, x = 5, y = 3, step = 6;
  OpenDisplay(40, 12, false, BACKGROUND);
  Frame before = Snapshot();
  MakeBrush(9, 40, 12, Fill::Solid, Plane::None, BACKGROUND);
  MakeBrush(1, w, h, Fill::Coded);
  std::vector<Frame> left;
  for (const char* name : {"SCROLLLEFT", "SCROLLWEST"}) {
    SCOPED_TRACE(name);
    int32_t id = -1;
    for (const ConstantTableEntry* c = GetFXConstants(); c->name; c++)
      if (std::string(c->name) == name) id = static_cast<int32_t>(c->number);
    ASSERT_EQ(id, 47);
    ASSERT_EQ(Run("DisplayBrush", {9, 0, 0}), ERR_NONE);
    ASSERT_EQ(Run("DisplayBrushFX", {1, x, y, id, step}), ERR_NONE);
    ASSERT_EQ(frames.size(), static_cast<size_t>((x + w + step - 1) / step));
    for (size_t k = 1; k <= frames.size(); k++) {
      int32_t at = std::min(-w + static_cast<int32_t>(k) * step, x);
      for (int32_t px = 0; px < 40; px++) {
        uint32_t want = px >= at && px < at + w ? CodedPixel(1, px - at, 0) : BACKGROUND;
        ASSERT_EQ(frames[k - 1][static_cast<size_t>(y) * 40 + px], want)
            << "frame " << k << " column " << px;
      }
      ASSERT_EQ(frames[k - 1][static_cast<size_t>(y - 1) * 40 + 10], BACKGROUND);
    }
    if (left.empty())
      left = frames;
    else
      EXPECT_EQ(frames, left);
  }
  // Background pictures: the new one slides down over the old one.
  MakeBrush(2, 40, 12, Fill::Coded, Plane::None, 0, 2);
  ASSERT_EQ(Run("BrushToBGPic", {2, 12}), ERR_NONE);
  ASSERT_EQ(Run("DisplayTransitionFX", {12, 49, 5}), ERR_NONE);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0][0], CodedPixel(2, 0, 7));
  EXPECT_EQ(frames[0][static_cast<size_t>(5) * 40], before[static_cast<size_t>(5) * 40]);
  EXPECT_EQ(frames[1][0], CodedPixel(2, 0, 2));
  for (int32_t py = 0; py < 12; py++)
    EXPECT_EQ(frames[2][static_cast<size_t>(py) * 40 + 3], CodedPixel(2, 3, py));
}

// A layer scrolls itself: hidden, it glides out and ends hidden at its old
// position; shown, it glides in; stepped, a jump replays the same frames.
TEST_F(PixelFXTest, ScrolledLayersMoveOutAndBack) {
  OpenDisplay(40, 30, true);
  Frame empty = Snapshot();
  MakeBrush(1, 12, 8, Fill::Coded);
  ASSERT_EQ(Run("DisplayBrush", {1, 5, 4}), ERR_NONE);
  Frame shown = Snapshot();
  qmLayer* layer = GetFXLayerByIndex(1);
  ASSERT_NE(layer, nullptr);
  ASSERT_EQ(Run("HideLayerFX", {1, 48, 4}), ERR_NONE);
  // Out to the right: 40 - 5 = 35 pixels in steps of 4.
  EXPECT_EQ(frames.size(), 9u);
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[0][static_cast<size_t>(4) * 40 + 9], CodedPixel(1, 0, 0));
  EXPECT_EQ(Snapshot(), empty);
  EXPECT_EQ(layer->hidden, 1);
  EXPECT_EQ(layer->display->x, 5);
  EXPECT_EQ(layer->display->y, 4);
  ASSERT_EQ(Run("ShowLayerFX", {1, 49, 4}), ERR_NONE);
  // In from above: 8 + 4 = 12 pixels.
  EXPECT_EQ(frames.size(), 3u);
  EXPECT_EQ(Snapshot(), shown);
  EXPECT_EQ(layer->hidden, 0);

  ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
  setHook(nullptr, nullptr);
  ASSERT_EQ(Run("ShowLayerFX", {1, Value::Table({{"type", 53}, {"speed", 3}, {"async", 1}})}),
            ERR_NONE);
  ASSERT_EQ(StepToEnd(), ERR_NONE);
  std::vector<Frame> steps = frames;
  ASSERT_GE(steps.size(), 4u);
  EXPECT_EQ(Snapshot(), shown);
  ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
  ASSERT_EQ(Run("ShowLayerFX", {1, Value::Table({{"type", 53}, {"speed", 3}, {"async", 1}})}),
            ERR_NONE);
  VmPushLightUserdata(L, handle);
  VmPushNumber(L, 3);
  ASSERT_EQ(Call("AsyncDrawFrame", 2), ERR_NONE);
  EXPECT_EQ(Snapshot(), steps[2]);
  ASSERT_EQ(StepToEnd(), ERR_NONE);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0], steps[3]);
  EXPECT_EQ(Snapshot(), shown);
  setHook(&FXHarness::onFrame, this);
}

// Each allocation in turn fails, directly and in layer mode, until the
// transition goes through: every failure is an allocation error, and
// nothing leaks or is freed twice on the way (ASan checks).
TEST_F(PixelFXTest, FailingAllocationsEndCleanly) {
  for (bool layers : {false, true}) {
    OpenDisplay(24, 18, layers);
    MakeBrush(1, 20, 15, Fill::Coded, layers ? Plane::Alpha : Plane::Mask);
    for (int32_t id : {84, 132, 138, 47}) {
      SCOPED_TRACE(testing::Message() << "effect " << id << (layers ? " layer mode" : ""));
      ErrorCode e = ERR_MEM;
      uint64_t n = 1;
      for (; n < 2000 && e != ERR_NONE; ++n) {
        const Value options = Value::Table({{"type", id}, {"forcerealtimelayers", 1}});
        SetAllocFailure(n, false);
        e = Run("DisplayBrushFX", {1, 2, 1, options});
        SetAllocFailure(0, false);
        EXPECT_TRUE(e == ERR_NONE || e == ERR_MEM || e == ERR_BITMAP || e == ERR_ALLOCMASK ||
                    e == ERR_ALLOCALPHA)
            << "allocation " << n << " gave " << e;
        if (layers) {
          while (CountFXLayers() > 0) ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
        }
      }
      EXPECT_EQ(e, ERR_NONE);
      EXPECT_GT(n, 2u);
    }
    Reopen();
  }
}

}  // namespace
}  // namespace fxtest
