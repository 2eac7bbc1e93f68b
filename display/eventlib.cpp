// The event library: the script's handler slots, the dispatcher that turns
// fired timers, pointer moves and queued platform events into protected
// handler calls with one message table each, the commands InstallEventHandler,
// CheckEvent, CheckEvents and WaitEvent, and the poll that the line hook and
// the waiting loops call.
// Invariants: handlers run on the main thread only, and only inside the
// dispatcher (never from the poll); the queue's lock is never held while a
// handler runs; a slot's user data is only ever read together with the
// function reference it was stored with.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "display/event_private.h"
#include "platform/linux/platform.h"
#include "display/adapter_private.h"
#include "display/context_private.h"

namespace {

// Window slot indexes (the order of WindowEventNames).
enum : int32_t {
  SLOT_KEYDOWN = 0,
  SLOT_KEYUP = 1,
  SLOT_MOUSEMOVE = 2,
  SLOT_CLOSEWINDOW = 3,
  SLOT_MOVEWINDOW = 4,
  SLOT_SIZEWINDOW = 5,
  SLOT_ACTIVEWINDOW = 6,
  SLOT_INACTIVEWINDOW = 7,
  SLOT_HIDEWINDOW = 8,
  SLOT_SHOWWINDOW = 9,
  SLOT_MOUSEDOWN = 10,
  SLOT_MOUSEUP = 11,
  SLOT_RIGHTDOWN = 12,
  SLOT_RIGHTUP = 13,
  SLOT_WHEELDOWN = 14,
  SLOT_WHEELUP = 15,
  SLOT_MODESWITCH = 16,
  SLOT_DROPFILE = 17,
  SLOT_CLIPBOARD = 18,
  SLOT_MIDDOWN = 19,
  SLOT_MIDUP = 20,
  SLOT_ORIENTATION = 21,
  SLOT_SHOWKEYBOARD = 22,
  SLOT_HIDEKEYBOARD = 23,
  SLOT_HOTKEY = 24,
  SLOT_TRAYICON = 25,
  SLOT_TOUCH = 26,
  SLOT_APPMESSAGE = 27,
  SLOT_MENUSELECT = 28,
  SLOT_DOCKYCLICK = 29,
  SLOT_VANILLAKEY = 30,
  SLOT_RAWKEYDOWN = 31,
  SLOT_RAWKEYUP = 32,
  SLOT_ACCELEROMETER = 33,
  SLOT_GYROSCOPE = 34,
};
// Global slot indexes (the order of GlobalEventNames).
enum : int32_t {
  GSLOT_SAMPLELOOP = 0,
  GSLOT_SAMPLEEND = 1,
  GSLOT_MUSICEND = 2,
  GSLOT_CONNECT = 4,
  GSLOT_DISCONNECT = 5,
  GSLOT_RECEIVEDATA = 6,
  GSLOT_RECEIVEUDP = 7,
  GSLOT_VIDEOEND = 8,
  GSLOT_RUNFINISHED = 11,
  GSLOT_FILLMUSICBUFFER = 10,
  GSLOT_DIRECTORYCHANGED = 12
};

// Message kinds (what the table holds beside "action").
enum : int32_t {
  KIND_BUTTON = 1,
  KIND_KEY = 2,
  KIND_WINDOW = 3,
  KIND_SIZE = 4,
  KIND_MOVE = 5,
  KIND_INTERVAL = 6,
  KIND_TIMEOUT = 7,
  KIND_MOUSEMOVE = 8,
  KIND_THREAD = 9,
  KIND_MODESWITCH = 12,
  KIND_DROPFILE = 13,
  KIND_ORIENTATION = 19,
  KIND_FILLMUSIC = 20,
  KIND_USERTYPE = 21,
  KIND_TOUCH = 22,
  KIND_APPMESSAGE = 23,
  KIND_MENUSELECT = 24,
  KIND_ACCELEROMETER = 27,
  KIND_GYROSCOPE = 28,
  KIND_NETWORK = 29,
};

constexpr size_t ACTION_MAX = 64;  // the action name's field, terminator included

struct EventMessage {
  DisplayRecord* display;
  int32_t kind;
  VmRef handler, userData;
  int32_t args[3];
  char action[ACTION_MAX];
  char key[16];
  void* pointer;
  ObjectId id;
  int idSet;
  UserEventType* userType;
  double timestamp;  // seconds since the library started; < 0: now
  ButtonMessage button;
};

// Routing of a queued platform event type: slots for pressed and released
// (the same slot when the event has no such state), kind and action names.
struct Route {
  int32_t type;
  int32_t downSlot, upSlot;
  int32_t kind;
  const char *downAction, *upAction;
};
constexpr Route ROUTES[] = {
    {EVENT_LEFTBUTTON, SLOT_MOUSEDOWN, SLOT_MOUSEUP, KIND_WINDOW, "OnMouseDown", "OnMouseUp"},
    {EVENT_RIGHTBUTTON, SLOT_RIGHTDOWN, SLOT_RIGHTUP, KIND_WINDOW, "OnRightMouseDown",
     "OnRightMouseUp"},
    {EVENT_MIDBUTTON, SLOT_MIDDOWN, SLOT_MIDUP, KIND_WINDOW, "OnMidMouseDown", "OnMidMouseUp"},
    {EVENT_WHEELUP, SLOT_WHEELUP, SLOT_WHEELUP, KIND_WINDOW, "OnWheelUp", "OnWheelUp"},
    {EVENT_WHEELDOWN, SLOT_WHEELDOWN, SLOT_WHEELDOWN, KIND_WINDOW, "OnWheelDown", "OnWheelDown"},
    {EVENT_KEY, SLOT_KEYDOWN, SLOT_KEYUP, KIND_KEY, "OnKeyDown", "OnKeyUp"},
    {EVENT_RAWKEY, SLOT_RAWKEYDOWN, SLOT_RAWKEYUP, KIND_KEY, "OnRawKeyDown", "OnRawKeyUp"},
    {EVENT_CHAR, SLOT_VANILLAKEY, SLOT_VANILLAKEY, KIND_KEY, "VanillaKey", "VanillaKey"},
    {EVENT_MOVEWINDOW, SLOT_MOVEWINDOW, SLOT_MOVEWINDOW, KIND_MOVE, "MoveWindow", nullptr},
    {EVENT_WINDOWSIZE, SLOT_SIZEWINDOW, SLOT_SIZEWINDOW, KIND_SIZE, "SizeWindow", nullptr},
    {EVENT_INACTIVEWINDOW, SLOT_INACTIVEWINDOW, SLOT_INACTIVEWINDOW, KIND_WINDOW, "InactiveWindow",
     nullptr},
    {EVENT_CLOSEWINDOW, SLOT_CLOSEWINDOW, SLOT_CLOSEWINDOW, KIND_WINDOW, "CloseWindow", nullptr},
    {EVENT_ACTIVEWINDOW, SLOT_ACTIVEWINDOW, SLOT_ACTIVEWINDOW, KIND_WINDOW, "ActiveWindow",
     nullptr},
    {EVENT_HIDEWINDOW, SLOT_HIDEWINDOW, SLOT_HIDEWINDOW, KIND_WINDOW, "HideWindow", nullptr},
    {EVENT_SHOWWINDOW, SLOT_SHOWWINDOW, SLOT_SHOWWINDOW, KIND_WINDOW, "ShowWindow", nullptr},
    {EVENT_MODESWITCH, SLOT_MODESWITCH, SLOT_MODESWITCH, KIND_MODESWITCH, "ModeSwitch", nullptr},
    {EVENT_DROPFILE, SLOT_DROPFILE, SLOT_DROPFILE, KIND_DROPFILE, "OnDropFile", nullptr},
    {EVENT_CLIPBOARD, SLOT_CLIPBOARD, SLOT_CLIPBOARD, KIND_WINDOW, "ClipboardChange", nullptr},
    {EVENT_ORIENTATION, SLOT_ORIENTATION, SLOT_ORIENTATION, KIND_ORIENTATION, "OrientationChange",
     nullptr},
    {EVENT_SHOWKEYBOARD, SLOT_SHOWKEYBOARD, SLOT_SHOWKEYBOARD, KIND_WINDOW, "ShowKeyboard",
     nullptr},
    {EVENT_HIDEKEYBOARD, SLOT_HIDEKEYBOARD, SLOT_HIDEKEYBOARD, KIND_WINDOW, "HideKeyboard",
     nullptr},
    {EVENT_HOTKEY, SLOT_HOTKEY, SLOT_HOTKEY, KIND_WINDOW, "Hotkey", nullptr},
    {EVENT_TRAYICON, SLOT_TRAYICON, SLOT_TRAYICON, KIND_WINDOW, "TrayIcon", nullptr},
    {EVENT_TOUCH, SLOT_TOUCH, SLOT_TOUCH, KIND_TOUCH, "OnTouch", nullptr},
    {EVENT_APPMESSAGE, SLOT_APPMESSAGE, SLOT_APPMESSAGE, KIND_APPMESSAGE, "OnApplicationMessage",
     nullptr},
    {EVENT_MENUSELECT, SLOT_MENUSELECT, SLOT_MENUSELECT, KIND_MENUSELECT, "OnMenuSelect", nullptr},
    {EVENT_DOCKYCLICK, SLOT_DOCKYCLICK, SLOT_DOCKYCLICK, KIND_WINDOW, "OnDockyClick", nullptr},
    {EVENT_ACCELEROMETER, SLOT_ACCELEROMETER, SLOT_ACCELEROMETER, KIND_ACCELEROMETER,
     "OnAccelerometer", nullptr},
    {EVENT_GYROSCOPE, SLOT_GYROSCOPE, SLOT_GYROSCOPE, KIND_GYROSCOPE, "OnGyroscope", nullptr},
};

// Names of key codes 256 to 313 (and of the space key); other codes are
// Latin-1 characters.
struct KeyName {
  int32_t code;
  const char* name;
};
constexpr KeyName KEY_NAMES[] = {
    {256, "UP"},        {257, "DOWN"},     {258, "RIGHT"},    {259, "LEFT"},     {260, "HELP"},
    {261, "F1"},        {262, "F2"},       {263, "F3"},       {264, "F4"},       {265, "F5"},
    {266, "F6"},        {267, "F7"},       {268, "F8"},       {269, "F9"},       {270, "F10"},
    {271, "BACKSPACE"}, {272, "TAB"},      {273, "ENTER"},    {274, "RETURN"},   {275, "ESC"},
    {276, "SPACE"},     {277, "DEL"},      {278, "F11"},      {279, "F12"},      {280, "INSERT"},
    {281, "HOME"},      {282, "END"},      {283, "PAGEUP"},   {284, "PAGEDOWN"}, {285, "PRINT"},
    {286, "PAUSE"},     {287, "F13"},      {288, "F14"},      {289, "F15"},      {290, "F16"},
    {291, "NP0"},       {292, "NP1"},      {293, "NP2"},      {294, "NP3"},      {295, "NP4"},
    {296, "NP5"},       {297, "NP6"},      {298, "NP7"},      {299, "NP8"},      {300, "NP9"},
    {301, "NPMUL"},     {302, "NPADD"},    {303, "NPSUB"},    {304, "NPDEC"},    {305, "NPDIV"},
    {306, "LSHIFT"},    {307, "RSHIFT"},   {308, "LALT"},     {309, "RALT"},     {310, "LCOMMAND"},
    {311, "RCOMMAND"},  {312, "LCONTROL"}, {313, "RCONTROL"},
};

// The poll tick: a thread that opens the poll hook's gate once a
// millisecond while the event library is open, so that a running script
// polls about once a millisecond and costs nothing between polls. Wakes of
// the event loop open the gate too. A gate still open at the next tick
// means the script runs no code (it waits, or a long command runs): the
// tick then parks instead of waking a thousand times a second for nothing,
// and the poll hook, which runs once the script takes the open gate, starts
// it again. The guard's destructor stops a tick the library was not closed
// before exit.
constexpr auto POLL_TICK = std::chrono::milliseconds(1);
constexpr auto PARK_CHECK = std::chrono::milliseconds(100);

struct PollTick {
  std::mutex lock;
  std::condition_variable signal;
  std::thread thread;
  bool stopping = false;
  std::atomic<bool> parked{false};
  std::atomic<uint64_t> ticks{0};

