// What other folders call of the bitmap and pixel engine: pixel formats,
// bitmap handles, locks and blits, and the bitmap transforms. The kernels,
// request records and the rest of gfx/ are declared in gfx/*_private.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/linux/errors.h"
#include "engine/engine.h"
#include "runtime/runtime.h"

// ---- Pixel formats ----

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

// Colour <-> pixel value of a format. 15/16-bit formats keep the top 5 or 6
// bits of a channel and unpack c << 3 or c << 2. The value of a 3-byte
// pixel holds its first byte in bits 23-16 (stored most significant byte
// first): 0xRRGGBB for format 8, 0xBBGGRR for 9. Alpha travels only
// with keepAlpha (and only through 32-bit formats).
uint32_t ColorToPixel(ArgbColor colour, uint32_t format, int keepAlpha);

// ---- Bitmap handles and software bitmaps ----

struct BitmapHandle {
  uint32_t kind;
  void* backing;  // SoftBitmap*, or the adapter's object when video or adapterMade
  int32_t width, height;
  uint32_t video;        // an adapter's video bitmap
  uint32_t prepared;     // for a video bitmap: it carries alpha
  uint32_t adapterMade;  // made by an adapter that owns all bitmaps
};

// BitmapLock, the record a lock fills, is declared with the platform's
// services (platform.h), whose window side locks bitmaps too.

// Format of new software pixel bitmaps: 10 unless overridden (the X11 back
// end sets the visual's format). -1 clears the override.
void SetSoftBitmapFormatOverride(int64_t format);
int64_t GetSoftBitmapFormatOverride();  // -1 when none is set

// The most pixels one bitmap may hold: 2^28 (16384 x 16384, one GiB at 32
// bits per pixel), the bound the picture readers take by default too. A
// size past it is refused before anything is allocated, so a script's huge
// width and height end at once in the maker's out-of-memory error instead
// of claiming gigabytes; makers of pixel buffers on their way to a bitmap
// (gradients, textures, scaled copies) ask BitmapSizeFits first.
constexpr int64_t BITMAP_MAX_PIXELS = int64_t{1} << 28;
inline bool BitmapSizeFits(int64_t width, int64_t height) {
  return width > 0 && height > 0 && width <= INT32_MAX && height <= INT32_MAX &&
         width * height <= BITMAP_MAX_PIXELS;
}

// Allocation returns null when out of memory or refused (a size of 0 or
// less, or past BitmapSizeFits); callers report ERR_MEM, ERR_BITMAP,
// ERR_ALLOCALPHA or ERR_ALLOCMASK. Flags: bit 0 prepared, 8 video bitmap.
// extra describes the source for an adapter video bitmap (unused here).
BitmapHandle* AllocBitmap(int32_t width, int32_t height, uint32_t flags, const void* extra);
intptr_t GetSoftBitmapAttr(const BitmapHandle* handle, int32_t code);
void FreeBitmap(BitmapHandle* handle);  // null is ignored
// Every lock of a software bitmap for writing (and every query of its
// buffer's address) gives it a stamp that no bitmap had before, so an
// unchanged stamp proves that its pixels did not change since. 0, which
// proves nothing, for bitmaps the adapter keeps, buffers the caller owns and
// bitmaps never written.
uint64_t GetBitmapWriteStamp(const BitmapHandle* handle);
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

// Attribute by code (width 0, bytes per row 1/2, address 3/4, row length in
// pixels 13, height 14, video 18, prepared 19, backing 20, format 21, ...).
// Pointer-sized so that addresses survive.
intptr_t GetBitmapAttr(const BitmapHandle* handle, int32_t code);
// Tells the adapter that a video bitmap will be drawn into with its
// transparency (DoVideoBitMapMethod 1) and flags it prepared; nothing for
// other bitmaps.
ErrorCode PrepareVideoBitmap(BitmapHandle* handle);

// Lock flags: 1 read-only, 2 the first argument is a SoftBitmap record.
// Returns the token, 0 when the lock fails.
uintptr_t LockBitmap(void* bitmap, uint32_t flags, BitmapLock* lock);
void UnlockBitmap(BitmapLock* lock);
// The layout of a software pixel bitmap that LockBitmap would lock (format,
// bytes per pixel, row length, size; no address), without a lock; false for
// any other bitmap.
bool DescribeSoftBitmap(const BitmapHandle* handle, BitmapLock* layout);
// True while a software bitmap holds only the zero bytes it was allocated
// with: nothing has locked it or asked for its memory since. A new window's
// bitmaps answer "all black" from this without faulting in their pages.
bool SoftBitmapUntouched(const BitmapHandle* handle);

// Single pixels, lines and rectangles; coordinates outside the bitmap are
// clipped away. For masks, colour is an operation 0-5 (0, 2, 5 set, 1
// clear, 3 invert, 4 nothing).
uint32_t ReadBitmapPixel(BitmapHandle* handle, int32_t x, int32_t y, int32_t isMask);
void FillBitmapRect(BitmapHandle* handle, int32_t x, int32_t y, int32_t width, int32_t height,
                    ArgbColor colour);

// ---- Locked memory ----
// What the plug-in host API hands plug-ins: drawing on a lock's memory, the
// size of a backing and pixel values.

// Unpacks a pixel value of a format (alpha only with keepAlpha).
ArgbColor PixelToColor(uint32_t pixel, uint32_t format, int keepAlpha);
int32_t GetRawBitmapSize(const void* backing, int32_t which);  // 0 width, 1 height
// Kernels on a lock's memory; the caller keeps the rectangle inside.
void FillLockedRect(uint8_t* address, int32_t x, int32_t y, int32_t width, int32_t height,
                    ArgbColor colour, int32_t opacity, int32_t rowLength, uint32_t format);
// The line is clipped to width x height.
void DrawLineLocked(uint8_t* address, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                    ArgbColor colour, int32_t opacity, uint32_t format, int32_t rowLength,
                    int32_t width, int32_t height);
// Copies a rectangle between two pixel locks of one format: plainly, where
// a mask plane (format 15) has its bit set, or blended through an alpha
// plane (format 14); plane coordinates are the source's. The rectangle is
// clipped to both locks (and the plane) first. ERR_WRONGUSAGE for locks of
// different formats or a plane of another kind.
ErrorCode BltLocked(const BitmapLock* source, int32_t sx, int32_t sy, const BitmapLock* dest,
                    int32_t dx, int32_t dy, int32_t width, int32_t height, const BitmapLock* plane);
