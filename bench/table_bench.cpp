// Table access speed: reads and writes by integer and string key, filling a
// list from empty (rehash cost), and creating and collecting small tables.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/object.h"

namespace {

struct Vm {
  VmState* L = VmOpenState();
  ~Vm() { VmCloseState(L); }
};

void BM_TableGetInt(benchmark::State& state) {
  Vm vm;
  VmTable* t = VmCreateTable(vm.L, 1024, 0);
  for (int i = 1; i <= 1024; i++) VmSetNumber(VmTableSetNum(vm.L, t, i), i);
  double sum = 0;
  for (auto _ : state) {
    for (int i = 1; i <= 1024; i++) sum += VmNumberOf(VmTableGetNum(t, i));
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_TableGetInt);

void BM_TableGetNumberKey(benchmark::State& state) {
  Vm vm;
  VmTable* t = VmCreateTable(vm.L, 1024, 0);
  for (int i = 1; i <= 1024; i++) VmSetNumber(VmTableSetNum(vm.L, t, i), i);
  VmValue k;
  double sum = 0;
  for (auto _ : state) {
    for (int i = 1; i <= 1024; i++) {
      VmSetNumber(&k, i);
      sum += VmNumberOf(VmTableGet(t, &k));
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_TableGetNumberKey);

void BM_TableGetString(benchmark::State& state) {
  Vm vm;
  VmTable* t = VmCreateTable(vm.L, 0, 7);
  std::vector<VmString*> keys;
  for (int i = 0; i < 100; i++) {
    std::string s = "field" + std::to_string(i);
    keys.push_back(VmNewString(vm.L, s.data(), s.size()));
    VmValue k;
    VmSetString(&k, keys.back());
    VmSetNumber(VmTableSet(vm.L, t, &k), i);
  }
  double sum = 0;
  for (auto _ : state) {
    for (VmString* s : keys) sum += VmNumberOf(VmTableGetStr(t, s));
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_TableGetString);

void BM_TableFillList(benchmark::State& state) {
  Vm vm;
  VmSetGcThreshold(vm.L, 0xFFFFFFFFu);
  for (auto _ : state) {
    VmTable* t = VmCreateTable(vm.L, 0, 0);
    for (int i = 1; i <= 1000; i++) VmSetNumber(VmTableSetNum(vm.L, t, i), i);
    benchmark::DoNotOptimize(t);
    state.PauseTiming();
    VmCollectGarbage(vm.L);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_TableFillList);

void BM_TableCreateAndCollect(benchmark::State& state) {
  Vm vm;
  for (auto _ : state) {
    benchmark::DoNotOptimize(VmCreateTable(vm.L, 0, 0));
    VmCheckGC(vm.L);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TableCreateAndCollect);

}  // namespace
