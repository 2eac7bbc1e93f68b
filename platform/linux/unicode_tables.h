// Generated character tables of the Unicode layer (platform/linux/unicode_tables.cpp,
// written by data/unicode/gen_unicode_tables.py). Range rows are sorted and
// their [first, last] intervals are disjoint; a row holds c when
// first <= c <= last and (c - first) is a multiple of stride.
#pragma once

#include <cstddef>
#include <cstdint>

struct UnicodeRange {
  uint32_t first;
  uint32_t last;
  uint32_t stride;
};

// A code point in the row maps to c + delta.
struct UnicodeCaseRange {
  uint32_t first;
  uint32_t last;
  uint32_t stride;
  int32_t delta;
};

extern const UnicodeRange kUnicodeAlphaRanges[];
extern const size_t kUnicodeAlphaRangesCount;
extern const UnicodeRange kUnicodeLowerRanges[];
extern const size_t kUnicodeLowerRangesCount;
extern const UnicodeRange kUnicodeUpperRanges[];
extern const size_t kUnicodeUpperRangesCount;
extern const UnicodeRange kUnicodeCntrlRanges[];
extern const size_t kUnicodeCntrlRangesCount;
extern const UnicodeRange kUnicodeDigitRanges[];
extern const size_t kUnicodeDigitRangesCount;
extern const UnicodeRange kUnicodeXDigitRanges[];
extern const size_t kUnicodeXDigitRangesCount;
extern const UnicodeRange kUnicodePunctRanges[];
extern const size_t kUnicodePunctRangesCount;
extern const UnicodeRange kUnicodeSpaceRanges[];
extern const size_t kUnicodeSpaceRangesCount;
// Printable characters other than white space and combining marks.
extern const UnicodeRange kUnicodeGraphRanges[];
extern const size_t kUnicodeGraphRangesCount;
// Combining marks, printable too.
extern const UnicodeRange kUnicodeMarkRanges[];
extern const size_t kUnicodeMarkRangesCount;
// Numbers of every kind; with the letters they make the alphanumerics.
extern const UnicodeRange kUnicodeNumberRanges[];
extern const size_t kUnicodeNumberRangesCount;

extern const UnicodeCaseRange kUnicodeToLower[];
extern const size_t kUnicodeToLowerCount;
extern const UnicodeCaseRange kUnicodeToUpper[];
extern const size_t kUnicodeToUpperCount;
extern const UnicodeCaseRange kUnicodeToTitle[];
extern const size_t kUnicodeToTitleCount;
extern const UnicodeCaseRange kUnicodeFold[];
extern const size_t kUnicodeFoldCount;

// Latin-1 tables indexed by the byte: case maps (identity where the other
// case lies outside Latin-1) and 0/1 class flags.
extern const uint8_t kLatin1ToLower[256];
extern const uint8_t kLatin1ToUpper[256];
extern const uint8_t kLatin1IsPrint[256];  // 0x21-0x7E, 0xA1-0xFF
extern const uint8_t kLatin1IsAlpha[256];
extern const uint8_t kLatin1IsLower[256];
extern const uint8_t kLatin1IsUpper[256];

// Collation of code points below kCollateSize: entry [a * kCollateSize + b]
// is 1 when a sorts before b, 2 when they tie, 3 when a sorts after b.
// Basic Latin to Latin Extended-B; the generator's COLLATE_SIZE.
constexpr uint32_t kCollateSize = 592;
// Ties only identical characters.
extern const uint8_t kCollateCaseTable[kCollateSize * kCollateSize];
// Ignores case, keeps accents.
extern const uint8_t kCollateNoCaseTable[kCollateSize * kCollateSize];

// Binary search for the row that holds c: true when c is in the table.
// A row of stride 0 holds its first code point only.
bool UnicodeRangeLookup(const UnicodeRange* table, size_t count, uint32_t c);
// c mapped by the table's row that holds it, else c itself.
uint32_t UnicodeCaseLookup(const UnicodeCaseRange* table, size_t count, uint32_t c);
