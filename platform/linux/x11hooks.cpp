// The hooks through which the X11 back end reaches the layers above it.
// Invariant: every hook answers, installed or not; the defaults do the
// least that keeps the back end correct without the layers above.
#include "platform/linux/x11hooks_private.h"

namespace {

// Installed once when the program loads, never part of a run's state, so
// the platform's context record does not hold them.
X11VideoRectsQuery videoRects = nullptr;

}  // namespace

void SetX11VideoRectsQuery(X11VideoRectsQuery query) { videoRects = query; }
int32_t QueryX11VideoRects(const DisplayRecord* display, int32_t* rects, int32_t max) {
  return videoRects ? videoRects(display, rects, max) : 0;
}
