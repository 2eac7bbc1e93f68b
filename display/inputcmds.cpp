// The event library's input commands: key, mouse and joystick queries, the
// commands that wait for a click or a key (running the dispatcher while
// they wait, as WaitEvent does), the quit switches, the queue's time-out
// and discard, and the message-port and keyboard commands this platform
// answers with errors.
// Invariant: a waiting command learns of clicks and keys from the queued
// events the dispatcher takes out (the watch below), never from sampled
// button states alone, so a click shorter than one poll is not missed; a
// nested wait (a handler that waits) saves and restores the watch.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "display/adapter_private.h"
#include "display/context_private.h"
#include "display/event_private.h"
#include "platform/linux/platform.h"

namespace {

constexpr int32_t KEY_ANY = -1;
InputWatch& watch = displayContext.inputWatch;

struct KeyName {
  const char* name;
  int32_t code;
};
constexpr KeyName KEY_NAMES[] = {
    {"TAB", 272},       {"RETURN", 274},   {"ENTER", 273},    {"SPACE", 276},  {"ESC", 275},
    {"UP", 256},        {"DOWN", 257},     {"RIGHT", 258},    {"LEFT", 259},   {"HELP", 260},
    {"BACKSPACE", 271}, {"DEL", 277},      {"F1", 261},       {"F2", 262},     {"F3", 263},
    {"F4", 264},        {"F5", 265},       {"F6", 266},       {"F7", 267},     {"F8", 268},
    {"F9", 269},        {"F10", 270},      {"F11", 278},      {"F12", 279},    {"F13", 287},
    {"F14", 288},       {"F15", 289},      {"F16", 290},      {"INSERT", 280}, {"HOME", 281},
    {"END", 282},       {"PAGEUP", 283},   {"PAGEDOWN", 284}, {"PRINT", 285},  {"PAUSE", 286},
    {"NP0", 291},       {"NP1", 292},      {"NP2", 293},      {"NP3", 294},    {"NP4", 295},
    {"NP5", 296},       {"NP6", 297},      {"NP7", 298},      {"NP8", 299},    {"NP9", 300},
    {"NPMUL", 301},     {"NPADD", 302},    {"NPSUB", 303},    {"NPDEC", 304},  {"NPDIV", 305},
    {"LSHIFT", 306},    {"RSHIFT", 307},   {"LALT", 308},     {"RALT", 309},   {"LCOMMAND", 310},
    {"RCOMMAND", 311},  {"LCONTROL", 312}, {"RCONTROL", 313},
};
// The qualifier bit of each modifier key, codes 306 to 313.
constexpr uint32_t MODIFIER_QUALIFIERS[8] = {0x10000,  0x20000,  0x40000,  0x80000,
                                             0x100000, 0x200000, 0x400000, 0x800000};
constexpr int32_t FIRST_MODIFIER = 306;

// The key code of a key name: a named key, a single printable character,
// or KEY_ANY for "any"; -2 for a name outside the list.
int32_t keyCodeOf(const char* name) {
  if (std::strlen(name) == 1 && name[0] > 32 && static_cast<unsigned char>(name[0]) < 127)
    return static_cast<unsigned char>(name[0]);
  if (CompareNoCase(name, "any") == 0) return KEY_ANY;
  for (const KeyName& k : KEY_NAMES)
    if (CompareNoCase(name, k.name) == 0) return k.code;
  return -2;
}

// Letters are one key whichever case the layout typed.
bool sameKey(int32_t a, int32_t b) {
  if (a == b) return true;
  return a < 128 && b < 128 && std::isalpha(a) && std::tolower(a) == std::tolower(b);
}

DisplayRecord* currentDisplay(VmState* L) {
  (void)L;
  return GetCurrentDisplay();
}

uint32_t qualifiersOf(DisplayRecord* d) {
  const DisplayAdapter* a = DisplayAdapterInUse();
  if (a)
    return a->getQualifiers && d->windowHandle
               ? a->getQualifiers(reinterpret_cast<void*>(d->windowHandle))
               : 0x80000000u;
  return GetKeyQualifiers(d);
}

// The pointer inside the display's window, unscaled.
void windowPointer(DisplayRecord* d, int32_t* x, int32_t* y) {
  *x = *y = 0;
  const DisplayAdapter* a = DisplayAdapterInUse();
  if (a) {
    if (a->getMousePos && d->windowHandle)
      a->getMousePos(reinterpret_cast<void*>(d->windowHandle), x, y);
    return;
  }
  QueryDisplayPointer(d, x, y);
}

int32_t scaledCoordinate(int32_t pixel, int32_t margin, double scale) {
  double value = pixel - margin;
  if (scale > 0) value /= scale;
  return VmTruncInt32(value);
}

// The display's button states: injected by an adapter, else what the pump
// saw of the window.
int buttonHeld(DisplayRecord* d, int32_t index) {
  if (DisplayAdapterInUse()) return __atomic_load_n(&d->hostButtons[index], __ATOMIC_RELAXED);
  return IsDisplayButtonHeld(d, index);
}

// Runs every due handler, then waits for the next platform event and
// polls; the error of a handler or the stop of the poll ends the wait.
ErrorCode waitRound(VmState* L) {
  for (;;) {
    int handled = 0;
    ErrorCode error = DispatchEvent(L, &handled);
    if (error != ERR_NONE) return error;
    if (displayContext.legacyJump >= 0) return ERR_NONE;
    if (!handled) break;
    if (watch.done) return ERR_NONE;
  }
  if (watch.done) return ERR_NONE;
  ErrorCode error = ERR_NONE;
  if (!AdapterWaitEvents(L, &error)) error = WaitPlatformEvent(L, 0, 0, nullptr);
  if (error != ERR_NONE) return error;
  return PollWhileWaiting(L);
}

// Waits until the watched press and release went by.
ErrorCode waitFor(VmState* L, const InputWatch& wanted) {
  InputWatch saved = watch;
  watch = wanted;
  ErrorCode error = ERR_NONE;
  while (!watch.done && error == ERR_NONE && displayContext.legacyJump < 0) error = waitRound(L);
  watch = saved;
  if (error != ERR_NONE) return error;
  return TakeLegacyJump(L, -2);
}

// Waits while the condition holds, dispatching as it waits.
template <typename Held>
ErrorCode waitWhile(VmState* L, Held held) {
  InputWatch saved = watch;
  watch = InputWatch{};
  ErrorCode error = ERR_NONE;
  while (error == ERR_NONE && held()) {
    int handled = 1;
    while (handled && error == ERR_NONE && displayContext.legacyJump < 0)
      error = DispatchEvent(L, &handled);
    if (error != ERR_NONE || displayContext.legacyJump >= 0 || !held()) break;
    if ((error = SleepViaAdapter(L, 10)) != ERR_NONE) break;
    error = PollWhileWaiting(L);
  }
  watch = saved;
  if (error != ERR_NONE) return error;
  return TakeLegacyJump(L, -2);
}

int cmdIsKeyDown(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  const char* name = VmCheckString(L, 1, nullptr);
  int raw = VmOptFlag(L, 2, 0);
  int32_t code = keyCodeOf(name);
  if (code < 0) return ERR_WRONGUSAGE;
  DisplayRecord* d = currentDisplay(L);
  int down = 0;
  if (d && code >= FIRST_MODIFIER && code < FIRST_MODIFIER + 8) {
    down = (qualifiersOf(d) & MODIFIER_QUALIFIERS[code - FIRST_MODIFIER]) != 0;
  } else if (d) {
    const uint8_t* states = raw ? d->rawKeyStates : d->keyStates;
    down = states[code] != 0;
    if (!down && code < 128 && std::isalpha(code))
      down = states[std::islower(code) ? std::toupper(code) : std::tolower(code)] != 0;
  }
  VmPushNumber(L, down);
  return 1;
}

int cmdWaitKeyDown(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  const char* name = VmCheckString(L, 1, nullptr);
  int raw = VmOptFlag(L, 2, 0);
  int32_t code = keyCodeOf(name);
  if (code == -2) return ERR_WRONGUSAGE;
  int result = waitFor(L, InputWatch{raw ? EVENT_RAWKEY : EVENT_KEY, code, 0, 0});
  if (result == 0) FlushEvents(L, -1, 1);
  return result;
}

int waitButton(VmState* L, int32_t type) {
  CheckArgCount(L, 0, 0, 0, 0);
  return waitFor(L, InputWatch{type, 0, 0, 0});
}
int cmdWaitLeftMouse(VmState* L) { return waitButton(L, EVENT_LEFTBUTTON); }
int cmdWaitRightMouse(VmState* L) { return waitButton(L, EVENT_RIGHTBUTTON); }
int cmdWaitMidMouse(VmState* L) { return waitButton(L, EVENT_MIDBUTTON); }

int cmdWhileKeyDown(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  return waitWhile(L, [L] {
    DisplayRecord* d = currentDisplay(L);
    if (!d) return false;
    for (uint8_t s : d->keyStates)
      if (s) return true;
    return false;
  });
}

int whileButton(VmState* L, int32_t index) {
  CheckArgCount(L, 0, 0, 0, 0);
  return waitWhile(L, [L, index] {
    DisplayRecord* d = currentDisplay(L);
    return d && buttonHeld(d, index);
  });
}
int cmdWhileMouseDown(VmState* L) { return whileButton(L, 0); }
int cmdWhileRightMouseDown(VmState* L) { return whileButton(L, 1); }

int isButton(VmState* L, int32_t index) {
  CheckArgCount(L, 0, 0, 0, 0);
  DisplayRecord* d = currentDisplay(L);
  VmPushNumber(L, d && buttonHeld(d, index) ? 1 : 0);
  return 1;
}
int cmdIsLeftMouse(VmState* L) { return isButton(L, 0); }
int cmdIsRightMouse(VmState* L) { return isButton(L, 1); }
int cmdIsMidMouse(VmState* L) { return isButton(L, 2); }

int mouseCoordinate(VmState* L, bool vertical) {
  CheckArgCount(L, 0, 0, 0, 0);
  DisplayRecord* d = currentDisplay(L);
  int32_t x = 0, y = 0;
  if (d) {
    GetDisplayMousePosition(d, &x, &y);
  }
  VmPushNumber(L, vertical ? y : x);
  return 1;
}
int cmdMouseX(VmState* L) { return mouseCoordinate(L, false); }
int cmdMouseY(VmState* L) { return mouseCoordinate(L, true); }

int quitSwitch(VmState* L, int32_t option) {
  CheckArgCount(L, 1, 1, 0, 0);
  SetPlatformOption(nullptr, option, VmToTruth(L, 1));
  return 0;
}
int cmdCtrlCQuit(VmState* L) { return quitSwitch(L, PLATFORM_QUIT_CTRLC); }
int cmdEscapeQuit(VmState* L) { return quitSwitch(L, PLATFORM_QUIT_ESCAPE); }
int cmdLeftMouseQuit(VmState* L) { return quitSwitch(L, PLATFORM_QUIT_LMB); }

int cmdResetKeyStates(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  if (DisplayRecord* d = currentDisplay(L)) {
    std::memset(d->keyStates, 0, sizeof d->keyStates);
    std::memset(d->rawKeyStates, 0, sizeof d->rawKeyStates);
  }
  return 0;
}

int cmdFreeEventCache(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  FlushEvents(L, -1, 1);
  return 0;
}

int cmdSetEventTimeout(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t ms = VmCheckInteger(L, 1);
  SetEventExpiryTimeout(ms < 0 ? -1 : ms);
  return 0;
}

int cmdCountJoysticks(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  int32_t count = 0;
  ErrorCode error = ScanJoysticks(&count);
  if (error != ERR_NONE) return error;
  VmPushNumber(L, count);
  return 1;
}

int cmdJoyDir(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t direction = JOYNODIR;
  ErrorCode error = GetJoystickDevice(VmCheckInteger(L, 1), &direction, nullptr);
  if (error != ERR_NONE) return error;
  VmPushNumber(L, direction);
  return 1;
}

int cmdJoyFire(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  int32_t port = VmCheckInteger(L, 1);
  int32_t button = VmGetTop(L) >= 2 ? VmCheckInteger(L, 2) : 0;
  // A negative button is as wrong as one above 32.
  if (button < 0 || button > 32) return ERR_WRONGUSAGE;
  uint32_t buttons = 0;
  ErrorCode error = GetJoystickDevice(port, nullptr, &buttons);
  if (error != ERR_NONE) return error;
  VmPushNumber(L, button == 0 ? static_cast<double>(buttons) : (buttons >> (button - 1)) & 1);
  return 1;
}

constexpr size_t PORT_NAME_MAX = 127;

int cmdCreatePort(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* name = VmCheckString(L, 1, nullptr);
  if (std::strlen(name) > PORT_NAME_MAX) return ERR_WRONGUSAGE;
  return NativeCreatePort(name);
}

int cmdSendMessage(VmState* L) {
  int n = VmGetTop(L);
  CheckArgCount(L, 2, 255, 0, 0);
  const char* port = VmCheckString(L, 1, nullptr);
  const char* command = VmCheckString(L, 2, nullptr);
  if (!*command || std::strchr(command, ' ')) return ERR_WRONGUSAGE;
  std::string message = command;
  for (int i = 3; i <= n; ++i) {
    message += " \"";
    message += VmCheckString(L, i, nullptr);
    message += '"';
  }
  char* copy = static_cast<char*>(AllocMemory(message.size() + 1, 0));
  if (!copy) return ERR_MEM;
  std::memcpy(copy, message.c_str(), message.size() + 1);
  // The port service's errors name the port ("Could not find port %s!").
  SetErrorArgString(port);
  return NativeSendMessage(copy);
}

int cmdBreakEventHandler(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  RestartDispatchRound();
  return 0;
}

int cmdUnsupported(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  return ERR_UNSUPPORTEDFEAT;
}

}  // namespace

