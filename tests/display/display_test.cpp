// Display records and windows under a private Xvfb without a window
// manager: CreateDisplay's options and errors, window placement, title,
// pixels and window-manager properties, hidden displays, scaling with its
// bars, monitors, and that closing leaves no window behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <memory>
#include <regex>
#include <vector>

#include "display/adapter_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "tests/display/display_fixture.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/system_private.h"
#include "platform/linux/x11calls_private.h"
#include "platform/linux/desktop_private.h"
#include "platform/linux/requester_private.h"
#include "tests/support/harness.h"
#include "gfx/bitmap_private.h"

namespace {

constexpr uint32_t COLOUR = 0x336699;

int RootChildren(const DisplayTestServer& server) {
  std::string text = server.run({"xwininfo", "-root", "-children"});
  std::smatch m;
  if (std::regex_search(text, m, std::regex("(\\d+) child"))) return std::stoi(m[1]);
  return text.find("no children") != std::string::npos ? 0 : -1;
}

int XwininfoField(const std::string& text, const char* field) {
  std::smatch m;
  std::regex re(std::string(field) + ":\\s+(-?\\d+)");
  return std::regex_search(text, m, re) ? std::stoi(m[1]) : -99999;
}

// Base of the tests: one server for the fixture, the display library open in
// a fresh player, a second client connection for looking at the windows.
class DisplayTestBase : public ::testing::Test {
 protected:
  virtual DisplayTestServer& server() = 0;

  void SetUp() override {
    ASSERT_TRUE(server().running());
    setenv("DISPLAY", server().name().c_str(), 1);
    SetNoPointerThread(1);
    ASSERT_EQ(OpenX11Connection(), ERR_NONE);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
    probe = XOpenDisplay(server().name().c_str());
    ASSERT_NE(probe, nullptr);
  }
  void TearDown() override {
    CloseDisplayLibrary(h.L);
    CloseX11Connection();
    if (probe) XCloseDisplay(probe);
    SetNoPointerThread(0);
    unsetenv("DISPLAY");
  }

  ErrorCode Create(int32_t id, const Options& options, DisplayRecord** out = nullptr) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, id);
    PushOptions(h.L, options);
    ErrorCode error = h.Call("CreateDisplay", 2);
    VmSetTop(h.L, 0);
    if (out) FindDisplayById(ObjectId{nullptr, id}, out);
    return error;
  }

  // The program's requests are flushed, not synced: the server may still
  // hold some when another client asks for pixels.
  static void Sync(DisplayRecord* d) { XSync(d->x11->display, False); }

  // The window's pixels as 0xRRGGBB.
  uint32_t WindowPixel(DisplayRecord* d, int x, int y) {
    Sync(d);
    XImage* image = XGetImage(probe, GetDisplayWindowId(d), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return 0xdeadbeef;
    uint32_t pixel = static_cast<uint32_t>(XGetPixel(image, 0, 0)) & 0xffffff;
    XDestroyImage(image);
    return pixel;
  }

  PlayerHarness h;
  Display* probe = nullptr;
};

class DisplayTest : public DisplayTestBase {
 protected:
  static void SetUpTestSuite() { shared = new DisplayTestServer("1024x768x24"); }
  static void TearDownTestSuite() {
    delete shared;
    shared = nullptr;
  }
  DisplayTestServer& server() override { return *shared; }
  static DisplayTestServer* shared;
};
DisplayTestServer* DisplayTest::shared = nullptr;

TEST_F(DisplayTest, ColourDisplayOpensCentredTitledFilledAndClosesWithoutTrace) {
  DisplayRecord* d = nullptr;
  ASSERT_EQ(Create(1, {{"color", COLOUR}, {"title", "Quillmere Test"}}, &d), ERR_NONE);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->state, DISPSTATE_CLOSED);
  EXPECT_EQ(GetDisplayWindowId(d), 0u);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  ASSERT_EQ(d->state, DISPSTATE_OPEN);
  Window w = GetDisplayWindowId(d);
  ASSERT_NE(w, 0u);

  std::string info = server().run({"xwininfo", "-id", std::to_string(w)});
  EXPECT_EQ(XwininfoField(info, "Absolute upper-left X"), 192) << info;
  EXPECT_EQ(XwininfoField(info, "Absolute upper-left Y"), 144);
  EXPECT_EQ(XwininfoField(info, "Width"), 640);
  EXPECT_EQ(XwininfoField(info, "Height"), 480);
  EXPECT_NE(info.find("IsViewable"), std::string::npos);
  std::string name = server().run({"xprop", "-id", std::to_string(w), "WM_NAME"});
  EXPECT_NE(name.find("\"Quillmere Test\""), std::string::npos) << name;
  std::string protocols = server().run({"xprop", "-id", std::to_string(w), "WM_PROTOCOLS"});
  EXPECT_NE(protocols.find("WM_DELETE_WINDOW"), std::string::npos) << protocols;
  // The icon arrives whole, value for value (Xlib hands 32-bit items back
  // sign-extended in longs).
  std::vector<long> icon = ReadLongProperty(probe, w, "_NET_WM_ICON");
  ASSERT_EQ(icon.size(), 69706u);
  const uint32_t* block = GetWindowIconBlock();
  EXPECT_TRUE(std::equal(icon.begin(), icon.end(), block, [](long got, uint32_t want) {
    return static_cast<uint32_t>(got) == want;
  }));
  EXPECT_EQ(ReadLongProperty(probe, w, "XdndAware"), std::vector<long>{5});

  // In UTF-8 mode the names go out without Xlib's locale database: the
  // legacy names as Latin-1 STRING when every character fits, else as
  // UTF8_STRING, the extended names always as UTF8_STRING.
  auto textProperty = [&](const char* name, std::string* type) {
    Atom actual;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string value;
    if (XGetWindowProperty(probe, w, XInternAtom(probe, name, False), 0, 1024, False,
                           AnyPropertyType, &actual, &format, &count, &after, &data) == Success &&
        data && format == 8) {
      value.assign(reinterpret_cast<char*>(data), count);
      char* typeName = XGetAtomName(probe, actual);
      *type = typeName;
      XFree(typeName);
    }
    if (data) XFree(data);
    return value;
  };
  struct TitleCase {
    const char* title;
    const char* legacy;
    const char* legacyType;
  };
  const TitleCase titles[] = {
      {"Plain", "Plain", "STRING"},
      {"Caf\xC3\xA9", "Caf\xE9", "STRING"},
      {"\xCE\xA3 sum", "\xCE\xA3 sum", "UTF8_STRING"},
  };
  int32_t savedMode = unicodeUtf8Mode;
  unicodeUtf8Mode = 1;
  for (const TitleCase& t : titles) {
    SCOPED_TRACE(t.legacy);
    std::strcpy(d->title, t.title);
    SetX11WindowTitle(d->x11, d->title);
    XSync(d->x11->display, False);
    std::string type;
    for (const char* name : {"WM_NAME", "WM_ICON_NAME"}) {
      EXPECT_EQ(textProperty(name, &type), t.legacy) << name;
      EXPECT_EQ(type, t.legacyType) << name;
    }
    for (const char* name : {"_NET_WM_NAME", "_NET_WM_ICON_NAME"}) {
      EXPECT_EQ(textProperty(name, &type), t.title) << name;
      EXPECT_EQ(type, "UTF8_STRING") << name;
    }
  }
  unicodeUtf8Mode = savedMode;

  int wrongBitmap = 0, wrongWindow = 0;
  Sync(d);
  XImage* image = XGetImage(probe, w, 0, 0, 640, 480, AllPlanes, ZPixmap);
  ASSERT_NE(image, nullptr);
  for (int y = 0; y < 480; y++)
    for (int x = 0; x < 640; x++) {
      wrongBitmap += ReadDisplayWindowPixel(d, x, y) != COLOUR;
      wrongWindow += (XGetPixel(image, x, y) & 0xffffff) != COLOUR;
    }
  XDestroyImage(image);
  EXPECT_EQ(wrongBitmap, 0);
  EXPECT_EQ(wrongWindow, 0);

  EXPECT_EQ(RootChildren(server()), 1);
  FreeAllDisplays(h.L);
  EXPECT_EQ(GetDisplayList(), nullptr);
  EXPECT_EQ(RootChildren(server()), 0);
}

