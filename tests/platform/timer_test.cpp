// POSIX timers reported through the wake pipe and the timer list: removal
// races, once-only reports, the dispatch walk across removals, the wake-up
// of the event wait, and sleeps that timer signals do not shorten.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <thread>
#include <vector>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "platform/linux/thread_private.h"
#include "platform/linux/x11calls_private.h"
#include "platform/linux/eventhooks_private.h"

// The event poll as the event library answers it: asked to stop when the
// test says so. Installed in place of the real poll by the fixture.
std::atomic<int> pollStop{0};
std::atomic<ErrorCode> pollError{ERR_NONE};
int TestPollEvents(VmState*, int32_t, int32_t, ErrorCode* error) {
  if (error) *error = pollError.load();
  return pollStop.load();
}

// A display adapter's event loop, switched on by the pipe-reader test: it
// counts the wake-ups it is asked for.
std::atomic<int> adapterActive{0};
std::atomic<int> adapterWakes{0};
int testAdapterActive() { return adapterActive.load(); }
ErrorCode testAdapterWake() {
  adapterWakes++;
  return ERR_NONE;
}

namespace {

constexpr int SIGNAL_WAIT_MS = 5000;  // bound on waiting for a signal that must come

class Timer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SetSleepEventPoll(TestPollEvents);
    SetDisplayAdapterHooks(testAdapterActive, testAdapterWake);
    ASSERT_EQ(InstallTimerSignal(), ERR_NONE);
    ASSERT_EQ(CreateWakePipe(&readEnd, nullptr), 1);
  }
  static void TearDownTestSuite() {
    ShutdownTimers();
    SetSleepEventPoll(nullptr);
    SetDisplayAdapterHooks(nullptr, nullptr);
  }
  void SetUp() override { drain(); }
  void TearDown() override { FreeAllTimers(); }

  static bool pipeReadable(int milliseconds) {
    pollfd fd = {readEnd, POLLIN, 0};
    return poll(&fd, 1, milliseconds) == 1;
  }
  static void drain() {
    WakeMessage message;
    while (read(readEnd, &message, sizeof message) == static_cast<ssize_t>(sizeof message)) {
    }
  }
  // Reads timer messages until `count` have come for the record, passing
  // every one to the timer list as the event pump does.
  static int readTimerMessages(TimerRecord* record, int count) {
    int seen = 0;
    while (seen < count && pipeReadable(SIGNAL_WAIT_MS)) {
      WakeMessage message;
      while (read(readEnd, &message, sizeof message) == static_cast<ssize_t>(sizeof message)) {
        if (message.kind == WAKE_TIMER) HandleTimerMessage(&message);
        if (message.kind == WAKE_TIMER && message.value == reinterpret_cast<uintptr_t>(record))
          seen++;
      }
    }
    return seen;
  }
  struct Report {
    int32_t kind;
    uintptr_t keys[2];
  };
  static std::vector<Report> walk() {
    std::vector<Report> reports;
    TimerRecord* record = nullptr;
    do {
      Report r = {TIMER_EVENT_NONE, {0, 0}};
      record = TakeTimerEvent(record, &r.kind, r.keys);
      if (r.kind != TIMER_EVENT_NONE) reports.push_back(r);
    } while (record);
    return reports;
  }
  static int readEnd;
};
int Timer::readEnd = -1;

TEST_F(Timer, RemovedTimerIsNeverReported) {
  struct Case {
    const char* name;
    int32_t add, remove;
  };
  const Case cases[] = {{"periodic", TIMER_ADD_PERIODIC, TIMER_REMOVE_PERIODIC},
                        {"one-shot", TIMER_ADD_ONESHOT, TIMER_REMOVE_ONESHOT}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    drain();
    // A timer that never fires by itself marks the end of the late signals.
    ASSERT_EQ(TimerControl(TIMER_ADD_ONESHOT, 90, 0, 100000), ERR_NONE);
    TimerRecord* marker = FindTimerRecord(1, 90, 0, nullptr);
    ASSERT_NE(marker, nullptr);
    ASSERT_EQ(TimerControl(c.add, 11, 12, 5), ERR_NONE);
    // The signal is in the pipe before the removal reaches the list.
    ASSERT_TRUE(pipeReadable(SIGNAL_WAIT_MS));
    ASSERT_EQ(TimerControl(c.remove, 11, 12, 0), ERR_NONE);
    // Queued signals of one number are taken in order, so once the marker's
    // report is in, every signal the removed timer had sent is read too.
    sigval value;
    value.sival_ptr = marker;
    ASSERT_EQ(sigqueue(getpid(), SIGRTMIN, value), 0);
    uint32_t kinds = 0;
    std::vector<Report> reports;
    while (reports.empty() && pipeReadable(SIGNAL_WAIT_MS)) {
      kinds |= ReadWakeMessages(nullptr);
      reports = walk();
    }
    EXPECT_NE(kinds & (1u << WAKE_TIMER), 0u);
    ASSERT_EQ(reports.size(), 1u);  // the marker's only
    EXPECT_EQ(reports[0].keys[0], 90u);
    EXPECT_EQ(FindTimerRecord(c.add, 11, 12, nullptr), nullptr);
  }
}

