// The renderers that change pixels instead of moving rectangles: FADE and
// BLEND (the picture passes through a solid colour), CROSSFADE (a weighted
// mix of old and new), DISSOLVE (pixels appear one by one in an order fixed
// at the start) and WATER1 to WATER4 (the new picture fades in while
// circular waves run across the area).
//
// Invariant: each is a whole-frame effect: a frame depends only on its
// number (and the tables made at the start), so phase 2 draws frame n
// exactly as n phase 1 calls leave it. Direct mode composes every frame in
// a work bitmap of the picture's size and shows it whole; layer mode writes
// the layer's image state and lets the stack show it.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fx/fx_private.h"
#include "platform/linux/platform.h"

namespace {

LayerTriple& layerOwn(FXState* state) { return state->layer->display->own; }

// The new picture copied into the layer's bitmap.
void copyPictureToLayer(FXState* state) {
  int32_t W = state->width, H = state->height;
  BlitFXClipped(state->image, 0, 0, layerOwn(state).bitmap, 0, 0, W, H, W, H, W, H);
}

// The end of a level frame. A jump has drawn frame n without counting it
// (a layer shows it whole at once); a frame counts, and the last one ends
// the effect.
ErrorCode endLevelFrame(FXState* state, bool jump, bool last, int32_t* done) {
  if (jump) {
    if (state->layerMode) RefreshFXWhole(state);
    return ERR_NONE;
  }
  if (last) *done = 1;
  EndFXLevelFrame(state);
  return ERR_NONE;
}

// A copy of a whole picture-sized bitmap.
void copyWhole(const FXState* state, BitmapHandle* from, BitmapHandle* to) {
  if (!from || !to) return;
  int32_t W = state->width, H = state->height;
  BlitFXClipped(from, 0, 0, to, 0, 0, W, H, from->width, from->height, W, H);
}

// Blits source onto dest (both picture-sized bitmaps) through a mask or
// an alpha channel.
void blitThrough(FXState* state, BitmapHandle* source, BitmapHandle* dest, BitmapHandle* mask,
                 BitmapHandle* alpha) {
  int32_t W = state->width, H = state->height;
  SafeBlt(state->vm, source, 0, 0, dest, 0, 0, W, H, W, H, W, H,
          SAFEBLT_NOCLIPRECORD | SAFEBLT_NOSPRITES | SAFEBLT_BITMAPONLY, mask, alpha, nullptr);
}

// One pass instead of a copy and TintBitmap: `to` becomes `from` (both of
// the picture's size) tinted towards the colour at opacity t below 255,
// each channel d + ((c - d) * t >> 8) and alpha 0, exactly as the tint
// leaves it. False when the bitmaps are not plain software ones.
bool tintCopy(const FXState* state, BitmapHandle* from, BitmapHandle* to, ArgbColor colour,
              int32_t t) {
  int32_t W = state->width, H = state->height;
  if (t < 1 || t > 254 || !from || from->width != W || from->height != H) return false;
  uint32_t *src = nullptr, *dst = nullptr;
  int32_t srcRow = 0, dstRow = 0;
  if (!FXPlainPixels(from, &src, &srcRow) || !FXPlainPixels(to, &dst, &dstRow)) return false;
  for (int32_t y = 0; y < H; y++)
    TintPixelRow(src + static_cast<ptrdiff_t>(y) * srcRow, dst + static_cast<ptrdiff_t>(y) * dstRow,
                 W, colour, t);
  return true;
}

}  // namespace

// ---- FADE 116 and BLEND 117 ----

namespace {

struct FadeWork {
  BitmapHandle* a;        // the frame: the old picture with B over it
  BitmapHandle* b;        // the tinted picture
  BitmapHandle* opacity;  // layer mode
  BitmapHandle* tinted;   // not owned: background or image
  int32_t counter;
  ArgbColor colour;
};

void releaseFade(FXState* state, int32_t) {
  auto* w = static_cast<FadeWork*>(state->priv);
  if (!w) return;
  FreeBitmap(w->a);
  FreeBitmap(w->b);
  FreeBitmap(w->opacity);
}

// The tint of a level: up to 255 towards the colour, then back to 0 at 511.
int32_t fadeTint(int32_t level) { return level < 256 ? level : 255 - (level % 256); }

// Layer mode: whether this level fades the layer's opacity (the colour, or
// what the layer last showed, over what lies beneath) rather than tinting
// the picture itself.
bool fadesOpacity(const FXState* state, int32_t level) {
  bool fade = state->effect == 116;
  if (state->reverse) return level > 256;
  return fade && level < 256;
}

}  // namespace

