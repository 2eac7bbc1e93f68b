// Event queue: merging of window-size events, expiry by age (on a test
// clock), flushing, detaching a display, posting to a closed queue or
// without memory, and many producer threads against one consumer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "display/display.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"

namespace {

TimeValue fakeNow = {1000000, 0};
void fakeClock(TimeValue* out) { *out = fakeNow; }

// A zeroed display record: posting a size event reads its scaling fields.
struct FakeDisplay {
  std::unique_ptr<char[]> bytes{new char[sizeof(DisplayRecord)]()};
};
DisplayRecord* fakeDisplay(FakeDisplay& storage) {
  return reinterpret_cast<DisplayRecord*>(storage.bytes.get());
}

class EventQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEventQueueClock(fakeClock);
    ASSERT_EQ(InitEventQueue(), ERR_NONE);
  }
  void TearDown() override {
    SetAllocFailure(0, false);
    FreeEventQueue(nullptr);
    SetEventQueueClock(nullptr);
    SetEventExpiryTimeout(60000);
  }
  // Posts an event whose first argument names it, with a heap payload that
  // every drop must release (ASan reports any that is lost).
  static void post(int32_t name, int32_t type = 1, DisplayRecord* display = nullptr) {
    ASSERT_EQ(PostEvent(display, type, name, 0, 0, AllocMemory(16, 1)), 1);
  }
  // Takes every live event out: their names in order.
  static std::vector<int32_t> drain() {
    std::vector<int32_t> names;
    while (EventRecord* e = TakeNextEvent(nullptr)) {
      names.push_back(e->args[0]);
      ReleaseEventRecord(nullptr, e);
    }
    return names;
  }
};

TEST_F(EventQueue, OnlyTheNewestSizeEventOfADisplayStaysLive) {
  FakeDisplay d1, d2;
  post(1, EVENT_WINDOWSIZE, fakeDisplay(d1));
  post(2, EVENT_WINDOWSIZE, fakeDisplay(d1));
  post(3, 7, fakeDisplay(d1));
  post(4, EVENT_WINDOWSIZE, fakeDisplay(d1));
  post(5, EVENT_WINDOWSIZE, fakeDisplay(d2));
  // The two older size events still hold their places as type 0: dropping
  // the two oldest records leaves everything that is live.
  FlushEvents(nullptr, 1, 1);
  std::vector<int32_t> types;
  std::vector<int32_t> names;
  while (EventRecord* e = TakeNextEvent(nullptr)) {
    types.push_back(e->type);
    names.push_back(e->args[0]);
    ReleaseEventRecord(nullptr, e);
  }
  EXPECT_EQ(names, (std::vector<int32_t>{3, 4, 5}));
  EXPECT_EQ(types, (std::vector<int32_t>{7, EVENT_WINDOWSIZE, EVENT_WINDOWSIZE}));

  // Consumed without flushing, the neutralised records are skipped.
  post(6, EVENT_WINDOWSIZE, fakeDisplay(d1));
  post(7, EVENT_WINDOWSIZE, fakeDisplay(d1));
  post(8, EVENT_WINDOWSIZE, fakeDisplay(d2));
  post(9, EVENT_WINDOWSIZE, fakeDisplay(d1));
  EXPECT_EQ(drain(), (std::vector<int32_t>{8, 9}));
}

