// The renderers whose frames come from pixel kernels: PIXELZOOM1 and
// PIXELZOOM2 (coarse blocks refine into the picture; the second first
// coarsens the old picture), STRUDEL (a swirl that turns the old picture
// into the new one) and ROLLTOP, ROLLLEFT, WALLPAPERTOP and WALLPAPERLEFT
// (the new picture unrolls from a paper roll).
//
// Invariant: each is a whole-frame effect: a frame depends only on its
// number, so phase 2 draws frame n exactly as n phase 1 calls leave it,
// and the frames after a jump go on from there. Direct mode composes in
// work bitmaps of the picture's size over the old picture and shows the
// result; layer mode writes the layer's image state (bitmap and mask or
// alpha channel) and lets the stack show it whole after each frame.
#include <algorithm>
#include <cmath>

#include "fx/fx_private.h"

namespace {

LayerTriple& layerOwn(FXState* state) { return state->layer->display->own; }

constexpr uint32_t INTO_BITMAP = SAFEBLT_NOCLIPRECORD | SAFEBLT_NOSPRITES | SAFEBLT_BITMAPONLY;

// Blits a rectangle of one picture-sized bitmap onto another at the same
// place, through a mask or an alpha channel when given.
void blitRect(FXState* state, BitmapHandle* source, BitmapHandle* dest, int32_t x, int32_t y,
              int32_t width, int32_t height, BitmapHandle* mask, BitmapHandle* alpha) {
  if (!source || !dest || width <= 0 || height <= 0) return;
  int32_t W = state->width, H = state->height;
  SafeBlt(state->vm, source, x, y, dest, x, y, width, height, W, H, W, H, INTO_BITMAP, mask,
          mask ? nullptr : alpha, nullptr);
}

// The layer's whole image state hidden (0: cleared), or showing the new
// picture as it is.
void resetLayer(FXState* state, bool visible) {
  int32_t W = state->width, H = state->height;
  LayerTriple& own = layerOwn(state);
  uint32_t flags = FXMASK_CLEAR | FXMASK_NOSHOW | (visible ? uint32_t{FXMASK_FILL} : 0u);
  BlitFXRectMasked(state->image, 0, 0, own.bitmap, own.mask, own.alpha, 0, 0, W, H, W, H, W, H,
                   state->mask, state->alpha, state, flags);
}

// The end of a frame: phase 1 shows it (and counts it); phase 2 shows a
// layer's state, direct frames having been shown as they were drawn. Both
// phases begin with BeginFXFrame: a jump before the first step must show
// the layer as much as a step does.
void endFrame(FXState* state, bool jump, bool last, int32_t* done) {
  if (jump) {
    if (state->layerMode) RefreshFXWhole(state);
    return;
  }
  if (last) *done = 1;
  EndFXLevelFrame(state);
}

}  // namespace

// ---- PIXELZOOM1 132 and PIXELZOOM2 133 ----

