// Pixel engine against pixman on full-HD frames: an ARGB image with an
// alpha channel blended onto an opaque bitmap, a plain copy, a masked copy,
// and nearest and bilinear 2x upscaling. Each of ours runs beside the
// closest pixman operation on the same pixels ("Ours/..." and "Pixman/...";
// the ratio of their times is the figure of merit). Ours runs with fast
// paths on (/1) and with the general kernels only (/0), which shows what
// each fast path gains.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "gfx/gfx.h"
#include "gfx/pixel_private.h"
#include "gfx/bitmap_private.h"

#ifdef QM_HAVE_PIXMAN
#include <pixman.h>
#endif

namespace {

constexpr int W = 1920, H = 1080;

struct Frame {
  BitmapHandle* source = nullptr;       // ARGB pixels
  BitmapHandle* alpha = nullptr;        // its alpha channel
  BitmapHandle* mask = nullptr;         // a blocky 1-bit mask
  BitmapHandle* dest = nullptr;         // opaque destination
  BitmapHandle* half = nullptr;         // 960 x 540 source for the scalers
  BitmapHandle* scaled = nullptr;       // 1920 x 1080 target of the scalers
  std::vector<uint32_t> premultiplied;  // the source for pixman's OVER

  Frame() {
    source = AllocBitmap(W, H, 0, nullptr);
    alpha = AllocAlphaChannel(W, H, 1, nullptr, 0);
    mask = AllocBitMask(source, W, H, 1, nullptr, 0);
    dest = AllocBitmap(W, H, 0, nullptr);
    half = AllocBitmap(W / 2, H / 2, 0, nullptr);
    scaled = AllocBitmap(W, H, 0, nullptr);
    auto* s = reinterpret_cast<uint32_t*>(GetBitmapAttr(source, 23));
    auto* d = reinterpret_cast<uint32_t*>(GetBitmapAttr(dest, 23));
    auto* a = reinterpret_cast<uint8_t*>(GetBitmapAttr(alpha, 3));
    auto* m = reinterpret_cast<uint8_t*>(GetBitmapAttr(mask, 4));
    int32_t maskRow = static_cast<int32_t>(GetBitmapAttr(mask, 2));
    premultiplied.resize(static_cast<size_t>(W) * H);
    uint32_t seed = 12345;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        seed = seed * 1664525u + 1013904223u;
        uint32_t rgb = seed >> 8;
        // Alpha: opaque and clear bands with gradients between them, so
        // every kernel meets all three cases.
        int band = (x / 240 + y / 135) % 4;
        uint8_t av = band == 0 ? 0 : band == 1 ? 255 : static_cast<uint8_t>((x * 7 + y) & 255);
        s[static_cast<size_t>(y) * W + x] = 0xFF000000u | rgb;
        a[static_cast<size_t>(y) * W + x] = av;
        d[static_cast<size_t>(y) * W + x] = 0xFF000000u | (~rgb & 0xFFFFFF);
        uint32_t pr = 0;
        for (int k = 0; k < 24; k += 8) pr |= (((rgb >> k) & 255) * av / 255) << k;
        premultiplied[static_cast<size_t>(y) * W + x] = static_cast<uint32_t>(av) << 24 | pr;
        if (((x / 37) + (y / 23)) % 3 != 0 || (x % 97) < 3)
          m[static_cast<size_t>(y) * maskRow + (x >> 3)] |= static_cast<uint8_t>(0x80 >> (x & 7));
      }
    auto* h = reinterpret_cast<uint32_t*>(GetBitmapAttr(half, 23));
    for (int y = 0; y < H / 2; ++y)
      for (int x = 0; x < W / 2; ++x)
        h[static_cast<size_t>(y) * (W / 2) + x] = s[static_cast<size_t>(y) * W + x] & 0xFFFFFF;
  }
  ~Frame() {
    FreeBitmap(source);
    FreeAlphaChannel(alpha);
    FreeBitMask(mask);
    FreeBitmap(dest);
    FreeBitmap(half);
    FreeBitmap(scaled);
  }
  uint32_t* pixels(BitmapHandle* b) const {
    return reinterpret_cast<uint32_t*>(GetBitmapAttr(b, 23));
  }
};

