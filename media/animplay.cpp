// Anim playback and the anim's drawing commands: PlayAnim plays an anim on
// the current display, synchronously (the command returns after the last
// pass) or as an async drawing that the script advances; PlayAnimDisk plays
// a file straight from disk through a disk anim of its own;
// DisplayAnimFrame draws one frame and SelectAnim makes one frame the
// drawing target. Without layers each frame is composed over a saved copy
// of the background under the anim, so masked and translucent frames never
// pile up. Invariant: a playback holds one use of its anim (which locks it)
// from its start to its release, and the release frees every bitmap the
// playback made, on every path.
#include <algorithm>
#include <cmath>

#include "display/display.h"
#include "draw/draw.h"
#include "engine/optiontable.h"
#include "gfx/gfx.h"
#include "media/anim_private.h"
#include "media/media.h"
#include "platform/linux/platform.h"

namespace {

// Milliseconds per frame of the speed constants.
constexpr int32_t FASTSPEED = -2, NORMALSPEED = -1, SLOWSPEED = -3, DEFAULTSPEED = -4;
constexpr int32_t NORMAL_MS = 60, SLOW_MS = 160, SPEED_UNIT_MS = 20;

struct AnimPlayback {
  VmState* state;
  BitmapHandle* work;   // a masked frame composed over the background
  BitmapHandle* saved;  // the background under the rectangle
  AnimObject* anim;
  ObjectId animId;
  int32_t x, y;   // the clipped rectangle on the display
  int32_t speed;  // milliseconds per frame, or DEFAULTSPEED
  int32_t times;  // 0: without end
  int32_t width, height;
  int32_t drawX, drawY, drawWidth, drawHeight;  // where a whole frame goes
  int32_t offsetX, offsetY;                     // how far the rectangle was clipped
  int32_t frame, pass;                          // from 1
  TimeValue time;
  int32_t async;
  int32_t layers;
  int32_t pictureWidth, pictureHeight;  // the window bitmap's size at the last capture
  DisplayTransform transform;
  int32_t transformed;
  qmLayer* layer;  // layers on: the layer that shows the anim
  // A synchronous play draws frame after frame with nothing between them:
  // masked frames write only the pixels that change from the one before.
  MaskedOverSeries series;
};

int32_t speedMilliseconds(int32_t speed) {
  switch (speed) {
    case NORMALSPEED:
      return NORMAL_MS;
    case SLOWSPEED:
      return SLOW_MS;
    case DEFAULTSPEED:
      return DEFAULTSPEED;
    case FASTSPEED:
      return 0;
    default:
      return speed < 0 ? 0
                       : static_cast<int32_t>(
                             std::min<int64_t>(int64_t{speed} * SPEED_UNIT_MS, INT32_MAX));
  }
}

void freeFrame(BitmapHandle* b, BitmapHandle* m, BitmapHandle* a) {
  FreeBitmap(b);
  FreeBitMask(m);
  FreeAlphaChannel(a);
}

void releasePlayback(AnimPlayback* p) {
  if (!p) return;
  FreeBitmap(p->work);
  FreeBitmap(p->saved);
  EndMaskedOverSeries(&p->series);
  if (p->anim) p->anim->useCount--;
  FreeMemory(p);
}

// The background under the drawing rectangle, clipped at the edges of the
// picture the window shows; a rectangle with nothing left is 1055.
ErrorCode captureBackground(AnimPlayback* p) {
  FreeBitmap(p->work);
  FreeBitmap(p->saved);
  p->work = p->saved = nullptr;
  EndMaskedOverSeries(&p->series);
  DisplayRecord* d = GetCurrentDisplay();
  BitmapHandle* picture = d ? d->windowBitmap : nullptr;
  int64_t x = p->drawX, y = p->drawY, width = p->drawWidth, height = p->drawHeight;
  p->offsetX = p->offsetY = 0;
  if (x < 0) {
    width += x;
    p->offsetX = static_cast<int32_t>(-x);
    x = 0;
  }
  if (y < 0) {
    height += y;
    p->offsetY = static_cast<int32_t>(-y);
    y = 0;
  }
  if (picture) {
    width = std::min<int64_t>(width, picture->width - x);
    height = std::min<int64_t>(height, picture->height - y);
    p->pictureWidth = picture->width;
    p->pictureHeight = picture->height;
  }
  if (width <= 0 || height <= 0) return ERR_WRONGUSAGE;
  p->x = static_cast<int32_t>(x);
  p->y = static_cast<int32_t>(y);
  p->width = static_cast<int32_t>(width);
  p->height = static_cast<int32_t>(height);
  p->saved = AllocBitmap(p->width, p->height, 0, nullptr);
  p->work = AllocBitmap(p->width, p->height, 0, nullptr);
  if (!p->saved || !p->work) return ERR_BITMAP;
  if (picture) BltBitmapToTarget(picture, p->x, p->y, p->saved, 0, 0, p->width, p->height);
  return ERR_NONE;
}

// Draws the frame due and advances; *done once the last pass has ended.
ErrorCode playStep(AnimPlayback* p, int32_t* done) {
  *done = 0;
  VmState* L = p->state;
  AnimObject* a = p->anim;
  TimeValue now{};
  GetSysTime(&now);
  if (p->async) {
    if (CmpTime(&now, &p->time) < 0) return ERR_NONE;
    p->time = now;
  }
  const int32_t index = VmIndexFromOne(p->frame);
  if (p->layers) {
    // The anim's layer shows the frame; a layer taken away ends the play.
    if (!p->layer || !LayerExists(p->layer)) {
      p->layer = nullptr;
      *done = 1;
      return ERR_NONE;
    }
    if (ErrorCode e = SetLayerPosFrame(L, p->layer, KEEPPOSITION, KEEPPOSITION, index + 1, 0))
      return e;
  } else {
    BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
    if (ErrorCode e = GetAnimFrameBitmap(a, index, 0, 1, &bitmap, &mask, &alpha)) return e;
    bool owned = a->fromDisk != 0;
    if (p->transformed) {
      const DisplayTransform& t = p->transform;
      const double m[4] = {t.m11, t.m12, t.m21, t.m22};
      BitmapHandle *tb = nullptr, *tm = nullptr, *ta = nullptr;
      int32_t ox = 0, oy = 0, ow = 0, oh = 0;
      ErrorCode e = TransformBitmapMatrix(L, 0, nullptr, bitmap, mask, alpha, 0, 0, 0, 0,
                                          a->storedWidth, a->storedHeight, 0, 0, m, t.smoothScale,
                                          nullptr, &tb, &tm, &ta, &ox, &oy, &ow, &oh);
      if (owned) freeFrame(bitmap, mask, alpha);
      if (e) return e;
      bitmap = tb;
      mask = tm;
      alpha = ta;
      owned = true;
    }
    int32_t outWidth = 0, outHeight = 0;
    if (DisplayRecord* d = GetCurrentDisplay(); d && d->windowBitmap) {
      outWidth = d->windowBitmap->width;
      outHeight = d->windowBitmap->height;
    }
    const int32_t bw = static_cast<int32_t>(GetBitmapAttr(bitmap, 0));
    const int32_t bh = static_cast<int32_t>(GetBitmapAttr(bitmap, 14));
    const uint32_t flags = SAFEBLT_BACKBUFFER | SAFEBLT_SCALED;
    // A masked frame goes over the saved background straight into the
    // window bitmap where that shows the same as composing it in the work
    // bitmap first (the mask wins over an alpha channel either way).
    if (mask && SafeBltMaskedOver(L, bitmap, p->offsetX, p->offsetY, bw, bh, mask, p->saved, p->x,
                                  p->y, p->width, p->height, outWidth, outHeight,
                                  p->async ? nullptr : &p->series)) {
    } else if (mask || alpha) {
      BltBitmapToTarget(p->saved, 0, 0, p->work, 0, 0, p->width, p->height);
      SafeBlt(L, bitmap, p->offsetX, p->offsetY, p->work, 0, 0, p->width, p->height, bw, bh,
              p->width, p->height, SAFEBLT_BITMAPONLY | SAFEBLT_NOCLIPRECORD, mask, alpha, nullptr);
      SafeBlt(L, p->work, 0, 0, nullptr, p->x, p->y, p->width, p->height, p->width, p->height,
              outWidth, outHeight, flags, nullptr, nullptr, nullptr);
    } else {
      SafeBlt(L, bitmap, 0, 0, nullptr, p->drawX, p->drawY, p->drawWidth, p->drawHeight, bw, bh,
              outWidth, outHeight, flags, nullptr, nullptr, nullptr);
    }
    if (owned) freeFrame(bitmap, mask, alpha);
  }
  int32_t delay = p->speed == DEFAULTSPEED ? GetAnimFrameDelay(a, index) : p->speed;
  if (delay < 0) delay = 0;
  if (p->async) {
    TimeValue step{static_cast<uint32_t>(delay / 1000),
                   static_cast<uint32_t>(delay % 1000) * 1000u};
    AddTime(&p->time, &step);
  } else {
    if (delay > 0) {
      // A clock that went back counts as no time spent.
      int64_t spent = 0;
      if (CmpTime(&now, &p->time) > 0) {
        TimeValue elapsed = now;
        SubTime(&elapsed, &p->time);
        spent = int64_t{elapsed.seconds} * 1000 + elapsed.micros / 1000;
      }
      if (spent < delay)
        if (ErrorCode e = SleepViaAdapter(L, static_cast<int32_t>(delay - spent))) return e;
    }
    GetSysTime(&p->time);
  }
  if (++p->frame > a->frameCount) {
    if (p->times != 0 && p->pass >= p->times) {
      *done = 1;
      return ERR_NONE;
    }
    p->frame = 1;
    p->pass++;
  }
  return ERR_NONE;
}

ErrorCode asyncStep(void* userData, int32_t* finished) {
  return playStep(static_cast<AnimPlayback*>(userData), finished);
}

void asyncRelease(void* userData, int32_t) {
  releasePlayback(static_cast<AnimPlayback*>(userData));
}

// The question which object the drawing draws: the anim's layer, if any.
intptr_t asyncEvent(int32_t code, intptr_t argument, void* userData, intptr_t) {
  auto* p = static_cast<AnimPlayback*>(userData);
  if (code == ADEVENT_OBJECT && argument)
    *reinterpret_cast<void**>(argument) = p->layer && LayerExists(p->layer) ? p->layer : nullptr;
  return 0;
}

// Why nothing can be played on the display now, or 0. The anim's own
// selection has been ended before.
ErrorCode outputRefusal(const DisplayRecord* d) {
  switch (d->outputKind) {
    case OBJECT_BRUSH:
      // A selection made while double buffering suspends the buffer.
      if (d->doubleBuffer || d->bufferSuspended) return ERR_ENDDOUBLEBUFFER;
      return d->deviceRecord && d->deviceRecord->head.type == OBJTYPE_ANIM ? ERR_SELECTANIM
                                                                           : ERR_SELECTBRUSH;
    case OUTPUT_MASK:
      return ERR_SELECTMASK;
    case OUTPUT_ALPHA:
      return ERR_SELECTALPHACHANNEL;
    case OBJECT_BGPIC:
      return ERR_SELECTBG;
    default:
      break;
  }
  return d->collectRefreshes ? ERR_BEGINREFRESH : ERR_NONE;
}

struct PlayRequest {
  ObjectId id;
  int32_t x = 0, y = 0, speed = 0, times = 1, async = 0;
  int optionsIndex = 0;
};

// Starts a playback; a synchronous one runs to its end here. Pushes the
// async drawing's id for an asynchronous one.
int playAnim(VmState* L, const PlayRequest& request) {
  DisplayRecord* d = GetCurrentDisplay();
  if (!d) return ERR_CLOSEDDISPLAY;
  if (IsAnimOutputDevice(request.id))
    if (ErrorCode e = EndOutputSelection(L, d, 0)) return e;
  if (ErrorCode e = outputRefusal(d)) return e;
  AnimObject* a = nullptr;
  if (ErrorCode e = GetAnimObject(L, request.id, &a, 0)) return e;
  auto* p = static_cast<AnimPlayback*>(AllocMemory(sizeof(AnimPlayback), 1));
  if (!p) return ERR_MEM;
  p->state = L;
  p->anim = a;
  p->animId = request.id;
  a->useCount++;
  CopyDefaultTransform(&p->transform);
  if (request.optionsIndex > 0) {
    ObjectStyle style;
    CopyDefaultObjectStyle(&style);
    if (ErrorCode e =
            ParseDisplayOptions(L, request.optionsIndex, a->storedWidth, a->storedHeight, 0, 0,
                                a->smooth, &p->transform, &style, DISPOPT_DEFAULTS)) {
      releasePlayback(p);
      return e;
    }
  }
  p->speed = speedMilliseconds(request.speed);
  p->times = request.times < 0 ? 0 : request.times;
  p->async = request.async;
  p->layers = d->layers;
  p->frame = p->pass = 1;
  int32_t outWidth = d->windowBitmap ? d->windowBitmap->width : d->width;
  int32_t outHeight = d->windowBitmap ? d->windowBitmap->height : d->height;
  const DisplayTransform& t = p->transform;
  p->drawX = ResolveXPos(request.x, a->storedWidth, outWidth, t.anchorX);
  p->drawY = ResolveYPos(request.y, a->storedHeight, outHeight, t.anchorY);
  p->drawWidth = a->storedWidth;
  p->drawHeight = a->storedHeight;
  if (!p->layers) {
    const bool identity = t.m11 == 1 && t.m12 == 0 && t.m21 == 0 && t.m22 == 1;
    int32_t boxX = 0, boxY = 0;
    if (!identity) {
      // The rotated box of the frame: its top-left corner and size.
      double xs[4] = {0, static_cast<double>(a->storedWidth), 0,
                      static_cast<double>(a->storedWidth)};
      double ys[4] = {0, 0, static_cast<double>(a->storedHeight),
                      static_cast<double>(a->storedHeight)};
      double minX = 0, maxX = 0, minY = 0, maxY = 0;
      for (int i = 0; i < 4; i++) {
        double tx = t.m11 * xs[i] + t.m12 * ys[i], ty = t.m21 * xs[i] + t.m22 * ys[i];
        minX = i ? std::min(minX, tx) : tx;
        maxX = i ? std::max(maxX, tx) : tx;
        minY = i ? std::min(minY, ty) : ty;
        maxY = i ? std::max(maxY, ty) : ty;
      }
      boxX = static_cast<int32_t>(std::lround(minX));
      boxY = static_cast<int32_t>(std::lround(minY));
      p->drawWidth = std::max<int32_t>(1, static_cast<int32_t>(std::lround(maxX - minX)));
      p->drawHeight = std::max<int32_t>(1, static_cast<int32_t>(std::lround(maxY - minY)));
      p->transformed = 1;
      (void)boxX;
      (void)boxY;
    }
    p->drawX -= static_cast<int32_t>(std::lround(p->drawWidth * t.anchorX));
    p->drawY -= static_cast<int32_t>(std::lround(p->drawHeight * t.anchorY));
    if (ErrorCode e = captureBackground(p)) {
      releasePlayback(p);
      return e;
    }
  }
  if (p->layers) {
    // The anim becomes the top layer once, at its first frame; the steps
    // only change the frame it shows.
    DrawRequest r{};
    r.type = OBJTYPE_ANIM;
    r.id = request.id;
    r.x = request.x;
    r.y = request.y;
    r.transform = &p->transform;
    r.layer = -1;
    if (ErrorCode e = DrawObject(L, &r)) {
      releasePlayback(p);
      return e;
    }
    p->layer = FindLayerShowingObject(LAYER_ANIM, request.id);
  }
  GetSysTime(&p->time);
  if (p->async) {
    AsyncDraw* draw = nullptr;
    if (ErrorCode e = AddAsyncDraw(ADF_ANIM, asyncStep, nullptr, nullptr, asyncRelease, asyncEvent,
                                   p, &draw)) {
      releasePlayback(p);
      return e;
    }
    return PushObjectId(L, ObjectId{draw, 0});
  }
  ErrorCode result = ERR_NONE;
  for (;;) {
    ErrorCode polled = ERR_NONE;
    if (PollEvents(L, 1, 0, &polled)) {
      result = polled != ERR_NONE ? polled : ERR_USERABORT;
      break;
    }
    if (!p->layers && !d->autoscale && d->windowBitmap &&
        (d->windowBitmap->width != p->pictureWidth || d->windowBitmap->height != p->pictureHeight))
      if ((result = captureBackground(p))) break;
    int32_t done = 0;
    if ((result = playStep(p, &done)) || done) break;
    WaitDisplayVBlank(L, d, 0);
  }
  releasePlayback(p);
  return result;
}

}  // namespace

