// VM states: opening and closing a VM, threads, and the growth of a
// thread's value stack and call-record array.
//
// Invariants: stack_last = stack + stacksize - 6, so at least 5 reserve
// slots lie above the limit; end_ci = base_ci + size_ci. Every pointer into
// the stack or the call records (top, base, open upvalues, each record's
// base and top, ci) is rebased whenever either array moves.
#include <cstdint>

#include "engine/object.h"
#include "engine/engine_private.h"

namespace {

// Slots between the limit and the end of the stack (the metamethod reserve
// plus the limit slot's own successor).
constexpr int32_t STACK_SLACK = VM_EXTRA_STACK + 1;

const char* const eventNames[VM_TM_N] = {
    "__index", "__newindex", "__gc",  "__mode", "__eq",  "__add",    "__sub",  "__mul",
    "__div",   "__divint",   "__mod", "__lsh",  "__rsh", "__or",     "__and",  "__xor",
    "__pow",   "__unm",      "__not", "__lt",   "__le",  "__concat", "__call",
};

int noPanic(VmState*) { return 0; }

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VM_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VM_SANITIZED 1
#endif

#ifdef VM_SANITIZED
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

// Set once the process is known to end soon after its states close.
bool memoryLeftToProcessEnd = false;

// Clears a thread record so that freeing it is safe at any later point.
void preinitState(VmState* L, VmGlobalState* g) {
  L->next = nullptr;
  L->tag = VM_TTHREAD;
  L->marked = 0;
  L->l_G = g;
  L->stack = nullptr;
  L->stacksize = 0;
  L->stack_last = nullptr;
  L->top = nullptr;
  L->base = nullptr;
  L->ci = nullptr;
  L->base_ci = nullptr;
  L->end_ci = nullptr;
  L->size_ci = 0;
  L->nCcalls = 0;
  L->hookmask = 0;
  L->allowhook = 1;
  L->hookinit = 0;
  L->basehookcount = 0;
  L->hookcount = 0;
  L->hook = nullptr;
  L->hookgated = 0;
  VmSetNil(&L->gt);
  L->openupval = nullptr;
  L->gclist = nullptr;
  L->errorJmp = nullptr;
  L->errfunc = 0;
}

// The first stack and call records of L1, allocated through L.
void stackInit(VmState* L1, VmState* L) {
  L1->base_ci = VmNewBlock<VmCallInfo>(L, VM_BASIC_CI_SIZE);
  L1->size_ci = VM_BASIC_CI_SIZE;
  L1->end_ci = L1->base_ci + VM_BASIC_CI_SIZE;
  L1->ci = L1->base_ci;
  L1->stack = VmNewBlock<VmValue>(L, VM_BASIC_STACK_SIZE);
  L1->stacksize = VM_BASIC_STACK_SIZE;
  L1->stack_last = L1->stack + (VM_BASIC_STACK_SIZE - STACK_SLACK);
  for (int i = 0; i < VM_BASIC_STACK_SIZE; i++) VmSetNil(&L1->stack[i]);
  // Slot 0 stands for the function of the first record.
  L1->top = L1->stack + 1;
  L1->base = L1->top;
  VmCallInfo* ci = L1->ci;
  ci->base = L1->top;
  ci->top = L1->top + VM_MINSTACK;
  ci->state = VM_CI_C;
  ci->savedpc = nullptr;
  ci->tailcalls = 0;
}

void freeStack(VmState* L, VmState* L1) {
  VmFreeBlock(L, L1->base_ci, L1->size_ci);
  VmFreeBlock(L, L1->stack, size_t(L1->stacksize));
  L1->base_ci = L1->ci = L1->end_ci = nullptr;
  L1->stack = L1->top = L1->base = L1->stack_last = nullptr;
  L1->size_ci = 0;
  L1->stacksize = 0;
}

void openBody(VmState* L, void*) {
  VmGlobalState* g = VmG(L);
  stackInit(L, L);
  VmTable* meta = VmCreateTable(L, 0, 0);
  meta->metatable = meta;
  VmSetTable(&g->defaultmeta, meta);
  VmSetTable(&L->gt, VmCreateTable(L, 0, 4));
  VmSetTable(&g->registry, VmCreateTable(L, 4, 4));
  VmResizeStringTable(L, 32);
  for (int i = 0; i < VM_TM_N; i++) {
    VmString* s = VmNewStringZ(L, eventNames[i]);
    s->marked |= VM_GC_FIXED;
    s->reserved = 1;
    g->tmname[i] = s;
  }
  g->memerrmsg = VmNewStringZ(L, "not enough memory");
  g->memerrmsg->marked |= VM_GC_FIXED;
  g->memerrmsg->reserved = 1;
  // Compiled loops read the global `next` (ITERPREP), so every state has it.
  VmRegisterBaseFunctions(L);
}

// Frees every block of a VM; L is the main thread.
void closeState(VmState* L) {
  VmGlobalState* g = VmG(L);
  if (L->stack != nullptr) VmCloseUpvalues(L, L->stack);
  VmFreeAllObjects(L);
  VmFreeBlock(L, g->strt.hash, g->strt.size);
  VmRealloc(L, g->buff, g->buffsize, 0);
  freeStack(L, L);
  VmReleasePooledBlocks(g);
  VmRealloc(nullptr, g, sizeof(VmGlobalState), 0);
  VmRealloc(nullptr, L, sizeof(VmState), 0);
  // The state's large strings may have left a block kept for reuse.
  VmReleaseKeptBlock();
}

void callAllPendingFinalisers(VmState* L, void*) { VmCallPendingFinalisers(L); }

inline uintptr_t rebase(const void* p, uintptr_t from, uintptr_t to) {
  return reinterpret_cast<uintptr_t>(p) - from + to;
}

}  // namespace

