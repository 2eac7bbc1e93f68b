// The command API: stack operations by index, type tests, comparisons,
// conversions, pushes, table and metatable access, upvalues, calls and
// protected calls, and the engine's own built-in `next`.
//
// Invariant: an index never leads outside the stack whatever its value. A
// read of an index beyond the top gives no value; an index below the frame
// or a push beyond the frame's top raises 1135, and while an error is
// already being raised a bad read gives no value, a bad write is refused
// and a push grows the stack instead.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/vmcore.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"

namespace {

// A frame may hold at most this many slots (VmCheckStack).
constexpr int MAXFRAME = 2048;

// Index misuse: raised unless an error is already unwinding.
void badIndex(VmState* L) {
  if (!VmG(L)->errorRaised) VmRaiseError(L, ERR_STACK);
}

// The slot of an index, or null for an index without a value.
VmValue* indexToValue(VmState* L, int idx) {
  if (idx > 0) {
    VmValue* o = L->base + (idx - 1);
    return o < L->top ? o : nullptr;
  }
  if (idx > VM_REGISTRY_INDEX) {
    if (idx == 0 || -idx > L->top - L->base) {
      badIndex(L);
      return nullptr;
    }
    return L->top + idx;
  }
  if (idx == VM_REGISTRY_INDEX) return &VmG(L)->registry;
  if (idx == VM_GLOBALS_INDEX) return &L->gt;
  // Upvalue of the running built-in function.
  if (L->ci == L->base_ci) return nullptr;
  VmValue* fn = L->base - 1;
  if (fn->tag != VM_TFUNCTION || !VmClosureOf(fn)->isC) return nullptr;
  VmClosure* cl = VmClosureOf(fn);
  int i = VM_GLOBALS_INDEX - idx;
  return i <= cl->nupvalues ? &cl->c.upvalue[i - 1] : nullptr;
}

// A slot that must exist (writes, table access); null after a refused
// access.
VmValue* mustExist(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  if (o == nullptr) badIndex(L);
  return o;
}

// Makes room for one push within the frame.
inline void checkPush(VmState* L, int n = 1) {
  if (L->top + n > L->ci->top) {
    badIndex(L);
    VmEnsureStack(L, n);
    L->ci->top = L->top + n;
  }
}

inline void push(VmState* L, const VmValue* v) {
  checkPush(L);
  *L->top++ = *v;
}

// Pops n values, never below the frame base.
inline void popValues(VmState* L, int n) {
  if (L->top - L->base < n) {
    badIndex(L);
    L->top = L->base;
    return;
  }
  L->top -= n;
}

VmTable* tableAt(VmState* L, int idx) {
  VmValue* t = mustExist(L, idx);
  if (t == nullptr || t->tag != VM_TTABLE) {
    if (t != nullptr) badIndex(L);
    return nullptr;
  }
  return VmTableOf(t);
}

struct CallArgs {
  VmValue* func;
  int nresults;
};

void callFunction(VmState* L, void* ud) {
  CallArgs* c = static_cast<CallArgs*>(ud);
  VmCallValue(L, c->func, c->nresults);
}

struct CPCallArgs {
  VmCommandFunction fn;
  void* ud;
};

void cpcallFunction(VmState* L, void* ud) {
  CPCallArgs* c = static_cast<CPCallArgs*>(ud);
  VmClosure* cl = VmNewCClosure(L, 0);
  cl->c.f = c->fn;
  VmEnsureStack(L, 2);
  VmSetClosure(L->top++, cl);
  VmSetLightUserdata(L->top++, c->ud);
  VmCallValue(L, L->top - 2, 0);
}

}  // namespace

// ---- Stack size and moving values ---------------------------------------------------

int VmGetTop(VmState* L) { return static_cast<int>(L->top - L->base); }

void VmSetTop(VmState* L, int idx) {
  if (idx >= 0) {
    VmValue* newtop = L->base + idx;
    if (newtop > L->ci->top) {
      badIndex(L);
      VmEnsureStack(L, static_cast<int>(newtop - L->top));
      newtop = L->base + idx;
      L->ci->top = newtop;
    }
    while (L->top < newtop) VmSetNil(L->top++);
    L->top = newtop;
  } else {
    popValues(L, -idx - 1);
  }
}

