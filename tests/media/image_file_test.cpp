// The image file layer: identification from hand-made headers (Exif
// orientation rules, PNG palette alpha, BMP and TIFF fields, GIF
// transparency), loader admission, the DecodedImage holder, the size
// limit, and every codec under allocation failure.
#include "media/media.h"
#include "media/image_private.h"
#include "tests/media/image_support.h"
#include "platform/linux/system_private.h"

using namespace imagetest;

namespace {

using Bytes = std::vector<uint8_t>;

void Append(Bytes& b, std::initializer_list<int> values) {
  for (int v : values) b.push_back(static_cast<uint8_t>(v));
}
void Be16(Bytes& b, uint32_t v) {
  Append(b, {static_cast<int>(v >> 8) & 0xFF, static_cast<int>(v) & 0xFF});
}
void Le16(Bytes& b, uint32_t v) {
  Append(b, {static_cast<int>(v) & 0xFF, static_cast<int>(v >> 8) & 0xFF});
}
void Be32(Bytes& b, uint32_t v) {
  Be16(b, v >> 16);
  Be16(b, v & 0xFFFF);
}
void Le32(Bytes& b, uint32_t v) {
  Le16(b, v & 0xFFFF);
  Le16(b, v >> 16);
}

// An Exif APP1 segment whose first directory holds `before` other tags and
// then the orientation (none when orientation is negative).
Bytes Exif(int orientation, int before, bool bigEndian) {
  Bytes tiff = bigEndian ? Bytes{'M', 'M', 0, 42} : Bytes{'I', 'I', 42, 0};
  auto u16 = [&](uint32_t v) { bigEndian ? Be16(tiff, v) : Le16(tiff, v); };
  auto u32 = [&](uint32_t v) { bigEndian ? Be32(tiff, v) : Le32(tiff, v); };
  u32(8);
  u16(static_cast<uint32_t>(before + (orientation >= 0 ? 1 : 0)));
  for (int i = 0; i < before; i++) {
    u16(0x8000 + static_cast<uint32_t>(i));  // any other tag
    u16(3);
    u32(1);
    u32(0);
  }
  if (orientation >= 0) {
    u16(0x0112);
    u16(3);
    u32(1);
    u16(static_cast<uint32_t>(orientation));
    u16(0);
  }
  u32(0);
  Bytes seg = {0xFF, 0xE1};
  Be16(seg, static_cast<uint32_t>(tiff.size() + 8));
  Append(seg, {'E', 'x', 'i', 'f', 0, 0});
  seg.insert(seg.end(), tiff.begin(), tiff.end());
  return seg;
}

// JPEG headers up to a 640 x 480 frame header; the scan is left out.
Bytes Jpeg(const std::vector<Bytes>& segments, bool jfifFirst = true) {
  Bytes b = {0xFF, 0xD8};
  if (jfifFirst) Append(b, {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
  for (const Bytes& s : segments) b.insert(b.end(), s.begin(), s.end());
  Append(b, {0xFF, 0xC0, 0, 17, 8});
  Be16(b, 480);
  Be16(b, 640);
  Append(b, {3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
  return b;
}

Bytes Png(int colourType, bool trns) {
  Bytes b = {0x89, 'P', 'N', 'G', 13, 10, 26, 10};
  Be32(b, 13);
  Append(b, {'I', 'H', 'D', 'R'});
  Be32(b, 300);
  Be32(b, 200);
  Append(b, {8, colourType, 0, 0, 0, 1, 2, 3, 4});
  Be32(b, 3);
  Append(b, {'P', 'L', 'T', 'E', 1, 2, 3, 9, 9, 9, 9});
  if (trns) {
    Be32(b, 1);
    Append(b, {'t', 'R', 'N', 'S', 0, 9, 9, 9, 9});
  }
  Be32(b, 0);
  Append(b, {'I', 'E', 'N', 'D', 1, 2, 3, 4});
  return b;
}

// A TIFF directory with width (SHORT or LONG), height and the colour fields.
Bytes Tiff(bool bigEndian, int widthType, bool withSize, int photometric, int samples) {
  Bytes b = bigEndian ? Bytes{'M', 'M', 0, '*'} : Bytes{'I', 'I', '*', 0};
  auto u16 = [&](uint32_t v) { bigEndian ? Be16(b, v) : Le16(b, v); };
  auto u32 = [&](uint32_t v) { bigEndian ? Be32(b, v) : Le32(b, v); };
  auto entry = [&](uint32_t tag, int type, uint32_t value) {
    u16(tag);
    u16(static_cast<uint32_t>(type));
    u32(1);
    if (type == 4) {
      u32(value);
    } else {
      u16(value);
      u16(0);
    }
  };
  u32(8);
  u16(withSize ? 4 : 2);
  if (withSize) {
    entry(0x0100, widthType, 70000 & (widthType == 4 ? 0xFFFFFFFF : 0xFFFF));
    entry(0x0101, 3, 321);
  }
  entry(0x0106, 3, static_cast<uint32_t>(photometric));
  entry(0x0115, 3, static_cast<uint32_t>(samples));
  u32(0);
  return b;
}

Bytes Gif(bool transparentFlag, bool globalTable) {
  Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
  Le16(b, 33);
  Le16(b, 22);
  Append(b, {globalTable ? 0x81 : 0, 0, 0});
  if (globalTable) b.insert(b.end(), 12, 0);
  Append(b, {0x21, 0xFE, 3, 'h', 'i', '!', 0});  // a comment first
  Append(b, {0x21, 0xF9, 4, transparentFlag ? 1 : 0, 0, 0, 0, 0, 0x3B});
  return b;
}

Bytes Bmp(uint32_t width, uint32_t height) {
  Bytes b = {'B', 'M'};
  b.resize(18, 0);
  Le32(b, width);
  Le32(b, height);
  b.resize(54, 0);
  return b;
}

TEST(ImageFile, Identification) {
  TempDir dir;
  Bytes ilbm = {'F', 'O', 'R', 'M', 0,   0,   0, 40, 'I', 'L',
                'B', 'M', 'A', 'N', 'N', 'O', 0, 0,  0,   0};
  Append(ilbm, {'B', 'M', 'H', 'D', 0, 0, 0, 20, 1,  64, 0, 200, 0, 0,
                0,   0,   4,   2,   1, 0, 0, 0,  10, 11, 1, 64,  0, 200});
  Bytes secondExif = Exif(6, 0, false);
  Bytes bothExif = Exif(3, 0, true);
  bothExif.insert(bothExif.end(), secondExif.begin(), secondExif.end());
  Bytes exifFirst = Jpeg({Exif(8, 2, false)}, false);
  Bytes badLength = {0xFF, 0xD8, 0xFF, 0xE0, 0, 0, 0xFF, 0xC0};
  Bytes noFrame = Jpeg({});
  noFrame.resize(20);
  struct Case {
    const char* name;
    Bytes file;
    ErrorCode error;
    int32_t format, width, height, alpha, transparent, orientation;
  } cases[] = {
      {"ilbm", ilbm, 0, IMGFMT_ILBM, 320, 200, 0, 1, 0},
      {"ilbm without BMHD", Bytes(ilbm.begin(), ilbm.begin() + 20), ERR_LOADPICTURE2, 0, 0, 0, 0, 0,
       0},
      {"jpeg without Exif", Jpeg({}), 0, IMGFMT_JPEG, 640, 480, 0, 0, 0},
      {"jpeg orientation 6 swaps", Jpeg({Exif(6, 0, false)}), 0, IMGFMT_JPEG, 480, 640, 0, 0, 6},
      {"jpeg orientation 3 keeps", Jpeg({Exif(3, 0, true)}), 0, IMGFMT_JPEG, 640, 480, 0, 0, 3},
      {"orientation after 40 tags", Jpeg({Exif(5, 40, true)}), 0, IMGFMT_JPEG, 480, 640, 0, 0, 5},
      {"a second Exif never overrides", Jpeg({bothExif}), 0, IMGFMT_JPEG, 640, 480, 0, 0, 3},
      {"Exif as the first segment", exifFirst, 0, IMGFMT_JPEG, 480, 640, 0, 0, 8},
      {"orientation 9 counts as 1", Jpeg({Exif(9, 0, false)}), 0, IMGFMT_JPEG, 640, 480, 0, 0, 1},
      {"orientation 0 counts as 1", Jpeg({Exif(0, 0, false)}), 0, IMGFMT_JPEG, 640, 480, 0, 0, 1},
      {"Exif without orientation", Jpeg({Exif(-1, 3, false)}), 0, IMGFMT_JPEG, 640, 480, 0, 0, 0},
      {"segment length below 2", badLength, ERR_LOADPICTURE2, 0, 0, 0, 0, 0, 0},
      {"jpeg without frame header", noFrame, ERR_LOADPICTURE2, 0, 0, 0, 0, 0, 0},
      {"png palette with tRNS", Png(3, true), 0, IMGFMT_PNG, 300, 200, 1, 0, 0},
      {"png palette without tRNS", Png(3, false), 0, IMGFMT_PNG, 300, 200, 0, 0, 0},
      {"png rgba", Png(6, false), 0, IMGFMT_PNG, 300, 200, 1, 0, 0},
      {"png rgb", Png(2, false), 0, IMGFMT_PNG, 300, 200, 0, 0, 0},
      {"bmp negative height", Bmp(7, static_cast<uint32_t>(-9)), 0, IMGFMT_BMP, 7, 9, 0, 0, 0},
      {"bmp of 10 bytes", Bytes{'B', 'M', 1, 2, 3, 4, 5, 6, 7, 8}, 0, IMGFMT_BMP, 0, 0, 0, 0, 0},
      {"bmp height without a positive twin", Bmp(7, 0x80000000u), ERR_LOADPICTURE2, 0, 0, 0, 0, 0,
       0},
      {"tiff LONG width", Tiff(false, 4, true, 2, 4), 0, IMGFMT_TIFF, 70000, 321, 1, 0, 0},
      {"tiff SHORT width, big-endian", Tiff(true, 3, true, 2, 3), 0, IMGFMT_TIFF, 70000 & 0xFFFF,
       321, 0, 0, 0},
      {"tiff without size", Tiff(true, 3, false, 2, 4), ERR_LOADPICTURE2, 0, 0, 0, 0, 0, 0},
      {"gif with transparency", Gif(true, true), 0, IMGFMT_GIF, 33, 22, 0, 1, 0},
      {"gif without", Gif(false, false), 0, IMGFMT_GIF, 33, 22, 0, 0, 0},
      {"unknown", Bytes{'h', 'e', 'l', 'l', 'o'}, ERR_LOADPICTURE2, 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / "id.bin";
    WriteFile(path, c.file);
    StreamHandle* s = OpenFileStream(path.c_str(), STREAM_READ, nullptr);
    ASSERT_NE(s, nullptr);
    int32_t format = -1, w = -1, h = -1, alpha = -1, transparent = -1, orientation = 0;
    ErrorCode e = IdentifyImageFile(s, &format, &w, &h, &alpha, &transparent, &orientation);
    CloseFileStream(s);
    ASSERT_EQ(e, c.error);
    if (e) continue;
    EXPECT_EQ(format, c.format);
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
    EXPECT_EQ(alpha, c.alpha);
    EXPECT_EQ(transparent, c.transparent);
    EXPECT_EQ(orientation, c.orientation);
  }
}

TEST(ImageFile, LoaderAdmissionAndInformation) {
  TempDir dir;
  std::string tiff = dir / "a.tif", png = dir / "a.png";
  WriteFile(tiff, Tiff(false, 3, true, 2, 4));
  uint32_t pixels[6] = {0x80112233, 0x80445566, 1, 2, 3, 4};
  PngWriteRequest r{png.c_str(), pixels, 12, 3, 2, 1, -1};
  WritePng(&r);
  ASSERT_EQ(r.result, 0);
  int32_t w = 0, h = 0, alpha = 0, format = -1, transparent = 0;
  // TIFF: identified by an information request, never decoded.
  EXPECT_EQ(LoadImageFile(tiff.c_str(), nullptr, nullptr, nullptr, -1, 0, nullptr, nullptr,
                          &transparent, &w, &h, &alpha, nullptr, &format),
            0);
  EXPECT_EQ(format, IMGFMT_TIFF);
  EXPECT_EQ(alpha, 1);
  EXPECT_EQ(transparent, -1);
  EXPECT_EQ(Load(tiff).error, ERR_LOADPICTURE2);
  EXPECT_EQ(std::string(GetErrorArgString()), tiff);

  struct Case {
    const char* loader;
    ErrorCode error;
  } cases[] = {{nullptr, 0},
               {"", 0},
               {"Default", 0},
               {"inbuilt", 0},
               {"plugin|INBUILT", 0},
               {"native", ERR_LOADPICTURE2},
               {"plugin", ERR_LOADPICTURE2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.loader ? c.loader : "(null)");
    DecodedImage* image = nullptr;
    int32_t isNative = -1;
    ErrorCode e = LoadImageFile(png.c_str(), c.loader, nullptr, nullptr, -1, 0, &image, nullptr,
                                nullptr, &w, &h, &alpha, &isNative, &format);
    ASSERT_EQ(e, c.error);
    if (e) {
      EXPECT_EQ(image, nullptr);
      continue;
    }
    EXPECT_EQ(isNative, 0);
    EXPECT_EQ(image->kind, IMGFMT_PNG);
    EXPECT_EQ(GetDecodedImagePixels(image)[1], 0x80445566u);
    auto* replacement = static_cast<uint32_t*>(AllocMemory(4, 0));
    SetDecodedImagePixels(image, replacement);
    EXPECT_EQ(image->kind, IMGFMT_UNKNOWN);
    EXPECT_EQ(GetDecodedImagePixels(image), replacement);
    FreeDecodedImage(image);
  }
  EXPECT_EQ(Load(dir / "missing.png").error, ERR_READFILE);
}

TEST(ImageFile, PixelLimitRefusesBeforeAllocating) {
  TempDir dir;
  std::vector<uint32_t> pixels = TestPicture(20, 20, 1);
  std::string png = dir / "a.png";
  PngWriteRequest r{png.c_str(), pixels.data(), 80, 20, 20, 0, -1};
  WritePng(&r);
  size_t old = SetImagePixelLimit(399);
  EXPECT_EQ(Load(png).error, ERR_LOADPICTURE2);
  SetImagePixelLimit(400);
  EXPECT_EQ(Load(png).error, 0);
  SetImagePixelLimit(old);
}

// Small valid files of every built-in format.
std::vector<std::string> SampleFiles(const TempDir& dir) {
  std::vector<std::string> files;
  const int32_t w = 9, h = 5;
  std::vector<uint32_t> picture = TestPicture(w, h, 2);
  files.push_back(dir / "s.png");
  PngWriteRequest r{files.back().c_str(), picture.data(), w * 4u, w, h, 1, -1};
  WritePng(&r);
  JpegEncodeRequest j{};
  j.pixels = picture.data();
  j.bytesPerRow = w * 4u;
  j.width = w;
  j.height = h;
  j.quality = 80;
  EncodeJpegToMemory(&j);
  files.push_back(dir / "s.jpg");
  WriteFile(files.back(), Bytes(j.data, j.data + j.length));
  FreeJpegBuffer(j.holder);
  files.push_back(dir / "s.iff");
  WriteIlbmImage(files.back().c_str(), picture.data(), w, h);
  files.push_back(dir / "s.gif");
  GifWriter* g = nullptr;
  OpenGifWriter(files.back().c_str(), w, h, &g);
  std::vector<uint8_t> pens(static_cast<size_t>(w) * h);
  uint32_t palette[256] = {0x112233, 0x445566, 0x778899};
  for (size_t i = 0; i < pens.size(); i++) pens[i] = static_cast<uint8_t>(i % 3);
  WriteGifAnimFrame(g, pens.data(), w, h, 10, palette, 3, -1, 1, 1);
  WriteGifAnimFrame(g, pens.data(), w, h, 10, palette, 3, -1, 1, 1);
  CloseGifWriter(g);
  files.push_back(dir / "s.bmp");
  Bytes bmp = Bmp(w, h);
  bmp[10] = 54;
  bmp[28] = 24;
  bmp.resize(54 + 5 * 28, 0x5A);
  WriteFile(files.back(), bmp);
  return files;
}

TEST(ImageFile, EveryCodecUnderAllocationFailure) {
  TempDir dir;
  for (const std::string& path : SampleFiles(dir)) {
    for (bool persistent : {false, true}) {
      SCOPED_TRACE(path + (persistent ? " persistent" : " once"));
      bool succeeded = false;
      for (uint64_t n = 1; n < 500 && !succeeded; n++) {
        StreamHandle* s = OpenFileStream(path.c_str(), STREAM_READ, nullptr);
        ASSERT_NE(s, nullptr);
        SetAllocFailure(n, persistent);
        ErrorCode e = 0;
        uint32_t* pixels = nullptr;
        int32_t w, h, alpha, transparent;
        switch (path.back()) {
          case 'g':
            e = path[path.size() - 2] == 'p' ? DecodeJpegImage(s, nullptr, 0, 0, 0, &w, &h, &pixels)
                                             : ReadPng(s, 0, &w, &h, &pixels, &alpha);
            break;
          case 'f':
            if (path[path.size() - 2] == 'i') {
              GifReader* g = OpenGifReader(s, &w, &h, nullptr, 0, 1, 0);
              s = nullptr;  // the reader owns it
              pixels = g ? ReadGifFrame(g, 1, nullptr) : nullptr;
              e = pixels ? 0 : ERR_MEM;
              CloseGifReader(g);
            } else {
              e = ReadIlbmImage(s, 0, nullptr, -1, 0, 0, &transparent, &w, &h, &pixels, nullptr);
            }
            break;
          default:
            e = ReadBmpImage(s, 0, &w, &h, &pixels);
        }
        uint64_t failed = GetAllocFailureCount();
        SetAllocFailure(0, false);
        CloseFileStream(s);
        if (failed == 0) {
          EXPECT_EQ(e, 0);
          succeeded = true;
        } else {
          EXPECT_EQ(e, ERR_MEM) << "allocation " << n;
          EXPECT_EQ(pixels, nullptr);
        }
        FreeMemory(pixels);
      }
      EXPECT_TRUE(succeeded);
    }
  }
}

}  // namespace
