// Shared pieces of the display tests: a private Xvfb of a chosen screen
// size and extensions (no window manager), started on a free display number
// it reports itself and stopped by its process id; X client tools run
// against it; option tables built on the VM stack; window properties read
// as arrays of long.
#pragma once

#include <csignal>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/engine.h"

class DisplayTestServer {
 public:
  DisplayTestServer(const std::string& screen, const std::vector<std::string>& extra = {}) {
    int report[2];
    if (pipe(report) != 0) return;
    pid_t pid = fork();
    if (pid == 0) {
      close(report[0]);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      std::string fd = std::to_string(report[1]);
      std::vector<std::string> args = {"Xvfb", "-displayfd", fd, "-screen", "0", screen,
                                       "-nolisten", "tcp", "-noreset"};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp("Xvfb", argv.data());
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
  ~DisplayTestServer() { stop(); }
  DisplayTestServer(const DisplayTestServer&) = delete;
  DisplayTestServer& operator=(const DisplayTestServer&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& name() const { return name_; }

  // Runs an X client tool against this server; its standard output.
  std::string run(const std::vector<std::string>& arguments) const {
    int out[2];
    if (pipe(out) != 0) return "";
    pid_t pid = fork();
    if (pid == 0) {
      setenv("DISPLAY", name_.c_str(), 1);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 2);
      dup2(out[1], 1);
      close(out[0]);
      std::vector<char*> argv;
      for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return text;
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

// An option table on the VM stack: names with numbers or strings.
struct OptionValue {
  OptionValue(double n) : number(n) {}
  OptionValue(int n) : number(n) {}
  OptionValue(unsigned n) : number(n) {}
  OptionValue(const char* t) : isText(true), text(t) {}
  double number = 0;
  bool isText = false;
  std::string text;
};
using Options = std::vector<std::pair<std::string, OptionValue>>;
inline void PushOptions(VmState* L, const Options& options) {
  VmNewTable(L);
  for (const auto& [name, value] : options) {
    VmPushString(L, name.c_str());
    if (value.isText)
      VmPushString(L, value.text.c_str());
    else
      VmPushNumber(L, value.number);
    VmSetTable(L, -3);
  }
}

// A format-32 property as the longs Xlib hands out; empty when absent.
inline std::vector<long> ReadLongProperty(Display* d, Window w, const char* name) {
  Atom property = XInternAtom(d, name, False);
  Atom type;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<long> values;
  if (XGetWindowProperty(d, w, property, 0, 1 << 20, False, AnyPropertyType, &type, &format, &count,
                         &after, &data) == Success &&
      data && format == 32) {
    const long* longs = reinterpret_cast<const long*>(data);
    values.assign(longs, longs + count);
  }
  if (data) XFree(data);
  return values;
}
