// What the threads, timers, X11 wait and requesters call of the event,
// display, plug-in and audio libraries. Those libraries do not exist yet;
// eventlib_stub.cpp stands in for them with weak definitions that give way
// as soon as the real ones are linked in (their service headers will then
// declare these).
#pragma once

#include "platform/linux/netlib.h"  // PollEvents
#include "platform/linux/platform.h"

// Blocks until the next platform event or wake-up: 0, or an error code.
ErrorCode WaitPlatformEvent(VmState* L, int32_t mode, int32_t reserved, void* unused);
// Starts or stops an interval record of the event library through the timer
// list (or a timer adapter plug-in).
ErrorCode AddTimerRecord(VmState* L, void* interval, int32_t milliseconds, int32_t periodic);
void RemoveInterval(VmState* L, void* interval);
// Asks an installed display adapter's event loop to run once; 0 without one.
ErrorCode WakeAdapterEventLoop();
// 1 while a display-adapter plug-in drives the event loop.
int DisplayAdapterActive();
// Appends a node to the cross-thread event list for the main thread.
void PostThreadEvent(int32_t kind, uintptr_t argument1, uintptr_t argument2, uintptr_t value1,
                     uintptr_t value2, int32_t wake);
// The sample-loop timer of an audio channel expired: posts its loop event.
void HandleSampleLoopSignal(void* channel);
// The VM state of the running script, null while none runs.
VmState* GetRunningVmState();
// The first open display that has a window: its connection and window (0
// when none), and whether it holds a pointer and keyboard grab.
int FindRequesterParentWindow(X11ConnectionRecord** connection, unsigned long* window,
                              int* grabbed);
// Releases (0) or takes again (1) the grab of that display.
void SetRequesterParentGrab(int grab);
// The applet's title, null when it has none.
const char* GetAppletTitle();
