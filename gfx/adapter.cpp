// The bitmap layer's side of the display adapter: video bitmaps made from
// pixels and read back, the mode of adapter drawing, and blits the adapter
// takes over.
// Invariant: an adapter hook receives only backings that adapter made (a
// handle flagged video or adapter-made), never a software record; a
// software source of a blit into a video bitmap is handed over as locked
// pixels instead.
#include <algorithm>
#include <cstring>

#include "gfx/adapter_private.h"
#include "gfx/bitmap_private.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"

using namespace pixel;

namespace {

// The adapter's own word for "video bitmaps" in the bitmap flags it is
// asked about (AdapterSupportedBitmapFlags).
constexpr uint32_t ADAPTER_QUERY_NEEDS_VIDEO = QM_ADAPTER_VIDEOBITMAPS;

uint32_t supportedBitmapFlags(uint32_t flags) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a || !(a->flags & ADAPTER_QUERY_NEEDS_VIDEO)) return 0;
  return ComputeAdapterBitmapFlags(flags);
}

// Frees the adapter's pixel copy however the read ends.
struct VideoPixels {
  const DisplayAdapter* adapter;
  uint32_t* pixels = nullptr;
  ~VideoPixels() {
    if (pixels && adapter->freeVideoPixels) adapter->freeVideoPixels(pixels);
  }
};

bool inside(const BitmapHandle* h, int32_t x, int32_t y, int32_t w, int32_t hgt) {
  return x >= 0 && y >= 0 && w > 0 && hgt > 0 && static_cast<int64_t>(x) + w <= h->width &&
         static_cast<int64_t>(y) + hgt <= h->height;
}

}  // namespace

const DisplayAdapter* BitmapAdapter() { return GetDisplayAdapter(); }

bool AdapterMakesVideoBitmaps() {
  const DisplayAdapter* a = GetDisplayAdapter();
  return a && (a->flags & QM_ADAPTER_VIDEOBITMAPS);
}

bool AdapterOwnsBitmaps() {
  const DisplayAdapter* a = GetDisplayAdapter();
  return a && (a->flags & QM_ADAPTER_OWNSBITMAPS);
}

bool IsRealVideoBitmap(const BitmapHandle* h) {
  return h && h->video && AdapterMakesVideoBitmaps();
}

void* AllocAdapterBitmap(int32_t width, int32_t height, uint32_t flags, uint32_t* prepared,
                         const AdapterBitmapSource* source) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a || !a->allocVideoBitMap || width <= 0 || height <= 0) return nullptr;
  if (prepared) *prepared = flags & 1;
  const uint32_t* pixels = source ? source->pixels : nullptr;
  uint32_t* copy = nullptr;
  if (!pixels && source && source->bitmap) {
    // A copy in 0xAARRGGBB with the mask or alpha channel as the top byte;
    // the bitmap then carries alpha.
    copy = ReadBitmapRectARGBMasked(source->bitmap, 0, 0, width, height, source->mask,
                                    source->alpha, -1, source->mask ? 1 : 0, 1);
    if (!copy) return nullptr;
    pixels = copy;
    if (source->mask || source->alpha) {
      flags |= 1;
      if (prepared) *prepared = 1;
    }
  }
  void* backing = a->allocVideoBitMap(width, height, pixels, flags);
  FreeMemory(copy);
  return backing;
}

ErrorCode AllocAdapterBitmapFromRGB(const uint32_t* pixels, int64_t keyColour, int32_t width,
                                    int32_t height, int32_t modulo, uint32_t flags,
                                    BitmapHandle** outBitmap, int32_t* outKind) {
  *outBitmap = nullptr;
  if (outKind) *outKind = 0;
  if (!AdapterMakesVideoBitmaps()) return ERR_NONE;
  if (width <= 0 || height <= 0 || modulo < width) return ERR_BITMAP;
  auto* argb = static_cast<uint32_t*>(
      AllocMemoryArray(static_cast<size_t>(width) * static_cast<size_t>(height), 4, 0));
  if (!argb) return ERR_MEM;
  bool alphaFromPixels = (flags & (2 | 8)) != 0, keyed = !alphaFromPixels && keyColour != -1;
  uint32_t key = static_cast<uint32_t>(keyColour) & 0xFFFFFF;
  for (int32_t y = 0; y < height; ++y) {
    const uint32_t* row = pixels + static_cast<size_t>(y) * static_cast<size_t>(modulo);
    uint32_t* out = argb + static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int32_t x = 0; x < width; ++x) {
      uint32_t rgb = row[x] & 0xFFFFFF;
      uint32_t top = alphaFromPixels ? row[x] >> 24 : (keyed && rgb == key ? 0 : 0xFF);
      out[x] = top << 24 | rgb;
    }
  }
  int32_t kind = alphaFromPixels ? 1 : keyed ? 2 : 0;
  uint32_t prepared = 0;
  AdapterBitmapSource source{argb, nullptr, nullptr, nullptr};
  void* backing = AllocAdapterBitmap(width, height, 8 | (kind ? 1 : 0), &prepared, &source);
  FreeMemory(argb);
  if (!backing) return ERR_BITMAP;
  BitmapHandle* h = NewBitmapHandle(BITMAP_PIXELS, backing, width, height);
  if (!h) {
    const DisplayAdapter* a = GetDisplayAdapter();
    if (a->freeVideoBitMap) a->freeVideoBitMap(backing);
    return ERR_MEM;
  }
  h->video = 1;
  h->prepared = prepared;
  *outBitmap = h;
  if (outKind) *outKind = kind;
  return ERR_NONE;
}

