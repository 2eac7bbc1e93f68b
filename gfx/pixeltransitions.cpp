// The service entries of the pixel-zoom, swirl and roll transitions: the
// pixelate, swirl and radial-sweep kernels on locked bitmaps, with the
// locking, size and format checks the kernels leave to their callers.
//
// Invariant: a kernel runs only when every bitmap it touches is locked,
// covers width x height and (for pixels) shares one format of 2 or 4 bytes;
// otherwise nothing is drawn and ERR_LOCKBMAP is returned.
#include <algorithm>

#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "gfx/pixel_private.h"
#include "gfx/transform_private.h"

static_assert(SWIRL_TABLE_ENTRIES == SWIRL_TABLE_SIZE, "one table size");

namespace {

using fxwrap::ScopedLock;

bool covers(const BitmapLock& lock, int32_t width, int32_t height) {
  return lock.width >= width && lock.height >= height;
}

// Takes an optional plane (mask or alpha channel): true when it is absent
// or locked and covering.
bool takePlane(ScopedLock* l, BitmapHandle* plane, bool readOnly, int32_t width, int32_t height) {
  if (!plane) return true;
  return l->take(plane, readOnly) && covers(l->lock, width, height);
}

// Pixel bitmaps of one format with 2 or 4 bytes a pixel, covering the area.
bool samePixels(const BitmapLock& a, const BitmapLock& b, int32_t width, int32_t height) {
  return a.pixelFormat == b.pixelFormat && a.bytesPerPixel == b.bytesPerPixel &&
         (a.bytesPerPixel == 2 || a.bytesPerPixel == 4) && covers(a, width, height) &&
         covers(b, width, height);
}

}  // namespace

ErrorCode PixelateTransitionFrame(BitmapHandle* source, BitmapHandle* sourceMask,
                                  BitmapHandle* sourceAlpha, BitmapHandle* dest,
                                  BitmapHandle* destMask, BitmapHandle* destAlpha, int32_t width,
                                  int32_t height, int32_t cellSize) {
  if (width <= 0 || height <= 0) return ERR_NONE;
  ScopedLock s, d, sm, dm, sa, da;
  if (!s.take(source, true) || !d.take(dest, false) || !samePixels(s.lock, d.lock, width, height))
    return ERR_LOCKBMAP;
  // A plane is pixelated only when both its sides are given.
  if (!(sourceMask && destMask)) sourceMask = destMask = nullptr;
  if (!(sourceAlpha && destAlpha)) sourceAlpha = destAlpha = nullptr;
  if (!takePlane(&sm, sourceMask, true, width, height) ||
      !takePlane(&dm, destMask, false, width, height) ||
      !takePlane(&sa, sourceAlpha, true, width, height) ||
      !takePlane(&da, destAlpha, false, width, height))
    return ERR_LOCKBMAP;
  PixelateRequest q{};
  q.source = s.lock.address;
  q.dest = d.lock.address;
  q.sourceRowLength = s.lock.rowLength;
  q.destRowLength = d.lock.rowLength;
  if (sm.held) {
    q.sourceMask = sm.lock.address;
    q.sourceMaskRowBytes = sm.lock.rowLength;
    q.destMask = dm.lock.address;
    q.destMaskRowBytes = dm.lock.rowLength;
  }
  if (sa.held) {
    q.sourceAlpha = sa.lock.address;
    q.sourceAlphaRowBytes = sa.lock.rowLength;
    q.destAlpha = da.lock.address;
    q.destAlphaRowBytes = da.lock.rowLength;
  }
  q.width = width;
  q.height = height;
  q.cellSize = std::max(1, cellSize);
  if (d.lock.bytesPerPixel == 4)
    PixelatePixels32(&q);
  else
    PixelatePixels16(&q);
  return ERR_NONE;
}

void BuildSwirlTables(double* sine, double* cosine) { BuildSwirlSinCosTable(sine, cosine); }

