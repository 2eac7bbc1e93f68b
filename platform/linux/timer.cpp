// POSIX interval and one-shot timers, the signal thread that takes their
// signals and the termination signals, the sleep that keeps the event poll
// running, the shared poll timer and the pipe reader. Invariants: SIGRTMIN
// and SIGRTMIN + 1 are blocked in every thread this program makes, and
// taken only by the signal thread with sigwaitinfo, so their work runs in
// an ordinary thread; SIGINT, SIGTERM and SIGHUP are blocked in the signal
// thread alone and reach it through a forwarding handler, so programs
// started from the player inherit no blocked termination signal; the timer
// list and every fired flag change only under the timer lock, and a record
// is reported only while it is still in the list.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>

#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

#include "platform/linux/files_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/thread_private.h"
#include "platform/linux/x11calls_private.h"
#include "platform/linux/eventhooks_private.h"

struct TimerRecord {
  TimerRecord* next;
  int32_t oneShot;  // the add operation that made it: 0 periodic, 1 one-shot
  uintptr_t keys[2];
  int32_t fired;
  timer_t id;
  uintptr_t adapterTimer;  // the timer adapter's handle; 0: a POSIX timer
};

namespace {

EventPollFunction sleepEventPoll = nullptr;  // null: the installed poll

constexpr int32_t POLL_PERIOD_MS = 20;  // the shared poll timer's period

// Shared with the signal thread, which lives for the process; the library
// that adds a timer removes it.
PlatformMutex* timerLock = nullptr;
TimerRecord* timerList = nullptr;
std::atomic<int32_t> sleepDone{0};
pthread_t signalThread;
std::atomic<bool> signalThreadRunning{false};
int stopToken;  // its address, sent as a signal value, ends the signal thread

void timerSignalSet(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGRTMIN);
  sigaddset(set, SIGRTMIN + 1);
}

// The termination signals. The first one asks the run to end as a quit
// request does: NativeQuitRequested turns true and the event poll is woken
// to see it, so the normal shut-down deletes the run's temporary files, and
// every wait of the player looks at the request. A second one, while that
// shut-down has not finished, deletes them from here and ends the program
// at once; so does the first one when the main thread has not begun the
// shut-down within TERMINATION_GRACE_NS (it is held in a place that never
// looks, such as a plug-in's call), so one signal always ends the run
// within a second. The counts are outside the context record because the
// signal thread writes them; ShutdownTimers puts the request count back to
// 0, TakeTerminationSignal the signal's number.
constexpr int TERMINATION_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int TERMINATION_SIGNAL_COUNT = 3;
constexpr long TERMINATION_GRACE_NS = 750L * 1000000L;
std::atomic<int32_t> terminationRequests{0};
std::atomic<int32_t> terminationSignal{0};  // the first one's number
std::atomic<bool> shutdownBegun{false};
struct timespec terminationDeadline;  // the signal thread's own
struct sigaction savedTermination[TERMINATION_SIGNAL_COUNT];
bool terminationHandled[TERMINATION_SIGNAL_COUNT];

void terminationSignalSet(sigset_t* set) {
  sigemptyset(set);
  for (int signal : TERMINATION_SIGNALS) sigaddset(set, signal);
}

bool isTerminationSignal(int signal) {
  for (int s : TERMINATION_SIGNALS)
    if (s == signal) return true;
  return false;
}

// Ends the program from the signal thread: the run's temporary files go,
// standard output keeps what was printed (unless the main thread holds it
// this moment), and nothing else runs.
[[noreturn]] void endAtOnce(int signal) {
  DeleteRunTempNames();
  if (ftrylockfile(stdout) == 0) {
    fflush_unlocked(stdout);
    funlockfile(stdout);
  }
  _exit(128 + signal);
}

void handleTerminationSignal(int signal) {
  if (terminationRequests.fetch_add(1) == 0) {
    terminationSignal.store(signal);
    clock_gettime(CLOCK_MONOTONIC, &terminationDeadline);
    terminationDeadline.tv_nsec += TERMINATION_GRACE_NS;
    if (terminationDeadline.tv_nsec >= 1000000000L) {
      terminationDeadline.tv_sec += 1;
      terminationDeadline.tv_nsec -= 1000000000L;
    }
    SendWakeMessage(WAKE_EVENT, 0);
    return;
  }
  endAtOnce(signal);
}

