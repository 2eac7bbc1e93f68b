// Scaling of a pixel buffer with its optional mask and alpha channel:
// nearest neighbour with 16.16 steps, or bilinear from 16.16 positions.
// Invariant: every source index is clamped into the source, and every
// position product is 64-bit, so sources of 32,768 pixels and more (where
// i * step passes 2^31) still sample the right column.
#include <algorithm>
#include <cstring>

#include "gfx/gfx.h"
#include "gfx/kernels.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"

using namespace pixel;

namespace kernels {

int32_t NearestSourceRow(double acc, int32_t sourceHeight) {
  int64_t r = static_cast<int64_t>(acc);
  return static_cast<int32_t>(std::clamp<int64_t>(r, 0, sourceHeight - 1));
}

int64_t SmoothPosition(int64_t i, int32_t sourceSize, int32_t destSize) {
  if (destSize <= 1) return 0;
  int64_t step = (static_cast<int64_t>(sourceSize) - 1) * 65536 / (destSize - 1);
  return std::min(i * step, static_cast<int64_t>(sourceSize) * 65536 - 1);
}

void ScaleNearestPixelsGeneral(const ScalePixelsJob* job) {
  const ScaleRequest* q = job->req;
  int bpp = q->bytesPerPixel;
  double acc = 0;
  for (int32_t j = 0; j < q->destHeight; ++j, acc += job->yScale) {
    int32_t sy = NearestSourceRow(acc, q->sourceHeight);
    const uint8_t* s = q->source + Offset(0, sy, q->sourceRowLength, bpp);
    uint8_t* d = q->dest + Offset(0, j, q->destRowLength, bpp);
    int64_t x = 0;
    for (int32_t i = 0; i < q->destWidth; ++i, x += job->xStep) {
      int64_t sx = std::min<int64_t>(x >> 16, q->sourceWidth - 1);
      StoreRaw(d + static_cast<ptrdiff_t>(i) * bpp, bpp, LoadRaw(s + sx * bpp, bpp));
    }
  }
}

void ScaleSmoothPixelsGeneral(const ScalePixelsJob* job) {
  const ScaleRequest* q = job->req;
  int bpp = q->bytesPerPixel;
  uint32_t fmt = q->format;
  for (int32_t j = 0; j < q->destHeight; ++j) {
    int64_t y = SmoothPosition(j, q->sourceHeight, q->destHeight);
    int32_t fy = static_cast<int32_t>(y & 0xFFFF), r = static_cast<int32_t>(y >> 16);
    int32_t r1 = r + 1 < q->sourceHeight ? r + 1 : r;
    uint8_t* d = q->dest + Offset(0, j, q->destRowLength, bpp);
    for (int32_t i = 0; i < q->destWidth; ++i) {
      int64_t x = SmoothPosition(i, q->sourceWidth, q->destWidth);
      int32_t fx = static_cast<int32_t>(x & 0xFFFF), c = static_cast<int32_t>(x >> 16);
      int32_t c1 = c + 1 < q->sourceWidth ? c + 1 : c;
      uint8_t p00[4] = {0, 0, 0, 0}, p01[4] = {0, 0, 0, 0}, p10[4] = {0, 0, 0, 0},
              p11[4] = {0, 0, 0, 0};
      ReadPixelRGBA(q->source + Offset(c, r, q->sourceRowLength, bpp), fmt, p00);
      ReadPixelRGBA(q->source + Offset(c1, r, q->sourceRowLength, bpp), fmt, p01);
      ReadPixelRGBA(q->source + Offset(c, r1, q->sourceRowLength, bpp), fmt, p10);
      ReadPixelRGBA(q->source + Offset(c1, r1, q->sourceRowLength, bpp), fmt, p11);
      uint8_t out[4];
      for (int k = 0; k < 4; ++k) {
        int32_t top = (p00[k] + (((p01[k] - p00[k]) * fx) >> 16)) & 255;
        int32_t bottom = (p10[k] + (((p11[k] - p10[k]) * fx) >> 16)) & 255;
        out[k] = static_cast<uint8_t>((top + (((bottom - top) * fy) >> 16)) & 255);
      }
      WritePixelRGBA(d + static_cast<ptrdiff_t>(i) * bpp, fmt, out);
    }
  }
}

}  // namespace kernels

