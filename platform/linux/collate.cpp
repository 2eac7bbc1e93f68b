// Language-order comparison of strings (collation) and the mode-dependent
// string compare built on it. Strings are compared in two passes: first
// character by character without regard to case (the case-less table,
// which keeps accents after their base letter), then, only when that
// finds them equal and of equal length, with the case-sensitive table.
// Invariant: the result is a total order: 0 only for strings that tie at
// every position of the passes asked for.
#include <cstring>

#include "platform/linux/platform.h"
#include "platform/linux/unicode_private.h"
#include "platform/linux/unicode_tables.h"

namespace {

inline int compareValues(uint32_t a, uint32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

// One position: a table entry (1 before, 2 tie, 3 after) for characters
// the table covers, else code point order.
inline int comparePair(const uint8_t* table, uint32_t a, uint32_t b) {
  if (a < kCollateSize && b < kCollateSize) return table[a * kCollateSize + b] - 2;
  return compareValues(a, b);
}

// Decoder for strings already validated.
inline uint32_t nextValid(const uint8_t*& s) {
  uint32_t b = *s++;
  if (b < 0x80) return b;
  if (b < 0xE0) return ((b & 0x1F) << 6) | (*s++ & 0x3F);
  if (b < 0xF0) {
    uint32_t v = ((b & 0x0F) << 12) | ((s[0] & 0x3Fu) << 6) | (s[1] & 0x3F);
    s += 2;
    return v;
  }
  uint32_t v = ((b & 0x07) << 18) | ((s[0] & 0x3Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3F);
  s += 3;
  return v;
}

int compareBytes(const char* a, const char* b) {
  int r = std::strcmp(a, b);  // compares as unsigned char
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

}  // namespace

int CollateCompare(const char* a, const char* b, int caseSensitive) {
  if (a == b) return 0;
  size_t la = std::strlen(a);
  size_t lb = std::strlen(b);
  // Invalid UTF-8 has no characters to collate; its bytes still order it.
  if (!Utf8CheckBytes(a, la) || !Utf8CheckBytes(b, lb)) return compareBytes(a, b);

  const uint8_t* pa = reinterpret_cast<const uint8_t*>(a);
  const uint8_t* pb = reinterpret_cast<const uint8_t*>(b);
  while (*pa && *pb) {
    // Folding first lets the table see characters whose other case lies
    // beyond it (the Kelvin sign is a k) and orders the rest by folded value.
    uint32_t ca = UnicodeFoldCase(nextValid(pa));
    uint32_t cb = UnicodeFoldCase(nextValid(pb));
    int r = comparePair(kCollateNoCaseTable, ca, cb);
    if (r != 0) return r;
  }
  if (*pa || *pb) return *pa ? 1 : -1;
  if (!caseSensitive) return 0;

  // Equal but for case, position by position: the first difference decides.
  pa = reinterpret_cast<const uint8_t*>(a);
  pb = reinterpret_cast<const uint8_t*>(b);
  while (*pa) {
    int r = comparePair(kCollateCaseTable, nextValid(pa), nextValid(pb));
    if (r != 0) return r;
  }
  return 0;
}

void FreeCollationTables() {}

int CompareStringMode(const char* a, const char* b, int caseSensitive) {
  if (unicodeUtf8Mode) return CollateCompare(a, b, caseSensitive);
  return caseSensitive ? compareBytes(a, b) : CompareNoCase(a, b);
}
