// Drawing in layer mode: the transition draws into an image state of its
// own that stands in for the layer's displayed one while frames run (its
// mask or alpha channel holds what is revealed so far), and shows changed
// rectangles by composing the layer stack there. Also the helpers that
// fill, grab and refresh for every mode.
//
// Invariant: the image state's mask (or alpha channel) is set exactly on
// the revealed pixels that the new picture itself shows; revealMask and
// revealAlpha, when present, hold the revealed area without the picture's
// own transparency.
#include <algorithm>
#include <cmath>

#include "fx/fx_private.h"

namespace {

// A rectangle clipped to a plane of width x height; false when empty.
bool clipToPlane(int32_t* x, int32_t* y, int32_t* width, int32_t* height, int32_t planeWidth,
                 int32_t planeHeight) {
  if (*x < 0) {
    *width += *x;
    *x = 0;
  }
  if (*y < 0) {
    *height += *y;
    *y = 0;
  }
  *width = std::min(*width, planeWidth - *x);
  *height = std::min(*height, planeHeight - *y);
  return *width > 0 && *height > 0;
}

void setMaskRect(BitmapHandle* mask, int32_t x, int32_t y, int32_t width, int32_t height,
                 bool visible) {
  if (mask) MaskRectOp(mask, x, y, width, height, visible ? 0 : 1);
}

// Runs rows(s, d) with source locked for reading and dest for writing;
// nothing happens when either cannot be locked.
template <typename Rows>
void withLockedPair(BitmapHandle* source, BitmapHandle* dest, Rows rows) {
  BitmapLock s, d;
  if (!LockBitmap(source, 1, &s)) return;
  if (!LockBitmap(dest, 0, &d)) {
    UnlockBitmap(&s);
    return;
  }
  rows(s, d);
  UnlockBitmap(&d);
  UnlockBitmap(&s);
}

// Copies mask bits (source at sx, sy) into dest at dx, dy; the caller has
// clipped the rectangle to both.
void copyMaskBits(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                  int32_t dy, int32_t width, int32_t height) {
  withLockedPair(source, dest, [&](const BitmapLock& s, const BitmapLock& d) {
    for (int32_t j = 0; j < height; j++) {
      const uint8_t* srow = s.address + static_cast<ptrdiff_t>(sy + j) * s.rowLength;
      uint8_t* drow = d.address + static_cast<ptrdiff_t>(dy + j) * d.rowLength;
      for (int32_t i = 0; i < width; i++) {
        int32_t a = sx + i, b = dx + i;
        bool on = (srow[a >> 3] >> (7 - (a & 7))) & 1;
        if (on)
          drow[b >> 3] = static_cast<uint8_t>(drow[b >> 3] | (0x80 >> (b & 7)));
        else
          drow[b >> 3] = static_cast<uint8_t>(drow[b >> 3] & ~(0x80 >> (b & 7)));
      }
    }
  });
}

void copyAlphaBytes(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                    int32_t dy, int32_t width, int32_t height) {
  withLockedPair(source, dest, [&](const BitmapLock& s, const BitmapLock& d) {
    for (int32_t j = 0; j < height; j++)
      std::copy_n(s.address + static_cast<ptrdiff_t>(sy + j) * s.rowLength + sx, width,
                  d.address + static_cast<ptrdiff_t>(dy + j) * d.rowLength + dx);
  });
}

// Clears the bits of dest (width x height from 0, 0) that are clear in
// source.
void andMaskBits(BitmapHandle* source, BitmapHandle* dest, int32_t width, int32_t height) {
  withLockedPair(source, dest, [&](const BitmapLock& s, const BitmapLock& d) {
    for (int32_t j = 0; j < height; j++) {
      const uint8_t* srow = s.address + static_cast<ptrdiff_t>(j) * s.rowLength;
      uint8_t* drow = d.address + static_cast<ptrdiff_t>(j) * d.rowLength;
      for (int32_t i = 0; i < width; i++)
        if (!((srow[i >> 3] >> (7 - (i & 7))) & 1))
          drow[i >> 3] = static_cast<uint8_t>(drow[i >> 3] & ~(0x80 >> (i & 7)));
    }
  });
}

// Lowers each level of dest (width x height from 0, 0) to source's.
void minAlphaBytes(BitmapHandle* source, BitmapHandle* dest, int32_t width, int32_t height) {
  withLockedPair(source, dest, [&](const BitmapLock& s, const BitmapLock& d) {
    for (int32_t j = 0; j < height; j++) {
      const uint8_t* srow = s.address + static_cast<ptrdiff_t>(j) * s.rowLength;
      uint8_t* drow = d.address + static_cast<ptrdiff_t>(j) * d.rowLength;
      for (int32_t i = 0; i < width; i++) drow[i] = std::min(drow[i], srow[i]);
    }
  });
}

// A plain or masked copy between two bitmaps (rectangle already clipped).
void copyPixels(BitmapHandle* source, int32_t sx, int32_t sy, BitmapHandle* dest, int32_t dx,
                int32_t dy, int32_t width, int32_t height, int32_t sourceWidth,
                int32_t sourceHeight, int32_t destWidth, int32_t destHeight, BitmapHandle* mask,
                BitmapHandle* alpha) {
  SafeBlt(nullptr, source, sx, sy, dest, dx, dy, width, height, sourceWidth, sourceHeight,
          destWidth, destHeight, SAFEBLT_NOCLIPRECORD | SAFEBLT_BITMAPONLY | SAFEBLT_NOSPRITES,
          mask, alpha, nullptr);
}

}  // namespace