  void start() {
    std::lock_guard<std::mutex> hold(lock);
    if (thread.joinable()) return;
    stopping = false;
    parked.store(false);
    thread = std::thread([this] { run(); });
  }
  void stop() {
    {
      std::lock_guard<std::mutex> hold(lock);
      if (!thread.joinable()) return;
      stopping = true;
    }
    signal.notify_all();
    thread.join();
    thread = std::thread();
  }
  // Called on the main thread by the poll hook, after the script took the
  // gate. The fences pair with the tick's: either the tick sees the gate
  // taken, or this sees the tick parked.
  void resume() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!parked.load(std::memory_order_relaxed)) return;
    {
      std::lock_guard<std::mutex> hold(lock);
      parked.store(false, std::memory_order_relaxed);
    }
    signal.notify_all();
  }
  void run() {
    std::unique_lock<std::mutex> hold(lock);
    auto next = std::chrono::steady_clock::now();
    while (!stopping) {
      next += POLL_TICK;
      if (signal.wait_until(hold, next, [this] { return stopping; })) break;
      if (vmEventPollGate.load(std::memory_order_relaxed) != 0) {
        parked.store(true, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        // Parked, it still looks every PARK_CHECK whether the gate was
        // taken by a way that ran no poll hook.
        while (!stopping && parked.load(std::memory_order_relaxed) &&
               vmEventPollGate.load(std::memory_order_relaxed) != 0)
          signal.wait_for(hold, PARK_CHECK);
        parked.store(false, std::memory_order_relaxed);
        next = std::chrono::steady_clock::now();
        continue;
      }
      vmEventPollGate.store(1, std::memory_order_relaxed);
      ticks.fetch_add(1, std::memory_order_relaxed);
      // After a stall (a suspended process), tick from now instead of
      // catching up with a burst.
      auto now = std::chrono::steady_clock::now();
      if (now - next > 4 * POLL_TICK) next = now;
    }
  }
  ~PollTick() { stop(); }
};
PollTick pollTick;

