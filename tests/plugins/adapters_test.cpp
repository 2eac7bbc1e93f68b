// The requester and timer adapters: the test plug-ins "testrequester"
// (scripted answers) and "testtimer" (timers that fire on request) install
// themselves from InitPlugin; requesters and timers then go through them.
#include <cstring>
#include <string>

#include "display/display.h"
#include "display/event_private.h"
#include "platform/linux/system_private.h"
#include "plugins/hostapi.h"
#include "plugins/plugin_private.h"
#include "runtime/runtime_private.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/command_call.h"

namespace {

class AdapterPluginTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    setenv("DISPLAY", ":9999", 1);  // no X server may be reached
  }
  void TearDown() override {
    PluginTest::TearDown();
    unsetenv("DISPLAY");
  }
  template <typename F>
  F Symbol(const char* module, const char* name) {
    return plugintest::ModuleSymbol<F>(root + "/Plugins/" + module + ".qmp", name);
  }
  // Calls a command by name; the code it raised or returned.
  ErrorCode CallCommand(const char* name, int nargs) {
    return testcall::CallCollecting(L, name, nargs, [](VmState*, int) {});
  }
};

// Message requesters get the button set and type as flags (custom buttons
// as tag 2); file requesters their mode as flags and no pattern for "*"
// and "#?"; string requesters their type as a flag. Every result goes back
// through FreeRequest once, also a cancelled one.
TEST_F(AdapterPluginTest, RequestersGoThroughTheAdapter) {
  Install("testrequester");
  ASSERT_EQ(ScanAndRegister(), ERR_NONE);
  ASSERT_EQ(Symbol<int32_t (*)()>("testrequester", "TestRequesterInstallResult")(), ERR_NONE);
  auto last = Symbol<uint32_t (*)(uintptr_t*, const char**, const char**)>("testrequester",
                                                                           "TestRequesterLast");
  auto script = Symbol<void (*)(int32_t, int32_t, const char*, const char*, size_t, int32_t)>(
      "testrequester", "TestRequesterScript");
  auto frees = Symbol<int32_t (*)(int32_t)>("testrequester", "TestRequesterFrees");
  auto outstanding = Symbol<int32_t (*)()>("testrequester", "TestRequesterOutstanding");
  ASSERT_TRUE(last && script && frees && outstanding);

  struct MessageCase {
    const char* buttons;
    int32_t type;
    uint32_t flags;
    const char* customButtons;
  } messages[] = {
      {"Yes|No|Cancel", 1, 72, ""},
      {"yes|no", 4, QM_REQBUTTONS_YESNO | QM_REQTYPE_NONE, ""},
      {"A|B", 0, 48, "A|B"},
      {nullptr, 2, QM_REQBUTTONS_OK | QM_REQTYPE_WARNING, ""},
  };
  for (const MessageCase& c : messages) {
    script(2, 1, "", "", 0, 0);
    int32_t choice = -1;
    ASSERT_EQ(ShowMessageRequester(L, nullptr, "T", "Body", c.buttons, c.type, 3, &choice),
              ERR_NONE);
    uintptr_t defaultButton = 0;
    const char *buttons = nullptr, *pattern = nullptr;
    EXPECT_EQ(last(&defaultButton, &buttons, &pattern), c.flags) << c.type;
    EXPECT_STREQ(buttons, c.customButtons);
    EXPECT_EQ(defaultButton, 3u);
    EXPECT_EQ(choice, 2);
  }

  static const char TWO[] = "a.png\0b.png";
  struct FileCase {
    const char* name;
    const char* pattern;
    int32_t mode;
    int32_t chosen, count;  // the adapter's answer (count: names it claims)
    uint32_t flags;
    const char* seenPattern;
    int32_t gotCount;
  } files[] = {
      {"open all", "*", 0, 1, 1, 0, "(null)", 1},
      {"amiga all", "#?", 2, 1, 1, QM_REQFILE_SAVE, "(null)", 1},
      {"several", "*.png", 1, 1, 2, QM_REQFILE_MULTISELECT, "*.png", 2},
      {"claims too many", "*.png", 1, 1, 5, QM_REQFILE_MULTISELECT, "*.png", 2},
      {"cancelled", "*", 0, 0, 0, 0, "(null)", 0},
  };
  int32_t expectedFrees = 0;
  for (const FileCase& c : files) {
    script(0, c.chosen, "/data", TWO, sizeof TWO, c.count);
    char *folder = nullptr, *names = nullptr;
    int32_t count = -1, chosen = -1;
    ASSERT_EQ(
        RequestFiles(L, "T", c.pattern, c.mode, nullptr, nullptr, &folder, &names, &count, &chosen),
        ERR_NONE)
        << c.name;
    uintptr_t defaultButton = 0;
    const char *buttons = nullptr, *pattern = nullptr;
    EXPECT_EQ(last(&defaultButton, &buttons, &pattern), c.flags) << c.name;
    EXPECT_STREQ(pattern, c.seenPattern) << c.name;
    EXPECT_EQ(count, c.gotCount) << c.name;
    EXPECT_EQ(chosen, c.gotCount > 0 ? 1 : 0) << c.name;
    if (c.gotCount > 0) {
      EXPECT_STREQ(folder, "/data");
      EXPECT_STREQ(names, "a.png");
      if (c.gotCount == 2) {
        EXPECT_STREQ(names + 6, "b.png");
      }
    }
    FreeMemory(folder);
    FreeMemory(names);
    EXPECT_EQ(frees(QM_REQKIND_FILE), ++expectedFrees) << c.name;
  }

  for (int32_t type : {1, 2, 3, 4, 7}) {
    script(0, 1, "", "typed", 5, 0);
    char* text = nullptr;
    ASSERT_EQ(RunStringRequester(L, "T", "Prompt", "", type, 0, 0, &text), ERR_NONE);
    uintptr_t defaultButton = 0;
    const char *buttons = nullptr, *pattern = nullptr;
    EXPECT_EQ(last(&defaultButton, &buttons, &pattern), type <= 4 ? 1u << (type - 1) : 0u);
    EXPECT_STREQ(text, "typed");
    FreeMemory(text);
  }
  EXPECT_EQ(frees(QM_REQKIND_STRING), 5);
  script(0, 1, "", "/home/x", 7, 0);
  char* path = nullptr;
  ASSERT_EQ(RunPathRequester(L, "T", 0, nullptr, &path), ERR_NONE);
  EXPECT_STREQ(path, "/home/x");
  FreeMemory(path);
  EXPECT_EQ(frees(QM_REQKIND_PATH), 1);

  // Out of memory at each allocation of the copy: 1000, the adapter's
  // result given back, nothing handed out.
  script(0, 1, "/data", TWO, sizeof TWO, 2);
  for (uint64_t n = 1;; n++) {
    char *folder = nullptr, *names = nullptr;
    int32_t count = 0, chosen = 0;
    SetAllocFailure(n, false);
    ErrorCode error =
        RequestFiles(L, "T", "*", 1, nullptr, nullptr, &folder, &names, &count, &chosen);
    bool failed = GetAllocFailureCount() > 0;
    SetAllocFailure(0, false);
    EXPECT_EQ(outstanding(), 0) << n;
    if (!failed) {
      ASSERT_EQ(error, ERR_NONE);
      EXPECT_EQ(count, 2);
      FreeMemory(folder);
      FreeMemory(names);
      break;
    }
    EXPECT_EQ(error, ERR_MEM) << n;
    EXPECT_EQ(folder, nullptr);
    EXPECT_EQ(names, nullptr);
  }

  // The host API's own file requester joins folder and file, within the
  // caller's buffer.
  script(0, 1, "/data", "c.png", 6, 1);
  char buffer[64];
  EXPECT_EQ(GetPluginHostApi()->requester->fileRequester(L, "T", buffer, sizeof buffer, 0), 1);
  EXPECT_STREQ(buffer, "/data/c.png");
  EXPECT_EQ(GetPluginHostApi()->requester->fileRequester(L, "T", buffer, 8, 0), 0);
  EXPECT_STREQ(buffer, "");

  // Installation is refused outside InitPlugin and for version-5 applets.
  static PluginRecord other = {};
  other.base.capabilities = PLUGINCAPS_REQUESTERADAPTER;
  EXPECT_EQ(InstallRequesterAdapter(&other.base, 0), ERR_SETADAPTER);
  {
    AdapterInstallationWindow open;
    SetAppletVersion(5, 0);
    EXPECT_EQ(InstallRequesterAdapter(&other.base, 0), ERR_OLDAPPLET);
    SetAppletVersion(8, 0);
    other.base.capabilities = PLUGINCAPS_LIBRARY;
    EXPECT_EQ(InstallRequesterAdapter(&other.base, 0), ERR_WRONGUSAGE);
  }
}

