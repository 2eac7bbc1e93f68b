// The bitmap layer's routing to the installed display adapter: which
// handles the adapter backs, the video bitmaps it makes from pixels and
// reads back, and the blits and drawing operations it takes over.
#pragma once

#include <cstdint>

#include "gfx/gfx.h"
#include "plugins/plugins.h"

// The installed display adapter, or null (everything runs in software).
const DisplayAdapter* BitmapAdapter();
bool AdapterMakesVideoBitmaps();  // QM_ADAPTER_VIDEOBITMAPS
bool AdapterOwnsBitmaps();        // QM_ADAPTER_OWNSBITMAPS
// Whether the handle's backing is an adapter object (a video bitmap or a
// bitmap of an adapter that owns all bitmaps), not a software record.
inline bool IsAdapterBacked(const BitmapHandle* h) { return h && (h->video || h->adapterMade); }
// A video bitmap that an adapter with video bitmaps backs (attribute 18
// set and 22 clear).
bool IsRealVideoBitmap(const BitmapHandle* h);

// The pixels, mask and alpha channel a video bitmap is made from; pixels
// (0xAARRGGBB, rows of width words) win over the bitmap.
struct AdapterBitmapSource {
  const uint32_t* pixels;
  BitmapHandle* bitmap;
  BitmapHandle* mask;
  BitmapHandle* alpha;
};
// A video bitmap's backing from the adapter's AllocVideoBitMap, or null.
// prepared (in: flags & 1) is set when the source pixels carry alpha.
void* AllocAdapterBitmap(int32_t width, int32_t height, uint32_t flags, uint32_t* prepared,
                         const AdapterBitmapSource* source);
// Takes a 0xAARRGGBB picture (rows modulo words apart) into a video bitmap
// when the adapter makes them: the top bytes become the bitmap's alpha with
// flags 2 or 8, else 0 where the RGB equals keyColour (not -1), else opaque.
// *outKind is 1 for alpha, 2 for a key colour, 0 for neither. Without such
// an adapter nothing is made and the result is 0 with *outBitmap null (the
// software path runs); a refusing adapter gives ERR_BITMAP.
ErrorCode AllocAdapterBitmapFromRGB(const uint32_t* pixels, int64_t keyColour, int32_t width,
                                    int32_t height, int32_t modulo, uint32_t flags,
                                    BitmapHandle** outBitmap, int32_t* outKind);
// Reads a video bitmap back into dest (a pixel bitmap the layer can lock),
// converting from the adapter's format; the top-left width x height that
// both hold. With outAlpha and a bitmap that carries alpha, also a new
// alpha channel of that size. ERR_READVIDEOPIXELS when the adapter cannot
// read it, ERR_ALLOCALPHA, or ERR_WRONGUSAGE for alpha in a format without.
ErrorCode ReadAdapterBitmapPixels(BitmapHandle* handle, BitmapHandle* dest, int32_t width,
                                  int32_t height, BitmapHandle** outAlpha);

// The adapter's mode for a pixel write, line or fill on the handle
// (QM_DRAWMODE_*), or 0 when it runs in software. capability: the
// operation's QM_DRAWCAP_* bit.
uint32_t AdapterDrawMode(const BitmapHandle* h, uint32_t capability);
// Hands a blit to the adapter when it takes it (a video destination, or
// both bitmaps its own and the capability bit set); plane is the mask or
// (isAlpha) alpha channel. False: the caller runs the software blit.
bool AdapterBlit(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                 int32_t dy, int32_t width, int32_t height, BitmapHandle* plane, bool isAlpha,
                 uint32_t capability);
// The blit of SafeBltWithParams, when the adapter takes it.
void AdapterBlitParams(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                       int32_t dy, int32_t width, int32_t height, const BlitParams* params,
                       BitmapHandle* alpha);
// Registers the platform's query of the bitmap flags the adapter supports.
void InstallAdapterBitmapQuery();
