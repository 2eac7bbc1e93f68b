// The X11 back end's side of the hooks that the layers above install
// (platform.h), each with its defaults when nothing is installed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/platform.h"

// The video rectangles of the display (0 when no query is installed).
int32_t QueryX11VideoRects(const DisplayRecord* display, int32_t* rects, int32_t max);
// The installed picture codec, or the refusing defaults.
const ClipboardImageCodec& ClipboardImages();
