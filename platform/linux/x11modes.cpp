// Monitors, screen modes and screen grabs of the X11 back end: the monitor
// rectangles from XRandR (one rectangle for the whole screen without it),
// the modes of a display's monitor, switching a monitor to a mode for a
// full-screen display and back (XRandR, else XF86VidMode), and copying
// screen pixels into a bitmap.
// Invariant: every screen-resource, output and CRTC record taken from
// XRandR is freed before the function that took it returns; a refused mode
// switch is reported, never assumed.
#include <cmath>
#include <cstring>
#include <cstdlib>

#include "platform/linux/dynlib.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/x11calls_private.h"
#include "platform/linux/x11hooks_private.h"
#include "platform/linux/eventhooks_private.h"
#include "platform/linux/desktop_private.h"

namespace {

X11MonitorNode* appendMonitor(X11MonitorNode*** tail, int32_t x, int32_t y, int32_t w, int32_t h) {
  auto* node = static_cast<X11MonitorNode*>(AllocMemory(sizeof(X11MonitorNode), 1));
  if (!node) return nullptr;
  node->x = x;
  node->y = y;
  node->width = w;
  node->height = h;
  **tail = node;
  *tail = &node->next;
  return node;
}

void freeMonitors(X11MonitorNode* list) {
  while (list) {
    X11MonitorNode* next = list->next;
    FreeMemory(list);
    list = next;
  }
}

X11ConnectionRecord* connectionOf(const X11Window& window) {
  X11ConnectionRecord* c = nullptr;
  if (window.record && window.record->connection && !DisplayAdapterActive())
    c = window.record->connection;
  else if (GetX11Connection(window.server, &c) != ERR_NONE)
    c = nullptr;
  if (c && c->lost.load()) c = nullptr;
  return c;
}

int isXRandRUsable(X11ConnectionRecord* c) {
  if (!DesktopXRandrAvailable()) return 0;
  if (c->hasRandr13) return 1;
  int opcode = 0, eventBase = 0, errorBase = 0, major = 0, minor = 0;
  // Asked of the server first: libXrandr's own query keeps a record it
  // never frees when the server lacks the extension.
  if (!XQueryExtension(c->display, "RANDR", &opcode, &eventBase, &errorBase)) return 0;
  if (!Dl_XRRQueryExtension(c->display, &eventBase, &errorBase)) return 0;
  if (!Dl_XRRQueryVersion(c->display, &major, &minor)) return 0;
  if (major >= 2 || (major == 1 && minor >= 3)) c->hasRandr13 = 1;
  return c->hasRandr13;
}

int32_t refreshOf(const XRRModeInfo& info) {
  if (info.hTotal == 0 || info.vTotal == 0) return 0;
  return static_cast<int32_t>(std::lround(static_cast<double>(info.dotClock) /
                                          (static_cast<double>(info.hTotal) * info.vTotal)));
}

bool hasVidMode(X11ConnectionRecord* c) {
  if (!DesktopLibraryOpen(DESKTOP_XVIDMODE)) return false;
  if (c->hasVidMode == 0) {
    int eventBase = 0, errorBase = 0;
    c->hasVidMode = Dl_XF86VidModeQueryExtension(c->display, &eventBase, &errorBase) ? 1 : -1;
  }
  return c->hasVidMode > 0;
}

int32_t randrModes(X11ConnectionRecord* c, const X11Window& window, X11DisplayMode* modes) {
  XRRScreenResources* res = Dl_XRRGetScreenResources(c->display, c->root);
  if (!res) return 0;
  int32_t count = 0;
  if (window.monitor >= 0 && window.monitor < res->ncrtc) {
    XRRCrtcInfo* crtc = Dl_XRRGetCrtcInfo(c->display, res, res->crtcs[window.monitor]);
    if (crtc && crtc->noutput > 0) {
      XRROutputInfo* output = Dl_XRRGetOutputInfo(c->display, res, crtc->outputs[0]);
      if (output) {
        if (!modes) {
          count = output->nmode;
        } else {
          for (int m = 0; m < output->nmode; m++) {
            const XRRModeInfo* info = nullptr;
            for (int i = 0; i < res->nmode && !info; i++)
              if (res->modes[i].id == output->modes[m]) info = &res->modes[i];
            if (!info) continue;
            X11DisplayMode entry{static_cast<int32_t>(info->width),
                                 static_cast<int32_t>(info->height), refreshOf(*info),
                                 info->id == crtc->mode ? 1 : 0, static_cast<uint32_t>(info->id)};
            int32_t same = -1;
            for (int32_t k = 0; k < count && same < 0; k++)
              if (modes[k].width == entry.width && modes[k].height == entry.height) same = k;
            if (same < 0) {
              modes[count++] = entry;
            } else if (std::abs(entry.refresh - 60) < std::abs(modes[same].refresh - 60)) {
              entry.current |= modes[same].current;
              modes[same] = entry;
            } else {
              modes[same].current |= entry.current;
            }
          }
        }
        Dl_XRRFreeOutputInfo(output);
      }
    }
    if (crtc) Dl_XRRFreeCrtcInfo(crtc);
  }
  Dl_XRRFreeScreenResources(res);
  return count;
}

int setCrtcMode(X11ConnectionRecord* c, const X11Window& window, RRMode mode, int save) {
  XRRScreenResources* res = Dl_XRRGetScreenResources(c->display, c->root);
  if (!res) return 0;
  int done = 0;
  if (window.monitor >= 0 && window.monitor < res->ncrtc) {
    RRCrtc id = res->crtcs[window.monitor];
    XRRCrtcInfo* crtc = Dl_XRRGetCrtcInfo(c->display, res, id);
    if (crtc && crtc->noutput > 0) {
      if (save) window.record->savedRandrMode = crtc->mode;
      TakeX11Error();
      Status status = Dl_XRRSetCrtcConfig(c->display, res, id, CurrentTime, crtc->x, crtc->y, mode,
                                          crtc->rotation, crtc->outputs, crtc->noutput);
      XSync(c->display, False);
      done = status == 0 /* RRSetConfigSuccess */ && TakeX11Error() == 0;
    }
    if (crtc) Dl_XRRFreeCrtcInfo(crtc);
  }
  Dl_XRRFreeScreenResources(res);
  return done;
}

}  // namespace

