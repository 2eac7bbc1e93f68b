// Anim readers beside the reference decoders, in the same run:
// - sequential frames of a 320 x 256, 5-plane IFF ANIM of method 5 (made by
//   the fixture generator) through the anim file layer, beside ffmpeg
//   decoding the same file to nothing (frames per second of each; ffmpeg's
//   rate includes its start, so its file is played five times over);
// - the frames of a 640 x 480 MJPEG AVI (made by ffmpeg) through the AVI
//   reader, beside libjpeg decoding the same packets from memory to RGB.
// Benchmarks whose tools are missing are skipped with a message.
#include <benchmark/benchmark.h>

#include <cstdio>  // jpeglib.h needs FILE first
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "media/media.h"
#include "runtime/runtime.h"

namespace {

constexpr int LOOPS = 5;  // plays of the IFF ANIM per ffmpeg run

std::string TempPath(const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name;
}

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

struct Files {
  std::string anim, avi, packets;
  bool haveAnim = false, haveAvi = false;
  Files() {
    const std::string dir = TempPath("qm_anim_bench");
    Run("mkdir -p '" + dir + "'");
    anim = dir + "/bench.anim";
    avi = dir + "/bench.avi";
    packets = dir + "/pk";
    haveAnim = Run("python3 '" QM_SOURCE_DIR "/tests/media/make_iffanim.py' '" + dir + "' --bench");
    haveAvi = Run("ffmpeg -v error -y -f lavfi -i testsrc=size=640x480:rate=25:duration=4 "
                  "-c:v mjpeg -q:v 3 '" +
                  avi + "'") &&
              Run("ffmpeg -v error -y -i '" + avi +
                  "' -map 0:v -c copy -f image2 -start_number 0 '" + packets + "%04d.jpg'");
  }
};

const Files& files() {
  static Files f;
  return f;
}

void BM_IffAnimSequential(benchmark::State& state) {
  if (!files().haveAnim) {
    state.SkipWithError("python3 missing");
    return;
  }
  int64_t frames = 0;
  for (auto _ : state) {
    AnimFile* anim = nullptr;
    int32_t w, h, count;
    if (OpenAnimFile(files().anim.c_str(), nullptr, nullptr, 0, 0, &anim, &w, &h, &count, nullptr,
                     nullptr, nullptr) != 0) {
      state.SkipWithError("the anim does not open");
      return;
    }
    for (int loop = 0; loop < LOOPS; loop++)
      for (int32_t i = 0; i < count; i++) {
        uint32_t* p = GetAnimFileFrame(anim, i, 0, nullptr);
        benchmark::DoNotOptimize(p);
        FreeAnimFileFrame(anim, p);
        frames++;
      }
    CloseAnimFile(anim);
  }
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IffAnimSequential)->Unit(benchmark::kMillisecond);

void BM_IffAnimFfmpeg(benchmark::State& state) {
  if (!files().haveAnim || !Run("command -v ffmpeg >/dev/null 2>&1")) {
    state.SkipWithError("ffmpeg or python3 missing");
    return;
  }
  const std::string command = "ffmpeg -v error -stream_loop " + std::to_string(LOOPS - 1) +
                              " -i '" + files().anim + "' -f null - </dev/null";
  int64_t frames = 0;
  for (auto _ : state) {
    if (!Run(command)) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    frames += 60 * LOOPS;
  }
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IffAnimFfmpeg)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AviMjpegFrames(benchmark::State& state) {
  if (!files().haveAvi) {
    state.SkipWithError("ffmpeg missing");
    return;
  }
  AnimFile* anim = nullptr;
  int32_t w, h, count;
  if (OpenAnimFile(files().avi.c_str(), nullptr, nullptr, 0, 0, &anim, &w, &h, &count, nullptr,
                   nullptr, nullptr) != 0) {
    state.SkipWithError("the AVI does not open");
    return;
  }
  int64_t frames = 0;
  for (auto _ : state) {
    for (int32_t i = 0; i < count; i++) {
      uint32_t* p = GetAnimFileFrame(anim, i, 0, nullptr);
      benchmark::DoNotOptimize(p);
      FreeAnimFileFrame(anim, p);
      frames++;
    }
  }
  CloseAnimFile(anim);
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AviMjpegFrames)->Unit(benchmark::kMillisecond);

void BM_AviMjpegLibjpeg(benchmark::State& state) {
  if (!files().haveAvi) {
    state.SkipWithError("ffmpeg missing");
    return;
  }
  std::vector<std::vector<unsigned char>> packets;
  for (int i = 0;; i++) {
    char name[32];
    std::snprintf(name, sizeof name, "%04d.jpg", i);
    FILE* f = std::fopen((files().packets + name).c_str(), "rb");
    if (!f) break;
    std::vector<unsigned char> bytes;
    unsigned char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
      bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
    packets.push_back(std::move(bytes));
  }
  std::vector<unsigned char> rgb;
  int64_t frames = 0;
  for (auto _ : state) {
    for (const auto& packet : packets) {
      jpeg_decompress_struct cinfo;
      jpeg_error_mgr err;
      cinfo.err = jpeg_std_error(&err);
      jpeg_create_decompress(&cinfo);
      jpeg_mem_src(&cinfo, packet.data(), packet.size());
      jpeg_read_header(&cinfo, TRUE);
      cinfo.out_color_space = JCS_RGB;
      jpeg_start_decompress(&cinfo);
      const size_t stride = static_cast<size_t>(cinfo.output_width) * 3;
      rgb.resize(stride * cinfo.output_height);
      while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = rgb.data() + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
      }
      jpeg_finish_decompress(&cinfo);
      jpeg_destroy_decompress(&cinfo);
      benchmark::DoNotOptimize(rgb.data());
      frames++;
    }
  }
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AviMjpegLibjpeg)->Unit(benchmark::kMillisecond);

}  // namespace
