// The X11 event pump under a private Xvfb without a window manager, driven
// by xdotool: key codes of the raw, translated and typed-character events
// by the key table, mouse buttons and wheel with their positions, focus
// changes, motion, outside resizes, border drags of a borderless display, a
// close request with and without a "closewindow" handler and the line hook's
// poll; and the size-region zones.
// Each case pumps until the events it expects have come or a bounded number
// of passes is spent.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include "display/display.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "tests/platform/xvfb.h"
#include "tests/support/harness.h"
#include "runtime/runtime_private.h"

namespace {

constexpr int MAX_PASSES = 300;  // 10 ms apart: a bound on waiting for events that must come

struct Seen {
  int32_t type, a1, a2, a3;
  bool operator==(const Seen& o) const {
    return type == o.type && a1 == o.a1 && a2 == o.a2 && a3 == o.a3;
  }
};
std::ostream& operator<<(std::ostream& os, const Seen& s) {
  return os << "{" << s.type << ", " << s.a1 << ", " << s.a2 << ", " << s.a3 << "}";
}

std::vector<std::string> actions;
std::vector<std::string> keys;
std::vector<std::string> ids;
std::vector<std::string> places;  // "x,y" or "width,height" when the message has them
int recordHandler(VmState* L) {
  auto field = [L](const char* key) {
    VmPushString(L, key);
    VmGetTable(L, 1);
    std::string text = VmType(L, -1) == VM_TYPE_NIL ? "<nil>" : VmToString(L, -1);
    VmSetTop(L, -2);
    return text;
  };
  actions.push_back(field("action"));
  keys.push_back(field("key"));
  ids.push_back(field("id"));
  if (field("x") != "<nil>") places.push_back(field("x") + "," + field("y"));
  if (field("width") != "<nil>") places.push_back(field("width") + "," + field("height"));
  return 0;
}

class X11EventsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new TestXServer(24); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server->running());
    setenv("DISPLAY", server->name().c_str(), 1);
    setenv("LANG", "C.UTF-8", 1);
    SetNoPointerThread(1);
    ASSERT_EQ(OpenX11Connection(), ERR_NONE);
    ASSERT_EQ(InitEventQueue(), ERR_NONE);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(h.L), ERR_NONE);
    ASSERT_EQ(OpenEventLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
    ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 1}, 0, 0, &display), ERR_NONE);
    SetCurrentDisplay(display);
    ASSERT_EQ(OpenDisplayWindow(h.L, display, 0), ERR_NONE);
    window = GetDisplayWindowId(display);
    ASSERT_NE(window, 0u);
    Focus(window);
    Drain();
    actions.clear();
    keys.clear();
    ids.clear();
    places.clear();
  }
  void TearDown() override {
    FreeAllEvents(h.L);
    CloseDisplayLibrary(h.L);
    FreeEventQueue(h.L);
    CloseX11Connection();
    SetNoPointerThread(0);
    PlayerHarness::ResetRunWords();
    unsetenv("DISPLAY");
  }

  void Tool(const std::vector<std::string>& arguments) {
    ASSERT_EQ(server->run(arguments), 0) << arguments[1];
  }
  void Focus(unsigned long w) { Tool({"xdotool", "windowfocus", "--sync", std::to_string(w)}); }
  // One pump pass; its stop result.
  int Pump() {
    XSync(display->x11->display, False);
    ErrorCode error = ERR_NONE;
    return PollEvents(h.L, 0, 0, &error);
  }
  // Takes every queued event.
  std::vector<Seen> Take() {
    std::vector<Seen> seen;
    while (EventRecord* e = TakeNextEvent(h.L)) {
      seen.push_back({e->type, e->args[0], e->args[1], e->args[2]});
      ReleaseEventRecord(h.L, e);
    }
    return seen;
  }
  // Pumps until count events of the listed types have come.
  std::vector<Seen> PumpFor(size_t count, const std::vector<int32_t>& types) {
    std::vector<Seen> seen;
    for (int pass = 0; pass < MAX_PASSES && seen.size() < count; ++pass) {
      Pump();
      for (const Seen& s : Take())
        for (int32_t t : types)
          if (s.type == t) seen.push_back(s);
      if (seen.size() < count) usleep(10000);
    }
    return seen;
  }
  // Pumps and discards until a round trip brings nothing more: once XSync
  // returns, every event that the requests made so far (the tools' too, each
  // finished) have caused is in, so an empty queue after it leaves nothing
  // of the set-up for the next case to see.
  void Drain() {
    Display* connection = display->x11->display;
    for (int pass = 0; pass < MAX_PASSES; ++pass) {
      Pump();
      Take();
      XSync(connection, False);
      if (XPending(connection) == 0) return;
    }
    ADD_FAILURE() << "events kept coming for " << MAX_PASSES << " passes";
  }
  // Pumps and dispatches until the handler ran count times.
  void DispatchFor(size_t count) {
    for (int pass = 0; pass < MAX_PASSES && actions.size() < count; ++pass) {
      Pump();
      VmSetTop(h.L, 0);
      ASSERT_EQ(h.Call("CheckEvents", 0), ERR_NONE);
      VmSetTop(h.L, 0);
      if (actions.size() < count) usleep(10000);
    }
  }
  void Install(const std::vector<std::string>& names) {
    VmSetTop(h.L, 0);
    VmNewTable(h.L);
    for (const std::string& n : names) {
      VmPushString(h.L, n.c_str());
      VmPushCClosure(h.L, recordHandler, 0);
      VmSetTable(h.L, -3);
    }
    ASSERT_EQ(h.Call("InstallEventHandler", 1), ERR_NONE);
    VmSetTop(h.L, 0);
  }

  static TestXServer* server;
  PlayerHarness h;
  DisplayRecord* display = nullptr;
  unsigned long window = 0;
};
TestXServer* X11EventsTest::server = nullptr;