double nowSeconds() {
  TimeValue t;
  GetSysTime(&t);
  return t.seconds + t.micros / 1e6;
}

void setCallbackDepth(VmState* L, int up) {
  TagItem tags[] = {{ATTR_CALLBACKDEPTH, static_cast<uintptr_t>(up)}, {ATTR_DONE, 0}};
  SetGlobalAttrs(L, tags);
}

ObjectId displayId(const DisplayRecord* d) { return ObjectId{d->head.autoId, d->head.number}; }

VmRef displayUserDataOf(const DisplayRecord* d, int32_t slot) {
  auto it = displayContext.displayUserData.find(d);
  if (it == displayContext.displayUserData.end()) return VM_REF_NIL;
  const DisplayUserData& u = it->second[slot];
  return u.handler == d->handlerRefs[slot] ? u.userData : VM_REF_NIL;
}

void keyText(int32_t code, char* out, size_t size) {
  for (const KeyName& k : KEY_NAMES) {
    if (k.code == code) {
      std::snprintf(out, size, "%s", k.name);
      return;
    }
  }
  char buffer[8] = {};
  if (code > 0 && code < 0x110000) Utf8EncodeChar(buffer, static_cast<uint32_t>(code));
  std::snprintf(out, size, "%s", buffer);
}

// The qualifier word's bits in the order of the "modifiers" bits.
uint32_t modifierBits(uint32_t qualifiers) {
  static constexpr uint32_t BITS[8] = {0x10000,  0x20000,  0x40000,  0x80000,
                                       0x400000, 0x800000, 0x100000, 0x200000};
  uint32_t result = 0;
  for (int i = 0; i < 8; ++i)
    if (qualifiers & BITS[i]) result |= 1u << i;
  return result;
}

// "dropfiles" from a block of NUL-terminated paths ended by an empty one.
void pushDropFiles(VmState* L, const char* list) {
  VmNewTable(L);
  int n = 0;
  for (const char* p = list; p && *p; p += std::strlen(p) + 1) {
    VmPushString(L, p);
    VmRawSetI(L, -2, n++);
  }
  VmPushString(L, "dropfiles");
  VmInsert(L, -2);
  VmSetTable(L, -3);
  SetTableFieldInt(L, "numdropfiles", n);
}

// Fills the table at the stack top by message kind.
ErrorCode fillMessage(VmState* L, EventMessage* m) {
  bool noAction =
      m->kind == KIND_TOUCH || m->kind == KIND_ACCELEROMETER || m->kind == KIND_GYROSCOPE;
  if (!noAction) SetTableFieldString(L, "action", m->action);
  DisplayRecord* d = m->display;
  switch (m->kind) {
    case KIND_BUTTON:
      FillButtonMessage(L, &m->button);
      break;
    case KIND_KEY:
      SetTableFieldString(L, "key", m->key);
      if (d) SetTableFieldId(L, "id", displayId(d));
      if (d && (std::strcmp(m->action, "OnRawKeyDown") == 0 ||
                std::strcmp(m->action, "OnRawKeyUp") == 0))
        SetTableFieldInt(L, "modifiers", static_cast<int32_t>(modifierBits(GetKeyQualifiers(d))));
      break;
    case KIND_WINDOW:
      if (d) SetTableFieldId(L, "id", displayId(d));
      break;
    case KIND_SIZE:
      if (d) {
        double factor = d->scaleFactorActive && d->scaleFactor > 0 ? d->scaleFactor : 1.0;
        SetTableFieldInt(L, "width", VmTruncInt32(std::lround(d->width / factor)));
        SetTableFieldInt(L, "height", VmTruncInt32(std::lround(d->height / factor)));
      }
      break;
    case KIND_MOVE:
      if (d) {
        SetTableFieldInt(L, "x", d->x);
        SetTableFieldInt(L, "y", d->y);
      }
      break;
    case KIND_INTERVAL:
    case KIND_TIMEOUT:
      SetTableFieldId(L, "id", m->id);
      break;
    case KIND_FILLMUSIC:
      SetTableFieldId(L, "id", m->id);
      SetTableFieldInt(L, "samples", m->args[0]);
      SetTableFieldInt(L, "count", m->args[1]);
      break;
    case KIND_THREAD:
      SetTableFieldId(L, "id", m->id);
      if (std::strcmp(m->action, "OnSampleEnd") == 0 ||
          std::strcmp(m->action, "OnSampleLoop") == 0) {
        SetTableFieldInt(L, "time", m->args[0]);
        SetTableFieldInt(L, "starts", m->args[1]);
      }
      break;
    case KIND_MOUSEMOVE:
      SetTableFieldInt(L, "x", m->args[0]);
      SetTableFieldInt(L, "y", m->args[1]);
      if (d) SetTableFieldId(L, "id", displayId(d));
      break;
    case KIND_MODESWITCH:
      if (d) {
        SetTableFieldId(L, "id", displayId(d));
        SetTableFieldInt(L, "mode", d->fullscreen ? 2 : 1);
        SetTableFieldInt(L, "width", d->width);
        SetTableFieldInt(L, "height", d->height);
      }
      break;
    case KIND_DROPFILE:
      if (d) SetTableFieldId(L, "id", displayId(d));
      SetTableFieldInt(L, "x", m->args[0]);
      SetTableFieldInt(L, "y", m->args[1]);
      pushDropFiles(L, static_cast<const char*>(m->pointer));
      break;
    case KIND_ORIENTATION:
      if (d) {
        SetTableFieldId(L, "id", displayId(d));
        SetTableFieldInt(L, "orientation", d->orientation);
      }
      break;
    case KIND_APPMESSAGE: {
      const char* text = m->pointer ? static_cast<const char*>(m->pointer) : "";
      SetTableFieldString(L, "message", text);
      SetTableFieldString(L, "sender", m->pointer ? text + std::strlen(text) + 1 : "");
      break;
    }
    case KIND_MENUSELECT:
      if (d) SetTableFieldId(L, "id", displayId(d));
      SetTableFieldString(L, "item", m->pointer ? static_cast<const char*>(m->pointer) : "");
      SetTableFieldInt(L, "selected", m->args[2]);
      break;
    case KIND_NETWORK:
      if (m->args[0] == NETWORK_EVENT_CONNECT) {
        SetTableFieldId(L, "serverid", m->id);
        SetTableFieldId(L, "clientid", *static_cast<const ObjectId*>(m->pointer));
      } else {
        SetTableFieldId(L, "id", m->id);
      }
      break;
    case KIND_USERTYPE:
      if (m->userType && !m->userType->builtin && m->userType->messageHook)
        return m->userType->messageHook(L, m->pointer);
      break;
    default:
      break;
  }
  return ERR_NONE;
}

