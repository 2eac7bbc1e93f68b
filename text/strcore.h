// Private services of the string library: the pattern matcher, the
// expression evaluator and the number formatters as plain functions over
// byte ranges, so that the command functions only read arguments and push
// results; plus the scope that makes a command's encoding argument the
// text mode for the duration of the command.
//
// Invariant: none of these functions touches the VM; each reports failure
// as an ErrorCode and leaves its outputs unspecified then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "runtime/runtime.h"

// ---- Encoding of one command ----

// Sets the run's text mode to the command's encoding (0 bytes, 1 UTF-8) and
// restores the previous mode when it goes out of scope, so that the
// Unicode layer's mode-dependent routines follow the encoding argument.
class EncodingScope {
 public:
  explicit EncodingScope(int utf8) : saved_(unicodeUtf8Mode) { unicodeUtf8Mode = utf8 ? 1 : 0; }
  ~EncodingScope() { unicodeUtf8Mode = saved_; }
  EncodingScope(const EncodingScope&) = delete;
  EncodingScope& operator=(const EncodingScope&) = delete;

 private:
  int32_t saved_;
};

// ---- Pattern matching ----

constexpr int PATTERN_MAX_CAPTURES = 32;  // a 33rd capture is refused
constexpr int PATTERN_CALL_BUDGET = 200;  // nested matcher entries allowed
// Matcher entries allowed for one search. Backtracking over repetitions can
// take time polynomial in the subject's length with the number of
// repetitions as the power; past this budget the pattern is refused as too
// complex instead of hanging the script.
constexpr uint64_t PATTERN_STEP_BUDGET = 20000000;
constexpr ptrdiff_t PATTERN_CAP_OPEN = -1;
constexpr ptrdiff_t PATTERN_CAP_POSITION = -2;

struct PatternCapture {
  const char* init;
  ptrdiff_t len;  // bytes, or PATTERN_CAP_OPEN / PATTERN_CAP_POSITION
};

struct MatchState {
  const char* srcInit;
  const char* srcEnd;
  const char* patEnd;
  int budget;
  uint64_t steps;  // matcher entries left for the current search
  int level;       // captures opened so far (open or closed)
  PatternCapture capture[PATTERN_MAX_CAPTURES];
  bool utf8;
};

// Test seam: the step budget of each search (PATTERN_STEP_BUDGET by
// default); fuzzing lowers it so refusals come quickly.
void PatternSetStepBudget(uint64_t steps);
void PatternInitState(MatchState* ms, const char* subject, size_t length, const char* pattern,
                      size_t patternLength, bool utf8);
// Searches from byte position from (a character boundary) for the first
// match. A leading "^" anchors the search when honourAnchor is set, and is
// an ordinary character otherwise. *start is null when nothing matched.
ErrorCode PatternSearch(MatchState* ms, const char* from, const char* pattern, bool honourAnchor,
                        const char** start, const char** end);
// Tries the pattern (without anchor handling) at s only; *end is null when
// it does not match there.
ErrorCode PatternMatchHere(MatchState* ms, const char* s, const char* pattern, const char** end);

// One result value of a match: capture i, or the whole match [s, e) when
// the pattern has no captures and i is 0.
struct PatternValue {
  bool isPosition;
  double position;  // 1-based, characters in UTF-8 mode
  const char* text;
  size_t length;
};
ErrorCode PatternGetValue(const MatchState* ms, int i, const char* s, const char* e,
                          PatternValue* out);
// Number of values a match yields: its captures, or 1 for the whole match.
inline int PatternValueCount(const MatchState* ms) { return ms->level == 0 ? 1 : ms->level; }
// Character index of byte position p (bytes in byte mode).
size_t PatternCharIndex(const MatchState* ms, const char* p);

// ---- Expressions ----

struct EvalVariable {
  std::string name;
  double value;
};
// Evaluates the whole text (a zero byte inside it is a character the
// expression cannot hold); names compare without regard to ASCII case.
ErrorCode EvalExpression(const char* text, size_t length,
                         const std::vector<EvalVariable>& variables, double* result);
// Whether a variable name is acceptable: 1 to 64 characters, a letter or "_"
// first, then letters, digits, "_", "$" or "!".
bool EvalIsValidName(const char* name, size_t length);

// ---- Number formatting ----

// The arguments of FormatStr, read as each conversion asks for them. The
// readers may raise (argument errors); index counts from the first value.
class FormatArguments {
 public:
  virtual ~FormatArguments() = default;
  virtual double Number(int index) = 0;
  virtual std::string Text(int index) = 0;
};
ErrorCode FormatText(const char* format, size_t length, FormatArguments* args, std::string* out);
std::string FormatStrStr(double value, int32_t decimals);
ErrorCode FormatPadNum(double value, double length, std::string* out);
std::string FormatHexStr(double value);
std::string FormatBinStr(double value, int32_t type);

// Conversions of doubles to 32-bit integers, through the engine's one
// saturating truncation: rounding to nearest (ties to even) and the
// bit-operand reading (non-negative values keep their low 32 bits through a
// 64-bit integer, negative ones are rounded to signed 32 bits).
int32_t RoundToInt32(double d);
uint32_t BitsOfRounded(double d);
