// Output selections and double buffering: selecting a brush's mask or
// alpha channel and preparing it, the refusals of BeginDoubleBuffer, and
// the back buffer reaching the test display adapter's framebuffer only at
// Flip and only inside the marked rectangles.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

#include "display/display_private.h"
#include "draw/draw_private.h"
#include "plugins/plugin_private.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/command_call.h"
#include "tests/support/harness.h"

namespace {

ErrorCode CallWith(PlayerHarness& h, const char* command, std::initializer_list<double> args) {
  for (double a : args) VmPushNumber(h.L, a);
  ErrorCode e = h.Call(command, static_cast<int>(args.size()));
  VmSetTop(h.L, 0);
  return e;
}

TEST(OutputSelection, MaskOfABrushWithAlpha) {
  PlayerHarness h;
  ObjectId id{nullptr, 1};
  BrushObject* b = nullptr;
  ASSERT_EQ(CreateBrushObject(&id, 0, 5, 4, 0x808080, 0, 1, 0, 0, 0, 0, nullptr, &b), ERR_NONE);
  EXPECT_EQ(CallWith(h, "EndSelect", {}), ERR_WRONGUSAGE);  // nothing selected
  EXPECT_EQ(CallWith(h, "SelectMask", {1, 4}), ERR_MISSINGPARAMTR);
  ASSERT_EQ(CallWith(h, "SelectMask", {1}), ERR_NONE);
  DisplayRecord* d = GetOutputDisplay();
  EXPECT_EQ(d->outputKind, OUTPUT_MASK);
  EXPECT_EQ(CallWith(h, "FreeBrush", {1}), ERR_MODIFYABR);
  EXPECT_EQ(CallWith(h, "RotateBrush", {1, 90}), ERR_MODIFYABR);

  ASSERT_EQ(PrepareOutputTarget(h.L), ERR_NONE);
  EXPECT_EQ(b->alpha, nullptr);
  ASSERT_NE(b->mask, nullptr);
  EXPECT_EQ(d->drawBitmap, b->mask);
  int set = 0;
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) set += ReadBitmapPixel(b->mask, x, y, 1) == 1;
  EXPECT_EQ(set, 20);

  // The same selection again changes nothing: it stays prepared, and a
  // mask cleared meanwhile is not made again.
  MaskRectOp(b->mask, 0, 0, 1, 1, 1);
  ASSERT_EQ(CallWith(h, "SelectMask", {1, 3}), ERR_NONE);
  ASSERT_EQ(PrepareOutputTarget(h.L), ERR_NONE);
  EXPECT_EQ(ReadBitmapPixel(b->mask, 0, 0, 1), 0u);

  // The alpha channel selected next replaces the mask.
  ASSERT_EQ(CallWith(h, "SelectAlphaChannel", {1}), ERR_NONE);
  ASSERT_EQ(PrepareOutputTarget(h.L), ERR_NONE);
  EXPECT_EQ(b->mask, nullptr);
  ASSERT_NE(b->alpha, nullptr);
  BitmapLock lock{};
  ASSERT_NE(LockBitmap(b->alpha, 1, &lock), 0u);
  EXPECT_EQ(lock.address[3 * lock.rowLength + 4], 255);
  UnlockBitmap(&lock);

  ASSERT_EQ(CallWith(h, "EndSelect", {}), ERR_NONE);
  EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  EXPECT_EQ(d->drawBitmap, nullptr);
  EXPECT_EQ(CallWith(h, "FreeBrush", {1}), ERR_NONE);
}

constexpr uint32_t BACKGROUND = 0x336699;

