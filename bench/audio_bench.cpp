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
//
// A module channel of the built-in output: the feed thread's step for it
// (write from the staging ring, render the frames taken again on the
// channel's copy of the player, read the PCM's status and move the
// script's player on by the frames played), over stand-in ALSA functions
// that take a block of frames per write, against rendering the same frames
// alone in the same blocks. The feeder should cost at most 5 % more than
// rendering alone: compare BM_ModuleFeeder/n with BM_ModuleRender/n.
// BM_ModuleFollow/n is the script's player moved on alone, the part the
// accounting adds (a small fraction of BM_ModuleRender/n).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "engine/engine.h"
#include "media/media.h"
#include "media/media_private.h"
#include "runtime/runtime.h"
#include "platform/linux/alsa_private.h"
#include "platform/linux/dynlib.h"
#include "platform/linux/platform.h"
#include "tests/media/mod_builder.h"

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
    // Untimed mixes first, till the output's memory is the process's own:
    // the first ones take 10 MB of fresh pages from the system, which on a
    // virtual machine can cost ten times the mix, and sox, which streams
    // to /dev/null, never does; the figure compares mixing.
    for (int warm = 0; warm < 2; warm++) mix(60.0 * 44100);
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

// A busy four-channel module: a note on every row of every channel, looped
// samples of several lengths, slides, vibrato and arpeggios, eight
// patterns at speed 6.
struct BusyModule {
  std::vector<uint8_t> image;
  BusyModule() {
    ModBuilder b;
    for (int s = 0; s < 4; s++) b.samples.push_back(SquareSample(16 << s, 8 >> s));
    const int periods[] = {856, 762, 678, 570, 508, 428, 381, 339, 285, 254, 214, 190};
    const int effects[][2] = {{0, 0x37}, {4, 0x46}, {10, 0x02}, {1, 0x01}, {0, 0}, {7, 0x34}};
    for (int p = 0; p < 8; p++) {
      b.order.push_back(static_cast<uint8_t>(p));
      for (int row = 0; row < 64; row++)
        for (int c = 0; c < 4; c++) {
          const int* e = effects[(row + c + p) % 6];
          b.note(p, row, c, periods[(row * 5 + c * 3 + p) % 12], 1 + (row + c) % 4, e[0], e[1]);
        }
    }
    image = b.build();
  }
};

// A player block over the busy module's image.
struct PlayerBlock {
  std::vector<uint64_t> words;
  ModPlayer* p = nullptr;
  explicit PlayerBlock(std::vector<uint8_t>& image) {
    words.resize((ModInit(nullptr, image.data(), image.size(), MOD_OUTPUT_RATE) + 7) / 8);
    p = reinterpret_cast<ModPlayer*>(words.data());
    if (ModInit(p, image.data(), image.size(), MOD_OUTPUT_RATE) != 1) std::abort();
  }
};

