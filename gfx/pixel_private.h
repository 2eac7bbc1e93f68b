// Pixel formats and pixel kernels of the bitmap engine: format conversions,
// row converters, colour-key masks, the plot, span and shape kernels, the
// copy, flip, rotate and pixelate kernels and their request records. Only
// gfx/ and its tests use these; other folders go through gfx/gfx.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gfx/gfx.h"

int32_t BytesPerPixel(uint32_t format);  // 0 for codes above 13
int32_t BitsPerPixel(uint32_t format);   // 15, 16, 24, 32; 0 above 13

// Native RGB565 <-> formats 0-7 (other formats: p unchanged). Only the low
// 16 bits of the result are meaningful.
uint32_t EncodePixel16(uint32_t format, uint32_t p);
uint32_t DecodePixel16(uint32_t format, uint32_t p);
// Native 0xAARRGGBB <-> formats 11-13 (other formats: p unchanged). The
// alpha byte is not carried: results have alpha 0.
uint32_t EncodePixel32(uint32_t format, uint32_t p);
uint32_t DecodePixel32(uint32_t format, uint32_t p);

// Single pixels at an address, as bytes R, G, B (, A). The 16-bit readers
// leave out[3] alone; formats 8 and 9 are never written by WritePixelRGBA.
void ReadPixelRGBA(const void* pixel, uint32_t format, uint8_t out[4]);
void WritePixelRGBA(void* pixel, uint32_t format, const uint8_t rgba[4]);
void ReadPixelRGB(const void* pixel, uint32_t format, uint8_t out[3]);

// Grey level y = 0.299 R + 0.587 G + 0.114 B, truncated. The sum is formed
// in double in the order red + green, then + blue; a pure grey (v, v, v)
// keeps its level v (the three constants add up to slightly less than 1, so
// the result is nudged by a fraction far below one level before truncation).
int32_t GreyLevel(int32_t r, int32_t g, int32_t b);

// Row converters between pixel buffers and packed 0xAARRGGBB rows. Row
// lengths are in pixels. ReadRectToARGB writes nothing for formats other
// than 4 and 10-13 and returns false then.
bool ReadRectToARGB(const void* pixels, uint32_t* out, int32_t x, int32_t y, int32_t width,
                    int32_t height, int32_t rowLength, uint32_t format);
// ARGB rectangle at (sx, sy) of a buffer with argbRowLength pixels per row
// into pixels at (dx, dy); formats 0-7 and 10-13, others skipped.
void WriteARGBToPixels(const uint32_t* argb, int32_t sx, int32_t sy, int32_t argbRowLength,
                       void* pixels, int32_t dx, int32_t dy, int32_t width, int32_t height,
                       int32_t rowLength, uint32_t format);
void ExtractAlphaBytes(const uint32_t* argb, int32_t width, int32_t height, int32_t rowLength,
                       uint8_t* out, int32_t outRowBytes);

// Mask bit clear where (pixel & compareMask) == key (16-bit: pixel == key),
// set elsewhere; bit 7 of a byte is the leftmost pixel.
void BuildColorKeyMask32(const uint32_t* pixels, uint8_t* mask, int32_t width, int32_t height,
                         int32_t maskRowBytes, uint32_t key, int32_t rowLength,
                         uint32_t compareMask);
void BuildColorKeyMask16(const uint16_t* pixels, uint8_t* mask, int32_t width, int32_t height,
                         int32_t maskRowBytes, uint32_t key, int32_t rowLength);
// pairs: (from, to) values ended by from = 0xFFFFFFFF, applied in order, so
// a later pair may match the result of an earlier one.
void ReplaceColorPixels32(int32_t width, int32_t height, const uint32_t* pairs, uint32_t* pixels,
                          int32_t rowLength, uint32_t compareMask);
void ReplaceColorPixels16(int32_t width, int32_t height, const uint32_t* pairs, uint16_t* pixels,
                          int32_t rowLength);

