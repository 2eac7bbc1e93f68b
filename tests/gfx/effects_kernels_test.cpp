// Tests of the pixel effect kernels: arithmetic edge cases, golden vectors
// of the convolution kernels from an independent Python model
// (effects_model.py -> effects_golden.inc), and allocation-failure paths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "gfx/gfx.h"
#include "gfx/effects_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"

namespace {

#include "effects_golden.inc"

uint32_t rgb(int r, int g, int b) { return static_cast<uint32_t>(r) << 16 | g << 8 | b; }

TEST(EffectsMath, IntSqrtIsTheFloorOfTheRoot) {
  struct Case {
    int32_t n, root;
  } cases[] = {{0, 0},
               {1, 1},
               {3, 1},
               {4, 2},
               {255, 15},
               {256, 16},
               {65535, 255},
               {65536, 256},
               {46340 * 46340, 46340},
               {46340 * 46340 - 1, 46339},
               {0x7FFFFFFF, 46340},
               {-5, -1},
               {INT32_MIN, -1}};
  for (const auto& c : cases) EXPECT_EQ(IntSqrt(c.n), c.root) << c.n;
  // Every square and its neighbours: a one-off correction error shows here.
  for (int64_t k = 1; k <= 46340; ++k) {
    int64_t s = k * k;
    ASSERT_EQ(IntSqrt(static_cast<int32_t>(s)), k);
    ASSERT_EQ(IntSqrt(static_cast<int32_t>(s - 1)), k - 1);
  }
}

TEST(EffectsMath, GaussianKernelWidths) {
  struct Case {
    double radius, sigma;
    int32_t w1, w2;
  } cases[] = {{2.0, 0.0, 5, 5},   {2.0, 3.0, 5, 5}, {0.1, 1.0, 3, 3},
               {0.0, 0.5, 3, 3},   {0.0, 1.0, 7, 7}, {0.0, 2.0, 11, 11},
               {0.0, 3.0, 15, 15}, {0.0, 0.0, 1, 1}, {1e300, 1.0, INT32_MAX, INT32_MAX}};
  for (const auto& c : cases) {
    EXPECT_EQ(GaussianKernelWidth1D(c.radius, c.sigma), c.w1) << c.radius << " " << c.sigma;
    EXPECT_EQ(GaussianKernelWidth2D(c.radius, c.sigma), c.w2) << c.radius << " " << c.sigma;
  }
  // A sigma too wide for any tail to fall below one level ends the search.
  EXPECT_GT(GaussianKernelWidth1D(0.0, 1e300), 1);
  EXPECT_EQ(GaussianKernelWidth1D(0.0, NAN), 1);
}

TEST(EffectsLsq, ExactPerspectiveFromFourPointsIsRecovered) {
  const double c[8] = {1.2, 0.1, 5.0, -0.2, 0.9, 3.0, 0.001, 0.002};
  const double pts[4][2] = {{0, 0}, {100, 0}, {100, 80}, {0, 80}};
  double** m = AllocDoubleMatrix(8, 8);
  double** v = AllocDoubleMatrix(1, 8);
  ASSERT_TRUE(m && v);
  for (const auto& p : pts) {
    double x = p[0], y = p[1], w = c[6] * x + c[7] * y + 1;
    double u = (c[0] * x + c[1] * y + c[2]) / w, vv = (c[3] * x + c[4] * y + c[5]) / w;
    double t1[8] = {x, y, 1, 0, 0, 0, -x * u, -y * u};
    double t2[8] = {0, 0, 0, x, y, 1, -x * vv, -y * vv};
    LeastSquaresAddTerms(m, v, t1, &u, 8, 1);
    LeastSquaresAddTerms(m, v, t2, &vv, 8, 1);
  }
  ASSERT_EQ(GaussJordanSolve(m, v, 8, 1), 1);
  for (int i = 0; i < 8; ++i) EXPECT_NEAR(v[0][i], c[i], 1e-6 * (1 + std::fabs(c[i]))) << i;
  FreeDoubleMatrix(m, 8);
  FreeDoubleMatrix(v, 1);

  // The inverse of the inverse is the mapping itself.
  double inv[8], back[8];
  ASSERT_TRUE(InvertPerspective(c, inv));
  ASSERT_TRUE(InvertPerspective(inv, back));
  for (int i = 0; i < 8; ++i) EXPECT_NEAR(back[i] / back[0] * c[0], c[i], 1e-9) << i;
}

TEST(EffectsLsq, SingularSystemsAreRefused) {
  double** m = AllocDoubleMatrix(3, 3);
  double** v = AllocDoubleMatrix(2, 3);
  ASSERT_TRUE(m && v);
  const double rows[3][3] = {{1, 2, 3}, {1, 2, 3}, {0, 1, 1}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i][j] = rows[i][j];
  EXPECT_EQ(GaussJordanSolve(m, v, 3, 2), 0);
  FreeDoubleMatrix(m, 3);
  FreeDoubleMatrix(v, 2);

  const double singular[8] = {1, 2, 0, 2, 4, 0, 0, 0};  // c0 c4 == c3 c1
  double out[8] = {7, 7, 7, 7, 7, 7, 7, 7};
  EXPECT_FALSE(InvertPerspective(singular, out));
  EXPECT_EQ(out[0], 7);
}

TEST(EffectsLsq, AllocationFailuresGiveNullOrZero) {
  for (uint64_t n = 1; n <= 4; ++n) {
    SetAllocFailure(n, false);
    double** m = AllocDoubleMatrix(3, 3);
    SetAllocFailure(0, false);
    if (m) {
      FreeDoubleMatrix(m, 3);
      continue;
    }
  }
  double** m = AllocDoubleMatrix(2, 2);
  double** v = AllocDoubleMatrix(1, 2);
  m[0][0] = 2;
  m[1][1] = 4;
  v[0][0] = 2;
  v[0][1] = 8;
  SetAllocFailure(2, false);
  EXPECT_EQ(GaussJordanSolve(m, v, 2, 1), -1);
  SetAllocFailure(0, false);
  EXPECT_EQ(GaussJordanSolve(m, v, 2, 1), 1);
  EXPECT_DOUBLE_EQ(v[0][0], 1);
  EXPECT_DOUBLE_EQ(v[0][1], 2);
  FreeDoubleMatrix(m, 2);
  FreeDoubleMatrix(v, 1);
}

// ---- Colour effects --------------------------------------------------------------

TEST(EffectsColour, GreySolarizeAndLevels) {
  uint32_t px[4] = {0xFFFFFFFF, rgb(10, 20, 30), rgb(200, 100, 0), 0x12000000};
  GrayPixels32(px, 4, 1, 4, PIXFMT_ARGB32, 0);
  EXPECT_EQ(px[0], rgb(254, 254, 254));  // extended-precision sum just below 255
  EXPECT_EQ(px[3], 0u);                  // alpha byte cleared
  uint32_t two[2] = {rgb(129, 129, 129), rgb(131, 129, 129)};
  GrayPixels32(two, 2, 1, 2, PIXFMT_ARGB32, 1);
  EXPECT_EQ(two[0], 0u);  // grey 128 (a pure grey loses one level) is not above 128
  EXPECT_EQ(two[1], 0xFFFFFFu);
  uint16_t w16 = 0xFFFF;
  GrayPixels16(&w16, 1, 1, 1, PIXFMT_RGB565, 1);
  EXPECT_EQ(w16, 0xFFFF);

  uint32_t s[2] = {rgb(0, 128, 255), rgb(1, 254, 77)};
  uint32_t keep[2] = {s[0], s[1]};
  SolarizePixels32(s, 2, 1, 2, PIXFMT_ARGB32, 255);
  EXPECT_EQ(s[0], keep[0]);
  SolarizePixels32(s, 2, 1, 2, PIXFMT_ARGB32, 0);
  EXPECT_EQ(s[0], rgb(0, 127, 0));
  EXPECT_EQ(s[1], rgb(254, 1, 178));

  std::vector<uint32_t> flat(12, rgb(40, 90, 160));
  LevelsRequest lq{flat.data(), 4, 3, 4, 0, 11, PIXFMT_ARGB32, 4};
  NormalizeLevels(&lq);
  for (uint32_t p : flat) EXPECT_EQ(p, rgb(40, 90, 160));
  // Two grey levels (99 and 149: pure greys lose one) span the map.
  uint32_t two_levels[4] = {rgb(100, 100, 100), rgb(100, 100, 100), rgb(150, 150, 150),
                            rgb(150, 150, 150)};
  LevelsRequest lq2{two_levels, 4, 1, 4, 0, 3, PIXFMT_ARGB32, 4};
  NormalizeLevels(&lq2);
  EXPECT_EQ(two_levels[0], rgb(5, 5, 5));  // (100 - 99) * 255 / 50
  EXPECT_EQ(two_levels[3], rgb(255, 255, 255));
}

TEST(EffectsColour, SepiaAndGammaTables) {
  uint8_t id[256], inv[256];
  for (int i = 0; i < 256; ++i) {
    id[i] = static_cast<uint8_t>(i);
    inv[i] = static_cast<uint8_t>(255 - i);
  }
  uint32_t px[2] = {rgb(10, 20, 30), rgb(200, 100, 50)};
  GammaRequest g{px, 2, 1, 2, PIXFMT_ARGB32, inv, id, inv, 1 | 4};
  GammaPixels32(&g);
  EXPECT_EQ(px[0], rgb(245, 20, 225));
  // Sepia at level 0: y > 0 gives red and green 255, blue y.
  uint32_t sp[1] = {rgb(100, 100, 100)};
  SepiaPixels32(sp, 1, 1, 1, PIXFMT_ARGB32, 0);
  EXPECT_EQ(sp[0], rgb(255, 255, 99));
  // Level 255 on black: red and green clamp at 0, blue 0, then the floor
  // s / 7 = 36 lifts green and blue.
  uint32_t black[1] = {0};
  SepiaPixels32(black, 1, 1, 1, PIXFMT_ARGB32, 255);
  EXPECT_EQ(black[0], rgb(0, 36, 36));
}

TEST(EffectsColour, YuvVideoRangeEndsAreBlackAndWhite) {
  struct Case {
    uint32_t format;
    int bpp;
    uint8_t white[4];
  } cases[] = {
      {PIXFMT_ARGB32, 4, {0xFF, 0xFF, 0xFF, 0x00}}, {PIXFMT_BGRA32, 4, {0x00, 0xFF, 0xFF, 0xFF}},
      {PIXFMT_RGBA32, 4, {0x00, 0xFF, 0xFF, 0xFF}}, {PIXFMT_ABGR32, 4, {0xFF, 0xFF, 0xFF, 0x00}},
      {PIXFMT_RGB565, 2, {0xFF, 0xFF, 0, 0}},       {PIXFMT_RGB555, 2, {0xFF, 0x7F, 0, 0}},
      {PIXFMT_RGB24, 3, {0xFF, 0xFF, 0xFF, 0}},
  };
  // A single-row frame: black, then white; nothing past the row.
  for (const auto& c : cases) {
    uint8_t ys[2] = {16, 235}, us[1] = {128}, vs[1] = {128};
    YuvFrame f{ys, us, vs, 2, 1, 1};
    uint8_t out[12];
    std::memset(out, 0xAB, sizeof out);
    ConvertYUVToRGB(&f, out, 2, 1, 2, c.format, c.bpp);
    for (int i = 0; i < c.bpp; ++i) {
      EXPECT_EQ(out[i], 0) << "format " << c.format << " byte " << i;
      EXPECT_EQ(out[c.bpp + i], c.white[i]) << "format " << c.format << " byte " << i;
    }
    EXPECT_EQ(out[2 * c.bpp], 0xAB) << "wrote past the row";
  }
  // A format that does not fit the pixel size writes nothing.
  uint8_t ys[1] = {235}, us[1] = {128}, vs[1] = {128};
  YuvFrame f{ys, us, vs, 1, 1, 1};
  uint32_t out = 0x12345678;
  ConvertYUVToRGB(&f, &out, 1, 1, 1, PIXFMT_RGB565, 4);
  EXPECT_EQ(out, 0x12345678u);
}

TEST(EffectsColour, ScaledYuvSamplesNearestLumaAndChroma) {
  // 4 x 2 luma ramp, chroma 2 x 1; scaled to 2 x 4.
  uint8_t ys[8] = {16, 60, 120, 235, 16, 60, 120, 235}, us[2] = {128, 128}, vs[2] = {128, 128};
  YuvFrame f{ys, us, vs, 4, 2, 2};
  uint32_t out[8];
  ScaleYUVToRGB(&f, out, 4, 2, 2, 4, 2, PIXFMT_ARGB32, 4);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(out[j * 2], 0u);
    EXPECT_EQ(out[j * 2 + 1] & 0xFF, (1904000 * (120 - 16) + 817600) / 1635200u);
  }
}

