// The Unicode and UTF-8 character layer: UTF-8 encoding, decoding and
// validation, character classes and case maps of code points (generated
// range tables) and of Latin-1 bytes, the mode-dependent character and
// string routines, case-less comparison and the Latin-1/UTF-8 converters.
// Invariant: no routine reads past a terminator or a given length, whatever
// the bytes; only Utf8Validate and Utf8CheckBytes judge validity, the others
// take any bytes and decode malformed sequences one byte at a time.
#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/linux/platform.h"
#include "platform/linux/unicode_private.h"
#include "platform/linux/unicode_tables.h"

// Read on every call of the text functions, so a plain word; the runtime's
// context Init puts it back to UTF-8 for each run.
int32_t unicodeUtf8Mode = 1;

namespace {

inline bool isCont(uint8_t b) { return (b & 0xC0) == 0x80; }

inline uint32_t asciiFold(uint32_t c) { return c - 'A' < 26 ? c + 32 : c; }

// Eight bytes of which none has the top bit set.
inline bool asciiBlock(const uint8_t* s) {
  uint64_t w;
  std::memcpy(&w, s, sizeof w);
  return (w & 0x8080808080808080ull) == 0;
}

// Utf8DecodeNext over a terminated string: the terminator is no
// continuation byte, so a sequence cut by it is malformed and no byte past
// it is read. Returns the length (1 for the terminator itself).
inline size_t decodeTerminated(const uint8_t* s, uint32_t* code) {
  uint32_t b = s[0];
  if (b < 0xC0) {
    *code = b;
    return 1;
  }
  size_t need;
  uint32_t v;
  if (b < 0xE0) {
    need = 1;
    v = b & 0x1F;
  } else if (b < 0xF0) {
    need = 2;
    v = b & 0x0F;
  } else if (b < 0xF8) {
    need = 3;
    v = b & 0x07;
  } else if (b < 0xFC) {
    need = 4;
    v = b & 0x03;
  } else if (b < 0xFE) {
    need = 5;
    v = b & 0x01;
  } else {
    *code = b;
    return 1;
  }
  for (size_t i = 1; i <= need; i++) {
    if (!isCont(s[i])) {
      *code = b;
      return 1;
    }
    v = (v << 6) | (s[i] & 0x3F);
  }
  *code = v;
  return need + 1;
}

// Length of a valid sequence at s[0..avail) by RFC 3629, or 0.
inline size_t validSequence(const uint8_t* s, size_t avail) {
  uint8_t b = s[0];
  if (b < 0x80) return 1;
  if (b < 0xC2) return 0;
  if (b < 0xE0) return avail >= 2 && isCont(s[1]) ? 2 : 0;
  if (b < 0xF0) {
    if (avail < 3) return 0;
    uint8_t lo = b == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
    uint8_t hi = b == 0xED ? 0x9F : 0xBF;  // no surrogates
    return s[1] >= lo && s[1] <= hi && isCont(s[2]) ? 3 : 0;
  }
  if (b < 0xF5) {
    if (avail < 4) return 0;
    uint8_t lo = b == 0xF0 ? 0x90 : 0x80;  // no overlong forms
    uint8_t hi = b == 0xF4 ? 0x8F : 0xBF;  // nothing above 0x10FFFF
    return s[1] >= lo && s[1] <= hi && isCont(s[2]) && isCont(s[3]) ? 4 : 0;
  }
  return 0;
}

// Steps over one character as Utf8ByteOffset counts them: a lead byte and
// up to three continuation bytes, never past limit.
inline size_t stepChar(const uint8_t* s, size_t i, size_t limit) {
  i++;
  for (int k = 0; k < 3 && i < limit && isCont(s[i]); k++) i++;
  return i;
}

inline const uint8_t* bytes(const char* p) { return reinterpret_cast<const uint8_t*>(p); }

// Length of the character at s[0] as Utf8DecodeNext steps it (avail > 0).
inline size_t decodeLength(const uint8_t* s, size_t avail) {
  uint8_t b = s[0];
  if (b < 0xC0 || b >= 0xFE) return 1;
  // The lead byte's leading one bits, less one, are the continuation
  // bytes it announces (1 to 5).
  size_t need = static_cast<size_t>(std::countl_one(b)) - 1;
  if (avail <= need) return 1;
  for (size_t k = 1; k <= need; k++)
    if (!isCont(s[k])) return 1;
  return need + 1;
}

// Utf8Walk for one way of stepping.
template <Utf8Step Step>
void walkChars(const uint8_t* s, size_t length, Utf8Place* at, size_t maxChars, size_t stop) {
  size_t i = at->byte;
  size_t want = maxChars - at->chars;  // characters still to step over
  size_t left = want;
  while (left != 0 && i < stop) {
    if (s[i] < 0x80) {
      // Eight ASCII bytes are eight characters, except that stepping by
      // lead bytes takes the continuation bytes behind the eighth into it.
      if (left >= 8 && stop - i >= 8 && asciiBlock(s + i) &&
          (Step == Utf8Step::DECODE || i + 8 == length || !isCont(s[i + 8]))) {
        i += 8;
        left -= 8;
        continue;
      }
      // A shorter run: byte by byte to its end.
      do {
        i = Step == Utf8Step::LEAD ? stepChar(s, i, length) : i + 1;
      } while (--left != 0 && i < stop && s[i] < 0x80);
      continue;
    }
    i = Step == Utf8Step::LEAD ? stepChar(s, i, length) : i + decodeLength(s + i, length - i);
    left--;
  }
  at->byte = i;
  at->chars += want - left;
}

inline uint32_t latin1Byte(uint32_t c, const uint8_t* table) { return c < 256 ? table[c] : c; }

inline bool latin1Flag(uint32_t c, const uint8_t* table) { return c < 256 && table[c] != 0; }

inline uint32_t foldUtf8(uint32_t c) { return c < 0x80 ? asciiFold(c) : UnicodeFoldCase(c); }

// UTF-8 mode comparison of case-folded code points. Bounded: the strings
// end at their terminators or at aEnd / bEnd; otherwise at the terminators
// only (the ends are not used).
template <bool Bounded>
int compareFoldedUtf8(const uint8_t* a, const uint8_t* aEnd, const uint8_t* b,
                      const uint8_t* bEnd) {
  for (;;) {
    bool aDone = (Bounded && a >= aEnd) || *a == 0;
    bool bDone = (Bounded && b >= bEnd) || *b == 0;
    if (aDone || bDone) return aDone == bDone ? 0 : (aDone ? -1 : 1);
    uint32_t ca = *a, cb = *b;
    if ((ca | cb) < 0x80) {
      ca = asciiFold(ca);
      cb = asciiFold(cb);
      a++;
      b++;
    } else {
      if (Bounded) {
        a += Utf8DecodeNext(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(aEnd),
                            &ca);
        b += Utf8DecodeNext(reinterpret_cast<const char*>(b), reinterpret_cast<const char*>(bEnd),
                            &cb);
      } else {
        a += decodeTerminated(a, &ca);
        b += decodeTerminated(b, &cb);
      }
      ca = foldUtf8(ca);
      cb = foldUtf8(cb);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
  }
}

// StrToUpper / StrToLower in UTF-8 mode. ASCII bytes map through the
// Latin-1 table (the same result for them, without the Unicode table
// search): names registered at start-up are all ASCII.
void mapUtf8InPlace(char* text, uint32_t (*map)(uint32_t), const uint8_t* asciiMap) {
  uint8_t* p = reinterpret_cast<uint8_t*>(text);
  while (*p) {
    if (*p < 0x80) {
      *p = asciiMap[*p];
      p++;
      continue;
    }
    uint32_t c;
    size_t len = decodeTerminated(p, &c);
    uint32_t m = map(c);
    if (m != c) {
      char buf[UTF8_CHAR_BUFFER];
      if (Utf8EncodeChar(buf, m) == len) std::memcpy(p, buf, len);
    }
    p += len;
  }
}

}  // namespace

// ---- Code-point level --------------------------------------------------------

size_t Utf8EncodeChar(char* buffer, uint32_t c) {
  uint8_t* s = reinterpret_cast<uint8_t*>(buffer);
  size_t n;
  if (c < 0x80) {
    s[0] = static_cast<uint8_t>(c);
    n = 1;
  } else if (c < 0x800) {
    s[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
    s[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    n = 2;
  } else if (c < 0x10000) {
    s[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
    s[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    s[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    n = 3;
  } else if (c < 0x110000) {
    s[0] = static_cast<uint8_t>(0xF0 | (c >> 18));
    s[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
    s[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    s[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    n = 4;
  } else {
    n = 0;
  }
  s[n] = 0;
  return n;
}

uint32_t Utf8DecodeChar(const char* text, size_t* pos) {
  // Accumulating value * 64 + byte leaves the marker bits of every byte in
  // the sum; the offset of the sequence length takes them out again.
  static const uint32_t kOffsets[6] = {0, 0x3080, 0xE2080, 0x3C82080, 0xFA082080u, 0x82082080u};
  const uint8_t* s = bytes(text) + *pos;
  uint32_t v = s[0];
  if (v == 0) return 0;  // at the terminator: stay there
  size_t n = 1;
  while (n < 6 && isCont(s[n])) v = v * 64 + s[n++];
  *pos += n;
  return v - kOffsets[n - 1];
}

size_t Utf8DecodeNext(const char* p, const char* end, uint32_t* code) {
  if (p >= end) {
    *code = 0;
    return 0;
  }
  const uint8_t* s = bytes(p);
  size_t avail = static_cast<size_t>(end - p);
  uint32_t b = s[0];
  size_t need = b < 0xC0   ? 0
                : b < 0xE0 ? 1
                : b < 0xF0 ? 2
                : b < 0xF8 ? 3
                : b < 0xFC ? 4
                : b < 0xFE ? 5
                           : 0;
  if (need == 0 || avail <= need) {
    *code = b;
    return 1;
  }
  uint32_t v = b & (0x3Fu >> need);
  for (size_t i = 1; i <= need; i++) {
    if (!isCont(s[i])) {
      *code = b;
      return 1;
    }
    v = (v << 6) | (s[i] & 0x3F);
  }
  *code = v;
  return need + 1;
}

size_t Utf8Validate(const char* text, size_t length, int* error) {
  const uint8_t* s = bytes(text);
  size_t count = 0;
  size_t i = 0;
  while (i < length) {
    if (length - i >= 8 && asciiBlock(s + i)) {
      i += 8;
      count += 8;
      continue;
    }
    size_t n = validSequence(s + i, length - i);
    if (n == 0) {
      if (error) *error = 1;
      return 0;
    }
    i += n;
    count++;
  }
  if (error) *error = 0;
  return count;
}

size_t Utf8ValidateString(const char* text, int* error) {
  return Utf8Validate(text, std::strlen(text), error);
}

int Utf8CheckBytes(const char* text, size_t length) {
  int error;
  Utf8Validate(text, length, &error);
  return error ? 0 : 1;
}

size_t Utf8ByteOffset(const char* text, int64_t n) {
  const uint8_t* s = bytes(text);
  size_t i = 0;
  for (; n > 0 && s[i] != 0; n--) i = stepChar(s, i, SIZE_MAX);
  return i;
}

size_t Utf8ByteOffsetN(const char* text, size_t length, int64_t n) {
  const uint8_t* s = bytes(text);
  size_t i = 0;
  for (; n > 0 && i < length; n--) i = stepChar(s, i, length);
  return i;
}

size_t Utf8CountChars(const char* text, size_t bytesCount) {
  const uint8_t* s = bytes(text);
  size_t count = 0;
  for (size_t i = 0; i < bytesCount; count++) i = stepChar(s, i, bytesCount);
  return count;
}

size_t Utf8CharCount(const char* start, const char* end) {
  return end > start ? Utf8CountChars(start, static_cast<size_t>(end - start)) : 0;
}

const char* Utf8NextChar(const char* p, const char* end) {
  uint32_t c;
  return p + Utf8DecodeNext(p, end, &c);
}

void Utf8Walk(const char* text, size_t length, Utf8Step step, Utf8Place* at, size_t maxChars,
              size_t stop) {
  if (step == Utf8Step::LEAD)
    walkChars<Utf8Step::LEAD>(bytes(text), length, at, maxChars, stop);
  else
    walkChars<Utf8Step::DECODE>(bytes(text), length, at, maxChars, stop);
}

const char* Utf8PrevChar(const char* start, const char* p) {
  if (p <= start) return start;
  p--;
  while (p > start && isCont(static_cast<uint8_t>(*p))) p--;
  return p;
}

// The row of a sorted range table that holds c, or null: the only candidate
// is the last row whose first is not above c, and it holds c when c is in its
// range and on its stride (a stride of 0 holds the first alone).
template <typename Row>
const Row* rowHolding(const Row* table, size_t count, uint32_t c) {
  const Row* row = std::upper_bound(table, table + count, c,
                                    [](uint32_t v, const Row& r) { return v < r.first; });
  if (row == table) return nullptr;
  row--;
  if (c > row->last) return nullptr;
  if (row->stride == 0 ? c != row->first : (c - row->first) % row->stride != 0) return nullptr;
  return row;
}

bool UnicodeRangeLookup(const UnicodeRange* table, size_t count, uint32_t c) {
  return rowHolding(table, count, c) != nullptr;
}

uint32_t UnicodeCaseLookup(const UnicodeCaseRange* table, size_t count, uint32_t c) {
  const UnicodeCaseRange* row = rowHolding(table, count, c);
  return row ? static_cast<uint32_t>(static_cast<int64_t>(c) + row->delta) : c;
}

bool UnicodeIsAlpha(uint32_t c) {
  return UnicodeRangeLookup(kUnicodeAlphaRanges, kUnicodeAlphaRangesCount, c);
}
bool UnicodeIsLower(uint32_t c) {
  return UnicodeRangeLookup(kUnicodeLowerRanges, kUnicodeLowerRangesCount, c);
}
bool UnicodeIsUpper(uint32_t c) {
  return UnicodeRangeLookup(kUnicodeUpperRanges, kUnicodeUpperRangesCount, c);
}
bool UnicodeIsCntrl(uint32_t c) {
  return UnicodeRangeLookup(kUnicodeCntrlRanges, kUnicodeCntrlRangesCount, c);
}
bool UnicodeIsDigit(uint32_t c) {
  return UnicodeRangeLookup(kUnicodeDigitRanges, kUnicodeDigitRangesCount, c);
}
bool UnicodeIsXDigit(uint32_t c) {
  return UnicodeRangeLookup(kUnicodeXDigitRanges, kUnicodeXDigitRangesCount, c);
}
bool UnicodeIsPunct(uint32_t c) {
  return UnicodeRangeLookup(kUnicodePunctRanges, kUnicodePunctRangesCount, c);
}
bool UnicodeIsSpace(uint32_t c) {
  return UnicodeRangeLookup(kUnicodeSpaceRanges, kUnicodeSpaceRangesCount, c);
}

bool UnicodeIsGraph(uint32_t c) {
  return !UnicodeIsSpace(c) &&
         (UnicodeRangeLookup(kUnicodeGraphRanges, kUnicodeGraphRangesCount, c) ||
          UnicodeRangeLookup(kUnicodeMarkRanges, kUnicodeMarkRangesCount, c));
}

bool UnicodeIsPrint(uint32_t c) { return c == 0x20 || UnicodeIsGraph(c); }

bool UnicodeIsAlnum(uint32_t c) {
  return UnicodeIsAlpha(c) ||
         UnicodeRangeLookup(kUnicodeNumberRanges, kUnicodeNumberRangesCount, c);
}

uint32_t UnicodeToLower(uint32_t c) {
  return UnicodeCaseLookup(kUnicodeToLower, kUnicodeToLowerCount, c);
}
uint32_t UnicodeToUpper(uint32_t c) {
  return UnicodeCaseLookup(kUnicodeToUpper, kUnicodeToUpperCount, c);
}
uint32_t UnicodeToTitle(uint32_t c) {
  return UnicodeCaseLookup(kUnicodeToTitle, kUnicodeToTitleCount, c);
}
uint32_t UnicodeFoldCase(uint32_t c) {
  // Case-less compares fold every character: the two-byte range (Latin,
  // Greek, Cyrillic, Armenian, Hebrew, Arabic) is looked up directly.
  constexpr uint32_t FOLD_CACHE_SIZE = 0x800;
  struct Cache {
    uint32_t folded[FOLD_CACHE_SIZE];
    Cache() {
      for (uint32_t i = 0; i < FOLD_CACHE_SIZE; i++)
        folded[i] = UnicodeCaseLookup(kUnicodeFold, kUnicodeFoldCount, i);
    }
  };
  static const Cache cache;
  if (c < FOLD_CACHE_SIZE) return cache.folded[c];
  return UnicodeCaseLookup(kUnicodeFold, kUnicodeFoldCount, c);
}

// ---- Mode-dependent characters and strings ------------------------------------

uint32_t CharToLower(uint32_t c) {
  return unicodeUtf8Mode ? UnicodeToLower(c) : latin1Byte(c, kLatin1ToLower);
}
uint32_t CharToUpper(uint32_t c) {
  return unicodeUtf8Mode ? UnicodeToUpper(c) : latin1Byte(c, kLatin1ToUpper);
}
bool CharIsGraph(uint32_t c) {
  return unicodeUtf8Mode ? UnicodeIsGraph(c) : latin1Flag(c, kLatin1IsPrint);
}
bool CharIsPrint(uint32_t c) { return c == 0x20 || CharIsGraph(c); }
bool CharIsAlpha(uint32_t c) {
  return unicodeUtf8Mode ? UnicodeIsAlpha(c) : latin1Flag(c, kLatin1IsAlpha);
}
bool CharIsLower(uint32_t c) {
  return unicodeUtf8Mode ? UnicodeIsLower(c) : latin1Flag(c, kLatin1IsLower);
}
bool CharIsUpper(uint32_t c) {
  return unicodeUtf8Mode ? UnicodeIsUpper(c) : latin1Flag(c, kLatin1IsUpper);
}
bool CharIsDigit(uint32_t c) { return unicodeUtf8Mode ? UnicodeIsDigit(c) : c - '0' < 10; }

bool CharIsAlnum(uint32_t c) {
  return unicodeUtf8Mode ? UnicodeIsAlnum(c) : c - '0' < 10 || latin1Flag(c, kLatin1IsAlpha);
}

// In 8-bit mode: tab to carriage return, space, 0x85 and 0xA0.
bool CharIsSpace(uint32_t c) { return (unicodeUtf8Mode || c < 256) && UnicodeIsSpace(c); }

// Classes with no Latin-1 table of their own: Latin-1 bytes are the first
// 256 code points, so in 8-bit mode the Unicode tables answer for the byte.
bool CharIsPunct(uint32_t c) { return (unicodeUtf8Mode || c < 256) && UnicodeIsPunct(c); }
bool CharIsCntrl(uint32_t c) { return (unicodeUtf8Mode || c < 256) && UnicodeIsCntrl(c); }
bool CharIsXDigit(uint32_t c) { return (unicodeUtf8Mode || c < 256) && UnicodeIsXDigit(c); }

size_t CharToStringMode(char* buffer, uint32_t c) {
  if (unicodeUtf8Mode) return Utf8EncodeChar(buffer, c);
  // A value with no Latin-1 byte becomes '?', as in Utf8ToLatin1.
  buffer[0] = c < 256 ? static_cast<char>(c) : '?';
  buffer[1] = 0;
  return 1;
}

void StrToUpper(char* text) {
  if (unicodeUtf8Mode) {
    mapUtf8InPlace(text, UnicodeToUpper, kLatin1ToUpper);
    return;
  }
  for (uint8_t* p = reinterpret_cast<uint8_t*>(text); *p; p++) *p = kLatin1ToUpper[*p];
}

void StrToLower(char* text) {
  if (unicodeUtf8Mode) {
    mapUtf8InPlace(text, UnicodeToLower, kLatin1ToLower);
    return;
  }
  for (uint8_t* p = reinterpret_cast<uint8_t*>(text); *p; p++) *p = kLatin1ToLower[*p];
}

int CompareNoCase(const char* a, const char* b) {
  if (a == b) return 0;
  const uint8_t* sa = bytes(a);
  const uint8_t* sb = bytes(b);
  if (unicodeUtf8Mode) {
    return compareFoldedUtf8<false>(sa, nullptr, sb, nullptr);
  }
  for (;; sa++, sb++) {
    int ua = kLatin1ToUpper[*sa];
    int ub = kLatin1ToUpper[*sb];
    if (ua != ub) return ua - ub;
    if (*sa == 0) return 0;  // only 0 maps to 0, so b ends here too
  }
}

int CompareNoCaseN(const char* a, const char* b, size_t n) {
  if (a == b) return 0;
  const uint8_t* sa = bytes(a);
  const uint8_t* sb = bytes(b);
  if (unicodeUtf8Mode)
    return compareFoldedUtf8<true>(sa, sa + strnlen(a, n), sb, sb + strnlen(b, n));
  for (size_t i = 0; i < n; i++) {
    int ua = kLatin1ToUpper[sa[i]];
    int ub = kLatin1ToUpper[sb[i]];
    if (ua != ub) return ua - ub;
    if (sa[i] == 0) return 0;
  }
  return 0;
}

// ---- Latin-1 and UTF-8 conversions --------------------------------------------

size_t Latin1ToUtf8Length(const char* text) {
  size_t n = 0;
  for (const uint8_t* s = bytes(text); *s; s++) n += *s < 0x80 ? 1 : 2;
  return n;
}

size_t Latin1ToUtf8(const char* src, char* dst, size_t dstSize) {
  if (dstSize == 0) return 0;
  const uint8_t* s = bytes(src);
  uint8_t* d = reinterpret_cast<uint8_t*>(dst);
  size_t o = 0;
  size_t room = dstSize - 1;  // one byte stays for the terminator
  for (; *s; s++) {
    uint8_t b = *s;
    if (b < 0x80) {
      if (room - o < 1) break;
      d[o++] = b;
    } else {
      if (room - o < 2) break;
      d[o++] = b < 0xC0 ? 0xC2 : 0xC3;
      d[o++] = b < 0xC0 ? b : static_cast<uint8_t>(b - 0x40);
    }
  }
  d[o] = 0;
  return o;
}

char* Latin1ToUtf8Dup(const char* text) {
  if (!text) return nullptr;
  size_t need = Latin1ToUtf8Length(text);
  if (need == SIZE_MAX) return nullptr;
  char* out = static_cast<char*>(AllocMemory(need + 1, 0));
  if (!out) return nullptr;
  Latin1ToUtf8(text, out, need + 1);
  return out;
}

size_t Utf8ToLatin1(const char* src, char* dst, size_t srcLength, size_t* tracked) {
  const uint8_t* s = bytes(src);
  uint8_t* d = reinterpret_cast<uint8_t*>(dst);
  size_t track = tracked ? *tracked : SIZE_MAX;
  bool trackDone = tracked == nullptr;
  size_t i = 0;
  size_t o = 0;
  while (i < srcLength) {
    uint8_t b = s[i];
    size_t len;
    if (b < 0x80) {
      d[o] = b;
      len = 1;
    } else if ((b == 0xC2 || b == 0xC3) && srcLength - i >= 2 && isCont(s[i + 1])) {
      d[o] = b == 0xC2 ? s[i + 1] : static_cast<uint8_t>(s[i + 1] + 0x40);
      len = 2;
    } else {
      uint32_t c;
      len = Utf8DecodeNext(src + i, src + srcLength, &c);
      d[o] = '?';
    }
    // A tracked position inside a character moves to where that character
    // lands.
    if (!trackDone && track < i + len) {
      *tracked = o;
      trackDone = true;
    }
    i += len;
    o++;
  }
  if (!trackDone) *tracked = o;
  d[o] = 0;
  return o;
}

size_t Utf8ToLatin1Copy(const char* src, char* dst, size_t dstSize) {
  if (dstSize == 0) return 0;
  size_t len = std::strlen(src);
  if (len > dstSize - 1) {
    len = dstSize - 1;
    // src[len] is the first byte left out: a character it belongs to goes.
    while (len > 0 && isCont(static_cast<uint8_t>(src[len]))) len--;
  }
  return Utf8ToLatin1(src, dst, len, nullptr);
}

char* Utf8ToLatin1DupTracked(const char* text, size_t* tracked) {
  if (!text) return nullptr;
  size_t len = std::strlen(text);
  char* out = static_cast<char*>(AllocMemory(len + 1, 0));
  if (!out) return nullptr;
  Utf8ToLatin1(text, out, len, tracked);
  return out;
}

char* Utf8ToLatin1Dup(const char* text) { return Utf8ToLatin1DupTracked(text, nullptr); }

char* ConvertStringEncoding(const char* text, int32_t from, int32_t to) {
  if (from == TEXT_ENCODING_LATIN1 && to == TEXT_ENCODING_UTF8) return Latin1ToUtf8Dup(text);
  if (from == TEXT_ENCODING_UTF8 && to == TEXT_ENCODING_LATIN1) return Utf8ToLatin1Dup(text);
  return nullptr;
}