int fired = 0;
int countFire(VmState*) {
  ++fired;
  return 0;
}

// Intervals start and stop the adapter's timers; a new period registers
// the new timer before the old one is freed, and a refused one keeps the
// old; the adapter's fires run the interval's handler.
TEST_F(AdapterPluginTest, TimersGoThroughTheAdapter) {
  Install("testtimer");
  ASSERT_EQ(ScanAndRegister(), ERR_NONE);
  ASSERT_EQ(Symbol<int32_t (*)()>("testtimer", "TestTimerInstallResult")(), ERR_NONE);
  auto log = Symbol<const char* (*)()>("testtimer", "TestTimerLog");
  auto refuse = Symbol<void (*)()>("testtimer", "TestTimerRefuseNext");
  auto fireAll = Symbol<void (*)()>("testtimer", "TestTimerFireAll");
  auto live = Symbol<int32_t (*)()>("testtimer", "TestTimerLiveCount");
  ASSERT_TRUE(log && refuse && fireAll && live);
  ASSERT_EQ(InitEventQueue(), ERR_NONE);
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenEventLibrary(L), ERR_NONE);
  VmSetTop(L, 0);

  auto setInterval = [&](int32_t id, int32_t ms) {
    VmSetTop(L, 0);
    VmPushNumber(L, id);
    VmPushCClosure(L, countFire, 0);
    VmPushNumber(L, ms);
    ErrorCode error = CallCommand("SetInterval", 3);
    VmSetTop(L, 0);
    return error;
  };
  auto withId = [&](const char* command, int32_t id, int32_t extra) {
    VmSetTop(L, 0);
    VmPushNumber(L, id);
    if (extra >= 0) VmPushNumber(L, extra);
    ErrorCode error = CallCommand(command, extra >= 0 ? 2 : 1);
    VmSetTop(L, 0);
    return error;
  };
  ASSERT_EQ(setInterval(1, 100), ERR_NONE);
  EXPECT_STREQ(log(), "R100 ");
  ASSERT_EQ(withId("ChangeInterval", 1, 50), ERR_NONE);
  EXPECT_STREQ(log(), "R100 R50 F1 ");
  refuse();
  EXPECT_EQ(withId("ChangeInterval", 1, 70), ERR_TIMER);
  EXPECT_STREQ(log(), "R100 R50 F1 ");
  EXPECT_EQ(live(), 1);

  fired = 0;
  fireAll();
  for (int i = 0; i < 50 && fired == 0; i++) {
    ErrorCode polled = ERR_NONE;
    PollEvents(L, 0, 0, &polled);  // reads the wake-up the fire sent
    VmSetTop(L, 0);
    ASSERT_EQ(CallCommand("CheckEvents", 0), ERR_NONE);
    if (fired == 0) Delay(10);
  }
  EXPECT_EQ(fired, 1);

  ASSERT_EQ(withId("ClearInterval", 1, -1), ERR_NONE);
  EXPECT_STREQ(log(), "R100 R50 F1 F2 ");
  refuse();
  EXPECT_EQ(setInterval(2, 10), ERR_TIMER);
  EXPECT_EQ(live(), 0);
  FreeAllEvents(L);
  FreeEventQueue(L);
}

}  // namespace
