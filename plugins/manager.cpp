// The plug-in manager: the list of known plug-ins, the directory scan, the
// script's requests for plug-ins, and the registration of what loaded
// plug-ins add (library commands and constants, saver formats).
//
// Invariant: entries are appended in discovery order and never move; an
// entry holds a handle exactly while its plug-in is loaded. Registration
// of a library or saver list either completes or leaves the VM's tables
// and the plug-in's record as they were before the failing step.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "plugins/plugin_private.h"
#include "runtime/runtime.h"
#include "plugins/context_private.h"

namespace {

// Saver registrations a plug-in may make for one capability; a plug-in
// that keeps asking to be called again beyond this is cut off.
constexpr size_t MAX_SAVER_FORMATS = 1024;
// Longest base-table name of a method table (a longer one is 1066).
constexpr size_t BASE_TABLE_NAME_MAX = 63;
constexpr size_t SCAN_PATH_SIZE = 1024;

// Module name of a file: without directory, ".qmp" and a leading '_'.
void moduleNameOfFile(const char* file, char* out, size_t size) {
  const char* slash = std::strrchr(file, '/');
  if (slash) file = slash + 1;
  if (file[0] == '_') file++;
  StrCopyBounded(out, size, file);
  size_t length = std::strlen(out);
  if (length >= 4 && CompareNoCase(out + length - 4, ".qmp") == 0) out[length - 4] = '\0';
}

PluginEntry* findEntry(const char* moduleName) {
  for (PluginEntry* e = pluginContext.entries; e; e = e->next)
    if (CompareNoCase(e->moduleName, moduleName) == 0) return e;
  return nullptr;
}

PluginEntry* appendEntry(const char* moduleName, const char* path) {
  auto* entry = static_cast<PluginEntry*>(AllocMemory(sizeof(PluginEntry), 1));
  if (!entry) return nullptr;
  StrCopyBounded(entry->moduleName, sizeof entry->moduleName, moduleName);
  StrCopyBounded(entry->path, sizeof entry->path, path);
  PluginEntry** link = &pluginContext.entries;
  while (*link) link = &(*link)->next;
  *link = entry;
  return entry;
}

bool endsWithQmp(const char* name) {
  size_t length = std::strlen(name);
  return length >= 5 && CompareNoCase(name + length - 4, ".qmp") == 0;
}

// Whether the deferred list holds the file name ("*" holds every file).
bool onDeferredList(const char* skipList, const char* file) {
  if (!skipList) return false;
  for (const char* item = skipList; *item; item += std::strlen(item) + 1) {
    if (std::strcmp(item, "*") == 0) return true;
    char wanted[SCAN_PATH_SIZE];
    StrCopyBounded(wanted, sizeof wanted, item);
    if (!endsWithQmp(wanted)) StrAppendBounded(wanted, sizeof wanted, ".qmp");
    if (CompareNoCase(wanted, file) == 0) return true;
  }
  return false;
}

// The plug-in ABI's command and constant rows are the engine's rows.
static_assert(sizeof(QmCommandEntry) == sizeof(CommandTableEntry));
static_assert(offsetof(QmCommandEntry, function) == offsetof(CommandTableEntry, function));
static_assert(sizeof(QmConstantEntry) == sizeof(ConstantTableEntry));
static_assert(offsetof(QmConstantEntry, number) == offsetof(ConstantTableEntry, number));

const CommandTableEntry* engineRows(const QmCommandEntry* rows) {
  return reinterpret_cast<const CommandTableEntry*>(rows);
}

struct SaverKind {
  uint32_t capability;
  const char* prefix;
  uint32_t moreBit;
  PluginEntryIndex registerEntry;
};
constexpr SaverKind SAVER_KINDS[3] = {
    {PLUGINCAPS_SAVEIMAGE, "imgfmt_", QM_SAVER_MORE_IMAGE, PE_RegisterImageSaver},
    {PLUGINCAPS_SAVEANIM, "anmfmt_", QM_SAVER_MORE_ANIM, PE_RegisterAnimSaver},
    {PLUGINCAPS_SAVESAMPLE, "smpfmt_", QM_SAVER_MORE_SAMPLE, PE_RegisterSampleSaver},
};

// Two passes over the plug-in's register entry point: count and measure,
// then copy each entry (names behind the array) and make its constant
// (prefix + format name = format id).
ErrorCode registerSavers(VmState* L, PluginRecord* record, int kindIndex) {
  const SaverKind& kind = SAVER_KINDS[kindIndex];
  auto reg = reinterpret_cast<QmRegisterSaverFunc>(record->entry[kind.registerEntry]);
  if (!reg || IsBridgedPlugin(&record->base)) return ERR_NONE;
  size_t count = 0;
  size_t names = 0;
  for (;;) {
    SaverFormatEntry entry{};
    uint32_t flags = reg(&entry);
    if (count == MAX_SAVER_FORMATS) break;
    count++;
    names += (entry.formatName ? std::strlen(entry.formatName) : 0) + 1;
    if (!(flags & kind.moreBit)) break;
  }
  size_t prefixLength = std::strlen(kind.prefix);
  size_t arrayBytes = sizeof(SaverFormatEntry) * (count + 2);
  auto* copies = static_cast<SaverFormatEntry*>(AllocMemory(arrayBytes + names, 1));
  auto* rows =
      static_cast<ConstantTableEntry*>(AllocMemoryArray(count + 2, sizeof(ConstantTableEntry), 1));
  auto* constantNames = static_cast<char*>(AllocMemory(names + count * prefixLength, 1));
  if (!copies || !rows || !constantNames) {
    FreeMemory(copies);
    FreeMemory(rows);
    FreeMemory(constantNames);
    return ERR_MEM;
  }
  char* pool = reinterpret_cast<char*>(copies) + arrayBytes;
  char* constantPool = constantNames;
  size_t made = 0;
  while (made < count) {
    SaverFormatEntry entry{};
    uint32_t flags = reg(&entry);
    const char* name = entry.formatName ? entry.formatName : "";
    size_t length = std::strlen(name);
    // A plug-in that answers differently the second time gets no more room.
    if (length + 1 > names) break;
    std::memcpy(pool, name, length + 1);
    copies[made] = entry;
    copies[made].flags = flags;
    copies[made].formatName = pool;
    pool += length + 1;
    names -= length + 1;
    std::memcpy(constantPool, kind.prefix, prefixLength);
    std::memcpy(constantPool + prefixLength, name, length + 1);
    rows[made].name = constantPool;
    rows[made].number = entry.formatId;
    constantPool += prefixLength + length + 1;
    made++;
    if (!(flags & kind.moreBit)) break;
  }
  VmRegisterConstants(L, rows, 0);
  FreeMemory(rows);
  FreeMemory(constantNames);
  FreeMemory(record->savers[kindIndex].entries);
  record->savers[kindIndex].entries = copies;
  record->savers[kindIndex].count = static_cast<int32_t>(made);
  return ERR_NONE;
}

}  // namespace

