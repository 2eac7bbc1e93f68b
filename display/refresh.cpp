// Display refresh, scaling and monitors: the copy of changed areas of the
// window bitmap to the window (scaled through a scratch bitmap on autoscaled
// displays), the scaled fit with its margins and their black bars, the
// monitor list and special coordinates, and the resize core that opening
// and scaling end in.
// Invariant: the window's inner size is the scaled size plus the four
// margins on a scaled display and the picture's size otherwise; the window
// bitmap always has the picture's current size.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display/adapter_private.h"
#include "display/display.h"
#include "display/regions_private.h"
#include "platform/linux/platform.h"
#include "display/context_private.h"
#include "display/display_private.h"
#include "display/layer_private.h"
#include "plugins/plugins.h"

namespace {

constexpr uint32_t BORDER_FILL_FLAGS = 32;  // a fill of the window's margins

BitmapHandle* scratchOfSize(int32_t width, int32_t height) {
  if (displayContext.refreshScratch && displayContext.scratchWidth == width &&
      displayContext.scratchHeight == height)
    return displayContext.refreshScratch;
  FreeBitmap(displayContext.refreshScratch);
  displayContext.refreshScratch = AllocBitmap(width, height, 0, nullptr);
  displayContext.scratchWidth = displayContext.refreshScratch ? width : 0;
  displayContext.scratchHeight = displayContext.refreshScratch ? height : 0;
  return displayContext.refreshScratch;
}

bool scaled(const DisplayRecord* d) { return d->autoscale || d->layerscale; }

// The display's own mask and alpha channel: the picture's, scaled to the
// scaled size (the scaled pixels themselves are not kept).
ErrorCode scaleOwnShape(DisplayRecord* d, const BGPic* pic) {
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  ErrorCode error =
      TransformBitmap(pic->bitmap, pic->mask, pic->alpha, 0, 0, nullptr, pic->width, pic->height,
                      d->scaleWidth, d->scaleHeight, d->smooth, &bitmap, &mask, &alpha);
  if (error != ERR_NONE) return error == ERR_MEM ? ERR_BITMAP : error;
  FreeBitmap(bitmap);
  d->ownMask = mask;
  d->ownAlpha = alpha;
  return ERR_NONE;
}

// A picture that a display scales by layers: its images at the scaled size,
// the scale factors from its source size to that size, and every layer
// drawn again at those factors (not its pixels enlarged).
ErrorCode scaleByLayers(VmState* L, DisplayRecord* d, BGPic* pic, int32_t smooth) {
  if (pic->sourceWidth < 1 || pic->sourceHeight < 1) return ERR_BITMAP;
  const bool resized = pic->width != d->scaleWidth || pic->height != d->scaleHeight;
  if (resized)
    if (ErrorCode e = RescaleBGPic(pic, d->scaleWidth, d->scaleHeight, smooth)) return e;
  const double fx = static_cast<double>(d->scaleWidth) / pic->sourceWidth;
  const double fy = static_cast<double>(d->scaleHeight) / pic->sourceHeight;
  const bool changed = resized || fx != d->scaleX || fy != d->scaleY;
  d->scaleX = fx;
  d->scaleY = fy;
  if (!changed) return ERR_NONE;
  if (fx == 1.0 && fy == 1.0) {
    UnscaleLayerStates(L, pic);
    return ERR_NONE;
  }
  return RerenderAllLayers(L, d, pic);
}

}  // namespace

void RenewDefaultRegions(DisplayRecord* d) {
  if (!d->dragGiven) {
    d->dragRegions[0] = DisplayRegion{14, 0, 0, d->width, 15};
    d->dragCount = 1;
  }
  if (!d->sizeGiven) {
    d->sizeRegions[0] = DisplayRegion{14, d->width - 10, d->height - 10, 10, 10};
    d->sizeCount = 1;
  }
}

void SetPartialScaledRefresh(int on) { displayContext.partialScaledRefresh = on ? 1 : 0; }

void SetTransitionRunning(int32_t running) { displayContext.transitionRunning = running ? 1 : 0; }
int32_t IsTransitionRunning() { return displayContext.transitionRunning; }

