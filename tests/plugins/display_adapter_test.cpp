// The display adapter without any X server: the test plug-in "testdisplay"
// installs itself from InitPlugin and takes over windows, refreshes,
// monitors, frame waits and sleeps; its framebuffers are read back here.
#include <cstring>
#include <functional>
#include <thread>

#include "display/display.h"
#include "display/adapter_private.h"
#include "display/display_private.h"
#include "gfx/bitmap_private.h"
#include "plugins/hostapi.h"
#include "plugins/plugin_private.h"
#include "runtime/runtime_private.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/adapter_display.h"
#include "tests/support/command_call.h"

namespace {

constexpr uint32_t COLOUR = 0x336699;

class DisplayAdapterTest : public adaptertest::AdapterTest {
 protected:
  DisplayAdapterTest() : AdapterTest({OpenDisplayLibrary}) {}

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
    return testcall::CallCollecting(L, name, nargs, [](VmState*, int) {});
  }
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
  // Plug-ins read the current display's scale factor through the global
  // values.
  double scale = 0;
  QmTagItem read[] = {{46, reinterpret_cast<uintptr_t>(&scale)}, {0, 0}};
  EXPECT_EQ(GetPluginHostApi()->system->globalValues(L, read), 1);
  EXPECT_EQ(scale, 2.0);
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

// What a test callback saw: one entry per call.
struct CallbackLog {
  struct Call {
    int32_t message;
    std::vector<intptr_t> values;
  };
  std::vector<Call> calls;
  QmDisplayCallback* removeOnCall = nullptr;  // removed during its first call
  std::vector<int32_t> Messages() const {
    std::vector<int32_t> m;
    for (const Call& c : calls) m.push_back(c.message);
    return m;
  }
};
int32_t logCallback(QmDisplayCallback*, int32_t message, const intptr_t* values, void* user) {
  auto* log = static_cast<CallbackLog*>(user);
  static const int COUNTS[] = {14, 5, 5, 3, 2, 1};
  int n = message >= 0 && message <= 5 ? COUNTS[message] : 0;
  log->calls.push_back({message, std::vector<intptr_t>(values, values + n)});
  if (log->removeOnCall) {
    QmDisplayCallback* victim = log->removeOnCall;
    log->removeOnCall = nullptr;
    RemoveDisplayCallback(victim);
  }
  return 0;
}

// Callbacks hear of every window copy (the scaled copy, or with tag 5 the
// unscaled picture), resizes and, when they ask, frames; the out tags give
// the drawing and picture sizes. A display holding a callback cannot be
// freed, and a picture with alpha takes none.
TEST_F(DisplayAdapterTest, CallbacksFollowCopiesSizesAndFrames) {
  DisplayRecord* d = Create(1, {{"width", 320}, {"height", 240}, {"scalefactor", 2}});
  ASSERT_NE(d, nullptr);
  CallbackLog scaled, unscaled;
  int32_t sizes[4] = {};
  QmTagItem tags[] = {{QM_DCBTAG_WIDTH, reinterpret_cast<uintptr_t>(&sizes[0])},
                      {QM_DCBTAG_HEIGHT, reinterpret_cast<uintptr_t>(&sizes[1])},
                      {QM_DCBTAG_PICWIDTH, reinterpret_cast<uintptr_t>(&sizes[2])},
                      {QM_DCBTAG_PICHEIGHT, reinterpret_cast<uintptr_t>(&sizes[3])},
                      {0, 0}};
  QmDisplayCallback* a = AddDisplayCallback(1, logCallback, &scaled, tags, 0);
  QmTagItem unscaledTags[] = {{QM_DCBTAG_UNSCALED, 1}, {QM_DCBTAG_VWAIT, 1}, {0, 0}};
  QmDisplayCallback* b = AddDisplayCallback(1, logCallback, &unscaled, unscaledTags, 0);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(sizes[0], 640);
  EXPECT_EQ(sizes[1], 480);
  EXPECT_EQ(sizes[2], 320);
  EXPECT_EQ(sizes[3], 240);
  EXPECT_EQ(AddDisplayCallback(9, logCallback, &scaled, nullptr, 0), nullptr);

  ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
  ASSERT_FALSE(scaled.calls.empty());
  ASSERT_FALSE(unscaled.calls.empty());
  EXPECT_EQ(scaled.calls.back().message, QM_DCB_WINDOWCOPY);
  EXPECT_EQ(scaled.calls.back().values[10], 640);
  EXPECT_EQ(unscaled.calls.back().values[10], 320);

  scaled.calls.clear();
  unscaled.calls.clear();
  WriteBitmapPixel(d->windowBitmap, 10, 10, 0xFF00FF00u, 0);
  RefreshDisplayRect(d->windowBitmap, 10, 10, d, 10, 10, 1, 1, REFRESH_SCALE);
  ASSERT_EQ(scaled.Messages(), std::vector<int32_t>{QM_DCB_WINDOWCOPY});
  ASSERT_EQ(unscaled.Messages(), std::vector<int32_t>{QM_DCB_WINDOWCOPY});
  // Without partial refreshes the whole picture is copied: {layout, dx,
  // dy, width, height} of each, and the new pixel in both.
  const std::vector<intptr_t>& s = scaled.calls[0].values;
  const std::vector<intptr_t>& u = unscaled.calls[0].values;
  EXPECT_EQ((std::vector<intptr_t>{s[1], s[8], s[9], s[10], s[11]}),
            (std::vector<intptr_t>{1, 0, 0, 640, 480}));
  EXPECT_EQ((std::vector<intptr_t>{u[1], u[8], u[9], u[10], u[11]}),
            (std::vector<intptr_t>{1, 0, 0, 320, 240}));
  auto at = [](const std::vector<intptr_t>& v, intptr_t x, intptr_t y) {
    return reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(v[0]) + y * v[2])[x] &
           0xFFFFFF;
  };
  EXPECT_EQ(at(s, 20, 20), 0x00FF00u);
  EXPECT_EQ(at(s, 22, 22), COLOUR);
  EXPECT_EQ(at(u, 10, 10), 0x00FF00u);
  EXPECT_EQ(at(u, 11, 11), COLOUR);
  // A copy flagged for no callbacks reaches nobody.
  RefreshDisplayRect(d->windowBitmap, 0, 0, d, 0, 0, 4, 4, REFRESH_NOCALLBACKS);
  EXPECT_EQ(scaled.calls.size(), 1u);

