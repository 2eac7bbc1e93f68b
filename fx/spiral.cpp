// The renderers that reveal the new picture piece by piece in a fixed
// pattern: SPIRAL (strips walking a clockwise spiral of three rings),
// SWISS (rectangles growing from the four corners), QUADRECT (rectangles
// growing in two diagonal quadrants, then the other two), HSPLIT and VSPLIT
// (each half opening from its middle line) and UPNDOWN (eight columns
// filled in pairs, one downwards and one upwards).
//
// Invariant: every frame draws only rectangles of the new picture, so a
// pixel once shown stays shown; each renderer's last frame draws the whole
// picture or the strip that completes it, and frameCount is the number of
// phase 1 calls its loop takes, for every picture size down to 1x1. None is
// a whole-frame effect: a jump replays the frames silently from frame 0,
// which is why every renderer resets its progress when frame is 0.
#include <algorithm>

#include "fx/fx_private.h"

namespace {

// The step of SPIRAL and CLOCKWIPE: fixed steps for the three speed
// constants, any other speed itself within 1..30.
int32_t fixedStep(int32_t speed) {
  if (speed == -2) return 15;
  if (speed == -1) return 10;
  if (speed == -3) return 5;
  return std::clamp(speed, 1, 30);
}

// The step of the corner, quadrant, split and column renderers.
int32_t sideStep(const FXState* state, int32_t normal, int32_t fast, int32_t slow) {
  int32_t longer = std::max(state->width, state->height);
  return std::clamp(ResolveFXStep(state->speed, longer, normal, fast, slow), 1, 30);
}

// The shorter side over the longer one.
double sideRatio(const FXState* state) {
  return static_cast<double>(std::min(state->width, state->height)) /
         static_cast<double>(std::max(state->width, state->height));
}

// A rectangle of size p along the longer side, the shorter side in
// proportion (at least 1).
void proportionalSize(const FXState* state, int32_t p, int32_t* w, int32_t* h) {
  auto shorter = static_cast<int32_t>(sideRatio(state) * p + 1);
  shorter = std::max(shorter, 1);
  if (state->width >= state->height) {
    *w = std::max(p, 1);
    *h = shorter;
  } else {
    *w = shorter;
    *h = std::max(p, 1);
  }
}

void drawWhole(FXState* state) { DrawFXRect(state, 0, 0, state->width, state->height); }

// ---- SPIRAL ----

constexpr int32_t SPIRAL_STATES = 12;

struct SpiralWork {
  int32_t position;
  int32_t state;  // 0 to 11; 12 once the last strip is drawn
  int32_t columns[7];
  int32_t rows[6];
  int32_t countOnly;
};

// One state of the spiral: the strip at position p and the move.
struct SpiralStrip {
  bool vertical;  // the strip moves along y (a column strip)
  int32_t fixed;  // x of a column strip, y of a row strip
  int32_t size;   // the column's width or the row's height
  int32_t from, to;
};

SpiralStrip spiralStrip(const FXState* state, const SpiralWork& w, int32_t k, int32_t s) {
  int32_t W = state->width, H = state->height;
  const int32_t* C = w.columns;
  const int32_t* R = w.rows;
  switch (k) {
    case 0:
      return {true, W - C[6], C[6], 0, H - 1};
    case 1:
      return {false, H - R[5], R[5], W - C[6] - s, 0};
    case 2:
      return {true, 0, C[0], H - R[5] - s, 0};
    case 3:
      return {false, 0, R[0], C[0], W - C[6]};
    case 4:
      return {true, W - C[6] - C[5], C[5], R[0], H - R[5]};
    case 5:
      return {false, H - R[5] - R[4], R[4], W - C[6] - C[5] - s, C[0]};
    case 6:
      return {true, C[0], C[1], H - R[5] - R[4] - s, R[0]};
    case 7:
      return {false, R[0], R[1], C[0] + C[1], W - C[6] - C[5]};
    case 8:
      return {true, W - C[6] - C[5] - C[4], C[4], R[0] + R[1], H - R[5] - R[4]};
    case 9:
      return {false, R[0] + R[1] + R[2], R[3], W - C[6] - C[5] - C[4] - s, C[0] + C[1]};
    case 10:
      return {true, C[0] + C[1], C[2], R[0] + R[1] + R[2] - s, R[0] + R[1]};
    default:
      return {false, R[0] + R[1], R[2], C[0] + C[1] + C[2], W - C[6] - C[5] - C[4]};
  }
}

void spiralReset(FXState* state, SpiralWork* w) {
  w->state = 0;
  w->position = spiralStrip(state, *w, 0, state->speed).from;
}

// One frame: the strip of the current state at the current position, or
// at the end position when the position has reached or passed it (then
// the next state follows). Returns true after the last strip.
bool spiralFrame(FXState* state, SpiralWork* w) {
  int32_t s = state->speed;
  SpiralStrip strip = spiralStrip(state, *w, w->state, s);
  bool forward = strip.to >= strip.from;
  bool atEnd = forward ? w->position >= strip.to : w->position <= strip.to;
  int32_t p = atEnd ? strip.to : w->position;
  if (!w->countOnly) {
    if (strip.vertical)
      DrawFXRect(state, strip.fixed, p, strip.size, s);
    else
      DrawFXRect(state, p, strip.fixed, s, strip.size);
  }
  if (!atEnd) {
    w->position += forward ? s : -s;
    return false;
  }
  w->state++;
  if (w->state >= SPIRAL_STATES) return true;
  w->position = spiralStrip(state, *w, w->state, s).from;
  return false;
}

// The longest a spiral can take: every state moves at most the longer
// side in steps of s, plus its end frame.
int32_t spiralBound(const FXState* state) {
  int32_t longer = std::max(state->width, state->height);
  return SPIRAL_STATES * (longer / state->speed + 2);
}

}  // namespace

