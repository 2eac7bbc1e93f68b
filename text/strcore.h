// Private services of the string library: the pattern matcher, the
// expression evaluator and the number formatters as plain functions over
// byte ranges, so that the command functions only read arguments and push
// results; plus the scope that makes a command's encoding argument the
// text mode for the duration of the command.
//
// Invariant: none of these functions touches the VM (except TextPositions,
// which keeps the long texts it remembers alive through the registry);
// each reports failure as an ErrorCode and leaves its outputs unspecified
// then.
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

// ---- Character positions ----

// The character positions of one command's text: in UTF-8 mode found by a
// forward walk over the characters as Utf8Step says, in byte mode the
// bytes themselves. A walk starts from the nearest place the library
// remembers at or before the wanted one, so a script that goes through a
// long text by positions walks it once, not once per call: for the last
// few long texts used, the library keeps the last places asked for and a
// place every POSITION_MARK_SPACING characters as far as walked, and the
// text itself alive (strings never change, so the places hold while the
// text lives). Texts shorter than POSITION_CACHED_LENGTH bytes are walked
// from their start.
constexpr size_t POSITION_CACHED_LENGTH = 2048;
constexpr size_t POSITION_MARK_SPACING = 1024;

class TextPositions {
 public:
  // text (len bytes) is the string at stack index `index` of L, which must
  // stay there while this object is used.
  TextPositions(VmState* L, int index, const char* text, size_t len, bool utf8,
                Utf8Step step = Utf8Step::DECODE)
      : L_(L), index_(index), text_(text), len_(len), utf8_(utf8), step_(step) {}
  TextPositions(const TextPositions&) = delete;
  TextPositions& operator=(const TextPositions&) = delete;
  // The place of character n, or the end when the text has fewer.
  Utf8Place PlaceOf(size_t n) { return walk(n, len_); }
  // Byte offset of character n, clipped to the length.
  size_t ByteOf(size_t n) { return PlaceOf(n).byte; }
  // Characters that start before byte offset b (b <= the length).
  size_t CharsBefore(size_t b) { return walk(SIZE_MAX, b).chars; }
  size_t Count() { return CharsBefore(len_); }

 private:
  Utf8Place walk(size_t maxChars, size_t stop) {
    if (!utf8_) {
      size_t b = maxChars < stop ? maxChars : stop;
      return {b, b};
    }
    Utf8Place at = last_.chars <= maxChars && last_.byte <= stop ? last_ : Utf8Place{0, 0};
    if (len_ >= POSITION_CACHED_LENGTH) return walkRemembered(at, maxChars, stop);
    Utf8Walk(text_, len_, step_, &at, maxChars, stop);
    last_ = at;
    return at;
  }
  // walk() of a long text, from at (a place at or before the target).
  Utf8Place walkRemembered(Utf8Place at, size_t maxChars, size_t stop);

  VmState* L_;
  int index_;
  const char* text_;
  size_t len_;
  bool utf8_;
  Utf8Step step_;
  Utf8Place last_{0, 0};  // the place this object walked to last
};

// Forgets every remembered text without releasing it: for a new VM state,
// whose registry holds none of them.
void ForgetTextPositions();

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
  // Counts the subject's characters for the positions a match yields (by
  // lead bytes); null counts from the subject's start each time.
  TextPositions* positions;
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
