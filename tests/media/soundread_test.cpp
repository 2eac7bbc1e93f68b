// Tests of the built-in sound readers: PCM from files written by sox and
// sndfile-convert compared byte for byte with what sox decodes, generated
// IFF and WAVE variants (stereo 16SV, long CHAN chunks, fmt chunks of 16,
// 18 and 40 bytes, odd chunks before "data"), the refusal table, frame
// counts clamped to the bytes present, short reads, block reads and seeks.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "media/media.h"
#include "media/media_private.h"
#include "platform/linux/system_private.h"
#include "runtime/stream_private.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, uint32_t v, bool bigEndian) {
  for (int i = 0; i < 4; i++)
    b.push_back(static_cast<uint8_t>(bigEndian ? v >> (24 - 8 * i) : v >> (8 * i)));
}
void put16(Bytes& b, uint32_t v, bool bigEndian) {
  b.push_back(static_cast<uint8_t>(bigEndian ? v >> 8 : v));
  b.push_back(static_cast<uint8_t>(bigEndian ? v : v >> 8));
}
// g++ 12 misjudges the room of a range insert (a known false alarm).
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif
void putTag(Bytes& b, const char* tag) { b.insert(b.end(), tag, tag + 4); }
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
void putChunk(Bytes& b, const char* tag, const Bytes& body, bool bigEndian) {
  putTag(b, tag);
  put32(b, static_cast<uint32_t>(body.size()), bigEndian);
  b.insert(b.end(), body.begin(), body.end());
  if (body.size() & 1) b.push_back(0);
}

Bytes pseudoRandom(size_t n, uint32_t seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; i++) {
    seed = seed * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>(seed >> 16);
  }
  return out;
}

// IFF 8SVX or 16SV: VHDR, an odd-sized ANNO chunk, an optional CHAN chunk
// (chanSize bytes, the value first), and the BODY.
struct IffSpec {
  const char* type = "16SV";
  uint32_t vhdrSize = 20;
  int rate = 22050;
  int compression = 0;
  int chanSize = 0;  // 0: no CHAN chunk
  uint32_t chanValue = 6;
  Bytes body;
  int64_t bodySizeField = -1;  // -1: body.size()
};

Bytes buildIff(const IffSpec& spec) {
  Bytes b;
  putTag(b, "FORM");
  put32(b, 0, true);
  putTag(b, spec.type);
  putTag(b, "VHDR");
  put32(b, spec.vhdrSize, true);
  for (int i = 0; i < 12; i++) b.push_back(0);
  put16(b, static_cast<uint32_t>(spec.rate), true);
  b.push_back(1);
  b.push_back(static_cast<uint8_t>(spec.compression));
  put32(b, 0x10000, true);
  putChunk(b, "ANNO", Bytes{'o', 'd', 'd'}, true);
  if (spec.chanSize) {
    Bytes chan;
    put32(chan, spec.chanValue, true);
    chan.resize(static_cast<size_t>(spec.chanSize), 0xEE);
    putChunk(b, "CHAN", chan, true);
  }
  putTag(b, "BODY");
  put32(b, static_cast<uint32_t>(spec.bodySizeField >= 0 ? spec.bodySizeField : spec.body.size()),
        true);
  b.insert(b.end(), spec.body.begin(), spec.body.end());
  return b;
}

struct WaveSpec {
  uint32_t fmtSize = 16;
  int tag = 1;
  int channels = 1;
  uint32_t rate = 8000;
  int bits = 16;
  bool oddChunk = false;   // an odd-sized LIST chunk before "data"
  bool dataFirst = false;  // "data" before "fmt "
  Bytes data;
  int64_t dataSizeField = -1;
};

Bytes buildWave(const WaveSpec& spec) {
  Bytes fmt;
  put16(fmt, static_cast<uint32_t>(spec.tag), false);
  put16(fmt, static_cast<uint32_t>(spec.channels), false);
  put32(fmt, spec.rate, false);
  put32(fmt, spec.rate * spec.channels * spec.bits / 8, false);
  put16(fmt, static_cast<uint32_t>(spec.channels * spec.bits / 8), false);
  put16(fmt, static_cast<uint32_t>(spec.bits), false);
  if (spec.fmtSize >= 18) put16(fmt, spec.fmtSize - 18, false);
  fmt.resize(spec.fmtSize, 0);
  Bytes data;
  putTag(data, "data");
  put32(data,
        static_cast<uint32_t>(spec.dataSizeField >= 0 ? spec.dataSizeField : spec.data.size()),
        false);
  data.insert(data.end(), spec.data.begin(), spec.data.end());
  Bytes b;
  putTag(b, "RIFF");
  put32(b, 0, false);
  putTag(b, "WAVE");
  if (spec.dataFirst) b.insert(b.end(), data.begin(), data.end());
  putChunk(b, "fmt ", fmt, false);
  if (spec.oddChunk) putChunk(b, "LIST", Bytes{'I', 'N', 'F', 'O', 'x'}, false);
  if (!spec.dataFirst) b.insert(b.end(), data.begin(), data.end());
  put32(b, 0, false);  // trailing bytes after "data" stay out of the PCM
  return b;
}