// Builds the message table and calls the handler protected. With collect,
// the handler's results stay on the stack and *nresults counts them.
ErrorCode callEventHandler(VmState* L, EventMessage* m, int collect, int* nresults) {
  *nresults = 0;
  if (m->kind == KIND_USERTYPE && m->userType && m->userType->mode == 1) {
    UserEventType* t = m->userType;
    int pushed = 0;
    if (!t->builtin && t->callHook) pushed = t->callHook(L, t->handler, t->userData, m->pointer);
    ErrorCode error = ERR_NONE;
    if (pushed > 0) {
      setCallbackDepth(L, 1);
      error = VmPCall(L, pushed - 1, 0, 0);
      setCallbackDepth(L, 0);
    } else if (pushed < -1) {
      error = -pushed;
    }
    if (!t->builtin && t->freeHook) t->freeHook(L, m->pointer);
    m->pointer = nullptr;
    return error == ERR_NONE && vmRun.quit ? ERR_USERABORT : error;
  }
  int base = VmGetTop(L);
  VmRawGetI(L, VM_REGISTRY_INDEX, m->handler);
  VmNewTable(L);
  ErrorCode error = fillMessage(L, m);
  if (error != ERR_NONE) {
    VmSetTop(L, base);
    return error;
  }
  if (m->userData != VM_REF_NIL) {
    VmPushString(L, "userdata");
    VmRawGetI(L, VM_REGISTRY_INDEX, m->userData);
    VmSetTable(L, -3);
  }
  double stamp = m->timestamp >= 0 ? m->timestamp : nowSeconds() - displayContext.libraryStart;
  SetTableFieldNumber(L, "timestamp", stamp);
  setCallbackDepth(L, 1);
  error = VmPCall(L, 1, collect ? VM_MULTRET : 0, 0);
  setCallbackDepth(L, 0);
  if (collect && error == ERR_NONE) *nresults = VmGetTop(L) - base;
  return error == ERR_NONE && vmRun.quit ? ERR_USERABORT : error;
}

// A close request on a window that has no "closewindow" handler (and no
// CLOSEWINDOW legacy event reporting it) ends the run as a quit request
// does. The X11 pump and host events only note the request on the display;
// every poll, whichever wait makes it, decides here.
bool takeUnhandledClose() {
  bool quit = false;
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (__atomic_exchange_n(&d->closePending, 0, __ATOMIC_ACQ_REL) && !d->closeHandler &&
        !LegacyReportsClose())
      quit = true;
  return quit;
}

// The result of one dispatcher step: a handler call and its results.
struct StepResult {
  int handled = 0;
  char action[ACTION_MAX] = "";
  ObjectId id = {nullptr, 0};
  int idSet = 0;
  int nresults = 0;
};

void setAction(EventMessage* m, const char* action) {
  std::snprintf(m->action, sizeof m->action, "%s", action ? action : "");
}

ErrorCode runMessage(VmState* L, EventMessage* m, int collect, StepResult* out) {
  out->handled = 1;
  std::memcpy(out->action, m->action, sizeof out->action);
  out->id = m->id;
  out->idSet = m->idSet;
  return callEventHandler(L, m, collect, &out->nresults);
}

// A button's message from what the buttons filled in.
void buttonMessage(EventMessage* m) {
  m->display = m->button.display;
  m->kind = KIND_BUTTON;
  m->handler = m->button.handler;
  m->userData = m->button.userData;
  m->id = ObjectId{m->button.button->head.autoId, m->button.button->head.number};
  m->idSet = 1;
  setAction(m, m->button.action);
}

// One queued platform event: fills the message when a handler takes it.
bool routeQueued(EventRecord* e, EventMessage* m) {
  DisplayRecord* d = e->display;
  m->display = d;
  std::memcpy(m->args, e->args, sizeof m->args);
  m->pointer = e->userData;
  m->timestamp = e->postedSeconds - displayContext.libraryStart;
  if (e->type >= EVENT_FIRSTUSERTYPE) {
    UserEventType* t = FindUserEventTypeByNumber(e->type);
    if (!t || (t->mode == 0 && t->handler == VM_REF_NIL)) return false;
    m->kind = KIND_USERTYPE;
    m->userType = t;
    m->handler = t->handler;
    m->userData = t->userData;
    setAction(m, t->name);
    return true;
  }
  if (d &&
      (e->type == EVENT_LEFTBUTTON || e->type == EVENT_RIGHTBUTTON || e->type == EVENT_MIDBUTTON) &&
      OfferToButtons(e, &m->button)) {
    buttonMessage(m);
    return true;
  }
  for (const Route& r : ROUTES) {
    if (r.type != e->type) continue;
    if (!d) return false;
    bool up = r.upAction && (r.kind == KIND_KEY ? e->args[0] == 0 : e->args[2] == 0) &&
              r.type != EVENT_CHAR && r.type != EVENT_WHEELUP && r.type != EVENT_WHEELDOWN;
    int32_t slot = up ? r.upSlot : r.downSlot;
    if (d->handlerRefs[slot] == VM_REF_NIL) return false;
    m->kind = r.kind;
    m->handler = d->handlerRefs[slot];
    m->userData = displayUserDataOf(d, slot);
    setAction(m, up ? r.upAction : r.downAction);
    m->id = displayId(d);
    m->idSet = 1;
    if (r.kind == KIND_KEY) keyText(e->args[2], m->key, sizeof m->key);
    return true;
  }
  return false;
}

// A message for an interval or timeout record's handler.
void intervalMessage(EventMessage* m, const IntervalRecord* r, int32_t kind, const char* action) {
  m->kind = kind;
  m->handler = r->handler;
  m->userData = r->userData;
  m->id = ObjectId{r->head.autoId, r->head.number};
  m->idSet = 1;
  setAction(m, action);
}

// Whether the script listens for any notice of the cross-thread list; only
// then does the dispatch take notices out of it.
bool threadHandlerSet() {
  for (int32_t slot : {GSLOT_SAMPLELOOP, GSLOT_SAMPLEEND, GSLOT_MUSICEND, GSLOT_VIDEOEND,
                       GSLOT_RUNFINISHED, GSLOT_DIRECTORYCHANGED})
    if (displayContext.globalHandler[slot] != VM_REF_NIL) return true;
  return false;
}

// Kind of the cross-thread notice of a finished background program.
constexpr int32_t THREAD_EVENT_PROGRAM_FINISHED = 10;
// The dos library's hooks for finished programs; a process-wide
// registration like the other library hooks, set and cleared by the dos
// library's opening and shut-down.
const RunFinishedHooks* runFinishedHooks = nullptr;

