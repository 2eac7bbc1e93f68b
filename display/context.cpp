// The display folder's context record (context_private.h) and its Init and
// Free, which the library table calls.
#include "display/context_private.h"

#include "display/display.h"
#include "display/display_private.h"
#include "display/layer_private.h"
#include "platform/linux/platform.h"

DisplayContext displayContext;

void InitDisplayContext() { displayContext = DisplayContext{}; }

// The display and event libraries have freed their objects and handlers
// with the VM still open; the scratch bitmaps, the desktop snapshot and the
// list mutex go here.
void FreeDisplayContext() {
  FreeRefreshScratch();
  FreeSpareDisplay();
  ResetFirstOpening();
  ResetLayerContext();
  FreeMutex(displayContext.displayListMutex);
  InitDisplayContext();
}
