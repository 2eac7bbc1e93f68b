// Script loading and the small records that the header reader, the preload
// and shut-down share: the constants of the command line, the load of the
// bytecode chunk with the header's display overrides, the Latin-1 form of
// the run's paths, declared-resource records and their payloads, the
// linked-font and embedded-file list (which the stream layer resolves
// linked names through), the temporary-file list and start-up progress.
//
// Invariant: every record and list made here is owned by the player record
// or the run's globals and freed exactly once, by FreeDeclaredResources,
// FreeLinkedFiles, FreeLineMap or DeleteTempFiles.
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/platform.h"
#include "runtime/player.h"
#include "runtime/stream_private.h"
#include "runtime/context_private.h"
#include "runtime/runtime_private.h"

PlayerGlobals player;

struct TempFileNode {
  TempFileNode* next;
  char path[PLAYER_PATH_SIZE];
};

namespace {

constexpr size_t CONSTANT_NAME_MAX = 63;  // a 64th character is an error

// The linked-file table handed to the stream layer: entries hold absolute
// offsets in their own holder file, so the table's base is 0.
LinkedFileTable linkedTable;

bool isNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9') || c == '$' || c == '!'; }

struct ChunkSource {
  const uint8_t* data;
  size_t size;
  bool done;
};

const char* readWholeChunk(VmState*, void* data, size_t* size) {
  auto* source = static_cast<ChunkSource*>(data);
  if (source->done) {
    *size = 0;
    return nullptr;
  }
  source->done = true;
  *size = source->size;
  return reinterpret_cast<const char*>(source->data);
}

void toLatin1InPlace(char* text, size_t size) {
  char* converted = Utf8ToLatin1Dup(text);
  if (converted) {
    StrCopyBounded(text, size, converted);
    FreeMemory(converted);
  }
}

void freeMenu(MenuNode* node) {
  while (node) {
    MenuNode* next = node->next;
    FreeMemory(node->label);
    FreeMemory(node->id);
    FreeMemory(node->hotkey);
    freeMenu(node->submenu);
    FreeMemory(node);
    node = next;
  }
}

void freeDirectory(DirEntryNode* node) {
  while (node) {
    DirEntryNode* next = node->next;
    FreeMemory(node->name);
    freeDirectory(node->children);
    FreeMemory(node);
    node = next;
  }
}

void setScriptRunning(int on) {
  TagItem tags[] = {{ATTR_SCRIPTRUNNING, static_cast<uintptr_t>(on)}, {ATTR_DONE, 0}};
  SetGlobalAttrs(nullptr, tags);
}

}  // namespace

const LinkedFileTable* GetLinkedFileTable(VmState*) {
  if (!player.record || !player.record->linkedFiles) return nullptr;
  linkedTable.first = player.record->linkedFiles;
  linkedTable.baseOffset = 0;
  linkedTable.appletPath = player.containerPath;
  return &linkedTable;
}

void FreeDirEntryTree(DirEntryNode* tree) { freeDirectory(tree); }

void NoteHandedOutDirTree(DirEntryNode* tree) {
  if (tree) runtimeContext.handedOutTrees.push_back(tree);
}

int IsHandedOutDirTree(const void* tree) {
  for (const DirEntryNode* t : runtimeContext.handedOutTrees)
    if (t == tree) return 1;
  return 0;
}

