// Bitmap handles and software bitmaps: allocation and release of pixel
// bitmaps, alpha channels and masks, locks, the attribute query, and the
// operations on single pixels, lines, rectangles, masks and alpha channels
// that run the pixel engine's kernels on locked memory.
// Invariant: a record's buffer always holds rows x bytes per row bytes,
// computed in size_t with overflow checks; a size that does not fit, or
// holds more pixels than BITMAP_MAX_PIXELS, is refused (null), never
// allocated smaller. Every operation clips its
// rectangle to the bitmaps it touches before a kernel runs.
//
// With a display adapter installed, a handle may be backed by the
// adapter's object instead (a video bitmap, or any bitmap of an adapter
// that owns all bitmaps): those lock through the adapter, and pixel
// writes, lines and fills go to the adapter when it draws them.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "gfx/adapter_private.h"
#include "gfx/bitmap_private.h"
#include "gfx/gfx.h"
#include "gfx/hooks_private.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"

using namespace pixel;

namespace {

// A test seam (SetSoftBitmapFormatOverride); no run state.
int64_t formatOverride = -1;

// The end of the last run of stamps handed to a thread. Each thread takes
// runs of STAMP_RUN stamps and gives them out one by one, so a lock for
// writing costs no locked instruction; stamps stay unique across threads,
// which is all their readers compare.
constexpr uint64_t STAMP_RUN = 1024;
std::atomic<uint64_t> writeStamps{0};
thread_local uint64_t nextStamp = 0, stampLimit = 0;

// A lock for writing, or the buffer's address handed out (which the caller
// may write through): the record gets a new stamp.
void noteWrite(const SoftBitmap* rec) {
  if (nextStamp == stampLimit) {
    stampLimit = writeStamps.fetch_add(STAMP_RUN, std::memory_order_relaxed) + STAMP_RUN;
    nextStamp = stampLimit - STAMP_RUN;
  }
  __atomic_store_n(&const_cast<SoftBitmap*>(rec)->writeStamp, ++nextStamp, __ATOMIC_RELAXED);
}

// Pixels in a row of the record: its bytes over the bytes of a pixel,
// without a division for the usual sizes; the bytes for a record with no
// pixel size.
int32_t pixelsPerRow(const SoftBitmap* rec) {
  switch (rec->bytesPerPixel) {
    case 4:
      return rec->bytesPerRow >> 2;
    case 2:
      return rec->bytesPerRow >> 1;
    case 1:
      return rec->bytesPerRow;
    default:
      return rec->bytesPerPixel > 0 ? rec->bytesPerRow / rec->bytesPerPixel : rec->bytesPerRow;
  }
}

SoftBitmap* softOf(const BitmapHandle* h) {
  return h && !IsAdapterBacked(h) ? static_cast<SoftBitmap*>(h->backing) : nullptr;
}

// Gives an adapter's backing back to the adapter that made it.
void releaseAdapterBacking(void* backing, bool video) {
  const DisplayAdapter* a = BitmapAdapter();
  if (!a || !backing) return;
  if (video) {
    if ((a->flags & QM_ADAPTER_VIDEOBITMAPS) && a->freeVideoBitMap) a->freeVideoBitMap(backing);
  } else if (a->freeBitMap) {
    a->freeBitMap(backing);
  }
}

// A handle around an adapter's backing; null (the backing given back) when
// the backing is null or the handle cannot be allocated.
BitmapHandle* adapterHandle(uint32_t kind, void* backing, int32_t width, int32_t height, bool video,
                            uint32_t prepared) {
  if (!backing) return nullptr;
  BitmapHandle* h = NewBitmapHandle(kind, backing, width, height);
  if (!h) {
    releaseAdapterBacking(backing, video);
    return nullptr;
  }
  h->video = video ? 1 : 0;
  h->adapterMade = video ? 0 : 1;
  h->prepared = prepared;
  return h;
}

// An alpha channel or mask of an adapter that owns all bitmaps; tags as
// AllocBitMap takes them (model, memory and its row bytes).
BitmapHandle* allocAdapterPlane(uint32_t kind, const BitmapHandle* model, int32_t width,
                                int32_t height, int32_t clear, uint8_t* memory, int32_t rowBytes) {
  const DisplayAdapter* a = BitmapAdapter();
  if (width <= 0 || height <= 0 || !a->allocBitMap) return nullptr;
  QmTagItem tags[4] = {};
  int n = 0;
  if (model && model->adapterMade) tags[n++] = {1, reinterpret_cast<uintptr_t>(model->backing)};
  if (memory) {
    tags[n++] = {2, reinterpret_cast<uintptr_t>(memory)};
    tags[n++] = {3, static_cast<uintptr_t>(rowBytes)};
  }
  void* backing = a->allocBitMap(static_cast<int32_t>(kind), width, height, clear != 0, tags);
  return adapterHandle(kind, backing, width, height, false, 0);
}

// Attributes of an adapter-backed handle that its backing answers.
intptr_t adapterAttr(const BitmapHandle* h, int32_t code) {
  const DisplayAdapter* a = BitmapAdapter();
  if (!a) return 0;
  uint32_t format = h->kind == BITMAP_ALPHA  ? static_cast<uint32_t>(PIXFMT_ALPHA8)
                    : h->kind == BITMAP_MASK ? static_cast<uint32_t>(PIXFMT_MASK1)
                                             : a->pixelFormat;
  switch (code) {
    case 1:
    case 2:
      return a->getBitMapAttr ? a->getBitMapAttr(h->backing, 2) : 0;
    case 13: {
      intptr_t row = a->getBitMapAttr ? a->getBitMapAttr(h->backing, 2) : 0;
      int32_t bpp = h->kind == BITMAP_PIXELS ? BytesPerPixel(format) : 1;
      return bpp > 0 ? row / bpp : 0;
    }
    case 3:
    case 4:
    case 23: {
      BitmapLock lock;
      if (!LockBitmap(const_cast<BitmapHandle*>(h), 1, &lock)) return 0;
      intptr_t address = reinterpret_cast<intptr_t>(lock.address);
      UnlockBitmap(&lock);
      return address;
    }
    case 21:
      return format;
    default:
      return 0;
  }
}

// LockBitmap of an adapter-backed handle through the adapter's LockBitMap.
uintptr_t lockAdapterBitmap(BitmapHandle* h, bool readOnly, BitmapLock* lock) {
  const DisplayAdapter* a = BitmapAdapter();
  if (!a || !a->lockBitMap) return 0;
  QmAdapterLock al = {};
  if (!a->lockBitMap(h->backing, readOnly ? 1 : 0, &al) || !al.pixels || al.bytesPerRow <= 0) {
    return 0;
  }
  int32_t bpp = h->kind == BITMAP_PIXELS ? BytesPerPixel(al.format) : 1;
  if (bpp <= 0 || h->kind > BITMAP_MASK) {
    if (a->unLockBitMap) a->unLockBitMap(&al);
    return 0;
  }
  lock->address = static_cast<uint8_t*>(al.pixels);
  lock->pixelFormat = h->kind == BITMAP_ALPHA  ? static_cast<uint32_t>(PIXFMT_ALPHA8)
                      : h->kind == BITMAP_MASK ? static_cast<uint32_t>(PIXFMT_MASK1)
                                               : al.format;
  lock->bytesPerPixel = bpp;
  lock->rowLength = al.bytesPerRow / bpp;
  // Never larger than the handle says, whatever the adapter reports.
  lock->width = std::min(al.width, h->width);
  lock->height = std::min(al.height, h->height);
  // Alpha channels and masks count as planes for the callers' checks.
  lock->software = h->kind == BITMAP_PIXELS ? 0 : 1;
  lock->adapterBacking = h->backing;
  lock->adapterToken = al.token;
  lock->token = al.token ? al.token : 1;
  return lock->token;
}

// Bytes per row and total bytes of a record; false when they do not fit.
bool rowSizes(size_t rowBytes, int32_t height, int32_t* outRowBytes, size_t* outTotal) {
  if (rowBytes == 0 || rowBytes > static_cast<size_t>(INT32_MAX) || height <= 0) return false;
  size_t total;
  if (__builtin_mul_overflow(rowBytes, static_cast<size_t>(height), &total)) return false;
  *outRowBytes = static_cast<int32_t>(rowBytes);
  *outTotal = total;
  return true;
}

// A record of the given kind, owning a zero-filled buffer (or wrapping
// memory). Null when the sizes do not fit or memory runs out.
SoftBitmap* newRecord(uint32_t kind, int32_t width, int32_t height, size_t rowBytes, int32_t bpp,
                      uint32_t format, uint8_t* memory, int32_t memoryRowBytes) {
  if (width <= 0 || height <= 0) return nullptr;
  auto* rec = static_cast<SoftBitmap*>(AllocMemory(sizeof(SoftBitmap), 1));
  if (!rec) return nullptr;
  rec->kind = kind;
  rec->width = width;
  rec->height = height;
  rec->bytesPerPixel = bpp;
  rec->pixelFormat = format;
  if (memory) {
    rec->buffer = memory;
    rec->bytesPerRow = memoryRowBytes;
    rec->notOwned = 1;
    return rec;
  }
  size_t total;
  if (!rowSizes(rowBytes, height, &rec->bytesPerRow, &total)) {
    FreeMemory(rec);
    return nullptr;
  }
  // Cleared so that no caller ever sees stale heap contents.
  rec->buffer = static_cast<uint8_t*>(AllocMemory(total, 1));
  if (!rec->buffer) {
    FreeMemory(rec);
    return nullptr;
  }
  rec->untouched = 1;
  return rec;
}

BitmapHandle* wrap(uint32_t kind, SoftBitmap* rec, int32_t width, int32_t height) {
  if (!rec) return nullptr;
  auto* h = static_cast<BitmapHandle*>(AllocMemory(sizeof(BitmapHandle), 1));
  if (!h) {
    FreeNativeBitmap(rec);
    return nullptr;
  }
  h->kind = kind;
  h->backing = rec;
  h->width = width;
  h->height = height;
  return h;
}

// Width rounded up to a multiple of 4 pixels (or bytes), in size_t.
size_t roundUp4(int32_t width) {
  return (static_cast<size_t>(width) + 3) & ~static_cast<size_t>(3);
}
size_t maskRowBytes(size_t rowPixels) { return ((rowPixels + 15) >> 3) & ~static_cast<size_t>(1); }

}  // namespace

