// A display of the test display adapter with layers on and the display,
// layers, brush, picture and drawing libraries open: commands called by
// name, the framebuffer read back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "display/display_private.h"
#include "display/layer_private.h"
#include "draw/draw_private.h"
#include "platform/linux/system_private.h"
#include "plugins/plugin_private.h"
#include "tests/draw/value.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/command_call.h"

inline constexpr uint32_t BACKGROUND = 0x336699;
inline constexpr int32_t W = 160, H = 120;

class LayerFixture : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    setenv("DISPLAY", ":9999", 1);  // no X server may be reached
    Install("testdisplay");
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    const std::string module = root + "/Plugins/testdisplay.qmp";
    pixel =
        plugintest::ModuleSymbol<int64_t (*)(void*, int32_t, int32_t)>(module, "TestDisplayPixel");
    counts = plugintest::ModuleSymbol<void (*)(int32_t*)>(module, "TestDisplayCounts");
    lastBlit = plugintest::ModuleSymbol<const QmBlitRequest* (*)()>(module, "TestDisplayLastBlit");
    ASSERT_NE(pixel, nullptr);
    PlayerHarness::SetErrorRaising(1);
    for (ErrorCode (*open)(VmState*) : {OpenDisplayLibrary, OpenLayersLibrary, OpenBrushLibrary,
                                        OpenBGPicLibrary, OpenDrawLibrary, OpenGraphicsLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    VmPushNumber(L, 1);
    PushValue(L, Value::Table({{"color", static_cast<double>(BACKGROUND)},
                               {"width", W},
                               {"height", H},
                               {"layers", true}}));
    ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
    ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
    ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
    window = reinterpret_cast<void*>(d->windowHandle);
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(d->layers, 1);
  }
  void TearDown() override {
    SetAllocFailure(0, false);
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    FreeLayerSystem(L);
    PluginTest::TearDown();
    unsetenv("DISPLAY");
  }

  ErrorCode Call(const char* name, int nargs) {
    results.clear();
    return testcall::CallCollecting(L, name, nargs, Collect);
  }
  ErrorCode CallWith(const char* name, std::vector<Value> args) {
    for (const Value& a : args) PushValue(L, a);
    return Call(name, static_cast<int>(args.size()));
  }
  static void Collect(VmState* L, int i) {
    results.push_back(VmType(L, i) == VM_TYPE_STRING ? VmToString(L, i)
                                                     : std::to_string(VmToNumber(L, i)));
  }
  static inline std::vector<std::string> results;

  uint32_t At(int32_t x, int32_t y) {
    return static_cast<uint32_t>(pixel(window, x, y)) & 0xFFFFFF;
  }
  BGPic* Pic() { return d->bgpic; }
  int32_t Count() { return CountLayers(Pic()); }
  qmLayer* Layer(int32_t position) { return GetLayerByIndex(Pic(), position); }
  // A filled brush shown as a layer at x, y (with an option table).
  void Show(int32_t id, int32_t w, int32_t h, uint32_t colour, int32_t x, int32_t y,
            const Value* options = nullptr) {
    ASSERT_EQ(CallWith("CreateBrush", {id, w, h, static_cast<double>(colour)}), ERR_NONE);
    std::vector<Value> args{id, x, y};
    if (options) args.push_back(*options);
    ASSERT_EQ(CallWith("DisplayBrush", args), ERR_NONE);
  }
  // The box of framebuffer pixels of the colour.
  std::array<int32_t, 4> Box(uint32_t colour) {
    std::array<int32_t, 4> box{1 << 30, 1 << 30, -1, -1};
    for (int32_t y = 0; y < H; ++y)
      for (int32_t x = 0; x < W; ++x)
        if (At(x, y) == colour) {
          box[0] = std::min(box[0], x);
          box[1] = std::min(box[1], y);
          box[2] = std::max(box[2], x);
          box[3] = std::max(box[3], y);
        }
    return box;
  }
  int32_t Blits() {
    int32_t c[8] = {};
    counts(c);
    return c[2];
  }
  std::vector<uint32_t> Frame() {
    std::vector<uint32_t> out;
    for (int32_t y = 0; y < H; ++y)
      for (int32_t x = 0; x < W; ++x) out.push_back(At(x, y));
    return out;
  }

  DisplayRecord* d = nullptr;
  void* window = nullptr;
  int64_t (*pixel)(void*, int32_t, int32_t) = nullptr;
  void (*counts)(int32_t*) = nullptr;
  const QmBlitRequest* (*lastBlit)() = nullptr;
};
