// The "serial" library: serial devices as script objects over the
// platform's termios back end; line settings, modem lines, and reads and
// writes with or without a time-out.
//
// Invariants: every SerialPortObject in the list owns one open back-end
// port; a stored setting is one the device accepted (options are checked
// before anything opens, and a setting the device refuses keeps the index
// of before); a closed port is always freed, even when its terminal
// settings could not be restored.
#include <memory>

#include "engine/engine.h"
#include "engine/optiontable.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

namespace {

// The applet version that OpenSerialPort needs.
constexpr int OPEN_MIN_VERSION = 8;

struct SerialPortObject {
  ObjectHead head;
  SerialPort* port;
};

// The library's state; FreeAllSerialPorts puts it back to its start.
struct SerialState {
  ObjectHead* ports = nullptr;  // SerialPortObject list, appended at the tail
};
SerialState serial;

// The largest index of each setting, as the constants number them.
constexpr int32_t MAX_BAUD = 8, MAX_DATA_BITS = 3, MAX_PARITY = 2, MAX_STOP_BITS = 1, MAX_FLOW = 2,
                  MAX_LINE = 1;

void unlinkPort(SerialPortObject* node) {
  for (ObjectHead** p = &serial.ports; *p; p = &(*p)->next) {
    if (*p == &node->head) {
      *p = node->head.next;
      return;
    }
  }
}

// Closes the device and frees the node; the back end's result.
int32_t freePort(VmState* L, SerialPortObject* node) {
  int32_t rc = CloseSerialDevice(node->port);
  if (node->head.data) FreeObjectDataList(L, &node->head.data);
  FreeMemory(node);
  return rc;
}

ErrorCode findPort(ObjectId id, SerialPortObject** out) {
  *out = nullptr;
  for (ObjectHead* h = serial.ports; h; h = h->next) {
    if (id.autoId ? h->autoId == id.autoId : (h->autoId == nullptr && h->number == id.number)) {
      *out = reinterpret_cast<SerialPortObject*>(h);
      return ERR_NONE;
    }
  }
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDSERIAL;
}

ErrorCode portArg(VmState* L, int index, SerialPort** port) {
  SerialPortObject* node;
  ErrorCode error = findPort(GetObjectIdArg(L, index, nullptr), &node);
  if (error) return error;
  *port = node->port;
  return ERR_NONE;
}

struct FreeMemoryDeleter {
  void operator()(void* p) const { FreeMemory(p); }
};

int cmdOpenSerialPort(VmState* L) {
  CheckArgCount(L, 2, 3, OPEN_MIN_VERSION, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  const char* device = VmCheckString(L, 2, nullptr);
  SerialSettings wanted = {3, 3, 0, 0, 0};
  int32_t dtr = 0, rts = 0;
  if (VmType(L, 3) != VM_TYPE_NONE) {
    VmCheckTable(L, 3);
    auto row = [](const char* name, int32_t* to, int32_t max) {
      OptionField f{name, OPTION_INT, to};
      f.check = OPTION_RANGE;
      f.min = 0;
      f.max = max;
      return f;
    };
    const OptionField rows[] = {
        row("baudrate", &wanted.baud, MAX_BAUD),
        row("databits", &wanted.dataBits, MAX_DATA_BITS),
        row("parity", &wanted.parity, MAX_PARITY),
        row("stopbits", &wanted.stopBits, MAX_STOP_BITS),
        row("flowcontrol", &wanted.flowControl, MAX_FLOW),
        row("dtr", &dtr, MAX_LINE),
        row("rts", &rts, MAX_LINE),
    };
    ErrorCode error = ReadOptionTable(L, 3, rows);
    if (error) return error;
  }
  if (!automatic) {
    SerialPortObject* old;
    if (findPort(id, &old) == ERR_NONE) {
      unlinkPort(old);
      freePort(L, old);
    }
  }
  SerialPort* port = NewSerialPort();
  if (!port) return ERR_INITSERIAL;
  if (SetSerialDeviceName(port, device) != SERIAL_OK || OpenSerialDevice(port, &wanted)) {
    CloseSerialDevice(port);
    SetErrorArgString(device);
    return ERR_OPENSERIAL;
  }
  StoreSerialLineStates(port, dtr, rts);
  auto* node = static_cast<SerialPortObject*>(AllocMemory(sizeof(SerialPortObject), 1));
  if (!node) {
    CloseSerialDevice(port);
    return ERR_MEM;
  }
  node->head.type = OBJTYPE_SERIAL;
  node->head.number = automatic ? 0 : id.number;
  node->head.autoId = automatic ? node : nullptr;
  node->port = port;
  ObjectHead** tail = &serial.ports;
  while (*tail) tail = &(*tail)->next;
  *tail = &node->head;
  if (!automatic) return 0;
  VmPushLightUserdata(L, node);
  return 1;
}

int cmdCloseSerialPort(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  SerialPortObject* node;
  ErrorCode error = findPort(GetObjectIdArg(L, 1, nullptr), &node);
  if (error) return error;
  unlinkPort(node);
  return freePort(L, node) == SERIAL_OK ? 0 : ERR_SERIALIO;
}

int cmdReadSerialData(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  SerialPort* port;
  if (ErrorCode e = portArg(L, 1, &port)) return e;
  int32_t count = VmCheckInteger(L, 2);
  int32_t timeout = VmOptInteger(L, 3, 0);
  if (count < 1) return ERR_WRONGUSAGE;
  std::unique_ptr<char, FreeMemoryDeleter> buffer(
      static_cast<char*>(AllocMemory(static_cast<size_t>(count), 0)));
  if (!buffer) return ERR_MEM;
  size_t got = 0;
  int32_t rc =
      timeout > 0 ? ReadSerialTimeout(port, buffer.get(), static_cast<size_t>(count), &got, timeout)
                  : ReadSerial(port, buffer.get(), static_cast<size_t>(count), &got);
  bool timedOut = rc == SERIAL_ETIMEOUT;
  if (rc != SERIAL_OK && !timedOut) return ERR_SERIALIO;
  VmPushLString(L, buffer.get(), timedOut ? 0 : got);
  VmPushNumber(L, timedOut ? 0 : static_cast<double>(got));
  VmPushNumber(L, timedOut ? 1 : 0);
  return 3;
}

int cmdWriteSerialData(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  SerialPort* port;
  if (ErrorCode e = portArg(L, 1, &port)) return e;
  size_t length;
  const char* data = VmCheckString(L, 2, &length);
  int32_t timeout = VmOptInteger(L, 3, 0);
  if (length == 0) return ERR_WRONGUSAGE;
  size_t written = 0;
  int32_t rc = timeout > 0 ? WriteSerialTimeout(port, data, length, &written, timeout)
                           : WriteSerial(port, data, length, &written);
  bool timedOut = rc == SERIAL_ETIMEOUT;
  if (rc != SERIAL_OK && !timedOut) return ERR_SERIALIO;
  VmPushNumber(L, timedOut ? 0 : static_cast<double>(written));
  VmPushNumber(L, timedOut ? 1 : 0);
  return 2;
}

int cmdFlushSerialPort(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  SerialPort* port;
  if (ErrorCode e = portArg(L, 1, &port)) return e;
  FlushSerialDevice(port);
  return 0;
}

int cmdClearSerialQueue(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  SerialPort* port;
  if (ErrorCode e = portArg(L, 1, &port)) return e;
  DiscardSerialInput(port);
  return 0;
}

int cmdPollSerialQueue(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  SerialPort* port;
  if (ErrorCode e = portArg(L, 1, &port)) return e;
  int32_t count = 0;
  if (SerialBytesAvailable(port, &count) != SERIAL_OK) return ERR_SERIALIO;
  VmPushNumber(L, count);
  return 1;
}

template <int32_t (*Get)(const SerialPort*)>
int getSetting(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  SerialPort* port;
  if (ErrorCode e = portArg(L, 1, &port)) return e;
  VmPushNumber(L, Get(port));
  return 1;
}

template <int32_t (*Set)(SerialPort*, int32_t)>
int setSetting(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  SerialPort* port;
  if (ErrorCode e = portArg(L, 1, &port)) return e;
  return Set(port, VmCheckInteger(L, 2)) == SERIAL_OK ? 0 : ERR_WRONGUSAGE;
}

int readSerialAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(serial.ports));
    return 1;
  }
  SerialPort* port;
  if (ErrorCode e = portArg(L, 2, &port)) return e;
  return ERR_UNKNOWNATTR;
}

