// Intervals and timeouts: script callbacks on periodic and one-shot timers.
// Invariant: every listed record owns a running timer keyed by its address
// and its handler reference; a record whose timer could not be started is
// never left in a list.
#include <cstring>
#include <initializer_list>

#include "display/event_private.h"
#include "platform/linux/platform.h"
#include "display/context_private.h"

namespace {

IntervalRecord** listOf(int32_t type) {
  return type == OBJECT_INTERVAL ? &displayContext.intervals : &displayContext.timeouts;
}

bool sameId(const IntervalRecord* r, ObjectId id) {
  return id.autoId ? r->head.autoId == id.autoId : (!r->head.autoId && r->head.number == id.number);
}

IntervalRecord* next(IntervalRecord* r) { return reinterpret_cast<IntervalRecord*>(r->head.next); }

// Unlinks the record with the identifier; null when none.
IntervalRecord* unlinkById(int32_t type, ObjectId id) {
  for (IntervalRecord** link = listOf(type); *link;
       link = reinterpret_cast<IntervalRecord**>(&(*link)->head.next)) {
    if (sameId(*link, id)) {
      IntervalRecord* r = *link;
      *link = next(r);
      r->head.next = nullptr;
      return r;
    }
  }
  return nullptr;
}

IntervalRecord* findById(int32_t type, ObjectId id) {
  for (IntervalRecord* r = *listOf(type); r; r = next(r))
    if (sameId(r, id)) return r;
  return nullptr;
}

ErrorCode notFound(int32_t type, ObjectId id) {
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return type == OBJECT_INTERVAL ? ERR_FINDINTERVAL : ERR_FINDTIMEOUT;
}

// Stops the timer and releases everything of an unlinked record.
void destroy(VmState* L, IntervalRecord* r) {
  RemoveInterval(L, r);
  VmReleaseReference(L, VM_REGISTRY_INDEX, r->handler);
  VmReleaseReference(L, VM_REGISTRY_INDEX, r->userData);
  FreeMemory(r);
}

void append(int32_t type, IntervalRecord* r) {
  IntervalRecord** link = listOf(type);
  while (*link) link = reinterpret_cast<IntervalRecord**>(&(*link)->head.next);
  *link = r;
}

int startTimer(VmState* L, int32_t type) {
  CheckArgCount(L, 3, 4, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  VmCheckFunction(L, 2);
  int32_t ms = VmCheckInteger(L, 3);
  if (ms < 1) return ERR_WRONGUSAGE;
  if (!automatic) {
    if (IntervalRecord* old = unlinkById(type, id)) destroy(L, old);
  }
  auto* r = static_cast<IntervalRecord*>(AllocMemory(sizeof(IntervalRecord), 1));
  if (!r) return ERR_MEM;
  r->head.type = type;
  r->head.number = automatic ? 0 : id.number;
  r->head.autoId = automatic ? r : id.autoId;
  r->milliseconds = ms;
  r->userData = VM_REF_NIL;
  VmPushValue(L, 2);
  r->handler = VmCreateReference(L, VM_REGISTRY_INDEX);
  if (VmGetTop(L) >= 4) {
    VmPushValue(L, 4);
    r->userData = VmCreateReference(L, VM_REGISTRY_INDEX);
  }
  append(type, r);
  ErrorCode error = AddTimerRecord(L, r, ms, type == OBJECT_INTERVAL ? 1 : 0);
  if (error != ERR_NONE) {
    unlinkById(type, ObjectId{r->head.autoId, r->head.number});
    VmReleaseReference(L, VM_REGISTRY_INDEX, r->handler);
    VmReleaseReference(L, VM_REGISTRY_INDEX, r->userData);
    FreeMemory(r);
    return error;
  }
  if (!automatic) return 0;
  VmPushLightUserdata(L, r);
  return 1;
}

int clearTimer(VmState* L, int32_t type) {
  CheckArgCount(L, 1, 1, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  IntervalRecord* r = unlinkById(type, id);
  if (!r) return notFound(type, id);
  destroy(L, r);
  return 0;
}

int cmdSetInterval(VmState* L) { return startTimer(L, OBJECT_INTERVAL); }
int cmdSetTimeout(VmState* L) { return startTimer(L, OBJECT_TIMEOUT); }
int cmdClearInterval(VmState* L) { return clearTimer(L, OBJECT_INTERVAL); }
int cmdClearTimeout(VmState* L) { return clearTimer(L, OBJECT_TIMEOUT); }

// Periods below 1 ms are refused here as SetInterval refuses them: a zero
// period would turn the periodic timer into a disarmed one.
int cmdChangeInterval(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t ms = VmCheckInteger(L, 2);
  IntervalRecord* r = findById(OBJECT_INTERVAL, id);
  if (!r) return notFound(OBJECT_INTERVAL, id);
  if (ms < 1) return ERR_WRONGUSAGE;
  ErrorCode error = TimerControl(TIMER_CHANGE_PERIOD, reinterpret_cast<uintptr_t>(r), 0, ms);
  if (error != ERR_NONE) return error;
  r->milliseconds = ms;
  return 0;
}

}  // namespace

const CommandTableEntry INTERVAL_COMMANDS[] = {
    {"SetInterval", cmdSetInterval},       {"SetTimeout", cmdSetTimeout},
    {"ChangeInterval", cmdChangeInterval}, {"ClearInterval", cmdClearInterval},
    {"ClearTimeout", cmdClearTimeout},     {nullptr, nullptr},
};

IntervalRecord* FindIntervalByKey(uintptr_t key) {
  for (IntervalRecord* r = displayContext.intervals; r; r = next(r))
    if (reinterpret_cast<uintptr_t>(r) == key) return r;
  return nullptr;
}

IntervalRecord* TakeTimeoutByKey(uintptr_t key) {
  for (IntervalRecord** link = &displayContext.timeouts; *link;
       link = reinterpret_cast<IntervalRecord**>(&(*link)->head.next)) {
    if (reinterpret_cast<uintptr_t>(*link) == key) {
      IntervalRecord* r = *link;
      *link = next(r);
      r->head.next = nullptr;
      // The one-shot timer is gone once it fired; removing it again is
      // harmless and covers a record taken before its report.
      RemoveInterval(nullptr, r);
      return r;
    }
  }
  return nullptr;
}

void FreeAllIntervals(VmState* L) {
  for (IntervalRecord** list : {&displayContext.intervals, &displayContext.timeouts}) {
    while (IntervalRecord* r = *list) {
      *list = next(r);
      destroy(L, r);
    }
  }
}
