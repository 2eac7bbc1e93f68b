// Display callbacks: plug-ins that show a display somewhere of their own
// attach a callback to it and are told of every window copy, direct
// drawing, new size and frame; they feed the input of that place back
// through PostDisplayCallbackEvent.
//
// Invariants: a display's callbacks are called in the order they were
// added, each at most once per message, and the list is read again after
// every call, since a callback may remove itself or another one (the
// visited flag marks who was served). Records are unlinked under the
// display-list mutex; PostDisplayCallbackEvent finds the display holding a
// record under the same mutex, as it may run on another thread.
#include <cstring>

#include "display/adapter_private.h"
#include "display/context_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "platform/linux/platform.h"

namespace {

constexpr int32_t CALLMODE_BRIDGED = 1;
constexpr int32_t SIZE_HANDLER_SLOT = 5;  // the "SizeWindow" slot of a display's handlers
constexpr int32_t KEY_EVENT = 5, RAWKEY_EVENT = 8, DROP_EVENT = 7, CHAR_EVENT = 6;
// The values block of a window copy.
constexpr int WINDOWCOPY_VALUES = 14;

// The callback being served by RefreshDisplayForCallback, or null.
DisplayCallback* servedCallback = nullptr;

void lockList() {
  if (displayContext.displayListMutex) LockMutex(displayContext.displayListMutex);
}
void unlockList() {
  if (displayContext.displayListMutex) UnlockMutex(displayContext.displayListMutex);
}

// The display whose list holds record; the caller holds the list mutex.
DisplayRecord* holderOf(const DisplayCallback* record) {
  if (!record) return nullptr;
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    for (DisplayCallback* c = d->callbacks; c; c = c->next)
      if (c == record) return d;
  return nullptr;
}

DisplayRecord* findHolder(const DisplayCallback* record) {
  lockList();
  DisplayRecord* d = holderOf(record);
  unlockList();
  return d;
}

void storeWord(const QmTagItem& t, int32_t value) {
  if (t.data) *reinterpret_cast<int32_t*>(t.data) = value;
}

bool scaledDrawing(const DisplayRecord* d) {
  return (d->autoscale || d->layerscale) && d->scaleWidth > 0 && d->scaleHeight > 0;
}

// Fills the values of a window copy from a locked bitmap area; false when
// the bitmap cannot be locked.
bool copyValues(const WindowCopyArea& a, intptr_t* v, BitmapLock* lock) {
  if (!a.bitmap || !LockBitmap(a.bitmap, 0, lock)) return false;
  intptr_t values[WINDOWCOPY_VALUES] = {reinterpret_cast<intptr_t>(lock->address),
                                        1,
                                        lock->rowLength * lock->bytesPerPixel,
                                        static_cast<intptr_t>(lock->pixelFormat),
                                        lock->width,
                                        lock->height,
                                        a.sx,
                                        a.sy,
                                        a.dx,
                                        a.dy,
                                        a.width,
                                        a.height,
                                        0,
                                        0};
  std::memcpy(v, values, sizeof values);
  return true;
}

}  // namespace

QmDisplayCallback* AddDisplayCallback(int32_t displayId, QmDisplayCallbackFunc function,
                                      void* userData, const QmTagItem* tags, int32_t callMode) {
  if (VideoRecorderActive() || !function) return nullptr;
  DisplayRecord* d = nullptr;
  if (FindDisplayById(ObjectId{nullptr, displayId}, &d) != ERR_NONE || !d) return nullptr;
  const BGPic* pic = d->bgpic;
  // The callbacks read the window's pixels as plain opaque rectangles.
  // A hardware double buffer and a video show pixels the window bitmap
  // never holds.
  if (!pic || pic->mask || pic->alpha || d->videoBackBuffer || d->adapterDoubleBuffer)
    return nullptr;
  if (DisplayShowsVideo(d, 0, 0)) return nullptr;
  auto* c = static_cast<DisplayCallback*>(AllocMemory(sizeof(DisplayCallback), 1));
  if (!c) return nullptr;
  c->function = function;
  c->userData = userData;
  c->callMode = callMode;
  c->display = d;
  for (const QmTagItem* t = tags; t && t->tag; t++) {
    switch (t->tag) {
      case QM_DCBTAG_WIDTH:
        storeWord(*t, scaledDrawing(d) ? d->scaleWidth : pic->width);
        break;
      case QM_DCBTAG_HEIGHT:
        storeWord(*t, scaledDrawing(d) ? d->scaleHeight : pic->height);
        break;
      case QM_DCBTAG_VWAIT:
        c->wantsVWait = t->data != 0;
        break;
      case QM_DCBTAG_USER:
        c->tag4 = t->data;
        break;
      case QM_DCBTAG_BRACKET:
        c->wantsBracket = t->data != 0;
        break;
      case QM_DCBTAG_UNSCALED:
        c->tag5 = t->data;
        break;
      case QM_DCBTAG_PICWIDTH:
        storeWord(*t, pic->width);
        break;
      case QM_DCBTAG_PICHEIGHT:
        storeWord(*t, pic->height);
        break;
      default:
        break;
    }
  }
  lockList();
  DisplayCallback** link = &d->callbacks;
  while (*link) link = &(*link)->next;
  *link = c;
  unlockList();
  return c;
}

