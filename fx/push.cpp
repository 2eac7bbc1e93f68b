// The renderers that move or smear whole pictures or reveal them in random
// tiles: PUSH (the new picture pushes the old one off the output), FLOW
// (the picture is revealed band by band while its last revealed line is
// stretched over the rest) and PUZZLE (square tiles in a random order).
//
// Invariant: frameCount is the number of phase 1 calls each loop takes to
// set done, for every size down to 1x1. PUSH and FLOW draw any frame from
// scratch on a jump; PUZZLE is replayed by the runner.
#include <algorithm>
#include <cstdlib>

#include "fx/fx_private.h"

// ---- PUSH: one word, the distance d the new picture has come in ----

namespace {

// The positions of the new and the old picture at distance d.
void pushPositions(const FXState* state, int32_t d, int32_t* nx, int32_t* ny, int32_t* ox,
                   int32_t* oy) {
  int32_t W = state->width, H = state->height;
  *nx = *ny = *ox = *oy = 0;
  switch (state->effect) {
    case 78:  // PUSHLEFT
      *nx = d - W;
      *ox = d;
      break;
    case 79:  // PUSHRIGHT
      *nx = W - d;
      *ox = -d;
      break;
    case 80:  // PUSHTOP
      *ny = d - H;
      *oy = d;
      break;
    default:  // PUSHBOTTOM
      *ny = H - d;
      *oy = -d;
      break;
  }
}

}  // namespace

ErrorCode RenderPushFX(FXState* state, int32_t* done) {
  bool across = state->effect == 78 || state->effect == 79;
  int32_t extent = across ? state->width : state->height;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(int32_t))) return e;
    int32_t step = ResolveFXStep(state->speed, extent, 40, 10, 100);
    state->speed = step;
    state->frameCount = FXStepCount(extent - step, step, 0);
    return ERR_NONE;
  }
  int32_t& d = *static_cast<int32_t*>(state->priv);
  int32_t step = state->speed;
  bool jump = state->phase == FXPHASE_JUMP;
  if (jump)
    d = step * state->frame;
  else if (state->frame == 0)
    d = step;
  if (!jump) BeginFXFrame(state);
  bool last = false;
  if (d >= extent) {
    d = extent;
    last = true;
  }
  int32_t nx, ny, ox, oy;
  pushPositions(state, d, &nx, &ny, &ox, &oy);
  DrawFXBitmap(state, state->image, 0, 0, state->width, state->height, state->width, state->height,
               nx, ny, nullptr, nullptr);
  if (state->background && d < extent)
    DrawFXBitmap(state, state->background, 0, 0, state->width, state->height,
                 state->background->width, state->background->height, ox, oy, nullptr, nullptr);
  d += step;
  if (jump) {
    RefreshFXFrame(state);
    return ERR_NONE;
  }
  if (last) *done = 1;
  EndFXFrame(state);
  return ERR_NONE;
}

// ---- FLOW ----
//
// Worked in "flow space": line 0 is the edge the picture flows in from
// (the top for HFLOWTOP, the bottom for HFLOWBOTTOM, ...), q the number of
// lines revealed. At q the picture shows its lines 0 .. q - 1 and line
// q - 1 repeated over lines q .. E - 1. Showing, q grows by the step each
// frame up to E; hiding (always in layer mode) it falls from E - step and
// the last frame hides everything.

