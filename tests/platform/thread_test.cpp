// Worker threads: the start hand-shake with failure, the stop request and
// join, and the fall-back to default attributes when real-time scheduling is
// refused.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/files_private.h"
#include "platform/linux/thread_private.h"

namespace {

// Threads of this process. A first thread made and joined beforehand lets
// runtime helpers (a sanitizer's background thread) start, so counts taken
// afterwards see only the threads under test.
int threadCount() {
  static bool settled = [] {
    pthread_t helper;
    if (pthread_create(
            &helper, nullptr, [](void*) -> void* { return nullptr; }, nullptr) == 0)
      pthread_join(helper, nullptr);
    return true;
  }();
  (void)settled;
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return -1;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') count++;
  closedir(dir);
  return count;
}

void* failingSetup(void* argument) {
  SetThreadExitCode(ThreadRecordFromArg(argument), 7);
  return nullptr;
}

struct Worker {
  std::atomic<int> passes{0};
  std::atomic<int> sawStop{0};
};

void* stoppableLoop(void* argument) {
  ThreadRecord* thread = ThreadRecordFromArg(argument);
  auto* worker = static_cast<Worker*>(GetThreadArgument(thread));
  SignalThreadStarted(thread);
  while (!ThreadStopRequested(thread)) {
    worker->passes++;
    usleep(1000);
  }
  worker->sawStop = 1;
  WaitThreadRelease(thread);
  SetThreadExitCode(thread, 0);
  return nullptr;
}

TEST(Thread, FailedSetupLeavesNoThreadAndReportsFailure) {
  int before = threadCount();
  EXPECT_EQ(StartNamedThread("failing", failingSetup, nullptr, 0, 16384, 0), nullptr);
  EXPECT_EQ(threadCount(), before);
}

TEST(Thread, StopRequestIsSeenAndJoinReturns) {
  struct Case {
    const char* name;
    bool throughHolder;  // StopAndJoinThread with a holder record
  };
  const Case cases[] = {{"request then join", false}, {"stop and join through holder", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int before = threadCount();
    Worker worker;
    ThreadRecord* thread = StartNamedThread("worker", stoppableLoop, &worker, 0, 16384, 0);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(threadCount(), before + 1);
    while (worker.passes < 2) usleep(1000);
    EXPECT_EQ(worker.sawStop, 0);
    if (c.throughHolder) {
      void* holder[2] = {nullptr, thread};
      StopAndJoinThread(holder);
    } else {
      RequestThreadStop(thread);
      JoinThread(thread);
    }
    EXPECT_EQ(worker.sawStop, 1);
    EXPECT_EQ(threadCount(), before);
  }
}

// A creation call that refuses explicit scheduling attributes the way the
// system does without the right to real-time priorities.
std::atomic<int> createCalls{0};
std::atomic<int> refusal{0};
int refusingCreate(pthread_t* thread, const pthread_attr_t* attributes, ThreadEntry entry,
                   void* argument) {
  createCalls++;
  if (attributes) {
    int inherit = 0;
    pthread_attr_getinheritsched(attributes, &inherit);
    if (inherit == PTHREAD_EXPLICIT_SCHED) return refusal.load();
  }
  return pthread_create(thread, attributes, entry, argument);
}

void* quickExit(void*) { return nullptr; }

TEST(Thread, RefusedRoundRobinStartsWithDefaultAttributes) {
  struct Case {
    const char* name;
    int32_t priority;
    int refusalCode;
    bool started;
    int calls;
  };
  const Case cases[] = {
      {"default priority makes one plain call", 0, EPERM, true, 1},
      {"no permission: again with defaults", 25, EPERM, true, 2},
      {"policy not offered: again with defaults", 100, EINVAL, true, 2},
      {"out of resources: no second try", 25, EAGAIN, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    createCalls = 0;
    refusal = c.refusalCode;
    SetThreadCreateFunction(refusingCreate);
    pthread_t thread = CreateThread(quickExit, nullptr, c.priority);
    SetThreadCreateFunction(nullptr);
    EXPECT_EQ(thread != 0, c.started);
    EXPECT_EQ(createCalls, c.calls);
    if (thread) pthread_join(thread, nullptr);
  }
}

TEST(Thread, RealTimeRequestRunsWhetherGrantedOrNot) {
  Worker worker;
  ThreadRecord* thread = StartNamedThread("audio", stoppableLoop, &worker, 0, 16384, 25);
  ASSERT_NE(thread, nullptr);
  RequestThreadStop(thread);
  JoinThread(thread);
  EXPECT_EQ(worker.sawStop, 1);
}

}  // namespace
