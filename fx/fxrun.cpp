// The transition runner: checks the output, looks the object up (holding
// it busy while frames run), prepares the pictures and the layer, picks the
// renderer and runs the frames, all at once with events polled between
// them, or one per step of an async draw object; and puts everything back
// when the transition ends, fails or is cancelled.
//
// Invariant: a state owns what its own* flags say and holds at most one
// use of its object (released once, by the finish or the free step) and
// one async use of its layer, so that a handler that frees the object or
// removes the layer while frames run never leaves it pointing at freed
// memory: the object's free is deferred, the layer's removal refused.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "draw/draw.h"
#include "fx/fx_private.h"
#include "media/media.h"
#include "platform/linux/platform.h"
#include "text/text.h"

namespace {

// Whether the effect, run backwards, needs the layer drawn in layer mode.
bool reverseNeedsLayerMode(int32_t e) {
  return (e >= 55 && e <= 73) || (e >= 84 && e <= 87) || e == 99 || e == 100 || e == 116 ||
         e == 117 || e == 132 || e == 133;
}

// Effects that are drawn over what lies below without flattening.
bool keepsTransparency(int32_t e) {
  return (e >= 47 && e <= 73) || (e >= 84 && e <= 87) || e == 99 || e == 100 || e == 116 ||
         e == 117 || e == 132 || e == 133;
}

// Whether the effect needs what lies under the picture saved.
bool needsBackground(const FXState* s) {
  int32_t e = s->effect;
  if ((e >= 55 && e <= 73) || (e >= 84 && e <= 87) || (e >= 97 && e <= 100) || e == 114 ||
      e == 116 || e == 117 || e == 132 || (e >= 134 && e <= 139))
    return !s->layerMode;
  if (e == 74 || e == 76 || (e >= 78 && e <= 81) || (e >= 101 && e <= 104) || e == 111 ||
      e == 112 || e == 115 || (e >= 118 && e <= 131) || e == 133)
    return true;
  if (e == 75 || e == 77) return s->layerMode != 0;
  return false;
}

int32_t mirrorEffect(int32_t e) {
  switch (e) {
    case 24:
      return 25;
    case 25:
      return 24;
    case 26:
      return 27;
    case 27:
      return 26;
    case 30:
      return 31;
    case 31:
      return 30;
    case 32:
      return 33;
    case 33:
      return 32;
    default:
      break;
  }
  if (e >= 38 && e <= 46) return e + 50;
  if (e >= 88 && e <= 96) return e - 50;
  return e;
}

bool hasFilters(const qmLayer* layer) {
  for (const FilterSlot& slot : layer->filters)
    if (slot.on) return true;
  return false;
}

int32_t bitmapWidth(BitmapHandle* b) { return static_cast<int32_t>(GetBitmapAttr(b, 0)); }
int32_t bitmapHeight(BitmapHandle* b) { return static_cast<int32_t>(GetBitmapAttr(b, 14)); }

void releaseUse(FXState* s) {
  if (s->useReleased) return;
  s->useReleased = 1;
  if (s->ownerType == OBJECT_BRUSH && s->useCount) {
    // The brush record stays valid while it is held, freed or not.
    auto* brush = reinterpret_cast<BrushObject*>(reinterpret_cast<char*>(s->useCount) -
                                                 offsetof(BrushObject, locked));
    ReleaseBrush(brush);
  } else if (s->ownerType == OBJTYPE_TEXTOBJECT && s->useCount && *s->useCount > 0) {
    // A held text object refuses frees, so the count is still its own.
    --*s->useCount;
  }
  s->useCount = nullptr;
}

void releaseLayer(FXState* s) {
  if (s->layer && s->layerHeld) {
    if (s->layer->asyncUse > 0) s->layer->asyncUse--;
    s->layerHeld = 0;
  }
}

// Layer mode: the transition's image state takes the place of the layer's
// displayed one, at its position. The transform was applied when the
// picture was copied: the transition's state is drawn as it is.
void attachFXState(FXState* s, LayerImageState* fxState) {
  qmLayer* layer = s->layer;
  LayerImageState* shown = layer->display;
  fxState->x = shown->x;
  fxState->y = shown->y;
  fxState->clip = shown->clip;
  s->savedState = shown;
  layer->display = fxState;
  s->layerPrepared = 1;
  s->savedTransform = layer->transform;
  s->savedRotation = 1;
  // The layer keeps its own state and transform, where the display
  // renders them again while frames run.
  layer->heldDisplay = shown;
  layer->heldTransform = layer->transform;
  s->layerChanges = layer->heldChanges;
  CopyDefaultTransform(&layer->transform);
  FreeFXLayerCaches(layer);
}

// The other way round: the layer shows its own displayed state again; the
// transition's is handed back.
LayerImageState* detachFXState(FXState* s) {
  qmLayer* layer = s->layer;
  LayerImageState* fxState = layer->display;
  // As the display may have made them again.
  if (layer->heldDisplay) {
    s->savedState = layer->heldDisplay;
    s->savedTransform = layer->heldTransform;
  }
  layer->heldDisplay = nullptr;
  layer->display = s->savedState;
  s->savedState = nullptr;
  if (s->savedRotation) layer->transform = s->savedTransform;
  s->savedRotation = 0;
  s->layerPrepared = 0;
  FreeFXLayerCaches(layer);
  return fxState;
}

// The layer's own image state goes back in place of the transition's.
void restoreFXLayer(FXState* s) {
  if (!s->layerPrepared || !s->layer) return;
  qmLayer* layer = s->layer;
  FreeFXImageState(s->vm, detachFXState(s));
  if (s->deleteLayer) {
    s->deleteLayer = 0;
    releaseLayer(s);
    DeleteFXLayer(s->vm, layer);
    s->layer = nullptr;
    return;
  }
  if (s->moveLayerBack) {
    s->moveLayerBack = 0;
    layer->hidden = s->kind == FXKIND_SHOWLAYER ? 1 : 0;
  }
}

// Layer mode: the transition's own image state at the picture's size takes
// the displayed one's place; nothing of the new picture is revealed yet
// (all of it when hiding).
ErrorCode prepareFXLayer(FXState* s) {
  qmLayer* layer = s->layer;
  LayerImageState* shown = layer->display;
  LayerImageState* fxState = AllocLayerImageState();
  if (!fxState) return ERR_MEM;
  *fxState = *shown;
  fxState->own = fxState->transformed = fxState->filtered = fxState->bordered = LayerTriple{};
  fxState->shadow = nullptr;
  fxState->kindData = nullptr;
  fxState->partX = fxState->partY = 0;
  fxState->width = s->width;
  fxState->height = s->height;
  auto fail = [&](ErrorCode e) {
    FreeFXImageState(s->vm, fxState);
    return e;
  };
  fxState->own.bitmap = AllocBitmap(s->width, s->height, 0, nullptr);
  if (!fxState->own.bitmap) return fail(ERR_BITMAP);
  bool level = IsLevelFX(s->effect);
  if (!s->alpha && !level) {
    if (!IsMovingFX(s->effect)) {
      fxState->own.mask = AllocBitMask(fxState->own.bitmap, s->width, s->height, 1, nullptr, 0);
      if (!fxState->own.mask) return fail(ERR_ALLOCMASK);
    }
    if (s->async && s->mask) {
      s->revealMask = AllocBitMask(fxState->own.bitmap, s->width, s->height, 1, nullptr, 0);
      if (!s->revealMask) return fail(ERR_ALLOCMASK);
    }
  } else {
    fxState->own.alpha = AllocAlphaChannel(s->width, s->height, 1, nullptr, 0);
    if (!fxState->own.alpha) return fail(ERR_ALLOCALPHA);
    if (s->async) {
      s->revealAlpha = AllocAlphaChannel(s->width, s->height, 1, nullptr, 0);
      if (!s->revealAlpha) return fail(ERR_ALLOCALPHA);
    }
  }
  attachFXState(s, fxState);
  if (s->reverse) {
    if (level) {
      BlitFXClipped(s->image, 0, 0, fxState->own.bitmap, 0, 0, s->width, s->height, s->width,
                    s->height, s->width, s->height);
      FillOpaqueAlpha(fxState->own.alpha, s->mask, s->alpha, s->width, s->height);
    } else {
      BlitFXRectMasked(s->image, 0, 0, fxState->own.bitmap, fxState->own.mask, fxState->own.alpha,
                       0, 0, s->width, s->height, s->width, s->height, s->width, s->height, s->mask,
                       s->alpha, s, FXMASK_NOSHOW);
    }
  }
  return ERR_NONE;
}

void freeOwned(FXState* s) {
  if (s->ownsImage) FreeBitmap(s->image);
  if (s->ownsMask) FreeBitMask(s->mask);
  if (s->ownsAlpha) FreeAlphaChannel(s->alpha);
  s->image = s->mask = s->alpha = nullptr;
  s->ownsImage = s->ownsMask = s->ownsAlpha = 0;
}

void finishTransitionFX(FXState* s, int32_t completed) {
  restoreFXLayer(s);
  releaseUse(s);
  qmLayer* layer = s->layer;
  if (layer && (s->kind == FXKIND_HIDELAYER || s->kind == FXKIND_REMOVELAYER)) {
    layer->hidden = 1;
    if (completed && layer->border.on) layer->borderFade = 0;
    RefreshFXLayerArea(s->vm, layer);
    if (s->kind == FXKIND_REMOVELAYER) {
      releaseLayer(s);
      DeleteFXLayer(s->vm, layer);
      s->layer = nullptr;
    }
  } else if (layer && s->layerMode) {
    // The layer shows its own images again, composed as before, its
    // shadow and border no longer faded.
    layer->shadowFade = layer->borderFade = 0;
    RefreshFXLayerArea(s->vm, layer);
  }
  s->finished = 1;
}

void freeFXState(FXState* s, int32_t completed) {
  releaseUse(s);
  restoreFXLayer(s);
  if (s->releasePriv) s->releasePriv(s, completed);
  FreeMemory(s->priv);
  s->priv = nullptr;
  freeOwned(s);
  FreeBitmap(s->background);
  if (s->previousImage != s->background) FreeBitmap(s->previousImage);
  FreeBitMask(s->revealMask);
  FreeAlphaChannel(s->revealAlpha);
  if (qmLayer* layer = s->layer) {
    layer->movingEffect = 0;
    if (s->reverse) FreeFXLayerCaches(layer);
    layer->shadowFade = layer->borderFade = 0;
    if (!completed) {
      if (s->addedLayer && !s->finished) {
        // The command that added the layer failed: the layer goes again.
        releaseLayer(s);
        DeleteFXLayer(s->vm, layer);
        s->layer = nullptr;
      } else {
        if (s->kind == FXKIND_SHOWLAYER && !s->finished) layer->hidden = 1;
        RefreshFXLayerArea(s->vm, layer);
      }
    }
  }
  releaseLayer(s);
  FreeMemory(s);
}

ErrorCode rebuildFXLayer(FXState* s);
void takeOverFXLayer(FXState* s, qmLayer* now);

// Layer mode without the transition's image state in place: the layer was
// let go after it went or could not be made again; no frame can be drawn.
bool lostFXLayer(const FXState* s) { return s->layerMode && !s->layerPrepared && !s->finished; }

// The record that took the place of a layer that goes: the display links it
// in just before the old one.
qmLayer* replacementOf(qmLayer* old) {
  int32_t position = GetFXLayerPosition(old);
  return position > 1 ? GetFXLayerByIndex(position - 1) : nullptr;
}

// ---- Async draw callbacks ----

ErrorCode stepTransitionFX(void* userData, int32_t* finished) {
  auto* s = static_cast<FXState*>(userData);
  if (s->finished || s->frame >= s->frameCount || lostFXLayer(s)) {
    *finished = 1;
    return ERR_NONE;
  }
  if (s->layerMode && s->layer) {
    s->x = s->layer->display->x;
    s->y = s->layer->display->y;
  }
  // Moving and scroll effects draw the emulated picture again themselves;
  // the others bring the layer back to this frame over it.
  BGPic* emulated =
      s->bgpicEmu && !IsMovingFX(s->effect) && !s->isScroll ? GetFXEmulatedBGPic(s) : nullptr;
  if (emulated && emulated->dirty && s->layer) {
    if (ErrorCode e = RedrawFXBackground(s, 0)) return e;
    if (ErrorCode e = AdvanceTransitionFX(s, s->frame, 0)) return e;
    RefreshFXLayerArea(s->vm, s->layer);
  }
  int32_t done = 0;
  ErrorCode e = s->render(s, &done);
  if (done) *finished = 1;
  return e;
}

void finishCallback(void* userData, int32_t completed) {
  finishTransitionFX(static_cast<FXState*>(userData), completed);
}

void releaseCallback(void* userData, int32_t) {
  auto* s = static_cast<FXState*>(userData);
  freeFXState(s, s->finished);
}

intptr_t eventCallback(int32_t code, intptr_t argument, void* userData, intptr_t value) {
  auto* s = static_cast<FXState*>(userData);
  switch (code) {
    case ADEVENT_REPLACED:
    case ADEVENT_CHANGED: {
      // The layer was made again: in place, or as a new record that
      // replaces it (the old one goes after this).
      if (!s->layer || argument != reinterpret_cast<intptr_t>(s->layer) || s->finished) return 0;
      if (code == ADEVENT_REPLACED) takeOverFXLayer(s, replacementOf(s->layer));
      if (!s->layer) return 0;
      if (s->layerMode) return s->layerPrepared ? rebuildFXLayer(s) : 0;
      // Outside layer mode only a scrolled layer that stands in for a
      // background picture reacts: the picture is drawn again before the
      // next frame.
      if (s->isScroll)
        if (BGPic* pic = GetFXEmulatedBGPic(s)) pic->dirty = 1;
      return 0;
    }
    case ADEVENT_FRAMES:
      return s->frameCount;
    case ADEVENT_CURRENT:
      return s->frame;
    case ADEVENT_SEEK: {
      if (lostFXLayer(s)) return 0;
      auto n = static_cast<int32_t>(std::clamp<intptr_t>(value, 0, s->frameCount));
      ErrorCode e = AdvanceTransitionFX(s, n, 1);
      if (argument) *reinterpret_cast<int32_t*>(argument) = n >= s->frameCount;
      return e;
    }
    case ADEVENT_SETFRAME:
      if (s->layer && s->layerMode && s->layerPrepared) {
        LayerImageState* st = s->layer->display;
        BlitFXRect(s, st->own.bitmap, 0, 0, st->x, st->y, st->width, st->height, st->width,
                   st->height, st->own.mask, st->own.alpha, FXRECT_COMPOSE | FXRECT_FORCE);
      }
      return 0;
    case ADEVENT_OBJECT:
      if (argument) *reinterpret_cast<void**>(argument) = s->layer;
      return 0;
    case ADEVENT_QUERY: {
      // The background picture that this layer emulates, when it still exists.
      if (!argument) return 0;
      if (BGPic* pic = GetFXEmulatedBGPic(s))
        *reinterpret_cast<intptr_t*>(argument) = reinterpret_cast<intptr_t>(pic);
      return 0;
    }
    case ADEVENT_BGPIC:
      // A frame drawn into the selected picture is shown when the layer
      // code refreshes the drawn object, not by the renderer.
      s->silent = argument ? 1 : 0;
      return 0;
    default:
      return 0;
  }
}

// ---- Steps of a run ----

// The output check: 0 to go on, -1 to end without effect, else the error.
// *selected is set when the object itself is the output and its selection
// must end first.
ErrorCode checkOutput(FXState* s, DisplayRecord* d, int* selected) {
  *selected = 0;
  switch (d->outputKind) {
    case OBJECT_DISPLAY:
      return ERR_NONE;
    case OBJECT_BRUSH:
    case OUTPUT_MASK:
    case OUTPUT_ALPHA: {
      // The selection names its object by type and identifier.
      const BGPic* r = d->deviceRecord;
      bool same = r && r->head.number == s->objectId.number && r->head.autoId == s->objectId.autoId;
      if (same && ((s->kind == FXKIND_BRUSH && r->head.type == OBJECT_BRUSH) ||
                   (s->kind == FXKIND_BGPIC && r->head.type == OBJECT_BGPIC))) {
        *selected = 1;
        return ERR_NONE;
      }
      if (d->outputKind == OUTPUT_MASK) return ERR_SELECTMASK;
      if (d->outputKind == OUTPUT_ALPHA) return ERR_SELECTALPHACHANNEL;
      if (d->doubleBuffer == 1) return ERR_ENDDOUBLEBUFFER;
      if (r && r->head.type == OBJTYPE_ANIM) return ERR_SELECTANIM;
      return ERR_SELECTBRUSH;
    }
    case OBJECT_BGPIC: {
      BGPic* pic = nullptr;
      if (s->kind == FXKIND_BGPIC && GetFXBGPic(s->vm, s->objectId, &pic) == ERR_NONE &&
          d->deviceRecord && d->deviceRecord->selectionRecord == pic) {
        *selected = 1;
        return ERR_NONE;
      }
      if (s->async && d->layers && d->deviceRecord && d->deviceRecord->selectionRecord == d->bgpic)
        return ERR_NONE;
      return ERR_SELECTBG;
    }
    default:
      if (d->outputKind == OBJTYPE_ANIM) return ERR_SELECTANIM;
      if (d->collectRefreshes) return ERR_BEGINREFRESH;
      return -1;
  }
}

// A brush, picture part or text object becomes a new hidden layer on top
// that the transition then shows (kind 22).
// A given bitmap (a picture part's copy) belongs to the layer.
ErrorCode addObjectLayer(FXState* s, int32_t type, int32_t sx, int32_t sy, int32_t width,
                         int32_t height, BitmapHandle* bitmap = nullptr) {
  ObjectStyle style;
  CopyDefaultObjectStyle(&style);
  style.hidden = 1;
  if (ErrorCode e = CreateObjectLayer(s->vm, type, s->objectId, sx, sy, s->x, s->y, width, height,
                                      nullptr, &style, bitmap, -1, 1, 0))
    return e;
  s->kind = FXKIND_SHOWLAYER;
  s->objectId = ObjectId{nullptr, CountFXLayers()};
  s->addedLayer = 1;
  return ERR_NONE;
}

ErrorCode prepareObject(FXState* s, DisplayRecord* d) {
  int32_t outWidth = d->bgpic->width, outHeight = d->bgpic->height;
  switch (s->kind) {
    case FXKIND_BRUSH: {
      BrushObject* brush = nullptr;
      if (ErrorCode e = GetBrushObject(s->vm, s->objectId, &brush, 0)) return e;
      if (d->layers) return addObjectLayer(s, LAYER_BRUSH, 0, 0, brush->width, brush->height);
      HoldBrush(brush);
      s->useCount = &brush->locked;
      s->ownerType = OBJECT_BRUSH;
      s->image = brush->bitmap;
      s->mask = brush->mask;
      s->alpha = brush->alpha;
      s->width = brush->width;
      s->height = brush->height;
      s->x = ResolveXPos(s->x, s->width, outWidth, 0.0);
      s->y = ResolveYPos(s->y, s->height, outHeight, 0.0);
      return ERR_NONE;
    }
    case FXKIND_TEXTOBJECT: {
      TextObject* object = nullptr;
      if (ErrorCode e = GetTextObject(s->vm, s->objectId, &object, 0)) return e;
      TextObjectImage image{};
      GetTextObjectImage(object, &image);
      // The position names the text's place; its image lies at the
      // object's offsets from there.
      s->x = ResolveXPos(s->x, image.width, outWidth, 0.0) + image.originX;
      s->y = ResolveYPos(s->y, image.height, outHeight, 0.0) + image.originY;
      if (d->layers) {
        ObjectStyle style;
        CopyDefaultObjectStyle(&style);
        style.hidden = 1;
        if (ErrorCode e = AddTextObjectLayer(s->vm, object, s->x, s->y, nullptr, &style, -1,
                                             NEWLAYER_HIDDEN, nullptr))
          return e;
        s->kind = FXKIND_SHOWLAYER;
        s->objectId = ObjectId{nullptr, CountFXLayers()};
        s->addedLayer = 1;
        return ERR_NONE;
      }
      s->useCount = GetTextObjectUseCount(object);
      ++*s->useCount;
      s->ownerType = OBJTYPE_TEXTOBJECT;
      s->image = image.bitmap;
      s->mask = image.mask;
      s->alpha = image.alpha;
      s->width = image.width;
      s->height = image.height;
      return ERR_NONE;
    }
    case FXKIND_BGPICPART: {
      BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
      int32_t w = 0, h = 0;
      if (ErrorCode e = CopyBGPicImages(s->vm, s->objectId, &bitmap, &mask, &alpha, &w, &h))
        return e;
      OwnedBitmap whole(bitmap);
      std::unique_ptr<BitmapHandle, void (*)(BitmapHandle*)> wholeMask(mask, FreeBitMask);
      std::unique_ptr<BitmapHandle, void (*)(BitmapHandle*)> wholeAlpha(alpha, FreeAlphaChannel);
      // "layers": the picture's own layers are part of what is cut.
      if (s->asLayer)
        if (ErrorCode e = DrawBGPicLayersInto(s->vm, s->objectId, bitmap)) return e;
      int32_t sx = std::max(s->sourceX, 0), sy = std::max(s->sourceY, 0);
      int32_t pw = std::min(s->width, w - sx), ph = std::min(s->height, h - sy);
      if (pw < 1 || ph < 1) return ERR_WRONGUSAGE;
      BitmapHandle *partBitmap = nullptr, *partMask = nullptr, *partAlpha = nullptr;
      if (d->layers) {
        // With layers on the part becomes a layer of its own that keeps its
        // copy of the part, as the plain command draws it.
        if (ErrorCode e = ConvertBitmap(bitmap, nullptr, nullptr, sx, sy, pw, ph, 0, 0, nullptr,
                                        nullptr, &partBitmap, nullptr, nullptr))
          return e;
        return addObjectLayer(s, LAYER_BGPICPART, sx, sy, pw, ph, partBitmap);
      }
      if (ErrorCode e = ConvertBitmap(bitmap, mask, alpha, sx, sy, pw, ph, 0, 0, nullptr, nullptr,
                                      &partBitmap, &partMask, &partAlpha))
        return e;
      s->image = partBitmap;
      s->mask = partMask;
      s->alpha = partAlpha;
      s->ownsImage = s->ownsMask = s->ownsAlpha = 1;
      s->width = pw;
      s->height = ph;
      s->x = ResolveXPos(s->x, pw, outWidth, 0.0);
      s->y = ResolveYPos(s->y, ph, outHeight, 0.0);
      return ERR_NONE;
    }
    case FXKIND_BGPIC: {
      if (s->clearScreen) {
        // The current picture is painted over with the colour.
        s->image = AllocBitmap(outWidth, outHeight, 0, nullptr);
        if (!s->image) return ERR_BITMAP;
        s->ownsImage = 1;
        FillBitmapRect(s->image, 0, 0, outWidth, outHeight, s->clearColour);
        s->previousImage = AllocBitmap(outWidth, outHeight, 0, nullptr);
        if (!s->previousImage) return ERR_BITMAP;
        if (d->windowBitmap)
          BlitFXClipped(d->windowBitmap, 0, 0, s->previousImage, 0, 0, outWidth, outHeight,
                        bitmapWidth(d->windowBitmap), bitmapHeight(d->windowBitmap), outWidth,
                        outHeight);
        s->width = outWidth;
        s->height = outHeight;
        s->x = s->y = 0;
        s->oldBGPic = d->bgpic;
        return ERR_NONE;
      }
      BGPic* pic = nullptr;
      if (ErrorCode e = GetFXBGPic(s->vm, s->objectId, &pic)) return e;
      if (pic->alpha || pic->transparentColour != -1 || d->bgpic->alpha ||
          d->bgpic->transparentColour != -1)
        return ERR_WRONGUSAGE;
      s->oldBGPic = d->bgpic;
      BitmapHandle *newImage = nullptr, *oldImage = nullptr;
      if (ErrorCode e = ShowBGPic(s->vm, s->objectId, s->optX, s->optY, 1, &newImage, &oldImage))
        return e;
      s->image = newImage;
      s->ownsImage = 1;
      s->previousImage = oldImage;
      s->width = bitmapWidth(newImage);
      s->height = bitmapHeight(newImage);
      s->x = s->y = 0;
      // The old picture stays visible while frames run.
      if (d->windowBitmap && oldImage)
        BlitFXClipped(oldImage, 0, 0, d->windowBitmap, 0, 0, s->width, s->height,
                      bitmapWidth(oldImage), bitmapHeight(oldImage), bitmapWidth(d->windowBitmap),
                      bitmapHeight(d->windowBitmap));
      return ERR_NONE;
    }
    default:
      return ERR_NONE;
  }
}

ErrorCode prepareLayer(FXState* s, DisplayRecord* d) {
  if (!d->layers || !GetFXLayerPicture()) return ERR_NOLAYERS;
  qmLayer* layer = GetFXLayerByIndex(s->objectId.number);
  if (!layer) return ERR_LAYERRANGE;
  if (FindAsyncDrawByObject(layer)) return ERR_ALREADYASYNC;
  s->layer = layer;
  layer->asyncUse++;
  s->layerHeld = 1;
  if (layer->type == LAYER_VIDEO && !s->async && IsVideoIdPlaying(layer->sourceId)) {
    s->async = 1;
    s->driveAsync = 1;
  }
  bool scaled = d->scaleWidth > 0 && d->scaleHeight > 0 &&
                (d->scaleWidth != d->bgpic->width || d->scaleHeight != d->bgpic->height);
  if (s->bgpicEmu) {
    d->bgpic->dirty = 0;
    if (IsMovingFX(s->effect)) layer->movingEffect = 1;
    // The emulated picture is kept at the size the display scales its
    // pictures to.
    BGPic* emulated = GetFXEmulatedBGPic(s);
    if (emulated && d->layerscale && d->scaleWidth > 0 && d->scaleHeight > 0 &&
        (emulated->width != d->scaleWidth || emulated->height != d->scaleHeight))
      if (ErrorCode e = RescaleBGPic(emulated, d->scaleWidth, d->scaleHeight, d->smooth)) return e;
  }
  s->isScroll = IsScrollFX(s->effect);
  LayerImageState* shown = layer->display;
  s->layerX = shown->x;
  s->layerY = shown->y;
  if (s->isScroll) {
    GetFXLayerBounds(s->vm, layer, &s->x, &s->y, &s->width, &s->height);
    s->x = shown->x;
    s->y = shown->y;
    if (s->bgpicEmu) {
      s->emuWidth = shown->width;
      s->emuHeight = shown->height;
      if (ErrorCode e = RedrawFXBackground(s, 1)) return e;
    }
    return ERR_NONE;
  }
  s->layerMode = s->forceRealtimeLayers || s->async || s->bgpicEmu || layer->transparency ||
                 layer->shadow.on || layer->border.on || hasFilters(layer) || shown->clip ||
                 scaled || (s->reverse && reverseNeedsLayerMode(s->effect)) ||
                 IsFXLayerOverlapped(layer) || !IsFXLayerUncovered(layer);
  s->x = shown->x;
  s->y = shown->y;
  if (!s->reverse || s->layerMode) {
    BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
    if (ErrorCode e = CopyFXLayerImage(s->vm, layer, &bitmap, &mask, &alpha, &s->width, &s->height))
      return e;
    s->image = bitmap;
    s->mask = mask;
    s->alpha = alpha;
    s->ownsImage = s->ownsMask = s->ownsAlpha = 1;
  } else {
    s->width = shown->width;
    s->height = shown->height;
  }
  if (s->layerMode) {
    s->decorated = layer->shadow.on || layer->border.on || hasFilters(layer);
    if (ErrorCode e = prepareFXLayer(s)) return e;
    if (d->outputKind == OBJECT_DISPLAY && !layer->hidden) RefreshFXLayerArea(s->vm, layer);
    if (s->bgpicEmu) {
      if (BGPic* emulated = GetFXEmulatedBGPic(s)) emulated->dirty = 1;
      if (ErrorCode e = RedrawFXBackground(s, 0)) return e;
    }
    return ERR_NONE;
  }
  if (s->reverse) {
    // Hiding directly: what appears is the stack without the layer.
    if (s->width < 1 || s->height < 1) return ERR_BITMAP;
    s->image = AllocBitmap(s->width, s->height, 0, nullptr);
    if (!s->image) return ERR_BITMAP;
    s->ownsImage = 1;
    FillBitmapRect(s->image, 0, 0, s->width, s->height, 0);
    if (ErrorCode e = GrabFXBackground(s, s->image, s->x, s->y, s->width, s->height, layer))
      return e;
  }
  return ERR_NONE;
}

// A picture with a mask or an alpha channel is put onto what lies under it
// once, so that frames copy opaque rectangles.
ErrorCode flatten(FXState* s) {
  if (s->layerMode || s->kind == FXKIND_BGPIC || (!s->mask && !s->alpha) ||
      keepsTransparency(s->effect))
    return ERR_NONE;
  OwnedBitmap flat(AllocBitmap(s->width, s->height, 0, nullptr));
  if (!flat) return ERR_BITMAP;
  if (ErrorCode e = GrabFXBackground(s, flat.get(), s->x, s->y, s->width, s->height, s->layer))
    return e;
  SafeBlt(nullptr, s->image, 0, 0, flat.get(), 0, 0, s->width, s->height, s->width, s->height,
          s->width, s->height, SAFEBLT_NOCLIPRECORD | SAFEBLT_BITMAPONLY | SAFEBLT_NOSPRITES,
          s->mask, s->mask ? nullptr : s->alpha, nullptr);
  freeOwned(s);
  s->image = flat.release();
  s->ownsImage = 1;
  return ERR_NONE;
}

// Whether any of the picture lies on the output.
bool onOutput(const FXState* s, int32_t outWidth, int32_t outHeight) {
  return int64_t{s->x} + s->width >= 1 && int64_t{s->y} + s->height >= 1 && s->x < outWidth &&
         s->y < outHeight;
}

ErrorCode saveBackground(FXState* s, bool visible) {
  if (!needsBackground(s)) return ERR_NONE;
  if (s->kind == FXKIND_BGPIC) {
    s->background = s->previousImage;
    return ERR_NONE;
  }
  s->background = AllocBitmap(s->width, s->height, 0, nullptr);
  if (!s->background) return ERR_BITMAP;
  if (!visible) return ERR_NONE;
  int32_t e = s->effect;
  bool keepLayer = (s->kind == FXKIND_HIDELAYER || s->kind == FXKIND_REMOVELAYER) &&
                   (e == 97 || e == 98 || e == 114 || e == 116 || e == 117 ||
                    (e >= 134 && e <= 139) || (e == 115 && !s->layerMode));
  return GrabFXBackground(s, s->background, s->x, s->y, s->width, s->height,
                          keepLayer ? nullptr : s->layer);
}

// The display changed size while frames ran: what was done to the layer is
// undone so that the command can run again from the start.
void undoForRestart(FXState* s) {
  qmLayer* layer = s->layer;
  if (!layer) return;
  if (s->addedLayer) {
    if (s->layerMode) {
      s->deleteLayer = 1;
    } else {
      releaseLayer(s);
      DeleteFXLayer(s->vm, layer);
      s->layer = nullptr;
    }
    return;
  }
  if (s->isScroll) {
    MoveFXLayer(s->vm, layer, s->layerX, s->layerY);
    return;
  }
  if (s->layerMode) {
    s->moveLayerBack = 1;
    return;
  }
  layer->hidden = s->kind == FXKIND_SHOWLAYER ? 1 : 0;
  RefreshFXLayerArea(s->vm, layer);
}

// The transition moves to the record that replaced its layer: it holds that
// one instead, and in layer mode its image state goes over with it while
// the old record gets its own state back to go with.
void takeOverFXLayer(FXState* s, qmLayer* now) {
  qmLayer* old = s->layer;
  LayerImageState* fxState = s->layerPrepared ? detachFXState(s) : nullptr;
  releaseLayer(s);
  // The old record goes without being drawn again: it shows no more.
  old->movingEffect = 0;
  old->hidden = 1;
  s->layer = now;
  if (!now) {
    FreeFXImageState(s->vm, fxState);
    return;
  }
  now->asyncUse++;
  s->layerHeld = 1;
  now->movingEffect = s->bgpicEmu && IsMovingFX(s->effect) ? 1 : 0;
  if (fxState) attachFXState(s, fxState);
}

// Layer mode: the transition cannot go on with its layer; the layer shows
// its own state again (a layer being shown is shown whole) and the next
// step ends the transition.
void loseFXLayer(FXState* s) {
  if (!s->layerPrepared || !s->layer) return;
  FreeFXImageState(s->vm, detachFXState(s));
  if (s->kind == FXKIND_SHOWLAYER) s->layer->hidden = 0;
}

// Layer mode at a new picture size: the image state, the saved background
// and the renderer are prepared afresh, and the frames replayed to the
// share of the run that was shown (at least the first frame).
ErrorCode replayFXLayer(FXState* s) {
  int32_t oldFrame = s->frame, oldCount = std::max(s->frameCount, 1);
  LayerImageState* shown = s->layer->display;
  s->x = shown->x;
  s->y = shown->y;
  if (ErrorCode e = prepareFXLayer(s)) return e;
  if (s->releasePriv) s->releasePriv(s, 0);
  s->releasePriv = nullptr;
  FreeMemory(s->priv);
  s->priv = nullptr;
  if (s->background != s->previousImage) FreeBitmap(s->background);
  s->background = nullptr;
  if (ErrorCode e = saveBackground(s, onOutput(s, s->outWidth, s->outHeight))) return e;
  s->speed = s->requestedSpeed;
  s->phase = FXPHASE_PREPARE;
  ErrorCode e = s->render(s, nullptr);
  s->phase = FXPHASE_FRAME;
  s->frame = 0;
  if (e) return e;
  auto target = static_cast<int32_t>(
      std::lround(static_cast<double>(oldFrame) / oldCount * static_cast<double>(s->frameCount)));
  target = std::clamp(target, 1, std::max(s->frameCount, 1));
  s->rebuilding = 1;
  e = AdvanceTransitionFX(s, target, 1);
  s->rebuilding = 0;
  return e;
}

// Layer mode: the transition's layer was made again. Its picture is copied
// anew. At the same size, with the same kind of transparency, the copy
// goes into the transition's image state and what is revealed stays (a
// whole-frame effect draws its frame again from it); at another size the
// frames are replayed (replayFXLayer). When the picture cannot be copied
// the transition goes on with the one it has; when the layer cannot be
// prepared again it ends.
ErrorCode rebuildFXLayer(FXState* s) {
  int32_t ox = 0, oy = 0, ow = 0, oh = 0;
  GetFXLayerBounds(s->vm, s->layer, &ox, &oy, &ow, &oh);
  bool hadMask = s->mask != nullptr, hadAlpha = s->alpha != nullptr;
  // The layer's picture is read with its own displayed state in place.
  LayerImageState* fxState = detachFXState(s);
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  int32_t w = 0, h = 0;
  if (ErrorCode e = CopyFXLayerImage(s->vm, s->layer, &bitmap, &mask, &alpha, &w, &h)) {
    attachFXState(s, fxState);
    return e;
  }
  freeOwned(s);
  s->image = bitmap;
  s->mask = mask;
  s->alpha = alpha;
  s->ownsImage = s->ownsMask = s->ownsAlpha = 1;
  bool same = w == s->width && h == s->height && (mask != nullptr) == hadMask &&
              (alpha != nullptr) == hadAlpha;
  s->width = w;
  s->height = h;
  int32_t silent = s->silent;
  ErrorCode e = ERR_NONE;
  if (same) {
    attachFXState(s, fxState);
    s->x = fxState->x;
    s->y = fxState->y;
    if (IsWholeFrameFX(s->effect) && s->frame > 0)
      e = AdvanceTransitionFX(s, s->frame, 0);
    else
      RestoreFXReveal(s);
  } else {
    FreeFXImageState(s->vm, fxState);
    FreeBitMask(s->revealMask);
    FreeAlphaChannel(s->revealAlpha);
    s->revealMask = s->revealAlpha = nullptr;
    e = replayFXLayer(s);
    if (e) loseFXLayer(s);
  }
  s->silent = silent;
  if (!silent) {
    // Where the layer was, and where it is now.
    RefreshRect(s->vm, ox, oy, ow, oh);
    RefreshFXLayerArea(s->vm, s->layer);
  }
  return e;
}

// 1 when the run must stop (*error: the poll's error, ERR_USERABORT for a
// quit), as every wait polls.
int pollBetweenFrames(FXState* s, ErrorCode* error) {
  *error = PollWhileWaiting(s->vm);
  return *error != ERR_NONE;
}

ErrorCode runSynchronous(FXState* s, DisplayRecord* d, bool* completed) {
  *completed = false;
  if (s->kind == FXKIND_BGPIC) SetTransitionRunning(1);
  for (;;) {
    ErrorCode error = ERR_NONE;
    if (pollBetweenFrames(s, &error)) return error;
    DisplayRecord* now = GetCurrentDisplay();
    if (now != d || !d->bgpic) return ERR_NONE;
    if (d->bgpic->width != s->outWidth || d->bgpic->height != s->outHeight) {
      if (d->autoscale) {
        s->outWidth = d->bgpic->width;
        s->outHeight = d->bgpic->height;
      } else {
        s->sizeChanged = 1;
        if (s->kind != FXKIND_BGPIC) s->restart = 1;
        undoForRestart(s);
        return ERR_NONE;
      }
    }
    // The layer got a new picture between frames (a handler ran, a video
    // frame came): the frames go on with it, as an async run's would.
    if (s->layerMode && s->layerPrepared && s->layer->heldChanges != s->layerChanges) {
      ErrorCode e = rebuildFXLayer(s);
      if (lostFXLayer(s)) return e;
    }
    int32_t done = 0;
    if (ErrorCode e = s->render(s, &done)) return e;
    WaitDisplayVBlank(s->vm, d, 0);
    if (done) break;
  }
  finishTransitionFX(s, 1);
  *completed = true;
  return ERR_NONE;
}

// The new picture is the display's now: shown whole, with its layers.
void endBGPicTransition(FXState* s, DisplayRecord* d) {
  if (!d->bgpic || !d->windowBitmap) return;
  if (s->clearScreen) {
    BGPic* pic = d->bgpic;
    for (BitmapHandle* b : {pic->bitmap, pic->sourceBitmap, pic->firstBitmap})
      if (b) FillBitmapRect(b, 0, 0, bitmapWidth(b), bitmapHeight(b), s->clearColour);
  }
  if (d->layers && GetFXLayerPicture())
    RedrawFXLayers(s->vm, d->windowBitmap, 0, 0, d->bgpic->width, d->bgpic->height, nullptr);
  else if (d->bgpic->bitmap)
    BlitFXClipped(d->bgpic->bitmap, 0, 0, d->windowBitmap, 0, 0, d->bgpic->width, d->bgpic->height,
                  bitmapWidth(d->bgpic->bitmap), bitmapHeight(d->bgpic->bitmap),
                  bitmapWidth(d->windowBitmap), bitmapHeight(d->windowBitmap));
  RefreshDisplayRect(d->windowBitmap, 0, 0, d, 0, 0, d->bgpic->width, d->bgpic->height,
                     REFRESH_SCALE);
}

}  // namespace