TEST_F(Timer, PeriodicFiringSeveralTimesIsReportedOnce) {
  ASSERT_EQ(TimerControl(TIMER_ADD_PERIODIC, 1, 2, 10), ERR_NONE);
  TimerRecord* record = FindTimerRecord(0, 1, 2, nullptr);
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(readTimerMessages(record, 3), 3);
  std::vector<Report> reports = walk();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, TIMER_EVENT_INTERVAL);
  EXPECT_EQ(reports[0].keys[0], 1u);
  EXPECT_EQ(reports[0].keys[1], 2u);
  EXPECT_NE(FindTimerRecord(0, 1, 2, nullptr), nullptr);  // a periodic timer stays
  EXPECT_TRUE(walk().empty());
}

TEST_F(Timer, OneShotIsReportedOnceAndThenGone) {
  ASSERT_EQ(TimerControl(TIMER_ADD_ONESHOT, 3, 4, 5), ERR_NONE);
  TimerRecord* record = FindTimerRecord(1, 3, 4, nullptr);
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(readTimerMessages(record, 1), 1);
  std::vector<Report> reports = walk();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, TIMER_EVENT_TIMEOUT);
  EXPECT_EQ(reports[0].keys[0], 3u);
  EXPECT_EQ(FindTimerRecord(1, 3, 4, nullptr), nullptr);
  EXPECT_TRUE(walk().empty());
}

TEST_F(Timer, KindsWithSameKeysAreDistinct) {
  ASSERT_EQ(TimerControl(TIMER_ADD_PERIODIC, 5, 6, 100000), ERR_NONE);
  ASSERT_EQ(TimerControl(TIMER_ADD_ONESHOT, 5, 6, 100000), ERR_NONE);
  ASSERT_EQ(TimerControl(TIMER_REMOVE_PERIODIC, 5, 6, 0), ERR_NONE);
  EXPECT_EQ(FindTimerRecord(0, 5, 6, nullptr), nullptr);
  TimerRecord* oneShot = FindTimerRecord(1, 5, 6, nullptr);
  EXPECT_NE(oneShot, nullptr);
  // Only a periodic timer has a period to change.
  EXPECT_EQ(TimerControl(TIMER_CHANGE_PERIOD, 5, 6, 10), ERR_NONE);
  EXPECT_EQ(FindTimerRecord(0, 5, 6, nullptr), nullptr);
  EXPECT_EQ(FindTimerRecord(1, 5, 6, nullptr), oneShot);
  EXPECT_EQ(TimerControl(9, 5, 6, 10), ERR_NONE);  // unknown operations do nothing
}

TEST_F(Timer, WalkSurvivesRemovalOfTheRecordItWouldVisitNext) {
  ASSERT_EQ(TimerControl(TIMER_ADD_PERIODIC, 7, 0, 100000), ERR_NONE);
  ASSERT_EQ(TimerControl(TIMER_ADD_PERIODIC, 8, 0, 100000), ERR_NONE);
  ASSERT_EQ(TimerControl(TIMER_ADD_PERIODIC, 9, 0, 100000), ERR_NONE);
  TimerRecord* first = FindTimerRecord(0, 7, 0, nullptr);
  TimerRecord* third = FindTimerRecord(0, 9, 0, nullptr);
  MarkTimerFired(first);
  MarkTimerFired(third);
  int32_t kind;
  uintptr_t keys[2];
  TimerRecord* next = TakeTimerEvent(nullptr, &kind, keys);
  EXPECT_EQ(kind, TIMER_EVENT_INTERVAL);
  EXPECT_EQ(keys[0], 7u);
  // The handler of the first interval clears the second one.
  ASSERT_EQ(TimerControl(TIMER_REMOVE_PERIODIC, 8, 0, 0), ERR_NONE);
  std::vector<uintptr_t> rest;
  while (next) {
    next = TakeTimerEvent(next, &kind, keys);
    if (kind != TIMER_EVENT_NONE) rest.push_back(keys[0]);
  }
  EXPECT_EQ(rest, std::vector<uintptr_t>{9});
}

