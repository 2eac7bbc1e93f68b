// Running the built player from an end-to-end test: applets assembled by
// qmasm, a private working directory removed afterwards, and one run of a
// program with its standard output and standard error kept apart (files,
// so a chatty sanitizer can never block the child) and a hard time limit
// after which the child is killed and the run reported as failed.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/qmasm/qmasm.h"

namespace e2e {

// Sets up a ten-second interval that ends the run with 9 (a run that hangs
// is still ended), then waits for events for ever.
inline const char* const WAIT_LOOP =
    ".line 1\n"
    "GETGLOBAL 0, \"setinterval\"\n"
    "LOADNIL 1, 1\n"
    "CLOSURE 2 late\n"
    "LOADCONST 3, #10000\n"
    "CALL 0, 4, 1\n"
    "loop:\n"
    "GETGLOBAL 0, \"waitevent\"\n"
    "CALL 0, 1, 1\n"
    "JUMP loop\n"
    "RETURN 0, 1, 0\n"
    ".function late\n"
    ".line 2\n"
    "GETGLOBAL 0, \"end\"\n"
    "LOADNUM 1, 9, 0\n"
    "CALL 0, 2, 1\n"
    "RETURN 0, 1, 0\n"
    ".end\n";

using Bytes = std::vector<uint8_t>;

inline const std::string PLAYER = std::string(QM_BINARY_DIR) + "/quillmere";

inline Bytes Assemble(const std::string& text) {
  qmasm::Program program;
  std::string error;
  EXPECT_TRUE(qmasm::Parse(text, &program, &error)) << error;
  return qmasm::WriteApplet(program, qmasm::WriteChunk(program));
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadText(const std::string& path) {
  Bytes b = ReadFile(path);
  return std::string(b.begin(), b.end());
}

inline void WriteFile(const std::string& path, const Bytes& bytes, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  chmod(path.c_str(), mode);
}

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/qme2eXXXXXX";
    if (mkdtemp(name)) path_ = name;
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct RunResult {
  int status = -1;  // exit status; -1 when killed or not run
  std::string out, err;
};

// A started program, with the sanitizer options given when not null;
// Finish waits for it (killing it after the limit).
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args,
        const std::string& display, const std::string& workDir,
        const char* sanitizerOptions = nullptr)
      : outPath_(workDir + "/.stdout"), errPath_(workDir + "/.stderr") {
    pid_ = fork();
    if (pid_ != 0) return;
    setenv("DISPLAY", display.c_str(), 1);
    if (sanitizerOptions) setenv("ASAN_OPTIONS", sanitizerOptions, 1);
    int null = open("/dev/null", O_RDONLY);
    int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (null < 0 || out < 0 || err < 0 || chdir(workDir.c_str()) != 0) _exit(126);
    dup2(null, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  ~Child() { Finish(); }
  pid_t Pid() const { return pid_; }
  bool Exited() {
    if (pid_ <= 0) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    record(status);
    return true;
  }
  RunResult Finish(std::chrono::seconds limit = std::chrono::seconds(60)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!Exited()) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        ADD_FAILURE() << "the player did not end in time and was killed";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    result_.out = ReadText(outPath_);
    result_.err = ReadText(errPath_);
    return result_;
  }

 private:
  void record(int status) {
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
  }
  pid_t pid_ = -1;
  std::string outPath_, errPath_;
  RunResult result_;
};

inline RunResult Run(const std::string& program, const std::vector<std::string>& args,
                     const std::string& display, const std::string& workDir) {
  return Child(program, args, display, workDir).Finish();
}

}  // namespace e2e