void FreeRefreshScratch() {
  FreeBitmap(displayContext.refreshScratch);
  displayContext.refreshScratch = nullptr;
  displayContext.scratchWidth = displayContext.scratchHeight = 0;
}

int32_t ResolveSpecialCoordinate(int32_t value, int32_t size, int32_t area, int vertical) {
  return vertical ? ResolveYPos(value, size, area, 0) : ResolveXPos(value, size, area, 0);
}

int32_t ResolveDisplayX(const DisplayRecord* d, int32_t monitorWidth) {
  return ResolveSpecialCoordinate(d->x, d->width + d->borderHorizontal, monitorWidth, 0);
}

int32_t ResolveDisplayY(const DisplayRecord* d, int32_t monitorHeight) {
  return ResolveSpecialCoordinate(d->y, d->height + d->borderVertical, monitorHeight, 1);
}

MonitorNode* GetMonitorList(DisplayRecord* display) {
  bool handled = false;
  MonitorNode* fromAdapter = AdapterMonitorList(display, &handled);
  if (handled) return fromAdapter;
  X11MonitorNode* list = ListX11Monitors(X11WindowOf(display));
  MonitorNode* result = nullptr;
  MonitorNode** tail = &result;
  bool failed = false;
  while (list) {
    X11MonitorNode* next = list->next;
    if (!failed) {
      auto* node = static_cast<MonitorNode*>(AllocMemory(sizeof(MonitorNode), 1));
      if (node) {
        *node = MonitorNode{nullptr, list->x, list->y, list->width, list->height};
        *tail = node;
        tail = &node->next;
      } else {
        failed = true;
      }
    }
    FreeMemory(list);
    list = next;
  }
  if (failed) {
    FreeMonitorList(result);
    return nullptr;
  }
  return result;
}

void FreeMonitorList(MonitorNode* list) {
  while (list) {
    MonitorNode* next = list->next;
    FreeMemory(list);
    list = next;
  }
}

int32_t CountMonitors(DisplayRecord* display) {
  MonitorNode* list = GetMonitorList(display);
  int32_t n = 0;
  for (MonitorNode* m = list; m; m = m->next) n++;
  FreeMonitorList(list);
  return n;
}

ErrorCode GetDisplayMonitorRect(DisplayRecord* display, int32_t* x, int32_t* y, int32_t* width,
                                int32_t* height) {
  MonitorNode* list = GetMonitorList(display);
  MonitorNode* m = list;
  for (int32_t i = 0; m && i < display->monitor; i++) m = m->next;
  ErrorCode error = ERR_GETMONITORINFO;
  if (m && display->monitor >= 0) {
    *x = m->x;
    *y = m->y;
    *width = m->width;
    *height = m->height;
    error = ERR_NONE;
  }
  FreeMonitorList(list);
  return error;
}

int32_t FindDisplayMonitor(DisplayRecord* display) {
  MonitorNode* list = GetMonitorList(display);
  int32_t best = 0, index = 0;
  int64_t bestArea = 0;
  for (MonitorNode* m = list; m; m = m->next, index++) {
    int64_t w = std::min<int64_t>(display->x + display->width, m->x + m->width) -
                std::max(display->x, m->x);
    int64_t h = std::min<int64_t>(display->y + display->height, m->y + m->height) -
                std::max(display->y, m->y);
    int64_t area = w > 0 && h > 0 ? w * h : 0;
    if (area > bestArea) {
      bestArea = area;
      best = index;
    }
  }
  FreeMonitorList(list);
  return best;
}

int IsDisplayMonitorFree(DisplayRecord* display) {
  if (display->isBackfill || display->isResourceMonitor) return 0;
  if (display->fullscreen) return 1;
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (d != display && d->fullscreen && !d->isBackfill && d->monitor == display->monitor) return 0;
  return 1;
}