// Size regions of a 100 x 80 display classified by the border they touch;
// the offsets measure from the grabbed edges.
TEST(HitTestWindowBorder, ZonesAndOffsets) {
  auto display = std::make_unique<DisplayRecord>();
  display->width = 100;
  display->height = 80;
  struct Case {
    const char* name;
    DisplayRegion region;
    int32_t x, y;
    int32_t zone, offsetX, offsetY;
  };
  const Case cases[] = {
      {"top-left", {14, 0, 0, 10, 10}, 3, 4, 0, 3, 4},
      {"bottom-left", {14, 0, 70, 10, 10}, 3, 75, 1, 3, 4},
      {"bottom-left reaches one column further", {14, 10, 70, 5, 10}, 12, 75, 1, 12, 4},
      {"top-right", {14, 90, 0, 10, 10}, 95, 2, 2, 4, 2},
      {"bottom-right", {14, 90, 70, 10, 10}, 95, 75, 3, 4, 4},
      {"left", {14, 0, 20, 5, 40}, 2, 30, 4, 2, 0},
      {"right", {14, 95, 20, 5, 40}, 97, 30, 5, 2, 0},
      {"top", {14, 20, 0, 60, 5}, 50, 3, 6, 0, 3},
      {"bottom", {14, 20, 75, 60, 5}, 50, 77, 7, 0, 2},
      {"inside: treated as bottom-right", {14, 30, 30, 10, 10}, 35, 35, 3, 4, 4},
  };
  for (const Case& c : cases) {
    int32_t ox = -1, oy = -1;
    EXPECT_EQ(HitTestWindowBorder(display.get(), &c.region, c.x, c.y, &ox, &oy), c.zone) << c.name;
    EXPECT_EQ(ox, c.offsetX) << c.name;
    EXPECT_EQ(oy, c.offsetY) << c.name;
  }
}

