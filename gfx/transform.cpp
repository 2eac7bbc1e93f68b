// Bitmap transforms that make new handles: copies of a rectangle with its
// mask and alpha channel, nearest or smooth scaling, rotation and scaling
// by a 2 x 2 matrix (right angles through the quarter-turn and mirror
// kernels, any other matrix through the affine kernel) and the distortion
// engine. Outputs are written only on success; every error path unlocks
// and frees what it made and leaves the source untouched.
#include <cmath>
#include <cstring>

#include "gfx/adapter_private.h"
#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "gfx/transform_private.h"
#include "gfx/pixel_private.h"
#include "gfx/bitmap_private.h"
#include "platform/linux/platform.h"
#include "gfx/context_private.h"

using fxwrap::Inside;
using fxwrap::ScopedLock;

namespace {

// Right-angle matrices, built once with the same arithmetic as the callers'
// so that a byte comparison recognises them.
constexpr int RIGHT_ANGLES = 7;
const int32_t kRightAngles[RIGHT_ANGLES] = {90, 180, 270, 360, -90, -180, -270};
double rightAngleMatrix[RIGHT_ANGLES][4];
bool rightAnglesReady = false;

ErrorCode growTable(int64_t** table, size_t* size, int32_t needed) {
  size_t want = static_cast<size_t>(needed < 0 ? 0 : needed) + 1;
  if (*size >= want) return 0;
  FreeMemory(*table);
  *table = static_cast<int64_t*>(AllocMemoryArray(want, sizeof(int64_t), 0));
  *size = *table ? want : 0;
  return *table ? 0 : ERR_MEM;
}

// The sine of an angle in degrees, exact (0, 1/2, 1) at whole multiples of
// 30 degrees: in radians the cosine of a right angle comes out as 6e-17,
// and the box of a quarter turn would then truncate a corner at 19.99...
// to 19.
double sinDegrees(double degrees) {
  double r = std::fmod(degrees, 360.0);
  if (r < 0) r += 360.0;
  double sign = 1;
  if (r >= 180.0) {
    r -= 180.0;
    sign = -1;
  }
  if (r > 90.0) r = 180.0 - r;
  if (r == 0) return 0;
  if (r == 30.0) return sign * 0.5;
  if (r == 90.0) return sign;
  return sign * std::sin(r * M_PI / 180.0);
}

}  // namespace

void BuildRotateScaleMatrix(double matrix[4], int32_t newWidth, int32_t newHeight, int32_t oldWidth,
                            int32_t oldHeight, double scaleXFactor, double scaleYFactor,
                            double angle) {
  if (newWidth == 0) newWidth = oldWidth;
  if (newHeight == 0) newHeight = oldHeight;
  double a, d;
  if ((newWidth != oldWidth || newHeight != oldHeight) && oldWidth > 0 && oldHeight > 0) {
    a = static_cast<double>(newWidth) / oldWidth;
    d = static_cast<double>(newHeight) / oldHeight;
  } else {
    a = scaleXFactor;
    d = scaleYFactor;
  }
  double b = 0, c = 0;
  double turn = std::fmod(angle, 360.0);
  if (turn != 0 && std::isfinite(turn)) {
    double t = 360.0 - turn;
    double cs = sinDegrees(t + 90.0), sn = sinDegrees(t);
    double na = a * cs - b * sn, nb = a * sn + b * cs, nc = c * cs - d * sn, nd = c * sn + d * cs;
    a = na;
    b = nb;
    c = nc;
    d = nd;
  }
  matrix[0] = a;
  matrix[1] = b;
  matrix[2] = c;
  matrix[3] = d;
}

void InitRightAngleTransforms() {
  for (int i = 0; i < RIGHT_ANGLES; ++i)
    BuildRotateScaleMatrix(rightAngleMatrix[i], 0, 0, 1, 1, 1.0, 1.0, kRightAngles[i]);
  rightAnglesReady = true;
}

