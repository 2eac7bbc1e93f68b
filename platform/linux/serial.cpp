// termios serial ports: open in raw mode, settings as indices into fixed
// tables, reads and writes with or without a time-out, modem lines, and
// close with the terminal settings of before the open restored.
// Invariants: port->open is 1 exactly while native->fd is a descriptor we
// opened; a stored setting index is always valid for its table, because
// it is stored only after the device accepted it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/serial_private.h"

struct SerialNative {
  int fd;
  struct termios saved;  // the device's settings before the open
};

namespace {

const char* const BAUD_TEXTS[] = {"300",   "2400",  "4800",   "9600",  "19200",
                                  "38400", "57600", "115200", "460800"};
const speed_t BAUD_VALUES[] = {B300, B2400, B4800, B9600, B19200, B38400, B57600, B115200, B460800};
const char* const DATA_BITS_TEXTS[] = {"5", "6", "7", "8"};
const tcflag_t DATA_BITS_VALUES[] = {CS5, CS6, CS7, CS8};
const char* const PARITY_TEXTS[] = {"none", "odd", "even"};
const char* const STOP_BITS_TEXTS[] = {"1", "2"};
const char* const FLOW_TEXTS[] = {"off", "hardware", "xon/xoff"};
const char* const LINE_TEXTS[] = {"off", "on"};
const char* const RESULT_TEXTS[] = {"no error",      "unknown error", "open error",
                                    "close error",   "flush error",   "get/set settings error",
                                    "read error",    "write error",   "select error",
                                    "timeout error", "ioctl error",   "port closed error"};

constexpr size_t SCRATCH_SIZE = 256;  // chunk for discarding input
constexpr int PARTIAL_WAIT_MS = 5;    // nap while some but not enough bytes are pending

template <size_t N>
const char* tableText(const char* const (&table)[N], int32_t index) {
  return index >= 0 && static_cast<size_t>(index) < N ? table[index] : nullptr;
}

int systemModemIoctl(int fd, unsigned long request, int* bits) { return ioctl(fd, request, bits); }

const SerialSystemCalls SYSTEM_CALLS = {systemModemIoctl, tcsetattr};
// A test seam (SetSerialSystemCalls); no run state.
SerialSystemCalls sys = SYSTEM_CALLS;

bool isOpen(const SerialPort* port) { return port->open && port->native && port->native->fd >= 0; }

// Reads the current settings, lets `change` edit them and writes them back;
// the caller has checked that the port is open.
template <typename Change>
int32_t changeSettings(SerialPort* port, Change change) {
  struct termios t;
  if (tcgetattr(port->native->fd, &t) != 0) return SERIAL_ESETTINGS;
  change(t);
  if (sys.setAttr(port->native->fd, TCSANOW, &t) != 0) return SERIAL_ESETTINGS;
  return SERIAL_OK;
}

int64_t nowMs() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

// Waits for readiness with poll, which has no descriptor limit. Signals do
// not shorten the wait: it resumes with the time that is left.
// Returns 1 ready, 0 expired, -1 failed; a negative time-out waits forever.
int waitReady(int fd, short events, int timeoutMs) {
  int64_t deadline = timeoutMs >= 0 ? nowMs() + timeoutMs : 0;
  for (;;) {
    struct pollfd p = {fd, events, 0};
    int rc = poll(&p, 1, timeoutMs);
    if (rc > 0) return 1;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
    if (timeoutMs >= 0) {
      int64_t left = deadline - nowMs();
      timeoutMs = left > 0 ? static_cast<int>(left) : 0;
    }
  }
}

int32_t readOnce(int fd, void* buffer, size_t length, size_t* count) {
  ssize_t n;
  do {
    n = read(fd, buffer, length);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    // Raw mode with VMIN 0 never blocks; a non-blocking descriptor that has
    // nothing reports EAGAIN, which is an empty read here too.
    if (errno == EAGAIN) return SERIAL_OK;
    return SERIAL_EREAD;
  }
  *count = static_cast<size_t>(n);
  return SERIAL_OK;
}

int32_t writeOnce(int fd, const void* data, size_t length, size_t* count) {
  ssize_t n;
  do {
    n = write(fd, data, length);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return SERIAL_EWRITE;
  *count = static_cast<size_t>(n);
  return SERIAL_OK;
}

int32_t setModemLine(SerialPort* port, int32_t state, int bit, int32_t* stored) {
  if (!isOpen(port)) return SERIAL_ECLOSED;
  if (state != 0 && state != 1) return SERIAL_EUNKNOWN;
  int bits = 0;
  if (sys.modemIoctl(port->native->fd, TIOCMGET, &bits) != 0) return SERIAL_EIOCTL;
  bits = state ? (bits | bit) : (bits & ~bit);
  if (sys.modemIoctl(port->native->fd, TIOCMSET, &bits) != 0) return SERIAL_EIOCTL;
  *stored = state;
  return SERIAL_OK;
}

// Closes the descriptor; the port counts as closed afterwards either way,
// since Linux releases the descriptor even when close reports an error.
int32_t closeFd(SerialPort* port) {
  int rc = close(port->native->fd);
  port->native->fd = -1;
  port->open = 0;
  return rc == 0 ? SERIAL_OK : SERIAL_ECLOSE;
}

}  // namespace

const char* SerialBaudText(int32_t index) { return tableText(BAUD_TEXTS, index); }
const char* SerialDataBitsText(int32_t index) { return tableText(DATA_BITS_TEXTS, index); }
const char* SerialParityText(int32_t index) { return tableText(PARITY_TEXTS, index); }
const char* SerialStopBitsText(int32_t index) { return tableText(STOP_BITS_TEXTS, index); }
const char* SerialFlowControlText(int32_t index) { return tableText(FLOW_TEXTS, index); }
const char* SerialLineStateText(int32_t index) { return tableText(LINE_TEXTS, index); }
const char* SerialResultText(int32_t code) { return tableText(RESULT_TEXTS, code); }

SerialPort* NewSerialPort() {
  auto* port = static_cast<SerialPort*>(AllocMemory(sizeof(SerialPort), 1));
  if (!port) return nullptr;
  port->native = static_cast<SerialNative*>(AllocMemory(sizeof(SerialNative), 1));
  if (!port->native) {
    FreeMemory(port);
    return nullptr;
  }
  port->native->fd = -1;
  std::snprintf(port->deviceName, sizeof port->deviceName, "%s", "/dev/ttyS0");
  port->baud = 3;
  port->dataBits = 3;
  return port;
}

int32_t SetSerialDeviceName(SerialPort* port, const char* name) {
  if (!name) name = "";
  if (std::strlen(name) > SERIAL_DEVICE_NAME_MAX) return SERIAL_EOPEN;
  std::snprintf(port->deviceName, sizeof port->deviceName, "%s", name);
  return SERIAL_OK;
}

void StoreSerialLineStates(SerialPort* port, int32_t dtr, int32_t rts) {
  port->dtr = dtr ? 1 : 0;
  port->rts = rts ? 1 : 0;
}

int32_t GetSerialBaud(const SerialPort* port) { return port->baud; }
int32_t GetSerialDataBits(const SerialPort* port) { return port->dataBits; }
int32_t GetSerialParity(const SerialPort* port) { return port->parity; }
int32_t GetSerialStopBits(const SerialPort* port) { return port->stopBits; }
int32_t GetSerialFlowControl(const SerialPort* port) { return port->flowControl; }
int32_t GetSerialDtr(const SerialPort* port) { return port->dtr; }
int32_t GetSerialRts(const SerialPort* port) { return port->rts; }
int32_t IsSerialOpen(const SerialPort* port) { return isOpen(port) ? 1 : 0; }
int GetSerialDescriptor(const SerialPort* port) { return isOpen(port) ? port->native->fd : -1; }

int32_t ApplySerialBaud(SerialPort* port, int32_t index) {
  if (!isOpen(port)) return SERIAL_ECLOSED;
  struct termios probe;
  if (tcgetattr(port->native->fd, &probe) != 0) return SERIAL_ESETTINGS;
  if (!SerialBaudText(index)) return SERIAL_EUNKNOWN;
  speed_t speed = BAUD_VALUES[index];
  bool speedRefused = false;
  int32_t rc = changeSettings(port, [&](struct termios& t) {
    speedRefused = cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0;
  });
  if (rc == SERIAL_OK && speedRefused) rc = SERIAL_ESETTINGS;
  if (rc == SERIAL_OK) port->baud = index;
  return rc;
}

int32_t ApplySerialDataBits(SerialPort* port, int32_t index) {
  if (!isOpen(port)) return SERIAL_ECLOSED;
  if (!SerialDataBitsText(index)) return SERIAL_EUNKNOWN;
  int32_t rc = changeSettings(port, [&](struct termios& t) {
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    t.c_cflag |= DATA_BITS_VALUES[index];
  });
  if (rc == SERIAL_OK) port->dataBits = index;
  return rc;
}

int32_t ApplySerialStopBits(SerialPort* port, int32_t index) {
  if (!isOpen(port)) return SERIAL_ECLOSED;
  if (!SerialStopBitsText(index)) return SERIAL_EUNKNOWN;
  int32_t rc = changeSettings(port, [&](struct termios& t) {
    if (index == 1) {
      t.c_cflag |= CSTOPB;
    } else {
      t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    }
  });
  if (rc == SERIAL_OK) port->stopBits = index;
  return rc;
}

int32_t ApplySerialParity(SerialPort* port, int32_t index) {
  if (!isOpen(port)) return SERIAL_ECLOSED;
  if (!SerialParityText(index)) return SERIAL_EUNKNOWN;
  int32_t rc = changeSettings(port, [&](struct termios& t) {
    switch (index) {
      case 0:  // "none" clears PARENB only; PARODD means nothing without it
        t.c_cflag &= ~static_cast<tcflag_t>(PARENB);
        break;
      case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
      default:
        t.c_cflag |= PARENB;
        t.c_cflag &= ~static_cast<tcflag_t>(PARODD);
        break;
    }
  });
  if (rc == SERIAL_OK) port->parity = index;
  return rc;
}

int32_t ApplySerialFlowControl(SerialPort* port, int32_t index) {
  if (!isOpen(port)) return SERIAL_ECLOSED;
  if (!SerialFlowControlText(index)) return SERIAL_EUNKNOWN;
  const tcflag_t software = IXON | IXOFF | IXANY;
  int32_t rc = changeSettings(port, [&](struct termios& t) {
    switch (index) {
      case 0:
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        t.c_iflag &= ~software;
        break;
      case 1:
        t.c_cflag |= CRTSCTS;
        t.c_iflag &= ~software;
        break;
      default:
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        t.c_iflag |= software;
        break;
    }
  });
  if (rc == SERIAL_OK) port->flowControl = index;
  return rc;
}

int32_t SetSerialDtr(SerialPort* port, int32_t state) {
  return setModemLine(port, state, TIOCM_DTR, &port->dtr);
}

int32_t SetSerialRts(SerialPort* port, int32_t state) {
  return setModemLine(port, state, TIOCM_RTS, &port->rts);
}

void SetSerialSystemCalls(const SerialSystemCalls* calls) { sys = calls ? *calls : SYSTEM_CALLS; }

int32_t OpenSerialDevice(SerialPort* port, const SerialSettings* wanted) {
  if (isOpen(port)) return SERIAL_EOPEN;
  int fd;
  do {
    fd = open(port->deviceName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return SERIAL_EOPEN;
  // Opened without blocking so a modem line cannot hold the open; the
  // descriptor itself blocks, and raw mode's VMIN 0 keeps reads from waiting.
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return SERIAL_EOPEN;
  }
  struct termios t;
  if (tcflush(fd, TCIOFLUSH) != 0 || tcgetattr(fd, &t) != 0 ||
      tcgetattr(fd, &port->native->saved) != 0) {
    close(fd);
    return SERIAL_ESETTINGS;
  }
  t.c_cflag |= CLOCAL | CREAD;
  t.c_iflag = IGNPAR;
  t.c_oflag = 0;
  t.c_lflag = 0;
  for (int cc : {VINTR, VQUIT, VERASE, VKILL, VEOF, VSTART, VSTOP, VSUSP, VEOL}) t.c_cc[cc] = 0;
  // A read returns what is pending, at once: without this a read of a
  // silent line would wait for its first byte for ever.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (sys.setAttr(fd, TCSANOW, &t) != 0) {
    close(fd);
    return SERIAL_ESETTINGS;
  }
  port->native->fd = fd;
  port->open = 1;
  // The settings go to the device in this order; a setting the device
  // refuses keeps the index of before, and the open still succeeds.
  SerialSettings apply = wanted ? *wanted
                                : SerialSettings{port->baud, port->dataBits, port->parity,
                                                 port->stopBits, port->flowControl};
  ApplySerialBaud(port, apply.baud);
  ApplySerialDataBits(port, apply.dataBits);
  ApplySerialParity(port, apply.parity);
  ApplySerialStopBits(port, apply.stopBits);
  ApplySerialFlowControl(port, apply.flowControl);
  return SERIAL_OK;
}

int32_t FlushSerialDevice(SerialPort* port) {
  if (!isOpen(port)) return SERIAL_ECLOSED;
  return tcflush(port->native->fd, TCIOFLUSH) == 0 ? SERIAL_OK : SERIAL_EFLUSH;
}

int32_t CloseSerialFd(SerialPort* port) {
  if (!isOpen(port)) return SERIAL_ECLOSED;
  return closeFd(port);
}

int32_t CloseSerialDevice(SerialPort* port) {
  if (!port) return SERIAL_OK;
  int32_t rc = SERIAL_OK;
  if (isOpen(port)) {
    // A port whose settings cannot be restored is closed all the same: a
    // record kept open would hold the device until the process ends.
    tcflush(port->native->fd, TCIOFLUSH);
    bool restored = sys.setAttr(port->native->fd, TCSANOW, &port->native->saved) == 0;
    rc = closeFd(port);
    if (!restored) rc = SERIAL_ESETTINGS;
  }
  FreeMemory(port->native);
  FreeMemory(port);
  return rc;
}

int32_t SerialBytesAvailable(SerialPort* port, int32_t* count) {
  *count = 0;
  if (!isOpen(port)) return SERIAL_ECLOSED;
  int pending = 0;
  if (ioctl(port->native->fd, FIONREAD, &pending) != 0) return SERIAL_EIOCTL;
  *count = pending;
  return SERIAL_OK;
}

int32_t WriteSerial(SerialPort* port, const void* data, size_t length, size_t* count) {
  *count = 0;
  if (!isOpen(port)) return SERIAL_ECLOSED;
  return writeOnce(port->native->fd, data, length, count);
}

int32_t ReadSerial(SerialPort* port, void* buffer, size_t length, size_t* count) {
  *count = 0;
  if (!isOpen(port)) return SERIAL_ECLOSED;
  return readOnce(port->native->fd, buffer, length, count);
}

int32_t WriteSerialTimeout(SerialPort* port, const void* data, size_t length, size_t* count,
                           int32_t milliseconds) {
  *count = 0;
  if (!isOpen(port)) return SERIAL_ECLOSED;
  int ready = waitReady(port->native->fd, POLLOUT, milliseconds > 0 ? milliseconds : 0);
  if (ready < 0) return SERIAL_ESELECT;
  if (ready == 0) return SERIAL_ETIMEOUT;
  return writeOnce(port->native->fd, data, length, count);
}

int32_t ReadSerialTimeout(SerialPort* port, void* buffer, size_t length, size_t* count,
                          int32_t milliseconds) {
  *count = 0;
  if (!isOpen(port)) return SERIAL_ECLOSED;
  int ready = waitReady(port->native->fd, POLLIN, milliseconds > 0 ? milliseconds : 0);
  if (ready < 0) return SERIAL_ESELECT;
  if (ready == 0) return SERIAL_ETIMEOUT;
  return readOnce(port->native->fd, buffer, length, count);
}

int32_t ReadSerialCount(SerialPort* port, void* buffer, size_t length, size_t* count,
                        int32_t milliseconds) {
  *count = 0;
  if (!isOpen(port)) return SERIAL_ECLOSED;
  int fd = port->native->fd;
  int64_t start = nowMs();
  for (;;) {
    int pending = 0;
    if (ioctl(fd, FIONREAD, &pending) != 0) return SERIAL_EREAD;
    if (pending >= 0 && static_cast<size_t>(pending) >= length) break;
    int waitMs = -1;
    if (milliseconds > 0) {
      int64_t left = milliseconds - (nowMs() - start);
      if (left <= 0) break;
      waitMs = static_cast<int>(left);
    }
    if (pending > 0) {
      // Readiness is already signalled for the bytes that are there, so a
      // wait would return at once: nap instead of spinning.
      Delay(waitMs >= 0 && waitMs < PARTIAL_WAIT_MS ? waitMs : PARTIAL_WAIT_MS);
      continue;
    }
    struct pollfd p = {fd, POLLIN, 0};
    int rc = poll(&p, 1, waitMs);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return SERIAL_ESELECT;
    }
    if (rc == 0) return SERIAL_ETIMEOUT;
    // A hang-up without data cannot turn into pending bytes: let the read
    // report it rather than wait on.
    if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLIN)) break;
  }
  return readOnce(fd, buffer, length, count);
}

void DiscardSerialInput(SerialPort* port) {
  if (!isOpen(port)) return;
  char scratch[SCRATCH_SIZE];
  for (;;) {
    int pending = 0;
    if (ioctl(port->native->fd, FIONREAD, &pending) != 0 || pending <= 0) return;
    size_t got = 0;
    size_t want = static_cast<size_t>(pending) < sizeof scratch ? static_cast<size_t>(pending)
                                                                : sizeof scratch;
    if (readOnce(port->native->fd, scratch, want, &got) != SERIAL_OK || got == 0) return;
  }
}

void DescribeSerialPort(const SerialPort* port, char* text, size_t size) {
  if (!text || size == 0) return;
  auto orEmpty = [](const char* s) { return s ? s : ""; };
  std::snprintf(text, size,
                "device: %s, baud: %s, data bits: %s, parity: %s, stop bits: %s, flow control: %s",
                port->deviceName, orEmpty(SerialBaudText(port->baud)),
                orEmpty(SerialDataBitsText(port->dataBits)),
                orEmpty(SerialParityText(port->parity)),
                orEmpty(SerialStopBitsText(port->stopBits)),
                orEmpty(SerialFlowControlText(port->flowControl)));
}
