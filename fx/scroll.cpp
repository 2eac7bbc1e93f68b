// The SCROLL effects (SCROLLLEFT to SCROLLNORTHWEST): the picture glides
// in from outside the output to its place, or a layer glides out when it
// is hidden, moved by the moveobject library's engine one step a frame.
// A picture is composed over a copy of what the window showed when the
// move was prepared; a layer is moved itself.
//
// Invariant: the move is prepared once and kept as prepared, so that a
// replay from frame 0 starts again from the same state; the frame count
// is found by stepping a copy of the prepared move that neither draws nor
// moves anything, so the real move arrives exactly on the last frame.
#include <algorithm>
#include <cstdlib>

#include "draw/draw.h"
#include "fx/fx_private.h"

namespace {

// Steps past the arrival a move may take (bounce and damping run on past
// the end and come back), in steps of its speed: a bound for the count.
constexpr int64_t SCROLL_EXTRA_STEPS = 64;

struct ScrollWork {
  MoveState move;     // the running move
  MoveState initial;  // the move as prepared
  int32_t prepared;
};

void releaseScroll(FXState* state, int32_t) {
  auto* w = static_cast<ScrollWork*>(state->priv);
  if (!w || !w->prepared) return;
  w->prepared = 0;
  // A layer goes back to where it was (a hidden one stays hidden there).
  if (state->layer) MoveFXLayer(state->vm, state->layer, state->layerX, state->layerY);
  if (w->move.release) w->move.release(&w->move);
}

// The outside position of an effect on one axis: its constant, or the
// picture's own coordinate when the effect does not move along that axis.
void outsidePosition(const FXState* state, int32_t* x, int32_t* y) {
  constexpr int32_t LEFTOUT = -50000, RIGHTOUT = -40000, TOPOUT = -30000, BOTTOMOUT = -20000;
  *x = state->x;
  *y = state->y;
  switch (state->effect) {
    case 47:
      *x = LEFTOUT;
      break;
    case 48:
      *x = RIGHTOUT;
      break;
    case 49:
      *y = TOPOUT;
      break;
    case 50:
      *y = BOTTOMOUT;
      break;
    case 51:
      *x = RIGHTOUT;
      *y = TOPOUT;
      break;
    case 52:
      *x = RIGHTOUT;
      *y = BOTTOMOUT;
      break;
    case 53:
      *x = LEFTOUT;
      *y = BOTTOMOUT;
      break;
    default:
      *x = LEFTOUT;
      *y = TOPOUT;
      break;
  }
}

// The frames the prepared move takes: a copy is stepped that is a picture
// without composing bitmaps, so it only computes its positions. Reaching
// the bound ends the count (and the effect) there.
int32_t countMoveFrames(const MoveState& prepared) {
  MoveState probe = prepared;
  probe.type = MOVE_PICTURE;
  probe.layer = nullptr;
  probe.work = probe.background = nullptr;
  probe.frameCount = 0;
  int64_t distance = std::llabs(int64_t{prepared.endX} - prepared.startX) +
                     std::llabs(int64_t{prepared.endY} - prepared.startY);
  int64_t bound = distance + SCROLL_EXTRA_STEPS * std::max(prepared.speed, 1) + 2;
  bound = std::min<int64_t>(bound, INT32_MAX);
  int32_t frames = 0;
  for (int32_t done = 0; !done && frames < bound;) {
    if (probe.drawFrame(&probe, &done) != ERR_NONE) break;
    frames++;
  }
  return std::max(frames, 1);
}

}  // namespace

ErrorCode RenderScrollFX(FXState* state, int32_t* done) {
  if (state->phase == FXPHASE_PREPARE) {
    if (ErrorCode e = AllocFXPriv(state, sizeof(ScrollWork))) return e;
    state->releasePriv = releaseScroll;
    auto* w = static_cast<ScrollWork*>(state->priv);
    MoveState& m = w->move;
    m.state = state->vm;
    if (state->layer) {
      m.type = MOVE_LAYER;
      m.layer = state->layer;
      m.id = state->objectId;
    } else {
      m.type = MOVE_PICTURE;
      m.bitmap = state->image;
      m.mask = state->mask;
      m.alpha = state->alpha;
    }
    m.width = state->width;
    m.height = state->height;
    m.speed = state->speed;
    m.effect = state->parameter < 0 ? 0 : state->parameter;
    int32_t outX = 0, outY = 0;
    outsidePosition(state, &outX, &outY);
    if (state->reverse) {
      m.startX = state->x;
      m.startY = state->y;
      m.endX = outX;
      m.endY = outY;
    } else {
      m.startX = outX;
      m.startY = outY;
      m.endX = state->x;
      m.endY = state->y;
    }
    // With layers on, a background picture's frames also go into the
    // display's back buffer: the runner's flags carry that.
    m.blitFlags = state->bltFlags;
    m.ownedByAsync = 1;
    if (ErrorCode e = MoveObjectCore(&m)) return e;
    w->prepared = 1;
    w->initial = m;
    state->speed = m.speed;
    state->frameCount = countMoveFrames(m);
    return ERR_NONE;
  }
  auto* w = static_cast<ScrollWork*>(state->priv);
  // A replay from the start begins with the move as prepared.
  if (state->frame == 0) w->move = w->initial;
  BeginFXFrame(state);
  if (state->bgpicEmu)
    if (ErrorCode e = RedrawFXBackground(state, 0)) return e;
  int32_t arrived = 0;
  ErrorCode e = w->move.drawFrame(&w->move, &arrived);
  if (arrived || state->frame + 1 >= state->frameCount) *done = 1;
  EndFXFrame(state);
  return e;
}
