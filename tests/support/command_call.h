// Calling one built-in command by its global name from a test, protected,
// so that both a raised error and an error code that the command returns
// come back as the call's result (a command's returned code reaches the
// caller only through VmCall, which the trampoline below raises).
#pragma once

#include <cctype>
#include <string>

#include "engine/engine.h"

namespace testcall {

inline int RaiseReturnedError(VmState* L) {
  int n = VmGetTop(L);
  ErrorCode err = VmCall(L, n - 1, VM_MULTRET);
  if (err != 0) VmRaiseError(L, err);
  return VmGetTop(L);
}

// The nargs values on top of the stack are the arguments; on success the
// results replace them, on failure they are gone.
inline ErrorCode Call(VmState* L, const char* name, int nargs) {
  VmPushCClosure(L, RaiseReturnedError, 0);
  VmInsert(L, -(nargs + 1));
  VmPushString(L, name);
  VmGetTable(L, VM_GLOBALS_INDEX);
  VmInsert(L, -(nargs + 1));
  return VmPCall(L, nargs + 1, VM_MULTRET, 0);
}

// Calls the function below the nargs values on top of the stack.
inline ErrorCode CallValue(VmState* L, int nargs) {
  VmPushCClosure(L, RaiseReturnedError, 0);
  VmInsert(L, -(nargs + 2));
  return VmPCall(L, nargs + 1, VM_MULTRET, 0);
}

// Calls the global command `name` (in any case) with the nargs values on
// top of the stack; collect(L, i) sees each of its results in order. The
// stack is left as it was below the arguments. Returns the raised code, else
// the code the command returned.
template <class Collect>
ErrorCode CallCollecting(VmState* L, const char* name, int nargs, Collect&& collect) {
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  int base = VmGetTop(L) - nargs;
  ErrorCode status = Call(L, lower.c_str(), nargs);
  if (status == ERR_NONE)
    for (int i = base + 1; i <= VmGetTop(L); ++i) collect(L, i);
  VmSetTop(L, base);
  return status;
}

}  // namespace testcall