// ---- Contrast, modulate, oil paint -------------------------------------------------

TEST(EffectsTone, ContrastFollowsTheSineCurve) {
  struct Case {
    int sign;
    uint8_t in[3];
    uint8_t out[3];
  } cases[] = {
      {+1, {0, 0, 0}, {0, 0, 0}},
      {-1, {0, 0, 0}, {0, 0, 0}},
      {+1, {64, 64, 64}, {50, 50, 50}},        // b 0.251 -> 0.199
      {+1, {191, 191, 191}, {204, 204, 204}},  // b 0.749 -> 0.801
  };
  for (const auto& c : cases) {
    uint8_t r = c.in[0], g = c.in[1], b = c.in[2];
    ContrastColor(c.sign, &r, &g, &b);
    EXPECT_EQ(r, c.out[0]);
    EXPECT_EQ(g, c.out[1]);
    EXPECT_EQ(b, c.out[2]);
  }
  // A saturated colour keeps its hue order and moves its brightness.
  uint8_t r = 200, g = 100, b = 50;
  ContrastColor(-1, &r, &g, &b);
  EXPECT_LT(r, 200);
  EXPECT_GT(r, g);
  EXPECT_GT(g, b);
}

TEST(EffectsTone, ModulateIdentityAndHalfTurns) {
  for (int r = 0; r < 256; r += 15)
    for (int g = 0; g < 256; g += 17)
      for (int b = 0; b < 256; b += 51) {
        uint8_t R = r, G = g, B = b;
        ModulateColor(&R, &G, &B, 100, 100, 100);
        ASSERT_LE(std::abs(R - r), 1) << r << " " << g << " " << b;
        ASSERT_LE(std::abs(G - g), 1);
        ASSERT_LE(std::abs(B - b), 1);
      }
  uint8_t a[3] = {200, 40, 40}, z[3] = {200, 40, 40};
  ModulateColor(&a[0], &a[1], &a[2], 200, 100, 100);
  ModulateColor(&z[0], &z[1], &z[2], 0, 100, 100);
  EXPECT_EQ(a[0], z[0]);
  EXPECT_EQ(a[1], z[1]);
  EXPECT_EQ(a[2], z[2]);
  EXPECT_LT(a[0], a[1]);  // red turned to cyan
  uint8_t hr = 200, hg = 40, hb = 40;
  ModulateColor(&hr, &hg, &hb, 1e12, 100, 100);  // huge hue ends
  uint32_t px = 0xFF102030;
  ModulateRequest mq{&px, 1, 1, 1, PIXFMT_ARGB32, 100, 100, 100};
  ModulatePixels32(&mq);
  EXPECT_EQ(px >> 24, 0u);
}

