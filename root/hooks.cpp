// The hooks through which lower folders reach the folders above them,
// filled here from the higher folders' services and installed once when
// the program loads (and again by the player's main): the X11 back end's
// bitmaps, video rectangles and clipboard pictures, and the graphics
// library's displays, pointers, brushes, sprites and picture files.
//
// Invariant: the tables are constant and live as long as the program; no
// run's state refers to them, so nothing frees or resets them.
#include "display/display.h"
#include "draw/draw.h"
#include "gfx/gfx.h"
#include "media/media.h"
#include "platform/linux/platform.h"
#include "root/root.h"

namespace {

BitmapHandle* allocPixelBitmap(int32_t width, int32_t height) {
  return AllocBitmap(width, height, 0, nullptr);
}
void takeScreenFormat(int32_t format) { SetSoftBitmapFormatOverride(format); }

const X11BitmapHooks X11_BITMAPS = {allocPixelBitmap, FreeBitmap,      CloneAlphaChannel,
                                    FreeAlphaChannel, LockBitmap,      UnlockBitmap,
                                    ColorToPixel,     takeScreenFormat};
const ClipboardImageCodec CLIPBOARD_PICTURES = {EncodeClipboardPicture, DecodeClipboardPicture};

const GfxDisplayHooks GFX_DISPLAYS = {GetDisplayList,
                                      GetCurrentDisplay,
                                      GetOutputDisplay,
                                      RefreshDisplay,
                                      DisplayCallbacksWantRefreshBracket,
                                      WaitDisplayVBlank,
                                      GetDisplayMonitorRect,
                                      GrabDisplayPixels,
                                      GetBGPicBitmapWithLayers,
                                      RegisterDisplayAttributeReaders,
                                      CreateDisplayPointer,
                                      FreeDisplayPointer,
                                      SetDisplayPointer,
                                      ShowDisplayPointer,
                                      MoveDisplayPointer,
                                      QueryDisplayPointer,
                                      GetGfxDisplayValues,
                                      SetDisplayPointerState,
                                      SetDisplayRefreshBracket,
                                      SetDisplayTextMargins,
                                      GetDisplayFrameTime};
const GfxObjectHooks GFX_OBJECTS = {GetBrushPicture, GetSpriteFramePicture};
const GfxPictureFileHooks GFX_PICTURE_FILES = {LoadImageFile, FreeDecodedImage};

}  // namespace

void InstallFolderHooks() {
  SetX11BitmapHooks(&X11_BITMAPS);
  SetX11VideoRectsQuery(GetDisplayVideoRects);
  SetClipboardImageCodec(&CLIPBOARD_PICTURES);
  SetGfxDisplayHooks(&GFX_DISPLAYS);
  SetGfxObjectHooks(&GFX_OBJECTS);
  SetGfxPictureFileHooks(&GFX_PICTURE_FILES);
}
