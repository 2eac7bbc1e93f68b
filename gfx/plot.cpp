// The single-pixel plot of the drawing code and the two loops built on it:
// the anti-aliased line in 16.16 fixed point and the coverage plot.
// Invariant: PlotPixel touches only the pixel, mask bit and alpha byte at
// (x, y); with opacity 255 (or a target alpha channel) it never reads the
// destination pixel.
#include <cstdlib>
#include <utility>

#include "gfx/bitmap_private.h"
#include "gfx/gfx.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"

using namespace pixel;

namespace {

int32_t scaleByLevel(int32_t opacity, int32_t level) {
  return level != 255 ? opacity * level / 255 : opacity;
}

void plotWith(PlotContext* ctx, int32_t x, int32_t y, int32_t opacity) {
  ctx->opacity = scaleByLevel(opacity, ctx->level);
  PlotPixel(ctx, x, y);
}

}  // namespace

void SetPlotColor(PlotContext* ctx, ArgbColor colour) {
  ctx->colour = ColorToPixel(colour, ctx->format, 0);
  ctx->cachedR = static_cast<int32_t>(R(colour));
  ctx->cachedG = static_cast<int32_t>(G(colour));
  ctx->cachedB = static_cast<int32_t>(B(colour));
}

void PlotPixel(PlotContext* ctx, int32_t x, int32_t y) {
  if (ctx->clip || ctx->clipMask) {
    int64_t cx = static_cast<int64_t>(x) - ctx->clipX, cy = static_cast<int64_t>(y) - ctx->clipY;
    if (cx < 0 || cy < 0 || cx >= ctx->clipWidth || cy >= ctx->clipHeight) return;
    if (ctx->clipMask && !MaskBit(ctx->clipMask + cy * ctx->clipMaskRowBytes, cx)) return;
  }
  int bpp = ctx->bytesPerPixel;
  if (bpp == 2 || bpp == 4) {
    uint8_t* d = ctx->pixels + Offset(x, y, ctx->rowLength, bpp);
    uint32_t value = ctx->texture
                         ? LoadRaw(ctx->texture + Offset(x, y, ctx->textureRowLength, bpp), bpp)
                         : ctx->colour;
    if (ctx->opacity >= 255 || ctx->targetAlpha) {
      StoreRaw(d, bpp, value);
    } else {
      if (ctx->texture) {
        uint32_t t = ToNative(value, ctx->format, bpp);
        ctx->cachedR = static_cast<int32_t>(R(t));
        ctx->cachedG = static_cast<int32_t>(G(t));
        ctx->cachedB = static_cast<int32_t>(B(t));
      }
      uint32_t dn = ToNative(LoadRaw(d, bpp), ctx->format, bpp);
      int32_t o = ctx->opacity;
      uint32_t out = Rgb(Blend(R(dn), ctx->cachedR, o), Blend(G(dn), ctx->cachedG, o),
                         Blend(B(dn), ctx->cachedB, o));
      StoreRaw(d, bpp, FromNative(out, ctx->format, bpp));
    }
  }
  if (ctx->targetMask) {
    uint8_t* row = ctx->targetMask + static_cast<ptrdiff_t>(y) * ctx->targetMaskRowBytes;
    bitmapint::MaskBitOp(row, x, ctx->maskMode);
  }
  if (ctx->targetAlpha)
    ctx->targetAlpha[ByteOffset(x, y, ctx->targetAlphaRowBytes)] =
        static_cast<uint8_t>(ctx->opacity);
}

void ShapeSpanKernel(PlotContext* ctx, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  if (x1 == x2 && y1 == y2) {
    ctx->opacity = ctx->level;  // the level itself, not scaled by the level again
    PlotPixel(ctx, x1, y1);
    return;
  }
  // The accumulator is 64-bit so that coordinates beyond 32,767 do not
  // overflow the 16.16 value; within that range it is the 32-bit arithmetic.
  int64_t dx = static_cast<int64_t>(x2) - x1, dy = static_cast<int64_t>(y2) - y1;
  if (std::llabs(dx) <= std::llabs(dy)) {
    if (y1 > y2) {
      std::swap(x1, x2);
      std::swap(y1, y2);
    }
    int64_t step = ((static_cast<int64_t>(x2) - x1) * 65536) / (static_cast<int64_t>(y2) - y1);
    int64_t fx = static_cast<int64_t>(x1) * 65536;
    for (int64_t y = y1; y <= y2; ++y, fx += step) {
      int32_t f = static_cast<int32_t>((fx >> 8) & 255);
      int32_t px = static_cast<int32_t>(fx >> 16);
      plotWith(ctx, px, static_cast<int32_t>(y), 255 - f);
      plotWith(ctx, px + 1, static_cast<int32_t>(y), f);
    }
  } else {
    if (x1 > x2) {
      std::swap(x1, x2);
      std::swap(y1, y2);
    }
    int64_t step = ((static_cast<int64_t>(y2) - y1) * 65536) / (static_cast<int64_t>(x2) - x1);
    int64_t fy = static_cast<int64_t>(y1) * 65536;
    for (int64_t x = x1; x <= x2; ++x, fy += step) {
      int32_t f = static_cast<int32_t>((fy >> 8) & 255);
      int32_t py = static_cast<int32_t>(fy >> 16);
      plotWith(ctx, static_cast<int32_t>(x), py, 255 - f);
      plotWith(ctx, static_cast<int32_t>(x), py + 1, f);
    }
  }
}

void ShapeOutlineKernel(const uint8_t* coverage, int32_t x0, int32_t y0, PlotContext* ctx,
                        int32_t width, int32_t height, int32_t rowBytes, int32_t solid) {
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* row = coverage + static_cast<ptrdiff_t>(j) * rowBytes;
    for (int32_t i = 0; i < width; ++i) {
      if (!row[i]) continue;
      if (solid)
        PlotPixel(ctx, x0 + i, y0 + j);
      else
        plotWith(ctx, x0 + i, y0 + j, row[i]);
    }
  }
}
