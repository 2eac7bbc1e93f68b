// Heap blocks: zero-size and overflowing requests, clearing, and the
// fault-injection hook in its transient and persistent forms.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"

namespace {

struct HookOff {
  ~HookOff() { SetAllocFailure(0, false); }
};

TEST(Memory, SizesAndClearing) {
  EXPECT_EQ(AllocMemory(0, 0), nullptr);
  EXPECT_EQ(AllocMemory(0, 1), nullptr);
  EXPECT_EQ(AllocMemoryArray(SIZE_MAX / 2 + 1, 2, 0), nullptr);
  EXPECT_EQ(AllocMemoryArray(0, 16, 0), nullptr);

  auto* p = static_cast<unsigned char*>(AllocMemoryArray(64, 4, 1));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 256; i++) ASSERT_EQ(p[i], 0) << i;
  FreeMemory(p);
  FreeMemory(nullptr);
}

TEST(Memory, FaultInjection) {
  HookOff off;
  struct Case {
    const char* name;
    uint64_t n;
    bool persistent;
    bool expectFail[5];  // outcome of five successive allocations
  };
  const Case cases[] = {
      {"first once", 1, false, {true, false, false, false, false}},
      {"third once", 3, false, {false, false, true, false, false}},
      {"third onward", 3, true, {false, false, true, true, true}},
      {"off", 0, true, {false, false, false, false, false}},
  };
  for (const Case& c : cases) {
    SetAllocFailure(c.n, c.persistent);
    uint64_t failures = 0;
    for (int i = 0; i < 5; i++) {
      // Zero-size requests do not count towards the hook.
      EXPECT_EQ(AllocMemory(0, 0), nullptr);
      void* p = AllocMemory(8, 0);
      EXPECT_EQ(p == nullptr, c.expectFail[i]) << c.name << " allocation " << i + 1;
      failures += c.expectFail[i];
      FreeMemory(p);
    }
    EXPECT_EQ(GetAllocFailureCount(), failures) << c.name;
  }
}

}  // namespace
