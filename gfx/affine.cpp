// Affine transform kernel and thick lines. TransformPixels draws a source
// picture (with its mask or alpha channel) into a destination through a
// 2 x 3 matrix by inverse mapping: for each destination row only the span
// of columns whose source point falls inside the source is visited, sampled
// by nearest pixel or bilinearly. A singular matrix has no inverse and is
// refused. DrawThickLinePixels walks a Bresenham line and plots a run of
// pixels across the main direction at each step.
#include <algorithm>
#include <cmath>

#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "gfx/pixel_private.h"

namespace {

constexpr double SPAN_EPSILON = 1e-10;

int32_t clampTo(int64_t v, int32_t hi) {
  return v < 0 ? 0 : (v > hi ? hi : static_cast<int32_t>(v));
}

// Narrows [lo, hi] to the destination columns X for which slope * X + s0
// lies inside [0, size); false when no column qualifies.
bool narrowSpan(double slope, double s0, int32_t size, double* lo, double* hi) {
  double from, to;
  if (slope > SPAN_EPSILON) {
    from = std::ceil(-s0 / slope + SPAN_EPSILON - 0.5);
    to = std::ceil((size - s0) / slope - SPAN_EPSILON - 0.5);
  } else if (slope < -SPAN_EPSILON) {
    from = std::ceil((size - s0) / slope + SPAN_EPSILON - 0.5);
    to = std::ceil(-s0 / slope - SPAN_EPSILON - 0.5);
  } else {
    return s0 >= 0 && s0 < size;
  }
  *lo = std::max(*lo, from);
  *hi = std::min(*hi, to);
  return true;
}

struct Sample {
  uint8_t rgba[4];
  uint8_t alpha;
};

// Channel bytes R, G, B, A of a pixel: the native 32-bit word is split
// inline (the common case, and the bulk of a bilinear transform's time);
// every other format goes through the format layer.
inline void readRgba(const uint8_t* p, uint32_t format, int bpp, uint8_t out[4]) {
  if (bpp == 4 && format == PIXFMT_ARGB32) {
    uint32_t v = pixel::Load32(p);
    out[0] = static_cast<uint8_t>(v >> 16);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v);
    out[3] = static_cast<uint8_t>(v >> 24);
    return;
  }
  ReadPixelRGBA(p, format, out);
}

inline void writeRgba(uint8_t* p, uint32_t format, int bpp, const uint8_t c[4]) {
  if (bpp == 4 && format == PIXFMT_ARGB32) {
    pixel::Store32(p, static_cast<uint32_t>(c[3]) << 24 | static_cast<uint32_t>(c[0]) << 16 |
                          static_cast<uint32_t>(c[1]) << 8 | c[2]);
    return;
  }
  WritePixelRGBA(p, format, c);
}

