// Services of the data and system libraries that other folders use. Each
// concern keeps its own section; what only libs/ calls is in
// libs/libs_private.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/errors.h"

struct VmState;

// ---- Hashes and Base64 ----

// The digest of the bytes as 32 lower-case hexadecimal digits.
void MD5HexDigest(const void* data, size_t count, char out[33]);
// Base64 (RFC 4648): the encoded size (ERR_MEM when it overflows), the
// encoder, and the decoder (ERR_BADBASE64 on a bad character or padding).
size_t Base64EncodedSize(size_t count, ErrorCode* error);
void EncodeBase64(const void* data, size_t count, char* out);
ErrorCode DecodeBase64(const char* text, size_t length, void* out, size_t* written);

// ---- Typed memory access ----

// Type codes of typed reads and writes (the system library's type constants).
enum : int32_t {
  MEMTYPE_INTEGER = 1,
  MEMTYPE_SHORT = 6,
  MEMTYPE_BYTE = 7,
  MEMTYPE_FLOAT = 11,
  MEMTYPE_DOUBLE = 12,
};
// Byte orders of the memory-block commands and of ByteVal and ByteStrStr.
enum : int32_t {
  MEM_BIGENDIAN = 0,
  MEM_NATIVEENDIAN = 1,
  MEM_LITTLEENDIAN = 2,
};
// Bytes of a type code, 0 for codes that are no memory type.
int GetMemTypeSize(int32_t type);
// With size 0 the buffer's size is unknown and not checked. native: machine
// order; else little or big-endian by little.
ErrorCode PokeTypedValue(void* buffer, size_t size, int32_t type, int64_t offset, uint32_t intValue,
                         double floatValue, double doubleValue, int native, int little);
// Reads the value and pushes it as a number.
ErrorCode PeekTypedValue(VmState* L, const void* buffer, size_t size, int32_t type, int64_t offset,
                         int native, int little);

// ---- Dos library ----

// Registers the "dos" library, its commands (into the table at the top of
// the stack, normally the globals), its constants, the "FILE*" metatable
// and the file list.
ErrorCode OpenDosLibrary(VmState* L);
// The dos library's shut-down: closes and frees every open file and the
// virtual files, and puts the I/O switches back to their start.
void FreeDosResources(VmState* L);
// The encoding that encoding arguments default to: 0 Latin-1, 1 UTF-8.
int32_t DefaultLibraryEncoding();

// ---- System library ----

// Registers the "system" library, its commands (into the table at the top
// of the stack, normally the globals) and its constants.
ErrorCode OpenSystemLibrary(VmState* L);

// ---- Math library ----

// Registers the "math" commands and PI into the table at the top of the
// stack (normally the globals) and seeds the process-wide drand48 and rand
// generators with the time in seconds (or the test seed, below).
ErrorCode OpenMathLibrary(VmState* L);
