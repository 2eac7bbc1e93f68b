// The audio engine on the built-in output: every PCM goes to ALSA's file
// plug-in (an asoundrc in a temporary HOME, set for the whole program) over
// the null device, so the feed thread's writes are read back from the
// capture file. Covers samples at several levels and formats, loop and end
// notices, a stream, a module and a jump to another song position, and the
// output's failures.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "media/audio_private.h"
#include "media/media_private.h"
#include "platform/linux/desktop_private.h"
#include "platform/linux/dynlib.h"
#include "tests/media/mod_builder.h"

namespace {

std::string captureHome, captureFile;

struct HomeRemover {
  ~HomeRemover() {
    if (captureHome.empty()) return;
    std::system(("rm -rf '" + captureHome + "'").c_str());
  }
} homeRemover;

void useCaptureHome() {
  if (!captureFile.empty()) return;
  char pattern[] = "/tmp/qm_audio_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  captureHome = pattern;
  captureFile = captureHome + "/capture.raw";
  std::ofstream rc(captureHome + "/.asoundrc");
  rc << "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"" << captureFile
     << "\"\n  format \"raw\"\n}\n";
  setenv("HOME", captureHome.c_str(), 1);
  setenv("XDG_CONFIG_HOME", captureHome.c_str(), 1);
}

std::vector<uint8_t> captured(size_t limit = SIZE_MAX) {
  std::ifstream in(captureFile, std::ios::binary);
  std::vector<uint8_t> bytes;
  char buffer[65536];
  while (bytes.size() < limit && in.read(buffer, sizeof buffer).gcount() > 0)
    bytes.insert(bytes.end(), buffer, buffer + in.gcount());
  if (bytes.size() > limit) bytes.resize(limit);
  return bytes;
}

// The capture's size so far; a module's capture grows without end.
size_t capturedSize() {
  struct stat info = {};
  return stat(captureFile.c_str(), &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
}

void* denyAlsa(const char* file, int flags) {
  if (std::string(file) == "libasound.so.2") return nullptr;
  return dlopen(file, flags);
}
void* lookUp(void* handle, const char* name) { return dlsym(handle, name); }

int failingRate(snd_pcm_t*, snd_pcm_hw_params_t*, unsigned int*, int*) { return -EINVAL; }

// Waits (bounded) for the next notice.
bool nextEvent(ThreadEventRecord* e) {
  for (int waited = 0; waited < 10000; waited++) {
    if (PopThreadEvent(e)) return true;
    usleep(1000);
  }
  return false;
}

class AudioAlsaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    useCaptureHome();
    BindDesktopLibraries();
    ASSERT_TRUE(DesktopLibraryOpen(DESKTOP_ALSA));
    ASSERT_EQ(InstallTimerSignal(), ERR_NONE);
    InitMediaContext();
    ASSERT_EQ(InitThreadEventList(), ERR_NONE);
    for (const char* name : {"onsampleloop", "onsampleend", "onmusicend"})
      SetSoundEventFlag(name, 1);
    ASSERT_EQ(OpenAudioDevice(nullptr, nullptr), ERR_NONE);
  }
  void TearDown() override {
    FreeMediaContext();
    for (AudioDescriptor* s : samples) FreeAudioDescriptor(s);
    UnbindDesktopLibraries();
    SetDesktopLibraryCalls(nullptr);
  }

  AudioDescriptor* MakeSample(const std::vector<uint8_t>& bytes, int32_t format, int32_t rate) {
    auto* d = static_cast<AudioDescriptor*>(AllocMemory(sizeof(AudioDescriptor), 1));
    d->data = static_cast<uint8_t*>(AllocMemory(bytes.size(), 0));
    std::copy(bytes.begin(), bytes.end(), d->data);
    d->channels = (format & 1) ? 2 : 1;
    d->bits = format >= 4 ? 16 : 8;
    d->bytesPerFrame = d->channels * d->bits / 8;
    d->flags = format >= 2 ? 2 : 0;
    d->formatCode = format;
    d->rate = rate;
    d->length = static_cast<uint32_t>(bytes.size());
    d->frames = d->length / d->bytesPerFrame;
    samples.push_back(d);
    return d;
  }