// Bilinear span of native 32-bit pixels without a mask: the arithmetic of
// the general loop below (same formula, same order, same truncation), with
// the channel reads inlined and the neighbour clamping skipped for
// interior samples. Used while the engine's fast paths are on.
void bilinearNativeSpan(const TransformRequest* q, const double inv[6], int32_t Y, int32_t firstCol,
                        int32_t lastCol, uint8_t* dalpha) {
  const int32_t sw = q->sourceWidth, sh = q->sourceHeight;
  const auto* src = static_cast<const uint8_t*>(q->sourcePixels);
  auto* out = reinterpret_cast<uint8_t*>(q->destPixels) + pixel::Offset(0, Y, q->destRowLength, 4);
  const uint8_t* sa = q->destAlpha ? q->sourceAlpha : nullptr;
  for (int32_t X = firstCol; X <= lastCol; ++X) {
    double sx = inv[0] * X + inv[2] * Y + inv[4], sy = inv[1] * X + inv[3] * Y + inv[5];
    int64_t x0 = VmTruncInt32(sx), y0 = VmTruncInt32(sy);
    int32_t c0, c1, r0, r1;
    if (x0 >= 0 && y0 >= 0 && x0 + 1 < sw && y0 + 1 < sh) {
      c0 = static_cast<int32_t>(x0), c1 = c0 + 1, r0 = static_cast<int32_t>(y0), r1 = r0 + 1;
    } else {
      c0 = clampTo(x0, sw - 1), c1 = clampTo(x0 + 1, sw - 1), r0 = clampTo(y0, sh - 1),
      r1 = clampTo(y0 + 1, sh - 1);
    }
    const uint8_t* row0 = src + pixel::Offset(0, r0, q->sourceRowLength, 4);
    const uint8_t* row1 = src + pixel::Offset(0, r1, q->sourceRowLength, 4);
    uint32_t p00 = pixel::Load32(row0 + 4 * c0), p10 = pixel::Load32(row0 + 4 * c1);
    uint32_t p01 = pixel::Load32(row1 + 4 * c0), p11 = pixel::Load32(row1 + 4 * c1);
    // floor without a library call: for a non-negative position inside the
    // int32 range it is the truncated value already at hand.
    double flx = (sx >= 0 && sx < 2147483647.0) ? static_cast<double>(x0) : std::floor(sx);
    double fly = (sy >= 0 && sy < 2147483647.0) ? static_cast<double>(y0) : std::floor(sy);
    double fxv = sx - flx, fyv = sy - fly, gx = 1 - fxv, gy = 1 - fyv;
    // Lane by lane the arithmetic of the general loop. A bilinear mix of
    // bytes lies in 0.5 .. 255.5, so the truncation needs no clamping.
    uint32_t result = 0;
    for (int shift = 0; shift < 32; shift += 8) {
      double v = (gx * ((p00 >> shift) & 255) + fxv * ((p10 >> shift) & 255)) * gy +
                 (gx * ((p01 >> shift) & 255) + fxv * ((p11 >> shift) & 255)) * fyv + 0.5;
      result |= static_cast<uint32_t>(static_cast<int32_t>(v)) << shift;
    }
    pixel::Store32(out + 4 * X, result);
    if (sa) {
      const uint8_t* a0 = sa + static_cast<ptrdiff_t>(r0) * q->sourceAlphaRowBytes;
      const uint8_t* a1 = sa + static_cast<ptrdiff_t>(r1) * q->sourceAlphaRowBytes;
      double v = (gx * a0[c0] + fxv * a0[c1]) * gy + (gx * a1[c0] + fxv * a1[c1]) * fyv + 0.5;
      dalpha[X] = static_cast<uint8_t>(fx::ClampChannel(v));
    }
  }
}

}  // namespace

