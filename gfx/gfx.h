// Services of the bitmap and pixel engine: pixel formats, kernels, bitmap
// handles and blits, and the effect kernels and bitmap transforms.
// Each concern keeps its own section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/errors.h"

// ---- Pixel formats, kernels, bitmap handles and blits -----------------------------

// Pixel format codes. 16-bit pixels are little-endian words, 32-bit pixels
// little-endian 32-bit words; "swapped" formats exchange the two bytes of
// the 16-bit word. The kernels compute in RGB565 (2-byte pixels) and
// 0xAARRGGBB (4-byte pixels) and convert every other layout on the way.
enum PixelFormat : uint32_t {
  PIXFMT_RGB555 = 0,       // bit 15 zero, R 14-10, G 9-5, B 4-0
  PIXFMT_BGR555 = 1,       // B 14-10, G 9-5, R 4-0
  PIXFMT_RGB555_SWAP = 2,  // format 0 byte-swapped
  PIXFMT_BGR555_SWAP = 3,  // format 1 byte-swapped
  PIXFMT_RGB565 = 4,       // R 15-11, G 10-5, B 4-0 (native 2-byte layout)
  PIXFMT_BGR565 = 5,       // B 15-11, G 10-5, R 4-0
  PIXFMT_RGB565_SWAP = 6,  // format 4 byte-swapped
  PIXFMT_BGR565_SWAP = 7,  // format 5 byte-swapped
  PIXFMT_RGB24 = 8,        // bytes R, G, B in memory order
  PIXFMT_BGR24 = 9,        // bytes B, G, R in memory order
  PIXFMT_ARGB32 = 10,      // 0xAARRGGBB (native 4-byte layout)
  PIXFMT_BGRA32 = 11,      // 0xBBGGRRAA
  PIXFMT_RGBA32 = 12,      // 0xRRGGBBAA
  PIXFMT_ABGR32 = 13,      // 0xAABBGGRR
  PIXFMT_ALPHA8 = 14,      // lock records of alpha channels only
  PIXFMT_MASK1 = 15,       // lock records of masks only
};

// 0xAARRGGBB; in script colours the top byte is transparency.
using ArgbColor = uint32_t;

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

// Colour <-> pixel value of a format. 15/16-bit formats keep the top 5 or 6
// bits of a channel and unpack c << 3 or c << 2. The value of a 3-byte
// pixel holds its first byte in bits 23-16 (stored most significant byte
// first): 0xRRGGBB for format 8, 0xBBGGRR for 9. Alpha travels only
// with keepAlpha (and only through 32-bit formats).
uint32_t ColorToPixel(ArgbColor colour, uint32_t format, int keepAlpha);
ArgbColor PixelToColor(uint32_t pixel, uint32_t format, int keepAlpha);

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
// pixel = value where the mask bit at (maskBitX + i, maskRow + j) is set.
void PaintMaskValue(const uint8_t* mask, int32_t maskBitX, int32_t maskRow, uint8_t* pixels,
                    int32_t x, int32_t y, int32_t width, int32_t height, int32_t maskRowBytes,
                    int32_t rowLength, uint32_t value, int32_t bytesPerPixel);
void InvertPixels(uint8_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                  int32_t bytesPerPixel);
void InvertByteRect(uint8_t* bytes, int32_t rows, int32_t rowBytes);
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

// Boundary fill from (x, y): every pixel reachable through shared edges
// without crossing the border value becomes the fill value. The area is
// [left, left + width) x [top, top + height). Pending seeds live on a heap
// stack in the order a depth-first recursion would visit them; the result
// is 0, or ERR_MEM when that stack cannot grow (the fill then stops).
struct FloodFillRequest {
  uint8_t* pixels;
  int32_t width, height, rowLength;
  uint32_t border;
  uint32_t fill;
  int32_t left, top;
};
// 32-bit: pixels are compared through compareMask (FloodCompareMask).
ErrorCode FloodFillSpan(const FloodFillRequest* req, int32_t x, int32_t y, uint32_t compareMask);
ErrorCode FloodFillSpan16(const FloodFillRequest* req, int32_t x, int32_t y);
// 0x00FFFFFF for formats 10 and 13, 0xFFFFFF00 for the other 4-byte codes.
uint32_t FloodCompareMask(uint32_t format);

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

// ---- Bitmap handles and software bitmaps ----

enum : uint32_t { BITMAP_PIXELS = 0, BITMAP_ALPHA = 1, BITMAP_MASK = 2 };

// Software record of a pixel bitmap, alpha channel or mask. Pixel rows hold
// the width rounded up to 4 pixels; alpha rows (width + 3) & ~3 bytes; mask
// rows ((row pixels + 15) >> 3) & ~1 bytes (16-bit padding, bit 7 leftmost).
struct SoftBitmap {
  uint32_t kind;
  int32_t width, height;
  uint8_t* buffer;
  int32_t bytesPerRow;
  int32_t bytesPerPixel;  // 1 for alpha channels and masks
  uint32_t pixelFormat;   // 14 for alpha channels, 15 for masks
  uint32_t notOwned;      // the buffer belongs to the caller
};

struct BitmapHandle {
  uint32_t kind;
  void* backing;  // SoftBitmap* (or an adapter's bitmap object)
  int32_t width, height;
  uint32_t video;
  uint32_t prepared;
};