// A reader opened on bytes in memory or on a file.
struct OpenReader {
  MemoryFileName record{};
  Bytes bytes;
  SoundStream s{};
  const SoundReader* reader = nullptr;
  ErrorCode parsed = -1;

  OpenReader(int32_t kind, const Bytes& data) : bytes(data) {
    MakeMemoryFileName(&record, bytes.data(), bytes.size());
    open(kind, reinterpret_cast<const char*>(&record));
  }
  OpenReader(int32_t kind, const std::string& path) { open(kind, path.c_str()); }
  void open(int32_t kind, const char* name) {
    reader = GetBuiltinSoundReader(kind);
    s.source = OpenFileStream(name, STREAM_READ, nullptr);
    if (reader && s.source) parsed = reader->parse(&s);
  }
  ~OpenReader() {
    if (s.source) reader->close(&s);
    if (!bytes.empty()) ReleaseMemoryFileName(&record);
  }
  // Every frame, read in blocks of the given size.
  Bytes readAll(uint32_t block) {
    Bytes out;
    Bytes buf(static_cast<size_t>(block) * s.bytesPerFrame);
    for (;;) {
      int32_t done = -1;
      uint32_t got = reader->readBlock(&s, buf.data(), block, &done);
      out.insert(out.end(), buf.begin(), buf.begin() + got * s.bytesPerFrame);
      if (done) break;
      if (got == 0) ADD_FAILURE() << "no progress without done";
      if (got == 0) break;
    }
    return out;
  }
};

struct TempDir {
  std::string path;
  TempDir() {
    char dir[] = "/tmp/qm_soundread_XXXXXX";
    if (mkdtemp(dir)) path = dir;
  }
  ~TempDir() {
    if (!path.empty()) (void)system(("rm -rf '" + path + "'").c_str());
  }
  std::string file(const std::string& name) const { return path + "/" + name; }
};

Bytes commandOutput(const std::string& command) {
  Bytes out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  uint8_t buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
  pclose(p);
  return out;
}

void writeFile(const std::string& path, const Bytes& data) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

bool haveTools() {
  return system("command -v sox >/dev/null && command -v sndfile-convert >/dev/null") == 0;
}

TEST(SoundReaderTest, IffFilesFromSoxAndSndfile) {
  ASSERT_TRUE(haveTools()) << "sox and sndfile-convert are needed (scripts/setup installs them)";
  TempDir dir;
  struct Case {
    const char* name;
    int32_t kind;
    const char* make;    // writes %s
    const char* decode;  // sox command giving the PCM we hand on (%s: the file)
    int channels;
    int bits;
    uint32_t flags;
  };
  const Case cases[] = {
      {"8svx mono", SOUNDKIND_8SVX, "sox -n -r 11025 -c 1 -b 8 %s synth 0.05 sine 440",
       "sox %s -t u8 -", 1, 8, 0},
      {"8svx stereo", SOUNDKIND_8SVX, "sox -n -r 11025 -c 2 -b 8 %s synth 0.05 sine 440 sine 660",
       "sox %s -t u8 -", 2, 8, 0},
      {"16sv mono", SOUNDKIND_16SV,
       "sox -n -r 16000 -c 1 -b 16 %s.wav synth 0.05 sine 440 && sndfile-convert -pcm16 %s.wav %s",
       "sox %s.wav -t raw -e signed -b 16 -B -", 1, 16, SOUNDFLAG_BIGENDIAN | SOUNDFLAG_SIGNED},
  };
  for (const Case& c : cases) {
    std::string path = dir.file(c.kind == SOUNDKIND_8SVX ? "f.8svx" : "f.svx");
    auto fill = [&path](std::string command) {
      for (size_t at; (at = command.find("%s")) != std::string::npos;)
        command.replace(at, 2, "'" + path + "'");
      return command + " 2>/dev/null";
    };
    ASSERT_EQ(system(fill(c.make).c_str()), 0) << c.name;
    // 16SV: the samples written, as big-endian words.
    Bytes expect = commandOutput(fill(c.decode));
    ASSERT_FALSE(expect.empty()) << c.name;
    OpenReader r(c.kind, path);
    ASSERT_EQ(r.parsed, ERR_NONE) << c.name;
    EXPECT_EQ(r.s.channels, c.channels) << c.name;
    EXPECT_EQ(r.s.bits, c.bits) << c.name;
    EXPECT_EQ(r.s.flags, c.flags) << c.name;
    EXPECT_EQ(r.s.frames * static_cast<uint32_t>(r.s.bytesPerFrame), expect.size()) << c.name;
    EXPECT_EQ(r.readAll(37), expect) << c.name;
    unlink(path.c_str());
  }
}