TEST_F(DisplayTest, SpecialPositionsResolveAgainstTheMonitor) {
  struct Case {
    const char* name;
    int32_t x, y, wantX, wantY;
  } cases[] = {
      {"left top", POS_LEFT, POS_TOP, 0, 0},
      {"right bottom", POS_RIGHT, POS_BOTTOM, 384, 288},
      {"centre with offsets", POS_CENTER + 10, POS_TOP + 5, 202, 5},
      {"plain", 17, 23, 17, 23},
  };
  int32_t id = 1;
  for (const Case& c : cases) {
    DisplayRecord* d = nullptr;
    ASSERT_EQ(Create(id, {{"x", c.x}, {"y", c.y}}, &d), ERR_NONE) << c.name;
    ASSERT_EQ(OpenDisplayWindow(h.L, d, 0), ERR_NONE) << c.name;
    std::string info = server().run({"xwininfo", "-id", std::to_string(GetDisplayWindowId(d))});
    EXPECT_EQ(XwininfoField(info, "Absolute upper-left X"), c.wantX) << c.name;
    EXPECT_EQ(XwininfoField(info, "Absolute upper-left Y"), c.wantY) << c.name;
    id++;
  }
}

TEST_F(DisplayTest, WindowManagerHintsFollowTheStyle) {
  struct Case {
    const char* name;
    Options options;
    std::vector<long> motif;
    bool fullscreen, above;
  } cases[] = {
      {"borderless", {{"borderless", 1}}, {3, 0x13, 0, 0, 0}, false, false},
      {"fixed, not sizeable, no close",
       {{"fixed", 1}, {"noclose", 1}},
       {1, 0x37, 0, 0, 0},
       false,
       false},
      {"sizeable", {{"sizeable", 1}}, {1, 1, 0, 0, 0}, false, false},
      {"no hide", {{"sizeable", 1}, {"nohide", 1}}, {1, 9, 0, 0, 0}, false, false},
      {"borderless of the screen's size",
       {{"borderless", 1}, {"width", 1024}, {"height", 768}},
       {3, 0x13, 0, 0, 0},
       true,
       false},
      {"borderless screen size on top",
       {{"borderless", 1}, {"width", 1024}, {"height", 768}, {"alwaysontop", 1}},
       {3, 0x13, 0, 0, 0},
       true,
       true},
      {"framed of the screen's size",
       {{"width", 1024}, {"height", 768}},
       {1, 0x13, 0, 0, 0},
       false,
       false},
      {"on top", {{"alwaysontop", 1}}, {1, 0x13, 0, 0, 0}, false, true},
  };
  int32_t id = 1;
  for (const Case& c : cases) {
    DisplayRecord* d = nullptr;
    ASSERT_EQ(Create(id++, c.options, &d), ERR_NONE) << c.name;
    ASSERT_EQ(OpenDisplayWindow(h.L, d, 0), ERR_NONE) << c.name;
    Window w = GetDisplayWindowId(d);
    EXPECT_EQ(ReadLongProperty(probe, w, "_MOTIF_WM_HINTS"), c.motif) << c.name;
    std::vector<long> state = ReadLongProperty(probe, w, "_NET_WM_STATE");
    auto has = [&](const char* atomName) {
      Atom a = XInternAtom(probe, atomName, False);
      for (long v : state)
        if (static_cast<Atom>(v) == a) return true;
      return false;
    };
    EXPECT_EQ(has("_NET_WM_STATE_FULLSCREEN"), c.fullscreen) << c.name;
    EXPECT_EQ(has("_NET_WM_STATE_ABOVE"), c.above) << c.name;
    CloseDisplayWindow(h.L, d, nullptr, 20);
    EXPECT_EQ(GetDisplayWindowId(d), 0u);
  }
  EXPECT_EQ(RootChildren(server()), 0);
}

TEST_F(DisplayTest, HiddenDisplayStaysUnmappedAndOthersOpen) {
  DisplayRecord *hidden = nullptr, *shown = nullptr;
  ASSERT_EQ(Create(1, {{"hidden", 1}}, &hidden), ERR_NONE);
  ASSERT_EQ(Create(2, {}, &shown), ERR_NONE);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  EXPECT_EQ(hidden->state, DISPSTATE_CLOSED);
  EXPECT_EQ(GetDisplayWindowId(hidden), 0u);
  EXPECT_EQ(shown->state, DISPSTATE_OPEN);
  EXPECT_EQ(RootChildren(server()), 1);
  // Without an "active" display, display 1 becomes current.
  EXPECT_EQ(GetCurrentDisplay(), hidden);
}

TEST_F(DisplayTest, OptionErrorsLeaveNoDisplay) {
  auto regions = [](int count, int type, bool withX) {
    return [=](VmState* L) {
      VmPushString(L, "dragregion");
      VmNewTable(L);
      for (int i = 0; i < count; i++) {
        VmNewTable(L);
        Options o = {{"type", type}, {"y", 0}, {"width", 5}, {"height", 5}};
        if (withX) o.push_back({"x", 0});
        for (auto& [k, v] : o) {
          VmPushString(L, k.c_str());
          VmPushNumber(L, v.number);
          VmSetTable(L, -3);
        }
        VmRawSetI(L, -2, i);
      }
      VmSetTable(L, -3);
    };
  };
  struct Case {
    const char* name;
    Options options;
    std::function<void(VmState*)> extra;
    ErrorCode want;
  } cases[] = {
      {"fill style 4", {{"fillstyle", 4}}, nullptr, ERR_WRONGUSAGE},
      {"monitor 0", {{"monitor", 0}}, nullptr, ERR_MONITORRANGE},
      {"monitor beyond the list", {{"monitor", 2}}, nullptr, ERR_MONITORRANGE},
      {"unknown mode", {{"mode", "sideways"}}, nullptr, ERR_WRONGUSAGE},
      {"scale width 0", {{"scalewidth", 0}}, nullptr, ERR_WRONGUSAGE},
      {"scale mode 3", {{"scalemode", 3}}, nullptr, ERR_WRONGUSAGE},
      {"width 0", {{"width", 0}}, nullptr, ERR_WRONGUSAGE},
      {"region of type 13", {}, regions(1, 13, true), ERR_WRONGUSAGE},
      {"region without x", {}, regions(1, 14, false), ERR_MISSINGPARAMTR},
      {"65 regions", {}, regions(65, 14, true), ERR_WRONGUSAGE},
      {"64 regions", {}, regions(64, 14, true), ERR_NONE},
  };
  for (const Case& c : cases) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, 5);
    PushOptions(h.L, c.options);
    if (c.extra) c.extra(h.L);
    EXPECT_EQ(h.Call("CreateDisplay", 2), c.want) << c.name;
    DisplayRecord* d = nullptr;
    EXPECT_EQ(FindDisplayById(ObjectId{nullptr, 5}, &d) == ERR_NONE, c.want == ERR_NONE) << c.name;
    if (d) {
      EXPECT_EQ(d->dragCount, 64);
      SetCurrentDisplay(nullptr);
      EXPECT_EQ(FreeDisplayById(h.L, ObjectId{nullptr, 5}, 1), ERR_NONE);
    }
  }
}

