// The dos library's file commands called by name on real files: value
// byte orders, character and line reading, the I/O modes, identifiers,
// whole-file commands and the errors that must never read as success.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "engine/engine.h"
#include "libs/libs.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

using Arg = std::variant<double, std::string, bool>;

class DosFileTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;
  std::string dir;

  void SetUp() override {
    char templ[] = "/tmp/qmdosXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
  }
  void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

  std::string path(const char* name) { return dir + "/" + name; }

  ErrorCode call(const char* name, const std::vector<Arg>& args) {
    VmSetTop(L, 0);
    for (const Arg& a : args) {
      if (const double* d = std::get_if<double>(&a))
        VmPushNumber(L, *d);
      else if (const std::string* s = std::get_if<std::string>(&a))
        VmPushLString(L, s->data(), s->size());
      else
        VmPushBoolean(L, std::get<bool>(a));
    }
    return p.Call(name, static_cast<int>(args.size()));
  }
  std::string topString() { return std::string(VmToString(L, -1), VmStrLen(L, -1)); }

  static void writeFile(const std::string& name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary) << bytes;
  }
  static std::string readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_F(DosFileTest, WrittenValuesAreTheSameBytesInBothIoModes) {
  for (double mode : {0.0, 1.0}) {
    SCOPED_TRACE(mode);
    std::string name = path("values.bin");
    ASSERT_EQ(call("SetIOMode", {mode}), 0);
    ASSERT_EQ(call("OpenFile", {1.0, name, 1006.0}), 0);
    EXPECT_EQ(call("WriteInt", {1.0, 1.0}), 0);
    EXPECT_EQ(call("WriteInt", {1.0, 1.0, true}), 0);
    EXPECT_EQ(call("WriteFloat", {1.0, 1.5, 4.0}), 0);
    EXPECT_EQ(call("WriteShort", {1.0, 65534.0}), 0);
    EXPECT_EQ(call("WriteFloat", {1.0, 1.5, 6.0}), ERR_WRONGUSAGE);
    EXPECT_EQ(call("CloseFile", {1.0}), 0);
    EXPECT_EQ(readFile(name), std::string("\0\0\0\1\1\0\0\0\x3f\xc0\0\0\xff\xfe", 14));
  }
}

struct ReadStep {
  const char* command;
  std::vector<Arg> extra;  // after the file identifier
  ErrorCode error;
  std::variant<double, std::string> result;
};
struct ReadCase {
  const char* name;
  std::string content;
  std::vector<ReadStep> steps;
};

