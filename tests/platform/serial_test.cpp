// Serial back end on a pty pair that socat links together: defaults and
// description, settings on open and closed ports, reads with and without
// time-outs, modem lines through the ioctl seam, and the terminal settings
// restored on close. No real serial device is ever opened.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "platform/linux/serial_private.h"

extern char** environ;

namespace {

// Stand-ins for tcsetattr: one records what the back end writes without
// touching the device, one refuses every change.
struct termios recorded;
int recordSetAttr(int, int, const struct termios* t) {
  recorded = *t;
  return 0;
}
int refuseSetAttr(int, int, const struct termios*) {
  errno = EINVAL;
  return -1;
}

const char* const DEFAULT_DESCRIPTION =
    "device: /dev/ttyS0, baud: 9600, data bits: 8, parity: none, stop bits: 1, flow control: off";

// Frees the port even when an assertion ends the test early.
struct PortCloser {
  SerialPort*& port;
  ~PortCloser() {
    if (port) CloseSerialDevice(port);
  }
};

TEST(SerialPort, DefaultsAndClosedPort) {
  SerialPort* port = NewSerialPort();
  ASSERT_NE(port, nullptr);
  PortCloser closer{port};
  char text[160];
  DescribeSerialPort(port, text, sizeof text);
  EXPECT_STREQ(text, DEFAULT_DESCRIPTION);
  EXPECT_EQ(GetSerialBaud(port), 3);
  EXPECT_EQ(IsSerialOpen(port), 0);
  EXPECT_EQ(GetSerialDescriptor(port), -1);

  struct Setter {
    const char* name;
    int32_t (*apply)(SerialPort*, int32_t);
    int32_t (*get)(const SerialPort*);
  };
  const Setter setters[] = {
      {"baud", ApplySerialBaud, GetSerialBaud},
      {"data bits", ApplySerialDataBits, GetSerialDataBits},
      {"stop bits", ApplySerialStopBits, GetSerialStopBits},
      {"parity", ApplySerialParity, GetSerialParity},
      {"flow control", ApplySerialFlowControl, GetSerialFlowControl},
      {"dtr", SetSerialDtr, GetSerialDtr},
      {"rts", SetSerialRts, GetSerialRts},
  };
  for (const Setter& s : setters) {
    int32_t before = s.get(port);
    EXPECT_EQ(s.apply(port, 1), SERIAL_ECLOSED) << s.name;
    EXPECT_EQ(s.get(port), before) << s.name;
  }
  char buf[4];
  size_t n = 99;
  int32_t avail = 7;
  EXPECT_EQ(ReadSerial(port, buf, sizeof buf, &n), SERIAL_ECLOSED);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(WriteSerialTimeout(port, "x", 1, &n, 10), SERIAL_ECLOSED);
  EXPECT_EQ(ReadSerialCount(port, buf, sizeof buf, &n, 10), SERIAL_ECLOSED);
  EXPECT_EQ(SerialBytesAvailable(port, &avail), SERIAL_ECLOSED);
  EXPECT_EQ(FlushSerialDevice(port), SERIAL_ECLOSED);
  EXPECT_EQ(CloseSerialFd(port), SERIAL_ECLOSED);

  // A name longer than 30 characters is refused, never cut (a cut name
  // could open another device); a missing device is an open error.
  EXPECT_EQ(SetSerialDeviceName(port, "/nonexistent/serial/device/name"), SERIAL_EOPEN);
  EXPECT_STREQ(port->deviceName, "/dev/ttyS0");
  EXPECT_EQ(SetSerialDeviceName(port, "/nonexistent/serial/device/nam"), SERIAL_OK);
  EXPECT_EQ(OpenSerialDevice(port), SERIAL_EOPEN);
  EXPECT_EQ(IsSerialOpen(port), 0);

  EXPECT_STREQ(SerialResultText(11), "port closed error");
  EXPECT_STREQ(SerialResultText(9), "timeout error");
  EXPECT_EQ(SerialResultText(12), nullptr);
  EXPECT_EQ(SerialBaudText(9), nullptr);
  EXPECT_EQ(SerialFlowControlText(-1), nullptr);
}

TEST(SerialPort, AllocationFailures) {
  for (uint64_t n = 1;; n++) {
    SetAllocFailure(n, false);
    SerialPort* port = NewSerialPort();
    bool injected = GetAllocFailureCount() > 0;
    SetAllocFailure(0, false);
    if (!injected) {
      ASSERT_NE(port, nullptr);
      CloseSerialDevice(port);
      break;
    }
    EXPECT_EQ(port, nullptr) << n;
  }
}

// Starts socat with two linked ptys in a fresh directory; stops it by its
// process id afterwards.
class PtyPair : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qmserXXXXXX";
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
    ASSERT_EQ(stat(a_.c_str(), &st), 0) << "socat did not make its ptys";
    ASSERT_EQ(stat(b_.c_str(), &st), 0);
  }
  void TearDown() override {
    if (port_) CloseSerialDevice(port_);
    if (peer_) CloseSerialDevice(peer_);
    SetSerialSystemCalls(nullptr);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    unlink(a_.c_str());
    unlink(b_.c_str());
    rmdir(dir_.c_str());
  }
  SerialPort* openPort(const std::string& path) {
    SerialPort* p = NewSerialPort();
    EXPECT_NE(p, nullptr);
    if (!p) return nullptr;
    SetSerialDeviceName(p, path.c_str());
    EXPECT_EQ(OpenSerialDevice(p), SERIAL_OK) << path;
    return p;
  }

  pid_t pid_ = -1;
  std::string dir_, a_, b_;
  SerialPort* port_ = nullptr;
  SerialPort* peer_ = nullptr;
};

