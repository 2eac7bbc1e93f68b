// What the transition runner, the commands and the renderer families share:
// the state of one running transition, the renderer type, the effect sets
// and the drawing helpers every renderer draws its frames through.
//
// Invariant: a renderer only decides which rectangles of the new picture a
// frame shows; where they go (the display, a bitmap or a layer's image
// state), the refresh, layers, objects and clean-up belong to the runner.
#pragma once

#include <cstdint>

#include "display/display.h"
#include "engine/engine.h"
#include "gfx/gfx.h"

struct FXState;

// A renderer: phase 0 prepares (done is null): allocates priv (zeroed,
// ERR_MEM on failure), replaces speed by its step and sets frameCount.
// Phase 1 draws the next frame, sets *done to 1 on the last one and
// increments frame. Phase 2 (whole-frame effects only) draws frame `frame`
// from scratch. While silent is set a renderer skips its display refresh.
using FXRenderer = ErrorCode (*)(FXState* state, int32_t* done);
// The renderer's clean-up of priv, called before priv is freed (completed
// as FreeFXState gets it).
using FXReleasePriv = void (*)(FXState* state, int32_t completed);

// Object kinds of a transition.
enum : int32_t {
  FXKIND_BGPIC = 1,
  FXKIND_BRUSH = 3,
  FXKIND_TEXTOBJECT = 8,
  FXKIND_BGPICPART = 13,
  FXKIND_SHOWLAYER = 22,
  FXKIND_HIDELAYER = 25,
  FXKIND_REMOVELAYER = 26,
};
// Phases of a renderer call.
enum : int32_t { FXPHASE_PREPARE = 0, FXPHASE_FRAME = 1, FXPHASE_JUMP = 2 };
// Effect ids that the runner itself treats specially.
constexpr int32_t FX_LAST_EFFECT = 140;  // RANDOMEFFECT, the highest id
constexpr int32_t FX_RANDOMEFFECT = 140;
constexpr int32_t FX_RANDOMALIAS = 113;  // no constant; runs as RANDOMEFFECT
constexpr int32_t FX_RANDOMPARAMETER = -1;
// "x" and "y" of DisplayTransitionFX when absent.
constexpr int32_t FX_NOPOSITION = 200000;

// One running transition. The commands fill a request of this layout and
// RunTransitionFX copies it; flags are 0 or 1. Owned by the runner while a
// synchronous run lasts, by the async draw object otherwise.
struct FXState {
  VmState* vm;
  qmLayer* layer;      // the layer the transition runs on, or null
  BitmapHandle* dest;  // direct drawing target; null: the current display
  FXRenderer render;
  FXReleasePriv releasePriv;
  int32_t kind;       // FXKIND_
  int32_t effect;     // 0 to 140
  ObjectId objectId;  // layer kinds: number = the layer's 1-based position
  int32_t x, y;       // the picture's top-left corner on the output
  int32_t speed;      // on entry the script's speed; the renderer's step after prepare
  int32_t requestedSpeed;
  int32_t parameter;  // -1 RANDOMPARAMETER
  int32_t width, height;
  int32_t outWidth, outHeight;
  int32_t undoLevel;
  BitmapHandle* image;  // the new picture
  BitmapHandle* background;
  BitmapHandle* previousImage;
  BitmapHandle *mask, *alpha;  // of the new picture, or null
  int32_t layerPrepared;
  DisplayTransform savedTransform;  // the layer's transform, cleared while frames run
  int32_t savedRotation;            // the layer had a transform to put back
  int32_t layerX, layerY;
  BGPic* oldBGPic;
  int32_t ownsImage, ownsMask, ownsAlpha;
  int32_t sourceX, sourceY;
  int32_t asLayer;
  int32_t reverse;  // hide instead of reveal
  uint32_t bltFlags;
  int32_t wholeRefresh;
  int32_t async;
  int32_t restart;  // written into the caller's request: run it all again
  int32_t sizeChanged;
  int32_t layerMode;
  int32_t forceRealtimeLayers;
  int32_t moveLayerBack, deleteLayer;
  int32_t* useCount;  // the object's busy count, or null
  int32_t optX, optY;
  int32_t bgpicEmu;
  BGPic* emuBGPic;
  ObjectId emuBGPicId;  // looked up again when asked, as the picture may go
  void* priv;           // the renderer's work block
  BitmapHandle *revealMask, *revealAlpha;
  int32_t phase;       // FXPHASE_
  int32_t frame;       // frames drawn so far, or the frame to jump to
  int32_t frameCount;  // set by the renderer when it prepares
  int32_t silent;
  int32_t rebuilding;
  int32_t finished;
  int32_t decorated;
  int32_t level;  // 0 to 255, fading renderers
  int32_t noBorderFade;
  int32_t bufferedRefresh;
  int32_t driveAsync;
  int32_t isScroll;
  int32_t recorderRefresh;
  int32_t emuWidth, emuHeight;
  // Runner bookkeeping beyond the request: the layer was added by this
  // command, the use count was released, the object behind useCount.
  int32_t addedLayer;
  int32_t useReleased;
  int32_t ownerType;  // object type whose busy count useCount is
  ObjectId ownerId;
  void* asyncDraw;              // the AsyncDraw that owns the state, or null
  int32_t layerHeld;            // the layer's async use is taken
  LayerImageState* savedState;  // layer mode: the layer's displayed state
  int32_t clearScreen;          // ClearScreen: paint the current picture
  uint32_t clearColour;
  int32_t emuRedrawn;    // the last RedrawFXBackground drew the emulated picture again
  int32_t layerChanges;  // the layer's count of new pictures that the frames follow
};