ErrorCode EnsureScaleTables(int32_t neededX, int32_t neededY) {
  ErrorCode e = growTable(&gfxContext.scaleX, &gfxContext.scaleXSize, neededX);
  if (!e) e = growTable(&gfxContext.scaleY, &gfxContext.scaleYSize, neededY);
  return e;
}

void FreeTransformScratch() {
  FreeMemory(gfxContext.scaleX);
  FreeMemory(gfxContext.scaleY);
  gfxContext.scaleX = gfxContext.scaleY = nullptr;
  gfxContext.scaleXSize = gfxContext.scaleYSize = 0;
}

void ComputeTransformBounds(const double m[4], int32_t width, int32_t height, int32_t* outWidth,
                            int32_t* outHeight, int32_t* outX, int32_t* outY) {
  const double xs[4] = {0, static_cast<double>(width), 0, static_cast<double>(width)};
  const double ys[4] = {0, 0, static_cast<double>(height), static_cast<double>(height)};
  double minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    // Corners are rounded to whole pixels; floor keeps negative corners
    // from rounding toward zero (which would lose a row of a rotation).
    double X = std::floor(m[0] * xs[i] + m[2] * ys[i] + 0.5);
    double Y = std::floor(m[1] * xs[i] + m[3] * ys[i] + 0.5);
    minX = std::min(minX, X);
    maxX = std::max(maxX, X);
    minY = std::min(minY, Y);
    maxY = std::max(maxY, Y);
  }
  *outWidth = VmTruncInt32(std::ceil(maxX - minX - 0.5));
  *outHeight = VmTruncInt32(std::ceil(maxY - minY - 0.5));
  *outX = VmTruncInt32(minX);
  *outY = VmTruncInt32(minY);
}

ErrorCode FlipBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha, int32_t width,
                     int32_t height, int32_t vertical) {
  ScopedLock pl, ml, al;
  if (bitmap && !pl.take(bitmap, false)) return ERR_LOCKBMAP;
  if (mask && !ml.take(mask, false)) return ERR_LOCKBMAP;
  if (alpha && !al.take(alpha, false)) return ERR_LOCKBMAP;
  if ((pl.held && !Inside(pl.lock, 0, 0, width, height)) ||
      (ml.held && !Inside(ml.lock, 0, 0, width, height)) ||
      (al.held && !Inside(al.lock, 0, 0, width, height)))
    return ERR_WRONGUSAGE;
  uint8_t* scratch = nullptr;
  if (ml.held && !vertical) {
    scratch = static_cast<uint8_t*>(AllocMemory(static_cast<size_t>(ml.lock.rowLength), 0));
    if (!scratch) return ERR_MEM;
  }
  int32_t bpp = pl.held ? pl.lock.bytesPerPixel : 0;
  FlipRequest q{pl.held ? pl.lock.address : nullptr,
                width,
                height,
                pl.held ? pl.lock.rowLength : 0,
                ml.held ? ml.lock.address : nullptr,
                ml.held ? ml.lock.rowLength : 0,
                al.held ? al.lock.address : nullptr,
                al.held ? al.lock.rowLength : 0,
                vertical ? 0 : 1,
                bpp == 2 || bpp == 4 ? bpp : 0,
                scratch};
  FlipPixels(&q);
  FreeMemory(scratch);
  return 0;
}

