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

// Closes the devices and forgets the scan, so the next query scans again.
void FreeJoysticks();
// The direction for two axis values, with the dead zone of +-16000.
int32_t JoystickDirection(int32_t horizontal, int32_t vertical);
// Test seam: device paths are prefix + number ("/dev/input/js" first, then
// "/dev/js"). Null restores the system paths. Takes effect at the next scan.
void SetJoystickDevicePrefixes(const char* primary, const char* fallback);
