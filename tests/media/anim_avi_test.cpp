// AVI reading: ffmpeg's MJPEG frames equal djpeg's decode of the same
// packets and its frame count, raw DIB frames equal ffmpeg's decode,
// MJPEG frames without Huffman tables or with an "AVI1" header decode like
// their complete twins, absolute, movi-relative and missing indexes give the
// same frames, random access repeats, and files the reader cannot play
// (non-PCM sound, an MPEG-4 video, malformed headers) do not open.
#include <cstring>

#include "media/anim_private.h"
#include "media/image_private.h"
#include "media/media.h"
#include "tests/media/anim_support.h"

using namespace imagetest;
using namespace animtest;

namespace {

constexpr char kTestSource[] = "-f lavfi -i testsrc=size=64x48:rate=10:duration=1";

std::string Ffmpeg(const TempDir& dir, const std::string& name, const std::string& options) {
  const std::string path = dir / name;
  Shell(std::string("ffmpeg -v error -y ") + options + " '" + path + "'");
  return path;
}

TEST(AnimAvi, MjpegFramesEqualDjpegOfTheirPackets) {
  REQUIRE_TOOLS("ffmpeg", "ffprobe", "djpeg");
  TempDir dir;
  const std::string path =
      Ffmpeg(dir, "m.avi",
             std::string(kTestSource) +
                 " -f lavfi -i sine=duration=1 -c:v mjpeg -c:a pcm_s16le -shortest");
  AnimFrames a = ReadAnim(path);
  ASSERT_EQ(a.error, 0);
  EXPECT_EQ(a.width, 64);
  EXPECT_EQ(a.height, 48);
  const int32_t counted = std::atoi(Shell("ffprobe -v error -count_frames -select_streams v "
                                          "-show_entries stream=nb_read_frames -of csv=p=0 '" +
                                          path + "'")
                                        .c_str());
  EXPECT_EQ(a.count, counted);
  ASSERT_EQ(static_cast<int32_t>(a.frames.size()), a.count);
  Shell("ffmpeg -v error -i '" + path + "' -map 0:v -c copy -f image2 -start_number 0 '" +
        (dir / "pk%03d.jpg") + "'");
  for (int32_t i = 0; i < a.count; i++) {
    char name[32];
    std::snprintf(name, sizeof name, "pk%03d.jpg", i);
    int32_t w = 0, h = 0;
    auto theirs = PnmWords(Shell("djpeg -pnm '" + (dir / name) + "'"), &w, &h);
    EXPECT_EQ(Rgb(a.frames[static_cast<size_t>(i)]), theirs) << i;
  }
  for (int32_t d : a.delays) EXPECT_EQ(d, 0);
}

TEST(AnimAvi, RawFramesEqualFfmpeg) {
  REQUIRE_TOOLS("ffmpeg");
  TempDir dir;
  const std::string path = Ffmpeg(
      dir, "r.avi",
      std::string(kTestSource) + " -vf vflip -c:v rawvideo -pix_fmt bgr24 -flipped_raw_rgb 1");
  AnimFrames a = ReadAnim(path);
  ASSERT_EQ(a.error, 0);
  auto theirs = FfmpegFrames(path, a.width, a.height);
  ASSERT_EQ(theirs.size(), 10u);
  ASSERT_EQ(a.frames.size(), theirs.size());
  for (size_t i = 0; i < theirs.size(); i++) EXPECT_EQ(Rgb(a.frames[i]), theirs[i]) << i;
}

TEST(AnimAvi, FilesItCannotPlayDoNotOpen) {
  REQUIRE_TOOLS("ffmpeg");
  TempDir dir;
  const std::string adpcm = Ffmpeg(
      dir, "a.avi",
      std::string(kTestSource) + " -f lavfi -i sine=duration=1 -c:v mjpeg -c:a adpcm_ima_wav");
  const std::string mpeg4 = Ffmpeg(dir, "v.avi", std::string(kTestSource) + " -c:v mpeg4");
  for (const std::string& path : {adpcm, mpeg4}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(ReadAnim(path).error, ERR_OPENANIM2);
  }
}

// An MJPEG AVI of our own: frames from our JPEG encoder, optionally without
// their DHT segments and with "AVI1" in place of "JFIF", and an idx1 with
// absolute or movi-relative offsets, or none.
enum IndexKind { INDEX_ABSOLUTE, INDEX_RELATIVE, INDEX_NONE };

void Le16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
void Le32(std::vector<uint8_t>& v, uint32_t x) {
  Le16(v, x);
  Le16(v, x >> 16);
}
void Id(std::vector<uint8_t>& v, const char* id) { v.insert(v.end(), id, id + 4); }
void Chunk(std::vector<uint8_t>& v, const char* id, const std::vector<uint8_t>& data) {
  Id(v, id);
  Le32(v, static_cast<uint32_t>(data.size()));
  v.insert(v.end(), data.begin(), data.end());
  if (data.size() & 1) v.push_back(0);
}

std::vector<uint8_t> EncodeFrame(int32_t w, int32_t h, uint32_t seed) {
  std::vector<uint32_t> pixels = TestPicture(w, h, seed);
  JpegEncodeRequest request{};
  request.pixels = pixels.data();
  request.bytesPerRow = static_cast<size_t>(w) * 4;
  request.width = w;
  request.height = h;
  request.quality = 90;
  EncodeJpegToMemory(&request);
  std::vector<uint8_t> out(request.data, request.data + request.length);
  FreeJpegBuffer(request.holder);
  return out;
}

// The JPEG without its DHT segments, and its APP0 named "AVI1".
std::vector<uint8_t> StripTables(const std::vector<uint8_t>& jpeg) {
  std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
  size_t i = 2;
  while (i + 4 <= jpeg.size()) {
    const uint8_t marker = jpeg[i + 1];
    const size_t length = (size_t{jpeg[i + 2]} << 8) | jpeg[i + 3];
    if (marker == 0xDA) break;
    if (marker != 0xC4) out.insert(out.end(), jpeg.begin() + i, jpeg.begin() + i + 2 + length);
    i += 2 + length;
  }
  out.insert(out.end(), jpeg.begin() + static_cast<long>(i), jpeg.end());
  if (std::memcmp(out.data() + 6, "JFIF", 4) == 0) std::memcpy(out.data() + 6, "AVI1", 4);
  return out;
}

std::vector<uint8_t> MjpegAvi(const std::vector<std::vector<uint8_t>>& frames, int32_t w, int32_t h,
                              IndexKind index) {
  std::vector<uint8_t> hdrl;
  Id(hdrl, "hdrl");
  std::vector<uint8_t> avih;
  for (uint32_t v : {100000u, 0u, 0u, 0x10u, static_cast<uint32_t>(frames.size()), 0u, 1u, 0u,
                     static_cast<uint32_t>(w), static_cast<uint32_t>(h), 0u, 0u, 0u, 0u})
    Le32(avih, v);
  Chunk(hdrl, "avih", avih);
  std::vector<uint8_t> strl;
  Id(strl, "strl");
  std::vector<uint8_t> strh;
  Id(strh, "vids");
  Id(strh, "MJPG");
  strh.resize(56, 0);
  Chunk(strl, "strh", strh);
  std::vector<uint8_t> strf;
  for (uint32_t v : {40u, static_cast<uint32_t>(w), static_cast<uint32_t>(h)}) Le32(strf, v);
  Le16(strf, 1);
  Le16(strf, 24);
  Id(strf, "MJPG");
  strf.resize(40, 0);
  Chunk(strl, "strf", strf);
  Chunk(hdrl, "LIST", strl);

  std::vector<uint8_t> movi;
  Id(movi, "movi");
  std::vector<uint32_t> offsets;
  for (const auto& f : frames) {
    offsets.push_back(static_cast<uint32_t>(movi.size()));
    Chunk(movi, "00dc", f);
  }
  std::vector<uint8_t> body;
  Id(body, "AVI ");
  Chunk(body, "LIST", hdrl);
  const uint32_t moviStart = 8 + static_cast<uint32_t>(body.size()) + 8;  // at "movi"
  Chunk(body, "LIST", movi);
  if (index != INDEX_NONE) {
    std::vector<uint8_t> idx1;
    for (size_t i = 0; i < frames.size(); i++) {
      Id(idx1, "00dc");
      Le32(idx1, 0x10);
      Le32(idx1, index == INDEX_ABSOLUTE ? moviStart + offsets[i] : offsets[i]);
      Le32(idx1, static_cast<uint32_t>(frames[i].size()));
    }
    Chunk(body, "idx1", idx1);
  }
  std::vector<uint8_t> file;
  Chunk(file, "RIFF", body);
  return file;
}

TEST(AnimAvi, TablesHeadersAndIndexesGiveTheSameFrames) {
  std::vector<std::vector<uint8_t>> full, stripped;
  for (uint32_t i = 0; i < 7; i++) {
    full.push_back(EncodeFrame(64, 48, i));
    stripped.push_back(StripTables(full.back()));
    ASSERT_LT(stripped.back().size(), full.back().size());
  }
  std::vector<std::vector<uint32_t>> reference;
  for (const auto& f : full) {
    int32_t w, h;
    uint32_t* p = nullptr;
    ASSERT_EQ(DecodeJpegImage(nullptr, f.data(), f.size(), 0, 0, &w, &h, &p), 0);
    reference.emplace_back(p, p + static_cast<size_t>(w) * h);
    FreeMemory(p);
  }
  TempDir dir;
  struct {
    const char* name;
    const std::vector<std::vector<uint8_t>>* frames;
    IndexKind index;
  } table[] = {{"absolute index", &full, INDEX_ABSOLUTE},
               {"relative index", &full, INDEX_RELATIVE},
               {"no index", &full, INDEX_NONE},
               {"no tables, AVI1", &stripped, INDEX_ABSOLUTE},
               {"no tables, relative index", &stripped, INDEX_RELATIVE}};
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / "t.avi";
    WriteFile(path, MjpegAvi(*c.frames, 64, 48, c.index));
    AnimFrames a = ReadAnim(path);
    ASSERT_EQ(a.error, 0);
    ASSERT_EQ(a.frames.size(), reference.size());
    for (size_t i = 0; i < reference.size(); i++) EXPECT_EQ(a.frames[i], reference[i]) << i;
    // Random access, forwards and back, and the same frame twice.
    AnimFile* anim = nullptr;
    int32_t w, h, count;
    ASSERT_EQ(OpenAnimFile(path.c_str(), nullptr, nullptr, 0, 0, &anim, &w, &h, &count, nullptr,
                           nullptr, nullptr),
              0);
    for (int32_t i : {5, 5, 2, 6, 0, 5, 3, 3}) {
      uint32_t* p = GetAnimFileFrame(anim, i, 0, nullptr);
      ASSERT_NE(p, nullptr) << i;
      EXPECT_EQ(std::vector<uint32_t>(p, p + reference[0].size()), reference[i]) << i;
      FreeAnimFileFrame(anim, p);
    }
    EXPECT_EQ(GetAnimFileFrame(anim, 7, 0, nullptr), nullptr);
    CloseAnimFile(anim);
  }
}

