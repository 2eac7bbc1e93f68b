// Operations of the bitmap layer on masks and alpha channels, and the
// conversions between bitmaps and packed 0xAARRGGBB buffers.
// Invariant: every rectangle is clipped to the bitmaps it reads and writes
// before a kernel runs, and every buffer handed out has all its bytes
// written (no caller ever sees uninitialised memory).
#include <algorithm>
#include <climits>
#include <cstring>

#include "gfx/adapter_private.h"
#include "gfx/bitmap_private.h"
#include "gfx/gfx.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"
#include "platform/linux/platform.h"

using namespace pixel;
using bitmapint::ClipPair;
using bitmapint::ClipRect;

namespace {

// A lock on a mask (kind 2) or alpha channel (kind 1); false otherwise.
bool lockKind(BitmapHandle* h, uint32_t format, BitmapLock* lock) {
  if (!bitmapint::Lock(h, false, lock)) return false;
  if (lock->pixelFormat != format) {
    UnlockBitmap(lock);
    return false;
  }
  return true;
}

// Source of a mask operation: the given address and row bytes, or the
// mask's own buffer. Size is the mask's when known, else unbounded.
struct MaskSource {
  const uint8_t* address;
  int32_t rowBytes;
  int32_t width, height;
};

bool maskSource(BitmapHandle* mask, const uint8_t* address, int32_t row, MaskSource* out) {
  if (address) {
    *out =
        MaskSource{address, row, mask ? mask->width : INT32_MAX, mask ? mask->height : INT32_MAX};
    return true;
  }
  BitmapLock lock;
  if (!lockKind(mask, PIXFMT_MASK1, &lock)) return false;
  *out = MaskSource{lock.address, lock.rowLength, lock.width, lock.height};
  UnlockBitmap(&lock);
  return true;
}

// Locks the source and the destination as the given kinds and runs op on
// the two locks; nothing happens when either lock fails. The destination
// is unlocked first.
template <typename Op>
void withLockedPair(BitmapHandle* source, uint32_t sourceFormat, BitmapHandle* dest,
                    uint32_t destFormat, Op op) {
  BitmapLock s, d;
  if (!lockKind(source, sourceFormat, &s)) return;
  if (lockKind(dest, destFormat, &d)) {
    op(s, d);
    UnlockBitmap(&d);
  }
  UnlockBitmap(&s);
}

}  // namespace

void MaskRectOp(BitmapHandle* mask, int32_t x, int32_t y, int32_t width, int32_t height,
                int32_t op) {
  if (op < 0 || op > 5 || op == 4) return;
  BitmapLock lock;
  if (!lockKind(mask, PIXFMT_MASK1, &lock)) return;
  if (ClipRect(lock.width, lock.height, &x, &y, &width, &height))
    for (int32_t j = 0; j < height; ++j) {
      uint8_t* row = lock.address + ByteOffset(0, y + j, lock.rowLength);
      for (int32_t i = 0; i < width; ++i)
        bitmapint::MaskBitOp(row, static_cast<ptrdiff_t>(x) + i, op);
    }
  UnlockBitmap(&lock);
}

void CopyMaskRect(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                  int32_t dy, int32_t width, int32_t height, int32_t mode,
                  const uint8_t* sourceAddress, int32_t sourceRow) {
  MaskSource src;
  if (mode < 0 || mode > 5 || !maskSource(source, sourceAddress, sourceRow, &src)) return;
  BitmapLock lock;
  if (!lockKind(dest, PIXFMT_MASK1, &lock)) return;
  if (ClipPair(src.width, src.height, lock.width, lock.height, &sx, &sy, &dx, &dy, &width,
               &height)) {
    for (int32_t j = 0; j < height; ++j) {
      const uint8_t* s = src.address + static_cast<ptrdiff_t>(sy + j) * src.rowBytes;
      uint8_t* d = lock.address + ByteOffset(0, dy + j, lock.rowLength);
      for (int32_t i = 0; i < width; ++i) {
        bool sb = MaskBit(s, static_cast<ptrdiff_t>(sx) + i);
        ptrdiff_t x = static_cast<ptrdiff_t>(dx) + i;
        bool db = MaskBit(d, x);
        switch (mode) {
          case 1:
            db = db && !sb;
            break;
          case 2:
            db = sb;
            break;
          case 3:
            db = db != sb;
            break;
          case 4:
            db = db && sb;
            break;
          default:
            db = db || sb;
            break;
        }
        PutMaskBit(d, x, db);
      }
    }
  }
  UnlockBitmap(&lock);
}

