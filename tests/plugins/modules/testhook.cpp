// Test plug-in "testhook": HookCommand(name) puts the global command of
// that name into an extension record, so that every later call of it runs
// the plug-in's hook instead: the hook returns 777, or raises error 1055
// when its first argument is the text "raise"; the record's error handler
// counts the errors that unwound through the hook (HookErrors()).
#include <cstring>

#include "plugins/qmplugin.h"

namespace {

const PluginHostApi* host = nullptr;
QmExtensionRecord* record = nullptr;
int errorsSeen = 0;
int32_t lastStatus = 0;

int hook(QmExtensionRecord*, VmState* L, QmCommandFunction, void*) {
  const VmApiTable* vm = host->vm;
  if (vm->getTop(L) >= 1 && vm->type(L, 1) == 4 && std::strcmp(vm->toString(L, 1), "raise") == 0)
    vm->raiseError(L, 1055);
  vm->pushNumber(L, 777);
  return 1;
}

void onError(QmExtensionRecord*, VmState*, int32_t status, void*) {
  errorsSeen++;
  lastStatus = status;
}

int hookCommand(VmState* L) {
  const VmApiTable* vm = host->vm;
  if (!record) {
    record = host->system->addExtension(hook, nullptr);
    if (!record) return 1000;
    host->system->setExtensionErrorHandler(record, onError);
  }
  vm->pushValue(L, 1);
  vm->getTable(L, -10001);  // the globals
  QmCommandFunction f = vm->toBuiltinFunction(L, -1);
  vm->setTop(L, -2);
  if (!f) return 1055;
  return host->system->addExtensionKey(record, f) ? 1000 : 0;
}

int hookErrors(VmState* L) {
  host->vm->pushNumber(L, errorsSeen);
  host->vm->pushNumber(L, lastStatus);
  return 2;
}

int unhook(VmState*) {
  host->system->removeExtension(record);
  record = nullptr;
  return 0;
}

const QmCommandEntry COMMANDS[] = {{"HookCommand", hookCommand},
                                   {"HookErrors", hookErrors},
                                   {"Unhook", unhook},
                                   {nullptr, nullptr}};

}  // namespace

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi* api, const char*) {
  host = api;
  base->capabilities = PLUGINCAPS_LIBRARY;
  base->version = 1;
  base->moduleName = "testhook";
  return 1;
}

void ClosePlugin() {}

const char* GetBaseTable() { return nullptr; }
const QmCommandEntry* GetCommands() { return COMMANDS; }
const QmConstantEntry* GetConstants() { return nullptr; }
int32_t InitLibrary(VmState*) { return 0; }
void FreeLibrary(VmState*) {}

}  // extern "C"
