// The audio engine on the test audio adapter: the adapter is installed by
// RequirePlugin during a preload phase, and every frame is pulled through
// the engine's feeder on the test thread, so sample passes, loop and end
// notices, streams and modules are compared exactly. The sound-file layer
// is checked against sox and against the adapter's own raw test format.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "media/audio_private.h"
#include "media/media_private.h"
#include "tests/media/mod_builder.h"
#include "tests/plugins/plugin_fixture.h"

namespace {

using plugintest::PluginTest;

TimeValue fakeNow = {1000, 0};
void fakeClock(TimeValue* now) { *now = fakeNow; }

std::vector<uint8_t> runSox(const std::string& arguments) {
  std::vector<uint8_t> out;
  FILE* p = popen(("sox " + arguments + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  uint8_t buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.insert(out.end(), buffer, buffer + n);
  pclose(p);
  return out;
}

std::vector<ThreadEventRecord> takeEvents() {
  std::vector<ThreadEventRecord> events;
  ThreadEventRecord e;
  while (PopThreadEvent(&e)) events.push_back(e);
  return events;
}

void setPreload(int on) {
  TagItem tags[] = {{ATTR_DEFERBITMAPS, static_cast<uintptr_t>(on)}, {ATTR_DONE, 0}};
  SetGlobalAttrs(nullptr, tags);
}

class AudioAdapterTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    Install("testaudio");
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    SetAppletVersion(6, 0);
    setPreload(1);
    ASSERT_EQ(LoadPluginFile(L, "testaudio", 0, 0, 0, 0, 0), ERR_NONE);
    setPreload(0);
    ASSERT_NE(GetAudioAdapter(), nullptr);
    const std::string path = root + "/Plugins/testaudio.qmp";
    pull = plugintest::ModuleSymbol<PullFunc>(path, "TestAudioPull");
    logText = plugintest::ModuleSymbol<LogFunc>(path, "TestAudioLog");
    clearLog = plugintest::ModuleSymbol<ClearFunc>(path, "TestAudioClearLog");
    install = plugintest::ModuleSymbol<InstallFunc>(path, "TestAudioInstall");
    ASSERT_TRUE(pull && logText && clearLog && install);
    ASSERT_EQ(InitThreadEventList(), ERR_NONE);
    ASSERT_EQ(OpenAudioDevice(L, nullptr), ERR_NONE);
    for (const char* name : {"onsampleloop", "onsampleend", "onmusicend"})
      SetSoundEventFlag(name, 1);
    fakeNow = {1000, 0};
    SetAudioClock(fakeClock);
  }
  void TearDown() override {
    for (AudioDescriptor* s : samples) StopSampleChannels(s, -1);
    ShutdownAudio(L);
    CloseAudioDevice();
    FreeThreadEventList();
    for (AudioDescriptor* s : samples) FreeAudioDescriptor(s);
    for (SoundStream* s : streams) CloseSoundFile(s);
    SetAudioClock(nullptr);
    for (const char* name : {"onsampleloop", "onsampleend", "onmusicend"})
      SetSoundEventFlag(name, 0);
    SetAppletVersion(8, 0);
    PluginTest::TearDown();
  }

  std::string File(const std::string& name) { return root + "/" + name; }

  // A sample of frames 16-bit mono frames counting up.
  AudioDescriptor* MakeSample(uint32_t frames, int32_t rate) {
    auto* d = static_cast<AudioDescriptor*>(AllocMemory(sizeof(AudioDescriptor), 1));
    d->data = static_cast<uint8_t*>(AllocMemory(frames * 2, 1));
    for (uint32_t i = 0; i < frames; i++) reinterpret_cast<int16_t*>(d->data)[i] = int16_t(i);
    d->length = frames * 2;
    d->frames = frames;
    d->bits = 16;
    d->bytesPerFrame = 2;
    d->channels = 1;
    d->flags = 2;
    d->formatCode = 4;
    d->rate = rate;
    samples.push_back(d);
    return d;
  }

  // Pulls from the channel in blocks until it supplies fewer frames than
  // asked for (or limit bytes came); the stream threads settle between
  // pulls so every half is filled when it is due.
  std::vector<uint8_t> PullAll(int32_t channel, uint32_t block, int32_t bpf, size_t limit) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buffer(static_cast<size_t>(block) * bpf);
    for (;;) {
      EXPECT_EQ(WaitStreamThreadsIdle(5000), 1);
      uint32_t n = pull(GetAudioChannel(channel), buffer.data(), block);
      if (n == 0xFFFFFFFF) break;
      out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<size_t>(n) * bpf);
      if (n < block || out.size() >= limit) break;
    }
    return out;
  }

  void WriteQmts(const std::string& path, uint32_t frames, int channels, int bits, int rate,
                 uint32_t flags, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> b = {'Q', 'M', 'T', 'S'};
    auto u32 = [&](uint32_t v) {
      for (int i = 0; i < 4; i++) b.push_back(uint8_t(v >> (8 * i)));
    };
    u32(frames);
    b.push_back(uint8_t(channels));
    b.push_back(0);
    b.push_back(uint8_t(bits));
    b.push_back(0);
    u32(uint32_t(rate));
    u32(flags);
    u32(1);
    b.insert(b.end(), data.begin(), data.end());
    plugintest::WriteBytes(path, b);
  }

  using PullFunc = uint32_t (*)(void*, void*, uint32_t);
  using LogFunc = const char* (*)();
  using ClearFunc = void (*)();
  using InstallFunc = int32_t (*)(uint32_t, const QmTagItem*);
  PullFunc pull = nullptr;
  LogFunc logText = nullptr;
  ClearFunc clearLog = nullptr;
  InstallFunc install = nullptr;
  std::vector<AudioDescriptor*> samples;
  std::vector<SoundStream*> streams;
};

