// JPEG reading and writing against libjpeg's own tools: decodes equal
// djpeg's, the eight Exif orientations equal djpeg's output turned by
// ImageMagick, Adobe CMYK is inverted only with its marker, and the encoder
// writes the bytes cjpeg writes for the same pixels and quality.
#include <algorithm>
#include <cstdlib>

#include "media/media.h"
#include "media/image_private.h"
#include "tests/media/image_support.h"

using namespace imagetest;

namespace {

struct Sized {
  int32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;
};

Sized Pnm(const std::string& command) {
  Sized s;
  s.pixels = PnmWords(Shell(command), &s.width, &s.height);
  return s;
}

// A JPEG made by cjpeg from a test picture; grey when asked.
std::string MakeJpeg(const TempDir& dir, const std::string& name, int32_t w, int32_t h, bool grey) {
  std::string ppm = dir / (name + ".ppm"), jpg = dir / (name + ".jpg");
  WritePpm(ppm, TestPicture(w, h, 3), w, h);
  Shell(std::string("cjpeg ") + (grey ? "-grayscale " : "") + "-quality 85 -outfile '" + jpg +
        "' '" + ppm + "'");
  return jpg;
}

TEST(ImageJpeg, RgbAndGreyEqualDjpeg) {
  REQUIRE_TOOLS("cjpeg", "djpeg");
  TempDir dir;
  for (bool grey : {false, true}) {
    SCOPED_TRACE(grey ? "grey" : "rgb");
    std::string jpg = MakeJpeg(dir, grey ? "grey" : "rgb", 53, 35, grey);
    Sized want = Pnm("djpeg -pnm '" + jpg + "'");
    Decoded d = Load(jpg);
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(d.format, IMGFMT_JPEG);
    EXPECT_EQ(d.width, want.width);
    EXPECT_EQ(d.height, want.height);
    EXPECT_TRUE(d.pixels == want.pixels);
  }
}

TEST(ImageJpeg, ExifOrientationsEqualDjpegTurnedByImageMagick) {
  REQUIRE_TOOLS("cjpeg", "djpeg", "exiftool", "convert");
  TempDir dir;
  std::string base = MakeJpeg(dir, "base", 40, 24, false);
  const char* turns[9] = {"",           "",           "-flop",       "-rotate 180", "-flip",
                          "-transpose", "-rotate 90", "-transverse", "-rotate 270"};
  for (int o = 1; o <= 8; o++) {
    SCOPED_TRACE(o);
    std::string jpg = dir / ("o" + std::to_string(o) + ".jpg");
    Shell("cp '" + base + "' '" + jpg + "' && exiftool -q -n -overwrite_original -Orientation=" +
          std::to_string(o) + " '" + jpg + "'");
    Sized want = Pnm("djpeg -pnm '" + jpg + "' | convert ppm:- " + turns[o] + " ppm:-");
    ASSERT_EQ(want.width, o > 4 ? 24 : 40);
    int32_t w = 0, h = 0, alpha = 1, transparent = 0;
    ASSERT_EQ(LoadImageFile(jpg.c_str(), nullptr, nullptr, nullptr, -1, 0, nullptr, nullptr,
                            &transparent, &w, &h, &alpha, nullptr, nullptr),
              0);
    EXPECT_EQ(w, want.width);
    EXPECT_EQ(h, want.height);
    Decoded d = Load(jpg);
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(d.width, want.width);
    EXPECT_EQ(d.height, want.height);
    EXPECT_TRUE(d.pixels == want.pixels);
  }
}

TEST(ImageJpeg, AdobeCmykIsInvertedOnlyWithItsMarker) {
  REQUIRE_TOOLS("convert");
  TempDir dir;
  std::string jpg = dir / "cmyk.jpg", white = dir / "white.jpg";
  Shell(
      "convert -size 32x16 gradient:red-yellow -fill navy -draw 'rectangle 4,4 12,12' -colorspace "
      "CMYK "
      "-quality 100 '" +
      jpg + "'");
  Shell("convert -size 8x8 xc:white -colorspace CMYK -quality 100 '" + white + "'");
  std::vector<uint8_t> bytes = ReadFile(jpg);
  const char adobe[] = "Adobe";
  ASSERT_NE(std::search(bytes.begin(), bytes.end(), adobe, adobe + 5), bytes.end());
  Decoded d = Load(jpg);
  ASSERT_EQ(d.error, 0);
  std::vector<uint32_t> want =
      Words(Shell("convert '" + jpg + "' -colorspace sRGB -depth 8 rgb:-"), 3);
  ASSERT_EQ(want.size(), d.pixels.size());
  int worst = 0;
  for (size_t i = 0; i < want.size(); i++)
    for (int shift : {0, 8, 16})
      worst = std::max(worst, std::abs(static_cast<int>((want[i] >> shift) & 0xFF) -
                                       static_cast<int>((d.pixels[i] >> shift) & 0xFF)));
  EXPECT_LE(worst, 2);

  // Exif orientation 6 leaves CMYK pictures as stored, in the information
  // request too.
  if (HaveTool("exiftool")) {
    Shell("exiftool -q -n -overwrite_original -Orientation=6 '" + jpg + "'");
    Decoded turned = Load(jpg);
    ASSERT_EQ(turned.error, 0);
    EXPECT_EQ(turned.width, 32);
    EXPECT_TRUE(turned.pixels == d.pixels);
    int32_t w = 0, h = 0, alpha = 0;
    ASSERT_EQ(LoadImageFile(jpg.c_str(), nullptr, nullptr, nullptr, -1, 0, nullptr, nullptr,
                            nullptr, &w, &h, &alpha, nullptr, nullptr),
              0);
    EXPECT_EQ(w, 32);
    EXPECT_EQ(h, 16);
  }

  // White is stored as inverted zeros; without the marker (renamed to
  // APP15) the same samples mean full ink.
  Decoded w = Load(white);
  ASSERT_EQ(w.error, 0);
  EXPECT_EQ(w.pixels[0], 0xFFFFFFu);
  bytes = ReadFile(white);
  const uint8_t app14[] = {0xFF, 0xEE};
  auto at = std::search(bytes.begin(), bytes.end(), app14, app14 + 2);
  ASSERT_NE(at, bytes.end());
  at[1] = 0xEF;
  WriteFile(dir / "plain.jpg", bytes);
  Decoded p = Load(dir / "plain.jpg");
  ASSERT_EQ(p.error, 0);
  EXPECT_EQ(p.pixels[0], 0u);
}

TEST(ImageJpeg, EncoderWritesTheBytesOfCjpeg) {
  REQUIRE_TOOLS("cjpeg");
  TempDir dir;
  const int32_t w = 45, h = 31;
  std::vector<uint32_t> picture = TestPicture(w, h, 11);
  WritePpm(dir / "in.ppm", picture, w, h);
  // The same pixels as bytes A, R, G, B for the byte-order flag.
  std::vector<uint8_t> argb;
  for (uint32_t c : picture) {
    argb.push_back(0x7F);
    argb.push_back(static_cast<uint8_t>(c >> 16));
    argb.push_back(static_cast<uint8_t>(c >> 8));
    argb.push_back(static_cast<uint8_t>(c));
  }
  for (int q : {10, 50, 75, 90, 100}) {
    SCOPED_TRACE(q);
    std::string out = dir / ("q" + std::to_string(q) + ".jpg");
    Shell("cjpeg -quality " + std::to_string(q) + " -baseline -outfile '" + out + "' '" +
          (dir / "in.ppm") + "'");
    std::vector<uint8_t> want = ReadFile(out);
    ASSERT_FALSE(want.empty());
    for (int order : {0, 1}) {
      JpegEncodeRequest r{};
      r.pixels = order ? static_cast<const void*>(argb.data()) : picture.data();
      r.bytesPerRow = static_cast<size_t>(w) * 4;
      r.width = w;
      r.height = h;
      r.quality = q;
      r.byteOrder = order;
      EncodeJpegToMemory(&r);
      ASSERT_EQ(r.result, 0);
      EXPECT_TRUE(std::vector<uint8_t>(r.data, r.data + r.length) == want)
          << "byte order " << order;
      FreeJpegBuffer(r.holder);
    }
  }
}

TEST(ImageJpeg, MemorySources) {
  const int32_t w = 64, h = 48;
  std::vector<uint32_t> picture = TestPicture(w, h, 5);
  JpegEncodeRequest r{};
  r.pixels = picture.data();
  r.bytesPerRow = static_cast<size_t>(w) * 4;
  r.width = w;
  r.height = h;
  r.quality = 90;
  EncodeJpegToMemory(&r);
  ASSERT_EQ(r.result, 0);
  ASSERT_GT(r.length, 100u);
  EXPECT_EQ(r.data[0], 0xFF);
  EXPECT_EQ(r.data[r.length - 1], 0xD9);

  int32_t dw = 0, dh = 0;
  uint32_t* pixels = nullptr;
  ASSERT_EQ(DecodeJpegImage(nullptr, r.data, r.length, 0, 0, &dw, &dh, &pixels), 0);
  EXPECT_EQ(dw, w);
  EXPECT_EQ(dh, h);
  FreeMemory(pixels);
  // Data cut before the end-of-image marker still decodes: the missing
  // rows are completed.
  pixels = nullptr;
  EXPECT_EQ(DecodeJpegImage(nullptr, r.data, r.length * 2 / 3, 0, 6, &dw, &dh, &pixels), 0);
  EXPECT_EQ(dw, h);  // orientation 6 swaps the size
  EXPECT_NE(pixels, nullptr);
  FreeMemory(pixels);
  // An empty block, and a block that is no JPEG, fail.
  const uint8_t junk[16] = {1, 2, 3};
  EXPECT_EQ(DecodeJpegImage(nullptr, r.data, 0, 0, 0, &dw, &dh, &pixels), ERR_LOADPICTURE2);
  EXPECT_EQ(DecodeJpegImage(nullptr, junk, sizeof junk, 0, 0, &dw, &dh, &pixels), ERR_LOADPICTURE2);
  FreeJpegBuffer(r.holder);

  // A 2 x 2 picture at quality 100 is a complete baseline stream.
  uint32_t tiny[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};
  JpegEncodeRequest t{};
  t.pixels = tiny;
  t.bytesPerRow = 8;
  t.width = 2;
  t.height = 2;
  t.quality = 100;
  EncodeJpegToMemory(&t);
  ASSERT_EQ(t.result, 0);
  const uint8_t sof0[] = {0xFF, 0xC0};
  EXPECT_NE(std::search(t.data, t.data + t.length, sof0, sof0 + 2), t.data + t.length);
  ASSERT_EQ(DecodeJpegImage(nullptr, t.data, t.length, 0, 0, &dw, &dh, &pixels), 0);
  EXPECT_EQ(dw, 2);
  FreeMemory(pixels);
  FreeJpegBuffer(t.holder);
}

}  // namespace
