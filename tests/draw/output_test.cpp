// Output selections and double buffering: selecting a brush's mask or
// alpha channel and preparing it, the refusals of BeginDoubleBuffer, and
// the back buffer reaching the test display adapter's framebuffer only at
// Flip and only inside the marked rectangles; on the adapter that makes
// video bitmaps, video-memory brushes and the adapter's own buffering.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <unistd.h>
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

// A 64 x 48 display opened on the test display adapter (module), with
// brush 1.
class DoubleBufferTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    setenv("DISPLAY", ":9999", 1);  // no X server may be reached
    InitGfxContext();  // as start-up does: the platform asks the adapter about bitmap flags
    Install(module);
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    pixel = Symbol<int64_t (*)(void*, int32_t, int32_t)>("TestDisplayPixel");
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

  template <typename F>
  F Symbol(const char* name) {
    return plugintest::ModuleSymbol<F>(root + "/Plugins/" + module + ".qmp", name);
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

  std::string module = "testdisplay";
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

// The same display on "testdisplayhw", which makes video bitmaps, grants
// the bitmap flags a test sets and double-buffers windows itself (unless
// loaded with QM_TESTDISPLAY_NODOUBLEBUFFER).
class HardwareTest : public DoubleBufferTest {
 protected:
  HardwareTest() { module = "testdisplayhw"; }
  void SetUp() override {
    DoubleBufferTest::SetUp();
    if (HasFatalFailure()) return;
    grant = Symbol<void (*)(uint32_t, uint32_t)>("TestDisplaySetBitmapFlags");
    bitmapPixel = Symbol<int64_t (*)(void*, int32_t, int32_t)>("TestDisplayBitmapPixel");
    bufferCounts = Symbol<void (*)(int32_t*)>("TestDisplayBufferCounts");
    bitmapCounts = Symbol<void (*)(int32_t*)>("TestDisplayBitmapCounts");
    ASSERT_TRUE(grant && bitmapPixel && bufferCounts && bitmapCounts);
  }

  // CreateBrush(number, width, height, colour, {hardware = True, switches}).
  ErrorCode CreateHardware(int32_t number, int32_t width, int32_t height, uint32_t colour,
                           std::initializer_list<const char*> switches) {
    for (double a : {double(number), double(width), double(height), double(colour)})
      VmPushNumber(L, a);
    VmNewTable(L);
    VmPushString(L, "hardware");
    VmPushBoolean(L, 1);
    VmSetTable(L, -3);
    for (const char* name : switches) {
      VmPushString(L, name);
      VmPushBoolean(L, 1);
      VmSetTable(L, -3);
    }
    return Call("CreateBrush", 5);
  }
  BrushObject* Brush(int32_t number) {
    BrushObject* b = nullptr;
    return GetBrushObject(L, ObjectId{nullptr, number}, &b, BRUSH_HARDWARE) ? nullptr : b;
  }
  std::array<int32_t, 4> Buffering() {
    std::array<int32_t, 4> out{};
    bufferCounts(out.data());
    return out;
  }

  void (*grant)(uint32_t, uint32_t) = nullptr;
  int64_t (*bitmapPixel)(void*, int32_t, int32_t) = nullptr;
  void (*bufferCounts)(int32_t*) = nullptr;
  void (*bitmapCounts)(int32_t*) = nullptr;
};

// Video-memory brushes on an adapter that binds them to their display:
// the adapter's bitmap holds the colour with the brush's transparency in
// its top byte; lookups must accept them; a window closed to be opened
// again keeps them, a final close frees them.
TEST_F(HardwareTest, VideoMemoryBrushesLiveWithTheirDisplay) {
  grant(0, 0x10 | 0x2);  // video bitmaps, bound to a display
  AttributeReader reader = FindAttributeReader(OBJTYPE_BRUSH);
  ASSERT_NE(reader, nullptr);
  struct Case {
    const char* name;
    std::initializer_list<const char*> switches;
    int64_t pixel;
    int32_t hasMask, hasAlpha;
  } cases[] = {{"opaque", {}, 0xFF00AA55, 0, 0},
               {"mask", {"mask"}, 0xFF00AA55, 1, 0},
               {"clear alpha channel", {"alphachannel", "clear"}, 0x0000AA55, 0, 1}};
  int32_t number = 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(CreateHardware(number, 6, 4, 0x00AA55, c.switches), ERR_NONE);
    BrushObject* b = nullptr;
    EXPECT_EQ(GetBrushObject(L, ObjectId{nullptr, number}, &b, 0), ERR_HWBRUSH);
    b = Brush(number);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->video, 1);
    EXPECT_EQ(b->display, d);
    ASSERT_TRUE(b->bitmap && b->bitmap->video);
    EXPECT_EQ(b->mask, nullptr);  // the video bitmap carries it
    EXPECT_EQ(b->alpha, nullptr);
    EXPECT_EQ(b->keyColour, -1);
    EXPECT_EQ(bitmapPixel(b->bitmap->backing, 5, 3), c.pixel);
    for (auto [attribute, expected] : {std::pair<int32_t, int32_t>{ATTRHARDWARE, 1},
                                       {ATTRHASMASK, c.hasMask},
                                       {ATTRHASALPHA, c.hasAlpha}}) {
      VmSetTop(L, 0);
      VmPushNumber(L, OBJTYPE_BRUSH);
      VmPushNumber(L, number);
      VmPushNumber(L, attribute);
      ASSERT_EQ(reader(L, attribute), 1);
      EXPECT_EQ(VmToNumber(L, -1), expected) << attribute;
    }
    VmSetTop(L, 0);
    ++number;
  }

  // Closed to be opened again: the pixels wait in memory meanwhile.
  ASSERT_EQ(CloseDisplayWindow(L, d, nullptr, CLOSE_KEEPBRUSHES), ERR_NONE);
  BrushObject* b = Brush(4);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->bitmap, nullptr);
  EXPECT_NE(b->savedPixels, nullptr);
  ASSERT_EQ(OpenDisplayWindow(L, d, 0), ERR_NONE);
  for (int32_t n = 2; n < number; ++n) {
    SCOPED_TRACE(n);
    b = Brush(n);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(b->bitmap && b->bitmap->video);
    EXPECT_EQ(b->savedPixels, nullptr);
    EXPECT_EQ(b->display, d);
    EXPECT_EQ(bitmapPixel(b->bitmap->backing, 5, 3), cases[n - 2].pixel);
  }
  // A final close takes them with it; the software brush stays.
  ASSERT_EQ(CloseDisplayWindow(L, d, nullptr, 0), ERR_NONE);
  for (int32_t n = 2; n < number; ++n) EXPECT_EQ(Brush(n), nullptr) << n;
  EXPECT_NE(Brush(1), nullptr);
}