namespace bitmapint {

bool Lock(BitmapHandle* h, bool readOnly, BitmapLock* lock) {
  return h && LockBitmap(h, readOnly ? 1 : 0, lock) != 0;
}

bool ClipRect(int32_t width, int32_t height, int32_t* x, int32_t* y, int32_t* w, int32_t* h) {
  int64_t x0 = std::max<int64_t>(*x, 0), y0 = std::max<int64_t>(*y, 0);
  int64_t x1 = std::min<int64_t>(static_cast<int64_t>(*x) + *w, width);
  int64_t y1 = std::min<int64_t>(static_cast<int64_t>(*y) + *h, height);
  if (x1 <= x0 || y1 <= y0) return false;
  *x = static_cast<int32_t>(x0);
  *y = static_cast<int32_t>(y0);
  *w = static_cast<int32_t>(x1 - x0);
  *h = static_cast<int32_t>(y1 - y0);
  return true;
}

bool ClipPair(int32_t sw, int32_t sh, int32_t dw, int32_t dh, int32_t* sx, int32_t* sy, int32_t* dx,
              int32_t* dy, int32_t* w, int32_t* h) {
  // Move both origins forward by whatever either one lies outside, then cut
  // the size to both right and bottom edges.
  int64_t shiftX = std::max<int64_t>({0, -static_cast<int64_t>(*sx), -static_cast<int64_t>(*dx)});
  int64_t shiftY = std::max<int64_t>({0, -static_cast<int64_t>(*sy), -static_cast<int64_t>(*dy)});
  int64_t nsx = *sx + shiftX, nsy = *sy + shiftY, ndx = *dx + shiftX, ndy = *dy + shiftY;
  int64_t nw = static_cast<int64_t>(*w) - shiftX, nh = static_cast<int64_t>(*h) - shiftY;
  nw = std::min({nw, sw - nsx, dw - ndx});
  nh = std::min({nh, sh - nsy, dh - ndy});
  if (nw <= 0 || nh <= 0) return false;
  *sx = static_cast<int32_t>(nsx);
  *sy = static_cast<int32_t>(nsy);
  *dx = static_cast<int32_t>(ndx);
  *dy = static_cast<int32_t>(ndy);
  *w = static_cast<int32_t>(nw);
  *h = static_cast<int32_t>(nh);
  return true;
}

bool Inside(const BitmapLock& lock, int32_t x, int32_t y, int32_t w, int32_t h) {
  return x >= 0 && y >= 0 && w >= 0 && h >= 0 && static_cast<int64_t>(x) + w <= lock.width &&
         static_cast<int64_t>(y) + h <= lock.height;
}

}  // namespace bitmapint

