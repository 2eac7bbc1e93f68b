// Drawing of the X11 back end: lines, points and filled rectangles drawn
// straight into a display's window, and the copy of a bitmap rectangle into
// the window through which every refresh reaches the screen.
// Invariant: nothing is drawn unless the display is open and its window
// exists; plain windows copy no pixel (the image wraps the locked bitmap,
// whose format is the connection's), transparent windows are premultiplied
// by the window's alpha channel on the way.
#include <algorithm>
#include <cstring>

#include "platform/linux/x11_private.h"
#include "platform/linux/x11calls_private.h"
#include "platform/linux/x11hooks_private.h"

namespace {

bool drawable(const X11Window& window) {
  const X11DisplayRecord* rec = window.record;
  return window.open && rec && rec->window && rec->gc && rec->connection &&
         !rec->connection->lost.load();
}

void setDrawColor(X11DisplayRecord* rec, uint32_t colour) {
  int32_t format = rec->connection->pixelFormat;
  unsigned long pixel = format == 10
                            ? (colour & 0xffffff)
                            : X11Bitmaps().colourToPixel(colour, static_cast<uint32_t>(format), 0);
  XSetForeground(rec->display, rec->gc, pixel);
}

constexpr int32_t MAX_CLIPPED_VIDEOS = 64;  // videos kept out of one drawing

// Drawing into the window keeps out of the rectangles that videos draw
// straight into: the window's region with each video's rectangle taken
// away by exclusive or. Flag 32 or no such video: no clip.
Region buildVideoClipRegion(const X11Window& window, uint32_t flags) {
  int32_t rects[4 * MAX_CLIPPED_VIDEOS];
  const int32_t count =
      (flags & 32) ? 0 : QueryX11VideoRects(window.owner, rects, MAX_CLIPPED_VIDEOS);
  if (count <= 0) return nullptr;
  Region region = XCreateRegion();
  if (!region) return nullptr;
  XRectangle all = {
      0, 0, static_cast<unsigned short>(window.width + window.marginLeft + window.marginRight),
      static_cast<unsigned short>(window.height + window.marginTop + window.marginBottom)};
  XUnionRectWithRegion(&all, region, region);
  for (int32_t i = 0; i < count; i++) {
    const int32_t* r = rects + 4 * i;
    if (r[2] <= 0 || r[3] <= 0) continue;
    Region video = XCreateRegion();
    if (!video) continue;
    XRectangle box = {static_cast<short>(r[0] + window.marginLeft),
                      static_cast<short>(r[1] + window.marginTop),
                      static_cast<unsigned short>(r[2]), static_cast<unsigned short>(r[3])};
    XUnionRectWithRegion(&box, video, video);
    XXorRegion(region, video, region);
    XDestroyRegion(video);
  }
  XSetRegion(window.record->display, window.record->gc, region);
  return region;
}

void clearClipRegion(X11DisplayRecord* rec, Region region) {
  if (!region) return;
  XSetClipMask(rec->display, rec->gc, None);
  XDestroyRegion(region);
}

}  // namespace

void DrawX11Line(const X11Window& window, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                 uint32_t colour) {
  if (!drawable(window)) return;
  X11DisplayRecord* rec = window.record;
  Region clip = buildVideoClipRegion(window, 0);
  setDrawColor(rec, colour);
  XDrawLine(rec->display, rec->window, rec->gc, x1 + window.marginLeft, y1 + window.marginTop,
            x2 + window.marginLeft, y2 + window.marginTop);
  XFlush(rec->display);
  clearClipRegion(rec, clip);
}

void DrawX11Point(const X11Window& window, int32_t x, int32_t y, uint32_t colour) {
  if (!drawable(window)) return;
  X11DisplayRecord* rec = window.record;
  Region clip = buildVideoClipRegion(window, 0);
  setDrawColor(rec, colour);
  XDrawPoint(rec->display, rec->window, rec->gc, x + window.marginLeft, y + window.marginTop);
  XFlush(rec->display);
  clearClipRegion(rec, clip);
}

void FillX11Rect(const X11Window& window, int32_t x, int32_t y, int32_t width, int32_t height,
                 uint32_t colour) {
  if (!drawable(window) || width <= 0 || height <= 0) return;
  X11DisplayRecord* rec = window.record;
  Region clip = buildVideoClipRegion(window, 0);
  setDrawColor(rec, colour);
  XFillRectangle(rec->display, rec->window, rec->gc, x + window.marginLeft, y + window.marginTop,
                 static_cast<unsigned>(width), static_cast<unsigned>(height));
  XFlush(rec->display);
  clearClipRegion(rec, clip);
}