// With two displays: a bound brush is drawn only on its own display, and
// while its window is closed to be opened again it waits for that window,
// not for the next one that opens.
TEST_F(HardwareTest, BoundBrushesKeepToTheirDisplay) {
  grant(0, 0x10 | 0x2);
  VmPushNumber(L, 2);
  VmNewTable(L);
  for (const char* name : {"width", "height"}) {
    VmPushString(L, name);
    VmPushNumber(L, 32);
    VmSetTable(L, -3);
  }
  ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
  DisplayRecord* other = nullptr;
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 2}, &other), ERR_NONE);
  // A display without its window cannot own a video bitmap.
  VmPushNumber(L, 3);
  VmPushNumber(L, 4);
  VmPushNumber(L, 4);
  VmPushNumber(L, 0);
  VmNewTable(L);
  for (auto [name, value] : {std::pair<const char*, double>{"hardware", 1}, {"display", 2}}) {
    VmPushString(L, name);
    VmPushNumber(L, value);
    VmSetTable(L, -3);
  }
  EXPECT_EQ(Call("CreateBrush", 5), ERR_HWBMCLOSEDISP);
  EXPECT_EQ(Brush(3), nullptr);
  ASSERT_EQ(OpenDisplayWindow(L, other, 0), ERR_NONE);

  ASSERT_EQ(CreateHardware(2, 4, 4, 0x0000FF, {}), ERR_NONE);
  BrushObject* b = Brush(2);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->display, d);
  // Drawn into video memory (the adapter's back buffer) of the other one.
  SetCurrentDisplay(other);
  ASSERT_EQ(CallWith("BeginDoubleBuffer", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("DisplayBrush", {2, 0, 0}), ERR_INCOMPATBRUSH);
  ASSERT_EQ(CallWith("EndDoubleBuffer", {}), ERR_NONE);
  SetCurrentDisplay(d);

  ASSERT_EQ(CloseDisplayWindow(L, d, nullptr, CLOSE_KEEPBRUSHES), ERR_NONE);
  ASSERT_EQ(CloseDisplayWindow(L, other, nullptr, CLOSE_KEEPBRUSHES), ERR_NONE);
  ASSERT_EQ(OpenDisplayWindow(L, other, 0), ERR_NONE);
  EXPECT_EQ(b->bitmap, nullptr);
  EXPECT_NE(b->savedPixels, nullptr);
  SetCurrentDisplay(other);
  ASSERT_EQ(CallWith("BeginDoubleBuffer", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("DisplayBrush", {2, 0, 0}), ERR_INCOMPATBRUSH);  // its window is closed
  ASSERT_EQ(CallWith("EndDoubleBuffer", {}), ERR_NONE);
  ASSERT_EQ(OpenDisplayWindow(L, d, 0), ERR_NONE);
  ASSERT_NE(b->bitmap, nullptr);
  EXPECT_EQ(b->display, d);
  EXPECT_EQ(bitmapPixel(b->bitmap->backing, 3, 3), 0xFF0000FF);
  // The other display's final close leaves it alone.
  ASSERT_EQ(CloseDisplayWindow(L, other, nullptr, 0), ERR_NONE);
  EXPECT_EQ(Brush(2), b);
  SetCurrentDisplay(d);
}

// LoadBrush with "hardware" puts the picture into a video bitmap, its
// alpha channel in the pixels' top bytes, at once or, while resources are
// preloaded, when the first display realises it (unless software is
// forced); without it the brush stays in software.
TEST_F(HardwareTest, LoadedBrushInVideoMemory) {
  if (access("/usr/bin/convert", X_OK) != 0) GTEST_SKIP() << "ImageMagick is not installed";
  grant(0, 0x10);
  const std::string png = root + "/ramp.png";
  ASSERT_EQ(std::system(("/usr/bin/convert -size 2x1 xc:'#ff0000' -alpha set -channel A -fx i "
                         "+channel -depth 8 '" +
                         png + "'")
                            .c_str()),
            0);
  struct Case {
    const char* name;
    bool hardware, deferred;
    int forceSoftware;
    bool video;
  } cases[] = {{"hardware", true, false, 0, true},
               {"software", false, false, 0, false},
               {"deferred hardware", true, true, 0, true},
               {"deferred, software forced", true, true, 1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TagItem defer[] = {{ATTR_DEFERBITMAPS, c.deferred ? 1u : 0u}, {ATTR_DONE, 0}};
    SetGlobalAttrs(L, defer);
    VmPushNumber(L, 2);
    VmPushString(L, png.c_str());
    VmNewTable(L);
    for (const char* name : {"hardware", "loadalpha"}) {
      VmPushString(L, name);
      VmPushBoolean(L, name[0] == 'l' || c.hardware);
      VmSetTable(L, -3);
    }
    ASSERT_EQ(Call("LoadBrush", 3), ERR_NONE);
    defer[0].data = 0;
    SetGlobalAttrs(L, defer);
    BrushObject* b = Brush(2);
    ASSERT_NE(b, nullptr);
    if (c.deferred) {
      EXPECT_EQ(b->bitmap, nullptr);
      ASSERT_EQ(RealizeDeferredBrushes(c.forceSoftware, 0), ERR_NONE);
    }
    ASSERT_NE(b->bitmap, nullptr);
    EXPECT_EQ(b->video, c.video ? 1 : 0);
    EXPECT_EQ(b->bitmap->video, c.video ? 1u : 0u);
    EXPECT_EQ(b->alpha == nullptr, c.video);
    if (c.video) {
      EXPECT_EQ(b->videoContent, 2);
      EXPECT_EQ(bitmapPixel(b->bitmap->backing, 0, 0), 0x00FF0000);
      EXPECT_EQ(bitmapPixel(b->bitmap->backing, 1, 0), 0xFFFF0000);
    }
  }
}

// Drawing into a video-memory brush needs the adapter's leave: its mask
// or alpha channel is made ready by the adapter, not in software.
TEST_F(HardwareTest, SelectingAVideoBrush) {
  grant(0, 0x10);  // video bitmaps, no drawing into them
  ASSERT_EQ(CreateHardware(2, 6, 4, 0x102030, {}), ERR_NONE);
  BrushObject* b = Brush(2);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->display, nullptr);  // not bound to a display
  EXPECT_EQ(CallWith("SelectMask", {2}), ERR_HWBRUSH);
  EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  grant(0x8, 0x10);  // mask and alpha drawing into video bitmaps
  ASSERT_EQ(CallWith("SelectMask", {2}), ERR_NONE);
  EXPECT_EQ(d->outputVideo, 1);
  EXPECT_EQ(d->drawBitmap, b->bitmap);
  int32_t before[6] = {}, after[6] = {};
  bitmapCounts(before);
  ASSERT_EQ(PrepareOutputTarget(L), ERR_NONE);
  bitmapCounts(after);
  EXPECT_EQ(after[4], before[4] + 1);  // one video method call
  EXPECT_EQ(b->bitmap->prepared, 1u);
  EXPECT_EQ(b->mask, nullptr);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
}

// The adapter double-buffers the window: drawing goes into the display as
// always (video-memory brushes included) and reaches the window at Flip;
// a selection suspends the buffering and its end resumes it.
TEST_F(HardwareTest, AdapterDoubleBuffersTheWindow) {
  grant(0, 0x10);
  ASSERT_EQ(CreateHardware(2, 8, 6, 0xFF0000, {}), ERR_NONE);
  EXPECT_EQ(CallWith("DisplayBrush", {2, 4, 4}), ERR_HWBRUSH);  // the target is not video memory
  // The adapter's buffering is refused to a display that plug-ins draw on
  // through callbacks, and to one without its window.
  QmDisplayCallback* callback = AddDisplayCallback(
      1, [](QmDisplayCallback*, int32_t, const intptr_t*, void*) -> int32_t { return 0; }, nullptr,
      nullptr, 0);
  ASSERT_NE(callback, nullptr);
  EXPECT_EQ(CallWith("BeginDoubleBuffer", {1}), ERR_SATELLITE);
  RemoveDisplayCallback(callback);
  uintptr_t handle = d->windowHandle;
  d->windowHandle = 0;
  EXPECT_EQ(CallWith("BeginDoubleBuffer", {1}), ERR_CLOSEDDISPLAY);
  d->windowHandle = handle;
  EXPECT_EQ(Buffering()[0], 0);
  ASSERT_EQ(CallWith("BeginDoubleBuffer", {1}), ERR_NONE);
  EXPECT_EQ(d->adapterDoubleBuffer, 1);
  EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  EXPECT_EQ(d->backBuffer, nullptr);
  EXPECT_EQ(CallWith("BeginDoubleBuffer", {1}), ERR_ENDDOUBLEBUFFER);
  EXPECT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_ENDDOUBLEBUFFER);

  ASSERT_EQ(CallWith("DisplayBrush", {2, 4, 4}), ERR_NONE);
  EXPECT_EQ(Count(0xFF0000, 0, 0, 64, 48), 0);
  ASSERT_EQ(CallWith("Flip", {}), ERR_NONE);
  EXPECT_EQ(Count(0xFF0000, 4, 4, 8, 6), 48);
  EXPECT_EQ(Count(0xFF0000, 0, 0, 64, 48), 48);
  EXPECT_EQ(Buffering(), (std::array<int32_t, 4>{1, 0, 1, 1}));

  ASSERT_EQ(CallWith("SelectBrush", {1}), ERR_NONE);
  EXPECT_EQ(d->doubleBuffer, 0);
  EXPECT_EQ(CallWith("BeginDoubleBuffer", {1}), ERR_SELECTBRUSH);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  EXPECT_EQ(d->doubleBuffer, 1);
  EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  EXPECT_EQ(d->drawBitmap, nullptr);

  ASSERT_EQ(CallWith("DisplayBrush", {2, 40, 30}), ERR_NONE);
  ASSERT_EQ(CallWith("Flip", {0}), ERR_NONE);
  EXPECT_EQ(Buffering()[3], 0);  // the last flip's sync
  ASSERT_EQ(CallWith("DisplayBrush", {2, 20, 30}), ERR_NONE);
  // The end leaves what was drawn on screen.
  ASSERT_EQ(CallWith("EndDoubleBuffer", {}), ERR_NONE);
  EXPECT_EQ(Buffering(), (std::array<int32_t, 4>{1, 1, 2, 0}));
  EXPECT_EQ(Count(0xFF0000, 0, 0, 64, 48), 3 * 48);
  EXPECT_EQ(d->adapterDoubleBuffer, 0);
  EXPECT_EQ(d->doubleBuffer, 0);
  EXPECT_EQ(CallWith("Flip", {}), ERR_NODOUBLEBUFFER);
  EXPECT_EQ(CallWith("DisplayBrush", {2, 0, 0}), ERR_HWBRUSH);
}