TEST(SoundReaderTest, GeneratedStereo16svAndLongChanChunk) {
  // Left block then right block; the reader interleaves the big-endian
  // words unchanged. The CHAN chunk is 10 bytes long (value 6 first).
  Bytes left = pseudoRandom(2 * 300, 1), right = pseudoRandom(2 * 300, 2);
  IffSpec spec;
  spec.chanSize = 10;
  spec.body = left;
  spec.body.insert(spec.body.end(), right.begin(), right.end());
  Bytes expect;
  for (size_t i = 0; i < 300; i++) {
    expect.insert(expect.end(), left.begin() + i * 2, left.begin() + i * 2 + 2);
    expect.insert(expect.end(), right.begin() + i * 2, right.begin() + i * 2 + 2);
  }
  OpenReader r(SOUNDKIND_16SV, buildIff(spec));
  ASSERT_EQ(r.parsed, ERR_NONE);
  EXPECT_EQ(r.s.channels, 2);
  EXPECT_EQ(r.s.frames, 300u);
  EXPECT_EQ(r.s.rate, 22050);
  EXPECT_EQ(r.readAll(64), expect);

  // A CHAN value other than 6 is mono: the whole BODY is one channel.
  spec.chanValue = 2;
  OpenReader mono(SOUNDKIND_16SV, buildIff(spec));
  ASSERT_EQ(mono.parsed, ERR_NONE);
  EXPECT_EQ(mono.s.channels, 1);
  EXPECT_EQ(mono.readAll(1000), spec.body);
}

TEST(SoundReaderTest, WaveMatchesSox) {
  ASSERT_TRUE(haveTools()) << "sox is needed (scripts/setup installs it)";
  TempDir dir;
  struct Case {
    int bits;
    int channels;
    uint32_t fmtSize;  // 0: the file is written by sox itself
    bool oddChunk;
  };
  const Case cases[] = {
      {8, 1, 0, false},   {8, 2, 0, false}, {16, 1, 0, false}, {16, 2, 0, false}, {8, 1, 18, true},
      {16, 2, 18, false}, {8, 2, 40, true}, {16, 1, 40, true}, {16, 2, 16, true},
  };
  for (const Case& c : cases) {
    std::string path = dir.file("f.wav");
    std::string label = std::to_string(c.bits) + "-bit, " + std::to_string(c.channels) +
                        " channels, fmt " + std::to_string(c.fmtSize) +
                        (c.oddChunk ? ", odd chunk" : "");
    if (c.fmtSize == 0) {
      std::string make = "sox -n -r 8000 -c " + std::to_string(c.channels) + " -b " +
                         std::to_string(c.bits) + (c.bits == 8 ? " -e unsigned" : " -e signed") +
                         " '" + path + "' synth 0.03 sine 440 sine 660 2>/dev/null";
      ASSERT_EQ(system(make.c_str()), 0) << label;
    } else {
      WaveSpec spec;
      spec.fmtSize = c.fmtSize;
      spec.bits = c.bits;
      spec.channels = c.channels;
      spec.oddChunk = c.oddChunk;
      spec.data = pseudoRandom(static_cast<size_t>(c.bits / 8 * c.channels * 333), 7);
      writeFile(path, buildWave(spec));
    }
    Bytes expect = commandOutput("sox '" + path + "' -t raw - 2>/dev/null");
    ASSERT_FALSE(expect.empty()) << label;
    OpenReader r(SOUNDKIND_WAVE, path);
    ASSERT_EQ(r.parsed, ERR_NONE) << label;
    EXPECT_EQ(r.s.flags, c.bits == 16 ? SOUNDFLAG_SIGNED : 0u) << label;
    EXPECT_EQ(r.s.bytesPerFrame, c.bits / 8 * c.channels) << label;
    EXPECT_EQ(r.readAll(50), expect) << label;
    unlink(path.c_str());
  }
}

