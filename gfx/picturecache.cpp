// The picture cache: decoded pictures kept by file name, so that brushes
// and anims loaded from one file share one decoded picture. Each entry
// holds one use of its picture and its own copy of the alpha channel.
//
// Invariant: names are compared whole (a long path never matches another
// that only shares its beginning) and without regard to case.
#include <cstring>

#include "gfx/context_private.h"
#include "gfx/gfx.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

struct CachedPicture {
  CachedPicture* next;
  char* fileName;
  int32_t width, height;
  intptr_t value, extra;  // the loader's, returned unchanged
  PictureHandle* picture;
  BitmapHandle* alpha;
};

ErrorCode AddCachedPicture(const char* fileName, int32_t width, int32_t height, intptr_t value,
                           PictureHandle* picture, const BitmapHandle* alpha, intptr_t extra) {
  auto* entry = static_cast<CachedPicture*>(AllocMemory(sizeof(CachedPicture), 1));
  if (!entry) return ERR_MEM;
  size_t length = std::strlen(fileName);
  entry->fileName = static_cast<char*>(AllocMemory(length + 1, 0));
  if (!entry->fileName) {
    FreeMemory(entry);
    return ERR_MEM;
  }
  std::memcpy(entry->fileName, fileName, length + 1);
  if (alpha) {
    entry->alpha = CloneAlphaChannel(alpha, alpha->width, alpha->height);
    if (!entry->alpha) {
      FreeMemory(entry->fileName);
      FreeMemory(entry);
      return ERR_MEM;
    }
  }
  entry->width = width;
  entry->height = height;
  entry->value = value;
  entry->extra = extra;
  entry->picture = picture;
  if (picture) RetainPictureHandle(picture);
  CachedPicture** link = &gfxContext.pictureCache;
  while (*link) link = &(*link)->next;
  *link = entry;
  return ERR_NONE;
}

ErrorCode FindCachedPicture(const char* fileName, int wantAlpha, int32_t* width, int32_t* height,
                            intptr_t* value, PictureHandle** picture, BitmapHandle** alpha,
                            intptr_t* extra) {
  CachedPicture* e = gfxContext.pictureCache;
  while (e && CompareNoCase(e->fileName, fileName) != 0) e = e->next;
  if (!e || (wantAlpha && !e->alpha)) return ERR_CACHEERROR;
  BitmapHandle* copy = nullptr;
  if (wantAlpha) {
    copy = CloneAlphaChannel(e->alpha, e->alpha->width, e->alpha->height);
    if (!copy) return ERR_MEM;
  }
  if (alpha) *alpha = copy;
  if (width) *width = e->width;
  if (height) *height = e->height;
  if (value) *value = e->value;
  if (extra) *extra = e->extra;
  if (picture) {
    if (e->picture) RetainPictureHandle(e->picture);
    *picture = e->picture;
  }
  return ERR_NONE;
}

void FreePictureCache() {
  while (CachedPicture* e = gfxContext.pictureCache) {
    gfxContext.pictureCache = e->next;
    ReleasePictureHandle(e->picture);
    FreeAlphaChannel(e->alpha);
    FreeMemory(e->fileName);
    FreeMemory(e);
  }
}
