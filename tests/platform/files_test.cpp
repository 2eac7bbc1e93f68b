// Linux files and programs: "PROGDIR:" names, read after write, update
// opens, directory listings (long and non-ASCII names), moves across file
// systems, protection bits, temporary files, directory changes, the
// argument splitter and running programs and documents.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/files_private.h"
#include "runtime/runtime.h"

namespace {

class TempDir {
 public:
  explicit TempDir(const char* base = "/tmp") {
    std::string tmpl = std::string(base) + "/qm_files_XXXXXX";
    std::vector<char> buffer(tmpl.begin(), tmpl.end());
    buffer.push_back('\0');
    const char* made = mkdtemp(buffer.data());
    path_ = made ? made : "";
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Restores the text mode a test changes.
struct TextMode {
  int32_t saved = unicodeUtf8Mode;
  explicit TextMode(int32_t mode) { unicodeUtf8Mode = mode; }
  ~TextMode() { unicodeUtf8Mode = saved; }
};

TEST(Files, ProgdirNames) {
  char programDir[NATIVE_PATH_MAX];
  ASSERT_TRUE(GetProgramDirectory(programDir, sizeof programDir, 1));
  char self[NATIVE_PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  *std::strrchr(self, '/') = '\0';
  EXPECT_STREQ(programDir, self);

  std::string name = "files_test_progdir_" + std::to_string(getpid()) + ".txt";
  NativeFileHandle* h = OpenProgdirFile(("PROGDIR:" + name).c_str(), NATIVE_OPEN_WRITE);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(StdioWrite(h, "inside", 6), 6u);
  EXPECT_EQ(StdioClose(h), 1);
  std::string real = std::string(self) + "/" + name;
  EXPECT_EQ(ReadText(real), "inside");
  EXPECT_EQ(DeleteFileNative(real.c_str()), 1);
  EXPECT_FALSE(Exists(real));
}

TEST(Files, ReadAfterWriteAndUpdate) {
  TempDir dir;
  std::string path = dir.File("data.txt");
  WriteText(path, "0123456789");
  NativeFileHandle* h = OpenProgdirFile(path.c_str(), NATIVE_OPEN_UPDATE);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetNativeStreamSize(h), 10);
  char buffer[8] = {};
  EXPECT_EQ(StdioWrite(h, "ab", 2), 2u);
  EXPECT_EQ(StdioRead(h, buffer, 3), 3u);  // the bytes behind the write
  EXPECT_EQ(std::string(buffer, 3), "234");
  EXPECT_EQ(StdioPutChar(h, 'X'), 1);  // a write behind the read
  EXPECT_EQ(StdioGetChar(h), '6');
  EXPECT_EQ(StdioSeek(h, 0, 1), 7);
  EXPECT_EQ(StdioSeek(h, -1, 1), -1);  // before the start: refused, position kept
  EXPECT_EQ(StdioSeek(h, 0, 0), 0);
  EXPECT_EQ(StdioSeek(h, 100, 1), 0);  // a writable file seeks no further than its end
  EXPECT_EQ(StdioSeek(h, 0, 0), 10);
  EXPECT_TRUE(StdioEof(h));
  EXPECT_EQ(StdioWrite(h, "YZ", 2), 2u);
  EXPECT_EQ(GetNativeStreamSize(h), 12);
  FileInfo info;
  ASSERT_TRUE(ExamineStreamNative(h, &info));
  EXPECT_EQ(info.isDirectory, 0);
  EXPECT_STREQ(info.path, path.c_str());
  EXPECT_EQ(StdioClose(h), 1);
  EXPECT_EQ(ReadText(path), "ab234X6789YZ");

  // A missing file opened for update is created empty.
  std::string fresh = dir.File("fresh.bin");
  h = OpenProgdirFile(fresh.c_str(), NATIVE_OPEN_UPDATE);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetNativeStreamSize(h), 0);
  EXPECT_EQ(StdioGetChar(h), -1);
  StdioClose(h);
  EXPECT_TRUE(Exists(fresh));
  EXPECT_EQ(OpenProgdirFile(dir.File("missing").c_str(), 0), nullptr);
}

TEST(Files, DirectoryListing) {
  TempDir dir;
  const std::string longName(255, 'n');
  WriteText(dir.File(longName), "x");
  WriteText(dir.File("caf\xC3\xA9"), "yy");
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
  for (int32_t utf8 : {1, 0}) {
    TextMode mode(utf8);
    NativeLock* lock = LockPathNative(dir.path().c_str(), 1);
    ASSERT_NE(lock, nullptr);
    int32_t cont = 0;
    EXPECT_EQ(ExamineLockCheck(lock, &cont), 0);
    std::vector<std::string> names;
    const char* name;
    int32_t isDir;
    FileInfo info;
    while (NextDirEntryNative(lock, 0, &name, &isDir, &info)) {
      names.push_back(name);
      EXPECT_EQ(isDir, names.back() == "sub" ? 1 : 0);
    }
    std::sort(names.begin(), names.end());
    // In 8-bit mode the UTF-8 "é" comes back as the Latin-1 byte 0xE9.
    std::vector<std::string> expected = {utf8 ? "caf\xC3\xA9" : "caf\xE9", longName, "sub"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected) << "utf8 mode " << utf8;
    EXPECT_EQ(RewindDirNative(lock), 1);
    EXPECT_EQ(NextDirEntryNative(lock, 0, &name, &isDir, nullptr), 1);
    CloseDirNative(lock);
  }
  {
    // An 8-bit mode name reaches the file system as UTF-8.
    TextMode mode(0);
    NativeLock* lock = LockPathNative(dir.File("caf\xE9").c_str(), 1);
    ASSERT_NE(lock, nullptr);
    int32_t cont = 0;
    EXPECT_EQ(ExamineLockCheck(lock, &cont), ERR_NOTADIR);
    FileInfo info;
    EXPECT_EQ(ExamineLockNative(lock, &info), 0);
    EXPECT_EQ(info.size, 2);
    CloseDirNative(lock);
  }
  EXPECT_EQ(LockPathNative(dir.path().c_str(), 2), nullptr);
  EXPECT_EQ(LockPathNative("/dev/null", 1), nullptr);  // neither file nor directory
}

TEST(Files, MoveAcrossFileSystems) {
  TempDir a("/tmp"), b("/dev/shm");
  if (a.path().empty() || b.path().empty()) GTEST_SKIP() << "no /dev/shm";
  struct stat sa, sb;
  ASSERT_EQ(stat(a.path().c_str(), &sa), 0);
  ASSERT_EQ(stat(b.path().c_str(), &sb), 0);
  if (sa.st_dev == sb.st_dev) GTEST_SKIP() << "/tmp and /dev/shm are one device";
  WriteText(a.File("src"), "source");
  WriteText(b.File("dst"), "destination");
  EXPECT_EQ(MoveFileNative(a.File("src").c_str(), b.File("dst").c_str()), ERR_WRONGUSAGE);
  EXPECT_EQ(ReadText(a.File("src")), "source");
  EXPECT_EQ(ReadText(b.File("dst")), "destination");
  EXPECT_EQ(MoveFileNative(a.File("src").c_str(), a.File("moved").c_str()), 0);
  EXPECT_EQ(ReadText(a.File("moved")), "source");
  EXPECT_EQ(MoveFileNative(a.File("src").c_str(), a.File("again").c_str()), ERR_MOVEFILE);
}

TEST(Files, ProtectionTempFilesAndDirectories) {
  TempDir dir;
  std::string path = dir.File("p");
  WriteText(path, "");
  struct Case {
    uint32_t flags;
    mode_t mode;
  } cases[] = {
      {FILEATTR_READ_USR | FILEATTR_WRITE_USR, 0600},
      {FILEATTR_NORMAL, 0644},
      {FILEATTR_READ_USR | FILEATTR_EXECUTE_USR | FILEATTR_READ_GRP | FILEATTR_READ_OTH |
           FILEATTR_EXECUTE_OTH,
       0545},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(SetFileProtection(path.c_str(), c.flags), 1);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode) << c.flags;
  }
  const uint32_t times[2] = {1000000000u, 1100000000u};
  ASSERT_EQ(SetFileDate(path.c_str(), times), 1);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1100000000);

