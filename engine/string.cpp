// Interned strings and full userdata blocks.
//
// Invariant: the string table holds exactly one VmString per distinct byte
// sequence, in chain slotHash & (size - 1), so string equality is pointer
// equality. Its size is always a power of two.
#include <cstring>

#include "engine/object.h"

namespace {

// The string table never grows past this many slots.
constexpr size_t MAXSTRTAB = 0x3FFFFFFE;

}  // namespace

uint32_t VmStringHash(const char *bytes, size_t len)
{
    // Long strings hash every step-th byte from the end only, so hashing
    // costs at most about 32 steps whatever the length.
    uint32_t h = static_cast<uint32_t>(len);
    size_t step = (len >> 5) + 1;
    for (size_t l1 = len; l1 >= step; l1 -= step)
        h = h ^ ((h << 5) + (h >> 2) + static_cast<unsigned char>(bytes[l1 - 1]));
    return h;
}

namespace {

// Strings from this length on are copied into their new record while
// their slot hash is computed, in one pass over the bytes, and only then
// looked up (a duplicate record is freed again): for long strings the
// passes over memory, not the lookup, are the cost.
constexpr size_t COPY_WHILE_HASHING = 4096;

// The slot hash of VmStringSlotHash; with COPY the bytes are also copied
// to dst on the way.
template <bool COPY> uint32_t slotHash(const char *bytes, size_t len, uint32_t h, char *dst)
{
    // The sampled hash already covers every byte of a string shorter than
    // 32 bytes. Longer ones mix in all their bytes, in four independent
    // lanes of 8 bytes so the multiplications overlap, so that strings
    // differing only between the sampled bytes take different chains.
    if (len < 32) {
        if (COPY)
            std::memcpy(dst, bytes, len);
        return h;
    }
    constexpr uint64_t M = 0xFF51AFD7ED558CCDull;
    uint64_t a = h ^ (static_cast<uint64_t>(len) * 0x9E3779B97F4A7C15ull);
    uint64_t b = a + 1, c = a + 2, d = a + 3;
    size_t i = 0;
    for (; i + 32 <= len; i += 32) {
        uint64_t w[4];
        std::memcpy(w, bytes + i, 32);
        if (COPY)
            std::memcpy(dst + i, w, 32);
        a = (a ^ w[0]) * M;
        b = (b ^ w[1]) * M;
        c = (c ^ w[2]) * M;
        d = (d ^ w[3]) * M;
        a ^= a >> 29;
        b ^= b >> 29;
        c ^= c >> 29;
        d ^= d >> 29;
    }
    uint64_t x = a ^ (b * 3) ^ (c * 5) ^ (d * 7);
    for (; i < len; i++) {
        if (COPY)
            dst[i] = bytes[i];
        x = (x ^ static_cast<unsigned char>(bytes[i])) * 0x100000001B3ull;
    }
    x = (x ^ (x >> 32)) * M;
    return static_cast<uint32_t>(x >> 32);
}

}  // namespace

uint32_t VmStringSlotHash(const char *bytes, size_t len, uint32_t h)
{
    return slotHash<false>(bytes, len, h, nullptr);
}

void VmResizeStringTable(VmState *L, size_t slots)
{
    VmGlobalState *g = VmG(L);
    VmString **nh = VmNewBlock<VmString *>(L, slots);
    for (size_t i = 0; i < slots; i++)
        nh[i] = nullptr;
    for (size_t i = 0; i < g->strt.size; i++) {
        VmGcHeader *p = g->strt.hash[i];
        while (p != nullptr) {
            VmGcHeader *next = p->next;
            VmString *s = static_cast<VmString *>(p);
            size_t h = s->slotHash & (slots - 1);
            s->next = nh[h];
            nh[h] = s;
            p = next;
        }
    }
    VmFreeBlock(L, g->strt.hash, g->strt.size);
    g->strt.hash = nh;
    g->strt.size = slots;
}

