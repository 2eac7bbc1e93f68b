// The renderers that reveal the new picture in straight bands: the REVEAL
// wipes (one band crossing the picture), the LINES effects (single rows or
// columns in interleaved order), the STRIPES effects (alternate stripes
// wiped from opposite sides) and the BLINDS effects (many blinds opening at
// once).
//
// Invariant: every renderer's frameCount is the number of phase 1 calls
// its loop takes to set done, for every picture size down to 1x1; each
// loop clamps its progress to the last position and ends there.
#include <cstdlib>

#include "fx/fx_private.h"

namespace {

// ---- REVEAL: one word, the band position ----

bool revealRows(int32_t effect) { return effect == 32 || effect == 33; }
bool revealForward(int32_t effect) { return effect == 30 || effect == 32; }

}  // namespace

ErrorCode RenderRevealFX(FXState* state, int32_t* done) {
  bool rows = revealRows(state->effect);
  int32_t extent = rows ? state->height : state->width;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(int32_t))) return e;
    int32_t step = ResolveFXStep(state->speed, extent, 70, 30, 200);
    if (step > extent / 2) step = extent / 2;
    state->speed = step;
    state->frameCount = FXStepCount(extent - 1 - step, step + 1, 0);
    return ERR_NONE;
  }
  auto* p = static_cast<int32_t*>(state->priv);
  int32_t step = state->speed;
  bool forward = revealForward(state->effect);
  if (state->frame == 0) *p = forward ? 0 : extent - 1;
  BeginFXFrame(state);
  if (forward) {
    if (*p >= extent - 1 - step) {
      *p = extent - 1 - step;
      *done = 1;
    }
    DrawFXBand(state, rows, *p, step + 1);
    *p += step + 1;
  } else {
    if (*p <= step) {
      *p = step;
      *done = 1;
    }
    DrawFXBand(state, rows, *p - step, step + 1);
    *p -= step + 1;
  }
  EndFXFrame(state);
  return ERR_NONE;
}

namespace {

// ---- LINES: two words ----

bool linesRows(int32_t effect) { return effect == 35 || effect == 36; }

}  // namespace

ErrorCode RenderLinesFX(FXState* state, int32_t* done) {
  bool rows = linesRows(state->effect);
  bool pairs = state->effect == 34 || state->effect == 35;
  int32_t extent = rows ? state->height : state->width;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, 2 * sizeof(int32_t))) return e;
    state->frameCount = pairs ? FXStepCount(extent, 2, 0) : FXStepCount(2 * extent, 2, 0);
    return ERR_NONE;
  }
  auto* words = static_cast<int32_t*>(state->priv);
  BeginFXFrame(state);
  if (pairs) {
    // words[0] goes down the even lines, words[1] up the odd ones.
    int32_t& down = words[0];
    int32_t& up = words[1];
    if (state->frame == 0) {
      down = 0;
      up = extent % 2 ? extent - 2 : extent - 1;
    }
    if (down >= extent) *done = 1;
    if (up < 0) up = 0;
    if (down >= extent) down = extent - 1;
    DrawFXBand(state, rows, down, 1);
    DrawFXBand(state, rows, up, 1);
    down += 2;
    up -= 2;
  } else {
    // One counter: even lines from the top while it is below the extent,
    // then the odd lines from the bottom up.
    int32_t& c = words[0];
    if (state->frame == 0) c = 0;
    int32_t line;
    if (c < extent) {
      line = c;
    } else {
      line = 2 * extent - c;
      if (line % 2 == 0) line++;
      if (line < 0) line = 0;
      if (line >= extent) line = extent - 1;
    }
    if (c >= 2 * extent) *done = 1;
    DrawFXBand(state, rows, line, 1);
    c += 2;
  }
  EndFXFrame(state);
  return ERR_NONE;
}

