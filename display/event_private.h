// What the event library's files share: event names, the poll and the
// dispatcher, user event types, the interval and timeout lists that the
// dispatcher fires and the records it takes out of them.
// Invariant: a record is in exactly one list while its timer runs; once
// unlinked it is freed by whoever unlinked it.
#pragma once

#include "display/display.h"

// ---- Events, handlers, intervals and timeouts ----

constexpr int32_t WINDOW_EVENT_NAMES = 35;
constexpr int32_t GLOBAL_EVENT_NAMES = 13;
extern const char* const WindowEventNames[WINDOW_EVENT_NAMES];
extern const char* const GlobalEventNames[GLOBAL_EVENT_NAMES];

// Object types of interval records.
enum : int32_t { OBJECT_INTERVAL = 41, OBJECT_TIMEOUT = 42 };
// Releases a display's handler references and forgets its user data; the
// display library calls it before it frees a display.
void ForgetDisplayHandlers(VmState* L, DisplayRecord* display);

// One step of the dispatcher: *handled is 1 when a handler ran. Returns 0,
// the handler's error, or ERR_USERABORT for a quit. The waiting commands
// call it in a loop with their own wait between rounds.
ErrorCode DispatchEvent(VmState* L, int* handled);

struct UserEventType {
  UserEventType* next;
  char* name;
  int32_t type;
  int32_t mode;
  VmRef handler, userData;
  UserEventMessageHook messageHook;
  UserEventCallHook callHook;
  UserEventFreeHook freeHook;
  void* thirdHook;
  int32_t builtin;  // the hooks are never called
};
UserEventType* FindUserEventType(const char* name);
UserEventType* FindUserEventTypeByNumber(int32_t type);

struct IntervalRecord {
  ObjectHead head;  // type OBJECT_INTERVAL or OBJECT_TIMEOUT
  VmRef handler;
  int32_t milliseconds;
  VmRef userData;
  uintptr_t adapterTimer;  // a timer adapter's handle; none while no adapter exists
};

// The listed interval whose address is key, or null (the key may belong to
// another client of the timer list, such as the shared poll timer).
IntervalRecord* FindIntervalByKey(uintptr_t key);
// Unlinks a fired timeout found by its key and returns it (null when it is
// not listed); the caller releases its references and frees it.
IntervalRecord* TakeTimeoutByKey(uintptr_t key);
// Frees every interval and timeout with their references and timers.
void FreeAllIntervals(VmState* L);
void FreeAllUserEventTypes(VmState* L);
// The timer commands' table entries, joined into the library's table.
extern const CommandTableEntry INTERVAL_COMMANDS[];
UserEventType* GetUserEventTypeList();

// What the display and event libraries install into the layers below when
// either opens (the same set each time): the event poll, the queue's
// payload freer and size-event filter, the requester's parent display.
void InstallDisplayServices();
// The pump's sink for the platform's X11 events (pump.cpp).
void InstallEventSink();
// A button (0 left, 1 right, 2 middle) as the pump saw it (the pointer's
// position: QueryDisplayPointer in display.h).
int IsDisplayButtonHeld(DisplayRecord* display, int32_t index);

// ---- Input commands (inputcmds.cpp) ----
extern const CommandTableEntry INPUT_COMMANDS[];
extern const ConstantTableEntry INPUT_CONSTANTS[];
// Every queued event the dispatcher takes out passes here first, so that a
// waiting command sees the clicks and keys it waits for.
void NoteDispatchedEvent(const EventRecord* event);
// The pointer as MouseX and MouseY give it: inside the drawing area, less
// the left and top margins, divided by the scale factors, truncated.
void GetDisplayMousePosition(DisplayRecord* display, int32_t* x, int32_t* y);
// The next dispatcher step starts a new round (BreakEventHandler).
void RestartDispatchRound();

// What a waiting command looks for among the events the dispatcher takes.
struct InputWatch {
  int32_t eventType;  // EVENT_LEFTBUTTON ...; 0: none
  int32_t keyCode;    // a key's code, -1 any key
  int32_t pressed;    // the press was seen
  int32_t done;       // the release after it was seen
};

