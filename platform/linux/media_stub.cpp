// Stand-ins for the media and sound services that the threads and timers
// call, until those libraries are built. Each does the least that keeps its
// caller correct. These are plain definitions: a real one built beside them
// is a duplicate-symbol error until its stand-in here is deleted.
#include <cstdint>

#include "platform/linux/platform.h"
#include "platform/linux/eventhooks_private.h"

// Waiting for the sound library: no channel arms a sample-loop timer yet.
void HandleSampleLoopSignal(void*) {}
