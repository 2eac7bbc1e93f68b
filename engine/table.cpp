// Tables: an array part for the integer keys 1..sizearray and a chained
// scatter table (Brent's variation) for every other key.
//
// Invariants:
// - A number key k that is an integer with 1 <= k <= sizearray lives in
//   array[k - 1]; every other key (0 among them) lives in the hash part.
// - Every key in the hash part is in the chain that starts at its main
//   position; a node that holds a value and sits in another key's main
//   position is moved away when that key arrives, so chains never merge.
// - A table without a hash part of its own points at the shared empty node
//   of the global state, which is never written.
// - A removed key stays in its node with a nil value, so a traversal can go
//   on from it; the collector turns such collectable keys into dead keys.
#include <cmath>
#include <cstring>

#include "engine/object.h"

const VmValue vmNilValue = {VM_TNIL, {nullptr}};

namespace {

inline bool numberToInt(double n, int* k) { return VmNumberToInt(n, k); }

inline VmNode* hashMod(VmTable* t, uint32_t n) {
  // A part of one node (the shared empty node among them) needs no
  // division: everything is modulo 1 there.
  if (t->nodemask == 0) return t->node;
  return &t->node[n % (t->nodemask | 1)];
}

inline VmNode* hashNum(VmTable* t, double n) {
  // Adding 1 makes -0 and 0 hash alike; the two words of the double are
  // summed so that both the exponent and the low mantissa bits count.
  n += 1;
  uint32_t a[2];
  std::memcpy(a, &n, sizeof(a));
  return hashMod(t, uint32_t(a[0] + a[1]));
}

inline VmNode* hashPointer(VmTable* t, const void* p) {
  // The address is reduced in 32-bit arithmetic; on this 64-bit build the
  // high half is folded in first so that it still counts.
  uint64_t a = reinterpret_cast<uintptr_t>(p);
  return hashMod(t, uint32_t(a) ^ uint32_t(a >> 32));
}

VmNode* mainPosition(VmTable* t, const VmValue* key) {
  switch (key->tag) {
    case VM_TNUMBER:
      return hashNum(t, key->value.n);
    case VM_TSTRING:
      return &t->node[VmStringKeyHash(VmStringOf(key)) & t->nodemask];
    case VM_TBOOLEAN:
      return &t->node[uint32_t(key->value.b) & t->nodemask];
    default:
      return hashPointer(t, key->value.p);
  }
}

inline bool rawEqualKey(const VmValue* a, const VmValue* b) {
  if (a->tag != b->tag) return false;
  switch (a->tag) {
    case VM_TNIL:
      return true;
    case VM_TNUMBER:
      return a->value.n == b->value.n;
    case VM_TBOOLEAN:
      return a->value.b == b->value.b;
    default:
      return a->value.p == b->value.p;
  }
}

const VmValue* getNumberKey(VmTable* t, double n) {
  VmNode* node = hashNum(t, n);
  do {
    if (node->key.tag == VM_TNUMBER && node->key.value.n == n) return &node->value;
    node = node->next;
  } while (node != nullptr);
  return &vmNilValue;
}

const VmValue* getAnyKey(VmTable* t, const VmValue* key) {
  VmNode* node = mainPosition(t, key);
  do {
    if (rawEqualKey(&node->key, key)) return &node->value;
    node = node->next;
  } while (node != nullptr);
  return &vmNilValue;
}

// The room after t's record (see VmTable), and whether p lies in it.
inline char* roomStart(VmTable* t) { return reinterpret_cast<char*>(t + 1); }
inline bool inRoom(VmTable* t, const void* p) {
  const char* c = static_cast<const char*>(p);
  return c >= roomStart(t) && c < roomStart(t) + t->inlinesize;
}

inline size_t nodeBytes(int lsize) { return sizeof(VmNode) << lsize; }

// Bytes of the room that the array part (at its start) and the hash part
// (at its end) use.
inline size_t arrayRoomBytes(VmTable* t) {
  return inRoom(t, t->array) ? size_t(t->sizearray) * sizeof(VmValue) : 0;
}
inline size_t nodeRoomBytes(VmTable* t) { return inRoom(t, t->node) ? nodeBytes(t->lsizenode) : 0; }

// Gives t a hash part of 2^lsize cleared nodes (own), or the shared empty
// node. The part takes the end of the room when it fits there beside
// arrayBytes of array part at its start, unless the current hash part is
// there (a resize still reads it after this).
void setNodeVector(VmState* L, VmTable* t, int lsize, bool own, size_t arrayBytes) {
  if (!own) {
    t->node = VmG(L)->dummynode;
    t->lsizenode = 0;
    t->nodemask = 0;
    t->lastfree = nullptr;
    return;
  }
  size_t size = size_t(1) << lsize;
  size_t bytes = nodeBytes(lsize);
  VmNode* n;
  if (!inRoom(t, t->node) && bytes + arrayBytes <= t->inlinesize) {
    n = reinterpret_cast<VmNode*>(roomStart(t) + t->inlinesize - bytes);
    VmG(L)->nblocks += bytes;
  } else {
    n = VmNewBlock<VmNode>(L, size);
  }
  for (size_t i = 0; i < size; i++) {
    VmSetNil(&n[i].key);
    VmSetNil(&n[i].value);
    n[i].next = nullptr;
  }
  t->node = n;
  t->lsizenode = static_cast<uint8_t>(lsize);
  t->nodemask = static_cast<uint32_t>(size - 1);
  t->lastfree = n + size;  // every node is free
}

// Gives up a hash part of t (the current one or the one a resize
// replaced): a block of its own is freed, one in the room only stops
// counting.
void freeNodes(VmState* L, VmTable* t, VmNode* node, int lsize, bool own) {
  if (!own) return;
  if (inRoom(t, node))
    VmG(L)->nblocks -= nodeBytes(lsize);
  else
    VmFreeBlock(L, node, size_t(1) << lsize);
}

// Resizes t's array part from old to n slots, keeping the first of them
// (the new ones are not set; sizearray is the caller's). The part stays in
// the room, or moves into it from nothing, when n slots fit there beside
// reservedBytes at its end; it moves out into a block of its own when
// they do not. Out of memory raises 1000 with the part as it was.
void resizeArray(VmState* L, VmTable* t, int32_t old, int32_t n, size_t reservedBytes) {
  size_t oldBytes = size_t(old) * sizeof(VmValue);
  size_t bytes = size_t(n) * sizeof(VmValue);
  bool inroom = inRoom(t, t->array);
  if ((inroom || old == 0) && bytes + reservedBytes <= t->inlinesize) {
    t->array = n > 0 ? reinterpret_cast<VmValue*>(roomStart(t)) : nullptr;
    VmG(L)->nblocks = VmG(L)->nblocks - oldBytes + bytes;
    return;
  }
  if (inroom) {
    VmValue* a = VmNewBlock<VmValue>(L, size_t(n));
    std::memcpy(a, t->array, old < n ? oldBytes : bytes);
    VmG(L)->nblocks -= oldBytes;
    t->array = a;
    return;
  }
  t->array = static_cast<VmValue*>(VmRealloc(L, t->array, oldBytes, bytes));
}

// Gives up t's array part as freeNodes gives up a hash part.
void freeArray(VmState* L, VmTable* t) {
  if (inRoom(t, t->array))
    VmG(L)->nblocks -= size_t(t->sizearray) * sizeof(VmValue);
  else
    VmFreeBlock(L, t->array, size_t(t->sizearray));
}

inline bool ownsNodes(VmState* L, const VmTable* t) { return t->node != VmG(L)->dummynode; }

// Smallest k with 2^k >= x (x >= 1).
int ceilLog2(uint32_t x) {
  int k = 0;
  while ((uint32_t(1) << k) < x) k++;
  return k;
}

// Slice of an array candidate key: slice i holds 2^(i-1) < k <= 2^i.
inline void countIntKey(const VmValue* key, uint32_t nums[VM_MAXBITS + 1], uint32_t* nint) {
  int k;
  if (key->tag == VM_TNUMBER && numberToInt(key->value.n, &k) && k >= 1 && k <= VM_MAXASIZE) {
    nums[ceilLog2(uint32_t(k))]++;
    (*nint)++;
  }
}

// New array size: the largest power of two n such that more than n/2 of the
// keys 1..n are present; *na receives how many keys go there.
int32_t computeArraySize(const uint32_t nums[VM_MAXBITS + 1], uint32_t nint, uint32_t* na) {
  uint32_t a = 0;
  int32_t best = 0;
  *na = 0;
  for (int i = 0; i <= VM_MAXBITS; i++) {
    uint32_t twotoi = uint32_t(1) << i;
    if (twotoi / 2 >= nint) break;  // no larger size can be more than half full
    a += nums[i];
    if (a > twotoi / 2) {
      best = int32_t(twotoi);
      *na = a;
    }
  }
  return best;
}

void rehash(VmState* L, VmTable* t, const VmValue* extraKey) {
  uint32_t nums[VM_MAXBITS + 1] = {};
  uint32_t nint = 0;
  uint32_t total = 0;
  for (int32_t i = 0; i < t->sizearray; i++) {
    if (!VmIsNil(&t->array[i])) {
      nums[ceilLog2(uint32_t(i + 1))]++;
      nint++;
      total++;
    }
  }
  if (ownsNodes(L, t)) {
    int size = VmSizeNode(t);
    for (int i = 0; i < size; i++) {
      VmNode* n = &t->node[i];
      if (!VmIsNil(&n->value)) {
        countIntKey(&n->key, nums, &nint);
        total++;
      }
    }
  }
  countIntKey(extraKey, nums, &nint);
  total++;
  uint32_t na;
  int32_t nasize = computeArraySize(nums, nint, &na);
  uint32_t nhash = total - na;
  if (nhash == 0)
    VmTableResize(L, t, nasize, -1);
  else
    VmTableResize(L, t, nasize, ceilLog2(nhash));
}

// Inserts a key that is not present; returns its (nil) value slot.
VmValue* newKey(VmState* L, VmTable* t, const VmValue* key) {
  for (;;) {
    VmNode* mp = mainPosition(t, key);
    if (!VmIsNil(&mp->value) || !ownsNodes(L, t)) {
      VmNode* f = nullptr;
      if (ownsNodes(L, t)) {
        while (t->lastfree > t->node) {
          t->lastfree--;
          if (VmIsNil(&t->lastfree->key)) {
            f = t->lastfree;
            break;
          }
        }
      }
      if (f == nullptr) {
        rehash(L, t, key);
        // The key may now belong to the array part.
        int k;
        if (key->tag == VM_TNUMBER && numberToInt(key->value.n, &k) &&
            uint32_t(k) - 1u < uint32_t(t->sizearray))
          return &t->array[k - 1];
        continue;
      }
      VmNode* othern = mainPosition(t, &mp->key);
      if (othern != mp) {
        // The occupant is out of its main position: move it to the
        // free node and take its place.
        while (othern->next != mp) othern = othern->next;
        othern->next = f;
        *f = *mp;
        mp->next = nullptr;
        VmSetNil(&mp->value);
      } else {
        // The occupant is at home: chain the new key after it.
        f->next = mp->next;
        mp->next = f;
        mp = f;
      }
    }
    mp->key = *key;
    return &mp->value;
  }
}

// Room a new table gets after its record: for the hash part of 2^lsize
// nodes and the array part it asks for. A list (an array part and no hash
// part), as constructors and the runtime make them, also gets room for
// the one node that its key 0 takes beside the array part that its items
// then leave: the least power of two that holds all but the first. None
// when the block would be too large for the small-block lists.
size_t roomFor(int narray, int lsize) {
  size_t arrayBytes = size_t(narray) * sizeof(VmValue);
  size_t room = 0;
  if (lsize > 0) {
    room = nodeBytes(lsize) + arrayBytes;
  } else if (narray > 0) {
    size_t listSlots = narray > 1 ? size_t(1) << ceilLog2(uint32_t(narray - 1)) : 0;
    room = sizeof(VmNode) + listSlots * sizeof(VmValue);
    if (room < arrayBytes) room = arrayBytes;
  }
  return sizeof(VmTable) + room <= VM_POOL_MAX ? room : 0;
}

}  // namespace

