// Rectangle loops that move pixels, mask bits and alpha bytes without
// blending: plain and masked copies, masked copies over a background, masked value fill, inversion, alpha
// fills, mask/alpha conversions, the alpha-channel combine modes and the
// clip-mask combination of clipped blits.
// Invariant: mask bits are addressed most significant bit first (pixel x is
// bit 7 - (x & 7) of byte x >> 3) and no loop writes a bit or byte outside
// its rectangle, so padding bits of mask rows survive every operation.
#include <algorithm>
#include <cstring>

#include "gfx/gfx.h"
#include "gfx/kernels.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"

using namespace pixel;

namespace {

using CopyFn = void (*)(const uint8_t*, int32_t, int32_t, uint8_t*, int32_t, int32_t, int32_t,
                        int32_t, int32_t, int32_t, int32_t);
using MaskedCopyFn = void (*)(const uint8_t*, uint8_t*, const uint8_t*, int32_t, int32_t, int32_t,
                              int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t);

// Pixel by pixel; the walk runs backwards when the destination lies after
// an overlapping source, so a blit within one bitmap reads unchanged pixels.
void copyGeneral(const uint8_t* src, int32_t sx, int32_t sy, uint8_t* dst, int32_t dx, int32_t dy,
                 int32_t width, int32_t height, int32_t srcRowLength, int32_t dstRowLength,
                 int32_t bpp) {
  const uint8_t* s0 = src + Offset(sx, sy, srcRowLength, bpp);
  uint8_t* d0 = dst + Offset(dx, dy, dstRowLength, bpp);
  bool backwards = d0 > s0;
  for (int32_t jj = 0; jj < height; ++jj) {
    int32_t j = backwards ? height - 1 - jj : jj;
    const uint8_t* s = s0 + static_cast<ptrdiff_t>(j) * srcRowLength * bpp;
    uint8_t* d = d0 + static_cast<ptrdiff_t>(j) * dstRowLength * bpp;
    for (int32_t ii = 0; ii < width; ++ii) {
      int32_t i = backwards ? width - 1 - ii : ii;
      StoreRaw(d + static_cast<ptrdiff_t>(i) * bpp, bpp,
               LoadRaw(s + static_cast<ptrdiff_t>(i) * bpp, bpp));
    }
  }
}

void maskedCopyGeneral(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t sx,
                       int32_t sy, int32_t dx, int32_t dy, int32_t width, int32_t height,
                       int32_t srcRowLength, int32_t maskRowBytes, int32_t dstRowLength,
                       int32_t bpp) {
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* s = src + Offset(sx, sy + j, srcRowLength, bpp);
    uint8_t* d = dst + Offset(dx, dy + j, dstRowLength, bpp);
    const uint8_t* m = mask + static_cast<ptrdiff_t>(sy + j) * maskRowBytes;
    for (int32_t i = 0; i < width; ++i)
      if (MaskBit(m, static_cast<ptrdiff_t>(sx) + i))
        StoreRaw(d + static_cast<ptrdiff_t>(i) * bpp, bpp,
                 LoadRaw(s + static_cast<ptrdiff_t>(i) * bpp, bpp));
  }
}

void maskedOverGeneral(const uint8_t* src, const uint8_t* background, uint8_t* dst,
                       const uint8_t* mask, int32_t sx, int32_t sy, int32_t bx, int32_t by,
                       int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t srcRowLength,
                       int32_t backgroundRowLength, int32_t maskRowBytes, int32_t dstRowLength,
                       int32_t bpp) {
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* s = src + Offset(sx, sy + j, srcRowLength, bpp);
    const uint8_t* b = background + Offset(bx, by + j, backgroundRowLength, bpp);
    uint8_t* d = dst + Offset(dx, dy + j, dstRowLength, bpp);
    const uint8_t* m = mask + static_cast<ptrdiff_t>(sy + j) * maskRowBytes;
    for (int32_t i = 0; i < width; ++i) {
      const uint8_t* from = MaskBit(m, static_cast<ptrdiff_t>(sx) + i) ? s : b;
      StoreRaw(d + static_cast<ptrdiff_t>(i) * bpp, bpp,
               LoadRaw(from + static_cast<ptrdiff_t>(i) * bpp, bpp));
    }
  }
}

