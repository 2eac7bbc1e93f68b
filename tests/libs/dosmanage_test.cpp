// The dos library's file management called by name on temporary trees:
// copies, moves, deletes and renames with their callbacks and filters,
// directories, attributes as stat(1) sees them, links and the environment.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
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

// What the callback saw, and what it answers: the answer to the n-th
// message of an action (by order of arrival), else the default.
struct CallbackLog {
  std::vector<std::map<std::string, std::string>> messages;
  std::map<int, double> answers;  // index of the message -> answer
  double fallback = 0;
  bool answerTrue = false;  // answer the first message with True
};
CallbackLog* callbackLog = nullptr;

int recordingCallback(VmState* L) {
  std::map<std::string, std::string> m;
  VmPushNil(L);
  while (VmNext(L, 1)) {
    std::string key = VmToString(L, -2);
    if (VmType(L, -1) == VM_TYPE_NUMBER)
      m[key] = std::to_string(static_cast<long long>(VmToNumber(L, -1)));
    else if (VmType(L, -1) == VM_TYPE_STRING)
      m[key] = VmToString(L, -1);
    VmSetTop(L, -2);
  }
  callbackLog->messages.push_back(m);
  size_t index = callbackLog->messages.size() - 1;
  if (callbackLog->answerTrue && index == 0) {
    VmPushBoolean(L, 1);
    return 1;
  }
  auto it = callbackLog->answers.find(static_cast<int>(index));
  VmPushNumber(L, it != callbackLog->answers.end() ? it->second : callbackLog->fallback);
  return 1;
}

class DosManageTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;
  std::string dir;
  CallbackLog log;

  void SetUp() override {
    char templ[] = "/tmp/qmmanXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
    callbackLog = &log;
  }
  void TearDown() override {
    std::system(("chmod -R u+w " + dir + " 2>/dev/null; rm -rf " + dir).c_str());
    callbackLog = nullptr;
  }

  std::string path(const std::string& name) { return dir + "/" + name; }
  void makeFile(const std::string& name, const std::string& bytes) {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  static std::string readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool exists(const std::string& name) {
    struct stat st;
    return lstat(name.c_str(), &st) == 0;
  }
  std::string statOf(const std::string& name) {
    return runCommand("stat -c '%Y %a' '" + name + "'");
  }

  // Pushes the arguments; "CB" stands for the recording callback and "NIL"
  // for nil.
  ErrorCode call(const char* name, const std::vector<Arg>& args) {
    VmSetTop(L, 0);
    for (const Arg& a : args) {
      if (const double* d = std::get_if<double>(&a)) {
        VmPushNumber(L, *d);
      } else if (const std::string* s = std::get_if<std::string>(&a)) {
        if (*s == "CB")
          VmPushCClosure(L, recordingCallback, 0);
        else if (*s == "NIL")
          VmPushNil(L);
        else
          VmPushLString(L, s->data(), s->size());
      } else {
        VmPushBoolean(L, std::get<bool>(a));
      }
    }
    return p.Call(name, static_cast<int>(args.size()));
  }
  double number(int index = -1) { return VmToNumber(L, index); }
  std::string text(int index = -1) { return std::string(VmToString(L, index), VmStrLen(L, index)); }
};

