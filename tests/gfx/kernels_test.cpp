// Pixel kernels: blend, fill and plot arithmetic on worked numbers, mask and
// alpha-channel loops that must keep padding bits, pixelate cells, polygon
// fill, flood fill (order-independent results and a deep area), and scaling
// positions including sources wider than 32,767 pixels. Each kernel with a
// fast path runs with fast paths on and off.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "gfx/gfx.h"
#include "gfx/pixel_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"

namespace {

class BothPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { SetPixelFastPaths(GetParam()); }
  void TearDown() override { SetPixelFastPaths(true); }
};
INSTANTIATE_TEST_SUITE_P(Paths, BothPaths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "fast" : "general"; });

// One pixel of span mode 0/1/2 in a 9-pixel row (so vector kernels run).
uint32_t span32(int mode, uint32_t s, uint32_t d, uint8_t a, uint8_t da, uint32_t format = 10) {
  std::vector<uint32_t> src(9, s), dst(9, d);
  std::vector<uint8_t> alpha(9, a), dalpha(9, da);
  SpanDescriptor sp{reinterpret_cast<uint8_t*>(src.data()),
                    0,
                    0,
                    0,
                    0,
                    9,
                    reinterpret_cast<uint8_t*>(dst.data()),
                    0,
                    0,
                    9,
                    9,
                    1,
                    alpha.data(),
                    dalpha.data(),
                    9,
                    9,
                    format};
  RunSpanRoutine(&sp, 4, mode);
  for (int i = 1; i < 9; ++i) EXPECT_EQ(dst[i], dst[0]) << "pixel " << i;
  return dst[0];
}

TEST_P(BothPaths, SpanRoutinesOnWorkedNumbers) {
  struct Case {
    const char* name;
    int mode;
    uint32_t s, d;
    uint8_t a, da;
    uint32_t want;
  } cases[] = {
      {"blend 128 of white over black", 0, 0xFFFFFFFF, 0xFF000000, 128, 0, 0x007F7F7F},
      {"blend 128 of black over white (-255*128>>8 = -128)", 0, 0xFF000000, 0xFFFFFFFF, 128, 0,
       0x007F7F7F},
      {"blend 0 leaves the word", 0, 0x11223344, 0x80AABBCC, 0, 0, 0x80AABBCC},
      {"blend 255 copies the word", 0, 0x11223344, 0x80AABBCC, 255, 0, 0x11223344},
      {"alpha test copies where non-zero", 1, 0x11223344, 0x80AABBCC, 1, 0, 0x11223344},
      {"over transparent destination takes the source", 2, 0xFF102030, 0xFFFFFFFF, 128, 0,
       0x00102030},
      {"over opaque destination", 2, 0x00FF0000, 0x000000FF, 128, 255, 0x0080007F},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(span32(c.mode, c.s, c.d, c.a, c.da), c.want);
  }
  // 0xBBGGRRAA layout: computed in native channels, written back with alpha 0.
  EXPECT_EQ(span32(0, 0xFFFFFFFF, 0x000000FF, 128, 0, 11), 0x7F7F7F00u);
}

TEST_P(BothPaths, Span16BitUsesExpandedChannels) {
  uint16_t src[5] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, dst[5] = {0, 0, 0, 0, 0};
  uint8_t alpha[5] = {128, 128, 128, 128, 128};
  SpanDescriptor sp{reinterpret_cast<uint8_t*>(src),
                    0,
                    0,
                    0,
                    0,
                    5,
                    reinterpret_cast<uint8_t*>(dst),
                    0,
                    0,
                    5,
                    5,
                    1,
                    alpha,
                    nullptr,
                    5,
                    0,
                    4};
  RunSpanRoutine(&sp, 2, 0);
  // 0xF8 * 128 >> 8 = 0x7C -> 0x78 packed red; 0xFC -> 0x7E -> green 0x7C.
  EXPECT_EQ(dst[0], ((0x7C & 0xF8) << 8) | ((0x7E & 0xFC) << 3) | (0x7C >> 3));
}

