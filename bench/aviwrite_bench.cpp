// The AVI writer beside the JPEG encoder alone, in the same run: 640 x 480
// frames appended with AviWriteVideoFrame (encoding, the silent audio
// chunk, the index entries and the writes to a file in TMPDIR) against
// EncodeJpegToMemory of the same frames. The writer should keep at least
// 0.9 of the encoder's frame rate.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "gfx/gfx.h"
#include "media/anim_private.h"
#include "media/image_private.h"

namespace {

constexpr int32_t W = 640, H = 480, FRAMES = 8;

struct Frames {
  OwnedBitmap bitmaps[FRAMES];
  Frames() {
    uint32_t seed = 12345;
    for (int f = 0; f < FRAMES; f++) {
      bitmaps[f].reset(AllocBitmap(W, H, 0, nullptr));
      auto* p = reinterpret_cast<uint32_t*>(GetBitmapAttr(bitmaps[f].get(), 23));
      auto row = static_cast<int32_t>(GetBitmapAttr(bitmaps[f].get(), 13));
      // A moving gradient with some noise, roughly what a camera gives.
      for (int32_t y = 0; y < H; y++)
        for (int32_t x = 0; x < W; x++) {
          seed = seed * 1103515245u + 12345u;
          uint32_t n = (seed >> 16) & 15;
          p[y * row + x] = 0xFF000000u | (((x + f * 8) & 0xFF) ^ n) << 16 |
                           (((y + f * 4) & 0xFF) ^ n) << 8 | (((x + y) >> 2) & 0xFF);
        }
    }
  }
};

const Frames& frames() {
  static Frames f;
  return f;
}

std::string tempFile() {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/qm_aviwrite_bench.avi";
}

void BM_EncodeJpegOnly(benchmark::State& state) {
  int64_t n = 0;
  for (auto _ : state) {
    BitmapHandle* b = frames().bitmaps[n % FRAMES].get();
    JpegEncodeRequest r{};
    r.pixels = reinterpret_cast<const void*>(GetBitmapAttr(b, 23));
    r.bytesPerRow = static_cast<size_t>(GetBitmapAttr(b, 13)) * 4;
    r.width = W;
    r.height = H;
    r.quality = 90;
    EncodeJpegToMemory(&r);
    benchmark::DoNotOptimize(r.data);
    FreeJpegBuffer(r.holder);
    n++;
  }
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EncodeJpegOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AviWriteVideoFrame(benchmark::State& state) {
  const std::string file = tempFile();
  AviWriter* w = nullptr;
  if (AviWriteHeader(file.c_str(), 25, 1, W, H, 90, 0, 0, "bench", 0, &w) != 0) {
    state.SkipWithError("the AVI cannot be created");
    return;
  }
  int64_t n = 0;
  for (auto _ : state) {
    if (AviWriteVideoFrame(w, frames().bitmaps[n % FRAMES].get(), W, H, 1, 0) != 0) {
      state.SkipWithError("a frame failed");
      break;
    }
    n++;
  }
  AviFinish(w);
  std::remove(file.c_str());
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AviWriteVideoFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
