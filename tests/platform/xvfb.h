// A private X server for tests: starts Xvfb on a display number it finds
// free, with a chosen depth, waits until it listens and stops it by its
// process id. Also runs X client tools against it. By default the server
// keeps its state when the last client leaves (so root properties stay);
// asked to, it resets then like a desktop server started plainly, which
// drops connections that arrive during the reset.
#pragma once

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <X11/Xlib.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

class TestXServer {
 public:
  // A 640x480 screen of the given depth.
  explicit TestXServer(int depth, bool resetWhenIdle = false)
      : TestXServer("640x480x" + std::to_string(depth), resetWhenIdle) {}
  // A screen given as WxHxD, with further server arguments (e.g. extensions
  // switched off).
  explicit TestXServer(const std::string& screen, bool resetWhenIdle = false,
                       const std::vector<std::string>& extra = {}) {
    // The server picks a free display number itself and reports it once it
    // listens, so parallel tests never race for a number.
    int report[2];
    if (pipe(report) != 0) return;
    pid_t pid = fork();
    if (pid == 0) {
      close(report[0]);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      std::string fd = std::to_string(report[1]);
      std::vector<const char*> argv{"Xvfb", "-displayfd",   fd.c_str(),  "-screen",
                                    "0",    screen.c_str(), "-nolisten", "tcp"};
      if (!resetWhenIdle) argv.push_back("-noreset");
      for (const std::string& a : extra) argv.push_back(a.c_str());
      argv.push_back(nullptr);
      execvp("Xvfb", const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    close(report[1]);
    if (pid < 0) {
      close(report[0]);
      return;
    }
    pid_ = pid;
    std::string number;
    char c;
    while (read(report[0], &c, 1) == 1 && c != '\n') number += c;
    close(report[0]);
    if (number.empty()) {
      stop();
      return;
    }
    name_ = ":" + number;
  }
  ~TestXServer() { stop(); }
  TestXServer(const TestXServer&) = delete;
  TestXServer& operator=(const TestXServer&) = delete;
  bool running() const { return pid_ > 0; }
  const std::string& name() const { return name_; }

  // Runs an X client tool on this server; its exit status, -1 when it could
  // not run. Standard input comes from `input` when given.
  int run(const std::vector<std::string>& arguments, const char* input = nullptr,
          std::string* output = nullptr) const {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      setenv("DISPLAY", name_.c_str(), 1);
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      std::vector<char*> argv;
      for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (input) {
      ssize_t ignored = write(in[1], input, std::char_traits<char>::length(input));
      (void)ignored;
    }
    close(in[1]);
    char buffer[256];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
      if (output) output->append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::string name_;
};
