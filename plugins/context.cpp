// The plug-in folder's context record: Init and Free of the state one run
// of the player builds in this folder (see plugins.h).
#include "plugins/plugins.h"

void InitPluginContext() {}

void FreePluginContext() { FreeAllPlugins(); }
