// Commands of the graphics library on a display of the test display
// adapter: colour arithmetic, refresh brackets, pointers handed to the
// adapter, snapshots, and the image savers as the brush library's SaveBrush
// uses them.
#include <algorithm>
#include <filesystem>
#include <tuple>

#include "tests/gfx/display_fixture.h"
#include "tests/media/image_support.h"

namespace {

using imagetest::Shell;
using imagetest::Words;

class GraphicsCommandTest : public gfxtest::DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    InitMediaContext();
  }
};

TEST_F(GraphicsCommandTest, SaveBrushKeepsTheMaskAsAlpha) {
  OpenDisplay(64, 48);
  // A 4x2 brush whose black pixels are keyed out of its mask.
  std::string source = root + "/keyed.png", saved = root + "/saved.png";
  Shell("convert -size 4x2 xc:red -fill black -draw 'point 1,0' -draw 'point 2,1' -depth 8 '" +
        source + "'");
  ASSERT_EQ(CallWith("LoadBrush", {1, source.c_str(), Value::Table({{"transparency", 0}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("SaveBrush", {1, saved.c_str(), 1, 1}), ERR_NONE);
  std::vector<uint32_t> rgba = Words(Shell("convert '" + saved + "' -depth 8 rgba:-"), 4);
  ASSERT_EQ(rgba.size(), 8u);
  for (size_t i = 0; i < rgba.size(); ++i) {
    bool clear = i == 1 || i == 6;
    EXPECT_EQ(rgba[i] >> 24, clear ? 0u : 255u) << i;
    if (!clear) {
      EXPECT_EQ(rgba[i] & 0xFFFFFF, 0xFF0000u) << i;
    }
  }
  EXPECT_EQ(CallWith("SaveBrush", {1, saved.c_str(), 5}), ERR_UNKNOWNIMGOUT);
}

TEST_F(GraphicsCommandTest, ColourArithmeticAndRectangles) {
  struct Case {
    const char* command;
    std::vector<Value> args;
    ErrorCode error;
    std::vector<double> results;
  };
  const Case cases[] = {
      {"RGB", {255, 0, 0}, ERR_NONE, {0xFF0000}},
      {"ARGB", {128, 0xFF}, ERR_NONE, {0x800000FFu}},
      {"Red", {0x123456}, ERR_NONE, {0x12}},
      {"Green", {0x123456}, ERR_NONE, {0x34}},
      {"Blue", {0x123456}, ERR_NONE, {0x56}},
      {"MixRGB", {0, 0xFFFFFF, 128}, ERR_NONE, {0x7F7F7F}},
      {"MixRGB", {0, 0xFFFFFF, "50%"}, ERR_NONE, {0x7E7E7E}},  // 127.5 truncated
      {"MixRGB", {0xFFFFFF, 0, 255}, ERR_NONE, {0}},           // the shift rounds down
      {"MixRGB", {0, 0xFFFFFF, 256}, ERR_WRONGUSAGE, {}},
      {"MixRGB", {0, 0xFFFFFF, -1}, ERR_WRONGUSAGE, {}},
      {"Intersection", {0, 0, 10, 10, 5, 5, 10, 10}, ERR_NONE, {5, 5, 5, 5}},
      {"Intersection", {0, 0, 10, 10, 20, 20, 5, 5}, ERR_NONE, {0, 0, 0, 0}},
      {"Intersection", {0, 0, 10, 10, 10, 0, 5, 5}, ERR_NONE, {0, 0, 0, 0}},  // edges touch
      {"Intersection", {2, 3, 50, 50, 0, 0, 10, 10}, ERR_NONE, {2, 3, 8, 7}},
      {"SetFPSLimit", {0}, ERR_NONE, {}},
      {"GetFPSLimit", {}, ERR_NONE, {60}},
      {"SetFPSLimit", {25}, ERR_NONE, {}},
      {"GetFPSLimit", {}, ERR_NONE, {25}},
      {"SetFPSLimit", {-3}, ERR_NONE, {}},
      {"GetFPSLimit", {}, ERR_NONE, {60}},
      {"DumpVideoTime", {}, ERR_NONE, {-1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_EQ(CallWith(c.command, c.args), c.error);
    if (c.error == ERR_NONE) {
      EXPECT_EQ(results, c.results);
    }
  }
}

// A brush selected with its mask or alpha channel (SELMODE_COMBO) has the
// plane follow what is drawn into its pixels.
TEST_F(GraphicsCommandTest, ComboSelectionKeepsTheTargetPlane) {
  OpenDisplay(64, 48);
  ASSERT_EQ(CallWith("CreateBrush", {3, 4, 4, 0xFF0000}), ERR_NONE);
  for (bool alpha : {false, true}) {
    SCOPED_TRACE(alpha ? "alpha" : "mask");
    ObjectId id{nullptr, 2};
    BrushObject* b = nullptr;
    ASSERT_EQ(CreateBrushObject(&id, 0, 20, 20, 0, !alpha, alpha, 0, 0, 0, 0, nullptr, &b),
              ERR_NONE);
    BitmapHandle* plane = alpha ? b->alpha : b->mask;
    ASSERT_NE(plane, nullptr);
    if (alpha)
      FillAlphaRect(plane, 0, 0, 20, 20, 0);
    else
      MaskRectOp(plane, 0, 0, 20, 20, 1);
    ASSERT_EQ(CallWith("SelectBrush", {2, 1}), ERR_NONE);
    ASSERT_EQ(CallWith("DisplayBrush", {3, 5, 5}), ERR_NONE);
    ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
    EXPECT_EQ(ReadBitmapPixel(b->bitmap, 6, 6, 0) & 0xFFFFFF, 0xFF0000u);
    auto at = [&](int32_t x, int32_t y) -> uint32_t {
      if (!alpha) return ReadBitmapPixel(plane, x, y, 1);
      BitmapLock lock{};
      if (!LockBitmap(plane, 1, &lock)) return 999;
      uint32_t v = lock.address[y * lock.rowLength + x];
      UnlockBitmap(&lock);
      return v;
    };
    const uint32_t on = alpha ? 255 : 1;
    for (auto [x, y, expected] : {std::tuple{5, 5, on}, {8, 8, on}, {4, 5, 0u}, {9, 8, 0u}})
      EXPECT_EQ(at(x, y), expected) << x << "," << y;
    ASSERT_EQ(CallWith("FreeBrush", {2}), ERR_NONE);
  }
}

TEST_F(GraphicsCommandTest, RealColourFollowsTheBitmapFormatOverride) {
  struct Case {
    int64_t format;
    double colour;
  };
  const Case cases[] = {{-1, 0xFFFFFF},
                        {PIXFMT_RGB565, 0xF8FCF8},
                        {PIXFMT_RGB555, 0xF8F8F8},
                        {PIXFMT_ARGB32, 0xFFFFFF}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    SetSoftBitmapFormatOverride(c.format);
    ErrorCode e = CallWith("GetRealColor", {0xFFFFFF});
    SetSoftBitmapFormatOverride(-1);
    ASSERT_EQ(e, ERR_NONE);
    EXPECT_EQ(results, std::vector<double>{c.colour});
  }
}

// New draw-option defaults hold for every later drawing; a table with an
// error leaves them as they were, and closing the drawing library restores
// the initial ones.
TEST_F(GraphicsCommandTest, DrawTagDefaultsHoldUntilReplacedWhole) {
  struct DrawLibrary {
    VmState* L;
    explicit DrawLibrary(VmState* state) : L(state) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      EXPECT_EQ(OpenDrawLibrary(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    ~DrawLibrary() { FreeDrawTables(L); }
  } draw(L);
  OpenDisplay(64, 48);
  ASSERT_EQ(CallWith("CreateBrush", {1, 10, 10, 0xFFFFFF}), ERR_NONE);
  // A brush drawn at 20, 20 anchored at its bottom-right corner.
  ASSERT_EQ(CallWith("SetDrawTagsDefault", {Value::Table({{"anchorx", 1}, {"anchory", 1}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {1, 20, 20}), ERR_NONE);
  EXPECT_EQ(At(15, 15), 0xFFFFFFu);
  EXPECT_EQ(At(25, 25), gfxtest::BACKGROUND);
  EXPECT_EQ(CallWith("SetDrawTagsDefault", {Value::Table({{"anchorx", 0}, {"anchory", 2}})}),
            ERR_WRONGUSAGE);
  EXPECT_EQ(CallWith("SetDrawTagsDefault", {5}), ERR_TABEXPECTED);
  ASSERT_EQ(CallWith("DisplayBrush", {1, 40, 40}), ERR_NONE);
  EXPECT_EQ(At(35, 35), 0xFFFFFFu);
  EXPECT_EQ(At(45, 45), gfxtest::BACKGROUND);
  // A table of the object's own geometry changes no default.
  ASSERT_EQ(CallWith("SetDrawTagsDefault", {Value::Table({{"scalex", 3}, {"rotate", 45}})}),
            ERR_NONE);
  DisplayTransform t;
  CopyDefaultTransform(&t);
  EXPECT_EQ(t.scaleX, 1.0);
  EXPECT_EQ(t.rotate, 0.0);
  EXPECT_EQ(t.hasMatrix, 0);
  EXPECT_EQ(t.anchorX, 1.0);
  FreeDrawTables(L);
  CopyDefaultTransform(&t);
  EXPECT_EQ(t.anchorX, 0.0);
}

class PictureLoaderTest : public GraphicsCommandTest {
 protected:
  void InstallMore() override { Install("testimg"); }
};

// IsPicture asks the image-loader plug-ins too, as the loader list admits.
TEST_F(PictureLoaderTest, IsPictureAsksTheLoaderPlugins) {
  // A 3x2 picture of the plug-in's format with alpha, and a vector one.
  const std::string pixels = root + "/a.qmti", vector = root + "/v.qmtv";
  std::string bytes = std::string("QMTI") + '\0' + '\3' + '\0' + '\2' + '\1';
  bytes += std::string(3 * 2 * 4, '\x80');
  std::string vectorBytes = std::string("QMTV") + '\0' + '\5' + '\0' + '\7';
  for (auto [file, content] : {std::pair{pixels, bytes}, std::pair{vector, vectorBytes}}) {
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
  }
  struct Case {
    std::string file;
    const char* loader;
    bool ok;
    int width, height;
    bool alpha, isVector;
  };
  for (const Case& c : {Case{pixels, nullptr, true, 3, 2, true, false},
                        Case{vector, nullptr, true, 5, 7, false, true},
                        Case{pixels, "testimg", true, 3, 2, true, false},
                        Case{pixels, "inbuilt", false, 0, 0, false, false}}) {
    SCOPED_TRACE(c.file + " " + (c.loader ? c.loader : "-"));
    VmPushString(L, c.file.c_str());
    if (c.loader) PushValue(L, Value::Table({{"loader", c.loader}}));
    // The table's fields as results, in a fixed order.
    results.clear();
    ASSERT_EQ(
        testcall::CallCollecting(L, "IsPicture", c.loader ? 2 : 1,
                                 [](VmState* L, int i) {
                                   if (VmType(L, i) != VM_TYPE_TABLE) {
                                     Collect(L, i);
                                     return;
                                   }
                                   for (const char* name : {"format", "width", "height", "alpha",
                                                            "vector", "transparency"}) {
                                     VmPushString(L, name);
                                     VmGetTable(L, i);
                                     Collect(L, VmGetTop(L));
                                     VmSetTop(L, -2);
                                   }
                                 }),
        ERR_NONE);
    if (!c.ok) {
      EXPECT_EQ(results.front(), 0);
      continue;
    }
    EXPECT_EQ(results, (std::vector<double>{1, 7, static_cast<double>(c.width),
                                            static_cast<double>(c.height), c.alpha ? 1.0 : 0.0,
                                            c.isVector ? 1.0 : 0.0, 0}));
  }
}

int32_t bracketCallback(QmDisplayCallback*, int32_t, const intptr_t*, void*) { return 0; }

TEST_F(GraphicsCommandTest, RefreshBracketHoldsBackTheWindow) {
  OpenDisplay(64, 48);
  ASSERT_EQ(CallWith("CreateBrush", {1, 8, 8, 0xFF0000}), ERR_NONE);
  // Nothing asks for a bracket: none opens.
  ASSERT_EQ(CallWith("BeginRefresh", {}), ERR_NONE);
  EXPECT_EQ(d->collectRefreshes, 0);

  ASSERT_EQ(CallWith("BeginRefresh", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("BeginRefresh", {1}), ERR_WRONGUSAGE);
  ASSERT_EQ(CallWith("DisplayBrush", {1, 0, 0}), ERR_NONE);
  EXPECT_EQ(At(0, 0), gfxtest::BACKGROUND);
  ASSERT_EQ(CallWith("EndRefresh", {}), ERR_NONE);
  EXPECT_EQ(At(0, 0), 0xFF0000u);
  EXPECT_EQ(CallWith("EndRefresh", {}), ERR_NONE);  // none open: nothing

  // A callback that asks for brackets opens one without force.
  QmTagItem tags[] = {{QM_DCBTAG_BRACKET, 1}, {0, 0}};
  QmDisplayCallback* callback = AddDisplayCallback(1, bracketCallback, nullptr, tags, 0);
  ASSERT_NE(callback, nullptr);
  ASSERT_EQ(CallWith("BeginRefresh", {}), ERR_NONE);
  EXPECT_EQ(d->collectRefreshes, 1);
  ASSERT_EQ(CallWith("EndRefresh", {}), ERR_NONE);
  RemoveDisplayCallback(callback);

  // Only the display itself takes a bracket.
  ASSERT_EQ(CallWith("SelectBrush", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("BeginRefresh", {1}), ERR_SELECTBRUSH);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
}

class PointerTest : public GraphicsCommandTest {
 protected:
  void SetUp() override {
    GraphicsCommandTest::SetUp();
    lastPointer = plugintest::ModuleSymbol<const uint32_t* (*)(int32_t*)>(
        root + "/Plugins/testdisplay.qmp", "TestDisplayLastPointer");
    pointerState = plugintest::ModuleSymbol<void* (*)(int32_t*)>(root + "/Plugins/testdisplay.qmp",
                                                                 "TestDisplayPointerState");
    windowState = plugintest::ModuleSymbol<void (*)(void*, int32_t*)>(
        root + "/Plugins/testdisplay.qmp", "TestDisplayWindowState");
    ASSERT_TRUE(lastPointer && pointerState && windowState);
  }
  int32_t LivePointers() {
    int32_t s[3] = {};
    pointerState(s);
    return s[0];
  }
  const uint32_t* (*lastPointer)(int32_t*) = nullptr;
  void* (*pointerState)(int32_t*) = nullptr;
  void (*windowState)(void*, int32_t*) = nullptr;
};

TEST_F(PointerTest, BrushPointersCarryTheMaskAsAlpha) {
  OpenDisplay(64, 48);
  std::string source = root + "/pointer.png";
  Shell("convert -size 16x16 xc:red -fill black -draw 'point 3,2' -depth 8 '" + source + "'");
  ASSERT_EQ(CallWith("LoadBrush", {1, source.c_str(), Value::Table({{"transparency", 0}})}),
            ERR_NONE);
  struct Case {
    std::vector<Value> args;
    int32_t hotX, hotY;
  };
  const Case cases[] = {{{1, OBJTYPE_BRUSH, 1}, 8, 8},
                        {{1, OBJTYPE_BRUSH, 1, 99, -1}, 15, 8},
                        {{1, OBJTYPE_BRUSH, 1, 2, 3}, 2, 3}};
  for (const Case& c : cases) {
    ASSERT_EQ(CallWith("CreatePointer", c.args), ERR_NONE);
    int32_t info[4] = {};
    const uint32_t* pixels = lastPointer(info);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(info[0], 16);
    EXPECT_EQ(info[1], 16);
    EXPECT_EQ(info[2], c.hotX);
    EXPECT_EQ(info[3], c.hotY);
    EXPECT_EQ(pixels[2 * 16 + 3] >> 24, 0u);
    EXPECT_EQ(pixels[0], 0xFFFF0000u);
  }
  EXPECT_EQ(LivePointers(), 1);  // each numeric id freed its predecessor
}

TEST_F(PointerTest, SpritePointersTakeTheFrame) {
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenSpriteLibrary(L), ERR_NONE);
  VmSetTop(L, 0);
  OpenDisplay(64, 48);
  // A sprite of two 10 x 10 frames: red, then green.
  ASSERT_EQ(CallWith("CreateBrush", {10, 20, 10, 0xFF0000}), ERR_NONE);
  BrushObject* strip = nullptr;
  ASSERT_EQ(GetBrushObject(L, ObjectId{nullptr, 10}, &strip, 0), ERR_NONE);
  FillBitmapRect(strip->bitmap, 10, 0, 10, 10, 0x00FF00);
  ASSERT_EQ(CallWith("CreateSprite", {1, OBJTYPE_BRUSH, 10, 10, 10, 2, 2, 0, 0}), ERR_NONE);
  struct Case {
    std::vector<Value> args;
    ErrorCode error;
    uint32_t colour;
    int32_t hotX, hotY;
  };
  const Case cases[] = {
      {{1, OBJTYPE_SPRITE, 1}, ERR_NONE, 0xFFFF0000u, 5, 5},
      {{1, OBJTYPE_SPRITE, 1, 2, 1, 99}, ERR_NONE, 0xFF00FF00u, 1, 9},
      {{2, OBJTYPE_SPRITE, 1, 3}, ERR_ANIMFRAME, 0, 0, 0},
      {{2, OBJTYPE_SPRITE, 1, 0}, ERR_ANIMFRAME, 0, 0, 0},
      {{2, OBJTYPE_SPRITE, 9}, ERR_FINDSPRITE, 0, 0, 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(CallWith("CreatePointer", c.args), c.error);
    if (c.error) continue;
    int32_t info[4] = {};
    const uint32_t* pixels = lastPointer(info);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(info[0], 10);
    EXPECT_EQ(info[1], 10);
    EXPECT_EQ(info[2], c.hotX);
    EXPECT_EQ(info[3], c.hotY);
    EXPECT_EQ(pixels[0], c.colour);
    EXPECT_EQ(pixels[99], c.colour);
  }
  EXPECT_EQ(LivePointers(), 1);
  FreeAllSprites(L);
}

TEST_F(PointerTest, StandardPointersAndDeferredFree) {
  OpenDisplay(64, 48);
  struct Case {
    std::vector<Value> args;
    ErrorCode error;
  };
  const Case cases[] = {
      {{1, OBJTYPE_POINTER, 1}, ERR_NONE},  // the busy pointer
      {{2, OBJTYPE_POINTER, 0}, ERR_NONE}, {{3, OBJTYPE_POINTER, 2}, ERR_WRONGUSAGE},
      {{3, 5, 1}, ERR_WRONGUSAGE},         {{3, OBJTYPE_BRUSH, 9}, ERR_FINDBRUSH},
  };
  for (const Case& c : cases) EXPECT_EQ(CallWith("CreatePointer", c.args), c.error);
  ASSERT_EQ(CallWith("GetAttribute", {OBJTYPE_POINTER, 1, ATTRTYPE}), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>{1});
  ASSERT_EQ(CallWith("GetAttribute", {OBJTYPE_POINTER, 1, ATTRWIDTH}), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>{16});
  ASSERT_EQ(CallWith("GetAttribute", {OBJTYPE_POINTER, 0, ATTRCOUNT}), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>{2});
  EXPECT_EQ(CallWith("SetPointer", {3}), ERR_FINDPOINTER);

  // A brush pointer freed while shown lives until another is set.
  ASSERT_EQ(CallWith("CreateBrush", {1, 4, 4, 0x00FF00}), ERR_NONE);
  ASSERT_EQ(CallWith("CreatePointer", {3, OBJTYPE_BRUSH, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("SetPointer", {3}), ERR_NONE);
  int32_t s[3] = {};
  void* shown = pointerState(s);
  EXPECT_NE(shown, nullptr);
  ASSERT_EQ(CallWith("FreePointer", {3}), ERR_NONE);
  EXPECT_EQ(LivePointers(), 1);
  EXPECT_EQ(CallWith("SetPointer", {3}), ERR_FINDPOINTER);
  ASSERT_EQ(CallWith("SetPointer", {1}), ERR_NONE);
  EXPECT_EQ(LivePointers(), 0);
  EXPECT_EQ(pointerState(s), nullptr);  // standard pointers go as null

  ASSERT_EQ(CallWith("HidePointer", {}), ERR_NONE);
  pointerState(s);
  EXPECT_EQ(s[2], 0);
  ASSERT_EQ(CallWith("ShowPointer", {}), ERR_NONE);
  pointerState(s);
  EXPECT_EQ(s[2], 1);
  // Positions resolve against the 16x16 pointer and the 64x48 output.
  ASSERT_EQ(CallWith("MovePointer", {POS_CENTER, POS_BOTTOM}), ERR_NONE);
  int32_t w[3] = {};
  windowState(window, w);
  EXPECT_EQ(w[1], 24);
  EXPECT_EQ(w[2], 32);
}

TEST_F(GraphicsCommandTest, SnapshotOfTheDisplayPicture) {
  OpenDisplay(640, 480);
  std::string bmp = root + "/snap.bmp", png = root + "/snap.png";
  ASSERT_EQ(CallWith("SaveSnapshot", {bmp.c_str(), 1}), ERR_NONE);
  EXPECT_EQ(std::filesystem::file_size(bmp), 921654u);
  int32_t width = 0, height = 0;
  std::vector<uint32_t> pixels =
      imagetest::PnmWords(Shell("bmptopnm '" + bmp + "'"), &width, &height);
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 480);
  ASSERT_EQ(pixels.size(), 640u * 480u);
  EXPECT_EQ(std::count(pixels.begin(), pixels.end(), gfxtest::BACKGROUND), 640 * 480);

  ASSERT_EQ(CallWith("SaveSnapshot", {png.c_str(), 1, 1}), ERR_NONE);
  bool ok = false;
  Shell("pngcheck -q '" + png + "'", &ok);
  EXPECT_TRUE(ok);
  std::vector<uint32_t> rgb = Words(Shell("convert '" + png + "' -depth 8 rgb:-"), 3);
  ASSERT_EQ(rgb.size(), 640u * 480u);
  EXPECT_EQ(std::count(rgb.begin(), rgb.end(), gfxtest::BACKGROUND), 640 * 480);

  EXPECT_EQ(CallWith("SaveSnapshot", {png.c_str(), 7}), ERR_WRONGUSAGE);
  EXPECT_EQ(CallWith("SaveSnapshot", {png.c_str(), 1, 5}), ERR_UNKNOWNIMGOUT);
  // The argument count is checked before anything is read.
  EXPECT_EQ(CallWith("SaveSnapshot", {}), ERR_MISSINGPARAMTR);
  EXPECT_EQ(CallWith("SaveSnapshot", {png.c_str(), 1, 1, 90, 0}), ERR_TOOMANYARGS);
}

TEST_F(GraphicsCommandTest, AttributesOfDisplaysPicturesAndBrushes) {
  OpenDisplay(64, 48);
  StrCopyBounded(d->title, sizeof d->title, "Snap");
  std::string keyed = root + "/keyed.png";
  Shell("convert -size 4x2 xc:red -fill black -draw 'point 1,0' -depth 8 '" + keyed + "'");
  ASSERT_EQ(CallWith("LoadBrush", {1, keyed.c_str(), Value::Table({{"transparency", 0}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("CreateBrush", {2, 4, 4, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateBGPic", {3, 30, 20}), ERR_NONE);
  struct Case {
    int32_t type, id, attribute;
    ErrorCode error;
    double number;
    const char* text;  // null: a number
  };
  const Case cases[] = {
      {OBJTYPE_DISPLAY, 1, ATTRADAPTER, ERR_NONE, 0, "testdisplay"},
      {OBJTYPE_DISPLAY, 1, ATTRTITLE, ERR_NONE, 0, "Snap"},
      {OBJTYPE_DISPLAY, 1, ATTRWIDTH, ERR_NONE, 64, nullptr},
      {OBJTYPE_DISPLAY, 1, ATTRSCALEMODE, ERR_NONE, 0, nullptr},
      {OBJTYPE_DISPLAY, 1, ATTRSCALEWIDTH, ERR_NONE, 64, nullptr},
      {OBJTYPE_DISPLAY, 1, ATTRMONITOR, ERR_NONE, 1, nullptr},
      {OBJTYPE_DISPLAY, 0, ATTRCOUNT, ERR_NONE, 1, nullptr},
      {OBJTYPE_DISPLAY, 7, ATTRWIDTH, ERR_FINDDISPLAY, 0, nullptr},
      {OBJTYPE_DISPLAY, 1, ATTRSIZE, ERR_UNKNOWNATTR, 0, nullptr},
      {OBJTYPE_BGPIC, 3, ATTRWIDTH, ERR_NONE, 30, nullptr},
      {OBJTYPE_BGPIC, 3, ATTRHASALPHA, ERR_NONE, 0, nullptr},
      {OBJTYPE_BGPIC, 9, ATTRWIDTH, ERR_FINDBGPIC, 0, nullptr},
      {OBJTYPE_BGPIC, 3, ATTRDURATION, ERR_UNKNOWNATTR, 0, nullptr},
      {OBJTYPE_BRUSH, 1, ATTRHASMASK, ERR_NONE, 1, nullptr},
      {OBJTYPE_BRUSH, 2, ATTRHASMASK, ERR_NONE, 0, nullptr},
      {OBJTYPE_INTERVAL, 0, ATTRCOUNT, ERR_NONE, 0, nullptr},
      {OBJTYPE_TIMEOUT, 4, ATTRDURATION, ERR_FINDTIMEOUT, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << "/" << c.id << "/" << c.attribute);
    for (int32_t n : {c.type, c.id, c.attribute}) VmPushNumber(L, n);
    ErrorCode e = testcall::Call(L, "getattribute", 3);
    EXPECT_EQ(e, c.error);
    if (e == ERR_NONE) {
      if (c.text) {
        const char* text = VmToString(L, -1);
        EXPECT_STREQ(text ? text : "(null)", c.text);
      } else {
        EXPECT_EQ(VmToNumber(L, -1), c.number);
      }
    }
    VmSetTop(L, 0);
  }
}

}  // namespace