const PluginEntry* GetPluginList() { return pluginContext.entries; }

void SetPluginScanAbortCheck(PluginScanAbortCheck check) { pluginContext.abortCheck = check; }

ErrorCode ProbePluginFile(const char* path, int force, PluginEntry** out) {
  // A plug-in may add extension records from the moment it loads.
  VmSetCommandCallSlot(CallPluginCommandHook);
  VmSetRaiseNoticeSlot(CallPluginErrorHandler);
  char moduleName[PLUGIN_MODULE_NAME_SIZE];
  moduleNameOfFile(path, moduleName, sizeof moduleName);
  PluginEntry* entry = findEntry(moduleName);
  if (out) *out = entry;
  if (entry && (entry->handle || !force)) return ERR_USERABORT;
  PrintProgress("Loading plugin %s", path, 1);
  uint32_t mask = 0;
  PluginHandle* handle = nullptr;
  ErrorCode error = OpenPluginLibrary(path, &mask, &handle);
  if (error) return error;
  if (!entry) {
    entry = appendEntry(moduleName, path);
    if (!entry) {
      ClosePluginLibrary(handle);
      return ERR_MEM;
    }
  } else {
    StrCopyBounded(entry->path, sizeof entry->path, path);
  }
  entry->handle = handle;
  entry->capabilities = mask;
  if (out) *out = entry;
  PrintDone();
  return ERR_NONE;
}

