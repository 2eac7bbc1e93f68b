// Menus with a display adapter installed: the adapter has no menu bar, so
// the display option "menu" and the item commands are refused with the
// adapter error.
#include <gtest/gtest.h>

#include <cstdlib>

#include "display/display.h"
#include "display/display_private.h"
#include "plugins/plugin_private.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/command_call.h"

namespace {

class MenuAdapterTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    setenv("DISPLAY", ":9999", 1);  // no X server may be reached
    Install("testdisplay");
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  void TearDown() override {
    CloseDisplayLibrary(L);
    PluginTest::TearDown();
    unsetenv("DISPLAY");
  }
  // Calls the command protected; a returned error code counts like a
  // raised one.
  ErrorCode Call(const char* name, int nargs) {
    return testcall::CallCollecting(L, name, nargs, [](VmState*, int) {});
  }
};

TEST_F(MenuAdapterTest, MenusAreRefusedWithAnAdapter) {
  VmPushNumber(L, 1);
  VmNewTable(L);
  VmNewTable(L);
  VmPushString(L, "File");
  VmRawSetI(L, -2, 0);
  SetTableFieldString(L, "id", "file");
  VmRawSetI(L, -2, 0);
  ASSERT_EQ(Call("createmenu", 2), ERR_NONE);

  VmPushNumber(L, 1);
  VmNewTable(L);
  SetTableFieldInt(L, "width", 32);
  SetTableFieldInt(L, "height", 24);
  SetTableFieldInt(L, "menu", 1);
  EXPECT_EQ(Call("createdisplay", 2), ERR_DISPLAYADAPTERSUPPORT);

  VmPushNumber(L, 1);
  VmPushString(L, "file");
  EXPECT_EQ(Call("enablemenuitem", 2), ERR_DISPLAYADAPTERSUPPORT);
}

}  // namespace