ErrorCode ClipMaskToOrigin(int32_t* x, int32_t* y, int32_t* width, int32_t* height,
                           BitmapHandle** mask, int32_t copyAlways, int32_t freeOld) {
  int32_t shiftX = *x < 0 ? -*x : 0, shiftY = *y < 0 ? -*y : 0;
  bool moved = shiftX || shiftY;
  if (!moved && !copyAlways) return 0;
  int32_t w = *width - shiftX, h = *height - shiftY;
  if (w <= 0 || h <= 0) return ERR_ALLOCMASK;
  BitmapHandle* copy = AllocBitMask(nullptr, w, h, 1, nullptr, 0);
  if (!copy) return ERR_ALLOCMASK;
  CopyMaskRect(*mask, shiftX, shiftY, copy, 0, 0, w, h, 2, nullptr, 0);
  if (freeOld) FreeBitMask(*mask);
  *mask = copy;
  if (moved) {
    *x += shiftX;
    *y += shiftY;
    *width = w;
    *height = h;
  }
  return 0;
}

void PaintMaskColor(BitmapHandle* mask, int32_t mx, int32_t my, BitmapHandle* bitmap, int32_t bx,
                    int32_t by, int32_t width, int32_t height, ArgbColor colour,
                    const uint8_t* maskAddress, int32_t maskRow) {
  MaskSource src;
  if (!maskSource(mask, maskAddress, maskRow, &src)) return;
  BitmapLock lock;
  if (!bitmapint::Lock(bitmap, false, &lock) || lock.software) return;
  if (ClipPair(src.width, src.height, lock.width, lock.height, &mx, &my, &bx, &by, &width, &height))
    PaintMaskValue(src.address, mx, my, lock.address, bx, by, width, height, src.rowBytes,
                   lock.rowLength, ColorToPixel(colour, lock.pixelFormat, 0), lock.bytesPerPixel);
  UnlockBitmap(&lock);
}

void MaskToAlphaRect(BitmapHandle* mask, int32_t mx, int32_t my, BitmapHandle* alpha, int32_t ax,
                     int32_t ay, int32_t width, int32_t height, uint8_t value) {
  withLockedPair(
      mask, PIXFMT_MASK1, alpha, PIXFMT_ALPHA8, [&](const BitmapLock& m, const BitmapLock& a) {
        if (!ClipPair(m.width, m.height, a.width, a.height, &mx, &my, &ax, &ay, &width, &height))
          return;
        for (int32_t j = 0; j < height; ++j) {
          const uint8_t* s = m.address + ByteOffset(0, my + j, m.rowLength);
          uint8_t* d = a.address + ByteOffset(ax, ay + j, a.rowLength);
          for (int32_t i = 0; i < width; ++i)
            d[i] = MaskBit(s, static_cast<ptrdiff_t>(mx) + i) ? value : 0;
        }
      });
}

void AlphaToMaskRect(BitmapHandle* alpha, int32_t ax, int32_t ay, BitmapHandle* mask, int32_t mx,
                     int32_t my, int32_t width, int32_t height, int32_t op) {
  withLockedPair(
      alpha, PIXFMT_ALPHA8, mask, PIXFMT_MASK1, [&](const BitmapLock& a, const BitmapLock& m) {
        if (ClipPair(a.width, a.height, m.width, m.height, &ax, &ay, &mx, &my, &width, &height))
          AlphaToMaskBits(a.address, m.address, a.rowLength, m.rowLength, op, ax, ay, mx, my, width,
                          height);
      });
}

void FillAlphaRect(BitmapHandle* alpha, int32_t x, int32_t y, int32_t width, int32_t height,
                   uint8_t value) {
  BitmapLock a;
  if (!lockKind(alpha, PIXFMT_ALPHA8, &a)) return;
  if (ClipRect(a.width, a.height, &x, &y, &width, &height))
    FillAlphaBytes(a.address, x, y, width, height, a.rowLength, value);
  UnlockBitmap(&a);
}

