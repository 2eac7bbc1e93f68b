// The display library's window commands on the test display adapter:
// opening, closing, selecting, minimising, moving, retitling, resizing,
// re-moding, attribute changes, monitors and modes, and their refusals;
// then one run under Xvfb that moves and retitles a real X window.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "display/display_private.h"
#include "draw/draw_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "plugins/plugin_private.h"
#include "tests/display/display_fixture.h"
#include "tests/draw/value.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/adapter_display.h"
#include "tests/support/command_call.h"

namespace {

using Row = std::map<std::string, double>;

class DisplayCommandsTest : public adaptertest::AdapterTest {
 protected:
  DisplayCommandsTest() : AdapterTest({OpenDisplayLibrary, OpenBrushLibrary, OpenBGPicLibrary}) {}
  void SetUp() override {
    AdapterTest::SetUp();
    if (HasFatalFailure()) return;
    openArgs = Symbol<const char* (*)(void*, int32_t*)>("TestDisplayOpenArgs");
    windowState = Symbol<void (*)(void*, int32_t*)>("TestDisplayWindowState");
    ASSERT_TRUE(openArgs && windowState);
    messages.clear();
    if (!MakesDisplay()) return;
    OpenFirst(Value::Table({{"color", 0x336699}, {"layers", true}}));
    messages.clear();
  }

  virtual bool MakesDisplay() { return true; }
  static void* Window(DisplayRecord* display) {
    return reinterpret_cast<void*>(display->windowHandle);
  }
  // x, y, width, height, flags, open of the display's adapter window.
  std::vector<int32_t> Args(DisplayRecord* display, std::string* title = nullptr) {
    std::vector<int32_t> out(6, -1);
    const char* text = openArgs(Window(display), out.data());
    if (title && text) *title = text;
    return out;
  }

  // Runs the command; a table of tables it returns lands in rows.
  ErrorCode Call(const char* name, int nargs) {
    rows.clear();
    return testcall::CallCollecting(L, name, nargs, [first = true](VmState* L, int i) mutable {
      if (first) CollectRows(L, i);
      first = false;
    });
  }
  ErrorCode CallWith(const char* name, std::vector<Value> args) {
    for (const Value& a : args) PushValue(L, a);
    return Call(name, static_cast<int>(args.size()));
  }
  // The rows of a list of tables with x, y, width and height.
  static void CollectRows(VmState* L, int list) {
    if (VmType(L, list) != VM_TYPE_TABLE) return;
    for (int i = 0;; i++) {
      VmRawGetI(L, list, i);
      if (VmType(L, -1) != VM_TYPE_TABLE) break;
      Row row;
      for (const char* key : {"x", "y", "width", "height"}) {
        VmPushString(L, key);
        VmGetTable(L, -2);
        if (VmType(L, -1) == VM_TYPE_NUMBER) row[key] = VmToNumber(L, -1);
        VmSetTop(L, -2);
      }
      rows.push_back(row);
      VmSetTop(L, -2);
    }
  }
  static int32_t recordMessage(QmDisplayCallback*, int32_t message, const intptr_t* values, void*) {
    if (message == QM_DCB_SIZE) messages.push_back({values[0], values[1]});
    return 0;
  }

