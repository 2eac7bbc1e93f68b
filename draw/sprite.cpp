// Sprite records and their list, frames (own or linked), showing, moving
// and removing sprites on the current display's background picture, and
// the frames of sprites made before any display. Invariant: a sprite on
// screen has an instance whose image points at its current frame's
// bitmaps, which stay valid while it is on screen (flip and scale refuse
// sprites on screen, and freeing takes a sprite off every picture first).
#include <algorithm>

#include "draw/draw_private.h"

namespace {

SpriteObject* firstSprite() { return reinterpret_cast<SpriteObject*>(drawContext.spriteList); }
SpriteObject* nextSprite(SpriteObject* s) { return reinterpret_cast<SpriteObject*>(s->head.next); }

void unlinkSprite(SpriteObject* s) {
  for (ObjectHead** p = &drawContext.spriteList; *p; p = &(*p)->next)
    if (*p == &s->head) {
      *p = s->head.next;
      return;
    }
}

ErrorCode notFound(ObjectId id) {
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDSPRITE;
}

// Whether another sprite's link array names s.
bool isLinkedTo(const SpriteObject* s) {
  for (SpriteObject* o = firstSprite(); o; o = nextSprite(o))
    if (o != s && o->links)
      for (SpriteObject** l = o->links; *l; ++l)
        if (*l == s) return true;
  return false;
}

void freeFrames(SpriteObject* s) {
  for (int32_t i = 0; i < s->frameCount && !s->links; ++i) {
    if (s->bitmaps) FreeBitmap(s->bitmaps[i]);
    if (s->masks) FreeBitMask(s->masks[i]);
    if (s->alphas) FreeAlphaChannel(s->alphas[i]);
    if (s->saved) FreeMemory(s->saved[i]);
  }
  FreeMemory(s->bitmaps);
  FreeMemory(s->masks);
  FreeMemory(s->alphas);
  FreeMemory(s->saved);
  FreeMemory(s->links);
  s->bitmaps = s->masks = s->alphas = nullptr;
  s->saved = nullptr;
  s->links = nullptr;
}

void freeRecord(VmState* L, SpriteObject* s) {
  freeFrames(s);
  if (L) FreeObjectDataList(L, &s->head.data);
  FreeMemory(s);
}

// Takes the sprite off the current picture (its area shown again) and off
// every other picture.
void takeOffScreen(VmState* L, SpriteObject* s) {
  DisplayRecord* d = GetCurrentDisplay();
  if (d && d->bgpic) {
    SpriteInstance* inst = FindSpriteInstance(
        s->head.autoId ? ObjectId{s->head.autoId, 0} : ObjectId{nullptr, s->head.number}, nullptr);
    if (inst && inst->sprite == s) {
      UnlinkSpriteInstance(d->bgpic, inst);
      const int32_t x = inst->x, y = inst->y, w = inst->width, h = inst->height;
      FreeMemory(inst);
      RedrawSpriteArea(L, d, x, y, w, h);
    }
  }
  ForgetSpriteInstances(s);
}

ObjectId idOf(const SpriteObject* s) {
  return s->head.autoId ? ObjectId{s->head.autoId, 0} : ObjectId{nullptr, s->head.number};
}

// Frees the sprite and, when it has its own frames, every sprite that
// links to it first.
void freeSprite(VmState* L, SpriteObject* s) {
  if (!s->links) {
    for (;;) {
      SpriteObject* linker = nullptr;
      for (SpriteObject* o = firstSprite(); o && !linker; o = nextSprite(o))
        if (o != s && o->links)
          for (SpriteObject** l = o->links; *l; ++l)
            if (*l == s) linker = o;
      if (!linker) break;
      freeSprite(L, linker);
    }
  }
  unlinkSprite(s);
  takeOffScreen(L, s);
  freeRecord(L, s);
}

}  // namespace

ErrorCode GetSpriteObject(ObjectId id, SpriteObject** out, uint32_t flags) {
  *out = nullptr;
  for (SpriteObject* s = firstSprite(); s; s = nextSprite(s)) {
    if (s->head.number != id.number || s->head.autoId != id.autoId) continue;
    if (s->copyForLayers && !(flags & SPRITE_COPIES)) continue;
    if ((flags & SPRITE_MODIFY) && s->useCount) return ERR_LOCKEDOBJ;
    *out = s;
    return ERR_NONE;
  }
  return notFound(id);
}

