// Samples made from other samples: MixSample against a numpy model of its
// arithmetic and against sox's mixer, and the frame conversion that
// InsertSample and FillMusicBuffer share, over formats, channels, loops,
// offsets and ranges.
#include <cmath>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/media/mod_builder.h"
#include "tests/media/soundlib_support.h"

using namespace soundtest;

namespace {

constexpr int MONO8 = 0, MONO16 = 1, STEREO8 = 2, STEREO16 = 3;

class SoundEdit : public SoundTest {
 protected:
  // The sample's values and frame count as GetSampleData gives them.
  std::vector<double> Values(int id) {
    EXPECT_EQ(Call("GetSampleData", {N(id)}), ERR_NONE);
    std::vector<double> values;
    for (int i = 0; i < static_cast<int>(Number(2)) * 2; i++) {
      VmRawGetI(L, 1, i);
      if (VmType(L, -1) != VM_TYPE_NIL) values.push_back(VmToNumber(L, -1));
      VmSetTop(L, -2);
    }
    VmSetTop(L, 0);
    return values;
  }
};

std::string JsonNumbers(const std::vector<double>& v) {
  std::ostringstream out;
  out << "[";
  for (size_t i = 0; i < v.size(); i++) out << (i ? "," : "") << v[i];
  out << "]";
  return out.str();
}

// Runs the numpy model on one mix; its values, signed.
std::vector<double> Model(const std::string& json, const std::string& dir) {
  {
    std::ofstream in(dir + "/mix.json");
    in << json;
  }
  std::vector<double> out;
  FILE* p = popen(
      ("/usr/bin/python3 '" QM_SOURCE_DIR "/tests/media/mix_model.py' < '" + dir + "/mix.json'")
          .c_str(),
      "r");
  if (!p) return out;
  double v;
  while (fscanf(p, "%lf", &v) == 1) out.push_back(v);
  EXPECT_EQ(pclose(p), 0);
  return out;
}

struct MixSource {
  int id;
  double pitch, offset, threshold, length;  // length < 0: unlimited
  bool loop;
  double scale;
};

TEST_F(SoundEdit, MixSampleFollowsTheModel) {
  struct Source {
    int id, format;
    double pitch;
    std::vector<double> values;
  } sources[] = {
      {1, MONO8, 8000, {100, -100, 50, -50, 127, -128, 3, 7, -9, 60, -1}},
      {2,
       STEREO16,
       11025,
       {30000, -30000, 1000, -1, 257, -257, -32768, 32767, 5, 6, 12345, -12345, 0, 0, 999, -999}},
      {3, MONO16, 8000, {32767, 32000, -32768, -31000}},
      {4, STEREO8, 16000, {127, -128, -128, 127, 1, -1}},
  };
  for (const Source& s : sources)
    ASSERT_EQ(Call("CreateSample", {N(s.id), A(s.values), N(s.pitch), N(s.format)}), ERR_NONE);
  auto find = [&](int id) -> const Source& {
    for (const Source& s : sources)
      if (s.id == id) return s;
    return sources[0];
  };
  const double unset = -1;
  struct Case {
    const char* name;
    int format, rate, frames;
    std::vector<MixSource> mix;
  } cases[] = {
      {"a pitch other than the rate, a fractional offset",
       STEREO16,
       8000,
       40,
       {{1, unset, 2.5, 0, unset, true, 1}, {2, 11025, 0.75, 3, unset, true, 1}}},
      {"threshold, length and loop off",
       MONO16,
       8000,
       30,
       {{1, 6000, 0, 5, 12, true, 1},
        {2, unset, 0, 0, unset, false, 1},
        {4, unset, 0, 2, 7, false, 1}}},
      {"scale 0.5 into 8 bits",
       STEREO8,
       22050,
       25,
       {{1, unset, 0, 0, unset, true, 0.5}, {2, unset, 1.75, 0, unset, true, 0.5}}},
      {"clamped sums, mono 8 bits",
       MONO8,
       8000,
       12,
       {{3, unset, 0, 0, unset, true, 1},
        {3, unset, 1, 0, unset, true, 1},
        {1, unset, 0, 0, unset, true, 3}}},
      {"clamped sums, stereo 16 bits",
       STEREO16,
       8000,
       12,
       {{3, unset, 0, 0, unset, true, 1},
        {4, unset, 0, 0, unset, true, 2.5},
        {3, unset, 2, 1, unset, true, -1}}},
      // Sources that step one whole frame per output frame, past the
      // 2048-frame blocks the mix is made in.
      {"whole frames: a late start, a fractional length, no loop, wraps across a block",
       MONO16,
       8000,
       2100,
       {{3, unset, 1, 2040, 9.5, true, 1},
        {1, unset, 0, -3, unset, false, 1},
        {2, 8000, 2, 0, unset, true, 1}}},
      {"whole frames into stereo 8 bits: an offset past the end, an early start, scaled",
       STEREO8,
       16000,
       2060,
       {{4, unset, 5, -2047, unset, true, 1},
        {3, 16000, 0, 1, 2049, true, 0.5},
        {2, 16000, 3, 0, 4, false, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Push> args = {N(9), N(c.frames), N(c.rate), N(c.format)};
    std::ostringstream json;
    json << "{\"rate\":" << c.rate << ",\"frames\":" << c.frames
         << ",\"channels\":" << (c.format >= STEREO8 ? 2 : 1)
         << ",\"bits\":" << (c.format == MONO16 || c.format == STEREO16 ? 16 : 8)
         << ",\"sources\":[";
    for (size_t k = 0; k < c.mix.size(); k++) {
      const MixSource& m = c.mix[k];
      const Source& s = find(m.id);
      std::vector<std::pair<std::string, Push>> options = {
          {"offset", N(m.offset)}, {"threshold", N(m.threshold)}, {"loop", B(m.loop)}};
      if (m.pitch != unset) options.push_back({"pitch", N(m.pitch)});
      if (m.length != unset) options.push_back({"length", N(m.length)});
      if (m.scale != 1) options.push_back({"scale", N(m.scale)});
      args.push_back(N(m.id));
      args.push_back(T(options));
      json << (k ? "," : "") << "{\"values\":" << JsonNumbers(s.values)
           << ",\"channels\":" << (s.format >= STEREO8 ? 2 : 1)
           << ",\"bits\":" << (s.format == MONO16 || s.format == STEREO16 ? 16 : 8)
           << ",\"pitch\":" << (m.pitch == unset ? s.pitch : m.pitch) << ",\"offset\":" << m.offset
           << ",\"threshold\":" << m.threshold
           << ",\"length\":" << (m.length == unset ? std::string("null") : std::to_string(m.length))
           << ",\"loop\":" << (m.loop ? "true" : "false") << ",\"scale\":" << m.scale << "}";
    }
    json << "]}";
    ASSERT_EQ(Call("MixSample", args), ERR_NONE);
    std::vector<double> want = Model(json.str(), root);
    ASSERT_EQ(want.size(), size_t(c.frames) * (c.format >= STEREO8 ? 2 : 1));
    EXPECT_EQ(Values(9), want);
    ASSERT_EQ(Call("GetAttribute", {N(OBJTYPE_SAMPLE), N(9), N(ATTRPITCH)}), ERR_NONE);
    EXPECT_EQ(Number(-1), c.rate);
  }

  // Values that would read before the source, or scale past any sum, are
  // refused or clamped instead of reading outside the sample.
  struct Refusal {
    const char* name;
    Push options;
    ErrorCode error;
  } refusals[] = {
      {"a negative pitch", T({{"pitch", N(-8000)}}), ERR_LOWFREQ},
      {"an offset that is not a number", T({{"offset", N(std::nan(""))}}), ERR_SMPRANGE},
      {"a threshold that is not a number", T({{"threshold", N(std::nan(""))}}), ERR_WRONGUSAGE},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(Call("MixSample", {N(9), N(4), N(8000), N(MONO16), N(1), r.options}), r.error);
  }
  ASSERT_EQ(Call("MixSample", {N(9), N(3), N(8000), N(MONO16), N(1), T({{"scale", N(1e12)}})}),
            ERR_NONE);
  EXPECT_EQ(Values(9), (std::vector<double>{32767, -32768, 32767}));
  // A looping source whose position overflows adds nothing from there on.
  ASSERT_EQ(Call("MixSample", {N(9), N(4), N(8000), N(MONO16), N(1),
                               T({{"pitch", N(1e308)}, {"offset", N(1)}})}),
            ERR_NONE);
  std::vector<double> far = Values(9);
  ASSERT_EQ(far.size(), 4u);
  EXPECT_EQ(far[0], -100 * 256);
  EXPECT_EQ(far[2], 0);
  EXPECT_EQ(far[3], 0);
}

// Plain sums of two 16-bit files equal sox's mixer within one step.
TEST_F(SoundEdit, PlainSumsMatchSoxMix) {
  const std::string a = File("a.wav"), b = File("b.wav");
  ASSERT_EQ(std::system(("sox -n -r 8000 -c 1 -b 16 " + a + " synth 0.1 sine 300 vol 0.6").c_str()),
            0);
  ASSERT_EQ(
      std::system(("sox -n -r 8000 -c 1 -b 16 " + b + " synth 0.1 square 470 vol 0.3").c_str()), 0);
  std::vector<uint8_t> raw = RunSox("-D -m -v 1 " + a + " -v 1 " + b + " -t s16 -");
  ASSERT_EQ(raw.size(), 1600u);
  ASSERT_EQ(Call("LoadSample", {N(1), S(a)}), ERR_NONE);
  ASSERT_EQ(Call("LoadSample", {N(2), S(b)}), ERR_NONE);
  ASSERT_EQ(Call("MixSample", {N(3), N(800), N(8000), N(MONO16), N(1), Nil(), N(2), Nil()}),
            ERR_NONE);
  std::vector<double> got = Values(3);
  ASSERT_EQ(got.size(), 800u);
  for (size_t i = 0; i < got.size(); i++) {
    int16_t want = static_cast<int16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
    ASSERT_LE(std::abs(got[i] - want), 1) << i;
  }
}

// InsertSample converts the source's frames into the sample's format: the
// range, offset and loop choose the frames, 16 bits become 8 by division
// toward zero, a mono source fills both sides, a stereo one gives its left
// side to mono.
TEST_F(SoundEdit, InsertedFramesAreConverted) {
  ASSERT_EQ(Call("CreateSample", {N(1), A({1000, -2000, 300, -32768}), N(8000), N(MONO16)}),
            ERR_NONE);
  ASSERT_EQ(Call("CreateSample", {N(2), A({10, -10, 20, -20, 30, -30}), N(8000), N(STEREO8)}),
            ERR_NONE);
  using Fields = std::vector<std::pair<std::string, Push>>;
  struct Case {
    const char* name;
    int format, source, count;
    Fields range;
    std::vector<double> inserted;
  } cases[] = {
      {"16 to 8 bits toward zero", MONO8, 1, 4, {}, {3, -7, 1, -128}},
      {"mono to stereo from an offset",
       STEREO16,
       1,
       2,
       {{"offset", N(1)}},
       {-2000, -2000, 300, 300}},
      {"stereo to mono takes the left side", MONO16, 2, 3, {}, {2560, 5120, 7680}},
      {"a looping range wraps",
       STEREO8,
       2,
       3,
       {{"start", N(1)}, {"end", N(3)}, {"offset", N(1)}},
       {30, -30, 20, -20, 30, -30}},
      {"silence after a range without loop",
       MONO16,
       1,
       4,
       {{"start", N(1)}, {"end", N(3)}, {"loop", B(false)}},
       {-2000, 300, 0, 0}},
      {"silence after the end without loop, 8 bits",
       MONO8,
       1,
       3,
       {{"offset", N(2)}, {"loop", B(false)}},
       {1, -128, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int channels = c.format >= STEREO8 ? 2 : 1;
    std::vector<double> last(channels, 5);
    ASSERT_EQ(Call("CreateSample", {N(3), A(last), N(8000), N(c.format)}), ERR_NONE);
    ASSERT_EQ(Call("InsertSample", {N(3), N(c.source), N(0), N(c.count), T(c.range)}), ERR_NONE);
    std::vector<double> want = c.inserted;
    want.insert(want.end(), last.begin(), last.end());
    EXPECT_EQ(Values(3), want);
  }
  struct Refusal {
    const char* name;
    Fields range;
  } refusals[] = {
      {"negative start", {{"start", N(-1)}}},
      {"negative offset", {{"offset", N(-1)}}},
      {"negative end", {{"end", N(-1)}}},
      {"end past the source", {{"end", N(5)}}},
      {"start at the end", {{"start", N(2)}, {"end", N(2)}}},
      {"start past the end", {{"start", N(3)}, {"end", N(1)}}},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(Call("InsertSample", {N(3), N(1), N(0), N(1), T(r.range)}), ERR_SMPRANGE);
  }
}

// The "FillMusicBuffer" handler of the sample-buffer test: it queues frames
// of sample 1 and frees it, frames of sample 2, pcm values, then the end.
PlayerHarness* fillHarness = nullptr;
int fillCalls = 0;
std::vector<ErrorCode> fillErrors;
int fillFromSamples(VmState* L) {
  fillCalls++;
  struct Buffer {
    const char* type;
    double frames;
    std::vector<std::pair<std::string, Push>> fields;
  } buffers[] = {
      {"sample",
       5,
       {{"id", N(1)}, {"start", N(1)}, {"end", N(3)}, {"offset", N(1)}, {"free", B(true)}}},
      {"sample", 2, {{"id", N(2)}, {"loop", B(false)}}},
      // Numbers keep their low 16 bits, whatever their size; not a number is 0.
      {"pcm", 4, {{"data", A({196613, -65537, std::nan(""), 70000.9})}}},
      {"end", 0, {}},
  };
  for (const Buffer& b : buffers) {
    VmSetTop(L, 1);
    VmPushNumber(L, 1);
    VmPushString(L, b.type);
    VmPushNumber(L, b.frames);
    if (!b.fields.empty()) T(b.fields)(L);
    fillErrors.push_back(fillHarness->Call("FillMusicBuffer", b.fields.empty() ? 3 : 4));
  }
  VmSetTop(L, 1);
  return 0;
}

TEST_F(SoundEdit, ScriptFedMusicQueuesSampleFramesAndEnds) {
  ASSERT_EQ(Call("CreateSample", {N(1), A({100, -100, 50, -50}), N(8000), N(MONO8)}), ERR_NONE);
  ASSERT_EQ(Call("CreateSample", {N(2), A({7, 8}), N(8000), N(STEREO16)}), ERR_NONE);
  VmSetTop(L, 0);
  VmNewTable(L);
  VmPushString(L, "fillmusicbuffer");
  VmPushCClosure(L, fillFromSamples, 0);
  VmSetTable(L, -3);
  ASSERT_EQ(h->Call("InstallEventHandler", 1), ERR_NONE);
  fillHarness = h.get();
  fillCalls = 0;
  fillErrors.clear();
  ASSERT_EQ(Call("CreateMusic", {N(1), N(1000), N(MONO16)}), ERR_NONE);
  EXPECT_EQ(fillErrors, (std::vector<ErrorCode>{ERR_NONE, ERR_NONE, ERR_NONE, ERR_NONE}));
  EXPECT_EQ(Call("FreeSample", {N(1)}), ERR_FINDSAMPLE);  // freed by the buffer
  ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
  int32_t channel = ChannelOf(1);
  ASSERT_GE(channel, 0);
  std::vector<uint8_t> got = PullAll(channel, 100, 2, 1 << 16);
  std::vector<int16_t> values(got.size() / 2);
  std::memcpy(values.data(), got.data(), values.size() * 2);
  // Frames 2, 1, 2, 1, 2 of sample 1 (a range of two from offset 1), then
  // the left side of sample 2's one frame and silence past its end, then
  // the pcm values; the music ends there.
  EXPECT_EQ(values, (std::vector<int16_t>{50 * 256, -100 * 256, 50 * 256, -100 * 256, 50 * 256, 7,
                                          0, 5, -1, 0, 4464}));
  fakeNow.seconds += 10;
  ASSERT_EQ(Call("IsMusicPlaying", {N(1)}), ERR_NONE);
  EXPECT_EQ(VmToNumber(L, -1), 0);
  EXPECT_EQ(ChannelOf(1), -1);
  ASSERT_EQ(Call("CloseMusic", {N(1)}), ERR_NONE);
}

// A poll hook that plays one row of the module (960 frames at speed 1)
// while WaitPatternPosition waits.
SoundTest* rowTest = nullptr;
int32_t rowChannel = -1;
int pullOneRow(VmState*, void*) {
  std::vector<int16_t> buffer(960 * 2);
  rowTest->PullBlock(rowChannel, buffer.data(), 960);
  return 0;
}

// The module's song and pattern positions read as a twin player's after
// the same frames, PlaySubsong moves the song position, and a plug-in
// stream with subsongs is opened again for the one asked for.
TEST_F(SoundEdit, ModulePositionsAndSubsongs) {
  ModBuilder b;
  ModBuilderSample smp;
  for (int i = 0; i < 64; i++) smp.data.push_back(int8_t((i % 16) * 8 - 64));
  smp.loopLengthWords = 32;
  b.samples.push_back(smp);
  b.note(0, 0, 0, 428, 1, 0xF, 1);  // one tick a row: 960 frames
  b.note(1, 5, 1, 214, 1, 0, 0);
  b.note(1, 40, 2, 300, 1, 0xD, 0x10);  // a break to row 10 of the next
  b.order = {0, 1, 0, 1};
  std::vector<uint8_t> image = b.build();
  plugintest::WriteBytes(File("song.mod"), image);
  ASSERT_EQ(Call("OpenMusic", {N(1), S(File("song.mod"))}), ERR_NONE);
  size_t size = ModInit(nullptr, image.data(), image.size(), MOD_OUTPUT_RATE);
  std::vector<uint8_t> twinBlock(size);
  auto* twin = reinterpret_cast<ModPlayer*>(twinBlock.data());
  ASSERT_EQ(ModInit(twin, image.data(), image.size(), MOD_OUTPUT_RATE), 1u);

  auto positions = [&]() {
    std::vector<double> p;
    for (const char* command : {"GetSongPosition", "GetPatternPosition"}) {
      EXPECT_EQ(Call(command, {}), ERR_NONE);
      p.push_back(Number(1));
    }
    return p;
  };
  auto twinPositions = [&]() {
    return std::vector<double>{double(ModulePositionControl(2, twin, 0)),
                               double(ModulePositionControl(1, twin, 0))};
  };
  EXPECT_EQ(positions(), (std::vector<double>{-1, -1}));
  ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
  int32_t channel = ChannelOf(1);
  ASSERT_GE(channel, 0);
  std::vector<int16_t> buffer(70000 * 2);
  for (uint32_t frames : {500u, 9600u, 61440u, 40000u, 70000u}) {
    SCOPED_TRACE(frames);
    ASSERT_EQ(PullBlock(channel, buffer.data(), frames), frames);
    RenderModuleBlock(twin, buffer.data(), frames);
    EXPECT_EQ(positions(), twinPositions());
  }
  ASSERT_EQ(Call("PlaySubsong", {N(2)}), ERR_NONE);
  ASSERT_EQ(PullBlock(channel, buffer.data(), 10), 10u);
  EXPECT_EQ(positions(), (std::vector<double>{2, 0}));

  rowTest = this;
  rowChannel = channel;
  HookRecord* hook = AddHook(HOOK_POLL, reinterpret_cast<HookFunc>(pullOneRow), nullptr, 0);
  ASSERT_NE(hook, nullptr);
  EXPECT_EQ(Call("WaitPatternPosition", {N(20)}), ERR_NONE);
  RemoveHook(hook);
  EXPECT_EQ(positions(), (std::vector<double>{2, 20}));

  // A plug-in stream of three subsongs.
  std::vector<uint8_t> qmts = {'Q', 'M', 'T', 'S'};
  for (uint32_t v :
       {100u, 0x00080001u, 1000u, 0u, 3u})  // frames, 8-bit mono, rate, flags, subsongs
    for (int i = 0; i < 4; i++) qmts.push_back(uint8_t(v >> (8 * i)));
  qmts.resize(qmts.size() + 100, 7);
  plugintest::WriteBytes(File("three.qmts"), qmts);
  ASSERT_EQ(Call("OpenMusic", {N(2), S(File("three.qmts"))}), ERR_NONE);
  clearLog();
  ASSERT_EQ(Call("PlaySubsong", {N(3), N(2)}), ERR_NONE);
  EXPECT_NE(std::string(logText()).find("OpenStream subsong 2\n"), std::string::npos);
  EXPECT_EQ(Call("PlaySubsong", {N(4), N(2)}), ERR_WRONGUSAGE);
  EXPECT_EQ(Call("PlaySubsong", {N(0), N(2)}), ERR_WRONGUSAGE);

  struct Attribute {
    int type, id, code;
    double value;
    const char* text;
  } attributes[] = {
      {OBJTYPE_MUSIC, 2, ATTRTYPE, 0, "Test sound"},
      {OBJTYPE_MUSIC, 2, ATTRDURATION, 100, nullptr},
      {OBJTYPE_MUSIC, 2, ATTRPITCH, 1000, nullptr},
      {OBJTYPE_MUSIC, 2, ATTRFORMAT, MONO8, nullptr},
      {OBJTYPE_MUSIC, 2, ATTRNUMSUBSONGS, 3, nullptr},
      {OBJTYPE_MUSIC, 2, ATTRCURSUBSONG, 3, nullptr},
      {OBJTYPE_MUSIC, 2, ATTRPLAYING, 1, nullptr},
      {OBJTYPE_MUSIC, 2, ATTRPAUSED, 0, nullptr},
      {OBJTYPE_MUSIC, 2, ATTRLOADER, 0, "testaudio"},
      {OBJTYPE_MUSIC, 1, ATTRTYPE, 0, "Protracker"},
      {OBJTYPE_MUSIC, 1, ATTRPLAYING, 0, nullptr},  // the second music stopped it
      {OBJTYPE_MUSIC, 1, ATTRFORMAT, STEREO16, nullptr},
      {OBJTYPE_MUSIC, 1, ATTRPITCH, MOD_OUTPUT_RATE, nullptr},
      {OBJTYPE_MUSIC, 0, ATTRCOUNT, 2, nullptr},
      {OBJTYPE_SAMPLE, 1, ATTRFORMAT, STEREO16, nullptr},
      {OBJTYPE_SAMPLE, 1, ATTRDURATION, 2, nullptr},  // 7 frames at 3000: 2.33 ms
      {OBJTYPE_SAMPLE, 1, ATTRPITCH, 3000, nullptr},
      {OBJTYPE_SAMPLE, 1, ATTRNUMFRAMES, 7, nullptr},
      {OBJTYPE_SAMPLE, 1, ATTRPLAYING, 0, nullptr},
      {OBJTYPE_SAMPLE, 2, ATTRFORMAT, MONO8, nullptr},
      {OBJTYPE_SAMPLE, 2, ATTRDURATION, 1000, nullptr},
      {OBJTYPE_SAMPLE, 2, ATTRPLAYING, 1, nullptr},
      {OBJTYPE_SAMPLE, 0, ATTRCOUNT, 2, nullptr},
  };
  ASSERT_EQ(Call("CreateSample", {N(1), A(std::vector<double>(14, 1)), N(3000), N(STEREO16)}),
            ERR_NONE);
  ASSERT_EQ(Call("CreateSample", {N(2), A(std::vector<double>(8000, 1)), N(8000), N(MONO8)}),
            ERR_NONE);
  ASSERT_EQ(Call("PlaySample", {N(2), N(0)}), ERR_NONE);
  for (const Attribute& a : attributes) {
    SCOPED_TRACE(std::to_string(a.type) + " " + std::to_string(a.id) + " " +
                 std::to_string(a.code));
    ASSERT_EQ(Call("GetAttribute", {N(a.type), N(a.id), N(a.code)}), ERR_NONE);
    if (a.text) {
      EXPECT_STREQ(VmToString(L, -1), a.text);
    } else if (VmType(L, -1) == VM_TYPE_BOOLEAN) {
      EXPECT_EQ(VmToBoolean(L, -1), a.value);
    } else {
      EXPECT_EQ(Number(-1), a.value);
    }
  }
  // The position of a sample that does not play.
  ASSERT_EQ(Call("GetAttribute", {N(OBJTYPE_SAMPLE), N(1), N(ATTRPOSITION)}), ERR_NONE);
  EXPECT_EQ(Number(-2), -1);
  EXPECT_EQ(Number(-1), -1);
}

// Numbers that are not numbers, or far too large, in positions, counts,
// times, volumes and pannings: refused, or read as the nearest sound value.
TEST_F(SoundEdit, ValuesThatAreNotNumbers) {
  const double nan = std::nan(""), huge = 1e300;
  ASSERT_EQ(Call("CreateSample", {N(1), A({1, 2, 3}), N(8000)}), ERR_NONE);
  ASSERT_EQ(Call("CreateSample", {N(2), A({9}), N(8000)}), ERR_NONE);
  ASSERT_EQ(
      std::system(("sox -n -r 4000 -c 1 -b 16 " + File("a.wav") + " synth 1 sine 300").c_str()), 0);
  ASSERT_EQ(Call("OpenMusic", {N(1), S(File("a.wav"))}), ERR_NONE);
  struct Case {
    const char* name;
    const char* command;
    std::vector<Push> args;
    ErrorCode error;
  } cases[] = {
      {"a sample value", "CreateSample", {N(3), A({1, nan}), N(8000)}, ERR_SMPRANGE},
      {"mix frames", "MixSample", {N(9), N(nan), N(8000), N(MONO16), N(1), Nil()}, ERR_WRONGUSAGE},
      {"insert range start",
       "InsertSample",
       {N(1), N(2), N(0), N(1), T({{"start", N(nan)}})},
       ERR_SMPRANGE},
      {"insert range offset",
       "InsertSample",
       {N(1), N(2), N(0), N(1), T({{"offset", N(nan)}})},
       ERR_SMPRANGE},
      {"seek", "SeekMusic", {N(1), N(nan)}, ERR_SEEKRANGE},
      {"play time", "PlaySample", {N(1), T({{"time", N(nan)}})}, ERR_WRONGUSAGE},
      {"play volume", "PlaySample", {N(1), T({{"volume", N(nan)}, {"panning", N(nan)}})}, ERR_NONE},
      {"play a very long time", "PlaySample", {N(1), T({{"time", N(huge)}})}, ERR_NONE},
      {"volume", "SetVolume", {N(1), N(nan)}, ERR_NONE},
      {"panning", "SetPanning", {N(1), N(nan)}, ERR_NONE},
      {"music volume", "SetMusicVolume", {N(1), N(nan)}, ERR_NONE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Call(c.command, c.args), c.error);
  }
  ASSERT_EQ(Call("StopSample", {N(1)}), ERR_NONE);
  ASSERT_EQ(Call("InsertSample", {N(1), N(2), N(nan)}), ERR_NONE);  // at the start
  EXPECT_EQ(Values(1), (std::vector<double>{9, 1, 2, 3}));
}

}  // namespace
