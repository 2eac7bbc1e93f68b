// The serial back end of the serial library: port records, the text of
// settings and results, device access with time-outs and the system-call
// table that tests replace. Used inside platform/linux and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/platform.h"

// ---- Serial back end ----------------------------------------------------------------
// What the serial library calls is declared in platform/linux/platform.h;
// here are the port record, the texts and the test seams.

struct termios;
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

int GetSerialDescriptor(const SerialPort* port);  // -1 while closed

int32_t CloseSerialFd(SerialPort* port);
// Waits until length bytes are pending or the milliseconds have passed (0:
// no limit), then reads up to length bytes; 9 when nothing came at all.
int32_t ReadSerialCount(SerialPort* port, void* buffer, size_t length, size_t* count,
                        int32_t milliseconds);
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
