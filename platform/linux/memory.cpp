// Heap blocks for the whole system and the allocation fault-injection hook.
// Invariant: AllocMemory never returns a block smaller than asked for; a size
// it cannot serve (larger than the machine's memory, refused before the C
// library sees it, or a failure injected by the test hook) gives null.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"

namespace {

// The hook is read on every allocation from any thread, so its state is
// atomic; tests set it from one thread while nothing else allocates.
std::atomic<uint64_t> failAt{0};          // 0: hook off
std::atomic<uint64_t> allocsSinceSet{0};  // counted allocations since set
std::atomic<bool> failPersistent{false};
std::atomic<uint64_t> failedCount{0};
std::atomic<bool> tracking{false};  // the largest-request observer
std::atomic<size_t> largest{0};

void noteSize(size_t size) {
  if (!tracking.load(std::memory_order_relaxed)) return;
  size_t seen = largest.load(std::memory_order_relaxed);
  while (size > seen && !largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
  }
}

bool injectFailure() {
  uint64_t at = failAt.load(std::memory_order_relaxed);
  if (at == 0) return false;
  uint64_t n = allocsSinceSet.fetch_add(1, std::memory_order_relaxed) + 1;
  bool fail = failPersistent.load(std::memory_order_relaxed) ? n >= at : n == at;
  if (fail) failedCount.fetch_add(1, std::memory_order_relaxed);
  return fail;
}

// The largest block worth asking the C library for: the machine's memory.
// No larger block can ever be served, and asking for one is not harmless:
// under the address sanitizer such a request ends the program, and without
// it a lazily mapped block may be granted and then fail page by page as it
// is filled. Never more than 1 TiB, the most the address sanitizer serves.
size_t allocationLimit() {
  static const size_t limit = [] {
    constexpr size_t CEILING = size_t{1} << 40;
    long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    size_t bytes;
    if (pages <= 0 || pageSize <= 0 ||
        __builtin_mul_overflow(static_cast<size_t>(pages), static_cast<size_t>(pageSize), &bytes))
      return CEILING;
    return std::min(bytes, CEILING);
  }();
  return limit;
}

// Large blocks (whole pictures, coverage and pixel buffers of big images)
// ask for huge pages where the system hands them out on request: their
// first touch then costs one fault per 2 MiB instead of one per 4 KiB,
// which on a virtual machine is the larger part of filling such a block.
// Only the 2 MiB-aligned inside of the block is advised; a system without
// them leaves the block as it is.
constexpr size_t HUGE_PAGE = size_t{2} << 20;
constexpr size_t HUGE_BLOCK = size_t{8} << 20;

}  // namespace

void AdviseHugePages(void* block, size_t size) {
  if (!block || size < HUGE_BLOCK) return;
  const uintptr_t start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t begin = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  const uintptr_t end = (start + size) & ~(HUGE_PAGE - 1);
  if (end <= begin) return;
  const int saved = errno;
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  errno = saved;
}

void* AllocMemory(size_t size, int clear) {
  if (size == 0) return nullptr;
  noteSize(size);
  if (size > allocationLimit() || injectFailure()) {
    errno = ENOMEM;  // as a failing malloc leaves it
    return nullptr;
  }
  void* block = clear ? std::calloc(1, size) : std::malloc(size);
  AdviseHugePages(block, size);
  return block;
}

void* AllocMemoryArray(size_t count, size_t elemSize, int clear) {
  size_t total;
  if (__builtin_mul_overflow(count, elemSize, &total)) return nullptr;
  return AllocMemory(total, clear);
}

void FreeMemory(void* block) { std::free(block); }

void SetAllocFailure(uint64_t n, bool persistent) {
  failAt.store(0, std::memory_order_relaxed);
  allocsSinceSet.store(0, std::memory_order_relaxed);
  failedCount.store(0, std::memory_order_relaxed);
  failPersistent.store(persistent, std::memory_order_relaxed);
  failAt.store(n, std::memory_order_relaxed);
}

uint64_t GetAllocFailureCount() { return failedCount.load(std::memory_order_relaxed); }

void TrackLargestAllocation(bool on) {
  largest.store(0, std::memory_order_relaxed);
  tracking.store(on, std::memory_order_relaxed);
}

size_t GetLargestAllocation() { return largest.load(std::memory_order_relaxed); }
