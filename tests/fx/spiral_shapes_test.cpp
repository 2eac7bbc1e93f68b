// The spiral, corner, quadrant, split and column renderers and the star,
// sun and clock-wipe renderers on the test display: every id over a table
// of picture sizes, the frames that tell a wrong geometry, hiding, layers
// with a shadow and a border, and jumps of the whole-frame shapes.
#include <algorithm>
#include <set>

#include "platform/linux/system_private.h"
#include "tests/fx/fx_harness.h"

namespace fxtest {
namespace {

// The frame count a renderer promises for a picture, from its prepare.
int32_t PromisedFrames(int32_t effect, int32_t w, int32_t h, int32_t speed) {
  FXState s{};
  s.effect = effect;
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

// A box of pixels: x0, y0 inclusive, x1, y1 exclusive.
struct Box {
  int32_t x0, y0, x1, y1;
};

const int32_t SPIRAL_IDS[] = {105, 106, 107, 108, 109, 110};
const int32_t SHAPE_IDS[] = {97, 98, 114};

class SpiralShapesTest : public FXHarness {
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
  // The coded picture 1 over the whole window.
  Frame CodedWindow() const {
    Frame out(static_cast<size_t>(W) * H);
    for (int32_t y = 0; y < H; y++)
      for (int32_t x = 0; x < W; x++) out[static_cast<size_t>(y) * W + x] = CodedPixel(1, x, y);
    return out;
  }
  // The pixels of a frame that differ from `before`.
  std::set<std::pair<int32_t, int32_t>> Changed(const Frame& frame, const Frame& before) const {
    std::set<std::pair<int32_t, int32_t>> out;
    for (int32_t y = 0; y < H; y++)
      for (int32_t x = 0; x < W; x++)
        if (frame[static_cast<size_t>(y) * W + x] != before[static_cast<size_t>(y) * W + x])
          out.insert({x, y});
    return out;
  }
  static std::set<std::pair<int32_t, int32_t>> BoxPixels(std::initializer_list<Box> boxes) {
    std::set<std::pair<int32_t, int32_t>> out;
    for (const Box& b : boxes)
      for (int32_t y = b.y0; y < b.y1; y++)
        for (int32_t x = b.x0; x < b.x1; x++) out.insert({x, y});
    return out;
  }
  // Runs a brush transition over the whole window (the brush coded, the
  // window the display's colour before) and restores the window after.
  void RunWhole(int32_t effect, int32_t speed) {
    Frame before = Snapshot();
    ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, effect, speed}), ERR_NONE);
    ASSERT_FALSE(frames.empty());
    std::vector<Frame> kept = frames;
    ASSERT_EQ(Run("DisplayBrush", {2, 0, 0}), ERR_NONE);
    ASSERT_EQ(Snapshot(), before);
    frames = kept;
  }
};

TEST_F(SpiralShapesTest, EveryEffectEndsOnItsCountShowingOnlyOldOrNewAndRevealing) {
  struct Size {
    int32_t w, h;
  } sizes[] = {{64, 48}, {61, 37}, {1, 1}, {1, 40}, {2, 2}, {6, 5}, {40, 1}};
  std::vector<int32_t> ids(std::begin(SPIRAL_IDS), std::end(SPIRAL_IDS));
  ids.insert(ids.end(), std::begin(SHAPE_IDS), std::end(SHAPE_IDS));
  for (const Size& size : sizes) {
    OpenDisplay(size.w, size.h, false);
    Frame before = Snapshot();
    MakeBrush(1, size.w, size.h, Fill::Coded);
    MakeBrush(2, size.w, size.h, Fill::Solid, Plane::None, before[0]);
    Frame after = CodedWindow();
    for (int32_t id : ids)
      for (int32_t speed : {-1, -2, -3, 1, 7}) {
        SCOPED_TRACE(testing::Message()
                     << "effect " << id << " on " << size.w << "x" << size.h << " speed " << speed);
        int32_t promised = PromisedFrames(id, size.w, size.h, speed);
        RunWhole(id, speed);
        EXPECT_EQ(static_cast<int32_t>(frames.size()), promised);
        EXPECT_EQ(frames.back(), after);
        EXPECT_TRUE(EachPixelOldOrNew(before, after));
        EXPECT_TRUE(RevealMonotonic(before, after));
      }
    Reopen();
  }
}

