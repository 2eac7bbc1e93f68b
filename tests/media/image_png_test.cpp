// PNG reading and writing against ImageMagick, the PngSuite and pngcheck:
// every colour type and depth decodes to ImageMagick's pixels (high byte
// of 16-bit samples), corrupt files fail cleanly, and what we write passes
// pngcheck and reads back unchanged.
#include <dirent.h>

#include <algorithm>

#include "media/media.h"
#include "media/image_private.h"
#include "tests/media/image_support.h"

using namespace imagetest;

namespace {

const char* const PNGSUITE = "/usr/share/doc/libsixel-examples/examples/images/pngsuite";

// ImageMagick's RGBA pixels at 16 bits per sample, cut to the high byte.
std::vector<uint32_t> MagickPixels(const std::string& path) {
  std::string raw =
      Shell("convert '" + path + "' -set colorspace sRGB -depth 16 -endian MSB rgba:-");
  std::vector<uint32_t> out(raw.size() / 8);
  const auto* b = reinterpret_cast<const uint8_t*>(raw.data());
  for (size_t i = 0; i < out.size(); i++, b += 8)
    out[i] = (uint32_t{b[6]} << 24) | (uint32_t{b[0]} << 16) | (uint32_t{b[2]} << 8) | b[4];
  return out;
}

// Our decode equals ImageMagick's; pictures without alpha carry alpha 0.
void ExpectSameAsMagick(const std::string& path) {
  Decoded d = Load(path);
  ASSERT_EQ(d.error, 0) << path;
  EXPECT_EQ(d.format, IMGFMT_PNG);
  std::vector<uint32_t> want = MagickPixels(path);
  ASSERT_EQ(want.size(), d.pixels.size()) << path;
  if (d.hasAlpha) {
    EXPECT_TRUE(want == d.pixels) << path;
  } else {
    EXPECT_TRUE(Rgb(want) == d.pixels) << path << " (alpha must be 0 too)";
  }
}

uint8_t IhdrByte(const std::string& path, size_t offset) {
  std::vector<uint8_t> b = ReadFile(path);
  return b.size() > 16 + offset ? b[16 + offset] : 0xFF;
}

bool HasChunk(const std::string& path, const char* type) {
  std::vector<uint8_t> b = ReadFile(path);
  return std::search(b.begin(), b.end(), type, type + 4) != b.end();
}

TEST(ImagePng, VariantsMadeByImageMagickDecodeToItsPixels) {
  REQUIRE_TOOLS("convert");
  TempDir dir;
  const std::string base = dir / "base.png";
  Shell("convert -size 37x23 gradient:red-blue -fill green -draw 'circle 18,11 18,3' '" + base +
        "'");
  struct Case {
    const char* name;
    const char* options;
    const char* prefix;        // output format prefix of convert
    int bitDepth, colourType;  // IHDR, to prove the file is what it claims
    bool trns;
  } cases[] = {
      {"grey1", "-colorspace gray -threshold 50% -define png:bit-depth=1 -define png:color-type=0",
       "", 1, 0, false},
      {"palette", "-colors 20", "PNG8:", 8, 3, false},
      {"palette_trns", "-alpha set -region 9x7+3+4 -alpha transparent +region -colors 20",
       "PNG8:", 8, 3, true},
      {"rgba16", "-alpha set -channel A -fx 'i/w' +channel -depth 16", "PNG64:", 16, 6, false},
      {"rgb_adam7", "-interlace PNG", "PNG24:", 8, 2, false},
      {"plain_twin", "", "PNG24:", 8, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / (std::string(c.name) + ".png");
    Shell("convert '" + base + "' " + c.options + " " + c.prefix + "'" + path + "'");
    ASSERT_EQ(IhdrByte(path, 8), c.bitDepth);
    ASSERT_EQ(IhdrByte(path, 9), c.colourType);
    ASSERT_EQ(HasChunk(path, "tRNS"), c.trns);
    ExpectSameAsMagick(path);
    Decoded d = Load(path);
    EXPECT_EQ(d.hasAlpha, c.colourType == 6 || c.trns);
  }
  // Adam7 gives the pixels of its plain twin.
  EXPECT_TRUE(Load(dir / "rgb_adam7.png").pixels == Load(dir / "plain_twin.png").pixels);
}

// A "tRNS" chunk gives grey and RGB pictures alpha as it does palette
// ones: the information request says so, as the decode does.
TEST(ImagePng, TrnsGivesAlphaInInformationAndDecode) {
  REQUIRE_TOOLS("convert");
  TempDir dir;
  struct Case {
    const char* name;
    const char* command;  // convert's arguments before the output file
    int colourType;
    bool trns;
  } cases[] = {
      {"rgb_trns", "-size 4x4 xc:red -fill blue -draw 'point 1,1' -transparent red PNG24:", 2,
       true},
      {"grey_trns",
       "-size 4x4 xc:gray50 -fill white -draw 'point 1,1' -transparent gray50 -define "
       "png:color-type=0 ",
       0, true},
      {"rgb", "-size 4x4 xc:red -fill blue -draw 'point 1,1' PNG24:", 2, false},
      {"grey", "-size 4x4 xc:gray50 -fill white -draw 'point 1,1' -define png:color-type=0 ", 0,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / (std::string(c.name) + ".png");
    Shell(std::string("convert ") + c.command + "'" + path + "'");
    ASSERT_EQ(IhdrByte(path, 9), c.colourType);
    ASSERT_EQ(HasChunk(path, "tRNS"), c.trns);
    int32_t w = 0, h = 0, alpha = -1, format = -1;
    ASSERT_EQ(LoadImageFile(path.c_str(), nullptr, nullptr, nullptr, -1, 0, nullptr, nullptr,
                            nullptr, &w, &h, &alpha, nullptr, &format),
              0);
    EXPECT_EQ(format, IMGFMT_PNG);
    EXPECT_EQ(w, 4);
    EXPECT_EQ(h, 4);
    EXPECT_EQ(alpha, c.trns ? 1 : 0);
    Decoded d = Load(path);
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(d.hasAlpha, alpha);
    ExpectSameAsMagick(path);
    // Only the drawn point is opaque where the background was made clear.
    if (c.trns) {
      for (size_t i = 0; i < d.pixels.size(); i++)
        EXPECT_EQ(d.pixels[i] >> 24, i == 5 ? 0xFFu : 0u) << i;
    }
  }
}

TEST(ImagePng, PngSuiteDecodesLikeImageMagickAndCorruptFilesFail) {
  REQUIRE_TOOLS("convert");
  DIR* top = opendir(PNGSUITE);
  if (!top) GTEST_SKIP() << "PngSuite (libsixel-examples) missing";
  int good = 0, bad = 0;
  while (dirent* group = readdir(top)) {
    if (group->d_name[0] == '.') continue;
    std::string folder = std::string(PNGSUITE) + "/" + group->d_name;
    DIR* d = opendir(folder.c_str());
    if (!d) continue;
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() < 4 || name.substr(name.size() - 4) != ".png") continue;
      std::string path = folder + "/" + name;
      SCOPED_TRACE(path);
      if (name[0] == 'x') {
        EXPECT_EQ(Load(path).error, ERR_LOADPICTURE2);
        bad++;
      } else {
        ExpectSameAsMagick(path);
        good++;
      }
    }
    closedir(d);
  }
  closedir(top);
  EXPECT_GT(good, 150);
  EXPECT_EQ(bad, 14);
}

TEST(ImagePng, TruncatedDataFailsWithoutLeaks) {
  REQUIRE_TOOLS("convert");
  TempDir dir;
  Shell("convert -size 64x64 plasma:fractal '" + (dir / "full.png") + "'");
  std::vector<uint8_t> bytes = ReadFile(dir / "full.png");
  ASSERT_GT(bytes.size(), 200u);
  bytes.resize(bytes.size() / 2);
  WriteFile(dir / "cut.png", bytes);
  EXPECT_EQ(Load(dir / "cut.png").error, ERR_LOADPICTURE2);
}

TEST(ImagePng, WrittenFilesPassPngcheckAndReadBack) {
  REQUIRE_TOOLS("pngcheck");
  TempDir dir;
  const int32_t w = 29, h = 13, stride = 32;  // rows longer than the picture
  std::vector<uint32_t> source(static_cast<size_t>(stride) * h, 0xDEADBEEF);
  std::vector<uint32_t> picture = TestPicture(w, h, 7);
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++)
      source[static_cast<size_t>(y) * stride + x] =
          picture[static_cast<size_t>(y) * w + x] | ((x * 9u) << 24);
  for (int alpha : {0, 1}) {
    SCOPED_TRACE(alpha);
    std::string path = dir / (alpha ? "rgba.png" : "rgb.png");
    PngWriteRequest r{path.c_str(), source.data(), stride * 4u, w, h, alpha, -1};
    WritePng(&r);
    ASSERT_EQ(r.result, 0);
    bool ok = false;
    Shell("pngcheck -q '" + path + "'", &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(IhdrByte(path, 9), alpha ? 6 : 2);
    Decoded d = Load(path);
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(d.hasAlpha, alpha);
    std::vector<uint32_t> want(picture);
    if (alpha)
      for (int32_t i = 0; i < w * h; i++) want[i] |= ((i % w) * 9u) << 24;
    EXPECT_TRUE(d.pixels == want);
  }
}

TEST(ImagePng, WriteFailuresAreReported) {
  uint32_t pixels[4] = {1, 2, 3, 4};
  struct Case {
    const char* name;
    const char* path;
    int32_t width, height;
    ErrorCode want;
  } cases[] = {
      {"no such directory", "/nonexistent-dir/x.png", 2, 2, ERR_WRITEFILE},
      {"empty picture", "/tmp/never-written.png", 0, 2, ERR_WRONGUSAGE},
  };
  for (const Case& c : cases) {
    PngWriteRequest r{c.path, pixels, 8, c.width, c.height, 0, -1};
    WritePng(&r);
    EXPECT_EQ(r.result, c.want) << c.name;
  }
  // A full device: the data cannot all go out, which is never success.
  std::vector<uint32_t> big = TestPicture(300, 300, 1);
  PngWriteRequest r{"/dev/full", big.data(), 1200, 300, 300, 0, -1};
  WritePng(&r);
  EXPECT_TRUE(r.result == ERR_WRITE || r.result == ERR_CLOSEFILE) << r.result;
}

}  // namespace