// SPIRAL 105.
ErrorCode RenderSpiralFX(FXState* state, int32_t* done) {
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(SpiralWork))) return e;
    auto* w = static_cast<SpiralWork*>(state->priv);
    state->speed = fixedStep(state->speed);
    for (int32_t& c : w->columns) c = state->width / 7 + 1;
    for (int32_t& r : w->rows) r = state->height / 6 + 1;
    // Count the frames by running them without drawing.
    int32_t bound = spiralBound(state);
    w->countOnly = 1;
    spiralReset(state, w);
    int32_t count = 1;
    while (!spiralFrame(state, w) && count < bound) count++;
    w->countOnly = 0;
    spiralReset(state, w);
    state->frameCount = count;
    return ERR_NONE;
  }
  auto* w = static_cast<SpiralWork*>(state->priv);
  if (state->frame == 0) spiralReset(state, w);
  BeginFXFrame(state);
  bool last = spiralFrame(state, w) || state->frame + 1 >= state->frameCount;
  if (last) *done = 1;
  EndFXFrame(state);
  return ERR_NONE;
}

// ---- SWISS ----

namespace {

struct SwissWork {
  int32_t progress;
  int32_t previousWidth, previousHeight;
};

}  // namespace

// SWISS 106: four rectangles grow from the corners towards the centre.
ErrorCode RenderSwissFX(FXState* state, int32_t* done) {
  int32_t W = state->width, H = state->height;
  int32_t L = std::max(W, H);
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(SwissWork))) return e;
    state->speed = sideStep(state, 120, 60, 240);
    state->frameCount = FXStepCount(L / 2, state->speed, 1);
    return ERR_NONE;
  }
  auto* w = static_cast<SwissWork*>(state->priv);
  if (state->frame == 0) *w = SwissWork{};
  BeginFXFrame(state);
  w->progress += state->speed;
  if (w->progress >= L / 2) {
    drawWhole(state);
    *done = 1;
    EndFXFrame(state);
    return ERR_NONE;
  }
  int32_t cw = 0, ch = 0;
  proportionalSize(state, w->progress, &cw, &ch);
  int32_t ow = w->previousWidth, oh = w->previousHeight;
  // Each corner grows by an L-shaped band: the columns right of the old
  // corner over the new height, and the rows below it over the new width.
  DrawFXRect(state, ow, 0, cw - ow, ch);
  DrawFXRect(state, 0, oh, cw, ch - oh);
  DrawFXRect(state, 0, H - ch, cw, ch - oh);
  DrawFXRect(state, ow, H - oh, cw - ow, oh);
  DrawFXRect(state, W - cw, H - ch, cw, ch - oh);
  DrawFXRect(state, W - cw, H - oh, cw - ow, oh);
  DrawFXRect(state, W - cw, 0, cw - ow, ch);
  DrawFXRect(state, W - cw, oh, cw, ch - oh);
  w->previousWidth = cw;
  w->previousHeight = ch;
  EndFXFrame(state);
  return ERR_NONE;
}