TEST_F(SpiralShapesTest, SpiralCornerSplitAndColumnGeometry) {
  struct Case {
    const char* what;
    int32_t w, h, effect, speed;
    int32_t frame;           // 1-based
    std::vector<Box> added;  // exactly the pixels this frame adds
  } cases[] = {
      // Columns and rows of 11: the first strip down the right edge, the
      // second state's first strip at the bottom left of column 6.
      {"spiral first strip", 70, 60, 105, -1, 1, {{59, 0, 70, 10}}},
      {"spiral second state", 70, 60, 105, -1, 8, {{49, 49, 59, 60}}},
      // r = 0.5: corners of 10 x trunc(0.5 x 10 + 1) = 6.
      {"swiss corners",
       200,
       100,
       106,
       10,
       1,
       {{0, 0, 10, 6}, {190, 0, 200, 6}, {0, 94, 10, 100}, {190, 94, 200, 100}}},
      // After the switch at progress 20 of 41, the top right and bottom left
      // quadrants start past the odd middle column and row, as the bottom
      // right one did: 4 x 3 rectangles centred in 20 x 10 quadrants.
      {"quadrect second pair", 41, 21, 107, 4, 6, {{29, 3, 33, 6}, {8, 14, 12, 17}}},
      // W = 101: Q = 25, the second half starts at 51.
      {"hsplit odd width", 101, 20, 108, 4, 1, {{25, 0, 29, 20}, {76, 0, 80, 20}}},
      {"hsplit second frame",
       101,
       20,
       108,
       4,
       2,
       {{21, 0, 25, 20}, {29, 0, 33, 20}, {72, 0, 76, 20}, {80, 0, 84, 20}}},
      {"vsplit", 20, 40, 109, 3, 1, {{0, 10, 20, 13}, {0, 30, 20, 33}}},
      // Columns of 80 / 8 + 1 = 11, strips step + 2 high.
      {"upndown first strips", 80, 100, 110, 10, 1, {{0, 0, 11, 12}, {11, 89, 22, 100}}},
      {"upndown second strips", 80, 100, 110, 10, 2, {{0, 12, 11, 22}, {11, 79, 22, 89}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OpenDisplay(c.w, c.h, false);
    MakeBrush(1, c.w, c.h, Fill::Coded);
    ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, c.effect, c.speed}), ERR_NONE);
    ASSERT_GE(static_cast<int32_t>(frames.size()), c.frame);
    Frame previous = c.frame > 1 ? frames[c.frame - 2] : frames[0];
    if (c.frame == 1) std::fill(previous.begin(), previous.end(), 0x203040u);
    std::set<std::pair<int32_t, int32_t>> want;
    for (const Box& b : c.added) {
      std::set<std::pair<int32_t, int32_t>> one = BoxPixels({b});
      want.insert(one.begin(), one.end());
    }
    EXPECT_EQ(Changed(frames[c.frame - 1], previous), want);
    Reopen();
  }
}

TEST_F(SpiralShapesTest, StarSunAndClockWipeGeometry) {
  // STAR on 100 x 100 with step 10: 39 frames, the first star 20 wide
  // around the centre.
  {
    OpenDisplay(100, 100, false);
    MakeBrush(1, 100, 100, Fill::Coded);
    Frame before = Snapshot();
    ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, 98, 10}), ERR_NONE);
    EXPECT_EQ(frames.size(), 39u);
    auto shown = Changed(frames[0], before);
    ASSERT_FALSE(shown.empty());
    int32_t x0 = 1000, x1 = -1, y0 = 1000, y1 = -1;
    for (auto [x, y] : shown) {
      x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
    EXPECT_EQ(x0, 40);
    EXPECT_EQ(x1, 59);
    EXPECT_GE(y0, 39);
    EXPECT_LE(y1, 59);
    EXPECT_TRUE(shown.count({50, 50}));
    EXPECT_EQ(frames.back(), CodedWindow());
    Reopen();
  }
  // SUN on a picture 3 rows high: the ellipse is at least 3 high, so the
  // first frame already shows all three rows at the centre; it ends.
  {
    OpenDisplay(40, 3, false);
    MakeBrush(1, 40, 3, Fill::Coded);
    Frame before = Snapshot();
    ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, 114}), ERR_NONE);
    EXPECT_EQ(static_cast<int32_t>(frames.size()), PromisedFrames(114, 40, 3, -1));
    auto shown = Changed(frames[0], before);
    for (int32_t y = 0; y < 3; y++) EXPECT_TRUE(shown.count({20, y})) << "row " << y;
    EXPECT_FALSE(shown.count({0, 1}));
    EXPECT_EQ(frames.back(), CodedWindow());
    Reopen();
  }
  // CLOCKWIPE on 100 x 100 with step 10: the tip runs 60, 70, 80, 90 along
  // the top; at 100 it turns the corner and goes on at (99, 1), so frame 5
  // shows the top right corner and frame 6 the right edge below it.
  {
    OpenDisplay(100, 100, false);
    MakeBrush(1, 100, 100, Fill::Coded);
    ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, 97, 10}), ERR_NONE);
    EXPECT_EQ(static_cast<int32_t>(frames.size()), PromisedFrames(97, 100, 100, 10));
    auto isNew = [&](size_t frame, int32_t x, int32_t y) {
      return frames[frame - 1][static_cast<size_t>(y) * W + x] == CodedPixel(1, x, y);
    };
    EXPECT_TRUE(isNew(1, 55, 2));
    EXPECT_FALSE(isNew(1, 45, 2));
    EXPECT_FALSE(isNew(4, 99, 0));
    EXPECT_TRUE(isNew(5, 99, 0));
    EXPECT_FALSE(isNew(5, 98, 5));
    EXPECT_TRUE(isNew(6, 98, 5));
    // The sweep ends on the top edge, left of where it began.
    EXPECT_FALSE(isNew(frames.size() - 1, 45, 2));
    EXPECT_EQ(frames.back(), CodedWindow());
    Reopen();
  }
  // A step longer than the sides: the tip goes round every corner in one
  // frame and the wedge holds them all.
  {
    OpenDisplay(8, 6, false);
    MakeBrush(1, 8, 6, Fill::Coded);
    ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, 97, 12}), ERR_NONE);
    ASSERT_EQ(frames.size(), 3u);
    for (auto [x, y] : {std::pair{7, 5}, {0, 5}, {0, 0}, {7, 0}})
      EXPECT_EQ(frames[1][static_cast<size_t>(y) * W + x], CodedPixel(1, x, y)) << x << "," << y;
    EXPECT_EQ(frames.back(), CodedWindow());
    Reopen();
  }
}

