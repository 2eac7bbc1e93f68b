// Saved tables and functions: the golden bytes of the binary form, the
// Base64 form against python3's base64 module, round trips of functions,
// and corrupt files that must fail cleanly (lengths are never trusted).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/engine.h"
#include "tests/support/harness.h"

namespace {

class SerializeTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;
  std::string dir;

  void SetUp() override {
    char templ[] = "/tmp/qmserXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
  }
  void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
  std::string path(const char* name) { return dir + "/" + name; }

  static void writeFile(const std::string& name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary) << bytes;
  }
  static std::string readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  ErrorCode open(const std::string& name, double mode) {
    VmSetTop(L, 0);
    VmPushNumber(L, 1);
    VmPushString(L, name.c_str());
    VmPushNumber(L, mode);
    return p.Call("OpenFile", 3);
  }
  ErrorCode close() {
    VmSetTop(L, 0);
    VmPushNumber(L, 1);
    return p.Call("CloseFile", 1);
  }
  // Writes the table held by ref into a new file; returns the error.
  ErrorCode writeTable(const std::string& name, VmRef ref, bool base64, bool noBreaks) {
    EXPECT_EQ(open(name, 1006), 0);
    VmSetTop(L, 0);
    VmPushNumber(L, 1);
    VmRawGetI(L, VM_REGISTRY_INDEX, ref);
    VmPushBoolean(L, base64);
    VmPushBoolean(L, noBreaks);
    ErrorCode error = p.Call("WriteTable", 4);
    EXPECT_EQ(close(), 0);
    return error;
  }
  // Reads a table from the file; on success it is left at the stack top.
  ErrorCode readTable(const std::string& name, const char* command = "ReadTable") {
    EXPECT_EQ(open(name, 1005), 0);
    VmSetTop(L, 0);
    VmPushNumber(L, 1);
    ErrorCode error = p.Call(command, 1);
    VmRef result = error ? VM_REF_NIL : VmCreateReference(L, VM_REGISTRY_INDEX);
    EXPECT_EQ(close(), 0);
    VmSetTop(L, 0);
    if (result != VM_REF_NIL) {
      VmRawGetI(L, VM_REGISTRY_INDEX, result);
      VmReleaseReference(L, VM_REGISTRY_INDEX, result);
    }
    return error;
  }
  VmRef makeTable(void (*fill)(VmState* L)) {
    VmSetTop(L, 0);
    VmNewTable(L);
    fill(L);
    return VmCreateReference(L, VM_REGISTRY_INDEX);
  }
};

TEST_F(SerializeTest, GoldenBytesOfTheBinaryForm) {
  VmRef t = makeTable([](VmState* L) {
    VmPushNumber(L, 1);
    VmRawSetI(L, -2, 1);
    VmPushString(L, "a");
    VmRawSetI(L, -2, 2);
  });
  std::string name = path("t.bin");
  ASSERT_EQ(writeTable(name, t, false, false), 0);
  EXPECT_EQ(readFile(name), std::string("QMT0\x02\x3F\xF0\0\0\0\0\0\0\x02\x3F\xF0\0\0\0\0\0\0"
                                        "\x02\x40\0\0\0\0\0\0\0\x03\0\0\0\x01"
                                        "a\0",
                                        38));
  VmRef empty = makeTable([](VmState*) {});
  ASSERT_EQ(writeTable(name, empty, false, false), 0);
  EXPECT_EQ(readFile(name), std::string("QMT0\0", 5));
  VmReleaseReference(L, VM_REGISTRY_INDEX, t);
  VmReleaseReference(L, VM_REGISTRY_INDEX, empty);
}

TEST_F(SerializeTest, Base64FormMatchesPythonAndReadsBack) {
  VmRef t = makeTable([](VmState* L) {
    for (int i = 1; i <= 20; i++) {
      VmPushString(L, std::string(static_cast<size_t>(i * 7), static_cast<char>('a' + i)).c_str());
      VmRawSetI(L, -2, i);
    }
    VmPushString(L, std::string(300, 'k').c_str());  // a long key reads back too
    VmPushNumber(L, 2.5);
    VmRawSet(L, -3);
    VmPushString(L, "id");
    static int marker;
    VmPushLightUserdata(L, &marker);  // automatic identifiers are stored as 0
    VmRawSet(L, -3);
    VmPushString(L, "skipped");
    VmPushBoolean(L, 1);
    VmRawSet(L, -3);
  });
  std::string bin = path("t.bin"), b64 = path("t.b64");
  ASSERT_EQ(writeTable(bin, t, false, false), 0);
  struct Case {
    const char* name;
    bool noBreaks;
    bool cr;
    const char* lineEnd;
  } cases[] = {
      {"lf breaks", false, false, "\n"},
      {"crlf breaks", false, true, "\r\n"},
      {"no breaks", true, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmSetTop(L, 0);
    VmPushBoolean(L, c.cr);
    ASSERT_EQ(p.Call("UseCarriageReturn", 1), 0);
    ASSERT_EQ(writeTable(b64, t, true, c.noBreaks), 0);
    // python3's base64 of the binary form, broken every 72 characters.
    std::string cmd = "python3 -c \"import base64,sys; t=base64.b64encode(open('" + bin +
                      "','rb').read()).decode(); sys.stdout.write('" +
                      (c.lineEnd[0] == '\r' ? "\\\\r\\\\n"
                       : c.lineEnd[0]       ? "\\\\n"
                                            : "") +
                      "'.join(t[i:i+72] for i in range(0,len(t),72)))\"";
    FILE* py = popen(cmd.c_str(), "r");
    ASSERT_NE(py, nullptr);
    std::string text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, py)) > 0;) text.append(buf, n);
    ASSERT_EQ(pclose(py), 0);
    char count[9];
    std::snprintf(count, sizeof count, "%.8zx", text.size());
    EXPECT_EQ(readFile(b64), "QMT1" + std::string(count) + text);

    ASSERT_EQ(readTable(b64), 0);
    VmPushString(L, std::string(300, 'k').c_str());
    VmRawGet(L, 1);
    EXPECT_EQ(VmToNumber(L, -1), 2.5);
    VmRawGetI(L, 1, 20);
    EXPECT_EQ(VmStrLen(L, -1), 140u);
    VmPushString(L, "id");
    VmRawGet(L, 1);
    EXPECT_EQ(VmType(L, -1), VM_TYPE_NUMBER);
    EXPECT_EQ(VmToNumber(L, -1), 0);
    VmPushString(L, "skipped");
    VmRawGet(L, 1);
    EXPECT_EQ(VmType(L, -1), VM_TYPE_NIL);
  }
  VmReleaseReference(L, VM_REGISTRY_INDEX, t);
}