void PutPixelsToWindow(BitmapHandle* bitmap, int32_t sx, int32_t sy, const X11Window& window,
                       int32_t dx, int32_t dy, int32_t width, int32_t height) {
  if (!drawable(window) || width <= 0 || height <= 0) return;
  X11DisplayRecord* rec = window.record;
  if (rec->moveDrag || rec->sizeDrag) return;
  const X11BitmapHooks& bitmaps = X11Bitmaps();
  BitmapLock lock;
  if (!bitmaps.lock(bitmap, 1, &lock)) return;
  // Only the part of the rectangle that lies inside the bitmap is put.
  int32_t w = std::min(width, lock.width - sx), h = std::min(height, lock.height - sy);
  if (sx < 0 || sy < 0 || w <= 0 || h <= 0 ||
      (lock.bytesPerPixel != 2 && lock.bytesPerPixel != 4)) {
    bitmaps.unlock(&lock);
    return;
  }
  dx += window.marginLeft;
  dy += window.marginTop;
  auto* premultiplied = static_cast<BitmapHandle*>(rec->premultiplied);
  auto* windowAlpha = static_cast<BitmapHandle*>(rec->alphaCopy);
  BitmapLock windowLock{}, alphaLock{};
  char* data = reinterpret_cast<char*>(lock.address);
  int32_t imageWidth = lock.width, imageHeight = lock.height, depth = rec->depth;
  int bytesPerLine = lock.bytesPerPixel * lock.rowLength;
  int pad = depth == 24 ? 32 : depth;
  bool transparent = premultiplied && windowAlpha && lock.bytesPerPixel == 4;
  if (transparent) {
    if (!bitmaps.lock(premultiplied, 0, &windowLock)) {
      bitmaps.unlock(&lock);
      return;
    }
    if (!bitmaps.lock(windowAlpha, 1, &alphaLock)) {
      bitmaps.unlock(&windowLock);
      bitmaps.unlock(&lock);
      return;
    }
    // The premultiplied pixels go to the destination position of the
    // window bitmap and the put reads them from there as well.
    int32_t cw = std::min({w, windowLock.width - dx, alphaLock.width - dx});
    int32_t ch = std::min({h, windowLock.height - dy, alphaLock.height - dy});
    for (int32_t y = 0; y < ch && dx >= 0 && dy >= 0; y++) {
      const uint8_t* s = lock.address + (static_cast<ptrdiff_t>(sy + y) * lock.rowLength + sx) * 4;
      uint8_t* d =
          windowLock.address + (static_cast<ptrdiff_t>(dy + y) * windowLock.rowLength + dx) * 4;
      const uint8_t* a =
          alphaLock.address + static_cast<ptrdiff_t>(dy + y) * alphaLock.rowLength + dx;
      for (int32_t x = 0; x < cw; x++, s += 4, d += 4) {
        uint32_t level = a[x];
        if (lock.pixelFormat == 10) {
          d[0] = static_cast<uint8_t>(level * s[0] / 255);
          d[1] = static_cast<uint8_t>(level * s[1] / 255);
          d[2] = static_cast<uint8_t>(level * s[2] / 255);
          d[3] = static_cast<uint8_t>(level);
        } else {
          d[0] = static_cast<uint8_t>(level);
          d[1] = static_cast<uint8_t>(level * s[1] / 255);
          d[2] = static_cast<uint8_t>(level * s[2] / 255);
          d[3] = static_cast<uint8_t>(level * s[3] / 255);
        }
      }
    }
    bitmaps.unlock(&alphaLock);
    bitmaps.unlock(&windowLock);
    bitmaps.unlock(&lock);
    if (!bitmaps.lock(premultiplied, 1, &lock)) return;
    data = reinterpret_cast<char*>(lock.address);
    imageWidth = lock.width;
    imageHeight = lock.height;
    bytesPerLine = 4 * lock.rowLength;
    depth = 32;
    pad = 32;
    sx = dx;
    sy = dy;
  }
  XImage* image = XCreateImage(rec->display, rec->visual, static_cast<unsigned>(depth), ZPixmap, 0,
                               data, static_cast<unsigned>(imageWidth),
                               static_cast<unsigned>(imageHeight), pad, bytesPerLine);
  if (image) {
    Region clip = buildVideoClipRegion(window, 0);
    XPutImage(rec->display, rec->window, rec->gc, image, sx, sy, dx, dy, static_cast<unsigned>(w),
              static_cast<unsigned>(h));
    XFlush(rec->display);
    clearClipRegion(rec, clip);
    image->data = nullptr;  // the pixels belong to the bitmap
    XDestroyImage(image);
  }
  bitmaps.unlock(&lock);
}