// Hiding a layer grows each shape as a hole: the layer stays only outside
// it, and what it uncovers stays uncovered; directly and in layer mode.
TEST_F(SpiralShapesTest, HidingGrowsTheShapeAsAHole) {
  struct Probe {
    int32_t effect, x, y;  // a pixel inside the first frame's shape
  } probes[] = {{98, 15, 10}, {114, 15, 10}, {97, 17, 4}};
  for (bool realtime : {false, true})
    for (const Probe& p : probes) {
      SCOPED_TRACE(testing::Message() << "effect " << p.effect << (realtime ? " layer mode" : ""));
      OpenDisplay(64, 48, true);
      MakeBrush(1, 30, 20, Fill::Coded);
      Frame before = Snapshot();
      ASSERT_EQ(Run("DisplayBrush", {1, 10, 8}), ERR_NONE);
      Frame shown = Snapshot();
      ASSERT_EQ(
          Run("HideLayerFX",
              {1, Value::Table({{"type", p.effect}, {"forcerealtimelayers", realtime ? 1 : 0}})}),
          ERR_NONE);
      ASSERT_FALSE(frames.empty());
      EXPECT_EQ(static_cast<int32_t>(frames.size()), PromisedFrames(p.effect, 30, 20, -1));
      EXPECT_EQ(frames.back(), before);
      EXPECT_TRUE(EachPixelOldOrNew(shown, before));
      EXPECT_TRUE(RevealMonotonic(shown, before));
      const Frame& first = frames[0];
      auto at = [&](int32_t x, int32_t y) {
        return first[static_cast<size_t>(y + 8) * W + x + 10];
      };
      EXPECT_EQ(at(p.x, p.y), before[static_cast<size_t>(p.y + 8) * W + p.x + 10]);
      for (auto [x, y] : {std::pair{0, 0}, {29, 0}, {0, 19}, {29, 19}})
        EXPECT_EQ(at(x, y), CodedPixel(1, x, y)) << x << "," << y;
      Reopen();
    }
}