int VmApiCheckStack(VmState* L, int n) {
  if (n < 0 || (L->top - L->base) + n > MAXFRAME) return 0;
  VmEnsureStack(L, n);
  if (L->ci->top < L->top + n) L->ci->top = L->top + n;
  return 1;
}

void VmPushValue(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  push(L, o != nullptr ? o : &vmNilValue);
}

void VmRemove(VmState* L, int idx) {
  VmValue* p = mustExist(L, idx);
  if (p == nullptr || p < L->base || p >= L->top) return;
  while (++p < L->top) p[-1] = *p;
  L->top--;
}

void VmInsert(VmState* L, int idx) {
  VmValue* p = mustExist(L, idx);
  if (p == nullptr || p < L->base || p >= L->top) return;
  VmValue v = L->top[-1];
  for (VmValue* q = L->top - 1; q > p; q--) *q = q[-1];
  *p = v;
}

void VmReplace(VmState* L, int idx) {
  if (L->top <= L->base) {
    badIndex(L);
    return;
  }
  VmValue* o = mustExist(L, idx);
  if (o != nullptr) *o = L->top[-1];
  L->top--;
}

void VmXMove(VmState* from, VmState* to, int n) {
  if (n <= 0 || from == to) return;
  if (from->top - from->base < n) {
    badIndex(from);
    return;
  }
  checkPush(to, n);
  from->top -= n;
  for (int i = 0; i < n; i++) *to->top++ = from->top[i];
}

// ---- Type tests -------------------------------------------------------------------------

int VmType(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  return o == nullptr ? VM_TYPE_NONE : static_cast<int>(o->tag);
}

const char* VmTypeName(VmState* L, int tag) {
  switch (tag) {
    case VM_TYPE_NONE:
      return "no value";
    case VM_TNIL:
      return "nil";
    case VM_TBOOLEAN:
      return "boolean";
    case VM_TLIGHTUSERDATA:
      return "userdata";
    case VM_TNUMBER:
      return "number";
    case VM_TSTRING:
      return "string";
    case VM_TTABLE:
      return "table";
    case VM_TFUNCTION:
      return "function";
    case VM_TUSERDATA:
      return "userdata";
    case VM_TTHREAD:
      return "thread";
    case VM_TPROTO:
      return "proto";
    case VM_TUPVAL:
      return "upval";
    default:
      return "?";
  }
}

int VmIsNumber(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  if (o == nullptr) return 0;
  if (o->tag == VM_TNUMBER) return 1;
  double d;
  return o->tag == VM_TSTRING && VmStrToNumber(VmStringData(VmStringOf(o)), VmStringOf(o)->len, &d);
}

int VmIsString(VmState* L, int idx) {
  int t = VmType(L, idx);
  return t == VM_TSTRING || t == VM_TNUMBER;
}

int VmIsBuiltinFunction(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  return o != nullptr && o->tag == VM_TFUNCTION && VmClosureOf(o)->isC;
}

int VmIsUserdata(VmState* L, int idx) {
  int t = VmType(L, idx);
  return t == VM_TUSERDATA || t == VM_TLIGHTUSERDATA;
}

// ---- Comparisons ---------------------------------------------------------------------------

int VmEqual(VmState* L, int index1, int index2) {
  VmValue* a = indexToValue(L, index1);
  VmValue* b = indexToValue(L, index2);
  if (a == nullptr || b == nullptr || a->tag != b->tag) return 0;
  return VmEqualValues(L, a, b);
}

int VmRawEqual(VmState* L, int index1, int index2) {
  VmValue* a = indexToValue(L, index1);
  VmValue* b = indexToValue(L, index2);
  return a != nullptr && b != nullptr && VmRawEqualValues(a, b);
}

int VmLessThan(VmState* L, int index1, int index2, int mode) {
  VmValue* a = indexToValue(L, index1);
  VmValue* b = indexToValue(L, index2);
  if (a == nullptr || b == nullptr) return 0;
  return VmLessThanValues(L, a, b, mode == 1);
}

// ---- Conversions ------------------------------------------------------------------------------

double VmToNumber(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  double d;
  return (o != nullptr && VmToNumberValue(o, &d)) ? d : 0;
}

