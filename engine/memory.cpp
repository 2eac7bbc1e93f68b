// The engine's one allocator: every block of a VM goes through VmRealloc,
// which keeps the global count of bytes in use.
//
// Invariants:
// - G->nblocks is the sum of the sizes asked for of all live blocks
//   allocated with a state; a request that cannot be represented or
//   allocated raises 1000 (with a state) or returns null (without), never a
//   smaller block.
// - Every block is a block of the C heap. A small block (at most
//   VM_POOL_MAX bytes) always has room for its whole size step, so it can
//   grow within its step in place, and once freed with a state it waits in
//   the state's list of its step (an array of addresses: the freed block
//   is not written) for the next request of that step; a script that
//   makes and drops many small tables and strings then takes its blocks
//   from those lists rather than from the heap. The lists go back to the
//   heap when the state closes, and at the start of a collection when
//   they hold more than the bytes in use. Blocks from the heap and from
//   the lists are interchangeable, so any block may be freed with or
//   without a state, or with std::free.
#include <malloc.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "engine/object.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VM_POOL_POISON 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VM_POOL_POISON 1
#endif
#ifdef VM_POOL_POISON
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Largest block the engine asks for: sizes above this come from arithmetic
// that has gone wrong, not from a real need.
constexpr size_t MAXBLOCK = size_t(PTRDIFF_MAX) / 2;

// Fault injection (tests only): countdown to the failing allocation.
uint64_t failCountdown = 0;
bool failPersistent = false;
bool failing = false;
uint64_t failCount = 0;

bool injectFailure() {
  if (failing) {
    failCount++;
    return true;
  }
  if (failCountdown == 0) return false;
  if (--failCountdown == 0) {
    failing = failPersistent;
    failCount++;
    return true;
  }
  return false;
}

// Addresses a list of freed small blocks first has room for.
constexpr size_t POOL_LIST_MIN = 64;

// Blocks up to this size come from the heap rather than from a mapping of
// their own (glibc's largest accepted threshold on a 64-bit build).
constexpr int HEAP_BLOCK_MAX = 32 * 1024 * 1024;
// Free memory at the top of the heap that is kept for reuse rather than
// handed back to the system.
constexpr int HEAP_KEEP_TOP = 128 * 1024 * 1024;
// The last freed block larger than HEAP_BLOCK_MAX and at most this size is
// kept, with its pages, for the next request too large for the heap: a
// fresh page is cleared by the system on its first touch, which for a
// large block (a download received into memory, say) costs as much as
// filling it, and a block of its own mapping is handed back when freed.
constexpr size_t KEPT_BLOCK_MAX = HEAP_KEEP_TOP;

std::atomic<void*> kept{nullptr};

// A block of newsize bytes made from the kept block, with the first
// oldsize bytes of block moved into it (block is then freed); null when
// no block is kept or it cannot be resized.
void* reuseKeptBlock(void* block, size_t oldsize, size_t newsize) {
  void* k = kept.exchange(nullptr);
  if (k == nullptr) return nullptr;
  void* nb = std::realloc(k, newsize);
  if (nb == nullptr) {
    std::free(k);
    return nullptr;
  }
  if (block != nullptr) {
    std::memcpy(nb, block, oldsize < newsize ? oldsize : newsize);
    std::free(block);
  }
  return nb;
}

[[noreturn]] void outOfMemory(VmState* L) { VmThrow(L, ERR_MEM); }

inline bool isSmall(size_t size) { return size <= VM_POOL_MAX; }
inline size_t sizeStep(size_t size) { return (size + VM_POOL_STEP - 1) / VM_POOL_STEP; }
inline size_t stepBytes(size_t step) { return step * VM_POOL_STEP; }

// Under AddressSanitizer a small block's bytes past its size, and all of a
// pooled block, are unaddressable, so that an overrun and a use after free
// are still reported.
inline void fitBlock([[maybe_unused]] void* block, [[maybe_unused]] size_t size) {
#ifdef VM_POOL_POISON
  size_t full = stepBytes(sizeStep(size));
  ASAN_UNPOISON_MEMORY_REGION(block, size);
  ASAN_POISON_MEMORY_REGION(static_cast<char*>(block) + size, full - size);
#endif
}
inline void unfitBlock([[maybe_unused]] void* block, [[maybe_unused]] size_t size) {
#ifdef VM_POOL_POISON
  ASAN_UNPOISON_MEMORY_REGION(block, stepBytes(sizeStep(size)));
#endif
}