// An adapter that makes video bitmaps but does not double-buffer: the
// back buffer of a hardware request is a video bitmap, into which
// video-memory brushes are drawn; Flip shows the marked rectangles.
class VideoBackBufferTest : public HardwareTest {
 protected:
  void SetUp() override {
    setenv("QM_TESTDISPLAY_NODOUBLEBUFFER", "1", 1);
    HardwareTest::SetUp();
    unsetenv("QM_TESTDISPLAY_NODOUBLEBUFFER");
  }
};

TEST_F(VideoBackBufferTest, VideoBrushesDrawIntoIt) {
  grant(0, 0x10);
  ASSERT_EQ(CreateHardware(2, 8, 6, 0x00FF00, {}), ERR_NONE);
  ASSERT_EQ(CallWith("BeginDoubleBuffer", {1}), ERR_NONE);
  EXPECT_EQ(d->adapterDoubleBuffer, 0);
  ASSERT_NE(d->backBuffer, nullptr);
  EXPECT_TRUE(d->backBuffer->video);
  EXPECT_EQ(d->videoBackBuffer, 1);
  EXPECT_EQ(d->outputVideo, 1);
  EXPECT_EQ(Buffering()[0], 0);  // the adapter's hooks stay out of it
  ASSERT_EQ(CallWith("DisplayBrush", {2, 10, 20}), ERR_NONE);
  EXPECT_EQ(Count(0x00FF00, 0, 0, 64, 48), 0);
  ASSERT_EQ(CallWith("Flip", {0}), ERR_NONE);
  EXPECT_EQ(Count(0x00FF00, 10, 20, 8, 6), 48);
  EXPECT_EQ(Count(BACKGROUND, 0, 0, 64, 48), 64 * 48 - 48);  // only the marked rectangle
  ASSERT_EQ(CallWith("EndDoubleBuffer", {}), ERR_NONE);
  EXPECT_EQ(d->videoBackBuffer, 0);
  EXPECT_EQ(d->outputVideo, 0);
}

