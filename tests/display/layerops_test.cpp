// The per-layer commands on a display of the test display adapter:
// stacking, border and shadow, relative moves, move lists, the video
// commands' refusals, and the collision test of boxes, brushes, layers and
// sprites.
#include "display/layer_private.h"
#include "tests/gfx/display_fixture.h"

namespace {

constexpr uint32_t RED = 0xFF0000, GREEN = 0x00FF00, BLUE = 0x0000FF;

class LayerOpsTest : public gfxtest::DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    for (ErrorCode (*open)(VmState*) : {OpenLayersLibrary, OpenSpriteLibrary, OpenDrawLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    counts = plugintest::ModuleSymbol<void (*)(int32_t*)>(root + "/Plugins/testdisplay.qmp",
                                                          "TestDisplayCounts");
    ASSERT_NE(counts, nullptr);
  }
  void TearDown() override {
    VmSetAppletVersion(8, 0);
    FreeDrawTables(L);
    FreeAllSprites(L);
    DisplayTest::TearDown();
    FreeLayerSystem(L);
  }
  int32_t Blits() {
    int32_t c[8] = {};
    counts(c);
    return c[2];
  }
  BrushObject* Brush(int id, int width, int height, uint32_t colour) {
    EXPECT_EQ(CallWith("CreateBrush", {id, width, height, static_cast<double>(colour)}), ERR_NONE);
    BrushObject* b = nullptr;
    EXPECT_EQ(GetBrushObject(L, ObjectId{nullptr, id}, &b, 0), ERR_NONE);
    return b;
  }
  // Three overlapping 20 x 20 layers: red, green, blue from the bottom.
  void ThreeLayers() {
    OpenDisplay(160, 120, true);
    int i = 0;
    for (uint32_t colour : {RED, GREEN, BLUE}) {
      Brush(1 + i, 20, 20, colour);
      ASSERT_EQ(CallWith("DisplayBrush", {1 + i, 10 + 5 * i, 10}), ERR_NONE);
      ++i;
    }
  }
  bool Collides(std::vector<Value> args) {
    EXPECT_EQ(CallWith("Collision", args), ERR_NONE);
    return !results.empty() && results[0] != 0;
  }

  void (*counts)(int32_t*) = nullptr;
};

TEST_F(LayerOpsTest, StackingCommands) {
  ThreeLayers();
  EXPECT_EQ(At(27, 15), BLUE);
  const int32_t before = Blits();
  ASSERT_EQ(CallWith("LayerToBack", {1}), ERR_NONE);  // already at the back
  EXPECT_EQ(Blits(), before);
  EXPECT_EQ(CallWith("SetLayerZPos", {3, 3}), ERR_WRONGUSAGE);
  EXPECT_EQ(CallWith("SetLayerZPos", {3, -1}), ERR_WRONGUSAGE);
  EXPECT_EQ(CallWith("SwapLayers", {2, 2}), ERR_WRONGUSAGE);
  EXPECT_EQ(CallWith("SwapLayers", {2, 4}), ERR_LAYERRANGE);
  // Without swap the layer moves to the front and the others move down.
  ASSERT_EQ(CallWith("LayerToFront", {1, 0}), ERR_NONE);
  EXPECT_EQ(At(27, 15), RED);
  EXPECT_EQ(At(32, 15), BLUE);
  ASSERT_EQ(CallWith("SetLayerZPos", {3, 1}), ERR_NONE);  // red back to the bottom
  EXPECT_EQ(At(27, 15), BLUE);
  ASSERT_EQ(CallWith("SwapLayers", {1, 3}), ERR_NONE);
  EXPECT_EQ(At(27, 15), RED);
  ASSERT_EQ(CallWith("TranslateLayer", {3, 50, 40}), ERR_NONE);
  EXPECT_EQ(At(12, 12), gfxtest::BACKGROUND);
  EXPECT_EQ(At(62, 52), RED);
  EXPECT_EQ(GetCurrentLayerAt(3)->base->requestedX, 60);
}

TEST_F(LayerOpsTest, SelectedLayerTakesTheDrawingAndShowsItAtTheEnd) {
  ThreeLayers();
  ASSERT_EQ(CallWith("SetFillStyle", {FILLCOLOR}), ERR_NONE);
  ASSERT_EQ(CallWith("SelectLayer", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("Box", {0, 0, 4, 4, static_cast<double>(0xFFFFFF)}), ERR_NONE);
  EXPECT_EQ(At(11, 11), RED);  // not shown before the selection ends
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  EXPECT_EQ(At(11, 11), 0xFFFFFFu);
  EXPECT_EQ(At(14, 11), RED);
  // The brush the layer showed is unchanged.
  BrushObject* b = nullptr;
  ASSERT_EQ(GetBrushObject(L, ObjectId{nullptr, 1}, &b, 0), ERR_NONE);
  EXPECT_EQ(ReadBitmapPixel(b->bitmap, 1, 1, 0) & 0xFFFFFF, RED);
  EXPECT_EQ(CallWith("SelectLayer", {4}), ERR_LAYERRANGE);
}

TEST_F(LayerOpsTest, BorderAndShadowChecksAndRefreshes) {
  ThreeLayers();
  int32_t before = Blits();
  ASSERT_EQ(CallWith("SetLayerBorder", {1, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("SetLayerShadow", {1, 0}), ERR_NONE);
  EXPECT_EQ(Blits(), before);
  for (std::vector<Value> args :
       std::vector<std::vector<Value>>{{"SetLayerBorder", 1, 1, 0, 0},
                                       {"SetLayerShadow", 1, 1, 0, 5.0, -1},
                                       {"SetLayerShadow", 1, 1, 0, 0.5},
                                       {"SetLayerShadow", 1, 1, 0, 5.0, 4, 3, 0.0}}) {
    const std::string name = args[0].text;
    args.erase(args.begin());
    EXPECT_EQ(CallWith(name.c_str(), args), ERR_WRONGUSAGE) << name << " " << args.size();
  }
  ASSERT_EQ(CallWith("SetLayerBorder", {3, 1, static_cast<double>(0xFFFFFF), 3}), ERR_NONE);
  EXPECT_EQ(At(41, 15), 0xFFFFFFu);  // the border right of the blue layer
  ASSERT_EQ(CallWith("SetLayerBorder", {3, 0}), ERR_NONE);
  EXPECT_EQ(At(41, 15), gfxtest::BACKGROUND);
}

TEST_F(LayerOpsTest, MoveListsHoldAtMost512Entries) {
  ThreeLayers();
  ASSERT_EQ(CallWith("AddMove", {1, 22, 2, 5, 6}), ERR_NONE);
  for (int i = 1; i < 512; ++i) ASSERT_EQ(CallWith("AddMove", {1, 22, 1, i, 0}), ERR_NONE);
  EXPECT_EQ(CallWith("AddMove", {1, 22, 1, 0, 0}), ERR_INTERNAL);
  MoveList* list = FindMoveList(ObjectId{nullptr, 1});
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->count, 512);
  EXPECT_EQ(list->entries[0].id.number, 2);
  EXPECT_EQ(list->entries[0].x, 5);
  EXPECT_EQ(list->entries[0].y, 6);
  EXPECT_EQ(CallWith("AddMove", {2, 22, 9}), ERR_NONE);  // the position is checked by DoMove
}

TEST_F(LayerOpsTest, VideoCommandsNeedVideoLayersAndNewApplets) {
  ThreeLayers();
  for (const char* name : {"PlayLayer", "StopLayer", "PauseLayer", "ResumeLayer"})
    EXPECT_EQ(CallWith(name, {1}), ERR_BADLAYERTYPE) << name;
  EXPECT_EQ(CallWith("SeekLayer", {1, 0}), ERR_BADLAYERTYPE);
  EXPECT_EQ(CallWith("SetLayerVolume", {1, 32}), ERR_BADLAYERTYPE);
  VmSetAppletVersion(5, 0);
  EXPECT_EQ(CallWith("PlayLayer", {1}), ERR_OLDAPPLET);
  VmSetAppletVersion(8, 0);
  EXPECT_EQ(CallWith("NextFrame", {1}), ERR_NOANMLAYER);
}

TEST_F(LayerOpsTest, CollisionOfBoxesAndBrushes) {
  OpenDisplay(160, 120);
  EXPECT_FALSE(Collides({14, 0, 0, 10, 10, 10, 0, 10, 10}));  // touching edges
  EXPECT_TRUE(Collides({14, 0, 0, 10, 10, 9, 9, 10, 10}));
  Brush(1, 10, 10, RED);
  Brush(2, 10, 10, GREEN);
  EXPECT_TRUE(Collides({3, 1, 0, 0, 2, 9, 9}));
  EXPECT_FALSE(Collides({3, 1, 0, 0, 2, 10, 0}));
  EXPECT_TRUE(Collides({46, 1, 0, 0, 9, 9, 5, 5}));
  // Only the top-left pixel of brush 3 is solid.
  BrushObject* b = Brush(3, 4, 4, BLUE);
  b->mask = AllocBitMask(b->bitmap, 4, 4, 1, nullptr, 0);
  MaskRectOp(b->mask, 0, 0, 1, 1, 0);
  EXPECT_FALSE(Collides({3, 3, 0, 0, 2, 2, 2}));
  EXPECT_TRUE(Collides({3, 3, 0, 0, 2, -9, -9}));
  // A side with both a mask and an alpha channel is solid only where both
  // say so: mask at x 0 and 1, alpha at x 1 and 2.
  BrushObject* both = Brush(4, 4, 1, BLUE);
  both->mask = AllocBitMask(both->bitmap, 4, 1, 1, nullptr, 0);
  MaskRectOp(both->mask, 0, 0, 2, 1, 0);
  both->alpha = AllocAlphaChannel(4, 1, 1, nullptr, 0);
  FillAlphaRect(both->alpha, 1, 0, 2, 1, 200);
  Brush(5, 1, 1, RED);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(Collides({3, 4, 0, 0, 5, x, 0}), x == 1) << x;
  for (int type : {2, 59, 15}) EXPECT_EQ(CallWith("Collision", {type, 0, 0}), ERR_WRONGUSAGE);
}

TEST_F(LayerOpsTest, CollisionOfLayersOnAScaledDisplay) {
  ThreeLayers();
  EXPECT_TRUE(Collides({22, 1, 2}));
  ASSERT_EQ(CallWith("TranslateLayer", {3, 100, 0}), ERR_NONE);
  EXPECT_FALSE(Collides({22, 1, 3}));
  // Red lies at 10..29; the box is in window units of a display scaled by 2.
  EXPECT_FALSE(Collides({47, 1, 3, 3, 3, 3}));
  d->scaleX = d->scaleY = 2.0;
  EXPECT_TRUE(Collides({47, 1, 3, 3, 3, 3}));
  d->scaleX = d->scaleY = 1.0;
  EXPECT_EQ(CallWith("Collision", {22, 1, 4}), ERR_LAYERRANGE);
}

TEST_F(LayerOpsTest, CollisionOfSpritesUsesTheirCurrentFrames) {
  OpenDisplay(160, 120);
  // Frame 1 solid everywhere, frame 2 only at its top-left pixel.
  BrushObject* strip = Brush(1, 8, 4, RED);
  strip->mask = AllocBitMask(strip->bitmap, 8, 4, 1, nullptr, 0);
  MaskRectOp(strip->mask, 0, 0, 4, 4, 0);
  MaskRectOp(strip->mask, 4, 0, 1, 1, 0);
  ASSERT_EQ(CallWith("CreateSprite", {1, OBJTYPE_BRUSH, 1, 4, 4, 2, 2}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateSprite", {2, OBJTYPE_BRUSH, 1, 4, 4, 1, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplaySprite", {1, 0, 0, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplaySprite", {2, 2, 2}), ERR_NONE);
  EXPECT_TRUE(Collides({32, 1, 2}));
  ASSERT_EQ(CallWith("DisplaySprite", {1, 0, 0, 2}), ERR_NONE);
  EXPECT_FALSE(Collides({32, 1, 2}));
  EXPECT_TRUE(Collides({48, 1, 0, 0, 1, 1}));
  EXPECT_FALSE(Collides({48, 1, 1, 1, 3, 3}));
  Brush(3, 2, 2, GREEN);
  EXPECT_TRUE(Collides({58, 2, 3, 5, 5}));
  EXPECT_EQ(CallWith("Collision", {32, 1, 3}), ERR_SPRITEONSCREEN);
}

}  // namespace
