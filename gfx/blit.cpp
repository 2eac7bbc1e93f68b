// Blits between bitmap handles: rectangle clipping, plain, masked and
// alpha-channel copies, tiling, alpha-channel draws and combines, the
// central SafeBlt with its clip-mask scratch buffer, and the one-pass
// masked blit over a saved background.
// Invariant: a blit runs a kernel only on a rectangle that lies inside
// every buffer it reads or writes (checked after locking), so a caller's
// clipping mistake draws nothing instead of touching foreign memory.
//
// SafeBlt draws into a bitmap, a display's window bitmap (then refreshed) or
// straight into the window; without any display it draws only into bitmaps,
// with neither sprites nor scaling nor a refresh. The plain, masked and
// alpha blits ask the display adapter first (a video destination, or
// bitmaps it made when it draws that kind of blit); every other blit runs
// in software on locked memory, which adapter bitmaps lock through the
// adapter.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "gfx/adapter_private.h"
#include "gfx/bitmap_private.h"
#include "gfx/context_private.h"
#include "gfx/gfx.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"
#include "platform/linux/platform.h"

using namespace pixel;
using bitmapint::Inside;

namespace {

// Two pixel locks, or one when source and destination are the same bitmap
// (locks never nest on one bitmap).
struct PairLock {
  BitmapLock src{}, dst{};
  bool same = false, ok = false;

  PairLock(BitmapHandle* s, BitmapHandle* d) {
    if (!s || !d) return;
    same = s == d;
    if (!bitmapint::Lock(s, !same, &src)) return;
    if (same) {
      dst = src;
    } else if (!bitmapint::Lock(d, false, &dst)) {
      UnlockBitmap(&src);
      return;
    }
    ok = !src.software && !dst.software && src.bytesPerPixel == dst.bytesPerPixel &&
         (dst.bytesPerPixel == 2 || dst.bytesPerPixel == 4);
    if (!ok) release();
  }
  ~PairLock() { release(); }
  void release() {
    if (src.token) UnlockBitmap(&src);
    if (!same && dst.token) UnlockBitmap(&dst);
    src.token = dst.token = 0;
  }
  bool covers(int32_t sx, int32_t sy, int32_t dx, int32_t dy, int32_t w, int32_t h) const {
    return ok && w > 0 && h > 0 && Inside(src, sx, sy, w, h) && Inside(dst, dx, dy, w, h);
  }
};

// A mask or alpha lock that covers the rectangle, else released.
bool lockPlane(BitmapHandle* h, uint32_t format, int32_t x, int32_t y, int32_t w, int32_t hgt,
               BitmapLock* lock) {
  if (!bitmapint::Lock(h, true, lock)) return false;
  if (lock->pixelFormat != format || !Inside(*lock, x, y, w, hgt)) {
    UnlockBitmap(lock);
    return false;
  }
  return true;
}

// Copies the w x h bits of a locked mask from (x, y) into the series, bit 0
// of each row first; false when there is no memory for them.
bool rememberMask(MaskedOverSeries* series, const BitmapLock& m, int32_t x, int32_t y, int32_t w,
                  int32_t h) {
  const int32_t rowBytes = (w + 7) >> 3;
  const size_t bytes = static_cast<size_t>(rowBytes) * static_cast<size_t>(h);
  if (bytes > series->maskBytes) {
    auto* grown = static_cast<uint8_t*>(AllocMemory(bytes, 0));
    if (!grown) return false;
    FreeMemory(series->mask);
    series->mask = grown;
    series->maskBytes = bytes;
  }
  series->maskRowBytes = rowBytes;
  const int32_t whole = w >> 3, shift = x & 7;
  for (int32_t j = 0; j < h; ++j) {
    const uint8_t* from = m.address + static_cast<ptrdiff_t>(y + j) * m.rowLength + (x >> 3);
    uint8_t* to = series->mask + static_cast<ptrdiff_t>(j) * rowBytes;
    // Whole bytes need the next source byte only where their bits reach
    // into it, which lies inside the rectangle then.
    if (shift == 0)
      std::memcpy(to, from, static_cast<size_t>(whole));
    else
      for (int32_t k = 0; k < whole; ++k)
        to[k] = static_cast<uint8_t>(from[k] << shift | from[k + 1] >> (8 - shift));
    if (whole < rowBytes) {
      uint8_t last = 0;
      for (int32_t i = whole * 8; i < w; ++i)
        if (MaskBit(from, shift + i)) last |= static_cast<uint8_t>(0x80u >> (i & 7));
      to[whole] = last;
    }
  }
  return true;
}

// Builds the blit's mask (or alpha channel) combined with the clip mask in
// the scratch buffer; returns the scratch handle, or null when the scratch
// cannot grow. The clip bit of destination (dx, dy) is (dx - clip x,
// dy - clip y).
BitmapHandle* combineWithClip(const BlitClip* clip, BitmapHandle* source, BitmapHandle* mask,
                              BitmapHandle* alpha, int32_t sx, int32_t sy, int32_t dx, int32_t dy,
                              int32_t w, int32_t h, int32_t sourceWidth) {
  BitmapLock clipLock;
  if (!bitmapint::Lock(clip->mask, true, &clipLock) || clipLock.pixelFormat != PIXFMT_MASK1)
    return nullptr;
  int32_t cx = dx - clip->x, cy = dy - clip->y;
  BitmapHandle* result = nullptr;
  if (Inside(clipLock, cx, cy, w, h)) {
    bool isAlpha = alpha != nullptr;
    size_t rowBytes =
        isAlpha
            ? static_cast<size_t>(sourceWidth)
            : ((static_cast<size_t>(std::max<intptr_t>(GetBitmapAttr(source, 13), sourceWidth)) +
                15) >>
               3) &
                  ~static_cast<size_t>(1);
    size_t rows = static_cast<size_t>(h) + static_cast<size_t>(sy), bytes;
    if (rowBytes > 0 && rowBytes <= INT32_MAX && !__builtin_mul_overflow(rowBytes, rows, &bytes) &&
        rows <= INT32_MAX && GrowBlitScratch(bytes)) {
      BitmapLock plane{};
      bool hasPlane = isAlpha ? lockPlane(alpha, PIXFMT_ALPHA8, sx, sy, w, h, &plane)
                              : (mask && lockPlane(mask, PIXFMT_MASK1, sx, sy, w, h, &plane));
      if (isAlpha && !hasPlane) {
        UnlockBitmap(&clipLock);
        return nullptr;
      }
      gfxContext.blitScratch.record = SoftBitmap{
          isAlpha ? BITMAP_ALPHA : BITMAP_MASK,
          sourceWidth,
          static_cast<int32_t>(rows),
          gfxContext.blitScratch.buffer,
          static_cast<int32_t>(rowBytes),
          1,
          isAlpha ? static_cast<uint32_t>(PIXFMT_ALPHA8) : static_cast<uint32_t>(PIXFMT_MASK1),
          1,
          0,
          0};
      gfxContext.blitScratch.handle = BitmapHandle{gfxContext.blitScratch.record.kind,
                                                   &gfxContext.blitScratch.record,
                                                   sourceWidth,
                                                   static_cast<int32_t>(rows),
                                                   0,
                                                   0,
                                                   0};
      CombineClipMask(!isAlpha && hasPlane ? plane.address : nullptr, plane.rowLength,
                      isAlpha ? plane.address : nullptr, plane.rowLength, clipLock.address,
                      clipLock.rowLength, cx, cy, isAlpha ? nullptr : gfxContext.blitScratch.buffer,
                      static_cast<int32_t>(rowBytes),
                      isAlpha ? gfxContext.blitScratch.buffer : nullptr,
                      static_cast<int32_t>(rowBytes), sx, sy, w, h);
      if (hasPlane) UnlockBitmap(&plane);
      result = &gfxContext.blitScratch.handle;
    }
  }
  UnlockBitmap(&clipLock);
  return result;
}

}  // namespace

