// Start-up cost of the player against a minimal X client: wall time from
// exec to exit of the built `quillmere` program on a trivial applet (one
// RETURN), quiet, with output to /dev/null, and of `xdpyinfo` on the same X
// server. The two run alternately, so that a change of machine load during
// the run touches both alike; the result is both medians (wall and CPU) and
// the ratio of the wall medians. Both run on one private Xvfb server (no
// window manager, as on a test machine). The program is taken from
// QM_PLAYER, else from beside this benchmark's build directory.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/platform/xvfb.h"
#include "tools/qmasm/qmasm.h"

namespace {

constexpr int PAIRS = 101;  // an odd count gives a true median

std::string playerPath() {
  if (const char* given = std::getenv("QM_PLAYER")) return given;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "quillmere";
  std::string path(self, static_cast<size_t>(n));
  path = path.substr(0, path.rfind('/'));  // build/bench
  path = path.substr(0, path.rfind('/'));  // build
  return path + "/quillmere";
}

std::string writeTrivialApplet() {
  qmasm::Program program;
  std::string error;
  if (!qmasm::Parse(".line 1\nRETURN 0, 1, 0\n", &program, &error)) return "";
  qmasm::Bytes applet = qmasm::WriteApplet(program, qmasm::WriteChunk(program));
  std::string path = "/tmp/quillmere-startup-bench.qma";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(applet.data()),
             static_cast<std::streamsize>(applet.size()));
  return path;
}

struct Run {
  bool ok;
  double wallMs;
  double cpuMs;  // user and system time of the child
};

double milliseconds(const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

// Runs the program with its standard streams on /dev/null and returns how
// long it took from fork to its exit; ok when it exited with status 0.
Run runOnce(const std::vector<std::string>& argv, const std::string& display) {
  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid == 0) {
    if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  pid_t done = pid > 0 ? wait4(pid, &status, 0, &usage) : -1;
  clock_gettime(CLOCK_MONOTONIC, &end);
  Run run;
  run.ok = done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  run.wallMs = (end.tv_sec - start.tv_sec) * 1e3 + (end.tv_nsec - start.tv_nsec) / 1e6;
  run.cpuMs = milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
  return run;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void BM_StartupAgainstXdpyinfo(benchmark::State& state) {
  const std::string player = playerPath();
  const std::string applet = writeTrivialApplet();
  TestXServer server(24);
  if (!server.running()) {
    state.SkipWithError("Xvfb did not start");
    return;
  }
  const std::string display = server.name();
  const std::vector<std::string> playerArgs = {player, "-quiet", applet};
  const std::vector<std::string> clientArgs = {"xdpyinfo"};
  // The first runs also fill the page cache.
  if (!runOnce(playerArgs, display).ok) {
    state.SkipWithError(("the player did not run the applet: " + player).c_str());
    return;
  }
  if (!runOnce(clientArgs, display).ok) {
    state.SkipWithError("xdpyinfo did not run (package x11-utils)");
    return;
  }
  std::vector<double> playerWall, playerCpu, clientWall, clientCpu;
  for (auto _ : state) {
    Run p = runOnce(playerArgs, display);
    Run c = runOnce(clientArgs, display);
    if (!p.ok || !c.ok) {
      state.SkipWithError("a run failed");
      return;
    }
    playerWall.push_back(p.wallMs);
    playerCpu.push_back(p.cpuMs);
    clientWall.push_back(c.wallMs);
    clientCpu.push_back(c.cpuMs);
  }
  double ratio = median(playerWall) / median(clientWall);
  state.counters["player_ms"] = median(playerWall);
  state.counters["player_cpu_ms"] = median(playerCpu);
  state.counters["xdpyinfo_ms"] = median(clientWall);
  state.counters["xdpyinfo_cpu_ms"] = median(clientCpu);
  state.counters["ratio"] = ratio;
  std::printf(
      "exec to exit, median of %zu alternating runs:\n"
      "  quillmere (trivial applet) %.2f ms wall, %.2f ms CPU\n"
      "  xdpyinfo                   %.2f ms wall, %.2f ms CPU\n"
      "  ratio of the wall medians  %.2f\n",
      playerWall.size(), median(playerWall), median(playerCpu), median(clientWall),
      median(clientCpu), ratio);
}
BENCHMARK(BM_StartupAgainstXdpyinfo)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(PAIRS);  // each iteration is one player run and one xdpyinfo run

}  // namespace
