// Pixel formats: the codes' sizes, conversions between the 16- and 32-bit
// layouts and the native RGB565 / 0xAARRGGBB values, single-pixel readers
// and writers, colour <-> pixel values, the row converters to and from
// packed ARGB buffers, colour-key masks and colour replacement.
// Invariant: every function here is total over format codes: an unknown
// code leaves its value unchanged or writes nothing, never garbage.
#include <utility>

#include "gfx/gfx.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"

using namespace pixel;

namespace {

bool isSwapped16(uint32_t format) {
  return format == PIXFMT_RGB555_SWAP || format == PIXFMT_BGR555_SWAP ||
         format == PIXFMT_RGB565_SWAP || format == PIXFMT_BGR565_SWAP;
}
bool isBgr16(uint32_t format) {
  return format == PIXFMT_BGR555 || format == PIXFMT_BGR555_SWAP || format == PIXFMT_BGR565 ||
         format == PIXFMT_BGR565_SWAP;
}

// Channels of a stored 16-bit value (after any byte swap), 8 bits each.
void channels16(uint32_t p, uint32_t format, uint8_t out[3]) {
  if (isSwapped16(format)) p = Swap16(p);
  uint32_t hi, g, lo;
  if (format <= PIXFMT_BGR555_SWAP) {
    hi = ((p >> 10) & 31) << 3;
    g = ((p >> 5) & 31) << 3;
    lo = (p & 31) << 3;
  } else {
    hi = (p & 0xF800) >> 8;
    g = (p & 0x07E0) >> 3;
    lo = (p << 3) & 0xFF;
  }
  if (isBgr16(format)) {
    out[0] = static_cast<uint8_t>(lo);
    out[2] = static_cast<uint8_t>(hi);
  } else {
    out[0] = static_cast<uint8_t>(hi);
    out[2] = static_cast<uint8_t>(lo);
  }
  out[1] = static_cast<uint8_t>(g);
}

// Stored 16-bit value from 8-bit channels, taking the top bits of each.
uint32_t pack16(uint32_t format, uint32_t r, uint32_t g, uint32_t b) {
  if (isBgr16(format)) std::swap(r, b);
  uint32_t p;
  if (format <= PIXFMT_BGR555_SWAP)
    p = ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
  else
    p = ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
  return isSwapped16(format) ? Swap16(p) : p;
}

// 32-bit layouts as bytes R, G, B, A.
void channels32(uint32_t p, uint32_t format, uint8_t out[4]) {
  uint32_t r, g, b, a;
  switch (format) {
    case PIXFMT_BGRA32:
      a = p & 0xFF;
      r = (p >> 8) & 0xFF;
      g = (p >> 16) & 0xFF;
      b = p >> 24;
      break;
    case PIXFMT_RGBA32:
      a = p & 0xFF;
      b = (p >> 8) & 0xFF;
      g = (p >> 16) & 0xFF;
      r = p >> 24;
      break;
    case PIXFMT_ABGR32:
      r = p & 0xFF;
      g = (p >> 8) & 0xFF;
      b = (p >> 16) & 0xFF;
      a = p >> 24;
      break;
    default:
      b = p & 0xFF;
      g = (p >> 8) & 0xFF;
      r = (p >> 16) & 0xFF;
      a = p >> 24;
      break;
  }
  out[0] = static_cast<uint8_t>(r);
  out[1] = static_cast<uint8_t>(g);
  out[2] = static_cast<uint8_t>(b);
  out[3] = static_cast<uint8_t>(a);
}

uint32_t pack32(uint32_t format, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  switch (format) {
    case PIXFMT_BGRA32:
      return (b << 24) | (g << 16) | (r << 8) | a;
    case PIXFMT_RGBA32:
      return (r << 24) | (g << 16) | (b << 8) | a;
    case PIXFMT_ABGR32:
      return (a << 24) | (b << 16) | (g << 8) | r;
    default:
      return (a << 24) | (r << 16) | (g << 8) | b;
  }
}

}  // namespace

int32_t BytesPerPixel(uint32_t format) {
  if (format <= PIXFMT_BGR565_SWAP) return 2;
  if (format <= PIXFMT_BGR24) return 3;
  if (format <= PIXFMT_ABGR32) return 4;
  return 0;
}