  // Plays the sample the given times and returns the notices up to its end
  // (the channel released afterwards, so the capture is complete).
  std::vector<ThreadEventRecord> Play(AudioDescriptor* s, int32_t volume, int32_t times) {
    int32_t channel = -1;
    EXPECT_EQ(StartSampleOnChannel(nullptr, s, ObjectId{nullptr, 4}, s->rate, volume, 128, -1,
                                   times, &channel),
              ERR_NONE);
    StartPreparedSamples();
    std::vector<ThreadEventRecord> events;
    ThreadEventRecord e;
    while (nextEvent(&e)) {
      events.push_back(e);
      if (e.kind == THREAD_EVENT_SAMPLE_END) break;
    }
    int32_t state = 0;
    for (int waited = 0; waited < 10000; waited++) {
      CheckChannelTimeouts();
      GetChannelState(channel, &state, nullptr, 0);
      if (state == CHANNELSTATE_FREE) break;
      usleep(1000);
    }
    EXPECT_EQ(state, CHANNELSTATE_FREE);
    return events;
  }

  std::vector<AudioDescriptor*> samples;
};

std::vector<uint8_t> s16(const std::vector<int16_t>& values) {
  std::vector<uint8_t> bytes;
  for (int16_t v : values) {
    bytes.push_back(static_cast<uint8_t>(v & 0xFF));
    bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
  }
  return bytes;
}

TEST_F(AudioAlsaTest, SamplesAreWrittenAtTheirLevel) {
  const std::vector<int16_t> words = {0, 1, -1, 3, -3, 32767, -32768, 1001, -1001};
  std::vector<int16_t> halved;
  for (int16_t v : words) halved.push_back(static_cast<int16_t>(v / 2));
  struct Case {
    const char* name;
    std::vector<uint8_t> in;
    int32_t format, volume;
    std::vector<uint8_t> want;
  } cases[] = {
      {"16-bit, level 64", s16(words), 4, 64, s16(words)},
      {"16-bit, level 32", s16(words), 4, 32, s16(halved)},
      {"unsigned 8-bit, level 32", {0, 128, 255, 100}, 0, 32, {64, 128, 191, 114}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AudioDescriptor* s = MakeSample(c.in, c.format, 8000);
    std::vector<ThreadEventRecord> events = Play(s, c.volume, 1);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, THREAD_EVENT_SAMPLE_END);
    EXPECT_EQ(captured(), c.want);
  }
}

TEST_F(AudioAlsaTest, ThreeLoopsGiveThreeLoopNoticesThenTheEnd) {
  std::vector<int16_t> words(400);
  for (size_t i = 0; i < words.size(); i++) words[i] = static_cast<int16_t>(i * 50);
  AudioDescriptor* s = MakeSample(s16(words), 4, 8000);  // 50 ms a pass
  std::vector<ThreadEventRecord> events = Play(s, 64, 3);
  std::vector<std::vector<uintptr_t>> got;
  for (const ThreadEventRecord& e : events) got.push_back({uintptr_t(e.kind), e.value1, e.value2});
  std::vector<std::vector<uintptr_t>> want = {{6, 0, 1}, {6, 50, 2}, {6, 100, 3}, {5, 150, 3}};
  EXPECT_EQ(got, want);
  std::vector<uint8_t> three;
  for (int i = 0; i < 3; i++) three.insert(three.end(), s->data, s->data + s->length);
  EXPECT_EQ(captured(), three);
}

