// The display adapter without any X server: the test plug-in "testdisplay"
// installs itself from InitPlugin and takes over windows, refreshes,
// monitors, frame waits and sleeps; its framebuffers are read back here.
#include <cstring>

#include "display/display.h"
#include "display/display_private.h"
#include "gfx/bitmap_private.h"
#include "plugins/plugin_private.h"
#include "runtime/runtime_private.h"
#include "tests/plugins/plugin_fixture.h"

namespace {

using plugintest::ModulePath;
using plugintest::ModuleSymbol;

constexpr uint32_t COLOUR = 0x336699;

class DisplayAdapterTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    // No X server may be reached: any attempt fails.
    setenv("DISPLAY", ":9999", 1);
    Install("testdisplay");
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    path = ModulePath("testdisplay");
    pixel = Symbol<int64_t (*)(void*, int32_t, int32_t)>("TestDisplayPixel");
    ASSERT_NE(pixel, nullptr);
    PlayerHarness::SetErrorRaising(1);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  void TearDown() override {
    CloseDisplayLibrary(L);
    PluginTest::TearDown();
    unsetenv("DISPLAY");
  }

  template <typename F>
  F Symbol(const char* name) {
    // The copy in the Plugins folder is the loaded one.
    return ModuleSymbol<F>(root + "/Plugins/testdisplay.qmp", name);
  }

  // CreateDisplay(id, {color = COLOUR, ...}) and the record.
  DisplayRecord* Create(int32_t id, const std::vector<std::pair<const char*, double>>& options) {
    VmSetTop(L, 0);
    VmPushNumber(L, id);
    VmNewTable(L);
    VmPushString(L, "color");
    VmPushNumber(L, COLOUR);
    VmSetTable(L, -3);
    for (const auto& [name, value] : options) {
      VmPushString(L, name);
      VmPushNumber(L, value);
      VmSetTable(L, -3);
    }
    ErrorCode error = CallCommand("CreateDisplay", 2);
    VmSetTop(L, 0);
    EXPECT_EQ(error, ERR_NONE);
    DisplayRecord* d = nullptr;
    FindDisplayById(ObjectId{nullptr, id}, &d);
    return d;
  }

  // Calls a command by name; the code it raised or returned.
  ErrorCode CallCommand(const char* name, int nargs) {
    std::string lower(name);
    StrToLower(lower.data());
    VmPushCClosure(L, trampoline, 0);
    VmPushString(L, lower.c_str());
    VmGetTable(L, VM_GLOBALS_INDEX);
    VmInsert(L, -(nargs + 2));
    VmInsert(L, -(nargs + 2));
    callArgs = nargs;
    callCode = ERR_NONE;
    ErrorCode status = VmPCall(L, nargs + 1, 0, 0);
    return status != ERR_NONE ? status : callCode;
  }
  static int trampoline(VmState* L) {
    callCode = VmCall(L, callArgs, 0);
    return 0;
  }
  static inline int callArgs = 0;
  static inline ErrorCode callCode = ERR_NONE;

  std::string path;
  int64_t (*pixel)(void*, int32_t, int32_t) = nullptr;
};

// A plain display opens as the adapter's window: the title, size and
// display flags reach OpenDisplay, and the first refresh fills the whole
// framebuffer with the picture's colour.
TEST_F(DisplayAdapterTest, OpensWindowsAndShowsThePicture) {
  EXPECT_EQ(Symbol<int32_t (*)()>("TestDisplayInstallResult")(), ERR_NONE);
  ASSERT_NE(GetDisplayAdapter(), nullptr);
  DisplayRecord* plain = Create(1, {});
  DisplayRecord* styled = Create(2, {{"borderless", 1}, {"sizeable", 1}});
  ASSERT_TRUE(plain && styled);
  strcpy(plain->title, "Adapter test");
  ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
  ASSERT_NE(plain->windowHandle, 0u);
  void* window = reinterpret_cast<void*>(plain->windowHandle);

  int32_t args[6] = {};
  const char* title = Symbol<const char* (*)(void*, int32_t*)>("TestDisplayOpenArgs")(window, args);
  ASSERT_NE(title, nullptr);
  EXPECT_STREQ(title, "Adapter test");
  EXPECT_EQ(args[2], 640);
  EXPECT_EQ(args[3], 480);
  EXPECT_EQ(args[4] & 3, 0);
  int wrong = 0;
  for (int y = 0; y < 480; y++)
    for (int x = 0; x < 640; x++) wrong += pixel(window, x, y) != COLOUR;
  EXPECT_EQ(wrong, 0);

  Symbol<const char* (*)(void*, int32_t*)>("TestDisplayOpenArgs")(
      reinterpret_cast<void*>(styled->windowHandle), args);
  EXPECT_EQ(args[4] & 7, 3);

  // The first window closed installation.
  static PluginRecord other = {};
  other.base.capabilities = PLUGINCAPS_DISPLAYADAPTER;
  AdapterInstallationWindow open;
  EXPECT_EQ(InstallDisplayAdapter(&other.base, 0, nullptr), ERR_SETADAPTER);
}