// State of the single-pixel plot used by anti-aliased lines, filled shapes
// and thick lines. colour is already in the pixel format; cachedR/G/B hold
// the 8-bit channels of the colour (or of the last texture pixel).
struct PlotContext {
  uint8_t* pixels;
  int32_t rowLength;  // pixels
  int32_t bytesPerPixel;
  const uint8_t* texture;    // null for a plain colour
  int32_t textureRowLength;  // pixels
  uint8_t* targetMask;       // null when none
  int32_t targetMaskRowBytes;
  uint8_t* targetAlpha;  // null when none
  int32_t targetAlphaRowBytes;
  int32_t thickness;  // pixels; 1 for locked-line drawing
  uint32_t format;
  uint32_t colour;
  int32_t opacity;  // 0-255, the current one
  int32_t level;    // 0-255
  int32_t cachedR, cachedG, cachedB;
  int32_t clip;  // non-zero: clip to the rectangle below
  int32_t clipX, clipY, clipWidth, clipHeight;
  const uint8_t* clipMask;  // bits relative to (clipX, clipY); null when none
  int32_t clipMaskRowBytes;
  int32_t maskMode;  // 0-5: what a plot does to the target mask bit
};

// Sets colour (converted to the context's format) and the cached channels.
void SetPlotColor(PlotContext* ctx, ArgbColor colour);
void PlotPixel(PlotContext* ctx, int32_t x, int32_t y);
// Anti-aliased line in 16.16 fixed point: two pixels per step.
void ShapeSpanKernel(PlotContext* ctx, int32_t x1, int32_t y1, int32_t x2, int32_t y2);
// Plots every non-zero coverage byte at (x0 + i, y0 + j).
void ShapeOutlineKernel(const uint8_t* coverage, int32_t x0, int32_t y0, PlotContext* ctx,
                        int32_t width, int32_t height, int32_t rowBytes, int32_t solid);

// Kernels: each works on raw pixel memory (base address, positions, row
// lengths in pixels for pixel buffers and in bytes for alpha channels and
// masks, width, height); bytesPerPixel is 2 or 4 and any other value does
// nothing. They know nothing of handles, clipping or locks. Those that have
// fast paths dispatch through the engine's fast-path tables; the switch
// below (or the QM_NO_FASTPATHS build option) leaves only the general
// kernels, which are the reference.
void SetPixelFastPaths(bool enabled);
bool PixelFastPathsEnabled();

// Alpha-channel span routines (mode 0 blend, 1 alpha test, 2 over a
// destination with its own alpha). The source alpha is read at (alphaX,
// alphaY), the destination alpha (mode 2; opaque when absent) at the
// destination position. The destination alpha channel is not written.
struct SpanDescriptor {
  const uint8_t* source;
  int32_t sourceX, sourceY;
  int32_t alphaX, alphaY;
  int32_t sourceRowLength;
  uint8_t* dest;
  int32_t destX, destY;
  int32_t destRowLength;
  int32_t width, height;
  const uint8_t* sourceAlpha;
  const uint8_t* destAlpha;
  int32_t sourceAlphaRowBytes, destAlphaRowBytes;
  uint32_t format;
};
void RunSpanRoutine(const SpanDescriptor* span, int32_t bytesPerPixel, int32_t mode);

// Rectangle fill: opacity 255 stores the pixel value of colour (alpha not
// kept); below that each channel moves toward the colour by opacity / 256
// and 32-bit results get alpha 0. 3-byte formats are not filled.
void FillPixelRect(uint8_t* pixels, int32_t x, int32_t y, int32_t width, int32_t height,
                   ArgbColor colour, int32_t opacity, int32_t rowLength, uint32_t format);
// Spans of a row (pixel x at row + x * bpp; only columns from to to, not
// included, are drawn) as the alpha-channel span routine (mode 0) draws a
// source pixel raw through alpha values: each span's alpha is its coverage
// scaled by opacity / 255 (rounded; the coverage itself at 255); nothing at
// 0, raw itself at 255, else the colour channels mixed by alpha / 256 (a
// 32-bit result gets alpha 0).
void BlendColourSpans(uint8_t* row, int32_t from, int32_t to, const CoverageSpan* spans,
                      int32_t count, uint32_t raw, int32_t opacity, int32_t bpp, uint32_t format);
