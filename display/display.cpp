// The display record and the display list: the library opener, the option
// table that CreateDisplay reads, CreateDisplay itself (a closed display
// with its own background picture), look-up and freeing.
// Invariant: a record is linked into the list only at the last step of its
// creation, under the display-list mutex; every earlier failure (or a raise
// inside an option reader) frees the partly built record.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "display/display.h"
#include "display/event_private.h"
#include "platform/linux/platform.h"
#include "display/context_private.h"
#include "display/display_private.h"
#include "display/layer_private.h"

namespace {

constexpr int32_t REGION_BOX = 14;

// Pushes t[name]; returns whether it is neither nil nor absent.
bool pushField(VmState* L, int table, const char* name) {
  VmPushString(L, name);
  VmGetTable(L, table);
  int type = VmType(L, -1);
  if (type == VM_TYPE_NIL || type == VM_TYPE_NONE) {
    VmSetTop(L, -2);
    return false;
  }
  return true;
}

int32_t monitorDimension(DisplayRecord* d, int height) {
  int32_t x = 0, y = 0, w = 0, h = 0;
  if (GetDisplayMonitorRect(d, &x, &y, &w, &h) != ERR_NONE) return 0;
  return height ? h : w;
}

void freeDisplayResources(VmState* L, DisplayRecord* d) {
  if (d->ownBGPic && d->bgpic) FreeBGPicByRecord(L, d->bgpic);
  d->bgpic = nullptr;
  FreeDisplayOutputState(d);
  FreeBitmap(d->windowBitmap);
  FreeBitMask(d->ownMask);
  FreeAlphaChannel(d->ownAlpha);
  d->windowBitmap = nullptr;
  d->ownMask = nullptr;
  d->ownAlpha = nullptr;
  FreeX11DisplayRecord(d->x11);
  d->x11 = nullptr;
  // The display's event handlers were released by its freer
  // (ForgetDisplayHandlers); a display still being made has none.
  FreeDisplayCallbacks(d);
  DropDisplayFrames(d, nullptr);
  if (d->mutex) FreeMutex(d->mutex);
  d->mutex = nullptr;
  FreeMemory(d->osdata);
  d->osdata = nullptr;
  if (L) FreeObjectDataList(L, &d->head.data);
}

struct RecordGuard {
  VmState* L;
  DisplayRecord* d;
  ~RecordGuard() {
    if (!d) return;
    freeDisplayResources(L, d);
    FreeMemory(d);
  }
};

bool sameId(const DisplayRecord* d, ObjectId id) {
  return id.autoId ? d->head.autoId == id.autoId : (!d->head.autoId && d->head.number == id.number);
}

// Whether start-up is preloading the applet's resources: pictures then
// keep a pixel picture until the first display opens.
bool preloading(VmState* L) {
  uintptr_t deferring = 0;
  TagItem tags[] = {{ATTR_DEFERBITMAPS, reinterpret_cast<uintptr_t>(&deferring)}, {ATTR_DONE, 0}};
  GetGlobalAttrs(L, tags);
  return deferring != 0;
}

// The display's own picture while preloading: a picture of its size with
// the fill description, whose images RealizeBGPicImages builds. The
// picture of display 1 is background picture 1.
ErrorCode makeDeferredBGPic(VmState* L, DisplayRecord* d, ObjectId displayId, int automatic) {
  ObjectId id{nullptr, 0};
  bool first = !automatic && displayId.number == 1;
  if (first) {
    id = ObjectId{nullptr, 1};
    BGPic* existing = nullptr;
    if (GetBGPicObject(L, id, &existing, 0) == ERR_NONE) {
      if (d->desktop) return ERR_DISPLAYDESKTOP;
      if (ErrorCode e = DeleteBGPic(L, id, 0)) return e;
    }
  }
  // Only the size and the fill matter until then: pixel memory here would
  // be memory that the picture's bitmap then had to clear.
  PictureHandle* handle = NewSizedPictureHandle(d->width, d->height);
  if (!handle) return ERR_MEM;
  BGPicFill fill = d->fill;
  fill.bitmap = nullptr;
  // A desktop display shows the screen beneath: its picture stays unfilled.
  if (d->desktop) fill.style = FILLNONE;
  BGPic* pic = nullptr;
  ErrorCode error = AddBGPicObject(
      &id, first ? 0 : 1, fill.style == FILLGRADIENT || fill.style == FILLTEXTURE, d->width,
      d->height, d->width, handle, nullptr, nullptr, -1, nullptr, nullptr, &fill, &pic);
  if (error != ERR_NONE) {
    ReleasePictureHandle(handle);
    return error;
  }
  d->bgpic = pic;
  d->ownBGPic = 1;
  return ERR_NONE;
}

ErrorCode makeOwnBGPic(VmState* L, DisplayRecord* d) {
  BitmapHandle* raw = nullptr;
  if (d->fill.style == FILLNONE) {
    raw = AllocBitmap(d->width, d->height, 0, nullptr);
    if (!raw) return ERR_BITMAP;
  } else if (ErrorCode e = BuildDisplayFill(L, d->fill, d->width, d->height, &raw)) {
    return e;
  }
  OwnedBitmap bitmap(raw);
  ObjectId id{nullptr, 0};
  BGPic* pic = nullptr;
  ErrorCode error = AddBGPicObject(
      &id, 1, d->fill.style == FILLGRADIENT || d->fill.style == FILLTEXTURE, d->width, d->height,
      d->width, nullptr, bitmap.get(), nullptr, -1, nullptr, nullptr, &d->fill, &pic);
  if (error != ERR_NONE) return error;
  bitmap.release();  // the background picture keeps it
  d->bgpic = pic;
  d->ownBGPic = 1;
  return ERR_NONE;
}

int cmdCreateDisplay(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  int table = 0;
  if (VmGetTop(L) >= 2) {
    VmCheckTable(L, 2);
    table = 2;
  }
  DisplayRecord* d = nullptr;
  ErrorCode error = CreateDisplayCore(L, id, automatic, table, &d);
  if (error != ERR_NONE) return error;
  if (!automatic) return 0;
  VmPushLightUserdata(L, d);
  return 1;
}

const CommandTableEntry DISPLAY_COMMANDS[] = {
    {"CreateDisplay", cmdCreateDisplay},
    {"CreateMenu", CmdCreateMenu},
    {"FreeMenu", CmdFreeMenu},
    {"IsMenuItemDisabled", CmdIsMenuItemDisabled},
    {"IsMenuItemSelected", CmdIsMenuItemSelected},
    {"EnableMenuItem", CmdEnableMenuItem},
    {"DisableMenuItem", CmdDisableMenuItem},
    {"SelectMenuItem", CmdSelectMenuItem},
    {"DeselectMenuItem", CmdDeselectMenuItem},
    {nullptr, nullptr},
};

const ConstantTableEntry DISPLAY_CONSTANTS[] = {
    {"DISPSTATE_OPEN", nullptr, 1},
    {"DISPSTATE_CLOSED", nullptr, 0},
    {"DISPSTATE_MINIMIZED", nullptr, 2},
    {"DISPMODE_FULLSCREEN", nullptr, 2},
    {"DISPMODE_FULLSCREENSCALE", nullptr, 7},
    {"DISPMODE_WINDOWED", nullptr, 1},
    {"DISPMODE_ASK", nullptr, 3},
    {"DISPMODE_MODEREQUESTER", nullptr, 4},
    {"DISPMODE_FAKEFULLSCREEN", nullptr, 6},
    {"DISPMODE_SYSTEMSCALE", nullptr, 8},
    {"SCALEMODE_NONE", nullptr, 0},
    {"SCALEMODE_AUTO", nullptr, 1},
    {"SCALEMODE_LAYER", nullptr, 2},
    {"KEEPPOSITION", nullptr, 100000},
    {"NATIVE", nullptr, SIZE_NATIVE},
    {"ORIENTATION_NONE", nullptr, 0},
    {"ORIENTATION_PORTRAIT", nullptr, 1},
    {"ORIENTATION_LANDSCAPE", nullptr, 3},
    {"ORIENTATION_PORTRAITREV", nullptr, 2},
    {"ORIENTATION_LANDSCAPEREV", nullptr, 4},
    {"DENSITY_NONE", nullptr, 0},
    {"DENSITY_LOW", nullptr, 1},
    {"DENSITY_MEDIUM", nullptr, 2},
    {"DENSITY_HIGH", nullptr, 3},
    {"MENUITEM_TOGGLE", nullptr, 1},
    {"MENUITEM_SELECTED", nullptr, 2},
    {"MENUITEM_DISABLED", nullptr, 4},
    {"MENUITEM_RADIO", nullptr, 8},
    {nullptr, nullptr, 0},
};

}  // namespace

