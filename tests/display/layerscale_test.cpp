// Where layers meet the display's own scaling and drawing into what a
// display shows: a display scaled by its layers draws every layer, old and
// new, again at its scale (text anew, not enlarged); layers made while the
// shown picture is selected in layers mode appear when the selection ends;
// and a text layer drawn into keeps the drawing when it is drawn again.
// Read back from the test display adapter's framebuffer.
#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "display/layer_private.h"
#include "tests/gfx/display_fixture.h"
#include "media/media.h"
#include "text/text.h"

namespace {

constexpr uint32_t RED = 0xFF0000, GREEN = 0x00FF00, WHITE = 0xFFFFFF, YELLOW = 0xFFFF00;

class LayerScaleTest : public gfxtest::DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    VmRegisterBaseFunctions(L);
    for (ErrorCode (*open)(VmState*) :
         {OpenLayersLibrary, OpenDrawLibrary, OpenStringLibrary, OpenTextLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
  }
  void TearDown() override {
    FreeDrawTables(L);
    DisplayTest::TearDown();
    FreeLayerSystem(L);
  }

  void Brush(int id, int width, int height, uint32_t colour) {
    ASSERT_EQ(CallWith("CreateBrush", {id, width, height, static_cast<double>(colour)}), ERR_NONE);
  }
  // The framebuffer's w x h pixels from the top-left.
  std::vector<uint32_t> Frame(int32_t w, int32_t h) {
    std::vector<uint32_t> out;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) out.push_back(At(x, y));
    return out;
  }
  // The box (x1, y1, x2, y2 inclusive) of framebuffer pixels of the colour
  // within w x h; x1 = -1 when there is none.
  std::array<int32_t, 4> Box(uint32_t colour, int32_t w, int32_t h) {
    std::array<int32_t, 4> box{-1, -1, -1, -1};
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        if (At(x, y) != colour) continue;
        if (box[0] < 0) box = {x, y, x, y};
        box = {std::min(box[0], x), std::min(box[1], y), std::max(box[2], x), std::max(box[3], y)};
      }
    return box;
  }
  ErrorCode Scale(int32_t mode, int32_t width, int32_t height) {
    if (mode == SCALEMODE_NONE)
      return CallWith("SetDisplayAttributes", {Value::Table({{"scalemode", mode}})});
    return CallWith(
        "SetDisplayAttributes",
        {Value::Table({{"scalemode", mode}, {"scalewidth", width}, {"scaleheight", height}})});
  }
  // The text in the window's lower right quarter (x from 340, y from 280,
  // of a 640 x 480 picture): pixels other than the background, those of
  // neither the background nor white, their box, and the 2 x 2 blocks
  // (at even coordinates) whose pixels are not all alike.
  struct TextStats {
    int32_t ink = 0, partial = 0, unevenBlocks = 0;
    std::array<int32_t, 4> box{640, 480, -1, -1};
  };
  template <typename F>
  static TextStats Stats(F pixelAt) {
    TextStats t;
    for (int32_t y = 280; y < 480; ++y)
      for (int32_t x = 340; x < 640; ++x) {
        uint32_t p = pixelAt(x, y);
        if (p == gfxtest::BACKGROUND) continue;
        t.ink++;
        t.partial += p != WHITE;
        t.box = {std::min(t.box[0], x), std::min(t.box[1], y), std::max(t.box[2], x),
                 std::max(t.box[3], y)};
      }
    for (int32_t y = 280; y < 480; y += 2)
      for (int32_t x = 340; x < 640; x += 2) {
        uint32_t p = pixelAt(x, y);
        t.unevenBlocks +=
            pixelAt(x + 1, y) != p || pixelAt(x, y + 1) != p || pixelAt(x + 1, y + 1) != p;
      }
    return t;
  }
  // The layer at the script position, as GetLayerAtPos finds it.
  int32_t LayerAt(int32_t x, int32_t y) {
    EXPECT_EQ(CallWith("GetLayerAtPos", {x, y}), ERR_NONE);
    return results.empty() ? -1 : static_cast<int32_t>(results[0]);
  }
};