VmState* VmOpenState() {
  VmTuneHeap();
  VmState* L = static_cast<VmState*>(VmRealloc(nullptr, nullptr, 0, sizeof(VmState)));
  if (L == nullptr) return nullptr;
  VmGlobalState* g =
      static_cast<VmGlobalState*>(VmRealloc(nullptr, nullptr, 0, sizeof(VmGlobalState)));
  if (g == nullptr) {
    VmRealloc(nullptr, L, sizeof(VmState), 0);
    return nullptr;
  }
  preinitState(L, g);
  g->strt.hash = nullptr;
  g->strt.nuse = 0;
  g->strt.size = 0;
  g->rootgc = nullptr;
  g->rootudata = nullptr;
  g->tmudata = nullptr;
  g->buff = nullptr;
  g->buffsize = 0;
  g->GCthreshold = VM_GC_OFF;  // no collection while the state is half built
  g->nblocks = sizeof(VmState) + sizeof(VmGlobalState);
  g->panic = noPanic;
  VmSetNil(&g->registry);
  VmSetNil(&g->defaultmeta);
  g->mainthread = L;
  VmSetNil(&g->dummynode->key);
  VmSetNil(&g->dummynode->value);
  g->dummynode->next = nullptr;
  for (int i = 0; i < VM_TM_N; i++) g->tmname[i] = nullptr;
  g->memerrmsg = nullptr;
  g->errorRaised = false;
  g->waitingConstantCount = 0;
  g->deferConstants = false;
  for (VmBlockList& list : g->blockpool) list = VmBlockList{};
  g->poolbytes = 0;
  if (VmRunProtected(L, openBody, nullptr) != 0) {
    closeState(L);
    return nullptr;
  }
  g->errorRaised = false;
  g->GCthreshold = 4 * g->nblocks;
  return L;
}

void VmCloseState(VmState* L) {
  L = VmG(L)->mainthread;
  VmCloseUpvalues(L, L->stack);
  VmSeparateUserdata(L, true);
  // A finaliser that raises is abandoned and the rest still run: each run
  // takes its userdata off the list before calling it.
  do {
    L->ci = L->base_ci;
    L->base = L->top = L->ci->base;
    L->nCcalls = 0;
  } while (VmRunProtected(L, callAllPendingFinalisers, nullptr) != 0);
  // Past the finalisers only memory is left: the process's end returns it
  // in one piece, far faster than a free of every object.
  if (memoryLeftToProcessEnd && !SANITIZED) return;
  closeState(L);
}

