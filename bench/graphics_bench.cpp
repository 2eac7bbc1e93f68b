// SafeBlt of a 1920x1080 brush with a mask into a bitmap: through a clip
// region that has a mask of its own (the two masks are combined per blit)
// against the same blit with only the brush's mask, in one run. Target: the
// clipped blit takes at most 1.5x the time of the plain masked one.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "gfx/gfx.h"

namespace {

constexpr int32_t WIDTH = 1920, HEIGHT = 1080;

// A source and destination of full-HD pixels, the brush's mask (a diagonal
// band cleared), and a clip mask of 8x8 checks over the whole picture.
struct Pictures {
  OwnedBitmap source, dest;
  BitmapHandle* brushMask = nullptr;
  BitmapHandle* clipMask = nullptr;

  Pictures() {
    InitGfxContext();
    source.reset(AllocBitmap(WIDTH, HEIGHT, 0, nullptr));
    dest.reset(AllocBitmap(WIDTH, HEIGHT, 0, nullptr));
    if (!source || !dest) return;
    FillBitmapRect(source.get(), 0, 0, WIDTH, HEIGHT, 0xFF336699);
    FillBitmapRect(dest.get(), 0, 0, WIDTH, HEIGHT, 0xFF000000);
    brushMask = AllocBitMask(source.get(), WIDTH, HEIGHT, 0, nullptr, 0);
    clipMask = AllocBitMask(source.get(), WIDTH, HEIGHT, 1, nullptr, 0);
    if (!brushMask || !clipMask) return;
    MaskRectOp(brushMask, 0, 0, WIDTH, HEIGHT, 0);
    for (int32_t y = 0; y < HEIGHT; y += 40) MaskRectOp(brushMask, y, y, 200, 40, 1);
    for (int32_t y = 0; y < HEIGHT; y += 8)
      for (int32_t x = (y / 8 % 2) * 8; x < WIDTH; x += 16) MaskRectOp(clipMask, x, y, 8, 8, 0);
  }
  ~Pictures() {
    FreeBitMask(brushMask);
    FreeBitMask(clipMask);
    source.reset();
    dest.reset();
    FreeGfxContext();
  }
  bool ready() const { return source && dest && brushMask && clipMask; }
};

Pictures& pictures() {
  static Pictures p;
  return p;
}

void blit(benchmark::State& state, const BlitClip* clip) {
  Pictures& p = pictures();
  if (!p.ready()) {
    state.SkipWithError("out of memory");
    return;
  }
  for (auto _ : state) {
    SafeBlt(nullptr, p.source.get(), 0, 0, p.dest.get(), 0, 0, WIDTH, HEIGHT, WIDTH, HEIGHT, WIDTH,
            HEIGHT, SAFEBLT_BITMAPONLY, p.brushMask, nullptr, clip);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * WIDTH * HEIGHT);
}

void BM_BrushMaskOnly(benchmark::State& state) { blit(state, nullptr); }

void BM_BrushMaskThroughMaskedClipRegion(benchmark::State& state) {
  BlitClip clip{0, 0, WIDTH, HEIGHT, pictures().clipMask};
  blit(state, &clip);
}

BENCHMARK(BM_BrushMaskOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BrushMaskThroughMaskedClipRegion)->Unit(benchmark::kMillisecond);

}  // namespace