void RemoveDisplayCallback(QmDisplayCallback* record) {
  if (!record) return;
  lockList();
  DisplayRecord* d = holderOf(record);
  if (d) {
    for (DisplayCallback** link = &d->callbacks; *link; link = &(*link)->next) {
      if (*link == record) {
        *link = record->next;
        break;
      }
    }
  }
  unlockList();
  if (d) FreeMemory(record);
}

void FreeDisplayCallbacks(DisplayRecord* d) {
  lockList();
  DisplayCallback* c = d->callbacks;
  d->callbacks = nullptr;
  unlockList();
  while (c) {
    DisplayCallback* next = c->next;
    if (c == servedCallback) servedCallback = nullptr;
    FreeMemory(c);
    c = next;
  }
}

// Calls the first unvisited callback that accept() takes, marking it
// visited first, until none is left; the list is read anew each time.
template <typename Accept, typename Call>
void serveEach(DisplayRecord* d, Accept accept, Call call) {
  for (DisplayCallback* c = d->callbacks; c; c = c->next) c->visited = 0;
  for (;;) {
    DisplayCallback* next = nullptr;
    for (DisplayCallback* c = d->callbacks; c && !next; c = c->next)
      if (!c->visited) next = c;
    if (!next) return;
    next->visited = 1;
    if (servedCallback && next != servedCallback) continue;
    if (next->callMode == CALLMODE_BRIDGED || !accept(next)) continue;
    call(next);
  }
}

void CallDisplayCallbacks(DisplayRecord* d, int32_t message, const intptr_t* values) {
  if (!d || !d->callbacks) return;
  serveEach(
      d, [](DisplayCallback*) { return true; },
      [&](DisplayCallback* c) { c->function(c, message, values, c->userData); });
}

void NotifyDisplayCallbacks(DisplayRecord* d, int32_t x, int32_t y) {
  intptr_t values[2] = {x, y};
  CallDisplayCallbacks(d, QM_DCB_SIZE, values);
}

void NotifyWindowCopy(DisplayRecord* d, const WindowCopyArea& shown,
                      const WindowCopyArea& unscaled) {
  if (!d || !d->callbacks) return;
  intptr_t shownValues[WINDOWCOPY_VALUES], unscaledValues[WINDOWCOPY_VALUES];
  BitmapLock shownLock, unscaledLock;
  bool haveShown = copyValues(shown, shownValues, &shownLock);
  bool haveUnscaled = copyValues(unscaled, unscaledValues, &unscaledLock);
  serveEach(
      d, [&](DisplayCallback* c) { return c->tag5 ? haveUnscaled : haveShown; },
      [&](DisplayCallback* c) {
        c->function(c, QM_DCB_WINDOWCOPY, c->tag5 ? unscaledValues : shownValues, c->userData);
      });
  if (haveShown) UnlockBitmap(&shownLock);
  if (haveUnscaled) UnlockBitmap(&unscaledLock);
}

bool OfferVBlankToCallbacks(DisplayRecord* d, int32_t frame) {
  if (!d || !d->callbacks) return false;
  intptr_t values[1] = {frame};
  bool someLack = false;
  serveEach(
      d,
      [&](DisplayCallback* c) {
        if (!c->wantsVWait) someLack = true;
        return c->wantsVWait != 0;
      },
      [&](DisplayCallback* c) { c->function(c, QM_DCB_VBLANK, values, c->userData); });
  return someLack;
}

