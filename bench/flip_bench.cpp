// Double-buffer flip: the copy of 1000 random 16 x 16 dirty rectangles of a
// 1920 x 1080 back buffer into the presentation buffer (merging included)
// against one copy of the whole buffer, in the same run. The target is
// that the rectangles take at most the full copy's time; the Figure
// benchmark prints it as a figure line (bench/figure.h).
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench/figure.h"
#include "draw/draw.h"

namespace {

constexpr int32_t WIDTH = 1920, HEIGHT = 1080, RECTS = 1000, SIDE = 16;

struct Buffers {
  DisplayRecord display{};
  Buffers() {
    display.backBuffer = AllocBitmap(WIDTH, HEIGHT, 0, nullptr);
    display.presentBuffer = AllocBitmap(WIDTH, HEIGHT, 0, nullptr);
    // Software double buffering: drawing marks what Flip copies.
    display.doubleBuffer = 1;
    FillBitmapRect(display.backBuffer, 0, 0, WIDTH, HEIGHT, 0xFF123456u);
    AddDirtyRect(&display.dirty, 0, 0, 0, 0, 1);  // the list's first block
    ClearDirtyRects(&display.dirty);
  }
  ~Buffers() {
    FreeBitmap(display.backBuffer);
    FreeBitmap(display.presentBuffer);
    FreeDirtyRects(&display.dirty);
  }
};

// The same 1000 rectangles every time.
struct Rects {
  int32_t xs[RECTS], ys[RECTS];
  Rects() {
    uint32_t seed = 1;
    auto next = [&seed] {
      seed = seed * 1103515245u + 12345u;
      return seed >> 8;
    };
    for (int i = 0; i < RECTS; ++i) {
      xs[i] = static_cast<int32_t>(next() % (WIDTH - SIDE));
      ys[i] = static_cast<int32_t>(next() % (HEIGHT - SIDE));
    }
  }
  void Flip(Buffers& b) const {
    for (int i = 0; i < RECTS; ++i) MarkDisplayDirty(&b.display, xs[i], ys[i], SIDE, SIDE);
    CopyBackBuffer(&b.display);
    ClearDirtyRects(&b.display.dirty);
  }
};

void BM_FlipDirtyRects(benchmark::State& state) {
  Buffers b;
  Rects r;
  for (auto _ : state) r.Flip(b);
}
BENCHMARK(BM_FlipDirtyRects)->Unit(benchmark::kMicrosecond);

void BM_FullBufferCopy(benchmark::State& state) {
  Buffers b;
  for (auto _ : state)
    BltBitmapToTarget(b.display.backBuffer, 0, 0, b.display.presentBuffer, 0, 0, WIDTH, HEIGHT);
}
BENCHMARK(BM_FullBufferCopy)->Unit(benchmark::kMicrosecond);

void BM_FigureFlip(benchmark::State& state) {
  Buffers b;
  Rects r;
  benchfigure::Measure(
      state, "flip: 1000 dirty 16x16 rectangles vs a full 1920x1080 copy", benchfigure::Kind::TIME,
      1.0, 201, [&] { r.Flip(b); },
      [&] {
        BltBitmapToTarget(b.display.backBuffer, 0, 0, b.display.presentBuffer, 0, 0, WIDTH, HEIGHT);
      });
}
BENCHMARK(BM_FigureFlip)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
