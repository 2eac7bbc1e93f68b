// The bitmap layer inside gfx/: software bitmap records, allocation, lock,
// mask and alpha operations and the blits that other folders do not call,
// and the helpers shared by bitmap.cpp, bitmap_ops.cpp and blit.cpp
// (locking by handle, rectangle clipping and mask bit operations).
#pragma once

#include <cstddef>
#include <cstdint>

#include "gfx/gfx.h"

// ---- Bitmap handles and software bitmaps (the kinds and the mask and
// alpha operations other folders use are in gfx/gfx.h) ----

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
  // Every byte is still the zero it was allocated with: set for a buffer of
  // the record's own, cleared once anything locks the record or asks for
  // the buffer's address. Nothing else reaches the buffer.
  mutable uint32_t untouched;
  uint64_t writeStamp;  // GetBitmapWriteStamp
};
uint32_t GetSoftBitmapFormat();
SoftBitmap* AllocNativeBitmap(int32_t width, int32_t height, uint32_t flags, uint32_t* outPrepared,
                              uint32_t* outNotOwned, const void* extra);
void FreeNativeBitmap(SoftBitmap* record);
// A zeroed handle around a backing; null when out of memory (the caller
// still owns the backing then).
BitmapHandle* NewBitmapHandle(uint32_t kind, void* backing, int32_t width, int32_t height);
BitmapHandle* AlphaChannelFromARGB(const uint32_t* pixels, int32_t width, int32_t height,
                                   int32_t modulo);
void* GetBitmapBacking(const BitmapHandle* handle);
ArgbColor ReadLockedPixel(const BitmapLock* lock, int32_t x, int32_t y);  // 0xRRGGBB
void DrawBitmapLine(BitmapHandle* handle, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                    ArgbColor colour);
// Top byte t -> 255 - t (transparency <-> opacity); without force only for
// an adapter that wants opacity (QM_ADAPTER_OPACITY).
ArgbColor InvertColorAlpha(ArgbColor colour, int32_t force);

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
void CombineMaskRect(BitmapHandle* mask, int32_t sx, int32_t sy, BitmapHandle* alpha, int32_t dx,
                     int32_t dy, int32_t width, int32_t height, uint8_t value);

void WriteARGBToBitmap(const uint32_t* pixels, int32_t sx, int32_t sy, int32_t sourceRowBytes,
                       BitmapHandle* bitmap, int32_t dx, int32_t dy, int32_t width, int32_t height);

// ---- Blits ----

void BltBitmapMasked(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                     int32_t dy, int32_t width, int32_t height, BitmapHandle* mask);
void BltBitmapAlpha(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                    int32_t dy, int32_t width, int32_t height, BitmapHandle* alpha);
// The current display's selected mask or alpha-channel output (null: none).
const BitmapHandle* SelectedOutputBitmap();
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

// Frees the blit scratch buffer (graphics library shut-down).
void FreeBlitScratch();

namespace bitmapint {

// Locks a handle (null fails).
bool Lock(BitmapHandle* h, bool readOnly, BitmapLock* lock);
// Clips (x, y, w, h) to [0, width) x [0, height); false when nothing is left.
bool ClipRect(int32_t width, int32_t height, int32_t* x, int32_t* y, int32_t* w, int32_t* h);
// Clips a rectangle copied from a sw x sh source to a dw x dh destination:
// negative positions on either side move both origins forward.
bool ClipPair(int32_t sw, int32_t sh, int32_t dw, int32_t dh, int32_t* sx, int32_t* sy, int32_t* dx,
              int32_t* dy, int32_t* w, int32_t* h);
// True when the rectangle lies inside the lock.
bool Inside(const BitmapLock& lock, int32_t x, int32_t y, int32_t w, int32_t h);
// Mask operation 0-5 on one bit.
void MaskBitOp(uint8_t* row, ptrdiff_t x, int32_t op);

}  // namespace bitmapint
