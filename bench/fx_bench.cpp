// Every transition effect (ids 0 to 139 but 113) as a 1920x1080
// background-picture transition in direct mode: the renderer of each
// frame with its output blit to the display's window bitmap, on a display
// record without a window (frame waits cost nothing), on one thread. Each
// benchmark iteration is one frame, timed by hand; a finished transition
// starts again outside the timing. Reported per effect: the mean frame
// time, the worst frame, the mean as a multiple of one full-frame
// 1920x1080 copy measured in the same run, and the share of the 16.7 ms
// budget of a frame at 60 frames per second. The program ends with the
// ten slowest effects.
//
// Targets: every effect at most 16.7 ms a frame; the REVEAL wipes (30-33),
// the LINES (34-37), the PUSH (78-81), FADE (116) and BLEND (117) under a
// quarter of that, 4.17 ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

#include "display/display_private.h"
#include "draw/draw.h"
#include "fx/fx_private.h"

namespace {

constexpr int32_t W = 1920, H = 1080;
constexpr double BUDGET_MS = 1000.0 / 60.0;

struct Result {
  double meanMs = 0, worstMs = 0;
};
std::map<int32_t, Result>& results() {
  static std::map<int32_t, Result> r;
  return r;
}

VmState* libraries() {
  static VmState* L = [] {
    VmState* state = VmOpenState();
    VmRegisterBaseFunctions(state);
    for (ErrorCode (*open)(VmState*) : {OpenGraphicsLibrary, OpenDisplayLibrary}) {
      VmPushValue(state, VM_GLOBALS_INDEX);
      open(state);
      VmSetTop(state, 0);
    }
    return state;
  }();
  return L;
}

// A picture with detail in every channel, so that no kernel meets a
// uniform shortcut.
BitmapHandle* pattern(uint32_t seed) {
  BitmapHandle* b = AllocBitmap(W, H, 0, nullptr);
  auto* p = reinterpret_cast<uint32_t*>(GetBitmapAttr(b, 23));
  auto row = static_cast<int32_t>(GetBitmapAttr(b, 13));
  for (int32_t y = 0; y < H; y++)
    for (int32_t x = 0; x < W; x++) {
      uint32_t v = (static_cast<uint32_t>(x) * 2654435761u) ^ (static_cast<uint32_t>(y) * seed);
      p[static_cast<size_t>(y) * row + x] = 0xFF000000u | (v & 0xFFFFFFu);
    }
  return b;
}

// A display record without a window showing the old picture.
struct Scene {
  DisplayRecord* d = nullptr;
  BGPic pic{};
  BitmapHandle *oldPicture = nullptr, *newPicture = nullptr;
  Scene() {
    libraries();
    InitDrawContext();
    d = static_cast<DisplayRecord*>(AllocMemory(sizeof(DisplayRecord), 1));
    d->outputKind = OBJECT_DISPLAY;
    d->windowBitmap = AllocBitmap(W, H, 0, nullptr);
    pic.width = W;
    pic.height = H;
    pic.transparentColour = -1;
    d->bgpic = &pic;
    SetCurrentDisplay(d);
    oldPicture = pattern(40503u);
    newPicture = pattern(9176u);
  }
  ~Scene() {
    SetCurrentDisplay(nullptr);
    FreeBitmap(d->windowBitmap);
    FreeMemory(d);
    FreeBitmap(oldPicture);
    FreeBitmap(newPicture);
  }
};

// One transition of the effect, prepared as the runner prepares a
// background picture's: the old picture in the window, frames drawn to
// the display with the back-buffer flag.
struct Run {
  Scene& scene;
  FXState s{};
  explicit Run(Scene& sc) : scene(sc) {}
  ~Run() { release(); }
  void release() {
    if (s.releasePriv) s.releasePriv(&s, 1);
    FreeMemory(s.priv);
    s.priv = nullptr;
    s.releasePriv = nullptr;
  }
  ErrorCode start(int32_t effect) {
    release();
    s = FXState{};
    s.vm = libraries();
    s.kind = FXKIND_BGPIC;
    s.effect = effect;
    s.speed = s.requestedSpeed = -1;
    s.parameter = FX_RANDOMPARAMETER;
    s.undoLevel = 1;
    s.width = s.outWidth = W;
    s.height = s.outHeight = H;
    s.image = scene.newPicture;
    s.background = s.previousImage = scene.oldPicture;
    s.bltFlags = SAFEBLT_BACKBUFFER;
    s.render = GetFXRenderer(effect);
    BltBitmapToTarget(scene.oldPicture, 0, 0, scene.d->windowBitmap, 0, 0, W, H);
    if (!s.render) return ERR_WRONGUSAGE;
    s.phase = FXPHASE_PREPARE;
    ErrorCode e = s.render(&s, nullptr);
    s.phase = FXPHASE_FRAME;
    s.frame = 0;
    return e;
  }
};

// The time of one full-frame copy, the unit of the multiples.
double copyMs() {
  static double ms = [] {
    Scene scene;
    std::vector<double> times;
    for (int i = 0; i < 21; i++) {
      auto t0 = std::chrono::steady_clock::now();
      BltBitmapToTarget(scene.newPicture, 0, 0, scene.d->windowBitmap, 0, 0, W, H);
      auto t1 = std::chrono::steady_clock::now();
      times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
  }();
  return ms;
}

void BM_Effect(benchmark::State& state) {
  auto effect = static_cast<int32_t>(state.range(0));
  Scene scene;
  Run run(scene);
  if (run.start(effect) != ERR_NONE) {
    state.SkipWithError("prepare failed");
    return;
  }
  double total = 0, worst = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    int32_t done = 0;
    auto t0 = std::chrono::steady_clock::now();
    run.s.render(&run.s, &done);
    auto t1 = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
    total += seconds * 1000.0;
    worst = std::max(worst, seconds * 1000.0);
    frames++;
    if (done) run.start(effect);
  }
  Result r{frames ? total / static_cast<double>(frames) : 0, worst};
  results()[effect] = r;
  state.counters["worst_ms"] = r.worstMs;
  state.counters["x_copy"] = r.meanMs / copyMs();
  state.counters["budget_pct"] = r.meanMs / BUDGET_MS * 100.0;
  state.counters["frames_per_run"] = run.s.frameCount;
  state.SetLabel(GetFXName(effect) ? GetFXName(effect) : "");
}

void registerEffects() {
  for (int32_t id = 0; id <= 139; id++) {
    if (id == FX_RANDOMALIAS) continue;
    benchmark::RegisterBenchmark("BM_Effect", BM_Effect)
        ->Arg(id)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.3);
  }
}

