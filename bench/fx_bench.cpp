// Every transition effect (ids 0 to 139 but 113) as a 1920x1080
// background-picture transition in direct mode: the renderer of each
// frame with its output blit to the display's window bitmap, on a display
// record without a window (frame waits cost nothing), on one thread. Each
// benchmark iteration is one frame, timed by hand; a finished transition
// starts again outside the timing. Reported per effect: the mean frame
// time, the worst frame, the mean as a multiple of one full-frame
// 1920x1080 copy measured in the same run, and the share of the 16.7 ms
// budget of a frame at 60 frames per second, and the mean processor time
// of the thread a frame (cpu_ms), which a busy machine inflates less than
// the wall time. Every effect then runs again in layer mode: shown with
// "forcerealtimelayers" as the bottom layer of the picture under ten
// overlapping layers, stepped through their async draw object. The program
// lists the ten slowest of each mode and the worst effect of each.
//
// Targets: every effect at most 16.7 ms a frame in both modes; the REVEAL
// wipes (30-33), the LINES (34-37), the PUSH (78-81), FADE (116) and BLEND
// (117) under a quarter of that, 4.17 ms, in direct mode.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <vector>

#include "display/display_private.h"
#include "display/layer_private.h"
#include "draw/draw.h"
#include "fx/fx_private.h"

namespace {

constexpr int32_t W = 1920, H = 1080;
constexpr double BUDGET_MS = 1000.0 / 60.0;

struct Result {
  double meanMs = 0, worstMs = 0, cpuMs = 0;
};

// The processor time of the calling thread so far, in ms.
double threadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}
std::map<int32_t, Result>& results() {
  static std::map<int32_t, Result> r;
  return r;
}
std::map<int32_t, Result>& layerResults() {
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
  double total = 0, worst = 0, cpu = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    int32_t done = 0;
    double c0 = threadCpuMs();
    auto t0 = std::chrono::steady_clock::now();
    run.s.render(&run.s, &done);
    auto t1 = std::chrono::steady_clock::now();
    cpu += threadCpuMs() - c0;
    double seconds = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
    total += seconds * 1000.0;
    worst = std::max(worst, seconds * 1000.0);
    frames++;
    if (done) run.start(effect);
  }
  double n = frames ? static_cast<double>(frames) : 1.0;
  Result r{total / n, worst, cpu / n};
  results()[effect] = r;
  state.counters["worst_ms"] = r.worstMs;
  state.counters["cpu_ms"] = r.cpuMs;
  state.counters["x_copy"] = r.meanMs / copyMs();
  state.counters["budget_pct"] = r.meanMs / BUDGET_MS * 100.0;
  state.counters["frames_per_run"] = run.s.frameCount;
  state.SetLabel(GetFXName(effect) ? GetFXName(effect) : "");
}

std::vector<std::pair<int32_t, Result>> slowestFirst(const std::map<int32_t, Result>& of) {
  std::vector<std::pair<int32_t, Result>> all(of.begin(), of.end());
  std::sort(all.begin(), all.end(),
            [](const auto& a, const auto& b) { return a.second.meanMs > b.second.meanMs; });
  return all;
}

BitmapHandle* copyOf(BitmapHandle* picture) {
  BitmapHandle* b = AllocBitmap(W, H, 0, nullptr);
  BltBitmapToTarget(picture, 0, 0, b, 0, 0, W, H);
  return b;
}

// The scene with layers on: the old picture as the background picture,
// the new one as its bottom layer, ten layers of 640x360 over it.
struct LayerScene : Scene {
  BGPic layered{};
  LayerScene() {
    InitBGPicRecord(&layered, 0, nullptr, 0, ObjectId{nullptr, 1}, copyOf(oldPicture), nullptr,
                    nullptr, W, H, 1);
    d->bgpic = &layered;
    d->layers = 1;
    SetCurrentBGPic(&layered);
    NewLayer(nullptr, LAYER_BGPICPART, nullptr, 0, 0, W, H, nullptr, nullptr, copyOf(newPicture),
             nullptr, nullptr, AllocLayerImageState(), -1, 0, nullptr);
    for (int32_t i = 0; i < 10; i++) {
      const int32_t w = 640, h = 360;
      BitmapHandle* b = AllocBitmap(w, h, 0, nullptr);
      FillBitmapRect(b, 0, 0, w, h, 0xFF000000u | (0x1F3F5Fu * static_cast<uint32_t>(i + 1)));
      NewLayer(nullptr, LAYER_BGPICPART, nullptr, (i % 5) * 300 + 50, (i / 5) * 400 + 120, w, h,
               nullptr, nullptr, b, nullptr, nullptr, AllocLayerImageState(), -1, 0, nullptr);
    }
  }
  ~LayerScene() {
    FreeAllAsyncDraws(libraries());
    FreeAllLayers(nullptr, &layered, 0, 0);
    FreeBitmap(layered.bitmap);
    SetCurrentBGPic(nullptr);
    d->bgpic = &pic;
    d->layers = 0;
  }
  // Shows the bottom layer with the effect as an async drawing.
  AsyncDraw* start(int32_t effect) {
    FreeAllAsyncDraws(libraries());
    FXState request{};
    request.vm = libraries();
    request.kind = FXKIND_SHOWLAYER;
    request.effect = effect;
    request.objectId = ObjectId{nullptr, 1};
    request.speed = -1;
    request.parameter = FX_RANDOMPARAMETER;
    request.undoLevel = 1;
    request.forceRealtimeLayers = 1;
    request.async = 1;
    request.optX = request.optY = FX_NOPOSITION;
    int32_t pushed = 0;
    if (RunTransitionFX(&request, &pushed) != ERR_NONE || pushed != 1) return nullptr;
    auto* draw = static_cast<AsyncDraw*>(VmToUserdata(libraries(), -1));
    VmSetTop(libraries(), 0);
    return draw;
  }
};

