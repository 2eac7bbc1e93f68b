// SetDisplayAttributes: a display option table applied to a display that
// exists. The table is read into a working copy of the record first, so a
// bad option leaves the display as it was; then a new picture, size or
// scaling goes through the resize core, style changes that the window
// system fixes at creation re-open the window, and everything else is
// applied to the open window in place.
#include <cstring>
#include <memory>

#include "display/adapter_private.h"
#include "display/context_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "display/regions_private.h"
#include "platform/linux/platform.h"

namespace {

// Style flags that only a new window can change.
constexpr uint32_t REOPEN_FLAGS = DSF_BORDERLESS | DSF_SIZEABLE | DSF_FIXED | DSF_NOHIDE |
                                  DSF_USEQUARTZ | DSF_NOCLOSE | DSF_KEEPPROPORTIONS | DSF_FITSCALE |
                                  DSF_KEEPSCREENON | DSF_HIDEFROMTASKBAR | DSF_HIDEOPTIONSMENU |
                                  DSF_NOHARDWARESCALE | DSF_MAXIMIZED;

struct RecordCopy {
  void operator()(DisplayRecord* d) const { FreeMemory(d); }
};
using OwnedRecord = std::unique_ptr<DisplayRecord, RecordCopy>;

OwnedRecord copyOf(const DisplayRecord* d) {
  auto* copy = static_cast<DisplayRecord*>(AllocMemory(sizeof(DisplayRecord), 0));
  if (copy) std::memcpy(static_cast<void*>(copy), d, sizeof(DisplayRecord));
  return OwnedRecord(copy);
}

// Reads the table into a fresh working copy of the display: its size
// preset to the picture's, no picture named yet.
ErrorCode readWorkingCopy(VmState* L, int table, const DisplayRecord* d, OwnedRecord* out,
                          int* scaleGiven) {
  OwnedRecord work = copyOf(d);
  if (!work) return ERR_MEM;
  work->width = d->bgpic->sourceWidth;
  work->height = d->bgpic->sourceHeight;
  work->bgpic = nullptr;
  *scaleGiven = 0;
  int orientationGiven = 0;
  if (ErrorCode e = ReadDisplayTableOptions(L, table, work.get(), 0, scaleGiven, &orientationGiven))
    return e;
  *out = std::move(work);
  return ERR_NONE;
}

bool sameFill(const BGPicFill& a, const BGPicFill& b) {
  if (a.style != b.style) return false;
  switch (a.style) {
    case FILLCOLOR:
      return a.colour == b.colour;
    case FILLGRADIENT:
      return std::memcmp(&a.gradient, &b.gradient, sizeof a.gradient) == 0;
    case FILLTEXTURE:
      return a.textureBrush.autoId == b.textureBrush.autoId &&
             a.textureBrush.number == b.textureBrush.number && a.textureX == b.textureX &&
             a.textureY == b.textureY;
    default:
      return true;
  }
}

// The fields of the working copy that the display takes over as they are.
void takeOver(DisplayRecord* d, const DisplayRecord* w) {
  d->flags = w->flags;
  d->flags2 = w->flags2;
  std::memcpy(d->dragRegions, w->dragRegions, sizeof d->dragRegions);
  std::memcpy(d->sizeRegions, w->sizeRegions, sizeof d->sizeRegions);
  d->dragCount = w->dragCount;
  d->sizeCount = w->sizeCount;
  d->dragGiven = w->dragGiven;
  d->sizeGiven = w->sizeGiven;
  d->x = w->x;
  d->y = w->y;
  d->xRelative = w->xRelative;
  d->yRelative = w->yRelative;
  d->orientation = w->orientation;
  d->menu = w->menu;
  d->monitor = w->monitor;
  std::memcpy(d->title, w->title, sizeof d->title);
  std::memcpy(d->xserver, w->xserver, sizeof d->xserver);
  d->smooth = w->smooth;
  d->fullscreenScale = w->fullscreenScale;
}

}  // namespace