// B = A + ((B - A) * (255 - level) >> 8) wherever the mask bit is set (every
// pixel without a mask); the mask lies over A, starting at bit maskBitX.
void MixPixels(const uint8_t* a, uint8_t* b, const uint8_t* mask, int32_t maskBitX, int32_t width,
               int32_t height, int32_t level, uint32_t format, int32_t rowLengthA,
               int32_t rowLengthB, int32_t maskRowBytes);

// Drawing a colour or a source image through an alpha channel (modes 1-4
// and "plain" for any other value). In mode 3 the alpha source is a buffer
// of 16-bit values whose low byte is used. colour is in the pixel format.
struct AlphaDrawRequest {
  const uint8_t* alpha;
  int32_t alphaX, alphaY, alphaRowBytes;
  uint8_t* dest;
  int32_t destX, destY, destRowLength;
  uint8_t* destAlpha;  // null when none; read and written at the dest position
  int32_t destAlphaRowBytes;
  const uint8_t* source;  // null: draw the colour; read at the alpha position
  int32_t sourceRowLength;
  int32_t width, height;
  uint32_t colour;
  int32_t level;
  int32_t mode;
  uint32_t format;
  int32_t bytesPerPixel;
};
void AlphaDrawKernel(const AlphaDrawRequest* req);
// out byte = in byte * level / 255 for count bytes.
void ScaleAlphaLevel(const uint8_t* in, uint8_t* out, size_t count, int32_t level);

// Plain and masked copies; the mask lies over the source (same position).
// Overlapping rectangles of one buffer are copied as if through a copy.
void CopyPixels(const uint8_t* src, int32_t sx, int32_t sy, uint8_t* dst, int32_t dx, int32_t dy,
                int32_t width, int32_t height, int32_t srcRowLength, int32_t dstRowLength,
                int32_t bytesPerPixel);
void CopyPixelsMasked(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t sx, int32_t sy,
                      int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t srcRowLength,
                      int32_t maskRowBytes, int32_t dstRowLength, int32_t bytesPerPixel);
// dst = src where the mask bit is set, else the background: a masked copy
// over a copy of the background in one pass. The mask lies over the
// source; dst shares no memory with src or the background.
void CopyPixelsMaskedOver(const uint8_t* src, const uint8_t* background, uint8_t* dst,
                          const uint8_t* mask, int32_t sx, int32_t sy, int32_t bx, int32_t by,
                          int32_t dx, int32_t dy, int32_t width, int32_t height,
                          int32_t srcRowLength, int32_t backgroundRowLength, int32_t maskRowBytes,
                          int32_t dstRowLength, int32_t bytesPerPixel);
// What CopyPixelsMaskedOver writes into a dst that holds what it wrote
// there before, through the previous mask: only the pixels that change,
// the source where the mask is set and the background where only the
// previous mask was set. The previous mask's bit 0 of row 0 lies over
// (dx, dy); with the same background the result equals CopyPixelsMaskedOver.
// previous then holds this mask's bits of the rectangle in the same rows,
// bits past the rectangle's width clear.
void CopyPixelsMaskedOverChanged(const uint8_t* src, const uint8_t* background, uint8_t* dst,
                                 const uint8_t* mask, uint8_t* previous, int32_t sx, int32_t sy,
                                 int32_t bx, int32_t by, int32_t dx, int32_t dy, int32_t width,
                                 int32_t height, int32_t srcRowLength, int32_t backgroundRowLength,
                                 int32_t maskRowBytes, int32_t previousRowBytes,
                                 int32_t dstRowLength, int32_t bytesPerPixel);
// pixel = value where the mask bit at (maskBitX + i, maskRow + j) is set.
void PaintMaskValue(const uint8_t* mask, int32_t maskBitX, int32_t maskRow, uint8_t* pixels,
                    int32_t x, int32_t y, int32_t width, int32_t height, int32_t maskRowBytes,
                    int32_t rowLength, uint32_t value, int32_t bytesPerPixel);