TEST(EffectsTone, OilPaintPicksTheFirstOfEqualCounts) {
  // All intensities differ: every inner window has counts of 1 and its
  // top-left pixel wins; the stored value (alpha included) is copied.
  const int w = 5, h = 4;
  uint32_t px[w * h], orig[w * h];
  for (int i = 0; i < w * h; ++i) px[i] = orig[i] = 0xFF000000u | rgb(i * 12, i * 12, i * 12);
  OilPaintRequest q{px, w, h, w, PIXFMT_ARGB32, 0.0};
  OilPaintPixels32(&q);
  for (int y = 1; y < h - 1; ++y)
    for (int x = 1; x < w - 1; ++x)
      EXPECT_EQ(px[y * w + x], orig[(y - 1) * w + x - 1]) << x << "," << y;
  // At the right edge the replicated column counts twice and wins.
  EXPECT_EQ(px[1 * w + 4], orig[0 * w + 4]);
  EXPECT_EQ(px[0], orig[0]);
  // A majority intensity wins over the scan order.
  uint16_t p16[9] = {0x1111, 0xF800, 0x07E0, 0x001F, 0xF800, 0xFFFF, 0x0000, 0xF800, 0x1234};
  OilPaintRequest q16{p16, 3, 3, 3, PIXFMT_RGB565, 0.0};
  OilPaintPixels16(&q16);
  EXPECT_EQ(p16[4], 0xF800);
}

