// Worker threads with a start hand-shake, a polled stop request and a join
// with release. Invariant: a ThreadRecord outlives its thread. The starter
// waits until the thread reports its set-up; a thread that ran never ends
// before its owner released it, so JoinThread can free the record safely.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <new>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "platform/linux/files_private.h"
#include "platform/linux/thread_private.h"

struct ThreadRecord {
  pthread_t thread;
  pthread_cond_t condition;
  PlatformMutex mutex;
  void* argument;
  std::atomic<int32_t> exitCode;
  int32_t started;  // under mutex
  std::atomic<int32_t> stopRequested;
  std::atomic<int32_t> released;
};

namespace {

int systemCreate(pthread_t* thread, const pthread_attr_t* attributes, ThreadEntry entry,
                 void* argument) {
  return pthread_create(thread, attributes, entry, argument);
}

// A test seam (SetThreadCreateFunction); no run state.
std::atomic<ThreadCreateFunc> createFunction{systemCreate};

// Creation with the timer signals blocked, so the new thread inherits a mask
// that leaves them to the signal thread.
int createBlocked(pthread_t* thread, const pthread_attr_t* attributes, ThreadEntry entry,
                  void* argument) {
  sigset_t timerSignals, saved;
  sigemptyset(&timerSignals);
  sigaddset(&timerSignals, SIGRTMIN);
  sigaddset(&timerSignals, SIGRTMIN + 1);
  pthread_sigmask(SIG_BLOCK, &timerSignals, &saved);
  int result = createFunction.load()(thread, attributes, entry, argument);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return result;
}

// Round-robin attributes at min(priority, maximum); false when any step is
// refused.
bool setRoundRobin(pthread_attr_t* attributes, int32_t priority) {
  if (pthread_attr_setinheritsched(attributes, PTHREAD_EXPLICIT_SCHED) != 0) return false;
  if (pthread_attr_setschedpolicy(attributes, SCHED_RR) != 0) return false;
  struct sched_param parameter;
  if (pthread_attr_getschedparam(attributes, &parameter) != 0) return false;
  int maximum = sched_get_priority_max(SCHED_RR);
  if (maximum < 0) return false;
  parameter.sched_priority = priority < maximum ? priority : maximum;
  return pthread_attr_setschedparam(attributes, &parameter) == 0;
}

void freeRecord(ThreadRecord* record) {
  DestroyMutex(&record->mutex);
  pthread_cond_destroy(&record->condition);
  record->~ThreadRecord();
  FreeMemory(record);
}

}  // namespace

void SetThreadCreateFunction(ThreadCreateFunc create) {
  createFunction.store(create ? create : systemCreate);
}

pthread_t CreateThread(ThreadEntry entry, void* argument, int32_t priority) {
  pthread_t thread;
  if (priority != 0) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) == 0) {
      int result = -1;
      if (setRoundRobin(&attributes, priority))
        result = createBlocked(&thread, &attributes, entry, argument);
      pthread_attr_destroy(&attributes);
      if (result == 0) return thread;
      // Without the right to real-time scheduling the creation itself is
      // refused (EPERM, or EINVAL for a policy the system lacks); the
      // thread still runs, with default attributes.
      if (result > 0 && result != EPERM && result != EINVAL) return 0;
    }
  }
  if (createBlocked(&thread, nullptr, entry, argument) != 0) return 0;
  return thread;
}

ThreadRecord* StartNamedThread(const char*, ThreadEntry entry, void* argument, uintptr_t, size_t,
                               int32_t priority) {
  void* block = AllocMemory(sizeof(ThreadRecord), 1);
  if (!block) return nullptr;
  auto* record = new (block) ThreadRecord();
  record->argument = argument;
  if (InitRecursiveMutex(&record->mutex) != 0) {
    record->~ThreadRecord();
    FreeMemory(record);
    return nullptr;
  }
  if (pthread_cond_init(&record->condition, nullptr) != 0) {
    DestroyMutex(&record->mutex);
    record->~ThreadRecord();
    FreeMemory(record);
    return nullptr;
  }
  pthread_t thread = CreateThread(entry, record, priority);
  if (thread == 0) {
    freeRecord(record);
    return nullptr;
  }
  record->thread = thread;
  LockMutex(&record->mutex);
  while (!record->started) pthread_cond_wait(&record->condition, &record->mutex.mutex);
  UnlockMutex(&record->mutex);
  if (record->exitCode.load() != 0) {
    // The thread reported a failed set-up and returns without waiting.
    pthread_join(thread, nullptr);
    freeRecord(record);
    return nullptr;
  }
  return record;
}

void RequestThreadStop(ThreadRecord* thread) { thread->stopRequested.store(1); }

void JoinThread(ThreadRecord* thread) {
  if (!thread) return;
  thread->released.store(1);
  pthread_join(thread->thread, nullptr);
  freeRecord(thread);
}

void StopAndJoinThread(void* holder) {
  auto* thread = static_cast<ThreadRecord**>(holder)[1];
  if (!thread) return;
  RequestThreadStop(thread);
  JoinThread(thread);
}

ThreadRecord* ThreadRecordFromArg(void* argument) { return static_cast<ThreadRecord*>(argument); }

void* GetThreadArgument(ThreadRecord* thread) { return thread->argument; }

void SignalThreadStarted(ThreadRecord* thread) {
  LockMutex(&thread->mutex);
  thread->started = 1;
  pthread_cond_signal(&thread->condition);
  UnlockMutex(&thread->mutex);
}

void SetThreadExitCode(ThreadRecord* thread, int32_t code) {
  thread->exitCode.store(code);
  if (code == 0) return;
  LockMutex(&thread->mutex);
  thread->started = 1;
  pthread_cond_signal(&thread->condition);
  UnlockMutex(&thread->mutex);
}

int32_t GetThreadExitCode(ThreadRecord* thread) { return thread->exitCode.load(); }

int ThreadStopRequested(ThreadRecord* thread) { return thread->stopRequested.load(); }

void WaitThreadRelease(ThreadRecord* thread) {
  while (!thread->released.load()) usleep(1000);
}