DisplayRecord* GetDisplayList() {
  return reinterpret_cast<DisplayRecord*>(displayContext.displayList);
}
DisplayRecord* GetCurrentDisplay() { return displayContext.currentDisplay; }
void SetPluginDisplayWord(int index, uintptr_t value) {
  if (index >= 0 && index < 3) displayContext.pluginWords[index] = value;
}
uintptr_t GetPluginDisplayWord(int index) {
  return index >= 0 && index < 3 ? displayContext.pluginWords[index] : 0;
}

namespace {
// SafeBlt's view of the current display (gfx cannot see the record).
DisplayRecord* currentForBlit(BlitDisplayState* state) {
  DisplayRecord* d = displayContext.currentDisplay;
  if (!d) return nullptr;
  state->windowBitmap = d->windowBitmap;
  state->scaleWidth = d->scaleWidth;
  state->scaleHeight = d->scaleHeight;
  state->isDisplay = d->outputKind == OBJECT_DISPLAY;
  state->hasLayers = d->layers != 0;
  state->autoscale = d->autoscale != 0;
  if (!d->doubleBuffer) {
    if (d->outputKind == OUTPUT_MASK || d->outputKind == OUTPUT_ALPHA)
      state->selectedOutput = d->drawBitmap;
    state->selectedMask = d->drawMask;
    state->selectedAlpha = d->drawAlpha;
  }
  return d;
}
int spritesOverForBlit(DisplayRecord* d, int32_t x, int32_t y, int32_t width, int32_t height) {
  return d && !d->layers && RectHitsSprite(d->bgpic, x, y, width, height);
}
void spriteRefreshForBlit(void* state, DisplayRecord* d, int32_t x, int32_t y, int32_t width,
                          int32_t height) {
  RedrawSpriteArea(static_cast<VmState*>(state), d, x, y, width, height);
}
void drawSpritesForBlit(DisplayRecord* d, BitmapHandle* dest, int32_t x, int32_t y, int32_t width,
                        int32_t height) {
  if (d && !d->layers) DrawSpriteInstances(d->bgpic, dest, x, y, x, y, width, height);
}
const DisplayBlitHooks blitHooks{currentForBlit,    RefreshDisplayRect, RefreshScaledDisplay,
                                 LayerBlitRefresh,  spritesOverForBlit, spriteRefreshForBlit,
                                 drawSpritesForBlit};
// What position constants resolve against: the size of the current
// output (a selected picture, the drawing target, else the window bitmap).
void outputAreaOfDisplay(OutputArea* area) {
  DisplayRecord* d = displayContext.currentDisplay;
  if (!d) return;
  const BGPic* selected = GetCurrentBGPic();
  const BitmapHandle* target = d->drawBitmap ? d->drawBitmap : d->windowBitmap;
  if (d->outputKind == OBJECT_BGPIC && selected) {
    area->width = selected->width;
    area->height = selected->height;
  } else if (target) {
    area->width = target->width;
    area->height = target->height;
  } else if (d->bgpic) {
    area->width = d->bgpic->width;
    area->height = d->bgpic->height;
  }
}
}  // namespace
void SetCurrentDisplay(DisplayRecord* display) { displayContext.currentDisplay = display; }

