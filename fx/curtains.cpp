// The renderers that open the new picture from its middle or its edges:
// the CURTAIN effects (two bands moving apart or together), BARS (a grid of
// 16-pixel cells filled first by columns, then by rows), QUARTERS (four
// bands in the picture's quarters) and the GATE effects, where the old
// picture's halves slide apart (OPEN) or the new picture's halves slide in
// over the old one (CLOSE).
//
// Invariant: every loop clamps its progress to the last position and ends
// there, so frameCount is the number of phase 1 calls for every size down
// to 1x1. The reveal renderers only draw rectangles of the new picture; the
// gates draw whole halves at output positions (they run on background
// pictures and bgpicemu layers only).
#include "fx/fx_private.h"

namespace {

// ---- CURTAIN: two words, the left (top) band a and the right (bottom) b ----

bool curtainRows(int32_t effect) { return effect == 26 || effect == 27; }
bool curtainOpens(int32_t effect) { return effect == 24 || effect == 26; }

}  // namespace

ErrorCode RenderCurtainFX(FXState* state, int32_t* done) {
  bool rows = curtainRows(state->effect);
  bool opens = curtainOpens(state->effect);
  int32_t n = rows ? state->height : state->width;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, 2 * sizeof(int32_t))) return e;
    int32_t step = ResolveFXStep(state->speed, n, 140, 60, 320);
    if (opens) {
      if (step > n / 4) step = n / 4;
      state->frameCount = FXStepCount(n - 1 - (n / 2 - 1) - step, step + 1, 0);
    } else {
      if (step > n / 2) step = 1;
      state->frameCount = FXStepCount(n / 2, step + 1, 0);
    }
    state->speed = step;
    return ERR_NONE;
  }
  auto* words = static_cast<int32_t*>(state->priv);
  int32_t& a = words[0];
  int32_t& b = words[1];
  int32_t step = state->speed;
  BeginFXFrame(state);
  if (opens) {
    if (state->frame == 0) {
      a = n / 2;
      b = n / 2 - 1;
    }
    if (b >= n - 1 - step) {
      b = n - 1 - step;
      *done = 1;
    }
    if (a - step < 0) a = step;
    DrawFXBand(state, rows, b, step + 1);
    DrawFXBand(state, rows, a - step, step + 1);
    a -= step + 1;
    b += step + 1;
  } else {
    if (state->frame == 0) {
      a = 0;
      b = n - 1;
    }
    if (a >= n / 2) {
      a = n / 2;
      *done = 1;
    }
    DrawFXBand(state, rows, a, step + 1);
    DrawFXBand(state, rows, b - step, step + 1);
    a += step + 1;
    b -= step + 1;
  }
  EndFXFrame(state);
  return ERR_NONE;
}

// ---- BARS: one counter. Up to 8 it widens a column in every 16-pixel
// band, from 9 on a row; the partial last band is drawn whole each time.

ErrorCode RenderBarsFX(FXState* state, int32_t* done) {
  constexpr int32_t CELL = 16;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(int32_t))) return e;
    int32_t step = ResolveFXStep(state->speed, CELL, 16, 8, 40);
    if (step > 8) step = 8;
    state->speed = step;
    state->frameCount = FXStepCount(23, step + 1, 0);
    return ERR_NONE;
  }
  int32_t& c = *static_cast<int32_t*>(state->priv);
  int32_t W = state->width, H = state->height;
  if (state->frame == 0) c = 0;
  BeginFXFrame(state);
  if (c > 22) {
    c = 23;
    *done = 1;
  }
  if (c <= 8) {
    int32_t full = CELL * (W / CELL);
    for (int32_t x = 0; x < full; x += CELL) DrawFXRect(state, x, 0, c + 1, H);
    if (W > full) DrawFXRect(state, full, 0, W - full, H);
  } else {
    int32_t full = CELL * (H / CELL);
    for (int32_t y = 0; y < full; y += CELL) DrawFXRect(state, 0, y, W, c - 8 + 1);
    if (H > full) DrawFXRect(state, 0, full, W, H - full);
  }
  c += state->speed + 1;
  EndFXFrame(state);
  return ERR_NONE;
}

// ---- QUARTERS: four words, half width, half height, position, odd width.
// The left half's bands move down, the right half's up.

ErrorCode RenderQuartersFX(FXState* state, int32_t* done) {
  int32_t H = state->height;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, 4 * sizeof(int32_t))) return e;
    auto* words = static_cast<int32_t*>(state->priv);
    words[0] = state->width / 2;
    words[1] = H / 2;
    words[3] = state->width % 2;
    int32_t step = ResolveFXStep(state->speed, state->width, 70, 30, 200);
    if (step > H / 4) step = H / 4;
    state->speed = step;
    state->frameCount = FXStepCount(H - 1 - words[1] - step, step + 1, 0);
    return ERR_NONE;
  }
  auto* words = static_cast<int32_t*>(state->priv);
  int32_t halfW = words[0], halfH = words[1];
  int32_t& p = words[2];
  int32_t step = state->speed;
  int32_t last = H - 1 - halfH - step;
  if (state->frame == 0) p = 0;
  BeginFXFrame(state);
  if (p >= last) {
    p = last;
    *done = 1;
  }
  int32_t band = step + 1;
  DrawFXRect(state, 0, p, halfW, band);
  DrawFXRect(state, 0, halfH + p, halfW, band);
  int32_t up1 = H - p - halfH - 1 - step;
  int32_t up2 = H - 1 - p - step;
  DrawFXRect(state, halfW, up1, halfW, band);
  DrawFXRect(state, halfW, up2, halfW, band);
  if (words[3]) {
    DrawFXRect(state, 2 * halfW, up1, 1, band);
    DrawFXRect(state, 2 * halfW, up2, 1, band);
  }
  p += band;
  EndFXFrame(state);
  return ERR_NONE;
}