// Every effect shows and hides a layer with a shadow and a border, ending
// exactly as the layer shown or hidden without a transition.
TEST_F(SpiralShapesTest, LayersWithShadowAndBorder) {
  std::vector<int32_t> ids(std::begin(SPIRAL_IDS), std::end(SPIRAL_IDS));
  ids.insert(ids.end(), std::begin(SHAPE_IDS), std::end(SHAPE_IDS));
  OpenDisplay(64, 48, true);
  MakeBrush(1, 30, 20, Fill::Coded, Plane::Mask);
  Frame before = Snapshot();
  ASSERT_EQ(Run("DisplayBrush", {1, 12, 10}), ERR_NONE);
  ASSERT_EQ(Run("SetLayerBorder", {1, 1, 0xFFFFFF, 2}), ERR_NONE);
  ASSERT_EQ(Run("SetLayerShadow", {1, 1}), ERR_NONE);
  Frame shown = Snapshot();
  ASSERT_NE(shown, before);
  for (int32_t id : ids) {
    SCOPED_TRACE(testing::Message() << "effect " << id);
    int32_t promised = PromisedFrames(id, 30, 20, -1);
    ASSERT_EQ(Run("HideLayerFX", {1, id}), ERR_NONE);
    EXPECT_EQ(static_cast<int32_t>(frames.size()), promised);
    EXPECT_EQ(Snapshot(), before);
    ASSERT_EQ(Run("ShowLayerFX", {1, id}), ERR_NONE);
    EXPECT_EQ(static_cast<int32_t>(frames.size()), promised);
    EXPECT_EQ(Snapshot(), shown);
  }
}

// A jump of the async draw object to frame n shows what n single frames
// show, backwards too, and the frames after it go on from there: the shapes
// draw frame n from scratch, the others replay their frames.
TEST_F(SpiralShapesTest, JumpsEqualSingleFrames) {
  std::vector<int32_t> ids(std::begin(SPIRAL_IDS), std::end(SPIRAL_IDS));
  ids.insert(ids.end(), std::begin(SHAPE_IDS), std::end(SHAPE_IDS));
  for (Plane plane : {Plane::None, Plane::Mask, Plane::Alpha})
    for (int32_t id : ids) {
      SCOPED_TRACE(testing::Message() << "effect " << id << " plane " << static_cast<int>(plane));
      OpenDisplay(64, 48, true);
      MakeBrush(1, 40, 30, Fill::Coded, plane);
      ASSERT_EQ(Run("DisplayBrush", {1, 12, 9}), ERR_NONE);
      Frame plain = Snapshot();
      ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
      const Value options = Value::Table({{"type", id}, {"speed", 2}, {"async", 1}});
      ASSERT_EQ(Run("DisplayBrushFX", {1, 12, 9, options}), ERR_NONE);
      ASSERT_EQ(StepToEnd(), ERR_NONE);
      std::vector<Frame> single = frames;
      EXPECT_EQ(single.back(), plain);
      ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
      ASSERT_EQ(Run("DisplayBrushFX", {1, 12, 9, options}), ERR_NONE);
      auto* draw = static_cast<AsyncDraw*>(handle);
      auto count = static_cast<int32_t>(draw->event(ADEVENT_FRAMES, 0, draw->userData, 0));
      ASSERT_GE(static_cast<int32_t>(single.size()), count);
      ASSERT_GE(count, 4);
      for (int32_t n : {count / 2, 1, count - 1}) {
        SCOPED_TRACE(testing::Message() << "frame " << n);
        VmPushLightUserdata(L, handle);
        VmPushNumber(L, n);
        ASSERT_EQ(Call("AsyncDrawFrame", 2), ERR_NONE);
        EXPECT_EQ(Snapshot(), single[n - 1]);
        VmPushLightUserdata(L, handle);
        ASSERT_EQ(Call("AsyncDrawFrame", 1), ERR_NONE);
        EXPECT_EQ(Snapshot(), single[n]);
      }
      ASSERT_EQ(StepToEnd(), ERR_NONE);
      EXPECT_EQ(Snapshot(), single.back());
      Reopen();
    }
}

// Background pictures take turns, with layers off and on: each transition
// shows only the two pictures, the new one only gaining, and ends on it.
TEST_F(SpiralShapesTest, BackgroundPicturesTakeTurns) {
  std::vector<int32_t> ids(std::begin(SPIRAL_IDS), std::end(SPIRAL_IDS));
  ids.insert(ids.end(), std::begin(SHAPE_IDS), std::end(SHAPE_IDS));
  for (bool layers : {false, true}) {
    OpenDisplay(45, 31, layers);
    MakeBrush(1, W, H, Fill::Coded, Plane::None, 0, 1);
    MakeBrush(2, W, H, Fill::Coded, Plane::None, 0, 2);
    ASSERT_EQ(Run("BrushToBGPic", {1, 11}), ERR_NONE);
    ASSERT_EQ(Run("BrushToBGPic", {2, 12}), ERR_NONE);
    ASSERT_EQ(Run("DisplayBGPic", {12}), ERR_NONE);
    int32_t next = 11;
    for (int32_t id : ids) {
      SCOPED_TRACE(testing::Message() << "effect " << id << (layers ? " with layers" : ""));
      Frame before = Snapshot();
      ASSERT_EQ(Run("DisplayTransitionFX", {next, id}), ERR_NONE);
      Frame after = Pixels(next - 10, W, H, Fill::Coded, 0, 0);
      EXPECT_EQ(static_cast<int32_t>(frames.size()), PromisedFrames(id, W, H, -1));
      ASSERT_FALSE(frames.empty());
      EXPECT_EQ(frames.back(), after);
      EXPECT_TRUE(EachPixelOldOrNew(before, after));
      EXPECT_TRUE(RevealMonotonic(before, after));
      next = next == 11 ? 12 : 11;
    }
    Reopen();
  }
}