// A 320 x 240 display scaled by its layers to 640 x 480: a 160 x 120 brush
// layer covers 319 x 239 window pixels from twice its position (its last
// pixel lands at twice its own coordinates), a text layer is drawn again
// with its font at twice its size, as text of twice the font size is
// drawn, layers made afterwards are scaled too, hit tests take script
// coordinates, and leaving the scale puts everything back at 1:1.
TEST_F(LayerScaleTest, EveryLayerFollowsTheDisplaysLayerScale) {
  OpenDisplay(320, 240, false);
  ASSERT_EQ(CallWith("SetFontColor", {static_cast<double>(WHITE)}), ERR_NONE);
  // The model of the text: the same text at twice the font size at twice
  // the position, drawn into a brush of the window's size (layers off).
  Brush(9, 640, 480, gfxtest::BACKGROUND);
  ASSERT_EQ(CallWith("SelectBrush", {9}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFont", {":::default_sans", 32}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFontStyle", {16}), ERR_NONE);  // anti-aliased
  ASSERT_EQ(CallWith("TextOut", {400, 300, "Ag"}), ERR_NONE);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  BrushObject* model = nullptr;
  ASSERT_EQ(GetBrushObject(L, ObjectId{nullptr, 9}, &model, 0), ERR_NONE);

  ASSERT_EQ(CallWith("EnableLayers", {}), ERR_NONE);
  Brush(1, 160, 120, RED);
  ASSERT_EQ(CallWith("DisplayBrush", {1, 10, 20}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFont", {":::default_sans", 16}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFontStyle", {16}), ERR_NONE);
  ASSERT_EQ(CallWith("TextOut", {200, 150, "Ag"}), ERR_NONE);

  ASSERT_EQ(Scale(SCALEMODE_LAYER, 640, 480), ERR_NONE);
  EXPECT_EQ(d->scaleX, 2.0);
  EXPECT_EQ(d->scaleY, 2.0);
  EXPECT_EQ(Box(RED, 640, 480), (std::array<int32_t, 4>{20, 40, 338, 278}));
  // Fonts scaled by 2 are laid out from metrics of their own size, so the
  // pixels differ a little from the model's: compared are the amount of
  // ink, the box and the sharpness (an enlarged image is made of uniform
  // 2 x 2 blocks; text drawn at that size is not).
  const TextStats shown = Stats([&](int32_t x, int32_t y) { return At(x, y); });
  const TextStats want = Stats(
      [&](int32_t x, int32_t y) { return ReadBitmapPixel(model->bitmap, x, y, 0) & 0xFFFFFF; });
  ASSERT_GT(want.ink, 300);
  EXPECT_GT(want.partial, 50);  // anti-aliased
  EXPECT_NEAR(shown.ink, want.ink, want.ink / 8);
  EXPECT_NEAR(shown.partial, want.partial, want.partial / 3);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(shown.box[i], want.box[i], 3) << i;
  EXPECT_GT(shown.unevenBlocks, want.unevenBlocks * 3 / 4);

  // Made after the scaling: a brush and a box, at twice their place.
  Brush(2, 20, 10, GREEN);
  ASSERT_EQ(CallWith("DisplayBrush", {2, 250, 10}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(CallWith("Box", {250, 60, 10, 5, static_cast<double>(YELLOW)}), ERR_NONE);
  EXPECT_EQ(Box(GREEN, 640, 480), (std::array<int32_t, 4>{500, 20, 538, 38}));
  EXPECT_EQ(Box(YELLOW, 640, 480), (std::array<int32_t, 4>{500, 120, 518, 128}));
  EXPECT_EQ(LayerAt(15, 25), 1);
  EXPECT_EQ(LayerAt(265, 15), 3);
  EXPECT_EQ(LayerAt(300, 5), 0);

  // Back to the picture's own size: every layer where it was made.
  ASSERT_EQ(Scale(SCALEMODE_NONE, 0, 0), ERR_NONE);
  EXPECT_EQ(d->scaleX, 1.0);
  EXPECT_EQ(Box(RED, 320, 240), (std::array<int32_t, 4>{10, 20, 169, 139}));
  EXPECT_EQ(Box(GREEN, 320, 240), (std::array<int32_t, 4>{250, 10, 269, 19}));
  EXPECT_EQ(Box(YELLOW, 320, 240), (std::array<int32_t, 4>{250, 60, 259, 64}));
  EXPECT_EQ(LayerAt(265, 15), 3);
}

// Layers made while the shown picture is selected in layers mode stay off
// the screen until EndSelect, which shows them with no other refresh, on a
// plain display and on one scaled by its layers.
TEST_F(LayerScaleTest, LayersMadeDuringALayersSelectionShowAtItsEnd) {
  struct Case {
    const char* name;
    int32_t scale;  // 1: a 160 x 120 display, 2: scaled by layers to twice
    const char* command;
    std::vector<Value> args;
    uint32_t colour;
    std::array<int32_t, 4> box;  // where the colour shows afterwards (window pixels)
  };
  const Value wide = Value::Table({{"scalex", 2}});
  const Case cases[] = {
      {"brush", 1, "DisplayBrush", {1, 30, 20}, RED, {30, 20, 49, 29}},
      {"scaled brush", 1, "DisplayBrush", {1, 30, 20, wide}, RED, {30, 20, 69, 29}},
      {"box", 1, "Box", {50, 40, 8, 6, static_cast<double>(YELLOW)}, YELLOW, {50, 40, 57, 45}},
      {"text", 1, "TextOut", {10, 60, "Hi"}, WHITE, {-2, -2, -2, -2}},
      {"brush, display scaled", 2, "DisplayBrush", {1, 30, 20}, RED, {60, 40, 98, 58}},
      {"box, display scaled",
       2,
       "Box",
       {50, 40, 8, 6, static_cast<double>(YELLOW)},
       YELLOW,
       {100, 80, 114, 90}},
  };
  OpenDisplay(160, 120, true);
  Brush(1, 20, 10, RED);
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFontColor", {static_cast<double>(WHITE)}), ERR_NONE);
  int32_t scale = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.scale != scale) {
      scale = c.scale;
      ASSERT_EQ(Scale(SCALEMODE_LAYER, 160 * scale, 120 * scale), ERR_NONE);
    }
    ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
    const int32_t w = 160 * scale, h = 120 * scale;
    const std::vector<uint32_t> before = Frame(w, h);
    VmPushNil(L);
    ASSERT_EQ(Call("SelectBGPic", 1), ERR_NONE);
    ASSERT_EQ(CallWith(c.command, c.args), ERR_NONE);
    EXPECT_EQ(Frame(w, h), before);
    ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
    std::array<int32_t, 4> shown = Box(c.colour, w, h);
    if (c.box[0] == -2) {
      // Topaz "Hi" at (10, 60): within its 16 x 8 pixels.
      EXPECT_GE(shown[0], 10);
      EXPECT_LE(shown[2], 25);
      EXPECT_GE(shown[1], 60);
      EXPECT_LE(shown[3], 67);
    } else {
      EXPECT_EQ(shown, c.box);
    }
  }
}

