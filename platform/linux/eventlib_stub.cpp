// Stand-ins for the media and audio services that the threads and timers
// call, until those libraries are built. Each does the least that keeps
// its caller correct.
#include <cstdint>

#include "platform/linux/platform.h"

// Waiting for the media library: the cross-thread event list does not exist
// yet, so the notice is dropped (as a node that cannot be allocated is).
__attribute__((weak)) void PostThreadEvent(int32_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                           int32_t wake) {
  if (wake) WakeEventLoop();
}

// Waiting for the ALSA output: no channel arms a sample-loop timer yet.
__attribute__((weak)) void HandleSampleLoopSignal(void*) {}
