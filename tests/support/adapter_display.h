// Tests on the test display adapter: no X server may be reached, the
// adapter (and any further test plug-ins a fixture names) is installed and
// registered, command errors are raised, and the libraries the fixture
// names are open. A display opened on the adapter is read back pixel by
// pixel through the adapter's framebuffer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "display/display.h"
#include "display/display_private.h"
#include "draw/draw.h"
#include "engine/engine.h"
#include "runtime/runtime.h"
#include "tests/draw/value.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/command_call.h"
#include "tests/support/harness.h"

namespace adaptertest {

using OpenLibrary = ErrorCode (*)(VmState*);

class AdapterTest : public plugintest::PluginTest {
 protected:
  // The libraries SetUp opens, in this order, as start-up opens them.
  explicit AdapterTest(std::vector<OpenLibrary> libraries) : libraries_(std::move(libraries)) {}

  void SetUp() override {
    PluginTest::SetUp();
    if (HasFatalFailure()) return;
    setenv("DISPLAY", ":9999", 1);  // no X server may be reached
    Install("testdisplay");
    InstallMore();
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    pixel = Symbol<int64_t (*)(void*, int32_t, int32_t)>("TestDisplayPixel");
    ASSERT_NE(pixel, nullptr);
    PlayerHarness::SetErrorRaising(1);
    for (OpenLibrary open : libraries_) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
  }
  void TearDown() override {
    Preloading(0);
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    FreeLayerSystem(L);
    PluginTest::TearDown();
    unsetenv("DISPLAY");
  }

  // Further test plug-ins a fixture installs beside the display adapter.
  virtual void InstallMore() {}

  // A symbol of the loaded adapter (the copy in the Plugins folder).
  template <typename F>
  F Symbol(const char* name) {
    return plugintest::ModuleSymbol<F>(root + "/Plugins/testdisplay.qmp", name);
  }

  // Start-up's preload: no display has opened yet.
  void Preloading(int on) {
    TagItem tags[] = {{ATTR_DEFERBITMAPS, static_cast<uintptr_t>(on)}, {ATTR_DONE, 0}};
    SetGlobalAttrs(L, tags);
  }

  // Makes display 1 by CreateDisplay with the options and opens it as the
  // first display; d and window are then its record and adapter window.
  void OpenFirst(const Value& options) {
    VmPushNumber(L, 1);
    PushValue(L, options);
    ASSERT_EQ(testcall::CallCollecting(L, "CreateDisplay", 2, [](VmState*, int) {}), ERR_NONE);
    ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
    ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
    window = reinterpret_cast<void*>(d->windowHandle);
    ASSERT_NE(window, nullptr);
  }

  // The window's pixel as 0xRRGGBB.
  uint32_t At(int32_t x, int32_t y) {
    return static_cast<uint32_t>(pixel(window, x, y)) & 0xFFFFFF;
  }

  DisplayRecord* d = nullptr;
  void* window = nullptr;
  int64_t (*pixel)(void*, int32_t, int32_t) = nullptr;

 private:
  std::vector<OpenLibrary> libraries_;
};

}  // namespace adaptertest