Frame& frame() {
  static Frame f;
  return f;
}

void setPixels(benchmark::State& state, int64_t pixels) {
  state.SetItemsProcessed(state.iterations() * pixels);
  state.SetBytesProcessed(state.iterations() * pixels * 4);
}

// Fast paths on or off for one benchmark run, restored afterwards.
struct FastPaths {
  explicit FastPaths(const benchmark::State& state) { SetPixelFastPaths(state.range(0) != 0); }
  ~FastPaths() { SetPixelFastPaths(true); }
};

void Ours_AlphaBlend(benchmark::State& state) {
  Frame& f = frame();
  FastPaths paths(state);
  for (auto _ : state) {
    BltBitmapAlpha(f.source, 0, 0, f.dest, 0, 0, W, H, f.alpha);
    benchmark::ClobberMemory();
  }
  setPixels(state, int64_t{W} * H);
}
BENCHMARK(Ours_AlphaBlend)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void Ours_Copy(benchmark::State& state) {
  Frame& f = frame();
  FastPaths paths(state);
  for (auto _ : state) {
    BltBitmapToTarget(f.source, 0, 0, f.dest, 0, 0, W, H);
    benchmark::ClobberMemory();
  }
  setPixels(state, int64_t{W} * H);
}
BENCHMARK(Ours_Copy)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void Ours_MaskedCopy(benchmark::State& state) {
  Frame& f = frame();
  FastPaths paths(state);
  for (auto _ : state) {
    BltBitmapMasked(f.source, 0, 0, f.dest, 0, 0, W, H, f.mask);
    benchmark::ClobberMemory();
  }
  setPixels(state, int64_t{W} * H);
}
BENCHMARK(Ours_MaskedCopy)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void oursScale(benchmark::State& state, int smooth) {
  Frame& f = frame();
  ScaleRequest q{};
  q.source = reinterpret_cast<const uint8_t*>(f.pixels(f.half));
  q.dest = reinterpret_cast<uint8_t*>(f.pixels(f.scaled));
  q.sourceWidth = W / 2;
  q.sourceHeight = H / 2;
  q.destWidth = W;
  q.destHeight = H;
  q.sourceRowLength = W / 2;
  q.destRowLength = W;
  q.smooth = smooth;
  q.format = PIXFMT_ARGB32;
  q.bytesPerPixel = 4;
  FastPaths paths(state);
  for (auto _ : state) {
    ScaleBitmapNearest(&q);
    benchmark::ClobberMemory();
  }
  setPixels(state, int64_t{W} * H);
}
void Ours_ScaleNearest2x(benchmark::State& state) { oursScale(state, 0); }
void Ours_ScaleBilinear2x(benchmark::State& state) { oursScale(state, 1); }
BENCHMARK(Ours_ScaleNearest2x)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(Ours_ScaleBilinear2x)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

#ifdef QM_HAVE_PIXMAN

pixman_image_t* wrapImage(pixman_format_code_t format, int w, int h, uint32_t* bits,
                          int strideBytes) {
  return pixman_image_create_bits(format, w, h, bits, strideBytes);
}

void Pixman_AlphaBlend(benchmark::State& state) {
  Frame& f = frame();
  pixman_image_t* src = wrapImage(PIXMAN_a8r8g8b8, W, H, f.premultiplied.data(), W * 4);
  pixman_image_t* dst = wrapImage(PIXMAN_x8r8g8b8, W, H, f.pixels(f.dest), W * 4);
  for (auto _ : state) {
    pixman_image_composite32(PIXMAN_OP_OVER, src, nullptr, dst, 0, 0, 0, 0, 0, 0, W, H);
    benchmark::ClobberMemory();
  }
  pixman_image_unref(src);
  pixman_image_unref(dst);
  setPixels(state, int64_t{W} * H);
}
BENCHMARK(Pixman_AlphaBlend)->Unit(benchmark::kMillisecond);