TEST_F(AudioAdapterTest, TimedSamplePlaysWholePassesAndReportsThePlayTime) {
  struct Case {
    int listen;
    std::vector<std::vector<int64_t>> events;  // kind, value 1, value 2
  } cases[] = {
      {1, {{6, 0, 1}, {6, 1000, 2}, {6, 2000, 3}, {5, 2500, 3}}},
      {0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listen);
    for (const char* name : {"onsampleloop", "onsampleend"}) SetSoundEventFlag(name, c.listen);
    AudioDescriptor* s = MakeSample(800, 800);
    int32_t channel = -1;
    ASSERT_EQ(StartSampleOnChannel(L, s, ObjectId{nullptr, 7}, 800, 64, 128, 2500, 0, &channel),
              ERR_NONE);
    AudioChannel* record = GetAudioChannel(channel);
    EXPECT_EQ(record->loopTotal, 3);
    EXPECT_EQ(record->lastPassMs, 500);
    EXPECT_EQ(record->lastPassFrames, 400u);
    std::vector<uint8_t> got = PullAll(channel, 300, 2, 1 << 20);
    std::vector<uint8_t> want;
    for (int pass = 0; pass < 3; pass++) want.insert(want.end(), s->data, s->data + s->length);
    EXPECT_EQ(got, want);
    std::vector<std::vector<int64_t>> events;
    for (const ThreadEventRecord& e : takeEvents()) {
      EXPECT_EQ(e.argument2, 7u);
      events.push_back({e.kind, int64_t(e.value1), int64_t(e.value2)});
    }
    EXPECT_EQ(events, c.events);
    // Busy for one more second, then the end check frees it.
    int32_t state = 0;
    fakeNow.seconds += 1;
    CheckChannelTimeouts();
    EXPECT_EQ(GetChannelState(channel, &state, nullptr, 0), ERR_NONE);
    EXPECT_EQ(state, CHANNELSTATE_SAMPLE);
    fakeNow.micros += 1;
    CheckChannelTimeouts();
    GetChannelState(channel, &state, nullptr, 0);
    EXPECT_EQ(state, CHANNELSTATE_FREE);
  }
}

