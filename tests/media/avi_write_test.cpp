// The AVI writer against ffprobe and ffmpeg and a small RIFF structure
// walker: stream formats and rates, the video chunks' bytes against our own
// JPEG encoder, the silent audio track, header fields, the OpenDML index
// segments and "AVIX" chunks of long files, and every failure path.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "gfx/gfx.h"
#include "media/anim_private.h"
#include "media/image_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "tests/media/image_support.h"

using namespace imagetest;

namespace {

constexpr int32_t QUALITY = 90;

// A w x h bitmap whose pixels depend on seed, so that frames differ.
OwnedBitmap Frame(int32_t w, int32_t h, uint32_t seed) {
  OwnedBitmap b(AllocBitmap(w, h, 0, nullptr));
  auto* p = reinterpret_cast<uint32_t*>(GetBitmapAttr(b.get(), 23));
  auto row = static_cast<int32_t>(GetBitmapAttr(b.get(), 13));
  for (int32_t y = 0; y < h; y++)
    for (int32_t x = 0; x < w; x++)
      p[y * row + x] = 0xFF000000u | ((x * 37 + seed * 91) & 0xFF) << 16 |
                       ((y * 53 + seed * 17) & 0xFF) << 8 | ((x * y + seed * 29) & 0xFF);
  return b;
}

// Our encoder's JPEG of the bitmap, as the writer must store it.
std::vector<uint8_t> Expected(BitmapHandle* b, int32_t w, int32_t h) {
  JpegEncodeRequest r{};
  r.pixels = reinterpret_cast<const void*>(GetBitmapAttr(b, 23));
  r.bytesPerRow = static_cast<size_t>(GetBitmapAttr(b, 13)) * 4;
  r.width = w;
  r.height = h;
  r.quality = QUALITY;
  EncodeJpegToMemory(&r);
  EXPECT_EQ(r.result, 0);
  std::vector<uint8_t> out(r.data, r.data + r.length);
  FreeJpegBuffer(r.holder);
  memcpy(out.data() + 6, "AVI1", 4);
  return out;
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint64_t Le64(const std::vector<uint8_t>& b, size_t at) {
  return Le32(b, at) | static_cast<uint64_t>(Le32(b, at + 4)) << 32;
}

struct Chunk {
  std::string id;  // for RIFF and LIST: the id and the type, "LIST:hdrl"
  size_t at;       // of the chunk header
  uint32_t size;
};

// Walks chunks between start and end into out, descending into RIFF and
// LIST; false when a size runs past its parent.
bool Walk(const std::vector<uint8_t>& b, size_t start, size_t end, std::vector<Chunk>* out) {
  size_t pos = start;
  while (pos + 8 <= end) {
    std::string id(reinterpret_cast<const char*>(&b[pos]), 4);
    uint32_t size = Le32(b, pos + 4);
    if (pos + 8 + size > end) return false;
    if (id == "RIFF" || id == "LIST") {
      out->push_back(
          {id + ":" + std::string(reinterpret_cast<const char*>(&b[pos + 8]), 4), pos, size});
      if (!Walk(b, pos + 12, pos + 8 + size, out)) return false;
    } else {
      out->push_back({id, pos, size});
    }
    pos += 8 + size + (size & 1);
  }
  return pos == end;
}

std::vector<Chunk> All(const std::vector<Chunk>& chunks, const std::string& id) {
  std::vector<Chunk> out;
  for (const auto& c : chunks)
    if (c.id == id) out.push_back(c);
  return out;
}

// ffprobe's stream entries, one map per stream.
std::vector<std::map<std::string, std::string>> Probe(const std::string& file) {
  std::string out = Shell(
      "ffprobe -v error -count_frames -show_entries "
      "stream=codec_name,codec_tag_string,width,height,avg_frame_rate,nb_read_frames,sample_rate,"
      "channels -of compact=p=0 '" +
      file + "'");
  std::vector<std::map<std::string, std::string>> streams;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::map<std::string, std::string> entries;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '|')) {
      size_t eq = field.find('=');
      if (eq != std::string::npos) entries[field.substr(0, eq)] = field.substr(eq + 1);
    }
    streams.push_back(entries);
  }
  return streams;
}

std::string Decode(const std::string& file) {
  return Shell("ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1");
}