void BM_ModuleRender(benchmark::State& state) {
  const uint32_t block = static_cast<uint32_t>(state.range(0));
  BusyModule module;
  PlayerBlock player(module.image);
  std::vector<int16_t> ring(static_cast<size_t>(MOD_OUTPUT_RATE) * 2);
  uint32_t position = 0;
  for (auto _ : state) {
    for (uint32_t done = 0; done < MOD_OUTPUT_RATE; done += block) {
      const uint32_t n = std::min(block, MOD_OUTPUT_RATE - position);
      RenderModuleBlock(player.p, ring.data() + static_cast<size_t>(position) * 2, n);
      position = (position + n) % MOD_OUTPUT_RATE;
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * MOD_OUTPUT_RATE);
}

// The script's player followed alone: moved on by the same frames without
// rendering them, the part of the feeder's cost that the accounting adds.
void BM_ModuleFollow(benchmark::State& state) {
  const uint32_t block = static_cast<uint32_t>(state.range(0));
  BusyModule module;
  PlayerBlock player(module.image);
  for (auto _ : state) {
    for (uint32_t done = 0; done < MOD_OUTPUT_RATE; done += block)
      RenderModuleBlock(player.p, nullptr, block);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * MOD_OUTPUT_RATE);
}

// The stand-in PCM of the feeder benchmark: each write takes up to a block,
// and the status reports the frames written but the last 4,800 (a 100 ms
// buffer) as played since its trigger.
struct FakePcm {
  uint32_t block = 0;
  const AlsaChannelOutput* output = nullptr;
  ModPlayer* visible = nullptr;
  ModPlayer* renderer = nullptr;
};
FakePcm fakePcm;

snd_pcm_sframes_t takeBlock(snd_pcm_t*, const void*, snd_pcm_uframes_t frames) {
  return static_cast<snd_pcm_sframes_t>(std::min<snd_pcm_uframes_t>(frames, fakePcm.block));
}
int fakeStatus(snd_pcm_t*, snd_pcm_status_t*) { return 0; }
snd_pcm_state_t fakeState(const snd_pcm_status_t*) { return SND_PCM_STATE_RUNNING; }
void fakeTrigger(const snd_pcm_status_t*, snd_timestamp_t* t) { *t = {1, 0}; }
void fakeNow(const snd_pcm_status_t*, snd_timestamp_t* t) {
  const uint64_t written = fakePcm.output->written;
  const uint64_t played = written > 4800 ? written - 4800 : 0;
  t->tv_sec = static_cast<time_t>(1 + played / MOD_OUTPUT_RATE);
  t->tv_usec = static_cast<suseconds_t>((played % MOD_OUTPUT_RATE) * 1000000 / MOD_OUTPUT_RATE);
}

void fakeLock() {}
int32_t oneChannel() { return 1; }
AlsaChannelOutput* noOutput(int32_t) { return nullptr; }
void renderFake(int32_t, int16_t* buffer, uint32_t frames) {
  RenderModuleBlock(buffer ? fakePcm.renderer : fakePcm.visible, buffer, frames);
}
int noRequest(int32_t) { return 0; }

void BM_ModuleFeeder(benchmark::State& state) {
  BusyModule module;
  PlayerBlock visible(module.image), renderer(module.image);
  std::vector<int16_t> ring(static_cast<size_t>(MOD_OUTPUT_RATE) * 2);
  RenderModuleBlock(renderer.p, ring.data(), MOD_OUTPUT_RATE);
  AlsaChannelOutput o = {};
  o.state = 3;
  o.level = ALSA_FULL_LEVEL;
  o.pcm = &o;                 // never looked into: the stand-ins ignore it
  o.bufferFrames = 1u << 30;  // pacing never holds a write back
  o.rate = static_cast<int32_t>(MOD_OUTPUT_RATE);
  o.staging = reinterpret_cast<uint8_t*>(ring.data());
  o.stagingLength = ring.size() * 2;
  fakePcm = {static_cast<uint32_t>(state.range(0)), &o, visible.p, renderer.p};
  AudioFeedHooks hooks = {};
  hooks.lock = hooks.unlock = fakeLock;
  hooks.channelCount = oneChannel;
  hooks.channelOutput = noOutput;
  hooks.renderModule = renderFake;
  hooks.takeModuleRequest = noRequest;
  auto saved = std::make_tuple(Dl_snd_pcm_writei, Dl_snd_pcm_status, Dl_snd_pcm_status_get_state,
                               Dl_snd_pcm_status_get_trigger_tstamp, Dl_snd_pcm_status_get_tstamp);
  Dl_snd_pcm_writei = takeBlock;
  Dl_snd_pcm_status = fakeStatus;
  Dl_snd_pcm_status_get_state = fakeState;
  Dl_snd_pcm_status_get_trigger_tstamp = fakeTrigger;
  Dl_snd_pcm_status_get_tstamp = fakeNow;
  alignas(16) uint8_t statusBlock[64] = {};
  auto* status = reinterpret_cast<snd_pcm_status_t*>(statusBlock);
  std::vector<uint8_t> conversion(ALSA_CONVERSION_BYTES);
  for (auto _ : state) {
    const uint64_t end = o.written + MOD_OUTPUT_RATE;
    while (o.written < end) FeedAlsaModule(&hooks, 0, &o, conversion.data(), status);
    benchmark::ClobberMemory();
  }
  std::tie(Dl_snd_pcm_writei, Dl_snd_pcm_status, Dl_snd_pcm_status_get_state,
           Dl_snd_pcm_status_get_trigger_tstamp, Dl_snd_pcm_status_get_tstamp) = saved;
  state.SetItemsProcessed(state.iterations() * MOD_OUTPUT_RATE);
  // The script's player followed: frames it was moved on by, per written.
  state.counters["followed"] =
      static_cast<double>(o.counted) / static_cast<double>(o.written ? o.written : 1);
}

BENCHMARK(BM_DecodeWav)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SoxWav)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Decode8svx)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sox8svx)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Feeder8Channels)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_MixSample4x60s)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SoxMix4x60s)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ModuleRender)->Arg(48)->Arg(480)->Arg(4800)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModuleFollow)->Arg(48)->Arg(480)->Arg(4800)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModuleFeeder)->Arg(48)->Arg(480)->Arg(4800)->Unit(benchmark::kMillisecond);

}  // namespace