void ClaimHandedOutDirTree(const void* tree) {
  auto& trees = runtimeContext.handedOutTrees;
  for (size_t i = 0; i < trees.size(); i++) {
    if (trees[i] == tree) {
      trees.erase(trees.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void FreeHandedOutDirTrees() {
  for (DirEntryNode* t : runtimeContext.handedOutTrees) freeDirectory(t);
  runtimeContext.handedOutTrees.clear();
}

int MakeLinkedDataName(const char* name, uint64_t offset, uint64_t size, char* buffer,
                       size_t bufferSize) {
  if (offset > INT64_MAX) return 0;
  return MakeChunkName(name, buffer, bufferSize, static_cast<int64_t>(offset), size,
                       player.containerBase, player.containerPath);
}

const char* GetAppletTitle() {
  if (!player.record || !player.record->title[0]) return nullptr;
  return player.record->title;
}

void SetScriptName(VmState* L, const char* name, int32_t line) {
  if (!L) return;
  VmSetRegistryNumber(L, "beginline", line);
  VmSetRegistryString(L, "script", name);
}

ErrorCode DefineConstantsText(VmState* L, const char* text) {
  if (!text || !*text) return ERR_ARGS;
  const char* p = text;
  for (;;) {
    while (*p == ' ' || *p == '\t') p++;
    if (!isNameStart(*p)) return ERR_ARGS;
    std::string name;
    while (isNameChar(*p)) {
      if (name.size() >= CONSTANT_NAME_MAX) return ERR_ARGS;
      name += *p++;
    }
    if (!*p) return ERR_ARGS;
    p++;  // the separator
    while (*p == ' ' || *p == '\t') p++;
    ConstantTableEntry entry[2] = {{nullptr, nullptr, 0}, {nullptr, nullptr, 0}};
    std::string value;
    if (*p == '[') {
      p++;
      for (;;) {
        if (!*p) return ERR_ARGS;
        if (p[0] == '[' && p[1] == '[') {
          value += '[';
          p += 2;
        } else if (p[0] == ']' && p[1] == ']') {
          value += ']';
          p += 2;
        } else if (*p == ']') {
          p++;
          break;
        } else {
          value += *p++;
        }
      }
      entry[0].text = value.c_str();
    } else {
      size_t used = 0;
      ErrorCode error = 0;
      entry[0].number = ParseNumberString(p, &used, &error);
      if (error) return ERR_ARGS;
      p += used;
    }
    while (*p == ' ' || *p == '\t') p++;
    if (*p && *p != '|') return ERR_ARGS;
    if (VmFindConstant(L, name.c_str(), nullptr, nullptr)) {
      SetErrorArgString(name.c_str());
      return ERR_CSTDOUBLEDEF;
    }
    entry[0].name = name.c_str();
    VmRegisterConstants(L, entry, 1);
    if (!*p) return ERR_NONE;
    p++;
    if (!*p) return ERR_ARGS;
  }
}

void ConvertRunPathsToLatin1(VmState* L, PlayerRunContext* context, PlayerRecord* record) {
  unicodeUtf8Mode = 0;
  if (L) {
    const char* script = VmGetRegistryString(L, "script");
    if (script) {
      char* latin = Utf8ToLatin1Dup(script);
      if (latin) {
        SetScriptName(L, latin, 1);
        FreeMemory(latin);
      }
    }
  }
  toLatin1InPlace(player.tempDir, sizeof player.tempDir);
  toLatin1InPlace(context->appletPath, sizeof context->appletPath);
  toLatin1InPlace(context->programPath, sizeof context->programPath);
  toLatin1InPlace(context->appletArgument, sizeof context->appletArgument);
  toLatin1InPlace(context->spare1, sizeof context->spare1);
  toLatin1InPlace(context->spare2, sizeof context->spare2);
  toLatin1InPlace(context->spare4, sizeof context->spare4);
  toLatin1InPlace(player.containerPath, sizeof player.containerPath);
  if (player.requiredTags)
    toLatin1InPlace(player.requiredTags, std::strlen(player.requiredTags) + 1);
  for (LinkedFileEntry* e = record->linkedFiles; e; e = e->next) {
    toLatin1InPlace(const_cast<char*>(e->name), std::strlen(e->name) + 1);
    if (e->path) toLatin1InPlace(const_cast<char*>(e->path), std::strlen(e->path) + 1);
  }
  for (IconTableEntry& icon : player.icons)
    if (icon.imageName && icon.loaded)
      toLatin1InPlace(icon.imageName, std::strlen(icon.imageName) + 1);
  CallHooksOfKind(L, HOOK_SCRIPTRELEASED, 0, 0);
}

void InitDisplayDescription(DisplayDescription* d) {
  std::memset(d, 0, sizeof *d);
  StrCopyBounded(d->title, sizeof d->title, "Quillmere");
  d->x = POSITION_UNSET;
  d->y = POSITION_UNSET;
  d->width = 640;
  d->height = 480;
  d->scaleFactor = 1.0;
  d->fillStyle = 1;
  d->gradient.kind = 2;
  d->gradient.values[0] = d->gradient.values[1] = d->gradient.values[2] = 0.5;
  d->menu = -1;
  d->displayMode = 1;
  d->backfill.kind = 0;
  d->backfill.startColor = d->backfill.endColor = -1;
  d->backfill.x = d->backfill.y = POSITION_UNSET;
  d->backfill.transparentColor = -1;
}

DeclaredResource* AddDeclaredResource(PlayerRecord* record, int32_t kind, int32_t id) {
  auto* r = static_cast<DeclaredResource*>(AllocMemory(sizeof(DeclaredResource), 1));
  if (!r) return nullptr;
  r->kind = kind;
  r->id = id;
  r->transparency = -1;
  if (kind == 10) {
    auto* d = static_cast<DisplayDescription*>(AllocMemory(sizeof(DisplayDescription), 1));
    if (!d) {
      FreeMemory(r);
      return nullptr;
    }
    InitDisplayDescription(d);
    r->payload = d;
  }
  DeclaredResource** tail = &record->resources;
  while (*tail) tail = &(*tail)->next;
  *tail = r;
  return r;
}

ErrorCode AddDefaultDisplay(PlayerRecord* record, const char* title) {
  DeclaredResource* r = AddDeclaredResource(record, 10, 1);
  if (!r) return ERR_MEM;
  auto* d = static_cast<DisplayDescription*>(r->payload);
  d->flags |= 0x400;
  if (title && *title) StrCopyBounded(d->title, sizeof d->title, title);
  return ERR_NONE;
}

void FreeDeclaredResources(DeclaredResource* list) {
  while (list) {
    DeclaredResource* next = list->next;
    FreeMemory(list->fileName);
    switch (list->kind) {
      case 10: {
        auto* d = static_cast<DisplayDescription*>(list->payload);
        if (d) {
          FreeMemory(d->sizeRegions);
          FreeMemory(d->dragRegions);
        }
        FreeMemory(d);
        break;
      }
      case 12:
        for (auto* t = static_cast<TagEntry*>(list->payload); t;) {
          TagEntry* n = t->next;
          FreeMemory(t->name);
          FreeMemory(t->text);
          FreeMemory(t);
          t = n;
        }
        break;
      case 13:
        freeMenu(static_cast<MenuNode*>(list->payload));
        break;
      case 16:
        for (auto* e = static_cast<IconEntry*>(list->payload); e;) {
          IconEntry* n = e->next;
          for (LinkedPart& part : e->parts) {
            FreeMemory(part.name);
            FreeMemory(part.text);
          }
          FreeMemory(e);
          e = n;
        }
        break;
      case 18:
        freeDirectory(static_cast<DirEntryNode*>(list->payload));
        break;
      default:
        FreeMemory(list->payload);
        break;
    }
    FreeMemory(list);
    list = next;
  }
}

ErrorCode AddLinkedFont(PlayerRecord* record, const char* name, int isFont, const char* source,
                        uint64_t offset, uint64_t size) {
  std::string key = name ? name : "";
  if (isFont) {
    if (key.size() > 5 && CompareNoCase(key.c_str() + key.size() - 5, ".font") == 0)
      key.resize(key.size() - 5);
    key = "::font:" + key;
  }
  if (key.size() >= PLAYER_PATH_SIZE) key.resize(PLAYER_PATH_SIZE - 1);
  LinkedFileEntry** tail = &record->linkedFiles;
  for (; *tail; tail = &(*tail)->next)
    if (std::strcmp((*tail)->name, key.c_str()) == 0) return ERR_NONE;
  const char* holder = source ? source : "";
  size_t nameBytes = key.size() + 1, pathBytes = std::strlen(holder) + 1;
  auto* e = static_cast<LinkedFileEntry*>(
      AllocMemory(sizeof(LinkedFileEntry) + nameBytes + pathBytes, 1));
  if (!e) return ERR_MEM;
  char* text = reinterpret_cast<char*>(e + 1);
  std::memcpy(text, key.c_str(), nameBytes);
  std::memcpy(text + nameBytes, holder, pathBytes);
  e->name = text;
  e->path = text + nameBytes;
  e->offset = offset;
  e->size = size;
  *tail = e;
  return ERR_NONE;
}

void FreeLinkedFiles(PlayerRecord* record) {
  for (LinkedFileEntry* e = record->linkedFiles; e;) {
    LinkedFileEntry* next = e->next;
    FreeMemory(e);
    e = next;
  }
  record->linkedFiles = nullptr;
}

void FreeLineMap(PlayerRecord* record) {
  SetSourceLineMap(nullptr);
  for (SourceLineEntry* e = record->lineMap; e;) {
    SourceLineEntry* next = e->next;
    FreeMemory(e);
    e = next;
  }
  record->lineMap = nullptr;
}

const char* CreateTempFileEntry(ErrorCode* error) {
  auto* node = static_cast<TempFileNode*>(AllocMemory(sizeof(TempFileNode), 1));
  if (!node) {
    *error = ERR_MEM;
    return nullptr;
  }
  errno = 0;
  if (!CreateTempFile(node->path, sizeof node->path)) {
    *error = errno == ENOMEM ? ERR_MEM : ERR_WRITEFILE;
    if (*error == ERR_WRITEFILE) SetErrorArgString(player.tempDir[0] ? player.tempDir : "/tmp");
    FreeMemory(node);
    return nullptr;
  }
  node->next = runtimeContext.tempFiles;
  runtimeContext.tempFiles = node;
  return node->path;
}

void DeleteTempFiles() {
  while (runtimeContext.tempFiles) {
    TempFileNode* next = runtimeContext.tempFiles->next;
    DeleteFileNative(runtimeContext.tempFiles->path);
    FreeMemory(runtimeContext.tempFiles);
    runtimeContext.tempFiles = next;
  }
}

ErrorCode AdvanceStartupProgress() {
  if (player.appended) return ERR_NONE;
  player.progressValue += player.progressStep;
  return NativeQuitRequested() ? ERR_USERABORT : ERR_NONE;
}

ErrorCode LoadAppletScript(VmState* L, PlayerRunContext* context, PlayerRecord* record,
                           uint32_t targetBits) {
  (void)targetBits;
  ErrorCode error = 0;
  if (player.constants && (error = DefineConstantsText(L, player.constants))) return error;
  if (!player.utf8Script) ConvertRunPathsToLatin1(L, context, record);

  SetSourceLineMap(record->lineMap);
  setScriptRunning(1);
  ChunkSource source{record->bytecode, record->bytecodeSize, false};
  std::string chunkName = std::string("@") + context->appletPath;
  error = VmLoad(L, readWholeChunk, &source, chunkName.c_str());
  if (error) {
    setScriptRunning(0);
    return error;
  }
  if ((record->runtimeSettings & 0x8) && !player.noChdir && player.previousDirectory) {
    ErrorCode ignored = 0;
    char* back = ChangeDirectoryNative(player.previousDirectory, &ignored);
    FreeMemory(back);
  }
  if (record->runtimeSettings & 0x10) {
    player.noDebug = 1;
    vmRun.debugDisabled = 1;
  }
  setScriptRunning(0);

  bool overrides = player.overrideMode > 0 || player.overrideScreenWidth != -1 ||
                   player.overrideScreenHeight != -1 || player.overrideScreenDepth != -1 ||
                   player.overrideDesktop != -1 || player.overrideBackfill.kind != -1 ||
                   player.overrideHideTitleBar != 0;
  if (overrides) {
    DeclaredResource* display = nullptr;
    for (DeclaredResource* r = record->resources; r && !display; r = r->next)
      if (r->kind == 10 && r->id == 1) display = r;
    if (!display) {
      if ((error = AddDefaultDisplay(record, record->title))) return error;
      for (DeclaredResource* r = record->resources; r; r = r->next)
        if (r->kind == 10 && r->id == 1) display = r;
    }
    auto* d = static_cast<DisplayDescription*>(display->payload);
    if (player.overrideMode > 0) d->displayMode = player.overrideMode;
    if (player.overrideScreenWidth != -1) d->screenWidth = player.overrideScreenWidth;
    if (player.overrideScreenHeight != -1) d->screenHeight = player.overrideScreenHeight;
    if (player.overrideScreenDepth != -1) d->screenDepth = player.overrideScreenDepth;
    if (player.overrideDesktop != -1) d->desktop = player.overrideDesktop;
    if (player.overrideBackfill.kind != -1)
      d->backfill = player.overrideBackfill;
    else if (player.overrideHideTitleBar)
      d->hideTitleBar = player.overrideHideTitleBar;
  }
  return AdvanceStartupProgress();
}
