// Start-up cost of the player: wall time from exec to exit of the built
// `quillmere` program on a trivial applet (one RETURN), quiet, with output
// to /dev/null. Reported as the median of many runs. The program is taken
// from QM_PLAYER, else from beside this benchmark's build directory; without
// a desktop it runs on a private Xvfb server.
#include <benchmark/benchmark.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/platform/xvfb.h"
#include "tools/qmasm/qmasm.h"

namespace {

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

int runOnce(const std::string& player, const std::string& applet, const std::string& display) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execl(player.c_str(), player.c_str(), "-quiet", applet.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_StartupToExit(benchmark::State& state) {
  static const std::string player = playerPath();
  static const std::string applet = writeTrivialApplet();
  static std::unique_ptr<TestXServer> server;
  std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  if (display.empty()) {
    if (!server) server = std::make_unique<TestXServer>(24);
    if (!server->running()) {
      state.SkipWithError("no X server and Xvfb did not start");
      return;
    }
    display = server->name();
  }
  if (runOnce(player, applet, display) != 0) {
    state.SkipWithError(("the player did not run the applet: " + player).c_str());
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(runOnce(player, applet, display));
}
BENCHMARK(BM_StartupToExit)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20)
    ->Repetitions(15)
    ->ReportAggregatesOnly(true);  // mean, median and spread of the 15 repetitions

}  // namespace
