// The preload of the resources that an applet declares: required plug-ins,
// the default display, the command-line display settings copied into the
// declared displays, the cache of repeated picture files, then one call of
// the script command that creates each resource, displays last.
//
// Invariant: every resource is made by the very command a script would
// call, so its errors read as that command's; the command's name stays in
// the error location while it runs and goes back to "----" after it, and
// the current directory is always restored before an error is returned.
#include <cstring>
#include <string>

#include "platform/linux/platform.h"
#include "runtime/displayoptions.h"
#include "runtime/player.h"

namespace {

const char* const COMMAND_OF_KIND[19] = {
    "LoadBGPic",     "LoadBrush",     "LoadAnim",   "OpenMusic",    "LoadSample",
    "CreateButton",  "CreateKeyDown", "LoadSprite", "OpenFile",     "OpenFont",
    "CreateDisplay", "OpenVideo",     nullptr,      "CreateMenu",   nullptr,
    "LoadIcon",      "CreateIcon",    nullptr,      "OpenDirectory"};

// A command's returned error code is reported by a plain call only, and a
// raised one only by a protected call: the command runs through this
// trampoline, called protected, which calls it plainly and keeps its code
// (the two words hold nothing past the call).
int trampolineArgs = 0;
ErrorCode trampolineCode = 0;

int commandTrampoline(VmState* L) {
  trampolineCode = VmCall(L, trampolineArgs, 0);
  return 0;
}

// Calls the command below its nargs arguments; 0, the code it returned or
// the code it raised. The command and its arguments are removed.
ErrorCode callCommand(VmState* L, int nargs) {
  VmPushCClosure(L, commandTrampoline, 0);
  VmInsert(L, -(nargs + 2));
  trampolineArgs = nargs;
  trampolineCode = 0;
  ErrorCode status = VmPCall(L, nargs + 1, 0, 0);
  return status ? status : trampolineCode;
}

void setFunctionName(const char* name) {
  StrCopyBounded(vmErrorLocation.function, sizeof vmErrorLocation.function, name);
}

void setAttrs(uint32_t a, uintptr_t av, uint32_t b, uintptr_t bv) {
  TagItem tags[] = {{a, av}, {b, bv}, {ATTR_DONE, 0}};
  SetGlobalAttrs(nullptr, tags);
}

void setQuietFor(const PlayerRunContext* context, const DeclaredResource* r) {
  int quiet = (player.appended || context->quiet) ? 1 : r->quiet;
  TagItem tags[] = {{ATTR_QUIET, static_cast<uintptr_t>(quiet)}, {ATTR_DONE, 0}};
  SetGlobalAttrs(nullptr, tags);
}

// Pushes the global of the command's lower-cased name, as a script's call
// would find it. Whatever it holds is called: a command that no library
// registered fails the call like a script's call of it.
void pushCommand(VmState* L, const char* name) {
  std::string lower = name;
  StrToLower(lower.data());
  VmPushString(L, lower.c_str());
  VmGetTable(L, VM_GLOBALS_INDEX);
}

void pushImageOptions(VmState* L, const DeclaredResource* r) {
  VmNewTable(L);
  if (r->transparency != -1) SetTableFieldInt(L, "transparency", r->transparency);
  if (r->flags & 1)
    SetTableFieldInt(L, "loadalpha", 1);
  else if (r->flags & 2)
    SetTableFieldInt(L, "loadtransparency", 1);
  if (r->loader[0]) SetTableFieldString(L, "loader", r->loader);
  if (r->adapter[0]) SetTableFieldString(L, "adapter", r->adapter);
  if (r->kind == 0) {
    const auto* p = static_cast<const PicturePayload*>(r->payload);
    if (!p) return;
    if (p->fillStyle) {
      SetTableFieldInt(L, "fillstyle", p->fillStyle);
      if (p->fillStyle == 3) {
        SetTableFieldInt(L, "texturebrush", p->textureBrush);
        SetTableFieldInt(L, "texturex", p->textureX);
        SetTableFieldInt(L, "texturey", p->textureY);
      } else if (p->fillStyle == 1) {
        SetTableFieldInt(L, "fillcolor", p->fillColor);
      }
    }
    SetTableFieldInt(L, "scalewidth", p->scaleWidth);
    SetTableFieldInt(L, "scaleheight", p->scaleHeight);
    SetTableFieldInt(L, "smoothscale", p->smooth);
    return;
  }
  const auto* p = static_cast<const ImagePayload*>(r->payload);
  if (!p) return;
  SetTableFieldInt(L, "width", p->width);
  SetTableFieldInt(L, "height", p->height);
  SetTableFieldInt(L, "x", p->x);
  SetTableFieldInt(L, "y", p->y);
  if (r->kind == 1) {
    if (p->globalAlpha != -1) SetTableFieldInt(L, "globalalpha", p->globalAlpha);
    SetTableFieldInt(L, "hardware", p->hardware);
    SetTableFieldInt(L, "scalewidth", p->scaleWidth);
    SetTableFieldInt(L, "scaleheight", p->scaleHeight);
    SetTableFieldInt(L, "smoothscale", p->smooth);
    if (p->display) SetTableFieldInt(L, "display", p->display);
  } else {
    SetTableFieldInt(L, "frames", p->frames);
    SetTableFieldInt(L, "fpr", p->framesPerRow);
    if (r->kind == 2) {
      SetTableFieldInt(L, "fromdisk", p->fromDisk);
      SetTableFieldInt(L, "skiploopframes", p->skipLoopFrames);
      SetTableFieldInt(L, "deinterlace", p->deinterlace);
    }
  }
  if (p->cache) {
    SetTableFieldString(L, "cache", r->fileName);
    SetTableFieldInt(L, "cachealpha", p->cacheAlpha);
  }
  if (p->cachedLoad) SetTableFieldString(L, "cachedload", r->fileName);
}

void pushMenuTable(VmState* L, const MenuNode* node) {
  VmNewTable(L);
  for (int index = 0; node; node = node->next, index++) {
    VmNewTable(L);
    if (node->label) {
      VmPushString(L, node->label);
      VmRawSetI(L, -2, 0);
    }
    SetTableFieldU32(L, "flags", node->flags);
    if (node->id) SetTableFieldString(L, "id", node->id);
    if (node->hotkey) SetTableFieldString(L, "hotkey", node->hotkey);
    if (node->submenu) {
      pushMenuTable(L, node->submenu);
      VmRawSetI(L, -2, 1);
    }
    VmRawSetI(L, -2, index);
  }
}

void pushBackfillTable(VmState* L, const BackfillSpec& b) {
  VmNewTable(L);
  SetTableFieldString(L, "type", OptionNameOf(BACKFILL_KIND_NAMES, b.kind));
  if (b.startColor != -1) {
    SetTableFieldInt(L, "color", b.startColor);
    SetTableFieldInt(L, "startcolor", b.startColor);
  }
  if (b.endColor != -1) SetTableFieldInt(L, "endcolor", b.endColor);
  SetTableFieldInt(L, "x", b.x);
  SetTableFieldInt(L, "y", b.y);
  if (b.brush) SetTableFieldInt(L, "brush", b.brush);
  SetTableFieldInt(L, "scalepicture", b.scalePicture);
  SetTableFieldInt(L, "smoothscale", b.smoothScale);
  if (b.imageFile[0]) SetTableFieldString(L, "brushfile", b.imageFile);
}

// A number field of the table at the top; false when it is no number.
bool numberField(VmState* L, const char* name, double* value) {
  VmPushString(L, name);
  VmGetTable(L, -2);
  bool found = VmType(L, -1) == VM_TYPE_NUMBER;
  if (found) *value = VmToNumber(L, -1);
  VmSetTop(L, -2);
  return found;
}

// Where a display with "rememberposition" was when it last closed: the
// entry of the preferences' "__placement" table under its identifier, if it
// was made with the same scaling and sizing, overrides the declared place
// and size in the option table at the top, and its placement data goes to
// "__placement". Command-line placement and the full-screen-like modes
// keep the declared values.
void pushRememberedPlacement(VmState* L, const DeclaredResource* r, const DisplayDescription* d) {
  const PrefsFileHooks* prefs = GetPrefsFileHooks();
  if (!(d->flags & DSF_REMEMBERPOSITION) || player.overridePlacement || !prefs->load ||
      d->displayMode == DISPMODE_FAKEFULLSCREEN || d->displayMode == DISPMODE_FULLSCREENSCALE)
    return;
  int options = VmGetTop(L);
  VmNewTable(L);
  if (prefs->load(L, VmGetTop(L)) == ERR_NONE) {
    VmPushString(L, "__placement");
    VmGetTable(L, -2);
    if (VmType(L, -1) == VM_TYPE_TABLE) {
      VmPushNumber(L, r->id);
      VmGetTable(L, -2);
    }
  }
  double autoscale = -1, layerscale = -1, sizeable = -1;
  if (VmType(L, -1) == VM_TYPE_TABLE && numberField(L, "autoscale", &autoscale) &&
      numberField(L, "layerscale", &layerscale) && numberField(L, "sizeable", &sizeable) &&
      (autoscale != 0) == ((d->flags & DSF_AUTOSCALE) != 0) &&
      (layerscale != 0) == ((d->flags & DSF_LAYERSCALE) != 0) &&
      (sizeable != 0) == ((d->flags & DSF_SIZEABLE) != 0)) {
    int entry = VmGetTop(L);
    for (const char* name :
         {"x", "y", "width", "height", "scalewidth", "scaleheight", "scalefactor"}) {
      double value = 0;
      if (!numberField(L, name, &value)) continue;
      VmPushString(L, name);
      VmPushNumber(L, value);
      VmSetTable(L, options);
    }
    VmPushString(L, "__placement");
    VmPushString(L, "osdata");
    VmGetTable(L, entry);
    if (VmType(L, -1) == VM_TYPE_STRING)
      VmSetTable(L, options);
    else
      VmSetTop(L, -3);
  }
  VmSetTop(L, options);
}

void pushDisplayOptions(VmState* L, const PlayerRecord* record, const DeclaredResource* r,
                        bool bgpic1) {
  const auto* d = static_cast<const DisplayDescription*>(r->payload);
  VmNewTable(L);
  SetTableFieldString(L, "title", d->title);
  SetTableFieldInt(L, "x", d->x);
  SetTableFieldInt(L, "y", d->y);
  SetTableFieldInt(L, "width", d->width);
  SetTableFieldInt(L, "height", d->height);
  if (d->scaleFactor != 1.0 && d->scaleFactor != 0.0)
    SetTableFieldNumber(L, "scalefactor", d->scaleFactor);
  if (d->scaleWidth) SetTableFieldInt(L, "scalewidth", d->scaleWidth);
  if (d->scaleHeight) SetTableFieldInt(L, "scaleheight", d->scaleHeight);
  if (bgpic1 && r->id == 1)
    SetTableFieldInt(L, "bgpic", 1);
  else if (d->bgpic)
    SetTableFieldInt(L, "bgpic", d->bgpic);
  else
    SetTableFieldInt(L, "color", d->color);
  // The declared flag words go over by the display library's own option
  // names, every named flag but usequartz, which a declared display does
  // not pass on.
  const uint32_t styleWords[] = {d->flags & ~DSF_USEQUARTZ, d->flags2};
  SetTableFieldFlags(L, DISPLAY_STYLE_FLAGS, styleWords);
  SetTableFieldFlags(L, DISPLAY_CREATION_FLAGS, styleWords);
  if (d->flags & DSF_AUTOSCALE) SetTableFieldInt(L, "scalemode", SCALEMODE_AUTO);
  if (d->flags & DSF_LAYERSCALE) SetTableFieldInt(L, "scalemode", SCALEMODE_LAYER);
  if (d->xserver[0]) SetTableFieldString(L, "xserver", d->xserver);
  if (d->orientation) SetTableFieldInt(L, "orientation", d->orientation);
  if (d->monitor > 0) SetTableFieldInt(L, "monitor", d->monitor + 1);  // the table counts from 1
  if (d->menu != -1) SetTableFieldInt(L, "menu", d->menu);
  if (const char* mode = OptionNameOf(DISPLAY_MODE_NAMES, d->displayMode))
    SetTableFieldString(L, "mode", mode);
  if (d->screenWidth > 0) SetTableFieldInt(L, "scrwidth", d->screenWidth);
  if (d->screenHeight > 0) SetTableFieldInt(L, "scrheight", d->screenHeight);
  if (d->screenDepth > 0) SetTableFieldInt(L, "scrdepth", d->screenDepth);
  if (d->desktop) SetTableFieldInt(L, "desktop", 1);
  if (d->restoreWidth) SetTableFieldInt(L, "__restorewidth", d->restoreWidth);
  if (d->restoreHeight) SetTableFieldInt(L, "__restoreheight", d->restoreHeight);
  if (OptionNameOf(BACKFILL_KIND_NAMES, d->backfill.kind)) {
    VmPushString(L, "backfill");
    pushBackfillTable(L, d->backfill);
    if (d->hideTitleBar) SetTableFieldInt(L, "hidetitlebar", 1);
    VmSetTable(L, -3);
  }
  pushRememberedPlacement(L, r, d);
  (void)record;
}

void copyCommandLineSettings(const PlayerRecord* record, DisplayDescription* d) {
  if (record->displayMode) d->displayMode = record->displayMode;
  if (record->screenWidth != -1) d->screenWidth = record->screenWidth;
  if (record->screenHeight != -1) d->screenHeight = record->screenHeight;
  if (record->screenDepth != -1) d->screenDepth = record->screenDepth;
  if (record->scaleFactor != 1.0) d->scaleFactor = record->scaleFactor;
  if (record->scaleWidth) d->scaleWidth = record->scaleWidth;
  if (record->scaleHeight) d->scaleHeight = record->scaleHeight;
  if (record->winWidth) d->restoreWidth = record->winWidth;
  if (record->winHeight) d->restoreHeight = record->winHeight;
  if (record->monitor) d->monitor = record->monitor;
  if (record->backfill.kind > 0)
    d->backfill = record->backfill;
  else if (record->hideTitleBar)
    d->hideTitleBar = record->hideTitleBar;
  d->flags |= record->windowFlags;
  if (record->xserver[0]) StrCopyBounded(d->xserver, sizeof d->xserver, record->xserver);
}

// Marks repeated picture files: the first record caches its picture and
// every later one with the same file and scaling loads from the cache.
void markCachedPictures(PlayerRecord* record) {
  for (DeclaredResource* a = record->resources; a; a = a->next) {
    if ((a->kind != 1 && a->kind != 2 && a->kind != 7) || (a->flags & 2) || !a->payload ||
        !a->fileName)
      continue;
    auto* pa = static_cast<ImagePayload*>(a->payload);
    if (pa->cachedLoad || (a->kind != 1 && pa->frames == 0)) continue;
    for (DeclaredResource* b = a->next; b; b = b->next) {
      if ((b->kind != 1 && b->kind != 2 && b->kind != 7) || (b->flags & 2) || !b->payload ||
          !b->fileName)
        continue;
      auto* pb = static_cast<ImagePayload*>(b->payload);
      if (CompareNoCase(a->fileName, b->fileName) != 0 || pa->scaleWidth != pb->scaleWidth ||
          pa->scaleHeight != pb->scaleHeight || pa->smooth != pb->smooth)
        continue;
      pb->cachedLoad = 1;
      pa->cache = 1;
      if ((b->flags & 1) && !(a->flags & 1)) pa->cacheAlpha = 1;
    }
  }
}

// Calls the record's command with its arguments (above the stack's
// current top); 0 or the command's error.
ErrorCode callRecordCommand(VmState* L, PlayerRunContext* context, DeclaredResource* r) {
  const char* command = r->kind >= 0 && r->kind < 19 ? COMMAND_OF_KIND[r->kind] : nullptr;
  if (!command || r->kind == 10) return ERR_NONE;
  setFunctionName(command);
  int top = VmGetTop(L);
  ErrorCode error = 0;
  if (r->kind == 5 || r->kind == 6) {
    pushCommand(L, command);
    VmPushNumber(L, r->id);
    if (r->kind == 5) {
      const auto* p = static_cast<const ButtonPayload*>(r->payload);
      VmPushNumber(L, p ? p->x1 : 0);
      VmPushNumber(L, p ? p->y1 : 0);
      VmPushNumber(L, p ? p->x2 : 0);
      VmPushNumber(L, p ? p->y2 : 0);
      error = callCommand(L, 5);
    } else {
      VmPushString(L, r->fileName ? r->fileName : "");
      error = callCommand(L, 2);
    }
    VmSetTop(L, top);
    return error;
  }
  char linkedName[3 * PLAYER_PATH_SIZE];
  const char* file = r->fileName ? r->fileName : "";
  // A linked font is opened by its name: the font look-up finds it among
  // the linked fonts and tells the opener that its data starts with the
  // linked-font flags word, which a bare chunk name would not.
  if (r->linked && r->kind != 9) {
    if (!MakeLinkedFileName(context, r, linkedName, sizeof linkedName)) return ERR_MEM;
    file = linkedName;
  }
  pushCommand(L, command);
  VmPushNumber(L, r->id);
  int nargs = 1;
  switch (r->kind) {
    case 13:
      pushMenuTable(L, static_cast<const MenuNode*>(r->payload));
      nargs++;
      break;
    case 16: {
      VmNewTable(L);
      int index = 0;
      for (auto* e = static_cast<const IconEntry*>(r->payload); e; e = e->next, index++) {
        VmNewTable(L);
        SetTableFieldInt(L, "type", e->kind);
        if (e->flags & 2) SetTableFieldInt(L, "standard", 1);
        if (e->kind == 3) {
          SetTableFieldInt(L, "image", e->image);
          if (e->flags & 1) SetTableFieldInt(L, "selimage", e->selImage);
        }
        VmRawSetI(L, -2, index);
      }
      nargs++;
      break;
    }
    default:
      VmPushString(L, file);
      nargs++;
      if (r->kind == 8) {
        VmPushNumber(L, 1005);
        nargs++;
        if (r->adapter[0]) {
          VmNewTable(L);
          SetTableFieldString(L, "adapter", r->adapter);
          nargs++;
        }
      } else if (r->kind == 9) {
        VmPushNumber(L, r->transparency);
        VmNewTable(L);
        if (r->flags & 0xFFFF)
          SetTableFieldInt(L, "engine", static_cast<int32_t>(r->flags & 0xFFFF));
        if (r->flags & 0x10000) SetTableFieldInt(L, "cache", 0);
        if (r->flags & 0x20000) SetTableFieldInt(L, "usepoints", 1);
        nargs += 2;
      } else if (r->kind == 18) {
        VmNewTable(L);
        SetTableFieldInt(L, "recursive", r->transparency);
        SetTableFieldInt(L, "__emptydir", r->payload ? 0 : 1);
        VmPushString(L, "__direntries");
        VmPushLightUserdata(L, r->payload);
        VmSetTable(L, -3);
        // The directory object takes the tree over; until it does, the
        // runtime keeps it (and frees it at the end when none did).
        NoteHandedOutDirTree(static_cast<DirEntryNode*>(r->payload));
        r->payload = nullptr;
        nargs++;
      } else if (r->kind == 3 || r->kind == 4 || r->kind == 11 || r->kind == 15) {
        if (r->loader[0] || r->adapter[0]) {
          VmNewTable(L);
          if (r->loader[0]) SetTableFieldString(L, "loader", r->loader);
          if (r->adapter[0]) SetTableFieldString(L, "adapter", r->adapter);
          nargs++;
        }
      } else {
        pushImageOptions(L, r);
        nargs++;
      }
      break;
  }
  error = callCommand(L, nargs);
  VmSetTop(L, top);
  return error;
}

}  // namespace

