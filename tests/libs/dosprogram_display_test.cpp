// External programs and the display: Run and Execute clear the current
// display's input state afterwards unless their reset argument is off, so
// a key held when the program took over does not stay down.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "display/display_private.h"
#include "libs/libs.h"
#include "plugins/plugin_private.h"
#include "tests/plugins/plugin_fixture.h"

namespace {

class DosProgramDisplayTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    setenv("DISPLAY", ":9999", 1);  // no X server may be reached
    Install("testdisplay");
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    for (ErrorCode (*open)(VmState*) : {OpenDisplayLibrary, OpenDosLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    VmPushString(L, "createdisplay");
    VmGetTable(L, VM_GLOBALS_INDEX);
    VmPushNumber(L, 1);
    VmNewTable(L);
    SetTableFieldInt(L, "width", 32);
    SetTableFieldInt(L, "height", 24);
    ASSERT_EQ(VmPCall(L, 2, 0, 0), ERR_NONE);
    ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
    display = GetCurrentDisplay();
    ASSERT_NE(display, nullptr);
  }
  void TearDown() override {
    FreeDosResources(L);
    CloseDisplayLibrary(L);
    PluginTest::TearDown();
    unsetenv("DISPLAY");
  }
  // Calls name(line[, reset]) with a key held down; whether it is still
  // down afterwards.
  bool KeyStillDown(const char* name, int reset) {
    display->keyStates[5] = 1;
    VmSetTop(L, 0);
    VmPushString(L, name);
    VmGetTable(L, VM_GLOBALS_INDEX);
    VmPushString(L, "true");
    if (reset >= 0) VmPushBoolean(L, reset);
    EXPECT_EQ(VmPCall(L, reset >= 0 ? 2 : 1, 0, 0), ERR_NONE) << name;
    VmSetTop(L, 0);
    return display->keyStates[5] != 0;
  }
  DisplayRecord* display = nullptr;
};

TEST_F(DosProgramDisplayTest, RunAndExecuteResetTheInputUnlessAskedNotTo) {
  struct Case {
    const char* command;
    int reset;  // -1: the default
    bool stillDown;
  } cases[] = {{"execute", -1, false},
               {"execute", 1, false},
               {"execute", 0, true},
               {"run", -1, false},
               {"run", 0, true}};
  for (const Case& c : cases)
    EXPECT_EQ(KeyStillDown(c.command, c.reset), c.stillDown) << c.command << " " << c.reset;
}

}  // namespace