TEST_F(DosFileTest, ReadsValuesCharactersStringsAndLines) {
  const std::string bom("\xEF\xBB\xBF\x41", 4);
  const ReadCase cases[] = {
      {"signed int", "\xFF\xFF\xFF\xFE", {{"ReadInt", {}, 0, -2.0}}},
      {"unsigned short", "\xFF\xFE", {{"ReadShort", {}, 0, 65534.0}}},
      {"little-endian int", std::string("\2\0\0\0", 4), {{"ReadInt", {true}, 0, 2.0}}},
      {"single float", std::string("\x3f\xc0\0\0", 4), {{"ReadFloat", {4.0}, 0, 1.5}}},
      {"utf-8 character", "\xC3\xA9", {{"ReadChr", {1.0}, 0, 233.0}}},
      {"bad utf-8 character", "\xC3\x41", {{"ReadChr", {1.0}, ERR_INVALIDUTF8, 0.0}}},
      {"utf-8 character cut by the end", "\xE2\x82", {{"ReadChr", {1.0}, ERR_READ, 0.0}}},
      {"byte order mark dropped", "\xEF\xBB\xBF\xC3\xA9", {{"ReadChr", {1.0}, 0, 233.0}}},
      {"rest as utf-8 drops the mark", bom, {{"ReadString", {0.0, 1.0}, 0, std::string("A")}}},
      {"rest as bytes keeps it", bom, {{"ReadString", {0.0, 0.0}, 0, bom}}},
      {"characters by count",
       "\xC3\xA9x\xC3\xA9",
       {{"ReadString", {2.0, 1.0}, 0, std::string("\xC3\xA9x")}}},
      {"too few bytes", "ab", {{"ReadBytes", {3.0}, ERR_READ, 0.0}}},
      {"lines",
       "a\r\nb",
       {{"ReadLine", {}, 0, std::string("a")},
        {"ReadLine", {}, 0, std::string("b")},
        {"ReadLine", {}, 0, std::string("")}}},
      {"byte at the end",
       "z",
       {{"ReadByte", {}, 0, 122.0}, {"Eof", {}, 0, 1.0}, {"ReadByte", {}, ERR_READ, 0.0}}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name = path("read.bin");
    writeFile(name, c.content);
    ASSERT_EQ(call("OpenFile", {1.0, name}), 0);
    for (const ReadStep& s : c.steps) {
      SCOPED_TRACE(s.command);
      std::vector<Arg> args = {1.0};
      args.insert(args.end(), s.extra.begin(), s.extra.end());
      ErrorCode error = call(s.command, args);
      EXPECT_EQ(error, s.error);
      if (error || s.error) continue;
      if (const double* d = std::get_if<double>(&s.result))
        EXPECT_EQ(VmToNumber(L, -1), *d);
      else
        EXPECT_EQ(topString(), std::get<std::string>(s.result));
    }
    EXPECT_EQ(call("CloseFile", {1.0}), 0);
  }
}

TEST_F(DosFileTest, ModesIdentifiersAndPositions) {
  std::string a = path("a.txt"), b = path("b.txt");
  writeFile(b, "0123456789");
  ASSERT_EQ(call("OpenFile", {1.0, a, 1006.0}), 0);
  EXPECT_EQ(call("ReadByte", {1.0}), ERR_WRITEONLY);
  EXPECT_EQ(call("UseCarriageReturn", {true}), 0);
  EXPECT_EQ(call("WriteLine", {1.0, std::string("hi")}), 0);
  EXPECT_EQ(call("UseCarriageReturn", {false}), 0);
  EXPECT_EQ(call("WriteLine", {1.0, std::string("yo")}), 0);
  // With UTF-8 the length counts characters.
  EXPECT_EQ(call("WriteString", {1.0, std::string("\xC3\xA9x\xC3\xA9"), 2.0, 1.0}), 0);
  EXPECT_EQ(call("WriteString", {1.0, std::string("\xC3\xA9x\xC3\xA9"), 4.0, 1.0}),
            ERR_STRTOOSHORT);
  EXPECT_EQ(call("WriteString", {1.0, std::string("ab"), 3.0, 0.0}), ERR_STRTOOSHORT);
  // Reopening the number closes the first file, which flushes it.
  ASSERT_EQ(call("OpenFile", {1.0, b}), 0);
  EXPECT_EQ(readFile(a), "hi\r\nyo\n\xC3\xA9x");
  EXPECT_EQ(call("WriteByte", {1.0, 65.0}), ERR_READONLY);
  EXPECT_EQ(call("Seek", {1.0, -1.0}), 0);
  EXPECT_EQ(call("FilePos", {1.0}), 0);
  EXPECT_EQ(VmToNumber(L, -1), 10);
  EXPECT_EQ(call("FileLength", {1.0}), 0);
  EXPECT_EQ(VmToNumber(L, -1), 10);
  EXPECT_EQ(call("Seek", {1.0, -3.0, 2.0}), 0);
  EXPECT_EQ(call("ReadString", {1.0}), 0);
  EXPECT_EQ(topString(), "789");
  EXPECT_EQ(call("Seek", {1.0, -20.0, 0.0}), ERR_SEEKFILE);
  EXPECT_EQ(call("CloseFile", {1.0}), 0);
  EXPECT_EQ(call("CloseFile", {1.0}), ERR_FINDFILE);

  // An automatic identifier comes back as a light userdata.
  VmSetTop(L, 0);
  VmPushNil(L);
  VmPushString(L, b.c_str());
  ASSERT_EQ(p.Call("OpenFile", 2), 0);
  ASSERT_EQ(VmType(L, -1), VM_TYPE_LIGHTUSERDATA);
  void* id = VmToUserdata(L, -1);
  VmSetTop(L, 0);
  VmPushLightUserdata(L, id);
  EXPECT_EQ(p.Call("CloseFile", 1), 0);
  VmSetTop(L, 0);
  VmPushLightUserdata(L, id);
  EXPECT_EQ(p.Call("CloseFile", 1), ERR_FINDARRAY);

  EXPECT_EQ(call("OpenFile", {2.0, path("missing")}), ERR_READFILE);
  EXPECT_EQ(call("OpenFile", {2.0, path("no/such/dir"), 1006.0}), ERR_WRITEFILE);
  EXPECT_EQ(call("OpenFile", {2.0, std::string(""), 1006.0}), ERR_WRONGUSAGE);
  EXPECT_EQ(call("OpenFile", {2.0, b, 1007.0}), ERR_WRONGUSAGE);
  EXPECT_EQ(call("SetIOMode", {2.0}), ERR_WRONGUSAGE);
}

TEST_F(DosFileTest, WholeFilesAndLines) {
  std::string name = path("lines.txt");
  std::string longLine(3000, 'x'), kiloLine(1024, 'y');
  std::string text = "a\r\n\n" + longLine + "\n" + kiloLine + "\nlast";
  ASSERT_EQ(call("StringToFile", {text, name}), 0);
  ASSERT_EQ(call("FileToString", {name}), 0);
  EXPECT_EQ(VmToNumber(L, -1), text.size());
  EXPECT_EQ(std::string(VmToString(L, -2), VmStrLen(L, -2)), text);

  ASSERT_EQ(call("FileLines", {name}), 0);
  VmRef iterator = VmCreateReference(L, VM_REGISTRY_INDEX);
  std::vector<std::string> lines;
  for (int i = 0; i < 10; i++) {
    VmSetTop(L, 0);
    VmRawGetI(L, VM_REGISTRY_INDEX, iterator);
    ASSERT_EQ(VmCall(L, 0, 1), 0);
    if (VmType(L, -1) == VM_TYPE_NIL) break;
    lines.push_back(topString());
  }
  VmReleaseReference(L, VM_REGISTRY_INDEX, iterator);
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "", longLine, kiloLine, "last"}));
  EXPECT_EQ(call("FileLines", {path("missing")}), ERR_READFILE);
  EXPECT_EQ(call("FileToString", {path("missing")}), ERR_READFILE);
}

