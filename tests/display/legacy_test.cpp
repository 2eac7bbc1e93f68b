// Legacy events: queued clicks, keys and window events make a script that
// runs CheckEvent continue at the label their report names, the ALL
// reports and the event code, scaled positions, a report without a label
// going on to the window handler, and the list commands' errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "display/context_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "runtime/runtime_private.h"
#include "tests/support/harness.h"

namespace {

// CheckEvent, then two label subroutines at 3 and 6 that set "hit" to 1 or
// 2 and return after the CheckEvent call.
constexpr const char* PROGRAM =
    "GETGLOBAL 0, \"checkevent\"\n"
    "CALL 0, 1, 1\n"
    "RETURN 0, 1\n"
    "LOADNUM 1, 1\n"
    "SETGLOBAL 1, \"hit\"\n"
    "RETURN 0, 1, 1\n"
    "LOADNUM 1, 2\n"
    "SETGLOBAL 1, \"hit\"\n"
    "RETURN 0, 1, 1\n";

int windowHandlerCalls = 0;
int countCall(VmState*) {
  ++windowHandlerCalls;
  return 0;
}

class LegacyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitEventQueue(), ERR_NONE);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(h.L), ERR_NONE);
    ASSERT_EQ(OpenEventLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
    ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 1}, 0, 0, &display), ERR_NONE);
    SetCurrentDisplay(display);
    windowHandlerCalls = 0;
  }
  void TearDown() override {
    FreeAllEvents(h.L);
    FreeEventQueue(h.L);
    CloseDisplayLibrary(h.L);
  }

  ErrorCode Command(const char* name, std::vector<double> numbers, const char* text = nullptr) {
    VmSetTop(h.L, 0);
    for (double n : numbers) VmPushNumber(h.L, n);
    if (text) VmPushString(h.L, text);
    ErrorCode error = h.Call(name, static_cast<int>(numbers.size()) + (text ? 1 : 0));
    VmSetTop(h.L, 0);
    return error;
  }

  // Runs the program once; the label it went to (0: none).
  double RunProgram() {
    VmPushString(h.L, "hit");
    VmPushNil(h.L);
    VmSetTable(h.L, VM_GLOBALS_INDEX);
    EXPECT_EQ(h.Run(PROGRAM), ERR_NONE);
    VmPushString(h.L, "hit");
    VmGetTable(h.L, VM_GLOBALS_INDEX);
    double hit = VmType(h.L, -1) == VM_TYPE_NUMBER ? VmToNumber(h.L, -1) : 0;
    VmSetTop(h.L, 0);
    return hit;
  }

  double EventCode() {
    VmSetTop(h.L, 0);
    EXPECT_EQ(h.Call("GetEventCode", 0), ERR_NONE);
    double code = VmToNumber(h.L, -1);
    VmSetTop(h.L, 0);
    return code;
  }

  PlayerHarness h;
  DisplayRecord* display = nullptr;
};

TEST_F(LegacyTest, QueuedEventsJumpToTheirLabels) {
  VmNewTable(h.L);
  VmPushString(h.L, "onmousedown");
  VmPushCClosure(h.L, countCall, 0);
  VmSetTable(h.L, -3);
  ASSERT_EQ(h.Call("InstallEventHandler", 1), ERR_NONE);
  VmSetTop(h.L, 0);

  struct Case {
    const char* name;
    const char* label1;  // at 3
    const char* label2;  // at 6
    double scale;
    int32_t type, x, y, arg;
    double hit;
    double code;  // GetEventCode after it, -1: not looked at
    int handlerCalls;
  };
  const Case cases[] = {
      {"click", "ONBUTTONCLICK1", "ONBUTTONCLICK2", 1, EVENT_LEFTBUTTON, 20, 20, 1, 1, -1, 0},
      {"corner", "ONBUTTONCLICK1", "", 1, EVENT_LEFTBUTTON, 50, 50, 1, 1, -1, 0},
      {"outside", "ONBUTTONCLICK1", "", 1, EVENT_LEFTBUTTON, 51, 20, 1, 0, -1, 1},
      {"release", "ONBUTTONCLICK1", "", 1, EVENT_LEFTBUTTON, 20, 20, 0, 0, -1, 0},
      {"right", "ONBUTTONCLICK1", "ONBUTTONRIGHTCLICK1", 1, EVENT_RIGHTBUTTON, 20, 20, 1, 2, -1, 0},
      {"scaled", "ONBUTTONCLICK1", "", 2, EVENT_LEFTBUTTON, 40, 40, 1, 1, -1, 0},
      {"scaled outside", "ONBUTTONCLICK1", "", 2, EVENT_LEFTBUTTON, 102, 40, 1, 0, -1, 1},
      {"no label", "ONBUTTONCLICK7", "", 1, EVENT_LEFTBUTTON, 20, 20, 1, 0, -1, 1},
      {"key", "ONKEYDOWN2", "", 1, EVENT_KEY, 1, 0, 'a', 1, 2, 0},
      {"other key", "ONKEYDOWN2", "", 1, EVENT_KEY, 1, 0, 'b', 0, -1, 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Command("ClearEvents", {}), ERR_NONE);
    ASSERT_EQ(Command("CreateButton", {1, 10, 10, 50, 50}), ERR_NONE);
    ASSERT_EQ(Command("CreateKeyDown", {2}, "A"), ERR_NONE);
    VmAddLabel(h.L, c.label1, 3);
    if (*c.label2) VmAddLabel(h.L, c.label2, 6);
    display->scaleX = display->scaleY = c.scale;
    windowHandlerCalls = 0;
    PostEvent(display, c.type, c.x, c.y, c.arg, nullptr);
    EXPECT_EQ(RunProgram(), c.hit) << c.name;
    if (c.code >= 0) {
      EXPECT_EQ(EventCode(), c.code) << c.name;
    }
    // A jump takes the event out of the queue; otherwise the window's
    // handlers had it.
    while (RunProgram() != 0) {
    }
    EXPECT_EQ(windowHandlerCalls, c.handlerCalls) << c.name;
    FlushEvents(h.L, -1, 1);
    VmAddLabel(h.L, c.label1, -1);
    if (*c.label2) VmAddLabel(h.L, c.label2, -1);
  }
  display->scaleX = display->scaleY = 1;
}

