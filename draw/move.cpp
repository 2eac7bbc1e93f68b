// The "moveobject" library: brushes, text objects, layers and sprites move
// from a start to an end position, one step per display frame, along a
// straight line or (for horizontal moves) a sine or arc curve, with bounce,
// damping or slow-out at the end; synchronously inside the command or as
// an async drawing. The transition effects move pictures and layers
// through the same engine with a move they fill themselves.
//
// Without layers a moving brush is composed over a copy of the background
// and copied straight to the window, so it never becomes part of the
// display's picture and leaves no trail. Invariant: a move holds one use
// of its object from its preparation to its release, and the release
// gives back every use and bitmap on every path.
#include <algorithm>
#include <cmath>
#include <limits>

#include "draw/draw_private.h"
#include "engine/optiontable.h"
#include "platform/linux/platform.h"

namespace {

constexpr int32_t NORMAL_PIXELS = 10, FAST_PIXELS = 15, SLOW_PIXELS = 5;
constexpr int32_t ANIM_UNIT_MS = 20, SPRITE_DEFAULT_MS = 60;
constexpr double SINE_AMPLITUDE = 50.0, CURVE_AMPLITUDE = 150.0, SINE_FREQUENCY = 0.08;
// Turning points of a bounce in units of the speed, counted past the end
// in the direction of travel; the last one is the end itself.
constexpr int32_t BOUNCE_TURNS[] = {16, -8, 4, -2, 1, 0};
constexpr int32_t BOUNCE_RUN = 24, DAMPED_RUN = 8;  // path beyond the end, in speeds
constexpr int32_t DAMPED_TURN = 8;
constexpr int32_t SINE_SETTLE = 9;  // the phase of a sine move's last step
// A path table never grows past this many entries (its bytes must fit).
constexpr int64_t PATH_MAX_ENTRIES = int64_t{1} << 26;

int32_t saturate(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

// Pixels a frame of a speed argument, or 0 for a bad one.
int32_t pixelsOfSpeed(int32_t speed) {
  switch (speed) {
    case FASTSPEED:
      return FAST_PIXELS;
    case NORMALSPEED:
      return NORMAL_PIXELS;
    case SLOWSPEED:
      return SLOW_PIXELS;
    default:
      return speed > 0 ? speed : 0;
  }
}

// Milliseconds a frame of an anim speed argument.
int32_t millisecondsOfAnimSpeed(int32_t speed, int32_t type) {
  int64_t units;
  switch (speed) {
    case FASTSPEED:
      units = 0;
      break;
    case NORMALSPEED:
      units = 3;
      break;
    case SLOWSPEED:
      units = 8;
      break;
    case DEFAULTSPEED:
      return type == MOVE_SPRITE ? SPRITE_DEFAULT_MS : DEFAULTSPEED;
    default:
      units = speed >= 0 ? speed : 0;
  }
  return saturate(units * ANIM_UNIT_MS);
}

ErrorCode outputRefusal(const DisplayRecord* d) {
  if (ErrorCode e = SelectedOutputRefusal(d)) return e;
  return d->collectRefreshes ? ERR_BEGINREFRESH : ERR_NONE;
}

// The brush the move holds, when it still exists (hidden or not).
BrushObject* heldBrush(VmState* L, MoveState* m) {
  auto* b = static_cast<BrushObject*>(m->object);
  if (!b) return nullptr;
  for (ObjectId id : {m->id, ObjectId{b, 0}}) {
    BrushObject* found = nullptr;
    if (GetBrushObject(L, id, &found, BRUSH_PENDING | BRUSH_HARDWARE) == ERR_NONE && found == b)
      return b;
  }
  return nullptr;
}

SpriteObject* heldSprite(MoveState* m) {
  auto* s = static_cast<SpriteObject*>(m->object);
  SpriteObject* found = nullptr;
  if (s && GetSpriteObject(m->id, &found, SPRITE_COPIES) == ERR_NONE && found == s) return s;
  return nullptr;
}

void releaseMove(MoveState* m) {
  VmState* L = m->state;
  switch (m->type) {
    case MOVE_BRUSH:
      if (BrushObject* b = heldBrush(L, m)) ReleaseBrush(b);
      break;
    case MOVE_SPRITE:
      if (SpriteObject* s = heldSprite(m)) {
        if (s->useCount > 0) s->useCount--;
        if (s->links)
          for (SpriteObject** l = s->links; *l; ++l)
            if ((*l)->useCount > 0) (*l)->useCount--;
      }
      break;
    default:
      break;
  }
  // A moving anim (which may have become a layer move) is held apart.
  if (m->anim && drawContext.animHooks.release) drawContext.animHooks.release(L, m->id, m->anim);
  m->anim = nullptr;
  if (m->ownsFrame) {
    FreeBitmap(m->bitmap);
    FreeBitMask(m->mask);
    FreeAlphaChannel(m->alpha);
    m->ownsFrame = 0;
  }
  if (m->layer && m->type != MOVE_PICTURE && LayerExists(m->layer) && m->layer->asyncUse > 0)
    m->layer->asyncUse--;
  m->object = nullptr;
  m->layer = nullptr;
  m->bitmap = m->mask = m->alpha = nullptr;
  FreeBitmap(m->work);
  FreeBitmap(m->background);
  m->work = m->background = nullptr;
  FreeMemory(m->path);
  m->path = nullptr;
  if (!m->ownedByAsync) FreeMemory(m);
}

// The composing pair at the size of the picture the window shows, the
// background copied from it.
ErrorCode captureBackground(MoveState* m, DisplayRecord* d) {
  FreeBitmap(m->work);
  FreeBitmap(m->background);
  m->work = m->background = nullptr;
  BitmapHandle* shown = d->windowBitmap;
  if (!shown) return ERR_BITMAP;
  m->pictureWidth = shown->width;
  m->pictureHeight = shown->height;
  m->work = AllocBitmap(m->pictureWidth, m->pictureHeight, 0, nullptr);
  m->background = AllocBitmap(m->pictureWidth, m->pictureHeight, 0, nullptr);
  if (!m->work || !m->background) return ERR_BITMAP;
  BltBitmapToTarget(shown, 0, 0, m->background, 0, 0, m->pictureWidth, m->pictureHeight);
  return ERR_NONE;
}

bool isCurveMove(const MoveState* m) {
  return m->effect >= MOVEFX_SINE && m->effect <= MOVEFX_UPPERCURVE &&
         (m->direction == 2 || m->direction == 6);
}

int32_t directionOf(int64_t dx, int64_t dy) {
  if (dx == 0) return dy < 0 ? 0 : 4;
  if (dy == 0) return dx > 0 ? 2 : 6;
  if (dx > 0) return dy < 0 ? 1 : 3;
  return dy < 0 ? 7 : 5;
}

// The straight path: one minor-axis coordinate per major-axis pixel from
// the start, in the direction of travel, run on past the end for bounce
// and damping (integer line algorithm with doubled differences).
ErrorCode buildPath(MoveState* m) {
  const int64_t dx = int64_t{m->endX} - m->startX, dy = int64_t{m->endY} - m->startY;
  m->majorIsY = std::llabs(dy) > std::llabs(dx);
  const int64_t major = m->majorIsY ? dy : dx, minor = m->majorIsY ? dx : dy;
  m->reverse = major < 0;
  const int64_t length = std::llabs(major), rise = std::llabs(minor);
  int64_t extra = 0;
  if (m->effect == MOVEFX_BOUNCE) extra = int64_t{BOUNCE_RUN} * m->speed;
  if (m->effect == MOVEFX_DAMPED) extra = int64_t{DAMPED_RUN} * m->speed;
  const int64_t entries = length + 1 + extra;
  if (entries > PATH_MAX_ENTRIES) return ERR_MEM;
  m->path = static_cast<int32_t*>(AllocMemory(static_cast<size_t>(entries) * sizeof(int32_t), 0));
  if (!m->path) return ERR_MEM;
  m->pathLength = entries;
  int64_t coordinate = m->majorIsY ? m->startX : m->startY;
  const int64_t sign = minor < 0 ? -1 : 1;
  int64_t error = 2 * rise - length;
  for (int64_t i = 0; i < entries; ++i) {
    m->path[i] = saturate(coordinate);
    if (length == 0) continue;
    if (error > 0) {
      coordinate += sign;
      error -= 2 * length;
    }
    error += 2 * rise;
  }
  return ERR_NONE;
}

// The sine table and its starting phase, or the curve's factor.
void buildCurve(MoveState* m, DisplayRecord* d) {
  const int64_t distance = std::llabs(int64_t{m->endX} - m->startX);
  if (m->effect == MOVEFX_SINE || m->effect == MOVEFX_BIGSINE) {
    double amplitude = SINE_AMPLITUDE;
    if (m->effect == MOVEFX_BIGSINE && d && d->bgpic) amplitude = d->bgpic->height / 2.0;
    for (int32_t i = 0; i < MOVE_SINE_VALUES; ++i)
      m->sineTable[i] = m->startY + amplitude * std::sin(SINE_FREQUENCY * (i + 1));
    m->sineStep = std::max(1, m->speed / 4);
    const int64_t frames = (distance + m->speed - 1) / m->speed;
    m->sinePhase = static_cast<int32_t>(
        (MOVE_SINE_VALUES - (int64_t{m->sineStep} * frames) % MOVE_SINE_VALUES) % MOVE_SINE_VALUES);
  } else {
    m->sineTable[0] = M_PI / static_cast<double>(distance);
    m->counter = 0;
  }
}

// Advances the position by one step; *done once the move has arrived.
void advance(MoveState* m, int32_t* done) {
  if (isCurveMove(m)) {
    if (m->phase == SINE_SETTLE) {
      m->y = m->endY;
      *done = 1;
      return;
    }
    m->x = saturate(int64_t{m->x} + m->step);
    const bool arrived = m->step > 0 ? m->x >= m->endX : m->x <= m->endX;
    if (arrived) m->x = m->endX;
    if (m->effect == MOVEFX_SINE || m->effect == MOVEFX_BIGSINE) {
      m->sinePhase = (m->sinePhase + m->sineStep) % MOVE_SINE_VALUES;
      m->y = saturate(static_cast<int64_t>(m->sineTable[m->sinePhase]));
      if (arrived) m->phase = SINE_SETTLE;
      return;
    }
    m->counter = saturate(int64_t{m->counter} + m->speed);
    const double lift = CURVE_AMPLITUDE * std::sin((m->counter + 1.0) * m->sineTable[0]);
    const int32_t offset = VmTruncInt32(lift);
    m->y = saturate(m->effect == MOVEFX_LOWERCURVE ? int64_t{m->startY} + offset
                                                   : int64_t{m->startY} - offset);
    if (arrived) {
      m->y = m->endY;
      *done = 1;
    }
    return;
  }
  // Straight moves count the distance travelled from the start.
  const int32_t startMajor = m->majorIsY ? m->startY : m->startX;
  const int32_t current = m->majorIsY ? m->y : m->x;
  const int64_t sign = m->reverse ? -1 : 1;
  const int64_t end = std::llabs(int64_t{m->majorIsY ? m->endY : m->endX} - startMajor);
  const int64_t travelled = (int64_t{current} - startMajor) * sign;
  const int64_t s = m->speed;
  if (m->effect == MOVEFX_SMOOTHOUT && end - travelled <= m->slowDistance)
    m->step = std::max(1, m->step - m->slowDecrement);
  int64_t next = travelled + m->step;
  switch (m->effect) {
    case MOVEFX_BOUNCE: {
      const int64_t turn = end + BOUNCE_TURNS[m->phase] * s;
      if (m->step > 0 ? next >= turn : next <= turn) {
        next = turn;
        if (BOUNCE_TURNS[m->phase] == 0)
          *done = 1;
        else {
          m->step = -m->step;
          m->phase++;
        }
      }
      break;
    }
    case MOVEFX_DAMPED:
      if (m->phase == 0 && next >= end) {
        m->step = std::max(1, m->step * 3 / 4);
        m->phase = 1;
      }
      if (m->phase == 1 && next >= end + DAMPED_TURN * s) {
        next = end + DAMPED_TURN * s;
        m->step = -std::max(1, m->step / 2);
        m->phase = 2;
      } else if (m->phase == 2 && next <= end) {
        next = end;
        *done = 1;
      }
      break;
    default:
      if (next >= end) {
        next = end;
        *done = 1;
      }
      break;
  }
  const int32_t major = saturate(startMajor + next * sign);
  const int64_t index = std::clamp<int64_t>(next, 0, m->pathLength - 1);
  const int32_t minor = m->path[index];
  m->x = m->majorIsY ? minor : major;
  m->y = m->majorIsY ? major : minor;
}

// The object at its new place: composed over the background copy and
// copied straight to the window (the union of its old and new rectangles).
void drawComposed(MoveState* m, DisplayRecord* d) {
  if (!m->work || !m->background || !m->bitmap) return;
  const int64_t pw = m->pictureWidth, ph = m->pictureHeight;
  int64_t x1 = std::min(m->previousX, m->x), y1 = std::min(m->previousY, m->y);
  int64_t x2 = std::max<int64_t>(int64_t{m->previousX} + m->width, int64_t{m->x} + m->width);
  int64_t y2 = std::max<int64_t>(int64_t{m->previousY} + m->height, int64_t{m->y} + m->height);
  x1 = std::max<int64_t>(x1, 0);
  y1 = std::max<int64_t>(y1, 0);
  x2 = std::min(x2, pw);
  y2 = std::min(y2, ph);
  if (x2 <= x1 || y2 <= y1) return;
  const auto ux = static_cast<int32_t>(x1), uy = static_cast<int32_t>(y1);
  const auto uw = static_cast<int32_t>(x2 - x1), uh = static_cast<int32_t>(y2 - y1);
  BltBitmapToTarget(m->background, ux, uy, m->work, ux, uy, uw, uh);
  SafeBlt(m->state, m->bitmap, 0, 0, m->work, m->x, m->y, m->width, m->height, m->width, m->height,
          m->pictureWidth, m->pictureHeight,
          SAFEBLT_BITMAPONLY | SAFEBLT_NOCLIPRECORD | SAFEBLT_NOSPRITES, m->mask, m->alpha,
          nullptr);
  (void)d;
  SafeBlt(m->state, m->work, ux, uy, nullptr, ux, uy, uw, uh, m->pictureWidth, m->pictureHeight,
          m->pictureWidth, m->pictureHeight, m->blitFlags | SAFEBLT_NOCLIPRECORD, nullptr, nullptr,
          nullptr);
}

ErrorCode showTextObjectLayer(VmState* L, MoveState* m) {
  return ShowTextObjectLayer(L, m->id, m->startX, m->startY);
}

// The time a frame of an anim or sprite stays: the anim's own delay of
// the frame for DEFAULTSPEED.
TimeValue frameInterval(const MoveState* m) {
  int32_t ms = m->animInterval;
  if (ms == DEFAULTSPEED)
    ms = drawContext.animHooks.frameDelay
             ? drawContext.animHooks.frameDelay(m->state, m->id, m->frame)
             : 0;
  ms = std::max(ms, 0);
  return TimeValue{static_cast<uint32_t>(ms / 1000), static_cast<uint32_t>(ms % 1000) * 1000u};
}

// The anim frame the move shows, fetched again after each frame change.
ErrorCode fetchAnimFrame(MoveState* m) {
  if (m->ownsFrame) {
    FreeBitmap(m->bitmap);
    FreeBitMask(m->mask);
    FreeAlphaChannel(m->alpha);
    m->ownsFrame = 0;
  }
  m->bitmap = m->mask = m->alpha = nullptr;
  if (!drawContext.animHooks.getFrame) return ObjectNotFound(m->id, ERR_FINDANIM);
  AnimFrameView view{};
  if (ErrorCode e = drawContext.animHooks.getFrame(m->state, m->id, m->frame, &view)) return e;
  m->bitmap = view.bitmap;
  m->mask = view.mask;
  m->alpha = view.alpha;
  m->ownsFrame = view.owned;
  m->frameChanged = 0;
  return ERR_NONE;
}

ErrorCode stepMove(MoveState* m, int32_t* done) {
  *done = 0;
  VmState* L = m->state;
  DisplayRecord* d = GetCurrentDisplay();
  if (!d) return ERR_CLOSEDDISPLAY;
  if (m->type == MOVE_LAYER && !m->layer) {
    // The layer went away while it moved.
    *done = 1;
    return ERR_NONE;
  }
  m->previousX = m->x;
  m->previousY = m->y;
  advance(m, done);
  if (m->frameCount > 1) {
    TimeValue now{};
    GetSysTime(&now);
    if (CmpTime(&now, &m->nextFrame) >= 0) {
      m->frame = (m->frame + 1) % m->frameCount;
      m->nextFrame = now;
      TimeValue interval = frameInterval(m);
      AddTime(&m->nextFrame, &interval);
      m->frameChanged = 1;
    }
  }
  switch (m->type) {
    case MOVE_SPRITE:
      return DisplaySpriteCore(L, m->id, m->x, m->y, m->frame + 1);
    case MOVE_LAYER:
      // An anim's layer shows its new frame at the new place.
      if (m->anim && m->frameChanged) {
        m->frameChanged = 0;
        return SetLayerPosFrame(L, m->layer, m->x, m->y, m->frame + 1, 0);
      }
      MoveLayerToPoint(L, m->layer, m->x, m->y);
      return ERR_NONE;
    case MOVE_ANIM:
      if (m->frameChanged)
        if (ErrorCode e = fetchAnimFrame(m)) return e;
      break;
    case MOVE_BRUSH:
      if (BrushObject* b = heldBrush(L, m)) {
        m->bitmap = b->bitmap;
        m->mask = b->mask;
        m->alpha = b->alpha;
      }
      break;
    default:
      break;
  }
  drawComposed(m, d);
  return ERR_NONE;
}

ErrorCode asyncStep(void* userData, int32_t* finished) {
  return static_cast<MoveState*>(userData)->drawFrame(static_cast<MoveState*>(userData), finished);
}
void asyncRelease(void* userData, int32_t) { releaseMove(static_cast<MoveState*>(userData)); }
intptr_t asyncEvent(int32_t code, intptr_t argument, void* userData, intptr_t) {
  auto* m = static_cast<MoveState*>(userData);
  if (code == ADEVENT_OBJECT && argument) *reinterpret_cast<void**>(argument) = m->layer;
  // A layer that goes is no longer moved.
  if (code == 0 && m->layer && argument == reinterpret_cast<intptr_t>(m->layer)) m->layer = nullptr;
  return 0;
}

// Looks the object up, holds it and reads its size and bitmaps.
ErrorCode holdObject(MoveState* m, DisplayRecord* d) {
  VmState* L = m->state;
  switch (m->type) {
    case MOVE_BRUSH: {
      BrushObject* b = nullptr;
      if (ErrorCode e = GetBrushObject(L, m->id, &b, BRUSH_HARDWARE)) return e;
      if (!b->bitmap) return ERR_WRONGUSAGE;
      HoldBrush(b);
      m->object = b;
      m->width = b->width;
      m->height = b->height;
      m->bitmap = b->bitmap;
      m->mask = b->mask;
      m->alpha = b->alpha;
      return ERR_NONE;
    }
    case MOVE_TEXTOBJECT: {
      ObjectBitmaps copies{};
      if (ErrorCode e = GetTextObjectBitmaps(L, m->id, &copies)) return e;
      m->bitmap = copies.bitmap;
      m->mask = copies.mask;
      m->alpha = copies.alpha;
      m->ownsFrame = 1;
      m->width = copies.width;
      m->height = copies.height;
      return ERR_NONE;
    }
    case MOVE_LAYER: {
      if (!d->layers) return ERR_NOLAYERS;
      if (!m->ownedByAsync || !m->layer) {
        m->layer = GetCurrentLayerAt(m->id.number);
        if (!m->layer) return ERR_LAYERRANGE;
      }
      m->layer->asyncUse++;
      m->width = m->layer->base->width;
      m->height = m->layer->base->height;
      m->layerPosition = m->id.number;
      return ERR_NONE;
    }
    case MOVE_SPRITE: {
      SpriteObject* s = nullptr;
      if (ErrorCode e = GetSpriteObject(m->id, &s, 0)) return e;
      s->useCount++;
      if (s->links)
        for (SpriteObject** l = s->links; *l; ++l) (*l)->useCount++;
      m->object = s;
      m->useCounter = &s->useCount;
      m->width = s->width;
      m->height = s->height;
      m->frameCount = s->frameCount;
      return ERR_NONE;
    }
    case MOVE_PICTURE:
      return m->width > 0 && m->height > 0 ? ERR_NONE : ERR_WRONGUSAGE;
    case MOVE_ANIM: {
      const AnimDrawHooks& hooks = drawContext.animHooks;
      if (!hooks.hold) return ObjectNotFound(m->id, ERR_FINDANIM);
      if (ErrorCode e = hooks.hold(L, m->id, &m->anim, &m->frameCount)) return e;
      if (ErrorCode e = fetchAnimFrame(m)) return e;
      m->width = static_cast<int32_t>(GetBitmapAttr(m->bitmap, 0));
      m->height = static_cast<int32_t>(GetBitmapAttr(m->bitmap, 14));
      return ERR_NONE;
    }
    default:
      return ERR_WRONGUSAGE;
  }
}

// Start and end against the object's size: position constants, and for
// layers the relative band around 100000.
void resolvePositions(MoveState* m, DisplayRecord* d) {
  const int32_t pw = d->bgpic ? d->bgpic->width : d->width;
  const int32_t ph = d->bgpic ? d->bgpic->height : d->height;
  double ax = 0, ay = 0;
  if (m->type == MOVE_LAYER && m->layer) {
    ax = m->layer->anchorX;
    ay = m->layer->anchorY;
    auto relative = [](int32_t value, int32_t current) {
      return value >= 95001 && value <= 104999 ? saturate(int64_t{current} + value - KEEPPOSITION)
                                               : value;
    };
    const LayerImageState* base = m->layer->base;
    m->startX = relative(m->startX, base->requestedX);
    m->startY = relative(m->startY, base->requestedY);
    m->endX = relative(m->endX, base->requestedX);
    m->endY = relative(m->endY, base->requestedY);
  }
  m->startX = ResolveXPos(m->startX, m->width, pw, ax);
  m->startY = ResolveYPos(m->startY, m->height, ph, ay);
  m->endX = ResolveXPos(m->endX, m->width, pw, ax);
  m->endY = ResolveYPos(m->endY, m->height, ph, ay);
}

// A brush (or text object) on a display with layers moves as its layer:
// one that shows it already, else a new one at the start.
ErrorCode becomeLayerMove(MoveState* m) {
  VmState* L = m->state;
  const int32_t type = m->type == MOVE_BRUSH  ? LAYER_BRUSH
                       : m->type == MOVE_ANIM ? LAYER_ANIM
                                              : LAYER_TEXTOBJECT;
  qmLayer* layer = FindLayerShowingObject(type, m->id);
  if (!layer) {
    if (m->type == MOVE_BRUSH) {
      if (ErrorCode e = DisplayBrushCore(L, m->id, m->startX, m->startY, 0)) return e;
    } else if (m->type == MOVE_ANIM) {
      DrawRequest r{};
      r.type = OBJTYPE_ANIM;
      r.id = m->id;
      r.frame = m->frame;
      r.x = m->startX;
      r.y = m->startY;
      r.layer = -1;
      if (ErrorCode e = DrawObject(L, &r)) return e;
    } else if (ErrorCode e = showTextObjectLayer(L, m)) {
      return e;
    }
    layer = FindLayerShowingObject(type, m->id);
    if (!layer) return ERR_LAYERRANGE;
  }
  m->layer = layer;
  layer->asyncUse++;
  return ERR_NONE;
}

ErrorCode prepareMove(MoveState* m, DisplayRecord* d) {
  if (!m->ownedByAsync)
    if (ErrorCode e = outputRefusal(d)) return e;
  if (m->type == MOVE_SPRITE &&
      (d->layers || (d->bgpic && d->bgpic->layers.head && d->bgpic->layers.head->succ &&
                     d->bgpic->layers.head->succ->succ)))
    return ERR_LAYERSOFF;
  m->speed = pixelsOfSpeed(m->speed);
  if (m->speed <= 0) return ERR_WRONGUSAGE;
  m->animInterval = millisecondsOfAnimSpeed(m->animInterval, m->type);
  if (m->animInterval < 0 && m->animInterval != DEFAULTSPEED) m->animInterval = 0;
  if (ErrorCode e = holdObject(m, d)) return e;
  resolvePositions(m, d);
  if (m->startX == m->endX && m->startY == m->endY) {
    if (!m->ownedByAsync) return ERR_NONE;
    m->startX = saturate(int64_t{m->startX} - 10);
    m->startY = saturate(int64_t{m->startY} - 10);
  }
  m->direction = directionOf(int64_t{m->endX} - m->startX, int64_t{m->endY} - m->startY);
  m->initialStep = m->step = m->speed;
  m->slowDistance = saturate(int64_t{m->speed} * 6);
  m->slowDecrement = std::max(1, (m->speed + 5) / 10);
  m->phase = 0;
  if (isCurveMove(m)) {
    buildCurve(m, d);
    if (m->direction == 6) m->step = -m->step;
  } else if (ErrorCode e = buildPath(m)) {
    return e;
  }
  m->x = m->previousX = m->startX;
  m->y = m->previousY = m->startY;
  if (d->layers && (m->type == MOVE_BRUSH || m->type == MOVE_TEXTOBJECT || m->type == MOVE_ANIM)) {
    if (ErrorCode e = becomeLayerMove(m)) return e;
    m->type = MOVE_LAYER;
  } else if (m->type != MOVE_LAYER && m->type != MOVE_SPRITE) {
    if (ErrorCode e = captureBackground(m, d)) return e;
  }
  GetSysTime(&m->nextFrame);
  TimeValue interval = frameInterval(m);
  AddTime(&m->nextFrame, &interval);
  m->drawFrame = stepMove;
  m->release = releaseMove;
  return ERR_NONE;
}

struct MoveArgs {
  int32_t speed = NORMALSPEED, animSpeed = NORMALSPEED, effect = MOVEFX_NONE, async = 0;
};

// id, x1, y1, x2, y2, then a table or speed (, animspeed) (, fx).
ErrorCode readMoveArgs(VmState* L, bool withAnimSpeed, MoveArgs* a) {
  if (VmType(L, 6) == VM_TYPE_TABLE) {
    OptionField rows[] = {{"fx", OPTION_INT, &a->effect},
                          {"speed", OPTION_INT, &a->speed},
                          {"animspeed", OPTION_INT, &a->animSpeed},
                          {"async", OPTION_BOOL, &a->async}};
    return ReadOptionTable(L, 6, rows);
  }
  a->speed = VmOptInteger(L, 6, NORMALSPEED);
  if (withAnimSpeed) {
    a->animSpeed = VmOptInteger(L, 7, NORMALSPEED);
    a->effect = VmOptInteger(L, 8, MOVEFX_NONE);
  } else {
    a->effect = VmOptInteger(L, 7, MOVEFX_NONE);
  }
  return ERR_NONE;
}

int moveCommand(VmState* L, int32_t type, bool withAnimSpeed) {
  CheckArgCount(L, 5, withAnimSpeed ? 8 : 7, 0, 0);
  ObjectId id{};
  int32_t position = 0;
  if (type == MOVE_LAYER) {
    DisplayRecord* d = GetCurrentDisplay();
    if (!d) return ERR_CLOSEDDISPLAY;
    if (ErrorCode e = outputRefusal(d)) return e;
    if (!d->layers) return ERR_NOLAYERS;
    qmLayer* layer = nullptr;
    if (ErrorCode e = GetLayerFromArg(L, 1, &layer, &position)) return e;
    id = ObjectId{nullptr, position};
  } else {
    id = GetObjectIdArg(L, 1, nullptr);
  }
  const int32_t x1 = VmTruncInt32(VmCheckNumber(L, 2)), y1 = VmTruncInt32(VmCheckNumber(L, 3));
  const int32_t x2 = VmTruncInt32(VmCheckNumber(L, 4)), y2 = VmTruncInt32(VmCheckNumber(L, 5));
  MoveArgs args;
  if (ErrorCode e = readMoveArgs(L, withAnimSpeed, &args)) return e;
  auto* m = static_cast<MoveState*>(AllocMemory(sizeof(MoveState), 1));
  if (!m) return ERR_MEM;
  m->state = L;
  m->type = type;
  m->id = id;
  m->effect = args.effect;
  m->speed = args.speed;
  m->animInterval = args.animSpeed;
  m->async = args.async;
  m->startX = x1;
  m->startY = y1;
  m->endX = x2;
  m->endY = y2;
  const int top = VmGetTop(L);
  ErrorCode e = MoveObjectCore(m);
  if (e) return e;
  return VmGetTop(L) > top ? 1 : 0;
}

int cmdMoveBrush(VmState* L) { return moveCommand(L, MOVE_BRUSH, false); }
int cmdMoveTextObject(VmState* L) { return moveCommand(L, MOVE_TEXTOBJECT, false); }
int cmdMoveLayer(VmState* L) { return moveCommand(L, MOVE_LAYER, false); }
int cmdMoveAnim(VmState* L) { return moveCommand(L, MOVE_ANIM, true); }
int cmdMoveSprite(VmState* L) { return moveCommand(L, MOVE_SPRITE, true); }

const CommandTableEntry MOVE_COMMANDS[] = {
    {"MoveBrush", cmdMoveBrush}, {"MoveTextObject", cmdMoveTextObject}, {"MoveLayer", cmdMoveLayer},
    {"MoveAnim", cmdMoveAnim},   {"MoveSprite", cmdMoveSprite},         {nullptr, nullptr},
};

const ConstantTableEntry MOVE_CONSTANTS[] = {
    {"BOUNCE", nullptr, MOVEFX_BOUNCE},         {"SMOOTHOUT", nullptr, MOVEFX_SMOOTHOUT},
    {"DAMPED", nullptr, MOVEFX_DAMPED},         {"SINE", nullptr, MOVEFX_SINE},
    {"BIGSINE", nullptr, MOVEFX_BIGSINE},       {"LOWERCURVE", nullptr, MOVEFX_LOWERCURVE},
    {"UPPERCURVE", nullptr, MOVEFX_UPPERCURVE}, {"NORMALSPEED", nullptr, NORMALSPEED},
    {"FASTSPEED", nullptr, FASTSPEED},          {"SLOWSPEED", nullptr, SLOWSPEED},
    {"DEFAULTSPEED", nullptr, DEFAULTSPEED},    {nullptr, nullptr, 0},
};

}  // namespace

ErrorCode MoveObjectCore(MoveState* m) {
  VmState* L = m->state;
  DisplayRecord* d = GetCurrentDisplay();
  ErrorCode e = d ? prepareMove(m, d) : ERR_CLOSEDDISPLAY;
  if (e || (!m->drawFrame && !m->ownedByAsync)) {
    // Failed, or there was nothing to move.
    m->drawFrame = nullptr;
    releaseMove(m);
    return e;
  }
  if (m->ownedByAsync) return ERR_NONE;
  if (m->async) {
    AsyncDraw* draw = nullptr;
    if ((e = AddAsyncDraw(ADF_MOVEOBJECT, asyncStep, nullptr, nullptr, asyncRelease, asyncEvent, m,
                          &draw))) {
      releaseMove(m);
      return e;
    }
    PushObjectId(L, ObjectId{draw, 0});
    return ERR_NONE;
  }
  ErrorCode result = ERR_NONE;
  for (;;) {
    ErrorCode polled = ERR_NONE;
    if (PollEvents(L, 1, 0, &polled)) {
      result = polled != ERR_NONE ? polled : ERR_USERABORT;
      break;
    }
    if (m->work && !d->doubleBuffer && d->windowBitmap &&
        (d->windowBitmap->width != m->pictureWidth || d->windowBitmap->height != m->pictureHeight))
      if ((result = captureBackground(m, d))) break;
    int32_t done = 0;
    if ((result = m->drawFrame(m, &done)) || done) break;
    WaitDisplayVBlank(L, d, 0);
  }
  releaseMove(m);
  return result;
}

ErrorCode OpenMoveObjectLibrary(VmState* L) {
  if (ErrorCode e = RegisterLibrary(MOVE_COMMANDS, "moveobject")) return e;
  VmRegisterFunctions(L, nullptr, MOVE_COMMANDS, 0);
  VmRegisterConstants(L, MOVE_CONSTANTS, 0);
  return ERR_NONE;
}