namespace {

using ScaleFn = void (*)(const kernels::ScalePixelsJob*);

const kernels::FastPathRow<ScaleFn> kNearestTable[] = {
    {kernels::ANY_FORMAT, 4, 0, kernels::ScaleNearestPixels32},
    {kernels::ANY_FORMAT, 0, 0, kernels::ScaleNearestPixelsGeneral},
};
const kernels::FastPathRow<ScaleFn> kSmoothTable[] = {
    {PIXFMT_ARGB32, 4, 0, kernels::ScaleSmoothPixelsArgb32},
    {kernels::ANY_FORMAT, 0, 0, kernels::ScaleSmoothPixelsGeneral},
};

struct Steps {
  int64_t xStep;
  double yScale;
};

Steps nearestSteps(const ScaleRequest* q) {
  float xs = static_cast<float>(q->sourceWidth) / static_cast<float>(q->destWidth);
  float ys = static_cast<float>(q->sourceHeight) / static_cast<float>(q->destHeight);
  return Steps{static_cast<int64_t>(static_cast<double>(xs) * 65536.0), static_cast<double>(ys)};
}

bool sizesUsable(const ScaleRequest* q) {
  return q->sourceWidth > 0 && q->sourceHeight > 0 && q->destWidth > 0 && q->destHeight > 0;
}

void smoothAlpha(const ScaleRequest* q) {
  for (int32_t j = 0; j < q->destHeight; ++j) {
    int64_t y = kernels::SmoothPosition(j, q->sourceHeight, q->destHeight);
    int32_t fy = static_cast<int32_t>(y & 0xFFFF), r = static_cast<int32_t>(y >> 16);
    int32_t r1 = r + 1 < q->sourceHeight ? r + 1 : r;
    const uint8_t* s0 = q->sourceAlpha + ByteOffset(0, r, q->sourceAlphaRowBytes);
    const uint8_t* s1 = q->sourceAlpha + ByteOffset(0, r1, q->sourceAlphaRowBytes);
    uint8_t* d = q->destAlpha + ByteOffset(0, j, q->destAlphaRowBytes);
    for (int32_t i = 0; i < q->destWidth; ++i) {
      int64_t x = kernels::SmoothPosition(i, q->sourceWidth, q->destWidth);
      int32_t fx = static_cast<int32_t>(x & 0xFFFF), c = static_cast<int32_t>(x >> 16);
      int32_t c1 = c + 1 < q->sourceWidth ? c + 1 : c;
      int32_t top = (s0[c] + (((s0[c1] - s0[c]) * fx) >> 16)) & 255;
      int32_t bottom = (s1[c] + (((s1[c1] - s1[c]) * fx) >> 16)) & 255;
      d[i] = static_cast<uint8_t>((top + (((bottom - top) * fy) >> 16)) & 255);
    }
  }
}

void smoothMask(const ScaleRequest* q) {
  for (int32_t j = 0; j < q->destHeight; ++j) {
    int32_t r =
        static_cast<int32_t>(kernels::SmoothPosition(j, q->sourceHeight, q->destHeight) >> 16);
    const uint8_t* s = q->sourceMask + static_cast<ptrdiff_t>(r) * q->sourceMaskRowBytes;
    uint8_t* d = q->destMask + static_cast<ptrdiff_t>(j) * q->destMaskRowBytes;
    for (int32_t i = 0; i < q->destWidth; ++i) {
      int64_t c = kernels::SmoothPosition(i, q->sourceWidth, q->destWidth) >> 16;
      PutMaskBit(d, i, MaskBit(s, c + q->sourceMaskBitX));
    }
  }
}

}  // namespace

void ScaleMaskNearest(const ScaleRequest* q) {
  if (!q->sourceMask || !q->destMask || !sizesUsable(q)) return;
  Steps st = nearestSteps(q);
  double acc = 0;
  for (int32_t j = 0; j < q->destHeight; ++j, acc += st.yScale) {
    int32_t sy = kernels::NearestSourceRow(acc, q->sourceHeight);
    const uint8_t* s = q->sourceMask + static_cast<ptrdiff_t>(sy) * q->sourceMaskRowBytes;
    uint8_t* d = q->destMask + static_cast<ptrdiff_t>(j) * q->destMaskRowBytes;
    int64_t x = 0;
    for (int32_t i = 0; i < q->destWidth; ++i, x += st.xStep) {
      int64_t sx = std::min<int64_t>(x >> 16, q->sourceWidth - 1);
      PutMaskBit(d, i, MaskBit(s, sx + q->sourceMaskBitX));
    }
  }
}

void ScaleAlphaNearest(const ScaleRequest* q) {
  if (!q->sourceAlpha || !q->destAlpha || !sizesUsable(q)) return;
  Steps st = nearestSteps(q);
  double acc = 0;
  for (int32_t j = 0; j < q->destHeight; ++j, acc += st.yScale) {
    int32_t sy = kernels::NearestSourceRow(acc, q->sourceHeight);
    const uint8_t* s = q->sourceAlpha + ByteOffset(0, sy, q->sourceAlphaRowBytes);
    uint8_t* d = q->destAlpha + ByteOffset(0, j, q->destAlphaRowBytes);
    int64_t x = 0;
    for (int32_t i = 0; i < q->destWidth; ++i, x += st.xStep)
      d[i] = s[std::min<int64_t>(x >> 16, q->sourceWidth - 1)];
  }
}

void ScaleBitmapNearest(const ScaleRequest* q) {
  if (!sizesUsable(q)) return;
  if (!q->source) {
    if (q->smooth)
      smoothMask(q);
    else
      ScaleMaskNearest(q);
    return;
  }
  int bpp = q->bytesPerPixel;
  if (bpp != 2 && bpp != 4) return;
  if (q->smooth) {
    if (q->xTable)
      for (int32_t i = 0; i <= q->destWidth; ++i)
        q->xTable[i] = kernels::SmoothPosition(i, q->sourceWidth, q->destWidth);
    if (q->yTable)
      for (int32_t j = 0; j <= q->destHeight; ++j)
        q->yTable[j] = kernels::SmoothPosition(j, q->sourceHeight, q->destHeight);
    kernels::ScalePixelsJob job{q, 0, 0};
    kernels::PickKernel(kSmoothTable, q->format, bpp, 0)(&job);
    if (q->sourceAlpha && q->destAlpha) smoothAlpha(q);
    if (q->sourceMask && q->destMask) smoothMask(q);
    return;
  }
  Steps st = nearestSteps(q);
  kernels::ScalePixelsJob job{q, st.xStep, st.yScale};
  kernels::PickKernel(kNearestTable, q->format, bpp, 0)(&job);
  ScaleMaskNearest(q);
  ScaleAlphaNearest(q);
}
