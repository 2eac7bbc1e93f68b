// Opening and closing display windows: the first opening at start-up, the
// resolution of the display mode, full-screen switches, the platform window
// itself with its regions and pointer, and closing.
// Invariant: a display's state is DISPSTATE_OPEN exactly while its X11
// window exists; a failure after a screen-mode switch puts the mode back.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "display/adapter_private.h"
#include "display/context_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "display/regions_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"

namespace {

constexpr int32_t PREPARING_TEXT = 99;  // "Preparing display"
constexpr int32_t ACTION_TEXT = 372;    // "And Action!"

// A "desktop" display shows what its monitor showed before it opened.
void copyDesktop(DisplayRecord* d) {
  int32_t mx = 0, my = 0, mw = 0, mh = 0;
  if (GetDisplayMonitorRect(d, &mx, &my, &mw, &mh) != ERR_NONE) return;
  if (!displayContext.desktopSnapshot)
    GrabDisplayPixels(d, mx, my, mw, mh, 0, 0, &displayContext.desktopSnapshot);
  if (!displayContext.desktopSnapshot || !d->bgpic || !d->bgpic->bitmap) return;
  int32_t w = std::min(displayContext.desktopSnapshot->width, d->bgpic->width);
  int32_t h = std::min(displayContext.desktopSnapshot->height, d->bgpic->height);
  BltBitmapToTarget(displayContext.desktopSnapshot, 0, 0, d->bgpic->bitmap, 0, 0, w, h);
  RebuildWindowBitmap(d);
}

// The preparation of the pictures at the first opening.
ErrorCode preparePictures(VmState* L) {
  if (displayContext.picturesPrepared) return ERR_NONE;
  displayContext.picturesPrepared = true;
  if (!DisplayAdapterInUse()) {
    QueryNativePixelFormat(nullptr);
    // Window bitmaps made before the screen's format was known take it
    // now: the window system shows their memory as it is.
    const int64_t format = GetSoftBitmapFormatOverride();
    for (DisplayRecord* d = GetDisplayList(); d;
         d = reinterpret_cast<DisplayRecord*>(d->head.next)) {
      BitmapHandle* old = d->windowBitmap;
      if (!old || format < 0 || GetBitmapAttr(old, 21) == format) continue;
      BitmapHandle* fresh = AllocBitmap(old->width, old->height, 0, nullptr);
      if (!fresh) return ERR_BITMAP;
      BltBitmapToTarget(old, 0, 0, fresh, 0, 0, old->width, old->height);
      FreeBitmap(old);
      d->windowBitmap = fresh;
    }
  }
  // Brushes loaded before a display existed become bitmaps now. No setting
  // of the player forbids video-memory brushes, so software is not forced,
  // and at the first opening no display-bound brush waits for another.
  if (displayContext.brushHooks.realize) displayContext.brushHooks.realize(0, 0);
  // Pictures made while preloading get their images.
  if (ErrorCode e = RealizeBGPicImages(L)) return e;
  // Sprites and anims made before a display existed get their frames now.
  if (displayContext.spriteRestore) displayContext.spriteRestore();
  if (displayContext.animRealize)
    if (ErrorCode e = displayContext.animRealize()) return e;
  // Nothing else holds display bitmaps. Colour fonts
  // draw from their own glyph pixels, so no font bitmap waits for a display.
  if (!displayContext.quietOpening) {
    PrintDone();
    if (!IsQuietMode()) PrintToConsole("%s\n\n", GetBuiltinString(ACTION_TEXT));
  }
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (d->desktop) copyDesktop(d);
  // Displays made while preloading set up their scaling now that their
  // pictures have images.
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (!d->windowBitmap && d->bgpic)
      if (ErrorCode e = InitDisplayScaling(L, d)) return e;
  return ERR_NONE;
}

}  // namespace

void SetAnimRealizeHook(ErrorCode (*realize)()) { displayContext.animRealize = realize; }

