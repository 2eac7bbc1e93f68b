// Stand-ins for the network library services that the socket back end
// calls, until that library is built. These are plain definitions: a real
// one built beside them is a duplicate-symbol error until its stand-in here
// is deleted.
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "platform/linux/socket_private.h"

// Waiting for the network library: the time-out arithmetic is its own; this
// copy computes the same remaining time so the back end waits correctly.
double GetRemainingTimeout(const SocketTimeout* timeout) {
  double block = timeout->blockTime;
  double total = timeout->totalTime;
  if (block < 0 && total < 0) return -1;
  double elapsed = GetTimeSeconds() - timeout->startTime;
  if (block < 0) {
    double left = total - elapsed;
    return left > 0 ? left : 0;
  }
  if (total < 0) {
    double left = block - elapsed;
    return left > 0 ? left : 0;
  }
  double left = total - elapsed;
  if (left < 0) left = 0;
  return block < left ? block : left;
}

// Waiting for the network library: its status texts.
const char* SocketStatusText(int32_t status) {
  switch (status) {
    case -2:
      return "closed";
    case -1:
      return "timeout";
    case 0:
      return nullptr;
    default:
      return "unknown error";
  }
}
