// Commands of the picture libraries given what no script should give: sizes
// and radii far past any picture, shapes below one pixel in path mode,
// positions and numbers at the very ends of the 32-bit range. Each call
// ends promptly in its command's error (or is clamped, changing nothing
// that it should not), never in a crash, an overflow that the sanitizer
// build stops on, or a request for gigabytes: the refusal comes before the
// allocation, which the largest request seen proves.
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "media/media.h"
#include "platform/linux/system_private.h"
#include "tests/display/layer_fixture.h"

namespace {

constexpr double MIN32 = -2147483648.0, MAX32 = 2147483647.0;
// No hostile call may ask for more than this at once.
constexpr size_t LARGEST_REQUEST = size_t{64} << 20;

class HostileArguments : public LayerFixture {
 protected:
  void SetUp() override {
    LayerFixture::SetUp();
    if (HasFatalFailure()) return;
    for (ErrorCode (*open)(VmState*) :
         {OpenMoveObjectLibrary, OpenAnimLibrary, OpenSpriteLibrary, OpenVectorGraphicsLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    // Brush 1 (64 x 48) to change, brush 2 shown as layer 1, an anim and
    // a sprite cut from brush 1.
    ASSERT_EQ(CallWith("CreateBrush", {1, 64, 48, 0xC02020}), ERR_NONE);
    ASSERT_EQ(CallWith("CreateBrush", {2, 16, 12, 0x20C020}), ERR_NONE);
    ASSERT_EQ(CallWith("DisplayBrush", {2, 10, 10}), ERR_NONE);
    ASSERT_EQ(CallWith("CreateAnim", {1, 1, 16, 12, 2, 2}), ERR_NONE);
    ASSERT_EQ(CallWith("CreateSprite", {1, 3, 1}), ERR_NONE);
  }
  void TearDown() override {
    TrackLargestAllocation(false);
    FreeAllSprites(L);
    FreeAllAnims(L);
    LayerFixture::TearDown();
  }
};

struct Case {
  const char* name;
  const char* command;
  std::vector<Value> args;
  ErrorCode error;
};

void RunCases(HostileArguments* t, const std::vector<Case>& cases,
              const std::function<ErrorCode(const char*, std::vector<Value>)>& call) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TrackLargestAllocation(true);
    EXPECT_EQ(call(c.command, c.args), c.error);
    EXPECT_LE(GetLargestAllocation(), LARGEST_REQUEST);
    TrackLargestAllocation(false);
  }
}

TEST_F(HostileArguments, PictureSizesAndRadiiPastAnyPicture) {
  // Refused filters leave the brush as it was.
  const std::vector<Case> refused = {
      {"blur radius", "BlurBrush", {1, 1e30}, ERR_MEM},
      {"blur kernel far wider than the brush", "BlurBrush", {1, 1e5}, ERR_MEM},
      {"charcoal radius", "CharcoalBrush", {1, 1e30}, ERR_MEM},
  };
  RunCases(this, refused, [this](const char* n, std::vector<Value> a) { return CallWith(n, a); });
  ASSERT_EQ(CallWith("ReadBrushPixel", {1, 0, 0}), ERR_NONE);
  EXPECT_EQ(results[0], std::to_string(static_cast<double>(0xC02020)));
  const std::vector<Case> cases = {
      {"brush of 2^32 pixels", "CreateBrush", {3, 65536, 65536}, ERR_BITMAP},
      {"background picture of 2^32 pixels", "CreateBGPic", {4, 65535, 65535}, ERR_BITMAP},
      {"gradient picture", "CreateGradientBGPic", {4, 0, 0, 0xFFFFFF, 65535, 65535}, ERR_BITMAP},
      {"textured picture", "CreateTexturedBGPic", {4, 1, 65535, 65535}, ERR_BITMAP},
      {"brush from colours", "RGBArrayToBrush", {3, Value::List({1, 2}), 65536, 65536}, ERR_MEM},
      {"layer", "CreateLayer", {0, 0, 65536, 65536}, ERR_BITMAP},
      {"scaled brush", "ScaleBrush", {1, 1e6, 1e6}, ERR_BITMAP},
      {"brush scaled to 2^31 - 1 x 1", "ScaleBrush", {1, 1e300, 1}, ERR_BITMAP},
      {"rotated and scaled brush", "RotateBrush", {1, 45, 1e4, 1e4}, ERR_BITMAP},
      {"transformed brush", "TransformBrush", {1, 1e5, 0, 0, 1e5}, ERR_BITMAP},
      {"scaled sprite", "ScaleSprite", {1, 1e6, 1e6}, ERR_BITMAP},
      {"scaled anim", "ScaleAnim", {1, 1e6, 1e6}, ERR_BITMAP},
      {"display size", "ChangeDisplaySize", {1e9, 1e9}, ERR_MEM},
      {"shadow radius", "CreateShadowBrush", {3, 1, 0, 1e30}, ERR_BITMAP},
      {"border radius", "CreateBorderBrush", {3, 1, 0, 1e5}, ERR_BITMAP},
      // Clamped or changing nothing, and done at once.
      {"blur sigma", "BlurBrush", {1, 0, 1e30}, ERR_NONE},
      {"oil paint radius", "OilPaintBrush", {1, 1e30}, ERR_NONE},
      {"sharpen kernel wider than the brush", "SharpenBrush", {1, 1e30}, ERR_NONE},
      {"contrast passes", "ContrastBrush", {1, 1, MAX32}, ERR_NONE},
      {"arc distortion of a huge angle", "ArcDistortBrush", {1, 1e300}, ERR_NONE},
  };
  RunCases(this, cases, [this](const char* n, std::vector<Value> a) { return CallWith(n, a); });
  // Nothing was left half made.
  BrushObject* made = nullptr;
  EXPECT_NE(GetBrushObject(L, ObjectId{nullptr, 3}, &made, 0), ERR_NONE);
}

TEST_F(HostileArguments, NumbersAtTheEndsOfTheIntegerRange) {
  const std::vector<Case> cases = {
      {"anim frame -2^31 drawn", "DisplayAnimFrame", {1, 0, 0, MIN32}, ERR_ANIMFRAME},
      {"anim frame -2^31 selected", "SelectAnim", {1, MIN32}, ERR_ANIMFRAME},
      {"brush at x = 2^31 - 1", "DisplayBrush", {1, MAX32, 0}, ERR_NONE},
      {"layer moved to the far left", "ShowLayer", {1, MIN32, 0}, ERR_NONE},
      {"layer moved on to the far right", "TranslateLayer", {1, MAX32, MAX32}, ERR_NONE},
      {"layer moved back past the left", "TranslateLayer", {1, MIN32, MIN32}, ERR_NONE},
      {"layer border of 2^31 - 1", "SetLayerBorder", {1, 1, 0, MAX32}, ERR_NONE},
      {"layer shadow of 2^31 - 1", "SetLayerShadow", {1, 1, 0, MAX32}, ERR_NONE},
      {"layer shadow 2^31 - 1 away", "SetLayerShadow", {1, 1, 0, 5, MAX32}, ERR_NONE},
      {"brush moved across the range", "MoveBrush", {1, MIN32, 0, MAX32, 0}, ERR_MEM},
      {"layer moved across the range", "MoveLayer", {1, MAX32, 0, MIN32, 0}, ERR_MEM},
  };
  RunCases(this, cases, [this](const char* n, std::vector<Value> a) { return CallWith(n, a); });
}

// Path mode draws shapes as paths: a shape of no size in whole pixels
// (or of points that all coincide) has nothing to stroke or fill, and the
// display shows what it showed before.
TEST_F(HostileArguments, ShapesBelowOnePixelInPathMode) {
  const std::vector<uint32_t> before = Frame();
  ASSERT_EQ(CallWith("ForcePathUse", {1}), ERR_NONE);
  for (int32_t fill : {0, 1}) {
    ASSERT_EQ(CallWith("SetFillStyle", {fill}), ERR_NONE);
    const std::vector<Case> cases = {
        {"circle of radius 0.5", "Circle", {100, 60, 0.5}, ERR_EMPTYPATH},
        {"circle of radius 0", "Circle", {100, 60, 0}, ERR_EMPTYPATH},
        {"ellipse of radii below one", "Ellipse", {100, 60, 0.4, 0.9}, ERR_EMPTYPATH},
        {"arc of radius 0", "Arc", {100, 60, 0, 0, 0, 90}, ERR_EMPTYPATH},
        {"box of 0.5 x 0.5", "Box", {100, 60, 0.5, 0.5}, ERR_EMPTYPATH},
        {"box of 0 x 0", "Box", {100, 60, 0, 0}, ERR_EMPTYPATH},
        {"polygon of one point thrice",
         "Polygon",
         {100, 60, Value::List({5, 5, 5, 5, 5, 5}), 3},
         ERR_EMPTYPATH},
    };
    RunCases(this, cases, [this](const char* n, std::vector<Value> a) { return CallWith(n, a); });
  }
  EXPECT_EQ(Frame(), before);
}

}  // namespace
