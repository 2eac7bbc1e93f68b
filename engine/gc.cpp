// The collector: a stop-the-world mark and sweep over the object lists of
// the global state, with weak tables and userdata finalisers.
//
// Invariants: between collections no object has the reached bit, except
// open upvalues (never swept). Marking and sweeping neither allocate VM
// memory nor raise (the string sweep borrows scratch from the system
// allocator and does without it when refused), and no script code runs
// before the sweep is complete; finalisers run afterwards, when every list
// is consistent again, and may raise.
#include <cstdlib>
#include <cstring>

#include "engine/object.h"

namespace {

// Slots above which a stack may shrink, and records above which the
// call-record array may shrink (twice the sizes of a new thread).
constexpr int32_t SHRINK_STACK_MIN = 2 * VM_BASIC_STACK_SIZE;
constexpr int32_t SHRINK_CI_MIN = 2 * VM_BASIC_CI_SIZE;
// The string table and concatenation buffer shrink only above these.
constexpr size_t SHRINK_STRTAB_MIN = 64;
constexpr size_t SHRINK_BUFFER_MIN = 64;
// How far ahead the string sweep fetches the records it will visit.
constexpr size_t SWEEP_AHEAD = 8;

struct GcState {
  VmState* L;
  VmGlobalState* g;
  VmGcHeader* gray;  // reached objects whose children are still to mark
  VmGcHeader* weak;  // reached weak tables, cleared after marking
};

inline bool isCollectableTag(uint32_t tag) { return tag >= VM_TSTRING && tag <= VM_TUPVAL; }

VmGcHeader** grayLink(VmGcHeader* o) {
  switch (o->tag) {
    case VM_TTABLE:
      return &static_cast<VmTable*>(o)->gclist;
    case VM_TFUNCTION:
      return &static_cast<VmClosure*>(o)->gclist;
    case VM_TPROTO:
      return &static_cast<VmPrototype*>(o)->gclist;
    default:
      return &static_cast<VmState*>(o)->gclist;
  }
}

void markObject(GcState* st, VmGcHeader* o) {
  if (o->marked & VM_GC_REACHED) return;
  o->marked |= VM_GC_REACHED;
  switch (o->tag) {
    case VM_TSTRING:
      break;
    case VM_TUSERDATA: {
      VmTable* mt = static_cast<VmUserdata*>(o)->metatable;
      if (mt != nullptr) markObject(st, mt);
      break;
    }
    case VM_TUPVAL: {
      // Only closed upvalues get here (open ones keep the reached bit).
      VmUpvalue* uv = static_cast<VmUpvalue*>(o);
      if (isCollectableTag(uv->v->tag)) markObject(st, uv->v->value.gc);
      break;
    }
    default:
      *grayLink(o) = st->gray;
      st->gray = o;
      break;
  }
}

inline void markValue(GcState* st, const VmValue* v) {
  if (isCollectableTag(v->tag)) markObject(st, v->value.gc);
}

void traverseTable(GcState* st, VmTable* t) {
  bool weakkey = false;
  bool weakvalue = false;
  if (t->metatable != nullptr) {
    markObject(st, t->metatable);
    const VmValue* mode = VmFastEvent(st->L, t->metatable, VM_TM_MODE);
    if (mode != nullptr && VmIsString(mode)) {
      const VmString* s = VmStringOf(mode);
      weakkey = std::memchr(VmStringData(s), 'k', s->len) != nullptr;
      weakvalue = std::memchr(VmStringData(s), 'v', s->len) != nullptr;
    }
  }
  t->marked &= static_cast<uint8_t>(~(VM_GC_WEAKKEY | VM_GC_WEAKVALUE));
  if (weakkey || weakvalue) {
    t->marked |=
        static_cast<uint8_t>((weakkey ? VM_GC_WEAKKEY : 0) | (weakvalue ? VM_GC_WEAKVALUE : 0));
    t->gclist = st->weak;
    st->weak = t;
  }
  if (!weakvalue) {
    for (int32_t i = 0; i < t->sizearray; i++) markValue(st, &t->array[i]);
  }
  if (t->node == st->g->dummynode) return;
  int size = VmSizeNode(t);
  for (int i = 0; i < size; i++) {
    VmNode* n = &t->node[i];
    if (VmIsNil(&n->value)) {
      // A removed key is not kept alive; it only still matches by
      // address for a traversal that stopped at it.
      if (isCollectableTag(n->key.tag)) n->key.tag = VM_TDEADKEY;
      continue;
    }
    if (!weakkey) markValue(st, &n->key);
    if (!weakvalue) markValue(st, &n->value);
  }
}

void traverseClosure(GcState* st, VmClosure* c) {
  if (c->isC) {
    for (int i = 0; i < c->nupvalues; i++) markValue(st, &c->c.upvalue[i]);
    return;
  }
  if (c->l.p != nullptr) markObject(st, c->l.p);
  markValue(st, &c->l.g);
  for (int i = 0; i < c->nupvalues; i++) {
    VmUpvalue* uv = c->l.upvals[i];
    if (uv == nullptr) continue;
    // The value of an open upvalue is marked here too: its thread may
    // be unreached and close it into this closure later.
    markObject(st, uv);
    markValue(st, uv->v);
  }
}

void traversePrototype(GcState* st, VmPrototype* p) {
  if (p->source != nullptr) markObject(st, p->source);
  for (int32_t i = 0; i < p->sizek; i++) markValue(st, &p->k[i]);
  for (int32_t i = 0; i < p->sizeupvalues; i++) {
    if (p->upvalues[i] != nullptr) markObject(st, p->upvalues[i]);
  }
  for (int32_t i = 0; i < p->sizelocvars; i++) {
    if (p->locvars[i].name != nullptr) markObject(st, p->locvars[i].name);
  }
  for (int32_t i = 0; i < p->sizep; i++) {
    if (p->p[i] != nullptr) markObject(st, p->p[i]);
  }
}

void checkStackSizes(VmState* L, VmValue* lim) {
  if (L->size_ci <= VM_MAXCALLS && L->ci - L->base_ci < L->size_ci / 4 &&
      L->size_ci > SHRINK_CI_MIN)
    VmReallocCallInfo(L, L->size_ci / 2);
  int32_t used = int32_t(lim - L->stack) + 1;
  int32_t half = L->stacksize / 2;
  if (used < L->stacksize / 4 && L->stacksize > SHRINK_STACK_MIN &&
      used + VM_EXTRA_STACK + 1 < half)
    VmReallocStack(L, half);
}

void traverseThread(GcState* st, VmState* th) {
  markValue(st, &th->gt);
  if (th->stack == nullptr) return;
  VmValue* lim = th->top;
  for (VmCallInfo* ci = th->base_ci; ci <= th->ci; ci++) {
    if (lim < ci->top) lim = ci->top;
  }
  VmValue* last = th->stack + th->stacksize - 1;
  if (lim > last) lim = last;
  VmValue* o = th->stack;
  for (; o < th->top; o++) markValue(st, o);
  // Dead slots of the frames are cleared so they keep nothing alive.
  for (; o <= lim; o++) VmSetNil(o);
  // Open upvalues point into this stack, whose live part is marked above;
  // the upvalue records themselves are never swept while open.
  checkStackSizes(th, lim);
}

void propagate(GcState* st) {
  while (st->gray != nullptr) {
    VmGcHeader* o = st->gray;
    st->gray = *grayLink(o);
    switch (o->tag) {
      case VM_TTABLE:
        traverseTable(st, static_cast<VmTable*>(o));
        break;
      case VM_TFUNCTION:
        traverseClosure(st, static_cast<VmClosure*>(o));
        break;
      case VM_TPROTO:
        traversePrototype(st, static_cast<VmPrototype*>(o));
        break;
      case VM_TTHREAD:
        traverseThread(st, static_cast<VmState*>(o));
        break;
      default:
        break;
    }
  }
}

// Whether a weakly held value survives; strings always do, and are marked
// so that the sweep keeps them.
bool survives(const VmValue* v) {
  if (!isCollectableTag(v->tag)) return true;
  if (v->tag == VM_TSTRING) {
    v->value.gc->marked |= VM_GC_REACHED;
    return true;
  }
  return (v->value.gc->marked & VM_GC_REACHED) != 0;
}

void clearWeakTables(GcState* st) {
  for (VmGcHeader* o = st->weak; o != nullptr;) {
    VmTable* t = static_cast<VmTable*>(o);
    o = t->gclist;
    t->gclist = nullptr;
    bool weakkey = (t->marked & VM_GC_WEAKKEY) != 0;
    bool weakvalue = (t->marked & VM_GC_WEAKVALUE) != 0;
    if (weakvalue) {
      for (int32_t i = 0; i < t->sizearray; i++) {
        if (!survives(&t->array[i])) VmSetNil(&t->array[i]);
      }
    }
    if (t->node == st->g->dummynode) continue;
    int size = VmSizeNode(t);
    for (int i = 0; i < size; i++) {
      VmNode* n = &t->node[i];
      if (VmIsNil(&n->value)) continue;
      bool keep = true;
      if (weakkey && !survives(&n->key)) keep = false;
      if (weakvalue && !survives(&n->value)) keep = false;
      if (!keep) {
        VmSetNil(&n->value);
        if (isCollectableTag(n->key.tag)) n->key.tag = VM_TDEADKEY;
      }
    }
  }
  st->weak = nullptr;
}

void freeObject(VmState* L, VmGcHeader* o) {
  switch (o->tag) {
    case VM_TSTRING:
      VmRealloc(L, o, VmSizeString(static_cast<VmString*>(o)->len), 0);
      break;
    case VM_TUSERDATA:
      VmRealloc(L, o, VmSizeUserdata(static_cast<VmUserdata*>(o)->len), 0);
      break;
    case VM_TTABLE:
      VmFreeTable(L, static_cast<VmTable*>(o));
      break;
    case VM_TFUNCTION:
      VmFreeClosure(L, static_cast<VmClosure*>(o));
      break;
    case VM_TPROTO:
      VmFreePrototype(L, static_cast<VmPrototype*>(o));
      break;
    case VM_TUPVAL:
      VmFreeBlock(L, static_cast<VmUpvalue*>(o));
      break;
    case VM_TTHREAD:
      VmFreeThread(L, static_cast<VmState*>(o));
      break;
    default:
      break;
  }
}

inline bool isDead(const VmGcHeader* o) { return (o->marked & (VM_GC_REACHED | VM_GC_FIXED)) == 0; }

// Sorts the n addresses of a into ascending order, using b (n entries) as
// scratch, and returns the one of the two that holds the result: a radix
// sort on the address bits above the allocator's 16-byte alignment that
// differ between the lowest and the highest address.
uintptr_t* sortAddresses(uintptr_t* a, uintptr_t* b, size_t n) {
  constexpr int DIGIT = 11;
  constexpr size_t BUCKETS = size_t(1) << DIGIT;
  if (n < 2) return a;
  uintptr_t lo = a[0];
  uintptr_t hi = a[0];
  for (size_t i = 1; i < n; i++) {
    lo = a[i] < lo ? a[i] : lo;
    hi = a[i] > hi ? a[i] : hi;
  }
  uintptr_t range = (hi - lo) >> 4;
  size_t count[BUCKETS];
  for (int shift = 0; shift < 64 && (range >> shift) != 0; shift += DIGIT) {
    std::memset(count, 0, sizeof count);
    for (size_t i = 0; i < n; i++) count[(((a[i] - lo) >> 4) >> shift) & (BUCKETS - 1)]++;
    size_t pos = 0;
    for (size_t d = 0; d < BUCKETS; d++) {
      size_t c = count[d];
      count[d] = pos;
      pos += c;
    }
    for (size_t i = 0; i < n; i++) b[count[(((a[i] - lo) >> 4) >> shift) & (BUCKETS - 1)]++] = a[i];
    uintptr_t* t = a;
    a = b;
    b = t;
  }
  return a;
}

void sweepStrings(VmState* L) {
  VmGlobalState* g = VmG(L);
  // Dead strings are unlinked in table order, which is random in memory,
  // and freed afterwards from the highest address down: each then lies
  // just below the block freed before it, so the allocator merges it
  // with memory it has just touched instead of with cold neighbours.
  // Without room for the list they are freed as they are found.
  size_t cap = g->strt.nuse;
  uintptr_t* dead = static_cast<uintptr_t*>(std::malloc(2 * cap * sizeof(uintptr_t) + 1));
  size_t ndead = 0;
  for (size_t i = 0; i < g->strt.size; i++) {
    // Chains are short; fetching the head of a later one overlaps the
    // misses that reading scattered records would take one by one.
    if (i + SWEEP_AHEAD < g->strt.size)
      __builtin_prefetch(VmStringSlotFirst(g->strt.hash[i + SWEEP_AHEAD]));
    if (g->strt.hash[i] == 0) continue;
    VmString* head = VmStringSlotFirst(g->strt.hash[i]);
    VmString** pp = &head;
    while (*pp != nullptr) {
      VmString* s = *pp;
      if (isDead(s)) {
        *pp = static_cast<VmString*>(s->next);
        g->strt.nuse--;
        if (dead != nullptr)
          dead[ndead++] = reinterpret_cast<uintptr_t>(s);
        else
          freeObject(L, s);
      } else {
        s->marked &= static_cast<uint8_t>(~VM_GC_REACHED);
        pp = reinterpret_cast<VmString**>(&s->next);
      }
    }
    g->strt.hash[i] = VmStringSlotOf(head);
  }
  if (dead == nullptr) return;
  uintptr_t* sorted = sortAddresses(dead, dead + cap, ndead);
  for (size_t i = ndead; i > 0; i--) {
    if (i > SWEEP_AHEAD) __builtin_prefetch(reinterpret_cast<void*>(sorted[i - 1 - SWEEP_AHEAD]));
    freeObject(L, reinterpret_cast<VmString*>(sorted[i - 1]));
  }
  std::free(dead);
}

// Unlinks the dead objects of a list and frees them; dead threads are only
// unlinked and returned, because freeing one closes its open upvalues into
// the object list that is being swept.
VmGcHeader* sweepList(VmState* L, VmGcHeader** pp) {
  VmGcHeader* deadThreads = nullptr;
  while (*pp != nullptr) {
    VmGcHeader* o = *pp;
    if (isDead(o)) {
      *pp = o->next;
      if (o->tag == VM_TTHREAD) {
        o->next = deadThreads;
        deadThreads = o;
      } else {
        freeObject(L, o);
      }
    } else {
      o->marked &= static_cast<uint8_t>(~VM_GC_REACHED);
      pp = &o->next;
    }
  }
  return deadThreads;
}

// Halves the string table in place: chains i and i + half join in chain i.
void shrinkStringTable(VmState* L) {
  VmGlobalState* g = VmG(L);
  size_t half = g->strt.size / 2;
  for (size_t i = half; i < g->strt.size; i++) {
    VmString* s = VmStringSlotFirst(g->strt.hash[i]);
    while (s != nullptr) {
      VmString* next = static_cast<VmString*>(s->next);
      size_t h = VmStringChain(s->slotHash, half);
      s->next = VmStringSlotFirst(g->strt.hash[h]);
      g->strt.hash[h] = VmStringSlotOf(s);
      s = next;
    }
  }
  // Shrinking never fails (the allocator keeps the old block if it must).
  g->strt.hash = static_cast<uintptr_t*>(
      VmRealloc(L, g->strt.hash, g->strt.size * sizeof(uintptr_t), half * sizeof(uintptr_t)));
  g->strt.size = half;
}

struct HookGuard {
  VmState* L;
  uint8_t saved;
  explicit HookGuard(VmState* l) : L(l), saved(l->allowhook) { L->allowhook = 0; }
  ~HookGuard() { L->allowhook = saved; }
};

}  // namespace

