// Paths on a display of the test display adapter: path layers drawn again
// from their outline when the display scales, and a vector engine of a
// plug-in that gets the requests instead of the built-in one.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "display/layer_private.h"
#include "draw/vector_private.h"
#include "tests/gfx/display_fixture.h"

namespace {

using gfxtest::BACKGROUND;

class PathLayerTest : public gfxtest::DisplayTest {
 protected:
  void InstallMore() override {
    Install("testvector");
    Install("testvectorbridged");
  }
  void SetUp() override {
    gfxtest::DisplayTest::SetUp();
    for (ErrorCode (*open)(VmState*) :
         {OpenDrawLibrary, OpenLayersLibrary, OpenVectorGraphicsLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    const std::string module = root + "/Plugins/testvector.qmp";
    log = plugintest::ModuleSymbol<const char* (*)()>(module, "TestVectorLog");
    clearLog = plugintest::ModuleSymbol<void (*)()>(module, "TestVectorClearLog");
    ASSERT_NE(log, nullptr);
    clearLog();
  }
  void TearDown() override {
    FreeAllPaths(L);
    FreeLayerSystem(L);
    gfxtest::DisplayTest::TearDown();
  }

  // Path 1: a box, or a circle.
  void MakePath(bool circle) {
    ASSERT_EQ(CallWith("StartPath", {1}), ERR_NONE);
    if (circle)
      ASSERT_EQ(CallWith("AddCircleToPath", {1, 20, 20, 20}), ERR_NONE);
    else
      ASSERT_EQ(CallWith("AddBoxToPath", {1, 0, 0, 20, 10}), ERR_NONE);
  }

  const char* (*log)() = nullptr;
  void (*clearLog)() = nullptr;
};

TEST_F(PathLayerTest, ScaledDisplaysDrawPathLayersFromTheOutline) {
  OpenDisplay(160, 120, true);
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFormStyle", {FORM_ANTIALIAS}), ERR_NONE);
  MakePath(true);
  ASSERT_EQ(CallWith("DrawPath", {1, 30, 40, 0xFF0000}), ERR_NONE);
  qmLayer* layer = FirstLayer(d->bgpic);
  ASSERT_NE(layer, nullptr);
  EXPECT_EQ(layer->type, LAYER_VECTORPATH);
  EXPECT_EQ(layer->base->x, 30);
  EXPECT_EQ(layer->base->y, 40);
  EXPECT_EQ(layer->base->width, 40);
  EXPECT_EQ(At(50, 60), 0xFF0000u);
  EXPECT_EQ(At(31, 41), BACKGROUND);

  d->layerscale = 1;
  d->scaleWidth = 320;
  d->scaleHeight = 240;
  d->scaleX = d->scaleY = 2.0;
  ASSERT_EQ(RenderLayerImage(L, layer, RENDER_DISPLAYSCALE, d), ERR_NONE);
  LayerImageState* s = layer->display;
  ASSERT_NE(s, layer->base);
  EXPECT_NEAR(s->width, 80, 1);
  EXPECT_NEAR(s->height, 80, 1);
  EXPECT_EQ(s->x, 60);
  EXPECT_EQ(s->y, 80);
  // Along the middle row the edge ramps through single pixels: neighbours
  // differ, as they would not in a picture enlarged in 2 x 2 blocks.
  ASSERT_NE(s->transformed.alpha, nullptr);
  BitmapLock lock{};
  ASSERT_NE(LockBitmap(s->transformed.alpha, 1, &lock), 0u);
  int partial = 0, pairs = 0;
  for (int32_t y = 0; y < s->height; ++y)
    for (int32_t x = 0; x + 1 < s->width; x += 2) {
      uint8_t a = lock.address[y * lock.rowLength + x],
              b = lock.address[y * lock.rowLength + x + 1];
      partial += a > 0 && a < 255;
      pairs += a != b;
    }
  UnlockBitmap(&lock);
  EXPECT_GT(partial, 20);
  EXPECT_GT(pairs, 20);
  d->layerscale = 0;
  d->scaleX = d->scaleY = 1.0;
  d->scaleWidth = d->scaleHeight = 0;
}

// The path fields of a layer style: read back by GetLayerStyle, and a
// change draws the layer again from its outline in its place.
TEST_F(PathLayerTest, PathLayerStyleFieldsRedrawTheLayer) {
  OpenDisplay(160, 120, true);
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  MakePath(false);
  ASSERT_EQ(CallWith("StartPath", {2}), ERR_NONE);
  ASSERT_EQ(CallWith("AddBoxToPath", {2, 0, 0, 40, 30}), ERR_NONE);
  ASSERT_EQ(CallWith("DrawPath", {1, 30, 40, 0xFF0000}), ERR_NONE);
  auto style = [&](const Value& table) { return CallWith("SetLayerStyle", {1, table}); };
  auto field = [&](const char* name) {
    PushLayerStyle(L, FirstLayer(d->bgpic));
    VmPushString(L, name);
    VmGetTable(L, -2);
    double v = VmToNumber(L, -1);
    VmSetTop(L, 0);
    return v;
  };
  EXPECT_EQ(field("color"), 0xFF0000);
  EXPECT_EQ(field("fillstyle"), FILLCOLOR);

  ASSERT_EQ(style(Value::Table({{"color", 0x00FF00}})), ERR_NONE);
  EXPECT_EQ(At(35, 45), 0x00FF00u);
  // Another path's items: the layer grows where it stands.
  ASSERT_EQ(style(Value::Table({{"id", 2}})), ERR_NONE);
  qmLayer* layer = FirstLayer(d->bgpic);
  ASSERT_NE(layer, nullptr);
  EXPECT_EQ(CountLayers(d->bgpic), 1);
  EXPECT_EQ(layer->base->x, 30);
  EXPECT_EQ(layer->base->width, 40);
  EXPECT_EQ(At(65, 65), 0x00FF00u);
  // The line style goes with the layer.
  ASSERT_EQ(style(Value::Table({{"linecap", CAPROUND},
                                {"linejoin", JOINBEVEL},
                                {"fillrule", FILLRULEEVENODD},
                                {"miterlimit", 3.5},
                                {"dashoffset", 1},
                                {"dashes", Value::List({4, 2})}})),
            ERR_NONE);
  EXPECT_EQ(field("linecap"), CAPROUND);
  EXPECT_EQ(field("linejoin"), JOINBEVEL);
  EXPECT_EQ(field("fillrule"), FILLRULEEVENODD);
  EXPECT_EQ(field("miterlimit"), 3.5);
  const auto* rec = static_cast<const PathDrawRecord*>(FirstLayer(d->bgpic)->base->kindData);
  ASSERT_EQ(rec->line.dashCount, 2);
  EXPECT_EQ(rec->line.dashes[1], 2);
  ASSERT_EQ(style(Value::Table({{"dashes", Value::List({})}})), ERR_NONE);
  rec = static_cast<const PathDrawRecord*>(FirstLayer(d->bgpic)->base->kindData);
  EXPECT_EQ(rec->line.dashCount, 0);
  // A stroked path leaves its inside to the background.
  ASSERT_EQ(style(Value::Table({{"fillstyle", FILLNONE}})), ERR_NONE);
  EXPECT_EQ(At(50, 55), BACKGROUND);
  EXPECT_EQ(At(30, 55), 0x00FF00u);

  // Refusals leave the layer as it was.
  qmLayer* before = FirstLayer(d->bgpic);
  EXPECT_EQ(style(Value::Table({{"vectorengine", "nosuch"}})), ERR_FINDPLUGIN);
  EXPECT_EQ(style(Value::Table({{"id", 9}})), ERR_FINDPATH);
  EXPECT_EQ(FirstLayer(d->bgpic), before);
  // A shape layer becomes a path layer only with a path to show.
  ASSERT_EQ(CallWith("Box", {100, 10, 20, 20, 0x0000FF}), ERR_NONE);
  EXPECT_EQ(CallWith("SetLayerStyle", {2, Value::Table({{"type", LAYER_VECTORPATH}})}),
            ERR_MISSINGPARAMTR);
  ASSERT_EQ(CallWith("SetLayerStyle", {2, Value::Table({{"type", LAYER_VECTORPATH}, {"id", 1}})}),
            ERR_NONE);
  qmLayer* second = NextLayer(FirstLayer(d->bgpic));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->type, LAYER_VECTORPATH);
  EXPECT_EQ(second->base->width, 20);
  EXPECT_EQ(second->base->height, 10);
}

// An unfilled path or shape in its border's colour shows through its border
// alone: on a half-transparent layer every pixel of the outline is blended
// once, so the row across its left edge holds one colour; a body of another
// colour is drawn over the border.
TEST_F(PathLayerTest, UnfilledLayersInTheBorderColourShowOnlyTheirBorder) {
  OpenDisplay(160, 120, true);
  ASSERT_EQ(CallWith("SetFillStyle", {FILLNONE}), ERR_NONE);
  MakePath(false);
  ASSERT_EQ(CallWith("DrawPath", {1, 30, 40, 0xFF0000}), ERR_NONE);
  ASSERT_EQ(CallWith("Box", {100, 40, 20, 10, 0xFF0000}), ERR_NONE);
  ASSERT_EQ(CountLayers(d->bgpic), 2);
  auto colours = [&](int32_t x0) {
    std::set<uint32_t> seen;
    for (int32_t x = x0 - 8; x <= x0 + 8; x++)
      if (At(x, 45) != BACKGROUND) seen.insert(At(x, 45));
    return seen;
  };
  for (int32_t layer : {1, 2}) {
    ASSERT_EQ(CallWith("SetLayerStyle", {layer, Value::Table({{"border", true},
                                                              {"bordercolor", 0xFF0000},
                                                              {"bordersize", 3},
                                                              {"transparency", 128}})}),
              ERR_NONE);
  }
  for (int32_t x0 : {30, 100}) {
    auto seen = colours(x0);
    EXPECT_EQ(seen.size(), 1u) << "outline at " << x0;
  }
  ASSERT_EQ(CallWith("SetLayerStyle", {1, Value::Table({{"color", 0x00FF00}})}), ERR_NONE);
  EXPECT_GE(colours(30).size(), 2u);
}

TEST_F(PathLayerTest, PluginEnginesGetTheRequests) {
  OpenDisplay(64, 48);
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  MakePath(false);
  ASSERT_EQ(CallWith("SetVectorEngine", {"testvector"}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFillRule", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("GetPathExtents", {1}), ERR_NONE);
  EXPECT_EQ(results, (std::vector<double>{1, 2, 21, 12}));
  EXPECT_STREQ(log(), "extents kind=8 fill=1 width=1 join=0 cap=0 rule=1 matrix=1,0,0,1\n");
  clearLog();
  ASSERT_EQ(CallWith("GetCurrentPoint", {1}), ERR_NONE);
  EXPECT_EQ(results, (std::vector<double>{7, 8}));
  ASSERT_EQ(CallWith("TranslatePath", {1, 3, 4}), ERR_NONE);
  EXPECT_STREQ(log(), "point\ntranslate 3 4\n");
  clearLog();

  // Drawn with the engine's coverage of 128 over its 20 x 10 box.
  ASSERT_EQ(CallWith("DrawPath", {1, 5, 6, 0xFFFFFF}), ERR_NONE);
  EXPECT_NE(std::string(log()).find("draw kind=8 fill=1 size=20x10 reserved=0"), std::string::npos)
      << log();
  uint32_t half = At(5, 6);
  EXPECT_NE(half, BACKGROUND);
  EXPECT_NE(half, 0xFFFFFFu);
  EXPECT_EQ(At(24, 15), half);
  EXPECT_EQ(At(25, 15), BACKGROUND);

  // An engine of the bridged kind is never called: zero results, and
  // nothing to draw.
  ASSERT_EQ(CallWith("SetVectorEngine", {"testvectorbridged.qmp"}), ERR_NONE);
  ASSERT_EQ(CallWith("GetPathExtents", {1}), ERR_NONE);
  EXPECT_EQ(results, (std::vector<double>{0, 0, 0, 0}));
  EXPECT_EQ(CallWith("DrawPath", {1, 5, 6}), ERR_EMPTYPATH);
  ASSERT_EQ(CallWith("SetVectorEngine", {"default"}), ERR_NONE);
  ASSERT_EQ(CallWith("GetPathExtents", {1}), ERR_NONE);
  EXPECT_EQ(results, (std::vector<double>{0, 0, 20, 10}));
}

}  // namespace