int VmToBoolean(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  return !(o == nullptr || o->tag == VM_TNIL || (o->tag == VM_TBOOLEAN && o->value.b == 0));
}

const char* VmToString(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  if (o == nullptr) return nullptr;
  if (o->tag == VM_TNIL) return "";
  if (o->tag == VM_TNUMBER) {
    ptrdiff_t r = VmSaveStack(L, o);
    bool instack = o >= L->stack && o < L->stack + L->stacksize;
    VmToStringValue(L, o);
    if (instack) o = VmRestoreStack(L, r);
  }
  return o->tag == VM_TSTRING ? VmStringData(VmStringOf(o)) : nullptr;
}

size_t VmStrLen(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  if (o == nullptr) return 0;
  if (o->tag == VM_TNUMBER) VmToStringValue(L, o);
  return o->tag == VM_TSTRING ? VmStringOf(o)->len : 0;
}

VmCommandFunction VmToBuiltinFunction(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  return (o != nullptr && o->tag == VM_TFUNCTION && VmClosureOf(o)->isC) ? VmClosureOf(o)->c.f
                                                                         : nullptr;
}

void* VmToUserdata(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  if (o == nullptr) return nullptr;
  if (o->tag == VM_TUSERDATA) return VmUserdataData(VmUserdataOf(o));
  if (o->tag == VM_TLIGHTUSERDATA) return o->value.p;
  return nullptr;
}

VmState* VmToThread(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  return (o != nullptr && o->tag == VM_TTHREAD) ? VmThreadOf(o) : nullptr;
}

const void* VmToPointer(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  if (o == nullptr) return nullptr;
  switch (o->tag) {
    case VM_TTABLE:
    case VM_TFUNCTION:
    case VM_TTHREAD:
      return o->value.gc;
    case VM_TUSERDATA:
    case VM_TLIGHTUSERDATA:
      return VmToUserdata(L, idx);
    default:
      return nullptr;
  }
}

// ---- Pushes ----------------------------------------------------------------------------------------

void VmPushNil(VmState* L) {
  checkPush(L);
  VmSetNil(L->top++);
}

void VmPushNumber(VmState* L, double n) {
  checkPush(L);
  VmSetNumber(L->top++, n);
}

void VmPushLString(VmState* L, const char* s, size_t len) {
  checkPush(L);
  VmString* str = VmNewString(L, s, len);
  VmSetString(L->top++, str);
}

VmStringBlock::~VmStringBlock() { std::free(block_); }

char* VmStringBlock::data() {
  return block_ != nullptr ? VmStringData(static_cast<VmString*>(block_)) : nullptr;
}

bool VmStringBlock::Reserve(size_t capacity) {
  if (capacity <= capacity_ && block_ != nullptr) return true;
  if (capacity > SIZE_MAX - sizeof(VmString) - 1) return false;
  size_t bytes = VmSizeString(capacity);
  void* nb = VmRealloc(nullptr, block_, block_ != nullptr ? VmSizeString(capacity_) : 0, bytes);
  if (nb == nullptr) return false;
  block_ = nb;
  capacity_ = capacity;
  VmAdviseLargeBlock(nb, bytes);
  return true;
}

void VmStringBlock::Commit(size_t n) {
  hash_ = VmStringSlotHashJoin(hash_, VmStringSlotHash(End(), n), n);
  size_ += n;
}

void VmStringBlock::Push(VmState* L) {
  if (block_ == nullptr || size_ == 0) {
    std::free(block_);
    block_ = nullptr;
    capacity_ = size_ = 0;
    hash_ = 0;
    VmPushLString(L, "", 0);
    return;
  }
  // The stack slot is made while the block is still only ours (a raise
  // there leaves it to the destructor); from VmStringFromBlock on it
  // belongs to the state, also when a raise follows.
  VmPushNil(L);
  void* block = block_;
  size_t blockSize = VmSizeString(capacity_), len = size_;
  uint64_t hash = hash_;
  block_ = nullptr;
  capacity_ = size_ = 0;
  hash_ = 0;
  VmSetString(L->top - 1, VmStringFromBlock(L, block, blockSize, len, hash));
}

void VmPushString(VmState* L, const char* s) {
  if (s == nullptr)
    VmPushNil(L);
  else
    VmPushLString(L, s, std::strlen(s));
}

