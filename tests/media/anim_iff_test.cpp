// IFF ANIM reading: every fixture of the generator decodes to the frames it
// encoded (delta methods 5, 7, 8, 100 and 101, XOR deltas, interlaced
// anims woven and doubled, CMAP changes, extra-half-brite, HAM and the
// transparent colour), the 16-bit method 5, 7 and 8 anims equal ffmpeg's
// frames and packet durations, stepping back replays only the deltas it
// needs, and deltas or headers that reach outside their chunk or planes
// are refused.
#include <fstream>
#include <sstream>

#include "media/anim_private.h"
#include "media/media.h"
#include "platform/linux/system_private.h"
#include "tests/media/anim_support.h"

using namespace imagetest;
using namespace animtest;

namespace {

struct Case {
  std::string name, file, frames;
  int32_t width = 0, height = 0, count = 0, deinterlace = 0, loadTransparency = 0, ffmpeg = 0;
  std::vector<int32_t> delays;
};

// Runs the generator once per test program.
class IffAnim : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    bool ok = false;
    Shell("python3 '" QM_SOURCE_DIR "/tests/media/make_iffanim.py' '" + dir->path() + "'", &ok);
    std::ifstream in(*dir / "cases.txt");
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream s(line);
      Case c;
      s >> c.name >> c.file >> c.frames >> c.width >> c.height >> c.count >> c.deinterlace >>
          c.loadTransparency >> c.ffmpeg;
      int32_t d;
      while (s >> d) c.delays.push_back(d);
      cases->push_back(c);
    }
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
    cases->clear();
  }
  void SetUp() override { ASSERT_FALSE(cases->empty()) << "the generator wrote no cases"; }

  static TempDir* dir;
  static std::vector<Case>* cases;
};
TempDir* IffAnim::dir = nullptr;
std::vector<Case>* IffAnim::cases = new std::vector<Case>;

std::vector<uint32_t> FileWords(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFile(path);
  std::vector<uint32_t> words(bytes.size() / 4);
  for (size_t i = 0; i < words.size(); i++)
    words[i] = bytes[4 * i] | (uint32_t{bytes[4 * i + 1]} << 8) |
               (uint32_t{bytes[4 * i + 2]} << 16) | (uint32_t{bytes[4 * i + 3]} << 24);
  return words;
}

TEST_F(IffAnim, FramesEqualTheGenerators) {
  for (const Case& c : *cases) {
    SCOPED_TRACE(c.name);
    AnimFrames a = ReadAnim(*dir / c.file, c.deinterlace, c.loadTransparency);
    ASSERT_EQ(a.error, 0);
    EXPECT_EQ(a.width, c.width);
    EXPECT_EQ(a.height, c.height);
    ASSERT_EQ(a.count, c.count);
    auto expected =
        SplitFrames(FileWords(*dir / c.frames), static_cast<size_t>(c.width) * c.height);
    ASSERT_EQ(a.frames.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) EXPECT_EQ(a.frames[i], expected[i]) << i;
    EXPECT_EQ(a.delays, c.delays);
    for (int32_t t : a.transparency) EXPECT_EQ(t, c.loadTransparency);
  }
}

TEST_F(IffAnim, WordMethodsEqualFfmpeg) {
  REQUIRE_TOOLS("ffmpeg", "ffprobe");
  int compared = 0;
  for (const Case& c : *cases) {
    if (!c.ffmpeg) continue;
    SCOPED_TRACE(c.name);
    const std::string path = *dir / c.file;
    AnimFrames a = ReadAnim(path);
    ASSERT_EQ(a.error, 0);
    auto theirs = FfmpegFrames(path, a.width, a.height);
    ASSERT_EQ(theirs.size(), a.frames.size());
    for (size_t i = 0; i < theirs.size(); i++) EXPECT_EQ(Rgb(a.frames[i]), theirs[i]) << i;
    // Packet k's duration is how long frame k - 1 stays.
    std::istringstream durations(
        Shell("ffprobe -v error -select_streams v -show_entries "
              "packet=duration_time -of csv=p=0 '" +
              path + "'"));
    std::string line;
    for (int32_t k = 0; std::getline(durations, line); k++) {
      if (k == 0 || k > a.count - 1) continue;
      EXPECT_EQ(a.delays[k - 1], static_cast<int32_t>(std::stod(line) * 1000 + 0.5)) << k;
    }
    compared++;
  }
  EXPECT_EQ(compared, 3);
}

