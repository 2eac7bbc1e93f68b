// Joysticks through the Linux joystick devices: a list of opened devices in
// the order found, each with its button bits and two axis values, updated
// from the 8-byte event records the driver delivers.
// Invariants: a device's `carry` holds fewer than 8 bytes, the start of a
// record that a read split; the list is scanned at most once until
// FreeJoysticks forgets it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/joystick_private.h"
#include "platform/linux/context_private.h"

namespace {

constexpr size_t EVENT_SIZE = 8;      // time (4), value (2), type (1), number (1)
constexpr size_t READ_CHUNK = 256;    // bytes per read
constexpr int32_t DEAD_ZONE = 16000;  // axis values within +-16000 are centred
constexpr uint8_t EVENT_BUTTON = 0x01;
constexpr uint8_t EVENT_AXIS = 0x02;

}  // namespace

struct JoystickDevice {
  JoystickDevice* next;
  int fd;
  uint32_t buttons;    // bit n = button n pressed
  int16_t horizontal;  // axis 0
  int16_t vertical;    // the last of the other axes
  size_t carried;
  unsigned char carry[EVENT_SIZE];
};

namespace {

// Test seams (SetJoystickDevicePrefixes); no run state.
std::string primaryPrefix = "/dev/input/js";
std::string fallbackPrefix = "/dev/js";

int openDevice(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void applyEvent(JoystickDevice* dev, const unsigned char* rec) {
  int16_t value;
  std::memcpy(&value, rec + 4, sizeof value);
  uint8_t type = rec[6];
  uint8_t number = rec[7];
  if (type & EVENT_BUTTON) {
    if (number < 32) {
      if (value) {
        dev->buttons |= 1u << number;
      } else {
        dev->buttons &= ~(1u << number);
      }
    }
  } else if (type & EVENT_AXIS) {
    if (number == 0) {
      dev->horizontal = value;
    } else {
      dev->vertical = value;
    }
  }
}

// Applies whole records; a record split by the read is kept for the next.
void consume(JoystickDevice* dev, const unsigned char* data, size_t length) {
  size_t i = 0;
  if (dev->carried) {
    size_t need = EVENT_SIZE - dev->carried;
    size_t take = length < need ? length : need;
    std::memcpy(dev->carry + dev->carried, data, take);
    dev->carried += take;
    i = take;
    if (dev->carried < EVENT_SIZE) return;
    applyEvent(dev, dev->carry);
    dev->carried = 0;
  }
  for (; i + EVENT_SIZE <= length; i += EVENT_SIZE) applyEvent(dev, data + i);
  dev->carried = length - i;
  std::memcpy(dev->carry, data + i, dev->carried);
}

int32_t countDevices() {
  int32_t n = 0;
  for (JoystickDevice* d = platformContext.joysticks; d; d = d->next) n++;
  return n;
}

}  // namespace

ErrorCode ScanJoysticks(int32_t* count) {
  if (!platformContext.joysticksScanned) {
    JoystickDevice** tail = &platformContext.joysticks;
    for (int n = 0;; n++) {
      int fd = openDevice(primaryPrefix + std::to_string(n));
      if (fd < 0) fd = openDevice(fallbackPrefix + std::to_string(n));
      if (fd < 0) break;
      auto* dev = static_cast<JoystickDevice*>(AllocMemory(sizeof(JoystickDevice), 1));
      if (!dev) {
        // What was found so far stays; the next scan starts over.
        close(fd);
        FreeJoysticks();
        if (count) *count = 0;
        return ERR_MEM;
      }
      dev->fd = fd;
      *tail = dev;
      tail = &dev->next;
    }
    platformContext.joysticksScanned = true;
  }
  if (count) *count = countDevices();
  return ERR_NONE;
}

ErrorCode GetJoystickDevice(int32_t port, int32_t* direction, uint32_t* buttons) {
  if (!platformContext.joysticksScanned) {
    ErrorCode rc = ScanJoysticks(nullptr);
    if (rc != ERR_NONE) return rc;
  }
  JoystickDevice* dev = platformContext.joysticks;
  for (int32_t i = 0; dev && i < port; i++) dev = dev->next;
  if (port < 0 || !dev) return ERR_NOJOYATPORT;
  if (direction) *direction = JoystickDirection(dev->horizontal, dev->vertical);
  if (buttons) *buttons = dev->buttons;
  return ERR_NONE;
}

void PollJoysticks() {
  unsigned char buf[READ_CHUNK];
  for (JoystickDevice* dev = platformContext.joysticks; dev; dev = dev->next) {
    for (;;) {
      ssize_t n = read(dev->fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 1) break;
      consume(dev, buf, static_cast<size_t>(n));
    }
  }
}

void FreeJoysticks() {
  while (platformContext.joysticks) {
    JoystickDevice* next = platformContext.joysticks->next;
    close(platformContext.joysticks->fd);
    FreeMemory(platformContext.joysticks);
    platformContext.joysticks = next;
  }
  platformContext.joysticksScanned = false;
}

int32_t JoystickDirection(int32_t horizontal, int32_t vertical) {
  // Rows: right, centre, left; columns: up, centre, down.
  static const int32_t TABLE[3][3] = {
      {JOYUPRIGHT, JOYRIGHT, JOYDOWNRIGHT},
      {JOYUP, JOYNODIR, JOYDOWN},
      {JOYUPLEFT, JOYLEFT, JOYDOWNLEFT},
  };
  int row = horizontal > DEAD_ZONE ? 0 : horizontal < -DEAD_ZONE ? 2 : 1;
  int col = vertical < -DEAD_ZONE ? 0 : vertical > DEAD_ZONE ? 2 : 1;
  return TABLE[row][col];
}

void SetJoystickDevicePrefixes(const char* primary, const char* fallback) {
  primaryPrefix = primary ? primary : "/dev/input/js";
  fallbackPrefix = fallback ? fallback : "/dev/js";
}