// The rectangle as 0xAARRGGBB (rows of width pixels; FreeMemory): top bytes
// from the mask (0xFF or 0; with alphaFromMask), the alpha channel, else
// 0xFF; keyColour (not -1) fills what a mask hides. Null when out of memory,
// the lock fails or the rectangle is not inside the bitmap.
uint32_t* ReadBitmapRectARGBMasked(BitmapHandle* handle, int32_t x, int32_t y, int32_t width,
                                   int32_t height, BitmapHandle* mask, BitmapHandle* alpha,
                                   int64_t keyColour, int32_t alphaFromMask, uint32_t lockFlags);

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
// The central blit. dest null means the current display, which the display
// library reports through its blit hooks; while no display exists only a
// blit into a bitmap with SAFEBLT_BITMAPONLY goes ahead, drawn as into a
// brush.
void SafeBlt(void* state, BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest,
             int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t sourceWidth,
             int32_t sourceHeight, int32_t destWidth, int32_t destHeight, uint32_t flags,
             BitmapHandle* mask, BitmapHandle* alpha, const BlitClip* clip);
// What the display adapter does itself in a blit of a brush in video
// memory, where it grants bitmap flags 512 (transforms) and 1024
// (opacity): the source drawn through the 2 x 2 matrix into a box of
// boxWidth x boxHeight (at the blit's position, already placed for the
// anchor), at level / 255 of its opacity, or both.
enum : uint32_t { BLITPARAMS_TRANSFORM = 0x1, BLITPARAMS_LEVEL = 0x2 };
struct BlitParams {
  uint32_t flags = 0;
  int32_t level = 255;
  double matrix[4] = {1, 0, 0, 1};
  double anchorX = 0, anchorY = 0;
  int32_t boxWidth = 0, boxHeight = 0;
};
// Whether the display adapter draws blits with parameters into the bitmap
// (one of its video bitmaps or of the bitmaps it makes).
bool AdapterTakesBlitParams(const BitmapHandle* dest);
// SafeBlt's blit-parameter mode: the parameters take the mask's place, and
// nothing is clipped (the box and the source differ in size; the adapter
// clips to its destination). The adapter draws the source rectangle into
// dest (null: the current display's drawing bitmap, whose box is then
// refreshed unless SAFEBLT_NOREFRESH) at dx, dy with the alpha channel.
void SafeBltWithParams(void* state, BitmapHandle* source, int32_t sx, int32_t sy,
                       BitmapHandle* dest, int32_t dx, int32_t dy, int32_t width, int32_t height,
                       uint32_t flags, const BlitParams* params, BitmapHandle* alpha);
// Shows the source through its mask over a background on the current
// display in one pass: what SafeBlt with SAFEBLT_BACKBUFFER | SAFEBLT_SCALED
// shows of a width x height bitmap that holds the background (at its 0, 0)
// with the source's rectangle at sx, sy blitted over it through the mask.
// The pixels go straight into the window bitmap, which is then shown.
// False, with nothing drawn, where one pass cannot show the same (no window
// bitmap, layers, a scaled display, an active clip region, a selected mask
// or alpha output, bitmaps the adapter draws, a source that does not cover
// the shown rectangle); the caller composes in a bitmap of its own then.
// With a series (or null), a frame that follows one the series drew at the same
// place over the same background writes only the pixels that change, as
// long as neither the window bitmap nor the background was locked for
// writing in between; anything else draws the whole rectangle. The
// window bitmap ends up the same either way.
struct MaskedOverSeries;
bool SafeBltMaskedOver(void* state, BitmapHandle* source, int32_t sx, int32_t sy,
                       int32_t sourceWidth, int32_t sourceHeight, BitmapHandle* mask,
                       BitmapHandle* background, int32_t dx, int32_t dy, int32_t width,
                       int32_t height, int32_t destWidth, int32_t destHeight,
                       MaskedOverSeries* series);
// What a series of SafeBltMaskedOver frames remembers of the last one: the
// write stamps of the window bitmap and the background after it, where it
// went and its mask over the shown rectangle. Zeroed: nothing drawn yet.
struct MaskedOverSeries {
  uint64_t windowStamp, backgroundStamp;  // 0: the next frame draws everything
  int32_t dx, dy, width, height;          // the shown rectangle
  int32_t backgroundX, backgroundY;       // its place in the background
  uint8_t* mask;                          // rows of maskRowBytes, bit 7 leftmost
  int32_t maskRowBytes;
  size_t maskBytes;
};
// Frees what the series holds and zeroes it.
void EndMaskedOverSeries(MaskedOverSeries* series);
// One colour drawn into a bitmap through runs of alpha values of a
// width x height image: what SafeBlt with the flags draws of a bitmap made
// from ARGB pixels that hold the colour with each alpha value as their
// alpha (0 where the alpha is 0), through the alpha channel made from
// them, without making either. Begin declines, with nothing locked or
// drawn, where that is not a plain alpha blit into the given bitmap (no
// bitmap or no SAFEBLT_BITMAPONLY, scaling or sprites of the display, an
// active clip region, bitmaps the adapter draws, a bitmap of another pixel
// format than new bitmaps have, or the pixel engine's fast paths switched
// off); the caller makes the bitmaps then. Rows may come in any order; the
// parts outside the blit's clipped rectangle are dropped. End unlocks.
struct ColourSpanBlit {
  BitmapLock lock;
  uint32_t pixel;  // the colour with alpha 255, in the bitmap's format
  int32_t sx, sy;  // the clipped rectangle in the image
  int32_t dx, dy;  // and where it goes
  int32_t width, height;
};
bool BeginColourSpanBlit(ColourSpanBlit* blit, ArgbColor colour, BitmapHandle* dest, int32_t dx,
                         int32_t dy, int32_t width, int32_t height, int32_t destWidth,
                         int32_t destHeight, uint32_t flags);
// Runs of one coverage in a row: length pixels from x (laid out as
// FreeType's span record, so that a rasterizer's row is handed on as it
// comes).
struct CoverageSpan {
  int16_t x;
  uint16_t length;
  uint8_t coverage;
};
// Row y of the image: each span's alpha is its coverage scaled by
// opacity / 255, rounded (the coverage itself at 255).
void ColourSpanBlitRow(const ColourSpanBlit* blit, int32_t y, const CoverageSpan* spans,
                       int32_t count, int32_t opacity);