  scaled.calls.clear();
  unscaled.calls.clear();
  WaitDisplayVBlank(L, d, 7);
  EXPECT_TRUE(scaled.calls.empty());
  ASSERT_EQ(unscaled.Messages(), std::vector<int32_t>{QM_DCB_VBLANK});
  EXPECT_EQ(unscaled.calls[0].values[0], 7);

  unscaled.calls.clear();
  ASSERT_EQ(ResizeDisplay(L, d, KEEPPOSITION, KEEPPOSITION, 400, 300, 0, 0, 0, 0), ERR_NONE);
  ASSERT_FALSE(unscaled.calls.empty());
  EXPECT_EQ(unscaled.calls.back().message, QM_DCB_SIZE);
  EXPECT_EQ(unscaled.calls.back().values, (std::vector<intptr_t>{d->width, d->height}));

  // A second display with a callback cannot be freed until it is removed.
  ASSERT_NE(Create(2, {}), nullptr);
  QmDisplayCallback* c = AddDisplayCallback(2, logCallback, &scaled, nullptr, 0);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(FreeDisplayById(L, ObjectId{nullptr, 2}, 1), ERR_SATFREEDISP);
  RemoveDisplayCallback(c);
  EXPECT_EQ(FreeDisplayById(L, ObjectId{nullptr, 2}, 1), ERR_NONE);

