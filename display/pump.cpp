// The event pump's display half: the sink that acts on the platform's
// neutral X11 events (key states, queued program events, window positions
// and states, the start of border drags and the pointer shape over border
// regions), and the pass that reads them and then carries out what they
// asked for (refresh, mode switch, resize, stop).
// Invariants: main thread only; the per-pass findings of a display are
// cleared before its events are read and acted on after every connection
// has been read, so one pass refreshes, switches and resizes each display
// at most once.
#include <cstring>

#include "display/adapter_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "platform/linux/platform.h"

namespace {

// The platform's quit switches, as the quit commands set them.
bool quitSwitch(int32_t option) { return GetPlatformBitmapAttr(nullptr, option) != 0; }

constexpr int32_t KEY_RETURN = 274;  // the translated code of Return
constexpr int32_t KEY_ESCAPE = 275;

DisplayRecord* next(DisplayRecord* d) { return reinterpret_cast<DisplayRecord*>(d->head.next); }

void setKeyState(DisplayRecord* d, int32_t code, bool raw, int pressed) {
  // The display's key-state tables hold the characters and the named keys.
  if (code < 0 || code >= static_cast<int32_t>(KEY_STATE_COUNT)) return;
  (raw ? d->rawKeyStates : d->keyStates)[code] = pressed ? 1 : 0;
}

void onKey(DisplayRecord* d, const X11Event* e) {
  int pressed = e->pressed;
  if (e->modifierCode >= 0) {
    setKeyState(d, e->modifierCode, true, pressed);
    PostEvent(d, EVENT_RAWKEY, pressed, 0, e->modifierCode, nullptr);
    return;
  }
  if (e->rawCode >= 0) {
    setKeyState(d, e->rawCode, true, pressed);
    PostEvent(d, EVENT_RAWKEY, pressed, 0, e->rawCode, nullptr);
  }
  if (e->translated >= 0) {
    // Alt+Return switches between a window and full screen.
    if (!pressed && e->translated == KEY_RETURN && e->altHeld && IsDisplayMonitorFree(d) &&
        !(d->flags & DSF_NOMODESWITCH) && !RequesterIsOpen())
      d->pump.modeSwitch = d->fullscreen ? 0 : 1;
    if (e->letterC && e->controlHeld && quitSwitch(PLATFORM_QUIT_CTRLC)) d->pump.quitRequested = 1;
    // Escape stops the run wherever it falls in the events of one pass, not
    // only as the pass's last key.
    if (e->translated == KEY_ESCAPE && quitSwitch(PLATFORM_QUIT_ESCAPE)) d->pump.quitRequested = 1;
    setKeyState(d, e->translated, false, pressed);
    PostEvent(d, EVENT_KEY, pressed, 0, e->translated, nullptr);
  }
  for (int32_t i = 0; i < e->charCount; ++i)
    PostEvent(d, EVENT_CHAR, 0, 0, static_cast<int32_t>(e->chars[i]), nullptr);
}

bool inRegion(const DisplayRegion& g, int32_t x, int32_t y) {
  return x >= g.x && y >= g.y && x < g.x + g.width && y < g.y + g.height;
}

// A left press on a borderless window's size or drag region starts a border
// drag instead of reaching the script.
bool startBorderDrag(DisplayRecord* d, const X11Event* e) {
  if (!(d->flags & DSF_BORDERLESS) || !e->pressed || e->button != 1) return false;
  if (d->flags & DSF_SIZEABLE) {
    for (int32_t i = 0; i < d->sizeCount; ++i) {
      if (!inRegion(d->sizeRegions[i], e->x, e->y)) continue;
      int32_t ox = 0, oy = 0;
      int32_t zone = HitTestWindowBorder(d, &d->sizeRegions[i], e->x, e->y, &ox, &oy);
      StartX11SizeDrag(e->window, e->rootX, e->rootY, zone, ox, oy, d->x, d->y, d->x + d->width - 1,
                       d->y + d->height - 1);
      d->pump.sizePending = 1;
      d->pump.pendingWidth = d->width;
      d->pump.pendingHeight = d->height;
      return true;
    }
  }
  if (!(d->flags & DSF_FIXED)) {
    for (int32_t i = 0; i < d->dragCount; ++i) {
      if (!inRegion(d->dragRegions[i], e->x, e->y)) continue;
      StartX11MoveDrag(e->window, e->rootX, e->rootY, d->x, d->y);
      return true;
    }
  }
  return false;
}

void onButton(DisplayRecord* d, const X11Event* e) {
  if (startBorderDrag(d, e)) return;
  switch (e->button) {
    case 1:
      PostEvent(d, EVENT_LEFTBUTTON, e->x, e->y, e->pressed, nullptr);
      break;
    case 2:
      PostEvent(d, EVENT_MIDBUTTON, e->x, e->y, e->pressed, nullptr);
      break;
    case 3:
      PostEvent(d, EVENT_RIGHTBUTTON, e->x, e->y, e->pressed, nullptr);
      break;
    case 4:
      if (e->pressed) PostEvent(d, EVENT_WHEELUP, e->x, e->y, 0, nullptr);
      break;
    case 5:
      if (e->pressed) PostEvent(d, EVENT_WHEELDOWN, e->x, e->y, 0, nullptr);
      break;
    default:
      break;
  }
}

// The pointer over a borderless window's size or drag region shows what a
// press there would do.
void onHover(DisplayRecord* d, const X11Event* e) {
  if (!(d->flags & DSF_BORDERLESS)) return;
  if (d->flags & DSF_SIZEABLE) {
    for (int32_t i = 0; i < d->sizeCount; ++i) {
      if (!inRegion(d->sizeRegions[i], e->x, e->y)) continue;
      int32_t ox, oy;
      ShowX11BorderCursor(e->window,
                          HitTestWindowBorder(d, &d->sizeRegions[i], e->x, e->y, &ox, &oy));
      return;
    }
  }
  if (!(d->flags & DSF_FIXED)) {
    for (int32_t i = 0; i < d->dragCount; ++i) {
      if (!inRegion(d->dragRegions[i], e->x, e->y)) continue;
      ShowX11BorderCursor(e->window, X11_BORDER_MOVE);
      return;
    }
  }
  ShowX11BorderCursor(e->window, X11_BORDER_NONE);
}

void onEvent(const X11Event* e) {
  DisplayRecord* d = e->display;
  switch (e->kind) {
    case X11EV_KEY:
      onKey(d, e);
      break;
    case X11EV_BUTTON:
      onButton(d, e);
      break;
    case X11EV_HOVER:
      onHover(d, e);
      break;
    case X11EV_DRAGEND:
      if (e->moved) d->pump.refreshNeeded = 1;
      break;
    case X11EV_FOCUS:
      if (e->pressed) {
        PostEvent(d, EVENT_ACTIVEWINDOW, 0, 0, 0, nullptr);
      } else {
        std::memset(d->keyStates, 0, sizeof d->keyStates);
        std::memset(d->rawKeyStates, 0, sizeof d->rawKeyStates);
        PostEvent(d, EVENT_INACTIVEWINDOW, 0, 0, 0, nullptr);
      }
      break;
    case X11EV_EXPOSE:
      // While the user sizes the window, exposed parts are cleared; the
      // picture comes back with the resize after the button is let go.
      if (d->pump.sizePending && e->leftHeld) {
        FillX11Rect(X11WindowOf(d), e->x - d->marginLeft, e->y - d->marginTop, e->width, e->height,
                    0);
      } else {
        d->pump.refreshNeeded = 1;
      }
      break;
    case X11EV_UNMAP:
      d->state = DISPSTATE_MINIMIZED;
      PostEvent(d, EVENT_HIDEWINDOW, 0, 0, 0, nullptr);
      break;
    case X11EV_MAP:
      d->state = DISPSTATE_OPEN;
      PostEvent(d, EVENT_SHOWWINDOW, 0, 0, 0, nullptr);
      break;
    case X11EV_CONFIGURE: {
      d->x = e->x;
      d->y = e->y;
      bool sameSize = e->width == d->width && e->height == d->height;
      if (!d->pump.sizePending) {
        if (sameSize) {
          PostEvent(d, EVENT_MOVEWINDOW, 0, 0, 0, nullptr);
        } else {
          d->pump.sizePending = 1;
        }
      }
      d->pump.pendingWidth = e->width;
      d->pump.pendingHeight = e->height;
      break;
    }
    case X11EV_CLOSE:
      // The poll decides what an unhandled close request means.
      __atomic_store_n(&d->closePending, 1, __ATOMIC_RELEASE);
      PostEvent(d, EVENT_CLOSEWINDOW, 0, 0, 0, nullptr);
      break;
    case X11EV_DROP:
      // The dropped names go to the script's handler with the event; a
      // list that was not queued is freed here.
      if (e->dropList && PostEvent(d, EVENT_DROPFILE, e->x, e->y, 0, e->dropList) != 1)
        FreeMemory(e->dropList);
      break;
    case X11EV_CLIPBOARD:
      if (DisplayHasEventHandler(d, EVENT_CLIPBOARD))
        PostEvent(d, EVENT_CLIPBOARD, 0, 0, 0, nullptr);
      break;
    default:
      break;
  }
}

DisplayRecord* findWindow(X11ConnectionRecord* c, unsigned long window, X11DisplayRecord** record) {
  for (DisplayRecord* d = GetDisplayList(); d; d = next(d)) {
    if (d->x11 && X11RecordShowsWindow(d->x11, c, window)) {
      *record = d->x11;
      return d;
    }
  }
  return nullptr;
}

int acceptsDrops(DisplayRecord* d) { return DisplayHasEventHandler(d, EVENT_DROPFILE) ? 1 : 0; }

}  // namespace