void ClipBlitRect(const BlitClip* clip, int32_t* sx, int32_t* sy, int32_t* dx, int32_t* dy,
                  int32_t* width, int32_t* height, int32_t sourceWidth, int32_t sourceHeight,
                  int32_t destWidth, int32_t destHeight, int32_t useClip) {
  int64_t x0 = 0, y0 = 0, right = destWidth, bottom = destHeight;
  if (clip && useClip) {
    x0 = clip->x;
    y0 = clip->y;
    right = static_cast<int64_t>(clip->x) + clip->width;
    bottom = static_cast<int64_t>(clip->y) + clip->height;
  }
  int64_t s_x = *sx, s_y = *sy, d_x = *dx, d_y = *dy, w = *width, h = *height;
  if (d_x < x0) {
    s_x += x0 - d_x;
    w -= x0 - d_x;
    d_x = x0;
  }
  if (d_y < y0) {
    s_y += y0 - d_y;
    h -= y0 - d_y;
    d_y = y0;
  }
  w = std::min({w, sourceWidth - s_x, right - d_x});
  h = std::min({h, sourceHeight - s_y, bottom - d_y});
  *sx = VmClampInt32(s_x);
  *sy = VmClampInt32(s_y);
  *dx = VmClampInt32(d_x);
  *dy = VmClampInt32(d_y);
  *width = VmClampInt32(w);
  *height = VmClampInt32(h);
}

void BltBitmapToTarget(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                       int32_t dy, int32_t width, int32_t height) {
  if (AdapterBlit(source, sx, sy, dest, dx, dy, width, height, nullptr, false, QM_DRAWCAP_BLIT))
    return;
  PairLock p(source, dest);
  if (!p.covers(sx, sy, dx, dy, width, height)) return;
  CopyPixels(p.src.address, sx, sy, p.dst.address, dx, dy, width, height, p.src.rowLength,
             p.dst.rowLength, p.dst.bytesPerPixel);
}

void BltBitmapMasked(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                     int32_t dy, int32_t width, int32_t height, BitmapHandle* mask) {
  if (mask &&
      AdapterBlit(source, sx, sy, dest, dx, dy, width, height, mask, false, QM_DRAWCAP_MASKBLIT))
    return;
  PairLock p(source, dest);
  BitmapLock m;
  if (!p.covers(sx, sy, dx, dy, width, height) ||
      !lockPlane(mask, PIXFMT_MASK1, sx, sy, width, height, &m))
    return;
  CopyPixelsMasked(p.src.address, p.dst.address, m.address, sx, sy, dx, dy, width, height,
                   p.src.rowLength, m.rowLength, p.dst.rowLength, p.dst.bytesPerPixel);
  UnlockBitmap(&m);
}

