// Benchmarks of the effect kernels in megapixels per second: Gaussian blur
// of an alpha channel, the colour quantiser with and without dithering,
// bilinear affine rotation and gradient fills, each beside pixman's closest
// operation when pixman is available (separable Gaussian convolution,
// bilinear transform, linear and radial gradients).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "gfx/gfx.h"
#include "gfx/effects_private.h"

#ifdef QM_HAVE_PIXMAN
#include <pixman.h>
#endif

namespace {

constexpr int W = 1920, H = 1080;

void setRate(benchmark::State& state, double pixels) {
  state.counters["MP/s"] =
      benchmark::Counter(pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

std::vector<uint8_t> alphaPattern() {
  std::vector<uint8_t> a(static_cast<size_t>(W) * H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      a[static_cast<size_t>(y) * W + x] = ((x / 64 + y / 64) & 1) ? 255 : (x * 7 + y) & 255;
  return a;
}

std::vector<uint32_t> photo(int w, int h) {
  std::vector<uint32_t> p(static_cast<size_t>(w) * h);
  uint32_t s = 12345;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      s = s * 1103515245 + 12345;
      int n = (s >> 16) & 15;
      int r = (x * 255 / w + n) & 255, g = (y * 255 / h + n) & 255;
      int b = static_cast<int>(128 + 100 * std::sin(x * 0.02) * std::cos(y * 0.03)) & 255;
      p[static_cast<size_t>(y) * w + x] = static_cast<uint32_t>(r) << 16 | g << 8 | b;
    }
  return p;
}

void BM_BlurAlphaRadius10(benchmark::State& state) {
  auto a = alphaPattern();
  for (auto _ : state) {
    ConvolveRequest q{nullptr, W, H, 0, 0, 0, a.data(), W, 10.0, 10.0 / 3, CONVOLVE_BLUR};
    ConvolvePixels(&q);
    benchmark::DoNotOptimize(a.data());
  }
  setRate(state, double(W) * H);
}
BENCHMARK(BM_BlurAlphaRadius10)->Unit(benchmark::kMillisecond);

void BM_Quantize640x480(benchmark::State& state) {
  const int w = 640, h = 480;
  auto p = photo(w, h);
  std::vector<uint8_t> idx(static_cast<size_t>(w) * h);
  uint32_t pal[256];
  for (auto _ : state) {
    QuantizeRequest q{p.data(),   PIXFMT_ARGB32,
                      4,          w,
                      h,          w,
                      idx.data(), pal,
                      256,        -1,
                      0,          static_cast<int32_t>(state.range(0)),
                      0,          -1};
    QuantizeColors(&q);
    benchmark::DoNotOptimize(idx.data());
  }
  setRate(state, double(w) * h);
}
BENCHMARK(BM_Quantize640x480)->Arg(0)->Arg(1)->ArgName("dither")->Unit(benchmark::kMillisecond);

void BM_AffineRotateBilinear(benchmark::State& state) {
  auto src = photo(W, H);
  std::vector<uint32_t> dst(static_cast<size_t>(W) * H);
  const double t = 30 * M_PI / 180;
  // Rotation about the picture centre, drawn into a destination of the
  // same size.
  const double cx = W / 2.0, cy = H / 2.0;
  const double m[6] = {std::cos(t),
                       std::sin(t),
                       -std::sin(t),
                       std::cos(t),
                       cx - std::cos(t) * cx + std::sin(t) * cy,
                       cy - std::sin(t) * cx - std::cos(t) * cy};
  for (auto _ : state) {
    TransformRequest q{
        src.data(), dst.data(), nullptr, nullptr, nullptr, nullptr,       0, W, H, W, W, H, W, 0,
        0,          0,          0,       m,       1,       PIXFMT_ARGB32, 4};
    TransformPixels(&q);
    benchmark::DoNotOptimize(dst.data());
  }
  setRate(state, double(W) * H);
}
BENCHMARK(BM_AffineRotateBilinear)->Unit(benchmark::kMillisecond);

void BM_Gradient(benchmark::State& state) {
  std::vector<uint32_t> dst(static_cast<size_t>(W) * H);
  GradientSpec g{};
  g.type = static_cast<int32_t>(state.range(0));
  g.firstColour = 0xFF2040;
  g.secondColour = 0x40FF20;
  g.angle = 30;
  g.centreX = g.centreY = 0.5;
  for (auto _ : state) {
    GradientRequest q{dst.data(), 4, PIXFMT_ARGB32, 0, 0, W, H, W, &g};
    RenderGradient(&q);
    benchmark::DoNotOptimize(dst.data());
  }
  setRate(state, double(W) * H);
}
BENCHMARK(BM_Gradient)
    ->Arg(GRADIENT_LINEAR)
    ->Arg(GRADIENT_RADIAL)
    ->ArgName("type")
    ->Unit(benchmark::kMillisecond);

#ifdef QM_HAVE_PIXMAN

void BM_PixmanBlurAlpha(benchmark::State& state) {
  auto a = alphaPattern();
  std::vector<uint8_t> out(a.size());
  pixman_image_t* src =
      pixman_image_create_bits(PIXMAN_a8, W, H, reinterpret_cast<uint32_t*>(a.data()), W);
  pixman_image_t* dst =
      pixman_image_create_bits(PIXMAN_a8, W, H, reinterpret_cast<uint32_t*>(out.data()), W);
  // pixman's Gaussian sampling kernel is 5 pixels wide at scale 1; widened
  // four times it covers about 21 taps a side, like a radius-10 blur (pixman
  // evaluates the filter as a full 2-D footprint per pixel).
  int n = 0;
  pixman_fixed_t* params = pixman_filter_create_separable_convolution(
      &n, pixman_double_to_fixed(4.0), pixman_double_to_fixed(4.0), PIXMAN_KERNEL_IMPULSE,
      PIXMAN_KERNEL_IMPULSE, PIXMAN_KERNEL_GAUSSIAN, PIXMAN_KERNEL_GAUSSIAN, 0, 0);
  pixman_image_set_filter(src, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, params, n);
  pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
  for (auto _ : state) {
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, W, H);
    benchmark::DoNotOptimize(out.data());
  }
  free(params);
  pixman_image_unref(src);
  pixman_image_unref(dst);
  setRate(state, double(W) * H);
}
BENCHMARK(BM_PixmanBlurAlpha)->Unit(benchmark::kMillisecond);

void BM_PixmanRotateBilinear(benchmark::State& state) {
  auto srcPx = photo(W, H);
  std::vector<uint32_t> dstPx(static_cast<size_t>(W) * H);
  pixman_image_t* src = pixman_image_create_bits(PIXMAN_x8r8g8b8, W, H, srcPx.data(), W * 4);
  pixman_image_t* dst = pixman_image_create_bits(PIXMAN_x8r8g8b8, W, H, dstPx.data(), W * 4);
  // pixman maps destination to source: the inverse rotation about the centre.
  pixman_transform_t t;
  pixman_transform_init_identity(&t);
  pixman_transform_translate(&t, nullptr, pixman_double_to_fixed(-W / 2.0),
                             pixman_double_to_fixed(-H / 2.0));
  pixman_transform_rotate(&t, nullptr, pixman_double_to_fixed(std::cos(-30 * M_PI / 180)),
                          pixman_double_to_fixed(std::sin(-30 * M_PI / 180)));
  pixman_transform_translate(&t, nullptr, pixman_double_to_fixed(W / 2.0),
                             pixman_double_to_fixed(H / 2.0));
  pixman_image_set_transform(src, &t);
  pixman_image_set_filter(src, PIXMAN_FILTER_BILINEAR, nullptr, 0);
  for (auto _ : state) {
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, W, H);
    benchmark::DoNotOptimize(dstPx.data());
  }
  pixman_image_unref(src);
  pixman_image_unref(dst);
  setRate(state, double(W) * H);
}
BENCHMARK(BM_PixmanRotateBilinear)->Unit(benchmark::kMillisecond);

void BM_PixmanGradient(benchmark::State& state) {
  std::vector<uint32_t> dstPx(static_cast<size_t>(W) * H);
  pixman_image_t* dst = pixman_image_create_bits(PIXMAN_x8r8g8b8, W, H, dstPx.data(), W * 4);
  pixman_gradient_stop_t stops[2] = {{0, {0xFFFF, 0x2020, 0x4040, 0xFFFF}},
                                     {pixman_int_to_fixed(1), {0x4040, 0xFFFF, 0x2020, 0xFFFF}}};
  pixman_image_t* g;
  if (state.range(0) == GRADIENT_LINEAR) {
    pixman_point_fixed_t p1 = {0, 0}, p2 = {pixman_int_to_fixed(W / 2), pixman_int_to_fixed(H)};
    g = pixman_image_create_linear_gradient(&p1, &p2, stops, 2);
  } else {
    pixman_point_fixed_t c = {pixman_int_to_fixed(W / 2), pixman_int_to_fixed(H / 2)};
    g = pixman_image_create_radial_gradient(&c, &c, 0, pixman_double_to_fixed(std::hypot(W, H) / 2),
                                            stops, 2);
  }
  pixman_image_set_repeat(g, PIXMAN_REPEAT_PAD);
  for (auto _ : state) {
    pixman_image_composite32(PIXMAN_OP_SRC, g, nullptr, dst, 0, 0, 0, 0, 0, 0, W, H);
    benchmark::DoNotOptimize(dstPx.data());
  }
  pixman_image_unref(g);
  pixman_image_unref(dst);
  setRate(state, double(W) * H);
}
BENCHMARK(BM_PixmanGradient)
    ->Arg(GRADIENT_LINEAR)
    ->Arg(GRADIENT_RADIAL)
    ->ArgName("type")
    ->Unit(benchmark::kMillisecond);

#endif

}  // namespace