// ---- Convolution ----------------------------------------------------------------

struct GoldenCase {
  const char* name;
  int32_t operation;
  double radius, sigma;
  const uint32_t* expected;
};

TEST(EffectsConvolve, MatchesTheIndependentModel) {
  const GoldenCase cases[] = {
      {"blur r0 s1", CONVOLVE_BLUR, 0, 1.0, kGolden_blur_r0_s1},
      {"blur r2 s1", CONVOLVE_BLUR, 2, 1.0, kGolden_blur_r2_s1},
      {"sharpen r1 s1", CONVOLVE_SHARPEN, 1, 1.0, kGolden_sharpen_r1_s1},
      {"emboss r0 s0.7", CONVOLVE_EMBOSS, 0, 0.7, kGolden_emboss_r0_s07},
      {"edge r1", CONVOLVE_EDGE, 1, 0, kGolden_edge_r1},
  };
  for (const auto& c : cases) {
    // The image sits in a wider buffer whose spare columns must stay.
    const int row = kGoldenW + 3;
    std::vector<uint32_t> px(row * kGoldenH, 0xDEADBEEF);
    std::vector<uint8_t> alpha(row * kGoldenH, 0x5A);
    for (int y = 0; y < kGoldenH; ++y)
      for (int x = 0; x < kGoldenW; ++x) {
        px[y * row + x] = 0xFF000000u | kGoldenSource[y * kGoldenW + x];
        alpha[y * row + x] = static_cast<uint8_t>(kGoldenSource[y * kGoldenW + x] >> 16);
      }
    ConvolveRequest q{px.data(),    kGoldenW, kGoldenH, row,     PIXFMT_ARGB32, 4,
                      alpha.data(), row,      c.radius, c.sigma, c.operation};
    ConvolvePixels(&q);
    for (int y = 0; y < kGoldenH; ++y) {
      for (int x = 0; x < kGoldenW; ++x) {
        EXPECT_EQ(px[y * row + x], c.expected[y * kGoldenW + x])
            << c.name << " at " << x << "," << y;
        EXPECT_EQ(alpha[y * row + x], c.expected[y * kGoldenW + x] >> 16)
            << c.name << " alpha " << x << "," << y;
      }
      for (int x = kGoldenW; x < row; ++x) {
        EXPECT_EQ(px[y * row + x], 0xDEADBEEF) << c.name;
        EXPECT_EQ(alpha[y * row + x], 0x5A) << c.name;
      }
    }
  }
}