TEST_F(DisplayTest, SizesFromScaleFactorNativeAndPercent) {
  DisplayRecord* d = nullptr;
  ASSERT_EQ(Create(1, {{"scalefactor", 2}}, &d), ERR_NONE);
  EXPECT_TRUE(d->autoscale);
  EXPECT_EQ(d->scaleWidth, 1280);
  EXPECT_EQ(d->scaleHeight, 960);
  EXPECT_EQ(d->width, 1280);
  EXPECT_EQ(d->bgpic->width, 640);
  EXPECT_DOUBLE_EQ(d->scaleX, 2.0);

  ASSERT_EQ(Create(2, {{"width", SIZE_NATIVE}, {"height", 100}}, &d), ERR_NONE);
  EXPECT_EQ(d->width, 1024);
  EXPECT_EQ(d->bgpic->width, 1024);

  ASSERT_EQ(Create(3, {{"scalemode", 1}, {"scalewidth", -50}, {"scaleheight", "25%"}}, &d),
            ERR_NONE);
  EXPECT_EQ(d->scaleWidth, 320);
  EXPECT_EQ(d->scaleHeight, 120);
  EXPECT_EQ(d->width, 320);

  // An automatic identifier comes back as the display itself.
  VmSetTop(h.L, 0);
  VmPushNil(h.L);
  ASSERT_EQ(h.Call("CreateDisplay", 1), ERR_NONE);
  ASSERT_EQ(VmType(h.L, -1), VM_TYPE_LIGHTUSERDATA);
  void* handle = VmToUserdata(h.L, -1);
  ASSERT_EQ(FindDisplayById(ObjectId{handle, 0}, &d), ERR_NONE);
  EXPECT_EQ(static_cast<void*>(d), handle);
  EXPECT_EQ(FindDisplayById(ObjectId{&d, 0}, &d), ERR_FINDARRAY);
  EXPECT_EQ(FindDisplayById(ObjectId{nullptr, 99}, &d), ERR_FINDDISPLAY);
}

TEST_F(DisplayTest, ScalingSetUpAtCreation) {
  struct Case {
    const char* name;
    Options options;
    int autoscale, layerscale, layers;
    int32_t windowW, windowH, pictureW, pictureH, marginTop;
    double factorX;  // a layer-scaled picture: scaled size / its own size
  } cases[] = {
      {"scale factor", {{"scalefactor", 2}}, 1, 0, 0, 1280, 960, 640, 480, 0, 2.0},
      {"layer scale",
       {{"scalemode", 2}, {"scalewidth", 800}, {"scaleheight", 600}},
       0,
       1,
       1,
       800,
       600,
       800,
       600,
       0,
       1.25},
      {"scale factor with layer scale",
       {{"scalefactor", 0.5}, {"scalemode", 2}},
       0,
       1,
       1,
       320,
       240,
       320,
       240,
       0,
       0.5},
      {"keep proportions",
       {{"scalemode", 1}, {"scalewidth", 1000}, {"scaleheight", 1000}, {"keepproportions", 1}},
       1,
       0,
       0,
       1000,
       1000,
       640,
       480,
       125,
       1000.0 / 640},
      {"fit to the monitor",
       {{"scalemode", 1}, {"fitscale", 1}},
       1,
       0,
       0,
       1024,
       768,
       640,
       480,
       0,
       1.6},
      {"no scaling", {{"scalewidth", 1000}}, 0, 0, 0, 640, 480, 640, 480, 0, 1.0},
  };
  int32_t id = 10;
  for (const Case& c : cases) {
    Options options = c.options;
    options.push_back({"color", COLOUR});
    DisplayRecord* d = nullptr;
    ASSERT_EQ(Create(id++, options, &d), ERR_NONE) << c.name;
    EXPECT_EQ(d->autoscale, c.autoscale) << c.name;
    EXPECT_EQ(d->layerscale, c.layerscale) << c.name;
    EXPECT_EQ(d->layers, c.layers) << c.name;
    EXPECT_EQ(d->width, c.windowW) << c.name;
    EXPECT_EQ(d->height, c.windowH) << c.name;
    EXPECT_EQ(d->bgpic->width, c.pictureW) << c.name;
    EXPECT_EQ(d->bgpic->height, c.pictureH) << c.name;
    EXPECT_EQ(d->windowBitmap->width, c.pictureW) << c.name;
    EXPECT_EQ(d->marginTop, c.marginTop) << c.name;
    EXPECT_DOUBLE_EQ(d->scaleX, c.factorX) << c.name;
    EXPECT_EQ(ReadDisplayWindowPixel(d, c.pictureW - 1, c.pictureH - 1), COLOUR) << c.name;
  }
}

TEST_F(DisplayTest, ReplacingTheCurrentDisplayIsRefused) {
  DisplayRecord* first = nullptr;
  ASSERT_EQ(Create(1, {{"color", COLOUR}}, &first), ERR_NONE);
  ASSERT_EQ(GetCurrentDisplay(), first);
  EXPECT_EQ(Create(1, {{"color", 0xff0000}}), ERR_FREEADISPLAY);
  DisplayRecord* again = nullptr;
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &again), ERR_NONE);
  EXPECT_EQ(again, first);
  EXPECT_EQ(ReadDisplayWindowPixel(first, 0, 0), COLOUR);
  // A display that is not current is replaced.
  DisplayRecord* second = nullptr;
  ASSERT_EQ(Create(2, {{"color", 0x000011}}), ERR_NONE);
  ASSERT_EQ(Create(2, {{"color", 0x000022}}, &second), ERR_NONE);
  EXPECT_EQ(ReadDisplayWindowPixel(second, 5, 5), 0x000022);
}