// A box drawn into a selected text layer stays when the layer is drawn
// again: the layer has become a brush layer, and scaled by 2 in x it shows
// the text with the box, each pixel twice as wide (nearest, not smooth).
// The box covers the layer's upper half; it shows where the glyphs are.
TEST_F(LayerScaleTest, DrawingIntoATextLayerSurvivesItsScaling) {
  OpenDisplay(160, 120, true);
  ASSERT_EQ(CallWith("SetFont", {":::default_sans", 16}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFontColor", {static_cast<double>(WHITE)}), ERR_NONE);
  ASSERT_EQ(CallWith("TextOut", {20, 30, "Hi"}), ERR_NONE);
  qmLayer* layer = GetLayerByIndex(d->bgpic, 1);
  ASSERT_NE(layer, nullptr);
  ASSERT_EQ(layer->type, LAYER_TEXTOUT);
  const int32_t x0 = layer->display->x, y0 = layer->display->y;
  const int32_t lw = layer->display->width, lh = layer->display->height;
  auto count = [&](uint32_t colour) {
    int32_t n = 0;
    for (int32_t y = 0; y < 120; ++y)
      for (int32_t x = 0; x < 160; ++x) n += At(x, y) == colour;
    return n;
  };
  const int32_t ink = count(WHITE);
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(CallWith("SelectLayer", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("Box", {0, 0, lw, lh / 2, static_cast<double>(RED)}), ERR_NONE);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  layer = GetLayerByIndex(d->bgpic, 1);
  EXPECT_EQ(layer->type, LAYER_BRUSH);
  const int32_t red = count(RED);
  EXPECT_GT(red, 10);
  EXPECT_EQ(red + count(WHITE), ink);
  std::array<int32_t, 4> box = Box(RED, 160, 120);
  EXPECT_LT(box[3], y0 + lh / 2);
  const std::vector<uint32_t> before = Frame(160, 120);

  ASSERT_EQ(CallWith("SetLayerStyle", {1, Value::Table({{"scalex", 2}})}), ERR_NONE);
  layer = GetLayerByIndex(d->bgpic, 1);
  EXPECT_EQ(layer->display->x, x0);
  EXPECT_EQ(layer->display->width, 2 * lw);
  EXPECT_EQ(count(RED), 2 * red);
  int32_t bad = 0;
  for (int32_t y = y0; y < y0 + lh; ++y)
    for (int32_t x = x0; x < x0 + 2 * lw; ++x) {
      uint32_t want = before[static_cast<size_t>(y) * 160 + x0 + (x - x0) / 2];
      if (At(x, y) != want && bad++ < 5)
        ADD_FAILURE() << x << "," << y << ": " << std::hex << At(x, y) << " expected " << want;
    }
}

// Layers of every kind on a 160 x 120 display scaled by its layers, at
// factors whose products end in .5: each fills the rectangle that its own
// rectangle scales to (the coordinates of its first and last pixels times
// the factor, rounded to the nearest), so that layers of one size line up
// whatever they show. Layers of 37 x 23, 41 x 31 and 38 x 24 (a size
// that another place rounds to another width) at 70, 31, made on the scaled
// display, made before the display scaled (drawn again) and moved to 71,
// 33 afterwards. Text keeps the size its scaled font gives: only its
// place is checked.
TEST_F(LayerScaleTest, EveryKindOfLayerLandsOnItsScaledRectangle) {
  for (ErrorCode (*open)(VmState*) : {OpenVectorGraphicsLibrary, OpenAnimLibrary}) {
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(open(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  OpenDisplay(160, 120, true);
  const double red = RED;
  Brush(1, 37, 23, RED);
  Brush(2, 41, 31, RED);
  Brush(4, 38, 24, RED);
  ASSERT_EQ(CallWith("CreateBGPic", {1, 160, 120, red}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateAnim", {1, 1, 37, 23, 1, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("StartPath", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("AddBoxToPath", {1, 0, 0, 37, 23}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFontColor", {red}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateTextObject", {1, "Hi"}), ERR_NONE);
  enum Size { SIZE37, SIZE41, SIZE38 };
  struct Kind {
    const char* name;
    const char* command;
    std::vector<Value> args;
    Size size;
    bool text;
  };
  const Kind kinds[] = {
      {"brush", "DisplayBrush", {1, 70, 31}, SIZE37, false},
      {"brush part", "DisplayBrushPart", {2, 1, 1, 70, 31, 37, 23}, SIZE37, false},
      {"picture part", "DisplayBGPicPart", {1, 1, 1, 37, 23, 70, 31}, SIZE37, false},
      {"anim frame", "DisplayAnimFrame", {1, 70, 31, 1}, SIZE37, false},
      {"box", "Box", {70, 31, 37, 23, red}, SIZE37, false},
      {"rounded box", "Box", {70, 31, 37, 23, red, 30}, SIZE37, false},
      {"ellipse", "Ellipse", {70, 31, 18, 11, red}, SIZE37, false},
      {"polygon",
       "Polygon",
       {70, 31, Value::List({0, 0, 36, 0, 36, 22, 0, 22}), 4, red},
       SIZE37,
       false},
      {"path", "DrawPath", {1, 70, 31, red}, SIZE37, false},
      {"brush 41 x 31", "DisplayBrush", {2, 70, 31}, SIZE41, false},
      {"box 41 x 31", "Box", {70, 31, 41, 31, red}, SIZE41, false},
      {"brush 38 x 24", "DisplayBrush", {4, 70, 31}, SIZE38, false},
      {"box 38 x 24", "Box", {70, 31, 38, 24, red}, SIZE38, false},
      {"text", "TextOut", {70, 31, "Hi"}, SIZE37, true},
      {"printed text", "Print", {"Hi"}, SIZE37, true},
      {"text object", "DisplayTextObject", {1, 70, 31}, SIZE37, true},
  };
  using Rect = std::array<int32_t, 4>;  // x, y, width, height
  struct Factor {
    double factor;
    Rect made[3], moved[3];
  } factors[] = {
      {1.5,
       {{105, 47, 55, 34}, {105, 47, 61, 46}, {105, 47, 57, 35}},
       {{107, 50, 55, 34}, {107, 50, 61, 46}, {107, 50, 56, 35}}},
      {0.5,
       {{35, 16, 19, 12}, {35, 16, 21, 16}, {35, 16, 20, 12}},
       {{36, 17, 19, 12}, {36, 17, 21, 16}, {36, 17, 19, 12}}},
      {2.5,
       {{175, 78, 91, 56}, {175, 78, 101, 76}, {175, 78, 94, 58}},
       {{178, 83, 91, 56}, {178, 83, 101, 76}, {178, 83, 93, 58}}},
  };
  for (const Factor& f : factors) {
    const int32_t w = static_cast<int32_t>(160 * f.factor),
                  h = static_cast<int32_t>(120 * f.factor);
    auto shown = [&](bool text) {
      const std::array<int32_t, 4> b = Box(RED, w, h);
      return text ? Rect{b[0], b[1], 0, 0} : Rect{b[0], b[1], b[2] - b[0] + 1, b[3] - b[1] + 1};
    };
    auto want = [](const Rect& r, bool text) { return text ? Rect{r[0], r[1], 0, 0} : r; };
    // Print writes at the text cursor.
    auto make = [&](const Kind& k) {
      ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
      ASSERT_EQ(CallWith("Locate", {70, 31}), ERR_NONE);
      ASSERT_EQ(CallWith(k.command, k.args), ERR_NONE);
    };
    for (const Kind& k : kinds) {
      SCOPED_TRACE(testing::Message() << k.name << " at " << f.factor);
      ASSERT_EQ(Scale(SCALEMODE_NONE, 0, 0), ERR_NONE);
      make(k);
      ASSERT_EQ(Scale(SCALEMODE_LAYER, w, h), ERR_NONE);
      EXPECT_EQ(shown(k.text), want(f.made[k.size], k.text)) << "made before";
      ASSERT_EQ(CallWith("SetLayerStyle", {1, Value::Table({{"x", 71}, {"y", 33}})}), ERR_NONE);
      EXPECT_EQ(shown(k.text), want(f.moved[k.size], k.text)) << "moved";
      make(k);
      EXPECT_EQ(shown(k.text), want(f.made[k.size], k.text)) << "made after";
    }
  }
  // The 37 columns of a brush fill its 55 display columns at 1.5 in order,
  // each once or twice, none left out.
  ASSERT_EQ(Scale(SCALEMODE_NONE, 0, 0), ERR_NONE);
  ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
  BrushObject* striped = nullptr;
  ASSERT_EQ(GetBrushObject(L, ObjectId{nullptr, 1}, &striped, 0), ERR_NONE);
  for (int32_t y = 0; y < 23; ++y)
    for (int32_t x = 0; x < 37; ++x)
      WriteBitmapPixel(striped->bitmap, x, y, RED | static_cast<uint32_t>(x) << 8, 0);
  ASSERT_EQ(CallWith("DisplayBrush", {1, 70, 31}), ERR_NONE);
  ASSERT_EQ(Scale(SCALEMODE_LAYER, 240, 180), ERR_NONE);
  // Display columns 104 to 160 across the layer: the source column each
  // shows, -1 for the background.
  std::vector<int32_t> source;
  for (int32_t x = 104; x <= 160; ++x) {
    const uint32_t p = At(x, 60);
    source.push_back((p & 0xFF00FF) == RED ? static_cast<int32_t>(p >> 8 & 0xFF) : -1);
  }
  EXPECT_EQ(source.front(), -1);
  EXPECT_EQ(source[1], 0);
  EXPECT_EQ(source[55], 36);
  EXPECT_EQ(source.back(), -1);
  for (size_t i = 2; i <= 55; ++i) {
    EXPECT_TRUE(source[i] == source[i - 1] || source[i] == source[i - 1] + 1) << i;
    if (i >= 3) {
      EXPECT_NE(source[i], source[i - 2]) << i;
    }
  }
  // A point, and a box of one pixel, find the layer on the display's pixel
  // of the layer's corner (71 x 1.5 = 106.5, rounded up).
  ASSERT_EQ(Scale(SCALEMODE_LAYER, 240, 180), ERR_NONE);
  ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
  Brush(3, 20, 10, RED);
  ASSERT_EQ(CallWith("DisplayBrush", {3, 71, 32}), ERR_NONE);
  EXPECT_EQ(LayerAt(71, 32), 1);
  EXPECT_EQ(LayerAt(70, 32), 0);
  for (auto [x, hit] : {std::pair<int32_t, double>{71, 1}, {70, 0}}) {
    ASSERT_EQ(CallWith("Collision", {47, 1, x, 32, 1, 1}), ERR_NONE);
    EXPECT_EQ(results, std::vector<double>{hit}) << x;
  }
}

}  // namespace