namespace {

// Frames of a pixel zoom: PIXELZOOM1 refines blocks of 24 to 1 in frames 1
// to 24; PIXELZOOM2 coarsens the old picture in frames 1 to 23 and refines
// the new one in 24 to 48; a last frame ends each. Hiding coarsens the
// picture in frames 1 to 24 and clears it in frame 25.
constexpr int32_t ZOOM1_LAST_DRAWN = 24, ZOOM2_LAST_DRAWN = 48;

struct PixelZoomWork {
  BitmapHandle* work;    // the pixelated picture
  BitmapHandle* second;  // the old picture with the pixelated one over it
  BitmapHandle* workMask;
  BitmapHandle* workAlpha;
  int32_t effect;  // PIXELZOOM2 in layer mode without bgpicemu runs as PIXELZOOM1
  int32_t counter;
};

void releasePixelZoom(FXState* state, int32_t) {
  auto* w = static_cast<PixelZoomWork*>(state->priv);
  if (!w) return;
  FreeBitmap(w->work);
  FreeBitmap(w->second);
  FreeBitMask(w->workMask);
  FreeAlphaChannel(w->workAlpha);
}

// The block size of frame n (1 draws the picture itself), and whether the
// old picture is the one pixelated.
int32_t zoomBlock(const FXState* state, const PixelZoomWork* w, int32_t n, bool* old) {
  *old = false;
  if (state->reverse) return n + 1;
  if (w->effect == 132) return ZOOM1_LAST_DRAWN - n + 1;
  if (n <= 23) {
    *old = true;
    return n + 1;
  }
  return ZOOM2_LAST_DRAWN - n + 1;
}

void drawZoomDirect(FXState* state, PixelZoomWork* w, int32_t block, bool old) {
  int32_t W = state->width, H = state->height;
  BitmapHandle* picture = old ? state->background : state->image;
  if (!picture) return;
  bool planes = !old && (state->mask || state->alpha) && state->background && w->second;
  if (!planes) {
    if (block <= 1) {
      ShowFXWork(state, picture);
      return;
    }
    PixelateTransitionFrame(picture, nullptr, nullptr, w->work, nullptr, nullptr, W, H, block);
    ShowFXWork(state, w->work);
    return;
  }
  BlitFXClipped(state->background, 0, 0, w->second, 0, 0, W, H, W, H, W, H);
  if (block <= 1) {
    blitRect(state, state->image, w->second, 0, 0, W, H, state->mask, state->alpha);
  } else {
    PixelateTransitionFrame(state->image, state->mask, state->alpha, w->work, w->workMask,
                            w->workAlpha, W, H, block);
    blitRect(state, w->work, w->second, 0, 0, W, H, w->workMask, w->workAlpha);
  }
  ShowFXWork(state, w->second);
}

void drawZoomLayer(FXState* state, int32_t block, bool old) {
  int32_t W = state->width, H = state->height;
  LayerTriple& own = layerOwn(state);
  BitmapHandle* picture = old ? state->background : state->image;
  if (!picture) return;
  if (block <= 1 && !old) {
    resetLayer(state, true);
    return;
  }
  BitmapHandle* mask = old ? nullptr : state->mask;
  BitmapHandle* alpha = old ? nullptr : state->alpha;
  PixelateTransitionFrame(picture, mask, alpha, own.bitmap, own.mask, own.alpha, W, H, block);
  // A picture without planes is opaque everywhere.
  if (!(mask && own.mask) && !(alpha && own.alpha)) {
    if (own.mask) MaskRectOp(own.mask, 0, 0, W, H, 0);
    if (own.alpha) FillAlphaRect(own.alpha, 0, 0, W, H, 255);
  }
}

}  // namespace

ErrorCode RenderPixelZoomFX(FXState* state, int32_t* done) {
  int32_t W = state->width, H = state->height;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(PixelZoomWork))) return e;
    state->releasePriv = releasePixelZoom;
    auto* w = static_cast<PixelZoomWork*>(state->priv);
    w->effect = state->effect;
    if (w->effect == 133 && state->layerMode && !state->bgpicEmu) w->effect = 132;
    // The speed is not used: the frames are the block sizes.
    state->speed = 1;
    bool two = w->effect == 133 && !state->reverse;
    state->frameCount = FXStepCount(two ? 49 : 25, 1, 1);
    w->work = AllocBitmap(W, H, 0, nullptr);
    if (!w->work) return ERR_BITMAP;
    if (!state->layerMode && (state->mask || state->alpha)) {
      w->second = AllocBitmap(W, H, 0, nullptr);
      if (!w->second) return ERR_BITMAP;
      if (state->mask) {
        w->workMask = AllocBitMask(w->work, W, H, 1, nullptr, 0);
        if (!w->workMask) return ERR_ALLOCMASK;
      } else {
        w->workAlpha = AllocAlphaChannel(W, H, 1, nullptr, 0);
        if (!w->workAlpha) return ERR_ALLOCALPHA;
      }
    }
    return ERR_NONE;
  }
  auto* w = static_cast<PixelZoomWork*>(state->priv);
  bool jump = state->phase == FXPHASE_JUMP;
  if (!jump && state->frame == 0) w->counter = 0;
  BeginFXFrame(state);
  int32_t n = jump ? state->frame : w->counter + 1;
  int32_t lastDrawn = state->reverse || w->effect == 132 ? ZOOM1_LAST_DRAWN : ZOOM2_LAST_DRAWN;
  bool last = n > lastDrawn;
  if (n < 1) {
    // Nothing shown yet: the old picture (or the whole picture when hiding).
    if (state->layerMode)
      resetLayer(state, state->reverse != 0);
    else if (state->background)
      ShowFXWork(state, state->background);
  } else if (last && state->reverse) {
    if (state->layerMode)
      resetLayer(state, false);
    else if (state->background)
      ShowFXWork(state, state->background);
  } else if (!last || jump) {
    // A last frame draws nothing more: frame lastDrawn showed the end.
    bool old = false;
    int32_t block = zoomBlock(state, w, std::min(n, lastDrawn), &old);
    if (state->layerMode)
      drawZoomLayer(state, block, old);
    else
      drawZoomDirect(state, w, block, old);
  }
  w->counter = std::max(n, 0);
  endFrame(state, jump, last, done);
  return ERR_NONE;
}

