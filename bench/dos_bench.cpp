// The dos library's byte commands beside the system tools in the same run:
// MD5 of 100 MB against md5sum, CompressFile and DecompressFile against
// python3's zlib streaming in 16 KiB blocks, and CopyFile of a 200 MB file
// and of a tree of 10,000 small files against cp -p and cp -a. The
// commands should reach 0.9 (hashing, packing) and 0.8 (copying) of the
// tools' speed; compare the times of each pair. The Figure benchmark
// prints the tree copy's as a figure line (bench/figure.h).
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/figure.h"
#include "engine/engine.h"
#include "libs/libs.h"

namespace {

constexpr size_t HASH_BYTES = 100u << 20;
constexpr size_t COPY_BYTES = 200u << 20;
constexpr int TREE_FILES = 10000;

// A scratch directory with the inputs, made once and removed at exit.
struct Scratch {
  std::string dir;
  Scratch() {
    char name[] = "/tmp/qmdosbenchXXXXXX";
    if (!mkdtemp(name)) std::abort();
    dir = name;
    // Compressible but not trivial data: runs of random bytes.
    std::mt19937 rng(1);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); i++) block[i] = (i / 64) % 3 ? char(rng() % 16) : 'a';
    writeRepeated(dir + "/hash.bin", block, HASH_BYTES);
    writeRepeated(dir + "/copy.bin", block, COPY_BYTES);
    std::string tree = dir + "/tree";
    mkdir(tree.c_str(), 0755);
    for (int d = 0; d < 100; d++) {
      std::string sub = tree + "/d" + std::to_string(d);
      mkdir(sub.c_str(), 0755);
      for (int f = 0; f < TREE_FILES / 100; f++) {
        FILE* out = std::fopen((sub + "/f" + std::to_string(f)).c_str(), "wb");
        std::fwrite(block.data(), 1, 100 + f, out);
        std::fclose(out);
      }
    }
  }
  ~Scratch() { std::system(("rm -rf " + dir).c_str()); }
  static void writeRepeated(const std::string& name, const std::vector<char>& block, size_t total) {
    FILE* out = std::fopen(name.c_str(), "wb");
    for (size_t done = 0; done < total; done += block.size())
      std::fwrite(block.data(), 1, block.size(), out);
    std::fclose(out);
  }
  std::string operator/(const char* name) const { return dir + "/" + name; }
};
Scratch& scratch() {
  static Scratch s;
  return s;
}

struct Player {
  VmState* L = VmOpenState();
  Player() {
    VmRegisterBaseFunctions(L);
    VmPushValue(L, VM_GLOBALS_INDEX);
    OpenDosLibrary(L);
    VmSetTop(L, 0);
  }
  ~Player() {
    FreeDosResources(L);
    VmCloseState(L);
  }
  void call(const char* name, const std::vector<std::string>& args) {
    VmSetTop(L, 0);
    VmPushString(L, name);
    VmGetTable(L, VM_GLOBALS_INDEX);
    for (const std::string& a : args) VmPushString(L, a.c_str());
    if (VmPCall(L, static_cast<int>(args.size()), 0, 0) != 0) std::abort();
  }
};

void shell(const std::string& line) {
  if (std::system(line.c_str()) != 0) std::abort();
}

void BM_MD5Command(benchmark::State& state) {
  scratch();  // the inputs are made before the timing starts
  Player p;
  for (auto _ : state) p.call("md5", {scratch() / "hash.bin"});
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(HASH_BYTES));
}
BENCHMARK(BM_MD5Command)->Unit(benchmark::kMillisecond);

void BM_Md5sum(benchmark::State& state) {
  scratch();  // the inputs are made before the timing starts
  for (auto _ : state) shell("md5sum " + scratch() / "hash.bin" + " > /dev/null");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(HASH_BYTES));
}
BENCHMARK(BM_Md5sum)->Unit(benchmark::kMillisecond);

void BM_CompressFileCommand(benchmark::State& state) {
  scratch();  // the inputs are made before the timing starts
  Player p;
  for (auto _ : state) p.call("compressfile", {scratch() / "hash.bin", scratch() / "hash.qmpk"});
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(HASH_BYTES));
}
BENCHMARK(BM_CompressFileCommand)->Unit(benchmark::kMillisecond);