ErrorCode RenderFadeFX(FXState* state, int32_t* done) {
  int32_t W = state->width, H = state->height;
  bool fade = state->effect == 116;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(FadeWork))) return e;
    state->releasePriv = releaseFade;
    auto* w = static_cast<FadeWork*>(state->priv);
    int32_t step = state->speed;
    if (step < 1) step = 10;
    if (step > 255) step = 255;
    state->speed = step;
    w->colour = state->parameter == FX_RANDOMPARAMETER
                    ? static_cast<ArgbColor>(rand()) & 0xFFFFFFu
                    : static_cast<ArgbColor>(state->parameter) & 0xFFFFFFu;
    w->counter = step;
    state->frameCount = FXStepCount(511 - step, step, 0);
    if (!state->layerMode) {
      w->a = AllocBitmap(W, H, 0, nullptr);
      w->b = AllocBitmap(W, H, 0, nullptr);
      if (!w->a || !w->b) return ERR_BITMAP;
      w->tinted = fade ? state->background : state->image;
    } else {
      w->opacity = MakeFXOpacityChannel(state);
      if (!w->opacity) return ERR_ALLOCALPHA;
      if (fade && !state->reverse)
        FillBitmapRect(layerOwn(state).bitmap, 0, 0, W, H, w->colour);
      else
        CopyBitmapPixels(w->opacity, layerOwn(state).alpha, H, 255);
    }
    return ERR_NONE;
  }
  auto* w = static_cast<FadeWork*>(state->priv);
  int32_t step = state->speed;
  bool jump = state->phase == FXPHASE_JUMP;
  if (!jump) {
    if (state->frame == 0) w->counter = step;
    BeginFXFrame(state);
  }
  int32_t level = jump ? step * state->frame : w->counter;
  bool last = level > 510;
  if (last) level = 511;
  // FADE tints the old picture up to level 255, the new one after.
  w->tinted = fade && level <= 255 ? state->background : state->image;
  int32_t tint = fadeTint(level);
  if (!state->layerMode) {
    if (!tintCopy(state, w->tinted, w->b, w->colour, tint)) {
      copyWhole(state, w->tinted, w->b);
      if (tint > 0) TintBitmap(w->b, 0, 0, W, H, w->colour, tint);
    }
    if (state->mask || state->alpha) {
      copyWhole(state, state->background, w->a);
      blitThrough(state, w->b, w->a, state->mask, state->alpha);
      ShowFXWork(state, w->a);
    } else {
      // An opaque picture covers the old one whole: B is the frame.
      ShowFXWork(state, w->b);
    }
  } else {
    LayerTriple& own = layerOwn(state);
    if (fadesOpacity(state, level)) {
      if (jump) {
        // Redo what the earlier frames left in the layer's bitmap.
        if (fade && !state->reverse) {
          FillBitmapRect(own.bitmap, 0, 0, W, H, w->colour);
        } else {
          copyPictureToLayer(state);
          TintBitmap(own.bitmap, 0, 0, W, H, w->colour, 255);
        }
      }
      CopyBitmapPixels(w->opacity, own.alpha, H, tint);
      state->level = tint;
    } else {
      if (!tintCopy(state, state->image, own.bitmap, w->colour, tint)) {
        copyPictureToLayer(state);
        if (tint > 0) TintBitmap(own.bitmap, 0, 0, W, H, w->colour, tint);
      }
      CopyBitmapPixels(w->opacity, own.alpha, H, 255);
      state->level = 255;
    }
  }
  // The next phase 1 frame goes on from here, also after a jump.
  w->counter = level + step;
  return endLevelFrame(state, jump, last, done);
}

// ---- CROSSFADE 115 ----

namespace {

bool rectsOverlap(const LayerImageState* a, const LayerImageState* b) {
  return int64_t{a->x} < int64_t{b->x} + b->width && int64_t{b->x} < int64_t{a->x} + a->width &&
         int64_t{a->y} < int64_t{b->y} + b->height && int64_t{b->y} < int64_t{a->y} + a->height;
}

bool untransformed(const qmLayer* layer) {
  const DisplayTransform& t = layer->transform;
  return t.m11 == 1 && t.m12 == 0 && t.m21 == 0 && t.m22 == 1 &&
         !layer->display->transformed.bitmap;
}

}  // namespace