TEST_F(LegacyTest, AllReportsAndWindowEvents) {
  ASSERT_EQ(Command("CreateButton", {5, 0, 0, 9, 9}), ERR_NONE);
  ASSERT_EQ(Command("EnableEvent", {11, 0}), ERR_NONE);  // ONBUTTONCLICKALL
  VmAddLabel(h.L, "ONBUTTONCLICKALL", 6);
  VmAddLabel(h.L, "ONBUTTONCLICK5", 3);
  PostEvent(display, EVENT_LEFTBUTTON, 1, 1, 1, nullptr);
  EXPECT_EQ(RunProgram(), 2);
  EXPECT_EQ(EventCode(), 5);
  ASSERT_EQ(Command("DisableEvent", {11, 0}), ERR_NONE);
  PostEvent(display, EVENT_LEFTBUTTON, 1, 1, 1, nullptr);
  EXPECT_EQ(RunProgram(), 1);

  // A close request jumps to CLOSEWINDOW once it is enabled, and then does
  // not end the program.
  VmAddLabel(h.L, "CLOSEWINDOW", 3);
  PostEvent(display, EVENT_CLOSEWINDOW, 0, 0, 0, nullptr);
  EXPECT_EQ(RunProgram(), 0);
  ASSERT_EQ(Command("EnableEvent", {10, 0}), ERR_NONE);
  EXPECT_TRUE(LegacyReportsClose());
  PostEvent(display, EVENT_CLOSEWINDOW, 0, 0, 0, nullptr);
  EXPECT_EQ(RunProgram(), 1);
  ASSERT_EQ(Command("ClearEvents", {}), ERR_NONE);
  EXPECT_FALSE(LegacyReportsClose());
}

TEST_F(LegacyTest, ListCommandsAndTheirErrors) {
  struct Case {
    const char* name;
    const char* command;
    std::vector<double> numbers;
    const char* text;
    ErrorCode error;
  };
  const Case cases[] = {
      {"create", "CreateButton", {1, 0, 0, 5, 5}, nullptr, ERR_NONE},
      {"modify", "ModifyButton", {1, 1, 1, 6, 6}, nullptr, ERR_NONE},
      {"modify missing", "ModifyButton", {9, 1, 1, 6, 6}, nullptr, ERR_FINDBUTTON},
      {"remove", "RemoveButton", {1}, nullptr, ERR_NONE},
      {"remove again", "RemoveButton", {1}, nullptr, ERR_FINDBUTTON},
      {"key", "CreateKeyDown", {3}, "x", ERR_NONE},
      {"modify key", "ModifyKeyDown", {3}, "y", ERR_NONE},
      {"modify missing key", "ModifyKeyDown", {4}, "y", ERR_WRONGUSAGE},
      {"remove key", "RemoveKeyDown", {3}, nullptr, ERR_NONE},
      {"bad type", "EnableEvent", {4, 0}, nullptr, ERR_WRONGUSAGE},
      {"type 15", "EnableEvent", {15, 0}, nullptr, ERR_WRONGUSAGE},
      {"missing button", "EnableEvent", {2, 8}, nullptr, ERR_FINDBUTTON},
      {"window type adds one", "DisableEvent", {6, 3}, nullptr, ERR_NONE},
  };
  for (const Case& c : cases) EXPECT_EQ(Command(c.command, c.numbers, c.text), c.error) << c.name;
  // The window event that DisableEvent made is in the list, switched off.
  ASSERT_NE(displayContext.legacyEvents, nullptr);
  EXPECT_EQ(displayContext.legacyEvents->type, 6);
  EXPECT_EQ(displayContext.legacyEvents->enabled, 0);
}

}  // namespace
