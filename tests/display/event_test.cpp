// The event library's dispatcher without a window: every queued event type
// posted from C++ reaches its handler with the message fields of its kind;
// handler tables install, replace and remove slots and user data; a quit
// request, a handler's error and an event without a handler end or skip a
// step as they should; user event types refuse taken names; a script
// looping on WaitEvent ends when its handler calls End.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "display/display.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "media/media.h"
#include "plugins/hostapi.h"
#include "plugins/plugin_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11calls_private.h"
#include "tests/support/harness.h"
#include "runtime/runtime_private.h"
#include "engine/engine_private.h"

namespace {

// The handler every case installs: keeps its message table in the global
// "msg" and counts its calls.
int handlerCalls = 0;
int recordMessage(VmState* L) {
  ++handlerCalls;
  VmPushString(L, "msg");
  VmPushValue(L, 1);
  VmSetTable(L, VM_GLOBALS_INDEX);
  VmPushNumber(L, 42);
  return 1;
}
int failingHandler(VmState* L) {
  RaiseCommandError(L, ERR_WRONGUSAGE);
  return 0;
}

ErrorCode userMessageHook(VmState* L, void* payload) {
  SetTableFieldInt(L, "extra", *static_cast<int32_t*>(payload));
  return ERR_NONE;
}
int userPayloadsFreed = 0;
void userFreeHook(VmState*, void* payload) {
  ++userPayloadsFreed;
  FreeMemory(payload);
}

class EventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitEventQueue(), ERR_NONE);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(h.L), ERR_NONE);
    ASSERT_EQ(OpenEventLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
    ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 1}, 0, 0, &display), ERR_NONE);
    SetCurrentDisplay(display);
    handlerCalls = 0;
    userPayloadsFreed = 0;
  }
  void TearDown() override {
    FreeAllEvents(h.L);
    FreeEventQueue(h.L);
    CloseDisplayLibrary(h.L);
  }

  // InstallEventHandler({name = recorder, ...}[, userdata]).
  ErrorCode Install(const std::vector<std::string>& names, VmCommandFunction fn = recordMessage,
                    const char* userData = nullptr, const std::vector<std::string>& removed = {}) {
    VmSetTop(h.L, 0);
    VmNewTable(h.L);
    for (const std::string& n : names) {
      VmPushString(h.L, n.c_str());
      VmPushCClosure(h.L, fn, 0);
      VmSetTable(h.L, -3);
    }
    for (const std::string& n : removed) {
      VmPushString(h.L, n.c_str());
      VmPushNumber(h.L, 0);
      VmSetTable(h.L, -3);
    }
    if (userData) VmPushString(h.L, userData);
    ErrorCode error = h.Call("InstallEventHandler", userData ? 2 : 1);
    VmSetTop(h.L, 0);
    return error;
  }

  // CheckEvent's result table's field, as text ("" for nil).
  ErrorCode Check(std::string* action, int* triggered) {
    VmSetTop(h.L, 0);
    ErrorCode error = h.Call("CheckEvent", 0);
    if (error != ERR_NONE) return error;
    *action = Field(1, "action");
    *triggered = static_cast<int>(VmToNumber(h.L, (PushField(1, "triggered"), -1)));
    VmSetTop(h.L, 0);
    return ERR_NONE;
  }

  void PushField(int table, const char* key) {
    VmPushString(h.L, key);
    VmGetTable(h.L, table < 0 ? table - 1 : table);
  }
  std::string Field(int table, const char* key) {
    PushField(table, key);
    std::string text = VmType(h.L, -1) == VM_TYPE_NIL ? "<nil>" : VmToString(h.L, -1);
    VmSetTop(h.L, -2);
    return text;
  }
  // A field of the last message table.
  std::string MessageField(const char* key) {
    VmPushString(h.L, "msg");
    VmGetTable(h.L, VM_GLOBALS_INDEX);
    std::string text = Field(-1, key);
    VmSetTop(h.L, -2);
    return text;
  }

  PlayerHarness h;
  DisplayRecord* display = nullptr;
};

void* copyOf(const char* bytes, size_t n) {
  void* p = AllocMemory(n, 0);
  std::memcpy(p, bytes, n);
  return p;
}