// The message of a cross-thread notice: sample end and loop, music and
// video end (kind 9, with the owner's identifier; the sample events also
// carry the milliseconds played and the pass number). False when the
// notice has no handler now, or is of a kind that is not routed here
// (finished programs and changed directories), so it is dropped.
bool threadMessage(EventMessage* m, const ThreadEventRecord& t) {
  int32_t slot;
  const char* action;
  switch (t.kind) {
    case THREAD_EVENT_SAMPLE_END:
      slot = GSLOT_SAMPLEEND, action = "OnSampleEnd";
      break;
    case THREAD_EVENT_SAMPLE_LOOP:
      slot = GSLOT_SAMPLELOOP, action = "OnSampleLoop";
      break;
    case THREAD_EVENT_MUSIC_END:
      slot = GSLOT_MUSICEND, action = "OnMusicEnd";
      break;
    case THREAD_EVENT_VIDEO_END:
      slot = GSLOT_VIDEOEND, action = "OnVideoEnd";
      break;
    case THREAD_EVENT_PROGRAM_FINISHED: {
      // The run record's own user data goes with the message; the record
      // is released by the caller once the handler ran.
      VmRef userData = VM_REF_NIL;
      if (!runFinishedHooks || !runFinishedHooks->userData(t.value2, &userData)) return false;
      if (displayContext.globalHandler[GSLOT_RUNFINISHED] == VM_REF_NIL) return false;
      m->kind = KIND_THREAD;
      m->handler = displayContext.globalHandler[GSLOT_RUNFINISHED];
      m->userData = userData;
      setAction(m, "RunFinished");
      return true;
    }
    default:
      return false;
  }
  if (displayContext.globalHandler[slot] == VM_REF_NIL) return false;
  m->kind = KIND_THREAD;
  m->handler = displayContext.globalHandler[slot];
  m->userData = displayContext.globalUserData[slot];
  m->id = ObjectId{reinterpret_cast<void*>(t.argument1), static_cast<int32_t>(t.argument2)};
  m->idSet = 1;
  m->args[0] = static_cast<int32_t>(t.value1);
  m->args[1] = static_cast<int32_t>(t.value2);
  setAction(m, action);
  return true;
}

// The bits of the network events that have handlers.
uint32_t networkWanted() {
  uint32_t wanted = 0;
  if (displayContext.globalHandler[GSLOT_CONNECT] != VM_REF_NIL) wanted |= NETWORK_EVENT_CONNECT;
  if (displayContext.globalHandler[GSLOT_RECEIVEDATA] != VM_REF_NIL)
    wanted |= NETWORK_EVENT_RECEIVEDATA;
  if (displayContext.globalHandler[GSLOT_DISCONNECT] != VM_REF_NIL)
    wanted |= NETWORK_EVENT_DISCONNECT;
  if (displayContext.globalHandler[GSLOT_RECEIVEUDP] != VM_REF_NIL)
    wanted |= NETWORK_EVENT_RECEIVEUDP;
  return wanted;
}

// The message of a network notice; the client identifier of "OnConnect"
// stays in *clientId, which outlives the call.
void networkMessage(EventMessage* m, const NetworkEventNotice& n, ObjectId* clientId) {
  int32_t slot;
  const char* action;
  switch (n.kind) {
    case NETWORK_EVENT_CONNECT:
      slot = GSLOT_CONNECT, action = "OnConnect";
      break;
    case NETWORK_EVENT_RECEIVEDATA:
      slot = GSLOT_RECEIVEDATA, action = "OnReceiveData";
      break;
    case NETWORK_EVENT_DISCONNECT:
      slot = GSLOT_DISCONNECT, action = "OnDisconnect";
      break;
    default:
      slot = GSLOT_RECEIVEUDP, action = "OnReceiveUDPData";
      break;
  }
  *clientId = n.clientId;
  m->kind = KIND_NETWORK;
  m->handler = displayContext.globalHandler[slot];
  m->userData = displayContext.globalUserData[slot];
  m->id = n.id;
  m->idSet = 1;
  m->args[0] = n.kind;
  m->pointer = clientId;
  setAction(m, action);
}

// The message of a music that wants its buffer filled.
void fillMessage(EventMessage* m, const MusicFillNotice& n) {
  m->kind = KIND_FILLMUSIC;
  m->handler = displayContext.globalHandler[GSLOT_FILLMUSICBUFFER];
  m->userData = displayContext.globalUserData[GSLOT_FILLMUSICBUFFER];
  m->id = n.id;
  m->idSet = 1;
  m->args[0] = n.samples;
  m->args[1] = n.count;
  setAction(m, "FillMusicBuffer");
}

// Runs it with the sound library told that its handler runs.
ErrorCode runFillMessage(VmState* L, EventMessage* m, int collect, StepResult* out) {
  if (displayContext.fillRunning) displayContext.fillRunning(1);
  ErrorCode error = runMessage(L, m, collect, out);
  if (displayContext.fillRunning) displayContext.fillRunning(0);
  return error;
}