void BltSpanLocked(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                   int32_t dy, int32_t width, int32_t height, BitmapHandle* alpha,
                   BitmapHandle* secondAlpha, int32_t mode) {
  if (mode < 0 || mode > 2) return;
  PairLock p(source, dest);
  BitmapLock a, da{};
  if (!p.covers(sx, sy, dx, dy, width, height) || p.src.pixelFormat != p.dst.pixelFormat ||
      !lockPlane(alpha, PIXFMT_ALPHA8, sx, sy, width, height, &a))
    return;
  bool second =
      mode == 2 && secondAlpha && lockPlane(secondAlpha, PIXFMT_ALPHA8, dx, dy, width, height, &da);
  SpanDescriptor span{p.src.address,
                      sx,
                      sy,
                      sx,
                      sy,
                      p.src.rowLength,
                      p.dst.address,
                      dx,
                      dy,
                      p.dst.rowLength,
                      width,
                      height,
                      a.address,
                      second ? da.address : nullptr,
                      a.rowLength,
                      second ? da.rowLength : 0,
                      p.dst.pixelFormat};
  RunSpanRoutine(&span, p.dst.bytesPerPixel, mode);
  if (second) UnlockBitmap(&da);
  UnlockBitmap(&a);
}

ErrorCode BltLocked(const BitmapLock* source, int32_t sx, int32_t sy, const BitmapLock* dest,
                    int32_t dx, int32_t dy, int32_t width, int32_t height,
                    const BitmapLock* plane) {
  if (!source || !dest || !source->address || !dest->address) return ERR_WRONGUSAGE;
  int32_t bpp = dest->bytesPerPixel;
  if (source->pixelFormat != dest->pixelFormat || source->bytesPerPixel != bpp ||
      (bpp != 2 && bpp != 4))
    return ERR_WRONGUSAGE;
  if (plane && (!plane->address ||
                (plane->pixelFormat != PIXFMT_MASK1 && plane->pixelFormat != PIXFMT_ALPHA8)))
    return ERR_WRONGUSAGE;
  // Locks handed in by plug-ins: a row must hold the lock's width.
  auto rowsHold = [](const BitmapLock* l, int64_t needed) {
    return l->width >= 0 && l->height >= 0 && l->rowLength >= needed;
  };
  if (!rowsHold(source, source->width) || !rowsHold(dest, dest->width) ||
      (plane &&
       !rowsHold(plane, plane->pixelFormat == PIXFMT_MASK1 ? (int64_t{plane->width} + 7) / 8
                                                           : int64_t{plane->width})))
    return ERR_WRONGUSAGE;
  // The plane's size bounds the source rectangle too.
  int32_t sw = source->width, sh = source->height;
  if (plane) {
    sw = std::min(sw, plane->width);
    sh = std::min(sh, plane->height);
  }
  if (!bitmapint::ClipPair(sw, sh, dest->width, dest->height, &sx, &sy, &dx, &dy, &width, &height))
    return 0;
  if (!plane) {
    CopyPixels(source->address, sx, sy, dest->address, dx, dy, width, height, source->rowLength,
               dest->rowLength, bpp);
  } else if (plane->pixelFormat == PIXFMT_MASK1) {
    CopyPixelsMasked(source->address, dest->address, plane->address, sx, sy, dx, dy, width, height,
                     source->rowLength, plane->rowLength, dest->rowLength, bpp);
  } else {
    SpanDescriptor span{source->address,
                        sx,
                        sy,
                        sx,
                        sy,
                        source->rowLength,
                        dest->address,
                        dx,
                        dy,
                        dest->rowLength,
                        width,
                        height,
                        plane->address,
                        nullptr,
                        plane->rowLength,
                        0,
                        dest->pixelFormat};
    RunSpanRoutine(&span, bpp, 0);
  }
  return 0;
}

void BltBitmapAlpha(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                    int32_t dy, int32_t width, int32_t height, BitmapHandle* alpha) {
  if (alpha &&
      AdapterBlit(source, sx, sy, dest, dx, dy, width, height, alpha, true, QM_DRAWCAP_ALPHABLIT))
    return;
  BltSpanLocked(source, sx, sy, dest, dx, dy, width, height, alpha, nullptr, 0);
}

void TileBitmap(BitmapHandle* dest, int32_t x, int32_t y, int32_t width, int32_t height,
                BitmapHandle* tile, int32_t tileWidth, int32_t tileHeight, int32_t offsetX,
                int32_t offsetY, int32_t raw, const uint32_t* rawTile, uint32_t* rawDest,
                int32_t rawModulo) {
  if (tileWidth <= 0 || tileHeight <= 0 || width <= 0 || height <= 0) return;
  // A true modulo: an offset that is a negative multiple of the tile size
  // must land on 0, not on the tile size.
  int32_t ox = ((offsetX % tileWidth) + tileWidth) % tileWidth;
  int32_t oy = ((offsetY % tileHeight) + tileHeight) % tileHeight;
  for (int32_t cy = 0, ty = oy; cy < height; cy += tileHeight - ty, ty = 0) {
    int32_t ph = std::min(tileHeight - ty, height - cy);
    for (int32_t cx = 0, tx = ox; cx < width; cx += tileWidth - tx, tx = 0) {
      int32_t pw = std::min(tileWidth - tx, width - cx);
      if (raw) {
        for (int32_t j = 0; j < ph; ++j)
          std::memcpy(rawDest + static_cast<ptrdiff_t>(cy + j) * width + cx,
                      rawTile + static_cast<ptrdiff_t>(ty + j) * rawModulo + tx,
                      static_cast<size_t>(pw) * 4);
      } else {
        BltBitmapToTarget(tile, tx, ty, dest, x + cx, y + cy, pw, ph);
      }
    }
  }
}

