// IFF ILBM reading and writing against netpbm: ppmtoilbm's variants (1 to
// 8 planes packed and not, HAM6, HAM8, 24 planes) and hand-made EHB and
// masked files decode to ilbmtoppm's pixels, transparency choices follow
// the loader options, and written files read back through ilbmtoppm.
#include "media/media.h"
#include "media/image_private.h"
#include "tests/media/image_support.h"

using namespace imagetest;

namespace {

// A palette whose components all have non-zero low nibbles.
std::vector<uint32_t> Palette(int n) {
  std::vector<uint32_t> p(static_cast<size_t>(n));
  for (int i = 0; i < n; i++)
    p[i] = ((static_cast<uint32_t>(i * 53 + 17) & 0xFF) << 16) |
           ((static_cast<uint32_t>(i * 29 + 101) & 0xFF) << 8) |
           (static_cast<uint32_t>(255 - i * 7) & 0xFF) | 0x010101;
  return p;
}

// The same with the low nibbles 0, where ilbmtoppm's HAM decoding agrees
// with ours.
std::vector<uint32_t> HamPalette(int n) {
  std::vector<uint32_t> p = Palette(n);
  for (uint32_t& c : p) c &= 0xF0F0F0;
  return p;
}

std::vector<uint32_t> PalettePicture(int32_t w, int32_t h, const std::vector<uint32_t>& palette) {
  std::vector<uint32_t> out(static_cast<size_t>(w) * h);
  for (size_t i = 0; i < out.size(); i++) out[i] = palette[(i * 7 + i / w * 3) % palette.size()];
  return out;
}

void Put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}
void Chunk(std::vector<uint8_t>& b, const char* id, const std::vector<uint8_t>& data) {
  b.insert(b.end(), id, id + 4);
  Put32(b, static_cast<uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  if (data.size() & 1) b.push_back(0);
}

struct IlbmSpec {
  int32_t width, height, planes, masking, compression;
  uint32_t camg;  // 0: no CAMG chunk
  bool camgAfterBody;
  uint16_t transparentIndex;
  std::vector<uint32_t> cmap;
  std::vector<uint8_t> pens;  // chunky, width x height
};

// An ILBM file; packed bodies are literal blocks with a no-op -128 byte
// before each plane row.
std::vector<uint8_t> MakeIlbm(const IlbmSpec& s) {
  const size_t rowBytes = ((static_cast<size_t>(s.width) + 15) / 16) * 2;
  std::vector<uint8_t> body;
  for (int32_t y = 0; y < s.height; y++) {
    for (int32_t p = 0; p < s.planes + (s.masking == 1 ? 1 : 0); p++) {
      std::vector<uint8_t> row(rowBytes, 0);
      for (int32_t x = 0; x < s.width; x++) {
        bool bit = p == s.planes ? true : (s.pens[static_cast<size_t>(y) * s.width + x] >> p) & 1;
        if (bit) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
      }
      if (s.compression) {
        body.push_back(0x80);
        body.push_back(static_cast<uint8_t>(rowBytes - 1));
      }
      body.insert(body.end(), row.begin(), row.end());
    }
  }
  std::vector<uint8_t> bmhd = {static_cast<uint8_t>(s.width >> 8),
                               static_cast<uint8_t>(s.width),
                               static_cast<uint8_t>(s.height >> 8),
                               static_cast<uint8_t>(s.height),
                               0,
                               0,
                               0,
                               0,
                               static_cast<uint8_t>(s.planes),
                               static_cast<uint8_t>(s.masking),
                               static_cast<uint8_t>(s.compression),
                               0,
                               static_cast<uint8_t>(s.transparentIndex >> 8),
                               static_cast<uint8_t>(s.transparentIndex),
                               10,
                               11,
                               1,
                               64,
                               0,
                               200};
  std::vector<uint8_t> cmap;
  for (uint32_t c : s.cmap) {
    cmap.push_back(static_cast<uint8_t>(c >> 16));
    cmap.push_back(static_cast<uint8_t>(c >> 8));
    cmap.push_back(static_cast<uint8_t>(c));
  }
  std::vector<uint8_t> camg;
  Put32(camg, s.camg);
  std::vector<uint8_t> chunks;
  Chunk(chunks, "BMHD", bmhd);
  if (s.camg && !s.camgAfterBody) Chunk(chunks, "CAMG", camg);
  Chunk(chunks, "CMAP", cmap);
  Chunk(chunks, "BODY", body);
  if (s.camg && s.camgAfterBody) Chunk(chunks, "CAMG", camg);
  std::vector<uint8_t> file = {'F', 'O', 'R', 'M'};
  Put32(file, static_cast<uint32_t>(chunks.size() + 4));
  file.insert(file.end(), {'I', 'L', 'B', 'M'});
  file.insert(file.end(), chunks.begin(), chunks.end());
  return file;
}

// The file with the low bits of every CMAP component cleared by mask.
std::vector<uint8_t> ClearCmapLowBits(std::vector<uint8_t> file, uint8_t mask) {
  for (size_t i = 12; i + 8 <= file.size();) {
    const size_t length = (size_t{file[i + 4]} << 24) | (size_t{file[i + 5]} << 16) |
                          (size_t{file[i + 6]} << 8) | file[i + 7];
    if (std::memcmp(file.data() + i, "CMAP", 4) == 0)
      for (size_t k = 0; k < length && i + 8 + k < file.size(); k++) file[i + 8 + k] &= mask;
    i += 8 + length + (length & 1);
  }
  return file;
}

struct Sized {
  int32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;
};

Sized Netpbm(const std::string& path) {
  Sized s;
  s.pixels = PnmWords(Shell("ilbmtoppm '" + path + "'"), &s.width, &s.height);
  return s;
}

void ExpectSameAsIlbmtoppm(const std::string& path) {
  Sized want = Netpbm(path);
  ASSERT_FALSE(want.pixels.empty()) << path;
  Decoded d = Load(path);
  ASSERT_EQ(d.error, 0) << path;
  EXPECT_EQ(d.format, IMGFMT_ILBM);
  EXPECT_EQ(d.width, want.width);
  EXPECT_EQ(d.height, want.height);
  EXPECT_TRUE(d.pixels == want.pixels) << path;
}

TEST(ImageIlbm, PpmtoilbmVariantsEqualIlbmtoppm) {
  REQUIRE_TOOLS("ppmtoilbm", "ilbmtoppm");
  TempDir dir;
  const int32_t w = 45, h = 19;
  for (int planes = 1; planes <= 8; planes++) {
    std::string ppm = dir / ("p" + std::to_string(planes) + ".ppm");
    WritePpm(ppm, PalettePicture(w, h, Palette(1 << planes)), w, h);
    for (const char* method : {"none", "byterun1"}) {
      SCOPED_TRACE(std::to_string(planes) + " planes, " + method);
      std::string path = dir / ("p" + std::to_string(planes) + method + ".iff");
      Shell("ppmtoilbm -fixplanes " + std::to_string(planes) + " -cmethod " + method + " '" + ppm +
            "' > '" + path + "'");
      ExpectSameAsIlbmtoppm(path);
    }
  }
  std::string rich = dir / "rich.ppm";
  WritePpm(rich, TestPicture(w, h, 9), w, h);
  for (const char* variant : {"-ham6", "-ham8", "-24force", "-24force -cmethod none"}) {
    SCOPED_TRACE(variant);
    std::string path = dir / "deep.iff";
    Shell(std::string("ppmtoilbm ") + variant + " '" + rich + "' > '" + path + "'");
    // ilbmtoppm keeps the held colour's low bits where a HAM pen modifies
    // a component, which we set to 0: with a colour map whose low bits are
    // 0 the two agree.
    const int ham = std::string(variant) == "-ham6" ? 6 : std::string(variant) == "-ham8" ? 8 : 0;
    if (ham) WriteFile(path, ClearCmapLowBits(ReadFile(path), ham == 6 ? 0xF0 : 0xFC));
    ExpectSameAsIlbmtoppm(path);
  }
}

TEST(ImageIlbm, HamModifyPensSetTheTopBitsAndClearTheLowOnes) {
  TempDir dir;
  // Colour 0 has non-zero low bits in every component; each modify pen
  // changes one component and leaves the other two as held.
  struct {
    const char* name;
    int32_t planes;
    std::vector<uint8_t> pens;
    std::vector<uint32_t> want;
  } table[] = {
      {"ham6", 6, {0x00, 0x15, 0x2A, 0x33}, {0x1F2F3F, 0x1F2F50, 0xA02F50, 0xA03050}},
      {"ham8", 8, {0x00, 0x55, 0xBF, 0xC1}, {0x1F2F3F, 0x1F2F54, 0xFC2F54, 0xFC0454}},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> cmap(c.planes == 6 ? 16 : 64, 0);
    cmap[0] = 0x1F2F3F;
    const std::string path = dir / "ham.iff";
    WriteFile(path, MakeIlbm({4, 1, c.planes, 0, 1, 0x800, false, 0, cmap, c.pens}));
    Decoded d = Load(path);
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(Rgb(d.pixels), c.want);
  }
}

TEST(ImageIlbm, HandMadeEhbMaskedAndLateCamg) {
  REQUIRE_TOOLS("ilbmtoppm");
  TempDir dir;
  const int32_t w = 23, h = 7;
  std::vector<uint8_t> pens6(static_cast<size_t>(w) * h), pens4(pens6.size());
  for (size_t i = 0; i < pens6.size(); i++) {
    pens6[i] = static_cast<uint8_t>(i * 5 % 64);
    pens4[i] = static_cast<uint8_t>(i * 3 % 16);
  }
  struct Case {
    const char* name;
    IlbmSpec spec;
  } cases[] = {
      {"ehb", {w, h, 6, 0, 1, 0x80, false, 0, Palette(32), pens6}},
      {"masked", {w, h, 4, 1, 0, 0, false, 0, Palette(16), pens4}},
      {"masked packed", {w, h, 4, 1, 1, 0, false, 0, Palette(16), pens4}},
      {"ham6", {w, h, 6, 0, 1, 0x800, false, 0, HamPalette(16), pens6}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / (std::string(c.name) + ".iff");
    WriteFile(path, MakeIlbm(c.spec));
    ExpectSameAsIlbmtoppm(path);
    // A CAMG chunk stored after the BODY is still found; so is a mask
    // plane dropped: the twins decode alike.
    IlbmSpec twin = c.spec;
    twin.camgAfterBody = true;
    twin.masking = 0;
    WriteFile(dir / "twin.iff", MakeIlbm(twin));
    EXPECT_TRUE(Load(dir / "twin.iff").pixels == Load(path).pixels);
  }
}

TEST(ImageIlbm, TransparencyChoices) {
  TempDir dir;
  std::vector<uint32_t> cmap = Palette(16);
  cmap[5] = 0xA8A8A8;  // the first key candidate is taken
  std::vector<uint8_t> pens = {0, 1, 1, 0, 5, 3};
  std::string one = dir / "one.iff", four = dir / "four.iff";
  WriteFile(one, MakeIlbm({3, 2, 1, 0, 0, 0, false, 0, {0x112233, 0x445566}, {0, 1, 1, 0, 1, 0}}));
  WriteFile(four, MakeIlbm({3, 2, 4, 2, 0, 0, false, 3, cmap, pens}));
  auto load = [](const std::string& path, int32_t penColour, int32_t maskMode, Decoded* d) {
    DecodedImage* image = nullptr;
    d->error = LoadImageFile(path.c_str(), "inbuilt", nullptr, nullptr, penColour, maskMode, &image,
                             nullptr, &d->transparent, &d->width, &d->height, nullptr, nullptr,
                             &d->format);
    if (d->error) return;
    d->pixels.assign(image->pixels, image->pixels + 6);
    FreeDecodedImage(image);
  };
  Decoded d;
  load(one, 0xFF0000, 0, &d);
  ASSERT_EQ(d.error, 0);
  EXPECT_EQ(d.transparent, 0x112233);
  EXPECT_TRUE(d.pixels ==
              std::vector<uint32_t>({0x112233, 0xFF0000, 0xFF0000, 0x112233, 0xFF0000, 0x112233}));
  load(four, -1, 2, &d);
  ASSERT_EQ(d.error, 0);
  EXPECT_EQ(d.transparent, 0xA8A8B7);
  EXPECT_EQ(d.pixels[5], 0xA8A8B7u);  // pen 3, the transparent index
  load(four, -1, 0, &d);
  EXPECT_EQ(d.transparent, -1);

  // The information request reports the declared transparent colour.
  int32_t w, h, alpha, transparent = 0;
  ASSERT_EQ(LoadImageFile(four.c_str(), nullptr, nullptr, nullptr, -1, 0, nullptr, nullptr,
                          &transparent, &w, &h, &alpha, nullptr, nullptr),
            0);
  EXPECT_EQ(transparent, 1);

  // A palette for pictures of 8 planes or fewer.
  DecodedImage* image = nullptr;
  uint32_t* palette = nullptr;
  ASSERT_EQ(LoadImageFile(four.c_str(), nullptr, nullptr, nullptr, -1, 0, &image, &palette, nullptr,
                          &w, &h, nullptr, nullptr, nullptr),
            0);
  ASSERT_NE(palette, nullptr);
  EXPECT_EQ(palette[5], 0xA8A8A8u);
  FreeMemory(palette);
  FreeDecodedImage(image);
}

TEST(ImageIlbm, WrittenFilesReadBack) {
  REQUIRE_TOOLS("ilbmtoppm");
  TempDir dir;
  for (int32_t w : {17, 1, 130}) {
    SCOPED_TRACE(w);
    const int32_t h = 9;
    std::vector<uint32_t> picture = TestPicture(w, h, static_cast<uint32_t>(w));
    for (size_t i = 0; i < picture.size(); i += 3) picture[i] = 0x808080;  // runs for the packer
    std::string path = dir / "out.iff";
    ASSERT_EQ(WriteIlbmImage(path.c_str(), picture.data(), w, h), 0);
    std::vector<uint8_t> bytes = ReadFile(path);
    uint32_t body = (uint32_t{bytes[44]} << 24) | (bytes[45] << 16) | (bytes[46] << 8) | bytes[47];
    EXPECT_EQ(bytes.size(), 48 + body + (body & 1));
    uint32_t form = (uint32_t{bytes[4]} << 24) | (bytes[5] << 16) | (bytes[6] << 8) | bytes[7];
    EXPECT_EQ(form + 8, bytes.size());
    EXPECT_EQ(Netpbm(path).pixels, picture);
    EXPECT_EQ(Load(path).pixels, picture);
  }
  EXPECT_EQ(WriteIlbmImage((dir / "x.iff").c_str(), nullptr, 70000, 1), ERR_WRONGUSAGE);
  uint32_t one = 0;
  EXPECT_EQ(WriteIlbmImage((dir / "x.iff").c_str(), &one, 65536, 1), ERR_WRONGUSAGE);
  EXPECT_EQ(WriteIlbmImage("/nonexistent-dir/x.iff", &one, 1, 1), ERR_WRITEFILE);
  std::vector<uint32_t> big(256 * 256, 0x123456);
  for (size_t i = 0; i < big.size(); i++) big[i] ^= static_cast<uint32_t>(i * 2654435761u);
  ErrorCode e = WriteIlbmImage("/dev/full", big.data(), 256, 256);
  EXPECT_TRUE(e == ERR_WRITE || e == ERR_CLOSEFILE) << e;
}

}  // namespace