X11MonitorNode* ListX11Monitors(const X11Window& window) {
  X11ConnectionRecord* c = connectionOf(window);
  if (!c) return nullptr;
  X11MonitorNode* list = nullptr;
  X11MonitorNode** tail = &list;
  if (isXRandRUsable(c)) {
    XRRScreenResources* res = Dl_XRRGetScreenResourcesCurrent(c->display, c->root);
    if (res) {
      bool failed = false;
      for (int i = 0; i < res->noutput && !failed; i++) {
        XRROutputInfo* output = Dl_XRRGetOutputInfo(c->display, res, res->outputs[i]);
        if (!output) continue;
        if (output->connection == RR_Connected && output->crtc) {
          XRRCrtcInfo* crtc = Dl_XRRGetCrtcInfo(c->display, res, output->crtc);
          if (crtc && crtc->width > 0 && crtc->height > 0)
            failed = !appendMonitor(&tail, crtc->x, crtc->y, static_cast<int32_t>(crtc->width),
                                    static_cast<int32_t>(crtc->height));
          if (crtc) Dl_XRRFreeCrtcInfo(crtc);
        }
        Dl_XRRFreeOutputInfo(output);
      }
      Dl_XRRFreeScreenResources(res);
      if (failed) {
        freeMonitors(list);
        return nullptr;
      }
    }
  }
  if (!list)
    appendMonitor(&tail, 0, 0, DisplayWidth(c->display, c->screen),
                  DisplayHeight(c->display, c->screen));
  return list;
}

int32_t GetX11DisplayModes(const X11Window& window, X11DisplayMode* modes) {
  X11ConnectionRecord* c = connectionOf(window);
  if (!c) return 0;
  int32_t count = isXRandRUsable(c) ? randrModes(c, window, modes) : 0;
  if (count == 0 && hasVidMode(c)) {
    int lines = 0;
    XF86VidModeModeInfo** info = nullptr;
    if (Dl_XF86VidModeGetAllModeLines(c->display, c->screen, &lines, &info) && info) {
      if (!modes) {
        count = lines;
      } else {
        for (int i = 0; i < lines; i++) {
          int32_t w = info[i]->hdisplay, h = info[i]->vdisplay;
          bool seen = false;
          for (int32_t k = 0; k < count && !seen; k++)
            seen = modes[k].width == w && modes[k].height == h;
          if (!seen) modes[count++] = X11DisplayMode{w, h, 0, 0, 0};
        }
      }
      XFree(info);
    }
  }
  return count;
}

int32_t ChooseX11DisplayMode(const X11DisplayMode* modes, int32_t count, int32_t width,
                             int32_t height) {
  int32_t chosen = -1, bestW = 100000, bestH = 100000;
  for (int32_t i = 0; i < count; i++) {
    const X11DisplayMode& m = modes[i];
    if (m.width >= width && m.height >= height && m.width <= bestW && m.height <= bestH &&
        (m.width != bestW || m.height != bestH)) {
      chosen = i;
      bestW = m.width;
      bestH = m.height;
    }
  }
  return chosen;
}

