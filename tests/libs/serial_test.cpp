// The serial commands called by name on a pty pair that socat links:
// settings as stty sees them, the terminal restored on close, data both
// ways, time-outs, queue commands and the errors that must leave nothing
// opened or changed. No real serial device is ever opened.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "engine/engine.h"
#include "libs/libs.h"
#include "platform/linux/serial_private.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

extern char** environ;

namespace {

// A command argument: a number or a string.
struct Arg {
  std::variant<double, std::string> v;
  Arg(double d) : v(d) {}
  Arg(int i) : v(static_cast<double>(i)) {}
  Arg(const char* s) : v(std::string(s)) {}
  Arg(std::string s) : v(std::move(s)) {}
};

struct termios recorded;
int recordSetAttr(int, int, const struct termios* t) {
  recorded = *t;
  return 0;
}
int refuseSetAttr(int, int, const struct termios*) { return -1; }

class SerialLibraryTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;
  pid_t pid_ = -1;
  std::string dir_, a_, b_;

  void SetUp() override {
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenSerialLibrary(L), 0);
    VmSetTop(L, 0);
    char tmpl[] = "/tmp/qmslXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    a_ = dir_ + "/a";
    b_ = dir_ + "/b";
    std::string argA = "pty,raw,echo=0,link=" + a_;
    std::string argB = "pty,raw,echo=0,link=" + b_;
    char* argv[] = {const_cast<char*>("socat"), const_cast<char*>(argA.c_str()),
                    const_cast<char*>(argB.c_str()), nullptr};
    ASSERT_EQ(posix_spawnp(&pid_, "socat", nullptr, nullptr, argv, environ), 0);
    struct stat st;
    for (int i = 0; i < 1000 && (stat(a_.c_str(), &st) != 0 || stat(b_.c_str(), &st) != 0); i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(stat(b_.c_str(), &st), 0) << "socat did not make its ptys";
  }
  void TearDown() override {
    SetSerialSystemCalls(nullptr);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    unlink(a_.c_str());
    unlink(b_.c_str());
    rmdir(dir_.c_str());
  }

  ErrorCode call(const char* name, const std::vector<Arg>& args) {
    VmSetTop(L, 0);
    for (const Arg& a : args) {
      if (const double* d = std::get_if<double>(&a.v))
        VmPushNumber(L, *d);
      else
        VmPushLString(L, std::get<std::string>(a.v).data(), std::get<std::string>(a.v).size());
    }
    return p.Call(name, static_cast<int>(args.size()));
  }
  // OpenSerialPort(id, device, {name = value, ...}).
  struct Option {
    const char* name;
    double value;
  };
  ErrorCode open(double id, const std::string& device, const std::vector<Option>& options) {
    VmSetTop(L, 0);
    VmPushNumber(L, id);
    VmPushString(L, device.c_str());
    VmNewTable(L);
    for (const auto& o : options) SetTableFieldNumber(L, o.name, o.value);
    return p.Call("OpenSerialPort", 3);
  }
  double number(int index) { return VmToNumber(L, index); }
  static std::string run(const std::string& command) {
    std::string out;
    FILE* f = popen(command.c_str(), "r");
    if (!f) return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    pclose(f);
    return out;
  }
  std::string stty(const std::string& device, const char* flags = "") {
    return run(std::string("stty ") + flags + " -F " + device + " 2>&1");
  }
};

TEST_F(SerialLibraryTest, SettingsAsTheDeviceSeesThemAndRestoredOnClose) {
  std::string before = stty(a_, "-g");
  ASSERT_EQ(open(1, a_, {{"baudrate", 7}, {"stopbits", 1}, {"flowcontrol", 1}}), 0);
  std::string shown = stty(a_, "-a");
  for (const char* want : {"speed 115200 baud", " cstopb", " crtscts", " -ixon", " -ixoff",
                           " -icanon", " -echo ", "-opost", "-isig"})
    EXPECT_NE(shown.find(want), std::string::npos) << want << " in " << shown;
  EXPECT_EQ(call("GetBaudRate", {1}), 0);
  EXPECT_EQ(number(-1), 7);

  // A pty keeps cs8 -parenb whatever is asked: data bits and parity are
  // checked through the termios seam.
  SerialSystemCalls seam = {nullptr, recordSetAttr};
  SetSerialSystemCalls(&seam);
  EXPECT_EQ(call("SetDataBits", {1, 2}), 0);
  EXPECT_EQ(recorded.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
  EXPECT_EQ(call("SetParity", {1, 1}), 0);
  EXPECT_EQ(recorded.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD));
  EXPECT_EQ(call("GetParity", {1}), 0);
  EXPECT_EQ(number(-1), 1);
  SetSerialSystemCalls(nullptr);

  ASSERT_EQ(call("CloseSerialPort", {1}), 0);
  EXPECT_EQ(stty(a_, "-g"), before);

  // Opening a number again closes the first port: its terminal comes back.
  ASSERT_EQ(open(1, a_, {{"baudrate", 0}}), 0);
  ASSERT_EQ(open(1, b_, {}), 0);
  EXPECT_EQ(stty(a_, "-g"), before);

  // A port whose settings cannot be restored is closed and freed all the
  // same, and the close reports it.
  SerialSystemCalls refuse = {nullptr, refuseSetAttr};
  SetSerialSystemCalls(&refuse);
  EXPECT_EQ(call("CloseSerialPort", {1}), ERR_SERIALIO);
  SetSerialSystemCalls(nullptr);
  EXPECT_EQ(call("GetBaudRate", {1}), ERR_FINDSERIAL);
}