int32_t BitsPerPixel(uint32_t format) {
  if (format <= PIXFMT_BGR555_SWAP) return 15;
  if (format <= PIXFMT_BGR565_SWAP) return 16;
  if (format <= PIXFMT_BGR24) return 24;
  if (format <= PIXFMT_ABGR32) return 32;
  return 0;
}

uint32_t EncodePixel16(uint32_t format, uint32_t p) {
  if (format > PIXFMT_BGR565_SWAP) return p;
  p &= 0xFFFF;
  uint32_t r5 = (p >> 11) & 31, g6 = (p >> 5) & 63, g5 = g6 >> 1, b5 = p & 31;
  switch (format) {
    case PIXFMT_RGB555:
      return (r5 << 10) | (g5 << 5) | b5;
    case PIXFMT_BGR555:
      return (b5 << 10) | (g5 << 5) | r5;
    case PIXFMT_RGB555_SWAP:
      return Swap16((r5 << 10) | (g5 << 5) | b5);
    case PIXFMT_BGR555_SWAP:
      return Swap16((b5 << 10) | (g5 << 5) | r5);
    case PIXFMT_RGB565:
      return p;
    case PIXFMT_BGR565:
      return (b5 << 11) | (g6 << 5) | r5;
    case PIXFMT_RGB565_SWAP:
      return Swap16(p);
    default:
      return Swap16((b5 << 11) | (g6 << 5) | r5);
  }
}

uint32_t DecodePixel16(uint32_t format, uint32_t p) {
  if (format > PIXFMT_BGR565_SWAP) return p;
  p &= 0xFFFF;
  if (isSwapped16(format)) p = Swap16(p);
  uint32_t hi, g6, lo;
  if (format <= PIXFMT_BGR555_SWAP) {
    hi = (p >> 10) & 31;
    g6 = ((p >> 5) & 31) << 1;
    lo = p & 31;
  } else {
    hi = (p >> 11) & 31;
    g6 = (p >> 5) & 63;
    lo = p & 31;
  }
  if (isBgr16(format)) std::swap(hi, lo);
  return (hi << 11) | (g6 << 5) | lo;
}

uint32_t EncodePixel32(uint32_t format, uint32_t p) {
  uint32_t r = R(p), g = G(p), b = B(p);
  switch (format) {
    case PIXFMT_BGRA32:
      return (b << 24) | (g << 16) | (r << 8);
    case PIXFMT_RGBA32:
      return (p & 0xFFFFFF) << 8;
    case PIXFMT_ABGR32:
      return (b << 16) | (g << 8) | r;
    default:
      return p;
  }
}

uint32_t DecodePixel32(uint32_t format, uint32_t p) {
  switch (format) {
    case PIXFMT_BGRA32:
      return Rgb((p >> 8) & 0xFF, (p >> 16) & 0xFF, p >> 24);
    case PIXFMT_RGBA32:
      return p >> 8;
    case PIXFMT_ABGR32:
      return Rgb(p & 0xFF, (p >> 8) & 0xFF, (p >> 16) & 0xFF);
    default:
      return p;
  }
}

void ReadPixelRGBA(const void* pixel, uint32_t format, uint8_t out[4]) {
  const uint8_t* p = static_cast<const uint8_t*>(pixel);
  if (format <= PIXFMT_BGR565_SWAP) {
    channels16(Load16(p), format, out);
  } else if (format == PIXFMT_RGB24 || format == PIXFMT_BGR24) {
    // Not reached by the kernels; answered like ReadPixelRGB for safety.
    ReadPixelRGB(p, format, out);
  } else if (format <= PIXFMT_ABGR32) {
    channels32(Load32(p), format, out);
  }
}

void WritePixelRGBA(void* pixel, uint32_t format, const uint8_t rgba[4]) {
  if (format <= PIXFMT_BGR565_SWAP)
    Store16(pixel, pack16(format, rgba[0], rgba[1], rgba[2]));
  else if (format >= PIXFMT_ARGB32 && format <= PIXFMT_ABGR32)
    Store32(pixel, pack32(format, rgba[0], rgba[1], rgba[2], rgba[3]));
}