void BlitFXRectMasked(BitmapHandle* source, int32_t srcX, int32_t srcY, BitmapHandle* destBitmap,
                      BitmapHandle* destMask, BitmapHandle* destAlpha, int32_t dstX, int32_t dstY,
                      int32_t width, int32_t height, int32_t srcWidth, int32_t srcHeight,
                      int32_t dstWidth, int32_t dstHeight, BitmapHandle* srcMask,
                      BitmapHandle* srcAlpha, FXState* state, uint32_t flags) {
  if (srcX < 0 || srcY < 0) return;
  // Clip against both sizes, moving both corners together.
  int32_t x0 = std::max({0, -dstX}), y0 = std::max({0, -dstY});
  srcX += x0;
  srcY += y0;
  dstX += x0;
  dstY += y0;
  width -= x0;
  height -= y0;
  width = std::min({width, srcWidth - srcX, dstWidth - dstX});
  height = std::min({height, srcHeight - srcY, dstHeight - dstY});
  if (width <= 0 || height <= 0) return;
  bool keepReveal = (flags & FXMASK_NOREVEAL) != 0;
  BitmapHandle* revealMask = state ? state->revealMask : nullptr;
  BitmapHandle* revealAlpha = state ? state->revealAlpha : nullptr;
  if (flags & FXMASK_CLEAR) {
    bool fill = (flags & FXMASK_FILL) != 0;
    // Filling shows the picture as it is: its own mask or alpha channel
    // where it has one, so that its transparent pixels stay transparent.
    if (destAlpha) {
      if (fill && srcAlpha)
        copyAlphaBytes(srcAlpha, srcX, srcY, destAlpha, dstX, dstY, width, height);
      else if (fill && srcMask)
        MaskToAlphaRect(srcMask, srcX, srcY, destAlpha, dstX, dstY, width, height, 255);
      else
        FillAlphaRect(destAlpha, dstX, dstY, width, height, fill ? 255 : 0);
    } else if (destMask) {
      if (fill && srcMask)
        copyMaskBits(srcMask, srcX, srcY, destMask, dstX, dstY, width, height);
      else
        setMaskRect(destMask, dstX, dstY, width, height, fill);
    }
    if (!keepReveal) {
      if (revealAlpha) FillAlphaRect(revealAlpha, dstX, dstY, width, height, fill ? 255 : 0);
      if (revealMask) setMaskRect(revealMask, dstX, dstY, width, height, fill);
    }
    if (fill && destBitmap)
      copyPixels(source, srcX, srcY, destBitmap, dstX, dstY, width, height, srcWidth, srcHeight,
                 dstWidth, dstHeight, nullptr, nullptr);
  } else {
    if (destMask) {
      if (srcMask)
        copyMaskBits(srcMask, srcX, srcY, destMask, dstX, dstY, width, height);
      else if (srcAlpha)
        AlphaToMaskRect(srcAlpha, srcX, srcY, destMask, dstX, dstY, width, height, 0);
      else
        setMaskRect(destMask, dstX, dstY, width, height, true);
    } else if (destAlpha) {
      if (srcAlpha)
        copyAlphaBytes(srcAlpha, srcX, srcY, destAlpha, dstX, dstY, width, height);
      else if (srcMask)
        MaskToAlphaRect(srcMask, srcX, srcY, destAlpha, dstX, dstY, width, height, 255);
      else
        FillAlphaRect(destAlpha, dstX, dstY, width, height, 255);
    }
    if (!keepReveal) {
      if (revealAlpha) FillAlphaRect(revealAlpha, dstX, dstY, width, height, 255);
      if (revealMask) setMaskRect(revealMask, dstX, dstY, width, height, true);
    }
    if (destBitmap) {
      bool through = (flags & FXMASK_THROUGH) != 0;
      copyPixels(source, srcX, srcY, destBitmap, dstX, dstY, width, height, srcWidth, srcHeight,
                 dstWidth, dstHeight, through ? srcMask : nullptr,
                 through && !srcMask ? srcAlpha : nullptr);
    }
  }
  if (!(flags & FXMASK_NOSHOW) && state && state->layer) {
    LayerImageState* s = state->layer->display;
    BlitFXRect(state, destBitmap, dstX, dstY, s->x + dstX, s->y + dstY, width, height, dstWidth,
               dstHeight, destMask, destAlpha, 0);
  }
}

