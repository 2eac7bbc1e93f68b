// Layer redraw: on a 640 x 480 picture with 200 layers of 64 x 64, moving
// one layer and composing only the rectangles it dirtied, against composing
// the whole picture, 1000 times each in the same run (target: the move at
// most 0.1 of the full redraw's time). Also the merge of 4096 random dirty
// rectangles.
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

// A picture with its layers, each showing a bitmap of its own.
struct Stack {
  BGPic pic{};
  BitmapHandle* dest = nullptr;
  Stack() {
    BitmapHandle* background = AllocBitmap(WIDTH, HEIGHT, 0, nullptr);
    FillBitmapRect(background, 0, 0, WIDTH, HEIGHT, 0xFF204060u);
    InitBGPicRecord(&pic, 0, nullptr, 0, ObjectId{nullptr, 1}, background, nullptr, nullptr, WIDTH,
                    HEIGHT, 1);
    SetCurrentBGPic(&pic);
    dest = AllocBitmap(WIDTH, HEIGHT, 0, nullptr);
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
  }
};

void BM_MoveOneLayer(benchmark::State& state) {
  Stack s;
  qmLayer* layer = GetLayerByIndex(&s.pic, LAYERS / 2);
  DirtyList list{};
  for (auto _ : state) {
    for (int32_t i = 0; i < MOVES; ++i) {
      ClearDirtyRects(&list);
      MoveLayerTo(nullptr, layer, nullptr, (i & 1) ? 100001 : 99999, KEEPPOSITION, 0, 0, &list);
      MergeDirtyRects(&list);
      for (int32_t k = 0; k < list.count; ++k) {
        const DirtyRect& r = list.entries[k];
        if (!r.merged)
          Redraw(nullptr, nullptr, &s.pic, s.dest, r.x1, r.y1, r.x2 + 1 - r.x1, r.y2 + 1 - r.y1,
                 REDRAW_NOSPRITES);
      }
    }
  }
  FreeDirtyRects(&list);
}
BENCHMARK(BM_MoveOneLayer)->Unit(benchmark::kMillisecond);

void BM_FullRedraw(benchmark::State& state) {
  Stack s;
  for (auto _ : state)
    for (int32_t i = 0; i < MOVES; ++i)
      Redraw(nullptr, nullptr, &s.pic, s.dest, 0, 0, WIDTH, HEIGHT, REDRAW_NOSPRITES);
}
BENCHMARK(BM_FullRedraw)->Unit(benchmark::kMillisecond);

void BM_MergeDirtyRects(benchmark::State& state) {
  DirtyList list{};
  for (auto _ : state) {
    state.PauseTiming();
    ClearDirtyRects(&list);
    uint32_t seed = 3;
    for (int32_t i = 0; i < 4096; ++i) {
      int32_t x = static_cast<int32_t>(nextRandom(&seed) % 1900);
      int32_t y = static_cast<int32_t>(nextRandom(&seed) % 1060);
      AddDirtyRect(&list, x, y, x + 15, y + 15, 1);
    }
    state.ResumeTiming();
    MergeDirtyRects(&list);
  }
  FreeDirtyRects(&list);
}
BENCHMARK(BM_MergeDirtyRects)->Unit(benchmark::kMicrosecond);

}  // namespace
