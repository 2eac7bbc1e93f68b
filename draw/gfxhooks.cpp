// What the graphics library, which lies below the drawing library, reads of
// brushes and sprites: the composition root installs these into its table
// (GfxObjectHooks).
#include "draw/draw.h"

ErrorCode GetBrushPicture(VmState* L, ObjectId id, GfxPicture* out, uint32_t flags) {
  *out = GfxPicture{};
  BrushObject* brush = nullptr;
  if (ErrorCode e = GetBrushObject(L, id, &brush, flags)) return e;
  *out = GfxPicture{brush->bitmap, brush->mask, brush->alpha, brush->width, brush->height};
  return ERR_NONE;
}

ErrorCode GetSpriteFramePicture(ObjectId id, int32_t frame, GfxPicture* out) {
  *out = GfxPicture{};
  SpriteObject* sprite = nullptr;
  if (ErrorCode e = GetSpriteObject(id, &sprite, 0)) return e;
  if (frame < 1 || frame > sprite->frameCount) return ERR_ANIMFRAME;
  if (ErrorCode e = GetSpriteFrame(sprite, frame - 1, &out->bitmap, &out->mask, &out->alpha))
    return e;
  out->width = sprite->width;
  out->height = sprite->height;
  return ERR_NONE;
}