struct QueuedCase {
  const char* name;
  int32_t type, a1, a2, a3;
  const char* payload;
  size_t payloadLength;
  const char* slot;
  const char* action;  // "<nil>": the kind has no action
  std::vector<std::pair<const char*, std::string>> fields;
};

TEST_F(EventTest, EveryQueuedTypeReachesItsHandlerWithItsFields) {
  display->x = 11;
  display->y = 12;
  display->width = 200;
  display->height = 100;
  display->scaleFactorActive = 1;
  display->scaleFactor = 2.0;
  display->orientation = 3;
  const std::string id = "1";
  const std::vector<QueuedCase> cases = {
      {"left down", 1, 20, 30, 1, nullptr, 0, "onmousedown", "OnMouseDown", {{"id", id}}},
      {"left up", 1, 20, 30, 0, nullptr, 0, "onmouseup", "OnMouseUp", {{"id", id}}},
      {"right down", 2, 1, 2, 1, nullptr, 0, "onrightmousedown", "OnRightMouseDown", {{"id", id}}},
      {"right up", 2, 1, 2, 0, nullptr, 0, "onrightmouseup", "OnRightMouseUp", {}},
      {"middle down", 16, 1, 2, 1, nullptr, 0, "onmidmousedown", "OnMidMouseDown", {}},
      {"middle up", 16, 1, 2, 0, nullptr, 0, "onmidmouseup", "OnMidMouseUp", {}},
      {"wheel up", 11, 5, 6, 0, nullptr, 0, "onwheelup", "OnWheelUp", {{"id", id}}},
      {"wheel down", 12, 5, 6, 0, nullptr, 0, "onwheeldown", "OnWheelDown", {{"id", id}}},
      {"key down", 3, 1, 0, 'a', nullptr, 0, "onkeydown", "OnKeyDown", {{"key", "a"}, {"id", id}}},
      {"key up named", 3, 0, 0, 275, nullptr, 0, "onkeyup", "OnKeyUp", {{"key", "ESC"}}},
      {"raw key down",
       29,
       1,
       0,
       'A',
       nullptr,
       0,
       "onrawkeydown",
       "OnRawKeyDown",
       {{"key", "A"}, {"modifiers", "0"}}},
      {"raw key up keypad",
       29,
       0,
       0,
       296,
       nullptr,
       0,
       "onrawkeyup",
       "OnRawKeyUp",
       {{"key", "NP5"}}},
      {"typed character",
       28,
       0,
       0,
       0xe9,
       nullptr,
       0,
       "vanillakey",
       "VanillaKey",
       {{"key", "\xc3\xa9"}}},
      {"moved", 4, 0, 0, 0, nullptr, 0, "movewindow", "MoveWindow", {{"x", "11"}, {"y", "12"}}},
      {"sized, scaled by 2",
       5,
       0,
       0,
       0,
       nullptr,
       0,
       "sizewindow",
       "SizeWindow",
       {{"width", "100"}, {"height", "50"}}},
      {"inactive", 6, 0, 0, 0, nullptr, 0, "inactivewindow", "InactiveWindow", {{"id", id}}},
      {"close", 7, 0, 0, 0, nullptr, 0, "closewindow", "CloseWindow", {{"id", id}}},
      {"active", 8, 0, 0, 0, nullptr, 0, "activewindow", "ActiveWindow", {{"id", id}}},
      {"hidden", 9, 0, 0, 0, nullptr, 0, "hidewindow", "HideWindow", {}},
      {"shown", 10, 0, 0, 0, nullptr, 0, "showwindow", "ShowWindow", {}},
      {"mode switch",
       13,
       0,
       0,
       0,
       nullptr,
       0,
       "modeswitch",
       "ModeSwitch",
       {{"mode", "1"}, {"width", "200"}, {"height", "100"}, {"id", id}}},
      {"files dropped",
       14,
       7,
       8,
       0,
       "/a\0/b c\0",
       9,
       "ondropfile",
       "OnDropFile",
       {{"x", "7"}, {"y", "8"}, {"numdropfiles", "2"}}},
      {"clipboard", 15, 0, 0, 0, nullptr, 0, "clipboardchange", "ClipboardChange", {{"id", id}}},
      {"orientation",
       17,
       0,
       0,
       0,
       nullptr,
       0,
       "orientationchange",
       "OrientationChange",
       {{"orientation", "3"}}},
      {"show keyboard", 18, 0, 0, 0, nullptr, 0, "showkeyboard", "ShowKeyboard", {}},
      {"hide keyboard", 19, 0, 0, 0, nullptr, 0, "hidekeyboard", "HideKeyboard", {}},
      {"hot key", 20, 0, 0, 0, nullptr, 0, "hotkey", "Hotkey", {}},
      {"tray icon", 21, 0, 0, 0, nullptr, 0, "trayicon", "TrayIcon", {}},
      {"touch: no action", 22, 0, 0, 0, nullptr, 0, "ontouch", "<nil>", {{"id", "<nil>"}}},
      {"application message",
       25,
       0,
       0,
       0,
       "hi there\0sender\0",
       16,
       "onapplicationmessage",
       "OnApplicationMessage",
       {{"message", "hi there"}, {"sender", "sender"}}},
      {"menu select",
       26,
       0,
       0,
       1,
       "quit\0",
       5,
       "onmenuselect",
       "OnMenuSelect",
       {{"item", "quit"}, {"selected", "1"}}},
      {"dock click", 27, 0, 0, 0, nullptr, 0, "ondockyclick", "OnDockyClick", {}},
      {"accelerometer", 30, 0, 0, 0, nullptr, 0, "onaccelerometer", "<nil>", {}},
      {"gyroscope", 31, 0, 0, 0, nullptr, 0, "ongyroscope", "<nil>", {}},
  };
  for (const QueuedCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Install({c.slot}, recordMessage, "ud"), ERR_NONE);
    void* payload = c.payload ? copyOf(c.payload, c.payloadLength) : nullptr;
    ASSERT_EQ(PostEvent(display, c.type, c.a1, c.a2, c.a3, payload), 1);
    std::string action;
    int triggered = 0;
    handlerCalls = 0;
    ASSERT_EQ(Check(&action, &triggered), ERR_NONE);
    EXPECT_EQ(triggered, 1);
    EXPECT_EQ(handlerCalls, 1);
    EXPECT_EQ(MessageField("action"), c.action);
    EXPECT_EQ(MessageField("userdata"), "ud");
    EXPECT_NE(MessageField("timestamp"), "<nil>");
    for (const auto& [key, want] : c.fields) EXPECT_EQ(MessageField(key), want) << key;
    ASSERT_EQ(Install({}, recordMessage, nullptr, {c.slot}), ERR_NONE);
  }
}