namespace {

constexpr int32_t ASK_BODY_TEXT = 288;     // "Please select desired display mode!"
constexpr int32_t ASK_BUTTONS_TEXT = 792;  // full screen, windowed, manual, cancel
constexpr size_t MODE_NAME_MAX = 63;

// The screen modes of the display's monitor as a list to choose from; the
// choice becomes the full-screen size.
ErrorCode chooseScreenMode(VmState* L, DisplayRecord* d) {
  int32_t count = GetX11DisplayModes(X11WindowOf(d), nullptr);
  if (count <= 0) return ERR_NODISPMODES;
  auto* modes = static_cast<X11DisplayMode*>(
      AllocMemoryArray(static_cast<size_t>(count), sizeof(X11DisplayMode), 1));
  if (!modes) return ERR_MEM;
  count = GetX11DisplayModes(X11WindowOf(d), modes);
  auto* choices =
      static_cast<char*>(AllocMemoryArray(static_cast<size_t>(count) + 1, MODE_NAME_MAX + 1, 1));
  if (!choices || count <= 0) {
    FreeMemory(modes);
    FreeMemory(choices);
    return choices ? ERR_NODISPMODES : ERR_MEM;
  }
  char* at = choices;
  int32_t start = -1;
  for (int32_t i = 0; i < count; i++) {
    int written = std::snprintf(at, MODE_NAME_MAX + 1, "%dx%d", modes[i].width, modes[i].height);
    at += std::clamp(written, 0, static_cast<int>(MODE_NAME_MAX)) + 1;
    if (start < 0 && modes[i].width >= d->width && modes[i].height >= d->height) start = i;
  }
  int32_t index = -1;
  ErrorCode error = NativeListRequester(L, d->title, GetBuiltinString(ASK_BODY_TEXT), choices,
                                        start < 0 ? 0 : start, &index);
  if (error == ERR_NONE && (index < 0 || index >= count)) error = ERR_USERABORT;
  if (error == ERR_NONE) {
    d->screenWidth = modes[index].width;
    d->screenHeight = modes[index].height;
    d->mode = DISPMODE_FULLSCREEN;
  }
  FreeMemory(choices);
  FreeMemory(modes);
  return error;
}

void clipRegions(DisplayRegion* regions, int32_t count, int32_t width, int32_t height) {
  for (int32_t i = 0; i < count; i++) {
    DisplayRegion& r = regions[i];
    r.x = std::clamp(r.x, 0, std::max(width - 1, 0));
    r.y = std::clamp(r.y, 0, std::max(height - 1, 0));
    r.width = std::max(1, std::min(r.width, width - r.x));
    r.height = std::max(1, std::min(r.height, height - r.y));
  }
}

void scaleRegions(const DisplayRegion* from, DisplayRegion* to, int32_t count, double fx,
                  double fy) {
  for (int32_t i = 0; i < count; i++) {
    to[i] = from[i];
    to[i].x = VmTruncInt32(from[i].x * fx);
    to[i].y = VmTruncInt32(from[i].y * fy);
    to[i].width = VmTruncInt32(from[i].width * fx);
    to[i].height = VmTruncInt32(from[i].height * fy);
  }
}

bool isFullscreenGrabber(const DisplayRecord* d) {
  return d->fullscreen && !d->isBackfill && !d->isResourceMonitor;
}

// Only one full-screen display may hold the pointer and keyboard grab: with
// a second one, the holder lets go and nobody grabs.
void settleGrabs(DisplayRecord* display) {
  int others = 0;
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (d != display && isFullscreenGrabber(d) && GetDisplayWindowId(d)) others++;
  if (others == 0) {
    GrabX11Input(display->x11);  // a refused grab leaves the window usable
    return;
  }
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (ReleaseX11InputGrab(d->x11)) break;
}

bool hasWindowHandler(const DisplayRecord* d, const char* name) {
  for (int32_t slot = 0; slot < WINDOW_EVENT_NAMES; slot++)
    if (std::strcmp(WindowEventNames[slot], name) == 0) return d->handlerRefs[slot] != VM_REF_NIL;
  return false;
}

// The steps after the window exists, the adapter's or the X11 one.
ErrorCode finishOpening(VmState* L, DisplayRecord* d) {
  d->state = DISPSTATE_OPEN;
  // The X11 window gets the native hooks of the handlers the display
  // already has: a drop target, a clipboard watch.
  if (!DisplayAdapterInUse()) {
    if (hasWindowHandler(d, "ondropfile")) DisplayEventSetupStubA();
    if (hasWindowHandler(d, "clipboardchange")) DisplayEventSetupStubB();
  }
  if ((d->flags & DSF_HIDEPOINTER) || d->fakeFullscreen || d->fullscreenScale) {
    SetDisplayPointerVisible(d, 0);
    d->pointerHidden = 1;
  } else {
    SetDisplayPointerVisible(d, 1);
  }
  RefreshDisplay(L, d, 0);
  GetSysTime(&d->openTime);
  // Videos suspended when the window closed play on.
  if (displayContext.videoHooks.resume) displayContext.videoHooks.resume(d);
  return ERR_NONE;
}

// The table under the key in the table at the index, made and stored
// there when it is missing; left on the stack.
void pushSubTable(VmState* L, int table) {
  VmPushValue(L, -1);
  VmGetTable(L, table);
  if (VmType(L, -1) == VM_TYPE_TABLE) {
    VmRemove(L, -2);
    return;
  }
  VmSetTop(L, -2);
  VmNewTable(L);
  VmPushValue(L, -2);  // the key
  VmPushValue(L, -2);  // the new table
  VmSetTable(L, table);
  VmRemove(L, -2);
}

// A display with "rememberposition" and a number writes how it was shown
// under that number in the preferences' "__placement" table, which the
// next start hands back to CreateDisplay. The placement is a convenience:
// preferences that cannot be read are left as they are, and neither that
// nor a failed write (an applet without an identifier has no preferences
// file) fails the close of the window.
void rememberPlacement(VmState* L, DisplayRecord* d) {
  const PrefsFileHooks* prefs = GetPrefsFileHooks();
  if (!(d->flags & DSF_REMEMBERPOSITION) || d->head.autoId || !prefs->load || !prefs->save) return;
  int top = VmGetTop(L);
  VmNewTable(L);
  int table = VmGetTop(L);
  ErrorCode error = prefs->load(L, table);
  if (error == ERR_READFILE) error = ERR_NONE;  // no file yet
  if (error == ERR_NONE) {
    VmPushString(L, "__placement");
    pushSubTable(L, table);
    VmPushNumber(L, d->head.number);
    pushSubTable(L, VmGetTop(L) - 1);
    SetTableFieldInt(L, "active", d->fullscreen ? 0 : 1);
    if (!d->fullscreen) {
      SetTableFieldInt(L, "x", d->x);
      SetTableFieldInt(L, "y", d->y);
      SetTableFieldInt(L, "width", d->width);
      SetTableFieldInt(L, "height", d->height);
      SetTableFieldNumber(L, "scalefactor", d->scaleFactor);
      SetTableFieldInt(L, "scalewidth", d->scaleWidth + d->marginLeft + d->marginRight);
      SetTableFieldInt(L, "scaleheight", d->scaleHeight + d->marginTop + d->marginBottom);
      SetTableFieldInt(L, "autoscale", d->autoscale);
      SetTableFieldInt(L, "layerscale", d->layerscale);
      SetTableFieldInt(L, "sizeable", (d->flags & DSF_SIZEABLE) ? 1 : 0);
      VmPushString(L, "osdata");
      VmPushLString(L, d->osdata ? d->osdata : "", d->osdata ? d->osdataLength : 0);
      VmSetTable(L, -3);
    }
    prefs->save(L, table);
  }
  VmSetTop(L, top);
  d->restoreWidth = d->width;
  d->restoreHeight = d->height;
}

}  // namespace

