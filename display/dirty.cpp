// The display's dirty-rectangle list and the flip of a double-buffered
// display's presentation buffer into its window. Invariant: a list is
// either full (everything changed; it holds no entries that count) or its
// first count entries are rectangles or merged-away entries (flagged); a full list
// is emptied by the flip that copies everything.
#include <algorithm>

#include "display/display.h"

namespace {

// Overlapping, or touching edge to edge or corner to corner: no gap of a
// whole column or row lies between them, so their union covers nothing
// that neither needed beyond the corner pixels.
bool meets(const DirtyRect& a, const DirtyRect& b) {
  return int64_t{b.x1} - a.x2 <= 1 && int64_t{a.x1} - b.x2 <= 1 && int64_t{b.y1} - a.y2 <= 1 &&
         int64_t{a.y1} - b.y2 <= 1;
}

// The part of the list's rectangle inside width x height, as x, y, w, h;
// false when nothing is left.
bool clipped(const DirtyRect& r, int32_t width, int32_t height, int32_t* x, int32_t* y, int32_t* w,
             int32_t* h) {
  int32_t x1 = std::max(r.x1, 0), y1 = std::max(r.y1, 0);
  int32_t x2 = std::min(r.x2, width - 1), y2 = std::min(r.y2, height - 1);
  if (x2 < x1 || y2 < y1) return false;
  *x = x1;
  *y = y1;
  *w = x2 - x1 + 1;
  *h = y2 - y1 + 1;
  return true;
}

}  // namespace

void AddDirtyRect(DirtyList* list, int32_t x1, int32_t y1, int32_t x2, int32_t y2, int grow) {
  if (list->full) return;
  if (list->count >= list->capacity) {
    if (!grow || list->capacity > INT32_MAX - DIRTY_BLOCK) {
      list->full = 1;
      return;
    }
    auto* entries = static_cast<DirtyRect*>(
        AllocMemoryArray(static_cast<size_t>(list->capacity) + DIRTY_BLOCK, sizeof(DirtyRect), 0));
    if (!entries) {
      list->full = 1;
      return;
    }
    if (list->count) std::copy(list->entries, list->entries + list->count, entries);
    FreeMemory(list->entries);
    list->entries = entries;
    list->capacity += DIRTY_BLOCK;
  }
  list->entries[list->count++] = DirtyRect{x1, y1, x2, y2, 0};
}

void MergeDirtyRects(DirtyList* list) {
  if (list->full) return;
  // Sorted by left edge once (entries merged away before go last), a
  // rectangle can only meet the ones after it that start at most one column
  // past its right edge, so each scan stops early. A merge grows a
  // rectangle, which may then meet one that it did not before: a rectangle
  // that grew scans its followers again at once, and passes repeat until
  // one merges nothing. The rectangle that grows is the leftmost of the two
  // and keeps its left edge, and one merged away keeps its place and
  // coordinates: the order holds for every pass without sorting again. The
  // rectangles left do not depend on the order of the merges (any two that
  // meet end in one rectangle, and growing never parts two that met).
  DirtyRect* begin = list->entries;
  DirtyRect* end = list->entries + list->count;
  std::sort(begin, end, [](const DirtyRect& a, const DirtyRect& b) {
    return a.merged != b.merged ? b.merged != 0 : a.x1 < b.x1;
  });
  for (bool merged = true; merged;) {
    merged = false;
    for (DirtyRect* a = begin; a != end; ++a) {
      if (a->merged) continue;
      for (DirtyRect* b = a + 1; b != end; ++b) {
        if (int64_t{b->x1} - a->x2 > 1) break;
        if (b->merged || !meets(*a, *b)) continue;
        *a = DirtyRect{a->x1, std::min(a->y1, b->y1), std::max(a->x2, b->x2),
                       std::max(a->y2, b->y2), 0};
        b->merged = 1;
        merged = true;
        // Grown, it may meet one passed over above: scan again.
        b = a;
      }
    }
  }
}

void ClearDirtyRects(DirtyList* list) {
  list->count = 0;
  list->full = 0;
}

void FreeDirtyRects(DirtyList* list) {
  FreeMemory(list->entries);
  *list = DirtyList{};
}

void MarkDisplayDirty(DisplayRecord* d, int32_t x, int32_t y, int32_t width, int32_t height) {
  // Only a back buffer of this side waits for Flip: drawing anywhere else
  // shows at once, and the adapter's buffering keeps its own account.
  if (!d->doubleBuffer || d->adapterDoubleBuffer || width < 1 || height < 1) return;
  // The far corner in 64 bits: the flip cuts every rectangle to the buffer.
  AddDirtyRect(&d->dirty, x, y, VmClampInt32(int64_t{x} + width - 1),
               VmClampInt32(int64_t{y} + height - 1), 0);
}

void FlipDisplayBuffers(DisplayRecord* d, int full, uint32_t flags) {
  if (d->adapterDoubleBuffer || !d->presentBuffer) return;
  BitmapHandle* shown = d->presentBuffer;
  int32_t width = shown->width, height = shown->height;
  bool scaled = d->autoscale && d->scaleWidth > 0 && d->scaleHeight > 0;
  if (!scaled && d->bgpic) {
    width = std::min(width, d->bgpic->width);
    height = std::min(height, d->bgpic->height);
  }
  uint32_t copy = flags | REFRESH_FORCE;
  if (full || d->dirty.full || scaled) {
    RefreshDisplayRect(shown, 0, 0, d, 0, 0, width, height, copy);
    return;
  }
  for (int32_t i = 0; i < d->dirty.count; ++i) {
    const DirtyRect& r = d->dirty.entries[i];
    int32_t x, y, w, h;
    if (r.merged || !clipped(r, width, height, &x, &y, &w, &h)) continue;
    RefreshDisplayRect(shown, x, y, d, x, y, w, h, copy);
  }
}

void FreeDisplayOutputState(DisplayRecord* d) {
  FreeBitmap(d->presentBuffer);
  FreeBitmap(d->backBuffer);
  d->presentBuffer = d->backBuffer = nullptr;
  FreeDirtyRects(&d->dirty);
  FreeBitmap(d->layerBackground);
  d->layerBackground = nullptr;
  d->layerBackgroundPic = nullptr;
  FreeMemory(d->deviceRecord);
  FreeMemory(d->backBufferRecord);
  d->deviceRecord = d->backBufferRecord = nullptr;
  d->drawBitmap = d->drawMask = d->drawAlpha = nullptr;
  d->doubleBuffer = 0;
}
