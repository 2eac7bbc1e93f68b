// Recursive mutexes across threads and the latched condition flag.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "platform/linux/files_private.h"

namespace {

int tryFromOtherThread(PlatformMutex* m) {
  int got = -1;
  std::thread t([&] {
    got = TryLockMutex(m);
    if (got) UnlockMutex(m);
  });
  t.join();
  return got;
}

TEST(Mutex, RecursiveLockNeedsAsManyUnlocks) {
  PlatformMutex* m = AllocMutex();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(LockMutex(m), 0);
  ASSERT_EQ(LockMutex(m), 0);
  EXPECT_EQ(TryLockMutex(m), 1);  // the owner takes it again at once
  ASSERT_EQ(UnlockMutex(m), 0);
  EXPECT_EQ(tryFromOtherThread(m), 0);
  ASSERT_EQ(UnlockMutex(m), 0);
  EXPECT_EQ(tryFromOtherThread(m), 0);
  ASSERT_EQ(UnlockMutex(m), 0);
  EXPECT_EQ(tryFromOtherThread(m), 1);

  // A contending thread blocks in LockMutex and gets the mutex once the
  // owner has released both of its locks.
  LockMutex(m);
  LockMutex(m);
  std::atomic<bool> taken{false};
  std::thread contender([&] {
    LockMutex(m);
    taken = true;
    UnlockMutex(m);
  });
  UnlockMutex(m);
  EXPECT_FALSE(taken);  // still held once by this thread
  UnlockMutex(m);
  contender.join();
  EXPECT_TRUE(taken);
  FreeMutex(m);

  PlatformMutex inPlace;
  ASSERT_EQ(InitRecursiveMutex(&inPlace), 0);
  LockMutex(&inPlace);
  LockMutex(&inPlace);
  UnlockMutex(&inPlace);
  UnlockMutex(&inPlace);
  DestroyMutex(&inPlace);
  FreeMutex(nullptr);
}

TEST(Mutex, AllocationFailureGivesNull) {
  SetAllocFailure(1, false);
  EXPECT_EQ(AllocMutex(), nullptr);
  SetAllocFailure(1, false);
  EXPECT_EQ(AllocCondition(), nullptr);
  SetAllocFailure(0, false);
}

TEST(Condition, SignalLatchesAndReleasesOneWait) {
  PlatformMutex* m = AllocMutex();
  ConditionObject* c = AllocCondition();
  ASSERT_NE(m, nullptr);
  ASSERT_NE(c, nullptr);

  // Signalled before the wait: the wait returns at once.
  LockMutex(m);
  SignalCondition(c);
  EXPECT_EQ(WaitCondition(c, m), 0);
  UnlockMutex(m);

  // The first wait consumed the flag, so a second wait blocks until a new
  // signal. The waiter sets `entered` under the mutex and keeps holding it
  // until the wait releases it, so once this thread sees `entered` while
  // holding the mutex, the waiter is inside WaitCondition.
  std::atomic<bool> entered{false}, done{false};
  std::thread waiter([&] {
    LockMutex(m);
    entered = true;
    EXPECT_EQ(WaitCondition(c, m), 0);
    done = true;
    UnlockMutex(m);
  });
  for (;;) {
    LockMutex(m);
    if (entered) break;
    UnlockMutex(m);
    std::this_thread::yield();
  }
  UnlockMutex(m);
  // Give a wrongly latched wait every chance to return on its own.
  for (int i = 0; i < 50 && !done; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(done);
  LockMutex(m);
  SignalCondition(c);
  UnlockMutex(m);
  waiter.join();
  EXPECT_TRUE(done);

  FreeCondition(c);
  FreeCondition(nullptr);
  FreeMutex(m);
}

}  // namespace