// The temporary directory of the run, checked for left-over index files.
class AviWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is missing";
    SetTempDirectory(tmp.path().c_str());
  }
  void TearDown() override {
    SetTempDirectory(nullptr);
    SetAviRiffLimits(0, 0);
  }
  int LeftOverTempFiles() {
    int n = 0;
    DIR* d = opendir(tmp.path().c_str());
    while (dirent* e = d ? readdir(d) : nullptr)
      if (strncmp(e->d_name, "quillmere.", 10) == 0) n++;
    if (d) closedir(d);
    return n;
  }
  TempDir dir, tmp;
};

TEST_F(AviWriterTest, StreamsChunksAndHeadersAtEachRate) {
  constexpr int32_t W = 17, H = 9, N = 4;
  struct Case {
    int32_t fps;
    const char* frameRate;
    const char* sampleRate;
    uint32_t samplesPerFrame;
  } cases[] = {
      {1, "1/1", "44100", 44100},
      {7, "1000000/142857", "44100", 6300},
      {11, "1000000/90909", "44099", 4009},
      {25, "25/1", "44100", 1764},
  };
  int oddChunks = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fps);
    std::string file = dir / ("r" + std::to_string(c.fps) + ".avi");
    AviWriter* w = nullptr;
    ASSERT_EQ(AviWriteHeader(file.c_str(), c.fps, 1, W, H, QUALITY, 0, 0, "Title", 0, &w), 0);
    std::vector<std::vector<uint8_t>> jpegs;
    for (uint32_t i = 0; i < N; i++) {
      OwnedBitmap b = Frame(W, H, i + static_cast<uint32_t>(c.fps));
      jpegs.push_back(Expected(b.get(), W, H));
      ASSERT_EQ(AviWriteVideoFrame(w, b.get(), W, H, 1, 0), 0);
    }
    TimeValue clock = GetAviWriterClock(w);
    uint64_t micros = static_cast<uint64_t>(clock.seconds) * 1000000 + clock.micros;
    EXPECT_EQ(micros, N * static_cast<uint64_t>(1000000 / c.fps));
    ASSERT_EQ(AviFinish(w), 0);
    EXPECT_EQ(LeftOverTempFiles(), 0);

    auto streams = Probe(file);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0]["codec_name"], "pcm_s16le");
    EXPECT_EQ(streams[0]["sample_rate"], c.sampleRate);
    EXPECT_EQ(streams[0]["channels"], "2");
    EXPECT_EQ(streams[1]["codec_name"], "mjpeg");
    EXPECT_EQ(streams[1]["codec_tag_string"], "MJPG");
    EXPECT_EQ(streams[1]["width"], std::to_string(W));
    EXPECT_EQ(streams[1]["height"], std::to_string(H));
    EXPECT_EQ(streams[1]["avg_frame_rate"], c.frameRate);
    EXPECT_EQ(streams[1]["nb_read_frames"], std::to_string(N));
    EXPECT_EQ(Decode(file), "");

    std::vector<uint8_t> b = ReadFile(file);
    // The packets ffprobe finds hold our encoder's JPEGs.
    std::string packets = Shell(
        "ffprobe -v error -select_streams v -show_entries packet=pos,size "
        "-of compact=p=0 '" +
        file + "'");
    std::istringstream lines(packets);
    std::string line;
    size_t n = 0;
    while (std::getline(lines, line)) {
      size_t sizeAt = line.find("size="), posAt = line.find("pos=");
      ASSERT_TRUE(sizeAt != std::string::npos && posAt != std::string::npos) << line;
      size_t size = std::stoul(line.substr(sizeAt + 5)), pos = std::stoul(line.substr(posAt + 4));
      if (memcmp(&b[pos], "01dc", 4) == 0) pos += 8;
      ASSERT_LT(n, jpegs.size());
      ASSERT_EQ(size, jpegs[n].size());
      EXPECT_EQ(std::vector<uint8_t>(b.begin() + pos, b.begin() + pos + size), jpegs[n]);
      EXPECT_EQ(memcmp(&b[pos + 6], "AVI1", 4), 0);
      n++;
    }
    EXPECT_EQ(n, static_cast<size_t>(N));

    std::vector<Chunk> chunks;
    ASSERT_TRUE(Walk(b, 0, b.size(), &chunks));
    for (const auto& v : All(chunks, "01dc")) {
      if (v.size & 1) {
        oddChunks++;
        EXPECT_EQ(b[v.at + 8 + v.size], 0);
      }
    }
    auto audio = All(chunks, "00wb");
    ASSERT_EQ(audio.size(), static_cast<size_t>(N));
    for (const auto& a : audio) {
      ASSERT_EQ(a.size, c.samplesPerFrame * 4);
      EXPECT_TRUE(std::all_of(b.begin() + a.at + 8, b.begin() + a.at + 8 + a.size,
                              [](uint8_t v) { return v == 0; }));
    }
    auto hdrl = All(chunks, "LIST:hdrl");
    ASSERT_EQ(hdrl.size(), 1u);
    EXPECT_EQ(hdrl[0].size, 33272u + 6 + 30);  // "Title" and the software text
    auto avih = All(chunks, "avih");
    ASSERT_EQ(avih.size(), 1u);
    EXPECT_EQ(Le32(b, avih[0].at + 8), 1000000u / c.fps);
    EXPECT_EQ(Le32(b, avih[0].at + 8 + 12), 16u);
    EXPECT_EQ(Le32(b, avih[0].at + 8 + 16), static_cast<uint32_t>(N));
    auto strh = All(chunks, "strh");
    ASSERT_EQ(strh.size(), 2u);
    auto field = [&](const Chunk& s, int word) { return Le32(b, s.at + 8 + 4 * word); };
    EXPECT_EQ(field(strh[0], 5), 4u);  // audio scale and rate
    EXPECT_EQ(field(strh[0], 6), 4u * std::stoul(c.sampleRate));
    EXPECT_EQ(field(strh[0], 8), N * c.samplesPerFrame);  // length in samples
    EXPECT_EQ(field(strh[1], 5), 1000000u / c.fps);       // video scale and rate
    EXPECT_EQ(field(strh[1], 6), 1000000u);
    EXPECT_EQ(field(strh[1], 8), static_cast<uint32_t>(N));
    auto comment = All(chunks, "ICMT");
    ASSERT_EQ(comment.size(), 1u);
    EXPECT_EQ(comment[0].size, 152u);
    EXPECT_EQ(strlen(reinterpret_cast<const char*>(&b[comment[0].at + 8])), 151u);
  }
  EXPECT_GT(oddChunks, 0) << "no JPEG of odd size was written; change the frames";
}

