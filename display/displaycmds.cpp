// The display library's window commands: opening, closing, freeing,
// selecting, activating, showing, hiding, moving, retitling, resizing and
// re-moding displays, changing any display attribute, listing monitors and
// screen modes, and the screen commands this platform lacks.
// Invariant: a command that fails at its checks changes nothing; the
// current display is never left pointing at a freed record.
#include <algorithm>
#include <cstring>
#include <memory>

#include "display/adapter_private.h"
#include "display/context_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"

namespace {

constexpr int32_t CENTER_IN_SIZE = 200000;  // a coordinate of a size change: centred

DisplayRecord* current() { return GetCurrentDisplay(); }

ErrorCode displayArg(VmState* L, int index, DisplayRecord** out) {
  return FindDisplayById(GetObjectIdArg(L, index, nullptr), out);
}

int32_t monitorSize(DisplayRecord* d, int vertical) {
  int32_t x = 0, y = 0, w = 0, h = 0;
  if (GetDisplayMonitorRect(d, &x, &y, &w, &h) != ERR_NONE) return 0;
  return vertical ? h : w;
}

// Reads "monitor" (1 to the number of monitors) into the display's
// 0-based index; a changed monitor centres the display on it.
ErrorCode readMonitor(VmState* L, int table, DisplayRecord* d, bool* changed) {
  *changed = false;
  int32_t monitor = 0;
  int given = 0;
  const OptionField rows[] = {
      {.name = "monitor",
       .type = OPTION_INT,
       .to = &monitor,
       .check = OPTION_RANGE,
       .min = 1,
       .max = INT32_MAX,
       .rangeError = ERR_MONITORRANGE,
       .given = &given},
  };
  if (ErrorCode e = ReadOptionTable(L, table, rows)) return e;
  if (!given) return ERR_NONE;
  if (monitor > 1 && GetAppletVersion() < 6) {
    SetErrorArgString("6.0");
    return ERR_OLDAPPLET;
  }
  if (monitor > CountMonitors(d)) return ERR_MONITORRANGE;
  if (monitor - 1 != d->monitor) {
    *changed = true;
    d->monitor = monitor - 1;
    d->x = d->y = POS_CENTER;
    d->xRelative = d->yRelative = 1;
  }
  return ERR_NONE;
}

bool hardwareDoubleBuffered(const DisplayRecord* d) { return d && d->videoBackBuffer; }

// ---- Commands ----

// OpenDisplay(id[, noselect | options])
int cmdOpenDisplay(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  if (VideoRecorderActive()) return ERR_WRONGCMDRECVIDEO;
  DisplayRecord* d = nullptr;
  if (ErrorCode e = displayArg(L, 1, &d)) return e;
  if (d->state != DISPSTATE_CLOSED) return ERR_WRONGUSAGE;
  int32_t noSelect = 0;
  if (VmGetTop(L) >= 2 && VmType(L, 2) == VM_TYPE_TABLE) {
    int32_t x = d->x, y = d->y;
    int gotX = 0, gotY = 0;
    const OptionField rows[] = {
        {.name = "noselect", .type = OPTION_BOOL, .to = &noSelect},
        {.name = "xserver", .type = OPTION_STRING, .to = d->xserver, .size = sizeof d->xserver},
    };
    if (ErrorCode e = ReadOptionTable(L, 2, rows)) return e;
    bool changed = false;
    if (ErrorCode e = readMonitor(L, 2, d, &changed)) return e;
    if (ErrorCode e = ReadDisplayModeOptions(L, 2, d)) return e;
    const OptionField position[] = {
        {.name = "x", .type = OPTION_INT, .to = &x, .given = &gotX},
        {.name = "y", .type = OPTION_INT, .to = &y, .given = &gotY},
    };
    ReadOptionTable(L, 2, position);  // no row here returns an error
    if (gotX) {
      d->x = x;
      d->xRelative = 1;
    }
    if (gotY) {
      d->y = y;
      d->yRelative = 1;
    }
  } else if (VmGetTop(L) >= 2) {
    noSelect = VmCheckInteger(L, 2) != 0;
  }
  d->reposition = (d->flags & DSF_ACTIVE) ? 1 : 0;
  ApplyFullscreenScale(d);
  if (ErrorCode e = OpenDisplayWindow(L, d, 0)) return e;
  if (!noSelect) return SelectDisplayCore(L, d, 1);
  return 0;
}

// CloseDisplay(id)
int cmdCloseDisplay(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  if (VideoRecorderActive()) return ERR_WRONGCMDRECVIDEO;
  DisplayRecord* d = nullptr;
  if (ErrorCode e = displayArg(L, 1, &d)) return e;
  if (d->state == DISPSTATE_CLOSED) return ERR_WRONGUSAGE;
  if (DisplayShowsVideo(d, 0, 1)) return ERR_VIDATTACHED;
  if (hardwareDoubleBuffered(d) || hardwareDoubleBuffered(current())) return ERR_HWDBFREEDISP;
  return CloseDisplayWindow(L, d, nullptr, CLOSE_FREEBACKFILL | 16);
}

// FreeDisplay(id)
int cmdFreeDisplay(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  if (VideoRecorderActive()) return ERR_WRONGCMDRECVIDEO;
  return FreeDisplayById(L, GetObjectIdArg(L, 1, nullptr), 1);
}

// SelectDisplay(id[, nofocus])
int cmdSelectDisplay(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  if (VideoRecorderActive()) return ERR_WRONGCMDRECVIDEO;
  DisplayRecord* d = nullptr;
  if (ErrorCode e = displayArg(L, 1, &d)) return e;
  return SelectDisplayCore(L, d, VmOptInteger(L, 2, 0));
}

// ActivateDisplay(id[, nofocus])
int cmdActivateDisplay(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  DisplayRecord* d = nullptr;
  if (ErrorCode e = displayArg(L, 1, &d)) return e;
  int32_t noFocus = VmOptInteger(L, 2, 0);
  if (d->state == DISPSTATE_CLOSED) return ERR_CLOSEDDISPLAY;
  ActivateDisplayWindowFocus(d, noFocus == 0);
  return 0;
}

// ShowDisplay()
int cmdShowDisplay(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  if (VideoRecorderActive()) return ERR_WRONGCMDRECVIDEO;
  DisplayRecord* d = current();
  if (!d || d->state != DISPSTATE_MINIMIZED) return ERR_WRONGUSAGE;
  if (ErrorCode e = ShowHideDisplayWindow(d, 0)) return e;
  d->state = DISPSTATE_OPEN;
  d->reposition = 1;
  return 0;
}

// HideDisplay()
int cmdHideDisplay(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  if (VideoRecorderActive()) return ERR_WRONGCMDRECVIDEO;
  DisplayRecord* d = current();
  if (!d || d->state != DISPSTATE_OPEN) return ERR_WRONGUSAGE;
  if (ErrorCode e = ShowHideDisplayWindow(d, 1)) return e;
  d->state = DISPSTATE_MINIMIZED;
  d->reposition = 0;
  return 0;
}

// MoveDisplay(x, y)
int cmdMoveDisplay(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t x = VmCheckInteger(L, 1), y = VmCheckInteger(L, 2);
  DisplayRecord* d = current();
  if (!d) return ERR_WRONGUSAGE;
  ScaleDisplaySize(d, &x, &y, 1, 1);
  int32_t mx = 0, my = 0, mw = 0, mh = 0;
  if (ErrorCode e = GetDisplayMonitorRect(d, &mx, &my, &mw, &mh)) return e;
  d->x = mx + ResolveSpecialCoordinate(x, d->width + d->borderHorizontal, mw, 0);
  d->y = my + ResolveSpecialCoordinate(y, d->height + d->borderVertical, mh, 1);
  d->savedWindowed = 0;
  d->xRelative = d->yRelative = 0;
  if (d->state != DISPSTATE_CLOSED) SizeMoveDisplayWindow(d, 0);
  return 0;
}

// SetTitle(title)
int cmdSetTitle(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  size_t length = 0;
  const char* text = VmCheckString(L, 1, &length);
  DisplayRecord* d = current();
  if (!d) return ERR_WRONGUSAGE;
  CopyDisplayTitle(d->title, text, length);
  if (d->state != DISPSTATE_CLOSED) SetDisplayWindowTitle(d);
  return 0;
}

// ChangeDisplaySize(width, height[, smooth | options])
int cmdChangeDisplaySize(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  DisplayRecord* d = current();
  if (!d || !d->bgpic) return ERR_WRONGUSAGE;
  if (!d->bordersKnown)
    if (ErrorCode e = DetermineDisplayBorderSizes(d)) return e;
  BGPic* pic = d->bgpic;
  int32_t width = VmTruncInt32(GetNumberArgEx(L, 1, pic->sourceWidth, 1, nullptr));
  int32_t height = VmTruncInt32(GetNumberArgEx(L, 2, pic->sourceHeight, 1, nullptr));
  int32_t x = CENTER_IN_SIZE, y = CENTER_IN_SIZE;
  ReadXYOptions(L, 3, d, &x, &y);
  int32_t smooth = d->smooth;
  if (VmGetTop(L) >= 3) {
    if (VmType(L, 3) == VM_TYPE_TABLE) {
      const OptionField rows[] = {{.name = "smooth", .type = OPTION_BOOL, .to = &smooth}};
      if (ErrorCode e = ReadOptionTable(L, 3, rows)) return e;
    } else {
      smooth = VmCheckInteger(L, 3) != 0;
    }
  }
  if (width == SIZE_NATIVE) width = monitorSize(d, 0);
  if (height == SIZE_NATIVE) height = monitorSize(d, 1);
  if (width == KEEPASPRAT || height == KEEPASPRAT)
    if (ErrorCode e = ResolveKeepAspectSize(pic->sourceWidth, pic->sourceHeight, &width, &height))
      return e;
  if (width < 1 || height < 1) return ERR_WRONGUSAGE;
  // A size no bitmap may have can never get its window's pixels.
  if (!BitmapSizeFits(width, height)) return ERR_MEM;
  uint32_t flags = d->scaleFactorActive ? RESIZE_FACTORUNITS : RESIZE_USER;
  if (d->state == DISPSTATE_CLOSED) flags |= RESIZE_CLOSED;
  if (ErrorCode e = ResizeDisplay(L, d, x, y, width, height, smooth, 0, 0, flags)) return e;
  d->savedWindowed = 0;
  return 0;
}

// ChangeDisplayMode(mode[, width, height][, options])
int cmdChangeDisplayMode(VmState* L) {
  CheckArgCount(L, 1, 4, 0, 0);
  if (VideoRecorderActive()) return ERR_WRONGCMDRECVIDEO;
  int32_t mode = VmCheckInteger(L, 1);
  DisplayRecord* d = current();
  if (!d || d->state == DISPSTATE_CLOSED) return ERR_CLOSEDDISPLAY;
  if (mode != DISPMODE_WINDOWED && mode != DISPMODE_FULLSCREEN) return ERR_WRONGUSAGE;
  if (mode == DISPMODE_WINDOWED && !d->fullscreen) return 0;
  int top = VmGetTop(L);
  int32_t width = top >= 2 && VmType(L, 2) != VM_TYPE_TABLE ? VmCheckInteger(L, 2) : d->width;
  int32_t height = top >= 3 && VmType(L, 3) != VM_TYPE_TABLE ? VmCheckInteger(L, 3) : d->height;
  uint32_t openFlags = OPEN_MODECHANGE;
  if (top >= 4) {
    VmCheckTable(L, 4);
    int32_t oldMonitor = d->monitor;
    bool changed = false;
    if (ErrorCode e = readMonitor(L, 4, d, &changed)) return e;
    if (changed && d->fullscreen) {
      d->monitorBefore = oldMonitor;
      openFlags |= OPEN_MONITORCHANGED;
    }
    if (ErrorCode e = ReadBackfillOptions(L, 4, d)) return e;
  }
  if (mode == DISPMODE_FULLSCREEN) {
    if (width == SIZE_NATIVE) width = monitorSize(d, 0);
    if (height == SIZE_NATIVE) height = monitorSize(d, 1);
    if (width < 1 || height < 1 || width < d->width || height < d->height) return ERR_WRONGUSAGE;
    d->screenWidth = width;
    d->screenHeight = height;
  }
  d->mode = mode;
  return OpenDisplayWindow(L, d, openFlags);
}

// SetDisplayAttributes(options)
int cmdSetDisplayAttributes(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmCheckTable(L, 1);
  DisplayRecord* d = current();
  if (!d) return ERR_WRONGUSAGE;
  d->savedWindowed = 0;
  return SetDisplayAttributesCore(L, d, 1);
}

// The screens of other systems: none exists here.
int cmdUnsupported(VmState*) { return ERR_UNSUPPORTEDFEAT; }

// GetMonitors()
int cmdGetMonitors(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  MonitorNode* list = GetMonitorList(current());
  if (!list) return ERR_MEM;
  VmNewTable(L);
  int index = 0;
  for (MonitorNode* m = list; m; m = m->next, index++) {
    VmNewTable(L);
    const std::pair<const char*, int32_t> fields[] = {
        {"x", m->x}, {"y", m->y}, {"width", m->width}, {"height", m->height}};
    for (const auto& [name, value] : fields) {
      VmPushString(L, name);
      VmPushNumber(L, value);
      VmSetTable(L, -3);
    }
    VmRawSetI(L, -2, index);
  }
  FreeMonitorList(list);
  return 1;
}

// GetDisplayModes([monitor])
int cmdGetDisplayModes(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  int32_t monitor = VmOptInteger(L, 1, 1);
  DisplayRecord* d = current();
  if (monitor < 1 || monitor > CountMonitors(d)) return ERR_MONITORRANGE;
  ScreenModeEntry* modes = nullptr;
  int32_t count = 0;
  if (ErrorCode e = GetScreenModes(d, monitor - 1, &modes, &count)) return e;
  std::unique_ptr<ScreenModeEntry, void (*)(void*)> owner(modes, FreeMemory);
  VmNewTable(L);
  for (int32_t i = 0; i < count; i++) {
    VmNewTable(L);
    VmPushString(L, "width");
    VmPushNumber(L, modes[i].width);
    VmSetTable(L, -3);
    VmPushString(L, "height");
    VmPushNumber(L, modes[i].height);
    VmSetTable(L, -3);
    VmRawSetI(L, -2, i);
  }
  return 1;
}

const CommandTableEntry WINDOW_COMMANDS[] = {
    {"OpenDisplay", cmdOpenDisplay},
    {"CloseDisplay", cmdCloseDisplay},
    {"FreeDisplay", cmdFreeDisplay},
    {"SelectDisplay", cmdSelectDisplay},
    {"ActivateDisplay", cmdActivateDisplay},
    {"ShowDisplay", cmdShowDisplay},
    {"HideDisplay", cmdHideDisplay},
    {"MoveDisplay", cmdMoveDisplay},
    {"SetTitle", cmdSetTitle},
    {"ChangeDisplaySize", cmdChangeDisplaySize},
    {"ChangeDisplayMode", cmdChangeDisplayMode},
    {"SetDisplayAttributes", cmdSetDisplayAttributes},
    {"SetScreenTitle", cmdUnsupported},
    {"SetSubtitle", cmdUnsupported},
    {"GetPubScreens", cmdUnsupported},
    {"ShowScreen", cmdUnsupported},
    {"HideScreen", cmdUnsupported},
    {"GetFrontScreen", cmdUnsupported},
    {"GetMonitors", cmdGetMonitors},
    {"GetDisplayModes", cmdGetDisplayModes},
    {nullptr, nullptr},
};

}  // namespace