TEST_F(DosManageTest, CopyKeepsDatesAndProtection) {
  makeFile("src.txt", std::string(40000, 's'));
  ASSERT_EQ(std::system(("chmod 640 " + path("src.txt") + " && touch -d '2001-02-03 04:05:06' " +
                         path("src.txt"))
                            .c_str()),
            0);
  ASSERT_EQ(call("CopyFile", {path("src.txt"), path("new/deeper")}), 0);
  EXPECT_EQ(readFile(path("new/deeper/src.txt")), std::string(40000, 's'));
  EXPECT_EQ(statOf(path("new/deeper/src.txt")), statOf(path("src.txt")));
  ASSERT_EQ(call("CopyFile", {path("src.txt"), path("new"), std::string("renamed.bin")}), 0);
  EXPECT_EQ(statOf(path("new/renamed.bin")), statOf(path("src.txt")));

  // A tree: every file keeps its date and protection; a pattern selects
  // files, and with filtering also the subdirectories entered.
  ASSERT_EQ(std::system(("mkdir -p " + path("tree/sub/deep") + " " + path("tree/other") +
                         " && cd " + path("tree") +
                         " && echo 1 > a.txt && echo 2 > b.dat && echo 3 > sub/c.txt && echo 4 > "
                         "sub/deep/d.txt && echo 5 > other/e.txt && chmod 600 a.txt && touch -d "
                         "'1999-12-31 23:59:58' a.txt sub/c.txt")
                            .c_str()),
            0);
  ASSERT_EQ(call("CopyFile", {path("tree"), path("copy")}), 0);
  for (const char* f : {"a.txt", "b.dat", "sub/c.txt", "sub/deep/d.txt", "other/e.txt"}) {
    SCOPED_TRACE(f);
    EXPECT_EQ(statOf(path(std::string("copy/") + f)), statOf(path(std::string("tree/") + f)));
  }
  ASSERT_EQ(call("CopyFile", {path("tree/"), path("txt"), std::string("NIL"), std::string("NIL"),
                              std::string("NIL"), std::string("*.txt;sub"), true}),
            0);
  EXPECT_TRUE(exists(path("txt/a.txt")));
  EXPECT_FALSE(exists(path("txt/b.dat")));
  EXPECT_TRUE(exists(path("txt/sub/c.txt")));
  EXPECT_FALSE(exists(path("txt/sub/deep")));  // "deep" is filtered out
  EXPECT_FALSE(exists(path("txt/other")));
  ASSERT_EQ(call("CopyFile", {path("tree"), path("all"), std::string("NIL"), std::string("NIL"),
                              std::string("NIL"), std::string("*.txt"), false}),
            0);
  EXPECT_TRUE(exists(path("all/sub/deep/d.txt")));
  EXPECT_TRUE(exists(path("all/other/e.txt")));
  EXPECT_FALSE(exists(path("all/b.dat")));
}

// Without a callback the kernel copies the bytes; with one they go through
// the watched blocks. Both give the same file, over sizes around the block,
// and a file that says it is empty but is not fails both ways.
TEST_F(DosManageTest, CopiesWithAndWithoutCallbackAgree) {
  const std::string tag = std::string("NIL");
  for (size_t size : {size_t{0}, size_t{1}, size_t{16384}, size_t{16385}, size_t{(1 << 20) + 3}}) {
    SCOPED_TRACE(size);
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) bytes[i] = static_cast<char>(i * 7 + i / 251);
    std::string name("s");
    name += std::to_string(size);
    auto copied = [&](const char* into) { return path(into) + "/" + name; };
    makeFile(name, bytes);
    ASSERT_EQ(
        std::system(("chmod 751 " + path(name) + " && touch -d '2003-04-05 06:07:08' " + path(name))
                        .c_str()),
        0);
    ASSERT_EQ(call("CopyFile", {path(name), path("plain")}), 0);
    ASSERT_EQ(call("CopyFile", {path(name), path("watched"), tag, std::string("CB")}), 0);
    EXPECT_EQ(readFile(copied("plain")), bytes);
    EXPECT_EQ(readFile(copied("watched")), bytes);
    EXPECT_EQ(statOf(copied("plain")), statOf(path(name)));
    EXPECT_EQ(statOf(copied("watched")), statOf(path(name)));
  }
  // A longer file in the way is cut to the copy.
  makeFile("plain/s1", std::string(5000, 'x'));
  ASSERT_EQ(call("CopyFile", {path("s1"), path("plain")}), 0);
  EXPECT_EQ(readFile(path("plain/s1")), readFile(path("s1")));
  for (const char* callback : {"NIL", "CB"}) {
    SCOPED_TRACE(callback);
    EXPECT_EQ(call("CopyFile",
                   {std::string("/proc/self/status"), path("proc"), tag, std::string(callback)}),
              ERR_READ);
    EXPECT_FALSE(exists(path("proc/status")));
  }
}

