// Calling values: entering script frames, running built-in commands under
// the command calling convention (result counts, error codes, label
// subroutines), the error policy around a failing command (RaiseOnError
// handler, CALLCATCH capture), the call trace, hooks and the run state
// (gosub stack, last error, quit flag) that belongs to them.
//
// Invariant: a call record is pushed by VmPrepareCall and popped only by
// VmPostCall or by a protected call's recovery, so that records and frames
// always nest; the nested built-in depth counts VmCallValue frames only.
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "engine/vmcore.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"

VmRunState vmRun = {-1, 0, 0, 0, 0, 0, 0, nullptr};
VmGosubStack vmGosub;

namespace {

// Nested VmCallValue depth: reaching this raises 1135 ...
constexpr int MAXCCALLS = 200;
// ... and past this (while that error unwinds) 1135 is thrown at once.
constexpr int MAXCCALLS_HARD = MAXCCALLS + (MAXCCALLS >> 3) - 1;

// Longest command name shown by the call trace.
constexpr size_t TRACE_NAME_MAX = 127;

// The plug-ins' extension records may take over a command call; the
// command itself runs when none does.
VmCommandCallSlot commandCallSlot = nullptr;

// Runs a built-in command. A C++ allocation failure inside it (or a size
// beyond what a container can hold) ends the command as error 1000, as if
// it had returned that code: it then passes the same capture and handler
// policy as any failing command, and what the command owned through RAII
// has been freed by the unwind. Commands whose memory comes from the VM
// raise 1000 themselves; this is the one place that catches the C++ kind.
int runCommand(VmState* L, VmCommandFunction f) {
  try {
    int r;
    if (!commandCallSlot || !commandCallSlot(L, f, &r)) r = f(L);
    return r;
  } catch (const std::bad_alloc&) {
    return ERR_MEM;
  } catch (const std::length_error&) {
    return ERR_MEM;
  }
}

// Replaces a non-function value by its __call handler, inserted below the
// arguments; returns the (possibly moved) function slot.
VmValue* tryFuncTM(VmState* L, VmValue* func) {
  const VmValue* tm = VmGetEventHandler(L, func, VM_TM_CALL);
  if (tm->tag != VM_TFUNCTION) VmTypeError(L, func, ERR_FUNCDECLA, "()");
  VmValue h = *tm;
  ptrdiff_t funcr = VmSaveStack(L, func);
  VmEnsureStack(L, 1);
  func = VmRestoreStack(L, funcr);
  for (VmValue* p = L->top; p > func; p--) *p = p[-1];
  L->top++;
  *func = h;
  return func;
}

// Collects the arguments beyond the fixed parameters into a table (keys 0,
// 1, ... and "n") placed right after the fixed parameters.
void adjustVarargs(VmState* L, int nfixargs, VmValue* base) {
  int actual = static_cast<int>(L->top - base);
  for (; actual < nfixargs; actual++) VmSetNil(L->top++);
  int extra = actual - nfixargs;
  VmTable* t = VmCreateTable(L, 0, 1);
  VmValue tv;
  VmSetTable(&tv, t);
  for (int i = 0; i < extra; i++) *VmTableSetNum(L, t, i) = L->top[-extra + i];
  VmValue key;
  VmSetString(&key, VmNewString(L, "n", 1));
  VmSetNumber(VmTableSet(L, t, &key), extra);
  L->top -= extra;
  *L->top++ = tv;
}

// The name of a command for the call trace, or null when unknown.
const char* commandName(VmState* L) {
  VmDebugInfo ar;
  if (!VmGetStack(L, 0, &ar)) return nullptr;
  VmGetInfo(L, "n", &ar);
  return ar.name;
}

void traceCall(VmState* L, VmValue* func) {
  const char* name = commandName(L);
  int nargs = static_cast<int>(L->top - (func + 1));
  char buf[TRACE_NAME_MAX + 1];
  if (name != nullptr) {
    std::snprintf(buf, sizeof buf, "%s", name);
    DebugPrintf("Now calling %s()", buf);
  } else if (nargs == 2 && func[2].tag == VM_TSTRING) {
    std::snprintf(buf, sizeof buf, "%s", VmStringData(VmStringOf(&func[2])));
    DebugPrintf("Now trying to find metamethod %s()", buf);
  } else {
    DebugPrintf("Now calling <unknown>()");
  }
  DebugPrintf(" with arguments ");
  for (int i = 1; i <= nargs; i++) {
    const VmValue* o = func + i;
    switch (o->tag) {
      case VM_TNIL:
        DebugPrintf("#%d=(NIL) ", i);
        break;
      case VM_TNUMBER:
        DebugPrintf("#%d=(NUMBER)%g ", i, o->value.n);
        break;
      case VM_TSTRING:
        DebugPrintf("#%d=(STRING)\"%s\" ", i, VmStringData(VmStringOf(o)));
        break;
      case VM_TTABLE:
        DebugPrintf("#%d=(TABLE)%p ", i, static_cast<void*>(o->value.gc));
        break;
      case VM_TFUNCTION:
        DebugPrintf("#%d=(FUNCPTR)%p ", i, static_cast<void*>(o->value.gc));
        break;
      default:
        DebugPrintf("#%d=(INTERNAL)%d ", i, static_cast<int>(o->tag));
        break;
    }
  }
  DebugPrintf("\n");
}

void pushRaw(VmState* L, const VmValue* v) {
  VmEnsureStack(L, 1);
  *L->top++ = *v;
}

void pushNumberRaw(VmState* L, double n) {
  VmEnsureStack(L, 1);
  VmSetNumber(L->top++, n);
}

void pushTextRaw(VmState* L, const char* s) {
  VmEnsureStack(L, 1);
  VmSetString(L->top, VmNewString(L, s, std::strlen(s)));
  L->top++;
}

// Runs the RaiseOnError handler for a command's error code; 0 when the
// handler completed (the command then counts as having returned nothing),
// else the handler's own error.
ErrorCode runErrorHandler(VmState* L, ErrorCode code) {
  vmRun.handlerRunning = 1;
  RecordErrorLocation(L);
  char message[ERROR_ARG_MAX + 1];
  GetErrorText(code, message, sizeof message);
  char function[sizeof vmErrorLocation.function];
  std::snprintf(function, sizeof function, "%s", vmErrorLocation.function);
  int line = vmErrorLocation.line;
  VmValue* top = L->top;
  if (L->ci->top < top + 5) {
    VmEnsureStack(L, 5);
    top = L->top;
    L->ci->top = top + 5;
  }
  const VmValue* registry = &VmG(L)->registry;
  pushRaw(L, registry->tag == VM_TTABLE ? VmTableGetNum(VmTableOf(registry), vmRun.handlerRef)
                                        : &vmNilValue);
  pushNumberRaw(L, code);
  pushTextRaw(L, message);
  pushTextRaw(L, function);
  pushNumberRaw(L, line);
  StepCallbackDepth(1);
  ErrorCode status = VmPCall(L, 4, 0, 0);
  StepCallbackDepth(0);
  ResetErrorLocation();
  vmRun.handlerRunning = 0;
  return status;
}

}  // namespace

