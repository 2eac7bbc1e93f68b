// Test plug-in "testlib" (version 1.9): a library of three commands and two
// constants, with a library initialiser and a RequirePlugin entry whose
// calls the tests can count.
#include "plugins/qmplugin.h"

namespace {

const PluginHostApi* host = nullptr;
int initCalls = 0;
int requireCalls = 0;
uintptr_t requireTag = 0;

// PlugAdd(a, b) -> a + b
int plugAdd(VmState* L) {
  double a = host->vm->toNumber(L, 1);
  double b = host->vm->toNumber(L, 2);
  host->vm->pushNumber(L, a + b);
  return 1;
}

// PlugInits() -> how often InitLibrary ran
int plugInits(VmState* L) {
  host->vm->pushNumber(L, initCalls);
  return 1;
}

// PlugFail() -> fails with error 1055
int plugFail(VmState*) { return 1055; }

const QmCommandEntry COMMANDS[] = {{"PlugAdd", plugAdd},
                                   {"PlugInits", plugInits},
                                   {"PlugFail", plugFail},
                                   {"NoFunction", nullptr},
                                   {nullptr, nullptr}};
const QmConstantEntry CONSTANTS[] = {
    {"TESTLIB_ANSWER", nullptr, 42}, {"TESTLIB_NAME", "forty-two", 0}, {nullptr, nullptr, 0}};

}  // namespace

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi* api, const char*) {
  host = api;
  base->capabilities = PLUGINCAPS_LIBRARY | PLUGINCAPS_REQUIRE;
  base->version = 1;
  base->revision = 9;
  base->moduleName = "TestLib";
  base->text = "Test library";
  return 1;
}

void ClosePlugin() {}

const char* GetBaseTable() { return nullptr; }
const QmCommandEntry* GetCommands() { return COMMANDS; }
const QmConstantEntry* GetConstants() { return CONSTANTS; }
int32_t InitLibrary(VmState*) {
  initCalls++;
  return 0;
}
void FreeLibrary(VmState*) {}

int32_t RequirePlugin(VmState*, int32_t, int32_t, uint32_t, const QmTagItem* tags) {
  requireCalls++;
  for (const QmTagItem* t = tags; t && t->tag; t++)
    if (t->tag == 1) requireTag = t->data;
  return 0;
}

int TestRequireCalls() { return requireCalls; }
uintptr_t TestRequireTag() { return requireTag; }

}  // extern "C"