void PostDisplayCallbackEvent(QmDisplayCallback* record, int32_t message, const intptr_t* data) {
  static const intptr_t NONE[3] = {};
  const intptr_t* w = data ? data : NONE;
  lockList();
  DisplayRecord* d = holderOf(record);
  if (!d) {
    unlockList();
    return;
  }
  auto i32 = [](intptr_t v) { return static_cast<int32_t>(v); };
  // The list stays locked while the display's input is written and the
  // event posted, so the display cannot be freed meanwhile.
  if (message >= 0 && message <= 4) {
    __atomic_store_n(&d->callbackMouseX, i32(w[0]), __ATOMIC_RELAXED);
    __atomic_store_n(&d->callbackMouseY, i32(w[1]), __ATOMIC_RELAXED);
  }
  switch (message) {
    case 0:
      GetSysTime(&d->callbackCloseTime);
      __atomic_store_n(&d->callbackCloseRequested, 1, __ATOMIC_RELAXED);
      break;
    case 1:
    case 2:
    case 3: {
      static const int32_t TYPES[] = {EVENT_LEFTBUTTON, EVENT_RIGHTBUTTON, EVENT_MIDBUTTON};
      __atomic_store_n(&d->hostButtons[message - 1], w[2] ? 1 : 0, __ATOMIC_RELAXED);
      PostEvent(d, TYPES[message - 1], i32(w[0]), i32(w[1]), w[2] ? 1 : 0, nullptr);
      break;
    }
    case 4:
      PostEvent(d, w[2] ? EVENT_WHEELDOWN : EVENT_WHEELUP, i32(w[0]), i32(w[1]), 0, nullptr);
      break;
    case KEY_EVENT:
    case RAWKEY_EVENT: {
      uintptr_t code = static_cast<uintptr_t>(w[0]);
      if (message == KEY_EVENT)
        __atomic_store_n(&d->callbackQualifiers, static_cast<uint32_t>(w[2]), __ATOMIC_RELAXED);
      // Only codes the tables hold keep a state; the event is posted anyway.
      uint8_t* table = message == KEY_EVENT ? d->keyStates : d->rawKeyStates;
      if (code != 0 && code < KEY_STATE_COUNT)
        __atomic_store_n(&table[code], w[1] ? 1 : 0, __ATOMIC_RELAXED);
      PostEvent(d, message == KEY_EVENT ? EVENT_KEY : EVENT_RAWKEY, w[1] ? 1 : 0, 0, i32(w[0]),
                nullptr);
      break;
    }
    case CHAR_EVENT:
      PostEvent(d, EVENT_CHAR, 0, 0, i32(w[0]), nullptr);
      break;
    case DROP_EVENT: {
      void* list = CopyDropList(reinterpret_cast<const char*>(w[2]));
      if (list && PostEvent(d, EVENT_DROPFILE, i32(w[0]), i32(w[1]), 0, list) != 1)
        FreeMemory(list);
      break;
    }
    default:
      break;
  }
  unlockList();
  WakeEventLoop();
}

ErrorCode ChangeDisplaySizeForCallback(QmDisplayCallback* record, int32_t width, int32_t height,
                                       const QmTagItem* tags) {
  int32_t scaledWidth = 0, scaledHeight = 0;
  for (const QmTagItem* t = tags; t && t->tag; t++) {
    if (t->tag == 1) scaledWidth = static_cast<int32_t>(t->data);
    if (t->tag == 2) scaledHeight = static_cast<int32_t>(t->data);
  }
  DisplayRecord* d = findHolder(record);
  if (!d) {
    SetErrorArgNumber(0);
    return ERR_FINDDISPLAY;
  }
  if (!OnHostEventMainThread()) {
    // The resize redraws the display: the main thread applies it.
    LockMutex(d->mutex);
    d->callbackResizeWidth = width;
    d->callbackResizeHeight = height;
    d->callbackScaledWidth = scaledWidth;
    d->callbackScaledHeight = scaledHeight;
    d->callbackResizePending = 1;
    __atomic_store_n(&d->hostPending, 1, __ATOMIC_RELEASE);
    UnlockMutex(d->mutex);
    WakeEventLoop();
    return ERR_NONE;
  }
  uint32_t flags = RESIZE_NOCALLBACKS;
  if (d->scaleFactorActive) flags |= RESIZE_FACTORUNITS;
  if (d->state != DISPSTATE_OPEN) flags |= RESIZE_CLOSED;
  ErrorCode error = ResizeDisplay(nullptr, d, KEEPPOSITION, KEEPPOSITION, width, height, d->smooth,
                                  scaledWidth, scaledHeight, flags);
  if (error != ERR_NONE) return error;
  PostEvent(d, EVENT_WINDOWSIZE, width, height, 0, nullptr);
  return ERR_NONE;
}