// Every allocation of CreateDisplay and of opening the window fails once in
// turn: the result is an error with nothing left behind (no record, no
// picture, no window; the sanitizer sees no leak), or a success that merely
// showed less.
TEST_F(DisplayTest, AllocationFailuresLeaveNothingBehind) {
  for (uint64_t n = 1;; n++) {
    DisplayRecord* d = nullptr;
    SetAllocFailure(n, false);
    ErrorCode error = CreateDisplayCore(h.L, ObjectId{nullptr, 7}, 0, 0, &d);
    SetAllocFailure(0, false);
    if (GetAllocFailureCount() == 0 && error == ERR_NONE) break;
    ASSERT_TRUE(error == ERR_MEM || error == ERR_BITMAP || error == ERR_SEMAPHORE)
        << n << ": " << error;
    EXPECT_EQ(GetDisplayList(), nullptr) << n;
    EXPECT_EQ(GetBGPicList(), nullptr) << n;
    ASSERT_LT(n, 1000u);
  }
  DisplayRecord* d = nullptr;
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 7}, &d), ERR_NONE);
  for (uint64_t n = 1;; n++) {
    SetAllocFailure(n, false);
    ErrorCode error = OpenDisplayWindow(h.L, d, 0);
    SetAllocFailure(0, false);
    bool failed = GetAllocFailureCount() != 0;
    if (error != ERR_NONE) {
      EXPECT_EQ(d->state, DISPSTATE_CLOSED) << n;
      EXPECT_EQ(GetDisplayWindowId(d), 0u) << n;
      EXPECT_EQ(RootChildren(server()), 0) << n;
    } else {
      EXPECT_EQ(d->state, DISPSTATE_OPEN) << n;
      CloseDisplayWindow(h.L, d, nullptr, 20);
      if (!failed) break;
    }
    ASSERT_LT(n, 1000u);
  }
}

// Where SafeBlt puts a blit while a display is current: into the window
// bitmap and then the window, straight into the window only, or into a
// given bitmap only.
TEST_F(DisplayTest, SafeBltTargetsOfTheCurrentDisplay) {
  DisplayRecord* d = nullptr;
  ASSERT_EQ(Create(1, {{"color", 0}, {"width", 64}, {"height", 64}}, &d), ERR_NONE);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  BitmapHandle* red = AllocBitmap(4, 4, 0, nullptr);
  BitmapHandle* target = AllocBitmap(64, 64, 0, nullptr);
  ASSERT_NE(red, nullptr);
  ASSERT_NE(target, nullptr);
  FillBitmapRect(red, 0, 0, 4, 4, 0xff0000);
  FillBitmapRect(target, 0, 0, 64, 64, 0);
  struct Case {
    const char* name;
    BitmapHandle* dest;
    uint32_t flags;
    int32_t x;
    int64_t wantBitmap;
    uint32_t wantWindow;
  } cases[] = {
      {"back buffer and refresh", nullptr, SAFEBLT_REFRESHBACK, 0, 0xff0000, 0xff0000},
      {"back buffer without refresh", nullptr, SAFEBLT_REFRESHBACK | SAFEBLT_NOREFRESH, 10,
       0xff0000, 0},
      {"straight to the window", nullptr, 0, 20, 0, 0xff0000},
      {"into a bitmap", target, SAFEBLT_BITMAPONLY, 30, 0, 0},
      {"clipped away", nullptr, SAFEBLT_REFRESHBACK, 70, -1, 0},
  };
  for (const Case& c : cases) {
    SafeBlt(h.L, red, 0, 0, c.dest, c.x, 0, 4, 4, 4, 4, 64, 64, c.flags, nullptr, nullptr, nullptr);
    EXPECT_EQ(ReadDisplayWindowPixel(d, c.x + 1, 1), c.wantBitmap) << c.name;
    if (c.x < 64) {
      EXPECT_EQ(WindowPixel(d, c.x + 1, 1), c.wantWindow) << c.name;
    }
  }
  EXPECT_EQ(ReadBitmapPixel(target, 31, 1, 0) & 0xffffff, 0xff0000u);
  EXPECT_EQ(ReadBitmapPixel(target, 1, 1, 0) & 0xffffff, 0u);
  FreeBitmap(red);
  FreeBitmap(target);
}

// Full screen on the one monitor: the first display takes the input grab,
// a second one on the same monitor is refused with the monitor's number.
TEST_F(DisplayTest, SecondFullScreenDisplayOnOneMonitorIsRefused) {
  DisplayRecord *first = nullptr, *second = nullptr;
  ASSERT_EQ(Create(1, {{"mode", "fullscreen"}, {"color", COLOUR}}, &first), ERR_NONE);
  ASSERT_EQ(Create(2, {{"mode", "fullscreen"}}, &second), ERR_NONE);
  ASSERT_EQ(OpenDisplayWindow(h.L, first, 0), ERR_NONE);
  EXPECT_TRUE(first->fullscreen);
  EXPECT_TRUE(first->x11->inputGrabbed);
  EXPECT_EQ(first->flags & (DSF_BORDERLESS | DSF_FIXED), DSF_BORDERLESS | DSF_FIXED);
  std::string info = server().run({"xwininfo", "-id", std::to_string(GetDisplayWindowId(first))});
  EXPECT_NE(info.find("Override Redirect State: yes"), std::string::npos) << info;
  EXPECT_EQ(OpenDisplayWindow(h.L, second, 0), ERR_MONITORFULLSCREEN);
  EXPECT_EQ(GetErrorArgNumber(), 1);
  EXPECT_EQ(second->state, DISPSTATE_CLOSED);
  CloseDisplayWindow(h.L, first, nullptr, 20);
  EXPECT_FALSE(first->fullscreen);
  EXPECT_FALSE(first->x11->inputGrabbed);
  ASSERT_EQ(OpenDisplayWindow(h.L, second, 0), ERR_NONE);
  EXPECT_TRUE(second->x11->inputGrabbed);
}

// The display mode asked on the console (GTK kept away): the answers of
// the mode requester, cancelling, end of input, and the list of screen
// modes behind "manual select".
TEST_F(DisplayTest, AskedDisplayModeFollowsTheAnswer) {
  CloseX11Connection();
  DesktopLibraryCalls noGtk{[](const char* file, int flags) -> void* {
                              if (std::strstr(file, "gtk") || std::strstr(file, "gdk"))
                                return nullptr;
                              return dlopen(file, flags);
                            },
                            nullptr};
  SetDesktopLibraryCalls(&noGtk);
  ASSERT_EQ(OpenX11Connection(), ERR_NONE);
  ASSERT_FALSE(DesktopGtkAvailable());
  FILE* sink = std::fopen("/dev/null", "w");
  ASSERT_NE(sink, nullptr);
  struct Case {
    const char* name;
    const char* input;
    ErrorCode want;
    int fullscreen;
  } cases[] = {
      {"windowed", "2\n", ERR_NONE, 0},
      {"full screen", "1\n", ERR_NONE, 1},
      {"cancel", "4\n", ERR_USERABORT, 0},
      {"end of input", "", ERR_USERABORT, 0},
      {"manual select, first mode", "3\n1\n", ERR_NONE, 1},
      {"manual select, cancelled", "3\n", ERR_USERABORT, 0},
  };
  int32_t id = 1;
  for (const Case& c : cases) {
    std::string input = c.input;
    FILE* in = fmemopen(input.data(), input.size() + 1, "r");
    ASSERT_NE(in, nullptr);
    SetRequesterConsole(in, sink);
    DisplayRecord* d = nullptr;
    ASSERT_EQ(Create(id++, {{"mode", "ask"}}, &d), ERR_NONE) << c.name;
    EXPECT_EQ(OpenDisplayWindow(h.L, d, 0), c.want) << c.name;
    EXPECT_EQ(d->state, c.want == ERR_NONE ? DISPSTATE_OPEN : DISPSTATE_CLOSED) << c.name;
    EXPECT_EQ(d->fullscreen, c.fullscreen) << c.name;
    if (d->state == DISPSTATE_OPEN) CloseDisplayWindow(h.L, d, nullptr, 20);
    SetRequesterConsole(nullptr, nullptr);
    std::fclose(in);
  }
  std::fclose(sink);
  CloseX11Connection();
  SetDesktopLibraryCalls(nullptr);
}