  static inline std::vector<Row> rows;
  static inline std::vector<std::pair<intptr_t, intptr_t>> messages;
  const char* (*openArgs)(void*, int32_t*) = nullptr;
  void (*windowState)(void*, int32_t*) = nullptr;
};

TEST_F(DisplayCommandsTest, RefusalsLeaveTheDisplayAsItWas) {
  VmPushNumber(L, 2);
  PushValue(L, Value::Table({{"hidden", true}}));
  ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
  struct Case {
    const char* command;
    std::vector<Value> args;
    ErrorCode expected;
  };
  const Case cases[] = {
      {"OpenDisplay", {1}, ERR_WRONGUSAGE},  // already open
      {"ShowDisplay", {}, ERR_WRONGUSAGE},   // open, not minimised
      {"ActivateDisplay", {2}, ERR_CLOSEDDISPLAY},
      {"CloseDisplay", {2}, ERR_WRONGUSAGE},
      {"ChangeDisplayMode", {DISPMODE_FULLSCREEN, 320, 200}, ERR_WRONGUSAGE},
      {"ChangeDisplayMode", {DISPMODE_ASK}, ERR_WRONGUSAGE},
      {"ChangeDisplaySize", {0, 200}, ERR_WRONGUSAGE},
      {"GetDisplayModes", {3}, ERR_MONITORRANGE},
      {"GetDisplayModes", {0}, ERR_MONITORRANGE},
      {"OpenDisplay", {2, Value::Table({{"monitor", 3}})}, ERR_MONITORRANGE},
      {"FreeDisplay", {1}, ERR_FREEADISPLAY},
      {"SetScreenTitle", {"x"}, ERR_UNSUPPORTEDFEAT},
      {"SetSubtitle", {"x"}, ERR_UNSUPPORTEDFEAT},
      {"GetPubScreens", {}, ERR_UNSUPPORTEDFEAT},
      {"ShowScreen", {"x"}, ERR_UNSUPPORTEDFEAT},
      {"HideScreen", {"x"}, ERR_UNSUPPORTEDFEAT},
      {"GetFrontScreen", {}, ERR_UNSUPPORTEDFEAT},
      {"SetDisplayAttributes", {Value::Table({{"fillstyle", 4}})}, ERR_WRONGUSAGE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CallWith(c.command, c.args), c.expected) << c.command;
    EXPECT_EQ(d->state, DISPSTATE_OPEN) << c.command;
    EXPECT_EQ(GetCurrentDisplay(), d) << c.command;
    EXPECT_EQ(d->width, 640) << c.command;
  }
  DisplayRecord* second = nullptr;
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 2}, &second), ERR_NONE);
  EXPECT_EQ(second->state, DISPSTATE_CLOSED);
}

TEST_F(DisplayCommandsTest, OpenSelectCloseAndFree) {
  VmPushNumber(L, 2);
  PushValue(L, Value::Table({{"hidden", true}, {"width", 200}, {"height", 100}}));
  ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
  DisplayRecord* second = nullptr;
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 2}, &second), ERR_NONE);

  // "noselect" opens without making it current; then SelectDisplay does.
  ASSERT_EQ(CallWith("OpenDisplay", {2, Value::Table({{"noselect", true}})}), ERR_NONE);
  EXPECT_EQ(second->state, DISPSTATE_OPEN);
  EXPECT_EQ(GetCurrentDisplay(), d);
  ASSERT_EQ(CallWith("SelectDisplay", {2}), ERR_NONE);
  EXPECT_EQ(GetCurrentDisplay(), second);
  EXPECT_EQ(GetCurrentBGPic(), second->bgpic);
  EXPECT_EQ(CallWith("ActivateDisplay", {1, 1}), ERR_NONE);

  void* window = Window(second);
  ASSERT_EQ(CallWith("CloseDisplay", {2}), ERR_NONE);
  EXPECT_EQ(second->state, DISPSTATE_CLOSED);
  EXPECT_EQ(Window(second), nullptr);
  std::vector<int32_t> a(6, -1);
  openArgs(window, a.data());
  EXPECT_EQ(a[5], 0);  // the adapter's window was closed
  EXPECT_EQ(CallWith("FreeDisplay", {2}), ERR_FREEADISPLAY);
  ASSERT_EQ(CallWith("SelectDisplay", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("FreeDisplay", {2}), ERR_NONE);
  EXPECT_EQ(FindDisplayById(ObjectId{nullptr, 2}, &second), ERR_FINDDISPLAY);
  // A plain number as second argument: non-zero means "do not select".
  VmPushNumber(L, 3);
  PushValue(L, Value::Table({{"hidden", true}}));
  ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
  ASSERT_EQ(CallWith("OpenDisplay", {3, 1}), ERR_NONE);
  EXPECT_EQ(GetCurrentDisplay(), d);
}