VmTable* VmCreateTable(VmState* L, int narray, int lsizenode) {
  if (lsizenode > VM_MAXBITS || narray > VM_MAXASIZE) VmRaiseError(L, ERR_TABLEOVERFLOW);
  if (narray < 0) narray = 0;
  size_t room = roomFor(narray, lsizenode);
  VmTable* t = static_cast<VmTable*>(VmAllocCounted(L, sizeof(VmTable) + room, sizeof(VmTable)));
  VmGlobalState* g = VmG(L);
  t->flags = 0xFF;
  t->lsizenode = 0;
  t->inlinesize = static_cast<uint8_t>(room);
  t->nodemask = 0;
  t->metatable = VmIsTable(&g->defaultmeta) ? VmTableOf(&g->defaultmeta) : nullptr;
  t->array = nullptr;
  t->sizearray = 0;
  t->node = g->dummynode;
  t->lastfree = nullptr;
  t->gclist = nullptr;
  // Linked first, so that a failure below leaves a collectable table.
  VmLinkObject(L, t, VM_TTABLE);
  if (narray > 0) {
    resizeArray(L, t, 0, narray, 0);
    for (int i = 0; i < narray; i++) VmSetNil(&t->array[i]);
    t->sizearray = narray;
  }
  if (lsizenode > 0) setNodeVector(L, t, lsizenode, true, arrayRoomBytes(t));
  return t;
}

