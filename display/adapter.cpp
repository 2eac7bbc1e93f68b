// Display operations routed to the display adapter plug-in when one is
// installed, else to the X11 back end: window opening and closing, border
// sizes, the window copy of refreshed areas, fills, monitors, frame waits,
// sleeps and the event loop.
//
// Invariant: the adapter is asked only about displays whose window handle
// it made (non-zero while the display is open), except for the border
// sizes and monitors, which it answers before a window exists.
#include <algorithm>
#include <cstdlib>

#include "display/adapter_private.h"
#include "display/context_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"

namespace {

int adapterActive() { return GetDisplayAdapter() ? 1 : 0; }

ErrorCode adapterWake() {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (a && a->forceEventLoopIteration) a->forceEventLoopIteration(0);
  return ERR_NONE;
}

// Colours go to the adapter with the alpha inverted (0x00 opaque).
uint32_t adapterColour(uint32_t colour) { return colour ^ 0xFF000000u; }

}  // namespace

const DisplayAdapter* DisplayAdapterInUse() { return GetDisplayAdapter(); }

X11Window X11WindowOf(const DisplayRecord* d) {
  X11Window w{};
  if (!d) return w;
  w.record = d->x11;
  w.parent = d->parent ? d->parent->x11 : nullptr;
  w.owner = d;
  w.server = d->xserver;
  w.title = d->title;
  w.open = d->state == DISPSTATE_OPEN ? 1 : 0;
  w.x = d->x;
  w.y = d->y;
  w.width = d->width;
  w.height = d->height;
  w.marginLeft = d->marginLeft;
  w.marginTop = d->marginTop;
  w.marginRight = d->marginRight;
  w.marginBottom = d->marginBottom;
  w.monitor = d->monitor;
  static constexpr struct {
    uint32_t flag, style;
  } STYLES[] = {
      {DSF_BORDERLESS, X11WINDOW_BORDERLESS},
      {DSF_SIZEABLE, X11WINDOW_SIZEABLE},
      {DSF_FIXED, X11WINDOW_FIXED},
      {DSF_NOHIDE, X11WINDOW_NOHIDE},
      {DSF_NOCLOSE, X11WINDOW_NOCLOSE},
      {DSF_ALWAYSONTOP, X11WINDOW_ALWAYSONTOP},
      {DSF_DISABLEBLANKER, X11WINDOW_DISABLEBLANKER},
  };
  for (const auto& s : STYLES)
    if (d->flags & s.flag) w.style |= s.style;
  if (d->fullscreen) w.style |= X11WINDOW_FULLSCREEN;
  if (d->isBackfill || d->fullscreen || d->parent) w.style |= X11WINDOW_UNMANAGED;
  return w;
}

X11FrameSizes FrameSizesOf(const DisplayRecord* d) {
  return X11FrameSizes{d->borderLeft, d->borderTop, d->borderHorizontal, d->borderVertical};
}

void SetFrameSizes(DisplayRecord* d, const X11FrameSizes& frame) {
  d->borderLeft = frame.left;
  d->borderTop = frame.top;
  d->borderHorizontal = frame.horizontal;
  d->borderVertical = frame.vertical;
}

void* AdapterWindowOf(const DisplayRecord* d) {
  return d ? reinterpret_cast<void*>(d->windowHandle) : nullptr;
}

uint32_t AdapterDisplayFlags(const DisplayRecord* d) {
  uint32_t f = 0;
  if (d->flags & DSF_BORDERLESS) f |= QM_DISPLAY_BORDERLESS;
  if (d->flags & DSF_SIZEABLE) f |= QM_DISPLAY_SIZEABLE;
  if (d->flags & DSF_FIXED) f |= QM_DISPLAY_FIXED;
  if (d->flags & DSF_NOHIDE) f |= QM_DISPLAY_NOHIDE;
  if (d->flags & DSF_NOCLOSE) f |= QM_DISPLAY_NOCLOSE;
  if (d->autoscale) f |= QM_DISPLAY_AUTOSCALE;
  if (d->layerscale) f |= QM_DISPLAY_LAYERSCALE;
  if (d->layers) f |= QM_DISPLAY_LAYERS;
  if (d->doubleBuffer) f |= QM_DISPLAY_DOUBLEBUFFER;
  if (d->fullscreen) f |= QM_DISPLAY_FULLSCREEN;
  if (d->flags & DSF_DISABLEBLANKER) f |= QM_DISPLAY_DISABLEBLANKER;
  if (d->flags & DSF_ALWAYSONTOP) f |= QM_DISPLAY_ALWAYSONTOP;
  return f;
}