ErrorCode AdvanceTransitionFX(FXState* s, int32_t n, int32_t keepIfCurrent) {
  if (IsWholeFrameFX(s->effect)) {
    // A jump can come before any single frame: the layer shows from here
    // on, as the first frame would make it.
    BeginFXFrame(s);
    s->phase = FXPHASE_JUMP;
    s->frame = n;
    ErrorCode e = s->render(s, nullptr);
    s->phase = FXPHASE_FRAME;
    return e;
  }
  if (s->frame == n) {
    // The layer's images were made again at the same size: what is
    // revealed stays, the picture is copied in again; nothing is replayed.
    if (!keepIfCurrent && s->layerMode && s->layer) RestoreFXReveal(s);
    return ERR_NONE;
  }
  if (s->layerMode && s->layer) {
    LayerImageState* st = s->layer->display;
    uint32_t flags = FXMASK_CLEAR | FXMASK_NOSHOW | (s->reverse ? uint32_t{FXMASK_FILL} : 0u);
    BlitFXRectMasked(s->image, 0, 0, st->own.bitmap, st->own.mask, st->own.alpha, 0, 0, s->width,
                     s->height, s->width, s->height, s->width, s->height, s->mask, s->alpha, s,
                     flags);
  }
  s->phase = FXPHASE_FRAME;
  s->silent = 1;
  s->frame = 0;
  ErrorCode e = ERR_NONE;
  for (int32_t i = 0; i < n && e == ERR_NONE; i++) {
    int32_t done = 0;
    e = s->render(s, &done);
  }
  s->frame = n;
  s->silent = 0;
  return e;
}