struct BitmapLock {
  uint8_t* address;
  uintptr_t token;  // non-zero while the lock holds
  uint32_t pixelFormat;
  int32_t bytesPerPixel;
  int32_t rowLength;  // pixels for pixel bitmaps, bytes for alpha and masks
  int32_t width, height;
  uint32_t software;  // an alpha channel or mask locked in software
};

// Format of new software pixel bitmaps: 10 unless overridden (the X11 back
// end sets the visual's format). -1 clears the override.
void SetSoftBitmapFormatOverride(int64_t format);
uint32_t GetSoftBitmapFormat();

// Allocation returns null when out of memory or refused (a size of 0 or
// less, or one whose bytes do not fit); callers report ERR_MEM, ERR_BITMAP,
// ERR_ALLOCALPHA or ERR_ALLOCMASK. Flags: bit 0 prepared, 8 video bitmap.
// extra describes the source for an adapter video bitmap (unused here).
BitmapHandle* AllocBitmap(int32_t width, int32_t height, uint32_t flags, const void* extra);
SoftBitmap* AllocNativeBitmap(int32_t width, int32_t height, uint32_t flags, uint32_t* outPrepared,
                              uint32_t* outNotOwned, const void* extra);
void FreeNativeBitmap(SoftBitmap* record);
intptr_t GetSoftBitmapAttr(const BitmapHandle* handle, int32_t code);
// memory (with its rowBytes) wraps the caller's buffer instead of owning one.
BitmapHandle* AllocAlphaChannel(int32_t width, int32_t height, int32_t clear, uint8_t* memory,
                                int32_t rowBytes);
// model: a pixel bitmap whose row length the mask rows line up with.
BitmapHandle* AllocBitMask(const BitmapHandle* model, int32_t width, int32_t height, int32_t clear,
                           uint8_t* memory, int32_t rowBytes);
void FreeBitmap(BitmapHandle* handle);  // null is ignored
void FreeAlphaChannel(BitmapHandle* handle);
void FreeBitMask(BitmapHandle* handle);

// The owner of a bitmap that command code makes: it is freed with
// FreeBitmap when the owner goes, on a returned error and on a raise alike;
// release() hands the bitmap over once something else keeps it.
struct BitmapFreer {
  void operator()(BitmapHandle* handle) const { FreeBitmap(handle); }
};
using OwnedBitmap = std::unique_ptr<BitmapHandle, BitmapFreer>;
BitmapHandle* CloneAlphaChannel(const BitmapHandle* alpha, int32_t width, int32_t height);
BitmapHandle* AlphaChannelFromARGB(const uint32_t* pixels, int32_t width, int32_t height,
                                   int32_t modulo);
ErrorCode PrepareVideoBitmap(BitmapHandle* handle);

// Attribute by code (width 0, bytes per row 1/2, address 3/4, row length in
// pixels 13, height 14, video 18, prepared 19, backing 20, format 21, ...).
// Pointer-sized so that addresses survive.
intptr_t GetBitmapAttr(const BitmapHandle* handle, int32_t code);
void* GetBitmapBacking(const BitmapHandle* handle);
int32_t GetRawBitmapSize(const void* backing, int32_t which);  // 0 width, 1 height

// Lock flags: 1 read-only, 2 the first argument is a SoftBitmap record.
// Returns the token, 0 when the lock fails.
uintptr_t LockBitmap(void* bitmap, uint32_t flags, BitmapLock* lock);
void UnlockBitmap(BitmapLock* lock);
ArgbColor ReadLockedPixel(const BitmapLock* lock, int32_t x, int32_t y);  // 0xRRGGBB

// Single pixels, lines and rectangles; coordinates outside the bitmap are
// clipped away. For masks, colour is an operation 0-5 (0, 2, 5 set, 1
// clear, 3 invert, 4 nothing).
uint32_t ReadBitmapPixel(BitmapHandle* handle, int32_t x, int32_t y, int32_t isMask);
void WriteBitmapPixel(BitmapHandle* handle, int32_t x, int32_t y, uint32_t colour, int32_t isMask);
void DrawBitmapLine(BitmapHandle* handle, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                    ArgbColor colour);
void FillBitmapRect(BitmapHandle* handle, int32_t x, int32_t y, int32_t width, int32_t height,
                    ArgbColor colour);
// Kernels on a lock's memory; the caller keeps the rectangle inside.
void FillLockedRect(uint8_t* address, int32_t x, int32_t y, int32_t width, int32_t height,
                    ArgbColor colour, int32_t opacity, int32_t rowLength, uint32_t format);
// The line is clipped to width x height.
void DrawLineLocked(uint8_t* address, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                    ArgbColor colour, int32_t opacity, uint32_t format, int32_t rowLength,
                    int32_t width, int32_t height);
// Top byte t -> 255 - t (transparency <-> opacity); without force only for
// an adapter that wants opacity (none can be installed yet).
ArgbColor InvertColorAlpha(ArgbColor colour, int32_t force);

// Mask and alpha rectangles (clipped to the bitmaps).
void MaskRectOp(BitmapHandle* mask, int32_t x, int32_t y, int32_t width, int32_t height,
                int32_t op);
