// The watcher thread of background programs: a notice for a program that
// ended normally, none for one killed by a signal or still running at the
// stop, and a failed start that leaves nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <set>
#include <string>

#include <dirent.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/files_private.h"
#include "platform/linux/thread_private.h"

namespace {

// Child processes of this process, from every thread's list in /proc; a
// program that ended stays listed until its parent has waited for it.
std::set<int> children() {
  std::set<int> pids;
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return pids;
  while (dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    std::ifstream list(std::string("/proc/self/task/") + task->d_name + "/children");
    int pid;
    while (list >> pid) pids.insert(pid);
  }
  closedir(tasks);
  return pids;
}

// Waits up to 10 s until no child beyond `before` is left; true when none is.
bool waitForChildrenBeyond(const std::set<int>& before) {
  for (int i = 0; i < 1000; i++) {
    std::set<int> now = children();
    if (std::includes(before.begin(), before.end(), now.begin(), now.end())) return true;
    usleep(10000);
  }
  return false;
}

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
    bool ends;  // by itself, long before the stop
    int notices;
  };
  const Case cases[] = {
      {"ended normally", "/bin/true", "", true, 1},
      {"ended with a failure status", "/bin/false", "", true, 1},
      {"killed by a signal", "/bin/sh", "-c \"kill -9 $$\"", true, 0},
      {"still running at the stop", "/bin/sleep", "1", false, 0},
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
    std::set<int> before = children();
    ASSERT_EQ(StartProgramWatcher(&request), ERR_NONE);
    ASSERT_NE(request.thread, nullptr);
    EXPECT_NE(request.mutex, nullptr);
    // The watcher has seen the end once it waited for the program; a
    // notice comes right after that.
    if (c.ends) {
      EXPECT_TRUE(waitForChildrenBeyond(before));
    }
    for (int i = 0; i < 500 && notices < c.notices; i++) usleep(10000);
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
