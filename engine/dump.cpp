// The compiled-chunk writer: the loader's twin. It writes a script function
// and its nested functions as a chunk through the caller's writer.
//
// Invariant: the output is always the loader's canonical form: little-endian,
// 4-byte lengths, the fixed header, and a nested function's source written
// only where it differs from its parent's; everything is checked before the
// first byte goes out, so a refused function writes nothing.
#include <cstring>

#include "engine/load.h"
#include "engine/opcodes.h"
#include "engine/engine_private.h"

namespace {

struct DumpState {
  VmState* L;
  VmWriter writer;
  void* data;
  size_t used;  // bytes staged in buf
  unsigned char buf[512];
};

void flush(DumpState* D) {
  if (D->used > 0) D->writer(D->L, D->buf, D->used, D->data);
  D->used = 0;
}

void dumpBlock(DumpState* D, const void* b, size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(b);
  while (n > 0) {
    if (D->used == sizeof D->buf) flush(D);
    size_t m = sizeof D->buf - D->used;
    if (m > n) m = n;
    std::memcpy(D->buf + D->used, p, m);
    D->used += m;
    p += m;
    n -= m;
  }
}

void dumpByte(DumpState* D, uint8_t b) { dumpBlock(D, &b, 1); }

void dumpWord(DumpState* D, uint32_t v) {
  unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  dumpBlock(D, b, 4);
}

void dumpInt(DumpState* D, int32_t v) { dumpWord(D, static_cast<uint32_t>(v)); }

void dumpNumber(DumpState* D, double x) {
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  dumpWord(D, static_cast<uint32_t>(bits));
  dumpWord(D, static_cast<uint32_t>(bits >> 32));
}

void dumpString(DumpState* D, const VmString* s) {
  if (s == nullptr) {
    dumpWord(D, 0);
    return;
  }
  dumpWord(D, static_cast<uint32_t>(s->len + 1));
  dumpBlock(D, VmStringData(s), s->len + 1);
}

// Every string must fit a 4-byte length (its text plus the zero byte).
bool stringFits(const VmString* s) { return s == nullptr || s->len < UINT32_MAX; }

bool functionFits(const VmPrototype* f) {
  if (!stringFits(f->source)) return false;
  for (int32_t i = 0; i < f->sizelocvars; i++)
    if (!stringFits(f->locvars[i].name)) return false;
  for (int32_t i = 0; i < f->sizeupvalues; i++)
    if (!stringFits(f->upvalues[i])) return false;
  for (int32_t i = 0; i < f->sizek; i++)
    if (VmIsString(&f->k[i]) && !stringFits(VmStringOf(&f->k[i]))) return false;
  for (int32_t i = 0; i < f->sizep; i++)
    if (!functionFits(f->p[i])) return false;
  return true;
}

void dumpFunction(DumpState* D, const VmPrototype* f, const VmString* parentSource, bool isMain) {
  dumpString(D, isMain || f->source != parentSource ? f->source : nullptr);
  dumpInt(D, f->lineDefined);
  dumpByte(D, f->nups);
  dumpByte(D, f->numparams);
  dumpByte(D, f->is_vararg);
  dumpByte(D, f->maxstacksize);

  dumpInt(D, f->sizelineinfo);
  for (int32_t i = 0; i < f->sizelineinfo; i++) dumpInt(D, f->lineinfo[i]);

  dumpInt(D, f->sizelocvars);
  for (int32_t i = 0; i < f->sizelocvars; i++) {
    dumpString(D, f->locvars[i].name);
    dumpInt(D, f->locvars[i].startpc);
    dumpInt(D, f->locvars[i].endpc);
  }

  dumpInt(D, f->sizeupvalues);
  for (int32_t i = 0; i < f->sizeupvalues; i++) dumpString(D, f->upvalues[i]);

  dumpInt(D, f->sizek);
  for (int32_t i = 0; i < f->sizek; i++) {
    const VmValue* o = &f->k[i];
    switch (o->tag) {
      case VM_TNUMBER:
        dumpByte(D, VM_TNUMBER);
        dumpNumber(D, VmNumberOf(o));
        break;
      case VM_TSTRING:
        dumpByte(D, VM_TSTRING);
        dumpString(D, VmStringOf(o));
        break;
      default:
        // Constants are nil, numbers or strings only.
        dumpByte(D, VM_TNIL);
        break;
    }
  }

  dumpInt(D, f->sizep);
  for (int32_t i = 0; i < f->sizep; i++) dumpFunction(D, f->p[i], f->source, false);

  dumpInt(D, f->sizecode);
  for (int32_t i = 0; i < f->sizecode; i++) dumpWord(D, f->code[i]);
}

void dumpHeader(DumpState* D) {
  dumpBlock(D, VM_CHUNK_SIGNATURE, sizeof VM_CHUNK_SIGNATURE);
  const uint8_t sizes[9] = {1, 4, 4, 4, VM_SIZE_OP, VM_SIZE_A, VM_SIZE_B, VM_SIZE_C, 8};
  dumpBlock(D, sizes, sizeof sizes);
  dumpNumber(D, VM_CHUNK_TEST_NUMBER);
}

// The value at a stack index: positive from the frame base, negative from
// the top, or the registry and globals pseudo-indices.
const VmValue* indexValue(VmState* L, int idx) {
  if (idx > 0) {
    const VmValue* o = L->base + (idx - 1);
    return o < L->top ? o : &vmNilValue;
  }
  if (idx > VM_REGISTRYINDEX)
    return idx < 0 && -idx <= L->top - L->base ? L->top + idx : &vmNilValue;
  if (idx == VM_REGISTRYINDEX) return &VmG(L)->registry;
  if (idx == VM_GLOBALSINDEX) return &L->gt;
  return &vmNilValue;
}

}  // namespace

ErrorCode VmDump(VmState* L, int idx, VmWriter writer, void* data) {
  const VmValue* o = indexValue(L, idx);
  if (!VmIsFunction(o) || VmClosureOf(o)->isC) return ERR_NOQMFUNC;
  const VmPrototype* f = VmClosureOf(o)->l.p;
  if (!functionFits(f)) {
    VmSetBadCodeLocation(f->source, "main function", -1, 0,
                         "a string too long for the chunk format");
    return ERR_BADBYTECODE;
  }
  DumpState D;
  D.L = L;
  D.writer = writer;
  D.data = data;
  D.used = 0;
  dumpHeader(&D);
  dumpFunction(&D, f, nullptr, true);
  flush(&D);
  return 0;
}