using bitmapint::ClipPair;
using bitmapint::ClipRect;

void SetSoftBitmapFormatOverride(int64_t format) { formatOverride = format; }
int64_t GetSoftBitmapFormatOverride() { return formatOverride; }

uint32_t GetSoftBitmapFormat() {
  // An installed adapter's format wins: its pixels are what windows show.
  if (const DisplayAdapter* a = BitmapAdapter(); a && BytesPerPixel(a->pixelFormat) > 0)
    return a->pixelFormat;
  return formatOverride >= 0 ? static_cast<uint32_t>(formatOverride) : PIXFMT_ARGB32;
}

BitmapHandle* NewBitmapHandle(uint32_t kind, void* backing, int32_t width, int32_t height) {
  auto* h = static_cast<BitmapHandle*>(AllocMemory(sizeof(BitmapHandle), 1));
  if (!h) return nullptr;
  h->kind = kind;
  h->backing = backing;
  h->width = width;
  h->height = height;
  return h;
}

SoftBitmap* AllocNativeBitmap(int32_t width, int32_t height, uint32_t flags, uint32_t* outPrepared,
                              uint32_t* outNotOwned, const void* extra) {
  // No platform memory hook on this platform: flag 8 finds no memory and the
  // buffer is always the record's own.
  uint32_t format = GetSoftBitmapFormat();
  int32_t bpp = BytesPerPixel(format);
  if (width <= 0 || height <= 0 || bpp == 0) return nullptr;
  size_t rowBytes;
  if (__builtin_mul_overflow(roundUp4(width), static_cast<size_t>(bpp), &rowBytes)) return nullptr;
  SoftBitmap* rec = newRecord(BITMAP_PIXELS, width, height, rowBytes, bpp, format, nullptr, 0);
  if (!rec) return nullptr;
  if (outNotOwned) *outNotOwned = rec->notOwned;
  if (outPrepared) *outPrepared = flags & 1;
  return rec;
}

