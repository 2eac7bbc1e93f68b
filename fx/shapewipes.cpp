// The renderers that reveal the new picture through a growing shape drawn
// into a 1-bit work mask: STAR (a five-pointed star growing from the
// centre), SUN (an ellipse of the picture's proportions) and CLOCKWIPE (a
// hand sweeping clockwise from twelve o'clock), with the frame drawing they
// share: BlitViaWorkMask and MaskToAlpha.
//
// Invariant: the work mask only gains bits while frames run (a frame adds
// its shape to what earlier frames set), so a revealed pixel stays
// revealed; frame n's mask is the union of the shapes of frames 1 to n,
// which a jump (phase 2) rebuilds from a cleared mask, so that a jump to n
// shows exactly what n single frames show. A frame draws only the box its
// own shape lies in, since nothing outside it changes; the last frame draws
// the new picture whole (or, hiding a layer, takes it away whole).
#include <algorithm>
#include <cstring>

#include "fx/fx_private.h"

void MaskToAlpha(BitmapHandle* mask, BitmapHandle* destAlpha, BitmapHandle* sourceAlpha,
                 int32_t width, int32_t height, int32_t invert) {
  if (!mask || !destAlpha) return;
  BitmapLock m{}, d{}, s{};
  if (!LockBitmap(mask, 1, &m)) return;
  if (!LockBitmap(destAlpha, 0, &d)) {
    UnlockBitmap(&m);
    return;
  }
  bool source = sourceAlpha && LockBitmap(sourceAlpha, 1, &s);
  width = std::min({width, m.width, d.width});
  height = std::min({height, m.height, d.height});
  if (source) {
    width = std::min(width, s.width);
    height = std::min(height, s.height);
  }
  for (int32_t y = 0; y < height; y++) {
    const uint8_t* mrow = m.address + static_cast<ptrdiff_t>(y) * m.rowLength;
    uint8_t* drow = d.address + static_cast<ptrdiff_t>(y) * d.rowLength;
    const uint8_t* srow = source ? s.address + static_cast<ptrdiff_t>(y) * s.rowLength : nullptr;
    for (int32_t x = 0; x < width; x++) {
      bool set = (mrow[x >> 3] >> (7 - (x & 7))) & 1;
      drow[x] = set != (invert != 0) ? (srow ? srow[x] : 255) : 0;
    }
  }
  if (source) UnlockBitmap(&s);
  UnlockBitmap(&d);
  UnlockBitmap(&m);
}

void BlitViaWorkMask(BitmapHandle* picture, int32_t srcX, int32_t srcY, BitmapHandle* dest,
                     int32_t dstX, int32_t dstY, int32_t width, int32_t height, int32_t srcWidth,
                     int32_t srcHeight, int32_t outWidth, int32_t outHeight, uint32_t bltFlags,
                     uint32_t flags, BitmapHandle* oldPicture, BitmapHandle* mask,
                     BitmapHandle* work, BitmapHandle* alpha, FXState* state) {
  // The rectangle stays inside the picture; dstX, dstY move with it.
  int32_t left = std::max(0, -srcX), top = std::max(0, -srcY);
  srcX += left;
  dstX += left;
  width -= left;
  srcY += top;
  dstY += top;
  height -= top;
  width = std::min(width, srcWidth - srcX);
  height = std::min(height, srcHeight - srcY);
  if (width <= 0 || height <= 0) return;
  if (state->layerMode && state->layer) {
    LayerImageState* image = state->layer->display;
    if (state->silent || state->bufferedRefresh || state->decorated) flags |= FXMASK_NOSHOW;
    BlitFXRectMasked(picture, srcX, srcY, image->own.bitmap, image->own.mask, image->own.alpha,
                     dstX - state->x, dstY - state->y, width, height, srcWidth, srcHeight,
                     state->width, state->height, mask, alpha, state, flags);
    return;
  }
  constexpr uint32_t INTO_BITMAP = SAFEBLT_NOCLIPRECORD | SAFEBLT_NOSPRITES | SAFEBLT_BITMAPONLY;
  if (!work) {
    SafeBlt(state->vm, picture, srcX, srcY, dest, dstX, dstY, width, height, srcWidth, srcHeight,
            outWidth, outHeight, bltFlags, mask, mask ? nullptr : alpha, nullptr);
    return;
  }
  // The old picture with the new one over it through the mask, then shown
  // as one opaque rectangle.
  if (oldPicture)
    BlitFXClipped(oldPicture, srcX, srcY, work, srcX, srcY, width, height, oldPicture->width,
                  oldPicture->height, srcWidth, srcHeight);
  SafeBlt(state->vm, picture, srcX, srcY, work, srcX, srcY, width, height, srcWidth, srcHeight,
          srcWidth, srcHeight, INTO_BITMAP, mask, mask ? nullptr : alpha, nullptr);
  SafeBlt(state->vm, work, srcX, srcY, dest, dstX, dstY, width, height, srcWidth, srcHeight,
          outWidth, outHeight, bltFlags, nullptr, nullptr, nullptr);
}

