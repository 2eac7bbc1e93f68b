// References that object data keeps to script values: VM registry
// references, so a value stays alive while an object holds it.
// Invariant: every reference created is released exactly once; a nil value
// gives -1, which holds nothing and is never released.
#include "engine/engine.h"
#include "runtime/objref.h"

namespace {

int32_t registryCreate(VmState* L, int index) {
  VmPushValue(L, index);
  return VmCreateReference(L, VM_REGISTRY_INDEX);
}

int32_t registryCopy(VmState* L, int32_t ref) {
  if (ref < 0) return -1;
  VmRawGetI(L, VM_REGISTRY_INDEX, ref);
  return VmCreateReference(L, VM_REGISTRY_INDEX);
}

void registryRelease(VmState* L, int32_t ref) { VmReleaseReference(L, VM_REGISTRY_INDEX, ref); }

const ObjectRefFunctions registryFunctions = {registryCreate, registryCopy, registryRelease};
// A test seam (SetObjectRefFunctions); no run state.
const ObjectRefFunctions* active = &registryFunctions;

}  // namespace

int32_t CreateObjectRef(VmState* L, int index) { return active->create(L, index); }

int32_t CopyObjectRef(VmState* L, int32_t ref) { return active->copy(L, ref); }

void ReleaseObjectRef(VmState* L, int32_t ref) {
  if (ref >= 0) active->release(L, ref);
}

void SetObjectRefFunctions(const ObjectRefFunctions* functions) {
  active = functions ? functions : &registryFunctions;
}
