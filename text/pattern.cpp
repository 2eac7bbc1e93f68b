// The pattern matcher of the string library: a recursive backtracking
// matcher over single-character classes, sets, repetitions, anchors,
// captures, back-references, balanced pairs and frontiers, on bytes or on
// UTF-8 characters.
//
// Invariant: every subject position the matcher holds is a character
// boundary of the subject (in UTF-8 mode a malformed byte is a character of
// its own, as Utf8DecodeNext steps it), and every entry into match() takes
// one unit of the call budget and gives it back on return, so the native
// recursion depth is bounded by PATTERN_CALL_BUDGET.
#include <cstring>
#include <new>
#include <vector>

#include "text/strcore.h"

namespace {

constexpr char ESC = '%';

// Raised inside the matcher and caught by its entry points, which turn it
// into their returned code; nothing the matcher owns needs unwinding.
struct PatternError {
  ErrorCode code;
};

[[noreturn]] void fail(ErrorCode code) { throw PatternError{code}; }

// A test seam (PatternSetStepBudget); no run state.
uint64_t stepBudget = PATTERN_STEP_BUDGET;

struct Chr {
  uint32_t code;
  size_t len;
};

// The character at p (p < end): one byte, or one UTF-8 sequence.
inline Chr charAt(const MatchState* ms, const char* p, const char* end) {
  if (!ms->utf8) return {static_cast<unsigned char>(*p), 1};
  uint32_t c;
  size_t n = Utf8DecodeNext(p, end, &c);
  return {c, n};
}

inline uint32_t asciiLower(uint32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

bool classMember(const MatchState* ms, uint32_t c, uint32_t cl) {
  bool res;
  bool u = ms->utf8;
  switch (asciiLower(cl)) {
    case 'a':
      res = u ? UnicodeIsAlpha(c) : CharIsAlpha(c);
      break;
    case 'c':
      res = u ? UnicodeIsCntrl(c) : CharIsCntrl(c);
      break;
    case 'd':
      res = u ? UnicodeIsDigit(c) : CharIsDigit(c);
      break;
    case 'g':
      res = u ? UnicodeIsGraph(c) : CharIsGraph(c);
      break;
    case 'l':
      res = u ? UnicodeIsLower(c) : CharIsLower(c);
      break;
    case 'p':
      res = u ? UnicodeIsPunct(c) : CharIsPunct(c);
      break;
    case 's':
      res = u ? UnicodeIsSpace(c) : CharIsSpace(c);
      break;
    case 'u':
      res = u ? UnicodeIsUpper(c) : CharIsUpper(c);
      break;
    case 'w':
      res = u ? UnicodeIsAlnum(c) : CharIsAlnum(c);
      break;
    case 'x':
      res = u ? UnicodeIsXDigit(c) : CharIsXDigit(c);
      break;
    case 'z':
      res = c == 0;
      break;
    default:
      return cl == c;
  }
  if (cl >= 'A' && cl <= 'Z') res = !res;
  return res;
}

// Behind the single-character class that starts at p.
const char* classEnd(const MatchState* ms, const char* p) {
  const char* end = ms->patEnd;
  Chr c = charAt(ms, p, end);
  p += c.len;
  if (c.code == static_cast<uint32_t>(ESC)) {
    if (p >= end) fail(ERR_MALFORMPAT1);
    return p + charAt(ms, p, end).len;
  }
  if (c.code == '[') {
    if (p < end && *p == '^') p++;
    // The first character of the set is taken before "]" is looked for, so
    // "[]" and "[^]" start sets that contain "]".
    do {
      if (p >= end) fail(ERR_MALFORMPAT2);
      Chr d = charAt(ms, p, end);
      p += d.len;
      if (d.code == static_cast<uint32_t>(ESC) && p < end) p += charAt(ms, p, end).len;
    } while (p >= end || *p != ']');
    return p + 1;
  }
  return p;
}

// p points at "[", ec at the closing "]".
bool matchSet(const MatchState* ms, uint32_t c, const char* p, const char* ec) {
  bool sig = true;
  p++;
  if (*p == '^') {
    sig = false;
    p++;
  }
  while (p < ec) {
    Chr a = charAt(ms, p, ec);
    if (a.code == static_cast<uint32_t>(ESC)) {
      p += a.len;
      Chr cl = charAt(ms, p, ec);
      p += cl.len;
      if (classMember(ms, c, cl.code)) return sig;
      continue;
    }
    const char* next = p + a.len;
    if (next < ec && *next == '-' && next + 1 < ec) {
      Chr b = charAt(ms, next + 1, ec);
      if (a.code <= c && c <= b.code) return sig;
      p = next + 1 + b.len;
      continue;
    }
    if (a.code == c) return sig;
    p = next;
  }
  return !sig;
}

// Whether character c matches the single-character class [p, ep).
bool singleMatch(const MatchState* ms, uint32_t c, const char* p, const char* ep) {
  Chr pc = charAt(ms, p, ep);
  switch (pc.code) {
    case '.':
      return true;
    case ESC:
      return classMember(ms, c, charAt(ms, p + 1, ep).code);
    case '[':
      return matchSet(ms, c, p, ep - 1);
    default:
      return pc.code == c;
  }
}

const char* match(MatchState* ms, const char* s, const char* p);

// Takes one unit of the budget for an entry into match() and gives it back.
struct BudgetUnit {
  explicit BudgetUnit(MatchState* ms) : ms_(ms) {
    if (ms_->budget <= 0 || ms_->steps == 0) fail(ERR_COMPLEXPATTERN);
    ms_->budget--;
    ms_->steps--;
  }
  ~BudgetUnit() { ms_->budget++; }
  MatchState* ms_;
};

const char* matchBalance(MatchState* ms, const char* s, const char* p, const char** after) {
  const char* end = ms->patEnd;
  if (p >= end) fail(ERR_UNBALANCEDPAT);
  Chr open = charAt(ms, p, end);
  if (p + open.len >= end) fail(ERR_UNBALANCEDPAT);
  Chr close = charAt(ms, p + open.len, end);
  *after = p + open.len + close.len;
  if (s >= ms->srcEnd) return nullptr;
  Chr c = charAt(ms, s, ms->srcEnd);
  if (c.code != open.code) return nullptr;
  int count = 1;
  s += c.len;
  while (s < ms->srcEnd) {
    c = charAt(ms, s, ms->srcEnd);
    s += c.len;
    if (c.code == close.code) {
      if (--count == 0) return s;
    } else if (c.code == open.code) {
      count++;
    }
  }
  return nullptr;
}

const char* maxExpand(MatchState* ms, const char* s, const char* p, const char* ep) {
  if (!ms->utf8) {
    ptrdiff_t i = 0;
    while (s + i < ms->srcEnd && singleMatch(ms, static_cast<unsigned char>(s[i]), p, ep)) i++;
    for (; i >= 0; i--) {
      const char* res = match(ms, s + i, ep + 1);
      if (res) return res;
    }
    return nullptr;
  }
  // Characters have different lengths, so the positions are kept to step
  // back over exactly the characters that were taken.
  std::vector<const char*> stops;
  stops.push_back(s);
  while (s < ms->srcEnd) {
    Chr c = charAt(ms, s, ms->srcEnd);
    if (!singleMatch(ms, c.code, p, ep)) break;
    s += c.len;
    stops.push_back(s);
  }
  for (size_t i = stops.size(); i-- > 0;) {
    const char* res = match(ms, stops[i], ep + 1);
    if (res) return res;
  }
  return nullptr;
}

const char* minExpand(MatchState* ms, const char* s, const char* p, const char* ep) {
  for (;;) {
    const char* res = match(ms, s, ep + 1);
    if (res) return res;
    if (s >= ms->srcEnd) return nullptr;
    Chr c = charAt(ms, s, ms->srcEnd);
    if (!singleMatch(ms, c.code, p, ep)) return nullptr;
    s += c.len;
  }
}

const char* startCapture(MatchState* ms, const char* s, const char* p, ptrdiff_t what) {
  if (ms->level >= PATTERN_MAX_CAPTURES) fail(ERR_TOOMANYCAPTURES);
  ms->capture[ms->level].init = s;
  ms->capture[ms->level].len = what;
  ms->level++;
  const char* res = match(ms, s, p);
  if (!res) ms->level--;
  return res;
}

const char* endCapture(MatchState* ms, const char* s, const char* p) {
  int l = -1;
  for (int i = ms->level - 1; i >= 0; i--) {
    if (ms->capture[i].len == PATTERN_CAP_OPEN) {
      l = i;
      break;
    }
  }
  if (l < 0) fail(ERR_INVPATCAP);
  ms->capture[l].len = s - ms->capture[l].init;
  const char* res = match(ms, s, p);
  if (!res) ms->capture[l].len = PATTERN_CAP_OPEN;
  return res;
}

// A back-reference needs a closed text capture; a position capture has no
// text to compare, so it is refused like an open one.
const char* matchCapture(MatchState* ms, const char* s, int digit) {
  int l = digit - 1;
  if (l < 0 || l >= ms->level || ms->capture[l].len < 0) fail(ERR_INVCAPIDX);
  size_t len = static_cast<size_t>(ms->capture[l].len);
  if (static_cast<size_t>(ms->srcEnd - s) >= len && std::memcmp(ms->capture[l].init, s, len) == 0)
    return s + len;
  return nullptr;
}

// The character before s (code 0 at the subject's start).
uint32_t previousChar(const MatchState* ms, const char* s) {
  if (s == ms->srcInit) return 0;
  if (!ms->utf8) return static_cast<unsigned char>(s[-1]);
  const char* q = Utf8PrevChar(ms->srcInit, s);
  return charAt(ms, q, s).code;
}

const char* match(MatchState* ms, const char* s, const char* p) {
  BudgetUnit unit(ms);
  const char* pend = ms->patEnd;
  for (;;) {
    if (p >= pend) return s;
    switch (*p) {
      case '(':
        if (p + 1 < pend && p[1] == ')') return startCapture(ms, s, p + 2, PATTERN_CAP_POSITION);
        return startCapture(ms, s, p + 1, PATTERN_CAP_OPEN);
      case ')':
        return endCapture(ms, s, p + 1);
      case '$':
        if (p + 1 == pend) return s == ms->srcEnd ? s : nullptr;
        break;
      case ESC:
        if (p + 1 < pend && p[1] == 'b') {
          const char* after;
          s = matchBalance(ms, s, p + 2, &after);
          if (!s) return nullptr;
          p = after;
          continue;
        }
        if (p + 1 < pend && p[1] == 'f') {
          p += 2;
          if (p >= pend || *p != '[') fail(ERR_MISSINGOPBRACK);
          const char* ep = classEnd(ms, p);
          uint32_t prev = previousChar(ms, s);
          uint32_t next = s < ms->srcEnd ? charAt(ms, s, ms->srcEnd).code : 0;
          if (matchSet(ms, prev, p, ep - 1) || !matchSet(ms, next, p, ep - 1)) return nullptr;
          p = ep;
          continue;
        }
        if (p + 1 < pend && p[1] >= '1' && p[1] <= '9') {
          s = matchCapture(ms, s, p[1] - '0');
          if (!s) return nullptr;
          p += 2;
          continue;
        }
        break;
      default:
        break;
    }
    // A single-character class, perhaps followed by a repetition.
    const char* ep = classEnd(ms, p);
    Chr c{0, 0};
    bool m = false;
    if (s < ms->srcEnd) {
      c = charAt(ms, s, ms->srcEnd);
      m = singleMatch(ms, c.code, p, ep);
    }
    char suffix = ep < pend ? *ep : '\0';
    switch (suffix) {
      case '?': {
        if (m) {
          const char* res = match(ms, s + c.len, ep + 1);
          if (res) return res;
        }
        p = ep + 1;
        continue;
      }
      case '*':
        return maxExpand(ms, s, p, ep);
      case '+':
        return m ? maxExpand(ms, s + c.len, p, ep) : nullptr;
      case '-':
        return minExpand(ms, s, p, ep);
      default:
        if (!m) return nullptr;
        s += c.len;
        p = ep;
        continue;
    }
  }
}

}  // namespace

void PatternSetStepBudget(uint64_t steps) { stepBudget = steps; }

void PatternInitState(MatchState* ms, const char* subject, size_t length, const char* pattern,
                      size_t patternLength, bool utf8) {
  ms->srcInit = subject;
  ms->srcEnd = subject + length;
  ms->patEnd = pattern + patternLength;
  ms->budget = PATTERN_CALL_BUDGET;
  ms->steps = stepBudget;
  ms->level = 0;
  ms->utf8 = utf8;
  ms->positions = nullptr;
}

namespace {

// One match attempt at s, within the step budget the caller set.
ErrorCode matchHere(MatchState* ms, const char* s, const char* pattern, const char** end) {
  ms->level = 0;
  ms->budget = PATTERN_CALL_BUDGET;
  try {
    *end = match(ms, s, pattern);
  } catch (const PatternError& e) {
    return e.code;
  } catch (const std::bad_alloc&) {
    return ERR_MEM;
  }
  return ERR_NONE;
}

}  // namespace

ErrorCode PatternMatchHere(MatchState* ms, const char* s, const char* pattern, const char** end) {
  ms->steps = stepBudget;
  return matchHere(ms, s, pattern, end);
}

ErrorCode PatternSearch(MatchState* ms, const char* from, const char* pattern, bool honourAnchor,
                        const char** start, const char** end) {
  bool anchor = honourAnchor && pattern < ms->patEnd && *pattern == '^';
  if (anchor) pattern++;
  const char* s = from;
  *start = nullptr;
  *end = nullptr;
  ms->steps = stepBudget;
  for (;;) {
    const char* e = nullptr;  // set by matchHere whenever it succeeds
    ErrorCode code = matchHere(ms, s, pattern, &e);
    if (code != ERR_NONE) return code;
    if (e) {
      *start = s;
      *end = e;
      return ERR_NONE;
    }
    if (anchor || s >= ms->srcEnd) return ERR_NONE;
    s += ms->utf8 ? charAt(ms, s, ms->srcEnd).len : 1;
  }
}

namespace {

// Out of line, so that counting a short subject from its start keeps a
// small frame.
[[gnu::noinline]] size_t charsFromPlaces(TextPositions* positions, size_t bytes) {
  return positions->CharsBefore(bytes);
}

}  // namespace

size_t PatternCharIndex(const MatchState* ms, const char* p) {
  size_t bytes = static_cast<size_t>(p - ms->srcInit);
  if (!ms->utf8) return bytes;
  return ms->positions ? charsFromPlaces(ms->positions, bytes) : Utf8CharCount(ms->srcInit, p);
}

ErrorCode PatternGetValue(const MatchState* ms, int i, const char* s, const char* e,
                          PatternValue* out) {
  out->isPosition = false;
  out->position = 0;
  if (i >= ms->level) {
    if (i != 0) return ERR_INVCAPIDX;
    out->text = s;
    out->length = static_cast<size_t>(e - s);
    return ERR_NONE;
  }
  const PatternCapture& cap = ms->capture[i];
  if (cap.len == PATTERN_CAP_OPEN) return ERR_UNFINISHEDCAPTURE;
  if (cap.len == PATTERN_CAP_POSITION) {
    out->isPosition = true;
    out->position = static_cast<double>(PatternCharIndex(ms, cap.init)) + 1;
    out->text = nullptr;
    out->length = 0;
    return ERR_NONE;
  }
  out->text = cap.init;
  out->length = static_cast<size_t>(cap.len);
  return ERR_NONE;
}