void FreeNativeBitmap(SoftBitmap* record) {
  if (!record) return;
  if (!record->notOwned) FreeMemory(record->buffer);
  FreeMemory(record);
}

BitmapHandle* AllocBitmap(int32_t width, int32_t height, uint32_t flags, const void* extra) {
  if (!BitmapSizeFits(width, height)) return nullptr;
  // Without an adapter that makes video bitmaps a video request (flag 8)
  // gets a software bitmap.
  const DisplayAdapter* a = BitmapAdapter();
  if (a && (flags & 8) && (a->flags & QM_ADAPTER_VIDEOBITMAPS)) {
    uint32_t prepared = flags & 1;
    void* backing = AllocAdapterBitmap(width, height, flags, &prepared,
                                       static_cast<const AdapterBitmapSource*>(extra));
    return adapterHandle(BITMAP_PIXELS, backing, width, height, true, prepared);
  }
  if (a && !(flags & 8) && (a->flags & QM_ADAPTER_OWNSBITMAPS)) {
    if (width <= 0 || height <= 0 || !a->allocBitMap) return nullptr;
    return adapterHandle(BITMAP_PIXELS, a->allocBitMap(BITMAP_PIXELS, width, height, 0, nullptr),
                         width, height, false, flags & 1);
  }
  uint32_t prepared = 0;
  SoftBitmap* rec = AllocNativeBitmap(width, height, flags, &prepared, nullptr, extra);
  BitmapHandle* h = wrap(BITMAP_PIXELS, rec, width, height);
  if (h) h->prepared = prepared;
  return h;
}