// ---- STRUDEL 138 ----

namespace {

constexpr int32_t SWIRL_END_ANGLE = 720;

struct StrudelWork {
  BitmapHandle* work;
  BitmapHandle* opacity;  // layer mode
  double* sine;
  double* cosine;
  int32_t counter;  // the angle drawn last
  // Direct mode: each pixel's whole distance from the centre on the
  // aspect-scaled circle (-1 outside it), and the turn of each distance at
  // the current angle.
  int32_t* roots;
  int32_t largestRoot;
  double *turnSine, *turnCosine;
  uint32_t* mixed;  // the two pictures mixed at the frame's level
};

void releaseStrudel(FXState* state, int32_t) {
  auto* w = static_cast<StrudelWork*>(state->priv);
  if (!w) return;
  FreeBitmap(w->work);
  FreeAlphaChannel(w->opacity);
  FreeMemory(w->sine);
  FreeMemory(w->cosine);
  FreeMemory(w->roots);
  FreeMemory(w->turnSine);
  FreeMemory(w->turnCosine);
  FreeMemory(w->mixed);
}

// The floor of the square root of n >= 0, as the pixel engine takes it.
int32_t floorRoot(int32_t n) {
  auto e = static_cast<int64_t>(std::sqrt(static_cast<double>(n)));
  while (e * e > n) --e;
  while ((e + 1) * (e + 1) <= n) ++e;
  return static_cast<int32_t>(e);
}

// The circle the swirl turns: centre, radius and the aspect scales.
struct SwirlShape {
  double cx, cy, radius, sx, sy;
};
SwirlShape swirlShape(int32_t W, int32_t H) {
  double w = W, h = H;
  SwirlShape c{w / 2, h / 2, std::max(w / 2, h / 2), 1, 1};
  if (H < W)
    c.sy = w / h;
  else
    c.sx = h / w;
  return c;
}

// The distance of each pixel, made once. Without it the engine's kernel
// draws every frame.
void prepareSwirlRoots(FXState* state, StrudelWork* w) {
  int32_t W = state->width, H = state->height;
  SwirlShape c = swirlShape(W, H);
  w->roots = static_cast<int32_t*>(
      AllocMemoryArray(static_cast<size_t>(W) * static_cast<size_t>(H), sizeof(int32_t), 0));
  if (!w->roots) return;
  int32_t* root = w->roots;
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x) {
      double dx = (x - c.cx) * c.sx, dy = (y - c.cy) * c.sy;
      double q = dx * dx + dy * dy;
      *root = q < c.radius * c.radius ? floorRoot(VmTruncInt32(q)) : -1;
      w->largestRoot = std::max(w->largestRoot, *root++);
    }
  w->turnSine = static_cast<double*>(
      AllocMemoryArray(static_cast<size_t>(w->largestRoot) + 1, sizeof(double), 0));
  w->turnCosine = static_cast<double*>(
      AllocMemoryArray(static_cast<size_t>(w->largestRoot) + 1, sizeof(double), 0));
  if (!state->layerMode)
    w->mixed = static_cast<uint32_t*>(
        AllocMemoryArray(static_cast<size_t>(W) * static_cast<size_t>(H), sizeof(uint32_t), 0));
  if (!w->turnSine || !w->turnCosine || (!state->layerMode && !w->mixed)) {
    FreeMemory(w->roots);
    w->roots = nullptr;
  }
}