TEST_F(AudioAdapterTest, ChannelAllocation) {
  AudioDescriptor* s = MakeSample(100, 1000);
  for (int i = 0; i < 8; i++) {
    int32_t channel = -1;
    ASSERT_EQ(StartSampleOnChannel(L, s, ObjectId{nullptr, i}, 1000, 64, 128, -1, 1, &channel),
              ERR_NONE);
    EXPECT_EQ(channel, i);
  }
  int32_t channel = -1;
  EXPECT_EQ(AllocChannel(L, CHANNEL_SAMPLE, ObjectId{}, &channel, nullptr), ERR_NOCHANNEL);
  clearLog();
  channel = 3;
  ASSERT_EQ(StartSampleOnChannel(L, s, ObjectId{nullptr, 99}, 1000, 64, 128, -1, 1, &channel),
            ERR_NONE);
  EXPECT_EQ(channel, 3);
  EXPECT_EQ(std::string(logText()), "FreeAudioChannel\nAllocAudioChannel 4 1000 64\n");
  ObjectId owner = {};
  int32_t state = 0;
  EXPECT_EQ(GetChannelState(3, &state, &owner, 0), ERR_NONE);
  EXPECT_EQ(owner.number, 99);
  channel = 8;
  EXPECT_EQ(AllocChannel(L, CHANNEL_SAMPLE, ObjectId{}, &channel, nullptr), ERR_CHANNELRANGE);
  EXPECT_EQ(GetChannelState(8, &state, nullptr, 0), ERR_CHANNELRANGE);
  EXPECT_EQ(state, CHANNELSTATE_FREE);
}

TEST_F(AudioAdapterTest, InstallationRules) {
  CloseAudioDevice();
  QmTagItem bufferOnly[] = {{QM_AUDIOTAG_BUFFERSIZE, 512}, {QM_AUDIOTAG_CHANNELS, 3}, {0, 0}};
  EXPECT_EQ(install(QM_AUDIOADAPTER_TAGSONLY, bufferOnly), ERR_NONE);
  EXPECT_EQ(GetAudioAdapterBufferSize(), 512u);
  EXPECT_EQ(mediaContext.adapter.channels, 8);
  EXPECT_EQ(install(0, nullptr), ERR_SETADAPTER);  // outside the preload
  PluginBase plain = {};
  setPreload(1);
  EXPECT_EQ(InstallAudioAdapter(&plain, 0, nullptr), ERR_WRONGUSAGE);
  SetAppletVersion(5, 0);
  EXPECT_EQ(install(0, nullptr), ERR_OLDAPPLET);
  SetAppletVersion(6, 0);
  QmTagItem three[] = {{QM_AUDIOTAG_CHANNELS, 3}, {0, 0}};
  EXPECT_EQ(install(QM_AUDIOADAPTER_LOCKED, three), ERR_NONE);
  EXPECT_EQ(mediaContext.adapter.channels, 3);
  EXPECT_EQ(install(0, nullptr), ERR_SETADAPTER);  // locked
  mediaContext.adapter.flags = 0;
  QmTagItem none[] = {{QM_AUDIOTAG_CHANNELS, 0}, {0, 0}};
  EXPECT_EQ(install(0, none), ERR_SETADAPTER);
  EXPECT_EQ(GetAudioAdapter(), nullptr);
  setPreload(0);
}

TEST_F(AudioAdapterTest, SoundOptionsSetTheHandlerFlags) {
  for (const char* name : {"onsampleloop", "onsampleend", "onmusicend"}) SetSoundEventFlag(name, 0);
  ASSERT_EQ(AddSetAttrHandler(SetSoundOption), ERR_NONE);
  struct Case {
    uint32_t code;
    int listener;
  } cases[] = {{12, LISTEN_SAMPLELOOP},
               {13, LISTEN_SAMPLEEND},
               {18, LISTEN_MUSICEND},
               {23, LISTEN_VIDEOEND}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    for (uintptr_t on : {1u, 0u}) {
      TagItem tags[] = {{c.code, on}, {ATTR_DONE, 0}};
      EXPECT_EQ(SetGlobalAttrs(L, tags), 1);
      EXPECT_EQ(Listening(c.listener), int(on));
    }
  }
  TagItem other[] = {{4, 1}, {ATTR_DONE, 0}};
  EXPECT_EQ(SetGlobalAttrs(L, other), 0);
}