void ComputeScaledFit(DisplayRecord* d, const BGPic* pic, int32_t targetWidth,
                      int32_t targetHeight) {
  bool keep = (d->flags & DSF_KEEPPROPORTIONS) && pic && !pic->mask && !pic->alpha &&
              pic->width > 0 && pic->height > 0;
  if (!keep) {
    d->scaleWidth = targetWidth;
    d->scaleHeight = targetHeight;
    d->marginLeft = d->marginTop = d->marginRight = d->marginBottom = 0;
    return;
  }
  int32_t w = targetWidth;
  int32_t h = VmTruncInt32(static_cast<double>(pic->height) / pic->width * targetWidth);
  if (h > targetHeight) {
    h = targetHeight;
    w = VmTruncInt32(static_cast<double>(pic->width) / pic->height * targetHeight);
  }
  d->scaleWidth = w;
  d->scaleHeight = h;
  d->marginLeft = (targetWidth - w) / 2;
  d->marginTop = (targetHeight - h) / 2;
  d->marginRight = targetWidth - w - d->marginLeft;
  d->marginBottom = targetHeight - h - d->marginTop;
}

void ClearDisplayBorders(DisplayRecord* d) {
  int32_t l = d->marginLeft, t = d->marginTop, r = d->marginRight, b = d->marginBottom;
  if (l) FillDisplayRect(d, -l, -t, l, d->height, 0, BORDER_FILL_FLAGS);
  if (t) FillDisplayRect(d, -l, -t, d->width, t, 0, BORDER_FILL_FLAGS);
  if (r) FillDisplayRect(d, d->width - l - r, -t, r, d->height, 0, BORDER_FILL_FLAGS);
  if (b) FillDisplayRect(d, -l, d->height - t - b, d->width, b, 0, BORDER_FILL_FLAGS);
}

bool FillWritesZeroPixels(BitmapHandle* bitmap, ArgbColor colour) {
  // The layout alone answers; a lock would count as a touch.
  BitmapLock layout;
  if (!bitmap || DisplayAdapterInUse() || !DescribeSoftBitmap(bitmap, &layout)) return false;
  return (layout.bytesPerPixel == 2 || layout.bytesPerPixel == 4) &&
         ColorToPixel(colour, layout.pixelFormat, 0) == 0;
}

bool BitmapRectHoldsOnePixel(BitmapHandle* bitmap, int32_t x, int32_t y, int32_t width,
                             int32_t height, uint32_t* value) {
  auto inside = [&](const BitmapLock& l) {
    return l.bytesPerPixel == 4 && x >= 0 && y >= 0 && width > 0 && height > 0 &&
           width <= l.width - x && height <= l.height - y;
  };
  BitmapLock lock;
  if (SoftBitmapUntouched(bitmap) && DescribeSoftBitmap(bitmap, &lock)) {
    // Nothing has written since the allocation cleared it: all zero, and
    // reading it would fault in every page.
    if (!inside(lock)) return false;
    *value = 0;
    return true;
  }
  if (!bitmap || !LockBitmap(bitmap, 1, &lock)) return false;
  bool one = inside(lock);
  if (one) {
    const uint8_t* first = lock.address + (static_cast<ptrdiff_t>(y) * lock.rowLength + x) * 4;
    std::memcpy(value, first, 4);
    // A row holds one value when it equals itself shifted by one pixel.
    const size_t rest = static_cast<size_t>(width - 1) * 4;
    for (int32_t row = 0; row < height && one; row++) {
      const uint8_t* p = first + static_cast<ptrdiff_t>(row) * lock.rowLength * 4;
      one = std::memcmp(p, first, 4) == 0 && std::memcmp(p, p + 4, rest) == 0;
    }
  }
  UnlockBitmap(&lock);
  return one;
}

namespace {

// The copy of a bitmap rectangle into the window: a large rectangle of one
// value (a new display's picture before anything is drawn) goes as one
// fill request instead of an image of every pixel. The rectangle is cut to
// the bitmap as the image put cuts it.
void putPixels(BitmapHandle* source, int32_t sx, int32_t sy, DisplayRecord* d, int32_t dx,
               int32_t dy, int32_t width, int32_t height) {
  constexpr int64_t FILL_AREA = 64 * 64;  // smaller images cost less than the look
  const int32_t w = std::min(width, source->width - sx), h = std::min(height, source->height - sy);
  uint32_t value = 0;
  if (static_cast<int64_t>(w) * h >= FILL_AREA &&
      BitmapRectHoldsOnePixel(source, sx, sy, w, h, &value) &&
      FillX11WindowWithPixel(X11WindowOf(d), dx, dy, w, h, value))
    return;
  PutPixelsToWindow(source, sx, sy, X11WindowOf(d), dx, dy, width, height);
}

}  // namespace