// The turn of each distance from the centre at an angle of 0 to 720, in
// the pixel engine's arithmetic: the turn depends only on a pixel's
// distance, so it is looked up once per distance instead of once per
// pixel.
void swirlTurns(const FXState* state, StrudelWork* w, int32_t angle) {
  constexpr double TABLE_STEP = 0.001, DEG_TO_RAD = 0.017453292519943295;
  int32_t turn = angle > 359 ? SWIRL_END_ANGLE - angle : angle;
  double theta = static_cast<double>(turn) * DEG_TO_RAD;
  SwirlShape c = swirlShape(state->width, state->height);
  for (int32_t r = 0; r <= w->largestRoot; ++r) {
    double t = 1.0 - r / c.radius;
    double a = theta * t * t;
    int32_t i = std::clamp(VmTruncInt32(a / TABLE_STEP), 0, SWIRL_TABLE_ENTRIES - 1);
    w->turnSine[r] = w->sine[i];
    w->turnCosine[r] = w->cosine[i];
  }
}

// The level of an angle: 0 to 255 over the whole run.
int32_t swirlLevel(int32_t angle) {
  return std::clamp(static_cast<int32_t>(int64_t{angle} * 255 / 720), 0, 255);
}

// A swirl frame in direct mode over plain 32-bit pictures, as the swirl
// kernel draws it. Both pictures are read at the same turned place and
// mixed at one level, so they are mixed first, row by row, and each pixel
// then takes its turned pixel of the mix: one scattered read a pixel
// instead of two. False when the engine's kernel must draw the frame.
bool fastSwirl(FXState* state, StrudelWork* w, int32_t angle) {
  int32_t W = state->width, H = state->height;
  uint32_t *fresh = nullptr, *old = nullptr, *out = nullptr;
  int32_t freshRow = 0, oldRow = 0, outRow = 0;
  if (!w->roots || !w->mixed || angle < 0 || angle > SWIRL_END_ANGLE || !state->background ||
      state->image->width != W || state->image->height != H || state->background->width != W ||
      state->background->height != H || !FXPlainPixels(state->image, &fresh, &freshRow) ||
      !FXPlainPixels(state->background, &old, &oldRow) || !FXPlainPixels(w->work, &out, &outRow))
    return false;
  swirlTurns(state, w, angle);
  int32_t fade = swirlLevel(angle);
  for (int32_t y = 0; y < H; ++y)
    CrossFadePixelRow(fresh + static_cast<ptrdiff_t>(y) * freshRow,
                      old + static_cast<ptrdiff_t>(y) * oldRow,
                      w->mixed + static_cast<ptrdiff_t>(y) * W, W, fade);
  SwirlShape c = swirlShape(W, H);
  SwirlDisplacePixels(w->mixed, W, out, outRow, W, H, w->roots, w->turnSine, w->turnCosine, c.cx,
                      c.cy, c.sx, c.sy);
  return true;
}

// A swirl frame in layer mode: the layer's opacity fades in (out when
// hiding) as the picture turns. False when the engine's kernel must draw
// the frame.
bool fastSwirlFade(FXState* state, StrudelWork* w, int32_t angle) {
  if (!w->roots || angle < 0 || angle > SWIRL_END_ANGLE) return false;
  int32_t W = state->width, H = state->height;
  LayerTriple& own = layerOwn(state);
  swirlTurns(state, w, angle);
  int32_t level = swirlLevel(angle);
  SwirlShape c = swirlShape(W, H);
  // A picture without mask or alpha channel is opaque everywhere: the
  // kernel then reads no opacity.
  BitmapHandle* opacity = state->mask || state->alpha ? w->opacity : nullptr;
  return SwirlFadeFrame(state->image, opacity, own.bitmap, own.alpha, W, H, w->roots, w->turnSine,
                        w->turnCosine, c.cx, c.cy, c.sx, c.sy,
                        state->reverse ? 255 - level : level) == ERR_NONE;
}