TEST_F(AudioAdapterTest, StreamedWaveEqualsSoxAcrossHalvesAndPasses) {
  const std::string wav = File("tone.wav");
  ASSERT_EQ(
      std::system(("sox -n -r 4000 -c 2 -b 16 " + wav + " synth 2.5 sine 300 sine 500").c_str()),
      0);
  std::vector<uint8_t> raw = runSox(wav + " -t raw -");
  ASSERT_EQ(raw.size(), 2.5 * 4000 * 4);
  for (int times : {1, 2}) {
    SCOPED_TRACE(times);
    SoundStream* s = nullptr;
    ASSERT_EQ(OpenSoundFile(wav.c_str(), nullptr, nullptr, 0, 1, &s, nullptr), ERR_NONE);
    streams.push_back(s);
    uint32_t before = CountStreamUnderruns();
    int32_t channel = -1;
    ASSERT_EQ(PlayStreamOnChannel(L, 1, s, ObjectId{nullptr, 5}, times, 1, 64, &channel, nullptr),
              ERR_NONE);
    std::vector<uint8_t> got = PullAll(channel, 1500, 4, 1 << 22);
    std::vector<uint8_t> want;
    for (int i = 0; i < times; i++) want.insert(want.end(), raw.begin(), raw.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(CountStreamUnderruns(), before);
    std::vector<ThreadEventRecord> events = takeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, THREAD_EVENT_MUSIC_END);
    StopMusicPlayback(1, s, 0, nullptr, nullptr);
  }
}

TEST_F(AudioAdapterTest, ModuleChannelEqualsATwinPlayer) {
  ModBuilder b;
  ModBuilderSample smp;
  for (int i = 0; i < 64; i++) smp.data.push_back(int8_t((i % 16) * 8 - 64));
  smp.loopStartWords = 0;
  smp.loopLengthWords = 32;
  b.samples.push_back(smp);
  b.note(0, 0, 0, 428, 1, 0, 0);
  b.note(0, 16, 1, 214, 1, 0, 0);
  b.order = {0};
  std::vector<uint8_t> image = b.build();
  const std::string path = File("song.mod");
  plugintest::WriteBytes(path, image);
  int32_t what = 0;
  void* player = nullptr;
  ASSERT_EQ(
      OpenMusicStream(path.c_str(), nullptr, nullptr, 0, &what, &player, nullptr, nullptr, nullptr),
      ERR_NONE);
  ASSERT_EQ(what, 2);
  std::vector<uint8_t> twinImage = image;
  size_t size = ModInit(nullptr, twinImage.data(), twinImage.size(), MOD_OUTPUT_RATE);
  std::vector<uint8_t> twinBlock(size);
  auto* twin = reinterpret_cast<ModPlayer*>(twinBlock.data());
  ASSERT_EQ(ModInit(twin, twinImage.data(), twinImage.size(), MOD_OUTPUT_RATE), 1u);
  int32_t channel = -1;
  ASSERT_EQ(PlayStreamOnChannel(L, 2, player, ObjectId{}, 0, 1, 64, &channel, nullptr), ERR_NONE);
  EXPECT_NE(std::string(logText()).find("AllocAudioChannel 5 48000 64"), std::string::npos);
  for (uint32_t block : {1000u, 333u, 4800u}) {
    std::vector<int16_t> got(block * 2), want(block * 2);
    ASSERT_EQ(pull(GetAudioChannel(channel), got.data(), block), block);
    RenderModuleBlock(twin, want.data(), block);
    EXPECT_EQ(got, want);
  }
  StopMusicPlayback(2, player, 0, nullptr, nullptr);
  CloseMusicStream(2, player);
}