void maskedOverChangedGeneral(const uint8_t* src, const uint8_t* background, uint8_t* dst,
                              const uint8_t* mask, uint8_t* previous, int32_t sx, int32_t sy,
                              int32_t bx, int32_t by, int32_t dx, int32_t dy, int32_t width,
                              int32_t height, int32_t srcRowLength, int32_t backgroundRowLength,
                              int32_t maskRowBytes, int32_t previousRowBytes, int32_t dstRowLength,
                              int32_t bpp) {
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* s = src + Offset(sx, sy + j, srcRowLength, bpp);
    const uint8_t* b = background + Offset(bx, by + j, backgroundRowLength, bpp);
    uint8_t* d = dst + Offset(dx, dy + j, dstRowLength, bpp);
    const uint8_t* m = mask + static_cast<ptrdiff_t>(sy + j) * maskRowBytes;
    uint8_t* p = previous + static_cast<ptrdiff_t>(j) * previousRowBytes;
    // A byte of p gets this mask's bits once all its pixels have read the
    // previous ones.
    uint8_t now = 0;
    for (int32_t i = 0; i < width; ++i) {
      const bool set = MaskBit(m, static_cast<ptrdiff_t>(sx) + i);
      const uint8_t* from = set ? s : MaskBit(p, i) ? b : nullptr;
      if (from)
        StoreRaw(d + static_cast<ptrdiff_t>(i) * bpp, bpp,
                 LoadRaw(from + static_cast<ptrdiff_t>(i) * bpp, bpp));
      if (set) now |= static_cast<uint8_t>(0x80u >> (i & 7));
      if ((i & 7) == 7 || i == width - 1) {
        p[i >> 3] = now;
        now = 0;
      }
    }
  }
}

const kernels::FastPathRow<CopyFn> kCopyTable[] = {
    {kernels::ANY_FORMAT, 0, 0, kernels::CopyPixelsRows},
    {kernels::ANY_FORMAT, 0, 0, copyGeneral},
};
const kernels::FastPathRow<MaskedCopyFn> kMaskedCopyTable[] = {
    {kernels::ANY_FORMAT, 4, 0, kernels::CopyPixelsMasked32},
    {kernels::ANY_FORMAT, 0, 0, maskedCopyGeneral},
};

using MaskedOverFn = decltype(&maskedOverGeneral);
const kernels::FastPathRow<MaskedOverFn> kMaskedOverTable[] = {
    {kernels::ANY_FORMAT, 4, 0, kernels::CopyPixelsMaskedOver32},
    {kernels::ANY_FORMAT, 0, 0, maskedOverGeneral},
};

using MaskedOverChangedFn = decltype(&maskedOverChangedGeneral);
const kernels::FastPathRow<MaskedOverChangedFn> kMaskedOverChangedTable[] = {
    {kernels::ANY_FORMAT, 4, 0, kernels::CopyPixelsMaskedOverChanged32},
    {kernels::ANY_FORMAT, 0, 0, maskedOverChangedGeneral},
};

bool pixelSize(int32_t bpp) { return bpp == 2 || bpp == 4; }

}  // namespace

void CopyPixels(const uint8_t* src, int32_t sx, int32_t sy, uint8_t* dst, int32_t dx, int32_t dy,
                int32_t width, int32_t height, int32_t srcRowLength, int32_t dstRowLength,
                int32_t bytesPerPixel) {
  if (!pixelSize(bytesPerPixel) || width <= 0 || height <= 0) return;
  kernels::PickKernel(kCopyTable, kernels::ANY_FORMAT, bytesPerPixel, 0)(
      src, sx, sy, dst, dx, dy, width, height, srcRowLength, dstRowLength, bytesPerPixel);
}

