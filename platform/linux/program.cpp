// Running external programs: documents go to "xdg-open", synchronous runs
// go through the shell and wait, asynchronous runs fork and exec a split
// argument vector. Invariants: every path handed to the shell is quoted, so
// the shell sees exactly one word for it whatever characters it holds; a
// program the player waits for runs in a process group of its own, which
// the player ends with everything in it when the run ends during the wait,
// and which holds the terminal while it runs when the player is the
// terminal's foreground job.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include <fcntl.h>
#include <signal.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
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

constexpr int32_t PROGRAM_POLL_MS = 20;        // how often the wait looks at the program
constexpr int32_t PROGRAM_END_GRACE_MS = 250;  // between the ending signal and SIGKILL

// The terminal whose foreground job the player is (standard input), or -1.
int foregroundTerminal() {
  return isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp() ? STDIN_FILENO : -1;
}

// Hands the terminal to a process group. SIGTTOU is blocked for the call,
// since a player that is no longer in the foreground would be stopped by it.
void giveTerminal(int terminal, pid_t group) {
  sigset_t ttou, saved;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &ttou, &saved);
  tcsetpgrp(terminal, group);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// The program was stopped from the terminal (Ctrl-Z went to its group): the
// player stops with it, as one job would, and when continued gives the
// terminal back to it if it is in the foreground again, and continues it.
void stopWithProgram(pid_t group, int terminal) {
  giveTerminal(terminal, getpgrp());
  raise(SIGTSTP);
  if (tcgetpgrp(terminal) == getpgrp()) giveTerminal(terminal, group);
  kill(-group, SIGCONT);
}

// Ends the program's group when the run ends during the wait: the
// termination signal that ends the run (SIGTERM for a quit or close
// request) goes to every process of the group, and what is left after a
// short grace is killed. The program itself is reaped.
void endProgramGroup(pid_t group) {
  int signal = PendingTerminationSignal();
  kill(-group, signal != 0 ? signal : SIGTERM);
  kill(-group, SIGCONT);  // a stopped process takes the signal only once continued
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  bool reaped = false;
  for (;;) {
    int status = 0;
    if (!reaped && waitpid(group, &status, WNOHANG) == group) reaped = true;
    if (reaped && kill(-group, 0) != 0) return;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = (static_cast<long long>(now.tv_sec) - start.tv_sec) * 1000 +
                   (now.tv_nsec - start.tv_nsec) / 1000000;
    if (ms >= PROGRAM_END_GRACE_MS) break;
    Delay(5);
  }
  kill(-group, SIGKILL);
  int status = 0;
  while (!reaped && waitpid(group, &status, 0) < 0 && errno == EINTR) {
  }
}

// Waits for the program: 0 once it ended, whatever its status. Between
// looks the run's wait runs (with L the event poll, else only the watch for
// a termination request); when it says the run must end, the program's
// group is ended and its code returned.
ErrorCode waitForProgram(VmState* L, pid_t pid, int terminal) {
  const int options = terminal >= 0 ? WUNTRACED : 0;
  for (;;) {
    int status = 0;
    pid_t ended = waitpid(pid, &status, WNOHANG | options);
    if (ended == pid && WIFSTOPPED(status)) {
      stopWithProgram(pid, terminal);
      continue;
    }
    if (ended == pid || (ended < 0 && errno != EINTR)) return ERR_NONE;
    ErrorCode stop = L ? SleepWithEvents(L, PROGRAM_POLL_MS)
                       : (DelayUnlessQuit(PROGRAM_POLL_MS) ? ERR_USERABORT : ERR_NONE);
    if (stop != ERR_NONE) {
      endProgramGroup(pid);
      return stop;
    }
  }
}

// Runs the line with "/bin/sh -c" in a process group of its own and waits
// for it (see waitForProgram); ERR_EXECUTE when no shell could start.
ErrorCode runShellLine(VmState* L, const char* line) {
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) return ERR_EXECUTE;
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    posix_spawnattr_destroy(&attributes);
    return ERR_EXECUTE;
  }
  const int terminal = foregroundTerminal();
  if (terminal >= 0) posix_spawn_file_actions_addtcsetpgrp_np(&actions, terminal);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  char shell[] = "sh", dashC[] = "-c";
  char* argv[] = {shell, dashC, const_cast<char*>(line), nullptr};
  pid_t pid = -1;
  int failed = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) return ERR_EXECUTE;
  ErrorCode result = waitForProgram(L, pid, terminal);
  if (terminal >= 0) giveTerminal(terminal, getpgrp());
  return result;
}

ErrorCode runWithShell(VmState* L, const char* program, bool quoteProgram, const char* arguments,
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
  ErrorCode error = runShellLine(L, line);
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

namespace {

// RunProgram with the VM whose event poll runs while a synchronous run
// waits (null: none).
ErrorCode runProgram(VmState* L, const char* path, const char* arguments, int asynchronous,
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
      error = runWithShell(L, "xdg-open", false, program, true);
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
    error = runWithShell(L, program, true, arguments, false);
  } else {
    error = SplitProgramArguments(program, arguments, &args);
    if (!error) error = runForked(&args, childId);
  }
  FreeMemory(converted);
  return error;
}

}  // namespace

ErrorCode RunProgram(const char* path, const char* arguments, int asynchronous, int32_t,
                     int32_t* childId) {
  return runProgram(nullptr, path, arguments, asynchronous, childId);
}

ErrorCode ExecuteProgram(VmState* L, const char* path, const char* arguments) {
  return runProgram(L, path, arguments, 0, nullptr);
}

ErrorCode StartProgram(const char* path, const char* arguments, int asynchronous) {
  return RunProgram(path, arguments, asynchronous, 0, nullptr);
}

ErrorCode StartProgramThread(ProgramRequest* request) { return StartProgramWatcher(request); }