TEST_F(Timer, OneWakePipePerProcess) {
  int read1 = -1, write1 = -1, read2 = -1, write2 = -1;
  ASSERT_EQ(CreateWakePipe(&read1, &write1), 1);
  ASSERT_EQ(CreateWakePipe(&read2, &write2), 1);
  EXPECT_EQ(read1, read2);
  EXPECT_EQ(write1, write2);
}

TEST_F(Timer, WakeBeforeTheWaitEndsItAtOnce) {
  // A watchdog ends a wait that wrongly blocks, so a fault fails the test
  // instead of hanging it.
  std::atomic<bool> done{false}, watchdogFired{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 1000 && !done; i++) usleep(10000);
    if (!done) {
      watchdogFired = true;
      SendWakeMessage(WAKE_EVENT, 0);
    }
  });
  SendWakeMessage(WAKE_EVENT, 0);
  EXPECT_EQ(WaitForEvents(nullptr, 0), ERR_NONE);
  EXPECT_FALSE(watchdogFired);
  // The wait reads nothing: the pipe stays readable until it is drained.
  EXPECT_EQ(ReadWakeMessages(nullptr), 1u << WAKE_EVENT);
  SetX11EventsPending(1);
  EXPECT_EQ(WaitForEvents(nullptr, 0), ERR_NONE);
  EXPECT_FALSE(watchdogFired);
  done = true;
  watchdog.join();
}

TEST_F(Timer, SleepEndsWhenThePollAsksToStop) {
  struct Case {
    const char* name;
    ErrorCode pollError;
    ErrorCode result;
  };
  const Case cases[] = {{"quit request", ERR_NONE, ERR_USERABORT},
                        {"error of the poll", ERR_THREAD, ERR_THREAD}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pollStop = 1;
    pollError = c.pollError;
    SendWakeMessage(WAKE_EVENT, 0);  // an event arrives during the sleep
    double start = GetTimeSeconds();
    EXPECT_EQ(SleepWithEvents(nullptr, 60000), c.result);
    EXPECT_LT(GetTimeSeconds() - start, 30.0);
    pollStop = 0;
    pollError = ERR_NONE;
  }
}

TEST_F(Timer, PipeReaderServesTheAdapterLoop) {
  adapterWakes = 0;
  EXPECT_EQ(StartPipeReader(), ERR_NONE);  // no adapter: nothing to do
  adapterActive = 1;
  ASSERT_EQ(StartPipeReader(), ERR_NONE);
  ASSERT_EQ(TimerControl(TIMER_ADD_ONESHOT, 30, 0, 5), ERR_NONE);
  // The reader marks the timer fired and wakes the adapter's loop.
  std::vector<Report> reports;
  for (int i = 0; i < 500 && reports.empty(); i++) {
    usleep(10000);
    reports = walk();
  }
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, TIMER_EVENT_TIMEOUT);
  EXPECT_EQ(reports[0].keys[0], 30u);
  EXPECT_GE(adapterWakes.load(), 1);
  StopPipeReader();
  adapterActive = 0;
}

TEST_F(Timer, SleepsLastTheirWholeTimeWhileAnIntervalRuns) {
  ASSERT_EQ(TimerControl(TIMER_ADD_PERIODIC, 20, 0, 20), ERR_NONE);
  double start = GetTimeSeconds();
  Delay(2500);
  EXPECT_GE(GetTimeSeconds() - start, 2.5);
  EXPECT_EQ(SleepWithEvents(nullptr, 0), ERR_NONE);
  start = GetTimeSeconds();
  EXPECT_EQ(SleepWithEvents(nullptr, 100), ERR_NONE);
  EXPECT_GE(GetTimeSeconds() - start, 0.1);
}

}  // namespace