void VmFreeTable(VmState* L, VmTable* t) {
  // The parts go first (a part in the room only stops counting), then the
  // record's block, of which the record alone still counts.
  freeNodes(L, t, t->node, t->lsizenode, ownsNodes(L, t));
  freeArray(L, t);
  VmFreeCounted(L, t, sizeof(VmTable) + t->inlinesize, sizeof(VmTable));
}

void VmTableResize(VmState* L, VmTable* t, int narray, int lsizenode) {
  if (lsizenode > VM_MAXBITS || narray > VM_MAXASIZE) VmRaiseError(L, ERR_TABLEOVERFLOW);
  if (narray < 0) narray = 0;
  int32_t oldasize = t->sizearray;
  VmNode* oldnode = t->node;
  int oldlsize = t->lsizenode;
  bool oldown = ownsNodes(L, t);
  VmNode* oldlastfree = t->lastfree;
  size_t oldNodeRoom = nodeRoomBytes(t);
  // New nodes first: a failure here leaves the table as it was. In the
  // room they keep clear of the whole array part as it is, whose
  // vanishing slice is still read below.
  setNodeVector(L, t, lsizenode < 0 ? 0 : lsizenode, lsizenode >= 0, arrayRoomBytes(t));
  if (narray > oldasize) {
    // The room's end holds the new hash part, and the old one until its
    // nodes are moved.
    size_t newNodeRoom = nodeRoomBytes(t);
    try {
      resizeArray(L, t, oldasize, narray, oldNodeRoom > newNodeRoom ? oldNodeRoom : newNodeRoom);
    } catch (...) {
      freeNodes(L, t, t->node, t->lsizenode, ownsNodes(L, t));
      t->node = oldnode;
      t->lsizenode = static_cast<uint8_t>(oldlsize);
      t->nodemask = (uint32_t(1) << oldlsize) - 1;
      t->lastfree = oldlastfree;
      throw;
    }
    for (int32_t i = oldasize; i < narray; i++) VmSetNil(&t->array[i]);
    t->sizearray = narray;
  } else if (narray < oldasize) {
    // The vanishing slice moves into the new hash part, which was sized
    // to hold it, so these stores never rehash. A part in the room then
    // shrinks in place; a block of its own shrinks, which never fails.
    t->sizearray = narray;
    for (int32_t i = narray; i < oldasize; i++) {
      if (!VmIsNil(&t->array[i])) *VmTableSetNum(L, t, i + 1) = t->array[i];
    }
    resizeArray(L, t, oldasize, narray, 0);
  }
  if (oldown) {
    for (int i = (1 << oldlsize) - 1; i >= 0; i--) {
      VmNode* old = &oldnode[i];
      if (!VmIsNil(&old->value)) *VmTableSet(L, t, &old->key) = old->value;
    }
    freeNodes(L, t, oldnode, oldlsize, true);
  }
}

