// The curtain, bar, quarter, gate, rectangle, diagonal, push, flow, puzzle,
// fade, blend, crossfade, dissolve and water effects through the commands
// on the test display with layers on: shown, hidden and removed layers,
// directly and in layer mode, end exactly as the plain layer commands do.
#include <algorithm>
#include <iterator>
#include <vector>

#include "gfx/adapter_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "tests/fx/direct_run.h"
#include "tests/fx/fx_harness.h"

namespace fxtest {
namespace {

const int32_t IDS[] = {24, 25, 26, 27, 28,  29,  38,  39,  40,  41,  42,  43, 44,
                       45, 46, 70, 71, 72,  73,  82,  83,  88,  89,  90,  91, 92,
                       93, 94, 95, 96, 115, 116, 117, 134, 135, 136, 137, 139};
// The gates and pushes move whole pictures: on a layer they need bgpicemu.
const int32_t MOVING_IDS[] = {74, 75, 76, 77, 78, 79, 80, 81};

// The frame count a renderer promises for a picture, shown or hidden (a
// flow always hides in layer mode).
int32_t PromisedFrames(int32_t effect, int32_t w, int32_t h, int32_t speed, bool hiding = false) {
  FXState s{};
  s.effect = effect;
  s.reverse = hiding ? 1 : 0;
  s.layerMode = hiding && effect >= 70 && effect <= 73 ? 1 : 0;
  s.width = s.outWidth = w;
  s.height = s.outHeight = h;
  s.speed = speed;
  s.parameter = FX_RANDOMPARAMETER;
  s.render = GetFXRenderer(effect);
  EXPECT_EQ(s.render(&s, nullptr), ERR_NONE);
  if (s.releasePriv) s.releasePriv(&s, 1);
  FreeMemory(s.priv);
  return s.frameCount;
}

// The effect a hide runs instead.
int32_t Mirrored(int32_t effect) {
  switch (effect) {
    case 24:
      return 25;
    case 25:
      return 24;
    case 26:
      return 27;
    case 27:
      return 26;
    default:
      break;
  }
  if (effect >= 38 && effect <= 46) return effect + 50;
  if (effect >= 88 && effect <= 96) return effect - 50;
  return effect;
}

class FamiliesTest : public FXHarness {
 protected:
  void Reopen() {
    FreeAllAsyncDraws(L);
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    FreeLayerSystem(L);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  bool LayerHidden(int32_t position) {
    qmLayer* layer = GetFXLayerByIndex(position);
    return !layer || layer->hidden;
  }
};

TEST_F(FamiliesTest, EveryEffectShowsHidesAndRemovesALayerAsThePlainCommandsDo) {
  struct Mode {
    const char* name;
    Plane plane;
    bool decorated;  // a shadow and a border
    bool realtime;   // "forcerealtimelayers"
  } modes[] = {{"plain layer, direct", Plane::None, false, false},
               {"masked layer, layer mode", Plane::Mask, false, true},
               {"alpha layer, layer mode", Plane::Alpha, false, true},
               {"masked layer with shadow and border", Plane::Mask, true, true}};
  // The last two stick out of the window.
  struct Size {
    int32_t w, h;
  } sizes[] = {{20, 12}, {1, 1}, {1, 40}, {61, 37}};
  const int32_t BX = 7, BY = 5;
  for (const Size& size : sizes)
    for (const Mode& m : modes) {
      const int32_t BW = size.w, BH = size.h;
      // The alpha channel hides column 0, the mask pixel 0, 0: nothing
      // would show.
      if ((BW == 1 && m.plane == Plane::Alpha) || (BW * BH == 1 && m.plane == Plane::Mask))
        continue;
      SCOPED_TRACE(testing::Message() << m.name << ", " << BW << "x" << BH);
      OpenDisplay(34, 24, true);
      MakeBrush(1, BW, BH, Fill::Coded, m.plane);
      // A layer below the one that comes and goes.
      MakeBrush(2, 10, 20, Fill::Coded, Plane::None, 0, 2);
      ASSERT_EQ(Run("DisplayBrush", {2, 20, 2}), ERR_NONE);
      Frame before = Snapshot();
      ASSERT_EQ(Run("DisplayBrush", {1, BX, BY}), ERR_NONE);
      if (m.decorated) {
        ASSERT_EQ(Run("SetLayerShadow", {2, 1}), ERR_NONE);
        ASSERT_EQ(Run("SetLayerBorder", {2, 1, 0xFFFFFF, 2}), ERR_NONE);
      }
      Frame shown = Snapshot();
      ASSERT_NE(shown, before);
      ASSERT_EQ(Run("HideLayer", {2}), ERR_NONE);
      ASSERT_EQ(Snapshot(), before);
      for (int32_t id : IDS) {
        SCOPED_TRACE(testing::Message() << "effect " << id);
        auto options = [&](int32_t type) {
          return Value::Table({{"type", type}, {"forcerealtimelayers", m.realtime ? 1 : 0}});
        };
        ASSERT_EQ(Run("ShowLayerFX", {2, options(id)}), ERR_NONE);
        EXPECT_EQ(static_cast<int32_t>(frames.size()), PromisedFrames(id, BW, BH, -1));
        EXPECT_EQ(Snapshot(), shown);
        EXPECT_FALSE(LayerHidden(2));
        ASSERT_EQ(Run("HideLayerFX", {2, options(id)}), ERR_NONE);
        EXPECT_EQ(static_cast<int32_t>(frames.size()),
                  PromisedFrames(Mirrored(id), BW, BH, -1, true));
        EXPECT_EQ(Snapshot(), before);
        EXPECT_TRUE(LayerHidden(2));
        if (m.decorated) continue;
        // The brush shown as a new layer and removed again.
        ASSERT_EQ(Run("ShowLayer", {2}), ERR_NONE);
        ASSERT_EQ(Run("RemoveLayerFX", {2, options(id)}), ERR_NONE);
        EXPECT_EQ(Snapshot(), before);
        EXPECT_EQ(CountFXLayers(), 1);
        ASSERT_EQ(Run("DisplayBrushFX", {1, BX, BY, options(id)}), ERR_NONE);
        EXPECT_EQ(static_cast<int32_t>(frames.size()), PromisedFrames(id, BW, BH, -1));
        EXPECT_EQ(Snapshot(), shown);
        EXPECT_EQ(CountFXLayers(), 2);
        EXPECT_FALSE(LayerHidden(2));
        ASSERT_EQ(Run("HideLayer", {2}), ERR_NONE);
      }
      Reopen();
    }
}

// The gates and pushes on a layer that emulates a background picture: the
// old picture is that background picture, and the layer ends shown. On a
// plain layer they run as HSTRIPES; "bgpicemu" needs "bgpic".
TEST_F(FamiliesTest, MovingEffectsShowALayerOverItsEmulatedPicture) {
  OpenDisplay(34, 24, true);
  MakeBrush(1, 20, 12, Fill::Coded, Plane::None, 0, 1);
  MakeBrush(3, 34, 24, Fill::Coded, Plane::None, 0, 3);
  ASSERT_EQ(Run("BrushToBGPic", {3, 12}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBrush", {1, 7, 5}), ERR_NONE);
  ASSERT_EQ(Run("SetLayerShadow", {1, 1}), ERR_NONE);
  ASSERT_EQ(Run("SetLayerBorder", {1, 1, 0xFFFFFF, 2}), ERR_NONE);
  Frame shown = Snapshot();
  ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
  Frame hidden = Snapshot();
  EXPECT_EQ(Run("ShowLayerFX", {1, Value::Table({{"type", 74}, {"bgpicemu", 1}})}),
            ERR_MISSINGPARAMTR);
  EXPECT_EQ(Snapshot(), hidden);
  EXPECT_TRUE(LayerHidden(1));
  ASSERT_EQ(Run("ShowLayerFX", {1, 78, 3, 4}), ERR_NONE);
  std::vector<Frame> pushed = frames;
  ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
  ASSERT_EQ(Run("ShowLayerFX", {1, 0, 3, 4}), ERR_NONE);
  EXPECT_EQ(frames, pushed);
  ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
  for (int32_t id : MOVING_IDS) {
    SCOPED_TRACE(testing::Message() << "effect " << id);
    ASSERT_EQ(Run("ShowLayerFX",
                  {1, Value::Table({{"type", id}, {"speed", 3}, {"bgpicemu", 1}, {"bgpic", 12}})}),
              ERR_NONE);
    EXPECT_EQ(static_cast<int32_t>(frames.size()), PromisedFrames(id, 20, 12, 3));
    EXPECT_EQ(Snapshot(), shown);
    EXPECT_FALSE(LayerHidden(1));
    ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
  }
}

// Stepped through the async draw object in layer mode, a jump to frame n
// (event 4) shows what n synchronous frames show, and the steps after it
// go on to the same end. The gate and the push run on a bgpicemu layer.
TEST_F(FamiliesTest, AsyncJumpsEqualSynchronousFrames) {
  OpenDisplay(30, 24, true);
  MakeBrush(1, 30, 24, Fill::Coded, Plane::None, 0, 1);
  MakeBrush(2, 30, 24, Fill::Coded, Plane::None, 0, 2);
  ASSERT_EQ(Run("BrushToBGPic", {2, 12}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBrush", {1, 0, 0}), ERR_NONE);
  Frame shown = Snapshot();
  struct Case {
    int32_t id, speed;
    bool emulated;
  } cases[] = {{75, 1, true},    {78, 3, true},    {70, 2, false},  {115, 20, false},
               {116, 40, false}, {117, 40, false}, {134, 9, false}, {139, -2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "effect " << c.id);
    auto options = [&](bool async) {
      std::vector<std::pair<Value, Value>> o{
          {"type", c.id}, {"speed", c.speed}, {"async", async ? 1 : 0}, {"forcerealtimelayers", 1}};
      if (c.emulated) {
        o.push_back({"bgpicemu", 1});
        o.push_back({"bgpic", 12});
      }
      return Value::Table(o);
    };
    ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
    SeedMathGenerators(5);
    srand(5);
    ASSERT_EQ(Run("ShowLayerFX", {1, options(false)}), ERR_NONE);
    std::vector<Frame> sync = frames;
    ASSERT_GE(sync.size(), 6u);
    ASSERT_EQ(Snapshot(), shown);
    for (int32_t n : {1, 5, static_cast<int32_t>(sync.size()) - 1}) {
      ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
      SeedMathGenerators(5);
      srand(5);
      ASSERT_EQ(Run("ShowLayerFX", {1, options(true)}), ERR_NONE);
      ASSERT_NE(handle, nullptr);
      VmPushLightUserdata(L, handle);
      VmPushNumber(L, n);
      ASSERT_EQ(Call("AsyncDrawFrame", 2), ERR_NONE);
      EXPECT_EQ(Snapshot(), sync[n - 1]) << "jump to " << n;
      ASSERT_EQ(StepToEnd(), ERR_NONE);
      EXPECT_EQ(Snapshot(), shown) << "after the jump to " << n;
    }
  }
}

// In layer mode WATER and STRUDEL fade the layer's opacity as the picture
// moves, from tables made at the start; when one cannot be made (an
// allocation fails) the engine's kernels draw every frame instead. Shown
// and removed, on an alpha layer (levels 0, 128 and 255) and an opaque
// one, every run that goes through draws the same frames.
TEST_F(FamiliesTest, LayerWavesAndSwirlsDrawTheKernelsFrames) {
  for (Plane plane : {Plane::Alpha, Plane::None}) {
    OpenDisplay(30, 24, true);
    MakeBrush(2, 30, 24, Fill::Coded, Plane::None, 0, 2);
    ASSERT_EQ(Run("DisplayBrush", {2, 0, 0}), ERR_NONE);
    MakeBrush(1, 23, 17, Fill::Coded, plane);
    for (int32_t id : {134, 137, 138})
      for (bool removing : {false, true}) {
        SCOPED_TRACE(testing::Message() << "effect " << id << (removing ? " removing" : " showing")
                                        << (plane == Plane::Alpha ? " with alpha" : ""));
        const Value options =
            Value::Table({{"type", id}, {"speed", id == 138 ? 16 : 5}, {"forcerealtimelayers", 1}});
        auto run = [&] {
          if (!removing) return Run("DisplayBrushFX", {1, 4, 3, options});
          ErrorCode e = Run("DisplayBrush", {1, 4, 3});
          return e != ERR_NONE ? e : Run("RemoveLayerFX", {2, options});
        };
        auto clear = [&] {
          while (CountFXLayers() > 1) ASSERT_EQ(Run("RemoveLayer", {2}), ERR_NONE);
        };
        const Frame before = Snapshot();
        ASSERT_EQ(run(), ERR_NONE);
        const std::vector<Frame> want = frames;
        ASSERT_GE(want.size(), 10u);
        clear();
        int32_t through = 0;
        for (uint64_t n = 1; n < 5000; ++n) {
          SetAllocFailure(n, false);
          ErrorCode e = run();
          uint64_t failed = GetAllocFailureCount();
          SetAllocFailure(0, false);
          const std::vector<Frame> drawn = frames;
          clear();
          ASSERT_EQ(Snapshot(), before) << "allocation " << n << " failing";
          if (failed == 0) break;  // past the run's last allocation
          if (e != ERR_NONE) continue;
          EXPECT_TRUE(drawn == want) << "allocation " << n << " failing";
          through++;
        }
        EXPECT_GT(through, 0);
      }
    Reopen();
  }
}

// CROSSFADE through the commands on both headless adapters. Neither
// blends bitmaps for the renderer (bitmap flag 2), so the software path
// runs: each frame is the uniform mix at its level, directly and in layer
// mode.
class CrossFadeTest : public FamiliesTest, public testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    adapter = GetParam();
    FamiliesTest::SetUp();
    InstallAdapterBitmapQuery();  // as start-up does
  }
  void TearDown() override {
    SetAdapterBitmapFlagsQuery(nullptr);
    FamiliesTest::TearDown();
  }
};

TEST_P(CrossFadeTest, FramesMixAtTheirLevels) {
  EXPECT_EQ(AdapterSupportedBitmapFlags(2), 0u);
  const uint32_t OLD = 0x203040, NEW = 0xE08010;
  auto channel = [](uint32_t p, int shift) { return static_cast<int>((p >> shift) & 0xFF); };
  for (bool realtime : {false, true}) {
    SCOPED_TRACE(realtime ? "layer mode" : "direct");
    OpenDisplay(16, 12, true, OLD);
    MakeBrush(1, 10, 8, Fill::Solid, Plane::None, NEW);
    ASSERT_EQ(Run("DisplayBrushFX", {1, 3, 2,
                                     Value::Table({{"type", 115},
                                                   {"speed", 120},
                                                   {"forcerealtimelayers", realtime ? 1 : 0}})}),
              ERR_NONE);
    ASSERT_EQ(frames.size(), 3u);
    const int levels[] = {120, 240, 255};
    for (size_t k = 0; k < 3; k++)
      for (int32_t y = 2; y < 10; y++)
        for (int32_t x = 3; x < 13; x++) {
          uint32_t p = frames[k][static_cast<size_t>(y) * W + x];
          for (int shift : {0, 8, 16}) {
            int want =
                (channel(NEW, shift) * levels[k] + channel(OLD, shift) * (255 - levels[k])) / 255;
            ASSERT_NEAR(channel(p, shift), want, 1) << "frame " << k + 1 << " at " << x << "," << y;
          }
        }
    EXPECT_EQ(frames[0][0], OLD);
    EXPECT_EQ(Snapshot()[static_cast<size_t>(2) * W + 3], NEW);
    Reopen();
  }
}

INSTANTIATE_TEST_SUITE_P(Adapters, CrossFadeTest, testing::Values("testdisplay", "testdisplayhw"));

// The layers beneath a crossfading layer that overlap it, and whether one
// of them is drawn asynchronously.
TEST_F(FamiliesTest, LayersBeneathACrossFade) {
  OpenDisplay(40, 30, true);
  MakeBrush(1, 10, 10, Fill::Solid, Plane::None, 0xFF0000);
  ASSERT_EQ(Run("DisplayBrush", {1, 0, 0}), ERR_NONE);    // 1: overlaps 4
  ASSERT_EQ(Run("DisplayBrush", {1, 30, 20}), ERR_NONE);  // 2: apart
  ASSERT_EQ(Run("DisplayBrush", {1, 6, 6, Value::Table({{"scalex", 2}})}),
            ERR_NONE);                                  // 3: overlaps, transformed
  ASSERT_EQ(Run("DisplayBrush", {1, 8, 8}), ERR_NONE);  // 4: the crossfading one
  ASSERT_EQ(Run("DisplayBrush", {1, 9, 9}), ERR_NONE);  // 5: above it
  qmLayer* layer = GetFXLayerByIndex(4);
  ASSERT_NE(layer, nullptr);
  CrossFadeLayerRecord records[4] = {};
  ASSERT_EQ(CountCrossFadeLayers(layer, records, 4), 1);
  EXPECT_EQ(records[0].layer, GetFXLayerByIndex(1));
  EXPECT_EQ(records[0].x, 0);
  EXPECT_EQ(records[0].width, 10);
  EXPECT_EQ(CountCrossFadeLayers(GetFXLayerByIndex(1), nullptr, 0), 0);
  EXPECT_EQ(OverlapLayerAnimating(layer), 0);
  // An async transition of the layer apart does not count; of one that
  // overlaps, it does.
  ASSERT_EQ(Run("HideLayerFX", {2, Value::Table({{"type", 32}, {"async", 1}})}), ERR_NONE);
  EXPECT_EQ(OverlapLayerAnimating(layer), 0);
  ASSERT_EQ(Run("HideLayerFX", {3, Value::Table({{"type", 32}, {"async", 1}})}), ERR_NONE);
  EXPECT_EQ(OverlapLayerAnimating(layer), 1);
  EXPECT_EQ(OverlapLayerAnimating(GetFXLayerByIndex(1)), 0);
}

// Drawn straight into a bitmap, every WATER and STRUDEL frame equals what
// the engine's ripple and swirl kernels draw of the two pictures, on
// square, tall and wide pictures (each divides by a different scale) whose
// channels sit at 0, 128 and 255, the ends of the packed mixing.
TEST(FamiliesDirect, WaterAndSwirlFramesEqualTheKernelsOnEveryShape) {
  struct Case {
    int32_t id, w, h;
  } cases[] = {{134, 16, 16}, {137, 9, 30}, {135, 41, 3},
               {138, 24, 24}, {138, 7, 33}, {138, 50, 9}};
  const double WAVES[] = {32.0, 64.0, 16.0, 8.0};
  auto extremes = [](int n, int x, int y) {
    uint32_t h = (static_cast<uint32_t>(x) * 2654435761u) ^ (static_cast<uint32_t>(y) * 40503u) ^
                 (static_cast<uint32_t>(n) * 97u);
    uint32_t c = 0;
    for (int shift : {0, 8, 16}) {
      const uint32_t LEVELS[] = {0, 128, 255};
      c |= LEVELS[h % 3] << shift;
      h /= 3;
    }
    return c;
  };
  std::vector<double> sine(SWIRL_TABLE_ENTRIES), cosine(SWIRL_TABLE_ENTRIES);
  BuildSwirlTables(sine.data(), cosine.data());
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "effect " << c.id << ", " << c.w << "x" << c.h);
    const int32_t W = c.w, H = c.h;
    bool water = c.id != 138;
    int32_t speed = water ? 5 : 16;
    fxdirect::DirectRun r(
        W, H, fxdirect::Picture(W, H, [&](int x, int y) { return extremes(1, x, y); }),
        fxdirect::Picture(W, H, [&](int x, int y) { return extremes(2, x, y); }), -1);
    ASSERT_EQ(r.prepare(c.id, speed), ERR_NONE);
    ASSERT_TRUE(r.run());
    std::vector<int32_t> distances(static_cast<size_t>(W) * H);
    std::vector<double> rippleSine(RIPPLE_SINE_ENTRIES);
    BuildRippleTables(rippleSine.data(), distances.data(), W, H, W / 2, H / 2);
    OwnedBitmap want(AllocBitmap(W, H, 0, nullptr));
    for (size_t k = 1; k < r.frames.size(); ++k) {
      auto n = static_cast<int32_t>(k);
      ErrorCode e =
          water ? RippleTransitionFrame(r.newPic.get(), r.oldPic.get(), want.get(), nullptr,
                                        nullptr, W, H, distances.data(), rippleSine.data(),
                                        WAVES[c.id - 134], 0.05, speed, 0, n)
                : SwirlTransitionFrame(r.newPic.get(), r.oldPic.get(), want.get(), nullptr, nullptr,
                                       W, H, sine.data(), cosine.data(), 0, speed * n);
      ASSERT_EQ(e, ERR_NONE);
      ASSERT_EQ(r.frames[k - 1], fxdirect::PixelsOf(want.get())) << "frame " << k;
    }
  }
}

// The row blend of the layer composer, four pixels at a time with a
// tail: every byte pair (each byte of a pixel against each, the alpha byte
// too) at every weight, through an alpha channel at full and half opacity
// and at one opacity without it, rounds as the one-byte rule says.
TEST(FamiliesDirect, RowBlendRoundsEveryByteAtEveryWeight) {
  auto rule = [](uint32_t d, uint32_t s, uint32_t w) {
    auto t = (static_cast<int32_t>(s) - static_cast<int32_t>(d)) * static_cast<int32_t>(w);
    return static_cast<uint32_t>(static_cast<int32_t>(d) + (t + (s >= d ? 127 : -127)) / 255);
  };
  // 4 x 64 + 3 pixels: the last three go through the tail.
  const int32_t N = 259;
  for (uint32_t d = 0; d < 256; d++) {
    std::vector<uint32_t> source(N), dest(N), before(N);
    std::vector<uint8_t> alpha(N);
    for (int32_t i = 0; i < N; i++) {
      auto s = static_cast<uint32_t>((i * 37 + static_cast<int32_t>(d) * 11) & 0xFF);
      source[static_cast<size_t>(i)] =
          s | (255 - s) << 8 | (s ^ 0x5A) << 16 | (i & 1 ? 0 : 255u) << 24;
      before[static_cast<size_t>(i)] = d | d << 8 | (255 - d) << 16 | d << 24;
      alpha[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    }
    for (int32_t opacity : {255, 128, -1}) {
      dest = before;
      AlphaBlendPixelRow(dest.data(), source.data(), opacity < 0 ? nullptr : alpha.data(), N,
                         opacity < 0 ? static_cast<int32_t>(d) : opacity);
      for (int32_t i = 0; i < N; i++) {
        auto k = static_cast<size_t>(i);
        uint32_t w = opacity < 0 ? d : std::min<uint32_t>(255, alpha[k] * uint32_t(opacity) / 255);
        for (int shift = 0; shift < 32; shift += 8) {
          uint32_t want = rule((before[k] >> shift) & 0xFF, (source[k] >> shift) & 0xFF, w);
          ASSERT_EQ((dest[k] >> shift) & 0xFF, want)
              << "pixel " << i << " byte " << shift / 8 << " dest " << d << " weight " << w;
        }
      }
    }
  }
}

}  // namespace
}  // namespace fxtest