// mode 0, 5 OR; 1 clear where set; 2 copy; 3 XOR; 4 AND. A null sourceAddress
// takes the source mask's buffer and row bytes.
void CopyMaskRect(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                  int32_t dy, int32_t width, int32_t height, int32_t mode,
                  const uint8_t* sourceAddress, int32_t sourceRow);
ErrorCode ClipMaskToOrigin(int32_t* x, int32_t* y, int32_t* width, int32_t* height,
                           BitmapHandle** mask, int32_t copyAlways, int32_t freeOld);
void PaintMaskColor(BitmapHandle* mask, int32_t mx, int32_t my, BitmapHandle* bitmap, int32_t bx,
                    int32_t by, int32_t width, int32_t height, ArgbColor colour,
                    const uint8_t* maskAddress, int32_t maskRow);
void MaskToAlphaRect(BitmapHandle* mask, int32_t mx, int32_t my, BitmapHandle* alpha, int32_t ax,
                     int32_t ay, int32_t width, int32_t height, uint8_t value);
void AlphaToMaskRect(BitmapHandle* alpha, int32_t ax, int32_t ay, BitmapHandle* mask, int32_t mx,
                     int32_t my, int32_t width, int32_t height, int32_t op);
void FillAlphaRect(BitmapHandle* alpha, int32_t x, int32_t y, int32_t width, int32_t height,
                   uint8_t value);
void CombineMaskRect(BitmapHandle* mask, int32_t sx, int32_t sy, BitmapHandle* alpha, int32_t dx,
                     int32_t dy, int32_t width, int32_t height, uint8_t value);
// rows rows of the source's bytes per row, each byte * intensity / 255.
void CopyBitmapPixels(BitmapHandle* sourceAlpha, BitmapHandle* destAlpha, int32_t rows,
                      int32_t intensity);

// 0xAARRGGBB buffers (rows of width pixels) from AllocMemory, freed by the
// caller with FreeMemory; null when out of memory, the lock fails or the
// rectangle does not lie inside the bitmap. Every byte is written.
uint32_t* ReadBitmapRectARGB(BitmapHandle* handle, int32_t x, int32_t y, int32_t width,
                             int32_t height, uint32_t lockFlags);
uint32_t* ReadBitmapRectARGBMasked(BitmapHandle* handle, int32_t x, int32_t y, int32_t width,
                                   int32_t height, BitmapHandle* mask, BitmapHandle* alpha,
                                   int64_t keyColour, int32_t alphaFromMask, uint32_t lockFlags);
uint32_t* BitmapToARGBWithAlpha(BitmapHandle* handle, BitmapHandle* mask, BitmapHandle* alpha,
                                int32_t width, int32_t height);
void WriteARGBToBitmap(const uint32_t* pixels, int32_t sx, int32_t sy, int32_t sourceRowBytes,
                       BitmapHandle* bitmap, int32_t dx, int32_t dy, int32_t width, int32_t height);
// keyColour -1: no mask. Flag 8 (or 2 with tryAdapter): an alpha channel from
// the top bytes. Results: 0, ERR_BITMAP, ERR_ALLOCMASK or ERR_ALLOCALPHA.
ErrorCode CreateBitmapFromRGB(const uint32_t* pixels, int64_t keyColour, int32_t width,
                              int32_t height, int32_t modulo, int32_t tryAdapter, uint32_t flags,
                              void* display, BitmapHandle** outBitmap, BitmapHandle** outMask,
                              BitmapHandle** outAlpha);

// ---- Blits ----

// The rectangle and mask of an active clip region, as the blits see it.
struct BlitClip {
  int32_t x, y, width, height;
  BitmapHandle* mask;  // kind 2 in the clip's own coordinates, or null
};

// Clips a blit rectangle (all in/out); afterwards width or height <= 0
// means nothing to do.
void ClipBlitRect(const BlitClip* clip, int32_t* sx, int32_t* sy, int32_t* dx, int32_t* dy,
                  int32_t* width, int32_t* height, int32_t sourceWidth, int32_t sourceHeight,
                  int32_t destWidth, int32_t destHeight, int32_t useClip);
// The blits lock both bitmaps and run the kernels; the caller has clipped.
// A rectangle that does not lie inside both bitmaps is not drawn.
void BltBitmapToTarget(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                       int32_t dy, int32_t width, int32_t height);
void BltBitmapMasked(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                     int32_t dy, int32_t width, int32_t height, BitmapHandle* mask);
void BltBitmapAlpha(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                    int32_t dy, int32_t width, int32_t height, BitmapHandle* alpha);
void BltSpanLocked(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                   int32_t dy, int32_t width, int32_t height, BitmapHandle* alpha,
                   BitmapHandle* secondAlpha, int32_t mode);
// Fills the rectangle with copies of the tile starting offset pixels into
// it (offsets taken modulo the tile size, negative ones included). With raw
// the handles are unused: rawDest (rows width pixels apart, the rectangle
// itself) gets copies of rawTile (rows rawModulo pixels apart).
void TileBitmap(BitmapHandle* dest, int32_t x, int32_t y, int32_t width, int32_t height,
                BitmapHandle* tile, int32_t tileWidth, int32_t tileHeight, int32_t offsetX,
                int32_t offsetY, int32_t raw, const uint32_t* rawTile, uint32_t* rawDest,
                int32_t rawModulo);
