// Interned strings and full userdata blocks.
//
// Invariant: the string table holds exactly one VmString per distinct byte
// sequence, in chain VmStringChain(slotHash, size), so string equality is pointer
// equality. Its size is always a power of two. A string of LAZY_HASH bytes
// or more carries its sampled hash only once it has been used as a table
// key (VmString::hashed).
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/object.h"

namespace {

// The string table never grows past this many slots.
constexpr size_t MAXSTRTAB = 0x3FFFFFFE;
// How far ahead a resize fetches the records it will move.
constexpr size_t RESIZE_AHEAD = 8;

}  // namespace

uint32_t VmStringHash(const char* bytes, size_t len) {
  // Long strings hash every step-th byte from the end only, so hashing
  // costs at most about 32 steps whatever the length.
  uint32_t h = static_cast<uint32_t>(len);
  size_t step = VmStringHashStep(len);
  for (size_t l1 = len; l1 >= step; l1 -= step)
    h = h ^ ((h << 5) + (h >> 2) + static_cast<unsigned char>(bytes[l1 - 1]));
  return h;
}

namespace {

// New strings from this length on get their sampled hash when first used
// as a table key; shorter ones, the usual keys, get it at once.
constexpr size_t LAZY_HASH = 64;

// The odd base of the string-table hash and its powers up to 8.
constexpr uint64_t B1 = 0x9E3779B97F4A7C15ull;
constexpr uint64_t B2 = B1 * B1;
constexpr uint64_t B3 = B2 * B1;
constexpr uint64_t B4 = B3 * B1;
constexpr uint64_t B5 = B4 * B1;
constexpr uint64_t B6 = B5 * B1;
constexpr uint64_t B7 = B6 * B1;
constexpr uint64_t B8 = B7 * B1;

}  // namespace

uint64_t VmStringSlotHash(const char* bytes, size_t len) {
  // Eight bytes a step: h * B^8 plus the step's own polynomial, whose
  // eight products are independent of each other.
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  uint64_t h = 0;
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t step = p[i] * B7 + p[i + 1] * B6 + p[i + 2] * B5 + p[i + 3] * B4 + p[i + 4] * B3 +
                    p[i + 5] * B2 + p[i + 6] * B1 + p[i + 7];
    h = h * B8 + step;
  }
  for (; i < len; i++) h = h * B1 + p[i];
  return h;
}

namespace {

// B^(j * 256^d) for each byte value j of a length's byte d: B^n is the
// product of one entry per byte of n.
struct PowerTables {
  uint64_t p[4][256];
};

constexpr PowerTables makePowerTables() {
  PowerTables t{};
  uint64_t unit = B1;  // B^(256^d)
  for (int d = 0; d < 4; d++) {
    uint64_t x = 1;
    for (int j = 0; j < 256; j++) {
      t.p[d][j] = x;
      x *= unit;
    }
    unit = x;  // B^(256^(d+1))
  }
  return t;
}

constexpr PowerTables POWERS = makePowerTables();

}  // namespace

namespace {

constexpr std::array<uint64_t, 256> makeLowPowers() {
  std::array<uint64_t, 256> a{};
  for (int j = 0; j < 256; j++) a[j] = POWERS.p[0][j];
  return a;
}

}  // namespace

const std::array<uint64_t, 256> vmStringPowers = makeLowPowers();

uint64_t VmStringSlotHashJoinLong(uint64_t a, uint64_t b, size_t blen) {
  uint64_t power;
  if (blen < 256) {
    power = POWERS.p[0][blen];
  } else if ((blen >> 32) == 0) {
    power = POWERS.p[0][blen & 255] * POWERS.p[1][(blen >> 8) & 255] *
            POWERS.p[2][(blen >> 16) & 255] * POWERS.p[3][(blen >> 24) & 255];
  } else {
    power = 1;
    uint64_t base = B1;
    for (size_t n = blen; n != 0; n >>= 1) {
      if (n & 1) power *= base;
      base *= base;
    }
  }
  return a * power + b;
}

void VmResizeStringTable(VmState* L, size_t slots) {
  VmGlobalState* g = VmG(L);
  uintptr_t* nh = VmNewBlock<uintptr_t>(L, slots);
  for (size_t i = 0; i < slots; i++) nh[i] = 0;
  for (size_t i = 0; i < g->strt.size; i++) {
    // The records lie scattered over the heap: fetching the head of a
    // later chain overlaps their misses.
    if (i + RESIZE_AHEAD < g->strt.size)
      __builtin_prefetch(VmStringSlotFirst(g->strt.hash[i + RESIZE_AHEAD]));
    VmString* s = VmStringSlotFirst(g->strt.hash[i]);
    while (s != nullptr) {
      VmString* next = static_cast<VmString*>(s->next);
      size_t h = VmStringChain(s->slotHash, slots);
      s->next = VmStringSlotFirst(nh[h]);
      nh[h] = VmStringSlotOf(s);
      s = next;
    }
  }
  VmFreeBlock(L, g->strt.hash, g->strt.size);
  g->strt.hash = nh;
  g->strt.size = slots;
}