// One step of the dispatchRound; out->handled tells whether a handler ran. Returns
// with nothing handled only when the dispatchRound is over.
ErrorCode dispatchStep(VmState* L, int collect, StepResult* out) {
  *out = StepResult();
  for (;;) {
    EventMessage m = {};
    m.handler = VM_REF_NIL;
    m.userData = VM_REF_NIL;
    m.timestamp = -1;
    if (!displayContext.dispatchRound.fillAsked) {
      displayContext.dispatchRound.fillAsked = 1;
      MusicFillNotice n = {};
      if (displayContext.fillSource && HasFillMusicBufferHandler() &&
          displayContext.fillSource(&n)) {
        fillMessage(&m, n);
        return runFillMessage(L, &m, collect, out);
      }
    }
    switch (displayContext.dispatchRound.source) {
      case SOURCE_TIMERS: {
        int32_t kind = TIMER_EVENT_NONE;
        uintptr_t keys[2] = {0, 0};
        // The walk hands back the record after the one it looked at; null
        // after the last (null going in starts at the head).
        if (displayContext.dispatchRound.started && !displayContext.dispatchRound.timer) {
          displayContext.dispatchRound.source = SOURCE_THREAD;
          displayContext.dispatchRound.display = nullptr;
          displayContext.dispatchRound.started = 0;
          break;
        }
        displayContext.dispatchRound.timer =
            TakeTimerEvent(displayContext.dispatchRound.timer, &kind, keys);
        displayContext.dispatchRound.started = 1;
        if (kind == TIMER_EVENT_INTERVAL) {
          IntervalRecord* r = FindIntervalByKey(keys[0]);
          if (!r) break;
          intervalMessage(&m, r, KIND_INTERVAL, "Interval");
          return runMessage(L, &m, collect, out);
        }
        if (kind == TIMER_EVENT_TIMEOUT) {
          IntervalRecord* r = TakeTimeoutByKey(keys[0]);
          if (!r) break;
          intervalMessage(&m, r, KIND_TIMEOUT, "Timeout");
          // The record goes before the call; an automatic identifier stays
          // a unique value for the message even though it is freed.
          FreeMemory(r);
          ErrorCode error = runMessage(L, &m, collect, out);
          VmReleaseReference(L, VM_REGISTRY_INDEX, m.handler);
          VmReleaseReference(L, VM_REGISTRY_INDEX, m.userData);
          return error;
        }
        break;
      }
      case SOURCE_THREAD: {
        ThreadEventRecord t;
        if (!threadHandlerSet() || !PopThreadEvent(&t)) {
          displayContext.dispatchRound.source = SOURCE_NETWORK;
          displayContext.dispatchRound.display = nullptr;
          displayContext.dispatchRound.started = 0;
          break;
        }
        if (t.kind == THREAD_EVENT_PROGRAM_FINISHED) {
          ErrorCode error = ERR_NONE;
          bool handled = threadMessage(&m, t);
          if (handled) error = runMessage(L, &m, collect, out);
          if (runFinishedHooks) runFinishedHooks->release(L, t.value2);
          if (handled) return error;
          break;
        }
        if (threadMessage(&m, t)) return runMessage(L, &m, collect, out);
        break;
      }
      case SOURCE_NETWORK: {
        uint32_t wanted = networkWanted();
        NetworkEventNotice n = {};
        int restart = !displayContext.dispatchRound.started;
        displayContext.dispatchRound.started = 1;
        if (!displayContext.networkSource || wanted == 0 ||
            !displayContext.networkSource(restart, wanted, &n)) {
          displayContext.dispatchRound.source = SOURCE_MOUSEMOVE;
          displayContext.dispatchRound.display = nullptr;
          displayContext.dispatchRound.started = 0;
          break;
        }
        ObjectId clientId;
        networkMessage(&m, n, &clientId);
        return runMessage(L, &m, collect, out);
      }
      case SOURCE_MOUSEMOVE: {
        DisplayRecord* d = displayContext.dispatchRound.started
                               ? displayContext.dispatchRound.display
                               : GetDisplayList();
        displayContext.dispatchRound.started = 1;
        // The display walked last may have gone: start the walk again.
        if (displayContext.dispatchRound.display) {
          DisplayRecord* probe = GetDisplayList();
          while (probe && probe != displayContext.dispatchRound.display)
            probe = reinterpret_cast<DisplayRecord*>(probe->head.next);
          d = probe ? reinterpret_cast<DisplayRecord*>(probe->head.next) : GetDisplayList();
        }
        if (!d) {
          displayContext.dispatchRound.source = SOURCE_QUEUE;
          displayContext.dispatchRound.display = nullptr;
          displayContext.dispatchRound.started = 0;
          break;
        }
        displayContext.dispatchRound.display = d;
        if (CheckButtonsUnderPointer(d, &m.button)) {
          buttonMessage(&m);
          return runMessage(L, &m, collect, out);
        }
        int32_t x = 0, y = 0;
        if (d->handlerRefs[SLOT_MOUSEMOVE] != VM_REF_NIL && TakePointerMoved(d, &x, &y)) {
          m.display = d;
          m.kind = KIND_MOUSEMOVE;
          m.handler = d->handlerRefs[SLOT_MOUSEMOVE];
          m.userData = displayUserDataOf(d, SLOT_MOUSEMOVE);
          m.args[0] = x;
          m.args[1] = y;
          m.id = displayId(d);
          m.idSet = 1;
          setAction(&m, "OnMouseMove");
          return runMessage(L, &m, collect, out);
        }
        break;
      }
      case SOURCE_QUEUE: {
        // Legacy events go first: a match with a label ends the round and
        // leaves the jump to the command that runs the dispatcher.
        if (RunLegacyPhase(L)) {
          displayContext.dispatchRound = DispatchRound();
          out->handled = 1;
          return ERR_NONE;
        }
        EventRecord* e = TakeNextEvent(L);
        if (!e) {
          displayContext.dispatchRound = DispatchRound();
          return ERR_NONE;
        }
        NoteDispatchedEvent(e);
        if (e->type == EVENT_QUIT) {
          ReleaseEventRecord(L, e);
          vmRun.quit = 1;
          return ERR_USERABORT;
        }
        if (!routeQueued(e, &m)) {
          ReleaseEventRecord(L, e);
          break;
        }
        ErrorCode error = runMessage(L, &m, collect, out);
        if (m.kind == KIND_USERTYPE && m.userType && m.userType->mode == 1) e->userData = nullptr;
        ReleaseEventRecord(L, e);
        return error;
      }
      default:
        displayContext.dispatchRound = DispatchRound();
        return ERR_NONE;
    }
  }
}

// The result table of CheckEvent and WaitEvent from a step whose results
// sit on the stack above base.
void pushResultTable(VmState* L, const StepResult& r, int base) {
  VmNewTable(L);
  SetTableFieldString(L, "action", r.handled ? r.action : "");
  if (r.handled && r.idSet) SetTableFieldId(L, "id", r.id);
  SetTableFieldInt(L, "triggered", r.handled);
  SetTableFieldInt(L, "nresults", r.nresults);
  if (r.nresults > 0) {
    VmPushString(L, "results");
    VmNewTable(L);
    for (int i = 0; i < r.nresults; ++i) {
      VmPushValue(L, base + 1 + i);
      VmRawSetI(L, -2, i);
    }
    VmSetTable(L, -3);
  }
}

// The command's last word: its error, or the result table as its result.
int finishStep(VmState* L, ErrorCode error, const StepResult& r, int base) {
  if (error != ERR_NONE) return error;
  pushResultTable(L, r, base);
  if (VmGetTop(L) > base + 1) {
    VmReplace(L, base + 1);
    VmSetTop(L, base + 1);
  }
  return 1;
}

int cmdCheckEvent(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  int base = VmGetTop(L);
  StepResult r;
  ErrorCode error = dispatchStep(L, 1, &r);
  if (error == ERR_NONE)
    if (int jump = TakeLegacyJump(L, -1)) return jump;
  if (error == ERR_NONE && !r.handled) VmSetTop(L, base);
  return finishStep(L, error, r, base);
}

int cmdCheckEvents(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  int base = VmGetTop(L);
  for (;;) {
    StepResult r;
    ErrorCode error = dispatchStep(L, 0, &r);
    VmSetTop(L, base);
    if (error != ERR_NONE) return error;
    if (int jump = TakeLegacyJump(L, -1)) return jump;
    if (!r.handled) return 0;
  }
}