void VmPushCString(VmState* L, const char* s) { VmPushLString(L, s, std::strlen(s)); }

const char* VmPushVFString(VmState* L, const char* fmt, va_list args) {
  VmCheckGC(L);
  int n = 0;
  const char* e;
  while ((e = std::strchr(fmt, '%')) != nullptr) {
    VmPushLString(L, fmt, static_cast<size_t>(e - fmt));
    n++;
    switch (e[1]) {
      case 's': {
        const char* s = va_arg(args, const char*);
        VmPushCString(L, s != nullptr ? s : "(null)");
        break;
      }
      case 'd':
        VmPushNumber(L, va_arg(args, int));
        break;
      case 'f':
        VmPushNumber(L, va_arg(args, double));
        break;
      case 'c': {
        char c = static_cast<char>(va_arg(args, int));
        VmPushLString(L, &c, 1);
        break;
      }
      case '%':
        VmPushLString(L, "%", 1);
        break;
      case '\0':
        VmPushLString(L, "%", 1);
        e--;  // the format ends here
        break;
      default:
        VmPushLString(L, e, 2);
        break;
    }
    n++;
    fmt = e + 2;
  }
  VmPushCString(L, fmt);
  n++;
  if (n > 1) {
    VmConcatValues(L, n, static_cast<int>(L->top - L->base) - 1);
    L->top -= n - 1;
  }
  return VmStringData(VmStringOf(L->top - 1));
}

const char* VmPushFString(VmState* L, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const char* s = VmPushVFString(L, fmt, args);
  va_end(args);
  return s;
}

void VmPushBoolean(VmState* L, int b) {
  checkPush(L);
  VmSetBoolean(L->top++, b);
}

void VmPushLightUserdata(VmState* L, void* p) {
  checkPush(L);
  VmSetLightUserdata(L->top++, p);
}

void VmPushCClosure(VmState* L, VmCommandFunction fn, int n) {
  if (n < 0 || n > 255 || L->top - L->base < n) {
    badIndex(L);
    return;
  }
  VmCheckGC(L);
  VmClosure* cl = VmNewCClosure(L, n);
  cl->c.f = fn;
  L->top -= n;
  for (int i = 0; i < n; i++) cl->c.upvalue[i] = L->top[i];
  VmSetClosure(L->top++, cl);
}

// ---- Tables ------------------------------------------------------------------------------------------

void VmGetTable(VmState* L, int idx) {
  VmValue* t = mustExist(L, idx);
  if (t == nullptr || L->top <= L->base) {
    badIndex(L);
    return;
  }
  VmGetTableValue(L, t, L->top - 1, L->top - 1, VM_MISSING_NIL);
}

void VmRawGet(VmState* L, int idx) {
  VmTable* t = tableAt(L, idx);
  if (L->top <= L->base) {
    badIndex(L);
    return;
  }
  L->top[-1] = t != nullptr ? *VmTableGet(t, L->top - 1) : vmNilValue;
}

void VmRawGetI(VmState* L, int idx, int n) {
  VmTable* t = tableAt(L, idx);
  push(L, t != nullptr ? VmTableGetNum(t, n) : &vmNilValue);
}

void VmSetTable(VmState* L, int idx) {
  VmValue* t = mustExist(L, idx);
  if (L->top - L->base < 2) {
    badIndex(L);
    return;
  }
  if (t != nullptr) VmSetTableValue(L, t, L->top - 2, L->top - 1);
  L->top -= 2;
}

void VmRawSet(VmState* L, int idx) {
  VmTable* t = tableAt(L, idx);
  if (L->top - L->base < 2) {
    badIndex(L);
    return;
  }
  if (t != nullptr) VmRawSetValue(L, t, L->top - 2, L->top - 1);
  L->top -= 2;
}

void VmRawSetI(VmState* L, int idx, int n) {
  VmTable* t = tableAt(L, idx);
  if (L->top <= L->base) {
    badIndex(L);
    return;
  }
  if (t != nullptr) {
    VmValue v = L->top[-1];
    *VmTableSetNum(L, t, n) = v;
  }
  L->top--;
}

void VmNewTable(VmState* L) { VmNewTableSized(L, 0, 0); }

