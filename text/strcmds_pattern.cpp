// The string library's pattern commands: PatternFindStrShort,
// PatternFindStrDirect, the iterator of PatternFindStr and
// PatternReplaceStr, over the matcher of text/pattern.cpp.
//
// Invariant: subject positions handed between calls (the iterator's stored
// position) are byte offsets at character boundaries, never beyond the
// subject's length plus one; script code run by a replacement function sees
// the run's own text mode, not the command's encoding.
#include <optional>
#include <string>

#include "text/strcmds.h"

namespace {

struct PatternArgs {
  const char* s;
  size_t len;
  const char* p;
  size_t plen;
  bool utf8;
};

// Pushes the values of a match (captures, or the whole match); the number
// pushed, or an error before anything is pushed.
ErrorCode pushValues(VmState* L, const MatchState* ms, const char* s, const char* e,
                     bool wholeWhenNone, int* pushed) {
  int n = wholeWhenNone ? PatternValueCount(ms) : ms->level;
  PatternValue values[PATTERN_MAX_CAPTURES];
  for (int i = 0; i < n; i++) {
    ErrorCode err = PatternGetValue(ms, i, s, e, &values[i]);
    if (err != ERR_NONE) return err;
  }
  if (n > 0 && !VmCheckStack(L, n)) return ERR_STACK;
  for (int i = 0; i < n; i++) {
    if (values[i].isPosition)
      VmPushNumber(L, values[i].position);
    else
      VmPushLString(L, values[i].text, values[i].length);
  }
  *pushed = n;
  return ERR_NONE;
}

// Lets the match count the positions it yields in a long UTF-8 subject
// (the string at stack index `index`) from the places remembered for it; a
// short one is counted from its start, with less ado.
void countPositions(VmState* L, int index, MatchState* ms, std::optional<TextPositions>* counter) {
  size_t len = static_cast<size_t>(ms->srcEnd - ms->srcInit);
  if (ms->utf8 && len >= POSITION_CACHED_LENGTH)
    ms->positions = &counter->emplace(L, index, ms->srcInit, len, true, Utf8Step::LEAD);
}

// Reads subject, pattern, start (argument 3, characters) and encoding
// (argument 4); *from receives the start as a byte offset.
ErrorCode searchArgs(VmState* L, PatternArgs* a, const char** from) {
  a->s = VmCheckString(L, 1, &a->len);
  a->p = VmCheckString(L, 2, &a->plen);
  int32_t start = VmOptInteger(L, 3, 0);
  a->utf8 = EncodingArg(L, 4);
  if (start < 0) return ERR_WRONGUSAGE;
  // The end of the subject is a start; a position past it is not.
  Utf8Place at = TextPositions(L, 1, a->s, a->len, a->utf8).PlaceOf(static_cast<size_t>(start));
  if (at.chars < static_cast<size_t>(start)) return ERR_WRONGUSAGE;
  *from = a->s + at.byte;
  return ERR_NONE;
}

// The first match of PatternFindStrShort and PatternFindStrDirect, searched
// under the command's encoding; *start is null when nothing matched.
// counter holds what counts the subject's characters for the results.
ErrorCode firstMatch(VmState* L, MatchState* ms, std::optional<TextPositions>* counter,
                     const char** start, const char** end) {
  CheckArgCount(L, 2, 4, 0, 0);
  PatternArgs a;
  const char* from;
  ErrorCode err = searchArgs(L, &a, &from);
  if (err != ERR_NONE) return err;
  EncodingScope scope(a.utf8);
  PatternInitState(ms, a.s, a.len, a.p, a.plen, a.utf8);
  countPositions(L, 1, ms, counter);
  return PatternSearch(ms, from, a.p, true, start, end);
}

// PatternFindStrShort gives the values of the first match (its captures, or
// the whole match); PatternFindStrDirect gives its start and end positions
// followed by its captures. Both give -1 when nothing matches.
int findFirst(VmState* L, bool positions) {
  MatchState ms;
  std::optional<TextPositions> counter;
  const char *ms0, *me;
  ErrorCode err = firstMatch(L, &ms, &counter, &ms0, &me);
  if (err != ERR_NONE) return err;
  if (!ms0) {
    VmPushNumber(L, -1);
    return 1;
  }
  int n;
  if (!positions) {
    err = pushValues(L, &ms, ms0, me, true, &n);
    return err != ERR_NONE ? err : n;
  }
  double start = static_cast<double>(PatternCharIndex(&ms, ms0));
  double end = static_cast<double>(PatternCharIndex(&ms, me)) - 1;
  // Captures are checked before the positions go on the stack.
  err = pushValues(L, &ms, ms0, me, false, &n);
  if (err != ERR_NONE) return err;
  if (!VmCheckStack(L, 2)) return ERR_STACK;
  VmPushNumber(L, start);
  VmInsert(L, -(n + 1));
  VmPushNumber(L, end);
  VmInsert(L, -(n + 1));
  return n + 2;
}

int cmdPatternFindStrShort(VmState* L) { return findFirst(L, false); }
int cmdPatternFindStrDirect(VmState* L) { return findFirst(L, true); }

// Upvalues of the iterator: subject, pattern, byte position, encoding.
int iterateMatches(VmState* L) {
  size_t len, plen;
  const char* s = VmToString(L, VmUpvalueIndexOf(1));
  len = VmStrLen(L, VmUpvalueIndexOf(1));
  const char* p = VmToString(L, VmUpvalueIndexOf(2));
  plen = VmStrLen(L, VmUpvalueIndexOf(2));
  double stored = VmToNumber(L, VmUpvalueIndexOf(3));
  bool utf8 = VmToNumber(L, VmUpvalueIndexOf(4)) != 0;
  if (!(stored >= 0) || stored > static_cast<double>(len)) return 0;
  EncodingScope scope(utf8);
  MatchState ms;
  PatternInitState(&ms, s, len, p, plen, utf8);
  std::optional<TextPositions> counter;
  countPositions(L, VmUpvalueIndexOf(1), &ms, &counter);
  const char *ms0, *me;
  ErrorCode err = PatternSearch(&ms, s + static_cast<size_t>(stored), p, false, &ms0, &me);
  if (err != ERR_NONE) return err;
  if (!ms0) {
    VmPushNumber(L, static_cast<double>(len) + 1);
    VmReplace(L, VmUpvalueIndexOf(3));
    return 0;
  }
  size_t next = static_cast<size_t>(me - s);
  if (me == ms0)
    next += me < s + len ? (utf8 ? static_cast<size_t>(Utf8NextChar(me, s + len) - me) : 1) : 1;
  int n;
  err = pushValues(L, &ms, ms0, me, true, &n);
  if (err != ERR_NONE) return err;
  VmPushNumber(L, static_cast<double>(next));
  VmReplace(L, VmUpvalueIndexOf(3));
  return n;
}

int cmdPatternFindStr(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  VmCheckString(L, 1, nullptr);
  VmCheckString(L, 2, nullptr);
  bool utf8 = EncodingArg(L, 3);
  VmSetTop(L, 2);
  VmPushNumber(L, 0);
  VmPushNumber(L, utf8 ? 1 : 0);
  VmPushCClosure(L, iterateMatches, 4);
  return 1;
}

// Appends the replacement text of one match: "%0" the match, "%1" to
// "%9" its captures, "%%" a percent sign.
ErrorCode appendTemplate(VmState* L, const MatchState* ms, const char* r, size_t rlen,
                         const char* s, const char* e, std::string* out) {
  for (size_t i = 0; i < rlen; i++) {
    if (r[i] != '%') {
      out->push_back(r[i]);
      continue;
    }
    i++;
    if (i >= rlen) return ERR_ESCREPLACE;
    char c = r[i];
    if (c == '%') {
      out->push_back('%');
    } else if (c == '0') {
      out->append(s, static_cast<size_t>(e - s));
    } else if (c >= '1' && c <= '9') {
      PatternValue v;
      ErrorCode err = PatternGetValue(ms, c - '1', s, e, &v);
      if (err != ERR_NONE) return err;
      if (v.isPosition) {
        VmPushNumber(L, v.position);
        size_t n = VmStrLen(L, -1);
        const char* text = VmToString(L, -1);
        out->append(text, n);
        VmSetTop(L, -2);
      } else {
        out->append(v.text, v.length);
      }
    } else {
      return ERR_ESCREPLACE;
    }
  }
  return ERR_NONE;
}

int cmdPatternReplaceStr(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  size_t len, plen;
  const char* s = VmCheckString(L, 1, &len);
  const char* p = VmCheckString(L, 2, &plen);
  int rtype = VmType(L, 3);
  if (rtype != VM_TYPE_STRING && rtype != VM_TYPE_NUMBER && rtype != VM_TYPE_FUNCTION)
    return ERR_WRONGUSAGE;
  double maxDefault = static_cast<double>(len) + 1;
  double maxCount = VmType(L, 4) == VM_TYPE_NONE ? maxDefault : VmCheckInteger(L, 4);
  bool utf8 = EncodingArg(L, 5);
  size_t rlen = 0;
  const char* r = nullptr;
  if (rtype != VM_TYPE_FUNCTION) r = VmToString(L, 3), rlen = VmStrLen(L, 3);
  int32_t runMode = unicodeUtf8Mode;
  EncodingScope scope(utf8);

  bool anchor = plen > 0 && *p == '^';
  const char* pat = anchor ? p + 1 : p;
  MatchState ms;
  PatternInitState(&ms, s, len, p, plen, utf8);
  std::optional<TextPositions> counter;
  countPositions(L, 1, &ms, &counter);
  const char* src = s;
  const char* end = s + len;
  std::string out;
  double n = 0;
  while (n < maxCount) {
    const char* e;
    ErrorCode err = PatternMatchHere(&ms, src, pat, &e);
    if (err != ERR_NONE) return err;
    if (e) {
      n++;
      if (rtype != VM_TYPE_FUNCTION) {
        err = appendTemplate(L, &ms, r, rlen, src, e, &out);
        if (err != ERR_NONE) return err;
      } else {
        int top = VmGetTop(L);
        VmPushValue(L, 3);
        int count;
        err = pushValues(L, &ms, src, e, true, &count);
        if (err != ERR_NONE) return err;
        {
          EncodingScope callerMode(runMode);
          err = VmCall(L, count, 1);
        }
        if (err != ERR_NONE) return err;
        int t = VmType(L, -1);
        if (t == VM_TYPE_NIL || (t == VM_TYPE_BOOLEAN && !VmToBoolean(L, -1))) {
          out.append(src, static_cast<size_t>(e - src));
        } else if (t == VM_TYPE_STRING || t == VM_TYPE_NUMBER) {
          size_t vlen = 0;
          const char* v = VmToString(L, -1);
          vlen = VmStrLen(L, -1);
          out.append(v, vlen);
        } else {
          return ERR_INVREPLACE;
        }
        VmSetTop(L, top);
      }
    }
    if (e && e > src) {
      src = e;
    } else if (src < end) {
      // An empty match (or none) copies one character and moves on.
      const char* next = utf8 ? Utf8NextChar(src, end) : src + 1;
      out.append(src, static_cast<size_t>(next - src));
      src = next;
    } else {
      break;
    }
    if (anchor) break;
  }
  out.append(src, static_cast<size_t>(end - src));
  VmPushLString(L, out.data(), out.size());
  VmPushNumber(L, n);
  return 2;
}

}  // namespace

extern const CommandTableEntry stringPatternCommands[] = {
    {"PatternFindStr", cmdPatternFindStr},
    {"PatternReplaceStr", cmdPatternReplaceStr},
    {"PatternFindStrDirect", cmdPatternFindStrDirect},
    {"PatternFindStrShort", cmdPatternFindStrShort},
    {nullptr, nullptr},
};