// While a first termination signal waits for the shut-down to begin: the
// time left until its grace ends (at least 1 ns), or false when nothing
// waits.
bool graceLeft(struct timespec* left) {
  if (terminationRequests.load() == 0 || shutdownBegun.load()) return false;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long ns = (static_cast<long long>(terminationDeadline.tv_sec) - now.tv_sec) * 1000000000LL +
                 (terminationDeadline.tv_nsec - now.tv_nsec);
  if (ns < 1) ns = 1;
  left->tv_sec = static_cast<time_t>(ns / 1000000000LL);
  left->tv_nsec = static_cast<long>(ns % 1000000000LL);
  return true;
}

// A timer with no record belongs to SleepWithEvents; any other names its
// record, which the reader of the wake pipe marks fired.
void handleTimerSignal(void* record) {
  if (!record) {
    sleepDone.store(1);
    SendWakeMessage(WAKE_EVENT, 0);
  } else {
    SendWakeMessage(WAKE_TIMER, reinterpret_cast<uintptr_t>(record));
  }
}

void* signalThreadMain(void*) {
  sigset_t set, termination;
  timerSignalSet(&set);
  terminationSignalSet(&termination);
  sigorset(&set, &set, &termination);
  for (;;) {
    siginfo_t info;
    struct timespec left;
    bool waiting = graceLeft(&left);
    int signal = waiting ? sigtimedwait(&set, &info, &left) : sigwaitinfo(&set, &info);
    if (signal < 0) {
      // EINTR, or the grace of a termination ended with no shut-down begun.
      if (errno == EAGAIN && waiting && !shutdownBegun.load()) endAtOnce(terminationSignal.load());
      continue;
    }
    void* value = info.si_value.sival_ptr;
    if (signal == SIGRTMIN) {
      if (value == &stopToken) break;
      handleTimerSignal(value);
    } else if (isTerminationSignal(signal)) {
      handleTerminationSignal(signal);
    } else {
      HandleSampleLoopSignal(value);
    }
  }
  return nullptr;
}

// Reached only in a thread that did not block the timer signals (one made
// by a library before they were installed): hands the signal on to the
// signal thread, which has it blocked and takes it from its own queue.
void forwardTimerSignal(int signal, siginfo_t* info, void*) {
  if (signalThreadRunning.load()) pthread_sigqueue(signalThread, signal, info->si_value);
}

// Runs in whichever thread the kernel chose for a termination signal: the
// signal thread, which keeps it blocked, takes it from its own queue.
// pthread_kill may be called from a handler.
void forwardTerminationSignal(int signal) {
  if (signalThreadRunning.load()) pthread_kill(signalThread, signal);
}

// A termination signal that the program was started with ignored (nohup,
// a background job) stays ignored.
void installTerminationHandlers() {
  for (int i = 0; i < TERMINATION_SIGNAL_COUNT; i++) {
    terminationHandled[i] = false;
    if (sigaction(TERMINATION_SIGNALS[i], nullptr, &savedTermination[i]) != 0 ||
        savedTermination[i].sa_handler == SIG_IGN)
      continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = forwardTerminationSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    terminationHandled[i] = sigaction(TERMINATION_SIGNALS[i], &action, nullptr) == 0;
  }
}

void restoreTerminationHandlers() {
  for (int i = 0; i < TERMINATION_SIGNAL_COUNT; i++) {
    if (terminationHandled[i]) sigaction(TERMINATION_SIGNALS[i], &savedTermination[i], nullptr);
    terminationHandled[i] = false;
  }
}

bool installHandler(int signal) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = forwardTimerSignal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  return sigaction(signal, &action, nullptr) == 0;
}

bool isListed(const TimerRecord* record) {
  for (TimerRecord* r = timerList; r; r = r->next)
    if (r == record) return true;
  return false;
}

void unlink(TimerRecord* record) {
  for (TimerRecord** link = &timerList; *link; link = &(*link)->next) {
    if (*link == record) {
      *link = record->next;
      return;
    }
  }
}