// Checks that every entry of a standard index names a chunk of its stream
// with the recorded size.
void CheckStandardIndex(const std::vector<uint8_t>& b, const Chunk& ix, const char* chunkId,
                        uint32_t* entries) {
  *entries = Le32(b, ix.at + 8 + 4);
  uint64_t base = Le64(b, ix.at + 8 + 12);
  for (uint32_t i = 0; i < *entries; i++) {
    size_t at = ix.at + 8 + 24 + 8 * i;
    uint64_t data = base + Le32(b, at);
    ASSERT_EQ(memcmp(&b[data - 8], chunkId, 4), 0) << i;
    ASSERT_EQ(Le32(b, data - 4), Le32(b, at + 4)) << i;
  }
}

TEST_F(AviWriterTest, IndexSegmentsOfALongFile) {
  constexpr int32_t W = 8, H = 8, N = 2100;
  std::string file = dir / "long.avi";
  AviWriter* w = nullptr;
  ASSERT_EQ(AviWriteHeader(file.c_str(), 1000, 1, W, H, 50, 0, 0, "long", 0, &w), 0);
  OwnedBitmap frame = Frame(W, H, 3);
  ASSERT_EQ(AviWriteVideoFrame(w, frame.get(), W, H, 1, 0), 0);
  for (int i = 1; i < N; i++) ASSERT_EQ(AviWriteVideoFrame(w, nullptr, W, H, 1, 0), 0) << i;
  ASSERT_EQ(AviFinish(w), 0);

  std::vector<uint8_t> b = ReadFile(file);
  std::vector<Chunk> chunks;
  ASSERT_TRUE(Walk(b, 0, b.size(), &chunks));
  struct {
    const char* ix;
    const char* chunkId;
  } streams[] = {{"ix00", "00wb"}, {"ix01", "01dc"}};
  for (const auto& s : streams) {
    auto ix = All(chunks, s.ix);
    ASSERT_EQ(ix.size(), 2u) << s.ix;
    uint32_t first = 0, second = 0;
    CheckStandardIndex(b, ix[0], s.chunkId, &first);
    CheckStandardIndex(b, ix[1], s.chunkId, &second);
    EXPECT_EQ(first, 2044u);
    EXPECT_EQ(second, 56u);
  }
  auto indx = All(chunks, "indx");
  ASSERT_EQ(indx.size(), 2u);
  for (const auto& x : indx) {
    EXPECT_EQ(Le32(b, x.at + 8 + 4), 2u);
    EXPECT_EQ(Le32(b, x.at + 8 + 24 + 12 + 16), 56u * (x.at == indx[0].at ? 44 : 1));
  }
  auto idx1 = All(chunks, "idx1");
  ASSERT_EQ(idx1.size(), 1u);
  EXPECT_EQ(idx1[0].size / 16, 2u * N);
  auto streamsProbed = Probe(file);
  ASSERT_EQ(streamsProbed.size(), 2u);
  EXPECT_EQ(streamsProbed[1]["nb_read_frames"], std::to_string(N));
  EXPECT_EQ(Decode(file), "");
}

