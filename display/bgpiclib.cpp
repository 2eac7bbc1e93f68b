// The library opener "bgpic" and the end of output selections: EndSelect
// returns drawing to the display. Invariant: after EndOutputSelection the
// display draws into itself (kind 21), or, when the selection was made
// inside a double-buffered frame, into its back buffer again.
#include "display/context_private.h"
#include "display/display.h"
#include "display/layer_private.h"

#include "display/display_private.h"

// EndSelect(): ends the current output selection.
int CmdEndSelect(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  DisplayRecord* d = GetOutputDisplay();
  if (d->doubleBuffer || d->outputKind == OBJECT_DISPLAY) return ERR_WRONGUSAGE;
  return EndOutputSelection(L, d, 0);
}

ErrorCode OpenBGPicLibrary(VmState* L) {
  if (ErrorCode e = RegisterLibrary(GetBGPicCommands(), "bgpic")) return e;
  VmRegisterFunctions(L, nullptr, GetBGPicCommands(), 0);
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

void SaveDisplayDrawState(DisplayRecord* d, int32_t width) {
  if (d->drawStateSaved) return;
  d->drawStateSaved = 1;
  d->savedTextX = d->textX;
  d->savedTextY = d->textY;
  d->savedTextLeft = d->textLeft;
  d->savedTextRight = d->textRight;
  d->textX = d->textY = d->textLeft = 0;
  d->textRight = width - 1;
}

void RestoreDisplayDrawState(DisplayRecord* d) {
  if (!d->drawStateSaved) return;
  d->drawStateSaved = 0;
  d->textX = d->savedTextX;
  d->textY = d->savedTextY;
  d->textLeft = d->savedTextLeft;
  d->textRight = d->savedTextRight;
}

void FreeSpareDisplay() {
  if (!displayContext.spareDisplay) return;
  FreeDisplayOutputState(displayContext.spareDisplay);
  FreeMemory(displayContext.spareDisplay);
  displayContext.spareDisplay = nullptr;
}

ErrorCode EndOutputSelection(VmState* L, DisplayRecord* d, int noRefresh) {
  d->drawBitmap = d->drawMask = d->drawAlpha = nullptr;
  d->outputVideo = 0;
  if (d->bufferSuspended) {
    // A selection inside a double-buffered frame: the frame's back buffer
    // is the target again.
    d->bufferSuspended = 0;
    d->doubleBuffer = 1;
    d->adapterDoubleBuffer = d->savedAdapterDoubleBuffer;
    // The adapter's buffering draws into the display itself.
    d->outputKind = d->adapterDoubleBuffer ? OBJECT_DISPLAY : OBJECT_BRUSH;
    d->drawBitmap = d->backBuffer;
    d->outputVideo = d->videoBackBuffer;
    RestoreDisplayDrawState(d);
    return ERR_NONE;
  }
  bool layersSelection = d->outputKind == OBJECT_BGPIC;
  // A picture drawn into as a brush, mask or alpha channel: drawing went
  // into its source images, so images it keeps at a display's size are
  // made again.
  if ((d->outputKind == OBJECT_BRUSH || d->outputKind == OUTPUT_MASK ||
       d->outputKind == OUTPUT_ALPHA) &&
      d->deviceRecord && d->deviceRecord->head.type == OBJECT_BGPIC) {
    BGPic* pic = nullptr;
    ObjectId id{d->deviceRecord->head.autoId, d->deviceRecord->head.number};
    if (GetBGPicObject(L, id, &pic, 0) == ERR_NONE) RebuildScaledBGPicImages(pic, d->smooth);
  }
  // A selected layer shows what was drawn into it.
  qmLayer* selectedLayer = d->outputKind == OBJECT_BRUSH && d->deviceRecord &&
                                   d->deviceRecord->head.type == OBJTYPE_LAYER
                               ? static_cast<qmLayer*>(d->deviceRecord->selectionRecord)
                               : nullptr;
  d->outputKind = OBJECT_DISPLAY;
  if (selectedLayer) {
    d->deviceRecord->selectionRecord = nullptr;
    if (LayerExists(selectedLayer)) EndLayerSelection(L, selectedLayer, noRefresh);
  }
  if (layersSelection) {
    // What the selection drew is shown now, the merged rectangles once
    // each, with the layers made meanwhile no longer pending.
    BGPic* selected = GetCurrentBGPic();
    SetCurrentBGPic(d->bgpic);
    if (selected == d->bgpic)
      for (qmLayer* l = FirstLayer(d->bgpic); l; l = NextLayer(l)) l->pending = 0;
    if (selected == d->bgpic && !noRefresh && d->dirty.entries) {
      MergeDirtyRects(&d->dirty);
      for (int32_t i = 0; i < d->dirty.count; ++i) {
        DirtyRect r = d->dirty.entries[i];
        if (r.merged) continue;
        UpdateDisplayArea(L, r.x1, r.y1, d, r.x1, r.y1, r.x2 - r.x1 + 1, r.y2 - r.y1 + 1);
      }
    }
    if (d->dirty.entries) ClearDirtyRects(&d->dirty);
  }
  RestoreDisplayDrawState(d);
  return ERR_NONE;
}
