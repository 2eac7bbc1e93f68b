// The event queue: a first-in, first-out list of EventRecords from any
// producer thread to the main thread. Invariant: the head, the tail, every
// queued record's fields and the open flag are touched only under the one
// recursive mutex; a record unlinked from the queue belongs to whoever
// unlinked it, and payloads are released only on the main thread.
#include <atomic>

#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "runtime/context_private.h"
#include "runtime/runtime_private.h"

namespace {

std::atomic<PlatformMutex*> queueMutex{nullptr};
std::atomic<int32_t> timeoutMs{EVENT_TIMEOUT_DEFAULT_MS};
std::atomic<EventClockFunc> clockFn{nullptr};
std::atomic<EventPayloadFreer> payloadFreer{nullptr};
std::atomic<SizeEventFilter> sizeFilter{nullptr};

void readClock(TimeValue* now) {
  EventClockFunc fn = clockFn.load(std::memory_order_acquire);
  if (fn) {
    fn(now);
  } else {
    GetSysTime(now);
  }
}

// Age in milliseconds, signed: both words are unsigned, and a microsecond
// part smaller than the event's must borrow from the seconds instead of
// wrapping (which made a 1 ms old event look 4.3 million ms old). An event
// stamped after now (the clock stepped back) has a negative age.
int64_t ageMs(const TimeValue& now, const TimeValue& stamp) {
  int64_t micros =
      (static_cast<int64_t>(now.seconds) - static_cast<int64_t>(stamp.seconds)) * 1000000 +
      (static_cast<int64_t>(now.micros) - static_cast<int64_t>(stamp.micros));
  return micros / 1000;
}

// Unlinks the oldest count events (all of them for a negative count) and
// returns them as a chain. The mutex is held.
EventRecord* unlinkOldest(int64_t count) {
  if (count == 0 || !runtimeContext.queueHead) return nullptr;
  EventRecord* first = runtimeContext.queueHead;
  EventRecord* last = runtimeContext.queueHead;
  for (int64_t n = 1; last->next && (count < 0 || n < count); ++n) last = last->next;
  runtimeContext.queueHead = last->next;
  if (!runtimeContext.queueHead) runtimeContext.queueTail = nullptr;
  last->next = nullptr;
  return first;
}

void releaseChain(VmState* L, EventRecord* chain) {
  while (chain) {
    EventRecord* next = chain->next;
    ReleaseEventRecord(L, chain);
    chain = next;
  }
}

}  // namespace

ErrorCode InitEventQueue() {
  PlatformMutex* mutex = queueMutex.load(std::memory_order_acquire);
  if (!mutex) {
    mutex = AllocMutex();
    if (!mutex) return ERR_SEMAPHORE;
    queueMutex.store(mutex, std::memory_order_release);
  }
  LockMutex(mutex);
  runtimeContext.queueOpen = true;
  UnlockMutex(mutex);
  GetCurrentDateStamp(&runtimeContext.startDate);
  return ERR_NONE;
}

int PostEvent(DisplayRecord* display, int32_t type, int32_t a1, int32_t a2, int32_t a3,
              void* userData) {
  PlatformMutex* mutex = queueMutex.load(std::memory_order_acquire);
  if (!mutex) return 0;
  LockMutex(mutex);
  if (!runtimeContext.queueOpen) {
    UnlockMutex(mutex);
    return 0;
  }
  if (type == EVENT_WINDOWSIZE) {
    SizeEventFilter swallows = sizeFilter.load(std::memory_order_acquire);
    if (display && swallows && swallows(display)) {
      UnlockMutex(mutex);
      return 0;
    }
    // Only the newest size of a display matters: older ones are skipped.
    for (EventRecord* e = runtimeContext.queueHead; e; e = e->next) {
      if (e->type == EVENT_WINDOWSIZE && e->display == display) e->type = EVENT_NEUTRALISED;
    }
  }
  auto* event = static_cast<EventRecord*>(AllocMemory(sizeof(EventRecord), 1));
  if (!event) {
    UnlockMutex(mutex);
    return -1;
  }
  event->type = type;
  event->args[0] = a1;
  event->args[1] = a2;
  event->args[2] = a3;
  event->display = display;
  event->userData = userData;
  readClock(&event->postedAt);
  event->postedSeconds = event->postedAt.seconds + event->postedAt.micros / 1e6;
  if (runtimeContext.queueTail) {
    runtimeContext.queueTail->next = event;
  } else {
    runtimeContext.queueHead = event;
  }
  runtimeContext.queueTail = event;
  UnlockMutex(mutex);
  return 1;
}

void FlushEvents(VmState* L, int32_t lastIndex, int32_t lock) {
  if (lastIndex < -1) return;
  PlatformMutex* mutex = queueMutex.load(std::memory_order_acquire);
  if (!mutex) return;
  if (lock) LockMutex(mutex);
  EventRecord* chain = unlinkOldest(lastIndex == -1 ? -1 : static_cast<int64_t>(lastIndex) + 1);
  if (lock) UnlockMutex(mutex);
  releaseChain(L, chain);
}

