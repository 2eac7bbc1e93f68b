// Running external programs: documents go to "xdg-open", synchronous runs
// go through the shell and wait, asynchronous runs fork and exec a split
// argument vector. Invariant: every path handed to the shell is quoted, so
// the shell sees exactly one word for it whatever characters it holds.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/files_private.h"
#include "platform/linux/thread_private.h"

namespace {

constexpr size_t PROGRAM_PATH_MAX = 1024;  // program paths the runner accepts
constexpr size_t OUTPUT_NAME_MAX = 255;    // bytes of a redirect target

char* copyText(const char* text, size_t length) {
  auto* copy = static_cast<char*>(AllocMemory(length + 1, 0));
  if (!copy) return nullptr;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

// Bytes needed for text in single quotes, each ' written as '\''.
size_t quotedLength(const char* text) {
  size_t n = 2;
  for (const char* p = text; *p; p++) n += *p == '\'' ? 4 : 1;
  return n;
}

char* appendQuoted(char* out, const char* text) {
  *out++ = '\'';
  for (const char* p = text; *p; p++) {
    if (*p == '\'') {
      std::memcpy(out, "'\\''", 4);
      out += 4;
    } else {
      *out++ = *p;
    }
  }
  *out++ = '\'';
  return out;
}

// A path whose file part has an extension is a document, unless it names
// a ".exe" program.
// Whether the path names an executable regular file: the path itself when
// it holds a slash, else a file of that name in a directory of PATH.
bool isExecutableFile(const char* path) {
  auto executable = [](const char* p) {
    struct stat st;
    return stat(p, &st) == 0 && S_ISREG(st.st_mode) && access(p, X_OK) == 0;
  };
  if (std::strchr(path, '/')) return executable(path);
  const char* list = std::getenv("PATH");
  if (!list) return false;
  std::string dirs(list);
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/" + path;
    if (executable(candidate.c_str())) return true;
    start = end + 1;
  }
  return false;
}

// A document is opened with the desktop's opener: a path that does not
// name an executable file and whose file part has an extension other than
// ".exe". Executable files run as programs whatever their names.
bool isDocument(const char* path) {
  if (isExecutableFile(path)) return false;
  const char* slash = std::strrchr(path, '/');
  const char* filePart = slash ? slash + 1 : path;
  if (!std::strchr(filePart, '.')) return false;
  size_t length = std::strlen(path);
  return length <= 5 || strcasecmp(path + length - 4, ".exe") != 0;
}

// The player ignores SIGPIPE and blocks the signals its own threads take;
// a child gets the default actions and an empty mask back, as a program
// started from a shell would have them.
void resetChildSignals() {
  signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Runs the line with "/bin/sh -c" and waits for it: 0 once it ran, whatever
// its status; ERR_EXECUTE when no shell could start.
ErrorCode runShellLine(const char* line) {
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) return ERR_EXECUTE;
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  char shell[] = "sh", dashC[] = "-c";
  char* argv[] = {shell, dashC, const_cast<char*>(line), nullptr};
  pid_t pid = -1;
  int failed = posix_spawn(&pid, "/bin/sh", nullptr, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) return ERR_EXECUTE;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return 0;
}

ErrorCode runWithShell(const char* program, bool quoteProgram, const char* arguments,
                       bool quoteArguments) {
  size_t length = (quoteProgram ? quotedLength(program) : std::strlen(program)) + 1;
  if (arguments && arguments[0])
    length += 1 + (quoteArguments ? quotedLength(arguments) : std::strlen(arguments));
  auto* line = static_cast<char*>(AllocMemory(length, 0));
  if (!line) return ERR_MEM;
  char* out = line;
  if (quoteProgram) {
    out = appendQuoted(out, program);
  } else {
    std::memcpy(out, program, std::strlen(program));
    out += std::strlen(program);
  }
  if (arguments && arguments[0]) {
    *out++ = ' ';
    if (quoteArguments) {
      out = appendQuoted(out, arguments);
    } else {
      std::memcpy(out, arguments, std::strlen(arguments));
      out += std::strlen(arguments);
    }
  }
  *out = '\0';
  ErrorCode error = runShellLine(line);
  FreeMemory(line);
  return error;
}

// Forks and executes the vector; the arguments are freed in every case.
ErrorCode runForked(ProgramArguments* args, int32_t* childId) {
  pid_t pid = fork();
  if (pid < 0) {
    FreeProgramArguments(args);
    return ERR_EXECUTE;
  }
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    resetChildSignals();
    if (args->output[0]) {
      int fd = open(args->output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0) _exit(127);
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execvp(args->argv[0], args->argv);
    _exit(127);  // the shell's "command not found"; never a success
  }
  if (childId) *childId = static_cast<int32_t>(pid);
  FreeProgramArguments(args);
  return 0;
}

}  // namespace

