// The strip, line, stripe and blind renderers on the test display: every
// id over a table of picture sizes, and the frame sequences that tell a
// wrong band order or a wrong frame count.
#include "tests/fx/fx_harness.h"

namespace fxtest {
namespace {

// The frame count a renderer promises for a picture, from its prepare.
int32_t PromisedFrames(int32_t effect, int32_t w, int32_t h, int32_t speed) {
  FXState s{};
  s.effect = effect;
  s.width = w;
  s.height = h;
  s.speed = speed;
  s.parameter = FX_RANDOMPARAMETER;
  s.render = GetFXRenderer(effect);
  EXPECT_EQ(s.render(&s, nullptr), ERR_NONE);
  FreeMemory(s.priv);
  return s.frameCount;
}

class BandsTest : public FXHarness {};

TEST_F(BandsTest, EveryBandEffectEndsWithItsCountAndOnlyReveals) {
  struct Size {
    int32_t w, h;
  } sizes[] = {{64, 48}, {61, 37}, {1, 1}, {1, 40}};
  std::vector<int32_t> ids;
  for (int32_t id = 0; id <= 23; id++) ids.push_back(id);
  for (int32_t id = 30; id <= 37; id++) ids.push_back(id);
  for (const Size& size : sizes) {
    OpenDisplay(size.w, size.h, false);
    Frame before = Snapshot();
    MakeBrush(1, size.w, size.h, Fill::Coded);
    Frame after(before.size());
    for (int32_t y = 0; y < size.h; y++)
      for (int32_t x = 0; x < size.w; x++)
        after[static_cast<size_t>(y) * size.w + x] = CodedPixel(1, x, y);
    MakeBrush(2, size.w, size.h, Fill::Solid, Plane::None, before[0]);
    for (int32_t id : ids) {
      SCOPED_TRACE(testing::Message() << "effect " << id << " on " << size.w << "x" << size.h);
      srand(5);
      int32_t promised = PromisedFrames(id, size.w, size.h, -1);
      srand(5);
      ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, id}), ERR_NONE);
      EXPECT_EQ(static_cast<int32_t>(frames.size()), promised);
      ASSERT_FALSE(frames.empty());
      EXPECT_EQ(frames.back(), after);
      EXPECT_TRUE(EachPixelOldOrNew(before, after));
      EXPECT_TRUE(RevealMonotonic(before, after));
      ASSERT_EQ(Run("DisplayBrush", {2, 0, 0}), ERR_NONE);
      ASSERT_EQ(Snapshot(), before);
    }
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
}

TEST_F(BandsTest, FrameSequencesOfTheEdgeCases) {
  // REVEALTOP on 100 rows with step 9: ten frames of ten rows, 90..99 last.
  OpenDisplay(20, 100, false);
  Frame before = Snapshot();
  MakeBrush(1, 20, 100, Fill::Coded);
  ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, 32, 9}), ERR_NONE);
  ASSERT_EQ(frames.size(), 10u);
  Frame after = frames.back();
  for (int32_t k = 1; k <= 10; k++) {
    std::vector<int32_t> rows = NewRows(frames[k - 1], after);
    ASSERT_EQ(static_cast<int32_t>(rows.size()), 10 * k) << k;
    EXPECT_EQ(rows.back(), 10 * k - 1) << k;
  }
  EXPECT_TRUE(EachPixelOldOrNew(before, after));
}

TEST_F(BandsTest, LinesStripesAndBlinds) {
  OpenDisplay(5, 20, false);
  Frame before = Snapshot();
  MakeBrush(1, 5, 8, Fill::Coded);
  // HLINES on 8 rows: 9 frames, the last row (7) drawn on two frames in a
  // row, so those frames are equal.
  ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, 36}), ERR_NONE);
  ASSERT_EQ(frames.size(), 9u);
  EXPECT_EQ(frames[4], frames[5]);
  EXPECT_NE(frames[3], frames[4]);
  // HSTRIPES16 on a picture narrower than its step: two frames.
  MakeBrush(2, 5, 20, Fill::Coded, Plane::None, 0, 2);
  ASSERT_EQ(Run("DisplayBrushFX", {2, 0, 0, 4, 10}), ERR_NONE);
  EXPECT_EQ(frames.size(), 2u);
  // HBLINDS8 on 20 rows: three blinds open together, the last 4 rows high.
  MakeBrush(3, 5, 20, Fill::Coded, Plane::None, 0, 3);
  ASSERT_EQ(Run("DisplayBrushFX", {3, 0, 0, 14, 1}), ERR_NONE);
  ASSERT_EQ(frames.size(), 8u);
  Frame after = frames.back();
  EXPECT_EQ(NewRows(frames[0], after), (std::vector<int32_t>{0, 8, 16}));
  EXPECT_EQ(NewRows(frames[3], after),
            (std::vector<int32_t>{0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19}));
}

TEST_F(BandsTest, HidingRunsTheMirroredEffect) {
  OpenDisplay(10, 30, true);
  Frame before = Snapshot();
  MakeBrush(1, 10, 30, Fill::Coded);
  ASSERT_EQ(Run("DisplayBrush", {1, 0, 0}), ERR_NONE);
  Frame shown = Snapshot();
  // Hiding with REVEALTOP takes the layer away from the bottom up.
  ASSERT_EQ(Run("HideLayerFX", {1, 32, 4}), ERR_NONE);
  ASSERT_GE(frames.size(), 2u);
  std::vector<int32_t> rows = NewRows(frames[0], before);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front(), 25);
  EXPECT_EQ(rows.back(), 29);
  EXPECT_EQ(frames.back(), before);
  EXPECT_TRUE(EachPixelOldOrNew(shown, before));
  EXPECT_TRUE(RevealMonotonic(shown, before));
}

}  // namespace
}  // namespace fxtest