bool underQuarter(int32_t id) {
  return (id >= 30 && id <= 37) || (id >= 78 && id <= 81) || id == 116 || id == 117;
}

void reportSlowest() {
  std::vector<std::pair<int32_t, Result>> all(results().begin(), results().end());
  std::sort(all.begin(), all.end(),
            [](const auto& a, const auto& b) { return a.second.meanMs > b.second.meanMs; });
  std::printf("\nOne full-frame %dx%d copy: %.3f ms\n", W, H, copyMs());
  std::printf("The ten slowest effects (mean ms a frame, worst ms, share of %.1f ms):\n",
              BUDGET_MS);
  for (size_t i = 0; i < all.size() && i < 10; i++) {
    const char* name = GetFXName(all[i].first);
    std::printf("  %3d %-16s %8.3f %8.3f %6.1f %%\n", all[i].first, name ? name : "",
                all[i].second.meanMs, all[i].second.worstMs,
                all[i].second.meanMs / BUDGET_MS * 100.0);
  }
  std::printf("Over their target:\n");
  int over = 0;
  for (const auto& [id, r] : all) {
    double target = underQuarter(id) ? BUDGET_MS / 4 : BUDGET_MS;
    if (r.meanMs > target) {
      const char* name = GetFXName(id);
      std::printf("  %3d %-16s %8.3f ms (target %.2f ms)\n", id, name ? name : "", r.meanMs,
                  target);
      over++;
    }
  }
  if (!over) std::printf("  none\n");
}

}  // namespace

int main(int argc, char** argv) {
  registerEffects();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  reportSlowest();
  benchmark::Shutdown();
  return 0;
}
