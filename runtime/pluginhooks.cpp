// The runtime's view of the plug-in manager, which sits above it: the
// manager installs its table (SetPluginManagerHooks) and the registries,
// the applet reader, the script's main loop, the streams and the
// vocabulary listing call through it. Every slot left empty answers as a
// run without plug-ins would.
#include "runtime/runtime.h"

namespace {

void noLoaderLists() {}
void noAppletVersion(int32_t, int32_t) {}
const DisplayAdapter* noDisplayAdapter() { return nullptr; }
int noFileAdapters(uint32_t, const char*, int, int (*)(const FileAdapterEntry*, void*), void*) {
  return 0;
}
const PluginEntry* noPlugins() { return nullptr; }
PluginBase* noPluginBase(PluginHandle*) { return nullptr; }
void* noPluginEntry(PluginBase*, const char*) { return nullptr; }

constexpr PluginManagerHooks NO_PLUGIN_MANAGER = {
    noLoaderLists, noAppletVersion, noDisplayAdapter, noFileAdapters,
    noPlugins,     noPluginBase,    noPluginEntry,
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
  take(&installed.displayAdapter, h.displayAdapter, d.displayAdapter);
  take(&installed.visitFileAdapters, h.visitFileAdapters, d.visitFileAdapters);
  take(&installed.pluginList, h.pluginList, d.pluginList);
  take(&installed.pluginBase, h.pluginBase, d.pluginBase);
  take(&installed.pluginEntry, h.pluginEntry, d.pluginEntry);
}

const PluginManagerHooks* GetPluginManagerHooks() { return &installed; }
