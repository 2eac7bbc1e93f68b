// Stand-ins for the event, display, plug-in and audio library services that
// the threads, timers, X11 wait and requesters call, until those libraries
// are built. Each does the least that keeps its caller correct.
#include "platform/linux/eventlib.h"

#include <cstdint>

// Waiting for the plug-in library: no display adapter can be installed yet.
__attribute__((weak)) ErrorCode WakeAdapterEventLoop() { return ERR_NONE; }
__attribute__((weak)) int DisplayAdapterActive() { return 0; }

// Waiting for the media library: the cross-thread event list does not exist
// yet, so the notice is dropped (as a node that cannot be allocated is).
__attribute__((weak)) void PostThreadEvent(int32_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                           int32_t wake) {
  if (wake) WakeEventLoop();
}

// Waiting for the ALSA output: no channel arms a sample-loop timer yet.
__attribute__((weak)) void HandleSampleLoopSignal(void*) {}

// Waiting for the display library: grabs around a requester are not
// handed back to the parent display yet.
__attribute__((weak)) void SetRequesterParentGrab(int) {}
