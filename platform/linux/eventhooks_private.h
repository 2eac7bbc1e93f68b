// The slots that higher libraries fill, as platform/linux itself uses
// them: running the event poll, the display adapter's event loop, and the
// cross-thread event list. Used inside platform/linux and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/platform.h"

// ---- Services that higher libraries install ----
// The platform's threads, timers, waits, requesters and sockets need a few
// services of the libraries above it (the event poll, a display adapter's
// event loop, the display that parents a requester, the applet's title).
// Those libraries install them here when they open; every slot may be
// empty, and the platform then acts as if the service did not exist.

// Test seam: the poll that the sleep runs between wake-ups (the installed
// one unless replaced; null restores it).
void SetSleepEventPoll(EventPollFunction poll);

// 1 while a display-adapter plug-in drives the event loop.
int DisplayAdapterActive();
// Asks an installed display adapter's event loop to run once; 0 without one.
ErrorCode WakeAdapterEventLoop();

// The sample-loop timer of an audio channel expired: posts its loop event.
void HandleSampleLoopSignal(void* channel);