int OverlapLayerAnimating(qmLayer* layer) {
  int32_t position = GetFXLayerPosition(layer);
  for (int32_t i = 1; i < position; i++) {
    qmLayer* beneath = GetFXLayerByIndex(i);
    if (beneath && rectsOverlap(beneath->display, layer->display) && FindAsyncDrawByObject(beneath))
      return 1;
  }
  return 0;
}

int32_t CountCrossFadeLayers(qmLayer* layer, CrossFadeLayerRecord* out, int32_t capacity) {
  int32_t position = GetFXLayerPosition(layer), n = 0;
  for (int32_t i = 1; i < position; i++) {
    qmLayer* beneath = GetFXLayerByIndex(i);
    if (!beneath || !untransformed(beneath) || !rectsOverlap(beneath->display, layer->display))
      continue;
    if (out && n < capacity) {
      const LayerImageState* st = beneath->display;
      out[n] = CrossFadeLayerRecord{beneath,    st->x,
                                    st->y,      st->width,
                                    st->height, {st->own.bitmap, st->own.mask, st->own.alpha}};
    }
    n++;
  }
  return n;
}

namespace {

struct CrossFadeWork {
  int32_t counter;
  BitmapHandle* work;
  BitmapHandle* opacity;
  // The path that leaves the blend to the display adapter: the old picture
  // and the old picture with the new one over it, the blit flags it
  // replaced, the layer's position and the layers beneath it at the start.
  int32_t adapterPath;
  BitmapHandle *oldCopy, *composite;
  uint32_t savedFlags;
  int32_t startX, startY;
  int32_t layerCount;
  CrossFadeLayerRecord* layers;
};

void releaseCrossFade(FXState* state, int32_t) {
  auto* w = static_cast<CrossFadeWork*>(state->priv);
  if (!w) return;
  FreeBitmap(w->work);
  FreeBitmap(w->opacity);
  FreeBitmap(w->oldCopy);
  FreeBitmap(w->composite);
  FreeMemory(w->layers);
}

bool layerFitsAdapter(FXState* state) {
  qmLayer* layer = state->layer;
  return layer && !layer->hidden && untransformed(layer) && !layer->shadow.on &&
         !layer->border.on && !state->decorated && IsFXLayerUncovered(layer) &&
         !OverlapLayerAnimating(layer);
}

// Whether the display adapter can blend this transition (checked once).
bool adapterCanBlend(FXState* state) {
  if (!(AdapterSupportedBitmapFlags(2) & 2) || state->wholeRefresh) return false;
  if (state->layerMode) return layerFitsAdapter(state);
  DisplayRecord* d = GetCurrentDisplay();
  return !state->async && d && d->bgpic && d->bgpic->transparentColour < 0 && !d->bgpic->sprites &&
         state->background;
}

// Keeps the old picture and the old picture with the new one over it, and
// hands the blend to the adapter; the software path stays when memory runs
// short.
void prepareAdapterPath(FXState* state, CrossFadeWork* w) {
  int32_t W = state->width, H = state->height;
  if (!w->work) w->work = AllocBitmap(W, H, 0, nullptr);
  w->oldCopy = AllocBitmap(W, H, 0, nullptr);
  w->composite = AllocBitmap(W, H, 0, nullptr);
  if (!w->work || !w->oldCopy || !w->composite) return;
  if (state->layerMode) {
    w->layerCount = CountCrossFadeLayers(state->layer, nullptr, 0);
    if (w->layerCount > 0) {
      w->layers = static_cast<CrossFadeLayerRecord*>(
          AllocMemory(sizeof(CrossFadeLayerRecord) * static_cast<size_t>(w->layerCount), 1));
      if (!w->layers) return;
      CountCrossFadeLayers(state->layer, w->layers, w->layerCount);
    }
    w->startX = state->layer->display->x;
    w->startY = state->layer->display->y;
  }
  copyWhole(state, state->background, w->oldCopy);
  copyWhole(state, state->background, w->composite);
  blitThrough(state, state->image, w->composite, state->mask, state->alpha);
  w->savedFlags = state->bltFlags;
  state->bltFlags = SAFEBLT_NOCLIPRECORD | SAFEBLT_NOSPRITES;
  w->adapterPath = 1;
}

// Layer mode: the layer and the layers beneath it are as they were when
// the transition began.
bool adapterStillFits(FXState* state, const CrossFadeWork* w) {
  if (!state->layerMode) return true;
  qmLayer* layer = state->layer;
  if (!layerFitsAdapter(state) || layer->display->x != w->startX ||
      layer->display->y != w->startY || CountCrossFadeLayers(layer, nullptr, 0) != w->layerCount)
    return false;
  std::vector<CrossFadeLayerRecord> now(static_cast<size_t>(w->layerCount));
  CountCrossFadeLayers(layer, now.data(), w->layerCount);
  for (int32_t i = 0; i < w->layerCount; i++) {
    const CrossFadeLayerRecord &a = now[static_cast<size_t>(i)], &b = w->layers[i];
    if (a.layer != b.layer || a.x != b.x || a.y != b.y || a.width != b.width ||
        a.height != b.height || a.words[0] != b.words[0] || a.words[1] != b.words[1] ||
        a.words[2] != b.words[2])
      return false;
  }
  return true;
}

// Back to the software path for good.
void leaveAdapterPath(FXState* state, CrossFadeWork* w) {
  w->adapterPath = 0;
  state->bltFlags = w->savedFlags;
}

}  // namespace