  BitmapHandle* savedAlpha = d->bgpic->alpha;
  d->bgpic->alpha = d->windowBitmap;  // stands for any alpha channel
  EXPECT_EQ(AddDisplayCallback(1, logCallback, &scaled, nullptr, 0), nullptr);
  d->bgpic->alpha = savedAlpha;
  // a and b go with the display at shut-down (ASan).
}

// The graphics slots of the display callbacks reach the same services, and
// slot 20 finds a display by number or by its adapter window.
TEST_F(DisplayAdapterTest, GraphicsSlotsServeDisplayCallbacks) {
  DisplayRecord* d = Create(1, {{"width", 100}, {"height", 80}});
  ASSERT_NE(d, nullptr);
  const HostGraphicsTable* g = GetPluginHostApi()->graphics;
  auto add = reinterpret_cast<QmAddDisplayCallbackFunc>(
      reinterpret_cast<void (*)()>(g->slot[QM_GFX_ADDDISPLAYCALLBACK]));
  auto attrs = reinterpret_cast<QmGetDisplayAttrsForPluginFunc>(
      reinterpret_cast<void (*)()>(g->slot[QM_GFX_GETDISPLAYATTRSFORPLUGIN]));
  auto remove = reinterpret_cast<QmRemoveDisplayCallbackFunc>(
      reinterpret_cast<void (*)()>(g->slot[QM_GFX_REMOVEDISPLAYCALLBACK]));
  auto find = reinterpret_cast<QmFindDisplayFunc>(
      reinterpret_cast<void (*)()>(g->slot[QM_GFX_FINDDISPLAY]));
  CallbackLog log;
  QmDisplayCallback* c = add(1, logCallback, &log, nullptr, 0);
  ASSERT_NE(c, nullptr);
  int32_t width = 0;
  QmTagItem tags[] = {{10, 1}, {1, reinterpret_cast<uintptr_t>(&width)}, {0, 0}};
  EXPECT_GE(attrs(c, tags), 1);
  EXPECT_EQ(width, 100);
  EXPECT_EQ(find(1, nullptr), d);
  EXPECT_EQ(find(7, nullptr), nullptr);
  ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
  ASSERT_NE(d->windowHandle, 0u);
  EXPECT_EQ(find(0, reinterpret_cast<void*>(d->windowHandle)), d);
  remove(c);
}

// The platform's event wait goes to the adapter's WaitEvents once the
// event hooks are in, and returns at once instead of waiting on X11.
TEST_F(DisplayAdapterTest, PlatformWaitGoesThroughTheAdapter) {
  auto waits = Symbol<int32_t (*)()>("TestDisplayWaits");
  InstallAdapterEventHooks();
  int32_t before = waits();
  EXPECT_EQ(WaitPlatformEvent(L, 1, 0, nullptr), ERR_NONE);
  EXPECT_EQ(waits(), before + 1);
  SetDisplayAdapterHooks(nullptr, nullptr);
  SetDisplayAdapterWait(nullptr);
}