void VmSetCommandCallSlot(VmCommandCallSlot slot) { commandCallSlot = slot; }

int VmErrorHandlerEnabled() {
  return vmRun.handlerRef != -1 && GetErrorRaising() && GetCallbackDepth() == 0 &&
         !vmRun.handlerRunning && !vmRun.handlerSuppressed;
}

void VmResetRunState() {
  vmRun = VmRunState{-1, 0, 0, 0, 0, 0, 0, nullptr};
  vmGosub.count = 0;
  vmGosub.callPosition = 0;
  vmGosub.jumpDistance = 0;
}

int VmGetCallPosition() { return vmGosub.callPosition; }
void VmSetJumpDistance(int distance) { vmGosub.jumpDistance = distance; }
int VmGetGosubDepth() { return vmGosub.count; }

void VmSetGatedHook(VmState* L, VmHook fn) {
  VmSetHook(L, fn, VM_MASK_LINE, 0);
  if (fn != nullptr) L->hookgated = 1;
}

void VmCallHook(VmState* L, int event, int line) {
  if (L->hook == nullptr || !L->allowhook) return;
  ptrdiff_t top = VmSaveStack(L, L->top);
  ptrdiff_t citop = VmSaveStack(L, L->ci->top);
  VmEnsureStack(L, VM_MINSTACK);
  if (L->ci->top < L->top + VM_MINSTACK) L->ci->top = L->top + VM_MINSTACK;
  VmDebugInfo ar{};
  ar.event = event;
  ar.currentline = line;
  ar.i_ci = static_cast<int>(L->ci - L->base_ci);
  int status = 0;
  L->allowhook = 0;
  L->hook(L, &ar, &status, line);
  L->allowhook = 1;
  L->ci->top = VmRestoreStack(L, citop);
  L->top = VmRestoreStack(L, top);
  if (vmRun.quit) VmThrow(L, ERR_USERABORT);
  if (status != 0) VmThrow(L, status);
}