int32_t strudelStep(int32_t speed) {
  if (speed == -2) return 16;
  if (speed == -1) return 8;
  if (speed == -3) return 4;
  return std::clamp(speed, 2, 16);
}

}  // namespace

ErrorCode RenderStrudelFX(FXState* state, int32_t* done) {
  int32_t W = state->width, H = state->height;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(StrudelWork))) return e;
    state->releasePriv = releaseStrudel;
    auto* w = static_cast<StrudelWork*>(state->priv);
    int32_t step = strudelStep(state->speed);
    state->speed = step;
    state->frameCount = FXStepCount(SWIRL_END_ANGLE, step, 1);
    if (!state->layerMode) {
      w->work = AllocBitmap(W, H, 0, nullptr);
      if (!w->work) return ERR_BITMAP;
    } else {
      w->opacity = MakeFXOpacityChannel(state);
      if (!w->opacity) return ERR_MEM;
    }
    w->sine = static_cast<double*>(AllocMemoryArray(SWIRL_TABLE_ENTRIES, sizeof(double), 0));
    w->cosine = static_cast<double*>(AllocMemoryArray(SWIRL_TABLE_ENTRIES, sizeof(double), 0));
    if (!w->sine || !w->cosine) return ERR_MEM;
    BuildSwirlTables(w->sine, w->cosine);
    prepareSwirlRoots(state, w);
    return ERR_NONE;
  }
  auto* w = static_cast<StrudelWork*>(state->priv);
  int32_t step = state->speed;
  bool jump = state->phase == FXPHASE_JUMP;
  if (!jump && state->frame == 0) w->counter = 0;
  BeginFXFrame(state);
  int32_t angle = jump ? step * state->frame : w->counter + step;
  bool last = angle > SWIRL_END_ANGLE - 1;
  angle = std::clamp(angle, 0, SWIRL_END_ANGLE);
  int32_t level = angle * 255 / SWIRL_END_ANGLE;
  state->level = state->reverse ? 255 - level : level;
  if (state->layerMode) {
    LayerTriple& own = layerOwn(state);
    if (jump) FillOpaqueAlpha(w->opacity, state->mask, state->alpha, W, H);
    if (last && state->reverse) {
      FillAlphaRect(own.alpha, 0, 0, W, H, 0);
    } else if (last) {
      BlitFXClipped(state->image, 0, 0, own.bitmap, 0, 0, W, H, W, H, W, H);
      CopyBitmapPixels(w->opacity, own.alpha, H, 255);
    } else if (!fastSwirlFade(state, w, angle)) {
      SwirlTransitionFrame(state->image, nullptr, own.bitmap, w->opacity, own.alpha, W, H, w->sine,
                           w->cosine, state->reverse, angle);
    }
  } else if (last) {
    ShowFXWork(state, state->image);
  } else if (angle == 0 && state->background) {
    ShowFXWork(state, state->background);
  } else {
    // The new picture weighted by the level against the old one; hiding
    // directly shows what lies beneath as the new picture, so the weight
    // is never turned round here.
    if (!fastSwirl(state, w, angle))
      SwirlTransitionFrame(state->image, state->background, w->work, nullptr, nullptr, W, H,
                           w->sine, w->cosine, 0, angle);
    ShowFXWork(state, w->work);
  }
  w->counter = angle;
  endFrame(state, jump, last, done);
  return ERR_NONE;
}

