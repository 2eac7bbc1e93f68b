// Files whose headers claim more than they hold: a picture, anim, sound or
// font file of a few hundred bytes that announces gigabytes of pixels,
// hundreds of millions of frames or samples past its end ends with its
// format's error (or, for sound, loads what it really holds), and no single
// allocation on the way is larger than a small bound. The same files with
// their claims really there still load.
#include <zlib.h>

#include <functional>

#include "media/anim_private.h"
#include "media/image_private.h"
#include "media/media.h"
#include "platform/linux/system_private.h"
#include "tests/media/image_support.h"
#include "text/font_private.h"

using namespace imagetest;

namespace {

// Far below every claim here (each is 256 MB or more), far above what the
// readers need for the few bytes these files hold.
constexpr size_t kAllocationBound = size_t{1} << 20;

using Bytes = std::vector<uint8_t>;

void Be16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void Be32(Bytes& b, uint32_t v) {
  Be16(b, v >> 16);
  Be16(b, v);
}
void Le16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Le32(Bytes& b, uint32_t v) {
  Le16(b, v);
  Le16(b, v >> 16);
}
void Text(Bytes& b, const char* s) { b.insert(b.end(), s, s + std::strlen(s)); }
// A chunk: four characters, a length in the format's byte order, the data
// padded to an even length.
void Chunk(Bytes& b, const char* id, const Bytes& data, bool bigEndian) {
  Text(b, id);
  (bigEndian ? Be32 : Le32)(b, static_cast<uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  if (data.size() & 1) b.push_back(0);
}
Bytes Iff(const char* type, const Bytes& chunks) {
  Bytes form;
  Text(form, type);
  form.insert(form.end(), chunks.begin(), chunks.end());
  Bytes file;
  Chunk(file, "FORM", form, true);
  return file;
}

Bytes Bmhd(uint32_t width, uint32_t height, int planes, int compression) {
  Bytes b;
  Be16(b, width);
  Be16(b, height);
  Be32(b, 0);  // x, y
  b.push_back(static_cast<uint8_t>(planes));
  b.push_back(0);  // no mask
  b.push_back(static_cast<uint8_t>(compression));
  b.push_back(0);
  Be16(b, 0);  // transparent colour
  b.push_back(1);
  b.push_back(1);
  Be16(b, width);
  Be16(b, height);
  return b;
}

// An ILBM form: BMHD, a small CMAP, and a BODY of the given bytes.
Bytes IlbmChunks(uint32_t width, uint32_t height, int planes, int compression, const Bytes& body) {
  Bytes c;
  Chunk(c, "BMHD", Bmhd(width, height, planes, compression), true);
  Chunk(c, "CMAP", Bytes(6, 0x40), true);
  Chunk(c, "BODY", body, true);
  return c;
}

// Plane rows of 6 bytes, each one ByteRun1 run.
Bytes Runs(size_t rows) {
  Bytes b;
  for (size_t i = 0; i < rows; i++) b.insert(b.end(), {0xFB, 0x55});
  return b;
}

Bytes Bmp(int32_t width, int32_t height, int bits, int compression, const Bytes& data) {
  const uint32_t table = bits <= 8 ? 4u << bits : 0;
  Bytes b;
  Text(b, "BM");
  Le32(b, static_cast<uint32_t>(54 + table + data.size()));
  Le32(b, 0);
  Le32(b, 54 + table);
  Le32(b, 40);
  Le32(b, static_cast<uint32_t>(width));
  Le32(b, static_cast<uint32_t>(height));
  Le16(b, 1);
  Le16(b, static_cast<uint32_t>(bits));
  Le32(b, static_cast<uint32_t>(compression));
  for (int i = 0; i < 5; i++) Le32(b, 0);
  b.resize(b.size() + table, 0x20);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// A GIF89a of one 1 x 1 frame on a screen of the given size.
Bytes Gif(uint32_t width, uint32_t height) {
  Bytes b;
  Text(b, "GIF89a");
  Le16(b, width);
  Le16(b, height);
  b.insert(b.end(), {0x80, 0, 0});              // a global table of 2 colours
  b.insert(b.end(), {0, 0, 0, 255, 255, 255});  // black, white
  b.push_back(0x2C);
  for (int i = 0; i < 4; i++) Le16(b, i < 2 ? 0 : 1);
  b.push_back(0);
  // Minimum code size 2: clear (4), pen 1, end (5) in 3-bit codes.
  b.insert(b.end(), {2, 2, 0x4C, 0x01, 0, 0x3B});
  return b;
}

void PngChunk(Bytes& b, const char* type, const Bytes& data) {
  Be32(b, static_cast<uint32_t>(data.size()));
  Bytes typed;
  Text(typed, type);
  typed.insert(typed.end(), data.begin(), data.end());
  b.insert(b.end(), typed.begin(), typed.end());
  Be32(b, static_cast<uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size()))));
}