// PlayAnim(id[, x, y[, table or speed[, times]]]).
int CmdPlayAnim(VmState* L) {
  CheckArgCount(L, 1, 5, 0, 0);
  PlayRequest r;
  r.id = GetObjectIdArg(L, 1, nullptr);
  r.x = VmOptInteger(L, 2, 0);
  r.y = VmOptInteger(L, 3, 0);
  if (VmType(L, 4) == VM_TYPE_TABLE) {
    OptionField rows[] = {{"speed", OPTION_INT, &r.speed},
                          {"times", OPTION_INT, &r.times},
                          {"async", OPTION_BOOL, &r.async}};
    if (ErrorCode e = ReadOptionTable(L, 4, rows)) return e;
    r.optionsIndex = 4;
  } else {
    r.speed = VmOptInteger(L, 4, 0);
    r.times = VmOptInteger(L, 5, 1);
  }
  return playAnim(L, r);
}

// PlayAnimDisk(file[, x, y, unused, speed, key colour, times]): a disk anim
// of its own, freed afterwards on every path.
int CmdPlayAnimDisk(VmState* L) {
  CheckArgCount(L, 1, 7, 0, 0);
  PlayRequest r;
  r.x = VmOptInteger(L, 2, 0);
  r.y = VmOptInteger(L, 3, 0);
  r.speed = VmOptInteger(L, 5, 0);
  r.times = VmOptInteger(L, 7, 1);
  const int top = VmGetTop(L);
  int results = LoadAnimObject(L, ANIM_TARGET_DISK);
  if (results >= ERR_MEM) return results;
  r.id = GetObjectIdArg(L, top + 1, nullptr);
  VmSetTop(L, top);
  int played = playAnim(L, r);
  FreeAnimObject(L, r.id, 0);
  return played;
}