TEST_F(DosFileTest, FailedWritesNeverReportSuccess) {
  ASSERT_EQ(call("OpenFile", {1.0, std::string("/dev/full"), 1006.0}), 0);
  EXPECT_EQ(call("WriteString", {1.0, std::string("data")}), 0);  // still buffered
  EXPECT_EQ(call("CloseFile", {1.0}), ERR_CLOSEFILE);
  EXPECT_EQ(call("CloseFile", {1.0}), ERR_FINDFILE);  // freed anyway
  ErrorCode error = call("StringToFile", {std::string("data"), std::string("/dev/full")});
  EXPECT_TRUE(error == ERR_CLOSEFILE || error == ERR_WRITE) << error;
  ASSERT_EQ(call("SetIOMode", {1.0}), 0);
  ASSERT_EQ(call("OpenFile", {1.0, std::string("/dev/full"), 1006.0}), 0);
  EXPECT_EQ(call("WriteString", {1.0, std::string("data")}), ERR_WRITE);
  EXPECT_EQ(call("CloseFile", {1.0}), 0);
}

TEST_F(DosFileTest, RestOfAStreamOfUnknownSize) {
  std::string fifo = path("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::signal(SIGPIPE, SIG_IGN);  // a failed open must not end the test
  std::thread writer([&] {
    int fd = open(fifo.c_str(), O_WRONLY);
    std::string data(40000, 'q');
    for (size_t done = 0; fd >= 0 && done < data.size();) {
      ssize_t n = write(fd, data.data() + done, data.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
  });
  ErrorCode opened = call("OpenFile", {1.0, fifo});
  EXPECT_EQ(opened, 0);
  if (opened == 0) {
    EXPECT_EQ(call("ReadString", {1.0}), 0);
    EXPECT_EQ(topString(), std::string(40000, 'q'));
    EXPECT_EQ(call("CloseFile", {1.0}), 0);
  } else {
    close(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));  // lets the writer go
  }
  writer.join();
}

TEST_F(DosFileTest, AttributeQueryOfFiles) {
  std::string name = path("attr.txt");
  writeFile(name, "x");
  ASSERT_EQ(call("OpenFile", {1.0, name}), 0);
  ASSERT_EQ(call("OpenFile", {2.0, path("new.txt"), 1006.0}), 0);
  struct Case {
    double id;
    int32_t attribute;
    ErrorCode error;
    std::string result;
  } cases[] = {
      {1, ATTRMODE, 0, "1005"},
      {2, ATTRMODE, 0, "1006"},
      {1, ATTRADAPTER, 0, "inbuilt"},
      {0, ATTRCOUNT, 0, "2"},
      {1, ATTRWIDTH, ERR_UNKNOWNATTR, ""},
      {3, ATTRMODE, ERR_FINDFILE, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attribute);
    ASSERT_EQ(call("GetAttribute", {double(OBJTYPE_FILE), c.id, double(c.attribute)}), c.error);
    if (c.error) continue;
    std::string got = VmType(L, -1) == VM_TYPE_NUMBER
                          ? std::to_string(static_cast<int>(VmToNumber(L, -1)))
                          : topString();
    EXPECT_EQ(got, c.result);
  }
}

}  // namespace