void InvertPixels(uint8_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                  int32_t bytesPerPixel);
void FillAlphaBytes(uint8_t* bytes, int32_t x, int32_t y, int32_t width, int32_t height,
                    int32_t rowBytes, uint8_t value);
// alpha byte = value where the mask bit is set.
void MaskToAlphaValue(const uint8_t* mask, int32_t maskBitX, int32_t maskRow, int32_t maskRowBytes,
                      uint8_t* alpha, int32_t ax, int32_t ay, int32_t alphaRowBytes, int32_t width,
                      int32_t height, uint8_t value);
// One byte per pixel (packed rows) to white / black pixels of the format.
void ExpandMaskBytes(uint8_t* pixels, int32_t width, int32_t height, uint32_t format,
                     int32_t rowLength, const uint8_t* bytes);

// Mirror: direction 0 vertical, else horizontal. The scratch row (mask row
// bytes) is needed for a horizontal mirror of a mask.
struct FlipRequest {
  uint8_t* pixels;
  int32_t width, height, rowLength;
  uint8_t* mask;
  int32_t maskRowBytes;
  uint8_t* alpha;
  int32_t alphaRowBytes;
  int32_t direction;
  int32_t bytesPerPixel;
  uint8_t* scratch;
};
void FlipPixels(const FlipRequest* req);

// Quarter turn: direction 1 anticlockwise, else clockwise. The destination
// mask must arrive cleared (bits are only set).
struct RotateRequest {
  const uint8_t* source;
  uint8_t* dest;
  const uint8_t* sourceMask;
  uint8_t* destMask;
  const uint8_t* sourceAlpha;
  uint8_t* destAlpha;
  int32_t sourceMaskBitX;
  int32_t sourceWidth, sourceHeight, sourceRowLength;
  int32_t destWidth, destHeight, destRowLength;
  int32_t sourceMaskRowBytes, destMaskRowBytes;
  int32_t sourceAlphaRowBytes, destAlphaRowBytes;
  int32_t bytesPerPixel;
  int32_t direction;
};
void RotateQuarterTurn(const RotateRequest* req);

// Cells of n x n take their top-left source pixel (mask and alpha rules of
// the pixelate effect). n below 1 counts as 1.
struct PixelateRequest {
  const uint8_t* source;
  uint8_t* dest;
  const uint8_t* sourceMask;
  uint8_t* destMask;
  const uint8_t* sourceAlpha;
  uint8_t* destAlpha;
  int32_t sourceRowLength, destRowLength;
  int32_t sourceMaskRowBytes, destMaskRowBytes;
  int32_t sourceAlphaRowBytes, destAlphaRowBytes;
  int32_t width, height;
  int32_t cellSize;
};
void PixelatePixels32(const PixelateRequest* req);
void PixelatePixels16(const PixelateRequest* req);

// Alpha channel into alpha channel, modes 0-9 (above 9 as 0).
struct AlphaCombineRequest {
  const uint8_t* source;
  int32_t sourceX, sourceY;
  uint8_t* dest;
  int32_t destX, destY;
  int32_t width, height;
  int32_t sourceRowBytes, destRowBytes;
  int32_t mode;
  int32_t level;
};
void CombineAlphaBytes(const AlphaCombineRequest* req);
// t = (alpha byte == 255): modes 0, 2 bit = t; 1 bit = !t; 3 flip where t;
// 5 set where t; 4 (and others) nothing.
void AlphaToMaskBits(const uint8_t* alpha, uint8_t* mask, int32_t alphaRowBytes,
                     int32_t maskRowBytes, int32_t mode, int32_t sx, int32_t sy, int32_t maskBitX,
                     int32_t maskRow, int32_t width, int32_t height);