ErrorCode ConvertBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha, int32_t x,
                        int32_t y, int32_t width, int32_t height, int32_t wantVideo,
                        int32_t videoFlag, void* sourceDisplay, void* targetDisplay,
                        BitmapHandle** outBitmap, BitmapHandle** outMask, BitmapHandle** outAlpha) {
  if (!bitmap) return 0;
  (void)sourceDisplay;
  (void)targetDisplay;
  {
    ScopedLock check;
    if (!check.take(bitmap, true)) return ERR_LOCKBMAP;
    if (!Inside(check.lock, x, y, width, height) || width <= 0 || height <= 0)
      return ERR_WRONGUSAGE;
  }
  if (wantVideo && AdapterMakesVideoBitmaps()) {
    // The video copy carries the mask or alpha channel in its pixels' top
    // bytes (its prepared flag says so); no separate planes are made.
    uint32_t* argb =
        ReadBitmapRectARGBMasked(bitmap, x, y, width, height, mask, alpha, -1, mask ? 1 : 0, 1);
    if (!argb) return ERR_MEM;
    AdapterBitmapSource source{argb, nullptr, nullptr, nullptr};
    uint32_t flags =
        8 | (static_cast<uint32_t>(videoFlag) & ~uint32_t{9}) | (mask || alpha ? 1 : 0);
    BitmapHandle* video = AllocBitmap(width, height, flags, &source);
    FreeMemory(argb);
    if (!video) return ERR_BITMAP;
    *outBitmap = video;
    if (outMask) *outMask = nullptr;
    if (outAlpha) *outAlpha = nullptr;
    return 0;
  }
  OwnedBitmap nb(AllocBitmap(width, height, 0, nullptr));
  if (!nb) return ERR_BITMAP;
  OwnedBitmap nm, na;
  if (mask) {
    nm.reset(AllocBitMask(nb.get(), width, height, 1, nullptr, 0));
    if (!nm) return ERR_ALLOCMASK;
    CopyMaskRect(mask, x, y, nm.get(), 0, 0, width, height, 2, nullptr, 0);
  }
  if (alpha) {
    na.reset(AllocAlphaChannel(width, height, 1, nullptr, 0));
    if (!na) return ERR_ALLOCALPHA;
    BltBitmapFormat(alpha, x, y, na.get(), 0, 0, width, height, 0, 255);
  }
  BltBitmapToTarget(bitmap, x, y, nb.get(), 0, 0, width, height);
  *outBitmap = nb.release();
  if (outMask) *outMask = nm.release();
  if (outAlpha) *outAlpha = na.release();
  return 0;
}

ErrorCode TransformBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha, int32_t x,
                          int32_t y, BitmapHandle* destination, int32_t sourceWidth,
                          int32_t sourceHeight, int32_t destWidth, int32_t destHeight, int32_t mode,
                          BitmapHandle** outBitmap, BitmapHandle** outMask,
                          BitmapHandle** outAlpha) {
  if (destWidth < 1 || destHeight < 1) return 0;
  if (!bitmap || sourceWidth < 1 || sourceHeight < 1) return ERR_WRONGUSAGE;
  // Refused before the scale tables, which grow with the size too.
  if (!BitmapSizeFits(destWidth, destHeight)) return ERR_BITMAP;
  ErrorCode e = EnsureScaleTables(destWidth, destHeight);
  if (e) return e;
  ScopedLock sl;
  if (!sl.take(bitmap, true)) return ERR_LOCKBMAP;
  if (!Inside(sl.lock, x, y, sourceWidth, sourceHeight)) return ERR_WRONGUSAGE;
  ScaleRequest q{};
  q.source = fxwrap::At(sl.lock, x, y);
  q.sourceWidth = sourceWidth;
  q.sourceHeight = sourceHeight;
  q.destWidth = destWidth;
  q.destHeight = destHeight;
  q.sourceRowLength = sl.lock.rowLength;
  q.smooth = mode;
  q.format = sl.lock.pixelFormat;
  q.bytesPerPixel = sl.lock.bytesPerPixel;
  q.xTable = gfxContext.scaleX;
  q.yTable = gfxContext.scaleY;
  if (destination) {
    ScopedLock dl;
    if (!dl.take(destination, false)) return ERR_LOCKBMAP;
    if (!Inside(dl.lock, 0, 0, destWidth, destHeight) || dl.lock.pixelFormat != sl.lock.pixelFormat)
      return ERR_WRONGUSAGE;
    q.dest = dl.lock.address;
    q.destRowLength = dl.lock.rowLength;
    ScaleBitmapNearest(&q);
    return 0;
  }
  OwnedBitmap nb(AllocBitmap(destWidth, destHeight, 0, nullptr));
  if (!nb) return ERR_BITMAP;
  OwnedBitmap nm, na;
  if (mask) {
    nm.reset(AllocBitMask(nb.get(), destWidth, destHeight, 1, nullptr, 0));
    if (!nm) return ERR_ALLOCMASK;
  }
  if (alpha) {
    na.reset(AllocAlphaChannel(destWidth, destHeight, 1, nullptr, 0));
    if (!na) return ERR_ALLOCALPHA;
  }
  ScopedLock dl, sml, dml, sal, dal;
  if (!dl.take(nb.get(), false)) return ERR_LOCKBMAP;
  if (dl.lock.pixelFormat != sl.lock.pixelFormat) return ERR_BITMAP;
  q.dest = dl.lock.address;
  q.destRowLength = dl.lock.rowLength;
  if (mask) {
    if (!sml.take(mask, true) || !dml.take(nm.get(), false)) return ERR_LOCKBMAP;
    if (!Inside(sml.lock, x, y, sourceWidth, sourceHeight)) return ERR_WRONGUSAGE;
    q.sourceMask = sml.lock.address + static_cast<ptrdiff_t>(y) * sml.lock.rowLength;
    q.sourceMaskBitX = x;
    q.sourceMaskRowBytes = sml.lock.rowLength;
    q.destMask = dml.lock.address;
    q.destMaskRowBytes = dml.lock.rowLength;
  }
  if (alpha) {
    if (!sal.take(alpha, true) || !dal.take(na.get(), false)) return ERR_LOCKBMAP;
    if (!Inside(sal.lock, x, y, sourceWidth, sourceHeight)) return ERR_WRONGUSAGE;
    q.sourceAlpha = sal.lock.address + static_cast<ptrdiff_t>(y) * sal.lock.rowLength + x;
    q.sourceAlphaRowBytes = sal.lock.rowLength;
    q.destAlpha = dal.lock.address;
    q.destAlphaRowBytes = dal.lock.rowLength;
  }
  ScaleBitmapNearest(&q);
  *outBitmap = nb.release();
  if (outMask) *outMask = nm.release();
  if (outAlpha) *outAlpha = na.release();
  return 0;
}