TEST(EffectsConvolve, NoOpsAndEdgeCases) {
  // Blur with radius 0 and sigma 0 leaves the image.
  uint32_t px[4] = {0xFF123456, 0x00ABCDEF, 1, 2};
  ConvolveRequest q{px, 2, 2, 2, PIXFMT_ARGB32, 4, nullptr, 0, 0, 0, CONVOLVE_BLUR};
  ConvolvePixels(&q);
  EXPECT_EQ(px[0], 0xFF123456u);
  // A square kernel wider than the bitmap leaves it (alpha included).
  uint8_t a[4] = {1, 2, 3, 4};
  ConvolveRequest wide{px, 2, 2, 2, PIXFMT_ARGB32, 4, a, 2, 2, 1, CONVOLVE_SHARPEN};
  ConvolvePixels(&wide);
  EXPECT_EQ(px[1], 0x00ABCDEFu);
  EXPECT_EQ(a[3], 4);
  // A blur of any width works on 1 x 1 and clears the top byte.
  uint32_t one = 0xFF808080;
  ConvolveRequest single{&one, 1, 1, 1, PIXFMT_ARGB32, 4, nullptr, 0, 5, 2, CONVOLVE_BLUR};
  ConvolvePixels(&single);
  EXPECT_EQ(one >> 24, 0u);
  EXPECT_NEAR(static_cast<int>(one & 0xFF), 0x80, 1);
  // The edge kernel zeroes a flat area in every channel and in alpha; 16-bit
  // pixels of a swapped format go through the conversion both ways.
  std::vector<uint16_t> flat(25, 0x3412);
  std::vector<uint8_t> fa(25, 200);
  ConvolveRequest edge{flat.data(), 5, 5, 5, PIXFMT_RGB565_SWAP, 2,
                       fa.data(),   5, 1, 0, CONVOLVE_EDGE};
  ConvolvePixels(&edge);
  for (int i = 0; i < 25; ++i) {
    EXPECT_EQ(flat[i], 0);
    EXPECT_EQ(fa[i], 0);
  }
  // Alpha alone (no colour path).
  std::vector<uint8_t> solo(9, 0);
  solo[4] = 255;
  ConvolveRequest alphaOnly{nullptr, 3, 3, 0, 0, 0, solo.data(), 3, 0, 1.0, CONVOLVE_BLUR};
  ConvolvePixels(&alphaOnly);
  EXPECT_LT(solo[4], 255);
  EXPECT_GT(solo[0], 0);
}