void EndColourSpanBlit(ColourSpanBlit* blit);
// What SafeBlt needs of the current display. The display library installs
// these when it opens or makes a display, since gfx lies below it; without
// them, or without a current display, SafeBlt draws only into bitmaps.
struct DisplayRecord;
struct BlitDisplayState {
  BitmapHandle* windowBitmap;
  int32_t scaleWidth, scaleHeight;
  bool isDisplay;  // the output is a display window (not a screen)
  bool hasLayers;
  bool autoscale;
  // Outside double buffering: the mask or alpha channel being drawn into
  // as the output (null: none), and the mask and alpha channel drawn along
  // with a selected brush's pixels (null: none).
  BitmapHandle* selectedOutput;
  BitmapHandle *selectedMask, *selectedAlpha;
};
struct DisplayBlitHooks {
  // The current display and its state, or null when there is none.
  DisplayRecord* (*current)(BlitDisplayState* state);
  void (*refreshRect)(BitmapHandle* bitmap, int32_t sx, int32_t sy, DisplayRecord* display,
                      int32_t dx, int32_t dy, int32_t width, int32_t height, uint32_t flags);
  void (*refreshScaled)(BitmapHandle* source, int32_t sx, int32_t sy, DisplayRecord* display,
                        int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t scaledWidth,
                        int32_t scaledHeight, uint32_t flags, BitmapHandle* mask,
                        BitmapHandle* alpha, const BlitClip* clip);
  // With layers on: composes the display's layer stack over the rectangle
  // and shows it (null: the window bitmap's rectangle is shown as it is).
  void (*refreshLayers)(void* state, DisplayRecord* display, int32_t x, int32_t y, int32_t width,
                        int32_t height);
  // Whether a sprite lies over the rectangle of the display (null: none
  // ever), and the rectangle of the window bitmap shown again with the
  // sprites over it.
  int (*spritesOver)(DisplayRecord* display, int32_t x, int32_t y, int32_t width, int32_t height);
  void (*spriteRefresh)(void* state, DisplayRecord* display, int32_t x, int32_t y, int32_t width,
                        int32_t height);
  // Draws the sprites of the display that meet the rectangle (display
  // coordinates) into dest, whose origin lies at x, y (null: none ever).
  void (*drawSprites)(DisplayRecord* display, BitmapHandle* dest, int32_t x, int32_t y,
                      int32_t width, int32_t height);
};
void SetDisplayBlitHooks(const DisplayBlitHooks* hooks);
// SetDrawTagsDefault: the drawing library that reads display options
// registers the work of the command (the option table at index 1) when it
// opens; null removes it.
void SetDrawTagsDefaultHook(ErrorCode (*hook)(VmState* L));

// The blits lock both bitmaps and run the kernels; the caller has clipped.
// A rectangle that does not lie inside both bitmaps is not drawn.
void BltBitmapToTarget(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                       int32_t dy, int32_t width, int32_t height);

// ---- Bitmap transforms ----

// New handles; outputs written only on success.

// Scales the source rectangle to destWidth x destHeight (mode non-zero:
// smooth) into destination, or into new handles when destination is null.
// A destination size below 1 does nothing and returns 0.
ErrorCode TransformBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha, int32_t x,
                          int32_t y, BitmapHandle* destination, int32_t sourceWidth,
                          int32_t sourceHeight, int32_t destWidth, int32_t destHeight, int32_t mode,
                          BitmapHandle** outBitmap, BitmapHandle** outMask,
                          BitmapHandle** outAlpha);
// The top-left width x height pixels of a bitmap as a new 0xAARRGGBB
// buffer (rows packed, FreeMemory), its mask (visible 255, else 0) or
// else its alpha channel giving the alpha bytes; null when out of memory
// or the bitmap cannot be read.
uint32_t* BitmapToARGBWithAlpha(BitmapHandle* handle, BitmapHandle* mask, BitmapHandle* alpha,
                                int32_t width, int32_t height);
// Nearest or smooth (flags non-zero) scaling of a raw rectangle, the row
// lengths (modulos) counted in pixels; without a
// destination a new destWidth x destHeight x 4-byte buffer (FreeMemory).
// Null when out of memory.
uint8_t* ScalePixelBuffer(const void* source, int32_t sx, int32_t sy, int32_t sourceWidth,
                          int32_t sourceHeight, void* destination, int32_t dx, int32_t dy,
                          int32_t destWidth, int32_t destHeight, int32_t sourceModulo,
                          int32_t destModulo, uint32_t format, int32_t flags);

// ---- Masks, alpha channels and pixel buffers ----

enum : uint32_t { BITMAP_PIXELS = 0, BITMAP_ALPHA = 1, BITMAP_MASK = 2 };
// memory (with its rowBytes) wraps the caller's buffer instead of owning one.
BitmapHandle* AllocAlphaChannel(int32_t width, int32_t height, int32_t clear, uint8_t* memory,
                                int32_t rowBytes);
// model: a pixel bitmap whose row length the mask rows line up with.
BitmapHandle* AllocBitMask(const BitmapHandle* model, int32_t width, int32_t height, int32_t clear,
                           uint8_t* memory, int32_t rowBytes);
// Mask and alpha rectangles (clipped to the bitmaps).
void MaskRectOp(BitmapHandle* mask, int32_t x, int32_t y, int32_t width, int32_t height,
                int32_t op);
void MaskToAlphaRect(BitmapHandle* mask, int32_t mx, int32_t my, BitmapHandle* alpha, int32_t ax,
                     int32_t ay, int32_t width, int32_t height, uint8_t value);
void AlphaToMaskRect(BitmapHandle* alpha, int32_t ax, int32_t ay, BitmapHandle* mask, int32_t mx,
                     int32_t my, int32_t width, int32_t height, int32_t op);
void FillAlphaRect(BitmapHandle* alpha, int32_t x, int32_t y, int32_t width, int32_t height,
                   uint8_t value);
// keyColour -1: no mask. Flag 8 (or 2 with tryAdapter): an alpha channel from
// the top bytes. Results: 0, ERR_BITMAP, ERR_ALLOCMASK or ERR_ALLOCALPHA.
ErrorCode CreateBitmapFromRGB(const uint32_t* pixels, int64_t keyColour, int32_t width,
                              int32_t height, int32_t modulo, int32_t tryAdapter, uint32_t flags,
                              void* display, BitmapHandle** outBitmap, BitmapHandle** outMask,
                              BitmapHandle** outAlpha);

// A 0xAARRGGBB copy (rows of width pixels, from AllocMemory, freed with
// FreeMemory) of the rectangle; null when out of memory (the size is
// checked for overflow), the lock fails or the rectangle does not lie
// inside the bitmap.
uint32_t* ReadBitmapRectARGB(BitmapHandle* handle, int32_t x, int32_t y, int32_t width,
                             int32_t height, uint32_t lockFlags);

// ---- Transforms and image kernels on bitmaps ----

