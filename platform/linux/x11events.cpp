// The X11 event pump's platform half: one pass reads the pending X events
// of every connection, turns each into a neutral X11Event for the display
// library's sink, keeps the window-system facts of each window (modifier
// keys, held buttons, the newest pointer position, focus) in its X11
// record, and moves or sizes a borderless window itself while a border drag
// that the display started runs.
// Invariants: runs on the main thread only; a pass reads X events for at
// most 50 ms and leaves the rest flagged for the next pass, so events keep
// their order; events for windows that the sink's finder does not know are
// dropped before anything else looks at them.
#include <cstring>
#include <utility>

#include <X11/Xutil.h>
#include <X11/keysym.h>

#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/x11calls_private.h"

namespace {

constexpr int64_t PASS_BUDGET_US = 50000;  // X events read per pass before yielding

X11WindowFinder windowFinder = nullptr;
X11EventSink eventSink = nullptr;
X11DropQuery dropQuery = nullptr;

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

int64_t elapsedMicros(const TimeValue& start) {
  TimeValue now;
  GetSysTime(&now);
  return (static_cast<int64_t>(now.seconds) - start.seconds) * 1000000 +
         (static_cast<int64_t>(now.micros) - start.micros);
}

X11Event eventFor(int32_t kind, DisplayRecord* d, X11DisplayRecord* r) {
  X11Event e = {};
  e.kind = kind;
  e.display = d;
  e.window = r;
  e.modifierCode = e.rawCode = e.translated = -1;
  return e;
}

void translateKey(X11Event* e, X11DisplayRecord* r, XKeyEvent* ev) {
  int pressed = ev->type == KeyPress;
  e->pressed = pressed;
  char buffer[10];
  KeySym sym = 0;
  XLookupString(ev, buffer, sizeof buffer, &sym, nullptr);
  for (const ModifierKey& m : MODIFIER_KEYS) {
    if (m.sym != sym) continue;
    r->modifiers[m.flag] = static_cast<uint8_t>(pressed);
    e->modifierCode = m.code;
    return;
  }
  const KeyRow* row = findRow(sym);
  if (row) {
    e->translated = row->translated;
    e->rawCode = row->raw ? row->raw : row->translated;
  } else if (sym <= 0xff) {
    e->translated = static_cast<int32_t>(sym);
    KeySym base = XLookupKeysym(ev, 0);
    if (base >= 'a' && base <= 'z') base = base - 'a' + 'A';
    if ((base >= 'A' && base <= 'Z') || (base >= '0' && base <= '9'))
      e->rawCode = static_cast<int32_t>(base);
  }
  e->altHeld = r->modifiers[MOD_LALT] || r->modifiers[MOD_RALT];
  e->controlHeld = r->modifiers[MOD_LCONTROL] || r->modifiers[MOD_RCONTROL];
  e->letterC = sym == 'c';
  if (!pressed || (row && !row->types) || (!row && sym > 0xff) || !X11InputContext(r)) return;
  if (row && row->translated == 276) {
    e->chars[e->charCount++] = 32;
    return;
  }
  if (XFilterEvent(reinterpret_cast<XEvent*>(ev), None)) return;
  wchar_t text[X11EV_CHARS_MAX];
  Status status = 0;
  int n = XwcLookupString(r->inputContext, ev, text, X11EV_CHARS_MAX, nullptr, &status);
  if (status != XLookupChars && status != XLookupBoth) return;
  for (int i = 0; i < n && i < X11EV_CHARS_MAX; ++i)
    if (static_cast<uint32_t>(text[i]) >= 32)
      e->chars[e->charCount++] = static_cast<uint32_t>(text[i]);
}

void handleButton(DisplayRecord* d, X11DisplayRecord* r, XButtonEvent* ev) {
  int pressed = ev->type == ButtonPress;
  if (!r->inputGrabbed) {
    if (pressed) {
      XGrabPointer(r->display, r->window, False,
                   ButtonPressMask | ButtonReleaseMask | PointerMotionMask | ButtonMotionMask,
                   GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
    } else {
      XUngrabPointer(r->display, CurrentTime);
    }
  }
  if (!pressed && (r->moveDrag || r->sizeDrag)) {
    X11Event e = eventFor(X11EV_DRAGEND, d, r);
    e.moved = r->moveDrag;
    r->moveDrag = r->sizeDrag = 0;
    eventSink(&e);
    return;
  }
  if (pressed && (r->moveDrag || r->sizeDrag)) return;
  X11Event e = eventFor(X11EV_BUTTON, d, r);
  e.pressed = pressed;
  e.button = static_cast<int32_t>(ev->button);
  e.x = ev->x;
  e.y = ev->y;
  e.rootX = ev->x_root;
  e.rootY = ev->y_root;
  eventSink(&e);
  // A press that started a border drag is no button press for the script.
  if (r->moveDrag || r->sizeDrag) return;
  if (ev->button == Button1) r->leftHeld = pressed;
  if (ev->button == Button2) r->middleHeld = pressed;
  if (ev->button == Button3) r->rightHeld = pressed;
}

void handleMotion(DisplayRecord* d, X11DisplayRecord* r, XMotionEvent* ev) {
  GetSysTime(&r->lastMotion);
  r->pointerMoved = 1;
  r->pointerX = ev->x;
  r->pointerY = ev->y;
  if (!r->moveDrag && !r->sizeDrag) {
    X11Event e = eventFor(X11EV_HOVER, d, r);
    e.x = ev->x;
    e.y = ev->y;
    eventSink(&e);
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

void handleEvent(DisplayRecord* d, X11DisplayRecord* r, XEvent* ev) {
  switch (ev->type) {
    case KeyPress:
    case KeyRelease: {
      X11Event e = eventFor(X11EV_KEY, d, r);
      translateKey(&e, r, &ev->xkey);
      eventSink(&e);
      break;
    }
    case ButtonPress:
    case ButtonRelease:
      handleButton(d, r, &ev->xbutton);
      break;
    case MotionNotify:
      handleMotion(d, r, &ev->xmotion);
      break;
    case FocusIn:
    case FocusOut: {
      if (r->inputContext) {
        if (ev->type == FocusIn) {
          XSetICFocus(r->inputContext);
        } else {
          XUnsetICFocus(r->inputContext);
        }
      }
      if (ev->xfocus.mode != NotifyNormal) break;
      r->active = ev->type == FocusIn;
      X11Event e = eventFor(X11EV_FOCUS, d, r);
      e.pressed = r->active;
      eventSink(&e);
      break;
    }
    case Expose: {
      if (ev->xexpose.count != 0) break;
      X11Event e = eventFor(X11EV_EXPOSE, d, r);
      e.x = ev->xexpose.x;
      e.y = ev->xexpose.y;
      e.width = ev->xexpose.width;
      e.height = ev->xexpose.height;
      e.leftHeld = r->leftHeld;
      eventSink(&e);
      break;
    }
    case UnmapNotify: {
      X11Event e = eventFor(X11EV_UNMAP, d, r);
      eventSink(&e);
      break;
    }
    case MapNotify: {
      X11Event e = eventFor(X11EV_MAP, d, r);
      eventSink(&e);
      break;
    }
    case ConfigureNotify: {
      X11ConnectionRecord* c = r->connection;
      X11Event e = eventFor(X11EV_CONFIGURE, d, r);
      e.x = ev->xconfigure.x - (c ? c->frameLeft : 0);
      e.y = ev->xconfigure.y - (c ? c->frameTop : 0);
      e.width = ev->xconfigure.width;
      e.height = ev->xconfigure.height;
      eventSink(&e);
      break;
    }
    case ClientMessage:
      if (ev->xclient.format == 32 &&
          static_cast<Atom>(ev->xclient.data.l[0]) == r->wmDeleteWindow && r->wmDeleteWindow) {
        X11Event e = eventFor(X11EV_CLOSE, d, r);
        eventSink(&e);
        break;
      }
      HandleX11DndMessage(r, &ev->xclient, dropQuery ? dropQuery(d) : 0);
      break;
    case SelectionRequest:
      HandleX11SelectionRequest(r, &ev->xselectionrequest);
      break;
    case SelectionClear:
      if (ev->xselectionclear.selection == r->clipboard) FreeOfferedClipboard(r);
      break;
    case SelectionNotify: {
      if (HandleX11ClipboardReply(r, &ev->xselection)) break;
      X11Event e = eventFor(X11EV_DROP, d, r);
      if (HandleX11DropData(r, &ev->xselection, &e.dropList, &e.x, &e.y)) eventSink(&e);
      break;
    }
    case PropertyNotify:
      HandleX11ClipboardProperty(r, &ev->xproperty);
      break;
    default: {
      // The XFixes notice that another client took the clipboard.
      X11ConnectionRecord* c = r->connection;
      if (c && c->xfixesMajor > 0 && ev->type == c->xfixesEventBase) {
        X11Event e = eventFor(X11EV_CLIPBOARD, d, r);
        eventSink(&e);
      }
      break;
    }
  }
}

}  // namespace

void SetX11EventSink(X11WindowFinder find, X11EventSink sink) {
  windowFinder = find;
  eventSink = sink;
}

void SetX11DropQuery(X11DropQuery query) { dropQuery = query; }

int PollJoysticksAndAudio(VmState*) {
  CheckAudioTimeouts();
  PollJoysticks();
  return 0;
}

X11ConnectionRecord* ReadX11PointerWake() {
  X11ConnectionRecord* moved = nullptr;
  uint32_t kinds = ReadWakeMessages(&moved);
  return (kinds & (1u << WAKE_POINTER)) ? moved : nullptr;
}

void ReadX11Events() {
  TimeValue start;
  GetSysTime(&start);
  for (X11ConnectionRecord* c = GetX11ConnectionList(); c; c = c->next) {
    if (c->lost.load() || !c->display) continue;
    while (XPending(c->display) > 0) {
      if (elapsedMicros(start) > PASS_BUDGET_US) {
        SetX11EventsPending(1);
        break;
      }
      XEvent ev;
      XNextEvent(c->display, &ev);
      if (HandleX11ForeignEvent(c, &ev) || !windowFinder || !eventSink) continue;
      X11DisplayRecord* r = nullptr;
      DisplayRecord* d = windowFinder(c, ev.xany.window, &r);
      if (d && r) handleEvent(d, r, &ev);
    }
  }
}

int X11RecordShowsWindow(const X11DisplayRecord* record, const X11ConnectionRecord* connection,
                         unsigned long window) {
  return record && connection && record->window == window && record->display == connection->display;
}

unsigned long GetX11WindowId(const X11DisplayRecord* record) { return record ? record->window : 0; }

int NoteX11PointerWake(X11DisplayRecord* record, X11ConnectionRecord* moved, int32_t originX,
                       int32_t originY) {
  if (!record || !moved || record->connection != moved || !record->active) return 0;
  GetSysTime(&record->lastMotion);
  record->pointerMoved = 1;
  record->pointerX = moved->lastPointerX.load() - originX;
  record->pointerY = moved->lastPointerY.load() - originY;
  return 1;
}

int TakeX11PointerMoved(X11DisplayRecord* record, int32_t* x, int32_t* y) {
  if (!record || !record->pointerMoved) return 0;
  record->pointerMoved = 0;
  *x = record->pointerX;
  *y = record->pointerY;
  return 1;
}

int X11LeftButtonDown(const X11DisplayRecord* record) { return record && record->leftHeld; }

int X11ButtonHeld(const X11DisplayRecord* record, int32_t index) {
  if (!record) return 0;
  return index == 0 ? record->leftHeld : index == 1 ? record->rightHeld : record->middleHeld;
}

int QueryX11Pointer(const X11DisplayRecord* record, int32_t* x, int32_t* y) {
  if (!record || !record->display || !record->window || !record->connection ||
      record->connection->lost.load())
    return 0;
  Window root, child;
  int rx, ry, wx = 0, wy = 0;
  unsigned int mask = 0;
  if (!XQueryPointer(record->display, record->window, &root, &child, &rx, &ry, &wx, &wy, &mask))
    return 0;
  *x = wx;
  *y = wy;
  return 1;
}

int IsX11LeftButtonHeld(const X11DisplayRecord* record) {
  if (!record || !record->display || !record->window) return 0;
  Window root, child;
  int rx, ry, wx, wy;
  unsigned int mask = 0;
  if (!XQueryPointer(record->display, record->window, &root, &child, &rx, &ry, &wx, &wy, &mask))
    return 0;
  return (mask & Button1Mask) ? 1 : 0;
}

uint32_t GetX11KeyQualifiers(const X11DisplayRecord* r) {
  uint32_t q = 0x80000000u;
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

void StartX11MoveDrag(X11DisplayRecord* r, int32_t rootX, int32_t rootY, int32_t windowX,
                      int32_t windowY) {
  r->dragRootX = rootX;
  r->dragRootY = rootY;
  r->moveDrag = 1;
  r->moveStartX = windowX;
  r->moveStartY = windowY;
}

void StartX11SizeDrag(X11DisplayRecord* r, int32_t rootX, int32_t rootY, int32_t zone,
                      int32_t offsetX, int32_t offsetY, int32_t left, int32_t top, int32_t right,
                      int32_t bottom) {
  r->dragRootX = rootX;
  r->dragRootY = rootY;
  r->sizeZone = zone;
  r->sizeDrag = 1;
  r->grabOffsetX = offsetX;
  r->grabOffsetY = offsetY;
  r->sizeStartLeft = left;
  r->sizeStartTop = top;
  r->sizeStartRight = right;
  r->sizeStartBottom = bottom;
}

void ShowX11BorderCursor(X11DisplayRecord* r, int32_t zone) {
  X11ConnectionRecord* c = r ? r->connection : nullptr;
  if (!c) return;
  int32_t hovered = c->borderHoverCursor;
  c->borderHoverCursor = 0;
  if (zone >= 0 && zone < X11_RESIZE_CURSORS) {
    if (Cursor cursor = GetX11ResizeCursor(c, zone)) XDefineCursor(r->display, r->window, cursor);
    c->borderHoverCursor = 1;
  } else if (zone == X11_BORDER_MOVE) {
    if (Cursor cursor = GetX11MoveCursor(c)) XDefineCursor(r->display, r->window, cursor);
    c->borderHoverCursor = 1;
  } else if (hovered) {
    XDefineCursor(r->display, r->window, r->currentCursor);
  }
}

void ResetX11InputState(X11DisplayRecord* r) {
  if (!r) return;
  std::memset(r->modifiers, 0, sizeof r->modifiers);
  r->moveDrag = r->sizeDrag = 0;
}