// A picture of the script's shown by a display: no second display may show
// it; freeing it detaches it (its number is free at once, the display keeps
// showing it) and shut-down frees it.
TEST_F(DisplayTest, DisplayedPictureOutlivesItsNumber) {
  BitmapHandle* bitmap = AllocBitmap(200, 100, 0, nullptr);
  ASSERT_NE(bitmap, nullptr);
  FillBitmapRect(bitmap, 0, 0, 200, 100, 0x00ff00);
  ObjectId id{nullptr, 5};
  BGPic* pic = nullptr;
  ASSERT_EQ(AddBGPicObject(&id, 0, 0, 200, 100, 200, nullptr, bitmap, nullptr, -1, nullptr, nullptr,
                           nullptr, &pic),
            ERR_NONE);
  DisplayRecord* d = nullptr;
  ASSERT_EQ(Create(1, {{"bgpic", 5}, {"width", 999}}, &d), ERR_NONE);
  EXPECT_EQ(d->bgpic, pic);
  EXPECT_EQ(d->width, 200);
  EXPECT_EQ(ReadDisplayWindowPixel(d, 199, 99), 0x00ff00);
  EXPECT_EQ(Create(2, {{"bgpic", 5}}), ERR_MULTIBGPIC);
  EXPECT_EQ(Create(3, {{"bgpic", 6}}), ERR_FINDBGPIC);
  EXPECT_EQ(GetErrorArgNumber(), 6);

  EXPECT_EQ(DeleteBGPic(h.L, id, 1), ERR_NONE);
  BGPic* found = nullptr;
  EXPECT_EQ(GetBGPicObject(h.L, id, &found, 0), ERR_FINDBGPIC);
  EXPECT_TRUE(pic->freePending);
  EXPECT_EQ(d->bgpic, pic);
  ASSERT_EQ(OpenDisplayWindow(h.L, d, 0), ERR_NONE);
  EXPECT_EQ(WindowPixel(d, 10, 10), 0x00ff00u);
  FreePendingBGPics(h.L);
  EXPECT_EQ(GetBGPicList(), pic);  // still shown
  EXPECT_EQ(DeleteBGPic(h.L, id, 1), ERR_FINDBGPIC);
  EXPECT_EQ(DeleteBGPic(h.L, id, 0), ERR_NONE);

  BitmapHandle* other = AllocBitmap(8, 8, 0, nullptr);
  ASSERT_NE(other, nullptr);
  BGPic* second = nullptr;
  ASSERT_EQ(AddBGPicObject(&id, 0, 0, 8, 8, 8, nullptr, other, nullptr, -1, nullptr, nullptr,
                           nullptr, &second),
            ERR_NONE);
  ASSERT_EQ(GetBGPicObject(h.L, id, &found, 0), ERR_NONE);
  EXPECT_EQ(found, second);
  // A picture that nothing shows goes at once.
  EXPECT_EQ(DeleteBGPic(h.L, id, 1), ERR_NONE);
  EXPECT_EQ(GetBGPicList(), pic);
  EXPECT_EQ(reinterpret_cast<BGPic*>(pic->head.next), nullptr);
}

// A picture with an alpha channel makes a transparent, shaped window: its
// pixels reach the screen premultiplied by the window's alpha.
TEST_F(DisplayTest, AlphaPictureOpensATransparentShapedWindow) {
  BitmapHandle* bitmap = AllocBitmap(64, 32, 0, nullptr);
  BitmapHandle* alpha = AllocAlphaChannel(64, 32, 1, nullptr, 0);
  ASSERT_NE(bitmap, nullptr);
  ASSERT_NE(alpha, nullptr);
  FillBitmapRect(bitmap, 0, 0, 64, 32, 0xff8040);
  FillAlphaRect(alpha, 0, 0, 32, 32, 255);
  FillAlphaRect(alpha, 32, 0, 16, 32, 128);
  ObjectId id{nullptr, 9};
  ASSERT_EQ(AddBGPicObject(&id, 0, 0, 64, 32, 64, nullptr, bitmap, nullptr, -1, nullptr, alpha,
                           nullptr, nullptr),
            ERR_NONE);
  DisplayRecord* d = nullptr;
  ASSERT_EQ(Create(1, {{"bgpic", 9}, {"borderless", 1}}, &d), ERR_NONE);
  ErrorCode error = OpenDisplayWindow(h.L, d, 0);
  if (error == ERR_NOARGBVISUAL || error == ERR_XFIXES)
    GTEST_SKIP() << "server lacks ARGB visuals or XFixes";
  ASSERT_EQ(error, ERR_NONE);
  EXPECT_EQ(d->x11->depth, 32);
  EXPECT_NE(d->x11->shapeRegion, 0u);
  Sync(d);
  XImage* image = XGetImage(probe, GetDisplayWindowId(d), 0, 0, 64, 32, AllPlanes, ZPixmap);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(static_cast<uint32_t>(XGetPixel(image, 5, 5)), 0xffff8040u);
  // 128 * 0xff / 255, 128 * 0x80 / 255, 128 * 0x40 / 255, truncated.
  EXPECT_EQ(static_cast<uint32_t>(XGetPixel(image, 40, 5)), 0x80804020u);
  XDestroyImage(image);
}

// A picture with a mask shapes its window: where the mask is clear the
// screen shows what lies beneath (a checkerboard checks the row runs and
// their merging downwards).
TEST_F(DisplayTest, MaskedPictureShapesItsWindow) {
  XSetWindowAttributes attributes{};
  attributes.background_pixel = 0xcc3311;
  attributes.override_redirect = True;
  Window backdrop =
      XCreateWindow(probe, DefaultRootWindow(probe), 0, 0, 1024, 768, 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
  XMapWindow(probe, backdrop);
  XSync(probe, False);
  constexpr int W = 64, H = 32;
  auto inside = [](int x, int y) { return ((x / 8 + y / 8) % 2 == 0) || (x >= 56 && y >= 24); };
  BitmapHandle* bitmap = AllocBitmap(W, H, 0, nullptr);
  ASSERT_NE(bitmap, nullptr);
  BitmapHandle* mask = AllocBitMask(bitmap, W, H, 1, nullptr, 0);
  ASSERT_NE(mask, nullptr);
  FillBitmapRect(bitmap, 0, 0, W, H, 0x22aa44);
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++)
      if (inside(x, y)) WriteBitmapPixel(mask, x, y, 0, 1);
  ObjectId id{nullptr, 3};
  ASSERT_EQ(AddBGPicObject(&id, 0, 0, W, H, W, nullptr, bitmap, nullptr, -1, mask, nullptr, nullptr,
                           nullptr),
            ERR_NONE);
  DisplayRecord* d = nullptr;
  ASSERT_EQ(Create(1, {{"bgpic", 3}, {"borderless", 1}}, &d), ERR_NONE);
  ErrorCode error = OpenDisplayWindow(h.L, d, 0);
  if (error == ERR_XFIXES) GTEST_SKIP() << "server lacks XFixes";
  ASSERT_EQ(error, ERR_NONE);
  Sync(d);
  XImage* image = XGetImage(probe, DefaultRootWindow(probe), (1024 - W) / 2, (768 - H) / 2, W, H,
                            AllPlanes, ZPixmap);
  ASSERT_NE(image, nullptr);
  int wrong = 0;
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++)
      wrong += (XGetPixel(image, x, y) & 0xffffff) != (inside(x, y) ? 0x22aa44u : 0xcc3311u);
  XDestroyImage(image);
  EXPECT_EQ(wrong, 0);
  XDestroyWindow(probe, backdrop);
  XSync(probe, False);
}

