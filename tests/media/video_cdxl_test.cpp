// The CDXL decoder: palette, HAM6 and HAM8 files decode to the generator's
// frames (palette files also to ffmpeg's), the sound comes out as each
// sample times 256 (equal to ffmpeg's), the frame rate follows the chunk
// size, a seek lands on the right chunk, and every bad header is refused.
#include "media/video_private.h"
#include "tests/media/image_support.h"

using namespace imagetest;

namespace {

struct Played {
  void* handle = nullptr;
  QmVideoFormat format{};
  std::string rgb;  // every frame as rgb24
  std::string pcm;  // the sound as s16le
  std::vector<double> stamps;
};

// Reads every packet from the current position on.
void drain(Played* p) {
  const VideoDecoderOps* ops = GetCdxlDecoderOps();
  const int32_t w = p->format.width, h = p->format.height;
  std::vector<uint8_t> frame(static_cast<size_t>(h) * 4 * static_cast<size_t>(w + 64));
  QmVideoPacket* packet = nullptr;
  int32_t result;
  while ((result = ops->nextPacket(p->handle, &packet)) == 0) {
    if (packet->isAudio) {
      int16_t samples[64];
      int32_t n;
      while ((n = ops->decodeAudio(p->handle, packet, samples, sizeof samples)) > 0)
        p->pcm.append(reinterpret_cast<const char*>(samples), static_cast<size_t>(n));
    } else {
      QmVideoFrame f{};
      f.pixels = frame.data();
      f.rowBytes = (w + 64) * 4;
      EXPECT_EQ(ops->decodeVideo(p->handle, packet, &f), 0);
      p->stamps.push_back(f.presentationTime);
      for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) {
          const uint8_t* px = frame.data() + static_cast<size_t>(y * f.rowBytes + x * 4);
          EXPECT_EQ(px[0], 0);  // alpha
          p->rgb.append(reinterpret_cast<const char*>(px + 1), 3);
        }
    }
    ops->freePacket(p->handle, packet);
  }
  EXPECT_EQ(result, -1);
}

class Cdxl : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    bool ok = false;
    Shell("/usr/bin/python3 '" QM_SOURCE_DIR "/tests/media/make_cdxl.py' '" + dir->path() + "'",
          &ok);
    ASSERT_TRUE(ok);
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  static std::string file(const std::string& name) {
    auto bytes = ReadFile(*dir / name);
    return std::string(bytes.begin(), bytes.end());
  }
  static void* open(const std::string& name, QmVideoFormat* format) {
    *format = QmVideoFormat{};
    format->streamSize = -2;
    return GetCdxlDecoderOps()->open((*dir / name).c_str(), format);
  }
  static TempDir* dir;
};
TempDir* Cdxl::dir = nullptr;

TEST_F(Cdxl, FilesDecodeToTheirFramesAndSound) {
  struct Case {
    const char* name;
    int32_t width, height, frames, duration, sampleRate, channels, ffmpeg;
    double fps;
  } cases[] = {
      {"pal4", 40, 24, 10, 833, 0, 0, 1, 12.0},
      {"pal8snd", 48, 20, 6, 500, 3840, 1, 1, 12.0},
      {"ham6snd", 32, 16, 5, 325, 6144, 1, 0, 15.36},
      {"ham8", 24, 12, 4, 333, 0, 0, 0, 12.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Played p;
    p.handle = open(std::string(c.name) + ".cdxl", &p.format);
    ASSERT_NE(p.handle, nullptr);
    EXPECT_EQ(p.format.width, c.width);
    EXPECT_EQ(p.format.height, c.height);
    EXPECT_EQ(p.format.duration, c.duration);
    EXPECT_EQ(p.format.sampleRate, c.sampleRate);
    EXPECT_EQ(p.format.channels, c.channels);
    EXPECT_EQ(p.format.pixelFormat, 1);
    EXPECT_EQ(p.format.flags & QM_VIDEOFLAG_SEEKABLE, 1u);
    EXPECT_DOUBLE_EQ(1.0 / p.format.frameDuration, c.fps);
    EXPECT_EQ(GetCdxlDecoderOps()->frameCount(p.handle), c.frames);
    drain(&p);
    GetCdxlDecoderOps()->close(p.handle);
    ASSERT_EQ(p.stamps.size(), static_cast<size_t>(c.frames));
    for (size_t i = 0; i < p.stamps.size(); i++) EXPECT_DOUBLE_EQ(p.stamps[i], i / c.fps);
    const std::string base = *dir / c.name;
    EXPECT_TRUE(p.rgb == file(std::string(c.name) + ".rgb"));
    EXPECT_TRUE(p.pcm == file(std::string(c.name) + ".pcm"));
    if (c.ffmpeg && HaveTool("ffmpeg")) {
      const std::string in = "ffmpeg -v error -f cdxl -i '" + base + ".cdxl' ";
      EXPECT_TRUE(p.rgb ==
                  Shell(in + "-map 0:v -fps_mode passthrough -f rawvideo -pix_fmt rgb24 -"));
      if (c.channels) {
        EXPECT_TRUE(p.pcm == Shell(in + "-map 0:a -f s16le -"));
      }
    }
  }
}

TEST_F(Cdxl, RateFollowsTheChunkSize) {
  EXPECT_DOUBLE_EQ(CdxlFramesPerSecond(12800), 12.0);
  EXPECT_DOUBLE_EQ(CdxlFramesPerSecond(20000), 15.36);
  EXPECT_DOUBLE_EQ(CdxlFramesPerSecond(13000), 153600.0 / 13000);
  EXPECT_DOUBLE_EQ(CdxlFramesPerSecond(40001), 614400.0 / 40001);
}

TEST_F(Cdxl, SeekLandsOnTheChunkOfTheTime) {
  const std::string all = file("pal8snd.rgb");
  const size_t frameBytes = 48 * 20 * 3;
  // 12 fps: 250 ms is frame 3, 83 ms frame 0, past the end the last frame.
  struct Case {
    int64_t ms;
    size_t frame;
  } cases[] = {{250, 3}, {83, 0}, {84, 1}, {0, 0}, {100000, 5}, {-5, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ms);
    Played p;
    p.handle = open("pal8snd.cdxl", &p.format);
    ASSERT_NE(p.handle, nullptr);
    QmVideoPacket* first = nullptr;  // a pending sound packet is dropped by the seek
    ASSERT_EQ(GetCdxlDecoderOps()->nextPacket(p.handle, &first), 0);
    GetCdxlDecoderOps()->freePacket(p.handle, first);
    ASSERT_EQ(GetCdxlDecoderOps()->seek(p.handle, c.ms), 0);
    drain(&p);
    GetCdxlDecoderOps()->close(p.handle);
    EXPECT_TRUE(p.rgb == all.substr(c.frame * frameBytes));
    EXPECT_EQ(p.pcm.size(), (6 - c.frame) * 640);
  }
}

TEST_F(Cdxl, BadHeadersAreRefused) {
  const char* names[] = {"type",   "second_size", "zero_chunk", "palette",   "depth0",
                         "depth9", "width0",      "height0",    "too_small", "one_chunk"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    QmVideoFormat format;
    EXPECT_EQ(open(std::string("bad_") + name + ".cdxl", &format), nullptr);
  }
  QmVideoFormat format;
  EXPECT_EQ(open("missing.cdxl", &format), nullptr);
}

}  // namespace