ErrorCode SwirlTransitionFrame(BitmapHandle* source, BitmapHandle* second, BitmapHandle* dest,
                               BitmapHandle* sourceAlpha, BitmapHandle* destAlpha, int32_t width,
                               int32_t height, const double* sine, const double* cosine,
                               int32_t fadeOut, int32_t angle) {
  if (width <= 0 || height <= 0) return ERR_NONE;
  if (!sine || !cosine) return ERR_WRONGUSAGE;
  ScopedLock s, o, d, sa, da;
  if (!s.take(source, true) || !d.take(dest, false) || !samePixels(s.lock, d.lock, width, height))
    return ERR_LOCKBMAP;
  if (second && (!o.take(second, true) || !samePixels(o.lock, d.lock, width, height)))
    return ERR_LOCKBMAP;
  if (!takePlane(&sa, sourceAlpha, true, width, height) ||
      !takePlane(&da, destAlpha, false, width, height))
    return ERR_LOCKBMAP;
  SwirlRequest q{};
  q.source = s.lock.address;
  q.sourceRowLength = s.lock.rowLength;
  q.second = o.held ? o.lock.address : nullptr;
  q.secondRowLength = o.held ? o.lock.rowLength : 0;
  q.destination = d.lock.address;
  q.destinationRowLength = d.lock.rowLength;
  q.sine = sine;
  q.cosine = cosine;
  q.format = d.lock.pixelFormat;
  q.width = width;
  q.height = height;
  q.fadeOut = fadeOut;
  if (sa.held) {
    q.sourceAlpha = sa.lock.address;
    q.sourceAlphaRowLength = sa.lock.rowLength;
  }
  if (da.held) {
    q.destinationAlpha = da.lock.address;
    q.destinationAlphaRowLength = da.lock.rowLength;
  }
  if (d.lock.bytesPerPixel == 4)
    SwirlPixels32(&q, angle);
  else
    SwirlPixels16(&q, angle);
  return ERR_NONE;
}

ErrorCode RollBandFrame(BitmapHandle* source, BitmapHandle* sourceMask, BitmapHandle* sourceAlpha,
                        BitmapHandle* dest, BitmapHandle* destMask, BitmapHandle* destAlpha,
                        int32_t width, int32_t height, const double* angles, int32_t steps,
                        int32_t columns, int32_t position, int32_t* firstLine, int32_t* lineCount) {
  *firstLine = -1;
  *lineCount = 0;
  if (width <= 0 || height <= 0 || steps <= 0 || !angles) return ERR_NONE;
  ScopedLock s, d, sm, dm, sa, da;
  if (!s.take(source, true) || !d.take(dest, false) || !samePixels(s.lock, d.lock, width, height))
    return ERR_LOCKBMAP;
  if (!takePlane(&sm, sourceMask, true, width, height) ||
      !takePlane(&dm, destMask, false, width, height) ||
      !takePlane(&sa, sourceAlpha, true, width, height) ||
      !takePlane(&da, destAlpha, false, width, height))
    return ERR_LOCKBMAP;
  RadialSweepRequest q{};
  q.source = s.lock.address;
  q.dest = d.lock.address;
  q.sourceRowLength = s.lock.rowLength;
  q.destRowLength = d.lock.rowLength;
  if (sm.held) {
    q.sourceMask = sm.lock.address;
    q.sourceMaskRowBytes = sm.lock.rowLength;
  }
  if (dm.held) {
    q.destMask = dm.lock.address;
    q.destMaskRowBytes = dm.lock.rowLength;
  }
  if (sa.held) {
    q.sourceAlpha = sa.lock.address;
    q.sourceAlphaRowBytes = sa.lock.rowLength;
  }
  if (da.held) {
    q.destAlpha = da.lock.address;
    q.destAlphaRowBytes = da.lock.rowLength;
  }
  q.sourceWidth = q.destWidth = width;
  q.sourceHeight = q.destHeight = height;
  q.bytesPerPixel = d.lock.bytesPerPixel;
  q.angles = angles;
  q.steps = steps;
  q.columns = columns;
  q.base = position;
  RadialSweepKernel(&q);
  if (q.copiedLines > 0) {
    *firstLine = q.firstDest;
    *lineCount = q.copiedLines;
  }
  return ERR_NONE;
}