const CommandTableEntry serialCommands[] = {
    {"OpenSerialPort", cmdOpenSerialPort},
    {"CloseSerialPort", cmdCloseSerialPort},
    {"ReadSerialData", cmdReadSerialData},
    {"WriteSerialData", cmdWriteSerialData},
    {"FlushSerialPort", cmdFlushSerialPort},
    {"ClearSerialQueue", cmdClearSerialQueue},
    {"PollSerialQueue", cmdPollSerialQueue},
    {"GetBaudRate", getSetting<GetSerialBaud>},
    {"GetDataBits", getSetting<GetSerialDataBits>},
    {"GetParity", getSetting<GetSerialParity>},
    {"GetStopBits", getSetting<GetSerialStopBits>},
    {"GetFlowControl", getSetting<GetSerialFlowControl>},
    {"GetDTR", getSetting<GetSerialDtr>},
    {"GetRTS", getSetting<GetSerialRts>},
    {"SetBaudRate", setSetting<ApplySerialBaud>},
    {"SetDataBits", setSetting<ApplySerialDataBits>},
    {"SetParity", setSetting<ApplySerialParity>},
    {"SetStopBits", setSetting<ApplySerialStopBits>},
    {"SetFlowControl", setSetting<ApplySerialFlowControl>},
    {"SetDTR", setSetting<SetSerialDtr>},
    {"SetRTS", setSetting<SetSerialRts>},
    {nullptr, nullptr},
};

