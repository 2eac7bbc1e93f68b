// Services built on the command API that commands and plug-ins share: the
// string builder on the VM stack, integer references into a table, declared
// table sizes, metatables registered under type names, metamethod lookups,
// list searches and non-raising conversions of callback results.
//
// Invariant: every function here leaves the stack as documented and touches
// nothing below the values it was given; the builder's pieces are the only
// values it keeps on the stack between calls.
#include <cstring>

#include "engine/engine.h"
#include "engine/engine_private.h"

namespace {

// Pieces stay merged so that no more than this many are on the stack.
constexpr int BUFFER_PIECE_LIMIT = 10;

// Reference table slots: the free-list head and the table-size registry.
constexpr int FREELIST_SLOT = 1;
constexpr int SIZES_SLOT = 2;
constexpr int FIRST_REF = 3;

// A stack index that stays valid while values are pushed.
int absIndex(VmState* L, int i) {
  return (i > 0 || i <= VM_REGISTRY_INDEX) ? i : VmGetTop(L) + i + 1;
}

size_t bufferLength(const VmStringBuffer* b) { return static_cast<size_t>(b->p - b->buffer); }

// Merges pieces from the top down: the top piece takes in the one below
// while many pieces remain or it is the longer one.
void adjustStack(VmStringBuffer* b) {
  if (b->pieces <= 1) return;
  VmState* L = b->L;
  int toget = 1;
  size_t toplen = VmStrLen(L, -1);
  do {
    size_t l = VmStrLen(L, -(toget + 1));
    if (b->pieces - toget + 1 >= BUFFER_PIECE_LIMIT || toplen > l) {
      toplen += l;
      toget++;
    } else {
      break;
    }
  } while (toget < b->pieces);
  VmConcat(L, toget);
  b->pieces = b->pieces - toget + 1;
}

// Pushes the pending bytes as a piece; false when there were none.
bool emptyBuffer(VmStringBuffer* b) {
  size_t l = bufferLength(b);
  if (l == 0) return false;
  VmPushLString(b->L, b->buffer, l);
  b->p = b->buffer;
  b->pieces++;
  return true;
}

// The table-size registry of the reference table's owner (the registry),
// pushed; null-free: created with weak keys on first use.
void pushSizeRegistry(VmState* L) {
  VmRawGetI(L, VM_REGISTRY_INDEX, SIZES_SLOT);
  if (VmType(L, -1) == VM_TYPE_TABLE) return;
  VmSetTop(L, -2);
  VmNewTable(L);
  VmNewTable(L);
  VmPushString(L, "__mode");
  VmPushString(L, "k");
  VmRawSet(L, -3);
  VmSetMetatable(L, -2);
  VmPushValue(L, -1);
  VmRawSetI(L, VM_REGISTRY_INDEX, SIZES_SLOT);
}

// Pushes the "n" field of the table when it is a number; true then.
bool pushNumberN(VmState* L, int t) {
  VmPushString(L, "n");
  VmRawGet(L, t);
  if (VmType(L, -1) == VM_TYPE_NUMBER) return true;
  VmSetTop(L, -2);
  return false;
}

}  // namespace

// ---- String builder ----------------------------------------------------------------

void VmBufferInit(VmState* L, VmStringBuffer* b) {
  b->L = L;
  b->p = b->buffer;
  b->pieces = 0;
}

size_t VmBufferPrepare(VmStringBuffer* b) {
  if (emptyBuffer(b)) adjustStack(b);
  return VM_BUFFER_SIZE;
}

void VmBufferAddBytes(VmStringBuffer* b, const char* s, size_t n) {
  while (n > 0) {
    size_t room = VM_BUFFER_SIZE - bufferLength(b);
    if (room == 0) {
      VmBufferPrepare(b);
      continue;
    }
    size_t k = n < room ? n : room;
    std::memcpy(b->p, s, k);
    b->p += k;
    s += k;
    n -= k;
  }
}

void VmBufferAddString(VmStringBuffer* b, const char* s) { VmBufferAddBytes(b, s, std::strlen(s)); }

void VmBufferAddValue(VmStringBuffer* b) {
  VmState* L = b->L;
  size_t vl = 0;
  const char* s = VmToStringOrError(L, -1, &vl, nullptr);
  if (s == nullptr) {
    VmSetTop(L, -2);
    return;
  }
  if (vl <= VM_BUFFER_SIZE - bufferLength(b)) {
    std::memcpy(b->p, s, vl);
    b->p += vl;
    VmSetTop(L, -2);
    return;
  }
  // The value becomes a piece of its own, after the pending text.
  if (emptyBuffer(b)) VmInsert(L, -2);
  b->pieces++;
  adjustStack(b);
}

void VmBufferPushResult(VmStringBuffer* b) {
  emptyBuffer(b);
  VmConcat(b->L, b->pieces);
  b->pieces = 1;
}

// ---- References --------------------------------------------------------------------