ErrorCode DetermineDisplayBorderSizes(DisplayRecord* d) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    d->bordersKnown = 1;
    X11FrameSizes frame = FrameSizesOf(d);
    ErrorCode error = DetermineX11BorderSizes(X11WindowOf(d), &frame);
    SetFrameSizes(d, frame);
    return error;
  }
  int32_t left = 0, right = 0, top = 0, bottom = 0;
  if (a->determineBorderSizes)
    a->determineBorderSizes(AdapterDisplayFlags(d), &left, &right, &top, &bottom);
  d->borderLeft = left;
  d->borderTop = top;
  d->borderHorizontal = left + right;
  d->borderVertical = top + bottom;
  d->bordersKnown = 1;
  return ERR_NONE;
}

ErrorCode OpenAdapterWindow(DisplayRecord* d) {
  const DisplayAdapter* a = GetDisplayAdapter();
  void* window = a->openDisplay ? a->openDisplay(d->title, d->x, d->y, d->width, d->height,
                                                 AdapterDisplayFlags(d), nullptr)
                                : nullptr;
  if (!window) return ERR_WINDOW;
  d->windowHandle = reinterpret_cast<uintptr_t>(window);
  return ERR_NONE;
}

void CloseAdapterWindow(DisplayRecord* d) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (a && d->windowHandle && a->closeDisplay) a->closeDisplay(AdapterWindowOf(d));
  d->windowHandle = 0;
}

namespace {

// Whether the direct drawing of a display goes to the adapter's window.
bool adapterDraws(const DisplayAdapter* a, const DisplayRecord* d) {
  return d->windowHandle && (d->state == DISPSTATE_OPEN || (a->flags & QM_ADAPTER_CLOSEDBLITS));
}

// No display has a hardware double buffer on this platform, so the native
// drawing always goes to the window.
// One pixel through X11 (the native back end has no line primitive).
void x11Pixel(DisplayRecord* d, int32_t x, int32_t y, uint32_t colour) {
  FillX11Rect(X11WindowOf(d), x, y, 1, 1, colour);
}

}  // namespace

void FillDisplayRect(DisplayRecord* d, int32_t x, int32_t y, int32_t width, int32_t height,
                     uint32_t colour, uint32_t flags) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    FillX11Rect(X11WindowOf(d), x, y, width, height, colour);
  } else if (adapterDraws(a, d) && a->rectFill && width > 0 && height > 0) {
    a->rectFill(AdapterWindowOf(d), x + d->marginLeft, y + d->marginTop, width, height,
                adapterColour(colour), flags);
  }
  intptr_t values[5] = {x, y, width, height, static_cast<intptr_t>(adapterColour(colour))};
  CallDisplayCallbacks(d, QM_DCB_RECTFILL, values);
}

void DrawDisplayLine(DisplayRecord* d, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                     uint32_t colour) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    {
      int32_t dx = std::abs(x2 - x1), dy = -std::abs(y2 - y1);
      int32_t stepX = x1 < x2 ? 1 : -1, stepY = y1 < y2 ? 1 : -1, err = dx + dy;
      for (int32_t x = x1, y = y1;;) {
        x11Pixel(d, x, y, colour);
        if (x == x2 && y == y2) break;
        int32_t e2 = 2 * err;
        if (e2 >= dy) {
          err += dy;
          x += stepX;
        }
        if (e2 <= dx) {
          err += dx;
          y += stepY;
        }
      }
    }
  } else if (adapterDraws(a, d) && a->line) {
    a->line(AdapterWindowOf(d), x1 + d->marginLeft, y1 + d->marginTop, x2 + d->marginLeft,
            y2 + d->marginTop, adapterColour(colour), 0);
  }
  intptr_t values[5] = {x1, y1, x2, y2, static_cast<intptr_t>(adapterColour(colour))};
  CallDisplayCallbacks(d, QM_DCB_LINE, values);
}