// A small block of size bytes: from the state's list of its step, else
// from the heap with room for the whole step; null when the heap refuses.
void* takeSmall(VmGlobalState* g, size_t size) {
  size_t step = sizeStep(size);
  void* b;
  VmBlockList* list = g != nullptr ? &g->blockpool[step] : nullptr;
  if (list != nullptr && list->count > 0) {
    b = list->blocks[--list->count];
    g->poolbytes -= stepBytes(step);
    // A freed block is cold by the time it is handed out again, and is
    // written at once: fetching the next one of the step now overlaps
    // that miss with the work until the next request.
    if (list->count > 0) __builtin_prefetch(list->blocks[list->count - 1], 1);
  } else {
    b = std::malloc(stepBytes(step));
    if (b == nullptr) return nullptr;
  }
  fitBlock(b, size);
  return b;
}

// Room for one more block in a list; false when the heap refuses it.
bool growList(VmBlockList* list) {
  size_t cap = list->cap != 0 ? 2 * list->cap : POOL_LIST_MIN;
  void* nb = std::realloc(list->blocks, cap * sizeof(void*));
  if (nb == nullptr) return false;
  list->blocks = static_cast<void**>(nb);
  list->cap = cap;
  return true;
}

// Frees a block of size bytes: a small one into the state's list of its
// step, a large one freed last is kept for the next large request.
void release(VmGlobalState* g, void* block, size_t size) {
  if (block == nullptr) return;
  if (isSmall(size)) {
#ifdef VM_POOL_POISON
    // A block in use can reach its first byte, one in a list cannot:
    // freeing it again (a double free) is caught here.
    if (__asan_address_is_poisoned(block)) __builtin_trap();
#endif
    unfitBlock(block, size);
  }
  if (g != nullptr && isSmall(size)) {
    size_t step = sizeStep(size);
    VmBlockList* list = &g->blockpool[step];
    if (list->count < list->cap || growList(list)) {
#ifdef VM_POOL_POISON
      ASAN_POISON_MEMORY_REGION(block, stepBytes(step));
#endif
      // The list holds the address only: the block itself is not
      // touched, which spares the sweep a cache miss for every block it
      // frees.
      list->blocks[list->count++] = block;
      g->poolbytes += stepBytes(step);
      return;
    }
  }
  if (size > size_t(HEAP_BLOCK_MAX) && size <= KEPT_BLOCK_MAX)
    std::free(kept.exchange(block));
  else
    std::free(block);
}

// Reallocation whose result is a small block (newsize <= VM_POOL_MAX).
void* reallocSmall(VmState* L, void* block, size_t oldsize, size_t newsize) {
  VmGlobalState* g = L != nullptr ? VmG(L) : nullptr;
  bool shrinking = block != nullptr && newsize <= oldsize;
  if (!shrinking && injectFailure()) {
    if (L != nullptr) outOfMemory(L);
    return nullptr;
  }
  if (block != nullptr && isSmall(oldsize) && sizeStep(oldsize) == sizeStep(newsize)) {
    fitBlock(block, newsize);
  } else {
    void* nb = takeSmall(g, newsize);
    if (nb != nullptr) {
      if (block != nullptr) std::memcpy(nb, block, oldsize < newsize ? oldsize : newsize);
      release(g, block, oldsize);
      block = nb;
    } else if (!shrinking) {
      if (L != nullptr) outOfMemory(L);
      return nullptr;
    }
    // A shrink that fails keeps the larger block, which has room enough.
  }
  if (g != nullptr) g->nblocks = g->nblocks - oldsize + newsize;
  return block;
}

}  // namespace

void VmTuneHeap() {
  // A collection frees a generation of strings at once, leaving a large
  // free block at the top of the heap; trimming it hands back pages that
  // the next allocations fault in again, and large strings that each get
  // a mapping of their own are new pages every time. Big blocks therefore
  // come from the heap, and its free top is kept up to HEAP_KEEP_TOP.
  static bool tuned = false;
  if (tuned) return;
  tuned = true;
  mallopt(M_MMAP_THRESHOLD, HEAP_BLOCK_MAX);
  mallopt(M_TRIM_THRESHOLD, HEAP_KEEP_TOP);
}