// An RGB PNG whose IDAT holds `rows` rows of zeros, compressed.
Bytes Png(uint32_t width, uint32_t height, uint32_t rows) {
  Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  Be32(ihdr, width);
  Be32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  PngChunk(b, "IHDR", ihdr);
  Bytes raw(rows * (1 + 3 * size_t{width}), 0), packed(compressBound(raw.size()));
  uLongf length = packed.size();
  compress(packed.data(), &length, raw.data(), raw.size());
  packed.resize(length);
  PngChunk(b, "IDAT", packed);
  PngChunk(b, "IEND", {});
  return b;
}

// A real 16 x 16 JPEG whose frame header claims width x height, cut a few
// bytes into its scan.
Bytes Jpeg(uint32_t width, uint32_t height) {
  std::vector<uint32_t> pixels = TestPicture(16, 16, 3);
  JpegEncodeRequest request{};
  request.pixels = pixels.data();
  request.bytesPerRow = 16 * 4;
  request.width = 16;
  request.height = 16;
  request.quality = 80;
  EncodeJpegToMemory(&request);
  Bytes b(request.data, request.data + request.length);
  FreeJpegBuffer(request.holder);
  for (size_t i = 2; i + 9 < b.size();) {
    const uint8_t marker = b[i + 1];
    const size_t length = (size_t{b[i + 2]} << 8) | b[i + 3];
    if (marker == 0xC0) {
      b[i + 5] = static_cast<uint8_t>(height >> 8);
      b[i + 6] = static_cast<uint8_t>(height);
      b[i + 7] = static_cast<uint8_t>(width >> 8);
      b[i + 8] = static_cast<uint8_t>(width);
    }
    if (marker == 0xDA) {
      b.resize(i + 2 + length + 4);
      break;
    }
    i += 2 + length;
  }
  return b;
}

// An MJPEG AVI of one empty chunk whose main header claims `frames`.
Bytes Avi(uint32_t frames) {
  Bytes avih;
  for (uint32_t v : {40000u, 0u, 0u, 0x10u, frames, 0u, 1u, 0u, 64u, 48u, 0u, 0u, 0u, 0u})
    Le32(avih, v);
  Bytes strh;
  Text(strh, "vidsMJPG");
  strh.resize(56, 0);
  Bytes strf;
  for (uint32_t v : {40u, 64u, 48u}) Le32(strf, v);
  Le16(strf, 1);
  Le16(strf, 24);
  Text(strf, "MJPG");
  strf.resize(40, 0);
  Bytes strl;
  Text(strl, "strl");
  Chunk(strl, "strh", strh, false);
  Chunk(strl, "strf", strf, false);
  Bytes hdrl;
  Text(hdrl, "hdrl");
  Chunk(hdrl, "avih", avih, false);
  Chunk(hdrl, "LIST", strl, false);
  Bytes movi;
  Text(movi, "movi");
  Chunk(movi, "00dc", {}, false);
  Bytes body;
  Text(body, "AVI ");
  Chunk(body, "LIST", hdrl, false);
  Chunk(body, "LIST", movi, false);
  Bytes file;
  Chunk(file, "RIFF", body, false);
  return file;
}

// An IFF ANIM: a first frame of 16 x 16 in one unpacked plane, a DPAN
// chunk claiming `frames` unless 0, and one empty method-5 delta.
Bytes IffAnim(uint32_t frames) {
  Bytes first;
  Chunk(first, "BMHD", Bmhd(16, 16, 1, 0), true);
  Chunk(first, "CMAP", Bytes(6, 0x40), true);
  if (frames) {
    Bytes dpan;
    Be16(dpan, 4);
    Be16(dpan, frames);
    Be32(dpan, 0);
    Chunk(first, "DPAN", dpan, true);
  }
  Chunk(first, "BODY", Bytes(32, 0xF0), true);
  Bytes anhd(24, 0);
  anhd[0] = 5;
  Bytes delta;
  Chunk(delta, "ANHD", anhd, true);
  Chunk(delta, "DLTA", Bytes(64, 0), true);
  Bytes chunks = Iff("ILBM", first);
  Bytes second = Iff("ILBM", delta);
  chunks.insert(chunks.end(), second.begin(), second.end());
  return Iff("ANIM", chunks);
}