// An adapter loaded with the option that grants bitmap flags 512 and 1024:
// it turns, scales and fades brushes in video memory in the blit itself.
class AdapterDrawnBrushTest : public HardwareTest {
 protected:
  void SetUp() override {
    setenv("QM_TESTDISPLAY_BITMAPFLAGS", "0x30", 1);
    HardwareTest::SetUp();
    unsetenv("QM_TESTDISPLAY_BITMAPFLAGS");
  }
  // DisplayBrush(id, x, y, options), then Flip: the window's pixels.
  std::vector<uint32_t> Shown(int32_t id,
                              std::initializer_list<std::pair<const char*, double>> options) {
    EXPECT_EQ(CallWith("DisplayBrush", {9, 0, 0}), ERR_NONE);
    for (double a : {double(id), 20.0, 15.0}) VmPushNumber(L, a);
    VmNewTable(L);
    for (auto [name, value] : options) {
      VmPushString(L, name);
      VmPushNumber(L, value);
      VmSetTable(L, -3);
    }
    EXPECT_EQ(Call("DisplayBrush", 4), ERR_NONE);
    EXPECT_EQ(CallWith("Flip", {}), ERR_NONE);
    std::vector<uint32_t> out;
    for (int32_t y = 0; y < 48; ++y)
      for (int32_t x = 0; x < 64; ++x) out.push_back(static_cast<uint32_t>(pixel(window, x, y)));
    return out;
  }
};