// The 2 x 2 matrix (a, b, c, d) of a rotate-and-scale: from the sizes when
// they differ from the old ones (0 keeps a size), else from the scale
// factors, then turned by (360 - angle) degrees.
void BuildRotateScaleMatrix(double matrix[4], int32_t newWidth, int32_t newHeight, int32_t oldWidth,
                            int32_t oldHeight, double scaleX, double scaleY, double angle);
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
// A singular matrix is ERR_WRONGUSAGE.
ErrorCode RotateScaleBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                            int32_t x, int32_t y, int32_t width, int32_t height,
                            const double matrix[4], int32_t smooth, int32_t reserved,
                            BitmapHandle** outBitmap, BitmapHandle** outMask,
                            BitmapHandle** outAlpha, int32_t* outWidth, int32_t* outHeight);

// Convolution in place: Gaussian blur ('b'), emboss ('e'), edge ('g'),
// sharpen ('s'); the alpha channel, when given, after the colours.
enum : int32_t {
  CONVOLVE_BLUR = 98,
  CONVOLVE_EMBOSS = 101,
  CONVOLVE_EDGE = 103,
  CONVOLVE_SHARPEN = 115
};
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

// The brush commands' kernels.
// One pixel (isMask: the mask operation of FillBitmapRect's table);
// outside the bitmap nothing happens.
void WriteBitmapPixel(BitmapHandle* handle, int32_t x, int32_t y, uint32_t colour, int32_t isMask);
// rows rows of the source's bytes per row, each byte * intensity / 255.
void CopyBitmapPixels(BitmapHandle* sourceAlpha, BitmapHandle* destAlpha, int32_t rows,
                      int32_t intensity);
void InvertByteRect(uint8_t* bytes, int32_t rows, int32_t rowBytes);
// Distortion methods. Perspective control points are quadruples
// (u, v, x, y): source point (u, v) goes to destination point (x, y).
enum : int32_t {
  DISTORT_PERSPECTIVE = 4,
  DISTORT_ARC = 9,
  DISTORT_POLAR = 10,
  DISTORT_BARREL = 12
};
// The output gets a mask when the source has one, or has neither and
// filtering is off; otherwise an alpha channel.
ErrorCode DistortBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                        int32_t width, int32_t height, int32_t method, const double* arguments,
                        int32_t count, int32_t filtered, BitmapHandle** outBitmap,
                        BitmapHandle** outMask, BitmapHandle** outAlpha, int32_t* outWidth,
                        int32_t* outHeight);
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

// ---- Drawing settings the blits read ----

// The mask mode (0 visible, 1 invisible, 2 plain copy, 3 XOR, 4 AND, 5 OR,
// -1 plain copy of everything; 0 at start), the alpha intensity (-1 unset,
// else 0-255) and the selection mode of the output (0 normal, 1 pixels,
// mask and alpha channel together, 2 layers; 0 at start). The graphics and
// brush libraries set them.
void SetBlitMaskMode(int32_t mode);
int32_t GetBlitMaskMode();
void SetBlitAlphaIntensity(int32_t level);
int32_t GetBlitAlphaIntensity();
void SetBlitSelectionMode(int32_t mode);
int32_t GetBlitSelectionMode();

// ---- Positions, sizes and boxes ----

// Position constants: resolved when used, never stored resolved. Each
// carries an offset band of 5000 below to 5000 above.
constexpr int32_t POS_CENTER = -100000;
constexpr int32_t POS_LEFT = -90000;
constexpr int32_t POS_RIGHT = -80000;
constexpr int32_t POS_TOP = -70000;
constexpr int32_t POS_BOTTOM = -60000;
constexpr int32_t POS_LEFTOUT = -50000;
constexpr int32_t POS_RIGHTOUT = -40000;
constexpr int32_t POS_TOPOUT = -30000;
constexpr int32_t POS_BOTTOMOUT = -20000;
// A width or height that follows the other one in the source's proportions.
constexpr int32_t KEEPASPRAT = 100000;

// The area that a reference of 0 means: the current output's size, or the
// active clip region's rectangle. The display library installs it; without
// it a reference of 0 stays 0 and no offset is added.
struct OutputArea {
  int32_t x, y, width, height;
};
void SetOutputAreaSource(void (*source)(OutputArea* area));

// The coordinate with a position constant resolved against the reference
// width (height) for an object of that size, the anchor's share of the size
// added back; other coordinates are returned unchanged.
int32_t ResolveXPos(int32_t x, int32_t size, int32_t reference, double anchor);
int32_t ResolveYPos(int32_t y, int32_t size, int32_t reference, double anchor);
// Replaces a KEEPASPRAT width or height by the proportional one. Both sizes
// must be above 0 (ERR_BADDIMENSIONS); both KEEPASPRAT is ERR_WRONGUSAGE.
ErrorCode ResolveKeepAspectSize(int32_t sourceWidth, int32_t sourceHeight, int32_t* width,
                                int32_t* height);
// The box of a width x height rectangle at x, y turned by the matrix (m11,
// m12, m21, m22) about the pivot at the anchor fractions of its size.
void ComputeRotatedBox(int32_t x, int32_t y, int32_t width, int32_t height, double anchorX,
                       double anchorY, const double matrix[4], int32_t* outX, int32_t* outY,
                       int32_t* outWidth, int32_t* outHeight);
// Maps count points (x, y pairs) by the matrix about the pivot (the anchor
// fractions of width and height, truncated): p' = pivot + M (p - pivot),
// truncated. With normalise the points are then moved so that their
// minimum is 0. Writes the minimum and the size (max - min + 1) of the
// points before that move. NormalizePoints does the same without a matrix.
void TransformPoints(int32_t* points, size_t count, int32_t width, int32_t height, double anchorX,
                     double anchorY, const double matrix[4], int normalise, int32_t* outX,
                     int32_t* outY, int32_t* outWidth, int32_t* outHeight);
void NormalizePoints(int32_t* points, size_t count, int32_t* outX, int32_t* outY, int32_t* outWidth,
                     int32_t* outHeight);

// ---- Polygons, ellipses and colours ----

// Clips a closed polygon (count x, y pairs; the first point is repeated
// after the last) against one axis-parallel boundary: side 0 keeps
// x >= boundary, 1 y >= boundary, 2 x <= boundary, 3 y <= boundary. Writes
// the kept vertices and the crossings into out (room for 2 count + 2
// points) and returns their number.
int32_t WalkPolygonOutline(int32_t count, const int32_t* points, int32_t* out, int32_t boundary,
                           int32_t side);
// One point per whole degree from start to end inclusive on the ellipse in
// the (2 rx + 1) x (2 ry + 1) box at 0, 0; a part arc is closed with the
// centre and its first point. out needs room for (end - start + 3) points.
// Returns the number of points.
int32_t GenerateEllipsePoints(int32_t* out, int32_t rx, int32_t ry, int32_t start, int32_t end);
// Per channel c0 + ((c1 - c0) * weight >> 8), weight 0 to 256.
uint32_t MixColors(uint32_t c0, uint32_t c1, int32_t weight);
// Sets the bits of the polygon's interior in a mask; points outside the
// mask are clipped to it first. ERR_MEM when the scratch cannot be made.
ErrorCode FillAlphaPolygon(BitmapHandle* mask, const int32_t* points, int32_t count);