const char* GetDisplayModeName(int32_t code) {
  const char* name = OptionNameOf(DISPLAY_MODE_NAMES, code);
  return name ? name : "(not found)";
}

const char* GetBackgroundKindName(int32_t code) {
  const char* name = OptionNameOf(BACKFILL_KIND_NAMES, code);
  return name ? name : "(not found)";
}

namespace {
// The library's one command table: record and menu commands, then the
// window commands.
const CommandTableEntry* allDisplayCommands() {
  static const std::vector<CommandTableEntry> table = [] {
    std::vector<CommandTableEntry> all;
    for (const CommandTableEntry* c = DISPLAY_COMMANDS; c->name; c++) all.push_back(*c);
    for (const CommandTableEntry* c = GetDisplayWindowCommands(); c->name; c++) all.push_back(*c);
    all.push_back(CommandTableEntry{nullptr, nullptr});
    return all;
  }();
  return table.data();
}
}  // namespace

ErrorCode OpenDisplayLibrary(VmState* L) {
  if (!displayContext.displayListMutex) {
    displayContext.displayListMutex = AllocMutex();
    if (!displayContext.displayListMutex) return ERR_SEMAPHORE;
  }
  InstallDisplayServices();
  SetDisplayBlitHooks(&blitHooks);
  SetOutputAreaSource(outputAreaOfDisplay);
  const CommandTableEntry* commands = allDisplayCommands();
  ErrorCode error = RegisterLibrary(commands, "display");
  if (error != ERR_NONE) return error;
  VmRegisterFunctions(L, nullptr, commands, 0);
  VmRegisterConstants(L, DISPLAY_CONSTANTS, 0);
  error = RegisterObjectList(&displayContext.displayList);
  if (error == ERR_NONE) error = RegisterObjectList(&displayContext.menuList);
  if (error == ERR_NONE) error = RegisterMenuAttributeReader();
  return error;
}

void CloseDisplayLibrary(VmState* L) {
  SetOutputAreaSource(nullptr);
  FreeAllDisplays(L);
  FreeAllBGPics(L);
  FreeMutex(displayContext.displayListMutex);
  displayContext.displayListMutex = nullptr;
}

void ScaleDisplaySize(const DisplayRecord* display, int32_t* a, int32_t* b, int applyA,
                      int applyB) {
  if (!display->scaleFactorActive) return;
  auto scale = [&](int32_t* v) {
    if (*v >= 1 && *v != 100000 && *v != 200000) *v = VmTruncInt32(*v * display->scaleFactor);
  };
  if (applyA && a) scale(a);
  if (applyB && b) scale(b);
}

void CopyDisplayTitle(char* to, const char* text, size_t length) {
  size_t n = std::min(length, DISPLAY_TITLE_MAX - 1);
  // In UTF-8 mode a character that would be split is left out whole, so
  // the title stays valid text.
  if (n < length && unicodeUtf8Mode)
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n--;
  std::memcpy(to, text, n);
  to[n] = 0;
}