// A 64 x 48 display opened on the test display adapter, with brush 1.
class DoubleBufferTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    setenv("DISPLAY", ":9999", 1);  // no X server may be reached
    Install("testdisplay");
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    pixel = plugintest::ModuleSymbol<int64_t (*)(void*, int32_t, int32_t)>(
        root + "/Plugins/testdisplay.qmp", "TestDisplayPixel");
    ASSERT_NE(pixel, nullptr);
    PlayerHarness::SetErrorRaising(1);
    for (ErrorCode (*open)(VmState*) : {OpenDisplayLibrary, OpenBrushLibrary, OpenBGPicLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    VmPushNumber(L, 1);
    VmNewTable(L);
    for (auto [name, value] :
         {std::pair<const char*, double>{"color", BACKGROUND}, {"width", 64}, {"height", 48}}) {
      VmPushString(L, name);
      VmPushNumber(L, value);
      VmSetTable(L, -3);
    }
    ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
    ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
    ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
    window = reinterpret_cast<void*>(d->windowHandle);
    ASSERT_NE(window, nullptr);
    ObjectId id{nullptr, 1};
    ASSERT_EQ(CreateBrushObject(&id, 0, 4, 4, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr), ERR_NONE);
  }
  void TearDown() override {
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    PluginTest::TearDown();
    unsetenv("DISPLAY");
  }

  ErrorCode Call(const char* name, int nargs) {
    return testcall::CallCollecting(L, name, nargs, [](VmState*, int) {});
  }
  ErrorCode CallWith(const char* name, std::initializer_list<double> args) {
    for (double a : args) VmPushNumber(L, a);
    return Call(name, static_cast<int>(args.size()));
  }

  // Framebuffer pixels of the colour inside the rectangle.
  int Count(uint32_t colour, int32_t x0, int32_t y0, int32_t w, int32_t h) {
    int n = 0;
    for (int32_t y = y0; y < y0 + h; ++y)
      for (int32_t x = x0; x < x0 + w; ++x) n += pixel(window, x, y) == colour;
    return n;
  }

  DisplayRecord* d = nullptr;
  void* window = nullptr;
  int64_t (*pixel)(void*, int32_t, int32_t) = nullptr;
};

TEST_F(DoubleBufferTest, FlipShowsOnlyMarkedRectangles) {
  EXPECT_EQ(CallWith("Flip", {}), ERR_NODOUBLEBUFFER);
  ASSERT_EQ(Count(BACKGROUND, 0, 0, 64, 48), 64 * 48);
  ASSERT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_NONE);
  ASSERT_EQ(d->drawBitmap, d->backBuffer);
  EXPECT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_ENDDOUBLEBUFFER);

  // Drawn and marked, drawn and not marked: nothing shows before the flip.
  FillBitmapRect(d->backBuffer, 2, 3, 10, 5, 0xFF0000);
  MarkDisplayDirty(d, 2, 3, 10, 5);
  FillBitmapRect(d->backBuffer, 30, 30, 6, 6, 0x00FF00);
  EXPECT_EQ(Count(BACKGROUND, 0, 0, 64, 48), 64 * 48);
  ASSERT_EQ(CallWith("Flip", {}), ERR_NONE);
  EXPECT_EQ(Count(0xFF0000, 2, 3, 10, 5), 50);
  EXPECT_EQ(Count(0x00FF00, 0, 0, 64, 48), 0);
  EXPECT_EQ(Count(BACKGROUND, 0, 0, 64, 48), 64 * 48 - 50);

  // More marks than the list holds: the next flip copies everything.
  FillBitmapRect(d->backBuffer, 0, 0, 64, 48, 0x0000FF);
  for (int i = 0; i < DIRTY_BLOCK + 1; ++i) MarkDisplayDirty(d, 0, 0, 1, 1);
  EXPECT_EQ(d->dirty.capacity, DIRTY_BLOCK);
  ASSERT_EQ(CallWith("Flip", {0}), ERR_NONE);
  EXPECT_EQ(Count(0x0000FF, 0, 0, 64, 48), 64 * 48);
  EXPECT_EQ(d->dirty.full, 0);
  EXPECT_EQ(d->dirty.count, 0);

  // A selection suspends the buffering; its end resumes it.
  EXPECT_EQ(CallWith("EndSelect", {}), ERR_WRONGUSAGE);
  ASSERT_EQ(CallWith("SelectBrush", {1}), ERR_NONE);
  EXPECT_EQ(d->doubleBuffer, 0);
  EXPECT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_SELECTBRUSH);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  EXPECT_EQ(d->doubleBuffer, 1);
  EXPECT_EQ(d->drawBitmap, d->backBuffer);

  // The end keeps the image on screen and draws into the display again.
  FillBitmapRect(d->backBuffer, 0, 0, 64, 48, 0xFFFFFF);
  ASSERT_EQ(CallWith("EndDoubleBuffer", {}), ERR_NONE);
  EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  EXPECT_EQ(d->backBuffer, nullptr);
  EXPECT_EQ(Count(0x0000FF, 0, 0, 64, 48), 64 * 48);
  EXPECT_EQ(CallWith("EndDoubleBuffer", {}), ERR_NODOUBLEBUFFER);
  EXPECT_EQ(CallWith("Flip", {}), ERR_NODOUBLEBUFFER);
}