// ---- ROLLTOP 84, ROLLLEFT 85, WALLPAPERTOP 86, WALLPAPERLEFT 87 ----
//
// Lines are rows, or columns for ROLLLEFT and WALLPAPERLEFT. At roll
// position P (growing by the step; falling from the extent when hiding)
// the lines before P - R + 1 show the flat new picture, the R lines up to
// P the roll's band (the new picture's lines P + R / 2 down to P, as the
// underside of a curling sheet), and the lines beyond it the old picture
// (hidden, in layer mode). Band lines whose source lies past the picture
// show the old picture too. Each frame redraws only the lines from the
// last flat boundary to the roll.

namespace {

struct RollWork {
  BitmapHandle* work;    // the band
  BitmapHandle* second;  // direct mode: the lines being composed
  BitmapHandle* workMask;
  BitmapHandle* workAlpha;
  double* angles;  // R entries: asin(1 - 2i / R) + pi / 2
  int32_t R;
  int32_t extent;
  int32_t columns;
  int32_t position;  // the roll's position drawn last
  int32_t lastFlat;  // first line not yet flat
};

void releaseRoll(FXState* state, int32_t) {
  auto* w = static_cast<RollWork*>(state->priv);
  if (!w) return;
  FreeBitmap(w->work);
  FreeBitmap(w->second);
  FreeBitMask(w->workMask);
  FreeAlphaChannel(w->workAlpha);
  FreeMemory(w->angles);
}

int32_t rollStep(int32_t speed) {
  if (speed == -2) return 5;
  if (speed == -1) return 2;
  if (speed == -3) return 1;
  return std::clamp(speed / 5, 1, 8);
}

// Lines [first, first + count) as a rectangle of the picture.
struct Lines {
  int32_t x, y, width, height;
};
Lines linesRect(const FXState* state, const RollWork* w, int32_t first, int32_t count) {
  if (w->columns) return {first, 0, count, state->height};
  return {0, first, state->width, count};
}

// Redraws lines top to bottom for roll position P: the flat new picture
// before flatEnd, the band on the lines the kernel drew, the old picture
// (or nothing, in layer mode) elsewhere. hidden: no band, nothing flat.
void drawRoll(FXState* state, RollWork* w, int32_t P, int32_t flatEnd, int32_t top,
              int32_t bottom) {
  int32_t W = state->width, H = state->height;
  top = std::max(top, 0);
  bottom = std::min(bottom, w->extent - 1);
  if (bottom < top) return;
  int32_t bandFirst = 0, bandCount = 0;
  if (P >= 0 && P < w->extent) {
    if (w->workMask) {
      Lines b = linesRect(state, w, P - w->R + 1, w->R);
      MaskRectOp(w->workMask, b.x, b.y, b.width, b.height, 1);
    }
    RollBandFrame(state->image, state->mask, state->alpha, w->work, w->workMask, w->workAlpha, W, H,
                  w->angles, w->R, w->columns, P, &bandFirst, &bandCount);
    // The band never reaches back over the flat part.
    if (bandCount > 0 && bandFirst < flatEnd) {
      bandCount -= flatEnd - bandFirst;
      bandFirst = flatEnd;
    }
  }
  int32_t flatCount = std::min(flatEnd, bottom + 1) - top;
  int32_t bandStart = std::max(bandFirst, top);
  int32_t bandEnd = std::min(bandFirst + bandCount, bottom + 1);
  Lines region = linesRect(state, w, top, bottom - top + 1);
  if (state->layerMode) {
    LayerTriple& own = layerOwn(state);
    auto copy = [&](BitmapHandle* source, Lines r, BitmapHandle* mask, BitmapHandle* alpha,
                    uint32_t flags) {
      BlitFXRectMasked(source, r.x, r.y, own.bitmap, own.mask, own.alpha, r.x, r.y, r.width,
                       r.height, W, H, W, H, mask, alpha, state, flags | FXMASK_NOSHOW);
    };
    copy(state->image, region, state->mask, state->alpha, FXMASK_CLEAR);
    if (flatCount > 0)
      copy(state->image, linesRect(state, w, top, flatCount), state->mask, state->alpha, 0);
    if (bandEnd > bandStart)
      copy(w->work, linesRect(state, w, bandStart, bandEnd - bandStart), w->workMask, w->workAlpha,
           0);
    return;
  }
  BitmapHandle* old = state->background ? state->background : state->image;
  BitmapHandle* second = w->second;
  BlitFXClipped(old, region.x, region.y, second, region.x, region.y, region.width, region.height, W,
                H, W, H);
  if (flatCount > 0) {
    Lines r = linesRect(state, w, top, flatCount);
    blitRect(state, state->image, second, r.x, r.y, r.width, r.height, state->mask, state->alpha);
  }
  if (bandEnd > bandStart) {
    Lines r = linesRect(state, w, bandStart, bandEnd - bandStart);
    blitRect(state, w->work, second, r.x, r.y, r.width, r.height, w->workMask, w->workAlpha);
  }
  DrawFXBitmap(state, second, region.x, region.y, region.width, region.height, W, H, region.x,
               region.y, nullptr, nullptr);
}

}  // namespace