ErrorCode SetFullscreenMode(const X11Window& window, int32_t width, int32_t height) {
  X11ConnectionRecord* c = nullptr;
  ErrorCode error = GetX11Connection(window.server, &c);
  if (error != ERR_NONE) return error;
  if (c->lost.load()) return ERR_XDISPLAY;
  if (isXRandRUsable(c)) {
    int32_t count = GetX11DisplayModes(window, nullptr);
    if (count <= 0) return ERR_NODISPMODES;
    auto* modes = static_cast<X11DisplayMode*>(
        AllocMemoryArray(static_cast<size_t>(count), sizeof(X11DisplayMode), 1));
    if (!modes) return ERR_MEM;
    count = GetX11DisplayModes(window, modes);
    int32_t chosen = ChooseX11DisplayMode(modes, count, width, height);
    uint32_t id = chosen >= 0 ? modes[chosen].modeId : 0;
    FreeMemory(modes);
    if (count <= 0) return ERR_NODISPMODES;
    if (chosen < 0) return ERR_SCREEN;
    if (setCrtcMode(c, window, id, !(window.style & X11WINDOW_FULLSCREEN))) return ERR_NONE;
    // A refused switch falls back to XF86VidMode.
  }
  if (!hasVidMode(c)) return ERR_XF86VIDMODEEXT;
  int lines = 0;
  XF86VidModeModeInfo** info = nullptr;
  if (!Dl_XF86VidModeGetAllModeLines(c->display, c->screen, &lines, &info) || !info)
    return ERR_SCREEN;
  int32_t chosen = -1, bestW = 100000, bestH = 100000;
  for (int i = 0; i < lines; i++) {
    int32_t w = info[i]->hdisplay, h = info[i]->vdisplay;
    if (w >= width && h >= height && w <= bestW && h <= bestH && (w != bestW || h != bestH)) {
      chosen = i;
      bestW = w;
      bestH = h;
    }
  }
  if (chosen < 0) {
    XFree(info);
    return ERR_SCREEN;
  }
  if (!(window.style & X11WINDOW_FULLSCREEN) && lines > 0)
    std::memcpy(window.record->savedVidMode, info[0],
                std::min(sizeof window.record->savedVidMode, sizeof(XF86VidModeModeInfo)));
  TakeX11Error();
  Bool switched = Dl_XF86VidModeSwitchToMode(c->display, c->screen, info[chosen]);
  Dl_XF86VidModeSetViewPort(c->display, c->screen, 0, 0);
  XSync(c->display, False);
  XFree(info);
  return switched && TakeX11Error() == 0 ? ERR_NONE : ERR_SCREEN;
}

ErrorCode RestoreScreenMode(const X11Window& window) {
  X11ConnectionRecord* c = connectionOf(window);
  if (!c || !window.record) return ERR_NONE;
  if (isXRandRUsable(c) && window.record->savedRandrMode &&
      setCrtcMode(c, window, window.record->savedRandrMode, 0))
    return ERR_NONE;
  if (hasVidMode(c)) {
    XF86VidModeModeInfo saved;
    std::memset(&saved, 0, sizeof saved);
    std::memcpy(&saved, window.record->savedVidMode,
                std::min(sizeof window.record->savedVidMode, sizeof saved));
    if (saved.hdisplay > 0) {
      Dl_XF86VidModeSwitchToMode(c->display, c->screen, &saved);
      Dl_XF86VidModeSetViewPort(c->display, c->screen, 0, 0);
      XSync(c->display, False);
      TakeX11Error();
    }
  }
  return ERR_NONE;
}

BitmapHandle* GrabX11ScreenPixels(const X11Window& window, int32_t x, int32_t y, int32_t width,
                                  int32_t height) {
  if (width < 1 || height < 1) return nullptr;
  X11ConnectionRecord* c = connectionOf(window);
  if (!c) return nullptr;
  // A rectangle outside the root window makes XGetImage fail with an X
  // error: checked, so it becomes a null result.
  TakeX11Error();
  XImage* image = XGetImage(c->display, c->root, x, y, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  XSync(c->display, False);
  if (TakeX11Error() != 0 || !image) {
    if (image) XDestroyImage(image);
    return nullptr;
  }
  const X11BitmapHooks& bitmaps = X11Bitmaps();
  BitmapHandle* bitmap = bitmaps.alloc(width, height);
  BitmapLock lock;
  if (!bitmap || !bitmaps.lock(bitmap, 0, &lock)) {
    bitmaps.free(bitmap);
    XDestroyImage(image);
    return nullptr;
  }
  int bytes = c->rootDepth == 16 ? 2 : 4;
  for (int32_t row = 0; row < height; row++) {
    const uint8_t* src = reinterpret_cast<const uint8_t*>(image->data) +
                         static_cast<ptrdiff_t>(row) * image->bytes_per_line;
    uint8_t* dst = lock.address + static_cast<ptrdiff_t>(row) * lock.rowLength * lock.bytesPerPixel;
    if (bytes == 2 && lock.bytesPerPixel == 2) {
      std::memcpy(dst, src, static_cast<size_t>(width) * 2);
    } else if (bytes == 4 && lock.bytesPerPixel == 4) {
      for (int32_t i = 0; i < width; i++) {
        uint32_t p;
        std::memcpy(&p, src + i * 4, 4);
        if (lock.pixelFormat != 10) p = bitmaps.colourToPixel(p & 0xffffff, lock.pixelFormat, 0);
        std::memcpy(dst + i * 4, &p, 4);
      }
    }
  }
  bitmaps.unlock(&lock);
  XDestroyImage(image);
  return bitmap;
}
