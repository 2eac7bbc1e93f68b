// Compiled-chunk loading and writing inside the engine: the reader stream
// and load buffer of the loader, the prototype verifier, and the chunk
// header constants that the loader and the writer share.
//
// Invariant: the loader gathers the whole input into the load buffer before
// it parses, so every count and length is checked against the bytes that
// remain before anything is allocated for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/object.h"
#include "engine/engine.h"

// The reader stream: the current block of the caller's reader.
struct VmReadStream {
  size_t n;       // bytes left in the current block
  const char* p;  // next byte
  VmReader reader;
  void* data;
  const char* name;  // chunk name, for error reports
};

// Grows only; freed by the caller after the load.
struct VmLoadBuffer {
  char* buffer;
  size_t size;
};

// Chunk header, shared by the loader and the writer.
constexpr char VM_CHUNK_SIGNATURE[4] = {'\x1b', 'Q', 'M', 'B'};
constexpr int VM_CHUNK_HEADER_SIZE = 21;
constexpr double VM_CHUNK_TEST_NUMBER = 31415926.535897933;
constexpr int32_t VM_CHUNK_TEST_INTEGER = 31415926;

// Deepest nesting of function records the loader follows; each level is one
// C++ frame of the recursive reader (Lua's C-call limit of 200).
constexpr int VM_MAX_FUNCTION_DEPTH = 200;

// Largest array part a NEWTABLE may ask for: the rehash never builds a
// larger one (2^24 slots, the hash part's own limit).
constexpr uint64_t VM_MAX_NEWTABLE_ARRAY = uint64_t(1) << VM_MAXBITS;

void VmInitReadStream(VmReadStream* z, VmReader reader, void* data, const char* name);
// Asks the reader for the next block; -1 at the end of the input, else the
// first byte of the block (consumed).
int VmFillStream(VmReadStream* z);
// Reads n bytes into b; returns how many of them remain unread at the end
// of the input (0 when all were read).
size_t VmReadStreamBytes(VmReadStream* z, void* b, size_t n);
// Grows the buffer to at least n bytes (at least 32); raises 1000 when n
// cannot be allocated.
char* VmGrowLoadBuffer(VmState* L, VmLoadBuffer* buff, size_t n);

// The loader proper: reads a whole chunk from z and returns its verified
// main prototype; raises 1198 to 1205 (and 1000) on failure.
VmPrototype* VmLoadBytecode(VmState* L, VmReadStream* z, VmLoadBuffer* buff);

// What the verifier found wrong with a function: the instruction (its
// index, -1 for a fault of the function's own counts) and a short
// description; fault is null when the function is sound.
struct VmVerifyResult {
  int pc;
  const char* fault;
};

// Checks a loaded prototype's code against its own counts and its nested
// prototypes (which must be loaded and verified already).
VmVerifyResult VmVerifyPrototype(const VmPrototype* p);

// Sets the error argument of ERR_BADBYTECODE to where the bad code lies:
// the chunk (the function's source), the function (as the caller names
// it: "main function", or "function 2.1" for the first nested function of
// the main function's second one), the instruction's index and opcode
// when pc is not -1, then the fault when one is given. For instance
// "t.qma, function 1, instruction 3 (CALL)".
void VmSetBadCodeLocation(const VmString* source, const char* function, int pc,
                          Instruction instruction, const char* fault);
