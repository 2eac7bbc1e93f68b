// Layers on a display of the test display adapter: the layer list, the
// composer with shadows, borders and filters, dirty rectangles, transforms
// and the "layers" commands, read back from the adapter's framebuffer.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/display/layer_fixture.h"

namespace {

using LayerTest = LayerFixture;

TEST_F(LayerTest, DisplayBrushInsertsLayersThatComposeInListOrder) {
  // A plain brush is both a layer and on the screen.
  Show(1, 40, 30, 0xFF0000, 10, 10);
  ASSERT_EQ(Count(), 1);
  EXPECT_EQ(Layer(1)->type, LAYER_BRUSH);
  EXPECT_EQ(At(10, 10), 0xFF0000u);
  EXPECT_EQ(At(49, 39), 0xFF0000u);
  EXPECT_EQ(At(50, 40), BACKGROUND);
  // Overlapping layers: the later one is on top, wherever it is drawn from.
  Show(2, 40, 30, 0x00FF00, 30, 20);
  Show(3, 40, 30, 0x0000FF, 50, 30);
  EXPECT_EQ(At(35, 25), 0x00FF00u);
  EXPECT_EQ(At(55, 35), 0x0000FFu);
  // Recomposed from scratch, the rectangle looks the same.
  RefreshLayerRect(L, 0, 0, W, H, 0);
  EXPECT_EQ(At(15, 15), 0xFF0000u);
  EXPECT_EQ(At(35, 25), 0x00FF00u);
  EXPECT_EQ(At(55, 35), 0x0000FFu);
  // A hidden layer and one being taken off are not drawn.
  Layer(3)->hidden = 1;
  Layer(2)->type = LAYER_NOOBJECT;
  RefreshLayerRect(L, 0, 0, W, H, 0);
  EXPECT_EQ(At(55, 35), BACKGROUND);
  EXPECT_EQ(At(35, 25), 0xFF0000u);
  Layer(2)->type = LAYER_BRUSH;
  // A rotated brush only becomes a layer: its turned box is on the screen.
  const Value rotate = Value::Table({{"rotate", 90}});
  Show(4, 40, 20, 0xFFFF00, 100, 60, &rotate);
  ASSERT_EQ(Count(), 4);
  LayerImageState* s = Layer(4)->display;
  EXPECT_EQ(s->width, 20);
  EXPECT_EQ(s->height, 40);
  std::array<int32_t, 4> box = Box(0xFFFF00);
  EXPECT_EQ(box[2] - box[0] + 1, 20);
  EXPECT_EQ(box[3] - box[1] + 1, 40);
}

TEST_F(LayerTest, RedrawRefusesBadRectanglesWithItsConsoleLines) {
  Show(1, 20, 20, 0xFF0000, 0, 0);
  BitmapHandle* dest = d->windowBitmap;
  struct Case {
    int32_t x, y, w, h;
    bool noDest;
    const char* line;
  } cases[] = {
      {0, 0, 0, 10, false, "ERROR! REDRAW CALLED WITH WIDTH/HEIGHT <= 0\n"},
      {-1, 0, 10, 10, false, "ERROR! REDRAW CALLED WITH NEGATIVE X/Y COORDINATES\n"},
      {0, 0, 10, 10, true, "ERROR! REDRAW CALLED WITHOUT DSTBM\n"},
  };
  FillBitmapRect(dest, 0, 0, 10, 10, 0xFF00FF00);
  for (const Case& c : cases) {
    ::testing::internal::CaptureStdout();
    Redraw(L, d, Pic(), c.noDest ? nullptr : dest, c.x, c.y, c.w, c.h, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.line);
    EXPECT_EQ(
        ReadBitmapPixel(dest, 5, 5, 0) & 0xFFFFFF,
        ColorToPixel(0xFF00FF00, static_cast<uint32_t>(GetBitmapAttr(dest, 21)), 0) & 0xFFFFFF);
  }
}

TEST_F(LayerTest, ListPositionsNamesAndFreeing) {
  Show(1, 10, 10, 0xFF0000, 0, 0);
  Show(2, 10, 10, 0x00FF00, 0, 0);
  Show(3, 10, 10, 0x0000FF, 0, 0);
  // A style position past the end goes on top; position 1 at the bottom.
  const Value far = Value::Table({{"insertpos", 10}});
  Show(4, 10, 10, 0xFFFFFF, 0, 0, &far);
  EXPECT_EQ(Layer(4)->sourceId.number, 4);
  const Value bottom = Value::Table({{"insertpos", 1}});
  Show(5, 10, 10, 0x000000, 0, 0, &bottom);
  EXPECT_EQ(Layer(1)->sourceId.number, 5);
  EXPECT_EQ(Count(), 5);

  const std::string name255(255, 'a'), name256(256, 'a');
  EXPECT_EQ(AssignLayerName(Layer(1), name255.c_str()), ERR_NONE);
  EXPECT_EQ(FindLayerByName(Pic(), name255.c_str()), 1);
  EXPECT_EQ(AssignLayerName(Layer(2), name256.c_str()), ERR_NAMETOOLONG);
  ASSERT_EQ(AssignLayerGroup(Layer(3), "Clouds"), ERR_NONE);
  EXPECT_EQ(AssignLayerName(Layer(2), "cLOUDS"), ERR_NAMEUSED);
  EXPECT_EQ(AssignLayerName(Layer(2), name255.c_str()), ERR_NAMEUSED);
  ASSERT_EQ(AssignLayerName(Layer(2), "sky"), ERR_NONE);
  EXPECT_EQ(AssignLayerGroup(Layer(4), "SKY"), ERR_GROUPNAMEUSED);

  // Three states that are one record are freed once (ASan watches).
  qmLayer* l = Layer(2);
  ASSERT_EQ(l->base, l->unscaled);
  ASSERT_EQ(l->base, l->display);
  DeleteLayer(L, l, 0, nullptr, nullptr, 1);
  EXPECT_EQ(Count(), 4);
}

TEST_F(LayerTest, FailedAllocationsLeaveTheListAsItWas) {
  Show(1, 30, 20, 0xFF0000, 10, 10);
  ASSERT_EQ(CallWith("CreateBrush", {2, 30, 20, static_cast<double>(0x00FF00)}), ERR_NONE);
  DisplayTransform plain;
  CopyDefaultTransform(&plain);
  DisplayTransform turned = plain;
  turned.m11 = turned.m22 = 0;
  turned.m12 = 1;
  turned.m21 = -1;
  for (const DisplayTransform* t : {&plain, &turned}) {
    ErrorCode e = ERR_MEM;
    for (uint64_t n = 1; n < 200 && e != ERR_NONE; ++n) {
      SetAllocFailure(n, false);
      e = CreateObjectLayer(L, LAYER_BRUSH, ObjectId{nullptr, 2}, 0, 0, 50, 50, 30, 20, t, nullptr,
                            nullptr, -1, 1, 0);
      bool failed = GetAllocFailureCount() > 0;
      SetAllocFailure(0, false);
      if (e != ERR_NONE) {
        EXPECT_TRUE(failed);
        EXPECT_EQ(e, ERR_MEM) << "allocation " << n;
        EXPECT_EQ(Count(), 1) << "allocation " << n;
      }
    }
    EXPECT_EQ(e, ERR_NONE);
    ASSERT_EQ(Count(), 2);
    DeleteLayer(L, Layer(2), 0, nullptr, nullptr, 1);
  }
}

TEST_F(LayerTest, DirtyRectanglesMergeWhenTheyTouch) {
  struct Case {
    const char* name;
    std::vector<DirtyRect> in;
    std::vector<std::array<int32_t, 4>> out;
  } cases[] = {
      {"side by side", {{0, 0, 9, 9, 0}, {10, 0, 20, 9, 0}}, {{0, 0, 20, 9}}},
      {"one column apart", {{0, 0, 9, 9, 0}, {11, 0, 20, 9, 0}}, {{0, 0, 9, 9}, {11, 0, 20, 9}}},
      {"diagonal", {{0, 0, 9, 9, 0}, {10, 10, 20, 20, 0}}, {{0, 0, 20, 20}}},
      // A real rectangle at the coordinates an old free marker used.
      {"far right",
       {{100000, 0, 100009, 9, 0}, {0, 0, 5, 5, 0}},
       {{0, 0, 5, 5}, {100000, 0, 100009, 9}}},
  };
  for (const Case& c : cases) {
    DirtyList list{};
    for (const DirtyRect& r : c.in) AddDirtyRect(&list, r.x1, r.y1, r.x2, r.y2, 1);
    MergeDirtyRects(&list);
    std::vector<std::array<int32_t, 4>> live;
    for (int32_t i = 0; i < list.count; ++i)
      if (!list.entries[i].merged)
        live.push_back(
            {list.entries[i].x1, list.entries[i].y1, list.entries[i].x2, list.entries[i].y2});
    std::sort(live.begin(), live.end());
    EXPECT_EQ(live, c.out) << c.name;
    FreeDirtyRects(&list);
  }
}

TEST_F(LayerTest, DirtyListsRefreshOnlyWhatMeetsThePictureAndAllWhenFull) {
  Show(1, 20, 20, 0xFF0000, 0, 0);
  // Wholly left of the picture: nothing is shown.
  int32_t before = Blits();
  RefreshLayerRect(L, -30, 0, 30, 10, 0);
  EXPECT_EQ(Blits(), before);
  // A full list is one refresh of the whole picture.
  DirtyList list{};
  AddDirtyRect(&list, 5, 5, 6, 6, 0);
  list.full = 1;
  before = Blits();
  RefreshDirtyRects(L, &list);
  EXPECT_EQ(Blits(), before + 1);
  EXPECT_EQ(lastBlit()->width, W);
  EXPECT_EQ(lastBlit()->height, H);
  // A growth that fails marks the list full instead of losing the area.
  DirtyList small{};
  AddDirtyRect(&small, 1, 1, 2, 2, 1);
  for (int32_t i = 1; i < DIRTY_BLOCK; ++i) AddDirtyRect(&small, 1, 1, 2, 2, 1);
  SetAllocFailure(1, false);
  AddDirtyRect(&small, 50, 50, 60, 60, 1);
  SetAllocFailure(0, false);
  EXPECT_EQ(small.full, 1);
  before = Blits();
  RefreshDirtyRects(L, &small);
  EXPECT_EQ(Blits(), before + 1);
  EXPECT_EQ(lastBlit()->width, W);
  FreeDirtyRects(&list);
  FreeDirtyRects(&small);
}

TEST_F(LayerTest, TransformsDecomposeAndScaleRectangles) {
  struct Case {
    const char* name;
    double m11, m12, m21, m22;
    int32_t shear;
    double scaleX, scaleY;
  } cases[] = {
      {"90 degrees at scale 2", 0, 2, -2, 0, 0, 2, 2},
      {"30 degrees at scale 1", 0.8660254037844387, 0.5, -0.5, 0.8660254037844387, 0, 1, 1},
      {"sheared", 2, 0.5, 0, 1, 1, 0, 0},
  };
  for (const Case& c : cases) {
    DisplayTransform t;
    CopyDefaultTransform(&t);
    t.m11 = c.m11;
    t.m12 = c.m12;
    t.m21 = c.m21;
    t.m22 = c.m22;
    DecomposedTransform parts = DecomposeTransform(t);
    EXPECT_EQ(parts.shear, c.shear) << c.name;
    if (!c.shear) {
      EXPECT_NEAR(parts.scaleX, c.scaleX, 1e-9) << c.name;
      EXPECT_NEAR(parts.scaleY, c.scaleY, 1e-9) << c.name;
    }
  }
  using Rect = std::array<int32_t, 4>;
  struct Scaled {
    const char* name;
    Rect in;
    double fx, fy;
    Rect out;
  } scaled[] = {
      {"twice", {10, 10, 5, 5}, 2.0, 2.0, {20, 20, 9, 9}},
      {"1.5 from an even place", {70, 31, 37, 23}, 1.5, 1.5, {105, 47, 55, 34}},
      {"1.5 from an odd place", {71, 33, 16, 9}, 1.5, 1.5, {107, 50, 23, 13}},
      {"half", {71, 31, 38, 24}, 0.5, 0.5, {36, 16, 19, 12}},
      {"2.5", {70, 31, 38, 24}, 2.5, 2.5, {175, 78, 94, 58}},
      {"other factor in y", {10, 10, 5, 5}, 1.5, 0.5, {15, 5, 7, 3}},
      {"negative halves away from zero", {-3, -1, 4, 2}, 1.5, 1.5, {-5, -2, 6, 3}},
      {"ends past 32 bits",
       {-2000000000, 0, INT32_MAX, 1},
       20.0,
       1.0,
       {INT32_MIN, 0, INT32_MAX, 1}},
  };
  for (const Scaled& c : scaled) {
    Rect r{};
    ScaleRectToDisplay(c.in[0], c.in[1], c.in[2], c.in[3], c.fx, c.fy, &r[0], &r[1], &r[2], &r[3]);
    EXPECT_EQ(r, c.out) << c.name;
  }
  int32_t x = 0, h = 0;
  ScaleRectToDisplay(71, 31, 16, 9, 1.5, 1.5, &x, nullptr, nullptr, &h);
  EXPECT_EQ((Rect{x, h, 0, 0}), (Rect{107, 13, 0, 0}));
}

TEST_F(LayerTest, ShadowBorderAndFilterOrder) {
  // A 2-pixel border rings the brush.
  const Value border = Value::Table(
      {{"border", true}, {"bordersize", 2}, {"bordercolor", static_cast<double>(0x00FF00)}});
  Show(1, 20, 10, 0xFF0000, 20, 20, &border);
  EXPECT_EQ(At(20, 20), 0xFF0000u);
  EXPECT_EQ(At(18, 20), 0x00FF00u);
  EXPECT_EQ(At(19, 29), 0x00FF00u);
  EXPECT_EQ(At(41, 31), 0x00FF00u);
  EXPECT_EQ(At(17, 20), BACKGROUND);
  EXPECT_EQ(At(42, 25), BACKGROUND);

  // Shadow to the south-east, size 4, at display scale 2: 8 pixels away.
  ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
  const Value shadow = Value::Table(
      {{"shadow", true}, {"shadowdir", SHDWSOUTHEAST}, {"shadowsize", 4}, {"shadowradius", 1}});
  Show(2, 10, 10, 0xFF0000, 40, 40, &shadow);
  qmLayer* l = Layer(1);
  ASSERT_TRUE(l->shadow.on);
  d->layerscale = 1;
  d->scaleWidth = W * 2;
  d->scaleHeight = H * 2;
  d->scaleX = d->scaleY = 2.0;
  LayerRect bounds;
  GetLayerBounds(L, l, l->display, &bounds);
  d->layerscale = 0;
  d->scaleWidth = d->scaleHeight = 0;
  d->scaleX = d->scaleY = 1.0;
  EXPECT_EQ(bounds.x, 40);
  EXPECT_EQ(bounds.y, 40);
  // Grown by the radius 1 and moved by 8: (47, 47) to (58, 58).
  EXPECT_EQ(bounds.width, 19);
  EXPECT_EQ(bounds.height, 19);

  // Tint then invert differs from invert then tint: priority decides.
  ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
  auto filters = [](int tintPriority, int invertPriority) {
    return Value::Table(
        {{"filters",
          Value::List({Value::Table({{"name", "tint"},
                                     {"priority", tintPriority},
                                     {"args", Value::List({0xFF0000, 255})}}),
                       Value::Table({{"name", "invert"}, {"priority", invertPriority}})})}});
  };
  const Value tintFirst = filters(200, 100), invertFirst = filters(100, 200);
  Show(3, 10, 10, 0x0000FF, 0, 0, &tintFirst);
  Show(4, 10, 10, 0x0000FF, 20, 0, &invertFirst);
  EXPECT_NE(At(5, 5), At(25, 5));
}

TEST_F(LayerTest, MovingOneShadowedLayerRebuildsNoOtherCache) {
  const Value shadow = Value::Table({{"shadow", true}});
  for (int32_t i = 0; i < 20; ++i)
    Show(10 + i, 8, 8, 0xFF0000, (i % 10) * 14, (i / 10) * 30, &shadow);
  RefreshLayerRect(L, 0, 0, W, H, 0);
  uint64_t builds = layerContext.cacheBuilds;
  ASSERT_EQ(CallWith("ShowLayer", {5, 100003, 100002}), ERR_NONE);
  EXPECT_EQ(layerContext.cacheBuilds, builds);
}

TEST_F(LayerTest, CommandsNameFindUndoAndRemove) {
  Show(1, 10, 10, 0xFF0000, 0, 0);
  Show(2, 10, 10, 0x00FF00, 5, 0);
  Show(1, 10, 10, 0xFF0000, 20, 0);
  Show(1, 10, 10, 0xFF0000, 40, 0);
  // Undo of nothing succeeds; level 2 takes the second from the top.
  ASSERT_EQ(CallWith("Undo", {LAYER_BRUSH, 9}), ERR_NONE);
  EXPECT_EQ(Count(), 4);
  ASSERT_EQ(CallWith("Undo", {LAYER_BRUSH, 1, 2}), ERR_NONE);
  ASSERT_EQ(Count(), 3);
  EXPECT_EQ(Layer(3)->display->x, 40);
  EXPECT_EQ(Layer(2)->display->x, 5);
  // Position 0 names the top layer; a hidden layer is still found.
  ASSERT_EQ(CallWith("SetLayerName", {0, "top"}), ERR_NONE);
  EXPECT_EQ(FindLayerByName(Pic(), "TOP"), 3);
  ASSERT_EQ(CallWith("LayerExists", {"top"}), ERR_NONE);
  Layer(3)->hidden = 1;
  ASSERT_EQ(CallWith("GetLayerAtPos", {45, 5}), ERR_NONE);
  EXPECT_EQ(results, (std::vector<std::string>{"3.000000", "top"}));
  ASSERT_EQ(CallWith("GetLayerAtPos", {150, 100}), ERR_NONE);
  EXPECT_EQ(results, (std::vector<std::string>{"0.000000", ""}));
  // ShowLayer moves relative within 95001-104999, absolute beyond.
  ASSERT_EQ(CallWith("ShowLayer", {"top", 100005}), ERR_NONE);
  EXPECT_EQ(Layer(3)->hidden, 0);
  EXPECT_EQ(Layer(3)->display->x, 45);
  ASSERT_EQ(CallWith("ShowLayer", {3, 105000, 100000}), ERR_NONE);
  EXPECT_EQ(Layer(3)->display->x, 105000);
  EXPECT_EQ(Layer(3)->display->y, 0);
}

TEST_F(LayerTest, RemovingAGroupRefreshesTheMergedAreaOnce) {
  Show(1, 10, 10, 0xFF0000, 10, 10);
  Show(2, 10, 10, 0x00FF00, 20, 10);
  Show(3, 10, 10, 0x0000FF, 60, 60);
  ASSERT_EQ(AssignLayerGroup(Layer(1), "pair"), ERR_NONE);
  ASSERT_EQ(AssignLayerGroup(Layer(2), "pair"), ERR_NONE);
  int32_t before = Blits();
  ASSERT_EQ(CallWith("RemoveLayer", {"pair"}), ERR_NONE);
  EXPECT_EQ(Blits(), before + 1);
  EXPECT_EQ(lastBlit()->width, 20);
  EXPECT_EQ(lastBlit()->height, 10);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(At(15, 15), BACKGROUND);
  EXPECT_EQ(At(25, 15), BACKGROUND);
  EXPECT_EQ(CallWith("RemoveLayer", {"pair"}), ERR_FINDLAYER);
  EXPECT_EQ(CallWith("RemoveLayer", {5}), ERR_LAYERRANGE);
}

TEST_F(LayerTest, FreeLayersKeepsThePictureAndRemoveLayersShowsTheBackground) {
  Show(1, 30, 30, 0xFF0000, 10, 10);
  Show(2, 30, 30, 0x00FF00, 30, 30);
  std::vector<uint32_t> shown = Frame();
  ASSERT_EQ(CallWith("FreeLayers", {}), ERR_NONE);
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(Frame(), shown);
  RefreshDisplay(L, d, REFRESH_FORCE);
  EXPECT_EQ(Frame(), shown);

  Show(3, 30, 30, 0x0000FF, 80, 10);
  ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(At(15, 15), BACKGROUND);
  EXPECT_EQ(At(85, 15), BACKGROUND);
}

TEST_F(LayerTest, CreateLayerAndTheChecksOfTheCommands) {
  EXPECT_EQ(CallWith("CreateLayer",
                     {0, 0, 10, 10, Value::Table({{"mask", true}, {"alphachannel", true}})}),
            ERR_WRONGUSAGE);
  ASSERT_EQ(CallWith("CreateLayer", {5, 5, 10, 10, Value::Table({{"color", 0xFFFF00}})}), ERR_NONE);
  ASSERT_EQ(Count(), 1);
  EXPECT_EQ(At(5, 5), 0xFFFF00u);
  EXPECT_EQ(At(14, 14), 0xFFFF00u);
  // Its brush belongs to the layer: no script finds it, and it goes with it.
  ObjectId hidden = Layer(1)->sourceId;
  EXPECT_NE(hidden.autoId, nullptr);
  ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
  BrushObject* b = nullptr;
  EXPECT_NE(GetBrushObject(L, hidden, &b, BRUSH_PENDING), ERR_NONE);

  struct Case {
    int32_t kind;
    ErrorCode code;
  } kinds[] = {{OBJECT_BRUSH, ERR_SELECTBRUSH},
               {OUTPUT_MASK, ERR_SELECTMASK},
               {OUTPUT_ALPHA, ERR_SELECTALPHACHANNEL}};
  for (const Case& c : kinds) {
    d->outputKind = c.kind;
    EXPECT_EQ(CallWith("DumpLayers", {}), c.code);
    EXPECT_EQ(CallWith("RemoveLayers", {}), c.code);
    d->outputKind = OBJECT_DISPLAY;
  }
  d->layerscale = 1;
  EXPECT_EQ(CallWith("DisableLayers", {}), ERR_NODISLAYERS);
  d->layerscale = 0;
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
  EXPECT_EQ(CallWith("LayerExists", {"x"}), ERR_NOLAYERS);
  EXPECT_EQ(CallWith("DoMove", {1}), ERR_NOLAYERS);
  ASSERT_EQ(CallWith("EnableLayers", {}), ERR_NONE);
  EXPECT_EQ(CallWith("ClearMove", {7}), ERR_FINDMOVE);
}

TEST_F(LayerTest, DumpLayersPrintsTheStack) {
  Show(1, 10, 12, 0xFF0000, 3, 4);
  ASSERT_EQ(CallWith("SetLayerName", {1, "one"}), ERR_NONE);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(CallWith("DumpLayers", {}), ERR_NONE);
  std::string out = ::testing::internal::GetCapturedStdout();
  char expected[512];
  std::snprintf(expected, sizeof expected,
                "LAYER SYSTEM INFO - BGPIC: %d (%p)\nsizeof(qmLayer): %d\nLayers: 1\n"
                "(1) BRUSH #1 (%p / \"one\") - X: 3 (3) - Y: 4 (4) - Width: 10 (10) - Height: "
                "12 (12) - Visible: 1\n",
                Pic()->head.number, Pic()->head.autoId, static_cast<int>(sizeof(qmLayer)),
                static_cast<void*>(nullptr));
  EXPECT_EQ(out, expected);
}

TEST_F(LayerTest, DoMoveReplaysLayerSteps) {
  Show(1, 10, 10, 0xFF0000, 10, 10);
  MoveList* list = nullptr;
  ASSERT_EQ(NewMoveList(ObjectId{nullptr, 3}, 0, &list), ERR_NONE);
  MoveEntry step{};
  step.type = 22;
  step.id = ObjectId{nullptr, 1};
  step.x = 100020;
  step.y = KEEPPOSITION;
  ASSERT_EQ(AddMoveEntry(list, step), ERR_NONE);
  ASSERT_EQ(CallWith("DoMove", {3}), ERR_NONE);
  EXPECT_EQ(Layer(1)->display->x, 30);
  EXPECT_EQ(At(15, 15), BACKGROUND);
  EXPECT_EQ(At(35, 15), 0xFF0000u);
  ASSERT_EQ(CallWith("ClearMove", {3}), ERR_NONE);
  EXPECT_EQ(CallWith("ClearMove", {3}), ERR_FINDMOVE);
}

// A brush that a layer shows keeps showing there as it was when a script
// changes the brush; the brush itself changes.
TEST_F(LayerTest, ChangingAShownBrushLeavesItsLayerAlone) {
  Show(1, 20, 20, 0xFF0000, 10, 10);
  ASSERT_EQ(CallWith("InvertBrush", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("ReadBrushPixel", {1, 5, 5}), ERR_NONE);
  EXPECT_EQ(results.at(0), std::to_string(static_cast<double>(0x00FFFF)));
  RefreshLayerRect(L, 0, 0, W, H, 0);
  EXPECT_EQ(At(15, 15), 0xFF0000u);
  // Shown again, the changed brush is a layer of its own.
  ASSERT_EQ(CallWith("DisplayBrush", {1, 50, 10}), ERR_NONE);
  EXPECT_EQ(At(55, 15), 0x00FFFFu);
  RefreshLayerRect(L, 0, 0, W, H, 0);
  EXPECT_EQ(At(15, 15), 0xFF0000u);
  EXPECT_EQ(At(55, 15), 0x00FFFFu);
  // Freed while shown, it stays on both layers until they go.
  ASSERT_EQ(CallWith("FreeBrush", {1}), ERR_NONE);
  RefreshLayerRect(L, 0, 0, W, H, 0);
  EXPECT_EQ(At(15, 15), 0xFF0000u);
  EXPECT_EQ(At(55, 15), 0x00FFFFu);
  ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
  EXPECT_EQ(At(55, 15), BACKGROUND);
}

// Layers cannot be switched while an asynchronous drawing runs on the
// display, and a layer that one uses cannot be removed.
TEST_F(LayerTest, AsyncDrawingsHoldTheLayersSwitchAndTheirLayers) {
  Show(1, 10, 10, 0xFF0000, 0, 0);
  AsyncDraw* draw = nullptr;
  auto frame = [](void*, int32_t*) -> ErrorCode { return ERR_NONE; };
  auto release = [](void*, int32_t) {};
  ASSERT_EQ(AddAsyncDraw(ADF_MOVEOBJECT, frame, nullptr, nullptr, release, nullptr, nullptr, &draw),
            ERR_NONE);
  EXPECT_EQ(CallWith("DisableLayers", {}), ERR_LAYERSWITCH);
  EXPECT_EQ(d->layers, 1);
  RemoveAsyncDraw(L, draw, 0);
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
  ASSERT_EQ(AddAsyncDraw(ADF_MOVEOBJECT, frame, nullptr, nullptr, release, nullptr, nullptr, &draw),
            ERR_NONE);
  EXPECT_EQ(CallWith("EnableLayers", {}), ERR_LAYERSWITCH);
  EXPECT_EQ(d->layers, 0);
  RemoveAsyncDraw(L, draw, 0);
  ASSERT_EQ(CallWith("EnableLayers", {}), ERR_NONE);

  Layer(1)->asyncUse = 1;
  EXPECT_EQ(CallWith("RemoveLayer", {1}), ERR_REMADLAYER);
  EXPECT_EQ(CallWith("Undo", {LAYER_BRUSH, 1}), ERR_REMADLAYER);
  EXPECT_EQ(CallWith("RemoveLayers", {}), ERR_REMADLAYER);
  EXPECT_EQ(Count(), 1);
  Layer(1)->asyncUse = 0;
}

// A move whose area really starts at x = 10000 is refreshed like any other.
TEST_F(LayerTest, DoMoveRefreshesAnAreaAtTenThousand) {
  constexpr int32_t WIDE = 10040;
  ASSERT_EQ(CallWith("CreateDisplay", {2, Value::Table({{"color", static_cast<double>(BACKGROUND)},
                                                        {"width", WIDE},
                                                        {"height", 8},
                                                        {"layers", true}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("OpenDisplay", {2}), ERR_NONE);
  DisplayRecord* wide = nullptr;
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 2}, &wide), ERR_NONE);
  ASSERT_EQ(GetCurrentDisplay(), wide);
  void* window = reinterpret_cast<void*>(wide->windowHandle);
  auto at = [&](int32_t x) { return static_cast<uint32_t>(pixel(window, x, 2)) & 0xFFFFFF; };
  Show(1, 10, 8, 0xFF0000, 10000, 0);
  ASSERT_EQ(at(10002), 0xFF0000u);
  MoveList* list = nullptr;
  ASSERT_EQ(NewMoveList(ObjectId{nullptr, 4}, 0, &list), ERR_NONE);
  MoveEntry step{};
  step.type = 22;
  step.id = ObjectId{nullptr, 1};
  step.x = 100005;
  step.y = KEEPPOSITION;
  ASSERT_EQ(AddMoveEntry(list, step), ERR_NONE);
  ASSERT_EQ(CallWith("DoMove", {4}), ERR_NONE);
  EXPECT_EQ(at(10002), BACKGROUND);
  EXPECT_EQ(at(10012), 0xFF0000u);
  ASSERT_EQ(CallWith("ClearMove", {4}), ERR_NONE);
}

// GetAttribute of a layer: the size asked for beside the drawn size, the
// object shown, and the kind errors of attributes that other kinds answer.
TEST_F(LayerTest, AttributesOfABrushLayer) {
  Show(1, 10, 10, 0xFF0000, 0, 0);
  const Value rotate = Value::Table({{"rotate", 90}});
  Show(2, 40, 20, 0x00FF00, 50, 50, &rotate);
  struct Case {
    int32_t attribute;
    ErrorCode error;
    std::string value;
  } cases[] = {
      {ATTRWIDTH, ERR_NONE, "40.000000"},    {ATTRHEIGHT, ERR_NONE, "20.000000"},
      {ATTRRAWWIDTH, ERR_NONE, "20.000000"}, {ATTRRAWHEIGHT, ERR_NONE, "40.000000"},
      {ATTRLAYERS, ERR_NONE, "2.000000"},    {ATTRID, ERR_NONE, "2.000000"},
      {ATTRZPOS, ERR_NONE, "2.000000"},      {ATTRNUMFRAMES, ERR_NOANMLAYER, ""},
      {ATTRFRAMEDELAY, ERR_NOANMLAYER, ""},  {ATTRTEXT, ERR_NOTXTLAYER, ""},
      {ATTRFONTNAME, ERR_NOTXTLAYER, ""},    {ATTRDURATION, ERR_BADLAYERTYPE, ""},
      {ATTRPAUSED, ERR_BADLAYERTYPE, ""},    {ATTRMAXWIDTH, ERR_UNKNOWNATTR, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attribute);
    ASSERT_EQ(CallWith("GetAttribute", {OBJTYPE_LAYER, 2, c.attribute}), c.error);
    if (c.error == ERR_NONE) {
      EXPECT_EQ(results, std::vector<std::string>{c.value});
    }
  }
  EXPECT_EQ(CallWith("GetAttribute", {OBJTYPE_LAYER, 3, ATTRWIDTH}), ERR_LAYERRANGE);
}

// Layers that paint their whole rectangle opaquely hide what lies below
// them, so the composer leaves it out: the picture must still be exactly
// the stack painted from the bottom up, however the opaque rectangles cut
// the area into parts, and a translucent layer must not hide anything.
TEST_F(LayerTest, OpaqueLayersHideOnlyWhatTheyCover) {
  std::vector<uint32_t> model(static_cast<size_t>(W) * H, BACKGROUND);
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  for (int32_t id = 1; id <= 30; ++id) {
    auto w = static_cast<int32_t>(4 + next(70)), h = static_cast<int32_t>(4 + next(60));
    int32_t x = static_cast<int32_t>(next(W + 20)) - 20,
            y = static_cast<int32_t>(next(H + 20)) - 20;
    uint32_t colour = 0x010203u * static_cast<uint32_t>(id) ^ 0x804020u;
    Show(id, w, h, colour, x, y);
    if (id % 7 == 0) {
      Layer(id)->hidden = 1;
      continue;
    }
    for (int32_t j = std::max(y, 0); j < std::min(y + h, H); ++j)
      for (int32_t i = std::max(x, 0); i < std::min(x + w, W); ++i)
        model[static_cast<size_t>(j) * W + i] = colour;
  }
  RefreshLayerRect(L, 0, 0, W, H, 0);
  ASSERT_EQ(Frame(), model);
  // Translucent layers between opaque ones: the whole area composed at
  // once matches it composed a pixel at a time, where no part is split.
  ASSERT_EQ(CallWith("SetLayerTransparency", {3, 128}), ERR_NONE);
  ASSERT_EQ(CallWith("SetLayerTransparency", {25, 100}), ERR_NONE);
  RefreshLayerRect(L, 0, 0, W, H, 0);
  std::vector<uint32_t> whole = Frame();
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x) RefreshLayerRect(L, x, y, 1, 1, 0);
  EXPECT_EQ(Frame(), whole);
  EXPECT_NE(whole, model);
}

}  // namespace