// A selection puts the display's text cursor and margins aside and starts
// at the brush's origin; its end gives them back, in a double-buffered
// frame too.
TEST_F(DoubleBufferTest, SelectionsKeepTheTextCursorAside) {
  for (bool buffered : {false, true}) {
    SCOPED_TRACE(buffered);
    if (buffered) {
      ASSERT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_NONE);
    }
    d->textX = 30;
    d->textY = 12;
    d->textLeft = 5;
    d->textRight = 50;
    ASSERT_EQ(CallWith("SelectBrush", {1}), ERR_NONE);
    using Text = std::array<int32_t, 4>;
    EXPECT_EQ((Text{d->textX, d->textY, d->textLeft, d->textRight}), (Text{0, 0, 0, 3}));
    ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
    EXPECT_EQ((Text{d->textX, d->textY, d->textLeft, d->textRight}), (Text{30, 12, 5, 50}));
    if (buffered) {
      ASSERT_EQ(CallWith("EndDoubleBuffer", {}), ERR_NONE);
    }
  }
}

TEST_F(DoubleBufferTest, BeginRefusalsInOrder) {
  struct Case {
    const char* name;
    std::function<void()> set, undo;
    ErrorCode expected;
  };
  BGPic* pic = d->bgpic;
  BitmapHandle* savedMask = pic->mask;
  const Case cases[] = {
      {"brush selected", [&] { CallWith("SelectBrush", {1}); }, [&] { CallWith("EndSelect", {}); },
       ERR_SELECTBRUSH},
      {"mask selected before refresh bracket",
       [&] {
         CallWith("SelectMask", {1});
         d->collectRefreshes = 1;
       },
       [&] {
         d->collectRefreshes = 0;
         CallWith("EndSelect", {});
       },
       ERR_SELECTMASK},
      {"alpha channel selected", [&] { CallWith("SelectAlphaChannel", {1}); },
       [&] { CallWith("EndSelect", {}); }, ERR_SELECTALPHACHANNEL},
      {"picture selected", [&] { d->outputKind = OBJECT_BGPIC; },
       [&] { d->outputKind = OBJECT_DISPLAY; }, ERR_SELECTBG},
      {"layers before refresh bracket",
       [&] {
         d->layers = 1;
         d->collectRefreshes = 1;
       },
       [&] {
         d->layers = 0;
         d->collectRefreshes = 0;
       },
       ERR_LAYERSOFF},
      {"refresh bracket before a shaped picture",
       [&] {
         d->collectRefreshes = 1;
         pic->mask = pic->bitmap;
       },
       [&] {
         d->collectRefreshes = 0;
         pic->mask = savedMask;
       },
       ERR_BEGINREFRESH},
      {"shaped picture", [&] { pic->mask = pic->bitmap; }, [&] { pic->mask = savedMask; },
       ERR_DBTRANSWIN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.set();
    EXPECT_EQ(CallWith("BeginDoubleBuffer", {}), c.expected);
    EXPECT_EQ(d->doubleBuffer, 0);
    c.undo();
  }
  ASSERT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_NONE);
  ASSERT_EQ(CallWith("EndDoubleBuffer", {}), ERR_NONE);
}

}  // namespace

namespace {

TEST(DirtyRects, GrowMergeAndFull) {
  DirtyList list{};
  // Growing adds past the capacity grow by a block; chained overlaps merge
  // into one rectangle even when the chain is listed out of order.
  for (int i = 0; i < DIRTY_BLOCK + 1; ++i) AddDirtyRect(&list, 500, 500, 500, 500, 1);
  EXPECT_EQ(list.capacity, 2 * DIRTY_BLOCK);
  EXPECT_EQ(list.full, 0);
  ClearDirtyRects(&list);
  AddDirtyRect(&list, 0, 0, 9, 9, 0);
  AddDirtyRect(&list, 20, 0, 29, 9, 0);
  AddDirtyRect(&list, 40, 40, 49, 49, 0);
  AddDirtyRect(&list, 8, 0, 21, 3, 0);
  MergeDirtyRects(&list);
  std::vector<std::array<int32_t, 4>> live;
  for (int32_t i = 0; i < list.count; ++i)
    if (!list.entries[i].merged)
      live.push_back(
          {list.entries[i].x1, list.entries[i].y1, list.entries[i].x2, list.entries[i].y2});
  const std::vector<std::array<int32_t, 4>> expected = {{0, 0, 29, 9}, {40, 40, 49, 49}};
  EXPECT_EQ(live, expected);
  // Adds that do not grow mark a list at its capacity full, and a full
  // list takes nothing more.
  while (list.count < list.capacity) AddDirtyRect(&list, 1, 1, 1, 1, 0);
  AddDirtyRect(&list, 1, 1, 1, 1, 0);
  EXPECT_EQ(list.full, 1);
  EXPECT_EQ(list.count, list.capacity);
  FreeDirtyRects(&list);
}

}  // namespace
