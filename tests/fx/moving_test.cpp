// The zoom, flip-coin, crush, slide, card, turn-down, strange-push and
// stretch renderers: drawn straight into an output bitmap for exact frames
// of position-coded pictures (counts, the regions each frame shows, jumps),
// and through the commands on the test display, directly and in layer mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "tests/fx/direct_run.h"
#include "tests/fx/fx_harness.h"

namespace fxtest {
namespace {

using fxdirect::Picture;
using fxdirect::PixelsOf;
using fxdirect::RGB;
constexpr uint32_t COLOUR = 0x0F0F0F;  // the fill colour; no coded pixel has it

struct DirectRun : fxdirect::DirectRun {
  DirectRun(int w, int h) : fxdirect::DirectRun(w, h, CodedPixel, static_cast<int>(COLOUR)) {}
};

// The bounding box of the pixels of a frame that satisfy a test.
struct Box {
  int x0 = 1 << 20, y0 = 1 << 20, x1 = -1, y1 = -1;
  int count = 0;
  bool empty() const { return count == 0; }
  int w() const { return x1 - x0 + 1; }
  int h() const { return y1 - y0 + 1; }
};
Box boxOf(const Frame& f, int W, const std::function<bool(uint32_t)>& test) {
  Box b;
  for (size_t i = 0; i < f.size(); ++i)
    if (test(f[i])) {
      int x = static_cast<int>(i % W), y = static_cast<int>(i / W);
      b.x0 = std::min(b.x0, x), b.y0 = std::min(b.y0, y);
      b.x1 = std::max(b.x1, x), b.y1 = std::max(b.y1, y);
      ++b.count;
    }
  return b;
}
bool isPicture(uint32_t p, int picture) {
  return p != COLOUR && (p >> 20) == static_cast<uint32_t>(picture);
}
int codedX(uint32_t p) { return static_cast<int>((p >> 10) & 0x3FF); }
int codedY(uint32_t p) { return static_cast<int>(p & 0x3FF); }

const int STRETCH_IDS[] = {55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 69};
const int MOVING_IDS[] = {101, 102, 103, 104, 111, 112, 118, 119, 120, 121,
                          122, 123, 124, 125, 126, 127, 128, 129, 130, 131};

std::vector<int> allIds() {
  std::vector<int> ids(std::begin(STRETCH_IDS), std::end(STRETCH_IDS));
  ids.insert(ids.end(), std::begin(MOVING_IDS), std::end(MOVING_IDS));
  ids.push_back(99);
  ids.push_back(100);
  return ids;
}

TEST(MovingRenderers, EveryEffectEndsOnItsFrameCountAndJumpsEqualFrames) {
  struct Size {
    int w, h;
  } sizes[] = {{64, 48}, {61, 37}, {1, 1}, {1, 40}, {2, 2}, {6, 5}};
  for (Size size : sizes)
    for (int id : allIds())
      for (int speed : {-1, -2, -3, 7}) {
        SCOPED_TRACE(testing::Message()
                     << "effect " << id << " on " << size.w << "x" << size.h << " speed " << speed);
        DirectRun r(size.w, size.h);
        ASSERT_EQ(r.prepare(id, speed), ERR_NONE);
        int count = r.s.frameCount;
        ASSERT_TRUE(r.run());
        ASSERT_EQ(static_cast<int>(r.frames.size()), count);
        ASSERT_EQ(r.frames.back(), r.newPixels());
        if (size.w * size.h < 30) continue;
        for (int n : {0, 1, count / 2, count - 1, count}) {
          if (n < 0) continue;
          SCOPED_TRACE(testing::Message() << "jump to " << n);
          DirectRun jumped(size.w, size.h);
          ASSERT_EQ(jumped.prepare(id, speed), ERR_NONE);
          // A jump back from the end shows the frame from scratch.
          jumped.jump(count);
          ASSERT_EQ(jumped.jump(n), n == 0 ? jumped.oldPixels() : r.frames[n - 1]);
          jumped.s.frame = n;
          if (n < count) {
            ASSERT_TRUE(jumped.run(1) || n + 1 < count);
            ASSERT_EQ(jumped.frames.back(), r.frames[n]);
          }
        }
      }
}

TEST(MovingRenderers, ZoomInShrinksTheOldPictureToThePointThenGrowsTheNew) {
  DirectRun r(100, 50);
  ASSERT_EQ(r.prepare(118, 10), ERR_NONE);
  ASSERT_TRUE(r.run());
  ASSERT_EQ(r.frames.size(), 20u);
  auto old = [](uint32_t p) { return isPicture(p, 2); };
  auto fresh = [](uint32_t p) { return isPicture(p, 1); };
  auto colour = [](uint32_t p) { return p == COLOUR; };
  // Frame 1: the old picture 90 x 46 at (5, 2), the colour all around.
  Box b = boxOf(r.frames[0], 100, old);
  EXPECT_EQ(b.x0, 5);
  EXPECT_EQ(b.y0, 2);
  EXPECT_EQ(b.w(), 90);
  EXPECT_EQ(b.h(), 46);
  EXPECT_EQ(b.count, 90 * 46);
  EXPECT_EQ(boxOf(r.frames[0], 100, colour).count, 100 * 50 - 90 * 46);
  // Frame 10: one old pixel at the centre; frame 11: the new picture.
  b = boxOf(r.frames[9], 100, old);
  EXPECT_EQ(b.count, 1);
  EXPECT_EQ(b.x0, 49);
  EXPECT_EQ(b.y0, 24);
  EXPECT_TRUE(boxOf(r.frames[9], 100, fresh).empty());
  EXPECT_TRUE(boxOf(r.frames[10], 100, old).empty());
  b = boxOf(r.frames[10], 100, fresh);
  EXPECT_EQ(b.w(), 10);
  EXPECT_EQ(b.h(), 6);
  EXPECT_EQ(b.count, 60);
}

// When the step passes the turning point, the first frame of the new
// picture leaves nothing of the old one behind it.
TEST(MovingRenderers, NothingOfTheOldPictureStaysAfterTheTurn) {
  struct Case {
    int effect, w, h, speed, frame;
  } cases[] = {
      {118, 100, 50, 28, 4},  // old 16 wide at p = 84, new 12 wide at p = 112
      {124, 10, 100, 28, 4},  // old band 16 high, new band 12 high
      {101, 100, 10, 28, 4},  // old at x = 84, new at x = 88
      {104, 10, 100, 28, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "effect " << c.effect);
    DirectRun r(c.w, c.h);
    ASSERT_EQ(r.prepare(c.effect, c.speed), ERR_NONE);
    ASSERT_TRUE(r.run());
    EXPECT_FALSE(
        boxOf(r.frames[c.frame - 2], c.w, [](uint32_t p) { return isPicture(p, 2); }).empty());
    EXPECT_TRUE(
        boxOf(r.frames[c.frame - 1], c.w, [](uint32_t p) { return isPicture(p, 2); }).empty());
    EXPECT_FALSE(
        boxOf(r.frames[c.frame - 1], c.w, [](uint32_t p) { return isPicture(p, 1); }).empty());
  }
}

TEST(MovingRenderers, SlideLeftTakesSevenFramesOnAHundredPixelsWithStepThirty) {
  DirectRun r(100, 8);
  ASSERT_EQ(r.prepare(101, 30), ERR_NONE);
  EXPECT_EQ(r.s.frameCount, 7);
  ASSERT_TRUE(r.run());
  ASSERT_EQ(r.frames.size(), 7u);
  const int oldAt[] = {30, 60, 90}, newAt[] = {80, 50, 20};
  for (int k = 0; k < 6; ++k) {
    SCOPED_TRACE(testing::Message() << "frame " << k + 1);
    int picture = k < 3 ? 2 : 1, at = k < 3 ? oldAt[k] : newAt[k - 3];
    Box b = boxOf(r.frames[k], 100, [&](uint32_t p) { return isPicture(p, picture); });
    EXPECT_EQ(b.x0, at);
    EXPECT_EQ(b.x1, 99);
    EXPECT_EQ(b.count, (100 - at) * 8);
    // The picture's own left edge is at the position.
    EXPECT_EQ(codedX(r.frames[k][at]), 0);
    EXPECT_EQ(boxOf(r.frames[k], 100, [](uint32_t p) { return p == COLOUR; }).count, at * 8);
  }
  EXPECT_EQ(r.frames.back(), r.newPixels());
}

TEST(MovingRenderers, StrangePushBringsOddRowsFromTheLeftAndEvenRowsFromTheRight) {
  const int W = 40, H = 6;
  DirectRun r(W, H);
  ASSERT_EQ(r.prepare(99, 7), ERR_NONE);
  EXPECT_EQ(r.s.speed, 8);
  ASSERT_TRUE(r.run());
  ASSERT_EQ(r.frames.size(), 5u);
  for (size_t k = 1; k <= r.frames.size(); ++k)
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        int p = static_cast<int>(k) * 8;
        uint32_t want = CodedPixel(2, x, y);
        if (y % 2 == 1 && x < p) want = CodedPixel(1, W - p + x, y);
        if (y % 2 == 0 && x >= W - p) want = CodedPixel(1, x - (W - p), y);
        ASSERT_EQ(r.frames[k - 1][static_cast<size_t>(y) * W + x], want)
            << "frame " << k << " at " << x << "," << y;
      }
}

TEST(MovingRenderers, CrushAndFlipCoinEdges) {
  // CRUSHLEFT: the last frame is the new picture unscaled; the one before
  // holds both pictures side by side.
  DirectRun crush(30, 7);
  ASSERT_EQ(crush.prepare(120, 7), ERR_NONE);
  ASSERT_TRUE(crush.run());
  ASSERT_EQ(crush.frames.size(), 5u);
  Box fresh = boxOf(crush.frames[3], 30, [](uint32_t p) { return isPicture(p, 1); });
  Box old = boxOf(crush.frames[3], 30, [](uint32_t p) { return isPicture(p, 2); });
  EXPECT_EQ(fresh.x0, 0);
  EXPECT_EQ(fresh.w(), 28);
  EXPECT_EQ(old.x0, 28);
  EXPECT_EQ(old.w(), 2);
  EXPECT_EQ(crush.frames.back(), crush.newPixels());

  // VFLIPCOIN at p = E: a band of the old picture one row high in the
  // middle, the colour above and below.
  DirectRun flip(5, 40);
  ASSERT_EQ(flip.prepare(124, 10), ERR_NONE);
  ASSERT_TRUE(flip.run());
  ASSERT_EQ(flip.frames.size(), 8u);
  Box band = boxOf(flip.frames[3], 5, [](uint32_t p) { return isPicture(p, 2); });
  EXPECT_EQ(band.y0, 19);
  EXPECT_EQ(band.h(), 1);
  EXPECT_EQ(band.w(), 5);
  EXPECT_EQ(boxOf(flip.frames[3], 5, [](uint32_t p) { return p == COLOUR; }).count, 5 * 39);
}

// CARDTOP on five rows, step 1: the rows each frame shows, as (picture,
// source row) from the top. The halves change where 2p reaches the height,
// so every row comes from inside a picture.
TEST(MovingRenderers, CardBandsOnAnOddHeight) {
  struct Case {
    int effect;
    std::vector<std::vector<std::pair<int, int>>> frames;
  } cases[] = {
      {111,
       {{{1, 1}, {2, 0}, {2, 1}, {2, 2}, {2, 3}},
        {{1, 2}, {1, 3}, {2, 0}, {2, 1}, {2, 2}},
        {{1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}},
        {{1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 3}}}},
      {112,
       {{{2, 1}, {2, 2}, {2, 3}, {2, 4}, {1, 3}},
        {{2, 2}, {2, 3}, {2, 4}, {1, 1}, {1, 2}},
        {{2, 2}, {2, 3}, {1, 0}, {1, 1}, {1, 2}},
        {{2, 1}, {1, 0}, {1, 1}, {1, 2}, {1, 3}}}},
  };
  for (const Case& c : cases) {
    DirectRun r(2, 5);
    ASSERT_EQ(r.prepare(c.effect, 1), ERR_NONE);
    ASSERT_TRUE(r.run());
    ASSERT_EQ(r.frames.size(), 5u);
    for (size_t k = 0; k < c.frames.size(); ++k)
      for (int y = 0; y < 5; ++y) {
        uint32_t p = r.frames[k][static_cast<size_t>(y) * 2 + 1];
        EXPECT_EQ(static_cast<int>(p >> 20), c.frames[k][y].first)
            << "effect " << c.effect << " frame " << k + 1 << " row " << y;
        EXPECT_EQ(codedY(p), c.frames[k][y].second)
            << "effect " << c.effect << " frame " << k + 1 << " row " << y;
      }
    EXPECT_EQ(r.frames.back(), r.newPixels());
  }
}

// TURNDOWNTOP: the frame whose step would pass the middle shows the new
// upper half whole over the old lower half, then the new lower half
// unrolls from the middle.
TEST(MovingRenderers, TurnDownCompletesTheFirstHalfAtTheMiddle) {
  const int W = 3, H = 40;
  DirectRun r(W, H);
  ASSERT_EQ(r.prepare(128, 7), ERR_NONE);
  ASSERT_TRUE(r.run());
  ASSERT_EQ(r.frames.size(), 6u);
  for (int y = 0; y < H; ++y)
    EXPECT_EQ(r.frames[2][static_cast<size_t>(y) * W], CodedPixel(y < 20 ? 1 : 2, 0, y))
        << "row " << y;
  // Frame 4, p = 28: the new lower half squeezed into rows 20..27.
  Box unrolled =
      boxOf(r.frames[3], W, [](uint32_t p) { return isPicture(p, 1) && codedY(p) >= 20; });
  EXPECT_EQ(unrolled.y0, 20);
  EXPECT_EQ(unrolled.y1, 27);
  for (int y = 28; y < H; ++y)
    EXPECT_EQ(r.frames[3][static_cast<size_t>(y) * W], CodedPixel(2, 0, y));
  // TURNDOWNBOTTOM mirrors it: the new lower half grows up from the bottom.
  DirectRun up(W, H);
  ASSERT_EQ(up.prepare(129, 7), ERR_NONE);
  ASSERT_TRUE(up.run());
  for (int y = 0; y < H; ++y)
    EXPECT_EQ(up.frames[2][static_cast<size_t>(y) * W], CodedPixel(y >= 20 ? 1 : 2, 0, y))
        << "row " << y;
}

// STRETCH and ZOOM: frame k shows the new picture scaled into a rectangle
// of extent k x step at the effect's anchor, the old picture elsewhere.
TEST(MovingRenderers, StretchRectanglesSitAtTheirAnchors) {
  const int W = 60, H = 30, step = 12;
  // Placement along x and y: 0 low side, 1 centred, 2 high side; then the
  // width and height of frame 1.
  struct Case {
    int effect, ax, ay, w, h;
  } cases[] = {{55, 0, 0, 12, 30}, {56, 2, 0, 12, 30}, {57, 0, 0, 60, 12}, {58, 0, 2, 60, 12},
               {59, 0, 1, 60, 12}, {60, 1, 0, 12, 30}, {61, 1, 1, 12, 6},  {62, 1, 0, 12, 6},
               {63, 2, 0, 12, 6},  {64, 2, 1, 12, 6},  {65, 2, 2, 12, 6},  {66, 1, 2, 12, 6},
               {67, 0, 2, 12, 6},  {68, 0, 1, 12, 6},  {69, 0, 0, 12, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "effect " << c.effect);
    DirectRun r(W, H);
    ASSERT_EQ(r.prepare(c.effect, step), ERR_NONE);
    int extent = c.effect == 57 || c.effect == 58 || c.effect == 59 ? H : W;
    EXPECT_EQ(r.s.frameCount, (extent + step - 1) / step);
    ASSERT_TRUE(r.run());
    Box b = boxOf(r.frames[0], W, [](uint32_t p) { return isPicture(p, 1); });
    ASSERT_EQ(b.count, c.w * c.h);
    EXPECT_EQ(b.w(), c.w);
    EXPECT_EQ(b.h(), c.h);
    auto at = [](int where, int free) { return where == 0 ? 0 : where == 1 ? free / 2 : free; };
    EXPECT_EQ(b.x0, at(c.ax, W - c.w));
    EXPECT_EQ(b.y0, at(c.ay, H - c.h));
    // The scaled picture keeps its corners' sources.
    EXPECT_EQ(r.frames[0][static_cast<size_t>(b.y0) * W + b.x0], CodedPixel(1, 0, 0));
    EXPECT_EQ(boxOf(r.frames[0], W, [](uint32_t p) { return isPicture(p, 2); }).count,
              W * H - c.w * c.h);
  }
}

// ---- Through the commands, on the test display ----

class MovingTest : public FXHarness {
 protected:
  void Reopen() {
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  Frame Coded(int32_t picture, int32_t w, int32_t h) {
    Frame f(static_cast<size_t>(w) * h);
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) f[static_cast<size_t>(y) * w + x] = CodedPixel(picture, x, y);
    return f;
  }
};

// The frame count a renderer promises for a picture.
int32_t PromisedFrames(int32_t effect, int32_t w, int32_t h, int32_t speed) {
  FXState s{};
  s.effect = effect;
  s.width = w;
  s.height = h;
  s.speed = speed;
  s.parameter = FX_RANDOMPARAMETER;
  s.render = GetFXRenderer(effect);
  EXPECT_EQ(s.render(&s, nullptr), ERR_NONE);
  if (s.releasePriv) s.releasePriv(&s, 1);
  FreeMemory(s.priv);
  return s.frameCount;
}

TEST_F(MovingTest, BackgroundPicturesAndBrushesEndExactlyOnTheirCount) {
  struct Size {
    int32_t w, h;
  } sizes[] = {{64, 48}, {61, 37}, {1, 1}, {1, 40}, {2, 2}, {6, 5}};
  for (const Size& size : sizes) {
    OpenDisplay(size.w, size.h, false);
    MakeBrush(1, size.w, size.h, Fill::Coded, Plane::None, 0, 1);
    MakeBrush(2, size.w, size.h, Fill::Coded, Plane::None, 0, 2);
    ASSERT_EQ(Run("BrushToBGPic", {1, 11}), ERR_NONE);
    ASSERT_EQ(Run("BrushToBGPic", {2, 12}), ERR_NONE);
    Frame one = Coded(1, size.w, size.h), two = Coded(2, size.w, size.h);
    // Background pictures take turns: each transition starts from the other.
    int32_t next = 11;
    ASSERT_EQ(Run("DisplayBGPic", {12}), ERR_NONE);
    for (int32_t id : allIds()) {
      SCOPED_TRACE(testing::Message() << "effect " << id << " on " << size.w << "x" << size.h);
      ASSERT_EQ(Run("DisplayTransitionFX", {next, id}), ERR_NONE);
      EXPECT_EQ(static_cast<int32_t>(frames.size()), PromisedFrames(id, size.w, size.h, -1));
      ASSERT_FALSE(frames.empty());
      EXPECT_EQ(frames.back(), next == 11 ? one : two);
      EXPECT_EQ(Snapshot(), next == 11 ? one : two);
      next = next == 11 ? 12 : 11;
    }
    // Stretch and strange push also show brushes.
    ASSERT_EQ(Run("DisplayBGPic", {12}), ERR_NONE);
    for (int32_t id : {55, 58, 61, 65, 99, 100}) {
      SCOPED_TRACE(testing::Message()
                   << "brush, effect " << id << " on " << size.w << "x" << size.h);
      ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, id}), ERR_NONE);
      EXPECT_EQ(static_cast<int32_t>(frames.size()), PromisedFrames(id, size.w, size.h, -1));
      EXPECT_EQ(Snapshot(), one);
      ASSERT_EQ(Run("DisplayBrush", {2, 0, 0}), ERR_NONE);
    }
    Reopen();
  }
}