void BlitFXRect(FXState* state, BitmapHandle* source, int32_t srcX, int32_t srcY, int32_t dstX,
                int32_t dstY, int32_t width, int32_t height, int32_t srcWidth, int32_t srcHeight,
                BitmapHandle* mask, BitmapHandle* alpha, uint32_t flags) {
  qmLayer* layer = state->layer;
  DisplayRecord* display = GetCurrentDisplay();
  if (!layer || !display || !display->bgpic || !display->windowBitmap) return;
  bool filters = false;
  for (const FilterSlot& slot : layer->filters) filters = filters || slot.on;
  if (state->decorated) {
    GetFXLayerBounds(state->vm, layer, &dstX, &dstY, &width, &height);
    srcX = srcY = 0;
    if (!state->noBorderFade) {
      if (IsLevelFX(state->effect)) {
        layer->shadowFade = layer->borderFade = state->level + 1;
      } else {
        int32_t fade = state->frameCount > 0
                           ? static_cast<int32_t>(std::lround(static_cast<double>(state->frame) /
                                                              state->frameCount * 255.0))
                           : 255;
        fade = std::clamp(fade, 0, 255);
        layer->borderFade = (state->reverse ? 255 - fade : fade) + 1;
      }
    }
    if (filters) FreeFXLayerCaches(layer);
  }
  // Clip against the output.
  int32_t outWidth = display->bgpic->width, outHeight = display->bgpic->height;
  if (dstX < 0) {
    srcX -= dstX;
    width += dstX;
    dstX = 0;
  }
  if (dstY < 0) {
    srcY -= dstY;
    height += dstY;
    dstY = 0;
  }
  width = std::min(width, outWidth - dstX);
  height = std::min(height, outHeight - dstY);
  if (width <= 0 || height <= 0) return;
  LayerImageState* s = layer->display;
  bool compose = (flags & FXRECT_COMPOSE) || (s->clip && s->clip->mask) || mask || alpha ||
                 layer->transparency || layer->shadow.on || layer->border.on || filters ||
                 !IsFXLayerUncovered(layer) || state->decorated;
  if (compose) {
    RedrawFXLayers(state->vm, display->windowBitmap, dstX, dstY, width, height, nullptr);
    if (!state->wholeRefresh || (flags & FXRECT_FORCE))
      RefreshDisplayRect(display->windowBitmap, dstX, dstY, display, dstX, dstY, width, height,
                         REFRESH_SCALE);
    return;
  }
  if (!source) return;
  if (state->wholeRefresh)
    BlitFXClipped(source, srcX, srcY, display->windowBitmap, dstX, dstY, width, height, srcWidth,
                  srcHeight, outWidth, outHeight);
  else
    RefreshDisplayRect(source, srcX, srcY, display, dstX, dstY, width, height, 0);
}

void FillFXRect(FXState* state, int32_t x, int32_t y, int32_t width, int32_t height,
                ArgbColor colour, uint32_t flags) {
  DisplayRecord* display = GetCurrentDisplay();
  if (state->layerMode && state->layer) {
    LayerImageState* s = state->layer->display;
    BitmapHandle* bitmap = s->own.bitmap;
    if (!bitmap) return;
    int32_t w = static_cast<int32_t>(GetBitmapAttr(bitmap, 0));
    int32_t h = static_cast<int32_t>(GetBitmapAttr(bitmap, 14));
    if (!clipToPlane(&x, &y, &width, &height, w, h)) return;
    FillBitmapRect(bitmap, x, y, width, height, colour);
    if (s->own.mask) setMaskRect(s->own.mask, x, y, width, height, true);
    if (s->own.alpha) FillAlphaRect(s->own.alpha, x, y, width, height, 255);
    if (!(flags & FXMASK_NOSHOW))
      BlitFXRect(state, bitmap, x, y, s->x + x, s->y + y, width, height, w, h, nullptr, nullptr,
                 FXRECT_COMPOSE);
    return;
  }
  BitmapHandle* target = state->dest;
  bool refresh = false;
  if (!target && display) {
    if ((state->wholeRefresh && !state->recorderRefresh) || state->bufferedRefresh) {
      target = display->windowBitmap;
    } else {
      target = display->windowBitmap;
      refresh = true;
    }
  }
  if (!target) return;
  int32_t w = static_cast<int32_t>(GetBitmapAttr(target, 0));
  int32_t h = static_cast<int32_t>(GetBitmapAttr(target, 14));
  if (!clipToPlane(&x, &y, &width, &height, w, h)) return;
  FillBitmapRect(target, x, y, width, height, colour);
  if (refresh && !state->silent)
    RefreshDisplayRect(target, x, y, display, x, y, width, height, REFRESH_SCALE);
}