BitmapHandle* AllocAlphaChannel(int32_t width, int32_t height, int32_t clear, uint8_t* memory,
                                int32_t rowBytes) {
  if (!BitmapSizeFits(width, height) || (memory && rowBytes < width)) return nullptr;
  if (AdapterOwnsBitmaps())
    return allocAdapterPlane(BITMAP_ALPHA, nullptr, width, height, clear, memory, rowBytes);
  SoftBitmap* rec =
      newRecord(BITMAP_ALPHA, width, height, roundUp4(width), 1, PIXFMT_ALPHA8, memory, rowBytes);
  return wrap(BITMAP_ALPHA, rec, width, height);
}

BitmapHandle* AllocBitMask(const BitmapHandle* model, int32_t width, int32_t height, int32_t clear,
                           uint8_t* memory, int32_t rowBytes) {
  if (!BitmapSizeFits(width, height)) return nullptr;
  if (AdapterOwnsBitmaps())
    return allocAdapterPlane(BITMAP_MASK, model, width, height, clear, memory, rowBytes);
  size_t rowPixels = static_cast<size_t>(std::max(width, 0));
  if (model) rowPixels = static_cast<size_t>(std::max<intptr_t>(GetBitmapAttr(model, 13), width));
  size_t bytes = maskRowBytes(rowPixels);
  if (memory && static_cast<size_t>(rowBytes) * 8 < static_cast<size_t>(std::max(width, 0)))
    return nullptr;
  SoftBitmap* rec = newRecord(BITMAP_MASK, width, height, bytes, 1, PIXFMT_MASK1, memory, rowBytes);
  return wrap(BITMAP_MASK, rec, width, height);
}

void FreeBitmap(BitmapHandle* handle) {
  if (!handle) return;
  if (IsAdapterBacked(handle))
    releaseAdapterBacking(handle->backing, handle->video != 0);
  else
    FreeNativeBitmap(softOf(handle));
  FreeMemory(handle);
}

void FreeAlphaChannel(BitmapHandle* handle) { FreeBitmap(handle); }
void FreeBitMask(BitmapHandle* handle) { FreeBitmap(handle); }

BitmapHandle* CloneAlphaChannel(const BitmapHandle* alpha, int32_t width, int32_t height) {
  BitmapLock src, dst;
  if (!alpha || !LockBitmap(const_cast<BitmapHandle*>(alpha), 1, &src)) return nullptr;
  BitmapHandle* h = AllocAlphaChannel(width, height, 1, nullptr, 0);
  if (h && LockBitmap(h, 0, &dst)) {
    size_t n = static_cast<size_t>(std::min(src.rowLength, dst.rowLength));
    int32_t rows = std::min(src.height, dst.height);
    for (int32_t j = 0; j < rows; ++j)
      std::memcpy(dst.address + ByteOffset(0, j, dst.rowLength),
                  src.address + ByteOffset(0, j, src.rowLength), n);
    UnlockBitmap(&dst);
  } else if (h) {
    FreeAlphaChannel(h);
    h = nullptr;
  }
  UnlockBitmap(&src);
  return h;
}

BitmapHandle* AlphaChannelFromARGB(const uint32_t* pixels, int32_t width, int32_t height,
                                   int32_t modulo) {
  BitmapHandle* h = AllocAlphaChannel(width, height, 0, nullptr, 0);
  BitmapLock lock;
  if (!h || !LockBitmap(h, 0, &lock)) {
    FreeAlphaChannel(h);
    return nullptr;
  }
  ExtractAlphaBytes(pixels, std::min(width, lock.width), std::min(height, lock.height), modulo,
                    lock.address, lock.rowLength);
  UnlockBitmap(&lock);
  return h;
}

ErrorCode PrepareVideoBitmap(BitmapHandle* handle) {
  if (!IsRealVideoBitmap(handle) || handle->prepared) return 0;
  const DisplayAdapter* a = BitmapAdapter();
  if (a->doVideoBitMapMethod) {
    const QmTagItem argument[] = {{1, 1}, {0, 0}};
    a->doVideoBitMapMethod(handle->backing, 1, argument);
  }
  handle->prepared = 1;
  return 0;
}

