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
void noPointerPosition(DisplayRecord*, int32_t* x, int32_t* y) { *x = *y = 0; }
// Without displays no display record ever reaches these.
void noValues(const DisplayRecord*, GfxDisplayValues* out) { *out = GfxDisplayValues{}; }
void noPointerState(DisplayRecord*, void*, int) {}
void noRefreshBracket(DisplayRecord*, int) {}
void noTextMargins(DisplayRecord*, int32_t, int32_t) {}
TimeValue* noFrameTime(DisplayRecord*) { return nullptr; }
constexpr GfxDisplayHooks DEFAULT_DISPLAYS = {
    noDisplay,        noDisplay,     noDisplay,     noRefresh,         noBracket, noVBlank,
    noMonitor,        noGrab,        noPicture,     noReaders,         noPointer, noFreePointer,
    noSetPointer,     noShowPointer, noMovePointer, noPointerPosition, noValues,  noPointerState,
    noRefreshBracket, noTextMargins, noFrameTime};

// Without the libraries that own them no brush or sprite exists: the
// look-up errors of the identifiers asked for.
ErrorCode notFound(ObjectId id, ErrorCode code) {
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return code;
}
ErrorCode noBrush(VmState*, ObjectId id, GfxPicture* out, uint32_t) {
  *out = GfxPicture{};
  return notFound(id, ERR_FINDBRUSH);
}
ErrorCode noSpriteFrame(ObjectId id, int32_t, GfxPicture* out) {
  *out = GfxPicture{};
  return notFound(id, ERR_FINDSPRITE);
}
constexpr GfxObjectHooks DEFAULT_OBJECTS = {noBrush, noSpriteFrame};

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
