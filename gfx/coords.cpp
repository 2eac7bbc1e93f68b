// Position constants, keep-aspect sizes, the boxes and point lists of 2 x 2
// transforms, and the drawing settings the blits read. A matrix is (m11, m12, m21, m22) and maps a point as
// x' = m11 x + m21 y, y' = m12 x + m22 y, as the bitmap transforms do.
// Invariant: only coordinates inside a constant's band are changed; every
// other coordinate comes back as it was given.
#include <algorithm>
#include <cmath>

#include "engine/engine.h"
#include "gfx/context_private.h"
#include "gfx/gfx.h"
#include "gfx/pixel_private.h"

namespace {

void (*outputAreaSource)(OutputArea* area) = nullptr;

// Each constant covers the values from 4999 below to 4999 above it.
bool inBand(int32_t value, int32_t constant) {
  return value >= constant - 4999 && value < constant + 5000;
}

// The reference and the offset that a resolution adds: a reference of 0 is
// the output area, whose origin is then added too.
void referenceOf(int32_t* reference, int32_t* origin, bool vertical) {
  *origin = 0;
  if (*reference != 0) return;
  if (const ClipRegion* clip = gfxContext.activeClip) {
    *reference = vertical ? clip->height : clip->width;
    *origin = vertical ? clip->y : clip->x;
    return;
  }
  if (!outputAreaSource) return;
  OutputArea area{};
  outputAreaSource(&area);
  *reference = vertical ? area.height : area.width;
  *origin = vertical ? area.y : area.x;
}

int32_t resolve(int32_t value, int32_t size, int32_t reference, double anchor, bool vertical) {
  const int32_t centre = POS_CENTER;
  const int32_t start = vertical ? POS_TOP : POS_LEFT;
  const int32_t end = vertical ? POS_BOTTOM : POS_RIGHT;
  const int32_t before = vertical ? POS_TOPOUT : POS_LEFTOUT;
  const int32_t after = vertical ? POS_BOTTOMOUT : POS_RIGHTOUT;
  int32_t constant;
  if (inBand(value, centre))
    constant = centre;
  else if (inBand(value, start))
    constant = start;
  else if (inBand(value, end))
    constant = end;
  else if (inBand(value, before))
    constant = before;
  else if (inBand(value, after))
    constant = after;
  else
    return value;
  int32_t origin;
  referenceOf(&reference, &origin, vertical);
  // The anchor's share is added back so that a resolved position stays
  // where the constant puts it whatever the anchor; the caller subtracts it.
  int64_t offset = origin + static_cast<int64_t>(VmTruncInt32(anchor * size));
  int64_t delta = static_cast<int64_t>(value) - constant;
  int64_t result;
  if (constant == centre)
    result = delta + offset + (static_cast<int64_t>(reference) - size) / 2;
  else if (constant == start)
    result = delta + offset;
  else if (constant == end)
    result = delta - size + reference + offset;
  else if (constant == before)
    result = delta - size + offset;
  else
    result = delta + reference + offset;
  return VmTruncInt32(static_cast<double>(result));
}

int32_t roundHalfUp(double value) {
  double whole = std::trunc(value);
  if (value - whole >= 0.5) whole += 1;
  return VmTruncInt32(whole);
}

}  // namespace

void SetOutputAreaSource(void (*source)(OutputArea* area)) { outputAreaSource = source; }

int32_t ResolveXPos(int32_t x, int32_t size, int32_t reference, double anchor) {
  return resolve(x, size, reference, anchor, false);
}

int32_t ResolveYPos(int32_t y, int32_t size, int32_t reference, double anchor) {
  return resolve(y, size, reference, anchor, true);
}

ErrorCode ResolveKeepAspectSize(int32_t sourceWidth, int32_t sourceHeight, int32_t* width,
                                int32_t* height) {
  if (*width <= 0 || *height <= 0 || sourceWidth <= 0 || sourceHeight <= 0)
    return ERR_BADDIMENSIONS;
  if (*width == KEEPASPRAT && *height == KEEPASPRAT) return ERR_WRONGUSAGE;
  double ratio = static_cast<double>(sourceWidth) / sourceHeight;
  if (*width == KEEPASPRAT)
    *width = roundHalfUp(ratio * *height);
  else if (*height == KEEPASPRAT)
    *height = roundHalfUp(*width / ratio);
  return ERR_NONE;
}