ErrorCode LoadPicture(const std::string& path) {
  DecodedImage* image = nullptr;
  int32_t w, h;
  ErrorCode e = LoadImageFile(path.c_str(), nullptr, nullptr, nullptr, -1, 0, &image, nullptr,
                              nullptr, &w, &h, nullptr, nullptr, nullptr);
  if (!e) FreeDecodedImage(image);
  return e;
}

ErrorCode OpenAnim(const std::string& path) {
  AnimFile* anim = nullptr;
  int32_t w, h, count;
  ErrorCode e = OpenAnimFile(path.c_str(), nullptr, nullptr, 0, 0, &anim, &w, &h, &count, nullptr,
                             nullptr, nullptr);
  if (!e) CloseAnimFile(anim);
  return e;
}

struct Claim {
  const char* name;
  Bytes file;
  std::function<ErrorCode(const std::string&)> load;
  ErrorCode want;
};

TEST(FileClaims, PicturesAndAnimsBeyondTheirFilesFailWithTheirErrorAllocatingLittle) {
  TempDir dir;
  const Claim table[] = {
      {"ILBM 16000 x 16000, 8 packed planes, a 2-byte body",
       Iff("ILBM", IlbmChunks(16000, 16000, 8, 1, {0x81, 0})), LoadPicture, ERR_LOADPICTURE2},
      {"ILBM 16000 x 16000, 24 unpacked planes", Iff("ILBM", IlbmChunks(16000, 16000, 24, 0, {})),
       LoadPicture, ERR_LOADPICTURE2},
      {"BMP 16000 x 16000 of 24 bits, 6 bytes of rows", Bmp(16000, 16000, 24, 0, Bytes(6, 1)),
       LoadPicture, ERR_LOADPICTURE2},
      {"BMP 4000 x 60000 run-length, one end of line", Bmp(4000, 60000, 8, 1, {2, 7, 0, 0}),
       LoadPicture, ERR_LOADPICTURE2},
      {"GIF screen 16000 x 16000, one pixel", Gif(16000, 16000), LoadPicture, ERR_LOADPICTURE2},
      {"PNG 16000 x 16000, one row's data", Png(16000, 16000, 1), LoadPicture, ERR_LOADPICTURE2},
      {"JPEG 16000 x 16000, its scan cut", Jpeg(16000, 16000), LoadPicture, ERR_LOADPICTURE2},
      {"AVI of 671 million frames in one chunk", Avi(671088640), OpenAnim, ERR_OPENANIM2},
      {"IFF ANIM whose first frame is 16000 x 16000",
       Iff("ANIM", Iff("ILBM", IlbmChunks(16000, 16000, 8, 1, {0x81, 0}))), OpenAnim,
       ERR_OPENANIM2},
      {"IFF ANIM whose DPAN claims 65535 frames", IffAnim(65535), OpenAnim, ERR_OPENANIM2},
      {"GIF anim screen 16000 x 16000", Gif(16000, 16000), OpenAnim, ERR_OPENANIM2},
  };
  for (const Claim& c : table) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / "claim";
    WriteFile(path, c.file);
    TrackLargestAllocation(true);
    EXPECT_EQ(c.load(path), c.want);
    EXPECT_LE(GetLargestAllocation(), kAllocationBound);
    TrackLargestAllocation(false);
  }
  // The same files with what they claim really there load (the DPAN one
  // with its true count), so the checks refuse only the false claims.
  const Claim honest[] = {
      {"ILBM 40 x 30, 8 planes packed as runs", Iff("ILBM", IlbmChunks(40, 30, 8, 1, Runs(30 * 8))),
       LoadPicture, 0},
      {"BMP 40 x 30 of 24 bits", Bmp(40, 30, 24, 0, Bytes(120 * 30, 9)), LoadPicture, 0},
      {"BMP run-length, 30 rows by end of line", Bmp(40, 30, 8, 1, Bytes(60, 0)), LoadPicture, 0},
      {"GIF screen 40 x 30, one pixel", Gif(40, 30), LoadPicture, 0},
      {"GIF screen 2000 x 2000, one pixel", Gif(2000, 2000), LoadPicture, 0},
      {"PNG 40 x 30", Png(40, 30, 30), LoadPicture, 0},
      {"IFF ANIM of 2 frames", IffAnim(0), OpenAnim, 0},
  };
  for (const Claim& c : honest) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / "honest";
    WriteFile(path, c.file);
    EXPECT_EQ(c.load(path), c.want);
  }
}

