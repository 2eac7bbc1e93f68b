// Private helpers shared by the effect kernels: the grey level of the
// effects, and the per-pixel loop that decodes a pixel to native channels,
// applies an operation and re-encodes it.
// Channel arithmetic itself lives in gfx/pixel_ops.h; every "truncated"
// result goes through the engine's saturating VmTruncInt32, so no
// out-of-range value reaches an undefined conversion.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "engine/engine.h"
#include "gfx/gfx.h"
#include "gfx/pixel_ops.h"

namespace fx {

// A channel sum quantised to 0..255: below 0 gives 0, above 255 gives 255,
// otherwise truncated (NaN gives 0).
inline int32_t ClampChannel(double s) {
  if (!(s > 0.0)) return 0;
  if (s > 255.0) return 255;
  return static_cast<int32_t>(s);
}

// Untruncated grey sum of the grey, sepia and level effects: the double
// constants 0.299, 0.587 and 0.114 widened to long double and summed there,
// red plus green, then plus blue. The constants add up to slightly less than
// 1, so a pure grey (v, v, v) truncates to v - 1: white gives 254.
inline long double GreySum(uint32_t r, uint32_t g, uint32_t b) {
  return static_cast<long double>(0.299) * r + static_cast<long double>(0.587) * g +
         static_cast<long double>(0.114) * b;
}
inline int32_t Grey(uint32_t r, uint32_t g, uint32_t b) {
  return static_cast<int32_t>(GreySum(r, g, b));
}

// Applies op (native 0x00RRGGBB in, native out) to every pixel of a
// rectangle of 2- or 4-byte pixels, decoding and re-encoding the format.
template <int Bpp, typename Op>
inline void ForEachPixel(void* pixels, int32_t width, int32_t height, int32_t rowLength,
                         uint32_t format, Op op) {
  auto* base = static_cast<uint8_t*>(pixels);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* p = base + pixel::Offset(0, y, rowLength, Bpp);
    for (int32_t x = 0; x < width; ++x, p += Bpp) {
      uint32_t v = pixel::ToNative(pixel::LoadRaw(p, Bpp), format, Bpp) & 0xFFFFFF;
      pixel::StoreRaw(p, Bpp, pixel::FromNative(op(v), format, Bpp));
    }
  }
}

// Checked size products for buffers: false when the result does not fit.
inline bool MulSize(size_t a, size_t b, size_t* out) { return !__builtin_mul_overflow(a, b, out); }
inline bool AddSize(size_t a, size_t b, size_t* out) { return !__builtin_add_overflow(a, b, out); }

}  // namespace fx