void WriteDisplayPixel(DisplayRecord* d, int32_t x, int32_t y, uint32_t colour) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    x11Pixel(d, x, y, colour);
  } else if (adapterDraws(a, d) && a->writePixel) {
    a->writePixel(AdapterWindowOf(d), x + d->marginLeft, y + d->marginTop, adapterColour(colour),
                  0);
  }
  intptr_t values[3] = {x, y, static_cast<intptr_t>(adapterColour(colour))};
  CallDisplayCallbacks(d, QM_DCB_PIXEL, values);
}

void ActivateDisplayWindow(DisplayRecord* d) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    ActivateX11Window(d->x11);
    return;
  }
  if (d->windowHandle && a->activateDisplay) a->activateDisplay(AdapterWindowOf(d), 1);
}

void ActivateDisplayWindowFocus(DisplayRecord* d, int takeFocus) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    ActivateX11Window(d->x11);
    return;
  }
  if (d->windowHandle && a->activateDisplay)
    a->activateDisplay(AdapterWindowOf(d), takeFocus ? 1 : 0);
}

void SizeMoveDisplayWindow(DisplayRecord* d, int sized) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    if (sized)
      SizeMoveX11Window(X11WindowOf(d));
    else
      MoveX11Window(d->x11, d->x, d->y);
    return;
  }
  if (d->windowHandle && a->sizeMoveDisplay)
    a->sizeMoveDisplay(AdapterWindowOf(d), d->x, d->y, sized ? d->width : 0, sized ? d->height : 0,
                       0, 0);
}

void SetDisplayPointerVisible(DisplayRecord* d, int visible) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    if (visible)
      ShowX11Pointer(d->x11);
    else
      HideX11Pointer(d->x11);
    return;
  }
  if (d->windowHandle && a->showHidePointer) a->showHidePointer(AdapterWindowOf(d), visible);
}

void ClearDisplayWindow(DisplayRecord* d, uint32_t colour) {
  // The X11 window is always redrawn from its bitmap, so only an adapter's
  // window has anything to clear.
  const DisplayAdapter* a = GetDisplayAdapter();
  if (a && d->windowHandle && a->cls) a->cls(AdapterWindowOf(d), adapterColour(colour), 0);
}

void SetDisplayWindowTitle(DisplayRecord* d) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    SetX11WindowTitle(d->x11, d->title);
    return;
  }
  if (d->windowHandle && a->setDisplayTitle) a->setDisplayTitle(AdapterWindowOf(d), d->title);
}

ErrorCode ShowHideDisplayWindow(DisplayRecord* d, int minimise) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) return IconifyX11Window(X11WindowOf(d), minimise);
  if (d->windowHandle && a->showHideDisplay)
    a->showHideDisplay(AdapterWindowOf(d), minimise ? 0 : 1, 0);
  return ERR_NONE;
}

void MoveDisplayPointer(DisplayRecord* d, int32_t x, int32_t y) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    MoveX11Pointer(d->x11, x, y);
    return;
  }
  if (d->windowHandle && a->movePointer) a->movePointer(AdapterWindowOf(d), x, y);
}

ErrorCode CreateDisplayPointer(const uint32_t* argb, int32_t width, int32_t height, int32_t hotX,
                               int32_t hotY, void** out) {
  *out = nullptr;
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    X11PointerNode* node = nullptr;
    ErrorCode e = CreateX11Pointer(argb, hotX, hotY, &node, width, height);
    *out = node;
    return e;
  }
  if (!a->createPointer) return ERR_POINTERIMG;
  *out = a->createPointer(argb, width, height, hotX, hotY);
  return *out ? ERR_NONE : ERR_POINTERIMG;
}

