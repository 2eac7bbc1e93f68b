// The tables through which the graphics library reaches the folders above
// it. Invariant: every entry answers, installed or not; the defaults act as
// if there were no brush or sprite and no picture codec.
#include "gfx/hooks_private.h"

namespace {

ErrorCode noBrush(VmState*, ObjectId, BrushObject** out, uint32_t) {
  *out = nullptr;
  return ERR_FINDBRUSH;
}
ErrorCode noSprite(ObjectId, SpriteObject** out, uint32_t) {
  *out = nullptr;
  return ERR_FINDSPRITE;
}
ErrorCode noFrame(SpriteObject*, int32_t, BitmapHandle** bitmap, BitmapHandle** mask,
                  BitmapHandle** alpha) {
  *bitmap = *mask = *alpha = nullptr;
  return ERR_FINDSPRITE;
}
constexpr GfxObjectHooks DEFAULT_OBJECTS = {noBrush, noSprite, noFrame};

ErrorCode noLoad(const char*, const char*, const char*, const int32_t*, int32_t, int32_t,
                 DecodedImage** image, uint32_t**, int32_t*, int32_t*, int32_t*, int32_t*, int32_t*,
                 int32_t*) {
  if (image) *image = nullptr;
  return ERR_LOADPICTURE2;
}
void noFreeImage(DecodedImage*) {}
constexpr GfxPictureFileHooks DEFAULT_PICTURE_FILES = {noLoad, noFreeImage};

// Installed once when the program loads, never part of a run's state, so
// the folder's context record does not hold them.
const GfxObjectHooks* objectHooks = nullptr;
const GfxPictureFileHooks* pictureFileHooks = nullptr;

}  // namespace

void SetGfxObjectHooks(const GfxObjectHooks* hooks) { objectHooks = hooks; }
void SetGfxPictureFileHooks(const GfxPictureFileHooks* hooks) { pictureFileHooks = hooks; }

const GfxObjectHooks& ObjectHooks() { return objectHooks ? *objectHooks : DEFAULT_OBJECTS; }
const GfxPictureFileHooks& PictureFileHooks() {
  return pictureFileHooks ? *pictureFileHooks : DEFAULT_PICTURE_FILES;
}