void ResetDisplayState(DisplayRecord* d) {
  std::fill(std::begin(d->keyStates), std::end(d->keyStates), 0);
  std::fill(std::begin(d->rawKeyStates), std::end(d->rawKeyStates), 0);
  __atomic_store_n(&d->closePending, 0, __ATOMIC_RELEASE);
  if (d->x11) {
    d->pump.modeSwitch = -1;
    ResetX11InputState(d->x11);
  }
  ResetButtonStates(d->bgpic);
}

void ResetFirstOpening() {
  displayContext.picturesPrepared = false;
  FreeBitmap(displayContext.desktopSnapshot);
  displayContext.desktopSnapshot = nullptr;
}

unsigned long GetDisplayWindowId(const DisplayRecord* display) {
  return display ? GetX11WindowId(display->x11) : 0;
}

ErrorCode OpenDisplayWindowCore(VmState* L, DisplayRecord* d, int, int) {
  int32_t mx = 0, my = 0, mw = 0, mh = 0;
  ErrorCode error = GetDisplayMonitorRect(d, &mx, &my, &mw, &mh);
  if (error != ERR_NONE) return error;
  error = DetermineDisplayBorderSizes(d);
  if (error != ERR_NONE) return error;

  RenewDefaultRegions(d);
  double fx = 1.0, fy = 1.0;
  if ((d->autoscale || d->layerscale) && d->bgpic && d->scaleWidth > 0 && d->scaleHeight > 0) {
    fx = static_cast<double>(d->scaleWidth) / d->bgpic->width;
    fy = static_cast<double>(d->scaleHeight) / d->bgpic->height;
  }
  scaleRegions(d->dragRegions, d->scaledDrag, d->dragCount, fx, fy);
  scaleRegions(d->sizeRegions, d->scaledSize, d->sizeCount, fx, fy);
  clipRegions(d->scaledDrag, d->dragCount, d->width, d->height);
  clipRegions(d->scaledSize, d->sizeCount, d->width, d->height);

  if (d->xRelative) {
    d->x = mx + ResolveDisplayX(d, mw);
    d->xRelative = 0;
  }
  if (d->yRelative) {
    d->y = my + ResolveDisplayY(d, mh);
    d->yRelative = 0;
  }

  if (DisplayAdapterInUse()) {
    error = OpenAdapterWindow(d);
    if (error != ERR_NONE) return error;
    if (displayContext.brushHooks.restoreHardware) displayContext.brushHooks.restoreHardware(d);
    // Only plug-ins loaded before the first window may take over windows.
    CloseAdapterInstallation();
    return finishOpening(L, d);
  }
  if (!IsX11SizePossible(d->width, d->height)) {
    char text[32];
    std::snprintf(text, sizeof text, "%dx%d", d->width, d->height);
    SetErrorArgString(text);
    return ERR_DISPLAYSIZE;
  }
  // The window's shape follows the picture's mask or alpha channel, scaled
  // into the display's own on an autoscaled display.
  BitmapHandle *shape = nullptr, *alpha = nullptr;
  if (d->ownMask || d->ownAlpha) {
    alpha = d->ownAlpha;
    shape = alpha ? nullptr : d->ownMask;
  } else if (d->bgpic && d->bgpic->width == d->width && d->bgpic->height == d->height) {
    alpha = d->bgpic->alpha;
    shape = alpha ? nullptr : d->bgpic->mask;
  }
  X11FrameSizes frame = FrameSizesOf(d);
  error = OpenX11DisplayWindow(X11WindowOf(d), (d->flags & DSF_ACTIVE) != 0, shape, alpha, &frame);
  SetFrameSizes(d, frame);
  if (error != ERR_NONE) return error;
  CloseAdapterInstallation();
  if (isFullscreenGrabber(d)) settleGrabs(d);
  return finishOpening(L, d);
}

