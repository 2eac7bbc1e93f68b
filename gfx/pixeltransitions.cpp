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

// The address and row length of an optional plane: null and 0 when it is
// not held.
uint8_t* planeAddress(const ScopedLock& l) { return l.held ? l.lock.address : nullptr; }
int32_t planeRow(const ScopedLock& l) { return l.held ? l.lock.rowLength : 0; }

// One frame's locks: the source and destination pixels, alike and covering
// the area, and their optional masks and alpha channels.
struct FrameLocks {
  ScopedLock source, dest, sourceMask, destMask, sourceAlpha, destAlpha;
  bool take(BitmapHandle* s, BitmapHandle* sm, BitmapHandle* sa, BitmapHandle* d, BitmapHandle* dm,
            BitmapHandle* da, int32_t width, int32_t height) {
    return source.take(s, true) && dest.take(d, false) &&
           samePixels(source.lock, dest.lock, width, height) &&
           takePlane(&sourceMask, sm, true, width, height) &&
           takePlane(&destMask, dm, false, width, height) &&
           takePlane(&sourceAlpha, sa, true, width, height) &&
           takePlane(&destAlpha, da, false, width, height);
  }
  // Hands the held planes to a kernel request whose fields carry the
  // source, destination, mask and alpha names.
  template <class Request>
  void fill(Request* q) const {
    q->source = source.lock.address;
    q->dest = dest.lock.address;
    q->sourceRowLength = source.lock.rowLength;
    q->destRowLength = dest.lock.rowLength;
    q->sourceMask = planeAddress(sourceMask);
    q->sourceMaskRowBytes = planeRow(sourceMask);
    q->destMask = planeAddress(destMask);
    q->destMaskRowBytes = planeRow(destMask);
    q->sourceAlpha = planeAddress(sourceAlpha);
    q->sourceAlphaRowBytes = planeRow(sourceAlpha);
    q->destAlpha = planeAddress(destAlpha);
    q->destAlphaRowBytes = planeRow(destAlpha);
  }
};

}  // namespace

ErrorCode PixelateTransitionFrame(BitmapHandle* source, BitmapHandle* sourceMask,
                                  BitmapHandle* sourceAlpha, BitmapHandle* dest,
                                  BitmapHandle* destMask, BitmapHandle* destAlpha, int32_t width,
                                  int32_t height, int32_t cellSize) {
  if (width <= 0 || height <= 0) return ERR_NONE;
  // A plane is pixelated only when both its sides are given.
  if (!(sourceMask && destMask)) sourceMask = destMask = nullptr;
  if (!(sourceAlpha && destAlpha)) sourceAlpha = destAlpha = nullptr;
  FrameLocks k;
  if (!k.take(source, sourceMask, sourceAlpha, dest, destMask, destAlpha, width, height))
    return ERR_LOCKBMAP;
  PixelateRequest q{};
  k.fill(&q);
  q.width = width;
  q.height = height;
  q.cellSize = std::max(1, cellSize);
  if (k.dest.lock.bytesPerPixel == 4)
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
  FrameLocks k;
  ScopedLock o;
  if (!k.take(source, nullptr, sourceAlpha, dest, nullptr, destAlpha, width, height))
    return ERR_LOCKBMAP;
  if (second && (!o.take(second, true) || !samePixels(o.lock, k.dest.lock, width, height)))
    return ERR_LOCKBMAP;
  SwirlRequest q{};
  q.source = k.source.lock.address;
  q.sourceRowLength = k.source.lock.rowLength;
  q.second = planeAddress(o);
  q.secondRowLength = planeRow(o);
  q.destination = k.dest.lock.address;
  q.destinationRowLength = k.dest.lock.rowLength;
  q.sine = sine;
  q.cosine = cosine;
  q.format = k.dest.lock.pixelFormat;
  q.width = width;
  q.height = height;
  q.fadeOut = fadeOut;
  q.sourceAlpha = planeAddress(k.sourceAlpha);
  q.sourceAlphaRowLength = planeRow(k.sourceAlpha);
  q.destinationAlpha = planeAddress(k.destAlpha);
  q.destinationAlphaRowLength = planeRow(k.destAlpha);
  if (k.dest.lock.bytesPerPixel == 4)
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
  FrameLocks k;
  if (!k.take(source, sourceMask, sourceAlpha, dest, destMask, destAlpha, width, height))
    return ERR_LOCKBMAP;
  RadialSweepRequest q{};
  k.fill(&q);
  q.sourceWidth = q.destWidth = width;
  q.sourceHeight = q.destHeight = height;
  q.bytesPerPixel = k.dest.lock.bytesPerPixel;
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