TEST(AnimAvi, MalformedFilesAndFramesAreRefused) {
  std::vector<std::vector<uint8_t>> frames = {EncodeFrame(16, 16, 1), EncodeFrame(16, 16, 2)};
  TempDir dir;
  const std::string path = dir / "t.avi";
  auto patched = [&](size_t at, std::vector<uint8_t> bytes, IndexKind index = INDEX_ABSOLUTE) {
    std::vector<uint8_t> f = MjpegAvi(frames, 16, 16, index);
    std::copy(bytes.begin(), bytes.end(), f.begin() + static_cast<long>(at));
    return f;
  };
  // avih fields start at byte 32, the strh handler at 112, the strf width at 176.
  struct {
    const char* name;
    std::vector<uint8_t> file;
  } openTable[] = {
      {"no frames", patched(32 + 16, {0, 0, 0, 0})},
      {"17 streams", patched(32 + 24, {17, 0, 0, 0})},
      {"width 0", patched(32 + 32, {0, 0, 0, 0})},
      {"huge height", patched(32 + 36, {0xFF, 0xFF, 0xFF, 0x7F})},
      {"strf width differs", patched(176, {17, 0, 0, 0})},
      {"unknown handler", patched(112, {'H', '2', '6', '4'})},
  };
  for (const auto& c : openTable) {
    SCOPED_TRACE(c.name);
    WriteFile(path, c.file);
    EXPECT_EQ(ReadAnim(path).error, ERR_OPENANIM2);
  }
  // A huge frame count in avih allocates no index of that size: it is
  // bounded by the entries of the idx1 chunk, and the frames still decode.
  WriteFile(path, patched(32 + 16, {0xFF, 0xFF, 0xFF, 0x7F}));
  AnimFile* anim = nullptr;
  int32_t w, h, count;
  ASSERT_EQ(OpenAnimFile(path.c_str(), nullptr, nullptr, 0, 0, &anim, &w, &h, &count, nullptr,
                         nullptr, nullptr),
            0);
  EXPECT_EQ(count, INT32_MAX);
  for (int32_t i : {1, 0}) {
    uint32_t* p = GetAnimFileFrame(anim, i, 0, nullptr);
    EXPECT_NE(p, nullptr) << i;
    FreeAnimFileFrame(anim, p);
  }
  CloseAnimFile(anim);

  // Segment lengths below 2 or running past the chunk fail the frame.
  struct {
    const char* name;
    size_t at;  // inside the first frame's JPEG
    std::vector<uint8_t> bytes;
  } frameTable[] = {{"APP0 length 1", 4, {0, 1}},
                    {"APP0 past the chunk", 4, {0xFF, 0xF0}},
                    {"no SOI", 0, {0xFF, 0xD9}}};
  for (const auto& c : frameTable) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<uint8_t>> broken = frames;
    std::copy(c.bytes.begin(), c.bytes.end(), broken[0].begin() + static_cast<long>(c.at));
    WriteFile(path, MjpegAvi(broken, 16, 16, INDEX_NONE));
    AnimFrames a = ReadAnim(path);
    ASSERT_EQ(a.error, 0);
    EXPECT_TRUE(a.frames.empty());
    // The second frame is still there.
    ASSERT_EQ(OpenAnimFile(path.c_str(), nullptr, nullptr, 0, 0, &anim, &w, &h, &count, nullptr,
                           nullptr, nullptr),
              0);
    EXPECT_EQ(GetAnimFileFrame(anim, 0, 0, nullptr), nullptr);
    uint32_t* p = GetAnimFileFrame(anim, 1, 0, nullptr);
    EXPECT_NE(p, nullptr);
    FreeAnimFileFrame(anim, p);
    CloseAnimFile(anim);
  }
}

}  // namespace