const CommandTableEntry* GetDisplayWindowCommands() { return WINDOW_COMMANDS; }

ErrorCode SelectDisplayCore(VmState* L, DisplayRecord* d, int noFocus) {
  DisplayRecord* old = current();
  if (old == d) return ERR_NONE;
  if (old && !old->doubleBuffer && old->outputKind != OBJECT_DISPLAY)
    if (ErrorCode e = EndOutputSelection(L, old, 0)) return e;
  if (d->state != DISPSTATE_CLOSED && !noFocus) ActivateDisplayWindow(d);
  SetCurrentDisplay(d);
  SetCurrentBGPic(d->doubleBuffer && d->backBufferRecord ? d->backBufferRecord : d->bgpic);
  return ERR_NONE;
}

ErrorCode GetScreenModes(DisplayRecord* d, int32_t monitor, ScreenModeEntry** out, int32_t* count) {
  *out = nullptr;
  *count = 0;
  const DisplayAdapter* a = DisplayAdapterInUse();
  if (a) {
    if (!a->getMonitorInfo) return ERR_NODISPMODES;
    auto* list = static_cast<QmScreenMode*>(a->getMonitorInfo(QM_MONITORQUERY_MODES, monitor));
    if (!list) return ERR_NODISPMODES;
    int32_t n = 0;
    while (list[n].width > 0 && list[n].height > 0) n++;
    ErrorCode error = ERR_NONE;
    if (n == 0) {
      error = ERR_NODISPMODES;
    } else if (!(*out = static_cast<ScreenModeEntry*>(
                     AllocMemoryArray(static_cast<size_t>(n), sizeof(ScreenModeEntry), 1)))) {
      error = ERR_MEM;
    } else {
      for (int32_t i = 0; i < n; i++)
        (*out)[i] = ScreenModeEntry{list[i].width, list[i].height, list[i].depth, 0, 0};
      *count = n;
    }
    if (a->freeMonitorInfo) a->freeMonitorInfo(list);
    return error;
  }
  if (!d) return ERR_NODISPMODES;
  // The X11 lists follow the display's monitor: asked for another one, the
  // display stands on it while it is asked.
  int32_t saved = d->monitor;
  d->monitor = monitor;
  int32_t n = GetX11DisplayModes(X11WindowOf(d), nullptr);
  ErrorCode error = ERR_NONE;
  X11DisplayMode* modes = nullptr;
  if (n <= 0) {
    error = ERR_NODISPMODES;
  } else if (!(modes = static_cast<X11DisplayMode*>(
                   AllocMemoryArray(static_cast<size_t>(n), sizeof(X11DisplayMode), 1))) ||
             !(*out = static_cast<ScreenModeEntry*>(
                   AllocMemoryArray(static_cast<size_t>(n), sizeof(ScreenModeEntry), 1)))) {
    error = ERR_MEM;
  } else {
    n = std::min(n, GetX11DisplayModes(X11WindowOf(d), modes));
    for (int32_t i = 0; i < n; i++)
      (*out)[i] = ScreenModeEntry{modes[i].width, modes[i].height, 32, 0, 0};
    *count = n;
    if (n <= 0) error = ERR_NODISPMODES;
  }
  d->monitor = saved;
  FreeMemory(modes);
  if (error != ERR_NONE) {
    FreeMemory(*out);
    *out = nullptr;
    *count = 0;
  }
  return error;
}