void VmLinkObject(VmState* L, VmGcHeader* o, uint8_t tag) {
  VmGlobalState* g = VmG(L);
  o->next = g->rootgc;
  g->rootgc = o;
  o->marked = 0;
  o->tag = tag;
}

size_t VmSeparateUserdata(VmState* L, bool all) {
  VmGlobalState* g = VmG(L);
  size_t deadmem = 0;
  VmGcHeader** last = &g->tmudata;
  while (*last != nullptr) last = &(*last)->next;
  VmGcHeader** pp = &g->rootudata;
  while (*pp != nullptr) {
    VmUserdata* u = static_cast<VmUserdata*>(*pp);
    bool candidate = (all || !(u->marked & VM_GC_REACHED)) && (u->marked & VM_GC_NOTFINALIZED) &&
                     VmFastEvent(L, u->metatable, VM_TM_GC) != nullptr;
    if (!candidate) {
      pp = &u->next;
      continue;
    }
    deadmem += VmSizeUserdata(u->len);
    *pp = u->next;
    u->next = nullptr;
    *last = u;
    last = &u->next;
  }
  return deadmem;
}

void VmCollectGarbage(VmState* L) {
  VmGlobalState* g = VmG(L);
  GcState st{L, g, nullptr, nullptr};
  // Small blocks freed earlier that this cycle did not take back go to
  // the heap when they outweigh the bytes in use: after a large structure
  // was dropped, say, or when the script has moved on to blocks of other
  // sizes. Fewer stay for the next cycle, which this sweep adds to: a
  // script that makes a structure again soon after dropping one (as its
  // phases alternate) finds them there rather than in the heap.
  if (g->poolbytes > g->nblocks) VmReleasePooledBlocks(g);
  // 1. Roots, including userdata still waiting for their finaliser.
  markValue(&st, &g->registry);
  markValue(&st, &g->defaultmeta);
  markObject(&st, g->mainthread);
  markObject(&st, L);
  for (VmGcHeader* u = g->tmudata; u != nullptr; u = u->next) markObject(&st, u);
  // 2. Everything reachable from them.
  propagate(&st);
  // 3. Unreached userdata with finalisers stay alive for them.
  size_t deadmem = VmSeparateUserdata(L, false);
  for (VmGcHeader* u = g->tmudata; u != nullptr; u = u->next) markObject(&st, u);
  propagate(&st);
  // 4. Weak entries whose object is otherwise unreached go.
  clearWeakTables(&st);
  // 5. Sweep.
  sweepStrings(L);
  VmGcHeader* deadThreads = sweepList(L, &g->rootgc);
  sweepList(L, &g->rootudata);
  for (VmGcHeader* u = g->tmudata; u != nullptr; u = u->next)
    u->marked &= static_cast<uint8_t>(~VM_GC_REACHED);
  g->mainthread->marked &= static_cast<uint8_t>(~VM_GC_REACHED);
  while (deadThreads != nullptr) {
    VmGcHeader* next = deadThreads->next;
    freeObject(L, deadThreads);
    deadThreads = next;
  }
  // 6. Shrink the string table and the concatenation buffer.
  if (g->strt.nuse < g->strt.size / 4 && g->strt.size > SHRINK_STRTAB_MIN) shrinkStringTable(L);
  if (g->buffsize > SHRINK_BUFFER_MIN) {
    size_t half = g->buffsize / 2;
    g->buff = static_cast<char*>(VmRealloc(L, g->buff, g->buffsize, half));
    g->buffsize = half;
  }
  // 7. Next threshold.
  size_t twice = 2 * g->nblocks;
  g->GCthreshold = twice > deadmem ? twice - deadmem : 0;
  // 8. Finalisers.
  VmCallPendingFinalisers(L);
}