namespace {

// The most points a shape's outline has before clipping (the sun's 361).
constexpr int32_t MAX_OUTLINE = 361;
// Each of the four clipping passes at most doubles the points and adds two.
constexpr int32_t CLIP_CAPACITY = 16 * MAX_OUTLINE + 32;

struct Box {
  int32_t x, y, w, h;
};

struct ShapeWork {
  BitmapHandle* work;       // direct mode: the frame composed before it is shown
  BitmapHandle* workMask;   // the shape of every frame so far
  BitmapHandle* workAlpha;  // the picture's alpha inside the shape
  int32_t* clipA;           // two buffers of CLIP_CAPACITY points
  int32_t* clipB;
  int32_t frames;  // shapes added to the work mask since the reset
  int32_t countOnly;
  // CLOCKWIPE: the tip, the previous tip and the sides they lie on.
  int32_t tipX, tipY, prevX, prevY;
  int32_t side, prevSide;
};

void releaseShape(FXState* state, int32_t) {
  auto* w = static_cast<ShapeWork*>(state->priv);
  if (!w) return;
  FreeBitmap(w->work);
  FreeBitMask(w->workMask);
  FreeAlphaChannel(w->workAlpha);
  FreeMemory(w->clipA);
  FreeMemory(w->clipB);
}

ErrorCode prepareShape(FXState* state) {
  if (ErrorCode e = AllocFXPriv(state, sizeof(ShapeWork))) return e;
  state->releasePriv = releaseShape;
  auto* w = static_cast<ShapeWork*>(state->priv);
  int32_t W = state->width, H = state->height;
  if (!state->layerMode) {
    w->work = AllocBitmap(W, H, 0, nullptr);
    if (!w->work) return ERR_BITMAP;
  }
  w->workMask = AllocBitMask(w->work, W, H, 1, nullptr, 0);
  if (!w->workMask) return ERR_ALLOCMASK;
  if (state->alpha && !state->reverse) {
    w->workAlpha = AllocAlphaChannel(W, H, 1, nullptr, 0);
    if (!w->workAlpha) return ERR_ALLOCALPHA;
  }
  size_t bytes = static_cast<size_t>(CLIP_CAPACITY) * 2 * sizeof(int32_t);
  w->clipA = static_cast<int32_t*>(AllocMemory(bytes, 0));
  w->clipB = static_cast<int32_t*>(AllocMemory(bytes, 0));
  if (!w->clipA || !w->clipB) return ERR_MEM;
  return ERR_NONE;
}

// The outline clipped to the picture (x >= 0, y >= 0, x <= W - 1,
// y <= H - 1, one pass each); *out points into the work block's buffers.
int32_t clipToPicture(const FXState* state, ShapeWork* w, const int32_t* points, int32_t count,
                      const int32_t** out) {
  const int32_t boundary[4] = {0, 0, state->width - 1, state->height - 1};
  const int32_t* in = points;
  int32_t* buffers[2] = {w->clipA, w->clipB};
  for (int32_t side = 0; side < 4; side++) {
    int32_t* next = buffers[side & 1];
    count = WalkPolygonOutline(count, in, next, boundary[side], side);
    in = next;
  }
  *out = in;
  return count;
}

// Adds the clipped polygon to the work mask; *box becomes the rectangle
// its bits lie in (empty when nothing is left of it).
ErrorCode fillClipped(ShapeWork* w, const int32_t* clipped, int32_t n, Box* box) {
  *box = Box{0, 0, 0, 0};
  if (n < 1) return ERR_NONE;
  int32_t x0 = clipped[0], y0 = clipped[1], x1 = x0, y1 = y0;
  for (int32_t i = 1; i < n; i++) {
    x0 = std::min(x0, clipped[2 * i]);
    x1 = std::max(x1, clipped[2 * i]);
    y0 = std::min(y0, clipped[2 * i + 1]);
    y1 = std::max(y1, clipped[2 * i + 1]);
  }
  *box = Box{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
  return FillAlphaPolygon(w->workMask, clipped, n);
}

ErrorCode fillShape(const FXState* state, ShapeWork* w, const int32_t* points, int32_t count,
                    Box* box) {
  const int32_t* clipped = nullptr;
  int32_t n = clipToPicture(state, w, points, count, &clipped);
  return fillClipped(w, clipped, n, box);
}

// Sets or clears every bit of the work mask.
void fillWorkMask(ShapeWork* w, bool set) {
  BitmapLock m{};
  if (!LockBitmap(w->workMask, 0, &m)) return;
  for (int32_t y = 0; y < m.height; y++)
    std::memset(m.address + static_cast<ptrdiff_t>(y) * m.rowLength, set ? 0xFF : 0,
                static_cast<size_t>((m.width + 7) / 8));
  UnlockBitmap(&m);
}

// The side along the longer edge is e, the other in proportion.
void proportionalSides(const FXState* state, int32_t e, int32_t* width, int32_t* height) {
  int32_t W = state->width, H = state->height;
  double ratio = static_cast<double>(std::min(W, H)) / static_cast<double>(std::max(W, H));
  auto shorter = static_cast<int32_t>(ratio * e + 1);
  if (W < H) {
    *height = e;
    *width = shorter;
  } else {
    *width = e;
    *height = shorter;
  }
}

// The step of STAR and SUN.
int32_t shapeStep(const FXState* state) {
  int32_t longer = std::max(state->width, state->height);
  return std::clamp(ResolveFXStep(state->speed, longer, 12, 6, 24), 1, 100);
}

// A frame's shape: added to the work mask unless fill is false, *last set
// when the frame is the last one, *box the rectangle the frame draws.
using ShapeStep = ErrorCode (*)(FXState* state, ShapeWork* w, bool fill, bool* last, Box* box);
using ShapeReset = void (*)(FXState* state, ShapeWork* w);

// The frames of a shape counted by running them without drawing, up to
// bound (which then ends the effect).
ErrorCode countShapeFrames(FXState* state, ShapeReset reset, ShapeStep step, int32_t bound) {
  auto* w = static_cast<ShapeWork*>(state->priv);
  reset(state, w);
  w->countOnly = 1;
  int32_t count = 0;
  bool last = false;
  Box box{};
  while (!last && count < bound) {
    if (ErrorCode e = step(state, w, false, &last, &box)) return e;
    count++;
  }
  w->countOnly = 0;
  reset(state, w);
  state->frameCount = std::max(count, 1);
  return ERR_NONE;
}

LayerTriple& layerOwn(FXState* state) { return state->layer->display->own; }

// Clears the bits of dest where mask is set (hiding the shape).
void clearMaskWhere(BitmapHandle* dest, BitmapHandle* mask, int32_t width, int32_t height) {
  BitmapLock d{}, m{};
  if (!LockBitmap(dest, 0, &d)) return;
  if (!LockBitmap(mask, 1, &m)) {
    UnlockBitmap(&d);
    return;
  }
  int32_t bytes = (std::min({width, d.width, m.width}) + 7) / 8;
  height = std::min({height, d.height, m.height});
  for (int32_t y = 0; y < height; y++) {
    uint8_t* drow = d.address + static_cast<ptrdiff_t>(y) * d.rowLength;
    const uint8_t* mrow = m.address + static_cast<ptrdiff_t>(y) * m.rowLength;
    for (int32_t i = 0; i < bytes; i++) drow[i] = static_cast<uint8_t>(drow[i] & ~mrow[i]);
  }
  UnlockBitmap(&m);
  UnlockBitmap(&d);
}

// Keeps the bits of dest only where mask is set too.
void andMask(BitmapHandle* dest, BitmapHandle* mask, int32_t width, int32_t height) {
  BitmapLock d{}, m{};
  if (!LockBitmap(dest, 0, &d)) return;
  if (!LockBitmap(mask, 1, &m)) {
    UnlockBitmap(&d);
    return;
  }
  int32_t bytes = (std::min({width, d.width, m.width}) + 7) / 8;
  height = std::min({height, d.height, m.height});
  for (int32_t y = 0; y < height; y++) {
    uint8_t* drow = d.address + static_cast<ptrdiff_t>(y) * d.rowLength;
    const uint8_t* mrow = m.address + static_cast<ptrdiff_t>(y) * m.rowLength;
    for (int32_t i = 0; i < bytes; i++) drow[i] = static_cast<uint8_t>(drow[i] & mrow[i]);
  }
  UnlockBitmap(&m);
  UnlockBitmap(&d);
}

// Draws the work mask's shape over the box: hiding a layer, the layer
// keeps its picture only outside the shape; otherwise the new picture
// appears inside it, with its own mask or alpha channel kept.
void showShape(FXState* state, ShapeWork* w, Box box, bool jump) {
  int32_t W = state->width, H = state->height;
  if (state->layerMode && state->reverse) {
    if (!state->layer) return;
    LayerTriple& own = layerOwn(state);
    if (own.alpha)
      MaskToAlpha(w->workMask, own.alpha, state->alpha, W, H, 1);
    else if (own.mask)
      clearMaskWhere(own.mask, w->workMask, W, H);
    if (!jump && !state->silent && !state->decorated && !state->bufferedRefresh) {
      LayerImageState* s = state->layer->display;
      BlitFXRect(state, own.bitmap, box.x, box.y, s->x + box.x, s->y + box.y, box.w, box.h, W, H,
                 own.mask, own.alpha, 0);
    }
    return;
  }
  if (state->mask && !state->reverse) andMask(w->workMask, state->mask, W, H);
  if (w->workAlpha) MaskToAlpha(w->workMask, w->workAlpha, state->alpha, W, H, 0);
  uint32_t flags = FXMASK_NOREVEAL | (jump ? uint32_t{FXMASK_NOSHOW} : 0u);
  // The work bitmap keeps the frame composed so far: the mask only gains
  // bits, so a frame blits the new picture through it into the work bitmap
  // again and shows the box; a jump, or a blend through alpha (which must
  // not be applied twice), starts the box from the old picture.
  bool again = !jump && !w->workAlpha;
  BlitViaWorkMask(state->image, box.x, box.y, state->dest, state->x + box.x, state->y + box.y,
                  box.w, box.h, W, H, state->outWidth, state->outHeight, state->bltFlags, flags,
                  again ? nullptr : state->background, w->workAlpha ? nullptr : w->workMask,
                  w->work, w->workAlpha, state);
}

// The frame protocol of the three shapes.
ErrorCode renderShape(FXState* state, int32_t* done, ShapeReset reset, ShapeStep step) {
  auto* w = static_cast<ShapeWork*>(state->priv);
  int32_t W = state->width, H = state->height;
  Box whole{0, 0, W, H};
  if (state->phase == FXPHASE_JUMP) {
    // Frame n from nothing revealed: the layer's state reset (the whole
    // picture when hiding), the shapes of frames 1 to n, drawn whole.
    if (state->layerMode && state->layer && !state->rebuilding) {
      LayerTriple& own = layerOwn(state);
      uint32_t flags = FXMASK_CLEAR | FXMASK_NOSHOW | (state->reverse ? uint32_t{FXMASK_FILL} : 0u);
      BlitFXRectMasked(state->image, 0, 0, own.bitmap, own.mask, own.alpha, 0, 0, W, H, W, H, W, H,
                       state->mask, state->alpha, state, flags);
    }
    reset(state, w);
    fillWorkMask(w, false);
    int32_t n = std::clamp(state->frame, 0, state->frameCount);
    bool last = false;
    Box box{};
    for (int32_t k = 1; k <= n && !last; k++) {
      if (ErrorCode e = step(state, w, true, &last, &box)) return e;
      last = last || k >= state->frameCount;
    }
    if (last) fillWorkMask(w, true);
    showShape(state, w, whole, true);
    RefreshFXWhole(state);
    return ERR_NONE;
  }
  if (state->frame == 0) {
    reset(state, w);
    fillWorkMask(w, false);
    if (w->work && state->background)
      BlitFXClipped(state->background, 0, 0, w->work, 0, 0, W, H, state->background->width,
                    state->background->height, W, H);
  }
  BeginFXFrame(state);
  bool last = false;
  Box box{};
  if (ErrorCode e = step(state, w, true, &last, &box)) return e;
  if (last || state->frame + 1 >= state->frameCount) {
    // The whole picture, with its own mask or alpha channel (taken away
    // whole when hiding a layer).
    DrawFXRect(state, 0, 0, W, H);
    *done = 1;
  } else {
    showShape(state, w, box, false);
  }
  EndFXFrame(state);
  return ERR_NONE;
}

// ---- STAR ----

void starReset(FXState*, ShapeWork* w) { w->frames = 0; }

// Frame k's star is s x k + 10 along the longer side; the last reaches
// four times the picture's width, so that its notches cover the corners.
ErrorCode starStep(FXState* state, ShapeWork* w, bool fill, bool* last, Box* box) {
  int32_t W = state->width, H = state->height;
  int32_t e = state->speed * ++w->frames + 10;
  int32_t sw = 0, sh = 0;
  proportionalSides(state, e, &sw, &sh);
  sw = std::max(sw, 1);
  sh = std::max(sh, 1);
  *last = sw >= 4 * W;
  if (*last || !fill || w->countOnly) return ERR_NONE;
  int32_t sx = (W - sw) / 2, sy = (H - sh) / 2;
  auto a = static_cast<int32_t>(0.4 * sw), b = static_cast<int32_t>(0.3 * sw);
  int32_t y1 = sy + static_cast<int32_t>(0.375 * sh), y2 = sy + static_cast<int32_t>(0.6 * sh);
  const int32_t points[] = {sx,
                            y1,
                            sx + a,
                            y1,
                            sx + sw / 2,
                            sy,
                            sx + sw - a,
                            y1,
                            sx + sw - 1,
                            y1,
                            sx + sw - b,
                            y2,
                            sx + sw - sw / 5,
                            sy + sh - 1,
                            sx + sw / 2,
                            sy + sh - sh / 4,
                            sx + sw / 5,
                            sy + sh - 1,
                            sx + b,
                            y2,
                            sx,
                            y1};
  return fillShape(state, w, points, 11, box);
}

// ---- SUN ----

void sunReset(FXState*, ShapeWork* w) { w->frames = 0; }

// Frame k's ellipse has the picture's proportions, s x k + 10 along the
// longer side, both sides odd and at least 3; the frame whose clipped
// outline keeps only the picture's corners is the last.
ErrorCode sunStep(FXState* state, ShapeWork* w, bool fill, bool* last, Box* box) {
  int32_t W = state->width, H = state->height;
  int32_t e = state->speed * ++w->frames + 10;
  int32_t width = 0, height = 0;
  proportionalSides(state, e, &width, &height);
  width = std::max(width, 3);
  height = std::max(height, 3);
  width += 1 - width % 2;
  height += 1 - height % 2;
  int32_t points[2 * (MAX_OUTLINE + 2)];
  int32_t n = GenerateEllipsePoints(points, width / 2, height / 2, 0, 360);
  int32_t ox = (W - width) / 2, oy = (H - height) / 2;
  for (int32_t i = 0; i < n; i++) {
    points[2 * i] += ox;
    points[2 * i + 1] += oy;
  }
  const int32_t* clipped = nullptr;
  int32_t count = clipToPicture(state, w, points, n, &clipped);
  bool corners = true;
  for (int32_t i = 0; i < count && corners; i++) {
    int32_t x = clipped[2 * i], y = clipped[2 * i + 1];
    corners = (x == 0 || x == W - 1) && (y == 0 || y == H - 1);
  }
  *last = corners;
  if (*last || !fill || w->countOnly) return ERR_NONE;
  return fillClipped(w, clipped, count, box);
}

// ---- CLOCKWIPE ----

void clockReset(FXState* state, ShapeWork* w) {
  w->frames = 0;
  w->prevX = state->width / 2;
  w->prevY = 0;
  w->tipX = state->width / 2 + state->speed;
  w->tipY = 0;
  w->side = w->prevSide = 0;
}

// Moves the tip s along the border, clockwise, carrying what passes a
// corner round it (also round several corners when s is longer than a
// side); the sweep ends just past its start on the top edge (side 5).
void clockAdvance(const FXState* state, ShapeWork* w) {
  int32_t W = state->width, H = state->height, s = state->speed;
  int32_t& x = w->tipX;
  int32_t& y = w->tipY;
  switch (w->side) {
    case 0:
    case 4:
      x += s;
      break;
    case 1:
      y += s;
      break;
    case 2:
      x -= s;
      break;
    case 3:
      y -= s;
      break;
    default:
      return;
  }
  for (;;) {
    if (w->side == 0 && x >= W) {
      y = x - W + 1;
      x = W - 1;
      w->side = 1;
    } else if (w->side == 1 && y >= H) {
      x = W + H - 2 - y;
      y = H - 1;
      w->side = 2;
    } else if (w->side == 2 && x < 0) {
      y = H - 1 + x;
      x = 0;
      w->side = 3;
    } else if (w->side == 3 && y < 0) {
      x = -y;
      y = 0;
      w->side = 4;
    } else {
      if (w->side == 4 && x > W / 2 + 1) {
        x = W / 2 + 1;
        w->side = 5;
      }
      return;
    }
  }
}

// A frame fills the wedge from the centre over the previous tip, every
// corner the tip turned since, to the tip.
ErrorCode clockStep(FXState* state, ShapeWork* w, bool fill, bool* last, Box* box) {
  int32_t W = state->width, H = state->height;
  w->frames++;
  *last = w->side >= 5;
  if (*last) return ERR_NONE;
  if (fill && !w->countOnly) {
    const int32_t corners[4][2] = {{W - 1, 0}, {W - 1, H - 1}, {0, H - 1}, {0, 0}};
    int32_t points[2 * 8];
    int32_t n = 0;
    auto add = [&](int32_t x, int32_t y) {
      points[2 * n] = x;
      points[2 * n + 1] = y;
      n++;
    };
    add(W / 2, H / 2);
    add(w->prevX, w->prevY);
    for (int32_t k = w->prevSide; k < std::min(w->side, 4); k++) add(corners[k][0], corners[k][1]);
    add(w->tipX, w->tipY);
    if (ErrorCode e = fillShape(state, w, points, n, box)) return e;
  }
  w->prevX = w->tipX;
  w->prevY = w->tipY;
  w->prevSide = w->side;
  clockAdvance(state, w);
  return ERR_NONE;
}

}  // namespace

// STAR 98.
ErrorCode RenderStarFX(FXState* state, int32_t* done) {
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = prepareShape(state)) return e;
    int32_t W = state->width, H = state->height, s = shapeStep(state);
    state->speed = s;
    if (W >= H) {
      state->frameCount = FXStepCount(4 * W - s - 10, s, 0);
      return ERR_NONE;
    }
    // The star's width reaches 4W once its height reaches 4H at the latest.
    return countShapeFrames(state, starReset, starStep, (4 * H) / s + 2);
  }
  return renderShape(state, done, starReset, starStep);
}

// SUN 114.
ErrorCode RenderSunFX(FXState* state, int32_t* done) {
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = prepareShape(state)) return e;
    state->speed = shapeStep(state);
    // An ellipse twice the picture's size each way covers it, corners and
    // all; its longer side needs at most 4 x the longer side of the picture.
    int32_t longer = std::max(state->width, state->height);
    return countShapeFrames(state, sunReset, sunStep, (4 * longer + 16) / state->speed + 2);
  }
  return renderShape(state, done, sunReset, sunStep);
}

// CLOCKWIPE 97.
ErrorCode RenderClockWipeFX(FXState* state, int32_t* done) {
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = prepareShape(state)) return e;
    int32_t s = state->speed;
    if (s == -2)
      s = 15;
    else if (s == -1)
      s = 10;
    else if (s == -3)
      s = 5;
    state->speed = std::clamp(s, 1, 30);
    // One sweep round the border, corners and the end frame included.
    int32_t perimeter = 2 * (state->width + state->height);
    return countShapeFrames(state, clockReset, clockStep, perimeter / state->speed + 8);
  }
  return renderShape(state, done, clockReset, clockStep);
}