TEST_F(PtyPair, SettingsOnOpenPort) {
  port_ = openPort(a_);
  ASSERT_TRUE(port_ && IsSerialOpen(port_));
  int fd = GetSerialDescriptor(port_);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(OpenSerialDevice(port_), SERIAL_EOPEN);  // already open: no second descriptor

  struct termios t;
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);

  const speed_t speeds[] = {B300, B2400, B4800, B9600, B19200, B38400, B57600, B115200, B460800};
  for (int32_t i = 0; i < 9; i++) {
    ASSERT_EQ(ApplySerialBaud(port_, i), SERIAL_OK) << SerialBaudText(i);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), speeds[i]) << SerialBaudText(i);
    EXPECT_EQ(cfgetospeed(&t), speeds[i]) << SerialBaudText(i);
    EXPECT_EQ(GetSerialBaud(port_), i);
  }

  // Out of range: 1, and the stored index stays.
  struct Bad {
    const char* name;
    int32_t (*apply)(SerialPort*, int32_t);
    int32_t (*get)(const SerialPort*);
    int32_t index;
  };
  const Bad bad[] = {
      {"baud 9", ApplySerialBaud, GetSerialBaud, 9},
      {"baud -1", ApplySerialBaud, GetSerialBaud, -1},
      {"data bits 4", ApplySerialDataBits, GetSerialDataBits, 4},
      {"stop bits 2", ApplySerialStopBits, GetSerialStopBits, 2},
      {"parity 3", ApplySerialParity, GetSerialParity, 3},
      {"flow 3", ApplySerialFlowControl, GetSerialFlowControl, 3},
      {"dtr 2", SetSerialDtr, GetSerialDtr, 2},
      {"rts -1", SetSerialRts, GetSerialRts, -1},
  };
  for (const Bad& b : bad) {
    int32_t before = b.get(port_);
    EXPECT_EQ(b.apply(port_, b.index), SERIAL_EUNKNOWN) << b.name;
    EXPECT_EQ(b.get(port_), before) << b.name;
  }

  // A pty keeps neither character size nor parity (and refuses some of
  // them), so the settings are checked as the back end writes them.
  SerialSystemCalls record = {nullptr, recordSetAttr};
  SetSerialSystemCalls(&record);
  struct Flag {
    const char* name;
    int32_t (*apply)(SerialPort*, int32_t);
    int32_t index;
    tcflag_t cMask, cWant, iMask, iWant;
  };
  const tcflag_t sw = IXON | IXOFF | IXANY;
  const Flag flags[] = {
      {"5 bits", ApplySerialDataBits, 0, CSIZE, CS5, 0, 0},
      {"6 bits", ApplySerialDataBits, 1, CSIZE, CS6, 0, 0},
      {"7 bits", ApplySerialDataBits, 2, CSIZE, CS7, 0, 0},
      {"8 bits", ApplySerialDataBits, 3, CSIZE, CS8, 0, 0},
      {"odd", ApplySerialParity, 1, PARENB | PARODD, PARENB | PARODD, 0, 0},
      {"even", ApplySerialParity, 2, PARENB | PARODD, PARENB, 0, 0},
      {"none", ApplySerialParity, 0, PARENB, 0, 0, 0},
      {"2 stop", ApplySerialStopBits, 1, CSTOPB, CSTOPB, 0, 0},
      {"1 stop", ApplySerialStopBits, 0, CSTOPB, 0, 0, 0},
      {"hardware", ApplySerialFlowControl, 1, CRTSCTS, CRTSCTS, sw, 0},
      {"xon/xoff", ApplySerialFlowControl, 2, CRTSCTS, 0, sw, sw},
      {"off", ApplySerialFlowControl, 0, CRTSCTS, 0, sw, 0},
  };
  for (const Flag& f : flags) {
    recorded = {};
    ASSERT_EQ(f.apply(port_, f.index), SERIAL_OK) << f.name;
    EXPECT_EQ(recorded.c_cflag & f.cMask, f.cWant) << f.name;
    EXPECT_EQ(recorded.c_iflag & f.iMask, f.iWant) << f.name;
    EXPECT_EQ(recorded.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD)) << f.name;
  }

  // A setting the device refuses is 5 and keeps the stored index.
  SerialSystemCalls refuse = {nullptr, refuseSetAttr};
  SetSerialSystemCalls(&refuse);
  EXPECT_EQ(ApplySerialDataBits(port_, 2), SERIAL_ESETTINGS);
  EXPECT_EQ(ApplySerialBaud(port_, 0), SERIAL_ESETTINGS);
  EXPECT_EQ(GetSerialDataBits(port_), 3);
  EXPECT_EQ(GetSerialBaud(port_), 8);
  SetSerialSystemCalls(nullptr);

  char text[160];
  DescribeSerialPort(port_, text, sizeof text);
  EXPECT_STREQ(text, ("device: " + a_ +
                      ", baud: 460800, data bits: 8, parity: none, stop bits: 1, flow control: off")
                         .c_str());
}