ErrorCode waitStep(VmState* L, StepResult* r) {
  for (;;) {
    ErrorCode error = dispatchStep(L, 1, r);
    if (error != ERR_NONE || r->handled) return error;
    if (!AdapterWaitEvents(L, &error)) error = WaitPlatformEvent(L, 0, 0, nullptr);
    if (error != ERR_NONE) return error;
    ErrorCode code = ERR_NONE;
    if (PollEvents(L, 8, 0, &code)) return code != ERR_NONE ? code : ERR_USERABORT;
  }
}

int cmdWaitEvent(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  int base = VmGetTop(L);
  StepResult r;
  ErrorCode error = waitStep(L, &r);
  if (error == ERR_NONE)
    if (int jump = TakeLegacyJump(L, -2)) return jump;
  return finishStep(L, error, r, base);
}

// Looks the name up in the handler table at index 1 and updates the slot.
// Returns 1 when the slot's function changed.
int updateSlot(VmState* L, const char* name, VmRef* handler, VmRef* userData, int withUserData) {
  char lower[VM_NAME_MAX + 1];
  std::snprintf(lower, sizeof lower, "%s", name);
  StrToLower(lower);
  VmPushString(L, lower);
  VmGetTable(L, 1);
  int type = VmType(L, -1);
  if (type == VM_TYPE_NIL) {
    VmSetTop(L, -2);
    return 0;
  }
  if (type == VM_TYPE_NUMBER) {
    VmSetTop(L, -2);
    int changed = *handler != VM_REF_NIL;
    VmReleaseReference(L, VM_REGISTRY_INDEX, *handler);
    VmReleaseReference(L, VM_REGISTRY_INDEX, *userData);
    *handler = VM_REF_NIL;
    *userData = VM_REF_NIL;
    return changed;
  }
  VmRef ref = VmCreateReference(L, VM_REGISTRY_INDEX);
  VmReleaseReference(L, VM_REGISTRY_INDEX, *handler);
  *handler = ref;
  if (withUserData) {
    VmReleaseReference(L, VM_REGISTRY_INDEX, *userData);
    VmPushValue(L, 2);
    *userData = VmCreateReference(L, VM_REGISTRY_INDEX);
  }
  return 1;
}

bool networkHandlerSet() {
  for (int32_t slot : {GSLOT_CONNECT, GSLOT_DISCONNECT, GSLOT_RECEIVEDATA, GSLOT_RECEIVEUDP})
    if (displayContext.globalHandler[slot] != VM_REF_NIL) return true;
  return false;
}

int cmdInstallEventHandler(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  VmCheckTable(L, 1);
  int withUserData = VmGetTop(L) >= 2;
  DisplayRecord* d = GetCurrentDisplay();
  if (d) {
    auto& saved = displayContext.displayUserData[d];
    for (int32_t i = 0; i < WINDOW_EVENT_NAMES; ++i) {
      // User data stored with another function than the slot's is stale.
      if (saved[i].handler != d->handlerRefs[i] && saved[i].userData != VM_REF_NIL) {
        VmReleaseReference(L, VM_REGISTRY_INDEX, saved[i].userData);
        saved[i].userData = VM_REF_NIL;
      }
      VmRef handler = d->handlerRefs[i];
      VmRef userData = saved[i].userData;
      updateSlot(L, WindowEventNames[i], &handler, &userData, withUserData);
      d->handlerRefs[i] = handler;
      saved[i] = DisplayUserData{handler, userData};
    }
    d->closeHandler = d->handlerRefs[SLOT_CLOSEWINDOW] != VM_REF_NIL;
    // Drop targets and clipboard watching need no set-up on this platform;
    // telling a display adapter waits for the plug-in library.
  }
  bool networkBefore = networkHandlerSet();
  for (int32_t i = 0; i < GLOBAL_EVENT_NAMES; ++i)
    updateSlot(L, GlobalEventNames[i], &displayContext.globalHandler[i],
               &displayContext.globalUserData[i], withUserData);
  for (UserEventType* t = GetUserEventTypeList(); t; t = t->next)
    updateSlot(L, t->name, &t->handler, &t->userData, withUserData);
  bool networkNow = networkHandlerSet();
  if (networkNow && !networkBefore && !displayContext.networkPollHeld) {
    ErrorCode error = AcquirePollTimer(L, 1);
    if (error != ERR_NONE) return error;
    displayContext.networkPollHeld = 1;
  } else if (!networkNow && displayContext.networkPollHeld) {
    ReleasePollTimer(L, 1);
    displayContext.networkPollHeld = 0;
  }
  TagItem tags[] = {{12, displayContext.globalHandler[0] != VM_REF_NIL},
                    {13, displayContext.globalHandler[1] != VM_REF_NIL},
                    {18, displayContext.globalHandler[2] != VM_REF_NIL},
                    {23, displayContext.globalHandler[8] != VM_REF_NIL},
                    {ATTR_DONE, 0}};
  SetGlobalAttrs(L, tags);
  return 0;
}

constexpr CommandTableEntry EVENT_COMMANDS[] = {
    {"InstallEventHandler", cmdInstallEventHandler},
    {"CheckEvent", cmdCheckEvent},
    {"CheckEvents", cmdCheckEvents},
    {"WaitEvent", cmdWaitEvent},
    {nullptr, nullptr},
};

}  // namespace

bool DisplayHasEventHandler(const DisplayRecord* display, int32_t type) {
  if (!display) return false;
  for (const Route& r : ROUTES)
    if (r.type == type)
      return display->handlerRefs[r.downSlot] != VM_REF_NIL ||
             display->handlerRefs[r.upSlot] != VM_REF_NIL;
  return false;
}

void SetNetworkEventSource(NetworkEventSource source) { displayContext.networkSource = source; }

void SetMusicFillSource(MusicFillSource source, MusicFillRunning running) {
  displayContext.fillSource = source;
  displayContext.fillRunning = running;
}

int HasFillMusicBufferHandler() {
  return displayContext.globalHandler[GSLOT_FILLMUSICBUFFER] != VM_REF_NIL;
}

ErrorCode CallFillMusicBufferHandler(VmState* L, ObjectId id, int32_t samples, int32_t count) {
  if (!HasFillMusicBufferHandler()) return ERR_NONE;
  EventMessage m = {};
  m.handler = VM_REF_NIL;
  m.userData = VM_REF_NIL;
  m.timestamp = -1;
  fillMessage(&m, MusicFillNotice{id, samples, count});
  int base = VmGetTop(L);
  StepResult r;
  ErrorCode error = runFillMessage(L, &m, 0, &r);
  VmSetTop(L, base);
  return error;
}

ErrorCode DispatchEvent(VmState* L, int* handled) {
  int base = VmGetTop(L);
  StepResult r;
  ErrorCode error = dispatchStep(L, 0, &r);
  VmSetTop(L, base);
  *handled = r.handled;
  return error;
}