void CombineMaskRect(BitmapHandle* mask, int32_t sx, int32_t sy, BitmapHandle* alpha, int32_t dx,
                     int32_t dy, int32_t width, int32_t height, uint8_t value) {
  withLockedPair(
      mask, PIXFMT_MASK1, alpha, PIXFMT_ALPHA8, [&](const BitmapLock& m, const BitmapLock& a) {
        if (ClipPair(m.width, m.height, a.width, a.height, &sx, &sy, &dx, &dy, &width, &height))
          MaskToAlphaValue(m.address, sx, sy, m.rowLength, a.address, dx, dy, a.rowLength, width,
                           height, value);
      });
}

void CopyBitmapPixels(BitmapHandle* sourceAlpha, BitmapHandle* destAlpha, int32_t rows,
                      int32_t intensity) {
  withLockedPair(sourceAlpha, PIXFMT_ALPHA8, destAlpha, PIXFMT_ALPHA8,
                 [&](const BitmapLock& s, const BitmapLock& d) {
                   // Both channels share one layout; only the rows both hold are scaled.
                   if (s.rowLength != d.rowLength) return;
                   int32_t n = std::min({rows, s.height, d.height});
                   if (n > 0)
                     ScaleAlphaLevel(s.address, d.address,
                                     static_cast<size_t>(n) * static_cast<size_t>(s.rowLength),
                                     intensity);
                 });
}

uint32_t* ReadBitmapRectARGB(BitmapHandle* handle, int32_t x, int32_t y, int32_t width,
                             int32_t height, uint32_t lockFlags) {
  BitmapLock lock;
  if (!bitmapint::Lock(handle, true, &lock)) return nullptr;
  uint32_t* out = nullptr;
  if (!lock.software && width > 0 && height > 0 && bitmapint::Inside(lock, x, y, width, height)) {
    size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    out = static_cast<uint32_t*>(AllocMemoryArray(n, 4, 0));
    if (out &&
        !ReadRectToARGB(lock.address, out, x, y, width, height, lock.rowLength, lock.pixelFormat)) {
      for (int32_t j = 0; j < height; ++j)
        for (int32_t i = 0; i < width; ++i)
          out[static_cast<size_t>(j) * width + i] = ReadLockedPixel(&lock, x + i, y + j);
    }
  }
  UnlockBitmap(&lock);
  return out;
}

uint32_t* ReadBitmapRectARGBMasked(BitmapHandle* handle, int32_t x, int32_t y, int32_t width,
                                   int32_t height, BitmapHandle* mask, BitmapHandle* alpha,
                                   int64_t keyColour, int32_t alphaFromMask, uint32_t lockFlags) {
  uint32_t* out = ReadBitmapRectARGB(handle, x, y, width, height, lockFlags);
  if (!out) return nullptr;
  BitmapLock lock;
  uint32_t key = static_cast<uint32_t>(keyColour);
  if (mask) {
    if (lockKind(mask, PIXFMT_MASK1, &lock)) {
      if (bitmapint::Inside(lock, x, y, width, height) && (alphaFromMask || keyColour != -1))
        for (int32_t j = 0; j < height; ++j) {
          const uint8_t* m = lock.address + ByteOffset(0, y + j, lock.rowLength);
          uint32_t* o = out + static_cast<size_t>(j) * width;
          for (int32_t i = 0; i < width; ++i) {
            bool on = MaskBit(m, static_cast<ptrdiff_t>(x) + i);
            if (alphaFromMask)
              o[i] = (o[i] & 0xFFFFFF) | (on ? 0xFF000000u : 0);
            else if (!on)
              o[i] = key;
          }
        }
      UnlockBitmap(&lock);
    }
  } else if (alpha) {
    if (lockKind(alpha, PIXFMT_ALPHA8, &lock)) {
      if (bitmapint::Inside(lock, x, y, width, height))
        for (int32_t j = 0; j < height; ++j) {
          const uint8_t* a = lock.address + ByteOffset(x, y + j, lock.rowLength);
          uint32_t* o = out + static_cast<size_t>(j) * width;
          for (int32_t i = 0; i < width; ++i) {
            uint32_t v = (o[i] & 0xFFFFFF) | (static_cast<uint32_t>(a[i]) << 24);
            if (a[i] == 0 && keyColour != -1) v |= key & 0xFFFFFF;
            o[i] = v;
          }
        }
      UnlockBitmap(&lock);
    }
  } else {
    size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (size_t k = 0; k < n; ++k) out[k] |= 0xFF000000u;
  }
  return out;
}