ErrorCode RunTransitionFX(FXState* request, int32_t* results) {
  *results = 0;
  // The effect is checked before anything is looked up or changed.
  if (request->effect < 0 || request->effect > FX_LAST_EFFECT) return ERR_WRONGUSAGE;
  auto* s = static_cast<FXState*>(AllocMemory(sizeof(FXState), 1));
  if (!s) return ERR_MEM;
  *s = *request;
  s->requestedSpeed = s->speed;
  if (s->effect == FX_RANDOMALIAS) s->effect = FX_RANDOMEFFECT;
  ErrorCode error = ERR_NONE;
  bool completed = false;
  DisplayRecord* d = GetCurrentDisplay();
  auto fail = [&](ErrorCode e) {
    SetTransitionRunning(0);
    freeFXState(s, 0);
    return e;
  };
  if (!d || !d->bgpic) return fail(ERR_NONE);
  if (d->doubleBuffer)
    if (ErrorCode e = EndDoubleBufferCore(s->vm, d)) return fail(e);
  int selected = 0;
  ErrorCode outputCheck = checkOutput(s, d, &selected);
  if (outputCheck == -1) return fail(ERR_NONE);
  if (outputCheck) return fail(outputCheck);
  if (s->effect == FX_RANDOMEFFECT)
    s->effect = PickRandomFX(s->kind != FXKIND_BGPIC && !s->bgpicEmu);
  if (s->kind != FXKIND_BGPIC && IsMovingFX(s->effect) &&
      !(s->kind == FXKIND_SHOWLAYER && s->bgpicEmu))
    s->effect = 0;
  if (selected)
    if (ErrorCode e = EndOutputSelection(s->vm, d, 0)) return fail(e);
  if (s->reverse) s->effect = mirrorEffect(s->effect);
  if ((error = prepareObject(s, d))) return fail(error);
  if (s->kind == FXKIND_SHOWLAYER || s->kind == FXKIND_HIDELAYER || s->kind == FXKIND_REMOVELAYER)
    if ((error = prepareLayer(s, d))) return fail(error);
  // A scrolled layer is moved itself and needs no picture.
  if (s->width < 1 || s->height < 1 || (!s->image && !(s->isScroll && s->layer))) {
    if (!(s->reverse && !s->layerMode && s->image)) return fail(ERR_WRONGUSAGE);
  }
  int32_t outWidth = d->bgpic->width, outHeight = d->bgpic->height;
  bool visible = onOutput(s, outWidth, outHeight);
  if ((error = flatten(s))) return fail(error);
  if ((error = saveBackground(s, visible))) return fail(error);
  s->dest = nullptr;
  s->outWidth = outWidth;
  s->outHeight = outHeight;
  s->wholeRefresh = d->autoscale && d->scaleWidth > 0 && d->scaleHeight > 0;
  s->bltFlags = s->wholeRefresh ? SAFEBLT_BACKBUFFER | SAFEBLT_NOREFRESH : SAFEBLT_BACKBUFFER;
  int32_t e = s->effect;
  if (VideoRecorderActive() && ((e >= 101 && e <= 104) || e == 118 || (e >= 124 && e <= 127))) {
    s->recorderRefresh = 1;
    s->bufferedRefresh = 1;
    s->bltFlags |= SAFEBLT_NOREFRESH;
  }
  if (s->kind == FXKIND_BGPIC && d->layers) s->bltFlags |= SAFEBLT_REFRESHBACK;
  s->render = GetFXRenderer(s->effect);
  if (!s->render) return fail(ERR_WRONGUSAGE);
  s->phase = FXPHASE_PREPARE;
  if ((error = s->render(s, nullptr))) return fail(error);
  s->phase = FXPHASE_FRAME;
  s->frame = 0;
  if (!s->async) {
    error = runSynchronous(s, d, &completed);
    SetTransitionRunning(0);
    request->restart = s->restart;
    if (s->kind == FXKIND_BGPIC && !s->sizeChanged && completed) endBGPicTransition(s, d);
    if (error) {
      freeFXState(s, 0);
      return error;
    }
    freeFXState(s, completed ? 1 : 0);
    return ERR_NONE;
  }
  AsyncDraw* draw = nullptr;
  if ((error = AddAsyncDraw(ADF_FX, stepTransitionFX, nullptr, finishCallback, releaseCallback,
                            eventCallback, s, &draw)))
    return fail(error);
  s->asyncDraw = draw;
  if (!s->driveAsync) {
    VmPushLightUserdata(s->vm, draw);
    *results = 1;
    return ERR_NONE;
  }
  // A playing video's layer: the command steps the object to its end.
  for (;;) {
    ErrorCode pollError = ERR_NONE;
    if (pollBetweenFrames(s, &pollError)) {
      RemoveAsyncDraw(s->vm, draw, 0);
      return pollError;
    }
    if (draw->finished) {
      StepAsyncDraw(s->vm, draw, 1);
      return ERR_NONE;
    }
    if ((error = StepAsyncDraw(s->vm, draw, 0))) {
      RemoveAsyncDraw(s->vm, draw, 0);
      return error;
    }
    WaitDisplayVBlank(s->vm, d, 0);
  }
}