const CommandTableEntry INPUT_COMMANDS[] = {
    {"IsKeyDown", cmdIsKeyDown},
    {"WaitKeyDown", cmdWaitKeyDown},
    {"WaitLeftMouse", cmdWaitLeftMouse},
    {"WaitRightMouse", cmdWaitRightMouse},
    {"WaitMidMouse", cmdWaitMidMouse},
    {"WhileKeyDown", cmdWhileKeyDown},
    {"WhileMouseDown", cmdWhileMouseDown},
    {"WhileRightMouseDown", cmdWhileRightMouseDown},
    {"IsLeftMouse", cmdIsLeftMouse},
    {"IsRightMouse", cmdIsRightMouse},
    {"IsMidMouse", cmdIsMidMouse},
    {"MouseX", cmdMouseX},
    {"MouseY", cmdMouseY},
    {"CtrlCQuit", cmdCtrlCQuit},
    {"EscapeQuit", cmdEscapeQuit},
    {"LeftMouseQuit", cmdLeftMouseQuit},
    {"ResetKeyStates", cmdResetKeyStates},
    {"FreeEventCache", cmdFreeEventCache},
    {"SetEventTimeout", cmdSetEventTimeout},
    {"CountJoysticks", cmdCountJoysticks},
    {"JoyDir", cmdJoyDir},
    {"JoyFire", cmdJoyFire},
    {"CreatePort", cmdCreatePort},
    {"SendMessage", cmdSendMessage},
    {"BreakEventHandler", cmdBreakEventHandler},
    {"ShowKeyboard", cmdUnsupported},
    {"HideKeyboard", cmdUnsupported},
    {nullptr, nullptr},
};