const ConstantTableEntry serialConstants[] = {
    {"BAUD_300", nullptr, 0},    {"BAUD_2400", nullptr, 1},     {"BAUD_4800", nullptr, 2},
    {"BAUD_9600", nullptr, 3},   {"BAUD_19200", nullptr, 4},    {"BAUD_38400", nullptr, 5},
    {"BAUD_57600", nullptr, 6},  {"BAUD_115200", nullptr, 7},   {"BAUD_460800", nullptr, 8},
    {"DATA_5", nullptr, 0},      {"DATA_6", nullptr, 1},        {"DATA_7", nullptr, 2},
    {"DATA_8", nullptr, 3},      {"PARITY_NONE", nullptr, 0},   {"PARITY_ODD", nullptr, 1},
    {"PARITY_EVEN", nullptr, 2}, {"STOP_1", nullptr, 0},        {"STOP_2", nullptr, 1},
    {"FLOW_OFF", nullptr, 0},    {"FLOW_HARDWARE", nullptr, 1}, {"FLOW_XON_XOFF", nullptr, 2},
    {"DTR_OFF", nullptr, 0},     {"DTR_ON", nullptr, 1},        {"RTS_OFF", nullptr, 0},
    {"RTS_ON", nullptr, 1},      {nullptr, nullptr, 0},
};

}  // namespace

ErrorCode OpenSerialLibrary(VmState* L) {
  ErrorCode error = RegisterLibrary(serialCommands, "serial");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, serialCommands, 0);
  VmRegisterConstants(L, serialConstants, 0);
  error = RegisterAttributeReader(OBJTYPE_SERIAL, readSerialAttribute);
  if (error) return error;
  return RegisterObjectList(&serial.ports);
}

void FreeAllSerialPorts(VmState* L) {
  while (serial.ports) {
    auto* node = reinterpret_cast<SerialPortObject*>(serial.ports);
    serial.ports = node->head.next;
    freePort(L, node);
  }
  serial = SerialState();
}
