// The runtime's view of the plug-in manager, which sits above it: the
// manager installs its table (SetPluginManagerHooks) and the registries,
// the applet reader, the script's main loop and the streams call through
// it. Every slot left empty answers as a run without plug-ins would.
#include "runtime/runtime.h"

namespace {

void noLoaderLists() {}
void noAppletVersion(int32_t, int32_t) {}
int32_t directMainLoop(VmState* L, int32_t (*chunk)(VmState*, void*), void* data) {
  return chunk(L, data);
}
int noFileAdapters(uint32_t, const char*, int, int (*)(const FileAdapterEntry*, void*), void*) {
  return 0;
}

// Without adapters no stream or lock ever holds one, so these are never
// called; they answer as an adapter that lacks every call.
const char* noName(const FileAdapterEntry*) { return nullptr; }
void* noOpen(const FileAdapterEntry*, const char*, const AdapterOpenRequest*) { return nullptr; }
int32_t noFileCall(const FileAdapterEntry*, void*) { return 0; }
size_t noRead(const FileAdapterEntry*, void*, void*, size_t) { return 0; }
size_t noWrite(const FileAdapterEntry*, void*, const void*, size_t) { return 0; }
int64_t noSeek(const FileAdapterEntry*, void*, int64_t, int32_t) { return 0; }
int32_t noPutChar(const FileAdapterEntry*, void*, int32_t) { return 0; }
int noExamineFile(const FileAdapterEntry*, void*, FileInfo*) { return 0; }
int noExaminePath(const FileAdapterEntry*, const char*, FileInfo*) { return 0; }
void* noOpenDir(const FileAdapterEntry*, const char*, int32_t) { return nullptr; }
int noNextDirEntry(const FileAdapterEntry*, void*, const char**, FileInfo*) { return 0; }
ErrorCode noRewindDir(const FileAdapterEntry*, void*) { return ERR_PLUGINSUPPORT; }
void noCloseDir(const FileAdapterEntry*, void*) {}

constexpr FileAdapterCalls NO_ADAPTER_CALLS = {
    noName,     noOpen,         noFileCall,  noRead,     noWrite,       noSeek,
    noFileCall, noPutChar,      noFileCall,  noFileCall, noExamineFile, noExaminePath,
    noOpenDir,  noNextDirEntry, noRewindDir, noCloseDir,
};

constexpr PluginManagerHooks NO_PLUGIN_MANAGER = {
    noLoaderLists, noAppletVersion, directMainLoop, noFileAdapters, &NO_ADAPTER_CALLS,
};

// Set by the plug-in manager for the life of the process, so the
// runtime's context record does not hold it.
constinit PluginManagerHooks installed = NO_PLUGIN_MANAGER;

template <typename F>
void take(F* slot, F given, F standIn) {
  *slot = given ? given : standIn;
}

}  // namespace

void SetPluginManagerHooks(const PluginManagerHooks* hooks) {
  const PluginManagerHooks& h = hooks ? *hooks : NO_PLUGIN_MANAGER;
  const PluginManagerHooks& d = NO_PLUGIN_MANAGER;
  take(&installed.emptyLoaderLists, h.emptyLoaderLists, d.emptyLoaderLists);
  take(&installed.setAppletVersion, h.setAppletVersion, d.setAppletVersion);
  take(&installed.runMainLoop, h.runMainLoop, d.runMainLoop);
  take(&installed.visitFileAdapters, h.visitFileAdapters, d.visitFileAdapters);
  take(&installed.fileAdapterCalls, h.fileAdapterCalls, d.fileAdapterCalls);
}

const PluginManagerHooks* GetPluginManagerHooks() { return &installed; }