ErrorCode RefillOwnBGPic(VmState* L, DisplayRecord* d) {
  BGPic* pic = d->bgpic;
  if (!pic || !d->ownBGPic) return ERR_NONE;
  // Each distinct image is filled again at its own size, in place, so
  // every record that points at it stays valid.
  BitmapHandle* images[] = {pic->firstBitmap, pic->sourceBitmap, pic->bitmap};
  for (size_t i = 0; i < 3; i++) {
    BitmapHandle* b = images[i];
    if (!b || (i > 0 && b == images[0]) || (i > 1 && b == images[1])) continue;
    BitmapHandle* raw = nullptr;
    if (ErrorCode e = BuildDisplayFill(L, d->fill, b->width, b->height, &raw)) return e;
    OwnedBitmap filled(raw);
    BltBitmapToTarget(filled.get(), 0, 0, b, 0, 0, b->width, b->height);
  }
  BitmapHandle* texture = pic->fill.bitmap;
  pic->fill = d->fill;
  pic->fill.bitmap = texture;
  pic->rerender = d->fill.style == FILLGRADIENT || d->fill.style == FILLTEXTURE;
  return ERR_NONE;
}

ErrorCode FindDisplayById(ObjectId id, DisplayRecord** out) {
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next)) {
    if (sameId(d, id)) {
      *out = d;
      return ERR_NONE;
    }
  }
  *out = nullptr;
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDDISPLAY;
}

DisplayRecord* FindDisplayByHandle(uintptr_t handle) {
  if (!handle) return nullptr;
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (d->windowHandle == handle) return d;
  return nullptr;
}

ErrorCode ReadRegionList(VmState* L, int table, const char* key, DisplayRegion* regions,
                         int32_t* count, int32_t* given) {
  if (!pushField(L, table, key)) return ERR_NONE;
  int list = VmGetTop(L);
  if (VmType(L, list) != VM_TYPE_TABLE) {
    VmSetTop(L, list - 1);
    SetErrorArgString(key);
    return ERR_WRONGUSAGE;
  }
  int32_t n = 0;
  ErrorCode error = ERR_NONE;
  for (;; n++) {
    VmRawGetI(L, list, n);
    if (VmType(L, -1) == VM_TYPE_NIL) {
      VmSetTop(L, -2);
      break;
    }
    // More regions than the record holds are refused, not cut.
    if (n >= static_cast<int32_t>(DISPLAY_REGION_MAX) || VmType(L, -1) != VM_TYPE_TABLE) {
      error = ERR_WRONGUSAGE;
      break;
    }
    int entry = VmGetTop(L);
    int32_t type, values[4];
    const OptionField fields[] = {
        {.name = "type",
         .type = OPTION_INT,
         .to = &type,
         .hasDefault = true,
         .defaultValue = REGION_BOX},
        {.name = "x", .type = OPTION_INT, .to = &values[0], .required = true},
        {.name = "y", .type = OPTION_INT, .to = &values[1], .required = true},
        {.name = "width", .type = OPTION_INT, .to = &values[2], .required = true},
        {.name = "height", .type = OPTION_INT, .to = &values[3], .required = true},
    };
    error = ReadOptionTable(L, entry, fields);
    if (error == ERR_NONE &&
        (type != REGION_BOX || values[0] < 0 || values[1] < 0 || values[2] < 1 || values[3] < 1))
      error = ERR_WRONGUSAGE;
    if (error != ERR_NONE) break;
    regions[n] = DisplayRegion{type, values[0], values[1], values[2], values[3]};
    VmSetTop(L, entry - 1);
  }
  VmSetTop(L, list - 1);
  if (error != ERR_NONE) return error;
  *count = n;
  *given = 1;
  return ERR_NONE;
}