int PollEvents(VmState* L, int32_t flags, int32_t, ErrorCode* error) {
  ErrorCode ignored;
  if (!error) error = &ignored;
  *error = ERR_NONE;
  // A termination signal ends the run as a quit request does, so the
  // shut-down runs and deletes the run's temporary files.
  if (NativeQuitRequested()) {
    vmRun.quit = 1;
    return 1;
  }
  if (flags & 1) {
    int code = CallHooksOfKind(L, HOOK_POLL, 0, 0);
    if (code != 0) {
      if (code == ERR_USERABORT) vmRun.quit = 1;
      *error = code;
      return 1;
    }
    TimeValue now;
    GetSysTime(&now);
    if (static_cast<int64_t>(now.seconds) -
            static_cast<int64_t>(displayContext.lastExpiry.seconds) >
        9) {
      ExpireStaleEvents(L);
      displayContext.lastExpiry = now;
    }
  }
  // What other threads asked of the displays (host events, and sizes that
  // display callbacks asked for on any display) is applied first. A display
  // adapter owns every window, so its loop replaces the X11 pump.
  ApplyPendingDisplayFrames(L);
  ApplyPendingHostEvents(L);
  if (DisplayAdapterInUse()) {
    if (AdapterHandleEvents(L, error)) return 1;
  } else if (RunX11EventPump(L, error)) {
    return 1;
  }
  // The request is looked at again after the pump: the pump may have read
  // the wake-up of a signal that came after the first look, and the wait
  // that follows would then sleep through it.
  if (takeUnhandledClose() || NativeQuitRequested()) vmRun.quit = 1;
  return vmRun.quit ? 1 : 0;
}

// Runs a full poll. The hook sits behind vmEventPollGate, which the poll
// tick opens once a millisecond and every wake of the event loop opens at
// once, so the script pays nothing between polls. The queue keeps its order
// whenever the poll comes, and handlers run only in the dispatcher.
void EventPollHook(VmState* L, VmDebugInfo*, int* status, int) {
  pollTick.resume();
  // A script that turned the poll off still ends on a termination request.
  if (vmLineHookDisabled && !NativeQuitRequested()) return;
  ErrorCode error = ERR_NONE;
  if (PollEvents(L, 1, 0, &error)) {
    if (error == ERR_NONE) {
      vmRun.quit = 1;
      error = ERR_USERABORT;
    }
    if (status) *status = error;
  }
}

void InstallDisplayServices() {
  SetEventPoll(PollEvents);
  InstallAdapterEventHooks();
  InstallEventSink();
  SetEventQueueHooks(FreeEventPayload, DisplaySwallowsSizeEvents);
  SetRequesterParentHooks(FindRequesterParentRecord, SetRequesterParentGrabbed);
  SetFileRequesterRouting(RequestFiles);
}

ErrorCode OpenEventLibrary(VmState* L) {
  InstallDisplayServices();
  NoteHostEventMainThread();
  displayContext.globalHandler.fill(VM_REF_NIL);
  displayContext.globalUserData.fill(VM_REF_NIL);
  displayContext.libraryStart = nowSeconds();
  GetSysTime(&displayContext.lastExpiry);
  displayContext.dispatchRound = DispatchRound();
  ErrorCode error = InstallTimerSignal();
  if (error != ERR_NONE) return error;
  if (!CreateWakePipe(nullptr, nullptr)) return ERR_PIPE;
  error = RegisterLibrary(EVENT_COMMANDS, "event");
  if (error == ERR_NONE) error = RegisterLibrary(INTERVAL_COMMANDS, "event");
  if (error == ERR_NONE) error = RegisterLibrary(INPUT_COMMANDS, "event");
  if (error == ERR_NONE) error = RegisterLibrary(LEGACY_COMMANDS, "event");
  if (error == ERR_NONE) error = RegisterLibrary(BUTTON_COMMANDS, "event");
  if (error != ERR_NONE) return error;
  VmRegisterFunctions(L, nullptr, EVENT_COMMANDS, 0);
  VmRegisterFunctions(L, nullptr, INTERVAL_COMMANDS, 0);
  VmRegisterFunctions(L, nullptr, INPUT_COMMANDS, 0);
  VmRegisterConstants(L, INPUT_CONSTANTS, 0);
  VmRegisterFunctions(L, nullptr, LEGACY_COMMANDS, 0);
  VmRegisterConstants(L, LEGACY_CONSTANTS, 0);
  VmRegisterFunctions(L, nullptr, BUTTON_COMMANDS, 0);
  VmRegisterConstants(L, BUTTON_CONSTANTS, 0);
  VmSetGatedHook(L, EventPollHook);
  pollTick.start();
  return ERR_NONE;
}

int PollTickState(uint64_t* ticks) {
  *ticks = pollTick.ticks.load(std::memory_order_relaxed);
  return pollTick.parked.load(std::memory_order_relaxed) ? 1 : 0;
}

void RestartDispatchRound() { displayContext.dispatchRound = DispatchRound(); }

double GetEventTimeBase() { return displayContext.libraryStart; }

void SetRunFinishedHooks(const RunFinishedHooks* hooks) { runFinishedHooks = hooks; }

int HasRunFinishedHandler() {
  return displayContext.globalHandler[GSLOT_RUNFINISHED] != VM_REF_NIL ? 1 : 0;
}

void ForgetDisplayHandlers(VmState* L, DisplayRecord* display) {
  auto it = displayContext.displayUserData.find(display);
  if (it != displayContext.displayUserData.end()) {
    for (int32_t i = 0; i < WINDOW_EVENT_NAMES; ++i)
      if (it->second[i].handler == display->handlerRefs[i])
        VmReleaseReference(L, VM_REGISTRY_INDEX, it->second[i].userData);
    displayContext.displayUserData.erase(it);
  }
  for (int32_t i = 0; i < WINDOW_EVENT_NAMES; ++i) {
    VmReleaseReference(L, VM_REGISTRY_INDEX, display->handlerRefs[i]);
    display->handlerRefs[i] = VM_REF_NIL;
  }
  if (displayContext.dispatchRound.display == display) {
    displayContext.dispatchRound.display = nullptr;
    displayContext.dispatchRound.started = 0;
  }
}

void FreeAllEvents(VmState* L) {
  pollTick.stop();
  FreeAllIntervals(L);
  FreeAllUserEventTypes(L);
  FreeLegacyEvents();
  displayContext.legacyJump = -1;
  for (int32_t i = 0; i < GLOBAL_EVENT_NAMES; ++i) {
    VmReleaseReference(L, VM_REGISTRY_INDEX, displayContext.globalHandler[i]);
    VmReleaseReference(L, VM_REGISTRY_INDEX, displayContext.globalUserData[i]);
  }
  displayContext.globalHandler.fill(VM_REF_NIL);
  displayContext.globalUserData.fill(VM_REF_NIL);
  displayContext.displayUserData.clear();
  if (displayContext.networkPollHeld) ReleasePollTimer(L, 1);
  displayContext.networkPollHeld = 0;
  displayContext.dispatchRound = DispatchRound();
}