void ApplyPendingCallbackResize(VmState*, DisplayRecord* d) {
  LockMutex(d->mutex);
  int32_t pending = d->callbackResizePending;
  d->callbackResizePending = 0;
  DisplayCallback* any = d->callbacks;
  int32_t width = d->callbackResizeWidth, height = d->callbackResizeHeight;
  int32_t scaledWidth = d->callbackScaledWidth, scaledHeight = d->callbackScaledHeight;
  UnlockMutex(d->mutex);
  if (!pending || !any) return;
  QmTagItem tags[] = {
      {1, static_cast<uintptr_t>(scaledWidth)}, {2, static_cast<uintptr_t>(scaledHeight)}, {0, 0}};
  ChangeDisplaySizeForCallback(any, width, height, tags);
}

int32_t GetDisplayAttrsForPlugin(void* handleOrRecord, const QmTagItem* tags) {
  bool isRecord = false;
  for (const QmTagItem* t = tags; t && t->tag; t++)
    if (t->tag == 10) isRecord = true;
  DisplayRecord* d = isRecord ? findHolder(static_cast<DisplayCallback*>(handleOrRecord))
                              : FindDisplayByHandle(reinterpret_cast<uintptr_t>(handleOrRecord));
  if (!d || !d->bgpic) return -1;
  const BGPic* pic = d->bgpic;
  int32_t answered = 0;
  for (const QmTagItem* t = tags; t && t->tag; t++) {
    int32_t value = 0;
    switch (t->tag) {
      case 1:
        value = d->width;
        break;
      case 2:
        value = d->height;
        break;
      case 3:
        value = pic->bitmap ? pic->bitmap->width : pic->width;
        break;
      case 4:
        value = pic->bitmap ? pic->bitmap->height : pic->height;
        break;
      case 5:
        value = static_cast<int32_t>(AdapterDisplayFlags(d));
        break;
      case 6:
        value = d->scaleWidth;
        break;
      case 7:
        value = d->scaleHeight;
        break;
      case 8:
        value = d->smooth;
        break;
      case 9:
        value = d->handlerRefs[SIZE_HANDLER_SLOT] != VM_REF_NIL;
        break;
      case 10:
        answered++;
        continue;
      case 11:
        if (t->data)
          *reinterpret_cast<double*>(t->data) = d->scaleFactorActive ? d->scaleFactor : 1.0;
        answered++;
        continue;
      default:
        continue;
    }
    storeWord(*t, value);
    answered++;
  }
  return answered;
}

ErrorCode RefreshDisplayByHandle(void* window) {
  DisplayRecord* d = FindDisplayByHandle(reinterpret_cast<uintptr_t>(window));
  if (!d) {
    SetErrorArgNumber(0);
    return ERR_FINDDISPLAY;
  }
  RefreshDisplay(nullptr, d, 2);
  return ERR_NONE;
}

void RefreshDisplayForCallback(QmDisplayCallback* record) {
  DisplayRecord* d = findHolder(record);
  if (!d) return;
  DisplayCallback* saved = servedCallback;
  servedCallback = record;
  RefreshDisplay(nullptr, d, 2);
  servedCallback = saved;
}

int DisplayCallbacksWantRefreshBracket(const DisplayRecord* d) {
  if (!d) return 0;
  lockList();
  int wanted = 0;
  for (const DisplayCallback* c = d->callbacks; c && !wanted; c = c->next) wanted = c->wantsBracket;
  unlockList();
  return wanted;
}