TEST_F(X11EventsTest, KeysFollowTheKeyTable) {
  struct Case {
    const char* name;
    const char* key;         // xdotool's key name
    std::vector<Seen> want;  // raw, translated and typed events in order
  };
  const Case cases[] = {
      {"plain a",
       "a",
       {{29, 1, 0, 65}, {3, 1, 0, 97}, {28, 0, 0, 97}, {29, 0, 0, 65}, {3, 0, 0, 97}}},
      // xdotool lets go of Shift first: the release of a is unshifted.
      {"shift+a",
       "shift+a",
       {{29, 1, 0, 306},
        {29, 1, 0, 65},
        {3, 1, 0, 65},
        {28, 0, 0, 65},
        {29, 0, 0, 306},
        {29, 0, 0, 65},
        {3, 0, 0, 97}}},
      {"digit",
       "7",
       {{29, 1, 0, 55}, {3, 1, 0, 55}, {28, 0, 0, 55}, {29, 0, 0, 55}, {3, 0, 0, 55}}},
      {"keypad multiply",
       "KP_Multiply",
       {{29, 1, 0, 301}, {3, 1, 0, 42}, {28, 0, 0, 42}, {29, 0, 0, 301}, {3, 0, 0, 42}}},
      {"keypad add",
       "KP_Add",
       {{29, 1, 0, 302}, {3, 1, 0, 43}, {28, 0, 0, 43}, {29, 0, 0, 302}, {3, 0, 0, 43}}},
      {"escape types nothing",
       "Escape",
       {{29, 1, 0, 275}, {3, 1, 0, 275}, {29, 0, 0, 275}, {3, 0, 0, 275}}},
      {"space types a blank",
       "space",
       {{29, 1, 0, 276}, {3, 1, 0, 276}, {28, 0, 0, 32}, {29, 0, 0, 276}, {3, 0, 0, 276}}},
      {"F12", "F12", {{29, 1, 0, 279}, {3, 1, 0, 279}, {29, 0, 0, 279}, {3, 0, 0, 279}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Tool({"xdotool", "key", c.key});
    EXPECT_EQ(PumpFor(c.want.size(), {3, 28, 29}), c.want);
  }
  // Keypad 5 with Num Lock on: the keypad's raw code, the digit as typed.
  // Whether the release reads as keypad 5 depends on how xdotool sets Num
  // Lock around it (as Begin on the keypad it has no row), so only the
  // press is compared.
  Tool({"xdotool", "key", "KP_5"});
  std::vector<Seen> keypad = PumpFor(3, {3, 28, 29});
  keypad.resize(3, Seen{0, 0, 0, 0});
  EXPECT_EQ(keypad, (std::vector<Seen>{{29, 1, 0, 296}, {3, 1, 0, 53}, {28, 0, 0, 53}}));
  Drain();
  // Home has no row and a keysym above 0xff: nothing at all. An event
  // after it proves the pump has read past it.
  Tool({"xdotool", "key", "Home", "b"});
  std::vector<Seen> after = PumpFor(1, {3, 28, 29});
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after[0], (Seen{29, 1, 0, 66}));
}

TEST_F(X11EventsTest, KeyDownHandlerSeesTheKeyText) {
  Install({"onkeydown", "vanillakey", "onrawkeydown"});
  Tool({"xdotool", "key", "a"});
  DispatchFor(3);
  ASSERT_EQ(actions.size(), 3u);
  EXPECT_EQ(actions, (std::vector<std::string>{"OnRawKeyDown", "OnKeyDown", "VanillaKey"}));
  EXPECT_EQ(keys, (std::vector<std::string>{"A", "a", "a"}));
  EXPECT_EQ(ids[1], "1");
}

// The input method (whose opening parses the locale's whole Compose
// table) waits for the first key that can type a character: not the window
// opening, not the focus, not a key that types nothing.
TEST_F(X11EventsTest, InputMethodOpensAtTheFirstTypingKey) {
  X11DisplayRecord* rec = display->x11;
  EXPECT_EQ(rec->connection->inputMethod, nullptr);
  Tool({"xdotool", "key", "F12"});
  EXPECT_EQ(PumpFor(2, {3}).size(), 2u);
  EXPECT_EQ(rec->connection->inputMethod, nullptr);
  EXPECT_EQ(rec->inputContext, nullptr);
  Tool({"xdotool", "key", "a"});
  EXPECT_EQ(PumpFor(1, {28}), (std::vector<Seen>{{28, 0, 0, 97}}));
  EXPECT_NE(rec->connection->inputMethod, nullptr);
  EXPECT_NE(rec->inputContext, nullptr);
}

TEST_F(X11EventsTest, ButtonsAndWheelCarryTheirPositions) {
  Tool({"xdotool", "mousemove", "--window", std::to_string(window), "20", "30", "click", "1"});
  std::vector<Seen> buttons = PumpFor(2, {1});
  EXPECT_EQ(buttons, (std::vector<Seen>{{1, 20, 30, 1}, {1, 20, 30, 0}}));
  Install({"onmousedown", "onmouseup", "onwheelup", "onwheeldown"});
  Tool({"xdotool", "click", "1", "click", "4", "click", "5"});
  DispatchFor(4);
  EXPECT_EQ(actions,
            (std::vector<std::string>{"OnMouseDown", "OnMouseUp", "OnWheelUp", "OnWheelDown"}));
  // Motion is reported once per dispatch round with the newest position.
  actions.clear();
  Install({"onmousemove"});
  Tool({"xdotool", "mousemove", "--window", std::to_string(window), "40", "50"});
  DispatchFor(1);
  EXPECT_EQ(actions, (std::vector<std::string>{"OnMouseMove"}));
  ASSERT_FALSE(places.empty());
  EXPECT_EQ(places.back(), "40,50");
}

// A window resized from outside: the new size is applied after the pass
// and the handler sees it.
TEST_F(X11EventsTest, OutsideResizeReachesTheSizeHandler) {
  Install({"sizewindow"});
  Tool({"xdotool", "windowsize", "--sync", std::to_string(window), "300", "200"});
  DispatchFor(1);
  EXPECT_EQ(actions, (std::vector<std::string>{"SizeWindow"}));
  EXPECT_EQ(places, (std::vector<std::string>{"300,200"}));
  EXPECT_EQ(display->width, 300);
  EXPECT_EQ(display->height, 200);
}

// A left press on a borderless display's drag or size region starts a
// border drag: the window follows the pointer (moved, or sized from the
// grabbed corner) and the script sees no button at all.
TEST_F(X11EventsTest, BorderRegionsOfABorderlessDisplayDragTheWindow) {
  struct Case {
    const char* name;
    bool sizeRegion;  // the region in the bottom-right corner sizes, else a top strip moves
    int32_t wantDx, wantDy, wantDw, wantDh;
  };
  const Case cases[] = {
      {"drag region moves", false, 30, 40, 0, 0},
      {"size region sizes from its corner", true, 0, 0, 20, 10},
  };
  // A window well inside the 640 x 480 screen, so the pointer can go on
  // past each region.
  auto pumpUntil = [this](auto done) {
    for (int pass = 0; pass < MAX_PASSES && !done(); ++pass) {
      Pump();
      Take();
      usleep(10000);
    }
  };
  Tool({"xdotool", "windowsize", "--sync", std::to_string(window), "300", "200"});
  pumpUntil([this] { return display->width == 300 && display->height == 200; });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Tool({"xdotool", "windowmove", "--sync", std::to_string(window), "100", "100"});
    pumpUntil([this] { return display->x == 100 && display->y == 100; });
    Drain();
    int32_t x = display->x, y = display->y, w = display->width, h = display->height;
    ASSERT_EQ(x, 100);
    ASSERT_EQ(w, 300);
    display->flags = (display->flags | DSF_BORDERLESS | DSF_SIZEABLE) & ~DSF_FIXED;
    display->dragCount = display->sizeCount = 0;
    int32_t pressX = 20, pressY = 5;
    if (c.sizeRegion) {
      display->sizeRegions[0] = {14, w - 10, h - 10, 10, 10};
      display->sizeCount = 1;
      pressX = w - 5;
      pressY = h - 5;
    } else {
      display->dragRegions[0] = {14, 0, 0, w, 10};
      display->dragCount = 1;
    }
    int32_t dx = c.sizeRegion ? 20 : 30, dy = c.sizeRegion ? 10 : 40;
    Tool({"xdotool", "mousemove", "--window", std::to_string(window), std::to_string(pressX),
          std::to_string(pressY), "mousedown", "1", "mousemove_relative", "--sync",
          std::to_string(dx), std::to_string(dy), "mouseup", "1"});
    std::vector<Seen> buttons;
    for (int pass = 0; pass < MAX_PASSES; ++pass) {
      Pump();
      for (const Seen& s : Take())
        if (s.type == EVENT_LEFTBUTTON) buttons.push_back(s);
      if (display->x == x + c.wantDx && display->y == y + c.wantDy &&
          display->width == w + c.wantDw && display->height == h + c.wantDh)
        break;
      usleep(10000);
    }
    EXPECT_EQ(display->x - x, c.wantDx);
    EXPECT_EQ(display->y - y, c.wantDy);
    EXPECT_EQ(display->width - w, c.wantDw);
    EXPECT_EQ(display->height - h, c.wantDh);
    EXPECT_TRUE(buttons.empty());
    display->flags &= ~(DSF_BORDERLESS | DSF_SIZEABLE);
    display->dragCount = display->sizeCount = 0;
  }
}

