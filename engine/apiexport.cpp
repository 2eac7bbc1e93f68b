// The two command-API operations whose names the engine also uses for its
// internal forms (VmCheckStack, VmNewUserdata). This file sees only the
// public header, so the API forms can be defined under their own names; the
// work is done in api.cpp.
#include "engine/engine.h"

int VmApiCheckStack(VmState* L, int n);
void* VmApiNewUserdata(VmState* L, size_t size);

int VmCheckStack(VmState* L, int n) { return VmApiCheckStack(L, n); }

void* VmNewUserdata(VmState* L, size_t size) { return VmApiNewUserdata(L, size); }
