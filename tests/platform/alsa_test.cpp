// ALSA playback through the file plug-in: an asoundrc in a temporary HOME
// sends "default" to the null device and records every written byte, so
// the test reads back exactly what the output wrote. Covers the level
// scaling of every sample format, the missing library and each numbered
// parameter step.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/linux/desktop_private.h"
#include "platform/linux/dynlib.h"
#include "runtime/runtime.h"

namespace {

std::string captureHome, captureFile;

// Removes the temporary HOME when the program ends.
struct HomeRemover {
  ~HomeRemover() {
    if (captureHome.empty()) return;
    unlink(captureFile.c_str());
    unlink((captureHome + "/.asoundrc").c_str());
    rmdir(captureHome.c_str());
  }
} homeRemover;

// Once per program, before ALSA first reads its configuration.
void useCaptureHome() {
  if (!captureFile.empty()) return;
  char pattern[] = "/tmp/qm_alsa_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string home = pattern;
  captureHome = home;
  captureFile = home + "/capture.raw";
  std::ofstream rc(home + "/.asoundrc");
  rc << "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"" << captureFile
     << "\"\n  format \"raw\"\n}\n";
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", home.c_str(), 1);
}

std::vector<uint8_t> captured() {
  std::ifstream in(captureFile, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void* denyAlsa(const char* file, int flags) {
  if (std::string(file) == "libasound.so.2") return nullptr;
  return dlopen(file, flags);
}
void* lookUp(void* handle, const char* name) { return dlsym(handle, name); }

class AlsaOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    useCaptureHome();
    BindDesktopLibraries();
    ASSERT_TRUE(DesktopLibraryOpen(DESKTOP_ALSA));
  }
  void TearDown() override {
    UnbindDesktopLibraries();
    SetDesktopLibraryCalls(nullptr);
  }

  // Plays the data through a fresh PCM and returns what reached the file.
  static std::vector<uint8_t> play(const PcmFormat& format, int32_t sampleFormat, int32_t level,
                                   int swap, const std::vector<uint8_t>& data) {
    AlsaChannelOutput out = {};
    EXPECT_EQ(OpenAlsaPcm(&format, 8000, &out), 0);
    EXPECT_NE(out.pcm, nullptr);
    EXPECT_GT(out.bufferFrames, 0u);
    if (!out.pcm) return {};
    std::vector<uint8_t> conversion(ALSA_CONVERSION_BYTES);
    uint32_t frames = static_cast<uint32_t>(data.size() / format.bytesPerFrame);
    uint32_t done = 0;
    for (int tries = 0; done < frames && tries < 10000; tries++) {
      long written = AlsaWriteFrames(level, sampleFormat, swap, conversion.data(), out.pcm,
                                     frames - done, data.data() + done * format.bytesPerFrame);
      if (written == -EAGAIN) {
        usleep(1000);
      } else if (written < 0) {
        RecoverPcm(out.pcm, static_cast<int>(written));
      } else {
        done += static_cast<uint32_t>(written);
      }
    }
    EXPECT_EQ(done, frames);
    CloseAlsaPcm(&out);
    EXPECT_EQ(out.pcm, nullptr);
    return captured();
  }
};

std::vector<uint8_t> s16(const std::vector<int16_t>& values, bool bigEndian) {
  std::vector<uint8_t> bytes;
  for (int16_t v : values) {
    uint16_t u = static_cast<uint16_t>(v);
    uint8_t lo = u & 0xFF, hi = u >> 8;
    if (bigEndian) std::swap(lo, hi);
    bytes.push_back(lo);
    bytes.push_back(hi);
  }
  return bytes;
}

TEST_F(AlsaOutput, LevelsScaleEveryFormatTowardZero) {
  const std::vector<int16_t> words = {0, 1, -1, 3, -3, 32767, -32768, 1001, -1001, 64, -65};
  std::vector<int16_t> halved, quarter;
  for (int16_t v : words) {
    halved.push_back(static_cast<int16_t>(v / 2));
    quarter.push_back(static_cast<int16_t>(v * 17 / 64));
  }
  const std::vector<uint8_t> unsigned8 = {0, 1, 127, 128, 129, 200, 255, 3};
  std::vector<uint8_t> unsigned8Half;
  for (uint8_t v : unsigned8) unsigned8Half.push_back(static_cast<uint8_t>(128 + (v - 128) / 2));
  const std::vector<int8_t> signed8 = {0, 1, -1, 127, -128, 33, -33, 5};
  std::vector<uint8_t> signed8Bytes, signed8Half;
  for (int8_t v : signed8) {
    signed8Bytes.push_back(static_cast<uint8_t>(v));
    signed8Half.push_back(static_cast<uint8_t>(static_cast<int8_t>(v / 2)));
  }

  struct Case {
    const char* name;
    PcmFormat format;
    int32_t sampleFormat;
    int32_t level;
    int swap;
    std::vector<uint8_t> in, want;
  };
  const Case cases[] = {
      {"16-bit stereo, full level",
       {16, 4, 2, PCM_SIGNED},
       SAMPLE_S16_STEREO,
       64,
       0,
       s16({1, 2, -3, 32767, -32768, 7, 100, -100}, false),
       s16({1, 2, -3, 32767, -32768, 7, 100, -100}, false)},
      {"16-bit mono, level 32",
       {16, 2, 1, PCM_SIGNED},
       SAMPLE_S16_MONO,
       32,
       0,
       s16(words, false),
       s16(halved, false)},
      {"16-bit mono, level 17",
       {16, 2, 1, PCM_SIGNED},
       SAMPLE_S16_MONO,
       17,
       0,
       s16(words, false),
       s16(quarter, false)},
      {"big-endian 16-bit, level 32",
       {16, 2, 1, PCM_SIGNED | PCM_BIGENDIAN},
       SAMPLE_S16_MONO,
       32,
       1,
       s16(words, true),
       s16(halved, true)},
      {"unsigned 8-bit mono, level 32",
       {8, 1, 1, 0},
       SAMPLE_U8_MONO,
       32,
       0,
       unsigned8,
       unsigned8Half},
      {"unsigned 8-bit silence, level 0",
       {8, 2, 2, 0},
       SAMPLE_U8_STEREO,
       0,
       0,
       {128, 128, 0, 255},
       {128, 128, 128, 128}},
      {"signed 8-bit mono, level 32",
       {8, 1, 1, PCM_SIGNED},
       SAMPLE_S8_MONO,
       32,
       0,
       signed8Bytes,
       signed8Half},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(play(c.format, c.sampleFormat, c.level, c.swap, c.in), c.want);
  }
}

TEST_F(AlsaOutput, LongWritesAreConvertedInBoundedSlices) {
  // More frames than the conversion buffer holds: the first call writes
  // one buffer's worth, the loop the rest, every value halved.
  std::vector<int16_t> words(2 * (ALSA_CONVERT_FRAMES + 1000));
  for (size_t i = 0; i < words.size(); i++) words[i] = static_cast<int16_t>(i * 37);
  std::vector<int16_t> halved;
  for (int16_t v : words) halved.push_back(static_cast<int16_t>(v / 2));
  EXPECT_EQ(play({16, 4, 2, PCM_SIGNED}, SAMPLE_S16_STEREO, 32, 0, s16(words, false)),
            s16(halved, false));
}

TEST_F(AlsaOutput, WithoutTheLibraryNothingOpens) {
  UnbindDesktopLibraries();
  DesktopLibraryCalls calls = {denyAlsa, lookUp};
  SetDesktopLibraryCalls(&calls);
  BindDesktopLibraries();
  PcmFormat format = {16, 4, 2, PCM_SIGNED};
  AlsaChannelOutput out = {};
  EXPECT_EQ(OpenAlsaPcm(&format, 44100, &out), ERR_OPENAUDIO);
  EXPECT_EQ(out.pcm, nullptr);
}

TEST_F(AlsaOutput, AFailingParameterStepIsNumbered) {
  struct Case {
    int step;
    std::function<void()> breakIt;
  };
  const Case cases[] = {
      {1,
       [] { Dl_snd_pcm_hw_params_any = [](snd_pcm_t*, snd_pcm_hw_params_t*) { return -EINVAL; }; }},
      {2,
       [] {
         Dl_snd_pcm_hw_params_set_access = [](snd_pcm_t*, snd_pcm_hw_params_t*, snd_pcm_access_t) {
           return -EINVAL;
         };
       }},
      {3,
       [] {
         Dl_snd_pcm_hw_params_set_format = [](snd_pcm_t*, snd_pcm_hw_params_t*, snd_pcm_format_t) {
           return -EINVAL;
         };
       }},
      {4,
       [] {
         Dl_snd_pcm_hw_params_set_rate_near = [](snd_pcm_t*, snd_pcm_hw_params_t*, unsigned int*,
                                                 int*) { return -EINVAL; };
       }},
      {5,
       [] {
         Dl_snd_pcm_hw_params_set_channels = [](snd_pcm_t*, snd_pcm_hw_params_t*, unsigned int) {
           return -EINVAL;
         };
       }},
      {6,
       [] {
         Dl_snd_pcm_hw_params_set_buffer_time_near = [](snd_pcm_t*, snd_pcm_hw_params_t*,
                                                        unsigned int*, int*) { return -EINVAL; };
       }},
      {7,
       [] {
         Dl_snd_pcm_hw_params_get_buffer_size = [](const snd_pcm_hw_params_t*, snd_pcm_uframes_t*) {
           return -EINVAL;
         };
       }},
      {8, [] { Dl_snd_pcm_hw_params = [](snd_pcm_t*, snd_pcm_hw_params_t*) { return -EINVAL; }; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    UnbindDesktopLibraries();
    BindDesktopLibraries();
    ASSERT_TRUE(DesktopLibraryOpen(DESKTOP_ALSA));
    c.breakIt();
    SetErrorArgNumber(0);
    PcmFormat format = {16, 4, 2, PCM_SIGNED};
    AlsaChannelOutput out = {};
    EXPECT_EQ(OpenAlsaPcm(&format, 44100, &out), ERR_ALSAPCM);
    EXPECT_EQ(GetErrorArgNumber(), c.step);
    EXPECT_EQ(out.pcm, nullptr);
  }
}

}  // namespace
