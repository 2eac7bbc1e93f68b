// References that object data keeps to script values: VM registry
// references of the auxiliary library (runtime/objref.cpp).
// Invariant: every reference created is released exactly once.
#pragma once

#include <cstdint>

struct VmState;

// A reference to the value at the stack index.
int32_t CreateObjectRef(VmState* L, int index);
// A second reference to the value that ref holds.
int32_t CopyObjectRef(VmState* L, int32_t ref);
// Negative references are ignored.
void ReleaseObjectRef(VmState* L, int32_t ref);

// Replacement functions, for tests; null restores the defaults.
struct ObjectRefFunctions {
  int32_t (*create)(VmState* L, int index);
  int32_t (*copy)(VmState* L, int32_t ref);
  void (*release)(VmState* L, int32_t ref);
};
void SetObjectRefFunctions(const ObjectRefFunctions* functions);
