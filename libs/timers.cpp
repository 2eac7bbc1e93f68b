// The system library's stopwatch timers and its plain wait.
//
// A timer counts wall-clock time: while it runs, its elapsed time is
// now + offset - start; while it is paused, start is zero and offset holds
// the frozen elapsed time. Times are kept as signed microseconds, so a
// negative starting value and a clock that steps back stay well-defined.
#include <algorithm>
#include <cstdint>

#include "display/display.h"
#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

namespace {

// Wait units of the Wait command.
constexpr int32_t UNIT_SECONDS = 0;
constexpr int32_t UNIT_TICKS = 2;
// One tick is a fiftieth of a second.
constexpr int64_t MILLIS_PER_TICK = 20;

struct TimerObject {
  ObjectHead head;
  int64_t start;   // microseconds of the clock at the last start; 0 while paused
  int64_t offset;  // microseconds already counted
  int32_t paused;
};

struct TimerState {
  ObjectHead* timers = nullptr;  // TimerObject list, appended at the tail
};
TimerState timerState;

int64_t nowMicros() {
  TimeValue t;
  GetSysTime(&t);
  return static_cast<int64_t>(t.seconds) * 1000000 + t.micros;
}

int64_t elapsedMicros(const TimerObject* t) {
  return t->paused ? t->offset : nowMicros() + t->offset - t->start;
}

// Whole milliseconds as a 32-bit value: seconds x 1000 + micros / 1000.
int32_t toMillis(int64_t micros) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(micros / 1000)));
}

bool optFlag(VmState* L, int index, bool def) {
  int t = VmType(L, index);
  if (t == VM_TYPE_NONE) return def;
  if (t == VM_TYPE_BOOLEAN) return VmToBoolean(L, index) != 0;
  return VmCheckNumber(L, index) != 0;
}

ErrorCode findTimer(ObjectId id, TimerObject** out) {
  *out = nullptr;
  for (ObjectHead* h = timerState.timers; h; h = h->next) {
    if (id.autoId ? h->autoId == id.autoId : (h->autoId == nullptr && h->number == id.number)) {
      *out = reinterpret_cast<TimerObject*>(h);
      return ERR_NONE;
    }
  }
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDTIMER;
}

ErrorCode timerArg(VmState* L, int index, TimerObject** timer) {
  return findTimer(GetObjectIdArg(L, index, nullptr), timer);
}

void restart(TimerObject* t) {
  t->paused = 0;
  t->offset = 0;
  t->start = nowMicros();
}

void freeTimer(VmState* L, TimerObject* t) {
  if (t->head.data) FreeObjectDataList(L, &t->head.data);
  FreeMemory(t);
}

// Sleeps through the display adapter's sleep or the runtime's wait, which
// ends early when the run must end; amounts beyond the 32-bit range are cut
// to it.
ErrorCode sleepMillis(VmState* L, int64_t millis) {
  return SleepViaAdapter(L, static_cast<int32_t>(std::min<int64_t>(millis, INT32_MAX)));
}

int cmdStartTimer(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  TimerObject* timer = nullptr;
  if (!automatic && findTimer(id, &timer) == ERR_NONE) {
    restart(timer);
    return 0;
  }
  timer = static_cast<TimerObject*>(AllocMemory(sizeof(TimerObject), 1));
  if (!timer) return ERR_MEM;
  timer->head.type = OBJTYPE_TIMER;
  timer->head.number = automatic ? 0 : id.number;
  timer->head.autoId = automatic ? timer : nullptr;
  restart(timer);
  ObjectHead** tail = &timerState.timers;
  while (*tail) tail = &(*tail)->next;
  *tail = &timer->head;
  if (!automatic) return 0;
  VmPushLightUserdata(L, timer);
  return 1;
}

int cmdGetTimer(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  TimerObject* timer;
  if (ErrorCode e = timerArg(L, 1, &timer)) return e;
  VmPushNumber(L, toMillis(elapsedMicros(timer)));
  return 1;
}