ErrorCode ParseRequiredTags(VmState* L, const char* text, const char* plugin, int* count) {
  (void)L;
  int used = 0;
  const char* p = text ? text : "";
  while (*p) {
    while (*p == ' ' || *p == ',') p++;
    if (!*p) break;
    const char* open = std::strchr(p, '[');
    if (!open) return ERR_REQUIRETAGFMT;
    std::string name(p, open);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name.empty() || name.find(' ') != std::string::npos) return ERR_REQUIRETAGFMT;
    bool matches = plugin && CompareNoCaseN(name.c_str(), plugin, name.size()) == 0;
    p = open + 1;
    for (;;) {
      while (*p == ' ') p++;
      if (*p == ']') {
        p++;
        break;
      }
      if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z'))) return ERR_REQUIRETAGFMT;
      while (*p && *p != '=' && *p != ']' && *p != ',') p++;
      if (*p != '=') return ERR_REQUIRETAGFMT;
      p++;
      if (*p == '\'') {
        const char* close = std::strchr(p + 1, '\'');
        if (!close) return ERR_REQUIRETAGFMT;
        p = close + 1;
      } else {
        while (*p && *p != ' ' && *p != ',' && *p != ']') p++;
      }
      if (matches) used++;
      while (*p == ' ') p++;
      if (*p == ',') {
        p++;
        continue;
      }
      if (*p == ']') {
        p++;
        break;
      }
      return ERR_REQUIRETAGFMT;
    }
  }
  if (count) *count = used;
  return ERR_NONE;
}