ErrorCode SplitProgramArguments(const char* program, const char* arguments, ProgramArguments* out) {
  std::memset(out, 0, sizeof *out);
  out->argv[0] = copyText(program, std::strlen(program));
  if (!out->argv[0]) return ERR_MEM;
  out->count = 1;
  bool wantOutput = false;
  const char* p = arguments ? arguments : "";
  for (;;) {
    while (*p == ' ') p++;
    if (!*p) break;
    const char* begin;
    size_t length;
    bool quoted = *p == '"';
    if (quoted) {
      begin = p + 1;
      const char* close = std::strchr(begin, '"');
      if (!close) {
        FreeProgramArguments(out);
        return ERR_WRONGUSAGE;
      }
      length = static_cast<size_t>(close - begin);
      p = close + 1;
    } else {
      begin = p;
      while (*p && *p != ' ') p++;
      length = static_cast<size_t>(p - begin);
    }
    if (!quoted && begin[0] == '>' && !wantOutput) {
      if (length == 1) {
        wantOutput = true;
        continue;
      }
      begin++;
      length--;
      wantOutput = true;
    }
    if (wantOutput) {
      if (length > OUTPUT_NAME_MAX) {
        FreeProgramArguments(out);
        return ERR_WRONGUSAGE;
      }
      std::memcpy(out->output, begin, length);
      out->output[length] = '\0';
      wantOutput = false;
      continue;
    }
    if (out->count > PROGRAM_ARGS_MAX) {
      FreeProgramArguments(out);
      return ERR_WRONGUSAGE;
    }
    out->argv[out->count] = copyText(begin, length);
    if (!out->argv[out->count]) {
      FreeProgramArguments(out);
      return ERR_MEM;
    }
    out->count++;
  }
  if (wantOutput) {  // ">" with nothing behind it
    FreeProgramArguments(out);
    return ERR_WRONGUSAGE;
  }
  return 0;
}

void FreeProgramArguments(ProgramArguments* args) {
  for (size_t i = 0; i < PROGRAM_ARGS_MAX + 2; i++) {
    FreeMemory(args->argv[i]);
    args->argv[i] = nullptr;
  }
  args->count = 0;
}

ErrorCode RunProgram(const char* path, const char* arguments, int asynchronous, int32_t,
                     int32_t* childId) {
  char program[PROGRAM_PATH_MAX];
  if (!path || !GetNativePath(path, program, sizeof program, 1)) {
    SetPlatformErrorArgString(path);
    return ERR_READFILE;
  }
  char* converted = nullptr;
  if (!unicodeUtf8Mode && arguments) {
    converted = Latin1ToUtf8Dup(arguments);
    if (!converted) return ERR_MEM;
    arguments = converted;
  }
  ErrorCode error;
  ProgramArguments args;
  if (isDocument(program)) {
    if (!asynchronous) {
      error = runWithShell("xdg-open", false, program, true);
    } else {
      // The document is one argument even when it holds blanks or quotes,
      // so it does not go through the splitter.
      error = SplitProgramArguments("xdg-open", "", &args);
      if (!error) {
        args.argv[1] = copyText(program, std::strlen(program));
        args.count = 2;
        if (args.argv[1]) {
          error = runForked(&args, childId);
        } else {
          FreeProgramArguments(&args);
          error = ERR_MEM;
        }
      }
    }
  } else if (!asynchronous) {
    error = runWithShell(program, true, arguments, false);
  } else {
    error = SplitProgramArguments(program, arguments, &args);
    if (!error) error = runForked(&args, childId);
  }
  FreeMemory(converted);
  return error;
}

ErrorCode StartProgram(const char* path, const char* arguments, int asynchronous) {
  return RunProgram(path, arguments, asynchronous, 0, nullptr);
}

ErrorCode StartProgramThread(ProgramRequest* request) { return StartProgramWatcher(request); }