TEST(EffectsConvolve, PaddedCopiesReplicateEdges) {
  const uint8_t src[6] = {1, 2, 3, 4, 5, 6};  // 3 x 2
  int32_t row = 0;
  uint8_t* copy = PadBytes8(src, 3, 2, 3, 3, nullptr, &row);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(row, 8);
  const uint8_t expect[5][6] = {{1, 1, 2, 3, 3, 3},
                                {1, 1, 2, 3, 3, 3},
                                {4, 4, 5, 6, 6, 6},
                                {4, 4, 5, 6, 6, 6},
                                {4, 4, 5, 6, 6, 6}};
  for (int r = 0; r < 5; ++r)
    for (int c = 0; c < 6; ++c) EXPECT_EQ(copy[r * row + c], expect[r][c]) << r << "," << c;
  FreeMemory(copy);
  uint32_t p32[1] = {7};
  uint32_t* c32 = PadPixels32(p32, 1, 1, 1, 3, nullptr, &row);
  ASSERT_NE(c32, nullptr);
  EXPECT_EQ(row, 8);  // 4 + 4: already a multiple of 4
  FreeMemory(c32);
  EXPECT_EQ(PadPixels32(p32, 1, 1, 1, INT32_MAX, nullptr, &row), nullptr);
}

}  // namespace