// The blit of the video-memory brush carries the matrix, the anchor and the
// level, and the adapter draws what the software path draws of the same
// picture held in software memory.
TEST_F(AdapterDrawnBrushTest, TransformAndOpacityGoToTheBlit) {
  if (access("/usr/bin/convert", X_OK) != 0) GTEST_SKIP() << "ImageMagick is not installed";
  auto lastParams = Symbol<int32_t (*)(QmBlitParams*)>("TestDisplayLastBlitParams");
  ASSERT_NE(lastParams, nullptr);
  EXPECT_EQ(AdapterSupportedBitmapFlags(512 | 1024), 512u | 1024u);
  // 12 x 7 pixels that all differ.
  const std::string png = root + "/coded.png";
  ASSERT_EQ(std::system(("/usr/bin/convert -size 12x7 xc: -channel R -fx 'i/11' -channel G -fx "
                         "'j/6' -channel B -fx '((i*5+j*3)%13)/12' +channel -alpha off -depth 8 '" +
                         png + "'")
                            .c_str()),
            0);
  for (auto [id, hardware] : {std::pair<int32_t, bool>{2, true}, {3, false}}) {
    VmPushNumber(L, id);
    VmPushString(L, png.c_str());
    VmNewTable(L);
    VmPushString(L, "hardware");
    VmPushBoolean(L, hardware);
    VmSetTable(L, -3);
    ASSERT_EQ(Call("LoadBrush", 3), ERR_NONE);
  }
  ASSERT_TRUE(Brush(2) && Brush(2)->video);
  ASSERT_FALSE(Brush(3)->video);
  ASSERT_EQ(CallWith("CreateBrush", {9, 64, 48, BACKGROUND}), ERR_NONE);
  ASSERT_EQ(CallWith("BeginDoubleBuffer", {1}), ERR_NONE);  // drawing goes to video memory
  struct Case {
    const char* name;
    std::initializer_list<std::pair<const char*, double>> options;
    uint32_t flags;
    std::array<double, 4> matrix;
    double anchor;
    int32_t level, boxWidth, boxHeight;
  } cases[] = {
      {"a quarter turn", {{"rotate", 90}}, QM_BLITPARAM_TRANSFORM, {0, -1, 1, 0}, 0, 255, 7, 12},
      {"a half turn about the centre",
       {{"rotate", 180}, {"anchorx", 0.5}, {"anchory", 0.5}},
       QM_BLITPARAM_TRANSFORM,
       {-1, 0, 0, -1},
       0.5,
       255,
       12,
       7},
      {"twice the size",
       {{"scalex", 2}, {"scaley", 2}},
       QM_BLITPARAM_TRANSFORM,
       {2, 0, 0, 2},
       0,
       255,
       24,
       14},
      {"faded", {{"transparency", 100}}, QM_BLITPARAM_LEVEL, {1, 0, 0, 1}, 0, 155, 12, 7},
      {"three quarter turn and faded",
       {{"rotate", 270}, {"transparency", 200}},
       QM_BLITPARAM_TRANSFORM | QM_BLITPARAM_LEVEL,
       {0, 1, -1, 0},
       0,
       55,
       7,
       12},
      // Other angles and sizes are sampled as the software transform
      // samples them.
      {"a twelfth turn",
       {{"rotate", 30}},
       QM_BLITPARAM_TRANSFORM,
       {std::sqrt(3.0) / 2, -0.5, 0.5, std::sqrt(3.0) / 2},
       0,
       255,
       14,
       12},
      {"an eighth turn about the centre, faded",
       {{"rotate", 45}, {"anchorx", 0.5}, {"anchory", 0.5}, {"transparency", 60}},
       QM_BLITPARAM_TRANSFORM | QM_BLITPARAM_LEVEL,
       {std::sqrt(0.5), -std::sqrt(0.5), std::sqrt(0.5), std::sqrt(0.5)},
       0.5,
       195,
       13,
       13},
      {"one and a half wide, three quarters high",
       {{"scalex", 1.5}, {"scaley", 0.75}},
       QM_BLITPARAM_TRANSFORM,
       {1.5, 0, 0, 0.75},
       0,
       255,
       18,
       5},
      {"a quarter turn of twice the width",
       {{"rotate", 90}, {"scalex", 2}},
       QM_BLITPARAM_TRANSFORM,
       {0, -2, 1, 0},
       0,
       255,
       7,
       24},
  };
  const std::vector<uint32_t> empty = Shown(9, {});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint32_t> software = Shown(3, c.options);
    EXPECT_NE(software, empty);
    QmBlitParams before{};
    const int32_t blits = lastParams(&before);
    EXPECT_EQ(Shown(2, c.options), software);
    QmBlitParams p{};
    ASSERT_EQ(lastParams(&p), blits + 1);
    EXPECT_EQ(p.flags, c.flags);
    if (c.flags & QM_BLITPARAM_TRANSFORM) {
      for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(p.matrix[i], c.matrix[i]) << i;
      EXPECT_EQ(p.anchorX, c.anchor);
      EXPECT_EQ(p.anchorY, c.anchor);
    }
    if (c.flags & QM_BLITPARAM_LEVEL) {
      EXPECT_EQ(p.level, c.level);
    }
    EXPECT_EQ(p.boxWidth, c.boxWidth);
    EXPECT_EQ(p.boxHeight, c.boxHeight);
  }
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