void BltAlphaChannel(BitmapHandle* alpha, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                     int32_t dy, int32_t width, int32_t height, ArgbColor colour, int32_t mode,
                     BitmapHandle* destAlpha, int32_t p1, int32_t p2, int32_t p3,
                     BitmapHandle* source, const uint8_t* alphaAddress, int32_t alphaRow) {
  if (!dest) {
    DebugPrintf("ERROR! BLTALPHACHANNEL() CALLED WITH DST=NULL!\n");
    return;
  }
  if (width <= 0 || height <= 0) return;
  BitmapLock d, a{}, da{}, s{};
  if (!bitmapint::Lock(dest, false, &d)) return;
  bool ok = !d.software && (d.bytesPerPixel == 2 || d.bytesPerPixel == 4) &&
            Inside(d, dx, dy, width, height);
  bool alphaLocked = false, destAlphaLocked = false, sourceLocked = false;
  const uint8_t* alphaBase = alphaAddress;
  int32_t alphaRowBytes = alphaRow;
  if (ok && !alphaBase) {
    alphaLocked = lockPlane(alpha, PIXFMT_ALPHA8, sx, sy, width, height, &a);
    ok = alphaLocked && mode != 3;  // mode 3 reads 16-bit values from a given address
    alphaBase = a.address;
    alphaRowBytes = a.rowLength;
  }
  if (ok && destAlpha) {
    destAlphaLocked = lockPlane(destAlpha, PIXFMT_ALPHA8, dx, dy, width, height, &da);
    ok = destAlphaLocked;
  }
  if (ok && source && source != dest) {
    sourceLocked = bitmapint::Lock(source, true, &s);
    ok = sourceLocked && s.pixelFormat == d.pixelFormat && Inside(s, sx, sy, width, height);
  }
  if (ok) {
    AlphaDrawRequest q{};
    q.alpha = alphaBase;
    q.alphaX = sx;
    q.alphaY = sy;
    q.alphaRowBytes = alphaRowBytes;
    q.dest = d.address;
    q.destX = dx;
    q.destY = dy;
    q.destRowLength = d.rowLength;
    q.destAlpha = destAlphaLocked ? da.address : nullptr;
    q.destAlphaRowBytes = da.rowLength;
    q.source = sourceLocked ? s.address : nullptr;
    q.sourceRowLength = s.rowLength;
    q.width = width;
    q.height = height;
    q.colour = ColorToPixel(colour, d.pixelFormat, 0);
    q.level = std::clamp(p1, 0, 255);
    q.mode = mode;
    q.format = d.pixelFormat;
    q.bytesPerPixel = d.bytesPerPixel;
    AlphaDrawKernel(&q);
  }
  if (sourceLocked) UnlockBitmap(&s);
  if (destAlphaLocked) UnlockBitmap(&da);
  if (alphaLocked) UnlockBitmap(&a);
  UnlockBitmap(&d);
}

void ClipBltAlphaChannel(BitmapHandle* alpha, int32_t sx, int32_t sy, BitmapHandle* dest,
                         int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t sourceWidth,
                         int32_t sourceHeight, int32_t destWidth, int32_t destHeight,
                         ArgbColor colour, int32_t mode, BitmapHandle* destAlpha, int32_t p1,
                         int32_t p2, int32_t p3, BitmapHandle* source, const uint8_t* alphaAddress,
                         int32_t alphaRow) {
  if (!bitmapint::ClipPair(sourceWidth, sourceHeight, destWidth, destHeight, &sx, &sy, &dx, &dy,
                           &width, &height))
    return;
  BltAlphaChannel(alpha, sx, sy, dest, dx, dy, width, height, colour, mode, destAlpha, p1, p2, p3,
                  source, alphaAddress, alphaRow);
}

void BltBitmapFormat(BitmapHandle* alpha, int32_t sx, int32_t sy, BitmapHandle* destAlpha,
                     int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t mode,
                     int32_t intensity) {
  if (width <= 0 || height <= 0) return;
  BitmapLock s, d;
  if (!lockPlane(alpha, PIXFMT_ALPHA8, sx, sy, width, height, &s)) return;
  if (alpha == destAlpha) {
    d = s;
  } else if (!lockPlane(destAlpha, PIXFMT_ALPHA8, dx, dy, width, height, &d)) {
    UnlockBitmap(&s);
    return;
  }
  if (Inside(d, dx, dy, width, height)) {
    AlphaCombineRequest q{s.address, sx,     sy,          d.address,   dx,   dy,
                          width,     height, s.rowLength, d.rowLength, mode, intensity};
    CombineAlphaBytes(&q);
  }
  if (alpha != destAlpha) UnlockBitmap(&d);
  UnlockBitmap(&s);
}

void ClipAndBltBitmap(BitmapHandle* alpha, int32_t sx, int32_t sy, BitmapHandle* destAlpha,
                      int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t sourceWidth,
                      int32_t sourceHeight, int32_t destWidth, int32_t destHeight, int32_t mode,
                      int32_t intensity) {
  if (!bitmapint::ClipPair(sourceWidth, sourceHeight, destWidth, destHeight, &sx, &sy, &dx, &dy,
                           &width, &height))
    return;
  BltBitmapFormat(alpha, sx, sy, destAlpha, dx, dy, width, height, mode, intensity);
}

namespace {
std::atomic<const DisplayBlitHooks*> displayHooks{nullptr};
}  // namespace