TEST(Kernels, FillAtOpacityZeroClearsOnlyAlpha) {
  uint32_t px[4] = {0xFF102030, 0x80405060, 0xFFFFFFFF, 0x12345678};
  FillPixelRect(reinterpret_cast<uint8_t*>(px), 0, 0, 2, 2, 0xFFFFFFFF, 0, 2, 10);
  const uint32_t want[4] = {0x00102030, 0x00405060, 0x00FFFFFF, 0x00345678};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(px[i], want[i]) << i;
  uint32_t rgb[2] = {0xAABBCCDD, 0xAABBCCDD};
  FillPixelRect(reinterpret_cast<uint8_t*>(rgb), 0, 0, 2, 1, 0xFF000000, 255, 2, 8);
  EXPECT_EQ(rgb[0], 0xAABBCCDDu);  // 3-byte formats are not filled
  uint16_t p16[1] = {0};
  FillPixelRect(reinterpret_cast<uint8_t*>(p16), 0, 0, 1, 1, 0x00FFFFFF, 128, 1, 4);
  EXPECT_EQ(p16[0], ((0x7C & 0xF8) << 8) | ((0x7E & 0xFC) << 3) | (0x7C >> 3));
}

TEST(Kernels, AntiAliasedLinePlotsTwoPixelsPerColumn) {
  uint32_t px[8 * 8] = {};
  uint8_t mask[8 * 2] = {};
  PlotContext ctx{};
  ctx.pixels = reinterpret_cast<uint8_t*>(px);
  ctx.rowLength = 8;
  ctx.bytesPerPixel = 4;
  ctx.format = 10;
  ctx.level = 255;
  ctx.targetMask = mask;
  ctx.targetMaskRowBytes = 2;
  SetPlotColor(&ctx, 0xFFFFFF);
  ShapeSpanKernel(&ctx, 0, 0, 4, 2);
  // Steps in x with y advancing half a pixel per column.
  const int want[][3] = {{0, 0, 255}, {0, 1, 0},   {1, 0, 127}, {1, 1, 128}, {2, 1, 255},
                         {2, 2, 0},   {3, 1, 127}, {3, 2, 128}, {4, 2, 255}, {4, 3, 0}};
  int plotted = 0;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) plotted += (mask[y * 2 + (x >> 3)] >> (7 - (x & 7))) & 1;
  EXPECT_EQ(plotted, 10);
  for (const auto& w : want) {
    SCOPED_TRACE(testing::Message() << "(" << w[0] << "," << w[1] << ")");
    EXPECT_TRUE((mask[w[1] * 2] >> (7 - w[0])) & 1);
    uint32_t v = static_cast<uint32_t>(w[2]) == 255
                     ? 0xFFFFFFu
                     : (static_cast<uint32_t>(w[2]) * 255 >> 8) * 0x010101u;
    EXPECT_EQ(px[w[1] * 8 + w[0]], v);
  }
  EXPECT_EQ(ctx.opacity, 0);  // left at the last value used
}

TEST(Kernels, PointsAndCoverageUseTheLevel) {
  uint32_t px[4] = {};
  uint8_t alpha[4] = {};
  PlotContext ctx{};
  ctx.pixels = reinterpret_cast<uint8_t*>(px);
  ctx.rowLength = 4;
  ctx.bytesPerPixel = 4;
  ctx.format = 10;
  ctx.level = 128;
  ctx.targetAlpha = alpha;  // the alpha byte records each plot's opacity
  ctx.targetAlphaRowBytes = 4;
  SetPlotColor(&ctx, 0x00FF00);
  ShapeSpanKernel(&ctx, 3, 0, 3, 0);
  EXPECT_EQ(alpha[3], 128);  // a single point takes the level as it is
  EXPECT_EQ(px[3], 0x00FF00u);
  const uint8_t coverage[3] = {255, 0, 64};
  ShapeOutlineKernel(coverage, 0, 0, &ctx, 3, 1, 3, 0);
  EXPECT_EQ(alpha[0], 128);  // 255 * 128 / 255
  EXPECT_EQ(alpha[1], 0);    // zero coverage plots nothing
  EXPECT_EQ(alpha[2], 32);
  ctx.opacity = 77;
  ShapeOutlineKernel(coverage, 0, 0, &ctx, 3, 1, 3, 1);  // solid: current opacity
  EXPECT_EQ(alpha[0], 77);
  EXPECT_EQ(alpha[2], 77);
}

