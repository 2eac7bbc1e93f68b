// AVI reading: ffmpeg's MJPEG frames equal djpeg's decode of the same
// packets and its frame count, raw DIB frames equal ffmpeg's decode,
// MJPEG frames without Huffman tables or with an "AVI1" header decode like
// their complete twins, absolute, movi-relative and missing indexes give the
// same frames, random access repeats, ffmpeg's files load every frame
// (top-down raw rows, and files that go on in further RIFF parts as ffmpeg
// writes them past its RIFF limit), and files the reader cannot play
// (non-PCM sound, an MPEG-4 video, malformed headers, more frames than the
// file holds) do not open.
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

// Frame i of the split-colour fixture: a top and a bottom half of their
// own colours, so that both the frame and its row order can be told.
uint32_t HalfColour(int32_t i, bool top) {
  const auto r = static_cast<uint32_t>(20 + 24 * i), g = top ? 200u : 40u,
             b = static_cast<uint32_t>(top ? 230 - 20 * i : 90 + 15 * i);
  return (r << 16) | (g << 8) | b;
}

uint32_t Get32(const std::vector<uint8_t>& v, size_t at) {
  return v[at] | (uint32_t{v[at + 1]} << 8) | (uint32_t{v[at + 2]} << 16) |
         (uint32_t{v[at + 3]} << 24);
}
void Put32(std::vector<uint8_t>& v, size_t at, uint64_t x) {
  for (int i = 0; i < 4; i++) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

struct ChunkAt {
  std::string id;
  size_t at;  // of the chunk header
  uint32_t size;
};
std::vector<ChunkAt> Children(const std::vector<uint8_t>& f, size_t from, size_t end) {
  std::vector<ChunkAt> out;
  while (from + 8 <= end) {
    out.push_back(
        {std::string(f.begin() + static_cast<long>(from), f.begin() + static_cast<long>(from + 4)),
         from, Get32(f, from + 4)});
    from += 8 + out.back().size + (out.back().size & 1);
  }
  return out;
}
bool IsList(const std::vector<uint8_t>& f, const ChunkAt& c, const char* type) {
  return c.id == "LIST" && std::memcmp(f.data() + c.at + 8, type, 4) == 0;
}

// ffmpeg's AVI relaid as ffmpeg lays out a file that outgrows its first
// RIFF chunk, in `parts` RIFF chunks ("AVI " then "AVIX"): the main header
// counts the first chunk's frames, an OpenDML header ("dmlh") all of them;
// the index space ffmpeg reserves (JUNK in the stream list and after it)
// holds the video stream's super index and the "odml" list; each movi list
// ends in its standard index ("ix00", offsets from its "movi"), and idx1
// covers the first chunk only.
std::vector<uint8_t> SplitIntoRiffParts(const std::vector<uint8_t>& f, size_t parts) {
  std::vector<uint8_t> hdrl, between, out;
  std::vector<std::vector<uint8_t>> frames;
  size_t indxAt = 0;  // in hdrl
  for (const ChunkAt& c : Children(f, 12, f.size())) {
    if (IsList(f, c, "hdrl")) {
      hdrl.assign(f.begin() + static_cast<long>(c.at),
                  f.begin() + static_cast<long>(c.at + 8 + c.size));
    } else if (IsList(f, c, "movi")) {
      for (const ChunkAt& d : Children(f, c.at + 12, c.at + 8 + c.size))
        frames.emplace_back(f.begin() + static_cast<long>(d.at + 8),
                            f.begin() + static_cast<long>(d.at + 8 + d.size));
    } else if (c.id != "idx1") {
      between.insert(between.end(), f.begin() + static_cast<long>(c.at),
                     f.begin() + static_cast<long>(c.at + 8 + c.size + (c.size & 1)));
    }
  }
  const size_t perPart = (frames.size() + parts - 1) / parts;
  for (const ChunkAt& c : Children(hdrl, 12, hdrl.size())) {
    if (c.id == "avih") Put32(hdrl, c.at + 8 + 16, perPart);
    if (c.id == "JUNK") {  // the odml list: "dmlh" with the total
      std::memcpy(hdrl.data() + c.at, "LIST", 4);
      std::memcpy(hdrl.data() + c.at + 8, "odmldmlh", 8);
      Put32(hdrl, c.at + 16, c.size - 12);
      Put32(hdrl, c.at + 20, frames.size());
    }
    if (IsList(hdrl, c, "strl"))
      for (const ChunkAt& d : Children(hdrl, c.at + 12, c.at + 8 + c.size))
        if (d.id == "JUNK") {  // the super index; entries filled below
          indxAt = d.at;
          std::memcpy(hdrl.data() + d.at, "indx", 4);
          std::vector<uint8_t> head = {4, 0, 0, 0};
          Le32(head, static_cast<uint32_t>(parts));
          Id(head, "00dc");
          std::copy(head.begin(), head.end(), hdrl.begin() + static_cast<long>(d.at + 8));
        }
  }
  EXPECT_NE(indxAt, 0u) << "ffmpeg reserved no index space";
  std::vector<uint8_t> idx1;
  for (size_t part = 0; part < parts; part++) {
    const size_t riff = out.size();
    Id(out, "RIFF");
    Le32(out, 0);
    Id(out, part ? "AVIX" : "AVI ");
    if (part == 0) {
      out.insert(out.end(), hdrl.begin(), hdrl.end());
      out.insert(out.end(), between.begin(), between.end());
    }
    const size_t movi = out.size();
    Id(out, "LIST");
    Le32(out, 0);
    Id(out, "movi");
    std::vector<uint8_t> ix;
    size_t n = 0;
    for (size_t i = part * perPart; i < frames.size() && i < (part + 1) * perPart; i++, n++) {
      Le32(ix, static_cast<uint32_t>(out.size() + 8 - (movi + 8)));
      Le32(ix, static_cast<uint32_t>(frames[i].size()));
      if (part == 0) {
        Id(idx1, "00dc");
        Le32(idx1, 0x10);
        Le32(idx1, static_cast<uint32_t>(out.size() - (movi + 8)));
        Le32(idx1, static_cast<uint32_t>(frames[i].size()));
      }
      Chunk(out, "00dc", frames[i]);
    }
    const size_t ixAt = out.size();
    std::vector<uint8_t> head = {2, 0, 0, 1};
    Le32(head, static_cast<uint32_t>(n));
    Id(head, "00dc");
    Le32(head, static_cast<uint32_t>(movi + 8));
    Le32(head, 0);
    Le32(head, 0);
    head.insert(head.end(), ix.begin(), ix.end());
    Chunk(out, "ix00", head);
    Put32(out, movi + 4, out.size() - movi - 8);
    if (part == 0) Chunk(out, "idx1", idx1);
    Put32(out, riff + 4, out.size() - riff - 8);
    // Super index entry: the standard index's offset, size and frames.
    const size_t e = 12 + indxAt + 8 + 24 + 16 * part;
    Put32(out, e, ixAt);
    Put32(out, e + 4, 0);
    Put32(out, e + 8, 8 + head.size());
    Put32(out, e + 12, n);
  }
  return out;
}

TEST(AnimAvi, FfmpegFilesLoadEveryFrameOfEveryRiffPartAndTopDownRows) {
  REQUIRE_TOOLS("ffmpeg");
  TempDir dir;
  const int32_t w = 32, h = 32, count = 9;
  for (int32_t i = 0; i < count; i++) {
    std::vector<uint32_t> picture(static_cast<size_t>(w) * h);
    for (size_t p = 0; p < picture.size(); p++) picture[p] = HalfColour(i, p < picture.size() / 2);
    char name[32];
    std::snprintf(name, sizeof name, "f%02d.ppm", i);
    WritePpm(dir / name, picture, w, h);
  }
  const std::string frames = "-framerate 10 -i '" + (dir / "f%02d.ppm") + "' ";
  // ffmpeg's own raw AVI stores the rows top-down (a negative height).
  const std::string mjpeg = Ffmpeg(dir, "m.avi", frames + "-c:v mjpeg -q:v 2");
  const std::string raw = Ffmpeg(dir, "r.avi", frames + "-c:v rawvideo -pix_fmt bgr24");
  struct {
    const char* name;
    std::string source;
    size_t parts;  // 0: ffmpeg's file as it is
    int32_t tolerance;
  } table[] = {{"mjpeg", mjpeg, 0, 6},
               {"mjpeg in three RIFF parts", mjpeg, 3, 6},
               {"raw top-down", raw, 0, 0},
               {"raw top-down in two RIFF parts", raw, 2, 0}};
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    std::string path = c.source;
    if (c.parts) {
      path = dir / "split.avi";
      WriteFile(path, SplitIntoRiffParts(ReadFile(c.source), c.parts));
    }
    AnimFrames a = ReadAnim(path);
    ASSERT_EQ(a.error, 0);
    EXPECT_EQ(a.count, count);
    ASSERT_EQ(a.frames.size(), static_cast<size_t>(count));
    auto near = [&](uint32_t got, uint32_t want) {
      for (int s = 0; s < 24; s += 8)
        if (std::abs(static_cast<int32_t>((got >> s) & 0xFF) -
                     static_cast<int32_t>((want >> s) & 0xFF)) > c.tolerance)
          return false;
      return true;
    };
    auto check = [&](const uint32_t* p, int32_t i) {
      // The middle of each half, away from the seam JPEG blurs.
      EXPECT_TRUE(near(p[static_cast<size_t>(4 * w + 7)], HalfColour(i, true)))
          << i << " top " << std::hex << p[4 * w + 7];
      EXPECT_TRUE(near(p[static_cast<size_t>(27 * w + 20)], HalfColour(i, false)))
          << i << " bottom " << std::hex << p[27 * w + 20];
    };
    for (int32_t i = 0; i < count; i++) check(a.frames[static_cast<size_t>(i)].data(), i);
    // Random access across the parts, through their indexes.
    AnimFile* anim = nullptr;
    int32_t fw, fh, n;
    ASSERT_EQ(OpenAnimFile(path.c_str(), nullptr, nullptr, 0, 0, &anim, &fw, &fh, &n, nullptr,
                           nullptr, nullptr),
              0);
    for (int32_t i : {8, 0, 5, 3, 7}) {
      uint32_t* p = GetAnimFileFrame(anim, i, 0, nullptr);
      ASSERT_NE(p, nullptr) << i;
      check(p, i);
      FreeAnimFileFrame(anim, p);
    }
    CloseAnimFile(anim);
  }
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
      // More frames than the file has room for, even as empty chunks.
      {"frames beyond the file", patched(32 + 16, {0xFF, 0xFF, 0xFF, 0x7F})},
  };
  for (const auto& c : openTable) {
    SCOPED_TRACE(c.name);
    WriteFile(path, c.file);
    EXPECT_EQ(ReadAnim(path).error, ERR_OPENANIM2);
  }
  AnimFile* anim = nullptr;
  int32_t w, h, count;

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
