// Speed of the Unicode layer's per-character routines that the string
// library calls in its loops: validation, decoding, case-less compare and
// collation, on ASCII and on mixed-script text.
#include <benchmark/benchmark.h>

#include <string>

#include "runtime/runtime.h"
#include "platform/linux/unicode_private.h"

namespace {

std::string makeText(bool mixed, size_t bytes) {
  const char* piece = mixed ? "Gr\xC3\xBC\xC3\x9F"
                              "e \xCE\xBA\xCF\x8C\xCF\x83\xCE\xBC\xCE\xB5 \xE2\x82\xAC "
                            : "Hello, world ";
  std::string s;
  while (s.size() < bytes) s += piece;
  return s;
}

void BM_Utf8Validate(benchmark::State& state) {
  std::string text = makeText(state.range(0) != 0, 1 << 16);
  for (auto _ : state) {
    int error;
    benchmark::DoNotOptimize(Utf8Validate(text.data(), text.size(), &error));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Utf8Validate)->Arg(0)->Arg(1);

void BM_Utf8DecodeNext(benchmark::State& state) {
  std::string text = makeText(state.range(0) != 0, 1 << 16);
  const char* end = text.data() + text.size();
  for (auto _ : state) {
    uint32_t sum = 0;
    for (const char* p = text.data(); p < end;) {
      uint32_t c;
      p += Utf8DecodeNext(p, end, &c);
      sum += c;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Utf8DecodeNext)->Arg(0)->Arg(1);

void BM_CompareNoCase(benchmark::State& state) {
  unicodeUtf8Mode = 1;
  std::string a = makeText(state.range(0) != 0, 4096);
  std::string b = a;
  StrToUpper(b.data());
  for (auto _ : state) benchmark::DoNotOptimize(CompareNoCase(a.c_str(), b.c_str()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * a.size()));
}
BENCHMARK(BM_CompareNoCase)->Arg(0)->Arg(1);

void BM_CollateCompare(benchmark::State& state) {
  std::string a = makeText(state.range(0) != 0, 4096);
  std::string b = a;
  StrToUpper(b.data());
  for (auto _ : state) benchmark::DoNotOptimize(CollateCompare(a.c_str(), b.c_str(), 1));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * a.size()));
}
BENCHMARK(BM_CollateCompare)->Arg(0)->Arg(1);

}  // namespace
