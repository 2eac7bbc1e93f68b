// SaveSnapshot: the display's window with its borders, its whole picture,
// or the desktop of its monitor, written as an image file. A bitmap
// grabbed from the screen belongs to the command and is freed on every
// path; the display's own buffers are only read.
#include <memory>

#include "display/display.h"
#include "engine/engine.h"
#include "gfx/gfx.h"
#include "gfx/graphics_private.h"
#include "runtime/runtime.h"

namespace {

constexpr int32_t SNAPWINDOW = 0;
constexpr int32_t SNAPDISPLAY = 1;
constexpr int32_t SNAPDESKTOP = 2;

// The display's whole picture as drawing left it.
BitmapHandle* displayPicture(DisplayRecord* d) {
  if (d->doubleBuffer && d->backBuffer) return d->backBuffer;
  // Waiting for the layers library's composition of the picture with its
  // layers (GetBGPicBitmapWithLayers): the window bitmap holds the picture
  // as the window shows it.
  return d->windowBitmap;
}

}  // namespace

// SaveSnapshot (file [, type, format, options]).
int CmdSaveSnapshot(VmState* L) {
  const char* file = VmCheckString(L, 1, nullptr);
  int32_t type = VmOptInteger(L, 2, SNAPWINDOW);
  int32_t format = VmOptInteger(L, 3, 0);
  int32_t quality = 90, colors = 256, dither = 0;
  ReadImageSaveOptions(L, 4, &quality, &colors, &dither);
  DisplayRecord* d = GetCurrentDisplay();
  if (!d) VmRaiseError(L, ERR_WRONGUSAGE);

  OwnedBitmap grabbed;
  BitmapHandle* source = nullptr;
  if (type == SNAPDISPLAY) {
    source = displayPicture(d);
    if (!source) VmRaiseError(L, ERR_WRONGUSAGE);
  } else if (type == SNAPDESKTOP || type == SNAPWINDOW) {
    int32_t x = 0, y = 0, width = 0, height = 0;
    if (type == SNAPDESKTOP) {
      if (ErrorCode e = GetDisplayMonitorRect(d, &x, &y, &width, &height)) VmRaiseError(L, e);
    } else {
      if (d->state != DISPSTATE_OPEN) VmRaiseError(L, ERR_CLOSEDDISPLAY);
      x = d->x - d->borderLeft;
      y = d->y - d->borderTop;
      width = d->width + d->borderHorizontal;
      height = d->height + d->borderVertical;
    }
    BitmapHandle* bitmap = nullptr;
    if (ErrorCode e = GrabDisplayPixels(d, x, y, width, height, 0, 0, &bitmap)) VmRaiseError(L, e);
    grabbed.reset(bitmap);
    source = bitmap;
  } else {
    VmRaiseError(L, ERR_WRONGUSAGE);
  }
  ErrorCode e = SaveBitmapImage(format, source, source->width, source->height, file, nullptr, -1,
                                nullptr, quality, colors, dither, 0);
  if (e) VmRaiseError(L, e);
  return 0;
}
