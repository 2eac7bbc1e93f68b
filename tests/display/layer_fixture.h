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
#include "tests/support/adapter_display.h"
#include "tests/support/command_call.h"

inline constexpr uint32_t BACKGROUND = 0x336699;
inline constexpr int32_t W = 160, H = 120;

class LayerFixture : public adaptertest::AdapterTest {
 protected:
  LayerFixture()
      : AdapterTest({OpenDisplayLibrary, OpenLayersLibrary, OpenBrushLibrary, OpenBGPicLibrary,
                     OpenDrawLibrary, OpenGraphicsLibrary}) {}
  void SetUp() override {
    AdapterTest::SetUp();
    if (HasFatalFailure()) return;
    counts = Symbol<void (*)(int32_t*)>("TestDisplayCounts");
    lastBlit = Symbol<const QmBlitRequest* (*)()>("TestDisplayLastBlit");
    OpenFirst(Value::Table({{"color", static_cast<double>(BACKGROUND)},
                            {"width", W},
                            {"height", H},
                            {"layers", true}}));
    if (HasFatalFailure()) return;
    ASSERT_EQ(d->layers, 1);
  }
  void TearDown() override {
    SetAllocFailure(0, false);
    AdapterTest::TearDown();
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

  void (*counts)(int32_t*) = nullptr;
  const QmBlitRequest* (*lastBlit)() = nullptr;
};
