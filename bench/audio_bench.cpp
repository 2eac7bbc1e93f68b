// The built-in sound readers beside sox in the same run: DecodeSoundBlock
// over 60 s of 16-bit stereo WAV and of 8SVX, block by block as the music
// streams use it, against `sox f -t raw /dev/null`. The readers should be
// at least as fast as sox; compare the times of each pair.
//
// The feeder: eight channels of 16-bit stereo at 48 kHz, each scaled to
// half volume and written in the feed thread's blocks, with the PCM write
// taking every frame at once. realtime_factor is the seconds of sound for
// all eight channels made per second; it should be 100 or more.
//
// MixSample through the script command: four 60-s 16-bit stereo samples
// mixed into one, against `sox -m` of the same four files to /dev/null in
// the same run. The command should be at least as fast as sox.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "media/media.h"
#include "media/media_private.h"
#include "runtime/runtime.h"
#include "platform/linux/dynlib.h"
#include "platform/linux/platform.h"

namespace {

// The inputs, made once by sox (a chord, so no block is silent) and
// removed at exit.
struct Inputs {
  std::string dir;
  Inputs() {
    char name[] = "/tmp/qmaudiobenchXXXXXX";
    if (!mkdtemp(name)) std::abort();
    dir = name;
    make("sox -n -r 44100 -c 2 -b 16 " + wav() + " synth 60 sine 440 sine 660");
    make("sox -n -r 22050 -c 1 -b 8 " + svx() + " synth 60 sine 440");
  }
  ~Inputs() { std::system(("rm -rf " + dir).c_str()); }
  static void make(const std::string& line) {
    if (std::system(line.c_str()) != 0) std::abort();
  }
  std::string wav() const { return dir + "/long.wav"; }
  // The four sources of the mix, made on first use.
  std::string voice(int n) {
    std::string name = dir + "/voice" + std::to_string(n) + ".wav";
    if (access(name.c_str(), F_OK) != 0)
      make("sox -n -r 44100 -c 2 -b 16 " + name + " synth 60 sine " +
           std::to_string(220 * (n + 1)) + " vol 0.2");
    return name;
  }
  std::string svx() const { return dir + "/long.8svx"; }
};
Inputs& inputs() {
  static Inputs i;
  return i;
}

constexpr uint32_t BLOCK_FRAMES = 8192;

void decodeAll(benchmark::State& state, const std::string& file) {
  std::vector<uint8_t> block(BLOCK_FRAMES * 4);
  int64_t bytes = 0;
  for (auto _ : state) {
    SoundStream* s = nullptr;
    if (OpenSoundFile(file.c_str(), nullptr, nullptr, 0, 1, &s, nullptr) != ERR_NONE) {
      state.SkipWithError("the file does not open");
      return;
    }
    int32_t done = 0;
    while (!done) {
      uint32_t n = DecodeSoundBlock(s, block.data(), BLOCK_FRAMES, &done);
      if (n == 0) break;
      bytes += static_cast<int64_t>(n) * s->bytesPerFrame;
    }
    CloseSoundFile(s);
  }
  state.SetBytesProcessed(bytes);
}

void soxAll(benchmark::State& state, const std::string& file) {
  std::string line = "sox " + file + " -t raw /dev/null";
  for (auto _ : state)
    if (std::system(line.c_str()) != 0) state.SkipWithError("sox failed");
}

void BM_DecodeWav(benchmark::State& state) { decodeAll(state, inputs().wav()); }
void BM_SoxWav(benchmark::State& state) { soxAll(state, inputs().wav()); }
void BM_Decode8svx(benchmark::State& state) { decodeAll(state, inputs().svx()); }
void BM_Sox8svx(benchmark::State& state) { soxAll(state, inputs().svx()); }

snd_pcm_sframes_t takeAll(snd_pcm_t*, const void*, snd_pcm_uframes_t frames) {
  return static_cast<snd_pcm_sframes_t>(frames);
}

void BM_Feeder8Channels(benchmark::State& state) {
  constexpr int CHANNELS = 8;
  constexpr uint32_t RATE = 48000;
  constexpr uint32_t BLOCK = 4800;  // 100 ms per channel and pass
  Dl_snd_pcm_writei = takeAll;
  std::vector<int16_t> source(static_cast<size_t>(RATE) * 2);
  for (size_t i = 0; i < source.size(); i++) source[i] = static_cast<int16_t>(i * 977);
  std::vector<uint8_t> conversion(ALSA_CONVERSION_BYTES);
  int64_t frames = 0;
  for (auto _ : state) {
    for (int c = 0; c < CHANNELS; c++) {
      const int16_t* from = source.data() + static_cast<size_t>(c) * BLOCK * 2;
      long n = AlsaWriteFrames(32, SAMPLE_S16_STEREO, 0, conversion.data(), nullptr, BLOCK, from);
      benchmark::DoNotOptimize(n);
      frames += n;
    }
    benchmark::ClobberMemory();
  }
  Dl_snd_pcm_writei = nullptr;
  // Seconds of all eight channels made, per second of the run.
  state.counters["realtime_factor"] = benchmark::Counter(
      static_cast<double>(frames) / (RATE * CHANNELS), benchmark::Counter::kIsRate);
}

// A VM with the sound library and the four sources loaded as samples 1-4.
struct MixPlayer {
  VmState* L = VmOpenState();
  MixPlayer() {
    VmRegisterBaseFunctions(L);
    TagItem quiet[] = {{ATTR_QUIET, 1}, {ATTR_DONE, 0}};  // no progress lines
    SetGlobalAttrs(L, quiet);
    VmPushValue(L, VM_GLOBALS_INDEX);
    if (OpenSoundLibrary(L) != ERR_NONE) std::abort();
    VmSetTop(L, 0);
    for (int n = 0; n < 4; n++) {
      VmPushString(L, "loadsample");
      VmGetTable(L, VM_GLOBALS_INDEX);
      VmPushNumber(L, n + 1);
      VmPushString(L, inputs().voice(n).c_str());
      VmCall(L, 2, 0);
    }
  }
  ~MixPlayer() {
    FreeSoundLibrary(L);
    VmCloseState(L);
  }
  void mix(double frames) {
    VmPushString(L, "mixsample");
    VmGetTable(L, VM_GLOBALS_INDEX);
    for (double a : {5.0, frames, 44100.0, 3.0}) VmPushNumber(L, a);  // STEREO16
    for (int n = 1; n <= 4; n++) {
      VmPushNumber(L, n);
      VmPushNil(L);
    }
    VmCall(L, 12, 0);
  }
};

void BM_MixSample4x60s(benchmark::State& state) {
  MixPlayer p;
  for (auto _ : state) p.mix(60.0 * 44100);
  state.SetBytesProcessed(state.iterations() * int64_t{60} * 44100 * 4);
}

void BM_SoxMix4x60s(benchmark::State& state) {
  std::string line = "sox -m";
  for (int n = 0; n < 4; n++) line += " -v 1 " + inputs().voice(n);
  line += " -t raw /dev/null";
  for (auto _ : state)
    if (std::system(line.c_str()) != 0) state.SkipWithError("sox failed");
  state.SetBytesProcessed(state.iterations() * int64_t{60} * 44100 * 4);
}

BENCHMARK(BM_DecodeWav)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SoxWav)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Decode8svx)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sox8svx)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Feeder8Channels)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_MixSample4x60s)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SoxMix4x60s)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
