// Test plug-ins that the loader must refuse, one per build definition:
// BROKEN_VERSION requires host 8.1; BROKEN_NO_CLOSE lacks ClosePlugin;
// BROKEN_NO_SYMBOL declares a library without GetCommands.
#include "plugins/qmplugin.h"

#if defined(BROKEN_VERSION)
#define MODULE "badversion"
#elif defined(BROKEN_NO_CLOSE)
#define MODULE "noclose"
#else
#define MODULE "nosymbol"
#endif

namespace {
int closeCalls = 0;
}

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi*, const char*) {
  base->capabilities = PLUGINCAPS_LIBRARY;
  base->moduleName = MODULE;
#ifdef BROKEN_VERSION
  base->hostRevision = 1;  // host 8.1
#endif
  return 1;
}

// How often the host called ClosePlugin.
int BrokenCloseCalls() { return closeCalls; }

#ifndef BROKEN_NO_CLOSE
void ClosePlugin() { closeCalls++; }
#endif

const char* GetBaseTable() { return nullptr; }
#ifndef BROKEN_NO_SYMBOL
const QmCommandEntry* GetCommands() { return nullptr; }
#endif
const QmConstantEntry* GetConstants() { return nullptr; }
int32_t InitLibrary(VmState*) { return 0; }
void FreeLibrary(VmState*) {}

}  // extern "C"