intptr_t GetSoftBitmapAttr(const BitmapHandle* handle, int32_t code) {
  const SoftBitmap* rec = softOf(handle);
  if (!rec) return 0;
  switch (code) {
    case 13:
      return pixelsPerRow(rec);
    case 21:
      return rec->pixelFormat;
    case 23:
      rec->untouched = 0;
      noteWrite(rec);
      return reinterpret_cast<intptr_t>(rec->buffer);
    default:
      return 0;
  }
}

intptr_t GetBitmapAttr(const BitmapHandle* handle, int32_t code) {
  const SoftBitmap* rec = softOf(handle);
  switch (code) {
    case 5:
      return 32;
    case 6:
    case 7: {  // the pointer in a display's window: the handle is the display
      if (!handle) return 0;
      int32_t x = 0, y = 0;
      DisplayHooks().pointerPosition(
          reinterpret_cast<DisplayRecord*>(const_cast<BitmapHandle*>(handle)), &x, &y);
      return code == 6 ? x : y;
    }
    case 8:
    case 9:
    case 10:
      return GetPlatformBitmapAttr(handle, code);  // the quit switches
    case 11:
    case 12:
      return 16;
    case 15:
    case 17:
      return 0;
    case 16:
      return 1;
    default:
      break;
  }
  if (!handle) return 0;
  if (IsAdapterBacked(handle)) {
    switch (code) {
      case 1:
      case 2:
      case 3:
      case 4:
      case 13:
      case 21:
      case 23:
        return adapterAttr(handle, code);
      default:
        break;
    }
  }
  switch (code) {
    case 0:
      return handle->width;
    case 1:
    case 2:
      return rec ? rec->bytesPerRow : 0;
    case 3:
    case 4:
      if (!rec) return 0;
      rec->untouched = 0;
      noteWrite(rec);
      return reinterpret_cast<intptr_t>(rec->buffer);
    case 13:
    case 21:
    case 23:
      return GetSoftBitmapAttr(handle, code);
    case 14:
      return handle->height;
    case 18:
      return handle->video;
    case 19:
      return handle->prepared;
    case 20:
      return reinterpret_cast<intptr_t>(handle->backing);
    case 22:
      // Flagged video, but no adapter that makes video bitmaps backs it.
      return handle->video && !AdapterMakesVideoBitmaps() ? 1 : 0;
    default:
      return 0;
  }
}

void* GetBitmapBacking(const BitmapHandle* handle) { return handle ? handle->backing : nullptr; }

int32_t GetRawBitmapSize(const void* backing, int32_t which) {
  if (const DisplayAdapter* a = BitmapAdapter(); a && (a->flags & QM_ADAPTER_OWNSBITMAPS)) {
    if (!backing || !a->getBitMapAttr) return 0;
    return static_cast<int32_t>(a->getBitMapAttr(const_cast<void*>(backing), which == 0 ? 0 : 1));
  }
  const auto* rec = static_cast<const SoftBitmap*>(backing);
  if (!rec) return 0;
  return which == 0 ? rec->width : rec->height;
}

uintptr_t LockBitmap(void* bitmap, uint32_t flags, BitmapLock* lock) {
  std::memset(lock, 0, sizeof(*lock));
  if (!bitmap) return 0;
  if (!(flags & 2) && IsAdapterBacked(static_cast<const BitmapHandle*>(bitmap)))
    return lockAdapterBitmap(static_cast<BitmapHandle*>(bitmap), flags & 1, lock);
  const SoftBitmap* rec = (flags & 2) ? static_cast<const SoftBitmap*>(bitmap)
                                      : softOf(static_cast<const BitmapHandle*>(bitmap));
  if (!rec || !rec->buffer) return 0;
  switch (rec->kind) {
    case BITMAP_PIXELS:
      // A caller-owned pixel buffer is not lockable (it may be an adapter's).
      if (rec->notOwned || rec->bytesPerPixel <= 0) return 0;
      lock->pixelFormat = rec->pixelFormat;
      lock->bytesPerPixel = rec->bytesPerPixel;
      lock->rowLength = pixelsPerRow(rec);
      break;
    case BITMAP_ALPHA:
    case BITMAP_MASK:
      lock->pixelFormat = rec->kind == BITMAP_ALPHA ? PIXFMT_ALPHA8 : PIXFMT_MASK1;
      lock->bytesPerPixel = 1;
      lock->rowLength = rec->bytesPerRow;
      lock->software = 1;
      break;
    default:
      return 0;
  }
  if (!(flags & 1)) noteWrite(rec);
  lock->address = rec->buffer;
  lock->width = rec->width;
  lock->height = rec->height;
  lock->token = 1;
  rec->untouched = 0;
  return lock->token;
}