ErrorCode ReadDisplayTableOptions(VmState* L, int table, DisplayRecord* d, int creating,
                                  int* scaleSizeGiven, int* orientationGiven) {
  bool recorder = VideoRecorderActive() && !creating;
  if (!recorder) {
    ErrorCode error =
        ReadRegionList(L, table, "dragregion", d->dragRegions, &d->dragCount, &d->dragGiven);
    if (error == ERR_NONE)
      error = ReadRegionList(L, table, "sizeregion", d->sizeRegions, &d->sizeCount, &d->sizeGiven);
    if (error != ERR_NONE) return error;
    uint32_t* styleWords[] = {&d->flags, &d->flags2};
    int32_t x = d->x, y = d->y;
    int gotX = 0, gotY = 0;
    const OptionField style[] = {
        {.name = nullptr, .type = OPTION_FLAGS, .to = styleWords, .flags = DISPLAY_STYLE_FLAGS},
        {.name = "x", .type = OPTION_INT, .to = &x, .given = &gotX},
        {.name = "y", .type = OPTION_INT, .to = &y, .given = &gotY},
    };
    ReadOptionTable(L, table, style);  // no row here returns an error
    if (!creating) ScaleDisplaySize(d, &x, &y, gotX, gotY);
    if (gotX) {
      d->x = x;
      d->xRelative = 1;
    }
    if (gotY) {
      d->y = y;
      d->yRelative = 1;
    }
    int32_t scaleMode = 0;
    int gotScaleMode = 0;
    const OptionField scaling[] = {
        {.name = "scalewidth",
         .type = OPTION_SIZE,
         .to = &d->scaleWidth,
         .check = OPTION_NONZERO,
         .given = scaleSizeGiven},
        {.name = "scaleheight",
         .type = OPTION_SIZE,
         .to = &d->scaleHeight,
         .check = OPTION_NONZERO,
         .given = scaleSizeGiven},
        {.name = "scalemode",
         .type = OPTION_INT,
         .to = &scaleMode,
         .check = OPTION_RANGE,
         .min = SCALEMODE_NONE,
         .max = SCALEMODE_LAYER,
         .given = &gotScaleMode},
        {.name = "orientation",
         .type = OPTION_INT,
         .to = &d->orientation,
         .given = orientationGiven},
    };
    if ((error = ReadOptionTable(L, table, scaling)) != ERR_NONE) return error;
    if (gotScaleMode) {
      d->flags &= ~(DSF_AUTOSCALE | DSF_LAYERSCALE);
      if (scaleMode == SCALEMODE_AUTO) {
        d->flags |= DSF_AUTOSCALE;
      } else if (scaleMode == SCALEMODE_LAYER) {
        d->flags |= DSF_LAYERSCALE;
      } else {
        d->marginLeft = d->marginTop = d->marginRight = d->marginBottom = 0;
        d->scaleWidth = d->scaleHeight = 0;
      }
    }
    if (pushField(L, table, "menu")) {
      ErrorCode error = ReadDisplayMenuOption(L, VmGetTop(L), d);
      VmSetTop(L, -2);
      if (error != ERR_NONE) return error;
    }
    int32_t monitor = 0;
    int gotMonitor = 0;
    const OptionField placement[] = {
        {.name = "monitor",
         .type = OPTION_INT,
         .to = &monitor,
         .check = OPTION_RANGE,
         .min = 1,
         .max = INT32_MAX,
         .rangeError = ERR_MONITORRANGE,
         .given = &gotMonitor},
    };
    if ((error = ReadOptionTable(L, table, placement)) != ERR_NONE) return error;
    if (gotMonitor) {
      d->monitor = monitor - 1;
      if (!creating) {
        d->x = d->y = POS_CENTER;
        d->xRelative = d->yRelative = 1;
      }
    }
  }
  if (pushField(L, table, "bgpic")) {
    ObjectId picId = GetObjectIdArg(L, VmGetTop(L), nullptr);
    VmSetTop(L, -2);
    BGPic* pic = nullptr;
    ErrorCode error = GetBGPicObject(L, picId, &pic, 0);
    if (error != ERR_NONE) return error;
    for (DisplayRecord* o = GetDisplayList(); o; o = reinterpret_cast<DisplayRecord*>(o->head.next))
      if (o->bgpic == pic && (creating || o != GetCurrentDisplay())) return ERR_MULTIBGPIC;
    d->bgpic = pic;
    d->ownBGPic = 0;
    d->width = pic->sourceWidth;
    d->height = pic->sourceHeight;
    d->fill = pic->fill;
    d->fill.bitmap = nullptr;
  } else {
    const OptionField fill[] = {
        {.name = "width", .type = OPTION_INT, .to = &d->width},
        {.name = "height", .type = OPTION_INT, .to = &d->height},
        {.name = "fillstyle",
         .type = OPTION_INT,
         .to = &d->fill.style,
         .check = OPTION_RANGE,
         .min = FILLCOLOR,
         .max = FILLTEXTURE},
        {.name = "color", .type = OPTION_BITS, .to = &d->fill.colour},
    };
    ErrorCode error = ReadOptionTable(L, table, fill);
    if (error != ERR_NONE) return error;
    const OptionField texture[] = {
        {.name = "texturebrush", .type = OPTION_ID, .to = &d->fill.textureBrush},
        {.name = "texturex", .type = OPTION_INT, .to = &d->fill.textureX},
        {.name = "texturey", .type = OPTION_INT, .to = &d->fill.textureY},
    };
    if (d->fill.style == FILLTEXTURE) ReadOptionTable(L, table, texture);
    if (d->fill.style == FILLGRADIENT) {
      if (ErrorCode e = ReadFillGradient(L, table, &d->fill.gradient)) return e;
    }
  }
  if (d->width == SIZE_NATIVE) d->width = monitorDimension(d, 0);
  if (d->height == SIZE_NATIVE) d->height = monitorDimension(d, 1);
  if (d->width < 1 || d->height < 1) return ERR_WRONGUSAGE;
  if (recorder) return ERR_NONE;
  if (pushField(L, table, "title")) {
    size_t length = 0;
    const char* text = VmCheckStringInContext(L, VmGetTop(L), "title", &length);
    CopyDisplayTitle(d->title, text, length);
    VmSetTop(L, -2);
  }
  const OptionField names[] = {
      {.name = "xserver", .type = OPTION_STRING, .to = d->xserver, .size = sizeof d->xserver},
  };
  ReadOptionTable(L, table, names);
  if (d->scaleWidth == SIZE_NATIVE) d->scaleWidth = monitorDimension(d, 0);
  if (d->scaleHeight == SIZE_NATIVE) d->scaleHeight = monitorDimension(d, 1);
  if (d->scaleWidth < 0)
    d->scaleWidth = VmTruncInt32(static_cast<double>(d->width) * -d->scaleWidth / 100.0);
  if (d->scaleHeight < 0)
    d->scaleHeight = VmTruncInt32(static_cast<double>(d->height) * -d->scaleHeight / 100.0);
  d->autoscale = (d->flags & DSF_AUTOSCALE) != 0;
  d->layerscale = (d->flags & DSF_LAYERSCALE) != 0;
  d->smooth = (d->flags & DSF_SMOOTHSCALE) != 0;
  d->fullscreenScale = 0;
  if (d->monitor > 0 && d->monitor >= CountMonitors(d)) return ERR_MONITORRANGE;
  return ERR_NONE;
}