// ---- Effect sets ----

// Moving effects need a whole picture as the old state: background
// pictures and bgpicemu layers only.
int IsMovingFX(int32_t effect);
// Whole-frame effects can draw any frame from scratch (phase 2).
int IsWholeFrameFX(int32_t effect);
// Level effects blend with `level` instead of copying rectangles.
int IsLevelFX(int32_t effect);
int IsScrollFX(int32_t effect);

// ---- Effect table (from the X-list in fx/fxlist.h) ----

// The renderer of an effect id 0..139, or null out of range.
FXRenderer GetFXRenderer(int32_t effect);
// The row's parameter (stripe or blind size, direction), 0 out of range.
int32_t GetFXRowParameter(int32_t effect);
// The first constant name of an id, or null (113, out of range).
const char* GetFXName(int32_t effect);
// The 145 constants, ended by a null entry.
const ConstantTableEntry* GetFXConstants();

// ---- Runner ----

// Runs one transition (the request is copied): 0 or an error code; on
// success *results is the number of script results (1: the async draw
// object was pushed). request->restart is set when the caller must run
// the whole request again (the display changed size).
ErrorCode RunTransitionFX(FXState* request, int32_t* results);
// Brings the picture to frame n (a jump, or a replay after a rebuild).
ErrorCode AdvanceTransitionFX(FXState* state, int32_t n, int32_t keepIfCurrent);
// A random effect id: never 113 or 140, and never a moving effect when
// restricted.
int32_t PickRandomFX(int32_t restricted);

// ---- Step arithmetic ----

// -1, -2, -3 give extent / the normal, fast or slow divisor; any other
// value itself; below 1 becomes 1.
int32_t ResolveFXStep(int32_t speed, int32_t extent, int32_t normalDivisor, int32_t fastDivisor,
                      int32_t slowDivisor);
// 1 when n < 1, else n / step rounded up, plus 1 when exact is 0.
int32_t FXStepCount(int32_t n, int32_t step, int32_t exact);
// Gate renderers: the two half-extents of n after `speed` steps in the
// first two words of priv.
void SplitGateHalves(FXState* state, int32_t n, int32_t step);
// The extent that the stretch and zoom renderers show at a frame.
int32_t StretchExtentAt(const FXState* state, int32_t frame);