void Pixman_Copy(benchmark::State& state) {
  Frame& f = frame();
  pixman_image_t* src = wrapImage(PIXMAN_x8r8g8b8, W, H, f.pixels(f.source), W * 4);
  pixman_image_t* dst = wrapImage(PIXMAN_x8r8g8b8, W, H, f.pixels(f.dest), W * 4);
  for (auto _ : state) {
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, W, H);
    benchmark::ClobberMemory();
  }
  pixman_image_unref(src);
  pixman_image_unref(dst);
  setPixels(state, int64_t{W} * H);
}
BENCHMARK(Pixman_Copy)->Unit(benchmark::kMillisecond);

void Pixman_MaskedCopy(benchmark::State& state) {
  // An opaque source OVER the destination through a 1-bit mask copies
  // exactly the pixels whose bit is set. pixman's a1 bits are little-endian
  // within each 32-bit word, so the mask is converted once, outside the loop.
  Frame& f = frame();
  int32_t maskRow = static_cast<int32_t>(GetBitmapAttr(f.mask, 2));
  auto* m = reinterpret_cast<const uint8_t*>(GetBitmapAttr(f.mask, 4));
  int a1Stride = ((W + 31) / 32) * 4;
  std::vector<uint32_t> a1(static_cast<size_t>(a1Stride / 4) * H, 0);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      if ((m[static_cast<size_t>(y) * maskRow + (x >> 3)] >> (7 - (x & 7))) & 1)
        a1[static_cast<size_t>(y) * (a1Stride / 4) + (x >> 5)] |= 1u << (x & 31);
  pixman_image_t* src = wrapImage(PIXMAN_x8r8g8b8, W, H, f.pixels(f.source), W * 4);
  pixman_image_t* msk = wrapImage(PIXMAN_a1, W, H, a1.data(), a1Stride);
  pixman_image_t* dst = wrapImage(PIXMAN_x8r8g8b8, W, H, f.pixels(f.dest), W * 4);
  for (auto _ : state) {
    pixman_image_composite32(PIXMAN_OP_OVER, src, msk, dst, 0, 0, 0, 0, 0, 0, W, H);
    benchmark::ClobberMemory();
  }
  pixman_image_unref(src);
  pixman_image_unref(msk);
  pixman_image_unref(dst);
  setPixels(state, int64_t{W} * H);
}
BENCHMARK(Pixman_MaskedCopy)->Unit(benchmark::kMillisecond);

void pixmanScale(benchmark::State& state, pixman_filter_t filter) {
  Frame& f = frame();
  pixman_image_t* src = wrapImage(PIXMAN_x8r8g8b8, W / 2, H / 2, f.pixels(f.half), W / 2 * 4);
  pixman_image_t* dst = wrapImage(PIXMAN_x8r8g8b8, W, H, f.pixels(f.scaled), W * 4);
  pixman_transform_t t;
  pixman_transform_init_scale(&t, pixman_double_to_fixed(0.5), pixman_double_to_fixed(0.5));
  pixman_image_set_transform(src, &t);
  pixman_image_set_filter(src, filter, nullptr, 0);
  pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
  for (auto _ : state) {
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, W, H);
    benchmark::ClobberMemory();
  }
  pixman_image_unref(src);
  pixman_image_unref(dst);
  setPixels(state, int64_t{W} * H);
}
void Pixman_ScaleNearest2x(benchmark::State& state) { pixmanScale(state, PIXMAN_FILTER_NEAREST); }
void Pixman_ScaleBilinear2x(benchmark::State& state) { pixmanScale(state, PIXMAN_FILTER_BILINEAR); }
BENCHMARK(Pixman_ScaleNearest2x)->Unit(benchmark::kMillisecond);
BENCHMARK(Pixman_ScaleBilinear2x)->Unit(benchmark::kMillisecond);

#endif

}  // namespace