// Drawing straight into the window happens only while the display is open
// and no border drag runs; margins move it into the picture's area.
TEST_F(DisplayTest, WindowDrawingNeedsAnOpenUndraggedDisplay) {
  DisplayRecord* d = nullptr;
  ASSERT_EQ(Create(1, {{"color", 0}}, &d), ERR_NONE);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  BitmapHandle* white = AllocBitmap(2, 2, 0, nullptr);
  ASSERT_NE(white, nullptr);
  FillBitmapRect(white, 0, 0, 2, 2, 0xffffff);
  // A border drag holds back refreshes only; drawing goes on.
  struct Case {
    const char* name;
    int32_t state, drag;
    uint32_t wantDraw, wantPut;
  } cases[] = {
      {"minimised", DISPSTATE_MINIMIZED, 0, 0, 0},
      {"closed", DISPSTATE_CLOSED, 0, 0, 0},
      {"border drag", DISPSTATE_OPEN, 1, 0xffffff, 0},
      {"open", DISPSTATE_OPEN, 0, 0xffffff, 0xffffff},
  };
  int32_t x = 10;
  for (const Case& c : cases) {
    d->state = c.state;
    d->x11->moveDrag = c.drag;
    DrawX11Point(X11WindowOf(d), x, 10, 0xffffff);
    DrawX11Line(X11WindowOf(d), x, 20, x + 3, 20, 0xffffff);
    FillX11Rect(X11WindowOf(d), x, 30, 2, 2, 0xffffff);
    PutPixelsToWindow(white, 0, 0, X11WindowOf(d), x, 40, 2, 2);
    d->state = DISPSTATE_OPEN;
    d->x11->moveDrag = 0;
    EXPECT_EQ(WindowPixel(d, x, 10), c.wantDraw) << c.name;
    EXPECT_EQ(WindowPixel(d, x + 3, 20), c.wantDraw) << c.name;
    EXPECT_EQ(WindowPixel(d, x + 1, 31), c.wantDraw) << c.name;
    EXPECT_EQ(WindowPixel(d, x + 1, 41), c.wantPut) << c.name;
    x += 10;
  }
  d->marginLeft = 5;
  d->marginTop = 7;
  DrawX11Point(X11WindowOf(d), 100, 100, 0xffffff);
  EXPECT_EQ(WindowPixel(d, 105, 107), 0xffffffu);
  d->marginLeft = d->marginTop = 0;
  FreeBitmap(white);
}

