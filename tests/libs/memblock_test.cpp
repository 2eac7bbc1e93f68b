// The memory-block commands called by name: typed access and its bounds,
// fills and copies, the dump's layout, ranges whose sums would wrap in 32
// bits, tables, file transfers and blocks that wrap virtual files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "engine/engine.h"
#include "libs/libs.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

// A command argument: a number or a string.
struct Arg {
  std::variant<double, std::string> v;
  Arg(double d) : v(d) {}
  Arg(int i) : v(static_cast<double>(i)) {}
  Arg(const char* s) : v(std::string(s)) {}
  Arg(std::string s) : v(std::move(s)) {}
};
using Result = std::variant<std::monostate, double, std::string>;

constexpr double INTEGER = 1, STRING = 3, SHORT = 6, BYTE = 7, FLOAT = 11, DOUBLE = 12;
constexpr double NATIVE = 1, LITTLE = 2;

class MemBlockTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;

  void SetUp() override {
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenMemBlockLibrary(L), 0);
    VmSetTop(L, 0);
  }

  ErrorCode call(const char* name, const std::vector<Arg>& args) {
    VmSetTop(L, 0);
    for (const Arg& a : args) {
      if (const double* d = std::get_if<double>(&a.v))
        VmPushNumber(L, *d);
      else
        VmPushLString(L, std::get<std::string>(a.v).data(), std::get<std::string>(a.v).size());
    }
    return p.Call(name, static_cast<int>(args.size()));
  }
  std::string topString() { return std::string(VmToString(L, -1), VmStrLen(L, -1)); }
  // The block's bytes, read back one by one.
  std::string bytes(double id, int count) {
    std::string out;
    for (int i = 0; i < count; i++) {
      EXPECT_EQ(call("Peek", {id, double(i), BYTE}), 0);
      out += static_cast<char>(static_cast<uint8_t>(VmToNumber(L, -1)));
    }
    return out;
  }
};

