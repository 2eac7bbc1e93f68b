// The hooks through which the X11 back end reaches the layers above it.
// Invariant: every hook answers, installed or not; the defaults do the
// least that keeps the back end correct without the layers above.
#include "platform/linux/x11hooks_private.h"

namespace {

ErrorCode noEncode(const ClipboardRecord*, uint8_t**, size_t*) { return ERR_UNSUPPORTEDFEAT; }
ErrorCode noDecode(const uint8_t*, size_t, ClipboardRecord*) { return ERR_LOADPICTURE2; }
constexpr ClipboardImageCodec DEFAULT_CODEC = {noEncode, noDecode};

// Installed once when the program loads, never part of a run's state, so
// the platform's context record does not hold them.
X11VideoRectsQuery videoRects = nullptr;
const ClipboardImageCodec* imageCodec = nullptr;

}  // namespace

void SetX11VideoRectsQuery(X11VideoRectsQuery query) { videoRects = query; }
int32_t QueryX11VideoRects(const DisplayRecord* display, int32_t* rects, int32_t max) {
  return videoRects ? videoRects(display, rects, max) : 0;
}

void SetClipboardImageCodec(const ClipboardImageCodec* codec) { imageCodec = codec; }
const ClipboardImageCodec& ClipboardImages() { return imageCodec ? *imageCodec : DEFAULT_CODEC; }
