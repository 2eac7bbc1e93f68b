// Start-up cost of the player against the least X client that does the
// same on the screen: from exec to exit of the built `quillmere` program on
// an applet that only calls End(5) (so its 640x480 window opens, then the
// run ends with status 5), quiet, with output to /dev/null, and of
// startup_client (bench/startup_client.cpp: a 640x480 window with a title,
// mapped, its MapNotify awaited, filled, synced) on the same X server. The
// two run alternately, so that a change of machine load during the run
// touches both alike; the result is both medians (wall and processor time)
// and their ratios. Target: the player's processor time at most 2.0x the
// client's. Both run on one private Xvfb server (no window manager, as on
// a test machine). The programs are taken from QM_PLAYER and
// QM_STARTUP_CLIENT, else from this benchmark's build tree.
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

// This program's folder (build/bench), with a trailing slash.
std::string benchFolder() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

std::string playerPath() {
  if (const char* given = std::getenv("QM_PLAYER")) return given;
  return benchFolder() + "../quillmere";
}

std::string clientPath() {
  if (const char* given = std::getenv("QM_STARTUP_CLIENT")) return given;
  return benchFolder() + "startup_client";
}

constexpr int END_STATUS = 5;

std::string writeTrivialApplet() {
  qmasm::Program program;
  std::string error;
  if (!qmasm::Parse(".line 1\nGETGLOBAL 0, \"end\"\nLOADNUM 1, 5\nCALL 0, 2, 1\nRETURN 0, 1, 0\n",
                    &program, &error))
    return "";
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
// long it took from fork to its exit; ok when it exited with the status.
Run runOnce(const std::vector<std::string>& argv, const std::string& display, int expected) {
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
  run.ok = done == pid && WIFEXITED(status) && WEXITSTATUS(status) == expected;
  run.wallMs = (end.tv_sec - start.tv_sec) * 1e3 + (end.tv_nsec - start.tv_nsec) / 1e6;
  run.cpuMs = milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
  return run;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void BM_StartupAgainstClient(benchmark::State& state) {
  const std::string player = playerPath();
  const std::string applet = writeTrivialApplet();
  TestXServer server(24);
  if (!server.running()) {
    state.SkipWithError("Xvfb did not start");
    return;
  }
  const std::string display = server.name();
  const std::vector<std::string> playerArgs = {player, "-quiet", applet};
  const std::vector<std::string> clientArgs = {clientPath()};
  // The first runs also fill the page cache.
  if (!runOnce(playerArgs, display, END_STATUS).ok) {
    state.SkipWithError(("the player did not run the applet: " + player).c_str());
    return;
  }
  if (!runOnce(clientArgs, display, 0).ok) {
    state.SkipWithError(("the client did not run: " + clientArgs[0]).c_str());
    return;
  }
  std::vector<double> playerWall, playerCpu, clientWall, clientCpu;
  for (auto _ : state) {
    Run p = runOnce(playerArgs, display, END_STATUS);
    Run c = runOnce(clientArgs, display, 0);
    if (!p.ok || !c.ok) {
      state.SkipWithError("a run failed");
      return;
    }
    playerWall.push_back(p.wallMs);
    playerCpu.push_back(p.cpuMs);
    clientWall.push_back(c.wallMs);
    clientCpu.push_back(c.cpuMs);
  }
  double wallRatio = median(playerWall) / median(clientWall);
  double cpuRatio = median(playerCpu) / median(clientCpu);
  state.counters["player_ms"] = median(playerWall);
  state.counters["player_cpu_ms"] = median(playerCpu);
  state.counters["client_ms"] = median(clientWall);
  state.counters["client_cpu_ms"] = median(clientCpu);
  state.counters["wall_ratio"] = wallRatio;
  state.counters["cpu_ratio"] = cpuRatio;
  std::printf(
      "exec to exit, median of %zu alternating runs:\n"
      "  quillmere (End(5) applet)  %.2f ms wall, %.2f ms processor\n"
      "  startup_client             %.2f ms wall, %.2f ms processor\n"
      "  ratios: wall %.2f, processor %.2f (target <= 2.0)\n",
      playerWall.size(), median(playerWall), median(playerCpu), median(clientWall),
      median(clientCpu), wallRatio, cpuRatio);
}
BENCHMARK(BM_StartupAgainstClient)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(PAIRS);  // each iteration is one player run and one client run

}  // namespace
