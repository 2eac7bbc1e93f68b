// Channel arithmetic of the pixel engine: pixel loads and stores, the
// expansion and packing of 2-byte and 4-byte pixels, the blend step, mask
// bit access and the divisions by 255. Every kernel does its channel maths
// through these helpers so that the rounding is the same everywhere.
// Invariant: a "native" value is 0xAARRGGBB; a 2-byte pixel expands to
// 0x00RRGGBB with the low 3 (red, blue) or 2 (green) bits of each channel 0,
// and packing takes the top 5/6/5 bits of the low 8 bits of each channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "gfx/gfx.h"
#include "gfx/pixel_private.h"

namespace pixel {

// Pixel memory is accessed through memcpy: buffers handed in by callers need
// not be aligned, and the compiler turns these into single moves.
inline uint32_t Load32(const void* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void Store32(void* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline uint32_t Load16(const void* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline void Store16(void* p, uint32_t v) {
  uint16_t w = static_cast<uint16_t>(v);
  std::memcpy(p, &w, 2);
}
// A raw 2- or 4-byte pixel (bpp is 2 or 4).
inline uint32_t LoadRaw(const void* p, int bpp) { return bpp == 4 ? Load32(p) : Load16(p); }
inline void StoreRaw(void* p, int bpp, uint32_t v) {
  if (bpp == 4)
    Store32(p, v);
  else
    Store16(p, v);
}

// Byte offset of pixel (x, y) in a buffer of rowLength pixels per row. Done
// in ptrdiff_t so that large bitmaps never overflow a 32-bit product.
inline ptrdiff_t Offset(int32_t x, int32_t y, int32_t rowLength, int bpp) {
  return (static_cast<ptrdiff_t>(y) * rowLength + x) * bpp;
}
inline ptrdiff_t ByteOffset(int32_t x, int32_t y, int32_t rowBytes) {
  return static_cast<ptrdiff_t>(y) * rowBytes + x;
}

inline uint32_t Swap16(uint32_t p) { return ((p & 0xFF) << 8) | ((p >> 8) & 0xFF); }

// RGB565 -> 0x00RRGGBB, low bits zero (nothing replicated).
inline uint32_t Expand565(uint32_t p) {
  return ((p & 0xF800) << 8) | ((p & 0x07E0) << 5) | ((p << 3) & 0xFF);
}
inline uint32_t Pack565(uint32_t r, uint32_t g, uint32_t b) {
  return ((r & 0xF8) << 8) | ((g & 0xFC) << 3) | ((b & 0xFF) >> 3);
}
inline uint32_t Pack565(uint32_t argb) {
  return Pack565((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF);
}

inline uint32_t R(uint32_t argb) { return (argb >> 16) & 0xFF; }
inline uint32_t G(uint32_t argb) { return (argb >> 8) & 0xFF; }
inline uint32_t B(uint32_t argb) { return argb & 0xFF; }
inline uint32_t A(uint32_t argb) { return argb >> 24; }
// Packs three channels with alpha 0, as every recomputing kernel does.
inline uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) {
  return ((r & 0xFF) << 16) | ((g & 0xFF) << 8) | (b & 0xFF);
}

// Raw pixel of a 2- or 4-byte format -> native channels (alpha 0 except for
// format 10, whose word is used as it is).
inline uint32_t ToNative(uint32_t raw, uint32_t format, int bpp) {
  if (bpp == 4) return format == PIXFMT_ARGB32 ? raw : DecodePixel32(format, raw);
  return Expand565(format == PIXFMT_RGB565 ? raw : DecodePixel16(format, raw));
}
// Native channels -> raw pixel; a computed 32-bit pixel gets alpha 0.
inline uint32_t FromNative(uint32_t argb, uint32_t format, int bpp) {
  if (bpp == 4) {
    uint32_t v = argb & 0xFFFFFF;
    return format == PIXFMT_ARGB32 ? v : EncodePixel32(format, v);
  }
  uint32_t v = Pack565(argb);
  return format == PIXFMT_RGB565 ? v : EncodePixel16(format, v);
}

// d + ((s - d) * a >> 8) with an arithmetic shift (rounds toward minus
// infinity). Equal to (d * (256 - a) + s * a) >> 8, which the vector
// kernels use because every term stays unsigned and below 65536.
inline int32_t Blend(int32_t d, int32_t s, int32_t a) { return d + (((s - d) * a) >> 8); }
inline uint32_t BlendRgb(uint32_t d, uint32_t s, int32_t a) {
  return Rgb(Blend(R(d), R(s), a), Blend(G(d), G(s), a), Blend(B(d), B(s), a));
}

// Mask bits: pixel x of a row is bit 7 - (x & 7) of byte x >> 3.
inline bool MaskBit(const uint8_t* row, ptrdiff_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }
inline void SetMaskBit(uint8_t* row, ptrdiff_t x) {
  row[x >> 3] = static_cast<uint8_t>(row[x >> 3] | (0x80 >> (x & 7)));
}
inline void ClearMaskBit(uint8_t* row, ptrdiff_t x) {
  row[x >> 3] = static_cast<uint8_t>(row[x >> 3] & ~(0x80 >> (x & 7)));
}
inline void FlipMaskBit(uint8_t* row, ptrdiff_t x) {
  row[x >> 3] = static_cast<uint8_t>(row[x >> 3] ^ (0x80 >> (x & 7)));
}
inline void PutMaskBit(uint8_t* row, ptrdiff_t x, bool on) {
  if (on)
    SetMaskBit(row, x);
  else
    ClearMaskBit(row, x);
}

// Integer division by 255, truncating (non-negative arguments).
inline uint32_t Div255(uint32_t v) { return v / 255; }

}  // namespace pixel
