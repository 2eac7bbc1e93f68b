// Pixel formats: golden encode/decode vectors of the 16- and 32-bit
// layouts, single-pixel readers (the 24-bit ones included), colour <->
// pixel values, and the colour-key and replacement kernels.
#include <gtest/gtest.h>

#include <cstring>

#include "gfx/gfx.h"
#include "gfx/pixel_private.h"

namespace {

struct Vec16 {
  const char* name;
  uint32_t format;
  uint32_t native;   // RGB565
  uint32_t encoded;  // in the format
  uint32_t decoded;  // DecodePixel16(format, encoded)
};

TEST(PixelFormat, Encode16AndDecode16GoldenVectors) {
  // 0xF800 red, 0x07E0 green, 0x001F blue, 0x1234 a mixed value whose low
  // green bit is 1 (lost by the 555 layouts).
  const Vec16 cases[] = {
      {"555 white", 0, 0xFFFF, 0x7FFF, 0xFFDF},
      {"555 red", 0, 0xF800, 0x7C00, 0xF800},
      {"555 mixed", 0, 0x1234, 0x0914, 0x1214},
      {"bgr555 red", 1, 0xF800, 0x001F, 0xF800},
      {"bgr555 blue", 1, 0x001F, 0x7C00, 0x001F},
      {"555 swapped mixed", 2, 0x1234, 0x1409, 0x1214},
      {"bgr555 swapped white", 3, 0xFFFF, 0xFF7F, 0xFFDF},
      {"565 identity", 4, 0x1234, 0x1234, 0x1234},
      {"bgr565 red", 5, 0xF800, 0x001F, 0xF800},
      {"bgr565 mixed", 5, 0x1234, 0xA222, 0x1234},
      {"565 swapped", 6, 0x1234, 0x3412, 0x1234},
      {"bgr565 swapped mixed", 7, 0x1234, 0x22A2, 0x1234},
      {"other format unchanged", 10, 0x12345678, 0x12345678, 0x12345678},
  };
  for (const Vec16& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EncodePixel16(c.format, c.native) & 0xFFFF, c.encoded & 0xFFFF);
    if (c.format > 7) {
      EXPECT_EQ(EncodePixel16(c.format, c.native), c.encoded);
    }
    EXPECT_EQ(DecodePixel16(c.format, c.encoded), c.decoded);
  }
}

TEST(PixelFormat, Encode32AndDecode32GoldenVectors) {
  struct Case {
    uint32_t format, native, encoded, decoded;
  } cases[] = {
      {11, 0xFF102030, 0x30201000, 0x00102030},
      {12, 0xFF102030, 0x10203000, 0x00102030},
      {13, 0xFF102030, 0x00302010, 0x00102030},
      {10, 0xFF102030, 0xFF102030, 0xFF102030},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    EXPECT_EQ(EncodePixel32(c.format, c.native), c.encoded);
    EXPECT_EQ(DecodePixel32(c.format, c.encoded), c.decoded);
  }
  EXPECT_EQ(DecodePixel32(11, 0x302010FF), 0x00102030u);  // alpha dropped
  EXPECT_EQ(DecodePixel32(12, 0xFF0000FF), 0x00FF0000u);  // unsigned shift
}

