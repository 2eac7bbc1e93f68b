// What the level renderers (fade, crossfade, dissolve, water) share, and
// the pixel-zoom, swirl and roll renderers reuse: the opacity channel of
// the new picture, the direct showing of a composed frame and the frame
// tail that shows the whole picture.
#include "fx/fx_private.h"

void RefreshFXWhole(FXState* state) {
  if (state->silent) return;
  if (state->layerMode) {
    if (!state->layer) return;
    // The frame was written into the layer's image state without showing
    // anything: the whole image is composed and shown.
    LayerImageState* s = state->layer->display;
    BlitFXRect(state, s->own.bitmap, 0, 0, s->x, s->y, s->width, s->height, s->width, s->height,
               s->own.mask, s->own.alpha, FXRECT_FORCE);
    return;
  }
  RefreshFXFrame(state);
}

BitmapHandle* MakeFXOpacityChannel(const FXState* state) {
  BitmapHandle* opacity = AllocAlphaChannel(state->width, state->height, 1, nullptr, 0);
  if (opacity) FillOpaqueAlpha(opacity, state->mask, state->alpha, state->width, state->height);
  return opacity;
}

void ShowFXWork(FXState* state, BitmapHandle* work) {
  SafeBlt(state->vm, work, 0, 0, state->dest, state->x, state->y, state->width, state->height,
          state->width, state->height, state->outWidth, state->outHeight, state->bltFlags, nullptr,
          nullptr, nullptr);
}

void EndFXLevelFrame(FXState* state) {
  RefreshFXWhole(state);
  state->frame++;
}

bool FXPlainPixels(BitmapHandle* b, uint32_t** pixels, int32_t* row) {
  if (!b || b->video || b->adapterMade || GetBitmapAttr(b, 21) != PIXFMT_ARGB32) return false;
  *pixels = reinterpret_cast<uint32_t*>(GetBitmapAttr(b, 23));
  *row = static_cast<int32_t>(GetBitmapAttr(b, 13));
  return *pixels != nullptr;
}