bool TransformPixels(const TransformRequest* q) {
  const double* m = q->matrix;
  double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5];
  double det = a * d - c * b;
  if (det == 0.0 || !std::isfinite(det)) return false;
  double D = 1.0 / det;
  double ia = d * D, ib = -b * D, ic = -c * D, id = a * D;
  double ie = -e * ia - f * ic, iff = -e * ib - f * id;
  if (!std::isfinite(ia) || !std::isfinite(ib) || !std::isfinite(ic) || !std::isfinite(id) ||
      !std::isfinite(ie) || !std::isfinite(iff))
    return false;
  int32_t sw = q->sourceWidth, sh = q->sourceHeight, dw = q->destWidth, dh = q->destHeight;
  if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return true;

  const double cx[4] = {0, static_cast<double>(sw), static_cast<double>(sw), 0};
  const double cy[4] = {0, 0, static_cast<double>(sh), static_cast<double>(sh)};
  double minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    double X = a * cx[i] + c * cy[i] + e, Y = b * cx[i] + d * cy[i] + f;
    minX = std::min(minX, X);
    maxX = std::max(maxX, X);
    minY = std::min(minY, Y);
    maxY = std::max(maxY, Y);
  }
  int32_t firstRow = minY >= 0 ? VmTruncInt32(std::ceil(minY - 0.5)) : 0;
  int32_t lastRow = VmTruncInt32(std::floor(std::min(maxY, dh - 1.0) + 0.5));
  if (lastRow > dh - 1) lastRow = dh - 1;

  int bpp = q->bytesPerPixel;
  bool pixels = q->sourcePixels && q->destPixels && (bpp == 2 || bpp == 4);
  bool mask = q->sourceMask && q->destMask;
  bool alpha = q->sourceAlpha && q->destAlpha;
  const auto* src = static_cast<const uint8_t*>(q->sourcePixels);
  auto* dst = static_cast<uint8_t*>(q->destPixels);

  const double inv[6] = {ia, ib, ic, id, ie, iff};
  bool nativeBilinear = q->smooth && pixels && bpp == 4 && q->format == PIXFMT_ARGB32 &&
                        !q->sourceMask && PixelFastPathsEnabled();

  auto maskBit = [&](int32_t col, int32_t row) {
    return pixel::MaskBit(q->sourceMask + static_cast<ptrdiff_t>(row) * q->sourceMaskRowBytes,
                          static_cast<ptrdiff_t>(col) + q->sourceMaskBitOffset);
  };
  auto sourceAlpha = [&](int32_t col, int32_t row) {
    return q->sourceAlpha[static_cast<ptrdiff_t>(row) * q->sourceAlphaRowBytes + col];
  };

  for (int32_t Y = firstRow; Y <= lastRow; ++Y) {
    double lo = minX, hi = maxX;
    if (!narrowSpan(ia, ic * (Y + 0.5) + ie, sw, &lo, &hi)) continue;
    if (!narrowSpan(ib, id * (Y + 0.5) + iff, sh, &lo, &hi)) continue;
    if (!(lo <= hi)) continue;
    int32_t firstCol = lo < 0 ? 0 : VmTruncInt32(std::ceil(lo - 0.5));
    int32_t lastCol = VmTruncInt32(std::floor(std::min(hi, dw - 1.0) + 0.5));
    if (lastCol > dw - 1) lastCol = dw - 1;
    uint8_t* dmask =
        q->destMask ? q->destMask + static_cast<ptrdiff_t>(Y) * q->destMaskRowBytes : nullptr;
    uint8_t* dalpha =
        q->destAlpha ? q->destAlpha + static_cast<ptrdiff_t>(Y) * q->destAlphaRowBytes : nullptr;
    if (nativeBilinear) {
      bilinearNativeSpan(q, inv, Y, firstCol, lastCol, alpha ? dalpha : nullptr);
      continue;
    }
    for (int32_t X = firstCol; X <= lastCol; ++X) {
      double sx = ia * X + ic * Y + ie, sy = ib * X + id * Y + iff;
      int32_t col = clampTo(VmTruncInt32(sx), sw - 1);
      int32_t row = clampTo(VmTruncInt32(sy), sh - 1);
      if (!q->smooth) {
        if (pixels)
          std::memcpy(dst + pixel::Offset(X, Y, q->destRowLength, bpp),
                      src + pixel::Offset(col, row, q->sourceRowLength, bpp), bpp);
        if (mask)
          pixel::PutMaskBit(dmask, X, maskBit(col, row));
        else if (!q->sourceMask && alpha)
          dalpha[X] = sourceAlpha(col, row);
        continue;
      }
      int64_t x0 = VmTruncInt32(sx), y0 = VmTruncInt32(sy);
      const int32_t nx[4] = {clampTo(x0, sw - 1), clampTo(x0 + 1, sw - 1), clampTo(x0, sw - 1),
                             clampTo(x0 + 1, sw - 1)};
      const int32_t ny[4] = {clampTo(y0, sh - 1), clampTo(y0, sh - 1), clampTo(y0 + 1, sh - 1),
                             clampTo(y0 + 1, sh - 1)};
      Sample s[4] = {};
      bool present[4] = {true, true, true, true};
      bool useMask = q->sourceMask && !q->sourceAlpha;
      int lastPresent = -1;
      for (int i = 0; i < 4; ++i) {
        if (useMask && !maskBit(nx[i], ny[i])) {
          present[i] = false;
          continue;
        }
        lastPresent = i;
        if (pixels)
          readRgba(src + pixel::Offset(nx[i], ny[i], q->sourceRowLength, bpp), q->format, bpp,
                   s[i].rgba);
        if (q->sourceAlpha) s[i].alpha = sourceAlpha(nx[i], ny[i]);
      }
      if (lastPresent < 0) {
        if (dmask) pixel::ClearMaskBit(dmask, X);
        continue;
      }
      for (int i = 0; i < 4; ++i)
        if (!present[i]) s[i] = s[lastPresent];
      double fxv = sx - std::floor(sx), fyv = sy - std::floor(sy);
      auto mix = [&](double p00, double p10, double p01, double p11) {
        double v =
            ((1 - fxv) * p00 + fxv * p10) * (1 - fyv) + ((1 - fxv) * p01 + fxv * p11) * fyv + 0.5;
        return static_cast<uint8_t>(fx::ClampChannel(v));
      };
      if (pixels) {
        uint8_t out[4];
        for (int ch = 0; ch < 4; ++ch)
          out[ch] = mix(s[0].rgba[ch], s[1].rgba[ch], s[2].rgba[ch], s[3].rgba[ch]);
        writeRgba(dst + pixel::Offset(X, Y, q->destRowLength, bpp), q->format, bpp, out);
      }
      if (alpha && !q->sourceMask) dalpha[X] = mix(s[0].alpha, s[1].alpha, s[2].alpha, s[3].alpha);
      if (mask) pixel::PutMaskBit(dmask, X, maskBit(col, row));
    }
  }
  return true;
}