TEST(PixelFormat, PixelReadersAndWriters) {
  struct Case {
    const char* name;
    uint32_t format;
    uint8_t bytes[4];
    uint8_t rgb[3];
  } cases[] = {
      {"24-bit RGB bytes", 8, {0x10, 0x20, 0x30, 0}, {0x10, 0x20, 0x30}},
      {"24-bit BGR bytes", 9, {0x10, 0x20, 0x30, 0}, {0x30, 0x20, 0x10}},
      {"555 word 0x7FFF", 0, {0xFF, 0x7F}, {0xF8, 0xF8, 0xF8}},
      {"bgr555 swapped 0xFF7F", 3, {0x7F, 0xFF}, {0xF8, 0xF8, 0xF8}},
      {"565 word 0xF81F", 4, {0x1F, 0xF8}, {0xF8, 0x00, 0xF8}},
      {"bgr565 word 0x001F is red", 5, {0x1F, 0x00}, {0xF8, 0, 0}},
      {"32-bit 0xAARRGGBB", 10, {0x30, 0x20, 0x10, 0x80}, {0x10, 0x20, 0x30}},
      {"32-bit 0xBBGGRRAA", 11, {0x80, 0x10, 0x20, 0x30}, {0x10, 0x20, 0x30}},
      {"32-bit 0xRRGGBBAA", 12, {0x80, 0x30, 0x20, 0x10}, {0x10, 0x20, 0x30}},
      {"32-bit 0xAABBGGRR", 13, {0x10, 0x20, 0x30, 0x80}, {0x10, 0x20, 0x30}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t rgb[3] = {1, 1, 1};
    ReadPixelRGB(c.bytes, c.format, rgb);
    EXPECT_EQ(0, std::memcmp(rgb, c.rgb, 3));
    if (c.format == 8 || c.format == 9) continue;
    uint8_t rgba[4] = {0, 0, 0, 0x5A};
    ReadPixelRGBA(c.bytes, c.format, rgba);
    EXPECT_EQ(0, std::memcmp(rgba, c.rgb, 3));
    EXPECT_EQ(rgba[3], c.format >= 10 ? 0x80 : 0x5A);  // 16-bit readers leave alpha alone
    // Writing back what was read gives the same bytes.
    uint8_t back[4] = {0, 0, 0, 0};
    WritePixelRGBA(back, c.format, rgba);
    EXPECT_EQ(0, std::memcmp(back, c.bytes, BytesPerPixel(c.format)));
  }
  uint8_t untouched[3] = {7, 7, 7};
  const uint8_t rgba[4] = {1, 2, 3, 4};
  WritePixelRGBA(untouched, 8, rgba);
  EXPECT_EQ(untouched[0], 7);
}

TEST(PixelFormat, ColorToPixelAndBack) {
  struct Case {
    uint32_t format;
    int keep;
    uint32_t colour, pixel, back;
  } cases[] = {
      {4, 0, 0x80FF8040, 0xFC08, 0x00F88040},      {0, 0, 0x00FF8040, 0x7E08, 0x00F88040},
      {10, 0, 0x80102030, 0x00102030, 0x00102030}, {10, 1, 0x80102030, 0x80102030, 0x80102030},
      {11, 1, 0x80102030, 0x30201080, 0x80102030}, {12, 0, 0x80102030, 0x10203000, 0x00102030},
      {13, 1, 0x80102030, 0x80302010, 0x80102030}, {8, 0, 0x00102030, 0x00102030, 0x00102030},
      {9, 0, 0x00102030, 0x00302010, 0x00102030},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    EXPECT_EQ(ColorToPixel(c.colour, c.format, c.keep), c.pixel);
    EXPECT_EQ(PixelToColor(c.pixel, c.format, c.keep), c.back);
  }
  EXPECT_EQ(BytesPerPixel(14), 0);
  EXPECT_EQ(BitsPerPixel(15), 0);
  EXPECT_EQ(BitsPerPixel(1), 15);
}

TEST(PixelFormat, PureGreysKeepTheirLevel) {
  for (int v = 0; v < 256; ++v) ASSERT_EQ(GreyLevel(v, v, v), v) << v;
  EXPECT_EQ(GreyLevel(255, 0, 0), 76);  // 76.245
  EXPECT_EQ(GreyLevel(0, 0, 255), 29);  // 29.07
}

TEST(PixelFormat, RowConvertersToAndFromArgb) {
  const uint32_t src[4] = {0x11223344, 0xAA102030, 0, 0};
  uint32_t out[2];
  struct Case {
    uint32_t format;
    uint32_t want0;
  } cases[] = {{10, 0x11223344}, {11, 0x44332211}, {12, 0x00112233}, {13, 0x00443322}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    ASSERT_TRUE(ReadRectToARGB(src, out, 0, 0, 1, 1, 4, c.format));
    EXPECT_EQ(out[0], c.want0);
  }
  const uint16_t p16[2] = {0xFFFF, 0xF800};
  ASSERT_TRUE(ReadRectToARGB(p16, out, 0, 0, 2, 1, 2, 4));
  EXPECT_EQ(out[0], 0x00F8FCF8u);
  EXPECT_EQ(out[1], 0x00F80000u);
  out[0] = 0xDEADBEEF;
  EXPECT_FALSE(ReadRectToARGB(p16, out, 0, 0, 1, 1, 2, 0));
  EXPECT_EQ(out[0], 0xDEADBEEFu);

  uint32_t dst[2] = {0, 0};
  WriteARGBToPixels(src, 1, 0, 4, dst, 1, 0, 1, 1, 2, 12);
  EXPECT_EQ(dst[1], 0x10203000u);
  WriteARGBToPixels(src, 1, 0, 4, dst, 1, 0, 1, 1, 2, 13);
  EXPECT_EQ(dst[1], 0x00302010u);
  uint16_t d16[1] = {0};
  WriteARGBToPixels(src, 1, 0, 4, d16, 0, 0, 1, 1, 1, 1);  // BGR555
  EXPECT_EQ(d16[0], (0x30 >> 3) << 10 | (0x20 >> 3) << 5 | (0x10 >> 3));
  uint8_t alpha[2];
  ExtractAlphaBytes(src, 2, 1, 4, alpha, 2);
  EXPECT_EQ(alpha[0], 0x11);
  EXPECT_EQ(alpha[1], 0xAA);
}

TEST(PixelFormat, ColorKeyMaskKeepsPaddingBits) {
  uint32_t row[9];
  for (uint32_t& p : row) p = 0xFF123456;
  row[0] = 0x00ABCDEF;  // key (alpha ignored by the compare mask)
  uint8_t mask[2] = {0x00, 0x00};
  BuildColorKeyMask32(row, mask, 9, 1, 2, 0xABCDEF, 9, 0x00FFFFFF);
  EXPECT_EQ(mask[0], 0x7F);
  EXPECT_EQ(mask[1], 0x80);
  mask[0] = mask[1] = 0xFF;
  BuildColorKeyMask32(row, mask, 9, 1, 2, 0xABCDEF, 9, 0x00FFFFFF);
  EXPECT_EQ(mask[0], 0x7F);
  EXPECT_EQ(mask[1], 0xFF);  // only bit 7 of the second byte is written
  uint16_t r16[3] = {5, 6, 5};
  uint8_t m16[2] = {0, 0};
  BuildColorKeyMask16(r16, m16, 3, 1, 2, 5, 3);
  EXPECT_EQ(m16[0], 0x40);
}

TEST(PixelFormat, ReplaceListChainsPairs) {
  const uint32_t pairs[] = {0xA, 0xB, 0xB, 0xC, 0xFFFFFFFF};
  uint32_t px[3] = {0xFF00000A, 0xB, 0xD};
  ReplaceColorPixels32(3, 1, pairs, px, 3, 0x00FFFFFF);
  EXPECT_EQ(px[0], 0xCu);
  EXPECT_EQ(px[1], 0xCu);
  EXPECT_EQ(px[2], 0xDu);
  uint16_t p16[2] = {0xA, 0xE};
  ReplaceColorPixels16(2, 1, pairs, p16, 2);
  EXPECT_EQ(p16[0], 0xC);
  EXPECT_EQ(p16[1], 0xE);
}

}  // namespace
