// Memory-block fills and copies of 64 MiB through the script commands
// (FillMem, CopyMem, called as a script calls them) beside memset and
// memcpy of the same sizes in the same run; the commands should reach at
// least 0.9 of the C library's throughput.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "engine/engine.h"
#include "libs/libs.h"

namespace {

constexpr double BLOCK_BYTES = 64.0 * 1024 * 1024;
constexpr size_t BYTES = 64u << 20;

struct Player {
  VmState* L = VmOpenState();
  Player() {
    VmRegisterBaseFunctions(L);
    VmPushValue(L, VM_GLOBALS_INDEX);
    OpenMemBlockLibrary(L);
    VmSetTop(L, 0);
    call("allocmem", {1, BLOCK_BYTES});
    call("allocmem", {2, BLOCK_BYTES});
    call("fillmem", {1, 7, BLOCK_BYTES});
  }
  ~Player() {
    FreeAllMemBlocks(L);
    VmCloseState(L);
  }
  // Calls a command by its global name (the globals hold commands in
  // lower case).
  void call(const char* name, std::vector<double> args) {
    VmPushString(L, name);
    VmGetTable(L, VM_GLOBALS_INDEX);
    for (double a : args) VmPushNumber(L, a);
    VmCall(L, static_cast<int>(args.size()), 0);
  }
};

// Both blocks are filled once before timing, so page faults stay out of
// every variant.
void BM_FillMemCommand(benchmark::State& state) {
  Player p;
  auto type = static_cast<double>(state.range(0));
  for (auto _ : state) p.call("fillmem", {2, 0x12345678, BLOCK_BYTES, 0, type});
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(BYTES));
}
BENCHMARK(BM_FillMemCommand)->Arg(7)->Arg(6)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Memset(benchmark::State& state) {
  std::vector<char> to(BYTES, 1);
  for (auto _ : state) {
    std::memset(to.data(), 0x5A, BYTES);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(BYTES));
}
BENCHMARK(BM_Memset)->Unit(benchmark::kMillisecond);

void BM_CopyMemCommand(benchmark::State& state) {
  Player p;
  p.call("fillmem", {2, 0, BLOCK_BYTES});
  for (auto _ : state) p.call("copymem", {1, 2, BLOCK_BYTES});
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(BYTES));
}
BENCHMARK(BM_CopyMemCommand)->Unit(benchmark::kMillisecond);

void BM_Memcpy(benchmark::State& state) {
  std::vector<char> from(BYTES, 7), to(BYTES, 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), BYTES);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(BYTES));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

}  // namespace
