// What the event queue calls of the display and event libraries. Those
// libraries do not exist yet; eventlib_stub.cpp stands in for them and goes
// away when they arrive (their service header then declares these).
#pragma once

#include <cstdint>

struct VmState;
struct DisplayRecord;

// Releases the payload of an event dropped without being consumed.
void FreeEventPayload(VmState* L, int32_t type, void* payload);
// Whether the display's scaling swallows its window-size events (scaled by
// either scaling mode without an explicit scale factor).
bool DisplaySwallowsSizeEvents(const DisplayRecord* display);