// Title, minimising, pointer moves and screen grabs go to the adapter's
// hooks with the window handle; a grab the adapter refuses is ERR_GRABSCREEN.
TEST_F(DisplayAdapterTest, WindowWrappersReachTheAdapter) {
  DisplayRecord* d = Create(1, {});
  ASSERT_TRUE(d);
  ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
  void* window = reinterpret_cast<void*>(d->windowHandle);
  ASSERT_NE(window, nullptr);

  strcpy(d->title, "Renamed");
  SetDisplayWindowTitle(d);
  int32_t args[6] = {};
  EXPECT_STREQ(Symbol<const char* (*)(void*, int32_t*)>("TestDisplayOpenArgs")(window, args),
               "Renamed");

  auto windowState = Symbol<void (*)(void*, int32_t*)>("TestDisplayWindowState");
  int32_t st[3] = {};
  EXPECT_EQ(ShowHideDisplayWindow(d, 1), ERR_NONE);
  windowState(window, st);
  EXPECT_EQ(st[0], 1);
  EXPECT_EQ(ShowHideDisplayWindow(d, 0), ERR_NONE);
  MoveDisplayPointer(d, 12, 34);
  windowState(window, st);
  EXPECT_EQ(st[0], 0);
  EXPECT_EQ(st[1], 12);
  EXPECT_EQ(st[2], 34);

  BitmapHandle* grab = nullptr;
  ASSERT_EQ(GrabDisplayPixels(d, 5, 7, 3, 2, 0, 0, &grab), ERR_NONE);
  ASSERT_NE(grab, nullptr);
  for (int32_t y = 0; y < 2; y++)
    for (int32_t x = 0; x < 3; x++)
      EXPECT_EQ(ReadBitmapPixel(grab, x, y, 0) & 0xFFFFFF,
                static_cast<uint32_t>((5 + x) << 12 | (7 + y)))
          << x << "," << y;
  FreeBitmap(grab);
  EXPECT_EQ(GrabDisplayPixels(d, 0, 0, 300, 2, 0, 0, &grab), ERR_GRABSCREEN);
  EXPECT_EQ(grab, nullptr);
  EXPECT_EQ(GrabDisplayPixels(d, 0, 0, 0, 2, 0, 0, &grab), ERR_GRABSCREEN);
}

// A callback that removes itself, or the one after it, during any message
// stops no other callback: the list is read again after every call.
TEST_F(DisplayAdapterTest, CallbacksRemovedDuringAMessage) {
  DisplayRecord* d = Create(1, {});
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
  struct Case {
    const char* name;
    int32_t message;
    void (*trigger)(VmState* L, DisplayRecord* d);
  } cases[] = {
      {"copy", QM_DCB_WINDOWCOPY,
       [](VmState*, DisplayRecord* d) {
         RefreshDisplayRect(d->windowBitmap, 0, 0, d, 0, 0, 8, 8, 0);
       }},
      {"fill", QM_DCB_RECTFILL,
       [](VmState*, DisplayRecord* d) { FillDisplayRect(d, 1, 2, 3, 4, 0xFF112233u, 0); }},
      {"line", QM_DCB_LINE,
       [](VmState*, DisplayRecord* d) { DrawDisplayLine(d, 0, 0, 5, 5, 0xFF112233u); }},
      {"pixel", QM_DCB_PIXEL,
       [](VmState*, DisplayRecord* d) { WriteDisplayPixel(d, 3, 3, 0xFF112233u); }},
      {"size", QM_DCB_SIZE,
       [](VmState* L, DisplayRecord* d) {
         ResizeDisplay(L, d, KEEPPOSITION, KEEPPOSITION, d->width + 2, d->height, 0, 0, 0, 0);
       }},
      {"frame", QM_DCB_VBLANK, [](VmState* L, DisplayRecord* d) { WaitDisplayVBlank(L, d, 1); }},
  };
  QmTagItem vwait[] = {{QM_DCBTAG_VWAIT, 1}, {0, 0}};
  for (const Case& c : cases) {
    for (bool removeSelf : {true, false}) {
      CallbackLog first, second, third;
      QmDisplayCallback* r1 = AddDisplayCallback(1, logCallback, &first, vwait, 0);
      QmDisplayCallback* r2 = AddDisplayCallback(1, logCallback, &second, vwait, 0);
      QmDisplayCallback* r3 = AddDisplayCallback(1, logCallback, &third, vwait, 0);
      ASSERT_TRUE(r1 && r2 && r3);
      // The first removes itself, or the second removes the third.
      if (removeSelf)
        first.removeOnCall = r1;
      else
        second.removeOnCall = r3;
      c.trigger(L, d);
      auto count = [&](const CallbackLog& log) {
        int n = 0;
        for (const CallbackLog::Call& call : log.calls) n += call.message == c.message;
        return n;
      };
      EXPECT_EQ(count(first), 1) << c.name << removeSelf;
      EXPECT_EQ(count(second), 1) << c.name << removeSelf;
      EXPECT_EQ(count(third), removeSelf ? 1 : 0) << c.name << removeSelf;
      for (QmDisplayCallback* r : {r1, r2, r3})
        if (!(removeSelf ? r == r1 : r == r3)) RemoveDisplayCallback(r);
      EXPECT_EQ(d->callbacks, nullptr) << c.name;
    }
  }
}

