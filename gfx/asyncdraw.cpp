// Async drawings: the list of drawings that their libraries (transition
// effects, moving objects, anims) advance one frame per AsyncDrawFrame, the
// event protocol by which the graphics library asks the owner about frames
// and seeks, and the commands AsyncDrawFrame, FinishAsyncDraw and
// CancelAsyncDraw.
//
// Invariant: a drawing is in the list until it is removed, and removal
// always calls its release callback exactly once; an error of the owner's
// draw-frame or seek leaves the drawing in the list.
#include "engine/engine.h"
#include "gfx/context_private.h"
#include "gfx/gfx.h"
#include "gfx/hooks_private.h"
#include "gfx/graphics_private.h"
#include "runtime/runtime.h"

namespace {

AsyncDraw* firstDraw() { return reinterpret_cast<AsyncDraw*>(gfxContext.asyncList); }
AsyncDraw* nextDraw(AsyncDraw* a) { return reinterpret_cast<AsyncDraw*>(a->head.next); }

intptr_t sendEvent(AsyncDraw* a, int32_t code, intptr_t argument, intptr_t value) {
  return a->event ? a->event(code, argument, a->userData, value) : 0;
}

bool drawsIntoBGPic() {
  DisplayRecord* d = DisplayHooks().current();
  return d && DisplayValuesOf(d).outputKind == OBJTYPE_BGPIC;
}

// The layer code shows the drawn object's area again (see StepAsyncDraw).
void refreshDrawnObject(VmState* L, AsyncDraw* a) {
  void* object = nullptr;
  sendEvent(a, ADEVENT_OBJECT, reinterpret_cast<intptr_t>(&object), 0);
  const GraphicsLayerHooks* h = gfxContext.layerHooks;
  if (object && h && h->refreshObject) h->refreshObject(L, DisplayHooks().current(), object);
}

}  // namespace

ErrorCode CheckOutputIsDisplay(const DisplayRecord* d) {
  if (!d) return ERR_NONE;
  GfxDisplayValues v = DisplayValuesOf(d);
  switch (v.outputKind) {
    case OBJTYPE_DISPLAY:
    case OBJTYPE_BGPIC:
      return ERR_NONE;
    case OBJTYPE_BRUSH:
      return v.doubleBuffer ? ERR_ENDDOUBLEBUFFER : ERR_SELECTBRUSH;
    case OBJTYPE_ANIM:
      return ERR_SELECTANIM;
    case OUTPUT_MASK:
      return ERR_SELECTMASK;
    case OUTPUT_ALPHA:
      return ERR_SELECTALPHACHANNEL;
    default:
      return ERR_SELECTBRUSH;
  }
}

ErrorCode AddAsyncDraw(int32_t kind, AsyncDrawFrameFunc drawFrame, void* second,
                       AsyncDrawFlagFunc finish, AsyncDrawFlagFunc release,
                       AsyncDrawEventFunc event, void* userData, AsyncDraw** out) {
  *out = nullptr;
  auto* a = static_cast<AsyncDraw*>(AllocMemory(sizeof(AsyncDraw), 1));
  if (!a) return ERR_MEM;
  a->head.type = OBJTYPE_ASYNCDRAW;
  a->head.autoId = a;
  a->display = DisplayHooks().current();
  a->kind = kind;
  a->drawFrame = drawFrame;
  a->second = second;
  a->finish = finish;
  a->release = release;
  a->event = event;
  a->userData = userData;
  ObjectHead** link = &gfxContext.asyncList;
  while (*link) link = &(*link)->next;
  *link = &a->head;
  *out = a;
  return ERR_NONE;
}

ErrorCode FindAsyncDraw(ObjectId id, AsyncDraw** out) {
  *out = nullptr;
  for (AsyncDraw* a = firstDraw(); a; a = nextDraw(a)) {
    if (a->head.number == id.number && a->head.autoId == id.autoId) {
      *out = a;
      return ERR_NONE;
    }
  }
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDASYNCDRAW;
}

void RemoveAsyncDraw(VmState* L, AsyncDraw* draw, int32_t argument) {
  for (ObjectHead** link = &gfxContext.asyncList; *link; link = &(*link)->next) {
    if (*link == &draw->head) {
      *link = draw->head.next;
      break;
    }
  }
  if (draw->release) draw->release(draw->userData, argument);
  FreeObjectDataList(L, &draw->head.data);
  FreeMemory(draw);
}

void FreeAllAsyncDraws(VmState* L) {
  while (AsyncDraw* a = firstDraw()) RemoveAsyncDraw(L, a, 0);
}

int IsAsyncDraw(const DisplayRecord* display) {
  for (AsyncDraw* a = firstDraw(); a; a = nextDraw(a))
    if (a->display == display) return 1;
  return 0;
}

intptr_t QueryAsyncDrawObject(intptr_t value) {
  for (AsyncDraw* a = firstDraw(); a; a = nextDraw(a)) {
    if (a->kind != ADF_FX || !a->event) continue;
    intptr_t answer = 0;
    a->event(ADEVENT_QUERY, reinterpret_cast<intptr_t>(&answer), a->userData, value);
    if (answer) return answer;
  }
  return 0;
}