TEST_F(PtyPair, ReadsAndWrites) {
  port_ = openPort(a_);
  peer_ = openPort(b_);
  ASSERT_TRUE(port_ && peer_);
  char buf[64];
  size_t n = 99;

  // A silent line: the plain read returns nothing at once, the timed read
  // expires with count 0 after roughly the time asked.
  EXPECT_EQ(ReadSerial(port_, buf, sizeof buf, &n), SERIAL_OK);
  EXPECT_EQ(n, 0u);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadSerialTimeout(port_, buf, sizeof buf, &n, 150), SERIAL_ETIMEOUT);
  EXPECT_EQ(n, 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(ReadSerialCount(port_, buf, 4, &n, 50), SERIAL_ETIMEOUT);
  EXPECT_EQ(n, 0u);

  // Bytes cross the pair; the counted read waits for all of them.
  ASSERT_EQ(WriteSerial(peer_, "hello", 5, &n), SERIAL_OK);
  EXPECT_EQ(n, 5u);
  ASSERT_EQ(ReadSerialCount(port_, buf, 5, &n, 5000), SERIAL_OK);
  ASSERT_EQ(n, 5u);
  EXPECT_EQ(std::string(buf, 5), "hello");

  // Fewer bytes than asked before the time-out: what came is returned.
  ASSERT_EQ(WriteSerialTimeout(peer_, "ab", 2, &n, 1000), SERIAL_OK);
  EXPECT_EQ(n, 2u);
  ASSERT_EQ(ReadSerialTimeout(port_, buf, 1, &n, 5000), SERIAL_OK);  // waits for the first
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(ReadSerialCount(port_, buf, 8, &n, 200), SERIAL_OK);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(buf[0], 'b');

  // Pending input is counted and can be thrown away.
  ASSERT_EQ(WriteSerial(peer_, "0123456789", 10, &n), SERIAL_OK);
  int32_t avail = 0;
  for (int i = 0; i < 500 && avail < 10; i++) {
    ASSERT_EQ(SerialBytesAvailable(port_, &avail), SERIAL_OK);
    if (avail < 10) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(avail, 10);
  DiscardSerialInput(port_);
  ASSERT_EQ(SerialBytesAvailable(port_, &avail), SERIAL_OK);
  EXPECT_EQ(avail, 0);
  EXPECT_EQ(FlushSerialDevice(port_), SERIAL_OK);
}

// Fake modem lines: records what the back end asks of the ioctls.
int fakeLines;
int fakeFailRequest;  // 0, or the request that fails
int fakeModemIoctl(int, unsigned long request, int* bits) {
  if (static_cast<int>(request) == fakeFailRequest) return -1;
  if (request == TIOCMGET) {
    *bits = fakeLines;
  } else if (request == TIOCMSET) {
    fakeLines = *bits;
  }
  return 0;
}

TEST_F(PtyPair, ModemLines) {
  port_ = openPort(a_);
  ASSERT_TRUE(port_);
  // A pty has no modem lines: the real ioctl fails.
  EXPECT_EQ(SetSerialDtr(port_, 1), SERIAL_EIOCTL);
  EXPECT_EQ(GetSerialDtr(port_), 0);

  SerialSystemCalls fake = {fakeModemIoctl, tcsetattr};
  SetSerialSystemCalls(&fake);
  struct Case {
    const char* name;
    bool dtr;  // else RTS
    int32_t state;
    int failRequest;
    int linesBefore, linesAfter;
    int32_t result, stored;
  };
  const int other = TIOCM_CTS;  // must survive every change
  const Case cases[] = {
      {"dtr on", true, 1, 0, other, other | TIOCM_DTR, SERIAL_OK, 1},
      {"rts on", false, 1, 0, other | TIOCM_DTR, other | TIOCM_DTR | TIOCM_RTS, SERIAL_OK, 1},
      {"dtr off", true, 0, 0, other | TIOCM_DTR | TIOCM_RTS, other | TIOCM_RTS, SERIAL_OK, 0},
      {"get fails", false, 0, TIOCMGET, other | TIOCM_RTS, other | TIOCM_RTS, SERIAL_EIOCTL, 1},
      {"set fails", false, 0, TIOCMSET, other | TIOCM_RTS, other | TIOCM_RTS, SERIAL_EIOCTL, 1},
      {"rts off", false, 0, 0, other | TIOCM_RTS, other, SERIAL_OK, 0},
  };
  for (const Case& c : cases) {
    fakeLines = c.linesBefore;
    fakeFailRequest = c.failRequest;
    EXPECT_EQ(c.dtr ? SetSerialDtr(port_, c.state) : SetSerialRts(port_, c.state), c.result)
        << c.name;
    EXPECT_EQ(fakeLines, c.linesAfter) << c.name;
    EXPECT_EQ(c.dtr ? GetSerialDtr(port_) : GetSerialRts(port_), c.stored) << c.name;
  }
}

TEST_F(PtyPair, CloseRestoresTerminalSettings) {
  auto snapshot = [&](struct termios* t) {
    int fd = open(a_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcgetattr(fd, t), 0);
    close(fd);
  };
  struct termios before, after;
  snapshot(&before);
  port_ = openPort(a_);
  ASSERT_TRUE(port_);
  ASSERT_EQ(ApplySerialBaud(port_, 0), SERIAL_OK);
  ASSERT_EQ(ApplySerialFlowControl(port_, 2), SERIAL_OK);
  ASSERT_EQ(CloseSerialDevice(port_), SERIAL_OK);
  port_ = nullptr;
  snapshot(&after);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  EXPECT_EQ(0, std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc));

  // Closing only the descriptor keeps the record, which then reports closed.
  peer_ = openPort(b_);
  ASSERT_TRUE(peer_);
  EXPECT_EQ(CloseSerialFd(peer_), SERIAL_OK);
  EXPECT_EQ(IsSerialOpen(peer_), 0);
  EXPECT_EQ(ApplySerialBaud(peer_, 1), SERIAL_ECLOSED);
}

}  // namespace