// The old picture may be of another size than the new one: it is drawn,
// scaled and squeezed within what it has, and the frames end on the new
// picture.
TEST_F(MovingTest, OldPicturesOfAnotherSize) {
  OpenDisplay(40, 30, false);
  MakeBrush(1, 40, 30, Fill::Coded, Plane::None, 0, 1);
  ASSERT_EQ(Run("BrushToBGPic", {1, 11}), ERR_NONE);
  Frame one = Coded(1, 40, 30);
  for (auto [w, h] : {std::pair{20, 50}, std::pair{70, 12}}) {
    MakeBrush(2, w, h, Fill::Coded, Plane::None, 0, 2);
    ASSERT_EQ(Run("BrushToBGPic", {2, 12}), ERR_NONE);
    for (int32_t id : allIds()) {
      SCOPED_TRACE(testing::Message() << "effect " << id << " from " << w << "x" << h);
      ASSERT_EQ(Run("DisplayBGPic", {12}), ERR_NONE);
      ASSERT_EQ(Run("DisplayTransitionFX", {11, id, 3}), ERR_NONE);
      EXPECT_EQ(static_cast<int32_t>(frames.size()), PromisedFrames(id, 40, 30, 3));
      EXPECT_EQ(Snapshot(), one);
    }
  }
}