namespace {

struct FlowWork {
  BitmapHandle* work;  // the frame composed outside layer mode
  int32_t q;
};

bool flowRows(int32_t effect) { return effect == 70 || effect == 71; }
bool flowForward(int32_t effect) { return effect == 70 || effect == 72; }

struct FlowGeometry {
  bool rows, forward;
  int32_t extent;  // E
  // Lines [a, b) of flow space as a rectangle of the picture.
  void rect(const FXState* state, int32_t a, int32_t b, int32_t* x, int32_t* y, int32_t* w,
            int32_t* h) const {
    int32_t from = forward ? a : extent - b;
    if (rows) {
      *x = 0;
      *y = from;
      *w = state->width;
      *h = b - a;
    } else {
      *x = from;
      *y = 0;
      *w = b - a;
      *h = state->height;
    }
  }
  int32_t line(int32_t i) const { return forward ? i : extent - 1 - i; }
};

FlowGeometry flowGeometry(const FXState* state) {
  FlowGeometry g;
  g.rows = flowRows(state->effect);
  g.forward = flowForward(state->effect);
  g.extent = g.rows ? state->height : state->width;
  return g;
}

bool flowHiding(const FXState* state) { return state->reverse && state->layerMode; }

void releaseFlow(FXState* state, int32_t) {
  auto* flow = static_cast<FlowWork*>(state->priv);
  if (flow) FreeBitmap(flow->work);
}

// Copies line `from` of the work bitmap over lines [a, b) (flow space),
// doubling the copied run each time; source and destination never overlap.
void smearWork(const FXState* state, const FlowGeometry& g, BitmapHandle* work, int32_t from,
               int32_t a, int32_t b) {
  int32_t W = state->width, H = state->height;
  if (a >= b) return;
  int32_t sx, sy, sw, sh, dx, dy, dw, dh;
  g.rect(state, from, from + 1, &sx, &sy, &sw, &sh);
  g.rect(state, a, a + 1, &dx, &dy, &dw, &dh);
  if (from != a) BlitFXClipped(work, sx, sy, work, dx, dy, dw, dh, W, H, W, H);
  for (int32_t filled = a + 1; filled < b;) {
    int32_t run = std::min(filled - a, b - filled);
    g.rect(state, a, a + run, &sx, &sy, &sw, &sh);
    g.rect(state, filled, filled + run, &dx, &dy, &dw, &dh);
    BlitFXClipped(work, sx, sy, work, dx, dy, dw, dh, W, H, W, H);
    filled += run;
  }
}

// Composes lines [from, E) of the state at q in the work bitmap and shows
// them (direct mode). The smeared line is the composed one, so a picture
// with a mask smears what it shows over the old picture.
void flowDirect(FXState* state, const FlowGeometry& g, FlowWork* flow, int32_t from, int32_t q) {
  int32_t W = state->width, H = state->height, E = g.extent;
  BitmapHandle* work = flow->work;
  if (!work || from >= E) return;
  int32_t x, y, w, h;
  if ((state->mask || state->alpha || q <= 0) && state->background) {
    g.rect(state, from, E, &x, &y, &w, &h);
    BlitFXClipped(state->background, x, y, work, x, y, w, h, W, H, W, H);
  }
  int32_t revealedTo = std::min(q, E);
  if (revealedTo > from) {
    g.rect(state, from, revealedTo, &x, &y, &w, &h);
    SafeBlt(state->vm, state->image, x, y, work, x, y, w, h, W, H, W, H,
            SAFEBLT_NOCLIPRECORD | SAFEBLT_NOSPRITES | SAFEBLT_BITMAPONLY, state->mask,
            state->alpha, nullptr);
  }
  if (q >= 1 && q < E) smearWork(state, g, work, q - 1, std::max(q, from), E);
  g.rect(state, from, E, &x, &y, &w, &h);
  SafeBlt(state->vm, work, x, y, state->dest, state->x + x, state->y + y, w, h, W, H,
          state->outWidth, state->outHeight, state->bltFlags, nullptr, nullptr, nullptr);
}

// The same into the layer's image state (clearAll: everything hidden);
// shown unless silent.
void flowLayer(FXState* state, const FlowGeometry& g, int32_t from, int32_t q, bool clearAll) {
  int32_t W = state->width, H = state->height, E = g.extent;
  LayerImageState* image = state->layer->display;
  BitmapHandle* bitmap = image->own.bitmap;
  uint32_t quiet = FXMASK_NOSHOW | FXMASK_NOREVEAL;
  int32_t x, y, w, h;
  if (clearAll || q <= 0) {
    BlitFXRectMasked(state->image, 0, 0, bitmap, image->own.mask, image->own.alpha, 0, 0, W, H, W,
                     H, W, H, state->mask, state->alpha, state,
                     FXMASK_CLEAR | (state->silent ? static_cast<uint32_t>(FXMASK_NOSHOW) : 0u));
    return;
  }
  int32_t revealedTo = std::min(q, E);
  if (revealedTo > from) {
    g.rect(state, from, revealedTo, &x, &y, &w, &h);
    BlitFXRectMasked(state->image, x, y, bitmap, image->own.mask, image->own.alpha, x, y, w, h, W,
                     H, W, H, state->mask, state->alpha, state, quiet);
  }
  if (q < E) {
    int32_t sx, sy, sw, sh;
    g.rect(state, q - 1, q, &sx, &sy, &sw, &sh);
    for (int32_t i = std::max(q, from); i < E; i++) {
      g.rect(state, i, i + 1, &x, &y, &w, &h);
      BlitFXRectMasked(state->image, sx, sy, bitmap, image->own.mask, image->own.alpha, x, y, w, h,
                       W, H, W, H, state->mask, state->alpha, state, quiet);
    }
  }
  if (!state->silent && from < E) {
    g.rect(state, from, E, &x, &y, &w, &h);
    BlitFXRect(state, bitmap, x, y, image->x + x, image->y + y, w, h, W, H, image->own.mask,
               image->own.alpha, 0);
  }
}

}  // namespace

