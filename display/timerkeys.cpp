// The event library's side of the timer list and of the event wait, as the
// platform layer calls them. Invariant: a timer is keyed by the address of
// the record that owns it (an interval, a timeout or the shared poll timer)
// and a zero second key, so the dispatcher can tell its own records apart.
// Nothing here refers to the dispatcher.
#include "platform/linux/eventlib.h"

// Waiting for the plug-in library: no timer adapter can be installed yet,
// so every timer is a platform timer.
ErrorCode AddTimerRecord(VmState*, void* interval, int32_t milliseconds, int32_t periodic) {
  return TimerControl(periodic ? TIMER_ADD_PERIODIC : TIMER_ADD_ONESHOT,
                      reinterpret_cast<uintptr_t>(interval), 0, milliseconds);
}

void RemoveInterval(VmState*, void* interval) {
  TimerControl(TIMER_REMOVE_PERIODIC, reinterpret_cast<uintptr_t>(interval), 0, 0);
  TimerControl(TIMER_REMOVE_ONESHOT, reinterpret_cast<uintptr_t>(interval), 0, 0);
}

// Waiting for the plug-in library: a display adapter's wait hook cannot be
// installed yet, so the wait is the X11 one. The wake pipe is left for the
// pump, which reads it in order with the X events.
ErrorCode WaitPlatformEvent(VmState*, int32_t, int32_t, void*) { return WaitForEvents(nullptr, 0); }
