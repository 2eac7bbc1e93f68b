// Linux joystick devices: the scan, the device table, the direction reader
// and the device prefixes that tests replace. Used inside platform/linux and
// by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/platform.h"

// ---- Joysticks ----------------------------------------------------------------------
// Linux joystick devices, found once, read without blocking by the event pump
// and asked for a direction and buttons. Game ports count from 0 in the order
// the devices were found. Used by the main thread only.

// Directions, the script's JOY constants.
enum : int32_t {
  JOYUP = 0,
  JOYUPRIGHT = 1,
  JOYRIGHT = 2,
  JOYDOWNRIGHT = 3,
  JOYDOWN = 4,
  JOYDOWNLEFT = 5,
  JOYLEFT = 6,
  JOYUPLEFT = 7,
  JOYNODIR = 8,
};

// Opens the devices on the first call (later calls only count them); 0 or
// ERR_MEM. count may be null.
ErrorCode ScanJoysticks(int32_t* count);
// Direction and button bits (bit n = button n) of the device at a port;
// ERR_NOJOYATPORT when there is none. Scans first when needed. Either out
// pointer may be null.
ErrorCode GetJoystickDevice(int32_t port, int32_t* direction, uint32_t* buttons);
// Closes the devices and forgets the scan, so the next query scans again.
void FreeJoysticks();
// The direction for two axis values, with the dead zone of +-16000.
int32_t JoystickDirection(int32_t horizontal, int32_t vertical);
// Test seam: device paths are prefix + number ("/dev/input/js" first, then
// "/dev/js"). Null restores the system paths. Takes effect at the next scan.
void SetJoystickDevicePrefixes(const char* primary, const char* fallback);