TEST_F(DisplayCommandsTest, HideAndShowMinimiseTheWindow) {
  int32_t state[3] = {};
  ASSERT_EQ(Call("HideDisplay", 0), ERR_NONE);
  windowState(Window(d), state);
  EXPECT_EQ(state[0], 1);
  EXPECT_EQ(d->state, DISPSTATE_MINIMIZED);
  EXPECT_EQ(Call("HideDisplay", 0), ERR_WRONGUSAGE);
  ASSERT_EQ(Call("ShowDisplay", 0), ERR_NONE);
  windowState(Window(d), state);
  EXPECT_EQ(state[0], 0);
  EXPECT_EQ(d->state, DISPSTATE_OPEN);
}

TEST_F(DisplayCommandsTest, MoveResolvesPositionsOnTheMonitor) {
  // The adapter's frame: 2 pixels left, right and below, 20 above.
  struct Case {
    int32_t x, y, wantX, wantY;
  };
  const Case cases[] = {
      {POS_LEFT, POS_TOP, 0, 0},
      {POS_RIGHT, POS_BOTTOM, 1920 - 644, 1080 - 502},
      {POS_CENTER, 10, (1920 - 644) / 2, 10},
      {33, 44, 33, 44},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(CallWith("MoveDisplay", {c.x, c.y}), ERR_NONE);
    std::vector<int32_t> a = Args(d);
    EXPECT_EQ(a[0], c.wantX) << c.x;
    EXPECT_EQ(a[1], c.wantY) << c.y;
  }
  // On the second monitor the origin is added.
  d->monitor = 1;
  ASSERT_EQ(CallWith("MoveDisplay", {POS_LEFT, POS_TOP}), ERR_NONE);
  EXPECT_EQ(Args(d)[0], 1920);
}

TEST_F(DisplayCommandsTest, LongTitlesAreCutOnACharacterBoundary) {
  std::string title;
  for (int i = 0; i < 150; i++) title += "\xC3\xA9";  // 300 bytes of 'e' with acute
  ASSERT_EQ(CallWith("SetTitle", {title.c_str()}), ERR_NONE);
  std::string shown;
  Args(d, &shown);
  EXPECT_EQ(shown, title.substr(0, 254));
  EXPECT_STREQ(d->title, shown.c_str());
  // The option table's "title" is cut the same way.
  ASSERT_EQ(CallWith("SetDisplayAttributes", {Value::Table({{"title", title.c_str()}})}), ERR_NONE);
  EXPECT_EQ(std::string(d->title), title.substr(0, 254));
  ASSERT_EQ(CallWith("SetTitle", {"short"}), ERR_NONE);
  Args(d, &shown);
  EXPECT_EQ(shown, "short");
}

TEST_F(DisplayCommandsTest, ChangeDisplaySizeResizesAndTellsTheCallbacks) {
  ASSERT_NE(AddDisplayCallback(1, recordMessage, nullptr, nullptr, 0), nullptr);
  ASSERT_EQ(CallWith("ChangeDisplaySize", {800, 600}), ERR_NONE);
  std::vector<int32_t> a = Args(d);
  EXPECT_EQ(a[2], 800);
  EXPECT_EQ(a[3], 600);
  // Without a position the window is centred on its monitor.
  EXPECT_EQ(a[0], (1920 - 804) / 2);
  EXPECT_EQ(a[1], (1080 - 622) / 2);
  EXPECT_EQ(d->bgpic->width, 800);
  EXPECT_EQ(pixel(Window(d), 799, 599), 0x336699);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), std::make_pair(intptr_t{800}, intptr_t{600}));

  // Percentages are of the picture's own size, which stays 640 x 480.
  ASSERT_EQ(CallWith("MoveDisplay", {10, 20}), ERR_NONE);
  ASSERT_EQ(CallWith("ChangeDisplaySize",
                     {"50%", "50%", Value::Table({{"x", KEEPPOSITION}, {"y", KEEPPOSITION}})}),
            ERR_NONE);
  a = Args(d);
  EXPECT_EQ(a[0], 10);
  EXPECT_EQ(a[1], 20);
  EXPECT_EQ(a[2], 320);
  EXPECT_EQ(a[3], 240);
  ASSERT_EQ(
      CallWith("ChangeDisplaySize", {400, 300, Value::Table({{"x", 200000}, {"y", KEEPPOSITION}})}),
      ERR_NONE);
  a = Args(d);
  EXPECT_EQ(a[0], (1920 - 404) / 2);
  EXPECT_EQ(a[1], 20);
  RemoveDisplayCallback(d->callbacks);
}