ErrorCode ReadAdapterBitmapPixels(BitmapHandle* handle, BitmapHandle* dest, int32_t width,
                                  int32_t height, BitmapHandle** outAlpha) {
  if (outAlpha) *outAlpha = nullptr;
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!IsRealVideoBitmap(handle) || !dest) return ERR_WRONGUSAGE;
  VideoPixels read{a};
  int32_t w = 0, h = 0;
  if (a->readVideoPixels) read.pixels = a->readVideoPixels(handle->backing, &w, &h);
  if (!read.pixels || w <= 0 || h <= 0) return ERR_READVIDEOPIXELS;
  uint32_t format = a->pixelFormat;
  bool carriesAlpha = format >= PIXFMT_ARGB32 && format <= PIXFMT_ABGR32;
  if (outAlpha && handle->prepared && !carriesAlpha) return ERR_WRONGUSAGE;
  BitmapLock lock;
  if (!LockBitmap(dest, 0, &lock)) return ERR_LOCKBMAP;
  int32_t cw = std::min({width, w, lock.width}), ch = std::min({height, h, lock.height});
  int bpp = lock.bytesPerPixel;
  bool stored = lock.pixelFormat <= PIXFMT_ABGR32 && (bpp == 2 || bpp == 3 || bpp == 4);
  for (int32_t y = 0; stored && y < ch; ++y) {
    const uint32_t* row = read.pixels + static_cast<size_t>(y) * static_cast<size_t>(w);
    for (int32_t x = 0; x < cw; ++x) {
      uint32_t v = ColorToPixel(PixelToColor(row[x], format, 0), lock.pixelFormat, 0);
      uint8_t* p = lock.address + Offset(x, y, lock.rowLength, bpp);
      if (bpp == 3) {
        p[0] = static_cast<uint8_t>(v >> 16);
        p[1] = static_cast<uint8_t>(v >> 8);
        p[2] = static_cast<uint8_t>(v);
      } else {
        StoreRaw(p, bpp, v);
      }
    }
  }
  UnlockBitmap(&lock);
  if (!outAlpha || !handle->prepared || cw <= 0 || ch <= 0) return ERR_NONE;
  BitmapHandle* alpha = AllocAlphaChannel(cw, ch, 0, nullptr, 0);
  BitmapLock al;
  if (!alpha || !LockBitmap(alpha, 0, &al)) {
    FreeAlphaChannel(alpha);
    return ERR_ALLOCALPHA;
  }
  for (int32_t y = 0; y < ch; ++y) {
    const uint32_t* row = read.pixels + static_cast<size_t>(y) * static_cast<size_t>(w);
    uint8_t* out = al.address + ByteOffset(0, y, al.rowLength);
    for (int32_t x = 0; x < cw; ++x)
      out[x] = static_cast<uint8_t>(PixelToColor(row[x], format, 1) >> 24);
  }
  UnlockBitmap(&al);
  *outAlpha = alpha;
  return ERR_NONE;
}

uint32_t AdapterDrawMode(const BitmapHandle* h, uint32_t capability) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a || !h || h->kind != BITMAP_PIXELS) return 0;
  uint32_t mode = 0;
  if (IsRealVideoBitmap(h))
    mode = QM_DRAWMODE_VIDEO;
  else if (h->adapterMade && (a->drawCapabilities & capability))
    mode = QM_DRAWMODE_BITMAP;
  // The adapter draws the pixels of a mask or alpha output as that plane.
  if (mode && h == SelectedOutputBitmap()) mode |= QM_DRAWMODE_SELECTED;
  return mode;
}