const ConstantTableEntry INPUT_CONSTANTS[] = {
    {"JOYUP", nullptr, JOYUP},       {"JOYUPRIGHT", nullptr, JOYUPRIGHT},
    {"JOYRIGHT", nullptr, JOYRIGHT}, {"JOYDOWNRIGHT", nullptr, JOYDOWNRIGHT},
    {"JOYDOWN", nullptr, JOYDOWN},   {"JOYDOWNLEFT", nullptr, JOYDOWNLEFT},
    {"JOYLEFT", nullptr, JOYLEFT},   {"JOYUPLEFT", nullptr, JOYUPLEFT},
    {"JOYNODIR", nullptr, JOYNODIR}, {nullptr, nullptr, 0},
};

void NoteDispatchedEvent(const EventRecord* e) {
  if (!watch.eventType || watch.done) return;
  if (e->type != watch.eventType) return;
  bool keyEvent = e->type == EVENT_KEY || e->type == EVENT_RAWKEY;
  if (keyEvent) {
    if (watch.keyCode != KEY_ANY && !sameKey(watch.keyCode, e->args[2])) return;
    if (e->args[0]) {
      watch.pressed = 1;
    } else if (watch.pressed) {
      watch.done = 1;
    }
    return;
  }
  if (e->args[2]) {
    watch.pressed = 1;
  } else if (watch.pressed) {
    watch.done = 1;
  }
}

void GetDisplayMousePosition(DisplayRecord* d, int32_t* x, int32_t* y) {
  int32_t px = 0, py = 0;
  windowPointer(d, &px, &py);
  *x = scaledCoordinate(px, d->marginLeft, d->scaleX);
  *y = scaledCoordinate(py, d->marginTop, d->scaleY);
}
