// Packing, checksums and virtual string files of the dos library against
// python3's zlib and md5sum: the container bytes must equal
// zlib.compress of the source behind "QMPK" and four zero bytes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "engine/engine.h"
#include "tests/support/harness.h"

namespace {

class DosDataTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;
  std::string dir;

  void SetUp() override {
    char templ[] = "/tmp/qmdataXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
  }
  void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
  std::string path(const std::string& name) { return dir + "/" + name; }

  static std::string readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static std::string run(const std::string& cmd) {
    FILE* f = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; f && (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    EXPECT_EQ(f ? pclose(f) : -1, 0) << cmd;
    return out;
  }
  ErrorCode call1(const char* name, const std::string& a) {
    VmSetTop(L, 0);
    VmPushLString(L, a.data(), a.size());
    return p.Call(name, 1);
  }
  ErrorCode call2(const char* name, const std::string& a, const std::string& b) {
    VmSetTop(L, 0);
    VmPushLString(L, a.data(), a.size());
    VmPushLString(L, b.data(), b.size());
    return p.Call(name, 2);
  }
  std::string topString() { return std::string(VmToString(L, -1), VmStrLen(L, -1)); }
};

TEST_F(DosDataTest, PackingChecksumsAgainstPython) {
  // Seeded sources, their zlib.compress output and their CRC-32 values.
  std::string crcs =
      run("cd " + dir +
          " && python3 -c \"import random,zlib\nfor n in (0,1,16384,16385,65535,65536,65537,"
          "1048576):\n r=random.Random(n); d=bytes(r.choice((0,255,r.randrange(256))) for _ in "
          "range(n)); open('src%d'%n,'wb').write(d); open('exp%d'%n,'wb').write(zlib.compress(d));"
          " print(n, zlib.crc32(d))\"");
  std::istringstream lines(crcs);
  int size = 0;
  double crc = 0;
  int count = 0;
  while (lines >> size >> crc) {
    SCOPED_TRACE(size);
    count++;
    std::string src = path("src" + std::to_string(size));
    std::string packed = path("packed"), unpacked = path("unpacked");
    ASSERT_EQ(call2("CompressFile", src, packed), 0);
    std::string expected =
        std::string("QMPK\0\0\0\0", 8) + readFile(path("exp" + std::to_string(size)));
    EXPECT_EQ(VmToNumber(L, -1), expected.size());
    EXPECT_TRUE(readFile(packed) == expected);
    ASSERT_EQ(call2("DecompressFile", packed, unpacked), 0);
    EXPECT_EQ(VmToNumber(L, -1), size);
    EXPECT_TRUE(readFile(unpacked) == readFile(src));
    ASSERT_EQ(call1("CRC32", src), 0);
    EXPECT_EQ(VmToNumber(L, -1), crc);
    ASSERT_EQ(call1("MD5", src), 0);
    EXPECT_EQ(topString(), run("md5sum " + src).substr(0, 32));
  }
  EXPECT_EQ(count, 8);

  std::string abc = path("abc");
  std::ofstream(abc) << "abc";
  ASSERT_EQ(call1("CRC32", abc), 0);
  EXPECT_EQ(VmToNumber(L, -1), 891568578.0);
  ASSERT_EQ(call1("MD5", abc), 0);
  EXPECT_EQ(topString(), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(call1("CRC32", ""), ERR_WRONGUSAGE);
  EXPECT_EQ(call1("MD5", path("missing")), ERR_READFILE);

  std::string packed = readFile(path("exp16385"));
  std::ofstream(path("other"), std::ios::binary) << "QMPX" + std::string(4, '\0') + packed;
  std::ofstream(path("cut"), std::ios::binary)
      << std::string("QMPK\0\0\0\0", 8) + packed.substr(0, packed.size() / 2);
  EXPECT_EQ(call2("DecompressFile", path("other"), path("out")), ERR_PAKFORMAT);
  EXPECT_EQ(call2("DecompressFile", path("cut"), path("out")), ERR_ZLIBDATA);
  EXPECT_EQ(call2("CompressFile", path("missing"), path("out")), ERR_READFILE);
}

TEST_F(DosDataTest, VirtualStringFiles) {
  // A referenced string is read in place, even after its variable changes.
  VmSetTop(L, 0);
  VmPushString(L, "v");
  VmPushString(L, "first text");
  VmSetTable(L, VM_GLOBALS_INDEX);
  VmPushString(L, "v");
  VmGetTable(L, VM_GLOBALS_INDEX);
  VmPushString(L, "one.txt");
  ASSERT_EQ(p.Call("DefineVirtualFileFromString", 2), 0);
  std::string referenced = topString();
  VmPushString(L, "v");
  VmPushString(L, "changed");
  VmSetTable(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(call1("FileToString", referenced), 0);
  EXPECT_EQ(std::string(VmToString(L, -2)), "first text");

  // A copied one takes writes.
  VmSetTop(L, 0);
  VmPushString(L, "abc");
  VmPushString(L, "two.txt");
  VmPushBoolean(L, 1);
  ASSERT_EQ(p.Call("DefineVirtualFileFromString", 3), 0);
  std::string copied = topString();
  VmSetTop(L, 0);
  VmPushNumber(L, 1);
  VmPushString(L, copied.c_str());
  VmPushNumber(L, 1004);
  ASSERT_EQ(p.Call("OpenFile", 3), 0);
  VmSetTop(L, 0);
  VmPushNumber(L, 1);
  VmPushString(L, "XY");
  ASSERT_EQ(p.Call("WriteString", 2), 0);
  // Undefined while a stream reads it: the stream keeps it until it closes.
  ASSERT_EQ(call1("UndefineVirtualStringFile", copied), 0);
  VmSetTop(L, 0);
  VmPushNumber(L, 1);
  ASSERT_EQ(p.Call("ReadString", 1), 0);
  EXPECT_EQ(topString(), "c");
  VmSetTop(L, 0);
  VmPushNumber(L, 1);
  ASSERT_EQ(p.Call("CloseFile", 1), 0);
  EXPECT_EQ(call1("UndefineVirtualStringFile", copied), ERR_WRONGUSAGE);
  EXPECT_EQ(call2("DefineVirtualFileFromString", "x", ""), ERR_WRONGUSAGE);
  ASSERT_EQ(call1("GetAsset", "a/b.png"), 0);
  EXPECT_EQ(topString(), "a/b.png");
}

int patchCalls = 0;
int lastProgress = -1;
int recordProgress(VmState* L) {
  VmPushString(L, "progress");
  VmGetTable(L, 1);
  int progress = static_cast<int>(VmToNumber(L, -1));
  if (progress <= lastProgress) ADD_FAILURE() << "progress went back to " << progress;
  lastProgress = progress;
  patchCalls++;
  VmPushBoolean(L, 0);
  return 1;
}

TEST_F(DosDataTest, ApplyPatchComplementsPastThePatch) {
  // 40,000 source bytes over three blocks; a 5-byte patch.
  std::string source(40000, '\0');
  for (size_t i = 0; i < source.size(); i++) source[i] = static_cast<char>(i * 7);
  std::string patch = "\x01\x02\x03\x04\x05";
  std::ofstream(path("src"), std::ios::binary) << source;
  std::ofstream(path("patch"), std::ios::binary) << patch;
  auto open = [&](double id, const std::string& name, double mode) {
    VmSetTop(L, 0);
    VmPushNumber(L, id);
    VmPushString(L, name.c_str());
    VmPushNumber(L, mode);
    ASSERT_EQ(p.Call("OpenFile", 3), 0);
  };
  open(1, path("src"), 1005);
  open(2, path("patch"), 1005);
  open(3, path("out"), 1006);
  patchCalls = 0;
  lastProgress = -1;
  VmSetTop(L, 0);
  for (double id : {1.0, 2.0, 3.0}) VmPushNumber(L, id);
  VmPushCClosure(L, recordProgress, 0);
  ASSERT_EQ(p.Call("ApplyPatch", 4), 0);
  EXPECT_EQ(lastProgress, 100);
  EXPECT_EQ(patchCalls, 3);
  VmSetTop(L, 0);
  VmPushNumber(L, 3);
  ASSERT_EQ(p.Call("CloseFile", 1), 0);
  std::string out = readFile(path("out"));
  ASSERT_EQ(out.size(), source.size());
  for (size_t i = 0; i < source.size(); i++) {
    char expected =
        i < patch.size() ? static_cast<char>(source[i] ^ patch[i]) : static_cast<char>(~source[i]);
    ASSERT_EQ(out[i], expected) << i;
  }
  VmSetTop(L, 0);
  for (double id : {1.0, 2.0, 2.0}) VmPushNumber(L, id);
  EXPECT_EQ(p.Call("ApplyPatch", 3), ERR_READONLY);
}

TEST_F(DosDataTest, DefineVirtualFileNamesARange) {
  std::ofstream(path("data"), std::ios::binary) << "0123456789abcdef";
  auto define = [&](const std::string& file, double offset, double size, const char* name) {
    VmSetTop(L, 0);
    VmPushString(L, file.c_str());
    VmPushNumber(L, offset);
    VmPushNumber(L, size);
    VmPushString(L, name);
    return p.Call("DefineVirtualFile", 4);
  };
  ASSERT_EQ(define(path("data"), 4, 8, "middle.txt"), 0);
  std::string outer = topString();
  ASSERT_EQ(call1("FileToString", outer), 0);
  EXPECT_EQ(std::string(VmToString(L, 1), VmStrLen(L, 1)), "456789ab");
  ASSERT_EQ(define(outer, 2, 3, "inner.txt"), 0);
  ASSERT_EQ(call1("FileToString", topString()), 0);
  EXPECT_EQ(std::string(VmToString(L, 1), VmStrLen(L, 1)), "678");
  EXPECT_EQ(define(outer, 6, 3, "past.txt"), ERR_WRONGUSAGE);
  EXPECT_EQ(define(path("data"), 0, 0, "empty.txt"), ERR_WRONGUSAGE);
  EXPECT_EQ(define(path("data"), 0, 4, ""), ERR_WRONGUSAGE);
}

}  // namespace
