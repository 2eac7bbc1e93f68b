// Clip regions: their rectangles after resolving and cropping, the errors
// of the three commands, blits through an active mask region read back
// from the test display adapter, positions resolved against the active
// region, and the transformed copies made for layers.
#include <cmath>

#include "tests/gfx/display_fixture.h"
#include "tests/media/image_support.h"

namespace {

using gfxtest::BACKGROUND;
using imagetest::Shell;

class ClipRegionTest : public gfxtest::DisplayTest {
 protected:
  ClipRegion* Region(int32_t n) {
    ClipRegion* r = nullptr;
    return FindClipRegion(ObjectId{nullptr, n}, &r, 0) == ERR_NONE ? r : nullptr;
  }
};

TEST_F(ClipRegionTest, BoxesAreResolvedAndCropped) {
  OpenDisplay(640, 480);
  struct Case {
    const char* name;
    std::vector<Value> args;
    ErrorCode error;
    int32_t x, y, width, height;
  };
  const Case cases[] = {
      {"inside", {1, 14, 5, 6, 30, 40}, ERR_NONE, 5, 6, 30, 40},
      {"negative x", {1, 14, -10, 0, 30, 20}, ERR_NONE, 0, 0, 20, 20},
      {"negative y", {1, 14, 0, -5, 30, 20}, ERR_NONE, 0, 0, 30, 15},
      {"centred", {1, 14, POS_CENTER, POS_BOTTOM, 100, 80}, ERR_NONE, 270, 400, 100, 80},
      {"wholly left", {1, 14, -30, 0, 30, 20}, ERR_WRONGUSAGE, 0, 0, 0, 0},
      {"wholly above", {1, 14, 0, -20, 30, 20}, ERR_WRONGUSAGE, 0, 0, 0, 0},
      {"unknown type", {1, 3, 0, 0, 30, 20}, ERR_WRONGUSAGE, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(CallWith("CreateClipRegion", c.args), c.error);
    if (c.error) {
      EXPECT_EQ(Region(1), nullptr);  // the old region of that id went first
      continue;
    }
    ClipRegion* r = Region(1);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->x, c.x);
    EXPECT_EQ(r->y, c.y);
    EXPECT_EQ(r->width, c.width);
    EXPECT_EQ(r->height, c.height);
  }
}

TEST_F(ClipRegionTest, CommandErrors) {
  OpenDisplay(100, 80);
  ASSERT_EQ(CallWith("CreateBrush", {1, 8, 8, 0xFF0000}), ERR_NONE);
  EXPECT_EQ(CallWith("CreateClipRegion", {2, 28, 1, 0, 0}), ERR_NOMASKBRUSH);
  EXPECT_EQ(CallWith("CreateClipRegion", {2, 28, 7, 0, 0}), ERR_FINDBRUSH);
  ASSERT_EQ(CallWith("CreateClipRegion", {3, 14, 50, 0, 51, 10}), ERR_NONE);
  EXPECT_EQ(CallWith("SetClipRegion", {3}), ERR_WRONGCLIPREG);
  EXPECT_EQ(CallWith("SetClipRegion", {4}), ERR_FINDCLIPREGION);
  EXPECT_EQ(CallWith("FreeClipRegion", {4}), ERR_FINDCLIPREGION);

  // An automatic identifier is returned, found and freed; afterwards it is
  // a wrong automatic identifier.
  VmPushNil(L);
  VmPushNumber(L, 14);
  for (int v : {1, 2, 10, 10}) VmPushNumber(L, v);
  ASSERT_EQ(Call("CreateClipRegion", 6), ERR_NONE);
  ASSERT_EQ(lastTypes.size(), 1u);
  EXPECT_EQ(lastTypes[0], VM_TYPE_LIGHTUSERDATA);
  ClipRegion* r = GetActiveClipRegion();
  EXPECT_EQ(r, nullptr);
  r = nullptr;
  ASSERT_EQ(FindClipRegion(ObjectId{nullptr, 3}, &r, 0), ERR_NONE);
  ClipRegion* automatic = reinterpret_cast<ClipRegion*>(r->head.next);
  ASSERT_NE(automatic, nullptr);
  ObjectId id{automatic, 0};
  ASSERT_EQ(FindClipRegion(id, &r, 0), ERR_NONE);
  EXPECT_EQ(r->x, 1);
  ASSERT_EQ(FreeClipRegionById(L, id, 1), ERR_NONE);
  EXPECT_EQ(FindClipRegion(id, &r, 0), ERR_FINDARRAY);
}

TEST_F(ClipRegionTest, BlitsGoThroughTheActiveMaskRegion) {
  OpenDisplay(64, 48);
  // A checkerboard brush: black pixels are keyed out of its mask.
  std::string board = root + "/board.png";
  Shell("convert -size 8x6 xc: -fx '(i+j)%2' -depth 8 '" + board + "'");
  ASSERT_EQ(CallWith("LoadBrush", {1, board.c_str(), Value::Table({{"transparency", 0}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("CreateBrush", {2, 20, 20, 0xFF0000}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateClipRegion", {5, 28, 1, 10, 12}), ERR_NONE);
  ASSERT_EQ(CallWith("SetClipRegion", {5}), ERR_NONE);
  EXPECT_EQ(d->textLeft, 10);
  EXPECT_EQ(d->textRight, 17);
  ASSERT_EQ(CallWith("DisplayBrush", {2, 5, 5}), ERR_NONE);
  for (int32_t y = 0; y < 48; ++y)
    for (int32_t x = 0; x < 64; ++x) {
      bool inside = x >= 10 && x < 18 && y >= 12 && y < 18;
      bool set = inside && (x - 10 + y - 12) % 2 == 1;
      ASSERT_EQ(At(x, y), set ? 0xFF0000u : BACKGROUND) << x << "," << y;
    }

  // Cleared, the whole display is drawn again and the margins come back.
  ASSERT_EQ(CallWith("SetClipRegion", {0}), ERR_NONE);
  EXPECT_EQ(d->textLeft, 0);
  EXPECT_EQ(d->textRight, 63);
  ASSERT_EQ(CallWith("DisplayBrush", {2, 0, 0}), ERR_NONE);
  EXPECT_EQ(At(0, 0), 0xFF0000u);
  EXPECT_EQ(At(10, 12), 0xFF0000u);

  // Freeing the active region clears it.
  ASSERT_EQ(CallWith("SetClipRegion", {5}), ERR_NONE);
  ASSERT_EQ(CallWith("FreeClipRegion", {5}), ERR_NONE);
  EXPECT_EQ(GetActiveClipRegion(), nullptr);
}

TEST_F(ClipRegionTest, PositionsResolveAgainstTheActiveRegion) {
  OpenDisplay(640, 480);
  EXPECT_EQ(ResolveXPos(POS_CENTER, 100, 640, 0), 270);
  ASSERT_EQ(CallWith("CreateClipRegion", {1, 14, 200, 100, 300, 200}), ERR_NONE);
  ASSERT_EQ(CallWith("SetClipRegion", {1}), ERR_NONE);
  EXPECT_EQ(ResolveXPos(POS_CENTER, 100, 0, 0), 300);
  EXPECT_EQ(ResolveYPos(POS_BOTTOM, 50, 0, 0), 250);
  EXPECT_EQ(ResolveXPos(POS_CENTER, 100, 640, 0), 270);  // an explicit reference
  EXPECT_EQ(ResolveXPos(-95000, 100, 0, 0), -95000);     // past the band
}

TEST_F(ClipRegionTest, PositionsResolveAgainstTheCurrentOutput) {
  OpenDisplay(640, 480);
  EXPECT_EQ(ResolveXPos(POS_CENTER, 100, 0, 0), 270);
  EXPECT_EQ(ResolveYPos(POS_BOTTOM, 50, 0, 0), 430);
  // A selected brush is the output: its size is the reference.
  ASSERT_EQ(CallWith("CreateBrush", {2, 100, 50}), ERR_NONE);
  ASSERT_EQ(CallWith("SelectBrush", {2}), ERR_NONE);
  EXPECT_EQ(ResolveXPos(POS_CENTER, 10, 0, 0), 45);
  EXPECT_EQ(ResolveYPos(POS_BOTTOM, 10, 0, 0), 40);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  EXPECT_EQ(ResolveXPos(POS_RIGHT, 40, 0, 0), 600);
}

TEST_F(ClipRegionTest, LayerCopiesUnderScaleAndRotation) {
  OpenDisplay(640, 480);
  ASSERT_EQ(CallWith("CreateClipRegion", {1, 14, 10, 20, 30, 10}), ERR_NONE);
  ClipRegion* box = Region(1);
  const double scale[4] = {2, 0, 0, 2};
  ClipRegion* scaled = BuildRotatedClipMask(L, box, 0, 0, scale, scale, 0, 0);
  ASSERT_NE(scaled, nullptr);
  EXPECT_EQ(scaled->x, 20);
  EXPECT_EQ(scaled->width, 60);
  EXPECT_EQ(scaled->y, 40);
  EXPECT_EQ(scaled->height, 20);
  EXPECT_EQ(scaled->mask, nullptr);
  EXPECT_TRUE(scaled->temporary);

  double turn[4];
  BuildRotateScaleMatrix(turn, 0, 0, 30, 10, 1, 1, 90);
  ClipRegion* turned = BuildRotatedClipMask(L, box, 0.5, 0.5, turn, turn, 0, 0);
  ASSERT_NE(turned, nullptr);
  EXPECT_EQ(turned->width, 10);
  EXPECT_EQ(turned->height, 30);
  ASSERT_NE(turned->mask, nullptr);
  for (int32_t y = 0; y < 30; ++y)
    for (int32_t x = 0; x < 10; ++x)
      ASSERT_NE(ReadBitmapPixel(turned->mask, x, y, 1), 0u) << x << "," << y;

  // Temporary copies are not found by identifier and go when unused.
  ClipRegion* found = nullptr;
  EXPECT_EQ(FindClipRegion(ObjectId{turned, 0}, &found, 0), ERR_FINDARRAY);
  PruneClipRegions();
  double count = -1;
  ASSERT_EQ(CallWith("GetAttribute", {OBJTYPE_CLIPREGION, 0, ATTRCOUNT}), ERR_NONE);
  count = results.at(0);
  EXPECT_EQ(count, 1);
  ASSERT_EQ(CallWith("GetAttribute", {OBJTYPE_CLIPREGION, 1, ATTRXPOS}), ERR_NONE);
  EXPECT_EQ(results.at(0), 10);
  EXPECT_EQ(CallWith("GetAttribute", {OBJTYPE_CLIPREGION, 1, ATTRTEXT}), ERR_UNKNOWNATTR);
}

}  // namespace