// p1 is the level of the alpha kernel; p2 and p3 are not used by it.
void BltAlphaChannel(BitmapHandle* alpha, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                     int32_t dy, int32_t width, int32_t height, ArgbColor colour, int32_t mode,
                     BitmapHandle* destAlpha, int32_t p1, int32_t p2, int32_t p3,
                     BitmapHandle* source, const uint8_t* alphaAddress, int32_t alphaRow);
void ClipBltAlphaChannel(BitmapHandle* alpha, int32_t sx, int32_t sy, BitmapHandle* dest,
                         int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t sourceWidth,
                         int32_t sourceHeight, int32_t destWidth, int32_t destHeight,
                         ArgbColor colour, int32_t mode, BitmapHandle* destAlpha, int32_t p1,
                         int32_t p2, int32_t p3, BitmapHandle* source, const uint8_t* alphaAddress,
                         int32_t alphaRow);
void BltBitmapFormat(BitmapHandle* alpha, int32_t sx, int32_t sy, BitmapHandle* destAlpha,
                     int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t mode,
                     int32_t intensity);
void ClipAndBltBitmap(BitmapHandle* alpha, int32_t sx, int32_t sy, BitmapHandle* destAlpha,
                      int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t sourceWidth,
                      int32_t sourceHeight, int32_t destWidth, int32_t destHeight, int32_t mode,
                      int32_t intensity);

// SafeBlt flags.
enum : uint32_t {
  SAFEBLT_NOCLIPRECORD = 0x1,
  SAFEBLT_NOSPRITES = 0x2,
  SAFEBLT_BACKBUFFER = 0x4,
  SAFEBLT_LAYERS = 0x8,
  SAFEBLT_BITMAPONLY = 0x10,
  SAFEBLT_NOREFRESH = 0x20,
  SAFEBLT_REFRESHBACK = 0x40,
  SAFEBLT_SCALED = 0x80,
  SAFEBLT_NOCLIP = 0x100,
};
// The central blit. dest null means the current display (none can exist
// yet: the display library is not built); with SAFEBLT_BITMAPONLY and a
// destination bitmap the graphics library's spare display record stands in.
void SafeBlt(void* state, BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest,
             int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t sourceWidth,
             int32_t sourceHeight, int32_t destWidth, int32_t destHeight, uint32_t flags,
             BitmapHandle* mask, BitmapHandle* alpha, const BlitClip* clip);
// Frees the blit scratch buffer (graphics library shut-down).
void FreeBlitScratch();

// ---- Effect kernels and bitmap transforms ------------------------------------------

// Kernels below work in place on locked pixels (row lengths in pixels unless
// named "bytes"). They report nothing unless a result is declared; callers
// check arguments and map results to error codes.

// Integer square root: floor(sqrt(n)) for 0 <= n <= 2^31 - 1, -1 for n < 0.
int32_t IntSqrt(int32_t n);

// Grey: every pixel becomes (y, y, y) of its grey level; with twoColour,
// y > 128 gives white and anything else black.
void GrayPixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                  uint32_t format, int32_t twoColour);
void GrayPixels32(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                  uint32_t format, int32_t twoColour);
// Solarize: each channel above the threshold becomes 255 - channel.
void SolarizePixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                      uint32_t format, int32_t threshold);
void SolarizePixels32(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                      uint32_t format, int32_t threshold);
// Per-channel 256-entry tables; channels bit 1 red, 2 green, 4 blue.
struct GammaRequest {
  void* pixels;
  int32_t width, height, rowLength;
  uint32_t format;
  const uint8_t* red;
  const uint8_t* green;
  const uint8_t* blue;
  int32_t channels;
};
void GammaPixels16(const GammaRequest* request);
void GammaPixels32(const GammaRequest* request);
// Sepia tone at an integer level.
void SepiaPixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                   uint32_t format, int32_t level);
void SepiaPixels32(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                   uint32_t format, int32_t level);
// Level normalising over the grey histogram; other pixel sizes do nothing.
struct LevelsRequest {
  void* pixels;
  int32_t width, height, rowLength;
  int64_t lowCount, highCount;
  uint32_t format;
  int32_t bytesPerPixel;
};
void NormalizeLevels(const LevelsRequest* request);

// Planar YUV 4:2:0 frame: chroma subsampled by 2 in both directions.
struct YuvFrame {
  const uint8_t* y;
  const uint8_t* u;
  const uint8_t* v;
  int32_t yRowBytes, uRowBytes, vRowBytes;
};
// Output by bytes per pixel and format: 4 with 10-13, 2 with 0-7, 3 with 8
// and 9; other combinations write nothing.
void ConvertYUVToRGB(const YuvFrame* frame, void* out, int32_t width, int32_t height,
                     int32_t outRowLength, uint32_t format, int32_t bytesPerPixel);
void ScaleYUVToRGB(const YuvFrame* frame, void* out, int32_t sourceWidth, int32_t sourceHeight,
                   int32_t width, int32_t height, int32_t outRowLength, uint32_t format,
                   int32_t bytesPerPixel);

