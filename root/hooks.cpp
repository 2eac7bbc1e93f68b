// The hooks through which lower folders reach the folders above them,
// filled here from the higher folders' services and installed once when
// the program loads (and again by the player's main): the X11 back
// end's video rectangles and clipboard pictures.
//
// Invariant: the tables are constant and live as long as the program; no
// run's state refers to them, so nothing frees or resets them.
#include "display/display.h"
#include "media/media.h"
#include "platform/linux/platform.h"
#include "root/root.h"

namespace {

const ClipboardImageCodec CLIPBOARD_PICTURES = {EncodeClipboardPicture, DecodeClipboardPicture};

}  // namespace

void InstallFolderHooks() {
  SetX11VideoRectsQuery(GetDisplayVideoRects);
  SetClipboardImageCodec(&CLIPBOARD_PICTURES);
}