ErrorCode ReadBackfillOptions(VmState* L, int table, DisplayRecord* d) {
  if (!pushField(L, table, "backfill")) return ERR_NONE;
  int sub = VmGetTop(L);
  if (VmType(L, sub) != VM_TYPE_TABLE) {
    VmSetTop(L, sub - 1);
    return ERR_WRONGUSAGE;
  }
  DisplayBackfill& b = d->backfill;
  const OptionField fields[] = {
      {.name = "type", .type = OPTION_NAME, .to = &b.type, .names = BACKFILL_KIND_NAMES},
      {.name = "color", .type = OPTION_BITS, .to = &b.colour},
      {.name = "startcolor", .type = OPTION_BITS, .to = &b.colour},
      {.name = "endcolor", .type = OPTION_BITS, .to = &b.endColour},
      {.name = "x", .type = OPTION_INT, .to = &b.x},
      {.name = "y", .type = OPTION_INT, .to = &b.y},
      {.name = "brush", .type = OPTION_ID, .to = &b.brush},
      {.name = "scalepicture", .type = OPTION_BOOL, .to = &b.scalePicture},
      {.name = "hidetitlebar", .type = OPTION_BOOL, .to = &b.hideTitleBar},
      {.name = "smoothscale", .type = OPTION_BOOL, .to = &b.smoothScale},
      {.name = "brushfile", .type = OPTION_STRING, .to = b.brushFile, .size = sizeof b.brushFile},
  };
  ErrorCode error = ReadOptionTable(L, sub, fields);
  VmSetTop(L, sub - 1);
  return error;
}

ErrorCode ReadDisplayModeOptions(VmState* L, int table, DisplayRecord* d) {
  const OptionField fields[] = {
      {.name = "mode", .type = OPTION_NAME, .to = &d->mode, .names = DISPLAY_MODE_NAMES},
      {.name = "scrwidth", .type = OPTION_INT, .to = &d->screenWidth},
      {.name = "scrheight", .type = OPTION_INT, .to = &d->screenHeight},
      {.name = "scrdepth", .type = OPTION_INT, .to = &d->screenDepth},
      {.name = "desktop", .type = OPTION_BOOL, .to = &d->desktop},
  };
  ErrorCode error = ReadOptionTable(L, table, fields);
  if (error != ERR_NONE) return error;
  if (d->screenWidth == SIZE_NATIVE) d->screenWidth = monitorDimension(d, 0);
  if (d->screenHeight == SIZE_NATIVE) d->screenHeight = monitorDimension(d, 1);
  std::memset(&d->backfill, 0, sizeof d->backfill);
  d->backfill.x = d->backfill.y = POS_CENTER;
  return ReadBackfillOptions(L, table, d);
}

void ApplyFullscreenScale(DisplayRecord* d) {
  if (d->mode != DISPMODE_FULLSCREENSCALE) return;
  int32_t x = 0, y = 0, w = 0, h = 0;
  if (GetDisplayMonitorRect(d, &x, &y, &w, &h) == ERR_NONE) {
    d->scaleWidth = w;
    d->scaleHeight = h;
  }
  if (!d->autoscale && !d->layerscale) {
    if (d->flags & DSF_NOSCALEENGINE) {
      d->restoreWidth = d->scaleWidth;
      d->restoreHeight = d->scaleHeight;
      d->scaleWidth = d->scaleHeight = 0;
    } else {
      d->flags |= DSF_AUTOSCALE;
      d->autoscale = 1;
    }
  }
  d->flags |= DSF_BORDERLESS | DSF_FIXED;
  d->fullscreenScale = 1;
  d->mode = DISPMODE_WINDOWED;
  d->fakeFullscreen = 1;
}