TEST_F(SerializeTest, FunctionsRoundTripAndStayBinaryInBase64Tables) {
  ASSERT_EQ(p.Run(".function f\nLOADNUM 0, 42\nRETURN 0, 2\n.end\n"
                  "CLOSURE 0, f\nSETGLOBAL 0, \"fortytwo\"\nRETURN 0, 1"),
            0);
  VmRef t = makeTable([](VmState* L) {
    VmPushString(L, "fortytwo");
    VmGetTable(L, VM_GLOBALS_INDEX);
    VmRawSetI(L, -2, 1);
  });
  std::string name = path("f.b64");
  ASSERT_EQ(writeTable(name, t, true, true), 0);
  ASSERT_EQ(readTable(name), 0);
  VmRawGetI(L, 1, 1);
  ASSERT_EQ(VmCall(L, 0, 1), 0);
  EXPECT_EQ(VmToNumber(L, -1), 42);

  for (bool base64 : {false, true}) {
    SCOPED_TRACE(base64);
    ASSERT_EQ(open(name, 1006), 0);
    VmSetTop(L, 0);
    VmPushNumber(L, 1);
    VmPushString(L, "fortytwo");
    VmGetTable(L, VM_GLOBALS_INDEX);
    VmPushBoolean(L, base64);
    ASSERT_EQ(p.Call("WriteFunction", 3), 0);
    ASSERT_EQ(close(), 0);
    EXPECT_EQ(readFile(name).substr(0, 4), base64 ? "QMF1" : "QMF0");
    ASSERT_EQ(readTable(name, "ReadFunction"), 0);
    ASSERT_EQ(VmCall(L, 0, 1), 0);
    EXPECT_EQ(VmToNumber(L, -1), 42);
    EXPECT_EQ(readTable(name), ERR_READTABLE);
  }
  VmReleaseReference(L, VM_REGISTRY_INDEX, t);
}

TEST_F(SerializeTest, BadTablesAndCorruptFilesFailCleanly) {
  VmRef tableKey = makeTable([](VmState* L) {
    VmNewTable(L);
    VmPushNumber(L, 1);
    VmRawSet(L, -3);
  });
  VmRef selfTable = makeTable([](VmState* L) {
    VmPushValue(L, -1);
    VmRawSetI(L, -2, 1);
  });
  std::string name = path("bad");
  EXPECT_EQ(writeTable(name, tableKey, false, false), ERR_WRONGUSAGE);
  EXPECT_EQ(writeTable(name, selfTable, false, false), ERR_STACK);
  VmReleaseReference(L, VM_REGISTRY_INDEX, tableKey);
  VmReleaseReference(L, VM_REGISTRY_INDEX, selfTable);

  struct Case {
    const char* name;
    std::string bytes;
    ErrorCode table;
    ErrorCode function;
  } cases[] = {
      {"function file cut", std::string("QMF0\0\0\0\x05", 8), ERR_READTABLE, ERR_READ},
      {"table file", std::string("QMT0\0", 5), 0, ERR_READFUNC},
      {"huge string length", std::string("QMT0\x03\xFF\xFF\xFF\xF0", 9), ERR_READ, ERR_READFUNC},
      {"huge value length", std::string("QMT0\x02\0\0\0\0\0\0\0\0\x03\x7F\xFF\xFF\xFF", 18),
       ERR_READ, ERR_READFUNC},
      {"huge function length", std::string("QMF0\xFF\xFF\xFF\xFF", 8), ERR_READTABLE, ERR_READ},
      {"bad key tag", std::string("QMT0\x07", 5), ERR_FILEFORMAT, ERR_READFUNC},
      {"bad value tag", std::string("QMT0\x02\0\0\0\0\0\0\0\0\x09", 14), ERR_FILEFORMAT,
       ERR_READFUNC},
      {"unended body", std::string("QMT0", 4), ERR_READ, ERR_READFUNC},
      {"count not hexadecimal", "QMT1zzzzzzzzQU1UMAA=", ERR_FILEFORMAT, ERR_READFUNC},
      {"count past the end", "QMT1ffffffffQU1UMAA=", ERR_READ, ERR_READFUNC},
      {"bad base64", "QMT100000008QU1U*AA=", ERR_BADBASE64, ERR_READFUNC},
      {"base64 of an empty table", "QMT100000008UU1UMAA=", 0, ERR_READFUNC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(name, c.bytes);
    EXPECT_EQ(readTable(name), c.table);
    EXPECT_EQ(readTable(name, "ReadFunction"), c.function);
  }
}

}  // namespace