void ComputeRotatedBox(int32_t x, int32_t y, int32_t width, int32_t height, double anchorX,
                       double anchorY, const double m[4], int32_t* outX, int32_t* outY,
                       int32_t* outWidth, int32_t* outHeight) {
  const double pivotX = width * anchorX, pivotY = height * anchorY;
  const double xs[4] = {0, static_cast<double>(width - 1), 0, static_cast<double>(width - 1)};
  const double ys[4] = {0, 0, static_cast<double>(height - 1), static_cast<double>(height - 1)};
  double minX = 100000, maxX = -100000, minY = 100000, maxY = -100000;
  for (int i = 0; i < 4; ++i) {
    double dx = xs[i] - pivotX, dy = ys[i] - pivotY;
    double tx = m[0] * dx + m[2] * dy + pivotX;
    double ty = m[1] * dx + m[3] * dy + pivotY;
    minX = std::fmin(minX, tx);
    maxX = std::fmax(maxX, tx);
    minY = std::fmin(minY, ty);
    maxY = std::fmax(maxY, ty);
  }
  *outX = VmTruncInt32(minX + x);
  *outY = VmTruncInt32(minY + y);
  *outWidth = VmTruncInt32(maxX - minX + 1);
  *outHeight = VmTruncInt32(maxY - minY + 1);
}

void NormalizePoints(int32_t* points, size_t count, int32_t* outX, int32_t* outY, int32_t* outWidth,
                     int32_t* outHeight) {
  if (count == 0) {
    *outX = *outY = *outWidth = *outHeight = 0;
    return;
  }
  int32_t minX = points[0], maxX = points[0], minY = points[1], maxY = points[1];
  for (size_t i = 1; i < count; ++i) {
    minX = std::min(minX, points[2 * i]);
    maxX = std::max(maxX, points[2 * i]);
    minY = std::min(minY, points[2 * i + 1]);
    maxY = std::max(maxY, points[2 * i + 1]);
  }
  for (size_t i = 0; i < count; ++i) {
    points[2 * i] -= minX;
    points[2 * i + 1] -= minY;
  }
  *outX = minX;
  *outY = minY;
  *outWidth = maxX - minX + 1;
  *outHeight = maxY - minY + 1;
}

void TransformPoints(int32_t* points, size_t count, int32_t width, int32_t height, double anchorX,
                     double anchorY, const double m[4], int normalise, int32_t* outX, int32_t* outY,
                     int32_t* outWidth, int32_t* outHeight) {
  const int32_t pivotX = VmTruncInt32(width * anchorX), pivotY = VmTruncInt32(height * anchorY);
  for (size_t i = 0; i < count; ++i) {
    double dx = static_cast<double>(points[2 * i]) - pivotX;
    double dy = static_cast<double>(points[2 * i + 1]) - pivotY;
    points[2 * i] = VmTruncInt32(pivotX + m[0] * dx + m[2] * dy);
    points[2 * i + 1] = VmTruncInt32(pivotY + m[1] * dx + m[3] * dy);
  }
  if (normalise) {
    NormalizePoints(points, count, outX, outY, outWidth, outHeight);
    return;
  }
  // The box without moving the points: normalise a copy of the extremes.
  int32_t box[4] = {0, 0, 0, 0};
  if (count) {
    box[0] = box[2] = points[0];
    box[1] = box[3] = points[1];
    for (size_t i = 1; i < count; ++i) {
      box[0] = std::min(box[0], points[2 * i]);
      box[2] = std::max(box[2], points[2 * i]);
      box[1] = std::min(box[1], points[2 * i + 1]);
      box[3] = std::max(box[3], points[2 * i + 1]);
    }
  }
  NormalizePoints(box, count ? 2 : 0, outX, outY, outWidth, outHeight);
}

void SetBlitMaskMode(int32_t mode) { gfxContext.maskMode = mode; }
int32_t GetBlitMaskMode() { return gfxContext.maskMode; }
void SetBlitAlphaIntensity(int32_t level) { gfxContext.alphaIntensity = level; }
int32_t GetBlitAlphaIntensity() { return gfxContext.alphaIntensity; }
void SetBlitSelectionMode(int32_t mode) { gfxContext.selectionMode = mode; }
int32_t GetBlitSelectionMode() { return gfxContext.selectionMode; }