ErrorCode CreateDisplayCore(VmState* L, ObjectId id, int automatic, int table,
                            DisplayRecord** out) {
  *out = nullptr;
  if (VideoRecorderActive()) return ERR_VIDRECMULTI;
  if (!automatic) {
    ErrorCode error = FreeDisplayById(L, id, 0);
    if (error != ERR_NONE) return error;
  }
  auto* d = static_cast<DisplayRecord*>(AllocMemory(sizeof(DisplayRecord), 1));
  if (!d) return ERR_MEM;
  RecordGuard guard{L, d};
  d->x = d->y = POS_CENTER;
  d->width = 640;
  d->height = 480;
  d->outputKind = OBJECT_DISPLAY;
  d->state = DISPSTATE_CLOSED;
  d->scaleX = d->scaleY = d->scaleFactor = d->savedScaleFactor = 1.0;
  d->xRelative = d->yRelative = 1;
  std::strcpy(d->title, DEFAULT_DISPLAY_TITLE);
  std::memset(d->handlerRefs, 0xff, sizeof d->handlerRefs);
  d->mode = DISPMODE_WINDOWED;
  d->backfill.x = d->backfill.y = POS_CENTER;
  d->fill.style = FILLCOLOR;
  d->textRight = -1;

  if (table) {
    int scaleGiven = 0, orientationGiven = 0;
    ErrorCode error = ReadDisplayTableOptions(L, table, d, 1, &scaleGiven, &orientationGiven);
    if (error != ERR_NONE) return error;
    uint32_t created = 0;
    uint32_t* createdWords[] = {&created};
    const OptionField creation[] = {
        {.name = nullptr,
         .type = OPTION_FLAGS,
         .to = createdWords,
         .flags = DISPLAY_CREATION_FLAGS},
        {.name = "scalefactor", .type = OPTION_NUMBER, .to = &d->scaleFactor},
        {.name = "__backfill", .type = OPTION_BOOL, .to = &d->isBackfill},
        {.name = "__resourcemonitor", .type = OPTION_BOOL, .to = &d->isResourceMonitor},
        {.name = "__restorewidth", .type = OPTION_INT, .to = &d->restoreWidth},
        {.name = "__restoreheight", .type = OPTION_INT, .to = &d->restoreHeight},
    };
    ReadOptionTable(L, table, creation);  // no row here returns an error
    d->flags |= created;                  // set only: false leaves them clear
    if (pushField(L, table, "__placement")) {
      size_t length = 0;
      const char* text = VmCheckStringInContext(L, VmGetTop(L), "__placement", &length);
      d->osdata = static_cast<char*>(AllocMemory(length + 1, 1));
      if (!d->osdata) return ERR_MEM;
      std::memcpy(d->osdata, text, length);
      d->osdataLength = length;
      VmSetTop(L, -2);
    }
    error = ReadDisplayModeOptions(L, table, d);
    if (error != ERR_NONE) return error;
  }
  if (!(d->scaleFactor > 0)) return ERR_WRONGUSAGE;
  if (d->mode == DISPMODE_SYSTEMSCALE) {
    d->savedScaleFactor = d->scaleFactor;
    double system = 1.0;
    GetDpiScaleFactor(&system);
    d->scaleFactor *= system;
    d->mode = DISPMODE_WINDOWED;
    if (d->scaleFactor != 1.0) d->systemScale = 1;
  }
  if (d->scaleFactor != 1.0) {
    d->scaleWidth = VmTruncInt32(d->width * d->scaleFactor);
    d->scaleHeight = VmTruncInt32(d->height * d->scaleFactor);
    if (d->scaleWidth < 1 || d->scaleHeight < 1) return ERR_WRONGUSAGE;
    if (!(d->flags & DSF_LAYERSCALE)) {
      d->flags |= DSF_AUTOSCALE;
      d->autoscale = 1;
    } else {
      d->layerscale = 1;
    }
    d->scaleFactorActive = 1;
    ScaleDisplaySize(d, &d->x, &d->y, 1, 1);
  }
  if (d->restoreWidth < 0) d->restoreWidth = VmTruncInt32(d->width * (-d->restoreWidth / 100.0));
  if (d->restoreHeight < 0)
    d->restoreHeight = VmTruncInt32(d->height * (-d->restoreHeight / 100.0));
  if (d->desktop) {
    int32_t mx = 0, my = 0;
    ErrorCode error = GetDisplayMonitorRect(d, &mx, &my, &d->width, &d->height);
    if (error != ERR_NONE) return error;
  }
  if (d->isBackfill || d->isResourceMonitor) d->flags |= DSF_HIDEFROMTASKBAR;
  ApplyFullscreenScale(d);
  d->layers = d->layerscale || (d->flags & DSF_LAYERS);
  if (!d->autoscale && !d->layerscale) {
    d->scaleWidth = d->scaleHeight = 0;
    d->marginLeft = d->marginTop = d->marginRight = d->marginBottom = 0;
  }
  bool deferred = preloading(L);
  if (!d->bgpic) {
    ErrorCode error = deferred ? makeDeferredBGPic(L, d, id, automatic) : makeOwnBGPic(L, d);
    if (error != ERR_NONE) return error;
  }
  ResetTextCursor(d, d->bgpic->width);

  ErrorCode error = AllocX11DisplayRecord(&d->x11);
  if (error != ERR_NONE) return error;
  double scale = 1.0;
  GetDpiScaleFactor(&scale);
  d->dpiX = d->dpiY = 96.0 * scale;
  // A picture made while preloading has no images yet: the first opening
  // sets up the scaling once they exist.
  if (!deferred || d->bgpic->bitmap) {
    error = InitDisplayScaling(L, d);
    if (error != ERR_NONE) return error;
  }
  d->mutex = AllocMutex();
  if (!d->mutex) return ERR_SEMAPHORE;

  if (displayContext.displayListMutex) LockMutex(displayContext.displayListMutex);
  d->head.type = OBJECT_DISPLAY;
  d->head.number = automatic ? 0 : id.number;
  d->head.autoId = automatic ? d : nullptr;
  ObjectHead** link = &displayContext.displayList;
  while (*link) link = &(*link)->next;
  *link = &d->head;
  if (!displayContext.currentDisplay) displayContext.currentDisplay = d;
  if (displayContext.displayListMutex) UnlockMutex(displayContext.displayListMutex);
  SetDisplayBlitHooks(&blitHooks);  // for callers that made it without opening the library
  guard.d = nullptr;
  *out = d;
  return ERR_NONE;
}

