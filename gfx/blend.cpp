// Kernels that mix a new colour into existing pixels: the alpha-channel
// span routines, the rectangle fill with an opacity, the mix of two
// buffers and the alpha-channel draw modes. Every general kernel reads a
// pixel into native channels (pixel::ToNative), computes and writes back
// (pixel::FromNative), so one loop serves every 2- and 4-byte format.
// Invariant: a pixel that a kernel leaves "unchanged" is never written, and
// a pixel it copies whole keeps its alpha byte; a recomputed 32-bit pixel
// has alpha 0.
#include <algorithm>

#include "gfx/gfx.h"
#include "gfx/kernels.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"

using namespace pixel;

namespace {

struct SpanRows {
  const uint8_t* s;
  uint8_t* d;
  const uint8_t* a;
  const uint8_t* da;
};

SpanRows spanRows(const SpanDescriptor* sp, int bpp, int32_t j) {
  SpanRows r;
  r.s = sp->source + Offset(sp->sourceX, sp->sourceY + j, sp->sourceRowLength, bpp);
  r.d = sp->dest + Offset(sp->destX, sp->destY + j, sp->destRowLength, bpp);
  r.a = sp->sourceAlpha + ByteOffset(sp->alphaX, sp->alphaY + j, sp->sourceAlphaRowBytes);
  r.da = sp->destAlpha ? sp->destAlpha + ByteOffset(sp->destX, sp->destY + j, sp->destAlphaRowBytes)
                       : nullptr;
  return r;
}

void spanGeneral(const SpanDescriptor* sp, int bpp, int mode) {
  uint32_t fmt = sp->format;
  for (int32_t j = 0; j < sp->height; ++j) {
    SpanRows r = spanRows(sp, bpp, j);
    for (int32_t i = 0; i < sp->width; ++i) {
      int32_t a = r.a[i];
      if (a == 0) continue;
      const uint8_t* s = r.s + static_cast<ptrdiff_t>(i) * bpp;
      uint8_t* d = r.d + static_cast<ptrdiff_t>(i) * bpp;
      uint32_t sraw = LoadRaw(s, bpp);
      if (a == 255 || mode == 1) {
        StoreRaw(d, bpp, sraw);
        continue;
      }
      uint32_t sn = ToNative(sraw, fmt, bpp), dn = ToNative(LoadRaw(d, bpp), fmt, bpp);
      uint32_t out;
      if (mode == 0) {
        out = BlendRgb(dn, sn, a);
      } else {
        // Over a destination with its own alpha: the destination's weight
        // is its alpha scaled by what the source leaves uncovered.
        int32_t da = r.da ? r.da[i] : 255;
        int32_t outA = std::min(255, ((255 - a) * da + 255 * a + 127) / 255);
        int32_t w = ((255 - a) * da + 127) / 255;
        auto ch = [&](uint32_t sc, uint32_t dc) {
          return std::min<int32_t>(
              255, (static_cast<int32_t>(sc) * a + static_cast<int32_t>(dc) * w + 127) / outA);
        };
        out = Rgb(ch(R(sn), R(dn)), ch(G(sn), G(dn)), ch(B(sn), B(dn)));
      }
      StoreRaw(d, bpp, FromNative(out, fmt, bpp));
    }
  }
}

using SpanFn = void (*)(const SpanDescriptor*);

void spanBlendGeneral(const SpanDescriptor* sp) {
  spanGeneral(sp, BytesPerPixel(sp->format) == 2 ? 2 : 4, 0);
}

const kernels::FastPathRow<SpanFn> kSpanBlendTable[] = {
    {PIXFMT_ARGB32, 4, 0, kernels::SpanBlendArgb32},
    {kernels::ANY_FORMAT, 0, 0, spanBlendGeneral},
};

}  // namespace