TEST_F(DisplayCommandsTest, FullScreenReopensTheWindowWithItsFlag) {
  void* windowed = Window(d);
  ASSERT_EQ(CallWith("ChangeDisplayMode", {DISPMODE_FULLSCREEN}), ERR_NONE);
  ASSERT_NE(Window(d), windowed);
  EXPECT_TRUE(Args(d)[4] & QM_DISPLAY_FULLSCREEN);
  EXPECT_EQ(d->fullscreen, 1);
  ASSERT_EQ(CallWith("ChangeDisplayMode", {DISPMODE_WINDOWED}), ERR_NONE);
  EXPECT_FALSE(Args(d)[4] & QM_DISPLAY_FULLSCREEN);
  EXPECT_EQ(d->fullscreen, 0);
  // The same windowed mode again keeps the window.
  void* again = Window(d);
  ASSERT_EQ(CallWith("ChangeDisplayMode", {DISPMODE_WINDOWED}), ERR_NONE);
  EXPECT_EQ(Window(d), again);
}

TEST_F(DisplayCommandsTest, MonitorsAndModesComeFromTheAdapter) {
  ASSERT_EQ(Call("GetMonitors", 0), ERR_NONE);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (Row{{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}}));
  EXPECT_EQ(rows[1], (Row{{"x", 1920}, {"y", 0}, {"width", 1280}, {"height", 1024}}));
  ASSERT_EQ(CallWith("GetDisplayModes", {2}), ERR_NONE);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (Row{{"width", 640}, {"height", 480}}));
  EXPECT_EQ(rows[2], (Row{{"width", 1920}, {"height", 1080}}));
}

TEST_F(DisplayCommandsTest, AttributesApplyInPlaceOrReopen) {
  void* window = Window(d);
  ASSERT_EQ(CallWith("SetDisplayAttributes", {Value::Table({{"title", "x"}, {"x", 5}, {"y", 6}})}),
            ERR_NONE);
  std::string title;
  std::vector<int32_t> a = Args(d, &title);
  EXPECT_EQ(Window(d), window);  // the same window, retitled and moved
  EXPECT_EQ(title, "x");
  EXPECT_EQ(a[0], 5);
  EXPECT_EQ(a[1], 6);

  // A new fill colour redraws the display's own picture.
  ASSERT_EQ(CallWith("SetDisplayAttributes", {Value::Table({{"color", 0xFF0000}})}), ERR_NONE);
  EXPECT_EQ(Window(d), window);
  EXPECT_EQ(pixel(window, 100, 100), 0xFF0000);

  // A new size resizes the picture and the window.
  ASSERT_EQ(CallWith("SetDisplayAttributes", {Value::Table({{"width", 320}, {"height", 200}})}),
            ERR_NONE);
  a = Args(d);
  EXPECT_EQ(a[2], 320);
  EXPECT_EQ(a[3], 200);
  EXPECT_EQ(d->bgpic->width, 320);

  // "borderless" is fixed when a window is made: a new window, whose
  // drawing area stays where it was.
  ASSERT_EQ(CallWith("SetDisplayAttributes", {Value::Table({{"borderless", true}})}), ERR_NONE);
  ASSERT_NE(Window(d), window);
  a = Args(d);
  EXPECT_TRUE(a[4] & QM_DISPLAY_BORDERLESS);
  EXPECT_EQ(a[0], 5 + 2);
  EXPECT_EQ(a[1], 6 + 20);
  EXPECT_EQ(pixel(Window(d), 10, 10), 0xFF0000);
}