// ---- Drawing helpers ----

// BlitFXRectMasked flags.
enum : uint32_t {
  FXMASK_COPY = 1,       // copy mask / alpha as they are (else combine)
  FXMASK_THROUGH = 2,    // blit through the source mask / alpha
  FXMASK_CLEAR = 4,      // clear instead of copy (with FXMASK_FILL: fill)
  FXMASK_NOSHOW = 8,     // no BlitFXRect afterwards
  FXMASK_NOREVEAL = 16,  // leave revealMask / revealAlpha alone
  FXMASK_FILL = 0x40,
};
// BlitFXRect flags: 4 always recompose the stack; 32 refresh even with
// wholeRefresh.
enum : uint32_t { FXRECT_COMPOSE = 4, FXRECT_FORCE = 32 };

// Shows a rectangle of the layer stack in layer mode.
void BlitFXRect(FXState* state, BitmapHandle* source, int32_t srcX, int32_t srcY, int32_t dstX,
                int32_t dstY, int32_t width, int32_t height, int32_t srcWidth, int32_t srcHeight,
                BitmapHandle* mask, BitmapHandle* alpha, uint32_t flags);
// Copies a rectangle of the new picture into the layer's image state.
void BlitFXRectMasked(BitmapHandle* source, int32_t srcX, int32_t srcY, BitmapHandle* destBitmap,
                      BitmapHandle* destMask, BitmapHandle* destAlpha, int32_t dstX, int32_t dstY,
                      int32_t width, int32_t height, int32_t srcWidth, int32_t srcHeight,
                      int32_t dstWidth, int32_t dstHeight, BitmapHandle* srcMask,
                      BitmapHandle* srcAlpha, FXState* state, uint32_t flags);
// Fills a rectangle of the current drawing surface (flags 8: in layer mode
// without showing it).
void FillFXRect(FXState* state, int32_t x, int32_t y, int32_t width, int32_t height,
                ArgbColor colour, uint32_t flags);
// Clips against both bitmaps and copies what is left plainly.
void BlitFXClipped(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* destination,
                   int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t sourceWidth,
                   int32_t sourceHeight, int32_t destWidth, int32_t destHeight);
// Sets alpha to 255 where the picture is opaque (from the mask, from the
// alpha channel, or everywhere).
void FillOpaqueAlpha(BitmapHandle* destAlpha, BitmapHandle* mask, BitmapHandle* alpha,
                     int32_t width, int32_t height);
// Copies what lies under the rectangle (x, y, width, height of the output)
// into dest at 0, 0: the layer stack redrawn, `leaveOut` left out.
ErrorCode GrabFXBackground(FXState* state, BitmapHandle* dest, int32_t x, int32_t y, int32_t width,
                           int32_t height, qmLayer* leaveOut);
// Layer mode: the new picture copied into the layer's image state again,
// its mask or alpha channel made again from what is revealed so far
// (revealMask or revealAlpha, when kept) and the picture's own.
void RestoreFXReveal(FXState* state);
// The background picture that a bgpicemu layer emulates, or null (none,
// or it was freed).
BGPic* GetFXEmulatedBGPic(FXState* state);
// Draws again what a bgpicemu layer emulates when that picture is dirty
// (always with force): the saved old picture is grabbed again from what
// now lies under the layer, and a scrolled layer's area at the picture's
// size (emuWidth x emuHeight) is composed again. Clears the picture's
// dirty word; emuRedrawn tells the renderer whether it drew, so that it
// draws the parts of the frame that are already settled again.
ErrorCode RedrawFXBackground(FXState* state, int32_t force);

// ---- The renderer frame protocol ----