ErrorCode OpenDisplayWindow(VmState* L, DisplayRecord* d, uint32_t flags) {
  if (d->desktop) {
    if (DisplayAdapterInUse()) return ERR_DISPLAYADAPTERSUPPORT;
    if (d->autoscale || d->layerscale) return ERR_DDAUTOSCALE;
    d->mode = DISPMODE_WINDOWED;
    uint32_t quartz = d->flags & DSF_USEQUARTZ;
    d->flags = ((d->flags & DSF_DISABLEBLANKER) ? 0x140042Du : 0x40042Du) | quartz;
  }
  // No requester adapter can be installed (waiting for the plug-in
  // library), so the platform's requesters ask.
  if (d->mode == DISPMODE_ASK) {
    int32_t answer = 0;
    ErrorCode error = NativeSystemRequester(L, d->title, GetBuiltinString(ASK_BODY_TEXT),
                                            GetBuiltinString(ASK_BUTTONS_TEXT), 0, &answer);
    if (error != ERR_NONE) return error;
    if (answer == 1)
      d->mode = DISPMODE_FULLSCREEN;
    else if (answer == 2)
      d->mode = DISPMODE_WINDOWED;
    else if (answer == 3)
      d->mode = DISPMODE_MODEREQUESTER;
    else
      return ERR_USERABORT;
  }
  if (d->mode == DISPMODE_MODEREQUESTER) {
    ErrorCode error = chooseScreenMode(L, d);
    if (error != ERR_NONE) return error;
  }
  if (d->mode == DISPMODE_FULLSCREEN && (d->autoscale || d->layerscale) &&
      (d->flags & DSF_FITSCALE) && d->screenWidth <= 0) {
    int32_t mx = 0, my = 0;
    GetDisplayMonitorRect(d, &mx, &my, &d->screenWidth, &d->screenHeight);
  }
  if (d->mode == DISPMODE_FAKEFULLSCREEN) {
    d->flags |= DSF_BORDERLESS | DSF_FIXED;
    d->fakeFullscreen = 1;
    d->mode = DISPMODE_WINDOWED;
  }
  bool wantFullscreen = d->mode == DISPMODE_FULLSCREEN;
  if (wantFullscreen && !(flags & OPEN_MODECHANGE)) {
    d->flags |= DSF_BORDERLESS | DSF_FIXED;
    if (d->screenWidth <= 0 || d->screenHeight <= 0) {
      d->screenWidth = d->width;
      d->screenHeight = d->height;
    }
  }
  // A full-screen display of the X11 back end covers the rest of its
  // monitor with a backfill: black unless the script described one.
  bool backfill = !DisplayAdapterInUse() && !d->desktop && !d->isBackfill &&
                  (wantFullscreen || d->fakeFullscreen);
  DisplayBackfill fill = d->backfill;
  if (fill.type == BACKFILL_NONE) {
    fill.type = BACKFILL_COLOR;
    fill.colour = 0;
  }
  if (flags & OPEN_MODECHANGE) {
    if (wantFullscreen == (d->fullscreen != 0)) return ERR_NONE;
    if (flags & OPEN_CHOOSEMONITOR) d->monitor = FindDisplayMonitor(d);
    if (wantFullscreen && !IsDisplayMonitorFree(d)) {
      SetErrorArgNumber(d->monitor + 1);
      return ERR_MONITORFULLSCREEN;
    }
    CloseDisplayWindow(L, d, nullptr,
                       (flags & OPEN_MONITORCHANGED) ? CLOSE_KEEPBRUSHES
                                                     : CLOSE_KEEPBRUSHES | CLOSE_KEEPSCREENMODE);
    FreeBackfillObjects(L, d);
  } else if (wantFullscreen && !IsDisplayMonitorFree(d)) {
    SetErrorArgNumber(d->monitor + 1);
    return ERR_MONITORFULLSCREEN;
  }
  bool switched = false;
  if (DisplayAdapterInUse()) {
    // The adapter's window goes full screen by its display flags.
    d->fullscreen = wantFullscreen ? 1 : 0;
  } else if (wantFullscreen && !d->fullscreen) {
    ErrorCode error = SetFullscreenMode(X11WindowOf(d), d->screenWidth, d->screenHeight);
    if (error != ERR_NONE) return error;
    d->monitorBefore = d->monitor;
    d->fullscreen = 1;
    switched = true;
  } else if (!wantFullscreen && d->fullscreen) {
    RestoreScreenMode(X11WindowOf(d));
    d->fullscreen = 0;
  }
  if (flags & OPEN_FIRST) {
    if (ErrorCode e = preparePictures(L)) {
      if (switched) {
        RestoreScreenMode(X11WindowOf(d));
        d->fullscreen = 0;
      }
      return e;
    }
  }
  if (backfill) {
    int32_t mx = 0, my = 0, mw = 0, mh = 0;
    ErrorCode error = GetDisplayMonitorRect(d, &mx, &my, &mw, &mh);
    if (error == ERR_NONE) error = CreateBackfillObjects(L, d, &fill, mw, mh);
    if (error != ERR_NONE) {
      if (switched) {
        RestoreScreenMode(X11WindowOf(d));
        d->fullscreen = 0;
      }
      return error;
    }
  }
  if (flags & OPEN_MODECHANGE) {
    if (wantFullscreen) {
      if (!d->savedWindowed) {
        d->savedX = d->x;
        d->savedY = d->y;
        d->savedFlags = d->flags;
        d->savedWindowed = 1;
      }
      d->x = d->y = POS_CENTER;
      d->xRelative = d->yRelative = 1;
      d->flags = (d->flags | DSF_BORDERLESS | DSF_FIXED) & ~DSF_SIZEABLE;
    } else if (d->savedWindowed) {
      d->x = d->savedX;
      d->y = d->savedY;
      d->flags = d->savedFlags;
      d->savedWindowed = 0;
    }
    d->reposition = 1;
  }
  if (!wantFullscreen && !d->autoscale && !d->layerscale && d->restoreWidth > 0 &&
      d->restoreHeight > 0 && (d->restoreWidth != d->width || d->restoreHeight != d->height)) {
    ErrorCode error = ResizeDisplay(L, d, d->x, d->y, d->restoreWidth, d->restoreHeight, d->smooth,
                                    0, 0, RESIZE_CLOSED);
    if (error == ERR_NONE) PostEvent(d, EVENT_WINDOWSIZE, d->width, d->height, 0, nullptr);
  }
  if (wantFullscreen) {
    // A full-screen window covers its monitor from the monitor's origin.
    d->x = d->y = POS_CENTER;
    d->xRelative = d->yRelative = 1;
  }
  // The backfill's window opens first, so that it lies behind.
  DisplayRecord* behind = nullptr;
  ErrorCode error = ERR_NONE;
  if (d->backfillDisplayMade && FindDisplayById(d->backfillDisplay, &behind) == ERR_NONE)
    error = OpenDisplayWindowCore(L, behind, 1, 0);
  if (error == ERR_NONE) error = OpenDisplayWindowCore(L, d, d->reposition, 0);
  if (error != ERR_NONE) FreeBackfillObjects(L, d);
  if (error != ERR_NONE && switched) {
    RestoreScreenMode(X11WindowOf(d));
    d->fullscreen = 0;
  }
  return error;
}