TEST_F(DosManageTest, CopyRefusals) {
  makeFile("f.txt", "x");
  ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
  makeFile("d/in.txt", "y");
  struct Case {
    std::vector<Arg> args;
    ErrorCode error;
  } cases[] = {
      {{std::string(""), std::string("")}, ERR_WRONGUSAGE},
      {{path("f.txt"), path("o"), std::string("NIL"), std::string("NIL"), std::string("NIL"),
        std::string("*.txt")},
       ERR_NODIRPATTERN},
      {{path("d"), path("o"), std::string("new")}, ERR_WRONGUSAGE},
      {{path("d"), path("d/inside")}, ERR_WRONGUSAGE},
      {{path("d"), path("d")}, ERR_WRONGUSAGE},
      {{path("missing"), path("o")}, ERR_READFILE},
      {{path("f.txt"), path("o"), std::string(2100, 'n')}, ERR_WRITEFILE},
      // A file onto itself stays as it is.
      {{path("f.txt"), dir}, ERR_WRONGUSAGE},
      {{path("d/in.txt"), path("d/../d")}, ERR_WRONGUSAGE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(call("CopyFile", c.args), c.error) << std::get<std::string>(c.args[0]);
  }
  EXPECT_FALSE(exists(path("d/inside")));
  EXPECT_EQ(readFile(path("f.txt")), "x");
  EXPECT_EQ(readFile(path("d/in.txt")), "y");
}

TEST_F(DosManageTest, CopyCallbacks) {
  makeFile("big", std::string(50000, 'b'));
  log.answerTrue = true;
  ASSERT_EQ(call("CopyFile", {path("big"), path("out"), std::string("NIL"), std::string("CB"),
                              std::string("ud")}),
            0);
  ASSERT_EQ(log.messages.size(), 1u);
  EXPECT_EQ(log.messages[0]["action"], "0");
  EXPECT_EQ(log.messages[0]["copied"], "16384");
  EXPECT_EQ(log.messages[0]["filesize"], "50000");
  EXPECT_EQ(log.messages[0]["userdata"], "ud");
  EXPECT_FALSE(exists(path("out/big")));

  // Overwrite, then unprotect, then the status messages.
  log = CallbackLog();
  log.answers = {{0, 1}, {1, 1}};  // overwrite, unprotect; status messages go on
  makeFile("out/big", "old");
  chmod(path("out/big").c_str(), 0444);
  ASSERT_EQ(call("CopyFile", {path("big"), path("out"), std::string("NIL"), std::string("CB")}), 0);
  ASSERT_GE(log.messages.size(), 3u);
  EXPECT_EQ(log.messages[0]["action"], "1");
  EXPECT_EQ(log.messages[0]["destination"], runCommand("realpath " + path("out")) + "/big");
  EXPECT_NE(log.messages[0]["source"], "");
  EXPECT_EQ(log.messages[1]["action"], "2");
  EXPECT_EQ(log.messages[1]["destination"], log.messages[0]["destination"]);
  EXPECT_EQ(log.messages.back()["copied"], "50000");
  EXPECT_EQ(readFile(path("out/big")), std::string(50000, 'b'));

  // Skipping on the overwrite message leaves the target alone; without a
  // callback a protected target is skipped.
  makeFile("big", "new");
  log = CallbackLog();
  ASSERT_EQ(call("CopyFile", {path("big"), path("out"), std::string("NIL"), std::string("CB")}), 0);
  EXPECT_EQ(log.messages.size(), 1u);
  chmod(path("out/big").c_str(), 0444);
  ASSERT_EQ(call("CopyFile", {path("big"), path("out")}), 0);
  EXPECT_EQ(readFile(path("out/big")), std::string(50000, 'b'));
}

TEST_F(DosManageTest, LinksAreNeverEntered) {
  ASSERT_EQ(
      std::system(("mkdir -p " + path("outside") + " " + path("tree/sub") + " && echo keep > " +
                   path("outside/precious") + " && echo t > " + path("tree/file") + " && ln -s " +
                   path("outside") + " " + path("tree/link") + " && ln -s " + path("tree") + " " +
                   path("tree/sub/loop") + " && ln -s ../file " + path("tree/sub/filelink"))
                      .c_str()),
      0);
  ASSERT_EQ(call("CopyFile", {path("tree"), path("copy")}), 0);
  EXPECT_EQ(runCommand("readlink " + path("copy/link")), path("outside"));
  EXPECT_EQ(runCommand("readlink " + path("copy/sub/loop")), path("tree"));
  EXPECT_EQ(readFile(path("copy/file")), "t\n");
  // A link to a file is copied as the link, not as the file's contents.
  EXPECT_EQ(runCommand("readlink " + path("copy/sub/filelink")), "../file");

  ASSERT_EQ(call("DeleteFile", {path("tree")}), 0);
  EXPECT_FALSE(exists(path("tree")));
  EXPECT_EQ(readFile(path("outside/precious")), "keep\n");
}

TEST_F(DosManageTest, DeleteRules) {
  ASSERT_EQ(std::system(("mkdir -p " + path("t/sub") + " && echo 1 > " + path("t/a.txt") +
                         " && echo 2 > " + path("t/b.dat") + " && echo 3 > " + path("t/sub/c.txt"))
                            .c_str()),
            0);
  EXPECT_EQ(call("DeleteFile",
                 {path("t/a.txt"), std::string("NIL"), std::string("NIL"), std::string("*.txt")}),
            ERR_NODIRPATTERN);
  ASSERT_EQ(call("DeleteFile",
                 {path("t/"), std::string("NIL"), std::string("NIL"), std::string("*.txt"), false}),
            0);
  EXPECT_FALSE(exists(path("t/a.txt")));
  EXPECT_FALSE(exists(path("t/sub/c.txt")));
  EXPECT_TRUE(exists(path("t/b.dat")));

  makeFile("locked", "x");
  chmod(path("locked").c_str(), 0444);
  ASSERT_EQ(call("DeleteFile", {path("locked")}), 0);
  EXPECT_TRUE(exists(path("locked")));
  log.fallback = 1;
  log.answers[1] = 0;  // the status message goes on
  ASSERT_EQ(call("DeleteFile", {path("locked"), std::string("CB"), 7.0}), 0);
  ASSERT_EQ(log.messages.size(), 2u);
  EXPECT_EQ(log.messages[0]["action"], "1");
  EXPECT_EQ(log.messages[0]["userdata"], "7");
  EXPECT_EQ(log.messages[1]["action"], "0");
  EXPECT_EQ(log.messages[1]["file"], path("locked"));
  EXPECT_FALSE(exists(path("locked")));
  EXPECT_EQ(call("DeleteFile", {path("missing")}), ERR_DELETEFILE);
}

TEST_F(DosManageTest, MoveRenameAndMakeDirectory) {
  makeFile("a", "A");
  makeFile("b", "B");
  EXPECT_EQ(call("MoveFile", {path("a"), path("b")}), ERR_WRONGUSAGE);
  EXPECT_EQ(call("MoveFile", {path("a"), path("nodir/x")}), ERR_LOCK2);
  ASSERT_EQ(call("MoveFile", {path("a"), path("c")}), 0);
  EXPECT_EQ(readFile(path("c")), "A");
  EXPECT_FALSE(exists(path("a")));

  struct stat tmp, shm;
  if (stat("/dev/shm", &shm) == 0 && stat(dir.c_str(), &tmp) == 0 && shm.st_dev != tmp.st_dev &&
      access("/dev/shm", W_OK) == 0) {
    std::string target = "/dev/shm/" + dir.substr(dir.rfind('/') + 1) + "-moved";
    ASSERT_EQ(std::system(("mkdir -p " + path("m/s") + " && echo z > " + path("m/s/z")).c_str()),
              0);
    ASSERT_EQ(call("MoveFile", {path("m"), target}), 0);
    EXPECT_EQ(readFile(target + "/s/z"), "z\n");
    EXPECT_FALSE(exists(path("m")));
    std::system(("rm -rf " + target).c_str());
  }

  EXPECT_EQ(call("Rename", {path("c"), path(std::string(600, 'r'))}), ERR_RENAME);
  EXPECT_TRUE(exists(path("c")));
  ASSERT_EQ(call("Rename", {path("c"), path("d")}), 0);
  EXPECT_TRUE(exists(path("d")));
  EXPECT_EQ(call("Rename", {std::string(""), path("d")}), ERR_WRONGUSAGE);

  ASSERT_EQ(call("MakeDirectory", {path("x/y/z")}), 0);
  EXPECT_TRUE(exists(path("x/y/z")));
  makeFile("x/file", "f");
  EXPECT_EQ(call("MakeDirectory", {path("x/file/z")}), ERR_CREATEDIR);
  EXPECT_EQ(call("MakeDirectory", {std::string("")}), ERR_WRONGUSAGE);
}

TEST_F(DosManageTest, AttributesAndEnvironment) {
  makeFile("f", "12345");
  VmSetTop(L, 0);
  VmPushString(L, path("f").c_str());
  VmNewTable(L);
  SetTableFieldInt(L, "flags", 1 | 2 | 512);
  SetTableFieldString(L, "time", "05-Mar-2021 13:14:15");
  SetTableFieldString(L, "lastaccesstime", "06-Mar-2021 01:02:03");
  ASSERT_EQ(p.Call("SetFileAttributes", 2), 0);
  EXPECT_EQ(runCommand("stat -c %a " + path("f")), "640");
  EXPECT_EQ(runCommand("LC_ALL=C date -d @$(stat -c %Y " + path("f") + ") '+%d-%b-%Y %H:%M:%S'"),
            "05-Mar-2021 13:14:15");
  EXPECT_EQ(runCommand("LC_ALL=C date -d @$(stat -c %X " + path("f") + ") '+%d-%b-%Y %H:%M:%S'"),
            "06-Mar-2021 01:02:03");
  ASSERT_EQ(call("GetFileAttributes", {path("f")}), 0);
  VmPushString(L, "time");
  VmGetTable(L, -2);
  EXPECT_EQ(text(), "05-Mar-2021 13:14:15");
  VmSetTop(L, -2);
  VmPushString(L, "size");
  VmGetTable(L, -2);
  EXPECT_EQ(number(), 5);

  VmSetTop(L, 0);
  VmPushString(L, path("f").c_str());
  VmNewTable(L);
  SetTableFieldString(L, "time", "05-Mar-2021 13:14");
  EXPECT_EQ(p.Call("SetFileAttributes", 2), ERR_INVALIDDATE);
  EXPECT_EQ(call("GetFileAttributes", {path("nope")}), ERR_READFILE);

  unsetenv("QM_TEST_UNSET");
  ASSERT_EQ(call("GetEnv", {std::string("QM_TEST_UNSET")}), 0);
  EXPECT_EQ(text(-2), "");
  EXPECT_EQ(number(-1), 0);
  ASSERT_EQ(call("SetEnv", {std::string("QM_TEST_UNSET"), std::string("v1")}), 0);
  ASSERT_EQ(call("GetEnv", {std::string("QM_TEST_UNSET")}), 0);
  EXPECT_EQ(text(-2), "v1");
  EXPECT_EQ(number(-1), 1);
  ASSERT_EQ(call("UnsetEnv", {std::string("QM_TEST_UNSET")}), 0);
  EXPECT_EQ(std::getenv("QM_TEST_UNSET"), nullptr);
}

}  // namespace