// At scale factor 2 a pixel written into the picture and refreshed fills
// exactly its 2x2 block of the window.
TEST_F(DisplayAdapterTest, ScaledRefreshReachesTheFramebuffer) {
  DisplayRecord* d = Create(1, {{"width", 320}, {"height", 240}, {"scalefactor", 2}});
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
  void* window = reinterpret_cast<void*>(d->windowHandle);
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(pixel(window, 639, 479), COLOUR);
  WriteBitmapPixel(d->windowBitmap, 10, 10, 0xFF00FF00u, 0);
  RefreshDisplayRect(d->windowBitmap, 10, 10, d, 10, 10, 1, 1, REFRESH_SCALE);
  for (int y = 16; y < 26; y++)
    for (int x = 16; x < 26; x++) {
      bool inside = x >= 20 && x <= 21 && y >= 20 && y <= 21;
      EXPECT_EQ(pixel(window, x, y), inside ? 0x00FF00 : COLOUR) << x << "," << y;
    }
}

// The monitors are the adapter's: two of them, "monitor" 3 is out of
// range, and a monitor index beyond the list has no rectangle.
TEST_F(DisplayAdapterTest, MonitorsComeFromTheAdapter) {
  DisplayRecord* d = Create(1, {{"monitor", 2}});
  ASSERT_NE(d, nullptr);
  MonitorNode* list = GetMonitorList(d);
  ASSERT_NE(list, nullptr);
  ASSERT_NE(list->next, nullptr);
  EXPECT_EQ(list->next->next, nullptr);
  EXPECT_EQ(list->width, 1920);
  EXPECT_EQ(list->height, 1080);
  EXPECT_EQ(list->next->x, 1920);
  EXPECT_EQ(list->next->width, 1280);
  EXPECT_EQ(list->next->height, 1024);
  FreeMonitorList(list);
  int32_t x, y, w, h;
  ASSERT_EQ(GetDisplayMonitorRect(d, &x, &y, &w, &h), ERR_NONE);
  EXPECT_EQ(x, 1920);
  EXPECT_EQ(w, 1280);

  VmSetTop(L, 0);
  VmPushNumber(L, 2);
  VmNewTable(L);
  VmPushString(L, "monitor");
  VmPushNumber(L, 3);
  VmSetTable(L, -3);
  EXPECT_EQ(CallCommand("CreateDisplay", 2), ERR_MONITORRANGE);
  VmSetTop(L, 0);

  d->monitor = 5;
  EXPECT_EQ(GetDisplayMonitorRect(d, &x, &y, &w, &h), ERR_GETMONITORINFO);
  d->monitor = 1;
}

// VWait and Sleep go to the adapter, which returns at once; a closed
// display waits natively. Closing gives the window back.
TEST_F(DisplayAdapterTest, FrameWaitsSleepsAndClosing) {
  DisplayRecord* d = Create(1, {});
  ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
  auto counts = Symbol<void (*)(int32_t*)>("TestDisplayCounts");
  WaitDisplayVBlank(L, d, 7);
  SleepViaAdapter(L, 60000);
  int32_t c[8] = {};
  counts(c);
  EXPECT_EQ(c[0], 1);
  EXPECT_EQ(c[6], 7);
  EXPECT_EQ(c[1], 1);
  EXPECT_EQ(c[7], 60000);
  void* window = reinterpret_cast<void*>(d->windowHandle);
  ASSERT_EQ(CloseDisplayWindow(L, d, nullptr, 20), ERR_NONE);
  EXPECT_EQ(d->windowHandle, 0u);
  int32_t args[6] = {};
  Symbol<const char* (*)(void*, int32_t*)>("TestDisplayOpenArgs")(window, args);
  EXPECT_EQ(args[5], 0);
  WaitDisplayVBlank(L, d, 8);
  counts(c);
  EXPECT_EQ(c[0], 1);
}

// Installation: only while a plug-in initialises, only with the adapter
// capability, only for applets of 6.0 and later, and never over an adapter
// that cannot be replaced.
TEST_F(DisplayAdapterTest, InstallationRules) {
  static PluginRecord records[3] = {};
  PluginBase* locked = &records[0].base;
  PluginBase* second = &records[1].base;
  PluginBase* noCapability = &records[2].base;
  locked->capabilities = second->capabilities = PLUGINCAPS_DISPLAYADAPTER;
  noCapability->capabilities = PLUGINCAPS_LIBRARY;
  EXPECT_EQ(InstallDisplayAdapter(second, 0, nullptr), ERR_SETADAPTER);  // not initialising
  {
    AdapterInstallationWindow open;
    EXPECT_EQ(InstallDisplayAdapter(noCapability, 0, nullptr), ERR_WRONGUSAGE);
    SetAppletVersion(5, 0);
    EXPECT_EQ(InstallDisplayAdapter(second, 0, nullptr), ERR_OLDAPPLET);
    SetAppletVersion(8, 0);
    QmTagItem tags[] = {{QM_ADAPTERTAG_WAKEINTERVAL, 25}, {QM_ADAPTERTAG_PIXELFORMAT, 13}, {0, 0}};
    ASSERT_EQ(InstallDisplayAdapter(locked, QM_ADAPTER_LOCKED, tags), ERR_NONE);
    EXPECT_EQ(GetDisplayAdapter()->wakeInterval, 25u);
    EXPECT_EQ(GetDisplayAdapter()->pixelFormat, 13u);
    EXPECT_EQ(InstallDisplayAdapter(second, 0, nullptr), ERR_SETADAPTER);
    EXPECT_EQ(GetDisplayAdapter()->base, locked);
  }
  // The fake records have no library: forget them before shut-down.
  SetActiveDisplayAdapter(nullptr);
}