ErrorCode GetSpriteFrame(SpriteObject* s, int32_t frame, BitmapHandle** bitmap, BitmapHandle** mask,
                         BitmapHandle** alpha) {
  *bitmap = *mask = *alpha = nullptr;
  if (frame < 0 || frame >= s->frameCount) return ERR_ANIMFRAME;
  if (s->links) {
    for (SpriteObject** l = s->links; *l; ++l) {
      if (frame < (*l)->frameCount) return GetSpriteFrame(*l, frame, bitmap, mask, alpha);
      frame -= (*l)->frameCount;
    }
    return ERR_ANIMFRAME;
  }
  if (!s->bitmaps || !s->bitmaps[frame]) return ERR_BITMAP;
  *bitmap = s->bitmaps[frame];
  *mask = s->masks ? s->masks[frame] : nullptr;
  *alpha = s->alphas ? s->alphas[frame] : nullptr;
  return ERR_NONE;
}

ErrorCode GetSpriteFrameBitmaps(VmState*, ObjectId id, int32_t frame, ObjectBitmaps* out) {
  *out = ObjectBitmaps{};
  SpriteObject* s = nullptr;
  if (ErrorCode e = GetSpriteObject(id, &s, 0)) return e;
  BitmapHandle *b = nullptr, *m = nullptr, *a = nullptr;
  if (ErrorCode e = GetSpriteFrame(s, VmIndexFromOne(frame), &b, &m, &a)) return e;
  if (ErrorCode e = ConvertBitmap(b, m, a, 0, 0, s->width, s->height, 0, 0, nullptr, nullptr,
                                  &out->bitmap, &out->mask, &out->alpha))
    return e;
  out->width = s->width;
  out->height = s->height;
  return ERR_NONE;
}

ErrorCode AddSpriteObject(VmState* L, ObjectId* id, int automatic, int32_t width, int32_t height,
                          int64_t keyColour, SpriteFrames* frames, SpriteObject** out) {
  if (out) *out = nullptr;
  if (!automatic)
    if (ErrorCode e = FreeSpriteById(L, *id, 0)) return e;
  auto* s = static_cast<SpriteObject*>(AllocMemory(sizeof(SpriteObject), 1));
  if (!s) return ERR_MEM;
  s->head.type = OBJTYPE_SPRITE;
  if (automatic) {
    s->head.autoId = s;
    *id = ObjectId{s, 0};
  } else {
    s->head.number = id->number;
  }
  s->width = width;
  s->height = height;
  s->frameCount = frames->count;
  s->keyColour = keyColour;
  s->bitmaps = frames->bitmaps;
  s->masks = frames->masks;
  s->alphas = frames->alphas;
  s->saved = frames->saved;
  *frames = SpriteFrames{};
  ObjectHead** link = &drawContext.spriteList;
  while (*link) link = &(*link)->next;
  *link = &s->head;
  if (out) *out = s;
  return ERR_NONE;
}

ErrorCode FreeSpriteById(VmState* L, ObjectId id, int reportMissing) {
  SpriteObject* s = nullptr;
  if (ErrorCode e = GetSpriteObject(id, &s, 0)) return reportMissing ? e : ERR_NONE;
  if (s->useCount) return ERR_LOCKEDOBJ;
  // Sprites that link to it go with it: none of them may be in use.
  for (SpriteObject* o = firstSprite(); o; o = nextSprite(o))
    if (o->links && !s->links && o->useCount)
      for (SpriteObject** l = o->links; *l; ++l)
        if (*l == s) return ERR_LOCKEDOBJ;
  freeSprite(L, s);
  return ERR_NONE;
}

void FreeAllSprites(VmState* L) {
  while (SpriteObject* s = firstSprite()) {
    unlinkSprite(s);
    ForgetSpriteInstances(s);
    freeRecord(L, s);
  }
}

