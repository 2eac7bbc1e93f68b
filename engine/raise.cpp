// Raising errors and running code under a recovery record. A raise is a C++
// exception of the one type VmError; VmThrow is its only throw and the
// protected runners are its only catchers, so the engine's C++ frames unwind
// normally and no long jump crosses them.
#include <cstdlib>

#include "engine/object.h"

[[noreturn]] void VmThrow(VmState *L, ErrorCode status)
{
    VmG(L)->errorRaised = true;
    if (L->errorJmp == nullptr) {
        if (VmG(L)->panic)
            VmG(L)->panic(L);
        std::exit(1);
    }
    L->errorJmp->status = status;
    throw VmError{status};
}

[[noreturn]] void VmRaiseError(VmState *L, ErrorCode code)
{
    VmThrow(L, code);
}

ErrorCode VmRunProtected(VmState *L, VmProtectedFunction f, void *ud)
{
    VmLongJmp lj;
    lj.status = 0;
    lj.previous = L->errorJmp;
    L->errorJmp = &lj;
    try {
        f(L, ud);
    } catch (const VmError &e) {
        lj.status = e.status != 0 ? e.status : lj.status;
    }
    L->errorJmp = lj.previous;
    return lj.status;
}
