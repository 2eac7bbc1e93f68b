// Stand-ins for the media and sound services that the threads and timers
// call, until those libraries are built. Each does the least that keeps its
// caller correct. These are plain definitions: a real one built beside them
// is a duplicate-symbol error until its stand-in here is deleted.
#include <cstdint>

#include "platform/linux/platform.h"
#include "platform/linux/x11calls_private.h"
#include "platform/linux/eventhooks_private.h"

// Waiting for the media library: the cross-thread event list does not exist
// yet, so the notice is dropped (as a node that cannot be allocated is).
void PostThreadEvent(int32_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, int32_t wake) {
  if (wake) WakeEventLoop();
}

// Waiting for the sound library: no channel arms a sample-loop timer yet.
void HandleSampleLoopSignal(void*) {}
