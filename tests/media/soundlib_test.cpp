// The sound library through its commands on the test audio adapter: the
// error rules, the music road of the game (open, play, end, play again from
// the top), pause and resume, samples loaded, created, saved and played,
// the attributes the adapter receives, and waits whose object goes away.
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "tests/media/mod_builder.h"
#include "tests/media/soundlib_support.h"

using namespace soundtest;

namespace {

class SoundLibrary : public SoundTest {
 protected:
  // A 16-bit mono WAV of seconds at rate, made by sox; its raw PCM.
  std::vector<uint8_t> MakeWave(const std::string& name, int rate, double seconds,
                                const std::string& format = "-c 1 -b 16") {
    const std::string path = File(name);
    EXPECT_EQ(std::system(("sox -n -r " + std::to_string(rate) + " " + format + " " + path +
                           " synth " + std::to_string(seconds) + " sine 300")
                              .c_str()),
              0);
    return RunSox(path + " -t raw -");
  }
};

TEST_F(SoundLibrary, ErrorRules) {
  MakeWave("a.wav", 4000, 2);
  ASSERT_EQ(Call("OpenMusic", {N(1), S(File("a.wav"))}), ERR_NONE);
  ASSERT_EQ(Call("CreateSample", {N(1), A({1, 2, 3, 4}), N(8000)}), ERR_NONE);
  ASSERT_EQ(Call("CreateSample", {N(2), A({1, 2}), N(8000)}), ERR_NONE);
  struct Case {
    const char* name;
    const char* command;
    std::vector<Push> args;
    ErrorCode error;
  } cases[] = {
      {"stop without music", "StopMusic", {}, ERR_WRONGUSAGE},
      {"resume a stopped music", "ResumeMusic", {N(1)}, ERR_MUSNOTPAUSED},
      {"seek to the length", "SeekMusic", {N(1), N(2000)}, ERR_SEEKRANGE},
      {"seek before the start", "SeekMusic", {N(1), N(-1)}, ERR_SEEKRANGE},
      {"seek to length - 1", "SeekMusic", {N(1), N(1999)}, ERR_NONE},
      {"volume not a percentage", "SetMusicVolume", {N(1), S("x%")}, ERR_PERCENTFORMAT},
      {"percentage above 100", "SetMusicVolume", {N(1), S("101%")}, ERR_PERCENTFORMAT},
      {"a music that does not exist", "PlayMusic", {N(7)}, ERR_FINDMUSIC},
      {"five pairs",
       "PlaySample",
       {N(1), N(1), N(1), N(1), N(1), N(1), N(1), N(1), N(1)},
       ERR_WRONGUSAGE},
      {"pitch 255", "PlaySample", {N(1), T({{"pitch", N(255)}})}, ERR_LOWFREQ},
      {"time 0", "PlaySample", {N(1), T({{"time", N(0)}})}, ERR_WRONGUSAGE},
      {"SetPitch 255", "SetPitch", {N(1), N(255)}, ERR_LOWFREQ},
      {"copy onto itself", "CopySample", {N(1), N(1)}, ERR_WRONGUSAGE},
      {"channel 9 of 8", "IsChannelPlaying", {N(9)}, ERR_CHANNELRANGE},
      {"channel 0", "StopChannel", {N(0)}, ERR_CHANNELRANGE},
      {"create at pitch 255", "CreateSample", {N(3), A({1}), N(255)}, ERR_LOWFREQ},
      {"stereo with an odd count",
       "CreateSample",
       {N(3), A({1, 2, 3}), N(8000), N(2)},
       ERR_WRONGUSAGE},
      {"8-bit value out of range", "CreateSample", {N(3), A({128}), N(8000)}, ERR_SMPRANGE},
      {"no values", "CreateSample", {N(3), A({}), N(8000)}, ERR_WRONGUSAGE},
      {"a count past the values",
       "CreateSample",
       {N(3), A({1, 2}), N(8000), N(0), N(3)},
       ERR_WRONGUSAGE},
      {"a format above 3", "CreateSample", {N(3), A({1}), N(8000), N(4)}, ERR_WRONGUSAGE},
      {"file source without a file",
       "CreateSample",
       {N(3), T({{"source", S("file")}, {"id", N(1)}}), N(8000), N(0), N(4)},
       ERR_FINDFILE},
      {"mix with no frames", "MixSample", {N(3), N(0), N(8000), N(0), N(1), Nil()}, ERR_WRONGUSAGE},
      {"mix with an odd tail", "MixSample", {N(3), N(5), N(8000), N(0), N(1)}, ERR_WRONGUSAGE},
      {"mix at rate 255", "MixSample", {N(3), N(5), N(255), N(0), N(1), Nil()}, ERR_LOWFREQ},
      {"mix from a negative offset",
       "MixSample",
       {N(3), N(5), N(8000), N(0), N(1), T({{"offset", N(-1)}})},
       ERR_SMPRANGE},
      {"insert into itself", "InsertSample", {N(1), N(1), N(0)}, ERR_WRONGUSAGE},
      {"insert an end before the start",
       "InsertSample",
       {N(1), N(2), N(0), N(1), T({{"start", N(1)}, {"end", N(1)}})},
       ERR_SMPRANGE},
      {"insert an end past the source",
       "InsertSample",
       {N(1), N(2), N(0), N(1), T({{"end", N(3)}})},
       ERR_SMPRANGE},
      {"a sample that does not exist", "FreeSample", {N(9)}, ERR_FINDSAMPLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Call(c.command, c.args), c.error);
  }
  SetErrorArgNumber(1);
  for (const auto& [code, text] : std::vector<std::pair<ErrorCode, std::string>>{
           {ERR_FINDMUSIC, "Could not find music 1!"},
           {ERR_LOWFREQ, "Specified pitch value is too low!"},
           {ERR_MUSPLAYING, "Music is already playing!"},
           {ERR_MUSPAUSED, "Music is paused. Use ResumeMusic() to resume playback!"},
           {ERR_MUSNOTPAUSED, "This music is not in pause state!"},
           {ERR_MODIFYPSMP, "Cannot modify a sample that is currently playing!"},
           {ERR_NOCALLBACK, "This command must not be called from a callback function!"},
           {ERR_NOMUSICCB, "This command must only be called while in a music callback!"}})
    EXPECT_EQ(ErrorText(code), text);

  // Playing and paused music.
  ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
  EXPECT_EQ(Call("PlayMusic", {N(1)}), ERR_MUSPLAYING);
  ASSERT_EQ(Call("PauseMusic", {}), ERR_NONE);
  EXPECT_EQ(Call("PlayMusic", {N(1)}), ERR_MUSPAUSED);
  ASSERT_EQ(Call("ResumeMusic", {}), ERR_NONE);
  EXPECT_EQ(Call("IsMusicPlaying", {N(1)}), ERR_NONE);
  EXPECT_EQ(VmToNumber(L, -1), 1);
  ASSERT_EQ(Call("StopMusic", {}), ERR_NONE);
  EXPECT_EQ(Call("StopMusic", {}), ERR_WRONGUSAGE);

  // StopChannel stops the music on it as StopMusic does: stopped, not
  // paused, so it plays again from the top.
  ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
  int32_t musicChannel = ChannelOf(1);
  ASSERT_GE(musicChannel, 0);
  ASSERT_EQ(Call("StopChannel", {N(musicChannel + 1)}), ERR_NONE);
  EXPECT_EQ(ChannelOf(1), -1);
  ASSERT_EQ(Call("GetAttribute", {N(OBJTYPE_MUSIC), N(1), N(ATTRPAUSED)}), ERR_NONE);
  EXPECT_EQ(VmToNumber(L, -1), 0);
  EXPECT_EQ(Call("StopMusic", {}), ERR_WRONGUSAGE);
  ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
  ASSERT_EQ(Call("StopMusic", {N(1)}), ERR_NONE);

  // A playing sample cannot change.
  ASSERT_EQ(Call("PlaySample", {N(1), N(0)}), ERR_NONE);
  EXPECT_EQ(Call("InsertSample", {N(1), N(2), N(0)}), ERR_MODIFYPSMP);
  EXPECT_EQ(Call("IsChannelPlaying", {N(1)}), ERR_NONE);
  EXPECT_EQ(VmGetTop(L), 3);
  EXPECT_EQ(VmToNumber(L, 1), 1);
  EXPECT_EQ(Number(2), 2);
  EXPECT_EQ(Number(3), 1);
}

// PlayMusic stops the current music first, unless "singlemusic" is off.
TEST_F(SoundLibrary, SingleMusicSwitch) {
  MakeWave("a.wav", 4000, 2);
  ASSERT_EQ(Call("OpenMusic", {N(1), S(File("a.wav"))}), ERR_NONE);
  ASSERT_EQ(Call("OpenMusic", {N(2), S(File("a.wav"))}), ERR_NONE);
  auto playing = [&](int id) {
    EXPECT_EQ(Call("IsMusicPlaying", {N(id)}), ERR_NONE);
    return VmToNumber(L, -1) != 0;
  };
  for (int single : {1, 0}) {
    SCOPED_TRACE(single);
    SetLegacySwitch(LEGACY_SINGLEMUSIC, single);
    ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
    ASSERT_EQ(Call("PlayMusic", {N(2)}), ERR_NONE);
    EXPECT_EQ(playing(1), single == 0);
    EXPECT_TRUE(playing(2));
    for (int id : {1, 2}) {
      if (playing(id)) {
        ASSERT_EQ(Call("StopMusic", {N(id)}), ERR_NONE);
      }
    }
  }
}

TEST_F(SoundLibrary, MusicVolumeAndSeekingModules) {
  MakeWave("a.wav", 4000, 1);
  ASSERT_EQ(Call("OpenMusic", {N(1), S(File("a.wav"))}), ERR_NONE);
  MusicObject* m = nullptr;
  ASSERT_EQ(FindMusic(ObjectId{nullptr, 1}, &m), ERR_NONE);
  struct Case {
    Push volume;
    int32_t stored;
  } cases[] = {{N(100), 64}, {N(-5), 0}, {S("50%"), 32}, {N(20), 20}, {S("100%"), 64}};
  for (const Case& c : cases) {
    ASSERT_EQ(Call("SetMusicVolume", {N(1), c.volume}), ERR_NONE);
    EXPECT_EQ(m->volume, c.stored);
  }
  std::vector<uint8_t> module(1084 + 1024, 0);  // one empty pattern
  std::memcpy(module.data() + 1080, "M.K.", 4);
  module[950] = 1;  // song length
  plugintest::WriteBytes(File("a.mod"), module);
  ASSERT_EQ(Call("OpenMusic", {N(2), S(File("a.mod"))}), ERR_NONE);
  EXPECT_EQ(Call("SeekMusic", {N(2), N(0)}), ERR_SEEKFORMAT);
  EXPECT_EQ(Call("GetSongPosition", {}), ERR_NONE);
  EXPECT_EQ(Number(1), -1);
  EXPECT_EQ(Call("GetPatternPosition", {}), ERR_NONE);
  EXPECT_EQ(Number(1), -1);
}

// The game's road: OpenMusic, PlayMusic, the end, PlayMusic again from the
// top; a second music stops the first.
TEST_F(SoundLibrary, MusicPlaysToItsEndAndAgainFromTheTop) {
  std::vector<uint8_t> raw = MakeWave("a.wav", 4000, 1.5);
  ASSERT_EQ(raw.size(), 12000u);
  MakeWave("b.wav", 4000, 1);
  ASSERT_EQ(Call("OpenMusic", {N(1), S(File("a.wav"))}), ERR_NONE);
  ASSERT_EQ(Call("OpenMusic", {N(2), S(File("b.wav"))}), ERR_NONE);
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
    int32_t channel = ChannelOf(1);
    ASSERT_GE(channel, 0);
    EXPECT_EQ(PullAll(channel, 1000, 2, 1 << 20), raw);
    // The end check releases the channel once the last second has passed.
    fakeNow.seconds += 10;
    ASSERT_EQ(Call("IsMusicPlaying", {N(1)}), ERR_NONE);
    EXPECT_EQ(VmToNumber(L, -1), 0);
    EXPECT_EQ(ChannelOf(1), -1);
  }
  ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
  ASSERT_EQ(Call("PlayMusic", {N(2)}), ERR_NONE);
  ASSERT_EQ(Call("IsMusicPlaying", {N(1)}), ERR_NONE);
  EXPECT_EQ(VmToNumber(L, -1), 0);
  EXPECT_EQ(ChannelOf(1), -1);
  EXPECT_GE(ChannelOf(2), 0);
  // Closing a playing music stops it.
  ASSERT_EQ(Call("CloseMusic", {N(2)}), ERR_NONE);
  EXPECT_EQ(ChannelOf(2), -1);
  EXPECT_EQ(Call("IsMusicPlaying", {N(2)}), ERR_FINDMUSIC);
}

