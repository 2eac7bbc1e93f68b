// Host event injection: the display adapter (or another plug-in) feeds
// window, pointer and keyboard events into the program. Each kind updates
// the input state of the display that the adapter's window handle names
// and posts the event type the X11 pump would post, in the same layout.
//
// Invariants: displays are looked up under the display-list mutex; a
// resize (kind 6) or a shown window (kind 8) that comes from another
// thread is only recorded on the display and applied by the main thread
// before it dispatches, since both redraw the display.
#include <cstring>
#include <thread>

#include "display/adapter_private.h"
#include "display/context_private.h"
#include "display/display.h"
#include "display/event_private.h"
#include "platform/linux/platform.h"

namespace {

constexpr int32_t KEY_RETURN = 274;
constexpr int32_t KEY_ESCAPE = 275;
constexpr uintptr_t CONTROL_QUALIFIERS = 0x80400000u | 0x80800000u;
constexpr uintptr_t ALT_QUALIFIERS = 0x80040000u | 0x80080000u;
// Dropped file lists are walked at most this far (names and terminators).
constexpr size_t DROP_LIST_MAX = 1 << 20;
// A shown or hidden window waiting for the main thread (0: none).
constexpr int32_t HOST_HIDDEN = 1, HOST_SHOWN = 2;

std::thread::id mainThread;

// The platform's quit switches, as the quit commands set them.
bool quitSwitch(int32_t option) { return GetPlatformBitmapAttr(nullptr, option) != 0; }

// The display whose adapter window is handle, looked up under the list's
// mutex (another thread may be freeing displays).
DisplayRecord* findByHandle(uintptr_t handle) {
  if (!handle) return nullptr;
  if (displayContext.displayListMutex) LockMutex(displayContext.displayListMutex);
  DisplayRecord* found = nullptr;
  for (DisplayRecord* d = GetDisplayList(); d && !found;
       d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (d->windowHandle == handle) found = d;
  if (displayContext.displayListMutex) UnlockMutex(displayContext.displayListMutex);
  return found;
}

void storeState(uint8_t* table, uintptr_t code, uintptr_t pressed) {
  if (code < KEY_STATE_COUNT) __atomic_store_n(&table[code], pressed ? 1 : 0, __ATOMIC_RELAXED);
}

ErrorCode postQuit() {
  vmRun.quit = 1;
  return PostEvent(nullptr, EVENT_QUIT, 0, 0, 0, nullptr) == 1 ? ERR_NONE : ERR_ADDSYSEVENT;
}

}  // namespace

// A bounded copy of a list of names ended by an empty name.
void* CopyDropList(const char* list) {
  if (!list) return nullptr;
  size_t length = 0;
  while (length + 1 < DROP_LIST_MAX &&
         !(list[length] == '\0' && (length == 0 || list[length - 1] == '\0')))
    length++;
  // length indexes the terminating empty name (or the walk's bound).
  auto* copy = static_cast<char*>(AllocMemory(length + 2, 1));
  if (!copy) return nullptr;
  std::memcpy(copy, list, length);
  return copy;
}

namespace {

void applyShown(VmState* L, DisplayRecord* d, bool shown) {
  if (shown) {
    d->state = DISPSTATE_OPEN;
    RefreshDisplay(L, d, 0);
  } else {
    d->state = DISPSTATE_MINIMIZED;
  }
}

}  // namespace

void NoteHostEventMainThread() { mainThread = std::this_thread::get_id(); }
bool OnHostEventMainThread() { return std::this_thread::get_id() == mainThread; }

void ApplyPendingHostEvents(VmState* L) {
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next)) {
    if (!__atomic_load_n(&d->hostPending, __ATOMIC_ACQUIRE)) continue;
    LockMutex(d->mutex);
    int32_t resize = d->hostResizePending, width = d->hostResizeWidth, height = d->hostResizeHeight,
            shown = d->hostShownPending;
    d->hostResizePending = 0;
    d->hostShownPending = 0;
    __atomic_store_n(&d->hostPending, 0, __ATOMIC_RELEASE);
    UnlockMutex(d->mutex);
    if (resize && ResizeDisplay(L, d, KEEPPOSITION, KEEPPOSITION, width, height, d->smooth, 0, 0,
                                0) == ERR_NONE)
      PostEvent(d, EVENT_WINDOWSIZE, width, height, 0, nullptr);
    if (shown) applyShown(L, d, shown == HOST_SHOWN);
    ApplyPendingCallbackResize(L, d);
  }
}

