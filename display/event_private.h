// What the event library's files share: the interval and timeout lists
// that the dispatcher fires and the records it takes out of them.
// Invariant: a record is in exactly one list while its timer runs; once
// unlinked it is freed by whoever unlinked it.
#pragma once

#include "display/display.h"

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
// Releases the payload of an event dropped without being consumed.
void FreeEventPayload(VmState* L, int32_t type, void* payload);
// Whether the display's scaling swallows its window-size events (scaled by
// either scaling mode without an explicit scale factor).
bool DisplaySwallowsSizeEvents(const DisplayRecord* display);
// The X11 part of the first open display with a window, or null.
X11DisplayRecord* FindRequesterParentRecord();