// ---- Clip regions ----

// A rectangle of the current output, optionally shaped by a mask, that
// drawing is restricted to while it is the active region. The automatic
// identifier of a region is the record itself. A temporary region (freed
// by the script while layers still draw through it, or a copy made for a
// transformed layer) is not found by identifier and goes once unused.
struct ClipRegion {
  ObjectHead head;  // type OBJTYPE_CLIPREGION
  int32_t x, y, width, height;
  BitmapHandle* mask;  // kind 2, owned; null for a plain rectangle
  int32_t maskRowBytes;
  int32_t temporary;
  int32_t locked;
  int32_t madeForLayer;
};
// FindClipRegion flags: 1 the caller uses the region (a locked one is
// ERR_LOCKEDOBJ; without 4 a region layers use is marked temporary), 2
// temporary regions are found too.
enum : uint32_t { CLIPFIND_USE = 1, CLIPFIND_TEMPORARY = 2, CLIPFIND_NOLAYERCHECK = 4 };
ErrorCode FindClipRegion(ObjectId id, ClipRegion** out, uint32_t flags);
// Frees the region of that identifier (an unknown one is an error only with
// report). The active region is cleared first; a region that layers still
// use loses its identifier and lingers as a temporary region.
ErrorCode FreeClipRegionById(VmState* L, ObjectId id, int report);
// Frees the temporary regions that no layer uses any more.
void PruneClipRegions();
// The current output's active region, or null. Output selections that
// keep their own region swap it with these.
ClipRegion* GetActiveClipRegion();
void SetActiveClipRegion(ClipRegion* region);
// A temporary copy of the region for a layer drawn through a matrix about
// the anchor: a mask is transformed with it, a rectangle under a pure scale
// is scaled, under any other matrix it becomes the mask of its turned
// rectangle. With useDisplayScale the display's scale factors replace both
// matrices; with placeByBox the origin is placed by the position matrix.
// Null when it cannot be made.
ClipRegion* BuildRotatedClipMask(VmState* L, ClipRegion* region, double anchorX, double anchorY,
                                 const double matrix[4], const double positionMatrix[4],
                                 int32_t placeByBox, int32_t useDisplayScale);

struct DisplayRecord;

// ---- Async drawings ----

// A drawing that its library advances one frame per AsyncDrawFrame instead
// of running it to its end in one command. The owning library keeps its
// state in userData and answers through the callbacks; the automatic
// identifier (the only kind) is the record itself.
enum : int32_t { ADF_FX = 0, ADF_MOVEOBJECT = 1, ADF_ANIM = 2 };
// Events sent to the event callback: 2 the frame count and 3 the current
// frame (returned); 4 seek to value (argument: address of the finished
// flag; 0 or an error code); 5 make frame value the current one; 6 store
// the object being drawn at the address in argument; 7 store a non-zero
// word at argument to claim a display query (value); 8 drawing into a
// background picture begins (argument 1) or ends (0). 0 and 1: the layer
// in argument was replaced by a new record (0) or rendered again (1).
enum : int32_t {
  ADEVENT_REPLACED = 0,
  ADEVENT_CHANGED = 1,
  ADEVENT_FRAMES = 2,
  ADEVENT_CURRENT = 3,
  ADEVENT_SEEK = 4,
  ADEVENT_SETFRAME = 5,
  ADEVENT_OBJECT = 6,
  ADEVENT_QUERY = 7,
  ADEVENT_BGPIC = 8,
};
struct AsyncDraw;
using AsyncDrawFrameFunc = ErrorCode (*)(void* userData, int32_t* finished);
using AsyncDrawFlagFunc = void (*)(void* userData, int32_t flag);
using AsyncDrawEventFunc = intptr_t (*)(int32_t code, intptr_t argument, void* userData,
                                        intptr_t value);
struct AsyncDraw {
  ObjectHead head;         // type OBJTYPE_ASYNCDRAW
  DisplayRecord* display;  // current when it was made
  int32_t kind;            // ADF_
  int32_t finished;        // set by drawFrame once the last frame is drawn
  AsyncDrawFrameFunc drawFrame;
  void* second;               // kept for the owner, never called here
  AsyncDrawFlagFunc finish;   // (user data, finished flag) when it ends
  AsyncDrawFlagFunc release;  // (user data, argument) when it is removed
  AsyncDrawEventFunc event;   // may be null
  void* userData;
};
// Appends a new drawing made on the current display; ERR_MEM.
ErrorCode AddAsyncDraw(int32_t kind, AsyncDrawFrameFunc drawFrame, void* second,
                       AsyncDrawFlagFunc finish, AsyncDrawFlagFunc release,
                       AsyncDrawEventFunc event, void* userData, AsyncDraw** out);
// ERR_FINDARRAY for an automatic identifier of nothing, else ERR_FINDASYNCDRAW.
ErrorCode FindAsyncDraw(ObjectId id, AsyncDraw** out);
// Unlinks the drawing, calls its release callback with argument and frees it.
void RemoveAsyncDraw(VmState* L, AsyncDraw* draw, int32_t argument);
// Removes every drawing with argument 0 (when the displays go).
void FreeAllAsyncDraws(VmState* L);
// 1 when some drawing was made on the display.
int IsAsyncDraw(const DisplayRecord* display);
// Event 7 to every ADF_FX drawing: the first non-zero answer, else 0.
intptr_t QueryAsyncDrawObject(intptr_t value);
void BroadcastAsyncDrawEvent(int32_t code, intptr_t argument);
// 1 when a drawing answers event 6 with the object.
int FindAsyncDrawByObject(void* object);
// Draws the next frame (its error is returned, the drawing stays), or
// with finishNow calls the finish callback and removes the drawing.
ErrorCode StepAsyncDraw(VmState* L, AsyncDraw* draw, int finishNow);

// ---- Gradient fills ----

// A gradient as scripts describe it: type 2 linear (0 and 1 are linear at
// 0 and 90 degrees), 3 radial, 4 conical; with colour pairs the start and
// end colours are not used. Centre, balance and border are fractions.
constexpr int32_t GRADIENT_PAIRS_MAX = 64;
struct GradientFill {
  int32_t type;
  ArgbColor startColour, endColour;
  int32_t pairCount;
  double angle;
  ArgbColor colours[GRADIENT_PAIRS_MAX];
  double positions[GRADIENT_PAIRS_MAX];
  double centreX, centreY, balance, border;
};
// Centre 0.5, 0.5, balance 0.5, border 0, no pairs.
void InitGradientFill(GradientFill* gradient, int32_t type, ArgbColor start, ArgbColor end,
                      double angle);