void InstallEventSink() {
  SetX11EventSink(findWindow, onEvent);
  SetX11DropQuery(acceptsDrops);
}

int RunX11EventPump(VmState* L, ErrorCode* error) {
  if (error) *error = ERR_NONE;
  X11ConnectionRecord* moved = ReadX11PointerWake();
  if (moved) {
    for (DisplayRecord* d = GetDisplayList(); d; d = next(d))
      if (d->x11 && NoteX11PointerWake(d->x11, moved, d->x, d->y)) break;
  }
  PollJoysticksAndAudio(L);
  for (DisplayRecord* d = GetDisplayList(); d; d = next(d)) {
    if (!d->x11) continue;
    d->pump.modeSwitch = -1;
    d->pump.refreshNeeded = 0;
    d->pump.quitRequested = 0;
  }
  ReadX11Events();
  int stop = 0;
  for (DisplayRecord* d = GetDisplayList(); d; d = next(d))
    if (d->pump.quitRequested) stop = 1;
  for (DisplayRecord* d = GetDisplayList(); d; d = next(d)) {
    if (!d->x11 || !GetX11WindowId(d->x11)) continue;
    if (d->pump.refreshNeeded) {
      RefreshDisplay(L, d, REFRESH_SCALE);
      d->pump.refreshNeeded = 0;
    }
    if (quitSwitch(PLATFORM_QUIT_LMB) && X11LeftButtonDown(d->x11)) stop = 1;
    if (d->pump.modeSwitch >= 0) {
      d->mode = d->pump.modeSwitch == 1 ? DISPMODE_FULLSCREEN : DISPMODE_WINDOWED;
      ErrorCode e = OpenDisplayWindow(L, d, OPEN_CHOOSEMONITOR | OPEN_MODECHANGE);
      if (e != ERR_NONE) {
        if (error) *error = e;
        return 1;
      }
      PostEvent(d, EVENT_MODESWITCH, 0, 0, 0, nullptr);
      if (!d->x11) continue;
    }
    if (d->pump.sizePending && !IsX11LeftButtonHeld(d->x11)) {
      PostEvent(d, EVENT_WINDOWSIZE, 0, 0, 0, nullptr);
      d->pump.sizePending = 0;
      ErrorCode e =
          ResizeDisplay(L, d, KEEPPOSITION, KEEPPOSITION, d->pump.pendingWidth,
                        d->pump.pendingHeight, (d->flags & DSF_SMOOTHSCALE) ? 1 : 0, 0, 0, 0);
      if (e != ERR_NONE) {
        if (error) *error = e;
        return 1;
      }
    }
  }
  if (stop) {
    vmRun.quit = 1;
    return 1;
  }
  return vmRun.quit ? 1 : 0;
}

