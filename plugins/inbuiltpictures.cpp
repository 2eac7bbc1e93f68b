// The system's own picture loaders behind picture handles: the media
// library's image codecs and the graphics library's scaler, lent to the
// picture handles of the plug-in system (SetInbuiltPictureLoaders). Part of
// the host library, which sits above every folder.
#include "gfx/gfx.h"
#include "media/media.h"
#include "plugins/hostapi.h"
#include "plugins/plugin_private.h"
#include "runtime/runtime.h"

namespace {

// The system's own loaders, reached through the image load dispatch of the
// media codecs with the loader string ("inbuilt" and "native" items).
ErrorCode loadInbuiltPicture(const char* name, const char* loaders, void** image, uint32_t** pixels,
                             int32_t* width, int32_t* height, int32_t* hasAlpha,
                             int32_t* transparency) {
  DecodedImage* decoded = nullptr;
  ErrorCode error =
      LoadImageFile(name, IsDefaultLoaderString(loaders) ? nullptr : loaders, nullptr, nullptr, -1,
                    0, &decoded, nullptr, transparency, width, height, hasAlpha, nullptr, nullptr);
  if (error) return error;
  *image = decoded;
  *pixels = GetDecodedImagePixels(decoded);
  if (!*pixels) {
    FreeDecodedImage(decoded);
    *image = nullptr;
    SetErrorArgString(name);
    return ERR_LOADPICTURE2;
  }
  return ERR_NONE;
}
void freeInbuiltPicture(void* image) { FreeDecodedImage(static_cast<DecodedImage*>(image)); }

// The size alone, as the information request reads it; that request
// stores the alpha word too, so it gets one to store into.
ErrorCode inbuiltPictureSize(const char* name, const char* loaders, int32_t* width,
                             int32_t* height) {
  int32_t hasAlpha = 0;
  return LoadImageFile(name, IsDefaultLoaderString(loaders) ? nullptr : loaders, nullptr, nullptr,
                       -1, 0, nullptr, nullptr, nullptr, width, height, &hasAlpha, nullptr,
                       nullptr);
}

uint32_t* scalePicture(const uint32_t* pixels, int32_t width, int32_t height, int32_t newWidth,
                       int32_t newHeight, int32_t smooth) {
  return reinterpret_cast<uint32_t*>(ScalePixelBuffer(pixels, 0, 0, width, height, nullptr, 0, 0,
                                                      newWidth, newHeight, width, newWidth,
                                                      PIXFMT_ARGB32, smooth));
}

const InbuiltPictureLoaders INBUILT = {loadInbuiltPicture, freeInbuiltPicture, inbuiltPictureSize,
                                       scalePicture};

}  // namespace

void InstallInbuiltPictureLoaders() { SetInbuiltPictureLoaders(&INBUILT); }
