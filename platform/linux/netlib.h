// What the socket back end calls of the network and event libraries. Those
// libraries do not exist yet; netlib_stub.cpp stands in for them and goes
// away when they arrive (their service headers then declare these).
#pragma once

#include "platform/linux/platform.h"

// Seconds a wait may still block under the record; negative for no limit.
double GetRemainingTimeout(const SocketTimeout* timeout);
// "closed" for -2, "timeout" for -1, null for 0, "unknown error" otherwise.
const char* SocketStatusText(int32_t status);
// One pass of the central event poll; 1 when the script must stop (the
// error, 0 for a quit request, in *error).
int PollEvents(VmState* L, int32_t flags, int32_t unused, ErrorCode* error);
// Test seam: the poll that SleepWithEvents runs between wake-ups (PollEvents
// unless replaced; null restores it).
using EventPollFunction = int (*)(VmState* L, int32_t flags, int32_t unused, ErrorCode* error);
void SetSleepEventPoll(EventPollFunction poll);