// Seeded random lists, merged twice with more added between, against the
// plain rule applied until nothing changes: every pair that overlaps or
// touches becomes one rectangle. Iteration i seeds its generator with i.
TEST(DirtyRects, MergingMatchesThePlainRuleOnRandomLists) {
  struct Rng {
    uint64_t s;
    uint32_t next(uint32_t n) {
      s = s * 6364136223846793005ull + 1442695040888963407ull;
      return static_cast<uint32_t>(s >> 33) % n;
    }
  };
  using Box = std::array<int32_t, 4>;
  auto touch = [](const Box& a, const Box& b) {
    return int64_t{b[0]} - a[2] <= 1 && int64_t{a[0]} - b[2] <= 1 && int64_t{b[1]} - a[3] <= 1 &&
           int64_t{a[1]} - b[3] <= 1;
  };
  auto plain = [&](std::vector<Box> boxes) {
    for (bool changed = true; changed;) {
      changed = false;
      for (size_t i = 0; i < boxes.size(); ++i)
        for (size_t j = i + 1; j < boxes.size(); ++j)
          if (touch(boxes[i], boxes[j])) {
            boxes[i] = {std::min(boxes[i][0], boxes[j][0]), std::min(boxes[i][1], boxes[j][1]),
                        std::max(boxes[i][2], boxes[j][2]), std::max(boxes[i][3], boxes[j][3])};
            boxes.erase(boxes.begin() + static_cast<ptrdiff_t>(j));
            changed = true;
            j = i;
          }
    }
    std::sort(boxes.begin(), boxes.end());
    return boxes;
  };
  auto live = [](const DirtyList& list) {
    std::vector<Box> out;
    for (int32_t i = 0; i < list.count; ++i)
      if (!list.entries[i].merged)
        out.push_back(
            {list.entries[i].x1, list.entries[i].y1, list.entries[i].x2, list.entries[i].y2});
    std::sort(out.begin(), out.end());
    return out;
  };
  for (uint64_t i = 0; i < 200; ++i) {
    Rng rng{i};
    DirtyList list{};
    std::vector<Box> added;
    const int32_t area = 40 + static_cast<int32_t>(rng.next(400)), side = 1 + rng.next(24);
    auto add = [&](uint32_t n) {
      for (uint32_t k = 0; k < n; ++k) {
        int32_t x = static_cast<int32_t>(rng.next(area)) - 10,
                y = static_cast<int32_t>(rng.next(area)) - 10;
        Box b{x, y, x + static_cast<int32_t>(rng.next(side)),
              y + static_cast<int32_t>(rng.next(side))};
        AddDirtyRect(&list, b[0], b[1], b[2], b[3], 1);
        added.push_back(b);
      }
    };
    add(1 + rng.next(150));
    MergeDirtyRects(&list);
    ASSERT_EQ(live(list), plain(added)) << "iteration " << i;
    add(rng.next(60));
    MergeDirtyRects(&list);
    ASSERT_EQ(live(list), plain(added)) << "iteration " << i;
    ASSERT_EQ(list.count, static_cast<int32_t>(added.size())) << "iteration " << i;
    FreeDirtyRects(&list);
  }
}

}  // namespace