TEST_F(AviWriterTest, LoweredRiffLimitContinuesInAvixChunks) {
  constexpr int32_t W = 16, H = 16, N = 300;
  SetAviRiffLimits(80000, 60000);  // past the headers and index pairs
  std::string file = dir / "avix.avi";
  AviWriter* w = nullptr;
  ASSERT_EQ(AviWriteHeader(file.c_str(), 1000, 1, W, H, QUALITY, 0, 0, "avix", 0, &w), 0);
  for (uint32_t i = 0; i < N; i++) {
    OwnedBitmap frame = Frame(W, H, i);
    ASSERT_EQ(AviWriteVideoFrame(w, frame.get(), W, H, 1, 0), 0) << i;
  }
  ASSERT_EQ(AviFinish(w), 0);
  std::vector<uint8_t> b = ReadFile(file);
  std::vector<Chunk> chunks;
  ASSERT_TRUE(Walk(b, 0, b.size(), &chunks));
  size_t avix = All(chunks, "RIFF:AVIX").size();
  EXPECT_GT(avix, 2u);
  EXPECT_EQ(All(chunks, "LIST:movi").size(), avix + 1);
  EXPECT_EQ(All(chunks, "idx1").size(), 1u);
  EXPECT_EQ(All(chunks, "ix01").size(), avix + 1);  // one segment per RIFF chunk
  // Every segment's standard indexes hold its frames, also those closed
  // by the start of a new RIFF chunk.
  for (const auto& [ix, chunkId] : {std::pair{"ix00", "00wb"}, std::pair{"ix01", "01dc"}}) {
    SCOPED_TRACE(ix);
    uint32_t total = 0;
    for (const Chunk& c : All(chunks, ix)) {
      uint32_t entries = 0;
      CheckStandardIndex(b, c, chunkId, &entries);
      EXPECT_GT(entries, 0u);
      total += entries;
    }
    EXPECT_EQ(total, uint32_t(N));
  }
  auto streams = Probe(file);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[1]["nb_read_frames"], std::to_string(N));
  EXPECT_EQ(Decode(file), "");
}

// With a later RIFF limit of one byte every frame after the first chunk
// opens an "AVIX" chunk and so a segment; once the super indexes hold
// 1,022 segments, the next frame is refused and the file still finishes
// with every frame written.
TEST_F(AviWriterTest, FullSuperIndexesRefuseTheNextFrame) {
  constexpr int32_t W = 8, H = 8, SEGMENTS = 1022;
  SetAviRiffLimits(80000, 1);  // the first chunk holds a few frames
  std::string file = dir / "full.avi";
  AviWriter* w = nullptr;
  ASSERT_EQ(AviWriteHeader(file.c_str(), 25, 1, W, H, QUALITY, 0, 0, "", 0, &w), 0);
  OwnedBitmap frame = Frame(W, H, 3);
  int32_t written = 0;
  ErrorCode refused = ERR_NONE;
  while (written < 2 * SEGMENTS && !refused)
    if (!(refused = AviWriteVideoFrame(w, frame.get(), W, H, 1, 0))) written++;
  EXPECT_EQ(refused, ERR_WRONGUSAGE);
  EXPECT_EQ(AviWriteVideoFrame(w, frame.get(), W, H, 1, 0), ERR_WRONGUSAGE);
  ASSERT_EQ(AviFinish(w), 0);
  EXPECT_EQ(LeftOverTempFiles(), 0);
  std::vector<uint8_t> b = ReadFile(file);
  std::vector<Chunk> chunks;
  ASSERT_TRUE(Walk(b, 0, b.size(), &chunks));
  EXPECT_EQ(All(chunks, "RIFF:AVIX").size(), size_t(SEGMENTS - 1));
  EXPECT_GT(written, SEGMENTS);
  auto indexes = All(chunks, "indx");
  ASSERT_EQ(indexes.size(), 2u);
  for (const Chunk& c : indexes) EXPECT_EQ(Le32(b, c.at + 8 + 4), uint32_t(SEGMENTS));  // in use
  auto streams = Probe(file);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[1]["nb_read_frames"], std::to_string(written));
}