  char name[256];
  SetTempDirectory(dir.path().c_str());
  ASSERT_EQ(CreateTempFile(name, sizeof name), 1);
  EXPECT_EQ(std::string(name).rfind(dir.File("quillmere."), 0), 0u);
  EXPECT_TRUE(Exists(name));
  SetTempDirectory(dir.File("missing").c_str());
  std::strcpy(name, "stale");
  EXPECT_EQ(CreateTempFile(name, sizeof name), 0);
  EXPECT_STREQ(name, "");
  SetTempDirectory(nullptr);

  char before[NATIVE_PATH_MAX];
  ASSERT_NE(getcwd(before, sizeof before), nullptr);
  ErrorCode error = -1;
  char* previous = ChangeDirectoryNative(dir.File("missing").c_str(), &error);
  EXPECT_EQ(previous, nullptr);
  EXPECT_EQ(error, ERR_DIRLOCK);
  char now[NATIVE_PATH_MAX];
  ASSERT_NE(getcwd(now, sizeof now), nullptr);
  EXPECT_STREQ(now, before);
  previous = ChangeDirectoryNative(dir.path().c_str(), &error);
  ASSERT_NE(previous, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_STREQ(previous, before);
  char full[NATIVE_PATH_MAX];
  EXPECT_EQ(ResolveFullPath("not-yet", full, sizeof full), 1);
  char real[NATIVE_PATH_MAX];
  ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
  EXPECT_EQ(std::string(full), std::string(real) + "/not-yet");
  char* back = ChangeDirectoryNative(previous, &error);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(std::string(back), std::string(real));
  FreeMemory(back);
  FreeMemory(previous);

  EXPECT_EQ(MakeDirectoryNative(dir.File("made").c_str()), 0);
  EXPECT_EQ(MakeDirectoryNative(dir.File("made").c_str()), ERR_CREATEDIR);
  EXPECT_EQ(IsVolumeRoot("/"), 1);
  EXPECT_EQ(IsVolumeRoot(dir.path().c_str()), 0);
}

TEST(Programs, ArgumentSplitter) {
  const std::string longOutput = ">" + std::string(256, 'o');
  struct Case {
    const char* what;
    const char* arguments;
    ErrorCode error;
    std::vector<std::string> argv;  // after the program
    const char* output;
  } cases[] = {
      {"word, phrase, redirect",
       "word \"quoted phrase\" > out.txt",
       0,
       {"word", "quoted phrase"},
       "out.txt"},
      {"redirect in one token", "a >log b", 0, {"a", "b"}, "log"},
      {"quoted '>' is an argument", "\">x\"", 0, {">x"}, ""},
      {"blanks collapse", "  a   b  ", 0, {"a", "b"}, ""},
      {"empty quotes", "\"\" z", 0, {"", "z"}, ""},
      {"missing closing quote", "a \"open", ERR_WRONGUSAGE, {}, ""},
      {"redirect without a name", "a >", ERR_WRONGUSAGE, {}, ""},
      {"output name too long", longOutput.c_str(), ERR_WRONGUSAGE, {}, ""},
  };
  for (const auto& c : cases) {
    ProgramArguments args;
    ASSERT_EQ(SplitProgramArguments("prog", c.arguments, &args), c.error) << c.what;
    if (c.error) continue;
    std::vector<std::string> got;
    for (size_t i = 1; i < args.count; i++) got.push_back(args.argv[i]);
    EXPECT_STREQ(args.argv[0], "prog") << c.what;
    EXPECT_EQ(args.argv[args.count], nullptr) << c.what;
    EXPECT_EQ(got, c.argv) << c.what;
    EXPECT_STREQ(args.output, c.output) << c.what;
    FreeProgramArguments(&args);
  }
  std::string many;
  for (size_t i = 0; i < PROGRAM_ARGS_MAX; i++) many += "x ";
  ProgramArguments args;
  ASSERT_EQ(SplitProgramArguments("prog", many.c_str(), &args), 0);
  EXPECT_EQ(args.count, PROGRAM_ARGS_MAX + 1);
  FreeProgramArguments(&args);
  many += "one-too-many";
  EXPECT_EQ(SplitProgramArguments("prog", many.c_str(), &args), ERR_WRONGUSAGE);
}

int WaitChild(int32_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Programs, RunsProgramsAndDocuments) {
  TempDir dir;
  // A fake opener first in PATH records its arguments.
  std::string record = dir.File("opened");
  WriteText(dir.File("xdg-open"), "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > '" + record + "'\n");
  ASSERT_EQ(chmod(dir.File("xdg-open").c_str(), 0755), 0);
  const char* oldPath = getenv("PATH");
  std::string savedPath = oldPath ? oldPath : "";
  setenv("PATH", (dir.path() + ":" + savedPath).c_str(), 1);

  // A document whose name is full of shell characters reaches the opener
  // as one argument, and nothing else runs.
  std::string document = dir.File("my doc;touch pwned$(touch pwned2)'q'.txt");
  for (int async : {0, 1}) {
    std::remove(record.c_str());
    int32_t child = 0;
    ASSERT_EQ(RunProgram(document.c_str(), "ignored arguments", async, 0, &child), 0) << async;
    if (async) {
      ASSERT_GT(child, 0);
      EXPECT_EQ(WaitChild(child), 0);
    }
    EXPECT_EQ(ReadText(record), "1|" + document + "|") << async;
  }
  EXPECT_FALSE(Exists("pwned"));
  EXPECT_FALSE(Exists("pwned2"));
  EXPECT_FALSE(Exists(dir.File("pwned")));

  // A program whose path holds a blank runs itself, synchronously.
  ASSERT_EQ(mkdir(dir.File("bin dir").c_str(), 0755), 0);
  std::string program = dir.File("bin dir/tool");
  std::string marker = dir.File("ran");
  WriteText(program, "#!/bin/sh\necho \"$1\" > '" + marker + "'\n");
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);
  ASSERT_EQ(RunProgram(program.c_str(), "hello", 0, 0, nullptr), 0);
  EXPECT_EQ(ReadText(marker), "hello\n");

