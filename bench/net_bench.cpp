// DownloadFile throughput against curl: one local HTTP peer
// (tests/libs/netpeer.py) serves a 100 MB file with a known length,
// chunked and without a length; DownloadFile fetches it into memory and
// into a file, and `curl -s -o` fetches the same URLs from the same peer
// in the same run. Compare the bytes_per_second of the rows; the target
// is at least 0.8 of curl's.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "engine/engine.h"
#include "libs/network_private.h"
#include "runtime/runtime.h"
#include "tests/libs/netpeer.h"

namespace {

constexpr size_t FILE_BYTES = 100u << 20;
const char* const ROUTES[] = {"/files/big.bin", "/chunked/big.bin", "/open/big.bin"};

struct Peer {
  std::string root;
  std::unique_ptr<PeerProcess> process;
  Peer() {
    char pattern[] = "/tmp/qmnetbenchXXXXXX";
    root = mkdtemp(pattern);
    std::string bytes(FILE_BYTES, '\0');
    std::mt19937 random(1);
    for (size_t i = 0; i < bytes.size(); i += 4) bytes[i] = static_cast<char>(random());
    std::ofstream(root + "/big.bin", std::ios::binary) << bytes;
    process = std::make_unique<PeerProcess>("http", root);
  }
  ~Peer() {
    process.reset();
    std::system(("rm -rf " + root).c_str());
  }
  std::string Url(int route) const {
    return "http://127.0.0.1:" + std::to_string(process->port) + ROUTES[route];
  }
};

Peer& peer() {
  static Peer p;
  return p;
}

VmState* state() {
  static VmState* L = VmOpenState();
  return L;
}

void BM_DownloadFile(benchmark::State& s) {
  Peer& p = peer();
  VmState* L = state();
  std::string url = p.Url(static_cast<int>(s.range(0)));
  bool toFile = s.range(1) != 0;
  std::string target = p.root + "/copy.bin";
  for (auto _ : s) {
    VmSetTop(L, 0);
    VmPushCClosure(L, CmdDownloadFile, 0);
    VmPushString(L, url.c_str());
    VmNewTable(L);
    if (toFile) SetTableFieldString(L, "file", target.c_str());
    ErrorCode error = VmPCall(L, 2, 2, 0);
    if (error || VmToNumber(L, 2) != FILE_BYTES) s.SkipWithError("download failed");
    VmSetTop(L, 0);
  }
  s.SetBytesProcessed(static_cast<int64_t>(s.iterations()) * static_cast<int64_t>(FILE_BYTES));
}

void BM_Curl(benchmark::State& s) {
  Peer& p = peer();
  std::string command = "curl -s -o " + p.root + "/curl.bin " + p.Url(static_cast<int>(s.range(0)));
  for (auto _ : s)
    if (std::system(command.c_str()) != 0) s.SkipWithError("curl failed");
  s.SetBytesProcessed(static_cast<int64_t>(s.iterations()) * static_cast<int64_t>(FILE_BYTES));
}

// Rows: route (0 known length, 1 chunked, 2 until the close), destination
// (0 memory, 1 file).
BENCHMARK(BM_DownloadFile)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Curl)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