void CopyPixelsMasked(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t sx, int32_t sy,
                      int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t srcRowLength,
                      int32_t maskRowBytes, int32_t dstRowLength, int32_t bytesPerPixel) {
  if (!pixelSize(bytesPerPixel) || width <= 0 || height <= 0) return;
  kernels::PickKernel(kMaskedCopyTable, kernels::ANY_FORMAT, bytesPerPixel, 0)(
      src, dst, mask, sx, sy, dx, dy, width, height, srcRowLength, maskRowBytes, dstRowLength,
      bytesPerPixel);
}

void CopyPixelsMaskedOver(const uint8_t* src, const uint8_t* background, uint8_t* dst,
                          const uint8_t* mask, int32_t sx, int32_t sy, int32_t bx, int32_t by,
                          int32_t dx, int32_t dy, int32_t width, int32_t height,
                          int32_t srcRowLength, int32_t backgroundRowLength, int32_t maskRowBytes,
                          int32_t dstRowLength, int32_t bytesPerPixel) {
  if (!pixelSize(bytesPerPixel) || width <= 0 || height <= 0) return;
  kernels::PickKernel(kMaskedOverTable, kernels::ANY_FORMAT, bytesPerPixel, 0)(
      src, background, dst, mask, sx, sy, bx, by, dx, dy, width, height, srcRowLength,
      backgroundRowLength, maskRowBytes, dstRowLength, bytesPerPixel);
}

void CopyPixelsMaskedOverChanged(const uint8_t* src, const uint8_t* background, uint8_t* dst,
                                 const uint8_t* mask, uint8_t* previous, int32_t sx, int32_t sy,
                                 int32_t bx, int32_t by, int32_t dx, int32_t dy, int32_t width,
                                 int32_t height, int32_t srcRowLength, int32_t backgroundRowLength,
                                 int32_t maskRowBytes, int32_t previousRowBytes,
                                 int32_t dstRowLength, int32_t bytesPerPixel) {
  if (!pixelSize(bytesPerPixel) || width <= 0 || height <= 0) return;
  kernels::PickKernel(kMaskedOverChangedTable, kernels::ANY_FORMAT, bytesPerPixel, 0)(
      src, background, dst, mask, previous, sx, sy, bx, by, dx, dy, width, height, srcRowLength,
      backgroundRowLength, maskRowBytes, previousRowBytes, dstRowLength, bytesPerPixel);
}

void PaintMaskValue(const uint8_t* mask, int32_t maskBitX, int32_t maskRow, uint8_t* pixels,
                    int32_t x, int32_t y, int32_t width, int32_t height, int32_t maskRowBytes,
                    int32_t rowLength, uint32_t value, int32_t bytesPerPixel) {
  if (!pixelSize(bytesPerPixel)) return;
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* m = mask + static_cast<ptrdiff_t>(maskRow + j) * maskRowBytes;
    uint8_t* d = pixels + Offset(x, y + j, rowLength, bytesPerPixel);
    for (int32_t i = 0; i < width; ++i)
      if (MaskBit(m, static_cast<ptrdiff_t>(maskBitX) + i))
        StoreRaw(d + static_cast<ptrdiff_t>(i) * bytesPerPixel, bytesPerPixel, value);
  }
}

void InvertPixels(uint8_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                  int32_t bytesPerPixel) {
  if (!pixelSize(bytesPerPixel)) return;
  for (int32_t j = 0; j < height; ++j) {
    uint8_t* d = pixels + Offset(0, j, rowLength, bytesPerPixel);
    size_t n = static_cast<size_t>(width) * static_cast<size_t>(bytesPerPixel);
    for (size_t k = 0; k < n; ++k) d[k] = static_cast<uint8_t>(~d[k]);
  }
}

void InvertByteRect(uint8_t* bytes, int32_t rows, int32_t rowBytes) {
  if (rows <= 0 || rowBytes <= 0) return;
  size_t n = static_cast<size_t>(rows) * static_cast<size_t>(rowBytes);
  for (size_t k = 0; k < n; ++k) bytes[k] = static_cast<uint8_t>(~bytes[k]);
}