ErrorCode RenderFlowFX(FXState* state, int32_t* done) {
  FlowGeometry g = flowGeometry(state);
  int32_t E = g.extent;
  bool hiding = flowHiding(state);
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(FlowWork))) return e;
    state->releasePriv = releaseFlow;
    auto* flow = static_cast<FlowWork*>(state->priv);
    if (!state->layerMode) {
      flow->work = AllocBitmap(state->width, state->height, 0, nullptr);
      if (!flow->work) return ERR_BITMAP;
    }
    int32_t step = g.rows ? ResolveFXStep(state->speed, E, 50, 20, 120)
                          : ResolveFXStep(state->speed, E, 30, 10, 80);
    step = std::min(step, 30);
    state->speed = step;
    state->frameCount =
        hiding ? FXStepCount(E - 2 * step, step, 0) : FXStepCount(E - step, step, 0);
    return ERR_NONE;
  }
  auto* flow = static_cast<FlowWork*>(state->priv);
  int32_t step = state->speed;
  int32_t& q = flow->q;
  bool jump = state->phase == FXPHASE_JUMP;
  if (jump)
    q = hiding ? E - step * state->frame : step * state->frame;
  else if (state->frame == 0)
    q = hiding ? E - step : step;
  if (!jump) BeginFXFrame(state);
  bool last;
  int32_t from;
  if (hiding) {
    // A hiding frame keeps the revealed lines and smears over the rest.
    last = q <= step && (!jump || state->frame > 0);
    from = jump ? 0 : std::max(q, 0);
  } else {
    last = q >= E;
    if (last) q = E;
    from = jump ? 0 : std::max(q - step, 0);
  }
  if (state->layerMode) {
    // A jump draws without refreshing and is shown once at the end.
    int32_t silent = state->silent;
    if (jump) state->silent = 1;
    flowLayer(state, g, from, q, hiding && last);
    state->silent = silent;
  } else {
    flowDirect(state, g, flow, from, q);
  }
  q += hiding ? -step : step;
  if (jump) {
    RefreshFXWhole(state);
    return ERR_NONE;
  }
  if (last) *done = 1;
  EndFXFrame(state);
  return ERR_NONE;
}

// ---- PUZZLE: tile counter, tile count, columns, rows and the order ----

namespace {

struct PuzzleWork {
  int32_t c, n, columns, rows, tile;
  int32_t* order;
};

void releasePuzzle(FXState* state, int32_t) {
  auto* puzzle = static_cast<PuzzleWork*>(state->priv);
  if (puzzle) FreeMemory(puzzle->order);
}

}  // namespace

ErrorCode RenderPuzzleFX(FXState* state, int32_t* done) {
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(PuzzleWork))) return e;
    state->releasePriv = releasePuzzle;
    auto* puzzle = static_cast<PuzzleWork*>(state->priv);
    int32_t t = std::max(ResolveFXStep(state->speed, state->width, 20, 10, 30), 5);
    state->speed = t;
    puzzle->tile = t;
    puzzle->columns = state->width / t + 1;
    puzzle->rows = state->height / t + 1;
    int64_t n = static_cast<int64_t>(puzzle->columns) * puzzle->rows;
    puzzle->order = static_cast<int32_t*>(AllocMemory(static_cast<size_t>(n) * sizeof(int32_t), 0));
    if (!puzzle->order) return ERR_MEM;
    puzzle->n = static_cast<int32_t>(n);
    // A uniform permutation (Fisher-Yates), so each tile comes exactly once.
    for (int32_t i = 0; i < puzzle->n; i++) puzzle->order[i] = i;
    for (int32_t i = puzzle->n - 1; i > 0; i--) {
      auto j = static_cast<int32_t>(drand48() * (i + 1));
      if (j > i) j = i;
      std::swap(puzzle->order[i], puzzle->order[j]);
    }
    state->frameCount = FXStepCount(puzzle->n - 1, 1, 0);
    return ERR_NONE;
  }
  auto* puzzle = static_cast<PuzzleWork*>(state->priv);
  if (state->frame == 0) puzzle->c = 0;
  BeginFXFrame(state);
  if (puzzle->c >= puzzle->n - 1) {
    puzzle->c = puzzle->n - 1;
    *done = 1;
  }
  int32_t tile = puzzle->order[puzzle->c];
  int32_t t = puzzle->tile;
  DrawFXRect(state, (tile % puzzle->columns) * t, (tile / puzzle->columns) * t, t, t);
  puzzle->c++;
  EndFXFrame(state);
  return ERR_NONE;
}