void VmNewTableSized(VmState* L, int narray, int nhash) {
  checkPush(L);
  VmCheckGC(L);
  int lsize = 0;
  while (lsize < VM_MAXBITS && (1 << lsize) < nhash) lsize++;
  VmTable* t = VmCreateTable(L, narray < 0 ? 0 : narray, nhash > 0 ? lsize : 0);
  VmSetTable(L->top++, t);
}

int VmNext(VmState* L, int idx) {
  VmTable* t = tableAt(L, idx);
  if (L->top <= L->base) {
    badIndex(L);
    return 0;
  }
  if (t == nullptr) {
    L->top--;
    return 0;
  }
  checkPush(L);
  if (VmTableNext(L, t, L->top - 1)) {
    L->top++;
    return 1;
  }
  L->top--;
  return 0;
}

// ---- Metatables, function globals, upvalues -------------------------------------------------------

int VmGetMetatable(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  VmTable* mt = o != nullptr ? VmMetatableOf(L, o) : nullptr;
  const VmValue* dm = &VmG(L)->defaultmeta;
  if (mt == nullptr || (dm->tag == VM_TTABLE && mt == VmTableOf(dm))) return 0;
  VmValue v;
  VmSetTable(&v, mt);
  push(L, &v);
  return 1;
}

int VmSetMetatable(VmState* L, int idx) {
  VmValue* o = mustExist(L, idx);
  if (L->top <= L->base) {
    badIndex(L);
    return 0;
  }
  VmValue* mtv = L->top - 1;
  VmTable* mt;
  if (mtv->tag == VM_TNIL) {
    const VmValue* dm = &VmG(L)->defaultmeta;
    mt = dm->tag == VM_TTABLE ? VmTableOf(dm) : nullptr;
  } else if (mtv->tag == VM_TTABLE) {
    mt = VmTableOf(mtv);
  } else {
    L->top--;
    return 0;
  }
  int res = 1;
  if (o != nullptr && o->tag == VM_TTABLE)
    VmTableOf(o)->metatable = mt;
  else if (o != nullptr && o->tag == VM_TUSERDATA)
    VmUserdataOf(o)->metatable = mt;
  else
    res = 0;
  L->top--;
  return res;
}

void VmGetFunctionGlobals(VmState* L, int idx) {
  VmValue* o = indexToValue(L, idx);
  if (o == nullptr || o->tag != VM_TFUNCTION)
    push(L, &vmNilValue);
  else if (VmClosureOf(o)->isC)
    push(L, &L->gt);
  else
    push(L, &VmClosureOf(o)->l.g);
}

int VmSetFunctionGlobals(VmState* L, int idx) {
  VmValue* o = mustExist(L, idx);
  if (L->top <= L->base) {
    badIndex(L);
    return 0;
  }
  int res = 0;
  if (o != nullptr && o->tag == VM_TFUNCTION && !VmClosureOf(o)->isC &&
      L->top[-1].tag == VM_TTABLE) {
    VmClosureOf(o)->l.g = L->top[-1];
    res = 1;
  }
  L->top--;
  return res;
}

namespace {

// The name and slot of upvalue n of the function at idx, or null.
const char* upvalueSlot(VmState* L, int funcindex, int n, VmValue** slot) {
  VmValue* fn = indexToValue(L, funcindex);
  if (fn == nullptr || fn->tag != VM_TFUNCTION) return nullptr;
  VmClosure* cl = VmClosureOf(fn);
  if (n < 1 || n > cl->nupvalues) return nullptr;
  if (cl->isC) {
    *slot = &cl->c.upvalue[n - 1];
    return "";
  }
  const VmPrototype* p = cl->l.p;
  *slot = cl->l.upvals[n - 1]->v;
  return n <= p->sizeupvalues && p->upvalues[n - 1] != nullptr ? VmStringData(p->upvalues[n - 1])
                                                               : "";
}

}  // namespace

const char* VmGetUpvalue(VmState* L, int funcindex, int n) {
  VmValue* slot = nullptr;
  const char* name = upvalueSlot(L, funcindex, n, &slot);
  if (name != nullptr) push(L, slot);
  return name;
}

const char* VmSetUpvalue(VmState* L, int funcindex, int n) {
  if (L->top <= L->base) {
    badIndex(L);
    return nullptr;
  }
  VmValue* slot = nullptr;
  const char* name = upvalueSlot(L, funcindex, n, &slot);
  if (name != nullptr) *slot = L->top[-1];
  L->top--;
  return name;
}