ErrorCode DisplaySpriteCore(VmState* L, ObjectId id, int32_t x, int32_t y, int32_t frame) {
  DisplayRecord* d = GetCurrentDisplay();
  if (!d || !d->bgpic) return ERR_CLOSEDDISPLAY;
  SpriteObject* s = nullptr;
  if (ErrorCode e = GetSpriteObject(id, &s, 0)) return e;
  if (frame < 0 || frame > s->frameCount) return ERR_ANIMFRAME;
  BGPic* pic = d->bgpic;
  x = ResolveXPos(x, s->width, pic->width, 0);
  y = ResolveYPos(y, s->height, pic->height, 0);
  SpriteInstance* inst = FindSpriteInstance(id, nullptr);
  if (inst) {
    const int32_t next = frame == 0 ? inst->frame % s->frameCount + 1 : frame;
    if (next == inst->frame && x == inst->x && y == inst->y) return ERR_NONE;
    BitmapHandle *b = nullptr, *m = nullptr, *a = nullptr;
    if (ErrorCode e = GetSpriteFrame(s, next - 1, &b, &m, &a)) return e;
    const int64_t ox = inst->x, oy = inst->y, w = inst->width, h = inst->height;
    inst->frame = next;
    inst->x = x;
    inst->y = y;
    inst->image = LayerTriple{b, m, a};
    const bool apart = x >= ox + w || ox >= int64_t{x} + w || y >= oy + h || oy >= int64_t{y} + h;
    if (apart) {
      RedrawSpriteArea(L, d, static_cast<int32_t>(ox), static_cast<int32_t>(oy),
                       static_cast<int32_t>(w), static_cast<int32_t>(h));
      RedrawSpriteArea(L, d, x, y, inst->width, inst->height);
    } else {
      const int64_t ux = std::min<int64_t>(ox, x), uy = std::min<int64_t>(oy, y);
      const int64_t ux2 = std::max<int64_t>(ox, x) + w, uy2 = std::max<int64_t>(oy, y) + h;
      RedrawSpriteArea(L, d, static_cast<int32_t>(ux), static_cast<int32_t>(uy),
                       static_cast<int32_t>(ux2 - ux), static_cast<int32_t>(uy2 - uy));
    }
    return ERR_NONE;
  }
  if (frame == 0) frame = 1;
  BitmapHandle *b = nullptr, *m = nullptr, *a = nullptr;
  if (ErrorCode e = GetSpriteFrame(s, VmIndexFromOne(frame), &b, &m, &a)) return e;
  inst = AddSpriteInstance(pic, 0);
  if (!inst) return ERR_MEM;
  inst->id = id;
  inst->x = x;
  inst->y = y;
  inst->width = s->width;
  inst->height = s->height;
  inst->frame = frame;
  inst->sprite = s;
  inst->image = LayerTriple{b, m, a};
  RedrawSpriteArea(L, d, x, y, s->width, s->height);
  return ERR_NONE;
}

ErrorCode RestoreSpriteBitmaps() {
  for (SpriteObject* s = firstSprite(); s; s = nextSprite(s)) {
    if (!s->saved || s->links) continue;
    const size_t bytes = sizeof(BitmapHandle*) * static_cast<size_t>(s->frameCount);
    if (!s->bitmaps) s->bitmaps = static_cast<BitmapHandle**>(AllocMemory(bytes, 1));
    if (!s->masks) s->masks = static_cast<BitmapHandle**>(AllocMemory(bytes, 1));
    if (!s->alphas) s->alphas = static_cast<BitmapHandle**>(AllocMemory(bytes, 1));
    if (!s->bitmaps || !s->masks || !s->alphas) return ERR_MEM;
    for (int32_t i = 0; i < s->frameCount; ++i) {
      if (!s->saved[i]) continue;
      BitmapHandle *b = nullptr, *m = nullptr, *a = nullptr;
      // A key colour makes a mask, else the saved top bytes an alpha channel.
      const uint32_t flags = s->keyColour < 0 ? 8 : 0;
      if (ErrorCode e = CreateBitmapFromRGB(s->saved[i], s->keyColour, s->width, s->height,
                                            s->width, 0, flags, nullptr, &b, &m, &a))
        return e;
      s->bitmaps[i] = b;
      s->masks[i] = m;
      s->alphas[i] = a;
      FreeMemory(s->saved[i]);
      s->saved[i] = nullptr;
    }
    FreeMemory(s->saved);
    s->saved = nullptr;
    s->animFile = nullptr;
  }
  return ERR_NONE;
}

// Whether the sprite or one that links to it takes part in links.
bool SpriteIsLinked(const SpriteObject* s) { return s->links || isLinkedTo(s); }
ObjectId SpriteIdOf(const SpriteObject* s) { return idOf(s); }
SpriteObject* FirstSpriteObject() { return firstSprite(); }