void VmLeaveMemoryToProcessEnd() { memoryLeftToProcessEnd = true; }

VmState* VmNewThread(VmState* L) {
  VmState* L1 = VmNewBlock<VmState>(L);
  preinitState(L1, VmG(L));
  VmLinkObject(L, L1, VM_TTHREAD);
  stackInit(L1, L);
  L1->gt = L->gt;
  return L1;
}

void VmFreeThread(VmState* L, VmState* L1) {
  if (L1->stack != nullptr) VmCloseUpvalues(L1, L1->stack);
  freeStack(L, L1);
  VmFreeBlock(L, L1);
}

void VmReallocStack(VmState* L, int32_t newsize) {
  // Growth that fails leaves the old stack as it was; shrinking (done by
  // the collector) never fails. Pointers are rebased by their integer
  // offsets, so the old block is never touched after the move.
  VmValue* old = L->stack;
  int32_t oldsize = L->stacksize;
  if (size_t(newsize) > SIZE_MAX / sizeof(VmValue)) VmRaiseError(L, ERR_MEM);
  VmValue* ns = static_cast<VmValue*>(
      VmRealloc(L, old, size_t(oldsize) * sizeof(VmValue), size_t(newsize) * sizeof(VmValue)));
  for (int32_t i = oldsize; i < newsize; i++) VmSetNil(&ns[i]);
  uintptr_t from = reinterpret_cast<uintptr_t>(old);
  uintptr_t to = reinterpret_cast<uintptr_t>(ns);
  L->top = reinterpret_cast<VmValue*>(rebase(L->top, from, to));
  L->base = reinterpret_cast<VmValue*>(rebase(L->base, from, to));
  for (VmGcHeader* o = L->openupval; o != nullptr; o = o->next) {
    VmUpvalue* uv = static_cast<VmUpvalue*>(o);
    uv->v = reinterpret_cast<VmValue*>(rebase(uv->v, from, to));
  }
  for (VmCallInfo* ci = L->base_ci; ci <= L->ci; ci++) {
    ci->base = reinterpret_cast<VmValue*>(rebase(ci->base, from, to));
    ci->top = reinterpret_cast<VmValue*>(rebase(ci->top, from, to));
  }
  L->stack = ns;
  L->stacksize = newsize;
  L->stack_last = ns + (newsize - STACK_SLACK);
}

void VmGrowStack(VmState* L, int n) {
  if (n < 0) n = 0;
  int64_t size = L->stacksize;
  int64_t newsize = int64_t(n) <= size ? 2 * size : size + n + VM_EXTRA_STACK;
  // However the top got where it is (the reserve included), the new stack
  // must hold n free slots between the top and the limit.
  int64_t need = int64_t(L->top - L->stack) + n + STACK_SLACK + 1;
  if (newsize < need) newsize = need;
  if (newsize > VM_MAXSTACK) VmRaiseError(L, ERR_MEM);
  VmReallocStack(L, int32_t(newsize));
}

void VmReallocCallInfo(VmState* L, int32_t newsize) {
  VmCallInfo* old = L->base_ci;
  ptrdiff_t cur = L->ci - old;
  VmCallInfo* nc = static_cast<VmCallInfo*>(VmRealloc(
      L, old, size_t(L->size_ci) * sizeof(VmCallInfo), size_t(newsize) * sizeof(VmCallInfo)));
  L->base_ci = nc;
  L->ci = nc + cur;
  L->size_ci = static_cast<uint16_t>(newsize);
  L->end_ci = nc + newsize;
}

void VmGrowCallInfo(VmState* L) {
  if (L->size_ci > VM_MAXCALLS) VmThrow(L, ERR_STACK);
  VmReallocCallInfo(L, 2 * int32_t(L->size_ci));
  if (L->size_ci > VM_MAXCALLS) VmRaiseError(L, ERR_STACK);
}

VmCommandFunction VmAtPanic(VmState* L, VmCommandFunction panicf) {
  VmCommandFunction old = VmG(L)->panic;
  VmG(L)->panic = panicf;
  return old;
}
