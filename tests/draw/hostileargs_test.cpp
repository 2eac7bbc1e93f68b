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
#include "text/text.h"

namespace {

constexpr double MIN32 = -2147483648.0, MAX32 = 2147483647.0;

// Print turns its values into text with the base functions' tostring.
ErrorCode RegisterBaseFunctions(VmState* L) {
  VmRegisterBaseFunctions(L);
  return ERR_NONE;
}
// No hostile call may ask for more than this at once.
constexpr size_t LARGEST_REQUEST = size_t{64} << 20;

class HostileArguments : public LayerFixture {
 protected:
  void SetUp() override {
    LayerFixture::SetUp();
    if (HasFatalFailure()) return;
    for (ErrorCode (*open)(VmState*) :
         {OpenMoveObjectLibrary, OpenAnimLibrary, OpenSpriteLibrary, OpenVectorGraphicsLibrary,
          RegisterBaseFunctions, OpenStringLibrary, OpenTextLibrary}) {
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
      // Last: the display keeps the scale mode the table switched on.
      {"display scaled to a window of 2^32 pixels",
       "SetDisplayAttributes",
       {Value::Table({{"scalemode", 1}, {"scalewidth", 65535}, {"scaleheight", 65535}})},
       ERR_MEM},
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

// Shapes far larger than the output drawn into the display (layers off)
// and into a brush, in every style and in path mode: only the part the
// output shows is rendered, so no image of the whole shape is made (each
// would need hundreds of megabytes). The circle drawn last around the
// whole display fills every pixel of it with its body.
TEST_F(HostileArguments, ShapesFarLargerThanTheOutput) {
  constexpr double C = 0x3060F0;
  const std::vector<Case> cases = {
      {"thin box turned by a degree", "Box", {1, 1, 65535, 1, C, 1, 1}, ERR_NONE},
      {"ellipse across the output", "Ellipse", {-20000, 30, 20000, 200, C}, ERR_NONE},
      {"arc around the output", "Arc", {-8000, -8000, 8000, 8000, 10, 300, C}, ERR_NONE},
      {"polygon over the output",
       "Polygon",
       {-5000, -5000, Value::List({0, 0, 20000, 100, 100, 12000}), 3, C},
       ERR_NONE},
      {"thick line across the output", "Line", {-60000, 5, 65535, 100, C, 9}, ERR_NONE},
      {"circle around the output", "Circle", {-8000, -8000, 8000, C}, ERR_NONE},
  };
  struct Style {
    const char* name;
    std::vector<std::vector<Value>> form;  // SetFormStyle argument lists
    int32_t fill, lineWidth;
    bool paths;
  };
  const Style styles[] = {
      {"plain", {}, FILLCOLOR, 1, false},
      {"anti-aliased", {{FORM_ANTIALIAS}}, FILLCOLOR, 1, false},
      {"border and shadow",
       {{FORM_EDGE, 0xFF0000, 5}, {FORM_SHADOW, 0xFF00, 7, 3}},
       FILLCOLOR,
       1,
       false},
      {"wide outline", {}, FILLNONE, 9, false},
      {"anti-aliased in path mode", {{FORM_ANTIALIAS}}, FILLCOLOR, 1, true},
      {"path mode", {}, FILLCOLOR, 1, true},
  };
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
  for (const char* output : {"display", "brush"}) {
    if (std::string(output) == "brush") {
      ASSERT_EQ(CallWith("SelectBrush", {1}), ERR_NONE);
    }
    for (const Style& style : styles) {
      SCOPED_TRACE(std::string(output) + ", " + style.name);
      ASSERT_EQ(CallWith("EndSelect", {}),
                std::string(output) == "brush" ? ERR_NONE : ERR_WRONGUSAGE);
      ASSERT_EQ(CallWith("Cls", {static_cast<double>(BACKGROUND)}), ERR_NONE);
      if (std::string(output) == "brush") {
        ASSERT_EQ(CallWith("SelectBrush", {1}), ERR_NONE);
      }
      ASSERT_EQ(CallWith("SetFormStyle", {FORM_NORMAL}), ERR_NONE);
      for (const auto& form : style.form) ASSERT_EQ(CallWith("SetFormStyle", form), ERR_NONE);
      ASSERT_EQ(CallWith("SetFillStyle", {style.fill}), ERR_NONE);
      ASSERT_EQ(CallWith("SetLineWidth", {style.lineWidth}), ERR_NONE);
      ASSERT_EQ(CallWith("ForcePathUse", {style.paths ? 1 : 0}), ERR_NONE);
      RunCases(this, cases, [this](const char* n, std::vector<Value> a) { return CallWith(n, a); });
      if (std::string(output) == "display" && style.fill != FILLNONE) {
        EXPECT_EQ(Frame(), std::vector<uint32_t>(W * H, 0x3060F0));
      }
    }
  }
  ASSERT_EQ(CallWith("ForcePathUse", {0}), ERR_NONE);
}

// Text of a megabyte drawn into the display with layers off: the text is
// laid out whole, but only the part of its block the display shows is
// rendered, and that part is what a short text of the same first lines
// shows there.
TEST_F(HostileArguments, TextOfAMegabyte) {
  constexpr size_t MEGABYTE = size_t{1} << 20;
  auto repeat = [&](const std::string& piece) {
    std::string text;
    while (text.size() < MEGABYTE) text += piece;
    return text;
  };
  const std::string line(79, 'x');
  struct TextCase {
    const char* name;
    std::string text, shortText;
    const char* command;  // TextOut or Print
    Value options;        // TextOut's options
  };
  const Value none = Value::Table({});
  const TextCase cases[] = {
      {"one line of words", repeat("ab cd "), repeat("ab cd ").substr(0, 600), "TextOut", none},
      {"one word", std::string(MEGABYTE, 'w'), std::string(600, 'w'), "TextOut", none},
      {"lines", repeat(line + "\n"), repeat(line + "\n").substr(0, 80 * 20), "TextOut", none},
      {"words wrapped", repeat("ab cd "), repeat("ab cd ").substr(0, 6 * 200), "TextOut",
       Value::Table({{"wordwrap", 100}})},
      {"bold tags", repeat("[b]ab[/b] cd "), repeat("[b]ab[/b] cd ").substr(0, 13 * 100), "TextOut",
       none},
      {"centred lines", repeat(line + "\n"), repeat(line + "\n").substr(0, 80 * 20), "TextOut",
       Value::Table({{"align", -100000}})},
      {"printed lines", repeat(line + "\n"), repeat(line + "\n").substr(0, 80 * 20), "Print", none},
  };
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> frames[2];
    for (int whole = 0; whole < 2; ++whole) {
      ASSERT_EQ(CallWith("Cls", {static_cast<double>(BACKGROUND)}), ERR_NONE);
      ASSERT_EQ(CallWith("Locate", {0, 0}), ERR_NONE);
      const std::string& text = whole ? c.text : c.shortText;
      std::vector<Value> args{Value(text.c_str())};
      if (std::string(c.command) == "TextOut") args = {0, 0, Value(text.c_str()), c.options};
      TrackLargestAllocation(true);
      EXPECT_EQ(CallWith(c.command, args), ERR_NONE);
      if (whole) {
        EXPECT_LE(GetLargestAllocation(), LARGEST_REQUEST);
      }
      TrackLargestAllocation(false);
      frames[whole] = Frame();
    }
    EXPECT_NE(frames[1], std::vector<uint32_t>(W * H, BACKGROUND));
    EXPECT_EQ(frames[1], frames[0]);
  }
}

}  // namespace
