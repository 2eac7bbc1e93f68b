// libFuzzer target over the chunk loader: any input, read in blocks whose
// size the input's first byte chooses, must load or be refused with one of
// the loader's codes, leaving the stack as it was; a loaded function must
// write back to a chunk that loads again. A first byte with the high bit set
// selects the code mode: the rest is the instruction array of a main
// function inside a well-formed record, so every input reaches the
// verifier.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/object.h"
#include "engine/engine.h"
#include "engine/engine_private.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t block;
  size_t pos;
};

const char* readBlock(VmState*, void* ud, size_t* size) {
  Input* in = static_cast<Input*>(ud);
  size_t left = in->size - in->pos;
  size_t n = in->block < left ? in->block : left;
  *size = n;
  const char* p = reinterpret_cast<const char*>(in->data + in->pos);
  in->pos += n;
  return n == 0 ? nullptr : p;
}

int collect(VmState*, const void* p, size_t size, void* ud) {
  auto* out = static_cast<std::vector<uint8_t>*>(ud);
  const uint8_t* b = static_cast<const uint8_t*>(p);
  out->insert(out->end(), b, b + size);
  return 1;
}

void put32(std::vector<uint8_t>* b, uint32_t v) {
  for (int i = 0; i < 4; i++) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A little-endian chunk around the given code: stack size, parameters and
// vararg flag from the first bytes; three constants (a number, a string,
// nil) and one nested function with 0 to 2 upvalues.
std::vector<uint8_t> codeChunk(const uint8_t* data, size_t size) {
  static const uint8_t header[] = {0x1b, 'Q', 'M',  'B',  1,    4,    4,    4,    6,    8,   9,
                                   9,    8,   0xb6, 0x09, 0x93, 0x68, 0xe7, 0xf5, 0x7d, 0x41};
  std::vector<uint8_t> b(header, header + sizeof header);
  uint8_t p[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < 4 && i < size; i++) p[i] = data[i];
  put32(&b, 3);
  b.insert(b.end(), {'=', 'f', 0});
  put32(&b, 0);
  b.insert(b.end(), {0, static_cast<uint8_t>(p[0] % 4), static_cast<uint8_t>(p[1] & 1), p[2]});
  put32(&b, 0);  // lines
  put32(&b, 0);  // locals
  put32(&b, 0);  // upvalue names
  put32(&b, 3);  // constants
  b.insert(b.end(), {3, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f});
  b.push_back(4);
  put32(&b, 2);
  b.insert(b.end(), {'s', 0});
  b.push_back(0);
  put32(&b, 1);  // one nested function
  put32(&b, 0);
  put32(&b, 0);
  b.insert(b.end(), {static_cast<uint8_t>(p[3] % 3), 0, 0, 2});
  for (int i = 0; i < 5; i++) put32(&b, 0);
  put32(&b, 1);
  put32(&b, 0x00008022);  // RETURN 0 1 0
  size_t words = size > 4 ? (size - 4) / 4 : 0;
  put32(&b, static_cast<uint32_t>(words));
  b.insert(b.end(), data + 4, data + 4 + words * 4);
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> built;
  Input in{data + 1, size - 1, SIZE_MAX, 0};
  if (data[0] & 0x80) {
    built = codeChunk(data + 1, size - 1);
    in = Input{built.data(), built.size(), SIZE_MAX, 0};
  } else if (data[0] != 0) {
    // The first byte picks the block size: 0 hands everything over at once.
    in.block = data[0];
  }
  VmState* L = VmOpenState();
  if (L == nullptr) return 0;
  VmValue* top = L->top;
  ErrorCode e = VmLoad(L, readBlock, &in, "=fuzz");
  if (e == 0) {
    if (L->top != top + 1) std::abort();
    std::vector<uint8_t> chunk;
    if (VmDump(L, -1, collect, &chunk) != 0) std::abort();
    Input again{chunk.data(), chunk.size(), SIZE_MAX, 0};
    if (VmLoad(L, readBlock, &again, "=again") != 0) std::abort();
  } else {
    if (L->top != top) std::abort();
    if (e != ERR_MEM && (e < ERR_UNEXPECTEDEOF || e > ERR_UNKNUMFMT)) std::abort();
  }
  VmCloseState(L);
  return 0;
}