TEST_F(EventTest, DroppedPathsArriveAsAListFromIndexZero) {
  ASSERT_EQ(Install({"ondropfile"}), ERR_NONE);
  ASSERT_EQ(PostEvent(display, EVENT_DROPFILE, 0, 0, 0, copyOf("/x\0/y\0", 7)), 1);
  std::string action;
  int triggered;
  ASSERT_EQ(Check(&action, &triggered), ERR_NONE);
  VmPushString(h.L, "msg");
  VmGetTable(h.L, VM_GLOBALS_INDEX);
  PushField(-1, "dropfiles");
  VmRawGetI(h.L, -1, 0);
  EXPECT_STREQ(VmToString(h.L, -1), "/x");
  VmRawGetI(h.L, -2, 1);
  EXPECT_STREQ(VmToString(h.L, -1), "/y");
  VmSetTop(h.L, 0);
}

// The result table of CheckEvent and what a step does with events that no
// handler takes, a quit request and a failing handler.
TEST_F(EventTest, CheckEventResultsSkipsQuitsAndErrors) {
  ASSERT_EQ(Install({"onkeydown"}), ERR_NONE);
  // No handler for key-up: dropped, and the next event is taken.
  ASSERT_EQ(PostEvent(display, EVENT_KEY, 0, 0, 'x', nullptr), 1);
  ASSERT_EQ(PostEvent(display, EVENT_KEY, 1, 0, 'y', nullptr), 1);
  VmSetTop(h.L, 0);
  ASSERT_EQ(h.Call("CheckEvent", 0), ERR_NONE);
  EXPECT_EQ(Field(1, "action"), "OnKeyDown");
  EXPECT_EQ(Field(1, "triggered"), "1");
  EXPECT_EQ(Field(1, "nresults"), "1");
  EXPECT_EQ(Field(1, "id"), "1");
  PushField(1, "results");
  VmRawGetI(h.L, -1, 0);
  EXPECT_EQ(VmToNumber(h.L, -1), 42);
  EXPECT_EQ(MessageField("key"), "y");
  // Nothing pending.
  VmSetTop(h.L, 0);
  ASSERT_EQ(h.Call("CheckEvent", 0), ERR_NONE);
  EXPECT_EQ(Field(1, "action"), "");
  EXPECT_EQ(Field(1, "triggered"), "0");
  EXPECT_EQ(Field(1, "nresults"), "0");
  // A handler's error is the command's error.
  ASSERT_EQ(Install({"onkeyup"}, failingHandler), ERR_NONE);
  ASSERT_EQ(PostEvent(display, EVENT_KEY, 0, 0, 'x', nullptr), 1);
  VmSetTop(h.L, 0);
  EXPECT_EQ(h.Call("CheckEvent", 0), ERR_WRONGUSAGE);
  // A quit request ends the dispatch with the quit code; later events stay.
  ASSERT_EQ(PostEvent(display, EVENT_QUIT, 0, 0, 0, nullptr), 1);
  ASSERT_EQ(PostEvent(display, EVENT_KEY, 1, 0, 'z', nullptr), 1);
  handlerCalls = 0;
  VmSetTop(h.L, 0);
  EXPECT_EQ(h.Call("CheckEvents", 0), ERR_USERABORT);
  EXPECT_EQ(handlerCalls, 0);
  PlayerHarness::ResetRunWords();
  VmSetTop(h.L, 0);
  EXPECT_EQ(h.Call("CheckEvents", 0), ERR_NONE);
  EXPECT_EQ(handlerCalls, 1);
}

