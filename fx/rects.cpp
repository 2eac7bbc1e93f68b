// The rectangle renderers: a rectangle that grows from one of nine compass
// points (RECT), the outside of a hole that shrinks towards the opposite
// point (RECTBACK), and DIAGONAL, a staircase of squares moving across the
// picture.
//
// Invariant: the rectangles of successive frames nest (each one contains
// the previous one), so a frame draws exactly the part of the new
// rectangle outside the previous one and every pixel is drawn once the
// last frame, which covers the whole picture, is done.
#include <algorithm>

#include "fx/fx_private.h"

namespace {

struct Box {
  int32_t x, y, w, h;
  bool empty() const { return w <= 0 || h <= 0; }
};

// Placement on one axis: 0 the low side, 1 centred, 2 the high side.
enum : int32_t { LOW = 0, MIDDLE = 1, HIGH = 2 };
// Horizontal and vertical placement of the growing rectangle, by anchor
// (CENTER, NORTH, NORTHEAST, EAST, SOUTHEAST, SOUTH, SOUTHWEST, WEST,
// NORTHWEST).
constexpr int32_t ANCHOR_X[9] = {MIDDLE, MIDDLE, HIGH, HIGH, HIGH, MIDDLE, LOW, LOW, LOW};
constexpr int32_t ANCHOR_Y[9] = {MIDDLE, LOW, LOW, MIDDLE, HIGH, HIGH, HIGH, MIDDLE, LOW};

int32_t place(int32_t placement, int32_t extent, int32_t size) {
  if (placement == LOW) return 0;
  if (placement == HIGH) return extent - size;
  return (extent - size) / 2;
}

// The rectangle of size s: s along the longer side, the shorter side in
// proportion. A growing rectangle (hole false) keeps whole equal margins on
// a centred axis by growing one more pixel where the margin would be odd; a
// hole is placed at the opposite anchor.
Box boxAt(const FXState* state, int32_t anchor, int32_t s, bool hole) {
  int32_t W = state->width, H = state->height;
  if (s <= 0) return Box{0, 0, 0, 0};
  double ratio = static_cast<double>(std::min(W, H)) / static_cast<double>(std::max(W, H));
  auto shorter = static_cast<int32_t>(ratio * s + 1);
  if (shorter < 1) shorter = 1;
  int32_t rw = W < H ? shorter : s;
  int32_t rh = W < H ? s : shorter;
  rw = std::min(rw, W);
  rh = std::min(rh, H);
  int32_t px = ANCHOR_X[anchor], py = ANCHOR_Y[anchor];
  if (hole) {
    px = HIGH - px;
    py = HIGH - py;
  } else {
    if (px == MIDDLE && (W - rw) % 2) rw++;
    if (py == MIDDLE && (H - rh) % 2) rh++;
  }
  return Box{place(px, W, rw), place(py, H, rh), rw, rh};
}

// Draws outer minus inner as up to four strips: left and right the full
// height of outer, top and bottom between them.
void drawDifference(FXState* state, Box outer, Box inner) {
  if (outer.empty()) return;
  int32_t ix0 = std::max(inner.x, outer.x), iy0 = std::max(inner.y, outer.y);
  int32_t ix1 = std::min(inner.x + inner.w, outer.x + outer.w);
  int32_t iy1 = std::min(inner.y + inner.h, outer.y + outer.h);
  if (inner.empty() || ix0 >= ix1 || iy0 >= iy1) {
    DrawFXRect(state, outer.x, outer.y, outer.w, outer.h);
    return;
  }
  int32_t ox1 = outer.x + outer.w, oy1 = outer.y + outer.h;
  if (ix0 > outer.x) DrawFXRect(state, outer.x, outer.y, ix0 - outer.x, outer.h);
  if (ox1 > ix1) DrawFXRect(state, ix1, outer.y, ox1 - ix1, outer.h);
  if (iy0 > outer.y) DrawFXRect(state, ix0, outer.y, ix1 - ix0, iy0 - outer.y);
  if (oy1 > iy1) DrawFXRect(state, ix0, iy1, ix1 - ix0, oy1 - iy1);
}

int32_t rectStep(FXState* state) {
  int32_t L = std::max(state->width, state->height);
  int32_t step = ResolveFXStep(state->speed, L, 70, 30, 200);
  if (step < 1 || step > L / 4) step = 1;
  return step;
}

}  // namespace

// RECT 38-46 (one word: size s) and RECTBACK 88-96 (one word: hole size s).
ErrorCode RenderRectFX(FXState* state, int32_t* done) {
  bool back = state->effect >= 88;
  int32_t anchor = state->effect - (back ? 88 : 38);
  int32_t L = std::max(state->width, state->height);
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, 3 * sizeof(int32_t))) return e;
    int32_t step = rectStep(state);
    state->speed = step;
    state->frameCount = FXStepCount(L - step, step, 0);
    return ERR_NONE;
  }
  int32_t& s = *static_cast<int32_t*>(state->priv);
  int32_t step = state->speed;
  BeginFXFrame(state);
  if (!back) {
    if (state->frame == 0) s = step;
    Box previous = boxAt(state, anchor, s - step, false);
    Box current = boxAt(state, anchor, s, false);
    if (s >= L) {
      current = Box{0, 0, state->width, state->height};
      *done = 1;
    }
    drawDifference(state, current, previous);
    s += step;
  } else {
    Box previous = boxAt(state, anchor, s + step, true);
    if (state->frame == 0) {
      s = L - step;
      previous = Box{0, 0, state->width, state->height};
    }
    Box hole = boxAt(state, anchor, s, true);
    if (s < 1) *done = 1;
    drawDifference(state, previous, hole);
    s -= step;
  }
  EndFXFrame(state);
  return ERR_NONE;
}

// DIAGONAL 83: two words, the front d and the number of squares k. Square i
// of a frame lies in row band i, one step left of square i - 1, so the
// squares form a staircase whose front moves right by a step each frame.
ErrorCode RenderDiagonalFX(FXState* state, int32_t* done) {
  int32_t W = state->width, H = state->height;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, 2 * sizeof(int32_t))) return e;
    int32_t step = ResolveFXStep(state->speed, W, 60, 20, 130);
    if (step > W / 4) step = 1;
    state->speed = step;
    state->frameCount = FXStepCount(W + H - step, step, 0);
    return ERR_NONE;
  }
  auto* words = static_cast<int32_t*>(state->priv);
  int32_t& d = words[0];
  int32_t& k = words[1];
  int32_t step = state->speed;
  if (state->frame == 0) {
    d = step;
    k = 0;
  }
  BeginFXFrame(state);
  if (d >= W + H) {
    d = W + H;
    *done = 1;
  }
  if (k < H / step + 1) k++;
  for (int32_t i = 0; i < k; i++) DrawFXRect(state, d - (i + 1) * step, i * step, step, step);
  d += step;
  EndFXFrame(state);
  return ERR_NONE;
}