ErrorCode SetDisplayAttributesCore(VmState* L, DisplayRecord* d, int table) {
  if (!d->bgpic) return ERR_WRONGUSAGE;
  OwnedRecord old = copyOf(d);
  if (!old) return ERR_MEM;
  OwnedRecord work;
  int scaleGiven = 0;
  if (ErrorCode e = readWorkingCopy(L, table, d, &work, &scaleGiven)) return e;
  if (VideoRecorderActive()) return ERR_NONE;  // changes to a recorded display are ignored

  // Both scale modes switched off: the display first returns to the
  // picture's own size at a scale factor of 1.
  if ((d->autoscale || d->layerscale) && !work->autoscale && !work->layerscale) {
    d->flags &= ~(DSF_AUTOSCALE | DSF_LAYERSCALE);
    d->autoscale = d->layerscale = 0;
    d->scaleFactor = 1.0;
    d->scaleFactorActive = 0;
    d->scaleWidth = d->scaleHeight = 0;
    d->marginLeft = d->marginTop = d->marginRight = d->marginBottom = 0;
    BGPic* pic = d->bgpic;
    if (ErrorCode e =
            ResizeDisplay(L, d, KEEPPOSITION, KEEPPOSITION, pic->sourceWidth, pic->sourceHeight,
                          d->smooth, 0, 0, RESIZE_CLOSED | RESIZE_SETUP))
      return e;
    if (ErrorCode e = readWorkingCopy(L, table, d, &work, &scaleGiven)) return e;
  }
  DisplayRecord* w = work.get();
  if (!w->autoscale && !w->layerscale) {
    w->scaleWidth = w->scaleHeight = 0;
  } else if (!scaleGiven) {
    w->scaleWidth = d->scaleWidth;
    w->scaleHeight = d->scaleHeight;
  }

  BGPic* pic = d->bgpic;
  bool open = d->state != DISPSTATE_CLOSED;
  // A picture named anew, even the one shown, is shown again from its
  // images.
  bool newPicture = w->bgpic != nullptr;
  bool newSize = !newPicture && (w->width != pic->sourceWidth || w->height != pic->sourceHeight);
  bool newScale = w->autoscale != d->autoscale || w->layerscale != d->layerscale ||
                  w->scaleWidth != d->scaleWidth || w->scaleHeight != d->scaleHeight;
  bool newFill = !newPicture && d->ownBGPic && !sameFill(w->fill, d->fill);
  bool reopen =
      open && (((w->flags ^ d->flags) & REOPEN_FLAGS) || std::strcmp(w->xserver, d->xserver) != 0 ||
               (d->doubleBuffer && (newPicture || newSize)));
  bool titleChanged = std::strcmp(w->title, d->title) != 0;
  int32_t oldX = d->x, oldY = d->y;

  takeOver(d, w);
  d->autoscale = w->autoscale;
  d->layerscale = w->layerscale;
  if (!d->autoscale && !d->layerscale)
    d->marginLeft = d->marginTop = d->marginRight = d->marginBottom = 0;
  d->layers = d->layers || d->layerscale;
  // A re-opened window shows the new size: the record alone changes now.
  uint32_t resizeFlags = (!open || reopen) ? static_cast<uint32_t>(RESIZE_CLOSED) : 0u;
  if (newPicture) {
    d->scaleWidth = w->scaleWidth;
    d->scaleHeight = w->scaleHeight;
    // A position the table gave is resolved with the new size.
    if (ErrorCode e = ShowBGPicOnDisplay(L, d, w->bgpic, d->xRelative ? d->x : KEEPPOSITION,
                                         d->yRelative ? d->y : KEEPPOSITION))
      return e;
    d->textX = d->textY = d->textLeft = 0;
    d->textRight = d->bgpic->width - 1;
  } else {
    if (newFill) {
      d->fill = w->fill;
      if (ErrorCode e = RefillOwnBGPic(L, d)) return e;
    }
    if (newSize || newScale) {
      if (ErrorCode e = ResizeDisplay(L, d, KEEPPOSITION, KEEPPOSITION, w->width, w->height,
                                      d->smooth, w->scaleWidth, w->scaleHeight, resizeFlags))
        return e;
    } else if (newFill) {
      if (ErrorCode e = RebuildWindowBitmap(d)) return e;
    }
  }
  if (!open) return ERR_NONE;

  if (reopen) {
    // Switching the frame alone keeps the drawing area where it is.
    if (((old->flags ^ d->flags) & REOPEN_FLAGS) == DSF_BORDERLESS && d->x == oldX &&
        d->y == oldY && !d->xRelative && !d->yRelative) {
      if (d->flags & DSF_BORDERLESS) {
        d->x += old->borderLeft;
        d->y += old->borderTop;
      } else if (DetermineDisplayBorderSizes(d) == ERR_NONE) {
        d->x -= d->borderLeft;
        d->y -= d->borderTop;
      }
    }
    if (ErrorCode e = CloseDisplayWindow(L, d, nullptr, CLOSE_KEEPBRUSHES | CLOSE_KEEPSCREENMODE))
      return e;
    return OpenDisplayWindowCore(L, d, 1, 1);
  }

  int32_t mx = 0, my = 0, mw = 0, mh = 0;
  if ((d->xRelative || d->yRelative) && GetDisplayMonitorRect(d, &mx, &my, &mw, &mh) == ERR_NONE) {
    if (d->xRelative) d->x = mx + ResolveDisplayX(d, mw);
    if (d->yRelative) d->y = my + ResolveDisplayY(d, mh);
    d->xRelative = d->yRelative = 0;
  }
  bool sized = d->width != old->width || d->height != old->height;
  if (d->x != old->x || d->y != old->y || sized) SizeMoveDisplayWindow(d, sized);
  RenewDefaultRegions(d);
  if (titleChanged) SetDisplayWindowTitle(d);
  if ((old->flags ^ d->flags) & DSF_HIDEPOINTER) {
    d->pointerHidden = (d->flags & DSF_HIDEPOINTER) ? 1 : 0;
    SetDisplayPointerVisible(d, !d->pointerHidden);
  }
  RefreshDisplay(L, d, 0);
  NotifyDisplayCallbacks(d, d->width, d->height);
  return ERR_NONE;
}