void SetDisplayBlitHooks(const DisplayBlitHooks* hooks) {
  displayHooks.store(hooks, std::memory_order_release);
}

const BitmapHandle* SelectedOutputBitmap() {
  const DisplayBlitHooks* hooks = displayHooks.load(std::memory_order_acquire);
  BlitDisplayState view{};
  return hooks && hooks->current(&view) ? view.selectedOutput : nullptr;
}

namespace {

// Shows the blit in the window over a copy of the window bitmap's
// rectangle, with the display's sprites over it when asked.
void showThroughCopy(const DisplayBlitHooks* hooks, DisplayRecord* display, BitmapHandle* shown,
                     BitmapHandle* source, int32_t sx, int32_t sy, int32_t dx, int32_t dy,
                     int32_t width, int32_t height, BitmapHandle* mask, BitmapHandle* alpha,
                     bool sprites) {
  // The rectangle is clipped to the output; what lies outside the window
  // bitmap is not shown.
  if (dx < 0 || dy < 0 || int64_t{dx} + width > shown->width ||
      int64_t{dy} + height > shown->height)
    return;
  BitmapHandle* copy = AllocBitmap(width, height, 0, nullptr);
  if (!copy) return;
  BltBitmapToTarget(shown, dx, dy, copy, 0, 0, width, height);
  if (mask)
    BltBitmapMasked(source, sx, sy, copy, 0, 0, width, height, mask);
  else if (alpha)
    BltBitmapAlpha(source, sx, sy, copy, 0, 0, width, height, alpha);
  else
    BltBitmapToTarget(source, sx, sy, copy, 0, 0, width, height);
  if (sprites && hooks->drawSprites) hooks->drawSprites(display, copy, dx, dy, width, height);
  hooks->refreshRect(copy, 0, 0, display, dx, dy, width, height, 0);
  FreeBitmap(copy);
}

}  // namespace