VmCallOutcome VmPrepareCall(VmState* L, VmValue* func, ErrorCode* err, bool capture,
                            VmValue** first) {
  *err = 0;
  if (func->tag != VM_TFUNCTION) func = tryFuncTM(L, func);
  ptrdiff_t funcr = VmSaveStack(L, func);
  VmClosure* cl = VmClosureOf(func);
  if (!cl->isC) {
    VmPrototype* p = cl->l.p;
    if (p->exec == nullptr) VmPrepareExec(L, p);
    VmEnsureStack(L, p->maxstacksize + 1);
    func = VmRestoreStack(L, funcr);
    VmValue* base = func + 1;
    if (!p->is_vararg) {
      if (L->top > base + p->numparams) L->top = base + p->numparams;
    } else {
      adjustVarargs(L, p->numparams, base);
      func = VmRestoreStack(L, funcr);
      base = func + 1;
    }
    VmCallInfo* ci = VmNextCallInfo(L);
    L->base = ci->base = base;
    ci->top = base + p->maxstacksize;
    ci->savedpc = p->exec;
    ci->tailcalls = 0;
    ci->state = VM_CI_SAVEDPC;
    for (VmValue* st = L->top; st < ci->top; st++) VmSetNil(st);
    L->top = ci->top;
    if (L->hookmask & VM_MASK_CALL) {
      ci->savedpc++;  // the hook sees the first instruction as current
      VmCallHook(L, VM_HOOK_CALL, -1);
      L->ci->savedpc--;
    }
    return VM_CALLED_SCRIPT;
  }

  VmEnsureStack(L, VM_MINSTACK);
  func = VmRestoreStack(L, funcr);
  VmCallInfo* ci = VmNextCallInfo(L);
  L->base = ci->base = func + 1;
  ci->top = L->top + VM_MINSTACK;
  ci->savedpc = nullptr;
  ci->tailcalls = 0;
  ci->state = VM_CI_C;
  if (L->hookmask & VM_MASK_CALL) VmCallHook(L, VM_HOOK_CALL, -1);
  if (vmRun.debugOutput && !vmRun.debugDisabled && !vmRun.quit)
    traceCall(L, VmRestoreStack(L, funcr));
  VmCommandFunction f = cl->c.f;
  if (f != vmRun.getLastError) vmRun.lastError = 0;
  int r = runCommand(L, f);

  if (r == -1 || r == -2) {
    *first = L->top;
    return r == -1 ? VM_CALLED_LABEL_NEXT : VM_CALLED_LABEL_AGAIN;
  }
  if (r >= 0 && r <= 999) {
    // A command cannot hand back more values than it has on its frame.
    int avail = static_cast<int>(L->top - L->base);
    if (r > avail) r = avail;
    if (capture) {
      VmEnsureStack(L, 1);
      VmValue* res = L->top - r;
      for (VmValue* p = L->top; p > res; p--) *p = p[-1];
      VmSetNumber(res, 0);
      L->top++;
      r++;
    }
    *first = L->top - r;
    return VM_CALLED_BUILTIN;
  }
  // An error code.
  ErrorCode code = r;
  if (capture) {
    VmEnsureStack(L, 1);
    VmSetNumber(L->top++, code);
    *first = L->top - 1;
    return VM_CALLED_BUILTIN;
  }
  // End's code is the run's end, not an error: a handler that took it would
  // let the script run on past End and lose its exit value.
  if (code != ERR_USERABORT && VmErrorHandlerEnabled()) code = runErrorHandler(L, code);
  *err = code;
  *first = L->top;
  return VM_CALLED_BUILTIN;
}

void VmPostCall(VmState* L, int wanted, VmValue* first) {
  if (L->hookmask & VM_MASK_RETURN) {
    ptrdiff_t fr = VmSaveStack(L, first);
    VmCallHook(L, VM_HOOK_RETURN, -1);
    first = VmRestoreStack(L, fr);
  }
  // Return positions of label subroutines die with their frame.
  int32_t level = static_cast<int32_t>(L->ci - L->base_ci);
  while (vmGosub.count > 0 && vmGosub.entries[vmGosub.count - 1].level >= level) vmGosub.count--;
  VmValue* res = L->ci->base - 1;
  L->ci--;
  L->base = L->ci->base;
  while (wanted != 0 && first < L->top) {
    *res++ = *first++;
    wanted--;
  }
  while (wanted-- > 0) VmSetNil(res++);
  L->top = res;
}

ErrorCode VmCallValue(VmState* L, VmValue* func, int nresults) {
  if (++L->nCcalls >= MAXCCALLS) {
    if (L->nCcalls == MAXCCALLS)
      VmRaiseError(L, ERR_STACK);
    else if (L->nCcalls > MAXCCALLS_HARD)
      VmThrow(L, ERR_STACK);
  }
  ErrorCode err = 0;
  VmValue* first = nullptr;
  VmCallOutcome outcome = VmPrepareCall(L, func, &err, false, &first);
  if (outcome == VM_CALLED_SCRIPT)
    first = VmExecute(L);
  else if (outcome != VM_CALLED_BUILTIN)
    first = L->top;  // a label result means nothing outside the interpreter
  VmPostCall(L, nresults, first);
  L->nCcalls--;
  return err;
}
