// The X11 back end's functions that only platform/linux calls: the
// visual's pixel format, the wake messages, the X error trap, size hints,
// titles, icons, pointers, screen modes and drawing into a window. These
// take no Xlib types; the records that hold them are in x11_private.h.
// Used inside platform/linux and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/platform.h"

// ---- X11 connection, event wait and wake-up ----
// Process-wide X11 set-up, one connection record per server name, the wake
// pipe that lets any thread end the main thread's wait, the wait itself and
// the orderly close. Xlib types stay inside the folder (x11_private.h).

// The message written into the wake pipe as one unit: kinds below, value a
// timer record or a connection record where the kind says so.
struct WakeMessage {
  uint32_t kind;
  uint32_t reserved;
  uint64_t value;
};
enum : uint32_t {
  WAKE_EVENT = 0,       // value 0
  WAKE_TIMER = 1,       // value: the TimerRecord that fired
  WAKE_POINTER = 2,     // value: the X11ConnectionRecord whose pointer moved
  WAKE_END_READER = 3,  // value 0
};
int32_t GetX11PixelFormat(const X11ConnectionRecord* connection);  // -1: none matched
// The wake pipe (made once per process): 0 or ERR_PIPE.
ErrorCode PrepareX11BackEnd();
// One atomic write; safe from any thread. Nothing happens without a pipe.
void SendWakeMessage(uint32_t kind, uint64_t value);
// Reads every waiting message; timer messages go to the timer list. Returns
// a mask of the kinds seen (bit 1 << kind). A pointer message's connection
// is written to *pointerConnection when that is given.
uint32_t ReadWakeMessages(X11ConnectionRecord** pointerConnection);
// Lets the pointer-watch threads connect and start looking; called when the
// wake messages are first read, since nobody takes their reports before.
void WantX11PointerWatch();
// Set by the pump when it left events for its next pass.
void SetX11EventsPending(int pending);
// The last X protocol error code that a request caused (0 when none), and
// clears it. X errors never end the program; a lost connection is reported
// as ERR_XDISPLAY.
int32_t TakeX11Error();

// ---- X11 windows, pointers, modes, monitors and drawing ----
// The window side of the X11 back end for the display library: windows with
// their window-manager properties, pointers, monitors and screen modes,
// drawing straight into a window and the copy of bitmap rectangles into it.
// X errors come back as error codes.

void SetX11SizeHints(const X11Window& window, long flags);
void SetScreenSaverEnabled(X11DisplayRecord* record, int enable);

// The cursors made from a pointer's image so far (one per X server).
int32_t CountX11PointerCursors(const X11PointerNode* pointer);
// The choice of SetFullscreenMode: the smallest mode at least as large as
// asked, -1 when none is.
int32_t ChooseX11DisplayMode(const X11DisplayMode* modes, int32_t count, int32_t width,
                             int32_t height);

void DrawX11Line(const X11Window& window, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                 uint32_t colour);
void DrawX11Point(const X11Window& window, int32_t x, int32_t y, uint32_t colour);