// Colour quantiser: exact palette in order of first appearance when the
// image has few enough colours, else median cut with optional dithering.
struct QuantizeRequest {
  const void* pixels;
  uint32_t format;
  int32_t bytesPerPixel;  // 2, 3 or 4
  int32_t width, height, rowLength;
  uint8_t* indices;     // width bytes per row, rows packed
  uint32_t* palette;    // up to 256 colours 0x00RRGGBB
  int32_t colourCount;  // in: most colours wanted (1-256); out: entries used
  int32_t keyColour;    // 0x00RRGGBB or -1
  int32_t reserve;      // count one entry more for the caller
  int32_t dither;
  int32_t result;    // 1 on success, left 0 on failure (memory)
  int32_t keyIndex;  // out: entry holding the key, or -1
};
void QuantizeColors(QuantizeRequest* request);

// Gradient colour lookup over 16.16 positions (0x10000 = end).
struct GradientStop {
  int32_t position;
  uint16_t red, green, blue;  // the high byte is the 8-bit channel
};
enum : int32_t { GRADIENT_SPREAD_REPEAT = 1, GRADIENT_SPREAD_PAD = 2, GRADIENT_SPREAD_REFLECT = 3 };
struct GradientState {
  uint32_t greenA, redBlueA;  // colour a: G, and R << 16 | B
  uint32_t greenB, redBlueB;  // colour b
  int64_t start, end;         // cached segment [start, end)
  int64_t factor;             // 2^24 / length, rounded
  const GradientStop* stops;  // sorted by position
  int32_t count;              // below 1 gives black everywhere
  int32_t spread;             // 1 repeat, 2 pad, 3 reflect, else none
  int32_t invalid;            // set before the first lookup
};
// Finds the segment of pos; false (and black) when there are no stops.
bool LocateGradientStops(GradientState* state, int32_t pos);
uint32_t GradientColorAt32(GradientState* state, int32_t pos);
uint16_t GradientColorAt16(GradientState* state, int32_t pos);

// Convolution in place: Gaussian blur ('b'), emboss ('e'), edge ('g'),
// sharpen ('s'); the alpha channel, when given, after the colours.
enum : int32_t {
  CONVOLVE_BLUR = 98,
  CONVOLVE_EMBOSS = 101,
  CONVOLVE_EDGE = 103,
  CONVOLVE_SHARPEN = 115
};
struct ConvolveRequest {
  void* pixels;
  int32_t width, height, rowLength;
  uint32_t format;
  int32_t bytesPerPixel;  // 2 or 4, anything else skips the colours
  uint8_t* alpha;         // or null
  int32_t alphaRowBytes;
  double radius, sigma;
  int32_t operation;
};
void ConvolvePixels(const ConvolveRequest* request);
int32_t GaussianKernelWidth1D(double radius, double sigma);
int32_t GaussianKernelWidth2D(double radius, double sigma);
// Edge-extended copies for a kernel of width k (height + k rows of width + k
// used pixels). With a buffer they refill it; without, they allocate one
// (null when that fails or the size overflows). *outRowLength is the copy's
// row length in pixels (bytes for PadBytes8).
uint16_t* PadPixels16(const uint16_t* source, int32_t width, int32_t height, int32_t rowLength,
                      int32_t k, uint16_t* buffer, int32_t* outRowLength);
uint32_t* PadPixels32(const uint32_t* source, int32_t width, int32_t height, int32_t rowLength,
                      int32_t k, uint32_t* buffer, int32_t* outRowLength);
uint8_t* PadBytes8(const uint8_t* source, int32_t width, int32_t height, int32_t rowBytes,
                   int32_t k, uint8_t* buffer, int32_t* outRowLength);

// Oil paint, contrast and modulate.
struct OilPaintRequest {
  void* pixels;
  int32_t width, height, rowLength;
  uint32_t format;
  double radius;  // never negative
};
void OilPaintPixels(const OilPaintRequest* request);    // 16-bit pixels
void OilPaintPixels32(const OilPaintRequest* request);  // 32-bit pixels
void ContrastColor(int32_t sign, uint8_t* r, uint8_t* g, uint8_t* b);
void ContrastPixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                      uint32_t format, int32_t sign);
void ContrastPixels(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                    uint32_t format, int32_t sign);
struct ModulateRequest {
  void* pixels;
  int32_t width, height, rowLength;
  uint32_t format;
  int32_t brightness, saturation, hue;  // percent; 100 keeps a quantity
};
void ModulateColor(uint8_t* r, uint8_t* g, uint8_t* b, double hue, double saturation,
                   double brightness);
void ModulatePixels16(const ModulateRequest* request);
void ModulatePixels(const ModulateRequest* request);

// Least squares and the linear solver. Matrices are arrays of row addresses.
double** AllocDoubleMatrix(int32_t rows, int32_t columns);  // zeroed, or null
void FreeDoubleMatrix(double** matrix, int32_t rows);
void LeastSquaresAddTerms(double** m, double** vectors, const double* terms, const double* results,
                          int32_t n, int32_t count);
// 1 with the solutions in vectors (m becomes its inverse); 0 when singular,
// -1 when out of memory (callers that need not tell them apart test for 1).
int32_t GaussJordanSolve(double** m, double** vectors, int32_t n, int32_t count);
// Inverse of u = (c0 x + c1 y + c2) / (c6 x + c7 y + 1), v likewise with
// c3..c5; false (out untouched) when the mapping is singular.
bool InvertPerspective(const double c[8], double out[8]);