// A number removes a handler with its user data; an absent name leaves it;
// a second argument replaces the user data of the named slots only.
TEST_F(EventTest, HandlerTablesReplaceAndRemoveSlots) {
  ASSERT_EQ(Install({"onkeydown", "onkeyup"}, recordMessage, "first"), ERR_NONE);
  ASSERT_EQ(Install({"onkeyup"}, recordMessage, "second"), ERR_NONE);
  std::string action;
  int triggered;
  struct Step {
    int32_t pressed;
    const char* userData;
  };
  for (Step s : {Step{1, "first"}, Step{0, "second"}}) {
    ASSERT_EQ(PostEvent(display, EVENT_KEY, s.pressed, 0, 'k', nullptr), 1);
    ASSERT_EQ(Check(&action, &triggered), ERR_NONE);
    EXPECT_EQ(triggered, 1);
    EXPECT_EQ(MessageField("userdata"), s.userData);
  }
  // Replaced without user data: the slot keeps "first".
  ASSERT_EQ(Install({"onkeydown"}), ERR_NONE);
  ASSERT_EQ(PostEvent(display, EVENT_KEY, 1, 0, 'k', nullptr), 1);
  ASSERT_EQ(Check(&action, &triggered), ERR_NONE);
  EXPECT_EQ(MessageField("userdata"), "first");
  // Removed, then installed again without user data: none.
  ASSERT_EQ(Install({}, recordMessage, nullptr, {"onkeydown"}), ERR_NONE);
  ASSERT_EQ(PostEvent(display, EVENT_KEY, 1, 0, 'k', nullptr), 1);
  ASSERT_EQ(Check(&action, &triggered), ERR_NONE);
  EXPECT_EQ(triggered, 0);
  EXPECT_EQ(display->handlerRefs[0], VM_REF_NIL);
  ASSERT_EQ(Install({"onkeydown"}), ERR_NONE);
  ASSERT_EQ(PostEvent(display, EVENT_KEY, 1, 0, 'k', nullptr), 1);
  ASSERT_EQ(Check(&action, &triggered), ERR_NONE);
  EXPECT_EQ(triggered, 1);
  EXPECT_EQ(MessageField("userdata"), "<nil>");
  // The closewindow flag follows its slot.
  ASSERT_EQ(Install({"closewindow"}), ERR_NONE);
  EXPECT_EQ(display->closeHandler, 1);
  ASSERT_EQ(Install({}, recordMessage, nullptr, {"closewindow"}), ERR_NONE);
  EXPECT_EQ(display->closeHandler, 0);
  // Not a table.
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 1);
  EXPECT_EQ(h.Call("InstallEventHandler", 1), ERR_TABEXPECTED);
}