bool DescribeSoftBitmap(const BitmapHandle* handle, BitmapLock* layout) {
  std::memset(layout, 0, sizeof(*layout));
  const SoftBitmap* rec = softOf(handle);
  // The records LockBitmap would lock as pixels.
  if (!rec || !rec->buffer || rec->kind != BITMAP_PIXELS || rec->notOwned ||
      rec->bytesPerPixel <= 0)
    return false;
  layout->pixelFormat = rec->pixelFormat;
  layout->bytesPerPixel = rec->bytesPerPixel;
  layout->rowLength = pixelsPerRow(rec);
  layout->width = rec->width;
  layout->height = rec->height;
  return true;
}

bool SoftBitmapUntouched(const BitmapHandle* handle) {
  const SoftBitmap* rec = softOf(handle);
  return rec && rec->untouched;
}

uint64_t GetBitmapWriteStamp(const BitmapHandle* handle) {
  const SoftBitmap* rec = softOf(handle);
  return rec && !rec->notOwned ? __atomic_load_n(&rec->writeStamp, __ATOMIC_RELAXED) : 0;
}

void UnlockBitmap(BitmapLock* lock) {
  if (!lock) return;
  if (lock->adapterBacking && lock->token) {
    const DisplayAdapter* a = BitmapAdapter();
    QmAdapterLock al = {lock->address,     lock->rowLength * lock->bytesPerPixel,
                        lock->pixelFormat, lock->width,
                        lock->height,      lock->adapterToken};
    if (a && a->unLockBitMap) a->unLockBitMap(&al);
    lock->adapterBacking = nullptr;
  }
  lock->token = 0;
}