uint32_t* BitmapToARGBWithAlpha(BitmapHandle* handle, BitmapHandle* mask, BitmapHandle* alpha,
                                int32_t width, int32_t height) {
  return ReadBitmapRectARGBMasked(handle, 0, 0, width, height, mask, mask ? nullptr : alpha, -1,
                                  mask ? 1 : 0, 1);
}

void WriteARGBToBitmap(const uint32_t* pixels, int32_t sx, int32_t sy, int32_t sourceRowBytes,
                       BitmapHandle* bitmap, int32_t dx, int32_t dy, int32_t width,
                       int32_t height) {
  BitmapLock lock;
  if (!bitmapint::Lock(bitmap, false, &lock) || lock.software) return;
  int32_t x = dx, y = dy;
  if (ClipRect(lock.width, lock.height, &x, &y, &width, &height))
    WriteARGBToPixels(pixels, sx + (x - dx), sy + (y - dy), sourceRowBytes / 4, lock.address, x, y,
                      width, height, lock.rowLength, lock.pixelFormat);
  UnlockBitmap(&lock);
}

ErrorCode CreateBitmapFromRGB(const uint32_t* pixels, int64_t keyColour, int32_t width,
                              int32_t height, int32_t modulo, int32_t tryAdapter, uint32_t flags,
                              void* display, BitmapHandle** outBitmap, BitmapHandle** outMask,
                              BitmapHandle** outAlpha) {
  if (outBitmap) *outBitmap = nullptr;
  if (outMask) *outMask = nullptr;
  if (outAlpha) *outAlpha = nullptr;
  if (tryAdapter) {
    // A video bitmap carries its mask or alpha itself; without an adapter
    // that makes them the software path below runs.
    BitmapHandle* video = nullptr;
    if (ErrorCode e = AllocAdapterBitmapFromRGB(pixels, keyColour, width, height, modulo, flags,
                                                &video, nullptr))
      return e;
    if (video) {
      if (outBitmap)
        *outBitmap = video;
      else
        FreeBitmap(video);
      return 0;
    }
  }
  BitmapHandle* bmp = AllocBitmap(width, height, 0, nullptr);
  if (!bmp) return ERR_BITMAP;
  WriteARGBToBitmap(pixels, 0, 0, modulo * 4, bmp, 0, 0, width, height);
  BitmapHandle* mask = nullptr;
  if (keyColour != -1) {
    mask = AllocBitMask(bmp, width, height, 1, nullptr, 0);
    if (!mask) {
      FreeBitmap(bmp);
      return ERR_ALLOCMASK;
    }
    BitmapLock m;
    if (!LockBitmap(mask, 0, &m)) {
      FreeBitMask(mask);
      FreeBitmap(bmp);
      return ERR_ALLOCMASK;
    }
    BuildColorKeyMask32(pixels, m.address, std::min(width, m.width), std::min(height, m.height),
                        m.rowLength, static_cast<uint32_t>(keyColour) & 0xFFFFFF, modulo, 0xFFFFFF);
    UnlockBitmap(&m);
  }
  BitmapHandle* alpha = nullptr;
  if ((tryAdapter && (flags & 2)) || (flags & 8)) {
    alpha = AlphaChannelFromARGB(pixels, width, height, modulo);
    if (!alpha) {
      FreeBitMask(mask);
      FreeBitmap(bmp);
      return ERR_ALLOCALPHA;
    }
  }
  if (outBitmap)
    *outBitmap = bmp;
  else
    FreeBitmap(bmp);
  if (outMask)
    *outMask = mask;
  else
    FreeBitMask(mask);
  if (outAlpha)
    *outAlpha = alpha;
  else
    FreeAlphaChannel(alpha);
  return 0;
}