// DisplayAnimFrame(id, x, y, frame[, table]).
int CmdDisplayAnimFrame(VmState* L) {
  CheckArgCount(L, 4, 5, 0, 0);
  DrawRequest r{};
  r.type = OBJTYPE_ANIM;
  r.id = GetObjectIdArg(L, 1, nullptr);
  r.x = VmTruncInt32(VmCheckNumber(L, 2));
  r.y = VmTruncInt32(VmCheckNumber(L, 3));
  r.frame = VmIndexFromOne(VmCheckInteger(L, 4));
  r.optionsIndex = VmGetTop(L) >= 5 ? 5 : 0;
  r.layer = -1;
  return DrawObject(L, &r);
}

// SelectAnim(id, frame[, mode[, combo]]).
int CmdSelectAnim(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t frame = VmCheckInteger(L, 2);
  int32_t mode = VmOptInteger(L, 3, 0);
  int32_t combo = VmOptInteger(L, 4, 0);
  // Drawing changes the frame: layers that show the anim keep what they
  // show on a private copy.
  AnimObject* a = nullptr;
  if (GetAnimObject(L, id, &a, 0) == ERR_NONE && !a->fromDisk && IsObjectOnLayer(LAYER_ANIM, id)) {
    AnimObject* copy = nullptr;
    if (ErrorCode e = CopyAnimObject(a, &copy)) return e;
    RepointLayers(LAYER_ANIM, id, ObjectId{copy, 0});
  }
  return SelectOutputDevice(L, OBJTYPE_ANIM, id, OBJECT_BRUSH, frame, mode, combo);
}

