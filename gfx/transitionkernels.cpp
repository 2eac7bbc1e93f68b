// The service entries of the transition effects' pixel kernels: the
// threshold step of the dissolve and the ripple frame of the water
// transitions, with the locking the kernels leave to their callers.
#include <algorithm>

#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "gfx/pixel_private.h"
#include "gfx/transform_private.h"

static_assert(RIPPLE_SINE_ENTRIES == SWIRL_TABLE_SIZE, "one table size");

namespace {

using fxwrap::ScopedLock;

bool covers(const BitmapLock& lock, int32_t width, int32_t height) {
  return lock.width >= width && lock.height >= height;
}

}  // namespace

void ThresholdMaskBitmap(BitmapHandle* source, BitmapHandle* dest, int32_t width, int32_t height,
                         const uint8_t* map, int32_t byteMode, int32_t invert, int32_t threshold) {
  ScopedLock d, s;
  if (!map || width <= 0 || height <= 0 || !d.take(dest, false) || !covers(d.lock, width, height))
    return;
  if (source && (!s.take(source, true) || !covers(s.lock, width, height))) return;
  MaskBitRequest q{};
  q.source = s.held ? s.lock.address : nullptr;
  q.dest = d.lock.address;
  q.width = width;
  q.height = height;
  q.sourceRowBytes = s.held ? s.lock.rowLength : 0;
  q.destRowBytes = d.lock.rowLength;
  q.map = map;
  q.byteMode = byteMode;
  q.invert = invert;
  MaskBitKernel(&q, threshold);
}

void BuildRippleTables(double* sine, int32_t* distances, int32_t width, int32_t height, int32_t cx,
                       int32_t cy) {
  BuildRippleSineTable(sine, distances, width, height, cx, cy);
}

ErrorCode RippleTransitionFrame(BitmapHandle* source, BitmapHandle* second, BitmapHandle* dest,
                                BitmapHandle* sourceAlpha, BitmapHandle* destAlpha, int32_t width,
                                int32_t height, const int32_t* distances, const double* sine,
                                double waveLength, double amplitudeStep, int32_t framesPerHalf,
                                int32_t fadeOut, int32_t frame) {
  if (width <= 0 || height <= 0 || !distances || !sine) return ERR_WRONGUSAGE;
  ScopedLock d, s, o, sa, da;
  if (!d.take(dest, false) || !s.take(source, true)) return ERR_LOCKBMAP;
  if (second && !o.take(second, true)) return ERR_LOCKBMAP;
  if (sourceAlpha && !sa.take(sourceAlpha, true)) return ERR_LOCKBMAP;
  if (destAlpha && !da.take(destAlpha, false)) return ERR_LOCKBMAP;
  const BitmapLock* pictures[] = {&d.lock, &s.lock, o.held ? &o.lock : nullptr};
  for (const BitmapLock* l : pictures)
    if (l && (l->pixelFormat != d.lock.pixelFormat || !covers(*l, width, height)))
      return ERR_LOCKBMAP;
  if ((sa.held && !covers(sa.lock, width, height)) || (da.held && !covers(da.lock, width, height)))
    return ERR_LOCKBMAP;
  if (d.lock.bytesPerPixel != 2 && d.lock.bytesPerPixel != 4) return ERR_LOCKBMAP;
  RippleRequest q{};
  q.source = s.lock.address;
  q.sourceRowLength = s.lock.rowLength;
  q.second = o.held ? o.lock.address : nullptr;
  q.secondRowLength = o.held ? o.lock.rowLength : 0;
  q.destination = d.lock.address;
  q.destinationRowLength = d.lock.rowLength;
  q.distances = distances;
  q.sine = sine;
  q.waveLength = waveLength;
  q.amplitudeStep = amplitudeStep;
  q.framesPerHalf = framesPerHalf;
  q.width = width;
  q.height = height;
  q.format = d.lock.pixelFormat;
  q.fadeOut = fadeOut;
  if (sa.held) {
    q.sourceAlpha = sa.lock.address;
    q.sourceAlphaRowLength = sa.lock.rowLength;
  }
  if (da.held) {
    q.destinationAlpha = da.lock.address;
    q.destinationAlphaRowLength = da.lock.rowLength;
  }
  q.centreX = width / 2;
  q.centreY = height / 2;
  q.radius = std::max(width / 2, height / 2);
  if (d.lock.bytesPerPixel == 4)
    WaterRipplePixels32(&q, frame);
  else
    WaterRipplePixels16(&q, frame);
  return ERR_NONE;
}