TEST_F(AudioAdapterTest, PausedStreamResumesInItsPassAndPlace) {
  // Ten seconds at 100 frames per second, 8-bit mono, seekable.
  std::vector<uint8_t> pcm(1000);
  for (size_t i = 0; i < pcm.size(); i++) pcm[i] = uint8_t(i * 7);
  const std::string path = File("ten.qmts");
  WriteQmts(path, 1000, 1, 8, 100, QM_SOUNDFLAG_SEEKABLE, pcm);
  SoundStream* s = nullptr;
  ASSERT_EQ(OpenSoundFile(path.c_str(), nullptr, nullptr, 0, 1, &s, nullptr), ERR_NONE);
  streams.push_back(s);
  int32_t channel = -1;
  ASSERT_EQ(PlayStreamOnChannel(L, 1, s, ObjectId{}, 0, 1, 64, &channel, nullptr), ERR_NONE);
  uint8_t buffer[50];
  ASSERT_EQ(WaitStreamThreadsIdle(5000), 1);
  ASSERT_EQ(pull(GetAudioChannel(channel), buffer, 50), 50u);
  fakeNow.seconds += 25;
  int32_t pass = 0;
  uint32_t position = 0;
  StopMusicPlayback(1, s, 1, &pass, &position);
  EXPECT_EQ(pass, 3);
  EXPECT_EQ(position, 500u);
  EXPECT_EQ(GetStreamInfo(1, 1, s), 5000);
  channel = -1;
  ASSERT_EQ(PlayStreamOnChannel(L, 1, s, ObjectId{}, 0, pass, 64, &channel, nullptr), ERR_NONE);
  EXPECT_EQ(GetAudioChannel(channel)->loopNumber, 3);
  ASSERT_EQ(WaitStreamThreadsIdle(5000), 1);
  ASSERT_EQ(pull(GetAudioChannel(channel), buffer, 50), 50u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 50),
            std::vector<uint8_t>(pcm.begin() + 500, pcm.begin() + 550));
}

TEST_F(AudioAdapterTest, OpeningSoundFiles) {
  std::vector<uint8_t> module(1084, 0);
  std::memcpy(module.data() + 1080, "M.K.", 4);
  plugintest::WriteBytes(File("exact.mod"), module);
  module.resize(1083);
  plugintest::WriteBytes(File("short.mod"), module);
  std::vector<uint8_t> pcm(40, 1);
  WriteQmts(File("plain.qmts"), 20, 1, 16, 1000, 0, pcm);
  struct Case {
    std::string file;
    const char* loader;
    ErrorCode error;
    const char* format;
    bool pluginTook;  // the plug-in logs the files it takes
  } cases[] = {
      {"exact.mod", nullptr, ERR_NONE, "Protracker", false},
      {"short.mod", nullptr, ERR_OPENSOUND2, nullptr, false},
      {"plain.qmts", nullptr, ERR_NONE, "Test sound", true},
      {"plain.qmts", "inbuilt", ERR_OPENSOUND2, nullptr, false},
      {"plain.qmts", "native", ERR_OPENSOUND2, nullptr, false},
      {"missing.wav", "inbuilt", ERR_READFILE, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + " " + (c.loader ? c.loader : "default"));
    clearLog();
    SoundStream* s = nullptr;
    const std::string path = File(c.file);
    EXPECT_EQ(OpenSoundFile(path.c_str(), c.loader, nullptr, 0, 0, &s, nullptr), c.error);
    EXPECT_EQ(std::string(logText()).find("OpenStream") != std::string::npos, c.pluginTook);
    if (c.error) {
      EXPECT_EQ(std::string(GetErrorArgString()), path);
      const char* name = nullptr;
      EXPECT_EQ(GetSoundFormatName(path.c_str(), c.loader, nullptr, &name), 0);
      EXPECT_STREQ(name, "Unknown");
      continue;
    }
    EXPECT_STREQ(GetStreamFormatName(1, s), c.format);
    CloseSoundFile(s);
  }
  // A plug-in stream that cannot seek rewinds only to its start.
  SoundStream* s = nullptr;
  ASSERT_EQ(OpenSoundFile(File("plain.qmts").c_str(), nullptr, nullptr, 0, 0, &s, nullptr),
            ERR_NONE);
  streams.push_back(s);
  uint8_t buffer[20];
  DecodeSoundBlock(s, buffer, 10, nullptr);
  clearLog();
  SeekSoundFile(s, 4);
  EXPECT_EQ(s->position, 10u);
  SeekSoundFile(s, 0);
  EXPECT_EQ(s->position, 0u);
  EXPECT_EQ(std::string(logText()), "SeekStream 0\n");
}