namespace {

// Whether s holds the bytes of the n parts, one after the other (the
// caller has compared the lengths).
bool holdsParts(const VmString* s, const VmStringPart* parts, int n) {
  const char* p = VmStringData(s);
  for (int i = 0; i < n; i++) {
    if (std::memcmp(p, parts[i].bytes, parts[i].len) != 0) return false;
    p += parts[i].len;
  }
  return true;
}

// Fills in a new record whose bytes are in place and links it.
VmString* linkString(VmState* L, VmString* s, size_t len, uint64_t sh) {
  VmGlobalState* g = VmG(L);
  s->tag = VM_TSTRING;
  s->marked = 0;
  s->reserved = 0;
  s->slotHash = sh;
  s->len = len;
  VmStringData(s)[len] = '\0';
  if (len < LAZY_HASH) {
    s->hash = VmStringHash(VmStringData(s), len);
    s->hashed = 1;
  } else {
    s->hash = 0;
    s->hashed = 0;
  }
  uintptr_t* slot = &g->strt.hash[VmStringChain(sh, g->strt.size)];
  s->next = VmStringSlotFirst(*slot);
  *slot = VmStringSlotOf(s);
  g->strt.nuse++;
  if (g->strt.nuse > g->strt.size && g->strt.size <= MAXSTRTAB)
    VmResizeStringTable(L, g->strt.size * 2);
  return s;
}

}  // namespace

VmString* VmNewString(VmState* L, const char* bytes, size_t len) {
  VmStringPart part{bytes, len};
  return VmStringFromParts(L, &part, len != 0 ? 1 : 0, len, VmStringSlotHash(bytes, len));
}

VmString* VmStringFromParts(VmState* L, const VmStringPart* parts, int n, size_t len, uint64_t sh) {
  // The string is looked for before its bytes are put together: a string
  // that exists costs no copy, and the chain's slot is read before a long
  // copy would push it out of the cache.
  VmGlobalState* g = VmG(L);
  uint64_t mix = VmStringMix(sh);
  uintptr_t slot = g->strt.hash[(mix >> 32) & (g->strt.size - 1)];
  if (VmStringSlotMayHold(slot, mix)) {
    for (VmGcHeader* o = VmStringSlotFirst(slot); o != nullptr; o = o->next) {
      VmString* s = static_cast<VmString*>(o);
      if (s->len == len && s->slotHash == sh && holdsParts(s, parts, n)) return s;
    }
  }
  if (len > SIZE_MAX - sizeof(VmString) - 1) VmRaiseError(L, ERR_MEM);
  VmString* s = static_cast<VmString*>(VmRealloc(L, nullptr, 0, VmSizeString(len)));
  char* out = VmStringData(s);
  for (int i = 0; i < n; i++) {
    std::memcpy(out, parts[i].bytes, parts[i].len);
    out += parts[i].len;
  }
  return linkString(L, s, len, sh);
}

VmString* VmStringFromBlock(VmState* L, void* block, size_t blockSize, size_t len, uint64_t sh) {
  VmString* s = static_cast<VmString*>(block);
  VmGlobalState* g = VmG(L);
  uint64_t mix = VmStringMix(sh);
  uintptr_t slot = g->strt.hash[(mix >> 32) & (g->strt.size - 1)];
  if (VmStringSlotMayHold(slot, mix)) {
    VmStringPart part{VmStringData(s), len};
    for (VmGcHeader* o = VmStringSlotFirst(slot); o != nullptr; o = o->next) {
      VmString* e = static_cast<VmString*>(o);
      if (e->len == len && e->slotHash == sh && holdsParts(e, &part, len != 0 ? 1 : 0)) {
        std::free(block);
        return e;
      }
    }
  }
  // A shrinking reallocation never fails (it keeps the block when it
  // cannot move it) and moves no bytes of a mapped block.
  s = static_cast<VmString*>(VmRealloc(nullptr, block, blockSize, VmSizeString(len)));
  if (s == nullptr) s = static_cast<VmString*>(block);
  g->nblocks += VmSizeString(len);
  return linkString(L, s, len, sh);
}

void VmStringSetHash(VmString* s) {
  s->hash = VmStringHash(VmStringData(s), s->len);
  s->hashed = 1;
}

VmString* VmNewStringZ(VmState* L, const char* text) {
  return VmNewString(L, text, std::strlen(text));
}

VmUserdata* VmNewUserdataObject(VmState* L, size_t size) {
  if (size > SIZE_MAX - sizeof(VmUserdata)) VmRaiseError(L, ERR_MEM);
  VmGlobalState* g = VmG(L);
  VmUserdata* u = static_cast<VmUserdata*>(VmRealloc(L, nullptr, 0, VmSizeUserdata(size)));
  u->tag = VM_TUSERDATA;
  u->marked = VM_GC_NOTFINALIZED;
  u->len = size;
  u->metatable = VmIsTable(&g->defaultmeta) ? VmTableOf(&g->defaultmeta) : nullptr;
  u->next = g->rootudata;
  g->rootudata = u;
  return u;
}