ErrorCode ScanPluginsIn(const char* directory, const char* skipList, int32_t* count) {
  NativeLock* lock = LockPathNative(directory, 1);
  if (!lock) return ERR_NONE;
  ErrorCode result = ERR_NONE;
  const char* name = nullptr;
  int32_t isDirectory = 0;
  while (NextDirEntryNative(lock, 0, &name, &isDirectory, nullptr)) {
    if (isDirectory || !endsWithQmp(name)) continue;
    if (count) {
      (*count)++;
      continue;
    }
    char path[SCAN_PATH_SIZE];
    StrCopyBounded(path, sizeof path, directory);
    StrAppendBounded(path, sizeof path, "/");
    if (!StrAppendBounded(path, sizeof path, name)) continue;
    if (name[0] == '_' || onDeferredList(skipList, name)) {
      char moduleName[PLUGIN_MODULE_NAME_SIZE];
      moduleNameOfFile(name, moduleName, sizeof moduleName);
      if (!findEntry(moduleName) && !appendEntry(moduleName, path)) {
        result = ERR_MEM;
        break;
      }
    } else {
      ErrorCode error = ProbePluginFile(path, 0, nullptr);
      if (error && error != ERR_USERABORT && !IsQuietMode()) {
        char text[1024];
        GetErrorText(error, text, sizeof text);
        PrintFailed();
        PrintToConsole("(Reason: %s)\n", text);
      }
    }
    if (pluginContext.abortCheck) {
      result = pluginContext.abortCheck();
      if (result) break;
    }
  }
  CloseDirNative(lock);
  return result;
}

ErrorCode ScanPluginDirectory(const char* programDir, int appended, const char* skipList,
                              int32_t* count) {
  const char* temp = PeekPluginTempDirectory();
  if (temp[0]) {
    ErrorCode error = ScanPluginsIn(temp, skipList, count);
    if (error) return error;
  }
  if (!programDir) return ERR_NONE;
  char directory[SCAN_PATH_SIZE];
  StrCopyBounded(directory, sizeof directory, programDir);
  if (!appended && !StrAppendBounded(directory, sizeof directory, "/Plugins")) return ERR_NONE;
  return ScanPluginsIn(directory, skipList, count);
}

ErrorCode LoadPluginsAndFormats(VmState* L, const char* programDir, int appended,
                                const char* skipList) {
  ErrorCode error = ScanPluginDirectory(programDir, appended, skipList, nullptr);
  if (error) return error;
  for (PluginEntry* e = pluginContext.entries; e; e = e->next) {
    if (!e->handle) continue;
    error = RegisterFormatPlugin(L, e);
    if (error) return error;
  }
  return ERR_NONE;
}

