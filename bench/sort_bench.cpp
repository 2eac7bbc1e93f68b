// The Sort command on 100,000 numbers and 100,000 strings, with the VM's
// less-than and with a script comparison function, beside std::sort of the
// same table values with the same comparison (the VM's less-than on the
// two values, or a call of the same script function) in the same run.
// Sort should take at most 1.5 times std::sort's time; compare each pair.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "libs/libs.h"
#include "tools/qmasm/qmasm.h"

namespace {

constexpr int ITEMS = 100000;

struct Player {
  VmState* L = VmOpenState();
  Player() {
    VmRegisterBaseFunctions(L);
    VmPushValue(L, VM_GLOBALS_INDEX);
    if (OpenSystemLibrary(L) != 0) std::abort();
    VmSetTop(L, 0);
    // less(a, b): a < b through the VM.
    std::vector<uint8_t> chunk;
    std::string error;
    if (!qmasm::AssembleChunk(".function less\n.params 2\nLT 0, 0, 1\nJUMP no\nLOADNUM 2, 1\n"
                              "RETURN 2, 2\nno: LOADNUM 2, 0\nRETURN 2, 2\n.end\n"
                              "CLOSURE 0, less\nSETGLOBAL 0, \"less\"\nRETURN 0, 1",
                              &chunk, &error))
      std::abort();
    struct Reader {
      std::vector<uint8_t>* bytes;
      bool done = false;
    } reader{&chunk};
    auto read = [](VmState*, void* data, size_t* size) -> const char* {
      auto* r = static_cast<Reader*>(data);
      if (r->done) {
        *size = 0;
        return nullptr;
      }
      r->done = true;
      *size = r->bytes->size();
      return reinterpret_cast<const char*>(r->bytes->data());
    };
    if (VmLoad(L, read, &reader, "=bench") != 0 || VmPCall(L, 0, 0, 0) != 0) std::abort();
    VmSetTop(L, 0);
  }
  ~Player() {
    FreeSystemResources(L);
    VmCloseState(L);
  }
  // A new table at index 1 with the seeded values from index 0.
  void fill(bool strings) {
    VmSetTop(L, 0);
    VmNewTable(L);
    std::mt19937 random(7);
    for (int i = 0; i < ITEMS; i++) {
      if (strings) {
        char text[16];
        std::snprintf(text, sizeof text, "k%u", static_cast<unsigned>(random() % 1000000));
        VmPushString(L, text);
      } else {
        VmPushNumber(L, static_cast<double>(random() % 1000000) / 7.0);
      }
      VmRawSetI(L, 1, i);
    }
  }
  void global(const char* name) {
    VmPushString(L, name);
    VmGetTable(L, VM_GLOBALS_INDEX);
  }
};

// state.range(0): 0 numbers, 1 strings; range(1): 0 less-than, 1 function.
void BM_SortCommand(benchmark::State& state) {
  Player p;
  for (auto _ : state) {
    state.PauseTiming();
    p.fill(state.range(0) != 0);
    p.global("sort");
    VmPushValue(p.L, 1);
    int args = 1;
    if (state.range(1) != 0) {
      p.global("less");
      args = 2;
    }
    state.ResumeTiming();
    if (VmPCall(p.L, args, 0, 0) != 0) std::abort();
  }
}
BENCHMARK(BM_SortCommand)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond);

void BM_StdSort(benchmark::State& state) {
  Player p;
  VmState* L = p.L;
  bool function = state.range(1) != 0;
  for (auto _ : state) {
    state.PauseTiming();
    p.fill(state.range(0) != 0);
    if (function) p.global("less");  // index 2
    std::vector<int> order(ITEMS);
    std::iota(order.begin(), order.end(), 0);
    state.ResumeTiming();
    std::sort(order.begin(), order.end(), [&](int a, int b) {
      bool before;
      if (function) {
        VmPushValue(L, 2);
        VmRawGetI(L, 1, a);
        VmRawGetI(L, 1, b);
        if (VmCall(L, 2, 1) != 0) std::abort();
        before = VmToNumber(L, -1) != 0;
        VmSetTop(L, -2);
      } else {
        VmRawGetI(L, 1, a);
        VmRawGetI(L, 1, b);
        before = VmLessThan(L, -2, -1, 0) != 0;
        VmSetTop(L, -3);
      }
      return before;
    });
    benchmark::DoNotOptimize(order.data());
  }
}
BENCHMARK(BM_StdSort)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