  // Asynchronous with a quoted phrase and output redirected.
  std::string output = dir.File("echo.out");
  int32_t child = 0;
  ASSERT_EQ(RunProgram("/bin/echo", ("one \"two  three\" >" + output).c_str(), 1, 0, &child), 0);
  EXPECT_EQ(WaitChild(child), 0);
  EXPECT_EQ(ReadText(output), "one two  three\n");

  // A program that cannot be executed ends with 127, never with success.
  ASSERT_EQ(RunProgram(dir.File("no-such-program").c_str(), "", 1, 0, &child), 0);
  EXPECT_EQ(WaitChild(child), 127);

  setenv("PATH", savedPath.c_str(), 1);
}

TEST(Files, ProgramsGetDefaultSignalsBack) {
  // The player ignores SIGPIPE (a lost X server must not end it) and blocks
  // signals its own threads take; programs it starts must not inherit that,
  // or a pipeline in them would never see a closed reader.
  TempDir dir;
  std::string script = dir.File("signals");
  std::string report = dir.File("report");
  WriteText(script, "#!/bin/sh\ngrep -E '^Sig(Ign|Blk):' /proc/self/status > '" + report + "'\n");
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  void (*saved)(int) = signal(SIGPIPE, SIG_IGN);
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGRTMIN);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  for (int async : {0, 1}) {
    std::remove(report.c_str());
    int32_t child = 0;
    ASSERT_EQ(RunProgram(script.c_str(), "", async, 0, &child), 0) << async;
    if (async) {
      EXPECT_EQ(WaitChild(child), 0);
    }
    std::string text = ReadText(report);
    unsigned long long ignoredMask = ~0ull, blockedMask = ~0ull;
    ASSERT_EQ(std::sscanf(text.c_str(), "SigBlk: %llx SigIgn: %llx", &blockedMask, &ignoredMask), 2)
        << text;
    EXPECT_EQ(blockedMask, 0u) << async;
    EXPECT_EQ(ignoredMask & (1ull << (SIGPIPE - 1)), 0u) << async;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  signal(SIGPIPE, saved);
}