int VmPushUpvalues(VmState* L) {
  VmValue* fn = L->base - 1;
  if (L->ci == L->base_ci || fn->tag != VM_TFUNCTION || !VmClosureOf(fn)->isC)
    VmRaiseError(L, ERR_STACK);
  VmClosure* cl = VmClosureOf(fn);
  int n = cl->nupvalues;
  checkPush(L, n);
  for (int i = 0; i < n; i++) *L->top++ = cl->c.upvalue[i];
  return n;
}

// ---- Calls --------------------------------------------------------------------------------------------

ErrorCode VmCall(VmState* L, int nargs, int nresults) {
  if (nargs < 0 || L->top - L->base < nargs + 1) {
    badIndex(L);
    return ERR_STACK;
  }
  ErrorCode err = VmCallValue(L, L->top - (nargs + 1), nresults);
  if (nresults == VM_MULTRET && L->top > L->ci->top) L->ci->top = L->top;
  return err;
}

ErrorCode VmPCall(VmState* L, int nargs, int nresults, int errfunc) {
  if (nargs < 0 || L->top - L->base < nargs + 1) {
    badIndex(L);
    return ERR_STACK;
  }
  ptrdiff_t ef = 0;
  if (errfunc != 0) {
    VmValue* o = indexToValue(L, errfunc);
    if (o != nullptr && o >= L->stack && o < L->top) ef = VmSaveStack(L, o);
  }
  CallArgs c;
  c.func = L->top - (nargs + 1);
  c.nresults = nresults;
  ErrorCode status = VmProtectedCall(L, callFunction, &c, VmSaveStack(L, c.func), ef);
  if (status == 0 && nresults == VM_MULTRET && L->top > L->ci->top) L->ci->top = L->top;
  return status;
}

ErrorCode VmCPCall(VmState* L, VmCommandFunction fn, void* ud) {
  CPCallArgs c{fn, ud};
  return VmProtectedCall(L, cpcallFunction, &c, VmSaveStack(L, L->top), 0);
}

// ---- Userdata, threads, memory ----------------------------------------------------------------------

void* VmApiNewUserdata(VmState* L, size_t size) {
  checkPush(L);
  VmCheckGC(L);
  VmUserdata* u = VmNewUserdata(L, size);
  VmSetUserdata(L->top++, u);
  return VmUserdataData(u);
}

VmState* VmPushNewThread(VmState* L) {
  checkPush(L);
  VmCheckGC(L);
  VmState* L1 = VmNewThread(L);
  VmSetThread(L->top++, L1);
  return L1;
}

void VmConcat(VmState* L, int n) {
  if (n >= 2) {
    if (L->top - L->base < n) {
      badIndex(L);
      return;
    }
    VmCheckGC(L);
    VmConcatValues(L, n, static_cast<int>(L->top - L->base) - 1);
    L->top -= n - 1;
  } else if (n == 0) {
    VmPushLString(L, "", 0);
  }
}

// ---- The built-in next ----------------------------------------------------------------------------------

// next(table, key) -> the key after key and its value, or nothing at the
// end; a nil key starts the traversal. The loop instruction ITERPREP reads
// it from the globals.
int VmNextCommand(VmState* L) {
  VmValue* t = L->base;
  if (L->top <= t || t->tag != VM_TTABLE) {
    SetErrorArgNumber(1);
    return ERR_TABEXPECTED;
  }
  VmSetTop(L, 2);
  VmEnsureStack(L, 1);
  if (VmTableNext(L, VmTableOf(L->base), L->base + 1)) {
    L->top = L->base + 3;
    return 2;
  }
  L->top = L->base + 2;
  VmSetNil(L->base + 1);
  return 1;
}

void VmRegisterBaseFunctions(VmState* L) {
  if (L->gt.tag != VM_TTABLE) return;
  VmClosure* cl = VmNewCClosure(L, 0);
  cl->c.f = VmNextCommand;
  VmValue key, fv;
  VmSetString(&key, VmNewString(L, "next", 4));
  VmSetClosure(&fv, cl);
  *VmTableSet(L, VmTableOf(&L->gt), &key) = fv;
}
