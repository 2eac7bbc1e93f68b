// The X11 event pump: one pass turns the wake messages and the pending X
// events of every connection into queued program events, handles window
// dragging and sizing of borderless windows itself, and then carries out
// what the events asked for (refresh, mode switch, resize, stop).
// Invariants: runs on the main thread only; a pass reads X events for at
// most 50 ms and leaves the rest flagged for the next pass, so events keep
// their order; events for windows of no display are dropped.
#include <cstring>
#include <unordered_map>

#include <X11/Xutil.h>
#include <X11/keysym.h>

#include "display/display.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/x11calls_private.h"

namespace {

constexpr int64_t PASS_BUDGET_US = 50000;  // X events read per pass before yielding

// Pump state of a display that its records have no field for.
struct PumpState {
  int32_t left = 0, right = 0, middle = 0;
  int32_t pointerMoved = 0;
  int32_t pointerX = 0, pointerY = 0;
  TimeValue lastMotion = {0, 0};
  int32_t active = 0;
};
std::unordered_map<const X11DisplayRecord*, PumpState> pumpStates;

PumpState& stateOf(const X11DisplayRecord* r) { return pumpStates[r]; }

// Modifier flags of the X11 record: Control, Alt, Shift, Super; left, right.
enum : int {
  MOD_LCONTROL = 0,
  MOD_RCONTROL,
  MOD_LALT,
  MOD_RALT,
  MOD_LSHIFT,
  MOD_RSHIFT,
  MOD_LSUPER,
  MOD_RSUPER
};

struct ModifierKey {
  KeySym sym;
  int32_t code;
  int flag;
};
constexpr ModifierKey MODIFIER_KEYS[] = {
    {XK_Shift_L, 306, MOD_LSHIFT},
    {XK_Shift_R, 307, MOD_RSHIFT},
    {XK_Alt_L, 308, MOD_LALT},
    {XK_Alt_R, 309, MOD_RALT},
    {XK_ISO_Level3_Shift, 309, MOD_RALT},
    {XK_Super_L, 310, MOD_LSUPER},
    {XK_Super_R, 311, MOD_RSUPER},
    {XK_Control_L, 312, MOD_LCONTROL},
    {XK_Control_R, 313, MOD_RCONTROL},
};

// Keys with a row of their own: translated code, raw code (0: the same),
// whether they type characters.
struct KeyRow {
  KeySym sym;
  int32_t translated, raw;
  bool types;
};
constexpr KeyRow KEY_ROWS[] = {
    {XK_BackSpace, 271, 0, false},   {XK_Tab, 272, 0, false},
    {XK_Return, 274, 0, false},      {XK_KP_Enter, 273, 0, false},
    {XK_Escape, 275, 0, false},      {XK_Delete, 277, 0, false},
    {XK_Up, 256, 0, false},          {XK_Down, 257, 0, false},
    {XK_Right, 258, 0, false},       {XK_Left, 259, 0, false},
    {XK_Help, 260, 0, false},        {XK_F1, 261, 0, false},
    {XK_F2, 262, 0, false},          {XK_F3, 263, 0, false},
    {XK_F4, 264, 0, false},          {XK_F5, 265, 0, false},
    {XK_F6, 266, 0, false},          {XK_F7, 267, 0, false},
    {XK_F8, 268, 0, false},          {XK_F9, 269, 0, false},
    {XK_F10, 270, 0, false},         {XK_F11, 278, 0, false},
    {XK_F12, 279, 0, false},         {XK_Insert, 280, 0, false},
    {XK_Begin, 281, 0, false},       {XK_End, 282, 0, false},
    {XK_Prior, 283, 0, false},       {XK_Next, 284, 0, false},
    {XK_Print, 285, 0, false},       {XK_Pause, 286, 0, false},
    {XK_F13, 287, 0, false},         {XK_F14, 288, 0, false},
    {XK_F15, 289, 0, false},         {XK_F16, 290, 0, false},
    {XK_KP_0, 48, 291, true},        {XK_KP_1, 49, 292, true},
    {XK_KP_2, 50, 293, true},        {XK_KP_3, 51, 294, true},
    {XK_KP_4, 52, 295, true},        {XK_KP_5, 53, 296, true},
    {XK_KP_6, 54, 297, true},        {XK_KP_7, 55, 298, true},
    {XK_KP_8, 56, 299, true},        {XK_KP_9, 57, 300, true},
    {XK_KP_Multiply, 42, 301, true}, {XK_KP_Add, 43, 302, true},
    {XK_KP_Subtract, 45, 303, true}, {XK_KP_Separator, 44, 304, true},
    {XK_KP_Divide, 47, 305, true},   {XK_space, 276, 276, true},
};

const KeyRow* findRow(KeySym sym) {
  for (const KeyRow& r : KEY_ROWS)
    if (r.sym == sym) return &r;
  return nullptr;
}

// Per-display flags the pass works with.
struct PassFlags {
  int32_t stop = 0;
};

// Waiting for the player's settings: quitting on Escape, on a left click or
// on Ctrl+C is off until the options that switch it on exist.
constexpr int QUIT_ON_ESCAPE = 0;
constexpr int QUIT_ON_LEFTMOUSE = 0;
constexpr int QUIT_ON_CTRLC = 0;
// Waiting for the requester library: no requester is ever open on a display.
constexpr int REQUESTER_OPEN = 0;

int64_t elapsedMicros(const TimeValue& start) {
  TimeValue now;
  GetSysTime(&now);
  return (static_cast<int64_t>(now.seconds) - start.seconds) * 1000000 +
         (static_cast<int64_t>(now.micros) - start.micros);
}

void setKeyState(DisplayRecord* d, int32_t code, bool raw, int pressed) {
  // The display's key-state tables end at 255; named keys are not kept.
  if (code < 0 || code > 255) return;
  (raw ? d->rawKeyStates : d->keyStates)[code] = pressed ? 1 : 0;
}

void handleKey(DisplayRecord* d, X11DisplayRecord* r, XKeyEvent* ev, PassFlags* pass) {
  int pressed = ev->type == KeyPress;
  char buffer[10];
  KeySym sym = 0;
  XLookupString(ev, buffer, sizeof buffer, &sym, nullptr);
  for (const ModifierKey& m : MODIFIER_KEYS) {
    if (m.sym != sym) continue;
    r->modifiers[m.flag] = static_cast<uint8_t>(pressed);
    setKeyState(d, m.code, true, pressed);
    PostEvent(d, EVENT_RAWKEY, pressed, 0, m.code, nullptr);
    return;
  }
  const KeyRow* row = findRow(sym);
  int32_t rawCode = -1, translated = -1;
  if (row) {
    translated = row->translated;
    rawCode = row->raw ? row->raw : row->translated;
  } else if (sym <= 0xff) {
    translated = static_cast<int32_t>(sym);
    KeySym base = XLookupKeysym(ev, 0);
    if (base >= 'a' && base <= 'z') base = base - 'a' + 'A';
    if ((base >= 'A' && base <= 'Z') || (base >= '0' && base <= '9'))
      rawCode = static_cast<int32_t>(base);
  }
  if (rawCode >= 0) {
    setKeyState(d, rawCode, true, pressed);
    PostEvent(d, EVENT_RAWKEY, pressed, 0, rawCode, nullptr);
  }
  if (translated >= 0) {
    bool alt = r->modifiers[MOD_LALT] || r->modifiers[MOD_RALT];
    bool control = r->modifiers[MOD_LCONTROL] || r->modifiers[MOD_RCONTROL];
    if (!pressed && translated == 274 && alt && IsDisplayMonitorFree(d) &&
        !(d->flags & DSF_NOMODESWITCH) && !REQUESTER_OPEN)
      r->modeSwitch = d->fullscreen ? 0 : 1;
    if (sym == 'c' && control && QUIT_ON_CTRLC) pass->stop = 1;
    r->lastKeyCode = translated;
    setKeyState(d, translated, false, pressed);
    PostEvent(d, EVENT_KEY, pressed, 0, translated, nullptr);
  }
  if (!pressed || (row && !row->types) || (!row && sym > 0xff) || !X11InputContext(r)) return;
  if (row && row->translated == 276) {
    PostEvent(d, EVENT_CHAR, 0, 0, 32, nullptr);
    return;
  }
  if (XFilterEvent(reinterpret_cast<XEvent*>(ev), None)) return;
  wchar_t text[16];
  Status status = 0;
  int n = XwcLookupString(r->inputContext, ev, text, 16, nullptr, &status);
  if (status != XLookupChars && status != XLookupBoth) return;
  for (int i = 0; i < n && i < 16; ++i)
    if (static_cast<uint32_t>(text[i]) >= 32)
      PostEvent(d, EVENT_CHAR, 0, 0, static_cast<int32_t>(text[i]), nullptr);
}

bool inRegion(const DisplayRegion& g, int32_t x, int32_t y) {
  return x >= g.x && y >= g.y && x < g.x + g.width && y < g.y + g.height;
}

void handleButton(DisplayRecord* d, X11DisplayRecord* r, XButtonEvent* ev) {
  int pressed = ev->type == ButtonPress;
  PumpState& s = stateOf(r);
  if (!r->inputGrabbed) {
    if (pressed) {
      XGrabPointer(r->display, r->window, False,
                   ButtonPressMask | ButtonReleaseMask | PointerMotionMask | ButtonMotionMask,
                   GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
    } else {
      XUngrabPointer(r->display, CurrentTime);
    }
  }
  int32_t x = ev->x, y = ev->y;
  if (!pressed && (r->moveDrag || r->sizeDrag)) {
    if (r->moveDrag) r->refreshNeeded = 1;
    r->moveDrag = r->sizeDrag = 0;
    return;
  }
  if (pressed && (r->moveDrag || r->sizeDrag)) return;
  if ((d->flags & DSF_BORDERLESS) && pressed && ev->button == Button1) {
    r->dragRootX = ev->x_root;
    r->dragRootY = ev->y_root;
    if (d->flags & DSF_SIZEABLE) {
      for (int32_t i = 0; i < d->sizeCount; ++i) {
        if (!inRegion(d->sizeRegions[i], x, y)) continue;
        int32_t ox = 0, oy = 0;
        r->sizeZone = HitTestWindowBorder(d, &d->sizeRegions[i], x, y, &ox, &oy);
        r->sizeDrag = 1;
        r->grabOffsetX = ox;
        r->grabOffsetY = oy;
        r->sizeStartLeft = d->x;
        r->sizeStartTop = d->y;
        r->sizeStartRight = d->x + d->width - 1;
        r->sizeStartBottom = d->y + d->height - 1;
        r->sizePending = 1;
        r->pendingWidth = d->width;
        r->pendingHeight = d->height;
        return;
      }
    }
    if (!(d->flags & DSF_FIXED)) {
      for (int32_t i = 0; i < d->dragCount; ++i) {
        if (!inRegion(d->dragRegions[i], x, y)) continue;
        r->moveDrag = 1;
        r->moveStartX = d->x;
        r->moveStartY = d->y;
        return;
      }
    }
  }
  switch (ev->button) {
    case Button1:
      s.left = pressed;
      PostEvent(d, EVENT_LEFTBUTTON, x, y, pressed, nullptr);
      break;
    case Button2:
      s.middle = pressed;
      PostEvent(d, EVENT_MIDBUTTON, x, y, pressed, nullptr);
      break;
    case Button3:
      s.right = pressed;
      PostEvent(d, EVENT_RIGHTBUTTON, x, y, pressed, nullptr);
      break;
    case Button4:
      if (pressed) PostEvent(d, EVENT_WHEELUP, x, y, 0, nullptr);
      break;
    case Button5:
      if (pressed) PostEvent(d, EVENT_WHEELDOWN, x, y, 0, nullptr);
      break;
    default:
      break;
  }
}

void handleMotion(DisplayRecord* d, X11DisplayRecord* r, XMotionEvent* ev) {
  PumpState& s = stateOf(r);
  GetSysTime(&s.lastMotion);
  s.pointerMoved = 1;
  s.pointerX = ev->x;
  s.pointerY = ev->y;
  X11ConnectionRecord* c = r->connection;
  if (!r->moveDrag && !r->sizeDrag) {
    if (!(d->flags & DSF_BORDERLESS) || !c) return;
    int32_t hovered = c->borderHoverCursor;
    c->borderHoverCursor = 0;
    if (d->flags & DSF_SIZEABLE) {
      for (int32_t i = 0; i < d->sizeCount; ++i) {
        if (!inRegion(d->sizeRegions[i], ev->x, ev->y)) continue;
        int32_t ox, oy;
        int32_t zone = HitTestWindowBorder(d, &d->sizeRegions[i], ev->x, ev->y, &ox, &oy);
        if (c->resizeCursors[zone]) XDefineCursor(r->display, r->window, c->resizeCursors[zone]);
        c->borderHoverCursor = 1;
        return;
      }
    }
    if (!(d->flags & DSF_FIXED)) {
      for (int32_t i = 0; i < d->dragCount; ++i) {
        if (!inRegion(d->dragRegions[i], ev->x, ev->y)) continue;
        if (c->moveCursor) XDefineCursor(r->display, r->window, c->moveCursor);
        c->borderHoverCursor = 1;
        return;
      }
    }
    if (hovered) XDefineCursor(r->display, r->window, r->currentCursor);
    return;
  }
  // Only the newest pointer position matters during a drag.
  XEvent discarded;
  while (XCheckTypedEvent(r->display, MotionNotify, &discarded)) {
  }
  Window root, child;
  int rx = 0, ry = 0, wx, wy;
  unsigned int mask;
  XQueryPointer(r->display, r->window, &root, &child, &rx, &ry, &wx, &wy, &mask);
  if (r->moveDrag) {
    XMoveWindow(r->display, r->window, rx + r->moveStartX - r->dragRootX,
                ry + r->moveStartY - r->dragRootY);
    return;
  }
  int32_t left = r->sizeStartLeft, top = r->sizeStartTop;
  int32_t right = r->sizeStartRight, bottom = r->sizeStartBottom;
  int32_t zone = r->sizeZone;
  if (zone == 0 || zone == 1 || zone == 4) left = rx - r->grabOffsetX;
  if (zone == 2 || zone == 3 || zone == 5) right = rx + r->grabOffsetX;
  if (zone == 0 || zone == 2 || zone == 6) top = ry - r->grabOffsetY;
  if (zone == 1 || zone == 3 || zone == 7) bottom = ry + r->grabOffsetY;
  if (left > right) std::swap(left, right);
  if (top > bottom) std::swap(top, bottom);
  int32_t width = right - left + 1, height = bottom - top + 1;
  XMoveResizeWindow(r->display, r->window, left, top, static_cast<unsigned>(width < 1 ? 1 : width),
                    static_cast<unsigned>(height < 1 ? 1 : height));
}

void handleEvent(DisplayRecord* d, X11DisplayRecord* r, XEvent* ev, PassFlags* pass) {
  PumpState& s = stateOf(r);
  switch (ev->type) {
    case KeyPress:
    case KeyRelease:
      handleKey(d, r, &ev->xkey, pass);
      break;
    case ButtonPress:
    case ButtonRelease:
      handleButton(d, r, &ev->xbutton);
      break;
    case MotionNotify:
      handleMotion(d, r, &ev->xmotion);
      break;
    case FocusIn:
    case FocusOut:
      if (r->inputContext) {
        if (ev->type == FocusIn) {
          XSetICFocus(r->inputContext);
        } else {
          XUnsetICFocus(r->inputContext);
        }
      }
      if (ev->xfocus.mode != NotifyNormal) break;
      if (ev->type == FocusIn) {
        s.active = 1;
        PostEvent(d, EVENT_ACTIVEWINDOW, 0, 0, 0, nullptr);
      } else {
        s.active = 0;
        std::memset(d->keyStates, 0, sizeof d->keyStates);
        std::memset(d->rawKeyStates, 0, sizeof d->rawKeyStates);
        PostEvent(d, EVENT_INACTIVEWINDOW, 0, 0, 0, nullptr);
      }
      break;
    case Expose:
      if (ev->xexpose.count != 0) break;
      if (r->sizePending && s.left) {
        FillX11Rect(d, ev->xexpose.x - d->marginLeft, ev->xexpose.y - d->marginTop,
                    ev->xexpose.width, ev->xexpose.height, 0);
      } else {
        r->refreshNeeded = 1;
      }
      break;
    case UnmapNotify:
      d->state = DISPSTATE_MINIMIZED;
      PostEvent(d, EVENT_HIDEWINDOW, 0, 0, 0, nullptr);
      break;
    case MapNotify:
      d->state = DISPSTATE_OPEN;
      PostEvent(d, EVENT_SHOWWINDOW, 0, 0, 0, nullptr);
      break;
    case ConfigureNotify: {
      X11ConnectionRecord* c = r->connection;
      d->x = ev->xconfigure.x - (c ? c->frameLeft : 0);
      d->y = ev->xconfigure.y - (c ? c->frameTop : 0);
      bool sameSize = ev->xconfigure.width == d->width && ev->xconfigure.height == d->height;
      if (!r->sizePending) {
        if (sameSize) {
          PostEvent(d, EVENT_MOVEWINDOW, 0, 0, 0, nullptr);
        } else {
          r->sizePending = 1;
        }
      }
      r->pendingWidth = ev->xconfigure.width;
      r->pendingHeight = ev->xconfigure.height;
      break;
    }
    case ClientMessage:
      // Clipboard and drag-and-drop messages wait for the clipboard library.
      if (ev->xclient.format == 32 &&
          static_cast<Atom>(ev->xclient.data.l[0]) == r->wmDeleteWindow && r->wmDeleteWindow) {
        r->closeRequested = 1;
        PostEvent(d, EVENT_CLOSEWINDOW, 0, 0, 0, nullptr);
      }
      break;
    default:
      // Selections, property changes of transfers and the XFixes clipboard
      // notice wait for the clipboard library.
      break;
  }
}

DisplayRecord* displayOfWindow(X11ConnectionRecord* c, Window w) {
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (d->x11 && d->x11->window == w && d->x11->display == c->display) return d;
  return nullptr;
}

DisplayRecord* next(DisplayRecord* d) { return reinterpret_cast<DisplayRecord*>(d->head.next); }

// Drops the pump state of X11 records that no display holds any more, so a
// record made later at the same address starts clean.
void forgetGoneDisplays() {
  size_t live = 0;
  for (DisplayRecord* d = GetDisplayList(); d; d = next(d))
    if (d->x11) ++live;
  if (pumpStates.size() <= live) return;
  for (auto it = pumpStates.begin(); it != pumpStates.end();) {
    bool held = false;
    for (DisplayRecord* d = GetDisplayList(); d && !held; d = next(d)) held = d->x11 == it->first;
    it = held ? std::next(it) : pumpStates.erase(it);
  }
}

}  // namespace

int PollJoysticksAndAudio(VmState*) {
  // Waiting for the audio library: no channel time-outs to check yet.
  PollJoysticks();
  return 0;
}

int RunX11EventPump(VmState* L, ErrorCode* error) {
  if (error) *error = ERR_NONE;
  X11ConnectionRecord* moved = nullptr;
  uint32_t kinds = ReadWakeMessages(&moved);
  if ((kinds & (1u << WAKE_POINTER)) && moved) {
    for (DisplayRecord* d = GetDisplayList(); d; d = next(d)) {
      if (!d->x11 || d->x11->connection != moved) continue;
      PumpState& s = stateOf(d->x11);
      if (!s.active) continue;
      GetSysTime(&s.lastMotion);
      s.pointerMoved = 1;
      s.pointerX = moved->lastPointerX.load() - d->x;
      s.pointerY = moved->lastPointerY.load() - d->y;
      break;
    }
  }
  PollJoysticksAndAudio(L);
  forgetGoneDisplays();
  for (DisplayRecord* d = GetDisplayList(); d; d = next(d)) {
    if (!d->x11) continue;
    d->x11->closeRequested = 0;
    d->x11->lastKeyCode = -1;
    d->x11->modeSwitch = -1;
    d->x11->refreshNeeded = 0;
  }
  // Waiting for the video library: no display has pending frames to apply.
  TimeValue start;
  GetSysTime(&start);
  PassFlags pass;
  for (X11ConnectionRecord* c = GetX11ConnectionList(); c; c = c->next) {
    if (c->lost.load() || !c->display) continue;
    while (XPending(c->display) > 0) {
      if (elapsedMicros(start) > PASS_BUDGET_US) {
        SetX11EventsPending(1);
        break;
      }
      XEvent ev;
      XNextEvent(c->display, &ev);
      DisplayRecord* d = displayOfWindow(c, ev.xany.window);
      if (d) handleEvent(d, d->x11, &ev, &pass);
    }
  }
  for (DisplayRecord* d = GetDisplayList(); d; d = next(d)) {
    X11DisplayRecord* r = d->x11;
    if (!r || !r->window) continue;
    if (r->refreshNeeded) {
      RefreshDisplay(L, d, REFRESH_SCALE);
      r->refreshNeeded = 0;
    }
    if (stateOf(r).left && QUIT_ON_LEFTMOUSE) pass.stop = 1;
    if (r->lastKeyCode == 275 && QUIT_ON_ESCAPE) pass.stop = 1;
    if (r->modeSwitch >= 0) {
      d->mode = r->modeSwitch == 1 ? DISPMODE_FULLSCREEN : DISPMODE_WINDOWED;
      ErrorCode e = OpenDisplayWindow(L, d, OPEN_CHOOSEMONITOR | OPEN_MODECHANGE);
      if (e != ERR_NONE) {
        if (error) *error = e;
        return 1;
      }
      PostEvent(d, EVENT_MODESWITCH, 0, 0, 0, nullptr);
      r = d->x11;
      if (!r) continue;
    }
    if (r->sizePending && !IsLeftButtonHeld(r)) {
      PostEvent(d, EVENT_WINDOWSIZE, 0, 0, 0, nullptr);
      r->sizePending = 0;
      ErrorCode e = ResizeDisplay(L, d, KEEPPOSITION, KEEPPOSITION, r->pendingWidth,
                                  r->pendingHeight, (d->flags & DSF_SMOOTHSCALE) ? 1 : 0, 0, 0, 0);
      if (e != ERR_NONE) {
        if (error) *error = e;
        return 1;
      }
    }
    if (r->closeRequested && !d->closeHandler) pass.stop = 1;
  }
  if (pass.stop) {
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

int IsLeftButtonHeld(const X11DisplayRecord* record) {
  if (!record || !record->display || !record->window) return 0;
  Window root, child;
  int rx, ry, wx, wy;
  unsigned int mask = 0;
  if (!XQueryPointer(record->display, record->window, &root, &child, &rx, &ry, &wx, &wy, &mask))
    return 0;
  return (mask & Button1Mask) ? 1 : 0;
}

uint32_t GetKeyQualifiers(const DisplayRecord* display) {
  uint32_t q = 0x80000000u;
  const X11DisplayRecord* r = display ? display->x11 : nullptr;
  if (!r) return q;
  if (r->modifiers[MOD_LCONTROL]) q |= 0x400000;
  if (r->modifiers[MOD_RCONTROL]) q |= 0x800000;
  if (r->modifiers[MOD_LALT]) q |= 0x40000;
  if (r->modifiers[MOD_RALT]) q |= 0x80000;
  if (r->modifiers[MOD_LSHIFT]) q |= 0x10000;
  if (r->modifiers[MOD_RSHIFT]) q |= 0x20000;
  if (r->modifiers[MOD_LSUPER]) q |= 0x100000;
  if (r->modifiers[MOD_RSUPER]) q |= 0x200000;
  return q;
}

int TakePointerMoved(DisplayRecord* display, int32_t* x, int32_t* y) {
  if (!display || !display->x11) return 0;
  auto it = pumpStates.find(display->x11);
  if (it == pumpStates.end() || !it->second.pointerMoved) return 0;
  it->second.pointerMoved = 0;
  *x = it->second.pointerX;
  *y = it->second.pointerY;
  return 1;
}
