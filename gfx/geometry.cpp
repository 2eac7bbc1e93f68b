// Loops that move pixels, mask bits and alpha bytes to new places: mirror,
// quarter turn and pixelate, the polygon fill of a mask and the threshold
// kernel of mask transitions.
// Invariant: each loop reads only inside its source rectangle and writes
// only inside its destination rectangle (padding bits of mask rows are
// never touched).
#include <algorithm>
#include <cmath>
#include <utility>

#include "gfx/gfx.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"

using namespace pixel;

namespace {

void swapBytes(uint8_t* a, uint8_t* b, size_t n) {
  for (size_t k = 0; k < n; ++k) std::swap(a[k], b[k]);
}

void swapMaskBits(uint8_t* row, ptrdiff_t a, ptrdiff_t b) {
  bool va = MaskBit(row, a), vb = MaskBit(row, b);
  PutMaskBit(row, a, vb);
  PutMaskBit(row, b, va);
}

}  // namespace

void FlipPixels(const FlipRequest* q) {
  int bpp = q->bytesPerPixel;
  bool pixels = q->pixels && (bpp == 2 || bpp == 4);
  int32_t w = q->width, h = q->height;
  if (w <= 0 || h <= 0) return;
  if (q->direction == 0) {
    for (int32_t i = 0; i < h / 2; ++i) {
      int32_t k = h - 1 - i;
      if (pixels)
        swapBytes(q->pixels + Offset(0, i, q->rowLength, bpp),
                  q->pixels + Offset(0, k, q->rowLength, bpp), static_cast<size_t>(w) * bpp);
      if (q->mask)
        swapBytes(q->mask + ByteOffset(0, i, q->maskRowBytes),
                  q->mask + ByteOffset(0, k, q->maskRowBytes),
                  static_cast<size_t>(q->maskRowBytes));
      if (q->alpha)
        swapBytes(q->alpha + ByteOffset(0, i, q->alphaRowBytes),
                  q->alpha + ByteOffset(0, k, q->alphaRowBytes), static_cast<size_t>(w));
    }
    return;
  }
  for (int32_t j = 0; j < h; ++j) {
    if (pixels) {
      uint8_t* row = q->pixels + Offset(0, j, q->rowLength, bpp);
      for (int32_t i = 0; i < w / 2; ++i)
        swapBytes(row + static_cast<ptrdiff_t>(i) * bpp,
                  row + static_cast<ptrdiff_t>(w - 1 - i) * bpp, static_cast<size_t>(bpp));
    }
    if (q->alpha) {
      uint8_t* row = q->alpha + ByteOffset(0, j, q->alphaRowBytes);
      std::reverse(row, row + w);
    }
    if (q->mask) {
      // Bit x takes bit width - 1 - x; exchanging pairs in place does what a
      // copy through the scratch row would, and padding bits stay put.
      uint8_t* row = q->mask + ByteOffset(0, j, q->maskRowBytes);
      for (int32_t i = 0; i < w / 2; ++i) swapMaskBits(row, i, w - 1 - i);
    }
  }
}

void RotateQuarterTurn(const RotateRequest* q) {
  int bpp = q->bytesPerPixel;
  if (bpp != 2 && bpp != 4) return;
  int32_t sw = q->sourceWidth, sh = q->sourceHeight;
  // Destination is sh wide and sw high.
  for (int32_t j = 0; j < sw; ++j) {
    for (int32_t i = 0; i < sh; ++i) {
      int32_t sx, sy;
      if (q->direction == 1) {
        sx = sw - 1 - j;
        sy = i;
      } else {
        sx = j;
        sy = sh - 1 - i;
      }
      if (q->source && q->dest)
        StoreRaw(q->dest + Offset(i, j, q->destRowLength, bpp), bpp,
                 LoadRaw(q->source + Offset(sx, sy, q->sourceRowLength, bpp), bpp));
      if (q->sourceMask && q->destMask &&
          MaskBit(q->sourceMask + static_cast<ptrdiff_t>(sy) * q->sourceMaskRowBytes,
                  static_cast<ptrdiff_t>(sx) + q->sourceMaskBitX))
        SetMaskBit(q->destMask + static_cast<ptrdiff_t>(j) * q->destMaskRowBytes, i);
      if (q->sourceAlpha && q->destAlpha)
        q->destAlpha[ByteOffset(i, j, q->destAlphaRowBytes)] =
            q->sourceAlpha[ByteOffset(sx, sy, q->sourceAlphaRowBytes)];
    }
  }
}