namespace {

// Hands the blit to the adapter's BltBitMap with the flags of its kind; a
// source or plane the adapter did not make travels as locked memory.
void sendBlit(const DisplayAdapter* a, BitmapHandle* source, int32_t sx, int32_t sy,
              BitmapHandle* dest, int32_t dx, int32_t dy, int32_t width, int32_t height,
              BitmapHandle* plane, bool isAlpha, uint32_t flags, const QmBlitParams* params) {
  if (IsRealVideoBitmap(source)) {
    flags |= QM_BLITBMP_VIDEOSOURCE;
    if (!source->prepared) flags |= QM_BLITBMP_NOALPHA;
  }
  if (plane && isAlpha) flags |= QM_BLITBMP_ALPHA;
  if (dest == SelectedOutputBitmap()) flags |= QM_BLITBMP_SELECTED;
  QmBlitRequest r = {};
  r.srcX = sx;
  r.srcY = sy;
  r.dstX = dx;
  r.dstY = dy;
  r.width = width;
  r.height = height;
  if (params) {
    r.params = params;
    flags |= QM_BLITBMP_PARAMS;
  }
  BitmapLock sourceLock{}, planeLock{};
  if (!IsAdapterBacked(source)) {
    if (!LockBitmap(source, 1, &sourceLock)) return;
    r.source = QmPixelSource{sourceLock.address, sourceLock.rowLength * sourceLock.bytesPerPixel,
                             sourceLock.pixelFormat, sourceLock.width, sourceLock.height};
  }
  if (plane && IsAdapterBacked(plane)) {
    r.maskBacking = plane->backing;
  } else if (plane && LockBitmap(plane, 1, &planeLock)) {
    if (isAlpha) {
      r.alphaBytes = planeLock.address;
      r.alphaBytesPerRow = planeLock.rowLength;
    } else {
      r.maskBits = planeLock.address;
      r.maskBytesPerRow = planeLock.rowLength;
    }
  }
  a->bltBitMap(IsAdapterBacked(source) ? source->backing : nullptr, dest->backing, &r, flags);
  if (planeLock.token) UnlockBitmap(&planeLock);
  if (sourceLock.token) UnlockBitmap(&sourceLock);
}

}  // namespace

bool AdapterBlit(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                 int32_t dy, int32_t width, int32_t height, BitmapHandle* plane, bool isAlpha,
                 uint32_t capability) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a || !source || !dest) return false;
  uint32_t flags;
  if (IsRealVideoBitmap(dest)) {
    flags = QM_BLITBMP_VIDEODEST;
  } else if ((a->drawCapabilities & capability) && source->adapterMade && dest->adapterMade &&
             (!plane || plane->adapterMade)) {
    flags = QM_BLITBMP_ADAPTER;
  } else {
    return false;
  }
  // Taken either way: what the adapter cannot draw is not drawn.
  if (a->bltBitMap && inside(source, sx, sy, width, height) && inside(dest, dx, dy, width, height))
    sendBlit(a, source, sx, sy, dest, dx, dy, width, height, plane, isAlpha, flags, nullptr);
  return true;
}

bool AdapterTakesBlitParams(const BitmapHandle* dest) {
  const DisplayAdapter* a = GetDisplayAdapter();
  return a && a->bltBitMap && dest && (IsRealVideoBitmap(dest) || dest->adapterMade);
}

void AdapterBlitParams(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                       int32_t dy, int32_t width, int32_t height, const BlitParams* params,
                       BitmapHandle* alpha) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!source || !params || !AdapterTakesBlitParams(dest) || !inside(source, sx, sy, width, height))
    return;
  QmBlitParams p = {};
  p.flags = (params->flags & BLITPARAMS_TRANSFORM ? QM_BLITPARAM_TRANSFORM : 0u) |
            (params->flags & BLITPARAMS_LEVEL ? QM_BLITPARAM_LEVEL : 0u);
  p.level = params->level;
  std::memcpy(p.matrix, params->matrix, sizeof p.matrix);
  p.anchorX = params->anchorX;
  p.anchorY = params->anchorY;
  p.boxWidth = params->flags & BLITPARAMS_TRANSFORM ? params->boxWidth : width;
  p.boxHeight = params->flags & BLITPARAMS_TRANSFORM ? params->boxHeight : height;
  // The adapter clips the box to the destination itself.
  sendBlit(a, source, sx, sy, dest, dx, dy, width, height, alpha, true,
           IsRealVideoBitmap(dest) ? QM_BLITBMP_VIDEODEST : QM_BLITBMP_ADAPTER, &p);
}

void InstallAdapterBitmapQuery() { SetAdapterBitmapFlagsQuery(supportedBitmapFlags); }