TimerRecord* findRecord(int32_t oneShot, uintptr_t key1, uintptr_t key2) {
  for (TimerRecord* r = timerList; r; r = r->next)
    if (r->oneShot == oneShot && r->keys[0] == key1 && r->keys[1] == key2) return r;
  return nullptr;
}

// The timer adapter's two hooks while one is installed.
TimerAdapterRegister adapterRegister = nullptr;
TimerAdapterFree adapterFree = nullptr;

void freeRecord(TimerRecord* record) {
  if (!record->adapterTimer)
    timer_delete(record->id);
  else if (adapterFree)
    adapterFree(record->adapterTimer);
  FreeMemory(record);
}

// Starts the record's timer: the adapter's when one is installed.
bool startTimer(TimerRecord* record, int periodic, int32_t milliseconds) {
  if (adapterRegister) {
    record->adapterTimer = adapterRegister(milliseconds, periodic, record);
    return record->adapterTimer != 0;
  }
  return CreatePosixTimer(periodic, milliseconds, record, &record->id) != 0;
}

// The shared poll timer: an interval of the event library kept here.
struct PollTimer {
  int32_t clients[2];
  uintptr_t interval;  // the interval record's identity
} pollTimer = {{0, 0}, 1};

// The pipe reader.
pthread_t pipeReader;
bool pipeReaderRunning = false;

void* pipeReaderMain(void*) {
  int readEnd = -1;
  if (!CreateWakePipe(&readEnd, nullptr)) return nullptr;
  bool ending = false;
  while (!ending) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(readEnd, &set);
    if (select(readEnd + 1, &set, nullptr, nullptr, nullptr) < 0) continue;  // EINTR
    WakeMessage message;
    for (;;) {
      ssize_t n = read(readEnd, &message, sizeof message);
      if (n < 0 && errno == EINTR) continue;
      if (n < static_cast<ssize_t>(sizeof message)) break;
      if (message.kind == WAKE_TIMER) {
        HandleTimerMessage(&message);
        WakeAdapterEventLoop();
      } else if (message.kind == WAKE_EVENT) {
        WakeAdapterEventLoop();
      } else if (message.kind == WAKE_END_READER) {
        ending = true;
      }
    }
  }
  return nullptr;
}

}  // namespace

ErrorCode InstallTimerSignal() {
  if (timerLock) return ERR_NONE;
  sigset_t set;
  timerSignalSet(&set);
  // The caller (the main thread) and every thread it makes from now on keep
  // the signals blocked; only the signal thread takes them.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (!installHandler(SIGRTMIN) || !installHandler(SIGRTMIN + 1)) return ERR_SIGNAL;
  timerLock = AllocMutex();
  if (!timerLock) return ERR_SEMAPHORE;
  // The signal thread starts with the termination signals blocked, so a
  // forwarded one always waits in its queue.
  sigset_t termination, saved;
  terminationSignalSet(&termination);
  pthread_sigmask(SIG_BLOCK, &termination, &saved);
  signalThread = CreateThread(signalThreadMain, nullptr, 0);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (signalThread == 0) {
    FreeMutex(timerLock);
    timerLock = nullptr;
    return ERR_SIGNAL;
  }
  signalThreadRunning.store(true);
  installTerminationHandlers();
  return ERR_NONE;
}

int NativeQuitRequested() { return terminationRequests.load() != 0 ? 1 : 0; }

int PendingTerminationSignal() {
  return terminationRequests.load() != 0 ? terminationSignal.load() : 0;
}

void NoteShutdownBegun() { shutdownBegun.store(true); }

int TakeTerminationSignal() {
  shutdownBegun.store(false);
  return terminationSignal.exchange(0);
}

int CreatePosixTimer(int periodic, int32_t milliseconds, void* record, timer_t* id) {
  // Without the signal thread the timer's signal would end the process.
  if (!signalThreadRunning.load()) return 0;
  struct sigevent event;
  std::memset(&event, 0, sizeof event);
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGRTMIN;
  event.sigev_value.sival_ptr = record;
  timer_t timer;
  if (timer_create(CLOCK_REALTIME, &event, &timer) != 0) return 0;
  if (milliseconds < 0) milliseconds = 0;
  struct itimerspec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.it_value.tv_sec = milliseconds / 1000;
  spec.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  // A zero expiry would disarm the timer: the earliest expiry is 1 ns away.
  if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
  if (periodic) spec.it_interval = spec.it_value;
  if (timer_settime(timer, 0, &spec, nullptr) != 0) {
    timer_delete(timer);
    return 0;
  }
  *id = timer;
  return 1;
}