// Drawn straight into a bitmap (no layer), a shape's frame n drawn from
// scratch equals n single frames, and the next single frame goes on.
TEST(SpiralShapesDirect, ShapeJumpsIntoABitmapEqualSingleFrames) {
  const int32_t W = 37, H = 29;
  constexpr uint32_t INTO_BITMAP = SAFEBLT_NOCLIPRECORD | SAFEBLT_NOSPRITES | SAFEBLT_BITMAPONLY;
  auto picture = [&](int32_t number) {
    OwnedBitmap b(AllocBitmap(W, H, 0, nullptr));
    for (int32_t y = 0; y < H; y++)
      for (int32_t x = 0; x < W; x++)
        WriteBitmapPixel(b.get(), x, y, 0xFF000000u | CodedPixel(number, x, y), 0);
    return b;
  };
  auto pixels = [&](BitmapHandle* b) {
    Frame f;
    for (int32_t y = 0; y < H; y++)
      for (int32_t x = 0; x < W; x++) f.push_back(ReadBitmapPixel(b, x, y, 0) & 0xFFFFFF);
    return f;
  };
  OwnedBitmap newPicture = picture(1), oldPicture = picture(2);
  struct Run {
    OwnedBitmap out;
    FXState s{};
    ~Run() {
      if (s.releasePriv) s.releasePriv(&s, 1);
      FreeMemory(s.priv);
    }
  };
  auto start = [&](Run& r, int32_t id) {
    r.out.reset(AllocBitmap(W, H, 0, nullptr));
    BltBitmapToTarget(oldPicture.get(), 0, 0, r.out.get(), 0, 0, W, H);
    r.s.effect = id;
    r.s.speed = r.s.requestedSpeed = 3;
    r.s.width = r.s.outWidth = W;
    r.s.height = r.s.outHeight = H;
    r.s.image = newPicture.get();
    r.s.background = oldPicture.get();
    r.s.dest = r.out.get();
    r.s.bltFlags = INTO_BITMAP;
    r.s.render = GetFXRenderer(id);
    r.s.phase = FXPHASE_PREPARE;
    ASSERT_EQ(r.s.render(&r.s, nullptr), ERR_NONE);
    r.s.phase = FXPHASE_FRAME;
  };
  for (int32_t id : SHAPE_IDS) {
    SCOPED_TRACE(testing::Message() << "effect " << id);
    Run single;
    start(single, id);
    std::vector<Frame> frames;
    for (int32_t done = 0; !done && frames.size() < 1000;) {
      ASSERT_EQ(single.s.render(&single.s, &done), ERR_NONE);
      frames.push_back(pixels(single.out.get()));
    }
    ASSERT_EQ(static_cast<int32_t>(frames.size()), single.s.frameCount);
    int32_t count = single.s.frameCount;
    Run jumped;
    start(jumped, id);
    for (int32_t n : {count / 2, 1, count - 1, count}) {
      if (n < 1) continue;
      SCOPED_TRACE(testing::Message() << "frame " << n);
      jumped.s.phase = FXPHASE_JUMP;
      jumped.s.frame = n;
      ASSERT_EQ(jumped.s.render(&jumped.s, nullptr), ERR_NONE);
      jumped.s.phase = FXPHASE_FRAME;
      EXPECT_EQ(pixels(jumped.out.get()), frames[n - 1]);
      if (n < count) {
        int32_t done = 0;
        ASSERT_EQ(jumped.s.render(&jumped.s, &done), ERR_NONE);
        EXPECT_EQ(pixels(jumped.out.get()), frames[n]);
      }
    }
  }
}

// Each allocation in turn fails, directly and in layer mode, until the
// transition goes through: every failure is an allocation error, and
// nothing leaks or is freed twice on the way (ASan checks).
TEST_F(SpiralShapesTest, FailingAllocationsEndCleanly) {
  for (bool layers : {false, true}) {
    OpenDisplay(24, 18, layers);
    MakeBrush(1, 20, 15, Fill::Coded, layers ? Plane::Alpha : Plane::None);
    for (int32_t id : {97, 98, 114, 105}) {
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
