// The dos library's directories, paths and patterns called by name on
// temporary trees; the matcher is checked against python3's fnmatch and
// entry tables against stat(1).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "engine/engine.h"
#include "libs/libs.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

using Arg = std::variant<double, std::string, bool>;

std::string runCommand(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class DosDirTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;
  std::string dir;

  void SetUp() override {
    char templ[] = "/tmp/qmdirXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
  }
  void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

  std::string path(const std::string& name) { return dir + "/" + name; }
  void makeFile(const std::string& name, const std::string& bytes) {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  // Three files and two subdirectories (one of them holding a file).
  void makeTree() {
    makeFile("b.txt", "bb");
    makeFile("a.txt", "a");
    makeFile("c.png", "ccc");
    ASSERT_EQ(mkdir(path("sub2").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("sub1").c_str(), 0700), 0);
    makeFile("sub1/inner", "x");
  }

  void push(const std::vector<Arg>& args) {
    for (const Arg& a : args) {
      if (const double* d = std::get_if<double>(&a))
        VmPushNumber(L, *d);
      else if (const std::string* s = std::get_if<std::string>(&a))
        VmPushLString(L, s->data(), s->size());
      else
        VmPushBoolean(L, std::get<bool>(a));
    }
  }
  ErrorCode call(const char* name, const std::vector<Arg>& args) {
    VmSetTop(L, 0);
    push(args);
    return p.Call(name, static_cast<int>(args.size()));
  }
  double number(int index = -1) { return VmToNumber(L, index); }
  std::string text(int index = -1) { return std::string(VmToString(L, index), VmStrLen(L, index)); }
  std::string errorText(ErrorCode code) {
    char message[512];
    GetErrorText(code, message, sizeof message);
    return message;
  }
  // A field of the table at index, as text (numbers formatted as integers).
  std::string field(int index, const char* name) {
    VmPushString(L, name);
    VmGetTable(L, index < 0 ? index - 1 : index);
    std::string v;
    if (VmType(L, -1) == VM_TYPE_NUMBER)
      v = std::to_string(static_cast<long long>(VmToNumber(L, -1)));
    else if (VmType(L, -1) == VM_TYPE_STRING)
      v = text(-1);
    else
      v = "nil";
    VmSetTop(L, -2);
    return v;
  }
  bool match(const std::string& name, const std::string& pattern) {
    EXPECT_EQ(call("MatchPattern", {name, pattern}), 0);
    return number() == 1;
  }
};

TEST_F(DosDirTest, PatternCases) {
  struct Case {
    const char* name;
    const char* pattern;
    bool matches;
  } cases[] = {
      {"photo12.png", "*.jpg;photo##.*", true},
      {"photo1x.png", "*.jpg;photo##.*", false},
      {"dog", "[!a-c]*", true},
      {"cat", "[!a-c]*", false},
      {"", "*", true},
      {"", "a*", false},
      {"A.TXT", "*.txt", false},
      {"]", "[]a]", true},
      {"a", "[]a]", true},
      {"-", "[a-]", true},
      {"b", "[a-]", false},
      {"a1.png", "*#.png", true},
      {"ab.png", "*#.png", false},
      {"abc", "a?c", true},
      {"ac", "a?c", false},
      {"x", "", false},
      {"x", ";x", true},
      {"abcabd", "*ab?", true},
      {"[x", "[x", true},  // an open bracket without its end is itself
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " ~ " + c.pattern);
    EXPECT_EQ(match(c.name, c.pattern), c.matches);
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(match(std::string(40, 'a'), "*a*a*a*a*a*a*b"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(DosDirTest, PatternsAgreeWithFnmatch) {
  std::mt19937 rng(12345);
  auto pick = [&](const std::string& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
  };
  std::vector<std::pair<std::string, std::string>> cases;
  for (int i = 0; i < 10000; i++) {
    std::string pattern;
    int elements = std::uniform_int_distribution<int>(1, 6)(rng);
    for (int e = 0; e < elements; e++) {
      switch (std::uniform_int_distribution<int>(0, 4)(rng)) {
        case 0:
          pattern += '*';
          break;
        case 1:
          pattern += '?';
          break;
        case 2: {
          pattern += '[';
          if (rng() % 3 == 0) pattern += '!';
          char lo = pick("abcd");
          pattern += lo;
          if (rng() % 2) {
            pattern += '-';
            pattern += static_cast<char>(lo + rng() % 3);
          }
          pattern += ']';
          break;
        }
        default:
          pattern += pick("abcd");
      }
    }
    std::string name;
    int length = std::uniform_int_distribution<int>(0, 7)(rng);
    for (int k = 0; k < length; k++) name += pick("abcde");
    cases.emplace_back(name, pattern);
  }
  std::string input = path("cases.txt");
  {
    std::ofstream out(input);
    for (const auto& c : cases) out << c.first << '\t' << c.second << '\n';
  }
  std::string reference = runCommand(
      "/usr/bin/python3 -c 'import fnmatch,sys\n"
      "for line in open(sys.argv[1]):\n"
      " n, p = line.rstrip(\"\\n\").split(\"\\t\")\n"
      " sys.stdout.write(\"1\" if fnmatch.fnmatchcase(n, p) else \"0\")' " +
      input);
  ASSERT_EQ(reference.size(), cases.size());
  for (size_t i = 0; i < cases.size(); i++) {
    ASSERT_EQ(match(cases[i].first, cases[i].second), reference[i] == '1')
        << i << ": " << cases[i].first << " ~ " << cases[i].second;
  }
}

TEST_F(DosDirTest, WalkCountAndRead) {
  makeTree();
  ASSERT_EQ(call("OpenDirectory", {1.0, dir}), 0);
  for (auto [mode, count] : {std::pair{-1.0, 3.0}, {0.0, 3.0}, {1.0, 2.0}, {2.0, 5.0}}) {
    if (mode < 0)
      ASSERT_EQ(call("CountDirectoryEntries", {1.0}), 0);
    else
      ASSERT_EQ(call("CountDirectoryEntries", {1.0, mode}), 0);
    EXPECT_EQ(number(), count) << mode;
  }
  // Every entry once, with the fields stat gives; then nothing.
  std::vector<std::string> seen;
  for (;;) {
    ASSERT_EQ(call("NextDirectoryEntry", {1.0}), 0);
    if (VmGetTop(L) == 0 || VmType(L, -1) != VM_TYPE_TABLE) break;
    std::string name = field(-1, "name");
    seen.push_back(name);
    std::string full = path(name);
    bool isDir = field(-1, "type") == "1";
    EXPECT_EQ(isDir, name.rfind("sub", 0) == 0) << name;
    EXPECT_EQ(field(-1, "size"), isDir ? "nil" : runCommand("stat -c %s " + full));
    EXPECT_EQ(field(-1, "time"),
              runCommand("LC_ALL=C date -d @$(stat -c %Y " + full + ") '+%d-%b-%Y %H:%M:%S'"));
    unsigned mode = std::stoul(runCommand("stat -c %a " + full), nullptr, 8);
    unsigned flags = ((mode & 0400) ? 1 : 0) | ((mode & 0200) ? 2 : 0) | ((mode & 0100) ? 8 : 0) |
                     ((mode & 040) ? 512 : 0) | ((mode & 020) ? 1024 : 0) |
                     ((mode & 010) ? 2048 : 0) | ((mode & 04) ? 4096 : 0) |
                     ((mode & 02) ? 8192 : 0) | ((mode & 01) ? 16384 : 0);
    EXPECT_EQ(field(-1, "flags"), std::to_string(flags)) << name;
  }
  EXPECT_EQ(seen.size(), 5u);
  ASSERT_EQ(call("RewindDirectory", {1.0}), 0);
  ASSERT_EQ(call("NextDirectoryEntry", {1.0}), 0);
  EXPECT_EQ(VmType(L, -1), VM_TYPE_TABLE);

  // Without "recursive" subdirectories are left out.
  VmSetTop(L, 0);
  push({2.0, dir});
  VmNewTable(L);
  SetTableFieldInt(L, "recursive", 0);
  ASSERT_EQ(p.Call("OpenDirectory", 3), 0);
  int entries = 0;
  while (call("NextDirectoryEntry", {2.0}) == 0 && VmGetTop(L) > 0 &&
         VmType(L, -1) == VM_TYPE_TABLE) {
    EXPECT_EQ(field(-1, "type"), "0");
    entries++;
  }
  EXPECT_EQ(entries, 3);
  ASSERT_EQ(call("GetAttribute", {double(OBJTYPE_DIRECTORY), 0.0, double(ATTRCOUNT)}), 0);
  EXPECT_EQ(number(), 2);
  ASSERT_EQ(call("GetAttribute", {double(OBJTYPE_DIRECTORY), 2.0, double(ATTRADAPTER)}), 0);
  EXPECT_EQ(text(), "inbuilt");
  EXPECT_EQ(call("GetAttribute", {double(OBJTYPE_DIRECTORY), 2.0, double(ATTRMODE)}),
            ERR_UNKNOWNATTR);
  EXPECT_EQ(call("GetAttribute", {double(OBJTYPE_DIRECTORY), 5.0, double(ATTRADAPTER)}),
            ERR_FINDDIR);

  ASSERT_EQ(call("GetDirectoryEntry", {1.0, std::string("a.txt")}), 0);
  EXPECT_EQ(text(), runCommand("realpath " + dir) + "/a.txt");
  ASSERT_EQ(call("GetDirectoryEntry", {1.0, std::string(1100, 'n')}), ERR_MEM);
  ASSERT_EQ(call("CloseDirectory", {1.0}), 0);
  EXPECT_EQ(call("CloseDirectory", {1.0}), ERR_FINDDIR);
  EXPECT_NE(errorText(ERR_FINDDIR).find('1'), std::string::npos);

  // ReadDirectory: names from index 0, "" one past the last, sorted.
  VmSetTop(L, 0);
  push({dir});
  VmNewTable(L);
  VmNewTable(L);
  for (int i = 1; i <= 3; i++) VmPushValue(L, i);
  ASSERT_EQ(p.Call("ReadDirectory", 3), 0);
  EXPECT_EQ(number(-2), 3);
  EXPECT_EQ(number(-1), 2);
  const char* files[] = {"a.txt", "b.txt", "c.png", ""};
  for (int i = 0; i < 4; i++) {
    VmRawGetI(L, 2, i);
    EXPECT_EQ(text(-1), files[i]);
    VmSetTop(L, -2);
  }
  VmRawGetI(L, 3, 1);
  EXPECT_EQ(text(-1), "sub2");

  // DirectoryItems walks every entry once, name beside its table.
  ASSERT_EQ(call("DirectoryItems", {dir}), 0);
  int items = 0;
  for (;;) {
    VmSetTop(L, 1);
    VmPushValue(L, 1);
    ASSERT_EQ(VmCall(L, 0, 2), 0);
    if (VmType(L, -2) == VM_TYPE_NIL) break;
    EXPECT_EQ(field(-1, "name"), text(-2));
    items++;
  }
  EXPECT_EQ(items, 5);
}

TEST_F(DosDirTest, DirectoryErrors) {
  std::string missing = path("missing");
  EXPECT_EQ(call("OpenDirectory", {1.0, missing}), ERR_LOCK2);
  EXPECT_NE(errorText(ERR_LOCK2).find(missing), std::string::npos);
  makeFile("plain", "x");
  EXPECT_NE(call("OpenDirectory", {1.0, path("plain")}), 0);
  EXPECT_EQ(call("NextDirectoryEntry", {1.0}), ERR_FINDDIR);
  EXPECT_EQ(call("ReadDirectory", {missing}), ERR_MISSINGPARAMTR);
  VmSetTop(L, 0);
  push({missing});
  VmNewTable(L);
  VmNewTable(L);
  EXPECT_EQ(p.Call("ReadDirectory", 3), ERR_LOCK2);
  EXPECT_EQ(call("MonitorDirectory", {3.0, dir}), ERR_MONITORDIR);
  EXPECT_EQ(call("CloseDirectory", {3.0}), ERR_FINDDIR);

  // A script cannot hand the walker a pointer of its own.
  int anchor = 0;
  VmSetTop(L, 0);
  push({4.0, dir});
  VmNewTable(L);
  VmPushString(L, "__direntries");
  VmPushLightUserdata(L, &anchor);
  VmSetTable(L, -3);
  EXPECT_EQ(p.Call("OpenDirectory", 3), ERR_WRONGUSAGE);
  EXPECT_EQ(call("CloseDirectory", {4.0}), ERR_FINDDIR);
}

TEST_F(DosDirTest, PathsAndTests) {
  makeTree();
  struct Case {
    const char* command;
    std::string argument;
    std::string result;
  } texts[] = {
      {"PathPart", "dir/sub/file.txt", "dir/sub/"},
      {"PathPart", "file.txt", ""},
      {"PathPart", "vol:file", "vol:"},
      {"FilePart", "dir/sub/file.txt", "file.txt"},
      {"FilePart", "file.txt", "file.txt"},
  };
  for (const Case& c : texts) {
    SCOPED_TRACE(std::string(c.command) + " " + c.argument);
    ASSERT_EQ(call(c.command, {c.argument}), 0);
    EXPECT_EQ(text(), c.result);
  }
  ASSERT_EQ(call("FullPath", {std::string("a/b"), std::string("c")}), 0);
  EXPECT_EQ(text(), "a/b/c");
  ASSERT_EQ(call("FullPath", {std::string("a/"), std::string("c")}), 0);
  EXPECT_EQ(text(), "a/c");
  EXPECT_EQ(call("FullPath", {std::string(1000, 'd'), std::string(30, 'n')}), ERR_MEM);

  struct Number {
    const char* command;
    std::string argument;
    double result;
  } numbers[] = {
      {"Exists", "", 0},
      {"Exists", path("a.txt"), 1},
      {"Exists", path("sub1"), 1},
      {"Exists", path("nope"), 0},
      {"FileSize", path("b.txt"), 2},
      {"FileSize", path("sub1"), -1},
      {"FileSize", path("nope"), -1},
      {"IsDirectory", path("sub1"), 1},
      {"IsDirectory", path("a.txt"), 0},
  };
  for (const Number& c : numbers) {
    SCOPED_TRACE(std::string(c.command) + " " + c.argument);
    ASSERT_EQ(call(c.command, {c.argument}), 0);
    EXPECT_EQ(number(), c.result);
  }
  EXPECT_EQ(call("IsDirectory", {path("nope")}), ERR_STAT);

  ASSERT_EQ(call("GetCurrentDirectory", {}), 0);
  std::string before = text();
  ASSERT_EQ(call("ChangeDirectory", {path("sub1")}), 0);
  ASSERT_EQ(call("GetCurrentDirectory", {}), 0);
  EXPECT_EQ(text(), runCommand("realpath " + path("sub1")));
  ASSERT_EQ(call("Exists", {std::string("inner")}), 0);
  EXPECT_EQ(number(), 1);
  ASSERT_EQ(call("ChangeDirectory", {before}), 0);
  EXPECT_NE(call("ChangeDirectory", {path("nope")}), 0);

  ASSERT_EQ(call("GetTempFileName", {}), 0);
  std::string temp = text();
  EXPECT_EQ(access(temp.c_str(), F_OK), 0);
  FreeDosResources(L);
  EXPECT_NE(access(temp.c_str(), F_OK), 0);
}

}  // namespace
