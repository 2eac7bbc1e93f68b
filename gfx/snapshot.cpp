// SaveSnapshot: the display's window with its borders, its whole picture,
// or the desktop of its monitor, written as an image file. A bitmap
// grabbed from the screen belongs to the command and is freed on every
// path; the display's own buffers are only read.
#include <memory>

#include "engine/engine.h"
#include "gfx/gfx.h"
#include "gfx/hooks_private.h"
#include "gfx/graphics_private.h"
#include "runtime/runtime.h"

namespace {

constexpr int32_t SNAPWINDOW = 0;
constexpr int32_t SNAPDISPLAY = 1;
constexpr int32_t SNAPDESKTOP = 2;

// The display's whole picture as drawing left it, with its layers: the
// back buffer while double buffering, else the picture composed with its
// layers (into a new bitmap that *owned takes when the display has no
// buffer of its own to compose into).
ErrorCode displayPicture(VmState* L, const GfxDisplayValues& d, OwnedBitmap* owned,
                         BitmapHandle** out) {
  *out = nullptr;
  if (d.doubleBuffer && d.backBuffer) {
    *out = d.backBuffer;
    return ERR_NONE;
  }
  if (!d.picture) return ERR_WRONGUSAGE;
  int isOwned = 0;
  if (ErrorCode e = DisplayHooks().pictureWithLayers(L, d.picture, 0, 0, d.pictureWidth,
                                                     d.pictureHeight, out, &isOwned))
    return e;
  if (isOwned) owned->reset(*out);
  return *out ? ERR_NONE : ERR_WRONGUSAGE;
}

}  // namespace

// SaveSnapshot (file [, type, format, options]).
int CmdSaveSnapshot(VmState* L) {
  CheckArgCount(L, 1, 4, 0, 0);
  const char* file = VmCheckString(L, 1, nullptr);
  int32_t type = VmOptInteger(L, 2, SNAPWINDOW);
  int32_t format = VmOptInteger(L, 3, 0);
  int32_t quality = 90, colors = 256, dither = 0;
  ReadImageSaveOptions(L, 4, &quality, &colors, &dither);
  DisplayRecord* d = DisplayHooks().current();
  if (!d) return ERR_WRONGUSAGE;
  GfxDisplayValues v = DisplayValuesOf(d);

  OwnedBitmap grabbed;
  BitmapHandle* source = nullptr;
  if (type == SNAPDISPLAY) {
    if (ErrorCode e = displayPicture(L, v, &grabbed, &source)) return e;
  } else if (type == SNAPDESKTOP || type == SNAPWINDOW) {
    int32_t x = 0, y = 0, width = 0, height = 0;
    if (type == SNAPDESKTOP) {
      if (ErrorCode e = DisplayHooks().monitorRect(d, &x, &y, &width, &height)) return e;
    } else {
      if (!v.open) return ERR_CLOSEDDISPLAY;
      x = v.x - v.borderLeft;
      y = v.y - v.borderTop;
      width = v.width + v.borderHorizontal;
      height = v.height + v.borderVertical;
    }
    BitmapHandle* bitmap = nullptr;
    if (ErrorCode e = DisplayHooks().grab(d, x, y, width, height, 0, 0, &bitmap)) return e;
    grabbed.reset(bitmap);
    source = bitmap;
  } else {
    return ERR_WRONGUSAGE;
  }
  ErrorCode e = SaveBitmapImage(format, source, source->width, source->height, file, nullptr, -1,
                                nullptr, quality, colors, dither, 0);
  if (e) return e;
  return 0;
}