// ---- QUADRECT ----

namespace {

struct QuadWork {
  int32_t previousWidth, previousHeight;
  int32_t progress;
  int32_t switchProgress;
  int32_t switched;
};

// The four strips that grow the rectangle of a quadrant whose top-left
// corner is (qx, qy) from (pw, ph) to (w, h), both centred in it (or the
// whole quadrant once w reaches its width).
void drawQuadRing(FXState* state, int32_t qx, int32_t qy, int32_t w, int32_t h, int32_t pw,
                  int32_t ph) {
  int32_t halfW = state->width / 2, halfH = state->height / 2;
  if (w >= halfW) {
    w = halfW;
    h = halfH;
  } else {
    qx += (halfW - w) / 2;
    qy += (halfH - h) / 2;
  }
  int32_t dw = (w - pw) / 2 + 1, dh = (h - ph) / 2 + 1;
  DrawFXRect(state, qx, qy, dw, h);
  DrawFXRect(state, qx + dw, qy, pw, dh);
  DrawFXRect(state, qx + w - dw, qy, dw, h);
  DrawFXRect(state, qx + dw, qy + h - dh, pw, dh);
}

}  // namespace

// QUADRECT 107: rectangles grow from the centres of the top-left and
// bottom-right quadrants, then of the top-right and bottom-left ones.
ErrorCode RenderQuadRectFX(FXState* state, int32_t* done) {
  int32_t W = state->width, H = state->height;
  int32_t L = std::max(W, H);
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(QuadWork))) return e;
    state->speed = sideStep(state, 120, 60, 240);
    state->frameCount = FXStepCount(L, state->speed, 1);
    return ERR_NONE;
  }
  auto* q = static_cast<QuadWork*>(state->priv);
  if (state->frame == 0) *q = QuadWork{};
  BeginFXFrame(state);
  q->progress += state->speed;
  // The second pair starts in the frame whose progress first reaches L / 2
  // and the effect ends once the progress reaches L after that, which may
  // be the same frame.
  bool switches = !q->switched && q->progress >= L / 2;
  if ((q->switched || switches) && q->progress >= L) {
    drawWhole(state);
    *done = 1;
    EndFXFrame(state);
    return ERR_NONE;
  }
  int32_t w = 0, h = 0;
  proportionalSize(state, q->progress - q->switchProgress, &w, &h);
  // Across an odd middle column or row the far quadrants start one pixel
  // further, in both pairs, so that each quadrant is W / 2 x H / 2 inside
  // the picture.
  int32_t farX = W / 2 + W % 2, farY = H / 2 + H % 2;
  int32_t pw = q->previousWidth, ph = q->previousHeight;
  if (!q->switched) {
    drawQuadRing(state, 0, 0, w, h, pw, ph);
    drawQuadRing(state, farX, farY, w, h, pw, ph);
  } else {
    drawQuadRing(state, farX, 0, w, h, pw, ph);
    drawQuadRing(state, 0, farY, w, h, pw, ph);
  }
  if (switches) {
    q->switched = 1;
    q->switchProgress = q->progress;
    q->previousWidth = q->previousHeight = 0;
  } else if (q->progress < L) {
    q->previousWidth = w;
    q->previousHeight = h;
  }
  EndFXFrame(state);
  return ERR_NONE;
}