bool VmTableSetNewList(VmState* L, VmTable* t, const VmValue* values, int n) {
  if (n < 1 || ownsNodes(L, t)) return false;
  for (int i = 0; i < n; i++) {
    if (VmIsNil(&values[i])) return false;
  }
  for (int32_t i = 0; i < t->sizearray; i++) {
    if (!VmIsNil(&t->array[i])) return false;
  }
  // Stored one by one, key 0 finds no hash part, and the rehash moves
  // every (nil) array slot out and makes a hash part of one node for it.
  // Each key k after it finds that node taken and rehashes again: keys 1
  // to k are all present, so the array part becomes the least power of
  // two that holds k, and key 0 alone is left for the one node, whose
  // reinsertion is a store that clears the flags. The end is the layout
  // made here at once.
  int32_t narray = n > 1 ? int32_t(1) << ceilLog2(uint32_t(n - 1)) : 0;
  if (narray > VM_MAXASIZE) return false;
  int32_t oldasize = t->sizearray;
  size_t arrayBytes = size_t(narray) * sizeof(VmValue);
  if ((oldasize == 0 || inRoom(t, t->array)) && arrayBytes + sizeof(VmNode) <= t->inlinesize) {
    // Both parts fit the room, as a new list's do: nothing to allocate.
    resizeArray(L, t, oldasize, narray, sizeof(VmNode));
    t->sizearray = narray;
    setNodeVector(L, t, 0, true, arrayBytes);
  } else {
    setNodeVector(L, t, 0, true, arrayRoomBytes(t));
    if (narray != oldasize) {
      // The old slots are all nil: a new array part, not a copy of them.
      VmValue* array = nullptr;
      try {
        array = VmNewBlock<VmValue>(L, size_t(narray));
      } catch (...) {
        freeNodes(L, t, t->node, 0, true);
        setNodeVector(L, t, 0, false, 0);
        throw;
      }
      freeArray(L, t);
      t->array = array;
      t->sizearray = narray;
    }
  }
  for (int32_t i = n - 1; i < narray; i++) VmSetNil(&t->array[i]);
  VmSetNumber(&t->node[0].key, 0);
  t->node[0].value = values[0];
  for (int i = 1; i < n; i++) t->array[i - 1] = values[i];
  if (n > 1) t->flags = 0;
  return true;
}

