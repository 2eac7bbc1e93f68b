// Stand-ins for the event, display, plug-in and audio library services that
// the threads, timers, X11 wait and requesters call, until those libraries
// are built. Each does the least that keeps its caller correct.
#include "platform/linux/eventlib.h"

#include <cstdint>

// Waiting for the event library: without a display adapter its wait is the
// X11 event wait, and without its pump nothing else drains the wake pipe, so
// this stand-in drains it once the wait returns (timer messages still reach
// the timer list).
__attribute__((weak)) ErrorCode WaitPlatformEvent(VmState*, int32_t, int32_t, void*) {
  ErrorCode error = WaitForEvents(nullptr, 0);
  ReadWakeMessages(nullptr);
  return error;
}

// Waiting for the event library: its interval records are keyed by their
// identifier pair; until it exists the record's address is the key.
__attribute__((weak)) ErrorCode AddTimerRecord(VmState*, void* interval, int32_t milliseconds,
                                               int32_t periodic) {
  return TimerControl(periodic ? TIMER_ADD_PERIODIC : TIMER_ADD_ONESHOT,
                      reinterpret_cast<uintptr_t>(interval), 0, milliseconds);
}
__attribute__((weak)) void RemoveInterval(VmState*, void* interval) {
  TimerControl(TIMER_REMOVE_PERIODIC, reinterpret_cast<uintptr_t>(interval), 0, 0);
  TimerControl(TIMER_REMOVE_ONESHOT, reinterpret_cast<uintptr_t>(interval), 0, 0);
}

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

// Waiting for the entry point's run function: no script is running.
__attribute__((weak)) VmState* GetRunningVmState() { return nullptr; }

// Waiting for the display library: no display is open.
__attribute__((weak)) int FindRequesterParentWindow(X11ConnectionRecord** connection,
                                                    unsigned long* window, int* grabbed) {
  if (connection) *connection = nullptr;
  if (window) *window = 0;
  if (grabbed) *grabbed = 0;
  return 0;
}
__attribute__((weak)) void SetRequesterParentGrab(int) {}

// Waiting for the runtime's applet record: no title is known.
__attribute__((weak)) const char* GetAppletTitle() { return nullptr; }
