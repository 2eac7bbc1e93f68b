// Private services shared by the interpreter (vm.cpp), the call machinery
// (call.cpp, raise.cpp), the command API (api.cpp) and the debug interface
// (debug.cpp): value conversions and comparisons, table access with
// metamethods, the call protocol and the gosub stack.
//
// Invariant: every function here that may raise, call a metamethod or
// collect garbage may also move the stack; callers hold stack positions as
// byte offsets (VmSaveStack / VmRestoreStack) across such calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/object.h"
#include "engine/engine.h"
#include "engine/opcodes.h"

// ---- Stack positions that survive a reallocation ------------------------------

inline ptrdiff_t VmSaveStack(VmState* L, const VmValue* p) {
  return (const char*)p - (const char*)L->stack;
}
inline VmValue* VmRestoreStack(VmState* L, ptrdiff_t n) { return (VmValue*)((char*)L->stack + n); }
inline ptrdiff_t VmSaveCi(VmState* L, const VmCallInfo* ci) { return ci - L->base_ci; }
inline VmCallInfo* VmRestoreCi(VmState* L, ptrdiff_t n) { return L->base_ci + n; }

// The running closure of a call record (the value below its base).
inline VmClosure* VmCiFunc(const VmCallInfo* ci) { return VmClosureOf(ci->base - 1); }
inline bool VmCiIsScript(const VmCallInfo* ci) { return !(ci->state & VM_CI_C); }

// ---- Numbers ----------------------------------------------------------------------

// VmTruncInt32, the saturating truncation, is in engine/engine.h.