// Every message a plug-in posts for its callback reaches the queue as the
// window system's event, with the input state stored; key states are kept
// only for codes the tables hold.
TEST_F(DisplayAdapterTest, CallbackEventsReachTheQueue) {
  ASSERT_EQ(InitEventQueue(), ERR_NONE);
  DisplayRecord* d = Create(1, {});
  ASSERT_NE(d, nullptr);
  CallbackLog log;
  QmDisplayCallback* r = AddDisplayCallback(1, logCallback, &log, nullptr, 0);
  ASSERT_NE(r, nullptr);
  static const char DROP[] = "x.iff\0";
  struct Case {
    const char* name;
    int32_t message;
    std::vector<intptr_t> data;
    int32_t type;  // -1: nothing posted
    std::vector<int32_t> args;
  } cases[] = {
      {"close", 0, {4, 5, 0}, -1, {}},
      {"left", 1, {5, 6, 1}, EVENT_LEFTBUTTON, {5, 6, 1}},
      {"right", 2, {7, 8, 0}, EVENT_RIGHTBUTTON, {7, 8, 0}},
      {"middle", 3, {1, 2, 1}, EVENT_MIDBUTTON, {1, 2, 1}},
      {"wheel up", 4, {1, 2, 0}, EVENT_WHEELUP, {}},
      {"wheel down", 4, {1, 2, 1}, EVENT_WHEELDOWN, {}},
      {"key 313", 5, {313, 1, 0x80000001}, EVENT_KEY, {1, 0, 313}},
      {"key 400", 5, {400, 1, 0}, EVENT_KEY, {1, 0, 400}},
      {"char", 6, {0x20AC, 0, 0}, EVENT_CHAR, {0, 0, 0x20AC}},
      {"drop", 7, {3, 4, reinterpret_cast<intptr_t>(DROP)}, EVENT_DROPFILE, {3, 4}},
      {"raw key", 8, {300, 1, 0}, EVENT_RAWKEY, {1, 0, 300}},
  };
  for (const Case& c : cases) {
    PostDisplayCallbackEvent(r, c.message, c.data.data());
    EventRecord* e = TakeNextEvent(L);
    if (c.type < 0) {
      EXPECT_EQ(e, nullptr) << c.name;
      if (e) ReleaseEventRecord(L, e);
      continue;
    }
    ASSERT_NE(e, nullptr) << c.name;
    EXPECT_EQ(e->type, c.type) << c.name;
    for (size_t i = 0; i < c.args.size(); i++) EXPECT_EQ(e->args[i], c.args[i]) << c.name << i;
    if (c.message == 7) {
      EXPECT_EQ(std::memcmp(e->userData, DROP, sizeof DROP), 0);
    }
    ReleaseEventRecord(L, e);
  }
  EXPECT_EQ(d->callbackCloseRequested, 1);
  EXPECT_EQ(d->keyStates[313], 1);
  EXPECT_EQ(d->rawKeyStates[300], 1);
  EXPECT_EQ(d->callbackQualifiers, 0u);  // the last key message's
  EXPECT_EQ(d->hostButtons[0], 1);
  EXPECT_EQ(d->callbackMouseX, 1);

  // A record no display holds is ignored.
  CallbackLog other;
  QmDisplayCallback* gone = AddDisplayCallback(1, logCallback, &other, nullptr, 0);
  RemoveDisplayCallback(gone);
  const intptr_t click[3] = {1, 1, 1};
  gone = reinterpret_cast<QmDisplayCallback*>(&other);
  PostDisplayCallbackEvent(gone, 1, click);
  EXPECT_EQ(TakeNextEvent(L), nullptr);
  EXPECT_EQ(ChangeDisplaySizeForCallback(gone, 10, 10, nullptr), ERR_FINDDISPLAY);

  // A size change asked by the callback resizes the display and posts the
  // size event, without telling the callbacks themselves.
  NoteHostEventMainThread();
  log.calls.clear();
  ASSERT_EQ(ChangeDisplaySizeForCallback(r, 300, 200, nullptr), ERR_NONE);
  EXPECT_EQ(d->width, 300);
  EventRecord* e = TakeNextEvent(L);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->type, EVENT_WINDOWSIZE);
  ReleaseEventRecord(L, e);
  for (const CallbackLog::Call& call : log.calls) EXPECT_NE(call.message, QM_DCB_SIZE);
  // The attribute query finds the display by its callback record.
  int32_t width = 0;
  double factor = 0;
  QmTagItem query[] = {{10, 0},
                       {1, reinterpret_cast<uintptr_t>(&width)},
                       {11, reinterpret_cast<uintptr_t>(&factor)},
                       {0, 0}};
  EXPECT_EQ(GetDisplayAttrsForPlugin(r, query), 3);
  EXPECT_EQ(width, 300);
  EXPECT_EQ(factor, 1.0);
  EXPECT_EQ(GetDisplayAttrsForPlugin(gone, query), -1);
}