// Start of a phase 1 call: clears the layer's hidden and pending words.
void BeginFXFrame(FXState* state);
// Draws the rectangle (sx, sy, width, height) of the new picture: straight
// to the output, or into the layer's image state in layer mode (hidden
// instead of shown with reverse). Clipped to the picture.
void DrawFXRect(FXState* state, int32_t sx, int32_t sy, int32_t width, int32_t height);
// Draws a band of the new picture across the whole picture: rows pos to
// pos + length - 1 (rows set), else those columns.
void DrawFXBand(FXState* state, bool rows, int32_t pos, int32_t length);
// Clips the rectangle (sx, sy, width, height) of a bitmap of size
// sourceWidth x sourceHeight, to be drawn at picture position (px, py), to
// the bitmap and to the picture; false when nothing of it is left.
bool ClipFXPictureRect(const FXState* state, int32_t* sx, int32_t* sy, int32_t* width,
                       int32_t* height, int32_t sourceWidth, int32_t sourceHeight, int32_t* px,
                       int32_t* py);
// Draws a rectangle (sx, sy, width, height) of any picture-sized bitmap
// (the new picture, the background, a renderer's scratch) at picture
// position (px, py), the way DrawFXRect draws the new picture; mask and
// alpha may be null.
void DrawFXBitmap(FXState* state, BitmapHandle* source, int32_t sx, int32_t sy, int32_t width,
                  int32_t height, int32_t sourceWidth, int32_t sourceHeight, int32_t px, int32_t py,
                  BitmapHandle* mask, BitmapHandle* alpha);
// The refresh that ends a frame (nothing while silent); phase 2 calls it
// after drawing its frame from scratch.
void RefreshFXFrame(FXState* state);
// The shared frame tail of phase 1: RefreshFXFrame and the frame counted.
void EndFXFrame(FXState* state);
// Allocates priv (zeroed) of size bytes; ERR_MEM.
ErrorCode AllocFXPriv(FXState* state, size_t size);

// ---- Renderers ----

ErrorCode RenderStripesFX(FXState* state, int32_t* done);
ErrorCode RenderBlindsFX(FXState* state, int32_t* done);
ErrorCode RenderRevealFX(FXState* state, int32_t* done);
ErrorCode RenderLinesFX(FXState* state, int32_t* done);

// ---- Level effects (fade, crossfade, dissolve, water; reused by the
// pixel-zoom, swirl and roll renderers) ----

// Shows the whole picture once, unless silent: in layer mode the whole
// layer image composed (for frames written into the image state without
// showing), otherwise as RefreshFXFrame.
void RefreshFXWhole(FXState* state);
// The opacity channel of the new picture: a new alpha channel of its size,
// 255 wherever it is opaque (null when out of memory).
BitmapHandle* MakeFXOpacityChannel(const FXState* state);
// Direct mode: shows a frame composed in a work bitmap of the picture's
// size at the picture's position.
void ShowFXWork(FXState* state, BitmapHandle* work);
// The frame tail of the level renderers: RefreshFXWhole and the frame
// counted.
void EndFXLevelFrame(FXState* state);
// A software bitmap of 32-bit ARGB pixels that the renderers may read and
// write straight: its words and row length in pixels. False for adapter
// and video bitmaps and other formats.
bool FXPlainPixels(BitmapHandle* b, uint32_t** pixels, int32_t* row);

// Whether a layer beneath this one that overlaps it has an async draw
// object.
int OverlapLayerAnimating(qmLayer* layer);
// One untransformed layer beneath a crossfading layer that overlaps it:
// its image position and size and its image state's own bitmaps.
struct CrossFadeLayerRecord {
  qmLayer* layer;
  int32_t x, y, width, height;
  const void* words[3];
};
// The number of such layers; the first `capacity` are written to out when
// it is not null.
int32_t CountCrossFadeLayers(qmLayer* layer, CrossFadeLayerRecord* out, int32_t capacity);
ErrorCode RenderCurtainFX(FXState* state, int32_t* done);
ErrorCode RenderBarsFX(FXState* state, int32_t* done);
ErrorCode RenderQuartersFX(FXState* state, int32_t* done);
ErrorCode RenderGateFX(FXState* state, int32_t* done);
ErrorCode RenderRectFX(FXState* state, int32_t* done);
ErrorCode RenderDiagonalFX(FXState* state, int32_t* done);
ErrorCode RenderPushFX(FXState* state, int32_t* done);
ErrorCode RenderFlowFX(FXState* state, int32_t* done);
ErrorCode RenderPuzzleFX(FXState* state, int32_t* done);
ErrorCode RenderFadeFX(FXState* state, int32_t* done);
ErrorCode RenderCrossFadeFX(FXState* state, int32_t* done);
ErrorCode RenderDissolveFX(FXState* state, int32_t* done);
ErrorCode RenderWaterFX(FXState* state, int32_t* done);