ErrorCode CloseDisplayWindow(VmState* L, DisplayRecord* d, DisplayRecord*, uint32_t flags) {
  // The display's video-memory brushes outlive a window that opens again;
  // a final close takes them with it. Its videos hold still until the
  // window opens again.
  if (displayContext.videoHooks.suspend) displayContext.videoHooks.suspend(d);
  const DisplayBrushHooks& brushes = displayContext.brushHooks;
  if ((flags & CLOSE_KEEPBRUSHES) && brushes.saveHardware)
    brushes.saveHardware(d);
  else if (!(flags & CLOSE_KEEPBRUSHES) && brushes.freeDisplay)
    brushes.freeDisplay(d);
  if (DisplayAdapterInUse()) {
    CloseAdapterWindow(d);
  } else {
    CloseX11DisplayWindow(d->x11);
  }
  if (!DisplayAdapterInUse() && d->fullscreen && !d->isBackfill &&
      !(flags & CLOSE_KEEPSCREENMODE)) {
    FreeBackfillObjects(L, d);
    RestoreScreenMode(X11WindowOf(d));
    d->monitor = d->monitorBefore;
  } else if (flags & CLOSE_FREEBACKFILL) {
    FreeBackfillObjects(L, d);
  }
  rememberPlacement(L, d);
  ResetDisplayState(d);
  d->state = DISPSTATE_CLOSED;
  d->reposition = 0;
  d->fullscreen = 0;
  return ERR_NONE;
}