ErrorCode PostHostEvent(VmState* L, int32_t kind, const uintptr_t* data) {
  static const uintptr_t NONE[8] = {};
  const uintptr_t* w = data ? data : NONE;
  if (kind == 0) {
    ErrorCode error = postQuit();
    WakeEventLoop();
    return error;
  }
  if (kind == 1) {
    auto* payload = static_cast<uintptr_t*>(AllocMemory(2 * sizeof(uintptr_t), 0));
    if (!payload) return ERR_MEM;
    payload[0] = w[0];
    payload[1] = w[1];
    if (PostEvent(nullptr, EVENT_PLUGIN, 0, 0, 0, payload) != 1) FreeMemory(payload);
    WakeEventLoop();
    return ERR_NONE;
  }
  if (kind == 2) return WakeEventLoop();
  if (kind >= EVENT_FIRSTUSERTYPE) {
    if (PostEvent(findByHandle(w[0]), kind, 0, 0, 0, reinterpret_cast<void*>(w[1])) != 1)
      FreeEventPayload(L, kind, reinterpret_cast<void*>(w[1]));
    WakeEventLoop();
    return ERR_NONE;
  }
  if (kind > 13) return ERR_NONE;

  DisplayRecord* d = findByHandle(w[0]);
  if (!d) {
    // Keys, characters and raw keys of a window that is gone are dropped.
    if (kind == 4 || kind == 10 || kind == 12) return ERR_NONE;
    SetErrorArgNumber(0);
    return ERR_FINDDISPLAY;
  }
  auto i32 = [](uintptr_t v) { return static_cast<int32_t>(v); };
  bool onMain = std::this_thread::get_id() == mainThread;
  switch (kind) {
    case 3: {
      static const int32_t TYPES[] = {0, EVENT_LEFTBUTTON, EVENT_RIGHTBUTTON, EVENT_MIDBUTTON};
      uintptr_t button = w[3];
      if (button < 1 || button > 3) {
        GetSysTime(&d->hostMoveTime);
        __atomic_store_n(&d->hostPointerMoved, 1, __ATOMIC_RELAXED);
        break;
      }
      __atomic_store_n(&d->hostButtons[button - 1], w[4] ? 1 : 0, __ATOMIC_RELAXED);
      PostEvent(d, TYPES[button], i32(w[1]), i32(w[2]), w[4] ? 1 : 0, nullptr);
      if (button == 1 && w[4] && quitSwitch(PLATFORM_QUIT_LMB)) postQuit();
      break;
    }
    case 4: {
      uintptr_t code = w[1], pressed = w[2], qualifiers = w[3];
      storeState(d->keyStates, code, pressed);
      PostEvent(d, EVENT_KEY, pressed ? 1 : 0, 0, i32(code), nullptr);
      if (pressed && code == KEY_ESCAPE && quitSwitch(PLATFORM_QUIT_ESCAPE)) postQuit();
      if (pressed && (code == 'c' || code == 'C') && (qualifiers & CONTROL_QUALIFIERS) &&
          quitSwitch(PLATFORM_QUIT_CTRLC))
        postQuit();
      if (pressed && code == KEY_RETURN && (qualifiers & ALT_QUALIFIERS) &&
          IsDisplayMonitorFree(d) && !(d->flags & DSF_NOMODESWITCH) && d->pump.modeSwitch < 0)
        PostEvent(d, EVENT_MODESWITCH, 0, 0, 0, nullptr);
      break;
    }
    case 5:
      __atomic_store_n(&d->closePending, 1, __ATOMIC_RELEASE);
      PostEvent(d, EVENT_CLOSEWINDOW, 0, 0, 0, nullptr);
      break;
    case 6:
      if (!onMain) {
        LockMutex(d->mutex);
        d->hostResizePending = 1;
        d->hostResizeWidth = i32(w[1]);
        d->hostResizeHeight = i32(w[2]);
        __atomic_store_n(&d->hostPending, 1, __ATOMIC_RELEASE);
        UnlockMutex(d->mutex);
        break;
      }
      {
        ErrorCode error = ResizeDisplay(L, d, KEEPPOSITION, KEEPPOSITION, i32(w[1]), i32(w[2]),
                                        d->smooth, 0, 0, 0);
        if (error != ERR_NONE) return error;
        PostEvent(d, EVENT_WINDOWSIZE, i32(w[1]), i32(w[2]), 0, nullptr);
      }
      break;
    case 7:
      d->x = i32(w[1]);
      d->y = i32(w[2]);
      PostEvent(d, EVENT_MOVEWINDOW, 0, 0, 0, nullptr);
      break;
    case 8:
      PostEvent(d, w[1] ? EVENT_SHOWWINDOW : EVENT_HIDEWINDOW, 0, 0, 0, nullptr);
      if (!onMain) {
        LockMutex(d->mutex);
        d->hostShownPending = w[1] ? HOST_SHOWN : HOST_HIDDEN;
        __atomic_store_n(&d->hostPending, 1, __ATOMIC_RELEASE);
        UnlockMutex(d->mutex);
        break;
      }
      applyShown(L, d, w[1] != 0);
      // A shown window was refreshed instead of waking the wait.
      if (w[1]) return ERR_NONE;
      break;
    case 9:
      __atomic_store_n(&d->hostActive, w[1] ? 1 : 0, __ATOMIC_RELAXED);
      PostEvent(d, w[1] ? EVENT_ACTIVEWINDOW : EVENT_INACTIVEWINDOW, 0, 0, 0, nullptr);
      break;
    case 10:
      PostEvent(d, EVENT_CHAR, 0, 0, i32(w[1]), nullptr);
      break;
    case 11: {
      void* list = CopyDropList(reinterpret_cast<const char*>(w[3]));
      if (!list) return ERR_MEM;
      if (PostEvent(d, EVENT_DROPFILE, i32(w[1]), i32(w[2]), 0, list) != 1) FreeMemory(list);
      break;
    }
    case 12:
      storeState(d->rawKeyStates, w[1], w[2]);
      PostEvent(d, EVENT_RAWKEY, w[2] ? 1 : 0, 0, i32(w[1]), nullptr);
      break;
    case 13:
      PostEvent(d, static_cast<intptr_t>(w[2]) >= 1 ? EVENT_WHEELUP : EVENT_WHEELDOWN, 0, 0, 0,
                nullptr);
      break;
    default:
      return ERR_NONE;
  }
  WakeEventLoop();
  return ERR_NONE;
}
