// The library opener "bgpic" and the end of output selections: EndSelect
// returns drawing to the display. Invariant: after EndOutputSelection the
// display draws into itself (kind 21), or, when the selection was made
// inside a double-buffered frame, into its back buffer again.
#include "display/context_private.h"
#include "display/display.h"

namespace {

// EndSelect(): ends the current output selection.
int cmdEndSelect(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  DisplayRecord* d = GetOutputDisplay();
  if (d->doubleBuffer || d->outputKind == OBJECT_DISPLAY) return ERR_WRONGUSAGE;
  return EndOutputSelection(L, d, 0);
}

const CommandTableEntry BGPIC_COMMANDS[] = {
    {"EndSelect", cmdEndSelect},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode OpenBGPicLibrary(VmState* L) {
  if (ErrorCode e = RegisterLibrary(BGPIC_COMMANDS, "bgpic")) return e;
  VmRegisterFunctions(L, nullptr, BGPIC_COMMANDS, 0);
  return ERR_NONE;
}

DisplayRecord* GetOutputDisplay() {
  if (DisplayRecord* d = GetCurrentDisplay()) return d;
  DisplayRecord*& spare = displayContext.spareDisplay;
  if (!spare) {
    spare = static_cast<DisplayRecord*>(AllocMemory(sizeof(DisplayRecord), 1));
    if (!spare) return nullptr;
    spare->head.type = OBJECT_DISPLAY;
    spare->outputKind = OBJECT_DISPLAY;
  }
  return spare;
}

void FreeSpareDisplay() {
  if (!displayContext.spareDisplay) return;
  FreeDisplayOutputState(displayContext.spareDisplay);
  FreeMemory(displayContext.spareDisplay);
  displayContext.spareDisplay = nullptr;
}

ErrorCode EndOutputSelection(VmState*, DisplayRecord* d, int) {
  d->drawBitmap = d->drawMask = d->drawAlpha = nullptr;
  d->outputVideo = 0;
  if (d->bufferSuspended) {
    // A selection inside a double-buffered frame: the frame's back buffer
    // is the target again.
    d->bufferSuspended = 0;
    d->doubleBuffer = 1;
    d->adapterDoubleBuffer = d->savedAdapterDoubleBuffer;
    d->outputKind = OBJECT_BRUSH;
    d->drawBitmap = d->backBuffer;
    d->outputVideo = d->videoBackBuffer;
    return ERR_NONE;
  }
  d->outputKind = OBJECT_DISPLAY;
  // Waiting for the layer and background-picture commands: no layers
  // selection, picture selection or layer selection needs its images
  // rebuilt; and for the graphics library: no clip or offset state was
  // saved to restore.
  return ERR_NONE;
}
