// Frames that video threads finished for a display: each display keeps a
// list of them under its own mutex; only the main thread empties it and
// copies the frames to the window. Also the hooks through which the
// display library reaches the video library.
//
// Invariant: a display's list holds at most one frame per owner (a newer
// frame replaces the older one), and every frame in it owns its pixels.
//
// With a display adapter a video that plays straight on a display is an
// on-screen sprite instance of the display's picture instead: its frames
// become the instance's image, and the picture's redraw composes them over
// whatever is drawn beneath.
#include <algorithm>

#include "display/adapter_private.h"
#include "display/context_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "display/layer_private.h"
#include "gfx/gfx.h"
#include "platform/linux/platform.h"

namespace {

void freeFrame(PendingDisplayFrame* f) {
  FreeMemory(f->pixels);
  FreeMemory(f);
}

// Unlinks the owner's frames (every frame for a null owner) into a list
// the caller frees outside the lock.
PendingDisplayFrame* takeFrames(DisplayRecord* d, const void* owner) {
  PendingDisplayFrame* taken = nullptr;
  auto** link = reinterpret_cast<PendingDisplayFrame**>(&d->pendingFrames);
  while (*link) {
    PendingDisplayFrame* f = *link;
    if (owner && f->owner != owner) {
      link = &f->next;
      continue;
    }
    *link = f->next;
    f->next = taken;
    taken = f;
  }
  return taken;
}

void freeList(PendingDisplayFrame* f) {
  while (f) {
    PendingDisplayFrame* next = f->next;
    freeFrame(f);
    f = next;
  }
}

void copyToWindow(DisplayRecord* d, const PendingDisplayFrame* f) {
  if (d->state != DISPSTATE_OPEN) return;
  BitmapHandle* bitmap = nullptr;
  if (CreateBitmapFromRGB(f->pixels, -1, f->width, f->height, f->width, 0, 0, d, &bitmap, nullptr,
                          nullptr) != ERR_NONE)
    return;
  displayContext.copyingVideoFrames = 1;
  RefreshDisplayRect(bitmap, 0, 0, d, f->x, f->y, f->width, f->height, REFRESH_FORCE);
  displayContext.copyingVideoFrames = 0;
  FreeBitmap(bitmap);
}

// Shows the rectangle of the display's picture again: the layers composed
// with the sprites over them, or the window bitmap with the sprites.
void redrawSpriteRect(VmState* L, DisplayRecord* d, int32_t x, int32_t y, int32_t width,
                      int32_t height) {
  if (d->state != DISPSTATE_OPEN || width <= 0 || height <= 0) return;
  if (d->layers)
    LayerBlitRefresh(L, d, x, y, width, height);
  else
    RedrawSpriteArea(L, d, x, y, width, height);
}

SpriteInstance*& spritesOf(BGPic* pic) { return reinterpret_cast<SpriteInstance*&>(pic->sprites); }

}  // namespace

void RenewVideoLayer(VmState* L, DisplayRecord* d, qmLayer* layer) {
  BGPic* pic = nullptr;
  for (BGPic* p = GetBGPicList(); p && !pic; p = reinterpret_cast<BGPic*>(p->head.next))
    for (qmLayer* l = FirstLayer(p); l; l = NextLayer(l))
      if (l == layer) {
        pic = p;
        break;
      }
  if (!pic) return;
  FreeLayerCaches(layer);
  // The renders work on the current display and picture.
  DisplayRecord* savedDisplay = GetCurrentDisplay();
  BGPic* savedPicture = GetCurrentBGPic();
  if (d) SetCurrentDisplay(d);
  SetCurrentBGPic(pic);
  // A layer drawn through a transform (and with it the display's scale)
  // shows images made from the frame, not the frame itself. While a
  // running transition stands in for the layer's displayed state, the
  // layer's own one counts, and the transition takes the new frame when
  // told.
  const LayerImageState* shown = layer->heldDisplay ? layer->heldDisplay : layer->display;
  if (layer->unscaled != layer->base)
    RenderLayerImage(L, layer, RENDER_TRANSFORM, d);
  else if (shown != layer->base)
    RenderLayerImage(L, layer, RENDER_DISPLAYSCALE | RENDER_TRANSFORM, d);
  else if (layer->heldDisplay) {
    layer->heldChanges++;
    BroadcastAsyncDrawEvent(ADEVENT_CHANGED, reinterpret_cast<intptr_t>(layer));
  }
  if (L && d && d->state == DISPSTATE_OPEN && d->bgpic == pic) RefreshLayerArea(L, layer, 0);
  SetCurrentDisplay(savedDisplay);
  SetCurrentBGPic(savedPicture);
}

void RescaleDisplayVideos(VmState* L, DisplayRecord* display) {
  if (display && displayContext.videoHooks.rescale) displayContext.videoHooks.rescale(L, display);
}

int VideosAsSprites() { return DisplayAdapterInUse() ? 1 : 0; }

SpriteInstance* AddVideoSprite(DisplayRecord* d, void* video, ObjectId id, int32_t x, int32_t y,
                               int32_t width, int32_t height) {
  if (!d || !d->bgpic) return nullptr;
  SpriteInstance* s = AddSpriteInstance(d->bgpic, 1);
  if (!s) return nullptr;
  s->id = id;
  s->video = video;
  s->videoWord = 1;
  s->frame = 1;
  s->x = x, s->y = y, s->width = width, s->height = height;
  return s;
}

