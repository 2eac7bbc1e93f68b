// Runs one assembled benchmark script (bench/vm/*.qasm) a number of times
// on a fresh VM and prints the processor time of every run, so that
// vm_compare.sh can set it beside the same program run by lua5.4
// (bench/vm_run.lua prints the same lines). The VM has its base functions
// and the string library's commands, which the text programs call.
//
//   vm_run [--hook | --gated-hook] [-n RUNS] FILE.qasm
//
// --hook installs a line hook that does nothing, to measure what hooks
// cost the interpreter; --gated-hook installs it behind a gate that a
// thread opens once a millisecond, as the player's event poll runs. Output: "times <ms> <ms> ..." and "result <value>"
// (a number, or the length of a string result).
#include <time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"
#include "text/text.h"
#include "tools/qmasm/qmasm.h"

namespace {

struct ChunkReader {
  const std::vector<uint8_t>* bytes;
  bool done;
};

const char* readChunk(VmState*, void* data, size_t* size) {
  auto* r = static_cast<ChunkReader*>(data);
  if (r->done) {
    *size = 0;
    return nullptr;
  }
  r->done = true;
  *size = r->bytes->size();
  return reinterpret_cast<const char*>(r->bytes->data());
}

void noOpHook(VmState*, VmDebugInfo*, int*, int) {}

double cpuMilliseconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

int usage() {
  std::fprintf(stderr, "usage: vm_run [--hook | --gated-hook] [-n RUNS] FILE.qasm\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool hook = false;
  bool gated = false;
  int runs = 1;
  const char* path = nullptr;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--hook") == 0)
      hook = true;
    else if (std::strcmp(argv[i], "--gated-hook") == 0)
      gated = true;
    else if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc)
      runs = std::atoi(argv[++i]);
    else if (path == nullptr)
      path = argv[i];
    else
      return usage();
  }
  if (path == nullptr || runs < 1) return usage();

  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "vm_run: cannot read %s\n", path);
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::vector<uint8_t> chunk;
  std::string error;
  if (!qmasm::AssembleChunk(text.str(), &chunk, &error)) {
    std::fprintf(stderr, "vm_run: %s:%s\n", path, error.c_str());
    return 1;
  }

  VmState* L = VmOpenState();
  if (L == nullptr) {
    std::fprintf(stderr, "vm_run: no memory for the VM\n");
    return 1;
  }
  VmRegisterBaseFunctions(L);
  VmPushValue(L, VM_GLOBALS_INDEX);
  ErrorCode opened = OpenStringLibrary(L);
  VmSetTop(L, 0);
  if (opened != 0) {
    std::fprintf(stderr, "vm_run: the string library does not open (error %d)\n",
                 static_cast<int>(opened));
    VmCloseState(L);
    return 1;
  }
  ChunkReader reader{&chunk, false};
  ErrorCode status = VmLoad(L, readChunk, &reader, "=bench");
  if (status != 0) {
    std::fprintf(stderr, "vm_run: %s does not load (error %d)\n", path, static_cast<int>(status));
    VmCloseState(L);
    return 1;
  }
  if (hook) VmSetHook(L, noOpHook, VM_MASK_LINE, 0);
  static std::atomic<bool> ticking{true};
  std::thread tick;
  if (gated) {
    VmSetGatedHook(L, noOpHook);
    tick = std::thread([] {
      while (ticking.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        vmEventPollGate.store(1, std::memory_order_relaxed);
      }
    });
  }
  struct TickStop {
    std::thread& t;
    ~TickStop() {
      ticking.store(false);
      if (t.joinable()) t.join();
    }
  } tickStop{tick};

  std::printf("times");
  std::string result;
  for (int r = 0; r < runs; r++) {
    VmPushValue(L, 1);
    double start = cpuMilliseconds();
    status = VmPCall(L, 0, 1, 0);
    double elapsed = cpuMilliseconds() - start;
    if (status != 0) {
      std::fprintf(stderr, "\nvm_run: %s failed with error %d\n", path, static_cast<int>(status));
      VmCloseState(L);
      return 1;
    }
    std::printf(" %.3f", elapsed);
    std::fflush(stdout);
    char buf[64];
    if (VmType(L, -1) == VM_TYPE_STRING) {
      std::snprintf(buf, sizeof buf, "%zu", VmStrLen(L, -1));
    } else {
      double n = VmToNumber(L, -1);
      if (n == std::floor(n) && std::fabs(n) < 9007199254740992.0)
        std::snprintf(buf, sizeof buf, "%.0f", n);
      else
        std::snprintf(buf, sizeof buf, "%.17g", n);
    }
    result = buf;
    VmSetTop(L, 1);
  }
  std::printf("\nresult %s\n", result.c_str());
  VmCloseState(L);
  return 0;
}
