// Prototypes, closures and upvalues.
//
// Invariant: the open upvalues of a thread form one list (linked through
// the object header) ordered by stack slot, highest first, with at most one
// upvalue per slot; open upvalues are not in the collector's object list and
// join it when they are closed.
#include <cassert>

#include "engine/object.h"

VmPrototype* VmNewPrototype(VmState* L) {
  VmPrototype* p = VmNewBlock<VmPrototype>(L);
  p->k = nullptr;
  p->code = nullptr;
  p->exec = nullptr;
  p->p = nullptr;
  p->lineinfo = nullptr;
  p->locvars = nullptr;
  p->upvalues = nullptr;
  p->source = nullptr;
  p->sizeupvalues = 0;
  p->sizek = 0;
  p->sizecode = 0;
  p->sizelineinfo = 0;
  p->sizep = 0;
  p->sizelocvars = 0;
  p->lineDefined = 0;
  p->lineends = nullptr;
  p->gclist = nullptr;
  p->nups = 0;
  p->numparams = 0;
  p->is_vararg = 0;
  p->maxstacksize = 0;
  VmLinkObject(L, p, VM_TPROTO);
  return p;
}

void VmFreePrototype(VmState* L, VmPrototype* p) {
  VmFreeBlock(L, p->code, size_t(p->sizecode));
  VmFreeBlock(L, p->exec, p->exec != nullptr ? size_t(p->sizecode) : 0);
  VmFreeBlock(L, p->p, size_t(p->sizep));
  VmFreeBlock(L, p->k, size_t(p->sizek));
  VmFreeBlock(L, p->lineinfo, size_t(p->sizelineinfo));
  VmFreeBlock(L, p->locvars, size_t(p->sizelocvars));
  VmFreeBlock(L, p->upvalues, size_t(p->sizeupvalues));
  VmFreeBlock(L, p->lineends, size_t(p->sizecode));
  VmFreeBlock(L, p);
}

const int32_t* VmLineEnds(VmState* L, VmPrototype* p) {
  if (p->lineends != nullptr || p->sizecode <= 0) return p->lineends;
  // Allocated without the state so that a failure returns null instead of
  // raising from inside a hook; the bytes are counted by hand.
  size_t bytes = size_t(p->sizecode) * sizeof(int32_t);
  auto* ends = static_cast<int32_t*>(VmRealloc(nullptr, nullptr, 0, bytes));
  if (ends == nullptr) return nullptr;
  VmG(L)->nblocks += bytes;
  // Instructions past the line table all have line -1.
  auto lineOf = [p](int32_t pc) { return pc < p->sizelineinfo ? p->lineinfo[pc] : -1; };
  int32_t n = p->sizecode;
  ends[n - 1] = n;
  for (int32_t pc = n - 2; pc >= 0; pc--)
    ends[pc] = lineOf(pc) == lineOf(pc + 1) ? ends[pc + 1] : pc + 1;
  p->lineends = ends;
  return ends;
}

VmClosure* VmNewScriptClosure(VmState* L, int nups, const VmValue* globals) {
  assert(nups >= 0 && nups <= UINT8_MAX);  // the count is one byte
  VmClosure* c = static_cast<VmClosure*>(VmRealloc(L, nullptr, 0, VmSizeScriptClosure(nups)));
  c->isC = 0;
  c->nupvalues = static_cast<uint8_t>(nups);
  c->gclist = nullptr;
  c->l.p = nullptr;
  c->l.g = *globals;
  for (int i = 0; i < nups; i++) c->l.upvals[i] = nullptr;
  VmLinkObject(L, c, VM_TFUNCTION);
  return c;
}

VmClosure* VmNewCClosure(VmState* L, int nups) {
  assert(nups >= 0 && nups <= UINT8_MAX);
  VmClosure* c = static_cast<VmClosure*>(VmRealloc(L, nullptr, 0, VmSizeCClosure(nups)));
  c->isC = 1;
  c->nupvalues = static_cast<uint8_t>(nups);
  c->gclist = nullptr;
  c->c.f = nullptr;
  for (int i = 0; i < nups; i++) VmSetNil(&c->c.upvalue[i]);
  VmLinkObject(L, c, VM_TFUNCTION);
  return c;
}

void VmFreeClosure(VmState* L, VmClosure* c) {
  size_t size = c->isC ? VmSizeCClosure(c->nupvalues) : VmSizeScriptClosure(c->nupvalues);
  VmRealloc(L, c, size, 0);
}

VmUpvalue* VmFindUpvalue(VmState* L, VmValue* level) {
  VmGcHeader** pp = &L->openupval;
  while (*pp != nullptr) {
    VmUpvalue* p = static_cast<VmUpvalue*>(*pp);
    if (p->v < level) break;
    if (p->v == level) return p;
    pp = &p->next;
  }
  VmUpvalue* uv = VmNewBlock<VmUpvalue>(L);
  uv->tag = VM_TUPVAL;
  uv->marked = 1;  // open upvalues are never swept
  uv->v = level;
  VmSetNil(&uv->value);
  uv->next = *pp;
  *pp = uv;
  return uv;
}

void VmCloseUpvalues(VmState* L, VmValue* level) {
  while (L->openupval != nullptr) {
    VmUpvalue* p = static_cast<VmUpvalue*>(L->openupval);
    if (p->v < level) break;
    p->value = *p->v;
    p->v = &p->value;
    L->openupval = p->next;
    VmLinkObject(L, p, VM_TUPVAL);
  }
}

const char* VmGetLocalName(const VmPrototype* p, int n, int pc) {
  for (int i = 0; i < p->sizelocvars && p->locvars[i].startpc <= pc; i++) {
    if (pc < p->locvars[i].endpc) {
      n--;
      if (n == 0) return VmStringData(p->locvars[i].name);
    }
  }
  return nullptr;
}