// Size and visibility changes asked from another thread only wait for the
// main thread, which applies them at its next poll, before any handler
// runs. (A newer size event replaces an older one of the display.)
TEST_F(DisplayAdapterTest, RequestsFromOtherThreadsWaitForThePoll) {
  ASSERT_EQ(InitEventQueue(), ERR_NONE);
  DisplayRecord* d = Create(1, {});
  ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
  NoteHostEventMainThread();
  CallbackLog log;
  QmDisplayCallback* r = AddDisplayCallback(1, logCallback, &log, nullptr, 0);
  ASSERT_NE(r, nullptr);
  const uintptr_t h = d->windowHandle;
  auto events = [&] {
    std::vector<std::vector<int32_t>> seen;
    while (EventRecord* e = TakeNextEvent(L)) {
      seen.push_back({e->type, e->args[0], e->args[1]});
      ReleaseEventRecord(L, e);
    }
    return seen;
  };
  struct Step {
    const char* name;
    std::function<void()> request;  // run on another thread
    int32_t width, height, state;
    std::vector<std::vector<int32_t>> events;
  };
  const Step steps[] = {
      {"host size and hidden",
       [&] {
         const uintptr_t size[8] = {h, 320, 200}, hidden[8] = {h, 0};
         EXPECT_EQ(PostHostEvent(L, 6, size), ERR_NONE);
         EXPECT_EQ(PostHostEvent(L, 8, hidden), ERR_NONE);
       },
       320,
       200,
       DISPSTATE_MINIMIZED,
       {{EVENT_HIDEWINDOW, 0, 0}, {EVENT_WINDOWSIZE, 320, 200}}},
      {"callback size and shown",
       [&] {
         const uintptr_t shown[8] = {h, 1};
         EXPECT_EQ(ChangeDisplaySizeForCallback(r, 300, 100, nullptr), ERR_NONE);
         EXPECT_EQ(PostHostEvent(L, 8, shown), ERR_NONE);
       },
       300,
       100,
       DISPSTATE_OPEN,
       {{EVENT_SHOWWINDOW, 0, 0}, {EVENT_WINDOWSIZE, 300, 100}}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    const int32_t width = d->width, state = d->state;
    std::thread other(step.request);
    other.join();
    EXPECT_EQ(d->width, width);
    EXPECT_EQ(d->state, state);
    ErrorCode error = ERR_NONE;
    PollEvents(L, 2, 0, &error);
    EXPECT_EQ(d->width, step.width);
    EXPECT_EQ(d->height, step.height);
    EXPECT_EQ(d->state, step.state);
    EXPECT_EQ(events(), step.events);
  }
  RemoveDisplayCallback(r);
}

}  // namespace
