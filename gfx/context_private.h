// The graphics folder's context record: the scratch memory that the blit
// and the transforms keep between calls, in one place, so that
// FreeGfxContext can release it and put the record back in its start state
// (the default member values below). The right-angle matrices stay beside
// the transforms: a constant table, built once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gfx/bitmap_private.h"
#include "gfx/gfx.h"
#include "platform/linux/platform.h"

// The blit's scratch buffer for combined clip masks, grown and never
// shrunk while a run lasts, and the fixed record and handle that describe
// its current use.
struct CachedPicture;

struct BlitScratch {
  uint8_t* buffer = nullptr;
  size_t size = 0;
  SoftBitmap record{};
  BitmapHandle handle{};
};

struct GfxContext {
  BlitScratch blitScratch;  // blit.cpp
  // The scaler's position tables, grown on demand (transform.cpp).
  int64_t* scaleX = nullptr;
  int64_t* scaleY = nullptr;
  size_t scaleXSize = 0, scaleYSize = 0;
  // Drawing settings the blits read (coords.cpp).
  int32_t maskMode = 0;
  int32_t alphaIntensity = -1;
  int32_t selectionMode = 0;
  // Clip regions (clipregion.cpp): the list in creation order, the current
  // output's active region, and the layer code's hooks.
  ObjectHead* clipList = nullptr;
  ClipRegion* activeClip = nullptr;
  const GraphicsLayerHooks* layerHooks = nullptr;
  // Async drawings in creation order (asyncdraw.cpp).
  ObjectHead* asyncList = nullptr;
  // The picture cache in insertion order (picturecache.cpp).
  CachedPicture* pictureCache = nullptr;
  // The frame-rate limit and the clock it reads (null: the system clock
  // and Delay; tests put in their own), the last frame while no display
  // exists, and the video recorder, which nothing starts (graphicscmds.cpp).
  int32_t fpsLimit = 60;
  void (*frameNow)(TimeValue* out) = nullptr;
  void (*frameSleep)(int32_t milliseconds) = nullptr;
  TimeValue lastFrameTime{};
  void* videoRecorder = nullptr;
  // Pointers in creation order (pointer.cpp).
  ObjectHead* pointerList = nullptr;
};

extern GfxContext gfxContext;

// Builds the matrices of 90, 180, 270, 360, -90, -180 and -270 degrees that
// RotateScaleBitmap recognises byte for byte (also done on first use).
void InitRightAngleTransforms();
// Grows the blit's scratch buffer to at least bytes; false when memory runs
// out (blit.cpp).
bool GrowBlitScratch(size_t bytes);
// Frees every clip region, telling the layer code first (clipregion.cpp).
void FreeAllClipRegions();
// Frees the scaler's position tables (transform.cpp).
void FreeTransformScratch();