namespace {

void pixelate(const PixelateRequest* q, int bpp) {
  int32_t n = std::max(1, q->cellSize);
  bool useMask = q->sourceMask && q->destMask;
  bool useAlpha = !useMask && q->sourceAlpha && q->destAlpha;
  for (int32_t cy = 0; cy < q->height; cy += n) {
    int32_t ch = std::min(n, q->height - cy);
    for (int32_t cx = 0; cx < q->width; cx += n) {
      int32_t cw = std::min(n, q->width - cx);
      uint32_t v = LoadRaw(q->source + Offset(cx, cy, q->sourceRowLength, bpp), bpp);
      bool fill = true;
      int32_t alphaValue = 0;
      if (useMask)
        fill = MaskBit(q->sourceMask + static_cast<ptrdiff_t>(cy) * q->sourceMaskRowBytes, cx);
      else if (useAlpha)
        alphaValue = q->sourceAlpha[ByteOffset(cx, cy, q->sourceAlphaRowBytes)];
      for (int32_t j = cy; j < cy + ch; ++j) {
        uint8_t* drow = q->dest + Offset(0, j, q->destRowLength, bpp);
        for (int32_t i = cx; i < cx + cw; ++i) {
          if (useMask)
            PutMaskBit(q->destMask + static_cast<ptrdiff_t>(j) * q->destMaskRowBytes, i, fill);
          if (useAlpha)
            q->destAlpha[ByteOffset(i, j, q->destAlphaRowBytes)] = static_cast<uint8_t>(alphaValue);
          if (fill && !(useAlpha && alphaValue == 0))
            StoreRaw(drow + static_cast<ptrdiff_t>(i) * bpp, bpp, v);
        }
      }
    }
  }
}

}  // namespace

void PixelatePixels32(const PixelateRequest* req) { pixelate(req, 4); }
void PixelatePixels16(const PixelateRequest* req) { pixelate(req, 2); }

void ScanFillMaskPolygon(uint8_t* mask, int32_t rowBytes, int32_t* scratch, const int32_t* points,
                         int32_t count) {
  if (count < 2) return;
  int32_t ymin = points[1], ymax = points[1];
  for (int32_t k = 1; k < count; ++k) {
    ymin = std::min(ymin, points[2 * k + 1]);
    ymax = std::max(ymax, points[2 * k + 1]);
  }
  for (int32_t y = ymin; y <= ymax; ++y) {
    int32_t n = 0;
    for (int32_t k = 0; k < count; ++k) {
      int32_t prev = k == 0 ? count - 1 : k - 1;
      int32_t x1 = points[2 * prev], y1 = points[2 * prev + 1];
      int32_t x2 = points[2 * k], y2 = points[2 * k + 1];
      if (y1 == y2) continue;
      if (y1 > y2) {
        std::swap(x1, x2);
        std::swap(y1, y2);
      }
      bool meets = (y1 <= y && y < y2) || (y == ymax && y1 < ymax && ymax <= y2);
      if (!meets) continue;
      double x = x1 + 0.5 + static_cast<double>(x2 - x1) * (y - y1) / (y2 - y1);
      // Insertion sort as the crossings arrive.
      int32_t xi = static_cast<int32_t>(std::trunc(x));
      int32_t p = n++;
      while (p > 0 && scratch[p - 1] > xi) {
        scratch[p] = scratch[p - 1];
        --p;
      }
      scratch[p] = xi;
    }
    uint8_t* row = mask + static_cast<ptrdiff_t>(y) * rowBytes;
    for (int32_t k = 0; k + 1 < n; k += 2)
      for (int32_t x = scratch[k]; x <= scratch[k + 1]; ++x) SetMaskBit(row, x);
  }
}