// A new black display starts without writing a pixel of its pictures, and
// a refresh of a rectangle of one value goes to the window as a fill: in
// both cases the window and the window bitmap hold what copies of every
// pixel would have given them.
TEST_F(DisplayTest, OneValueRectanglesReachTheWindowAsTheirPixelsWould) {
  DisplayRecord* d = nullptr;
  ASSERT_EQ(Create(1, {{"color", 0}}, &d), ERR_NONE);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  auto windowPixels = [&](int x, int y, int width, int height) {
    Sync(d);
    std::vector<uint32_t> pixels;
    XImage* image = XGetImage(probe, GetDisplayWindowId(d), x, y, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (!image) return pixels;
    for (int j = 0; j < height; j++)
      for (int i = 0; i < width; i++)
        pixels.push_back(static_cast<uint32_t>(XGetPixel(image, i, j)) & 0xffffff);
    XDestroyImage(image);
    return pixels;
  };
  // Neither picture has been written or read: their pages were never
  // faulted in.
  EXPECT_TRUE(SoftBitmapUntouched(d->bgpic->bitmap));
  EXPECT_TRUE(SoftBitmapUntouched(d->windowBitmap));
  std::vector<uint32_t> shown = windowPixels(0, 0, 640, 480);
  EXPECT_EQ(std::count(shown.begin(), shown.end(), 0u), 640 * 480);
  EXPECT_EQ(ReadDisplayWindowPixel(d, 639, 479), 0);
  EXPECT_EQ(ReadBitmapPixel(d->bgpic->bitmap, 639, 479, 0) & 0xffffff, 0u);

  // Each case refreshes a 100 x 100 bitmap (one colour, with one odd pixel
  // at odd) from (sx, sy) to (40, 40), width by height, with the margins;
  // the window then shows the part inside the bitmap and nothing else.
  struct Case {
    const char* name;
    uint32_t colour;
    int32_t odd, sx, sy, width, height, margin;
  } cases[] = {
      {"one colour", 0xff3366, -1, 0, 0, 100, 100, 0},
      {"one odd pixel last", 0x33ff66, 99 * 100 + 99, 0, 0, 100, 100, 0},
      {"one odd pixel first", 0x3366ff, 0, 0, 0, 100, 100, 0},
      {"cut at the bitmap's edge", 0x808080, -1, 30, 20, 100, 100, 0},
      {"below the fill size", 0x123456, -1, 0, 0, 60, 60, 0},
      {"with margins", 0xabcdef, -1, 0, 0, 100, 100, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RefreshDisplayRect(d->windowBitmap, 0, 0, d, 0, 0, 640, 480, 0);  // back to black
    BitmapHandle* b = AllocBitmap(100, 100, 0, nullptr);
    ASSERT_NE(b, nullptr);
    FillBitmapRect(b, 0, 0, 100, 100, c.colour);
    if (c.odd >= 0) FillBitmapRect(b, c.odd % 100, c.odd / 100, 1, 1, 0xffffff);
    d->marginLeft = d->marginTop = c.margin;
    RefreshDisplayRect(b, c.sx, c.sy, d, 40, 40, c.width, c.height, 0);
    d->marginLeft = d->marginTop = 0;
    shown = windowPixels(0, 0, 200, 200);
    int wrong = 0;
    for (int y = 0; y < 200; y++)
      for (int x = 0; x < 200; x++) {
        int bx = x - 40 - c.margin + c.sx, by = y - 40 - c.margin + c.sy;
        bool inside = bx >= c.sx && by >= c.sy && bx < c.sx + c.width && by < c.sy + c.height &&
                      bx < 100 && by < 100;
        uint32_t want = !inside ? 0u : by * 100 + bx == c.odd ? 0xffffffu : c.colour;
        wrong += shown[static_cast<size_t>(y) * 200 + x] != want;
      }
    EXPECT_EQ(wrong, 0);
    FreeBitmap(b);
  }
  // A bitmap nothing has written since its allocation goes out as black
  // over whatever the window showed, and is answered without reading it.
  BitmapHandle* white = AllocBitmap(100, 100, 0, nullptr);
  BitmapHandle* fresh = AllocBitmap(100, 100, 0, nullptr);
  ASSERT_TRUE(white && fresh);
  FillBitmapRect(white, 0, 0, 100, 100, 0xffffff);
  RefreshDisplayRect(white, 0, 0, d, 40, 40, 100, 100, 0);
  ASSERT_TRUE(SoftBitmapUntouched(fresh));
  RefreshDisplayRect(fresh, 10, 0, d, 40, 40, 100, 100, 0);
  EXPECT_TRUE(SoftBitmapUntouched(fresh));
  shown = windowPixels(40, 40, 100, 100);
  int wrong = 0;
  for (int y = 0; y < 100; y++)
    for (int x = 0; x < 100; x++)
      wrong += shown[static_cast<size_t>(y) * 100 + x] != (x < 90 ? 0u : 0xffffffu);
  EXPECT_EQ(wrong, 0);
  FreeBitmap(white);
  FreeBitmap(fresh);
}

// A "desktop" display covers its monitor with what the monitor showed
// before, as a borderless window that stays on top.
TEST_F(DisplayTest, DesktopDisplayShowsTheScreenBeneath) {
  XSetWindowAttributes attributes{};
  attributes.background_pixel = 0xcc3311;
  attributes.override_redirect = True;
  Window backdrop =
      XCreateWindow(probe, DefaultRootWindow(probe), 0, 0, 1024, 768, 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
  XMapWindow(probe, backdrop);
  XSync(probe, False);
  DisplayRecord* d = nullptr;
  ASSERT_EQ(Create(1, {{"desktop", 1}}, &d), ERR_NONE);
  EXPECT_EQ(d->width, 1024);
  EXPECT_EQ(d->height, 768);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  EXPECT_EQ(d->flags, 0x40042Du);
  EXPECT_EQ(ReadDisplayWindowPixel(d, 500, 400), 0xcc3311);
  EXPECT_EQ(WindowPixel(d, 1023, 767), 0xcc3311u);
  std::string info = server().run({"xwininfo", "-id", std::to_string(GetDisplayWindowId(d))});
  EXPECT_EQ(XwininfoField(info, "Absolute upper-left X"), 0) << info;
  EXPECT_EQ(XwininfoField(info, "Absolute upper-left Y"), 0);
  EXPECT_EQ(ReadLongProperty(probe, GetDisplayWindowId(d), "_MOTIF_WM_HINTS"),
            (std::vector<long>{3, 0x1f, 0, 0, 0}));
  XDestroyWindow(probe, backdrop);
  XSync(probe, False);
}

TEST(DisplayFit, KeepProportionsSplitsTheBars) {
  struct Case {
    const char* name;
    int32_t pictureW, pictureH, targetW, targetH;
    uint32_t flags;
    int32_t w, h, l, t, r, b;
  } cases[] = {
      {"wide picture on a square", 640, 480, 1000, 1000, DSF_KEEPPROPORTIONS, 1000, 750, 0, 125, 0,
       125},
      {"odd width difference", 1000, 500, 1001, 1000, DSF_KEEPPROPORTIONS, 1001, 500, 0, 250, 0,
       250},
      {"tall picture", 480, 640, 1001, 1000, DSF_KEEPPROPORTIONS, 750, 1000, 125, 0, 126, 0},
      {"without keep", 640, 480, 1000, 1000, 0, 1000, 1000, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    DisplayRecord d{};
    BGPic pic{};
    pic.width = c.pictureW;
    pic.height = c.pictureH;
    d.flags = c.flags;
    ComputeScaledFit(&d, &pic, c.targetW, c.targetH);
    EXPECT_EQ(d.scaleWidth, c.w) << c.name;
    EXPECT_EQ(d.scaleHeight, c.h) << c.name;
    EXPECT_EQ(d.marginLeft, c.l) << c.name;
    EXPECT_EQ(d.marginTop, c.t) << c.name;
    EXPECT_EQ(d.marginRight, c.r) << c.name;
    EXPECT_EQ(d.marginBottom, c.b) << c.name;
  }
}

class ScaledDisplayTest : public DisplayTestBase {
 protected:
  static void SetUpTestSuite() { shared = new DisplayTestServer("2048x2048x24"); }
  static void TearDownTestSuite() {
    delete shared;
    shared = nullptr;
  }
  DisplayTestServer& server() override { return *shared; }
  static DisplayTestServer* shared;
};
DisplayTestServer* ScaledDisplayTest::shared = nullptr;

TEST_F(ScaledDisplayTest, FactorTwoDoublesEveryPixelOfADrawnBox) {
  DisplayRecord* d = nullptr;
  ASSERT_EQ(Create(1, {{"scalefactor", 2}, {"color", 0}}, &d), ERR_NONE);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  std::string info = server().run({"xwininfo", "-id", std::to_string(GetDisplayWindowId(d))});
  EXPECT_EQ(XwininfoField(info, "Width"), 1280);
  EXPECT_EQ(XwininfoField(info, "Height"), 960);

  BitmapHandle* box = AllocBitmap(1, 1, 0, nullptr);
  ASSERT_NE(box, nullptr);
  FillBitmapRect(box, 0, 0, 1, 1, 0xffffff);
  SafeBlt(h.L, box, 0, 0, nullptr, 10, 10, 1, 1, 1, 1, 640, 480, SAFEBLT_REFRESHBACK, nullptr,
          nullptr, nullptr);
  FreeBitmap(box);
  EXPECT_EQ(ReadDisplayWindowPixel(d, 10, 10), 0xffffff);
  for (int y = 20; y <= 21; y++)
    for (int x = 20; x <= 21; x++) EXPECT_EQ(WindowPixel(d, x, y), 0xffffffu) << x << "," << y;
  EXPECT_EQ(WindowPixel(d, 19, 19), 0u);
  EXPECT_EQ(WindowPixel(d, 22, 22), 0u);
  EXPECT_EQ(WindowPixel(d, 19, 20), 0u);
  EXPECT_EQ(WindowPixel(d, 20, 22), 0u);

  // Handed whole to the scaled refresh: the window shows it, the window
  // bitmap does not keep it.
  BitmapHandle* dot = AllocBitmap(1, 1, 0, nullptr);
  ASSERT_NE(dot, nullptr);
  FillBitmapRect(dot, 0, 0, 1, 1, 0x00ff00);
  SafeBlt(h.L, dot, 0, 0, nullptr, 30, 40, 1, 1, 1, 1, 640, 480, SAFEBLT_SCALED, nullptr, nullptr,
          nullptr);
  FreeBitmap(dot);
  EXPECT_EQ(ReadDisplayWindowPixel(d, 30, 40), 0);
  EXPECT_EQ(WindowPixel(d, 60, 80), 0x00ff00u);
  EXPECT_EQ(WindowPixel(d, 61, 81), 0x00ff00u);
  EXPECT_EQ(WindowPixel(d, 62, 82), 0u);
  EXPECT_EQ(WindowPixel(d, 59, 79), 0u);
}

TEST_F(ScaledDisplayTest, KeepProportionsLeavesBlackBars) {
  DisplayRecord* d = nullptr;
  ASSERT_EQ(Create(1,
                   {{"scalemode", 1},
                    {"scalewidth", 1000},
                    {"scaleheight", 1000},
                    {"keepproportions", 1},
                    {"color", COLOUR}},
                   &d),
            ERR_NONE);
  EXPECT_EQ(d->marginTop, 125);
  EXPECT_EQ(d->marginBottom, 125);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  Window w = GetDisplayWindowId(d);
  Sync(d);
  XImage* image = XGetImage(probe, w, 0, 0, 1000, 1000, AllPlanes, ZPixmap);
  ASSERT_NE(image, nullptr);
  int wrong = 0;
  for (int y = 0; y < 1000; y++)
    for (int x = 0; x < 1000; x += 111) {
      uint32_t want = y < 125 || y >= 875 ? 0 : COLOUR;
      wrong += (XGetPixel(image, x, y) & 0xffffff) != want;
    }
  XDestroyImage(image);
  EXPECT_EQ(wrong, 0);
}

// The resize core on open windows: a user size on an autoscaled display
// changes only the scaled size; on a plain display the picture follows; a
// size X cannot show is refused with the size as the message's argument.
TEST_F(ScaledDisplayTest, ResizeOfOpenDisplays) {
  DisplayRecord *scaled = nullptr, *plain = nullptr;
  ASSERT_EQ(Create(1, {{"scalefactor", 2}, {"color", COLOUR}}, &scaled), ERR_NONE);
  ASSERT_EQ(Create(2, {{"color", COLOUR}, {"x", 0}, {"y", 0}}, &plain), ERR_NONE);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);

  ASSERT_EQ(ResizeDisplay(h.L, scaled, KEEPPOSITION, KEEPPOSITION, 800, 600, 0, 0, 0, RESIZE_USER),
            ERR_NONE);
  EXPECT_EQ(scaled->bgpic->width, 640);
  EXPECT_EQ(scaled->scaleWidth, 800);
  EXPECT_DOUBLE_EQ(scaled->scaleX, 1.25);
  Sync(scaled);
  std::string info = server().run({"xwininfo", "-id", std::to_string(GetDisplayWindowId(scaled))});
  EXPECT_EQ(XwininfoField(info, "Width"), 800) << info;
  EXPECT_EQ(XwininfoField(info, "Height"), 600);
  EXPECT_EQ(WindowPixel(scaled, 799, 599), COLOUR);

  ASSERT_EQ(ResizeDisplay(h.L, plain, POS_CENTER, POS_TOP, 320, 200, 0, 0, 0, 0), ERR_NONE);
  EXPECT_EQ(plain->bgpic->width, 320);
  EXPECT_EQ(plain->windowBitmap->width, 320);
  EXPECT_EQ(plain->textRight, 319);
  Sync(plain);
  info = server().run({"xwininfo", "-id", std::to_string(GetDisplayWindowId(plain))});
  EXPECT_EQ(XwininfoField(info, "Width"), 320) << info;
  EXPECT_EQ(XwininfoField(info, "Absolute upper-left X"), (2048 - 320) / 2);
  EXPECT_EQ(XwininfoField(info, "Absolute upper-left Y"), 0);
  EXPECT_EQ(WindowPixel(plain, 319, 199), COLOUR);

  EXPECT_EQ(ResizeDisplay(h.L, plain, KEEPPOSITION, KEEPPOSITION, 40000, 200, 0, 0, 0, 0),
            ERR_DISPLAYSIZE);
  EXPECT_STREQ(GetErrorArgString(), "40000x200");
  EXPECT_EQ(plain->width, 320);
  EXPECT_EQ(plain->bgpic->width, 320);
  EXPECT_EQ(
      ResizeDisplay(h.L, scaled, KEEPPOSITION, KEEPPOSITION, 40000, 600, 0, 0, 0, RESIZE_USER),
      ERR_DISPLAYSIZE);
  EXPECT_EQ(scaled->scaleWidth, 800);
  EXPECT_EQ(scaled->width, 800);
}

// On an autoscaled display the window's shape is the picture's mask at the
// scaled size.
TEST_F(ScaledDisplayTest, ScaledMaskShapesTheScaledWindow) {
  XSetWindowAttributes attributes{};
  attributes.background_pixel = 0xcc3311;
  attributes.override_redirect = True;
  Window backdrop =
      XCreateWindow(probe, DefaultRootWindow(probe), 0, 0, 2048, 2048, 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
  XMapWindow(probe, backdrop);
  XSync(probe, False);
  constexpr int W = 32, H = 16;
  auto inside = [](int x, int y) { return (x / 4 + y / 4) % 2 == 0; };
  BitmapHandle* bitmap = AllocBitmap(W, H, 0, nullptr);
  ASSERT_NE(bitmap, nullptr);
  BitmapHandle* mask = AllocBitMask(bitmap, W, H, 1, nullptr, 0);
  ASSERT_NE(mask, nullptr);
  FillBitmapRect(bitmap, 0, 0, W, H, 0x22aa44);
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++)
      if (inside(x, y)) WriteBitmapPixel(mask, x, y, 0, 1);
  ObjectId id{nullptr, 3};
  ASSERT_EQ(AddBGPicObject(&id, 0, 0, W, H, W, nullptr, bitmap, nullptr, -1, mask, nullptr, nullptr,
                           nullptr),
            ERR_NONE);
  DisplayRecord* d = nullptr;
  ASSERT_EQ(Create(1, {{"bgpic", 3}, {"borderless", 1}, {"scalefactor", 2}}, &d), ERR_NONE);
  ASSERT_NE(d->ownMask, nullptr);
  ErrorCode error = OpenDisplayWindow(h.L, d, 0);
  if (error == ERR_XFIXES) GTEST_SKIP() << "server lacks XFixes";
  ASSERT_EQ(error, ERR_NONE);
  Sync(d);
  XImage* image = XGetImage(probe, DefaultRootWindow(probe), (2048 - 2 * W) / 2, (2048 - 2 * H) / 2,
                            2 * W, 2 * H, AllPlanes, ZPixmap);
  ASSERT_NE(image, nullptr);
  int wrong = 0;
  for (int y = 0; y < 2 * H; y++)
    for (int x = 0; x < 2 * W; x++)
      wrong +=
          (XGetPixel(image, x, y) & 0xffffff) != (inside(x / 2, y / 2) ? 0x22aa44u : 0xcc3311u);
  XDestroyImage(image);
  EXPECT_EQ(wrong, 0);
  XDestroyWindow(probe, backdrop);
  XSync(probe, False);
}

// Monitors with and without the RandR extension: one entry covering the
// screen either way, and a display's monitor index beyond the list is an
// error.
class MonitorTest : public ::testing::TestWithParam<bool> {};

TEST_P(MonitorTest, OneMonitorCoversTheScreen) {
  std::vector<std::string> extra;
  if (!GetParam()) extra = {"-extension", "RANDR"};
  DisplayTestServer server("800x600x24", extra);
  ASSERT_TRUE(server.running());
  setenv("DISPLAY", server.name().c_str(), 1);
  SetNoPointerThread(1);
  ASSERT_EQ(OpenX11Connection(), ERR_NONE);
  MonitorNode* list = GetMonitorList(nullptr);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->next, nullptr);
  EXPECT_EQ(list->x, 0);
  EXPECT_EQ(list->y, 0);
  EXPECT_EQ(list->width, 800);
  EXPECT_EQ(list->height, 600);
  FreeMonitorList(list);

  DisplayRecord d{};
  int32_t x, y, w, hgt;
  EXPECT_EQ(GetDisplayMonitorRect(&d, &x, &y, &w, &hgt), ERR_NONE);
  d.monitor = 1;
  EXPECT_EQ(GetDisplayMonitorRect(&d, &x, &y, &w, &hgt), ERR_GETMONITORINFO);
  CloseX11Connection();
  SetNoPointerThread(0);
  unsetenv("DISPLAY");
}

INSTANTIATE_TEST_SUITE_P(RandR, MonitorTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("On") : std::string("Off");
                         });

}  // namespace
