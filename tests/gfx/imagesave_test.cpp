// The image writer against independent readers (netpbm, ImageMagick,
// pngcheck, gifsicle, cjpeg), its errors, and the picture cache.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "gfx/gfx.h"
#include "media/media.h"
#include "plugins/plugins.h"
#include "tests/media/image_support.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/harness.h"

namespace {

using imagetest::PnmWords;
using imagetest::Rgb;
using imagetest::Shell;
using imagetest::TempDir;
using imagetest::Words;

class ImageSaveTest : public ::testing::Test {
 protected:
  void SetUp() override { InitMediaContext(); }

  // Small pictures whose pixels all differ.
  static std::vector<uint32_t> Picture(int32_t width, int32_t height, uint32_t alpha = 0) {
    std::vector<uint32_t> p;
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x)
        p.push_back(alpha << 24 | static_cast<uint32_t>(x * 40 + 7) << 16 |
                    static_cast<uint32_t>(y * 50 + 3) << 8 | static_cast<uint32_t>(x * y * 9 + 1));
    return p;
  }
  static off_t Size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
  }

  PlayerHarness h;
  TempDir dir;
};

TEST_F(ImageSaveTest, BmpRowsArePaddedAndBottomUp) {
  struct Case {
    int32_t width, height;
    off_t size;
  };
  for (const Case& c : {Case{3, 2, 78}, Case{5, 1, 70}, Case{4, 3, 90}}) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    std::string file = dir / "p.bmp";
    std::vector<uint32_t> pixels = Picture(c.width, c.height);
    ASSERT_EQ(WriteImageFile(0, pixels.data(), c.width, c.height, file.c_str(), -1, 0, 90, 256, 0),
              ERR_NONE);
    EXPECT_EQ(Size(file), c.size);
    int32_t w = 0, hgt = 0;
    EXPECT_EQ(PnmWords(Shell("bmptopnm '" + file + "' 2>/dev/null"), &w, &hgt), Rgb(pixels));
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(hgt, c.height);
  }
}

TEST_F(ImageSaveTest, PngAndJpegMatchTheReferences) {
  std::vector<uint32_t> pixels = Picture(6, 5, 0);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] |= static_cast<uint32_t>(i * 8) << 24;
  std::string png = dir / "p.png";
  ASSERT_EQ(WriteImageFile(1, pixels.data(), 6, 5, png.c_str(), -1, 1, 90, 256, 0), ERR_NONE);
  bool ok = false;
  Shell("pngcheck -q '" + png + "'", &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Words(Shell("convert '" + png + "' -depth 8 rgba:-"), 4), pixels);

  // The same pixels through cjpeg at the same quality give the same bytes.
  std::vector<uint32_t> opaque = Picture(16, 9);
  std::string ppm = dir / "p.ppm", jpeg = dir / "p.jpg";
  imagetest::WritePpm(ppm, opaque, 16, 9);
  ASSERT_EQ(WriteImageFile(2, opaque.data(), 16, 9, jpeg.c_str(), -1, 0, 90, 256, 0), ERR_NONE);
  EXPECT_EQ(imagetest::ReadFile(jpeg), [&] {
    std::string out = Shell("cjpeg -quality 90 -baseline '" + ppm + "'");
    return std::vector<uint8_t>(out.begin(), out.end());
  }());
}

TEST_F(ImageSaveTest, GifKeepsFewColoursAndMarksTheKey) {
  std::vector<uint32_t> pixels = Picture(7, 4);
  pixels[5] = 0x00FF00FF;  // the key colour
  std::string gif = dir / "p.gif";
  ASSERT_EQ(WriteImageFile(3, pixels.data(), 7, 4, gif.c_str(), 0xFF00FF, 0, 90, 256, 0), ERR_NONE);
  std::vector<uint32_t> back = Words(Shell("convert '" + gif + "' -alpha off -depth 8 rgb:-"), 3);
  EXPECT_EQ(back, Rgb(pixels));
  std::string info = Shell("gifsicle --info '" + gif + "'");
  EXPECT_NE(info.find("transparent"), std::string::npos) << info;

  // A thousand colours come down to the palette size asked for.
  std::vector<uint32_t> many;
  for (uint32_t i = 0; i < 1000; ++i) many.push_back(i * 16807u & 0xFFFFFF);
  ASSERT_EQ(WriteImageFile(3, many.data(), 40, 25, gif.c_str(), -1, 0, 90, 16, 1), ERR_NONE);
  std::string colours = Shell("convert '" + gif + "' -format %k info:");
  EXPECT_LE(std::stoi(colours), 16);
}

TEST_F(ImageSaveTest, IlbmMatchesIlbmtoppm) {
  std::vector<uint32_t> pixels = Picture(9, 5);
  std::string iff = dir / "p.iff";
  ASSERT_EQ(WriteImageFile(4, pixels.data(), 9, 5, iff.c_str(), -1, 0, 90, 256, 0), ERR_NONE);
  int32_t w = 0, hgt = 0;
  EXPECT_EQ(PnmWords(Shell("ilbmtoppm '" + iff + "' 2>/dev/null"), &w, &hgt), Rgb(pixels));
}

