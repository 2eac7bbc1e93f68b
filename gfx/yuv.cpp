// Conversion of planar YUV 4:2:0 video frames into pixels of any format,
// at the frame's size or scaled by nearest neighbour. Pixel (x, r) uses
// chroma sample x >> 1 of chroma row r >> 1; the integer formulas keep the
// video range: Y 16 is black and Y 235 white at neutral chroma.
#include <cstring>

#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "gfx/pixel_private.h"

namespace {

int32_t clamp255(int64_t v) { return v < 0 ? 0 : (v > 255 ? 255 : static_cast<int32_t>(v)); }

// Writes one converted pixel; false when the format and size do not go
// together (nothing written).
bool writeYuvPixel(uint8_t* out, int32_t yy, int32_t u, int32_t v, uint32_t format, int32_t bpp) {
  int64_t Y = yy, U = u, V = v;
  uint32_t r = clamp255((1904000 * (Y - 16) + 2609823 * (V - 128) + 817600) / 1635200);
  uint32_t g = clamp255((3827562 * Y - 1287801 * U - 2672387 * V + 447306710) / 3287200);
  uint32_t b = clamp255((952000 * (Y - 16) + 1649289 * (U - 128) + 408800) / 817600);
  if (bpp == 4) {
    uint32_t w;
    switch (format) {
      case PIXFMT_ARGB32:
        w = r << 16 | g << 8 | b;
        break;
      case PIXFMT_BGRA32:
        w = b << 24 | g << 16 | r << 8;
        break;
      case PIXFMT_RGBA32:
        w = r << 24 | g << 16 | b << 8;
        break;
      case PIXFMT_ABGR32:
        w = b << 16 | g << 8 | r;
        break;
      default:
        return false;
    }
    pixel::Store32(out, w);
    return true;
  }
  if (bpp == 2) {
    if (format > PIXFMT_BGR565_SWAP) return false;
    const uint8_t rgba[4] = {static_cast<uint8_t>(r), static_cast<uint8_t>(g),
                             static_cast<uint8_t>(b), 0};
    WritePixelRGBA(out, format, rgba);
    return true;
  }
  if (bpp == 3 && (format == PIXFMT_RGB24 || format == PIXFMT_BGR24)) {
    bool rgb = format == PIXFMT_RGB24;
    out[0] = static_cast<uint8_t>(rgb ? r : b);
    out[1] = static_cast<uint8_t>(g);
    out[2] = static_cast<uint8_t>(rgb ? b : r);
    return true;
  }
  return false;
}

}  // namespace

void ConvertYUVToRGB(const YuvFrame* f, void* out, int32_t width, int32_t height,
                     int32_t outRowLength, uint32_t format, int32_t bytesPerPixel) {
  ScaleYUVToRGB(f, out, width, height, width, height, outRowLength, format, bytesPerPixel);
}

void ScaleYUVToRGB(const YuvFrame* f, void* out, int32_t sourceWidth, int32_t sourceHeight,
                   int32_t width, int32_t height, int32_t outRowLength, uint32_t format,
                   int32_t bpp) {
  if (sourceWidth <= 0 || sourceHeight <= 0 || width <= 0 || height <= 0) return;
  // 16.16 column step, truncated; rows advance by an accumulated double.
  int64_t step = VmTruncInt32(static_cast<double>(sourceWidth) / width * 65536.0);
  double rowStep = static_cast<double>(sourceHeight) / height;
  double acc = 0.0;
  auto* base = static_cast<uint8_t*>(out);
  for (int32_t j = 0; j < height; ++j, acc += rowStep) {
    int32_t r = VmTruncInt32(acc);
    if (r > sourceHeight - 1) r = sourceHeight - 1;
    const uint8_t* yRow = f->y + static_cast<ptrdiff_t>(r) * f->yRowBytes;
    const uint8_t* uRow = f->u + static_cast<ptrdiff_t>(r >> 1) * f->uRowBytes;
    const uint8_t* vRow = f->v + static_cast<ptrdiff_t>(r >> 1) * f->vRowBytes;
    uint8_t* o = base + static_cast<ptrdiff_t>(j) * outRowLength * bpp;
    for (int32_t i = 0; i < width; ++i) {
      int64_t pos = i * step;
      int64_t lx = pos >> 16;
      if (lx > sourceWidth - 1) lx = sourceWidth - 1;
      int64_t cx = pos >> 17;
      if (cx > (sourceWidth - 1) >> 1) cx = (sourceWidth - 1) >> 1;
      if (!writeYuvPixel(o, yRow[lx], uRow[cx], vRow[cx], format, bpp)) return;
      o += bpp;
    }
  }
}