TEST_F(EventTest, FreeingADisplayReleasesItsHandlers) {
  DisplayRecord* second = nullptr;
  ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 2}, 0, 0, &second), ERR_NONE);
  SetCurrentDisplay(second);
  ASSERT_EQ(Install({"onkeydown"}, recordMessage, "kept"), ERR_NONE);
  int32_t handler = second->handlerRefs[0];
  ASSERT_NE(handler, VM_REF_NIL);
  SetCurrentDisplay(display);
  ASSERT_EQ(FreeDisplayById(h.L, ObjectId{nullptr, 2}, 1), ERR_NONE);
  // Released references are handed out again, the last released first.
  VmPushNumber(h.L, 1);
  EXPECT_EQ(VmCreateReference(h.L, VM_REGISTRY_INDEX), handler);
}

TEST_F(EventTest, UserEventTypesRefuseTakenNamesAndDispatchTheirEvents) {
  struct NameCase {
    const char* name;
    bool accepted;
  };
  const NameCase names[] = {
      {"OnKeyDown", false},
      {"ONKEYDOWN", false},
      {"gyroscope", true},
      {"OnSampleEnd", false},
      {"DirectoryChanged", false},
      {"ongyroscope", false},
      {"", false},
  };
  int32_t first =
      AddUserEventType("MyEvent", 0, userMessageHook, nullptr, userFreeHook, nullptr, 0);
  EXPECT_EQ(first, EVENT_FIRSTUSERTYPE);
  EXPECT_EQ(AddUserEventType("myevent", 0, nullptr, nullptr, nullptr, nullptr, 0), 0);
  int32_t expected = first + 1;
  for (const NameCase& c : names) {
    int32_t type = AddUserEventType(c.name, 0, nullptr, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(type, c.accepted ? expected : 0) << c.name;
    if (c.accepted) ++expected;
  }
  EXPECT_EQ(FindUserEventType("MYEVENT"), FindUserEventTypeByNumber(first));

  ASSERT_EQ(Install({"myevent"}), ERR_NONE);
  auto* payload = static_cast<int32_t*>(AllocMemory(sizeof(int32_t), 0));
  *payload = 77;
  ASSERT_EQ(PostEvent(nullptr, first, 0, 0, 0, payload), 1);
  std::string action;
  int triggered;
  ASSERT_EQ(Check(&action, &triggered), ERR_NONE);
  EXPECT_EQ(action, "MyEvent");
  EXPECT_EQ(MessageField("extra"), "77");
  EXPECT_EQ(userPayloadsFreed, 1);
  // An event of a type nobody registered is dropped with its payload.
  ASSERT_EQ(PostEvent(nullptr, 200, 0, 0, 0, AllocMemory(8, 0)), 1);
  ASSERT_EQ(Check(&action, &triggered), ERR_NONE);
  EXPECT_EQ(triggered, 0);
}

// A script that waits in a loop until its timeout's handler ends it.
TEST_F(EventTest, WaitEventLoopEndsWhenTheHandlerCallsEnd) {
  const char* program = R"(
.source "=t"
.line 1
CLOSURE 0 handler
GETGLOBAL 1, "settimeout"
LOADNIL 2 2
MOVE 3 0
LOADNUM 4 5
CALL 1 4 1
loop:
.line 2
GETGLOBAL 1, "waitevent"
CALL 1 1 1
GETGLOBAL 1, "loops"
ADD 1 1 #1
SETGLOBAL 1, "loops"
JUMP loop
RETURN 0 1
.function handler
.params 1
.line 3
GETGLOBAL 1 "end"
CALL 1 1 1
RETURN 0 1
.end
)";
  VmPushNumber(h.L, 0);
  VmPushString(h.L, "loops");
  VmInsert(h.L, -2);
  VmSetTable(h.L, VM_GLOBALS_INDEX);
  EXPECT_EQ(h.Run(program), ERR_USERABORT);
  VmPushString(h.L, "loops");
  VmGetTable(h.L, VM_GLOBALS_INDEX);
  EXPECT_EQ(VmToNumber(h.L, -1), 0);
  VmSetTop(h.L, 0);
}

