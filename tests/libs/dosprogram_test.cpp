// The dos library's external programs: Execute waits, Run returns at once
// or reports the end through "RunFinished", executable files run as
// programs and other paths with an extension go to a fake xdg-open.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "display/display.h"
#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"
#include "tests/support/harness.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string finishedUserData;
int finishedCount = 0;

int onRunFinished(VmState* L) {
  VmPushString(L, "action");
  VmGetTable(L, 1);
  if (std::string(VmToString(L, -1)) == "RunFinished") finishedCount++;
  VmPushString(L, "userdata");
  VmGetTable(L, 1);
  if (VmType(L, -1) == VM_TYPE_STRING) finishedUserData = VmToString(L, -1);
  return 0;
}

class DosProgramTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;
  std::string dir;
  std::string oldPath;

  void SetUp() override {
    char templ[] = "/tmp/qmprogXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
    oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    // A fake desktop opener that notes what it was asked to open.
    ASSERT_EQ(mkdir((dir + "/bin").c_str(), 0755), 0);
    writeScript("bin/xdg-open", "#!/bin/sh\necho \"$1\" > " + dir + "/opened\n", 0755);
    setenv("PATH", (dir + "/bin:" + oldPath).c_str(), 1);
    finishedUserData.clear();
    finishedCount = 0;
  }
  void TearDown() override {
    setenv("PATH", oldPath.c_str(), 1);
    std::system(("rm -rf " + dir).c_str());
  }

  void writeScript(const std::string& name, const std::string& text, mode_t mode) {
    std::ofstream(dir + "/" + name) << text;
    chmod((dir + "/" + name).c_str(), mode);
  }
  static std::string readFile(const std::string& name) {
    std::ifstream in(name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool exists(const std::string& name) { return access(name.c_str(), F_OK) == 0; }
  ErrorCode call(const char* name, const std::string& line) {
    VmSetTop(L, 0);
    VmPushString(L, line.c_str());
    return p.Call(name, 1);
  }
};

TEST_F(DosProgramTest, ExecuteWaitsAndParsesTheLine) {
  ASSERT_EQ(mkdir((dir + "/my tools").c_str(), 0755), 0);
  writeScript("my tools/tool.sh", "#!/bin/sh\nsleep 0.2\necho ran \"$1\" > \"$2\"\n", 0755);
  ASSERT_EQ(call("Execute", "\"" + dir + "/my tools/tool.sh\" first " + dir + "/out"), 0);
  EXPECT_EQ(readFile(dir + "/out"), "ran first\n");
  EXPECT_FALSE(exists(dir + "/opened"));  // an executable runs, whatever its name

  struct Case {
    std::string line;
    ErrorCode error;
  } cases[] = {{"", ERR_WRONGUSAGE},
               {"\"" + dir + "/my tools/tool.sh", ERR_WRONGUSAGE},
               {"\"\" x", ERR_WRONGUSAGE}};
  for (const Case& c : cases) EXPECT_EQ(call("Execute", c.line), c.error) << c.line;

  // A file that is not executable is a document for the desktop opener.
  writeScript("doc.txt", "text\n", 0644);
  ASSERT_EQ(call("Execute", dir + "/doc.txt"), 0);
  EXPECT_EQ(readFile(dir + "/opened"), dir + "/doc.txt\n");
}

TEST_F(DosProgramTest, RunReturnsAtOnceOrReportsTheEnd) {
  // The program waits (at most ten seconds) for a gate file beside its
  // output, so a Run that waited for it would take that long however loaded
  // the machine is, and one that returns at once finds no output yet.
  writeScript("slow.sh",
              "#!/bin/sh\ni=0\nwhile [ ! -e \"$1.go\" ] && [ $i -lt 200 ]; do sleep 0.05; "
              "i=$((i+1)); done\necho done > \"$1\"\n",
              0755);
  Clock::time_point start = Clock::now();
  ASSERT_EQ(call("Run", dir + "/slow.sh " + dir + "/first"), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(exists(dir + "/first"));
  writeScript("first.go", "", 0644);
  writeScript("second.go", "", 0644);

  // The event library and the cross-thread list, as a player has them.
  ASSERT_EQ(InitEventQueue(), ERR_NONE);
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenEventLibrary(L), ERR_NONE);
  OpenThreadEventList();
  struct EventsOff {
    VmState* L;
    ~EventsOff() {
      FreeAllEvents(L);
      FreeEventQueue(L);
      CloseThreadEventList();
    }
  } eventsOff{L};
  VmSetTop(L, 0);
  VmNewTable(L);
  VmPushString(L, "runfinished");
  VmPushCClosure(L, onRunFinished, 0);
  VmSetTable(L, -3);
  ASSERT_EQ(p.Call("InstallEventHandler", 1), 0);
  VmSetTop(L, 0);
  VmPushString(L, (dir + "/slow.sh " + dir + "/second").c_str());
  VmPushBoolean(L, 1);
  VmPushString(L, "mine");
  ASSERT_EQ(p.Call("Run", 3), 0);
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  while (finishedCount == 0 && Clock::now() < deadline) {
    VmSetTop(L, 0);
    ASSERT_EQ(p.Call("CheckEvents", 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(finishedCount, 1);
  EXPECT_EQ(finishedUserData, "mine");
  EXPECT_EQ(readFile(dir + "/second"), "done\n");
}

}  // namespace
