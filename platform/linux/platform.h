// Services of the platform layer that the portable code calls: memory,
// time, mutexes and condition objects, and the back ends added later.
// Each concern keeps its own section.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/errors.h"

// ---- Memory, time, mutexes and condition objects --------------------------------

// Heap blocks. A size of 0 gives null without allocating; null otherwise means
// memory is exhausted and the caller reports ERR_MEM (1000). The clear flag
// zero-fills the block.
void* AllocMemory(size_t size, int clear);
// count * elemSize with an overflow check: a product that does not fit in
// size_t gives null (ERR_MEM for the caller), never a smaller block.
void* AllocMemoryArray(size_t count, size_t elemSize, int clear);
void FreeMemory(void* block);  // null is ignored

// Test hook for fault injection: the nth allocation counted from this call
// fails (n >= 1); with persistent set, every allocation after it fails too.
// n = 0 switches the hook off. Zero-size requests are not counted.
void SetAllocFailure(uint64_t n, bool persistent);
// Allocations the hook has failed since it was last set.
uint64_t GetAllocFailureCount();