// Fills the whole bitmap; ERR_LOCKBMAP when it cannot be locked,
// ERR_WRONGUSAGE for an unknown type.
ErrorCode FillBitmapGradient(BitmapHandle* bitmap, const GradientFill* gradient);

// ---- Picture cache ----

// Decoded pictures kept by file name so that brushes and anims loaded from
// one file share them. Names compare whole and without regard to case.
struct PictureHandle;
// Takes one use of the picture and a copy of the alpha channel (when
// given); ERR_MEM.
ErrorCode AddCachedPicture(const char* fileName, int32_t width, int32_t height, intptr_t value,
                           PictureHandle* picture, const BitmapHandle* alpha, intptr_t extra);
// The first entry of that name: ERR_CACHEERROR without one, or with
// wantAlpha when it has no alpha channel. The caller receives one more use
// of the picture and, with wantAlpha, a new copy of the alpha channel.
ErrorCode FindCachedPicture(const char* fileName, int wantAlpha, int32_t* width, int32_t* height,
                            intptr_t* value, PictureHandle** picture, BitmapHandle** alpha,
                            intptr_t* extra);
// Releases every entry's picture use and alpha channel.
void FreePictureCache();

// ---- Image files ----

// Writes width x height 0xAARRGGBB words (rows without gaps) as an image
// file by format id: 0 BMP, 1 PNG (with alpha when hasAlpha), 2 JPEG at quality, 3 GIF reduced
// to at most colors palette entries (keyColour, not -1, gets its own
// transparent index), 4 ILBM, or another id through the image-saver plug-ins
// (ERR_UNKNOWNIMGOUT when none has it). A file that cannot be opened is
// ERR_WRITEFILE with its name as error argument.
ErrorCode WriteImageFile(int32_t format, const uint32_t* pixels, int32_t width, int32_t height,
                         const char* fileName, int64_t keyColour, int32_t hasAlpha, int32_t quality,
                         int32_t colors, int32_t dither);
// A bitmap (with its mask or alpha channel) as an image file: converted to
// 0xAARRGGBB and written by WriteImageFile.
ErrorCode SaveBitmapImage(int32_t format, BitmapHandle* bitmap, int32_t width, int32_t height,
                          const char* fileName, BitmapHandle* mask, int64_t keyColour,
                          BitmapHandle* alpha, int32_t quality, int32_t colors, int32_t dither,
                          int32_t withAlpha);
// The save options at argument index: a table's "quality", "colors" and
// "dither" overwrite the presets; any other value is an optional quality
// (default 90). Returns 0; a field of the wrong type raises.
ErrorCode ReadImageSaveOptions(VmState* L, int index, int32_t* quality, int32_t* colors,
                               int32_t* dither);
// The codecs that the built-in formats other than BMP need; the media
// folder installs them when its context is built (null: ERR_UNKNOWNIMGOUT).
struct ImageFileWriters {
  ErrorCode (*png)(const char* fileName, const uint32_t* pixels, int32_t width, int32_t height,
                   int32_t alpha);
  // The JPEG file's bytes in memory; release(holder) frees them.
  ErrorCode (*jpeg)(const uint32_t* pixels, int32_t width, int32_t height, int32_t quality,
                    void** holder, const uint8_t** data, size_t* length);
  void (*releaseJpeg)(void* holder);
  // One still picture of palette pens; transparentPen -1 for none.
  ErrorCode (*gif)(const char* fileName, uint8_t* pens, int32_t width, int32_t height,
                   uint32_t* palette, int32_t colourCount, int32_t transparentPen);
  ErrorCode (*ilbm)(const char* fileName, const uint32_t* pixels, int32_t width, int32_t height);
};
void SetImageFileWriters(const ImageFileWriters* writers);

// What the graphics library asks of the layer code about regions and
// async drawings; the layers library installs it (null entries: no layer
// uses a region, nothing is refreshed).
struct DisplayRecord;
struct GraphicsLayerHooks {
  // Non-zero while a layer draws through the region.
  int (*regionInUse)(ClipRegion* region);
  // The region goes away: the layers forget their cached copies of it.
  void (*forgetRegion)(ClipRegion* region);
  // Shows again the area of the object that an async drawing drew into a
  // background picture.
  void (*refreshObject)(VmState* L, DisplayRecord* display, void* object);
};
void SetGraphicsLayerHooks(const GraphicsLayerHooks* hooks);

// ---- What the graphics library asks of the folders above ----
// The graphics library's commands reach displays, brushes, sprites and
// picture files through these tables, which the composition root installs
// when the program loads. Without them there is no display (no list, no
// current or output display; nothing is refreshed, waited for or grabbed),
// pointers stay with the window system unmade, no brush or sprite is found
// (ERR_FINDBRUSH, ERR_FINDSPRITE) and no picture file is read
// (ERR_LOADPICTURE2).
struct BGPic;
struct DecodedImage;