ErrorCode OpenFirstDisplay(VmState* L, int quiet) {
  ErrorCode error = ERR_NONE;
  if (!DisplayAdapterInUse()) {
    X11ConnectionRecord* c = nullptr;
    error = GetX11Connection(nullptr, &c);
    if (error != ERR_NONE) return error;
  }
  displayContext.quietOpening = quiet;
  if (!quiet) PrintProgress(GetBuiltinString(PREPARING_TEXT), nullptr, 1);
  bool first = true;
  // The window that took the focus last while they opened, if known.
  DisplayRecord* focused = nullptr;
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next)) {
    if (d->state != DISPSTATE_CLOSED || (d->flags & DSF_HIDDEN) || d->isBackfill) continue;
    d->reposition = (d->flags & DSF_ACTIVE) ? 1 : 0;
    error = OpenDisplayWindow(L, d, first ? static_cast<uint32_t>(OPEN_FIRST) : 0u);
    if (error != ERR_NONE) {
      displayContext.quietOpening = 1;
      return error;
    }
    first = false;
    // An active display's window takes the focus as it maps; a backfill
    // window opened behind an inactive one may have taken it instead.
    if (d->flags & DSF_ACTIVE)
      focused = d;
    else if (d->backfillDisplayMade)
      focused = nullptr;
  }
  if (first) {
    error = preparePictures(L);
    if (error != ERR_NONE) {
      displayContext.quietOpening = 1;
      return error;
    }
  }
  DisplayRecord* current = nullptr;
  for (DisplayRecord* d = GetDisplayList(); d && !current;
       d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if ((d->flags & DSF_ACTIVE) && !(d->flags & DSF_HIDDEN) && !d->isBackfill) current = d;
  // Activating the window that holds the focus since it mapped would only
  // ask the server again.
  bool holdsFocus =
      current == focused && !DisplayAdapterInUse() && current && X11WindowTookFocus(current->x11);
  if (current) {
    if (!holdsFocus) ActivateDisplayWindow(current);
  } else {
    FindDisplayById(ObjectId{nullptr, 1}, &current);
    if (!current) current = GetDisplayList();
  }
  if (current) {
    SetCurrentDisplay(current);
    SetCurrentBGPic(current->bgpic);
  }
  displayContext.quietOpening = 1;
  return ERR_NONE;
}

X11DisplayRecord* FindRequesterParentRecord() {
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (d->state == DISPSTATE_OPEN && GetDisplayWindowId(d)) return d->x11;
  return nullptr;
}

void SetDisplayBrushHooks(const DisplayBrushHooks* hooks) {
  displayContext.brushHooks = hooks ? *hooks : DisplayBrushHooks{};
}