void ReadPixelRGB(const void* pixel, uint32_t format, uint8_t out[3]) {
  const uint8_t* p = static_cast<const uint8_t*>(pixel);
  if (format <= PIXFMT_BGR565_SWAP) {
    channels16(Load16(p), format, out);
  } else if (format == PIXFMT_RGB24) {
    out[0] = p[0];
    out[1] = p[1];
    out[2] = p[2];
  } else if (format == PIXFMT_BGR24) {
    out[0] = p[2];
    out[1] = p[1];
    out[2] = p[0];
  } else if (format <= PIXFMT_ABGR32) {
    uint8_t c[4];
    channels32(Load32(p), format, c);
    out[0] = c[0];
    out[1] = c[1];
    out[2] = c[2];
  }
}

uint32_t ColorToPixel(ArgbColor colour, uint32_t format, int keepAlpha) {
  uint32_t r = R(colour), g = G(colour), b = B(colour), a = keepAlpha ? A(colour) : 0;
  if (format <= PIXFMT_BGR565_SWAP) return pack16(format, r, g, b);
  if (format == PIXFMT_RGB24) return (r << 16) | (g << 8) | b;
  if (format == PIXFMT_BGR24) return (b << 16) | (g << 8) | r;
  if (format <= PIXFMT_ABGR32) return pack32(format, r, g, b, a);
  return colour & 0xFFFFFF;
}

ArgbColor PixelToColor(uint32_t pixel, uint32_t format, int keepAlpha) {
  if (format == PIXFMT_RGB24) return pixel & 0xFFFFFF;
  if (format == PIXFMT_BGR24) return Rgb(pixel & 0xFF, (pixel >> 8) & 0xFF, (pixel >> 16) & 0xFF);
  uint8_t stored[4];
  Store32(stored, pixel);  // the value as it lies in memory (little-endian)
  uint8_t c[4] = {0, 0, 0, 0};
  if (format <= PIXFMT_BGR565_SWAP) {
    ReadPixelRGB(stored, format, c);
  } else if (format <= PIXFMT_ABGR32) {
    ReadPixelRGBA(stored, format, c);
    if (!keepAlpha) c[3] = 0;
  } else {
    return pixel & 0xFFFFFF;
  }
  return (static_cast<uint32_t>(c[3]) << 24) | Rgb(c[0], c[1], c[2]);
}

int32_t GreyLevel(int32_t r, int32_t g, int32_t b) {
  double y = 0.299 * r + 0.587 * g;
  y = y + 0.114 * b;
  // The exact sum is a multiple of 1/1000; the nudge only undoes the
  // representation error of the constants (about 1e-14 per level).
  return static_cast<int32_t>(y + 1e-7);
}

bool ReadRectToARGB(const void* pixels, uint32_t* out, int32_t x, int32_t y, int32_t width,
                    int32_t height, int32_t rowLength, uint32_t format) {
  if (format != PIXFMT_RGB565 && (format < PIXFMT_ARGB32 || format > PIXFMT_ABGR32)) return false;
  const uint8_t* base = static_cast<const uint8_t*>(pixels);
  int bpp = BytesPerPixel(format);
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* row = base + Offset(x, y + j, rowLength, bpp);
    uint32_t* o = out + static_cast<ptrdiff_t>(j) * width;
    for (int32_t i = 0; i < width; ++i) {
      uint32_t p = LoadRaw(row + static_cast<ptrdiff_t>(i) * bpp, bpp);
      switch (format) {
        case PIXFMT_RGB565:
          p = Expand565(p);
          break;
        case PIXFMT_BGRA32:
          p = __builtin_bswap32(p);
          break;
        case PIXFMT_RGBA32:
          p >>= 8;
          break;
        case PIXFMT_ABGR32:
          p = __builtin_bswap32(p) >> 8;
          break;
        default:
          break;
      }
      o[i] = p;
    }
  }
  return true;
}

