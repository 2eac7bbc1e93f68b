// Interpreter benchmarks: recursive calls (fib 32), a numeric loop of 10^8
// steps, table inserts, method calls and string building, each an
// assembled script run once per iteration. The same workloads written for
// Debian's lua5.4 are in the comments; bench/vm_compare.sh runs the fuller
// programs of bench/vm/ beside lua5.4 and prints the ratios:
//   fib:     local function fib(n) if n < 2 then return n end
//            return fib(n-1) + fib(n-2) end; fib(32)
//   loop:    local s = 0; for i = 1, 1e8 do s = s + i end
//   inserts: local t = {}; for i = 1, 1e6 do t[i] = i end
//   methods: local o = {v = 0}; function o:m() self.v = self.v + 1 end
//            for i = 1, 1e7 do o:m() end
//   strings: for i = 1, 1e5 do local s = "a" .. i .. "b" end
// Each runs without hooks (argument 0) and with a line hook that does
// nothing (argument 1), as the player always installs one; the scripts
// carry source lines as compiled applets do.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_private.h"
#include "tools/qmasm/qmasm.h"

namespace {

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

void noOpHook(VmState*, VmDebugInfo*, int*, int) {}

void runScript(benchmark::State& state, const char* text) {
  VmState* L = VmOpenState();
  VmRegisterBaseFunctions(L);
  std::vector<uint8_t> chunk;
  std::string error;
  if (!qmasm::AssembleChunk(text, &chunk, &error)) {
    state.SkipWithError(error.c_str());
    VmCloseState(L);
    return;
  }
  if (VmLoad(L, readAll, &chunk, "=bench") != 0) {
    state.SkipWithError("load failed");
    VmCloseState(L);
    return;
  }
  if (state.range(0) != 0) VmSetHook(L, noOpHook, VM_MASK_LINE, 0);
  for (auto _ : state) {
    VmPushValue(L, 1);
    if (VmPCall(L, 0, 0, 0) != 0) {
      state.SkipWithError("run failed");
      break;
    }
  }
  VmCloseState(L);
}

void Fib32(benchmark::State& state) {
  runScript(state,
            ".function fib\n.params 1\n"
            ".line 2\nLT 0, 0, #2\nJUMP big\nRETURN 0, 2\n"
            ".line 3\nbig: GETGLOBAL 1, \"fib\"\nSUB 2, 0, #1\nCALL 1, 2, 2\n"
            "GETGLOBAL 2, \"fib\"\nSUB 3, 0, #2\nCALL 2, 2, 2\nADD 1, 1, 2\nRETURN 1, 2\n.end\n"
            "CLOSURE 0, fib\nSETGLOBAL 0, \"fib\"\nLOADNUM 1, 32\nCALL 0, 2, 1\nRETURN 0, 1");
}
BENCHMARK(Fib32)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void NumericLoop(benchmark::State& state) {
  runScript(
      state,
      ".line 1\nLOADNUM 0, 0\nLOADNUM 1, 0\nLOADCONST 2, #100000000\nLOADNUM 3, 1\nJUMP test\n"
      ".line 2\nbody: ADD 0, 0, 1\n.line 1\ntest: FORLOOP 1, body\nRETURN 0, 1");
}
BENCHMARK(NumericLoop)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void TableInserts(benchmark::State& state) {
  runScript(state,
            "NEWTABLE 0, 0, 0\nLOADNUM 1, 0\nLOADCONST 2, #1000000\nLOADNUM 3, 1\nJUMP test\n"
            "body: SETTABLE 0, 1, 1\ntest: FORLOOP 1, body\nRETURN 0, 1");
}
BENCHMARK(TableInserts)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void MethodCalls(benchmark::State& state) {
  runScript(state,
            ".function m\n.params 1\n.line 2\nGETTABLE 1, 0, \"v\"\nADD 1, 1, #1\nSETTABLE 0, "
            "\"v\", 1\nRETURN 0, 1\n.end\n"
            "NEWTABLE 0, 0, 1\nSETTABLE 0, \"v\", #0\nCLOSURE 4, m\nSETTABLE 0, \"m\", 4\n"
            "LOADNUM 1, 0\nLOADCONST 2, #10000000\nLOADNUM 3, 1\nJUMP test\n"
            ".line 3\nbody: SELF 4, 0, \"m\"\nCALL 4, 2, 1\ntest: FORLOOP 1, body\nRETURN 0, 1");
}
BENCHMARK(MethodCalls)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void StringBuilding(benchmark::State& state) {
  runScript(state,
            "LOADNUM 1, 0\nLOADCONST 2, #100000\nLOADNUM 3, 1\nJUMP test\n"
            ".line 2\nbody: LOADCONST 4, \"a\"\nMOVE 5, 1\nLOADCONST 6, \"b\"\nCONCAT 0, 4, 6\n"
            "test: FORLOOP 1, body\nRETURN 0, 1");
}
BENCHMARK(StringBuilding)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