ErrorCode RenderCrossFadeFX(FXState* state, int32_t* done) {
  int32_t W = state->width, H = state->height;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(CrossFadeWork))) return e;
    state->releasePriv = releaseCrossFade;
    auto* w = static_cast<CrossFadeWork*>(state->priv);
    int32_t step = state->speed;
    if (step < 1) step = 10;
    if (step > 120) step = 120;
    state->speed = step;
    state->frameCount = FXStepCount(255, step, 1);
    if (!state->layerMode) {
      w->work = AllocBitmap(W, H, 0, nullptr);
      if (!w->work) return ERR_BITMAP;
    } else {
      copyPictureToLayer(state);
      w->opacity = MakeFXOpacityChannel(state);
      if (!w->opacity) return ERR_ALLOCALPHA;
    }
    if (adapterCanBlend(state)) prepareAdapterPath(state, w);
    return ERR_NONE;
  }
  auto* w = static_cast<CrossFadeWork*>(state->priv);
  int32_t step = state->speed;
  bool jump = state->phase == FXPHASE_JUMP;
  if (!jump) {
    if (state->frame == 0) w->counter = 0;
    BeginFXFrame(state);
  }
  // The level counter advances by the step each frame.
  int32_t level = jump ? step * state->frame : w->counter + step;
  bool last = level > 254;
  if (last) level = 255;
  if (level < 0) level = 0;
  state->level = state->reverse ? 255 - level : level;
  w->counter = level;
  if (w->adapterPath && !adapterStillFits(state, w)) leaveAdapterPath(state, w);
  if (w->adapterPath && !(last && state->layerMode)) {
    // The composite goes out with the adapter's blend flags; the last
    // frame is a plain copy of it.
    if (last) state->bltFlags = w->savedFlags;
    copyWhole(state, w->composite, w->work);
    SafeBlt(state->vm, w->work, 0, 0, state->dest, state->x, state->y, W, H, W, H, state->outWidth,
            state->outHeight, state->bltFlags, nullptr, nullptr, nullptr);
    if (jump) return ERR_NONE;
    if (last) *done = 1;
    state->frame++;
    return ERR_NONE;
  }
  if (w->adapterPath) leaveAdapterPath(state, w);
  if (!state->layerMode) {
    copyWhole(state, state->image, w->work);
    if (level < 255 && state->background)
      MixBitmaps(w->work, state->background, nullptr, 0, 0, 0, 0, W, H, 255 - level, nullptr, 0, 0);
    ShowFXWork(state, w->work);
  } else {
    CopyBitmapPixels(w->opacity, layerOwn(state).alpha, H, state->level);
  }
  return endLevelFrame(state, jump, last, done);
}

// ---- DISSOLVE 139 ----