void FillOpaqueAlpha(BitmapHandle* destAlpha, BitmapHandle* mask, BitmapHandle* alpha,
                     int32_t width, int32_t height) {
  if (!destAlpha) return;
  if (mask)
    MaskToAlphaRect(mask, 0, 0, destAlpha, 0, 0, width, height, 255);
  else if (alpha)
    copyAlphaBytes(alpha, 0, 0, destAlpha, 0, 0, width, height);
  else
    FillAlphaRect(destAlpha, 0, 0, width, height, 255);
}

ErrorCode GrabFXBackground(FXState* state, BitmapHandle* dest, int32_t x, int32_t y, int32_t width,
                           int32_t height, qmLayer* leaveOut) {
  DisplayRecord* display = GetCurrentDisplay();
  if (!display || !display->bgpic) return ERR_NONE;
  int32_t outWidth = display->bgpic->width, outHeight = display->bgpic->height;
  int32_t cx = x, cy = y, cw = width, ch = height;
  if (!clipToPlane(&cx, &cy, &cw, &ch, outWidth, outHeight)) return ERR_NONE;
  OwnedBitmap temp(AllocBitmap(outWidth, outHeight, 0, nullptr));
  if (!temp) return ERR_BITMAP;
  if (display->layers && GetFXLayerPicture())
    RedrawFXLayers(state->vm, temp.get(), cx, cy, cw, ch, leaveOut);
  else if (display->windowBitmap)
    BltBitmapToTarget(display->windowBitmap, cx, cy, temp.get(), cx, cy, cw, ch);
  BlitFXClipped(temp.get(), cx, cy, dest, cx - x, cy - y, cw, ch, outWidth, outHeight, width,
                height);
  return ERR_NONE;
}

void RestoreFXReveal(FXState* state) {
  LayerTriple& own = state->layer->display->own;
  int32_t w = state->width, h = state->height;
  if (!own.bitmap || GetBitmapAttr(own.bitmap, 0) != w || GetBitmapAttr(own.bitmap, 14) != h)
    return;
  if (state->mask && own.mask) {
    if (state->revealMask) copyMaskBits(state->revealMask, 0, 0, own.mask, 0, 0, w, h);
    andMaskBits(state->mask, own.mask, w, h);
  } else if (state->alpha && own.alpha) {
    if (state->revealAlpha) copyAlphaBytes(state->revealAlpha, 0, 0, own.alpha, 0, 0, w, h);
    minAlphaBytes(state->alpha, own.alpha, w, h);
  }
  if (state->image)
    BlitFXClipped(state->image, 0, 0, own.bitmap, 0, 0, w, h,
                  static_cast<int32_t>(GetBitmapAttr(state->image, 0)),
                  static_cast<int32_t>(GetBitmapAttr(state->image, 14)), w, h);
}

BGPic* GetFXEmulatedBGPic(FXState* state) {
  if (!state->bgpicEmu) return nullptr;
  // Looked up each time: the script may free the picture while frames run.
  BGPic* pic = nullptr;
  if (GetFXBGPic(state->vm, state->emuBGPicId, &pic) != ERR_NONE) pic = nullptr;
  state->emuBGPic = pic;
  return pic;
}

ErrorCode RedrawFXBackground(FXState* state, int32_t force) {
  state->emuRedrawn = 0;
  BGPic* pic = GetFXEmulatedBGPic(state);
  if (!pic || !state->layer || (!pic->dirty && !force)) return ERR_NONE;
  pic->dirty = 0;
  state->emuRedrawn = 1;
  if (state->isScroll) {
    // The layer moves itself: the area its picture covers is composed
    // again, so that nothing of the old look stays where it was.
    const LayerImageState* shown = state->layer->display;
    RefreshRect(state->vm, shown->x, shown->y, state->emuWidth, state->emuHeight);
    return ERR_NONE;
  }
  // The old picture that the frames draw is what lies under the layer now.
  if (state->background)
    return GrabFXBackground(state, state->background, state->x, state->y, state->width,
                            state->height, state->layer);
  return ERR_NONE;
}