// Gradient fills of a rectangle of 2- or 4-byte pixels.
enum : int32_t { GRADIENT_LINEAR = 2, GRADIENT_RADIAL = 3, GRADIENT_CONICAL = 4 };
constexpr int32_t GRADIENT_MAX_STOPS = 64;
struct GradientColourStop {
  ArgbColor colour;  // the alpha byte is not used
  double position;   // 0.0 to 1.0
};
struct GradientSpec {
  int32_t type;
  ArgbColor firstColour, secondColour;
  int32_t stopCount;  // 0: the two colours; above 64 clamped to 64
  int32_t angle;      // degrees: 0 top to bottom, 90 left to right
  GradientColourStop stops[GRADIENT_MAX_STOPS];
  double centreX, centreY;  // fractions of the rectangle
  double middle;            // conical: position of the first colour
  double size;              // radial size factor (1.0 counts as 0.99)
};
struct GradientRequest {
  void* pixels;
  int32_t bytesPerPixel;
  uint32_t format;
  int32_t x, y, width, height, rowLength;
  const GradientSpec* gradient;
};
// false (nothing drawn) for an unknown type, a negative stop count or a
// pixel size other than 2 and 4.
bool RenderGradient(const GradientRequest* request);

// Affine transform of a picture with its mask (1 bit per pixel, top bit
// leftmost) or alpha channel. The matrix (a, b, c, d, e, f) maps source
// (x, y) to destination X = a x + c y + e, Y = b x + d y + f. Returns false
// (nothing drawn) when the matrix is singular; callers report that as
// ERR_WRONGUSAGE.
struct TransformRequest {
  const void* sourcePixels;  // or null: only mask or alpha are transformed
  void* destPixels;
  const uint8_t* sourceMask;
  uint8_t* destMask;
  const uint8_t* sourceAlpha;
  uint8_t* destAlpha;
  int32_t sourceMaskBitOffset;
  int32_t sourceWidth, sourceHeight, sourceRowLength;
  int32_t destWidth, destHeight, destRowLength;
  int32_t sourceMaskRowBytes, destMaskRowBytes;
  int32_t sourceAlphaRowBytes, destAlphaRowBytes;
  const double* matrix;
  int32_t smooth;  // non-zero: bilinear
  uint32_t format;
  int32_t bytesPerPixel;
};
bool TransformPixels(const TransformRequest* request);
// A straight line of the context's thickness, plotted through PlotPixel.
void DrawThickLinePixels(PlotContext* ctx, int32_t x1, int32_t y1, int32_t x2, int32_t y2);

// Distortion engine. Control points are quadruples (u, v, x, y): source
// point (u, v) goes to destination point (x, y). Coefficients describe the
// destination-to-source mapping.
enum : int32_t {
  DISTORT_PERSPECTIVE = 4,
  DISTORT_ARC = 9,
  DISTORT_POLAR = 10,
  DISTORT_BARREL = 12
};
struct DistortImage {
  int32_t width, height;
  int32_t xOffset, yOffset;  // position in mapping space; the render sets the output's
  void* pixels;
  int32_t rowLength;  // pixels
};
struct DistortRequest {
  int32_t method;
  int32_t count;  // numbers in arguments
  const double* arguments;
  DistortImage* source;
  DistortImage* output;  // filled by the caller after set-up
  double* coefficients;  // made by set-up, freed by render
  int32_t outputWidth, outputHeight;
  int32_t outputX, outputY;
  int32_t filtered;  // non-zero: elliptical weighted average
  ErrorCode error;   // 0, ERR_MEM or ERR_WRONGUSAGE
  const uint8_t* sourceMask;
  uint8_t* outputMask;
  const uint8_t* sourceAlpha;
  uint8_t* outputAlpha;
  int32_t sourceMaskRowBytes, outputMaskRowBytes;
  int32_t sourceAlphaRowBytes, outputAlphaRowBytes;
  int32_t bytesPerPixel;  // 2, 3 or 4
  uint32_t format;
};
struct EwaFilter {
  const DistortImage* source;
  int32_t disabled;
  double pixelCount;
  int32_t tooLarge, interpolate;
  double A, B, C;
  double rowHalf, columnHalf, spanHalf, slope;
  double weights[1024];  // 2^(-i / 256)
  double support;        // 1024
};
// Both set and return request->error. Set-up refuses (ERR_WRONGUSAGE)
// unknown methods, bad argument counts, singular control points and output
// boxes that are not finite or larger than 32767 pixels a side.
ErrorCode DistortSetup(DistortRequest* request);
ErrorCode DistortRender(DistortRequest* request);
void EwaScale(EwaFilter* filter, double dudx, double dudy, double dvdx, double dvdy);
void InterpolatePixel(const DistortRequest* request, const DistortImage* source, double x, double y,
                      double out[4]);

// Swirl and water ripple. Tables hold SWIRL_TABLE_SIZE doubles: sin and cos
// of 0, 0.001, 0.002, ... (accumulated); the ripple's distance table holds
// one IntSqrt distance to the centre per pixel, row by row.
constexpr int32_t SWIRL_TABLE_SIZE = 6300;
void BuildSwirlSinCosTable(double* sine, double* cosine);
void BuildRippleSineTable(double* sine, int32_t* distances, int32_t width, int32_t height,
                          int32_t centreX, int32_t centreY);
