// Stand-ins for the event and display library services that the event
// queue calls; see eventlib.h.
#include "runtime/eventlib.h"

#include "platform/linux/platform.h"

// Waiting for the event library: no event type has a payload release of its
// own yet, so a payload is a plain heap block and freed as one.
void FreeEventPayload(VmState*, int32_t, void* payload) { FreeMemory(payload); }

// Waiting for the display library: displays have no scaling fields yet, so
// no display swallows its size events.
bool DisplaySwallowsSizeEvents(const DisplayRecord*) { return false; }
