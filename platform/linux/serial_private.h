// The serial back end of the serial library: port records, the text of
// settings and results, device access with time-outs and the system-call
// table that tests replace. Used inside platform/linux and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/platform.h"

// ---- Serial back end ----------------------------------------------------------------
// termios serial ports for the serial library. Every operation returns one of
// the SERIAL_ result codes, which the library turns into script errors.

struct termios;

enum : int32_t {
  SERIAL_OK = 0,
  SERIAL_EUNKNOWN = 1,  // a value out of range
  SERIAL_EOPEN = 2,
  SERIAL_ECLOSE = 3,
  SERIAL_EFLUSH = 4,
  SERIAL_ESETTINGS = 5,
  SERIAL_EREAD = 6,
  SERIAL_EWRITE = 7,
  SERIAL_ESELECT = 8,  // the readiness wait failed
  SERIAL_ETIMEOUT = 9,
  SERIAL_EIOCTL = 10,
  SERIAL_ECLOSED = 11,  // the operation needs an open port
};

constexpr size_t SERIAL_DEVICE_NAME_MAX = 30;  // characters, without terminator

struct SerialNative;  // descriptor and saved terminal settings

// Settings are indices into the text tables below.
struct SerialPort {
  char deviceName[SERIAL_DEVICE_NAME_MAX + 1];
  SerialNative* native;
  int32_t baud;         // default 3: "9600"
  int32_t dataBits;     // default 3: "8"
  int32_t stopBits;     // default 0: "1"
  int32_t flowControl;  // default 0: "off"
  int32_t parity;       // default 0: "none"
  int32_t open;         // 1 while the device is open
  int32_t dtr;          // state last set, 0 or 1
  int32_t rts;
};

// Texts by index; null for an index beyond the table.
const char* SerialBaudText(int32_t index);
const char* SerialDataBitsText(int32_t index);
const char* SerialParityText(int32_t index);
const char* SerialStopBitsText(int32_t index);
const char* SerialFlowControlText(int32_t index);
const char* SerialLineStateText(int32_t index);  // DTR, RTS: "off", "on"
const char* SerialResultText(int32_t code);

SerialPort* NewSerialPort();  // defaults, device "/dev/ttyS0"; null without memory
void SetSerialDeviceName(SerialPort* port, const char* name);  // cut at 30 characters
int32_t GetSerialBaud(const SerialPort* port);
int32_t GetSerialDataBits(const SerialPort* port);
int32_t GetSerialParity(const SerialPort* port);
int32_t GetSerialStopBits(const SerialPort* port);
int32_t GetSerialFlowControl(const SerialPort* port);
int32_t GetSerialDtr(const SerialPort* port);
int32_t GetSerialRts(const SerialPort* port);
int32_t IsSerialOpen(const SerialPort* port);
int GetSerialDescriptor(const SerialPort* port);  // -1 while closed

// Setters need an open port (11); 1 for an index out of range, 5 when the
// settings cannot be read or written. The index is stored only on success.
int32_t ApplySerialBaud(SerialPort* port, int32_t index);
int32_t ApplySerialDataBits(SerialPort* port, int32_t index);
int32_t ApplySerialStopBits(SerialPort* port, int32_t index);
int32_t ApplySerialParity(SerialPort* port, int32_t index);
int32_t ApplySerialFlowControl(SerialPort* port, int32_t index);
int32_t SetSerialDtr(SerialPort* port, int32_t state);  // 10 when the ioctl fails
int32_t SetSerialRts(SerialPort* port, int32_t state);

// Opens in raw mode and applies the stored settings; 2 when the device does
// not open (or the port is open already), 5 when it cannot be set up.
int32_t OpenSerialDevice(SerialPort* port);
int32_t FlushSerialDevice(SerialPort* port);
int32_t CloseSerialFd(SerialPort* port);
// Flushes, restores the settings saved at open, closes and frees the port.
// When the settings cannot be restored (5) the port stays open and is not
// freed; any other result means the record is gone. Null is ignored.
int32_t CloseSerialDevice(SerialPort* port);

int32_t SerialBytesAvailable(SerialPort* port, int32_t* count);
// Without waiting: a read of a silent line gives 0 bytes.
int32_t WriteSerial(SerialPort* port, const void* data, size_t length, size_t* count);
int32_t ReadSerial(SerialPort* port, void* buffer, size_t length, size_t* count);
// Wait up to the given milliseconds for readiness (9 when it does not come),
// then one write or read.
int32_t WriteSerialTimeout(SerialPort* port, const void* data, size_t length, size_t* count,
                           int32_t milliseconds);
int32_t ReadSerialTimeout(SerialPort* port, void* buffer, size_t length, size_t* count,
                          int32_t milliseconds);
// Waits until length bytes are pending or the milliseconds have passed (0:
// no limit), then reads up to length bytes; 9 when nothing came at all.
int32_t ReadSerialCount(SerialPort* port, void* buffer, size_t length, size_t* count,
                        int32_t milliseconds);
void DiscardSerialInput(SerialPort* port);
// "device: ..., baud: ..., ..." into text (always terminated).
void DescribeSerialPort(const SerialPort* port, char* text, size_t size);

// Test seam for the device calls that ptys cannot serve: the modem-line
// ioctls (TIOCMGET, TIOCMSET) and tcsetattr, which a pty refuses for some
// character sizes and parities. Null restores the system calls.
struct SerialSystemCalls {
  int (*modemIoctl)(int fd, unsigned long request, int* bits);
  int (*setAttr)(int fd, int actions, const struct termios* settings);
};
void SetSerialSystemCalls(const SerialSystemCalls* calls);
