// The "string" library's opener and its command ToString, the conversion
// of any value to text that ConsolePrint and the debug commands reach
// through the global "tostring".
//
// Invariant: a value's __tostring handler, when present, decides the text;
// otherwise the text depends only on the value's type and identity.
#include <cstdio>

#include "engine/engine.h"
#include "runtime/runtime.h"
#include "text/strcmds.h"
#include "text/text.h"

namespace {

int cmdToString(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  if (VmCallMetaMethod(L, 1, "__tostring")) {
    if (!VmIsString(L, -1)) return ERR_STRCALLBACK;
    return 1;
  }
  const char* kind = nullptr;
  switch (VmType(L, 1)) {
    case VM_TYPE_NIL:
      VmPushString(L, "");
      return 1;
    case VM_TYPE_BOOLEAN:
      VmPushString(L, VmToBoolean(L, 1) ? "true" : "false");
      return 1;
    case VM_TYPE_NUMBER:
    case VM_TYPE_STRING:
      VmPushValue(L, 1);
      VmToString(L, -1);
      return 1;
    case VM_TYPE_TABLE:
      kind = "Table";
      break;
    case VM_TYPE_FUNCTION:
      kind = "Function";
      break;
    case VM_TYPE_THREAD:
      kind = "Thread";
      break;
    default:
      kind = "UserData";
      break;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%s: %p", kind, VmToPointer(L, 1));
  VmPushString(L, text);
  return 1;
}

// The string library's commands; the rest of the library joins this table.
const CommandTableEntry stringCommands[] = {
    {"ToString", cmdToString},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode OpenStringLibrary(VmState* L) {
  // Texts remembered for another state are no concern of this one.
  ForgetTextPositions();
  // The whole library in registration order, ToString in its place.
  const CommandTableEntry* commands = StringLibraryCommands(stringCommands[0].function);
  ErrorCode err = RegisterLibrary(commands, "string");
  if (err != 0) return err;
  VmRegisterFunctions(L, nullptr, commands, 0);
  return 0;
}
