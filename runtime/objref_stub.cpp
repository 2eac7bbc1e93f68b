// Object-data references without the auxiliary library. Waiting for the
// auxiliary library: references cannot hold script values yet, so these
// hand out distinct numbers from 3 upward (as the registry would) and
// release nothing. Joining means calling VmCreateReference, pushing the
// referenced value and VmReleaseReference on the registry here.
#include "runtime/objref.h"

namespace {

int32_t nextRef = 3;  // the first reference a registry table hands out

int32_t stubCreate(VmState*, int) { return nextRef++; }
int32_t stubCopy(VmState*, int32_t ref) { return ref < 0 ? -1 : nextRef++; }
void stubRelease(VmState*, int32_t) {}

const ObjectRefFunctions stubFunctions = {stubCreate, stubCopy, stubRelease};
const ObjectRefFunctions* active = &stubFunctions;

}  // namespace

int32_t CreateObjectRef(VmState* L, int index) { return active->create(L, index); }

int32_t CopyObjectRef(VmState* L, int32_t ref) { return active->copy(L, ref); }

void ReleaseObjectRef(VmState* L, int32_t ref) {
  if (ref >= 0) active->release(L, ref);
}

void SetObjectRefFunctions(const ObjectRefFunctions* functions) {
  active = functions ? functions : &stubFunctions;
}