// One command on a fresh 8-byte block (id 1) that the setup calls filled;
// then the expected code and, on success, the expected result.
TEST_F(MemBlockTest, EdgeCases) {
  struct Step {
    const char* name;
    std::vector<Arg> args;
  };
  struct Case {
    const char* what;
    std::vector<Step> setup;
    Step step;
    ErrorCode code;
    Result result = {};
    std::string after = {};  // the block's 8 bytes afterwards, when not empty
  };
  const std::string zero8(8, '\0');
  const Case cases[] = {
      {"poke big-endian", {}, {"Poke", {1, 0, 1}}, 0, {}, std::string("\0\0\0\1\0\0\0\0", 8)},
      {"poke little-endian",
       {},
       {"Poke", {1, 0, 1, INTEGER, LITTLE}},
       0,
       {},
       std::string("\1\0\0\0\0\0\0\0", 8)},
      {"peek big after little",
       {{"Poke", {1, 0, 1, INTEGER, LITTLE}}},
       {"Peek", {1, 0}},
       0,
       16777216.0},
      {"peek native",
       {{"Poke", {1, 0, 1, INTEGER, LITTLE}}},
       {"Peek", {1, 0, INTEGER, NATIVE}},
       0,
       1.0},
      {"short orders",
       {},
       {"Poke", {1, 2, 0x1234, SHORT, LITTLE}},
       0,
       {},
       std::string("\0\0\x34\x12\0\0\0\0", 8)},
      {"unsigned integer", {{"FillMem", {1, 255, 8}}}, {"Peek", {1, 0}}, 0, 4294967295.0},
      {"unsigned short", {{"FillMem", {1, 255, 8}}}, {"Peek", {1, 0, SHORT}}, 0, 65535.0},
      {"double big-endian",
       {},
       {"Poke", {1, 0, 1.5, DOUBLE}},
       0,
       {},
       std::string("\x3f\xf8\0\0\0\0\0\0", 8)},
      {"float little",
       {},
       {"Poke", {1, 4, 1.5, FLOAT, LITTLE}},
       0,
       {},
       std::string("\0\0\0\0\0\0\xc0\x3f", 8)},
      {"poke at 4", {}, {"Poke", {1, 4, 7}}, 0, {}, std::string("\0\0\0\0\0\0\0\7", 8)},
      {"poke at 5", {}, {"Poke", {1, 5, 7}}, ERR_MEMRANGE, {}, zero8},
      {"byte at 7", {}, {"Poke", {1, 7, 7, BYTE}}, 0, {}, std::string("\0\0\0\0\0\0\0\7", 8)},
      {"byte at 8", {}, {"Poke", {1, 8, 7, BYTE}}, ERR_MEMRANGE, {}, zero8},
      {"double at 1", {}, {"Poke", {1, 1, 1.5, DOUBLE}}, ERR_MEMRANGE, {}, zero8},
      {"negative offset", {}, {"Peek", {1, -1}}, ERR_MEMRANGE},
      {"no width", {}, {"Poke", {1, 0, 1, 2}}, ERR_WRONGUSAGE},
      {"string fits", {}, {"Poke", {1, 4, "abc", STRING}}, 0, {}, std::string("\0\0\0\0abc\0", 8)},
      {"string needs its zero", {}, {"Poke", {1, 5, "abc", STRING}}, ERR_MEMRANGE, {}, zero8},
      {"peek text stops",
       {{"Poke", {1, 0, "hi\x01x", STRING}}},
       {"Peek", {1, 0, STRING}},
       0,
       std::string("hi")},
      {"peek exact length",
       {{"Poke", {1, 0, "hi", STRING}}},
       {"Peek", {1, 0, STRING, 4}},
       0,
       std::string("hi\0\0", 4)},
      {"peek length past end", {}, {"Peek", {1, 6, STRING, 3}}, ERR_MEMRANGE},
      {"fill count 0", {}, {"FillMem", {1, 65, 0}}, 0, {}, zero8},
      {"fill shorts",
       {},
       {"FillMem", {1, 0x0102, 4, 2, SHORT}},
       0,
       {},
       std::string("\0\0\1\2\1\2\0\0", 8)},
      {"odd short fill", {}, {"FillMem", {1, 1, 3, 0, SHORT}}, ERR_WRONGUSAGE, {}, zero8},
      {"odd short offset", {}, {"FillMem", {1, 1, 2, 1, SHORT}}, ERR_WRONGUSAGE, {}, zero8},
      {"fill integers", {}, {"FillMem", {1, 0x01020304, 8, 0, INTEGER}}, 0, {}, "\1\2\3\4\1\2\3\4"},
      {"fill past end", {}, {"FillMem", {1, 1, 4, 5}}, ERR_MEMRANGE, {}, zero8},
      {"copy to itself", {}, {"CopyMem", {1, 1, 4}}, ERR_WRONGUSAGE},
      {"copy between",
       {{"AllocMem", {2, 4}}, {"FillMem", {2, 9, 4}}},
       {"CopyMem", {2, 1, 4, 0, 3}},
       0,
       {},
       std::string("\0\0\0\t\t\t\t\0", 8)},
      {"copy past end", {{"AllocMem", {2, 4}}}, {"CopyMem", {2, 1, 4, 0, 5}}, ERR_MEMRANGE},
      {"alloc 0", {}, {"AllocMem", {3, 0}}, ERR_MEM},
      {"unknown block", {}, {"Peek", {9, 0}}, ERR_FINDMEMBLK},
      {"string whole block",
       {{"Poke", {1, 0, "abcdefg", STRING}}},
       {"GetMemString", {1, 2}},
       0,
       std::string("cdefg\0", 6)},
      {"string past end", {}, {"GetMemString", {1, 2, 7}}, ERR_WRONGUSAGE},
      {"pointer at end", {}, {"GetMemPointer", {1, 8}}, ERR_WRONGUSAGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(call("AllocMem", {1, 8}), 0);
    ASSERT_EQ(call("FillMem", {1, 0, 8}), 0);
    for (const Step& s : c.setup) ASSERT_EQ(call(s.name, s.args), 0) << s.name;
    EXPECT_EQ(call(c.step.name, c.step.args), c.code);
    if (c.code == 0 && std::holds_alternative<double>(c.result)) {
      EXPECT_EQ(VmToNumber(L, -1), std::get<double>(c.result));
    }
    if (c.code == 0 && std::holds_alternative<std::string>(c.result)) {
      EXPECT_EQ(topString(), std::get<std::string>(c.result));
    }
    if (!c.after.empty()) {
      EXPECT_EQ(bytes(1, 8), c.after);
    }
    call("FreeMem", {2});
  }
}

// Large fills take another path: the pattern must come
// out the same at every alignment, up to the last byte and no further.
TEST_F(MemBlockTest, LargeFillsKeepThePattern) {
  const int size = (5 << 20) + 64;
  ASSERT_EQ(call("AllocMem", {1, size}), 0);
  struct Case {
    double type;
    int offset, width;
  } cases[] = {{SHORT, 2, 2}, {INTEGER, 4, 4}, {INTEGER, 24, 4}, {SHORT, 30, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    ASSERT_EQ(call("FillMem", {1, 0, size}), 0);
    int count = size - 32 - c.offset % 16;
    ASSERT_EQ(call("FillMem", {1, 0x01020304, count, c.offset, c.type}), 0);
    for (int at : {0, c.offset - 1, c.offset, c.offset + 1, c.offset + 17, size / 2 + 3,
                   c.offset + count - 1, c.offset + count, size - 1}) {
      if (at < 0) continue;
      double want = 0;
      if (at >= c.offset && at < c.offset + count)
        want = 4 - c.width + 1 + (at - c.offset) % c.width;
      ASSERT_EQ(call("Peek", {1, at, BYTE}), 0);
      EXPECT_EQ(VmToNumber(L, -1), want) << at;
    }
  }
}

TEST_F(MemBlockTest, UnsizedBlockAndSignedTables) {
  ASSERT_EQ(call("AllocMem", {1, 4}), 0);
  ASSERT_EQ(call("FillMem", {1, 0xFF, 4}), 0);
  ASSERT_EQ(call("GetMemPointer", {1}), 0);
  void* pointer = VmToUserdata(L, -1);
  VmSetTop(L, 0);
  VmPushNumber(L, 2);
  VmPushLightUserdata(L, pointer);
  VmPushNumber(L, 0);
  ASSERT_EQ(p.Call("AllocMemFromPointer", 3), 0);
  EXPECT_EQ(call("GetMemString", {2, 0}), ERR_WRONGUSAGE);
  EXPECT_EQ(call("DumpMem", {2}), ERR_WRONGUSAGE);
  EXPECT_EQ(call("Peek", {2, 0}), 0);  // unchecked, but a plain read
  EXPECT_EQ(VmToNumber(L, -1), 4294967295.0);

  // INTEGER stays unsigned with "signed"; SHORT turns signed.
  struct Case {
    double type;
    bool isSigned;
    double first;
  } cases[] = {{INTEGER, true, 4294967295.0}, {SHORT, true, -1}, {SHORT, false, 65535}};
  for (const Case& c : cases) {
    VmSetTop(L, 0);
    VmPushNumber(L, 1);
    VmPushNumber(L, c.type);
    VmNewTable(L);
    SetTableFieldNumber(L, "signed", c.isSigned ? 1 : 0);
    ASSERT_EQ(p.Call("MemToTable", 3), 0);
    VmRawGetI(L, -1, 0);
    EXPECT_EQ(VmToNumber(L, -1), c.first) << c.type;
  }
  EXPECT_EQ(call("FreeMem", {2}), 0);
}

TEST_F(MemBlockTest, DumpOfTwentyBytesIsTwoLines) {
  ASSERT_EQ(call("AllocMem", {1, 20}), 0);
  ASSERT_EQ(call("FillMem", {1, 0, 20}), 0);
  ASSERT_EQ(call("Poke", {1, 0, "Hello, memory!\n\x80yz", STRING}), 0);
  testing::internal::CaptureStdout();
  ErrorCode code = call("DumpMem", {1});
  std::fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(code, 0);
  EXPECT_EQ(out,
            "00000000: 48 65 6c 6c 6f 2c 20 6d 65 6d 6f 72 79 21 0a 80 Hello, memory!..\n"
            "00000010: 79 7a 00 00 " +
                std::string(36, ' ') + "yz..\n");
}

// Offsets and counts near 2^31 whose 32-bit sums or products wrap: each
// must be refused before anything is touched (ASan reports any access).
TEST_F(MemBlockTest, WrappingRangesAreRefused) {
  ASSERT_EQ(call("AllocMem", {1, 16}), 0);
  ASSERT_EQ(call("AllocMem", {2, 16}), 0);
  const double big = 2147483647, huge = 0x40000001;
  struct Case {
    const char* name;
    std::vector<Arg> args;
  } cases[] = {
      {"Poke", {1, big, 1}},           {"Poke", {1, big - 2, 1.0, DOUBLE}},
      {"Poke", {1, big, "x", STRING}}, {"Peek", {1, big - 1, STRING, 4}},
      {"FillMem", {1, 1, big, 4}},     {"FillMem", {1, 1, 8, big - 3, INTEGER}},
      {"CopyMem", {1, 2, big, 0, 4}},  {"CopyMem", {1, 2, 8, big - 1, 0}},
      {"DumpMem", {1, big, 4}},
  };
  for (const Case& c : cases) EXPECT_EQ(call(c.name, c.args), ERR_MEMRANGE) << c.name;
  VmSetTop(L, 0);
  VmPushNumber(L, 1);
  VmPushNumber(L, INTEGER);
  VmNewTable(L);
  SetTableFieldNumber(L, "items", huge);
  EXPECT_EQ(p.Call("MemToTable", 3), ERR_MEMRANGE);
}

TEST_F(MemBlockTest, TableToMemKeepsWhatFitted) {
  ASSERT_EQ(call("AllocMem", {1, 6}), 0);
  ASSERT_EQ(call("FillMem", {1, 0, 6}), 0);
  VmSetTop(L, 0);
  VmNewTable(L);
  for (int i = 0; i < 3; i++) {
    VmPushNumber(L, 0x0A0B + i);
    VmRawSetI(L, -2, i);
  }
  VmPushNumber(L, 1);
  VmPushNumber(L, SHORT);
  VmNewTable(L);
  SetTableFieldNumber(L, "offset", 1);
  ASSERT_EQ(p.Call("TableToMem", 4), ERR_MEMRANGE);
  EXPECT_EQ(bytes(1, 6), std::string("\0\x0b\x0a\x0c\x0a\0", 6));
}

TEST_F(MemBlockTest, FileTransfers) {
  char templ[] = "/tmp/qmmemXXXXXX";
  ASSERT_NE(mkdtemp(templ), nullptr);
  std::string dir = templ, in = dir + "/in", out = dir + "/out";
  std::ofstream(in, std::ios::binary) << "abcdef";
  ASSERT_EQ(call("AllocMem", {1, 8}), 0);
  ASSERT_EQ(call("OpenFile", {1, in, 1005}), 0);
  ASSERT_EQ(call("OpenFile", {2, out, 1006}), 0);
  EXPECT_EQ(call("ReadMem", {2, 1, 4}), ERR_WRITEONLY);
  EXPECT_EQ(call("WriteMem", {1, 1, 4}), ERR_READONLY);
  EXPECT_EQ(call("ReadMem", {1, 1, 4, -1}), ERR_WRONGUSAGE);
  EXPECT_EQ(call("ReadMem", {1, 1, 4, 5}), ERR_MEMRANGE);
  EXPECT_EQ(call("ReadMem", {1, 1, 4, 2}), 0);
  EXPECT_EQ(call("ReadMem", {1, 1, 4}), ERR_READ);  // two bytes left
  EXPECT_EQ(call("WriteMem", {2, 1, 4, 2}), 0);
  EXPECT_EQ(call("CloseFile", {2}), 0);
  std::ifstream written(out, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "abcd");
  // A full device: the unbuffered write reports the short transfer.
  ASSERT_EQ(call("SetIOMode", {1}), 0);
  ASSERT_EQ(call("OpenFile", {3, "/dev/full", 1006}), 0);
  EXPECT_EQ(call("WriteMem", {3, 1, 4}), ERR_WRITE);
  EXPECT_EQ(call("CloseFile", {3}), 0);
  std::system(("rm -rf " + dir).c_str());
}

TEST_F(MemBlockTest, BlockOnVirtualFileOutlivesItsChanges) {
  ASSERT_EQ(call("DefineVirtualFileFromString", {"ABCD", "v.bin", 1}), 0);
  std::string name = topString();
  EXPECT_EQ(call("AllocMemFromVirtualFile", {1, "v.bin"}), ERR_WRONGUSAGE);
  ASSERT_EQ(call("AllocMemFromVirtualFile", {1, name}), 0);
  EXPECT_EQ(call("Peek", {1, 0}), 0);
  EXPECT_EQ(VmToNumber(L, -1), 0x41424344);
  EXPECT_EQ(call("Poke", {1, 1, 4}), ERR_MEMRANGE);

  // Growing the file moves its bytes; the block follows them.
  ASSERT_EQ(call("OpenFile", {1, name, 1004}), 0);
  ASSERT_EQ(call("Seek", {1, 4}), 0);
  ASSERT_EQ(call("WriteString", {1, std::string(200000, 'z')}), 0);
  ASSERT_EQ(call("CloseFile", {1}), 0);
  EXPECT_EQ(call("Peek", {1, 199999, BYTE}), 0);
  EXPECT_EQ(VmToNumber(L, -1), 'z');
  ASSERT_EQ(call("GetAttribute", {OBJTYPE_MEMORY, 1, ATTRSIZE}), 0);
  EXPECT_EQ(VmToNumber(L, -1), 200004);
  ASSERT_EQ(call("GetAttribute", {OBJTYPE_MEMORY, 0, ATTRCOUNT}), 0);
  EXPECT_EQ(VmToNumber(L, -1), 1);
  EXPECT_EQ(call("GetAttribute", {OBJTYPE_MEMORY, 2, ATTRSIZE}), ERR_FINDMEMBLK);
  EXPECT_EQ(call("GetAttribute", {OBJTYPE_MEMORY, 1, ATTRWIDTH}), ERR_UNKNOWNATTR);

  // Undefined while the block uses it: the bytes stay until the block goes.
  ASSERT_EQ(call("UndefineVirtualStringFile", {name}), 0);
  EXPECT_EQ(call("Peek", {1, 0, BYTE}), 0);
  EXPECT_EQ(VmToNumber(L, -1), 'A');
  EXPECT_EQ(call("FreeMem", {1}), 0);

  // A second block and shut-down with the file still defined.
  ASSERT_EQ(call("DefineVirtualFileFromString", {"xy", "w.bin"}), 0);
  ASSERT_EQ(call("AllocMemFromVirtualFile", {2, topString()}), 0);
}

}  // namespace
