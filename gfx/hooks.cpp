// The tables through which the graphics library reaches the folders above
// it. Invariant: every entry answers, installed or not; the defaults act as
// if there were no picture codec.
#include "gfx/hooks_private.h"

namespace {

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
const GfxPictureFileHooks* pictureFileHooks = nullptr;

}  // namespace

void SetGfxPictureFileHooks(const GfxPictureFileHooks* hooks) { pictureFileHooks = hooks; }

const GfxPictureFileHooks& PictureFileHooks() {
  return pictureFileHooks ? *pictureFileHooks : DEFAULT_PICTURE_FILES;
}