TEST(FileClaims, SoundAndFontFilesHoldWhatTheyClaimOrAreRefused) {
  TempDir dir;
  // Sound data past the end of the file is not there: a sample holds the
  // frames the file really has.
  Bytes fmt;
  Le16(fmt, 1);
  Le16(fmt, 1);
  Le32(fmt, 8000);
  Le32(fmt, 16000);
  Le16(fmt, 2);
  Le16(fmt, 16);
  Bytes wave;
  Text(wave, "WAVE");
  Chunk(wave, "fmt ", fmt, false);
  Text(wave, "data");
  Le32(wave, 0x7FFFFFF0);
  wave.resize(wave.size() + 8, 1);
  Bytes riff;
  Chunk(riff, "RIFF", wave, false);
  Bytes vhdr(20, 0);
  vhdr[12] = 0x1F;  // 8000 Hz
  vhdr[13] = 0x40;
  vhdr[14] = 1;  // one octave
  Bytes svx;
  Chunk(svx, "VHDR", vhdr, true);
  Text(svx, "BODY");
  Be32(svx, 0x7FFFFFF0);
  svx.resize(svx.size() + 6, 1);
  struct {
    const char* name;
    Bytes file;
    uint32_t frames;
  } sounds[] = {{"WAVE claiming 2 GB of data, holding 4 frames", riff, 4},
                {"8SVX claiming 2 GB of body, holding 6 frames", Iff("8SVX", svx), 6}};
  for (const auto& c : sounds) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / "sound";
    WriteFile(path, c.file);
    TrackLargestAllocation(true);
    AudioDescriptor* sample = nullptr;
    ASSERT_EQ(LoadSoundFileAsSample(path.c_str(), nullptr, nullptr, &sample, nullptr, nullptr,
                                    nullptr, nullptr),
              0);
    EXPECT_EQ(sample->frames, c.frames);
    FreeAudioDescriptor(sample);
    EXPECT_LE(GetLargestAllocation(), kAllocationBound);
    TrackLargestAllocation(false);
  }
  // A module whose order list names 128 patterns but holds one.
  Bytes mod(1084 + 1024, 0);
  for (int i = 0; i < 128; i++) mod[952 + i] = static_cast<uint8_t>(i);
  mod[950] = 128;
  std::memcpy(mod.data() + 1080, "M.K.", 4);
  const std::string modPath = dir / "claim.mod";
  WriteFile(modPath, mod);
  int32_t what = 0;
  void* source = nullptr;
  EXPECT_EQ(OpenMusicStream(modPath.c_str(), nullptr, nullptr, 0, &what, &source, nullptr, nullptr,
                            nullptr),
            ERR_OPENSOUND2);

  // A bitmap font size file whose glyph strip (65535 bytes by 32767 rows)
  // and location table lie past its end.
  Bytes font(160, 0);
  font[50] = 0x0F;
  font[51] = 0x80;
  font[110] = 0x7F;  // height 32767
  font[111] = 0xFF;
  font[122] = 32;
  font[123] = 255;
  font[128] = 0xFF;  // modulo 65535
  font[129] = 0xFF;
  font[127] = 150;  // strip at 150
  font[133] = 150;  // locations at 150
  BitmapFontData data{};
  TrackLargestAllocation(true);
  EXPECT_EQ(ParseBitmapSizeFile(font.data(), font.size(), &data), 0);
  EXPECT_LE(GetLargestAllocation(), kAllocationBound);
  TrackLargestAllocation(false);

  // A TrueType table directory of 65535 tables in 12 bytes.
  ASSERT_EQ(InitTrueTypeEngine(), 0);
  const std::string ttf = dir / "claim.ttf";
  WriteFile(ttf, {0, 1, 0, 0, 0xFF, 0xFF, 0, 0x80, 0, 0x0F, 0, 0x70});
  FontRecord record{};
  EXPECT_EQ(OpenTrueTypeFont(ttf.c_str(), 12, 0, &record), 0);
  ShutdownTrueTypeEngine();
}

}  // namespace
