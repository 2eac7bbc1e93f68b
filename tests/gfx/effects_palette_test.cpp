// Tests of the colour quantiser and the gradient lookup and fills: palette
// order, key entries, dithering of flat areas, allocation failures, spread
// modes against a fresh lookup per position, and the fill geometry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "gfx/gfx.h"
#include "gfx/effects_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"

namespace {

uint32_t rgb(int r, int g, int b) { return static_cast<uint32_t>(r) << 16 | g << 8 | b; }

struct Image {
  int w, h;
  std::vector<uint32_t> px;
  std::vector<uint8_t> idx;
  uint32_t pal[256];
  Image(int w_, int h_) : w(w_), h(h_), px(w_ * h_), idx(w_ * h_) {
    std::memset(pal, 0xEE, sizeof pal);
  }
  QuantizeRequest request(int colours, int32_t key, int reserve, int dither) {
    return QuantizeRequest{px.data(), PIXFMT_ARGB32, 4,   w,       h,      w, idx.data(),
                           pal,       colours,       key, reserve, dither, 0, -1};
  }
};

TEST(EffectsQuantize, ExactPaletteKeepsFirstAppearanceOrder) {
  Image im(4, 2);
  const uint32_t seq[8] = {rgb(9, 9, 9), rgb(1, 2, 3),   rgb(9, 9, 9), 0xFF000000 | rgb(200, 0, 0),
                           rgb(1, 2, 3), rgb(200, 0, 0), rgb(0, 0, 0), rgb(9, 9, 9)};
  std::memcpy(im.px.data(), seq, sizeof seq);
  auto q = im.request(4, rgb(200, 0, 0), 0, 1);
  QuantizeColors(&q);
  ASSERT_EQ(q.result, 1);
  EXPECT_EQ(q.colourCount, 4);
  const uint32_t pal[4] = {rgb(9, 9, 9), rgb(1, 2, 3), rgb(200, 0, 0), 0};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(im.pal[i], pal[i]) << i;
  const uint8_t idx[8] = {0, 1, 0, 2, 1, 2, 3, 0};  // alpha bytes are ignored
  for (int i = 0; i < 8; ++i) EXPECT_EQ(im.idx[i], idx[i]) << i;
  EXPECT_EQ(q.keyIndex, 2);

  // One colour too many for the limit with the reserve flag: median cut.
  auto r = im.request(4, -1, 1, 0);
  QuantizeColors(&r);
  ASSERT_EQ(r.result, 1);
  EXPECT_LE(r.colourCount, 4);
  EXPECT_EQ(im.pal[r.colourCount - 1], 0u);  // the reserved entry is black
}

TEST(EffectsQuantize, KeyColourTakesTheEntryAfterTheBoxes) {
  Image im(64, 48);
  const uint32_t key = rgb(255, 0, 255);
  for (int y = 0; y < im.h; ++y)
    for (int x = 0; x < im.w; ++x)
      im.px[y * im.w + x] = (x % 7 == 3) ? key : rgb(x * 4, y * 5, (x * y) & 255);
  for (int dither = 0; dither < 2; ++dither) {
    auto q = im.request(256, static_cast<int32_t>(key), 0, dither);
    QuantizeColors(&q);
    ASSERT_EQ(q.result, 1);
    ASSERT_LE(q.colourCount, 256);
    EXPECT_EQ(q.keyIndex, q.colourCount - 1);
    EXPECT_EQ(im.pal[q.keyIndex], key);
    for (int i = 0; i < im.w * im.h; ++i)
      ASSERT_EQ(im.idx[i] == q.keyIndex, im.px[i] == key) << "pixel " << i << " dither " << dither;
  }
}

TEST(EffectsQuantize, MedianCutApproximatesAndDitherKeepsTheMean) {
  Image im(96, 64);
  for (int y = 0; y < im.h; ++y)
    for (int x = 0; x < im.w; ++x) im.px[y * im.w + x] = rgb(x * 255 / 95, y * 255 / 63, 128);
  for (int dither = 0; dither < 2; ++dither) {
    auto q = im.request(16, -1, 0, dither);
    QuantizeColors(&q);
    ASSERT_EQ(q.result, 1);
    EXPECT_LE(q.colourCount, 16);
    EXPECT_GT(q.colourCount, 8);
    double sumIn = 0, sumOut = 0;
    int worst = 0;
    for (int i = 0; i < im.w * im.h; ++i) {
      ASSERT_LT(im.idx[i], q.colourCount);
      uint32_t p = im.pal[im.idx[i]];
      int dr =
          std::abs(static_cast<int>((p >> 16) & 255) - static_cast<int>((im.px[i] >> 16) & 255));
      worst = std::max(worst, dr);
      sumIn += (im.px[i] >> 16) & 255;
      sumOut += (p >> 16) & 255;
    }
    EXPECT_LT(worst, dither ? 96 : 48);
    EXPECT_NEAR(sumOut / (im.w * im.h), sumIn / (im.w * im.h), dither ? 2.0 : 12.0);
  }
}

TEST(EffectsQuantize, DitheringAFlatPaletteColourMakesOneIndex) {
  // (100, 102, 60) is a histogram cell centre, so the single box's colour is
  // exact and no error is diffused.
  Image im(9, 7);
  for (auto& p : im.px) p = rgb(100, 102, 60);
  auto q = im.request(1, -1, 1, 1);
  QuantizeColors(&q);
  ASSERT_EQ(q.result, 1);
  EXPECT_EQ(q.colourCount, 2);
  EXPECT_EQ(im.pal[0], rgb(100, 102, 60));
  for (uint8_t i : im.idx) EXPECT_EQ(i, 0);
}

TEST(EffectsQuantize, SixteenBitAndThreeBytePixels) {
  // 2-byte values compare as words; palette colours unpack the fields.
  uint16_t p16[4] = {0xF800, 0x001F, 0xF800, 0x07E0};
  uint8_t idx[4];
  uint32_t pal[256];
  QuantizeRequest q{p16, PIXFMT_RGB565, 2, 4, 1, 4, idx, pal, 256, -1, 0, 0, 0, -1};
  QuantizeColors(&q);
  ASSERT_EQ(q.result, 1);
  EXPECT_EQ(q.colourCount, 3);
  EXPECT_EQ(pal[0], rgb(0xF8, 0, 0));
  EXPECT_EQ(pal[1], rgb(0, 0, 0xF8));
  EXPECT_EQ(pal[2], rgb(0, 0xFC, 0));
  uint8_t p24[6] = {1, 2, 3, 4, 5, 6};  // BGR byte order
  QuantizeRequest q3{p24, PIXFMT_BGR24, 3, 2, 1, 2, idx, pal, 256, -1, 0, 0, 0, -1};
  QuantizeColors(&q3);
  ASSERT_EQ(q3.result, 1);
  EXPECT_EQ(pal[0], rgb(3, 2, 1));
  EXPECT_EQ(pal[1], rgb(6, 5, 4));
}

TEST(EffectsQuantize, AllocationFailuresFreeEverything) {
  Image im(33, 17);
  for (int i = 0; i < im.w * im.h; ++i) im.px[i] = rgb(i & 255, (i * 7) & 255, (i * 13) & 255);
  for (int dither = 0; dither < 2; ++dither) {
    for (uint64_t n = 1;; ++n) {
      ASSERT_LT(n, 20u);
      auto q = im.request(32, -1, 0, dither);
      SetAllocFailure(n, true);
      QuantizeColors(&q);
      uint64_t failed = GetAllocFailureCount();
      SetAllocFailure(0, false);
      if (failed == 0) {
        EXPECT_EQ(q.result, 1);
        break;
      }
      EXPECT_EQ(q.result, 0) << "n=" << n;
    }
  }
}

// ---- Gradient lookup ----------------------------------------------------------------

GradientStop stop(int32_t pos, int r, int g, int b) {
  return GradientStop{pos, static_cast<uint16_t>(r * 257), static_cast<uint16_t>(g * 257),
                      static_cast<uint16_t>(b * 257)};
}

uint32_t freshLookup(const GradientStop* stops, int32_t count, int32_t spread, int32_t pos) {
  GradientState s{};
  s.stops = stops;
  s.count = count;
  s.spread = spread;
  s.invalid = 1;
  return GradientColorAt32(&s, pos);
}

TEST(EffectsGradient, SpreadModes) {
  const GradientStop two[2] = {stop(0, 0, 0, 0), stop(0x10000, 255, 255, 255)};
  const GradientStop three[3] = {stop(0x4000, 255, 0, 0), stop(0x8000, 0, 255, 0),
                                 stop(0xC000, 0, 0, 255)};
  const GradientStop one[1] = {stop(0x8000, 10, 20, 30)};
  struct Case {
    const char* name;
    const GradientStop* stops;
    int32_t count, spread, pos;
    uint32_t colour;
  } cases[] = {
      {"repeat midpoint", two, 2, GRADIENT_SPREAD_REPEAT, 0x18000, 0x7F7F7F},
      {"repeat below zero", two, 2, GRADIENT_SPREAD_REPEAT, -0x8000, 0x7F7F7F},
      {"reflect midpoint", two, 2, GRADIENT_SPREAD_REFLECT, 0x18000, 0x7F7F7F},
      {"reflect odd quarter", two, 2, GRADIENT_SPREAD_REFLECT, 0x14000,
       freshLookup(two, 2, 3, 0xC000)},
      {"pad one stop before", one, 1, GRADIENT_SPREAD_PAD, -0x7FFFFFFF, rgb(10, 20, 30)},
      {"pad one stop after", one, 1, GRADIENT_SPREAD_PAD, 0x7FFFFFFF, rgb(10, 20, 30)},
      {"pad before first", three, 3, GRADIENT_SPREAD_PAD, 0, rgb(255, 0, 0)},
      {"none beyond last", three, 3, 0, 0xD000, 0},
      {"none before first", three, 3, 0, 0x1000, 0},
      {"none on a stop", three, 3, 0, 0x8000, rgb(0, 255, 0)},
      {"repeat wraps last to first", three, 3, GRADIENT_SPREAD_REPEAT, 0x10000, rgb(127, 0, 127)},
  };
  for (const auto& c : cases)
    EXPECT_EQ(freshLookup(c.stops, c.count, c.spread, c.pos), c.colour) << c.name;

  // No stops: refused, black everywhere.
  GradientState empty{};
  empty.invalid = 1;
  EXPECT_FALSE(LocateGradientStops(&empty, 5));
  EXPECT_EQ(GradientColorAt32(&empty, 0x8000), 0u);

  // The cached segment gives what a fresh lookup gives, in every mode and
  // sweep direction, including positions near the int32 limits.
  for (int32_t spread = 0; spread <= 3; ++spread) {
    GradientState s{};
    s.stops = three;
    s.count = 3;
    s.spread = spread;
    s.invalid = 1;
    for (int64_t pos = -0x30000; pos <= 0x30000; pos += 0x123) {
      ASSERT_EQ(GradientColorAt32(&s, static_cast<int32_t>(pos)),
                freshLookup(three, 3, spread, static_cast<int32_t>(pos)))
          << spread << " " << pos;
    }
    for (int64_t pos = INT32_MAX; pos > INT32_MAX - 0x30000; pos -= 0x777)
      ASSERT_EQ(GradientColorAt32(&s, static_cast<int32_t>(pos)),
                freshLookup(three, 3, spread, static_cast<int32_t>(pos)));
    for (int64_t pos = INT32_MIN; pos < INT32_MIN + 0x30000; pos += 0x777)
      ASSERT_EQ(GradientColorAt32(&s, static_cast<int32_t>(pos)),
                freshLookup(three, 3, spread, static_cast<int32_t>(pos)));
    EXPECT_EQ(GradientColorAt16(&s, 0x8000), 0x07E0) << spread;
  }
}

GradientSpec spec(int32_t type, int32_t angle) {
  GradientSpec g{};
  g.type = type;
  g.firstColour = 0xFF000000;
  g.secondColour = 0x00FFFFFF;
  g.angle = angle;
  g.centreX = g.centreY = 0.5;
  g.middle = 0.5;
  return g;
}

int red(uint32_t p) { return (p >> 16) & 255; }

TEST(EffectsGradient, FillGeometry) {
  const int W = 40, H = 30;
  std::vector<uint32_t> px(W * H);
  auto render = [&](const GradientSpec& g) {
    std::fill(px.begin(), px.end(), 0xDEADBEEF);
    GradientRequest q{px.data(), 4, PIXFMT_ARGB32, 0, 0, W, H, W, &g};
    return RenderGradient(&q);
  };
  ASSERT_TRUE(render(spec(GRADIENT_LINEAR, 0)));
  EXPECT_LE(red(px[5]), 5);                  // top row: first colour
  EXPECT_GE(red(px[(H - 1) * W + 5]), 245);  // bottom row: second colour
  EXPECT_EQ(px[0] >> 24, 0u);
  ASSERT_TRUE(render(spec(GRADIENT_LINEAR, 90)));
  EXPECT_LE(red(px[10 * W]), 5);
  EXPECT_GE(red(px[10 * W + W - 1]), 245);
  ASSERT_TRUE(render(spec(GRADIENT_LINEAR, 180 + 360)));
  EXPECT_GE(red(px[5]), 245);
  ASSERT_TRUE(render(spec(GRADIENT_LINEAR, -90)));  // 270: right to left
  EXPECT_GE(red(px[10 * W]), 245);
  ASSERT_TRUE(render(spec(GRADIENT_LINEAR, 45)));
  EXPECT_LT(red(px[0]), red(px[W * H - 1]));

  // Radial, centred, size 0: the radius is half the diagonal.
  ASSERT_TRUE(render(spec(GRADIENT_RADIAL, 0)));
  EXPECT_LE(red(px[15 * W + 20]), 8);
  EXPECT_GE(red(px[0]), 240);
  EXPECT_GE(red(px[W * H - 1]), 240);
  // Size 1.0 is taken as 0.99 (a radius of 0 would divide by zero).
  GradientSpec full = spec(GRADIENT_RADIAL, 0);
  full.size = 1.0;
  ASSERT_TRUE(render(full));
  std::vector<uint32_t> one = px;
  full.size = 0.99;
  ASSERT_TRUE(render(full));
  EXPECT_EQ(one, px);

  // Conical without stops closes on itself: neighbours across the wrap of
  // the angle (the row through the centre, left of it) differ little.
  ASSERT_TRUE(render(spec(GRADIENT_CONICAL, 0)));
  for (int x = 0; x < W / 2 - 2; ++x)
    EXPECT_LE(std::abs(red(px[14 * W + x]) - red(px[15 * W + x])), 24) << x;

  // More stops than the table holds are clamped; a negative count and an
  // unknown type are refused.
  GradientSpec many = spec(GRADIENT_LINEAR, 90);
  many.stopCount = 1000;
  for (int i = 0; i < GRADIENT_MAX_STOPS; ++i) many.stops[i] = {0x00FF0000u, i / 63.0};
  ASSERT_TRUE(render(many));
  EXPECT_EQ(px[5 * W + 20], 0xFF0000u);
  many.stopCount = -1;
  EXPECT_FALSE(render(many));
  EXPECT_FALSE(render(spec(7, 0)));

  // 16-bit pixels in a swapped format, drawn into a sub-rectangle.
  std::vector<uint16_t> p16(8 * 4, 0x1234);
  GradientSpec g16 = spec(GRADIENT_LINEAR, 90);
  GradientRequest q16{p16.data(), 2, PIXFMT_RGB565_SWAP, 2, 1, 4, 2, 8, &g16};
  ASSERT_TRUE(RenderGradient(&q16));
  EXPECT_EQ(p16[0], 0x1234);
  EXPECT_EQ(p16[1 * 8 + 2], 0xE318);  // (31, 31, 31) at t = 8192, byte-swapped
  EXPECT_EQ(p16[1 * 8 + 6], 0x1234);
  EXPECT_NE(p16[2 * 8 + 5], 0x1234);
}

}  // namespace
