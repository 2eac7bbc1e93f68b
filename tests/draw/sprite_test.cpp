// Sprites on a display of the test display adapter: frames from brush
// strips and linked sprites, showing, moving and removing them over the
// background without disturbing it, z order, flip and scale, freeing, and
// the commands' refusals; read back from the adapter's framebuffer and its
// recorded window copies.
#include "tests/gfx/display_fixture.h"
#include "tests/media/image_support.h"

namespace {

constexpr uint32_t RED = 0xFF0000, GREEN = 0x00FF00, BLUE = 0x0000FF, WHITE = 0xFFFFFF;

class SpriteTest : public gfxtest::DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    for (ErrorCode (*open)(VmState*) : {OpenLayersLibrary, OpenSpriteLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    counts = plugintest::ModuleSymbol<void (*)(int32_t*)>(root + "/Plugins/testdisplay.qmp",
                                                          "TestDisplayCounts");
    ASSERT_NE(counts, nullptr);
    OpenDisplay(160, 120);
  }
  void TearDown() override {
    FreeAllSprites(L);
    DisplayTest::TearDown();
    FreeLayerSystem(L);
  }

  // Window copies made so far.
  int32_t Blits() {
    int32_t c[8] = {};
    counts(c);
    return c[2];
  }
  // A brush of 10 x 10 frames side by side in the colours given.
  void Strip(int id, std::vector<uint32_t> colours) {
    const int n = static_cast<int>(colours.size());
    ASSERT_EQ(CallWith("CreateBrush", {id, 10 * n, 10, 0}), ERR_NONE);
    BrushObject* b = nullptr;
    ASSERT_EQ(GetBrushObject(L, ObjectId{nullptr, id}, &b, 0), ERR_NONE);
    for (int i = 0; i < n; ++i) FillBitmapRect(b->bitmap, 10 * i, 0, 10, 10, colours[i]);
  }
  void Sprite(int id, std::vector<uint32_t> colours) {
    Strip(100 + id, colours);
    const int n = static_cast<int>(colours.size());
    ASSERT_EQ(CallWith("CreateSprite", {id, OBJTYPE_BRUSH, 100 + id, 10, 10, n, n, 0, 0}),
              ERR_NONE);
  }

  void (*counts)(int32_t*) = nullptr;
};

TEST_F(SpriteTest, FramesAdvanceAndMovesRedrawTheUnionOrBothRectangles) {
  Sprite(1, {RED, GREEN, BLUE});
  ASSERT_EQ(CallWith("DisplaySprite", {1, 20, 20, 1}), ERR_NONE);
  EXPECT_EQ(At(25, 25), RED);
  for (uint32_t expected : {GREEN, BLUE, RED, GREEN}) {
    ASSERT_EQ(CallWith("DisplaySprite", {1, 20, 20}), ERR_NONE);
    EXPECT_EQ(At(25, 25), expected);
  }
  int32_t before = Blits();
  ASSERT_EQ(CallWith("DisplaySprite", {1, 21, 20, 2}), ERR_NONE);
  EXPECT_EQ(Blits() - before, 1);
  EXPECT_EQ(At(20, 25), gfxtest::BACKGROUND);
  before = Blits();
  ASSERT_EQ(CallWith("DisplaySprite", {1, 100, 80, 2}), ERR_NONE);
  EXPECT_EQ(Blits() - before, 2);
  EXPECT_EQ(At(25, 25), gfxtest::BACKGROUND);
  EXPECT_EQ(At(105, 85), GREEN);
  // The sprite never became part of the picture.
  EXPECT_EQ(ReadBitmapPixel(d->windowBitmap, 105, 85, 0) & 0xFFFFFF, gfxtest::BACKGROUND);
  EXPECT_EQ(CallWith("DisplaySprite", {1, 0, 0, 4}), ERR_ANIMFRAME);
  ASSERT_EQ(CallWith("RemoveSprite", {1}), ERR_NONE);
  EXPECT_EQ(At(105, 85), gfxtest::BACKGROUND);
  EXPECT_EQ(CallWith("RemoveSprite", {1}), ERR_SPRITEONSCREEN);
}

TEST_F(SpriteTest, DrawingUnderASpriteKeepsTheSpriteOnTop) {
  Sprite(1, {RED});
  ASSERT_EQ(CallWith("DisplaySprite", {1, 20, 20}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateBrush", {2, 30, 30, static_cast<double>(WHITE)}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {2, 10, 10}), ERR_NONE);
  EXPECT_EQ(At(25, 25), RED);
  EXPECT_EQ(At(12, 12), WHITE);
  ASSERT_EQ(CallWith("RemoveSprite", {1}), ERR_NONE);
  EXPECT_EQ(At(25, 25), WHITE);
}

// Blits straight into the window (no destination bitmap) go through their
// mask or alpha channel and keep the sprites on top, with layers off and
// on; the window bitmap keeps what it had.
TEST_F(SpriteTest, StraightWindowBlitsKeepSpritesOnTopAndHonourMaskAndAlpha) {
  Sprite(1, {RED});
  ASSERT_EQ(CallWith("DisplaySprite", {1, 20, 20}), ERR_NONE);
  OwnedBitmap white(AllocBitmap(30, 30, 0, nullptr));
  ASSERT_NE(white, nullptr);
  FillBitmapRect(white.get(), 0, 0, 30, 30, WHITE);
  // The left half solid, the right half clear.
  BitmapHandle* mask = AllocBitMask(white.get(), 30, 30, 1, nullptr, 0);
  BitmapHandle* alpha = AllocAlphaChannel(30, 30, 1, nullptr, 0);
  ASSERT_NE(mask, nullptr);
  ASSERT_NE(alpha, nullptr);
  MaskRectOp(mask, 0, 0, 30, 30, 1);
  MaskRectOp(mask, 0, 0, 15, 30, 0);
  FillAlphaRect(alpha, 0, 0, 30, 30, 0);
  FillAlphaRect(alpha, 0, 0, 15, 30, 255);
  struct Case {
    const char* name;
    BitmapHandle *mask, *alpha;
    bool layers;
  };
  for (const Case& c :
       {Case{"plain", nullptr, nullptr, false}, Case{"mask", mask, nullptr, false},
        Case{"alpha", nullptr, alpha, false}, Case{"mask, layers", mask, nullptr, true},
        Case{"alpha, layers", nullptr, alpha, true}}) {
    if (c.layers && !d->layers) {
      ASSERT_EQ(CallWith("RemoveSprites", {}), ERR_NONE);
      ASSERT_EQ(CallWith("EnableLayers", {}), ERR_NONE);
    }
    SafeBlt(L, white.get(), 0, 0, nullptr, 10, 10, 30, 30, 30, 30, 160, 120, 0, c.mask, c.alpha,
            nullptr);
    EXPECT_EQ(At(12, 12), WHITE) << c.name;
    EXPECT_EQ(At(35, 12), c.mask || c.alpha ? gfxtest::BACKGROUND : WHITE) << c.name;
    if (!c.layers) {
      EXPECT_EQ(At(22, 22), RED) << c.name;
    }
    EXPECT_EQ(ReadBitmapPixel(d->windowBitmap, 12, 12, 0) & 0xFFFFFF, gfxtest::BACKGROUND)
        << c.name;
    RedrawSpriteArea(L, d, 0, 0, 160, 120);
  }
  FreeBitMask(mask);
  FreeAlphaChannel(alpha);
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
}

TEST_F(SpriteTest, RemoveSpritesCanKeepTheLastImages) {
  Sprite(1, {RED});
  Sprite(2, {GREEN});
  ASSERT_EQ(CallWith("DisplaySprite", {1, 0, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplaySprite", {2, 50, 0}), ERR_NONE);
  // The display and its picture count the sprites they show.
  ASSERT_EQ(CallWith("GetAttribute", {OBJTYPE_DISPLAY, 1, ATTRSPRITES}), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>{2});
  VmPushNumber(L, OBJTYPE_BGPIC);
  VmPushLightUserdata(L, d->bgpic->head.autoId);
  VmPushNumber(L, ATTRSPRITES);
  ASSERT_EQ(Call("GetAttribute", 3), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>{2});
  ASSERT_EQ(CallWith("RemoveSprites", {1}), ERR_NONE);
  EXPECT_EQ(CountSpriteInstances(d->bgpic), 0);
  ASSERT_EQ(CallWith("GetAttribute", {OBJTYPE_DISPLAY, 1, ATTRSPRITES}), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>{0});
  EXPECT_EQ(ReadBitmapPixel(d->windowBitmap, 5, 5, 0) & 0xFFFFFF, RED);
  EXPECT_EQ(At(55, 5), GREEN);
  ASSERT_EQ(CallWith("DisplaySprite", {1, 100, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("RemoveSprites", {}), ERR_NONE);
  EXPECT_EQ(At(105, 5), gfxtest::BACKGROUND);
}

TEST_F(SpriteTest, ZOrderDecidesWhatAnOverlapShows) {
  Sprite(1, {RED});
  Sprite(2, {GREEN});
  ASSERT_EQ(CallWith("DisplaySprite", {1, 0, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplaySprite", {2, 5, 5}), ERR_NONE);
  EXPECT_EQ(At(7, 7), GREEN);
  EXPECT_EQ(CallWith("SetSpriteZPos", {2, 0}), ERR_WRONGUSAGE);  // already in front
  EXPECT_EQ(CallWith("SetSpriteZPos", {1, 1}), ERR_WRONGUSAGE);  // already first
  EXPECT_EQ(CallWith("SetSpriteZPos", {1, -1}), ERR_WRONGUSAGE);
  ASSERT_EQ(CallWith("SetSpriteZPos", {1, 0}), ERR_NONE);
  EXPECT_EQ(At(7, 7), RED);
  // A new sprite goes before a video instance, which stays last.
  SpriteInstance* video = AddSpriteInstance(d->bgpic, 1);
  ASSERT_NE(video, nullptr);
  video->video = video;
  Sprite(3, {BLUE});
  ASSERT_EQ(CallWith("DisplaySprite", {3, 50, 50}), ERR_NONE);
  auto* s = static_cast<SpriteInstance*>(d->bgpic->sprites);
  while (s->next) s = s->next;
  EXPECT_EQ(s, video);
  ASSERT_EQ(CallWith("SetSpriteZPos", {2, 0}), ERR_NONE);
  for (s = static_cast<SpriteInstance*>(d->bgpic->sprites); s->next; s = s->next) {
  }
  EXPECT_EQ(s, video);
  EXPECT_EQ(CountSpriteInstances(d->bgpic), 3);
}

TEST_F(SpriteTest, FlipAndScaleChangeEveryFrameOffScreenOnly) {
  // One frame: left half red, right half blue, bottom row white.
  ASSERT_EQ(CallWith("CreateBrush", {10, 4, 2, static_cast<double>(RED)}), ERR_NONE);
  BrushObject* b = nullptr;
  ASSERT_EQ(GetBrushObject(L, ObjectId{nullptr, 10}, &b, 0), ERR_NONE);
  FillBitmapRect(b->bitmap, 2, 0, 2, 1, BLUE);
  FillBitmapRect(b->bitmap, 0, 1, 4, 1, WHITE);
  ASSERT_EQ(CallWith("CreateSprite", {1, OBJTYPE_BRUSH, 10}), ERR_NONE);
  SpriteObject* s = nullptr;
  ASSERT_EQ(GetSpriteObject(ObjectId{nullptr, 1}, &s, 0), ERR_NONE);
  auto px = [&](int x, int y) { return ReadBitmapPixel(s->bitmaps[0], x, y, 0) & 0xFFFFFF; };
  ASSERT_EQ(CallWith("FlipSprite", {1, 1}), ERR_NONE);
  EXPECT_EQ(px(0, 0), BLUE);
  EXPECT_EQ(px(3, 0), RED);
  ASSERT_EQ(CallWith("FlipSprite", {1, 0}), ERR_NONE);
  EXPECT_EQ(px(0, 0), WHITE);
  EXPECT_EQ(px(0, 1), BLUE);
  ASSERT_EQ(CallWith("ScaleSprite", {1, "200%", "200%"}), ERR_NONE);
  EXPECT_EQ(s->width, 8);
  EXPECT_EQ(s->height, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 8; ++x) {
      const uint32_t expected = y < 2 ? WHITE : (x < 4 ? BLUE : RED);
      EXPECT_EQ(px(x, y), expected) << x << "," << y;
    }
  ASSERT_EQ(CallWith("CreateSprite", {2, OBJTYPE_SPRITE, 1, 1}), ERR_NONE);
  EXPECT_EQ(CallWith("FlipSprite", {1, 1}), ERR_MODIFYSPRITE2);
  EXPECT_EQ(CallWith("ScaleSprite", {2, 4, 4}), ERR_MODIFYSPRITE2);
  ASSERT_EQ(CallWith("CreateSprite", {3, OBJTYPE_BRUSH, 10}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplaySprite", {3, 0, 0}), ERR_NONE);
  EXPECT_EQ(CallWith("FlipSprite", {3, 1}), ERR_MODIFYSPRITE);
  EXPECT_EQ(CallWith("ScaleSprite", {3, 4, 4}), ERR_MODIFYSPRITE);
}

// Every frame of a sprite is flipped and scaled on its own, as ImageMagick
// flops, flips and samples the frame cut from the strip.
TEST_F(SpriteTest, EveryFrameFlipsAndScalesAsImageMagickDoes) {
  const std::string strip = root + "/strip.png";
  imagetest::Shell(
      "convert -size 10x3 xc:'#336699' -fill red -draw 'point 0,0' -fill lime "
      "-draw 'point 3,1' -fill blue -draw 'point 5,0' -fill yellow -draw 'point 9,2' "
      "-fill white -draw 'point 7,1' -depth 8 '" +
      strip + "'");
  ASSERT_EQ(CallWith("LoadBrush", {20, strip.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateSprite", {1, OBJTYPE_BRUSH, 20, 5, 3, 2, 2, 0, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("FlipSprite", {1, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("FlipSprite", {1, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("ScaleSprite", {1, "200%", "200%"}), ERR_NONE);
  SpriteObject* s = nullptr;
  ASSERT_EQ(GetSpriteObject(ObjectId{nullptr, 1}, &s, 0), ERR_NONE);
  ASSERT_EQ(s->width, 10);
  ASSERT_EQ(s->height, 6);
  for (int frame = 0; frame < 2; ++frame) {
    SCOPED_TRACE(frame);
    std::vector<uint32_t> expected = imagetest::Words(
        imagetest::Shell("convert '" + strip + "' -crop 5x3+" + std::to_string(5 * frame) +
                         "+0 +repage -flop -flip -sample 200% -depth 8 rgb:-"),
        3);
    ASSERT_EQ(expected.size(), 60u);
    std::vector<uint32_t> got;
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 10; ++x)
        got.push_back(ReadBitmapPixel(s->bitmaps[frame], x, y, 0) & 0xFFFFFF);
    EXPECT_EQ(got, expected);
  }
}

TEST_F(SpriteTest, LinkedSpritesShowTheirSourcesAndGoWithThem) {
  Sprite(1, {RED, GREEN});
  Sprite(2, {BLUE});
  ASSERT_EQ(CallWith("CreateSprite", {3, OBJTYPE_SPRITE, 2, 1}), ERR_NONE);
  // A linked sprite as a source gives its links: still three frames.
  ASSERT_EQ(CallWith("CreateSprite", {4, OBJTYPE_SPRITE, 3}), ERR_NONE);
  for (int frame = 1; frame <= 3; ++frame) {
    ASSERT_EQ(CallWith("DisplaySprite", {4, 0, 0, frame}), ERR_NONE);
    EXPECT_EQ(At(5, 5), (std::vector<uint32_t>{BLUE, RED, GREEN}[frame - 1]));
  }
  // The target is not freed before it is read as a source.
  EXPECT_EQ(CallWith("CreateSprite", {3, OBJTYPE_SPRITE, 2, 3}), ERR_WRONGUSAGE);
  EXPECT_EQ(CallWith("CopySprite", {1, 1}), ERR_WRONGUSAGE);
  ASSERT_EQ(CallWith("CopySprite", {1, 5}), ERR_NONE);
  ASSERT_EQ(CallWith("FreeSprite", {2}), ERR_NONE);
  EXPECT_EQ(At(5, 5), gfxtest::BACKGROUND);  // sprite 4 went off the screen with it
  for (int id : {2, 3, 4}) EXPECT_EQ(CallWith("FreeSprite", {id}), ERR_FINDSPRITE) << id;
  EXPECT_EQ(CallWith("DisplaySprite", {5, 0, 0, 2}), ERR_NONE);
  EXPECT_EQ(At(5, 5), GREEN);
}

TEST_F(SpriteTest, BadStripsAndOutputTargetsAreRefused) {
  Strip(10, {RED, GREEN});
  for (std::vector<Value> layout :
       std::vector<std::vector<Value>>{{10, 10, 3, 3, 0, 0},  // three frames in a strip of two
                                       {10, 10, 2, 2, 1, 0},  // shifted past the right edge
                                       {10, 11, 1, 1, 0, 0},  // taller than the brush
                                       {0, 10, 1, 1, 0, 0}}) {
    std::vector<Value> args{1, OBJTYPE_BRUSH, 10};
    args.insert(args.end(), layout.begin(), layout.end());
    EXPECT_EQ(CallWith("CreateSprite", args), ERR_BRUSHSIZE);
  }
  EXPECT_EQ(CallWith("CreateSprite", {1, 2, 10}), ERR_WRONGUSAGE);
  ASSERT_EQ(CallWith("CreateSprite", {1, OBJTYPE_BRUSH, 10, 10, 10, 2, 2}), ERR_NONE);
  struct Case {
    const char* select;
    std::vector<Value> args;
    const char* end;
    ErrorCode expected;
  };
  for (const Case& c :
       std::vector<Case>{{"SelectBrush", {10}, "EndSelect", ERR_SELECTBRUSH},
                         {"SelectMask", {10}, "EndSelect", ERR_SELECTMASK},
                         {"SelectAlphaChannel", {10}, "EndSelect", ERR_SELECTALPHACHANNEL},
                         {"BeginDoubleBuffer", {}, "EndDoubleBuffer", ERR_ENDDOUBLEBUFFER},
                         {"EnableLayers", {}, "DisableLayers", ERR_LAYERSOFF}}) {
    ASSERT_EQ(CallWith(c.select, c.args), ERR_NONE) << c.select;
    EXPECT_EQ(CallWith("DisplaySprite", {1, 0, 0}), c.expected) << c.select;
    EXPECT_EQ(CallWith("RemoveSprites", {}), c.expected) << c.select;
    ASSERT_EQ(CallWith(c.end, {}), ERR_NONE) << c.end;
  }
  // A picture selected in layers mode is refused before the layers are.
  ASSERT_EQ(CallWith("EnableLayers", {}), ERR_NONE);
  VmPushNil(L);
  ASSERT_EQ(Call("SelectBGPic", 1), ERR_NONE);
  EXPECT_EQ(CallWith("DisplaySprite", {1, 0, 0}), ERR_SELECTBG);
  EXPECT_EQ(CallWith("RemoveSprites", {}), ERR_SELECTBG);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
  // A display that shows sprites cannot turn layers on.
  ASSERT_EQ(CallWith("DisplaySprite", {1, 0, 0}), ERR_NONE);
  EXPECT_EQ(CallWith("EnableLayers", {}), ERR_NOSPRITES);
  EXPECT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_NOSPRITES);
}

}  // namespace