TEST(SoundReaderTest, RefusedFiles) {
  struct Case {
    const char* name;
    int32_t kind;
    Bytes file;
  };
  std::vector<Case> cases;
  auto iff = [](void (*edit)(IffSpec&)) {
    IffSpec s;
    s.type = "8SVX";
    s.body = pseudoRandom(100, 3);
    edit(s);
    return buildIff(s);
  };
  auto wave = [](void (*edit)(WaveSpec&)) {
    WaveSpec s;
    s.data = pseudoRandom(100, 4);
    edit(s);
    return buildWave(s);
  };
  cases.push_back({"8svx compressed", SOUNDKIND_8SVX, iff([](IffSpec& s) { s.compression = 1; })});
  cases.push_back({"8svx rate 0", SOUNDKIND_8SVX, iff([](IffSpec& s) { s.rate = 0; })});
  cases.push_back(
      {"16sv rate 0", SOUNDKIND_16SV, iff([](IffSpec& s) { s.type = "16SV", s.rate = 0; })});
  cases.push_back(
      {"voice header not 20 bytes", SOUNDKIND_8SVX, iff([](IffSpec& s) { s.vhdrSize = 24; })});
  {
    Bytes noBody = iff([](IffSpec&) {});
    noBody.resize(noBody.size() - 106);  // ends inside the BODY chunk's name
    cases.push_back({"8svx without BODY", SOUNDKIND_8SVX, noBody});
  }
  cases.push_back(
      {"wave data before fmt", SOUNDKIND_WAVE, wave([](WaveSpec& s) { s.dataFirst = true; })});
  cases.push_back(
      {"wave float", SOUNDKIND_WAVE, wave([](WaveSpec& s) { s.tag = 3, s.bits = 32; })});
  cases.push_back({"wave extensible", SOUNDKIND_WAVE,
                   wave([](WaveSpec& s) { s.tag = 0xFFFE, s.fmtSize = 40; })});
  cases.push_back({"wave 24-bit", SOUNDKIND_WAVE, wave([](WaveSpec& s) { s.bits = 24; })});
  cases.push_back({"wave 3 channels", SOUNDKIND_WAVE, wave([](WaveSpec& s) { s.channels = 3; })});
  cases.push_back({"wave 0 channels", SOUNDKIND_WAVE, wave([](WaveSpec& s) { s.channels = 0; })});
  cases.push_back({"wave rate 0", SOUNDKIND_WAVE, wave([](WaveSpec& s) { s.rate = 0; })});
  cases.push_back(
      {"wave fmt of 20 bytes", SOUNDKIND_WAVE, wave([](WaveSpec& s) { s.fmtSize = 20; })});
  {
    Bytes noData = wave([](WaveSpec&) {});
    noData.resize(12 + 8 + 16 + 2);  // ends inside the next chunk's name
    cases.push_back({"wave without data", SOUNDKIND_WAVE, noData});
  }
  cases.push_back(
      {"header only", SOUNDKIND_WAVE, Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}});
  for (Case& c : cases) {
    OpenReader r(c.kind, c.file);
    EXPECT_EQ(r.parsed, ERR_OPENSOUND2) << c.name;
    EXPECT_EQ(r.s.source, nullptr) << c.name << ": the file is closed";
  }
}

TEST(SoundReaderTest, FrameCountsClampedToBytesPresent) {
  struct Case {
    const char* name;
    int32_t kind;
    Bytes file;
    uint32_t frames;
  };
  std::vector<Case> cases;
  {
    WaveSpec w;
    w.channels = 2;
    w.data = pseudoRandom(4 * 100 + 3, 5);  // 100 whole frames and a piece
    w.dataSizeField = 0xFFFFFFF0;
    Bytes f = buildWave(w);
    f.resize(f.size() - 4);  // without the trailing word
    cases.push_back({"wave data size past the file", SOUNDKIND_WAVE, f, 100});
  }
  {
    IffSpec i;
    i.type = "8SVX";
    i.chanSize = 4;
    i.body = pseudoRandom(100 + 60, 6);  // left block of 100, right block cut at 60
    i.bodySizeField = 200;
    cases.push_back({"8svx stereo right block cut", SOUNDKIND_8SVX, buildIff(i), 60});
    i.body.resize(80);  // no right channel at all
    cases.push_back({"8svx stereo right block missing", SOUNDKIND_8SVX, buildIff(i), 0});
  }
  {
    IffSpec i;
    i.body = pseudoRandom(2 * 50, 8);
    i.bodySizeField = 0x7FFFFFFF;
    cases.push_back({"16sv body size past the file", SOUNDKIND_16SV, buildIff(i), 50});
  }
  for (Case& c : cases) {
    OpenReader r(c.kind, c.file);
    ASSERT_EQ(r.parsed, ERR_NONE) << c.name;
    EXPECT_EQ(r.s.frames, c.frames) << c.name;
    EXPECT_EQ(r.s.byteLength, c.frames * static_cast<uint32_t>(r.s.bytesPerFrame)) << c.name;
    EXPECT_EQ(r.readAll(7).size(), r.s.byteLength) << c.name;
  }
}