int32_t WalkPolygonOutline(int32_t count, const int32_t* points, int32_t* out, int32_t boundary,
                           int32_t side) {
  if (count < 1) return 0;
  const bool vertical = side == 0 || side == 2;  // the boundary is a vertical line
  auto inside = [&](int32_t x, int32_t y) {
    int32_t v = vertical ? x : y;
    return side < 2 ? v >= boundary : v <= boundary;
  };
  int32_t n = 0;
  for (int32_t i = 0; i < count; ++i) {
    // The edge from point i to the next, the last one back to the first.
    int32_t j = i + 1 == count ? 0 : i + 1;
    int32_t x0 = points[2 * i], y0 = points[2 * i + 1];
    int32_t x1 = points[2 * j], y1 = points[2 * j + 1];
    bool in0 = inside(x0, y0), in1 = inside(x1, y1);
    if (in0) {
      out[2 * n] = x0;
      out[2 * n + 1] = y0;
      ++n;
    }
    if (in0 == in1) continue;
    int32_t cx, cy;
    if (vertical) {
      double slope = static_cast<double>(y1 - y0) / (x1 - x0);  // x1 != x0 when crossing
      cx = boundary;
      cy = VmTruncInt32(std::trunc(slope * (static_cast<double>(boundary) - x0)) + y0);
    } else {
      cy = boundary;
      if (x1 == x0) {
        cx = x0;
      } else {
        double slope = static_cast<double>(y1 - y0) / (x1 - x0);
        cx = VmTruncInt32(std::trunc((static_cast<double>(boundary) - y0) / slope) + x0);
      }
    }
    out[2 * n] = cx;
    out[2 * n + 1] = cy;
    ++n;
  }
  return n;
}

namespace {

// 1024 times the cosine and sine of each whole degree, truncated toward
// zero. The exact values (0, 512, 1024 and their negatives) would come out
// one short from a rounded cosine, hence the nudge away from zero.
struct TrigTables {
  int32_t c[360], s[360];
  TrigTables() {
    for (int a = 0; a < 360; ++a) {
      long double r = static_cast<long double>(a) * 3.14159265358979323846264338327950288L / 180;
      long double cv = 1024 * std::cos(r), sv = 1024 * std::sin(r);
      c[a] = static_cast<int32_t>(std::trunc(cv + (cv < 0 ? -1e-9L : 1e-9L)));
      s[a] = static_cast<int32_t>(std::trunc(sv + (sv < 0 ? -1e-9L : 1e-9L)));
    }
  }
};

const TrigTables& trigTables() {
  static const TrigTables tables;
  return tables;
}

}  // namespace

int32_t GenerateEllipsePoints(int32_t* out, int32_t rx, int32_t ry, int32_t start, int32_t end) {
  const TrigTables& t = trigTables();
  const int64_t w = 2 * static_cast<int64_t>(rx) + 1, h = 2 * static_cast<int64_t>(ry) + 1;
  int32_t n = 0;
  for (int32_t a = start; a <= end; ++a) {
    int32_t k = ((a % 360) + 360) % 360;
    out[2 * n] = static_cast<int32_t>(w * t.c[k] / 2048 + rx);
    out[2 * n + 1] = static_cast<int32_t>(h * t.s[k] / 2048 + ry);
    ++n;
  }
  if (n > 0 && !(start == 0 && end == 360)) {
    // A part arc becomes a pie slice: to the centre and back to the start.
    out[2 * n] = rx;
    out[2 * n + 1] = ry;
    out[2 * n + 2] = out[0];
    out[2 * n + 3] = out[1];
    n += 2;
  }
  return n;
}

uint32_t MixColors(uint32_t c0, uint32_t c1, int32_t weight) {
  uint32_t result = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    int32_t a = static_cast<int32_t>((c0 >> shift) & 0xFF),
            b = static_cast<int32_t>((c1 >> shift) & 0xFF);
    int32_t v = a + ((b - a) * weight >> 8);
    result |= static_cast<uint32_t>(v & 0xFF) << shift;
  }
  return result;
}

ErrorCode FillAlphaPolygon(BitmapHandle* mask, const int32_t* points, int32_t count) {
  if (!mask || count < 2) return ERR_NONE;
  BitmapLock lock{};
  if (!LockBitmap(mask, 0, &lock)) return ERR_LOCKBMAP;
  if (lock.pixelFormat != PIXFMT_MASK1 || lock.width < 1 || lock.height < 1) {
    UnlockBitmap(&lock);
    return ERR_WRONGUSAGE;
  }
  size_t n = static_cast<size_t>(count);
  auto* scratch = static_cast<int32_t*>(AllocMemory(n * 3 * sizeof(int32_t), 0));
  if (!scratch) {
    UnlockBitmap(&lock);
    return ERR_MEM;
  }
  // The fill writes only inside the polygon's own rows and columns, so the
  // points are held inside the mask.
  int32_t* clamped = scratch + n;
  for (size_t i = 0; i < n; ++i) {
    clamped[2 * i] = std::clamp(points[2 * i], 0, lock.width - 1);
    clamped[2 * i + 1] = std::clamp(points[2 * i + 1], 0, lock.height - 1);
  }
  ScanFillMaskPolygon(lock.address, lock.rowLength, scratch, clamped, count);
  FreeMemory(scratch);
  UnlockBitmap(&lock);
  return ERR_NONE;
}
