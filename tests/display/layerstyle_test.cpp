// Layer styles through SetLayerStyle, GetLayerStyle and the single-purpose
// layer commands on the test display adapter, pixels read back.
#include "draw/shapelayer_private.h"
#include "tests/display/layer_fixture.h"

namespace {

class LayerStyleTest : public LayerFixture {
 protected:
  void SetUp() override {
    LayerFixture::SetUp();
    ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  }
  ErrorCode Style(Value layer, const Value& table) {
    return CallWith("SetLayerStyle", {std::move(layer), table});
  }
  // A field of the GetLayerStyle table of the layer at the position.
  double Field(int32_t position, const char* name) {
    PushLayerStyle(L, Layer(position));
    VmPushString(L, name);
    VmGetTable(L, -2);
    double v = VmType(L, -1) == VM_TYPE_BOOLEAN ? VmToBoolean(L, -1) : VmToNumber(L, -1);
    VmSetTop(L, 0);
    return v;
  }
  // A string field of that table; "<absent>" when it is not a string.
  std::string Text(int32_t position, const char* name) {
    PushLayerStyle(L, Layer(position));
    VmPushString(L, name);
    VmGetTable(L, -2);
    std::string v = VmType(L, -1) == VM_TYPE_STRING ? VmToString(L, -1) : "<absent>";
    VmSetTop(L, 0);
    return v;
  }
  const ShapeLayerRecord* Record(int32_t position) {
    return static_cast<const ShapeLayerRecord*>(Layer(position)->base->kindData);
  }
};

constexpr double SHADOW = FORM_SHADOW, EDGE = FORM_EDGE;

TEST_F(LayerStyleTest, EdgeCasesOfTheFields) {
  Show(1, 200, 20, 0xFF0000, 0, 0);
  // A percentage is a scale, not an explicit width.
  ASSERT_EQ(Style(1, Value::Table({{"width", "50%"}})), ERR_NONE);
  EXPECT_EQ(Layer(1)->transform.scaleX, 0.5);
  EXPECT_EQ(Layer(1)->transform.width, 0);
  EXPECT_EQ(Layer(1)->display->width, 100);
  ASSERT_EQ(Style(1, Value::Table({{"rotate", 370}})), ERR_NONE);
  EXPECT_EQ(Layer(1)->transform.rotate, 10);
  ASSERT_EQ(Style(1, Value::Table({{"rotate", -10}})), ERR_NONE);
  EXPECT_EQ(Layer(1)->transform.rotate, 350);
  // A bad anchor stops the table: its position is not applied.
  ASSERT_EQ(Style(1, Value::Table({{"rotate", 0}, {"scalex", 1}})), ERR_NONE);
  EXPECT_EQ(Style(1, Value::Table({{"anchorx", 1.5}, {"x", 50}})), ERR_WRONGUSAGE);
  EXPECT_EQ(Layer(1)->base->requestedX, 0);
  EXPECT_EQ(At(5, 5), 0xFF0000u);
  // A part makes a brush layer a brush-part layer.
  ASSERT_EQ(Style(1, Value::Table({{"partwidth", 50}})), ERR_NONE);
  EXPECT_EQ(Layer(1)->type, LAYER_BRUSHPART);
  EXPECT_EQ(Layer(1)->display->width, 50);
  EXPECT_EQ(At(60, 5), BACKGROUND);
  // A clip region, and -1 to remove it.
  ASSERT_EQ(CallWith("CreateClipRegion", {1, 14, 0, 0, 10, 10}), ERR_NONE);
  ASSERT_EQ(Style(1, Value::Table({{"clipregion", 1}})), ERR_NONE);
  EXPECT_NE(Layer(1)->base->clip, nullptr);
  EXPECT_EQ(At(20, 5), BACKGROUND);
  ASSERT_EQ(Style(1, Value::Table({{"clipregion", -1}})), ERR_NONE);
  EXPECT_EQ(Layer(1)->base->clip, nullptr);
  EXPECT_EQ(At(20, 5), 0xFF0000u);
}

TEST_F(LayerStyleTest, FormFieldsOfShapeLayers) {
  ASSERT_EQ(CallWith("Box", {20, 20, 40, 30, 0x00FF00}), ERR_NONE);
  qmLayer* box = Layer(1);
  BitmapHandle* image = box->base->own.bitmap;
  // SHADOW switches the layer's shadow on and draws nothing again.
  ASSERT_EQ(Style(1, Value::Table({{"formstyle", SHADOW}})), ERR_NONE);
  EXPECT_EQ(Layer(1), box);
  EXPECT_EQ(box->base->own.bitmap, image);
  EXPECT_TRUE(box->shadow.on);
  EXPECT_NE(At(62, 52), BACKGROUND);
  // With bit 1 the form flags become 1 and nothing else changes.
  ASSERT_EQ(Style(1, Value::Table({{"formstyle", 1 + SHADOW}})), ERR_NONE);
  EXPECT_EQ(Record(1)->style.formFlags, FORM_NORMAL);
  EXPECT_TRUE(Layer(1)->shadow.on);
  ASSERT_EQ(Style(1, Value::Table({{"formstyle", EDGE}})), ERR_NONE);
  EXPECT_TRUE(Layer(1)->border.on);
  ASSERT_EQ(Style(1, Value::Table({{"formstyleclear", EDGE}})), ERR_NONE);
  EXPECT_FALSE(Layer(1)->border.on);
  EXPECT_TRUE(Layer(1)->shadow.on);
  // A start colour alone empties the gradient's colour list.
  const_cast<ShapeLayerRecord*>(Record(1))->style.gradient.pairCount = 3;
  ASSERT_EQ(Style(1, Value::Table({{"gradientstartcolor", 0xFF}})), ERR_NONE);
  EXPECT_EQ(Record(1)->style.gradient.pairCount, 0);
  EXPECT_EQ(Record(1)->style.gradient.startColour, 0xFFu);
}

TEST_F(LayerStyleTest, ErrorsStopTheTable) {
  Show(1, 40, 20, 0xFF0000, 10, 10);
  ASSERT_EQ(CallWith("Box", {60, 10, 30, 20, 0x00FF00}), ERR_NONE);
  struct Case {
    int32_t layer;
    Value table;
    ErrorCode code;
  } cases[] = {
      {1, Value::Table({{"transform", Value::List({0, 0, 0, 1})}}), ERR_WRONGUSAGE},
      {1, Value::Table({{"scalex", 0}}), ERR_BADDIMENSIONS},
      {1, Value::Table({{"height", -1}}), ERR_BADDIMENSIONS},
      {1, Value::Table({{"type", LAYER_VIDEO}}), ERR_WRONGUSAGE},
      {2, Value::Table({{"type", LAYER_CIRCLE}}), ERR_MISSINGPARAMTR},
      {2, Value::Table({{"type", LAYER_POLYGON}}), ERR_MISSINGPARAMTR},
      {2, Value::Table({{"type", LAYER_POLYGON}, {"vertices", Value::List({0, 0, 10, "x"})}}),
       ERR_NUMTABLEARG},
      {2, Value::Table({{"type", LAYER_POLYGON}, {"vertices", Value::List({0, 0, 10})}}),
       ERR_WRONGUSAGE},
      {3, Value::Table({{"x", 1}}), ERR_LAYERRANGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(Style(c.layer, c.table), c.code);
  }
  EXPECT_EQ(Layer(1)->transform.m11, 1.0);
  EXPECT_EQ(Layer(2)->type, LAYER_BOX);
  // A change to a circle with its radius is drawn as one.
  ASSERT_EQ(Style(2, Value::Table({{"type", LAYER_CIRCLE}, {"radius", 10}})), ERR_NONE);
  EXPECT_EQ(Layer(2)->type, LAYER_CIRCLE);
  EXPECT_EQ(Layer(2)->base->requestedWidth, 21);
  // The output-target checks come first.
  ASSERT_EQ(CallWith("CreateBrush", {9, 10, 10}), ERR_NONE);
  ASSERT_EQ(CallWith("SelectBrush", {9}), ERR_NONE);
  EXPECT_EQ(Style(1, Value::Table({{"x", 0}})), ERR_SELECTBRUSH);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  int32_t kind = d->outputKind;
  for (auto [output, code] :
       {std::pair{OUTPUT_MASK, ERR_SELECTMASK}, std::pair{OUTPUT_ALPHA, ERR_SELECTALPHACHANNEL}}) {
    d->outputKind = output;
    EXPECT_EQ(Style(1, Value::Table({{"x", 0}})), code);
    d->outputKind = kind;
  }
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
  EXPECT_EQ(Style(1, Value::Table({{"x", 0}})), ERR_NOLAYERS);
}

TEST_F(LayerStyleTest, FilterSlots) {
  Show(1, 40, 20, 0xFF0000, 10, 10);
  ASSERT_EQ(Style(1, Value::Table({{"filters", Value::List({Value::Table({{"name", "BLUR"}})})}})),
            ERR_NONE);
  const FilterSlot& blur = Layer(1)->filters[FILTER_BLUR];
  EXPECT_TRUE(blur.on);
  EXPECT_EQ(blur.priority, 0);
  EXPECT_EQ(blur.reals[0], 5.0f);
  // "tint" overrides the tint of the list.
  Value tinted = Value::Table(
      {{"filters",
        Value::List({Value::Table({{"name", "TINT"}, {"args", Value::List({0x0000FF, 10})}})})},
       {"tint", 99}});
  ASSERT_EQ(Style(1, tinted), ERR_NONE);
  EXPECT_EQ(Layer(1)->filters[FILTER_TINT].ints[0], 0x0000FF);
  EXPECT_EQ(Layer(1)->filters[FILTER_TINT].ints[1], 99);
  // "clearfilters" empties the slots after both.
  tinted.fields.emplace_back(Value("clearfilters"), Value(1));
  ASSERT_EQ(Style(1, tinted), ERR_NONE);
  for (const FilterSlot& f : Layer(1)->filters) EXPECT_FALSE(f.on);
  ASSERT_EQ(
      Style(1, Value::Table(
                   {{"tint", 50}, {"filters", Value::List({Value::Table({{"name", "INVERT"}})})}})),
      ERR_NONE);
  ASSERT_EQ(CallWith("SetLayerFilter", {1, 0}), ERR_NONE);
  for (const FilterSlot& f : Layer(1)->filters) EXPECT_FALSE(f.on);
  EXPECT_EQ(CallWith("SetLayerFilter", {1, 5}), ERR_WRONGUSAGE);
  EXPECT_EQ(At(15, 15), 0xFF0000u);
}

TEST_F(LayerStyleTest, GeometryAndStacking) {
  Show(1, 40, 20, 0xFF0000, 10, 10);
  Show(2, 40, 20, 0x00FF00, 20, 20);
  ASSERT_EQ(Style(2, Value::Table({{"translatex", 5}})), ERR_NONE);
  EXPECT_EQ(Box(0x00FF00), (std::array<int32_t, 4>{25, 20, 64, 39}));
  ASSERT_EQ(Style(2, Value::Table({{"x", POS_CENTER}, {"anchorx", 0.5}})), ERR_NONE);
  EXPECT_EQ(Box(0x00FF00), (std::array<int32_t, 4>{(W - 40) / 2, 20, (W - 40) / 2 + 39, 39}));
  // "z" 1 puts the layer at the bottom.
  ASSERT_EQ(Style(1, Value::Table({{"x", 70}, {"y", 25}})), ERR_NONE);
  EXPECT_EQ(At(75, 30), 0x00FF00u);
  ASSERT_EQ(Style(2, Value::Table({{"z", 1}})), ERR_NONE);
  EXPECT_EQ(Layer(1)->sourceId.number, 2);
  EXPECT_EQ(At(75, 30), 0xFF0000u);
  ASSERT_EQ(CallWith("RotateLayer", {1, 90}), ERR_NONE);
  EXPECT_EQ(Layer(1)->display->width, 20);
  EXPECT_EQ(Layer(1)->display->height, 40);
}

// Each command against the table it stands for, each on a fresh layer.
TEST_F(LayerStyleTest, CommandsMatchTheirTables) {
  struct Case {
    const char* command;
    std::vector<Value> args;
    Value table;
  } cases[] = {
      {"ScaleLayer", {1, "50%", "50%"}, Value::Table({{"width", "50%"}, {"height", "50%"}})},
      {"SetLayerTint", {1, 0x0000FF, 128}, Value::Table({{"tintcolor", 0x0000FF}, {"tint", 128}})},
      {"SetLayerLight",
       {1, 0x00FF00, "50%"},
       Value::Table({{"tintcolor", 0x00FF00}, {"tint", "50%"}})},
      {"SetLayerTransparency", {1, 100}, Value::Table({{"transparency", 100}})},
      {"SetLayerAnchor", {1, 0.5, 1}, Value::Table({{"anchorx", 0.5}, {"anchory", 1}})},
      {"TransformLayer",
       {1, 1, 0.5, 0, 1},
       Value::Table({{"transform", Value::List({1, 0.5, 0, 1})}})},
      {"RotateLayer", {1, 45, 1}, Value::Table({{"rotate", 45}, {"smoothscale", 1}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    Show(1, 40, 20, 0xFF0000, 50, 50);
    ASSERT_EQ(CallWith(c.command, c.args), ERR_NONE);
    std::vector<uint32_t> byCommand = Frame();
    ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
    Show(1, 40, 20, 0xFF0000, 50, 50);
    ASSERT_EQ(Style(1, c.table), ERR_NONE);
    EXPECT_EQ(Frame(), byCommand);
    EXPECT_NE(Frame(), std::vector<uint32_t>(W * H, BACKGROUND));
    ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
  }
}

TEST_F(LayerStyleTest, ContentIsDrawnAgain) {
  ASSERT_EQ(CallWith("Circle", {20, 20, 10, 0x00FF00}), ERR_NONE);
  EXPECT_EQ(Text(1, "name"), "");  // an unnamed layer's style has the field too
  std::string name(200, 'n');
  ASSERT_EQ(CallWith("SetLayerName", {1, name.c_str()}), ERR_NONE);
  EXPECT_EQ(Text(1, "name"), name);
  ASSERT_EQ(Style(1, Value::Table({{"radius", 20}, {"color", 0xFF0000}})), ERR_NONE);
  std::vector<uint32_t> restyled = Frame();
  // The long name goes over to the layer drawn again.
  EXPECT_EQ(FindLayerByName(Pic(), name.c_str()), 1);
  EXPECT_EQ(Style(name.c_str(), Value::Table({{"transparency", 10}})), ERR_NONE);
  ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
  ASSERT_EQ(CallWith("Circle", {20, 20, 20, 0xFF0000}), ERR_NONE);
  EXPECT_EQ(Frame(), restyled);
}

TEST_F(LayerStyleTest, GroupsAndSeveralTables) {
  Show(1, 20, 20, 0xFF0000, 0, 0);
  Show(2, 20, 20, 0x00FF00, 30, 0);
  Show(3, 20, 20, 0x0000FF, 60, 0);
  for (int32_t i : {1, 2}) ASSERT_EQ(Style(i, Value::Table({{"group", "g"}})), ERR_NONE);
  ASSERT_EQ(Style("g", Value::Table({{"transparency", 128}, {"partwidth", 5}})), ERR_NONE);
  for (int32_t i : {1, 2}) {
    EXPECT_EQ(Layer(i)->transparency, 128);
    EXPECT_EQ(Layer(i)->type, LAYER_BRUSH);
  }
  EXPECT_EQ(Layer(3)->transparency, 0);
  EXPECT_EQ(Field(1, "group"), 0);  // a string reads as 0 here
  // An error in the second table leaves the first applied.
  EXPECT_EQ(CallWith("SetLayerStyle",
                     {3, Value::Table({{"transparency", 50}}), 1, Value::Table({{"scalex", 0}})}),
            ERR_BADDIMENSIONS);
  EXPECT_EQ(Layer(3)->transparency, 50);
  EXPECT_NE(At(65, 5), 0x0000FFu);
}

// A styled layer's table gives a fresh layer of the same content the same
// pixels.
TEST_F(LayerStyleTest, StylesRoundTrip) {
  ASSERT_EQ(CallWith("CreateBrush", {1, 40, 30, 0xFF0000}), ERR_NONE);
  ASSERT_EQ(CallWith("Box", {0, 0, 5, 5, 0x00FF00}), ERR_NONE);  // makes nothing but a layer
  ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
  struct Case {
    const char* command;
    std::vector<Value> args;
  } cases[] = {
      {"DisplayBrush", {1, 40, 40}},
      {"DisplayBrushPart", {1, 5, 5, 40, 40, 20, 15}},
      {"Box", {40, 40, 40, 25, 0x00FF00}},
      {"Circle", {40, 40, 15, 0x0000FF}},
      {"Ellipse", {40, 40, 20, 10, 0xFFFF00}},
      {"Line", {40, 40, 80, 60, 0xFF00FF, 3}},
      {"Polygon", {40, 40, Value::List({0, 0, 30, 5, 10, 25}), 3, 0x00FFFF}},
      {"Arc", {40, 40, 20, 15, 0, 200, 0xFFFFFF}},
  };
  const Value styled = Value::Table({{"shadow", true},
                                     {"shadowsize", 3},
                                     {"border", true},
                                     {"bordersize", 2},
                                     {"bordercolor", 0x123456},
                                     {"filters", Value::List({Value::Table({{"name", "INVERT"}}),
                                                              Value::Table({{"name", "XFLIP"}})})},
                                     {"tint", 60},
                                     {"tintcolor", 0x00FF00},
                                     {"transform", Value::List({1, 0.25, 0, 1.5})},
                                     {"anchorx", 0.5},
                                     {"anchory", 0.25}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_EQ(CallWith(c.command, c.args), ERR_NONE);
    ASSERT_EQ(Count(), 1);
    std::vector<uint32_t> plain = Frame();
    ASSERT_EQ(Style(1, styled), ERR_NONE);
    std::vector<uint32_t> first = Frame();
    EXPECT_NE(first, plain);
    PushLayerStyle(L, Layer(1));
    VmPushString(L, "savedstyle");
    VmInsert(L, -2);
    VmSetTable(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
    ASSERT_EQ(CallWith(c.command, c.args), ERR_NONE);
    VmPushNumber(L, 1);
    VmPushString(L, "savedstyle");
    VmGetTable(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(Call("SetLayerStyle", 2), ERR_NONE);
    EXPECT_EQ(Frame(), first);
    ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
  }
}

TEST_F(LayerStyleTest, FailingAllocationsLeaveTheLayerAsItWas) {
  ASSERT_EQ(CallWith("Circle", {40, 40, 10, 0x00FF00}), ERR_NONE);
  std::vector<uint32_t> before = Frame();
  // Allocation n fails, for every n until none is left to fail; a failure
  // that the code can take (a full dirty list) still applies the table,
  // which is then undone.
  int failures = 0;
  for (uint64_t n = 1; n < 1000; ++n) {
    VmPushNumber(L, 1);
    PushValue(L, Value::Table({{"radius", 20}, {"rotate", 30}, {"tint", 40}}));
    SetAllocFailure(n, false);
    ErrorCode e = Call("SetLayerStyle", 2);
    bool failed = GetAllocFailureCount() > 0;
    SetAllocFailure(0, false);
    if (e == ERR_NONE) {
      EXPECT_EQ(Record(1)->rx, 20);
      if (!failed) break;
      ASSERT_EQ(Style(1, Value::Table({{"radius", 10}, {"rotate", 0}, {"tint", 0}})), ERR_NONE);
      continue;
    }
    ++failures;
    EXPECT_EQ(e, ERR_MEM) << "allocation " << n;
    ASSERT_EQ(Count(), 1);
    EXPECT_EQ(Record(1)->rx, 10) << "allocation " << n;
    EXPECT_EQ(Layer(1)->transform.rotate, 0) << "allocation " << n;
    EXPECT_FALSE(Layer(1)->filters[FILTER_TINT].on) << "allocation " << n;
    RefreshLayerRect(L, 0, 0, W, H, 0);
    EXPECT_EQ(Frame(), before) << "allocation " << n;
  }
  EXPECT_GT(failures, 3);
}

TEST_F(LayerStyleTest, RemakingInPlaceKeepsPlaceLookAndName) {
  Show(1, 20, 20, 0xFF0000, 0, 0);
  Show(2, 40, 20, 0x00FF00, 30, 30);
  Show(3, 20, 20, 0x0000FF, 100, 0);
  std::string name(200, 'm');
  ASSERT_EQ(CallWith("SetLayerName", {2, name.c_str()}), ERR_NONE);
  ASSERT_EQ(Style(2, Value::Table({{"transparency", 0}, {"group", "gg"}})), ERR_NONE);
  BitmapHandle* frame = AllocBitmap(40, 20, 0, nullptr);
  ASSERT_NE(frame, nullptr);
  FillBitmapRect(frame, 0, 0, 40, 20, 0xFFFFFF00u);
  qmLayer* layer = Layer(2);
  ASSERT_EQ(RemakeLayerInPlace(L, d, &layer, frame), ERR_NONE);
  EXPECT_EQ(Layer(2), layer);
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(FindLayerByName(Pic(), name.c_str()), 2);
  EXPECT_STREQ(layer->group, "gg");
  EXPECT_EQ(At(35, 35), 0xFFFF00u);
  std::vector<uint32_t> shown = Frame();
  ASSERT_EQ(RerenderAllLayers(L, d, Pic()), ERR_NONE);
  RefreshLayerRect(L, 0, 0, W, H, 0);
  EXPECT_EQ(Frame(), shown);
  layer = Layer(2);
  // A new size and place for the display state, shown at once.
  SetLayerGeometry(L, layer, nullptr, 60, 60, 40, 20, nullptr, nullptr, nullptr, 0);
  EXPECT_EQ(At(35, 35), BACKGROUND);
  EXPECT_EQ(At(65, 65), 0xFFFF00u);
}

// A turned layer turns its clip region with it, about the same anchor, so
// that the region keeps showing the same part of the layer; with
// "nocliptransform" the region stays where it is.
TEST_F(LayerStyleTest, TheClipRegionTurnsWithTheLayerUnlessKept) {
  // The region shows the top half of the 40 x 20 layer.
  ASSERT_EQ(CallWith("CreateClipRegion", {1, 14, 50, 50, 40, 10}), ERR_NONE);
  Show(1, 40, 20, 0xFF0000, 50, 50);
  ASSERT_EQ(Style(1, Value::Table({{"clipregion", 1}})), ERR_NONE);
  EXPECT_EQ(Box(0xFF0000), (std::array<int32_t, 4>{50, 50, 89, 59}));
  ASSERT_EQ(Style(1, Value::Table({{"rotate", 90}})), ERR_NONE);
  const std::array<int32_t, 4> turned = Box(0xFF0000);
  EXPECT_EQ(turned[2] - turned[0] + 1, 10);
  EXPECT_EQ(turned[3] - turned[1] + 1, 40);
  ASSERT_EQ(Style(1, Value::Table({{"nocliptransform", true}})), ERR_NONE);
  const std::array<int32_t, 4> kept = Box(0xFF0000);
  EXPECT_LE(kept[3] - kept[1] + 1, 10);
  EXPECT_GE(kept[1], 50);
  EXPECT_EQ(Layer(1)->display->clip, Layer(1)->base->clip);
  // Turned again, the kept region still does not follow.
  ASSERT_EQ(Style(1, Value::Table({{"rotate", 270}})), ERR_NONE);
  EXPECT_EQ(Layer(1)->display->clip, Layer(1)->base->clip);
  ASSERT_EQ(Style(1, Value::Table({{"rotate", 90}, {"nocliptransform", false}})), ERR_NONE);
  EXPECT_EQ(Box(0xFF0000), turned);
  // Back to no turn, the region is the script's own again.
  ASSERT_EQ(Style(1, Value::Table({{"rotate", 0}})), ERR_NONE);
  EXPECT_EQ(Box(0xFF0000), (std::array<int32_t, 4>{50, 50, 89, 59}));
  // Turning it fails as a whole when the region's copy cannot be made.
  int failures = 0;
  for (uint64_t n = 1; n < 1000; ++n) {
    VmPushNumber(L, 1);
    PushValue(L, Value::Table({{"rotate", 90}}));
    SetAllocFailure(n, false);
    ErrorCode e = Call("SetLayerStyle", 2);
    bool failed = GetAllocFailureCount() > 0;
    SetAllocFailure(0, false);
    if (e == ERR_NONE) {
      EXPECT_EQ(Box(0xFF0000), turned);
      if (!failed) break;
      ASSERT_EQ(Style(1, Value::Table({{"rotate", 0}})), ERR_NONE);
      continue;
    }
    ++failures;
    EXPECT_EQ(e, ERR_MEM) << "allocation " << n;
    EXPECT_EQ(Layer(1)->transform.rotate, 0) << "allocation " << n;
    EXPECT_EQ(Layer(1)->display->clip, Layer(1)->base->clip) << "allocation " << n;
  }
  EXPECT_GT(failures, 0);
}

// A layer drawn while a clip region is active keeps it: only the region
// shows, also after the region's handle is freed; layers drawn after the
// region was switched off are whole.
TEST_F(LayerStyleTest, LayersKeepTheActiveClipRegion) {
  ASSERT_EQ(CallWith("CreateClipRegion", {1, 14, 10, 10, 20, 10}), ERR_NONE);
  ASSERT_EQ(CallWith("SetClipRegion", {1}), ERR_NONE);
  Show(1, 40, 40, 0xFF0000, 0, 0);
  EXPECT_EQ(Box(0xFF0000), (std::array<int32_t, 4>{10, 10, 29, 19}));
  ASSERT_EQ(CallWith("SetClipRegion", {0}), ERR_NONE);
  ASSERT_EQ(CallWith("FreeClipRegion", {1}), ERR_NONE);
  Show(2, 10, 10, 0x00FF00, 100, 100);
  EXPECT_EQ(Box(0x00FF00), (std::array<int32_t, 4>{100, 100, 109, 109}));
  RefreshLayerRect(L, 0, 0, W, H, 0);
  EXPECT_EQ(Box(0xFF0000), (std::array<int32_t, 4>{10, 10, 29, 19}));
}

// The replacement takes over the old layer's clip region with its place.
TEST_F(LayerStyleTest, RemakingInPlaceKeepsTheClipRegion) {
  ASSERT_EQ(CallWith("CreateClipRegion", {1, 14, 30, 30, 10, 20}), ERR_NONE);
  Show(1, 20, 20, 0xFF0000, 0, 0);
  Show(2, 40, 20, 0x00FF00, 30, 30);
  ASSERT_EQ(Style(2, Value::Table({{"clipregion", 1}})), ERR_NONE);
  ClipRegion* region = Layer(2)->base->clip;
  ASSERT_NE(region, nullptr);
  BitmapHandle* frame = AllocBitmap(40, 20, 0, nullptr);
  ASSERT_NE(frame, nullptr);
  FillBitmapRect(frame, 0, 0, 40, 20, 0xFFFFFF00u);
  qmLayer* layer = Layer(2);
  ASSERT_EQ(RemakeLayerInPlace(L, d, &layer, frame), ERR_NONE);
  ASSERT_EQ(Layer(2), layer);
  EXPECT_EQ(layer->base->clip, region);
  RefreshLayerRect(L, 0, 0, W, H, 0);
  EXPECT_EQ(At(35, 35), 0xFFFF00u);
  EXPECT_EQ(At(45, 35), BACKGROUND);
}

}  // namespace