void FreeDisplayPointer(void* pointer) {
  if (!pointer) return;
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    FreeX11Pointer(static_cast<X11PointerNode*>(pointer));
    return;
  }
  if (a->freePointer) a->freePointer(pointer);
}

void SetDisplayPointer(DisplayRecord* d, void* pointer, int32_t kind) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    SetX11Pointer(d->x11, static_cast<X11PointerNode*>(pointer), kind);
    return;
  }
  if (d->windowHandle && a->setPointer)
    a->setPointer(AdapterWindowOf(d), kind == 2 ? pointer : nullptr);
}

void ShowDisplayPointer(DisplayRecord* d, int visible) { SetDisplayPointerVisible(d, visible); }

ErrorCode GrabDisplayPixels(DisplayRecord* d, int32_t x, int32_t y, int32_t width, int32_t height,
                            int32_t, int32_t, BitmapHandle** bitmap) {
  *bitmap = nullptr;
  if (width < 1 || height < 1) return ERR_GRABSCREEN;
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) {
    *bitmap = GrabX11ScreenPixels(X11WindowOf(d), x, y, width, height);
    return *bitmap ? ERR_NONE : ERR_GRABSCREEN;
  }
  if (!a->grabScreenPixels) return ERR_GRABSCREEN;
  uint32_t* pixels = a->grabScreenPixels(x, y, width, height);
  if (!pixels) return ERR_GRABSCREEN;
  BitmapHandle* made = nullptr;
  ErrorCode e =
      CreateBitmapFromRGB(pixels, -1, width, height, width, 0, 0, nullptr, &made, nullptr, nullptr);
  if (a->freeGrabScreenPixels) a->freeGrabScreenPixels(pixels);
  if (e) return e;
  *bitmap = made;
  return ERR_NONE;
}

void AdapterWindowCopy(DisplayRecord* d, BitmapHandle* source, int32_t sx, int32_t sy, int32_t dx,
                       int32_t dy, int32_t width, int32_t height, int32_t scaledWidth,
                       int32_t scaledHeight, int hostScaled) {
  const DisplayAdapter* a = GetDisplayAdapter();
  bool reachable =
      d->state == DISPSTATE_OPEN || ((a->flags & QM_ADAPTER_CLOSEDBLITS) && d->windowHandle);
  if (!reachable || !d->windowHandle || !a->bltBitMap || width <= 0 || height <= 0) return;
  BitmapLock lock;
  if (!LockBitmap(source, 1, &lock)) return;
  QmBlitRequest r = {};
  r.srcX = sx;
  r.srcY = sy;
  r.dstX = dx + d->marginLeft;
  r.dstY = dy + d->marginTop;
  r.width = width;
  r.height = height;
  if (!hostScaled && scaledWidth > 0 && scaledHeight > 0) {
    r.scaledWidth = scaledWidth;
    r.scaledHeight = scaledHeight;
    r.flags |= QM_BLIT_UNSCALED;
  }
  r.smooth = d->smooth;
  r.source = QmPixelSource{lock.address, lock.rowLength * lock.bytesPerPixel, lock.pixelFormat,
                           lock.width, lock.height};
  a->bltBitMap(source->backing, AdapterWindowOf(d), &r, QM_BLITDEST_WINDOW);
  UnlockBitmap(&lock);
}

MonitorNode* AdapterMonitorList(DisplayRecord* d, bool* handled) {
  const DisplayAdapter* a = GetDisplayAdapter();
  *handled = a && (a->flags & QM_ADAPTER_MONITORS);
  if (!*handled || !a->getMonitorInfo) return nullptr;
  auto* list =
      static_cast<QmMonitorInfo*>(a->getMonitorInfo(QM_MONITORQUERY_MONITORS, d ? d->monitor : 0));
  if (!list) return nullptr;
  MonitorNode* result = nullptr;
  MonitorNode** tail = &result;
  for (const QmMonitorInfo* m = list; m->width > 0 && m->height > 0; m++) {
    auto* node = static_cast<MonitorNode*>(AllocMemory(sizeof(MonitorNode), 1));
    if (!node) {
      // An allocation failure drops the whole chain.
      FreeMonitorList(result);
      result = nullptr;
      break;
    }
    *node = MonitorNode{nullptr, m->x, m->y, m->width, m->height};
    *tail = node;
    tail = &node->next;
  }
  if (a->freeMonitorInfo) a->freeMonitorInfo(list);
  return result;
}