void BM_LayerEffect(benchmark::State& state) {
  auto effect = static_cast<int32_t>(state.range(0));
  LayerScene scene;
  AsyncDraw* draw = scene.start(effect);
  if (!draw) {
    state.SkipWithError("the transition did not start");
    return;
  }
  double total = 0, worst = 0, cpu = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    double c0 = threadCpuMs();
    auto t0 = std::chrono::steady_clock::now();
    StepAsyncDraw(libraries(), draw, 0);
    auto t1 = std::chrono::steady_clock::now();
    cpu += threadCpuMs() - c0;
    double seconds = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(seconds);
    total += seconds * 1000.0;
    worst = std::max(worst, seconds * 1000.0);
    frames++;
    if (draw->finished) {
      StepAsyncDraw(libraries(), draw, 1);
      draw = scene.start(effect);
      if (!draw) {
        state.SkipWithError("the transition did not start again");
        return;
      }
    }
  }
  double n = frames ? static_cast<double>(frames) : 1.0;
  Result r{total / n, worst, cpu / n};
  layerResults()[effect] = r;
  state.counters["worst_ms"] = r.worstMs;
  state.counters["cpu_ms"] = r.cpuMs;
  state.counters["x_copy"] = r.meanMs / copyMs();
  state.counters["budget_pct"] = r.meanMs / BUDGET_MS * 100.0;
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
  for (int32_t id = 0; id <= 139; id++) {
    if (id == FX_RANDOMALIAS) continue;
    benchmark::RegisterBenchmark("BM_LayerEffect", BM_LayerEffect)
        ->Arg(id)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.3);
  }
}

bool underQuarter(int32_t id) {
  return (id >= 30 && id <= 37) || (id >= 78 && id <= 81) || id == 116 || id == 117;
}

void printSlowest(const std::vector<std::pair<int32_t, Result>>& all) {
  for (size_t i = 0; i < all.size() && i < 10; i++) {
    const char* name = GetFXName(all[i].first);
    std::printf("  %3d %-16s %8.3f %8.3f %6.1f %% %8.3f\n", all[i].first, name ? name : "",
                all[i].second.meanMs, all[i].second.worstMs,
                all[i].second.meanMs / BUDGET_MS * 100.0, all[i].second.cpuMs);
  }
}

// The slowest effect of a mode, as the line bench/run-all reads.
void printWorst(const char* mode, const std::vector<std::pair<int32_t, Result>>& all) {
  if (all.empty()) return;
  const char* name = GetFXName(all[0].first);
  std::printf("worst %s %d %s %.3f ms a frame (processor %.3f ms)\n", mode, all[0].first,
              name ? name : "", all[0].second.meanMs, all[0].second.cpuMs);
}

void reportSlowest() {
  std::vector<std::pair<int32_t, Result>> all = slowestFirst(results());
  if (all.empty()) return;
  std::printf("\nOne full-frame %dx%d copy: %.3f ms\n", W, H, copyMs());
  std::printf(
      "The ten slowest effects (mean ms a frame, worst ms, share of %.1f ms, processor ms):\n",
      BUDGET_MS);
  printSlowest(all);
  std::printf("Over their target:\n");
  int over = 0;
  for (const auto& [id, r] : all) {
    double target = underQuarter(id) ? BUDGET_MS / 4 : BUDGET_MS;
    if (r.meanMs > target) {
      const char* name = GetFXName(id);
      std::printf("  %3d %-16s %8.3f ms (target %.2f ms; processor %.3f ms)\n", id,
                  name ? name : "", r.meanMs, target, r.cpuMs);
      over++;
    }
  }
  if (!over) std::printf("  none\n");
  printWorst("direct", all);
}

void reportLayerMode() {
  std::vector<std::pair<int32_t, Result>> all = slowestFirst(layerResults());
  if (all.empty()) return;
  std::printf("\nThe ten slowest in layer mode under ten overlapping layers:\n");
  printSlowest(all);
  std::printf("Over %.1f ms:\n", BUDGET_MS);
  int over = 0;
  for (const auto& [id, r] : all)
    if (r.meanMs > BUDGET_MS) {
      const char* name = GetFXName(id);
      std::printf("  %3d %-16s %8.3f ms (processor %.3f ms)\n", id, name ? name : "", r.meanMs,
                  r.cpuMs);
      over++;
    }
  if (!over) std::printf("  none\n");
  printWorst("layer", all);
}

}  // namespace

int main(int argc, char** argv) {
  registerEffects();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  reportSlowest();
  reportLayerMode();
  benchmark::Shutdown();
  return 0;
}