TEST_F(IffAnim, SteppingBackReplaysFromTheFirstFrame) {
  StreamHandle* s = OpenFileStream((*dir / "m5.anim").c_str(), STREAM_READ, nullptr);
  ASSERT_NE(s, nullptr);
  int32_t w, h, count;
  IffAnimReader* r = OpenIffAnimFile(s, DEINTERLACE_DEFAULT, &w, &h, &count, 0);
  ASSERT_NE(r, nullptr);
  auto expected = SplitFrames(FileWords(*dir / "m5.frames"), static_cast<size_t>(w) * h);
  struct Step {
    int32_t frame;
    int64_t deltas;  // decoded since the open, after the step
  } steps[] = {{3, 3}, {1, 4}, {1, 4}, {2, 5}, {0, 5}, {5, 10}, {0, 10}};
  for (const Step& step : steps) {
    uint32_t* p = GetIffAnimFrame(r, step.frame, nullptr);
    ASSERT_NE(p, nullptr) << step.frame;
    EXPECT_EQ(std::vector<uint32_t>(p, p + expected[0].size()), expected[step.frame]);
    EXPECT_EQ(GetIffAnimDeltasDecoded(r), step.deltas) << step.frame;
    FreeMemory(p);
  }
  EXPECT_EQ(GetIffAnimFrameDelay(r, 0), 6);  // 100 ms in jiffies
  EXPECT_EQ(GetIffAnimFrame(r, count, nullptr), nullptr);
  EXPECT_EQ(GetIffAnimFrame(r, -1, nullptr), nullptr);
  CloseIffAnimFile(r);
}

// Every allocation of opening and reading failing in turn: the open fails
// with 1000 or 1356 (1045 when the stream cannot be opened), or frames fail, and nothing is left behind (the
// sanitizer's leak check at exit); with no fault the anim reads whole.
TEST_F(IffAnim, FailedAllocationsLeaveNothingBehind) {
  for (const char* file : {"m5.anim", "m100i.anim"}) {
    SCOPED_TRACE(file);
    const std::string path = *dir / file;
    size_t frames = 0;
    ErrorCode e = 1;
    uint64_t n = 1;
    for (; (e != 0 || frames < 6) && n < 400; n++) {
      SetAllocFailure(n, false);
      AnimFrames a = ReadAnim(path);
      const bool injected = GetAllocFailureCount() > 0;
      SetAllocFailure(0, false);
      e = a.error;
      frames = a.frames.size();
      if (e != 0) {
        EXPECT_TRUE(e == ERR_MEM || e == ERR_OPENANIM2 || e == ERR_READFILE) << e << " at " << n;
      }
      if (e != 0 || frames < 6) {
        EXPECT_TRUE(injected) << "failed without a fault at " << n;
      }
    }
    EXPECT_EQ(e, 0);
    EXPECT_EQ(frames, 6u);
    EXPECT_GT(n, 10u);  // the stream, the reader's buffers and six frames
  }
}

// A 16 x 4, one-plane anim with an all-zero first frame and one delta per
// entry; each delta's DLTA holds 16 plane pointers and then data.
struct Delta {
  uint8_t method;
  uint32_t bits;
  std::vector<uint8_t> data;  // after the 64 pointer bytes
  uint32_t pointer0 = 64, pointer8 = 0;
};

void Be16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x >> 8));
  v.push_back(static_cast<uint8_t>(x));
}
void Be32(std::vector<uint8_t>& v, uint32_t x) {
  Be16(v, x >> 16);
  Be16(v, x);
}
void Chunk(std::vector<uint8_t>& v, const char* id, const std::vector<uint8_t>& data) {
  v.insert(v.end(), id, id + 4);
  Be32(v, static_cast<uint32_t>(data.size()));
  v.insert(v.end(), data.begin(), data.end());
  if (data.size() & 1) v.push_back(0);
}
std::vector<uint8_t> Anhd(uint8_t method, uint32_t bits) {
  std::vector<uint8_t> a(40, 0);
  a[0] = method;
  a[17] = 5;  // 5 jiffies
  a[20] = static_cast<uint8_t>(bits >> 24);
  a[23] = static_cast<uint8_t>(bits);
  return a;
}

std::vector<uint8_t> TinyAnim(const std::vector<Delta>& deltas, uint16_t height = 4,
                              uint8_t planes = 1, int dpan = -1) {
  std::vector<uint8_t> first = {'I', 'L', 'B', 'M'};
  std::vector<uint8_t> bmhd;
  Be16(bmhd, 16);
  Be16(bmhd, height);
  Be32(bmhd, 0);
  bmhd.insert(bmhd.end(), {planes, 0, 0, 0, 0, 0, 1, 1});
  Be32(bmhd, 0);
  Chunk(first, "BMHD", bmhd);
  Chunk(first, "CMAP", {0, 0, 0, 255, 255, 255});
  if (dpan >= 0) {
    std::vector<uint8_t> d;
    Be16(d, 4);
    Be16(d, static_cast<uint32_t>(dpan));
    Be32(d, 0);
    Chunk(first, "DPAN", d);
  }
  Chunk(first, "BODY", std::vector<uint8_t>(size_t{2} * height * planes, 0));
  std::vector<uint8_t> all = {'A', 'N', 'I', 'M'};
  Chunk(all, "FORM", first);
  for (const Delta& d : deltas) {
    std::vector<uint8_t> form = {'I', 'L', 'B', 'M'};
    Chunk(form, "ANHD", Anhd(d.method, d.bits));
    std::vector<uint8_t> dlta(64, 0);
    for (int i = 0; i < 4; i++) dlta[i] = static_cast<uint8_t>(d.pointer0 >> (24 - 8 * i));
    for (int i = 0; i < 4; i++) dlta[32 + i] = static_cast<uint8_t>(d.pointer8 >> (24 - 8 * i));
    dlta.insert(dlta.end(), d.data.begin(), d.data.end());
    Chunk(form, "DLTA", dlta);
    Chunk(all, "FORM", form);
  }
  std::vector<uint8_t> file;
  Chunk(file, "FORM", all);
  return file;
}