const VmValue* VmTableGetNumHash(VmTable* t, int key) { return getNumberKey(t, double(key)); }

const VmValue* VmTableGetAny(VmTable* t, const VmValue* key) {
  switch (key->tag) {
    case VM_TSTRING:
      return VmTableGetStr(t, VmStringOf(key));
    case VM_TNUMBER: {
      int k;
      if (numberToInt(key->value.n, &k)) return VmTableGetNum(t, k);
      return getNumberKey(t, key->value.n);
    }
    case VM_TNIL:
      return VmTableGetNum(t, 0);
    default:
      return getAnyKey(t, key);
  }
}

VmValue* VmTableSet(VmState* L, VmTable* t, const VmValue* key) {
  t->flags = 0;
  const VmValue* p = VmTableGet(t, key);
  if (p != &vmNilValue) return const_cast<VmValue*>(p);
  if (key->tag == VM_TNIL) {
    VmValue zero;
    VmSetNumber(&zero, 0);
    return newKey(L, t, &zero);
  }
  if (key->tag == VM_TNUMBER && std::isnan(key->value.n)) VmRaiseError(L, ERR_TABLEINDEX);
  return newKey(L, t, key);
}

VmValue* VmTableSetNumHash(VmState* L, VmTable* t, int key) {
  const VmValue* p = getNumberKey(t, double(key));
  if (p != &vmNilValue) return const_cast<VmValue*>(p);
  VmValue k;
  VmSetNumber(&k, double(key));
  return newKey(L, t, &k);
}

int VmTableNext(VmState* L, VmTable* t, VmValue* key) {
  // Position of the given key: -1 for nil, the array index, or
  // sizearray + node index.
  int64_t i;
  int k;
  if (VmIsNil(key)) {
    i = -1;
  } else if (key->tag == VM_TNUMBER && numberToInt(key->value.n, &k) &&
             uint32_t(k) - 1u < uint32_t(t->sizearray)) {
    i = k - 1;
  } else {
    VmNode* n = ownsNodes(L, t) ? mainPosition(t, key) : nullptr;
    for (; n != nullptr; n = n->next) {
      if (rawEqualKey(&n->key, key) ||
          (n->key.tag == VM_TDEADKEY && VmIsCollectable(key) && n->key.value.gc == key->value.gc))
        break;
    }
    if (n == nullptr) VmRaiseError(L, ERR_INVNEXTKEY);
    i = int64_t(t->sizearray) + (n - t->node);
  }
  for (i++; i < t->sizearray; i++) {
    if (!VmIsNil(&t->array[i])) {
      VmSetNumber(key, double(i + 1));
      key[1] = t->array[i];
      return 1;
    }
  }
  if (ownsNodes(L, t)) {
    int64_t size = VmSizeNode(t);
    for (i -= t->sizearray; i < size; i++) {
      VmNode* n = &t->node[i];
      if (!VmIsNil(&n->value)) {
        key[0] = n->key;
        key[1] = n->value;
        return 1;
      }
    }
  }
  return 0;
}

const VmValue* VmFastEvent(VmState* L, VmTable* mt, VmEvent e) {
  if (mt == nullptr) return nullptr;
  bool cached = e <= VM_TM_EQ;
  if (cached && (mt->flags & (1u << e))) return nullptr;
  const VmValue* v = VmTableGetStr(mt, VmG(L)->tmname[e]);
  if (VmIsNil(v)) {
    if (cached) mt->flags |= static_cast<uint8_t>(1u << e);
    return nullptr;
  }
  return v;
}