void RefreshScaledDisplay(BitmapHandle* source, int32_t sx, int32_t sy, DisplayRecord* d,
                          int32_t dx, int32_t dy, int32_t width, int32_t height,
                          int32_t scaledWidth, int32_t scaledHeight, uint32_t flags, BitmapHandle*,
                          BitmapHandle*, const BlitClip*) {
  if (!d || !source) return;
  const DisplayAdapter* adapter = DisplayAdapterInUse();
  // What the callbacks are told after the copy: the unscaled area, and the
  // area the window shows (the scaled copy when the host scales).
  const WindowCopyArea unscaled{source, sx, sy, dx, dy, width, height};
  WindowCopyArea shown = unscaled;
  bool tell = !(flags & REFRESH_NOCALLBACKS) && d->callbacks;
  if ((flags & REFRESH_NATIVE) && !adapter) {
    putPixels(source, sx, sy, d, dx, dy, width, height);
  } else if (adapter && (adapter->flags & QM_ADAPTER_SCALES)) {
    AdapterWindowCopy(d, source, sx, sy, dx, dy, width, height, scaledWidth, scaledHeight,
                      (flags & REFRESH_SCALED) != 0);
  } else if (scaledWidth > 0 && scaledHeight > 0 && !(flags & REFRESH_SCALED)) {
    // Destination positions are in drawing coordinates: the window bitmap's
    // size is the base of the scale, whatever bitmap the pixels come from.
    int32_t bw = d->windowBitmap ? d->windowBitmap->width : source->width;
    int32_t bh = d->windowBitmap ? d->windowBitmap->height : source->height;
    if (bw < 1 || bh < 1 || width < 1 || height < 1) return;
    // The source rectangle lands on the destination rectangle of the whole
    // scaled picture that it covers.
    int64_t x0 = static_cast<int64_t>(dx) * scaledWidth / bw;
    int64_t y0 = static_cast<int64_t>(dy) * scaledHeight / bh;
    int64_t x1 = (static_cast<int64_t>(dx + width) * scaledWidth + bw - 1) / bw;
    int64_t y1 = (static_cast<int64_t>(dy + height) * scaledHeight + bh - 1) / bh;
    int32_t outW = static_cast<int32_t>(x1 - x0), outH = static_cast<int32_t>(y1 - y0);
    BitmapHandle* target = scratchOfSize(outW, outH);
    if (!target) return;  // nothing is shown without scratch memory
    if (TransformBitmap(source, nullptr, nullptr, sx, sy, target, width, height, outW, outH,
                        d->smooth, nullptr, nullptr, nullptr) != ERR_NONE)
      return;
    if (adapter)
      AdapterWindowCopy(d, target, 0, 0, static_cast<int32_t>(x0), static_cast<int32_t>(y0), outW,
                        outH, 0, 0, 1);
    else
      putPixels(target, 0, 0, d, static_cast<int32_t>(x0), static_cast<int32_t>(y0), outW, outH);
    shown = WindowCopyArea{target, 0,   0, static_cast<int32_t>(x0), static_cast<int32_t>(y0),
                           outW,   outH};
  } else if (adapter) {
    AdapterWindowCopy(d, source, sx, sy, dx, dy, width, height, 0, 0, 1);
  } else {
    putPixels(source, sx, sy, d, dx, dy, width, height);
  }
  if (tell) NotifyWindowCopy(d, shown, unscaled);
}

