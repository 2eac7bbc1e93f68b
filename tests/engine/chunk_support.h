// Helpers shared by the loader and writer tests: a VM fixture, readers that
// hand a chunk over in blocks of any size, a collecting writer, the golden
// files and assembly through qmasm.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/object.h"
#include "engine/engine.h"
#include "engine/load.h"
#include "tools/qmasm/qmasm.h"

namespace chunktest {

using Bytes = std::vector<uint8_t>;

inline std::string ReadDataFile(const std::string& name) {
  std::ifstream in(std::string(QM_SOURCE_DIR) + "/tests/data/" + name, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline Bytes ReadDataBytes(const std::string& name) {
  std::string s = ReadDataFile(name);
  return Bytes(s.begin(), s.end());
}

inline Bytes Assemble(const std::string& text) {
  Bytes out;
  std::string error;
  EXPECT_TRUE(qmasm::AssembleChunk(text, &out, &error)) << error;
  return out;
}

// Hands the bytes over in blocks of `block` bytes (0: all at once).
struct BlockReader {
  const Bytes* bytes;
  size_t block;
  size_t pos = 0;

  static const char* Read(VmState*, void* data, size_t* size) {
    BlockReader* r = static_cast<BlockReader*>(data);
    size_t left = r->bytes->size() - r->pos;
    size_t n = r->block == 0 || r->block > left ? left : r->block;
    *size = n;
    const char* p = reinterpret_cast<const char*>(r->bytes->data()) + r->pos;
    r->pos += n;
    return n == 0 ? nullptr : p;
  }
};

inline int Collect(VmState*, const void* p, size_t size, void* data) {
  Bytes* out = static_cast<Bytes*>(data);
  const uint8_t* b = static_cast<const uint8_t*>(p);
  out->insert(out->end(), b, b + size);
  return 1;
}

class VmFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    L = VmOpenState();
    ASSERT_NE(L, nullptr);
  }
  void TearDown() override { VmCloseState(L); }

  ErrorCode Load(const Bytes& chunk, size_t block = 0, const char* name = "=test") {
    BlockReader r{&chunk, block};
    return VmLoad(L, BlockReader::Read, &r, name);
  }

  // The prototype of the function at the top of the stack.
  VmPrototype* TopPrototype() {
    const VmValue* o = L->top - 1;
    EXPECT_TRUE(VmIsFunction(o));
    return VmClosureOf(o)->l.p;
  }

  VmState* L = nullptr;
};

}  // namespace chunktest
