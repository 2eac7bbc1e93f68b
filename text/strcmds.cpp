// The string library's text commands: cutting by character positions,
// case, classes, comparison, search and replace, splitting, arrays of
// codes, encodings, validation, hashes and Base64, and byte conversions.
//
// Invariant: positions and lengths are characters in UTF-8 mode and bytes
// otherwise; every byte offset derived from them is clipped to the string,
// so no command reads outside its argument's bytes, whatever the input
// (malformed UTF-8 included, which steps one byte at a time).
#include <cctype>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "runtime/runtime.h"
#include "text/strcmds.h"
#include "text/text.h"

namespace {

constexpr int32_t ENCODING_UTF8 = 1;

// ---- Characters ----

struct CharAt {
  uint32_t code;
  size_t len;
};

CharAt decodeAt(const char* p, const char* end, bool utf8) {
  if (!utf8) return {static_cast<unsigned char>(*p), 1};
  uint32_t c;
  size_t n = Utf8DecodeNext(p, end, &c);
  return {c, n};
}

// A malformed byte steps alone and keeps its value as a byte, never as a
// code point to encode again.
bool isRawByte(const CharAt& c, const char* p, bool utf8) {
  return utf8 && c.len == 1 && static_cast<unsigned char>(*p) >= 0x80;
}

int pushBytes(VmState* L, const char* p, size_t n) {
  VmPushLString(L, p, n);
  return 1;
}

// Pushes count characters of the text from character start on (both
// clipped to the text).
int pushChars(VmState* L, TextPositions* at, const char* s, size_t start, size_t count) {
  size_t from = at->ByteOf(start);
  size_t to = at->ByteOf(start + count);
  return pushBytes(L, s + from, to - from);
}

int pushString(VmState* L, const std::string& s) { return pushBytes(L, s.data(), s.size()); }

// Pushes the bytes of a, b and c (c may be left out) joined in that order.
int pushJoined(VmState* L, const char* a, size_t la, const char* b, size_t lb,
               const char* c = nullptr, size_t lc = 0) {
  std::string out(a, la);
  out.append(b, lb);
  if (c) out.append(c, lc);
  return pushString(L, out);
}

int pushNumber(VmState* L, double n) {
  VmPushNumber(L, n);
  return 1;
}

int pushByte(VmState* L, uint32_t code) {
  char c = static_cast<char>(code);
  return pushBytes(L, &c, 1);
}

// Pushes argument index as a string (a number converted to its text).
int pushArgText(VmState* L, int index) {
  VmPushValue(L, index);
  VmToString(L, -1);
  return 1;
}

void appendChar(std::string* out, uint32_t code) {
  char buffer[UTF8_CHAR_BUFFER];
  size_t n = Utf8EncodeChar(buffer, code);
  out->append(buffer, n);
}

// ---- Substring search ----

// The case-less key of a character, the same one CompareStr's case-less
// form compares: the case-folded code point in UTF-8 mode (so µ and μ, ς
// and σ, ſ and s meet, which lower-casing keeps apart), the upper-case
// Latin-1 byte in 8-bit mode.
uint32_t foldChar(uint32_t code, bool utf8) {
  return utf8 ? UnicodeFoldCase(code) : CharToUpper(code);
}

// Compares the subject at p with the whole of f (folded through the case
// tables when case-less); the subject bytes matched go to *matched.
bool matchesAt(const char* p, const char* end, const char* f, size_t flen, bool caseSensitive,
               bool utf8, size_t* matched) {
  if (caseSensitive) {
    if (static_cast<size_t>(end - p) < flen || std::memcmp(p, f, flen) != 0) return false;
    *matched = flen;
    return true;
  }
  const char* q = p;
  const char* fend = f + flen;
  while (f < fend) {
    if (q >= end) return false;
    CharAt a = decodeAt(q, end, utf8);
    CharAt b = decodeAt(f, fend, utf8);
    if (a.code != b.code && foldChar(a.code, utf8) != foldChar(b.code, utf8)) return false;
    q += a.len;
    f += b.len;
  }
  *matched = static_cast<size_t>(q - p);
  return true;
}

// Byte position of the first occurrence at or after byte from (a
// character boundary), or npos.
size_t findSubstring(const char* s, size_t len, const char* f, size_t flen, size_t from,
                     bool caseSensitive, bool utf8, size_t* matched) {
  const char* end = s + len;
  // A byte that is no continuation byte is never inside a character (a
  // sequence is a lead byte and continuation bytes), so where the search
  // text starts with one, every place its bytes occur is a character's
  // start and a plain byte search finds the first.
  if (caseSensitive && (!utf8 || (static_cast<unsigned char>(*f) & 0xC0) != 0x80)) {
    const void* hit = memmem(s + from, len - from, f, flen);
    if (hit == nullptr) return std::string::npos;
    *matched = flen;
    return static_cast<size_t>(static_cast<const char*>(hit) - s);
  }
  for (const char* p = s + from; p < end; p += decodeAt(p, end, utf8).len)
    if (matchesAt(p, end, f, flen, caseSensitive, utf8, matched)) return static_cast<size_t>(p - s);
  return std::string::npos;
}

// Case folding of a whole string through foldChar, per character.
std::string foldCase(const char* s, size_t len, bool utf8) {
  std::string out;
  const char* end = s + len;
  for (const char* p = s; p < end;) {
    CharAt c = decodeAt(p, end, utf8);
    if (isRawByte(c, p, utf8))
      out.push_back(*p);
    else if (utf8)
      appendChar(&out, foldChar(c.code, true));
    else
      out.push_back(static_cast<char>(foldChar(c.code, false)));
    p += c.len;
  }
  return out;
}

// ---- Commands ----

int changeCase(VmState* L, bool upper) {
  CheckArgCount(L, 1, 2, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  bool utf8 = EncodingArg(L, 2);
  EncodingScope scope(utf8);
  std::string out;
  out.reserve(len);
  const char* end = s + len;
  for (const char* p = s; p < end;) {
    CharAt c = decodeAt(p, end, utf8);
    uint32_t mapped = upper ? CharToUpper(c.code) : CharToLower(c.code);
    if (isRawByte(c, p, utf8) || c.code == 0)
      out.append(p, c.len);
    else if (utf8)
      appendChar(&out, mapped);
    else
      out.push_back(static_cast<char>(mapped));
    p += c.len;
  }
  return pushString(L, out);
}

int cmdLowerStr(VmState* L) { return changeCase(L, false); }
int cmdUpperStr(VmState* L) { return changeCase(L, true); }

// Arguments of the commands that cut a count of characters off one end:
// subject, count, encoding.
struct CutArgs {
  const char* s;
  size_t len;
  int32_t n;
  bool utf8;
};

CutArgs cutArgs(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  CutArgs a;
  a.s = VmCheckString(L, 1, &a.len);
  a.n = VmCheckInteger(L, 2);
  a.utf8 = EncodingArg(L, 3);
  return a;
}

int cmdLeftStr(VmState* L) {
  CutArgs a = cutArgs(L);
  if (a.n < 1) return pushString(L, std::string());
  TextPositions at(L, 1, a.s, a.len, a.utf8);
  return pushChars(L, &at, a.s, 0, static_cast<size_t>(a.n));
}

int cmdRightStr(VmState* L) {
  CutArgs a = cutArgs(L);
  if (a.n < 1) return pushString(L, std::string());
  TextPositions at(L, 1, a.s, a.len, a.utf8);
  size_t count = at.Count();
  size_t take = static_cast<size_t>(a.n) < count ? static_cast<size_t>(a.n) : count;
  return pushChars(L, &at, a.s, count - take, take);
}

int cmdMidStr(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  int32_t pos = VmCheckInteger(L, 2);
  int32_t n = VmOptInteger(L, 3, -1);
  bool utf8 = EncodingArg(L, 4);
  TextPositions at(L, 1, s, len, utf8);
  size_t count = at.Count();
  if (pos < 0 || static_cast<size_t>(pos) >= count || (n < 1 && n != -1))
    return pushString(L, std::string());
  size_t take = n == -1 ? count : static_cast<size_t>(n);
  return pushChars(L, &at, s, static_cast<size_t>(pos), take);
}

int cmdUnleftStr(VmState* L) {
  CutArgs a = cutArgs(L);
  if (a.n < 0) return ERR_WRONGUSAGE;
  TextPositions at(L, 1, a.s, a.len, a.utf8);
  size_t count = at.Count();
  if (static_cast<size_t>(a.n) >= count) return pushString(L, std::string());
  return pushChars(L, &at, a.s, 0, count - static_cast<size_t>(a.n));
}

int cmdUnrightStr(VmState* L) {
  CutArgs a = cutArgs(L);
  if (a.n < 0) return ERR_WRONGUSAGE;
  size_t from = TextPositions(L, 1, a.s, a.len, a.utf8).ByteOf(static_cast<size_t>(a.n));
  return pushBytes(L, a.s + from, a.len - from);
}

int cmdUnmidStr(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  int32_t pos = VmCheckInteger(L, 2);
  int32_t n = VmCheckInteger(L, 3);
  bool utf8 = EncodingArg(L, 4);
  if (pos < 0 || n < 0) return ERR_WRONGUSAGE;
  TextPositions at(L, 1, s, len, utf8);
  size_t from = at.ByteOf(static_cast<size_t>(pos));
  size_t to = at.ByteOf(static_cast<size_t>(pos) + static_cast<size_t>(n));
  return pushJoined(L, s, from, s + to, len - to);
}

int cmdInsertStr(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  size_t len, insLen;
  const char* s = VmCheckString(L, 1, &len);
  const char* ins = VmCheckString(L, 2, &insLen);
  int32_t pos = VmCheckInteger(L, 3);
  // The encoding is the last argument, behind an optional fourth one.
  bool utf8 = EncodingArg(L, VmGetTop(L) >= 4 ? VmGetTop(L) : 4);
  if (pos < 0) return ERR_WRONGUSAGE;
  size_t at = TextPositions(L, 1, s, len, utf8).ByteOf(static_cast<size_t>(pos));
  return pushJoined(L, s, at, ins, insLen, s + at, len - at);
}

int cmdAddStr(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  size_t la, lb;
  const char* a = VmCheckString(L, 1, &la);
  const char* b = VmCheckString(L, 2, &lb);
  return pushJoined(L, a, la, b, lb);
}

int cmdChr(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  uint32_t code = static_cast<uint32_t>(VmCheckInteger(L, 1));
  bool utf8 = EncodingArg(L, 2);
  if (utf8) {
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return ERR_WRONGUSAGE;
    std::string out;
    appendChar(&out, code);
    return pushString(L, out);
  }
  if (code > 255) return ERR_WRONGUSAGE;
  return pushByte(L, code);
}

// The character of the string at argument 1 at character position pos
// (argument index posIndex, default 0); false when the position lies
// outside the string.
bool charArg(VmState* L, const char* s, size_t len, int posIndex, bool utf8, CharAt* out,
             size_t* at) {
  int32_t pos = VmOptInteger(L, posIndex, 0);
  if (pos < 0) return false;
  size_t off = TextPositions(L, 1, s, len, utf8).ByteOf(static_cast<size_t>(pos));
  if (off >= len) return false;
  *out = decodeAt(s + off, s + len, utf8);
  if (at) *at = off;
  return true;
}

int cmdAsc(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  bool utf8 = EncodingArg(L, 3);
  if (len == 0) {
    VmOptInteger(L, 2, 0);
    return pushNumber(L, 0);
  }
  CharAt c;
  if (!charArg(L, s, len, 2, utf8, &c, nullptr)) return ERR_WRONGUSAGE;
  return pushNumber(L, c.code);
}

int cmdStrLen(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  return pushNumber(L, static_cast<double>(TextPositions(L, 1, s, len, EncodingArg(L, 2)).Count()));
}

int cmdByteLen(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  size_t len;
  VmCheckString(L, 1, &len);
  return pushNumber(L, static_cast<double>(len));
}

int cmdByteChr(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  uint32_t code = static_cast<uint32_t>(VmCheckInteger(L, 1));
  if (code > 255) return ERR_WRONGUSAGE;
  return pushByte(L, code);
}

int cmdByteAsc(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  int32_t pos = VmOptInteger(L, 2, 0);
  if (pos < 0 || static_cast<size_t>(pos) >= len) return ERR_WRONGUSAGE;
  return pushNumber(L, static_cast<unsigned char>(s[pos]));
}

// Byte order of the typed conversions: BIGENDIAN 0, NATIVEENDIAN 1,
// LITTLEENDIAN 2.
void byteOrderArg(VmState* L, int index, int* native, int* little) {
  int32_t order = VmOptInteger(L, index, MEM_BIGENDIAN);
  *native = order == MEM_NATIVEENDIAN;
  *little = order == MEM_LITTLEENDIAN;
}

// Value type (argument 2) and byte order (3) of the typed conversions; the
// width is 0 for an unknown type.
struct TypedArgs {
  int32_t type;
  int native;
  int little;
  int width;
};

TypedArgs typedArgs(VmState* L) {
  TypedArgs t;
  t.type = VmOptInteger(L, 2, MEMTYPE_INTEGER);
  byteOrderArg(L, 3, &t.native, &t.little);
  t.width = GetMemTypeSize(t.type);
  return t;
}

int cmdByteVal(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  TypedArgs t = typedArgs(L);
  if (t.width == 0) return ERR_WRONGUSAGE;
  // A string shorter than the value is refused here: a size of 0 would
  // otherwise read as a block of unknown size.
  if (len < static_cast<size_t>(t.width)) return ERR_MEMRANGE;
  return PeekTypedValue(L, s, len, t.type, 0, t.native, t.little) == ERR_NONE ? 1 : ERR_WRONGUSAGE;
}

int cmdByteStrStr(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  double value = VmCheckNumber(L, 1);
  TypedArgs t = typedArgs(L);
  if (t.width == 0) return ERR_WRONGUSAGE;
  char buffer[8];
  ErrorCode err = PokeTypedValue(buffer, static_cast<size_t>(t.width), t.type, 0,
                                 static_cast<uint32_t>(VmNumberToInteger(value)), value, value,
                                 t.native, t.little);
  if (err != ERR_NONE) return err;
  return pushBytes(L, buffer, static_cast<size_t>(t.width));
}

// Reads subject (argument 1), encoding (3) and position (2, default 0) of
// the commands on one character; false when the position lies outside.
bool oneCharArgs(VmState* L, int minArgs, CharAt* c, size_t* at, bool* utf8) {
  CheckArgCount(L, minArgs, 3, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  *utf8 = EncodingArg(L, 3);
  return charArg(L, s, len, 2, *utf8, c, at);
}

int cmdByteOffset(VmState* L) {
  CharAt c;
  size_t at;
  bool utf8;
  if (!oneCharArgs(L, 2, &c, &at, &utf8)) return ERR_WRONGUSAGE;
  return pushNumber(L, static_cast<double>(at));
}

int cmdCharOffset(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  int32_t pos = VmCheckInteger(L, 2);
  bool utf8 = EncodingArg(L, 3);
  if (pos < 0 || static_cast<size_t>(pos) >= len) return ERR_WRONGUSAGE;
  if (!utf8) return pushNumber(L, pos);
  // The character whose bytes contain the offset: the last of those that
  // start at or before it.
  size_t index = TextPositions(L, 1, s, len, true).CharsBefore(static_cast<size_t>(pos) + 1) - 1;
  return pushNumber(L, static_cast<double>(index));
}

int cmdCharWidth(VmState* L) {
  CharAt c;
  bool utf8;
  if (!oneCharArgs(L, 1, &c, nullptr, &utf8)) return ERR_WRONGUSAGE;
  return pushNumber(L, static_cast<double>(c.len));
}

using CharClass = bool (*)(uint32_t);

template <CharClass F>
int classCommand(VmState* L) {
  CharAt c;
  bool utf8;
  // Finding the character does not depend on the text mode; the class
  // test does.
  if (!oneCharArgs(L, 1, &c, nullptr, &utf8)) return ERR_WRONGUSAGE;
  EncodingScope scope(utf8);
  return pushNumber(L, F(c.code) ? 1 : 0);
}

int cmdCompareStr(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  const char* a = VmCheckString(L, 1, nullptr);
  const char* b = VmCheckString(L, 2, nullptr);
  int32_t caseSensitive = VmOptInteger(L, 3, 1);
  EncodingScope scope(EncodingArg(L, 4));
  return pushNumber(L, CompareStringMode(a, b, caseSensitive != 0));
}

int affixCommand(VmState* L, bool atEnd) {
  CheckArgCount(L, 2, 4, 0, 0);
  size_t len, plen;
  const char* s = VmCheckString(L, 1, &len);
  const char* part = VmCheckString(L, 2, &plen);
  int32_t caseSensitive = VmOptInteger(L, 3, 1);
  bool utf8 = EncodingArg(L, 4);
  EncodingScope scope(utf8);
  if (plen == 0) return pushNumber(L, 0);
  std::string a(s, len), b(part, plen);
  if (!caseSensitive) {
    a = foldCase(s, len, utf8);
    b = foldCase(part, plen, utf8);
  }
  bool hit = b.size() <= a.size() && a.compare(atEnd ? a.size() - b.size() : 0, b.size(), b) == 0;
  return pushNumber(L, hit ? 1 : 0);
}

int cmdStartsWith(VmState* L) { return affixCommand(L, false); }
int cmdEndsWith(VmState* L) { return affixCommand(L, true); }

bool isCSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

int cmdEmptyStr(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  for (size_t i = 0; i < len; i++)
    if (!isCSpace(s[i])) return pushNumber(L, 0);
  return pushNumber(L, 1);
}

int cmdStripStr(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  size_t from = 0, to = len;
  while (from < to && isCSpace(s[from])) from++;
  while (to > from && isCSpace(s[to - 1])) to--;
  return pushBytes(L, s + from, to - from);
}

int cmdTrimStr(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  size_t len, clen;
  const char* s = VmCheckString(L, 1, &len);
  const char* c = VmCheckString(L, 2, &clen);
  int32_t side = VmCheckInteger(L, 3);
  bool utf8 = EncodingArg(L, 4);
  if (clen == 0 || decodeAt(c, c + clen, utf8).len != clen) return ERR_WRONGUSAGE;
  size_t from = 0, to = len;
  if (side == 0) {
    while (len - from >= clen && std::memcmp(s + from, c, clen) == 0) from += clen;
  } else {
    while (to >= clen && std::memcmp(s + to - clen, c, clen) == 0) to -= clen;
  }
  return pushBytes(L, s + from, to - from);
}

int cmdReverseStr(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  bool utf8 = EncodingArg(L, 2);
  std::string out(len, '\0');
  size_t w = len;
  const char* end = s + len;
  for (const char* p = s; p < end;) {
    size_t n = decodeAt(p, end, utf8).len;
    w -= n;
    std::memcpy(&out[w], p, n);
    p += n;
  }
  return pushString(L, out);
}

int cmdRepeatStr(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  int32_t n = VmCheckInteger(L, 2);
  if (n < 0) return ERR_WRONGUSAGE;
  if (len != 0 && static_cast<size_t>(n) > SIZE_MAX / 2 / len) return ERR_MEM;
  std::string out;
  out.reserve(len * static_cast<size_t>(n));
  for (int32_t i = 0; i < n; i++) out.append(s, len);
  return pushString(L, out);
}

// Arguments of FindStr, CountStr and ReplaceStr behind the subject and the
// search text, from argument index first: case switch, start, encoding.
struct SearchArgs {
  bool caseSensitive;
  int32_t start;
  bool utf8;
};

SearchArgs searchArgs(VmState* L, int first) {
  SearchArgs a;
  a.caseSensitive = VmOptInteger(L, first, 1) != 0;
  a.start = VmOptInteger(L, first + 1, 0);
  a.utf8 = EncodingArg(L, first + 2);
  return a;
}

// Subject, search text and the arguments behind them of FindStr and
// CountStr; from is the start as a byte offset.
struct Search {
  const char* s;
  size_t len;
  const char* f;
  size_t flen;
  SearchArgs a;
  size_t from;
};

// Reads a search; false when the start is negative.
bool readSearch(VmState* L, Search* q) {
  CheckArgCount(L, 2, 5, 0, 0);
  q->s = VmCheckString(L, 1, &q->len);
  q->f = VmCheckString(L, 2, &q->flen);
  q->a = searchArgs(L, 3);
  if (q->a.start < 0) return false;
  q->from = TextPositions(L, 1, q->s, q->len, q->a.utf8).ByteOf(static_cast<size_t>(q->a.start));
  return true;
}

// Whether the search can find nothing: an empty subject or search text,
// or a start at or past the end.
bool searchesNothing(const Search& q) { return q.len == 0 || q.flen == 0 || q.from >= q.len; }

int cmdFindStr(VmState* L) {
  Search q;
  if (!readSearch(L, &q)) return ERR_WRONGUSAGE;
  if (searchesNothing(q)) return pushNumber(L, -1);
  EncodingScope scope(q.a.utf8);
  size_t matched;
  size_t at = findSubstring(q.s, q.len, q.f, q.flen, q.from, q.a.caseSensitive, q.a.utf8, &matched);
  if (at == std::string::npos) return pushNumber(L, -1);
  return pushNumber(L,
                    static_cast<double>(TextPositions(L, 1, q.s, q.len, q.a.utf8).CharsBefore(at)));
}

int cmdCountStr(VmState* L) {
  Search q;
  if (!readSearch(L, &q)) return ERR_WRONGUSAGE;
  if (searchesNothing(q)) return pushNumber(L, 0);
  EncodingScope scope(q.a.utf8);
  double count = 0;
  size_t matched;
  for (size_t at, from = q.from;
       (at = findSubstring(q.s, q.len, q.f, q.flen, from, q.a.caseSensitive, q.a.utf8, &matched)) !=
       std::string::npos;) {
    count++;
    from = at + matched;
  }
  return pushNumber(L, count);
}

int cmdReplaceStr(VmState* L) {
  CheckArgCount(L, 3, 6, 0, 0);
  size_t len, flen, rlen;
  const char* s = VmCheckString(L, 1, &len);
  const char* f = VmCheckString(L, 2, &flen);
  const char* r = VmCheckString(L, 3, &rlen);
  SearchArgs a = searchArgs(L, 4);
  EncodingScope scope(a.utf8);
  if (a.start < 0) return ERR_WRONGUSAGE;
  if (len == 0 || flen == 0) {
    return pushArgText(L, 1);
  }
  size_t from = TextPositions(L, 1, s, len, a.utf8).ByteOf(static_cast<size_t>(a.start));
  std::string out(s, from);
  size_t matched;
  for (size_t at; (at = findSubstring(s, len, f, flen, from, a.caseSensitive, a.utf8, &matched)) !=
                  std::string::npos;) {
    out.append(s + from, at - from);
    out.append(r, rlen);
    from = at + matched;
  }
  out.append(s + from, len - from);
  return pushString(L, out);
}

int cmdSplitStr(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  size_t len, slen;
  const char* s = VmCheckString(L, 1, &len);
  const char* sep = VmCheckString(L, 2, &slen);
  bool merge = VmOptInteger(L, 3, 0) != 0;
  if (slen == 0) return ERR_WRONGUSAGE;
  VmNewTable(L);
  int count = 0;
  size_t from = 0;
  for (;;) {
    const char* hit = static_cast<const char*>(memmem(s + from, len - from, sep, slen));
    size_t to = hit ? static_cast<size_t>(hit - s) : len;
    VmPushLString(L, s + from, to - from);
    VmRawSetI(L, -2, count++);
    if (!hit) break;
    from = to + slen;
    // A run of separators counts as one; the first part is kept even when
    // the text starts with a separator.
    if (merge)
      while (from + slen <= len && std::memcmp(s + from, sep, slen) == 0) from += slen;
  }
  VmPushNumber(L, count);
  return 2;
}

int cmdStrToArray(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  bool utf8 = EncodingArg(L, 2);
  VmNewTable(L);
  int i = 0;
  const char* end = s + len;
  for (const char* p = s; p < end; i++) {
    CharAt c = decodeAt(p, end, utf8);
    VmPushNumber(L, c.code);
    VmRawSetI(L, -2, i);
    p += c.len;
  }
  VmPushNumber(L, 0);
  VmRawSetI(L, -2, i);
  return 1;
}

int cmdArrayToStr(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  VmCheckTable(L, 1);
  bool utf8 = EncodingArg(L, 2);
  std::string out;
  for (int i = 0;; i++) {
    VmRawGetI(L, 1, i);
    if (VmType(L, -1) != VM_TYPE_NUMBER) break;
    uint32_t code = static_cast<uint32_t>(VmNumberToInteger(VmToNumber(L, -1)));
    VmSetTop(L, -2);
    if (code == 0) break;
    if (utf8) {
      if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return ERR_WRONGUSAGE;
      appendChar(&out, code);
    } else {
      out.push_back(static_cast<char>(code & 0xFF));
    }
  }
  return pushString(L, out);
}

int cmdConvertStr(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  const char* s = VmCheckString(L, 1, nullptr);
  int32_t from = VmCheckInteger(L, 2);
  int32_t to = VmCheckInteger(L, 3);
  if (from == to) {
    return pushArgText(L, 1);
  }
  OwnedMemory<char> converted(ConvertStringEncoding(s, from, to));
  if (!converted) return ERR_TEXTCONVERT;
  VmPushString(L, converted.get());
  return 1;
}

// Length of the valid UTF-8 sequence at p, or 0 when it is not one.
size_t validSequence(const char* p, const char* end) {
  unsigned char c = static_cast<unsigned char>(*p);
  size_t n = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
  if (n == 0 || static_cast<size_t>(end - p) < n) return 0;
  return Utf8CheckBytes(p, n) ? n : 0;
}

int cmdValidateStr(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  if (EncodingArg(L, 2)) {
    for (const char* p = s; p < s + len;) {
      size_t n = validSequence(p, s + len);
      if (n == 0) {
        VmPushNumber(L, 0);
        VmPushNumber(L, static_cast<double>(p - s));
        return 2;
      }
      p += n;
    }
  }
  VmPushNumber(L, 1);
  VmPushNumber(L, -1);
  return 2;
}

int cmdBase64Str(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  bool decode = VmCheckInteger(L, 2) != 0;
  std::string out;
  if (decode) {
    out.resize(len / 4 * 3);
    size_t written;
    ErrorCode err = DecodeBase64(s, len, out.data(), &written);
    if (err != ERR_NONE) return err;
    out.resize(written);
  } else {
    ErrorCode err;
    size_t size = Base64EncodedSize(len, &err);
    if (err != ERR_NONE) return err;
    out.resize(size);
    EncodeBase64(s, len, out.data());
  }
  return pushString(L, out);
}

// The one argument of the hash commands, which refuse an empty string
// (null then).
const char* hashArg(VmState* L, size_t* len) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* s = VmCheckString(L, 1, len);
  return *len == 0 ? nullptr : s;
}

int cmdCRC32Str(VmState* L) {
  size_t len;
  const char* s = hashArg(L, &len);
  if (!s) return ERR_WRONGUSAGE;
  InitCrc32Table();
  return pushNumber(L, ComputeCrc32(s, len));
}

int cmdMD5Str(VmState* L) {
  size_t len;
  const char* s = hashArg(L, &len);
  if (!s) return ERR_WRONGUSAGE;
  char hex[33];
  MD5HexDigest(s, len, hex);
  VmPushString(L, hex);
  return 1;
}

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

int cmdToNumber(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  int32_t base = VmOptInteger(L, 2, 10);
  if (base < 2 || base > 36) return ERR_WRONGUSAGE;
  if (VmType(L, 1) == VM_TYPE_NUMBER) return pushNumber(L, VmToNumber(L, 1));
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  if (base == 10) return pushNumber(L, VmIsNumber(L, 1) ? VmToNumber(L, 1) : 0);
  size_t i = 0;
  while (i < len && isCSpace(s[i])) i++;
  double value = 0;
  size_t digits = 0;
  for (; i < len && digitValue(s[i]) < base; i++, digits++) value = value * base + digitValue(s[i]);
  while (i < len && isCSpace(s[i])) i++;
  return pushNumber(L, (digits == 0 || i != len) ? 0 : value);
}

int cmdToUserData(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  double n = VmCheckNumber(L, 1);
  uintptr_t p;
  if (n >= 0 && n < 18446744073709551616.0)
    p = static_cast<uintptr_t>(n);
  else if (n < 0 && n >= -9223372036854775808.0)
    p = static_cast<uintptr_t>(static_cast<int64_t>(n));
  else
    return ERR_WRONGUSAGE;
  VmPushLightUserdata(L, reinterpret_cast<void*>(p));
  return 1;
}

}  // namespace

bool EncodingArg(VmState* L, int index) {
  if (VmType(L, index) == VM_TYPE_NONE) return GetDefaultStringEncoding() == ENCODING_UTF8;
  return VmCheckInteger(L, index) == ENCODING_UTF8;
}

extern const CommandTableEntry stringTextCommands[] = {
    {"LowerStr", cmdLowerStr},
    {"UpperStr", cmdUpperStr},
    {"UnrightStr", cmdUnrightStr},
    {"UnleftStr", cmdUnleftStr},
    {"Chr", cmdChr},
    {"MidStr", cmdMidStr},
    {"RightStr", cmdRightStr},
    {"LeftStr", cmdLeftStr},
    {"FindStr", cmdFindStr},
    {"AddStr", cmdAddStr},
    {"Asc", cmdAsc},
    {"StrLen", cmdStrLen},
    {"ReplaceStr", cmdReplaceStr},
    {"SplitStr", cmdSplitStr},
    {"StrToArray", cmdStrToArray},
    {"TrimStr", cmdTrimStr},
    {"ToNumber", cmdToNumber},
    {"UnmidStr", cmdUnmidStr},
    {"CountStr", cmdCountStr},
    {"InsertStr", cmdInsertStr},
    {"RepeatStr", cmdRepeatStr},
    {"MD5Str", cmdMD5Str},
    {"CRC32Str", cmdCRC32Str},
    {"ArrayToStr", cmdArrayToStr},
    {"Base64Str", cmdBase64Str},
    {"ToUserData", cmdToUserData},
    {"ByteOffset", cmdByteOffset},
    {"CharOffset", cmdCharOffset},
    {"CharWidth", cmdCharWidth},
    {"ValidateStr", cmdValidateStr},
    {"ConvertStr", cmdConvertStr},
    {"ReverseStr", cmdReverseStr},
    {"ByteLen", cmdByteLen},
    {"IsAlNum", classCommand<CharIsAlnum>},
    {"IsAlpha", classCommand<CharIsAlpha>},
    {"IsCntrl", classCommand<CharIsCntrl>},
    {"IsDigit", classCommand<CharIsDigit>},
    {"IsGraph", classCommand<CharIsGraph>},
    {"IsLower", classCommand<CharIsLower>},
    {"IsPrint", classCommand<CharIsPrint>},
    {"IsPunct", classCommand<CharIsPunct>},
    {"IsSpace", classCommand<CharIsSpace>},
    {"IsUpper", classCommand<CharIsUpper>},
    {"IsXDigit", classCommand<CharIsXDigit>},
    {"CompareStr", cmdCompareStr},
    {"ByteAsc", cmdByteAsc},
    {"ByteChr", cmdByteChr},
    {"StartsWith", cmdStartsWith},
    {"EndsWith", cmdEndsWith},
    {"StripStr", cmdStripStr},
    {"EmptyStr", cmdEmptyStr},
    {"ByteVal", cmdByteVal},
    {"ByteStrStr", cmdByteStrStr},
    {nullptr, nullptr},
};