VmRef VmCreateReference(VmState* L, int table) {
  int t = absIndex(L, table);
  if (VmType(L, -1) == VM_TYPE_NIL) {
    VmSetTop(L, -2);
    return VM_REF_NIL;
  }
  VmRawGetI(L, t, FREELIST_SLOT);
  VmRef ref = VmTruncInt32(VmToNumber(L, -1));
  VmSetTop(L, -2);
  if (ref >= FIRST_REF) {
    VmRawGetI(L, t, ref);
    VmRawSetI(L, t, FREELIST_SLOT);
  } else {
    ref = VmGetTableSize(L, t) + 1;
    if (ref < FIRST_REF) ref = FIRST_REF;
    VmSetTableSize(L, t, ref);
  }
  VmRawSetI(L, t, ref);
  return ref;
}

void VmReleaseReference(VmState* L, int table, VmRef ref) {
  if (ref < 0) return;
  int t = absIndex(L, table);
  VmRawGetI(L, t, FREELIST_SLOT);
  VmRawSetI(L, t, ref);
  VmPushNumber(L, ref);
  VmRawSetI(L, t, FREELIST_SLOT);
}

// ---- Table sizes -------------------------------------------------------------------

int VmGetTableSize(VmState* L, int table) {
  int t = absIndex(L, table);
  if (pushNumberN(L, t)) {
    int n = VmTruncInt32(VmToNumber(L, -1));
    VmSetTop(L, -2);
    return n;
  }
  pushSizeRegistry(L);
  VmPushValue(L, t);
  VmRawGet(L, -2);
  if (VmType(L, -1) == VM_TYPE_NUMBER) {
    int n = VmTruncInt32(VmToNumber(L, -1));
    VmSetTop(L, -3);
    return n;
  }
  VmSetTop(L, -3);
  int n = 0;
  for (;; n++) {
    VmRawGetI(L, t, n + 1);
    bool isnil = VmType(L, -1) == VM_TYPE_NIL;
    VmSetTop(L, -2);
    if (isnil) break;
  }
  return n;
}

void VmSetTableSize(VmState* L, int table, int n) {
  int t = absIndex(L, table);
  if (pushNumberN(L, t)) {
    VmSetTop(L, -2);
    VmPushString(L, "n");
    VmPushNumber(L, n);
    VmRawSet(L, t);
    return;
  }
  pushSizeRegistry(L);
  VmPushValue(L, t);
  VmPushNumber(L, n);
  VmRawSet(L, -3);
  VmSetTop(L, -2);
}

// ---- Metatables by type name ---------------------------------------------------------

int VmNewNamedMetatable(VmState* L, const char* name) {
  VmPushString(L, name);
  VmRawGet(L, VM_REGISTRY_INDEX);
  if (VmType(L, -1) != VM_TYPE_NIL) return 0;
  VmSetTop(L, -2);
  VmNewTable(L);
  VmPushString(L, name);
  VmPushValue(L, -2);
  VmRawSet(L, VM_REGISTRY_INDEX);
  VmPushValue(L, -1);
  VmPushString(L, name);
  VmRawSet(L, VM_REGISTRY_INDEX);
  return 1;
}

void VmGetNamedMetatable(VmState* L, const char* name) {
  VmPushString(L, name);
  VmRawGet(L, VM_REGISTRY_INDEX);
}

void* VmTestTypedUserdata(VmState* L, int index, const char* name) {
  int i = absIndex(L, index);
  if (VmType(L, i) != VM_TYPE_USERDATA || !VmGetMetatable(L, i)) return nullptr;
  VmRawGet(L, VM_REGISTRY_INDEX);
  const char* tn = VmType(L, -1) == VM_TYPE_STRING ? VmToString(L, -1) : nullptr;
  bool same = tn != nullptr && std::strcmp(tn, name) == 0;
  VmSetTop(L, -2);
  return same ? VmToUserdata(L, i) : nullptr;
}

int VmGetMetaField(VmState* L, int index, const char* event) {
  int i = absIndex(L, index);
  if (!VmGetMetatable(L, i)) return 0;
  VmPushString(L, event);
  VmRawGet(L, -2);
  if (VmType(L, -1) == VM_TYPE_NIL) {
    VmSetTop(L, -3);
    return 0;
  }
  VmRemove(L, -2);
  return 1;
}

int VmCallMetaMethod(VmState* L, int index, const char* event) {
  int i = absIndex(L, index);
  if (!VmGetMetaField(L, i, event)) return 0;
  VmPushValue(L, i);
  VmCall(L, 1, 1);
  return 1;
}

int VmFindStringInList(const char* text, const char* const* list) {
  for (int i = 0; list[i] != nullptr; i++)
    if (std::strcmp(list[i], text) == 0) return i;
  return -1;
}

// ---- Callback results ------------------------------------------------------------------

double VmToNumberOrError(VmState* L, int index, ErrorCode* code) {
  if (!VmIsNumber(L, index)) {
    if (code != nullptr) *code = ERR_NUMCALLBACK;
    return 0;
  }
  if (code != nullptr) *code = 0;
  return VmToNumber(L, index);
}

const char* VmToStringOrError(VmState* L, int index, size_t* len, ErrorCode* code) {
  if (!VmIsString(L, index)) {
    if (code != nullptr) *code = ERR_STRCALLBACK;
    if (len != nullptr) *len = 0;
    return nullptr;
  }
  if (code != nullptr) *code = 0;
  const char* s = VmToString(L, index);
  if (len != nullptr) *len = VmStrLen(L, index);
  return s;
}
