// The plug-in folder's context record (context_private.h) and its Init and
// Free, which the library table calls.
#include "platform/linux/platform.h"
#include "plugins/context_private.h"

#include "plugins/plugins.h"
#include "plugins/plugin_private.h"

PluginContext pluginContext;

void InitPluginContext() { pluginContext = PluginContext{}; }

// Shut-down has closed the plug-ins' libraries and deleted the unpacking
// directory; what is left of the lists and records goes here.
void FreePluginContext() {
  EmptyLoaderLists();
  FreeExtensionRecords();
  FreeAllPlugins();
  SetTimerAdapterHooks(nullptr, nullptr);
  InitPluginContext();
}
