// The X11 back end's side of the hooks that the layers above install
// (platform.h): the bitmap services, the video rectangles and the picture
// codec of the clipboard, each with its defaults when nothing is installed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/platform.h"

// The installed bitmap services, or the defaults: nothing is made or
// locked, colours pass as 0xRRGGBB, the screen's format goes nowhere.
const X11BitmapHooks& X11Bitmaps();
// The video rectangles of the display (0 when no query is installed).
int32_t QueryX11VideoRects(const DisplayRecord* display, int32_t* rects, int32_t max);
// The installed picture codec, or the refusing defaults.
const ClipboardImageCodec& ClipboardImages();