// A plug-in poll hook that stops the script once another thread asks: the
// event poll must reach a script that runs a loop without any command.
std::atomic<int> stopAsked{0};
int stopWhenAsked(VmState*, void*) { return stopAsked.load() ? ERR_USERABORT : 0; }

TEST_F(EventTest, AWakeFromAnotherThreadReachesARunningLoop) {
  stopAsked = 0;
  HookRecord* hook = AddHook(HOOK_POLL, reinterpret_cast<HookFunc>(stopWhenAsked), nullptr, 0);
  ASSERT_NE(hook, nullptr);
  std::thread poster([] {
    stopAsked = 1;
    WakeEventLoop();
  });
  // 2 * 10^9 rounds: far longer than the test runs unless the poll stops it.
  const char* program =
      ".source \"=t\"\n.line 1\nLOADNUM 0, 0\nLOADNUM 1, 0\nLOADCONST 2, #2000000000\n"
      "LOADNUM 3, 1\nJUMP test\n.line 2\nbody: ADD 0, 0, 1\n.line 3\ntest: FORLOOP 1, body\n"
      ".line 4\nRETURN 0, 1";
  EXPECT_EQ(h.Run(program), ERR_USERABORT);
  poster.join();
  RemoveHook(hook);
  vmRun.quit = 0;
  VmSetTop(h.L, 0);
}

struct NoticeCase {
  int32_t kind;
  int32_t number, value1, value2;
  const char* slot;
  const char* action;
  const char* time;  // "<nil>" for the notices that carry no values
  const char* starts;
};

TEST_F(EventTest, CrossThreadNoticesReachTheirHandlers) {
  ASSERT_EQ(OpenSoundLibrary(h.L), ERR_NONE);
  const NoticeCase cases[] = {
      {THREAD_EVENT_SAMPLE_END, 7, 2500, 3, "onsampleend", "OnSampleEnd", "2500", "3"},
      {THREAD_EVENT_SAMPLE_LOOP, 8, 1000, 2, "onsampleloop", "OnSampleLoop", "1000", "2"},
      {THREAD_EVENT_MUSIC_END, 9, 0, 0, "onmusicend", "OnMusicEnd", "<nil>", "<nil>"},
      {THREAD_EVENT_VIDEO_END, 10, 0, 0, "onvideoend", "OnVideoEnd", "<nil>", "<nil>"},
  };
  for (const NoticeCase& c : cases) {
    SCOPED_TRACE(c.action);
    ASSERT_EQ(Install({c.slot}), ERR_NONE);
    // A notice whose kind is not routed yet is taken and dropped first.
    std::thread poster([&] {
      PostThreadEvent(10, 0, 0, 0, 0, 0);
      PostThreadEvent(c.kind, 0, static_cast<uintptr_t>(c.number), c.value1, c.value2, 1);
    });
    poster.join();
    handlerCalls = 0;
    VmSetTop(h.L, 0);
    ASSERT_EQ(h.Call("WaitEvent", 0), ERR_NONE);
    EXPECT_EQ(Field(1, "action"), c.action);
    EXPECT_EQ(handlerCalls, 1);
    EXPECT_EQ(MessageField("action"), c.action);
    EXPECT_EQ(MessageField("id"), std::to_string(c.number));
    EXPECT_EQ(MessageField("time"), c.time);
    EXPECT_EQ(MessageField("starts"), c.starts);
    ASSERT_EQ(Install({}, recordMessage, nullptr, {c.slot}), ERR_NONE);
  }
  // Without a handler the notices stay queued until one is installed.
  PostThreadEvent(THREAD_EVENT_SAMPLE_END, 0, 11, 40, 1, 0);
  std::string action;
  int triggered = 0;
  ASSERT_EQ(Check(&action, &triggered), ERR_NONE);
  EXPECT_EQ(triggered, 0);
  ASSERT_EQ(Install({"onsampleend"}), ERR_NONE);
  ASSERT_EQ(Check(&action, &triggered), ERR_NONE);
  EXPECT_EQ(action, "OnSampleEnd");
  EXPECT_EQ(MessageField("id"), "11");
  // Once the library is freed the list is closed: notices are dropped.
  FreeSoundLibrary(h.L);
  PostThreadEvent(THREAD_EVENT_SAMPLE_END, 0, 12, 40, 1, 0);
  ThreadEventRecord left;
  EXPECT_EQ(PopThreadEvent(&left), 0);
}