// ---- HSPLIT and VSPLIT ----

namespace {

struct SplitWork {
  int32_t out;  // moves towards 0
  int32_t in;   // moves towards the half's end
};

}  // namespace

// HSPLIT 108, VSPLIT 109: each half opens from its middle line, two strips
// per half and frame.
ErrorCode RenderSplitFX(FXState* state, int32_t* done) {
  bool columns = state->effect == 108;
  int32_t E = columns ? state->width : state->height;
  int32_t Q = E / 4;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(SplitWork))) return e;
    state->speed = sideStep(state, 120, 60, 240);
    state->frameCount = FXStepCount(Q + state->speed, state->speed, 1);
    return ERR_NONE;
  }
  auto* w = static_cast<SplitWork*>(state->priv);
  int32_t s = state->speed;
  if (state->frame == 0) {
    w->out = Q + s;
    w->in = Q - s;
  }
  BeginFXFrame(state);
  w->out -= s;
  w->in += s;
  if (w->out < 1) {
    w->out = 0;
    drawWhole(state);
    *done = 1;
    EndFXFrame(state);
    return ERR_NONE;
  }
  int32_t in = w->in;
  w->in = std::min(w->in, E / 2);
  int32_t second = E / 2 + E % 2;
  for (int32_t pos : {w->out, in, w->out + second, in + second}) {
    if (columns)
      DrawFXRect(state, pos, 0, s, state->height);
    else
      DrawFXRect(state, 0, pos, state->width, s);
  }
  EndFXFrame(state);
  return ERR_NONE;
}

// ---- UPNDOWN ----

namespace {

struct UpNDownWork {
  int32_t progress;
  int32_t stage;
};

// The down and up columns of each stage.
constexpr int32_t DOWN_COLUMN[4] = {0, 3, 4, 7};
constexpr int32_t UP_COLUMN[4] = {1, 2, 5, 6};

}  // namespace

// UPNDOWN 110: the columns fill in pairs, one from the top and one from
// the bottom, with strips step + 2 high so that neighbours overlap.
ErrorCode RenderUpNDownFX(FXState* state, int32_t* done) {
  int32_t W = state->width, H = state->height;
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(UpNDownWork))) return e;
    state->speed = sideStep(state, 60, 30, 120);
    state->frameCount = FXStepCount(4 * H, state->speed, 0);
    return ERR_NONE;
  }
  auto* w = static_cast<UpNDownWork*>(state->priv);
  int32_t s = state->speed;
  int32_t c = W / 8 + 1;
  if (state->frame == 0) *w = UpNDownWork{};
  BeginFXFrame(state);
  int32_t stage = w->progress / H, o = w->progress % H;
  if (stage >= 4) {
    drawWhole(state);
    *done = 1;
    EndFXFrame(state);
    return ERR_NONE;
  }
  int32_t down = DOWN_COLUMN[stage] * c, up = UP_COLUMN[stage] * c;
  if (stage != w->stage) {
    // The stages that ended are completed whole, so that no rows the last
    // strips skipped stay old; then the new columns start at their ends.
    for (int32_t k = w->stage; k < stage; k++) {
      DrawFXRect(state, DOWN_COLUMN[k] * c, 0, c, H);
      DrawFXRect(state, UP_COLUMN[k] * c, 0, c, H);
    }
    w->stage = stage;
    DrawFXRect(state, down, 0, c, s + 2);
    DrawFXRect(state, up, H - s - 1, c, s + 2);
  }
  DrawFXRect(state, down, o, c, s + 2);
  DrawFXRect(state, up, std::max(H - o - s - 1, 0), c, s + 2);
  w->progress += s;
  EndFXFrame(state);
  return ERR_NONE;
}
