// The platform's context record: the catalogs, the running script's state
// and quit switches, the temporary directory, the opened joysticks and the
// debug device of one run of the player, in one place, so that FreePlatformContext can
// release them and put the record back in its start state (the default
// member values below).
//
// Left outside on purpose, since they outlive a run: the signal thread and
// its timers' lock and termination count, the run's temporary names that
// it deletes on a second termination signal (files.cpp), the X11 wake
// pipe, the bound desktop libraries, the desktop-library thread of the
// requesters, the program's own path and the test seams. The X connection has its own list in x11.cpp and goes with
// CloseX11Connection.
#pragma once

#include "platform/linux/platform.h"

struct Catalog;
struct JoystickDevice;

struct PlatformContext {
  // The player's catalog and the one whose texts the error texts use
  // (catalog.cpp).
  Catalog* playerCatalog = nullptr;
  Catalog* installedCatalog = nullptr;
  // The script that runs and the quit switches (entry.cpp).
  VmState* runningState = nullptr;
  int32_t quitOnCtrlC = 1;
  int32_t quitOnLeftMouse = 0;
  int32_t quitOnEscape = 0;
  // Where temporary files go (files.cpp).
  char tempDirectory[NATIVE_PATH_MAX] = "/tmp";
  // Opened joystick devices, scanned at most once (joystick.cpp).
  JoystickDevice* joysticks = nullptr;
  bool joysticksScanned = false;
  // The debug device (debug.cpp); null is standard output.
  FILE* debugDevice = nullptr;
  bool debugDeviceOwned = false;
  // A progress line on standard output waits for its "done" (debug.cpp).
  bool consoleLineOpen = false;
};

extern PlatformContext platformContext;