// The event services of the plug-ins' system table: user event types by
// name and with options, an event posted for a display that the script's
// handler gets, and a pass of the central poll.
TEST_F(EventTest, PluginSlotsRegisterPostAndPollEvents) {
  const HostSystemTable* system = GetPluginHostApi()->system;
  int32_t type = system->addUserEventType("PluginEvent");
  EXPECT_GE(type, EVENT_FIRSTUSERTYPE);
  EXPECT_EQ(system->addUserEventType("pluginevent"), 0);
  EXPECT_EQ(system->addUserEventTypeWithOptions("Other", 2, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(system->addUserEventTypeWithOptions("Other", 0, userMessageHook, nullptr, userFreeHook,
                                                nullptr),
            type + 1);

  ASSERT_EQ(Install({"pluginevent"}), ERR_NONE);
  ASSERT_EQ(system->postEvent(display, type, 1, 2, 3, nullptr), 1);
  int32_t error = -1;
  EXPECT_EQ(system->pollEvents(h.L, 1, 0, &error), 0);
  EXPECT_EQ(error, ERR_NONE);
  std::string action;
  int triggered = 0;
  ASSERT_EQ(Check(&action, &triggered), ERR_NONE);
  EXPECT_EQ(action, "PluginEvent");
  EXPECT_EQ(handlerCalls, 1);
}

// The poll tick parks while the script runs no code (nobody takes the
// gate it opened) and ticks again once a running script takes the gate.
std::atomic<uint64_t> stopAfterTicks{0};
int stopAfterTicksPassed(VmState*, void*) {
  uint64_t ticks = 0;
  PollTickState(&ticks);
  return ticks >= stopAfterTicks.load() ? ERR_USERABORT : 0;
}

bool pollTickParks() {
  uint64_t ticks = 0;
  for (int i = 0; i < 5000 && !PollTickState(&ticks); ++i) usleep(1000);
  return PollTickState(&ticks) == 1;
}

TEST_F(EventTest, PollTickParksWhileTheScriptRunsNoCodeAndTicksWhileItRuns) {
  ASSERT_TRUE(pollTickParks());
  uint64_t ticks = 0;
  PollTickState(&ticks);
  stopAfterTicks = ticks + 3;
  HookRecord* hook =
      AddHook(HOOK_POLL, reinterpret_cast<HookFunc>(stopAfterTicksPassed), nullptr, 0);
  ASSERT_NE(hook, nullptr);
  // 2 * 10^9 rounds: far longer than the test runs unless the ticks go on.
  const char* program =
      ".source \"=t\"\n.line 1\nLOADNUM 0, 0\nLOADNUM 1, 0\nLOADCONST 2, #2000000000\n"
      "LOADNUM 3, 1\nJUMP test\n.line 2\nbody: ADD 0, 0, 1\n.line 3\ntest: FORLOOP 1, body\n"
      ".line 4\nRETURN 0, 1";
  EXPECT_EQ(h.Run(program), ERR_USERABORT);
  RemoveHook(hook);
  vmRun.quit = 0;
  VmSetTop(h.L, 0);
  EXPECT_TRUE(pollTickParks()) << "parks again once the script ended";
}

}  // namespace
