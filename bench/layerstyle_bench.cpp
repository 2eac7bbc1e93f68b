// Layer styles: a position-only style table {x, y} applied to one of 200
// layers against the same move through MoveLayerTo, 1000 times each in the
// same run, both collecting the dirty rectangles they would refresh
// and composing them as the refresh would (target: the style table at most
// 1.3 times the time of the plain move). The time of the moves alone,
// without composing, is stated beside.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "display/display_private.h"
#include "display/layer_private.h"

namespace {

constexpr int32_t WIDTH = 640, HEIGHT = 480, LAYERS = 200, SIDE = 64, MOVES = 1000;

uint32_t nextRandom(uint32_t* seed) {
  *seed = *seed * 1103515245u + 12345u;
  return *seed >> 8;
}

// A picture with its layers, each showing a bitmap of its own, and a VM
// for the style tables.
struct Stack {
  BGPic pic{};
  BitmapHandle* dest = AllocBitmap(WIDTH, HEIGHT, 0, nullptr);
  VmState* L = VmOpenState();
  Stack() {
    BitmapHandle* background = AllocBitmap(WIDTH, HEIGHT, 0, nullptr);
    FillBitmapRect(background, 0, 0, WIDTH, HEIGHT, 0xFF204060u);
    InitBGPicRecord(&pic, 0, nullptr, 0, ObjectId{nullptr, 1}, background, nullptr, nullptr, WIDTH,
                    HEIGHT, 1);
    SetCurrentBGPic(&pic);
    uint32_t seed = 7;
    for (int32_t i = 0; i < LAYERS; ++i) {
      BitmapHandle* b = AllocBitmap(SIDE, SIDE, 0, nullptr);
      FillBitmapRect(b, 0, 0, SIDE, SIDE, 0xFF000000u | nextRandom(&seed));
      int32_t x = static_cast<int32_t>(nextRandom(&seed) % (WIDTH - SIDE));
      int32_t y = static_cast<int32_t>(nextRandom(&seed) % (HEIGHT - SIDE));
      NewLayer(nullptr, LAYER_BGPICPART, nullptr, x, y, SIDE, SIDE, nullptr, nullptr, b, nullptr,
               nullptr, AllocLayerImageState(), -1, 0, nullptr);
    }
  }
  ~Stack() {
    FreeAllLayers(nullptr, &pic, 0, 0);
    FreeBitmap(pic.bitmap);
    FreeBitmap(dest);
    SetCurrentBGPic(nullptr);
    VmCloseState(L);
  }
};

// Composes the rectangles of the list, as their refresh does.
void compose(Stack* s, DirtyList* list) {
  MergeDirtyRects(list);
  for (int32_t k = 0; k < list->count; ++k) {
    const DirtyRect& r = list->entries[k];
    if (!r.merged)
      Redraw(nullptr, nullptr, &s->pic, s->dest, r.x1, r.y1, r.x2 + 1 - r.x1, r.y2 + 1 - r.y1,
             REDRAW_NOSPRITES);
  }
}

void styleMoves(benchmark::State& state, bool composed) {
  Stack s;
  qmLayer* layer = GetLayerByIndex(&s.pic, LAYERS / 2);
  DirtyList list{};
  for (auto _ : state) {
    for (int32_t i = 0; i < MOVES; ++i) {
      ClearDirtyRects(&list);
      VmNewTable(s.L);
      VmPushString(s.L, "x");
      VmPushNumber(s.L, 100 + (i & 1));
      VmSetTable(s.L, -3);
      VmPushString(s.L, "y");
      VmPushNumber(s.L, 100);
      VmSetTable(s.L, -3);
      uint32_t defer = 0;
      ApplyLayerStyle(s.L, &layer, 1, 0, &defer, &list);
      VmSetTop(s.L, 0);
      if (composed) compose(&s, &list);
    }
  }
  FreeDirtyRects(&list);
}

void plainMoves(benchmark::State& state, bool composed) {
  Stack s;
  qmLayer* layer = GetLayerByIndex(&s.pic, LAYERS / 2);
  DirtyList list{};
  for (auto _ : state) {
    for (int32_t i = 0; i < MOVES; ++i) {
      ClearDirtyRects(&list);
      MoveLayerTo(nullptr, layer, nullptr, 100 + (i & 1), 100, 0, 0, &list);
      if (composed) compose(&s, &list);
    }
  }
  FreeDirtyRects(&list);
}

void BM_SetLayerStylePosition(benchmark::State& state) { styleMoves(state, true); }
void BM_MoveLayerTo(benchmark::State& state) { plainMoves(state, true); }
void BM_SetLayerStylePositionOnly(benchmark::State& state) { styleMoves(state, false); }
void BM_MoveLayerToOnly(benchmark::State& state) { plainMoves(state, false); }
BENCHMARK(BM_SetLayerStylePosition)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MoveLayerTo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SetLayerStylePositionOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MoveLayerToOnly)->Unit(benchmark::kMillisecond);

}  // namespace