TEST(Kernels, PlotClipsToRectangleAndClipMask) {
  uint32_t px[4 * 4] = {};
  uint8_t clipMask[2 * 2] = {0x80, 0, 0x40, 0};  // (0,0) and (1,1) of the clip
  PlotContext ctx{};
  ctx.pixels = reinterpret_cast<uint8_t*>(px);
  ctx.rowLength = 4;
  ctx.bytesPerPixel = 4;
  ctx.format = 10;
  ctx.opacity = 255;
  ctx.level = 255;
  ctx.colour = 0x123456;
  ctx.clip = 1;
  ctx.clipX = 1;
  ctx.clipY = 1;
  ctx.clipWidth = 2;
  ctx.clipHeight = 2;
  ctx.clipMask = clipMask;
  ctx.clipMaskRowBytes = 2;
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) PlotPixel(&ctx, x, y);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(px[i], (i == 5 || i == 10) ? 0x123456u : 0u) << i;
}

TEST(Kernels, AlphaDrawModes) {
  struct Case {
    const char* name;
    int mode;
    uint8_t a, da;
    int level;
    uint32_t d;
    uint32_t wantD;
    uint8_t wantDa;
  } cases[] = {
      {"mode 3 onto empty alpha takes the colour", 3, 128, 0, 255, 0x000000, 0x00FF00, 128},
      {"mode 3 blends and raises alpha", 3, 128, 64, 255, 0x000000, 0x007F00, 96},
      {"mode 3 level scales the new alpha", 3, 255, 0, 128, 0x000000, 0x00FF00, 128},
      {"mode 1 blends", 1, 64, 0, 255, 0x0000FF, 0x003FBF, 0},
      {"mode 4 at 64 copies", 4, 64, 0, 255, 0x0000FF, 0x00FF00, 0},
      {"mode 4 quadruples", 4, 32, 0, 255, 0x0000FF, 0x007F7F, 0},
      {"other modes copy", 0, 1, 0, 255, 0x0000FF, 0x00FF00, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t d = c.d;
    uint8_t da = c.da;
    uint16_t a16 = static_cast<uint16_t>(0x5500 | c.a);  // mode 3 reads the low byte
    uint8_t a8 = c.a;
    AlphaDrawRequest q{};
    q.alpha = c.mode == 3 ? reinterpret_cast<uint8_t*>(&a16) : &a8;
    q.alphaRowBytes = 2;
    q.dest = reinterpret_cast<uint8_t*>(&d);
    q.destRowLength = 1;
    q.destAlpha = &da;
    q.destAlphaRowBytes = 1;
    q.width = q.height = 1;
    q.colour = 0x00FF00;
    q.level = c.level;
    q.mode = c.mode;
    q.format = 10;
    q.bytesPerPixel = 4;
    AlphaDrawKernel(&q);
    EXPECT_EQ(d, c.wantD);
    if (c.mode == 3) {
      EXPECT_EQ(da, c.wantDa);
    }
  }
}

TEST(Kernels, HorizontalMaskFlipKeepsPaddingBits) {
  // 10 pixels wide: bit 0 (leftmost) moves to bit 9; six padding bits of
  // the second byte (all set here) and the row's third byte stay.
  uint8_t mask[3] = {0x80, 0x3F, 0xA5};
  uint32_t px[10];
  for (int i = 0; i < 10; ++i) px[i] = static_cast<uint32_t>(i);
  uint8_t alpha[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  FlipRequest q{reinterpret_cast<uint8_t*>(px), 10, 1, 10, mask, 3, alpha, 10, 1, 4, nullptr};
  FlipPixels(&q);
  EXPECT_EQ(mask[0], 0x00);
  EXPECT_EQ(mask[1], 0x7F);
  EXPECT_EQ(mask[2], 0xA5);
  EXPECT_EQ(px[0], 9u);
  EXPECT_EQ(alpha[9], 0);
  // Vertical flip of three rows exchanges rows 0 and 2 whole.
  uint8_t rows[6] = {1, 2, 3, 4, 5, 6};
  FlipRequest v{nullptr, 1, 3, 1, rows, 2, nullptr, 0, 0, 4, nullptr};
  FlipPixels(&v);
  EXPECT_EQ(rows[0], 5);
  EXPECT_EQ(rows[5], 2);
}

TEST(Kernels, QuarterTurns) {
  // 3 x 2 source: 0 1 2 / 3 4 5.
  uint32_t src[6] = {0, 1, 2, 3, 4, 5}, dst[6] = {};
  RotateRequest q{};
  q.source = reinterpret_cast<uint8_t*>(src);
  q.dest = reinterpret_cast<uint8_t*>(dst);
  q.sourceWidth = 3;
  q.sourceHeight = 2;
  q.sourceRowLength = 3;
  q.destWidth = 2;
  q.destHeight = 3;
  q.destRowLength = 2;
  q.bytesPerPixel = 4;
  q.direction = 0;  // clockwise: 3 0 / 4 1 / 5 2
  RotateQuarterTurn(&q);
  const uint32_t cw[6] = {3, 0, 4, 1, 5, 2};
  EXPECT_EQ(0, std::memcmp(dst, cw, sizeof(cw)));
  q.direction = 1;  // anticlockwise: 2 5 / 1 4 / 0 3
  RotateQuarterTurn(&q);
  const uint32_t acw[6] = {2, 5, 1, 4, 0, 3};
  EXPECT_EQ(0, std::memcmp(dst, acw, sizeof(acw)));
}

TEST(Kernels, AlphaCombineModes) {
  struct Case {
    int mode;
    uint8_t s, d;
    int level;
    uint8_t want;
  } cases[] = {
      {9, 128, 128, 0, 192}, {9, 255, 3, 0, 255}, {9, 0, 3, 0, 3},        {0, 7, 3, 0, 7},
      {12, 7, 3, 0, 7},      {1, 0, 3, 0, 3},     {2, 55, 3, 0, 200},     {4, 255, 3, 128, 128},
      {5, 55, 0, 0, 0},      {5, 55, 9, 0, 200},  {6, 1, 3, 0x1FF, 0xFF}, {7, 55, 0, 0, 0},
      {7, 55, 9, 0, 55},     {8, 254, 3, 0, 3},   {8, 255, 3, 0, 255},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << " s " << int(c.s) << " d " << int(c.d));
    uint8_t s = c.s, d = c.d;
    AlphaCombineRequest q{&s, 0, 0, &d, 0, 0, 1, 1, 1, 1, c.mode, c.level};
    CombineAlphaBytes(&q);
    EXPECT_EQ(d, c.want);
  }
}

TEST(Kernels, PixelateCutsLastCellToTheImage) {
  uint32_t src[4 * 2] = {1, 2, 3, 4, 5, 6, 7, 8}, dst[4 * 2] = {};
  PixelateRequest q{};
  q.source = reinterpret_cast<uint8_t*>(src);
  q.dest = reinterpret_cast<uint8_t*>(dst);
  q.sourceRowLength = q.destRowLength = 4;
  q.width = 4;
  q.height = 2;
  q.cellSize = 3;
  PixelatePixels32(&q);
  const uint32_t want[8] = {1, 1, 1, 4, 1, 1, 1, 4};
  EXPECT_EQ(0, std::memcmp(dst, want, sizeof(want)));
  // With a mask: a clear top-left bit clears the cell's bits, pixels untouched.
  uint8_t smask[2 * 2] = {0x10, 0, 0xFF, 0}, dmask[2 * 2] = {0xFF, 0xFF, 0xFF, 0xFF};
  uint32_t dst2[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  q.dest = reinterpret_cast<uint8_t*>(dst2);
  q.sourceMask = smask;
  q.destMask = dmask;
  q.sourceMaskRowBytes = q.destMaskRowBytes = 2;
  PixelatePixels32(&q);
  const uint32_t want2[8] = {9, 9, 9, 4, 9, 9, 9, 4};
  EXPECT_EQ(0, std::memcmp(dst2, want2, sizeof(want2)));
  EXPECT_EQ(dmask[0], 0x1F);  // bits 0-2 cleared, bit 3 set, padding kept
  EXPECT_EQ(dmask[2], 0x1F);
}

TEST(Kernels, TrianglePolygonFill) {
  uint8_t mask[5 * 2] = {};
  int32_t scratch[3];
  const int32_t pts[] = {0, 0, 4, 0, 0, 4};
  ScanFillMaskPolygon(mask, 2, scratch, pts, 3);
  const uint8_t want[5] = {0xF8, 0xF0, 0xE0, 0xC0, 0x80};
  for (int y = 0; y < 5; ++y) EXPECT_EQ(mask[y * 2], want[y]) << "row " << y;
}

TEST(Kernels, MaskAndAlphaConversions) {
  // Alpha to mask: modes by t = (byte == 255).
  struct Case {
    int mode;
    uint8_t before;
    uint8_t want;
  } cases[] = {{0, 0x00, 0xA0}, {1, 0x00, 0x50}, {3, 0xF0, 0x50}, {4, 0xF0, 0xF0}, {5, 0x10, 0xB0}};
  const uint8_t alpha[4] = {255, 254, 255, 0};
  for (const auto& c : cases) {
    uint8_t m = c.before;
    AlphaToMaskBits(alpha, &m, 4, 1, c.mode, 0, 0, 0, 0, 4, 1);
    EXPECT_EQ(m, c.want) << "mode " << c.mode;
  }
  // Clip combine: a bit needs both the clip and the source bit.
  const uint8_t src[1] = {0xF0}, clip[1] = {0x3C};
  uint8_t out[1] = {0x0F};
  CombineClipMask(src, 1, nullptr, 0, clip, 1, 0, 0, out, 1, nullptr, 0, 0, 0, 6, 1);
  EXPECT_EQ(out[0], 0x33);  // bits 2,3 set; 0,1,4,5 cleared; padding bits 6,7 kept
  uint8_t outA[4] = {1, 1, 1, 1};
  CombineClipMask(nullptr, 0, alpha, 4, clip, 1, 1, 0, nullptr, 0, outA, 4, 0, 0, 4, 1);
  const uint8_t wantA[4] = {0, 254, 255, 0};
  EXPECT_EQ(0, std::memcmp(outA, wantA, 4));
}

// The clip combine of masks, with the byte-wise path on and off, against a
// bit-by-bit reference: seeded random rectangles at every bit offset of the
// output and the clip, rows biased to 0x00 and 0xFF; the bits around the
// rectangle must keep their values.
TEST(Kernels, ClipMaskCombineMatchesTheReference) {
  auto bit = [](const std::vector<uint8_t>& v, int32_t row, int32_t x) {
    return (v[static_cast<size_t>(row * 16 + (x >> 3))] >> (7 - (x & 7))) & 1;
  };
  for (uint32_t i = 0; i < 500; ++i) {
    SCOPED_TRACE(i);
    std::mt19937 rng(i);
    auto pick = [&](int32_t n) { return static_cast<int32_t>(rng() % static_cast<uint32_t>(n)); };
    const int32_t width = 1 + pick(70), height = 1 + pick(4);
    const int32_t x = pick(40), y = pick(3), clipX = pick(40), clipY = pick(3);
    const bool withSource = pick(2) == 0;
    auto bytes = [&] {
      std::vector<uint8_t> v(16 * 8);
      for (uint8_t& b : v) b = pick(3) == 0 ? 0xFF : pick(2) == 0 ? 0 : static_cast<uint8_t>(rng());
      return v;
    };
    const std::vector<uint8_t> source = bytes(), clip = bytes(), before = bytes();
    std::vector<uint8_t> want = before;
    for (int32_t j = 0; j < height; ++j)
      for (int32_t k = 0; k < width; ++k) {
        int on = bit(clip, clipY + j, clipX + k) & (withSource ? bit(source, y + j, x + k) : 1);
        uint8_t& b = want[static_cast<size_t>((y + j) * 16 + ((x + k) >> 3))];
        const auto m = static_cast<uint8_t>(0x80 >> ((x + k) & 7));
        b = static_cast<uint8_t>(on ? b | m : b & ~m);
      }
    for (bool fast : {true, false}) {
      std::vector<uint8_t> out = before;
      SetPixelFastPaths(fast);
      CombineClipMask(withSource ? source.data() : nullptr, 16, nullptr, 0, clip.data(), 16, clipX,
                      clipY, out.data(), 16, nullptr, 0, x, y, width, height);
      SetPixelFastPaths(true);
      EXPECT_EQ(out, want) << (fast ? "fast " : "bits ") << width << "x" << height << " at " << x
                           << "," << y << " clip " << clipX << "," << clipY;
    }
  }
}

TEST(Kernels, RadialSweepCopiesColumnsByAngle) {
  // 4 x 2 source (columns 0..3 and 10..13) into an 8 x 2 destination; four
  // quarter-turn steps. Destination column of step k is base - 3 + k.
  uint32_t src[8] = {0, 1, 2, 3, 10, 11, 12, 13}, dst[16] = {};
  uint8_t salpha[8] = {255, 255, 0, 255, 255, 255, 255, 255}, dalpha[16];
  std::memset(dalpha, 9, sizeof(dalpha));
  const double q4 = 3.14159265358979323846 / 2;
  const double angles[4] = {-2.5 * q4, -1.5 * q4, -0.5 * q4, 0.5 * q4};  // trunc: -2 -1 0 0
  RadialSweepRequest q{};
  q.source = reinterpret_cast<uint8_t*>(src);
  q.dest = reinterpret_cast<uint8_t*>(dst);
  q.sourceAlpha = salpha;
  q.destAlpha = dalpha;
  q.sourceRowLength = q.sourceAlphaRowBytes = q.sourceWidth = 4;
  q.destRowLength = q.destAlphaRowBytes = q.destWidth = 8;
  q.sourceHeight = q.destHeight = 2;
  q.bytesPerPixel = 4;
  q.angles = angles;
  q.steps = 4;
  q.columns = 1;
  q.base = 3;  // source columns 1 2 3 3 to destination columns 0 1 2 3
  RadialSweepKernel(&q);
  EXPECT_EQ(q.copiedLines, 4);
  EXPECT_EQ(q.firstDest, 0);
  EXPECT_EQ(q.outBase, 3);
  const uint32_t want[16] = {1, 0, 3, 3, 0, 0, 0, 0, 11, 12, 13, 13, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(dst, want, sizeof(want)));
  EXPECT_EQ(dalpha[1], 0);  // source alpha 0: pixel skipped, alpha cleared
  EXPECT_EQ(dalpha[9], 255);
  EXPECT_EQ(dalpha[4], 9);
  q.base = 0;  // only the last step lands (source column 0, destination 0)
  RadialSweepKernel(&q);
  EXPECT_EQ(q.copiedLines, 1);
  EXPECT_EQ(q.firstDest, 0);
  EXPECT_EQ(dst[0], 0u);
  q.base = -5;
  RadialSweepKernel(&q);
  EXPECT_EQ(q.copiedLines, 0);
  EXPECT_EQ(q.firstDest, -100000);
}

// --- flood fill ---

struct Grid {
  int w, h;
  std::vector<uint32_t> px;
  Grid(const char* const* rows, int h_) : w(static_cast<int>(std::strlen(rows[0]))), h(h_) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        px.push_back(rows[y][x] == '#' ? 0x000000 : rows[y][x] == 'f' ? 0xFF0000 : 0xFFFFFF);
  }
  std::string row(int y) const {
    std::string s;
    for (int x = 0; x < w; ++x)
      s += px[y * w + x] == 0 ? '#' : px[y * w + x] == 0xFF0000 ? 'f' : '.';
    return s;
  }
  ErrorCode fill(int x, int y) {
    FloodFillRequest q{reinterpret_cast<uint8_t*>(px.data()), w, h, w, 0x000000, 0xFF0000, 0, 0};
    return FloodFillSpan(&q, x, y, 0x00FFFFFF);
  }
};

TEST(FloodFill, EdgeCases) {
  struct Case {
    const char* name;
    const char* rows[4];
    int x, y;
    const char* want[4];
  } cases[] = {
      {"border start changes nothing",
       {"#..", "...", "...", "..."},
       0,
       0,
       {"#..", "...", "...", "..."}},
      {"corner-touching areas stay apart",
       {"..#.", "..#.", "##..", "...."},
       0,
       0,
       {"ff#.", "ff#.", "##..", "...."}},
      {"start already of the fill colour fills on",
       {"f.#.", "###.", "....", "...."},
       0,
       0,
       {"ff#.", "###.", "....", "...."}},
      {"fill crosses fill pixels but does not seed from them",
       {".f.#", "####", "....", "...."},
       2,
       0,
       {"fff#", "####", "....", "...."}},
      {"area above and below",
       {"..#.", ".##.", "....", "#..#"},
       3,
       0,
       {"ff#f", "f##f", "ffff", "#ff#"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Grid g(c.rows, 4);
    EXPECT_EQ(g.fill(c.x, c.y), 0);
    for (int y = 0; y < 4; ++y) EXPECT_EQ(g.row(y), c.want[y]) << "row " << y;
  }
}

TEST(FloodFill, BorderWithOtherAlphaIsStillBorder) {
  uint32_t px[3] = {0xFFFFFF, 0xAA000000, 0xFFFFFF};
  FloodFillRequest q{reinterpret_cast<uint8_t*>(px), 3, 1, 3, 0x000000, 0x0000FF, 0, 0};
  EXPECT_EQ(FloodFillSpan(&q, 0, 0, FloodCompareMask(10)), 0);
  EXPECT_EQ(px[0], 0x0000FFu);
  EXPECT_EQ(px[1], 0xAA000000u);
  EXPECT_EQ(px[2], 0xFFFFFFu);
  EXPECT_EQ(FloodCompareMask(11), 0xFFFFFF00u);
  uint16_t p16[3] = {1, 0, 1};
  FloodFillRequest q16{reinterpret_cast<uint8_t*>(p16), 3, 1, 3, 0, 7, 0, 0};
  EXPECT_EQ(FloodFillSpan16(&q16, 2, 0), 0);
  EXPECT_EQ(p16[0], 1);
  EXPECT_EQ(p16[2], 7);
}

TEST(FloodFill, SerpentineAreaNeedsNoCallStack) {
  // A comb of one-pixel corridors: every run is its own nesting level, so a
  // recursive fill would go thousands of frames deep.
  const int w = 101, h = 8001;
  std::vector<uint32_t> px(static_cast<size_t>(w) * h, 0xFFFFFF);
  for (int y = 1; y < h; y += 2)
    for (int x = 0; x < w; ++x)
      if ((y / 2) % 2 == 0 ? x != w - 1 : x != 0) px[static_cast<size_t>(y) * w + x] = 0;
  FloodFillRequest q{reinterpret_cast<uint8_t*>(px.data()), w, h, w, 0, 0x00FF00, 0, 0};
  EXPECT_EQ(FloodFillSpan(&q, 0, 0, 0x00FFFFFF), 0);
  for (size_t i = 0; i < px.size(); ++i) ASSERT_NE(px[i], 0xFFFFFFu) << i;
}

TEST(FloodFill, StackThatCannotGrowReportsMemory) {
  // 2 x 300 comb: the seeds nest about 150 deep, past the stack's first block.
  const int w = 3, h = 301;
  for (uint64_t failAt : {1, 2}) {
    SCOPED_TRACE(failAt);
    std::vector<uint32_t> px(static_cast<size_t>(w) * h, 0xFFFFFF);
    for (int y = 1; y < h; y += 2) px[static_cast<size_t>(y) * w + ((y / 2) % 2 == 0 ? 0 : 2)] = 0;
    for (int y = 1; y < h; y += 2) px[static_cast<size_t>(y) * w + 1] = 0;
    FloodFillRequest q{reinterpret_cast<uint8_t*>(px.data()), w, h, w, 0, 0x00FF00, 0, 0};
    SetAllocFailure(failAt, true);
    ErrorCode err = FloodFillSpan(&q, 0, 0, 0x00FFFFFF);
    SetAllocFailure(0, false);
    EXPECT_EQ(err, ERR_MEM);
  }
}

// --- scaling ---

struct ScaleCase {
  const char* name;
  int sw, sh, dw, dh, smooth;
  std::vector<uint32_t> src;
  std::vector<uint32_t> want;
};

TEST_P(BothPaths, ScalingPositions) {
  const ScaleCase cases[] = {
      {"nearest 3 to 2 takes columns 0 and 1", 3, 1, 2, 1, 0, {10, 20, 30}, {10, 20}},
      {"nearest 2 to 4 repeats columns", 2, 1, 4, 1, 0, {10, 20}, {10, 10, 20, 20}},
      {"nearest rows follow the accumulator", 1, 3, 1, 2, 0, {1, 2, 3}, {1, 2}},
      {"bilinear 2x1 to 3x1 gives the midpoint",
       2,
       1,
       3,
       1,
       1,
       {0xFF0000FF, 0x0000FF00},
       {0xFF0000FF, 0x7F007F7F, 0x0000FF00}},
      {"bilinear rows", 1, 2, 1, 3, 1, {0x00000000, 0x00FFFFFF}, {0, 0x007F7F7F, 0x00FFFFFF}},
      {"bilinear to width 1 samples column 0", 3, 1, 1, 1, 1, {5, 6, 7}, {5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> dst(c.want.size() + 8, 0xDEADBEEF);  // vector kernels need room
    dst.resize(c.want.size());
    std::vector<int64_t> xt(c.dw + 1), yt(c.dh + 1);
    ScaleRequest q{};
    q.source = reinterpret_cast<const uint8_t*>(c.src.data());
    q.dest = reinterpret_cast<uint8_t*>(dst.data());
    q.sourceWidth = c.sw;
    q.sourceHeight = c.sh;
    q.destWidth = c.dw;
    q.destHeight = c.dh;
    q.sourceRowLength = c.sw;
    q.destRowLength = c.dw;
    q.smooth = c.smooth;
    q.format = 10;
    q.bytesPerPixel = 4;
    q.xTable = xt.data();
    q.yTable = yt.data();
    ScaleBitmapNearest(&q);
    EXPECT_EQ(dst, c.want);
  }
}

TEST(Scaling, SmoothTablePositions) {
  uint32_t src[2] = {0, 0}, dst[3];
  int64_t xt[4], yt[2];
  ScaleRequest q{};
  q.source = reinterpret_cast<uint8_t*>(src);
  q.dest = reinterpret_cast<uint8_t*>(dst);
  q.sourceWidth = 2;
  q.sourceHeight = 1;
  q.destWidth = 3;
  q.destHeight = 1;
  q.sourceRowLength = 2;
  q.destRowLength = 3;
  q.smooth = 1;
  q.format = 10;
  q.bytesPerPixel = 4;
  q.xTable = xt;
  q.yTable = yt;
  ScaleBitmapNearest(&q);
  EXPECT_EQ(xt[0], 0);
  EXPECT_EQ(xt[1], 32768);
  EXPECT_EQ(xt[2], 65536);
  EXPECT_EQ(xt[3], 3 * 32768);
}

TEST_P(BothPaths, NearestOverWideSourcesUses64BitPositions) {
  // Source 50,000 wide to 5: i * step passes 2^31 at i = 4.
  const int sw = 50000;
  std::vector<uint32_t> src(sw);
  for (int i = 0; i < sw; ++i) src[i] = static_cast<uint32_t>(i);
  std::vector<uint8_t> alpha(sw);
  for (int i = 0; i < sw; ++i) alpha[i] = static_cast<uint8_t>(i / 10000);
  uint32_t dst[5];
  uint8_t dalpha[8];
  ScaleRequest q{};
  q.source = reinterpret_cast<uint8_t*>(src.data());
  q.dest = reinterpret_cast<uint8_t*>(dst);
  q.sourceAlpha = alpha.data();
  q.destAlpha = dalpha;
  q.sourceWidth = sw;
  q.sourceHeight = 1;
  q.destWidth = 5;
  q.destHeight = 1;
  q.sourceRowLength = sw;
  q.destRowLength = 5;
  q.sourceAlphaRowBytes = sw;
  q.destAlphaRowBytes = 8;
  q.format = 10;
  q.bytesPerPixel = 4;
  ScaleBitmapNearest(&q);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(dst[i], static_cast<uint32_t>(i * 10000)) << i;
    EXPECT_EQ(dalpha[i], i) << i;
  }
}

TEST(Scaling, FastKernelsFallBackWhenScratchIsRefused) {
  std::vector<uint32_t> src(16 * 4);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint32_t>(i * 0x01030507u);
  for (int smooth : {0, 1}) {
    SCOPED_TRACE(smooth);
    std::vector<uint32_t> a(37 * 9), b(37 * 9);
    ScaleRequest q{};
    q.source = reinterpret_cast<uint8_t*>(src.data());
    q.sourceWidth = 16;
    q.sourceHeight = 4;
    q.destWidth = 37;
    q.destHeight = 9;
    q.sourceRowLength = 16;
    q.destRowLength = 37;
    q.smooth = smooth;
    q.format = 10;
    q.bytesPerPixel = 4;
    q.dest = reinterpret_cast<uint8_t*>(a.data());
    ScaleBitmapNearest(&q);
    q.dest = reinterpret_cast<uint8_t*>(b.data());
    SetAllocFailure(1, true);
    ScaleBitmapNearest(&q);
    SetAllocFailure(0, false);
    EXPECT_EQ(a, b);
  }
}

TEST(Scaling, MaskAloneWhenThereAreNoPixels) {
  const uint8_t smask[2] = {0xA0, 0};  // 1 0 1 0
  uint8_t dmask[2] = {0x00, 0xFF};
  ScaleRequest q{};
  q.sourceMask = smask;
  q.destMask = dmask;
  q.sourceWidth = 4;
  q.sourceHeight = 1;
  q.destWidth = 8;
  q.destHeight = 1;
  q.sourceMaskRowBytes = q.destMaskRowBytes = 2;
  q.bytesPerPixel = 4;
  ScaleBitmapNearest(&q);
  EXPECT_EQ(dmask[0], 0xCC);
  EXPECT_EQ(dmask[1], 0xFF);
}

}  // namespace
