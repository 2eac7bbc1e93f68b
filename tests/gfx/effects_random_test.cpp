// Seeded random test of the effect kernels' format handling: iteration i
// seeds our own PRNG with i, draws a size, a row padding and pixels biased
// to 0x00 and 0xFF, runs every per-pixel and neighbourhood effect on the
// native 0xAARRGGBB picture and on the same picture stored as 0xAABBGGRR,
// and compares channel by channel. A failure prints i; running the test
// program with EFFECTS_SEED=i in the environment replays that iteration
// alone, printing every differing pixel.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

#include "gfx/gfx.h"
#include "gfx/effects_private.h"

namespace {

struct Rng {
  uint32_t s;
  explicit Rng(uint32_t seed) : s(seed * 2654435761u ^ 0x9E3779B9u) { next(); }
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  int range(int lo, int hi) {
    return lo + static_cast<int>(next() % static_cast<uint32_t>(hi - lo + 1));
  }
  uint8_t byte() {
    uint32_t v = next() & 7;
    return v < 2 ? 0 : (v < 4 ? 255 : static_cast<uint8_t>(next()));
  }
};

uint32_t swapRB(uint32_t v) { return (v & 0xFF00FF00u) | ((v >> 16) & 0xFF) | ((v & 0xFF) << 16); }

using Effect = std::function<void(uint32_t* px, int w, int h, int row, uint32_t format)>;

struct Named {
  const char* name;
  Effect run;
};

std::vector<Named> effects() {
  return {
      {"grey",
       [](uint32_t* p, int w, int h, int r, uint32_t f) { GrayPixels32(p, w, h, r, f, 0); }},
      {"two colours",
       [](uint32_t* p, int w, int h, int r, uint32_t f) { GrayPixels32(p, w, h, r, f, 1); }},
      {"solarize",
       [](uint32_t* p, int w, int h, int r, uint32_t f) { SolarizePixels32(p, w, h, r, f, 90); }},
      {"sepia",
       [](uint32_t* p, int w, int h, int r, uint32_t f) { SepiaPixels32(p, w, h, r, f, 100); }},
      {"levels",
       [](uint32_t* p, int w, int h, int r, uint32_t f) {
         LevelsRequest q{p, w, h, r, w * h / 50, w * h * 99 / 100, f, 4};
         NormalizeLevels(&q);
       }},
      {"contrast",
       [](uint32_t* p, int w, int h, int r, uint32_t f) { ContrastPixels32(p, w, h, r, f, 1); }},
      {"modulate",
       [](uint32_t* p, int w, int h, int r, uint32_t f) {
         ModulateRequest q{p, w, h, r, f, 130, 60, 170};
         ModulatePixels32(&q);
       }},
      {"oil paint",
       [](uint32_t* p, int w, int h, int r, uint32_t f) {
         OilPaintRequest q{p, w, h, r, f, 1.0};
         OilPaintPixels32(&q);
       }},
      {"blur",
       [](uint32_t* p, int w, int h, int r, uint32_t f) {
         ConvolveRequest q{p, w, h, r, f, 4, nullptr, 0, 0, 1.3, CONVOLVE_BLUR};
         ConvolvePixels(&q);
       }},
      {"sharpen",
       [](uint32_t* p, int w, int h, int r, uint32_t f) {
         ConvolveRequest q{p, w, h, r, f, 4, nullptr, 0, 1, 0.8, CONVOLVE_SHARPEN};
         ConvolvePixels(&q);
       }},
      {"emboss",
       [](uint32_t* p, int w, int h, int r, uint32_t f) {
         ConvolveRequest q{p, w, h, r, f, 4, nullptr, 0, 1, 1.0, CONVOLVE_EMBOSS};
         ConvolvePixels(&q);
       }},
  };
}

void runIteration(uint32_t i, bool verbose) {
  Rng r(i);
  int w = r.range(1, 19), h = r.range(1, 11), row = w + r.range(0, 3);
  std::vector<uint32_t> native(static_cast<size_t>(row) * h);
  for (auto& p : native)
    p = static_cast<uint32_t>(r.byte()) << 24 | r.byte() << 16 | r.byte() << 8 | r.byte();
  for (const auto& e : effects()) {
    std::vector<uint32_t> a = native, b(native.size());
    for (size_t k = 0; k < b.size(); ++k) b[k] = swapRB(native[k]);
    e.run(a.data(), w, h, row, PIXFMT_ARGB32);
    e.run(b.data(), w, h, row, PIXFMT_ABGR32);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < row; ++x) {
        size_t k = static_cast<size_t>(y) * row + x;
        if (x >= w) {
          // Padding beyond the width is never touched.
          ASSERT_EQ(a[k], native[k]) << "iteration " << i << " " << e.name << " padding";
          continue;
        }
        // Computed pixels have alpha 0 in both layouts; oil paint copies
        // stored values, alpha included.
        uint32_t want = a[k], got = swapRB(b[k]);
        if (verbose && want != got)
          printf("%s (%d,%d) of %dx%d: native %08X swapped %08X\n", e.name, x, y, w, h, want, got);
        ASSERT_EQ(got, want) << "iteration " << i << " " << e.name << " at " << x << "," << y
                             << " size " << w << "x" << h;
      }
  }
}

TEST(EffectsRandom, FormatsGiveTheSameChannels) {
  if (const char* seed = std::getenv("EFFECTS_SEED")) {
    runIteration(static_cast<uint32_t>(std::strtoul(seed, nullptr, 10)), true);
    return;
  }
  for (uint32_t i = 0; i < 300; ++i) {
    runIteration(i, false);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