void RefreshDisplayRect(BitmapHandle* bitmap, int32_t sx, int32_t sy, DisplayRecord* d, int32_t dx,
                        int32_t dy, int32_t width, int32_t height, uint32_t flags) {
  if (!d || !bitmap) return;
  if (d->collectRefreshes && !(flags & REFRESH_FORCE)) return;
  int32_t bw = bitmap->width, bh = bitmap->height;
  if ((flags & REFRESH_SCALE) && d->autoscale && d->scaleWidth > 0 && d->scaleHeight > 0 &&
      (d->scaleWidth != bw || d->scaleHeight != bh)) {
    if (!displayContext.partialScaledRefresh) {
      sx = sy = dx = dy = 0;
      width = bw;
      height = bh;
    }
    RefreshScaledDisplay(bitmap, sx, sy, d, dx, dy, width, height, d->scaleWidth, d->scaleHeight,
                         flags, nullptr, nullptr, nullptr);
    return;
  }
  RefreshScaledDisplay(bitmap, sx, sy, d, dx, dy, width, height, 0, 0, flags, nullptr, nullptr,
                       nullptr);
}

void RefreshDisplay(VmState*, DisplayRecord* d, uint32_t flags) {
  ClearDisplayBorders(d);
  // A double-buffered display shows its presentation buffer.
  if (d->doubleBuffer && d->presentBuffer) {
    FlipDisplayBuffers(d, 1, flags);
    return;
  }
  if (!d->windowBitmap) return;
  // The window bitmap may have been made again from the bare picture. While
  // a background-picture transition runs its frames, the new picture's
  // layers wait for its end: only the background is drawn again.
  RedrawDisplayLayers(d, displayContext.transitionRunning ? REDRAW_ONLYBACKGROUND : 0u);
  RefreshDisplayRect(d->windowBitmap, 0, 0, d, 0, 0, d->windowBitmap->width,
                     d->windowBitmap->height, flags | 0x2009);
}

void UpdateDisplayArea(VmState*, int32_t sx, int32_t sy, DisplayRecord* d, int32_t dx, int32_t dy,
                       int32_t width, int32_t height) {
  if (!d || !d->windowBitmap) return;
  int32_t bw = d->windowBitmap->width, bh = d->windowBitmap->height;
  ClipBlitRect(nullptr, &sx, &sy, &dx, &dy, &width, &height, bw, bh, bw, bh, 0);
  if (width <= 0 || height <= 0) return;
  if (d->layers && d->bgpic) {
    LayerBlitRefresh(nullptr, d, sx, sy, width, height);
    return;
  }
  if (RectHitsSprite(d->bgpic, sx, sy, width, height)) {
    RedrawSpriteArea(nullptr, d, sx, sy, width, height);
    return;
  }
  RefreshDisplayRect(d->windowBitmap, sx, sy, d, dx, dy, width, height, REFRESH_SCALE);
}

ErrorCode RebuildWindowBitmap(DisplayRecord* d) {
  BGPic* pic = d->bgpic;
  if (!pic || !pic->bitmap) return ERR_BITMAP;
  if (d->windowBitmap && d->windowBitmap->width == pic->width &&
      d->windowBitmap->height == pic->height) {
    BltBitmapToTarget(pic->bitmap, 0, 0, d->windowBitmap, 0, 0, pic->width, pic->height);
    return ERR_NONE;
  }
  BitmapHandle* bitmap = AllocBitmap(pic->width, pic->height, 0, nullptr);
  if (!bitmap) return ERR_BITMAP;
  // The fresh bitmap holds zero pixels already: a picture of nothing but
  // zero pixels in the same format (a new black display) is not copied.
  uint32_t value = 1;
  if (!FillWritesZeroPixels(bitmap, 0) ||
      GetBitmapAttr(bitmap, 21) != GetBitmapAttr(pic->bitmap, 21) ||
      !BitmapRectHoldsOnePixel(pic->bitmap, 0, 0, pic->width, pic->height, &value) || value != 0)
    BltBitmapToTarget(pic->bitmap, 0, 0, bitmap, 0, 0, pic->width, pic->height);
  FreeBitmap(d->windowBitmap);
  d->windowBitmap = bitmap;
  return ERR_NONE;
}