ErrorCode RenderRollFX(FXState* state, int32_t* done) {
  int32_t W = state->width, H = state->height;
  int32_t effect = state->effect;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(RollWork))) return e;
    state->releasePriv = releaseRoll;
    auto* w = static_cast<RollWork*>(state->priv);
    w->columns = effect == 85 || effect == 87;
    w->extent = w->columns ? W : H;
    bool wallpaper = effect == 86 || effect == 87;
    // The roll's circumference: a twelfth of the extent, half of it for
    // wallpaper, never below 20 lines.
    w->R = std::max(20, wallpaper ? w->extent / 2 : w->extent / 12);
    int32_t step = rollStep(state->speed);
    state->speed = step;
    state->frameCount = FXStepCount(w->extent, step, 1);
    w->work = AllocBitmap(W, H, 0, nullptr);
    if (!w->work) return ERR_BITMAP;
    if (!state->layerMode) {
      w->second = AllocBitmap(W, H, 0, nullptr);
      if (!w->second) return ERR_BITMAP;
    }
    if (state->mask) {
      w->workMask = AllocBitMask(w->work, W, H, 1, nullptr, 0);
      if (!w->workMask) return ERR_ALLOCMASK;
    } else if (state->alpha) {
      w->workAlpha = AllocAlphaChannel(W, H, 1, nullptr, 0);
      if (!w->workAlpha) return ERR_ALLOCALPHA;
    }
    w->angles =
        static_cast<double*>(AllocMemoryArray(static_cast<size_t>(w->R), sizeof(double), 0));
    if (!w->angles) return ERR_MEM;
    for (int32_t i = 0; i < w->R; i++) w->angles[i] = std::asin(1.0 - 2.0 * i / w->R) + M_PI / 2;
    return ERR_NONE;
  }
  auto* w = static_cast<RollWork*>(state->priv);
  int32_t step = state->speed, E = w->extent;
  bool jump = state->phase == FXPHASE_JUMP;
  bool hide = state->reverse && state->layerMode;
  if (!jump && state->frame == 0) {
    w->position = hide ? E : 0;
    w->lastFlat = 0;
  }
  BeginFXFrame(state);
  int32_t P;
  if (jump)
    P = hide ? E - step * state->frame : step * state->frame;
  else
    P = hide ? w->position - step : w->position + step;
  bool last = hide ? P < 1 : P >= E;
  // Before the roll has entered (a jump to frame 0) nothing has changed.
  bool untouched = hide ? P >= E : P < 1;
  int32_t flatEnd = std::clamp(P - w->R + 1, 0, E);
  if (last || untouched) flatEnd = hide == last ? 0 : E;
  int32_t top, bottom;
  if (jump) {
    top = 0;
    bottom = E - 1;
  } else if (hide) {
    top = flatEnd;
    bottom = w->position;
  } else {
    top = w->lastFlat;
    bottom = last ? E - 1 : P;
  }
  drawRoll(state, w, last || untouched ? -1 : P, flatEnd, top, bottom);
  w->position = P;
  w->lastFlat = flatEnd;
  endFrame(state, jump, last, done);
  return ERR_NONE;
}
