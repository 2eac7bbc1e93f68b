// The plug-in loader: opens one ".qmp" shared object, hands it the host
// API, checks its name and the host version it requires, resolves the entry
// points of every capability it declares and puts it into the loader lists
// it serves by default.
//
// Invariant: OpenPluginLibrary either returns 0 with a complete handle, or
// leaves nothing behind: ClosePlugin runs exactly when InitPlugin succeeded,
// and the library, record and handle are freed on every failure path.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "platform/linux/platform.h"
#include "plugins/plugin_private.h"
#include "runtime/runtime.h"

namespace {

struct EntryRow {
  uint32_t capability;
  int extension;  // -1: always; else the extension bit of that capability
  const char* name;
};
constexpr EntryRow ENTRY_ROWS[PE_COUNT] = {
#define QM_ENTRY_ROW(cap, ext, name) {cap, ext, #name},
    QM_PLUGIN_ENTRY_LIST(QM_ENTRY_ROW)
#undef QM_ENTRY_ROW
};

// Module names that would clash with the loader names of loader strings.
constexpr const char* RESERVED_NAMES[] = {"default",   "standard", "inbuilt",
                                          "quillmere", "system",   "native"};

// Capability bits the loader knows; anything else alone is refused.
constexpr uint32_t KNOWN_CAPABILITIES = 0x7FFFF;

// Loader capabilities that enter their list by default, in this order.
constexpr uint32_t DEFAULT_LIST_CAPABILITIES[] = {0x40, 0x4, 0x8, 0x10};

// The host API that InitPlugin receives, installed by the host library
// (SetPluginHostApi) for the life of the process.
const PluginHostApi* installedHostApi = nullptr;

void* resolve(void* library, const char* name) { return dlsym(library, name); }

// The file name without its directory and without ".qmp".
void moduleNameOf(const char* path, char* out, size_t size) {
  const char* file = std::strrchr(path, '/');
  file = file ? file + 1 : path;
  StrCopyBounded(out, size, file);
  size_t length = std::strlen(out);
  if (length >= 4 && CompareNoCase(out + length - 4, ".qmp") == 0) out[length - 4] = '\0';
}

// 1 when the file name fits the plug-in's module name; *underscore when it
// matched only without its leading '_'.
bool nameMatches(const char* fileModule, const char* moduleName, bool* underscore) {
  *underscore = false;
  if (!moduleName) return false;
  if (CompareNoCase(fileModule, moduleName) == 0) return true;
  if (fileModule[0] == '_' && CompareNoCase(fileModule + 1, moduleName) == 0) {
    *underscore = true;
    return true;
  }
  return false;
}

void callClose(PluginRecord* record) {
  if (!record->base.closePlugin) return;
  if (IsBridgedPlugin(&record->base)) {
    NullAdapterHook();
    return;
  }
  reinterpret_cast<QmClosePluginFunc>(record->base.closePlugin)();
}

}  // namespace