void FillAlphaBytes(uint8_t* bytes, int32_t x, int32_t y, int32_t width, int32_t height,
                    int32_t rowBytes, uint8_t value) {
  if (width <= 0) return;
  for (int32_t j = 0; j < height; ++j)
    std::memset(bytes + ByteOffset(x, y + j, rowBytes), value, static_cast<size_t>(width));
}

void MaskToAlphaValue(const uint8_t* mask, int32_t maskBitX, int32_t maskRow, int32_t maskRowBytes,
                      uint8_t* alpha, int32_t ax, int32_t ay, int32_t alphaRowBytes, int32_t width,
                      int32_t height, uint8_t value) {
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* m = mask + static_cast<ptrdiff_t>(maskRow + j) * maskRowBytes;
    uint8_t* a = alpha + ByteOffset(ax, ay + j, alphaRowBytes);
    for (int32_t i = 0; i < width; ++i)
      if (MaskBit(m, static_cast<ptrdiff_t>(maskBitX) + i)) a[i] = value;
  }
}

void ExpandMaskBytes(uint8_t* pixels, int32_t width, int32_t height, uint32_t format,
                     int32_t rowLength, const uint8_t* bytes) {
  int bpp = BytesPerPixel(format);
  if (!pixelSize(bpp)) return;
  uint32_t white;
  if (bpp == 2)
    white = 0xFFFF;
  else if (format == PIXFMT_ARGB32 || format == PIXFMT_ABGR32)
    white = 0xFFFFFF;
  else if (format == PIXFMT_BGRA32 || format == PIXFMT_RGBA32)
    white = 0xFFFFFF00u;
  else
    white = 0;
  for (int32_t j = 0; j < height; ++j) {
    uint8_t* d = pixels + Offset(0, j, rowLength, bpp);
    const uint8_t* b = bytes + static_cast<ptrdiff_t>(j) * width;
    for (int32_t i = 0; i < width; ++i)
      StoreRaw(d + static_cast<ptrdiff_t>(i) * bpp, bpp, b[i] ? white : 0);
  }
}

void CombineAlphaBytes(const AlphaCombineRequest* q) {
  int32_t mode = q->mode > 9 ? 0 : q->mode;
  for (int32_t j = 0; j < q->height; ++j) {
    const uint8_t* s = q->source + ByteOffset(q->sourceX, q->sourceY + j, q->sourceRowBytes);
    uint8_t* d = q->dest + ByteOffset(q->destX, q->destY + j, q->destRowBytes);
    for (int32_t i = 0; i < q->width; ++i) {
      int32_t sv = s[i], dv = d[i];
      switch (mode) {
        case 1:
          if (sv) dv = sv;
          break;
        case 2:
          if (sv) dv = 255 - sv;
          break;
        case 3:
          if (sv) dv = 255;
          break;
        case 4:
          if (sv) dv = std::clamp(sv * q->level / 255, 0, 255);
          break;
        case 5:
          if (sv && dv) dv = 255 - sv;
          break;
        case 6:
          if (sv) dv = q->level & 0xFF;
          break;
        case 7:
          dv = (sv && dv) ? sv : 0;
          break;
        case 8:
          if (sv == 255) dv = 255;
          break;
        case 9:
          if (sv == 255)
            dv = 255;
          else if (sv)
            dv = std::min(255, (255 * sv + (255 - sv) * dv + 127) / 255);
          break;
        default:
          dv = sv;
          break;
      }
      d[i] = static_cast<uint8_t>(dv);
    }
  }
}

