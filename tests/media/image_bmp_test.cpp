// BMP reading against ImageMagick's BMP3 writer (1, 4, 8 bits, RLE8, 24
// bits), plus hand-made files for what ImageMagick does not write: 16-bit
// pixels, RLE escapes, a colour table behind a 124-byte header, and sizes
// that must be refused before anything is allocated.
#include "media/media.h"
#include "media/image_private.h"
#include "tests/media/image_support.h"

using namespace imagetest;

namespace {

void Put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// A BMP with an information header of headerSize bytes (the bytes past the
// first 40 are zero), its colour table and pixel data.
std::vector<uint8_t> MakeBmp(int32_t width, int32_t height, int bits, uint32_t compression,
                             const std::vector<uint32_t>& colours, const std::vector<uint8_t>& data,
                             uint32_t headerSize = 40) {
  std::vector<uint8_t> b = {'B', 'M'};
  uint32_t offset = 14 + headerSize + 4 * static_cast<uint32_t>(colours.size());
  Put32(b, offset + static_cast<uint32_t>(data.size()));
  Put32(b, 0);
  Put32(b, offset);
  Put32(b, headerSize);
  Put32(b, static_cast<uint32_t>(width));
  Put32(b, static_cast<uint32_t>(height));
  Put16(b, 1);
  Put16(b, static_cast<uint32_t>(bits));
  Put32(b, compression);
  Put32(b, static_cast<uint32_t>(data.size()));
  Put32(b, 2835);
  Put32(b, 2835);
  Put32(b, static_cast<uint32_t>(colours.size()));
  Put32(b, 0);
  b.resize(14 + headerSize, 0);
  for (uint32_t c : colours) Put32(b, c);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

TEST(ImageBmp, Bmp3VariantsEqualImageMagick) {
  REQUIRE_TOOLS("convert");
  TempDir dir;
  const std::string base = dir / "base.png";
  Shell("convert -size 37x21 gradient:yellow-purple -fill teal -draw 'circle 18,10 18,2' '" + base +
        "'");
  struct Case {
    const char* name;
    const char* options;
    int bits;
    uint32_t compression;
  } cases[] = {
      {"bits1", "-monochrome", 1, 0},
      {"bits4", "-colors 16 -type palette", 4, 0},
      {"bits8", "-colors 200 -type palette -compress None", 8, 0},
      {"rle8", "-colors 200 -type palette -compress RLE", 8, 1},
      {"bits24", "-type truecolor", 24, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / (std::string(c.name) + ".bmp");
    Shell("convert '" + base + "' " + c.options + " BMP3:'" + path + "'");
    std::vector<uint8_t> file = ReadFile(path);
    ASSERT_GT(file.size(), 54u);
    ASSERT_EQ(file[28], c.bits);
    ASSERT_EQ(file[30], c.compression);
    Decoded d = Load(path);
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(d.format, IMGFMT_BMP);
    EXPECT_EQ(d.width, 37);
    EXPECT_EQ(d.height, 21);
    EXPECT_TRUE(d.pixels == Words(Shell("convert '" + path + "' -depth 8 rgb:-"), 3));
  }
}

TEST(ImageBmp, HandMadeFiles) {
  TempDir dir;
  const std::vector<uint32_t> rgb3 = {0x000000, 0xFF0000, 0x00FF00};
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    ErrorCode error;
    int32_t width, height;
    std::vector<uint32_t> pixels;
  } cases[] = {
      // 0xFFFF and 0x1234 as 5-6-5 by the reader's formula; rows padded.
      {"16 bits",
       MakeBmp(2, 1, 16, 0, {}, {0xFF, 0xFF, 0x34, 0x12}),
       0,
       2,
       1,
       {0xF8FCF8, 0x1044A0}},
      // Width 10: 2 bytes of pens and 2 padding bytes per row; two colours
      // when colours-used is 0 (the third table entry is never read).
      {"1 bit, width 10",
       MakeBmp(10, 2, 1, 0, {0x0000FF, 0xFFFFFF}, {0xFF, 0xC0, 0, 0, 0x80, 0x40, 0, 0}),
       0,
       10,
       2,
       {0xFFFFFF, 0x0000FF, 0x0000FF, 0x0000FF, 0x0000FF, 0x0000FF, 0x0000FF,
        0x0000FF, 0x0000FF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF,
        0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF}},
      // RLE8: a run and an end of line, a delta of (1, 1) that leaves the
      // middle row at pen 0, a run on the top row, the end of the picture.
      {"rle8 escapes",
       MakeBmp(4, 3, 8, 1, rgb3, {2, 1, 0, 0, 0, 2, 1, 1, 1, 2, 0, 1}),
       0,
       4,
       3,
       {0, 0xFF00, 0, 0, 0, 0, 0, 0, 0xFF0000, 0xFF0000, 0, 0}},
      // The colour table follows a 124-byte header.
      {"palette behind a 124-byte header",
       MakeBmp(2, 1, 8, 0, rgb3, {2, 1, 0, 0}, 124),
       0,
       2,
       1,
       {0xFF00, 0xFF0000}},
      {"top-down", MakeBmp(2, -1, 24, 0, {}, std::vector<uint8_t>(8)), ERR_LOADPICTURE2, 0, 0, {}},
      {"negative width",
       MakeBmp(-2, 1, 24, 0, {}, std::vector<uint8_t>(8)),
       ERR_LOADPICTURE2,
       0,
       0,
       {}},
      {"beyond the size cap", MakeBmp(2000000, 1, 24, 0, {}, {}), ERR_LOADPICTURE2, 0, 0, {}},
      {"huge product", MakeBmp(900000, 900000, 8, 0, {}, {}), ERR_LOADPICTURE2, 0, 0, {}},
      {"32 bits", MakeBmp(1, 1, 32, 0, {}, {1, 2, 3, 4}), ERR_LOADPICTURE2, 0, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / "case.bmp";
    WriteFile(path, c.file);
    Decoded d = Load(path);
    ASSERT_EQ(d.error, c.error);
    if (c.error) continue;
    EXPECT_EQ(d.width, c.width);
    EXPECT_EQ(d.height, c.height);
    EXPECT_TRUE(d.pixels == c.pixels);
  }
}

TEST(ImageBmp, InformationAndShortFiles) {
  TempDir dir;
  std::string path = dir / "down.bmp";
  WriteFile(path, MakeBmp(3, -5, 24, 0, {}, std::vector<uint8_t>(60)));
  StreamHandle* s = OpenFileStream(path.c_str(), STREAM_READ, nullptr);
  ASSERT_NE(s, nullptr);
  int32_t w = 0, h = 0;
  EXPECT_EQ(ReadBmpImage(s, 1, &w, &h, nullptr), 0);
  EXPECT_EQ(h, -5);  // as stored
  CloseFileStream(s);
  int32_t format = -1, alpha = 1;
  EXPECT_EQ(LoadImageFile(path.c_str(), nullptr, nullptr, nullptr, -1, 0, nullptr, nullptr, nullptr,
                          &w, &h, &alpha, nullptr, &format),
            0);
  EXPECT_EQ(format, IMGFMT_BMP);
  EXPECT_EQ(h, 5);

  WriteFile(path, {'B'});
  s = OpenFileStream(path.c_str(), STREAM_READ, nullptr);
  uint32_t* pixels = nullptr;
  EXPECT_EQ(ReadBmpImage(s, 0, &w, &h, &pixels), ERR_READ);
  CloseFileStream(s);
}

}  // namespace