ErrorCode OpenPluginLibrary(const char* path, uint32_t* mask, PluginHandle** out) {
  *out = nullptr;
  auto* handle = static_cast<PluginHandle*>(AllocMemory(sizeof(PluginHandle), 1));
  if (!handle) return ERR_MEM;

  char fullPath[PLUGIN_PATH_SIZE];
  if (!ResolveFullPath(path, fullPath, sizeof fullPath))
    StrCopyBounded(fullPath, sizeof fullPath, path);
  char* native = nullptr;
  if (!unicodeUtf8Mode) {
    native = Latin1ToUtf8Dup(fullPath);
    if (!native) {
      FreeMemory(handle);
      return ERR_MEM;
    }
  }
  void* library = dlopen(native ? native : fullPath, RTLD_LAZY | RTLD_LOCAL);
  FreeMemory(native);
  if (!library) {
    const char* message = dlerror();
    SetErrorArgString(message ? message : fullPath);
    FreeMemory(handle);
    return ERR_DLOPEN;
  }
  handle->library = library;

  auto* record = static_cast<PluginRecord*>(AllocMemory(sizeof(PluginRecord), 1));
  if (!record) {
    dlclose(library);
    FreeMemory(handle);
    return ERR_MEM;
  }
  handle->record = record;
  PluginBase* base = &record->base;

  char fileModule[PLUGIN_MODULE_NAME_SIZE];
  moduleNameOf(path, fileModule, sizeof fileModule);
  const char* displayName = GetDisplayFileName(path);
  char display[PLUGIN_PATH_SIZE];
  StrCopyBounded(display, sizeof display, displayName);

  ErrorCode error = ERR_NONE;
  bool initialised = false;
  auto init = reinterpret_cast<QmInitPluginFunc>(resolve(library, "InitPlugin"));
  void* close = resolve(library, "ClosePlugin");
  // Every plug-in is handed the host API; without one none can start.
  if (!init || !close || !installedHostApi) {
    SetErrorArgString(display);
    error = ERR_LOADPLUGIN;
  }
  if (!error) {
    base->hostVersion = QM_HOST_VERSION;
    base->hostRevision = QM_HOST_REVISION;
    // A display adapter may install itself only while InitPlugin runs.
    int ok = 0;
    {
      AdapterInstallationWindow window;
      ok = init(base, installedHostApi, fullPath);
    }
    if (!ok) {
      SetErrorArgString(display);
      error = ERR_LOADPLUGIN;
    } else {
      initialised = true;
      // Only now may ClosePlugin run: the plug-in has set itself up.
      base->initPlugin = reinterpret_cast<void*>(init);
      base->closePlugin = close;
    }
  }
  if (!error) {
    bool underscore = false;
    bool ok = nameMatches(fileModule, base->moduleName, &underscore);
    if (ok) {
      for (const char* reserved : RESERVED_NAMES)
        if (CompareNoCase(base->moduleName, reserved) == 0) ok = false;
    }
    if (!ok) {
      SetErrorArgString(display);
      error = ERR_LOADPLUGIN;
    }
  }
  if (!error) {
    handle->capabilities = base->capabilities;
    if (base->hostVersion > QM_HOST_VERSION ||
        (base->hostVersion == QM_HOST_VERSION && base->hostRevision > QM_HOST_REVISION)) {
      char version[32];
      std::snprintf(version, sizeof version, "%d.%d", base->hostVersion, base->hostRevision);
      SetErrorArgString(version);
      error = ERR_NEWQMPLUGIN;
    }
  }
  if (!error && (base->capabilities & PLUGINCAPS_EXTENSION)) {
    auto getExtensions = reinterpret_cast<QmGetExtensionsFunc>(resolve(library, "GetExtensions"));
    if (!getExtensions) {
      SetErrorArgString("GetExtensions");
      error = ERR_PLUGINSYMBOL;
    } else {
      for (int n = 0; n < 32; n++) {
        uint32_t bit = uint32_t{1} << n;
        if (bit == PLUGINCAPS_EXTENSION || !(base->capabilities & bit)) continue;
        base->extensions[n] = IsBridgedPlugin(base) ? static_cast<uint32_t>(NullAdapterHook())
                                                    : getExtensions(bit, 0);
      }
    }
  }
  if (!error) {
    for (int i = 0; i < PE_COUNT; i++) {
      const EntryRow& row = ENTRY_ROWS[i];
      if (!(base->capabilities & row.capability)) continue;
      if (row.extension >= 0) {
        int n = FindLowestBit(row.capability);
        if (!(base->extensions[n] & (uint32_t{1} << row.extension))) continue;
      }
      record->entry[i] = resolve(library, row.name);
      if (!record->entry[i]) {
        SetErrorArgString(row.name);
        error = ERR_PLUGINSYMBOL;
        break;
      }
    }
  }
  if (!error) {
    for (uint32_t capability : DEFAULT_LIST_CAPABILITIES) {
      if (!(base->capabilities & capability)) continue;
      if (base->extensions[FindLowestBit(capability)] & QM_LOADEREXT_NAMEDONLY) continue;
      error = AddToLoaderList(base, capability);
      if (error) break;
    }
  }
  if (!error && !(base->capabilities & KNOWN_CAPABILITIES & ~PLUGINCAPS_EXTENSION)) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", base->capabilities);
    SetErrorArgString(text);
    error = ERR_PLUGINTYPE;
  }
  if (!error) BindDisplayAdapterHooks(base);
  if (error) {
    for (uint32_t capability : DEFAULT_LIST_CAPABILITIES) RemoveFromLoaderList(base, capability);
    ForgetDisplayAdapter(base);
    if (initialised) callClose(record);
    FreePluginRecordLists(record);
    dlclose(library);
    FreeMemory(record);
    FreeMemory(handle);
    return error;
  }
  *mask = handle->capabilities;
  *out = handle;
  return ERR_NONE;
}

void ClosePluginLibrary(PluginHandle* handle) {
  if (!handle) return;
  PluginRecord* record = handle->record;
  // Plug-ins may have entered more lists through the host API.
  static constexpr uint32_t LISTS[] = {0x4, 0x8, 0x10, 0x40, 0x4000, 0x8000, 0x40000};
  for (uint32_t capability : LISTS) RemoveFromLoaderList(&record->base, capability);
  ForgetDisplayAdapter(&record->base);
  callClose(record);
  FreePluginRecordLists(record);
  dlclose(handle->library);
  FreeMemory(record);
  FreeMemory(handle);
}

void SetPluginHostApi(const PluginHostApi* api) { installedHostApi = api; }

PluginBase* GetPluginBase(PluginHandle* handle) { return handle ? &handle->record->base : nullptr; }

void* GetPluginEntry(PluginBase* base, const char* name) {
  if (!base || !name) return nullptr;
  for (int i = 0; i < PE_COUNT; i++)
    if (std::strcmp(ENTRY_ROWS[i].name, name) == 0) return RecordOf(base)->entry[i];
  return nullptr;
}