TEST(SoundReaderTest, BlockReadsSeeksAndShortReads) {
  // 8SVX mono: bytes arrive with 128 added; the last block reports done and
  // fills the rest of the buffer with silence (128).
  IffSpec spec;
  spec.type = "8SVX";
  spec.body = pseudoRandom(10, 9);
  OpenReader r(SOUNDKIND_8SVX, buildIff(spec));
  ASSERT_EQ(r.parsed, ERR_NONE);
  uint8_t buf[8];
  int32_t done = -1;
  EXPECT_EQ(r.reader->readBlock(&r.s, buf, 8, &done), 8u);
  EXPECT_EQ(done, 0);
  for (int i = 0; i < 8; i++) EXPECT_EQ(buf[i], static_cast<uint8_t>(spec.body[i] + 128));
  EXPECT_EQ(r.reader->readBlock(&r.s, buf, 8, &done), 2u);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(r.s.lastFrames, 2u);
  EXPECT_EQ(buf[2], 0x80);
  EXPECT_EQ(buf[7], 0x80);
  r.reader->seek(&r.s, 10);  // not below the frame count: unchanged
  EXPECT_EQ(r.s.position, 10u);
  r.reader->seek(&r.s, 3);
  EXPECT_EQ(r.reader->readBlock(&r.s, buf, 1, &done), 1u);
  EXPECT_EQ(buf[0], static_cast<uint8_t>(spec.body[3] + 128));

  // 16SV stereo: a scratch buffer that cannot be allocated gives no frames
  // and leaves the position; the next read succeeds.
  IffSpec stereo;
  stereo.chanSize = 4;
  stereo.body = pseudoRandom(2 * 2 * 40, 10);
  OpenReader s(SOUNDKIND_16SV, buildIff(stereo));
  ASSERT_EQ(s.parsed, ERR_NONE);
  Bytes out(4 * 40);
  SetAllocFailure(1, false);
  EXPECT_EQ(s.reader->readBlock(&s.s, out.data(), 40, &done), 0u);
  SetAllocFailure(0, false);
  EXPECT_EQ(s.s.position, 0u);
  EXPECT_EQ(s.reader->readBlock(&s.s, out.data(), 40, &done), 40u);
  EXPECT_EQ(done, 0);

  // A file cut short after it was opened: only the frames really read are
  // reported, the rest is silence, and the stream is done. (Far enough into
  // the file that no read-ahead of the open holds the bytes.)
  TempDir dir;
  std::string path = dir.file("cut.wav");
  WaveSpec w;
  w.data = pseudoRandom(2 * 100000, 11);
  writeFile(path, buildWave(w));
  OpenReader cut(SOUNDKIND_WAVE, path);
  ASSERT_EQ(cut.parsed, ERR_NONE);
  ASSERT_EQ(cut.s.frames, 100000u);
  ASSERT_EQ(truncate(path.c_str(), 44 + 2 * 60030 + 1), 0);  // 60,030 frames and half a frame
  cut.reader->seek(&cut.s, 60000);
  Bytes pcm(2 * 64, 0x55);
  EXPECT_EQ(cut.reader->readBlock(&cut.s, pcm.data(), 64, &done), 30u);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(cut.s.lastBytes, 60u);
  EXPECT_TRUE(std::equal(pcm.begin(), pcm.begin() + 60, w.data.begin() + 2 * 60000));
  EXPECT_TRUE(std::all_of(pcm.begin() + 60, pcm.end(), [](uint8_t v) { return v == 0; }));
  EXPECT_EQ(cut.reader->readBlock(&cut.s, pcm.data(), 64, &done), 0u);
  EXPECT_EQ(done, 1);

  EXPECT_EQ(GetBuiltinSoundReader(SOUNDKIND_MODULE), nullptr);
  EXPECT_STREQ(GetBuiltinSoundReader(SOUNDKIND_WAVE)->formatName, "RIFF WAVE");
}

}  // namespace
