// Shapes and lines drawn on a display with layers become layers that keep
// the shape and draw it again: their effects go to the layer's style, a
// transform is applied by drawing the shape anew, and a failing allocation
// leaves the layer list as it was.
#include "draw/shapelayer_private.h"
#include "tests/display/layer_fixture.h"

namespace {

class ShapeLayerTest : public LayerFixture {
 protected:
  const ShapeLayerRecord* Record(int32_t position) {
    return static_cast<const ShapeLayerRecord*>(Layer(position)->base->kindData);
  }
};

TEST_F(ShapeLayerTest, ShapesBecomeLayersOfTheirKind) {
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  struct Case {
    const char* command;
    std::vector<Value> args;
    int32_t type;
    int32_t x, y;  // a pixel of the shape
  } cases[] = {
      {"Box", {10, 10, 30, 20, 0xFF0000}, LAYER_BOX, 15, 15},
      {"Circle", {60, 10, 10, 0x00FF00}, LAYER_CIRCLE, 70, 20},
      {"Ellipse", {100, 10, 15, 8, 0x0000FF}, LAYER_ELLIPSE, 115, 18},
      {"Line", {10, 60, 50, 60, 0xFFFF00}, LAYER_LINE, 30, 60},
      {"Arc", {60, 60, 15, 15, 0, 90, 0xFF00FF}, LAYER_ARC, 80, 80},
  };
  int32_t n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_EQ(CallWith(c.command, c.args), ERR_NONE);
    ASSERT_EQ(Count(), ++n);
    EXPECT_EQ(Layer(n)->type, c.type);
    uint32_t colour = static_cast<uint32_t>(c.args[c.args.size() - 1].number);
    if (c.type == LAYER_ARC) colour = 0xFF00FF;
    EXPECT_EQ(At(c.x, c.y), colour);
  }
  // The box's layer is its own size and shows the box exactly.
  LayerImageState* s = Layer(1)->display;
  EXPECT_EQ(s->x, 10);
  EXPECT_EQ(s->width, 30);
  EXPECT_EQ(s->height, 20);
  EXPECT_EQ(At(39, 29), 0xFF0000u);
  EXPECT_EQ(At(40, 30), BACKGROUND);
  // Plot has no layer kind: refused with layers on, and nothing changes.
  EXPECT_EQ(CallWith("Plot", {5, 5, 0xFFFFFF}), ERR_LAYERSUPPORT2);
  EXPECT_EQ(Count(), n);
  EXPECT_EQ(At(5, 5), BACKGROUND);
  // Cls with layers on removes every layer.
  ASSERT_EQ(CallWith("Cls", {}), ERR_NONE);
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(At(15, 15), BACKGROUND);
}

TEST_F(ShapeLayerTest, EffectsMoveToTheLayerStyle) {
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFormStyle", {FORM_SHADOW, 0x000000, 4, 3}), ERR_NONE);
  ASSERT_EQ(CallWith("Box", {20, 20, 30, 20, 0xFF0000}), ERR_NONE);
  qmLayer* layer = Layer(1);
  EXPECT_TRUE(layer->shadow.on);
  EXPECT_EQ(layer->shadow.size, 4);
  EXPECT_EQ(layer->shadow.direction, 3);
  // The image has no shadow of its own; the layer draws it.
  EXPECT_EQ(layer->base->width, 30);
  EXPECT_EQ(layer->base->height, 20);
  EXPECT_FALSE(Record(1)->style.formFlags & FORM_SHADOW);
  EXPECT_EQ(At(30, 30), 0xFF0000u);
  EXPECT_NE(At(51, 41), BACKGROUND);
  // An outline of width 6 becomes a border of 3 and width 1.
  ASSERT_EQ(CallWith("SetFormStyle", {FORM_NORMAL}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFillStyle", {FILLNONE}), ERR_NONE);
  ASSERT_EQ(CallWith("SetLineWidth", {6}), ERR_NONE);
  ASSERT_EQ(CallWith("Box", {80, 20, 30, 20, 0x00FF00}), ERR_NONE);
  layer = Layer(2);
  EXPECT_TRUE(layer->border.on);
  EXPECT_EQ(layer->border.size, 3);
  EXPECT_EQ(Record(2)->style.lineWidth, 1);
  // A transparent colour becomes the layer's transparency.
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(CallWith("Box", {10, 80, 10, 10, static_cast<double>(0x800000FFu)}), ERR_NONE);
  EXPECT_EQ(Layer(3)->transparency, 0x80);
  EXPECT_EQ(Record(3)->color, 0x0000FFu);
}

TEST_F(ShapeLayerTest, TransformedShapesAreDrawnAgain) {
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  // A box turned by 90 degrees: 40 x 20 shows as 20 x 40.
  ASSERT_EQ(CallWith("Box", {60, 40, 40, 20, 0xFF0000, Value::Table({{"rotate", 90}})}), ERR_NONE);
  LayerImageState* s = Layer(1)->display;
  EXPECT_EQ(s->width, 20);
  EXPECT_EQ(s->height, 40);
  std::array<int32_t, 4> box = Box(0xFF0000);
  EXPECT_EQ(box[2] - box[0] + 1, 20);
  EXPECT_EQ(box[3] - box[1] + 1, 40);
  // A rotated line keeps its unrotated ends; the layer turns it.
  ASSERT_EQ(CallWith("Line", {10, 10, 40, 10, 0x00FF00, 1, 90}), ERR_NONE);
  const ShapeLayerRecord* line = Record(2);
  EXPECT_EQ(line->x1, 10);
  EXPECT_EQ(line->y1, 10);
  EXPECT_EQ(line->x2, 40);
  EXPECT_EQ(line->y2, 10);
  s = Layer(2)->display;
  EXPECT_EQ(s->width, 1);
  EXPECT_EQ(s->height, 31);
}

TEST_F(ShapeLayerTest, FailingAllocationsLeaveTheListUnchanged) {
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  // Each allocation in turn fails until the box goes through (ASan checks
  // that nothing leaks or is freed twice on the way).
  ErrorCode e = ERR_MEM;
  for (uint64_t n = 1; n < 400 && e != ERR_NONE; ++n) {
    PushValue(L, Value::Table({{"rotate", 30}}));
    VmInsert(L, 1);
    for (double a : {30.0, 30.0, 40.0, 20.0, static_cast<double>(0xFF0000)}) VmPushNumber(L, a);
    VmPushValue(L, 1);
    VmRemove(L, 1);
    SetAllocFailure(n, false);
    e = Call("Box", 6);
    SetAllocFailure(0, false);
    if (e != ERR_NONE) {
      EXPECT_EQ(Count(), 0) << "allocation " << n;
    }
  }
  EXPECT_EQ(e, ERR_NONE);
  EXPECT_EQ(Count(), 1);
}

}  // namespace
