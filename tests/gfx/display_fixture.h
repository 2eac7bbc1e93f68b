// A display of the test display adapter with the graphics, display, brush
// and background-picture libraries open, for tests of the graphics
// library's commands: commands are called by name with script values and
// the framebuffer is read back through the adapter.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "display/display_private.h"
#include "draw/draw_private.h"
#include "gfx/gfx.h"
#include "tests/draw/value.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/command_call.h"

namespace gfxtest {

constexpr uint32_t BACKGROUND = 0x336699;

class DisplayTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    setenv("DISPLAY", ":9999", 1);  // no X server may be reached
    Install("testdisplay");
    InstallMore();
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    pixel = plugintest::ModuleSymbol<int64_t (*)(void*, int32_t, int32_t)>(
        root + "/Plugins/testdisplay.qmp", "TestDisplayPixel");
    ASSERT_NE(pixel, nullptr);
    PlayerHarness::SetErrorRaising(1);
    for (ErrorCode (*open)(VmState*) :
         {OpenGraphicsLibrary, OpenDisplayLibrary, OpenBrushLibrary, OpenBGPicLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
  }
  void TearDown() override {
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    PluginTest::TearDown();
    unsetenv("DISPLAY");
  }

  // Further test plug-ins a fixture installs beside the display adapter.
  virtual void InstallMore() {}

  void OpenDisplay(int32_t width, int32_t height, bool layers = false) {
    VmPushNumber(L, 1);
    PushValue(L, Value::Table({{"color", static_cast<double>(BACKGROUND)},
                               {"width", width},
                               {"height", height},
                               {"layers", layers}}));
    ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
    ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
    ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
    window = reinterpret_cast<void*>(d->windowHandle);
    ASSERT_NE(window, nullptr);
  }

  // Calls a command protected; its results are kept in results (as
  // numbers, booleans as 0 and 1). Returns the raised code, else the code it returned.
  ErrorCode Call(const char* name, int nargs) {
    results.clear();
    lastTypes.clear();
    return testcall::CallCollecting(L, name, nargs, Collect);
  }
  static void Collect(VmState* L, int i) {
    results.push_back(VmType(L, i) == VM_TYPE_BOOLEAN ? VmToBoolean(L, i) : VmToNumber(L, i));
    lastTypes.push_back(VmType(L, i));
  }
  static inline std::vector<double> results;
  static inline std::vector<int> lastTypes;
  ErrorCode CallWith(const char* name, std::vector<Value> args) {
    for (const Value& a : args) PushValue(L, a);
    return Call(name, static_cast<int>(args.size()));
  }

  uint32_t At(int32_t x, int32_t y) {
    return static_cast<uint32_t>(pixel(window, x, y)) & 0xFFFFFF;
  }

  DisplayRecord* d = nullptr;
  void* window = nullptr;
  int64_t (*pixel)(void*, int32_t, int32_t) = nullptr;
};

}  // namespace gfxtest