ErrorCode ResizeDisplay(VmState* L, DisplayRecord* d, int32_t x, int32_t y, int32_t width,
                        int32_t height, int32_t smooth, int32_t scaledWidth, int32_t scaledHeight,
                        uint32_t flags) {
  BGPic* pic = d->bgpic;
  if (!pic || width < 1 || height < 1) return ERR_WRONGUSAGE;
  int32_t oldWidth = d->width, oldHeight = d->height;
  bool user = (flags & RESIZE_USER) != 0;

  if (d->layerscale && user && d->scaleWidth > 0) {
    if (width != pic->width || height != pic->height) {
      ErrorCode error = RescaleBGPic(pic, width, height, smooth);
      if (error != ERR_NONE) return error;
      if (flags & RESIZE_KEEPSOURCE) {
        pic->sourceBitmap = pic->bitmap;
        pic->sourceWidth = width;
        pic->sourceHeight = height;
      }
    }
    d->scaleX = static_cast<double>(d->scaleWidth) / width;
    d->scaleY = static_cast<double>(d->scaleHeight) / height;
    if (ErrorCode e = RerenderAllLayers(L, d, pic)) return e;
    ErrorCode error = RebuildWindowBitmap(d);
    if (error != ERR_NONE) return error;
    if (!(flags & RESIZE_CLOSED)) RefreshDisplay(L, d, REFRESH_FORCE);
    RescaleDisplayVideos(L, d);
    return ERR_NONE;
  }

  // The window's new size first: a size X cannot show changes nothing.
  bool userScaled = user && d->autoscale && d->scaleWidth > 0;
  int32_t drawWidth = userScaled ? pic->width : width,
          drawHeight = userScaled ? pic->height : height;
  int32_t windowWidth = width, windowHeight = height;
  if (!userScaled && scaled(d)) {
    // Sizes in factor units: the window is the size times the display's
    // scale factor, unless scaled sizes are given.
    if ((flags & RESIZE_FACTORUNITS) && d->scaleFactorActive && d->scaleFactor > 0 &&
        scaledWidth <= 0 && scaledHeight <= 0) {
      scaledWidth = VmTruncInt32(width * d->scaleFactor);
      scaledHeight = VmTruncInt32(height * d->scaleFactor);
    }
    // Without a scaled size the window keeps its size (bars included).
    windowWidth = scaledWidth > 0 ? scaledWidth : d->width;
    windowHeight = scaledHeight > 0 ? scaledHeight : d->height;
  }
  // A window larger than any bitmap can never get its pixels.
  if (windowWidth > 0 && windowHeight > 0 && !BitmapSizeFits(windowWidth, windowHeight))
    return ERR_MEM;
  bool open = d->state != DISPSTATE_CLOSED && !(flags & RESIZE_CLOSED);
  if (open && !DisplayAdapterInUse() && (windowWidth != oldWidth || windowHeight != oldHeight) &&
      !IsX11SizePossible(windowWidth, windowHeight)) {
    char text[32];
    std::snprintf(text, sizeof text, "%dx%d", windowWidth, windowHeight);
    SetErrorArgString(text);
    return ERR_DISPLAYSIZE;
  }
  if (scaled(d)) {
    // Only the scaled size follows a user's size on an autoscaled display;
    // the drawing stays.
    ComputeScaledFit(d, pic, windowWidth, windowHeight);
  } else {
    d->scaleWidth = d->scaleHeight = 0;
    d->marginLeft = d->marginTop = d->marginRight = d->marginBottom = 0;
  }

  ErrorCode error = ERR_NONE;
  if (d->layerscale && !user) {
    error = scaleByLayers(L, d, pic, smooth);
  } else if (d->autoscale && !user) {
    error = RescaleBGPic(pic, drawWidth, drawHeight, smooth);
    FreeBitMask(d->ownMask);
    FreeAlphaChannel(d->ownAlpha);
    d->ownMask = nullptr;
    d->ownAlpha = nullptr;
    d->scaleX = static_cast<double>(d->scaleWidth) / pic->width;
    d->scaleY = static_cast<double>(d->scaleHeight) / pic->height;
    // The window's shape follows the picture at the scaled size.
    if (error == ERR_NONE && (d->scaleX != 1.0 || d->scaleY != 1.0) && (pic->mask || pic->alpha))
      error = scaleOwnShape(d, pic);
  } else {
    error = RescaleBGPic(pic, drawWidth, drawHeight, smooth);
    if (d->autoscale && d->scaleWidth > 0) {
      d->scaleX = static_cast<double>(d->scaleWidth) / drawWidth;
      d->scaleY = static_cast<double>(d->scaleHeight) / drawHeight;
    } else if (!scaled(d)) {
      d->scaleX = d->scaleY = 1.0;
    }
  }
  if (error != ERR_NONE) return error;
  // Layers drawn at a layer scale the display has left are shown at the
  // picture's size again.
  if (!d->layerscale) UnscaleLayerStates(L, pic);
  d->width = windowWidth;
  d->height = windowHeight;

  if (!(flags & RESIZE_CLOSED) && d->state != DISPSTATE_CLOSED) {
    int32_t mx = 0, my = 0, mw = 0, mh = 0;
    if (GetDisplayMonitorRect(d, &mx, &my, &mw, &mh) == ERR_NONE) {
      if (x == KEEPPOSITION)
        x = d->x;
      else if (x == 200000)
        x = mx + ResolveSpecialCoordinate(POS_CENTER, d->width + d->borderHorizontal, mw, 0);
      else
        x = mx + ResolveSpecialCoordinate(x, d->width + d->borderHorizontal, mw, 0);
      if (y == KEEPPOSITION)
        y = d->y;
      else if (y == 200000)
        y = my + ResolveSpecialCoordinate(POS_CENTER, d->height + d->borderVertical, mh, 1);
      else
        y = my + ResolveSpecialCoordinate(y, d->height + d->borderVertical, mh, 1);
      d->x = x;
      d->y = y;
      d->xRelative = d->yRelative = 0;
    }
  }
  if (!pic->mask && !pic->alpha && !(flags & RESIZE_CLOSED)) RenewDefaultRegions(d);
  error = RebuildWindowBitmap(d);
  if (error != ERR_NONE) return error;
  if (!(flags & RESIZE_CLOSED) && d->state != DISPSTATE_CLOSED) {
    SizeMoveDisplayWindow(d, d->width != oldWidth || d->height != oldHeight);
    ClearDisplayBorders(d);
    RefreshDisplayRect(d->windowBitmap, 0, 0, d, 0, 0, d->windowBitmap->width,
                       d->windowBitmap->height, 0x20C9);
  }
  // Videos drawn into the window follow the scale; with an adapter an
  // autoscaled window is scaled whole, videos with it.
  if (d->layerscale || (d->autoscale && !DisplayAdapterInUse())) RescaleDisplayVideos(L, d);
  if (user || (flags & RESIZE_FACTORUNITS) || !scaled(d)) {
    d->textX = d->textY = d->textLeft = 0;
    d->textRight = pic->width - 1;
  }
  if (!(flags & RESIZE_NOCALLBACKS)) NotifyDisplayCallbacks(d, d->width, d->height);
  return ERR_NONE;
}

