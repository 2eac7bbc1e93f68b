// The string library's commands that take or give character positions, on
// a short UTF-8 string (20 characters, 30 bytes) as scripts call them most:
// the cost of one call, command lookup and argument reading included. And
// the same commands walking a long text (714 KB) by positions forwards and
// backwards, one call per line. No targets: the short rows compare a
// change of the position code with the build before it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "text/text.h"

namespace {

// A mixed short text: ASCII, two-, three- and four-byte characters.
const char SHORT[] =
    "Gr\xC3\xBC\xC3\x9F"
    "e, 5 \xE2\x82\xAC f\xC3\xBCr \xF0\x9D\x84\x9E ok fox";

struct Arg {
  bool isText;
  double n;
  const char* s;
  Arg(double v) : isText(false), n(v), s(nullptr) {}
  Arg(int v) : isText(false), n(v), s(nullptr) {}
  Arg(const char* v) : isText(true), n(0), s(v) {}
};

struct Row {
  const char* name;
  const char* command;  // global name, lower case
  std::vector<Arg> args;
};

const std::vector<Row>& shortRows() {
  static const std::vector<Row> rows = {
      {"StrLen", "strlen", {SHORT}},
      {"LeftStr", "leftstr", {SHORT, 12}},
      {"RightStr", "rightstr", {SHORT, 8}},
      {"MidStr", "midstr", {SHORT, 6, 5}},
      {"UnleftStr", "unleftstr", {SHORT, 3}},
      {"UnrightStr", "unrightstr", {SHORT, 3}},
      {"UnmidStr", "unmidstr", {SHORT, 4, 3}},
      {"InsertStr", "insertstr", {SHORT, "--", 9}},
      {"Asc", "asc", {SHORT, 8}},
      {"ByteOffset", "byteoffset", {SHORT, 14}},
      {"CharOffset", "charoffset", {SHORT, 18}},
      {"CharWidth", "charwidth", {SHORT, 14}},
      {"IsAlpha", "isalpha", {SHORT, 3}},
      {"FindStr", "findstr", {SHORT, "fox", 1, 4}},
      {"FindStrCaseless", "findstr", {SHORT, "FOX", 0, 4}},
      {"CountStr", "countstr", {SHORT, "o"}},
      {"ReplaceStr", "replacestr", {SHORT, "o", "0", 1, 2}},
      {"SplitStr", "splitstr", {SHORT, " "}},
      {"PatternFindStrDirect", "patternfindstrdirect", {SHORT, "%a+", 3}},
      {"PatternFindStrShort", "patternfindstrshort", {SHORT, "(%d) (.)", 2}},
      {"PatternReplaceStr", "patternreplacestr", {SHORT, "%s", "_"}},
  };
  return rows;
}

void pushGlobal(VmState* L, const char* name) {
  VmPushString(L, name);
  VmGetTable(L, VM_GLOBALS_INDEX);
}

struct Player {
  VmState* L = VmOpenState();
  Player() {
    if (L == nullptr) std::abort();
    VmRegisterBaseFunctions(L);
    VmPushValue(L, VM_GLOBALS_INDEX);
    if (OpenStringLibrary(L) != 0) std::abort();
    VmSetTop(L, 0);
  }
  ~Player() { VmCloseState(L); }
  // Pushes the command and its arguments; calls them and drops the
  // results. The text arguments are pushed once, at index 1 on.
  void Call(const char* command, int nargs) {
    pushGlobal(L, command);
    for (int i = 1; i <= nargs; i++) VmPushValue(L, i);
    if (VmPCall(L, nargs, 1, 0) != 0) std::abort();
    VmSetTop(L, nargs);
  }
};

void push(VmState* L, const Arg& a) {
  if (a.isText)
    VmPushString(L, a.s);
  else
    VmPushNumber(L, a.n);
}

void BM_ShortString(benchmark::State& state, const Row* row) {
  Player p;
  for (const Arg& a : row->args) push(p.L, a);
  int n = static_cast<int>(row->args.size());
  for (auto _ : state) p.Call(row->command, n);
}

// 8,080 lines of 16 kinds, mostly ASCII with some multi-byte characters.
std::string longText() {
  std::string block;
  for (int i = 1; i <= 16; i++)
    block += "line " + std::to_string(i) +
             ": the quick brown fox jumps over the lazy dog; Gr\xC3\xBC\xC3\x9F"
             "e aus K\xC3\xB6ln, 5 \xE2\x82\xAC f\xC3\xBCr \xF0\x9D\x84\x9E\n";
  std::string text;
  for (int i = 0; i < 505; i++) text += block;
  return text;
}

// One MidStr of a line's first 10 characters per line of the long text,
// from the first line to the last (arg 0) or from the last to the first.
void BM_LongTextMidStr(benchmark::State& state) {
  Player p;
  std::string text = longText();
  VmPushLString(p.L, text.data(), text.size());
  // Character positions of the line starts.
  std::vector<double> starts;
  size_t chars = 0;
  starts.push_back(0);
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) != 0x80) chars++;
    if (c == '\n' && i + 1 < text.size()) starts.push_back(static_cast<double>(chars));
  }
  bool backwards = state.range(0) != 0;
  for (auto _ : state) {
    for (size_t k = 0; k < starts.size(); k++) {
      double at = starts[backwards ? starts.size() - 1 - k : k];
      pushGlobal(p.L, "midstr");
      VmPushValue(p.L, 1);
      VmPushNumber(p.L, at);
      VmPushNumber(p.L, 10);
      if (VmPCall(p.L, 3, 1, 0) != 0) std::abort();
      VmSetTop(p.L, 1);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * starts.size()));
}
BENCHMARK(BM_LongTextMidStr)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

[[maybe_unused]] const int registered = [] {
  for (const Row& row : shortRows())
    benchmark::RegisterBenchmark((std::string("BM_ShortString/") + row.name).c_str(),
                                 BM_ShortString, &row);
  return 0;
}();

}  // namespace
