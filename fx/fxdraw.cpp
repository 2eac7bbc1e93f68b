// The renderer frame protocol: allocating a renderer's work block, drawing
// one rectangle of the new picture to wherever the transition draws, the
// refresh that ends every frame.
#include <algorithm>
#include <cstring>

#include "fx/fx_private.h"

ErrorCode AllocFXPriv(FXState* state, size_t size) {
  void* block = AllocMemory(size, 1);
  if (!block) return ERR_MEM;
  std::memset(block, 0, size);
  state->priv = block;
  return ERR_NONE;
}

void BeginFXFrame(FXState* state) {
  if (state->layer) {
    state->layer->hidden = 0;
    state->layer->pending = 0;
  }
}

void BlitFXClipped(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* destination,
                   int32_t dx, int32_t dy, int32_t width, int32_t height, int32_t sourceWidth,
                   int32_t sourceHeight, int32_t destWidth, int32_t destHeight) {
  ClipBlitRect(nullptr, &sx, &sy, &dx, &dy, &width, &height, sourceWidth, sourceHeight, destWidth,
               destHeight, 0);
  if (width <= 0 || height <= 0) return;
  BltBitmapToTarget(source, sx, sy, destination, dx, dy, width, height);
}

bool ClipFXPictureRect(const FXState* state, int32_t* sx, int32_t* sy, int32_t* width,
                       int32_t* height, int32_t sourceWidth, int32_t sourceHeight, int32_t* px,
                       int32_t* py) {
  int32_t left = std::max({0, -*sx, -*px}), top = std::max({0, -*sy, -*py});
  *sx += left;
  *px += left;
  *width -= left;
  *sy += top;
  *py += top;
  *height -= top;
  *width = std::min({*width, sourceWidth - *sx, state->width - *px});
  *height = std::min({*height, sourceHeight - *sy, state->height - *py});
  return *width > 0 && *height > 0;
}

void DrawFXBitmap(FXState* state, BitmapHandle* source, int32_t sx, int32_t sy, int32_t width,
                  int32_t height, int32_t sourceWidth, int32_t sourceHeight, int32_t px, int32_t py,
                  BitmapHandle* mask, BitmapHandle* alpha) {
  // Clip to the source and to the picture first: renderers may hand whole
  // bands that reach past a short last stripe or blind.
  if (!ClipFXPictureRect(state, &sx, &sy, &width, &height, sourceWidth, sourceHeight, &px, &py))
    return;
  if (state->layerMode) {
    LayerImageState* image = state->layer->display;
    uint32_t flags = state->reverse ? uint32_t{FXMASK_CLEAR} : 0u;
    if (state->silent || state->decorated || state->bufferedRefresh) flags |= FXMASK_NOSHOW;
    BlitFXRectMasked(source, sx, sy, image->own.bitmap, image->own.mask, image->own.alpha, px, py,
                     width, height, sourceWidth, sourceHeight, state->width, state->height, mask,
                     alpha, state, flags);
    return;
  }
  SafeBlt(state->vm, source, sx, sy, state->dest, state->x + px, state->y + py, width, height,
          sourceWidth, sourceHeight, state->outWidth, state->outHeight, state->bltFlags, mask,
          alpha, nullptr);
}

void DrawFXRect(FXState* state, int32_t sx, int32_t sy, int32_t width, int32_t height) {
  DrawFXBitmap(state, state->image, sx, sy, width, height, state->width, state->height, sx, sy,
               state->mask, state->alpha);
}

void DrawFXBand(FXState* state, bool rows, int32_t pos, int32_t length) {
  if (rows)
    DrawFXRect(state, 0, pos, state->width, length);
  else
    DrawFXRect(state, pos, 0, length, state->height);
}

void RefreshFXFrame(FXState* state) {
  if (!state->silent) {
    DisplayRecord* display = GetCurrentDisplay();
    if (!state->decorated && !(state->bufferedRefresh && state->layerMode)) {
      if (state->wholeRefresh && display && display->windowBitmap)
        RefreshDisplayRect(display->windowBitmap, 0, 0, display, 0, 0, state->outWidth,
                           state->outHeight, REFRESH_SCALE);
      else if (state->bufferedRefresh)
        RefreshRect(state->vm, state->x, state->y, state->width, state->height);
    } else if (state->layer) {
      LayerImageState* s = state->layer->display;
      BlitFXRect(state, s->own.bitmap, 0, 0, s->x, s->y, s->width, s->height, s->width, s->height,
                 s->own.mask, s->own.alpha, FXRECT_FORCE);
    }
  }
}

void EndFXFrame(FXState* state) {
  RefreshFXFrame(state);
  state->frame++;
}