int AdapterHandleEvents(VmState* L, ErrorCode* error) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) return 0;
  int32_t code = a->handleEvents ? a->handleEvents(L, 0) : 0;
  if (code != 0 && error) *error = code;
  return code != 0;
}

bool AdapterWaitEvents(VmState* L, ErrorCode* error) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a) return false;
  int32_t code = a->waitEvents ? a->waitEvents(L, -1) : 0;
  if (error) *error = code;
  return true;
}

bool AdapterRunsMainLoop() {
  const DisplayAdapter* a = GetDisplayAdapter();
  return a && a->adapterMainLoop;
}

void InstallAdapterEventHooks() {
  SetDisplayAdapterHooks(adapterActive, adapterWake);
  SetDisplayAdapterWait(AdapterWaitEvents);
}

void WaitDisplayVBlank(VmState*, DisplayRecord* d, int32_t frame) {
  const DisplayAdapter* a = GetDisplayAdapter();
  bool adapterWaits = a && (a->flags & QM_ADAPTER_VWAITS) && d && d->windowHandle;
  if (adapterWaits) {
    QmVWaitRequest request = {1, frame, 0};
    if (a->vwait) a->vwait(AdapterWindowOf(d), &request);
  } else {
    WaitFrameInterval(d, 0);
  }
  // A callback that does not take the frame itself leaves a closed native
  // display to wait another frame, so that it paces as an open one does.
  if (OfferVBlankToCallbacks(d, frame) && !a && d->state == DISPSTATE_CLOSED)
    WaitFrameInterval(d, 1);
}

ErrorCode GetHardwareBitmapDisplay(ObjectId id, DisplayRecord** out) {
  *out = nullptr;
  if (!(AdapterSupportedBitmapFlags(32) & 32)) return ERR_NONE;
  DisplayRecord* d = nullptr;
  if (!id.autoId && id.number == 0) {
    d = GetCurrentDisplay();
  } else if (ErrorCode e = FindDisplayById(id, &d)) {
    return e;
  }
  if (!d || !d->windowHandle) return ERR_HWBMCLOSEDISP;
  *out = d;
  return ERR_NONE;
}

int AdapterDoubleBuffers() {
  const DisplayAdapter* a = GetDisplayAdapter();
  return a && (a->flags & QM_ADAPTER_DOUBLEBUFFERS) ? 1 : 0;
}

// A non-zero answer of the hook is its refusal.
ErrorCode AdapterBeginDoubleBuffer(DisplayRecord* d) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a || !a->beginDoubleBuffer || !d->windowHandle) return ERR_NONE;
  return a->beginDoubleBuffer(AdapterWindowOf(d)) ? ERR_DISPLAYADAPTERSUPPORT : ERR_NONE;
}

ErrorCode AdapterEndDoubleBuffer(DisplayRecord* d) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a || !a->endDoubleBuffer || !d->windowHandle) return ERR_NONE;
  return a->endDoubleBuffer(AdapterWindowOf(d)) ? ERR_DISPLAYADAPTERSUPPORT : ERR_NONE;
}

ErrorCode AdapterFlip(DisplayRecord* d, int32_t sync) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (!a || !a->flip || !d->windowHandle) return ERR_NONE;
  QmFlipRequest request = {1, sync, 0};
  return a->flip(AdapterWindowOf(d), &request) ? ERR_DISPLAYADAPTERSUPPORT : ERR_NONE;
}

ErrorCode SleepViaAdapter(VmState* L, int32_t milliseconds) {
  const DisplayAdapter* a = GetDisplayAdapter();
  if (a && (a->flags & QM_ADAPTER_SLEEPS)) {
    if (a->sleep) a->sleep(L, milliseconds);
    return PollWhileWaiting(L);
  }
  return SleepWithEvents(L, std::max(milliseconds, 0));
}