// What drawing goes to besides a display's picture (OBJTYPE_DISPLAY), a
// background picture (OBJTYPE_BGPIC), a brush or an anim: a selected mask
// or alpha channel.
enum : int32_t {
  OUTPUT_MASK = 28,
  OUTPUT_ALPHA = 30,
};
// What the graphics library reads of a display (GfxDisplayHooks::values).
struct GfxDisplayValues {
  DisplayRecord* next;  // in the display list
  int32_t open;
  int32_t outputKind;    // what drawing goes to: OBJTYPE_DISPLAY, OBJTYPE_BGPIC, ... OUTPUT_ALPHA
  int32_t doubleBuffer;  // drawing goes to a back buffer
  int32_t layers;        // the display has layers on
  int32_t x, y, width, height;  // the window's position and inner size
  // The window's frame: left and top border, both borders of each direction.
  int32_t borderLeft, borderTop, borderHorizontal, borderVertical;
  double scaleX, scaleY;        // 0 or less: not scaled
  int32_t composesScaled;       // composes a scaled picture (autoscale with a scale size)
  int32_t bracketRequest;       // the display asks BeginRefresh to open a bracket
  int32_t collectingRefreshes;  // a refresh bracket is open
  BitmapHandle* outputBitmap;   // the bitmap drawing goes to (null: none)
  BitmapHandle* backBuffer;     // while double buffering (null: none)
  BGPic* picture;               // the background picture shown, null if none
  int32_t pictureWidth, pictureHeight;
  const uint32_t* palette;  // the picture's palette, null if none
  void* pointer;            // the pointer record shown (CreatePointer's), null: none
  int32_t pointerHidden;
};
// The pixels of a brush or of a sprite's frame with their size.
struct GfxPicture {
  BitmapHandle *bitmap, *mask, *alpha;  // mask and alpha may be null
  int32_t width, height;
};
struct GfxDisplayHooks {
  DisplayRecord* (*list)();
  DisplayRecord* (*current)();
  DisplayRecord* (*output)();  // the display whose output drawing goes to
  void (*refresh)(VmState* L, DisplayRecord* display, uint32_t flags);
  // Whether a plug-in callback of the display asks for refresh brackets.
  int (*callbacksWantBracket)(const DisplayRecord* display);
  void (*waitVBlank)(VmState* L, DisplayRecord* display, int32_t frame);
  ErrorCode (*monitorRect)(DisplayRecord* display, int32_t* x, int32_t* y, int32_t* width,
                           int32_t* height);
  // A copy of the screen area as a new bitmap.
  ErrorCode (*grab)(DisplayRecord* display, int32_t x, int32_t y, int32_t width, int32_t height,
                    int32_t reserved1, int32_t reserved2, BitmapHandle** bitmap);
  // The picture's pixels with its layers drawn over them.
  ErrorCode (*pictureWithLayers)(VmState* L, BGPic* picture, int32_t x, int32_t y, int32_t width,
                                 int32_t height, BitmapHandle** out, int* owned);
  // The attribute readers of displays, pictures, intervals and timeouts.
  ErrorCode (*registerAttributeReaders)();
  // Window-system pointers from an ARGB image with its hot spot.
  ErrorCode (*createPointer)(const uint32_t* argb, int32_t width, int32_t height, int32_t hotX,
                             int32_t hotY, void** out);
  void (*freePointer)(void* pointer);
  void (*setPointer)(DisplayRecord* display, void* pointer, int32_t kind);
  void (*showPointer)(DisplayRecord* display, int visible);
  void (*movePointer)(DisplayRecord* display, int32_t x, int32_t y);
  // The pointer's position in the display's window (0, 0 when unknown).
  void (*pointerPosition)(DisplayRecord* display, int32_t* x, int32_t* y);
  // What the library reads of a display, and what it sets: the pointer
  // record the display shows and whether it is hidden, an open refresh
  // bracket, the text margins (the text cursor goes to the left one), and
  // the time of the display's last frame (the frame-rate limit's).
  void (*values)(const DisplayRecord* display, GfxDisplayValues* out);
  void (*setPointerState)(DisplayRecord* display, void* pointer, int hidden);
  void (*setRefreshBracket)(DisplayRecord* display, int open);
  void (*setTextMargins)(DisplayRecord* display, int32_t left, int32_t right);
  TimeValue* (*lastFrameTime)(DisplayRecord* display);
};
void SetGfxDisplayHooks(const GfxDisplayHooks* hooks);  // null: the defaults
struct GfxObjectHooks {
  // A brush's pixels (its bitmap null while it has none).
  ErrorCode (*brush)(VmState* L, ObjectId id, GfxPicture* out, uint32_t flags);
  // A frame (from 1) of a sprite, its own or a linked sprite's, at the
  // sprite's size: ERR_FINDSPRITE without the sprite, ERR_ANIMFRAME for a
  // frame it does not have.
  ErrorCode (*spriteFrame)(ObjectId id, int32_t frame, GfxPicture* out);
};
void SetGfxObjectHooks(const GfxObjectHooks* hooks);  // null: the defaults
struct GfxPictureFileHooks {
  // Opens and decodes a picture file (the image codecs' LoadImageFile).
  ErrorCode (*load)(const char* fileName, const char* loader, const char* adapter,
                    const int32_t* basePalette, int32_t penColour, int32_t maskMode,
                    DecodedImage** image, uint32_t** palette, int32_t* transparentColour,
                    int32_t* width, int32_t* height, int32_t* hasAlpha, int32_t* isNative,
                    int32_t* format);
  void (*free)(DecodedImage* image);  // null is ignored
};
void SetGfxPictureFileHooks(const GfxPictureFileHooks* hooks);  // null: the defaults

// ---- Context record ----
// The folder's mutable state (scratch tables of the transforms) lives in one
// record. Init puts it in its start state; Free releases whatever it still
// holds and leaves it in the start state. The library table calls both.
void InitGfxContext();
void FreeGfxContext();

// ---- The graphics library ----

struct VmState;
// Registers the "graphics" commands and constants; ERR_MEM when memory runs
// out.
ErrorCode OpenGraphicsLibrary(VmState* L);
// Shut-down of the library: the picture cache, every async drawing, every clip region (the
// layer code told first) and the blit scratch buffer.
void CloseGraphicsLibrary(VmState* L);

// ---- Kernels of the transition effects (gfx/transitionkernels.cpp) ----

// A threshold transition step over width x height pixels: a pixel is shown
// when its map byte (packed rows of width bytes) is below threshold (at or
// above it with invert); shown pixels take the source mask's bit, or the
// source alpha's byte in byteMode (set or 255 without a source), the
// others are cleared. dest is a mask, or an alpha channel in byteMode.
void ThresholdMaskBitmap(BitmapHandle* source, BitmapHandle* dest, int32_t width, int32_t height,
                         const uint8_t* map, int32_t byteMode, int32_t invert, int32_t threshold);
// Entries of the ripple sine table (sin of 0, 0.001, 0.002 ...).
constexpr int32_t RIPPLE_SINE_ENTRIES = 6300;
// The sine table and the distance of every pixel of width x height to the
// centre (cx, cy), row by row.
void BuildRippleTables(double* sine, int32_t* distances, int32_t width, int32_t height, int32_t cx,
                       int32_t cy);
// One frame of the water transition, width x height from the top-left
// corners: every pixel of dest takes the pixel displaced radially by the
// wave of frame (amplitude frame x amplitudeStep up to framesPerHalf, then
// falling) from source, mixed with second's at level frame x 255 / (2 x
// framesPerHalf). With sourceAlpha the fade is of the opacity instead:
// dest takes the displaced source pixel and destAlpha its displaced alpha
// at that level (255 minus it with fadeOut). ERR_LOCKBMAP when a bitmap
// cannot be locked or their formats differ; nothing is drawn then.
ErrorCode RippleTransitionFrame(BitmapHandle* source, BitmapHandle* second, BitmapHandle* dest,
                                BitmapHandle* sourceAlpha, BitmapHandle* destAlpha, int32_t width,
                                int32_t height, const int32_t* distances, const double* sine,
                                double waveLength, double amplitudeStep, int32_t framesPerHalf,
                                int32_t fadeOut, int32_t frame);

