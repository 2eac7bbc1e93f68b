// Private helpers of the image-kernel wrappers: scoped locks and owned
// handles, so that every error path unlocks and frees what it made.
#pragma once

#include <memory>

#include "gfx/gfx.h"

namespace fxwrap {

struct ScopedLock {
  BitmapLock lock{};
  bool held = false;
  ScopedLock() = default;
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;
  bool take(BitmapHandle* h, bool readOnly) {
    held = h && LockBitmap(h, readOnly ? 1 : 0, &lock) != 0;
    return held;
  }
  ~ScopedLock() {
    if (held) UnlockBitmap(&lock);
  }
};

// The rectangle lies inside the lock.
inline bool Inside(const BitmapLock& l, int32_t x, int32_t y, int32_t w, int32_t h) {
  return x >= 0 && y >= 0 && w >= 0 && h >= 0 && static_cast<int64_t>(x) + w <= l.width &&
         static_cast<int64_t>(y) + h <= l.height;
}

inline uint8_t* At(const BitmapLock& l, int32_t x, int32_t y) {
  return l.address + (static_cast<ptrdiff_t>(y) * l.rowLength + x) * l.bytesPerPixel;
}

}  // namespace fxwrap