int cmdResetTimer(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  TimerObject* timer;
  if (ErrorCode e = timerArg(L, 1, &timer)) return e;
  int32_t value = VmOptInteger(L, 2, 0);
  timer->offset = static_cast<int64_t>(value / 1000) * 1000000 + (value % 1000) * 1000;
  timer->paused = 0;
  timer->start = nowMicros();
  return 0;
}

int cmdPauseTimer(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  TimerObject* timer;
  if (ErrorCode e = timerArg(L, 1, &timer)) return e;
  if (timer->paused) return 0;
  timer->offset = elapsedMicros(timer);
  timer->start = 0;
  timer->paused = 1;
  return 0;
}

int cmdResumeTimer(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  TimerObject* timer;
  if (ErrorCode e = timerArg(L, 1, &timer)) return e;
  if (!timer->paused) return 0;
  timer->paused = 0;
  timer->start = nowMicros();
  return 0;
}

int cmdStopTimer(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  TimerObject* timer;
  if (ErrorCode e = timerArg(L, 1, &timer)) return e;
  for (ObjectHead** p = &timerState.timers; *p; p = &(*p)->next) {
    if (*p == &timer->head) {
      *p = timer->head.next;
      break;
    }
  }
  freeTimer(L, timer);
  return 0;
}

int cmdWaitTimer(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  TimerObject* timer;
  if (ErrorCode e = timerArg(L, 1, &timer)) return e;
  int64_t target = VmCheckInteger(L, 2);
  bool restartAfter = optFlag(L, 3, true);
  if (timer->paused) return ERR_WRONGUSAGE;
  int64_t remaining = target - elapsedMicros(timer) / 1000;
  if (remaining > 0)
    if (ErrorCode e = sleepMillis(L, remaining)) return e;
  // The handlers that ran while it waited may have stopped the timer.
  if (restartAfter && findTimer(GetObjectIdArg(L, 1, nullptr), &timer) == ERR_NONE) restart(timer);
  return 0;
}

int cmdWait(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  int64_t amount = VmCheckInteger(L, 1);
  int32_t unit = VmOptInteger(L, 2, UNIT_TICKS);
  if (amount < 1) return 0;
  if (unit == UNIT_TICKS)
    amount *= MILLIS_PER_TICK;
  else if (unit == UNIT_SECONDS)
    amount *= 1000;
  return sleepMillis(L, amount);
}

int readTimerAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(timerState.timers));
    return 1;
  }
  TimerObject* timer;
  if (ErrorCode e = timerArg(L, 2, &timer)) return e;
  return ERR_UNKNOWNATTR;
}

const CommandTableEntry timerCommands[] = {
    {"StartTimer", cmdStartTimer},
    {"GetTimer", cmdGetTimer},
    {"ResetTimer", cmdResetTimer},
    {"PauseTimer", cmdPauseTimer},
    {"ResumeTimer", cmdResumeTimer},
    {"StopTimer", cmdStopTimer},
    {"WaitTimer", cmdWaitTimer},
    {"Wait", cmdWait},
    {nullptr, nullptr},
};

const ConstantTableEntry timerConstants[] = {
    {"SECONDS", nullptr, 0},
    {"MILLISECONDS", nullptr, 1},
    {"TICKS", nullptr, 2},
    {nullptr, nullptr, 0},
};

}  // namespace

ErrorCode OpenTimerCommands(VmState* L) {
  ErrorCode error = RegisterLibrary(timerCommands, "system");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, timerCommands, 0);
  VmRegisterConstants(L, timerConstants, 0);
  error = RegisterAttributeReader(OBJTYPE_TIMER, readTimerAttribute);
  if (error) return error;
  return RegisterObjectList(&timerState.timers);
}

void FreeTimers(VmState* L) {
  while (timerState.timers) {
    auto* timer = reinterpret_cast<TimerObject*>(timerState.timers);
    timerState.timers = timer->head.next;
    freeTimer(L, timer);
  }
}