namespace {

int rightAngleOf(const double m[4]) {
  if (!rightAnglesReady) InitRightAngleTransforms();
  for (int i = 0; i < RIGHT_ANGLES; ++i)
    if (std::memcmp(m, rightAngleMatrix[i], sizeof rightAngleMatrix[i]) == 0)
      return kRightAngles[i];
  return 0;
}

// New handles of one size for pixels and, when the source has them, mask
// and alpha channel, locked for writing.
struct Outputs {
  OwnedBitmap bitmap, mask, alpha;
  ScopedLock pl, ml, al;
  ErrorCode make(int32_t w, int32_t h, bool wantMask, bool wantAlpha) {
    bitmap.reset(AllocBitmap(w, h, 0, nullptr));
    if (!bitmap) return ERR_BITMAP;
    if (wantAlpha) {
      alpha.reset(AllocAlphaChannel(w, h, 1, nullptr, 0));
      if (!alpha) return ERR_ALLOCALPHA;
    }
    if (wantMask) {
      mask.reset(AllocBitMask(bitmap.get(), w, h, 1, nullptr, 0));
      if (!mask) return ERR_ALLOCMASK;
    }
    if (!pl.take(bitmap.get(), false) || (mask && !ml.take(mask.get(), false)) ||
        (alpha && !al.take(alpha.get(), false)))
      return ERR_LOCKBMAP;
    return 0;
  }
};

struct Inputs {
  ScopedLock pl, ml, al;
  ErrorCode take(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha, int32_t x,
                 int32_t y, int32_t w, int32_t h) {
    if (!pl.take(bitmap, true) || (mask && !ml.take(mask, true)) ||
        (alpha && !al.take(alpha, true)))
      return ERR_LOCKBMAP;
    if (!Inside(pl.lock, x, y, w, h) || (mask && !Inside(ml.lock, x, y, w, h)) ||
        (alpha && !Inside(al.lock, x, y, w, h)))
      return ERR_WRONGUSAGE;
    return 0;
  }
};

}  // namespace