void RunSpanRoutine(const SpanDescriptor* span, int32_t bytesPerPixel, int32_t mode) {
  if ((bytesPerPixel != 2 && bytesPerPixel != 4) || mode < 0 || mode > 2) return;
  if (span->width <= 0 || span->height <= 0) return;
  if (mode == 0 && BytesPerPixel(span->format) == bytesPerPixel) {
    kernels::PickKernel(kSpanBlendTable, span->format, bytesPerPixel, 0)(span);
    return;
  }
  spanGeneral(span, bytesPerPixel, mode);
}

void FillPixelRect(uint8_t* pixels, int32_t x, int32_t y, int32_t width, int32_t height,
                   ArgbColor colour, int32_t opacity, int32_t rowLength, uint32_t format) {
  int bpp = BytesPerPixel(format);
  if (bpp != 2 && bpp != 4) return;
  if (opacity >= 255) {
    uint32_t v = ColorToPixel(colour, format, 0);
    for (int32_t j = 0; j < height; ++j) {
      uint8_t* d = pixels + Offset(x, y + j, rowLength, bpp);
      if (bpp == 4) {
        for (int32_t i = 0; i < width; ++i) Store32(d + static_cast<ptrdiff_t>(i) * 4, v);
      } else {
        for (int32_t i = 0; i < width; ++i) Store16(d + static_cast<ptrdiff_t>(i) * 2, v);
      }
    }
    return;
  }
  int32_t o = std::max(0, opacity);
  uint32_t col = bpp == 4 ? (colour & 0xFFFFFF) : Expand565(Pack565(colour));
  for (int32_t j = 0; j < height; ++j) {
    uint8_t* d = pixels + Offset(x, y + j, rowLength, bpp);
    for (int32_t i = 0; i < width; ++i, d += bpp) {
      uint32_t dn = ToNative(LoadRaw(d, bpp), format, bpp);
      StoreRaw(d, bpp, FromNative(BlendRgb(dn, col, o), format, bpp));
    }
  }
}

void BlendColourSpans(uint8_t* row, int32_t from, int32_t to, const CoverageSpan* spans,
                      int32_t count, uint32_t raw, int32_t opacity, int32_t bpp, uint32_t format) {
  if (bpp != 2 && bpp != 4) return;
  if (bpp == 4 && format == PIXFMT_ARGB32) {
    kernels::BlendColourSpansArgb32(reinterpret_cast<uint32_t*>(row), from, to, spans, count, raw,
                                    opacity);
    return;
  }
  const uint32_t sn = ToNative(raw, format, bpp);
  for (int32_t k = 0; k < count; ++k) {
    const CoverageSpan& span = spans[k];
    int32_t a = span.coverage;
    if (opacity < 255) a = (a * opacity + 127) / 255;
    const int32_t x0 = std::max<int32_t>(span.x, from);
    const int32_t x1 = std::min<int32_t>(span.x + span.length, to);
    if (a == 0 || x0 >= x1) continue;
    uint8_t* d = row + static_cast<ptrdiff_t>(x0) * bpp;
    const int32_t n = x1 - x0;
    if (a == 255) {
      if (bpp == 4)
        std::fill_n(reinterpret_cast<uint32_t*>(d), n, raw);
      else
        std::fill_n(reinterpret_cast<uint16_t*>(d), n, static_cast<uint16_t>(raw));
    } else if (bpp == 4 && format == PIXFMT_ARGB32) {
      auto* p = reinterpret_cast<uint32_t*>(d);
      for (int32_t i = 0; i < n; ++i) p[i] = BlendRgb(p[i], sn, a) & 0xFFFFFF;
    } else {
      for (int32_t i = 0; i < n; ++i, d += bpp) {
        uint32_t dn = ToNative(LoadRaw(d, bpp), format, bpp);
        StoreRaw(d, bpp, FromNative(BlendRgb(dn, sn, a), format, bpp));
      }
    }
  }
}