void SafeBlt(void* state, BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest,
             int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t sourceWidth,
             int32_t sourceHeight, int32_t destWidth, int32_t destHeight, uint32_t flags,
             BitmapHandle* mask, BitmapHandle* alpha, const BlitClip* clip) {
  const DisplayBlitHooks* hooks = displayHooks.load(std::memory_order_acquire);
  BlitDisplayState view{};
  DisplayRecord* display = hooks ? hooks->current(&view) : nullptr;
  // Without a display only a blit into a bitmap can go ahead, drawn as into
  // a brush: the display-only steps below are passed over.
  bool noDisplay = display == nullptr;
  if (noDisplay) {
    if (!dest || !(flags & SAFEBLT_BITMAPONLY)) {
      DebugPrintf("ERROR! SAFEBLT() CALLED WITH DISPLAY=NULL!\n");
      return;
    }
    flags |= SAFEBLT_NOSPRITES;
  }
  if (sx < 0 || sy < 0) return;
  const bool destGiven = dest != nullptr;
  // Without a clip of its own the blit goes through the output's active
  // region.
  BlitClip active{};
  if (!clip && !(flags & SAFEBLT_NOCLIPRECORD) && gfxContext.activeClip) {
    const ClipRegion* r = gfxContext.activeClip;
    active = BlitClip{r->x, r->y, r->width, r->height, r->mask};
    clip = &active;
  }
  if (!(flags & SAFEBLT_NOCLIP)) {
    ClipBlitRect(clip, &sx, &sy, &dx, &dy, &width, &height, sourceWidth, sourceHeight, destWidth,
                 destHeight, !(flags & SAFEBLT_NOCLIPRECORD));
    if (width <= 0 || height <= 0) return;
  }
  // Only a blit onto the display itself is scaled on its way to the
  // window; a selected brush, picture or back buffer takes it unscaled.
  if (!noDisplay && view.isDisplay && (flags & SAFEBLT_SCALED) && view.scaleWidth > 0 &&
      view.scaleHeight > 0) {
    hooks->refreshScaled(source, sx, sy, display, dx, dy, width, height, view.scaleWidth,
                         view.scaleHeight, 0, mask, alpha, clip);
    return;
  }
  // Sprites stay intact: a blit into the window bitmap under a sprite goes
  // into the bitmap alone, and the rectangle is shown again with the
  // sprites over it.
  if (!noDisplay && !(flags & SAFEBLT_NOSPRITES) && view.isDisplay && !view.hasLayers &&
      hooks->spritesOver && hooks->spriteRefresh && view.windowBitmap &&
      (dest == view.windowBitmap ||
       (!dest && (flags & (SAFEBLT_BACKBUFFER | SAFEBLT_REFRESHBACK)))) &&
      hooks->spritesOver(display, dx, dy, width, height)) {
    SafeBlt(state, source, sx, sy, view.windowBitmap, dx, dy, width, height, sourceWidth,
            sourceHeight, destWidth, destHeight,
            flags | SAFEBLT_NOSPRITES | SAFEBLT_NOCLIP | SAFEBLT_NOREFRESH | SAFEBLT_BITMAPONLY,
            mask, alpha, clip);
    if (!(flags & SAFEBLT_NOREFRESH)) hooks->spriteRefresh(state, display, dx, dy, width, height);
    return;
  }
  if (!(flags & SAFEBLT_NOCLIPRECORD) && clip && clip->mask) {
    BitmapHandle* combined =
        combineWithClip(clip, source, mask, alpha, sx, sy, dx, dy, width, height, sourceWidth);
    if (!combined) return;
    if (alpha)
      alpha = combined;
    else
      mask = combined;
  }
  BitmapHandle* refreshFrom = nullptr;
  bool toDisplay = !noDisplay && view.isDisplay;
  if (toDisplay && !dest) {
    if (((flags & SAFEBLT_BACKBUFFER) && !view.hasLayers) || (flags & SAFEBLT_REFRESHBACK)) {
      dest = view.windowBitmap;
      if (!dest) return;
      if (!(flags & SAFEBLT_NOREFRESH)) refreshFrom = dest;
    } else if (view.hasLayers && (flags & SAFEBLT_LAYERS)) {
      // The layer just made covers the rectangle: the stack is composed
      // there and shown.
      if (!(flags & SAFEBLT_NOREFRESH) && hooks->refreshLayers)
        hooks->refreshLayers(state, display, dx, dy, width, height);
      else if (!(flags & SAFEBLT_NOREFRESH) && view.windowBitmap)
        hooks->refreshRect(view.windowBitmap, dx, dy, display, dx, dy, width, height, 1);
      return;
    }
  }
  // Straight to the window through a mask or an alpha channel, or under a
  // sprite: what the window shows there (the window bitmap's rectangle) is
  // copied, the blit drawn over the copy, the sprites over that, and the
  // copy shown. The window bitmap keeps what it had.
  const bool throughCopy =
      toDisplay && !dest && view.windowBitmap &&
      (mask || alpha ||
       (!(flags & SAFEBLT_NOSPRITES) && hooks->spritesOver && hooks->drawSprites &&
        hooks->spritesOver(display, dx, dy, width, height)));
  // A selected brush drawn with its mask and alpha channel keeps them up to
  // date with what the blit puts into its pixels.
  bool bookkeeping = !noDisplay && !(flags & SAFEBLT_BITMAPONLY);
  BitmapHandle* selectedMask = bookkeeping ? view.selectedMask : nullptr;
  BitmapHandle* selectedAlpha = bookkeeping ? view.selectedAlpha : nullptr;
  const int32_t selection = gfxContext.selectionMode;
  if (throughCopy) {
    showThroughCopy(hooks, display, view.windowBitmap, source, sx, sy, dx, dy, width, height, mask,
                    alpha, !(flags & SAFEBLT_NOSPRITES));
  } else if (mask) {
    if (dest) BltBitmapMasked(source, sx, sy, dest, dx, dy, width, height, mask);
  } else if (alpha) {
    if (!dest) {
    } else if (!selectedAlpha) {
      BltBitmapAlpha(source, sx, sy, dest, dx, dy, width, height, alpha);
    } else if (selection == 0) {
      BltBitmapToTarget(source, sx, sy, dest, dx, dy, width, height);
    } else {
      BltSpanLocked(source, sx, sy, dest, dx, dy, width, height, alpha,
                    selection == 2 ? selectedAlpha : nullptr, selection);
    }
  } else if (dest) {
    BltBitmapToTarget(source, sx, sy, dest, dx, dy, width, height);
  } else if (toDisplay) {
    // Straight to the window: the window bitmap keeps what it had.
    hooks->refreshRect(source, sx, sy, display, dx, dy, width, height,
                       source == view.windowBitmap && view.autoscale ? 1 : 0);
  }
  if (selectedMask) {
    if (mask)
      CopyMaskRect(mask, sx, sy, selectedMask, dx, dy, width, height,
                   destGiven ? 2 : gfxContext.maskMode, nullptr, 0);
    else if (alpha)
      AlphaToMaskRect(alpha, sx, sy, selectedMask, dx, dy, width, height, gfxContext.maskMode);
    else
      MaskRectOp(selectedMask, dx, dy, width, height, gfxContext.maskMode);
  }
  if (selectedAlpha) {
    const int32_t intensity = gfxContext.alphaIntensity;
    const auto value =
        static_cast<uint8_t>(intensity < 0 || destGiven ? 255 : std::min(intensity, 255));
    if (alpha) {
      static constexpr int32_t MODE_OF_SELECTION[3] = {0, 1, 9};
      int32_t mode =
          intensity >= 0 && !destGiven ? 6 : MODE_OF_SELECTION[std::clamp(selection, 0, 2)];
      ClipAndBltBitmap(alpha, sx, sy, selectedAlpha, dx, dy, width, height, sourceWidth,
                       sourceHeight, selectedAlpha->width, selectedAlpha->height, mode, intensity);
    } else if (mask) {
      CombineMaskRect(mask, sx, sy, selectedAlpha, dx, dy, width, height, value);
    } else {
      FillAlphaRect(selectedAlpha, dx, dy, width, height, value);
    }
  }
  if (refreshFrom && !(flags & SAFEBLT_BITMAPONLY))
    hooks->refreshRect(refreshFrom, dx, dy, display, dx, dy, width, height, 1);
}