void ShowVideoSpriteFrame(VmState* L, DisplayRecord* d, SpriteInstance* s, BitmapHandle* bitmap,
                          int32_t x, int32_t y) {
  const int32_t ox = s->x, oy = s->y, ow = s->image.bitmap ? s->width : 0,
                oh = s->image.bitmap ? s->height : 0;
  s->image = LayerTriple{bitmap, nullptr, nullptr};
  s->x = x, s->y = y;
  s->width = bitmap ? static_cast<int32_t>(GetBitmapAttr(bitmap, 0)) : 0;
  s->height = bitmap ? static_cast<int32_t>(GetBitmapAttr(bitmap, 14)) : 0;
  if (!d) return;
  // One redraw of both areas when they meet, else one each.
  const bool meet =
      ow > 0 && oh > 0 && ox < x + s->width && x < ox + ow && oy < y + s->height && y < oy + oh;
  if (meet) {
    const int32_t x1 = std::min(ox, x), y1 = std::min(oy, y);
    const int32_t x2 = std::max(ox + ow, x + s->width), y2 = std::max(oy + oh, y + s->height);
    redrawSpriteRect(L, d, x1, y1, x2 - x1, y2 - y1);
    return;
  }
  redrawSpriteRect(L, d, ox, oy, ow, oh);
  redrawSpriteRect(L, d, x, y, s->width, s->height);
}

void RemoveVideoSprite(VmState* L, const void* video) {
  if (!video) return;
  for (BGPic* p = GetBGPicList(); p; p = reinterpret_cast<BGPic*>(p->head.next)) {
    for (SpriteInstance* s = spritesOf(p); s; s = s->next) {
      if (s->video != video) continue;
      const int32_t x = s->x, y = s->y, w = s->width, h = s->height;
      UnlinkSpriteInstance(p, s);
      FreeMemory(s);
      for (DisplayRecord* d = GetDisplayList(); d;
           d = reinterpret_cast<DisplayRecord*>(d->head.next))
        if (d->bgpic == p) redrawSpriteRect(L, d, x, y, w, h);
      return;
    }
  }
}

void SetDisplayVideoHooks(const DisplayVideoHooks* hooks) {
  displayContext.videoHooks = hooks ? *hooks : DisplayVideoHooks{};
}

int DisplayShowsVideo(const DisplayRecord* display, int excludeLayers, int includePictureLayers) {
  if (!display || !displayContext.videoHooks.shown) return 0;
  return displayContext.videoHooks.shown(display, excludeLayers, includePictureLayers);
}

ErrorCode GetDrawnVideoSize(ObjectId id, int32_t* width, int32_t* height) {
  if (!displayContext.videoHooks.size) return ObjectNotFound(id, ERR_FINDVIDEO);
  return displayContext.videoHooks.size(id, width, height);
}

void StopLayerVideo(VmState* L, qmLayer* layer) {
  if (displayContext.videoHooks.stopLayer) displayContext.videoHooks.stopLayer(L, layer);
}

ErrorCode RunVideoLayerCommand(VmState* L, qmLayer* layer, int32_t command, int32_t value) {
  if (!displayContext.videoHooks.command) return ObjectNotFound(layer->sourceId, ERR_FINDVIDEO);
  return displayContext.videoHooks.command(L, layer, command, value);
}

ErrorCode InsertVideoLayer(VmState* L, ObjectId id, int32_t x, int32_t y, int32_t position,
                           int hidden) {
  if (!displayContext.videoHooks.insert) return ObjectNotFound(id, ERR_FINDVIDEO);
  return displayContext.videoHooks.insert(L, id, x, y, position, hidden);
}

int32_t GetDisplayVideoRects(const DisplayRecord* display, int32_t* rects, int32_t max) {
  if (displayContext.copyingVideoFrames || !displayContext.videoHooks.rects) return 0;
  return displayContext.videoHooks.rects(display, rects, max);
}

void QueueDisplayFrame(DisplayRecord* display, PendingDisplayFrame* frame) {
  frame->next = nullptr;
  LockMutex(display->mutex);
  PendingDisplayFrame* older = takeFrames(display, frame->owner);
  auto** link = reinterpret_cast<PendingDisplayFrame**>(&display->pendingFrames);
  while (*link) link = &(*link)->next;
  *link = frame;
  UnlockMutex(display->mutex);
  freeList(older);
  WakeEventLoop();
}

void DropDisplayFrames(DisplayRecord* display, const void* owner) {
  if (!display || !display->mutex) return;
  LockMutex(display->mutex);
  PendingDisplayFrame* taken = takeFrames(display, owner);
  UnlockMutex(display->mutex);
  freeList(taken);
}

ErrorCode ApplyPendingDisplayFrames(VmState* L) {
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next)) {
    if (!d->mutex) continue;
    LockMutex(d->mutex);
    auto* list = static_cast<PendingDisplayFrame*>(d->pendingFrames);
    d->pendingFrames = nullptr;
    UnlockMutex(d->mutex);
    for (PendingDisplayFrame* f = list; f;) {
      PendingDisplayFrame* next = f->next;
      if (f->apply)
        f->apply(L, f);
      else
        copyToWindow(d, f);
      freeFrame(f);
      f = next;
    }
  }
  return ERR_NONE;
}
