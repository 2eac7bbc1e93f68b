// The tables through which the graphics library reaches the folders above
// it. Invariant: every entry answers, installed or not; the defaults act as
// if there were no display, no brush or sprite and no picture codec.
#include "gfx/hooks_private.h"

namespace {

DisplayRecord* noDisplay() { return nullptr; }
// No display exists to be found.
ErrorCode displayNotFound() {
  SetErrorArgNumber(0);
  return ERR_FINDDISPLAY;
}
void noRefresh(VmState*, DisplayRecord*, uint32_t) {}
int noBracket(const DisplayRecord*) { return 0; }
void noVBlank(VmState*, DisplayRecord*, int32_t) {}
ErrorCode noMonitor(DisplayRecord*, int32_t*, int32_t*, int32_t*, int32_t*) {
  return displayNotFound();
}
ErrorCode noGrab(DisplayRecord*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                 BitmapHandle** bitmap) {
  *bitmap = nullptr;
  return displayNotFound();
}
ErrorCode noPicture(VmState*, BGPic*, int32_t, int32_t, int32_t, int32_t, BitmapHandle** out,
                    int* owned) {
  *out = nullptr;
  *owned = 0;
  return displayNotFound();
}
ErrorCode noReaders() { return ERR_NONE; }
// A pointer that no window system made: nothing to show or free.
ErrorCode noPointer(const uint32_t*, int32_t, int32_t, int32_t, int32_t, void** out) {
  *out = nullptr;
  return ERR_NONE;
}
void noFreePointer(void*) {}
void noSetPointer(DisplayRecord*, void*, int32_t) {}
void noShowPointer(DisplayRecord*, int) {}
void noMovePointer(DisplayRecord*, int32_t, int32_t) {}
constexpr GfxDisplayHooks DEFAULT_DISPLAYS = {
    noDisplay, noDisplay,     noDisplay,    noRefresh,     noBracket,
    noVBlank,  noMonitor,     noGrab,       noPicture,     noReaders,
    noPointer, noFreePointer, noSetPointer, noShowPointer, noMovePointer};

// Without the libraries that own them no brush or sprite exists: the
// look-up errors of the identifiers asked for.
ErrorCode notFound(ObjectId id, ErrorCode code) {
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return code;
}
ErrorCode noBrush(VmState*, ObjectId id, BrushObject** out, uint32_t) {
  *out = nullptr;
  return notFound(id, ERR_FINDBRUSH);
}
ErrorCode noSprite(ObjectId id, SpriteObject** out, uint32_t) {
  *out = nullptr;
  return notFound(id, ERR_FINDSPRITE);
}
// Never reached: no sprite is found to ask for its frames.
ErrorCode noFrame(SpriteObject*, int32_t, BitmapHandle** bitmap, BitmapHandle** mask,
                  BitmapHandle** alpha) {
  *bitmap = *mask = *alpha = nullptr;
  return ERR_FINDSPRITE;
}
constexpr GfxObjectHooks DEFAULT_OBJECTS = {noBrush, noSprite, noFrame};

ErrorCode noLoad(const char* file, const char*, const char*, const int32_t*, int32_t, int32_t,
                 DecodedImage** image, uint32_t**, int32_t*, int32_t*, int32_t*, int32_t*, int32_t*,
                 int32_t*) {
  if (image) *image = nullptr;
  SetErrorArgString(file);
  return ERR_LOADPICTURE2;
}
void noFreeImage(DecodedImage*) {}
constexpr GfxPictureFileHooks DEFAULT_PICTURE_FILES = {noLoad, noFreeImage};

// Installed once when the program loads, never part of a run's state, so
// the folder's context record does not hold them.
const GfxDisplayHooks* displayHooks = nullptr;
const GfxObjectHooks* objectHooks = nullptr;
const GfxPictureFileHooks* pictureFileHooks = nullptr;

}  // namespace

void SetGfxDisplayHooks(const GfxDisplayHooks* hooks) { displayHooks = hooks; }
void SetGfxObjectHooks(const GfxObjectHooks* hooks) { objectHooks = hooks; }
void SetGfxPictureFileHooks(const GfxPictureFileHooks* hooks) { pictureFileHooks = hooks; }

const GfxDisplayHooks& DisplayHooks() { return displayHooks ? *displayHooks : DEFAULT_DISPLAYS; }
const GfxObjectHooks& ObjectHooks() { return objectHooks ? *objectHooks : DEFAULT_OBJECTS; }
const GfxPictureFileHooks& PictureFileHooks() {
  return pictureFileHooks ? *pictureFileHooks : DEFAULT_PICTURE_FILES;
}
