// A layer shown as standing in for a background picture ("bgpicemu"): the
// picture's dirty word makes a running transition draw what lies under the
// layer again, the emulated picture follows the display's scaled size, and
// a scrolled layer keeps its picture's size for those redraws.
#include <gtest/gtest.h>

#include <vector>

#include "tests/fx/fx_harness.h"

namespace fxtest {
namespace {

class BGPicEmuTest : public FXHarness {
 protected:
  // The rectangle (x, y, w, h) of a captured frame.
  Frame Crop(const Frame& f, int32_t x, int32_t y, int32_t w, int32_t h) const {
    Frame out;
    for (int32_t j = y; j < y + h; j++)
      for (int32_t i = x; i < x + w; i++) out.push_back(f[static_cast<size_t>(j) * W + i]);
    return out;
  }
  ErrorCode Step() {
    VmPushLightUserdata(L, handle);
    return Call("AsyncDrawFrame", 1);
  }
  BGPic* Pic(int32_t id) {
    BGPic* pic = nullptr;
    EXPECT_EQ(GetFXBGPic(L, ObjectId{nullptr, id}, &pic), ERR_NONE);
    return pic;
  }
};

// The emulated picture is the one under the layer. When it changes while
// an async transition runs and its dirty word is set, the next step shows
// what the transition would have shown had the picture been so from the
// start: under the part not yet revealed, in the old halves of a gate
// (open and close) and in the half of a turn-down not yet folded.
TEST_F(BGPicEmuTest, ADirtyPictureIsDrawnAgainUnderTheRunningTransition) {
  constexpr uint32_t BEFORE = 0x112233, AFTER = 0x445566;
  constexpr int32_t LX = 7, LY = 9, LW = 30, LH = 20;
  OpenDisplay(48, 40, true);
  MakeBrush(2, 48, 40, Fill::Solid, Plane::None, BEFORE);
  ASSERT_EQ(Run("BrushToBGPic", {2, 12}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBGPic", {12}), ERR_NONE);
  MakeBrush(1, LW, LH, Fill::Coded, Plane::None, 0, 1);
  ASSERT_EQ(Run("DisplayBrush", {1, LX, LY}), ERR_NONE);
  BGPic* pic = Pic(12);
  ASSERT_NE(pic, nullptr);
  auto paint = [&](uint32_t colour, bool show) {
    FillBitmapRect(pic->bitmap, 0, 0, pic->width, pic->height, colour);
    if (show) RefreshRect(L, 0, 0, W, H);
  };
  for (int32_t id : {32, 74, 77, 128}) {
    SCOPED_TRACE(testing::Message() << "effect " << id);
    auto options = [&](bool async) {
      return Value::Table(
          {{"type", id}, {"speed", 3}, {"async", async ? 1 : 0}, {"bgpicemu", 1}, {"bgpic", 12}});
    };
    paint(AFTER, true);
    ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
    ASSERT_EQ(Run("ShowLayerFX", {1, options(false)}), ERR_NONE);
    std::vector<Frame> reference = frames;
    constexpr size_t k = 2;
    ASSERT_GT(reference.size(), k + 1);

    paint(BEFORE, true);
    ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
    ASSERT_EQ(Run("ShowLayerFX", {1, options(true)}), ERR_NONE);
    for (size_t i = 0; i < k; i++) ASSERT_EQ(Step(), ERR_NONE);
    paint(AFTER, false);
    pic->dirty = 1;
    ASSERT_EQ(Step(), ERR_NONE);
    EXPECT_EQ(pic->dirty, 0);
    EXPECT_EQ(Crop(Snapshot(), LX, LY, LW, LH), Crop(reference[k], LX, LY, LW, LH));
    ASSERT_EQ(StepToEnd(), ERR_NONE);
    EXPECT_EQ(Crop(Snapshot(), LX, LY, LW, LH), Crop(reference.back(), LX, LY, LW, LH));
  }
}

// On a display scaled by its layers the emulated picture is brought to the
// scaled size when the transition starts; one already that size is kept.
TEST_F(BGPicEmuTest, TheEmulatedPictureTakesTheScaledSize) {
  OpenDisplay(32, 24, true, 0x203040,
              {{"scalemode", SCALEMODE_LAYER}, {"scalewidth", 64}, {"scaleheight", 48}});
  MakeBrush(1, 10, 8, Fill::Coded);
  ASSERT_EQ(Run("DisplayBrush", {1, 2, 3}), ERR_NONE);
  ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
  ASSERT_EQ(Run("CreateBGPic", {12, 32, 24, 0xFF0000}), ERR_NONE);
  ASSERT_EQ(Run("CreateBGPic", {13, 64, 48, 0x00FF00}), ERR_NONE);
  BitmapHandle* kept = Pic(13)->bitmap;
  for (int32_t id : {12, 13}) {
    ASSERT_EQ(Run("ShowLayerFX",
                  {1, Value::Table({{"type", 74}, {"speed", 8}, {"bgpicemu", 1}, {"bgpic", id}})}),
              ERR_NONE);
    ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
    EXPECT_EQ(Pic(id)->width, 64);
    EXPECT_EQ(Pic(id)->height, 48);
  }
  EXPECT_EQ(Pic(13)->bitmap, kept);
}

// A scrolled layer with a border and a shadow: the emulated picture is
// redrawn at the layer picture's size, not at its bounds; a new look of the
// layer (its filters changed) marks the picture dirty, and the next frame
// draws it again.
TEST_F(BGPicEmuTest, AScrolledLayerKeepsItsPictureSizeAndRedrawsWhenItChanges) {
  OpenDisplay(48, 40, true);
  MakeBrush(2, 48, 40, Fill::Solid, Plane::None, 0x112233);
  ASSERT_EQ(Run("BrushToBGPic", {2, 12}), ERR_NONE);
  MakeBrush(1, 16, 12, Fill::Coded);
  ASSERT_EQ(Run("DisplayBrush", {1, 20, 10}), ERR_NONE);
  ASSERT_EQ(Run("SetLayerShadow", {1, 1}), ERR_NONE);
  ASSERT_EQ(Run("SetLayerBorder", {1, 1, 0xFFFFFF, 2}), ERR_NONE);
  ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
  ASSERT_EQ(
      Run("ShowLayerFX",
          {1, Value::Table(
                  {{"type", 47}, {"speed", 4}, {"async", 1}, {"bgpicemu", 1}, {"bgpic", 12}})}),
      ERR_NONE);
  ASSERT_NE(handle, nullptr);
  auto* state = static_cast<FXState*>(static_cast<AsyncDraw*>(handle)->userData);
  EXPECT_EQ(state->emuWidth, 16);
  EXPECT_EQ(state->emuHeight, 12);
  EXPECT_GT(state->width, 16);
  BGPic* pic = Pic(12);
  ASSERT_EQ(Step(), ERR_NONE);
  EXPECT_EQ(pic->dirty, 0);
  ASSERT_EQ(Run("SetLayerStyle", {1, Value::Table({{"tint", 1}, {"tintcolor", 0xFF0000}})}),
            ERR_NONE);
  EXPECT_EQ(pic->dirty, 1);
  ASSERT_EQ(Step(), ERR_NONE);
  EXPECT_EQ(state->emuRedrawn, 1);
  EXPECT_EQ(pic->dirty, 0);
  ASSERT_EQ(StepToEnd(), ERR_NONE);
}

}  // namespace
}  // namespace fxtest
