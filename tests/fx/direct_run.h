// One transition renderer driven through its row of the effect table
// straight into an output bitmap that starts as the old picture, every
// frame recorded: exact frames, counts and jumps without a display.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "fx/fx_private.h"
#include "gfx/gfx.h"

namespace fxdirect {

inline constexpr uint32_t INTO_BITMAP =
    SAFEBLT_NOCLIPRECORD | SAFEBLT_NOSPRITES | SAFEBLT_BITMAPONLY;
inline constexpr uint32_t RGB = 0xFFFFFFu;

using Frame = std::vector<uint32_t>;
// The colour of pixel x, y of picture number n.
using Coder = uint32_t (*)(int n, int x, int y);

// An opaque picture of the colours.
inline OwnedBitmap Picture(int w, int h, const std::function<uint32_t(int, int)>& colour) {
  OwnedBitmap b(AllocBitmap(w, h, 0, nullptr));
  auto* p = reinterpret_cast<uint32_t*>(GetBitmapAttr(b.get(), 23));
  auto row = static_cast<int32_t>(GetBitmapAttr(b.get(), 13));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) p[y * row + x] = 0xFF000000u | (colour(x, y) & RGB);
  return b;
}

inline Frame PixelsOf(BitmapHandle* b) {
  Frame f(static_cast<size_t>(b->width) * b->height);
  auto* p = reinterpret_cast<uint32_t*>(GetBitmapAttr(b, 23));
  auto row = static_cast<int32_t>(GetBitmapAttr(b, 13));
  for (int y = 0; y < b->height; ++y)
    for (int x = 0; x < b->width; ++x)
      f[static_cast<size_t>(y) * b->width + x] = p[y * row + x] & RGB;
  return f;
}

// Picture 1 is the new one, 2 the old one.
struct DirectRun {
  int W, H;
  OwnedBitmap newPic, oldPic, out;
  FXState s{};
  std::vector<Frame> frames;
  int defaultParameter;

  DirectRun(int w, int h, OwnedBitmap n, OwnedBitmap o, int parameter)
      : W(w), H(h), newPic(std::move(n)), oldPic(std::move(o)), defaultParameter(parameter) {}
  DirectRun(int w, int h, Coder coder, int parameter)
      : DirectRun(w, h, Picture(w, h, [coder](int x, int y) { return coder(1, x, y); }),
                  Picture(w, h, [coder](int x, int y) { return coder(2, x, y); }), parameter) {}
  DirectRun(const DirectRun&) = delete;
  DirectRun& operator=(const DirectRun&) = delete;
  ~DirectRun() { release(); }

  void release() {
    if (s.releasePriv) s.releasePriv(&s, 1);
    FreeMemory(s.priv);
    s.priv = nullptr;
    s.releasePriv = nullptr;
  }

  ErrorCode prepare(int effect, int speed) { return prepare(effect, speed, defaultParameter); }
  ErrorCode prepare(int effect, int speed, int parameter) {
    release();
    frames.clear();
    s = FXState{};
    s.effect = effect;
    s.speed = s.requestedSpeed = speed;
    s.parameter = parameter;
    s.width = s.outWidth = W;
    s.height = s.outHeight = H;
    s.image = newPic.get();
    s.background = oldPic.get();
    out.reset(AllocBitmap(W, H, 0, nullptr));
    BltBitmapToTarget(oldPic.get(), 0, 0, out.get(), 0, 0, W, H);
    s.dest = out.get();
    s.bltFlags = INTO_BITMAP;
    s.render = GetFXRenderer(effect);
    if (!s.render) return ERR_WRONGUSAGE;
    s.phase = FXPHASE_PREPARE;
    return s.render(&s, nullptr);
  }

  // Phase 1 calls until done (at most limit); true when it ended, false
  // also when a frame failed.
  bool run(int limit = 100000) {
    s.phase = FXPHASE_FRAME;
    int32_t done = 0;
    while (!done && static_cast<int>(frames.size()) < limit) {
      if (s.render(&s, &done) != ERR_NONE) return false;
      frames.push_back(PixelsOf(out.get()));
    }
    return done != 0;
  }

  Frame jump(int n) {
    s.phase = FXPHASE_JUMP;
    s.frame = n;
    s.render(&s, nullptr);
    s.phase = FXPHASE_FRAME;
    return PixelsOf(out.get());
  }

  Frame newPixels() { return PixelsOf(newPic.get()); }
  Frame oldPixels() { return PixelsOf(oldPic.get()); }
};

}  // namespace fxdirect