void SafeBltWithParams(void* state, BitmapHandle* source, int32_t sx, int32_t sy,
                       BitmapHandle* dest, int32_t dx, int32_t dy, int32_t width, int32_t height,
                       uint32_t flags, const BlitParams* params, BitmapHandle* alpha) {
  const DisplayBlitHooks* hooks = displayHooks.load(std::memory_order_acquire);
  BlitDisplayState view{};
  DisplayRecord* display = hooks ? hooks->current(&view) : nullptr;
  if (!display && !(dest && (flags & SAFEBLT_BITMAPONLY))) {
    DebugPrintf("ERROR! SAFEBLT() CALLED WITH DISPLAY=NULL!\n");
    return;
  }
  if (sx < 0 || sy < 0 || width <= 0 || height <= 0 || !params) return;
  BitmapHandle* refreshFrom = nullptr;
  if (!dest && display && view.isDisplay) {
    dest = view.windowBitmap;
    if (dest && !(flags & (SAFEBLT_NOREFRESH | SAFEBLT_BITMAPONLY))) refreshFrom = dest;
  }
  if (!dest) return;
  AdapterBlitParams(source, sx, sy, dest, dx, dy, width, height, params, alpha);
  if (!refreshFrom) return;
  // The box that changed, as far as it lies on the bitmap.
  const bool box = params->flags & BLITPARAMS_TRANSFORM;
  int32_t rx = 0, ry = 0, rw = box ? params->boxWidth : width,
          rh = box ? params->boxHeight : height;
  ClipBlitRect(nullptr, &rx, &ry, &dx, &dy, &rw, &rh, rw, rh, refreshFrom->width,
               refreshFrom->height, 0);
  if (rw <= 0 || rh <= 0) return;
  if (!(flags & SAFEBLT_NOSPRITES) && hooks->spritesOver && hooks->spriteRefresh &&
      hooks->spritesOver(display, dx, dy, rw, rh))
    hooks->spriteRefresh(state, display, dx, dy, rw, rh);
  else
    hooks->refreshRect(refreshFrom, dx, dy, display, dx, dy, rw, rh, 1);
}

void EndMaskedOverSeries(MaskedOverSeries* series) {
  if (!series) return;
  FreeMemory(series->mask);
  *series = MaskedOverSeries{};
}

bool SafeBltMaskedOver(void* state, BitmapHandle* source, int32_t sx, int32_t sy,
                       int32_t sourceWidth, int32_t sourceHeight, BitmapHandle* mask,
                       BitmapHandle* background, int32_t dx, int32_t dy, int32_t width,
                       int32_t height, int32_t destWidth, int32_t destHeight,
                       MaskedOverSeries* series) {
  // Whatever happens below, the series holds a frame only once this one
  // has been drawn and remembered.
  MaskedOverSeries before{};
  if (series) {
    before = *series;
    series->windowStamp = series->backgroundStamp = 0;
  }
  const DisplayBlitHooks* hooks = displayHooks.load(std::memory_order_acquire);
  BlitDisplayState view{};
  DisplayRecord* display = hooks ? hooks->current(&view) : nullptr;
  // Only where the composed bitmap would be copied into the window bitmap
  // by software and that rectangle shown.
  if (!display || !view.isDisplay || view.hasLayers || !view.windowBitmap ||
      (view.scaleWidth > 0 && view.scaleHeight > 0) || gfxContext.activeClip || view.selectedMask ||
      view.selectedAlpha || AdapterOwnsBitmaps() || sx < 0 || sy < 0 || width <= 0 || height <= 0)
    return false;
  BitmapHandle* window = view.windowBitmap;
  for (const BitmapHandle* h : {source, mask, background, window})
    if (!h || IsAdapterBacked(h)) return false;
  if (source == background || source == window || background == window) return false;
  // The part of the composed rectangle (from cx, cy) that the output shows,
  // and the part (frameWidth x frameHeight from 0, 0) that the source
  // covers; the source must cover what is shown.
  int32_t cx = 0, cy = 0, w = width, h = height;
  ClipBlitRect(nullptr, &cx, &cy, &dx, &dy, &w, &h, width, height, destWidth, destHeight, 1);
  if (w <= 0 || h <= 0) return true;
  const int32_t frameWidth =
      static_cast<int32_t>(std::min<int64_t>(width, int64_t{sourceWidth} - sx));
  const int32_t frameHeight =
      static_cast<int32_t>(std::min<int64_t>(height, int64_t{sourceHeight} - sy));
  if (int64_t{cx} + w > frameWidth || int64_t{cy} + h > frameHeight) return false;
  // Where the frame before went to the same place over the same background
  // and nobody wrote into either since, the pixels outside both masks
  // still show the background.
  const bool changedOnly =
      series && before.windowStamp != 0 && before.windowStamp == GetBitmapWriteStamp(window) &&
      before.backgroundStamp != 0 && before.backgroundStamp == GetBitmapWriteStamp(background) &&
      before.dx == dx && before.dy == dy && before.width == w && before.height == h &&
      before.backgroundX == cx && before.backgroundY == cy && before.mask;
  BitmapLock s{}, b{}, d{}, m{};
  bool locked = bitmapint::Lock(source, true, &s);
  locked = bitmapint::Lock(background, true, &b) && locked;
  locked = bitmapint::Lock(window, false, &d) && locked;
  locked = lockPlane(mask, PIXFMT_MASK1, sx, sy, frameWidth, frameHeight, &m) && locked;
  const int32_t bpp = d.bytesPerPixel;
  const bool drawn = locked && !s.software && !b.software && !d.software &&
                     (bpp == 2 || bpp == 4) && s.bytesPerPixel == bpp && b.bytesPerPixel == bpp &&
                     Inside(s, sx, sy, frameWidth, frameHeight) && Inside(b, 0, 0, width, height) &&
                     Inside(d, dx, dy, w, h);
  if (drawn && changedOnly)
    CopyPixelsMaskedOverChanged(s.address, b.address, d.address, m.address, before.mask, sx + cx,
                                sy + cy, cx, cy, dx, dy, w, h, s.rowLength, b.rowLength,
                                m.rowLength, before.maskRowBytes, d.rowLength, bpp);
  else if (drawn)
    CopyPixelsMaskedOver(s.address, b.address, d.address, m.address, sx + cx, sy + cy, cx, cy, dx,
                         dy, w, h, s.rowLength, b.rowLength, m.rowLength, d.rowLength, bpp);
  // The changed pixels' kernel leaves this frame's mask in the series.
  if (drawn && series && (changedOnly || rememberMask(series, m, sx + cx, sy + cy, w, h))) {
    series->windowStamp = GetBitmapWriteStamp(window);
    series->backgroundStamp = GetBitmapWriteStamp(background);
    series->dx = dx;
    series->dy = dy;
    series->width = w;
    series->height = h;
    series->backgroundX = cx;
    series->backgroundY = cy;
  }
  for (BitmapLock* l : {&m, &d, &b, &s})
    if (l->token) UnlockBitmap(l);
  if (!drawn) return false;
  if (hooks->spritesOver && hooks->spriteRefresh && hooks->spritesOver(display, dx, dy, w, h))
    hooks->spriteRefresh(state, display, dx, dy, w, h);
  else
    hooks->refreshRect(window, dx, dy, display, dx, dy, w, h, 1);
  return true;
}