// The unsigned 32-bit pattern of a number for the bit operators: a positive
// value is truncated as a 64-bit integer and cut to its low 32 bits; zero
// and negative values are truncated to signed 32 bits (saturating).
inline uint32_t VmBits(double d) {
  if (d > 0) {
    if (d >= 18446744073709551616.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(static_cast<uint64_t>(d));
  }
  return static_cast<uint32_t>(VmTruncInt32(d));
}

// Reads a whole text (optional trailing white space allowed) as a number:
// "$" and "0x" prefixes read unsigned 32-bit hexadecimal, anything else a
// decimal floating-point number.
bool VmStrToNumber(const char* s, size_t len, double* out);

// Number conversion of an operand: a number stays, nil is 0, a string
// converts by VmStrToNumber; anything else fails.
inline bool VmToNumberValue(const VmValue* o, double* out) {
  if (o->tag == VM_TNUMBER) {
    *out = o->value.n;
    return true;
  }
  if (o->tag == VM_TNIL) {
    *out = 0;
    return true;
  }
  if (o->tag == VM_TSTRING) {
    VmString* s = VmStringOf(o);
    return VmStrToNumber(VmStringData(s), s->len, out);
  }
  return false;
}

// Whether a value counts as false to NOT, TESTSET and the comparison
// metamethods: nil, false, 0 and the empty string.
inline bool VmIsFalse(const VmValue* o) {
  switch (o->tag) {
    case VM_TNIL:
      return true;
    case VM_TBOOLEAN:
      return o->value.b == 0;
    case VM_TNUMBER:
      return o->value.n == 0;
    case VM_TSTRING:
      return VmStringOf(o)->len == 0;
    default:
      return false;
  }
}

// Formats a number as its "%.14g" text into buf (at least 32 bytes).
int VmNumberToText(double n, char* buf);

// String conversion in place: a number becomes its text, nil the empty
// string. Returns false (slot unchanged) for other types. May collect.
bool VmToStringValue(VmState* L, VmValue* o);

// ---- Comparisons and metamethods ----------------------------------------------------

// The metatable of any value (the default metatable for values without one).
VmTable* VmMetatableOf(VmState* L, const VmValue* o);
// The handler of event e for value o, or the nil value.
const VmValue* VmGetEventHandler(VmState* L, const VmValue* o, VmEvent e);

bool VmRawEqualValues(const VmValue* a, const VmValue* b);
// Equality with the nil rules, 1130/1030 for mixed types and __eq.
bool VmEqualValues(VmState* L, const VmValue* a, const VmValue* b);
// collate: compare strings through the runtime's collation service.
bool VmLessThanValues(VmState* L, const VmValue* a, const VmValue* b, bool collate);
bool VmLessEqualValues(VmState* L, const VmValue* a, const VmValue* b);

// Arithmetic fallback of the interpreter: conversion, then the handler of
// event e; res may alias a or b. op is the opcode (OP_ADD .. OP_POW, OP_NEG,
// OP_BITNOT).
void VmArith(VmState* L, VmValue* res, const VmValue* a, const VmValue* b, VmOpcode op);
double VmArithNumbers(VmState* L, VmOpcode op, double x, double y);

// Concatenates the `total` values ending at slot `last` (top pair first,
// downwards) and leaves the result in the lowest of them.
void VmConcatValues(VmState* L, int total, int last);

// ---- Tables with metamethods ---------------------------------------------------------

enum VmMissing { VM_MISSING_ERROR, VM_MISSING_NIL };
// val = t[key] following __index; a missing field raises 1159 or reads nil.
void VmGetTableValue(VmState* L, const VmValue* t, const VmValue* key, VmValue* val,
                     VmMissing missing);
// t[key] = val following __newindex.
void VmSetTableValue(VmState* L, const VmValue* t, const VmValue* key, const VmValue* val);
// A raw store that refuses a NaN key (1208) and treats a nil key as 0.
void VmRawSetValue(VmState* L, VmTable* t, const VmValue* key, const VmValue* val);

// ---- Calls ----------------------------------------------------------------------------

// The kinds of result of VmPrepareCall.
enum VmCallOutcome {
  VM_CALLED_SCRIPT,       // a script frame was entered: run VmExecute
  VM_CALLED_BUILTIN,      // results start at *first (or an error in *err)
  VM_CALLED_LABEL_NEXT,   // command returned -1: gosub to the label
  VM_CALLED_LABEL_AGAIN,  // command returned -2: gosub, then repeat the CALL
};

VmCallOutcome VmPrepareCall(VmState* L, VmValue* func, ErrorCode* err, bool capture,
                            VmValue** first);
// Moves results to the function's slot, pads to `wanted` (-1: all) and pops
// the call record.
void VmPostCall(VmState* L, int wanted, VmValue* first);
// Runs the script frame on top of the call records until it returns; gives
// the first result slot (results end at L->top).
VmValue* VmExecute(VmState* L);
// Builds p->exec, the decoded form of p's verified code that VmExecute
// runs. Raises ERR_MEM when it cannot be allocated.
void VmPrepareExec(VmState* L, VmPrototype* p);
void VmCallHook(VmState* L, int event, int line);
// Runs f(L, ud) protected; on a raise restores the call records, stack top
// (to oldtop), hooks, depth and gosub stack, and returns the status.
ErrorCode VmProtectedCall(VmState* L, VmProtectedFunction f, void* ud, ptrdiff_t oldtop,
                          ptrdiff_t ef);

// Raises code with "<variable name or ??><suffix>" as the error argument.
[[noreturn]] void VmTypeError(VmState* L, const VmValue* o, ErrorCode code, const char* suffix);

// ---- Gosub stack ----------------------------------------------------------------------

// A return position of a label subroutine: the closure and call record it
// belongs to, so that a return can only ever land in the code it came from.
struct VmGosubEntry {
  const VmClosure* func;
  int32_t level;  // call-record index
  int32_t pc;     // instruction index
};
struct VmGosubStack {
  VmGosubEntry entries[VM_GOSUB_MAX];
  int count;
  int callPosition;  // index of the instruction after the running CALL
  int jumpDistance;  // set by a command before it returns -1 or -2
};
extern VmGosubStack vmGosub;

// ---- Debug -----------------------------------------------------------------------------

// The current line of a script call record (-1 for built-ins or no lines).
int VmCurrentLine(VmState* L, VmCallInfo* ci);
int VmCurrentPc(VmState* L, VmCallInfo* ci);
// The kind ("global", "local", "method", "field") and name of the variable
// that held the function of call record ci, found by symbolic execution of
// its caller; null when unknown.
const char* VmGetFuncName(VmState* L, VmCallInfo* ci, const char** name);
// The same for a stack slot of the running script frame.
const char* VmGetVarName(VmState* L, const VmValue* o, const char** name);