TEST_F(AviWriterTest, FailuresAreReportedAndLeaveNoTemporaryFile) {
  OwnedBitmap frame = Frame(8, 8, 1);
  AviWriter* w = nullptr;
  // Frame rates whose duration cannot be divided by.
  for (int32_t fps : {0, -3, 1000001}) {
    EXPECT_EQ(AviWriteHeader((dir / "x.avi").c_str(), fps, 1, 8, 8, 90, 0, 0, "", 0, &w),
              ERR_WRONGUSAGE)
        << fps;
    EXPECT_EQ(w, nullptr);
  }
  // A full device: reported at the frame or at the latest by the finish.
  ASSERT_EQ(AviWriteHeader("/dev/full", 25, 1, 8, 8, 90, 0, 0, "", 0, &w), 0);
  ErrorCode atFrame = AviWriteVideoFrame(w, frame.get(), 8, 8, 1, 0);
  ErrorCode atFinish = AviFinish(w);
  EXPECT_TRUE(atFrame == 0 || atFrame == ERR_WRITE) << atFrame;
  EXPECT_TRUE(atFinish == ERR_WRITE || atFinish == ERR_CLOSEFILE) << atFinish;
  EXPECT_EQ(LeftOverTempFiles(), 0);

  // A file that cannot be created names itself.
  EXPECT_EQ(AviWriteHeader((dir / "no/x.avi").c_str(), 25, 1, 8, 8, 90, 0, 0, "", 0, &w),
            ERR_WRITEFILE);
  EXPECT_EQ(std::string(GetErrorArgString()), dir / "no/x.avi");
  EXPECT_EQ(LeftOverTempFiles(), 0);
  // A missing temporary directory.
  SetTempDirectory((tmp / "missing").c_str());
  EXPECT_EQ(AviWriteHeader((dir / "x.avi").c_str(), 25, 1, 8, 8, 90, 0, 0, "", 0, &w),
            ERR_WRITEFILE);
  SetTempDirectory(tmp.path().c_str());

  // A frame that fails to encode is refused; the file finished after it
  // is valid and holds the frames written before.
  std::string file = dir / "abandoned.avi";
  ASSERT_EQ(AviWriteHeader(file.c_str(), 25, 1, 8, 8, 90, 0, 0, "", 0, &w), 0);
  ASSERT_EQ(AviWriteVideoFrame(w, frame.get(), 8, 8, 1, 0), 0);
  ASSERT_EQ(AviWriteVideoFrame(w, frame.get(), 8, 8, 1, 0), 0);
  SetAllocFailure(1, true);
  ErrorCode failed = AviWriteVideoFrame(w, frame.get(), 8, 8, 1, 0);
  SetAllocFailure(0, false);
  EXPECT_EQ(failed, ERR_MEM);
  ASSERT_EQ(AviFinish(w), 0);
  EXPECT_EQ(LeftOverTempFiles(), 0);
  auto streams = Probe(file);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[1]["nb_read_frames"], "2");
  EXPECT_EQ(Decode(file), "");
}

TEST_F(AviWriterTest, FramesOfAnotherSizeAreScaled) {
  std::string file = dir / "scaled.avi";
  AviWriter* w = nullptr;
  ASSERT_EQ(AviWriteHeader(file.c_str(), 25, 1, 20, 10, QUALITY, 0, 0, "", 0, &w), 0);
  OwnedBitmap small = Frame(5, 5, 2);
  ASSERT_EQ(AviWriteVideoFrame(w, small.get(), 5, 5, 1, 0), 0);
  ASSERT_EQ(AviFinish(w), 0);
  auto streams = Probe(file);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[1]["width"], "20");
  EXPECT_EQ(streams[1]["height"], "10");
  EXPECT_EQ(streams[1]["nb_read_frames"], "1");
}

}  // namespace