bool BeginColourSpanBlit(ColourSpanBlit* blit, ArgbColor colour, BitmapHandle* dest, int32_t dx,
                         int32_t dy, int32_t width, int32_t height, int32_t destWidth,
                         int32_t destHeight, uint32_t flags) {
  if (!PixelFastPathsEnabled() || !dest || !(flags & SAFEBLT_BITMAPONLY)) return false;
  const DisplayBlitHooks* hooks = displayHooks.load(std::memory_order_acquire);
  BlitDisplayState view{};
  DisplayRecord* display = hooks ? hooks->current(&view) : nullptr;
  // The steps of SafeBlt that such a blit would take besides the alpha
  // blit itself: scaling onto the display, sprites over its window
  // bitmap, a clip region's mask.
  if (display && view.isDisplay &&
      ((flags & SAFEBLT_SCALED) || (dest == view.windowBitmap && !(flags & SAFEBLT_NOSPRITES))))
    return false;
  if (!(flags & SAFEBLT_NOCLIPRECORD) && gfxContext.activeClip) return false;
  if (AdapterOwnsBitmaps() || IsAdapterBacked(dest) || IsRealVideoBitmap(dest)) return false;
  int32_t sx = 0, sy = 0;
  if (!(flags & SAFEBLT_NOCLIP))
    ClipBlitRect(nullptr, &sx, &sy, &dx, &dy, &width, &height, width, height, destWidth, destHeight,
                 !(flags & SAFEBLT_NOCLIPRECORD));
  BitmapLock d{};
  if (!bitmapint::Lock(dest, false, &d)) return false;
  const int32_t bpp = d.bytesPerPixel;
  if (d.software || (bpp != 2 && bpp != 4) || d.pixelFormat != GetSoftBitmapFormat() || sx < 0 ||
      sy < 0 || (width > 0 && height > 0 && !Inside(d, dx, dy, width, height))) {
    UnlockBitmap(&d);
    return false;
  }
  // The span routine copies a source pixel whole where the alpha is 255,
  // leaves the target where it is 0 and mixes only the colour channels in
  // between; so the pixel that matters is the colour with alpha 255, and
  // one serves every run.
  const uint32_t opaque = 0xFF000000u | (colour & 0xFFFFFF);
  uint32_t pixel = opaque;
  WriteARGBToPixels(&opaque, 0, 0, 1, &pixel, 0, 0, 1, 1, 1, d.pixelFormat);
  *blit = ColourSpanBlit{d,
                         bpp == 4 ? pixel : pixel & 0xFFFF,
                         sx,
                         sy,
                         dx,
                         dy,
                         std::max(width, 0),
                         std::max(height, 0)};
  return true;
}

void ColourSpanBlitRow(const ColourSpanBlit* blit, int32_t y, const CoverageSpan* spans,
                       int32_t count, int32_t opacity) {
  if (y < blit->sy || y - blit->sy >= blit->height || blit->width <= 0) return;
  const BitmapLock& d = blit->lock;
  // The row's pixel where the image's column 0 would lie (it may be
  // outside the bitmap; only the clipped columns are reached from it).
  uint8_t* row = d.address +
                 Offset(blit->dx, blit->dy + (y - blit->sy), d.rowLength, d.bytesPerPixel) -
                 static_cast<ptrdiff_t>(blit->sx) * d.bytesPerPixel;
  BlendColourSpans(row, blit->sx, blit->sx + blit->width, spans, count, blit->pixel, opacity,
                   d.bytesPerPixel, d.pixelFormat);
}

void EndColourSpanBlit(ColourSpanBlit* blit) { UnlockBitmap(&blit->lock); }

bool GrowBlitScratch(size_t bytes) {
  if (bytes <= gfxContext.blitScratch.size) return true;
  auto* grown = static_cast<uint8_t*>(AllocMemory(bytes, 1));
  if (!grown) return false;
  FreeMemory(gfxContext.blitScratch.buffer);
  gfxContext.blitScratch.buffer = grown;
  gfxContext.blitScratch.size = bytes;
  return true;
}

void FreeBlitScratch() {
  FreeMemory(gfxContext.blitScratch.buffer);
  gfxContext.blitScratch.buffer = nullptr;
  gfxContext.blitScratch.size = 0;
}