TEST_F(DisplayCommandsTest, NewPictureIsShownAndEndsTheSelection) {
  ASSERT_EQ(CallWith("CreateBGPic", {7, 100, 50, 0x00FF00}), ERR_NONE);
  VmPushNil(L);  // the display's own picture
  VmPushNumber(L, 2);
  ASSERT_EQ(Call("SelectBGPic", 2), ERR_NONE);
  ASSERT_EQ(d->outputKind, OBJECT_BGPIC);
  ASSERT_EQ(CallWith("SetDisplayAttributes", {Value::Table({{"bgpic", 7}})}), ERR_NONE);
  EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  BGPic* pic = nullptr;
  ASSERT_EQ(GetBGPicObject(L, ObjectId{nullptr, 7}, &pic, 0), ERR_NONE);
  EXPECT_EQ(d->bgpic, pic);
  EXPECT_EQ(GetCurrentBGPic(), pic);
  std::vector<int32_t> a = Args(d);
  EXPECT_EQ(a[2], 100);
  EXPECT_EQ(a[3], 50);
  EXPECT_EQ(pixel(Window(d), 99, 49), 0x00FF00);
  EXPECT_EQ(d->textRight, 99);
}

// DisplayBGPic reconfigures the display as SetDisplayAttributes does: the
// window takes the picture's size at the position asked for (centred when
// none is), the callbacks hear of the size and the text cursor spans the
// new picture.
TEST_F(DisplayCommandsTest, ShownPicturesResizeThroughTheReconfiguration) {
  ASSERT_NE(AddDisplayCallback(1, recordMessage, nullptr, nullptr, 0), nullptr);
  ASSERT_EQ(CallWith("CreateBGPic", {7, 100, 50, 0x00FF00}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateBGPic", {8, 200, 70, 0x0000FF}), ERR_NONE);
  struct Case {
    const char* command;
    Value arg;
    std::vector<int32_t> window;  // x, y, width, height
    uint32_t colour;
  };
  const Case cases[] = {
      {"DisplayBGPic", 7, {(1920 - 104) / 2, (1080 - 72) / 2, 100, 50}, 0x00FF00},
      {"DisplayBGPic", Value::Table({{"x", POS_LEFT}, {"y", 30}}), {0, 30, 100, 50}, 0x00FF00},
      {"SetDisplayAttributes",
       Value::Table({{"bgpic", 8}, {"x", POS_RIGHT}, {"y", POS_BOTTOM}}),
       {1920 - 204, 1080 - 92, 200, 70},
       0x0000FF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    messages.clear();
    if (c.arg.kind == Value::TABLE && std::string(c.command) == "DisplayBGPic")
      ASSERT_EQ(CallWith(c.command, {7, c.arg}), ERR_NONE);
    else
      ASSERT_EQ(CallWith(c.command, {c.arg}), ERR_NONE);
    std::vector<int32_t> a = Args(d);
    EXPECT_EQ(std::vector<int32_t>(a.begin(), a.begin() + 4), c.window);
    EXPECT_EQ(pixel(Window(d), c.window[2] - 1, c.window[3] - 1), c.colour);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), std::make_pair(intptr_t{c.window[2]}, intptr_t{c.window[3]}));
    EXPECT_EQ(d->textRight, c.window[2] - 1);
  }
  RemoveDisplayCallback(d->callbacks);
}

TEST_F(DisplayCommandsTest, SwitchingScalingOffResetsTheFactor) {
  VmPushNumber(L, 2);
  PushValue(L,
            Value::Table({{"hidden", true}, {"width", 100}, {"height", 80}, {"scalefactor", 2}}));
  ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
  DisplayRecord* scaled = nullptr;
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 2}, &scaled), ERR_NONE);
  ASSERT_EQ(CallWith("OpenDisplay", {2}), ERR_NONE);
  ASSERT_EQ(scaled->autoscale, 1);
  ASSERT_EQ(Args(scaled)[2], 200);
  ASSERT_EQ(CallWith("SetDisplayAttributes", {Value::Table({{"scalemode", SCALEMODE_NONE}})}),
            ERR_NONE);
  EXPECT_EQ(scaled->scaleFactor, 1.0);
  EXPECT_EQ(scaled->scaleFactorActive, 0);
  EXPECT_EQ(scaled->autoscale, 0);
  EXPECT_EQ(scaled->scaleWidth, 0);
  std::vector<int32_t> a = Args(scaled);
  EXPECT_EQ(a[2], 100);
  EXPECT_EQ(a[3], 80);
  ASSERT_EQ(CallWith("SelectDisplay", {1}), ERR_NONE);
}

