// What the graphics library, which lies below the display library, reads
// and sets of a display: the composition root installs these into its
// table (GfxDisplayHooks).
#include "display/display.h"

void GetGfxDisplayValues(const DisplayRecord* d, GfxDisplayValues* out) {
  GfxDisplayValues v{};
  v.next = reinterpret_cast<DisplayRecord*>(d->head.next);
  v.open = d->state == DISPSTATE_OPEN ? 1 : 0;
  v.outputKind = d->outputKind;
  v.doubleBuffer = d->doubleBuffer;
  v.layers = d->layers;
  v.x = d->x;
  v.y = d->y;
  v.width = d->width;
  v.height = d->height;
  v.borderLeft = d->borderLeft;
  v.borderTop = d->borderTop;
  v.borderHorizontal = d->borderHorizontal;
  v.borderVertical = d->borderVertical;
  v.scaleX = d->scaleX;
  v.scaleY = d->scaleY;
  v.composesScaled = d->autoscale && d->scaleWidth != 0 && d->scaleHeight != 0 ? 1 : 0;
  v.bracketRequest = d->bracketRequest;
  v.collectingRefreshes = d->collectRefreshes;
  v.outputBitmap = d->drawBitmap ? d->drawBitmap : d->windowBitmap;
  v.backBuffer = d->backBuffer;
  v.picture = d->bgpic;
  if (d->bgpic) {
    v.pictureWidth = d->bgpic->width;
    v.pictureHeight = d->bgpic->height;
    v.palette = d->bgpic->palette;
  }
  v.pointer = d->pointer;
  v.pointerHidden = d->pointerHidden;
  *out = v;
}

void SetDisplayPointerState(DisplayRecord* d, void* pointer, int hidden) {
  d->pointer = pointer;
  d->pointerHidden = hidden;
}

void SetDisplayRefreshBracket(DisplayRecord* d, int open) { d->collectRefreshes = open; }

void SetDisplayTextMargins(DisplayRecord* d, int32_t left, int32_t right) {
  d->textLeft = left;
  d->textX = left;
  d->textRight = right;
}

TimeValue* GetDisplayFrameTime(DisplayRecord* d) { return &d->lastFrameTime; }
