// Memory-block fills and copies of 64 MiB through the script commands
// (FillMem, CopyMem, called as a script calls them) beside memset and
// memcpy of the same sizes in the same run; the commands should reach at
// least 0.9 of the C library's throughput. The figures run both sides on
// the same blocks, so that neither meets pages the other has not touched.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/figure.h"
#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"

namespace {

constexpr double BLOCK_BYTES = 64.0 * 1024 * 1024;
constexpr size_t BYTES = 64u << 20;
constexpr int ROUNDS = 40;

// Blocks 1 and 2 of 64 MiB, both written once, so that no variant pays
// for the first touch of their pages.
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
    call("fillmem", {2, 0, BLOCK_BYTES});
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
  uint8_t* bytes(int32_t number) {
    MemBlockObject* block = nullptr;
    GetMemBlockObject(ObjectId{nullptr, number}, &block);
    return block->buffer;
  }
};

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

// FillMem of the type (byte, short, integer) against memset of block 2.
void BM_FigureFillMem(benchmark::State& state) {
  static const char* const WHAT[8] = {nullptr,
                                      "memblock: FillMem integer 64 MiB vs memset",
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      "memblock: FillMem short 64 MiB vs memset",
                                      "memblock: FillMem byte 64 MiB vs memset"};
  Player p;
  auto type = static_cast<double>(state.range(0));
  uint8_t* to = p.bytes(2);
  benchfigure::Measure(
      state, WHAT[state.range(0)], benchfigure::Kind::SPEED, 0.9, ROUNDS,
      [&] {
        p.call("fillmem", {2, 0x12345678, BLOCK_BYTES, 0, type});
      },
      [&] {
        std::memset(to, 0x5A, BYTES);
        benchmark::ClobberMemory();
      });
}
BENCHMARK(BM_FigureFillMem)->Arg(7)->Arg(6)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// CopyMem of block 1 into block 2 against memcpy between the same blocks.
void BM_FigureCopyMem(benchmark::State& state) {
  Player p;
  const uint8_t* from = p.bytes(1);
  uint8_t* to = p.bytes(2);
  benchfigure::Measure(
      state, "memblock: CopyMem 64 MiB vs memcpy", benchfigure::Kind::SPEED, 0.9, ROUNDS,
      [&] {
        p.call("copymem", {1, 2, BLOCK_BYTES});
      },
      [&] {
        std::memcpy(to, from, BYTES);
        benchmark::ClobberMemory();
      });
}
BENCHMARK(BM_FigureCopyMem)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