// Every host event kind reaches the queue as the type the X11 pump posts,
// with its input state stored; unknown windows are an error only where the
// event needs its display.
TEST_F(DisplayAdapterTest, HostEventsReachTheQueue) {
  ASSERT_EQ(InitEventQueue(), ERR_NONE);
  DisplayRecord* d = Create(1, {});
  ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
  NoteHostEventMainThread();
  const uintptr_t h = d->windowHandle;
  static const char DROP[] = "a.png\0b.png\0";
  struct Case {
    const char* name;
    int32_t kind;
    std::vector<uintptr_t> words;
    int32_t type;  // -1: nothing posted
    std::vector<int32_t> args;
  } cases[] = {
      {"left press", 3, {h, 5, 6, 1, 1}, EVENT_LEFTBUTTON, {5, 6, 1}},
      {"right release", 3, {h, 5, 6, 2, 0}, EVENT_RIGHTBUTTON, {5, 6, 0}},
      {"middle press", 3, {h, 1, 2, 3, 1}, EVENT_MIDBUTTON, {1, 2, 1}},
      {"button 0 moves", 3, {h, 1, 2, 0, 1}, -1, {}},
      {"key 313", 4, {h, 313, 1, 0}, EVENT_KEY, {1, 0, 313}},
      {"key 400", 4, {h, 400, 1, 0}, EVENT_KEY, {1, 0, 400}},
      {"close", 5, {h}, EVENT_CLOSEWINDOW, {}},
      {"size", 6, {h, 320, 200}, EVENT_WINDOWSIZE, {320, 200}},
      {"move", 7, {h, 40, 50}, EVENT_MOVEWINDOW, {}},
      {"hidden", 8, {h, 0}, EVENT_HIDEWINDOW, {}},
      {"shown", 8, {h, 1}, EVENT_SHOWWINDOW, {}},
      {"inactive", 9, {h, 0}, EVENT_INACTIVEWINDOW, {}},
      {"char", 10, {h, 0x20AC}, EVENT_CHAR, {0, 0, 0x20AC}},
      {"drop", 11, {h, 3, 4, reinterpret_cast<uintptr_t>(DROP)}, EVENT_DROPFILE, {3, 4}},
      {"raw key", 12, {h, 300, 1}, EVENT_RAWKEY, {1, 0, 300}},
      {"wheel up", 13, {h, 0, 1}, EVENT_WHEELUP, {}},
      {"wheel down", 13, {h, 0, 0}, EVENT_WHEELDOWN, {}},
      {"plug-in payload", 1, {7, 8}, EVENT_PLUGIN, {}},
      {"quit", 0, {}, EVENT_QUIT, {}},
  };
  for (const Case& c : cases) {
    std::vector<uintptr_t> words = c.words;
    words.resize(8, 0);
    ASSERT_EQ(PostHostEvent(L, c.kind, words.data()), ERR_NONE) << c.name;
    EventRecord* e = TakeNextEvent(L);
    if (c.type < 0) {
      EXPECT_EQ(e, nullptr) << c.name;
      if (e) ReleaseEventRecord(L, e);
      continue;
    }
    ASSERT_NE(e, nullptr) << c.name;
    EXPECT_EQ(e->type, c.type) << c.name;
    for (size_t i = 0; i < c.args.size(); i++) EXPECT_EQ(e->args[i], c.args[i]) << c.name << i;
    if (c.kind == 11) {
      EXPECT_EQ(std::memcmp(e->userData, DROP, sizeof DROP), 0);
    }
    ReleaseEventRecord(L, e);  // the kind-1 payload is freed here (ASan)
  }
  vmRun.quit = 0;
  EXPECT_EQ(d->keyStates[313], 1);
  EXPECT_EQ(d->hostPointerMoved, 1);
  EXPECT_EQ(d->rawKeyStates[300], 1);

  const uintptr_t unknown[8] = {0x1234};
  for (int32_t kind : {3, 5, 6, 7, 8, 9, 11, 13})
    EXPECT_EQ(PostHostEvent(L, kind, unknown), ERR_FINDDISPLAY) << kind;
  for (int32_t kind : {4, 10, 12}) EXPECT_EQ(PostHostEvent(L, kind, unknown), ERR_NONE) << kind;
  EXPECT_EQ(TakeNextEvent(L), nullptr);
}

}  // namespace
