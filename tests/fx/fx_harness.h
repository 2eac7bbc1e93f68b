// The capture harness of the transition tests: a display of the test
// display adapter at a chosen size (layers on or off), old and new
// pictures (solid, position-coded or seeded random; with a mask or an
// alpha channel), transition commands called by name synchronously or
// stepped through their async draw object, the window's pixels captured
// after every frame (the adapter's frame wait calls back), and the checks
// the renderers must pass: the final frame, "each pixel old or new", a
// revealed set that only grows (only shrinks when hiding), exact rectangle
// sets and uniform levels.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "display/display.h"
#include "display/display_private.h"
#include "draw/draw.h"
#include "engine/engine.h"
#include "fx/fx.h"
#include "fx/fx_private.h"
#include "libs/libs_private.h"
#include "plugins/qmplugin.h"
#include "tests/draw/value.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/command_call.h"

namespace fxtest {

// One captured window: 0xRRGGBB rows.
using Frame = std::vector<uint32_t>;

enum class Fill { Solid, Coded, Random };
enum class Plane { None, Mask, Alpha };

// A position-coded pixel: the picture number in the top 4 bits, then x and
// y in 10 bits each, so that every pixel tells where it came from.
inline uint32_t CodedPixel(int32_t picture, int32_t x, int32_t y) {
  return (static_cast<uint32_t>(picture & 0xF) << 20) | ((static_cast<uint32_t>(x) & 0x3FF) << 10) |
         (static_cast<uint32_t>(y) & 0x3FF);
}

class FXHarness : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    setenv("DISPLAY", ":9999", 1);  // no X server may be reached
    Install(adapter);
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    const std::string module = root + "/Plugins/" + adapter + ".qmp";
    pixel =
        plugintest::ModuleSymbol<int64_t (*)(void*, int32_t, int32_t)>(module, "TestDisplayPixel");
    setHook = plugintest::ModuleSymbol<void (*)(void (*)(void*), void*)>(module,
                                                                         "TestDisplaySetVWaitHook");
    inject = plugintest::ModuleSymbol<int32_t (*)(VmState*, int32_t, const uintptr_t*)>(
        module, "TestDisplayInject");
    ASSERT_NE(pixel, nullptr);
    ASSERT_NE(setHook, nullptr);
    PlayerHarness::SetErrorRaising(1);
    for (ErrorCode (*open)(VmState*) :
         {OpenGraphicsLibrary, OpenEventLibrary, OpenDisplayLibrary, OpenLayersLibrary,
          OpenBrushLibrary, OpenBGPicLibrary, OpenTransitionFXLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    SeedMathGenerators(1);
    srand(1);
    current = this;
    setHook(&FXHarness::onFrame, this);
  }
  void TearDown() override {
    if (setHook) setHook(nullptr, nullptr);
    current = nullptr;
    FreeAllAsyncDraws(L);
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    FreeLayerSystem(L);
    FreeAllEvents(L);
    CloseGraphicsLibrary(L);
    PluginTest::TearDown();
    unsetenv("DISPLAY");
  }

  // ---- Display and pictures ----

  // More fields of CreateDisplay's table may be given.
  void OpenDisplay(int32_t w, int32_t h, bool layers, uint32_t colour = 0x203040,
                   std::vector<std::pair<Value, Value>> more = {}) {
    W = w;
    H = h;
    VmPushNumber(L, 1);
    std::vector<std::pair<Value, Value>> fields{
        {"color", static_cast<double>(colour)}, {"width", w}, {"height", h}, {"layers", layers}};
    fields.insert(fields.end(), more.begin(), more.end());
    PushValue(L, Value::Table(fields));
    ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
    ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
    ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
    window = reinterpret_cast<void*>(d->windowHandle);
    ASSERT_NE(window, nullptr);
  }

  // The pixels of picture number `picture` (rows of w).
  static std::vector<uint32_t> Pixels(int32_t picture, int32_t w, int32_t h, Fill fill,
                                      uint32_t colour, uint32_t seed) {
    std::vector<uint32_t> out(static_cast<size_t>(w) * h);
    std::mt19937 random(seed);
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) {
        uint32_t p = colour;
        if (fill == Fill::Coded) p = CodedPixel(picture, x, y);
        if (fill == Fill::Random) p = random() & 0xFFFFFF;
        out[static_cast<size_t>(y) * w + x] = p;
      }
    return out;
  }
  // A brush of the pixels: with a mask, the pixels of a diagonal band are
  // the key colour (hidden); with an alpha channel, levels 0, 128, 255 in
  // turn by column.
  void MakeBrush(int32_t id, int32_t w, int32_t h, Fill fill, Plane plane = Plane::None,
                 uint32_t colour = 0xFF0000, int32_t picture = 1) {
    std::vector<uint32_t> pixels = Pixels(picture, w, h, fill, colour, static_cast<uint32_t>(id));
    BrushPixels description{pixels.data(), w, KEY, 0};
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) {
        uint32_t& p = pixels[static_cast<size_t>(y) * w + x];
        if (plane == Plane::Mask && (x + y) % 5 == 0) p = KEY;
        if (plane == Plane::Alpha)
          p = (p & 0xFFFFFF) | (static_cast<uint32_t>(x % 3 == 0   ? 0
                                                      : x % 3 == 1 ? 128
                                                                   : 255)
                                << 24);
        else
          p |= 0xFF000000u;
      }
    if (plane == Plane::Mask) description.flags = 2;
    if (plane == Plane::Alpha) description.flags = 1;
    ObjectId object{nullptr, id};
    BrushObject* out = nullptr;
    ASSERT_EQ(CreateBrushFromPixels(L, &object, 0, w, h, &description, &out), ERR_NONE);
  }

  // ---- Calls ----

  ErrorCode Call(const char* name, int nargs) {
    results.clear();
    return testcall::CallCollecting(L, name, nargs, Collect);
  }
  // Runs a command with the values; the frames it waits for are captured.
  ErrorCode Run(const char* name, std::vector<Value> args) {
    frames.clear();
    for (const Value& a : args) PushValue(L, a);
    return Call(name, static_cast<int>(args.size()));
  }
  static void Collect(VmState* L, int i) {
    if (VmType(L, i) == VM_TYPE_LIGHTUSERDATA) handle = VmToUserdata(L, i);
    if (VmType(L, i) == VM_TYPE_BOOLEAN) {
      results.push_back(VmToBoolean(L, i) ? "true" : "false");
      return;
    }
    results.push_back(VmType(L, i) == VM_TYPE_STRING ? VmToString(L, i)
                                                     : std::to_string(VmToNumber(L, i)));
  }
  // Steps the async draw object the last command returned until it ends;
  // the window after each step is a frame. Returns the error of a step.
  ErrorCode StepToEnd(int32_t limit = 100000) {
    frames.clear();
    for (int32_t i = 0; i < limit; i++) {
      VmPushLightUserdata(L, handle);
      size_t before = frames.size();
      ErrorCode e = Call("AsyncDrawFrame", 1);
      if (e) return e;
      bool finished = !results.empty() && results[0] == std::to_string(1.0);
      if (frames.size() == before && !stepEnded) frames.push_back(Snapshot());
      if (finished) return ERR_NONE;
    }
    return ERR_WRONGUSAGE;
  }

  // ---- Captures and checks ----

  uint32_t At(int32_t x, int32_t y) {
    return static_cast<uint32_t>(pixel(window, x, y)) & 0xFFFFFF;
  }
  Frame Snapshot() {
    Frame out;
    out.reserve(static_cast<size_t>(W) * H);
    for (int32_t y = 0; y < H; ++y)
      for (int32_t x = 0; x < W; ++x) out.push_back(At(x, y));
    return out;
  }
  static void onFrame(void* data) {
    auto* self = static_cast<FXHarness*>(data);
    self->frames.push_back(self->Snapshot());
  }

  // Every pixel of every frame is the old or the new picture's.
  ::testing::AssertionResult EachPixelOldOrNew(const Frame& before, const Frame& after) const {
    for (size_t f = 0; f < frames.size(); f++)
      for (size_t i = 0; i < before.size(); i++)
        if (frames[f][i] != before[i] && frames[f][i] != after[i])
          return ::testing::AssertionFailure()
                 << "frame " << f << " pixel " << i % W << "," << i / W << " is " << std::hex
                 << frames[f][i] << " (old " << before[i] << ", new " << after[i] << ")";
    return ::testing::AssertionSuccess();
  }
  // Where old and new differ, a pixel once new stays new (once old stays
  // old when hiding).
  ::testing::AssertionResult RevealMonotonic(const Frame& before, const Frame& after) const {
    for (size_t f = 1; f < frames.size(); f++)
      for (size_t i = 0; i < before.size(); i++)
        if (before[i] != after[i] && frames[f - 1][i] == after[i] && frames[f][i] != after[i])
          return ::testing::AssertionFailure()
                 << "frame " << f << " takes back pixel " << i % W << "," << i / W;
    return ::testing::AssertionSuccess();
  }
  // The rows (of the whole window) that show the new picture in a frame.
  std::vector<int32_t> NewRows(const Frame& frame, const Frame& after) const {
    std::vector<int32_t> rows;
    for (int32_t y = 0; y < H; y++) {
      bool all = true;
      for (int32_t x = 0; x < W && all; x++)
        all = frame[static_cast<size_t>(y) * W + x] == after[static_cast<size_t>(y) * W + x];
      if (all) rows.push_back(y);
    }
    return rows;
  }

  static constexpr uint32_t KEY = 0x00FF00FF;
  // The display adapter plug-in the display opens with.
  std::string adapter = "testdisplay";
  int32_t W = 0, H = 0;
  DisplayRecord* d = nullptr;
  void* window = nullptr;
  std::vector<Frame> frames;
  bool stepEnded = false;
  int64_t (*pixel)(void*, int32_t, int32_t) = nullptr;
  void (*setHook)(void (*)(void*), void*) = nullptr;
  int32_t (*inject)(VmState*, int32_t, const uintptr_t*) = nullptr;
  static inline FXHarness* current = nullptr;
  static inline std::vector<std::string> results;
  static inline void* handle = nullptr;
};

}  // namespace fxtest