void DrawThickLinePixels(PlotContext* ctx, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  int64_t dx = static_cast<int64_t>(x2) - x1, dy = static_cast<int64_t>(y2) - y1;
  int64_t adx = dx < 0 ? -dx : dx, ady = dy < 0 ? -dy : dy;
  double theta = std::atan2(static_cast<double>(ady), static_cast<double>(adx));
  double t = ctx->thickness;
  auto plot = [&](int64_t x, int64_t y) {
    if (x >= INT32_MIN && x <= INT32_MAX && y >= INT32_MIN && y <= INT32_MAX)
      PlotPixel(ctx, static_cast<int32_t>(x), static_cast<int32_t>(y));
  };
  // A run is cut to the clip rectangle before it is walked, so a huge
  // thickness costs no more than the rectangle is wide.
  auto runRange = [&](int64_t from, int64_t count, int64_t clipFrom, int64_t clipSize, int64_t* lo,
                      int64_t* hi) {
    *lo = from;
    *hi = from + count - 1;
    if (ctx->clip) {
      *lo = std::max(*lo, clipFrom);
      *hi = std::min(*hi, clipFrom + clipSize - 1);
    }
  };
  if (adx < ady) {
    double sn = std::sin(theta);
    int32_t run = sn == 0 ? 0 : VmTruncInt32(t / sn);
    int32_t offset = -(run / 2);
    if (run == 0) run = 1, offset = 0;
    // Walk from the end with the smaller y.
    int64_t x = y1 <= y2 ? x1 : x2, y = y1 <= y2 ? y1 : y2, yEnd = y1 <= y2 ? y2 : y1;
    int64_t xEnd = y1 <= y2 ? x2 : x1;
    int64_t step = xEnd > x ? 1 : -1;
    int64_t err = 2 * adx - ady;
    for (; y <= yEnd; ++y) {
      int64_t lo, hi;
      runRange(x + offset, run, ctx->clipX, ctx->clipWidth, &lo, &hi);
      for (int64_t i = lo; i <= hi; ++i) plot(i, y);
      if (err < 0) {
        err += 2 * adx;
      } else {
        err += 2 * (adx - ady);
        x += step;
      }
    }
    return;
  }
  double cs = std::cos(theta);
  int32_t run = (cs == 0 || (adx == 0 && ady == 0)) ? 0 : VmTruncInt32(t / cs);
  if (run == 0) run = 1;
  int32_t offset = -(run / 2);
  int64_t x = x1 <= x2 ? x1 : x2, y = x1 <= x2 ? y1 : y2, xEnd = x1 <= x2 ? x2 : x1;
  int64_t yEnd = x1 <= x2 ? y2 : y1;
  int64_t step = yEnd > y ? 1 : -1;
  int64_t err = 2 * ady - adx;
  for (; x <= xEnd; ++x) {
    int64_t lo, hi;
    runRange(y + offset, run, ctx->clipY, ctx->clipHeight, &lo, &hi);
    for (int64_t i = lo; i <= hi; ++i) plot(x, i);
    if (err < 0) {
      err += 2 * ady;
    } else {
      err += 2 * (ady - adx);
      y += step;
    }
  }
}
