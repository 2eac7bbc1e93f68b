// Intervals and timeouts through the commands: refused periods, look-up
// errors by identifier kind, replacement under one identifier, an interval
// that keeps firing while WaitEvent waits, and a timeout that fires once.
#include <gtest/gtest.h>

#include <string>

#include "display/display.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "tests/support/harness.h"
#include "runtime/runtime_private.h"

namespace {

int calls = 0;
std::string lastAction;
int recordCall(VmState* L) {
  ++calls;
  VmPushString(L, "action");
  VmGetTable(L, 1);
  lastAction = VmToString(L, -1) ? VmToString(L, -1) : "";
  return 0;
}

// An interval handler that clears its own interval (identifier 8).
int clearingCall(VmState* L) {
  ++calls;
  VmPushString(L, "clearinterval");
  VmGetTable(L, VM_GLOBALS_INDEX);
  VmPushNumber(L, 8);
  VmCall(L, 1, 0);
  return 0;
}

class IntervalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitEventQueue(), ERR_NONE);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenEventLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
    calls = 0;
    lastAction.clear();
  }
  void TearDown() override {
    FreeAllEvents(h.L);
    FreeEventQueue(h.L);
  }

  // Set*(id, handler, ms): id < 0 asks for an automatic identifier, which
  // is then written to *automatic.
  ErrorCode Start(const char* command, int32_t id, int32_t ms, void** automatic = nullptr) {
    VmSetTop(h.L, 0);
    if (id < 0) {
      VmPushNil(h.L);
    } else {
      VmPushNumber(h.L, id);
    }
    VmPushCClosure(h.L, recordCall, 0);
    VmPushNumber(h.L, ms);
    ErrorCode error = h.Call(command, 3);
    if (automatic) *automatic = VmGetTop(h.L) >= 1 ? VmToUserdata(h.L, 1) : nullptr;
    VmSetTop(h.L, 0);
    return error;
  }
  ErrorCode CallWithId(const char* command, int32_t id, void* automatic = nullptr, int extra = -1) {
    VmSetTop(h.L, 0);
    if (automatic) {
      VmPushLightUserdata(h.L, automatic);
    } else {
      VmPushNumber(h.L, id);
    }
    if (extra >= 0) VmPushNumber(h.L, extra);
    ErrorCode error = h.Call(command, extra >= 0 ? 2 : 1);
    VmSetTop(h.L, 0);
    return error;
  }
  ErrorCode Wait() {
    VmSetTop(h.L, 0);
    ErrorCode error = h.Call("WaitEvent", 0);
    VmSetTop(h.L, 0);
    return error;
  }

  PlayerHarness h;
};

TEST_F(IntervalTest, PeriodsAndLookUpsAreChecked) {
  EXPECT_EQ(Start("SetInterval", -1, 0), ERR_WRONGUSAGE);
  EXPECT_EQ(Start("SetTimeout", 3, -5), ERR_WRONGUSAGE);
  ASSERT_EQ(Start("SetInterval", 1, 1000), ERR_NONE);
  // A new period below 1 ms is refused as SetInterval refuses it.
  EXPECT_EQ(CallWithId("ChangeInterval", 1, nullptr, 0), ERR_WRONGUSAGE);
  EXPECT_EQ(CallWithId("ChangeInterval", 1, nullptr, 500), ERR_NONE);
  struct Case {
    const char* name;
    const char* command;
    int32_t id;
    bool automatic;
    ErrorCode want;
  };
  int unknown = 0;
  const Case cases[] = {
      {"interval by number", "ClearInterval", 9, false, ERR_FINDINTERVAL},
      {"timeout by number", "ClearTimeout", 1, false, ERR_FINDTIMEOUT},
      {"change unknown", "ChangeInterval", 9, false, ERR_FINDINTERVAL},
      {"interval by handle", "ClearInterval", 0, true, ERR_FINDARRAY},
      {"timeout by handle", "ClearTimeout", 0, true, ERR_FINDARRAY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int extra = std::string(c.command) == "ChangeInterval" ? 10 : -1;
    EXPECT_EQ(CallWithId(c.command, c.id, c.automatic ? &unknown : nullptr, extra), c.want);
  }
  // A failed clear names the number it looked for.
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 77);
  EXPECT_EQ(h.Call("ClearTimeout", 1), ERR_FINDTIMEOUT);
  char text[256];
  GetErrorText(ERR_FINDTIMEOUT, text, sizeof text);
  EXPECT_NE(std::string(text).find("77"), std::string::npos) << text;
  VmSetTop(h.L, 0);
  EXPECT_EQ(CallWithId("ClearInterval", 1), ERR_NONE);
  EXPECT_EQ(CallWithId("ClearInterval", 1), ERR_FINDINTERVAL);
}

// At 20 ms, 300 ms of waiting must see at least 4 calls (a loose bound:
// scheduling may delay a timer, but never by most of the window).
TEST_F(IntervalTest, IntervalKeepsFiringWhileWaiting) {
  void* handle = nullptr;
  ASSERT_EQ(Start("SetInterval", -1, 20, &handle), ERR_NONE);
  ASSERT_NE(handle, nullptr);
  double end = GetTimeSeconds() + 0.3;
  while (GetTimeSeconds() < end) ASSERT_EQ(Wait(), ERR_NONE);
  EXPECT_GE(calls, 4);
  EXPECT_EQ(lastAction, "Interval");
  EXPECT_EQ(CallWithId("ClearInterval", 0, handle), ERR_NONE);
}

TEST_F(IntervalTest, TimeoutFiresOnceAndIsGoneAfterwards) {
  ASSERT_EQ(Start("SetTimeout", 5, 10), ERR_NONE);
  // Replacing under the same identifier leaves one timeout.
  ASSERT_EQ(Start("SetTimeout", 5, 10), ERR_NONE);
  ASSERT_EQ(Wait(), ERR_NONE);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(lastAction, "Timeout");
  EXPECT_EQ(CallWithId("ClearTimeout", 5), ERR_FINDTIMEOUT);
  // A second timeout proves the first did not fire again meanwhile.
  ASSERT_EQ(Start("SetTimeout", 6, 30), ERR_NONE);
  ASSERT_EQ(Wait(), ERR_NONE);
  EXPECT_EQ(calls, 2);
}

// A handler may clear the interval that is calling it: the record goes
// while its call runs and no later round reports it.
TEST_F(IntervalTest, HandlerClearsItsOwnInterval) {
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 8);
  VmPushCClosure(h.L, clearingCall, 0);
  VmPushNumber(h.L, 5);
  ASSERT_EQ(h.Call("SetInterval", 3), ERR_NONE);
  ASSERT_EQ(Wait(), ERR_NONE);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(CallWithId("ClearInterval", 8), ERR_FINDINTERVAL);
  // A later timeout's call is the only one that follows.
  ASSERT_EQ(Start("SetTimeout", 9, 40), ERR_NONE);
  ASSERT_EQ(Wait(), ERR_NONE);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(lastAction, "Timeout");
}

}  // namespace