void VmAdviseLargeBlock(void* block, size_t size) {
  // The advice covers every page of the block, and so the block's whole
  // mapping: advising only part of it would split the mapping, and a split
  // mapping can no longer be grown by moving its pages, only by copying.
  // Large pages then fill its aligned 2 MiB stretches. Heap memory, which
  // other blocks share, is left alone.
  constexpr uintptr_t PAGE = 4096;
  if (block == nullptr || size <= size_t(HEAP_BLOCK_MAX)) return;
  uintptr_t start = reinterpret_cast<uintptr_t>(block) & ~(PAGE - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size + PAGE - 1) & ~(PAGE - 1);
  // Only advice: without large pages the block still works, page by page.
  madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

void VmSetAllocFailure(uint64_t n, bool persistent) {
  failCountdown = n;
  failPersistent = persistent;
  failing = false;
  failCount = 0;
}

uint64_t VmGetAllocFailureCount() { return failCount; }

void VmReleaseKeptBlock() { std::free(kept.exchange(nullptr)); }

void* VmRealloc(VmState* L, void* block, size_t oldsize, size_t newsize) {
  if (newsize == 0) {
    if (block != nullptr) {
      release(L != nullptr ? VmG(L) : nullptr, block, oldsize);
      if (L != nullptr) VmG(L)->nblocks -= oldsize;
    }
    return nullptr;
  }
  if (isSmall(newsize)) return reallocSmall(L, block, oldsize, newsize);
  if (newsize > MAXBLOCK) {
    if (L != nullptr) VmRaiseError(L, ERR_MEM);
    return nullptr;
  }
  // A small block handed to the heap's realloc is a plain block again.
  if (block != nullptr && isSmall(oldsize)) unfitBlock(block, oldsize);
  bool shrinking = block != nullptr && newsize <= oldsize;
  void* nb = nullptr;
  if (shrinking) {
    nb = std::realloc(block, newsize);
  } else if (!injectFailure()) {
    // A new large block, or a block of the heap that grows too large for
    // it, takes the kept block's pages. A large block that grows is left
    // to realloc, which moves its pages rather than its bytes.
    if (newsize > size_t(HEAP_BLOCK_MAX) && (block == nullptr || oldsize <= size_t(HEAP_BLOCK_MAX)))
      nb = reuseKeptBlock(block, oldsize, newsize);
    if (nb == nullptr) nb = std::realloc(block, newsize);
    if (nb == nullptr) {
      // The kept block's memory may be what is missing.
      VmReleaseKeptBlock();
      nb = std::realloc(block, newsize);
    }
  }
  if (nb == nullptr) {
    if (block != nullptr && isSmall(oldsize)) fitBlock(block, oldsize);
    // A shrink that fails keeps the larger block, which is still valid.
    if (shrinking)
      nb = block;
    else if (L != nullptr)
      outOfMemory(L);
    else
      return nullptr;
  }
  if (L != nullptr) VmG(L)->nblocks = VmG(L)->nblocks - oldsize + newsize;
  return nb;
}

void VmReleasePooledBlocks(VmGlobalState* g) {
  for (VmBlockList& list : g->blockpool) {
    for (size_t i = 0; i < list.count; i++) std::free(list.blocks[i]);
    std::free(list.blocks);
    list = VmBlockList{};
  }
  g->poolbytes = 0;
}

void* VmAllocCounted(VmState* L, size_t size, size_t counted) {
  void* block = VmRealloc(L, nullptr, 0, size);
  VmG(L)->nblocks -= size - counted;
  return block;
}

void VmFreeCounted(VmState* L, void* block, size_t size, size_t counted) {
  VmG(L)->nblocks += size - counted;
  VmRealloc(L, block, size, 0);
}

void* VmAllocArray(VmState* L, size_t n, size_t elemsize) {
  if (elemsize != 0 && n > MAXBLOCK / elemsize) {
    if (L != nullptr) VmRaiseError(L, ERR_MEM);
    return nullptr;
  }
  return VmRealloc(L, nullptr, 0, n * elemsize);
}

void* VmGrowVector(VmState* L, void* block, int32_t* count, size_t elemsize, int32_t limit,
                   ErrorCode code) {
  int32_t old = *count;
  int32_t n;
  if (old >= limit / 2) {
    if (old >= limit - 4) VmRaiseError(L, code);
    n = limit;
  } else {
    n = old * 2;
    if (n < 4) n = 4;
  }
  if (elemsize != 0 && size_t(n) > MAXBLOCK / elemsize) VmRaiseError(L, ERR_MEM);
  void* nb = VmRealloc(L, block, size_t(old) * elemsize, size_t(n) * elemsize);
  *count = n;
  return nb;
}