void WriteARGBToPixels(const uint32_t* argb, int32_t sx, int32_t sy, int32_t argbRowLength,
                       void* pixels, int32_t dx, int32_t dy, int32_t width, int32_t height,
                       int32_t rowLength, uint32_t format) {
  int bpp = BytesPerPixel(format);
  if (bpp != 2 && bpp != 4) return;
  uint8_t* base = static_cast<uint8_t*>(pixels);
  for (int32_t j = 0; j < height; ++j) {
    const uint32_t* s = argb + static_cast<ptrdiff_t>(sy + j) * argbRowLength + sx;
    uint8_t* d = base + Offset(dx, dy + j, rowLength, bpp);
    for (int32_t i = 0; i < width; ++i) {
      uint32_t p = s[i];
      if (bpp == 4) {
        switch (format) {
          case PIXFMT_BGRA32:
            p = EncodePixel32(PIXFMT_BGRA32, p);
            break;
          case PIXFMT_RGBA32:
            p <<= 8;
            break;
          case PIXFMT_ABGR32:
            p = EncodePixel32(PIXFMT_ABGR32, p);
            break;
          default:
            break;
        }
        Store32(d + static_cast<ptrdiff_t>(i) * 4, p);
      } else {
        Store16(d + static_cast<ptrdiff_t>(i) * 2, pack16(format, R(p), G(p), B(p)));
      }
    }
  }
}

void ExtractAlphaBytes(const uint32_t* argb, int32_t width, int32_t height, int32_t rowLength,
                       uint8_t* out, int32_t outRowBytes) {
  for (int32_t j = 0; j < height; ++j) {
    const uint32_t* s = argb + static_cast<ptrdiff_t>(j) * rowLength;
    uint8_t* o = out + static_cast<ptrdiff_t>(j) * outRowBytes;
    for (int32_t i = 0; i < width; ++i) o[i] = static_cast<uint8_t>(s[i] >> 24);
  }
}

void BuildColorKeyMask32(const uint32_t* pixels, uint8_t* mask, int32_t width, int32_t height,
                         int32_t maskRowBytes, uint32_t key, int32_t rowLength,
                         uint32_t compareMask) {
  for (int32_t j = 0; j < height; ++j) {
    const uint32_t* s = pixels + static_cast<ptrdiff_t>(j) * rowLength;
    uint8_t* m = mask + static_cast<ptrdiff_t>(j) * maskRowBytes;
    for (int32_t i = 0; i < width; ++i) PutMaskBit(m, i, (s[i] & compareMask) != key);
  }
}

void BuildColorKeyMask16(const uint16_t* pixels, uint8_t* mask, int32_t width, int32_t height,
                         int32_t maskRowBytes, uint32_t key, int32_t rowLength) {
  for (int32_t j = 0; j < height; ++j) {
    const uint16_t* s = pixels + static_cast<ptrdiff_t>(j) * rowLength;
    uint8_t* m = mask + static_cast<ptrdiff_t>(j) * maskRowBytes;
    for (int32_t i = 0; i < width; ++i) PutMaskBit(m, i, s[i] != key);
  }
}

void ReplaceColorPixels32(int32_t width, int32_t height, const uint32_t* pairs, uint32_t* pixels,
                          int32_t rowLength, uint32_t compareMask) {
  for (int32_t j = 0; j < height; ++j) {
    uint32_t* row = pixels + static_cast<ptrdiff_t>(j) * rowLength;
    for (int32_t i = 0; i < width; ++i) {
      uint32_t p = row[i];
      for (const uint32_t* pr = pairs; pr[0] != 0xFFFFFFFFu; pr += 2)
        if ((p & compareMask) == pr[0]) p = pr[1];
      row[i] = p;
    }
  }
}

void ReplaceColorPixels16(int32_t width, int32_t height, const uint32_t* pairs, uint16_t* pixels,
                          int32_t rowLength) {
  for (int32_t j = 0; j < height; ++j) {
    uint16_t* row = pixels + static_cast<ptrdiff_t>(j) * rowLength;
    for (int32_t i = 0; i < width; ++i) {
      uint32_t p = row[i];
      for (const uint32_t* pr = pairs; pr[0] != 0xFFFFFFFFu; pr += 2)
        if (p == (pr[0] & 0xFFFF)) p = pr[1] & 0xFFFF;
      row[i] = static_cast<uint16_t>(p);
    }
  }
}
