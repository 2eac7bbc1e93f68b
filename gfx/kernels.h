// Fast-path tables of the pixel engine. Each operation with fast kernels
// keeps one table of rows {format, bytes per pixel, required flags, kernel};
// the first row that matches a request wins and the last row, the general
// kernel, matches everything. With fast paths switched off only the last
// row is consulted, so tests can compare every fast kernel with the general
// one in the same program.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gfx/gfx.h"
#include "gfx/pixel_private.h"

namespace kernels {

constexpr uint32_t ANY_FORMAT = 0xFFFFFFFFu;

template <class Fn>
struct FastPathRow {
  uint32_t format;        // ANY_FORMAT or one code
  int32_t bytesPerPixel;  // 0 for any
  uint32_t flags;         // all of these must be present in the request
  Fn fn;
};

template <class Fn, size_t N>
Fn PickKernel(const FastPathRow<Fn> (&table)[N], uint32_t format, int32_t bytesPerPixel,
              uint32_t flags) {
  static_assert(N >= 1, "a table ends with its general kernel");
  size_t i = PixelFastPathsEnabled() ? 0 : N - 1;
  for (; i + 1 < N; ++i) {
    const FastPathRow<Fn>& r = table[i];
    if ((r.format == ANY_FORMAT || r.format == format) &&
        (r.bytesPerPixel == 0 || r.bytesPerPixel == bytesPerPixel) && (r.flags & ~flags) == 0)
      return r.fn;
  }
  return table[N - 1].fn;
}

// True when the processor runs AVX2 code (checked once).
bool CpuHasAvx2();

// Fast kernels (gfx/fastpath.cpp). Same contracts as the general kernels
// they stand in for; the table rows say which formats they accept.
void SpanBlendArgb32(const SpanDescriptor* span);
// Sets n 32-bit pixels from d to v.
void FillRow32(uint32_t* d, int32_t n, uint32_t v);
// BlendColourSpans for ARGB32 rows.
void BlendColourSpansArgb32(uint32_t* row, int32_t from, int32_t to, const CoverageSpan* spans,
                            int32_t count, uint32_t raw, int32_t opacity);
void CopyPixelsRows(const uint8_t* src, int32_t sx, int32_t sy, uint8_t* dst, int32_t dx,
                    int32_t dy, int32_t width, int32_t height, int32_t srcRowLength,
                    int32_t dstRowLength, int32_t bytesPerPixel);
void CopyPixelsMasked32(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t sx,
                        int32_t sy, int32_t dx, int32_t dy, int32_t width, int32_t height,
                        int32_t srcRowLength, int32_t maskRowBytes, int32_t dstRowLength,
                        int32_t bytesPerPixel);
void CopyPixelsMaskedOver32(const uint8_t* src, const uint8_t* background, uint8_t* dst,
                            const uint8_t* mask, int32_t sx, int32_t sy, int32_t bx, int32_t by,
                            int32_t dx, int32_t dy, int32_t width, int32_t height,
                            int32_t srcRowLength, int32_t backgroundRowLength, int32_t maskRowBytes,
                            int32_t dstRowLength, int32_t bytesPerPixel);
void CopyPixelsMaskedOverChanged32(const uint8_t* src, const uint8_t* background, uint8_t* dst,
                                   const uint8_t* mask, uint8_t* previous, int32_t sx, int32_t sy,
                                   int32_t bx, int32_t by, int32_t dx, int32_t dy, int32_t width,
                                   int32_t height, int32_t srcRowLength,
                                   int32_t backgroundRowLength, int32_t maskRowBytes,
                                   int32_t previousRowBytes, int32_t dstRowLength,
                                   int32_t bytesPerPixel);

// Pixel part of nearest and smooth scaling: positions already decided by
// the caller (xStep 16.16, rows from the y accumulator; smooth positions
// from the tables).
struct ScalePixelsJob {
  const ScaleRequest* req;
  int64_t xStep;
  double yScale;
};
void ScaleNearestPixelsGeneral(const ScalePixelsJob* job);
void ScaleNearestPixels32(const ScalePixelsJob* job);
void ScaleSmoothPixelsGeneral(const ScalePixelsJob* job);
void ScaleSmoothPixelsArgb32(const ScalePixelsJob* job);

// Source row of destination row j for nearest scaling: trunc of the y
// accumulator, clamped to the last row.
int32_t NearestSourceRow(double acc, int32_t sourceHeight);
// Source x of destination column i, 16.16 smooth positions.
int64_t SmoothPosition(int64_t i, int32_t sourceSize, int32_t destSize);

}  // namespace kernels