// ---- GATE: two words, the two half-extents u and d ----
//
// The split line divides the picture into a first half of n / 2 lines and
// a second half of the remaining n - n / 2. OPEN: the old picture's first
// half ends just before u, its second half starts at d, and the new
// picture fills the widening gap u .. d - 1. CLOSE: the new picture's first
// half ends just before u and its second half starts at d, both moving in
// until they meet at n / 2.

namespace {

bool gateRows(int32_t effect) { return effect == 74 || effect == 75; }
bool gateOpens(int32_t effect) { return effect == 74 || effect == 76; }

// Lines from .. from + count - 1 of source drawn with their first line at
// output line to (rows or columns).
void drawGateLines(FXState* state, BitmapHandle* source, bool rows, int32_t from, int32_t count,
                   int32_t to) {
  if (!source) return;
  if (rows)
    DrawFXBitmap(state, source, 0, from, state->width, count, source->width, source->height, 0, to,
                 nullptr, nullptr);
  else
    DrawFXBitmap(state, source, from, 0, count, state->height, source->width, source->height, to, 0,
                 nullptr, nullptr);
}

}  // namespace

ErrorCode RenderGateFX(FXState* state, int32_t* done) {
  bool rows = gateRows(state->effect);
  bool opens = gateOpens(state->effect);
  int32_t n = rows ? state->height : state->width;
  int32_t first = n / 2, second = n - n / 2;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, 2 * sizeof(int32_t))) return e;
    int32_t step = ResolveFXStep(state->speed, n, 80, 30, 200);
    state->speed = step;
    if (opens) {
      SplitGateHalves(state, n, 1);
      state->frameCount = FXStepCount(static_cast<int32_t*>(state->priv)[0], step, 0);
    } else {
      state->frameCount = FXStepCount(first - step, step, 0);
      // In layer mode the image state starts as the old picture, which
      // the new halves then cover.
      if (state->layerMode && state->background)
        drawGateLines(state, state->background, true, 0, state->height, 0);
    }
    return ERR_NONE;
  }
  auto* words = static_cast<int32_t*>(state->priv);
  int32_t& u = words[0];
  int32_t& d = words[1];
  int32_t step = state->speed;
  bool jump = state->phase == FXPHASE_JUMP;
  if (!jump) {
    BeginFXFrame(state);
    if (state->bgpicEmu)
      if (ErrorCode e = RedrawFXBackground(state, 0)) return e;
  }
  // After the emulated background picture was drawn again the frame is
  // drawn whole, as on a jump, and shown once at its end.
  bool whole = jump || state->emuRedrawn;
  bool quiet = !jump && state->emuRedrawn && !state->silent;
  if (quiet) state->silent = 1;
  bool last = false;
  if (opens) {
    if (jump)
      SplitGateHalves(state, n, state->frame);
    else if (state->frame == 0)
      SplitGateHalves(state, n, 1);
    if (d >= n || u < 1) {
      d = n;
      u = 0;
      last = true;
    }
    if (whole) {
      drawGateLines(state, state->image, rows, u, d - u, u);
    } else {
      drawGateLines(state, state->image, rows, u, step, u);
      drawGateLines(state, state->image, rows, d - step, step, d - step);
    }
    drawGateLines(state, state->background, rows, 0, first, u - first);
    drawGateLines(state, state->background, rows, first, second, d);
    u -= step;
    d += step;
  } else {
    if (jump) {
      drawGateLines(state, state->background, true, 0, state->height, 0);
      u = step * state->frame;
      d = n - step * state->frame;
    } else if (state->frame == 0) {
      u = step;
      d = n - step;
    }
    if (!jump && whole) drawGateLines(state, state->background, true, 0, state->height, 0);
    // Both halves end at the split line, also for an odd extent, so the
    // last frame is the whole new picture.
    if (u >= first) {
      u = first;
      d = first;
      last = true;
    }
    if (!jump || state->frame > 0) {
      drawGateLines(state, state->image, rows, 0, first, u - first);
      drawGateLines(state, state->image, rows, first, second, d);
    }
    u += step;
    d -= step;
  }
  if (jump) {
    RefreshFXFrame(state);
    return ERR_NONE;
  }
  if (last) *done = 1;
  if (quiet) {
    state->silent = 0;
    RefreshFXWhole(state);
    state->frame++;
    return ERR_NONE;
  }
  EndFXFrame(state);
  return ERR_NONE;
}