void BroadcastAsyncDrawEvent(int32_t code, intptr_t argument) {
  for (AsyncDraw* a = firstDraw(); a; a = nextDraw(a))
    if (a->event) a->event(code, argument, a->userData, 0);
}

int FindAsyncDrawByObject(void* object) {
  for (AsyncDraw* a = firstDraw(); a; a = nextDraw(a)) {
    if (!a->event) continue;
    void* drawn = nullptr;
    a->event(ADEVENT_OBJECT, reinterpret_cast<intptr_t>(&drawn), a->userData, 0);
    if (drawn == object) return 1;
  }
  return 0;
}

ErrorCode StepAsyncDraw(VmState* L, AsyncDraw* draw, int finishNow) {
  if (finishNow) {
    if (draw->finish) draw->finish(draw->userData, 1);
    RemoveAsyncDraw(L, draw, 1);
    return ERR_NONE;
  }
  bool bgpic = drawsIntoBGPic();
  if (bgpic) sendEvent(draw, ADEVENT_BGPIC, 1, 0);
  ErrorCode e = draw->drawFrame ? draw->drawFrame(draw->userData, &draw->finished) : ERR_NONE;
  if (e == ERR_NONE && bgpic) {
    sendEvent(draw, ADEVENT_BGPIC, 0, 0);
    refreshDrawnObject(L, draw);
  }
  return e;
}

// AsyncDrawFrame(id[, frame]): True once the drawing is finished (and gone).
int CmdAsyncDrawFrame(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  bool withFrame = VmGetTop(L) >= 2 && VmType(L, 2) != VM_TYPE_NIL;
  int32_t frame = withFrame ? VmCheckInteger(L, 2) : 0;
  DisplayRecord* d = DisplayHooks().current();
  if (ErrorCode e = CheckOutputIsDisplay(d)) return e;
  AsyncDraw* a = nullptr;
  if (ErrorCode e = FindAsyncDraw(id, &a)) return e;
  if (a->display != d) return ERR_ADFWRONGDISP;
  auto drawNext = [&](int32_t* finished) {
    *finished = a->finished;
    return StepAsyncDraw(L, a, *finished);
  };
  int32_t finished = 0;
  if (!withFrame) {
    if (ErrorCode e = drawNext(&finished)) return e;
    VmPushNumber(L, finished ? 1 : 0);
    return 1;
  }
  if (frame < 1) frame = 0;
  if (!d || !DisplayValuesOf(d).layers) return ERR_NOLAYERS;
  intptr_t count = sendEvent(a, ADEVENT_FRAMES, 0, 0);
  intptr_t current = sendEvent(a, ADEVENT_CURRENT, 0, 0);
  if (frame > count || frame == 0) {
    if (a->finished) {
      StepAsyncDraw(L, a, 1);
      VmPushNumber(L, 1);
      return 1;
    }
    if (frame > count) return ERR_ANIMFRAME;
  } else if (frame == current) {
    VmPushNumber(L, 0);
    return 1;
  } else if (frame != current + 1) {
    intptr_t e = sendEvent(a, ADEVENT_SEEK, reinterpret_cast<intptr_t>(&a->finished), frame);
    if (e) return static_cast<ErrorCode>(e);
    if (drawsIntoBGPic())
      refreshDrawnObject(L, a);
    else
      sendEvent(a, ADEVENT_SETFRAME, 0, current + 1);
    a->finished = frame == count;
    VmPushNumber(L, a->finished ? 1 : 0);
    return 1;
  }
  if (ErrorCode e = drawNext(&finished)) return e;
  VmPushNumber(L, 0);
  return 1;
}

// FinishAsyncDraw(id): the finish callback, then removal.
int CmdFinishAsyncDraw(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  AsyncDraw* a = nullptr;
  if (ErrorCode e = FindAsyncDraw(GetObjectIdArg(L, 1, nullptr), &a)) return e;
  int32_t finished = a->finished;
  if (a->finish) a->finish(a->userData, finished);
  RemoveAsyncDraw(L, a, finished);
  return 0;
}

// CancelAsyncDraw(id): removal without the finish callback.
int CmdCancelAsyncDraw(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  AsyncDraw* a = nullptr;
  if (ErrorCode e = FindAsyncDraw(GetObjectIdArg(L, 1, nullptr), &a)) return e;
  RemoveAsyncDraw(L, a, 0);
  return 0;
}

int ReadAsyncDrawAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(gfxContext.asyncList));
    return 1;
  }
  AsyncDraw* a = nullptr;
  if (ErrorCode e = FindAsyncDraw(GetObjectIdArg(L, 2, nullptr), &a)) return e;
  double value;
  switch (attribute) {
    case ATTRTYPE:
      value = a->kind;
      break;
    case ATTRNUMFRAMES:
      value = a->event ? static_cast<double>(sendEvent(a, ADEVENT_FRAMES, 0, 0)) : -1;
      break;
    case ATTRCURFRAME:
      value = a->event ? static_cast<double>(sendEvent(a, ADEVENT_CURRENT, 0, 0)) : -1;
      break;
    default:
      return ERR_UNKNOWNATTR;
  }
  VmPushNumber(L, value);
  return 1;
}
