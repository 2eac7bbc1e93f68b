// Feeds arbitrary bytes to the string library's text machinery: the
// pattern matcher in both encodings (the first byte splits subject from
// pattern), the expression evaluator, the printf-like formatter and the
// number reader. The sanitizers catch any read past a range; the checks
// below hold for any input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "text/strcore.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Values for the formatter: numbers of every size and texts of both sides
// of the whole-copy length.
class Values : public FormatArguments {
 public:
  double Number(int index) override { return index * 1.5e10 - 3; }
  std::string Text(int index) override {
    return std::string(static_cast<size_t>(index) * 37 % 150, 'x');
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // Backtracking patterns are refused after this many steps; a small budget
  // keeps each input well inside the time-out.
  PatternSetStepBudget(200000);
  const char* raw = reinterpret_cast<const char*>(data) + 1;
  size_t n = size - 1;
  size_t split = data[0] % size;
  if (split > n) split = n;
  std::string subject(raw, split), pattern(raw + split, n - split);
  for (int utf8 = 0; utf8 < 2; utf8++) {
    MatchState ms;
    PatternInitState(&ms, subject.data(), subject.size(), pattern.data(), pattern.size(),
                     utf8 != 0);
    const char *s, *e;
    if (PatternSearch(&ms, subject.data(), pattern.data(), true, &s, &e) == ERR_NONE && s) {
      check(s <= e && e <= subject.data() + subject.size());
      for (int i = 0; i < PatternValueCount(&ms); i++) {
        PatternValue v;
        PatternGetValue(&ms, i, s, e, &v);
      }
    }
  }

  std::string all(raw, n);
  std::vector<EvalVariable> vars = {{"x", 2}, {"and_y", 3}};
  double result = 0;
  EvalExpression(all.c_str(), all.size(), vars, &result);
  Values values;
  std::string out;
  FormatText(all.data(), all.size(), &values, &out);
  size_t used = 0;
  ErrorCode error;
  ParseNumberString(all.c_str(), &used, &error);
  check(used <= all.size());
  FormatStrStr(result, static_cast<int32_t>(n) - 5);
  return 0;
}