void MixPixels(const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t maskBitX, int32_t width,
               int32_t height, int32_t level, uint32_t format, int32_t rowLengthA,
               int32_t rowLengthB, int32_t maskRowBytes) {
  int bpp = BytesPerPixel(format);
  if (bpp != 2 && bpp != 4) return;
  int32_t w = 255 - level;
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* pa = a + static_cast<ptrdiff_t>(j) * rowLengthA * bpp;
    uint8_t* pb = b + static_cast<ptrdiff_t>(j) * rowLengthB * bpp;
    const uint8_t* m = mask ? mask + static_cast<ptrdiff_t>(j) * maskRowBytes : nullptr;
    for (int32_t i = 0; i < width; ++i) {
      if (m && !MaskBit(m, static_cast<ptrdiff_t>(maskBitX) + i)) continue;
      uint32_t an = ToNative(LoadRaw(pa + static_cast<ptrdiff_t>(i) * bpp, bpp), format, bpp);
      uint8_t* db = pb + static_cast<ptrdiff_t>(i) * bpp;
      uint32_t bn = ToNative(LoadRaw(db, bpp), format, bpp);
      StoreRaw(db, bpp, FromNative(BlendRgb(an, bn, w), format, bpp));
    }
  }
}

void AlphaDrawKernel(const AlphaDrawRequest* q) {
  int bpp = q->bytesPerPixel;
  if (bpp != 2 && bpp != 4) return;
  int32_t mode = q->mode;
  // Modes 2 and 3 combine into the destination's alpha channel; without
  // one there is nothing they can do.
  if ((mode == 2 || mode == 3) && !q->destAlpha) return;
  uint32_t fmt = q->format;
  for (int32_t j = 0; j < q->height; ++j) {
    const uint8_t* arow = q->alpha + ByteOffset(0, q->alphaY + j, q->alphaRowBytes);
    uint8_t* drow = q->dest + Offset(q->destX, q->destY + j, q->destRowLength, bpp);
    uint8_t* darow = q->destAlpha
                         ? q->destAlpha + ByteOffset(q->destX, q->destY + j, q->destAlphaRowBytes)
                         : nullptr;
    const uint8_t* srow =
        q->source ? q->source + Offset(q->alphaX, q->alphaY + j, q->sourceRowLength, bpp) : nullptr;
    for (int32_t i = 0; i < q->width; ++i) {
      ptrdiff_t ax = static_cast<ptrdiff_t>(q->alphaX) + i;
      int32_t a = mode == 3 ? arow[ax * 2] : arow[ax];  // low byte of a 16-bit value
      if (a == 0) continue;
      uint8_t* d = drow + static_cast<ptrdiff_t>(i) * bpp;
      uint32_t s =
          (srow && mode != 3) ? LoadRaw(srow + static_cast<ptrdiff_t>(i) * bpp, bpp) : q->colour;
      if (mode == 2 || mode == 3) {
        int32_t da = darow[i];
        if (da != 0) {
          uint32_t out = BlendRgb(ToNative(LoadRaw(d, bpp), fmt, bpp), ToNative(s, fmt, bpp), a);
          StoreRaw(d, bpp, FromNative(out, fmt, bpp));
          darow[i] = static_cast<uint8_t>(((da + (((a - da) * a) >> 8)) * q->level) / 255);
        } else {
          StoreRaw(d, bpp, s);
          darow[i] = static_cast<uint8_t>(a * q->level / 255);
        }
        continue;
      }
      if (mode == 4) {
        if (a == 64) {
          StoreRaw(d, bpp, s);
          continue;
        }
        a = (4 * a) & 255;
        if (a == 0) continue;
      } else if (mode != 1) {
        StoreRaw(d, bpp, s);
        continue;
      }
      if (a == 255) {
        StoreRaw(d, bpp, s);
      } else {
        uint32_t out = BlendRgb(ToNative(LoadRaw(d, bpp), fmt, bpp), ToNative(s, fmt, bpp), a);
        StoreRaw(d, bpp, FromNative(out, fmt, bpp));
      }
    }
  }
}

void ScaleAlphaLevel(const uint8_t* in, uint8_t* out, size_t count, int32_t level) {
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(in[i] * level / 255);
}
