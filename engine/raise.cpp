// Raising errors and running code under a recovery record. A raise is a C++
// exception of the one type VmError; VmThrow is its only throw and the
// protected runners are its only catchers, so the engine's C++ frames unwind
// normally and no long jump crosses them.
//
// Invariant: after a protected runner has caught a raise, the state is as
// it was when the runner started (call records, frame, hooks, nesting
// depth, gosub stack) and the error-raised flag is clear again, so the
// API's index checks are active for the code that continues.
#include <cstdio>
#include <cstdlib>

#include "engine/vmcore.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"

namespace {

// The error handler of the plug-in hook that is running is notified; the
// unwind still happens: the raising code never continues.
VmRaiseNoticeSlot raiseNoticeSlot = nullptr;

// Call-record array size that a recovery shrinks an overgrown array back to.
constexpr int32_t CI_RESTORE_SIZE = VM_MAXCALLS;

// Runs f under a fresh error jump, restoring the previous jump afterwards.
// Returns 0, or the status of the raise that ended f (unstated when the
// raise carried none).
ErrorCode runUnderJump(VmState* L, VmProtectedFunction f, void* ud, ErrorCode unstated) {
  VmLongJmp lj;
  lj.status = 0;
  lj.previous = L->errorJmp;
  L->errorJmp = &lj;
  try {
    f(L, ud);
  } catch (const VmError& e) {
    lj.status = e.status != 0 ? e.status : unstated;
  }
  L->errorJmp = lj.previous;
  return lj.status;
}

}  // namespace

void VmSetRaiseNoticeSlot(VmRaiseNoticeSlot slot) { raiseNoticeSlot = slot; }

[[noreturn]] void VmThrow(VmState* L, ErrorCode status) {
  VmG(L)->errorRaised = true;
  if (L->errorJmp == nullptr) {
    if (VmG(L)->panic) VmG(L)->panic(L);
    std::exit(1);
  }
  L->errorJmp->status = status;
  if (raiseNoticeSlot) raiseNoticeSlot(L, status);
  throw VmError{status};
}

[[noreturn]] void VmRaiseError(VmState* L, ErrorCode code) {
  // A raise outside any unwind starts a new error: its location replaces
  // whatever an earlier, caught error left behind.
  if (!VmG(L)->errorRaised) ResetErrorLocation();
  if (vmErrorLocation.line == -1 && L->ci != L->base_ci && VmCiIsScript(L->ci))
    vmErrorLocation.line = VmCurrentLine(L, L->ci);
  RecordErrorLocation(L);
  VmThrow(L, code);
}

[[noreturn]] void VmTypeError(VmState* L, const VmValue* o, ErrorCode code, const char* suffix) {
  const char* name = nullptr;
  VmGetVarName(L, o, &name);
  char buf[ERROR_ARG_MAX + 1];
  std::snprintf(buf, sizeof buf, "%s%s", name != nullptr ? name : "??", suffix);
  SetErrorArgString(buf);
  VmRaiseError(L, code);
}

ErrorCode VmRunProtected(VmState* L, VmProtectedFunction f, void* ud) {
  ptrdiff_t oldci = L->ci != nullptr ? VmSaveCi(L, L->ci) : 0;
  bool hasci = L->ci != nullptr;
  uint16_t oldnCcalls = L->nCcalls;
  uint8_t oldallowhook = L->allowhook;
  // A raise that carries no status leaves the status 0 here.
  ErrorCode status = runUnderJump(L, f, ud, 0);
  if (status != 0) {
    if (hasci && L->ci != nullptr) {
      L->ci = VmRestoreCi(L, oldci);
      L->base = L->ci->base;
    }
    L->nCcalls = oldnCcalls;
    L->allowhook = oldallowhook;
    if (L->l_G != nullptr) VmG(L)->errorRaised = false;
  }
  return status;
}

ErrorCode VmProtectedCall(VmState* L, VmProtectedFunction f, void* ud, ptrdiff_t oldtop,
                          ptrdiff_t ef) {
  ptrdiff_t oldci = VmSaveCi(L, L->ci);
  uint16_t oldnCcalls = L->nCcalls;
  uint8_t oldallowhook = L->allowhook;
  ptrdiff_t olderrfunc = L->errfunc;
  int oldgosub = vmGosub.count;
  L->errfunc = ef;
  ErrorCode status = runUnderJump(L, f, ud, ERR_UNKNOWN);
  if (status != 0) {
    VmValue* top = VmRestoreStack(L, oldtop);
    VmCloseUpvalues(L, top);
    L->nCcalls = oldnCcalls;
    L->ci = VmRestoreCi(L, oldci);
    L->base = L->ci->base;
    L->allowhook = oldallowhook;
    L->top = top;
    if (L->size_ci > CI_RESTORE_SIZE && VmSaveCi(L, L->ci) < CI_RESTORE_SIZE - 1)
      VmReallocCallInfo(L, CI_RESTORE_SIZE);
    if (vmGosub.count > oldgosub) vmGosub.count = oldgosub;
    VmG(L)->errorRaised = false;
  }
  L->errfunc = olderrfunc;
  return status;
}