namespace {

struct DissolveWork {
  BitmapHandle* work;
  BitmapHandle* workMask;
  int32_t threshold;
  uint8_t* table;  // width x height bytes, rand() % 255 in row order
  int32_t alphaMode;
  int32_t reverseInLayer;
};

void releaseDissolve(FXState* state, int32_t) {
  auto* w = static_cast<DissolveWork*>(state->priv);
  if (!w) return;
  FreeBitmap(w->work);
  FreeBitMask(w->workMask);
  FreeMemory(w->table);
}

int32_t dissolveStep(int32_t speed) {
  if (speed == -2) return 8;
  if (speed == -1) return 4;
  if (speed == -3) return 2;
  return std::clamp(speed, 1, 8);
}

}  // namespace

ErrorCode RenderDissolveFX(FXState* state, int32_t* done) {
  int32_t W = state->width, H = state->height;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(DissolveWork))) return e;
    state->releasePriv = releaseDissolve;
    auto* w = static_cast<DissolveWork*>(state->priv);
    int32_t step = dissolveStep(state->speed);
    state->speed = step;
    if (!state->layerMode) {
      w->work = AllocBitmap(W, H, 0, nullptr);
      if (!w->work) return ERR_BITMAP;
      w->workMask = AllocBitMask(w->work, W, H, 1, nullptr, 0);
      if (!w->workMask) return ERR_ALLOCMASK;
    } else {
      copyPictureToLayer(state);
    }
    w->table = static_cast<uint8_t*>(AllocMemoryArray(static_cast<size_t>(W), H, 0));
    if (!w->table) return ERR_MEM;
    size_t n = static_cast<size_t>(W) * static_cast<size_t>(H);
    for (size_t i = 0; i < n; i++) w->table[i] = static_cast<uint8_t>(rand() % 255);
    w->alphaMode = state->layerMode && state->alpha ? 1 : 0;
    w->reverseInLayer = state->layerMode && state->reverse ? 1 : 0;
    state->frameCount = FXStepCount(256, step, 1);
    return ERR_NONE;
  }
  auto* w = static_cast<DissolveWork*>(state->priv);
  int32_t step = state->speed;
  bool jump = state->phase == FXPHASE_JUMP;
  if (jump) {
    w->threshold = step * state->frame;
    if (state->layerMode) copyPictureToLayer(state);
  } else {
    if (state->frame == 0) w->threshold = 0;
    w->threshold += step;
    BeginFXFrame(state);
  }
  int32_t threshold = std::min(w->threshold, 256);
  bool last = threshold >= 256;
  if (state->layerMode) {
    LayerTriple& own = layerOwn(state);
    bool byteMode = w->alphaMode != 0;
    BitmapHandle* target = byteMode ? own.alpha : own.mask;
    BitmapHandle* source = byteMode ? state->alpha : state->mask;
    if (last) {
      if (w->reverseInLayer)
        BlitFXRectMasked(state->image, 0, 0, own.bitmap, own.mask, own.alpha, 0, 0, W, H, W, H, W,
                         H, state->mask, state->alpha, state, FXMASK_CLEAR | FXMASK_NOSHOW);
      else
        ThresholdMaskBitmap(source, target, W, H, w->table, byteMode, 0, 256);
    } else {
      ThresholdMaskBitmap(source, target, W, H, w->table, byteMode, w->reverseInLayer, threshold);
    }
  } else {
    ThresholdMaskBitmap(state->mask, w->workMask, W, H, w->table, 0, 0, threshold);
    copyWhole(state, state->background, w->work);
    blitThrough(state, state->image, w->work, w->workMask, nullptr);
    ShowFXWork(state, w->work);
  }
  return endLevelFrame(state, jump, last, done);
}

// ---- WATER1 134 to WATER4 137 ----