ErrorCode PreloadDeclaredResources(VmState* L, PlayerRunContext* context, PlayerRecord* record) {
  ErrorCode error = 0;
  if (GetAppIconHooks()->loadDefaultAppIcons &&
      (error = GetAppIconHooks()->loadDefaultAppIcons(!context->quiet)))
    return error;
  if (player.requireList) {
    for (const char* name = player.requireList; *name; name += std::strlen(name) + 1) {
      if ((error = ParseRequiredTags(L, player.requiredTags, name, nullptr))) return error;
      if ((error = LoadPlayerPluginFile(L, name, 0, 0, 0, 0, 0))) return error;
    }
  }
  bool bgpic1 = false, display1 = false;
  for (DeclaredResource* r = record->resources; r; r = r->next) {
    if (r->kind == 0 && r->id == 1) bgpic1 = true;
    if (r->kind == 10 && r->id == 1) display1 = true;
    if (r->kind == 12 &&
        (error = LoadPlayerPluginFile(L, r->fileName ? r->fileName : "", r->transparency,
                                      static_cast<int32_t>(r->flags), 0, 0, 0)))
      return error;
  }
  if (!display1 && (error = AddDefaultDisplay(record, record->title))) return error;
  if (!context->keepDeclaredDisplays)
    for (DeclaredResource* r = record->resources; r; r = r->next)
      if (r->kind == 10 && (r->id == 1 || context->allDisplays))
        copyCommandLineSettings(record, static_cast<DisplayDescription*>(r->payload));
  markCachedPictures(record);

  setAttrs(ATTR_DEFERBITMAPS, 1, ATTR_SCRIPTRUNNING, 1);
  ErrorCode ignored = 0;
  char* remembered = nullptr;
  int32_t savedLine = vmErrorLocation.line;
  for (DeclaredResource* r = record->resources; r && !error; r = r->next) {
    if (r->kind == 10) continue;
    setQuietFor(context, r);
    vmErrorLocation.line = r->line;
    if (!r->linked && r->directory[0]) {
      char* previous = ChangeDirectoryNative(r->directory, &error);
      if (!remembered)
        remembered = previous;
      else
        FreeMemory(previous);
      if (error) break;
    }
    error = callRecordCommand(L, context, r);
    if (error) {
      // A raise of the engine's own (the global is no command) starts its
      // location afresh; the report still names the command and the line
      // of its declaration.
      if (vmErrorLocation.line == -1 && std::strcmp(vmErrorLocation.function, "----") == 0 &&
          r->kind >= 0 && r->kind < 19 && COMMAND_OF_KIND[r->kind]) {
        setFunctionName(COMMAND_OF_KIND[r->kind]);
        vmErrorLocation.line = r->line;
      }
      break;
    }
    setFunctionName("----");
    error = AdvanceStartupProgress();
  }
  if (remembered) {
    FreeMemory(ChangeDirectoryNative(remembered, &ignored));
    FreeMemory(remembered);
  }
  for (DeclaredResource* r = record->resources; r && !error; r = r->next) {
    if (r->kind == 14) {
      if (!player.noDebug) PrintToConsole("*** WARNING %s ***\n", r->fileName ? r->fileName : "");
      continue;
    }
    if (r->kind != 10) continue;
    setQuietFor(context, r);
    setFunctionName("CreateDisplay");
    pushCommand(L, "CreateDisplay");
    VmPushNumber(L, r->id);
    pushDisplayOptions(L, record, r, bgpic1);
    int top = VmGetTop(L) - 3;
    error = callCommand(L, 2);
    VmSetTop(L, top);
    if (error) break;
    setFunctionName("----");
  }
  if (error) return error;
  vmErrorLocation.line = savedLine;
  setAttrs(ATTR_DEFERBITMAPS, 0, ATTR_QUIET, static_cast<uintptr_t>(context->quiet));
  setAttrs(ATTR_SCRIPTRUNNING, 0, ATTR_DONE, 0);
  FreeDeclaredResources(record->resources);
  record->resources = nullptr;
  return ERR_NONE;
}
