// Helpers shared by the bitmap layer's files (bitmap.cpp, bitmap_ops.cpp,
// blit.cpp): locking by handle, rectangle clipping and mask bit operations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gfx/gfx.h"

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