// Scratch mask (or alpha) for a clipped blit: for each pixel (x + i, y + j)
// of the blit's source rectangle the clip bit is read at (clipX + i,
// clipY + j). A mask bit is set where the clip bit and the source bit (or no
// source mask) are set; an alpha byte is the source byte where the clip bit
// is set, else 0. Exactly one of out mask / out alpha is given.
void CombineClipMask(const uint8_t* srcMask, int32_t srcMaskRowBytes, const uint8_t* srcAlpha,
                     int32_t srcAlphaRowBytes, const uint8_t* clipMask, int32_t clipRowBytes,
                     int32_t clipX, int32_t clipY, uint8_t* outMask, int32_t outMaskRowBytes,
                     uint8_t* outAlpha, int32_t outAlphaRowBytes, int32_t x, int32_t y,
                     int32_t width, int32_t height);
// Sets the bits of a polygon's interior (points as x, y pairs; they must
// lie inside the mask). scratch holds at least count crossings.
void ScanFillMaskPolygon(uint8_t* mask, int32_t rowBytes, int32_t* scratch, const int32_t* points,
                         int32_t count);
// Threshold transition: shown = map < threshold (>= with invert).
struct MaskBitRequest {
  const uint8_t* source;  // bits or bytes; null in bit mode means all set
  uint8_t* dest;
  int32_t width, height;
  int32_t sourceRowBytes, destRowBytes;
  const uint8_t* map;  // one byte per pixel, packed rows
  int32_t byteMode;
  int32_t invert;
};
void MaskBitKernel(const MaskBitRequest* req, int32_t threshold);
// Radial sweep transition: for step k of n (angle step 2 pi / n) the source
// column (rows when columns is 0) trunc(angles[k] / step) + base is copied
// over the whole height to destination column base - n + 1 + k, through the
// source mask (copy and set the destination bit where set) or alpha
// (copy pixel and alpha where non-zero, else destination alpha 0) or
// plainly. Lines outside either image are skipped. Results: the number of
// lines copied, the first destination line (-100000 when none), the base.
struct RadialSweepRequest {
  const uint8_t* source;
  uint8_t* dest;
  const uint8_t* sourceMask;
  uint8_t* destMask;
  const uint8_t* sourceAlpha;
  uint8_t* destAlpha;
  int32_t sourceRowLength, destRowLength;
  int32_t sourceMaskRowBytes, destMaskRowBytes;
  int32_t sourceAlphaRowBytes, destAlphaRowBytes;
  int32_t sourceWidth, sourceHeight, destWidth, destHeight;
  int32_t bytesPerPixel;
  const double* angles;
  int32_t steps;
  int32_t columns;
  int32_t base;
  int32_t copiedLines;  // out
  int32_t firstDest;    // out
  int32_t outBase;      // out
};
void RadialSweepKernel(RadialSweepRequest* req);

// Scaling of pixels with their optional mask and alpha channel, nearest
// (16.16 steps) or bilinear (smooth). A mask or alpha channel is scaled
// only when both its source and destination are given; with no source
// pixels only the mask is scaled. The position tables are optional scratch
// of destination size + 1 entries; when given they receive the smooth
// positions. They are 64-bit so that sources of 32,768 pixels and more
// keep exact positions.
struct ScaleRequest {
  const uint8_t* source;
  uint8_t* dest;
  const uint8_t* sourceMask;
  uint8_t* destMask;
  const uint8_t* sourceAlpha;
  uint8_t* destAlpha;
  int32_t sourceMaskBitX;
  int32_t sourceWidth, sourceHeight;
  int32_t destWidth, destHeight;
  int32_t sourceRowLength, destRowLength;
  int32_t sourceMaskRowBytes, destMaskRowBytes;
  int32_t sourceAlphaRowBytes, destAlphaRowBytes;
  int32_t smooth;
  uint32_t format;
  int32_t bytesPerPixel;
  int64_t* xTable;
  int64_t* yTable;
};
void ScaleBitmapNearest(const ScaleRequest* req);
void ScaleMaskNearest(const ScaleRequest* req);
void ScaleAlphaNearest(const ScaleRequest* req);