// ---- Kernels of the pixel-zoom, swirl and roll transitions
// (gfx/pixeltransitions.cpp) ----
// Each returns ERR_LOCKBMAP, drawing nothing, when a bitmap cannot be
// locked, does not cover width x height or the pixel formats differ.

// Pixelates width x height of source into dest in cells of cellSize (each
// cell takes its top-left pixel); the mask, or else the alpha channel, is
// pixelated with it when both its sides are given.
ErrorCode PixelateTransitionFrame(BitmapHandle* source, BitmapHandle* sourceMask,
                                  BitmapHandle* sourceAlpha, BitmapHandle* dest,
                                  BitmapHandle* destMask, BitmapHandle* destAlpha, int32_t width,
                                  int32_t height, int32_t cellSize);
// Entries of each swirl table (sin and cos of 0, 0.001, 0.002 ...).
constexpr int32_t SWIRL_TABLE_ENTRIES = 6300;
void BuildSwirlTables(double* sine, double* cosine);
// One swirl frame for an angle of 0 to 720 degrees (turning up to 360 and
// back): every pixel of dest takes the pixel turned about the centre from
// source, mixed with second's turned pixel at level angle x 255 / 720. With
// sourceAlpha the fade is of the opacity instead: destAlpha takes the
// turned alpha at that level (255 minus it with fadeOut).
ErrorCode SwirlTransitionFrame(BitmapHandle* source, BitmapHandle* second, BitmapHandle* dest,
                               BitmapHandle* sourceAlpha, BitmapHandle* destAlpha, int32_t width,
                               int32_t height, const double* sine, const double* cosine,
                               int32_t fadeOut, int32_t angle);
// The band of a paper roll at position (a row, or a column with columns):
// for i = 0 .. steps - 1, line position - steps + 1 + i of dest takes
// line position + trunc(angles[i] x steps / (2 pi)) of source, when both
// lie inside width x height; through the source mask or alpha (whose bits
// or bytes go to the dest planes) when given. *firstLine and *lineCount
// tell the lines drawn, which are consecutive (-1 and 0 when none).
ErrorCode RollBandFrame(BitmapHandle* source, BitmapHandle* sourceMask, BitmapHandle* sourceAlpha,
                        BitmapHandle* dest, BitmapHandle* destMask, BitmapHandle* destAlpha,
                        int32_t width, int32_t height, const double* angles, int32_t steps,
                        int32_t columns, int32_t position, int32_t* firstLine, int32_t* lineCount);
// Cross-fades count 32-bit pixels: each colour channel of out becomes
// old + ((fresh - old) x level >> 8) for a level of 0 to 256, and the
// alpha byte 0. out may be old or fresh.
void CrossFadePixelRow(const uint32_t* fresh, const uint32_t* old, uint32_t* out, int32_t count,
                       int32_t level);
// Tints count 32-bit pixels towards a colour: each colour channel c of out
// becomes c + ((the colour's - c) x level >> 8) for a level of 0 to 256,
// and the alpha byte 0. out may be in.
void TintPixelRow(const uint32_t* in, uint32_t* out, int32_t count, ArgbColor colour,
                  int32_t level);
// Blends count 32-bit pixels of source into dest: with w = alpha[i] x
// opacity / 255 (w = opacity without alpha), each byte d of dest (the
// alpha byte too) becomes d + ((s - d) x w + 127) / 255 where s >= d and
// d + ((s - d) x w - 127) / 255 where s < d, the quotients truncated: the
// distance weighted by w / 255 and rounded to the nearest, halves towards
// d. w is taken as 255 when larger.
void AlphaBlendPixelRow(uint32_t* dest, const uint32_t* source, const uint8_t* alpha, int32_t count,
                        int32_t opacity);
// The displacement pass of a water frame over 32-bit pixels: each pixel
// (x, y) of out, width x height, takes the pixel of picture at (x + f (x -
// cx), y + f (y - cy)), each coordinate truncated and then limited to the
// area, f being factors[distances[y x width + x]]. Rows are pixelRow and
// outRow pixels long.
void RippleDisplacePixels(const uint32_t* picture, int32_t pictureRow, uint32_t* out,
                          int32_t outRow, int32_t width, int32_t height, const int32_t* distances,
                          const double* factors, int32_t cx, int32_t cy);
// The displacement pass of a swirl frame over 32-bit pixels: with dx = (x
// - cx) sx and dy = (y - cy) sy, each pixel (x, y) of out whose entry r =
// radii[y x width + x] is not negative takes the pixel of picture at
// ((c dx - s dy) / sx + cx, (c dy + s dx) / sy + cy), c and s being
// cosine[r] and sine[r], each coordinate truncated and then limited to
// the area; the others take the pixel at (x, y).
void SwirlDisplacePixels(const uint32_t* picture, int32_t pictureRow, uint32_t* out, int32_t outRow,
                         int32_t width, int32_t height, const int32_t* radii, const double* sine,
                         const double* cosine, double cx, double cy, double sx, double sy);
// The opacity fades of a water and a swirl frame over locked 32-bit
// pixels, displaced as the two passes above: each pixel whose displaced
// sourceAlpha byte a is not 0 takes the displaced source pixel and the
// destAlpha byte a x level / 255; the others take the byte 0 and keep
// their pixel. A null sourceAlpha stands for one that is 255 everywhere.
// ERR_LOCKBMAP, drawing nothing, when a bitmap or plane is missing,
// cannot be locked or does not cover the area, or the pixels are not alike
// 32-bit ones.
ErrorCode RippleFadeFrame(BitmapHandle* source, BitmapHandle* sourceAlpha, BitmapHandle* dest,
                          BitmapHandle* destAlpha, int32_t width, int32_t height,
                          const int32_t* distances, const double* factors, int32_t cx, int32_t cy,
                          int32_t level);
ErrorCode SwirlFadeFrame(BitmapHandle* source, BitmapHandle* sourceAlpha, BitmapHandle* dest,
                         BitmapHandle* destAlpha, int32_t width, int32_t height,
                         const int32_t* radii, const double* sine, const double* cosine, double cx,
                         double cy, double sx, double sy, int32_t level);

// Non-zero while the video recorder records. No command starts one on
// this system, so it never does.
int VideoRecorderActive();
// The frame-rate limit in frames per second (never 0; 60 by default).
int32_t GetFPSLimit();
// The frame-rate limit: while the display is open, or when forced, sleeps
// until one frame interval has passed since the display's last frame (not
// when a second or more has passed); then the last frame is now. A null
// display uses the library's own last-frame time.
void WaitFrameInterval(DisplayRecord* display, int force);
// Waits for the current display's next frame (the wait behind VWait).
void WaitDisplayFrame(VmState* L, int32_t frame);
