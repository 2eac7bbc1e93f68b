// The wake pipe and the main thread's event wait. Invariant: the process has
// one wake pipe, made once and never replaced, so every writer (signal
// thread, pointer watchers, other threads) and the one reader always meet
// on the same pipe; messages are written whole in one write, which a pipe
// keeps atomic.
#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/thread_private.h"
#include "platform/linux/x11calls_private.h"
#include "platform/linux/eventhooks_private.h"

std::atomic<uint8_t> vmEventPollGate{0};

namespace {

std::atomic<int> wakeRead{-1};
std::atomic<int> wakeWrite{-1};
pthread_mutex_t pipeMaking = PTHREAD_MUTEX_INITIALIZER;
int eventsPending = 0;

bool setNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

int CreateWakePipe(int* readEnd, int* writeEnd) {
  pthread_mutex_lock(&pipeMaking);
  if (wakeRead.load() < 0) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
      pthread_mutex_unlock(&pipeMaking);
      return 0;
    }
    if (!setNonBlocking(ends[0]) || !setNonBlocking(ends[1])) {
      close(ends[0]);
      close(ends[1]);
      pthread_mutex_unlock(&pipeMaking);
      return 0;
    }
    wakeWrite.store(ends[1]);
    wakeRead.store(ends[0]);
  }
  pthread_mutex_unlock(&pipeMaking);
  if (readEnd) *readEnd = wakeRead.load();
  if (writeEnd) *writeEnd = wakeWrite.load();
  return 1;
}

void SendWakeMessage(uint32_t kind, uint64_t value) {
  // A running script polls at its next instruction (a store on a lock-free
  // byte, safe in a signal handler).
  vmEventPollGate.store(1, std::memory_order_relaxed);
  int fd = wakeWrite.load();
  if (fd < 0) return;
  WakeMessage message = {kind, 0, value};
  // A full pipe already holds a wake-up; the message may be dropped then.
  while (write(fd, &message, sizeof message) < 0 && errno == EINTR) {
  }
}

ErrorCode WakeEventLoop() {
  if (DisplayAdapterActive()) return WakeAdapterEventLoop();
  SendWakeMessage(WAKE_EVENT, 0);
  return ERR_NONE;
}

uint32_t ReadWakeMessages(X11ConnectionRecord** pointerConnection) {
  WantX11PointerWatch();
  int fd = wakeRead.load();
  if (fd < 0) return 0;
  uint32_t kinds = 0;
  WakeMessage message;
  for (;;) {
    ssize_t n = read(fd, &message, sizeof message);
    if (n < 0 && errno == EINTR) continue;
    if (n < static_cast<ssize_t>(sizeof message)) break;
    if (message.kind < 32) kinds |= 1u << message.kind;
    if (message.kind == WAKE_TIMER) {
      HandleTimerMessage(&message);
    } else if (message.kind == WAKE_POINTER && pointerConnection) {
      *pointerConnection =
          reinterpret_cast<X11ConnectionRecord*>(static_cast<uintptr_t>(message.value));
    }
  }
  return kinds;
}

void SetX11EventsPending(int pending) { eventsPending = pending ? 1 : 0; }

ErrorCode WaitForEvents(void*, uint32_t) {
  if (eventsPending) {
    eventsPending = 0;
    return ERR_NONE;
  }
  // Events that Xlib has already read off a connection leave its socket
  // empty: select would not see them.
  for (X11ConnectionRecord* c = GetX11ConnectionList(); c; c = c->next)
    if (!c->lost.load() && XEventsQueued(c->display, QueuedAlready) > 0) return ERR_NONE;
  for (;;) {
    fd_set set;
    FD_ZERO(&set);
    int highest = -1;
    int fd = wakeRead.load();
    if (fd >= 0 && fd < FD_SETSIZE) {
      FD_SET(fd, &set);
      highest = fd;
    }
    for (X11ConnectionRecord* c = GetX11ConnectionList(); c; c = c->next) {
      if (c->lost.load() || c->fd < 0 || c->fd >= FD_SETSIZE) continue;
      FD_SET(c->fd, &set);
      if (c->fd > highest) highest = c->fd;
    }
    // Nothing to wait on would block for ever.
    if (highest < 0) return ERR_NONE;
    if (select(highest + 1, &set, nullptr, nullptr, nullptr) >= 0 || errno != EINTR) break;
  }
  return ERR_NONE;
}