namespace {

struct WaterWork {
  BitmapHandle* work;
  BitmapHandle* alphaWork;  // layer mode: the opacity the waves carry
  int32_t counter;
  double waveLength;
  int32_t halfDuration;
  int32_t* distances;  // width x height
  double* sine;        // RIPPLE_SINE_ENTRIES entries
  // The displacement factor of each distance from the centre for the
  // current frame (0 to the largest distance).
  double* factors;
  int32_t largestDistance;
  uint32_t* mixed;  // direct mode: the two pictures mixed at the frame's level
};

void releaseWater(FXState* state, int32_t) {
  auto* w = static_cast<WaterWork*>(state->priv);
  if (!w) return;
  FreeBitmap(w->work);
  FreeBitmap(w->alphaWork);
  FreeMemory(w->factors);
  FreeMemory(w->mixed);
  FreeMemory(w->distances);
  FreeMemory(w->sine);
}

int32_t waterHalfDuration(int32_t speed) {
  if (speed == -2) return 10;
  if (speed == -1) return 25;
  if (speed == -3) return 50;
  return std::clamp(speed, 5, 100);
}

double waterWaveLength(int32_t effect) {
  switch (effect) {
    case 134:
      return 32.0;
    case 135:
      return 64.0;
    case 136:
      return 16.0;
    default:
      return 8.0;
  }
}

// The displacement factor of each distance from the centre at frame k,
// in the pixel engine's arithmetic: the displacement depends only on a
// pixel's distance, so it is worked out once per distance instead of once
// per pixel.
void rippleFactors(const FXState* state, WaterWork* w, int32_t k) {
  constexpr double TWO_PI = 6.28318530717959, TABLE_STEP = 0.001;
  int32_t n = std::max(w->halfDuration, 1);
  double amplitude = (k < n ? k : 2 * n - k) * 0.05;
  double lambda = w->waveLength < 1.0 ? 1.0 : w->waveLength;
  int32_t radius = std::max(state->width / 2, state->height / 2);
  for (int32_t d = 0; d <= w->largestDistance; d++) {
    double phi = std::fmod(d / lambda * TWO_PI - k, TWO_PI);
    if (phi < 0) phi += TWO_PI;
    if (!std::isfinite(phi)) phi = 0;
    int32_t index = std::clamp(VmTruncInt32(phi / TABLE_STEP), 0, RIPPLE_SINE_ENTRIES - 1);
    double f = radius >= 1 ? amplitude * w->sine[index] * (radius - d) / radius : 0.0;
    if (d != 0) f = f * lambda / d;
    w->factors[d] = f;
  }
}

// The level of frame k: 0 to 255 over the whole run.
int32_t waterLevel(const WaterWork* w, int32_t k) {
  int32_t n = std::max(w->halfDuration, 1);
  return static_cast<int32_t>(std::min<int64_t>(255, int64_t{k} * 255 / (2 * n)));
}

// The ripple of one frame in direct mode over plain 32-bit pictures, as
// the ripple kernel draws it. Both pictures are read at the same displaced
// place and mixed at one level, so they are mixed first, row by row, and
// each pixel then takes its displaced pixel of the mix: one scattered read
// a pixel instead of two. False when the bitmaps are not plain software
// ones of the picture's size; the engine's kernel draws the frame then.
bool fastRipple(FXState* state, WaterWork* w, int32_t k) {
  int32_t W = state->width, H = state->height;
  uint32_t *fresh = nullptr, *old = nullptr, *out = nullptr;
  int32_t freshRow = 0, oldRow = 0, outRow = 0;
  if (!w->factors || !w->mixed || !state->background || state->image->width != W ||
      state->image->height != H || state->background->width != W ||
      state->background->height != H || !FXPlainPixels(state->image, &fresh, &freshRow) ||
      !FXPlainPixels(state->background, &old, &oldRow) || !FXPlainPixels(w->work, &out, &outRow))
    return false;
  rippleFactors(state, w, k);
  int32_t fade = waterLevel(w, k);
  uint32_t* mixed = w->mixed;
  for (int32_t y = 0; y < H; y++)
    CrossFadePixelRow(fresh + static_cast<ptrdiff_t>(y) * freshRow,
                      old + static_cast<ptrdiff_t>(y) * oldRow,
                      mixed + static_cast<ptrdiff_t>(y) * W, W, fade);
  RippleDisplacePixels(mixed, W, out, outRow, W, H, w->distances, w->factors, W / 2, H / 2);
  return true;
}

void drawWaves(FXState* state, WaterWork* w, int32_t k) {
  int32_t W = state->width, H = state->height;
  if (state->layerMode) {
    // The layer's opacity fades in (out when hiding) with the waves.
    LayerTriple& own = layerOwn(state);
    if (w->factors) {
      rippleFactors(state, w, k);
      int32_t level = waterLevel(w, k);
      // A picture without mask or alpha channel is opaque everywhere: the
      // kernel then reads no opacity.
      BitmapHandle* opacity = state->mask || state->alpha ? w->alphaWork : nullptr;
      if (RippleFadeFrame(state->image, opacity, own.bitmap, own.alpha, W, H, w->distances,
                          w->factors, W / 2, H / 2,
                          state->reverse ? 255 - level : level) == ERR_NONE)
        return;
    }
    RippleTransitionFrame(state->image, nullptr, own.bitmap, w->alphaWork, own.alpha, W, H,
                          w->distances, w->sine, w->waveLength, 0.05, w->halfDuration,
                          state->reverse, k);
    return;
  }
  if (!state->background || fastRipple(state, w, k)) return;
  RippleTransitionFrame(state->image, state->background, w->work, nullptr, nullptr, W, H,
                        w->distances, w->sine, w->waveLength, 0.05, w->halfDuration, 0, k);
}

}  // namespace

