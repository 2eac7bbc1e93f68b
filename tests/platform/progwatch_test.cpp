// The watcher thread of background programs: a notice for a program that
// ended normally, none for one killed by a signal or still running at the
// stop, and a failed start that leaves nothing behind.
#include <gtest/gtest.h>

#include <atomic>
#include <unistd.h>

#include "platform/linux/platform.h"

namespace {

std::atomic<int> notices{0};
std::atomic<ProgramRequest*> noticed{nullptr};
void countNotice(ProgramRequest* request) {
  notices++;
  noticed = request;
}

TEST(ProgramWatcher, NoticeOnlyForAProgramThatEndedNormally) {
  struct Case {
    const char* name;
    const char* path;
    const char* arguments;
    int notices;
  };
  const Case cases[] = {
      {"ended normally", "/bin/true", "", 1},
      {"ended with a failure status", "/bin/false", "", 1},
      {"killed by a signal", "/bin/sh", "-c \"kill -9 $$\"", 0},
      {"still running at the stop", "/bin/sleep", "1", 0},
  };
  SetProgramFinishedHandler(countNotice);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    notices = 0;
    noticed = nullptr;
    char path[64], arguments[64];
    snprintf(path, sizeof path, "%s", c.path);
    snprintf(arguments, sizeof arguments, "%s", c.arguments);
    ProgramRequest request = {0, nullptr, nullptr, nullptr, path, arguments};
    ASSERT_EQ(StartProgramWatcher(&request), ERR_NONE);
    ASSERT_NE(request.thread, nullptr);
    EXPECT_NE(request.mutex, nullptr);
    if (c.notices) {
      for (int i = 0; i < 500 && notices == 0; i++) usleep(10000);
    } else {
      usleep(100000);
    }
    StopAndJoinThread(&request);
    EXPECT_EQ(notices, c.notices);
    if (c.notices) {
      EXPECT_EQ(noticed, &request);
    }
    EXPECT_EQ(request.mutex, nullptr);
    EXPECT_EQ(request.condition, nullptr);
  }
  SetProgramFinishedHandler(nullptr);
}

TEST(ProgramWatcher, ProgramThatCannotStartFailsTheThread) {
  char path[] = "/bin/echo";
  char arguments[] = "\"no closing quote";
  ProgramRequest request = {0, nullptr, nullptr, nullptr, path, arguments};
  EXPECT_EQ(StartProgramWatcher(&request), ERR_THREAD);
  EXPECT_EQ(request.thread, nullptr);
  EXPECT_EQ(request.mutex, nullptr);
}

}  // namespace
