// DisplayBrush through the script command against the blits it ends in,
// on a double-buffered display of a private X server (so that no window
// copy is timed): a 640x480 opaque brush against BltBitmapToTarget, 1000
// draws of a 64x64 brush with an alpha channel against BltBitmapAlpha, the
// same with "transparency" 128, and with "rotate" 30 against
// RotateScaleBitmap plus the blit of its result. Targets: at most 1.1x the
// blit for 640x480, at most 2x for 64x64.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "display/display_private.h"
#include "draw/draw_private.h"
#include "gfx/bitmap_private.h"
#include "tests/draw/value.h"
#include "tests/platform/xvfb.h"

namespace {

constexpr int32_t DRAWS = 1000;

// The player's libraries on one VM with one double-buffered 800x600
// display, brush 1 (640x480 opaque) and brush 2 (64x64 with an alpha
// channel).
struct Player {
  TestXServer server{"1024x768x24"};
  VmState* L = nullptr;
  DisplayRecord* display = nullptr;
  bool ready = false;

  Player() {
    if (!server.running()) return;
    setenv("DISPLAY", server.name().c_str(), 1);
    L = VmOpenState();
    VmRegisterBaseFunctions(L);
    for (ErrorCode (*open)(VmState*) :
         {OpenGraphicsLibrary, OpenDisplayLibrary, OpenBrushLibrary, OpenBGPicLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      if (open(L) != ERR_NONE) return;
      VmSetTop(L, 0);
    }
    if (Call("CreateDisplay", {1, Value::Table({{"width", 800}, {"height", 600}})}) ||
        FindDisplayById(ObjectId{nullptr, 1}, &display) || OpenFirstDisplay(L, 1) ||
        Call("BeginDoubleBuffer", {}))
      return;
    std::vector<uint32_t> pixels(640 * 480);
    for (size_t i = 0; i < pixels.size(); ++i)
      pixels[i] = 0xFF000000u | static_cast<uint32_t>(i * 2654435761u >> 8);
    BrushPixels opaque{pixels.data(), 640, 0, 0};
    BrushPixels alpha{pixels.data(), 640, 0, 1};
    ObjectId one{nullptr, 1}, two{nullptr, 2};
    for (size_t i = 0; i < 64; ++i)
      for (size_t j = 0; j < 64; ++j)
        pixels[i * 640 + j] = (pixels[i * 640 + j] & 0xFFFFFF) | ((i * 4) << 24);
    if (CreateBrushFromPixels(L, &one, 0, 640, 480, &opaque, nullptr) ||
        CreateBrushFromPixels(L, &two, 0, 64, 64, &alpha, nullptr))
      return;
    ready = true;
  }
  ~Player() {
    if (!L) return;
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    VmCloseState(L);
  }

  ErrorCode Call(const char* name, const std::vector<Value>& args) {
    std::string lower(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    VmPushString(L, lower.c_str());
    VmGetTable(L, VM_GLOBALS_INDEX);
    for (const Value& a : args) PushValue(L, a);
    ErrorCode e = VmPCall(L, static_cast<int>(args.size()), 0, 0);
    VmSetTop(L, 0);
    return e;
  }
  BrushObject* Brush(int32_t n) {
    BrushObject* b = nullptr;
    GetBrushObject(L, ObjectId{nullptr, n}, &b, 0);
    return b;
  }
};

Player& player() {
  static Player p;
  return p;
}

bool skip(benchmark::State& state) {
  if (player().ready) return false;
  state.SkipWithError("no display (Xvfb missing?)");
  return true;
}

// DisplayBrush(id, x, y[, options]) as a script calls it: the command and
// the option table are made once, as a script keeps them.
void displayBrush(benchmark::State& state, int32_t id, int32_t draws,
                  const std::vector<std::pair<Value, Value>>& options) {
  if (skip(state)) return;
  VmState* L = player().L;
  VmPushString(L, "displaybrush");
  VmGetTable(L, VM_GLOBALS_INDEX);
  VmRef command = VmCreateReference(L, VM_REGISTRY_INDEX);
  VmRef table = VM_REF_NIL;
  if (!options.empty()) {
    PushValue(L, Value::Table(options));
    table = VmCreateReference(L, VM_REGISTRY_INDEX);
  }
  for (auto _ : state)
    for (int32_t i = 0; i < draws; ++i) {
      VmRawGetI(L, VM_REGISTRY_INDEX, command);
      VmPushNumber(L, id);
      VmPushNumber(L, draws > 1 ? (i * 7) % 700 : 10);
      VmPushNumber(L, draws > 1 ? (i * 13) % 500 : 10);
      if (table != VM_REF_NIL) VmRawGetI(L, VM_REGISTRY_INDEX, table);
      if (VmPCall(L, table != VM_REF_NIL ? 4 : 3, 0, 0)) state.SkipWithError("DisplayBrush failed");
    }
  VmReleaseReference(L, VM_REGISTRY_INDEX, command);
  if (table != VM_REF_NIL) VmReleaseReference(L, VM_REGISTRY_INDEX, table);
  VmSetTop(L, 0);
}

void BM_DisplayBrush640x480(benchmark::State& state) { displayBrush(state, 1, 1, {}); }
BENCHMARK(BM_DisplayBrush640x480)->Unit(benchmark::kMicrosecond);

void BM_Blit640x480(benchmark::State& state) {
  if (skip(state)) return;
  BrushObject* b = player().Brush(1);
  BitmapHandle* target = player().display->drawBitmap;
  for (auto _ : state) BltBitmapToTarget(b->bitmap, 0, 0, target, 10, 10, 640, 480);
}
BENCHMARK(BM_Blit640x480)->Unit(benchmark::kMicrosecond);

void BM_DisplayBrush64Alpha(benchmark::State& state) { displayBrush(state, 2, DRAWS, {}); }
BENCHMARK(BM_DisplayBrush64Alpha)->Unit(benchmark::kMicrosecond);
void BM_DisplayBrush64Transparency(benchmark::State& state) {
  displayBrush(state, 2, DRAWS, {{"transparency", 128}});
}
BENCHMARK(BM_DisplayBrush64Transparency)->Unit(benchmark::kMicrosecond);
void BM_DisplayBrush64Rotate(benchmark::State& state) {
  displayBrush(state, 2, DRAWS, {{"rotate", 30}});
}
BENCHMARK(BM_DisplayBrush64Rotate)->Unit(benchmark::kMicrosecond);

void BM_Blit64Alpha(benchmark::State& state) {
  if (skip(state)) return;
  BrushObject* b = player().Brush(2);
  BitmapHandle* target = player().display->drawBitmap;
  for (auto _ : state)
    for (int32_t i = 0; i < DRAWS; ++i)
      BltBitmapAlpha(b->bitmap, 0, 0, target, (i * 7) % 700, (i * 13) % 500, 64, 64, b->alpha);
}
BENCHMARK(BM_Blit64Alpha)->Unit(benchmark::kMicrosecond);

void BM_RotateAndBlit64(benchmark::State& state) {
  if (skip(state)) return;
  BrushObject* b = player().Brush(2);
  BitmapHandle* target = player().display->drawBitmap;
  double m[4];
  BuildRotateScaleMatrix(m, 0, 0, 64, 64, 1.0, 1.0, 30);
  for (auto _ : state)
    for (int32_t i = 0; i < DRAWS; ++i) {
      BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
      int32_t w = 0, h = 0;
      if (RotateScaleBitmap(b->bitmap, nullptr, b->alpha, 0, 0, 64, 64, m, 0, 0, &bitmap, &mask,
                            &alpha, &w, &h))
        state.SkipWithError("RotateScaleBitmap failed");
      BltBitmapAlpha(bitmap, 0, 0, target, (i * 7) % 700, (i * 13) % 500, w, h, alpha);
      FreeBitmap(bitmap);
      FreeBitMask(mask);
      FreeAlphaChannel(alpha);
    }
}
BENCHMARK(BM_RotateAndBlit64)->Unit(benchmark::kMicrosecond);

}  // namespace
