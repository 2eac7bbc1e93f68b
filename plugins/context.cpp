// The plug-in folder's context record (context_private.h) and its Init and
// Free, which the library table calls; Init also lends the runtime the
// manager's services (SetPluginManagerHooks).
#include "platform/linux/platform.h"
#include "plugins/context_private.h"

#include "plugins/plugins.h"
#include "plugins/plugin_private.h"
#include "runtime/runtime.h"

PluginContext pluginContext;

namespace {

// What the runtime reaches of the manager (SetPluginManagerHooks).
const PluginManagerHooks RUNTIME_HOOKS = {
    EmptyLoaderLists,    SetAppletVersion,      RunMainLoopThroughAdapter,
    VisitAdaptersOfKind, GetFileAdapterCalls(),
};

// Installed when the library loads as well, so that programs which never
// build the folders' records (test programs among them) reach the manager
// as the player does.
const bool installedAtLoad = (SetPluginManagerHooks(&RUNTIME_HOOKS), true);

}  // namespace

void InitPluginContext() {
  static_cast<void>(installedAtLoad);
  pluginContext = PluginContext{};
  SetPluginManagerHooks(&RUNTIME_HOOKS);
}

// Shut-down has closed the plug-ins' libraries and deleted the unpacking
// directory; what is left of the lists and records goes here.
void FreePluginContext() {
  EmptyLoaderLists();
  FreeExtensionRecords();
  FreeAllPlugins();
  SetTimerAdapterHooks(nullptr, nullptr);
  InitPluginContext();
}