TEST_F(EventQueue, EventsOlderThanTheTimeOutExpire) {
  struct Case {
    const char* name;
    int32_t timeoutMs;
    std::vector<TimeValue> stamps;  // posting times, oldest first
    TimeValue now;
    std::vector<int32_t> kept;  // indices into stamps
  };
  const Case cases[] = {
      {"61 s old is dropped, 59 s old kept", 60000, {{1000, 0}, {1002, 0}}, {1061, 0}, {1}},
      {"exactly the time-out is kept", 60000, {{1000, 500}}, {1060, 500}, {0}},
      {"one microsecond more is not a millisecond more", 60000, {{1000, 500}}, {1060, 1499}, {0}},
      {"a millisecond more is dropped", 60000, {{1000, 500}}, {1060, 1500}, {}},
      {"1 ms old across a second boundary is kept", 60000, {{1000, 999500}}, {1001, 500}, {0}},
      {"1 ms old with a larger microsecond part is kept", 1, {{1000, 999000}}, {1001, 0}, {0}},
      {"-1 keeps everything", -1, {{1000, 0}, {1001, 0}}, {90000, 0}, {0, 1}},
      {"all stale", 1000, {{1000, 0}, {1001, 0}, {1002, 0}}, {1010, 0}, {}},
      {"the walk stops at the first fresh event",
       5000,
       {{1000, 0}, {1009, 0}, {1000, 0}},
       {1010, 0},
       {1, 2}},
      {"an event from after now (clock set back) stops the walk",
       5000,
       {{2000, 0}, {1000, 0}},
       {1010, 0},
       {0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetEventExpiryTimeout(c.timeoutMs);
    for (size_t i = 0; i < c.stamps.size(); ++i) {
      fakeNow = c.stamps[i];
      post(static_cast<int32_t>(i));
    }
    fakeNow = c.now;
    EXPECT_EQ(ExpireStaleEvents(nullptr), ERR_NONE);
    EXPECT_EQ(drain(), c.kept);
  }
}

TEST_F(EventQueue, FlushDropsTheOldestUpToTheIndex) {
  struct Case {
    const char* name;
    int32_t lastIndex;
    std::vector<int32_t> left;
  };
  const Case cases[] = {
      {"index 0 removes one", 0, {1, 2, 3}},
      {"index 2 removes three", 2, {3}},
      {"an index past the end removes all", 9, {}},
      {"-1 removes all", -1, {}},
      {"lower indices remove nothing", -2, {0, 1, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int32_t i = 0; i < 4; ++i) post(i);
    FlushEvents(nullptr, c.lastIndex, 1);
    EXPECT_EQ(drain(), c.left);
  }
  FlushEvents(nullptr, -1, 1);  // an empty queue stays empty
  EXPECT_EQ(TakeNextEvent(nullptr), nullptr);
}

// Copies by index place the arguments by the event's kind; the take flag
// hands the payload to the caller, so flushing the queue no longer frees it
// (ASan reports a double free or a leak if it did).
TEST_F(EventQueue, CopiesByIndexPlaceArgumentsByKind) {
  FakeDisplay storage;
  DisplayRecord* display = fakeDisplay(storage);
  struct Case {
    int32_t type;
    std::vector<int32_t> args, keys;
  };
  const Case cases[] = {
      {1, {11, 12, 13}, {0, 0}},  {16, {11, 12, 13}, {0, 0}}, {3, {0, 0, 11}, {13, 12}},
      {29, {0, 0, 11}, {13, 12}}, {14, {11, 12, 0}, {0, 0}},  {26, {0, 0, 13}, {0, 0}},
      {7, {0, 0, 0}, {0, 0}},
  };
  for (const Case& c : cases)
    ASSERT_EQ(PostEvent(display, c.type, 11, 12, 13, AllocMemory(16, 1)), 1);
  QueuedEventCopy copy;
  for (int32_t i = 0; i < static_cast<int32_t>(std::size(cases)); ++i) {
    const Case& c = cases[i];
    ASSERT_EQ(GetQueuedEventByIndex(i, &copy, 0), i + 1) << c.type;
    EXPECT_EQ(copy.type, c.type);
    EXPECT_EQ(copy.display, display);
    EXPECT_EQ(copy.seconds, fakeNow.seconds + fakeNow.micros / 1e6);
    EXPECT_NE(copy.userData, nullptr);
    EXPECT_EQ((std::vector<int32_t>{copy.args, copy.args + 3}), c.args) << c.type;
    EXPECT_EQ((std::vector<int32_t>{copy.keys, copy.keys + 2}), c.keys) << c.type;
  }
  EXPECT_EQ(GetQueuedEventByIndex(static_cast<int32_t>(std::size(cases)), &copy, 0), 0);
  EXPECT_EQ(copy.type, 0);
  EXPECT_EQ(GetQueuedEventByIndex(-1, &copy, 0), 0);

  ASSERT_EQ(GetQueuedEventByIndex(2, &copy, 1), 3);
  void* taken = copy.userData;
  ASSERT_NE(taken, nullptr);
  ASSERT_EQ(GetQueuedEventByIndex(2, &copy, 0), 3);
  EXPECT_EQ(copy.userData, nullptr);
  FlushEvents(nullptr, -1, 1);
  FreeMemory(taken);
}

TEST_F(EventQueue, DetachingADisplayClearsItsEvents) {
  FakeDisplay d1, d2;
  post(0, 1, fakeDisplay(d1));
  post(1, 1, fakeDisplay(d2));
  post(2, EVENT_WINDOWSIZE, fakeDisplay(d1));
  DetachEventsFromDisplay(fakeDisplay(d1));
  std::vector<DisplayRecord*> displays;
  while (EventRecord* e = TakeNextEvent(nullptr)) {
    displays.push_back(e->display);
    ReleaseEventRecord(nullptr, e);
  }
  EXPECT_EQ(displays, (std::vector<DisplayRecord*>{nullptr, fakeDisplay(d2), nullptr}));
}

TEST_F(EventQueue, PostingFailsWithoutMemoryOrAnOpenQueue) {
  post(0);
  SetAllocFailure(1, false);
  EXPECT_EQ(PostEvent(nullptr, 1, 1, 0, 0, nullptr), -1);
  EXPECT_EQ(drain(), (std::vector<int32_t>{0}));

  post(2);
  FreeEventQueue(nullptr);  // releases what was queued and closes
  EXPECT_EQ(PostEvent(nullptr, 1, 3, 0, 0, nullptr), 0);
  EXPECT_EQ(TakeNextEvent(nullptr), nullptr);
  ASSERT_EQ(InitEventQueue(), ERR_NONE);  // reopens
  post(4);
  EXPECT_EQ(drain(), (std::vector<int32_t>{4}));
}

TEST_F(EventQueue, StartDateStampIsTheDateOfInitialisation) {
  SetEventQueueClock(nullptr);
  ASSERT_EQ(InitEventQueue(), ERR_NONE);
  TimeValue now;
  GetSysTime(&now);
  DateFields stamp;
  GetStartDateStamp(&stamp);
  int64_t seconds[1] = {0};
  ASSERT_EQ(DateToTime(&stamp, seconds, 0), 1);
  EXPECT_LE(std::llabs(seconds[0] - static_cast<int64_t>(now.seconds)), 2);
}

// Producers on several threads while the main thread drains: every event
// arrives once, and each producer's events arrive in posting order.
TEST_F(EventQueue, ManyProducersLoseAndDuplicateNothing) {
  constexpr int PRODUCERS = 4;
  constexpr int PER_PRODUCER = 100000;
  SetEventQueueClock(nullptr);
  std::vector<std::thread> producers;
  for (int p = 0; p < PRODUCERS; ++p) {
    producers.emplace_back([p] {
      for (int i = 0; i < PER_PRODUCER; ++i) {
        while (PostEvent(nullptr, 1, p, i, 0, nullptr) != 1) std::this_thread::yield();
      }
    });
  }
  std::vector<int> next(PRODUCERS, 0);
  int received = 0;
  int faults = 0;
  while (received < PRODUCERS * PER_PRODUCER) {
    EventRecord* e = TakeNextEvent(nullptr);
    if (!e) {
      std::this_thread::yield();
      continue;
    }
    int p = e->args[0];
    if (p < 0 || p >= PRODUCERS || e->args[1] != next[p]) {
      ++faults;
    } else {
      ++next[p];
    }
    ++received;
    ReleaseEventRecord(nullptr, e);
  }
  for (std::thread& t : producers) t.join();
  EXPECT_EQ(faults, 0);
  EXPECT_EQ(next, std::vector<int>(PRODUCERS, PER_PRODUCER));
  EXPECT_EQ(TakeNextEvent(nullptr), nullptr);
}

}  // namespace