namespace {

ErrorCode registerLibraryBody(VmState* L, PluginEntry* entry, int withCommands, int withConstants) {
  PluginBase* base = GetPluginBase(entry->handle);
  if (!base || IsBridgedPlugin(base)) return ERR_NONE;
  PluginRecord* record = RecordOf(base);
  auto getCount = reinterpret_cast<QmGetLibraryCountFunc>(record->entry[PE_GetLibraryCount]);
  auto setCurrent = reinterpret_cast<QmSetCurrentLibraryFunc>(record->entry[PE_SetCurrentLibrary]);
  auto getBase = reinterpret_cast<QmGetBaseTableFunc>(record->entry[PE_GetBaseTable]);
  auto getCommands = reinterpret_cast<QmGetCommandsFunc>(record->entry[PE_GetCommands]);
  auto getConstants = reinterpret_cast<QmGetConstantsFunc>(record->entry[PE_GetConstants]);
  auto pushUpvalues = reinterpret_cast<QmPushUpvaluesFunc>(record->entry[PE_PushUpvalues]);
  auto initLibrary = reinterpret_cast<QmInitLibraryFunc>(record->entry[PE_InitLibrary]);
  int32_t libraries = getCount ? getCount() : 1;
  for (int32_t index = 0; index < libraries; index++) {
    if (setCurrent) setCurrent(index);
    const char* baseName = getBase ? getBase() : nullptr;
    const QmCommandEntry* commands = getCommands ? getCommands() : nullptr;
    const QmConstantEntry* constants = getConstants ? getConstants() : nullptr;
    if (withCommands && commands) {
      int top = VmGetTop(L);
      size_t baseLength = baseName ? std::strlen(baseName) : 0;
      bool methods = baseLength && baseName[baseLength - 1] == ':';
      if (methods) {
        // A method table: a named metatable "<module>.qmp.<base>" that is
        // its own __index.
        if (baseLength - 1 > BASE_TABLE_NAME_MAX) return ERR_INTERNAL;
        char tableName[PLUGIN_MODULE_NAME_SIZE + BASE_TABLE_NAME_MAX + 8];
        std::snprintf(tableName, sizeof tableName, "%s.qmp.%.*s", entry->moduleName,
                      static_cast<int>(baseLength - 1), baseName);
        VmNewNamedMetatable(L, tableName);
        VmPushString(L, "__index");
        VmPushValue(L, -2);
        VmRawSet(L, -3);
      } else if (!baseLength) {
        VmPushValue(L, VM_GLOBALS_INDEX);
      }
      int nups = pushUpvalues ? pushUpvalues(L) : 0;
      VmRegisterFunctions(L, methods || !baseLength ? nullptr : baseName, engineRows(commands),
                          nups);
      VmSetTop(L, top);
      if (!methods) {
        ErrorCode error = RegisterLibrary(engineRows(commands), baseLength ? baseName : "plugin");
        if (error) return error;
      }
    }
    if (withConstants && constants)
      VmRegisterConstants(L, reinterpret_cast<const ConstantTableEntry*>(constants), 0);
  }
  if (withCommands && initLibrary) {
    ErrorCode result = initLibrary(L);
    base->libraryInitialised = 1;
    return result;
  }
  return ERR_NONE;
}

ErrorCode registerFormatBody(VmState* L, PluginEntry* entry) {
  PluginBase* base = GetPluginBase(entry->handle);
  if (!base) return ERR_NONE;
  if ((entry->capabilities & PLUGINCAPS_LIBRARY) &&
      !(base->extensions[FindLowestBit(PLUGINCAPS_LIBRARY)] & QM_LIBEXT_ONDEMAND)) {
    ErrorCode error = registerLibraryBody(L, entry, 1, 1);
    if (error) return error;
  }
  for (int k = 0; k < 3; k++) {
    if (!(entry->capabilities & SAVER_KINDS[k].capability)) continue;
    ErrorCode error = registerSavers(L, RecordOf(base), k);
    if (error) return error;
  }
  return ERR_NONE;
}

// Registration runs under a protected call: a raise inside it (the VM out
// of memory, a plug-in's InitLibrary raising) comes back as its code
// instead of ending the program, and the stack is as it was.
struct RegisterJob {
  PluginEntry* entry;
  int library;  // 1: the library only, 0: everything RegisterFormatPlugin does
  int withCommands;
  int withConstants;
  ErrorCode result;
};

int runRegisterJob(VmState* L) {
  auto* job = static_cast<RegisterJob*>(VmToUserdata(L, 1));
  VmSetTop(L, 0);
  job->result = job->library
                    ? registerLibraryBody(L, job->entry, job->withCommands, job->withConstants)
                    : registerFormatBody(L, job->entry);
  return 0;
}

ErrorCode runProtected(VmState* L, RegisterJob* job) {
  job->result = ERR_NONE;
  ErrorCode raised = VmCPCall(L, runRegisterJob, job);
  return raised ? raised : job->result;
}

}  // namespace