// On a display with a scale factor, new sizes are in factor units: the
// drawing takes the size and the window that size times the factor.
TEST_F(DisplayCommandsTest, SizesOfAScaleFactorDisplayAreInFactorUnits) {
  VmPushNumber(L, 2);
  PushValue(L,
            Value::Table({{"hidden", true}, {"width", 100}, {"height", 80}, {"scalefactor", 2}}));
  ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
  DisplayRecord* scaled = nullptr;
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 2}, &scaled), ERR_NONE);
  ASSERT_EQ(CallWith("OpenDisplay", {2}), ERR_NONE);
  ASSERT_EQ(CallWith("ChangeDisplaySize", {150, 60}), ERR_NONE);
  std::vector<int32_t> a = Args(scaled);
  EXPECT_EQ(a[2], 300);
  EXPECT_EQ(a[3], 120);
  EXPECT_EQ(scaled->bgpic->width, 150);
  EXPECT_EQ(scaled->bgpic->height, 60);
  EXPECT_EQ(scaled->scaleX, 2.0);
  EXPECT_EQ(scaled->scaleY, 2.0);
  ASSERT_EQ(CallWith("SelectDisplay", {1}), ERR_NONE);
}

TEST_F(DisplayCommandsTest, DrawingGoesIntoASelectedPicture) {
  ASSERT_EQ(CallWith("CreateBGPic", {7, 40, 30, 0x000080}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateBrush", {5, 10, 10, 0xFFFF00}), ERR_NONE);
  int64_t before = pixel(Window(d), 5, 5);
  ASSERT_EQ(CallWith("SelectBGPic", {7, 0}), ERR_NONE);
  EXPECT_EQ(d->outputKind, OBJECT_BRUSH);
  // The picture stays while drawing goes into it.
  EXPECT_EQ(CallWith("FreeBGPic", {7}), ERR_MODIFYABGPIC);
  EXPECT_EQ(CallWith("ScaleBGPic", {7, 80, 60}), ERR_MODIFYABGPIC);
  ASSERT_EQ(CallWith("DisplayBrush", {5, 2, 3}), ERR_NONE);
  ASSERT_EQ(Call("EndSelect", 0), ERR_NONE);
  EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  EXPECT_EQ(pixel(Window(d), 5, 5), before);  // nothing reached the screen
  BGPic* pic = nullptr;
  ASSERT_EQ(GetBGPicObject(L, ObjectId{nullptr, 7}, &pic, 0), ERR_NONE);
  EXPECT_EQ(ReadBitmapPixel(pic->bitmap, 2, 3, 0) & 0xFFFFFF, 0xFFFF00u);
  EXPECT_EQ(ReadBitmapPixel(pic->bitmap, 11, 12, 0) & 0xFFFFFF, 0xFFFF00u);
  EXPECT_EQ(ReadBitmapPixel(pic->bitmap, 12, 13, 0) & 0xFFFFFF, 0x000080u);
  // A picture that a display shows is refused.
  VmPushLightUserdata(L, d->bgpic->head.autoId);
  VmPushNumber(L, 0);
  EXPECT_EQ(Call("SelectBGPic", 2), ERR_SELECTBGPIC2);
  EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  // A mask the picture lacks is made by the first drawing into it.
  ASSERT_EQ(CallWith("SelectMask", {7, 1}), ERR_NONE);
  EXPECT_EQ(d->outputKind, OUTPUT_MASK);
  ASSERT_EQ(Call("EndSelect", 0), ERR_NONE);
  EXPECT_EQ(CallWith("FreeBGPic", {7}), ERR_NONE);
}

// Start-up's preload: displays are made before any window opens.
class PreloadedDisplayTest : public DisplayCommandsTest {
 protected:
  bool MakesDisplay() override { return false; }
};

TEST_F(PreloadedDisplayTest, DisplayOneShowsPictureOneOnceOpened) {
  ASSERT_EQ(CallWith("CreateBGPic", {1, 10, 10, 0xFF0000}), ERR_NONE);
  Preloading(1);
  // A desktop display cannot take over an existing picture 1.
  VmPushNumber(L, 1);
  PushValue(L, Value::Table({{"desktop", true}}));
  EXPECT_EQ(Call("CreateDisplay", 2), ERR_DISPLAYDESKTOP);
  BGPic* old = nullptr;
  ASSERT_EQ(GetBGPicObject(L, ObjectId{nullptr, 1}, &old, 0), ERR_NONE);
  EXPECT_EQ(old->width, 10);

  VmPushNumber(L, 1);
  PushValue(L, Value::Table({{"width", 320}, {"height", 200}, {"color", 0x336699}}));
  ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
  Preloading(0);
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
  BGPic* pic = nullptr;
  ASSERT_EQ(GetBGPicObject(L, ObjectId{nullptr, 1}, &pic, 0), ERR_NONE);
  EXPECT_EQ(d->bgpic, pic);
  EXPECT_EQ(pic->width, 320);
  EXPECT_EQ(pic->bitmap, nullptr);  // a pixel picture until the first opening
  EXPECT_NE(pic->pictureHandle, nullptr);

  ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
  EXPECT_EQ(pic->pictureHandle, nullptr);
  ASSERT_NE(pic->bitmap, nullptr);
  std::vector<int32_t> a = Args(d);
  ASSERT_EQ(a[2], 320);
  ASSERT_EQ(a[3], 200);
  int wrong = 0;
  for (int32_t y = 0; y < 200; y++)
    for (int32_t x = 0; x < 320; x++) wrong += pixel(Window(d), x, y) != 0x336699;
  EXPECT_EQ(wrong, 0);
}

// ---- Under Xvfb ----

int XwininfoField(const std::string& text, const char* field) {
  std::smatch m;
  std::regex re(std::string(field) + ":\\s+(-?\\d+)");
  return std::regex_search(text, m, re) ? std::stoi(m[1]) : -99999;
}

class DisplayCommandsX11Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new DisplayTestServer("1024x768x24"); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server->running());
    setenv("DISPLAY", server->name().c_str(), 1);
    SetNoPointerThread(1);
    ASSERT_EQ(OpenX11Connection(), ERR_NONE);
    for (ErrorCode (*open)(VmState*) : {OpenDisplayLibrary, OpenBGPicLibrary}) {
      VmPushValue(h.L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(h.L), ERR_NONE);
      VmSetTop(h.L, 0);
    }
  }
  void TearDown() override {
    CloseDisplayLibrary(h.L);
    CloseX11Connection();
    SetNoPointerThread(0);
    unsetenv("DISPLAY");
  }
  static inline DisplayTestServer* server = nullptr;
  PlayerHarness h;
};