TEST_F(AudioAlsaTest, StreamAndModuleAreCaptured) {
  const std::string wav = captureHome + "/tone.wav";
  ASSERT_EQ(std::system(("sox -n -r 4000 -c 1 -b 16 " + wav + " synth 1.5 sine 200").c_str()), 0);
  std::vector<uint8_t> raw;
  {
    FILE* p = popen(("sox " + wav + " -t raw -").c_str(), "r");
    ASSERT_NE(p, nullptr);
    int ch;
    while ((ch = fgetc(p)) != EOF) raw.push_back(static_cast<uint8_t>(ch));
    pclose(p);
  }
  SoundStream* s = nullptr;
  ASSERT_EQ(OpenSoundFile(wav.c_str(), nullptr, nullptr, 0, 1, &s, nullptr), ERR_NONE);
  int32_t channel = -1;
  ASSERT_EQ(PlayStreamOnChannel(nullptr, 1, s, ObjectId{}, 1, 1, 64, &channel, nullptr), ERR_NONE);
  ThreadEventRecord e;
  ASSERT_TRUE(nextEvent(&e));
  EXPECT_EQ(e.kind, THREAD_EVENT_MUSIC_END);
  int32_t state = 0;
  for (int waited = 0; waited < 10000 && state != CHANNELSTATE_FREE; waited++) {
    CheckChannelTimeouts();
    GetChannelState(channel, &state, nullptr, 0);
    if (state != CHANNELSTATE_FREE) usleep(1000);
  }
  std::vector<uint8_t> got = captured();
  ASSERT_GE(got.size(), raw.size());
  EXPECT_EQ(std::mismatch(raw.begin(), raw.end(), got.begin()).first - raw.begin(), raw.size());
  for (size_t i = raw.size(); i < got.size(); i++) ASSERT_EQ(got[i], 0) << i;
  CloseSoundFile(s);

  ModBuilder b;
  ModBuilderSample smp;
  for (int i = 0; i < 64; i++) smp.data.push_back(int8_t((i % 16) * 8 - 64));
  smp.loopLengthWords = 32;
  b.samples.push_back(smp);
  b.note(0, 0, 0, 428, 1, 0, 0);
  b.order = {0};
  std::vector<uint8_t> image = b.build(), twinImage = image;
  const std::string path = captureHome + "/song.mod";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  }
  int32_t what = 0;
  void* player = nullptr;
  ASSERT_EQ(
      OpenMusicStream(path.c_str(), nullptr, nullptr, 0, &what, &player, nullptr, nullptr, nullptr),
      ERR_NONE);
  std::vector<uint8_t> twinBlock(ModInit(nullptr, twinImage.data(), twinImage.size(), 48000));
  auto* twin = reinterpret_cast<ModPlayer*>(twinBlock.data());
  ASSERT_EQ(ModInit(twin, twinImage.data(), twinImage.size(), 48000), 1u);
  constexpr uint32_t FRAMES = 60000;  // past the one-second staging ring
  std::vector<int16_t> want(FRAMES * 2);
  RenderModuleBlock(twin, want.data(), FRAMES);
  channel = -1;
  ASSERT_EQ(PlayStreamOnChannel(nullptr, 2, player, ObjectId{}, 0, 1, 64, &channel, nullptr),
            ERR_NONE);
  for (int waited = 0; waited < 10000 && capturedSize() < FRAMES * 4; waited++) usleep(1000);
  StopMusicPlayback(2, player, 0, nullptr, nullptr);
  got = captured(FRAMES * 4);
  ASSERT_GE(got.size(), FRAMES * 4);
  EXPECT_EQ(0, std::memcmp(got.data(), want.data(), FRAMES * 4));
  CloseMusicStream(2, player);
}

// A song position the script asks for while a module plays is heard at
// once (after what the PCM already holds): the staged second ahead is
// rendered again from there. The script's player is there at once.
TEST_F(AudioAlsaTest, AModuleJumpsToTheSongPositionAsked) {
  ModBuilder b;
  b.samples.push_back(SquareSample(32, 8));
  const int periods[] = {428, 320, 214};
  for (int p = 0; p < 3; p++) b.note(p, 0, 0, periods[p], 1, 0, 0);
  b.order = {0, 1, 2};
  std::vector<uint8_t> image = b.build(), twinImage = image;
  const std::string path = captureHome + "/jump.mod";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  }
  int32_t what = 0;
  void* player = nullptr;
  ASSERT_EQ(
      OpenMusicStream(path.c_str(), nullptr, nullptr, 0, &what, &player, nullptr, nullptr, nullptr),
      ERR_NONE);
  auto* module = static_cast<ModPlayer*>(player);
  int32_t channel = -1;
  ASSERT_EQ(PlayStreamOnChannel(nullptr, 2, player, ObjectId{}, 0, 1, 64, &channel, nullptr),
            ERR_NONE);
  constexpr size_t SECOND = 48000 * 4;
  for (int waited = 0; waited < 10000 && capturedSize() < SECOND / 2; waited++) usleep(1000);
  const size_t asked = capturedSize();
  ModulePositionControl(0, module, 2);
  for (int waited = 0; waited < 10000 && ModulePositionControl(2, module, 0) != 2; waited++)
    usleep(1000);
  EXPECT_EQ(ModulePositionControl(2, module, 0), 2);
  for (int waited = 0; waited < 10000 && capturedSize() < asked + SECOND; waited++) usleep(1000);
  StopMusicPlayback(2, player, 0, nullptr, nullptr);
  std::vector<uint8_t> got = captured();
  CloseMusicStream(2, player);

  // Order 2's note from its start, as a player that jumped there renders it.
  std::vector<uint8_t> twinBlock(ModInit(nullptr, twinImage.data(), twinImage.size(), 48000));
  auto* twin = reinterpret_cast<ModPlayer*>(twinBlock.data());
  ASSERT_EQ(ModInit(twin, twinImage.data(), twinImage.size(), 48000), 1u);
  ModJumpTo(twin, 2, 0);
  std::vector<int16_t> want(2400 * 2);
  RenderModuleBlock(twin, want.data(), 2400);
  const uint8_t* from = reinterpret_cast<const uint8_t*>(want.data());
  const size_t at = static_cast<size_t>(
      std::search(got.begin(), got.end(), from, from + want.size() * 2) - got.begin());
  ASSERT_LT(at, got.size()) << "order 2 was never heard";
  // The PCM's buffer (100 ms) and a few passes of the feed thread, not the
  // second that was staged when the script asked.
  EXPECT_GE(at, asked);
  EXPECT_LT(at, asked + SECOND * 3 / 10);
}