TEST_F(SoundLibrary, PausedMusicResumesWhereItStopped) {
  std::vector<uint8_t> raw = MakeWave("a.wav", 4000, 3);
  ASSERT_EQ(Call("OpenMusic", {N(1), S(File("a.wav"))}), ERR_NONE);
  ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
  int32_t channel = ChannelOf(1);
  ASSERT_GE(channel, 0);
  std::vector<uint8_t> buffer(2000);
  ASSERT_EQ(WaitStreamThreadsIdle(5000), 1);
  ASSERT_EQ(pull(GetAudioChannel(channel), buffer.data(), 1000), 1000u);
  fakeNow.seconds += 1;  // the engine's clock places the pause
  ASSERT_EQ(Call("PauseMusic", {N(1)}), ERR_NONE);
  EXPECT_EQ(ChannelOf(1), -1);
  ASSERT_EQ(Call("ResumeMusic", {N(1)}), ERR_NONE);
  channel = ChannelOf(1);
  ASSERT_GE(channel, 0);
  std::vector<uint8_t> rest = PullAll(channel, 1000, 2, 1 << 20);
  EXPECT_EQ(rest, std::vector<uint8_t>(raw.begin() + 8000, raw.end()));
}

TEST_F(SoundLibrary, LoadedSamplesEqualSox) {
  struct Case {
    const char* format;  // sox options of the fixture
    const char* type;    // sox type of the reference values
    int channels;
  } cases[] = {
      {"-c 1 -b 8", "s8", 1},
      {"-c 2 -b 8", "s8", 2},
      {"-c 1 -b 16", "s16", 1},
      {"-c 2 -b 16", "s16", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    MakeWave("s.wav", 8000, 0.01, c.format);
    ASSERT_EQ(Call("LoadSample", {N(1), S(File("s.wav"))}), ERR_NONE);
    std::vector<uint8_t> want = RunSox(File("s.wav") + " -t " + c.type + " -");
    ASSERT_EQ(Call("GetSampleData", {N(1)}), ERR_NONE);
    bool wide = std::strcmp(c.type, "s16") == 0;
    size_t values = want.size() / (wide ? 2 : 1);
    EXPECT_EQ(Number(2), double(values / c.channels));
    for (size_t i = 0; i < values; i++) {
      VmRawGetI(L, 1, static_cast<int>(i));
      double v = VmToNumber(L, -1);
      VmSetTop(L, -2);
      double w = wide ? int16_t(want[2 * i] | want[2 * i + 1] << 8) : int8_t(want[i]);
      ASSERT_EQ(v, w) << i;
    }
    VmSetTop(L, 0);
    EXPECT_EQ(Call("GetAttribute", {N(OBJTYPE_SAMPLE), N(1), N(ATTRNUMFRAMES)}), ERR_NONE);
    EXPECT_EQ(Number(-1), double(values / c.channels));
  }

  // IFF files: 8SVX from sox (stored unsigned), and a 16SV written here,
  // whose big-endian words read back as signed values.
  ASSERT_EQ(
      std::system(("sox -n -r 8000 -c 1 -b 8 " + File("s.8svx") + " synth 0.01 sine 300").c_str()),
      0);
  std::vector<uint8_t> want8 = RunSox(File("s.8svx") + " -t s8 -");
  ASSERT_FALSE(want8.empty());
  std::vector<double> values8;
  for (uint8_t b : want8) values8.push_back(int8_t(b));
  const std::vector<double> values16 = {-32768, -1, 0, 1, 258, 32767};
  std::vector<uint8_t> iff = {'F', 'O', 'R', 'M', 0,   0,   0, 0, '1', '6',
                              'S', 'V', 'V', 'H', 'D', 'R', 0, 0, 0,   20};
  iff.resize(iff.size() + 12, 0);
  for (int b : {0x1F, 0x40, 1, 0, 0, 1, 0, 0}) iff.push_back(uint8_t(b));  // 8000 Hz, volume 1.0
  for (int b : {int('B'), int('O'), int('D'), int('Y'), 0, 0, 0, 12}) iff.push_back(uint8_t(b));
  for (double v : values16) {
    auto w = uint16_t(int16_t(v));
    iff.push_back(uint8_t(w >> 8));
    iff.push_back(uint8_t(w));
  }
  plugintest::WriteBytes(File("s.16sv"), iff);
  for (const auto& [file, values] : std::vector<std::pair<std::string, std::vector<double>>>{
           {"s.8svx", values8}, {"s.16sv", values16}}) {
    SCOPED_TRACE(file);
    ASSERT_EQ(Call("LoadSample", {N(1), S(File(file))}), ERR_NONE);
    ASSERT_EQ(Call("GetSampleData", {N(1)}), ERR_NONE);
    EXPECT_EQ(Number(2), double(values.size()));
    for (size_t i = 0; i < values.size(); i++) {
      VmRawGetI(L, 1, static_cast<int>(i));
      EXPECT_EQ(VmToNumber(L, -1), values[i]) << i;
      VmSetTop(L, -2);
    }
    ASSERT_EQ(Call("GetAttribute", {N(OBJTYPE_SAMPLE), N(1), N(ATTRPITCH)}), ERR_NONE);
    EXPECT_EQ(Number(-1), 8000);
  }
}

// CreateSample reads its data from an open file of the dos library, from
// the file's current position, or from a memory block at an offset.
TEST_F(SoundLibrary, CreatedSamplesReadFilesAndMemoryBlocks) {
  for (ErrorCode (*open)(VmState*) : {OpenDosLibrary, OpenMemBlockLibrary}) {
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(open(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  {
    std::ofstream out(File("pcm.raw"), std::ios::binary);
    out.write("\x00\x01\x02\x03\x04\x05\x06\x07", 8);
  }
  auto bytesOf = [&](int32_t id) {
    SampleObject* s = nullptr;
    EXPECT_EQ(FindSample(ObjectId{nullptr, id}, &s), ERR_NONE);
    return s ? std::vector<uint8_t>(s->desc->data, s->desc->data + s->desc->length)
             : std::vector<uint8_t>();
  };
  auto from = [](const char* source, int32_t id, int32_t offset = 0, bool swap = false) {
    return T({{"source", S(source)}, {"id", N(id)}, {"offset", N(offset)}, {"swap", B(swap)}});
  };
  ASSERT_EQ(Call("OpenFile", {N(1), S(File("pcm.raw")), N(1005)}), ERR_NONE);
  ASSERT_EQ(Call("Seek", {N(1), N(2)}), ERR_NONE);
  // Two 16-bit frames from byte 2, swapped, then the rest is too short.
  ASSERT_EQ(Call("CreateSample", {N(1), from("file", 1, 0, true), N(8000), N(1), N(2)}), ERR_NONE);
  uint16_t values[2];
  std::memcpy(values, bytesOf(1).data(), 4);
  EXPECT_EQ(values[0], 0x0203);
  EXPECT_EQ(values[1], 0x0405);
  EXPECT_EQ(Call("CreateSample", {N(2), from("file", 1), N(8000), N(0), N(3)}), ERR_READ);
  ASSERT_EQ(Call("OpenFile", {N(2), S(File("out.raw")), N(1006)}), ERR_NONE);
  EXPECT_EQ(Call("CreateSample", {N(2), from("file", 2), N(8000), N(0), N(1)}), ERR_WRITEONLY);

  ASSERT_EQ(Call("AllocMem", {N(1), N(6)}), ERR_NONE);
  ASSERT_EQ(Call("FillMem", {N(1), N(0x80), N(6)}), ERR_NONE);
  ASSERT_EQ(Call("CreateSample", {N(3), from("memory", 1, 4), N(8000), N(0), N(2)}), ERR_NONE);
  EXPECT_EQ(bytesOf(3), (std::vector<uint8_t>{0, 0}));  // signed -128 stored unsigned
  struct Case {
    const char* name;
    Push table;
    int32_t count;
    ErrorCode error;
  } cases[] = {
      {"one byte past the block", from("memory", 1, 5), 2, ERR_MEMRANGE},
      {"an offset past the block", from("memory", 1, 7), 1, ERR_MEMRANGE},
      {"a negative offset", from("memory", 1, -1), 1, ERR_WRONGUSAGE},
      {"no such block", from("memory", 9), 1, ERR_FINDMEMBLK},
      {"no such file", from("file", 9), 1, ERR_FINDFILE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Call("CreateSample", {N(4), c.table, N(8000), N(0), N(c.count)}), c.error);
  }
}

// Formats other than 0 go to the sample saver of a plug-in: the test
// plug-in writes its own format, which it loads again as it was.
TEST_F(SoundLibrary, SamplesSaveThroughPlugIns) {
  struct Case {
    int32_t format;
    std::vector<double> values;
  } cases[] = {{0, {-128, -1, 0, 127}}, {3, {-32768, 1, 300, 32767}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    ASSERT_EQ(Call("CreateSample", {N(1), A(c.values), N(11025), N(c.format)}), ERR_NONE);
    ASSERT_EQ(Call("SaveSample", {N(1), S(File("s.qmts")), N(400)}), ERR_NONE);
    ASSERT_EQ(Call("LoadSample", {N(2), S(File("s.qmts"))}), ERR_NONE);
    ASSERT_EQ(Call("GetSampleData", {N(2)}), ERR_NONE);
    for (size_t i = 0; i < c.values.size(); i++) {
      VmRawGetI(L, 1, static_cast<int>(i));
      EXPECT_EQ(VmToNumber(L, -1), c.values[i]) << i;
      VmSetTop(L, -2);
    }
    VmSetTop(L, 0);
    EXPECT_EQ(Call("GetAttribute", {N(OBJTYPE_SAMPLE), N(2), N(ATTRPITCH)}), ERR_NONE);
    EXPECT_EQ(Number(-1), 11025);
  }
  EXPECT_EQ(Call("SaveSample", {N(1), S(File("refuse.qmts")), N(400)}), ERR_SAVESAMPLE);
  EXPECT_EQ(Call("SaveSample", {N(1), S(File("x.qmts")), N(401)}), ERR_UNKNOWNSMPOUT);
}

TEST_F(SoundLibrary, CreatedSamplesAreStoredAndSaved) {
  ASSERT_EQ(Call("CreateSample", {N(1), A({-128, 0, 127}), N(8000)}), ERR_NONE);
  SampleObject* s = nullptr;
  ASSERT_EQ(FindSample(ObjectId{nullptr, 1}, &s), ERR_NONE);
  EXPECT_EQ(std::vector<uint8_t>(s->desc->data, s->desc->data + 3),
            (std::vector<uint8_t>{0, 128, 255}));
  ASSERT_EQ(Call("GetSampleData", {N(1)}), ERR_NONE);
  for (int i = 0; i < 3; i++) {
    VmRawGetI(L, 1, i);
    EXPECT_EQ(VmToNumber(L, -1), std::vector<double>({-128, 0, 127})[i]);
    VmSetTop(L, -2);
  }
  ASSERT_EQ(Call("SaveSample", {N(1), S(File("three.wav"))}), ERR_NONE);
  std::vector<uint8_t> file = plugintest::ReadBytes(File("three.wav"));
  ASSERT_EQ(file.size(), 48u);
  auto u32 = [&](size_t at) {
    return uint32_t(file[at] | file[at + 1] << 8 | file[at + 2] << 16 | file[at + 3] << 24);
  };
  EXPECT_EQ(u32(4), 40u);
  EXPECT_EQ(u32(40), 3u);
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + 44, file.end()),
            (std::vector<uint8_t>{0, 128, 255, 0}));

  // 16-bit stereo reads back equal through sox.
  std::vector<double> values = {-32768, 32767, 1, -1, 256, -256};
  ASSERT_EQ(Call("CreateSample", {N(2), A(values), N(11025), N(3)}), ERR_NONE);
  ASSERT_EQ(Call("SaveSample", {N(2), S(File("wide.wav"))}), ERR_NONE);
  std::vector<uint8_t> back = RunSox(File("wide.wav") + " -t s16 -");
  ASSERT_EQ(back.size(), 12u);
  for (size_t i = 0; i < values.size(); i++)
    EXPECT_EQ(int16_t(back[2 * i] | back[2 * i + 1] << 8), values[i]);
  EXPECT_EQ(RunSox("--i -r " + File("wide.wav")),
            (std::vector<uint8_t>{'1', '1', '0', '2', '5', '\n'}));
  // Python's own reader agrees: channels, width, rate, frames and bytes.
  FILE* p = popen(("/usr/bin/python3 -c \"import wave,sys; w = wave.open(sys.argv[1]); "
                   "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes(), "
                   "w.readframes(99).hex())\" '" +
                   File("wide.wav") + "'")
                      .c_str(),
                  "r");
  ASSERT_NE(p, nullptr);
  char line[256] = "";
  EXPECT_NE(fgets(line, sizeof line, p), nullptr);
  pclose(p);
  EXPECT_STREQ(line, "2 2 11025 3 0080ff7f0100ffff000100ff\n");

  struct Failure {
    std::string file;
    int32_t format;
    ErrorCode error;
  } failures[] = {
      {"/dev/full", 0, ERR_WRITE},
      {File("missing/x.wav"), 0, ERR_WRITEFILE},
      {File("seven.wav"), 7, ERR_UNKNOWNSMPOUT},
  };
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.file);
    EXPECT_EQ(Call("SaveSample", {N(1), S(f.file), N(f.format)}), f.error);
    if (f.error == ERR_WRITEFILE) {
      EXPECT_EQ(std::string(GetErrorArgString()), f.file);
    }
  }
}

TEST_F(SoundLibrary, TheAdapterReceivesTheSettingsOfAPlayingSample) {
  ASSERT_EQ(Call("CreateSample", {N(1), A(std::vector<double>(1000, 5)), N(8000)}), ERR_NONE);
  ASSERT_EQ(Call("PlaySample", {N(1), N(0)}), ERR_NONE);
  struct Case {
    const char* command;
    Push value;
    const char* line;  // tags: 1 volume, 2 panning, 3 pitch
  } cases[] = {
      {"SetPitch", N(9000), "SetChannelAttributes 1=64 2=128 3=9000\n"},
      {"SetVolume", N(32), "SetChannelAttributes 1=32 2=128\n"},
      {"SetVolume", S("25%"), "SetChannelAttributes 1=16 2=128\n"},
      {"SetPanning", N(-100000), "SetChannelAttributes 1=16 2=128\n"},
      {"SetPanning", N(-90000), "SetChannelAttributes 1=16 2=0\n"},
      {"SetPanning", N(-80000), "SetChannelAttributes 1=16 2=255\n"},
      {"SetPanning", N(300), "SetChannelAttributes 1=16 2=255\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    clearLog();
    ASSERT_EQ(Call(c.command, {N(1), c.value}), ERR_NONE);
    EXPECT_EQ(std::string(logText()), c.line);
  }

  // A sample starts with its panning: the new channel plays centred, so
  // any other panning follows its allocation.
  ASSERT_EQ(Call("StopSample", {N(1)}), ERR_NONE);
  ASSERT_EQ(Call("CreateSample", {N(2), A({1, 2}), N(8000)}), ERR_NONE);
  ASSERT_EQ(Call("SetPanning", {N(2), N(40)}), ERR_NONE);  // stored, nothing plays
  struct Start {
    const char* name;
    int sample;
    Push options;
    const char* log;
  } starts[] = {
      {"centre", 1, T({{"panning", N(-100000)}}), "AllocAudioChannel 0 9000 16\n"},
      {"left", 1, T({{"panning", N(-90000)}}),
       "AllocAudioChannel 0 9000 16\nSetChannelAttributes 2=0\n"},
      {"clamped", 1, T({{"panning", N(999)}, {"volume", N(70)}}),
       "AllocAudioChannel 0 9000 64\nSetChannelAttributes 2=255\n"},
      {"the stored panning", 2, N(1), "AllocAudioChannel 0 8000 64\nSetChannelAttributes 2=40\n"},
  };
  for (const Start& c : starts) {
    SCOPED_TRACE(c.name);
    clearLog();
    ASSERT_EQ(Call("PlaySample", {N(c.sample), c.options}), ERR_NONE);
    EXPECT_EQ(std::string(logText()), c.log);
    ASSERT_EQ(Call("StopSample", {N(c.sample)}), ERR_NONE);
  }
}

TEST_F(SoundLibrary, NoSoundModeSucceedsWithoutChannels) {
  SetSoundOption(L, 2, 1);
  MakeWave("a.wav", 4000, 1);
  struct Case {
    const char* command;
    std::vector<Push> args;
  } cases[] = {
      {"OpenMusic", {N(1), S(File("a.wav"))}},
      {"PlayMusic", {N(1)}},
      {"PauseMusic", {N(1)}},
      {"ResumeMusic", {N(1)}},
      {"SeekMusic", {N(1), N(5)}},
      {"SetMusicVolume", {N(1), N(5)}},
      {"StopMusic", {N(1)}},
      {"CloseMusic", {N(1)}},
      {"LoadSample", {N(1), S(File("a.wav"))}},
      {"CreateSample", {N(2), A({1}), N(8000)}},
      {"PlaySample", {N(1)}},
      {"StopSample", {N(1)}},
      {"FreeSample", {N(1)}},
      {"OpenAudio", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(Call(c.command, c.args), ERR_NONE);
  }
  EXPECT_EQ(IsAudioDeviceOpen(), 0);
  EXPECT_EQ(Call("GetChannels", {}), ERR_NONE);
  EXPECT_EQ(Number(1), 0);
  SetSoundOption(L, 2, 0);
}

// The handler's message fields.
std::string sampleEndTime, sampleEndStarts, sampleEndId;
std::string fieldText(VmState* L, const char* name) {
  VmPushString(L, name);
  VmGetTable(L, 1);
  std::string text = VmType(L, -1) == VM_TYPE_NIL ? "<nil>" : VmToString(L, -1);
  VmSetTop(L, -2);
  return text;
}
int recordSampleEnd(VmState* L) {
  sampleEndTime = fieldText(L, "time");
  sampleEndStarts = fieldText(L, "starts");
  sampleEndId = fieldText(L, "id");
  return 0;
}

TEST_F(SoundLibrary, WaitEventRunsOnSampleEndAfterTheTimedPasses) {
  VmSetTop(L, 0);
  VmNewTable(L);
  VmPushString(L, "onsampleend");
  VmPushCClosure(L, recordSampleEnd, 0);
  VmSetTable(L, -3);
  ASSERT_EQ(h->Call("InstallEventHandler", 1), ERR_NONE);
  // 800 frames at 800 per second: a pass of 1000 ms.
  ASSERT_EQ(Call("CreateSample", {N(1), A(std::vector<double>(800, 9)), N(800)}), ERR_NONE);
  ASSERT_EQ(Call("PlaySample", {N(1), T({{"time", N(2500)}})}), ERR_NONE);
  std::vector<uint8_t> got = PullAll(0, 300, 1, 1 << 20);
  EXPECT_EQ(got.size(), 2400u);
  sampleEndTime.clear();
  ASSERT_EQ(Call("WaitEvent", {}), ERR_NONE);
  EXPECT_EQ(sampleEndTime, "2500");
  EXPECT_EQ(sampleEndStarts, "3");
  EXPECT_EQ(sampleEndId, "1");

  // Four samples start together, each on its own channel.
  for (int i = 2; i <= 4; i++)
    ASSERT_EQ(Call("CreateSample", {N(i), A({1, 2}), N(8000)}), ERR_NONE);
  fakeNow.seconds += 10;
  ASSERT_EQ(Call("PlaySample", {N(1), N(0), N(2), N(0), N(3), N(0), N(4), N(0)}), ERR_NONE);
  std::vector<double> owners;
  for (int channel = 1; channel <= 4; channel++) {
    ASSERT_EQ(Call("IsChannelPlaying", {N(channel)}), ERR_NONE);
    ASSERT_EQ(VmGetTop(L), 3);
    EXPECT_EQ(Number(2), OBJTYPE_SAMPLE);
    owners.push_back(Number(3));
  }
  EXPECT_EQ(owners, (std::vector<double>{1, 2, 3, 4}));
  // StopChannel stops a sample on every channel it plays on.
  ASSERT_EQ(Call("StopChannel", {N(2)}), ERR_NONE);
  ASSERT_EQ(Call("IsSamplePlaying", {N(2)}), ERR_NONE);
  EXPECT_EQ(VmToNumber(L, -1), 0);
}

TEST_F(SoundLibrary, ThePlayerShutsDownWhileSoundPlays) {
  MakeWave("a.wav", 4000, 2);
  ASSERT_EQ(Call("OpenMusic", {N(1), S(File("a.wav"))}), ERR_NONE);
  ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
  ASSERT_EQ(Call("CreateSample", {N(1), A(std::vector<double>(100, 3)), N(8000)}), ERR_NONE);
  ASSERT_EQ(Call("PlaySample", {N(1), N(0)}), ERR_NONE);
  ASSERT_EQ(IsAudioDeviceOpen(), 1);
  h.reset();
  EXPECT_EQ(IsAudioDeviceOpen(), 0);
  EXPECT_EQ(soundContext.samples, nullptr);
  EXPECT_EQ(soundContext.music, nullptr);
}

// A poll hook stands for a handler that frees the object a wait holds.
PlayerHarness* hookHarness = nullptr;
const char* hookCommand = nullptr;
int freeDuringPoll(VmState* L, void*) {
  int base = VmGetTop(L);
  VmPushNumber(L, 1);
  hookHarness->Call(hookCommand, 1);
  VmSetTop(L, base);
  return 0;
}

TEST_F(SoundLibrary, AWaitEndsWhenItsObjectIsFreed) {
  ASSERT_EQ(Call("CreateSample", {N(1), A(std::vector<double>(100, 3)), N(8000)}), ERR_NONE);
  ASSERT_EQ(Call("PlaySample", {N(1), N(0)}), ERR_NONE);
  hookHarness = h.get();
  hookCommand = "FreeSample";
  HookRecord* hook = AddHook(HOOK_POLL, reinterpret_cast<HookFunc>(freeDuringPoll), nullptr, 0);
  ASSERT_NE(hook, nullptr);
  EXPECT_EQ(Call("WaitSampleEnd", {N(1)}), ERR_NONE);
  EXPECT_EQ(Call("IsSamplePlaying", {N(1)}), ERR_FINDSAMPLE);
  RemoveHook(hook);

  // A song that ends short of the target (and a closed module) ends the
  // wait for its position.
  ModBuilder b;
  ModBuilderSample smp;
  for (int i = 0; i < 64; i++) smp.data.push_back(int8_t((i % 16) * 8 - 64));
  b.samples.push_back(smp);
  b.note(0, 0, 0, 428, 1, 0, 0);
  b.order = {0};
  plugintest::WriteBytes(File("song.mod"), b.build());
  ASSERT_EQ(Call("OpenMusic", {N(1), S(File("song.mod"))}), ERR_NONE);
  ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
  hookCommand = "CloseMusic";
  hook = AddHook(HOOK_POLL, reinterpret_cast<HookFunc>(freeDuringPoll), nullptr, 0);
  EXPECT_EQ(Call("WaitSongPosition", {N(5)}), ERR_NONE);
  EXPECT_EQ(Call("IsMusicPlaying", {N(1)}), ERR_FINDMUSIC);
  RemoveHook(hook);
  ASSERT_EQ(Call("OpenMusic", {N(1), S(File("song.mod"))}), ERR_NONE);
  ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
  hookCommand = "StopMusic";
  hook = AddHook(HOOK_POLL, reinterpret_cast<HookFunc>(freeDuringPoll), nullptr, 0);
  EXPECT_EQ(Call("WaitPatternPosition", {N(60)}), ERR_NONE);
  RemoveHook(hook);
}

// The "FillMusicBuffer" handler of the script-fed music test: it records
// its calls and queues what the test asks for.
PlayerHarness* fillHarness = nullptr;
std::vector<std::pair<double, double>> fillCalls;  // samples, count
std::vector<ErrorCode> fillErrors;
int fillHandler(VmState* L) {
  fillCalls.push_back({VmToNumber(L, (VmPushString(L, "samples"), VmGetTable(L, 1), -1)),
                       VmToNumber(L, (VmPushString(L, "count"), VmGetTable(L, 1), -1))});
  VmSetTop(L, 1);
  VmPushNumber(L, 1);
  fillErrors.push_back(fillHarness->Call("PlayMusic", 1));
  // Four frames of 8-bit mono data, then two frames of silence.
  VmSetTop(L, 1);
  T({{"data", A({1, 2, 300, -1})}})(L);
  int table = VmGetTop(L);
  VmPushNumber(L, 1);
  VmPushString(L, "pcm");
  VmPushNumber(L, 4);
  VmPushValue(L, table);
  fillErrors.push_back(fillHarness->Call("FillMusicBuffer", 4));
  VmSetTop(L, 1);
  VmPushNumber(L, 1);
  VmPushString(L, "mute");
  VmPushNumber(L, 2);
  fillErrors.push_back(fillHarness->Call("FillMusicBuffer", 3));
  VmSetTop(L, 1);
  return 0;
}

TEST_F(SoundLibrary, ScriptFedMusicPlaysWhatItsHandlerQueues) {
  EXPECT_EQ(Call("CreateMusic", {N(1), N(8000), N(0)}), ERR_NOFMBHANDLER);
  VmSetTop(L, 0);
  VmNewTable(L);
  VmPushString(L, "fillmusicbuffer");
  VmPushCClosure(L, fillHandler, 0);
  VmSetTable(L, -3);
  ASSERT_EQ(h->Call("InstallEventHandler", 1), ERR_NONE);
  fillHarness = h.get();
  fillCalls.clear();
  fillErrors.clear();
  EXPECT_EQ(Call("CreateMusic", {N(1), N(255), N(0)}), ERR_LOWFREQ);
  ASSERT_EQ(Call("CreateMusic", {N(1), N(1000), N(0)}), ERR_NONE);
  EXPECT_EQ(fillCalls, (std::vector<std::pair<double, double>>{{0, 2000}}));
  EXPECT_EQ(fillErrors, (std::vector<ErrorCode>{ERR_NOCALLBACK, ERR_NONE, ERR_NONE}));
  EXPECT_EQ(Call("FillMusicBuffer", {N(1), S("mute"), N(2)}), ERR_NOMUSICCB);
  ASSERT_EQ(Call("PlayMusic", {N(1)}), ERR_NONE);
  int32_t channel = ChannelOf(1);
  ASSERT_GE(channel, 0);
  std::vector<uint8_t> got(6);
  ASSERT_EQ(WaitStreamThreadsIdle(5000), 1);
  ASSERT_EQ(pull(GetAudioChannel(channel), got.data(), 6), 6u);
  EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 44, 255, 128, 128}));
  // Less than a second queued: the next round asks for the rest.
  fillCalls.clear();
  ASSERT_EQ(Call("CheckEvent", {}), ERR_NONE);
  ASSERT_EQ(fillCalls.size(), 1u);
  EXPECT_EQ(fillCalls[0].first + fillCalls[0].second, 1000);
  ASSERT_EQ(Call("CloseMusic", {N(1)}), ERR_NONE);
}

}  // namespace
