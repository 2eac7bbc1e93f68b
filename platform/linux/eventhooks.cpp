// The slots through which the libraries above the platform hand it their
// services (the event poll, a display adapter's loop, the requester's parent
// display, the applet's title), and the platform's side of the timer list
// and of the event wait as the event library calls them.
// Invariants: an empty slot means the service does not exist, and every
// caller then acts as it would without it; a timer is keyed by the address
// of the record that owns it (an interval, a timeout or the shared poll
// timer) and a zero second key, so the dispatcher can tell its own records
// apart. The adapter slots are read from timer threads, so they are atomic.
#include <atomic>

#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/eventhooks_private.h"

namespace {

EventPollFunction eventPoll = nullptr;
std::atomic<AdapterActiveFunction> adapterActive{nullptr};
std::atomic<AdapterWakeFunction> adapterWake{nullptr};
std::atomic<AdapterWaitFunction> adapterWait{nullptr};
RequesterParentFunction requesterParent = nullptr;
RequesterGrabFunction requesterGrab = nullptr;
AppletTitleFunction appletTitle = nullptr;

}  // namespace

void SetEventPoll(EventPollFunction poll) { eventPoll = poll; }

int RunEventPoll(VmState* L, int32_t flags, int32_t unused, ErrorCode* error) {
  if (eventPoll) return eventPoll(L, flags, unused, error);
  if (error) *error = ERR_NONE;
  return 0;
}

ErrorCode PollWhileWaiting(VmState* L) {
  ErrorCode error = ERR_NONE;
  if (RunEventPoll(L, 2, 0, &error)) return error != ERR_NONE ? error : ERR_USERABORT;
  // Without an event poll a termination request still ends the wait.
  return NativeQuitRequested() ? ERR_USERABORT : ERR_NONE;
}

void SetDisplayAdapterHooks(AdapterActiveFunction active, AdapterWakeFunction wake) {
  adapterActive.store(active);
  adapterWake.store(wake);
}

int DisplayAdapterActive() {
  AdapterActiveFunction active = adapterActive.load();
  return active ? active() : 0;
}

ErrorCode WakeAdapterEventLoop() {
  AdapterWakeFunction wake = adapterWake.load();
  return wake ? wake() : ERR_NONE;
}

void SetRequesterParentHooks(RequesterParentFunction parent, RequesterGrabFunction grab) {
  requesterParent = parent;
  requesterGrab = grab;
}

X11DisplayRecord* FindRequesterParent() { return requesterParent ? requesterParent() : nullptr; }

void SetRequesterParentGrab(int grab) {
  if (requesterGrab) requesterGrab(grab);
}

void SetAppletTitleSource(AppletTitleFunction source) { appletTitle = source; }

const char* QueryAppletTitle() { return appletTitle ? appletTitle() : nullptr; }

// The timer list starts the timer through the timer adapter when one is
// installed (see SetTimerAdapterHooks), else as a POSIX timer.
ErrorCode AddTimerRecord(VmState*, void* interval, int32_t milliseconds, int32_t periodic) {
  return TimerControl(periodic ? TIMER_ADD_PERIODIC : TIMER_ADD_ONESHOT,
                      reinterpret_cast<uintptr_t>(interval), 0, milliseconds);
}

void RemoveInterval(VmState*, void* interval) {
  TimerControl(TIMER_REMOVE_PERIODIC, reinterpret_cast<uintptr_t>(interval), 0, 0);
  TimerControl(TIMER_REMOVE_ONESHOT, reinterpret_cast<uintptr_t>(interval), 0, 0);
}

void SetDisplayAdapterWait(AdapterWaitFunction wait) { adapterWait.store(wait); }

// The display adapter's wait when one is installed, else the X11 one. The
// wake pipe is left for the pump, which reads it in order with the X events.
ErrorCode WaitPlatformEvent(VmState* L, int32_t, int32_t, void*) {
  ErrorCode error = ERR_NONE;
  AdapterWaitFunction wait = adapterWait.load();
  if (wait && wait(L, &error)) return error;
  return WaitForEvents(nullptr, 0);
}
