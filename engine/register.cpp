// Registration of commands, constants and labels: library command tables
// become global built-in closures, constant tables fill the registry tables
// "constants" and "userconstants", the applet's labels and label references
// fill "labels" and "labelrefs", and a few registry values are kept by name.
//
// Invariant: every name is stored lower-cased and cut to VM_NAME_MAX
// characters, so compiled code, which asks by lower-case names, finds it
// whatever capitalisation the table or the script used.
#include <cstring>
#include <initializer_list>

#include "engine/object.h"
#include "engine/engine.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"

namespace {

// Constant names of the platform defines, in their fixed order.
const char* const platformDefines[] = {
    "QM_AMIGA", "QM_MACOS",         "QM_LINUX",    "QM_WINDOWS",  "QM_ANDROID",
    "QM_IOS",   "QM_LITTLE_ENDIAN", "QM_64BIT",    "QM_AMIGAOS4", "QM_MORPHOS",
    "QM_AROS",  "QM_WARPOS",        "QM_AMIGAOS3", nullptr,
};

struct LowerName {
  char text[VM_NAME_MAX + 1];
  explicit LowerName(const char* name) {
    const char* from = name != nullptr ? name : "";
    // Command, library and constant names are nearly all ASCII: they are
    // copied and lower-cased byte by byte. A name with any other byte goes
    // through the full case mapping of the text mode.
    size_t i = 0;
    for (; i < VM_NAME_MAX && from[i] != '\0'; i++) {
      auto c = static_cast<unsigned char>(from[i]);
      if (c >= 0x80) {
        StrCopyBounded(text, sizeof text, from);
        StrToLower(text);
        return;
      }
      text[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    }
    text[i] = '\0';
  }
};

// Pushes registry[name] when it is a table; creates it when asked. Returns
// false (nothing pushed) when it is missing and not created.
bool pushRegistryTable(VmState* L, const char* name, bool create) {
  VmPushString(L, name);
  VmRawGet(L, VM_REGISTRY_INDEX);
  if (VmType(L, -1) == VM_TYPE_TABLE) return true;
  VmSetTop(L, -2);
  if (!create) return false;
  VmNewTable(L);
  VmPushString(L, name);
  VmPushValue(L, -2);
  VmRawSet(L, VM_REGISTRY_INDEX);
  return true;
}

// Looks the lower-cased name up in one registry table; leaves the value
// pushed and returns true when it is not nil.
bool lookUp(VmState* L, const char* table, const char* name) {
  if (!pushRegistryTable(L, table, false)) return false;
  VmPushString(L, name);
  VmRawGet(L, -2);
  VmRemove(L, -2);
  if (VmType(L, -1) != VM_TYPE_NIL) return true;
  VmSetTop(L, -2);
  return false;
}

void pushRegistryValue(VmState* L, const char* name) {
  VmPushString(L, name);
  VmRawGet(L, VM_REGISTRY_INDEX);
}

void setRegistryValue(VmState* L, const char* name) {
  VmPushString(L, name);
  VmInsert(L, -2);
  VmRawSet(L, VM_REGISTRY_INDEX);
}

}  // namespace

int VmRegisterFunctions(VmState* L, const char* libname, const CommandTableEntry* table, int nup) {
  if (libname != nullptr) {
    LowerName lib(libname);
    VmPushString(L, lib.text);
    VmGetTable(L, VM_GLOBALS_INDEX);
    if (VmType(L, -1) == VM_TYPE_NIL) {
      VmSetTop(L, -2);
      VmNewTable(L);
      VmPushString(L, lib.text);
      VmPushValue(L, -2);
      VmSetTable(L, VM_GLOBALS_INDEX);
    }
    VmInsert(L, -(nup + 1));
  }
  int any = 0;
  for (; table->name != nullptr; table++) {
    if (table->function == nullptr) continue;
    any = 1;
    LowerName name(table->name);
    VmPushString(L, name.text);
    for (int i = 0; i < nup; i++) VmPushValue(L, -(nup + 1));
    VmPushCClosure(L, table->function, nup);
    VmSetTable(L, -(nup + 3));
  }
  VmSetTop(L, -nup - 1);
  return any;
}

namespace {

void enterConstants(VmState* L, const ConstantTableEntry* table, const char* registryName) {
  pushRegistryTable(L, registryName, true);
  for (; table->name != nullptr; table++) {
    LowerName name(table->name);
    VmPushString(L, name.text);
    if (table->text != nullptr)
      VmPushString(L, table->text);
    else
      VmPushNumber(L, table->number);
    VmRawSet(L, -3);
  }
  VmSetTop(L, -2);
}

}  // namespace

void VmCompleteConstants(VmState* L) {
  VmGlobalState* g = VmG(L);
  // A table leaves the list once it is in: after a failure (memory) it is
  // entered again, whole, the next time.
  while (g->waitingConstantCount > 0) {
    enterConstants(L, g->waitingConstants[0], "constants");
    g->waitingConstantCount--;
    std::memmove(g->waitingConstants, g->waitingConstants + 1,
                 sizeof g->waitingConstants[0] * static_cast<size_t>(g->waitingConstantCount));
  }
}

void VmDeferConstantTables(VmState* L, int on) { VmG(L)->deferConstants = on != 0; }

void VmRegisterConstants(VmState* L, const ConstantTableEntry* table, int user) {
  if (user) {
    enterConstants(L, table, "userconstants");
    return;
  }
  VmGlobalState* g = VmG(L);
  if (!g->deferConstants || g->waitingConstantCount == VM_WAITING_CONSTANT_TABLES)
    VmCompleteConstants(L);
  if (g->deferConstants)
    g->waitingConstants[g->waitingConstantCount++] = table;
  else
    enterConstants(L, table, "constants");
}

int VmFindConstant(VmState* L, const char* name, const char** text, double* number) {
  VmCompleteConstants(L);
  LowerName key(name);
  if (!lookUp(L, "constants", key.text) && !lookUp(L, "userconstants", key.text)) return 0;
  if (VmType(L, -1) == VM_TYPE_NUMBER) {
    if (number != nullptr) *number = VmToNumber(L, -1);
    if (text != nullptr) *text = nullptr;
  } else if (VmType(L, -1) == VM_TYPE_STRING) {
    // The string stays alive in its constants table.
    if (text != nullptr) *text = VmToString(L, -1);
  }
  VmSetTop(L, -2);
  return 1;
}

void VmClearUserConstants(VmState* L) {
  VmPushNil(L);
  setRegistryValue(L, "userconstants");
}

void VmRemovePlatformDefines(VmState* L) {
  VmCompleteConstants(L);
  for (const char* table : {"constants", "userconstants"}) {
    if (!pushRegistryTable(L, table, false)) return;
    for (int i = 0; platformDefines[i] != nullptr; i++) {
      LowerName name(platformDefines[i]);
      VmPushString(L, name.text);
      VmPushNil(L);
      VmRawSet(L, -3);
    }
    VmSetTop(L, -2);
  }
}

int IsPlatformDefine(const char* name) {
  for (int i = 0; platformDefines[i] != nullptr; i++)
    if (CompareNoCase(name, platformDefines[i]) == 0) return 1;
  return 0;
}

void VmAddLabel(VmState* L, const char* name, int position) {
  LowerName key(name);
  pushRegistryTable(L, "labels", true);
  VmPushString(L, key.text);
  VmPushNumber(L, position);
  VmRawSet(L, -3);
  VmSetTop(L, -2);
}

int VmFindLabel(VmState* L, const char* name) {
  LowerName key(name);
  if (!lookUp(L, "labels", key.text)) return -1;
  int position = VmType(L, -1) == VM_TYPE_NUMBER ? static_cast<int>(VmToNumber(L, -1)) : -1;
  VmSetTop(L, -2);
  return position;
}

int VmAddLabelReference(VmState* L, const char* name, int position) {
  LowerName key(name);
  pushRegistryTable(L, "labelrefs", true);
  VmPushString(L, "n");
  VmRawGet(L, -2);
  int n = VmType(L, -1) == VM_TYPE_NUMBER ? static_cast<int>(VmToNumber(L, -1)) : 0;
  VmSetTop(L, -2);
  VmNewTable(L);
  VmPushString(L, "name");
  VmPushString(L, key.text);
  VmRawSet(L, -3);
  VmPushString(L, "pc");
  VmPushNumber(L, position);
  VmRawSet(L, -3);
  VmRawSetI(L, -2, n);
  VmPushString(L, "n");
  VmPushNumber(L, n + 1);
  VmRawSet(L, -3);
  VmSetTop(L, -2);
  return n;
}

void VmSetRegistryNumber(VmState* L, const char* name, double n) {
  VmPushNumber(L, n);
  setRegistryValue(L, name);
}

void VmSetRegistryString(VmState* L, const char* name, const char* s) {
  VmPushString(L, s);
  setRegistryValue(L, name);
}

void VmSetRegistryPointer(VmState* L, const char* name, void* p) {
  VmPushLightUserdata(L, p);
  setRegistryValue(L, name);
}

double VmGetRegistryNumber(VmState* L, const char* name) {
  pushRegistryValue(L, name);
  double n = VmToNumber(L, -1);
  VmSetTop(L, -2);
  return n;
}

const char* VmGetRegistryString(VmState* L, const char* name) {
  // The text stays alive as the registry's value.
  pushRegistryValue(L, name);
  const char* s = VmType(L, -1) == VM_TYPE_STRING ? VmToString(L, -1) : nullptr;
  VmSetTop(L, -2);
  return s;
}

void* VmGetRegistryPointer(VmState* L, const char* name) {
  pushRegistryValue(L, name);
  void* p = VmToUserdata(L, -1);
  VmSetTop(L, -2);
  return p;
}