void AlphaToMaskBits(const uint8_t* alpha, uint8_t* mask, int32_t alphaRowBytes,
                     int32_t maskRowBytes, int32_t mode, int32_t sx, int32_t sy, int32_t maskBitX,
                     int32_t maskRow, int32_t width, int32_t height) {
  if (mode < 0 || mode == 4 || mode > 5) return;
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* a = alpha + ByteOffset(sx, sy + j, alphaRowBytes);
    uint8_t* m = mask + static_cast<ptrdiff_t>(maskRow + j) * maskRowBytes;
    for (int32_t i = 0; i < width; ++i) {
      bool t = a[i] == 255;
      ptrdiff_t bx = static_cast<ptrdiff_t>(maskBitX) + i;
      switch (mode) {
        case 0:
        case 2:
          PutMaskBit(m, bx, t);
          break;
        case 1:
          PutMaskBit(m, bx, !t);
          break;
        case 3:
          if (t) FlipMaskBit(m, bx);
          break;
        default:
          if (t) SetMaskBit(m, bx);
          break;
      }
    }
  }
}

void CombineClipMask(const uint8_t* srcMask, int32_t srcMaskRowBytes, const uint8_t* srcAlpha,
                     int32_t srcAlphaRowBytes, const uint8_t* clipMask, int32_t clipRowBytes,
                     int32_t clipX, int32_t clipY, uint8_t* outMask, int32_t outMaskRowBytes,
                     uint8_t* outAlpha, int32_t outAlphaRowBytes, int32_t x, int32_t y,
                     int32_t width, int32_t height) {
  // A mask is combined eight pixels at a time from the first output byte
  // boundary on: the clip bits, at any bit offset, are shifted into line.
  // The pixels before that boundary and after the last whole byte go bit by
  // bit, so the bits around the rectangle keep their values.
  int32_t lead = 0, whole = 0;
  if (outMask && !outAlpha && clipX >= 0 && PixelFastPathsEnabled()) {
    lead = std::min(width, (8 - (x & 7)) & 7);
    whole = (width - lead) & ~7;
  }
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* c = clipMask + static_cast<ptrdiff_t>(clipY + j) * clipRowBytes;
    auto bits = [&](int32_t from, int32_t to) {
      for (int32_t i = from; i < to; ++i) {
        bool clip = MaskBit(c, static_cast<ptrdiff_t>(clipX) + i);
        ptrdiff_t px = static_cast<ptrdiff_t>(x) + i;
        if (outAlpha) {
          uint8_t v = srcAlpha ? srcAlpha[ByteOffset(0, y + j, srcAlphaRowBytes) + px] : 255;
          outAlpha[ByteOffset(0, y + j, outAlphaRowBytes) + px] = clip ? v : 0;
        } else if (outMask) {
          bool on =
              clip &&
              (!srcMask || MaskBit(srcMask + static_cast<ptrdiff_t>(y + j) * srcMaskRowBytes, px));
          PutMaskBit(outMask + static_cast<ptrdiff_t>(y + j) * outMaskRowBytes, px, on);
        }
      }
    };
    bits(0, lead);
    if (whole > 0) {
      const ptrdiff_t start = static_cast<ptrdiff_t>(clipX) + lead;
      const uint8_t* cb = c + (start >> 3);
      const int shift = static_cast<int>(start & 7);
      const ptrdiff_t outByte = (static_cast<ptrdiff_t>(x) + lead) >> 3;
      const uint8_t* sb =
          srcMask ? srcMask + static_cast<ptrdiff_t>(y + j) * srcMaskRowBytes + outByte : nullptr;
      uint8_t* ob = outMask + static_cast<ptrdiff_t>(y + j) * outMaskRowBytes + outByte;
      // With a shift, a byte's low bits come from the next clip byte; that
      // byte holds pixels of the rectangle, so it lies inside the clip row.
      for (int32_t k = 0; k < whole >> 3; ++k) {
        auto clip =
            static_cast<uint8_t>(shift ? (cb[k] << shift) | (cb[k + 1] >> (8 - shift)) : cb[k]);
        ob[k] = sb ? static_cast<uint8_t>(clip & sb[k]) : clip;
      }
    }
    bits(lead + whole, width);
  }
}
