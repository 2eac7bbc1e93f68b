// Event library benchmarks.
//   PostToHandlerLatency/0 and /100: another thread posts an event and
//     wakes the main thread, which waits in WaitEvent; the time from the
//     post to the handler's call, over 10,000 posts one at a time (median
//     and 99th percentile in microseconds as counters). /0 posts as soon as
//     the last handler ran (the main thread is often still on its way into
//     the wait); /100 lets 100 us pass first, so the main thread sleeps in
//     the wait and the figure includes its wake-up.
//   LoopWithoutHook / LoopWithIdlePollHook: a loop whose two instructions
//     sit on two source lines (the line hook's worst case), run with no
//     hook and with the event library's poll hook installed while nothing
//     is pending; the ratio of their times is the idle hook's cost.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "display/display.h"
#include "display/event_private.h"
#include "engine/engine.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11calls_private.h"
#include "tools/qmasm/qmasm.h"
#include "runtime/runtime_private.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int POSTS = 10000;

std::atomic<int> handled{0};
std::atomic<int64_t> postedAt{0};
std::vector<double> latencies;

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

int pingHandler(VmState*) {
  latencies.push_back((nowNs() - postedAt.load()) / 1000.0);
  handled.fetch_add(1);
  return 0;
}

const char* readAll(VmState*, void* data, size_t* size) {
  auto* bytes = static_cast<std::vector<uint8_t>*>(data);
  static std::vector<uint8_t> held;
  if (bytes->empty()) {
    *size = 0;
    return nullptr;
  }
  held.swap(*bytes);
  bytes->clear();
  *size = held.size();
  return reinterpret_cast<const char*>(held.data());
}

VmState* openPlayer() {
  VmState* L = VmOpenState();
  VmRegisterBaseFunctions(L);
  InitEventQueue();
  VmPushValue(L, VM_GLOBALS_INDEX);
  OpenEventLibrary(L);
  VmSetTop(L, 0);
  return L;
}

void closePlayer(VmState* L) {
  FreeAllEvents(L);
  FreeEventQueue(L);
  VmCloseState(L);
}

// state.range(0): microseconds the poster lets pass before each post, so
// that with a gap the main thread is asleep in its wait when the post comes.
void PostToHandlerLatency(benchmark::State& state) {
  const int gapMicros = static_cast<int>(state.range(0));
  VmState* L = openPlayer();
  // Shut-down frees user event types, so each run registers its own.
  static int32_t type;
  type = AddUserEventType("BenchPing", 0, nullptr, nullptr, nullptr, nullptr, 0);
  VmNewTable(L);
  VmPushString(L, "benchping");
  VmPushCClosure(L, pingHandler, 0);
  VmSetTable(L, -3);
  VmPushString(L, "installeventhandler");
  VmGetTable(L, VM_GLOBALS_INDEX);
  VmInsert(L, -2);
  VmPCall(L, 1, 0, 0);
  latencies.clear();
  latencies.reserve(POSTS);
  for (auto _ : state) {
    handled = 0;
    std::thread poster([gapMicros] {
      for (int i = 0; i < POSTS; ++i) {
        while (handled.load() < i) std::this_thread::yield();
        if (gapMicros > 0) std::this_thread::sleep_for(std::chrono::microseconds(gapMicros));
        postedAt = nowNs();
        PostEvent(nullptr, type, 0, 0, 0, nullptr);
        WakeEventLoop();
      }
    });
    for (int i = 0; i < POSTS; ++i) {
      VmPushString(L, "waitevent");
      VmGetTable(L, VM_GLOBALS_INDEX);
      if (VmPCall(L, 0, 0, 0) != 0) {
        state.SkipWithError("WaitEvent failed");
        break;
      }
    }
    poster.join();
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    state.counters["median_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
  }
  closePlayer(L);
}
BENCHMARK(PostToHandlerLatency)->Arg(0)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond);

// 10^7 iterations of ADD and FORLOOP, each on its own source line.
const char* LINE_LOOP =
    ".source \"=bench\"\n"
    ".line 1\nLOADNUM 0, 0\nLOADNUM 1, 0\nLOADCONST 2, #10000000\nLOADNUM 3, 1\nJUMP test\n"
    ".line 2\nbody: ADD 0, 0, 1\n"
    ".line 3\ntest: FORLOOP 1, body\n"
    ".line 4\nRETURN 0, 1";

void emptyHook(VmState*, VmDebugInfo*, int*, int) {}

// hook 0: none; 1: an empty line hook (the interpreter's own share); 2: the
// event library's poll hook.
void runLoop(benchmark::State& state, int hook) {
  VmState* L = openPlayer();
  if (hook == 0) VmSetHook(L, nullptr, 0, 0);
  if (hook == 1) VmSetHook(L, emptyHook, VM_MASK_LINE, 0);
  std::vector<uint8_t> chunk;
  std::string error;
  if (!qmasm::AssembleChunk(LINE_LOOP, &chunk, &error) ||
      VmLoad(L, readAll, &chunk, "=bench") != 0) {
    state.SkipWithError("load failed");
    closePlayer(L);
    return;
  }
  for (auto _ : state) {
    VmPushValue(L, 1);
    if (VmPCall(L, 0, 0, 0) != 0) {
      state.SkipWithError("run failed");
      break;
    }
  }
  state.counters["instructions_per_s"] =
      benchmark::Counter(2e7 * state.iterations(), benchmark::Counter::kIsRate);
  closePlayer(L);
}

void LoopWithoutHook(benchmark::State& state) { runLoop(state, 0); }
void LoopWithEmptyLineHook(benchmark::State& state) { runLoop(state, 1); }
void LoopWithIdlePollHook(benchmark::State& state) { runLoop(state, 2); }
BENCHMARK(LoopWithoutHook)->Unit(benchmark::kMillisecond);
BENCHMARK(LoopWithEmptyLineHook)->Unit(benchmark::kMillisecond);
BENCHMARK(LoopWithIdlePollHook)->Unit(benchmark::kMillisecond);

}  // namespace
