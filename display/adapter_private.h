// The display library's choice between the display adapter plug-in and the
// built-in X11 back end: one wrapper per window operation, each calling the
// adapter's hook with the display's window handle when an adapter is
// installed, else the X11 routine.
#pragma once

#include <cstdint>

#include "display/display.h"
#include "display/display_private.h"

struct DisplayAdapter;

// The installed adapter, or null (the X11 back end).
const DisplayAdapter* DisplayAdapterInUse();
// What the X11 back end reads of the display, taken from its record as it
// stands (an empty window without a display), for one call of the back end.
X11Window X11WindowOf(const DisplayRecord* display);
// The display's frame sizes in the back end's record, and set from it.
X11FrameSizes FrameSizesOf(const DisplayRecord* display);
void SetFrameSizes(DisplayRecord* display, const X11FrameSizes& frame);
// The adapter's window handle of an open display (null without one).
void* AdapterWindowOf(const DisplayRecord* display);
// The display's style as the adapter's display flags.
uint32_t AdapterDisplayFlags(const DisplayRecord* display);

ErrorCode DetermineDisplayBorderSizes(DisplayRecord* display);
// Opens the adapter's window (ERR_WINDOW when it makes none) / closes it.
ErrorCode OpenAdapterWindow(DisplayRecord* display);
void CloseAdapterWindow(DisplayRecord* display);
void FillDisplayRect(DisplayRecord* display, int32_t x, int32_t y, int32_t width, int32_t height,
                     uint32_t colour, uint32_t flags);
// Direct drawing into the window (colours 0xAARRGGBB, alpha 0xFF opaque),
// then told to the display's callbacks (messages 1, 2 and 3).
void DrawDisplayLine(DisplayRecord* display, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                     uint32_t colour);
void WriteDisplayPixel(DisplayRecord* display, int32_t x, int32_t y, uint32_t colour);
void ActivateDisplayWindow(DisplayRecord* display);
void SizeMoveDisplayWindow(DisplayRecord* display, int sized);
void SetDisplayPointerVisible(DisplayRecord* display, int visible);
// Clears an adapter's window to the colour (nothing on X11, whose window
// is redrawn from its bitmap).
void ClearDisplayWindow(DisplayRecord* display, uint32_t colour);
// The window title from the display's title field.
void SetDisplayWindowTitle(DisplayRecord* display);
// Minimises the window (minimise 1) or shows and activates it again.
ErrorCode ShowHideDisplayWindow(DisplayRecord* display, int minimise);
// The window copy of an area through the adapter's BltBitMap; source is
// the bitmap whose pixels land at (dx, dy) of the window (margins added
// here), scaled to scaledWidth x scaledHeight when those are set and the
// host did not scale.
void AdapterWindowCopy(DisplayRecord* display, BitmapHandle* source, int32_t sx, int32_t sy,
                       int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t scaledWidth,
                       int32_t scaledHeight, int hostScaled);
// The adapter's monitor list (QM_ADAPTER_MONITORS) as a chain; *handled is
// false when the X11 list is to be used.
MonitorNode* AdapterMonitorList(DisplayRecord* display, bool* handled);
// One pass of the adapter's event loop: 1 when it handled the poll.
int AdapterHandleEvents(VmState* L, ErrorCode* error);
// The adapter's event wait; false without an adapter.
bool AdapterWaitEvents(VmState* L, ErrorCode* error);
// Runs the main chunk through the adapter's own loop when it has one.
bool AdapterRunsMainLoop();
// The adapter's installation and wake-up slots of the platform.
void InstallAdapterEventHooks();
// Activates the window, taking the input focus only when asked (the X11
// back end always takes it).
void ActivateDisplayWindowFocus(DisplayRecord* display, int takeFocus);