void MaskBitKernel(const MaskBitRequest* q, int32_t threshold) {
  // In bit mode whole destination bytes are built eight pixels at a time
  // (the first pixel is the byte's top bit); the rest of a row goes bit by
  // bit as in byte mode.
  const uint8_t low = q->invert ? 0 : 1;
  for (int32_t j = 0; j < q->height; ++j) {
    const uint8_t* map = q->map + static_cast<ptrdiff_t>(j) * q->width;
    const uint8_t* s =
        q->source ? q->source + static_cast<ptrdiff_t>(j) * q->sourceRowBytes : nullptr;
    uint8_t* d = q->dest + static_cast<ptrdiff_t>(j) * q->destRowBytes;
    int32_t i = 0;
    if (!q->byteMode) {
      for (; i + 8 <= q->width; i += 8) {
        uint32_t bits = 0;
        for (int32_t k = 0; k < 8; ++k)
          bits |= static_cast<uint32_t>((map[i + k] < threshold) == low) << (7 - k);
        if (s) bits &= s[i >> 3];
        d[i >> 3] = static_cast<uint8_t>(bits);
      }
    }
    for (; i < q->width; ++i) {
      bool shown = q->invert ? map[i] >= threshold : map[i] < threshold;
      if (q->byteMode)
        d[i] = shown ? (s ? s[i] : 255) : 0;
      else
        PutMaskBit(d, i, shown && (!s || MaskBit(s, i)));
    }
  }
}

void RadialSweepKernel(RadialSweepRequest* q) {
  q->copiedLines = 0;
  q->firstDest = -100000;
  q->outBase = q->base;
  int bpp = q->bytesPerPixel;
  if ((bpp != 2 && bpp != 4) || q->steps <= 0 || !q->angles) return;
  const double step = 2.0 * 3.14159265358979323846 / q->steps;
  bool cols = q->columns != 0;
  int32_t srcLines = cols ? q->sourceWidth : q->sourceHeight;
  int32_t dstLines = cols ? q->destWidth : q->destHeight;
  int32_t along =
      std::min(cols ? q->sourceHeight : q->sourceWidth, cols ? q->destHeight : q->destWidth);
  for (int32_t k = 0; k < q->steps; ++k) {
    double t = std::trunc(q->angles[k] / step);
    if (!(t > -1e9 && t < 1e9)) continue;
    int64_t s = static_cast<int64_t>(t) + q->base;
    int64_t d = static_cast<int64_t>(q->base) - q->steps + 1 + k;
    if (s < 0 || s >= srcLines || d < 0 || d >= dstLines) continue;
    for (int32_t p = 0; p < along; ++p) {
      int32_t sx = cols ? static_cast<int32_t>(s) : p, sy = cols ? p : static_cast<int32_t>(s);
      int32_t dx = cols ? static_cast<int32_t>(d) : p, dy = cols ? p : static_cast<int32_t>(d);
      const uint8_t* sp = q->source + Offset(sx, sy, q->sourceRowLength, bpp);
      uint8_t* dp = q->dest + Offset(dx, dy, q->destRowLength, bpp);
      if (q->sourceMask) {
        if (!MaskBit(q->sourceMask + static_cast<ptrdiff_t>(sy) * q->sourceMaskRowBytes, sx))
          continue;
        StoreRaw(dp, bpp, LoadRaw(sp, bpp));
        if (q->destMask)
          SetMaskBit(q->destMask + static_cast<ptrdiff_t>(dy) * q->destMaskRowBytes, dx);
      } else if (q->sourceAlpha) {
        uint8_t a = q->sourceAlpha[ByteOffset(sx, sy, q->sourceAlphaRowBytes)];
        uint8_t* da =
            q->destAlpha ? q->destAlpha + ByteOffset(dx, dy, q->destAlphaRowBytes) : nullptr;
        if (a) {
          StoreRaw(dp, bpp, LoadRaw(sp, bpp));
          if (da) *da = a;
        } else if (da) {
          *da = 0;
        }
      } else {
        StoreRaw(dp, bpp, LoadRaw(sp, bpp));
      }
    }
    if (q->firstDest == -100000) q->firstDest = static_cast<int32_t>(d);
    ++q->copiedLines;
  }
}
