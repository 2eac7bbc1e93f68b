// Sprites, moving objects and the collision test against the same work
// done with plain blits and a plain loop, in the same run, on a display
// record without a window (the window copies cost nothing on either side):
// DisplaySprite of a 64x64 masked sprite moved by one pixel on 640x480
// against copying the background of the union, the masked frame over it
// and the union to the window; one step of a move of a 128x128 brush
// against the same three blits; Collision of two fully overlapping 512x512
// masks without a common solid pixel against a loop over the mask bytes.
// Target: at most 1.5x the reference each.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "display/display_private.h"
#include "display/layer_private.h"
#include "draw/draw_private.h"

namespace {

constexpr int32_t W = 640, H = 480, SPRITE = 64, BRUSH = 128, MASKS = 512;

BitmapHandle* maskOf(BitmapHandle* model, int32_t size, bool odd) {
  BitmapHandle* mask = AllocBitMask(model, size, size, 1, nullptr, 0);
  for (int32_t y = 0; y < size; ++y)
    for (int32_t x = 0; x < size; ++x)
      if (((x + y) & 1) == (odd ? 1 : 0)) MaskRectOp(mask, x, y, 1, 1, 0);
  return mask;
}

// The graphics and display libraries opened once (SafeBlt reaches the
// current display through the display library's hooks).
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

// A display record without a window, its picture and a sprite on it.
struct Scene {
  DisplayRecord* d = nullptr;
  BGPic pic{};
  BitmapHandle *frame = nullptr, *frameMask = nullptr, *buffer = nullptr;
  Scene() {
    libraries();
    InitDrawContext();
    d = static_cast<DisplayRecord*>(AllocMemory(sizeof(DisplayRecord), 1));
    d->outputKind = OBJECT_DISPLAY;
    d->windowBitmap = AllocBitmap(W, H, 0, nullptr);
    FillBitmapRect(d->windowBitmap, 0, 0, W, H, 0xFF336699u);
    pic.width = W;
    pic.height = H;
    d->bgpic = &pic;
    SetCurrentDisplay(d);
    frame = AllocBitmap(SPRITE, SPRITE, 0, nullptr);
    FillBitmapRect(frame, 0, 0, SPRITE, SPRITE, 0xFFFF0000u);
    frameMask = maskOf(frame, SPRITE, false);
    SpriteFrames f{};
    f.count = 1;
    f.bitmaps = static_cast<BitmapHandle**>(AllocMemory(sizeof(BitmapHandle*), 1));
    f.masks = static_cast<BitmapHandle**>(AllocMemory(sizeof(BitmapHandle*), 1));
    f.alphas = static_cast<BitmapHandle**>(AllocMemory(sizeof(BitmapHandle*), 1));
    f.bitmaps[0] = ConvertBitmapCopy(frame);
    f.masks[0] = maskOf(f.bitmaps[0], SPRITE, false);
    ObjectId id{nullptr, 1};
    AddSpriteObject(nullptr, &id, 0, SPRITE, SPRITE, -1, &f, nullptr);
    buffer = AllocBitmap(W, H, 0, nullptr);
  }
  static BitmapHandle* ConvertBitmapCopy(BitmapHandle* b) {
    BitmapHandle *c = nullptr, *m = nullptr, *a = nullptr;
    ConvertBitmap(b, nullptr, nullptr, 0, 0, SPRITE, SPRITE, 0, 0, nullptr, nullptr, &c, &m, &a);
    return c;
  }
  ~Scene() {
    FreeSpriteInstances(&pic);
    FreeAllSprites(nullptr);
    SetCurrentDisplay(nullptr);
    FreeBitmap(d->windowBitmap);
    FreeMemory(d);
    FreeBitmap(frame);
    FreeBitMask(frameMask);
    FreeBitmap(buffer);
  }
};

void BM_DisplaySpriteOnePixel(benchmark::State& state) {
  Scene s;
  int32_t x = 100;
  DisplaySpriteCore(nullptr, ObjectId{nullptr, 1}, x, 100, 1);
  for (auto _ : state) {
    x = x == 100 ? 101 : 100;
    DisplaySpriteCore(nullptr, ObjectId{nullptr, 1}, x, 100, 1);
  }
}
BENCHMARK(BM_DisplaySpriteOnePixel);

void BM_PlainSpriteBlits(benchmark::State& state) {
  Scene s;
  int32_t x = 100;
  for (auto _ : state) {
    x = x == 100 ? 101 : 100;
    BltBitmapToTarget(s.d->windowBitmap, 100, 100, s.buffer, 100, 100, SPRITE + 1, SPRITE);
    SafeBlt(nullptr, s.frame, 0, 0, s.buffer, x, 100, SPRITE, SPRITE, SPRITE, SPRITE, W, H,
            SAFEBLT_BITMAPONLY | SAFEBLT_NOSPRITES | SAFEBLT_NOCLIPRECORD, s.frameMask, nullptr,
            nullptr);
    RefreshDisplayRect(s.buffer, 100, 100, s.d, 100, 100, SPRITE + 1, SPRITE, 0);
  }
}
BENCHMARK(BM_PlainSpriteBlits);

void BM_MoveBrushStep(benchmark::State& state) {
  Scene s;
  BitmapHandle* brush = AllocBitmap(BRUSH, BRUSH, 0, nullptr);
  FillBitmapRect(brush, 0, 0, BRUSH, BRUSH, 0xFF00FF00u);
  MoveState m{};
  auto start = [&] {
    m = MoveState{};
    m.state = nullptr;
    m.type = MOVE_PICTURE;
    m.bitmap = brush;
    m.width = m.height = BRUSH;
    m.speed = 1;
    m.startX = 0;
    m.startY = 100;
    m.endX = W - BRUSH;
    m.endY = 100;
    m.ownedByAsync = 1;
    MoveObjectCore(&m);
  };
  start();
  for (auto _ : state) {
    int32_t done = 0;
    m.drawFrame(&m, &done);
    if (done) {
      m.release(&m);
      start();
    }
  }
  m.release(&m);
  FreeBitmap(brush);
}
BENCHMARK(BM_MoveBrushStep);

void BM_PlainMoveBlits(benchmark::State& state) {
  Scene s;
  BitmapHandle* brush = AllocBitmap(BRUSH, BRUSH, 0, nullptr);
  FillBitmapRect(brush, 0, 0, BRUSH, BRUSH, 0xFF00FF00u);
  BitmapHandle* work = AllocBitmap(W, H, 0, nullptr);
  int32_t x = 0;
  for (auto _ : state) {
    x = x + 1 > W - BRUSH ? 0 : x + 1;
    BltBitmapToTarget(s.buffer, x, 100, work, x, 100, BRUSH + 1, BRUSH);
    SafeBlt(nullptr, brush, 0, 0, work, x + 1, 100, BRUSH, BRUSH, BRUSH, BRUSH, W, H,
            SAFEBLT_BITMAPONLY | SAFEBLT_NOSPRITES | SAFEBLT_NOCLIPRECORD, nullptr, nullptr,
            nullptr);
    RefreshDisplayRect(work, x, 100, s.d, x, 100, BRUSH + 1, BRUSH, 0);
  }
  FreeBitmap(work);
  FreeBitmap(brush);
}
BENCHMARK(BM_PlainMoveBlits);

struct Masks {
  BitmapHandle *model = nullptr, *a = nullptr, *b = nullptr;
  Masks() {
    model = AllocBitmap(MASKS, MASKS, 0, nullptr);
    a = maskOf(model, MASKS, false);
    b = maskOf(model, MASKS, true);
  }
  ~Masks() {
    FreeBitMask(a);
    FreeBitMask(b);
    FreeBitmap(model);
  }
};

void BM_CollisionMasks512(benchmark::State& state) {
  Masks m;
  for (auto _ : state)
    benchmark::DoNotOptimize(PixelCollision(0, 0, MASKS, MASKS, m.a, nullptr, 0, 0, 0, 0, MASKS,
                                            MASKS, m.b, nullptr, 0, 0, nullptr, nullptr));
}
BENCHMARK(BM_CollisionMasks512);

void BM_PlainMaskLoop512(benchmark::State& state) {
  Masks m;
  for (auto _ : state) {
    BitmapLock la{}, lb{};
    LockBitmap(m.a, 1, &la);
    LockBitmap(m.b, 1, &lb);
    int hit = 0;
    for (int32_t y = 0; y < MASKS && !hit; ++y) {
      const uint8_t* ra = la.address + static_cast<size_t>(y) * la.rowLength;
      const uint8_t* rb = lb.address + static_cast<size_t>(y) * lb.rowLength;
      for (int32_t x = 0; x < MASKS; ++x)
        if (((ra[x >> 3] >> (7 - (x & 7))) & 1) && ((rb[x >> 3] >> (7 - (x & 7))) & 1)) {
          hit = 1;
          break;
        }
    }
    UnlockBitmap(&la);
    UnlockBitmap(&lb);
    benchmark::DoNotOptimize(hit);
  }
}
BENCHMARK(BM_PlainMaskLoop512);

}  // namespace