ErrorCode InitDisplayScaling(VmState* L, DisplayRecord* d) {
  if (!scaled(d)) return RebuildWindowBitmap(d);
  int32_t targetWidth = d->scaleWidth > 0 ? d->scaleWidth : d->width;
  int32_t targetHeight = d->scaleHeight > 0 ? d->scaleHeight : d->height;
  if (d->flags & DSF_FITSCALE) {
    int32_t mx = 0, my = 0, mw = 0, mh = 0;
    ErrorCode error = GetDisplayMonitorRect(d, &mx, &my, &mw, &mh);
    if (error != ERR_NONE) return error;
    d->x = mx;
    d->y = my;
    d->xRelative = d->yRelative = 0;
    targetWidth = std::max(1, mw - d->borderHorizontal);
    targetHeight = std::max(1, mh - d->borderVertical);
  }
  BGPic* pic = d->bgpic;
  return ResizeDisplay(L, d, 0, 0, pic->sourceWidth, pic->sourceHeight, d->smooth, targetWidth,
                       targetHeight, RESIZE_CLOSED | RESIZE_SETUP);
}

int64_t ReadDisplayWindowPixel(DisplayRecord* display, int32_t x, int32_t y) {
  if (!display || !display->windowBitmap) return -1;
  BitmapHandle* b = display->windowBitmap;
  if (x < 0 || y < 0 || x >= b->width || y >= b->height) return -1;
  return ReadBitmapPixel(b, x, y, 0) & 0xffffff;
}