TEST_F(IffAnim, DeltasReachingOutsideAreRefused) {
  struct {
    const char* name;
    Delta delta;
    uint32_t row0;  // frame 1's first row of pixels (pen 1 white), when it decodes
    bool decodes;
  } table[] = {
      {"method 5 copy", {5, 0, {1, 0x81, 0xF0, 0}}, 0xF000, true},
      {"method 5 skip past the plane, then copy", {5, 0, {2, 4, 0x81, 0xFF}}, 0, false},
      {"method 5 copy down past the plane", {5, 0, {1, 0x85, 1, 2, 3, 4, 5}}, 0, false},
      {"method 5 repeat past the plane", {5, 0, {1, 0, 5, 0xFF}}, 0, false},
      {"method 5 data past the chunk", {5, 0, {3, 0x81}}, 0, false},
      {"plane pointer past the chunk", {5, 0, {1, 0x81, 0xF0, 0}, 4096}, 0, false},
      {"method 7 data pointer past the chunk", {7, 0, {1, 0x81}, 64, 4096}, 0, false},
      {"method 7 copy", {7, 0, {1, 0x81, 0x80, 0x01}, 64, 66}, 0x8001, true},
      {"method 8 repeat past the plane", {8, 0, {0, 1, 0, 0, 0, 5, 0xAA, 0xAA}}, 0, false},
      {"method 8 word copy", {8, 0, {0, 1, 0x80, 1, 0x12, 0x34}}, 0x1234, true},
      {"method 101 offset past the plane",
       {101, 0, {0, 1, 0xFF, 0xFF, 0, 0, 0, 8, 1, 2}},
       0,
       false},
      {"method 101 uses the offset's low 24 bits",
       {101, 0, {0, 1, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0xC0, 0x03}},
       0xC003,
       true},
      {"method 100 group past the plane end",
       {100, 0, {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 6, 1, 2, 3, 4}},
       0,
       false},
  };
  TempDir dir;
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / "t.anim";
    // Two deltas: the frame count is 3 for the methods 5 to 8 and, as the
    // offset methods drop their two loop frames, 1 for 100 and 101 unless
    // a DPAN says 3.
    WriteFile(path, TinyAnim({c.delta, c.delta}, 4, 1, 3));
    AnimFrames a = ReadAnim(path);
    ASSERT_EQ(a.error, 0);
    ASSERT_EQ(a.count, 3);
    ASSERT_GE(a.frames.size(), 1u);
    EXPECT_EQ(a.frames.size(), c.decodes ? 3u : 1u);
    if (c.decodes) {
      for (int x = 0; x < 16; x++)
        EXPECT_EQ(a.frames[1][x], (c.row0 >> (15 - x)) & 1 ? 0xFFFFFFu : 0u) << x;
      EXPECT_EQ(a.delays[0], 83);  // 5 jiffies
    }
  }
}

TEST_F(IffAnim, MalformedFilesDoNotOpen) {
  const Delta good{5, 0, {1, 0x81, 0xF0, 0}};
  struct {
    const char* name;
    std::vector<uint8_t> file;
  } table[] = {
      {"height 0", TinyAnim({good}, 0)},
      {"nine planes", TinyAnim({good}, 4, 9)},
      {"no delta", TinyAnim({})},
      {"unknown method", TinyAnim({{6, 0, {0}}})},
      {"method 100 without frames after the loop frames", TinyAnim({{100, 0, {0, 0, 0, 0}}})},
      {"DPAN of no frames", TinyAnim({good}, 4, 1, 0)},
  };
  TempDir dir;
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    WriteFile(dir / "t.anim", c.file);
    EXPECT_EQ(ReadAnim(dir / "t.anim").error, ERR_OPENANIM2);
  }
  // A file cut inside its BODY.
  std::vector<uint8_t> cut = TinyAnim({good});
  size_t body = 0;
  for (size_t i = 0; i + 4 <= cut.size(); i++)
    if (std::memcmp(cut.data() + i, "BODY", 4) == 0) body = i;
  cut.resize(body + 10);
  WriteFile(dir / "cut.anim", cut);
  EXPECT_EQ(ReadAnim(dir / "cut.anim").error, ERR_OPENANIM2);
}

}  // namespace