TEST_F(DisplayCommandsX11Test, MoveRetitleAndAttributesKeepTheWindow) {
  VmPushNumber(h.L, 1);
  PushOptions(h.L, {{"width", 320}, {"height", 200}});
  ASSERT_EQ(h.Call("CreateDisplay", 2), ERR_NONE);
  VmSetTop(h.L, 0);
  DisplayRecord* d = nullptr;
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  unsigned long w = GetDisplayWindowId(d);
  ASSERT_NE(w, 0u);

  VmPushNumber(h.L, POS_LEFT);
  VmPushNumber(h.L, POS_TOP);
  ASSERT_EQ(h.Call("MoveDisplay", 2), ERR_NONE);
  VmPushString(h.L, "Moved \xC3\xA9");
  ASSERT_EQ(h.Call("SetTitle", 1), ERR_NONE);
  VmSetTop(h.L, 0);
  XSync(d->x11->display, False);
  std::string info = server->run({"xwininfo", "-id", std::to_string(w)});
  EXPECT_EQ(XwininfoField(info, "Absolute upper-left X"), 0) << info;
  EXPECT_EQ(XwininfoField(info, "Absolute upper-left Y"), 0) << info;
  EXPECT_EQ(server->run({"xdotool", "getwindowname", std::to_string(w)}), "Moved \xC3\xA9\n");

  PushOptions(h.L, {{"title", "x"}});
  ASSERT_EQ(h.Call("SetDisplayAttributes", 1), ERR_NONE);
  VmSetTop(h.L, 0);
  XSync(d->x11->display, False);
  EXPECT_EQ(GetDisplayWindowId(d), w);
  EXPECT_EQ(server->run({"xdotool", "getwindowname", std::to_string(w)}), "x\n");

  // Switching "borderless" makes a new window with the drawing area in place.
  PushOptions(h.L, {{"borderless", 1}});
  ASSERT_EQ(h.Call("SetDisplayAttributes", 1), ERR_NONE);
  VmSetTop(h.L, 0);
  unsigned long w2 = GetDisplayWindowId(d);
  ASSERT_NE(w2, 0u);
  XSync(d->x11->display, False);
  info = server->run({"xwininfo", "-id", std::to_string(w2)});
  EXPECT_EQ(XwininfoField(info, "Absolute upper-left X"), 0) << info;
  EXPECT_EQ(XwininfoField(info, "Width"), 320);
}