TEST_F(X11EventsTest, FocusChangesReachTheirHandlers) {
  Install({"activewindow", "inactivewindow"});
  Display* probe = XOpenDisplay(server->name().c_str());
  ASSERT_NE(probe, nullptr);
  Window other = XCreateSimpleWindow(probe, DefaultRootWindow(probe), 300, 300, 50, 50, 0, 0, 0);
  XMapWindow(probe, other);
  XSync(probe, False);
  Tool({"xdotool", "windowfocus", "--sync", std::to_string(other)});
  DispatchFor(1);
  Focus(window);
  DispatchFor(2);
  EXPECT_EQ(actions, (std::vector<std::string>{"InactiveWindow", "ActiveWindow"}));
  EXPECT_EQ(ids, (std::vector<std::string>{"1", "1"}));
  XDestroyWindow(probe, other);
  XCloseDisplay(probe);
}

// What a window manager sends when the user closes the window.
void SendCloseRequest(const std::string& server, unsigned long window) {
  Display* probe = XOpenDisplay(server.c_str());
  ASSERT_NE(probe, nullptr);
  XEvent ev = {};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = window;
  ev.xclient.message_type = XInternAtom(probe, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = static_cast<long>(XInternAtom(probe, "WM_DELETE_WINDOW", False));
  ev.xclient.data.l[1] = CurrentTime;
  XSendEvent(probe, window, False, NoEventMask, &ev);
  XSync(probe, False);
  XCloseDisplay(probe);
}

TEST_F(X11EventsTest, CloseRequestGoesToTheHandlerOrStopsTheProgram) {
  Install({"closewindow"});
  SendCloseRequest(server->name(), window);
  DispatchFor(1);
  EXPECT_EQ(actions, (std::vector<std::string>{"CloseWindow"}));
  EXPECT_EQ(ids, (std::vector<std::string>{"1"}));
  EXPECT_EQ(vmRun.quit, 0);

  VmSetTop(h.L, 0);
  VmNewTable(h.L);
  VmPushString(h.L, "closewindow");
  VmPushNumber(h.L, 0);
  VmSetTable(h.L, -3);
  ASSERT_EQ(h.Call("InstallEventHandler", 1), ERR_NONE);
  VmSetTop(h.L, 0);
  SendCloseRequest(server->name(), window);
  int stopped = 0;
  for (int pass = 0; pass < MAX_PASSES && !stopped; ++pass) {
    stopped = Pump();
    if (!stopped) usleep(10000);
  }
  EXPECT_EQ(stopped, 1);
  EXPECT_EQ(vmRun.quit, 1);
}

// A running script is stopped by the line hook's poll once a close request
// without a handler arrives; with the hook switched off the loop runs to its
// end. The loop is bounded (2 * 10^7 steps) so a missed stop fails, not hangs.
TEST_F(X11EventsTest, LineHookPollStopsALoopOnAnUnhandledCloseRequest) {
  const char* program = R"(
.source "=t"
.line 1
LOADNUM 0, 0
LOADNUM 1, 0
LOADCONST 2, #20000000
LOADNUM 3, 1
JUMP test
.line 2
body: ADD 0, 0, 1
.line 3
test: FORLOOP 1, body
.line 4
SETGLOBAL 0, "finished"
RETURN 0, 1
)";
  struct Case {
    const char* name;
    int32_t hookDisabled;
    ErrorCode want;
  };
  for (Case c : {Case{"hook off", 1, ERR_NONE}, Case{"hook on", 0, ERR_USERABORT}}) {
    SCOPED_TRACE(c.name);
    // A close request left from the case before stops the drain's pump.
    Drain();
    PlayerHarness::ResetRunWords();
    SendCloseRequest(server->name(), window);
    XSync(display->x11->display, False);
    vmLineHookDisabled = c.hookDisabled;
    EXPECT_EQ(h.Run(program), c.want);
    vmLineHookDisabled = 0;
  }
}

}  // namespace