void BM_PythonZlibCompress(benchmark::State& state) {
  scratch();  // the inputs are made before the timing starts
  std::string script =
      "/usr/bin/python3 -c \"import zlib,sys\nc=zlib.compressobj()\nsrc=open(sys.argv[1],'rb')\n"
      "dst=open(sys.argv[2],'wb')\ndst.write(b'QMPK\\0\\0\\0\\0')\nwhile True:\n "
      "b=src.read(16384)\n"
      " if not b: break\n dst.write(c.compress(b))\ndst.write(c.flush())\" ";
  for (auto _ : state) shell(script + scratch() / "hash.bin" + " " + scratch() / "hash.py.qmpk");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(HASH_BYTES));
}
BENCHMARK(BM_PythonZlibCompress)->Unit(benchmark::kMillisecond);

void BM_DecompressFileCommand(benchmark::State& state) {
  scratch();  // the inputs are made before the timing starts
  Player p;
  p.call("compressfile", {scratch() / "hash.bin", scratch() / "hash.qmpk"});
  for (auto _ : state) p.call("decompressfile", {scratch() / "hash.qmpk", scratch() / "hash.out"});
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(HASH_BYTES));
}
BENCHMARK(BM_DecompressFileCommand)->Unit(benchmark::kMillisecond);

void BM_PythonZlibDecompress(benchmark::State& state) {
  scratch();  // the inputs are made before the timing starts
  Player p;
  p.call("compressfile", {scratch() / "hash.bin", scratch() / "hash.qmpk"});
  std::string script =
      "/usr/bin/python3 -c \"import zlib,sys\nd=zlib.decompressobj()\nsrc=open(sys.argv[1],'rb')\n"
      "src.read(8)\ndst=open(sys.argv[2],'wb')\nwhile True:\n b=src.read(16384)\n if not b: break\n"
      " dst.write(d.decompress(b))\ndst.write(d.flush())\" ";
  for (auto _ : state) shell(script + scratch() / "hash.qmpk" + " " + scratch() / "hash.py.out");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(HASH_BYTES));
}
BENCHMARK(BM_PythonZlibDecompress)->Unit(benchmark::kMillisecond);

void BM_CopyFileCommand(benchmark::State& state) {
  scratch();  // the inputs are made before the timing starts
  Player p;
  for (auto _ : state) p.call("copyfile", {scratch() / "copy.bin", scratch() / "copied"});
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(COPY_BYTES));
}
BENCHMARK(BM_CopyFileCommand)->Unit(benchmark::kMillisecond);

void BM_CpPreserve(benchmark::State& state) {
  scratch();  // the inputs are made before the timing starts
  shell("mkdir -p " + scratch() / "cp");
  for (auto _ : state) shell("cp -p " + scratch() / "copy.bin" + " " + scratch() / "cp/");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(COPY_BYTES));
}
BENCHMARK(BM_CpPreserve)->Unit(benchmark::kMillisecond);

void BM_CopyTreeCommand(benchmark::State& state) {
  scratch();  // the inputs are made before the timing starts
  Player p;
  for (auto _ : state) {
    state.PauseTiming();
    shell("rm -rf " + scratch() / "treecopy");
    state.ResumeTiming();
    p.call("copyfile", {scratch() / "tree", scratch() / "treecopy"});
  }
  state.SetItemsProcessed(state.iterations() * TREE_FILES);
}
BENCHMARK(BM_CopyTreeCommand)->Unit(benchmark::kMillisecond);

void BM_CpArchive(benchmark::State& state) {
  scratch();  // the inputs are made before the timing starts
  for (auto _ : state) {
    state.PauseTiming();
    shell("rm -rf " + scratch() / "treecp");
    state.ResumeTiming();
    shell("cp -a " + scratch() / "tree" + " " + scratch() / "treecp");
  }
  state.SetItemsProcessed(state.iterations() * TREE_FILES);
}
BENCHMARK(BM_CpArchive)->Unit(benchmark::kMillisecond);

// CopyFile of the tree against cp -a, each into a target removed before
// (untimed).
void BM_FigureCopyTree(benchmark::State& state) {
  scratch();  // the inputs are made before the timing starts
  Player p;
  benchfigure::Measure(
      state, "dos: CopyFile of a tree of 10000 small files vs cp -a", benchfigure::Kind::SPEED, 0.8,
      7,
      [&] {
        p.call("copyfile", {scratch() / "tree", scratch() / "treecopy"});
      },
      [&] { shell("cp -a " + scratch() / "tree" + " " + scratch() / "treecp"); },
      [&] { shell("rm -rf " + scratch() / "treecopy" + " " + scratch() / "treecp"); });
}
BENCHMARK(BM_FigureCopyTree)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