ErrorCode TimerControl(int32_t operation, uintptr_t key1, uintptr_t key2, int32_t milliseconds) {
  if (operation < 0 || operation > TIMER_CHANGE_PERIOD) return ERR_NONE;
  if (!timerLock) {
    // Timers live only while the signal is installed.
    return operation <= TIMER_ADD_ONESHOT ? ERR_TIMER : ERR_NONE;
  }
  ErrorCode result = ERR_NONE;
  LockMutex(timerLock);
  switch (operation) {
    case TIMER_ADD_PERIODIC:
    case TIMER_ADD_ONESHOT: {
      auto* record = static_cast<TimerRecord*>(AllocMemory(sizeof(TimerRecord), 1));
      if (!record) {
        result = ERR_MEM;
        break;
      }
      record->oneShot = operation;
      record->keys[0] = key1;
      record->keys[1] = key2;
      if (!startTimer(record, operation ^ 1, milliseconds)) {
        FreeMemory(record);
        result = ERR_TIMER;
        break;
      }
      TimerRecord** link = &timerList;
      while (*link) link = &(*link)->next;
      *link = record;
      break;
    }
    case TIMER_REMOVE_PERIODIC:
    case TIMER_REMOVE_ONESHOT: {
      TimerRecord* record = findRecord(operation - 2, key1, key2);
      if (record) {
        unlink(record);
        freeRecord(record);
      }
      break;
    }
    case TIMER_CHANGE_PERIOD: {
      TimerRecord* record = findRecord(0, key1, key2);
      if (!record) break;
      if (record->adapterTimer) {
        // The new timer first: a refusal leaves the old one running.
        uintptr_t timer = adapterRegister ? adapterRegister(milliseconds, 1, record) : 0;
        if (!timer) {
          result = ERR_TIMER;
          break;
        }
        if (adapterFree) adapterFree(record->adapterTimer);
        record->adapterTimer = timer;
        break;
      }
      timer_t timer;
      if (!CreatePosixTimer(1, milliseconds, record, &timer)) {
        result = ERR_TIMER;
        break;
      }
      timer_delete(record->id);
      record->id = timer;
      break;
    }
  }
  UnlockMutex(timerLock);
  return result;
}

void SetTimerAdapterHooks(TimerAdapterRegister registerTimer, TimerAdapterFree freeTimer) {
  adapterRegister = registerTimer;
  adapterFree = freeTimer;
}

void ReportAdapterTimerFire(void* timer) {
  if (!timerLock || !timer) return;
  LockMutex(timerLock);
  bool listed = isListed(static_cast<TimerRecord*>(timer));
  UnlockMutex(timerLock);
  // The wake reader marks it fired, as it does for a POSIX timer's signal.
  if (listed) SendWakeMessage(WAKE_TIMER, reinterpret_cast<uintptr_t>(timer));
}

TimerRecord* TakeTimerEvent(TimerRecord* record, int32_t* kind, uintptr_t keys[2]) {
  *kind = TIMER_EVENT_NONE;
  if (!timerLock) return nullptr;
  LockMutex(timerLock);
  // The handler run between two steps may have removed the record passed
  // back in: then the walk starts again at the head (reported records have
  // their flags cleared, so nothing is reported twice for one firing).
  if (!record || !isListed(record)) record = timerList;
  TimerRecord* next = record ? record->next : nullptr;
  if (record && record->fired) {
    keys[0] = record->keys[0];
    keys[1] = record->keys[1];
    if (record->oneShot) {
      *kind = TIMER_EVENT_TIMEOUT;
      unlink(record);
      freeRecord(record);
    } else {
      *kind = TIMER_EVENT_INTERVAL;
      record->fired = 0;
    }
  }
  UnlockMutex(timerLock);
  return next;
}