// Layer mode: showing a brush layer with a shadow and a border, and hiding
// it, end exactly where the plain commands end, the border no longer faded.
TEST_F(MovingTest, LayersWithShadowAndBorderShowAndHide) {
  OpenDisplay(48, 40, true);
  MakeBrush(1, 30, 20, Fill::Coded, Plane::Mask, 0, 1);
  Frame before = Snapshot();
  ASSERT_EQ(Run("DisplayBrush", {1, 9, 11}), ERR_NONE);
  ASSERT_EQ(Run("SetLayerShadow", {1, 1}), ERR_NONE);
  ASSERT_EQ(Run("SetLayerBorder", {1, 1, 0xFFFFFF, 2}), ERR_NONE);
  Frame shown = Snapshot();
  ASSERT_NE(shown, before);
  ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
  ASSERT_EQ(Snapshot(), before);
  for (int32_t id : {32, 55, 56, 59, 61, 63, 67, 99, 100}) {
    SCOPED_TRACE(testing::Message() << "effect " << id);
    ASSERT_EQ(Run("ShowLayerFX", {1, id, 4}), ERR_NONE);
    EXPECT_GT(frames.size(), 1u);
    EXPECT_EQ(Snapshot(), shown);
    ASSERT_EQ(Run("HideLayerFX", {1, id, 4}), ERR_NONE);
    EXPECT_GT(frames.size(), 1u);
    EXPECT_EQ(Snapshot(), before);
  }
}