ErrorCode FreeDisplayById(VmState* L, ObjectId id, int strict) {
  DisplayRecord* d = nullptr;
  ErrorCode error = FindDisplayById(id, &d);
  if (error != ERR_NONE) return strict ? error : ERR_NONE;
  if (d == displayContext.currentDisplay) return ERR_FREEADISPLAY;
  // A drawing stepped by AsyncDrawFrame holds its display.
  if (IsAsyncDraw(d)) return ERR_ADFFREEDISP;
  // A plug-in drawing the display through a callback must remove it first.
  if (d->callbacks) return ERR_SATFREEDISP;
  // So must the script a video that plays on it; videos suspended while
  // its window is closed go with it.
  if (DisplayShowsVideo(d, 0, 0)) return ERR_VIDATTACHED;
  if (displayContext.videoHooks.stop) displayContext.videoHooks.stop(L, d);
  if (d->state != DISPSTATE_CLOSED) CloseDisplayWindow(L, d, nullptr, 20);
  if (displayContext.displayListMutex) LockMutex(displayContext.displayListMutex);
  for (ObjectHead** link = &displayContext.displayList; *link; link = &(*link)->next) {
    if (*link == &d->head) {
      *link = d->head.next;
      break;
    }
  }
  if (displayContext.displayListMutex) UnlockMutex(displayContext.displayListMutex);
  // Its handlers and their user data go with it: a later display at the
  // same address must not find them.
  ForgetDisplayHandlers(L, d);
  freeDisplayResources(L, d);
  DetachEventsFromDisplay(d);
  FreeMemory(d);
  return ERR_NONE;
}

void FreeAllDisplays(VmState* L) {
  // The async drawings draw on the displays: they go first.
  FreeAllAsyncDraws(L);
  if (displayContext.displayListMutex) LockMutex(displayContext.displayListMutex);
  // Closing a display frees its backfill display from the list: the walk
  // starts again after each close (closed displays are passed over).
  for (DisplayRecord* d = GetDisplayList(); d;) {
    if (d->state != DISPSTATE_CLOSED && !d->isBackfill) {
      CloseDisplayWindow(L, d, nullptr, 28);
      d = GetDisplayList();
    } else {
      d = reinterpret_cast<DisplayRecord*>(d->head.next);
    }
  }
  while (displayContext.displayList) {
    auto* d = reinterpret_cast<DisplayRecord*>(displayContext.displayList);
    displayContext.displayList = d->head.next;
    if (d->state != DISPSTATE_CLOSED) CloseDisplayWindow(L, d, nullptr, 28);
    ForgetDisplayHandlers(L, d);
    freeDisplayResources(L, d);
    DetachEventsFromDisplay(d);
    FreeMemory(d);
  }
  displayContext.currentDisplay = nullptr;
  // The menus go with the displays that could use them.
  FreeAllMenus(L);
  if (displayContext.displayListMutex) UnlockMutex(displayContext.displayListMutex);
  FreeRefreshScratch();
  ResetFirstOpening();
}

void ResetTextCursor(DisplayRecord* d, int32_t outputWidth) {
  d->textX = d->textY = d->textLeft = 0;
  d->textRight = outputWidth - 1;
}