// ---- Buttons (buttons.cpp) ----
constexpr int32_t BUTTON_HANDLERS = 8;
// A button of a background picture; the picture's list is newest first.
struct qmBGPicButton {
  qmBGPicButton* next;
  ObjectHead head;         // the identifier pair (head.next is not used)
  int32_t type;            // SIMPLEBUTTON 0, LAYERBUTTON 1
  int32_t x1, y1, x2, y2;  // corners included
  int32_t enabled;
  int32_t over;
  int32_t pressed[3];               // left, right, middle
  VmRef handlers[BUTTON_HANDLERS];  // "onmouseover" ... "onmidmouseup"
  void* layer;                      // a layer button's layer
  int32_t layerHidden;              // hit on a hidden layer too
  int32_t layerExtra;               // stored only
  VmRef userData;
};
// What the dispatcher needs to call a button's handler.
struct ButtonMessage {
  DisplayRecord* display;
  qmBGPicButton* button;
  VmRef handler, userData;
  const char* action;
  int32_t layerIndex;  // a layer button's layer position (1-based), else 0
};
extern const CommandTableEntry BUTTON_COMMANDS[];
extern const ConstantTableEntry BUTTON_CONSTANTS[];
// A queued mouse button event offered to the buttons of the picture its
// display shows: 1 when a button's handler takes it (*m filled).
int OfferToButtons(const EventRecord* event, ButtonMessage* m);
// The over state of the display's buttons against the pointer: 1 when an
// "OnMouseOut" or "OnMouseOver" handler is due (*m filled).
int CheckButtonsUnderPointer(DisplayRecord* display, ButtonMessage* m);
// The fields of a button message's table (kind 1).
void FillButtonMessage(VmState* L, const ButtonMessage* m);
// Frees every button of the picture with its references.
void FreeBGPicButtons(VmState* L, BGPic* pic);
// Frees the buttons attached to a layer (it is being deleted), or hands
// them to the layer that replaces it.
void FreeLayerButtons(VmState* L, BGPic* pic, void* layer);
void MoveLayerButtons(BGPic* pic, void* from, void* to);
// Clears the over and pressed states of the picture's buttons.
void ResetButtonStates(BGPic* pic);
// The layer a layer button names (argument index): ERR_LAYERRANGE when the
// picture has no such layer.
ErrorCode FindButtonLayer(VmState* L, int index, BGPic* pic, void** layer);

// ---- Legacy events (legacy.cpp) ----
struct LegacyEvent {
  LegacyEvent* next;
  int32_t type;
  int32_t id;
  int32_t x1, y1, x2, y2;  // buttons, corners included
  char* key;               // key-down events: an owned copy
  int32_t enabled;
};
extern const CommandTableEntry LEGACY_COMMANDS[];
extern const ConstantTableEntry LEGACY_CONSTANTS[];
// The dispatcher's legacy phase, before queued events are routed: 1 when a
// legacy event named an existing label (the events through it are gone
// from the queue and the jump waits for TakeLegacyJump).
int RunLegacyPhase(VmState* L);
// A command that ran the dispatcher ends with this when it is non-zero:
// the jump to the waiting label is set up and repeat (-1: go on after the
// command on return, -2: run the command again) is the command's result.
int TakeLegacyJump(VmState* L, int repeat);
// An enabled CLOSEWINDOW event reports close requests instead of ending.
bool LegacyReportsClose();
void FreeLegacyEvents();
// Whether the display has a handler for the queued event type (the slot
// that type's events go to, pressed or not).
bool DisplayHasEventHandler(const DisplayRecord* display, int32_t type);
// A bounded copy of a list of names ended by an empty name (null without
// memory); hostevent.cpp.
void* CopyDropList(const char* list);
// Whether the caller runs on the thread that opened the event library.
bool OnHostEventMainThread();
// Releases the payload of an event dropped without being consumed.
void FreeEventPayload(VmState* L, int32_t type, void* payload);
// Whether the display's scaling swallows its window-size events (scaled by
// either scaling mode without an explicit scale factor).
bool DisplaySwallowsSizeEvents(const DisplayRecord* display);
// The X11 part of the first open display with a window, or null.
X11DisplayRecord* FindRequesterParentRecord();
// The poll tick's state for tests: 1 while it is parked (the script took
// no open gate, so it runs no code); *ticks counts the gates it opened.
int PollTickState(uint64_t* ticks);