VmString *VmNewString(VmState *L, const char *bytes, size_t len)
{
    VmGlobalState *g = VmG(L);
    uint32_t h = VmStringHash(bytes, len);
    VmString *made = nullptr;
    uint32_t sh;
    if (len >= COPY_WHILE_HASHING) {
        if (len > SIZE_MAX - sizeof(VmString) - 1)
            VmRaiseError(L, ERR_MEM);
        made = static_cast<VmString *>(VmRealloc(L, nullptr, 0, VmSizeString(len)));
        sh = slotHash<true>(bytes, len, h, VmStringData(made));
    } else {
        sh = VmStringSlotHash(bytes, len, h);
    }
    for (VmGcHeader *o = g->strt.hash[sh & (g->strt.size - 1)]; o != nullptr; o = o->next) {
        VmString *s = static_cast<VmString *>(o);
        if (s->len == len && s->slotHash == sh && (len == 0 || std::memcmp(VmStringData(s), bytes, len) == 0)) {
            if (made != nullptr)
                VmRealloc(L, made, VmSizeString(len), 0);
            return s;
        }
    }
    VmString *s = made;
    if (s == nullptr) {
        if (len > SIZE_MAX - sizeof(VmString) - 1)
            VmRaiseError(L, ERR_MEM);
        s = static_cast<VmString *>(VmRealloc(L, nullptr, 0, VmSizeString(len)));
        if (len != 0)
            std::memcpy(VmStringData(s), bytes, len);
    }
    s->tag = VM_TSTRING;
    s->marked = 0;
    s->reserved = 0;
    s->hash = h;
    s->slotHash = sh;
    s->len = len;
    VmStringData(s)[len] = '\0';
    VmString **slot = &g->strt.hash[sh & (g->strt.size - 1)];
    s->next = *slot;
    *slot = s;
    g->strt.nuse++;
    if (g->strt.nuse > g->strt.size && g->strt.size <= MAXSTRTAB)
        VmResizeStringTable(L, g->strt.size * 2);
    return s;
}

VmString *VmStringFromBuffer(VmState *L, size_t len)
{
    VmGlobalState *g = VmG(L);
    const char *bytes = g->buff + sizeof(VmString);
    if (len < COPY_WHILE_HASHING)
        return VmNewString(L, bytes, len);
    uint32_t h = VmStringHash(bytes, len);
    uint32_t sh = VmStringSlotHash(bytes, len, h);
    for (VmGcHeader *o = g->strt.hash[sh & (g->strt.size - 1)]; o != nullptr; o = o->next) {
        VmString *s = static_cast<VmString *>(o);
        if (s->len == len && s->slotHash == sh && std::memcmp(VmStringData(s), bytes, len) == 0)
            return s;
    }
    // The buffer's block becomes the record (trimmed to size; shrinking
    // never fails) and the buffer starts again empty.
    VmString *s = reinterpret_cast<VmString *>(g->buff);
    size_t size = g->buffsize;
    g->buff = nullptr;
    g->buffsize = 0;
    if (size != VmSizeString(len))
        s = static_cast<VmString *>(VmRealloc(L, s, size, VmSizeString(len)));
    s->tag = VM_TSTRING;
    s->marked = 0;
    s->reserved = 0;
    s->hash = h;
    s->slotHash = sh;
    s->len = len;
    VmStringData(s)[len] = '\0';
    VmString **slot = &g->strt.hash[sh & (g->strt.size - 1)];
    s->next = *slot;
    *slot = s;
    g->strt.nuse++;
    if (g->strt.nuse > g->strt.size && g->strt.size <= MAXSTRTAB)
        VmResizeStringTable(L, g->strt.size * 2);
    return s;
}

VmString *VmNewStringZ(VmState *L, const char *text)
{
    return VmNewString(L, text, std::strlen(text));
}

VmUserdata *VmNewUserdataObject(VmState *L, size_t size)
{
    if (size > SIZE_MAX - sizeof(VmUserdata))
        VmRaiseError(L, ERR_MEM);
    VmGlobalState *g = VmG(L);
    VmUserdata *u = static_cast<VmUserdata *>(VmRealloc(L, nullptr, 0, VmSizeUserdata(size)));
    u->tag = VM_TUSERDATA;
    u->marked = VM_GC_NOTFINALIZED;
    u->len = size;
    u->metatable = VmIsTable(&g->defaultmeta) ? VmTableOf(&g->defaultmeta) : nullptr;
    u->next = g->rootudata;
    g->rootudata = u;
    return u;
}
