// Anim playback: PlayAnim at FASTSPEED of 200 masked 640 x 480 frames
// (20 frames played ten times) on a display record without a window,
// against SafeBlt of the same 200 frames with their masks, in the same run.
// Target: the playback at most 1.3 times the blits; the Figure benchmark
// prints it as a figure line (bench/figure.h).
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench/figure.h"
#include "display/display_private.h"
#include "draw/draw.h"
#include "media/anim_private.h"
#include "media/media.h"

namespace {

constexpr int32_t W = 640, H = 480, FRAMES = 20, PASSES = 10;

// The graphics, display and anim libraries opened once.
VmState* libraries() {
  static VmState* L = [] {
    VmState* state = VmOpenState();
    VmRegisterBaseFunctions(state);
    for (ErrorCode (*open)(VmState*) : {OpenGraphicsLibrary, OpenDisplayLibrary, OpenAnimLibrary}) {
      VmPushValue(state, VM_GLOBALS_INDEX);
      open(state);
      VmSetTop(state, 0);
    }
    return state;
  }();
  return L;
}

// A display record without a window showing a 640 x 480 picture, and anim
// 1: frames of their own colour, a mask with every other 8-pixel column.
struct Scene {
  VmState* L = libraries();
  DisplayRecord* d = nullptr;
  BGPic pic{};
  AnimObject* anim = nullptr;
  Scene() {
    d = static_cast<DisplayRecord*>(AllocMemory(sizeof(DisplayRecord), 1));
    d->outputKind = OBJECT_DISPLAY;
    d->width = W;
    d->height = H;
    d->windowBitmap = AllocBitmap(W, H, 0, nullptr);
    FillBitmapRect(d->windowBitmap, 0, 0, W, H, 0xFF336699u);
    pic.width = W;
    pic.height = H;
    d->bgpic = &pic;
    SetCurrentDisplay(d);
    AnimFrameArrays f{};
    AllocAnimFrames(FRAMES, 1, &f);
    for (int32_t i = 0; i < FRAMES; ++i) {
      f.bitmaps[i] = AllocBitmap(W, H, 0, nullptr);
      FillBitmapRect(f.bitmaps[i], 0, 0, W, H, 0xFF000000u | (0x0B0D11u * (i + 1)));
      f.masks[i] = AllocBitMask(f.bitmaps[i], W, H, 1, nullptr, 0);
      for (int32_t x = 0; x < W; x += 16) MaskRectOp(f.masks[i], x, 0, 8, H, 0);
    }
    ObjectId id{nullptr, 1};
    AddAnimObject(&id, 0, W, H, &f, 0, 0, 0, 0, &anim);
  }
  ~Scene() {
    FreeAnimObject(L, ObjectId{nullptr, 1}, 0);
    SetCurrentDisplay(nullptr);
    FreeBitmap(d->windowBitmap);
    FreeMemory(d);
  }
  // PlayAnim(1, 0, 0, FASTSPEED, PASSES) as a script calls it.
  bool Play() {
    VmSetTop(L, 0);
    VmPushString(L, "playanim");
    VmGetTable(L, VM_GLOBALS_INDEX);
    for (double v : {1.0, 0.0, 0.0, -2.0, static_cast<double>(PASSES)}) VmPushNumber(L, v);
    return VmPCall(L, 5, 0, 0) == 0;
  }
  // The same frames through SafeBlt with their masks.
  void Blit() {
    for (int32_t pass = 0; pass < PASSES; ++pass)
      for (int32_t i = 0; i < FRAMES; ++i)
        SafeBlt(L, anim->frames.bitmaps[i], 0, 0, nullptr, 0, 0, W, H, W, H, W, H,
                SAFEBLT_BACKBUFFER | SAFEBLT_SCALED, anim->frames.masks[i], nullptr, nullptr);
  }
};

void BM_PlayAnimFast(benchmark::State& state) {
  Scene s;
  for (auto _ : state)
    if (!s.Play()) state.SkipWithError("PlayAnim failed");
  state.SetItemsProcessed(state.iterations() * FRAMES * PASSES);
}
BENCHMARK(BM_PlayAnimFast)->Unit(benchmark::kMillisecond);

void BM_SafeBltFrames(benchmark::State& state) {
  Scene s;
  for (auto _ : state) s.Blit();
  state.SetItemsProcessed(state.iterations() * FRAMES * PASSES);
}
BENCHMARK(BM_SafeBltFrames)->Unit(benchmark::kMillisecond);

void BM_FigurePlayAnim(benchmark::State& state) {
  Scene s;
  benchfigure::Measure(
      state, "animplay: PlayAnim of 200 masked 640x480 frames vs SafeBlt of them",
      benchfigure::Kind::TIME, 1.3, 21, [&] { s.Play(); }, [&] { s.Blit(); });
}
BENCHMARK(BM_FigurePlayAnim)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