ErrorCode GetAnimDrawFrame(VmState* L, ObjectId id, int32_t frame, AnimFrameView* out) {
  *out = AnimFrameView{};
  AnimObject* a = nullptr;
  if (ErrorCode e = GetAnimObject(L, id, &a, 0)) return e;
  if (ErrorCode e = GetAnimFrameBitmap(a, frame, 0, 0, &out->bitmap, &out->mask, &out->alpha))
    return e;
  out->width = a->width;
  out->height = a->height;
  out->owned = a->fromDisk;
  out->smooth = a->smooth;
  return ERR_NONE;
}

ErrorCode HoldAnimForMove(VmState* L, ObjectId id, void** record, int32_t* frames) {
  AnimObject* a = nullptr;
  if (ErrorCode e = GetAnimObject(L, id, &a, 0)) return e;
  a->useCount++;
  *record = a;
  *frames = a->frameCount;
  return ERR_NONE;
}

void ReleaseAnimOfMove(VmState* L, ObjectId id, void* record) {
  for (ObjectId at : {id, ObjectId{record, 0}}) {
    AnimObject* a = nullptr;
    if (GetAnimObject(L, at, &a, ANIM_PENDING) == ERR_NONE && a == record) {
      if (a->useCount > 0) a->useCount--;
      if (a->freePending) FlushPendingAnimFrees(L);
      return;
    }
  }
}

int32_t GetAnimDelayOfMove(VmState* L, ObjectId id, int32_t frame) {
  AnimObject* a = nullptr;
  if (GetAnimObject(L, id, &a, ANIM_PENDING) || frame < 0 || frame >= a->frameCount) return 0;
  return std::max(GetAnimFrameDelay(a, frame), 0);
}
