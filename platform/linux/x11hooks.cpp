// The hooks through which the X11 back end reaches the layers above it:
// bitmaps, the video rectangles of a display and the clipboard's picture
// codec. Invariant: every hook answers, installed or not; the defaults do
// the least that keeps the back end correct without the layers above.
#include "platform/linux/x11hooks_private.h"

namespace {

BitmapHandle* noAlloc(int32_t, int32_t) { return nullptr; }
void noFree(BitmapHandle*) {}
BitmapHandle* noClone(const BitmapHandle*, int32_t, int32_t) { return nullptr; }
uintptr_t noLock(void*, uint32_t, BitmapLock*) { return 0; }
void noUnlock(BitmapLock*) {}
uint32_t plainColour(uint32_t colour, uint32_t, int) { return colour & 0xffffff; }
void noScreenFormat(int32_t) {}
constexpr X11BitmapHooks DEFAULT_BITMAPS = {noAlloc, noFree,   noClone,     noFree,
                                            noLock,  noUnlock, plainColour, noScreenFormat};

ErrorCode noEncode(const ClipboardRecord*, uint8_t**, size_t*) { return ERR_UNSUPPORTEDFEAT; }
ErrorCode noDecode(const uint8_t*, size_t, ClipboardRecord*) { return ERR_LOADPICTURE2; }
constexpr ClipboardImageCodec DEFAULT_CODEC = {noEncode, noDecode};

// Installed once when the program loads, never part of a run's state, so
// the platform's context record does not hold them.
const X11BitmapHooks* bitmapHooks = nullptr;
X11VideoRectsQuery videoRects = nullptr;
const ClipboardImageCodec* imageCodec = nullptr;

}  // namespace

void SetX11BitmapHooks(const X11BitmapHooks* hooks) { bitmapHooks = hooks; }
const X11BitmapHooks& X11Bitmaps() { return bitmapHooks ? *bitmapHooks : DEFAULT_BITMAPS; }

void SetX11VideoRectsQuery(X11VideoRectsQuery query) { videoRects = query; }
int32_t QueryX11VideoRects(const DisplayRecord* display, int32_t* rects, int32_t max) {
  return videoRects ? videoRects(display, rects, max) : 0;
}

void SetClipboardImageCodec(const ClipboardImageCodec* codec) { imageCodec = codec; }
const ClipboardImageCodec& ClipboardImages() { return imageCodec ? *imageCodec : DEFAULT_CODEC; }