TEST_F(MovingTest, MovingEffectsRunOnALayerThatEmulatesABackgroundPicture) {
  OpenDisplay(48, 40, true);
  MakeBrush(1, 30, 20, Fill::Coded, Plane::None, 0, 1);
  MakeBrush(2, 48, 40, Fill::Coded, Plane::None, 0, 2);
  ASSERT_EQ(Run("BrushToBGPic", {2, 12}), ERR_NONE);
  // A layer beneath, and the layer shown with a shadow and a border.
  MakeBrush(3, 20, 10, Fill::Coded, Plane::None, 0, 3);
  ASSERT_EQ(Run("DisplayBrush", {3, 2, 6}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBrush", {1, 7, 9}), ERR_NONE);
  ASSERT_EQ(Run("SetLayerShadow", {2, 1}), ERR_NONE);
  ASSERT_EQ(Run("SetLayerBorder", {2, 1, 0xFFFFFF, 2}), ERR_NONE);
  Frame shown = Snapshot();
  ASSERT_EQ(Run("HideLayer", {2}), ERR_NONE);
  Frame before = Snapshot();
  for (int32_t id : MOVING_IDS) {
    SCOPED_TRACE(testing::Message() << "effect " << id);
    ASSERT_EQ(Run("ShowLayerFX",
                  {2, Value::Table({{"type", id}, {"speed", 5}, {"bgpicemu", 1}, {"bgpic", 12}})}),
              ERR_NONE);
    EXPECT_EQ(static_cast<int32_t>(frames.size()), PromisedFrames(id, 30, 20, 5));
    EXPECT_EQ(Snapshot(), shown);
    ASSERT_EQ(Run("HideLayer", {2}), ERR_NONE);
    ASSERT_EQ(Snapshot(), before);
  }
}

// Stepped through the async draw object in layer mode, a jump to frame n
// shows what n synchronous frames show, and the steps after it go on to
// the same end.
TEST_F(MovingTest, AsyncJumpsEqualSynchronousFrames) {
  OpenDisplay(40, 30, true);
  MakeBrush(1, 40, 30, Fill::Coded, Plane::None, 0, 1);
  MakeBrush(2, 40, 30, Fill::Coded, Plane::None, 0, 2);
  ASSERT_EQ(Run("BrushToBGPic", {2, 12}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBrush", {1, 0, 0}), ERR_NONE);
  Frame shown = Snapshot();
  for (int32_t id : {56, 65, 99, 100, 101, 112, 118, 124, 128}) {
    SCOPED_TRACE(testing::Message() << "effect " << id);
    auto options = [&](bool async) {
      return Value::Table(
          {{"type", id}, {"speed", 4}, {"async", async ? 1 : 0}, {"bgpicemu", 1}, {"bgpic", 12}});
    };
    ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
    ASSERT_EQ(Run("ShowLayerFX", {1, options(false)}), ERR_NONE);
    std::vector<Frame> sync = frames;
    ASSERT_GE(sync.size(), 4u);
    ASSERT_EQ(Snapshot(), shown);
    for (int32_t n :
         {1, static_cast<int32_t>(sync.size()) / 2, static_cast<int32_t>(sync.size()) - 1}) {
      ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
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

}  // namespace
}  // namespace fxtest