TEST_F(AudioAlsaTest, OutputFailures) {
  AudioDescriptor* s = MakeSample(s16({1, 2, 3, 4}), 4, 8000);
  Dl_snd_pcm_hw_params_set_rate_near = failingRate;
  int32_t channel = -1;
  EXPECT_EQ(StartSampleOnChannel(nullptr, s, ObjectId{}, 8000, 64, 128, -1, 1, &channel),
            ERR_ALSAPCM);
  EXPECT_EQ(GetErrorArgNumber(), 4);
  int32_t state = 0;
  GetChannelState(0, &state, nullptr, 0);
  EXPECT_EQ(state, CHANNELSTATE_FREE);

  CloseAudioDevice();
  UnbindDesktopLibraries();
  DesktopLibraryCalls calls = {denyAlsa, lookUp};
  SetDesktopLibraryCalls(&calls);
  BindDesktopLibraries();
  EXPECT_EQ(OpenAudioDevice(nullptr, nullptr), ERR_OPENAUDIO);
  EXPECT_EQ(IsAudioDeviceOpen(), 0);
}

}  // namespace

// Waits (bounded) until the video channel has written all it was given.
bool drained(int32_t channel) {
  uint8_t frame[4];
  for (int waited = 0; waited < 5000; waited++) {
    LockAudioChannels();
    const uint32_t waiting = PeekVideoSoundFrames(GetAudioChannel(channel), frame, 1);
    UnlockAudioChannels();
    if (waiting == 0) return true;
    usleep(1000);
  }
  return false;
}

// A video's sound on the built-in output: what its audio thread hands the
// channel is written out in order, and the channel goes with the sound.
TEST_F(AudioAlsaTest, VideoSoundIsWrittenAsItArrives) {
  std::vector<int16_t> words(1200);
  for (size_t i = 0; i < words.size(); i++) words[i] = static_cast<int16_t>(i * 37 - 20000);
  const std::vector<uint8_t> bytes = s16(words);
  int32_t channel = -1;
  VideoSound* sound = nullptr;
  ASSERT_EQ(
      AllocVideoSoundChannel(nullptr, ObjectId{nullptr, 9}, nullptr, 1, 8000, 64, &channel, &sound),
      ERR_NONE);
  int32_t state = 0;
  ASSERT_EQ(GetChannelState(channel, &state, nullptr, 0), ERR_NONE);
  EXPECT_EQ(state, CHANNELSTATE_VIDEO);
  // In two parts, the second once the first is out.
  const size_t half = bytes.size() / 2;
  EXPECT_EQ(FeedVideoSound(sound, bytes.data(), static_cast<int32_t>(half)),
            static_cast<int32_t>(half));
  EXPECT_TRUE(drained(channel));
  EXPECT_EQ(FeedVideoSound(sound, bytes.data() + half, static_cast<int32_t>(bytes.size() - half)),
            static_cast<int32_t>(bytes.size() - half));
  EXPECT_TRUE(drained(channel));
  FreeVideoSound(sound);
  ASSERT_EQ(GetChannelState(channel, &state, nullptr, 0), ERR_NONE);
  EXPECT_EQ(state, CHANNELSTATE_FREE);
  EXPECT_EQ(captured(), bytes);
}