TEST_F(AudioAdapterTest, StreamInfoAndSamplesMatchSox) {
  const std::string wav = File("cd.wav"), svx = File("voice.8svx");
  ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 16 " + wav + " synth 0.2 sine 440").c_str()), 0);
  ASSERT_EQ(std::system(("sox -n -r 8000 -c 1 -b 8 " + svx + " synth 0.3 sine 300").c_str()), 0);
  SoundStream* s = nullptr;
  ASSERT_EQ(OpenSoundFile(wav.c_str(), nullptr, nullptr, 0, 0, &s, nullptr), ERR_NONE);
  streams.push_back(s);
  EXPECT_EQ(GetStreamInfo(5, 1, s), 1376);
  EXPECT_EQ(GetStreamInfo(4, 1, s), 44100);
  EXPECT_EQ(GetStreamInfo(3, 1, s), 5);
  EXPECT_EQ(GetStreamInfo(0, 1, s), 200);
  const char* name = nullptr;
  EXPECT_EQ(GetSoundFormatName(svx.c_str(), nullptr, nullptr, &name), 1);
  EXPECT_STREQ(name, "IFF 8SVX");
  EXPECT_EQ(GetSoundFormatName(wav.c_str(), nullptr, nullptr, &name), 1);
  EXPECT_STREQ(name, "RIFF WAVE");

  struct Case {
    std::string file, soxType;
    int32_t format;
  } cases[] = {{wav, "raw", 5}, {svx, "u8", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    AudioDescriptor* d = nullptr;
    uint32_t length = 0;
    int32_t rate = 0, format = -1;
    ASSERT_EQ(LoadSoundFileAsSample(c.file.c_str(), nullptr, nullptr, &d, &length, &rate, &format,
                                    nullptr),
              ERR_NONE);
    samples.push_back(d);
    EXPECT_EQ(format, c.format);
    EXPECT_EQ(std::vector<uint8_t>(d->data, d->data + length),
              runSox(c.file + " -t " + c.soxType + " -"));
  }

  std::vector<uint8_t> pcm(30, 0);
  WriteQmts(File("deep.qmts"), 10, 1, 24, 1000, 0, pcm);
  WriteQmts(File("endless.qmts"), 0, 1, 16, 1000, 0, pcm);
  WriteQmts(File("huge.qmts"), 0x80000000u, 2, 16, 1000, 0, pcm);
  struct Failure {
    const char* file;
    ErrorCode error;
  } failures[] = {{"deep.qmts", ERR_8OR16BITONLY},
                  {"endless.qmts", ERR_STREAMASSAMPLE},
                  {"huge.qmts", ERR_OPENSOUND2}};
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.file);
    AudioDescriptor* d = nullptr;
    EXPECT_EQ(LoadSoundFileAsSample(File(f.file).c_str(), nullptr, nullptr, &d, nullptr, nullptr,
                                    nullptr, nullptr),
              f.error);
    EXPECT_EQ(d, nullptr);
  }
  SoundStream* deep = nullptr;
  ASSERT_EQ(OpenSoundFile(File("deep.qmts").c_str(), nullptr, nullptr, 0, 0, &deep, nullptr),
            ERR_NONE);
  EXPECT_EQ(deep->bytesPerFrame, 3);
  EXPECT_EQ(deep->formatCode, -1);
  CloseSoundFile(deep);
}

TEST_F(AudioAdapterTest, ScriptFedQueue) {
  struct Case {
    int32_t format;
    uint8_t silence;
  } cases[] = {{2, 128}, {3, 128}, {4, 0}, {5, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    int32_t what = 0;
    void* source = nullptr;
    ASSERT_EQ(CreateMusicStream(L, 8000, c.format, &what, &source), ERR_NONE);
    auto* s = static_cast<SoundStream*>(source);
    streams.push_back(s);
    EXPECT_STREQ(GetStreamFormatName(1, s), "Custom stream");
    const int32_t bpf = s->bytesPerFrame;
    std::vector<uint8_t> queued(3 * bpf, 7);
    ASSERT_EQ(QueueMusicFrames(s, queued.data(), 3), ERR_NONE);
    std::vector<uint8_t> out(10 * bpf, 0x55);
    int32_t done = -1;
    EXPECT_EQ(DecodeSoundBlock(s, out.data(), 10, &done), 10u);
    EXPECT_EQ(done, 0);
    std::vector<uint8_t> want(queued);
    want.resize(10 * bpf, c.silence);
    EXPECT_EQ(out, want);
  }
}

}  // namespace