// A null source makes the kernel copy the destination and read the copy
// (in-place brush effects); a source alpha selects the alpha-fade mode; a
// second picture cross-fades. Row lengths in pixels, alpha and mask rows in
// bytes.
struct SwirlRequest {
  const void* source;
  const void* second;
  void* destination;
  int32_t sourceRowLength, secondRowLength, destinationRowLength;
  const double* sine;
  const double* cosine;
  uint32_t format;
  int32_t width, height;
  int32_t fadeOut;
  const uint8_t* sourceAlpha;
  int32_t sourceAlphaRowLength;
  uint8_t* destinationAlpha;
  int32_t destinationAlphaRowLength;
  const uint8_t* sourceMask;
  int32_t sourceMaskRowLength;
  uint8_t* destinationMask;
  int32_t destinationMaskRowLength;
};
struct RippleRequest {
  const void* source;
  const void* second;
  void* destination;
  int32_t sourceRowLength, secondRowLength, destinationRowLength;
  const int32_t* distances;
  const double* sine;
  double waveLength;  // at least 1
  double amplitude;   // set by the kernel unless the frame is -1
  double amplitudeStep;
  int32_t framesPerHalf;  // N
  int32_t width, height;
  uint32_t format;
  int32_t fadeOut;
  const uint8_t* sourceAlpha;
  int32_t sourceAlphaRowLength;
  uint8_t* destinationAlpha;
  int32_t destinationAlphaRowLength;
  int32_t centreX, centreY;
  const int32_t* readPosition;      // the kernel's own
  int32_t radius;                   // largest radius R
  int32_t sourceColumn, sourceRow;  // the kernel's own
  int32_t storedPhase;              // used when the frame is -1
  const uint8_t* sourceMask;
  int32_t sourceMaskRowLength;
  uint8_t* destinationMask;
  int32_t destinationMaskRowLength;
};
void SwirlPixels16(const SwirlRequest* request, int32_t angle);
void SwirlPixels(const SwirlRequest* request, int32_t angle);
// frame -1 draws with the stored amplitude and phase.
void WaterRipplePixels16(RippleRequest* request, int32_t frame);
void WaterRipplePixels(RippleRequest* request, int32_t frame);
void RippleDisplace(int32_t phase, int32_t x, int32_t y, RippleRequest* request);

// Bitmap transforms (new handles; outputs written only on success).

// The 2 x 2 matrix (a, b, c, d) of a rotate-and-scale: from the sizes when
// they differ from the old ones (0 keeps a size), else from the scale
// factors, then turned by (360 - angle) degrees.
void BuildRotateScaleMatrix(double matrix[4], int32_t newWidth, int32_t newHeight, int32_t oldWidth,
                            int32_t oldHeight, double scaleX, double scaleY, double angle);
// Builds the matrices of 90, 180, 270, 360, -90, -180 and -270 degrees that
// RotateScaleBitmap recognises byte for byte (also done on first use).
void InitRightAngleTransforms();
ErrorCode EnsureScaleTables(int32_t neededX, int32_t neededY);  // ERR_MEM
void FreeTransformScratch();
// Output size and offset of a matrix applied to width x height.
void ComputeTransformBounds(const double matrix[4], int32_t width, int32_t height,
                            int32_t* outWidth, int32_t* outHeight, int32_t* outX, int32_t* outY);
// Mirrors pixels, mask and alpha (vertical non-zero: rows, else columns).
ErrorCode FlipBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha, int32_t width,
                     int32_t height, int32_t vertical);
// Copies a rectangle with its mask and alpha into new handles.
ErrorCode ConvertBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha, int32_t x,
                        int32_t y, int32_t width, int32_t height, int32_t wantVideo,
                        int32_t videoFlag, void* sourceDisplay, void* targetDisplay,
                        BitmapHandle** outBitmap, BitmapHandle** outMask, BitmapHandle** outAlpha);
// Scales the source rectangle to destWidth x destHeight (mode non-zero:
// smooth) into destination, or into new handles when destination is null.
// A destination size below 1 does nothing and returns 0.
ErrorCode TransformBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha, int32_t x,
                          int32_t y, BitmapHandle* destination, int32_t sourceWidth,
                          int32_t sourceHeight, int32_t destWidth, int32_t destHeight, int32_t mode,
                          BitmapHandle** outBitmap, BitmapHandle** outMask,
                          BitmapHandle** outAlpha);
// A singular matrix is ERR_WRONGUSAGE.
ErrorCode RotateScaleBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                            int32_t x, int32_t y, int32_t width, int32_t height,
                            const double matrix[4], int32_t smooth, int32_t reserved,
                            BitmapHandle** outBitmap, BitmapHandle** outMask,
                            BitmapHandle** outAlpha, int32_t* outWidth, int32_t* outHeight);
// The output gets a mask when the source has one, or has neither and
// filtering is off; otherwise an alpha channel.
ErrorCode DistortBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                        int32_t width, int32_t height, int32_t method, const double* arguments,
                        int32_t count, int32_t filtered, BitmapHandle** outBitmap,
                        BitmapHandle** outMask, BitmapHandle** outAlpha, int32_t* outWidth,
                        int32_t* outHeight);

