// The data and system libraries' own declarations beside libs/libs.h: the
// MD5 steps, the typed-memory reader and the math library's seeding and
// test hook. Used inside libs/ and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libs/libs.h"

// ---- Hashes and Base64 ----

// MD5 (RFC 1321): the state, the byte count and the pending partial block.
struct Md5Context {
  uint32_t state[4];
  uint64_t bytes;
  uint8_t block[64];
};
void MD5Init(Md5Context* context);
void MD5Update(Md5Context* context, const void* data, size_t count);
void MD5Final(Md5Context* context, uint8_t digest[16]);

// ---- Typed memory access ----

ErrorCode ReadTypedValue(const void* buffer, size_t size, int32_t type, int64_t offset, int native,
                         int little, double* value);

// ---- Math library ----

// Test seam: seeds both generators now, as the opener does.
void SeedMathGenerators(int64_t seed);
// Test seam: a seed of 0 or more replaces the time at the next openings;
// a negative one restores the time.
void SetMathSeedOverride(int64_t seed);