ErrorCode ExpireStaleEvents(VmState* L) {
  PlatformMutex* mutex = queueMutex.load(std::memory_order_acquire);
  int32_t timeout = timeoutMs.load(std::memory_order_relaxed);
  if (!mutex || timeout < 0) return ERR_NONE;
  LockMutex(mutex);
  TimeValue now;
  readClock(&now);
  int64_t stale = 0;
  for (EventRecord* e = runtimeContext.queueHead; e && ageMs(now, e->postedAt) > timeout;
       e = e->next)
    ++stale;
  EventRecord* chain = unlinkOldest(stale);
  UnlockMutex(mutex);
  releaseChain(L, chain);
  return ERR_NONE;
}

void DetachEventsFromDisplay(DisplayRecord* display) {
  PlatformMutex* mutex = queueMutex.load(std::memory_order_acquire);
  if (!mutex || !display) return;
  LockMutex(mutex);
  for (EventRecord* e = runtimeContext.queueHead; e; e = e->next) {
    if (e->display == display) e->display = nullptr;
  }
  UnlockMutex(mutex);
}

EventRecord* TakeNextEvent(VmState* L) {
  PlatformMutex* mutex = queueMutex.load(std::memory_order_acquire);
  if (!mutex) return nullptr;
  for (;;) {
    LockMutex(mutex);
    EventRecord* event = unlinkOldest(1);
    UnlockMutex(mutex);
    if (!event || event->type != EVENT_NEUTRALISED) return event;
    ReleaseEventRecord(L, event);
  }
}

void ReleaseEventRecord(VmState* L, EventRecord* event) {
  if (!event) return;
  if (event->userData) {
    EventPayloadFreer freer = payloadFreer.load(std::memory_order_acquire);
    if (freer) {
      freer(L, event->type, event->userData);
    } else {
      FreeMemory(event->userData);
    }
  }
  FreeMemory(event);
}

void FreeEventQueue(VmState* L) {
  PlatformMutex* mutex = queueMutex.load(std::memory_order_acquire);
  if (!mutex) return;
  LockMutex(mutex);
  EventRecord* chain = unlinkOldest(-1);
  runtimeContext.queueOpen = false;
  UnlockMutex(mutex);
  releaseChain(L, chain);
}

void SetEventExpiryTimeout(int32_t milliseconds) {
  timeoutMs.store(milliseconds, std::memory_order_relaxed);
}

int32_t GetEventExpiryTimeout() { return timeoutMs.load(std::memory_order_relaxed); }

void GetStartDateStamp(DateFields* out) { *out = runtimeContext.startDate; }

void SetEventQueueHooks(EventPayloadFreer freer, SizeEventFilter filter) {
  payloadFreer.store(freer, std::memory_order_release);
  sizeFilter.store(filter, std::memory_order_release);
}

void SetEventQueueClock(EventClockFunc fn) { clockFn.store(fn, std::memory_order_release); }

int DropQueuedEventsThrough(VmState* L, QueuedEventVisitor visit, void* context) {
  PlatformMutex* mutex = queueMutex.load(std::memory_order_acquire);
  if (!mutex) return 0;
  LockMutex(mutex);
  int64_t count = 0;
  bool chosen = false;
  for (EventRecord* e = runtimeContext.queueHead; e && !chosen; e = e->next) {
    ++count;
    if (e->type != EVENT_NEUTRALISED && visit(e, context)) chosen = true;
  }
  EventRecord* chain = chosen ? unlinkOldest(count) : nullptr;
  UnlockMutex(mutex);
  releaseChain(L, chain);
  return chosen ? 1 : 0;
}

int QueuedEventsPending() {
  PlatformMutex* mutex = queueMutex.load(std::memory_order_acquire);
  if (!mutex) return 0;
  LockMutex(mutex);
  int pending = 0;
  for (EventRecord* e = runtimeContext.queueHead; e && !pending; e = e->next)
    pending = e->type != EVENT_NEUTRALISED;
  UnlockMutex(mutex);
  return pending;
}

int32_t GetQueuedEventByIndex(int32_t index, QueuedEventCopy* out, int take) {
  *out = QueuedEventCopy{};
  PlatformMutex* mutex = queueMutex.load(std::memory_order_acquire);
  if (!mutex || index < 0) return 0;
  LockMutex(mutex);
  EventRecord* e = runtimeContext.queueHead;
  for (int32_t i = 0; e && i < index; ++i) e = e->next;
  if (!e) {
    UnlockMutex(mutex);
    return 0;
  }
  out->display = e->display;
  out->type = e->type;
  out->seconds = e->postedSeconds;
  out->userData = e->userData;
  switch (e->type) {
    case 1:
    case 2:
    case 16:
      for (int i = 0; i < 3; ++i) out->args[i] = e->args[i];
      break;
    case 3:
    case 28:
    case 29:
      out->args[2] = e->args[0];
      out->keys[0] = e->args[2];
      out->keys[1] = e->args[1];
      break;
    case 14:
    case 22:
      out->args[0] = e->args[0];
      out->args[1] = e->args[1];
      break;
    case 26:
      out->args[2] = e->args[2];
      break;
    default:
      break;
  }
  if (take) e->userData = nullptr;
  UnlockMutex(mutex);
  return index + 1;
}