ErrorCode RegisterPluginLibrary(VmState* L, PluginEntry* entry, int withCommands,
                                int withConstants) {
  RegisterJob job{entry, 1, withCommands, withConstants, ERR_NONE};
  return runProtected(L, &job);
}

ErrorCode RegisterFormatPlugin(VmState* L, PluginEntry* entry) {
  RegisterJob job{entry, 0, 1, 1, ERR_NONE};
  return runProtected(L, &job);
}

ErrorCode LoadPluginFile(VmState* L, const char* name, int32_t version, int32_t revision,
                         uint32_t flags, uintptr_t tag1, uintptr_t tag2) {
  char wanted[PLUGIN_MODULE_NAME_SIZE];
  StrCopyBounded(wanted, sizeof wanted, name ? name : "");
  size_t length = std::strlen(wanted);
  if (length >= 4 && CompareNoCase(wanted + length - 4, ".qmp") == 0) wanted[length - 4] = '\0';
  PluginEntry* entry = findEntry(wanted);
  ErrorCode error = ERR_NONE;
  if (entry && !entry->handle) {
    error = ProbePluginFile(entry->path, 1, &entry);
    if (!error) error = RegisterFormatPlugin(L, entry);
    if (error) return error;
  }
  PluginBase* base = entry ? GetPluginBase(entry->handle) : nullptr;
  if (!base || base->version < version || (base->version == version && base->revision < revision)) {
    char text[PLUGIN_MODULE_NAME_SIZE + 32];
    if (version || revision)
      std::snprintf(text, sizeof text, "%s.qmp %d.%d", wanted, version, revision);
    else
      std::snprintf(text, sizeof text, "%s.qmp", wanted);
    SetErrorArgString(text);
    return ERR_REQUIREPLUGIN;
  }
  if ((entry->capabilities & PLUGINCAPS_LIBRARY) &&
      (base->extensions[FindLowestBit(PLUGINCAPS_LIBRARY)] & QM_LIBEXT_ONDEMAND) &&
      !base->libraryInitialised) {
    error = RegisterPluginLibrary(L, entry, 1, 1);
    if (error) return error;
  }
  auto require = reinterpret_cast<QmRequirePluginFunc>(RecordOf(base)->entry[PE_RequirePlugin]);
  bool adapter = entry->capabilities & (PLUGINCAPS_FILEADAPTER | PLUGINCAPS_DIRADAPTER);
  if (require && !entry->required && !(flags & 1) && !((flags & 2) && !adapter)) {
    entry->required = 1;
    QmTagItem tags[3] = {};
    int n = 0;
    if (tag1) tags[n++] = {1, tag1};
    if (tag2) tags[n++] = {2, tag2};
    if (IsBridgedPlugin(base)) return static_cast<ErrorCode>(NullAdapterHook());
    // A display adapter may install itself while RequirePlugin runs (which
    // may raise through here).
    AdapterInstallationWindow window;
    return require(L, version, revision, 0, tags);
  }
  return ERR_NONE;
}

PluginEntry* FindPluginByBase(const PluginBase* base) {
  for (PluginEntry* e = pluginContext.entries; e; e = e->next)
    if (e->handle && GetPluginBase(e->handle) == base) return e;
  return nullptr;
}

const char* GetLoaderName(int32_t index, const PluginBase* base) {
  if (index == 0) return "inbuilt";
  if (index == 1) return "native";
  return base && base->moduleName ? base->moduleName : "";
}