// Image-kernel wrappers: lock, run the kernel for 2- or 4-byte pixels,
// unlock. An existing lock, when given, is used instead of a new one.
// Results: 0, ERR_LOCKBMAP, ERR_MEM (and the allocation errors named).
ErrorCode OilPaintBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, double radius);
// Angle clamped to -359..359.
ErrorCode SwirlBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha, int32_t width,
                      int32_t height, int32_t angle);
// One ripple at the stored amplitude and phase around the centre given as
// fractions (clamped to 0..1) of the size.
ErrorCode WaterRippleBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                            int32_t width, int32_t height, double waveLength, double amplitude,
                            int32_t phase, double centreX, double centreY);
ErrorCode ContrastRangeBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, int64_t lowCount,
                              int64_t highCount, const BitmapLock* existing);
ErrorCode AutoContrastBitmap(BitmapHandle* bitmap, int32_t width, int32_t height,
                             const BitmapLock* existing);
// Fractions (1.0 keeps a quantity; three 1.0 do nothing).
ErrorCode ModulateBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, double brightness,
                         double saturation, double hue);
ErrorCode ContrastBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, int32_t sharpen,
                         int32_t steps, const BitmapLock* existing);
ErrorCode SepiaToneBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, int32_t level);
// 256 entries: gamma 0 gives zeros, gamma 1 the identity.
void BuildGammaTable(uint8_t table[256], double gamma);
ErrorCode GammaBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, double red, double green,
                      double blue);
ErrorCode SolarizeBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, int32_t threshold);
// Convolution by operation code with radius strength (0 or less: 1) and
// sigma bias, over the source's pixels and/or an alpha channel.
ErrorCode ConvolveBitmap(int32_t code, BitmapHandle* source, BitmapHandle* destAlpha, int32_t width,
                         int32_t height, double strength, double bias, const BitmapLock* existing);
// A new alpha channel (width + 2r) x (height + 2r), r = trunc(radius): the
// silhouette of the alpha channel, the mask or a plain rectangle at level
// fill, blurred; null when it cannot be made.
BitmapHandle* BuildBlurredAlpha(BitmapHandle* mask, BitmapHandle* alpha, int32_t x, int32_t y,
                                int32_t width, int32_t height, double radius, double sigma,
                                int32_t fill, int32_t binarise, int32_t secondPass);
// A new mask with bits cleared where the pixel has the colour.
ErrorCode SetBitmapColorKey(BitmapHandle* bitmap, int32_t width, int32_t height, ArgbColor colour,
                            BitmapHandle** outMask);
ErrorCode PixelateBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                         int32_t width, int32_t height, int32_t cell);
ErrorCode InvertBitmap(BitmapHandle* bitmap, int32_t width, int32_t height,
                       const BitmapLock* existing);
ErrorCode GrayBitmap(BitmapHandle* bitmap, int32_t width, int32_t height,
                     const BitmapLock* existing, int32_t mode);
ErrorCode MonochromeBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, int32_t dither);
ErrorCode CharcoalBitmap(BitmapHandle* bitmap, BitmapHandle* second, int32_t width, int32_t height,
                         double radius, double sigma);
// Mixes source into bitmap at ratio 0-255 (255 gives the source).
ErrorCode MixBitmaps(BitmapHandle* bitmap, BitmapHandle* source, BitmapHandle* sourceMask,
                     int32_t dx, int32_t dy, int32_t sx, int32_t sy, int32_t width, int32_t height,
                     int32_t ratio, BitmapHandle* alpha, int32_t alphaWidth, int32_t alphaHeight);
ErrorCode TintBitmap(BitmapHandle* bitmap, int32_t x, int32_t y, int32_t width, int32_t height,
                     ArgbColor colour, int32_t opacity);
ErrorCode QuantizeBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, int32_t colours,
                         int32_t dither);
// The quantiser on raw pixels; non-zero on success.
int32_t QuantizeBitmapPixels(const void* pixels, uint32_t format, int32_t bytesPerPixel,
                             int32_t width, int32_t height, int32_t modulo, uint8_t* indices,
                             uint32_t* palette, int32_t* colourCount, int32_t keyColour,
                             int32_t reserve, int32_t dither, int32_t* keyIndex);
// Nearest or smooth (flags non-zero) scaling of a raw rectangle; without a
// destination a new destWidth x destHeight x 4-byte buffer (FreeMemory).
// Null when out of memory.
uint8_t* ScalePixelBuffer(const void* source, int32_t sx, int32_t sy, int32_t sourceWidth,
                          int32_t sourceHeight, void* destination, int32_t dx, int32_t dy,
                          int32_t destWidth, int32_t destHeight, int32_t sourceModulo,
                          int32_t destModulo, uint32_t format, int32_t flags);
// A new zero-filled 0xAARRGGBB buffer (FreeMemory) of the rectangle: formats
// 10-13 are read, others stay black.
ErrorCode BitmapToARGB(BitmapHandle* bitmap, int32_t x, int32_t y, int32_t width, int32_t height,
                       int32_t* hasAlpha, uint32_t** out);