TEST_F(SerialLibraryTest, DataTimeOutsAndQueues) {
  ASSERT_EQ(open(1, a_, {}), 0);
  ASSERT_EQ(open(2, b_, {}), 0);

  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(call("ReadSerialData", {2, 10, 100}), 0);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(100));
  EXPECT_EQ(VmStrLen(L, 1), 0u);
  EXPECT_EQ(number(2), 0);
  EXPECT_EQ(number(3), 1);

  ASSERT_EQ(call("WriteSerialData", {1, std::string("hel\0lo", 6)}), 0);
  EXPECT_EQ(number(1), 6);
  EXPECT_EQ(number(2), 0);
  std::string got;
  for (int i = 0; i < 50 && got.size() < 6; i++) {
    ASSERT_EQ(call("ReadSerialData", {2, 10, 100}), 0);
    got.append(VmToString(L, 1), VmStrLen(L, 1));
  }
  EXPECT_EQ(got, std::string("hel\0lo", 6));

  ASSERT_EQ(call("WriteSerialData", {2, "back", 100}), 0);
  EXPECT_EQ(number(1), 4);
  double waiting = 0;
  for (int i = 0; i < 100 && waiting < 4; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(call("PollSerialQueue", {1}), 0);
    waiting = number(-1);
  }
  EXPECT_EQ(waiting, 4);
  EXPECT_EQ(call("ClearSerialQueue", {1}), 0);
  EXPECT_EQ(call("PollSerialQueue", {1}), 0);
  EXPECT_EQ(number(-1), 0);
  EXPECT_EQ(call("ReadSerialData", {1, 4}), 0);
  EXPECT_EQ(number(2), 0);
  EXPECT_EQ(number(3), 0);
}

TEST_F(SerialLibraryTest, ErrorsLeaveNothingChanged) {
  ASSERT_EQ(open(1, a_, {{"dtr", 1}}), 0);
  EXPECT_EQ(call("GetDTR", {1}), 0);
  EXPECT_EQ(number(-1), 1);
  ASSERT_EQ(call("GetAttribute", {OBJTYPE_SERIAL, 0, ATTRCOUNT}), 0);
  EXPECT_EQ(number(-1), 1);

  struct Case {
    const char* name;
    std::vector<Arg> args;
    ErrorCode code;
  } cases[] = {
      {"SetBaudRate", {1, 9}, ERR_WRONGUSAGE},
      {"SetDTR", {1, 0}, ERR_WRONGUSAGE},  // a pty has no modem lines
      {"SetStopBits", {1, -1}, ERR_WRONGUSAGE},
      {"ReadSerialData", {1, 0}, ERR_WRONGUSAGE},
      {"WriteSerialData", {1, ""}, ERR_WRONGUSAGE},
      {"GetBaudRate", {42}, ERR_FINDSERIAL},
      {"GetAttribute", {OBJTYPE_SERIAL, 1, ATTRWIDTH}, ERR_UNKNOWNATTR},
      {"CloseSerialPort", {42}, ERR_FINDSERIAL},
  };
  for (const Case& c : cases) EXPECT_EQ(call(c.name, c.args), c.code) << c.name;
  EXPECT_EQ(GetErrorArgNumber(), 42);
  EXPECT_EQ(call("GetBaudRate", {1}), 0);
  EXPECT_EQ(number(-1), 3);
  EXPECT_EQ(call("GetDTR", {1}), 0);
  EXPECT_EQ(number(-1), 1);

  // A bad option opens nothing; a number in use keeps its port.
  for (const char* option : {"baudrate", "databits", "parity", "stopbits", "flowcontrol", "dtr"}) {
    EXPECT_EQ(open(2, b_, {{option, 9}}), ERR_WRONGUSAGE) << option;
    EXPECT_EQ(call("GetBaudRate", {2}), ERR_FINDSERIAL) << option;
  }
  EXPECT_EQ(open(1, b_, {{"parity", 3}}), ERR_WRONGUSAGE);
  EXPECT_EQ(call("GetDTR", {1}), 0);

  std::string longName = "/tmp/" + std::string(26, 'x');  // 31 characters
  EXPECT_EQ(open(3, longName, {}), ERR_OPENSERIAL);
  EXPECT_EQ(std::string(GetErrorArgString()), longName);
  EXPECT_EQ(open(3, dir_ + "/missing", {}), ERR_OPENSERIAL);

  VmSetAppletVersion(7, 9);
  EXPECT_EQ(open(3, b_, {}), ERR_OLDAPPLET);
  VmSetAppletVersion(8, 0);
}

}  // namespace