TEST(Files, EnvironmentAndRandomBytes) {
  ASSERT_EQ(SetEnvNative("QM_FILES_TEST", "value"), 0);
  char* copy = GetEnvCopy("QM_FILES_TEST");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "value");
  FreeMemory(copy);
  EXPECT_EQ(UnsetEnvNative("QM_FILES_TEST"), 0);
  EXPECT_EQ(GetEnvCopy("QM_FILES_TEST"), nullptr);
  EXPECT_EQ(SetEnvNative("BAD=NAME", "x"), ERR_SETENV);
  uint8_t bytes[64] = {};
  EXPECT_EQ(ReadRandomBytes(bytes, sizeof bytes), 1);
}

TEST(Files, ProgramPathInEightBitMode) {
  // A program in a directory with a non-ASCII name: 8-bit mode sees its
  // path in Latin-1 and "PROGDIR:" still reaches the directory.
  TempDir dir;
  std::string programDir = dir.File("d\xC3\xAFr");
  ASSERT_EQ(mkdir(programDir.c_str(), 0755), 0);
  WriteText(programDir + "/prog", "");
  RecordProgramPath((programDir + "/prog").c_str());
  {
    TextMode mode(0);
    char path[NATIVE_PATH_MAX];
    ASSERT_EQ(GetProgramPath(path, sizeof path, 0), 1);
    char real[NATIVE_PATH_MAX];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    EXPECT_EQ(std::string(path), std::string(real) + "/d\xEFr/prog");
    ASSERT_EQ(GetProgramPath(path, sizeof path, 1), 1);
    EXPECT_EQ(std::string(path), std::string(real) + "/d\xC3\xAFr/prog");
    NativeFileHandle* h = OpenProgdirFile("PROGDIR:made.txt", NATIVE_OPEN_WRITE);
    ASSERT_NE(h, nullptr);
    StdioClose(h);
  }
  RecordProgramPath(nullptr);
  EXPECT_TRUE(Exists(programDir + "/made.txt"));
}

TEST(Files, ProgramPath) {
  char path[NATIVE_PATH_MAX];
  ASSERT_EQ(GetProgramPath(path, sizeof path, 1), 1);
  EXPECT_EQ(path[0], '/');
  char tiny[4];
  EXPECT_EQ(GetProgramPath(tiny, sizeof tiny, 1), 0);
  EXPECT_STREQ(tiny, "");
}

}  // namespace