TEST_F(ImageSaveTest, Errors) {
  std::vector<uint32_t> pixels = Picture(3, 2);
  std::string missing = dir / "no/such/p.bmp";
  for (int32_t format : {0, 1, 2, 3, 4}) {
    SCOPED_TRACE(format);
    SetErrorArgString("");
    EXPECT_EQ(WriteImageFile(format, pixels.data(), 3, 2, missing.c_str(), -1, 0, 90, 256, 0),
              ERR_WRITEFILE);
    EXPECT_STREQ(GetErrorArgString(), missing.c_str());
  }
  std::string file = dir / "x.img";
  EXPECT_EQ(WriteImageFile(5, pixels.data(), 3, 2, file.c_str(), -1, 0, 90, 256, 0),
            ERR_UNKNOWNIMGOUT);
  // A BMP whose size needs more than 32 bits is refused before anything
  // is written.
  EXPECT_EQ(WriteImageFile(0, pixels.data(), 100000, 20000, file.c_str(), -1, 0, 90, 256, 0),
            ERR_WRONGUSAGE);
  EXPECT_EQ(Size(file), -1);
}

TEST_F(ImageSaveTest, PictureCacheSharesByWholeNameAnyCase) {
  PictureHandle* picture = NewPixelPictureHandle(4, 4);
  ASSERT_NE(picture, nullptr);
  // Two long names that share their first 1,024 bytes.
  std::string base(1100, 'a'), first = "/" + base + "1", second = "/" + base + "2";
  ASSERT_EQ(AddCachedPicture(first.c_str(), 4, 4, 7, picture, nullptr, 9), ERR_NONE);
  int32_t w = 0, hgt = 0;
  intptr_t value = 0, extra = 0;
  PictureHandle* found = nullptr;
  BitmapHandle* alpha = nullptr;
  EXPECT_EQ(FindCachedPicture(second.c_str(), 0, &w, &hgt, &value, &found, &alpha, &extra),
            ERR_CACHEERROR);
  std::string upper = first;
  upper[1] = 'A';
  ASSERT_EQ(FindCachedPicture(upper.c_str(), 0, &w, &hgt, &value, &found, &alpha, &extra),
            ERR_NONE);
  EXPECT_EQ(found, picture);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(extra, 9);
  EXPECT_EQ(alpha, nullptr);
  ReleasePictureHandle(found);
  EXPECT_EQ(FindCachedPicture(first.c_str(), 1, &w, &hgt, &value, &found, &alpha, &extra),
            ERR_CACHEERROR);      // no alpha channel to give
  ReleasePictureHandle(picture);  // the cache keeps its own use until shut-down
}

}  // namespace

namespace {

// Formats of the test image plug-in: 100 takes the words with alpha, 101
// is a palette format that gets the picture quantised with its colours.
class PluginImageSaveTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    InitMediaContext();
    Install("testimg");
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
  }
};

TEST_F(PluginImageSaveTest, FormatsOfPlugInsGetTheirPictures) {
  // Six pixels of four colours, two of them with alpha.
  const std::vector<uint32_t> pixels = {0x80FF0000, 0xFF00FF00, 0xFF0000FF,
                                        0xFF0000FF, 0x00FFFFFF, 0xFF00FF00};
  const std::string argb = root + "/p.qmti", pens = root + "/p.qmtp";
  ASSERT_EQ(WriteImageFile(100, pixels.data(), 3, 2, argb.c_str(), -1, 1, 90, 256, 0), ERR_NONE);
  std::vector<uint8_t> file = plugintest::ReadBytes(argb);
  ASSERT_EQ(file.size(), 9u + 6 * 4);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "QMTI");
  EXPECT_EQ(file[5], 3);
  EXPECT_EQ(file[7], 2);
  EXPECT_EQ(file[8], 1);  // alpha handed over
  for (size_t i = 0; i < pixels.size(); ++i) {
    const uint8_t* w = &file[9 + 4 * i];
    EXPECT_EQ(uint32_t(w[0]) << 24 | w[1] << 16 | w[2] << 8 | w[3], pixels[i]) << i;
  }

  // The palette format: every index names its pixel's colour, and the key
  // colour has its own index.
  ASSERT_EQ(WriteImageFile(101, pixels.data(), 3, 2, pens.c_str(), 0x0000FF, 0, 90, 256, 0),
            ERR_NONE);
  file = plugintest::ReadBytes(pens);
  ASSERT_GE(file.size(), 24u + 6);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "QMTP");
  int32_t fields[5];
  std::memcpy(fields, &file[4], sizeof fields);
  EXPECT_EQ(fields[0], 3);
  EXPECT_EQ(fields[1], 2);
  const int32_t count = fields[2], key = fields[3];
  ASSERT_EQ(file.size(), 24u + 6 + 4 * size_t(count));
  EXPECT_EQ(fields[4], QM_IMAGESAVE_TRANSINDEX);
  std::vector<uint32_t> palette(size_t(count), 0);
  std::memcpy(palette.data(), &file[30], 4 * size_t(count));
  for (size_t i = 0; i < pixels.size(); ++i) {
    const uint8_t index = file[24 + i];
    ASSERT_LT(index, count);
    EXPECT_EQ(palette[index] & 0xFFFFFF, pixels[i] & 0xFFFFFF) << i;
    EXPECT_EQ(index == key, (pixels[i] & 0xFFFFFF) == 0x0000FF) << i;
  }

  // Refusals and unknown formats.
  EXPECT_EQ(WriteImageFile(100, pixels.data(), 3, 2, (root + "/refuse").c_str(), -1, 0, 90, 256, 0),
            ERR_SAVEIMAGE);
  EXPECT_EQ(WriteImageFile(102, pixels.data(), 3, 2, argb.c_str(), -1, 0, 90, 256, 0),
            ERR_UNKNOWNIMGOUT);
}

}  // namespace