ErrorCode RotateScaleBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                            int32_t x, int32_t y, int32_t width, int32_t height,
                            const double matrix[4], int32_t smooth, int32_t reserved,
                            BitmapHandle** outBitmap, BitmapHandle** outMask,
                            BitmapHandle** outAlpha, int32_t* outWidth, int32_t* outHeight) {
  (void)reserved;
  if (!bitmap || width < 1 || height < 1) return ERR_WRONGUSAGE;
  int32_t ow, oh, ox, oy;
  ComputeTransformBounds(matrix, width, height, &ow, &oh, &ox, &oy);
  int angle = rightAngleOf(matrix);
  // The half turn and the two mirrors along an axis are exact flips of a
  // copy: the sampling kernel below reads pixel corners, which would shift
  // a mirrored picture by one pixel.
  bool mirrorX = (angle == 180 || angle == -180) ||
                 (matrix[0] == -1 && matrix[1] == 0 && matrix[2] == 0 && matrix[3] == 1);
  bool mirrorY = (angle == 180 || angle == -180) ||
                 (matrix[0] == 1 && matrix[1] == 0 && matrix[2] == 0 && matrix[3] == -1);
  BitmapHandle *nb = nullptr, *nm = nullptr, *na = nullptr;
  if (angle == 360 || mirrorX || mirrorY) {
    ErrorCode e = ConvertBitmap(bitmap, mask, alpha, x, y, width, height, 0, 0, nullptr, nullptr,
                                &nb, &nm, &na);
    if (e) return e;
    if (mirrorX || mirrorY) {
      if (mirrorX) e = FlipBitmap(nb, nm, na, width, height, 0);
      if (!e && mirrorY) e = FlipBitmap(nb, nm, na, width, height, 1);
      if (e) {
        FreeBitmap(nb);
        FreeBitMask(nm);
        FreeAlphaChannel(na);
        return e;
      }
    }
    *outBitmap = nb;
    if (outMask)
      *outMask = nm;
    else
      FreeBitMask(nm);
    if (outAlpha)
      *outAlpha = na;
    else
      FreeAlphaChannel(na);
    *outWidth = width;
    *outHeight = height;
    return 0;
  }
  Inputs in;
  ErrorCode e = in.take(bitmap, mask, alpha, x, y, width, height);
  if (e) return e;
  bool quarter = angle == 90 || angle == -270 || angle == 270 || angle == -90;
  if (quarter) {
    ow = height;
    oh = width;
  }
  if (ow < 1 || oh < 1) return ERR_WRONGUSAGE;
  Outputs out;
  e = out.make(ow, oh, mask != nullptr, alpha != nullptr);
  if (e) return e;
  if (out.pl.lock.pixelFormat != in.pl.lock.pixelFormat) return ERR_BITMAP;
  int32_t bpp = in.pl.lock.bytesPerPixel;
  const uint8_t* sourceMask =
      mask ? in.ml.lock.address + static_cast<ptrdiff_t>(y) * in.ml.lock.rowLength : nullptr;
  const uint8_t* sourceAlpha =
      alpha ? in.al.lock.address + static_cast<ptrdiff_t>(y) * in.al.lock.rowLength + x : nullptr;
  if (quarter) {
    RotateRequest q{fxwrap::At(in.pl.lock, x, y),
                    out.pl.lock.address,
                    sourceMask,
                    mask ? out.ml.lock.address : nullptr,
                    sourceAlpha,
                    alpha ? out.al.lock.address : nullptr,
                    x,
                    width,
                    height,
                    in.pl.lock.rowLength,
                    ow,
                    oh,
                    out.pl.lock.rowLength,
                    mask ? in.ml.lock.rowLength : 0,
                    mask ? out.ml.lock.rowLength : 0,
                    alpha ? in.al.lock.rowLength : 0,
                    alpha ? out.al.lock.rowLength : 0,
                    bpp,
                    (angle == 90 || angle == -270) ? 1 : 0};
    RotateQuarterTurn(&q);
  } else {
    const double full[6] = {matrix[0],
                            matrix[1],
                            matrix[2],
                            matrix[3],
                            -static_cast<double>(ox),
                            -static_cast<double>(oy)};
    TransformRequest q{fxwrap::At(in.pl.lock, x, y),
                       out.pl.lock.address,
                       sourceMask,
                       mask ? out.ml.lock.address : nullptr,
                       sourceAlpha,
                       alpha ? out.al.lock.address : nullptr,
                       x,
                       width,
                       height,
                       in.pl.lock.rowLength,
                       ow,
                       oh,
                       out.pl.lock.rowLength,
                       mask ? in.ml.lock.rowLength : 0,
                       mask ? out.ml.lock.rowLength : 0,
                       alpha ? in.al.lock.rowLength : 0,
                       alpha ? out.al.lock.rowLength : 0,
                       full,
                       smooth,
                       in.pl.lock.pixelFormat,
                       bpp};
    if (!TransformPixels(&q)) return ERR_WRONGUSAGE;
  }
  *outBitmap = out.bitmap.release();
  if (outMask) *outMask = out.mask.release();
  if (outAlpha) *outAlpha = out.alpha.release();
  *outWidth = ow;
  *outHeight = oh;
  return 0;
}