int32_t HitTestWindowBorder(const DisplayRecord* display, const DisplayRegion* region, int32_t x,
                            int32_t y, int32_t* offsetX, int32_t* offsetY) {
  int32_t l = region->x, t = region->y;
  int32_t r = l + region->width - 1, b = t + region->height - 1;
  int32_t w = display->width, h = display->height;
  int32_t zone = 3;
  if (b >= 0 && t <= 9 && r >= 0 && l <= 9) {
    zone = 0;
  } else if (b >= h - 10 && t < h && r >= 0 && l <= 10) {
    zone = 1;
  } else if (b >= 0 && t <= 9 && r >= w - 10 && l < w) {
    zone = 2;
  } else if (b >= h - 10 && t < h && r >= w - 10 && l < w) {
    zone = 3;
  } else if (b >= 0 && t < h && r >= 0 && l <= 9) {
    zone = 4;
  } else if (b >= 0 && t < h && r >= w - 10 && l < w) {
    zone = 5;
  } else if (b >= 0 && t <= 9 && r >= 0 && l < w) {
    zone = 6;
  } else if (b >= h - 10 && t < h && r >= 0 && l < w) {
    zone = 7;
  }
  int32_t ox = (zone == 0 || zone == 1 || zone == 4)   ? x
               : (zone == 2 || zone == 3 || zone == 5) ? r - x
                                                       : 0;
  int32_t oy = (zone == 0 || zone == 2 || zone == 6)   ? y
               : (zone == 1 || zone == 3 || zone == 7) ? b - y
                                                       : 0;
  if (offsetX) *offsetX = ox;
  if (offsetY) *offsetY = oy;
  return zone;
}

uint32_t GetKeyQualifiers(const DisplayRecord* display) {
  return GetX11KeyQualifiers(display ? display->x11 : nullptr);
}

int TakePointerMoved(DisplayRecord* display, int32_t* x, int32_t* y) {
  return display ? TakeX11PointerMoved(display->x11, x, y) : 0;
}

void QueryDisplayPointer(DisplayRecord* display, int32_t* x, int32_t* y) {
  if (!QueryX11Pointer(display ? display->x11 : nullptr, x, y)) *x = *y = 0;
}

int IsDisplayButtonHeld(DisplayRecord* display, int32_t index) {
  return X11ButtonHeld(display ? display->x11 : nullptr, index);
}