ArgbColor ReadLockedPixel(const BitmapLock* lock, int32_t x, int32_t y) {
  int bpp = lock->bytesPerPixel;
  const uint8_t* p = lock->address + Offset(x, y, lock->rowLength, bpp);
  uint32_t v;
  switch (bpp) {
    case 2:
      v = Load16(p);
      break;
    case 3:
      v = (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
      break;
    case 4:
      v = Load32(p);
      break;
    default:
      return 0;
  }
  return PixelToColor(v, lock->pixelFormat, 0) & 0xFFFFFF;
}

uint32_t ReadBitmapPixel(BitmapHandle* handle, int32_t x, int32_t y, int32_t isMask) {
  BitmapLock lock;
  if (!bitmapint::Lock(handle, true, &lock) || !bitmapint::Inside(lock, x, y, 1, 1)) return 0;
  uint32_t v;
  if (isMask)
    v = lock.pixelFormat == PIXFMT_MASK1
            ? MaskBit(lock.address + ByteOffset(0, y, lock.rowLength), x)
            : 0;
  else
    v = ReadLockedPixel(&lock, x, y);
  UnlockBitmap(&lock);
  return v;
}

namespace bitmapint {

void MaskBitOp(uint8_t* row, ptrdiff_t x, int32_t op) {
  switch (op) {
    case 0:
    case 2:
    case 5:
      SetMaskBit(row, x);
      break;
    case 1:
      ClearMaskBit(row, x);
      break;
    case 3:
      FlipMaskBit(row, x);
      break;
    default:
      break;
  }
}

}  // namespace bitmapint

void WriteBitmapPixel(BitmapHandle* handle, int32_t x, int32_t y, uint32_t colour, int32_t isMask) {
  if (uint32_t mode = isMask ? 0 : AdapterDrawMode(handle, QM_DRAWCAP_PIXEL)) {
    const DisplayAdapter* a = BitmapAdapter();
    if (a->writePixel && x >= 0 && y >= 0 && x < handle->width && y < handle->height)
      a->writePixel(handle->backing, x, y, mode < 4 ? InvertColorAlpha(colour, 0) : colour, mode);
    return;
  }
  BitmapLock lock;
  if (!bitmapint::Lock(handle, false, &lock)) return;
  if (bitmapint::Inside(lock, x, y, 1, 1)) {
    if (isMask) {
      if (lock.pixelFormat == PIXFMT_MASK1)
        bitmapint::MaskBitOp(lock.address + ByteOffset(0, y, lock.rowLength), x,
                             static_cast<int32_t>(colour));
    } else {
      uint32_t v = ColorToPixel(colour, lock.pixelFormat, 0);
      uint8_t* p = lock.address + Offset(x, y, lock.rowLength, lock.bytesPerPixel);
      switch (lock.bytesPerPixel) {
        case 2:
          Store16(p, v);
          break;
        case 3:
          p[0] = static_cast<uint8_t>(v >> 16);
          p[1] = static_cast<uint8_t>(v >> 8);
          p[2] = static_cast<uint8_t>(v);
          break;
        case 4:
          Store32(p, v);
          break;
        default:
          break;
      }
    }
  }
  UnlockBitmap(&lock);
}

void FillLockedRect(uint8_t* address, int32_t x, int32_t y, int32_t width, int32_t height,
                    ArgbColor colour, int32_t opacity, int32_t rowLength, uint32_t format) {
  FillPixelRect(address, x, y, width, height, colour, opacity, rowLength, format);
}

void DrawLineLocked(uint8_t* address, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                    ArgbColor colour, int32_t opacity, uint32_t format, int32_t rowLength,
                    int32_t width, int32_t height) {
  PlotContext ctx{};
  ctx.pixels = address;
  ctx.rowLength = rowLength;
  ctx.bytesPerPixel = BytesPerPixel(format);
  ctx.thickness = 1;
  ctx.format = format;
  ctx.opacity = opacity;
  ctx.level = opacity;
  ctx.clip = 1;
  ctx.clipWidth = width;
  ctx.clipHeight = height;
  SetPlotColor(&ctx, colour);
  ShapeSpanKernel(&ctx, x1, y1, x2, y2);
}

void DrawBitmapLine(BitmapHandle* handle, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                    ArgbColor colour) {
  if (uint32_t mode = AdapterDrawMode(handle, QM_DRAWCAP_LINE)) {
    const DisplayAdapter* a = BitmapAdapter();
    if (a->line)
      a->line(handle->backing, x1, y1, x2, y2, mode < 4 ? InvertColorAlpha(colour, 0) : colour,
              mode);
    return;
  }
  BitmapLock lock;
  if (!bitmapint::Lock(handle, false, &lock) || lock.software) return;
  DrawLineLocked(lock.address, x1, y1, x2, y2, colour, 255, lock.pixelFormat, lock.rowLength,
                 lock.width, lock.height);
  UnlockBitmap(&lock);
}

void FillBitmapRect(BitmapHandle* handle, int32_t x, int32_t y, int32_t width, int32_t height,
                    ArgbColor colour) {
  if (uint32_t mode = AdapterDrawMode(handle, QM_DRAWCAP_RECTFILL)) {
    const DisplayAdapter* a = BitmapAdapter();
    if (a->rectFill && ClipRect(handle->width, handle->height, &x, &y, &width, &height))
      a->rectFill(handle->backing, x, y, width, height,
                  mode < 4 ? InvertColorAlpha(colour, 0) : colour, mode);
    return;
  }
  BitmapLock lock;
  if (!bitmapint::Lock(handle, false, &lock) || lock.software) return;
  if (ClipRect(lock.width, lock.height, &x, &y, &width, &height))
    FillLockedRect(lock.address, x, y, width, height, colour, 255, lock.rowLength,
                   lock.pixelFormat);
  UnlockBitmap(&lock);
}

ArgbColor InvertColorAlpha(ArgbColor colour, int32_t force) {
  // Without force only an adapter that takes opacity wants this.
  if (!force) {
    const DisplayAdapter* a = BitmapAdapter();
    if (!a || !(a->flags & QM_ADAPTER_OPACITY)) return colour;
  }
  return ((255 - (colour >> 24)) << 24) | (colour & 0xFFFFFF);
}