namespace {

// ---- STRIPES: two words, stripe size and sweep position ----

// HSTRIPES 0-6 sweep across the columns, VSTRIPES 7-13 across the rows.
bool stripesAcross(int32_t effect) { return effect <= 6; }

// The stripe size of HSTRIPES and VSTRIPES: the parameter, or a random one
// below sweep / (k + 2) for a random k in 0..7.
int32_t stripeSizeFromParameter(int32_t parameter, int32_t sweep) {
  if (parameter != FX_RANDOMPARAMETER) return parameter < 1 ? 1 : parameter;
  int32_t r = rand();
  int32_t k = rand() & 7;
  int32_t range = sweep / (k + 2);
  if (range == 0) return 1;
  int32_t size = r % range;
  return size < 1 ? 1 : size;
}

}  // namespace

ErrorCode RenderStripesFX(FXState* state, int32_t* done) {
  bool across = stripesAcross(state->effect);
  int32_t sweep = across ? state->width : state->height;
  int32_t cross = across ? state->height : state->width;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, 2 * sizeof(int32_t))) return e;
    auto* words = static_cast<int32_t*>(state->priv);
    int32_t size = GetFXRowParameter(state->effect);
    words[0] = size ? size : stripeSizeFromParameter(state->parameter, sweep);
    int32_t step = ResolveFXStep(state->speed, sweep, 70, 30, 200);
    if (sweep <= step) {
      step = sweep - 1;
      if (step < 1) step = 1;
    }
    state->speed = step;
    // Also right for a sweep of 1 (a single frame), where a fixed count of
    // 2 would promise a frame that never comes.
    state->frameCount = FXStepCount(sweep - step, step, 0);
    return ERR_NONE;
  }
  auto* words = static_cast<int32_t*>(state->priv);
  int32_t size = words[0];
  int32_t& p = words[1];
  int32_t step = state->speed;
  if (state->frame == 0) p = 0;
  BeginFXFrame(state);
  if (p >= sweep - step) {
    p = sweep - step;
    *done = 1;
  }
  for (int64_t c0 = 0; c0 < cross; c0 += 2 * static_cast<int64_t>(size)) {
    auto first = static_cast<int32_t>(c0);
    auto second = static_cast<int32_t>(c0 + size < cross ? c0 + size : cross);
    if (across) {
      DrawFXRect(state, p, first, step, size);
      DrawFXRect(state, sweep - p - step, second, step, size);
    } else {
      DrawFXRect(state, first, p, size, step);
      DrawFXRect(state, second, sweep - p - step, size, step);
    }
  }
  p += step;
  EndFXFrame(state);
  return ERR_NONE;
}

namespace {

// ---- BLINDS: three words, blind size, blind count and position ----

// HBLINDS 14-18 open rows, VBLINDS 19-23 columns.
bool blindsRows(int32_t effect) { return effect <= 18; }

}  // namespace

ErrorCode RenderBlindsFX(FXState* state, int32_t* done) {
  bool rows = blindsRows(state->effect);
  int32_t extent = rows ? state->height : state->width;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, 3 * sizeof(int32_t))) return e;
    auto* words = static_cast<int32_t*>(state->priv);
    int32_t size = GetFXRowParameter(state->effect);
    words[0] = size;
    words[1] = extent / size;
    int32_t step = ResolveFXStep(state->speed, size, 8, 3, 20);
    if (step > size / 2) step = size / 2;
    state->speed = step;
    state->frameCount = FXStepCount(size - step, step, 0);
    return ERR_NONE;
  }
  auto* words = static_cast<int32_t*>(state->priv);
  int32_t size = words[0], count = words[1];
  int32_t& p = words[2];
  int32_t step = state->speed;
  if (state->frame == 0) p = step;
  BeginFXFrame(state);
  if (p >= size) {
    p = size;
    *done = 1;
  }
  // count + 1 blinds, so that a last partial blind is opened too.
  for (int32_t i = 0; i <= count; i++) DrawFXBand(state, rows, i * size + p - step, step);
  p += step;
  EndFXFrame(state);
  return ERR_NONE;
}