ErrorCode RenderWaterFX(FXState* state, int32_t* done) {
  int32_t W = state->width, H = state->height;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(WaterWork))) return e;
    state->releasePriv = releaseWater;
    auto* w = static_cast<WaterWork*>(state->priv);
    w->halfDuration = waterHalfDuration(state->speed);
    state->speed = w->halfDuration;
    state->frameCount = 2 * w->halfDuration;
    w->waveLength = waterWaveLength(state->effect);
    if (!state->layerMode) {
      w->work = AllocBitmap(W, H, 0, nullptr);
      if (!w->work) return ERR_BITMAP;
    }
    w->distances = static_cast<int32_t*>(
        AllocMemoryArray(static_cast<size_t>(W) * static_cast<size_t>(H), sizeof(int32_t), 0));
    w->sine = static_cast<double*>(AllocMemoryArray(RIPPLE_SINE_ENTRIES, sizeof(double), 0));
    if (!w->distances || !w->sine) return ERR_MEM;
    BuildRippleTables(w->sine, w->distances, W, H, W / 2, H / 2);
    for (size_t i = 0; i < static_cast<size_t>(W) * static_cast<size_t>(H); i++)
      w->largestDistance = std::max(w->largestDistance, w->distances[i]);
    // Without these the engine's kernel draws every frame.
    w->factors = static_cast<double*>(
        AllocMemoryArray(static_cast<size_t>(w->largestDistance) + 1, sizeof(double), 0));
    if (!state->layerMode)
      w->mixed = static_cast<uint32_t*>(
          AllocMemoryArray(static_cast<size_t>(W) * static_cast<size_t>(H), sizeof(uint32_t), 0));
    if (state->layerMode) {
      w->alphaWork = MakeFXOpacityChannel(state);
      if (!w->alphaWork) return ERR_MEM;
    }
    return ERR_NONE;
  }
  auto* w = static_cast<WaterWork*>(state->priv);
  int32_t twice = 2 * w->halfDuration;
  bool jump = state->phase == FXPHASE_JUMP;
  if (!jump) {
    if (state->frame == 0) w->counter = 0;
    BeginFXFrame(state);
  }
  int32_t k = jump ? state->frame : w->counter + 1;
  k = std::clamp(k, 0, twice);
  int32_t level = k * 255 / twice;
  state->level = state->reverse ? 255 - level : level;
  bool last = k == twice;
  if (last) {
    if (state->layerMode) {
      LayerTriple& own = layerOwn(state);
      if (state->reverse) {
        FillAlphaRect(own.alpha, 0, 0, W, H, 0);
      } else {
        copyPictureToLayer(state);
        CopyBitmapPixels(w->alphaWork, own.alpha, H, 255);
      }
    } else {
      copyWhole(state, state->image, w->work);
      ShowFXWork(state, w->work);
    }
  } else if (k == 0) {
    if (state->layerMode) {
      LayerTriple& own = layerOwn(state);
      copyPictureToLayer(state);
      CopyBitmapPixels(w->alphaWork, own.alpha, H, state->reverse ? 255 : 0);
    } else {
      copyWhole(state, state->background, w->work);
      ShowFXWork(state, w->work);
    }
  } else {
    drawWaves(state, w, k);
    if (!state->layerMode) ShowFXWork(state, w->work);
  }
  w->counter = k;
  return endLevelFrame(state, jump, last, done);
}