TimerRecord* FindTimerRecord(int32_t oneShot, uintptr_t key1, uintptr_t key2, TimerRecord** next) {
  if (next) *next = nullptr;
  if (!timerLock) return nullptr;
  LockMutex(timerLock);
  TimerRecord* record = findRecord(oneShot, key1, key2);
  if (record && next) *next = record->next;
  UnlockMutex(timerLock);
  return record;
}

void MarkTimerFired(TimerRecord* record) {
  if (!timerLock) return;
  LockMutex(timerLock);
  // A late signal of a removed timer finds its record gone.
  if (isListed(record)) record->fired = 1;
  UnlockMutex(timerLock);
}

void HandleTimerMessage(const WakeMessage* message) {
  MarkTimerFired(reinterpret_cast<TimerRecord*>(static_cast<uintptr_t>(message->value)));
}

void FreeAllTimers() {
  if (!timerLock) return;
  LockMutex(timerLock);
  while (timerList) {
    TimerRecord* record = timerList;
    timerList = record->next;
    freeRecord(record);
  }
  UnlockMutex(timerLock);
}

void ShutdownTimers() {
  if (!timerLock) return;
  FreeAllTimers();
  restoreTerminationHandlers();
  if (signalThreadRunning.load()) {
    union sigval value;
    value.sival_ptr = &stopToken;
    pthread_sigqueue(signalThread, SIGRTMIN, value);
    pthread_join(signalThread, nullptr);
    signalThreadRunning.store(false);
  }
  FreeMutex(timerLock);
  timerLock = nullptr;
  terminationRequests.store(0);
  shutdownBegun.store(false);
}

ErrorCode SleepWithEvents(VmState* L, int32_t milliseconds) {
  if (milliseconds <= 0) return ERR_NONE;
  sleepDone.store(0);
  timer_t timer;
  if (!CreatePosixTimer(0, milliseconds, nullptr, &timer)) {
    // No timer can end the wait (the timer signal is not installed yet, or
    // the system refused one): the sleep still lasts its time, unless a
    // termination request comes.
    return DelayUnlessQuit(milliseconds) ? ERR_USERABORT : ERR_NONE;
  }
  ErrorCode result = ERR_NONE;
  for (;;) {
    result = WaitPlatformEvent(L, 1, 0, nullptr);
    if (result != ERR_NONE) break;
    if (sleepDone.load()) break;
    if (sleepEventPoll) {
      ErrorCode error = ERR_NONE;
      if (sleepEventPoll(L, 2, 0, &error)) result = error != ERR_NONE ? error : ERR_USERABORT;
    } else {
      result = PollWhileWaiting(L);
    }
    if (result != ERR_NONE) break;
  }
  timer_delete(timer);
  return result;
}

ErrorCode AcquirePollTimer(VmState* L, int32_t client) {
  if (client < 0 || client > 1) return ERR_NONE;
  if (!pollTimer.clients[0] && !pollTimer.clients[1]) {
    ErrorCode error = AddTimerRecord(L, &pollTimer.interval, POLL_PERIOD_MS, 1);
    if (error != ERR_NONE) return error;
  }
  pollTimer.clients[client] = 1;
  return ERR_NONE;
}

void ReleasePollTimer(VmState* L, int32_t client) {
  if (client < 0 || client > 1 || !pollTimer.clients[client]) return;
  pollTimer.clients[client] = 0;
  if (!pollTimer.clients[0] && !pollTimer.clients[1]) RemoveInterval(L, &pollTimer.interval);
}

ErrorCode StartPipeReader() {
  if (!DisplayAdapterActive() || pipeReaderRunning) return ERR_NONE;
  if (!CreateWakePipe(nullptr, nullptr)) return ERR_THREAD;
  pipeReader = CreateThread(pipeReaderMain, nullptr, 100);
  if (pipeReader == 0) return ERR_THREAD;
  pipeReaderRunning = true;
  return ERR_NONE;
}

void StopPipeReader() {
  if (!pipeReaderRunning) return;
  SendWakeMessage(WAKE_END_READER, 0);
  pthread_join(pipeReader, nullptr);
  pipeReaderRunning = false;
}

void SetSleepEventPoll(EventPollFunction poll) { sleepEventPoll = poll; }