TEST_F(DisplayCommandsX11Test, FullScreenDisplayGetsItsBackfill) {
  VmPushNumber(h.L, 1);
  PushValue(h.L,
            Value::Table({{"mode", "fullscreen"},
                          {"color", 0x336699},
                          {"backfill", Value::Table({{"type", "color"}, {"color", 0x00FF00}})}}));
  ASSERT_EQ(h.Call("CreateDisplay", 2), ERR_NONE);
  VmSetTop(h.L, 0);
  DisplayRecord* d = nullptr;
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  ASSERT_TRUE(d->fullscreen);
  ASSERT_TRUE(d->backfillDisplayMade);
  DisplayRecord* behind = nullptr;
  ASSERT_EQ(FindDisplayById(d->backfillDisplay, &behind), ERR_NONE);
  EXPECT_TRUE(behind->isBackfill);
  EXPECT_TRUE(behind->flags & DSF_BORDERLESS);
  unsigned long front = GetDisplayWindowId(d), back = GetDisplayWindowId(behind);
  ASSERT_NE(back, 0u);
  XSync(d->x11->display, False);
  std::string info = server->run({"xwininfo", "-id", std::to_string(back)});
  EXPECT_EQ(XwininfoField(info, "Absolute upper-left X"), 0) << info;
  EXPECT_EQ(XwininfoField(info, "Absolute upper-left Y"), 0);
  EXPECT_EQ(XwininfoField(info, "Width"), 1024);
  EXPECT_EQ(XwininfoField(info, "Height"), 768);

  ::Display* probe = XOpenDisplay(server->name().c_str());
  ASSERT_NE(probe, nullptr);
  // The backfill lies below the display's window, and shows its colour
  // where the display does not cover the screen.
  ::Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  ASSERT_TRUE(XQueryTree(probe, DefaultRootWindow(probe), &root, &parent, &children, &count));
  std::vector<::Window> order(children, children + count);
  XFree(children);
  auto at = [&](unsigned long w) {
    return std::find(order.begin(), order.end(), w) - order.begin();
  };
  EXPECT_LT(at(back), at(front));
  XImage* image = XGetImage(probe, DefaultRootWindow(probe), 3, 3, 1, 1, AllPlanes, ZPixmap);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(XGetPixel(image, 0, 0) & 0xFFFFFF, 0x00FF00u);
  XDestroyImage(image);
  XCloseDisplay(probe);

  VmPushNumber(h.L, 1);
  ASSERT_EQ(h.Call("CloseDisplay", 1), ERR_NONE);
  VmSetTop(h.L, 0);
  EXPECT_FALSE(d->backfillDisplayMade);
  std::string left = server->run({"xwininfo", "-root", "-children"});
  EXPECT_NE(left.find(" 0 children"), std::string::npos) << left;
}

}  // namespace
