// Test plug-ins with one fault each, chosen by a build definition:
// BROKEN_VERSION requires host 8.1; BROKEN_NO_CLOSE lacks ClosePlugin;
// BROKEN_NO_SYMBOL declares a library without GetCommands; BROKEN_INIT's
// InitPlugin fails; BROKEN_CAPS declares no capability the host knows;
// BROKEN_BRIDGED is a well-formed library whose kind word asks for the call
// bridge. ClosePlugin leaves the error number 77 behind, so the tests see
// whether the host called it.
#include "plugins/qmplugin.h"

#if defined(BROKEN_VERSION)
#define MODULE "badversion"
#elif defined(BROKEN_NO_CLOSE)
#define MODULE "noclose"
#elif defined(BROKEN_NO_SYMBOL)
#define MODULE "nosymbol"
#elif defined(BROKEN_INIT)
#define MODULE "initfails"
#elif defined(BROKEN_CAPS)
#define MODULE "nocaps"
#else
#define MODULE "bridged"
#endif

namespace {
const PluginHostApi* host = nullptr;
}

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi* api, const char*) {
  host = api;
  base->capabilities = PLUGINCAPS_LIBRARY;
  base->moduleName = MODULE;
#ifdef BROKEN_VERSION
  base->hostRevision = 1;  // host 8.1
#endif
#ifdef BROKEN_CAPS
  base->capabilities = 0x80000;
#endif
#ifdef BROKEN_BRIDGED
  base->kind = PLUGIN_KIND_BRIDGED;
#endif
#ifdef BROKEN_INIT
  return 0;
#else
  return 1;
#endif
}

#ifndef BROKEN_NO_CLOSE
void ClosePlugin() { host->system->setErrorArgNumber(77); }
#endif

const char* GetBaseTable() { return nullptr; }
#ifndef BROKEN_NO_SYMBOL
const QmCommandEntry* GetCommands() { return nullptr; }
#endif
const QmConstantEntry* GetConstants() { return nullptr; }
int32_t InitLibrary(VmState*) { return 0; }
void FreeLibrary(VmState*) {}

}  // extern "C"