QmPluginListNode* GetLoadedPluginArray() {
  size_t count = 0;
  for (PluginEntry* e = pluginContext.entries; e; e = e->next)
    if (e->handle) count++;
  if (count == 0) return nullptr;
  auto* nodes =
      static_cast<QmPluginListNode*>(AllocMemoryArray(count, sizeof(QmPluginListNode), 1));
  if (!nodes) return nullptr;
  size_t i = 0;
  for (PluginEntry* e = pluginContext.entries; e; e = e->next) {
    if (!e->handle) continue;
    nodes[i].base = GetPluginBase(e->handle);
    nodes[i].next = i + 1 < count ? &nodes[i + 1] : nullptr;
    i++;
  }
  return nodes;
}

void FreeLoadedPluginArray(QmPluginListNode* array) { FreeMemory(array); }

void SetPluginDisabled(PluginBase* base, int32_t flag) {
  if (base) base->disabled = flag;
}
void SetPluginUserData(PluginBase* base, uintptr_t value) {
  if (base) base->userData = value;
}
uintptr_t GetPluginUserData(PluginBase* base) { return base ? base->userData : 0; }

PluginNode* AddPluginNode(PluginBase* base, int32_t id, const char* name, const char* text2,
                          const char* text3, uintptr_t value, uint32_t flags) {
  if (!base) return nullptr;
  const char* texts[3] = {name ? name : "", text2 ? text2 : "", text3 ? text3 : ""};
  size_t lengths[3];
  size_t total = sizeof(PluginNode);
  for (int i = 0; i < 3; i++) {
    lengths[i] = std::strlen(texts[i]);
    total += lengths[i] + 1;
  }
  auto* node = static_cast<PluginNode*>(AllocMemory(total, 1));
  if (!node) return nullptr;
  char* pool = reinterpret_cast<char*>(node + 1);
  const char** fields[3] = {&node->name, &node->text2, &node->text3};
  for (int i = 0; i < 3; i++) {
    std::memcpy(pool, texts[i], lengths[i] + 1);
    *fields[i] = pool;
    pool += lengths[i] + 1;
  }
  node->id = id;
  node->value = (flags & 1) ? value : 0;
  node->flags = flags;
  PluginNode** link = &base->nodes;
  while (*link) link = &(*link)->next;
  *link = node;
  return node;
}

const SaverFormatEntry* GetPluginSaverFormats(PluginBase* base, uint32_t capability,
                                              int32_t* count) {
  if (count) *count = 0;
  if (!base) return nullptr;
  for (int k = 0; k < 3; k++) {
    if (SAVER_KINDS[k].capability != capability) continue;
    if (count) *count = RecordOf(base)->savers[k].count;
    return RecordOf(base)->savers[k].entries;
  }
  return nullptr;
}

void FreePluginRecordLists(PluginRecord* record) {
  for (PluginNode* n = record->base.nodes; n;) {
    PluginNode* next = n->next;
    FreeMemory(n);
    n = next;
  }
  record->base.nodes = nullptr;
  for (SaverFormatList& list : record->savers) {
    FreeMemory(list.entries);
    list.entries = nullptr;
    list.count = 0;
  }
}

void FreePluginLibraries(VmState* L) {
  for (PluginEntry* e = pluginContext.entries; e; e = e->next) {
    PluginBase* base = GetPluginBase(e->handle);
    if (!base || !base->libraryInitialised) continue;
    base->libraryInitialised = 0;
    auto freeLibrary = reinterpret_cast<QmFreeLibraryFunc>(RecordOf(base)->entry[PE_FreeLibrary]);
    if (IsBridgedPlugin(base))
      NullAdapterHook();
    else if (freeLibrary)
      freeLibrary(L);
  }
}

void FreeAllPlugins() {
  FreeExtensionRecords();
  VmSetCommandCallSlot(nullptr);
  VmSetRaiseNoticeSlot(nullptr);
  for (PluginEntry* e = pluginContext.entries; e;) {
    PluginEntry* next = e->next;
    ClosePluginLibrary(e->handle);
    FreeMemory(e);
    e = next;
  }
  pluginContext.entries = nullptr;
  SetActiveDisplayAdapter(nullptr);
}