void VmCallPendingFinalisers(VmState* L) {
  VmGlobalState* g = VmG(L);
  if (g->tmudata == nullptr) return;
  HookGuard guard(L);
  VmEnsureStack(L, 3);
  // One slot above the top is kept out of the finalisers' way.
  VmSetNil(L->top);
  L->top++;
  while (g->tmudata != nullptr) {
    VmUserdata* u = static_cast<VmUserdata*>(g->tmudata);
    g->tmudata = u->next;
    u->next = g->rootudata;
    g->rootudata = u;
    u->marked &= static_cast<uint8_t>(~VM_GC_NOTFINALIZED);
    const VmValue* tm = VmFastEvent(L, u->metatable, VM_TM_GC);
    if (tm != nullptr && VmIsFunction(tm)) {
      VmEnsureStack(L, 2);
      L->top[0] = *tm;
      VmSetUserdata(L->top + 1, u);
      L->top += 2;
      VmCallValue(L, L->top - 2, 0);
    }
  }
  L->top--;
}

void VmFreeAllObjects(VmState* L) {
  VmGlobalState* g = VmG(L);
  // Freeing a thread closes its upvalues onto the front of rootgc, where
  // this loop still finds them.
  while (g->rootgc != nullptr) {
    VmGcHeader* o = g->rootgc;
    g->rootgc = o->next;
    freeObject(L, o);
  }
  VmGcHeader* lists[2] = {g->rootudata, g->tmudata};
  g->rootudata = g->tmudata = nullptr;
  for (VmGcHeader* o : lists) {
    while (o != nullptr) {
      VmGcHeader* next = o->next;
      freeObject(L, o);
      o = next;
    }
  }
  for (size_t i = 0; i < g->strt.size; i++) {
    VmGcHeader* o = VmStringSlotFirst(g->strt.hash[i]);
    while (o != nullptr) {
      VmGcHeader* next = o->next;
      freeObject(L, o);
      o = next;
    }
    g->strt.hash[i] = 0;
  }
  g->strt.nuse = 0;
}

uint32_t VmGetGcThreshold(VmState* L) {
  size_t t = VmG(L)->GCthreshold;
  if (t == VM_GC_OFF) return 0xFFFFFFFFu;
  size_t kb = t >> 10;
  return kb >= 0xFFFFFFFFu ? 0xFFFFFFFEu : uint32_t(kb);
}

uint32_t VmGetGcCount(VmState* L) {
  size_t kb = VmG(L)->nblocks >> 10;
  return kb > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(kb);
}

void VmSetGcThreshold(VmState* L, uint32_t kb) {
  VmGlobalState* g = VmG(L);
  if (kb < 4194304u)
    g->GCthreshold = size_t(kb) * 1024;
  else
    g->GCthreshold = VM_GC_OFF;
  VmCheckGC(L);
}