// ---- Spiral, corner, quadrant, split and column renderers ----

ErrorCode RenderSpiralFX(FXState* state, int32_t* done);
ErrorCode RenderSwissFX(FXState* state, int32_t* done);
ErrorCode RenderQuadRectFX(FXState* state, int32_t* done);
ErrorCode RenderSplitFX(FXState* state, int32_t* done);
ErrorCode RenderUpNDownFX(FXState* state, int32_t* done);

// ---- Moving pictures: zoom, flip coin, crush, slide, card, turn down,
// strange push, stretch ----
ErrorCode RenderZoomFX(FXState* state, int32_t* done);
ErrorCode RenderFlipCoinFX(FXState* state, int32_t* done);
ErrorCode RenderCrushFX(FXState* state, int32_t* done);
ErrorCode RenderSlideFX(FXState* state, int32_t* done);
ErrorCode RenderCardFX(FXState* state, int32_t* done);
ErrorCode RenderTurnDownFX(FXState* state, int32_t* done);
ErrorCode RenderStrangePushFX(FXState* state, int32_t* done);
ErrorCode RenderStretchFX(FXState* state, int32_t* done);

// ---- Star, sun and clock-wipe renderers ----

// For every pixel: destAlpha is sourceAlpha (255 without one) where the
// mask bit is set and 0 elsewhere; with invert the other way round. Mask
// rows are bit-packed, the leftmost pixel in the top bit.
void MaskToAlpha(BitmapHandle* mask, BitmapHandle* destAlpha, BitmapHandle* sourceAlpha,
                 int32_t width, int32_t height, int32_t invert);
// Draws the rectangle (srcX, srcY, width, height) of the new picture
// through mask (or alpha) at output position (dstX, dstY). Direct mode:
// the old picture's rectangle goes into the work bitmap (both of the
// picture's size), the new picture over it through the mask, and the work
// rectangle to dest with bltFlags; without an old picture the work bitmap
// already holds what lies under the new picture, and without a work bitmap
// the new picture is blitted through the mask straight to dest. Layer mode:
// BlitFXRectMasked into the layer's image state at (dstX - x, dstY - y)
// with flags (plus FXMASK_NOSHOW while silent, decorated or buffered).
void BlitViaWorkMask(BitmapHandle* picture, int32_t srcX, int32_t srcY, BitmapHandle* dest,
                     int32_t dstX, int32_t dstY, int32_t width, int32_t height, int32_t srcWidth,
                     int32_t srcHeight, int32_t outWidth, int32_t outHeight, uint32_t bltFlags,
                     uint32_t flags, BitmapHandle* oldPicture, BitmapHandle* mask,
                     BitmapHandle* work, BitmapHandle* alpha, FXState* state);
ErrorCode RenderStarFX(FXState* state, int32_t* done);
ErrorCode RenderSunFX(FXState* state, int32_t* done);
ErrorCode RenderClockWipeFX(FXState* state, int32_t* done);

// ---- Pixel-zoom, swirl and roll renderers ----

ErrorCode RenderPixelZoomFX(FXState* state, int32_t* done);
ErrorCode RenderStrudelFX(FXState* state, int32_t* done);
ErrorCode RenderRollFX(FXState* state, int32_t* done);

// ---- Scroll renderers ----

ErrorCode RenderScrollFX(FXState* state, int32_t* done);