ErrorCode DistortBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                        int32_t width, int32_t height, int32_t method, const double* arguments,
                        int32_t count, int32_t filtered, BitmapHandle** outBitmap,
                        BitmapHandle** outMask, BitmapHandle** outAlpha, int32_t* outWidth,
                        int32_t* outHeight) {
  if (!bitmap) return ERR_WRONGUSAGE;
  Inputs in;
  ErrorCode e = in.take(bitmap, mask, alpha, 0, 0, width, height);
  if (e) return e == ERR_LOCKBMAP ? ERR_LOCKBMAP : ERR_WRONGUSAGE;
  DistortImage source{width, height, 0, 0, in.pl.lock.address, in.pl.lock.rowLength};
  DistortImage output{};
  DistortRequest r{};
  r.method = method;
  r.count = count;
  r.arguments = arguments;
  r.source = &source;
  r.output = &output;
  r.filtered = filtered;
  r.bytesPerPixel = in.pl.lock.bytesPerPixel;
  r.format = in.pl.lock.pixelFormat;
  e = DistortSetup(&r);
  if (e) return e;
  struct Coefficients {
    DistortRequest* r;
    ~Coefficients() { FreeMemory(r->coefficients); }
  } keep{&r};
  bool wantMask = mask || (!alpha && !filtered);
  Outputs out;
  e = out.make(r.outputWidth, r.outputHeight, wantMask, !wantMask);
  if (e) return e;
  if (out.pl.lock.pixelFormat != in.pl.lock.pixelFormat) return ERR_BITMAP;
  output =
      DistortImage{r.outputWidth, r.outputHeight, 0, 0, out.pl.lock.address, out.pl.lock.rowLength};
  if (mask) {
    r.sourceMask = in.ml.lock.address;
    r.sourceMaskRowBytes = in.ml.lock.rowLength;
  }
  if (alpha) {
    r.sourceAlpha = in.al.lock.address;
    r.sourceAlphaRowBytes = in.al.lock.rowLength;
  }
  if (out.mask) {
    r.outputMask = out.ml.lock.address;
    r.outputMaskRowBytes = out.ml.lock.rowLength;
  } else {
    r.outputAlpha = out.al.lock.address;
    r.outputAlphaRowBytes = out.al.lock.rowLength;
  }
  e = DistortRender(&r);
  if (e) return e;
  *outBitmap = out.bitmap.release();
  if (outMask) *outMask = out.mask.release();
  if (outAlpha) *outAlpha = out.alpha.release();
  *outWidth = r.outputWidth;
  *outHeight = r.outputHeight;
  return 0;
}
