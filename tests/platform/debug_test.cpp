// Debug output: Latin-1 text becomes UTF-8 in 8-bit mode, passes unchanged
// in UTF-8 mode, and is still printed when memory for the conversion runs out.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "runtime/runtime.h"

namespace {

TEST(DebugPrintf, TextModes) {
  struct Case {
    const char* name;
    int32_t utf8Mode;
    uint64_t failAlloc;  // 0: no failure; n: the nth allocation fails for good
    std::string expected;
  };
  const Case cases[] = {
      {"8-bit converts", 0, 0, "caf\xc3\xa9 42 \xc3\xbf!"},
      {"utf-8 passes", 1, 0, "caf\xe9 42 \xff!"},
      {"no buffer", 0, 1, "caf\xe9 42 \xff!"},
      {"no converted copy", 0, 2, "caf\xe9 42 \xff!"},
  };
  int32_t saved = unicodeUtf8Mode;
  for (const Case& c : cases) {
    unicodeUtf8Mode = c.utf8Mode;
    ::testing::internal::CaptureStdout();
    SetAllocFailure(c.failAlloc, true);
    DebugPrintf("caf%s %d %c!", "\xe9", 42, '\xff');
    SetAllocFailure(0, false);
    fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.expected) << c.name;
  }
  unicodeUtf8Mode = saved;
}

}  // namespace
