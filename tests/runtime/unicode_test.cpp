// Tests of the Unicode and UTF-8 character layer: validation against
// python3's strict decoder (a table and a generated fixture), the codec at
// its boundaries, byte offsets that stop at the end, conversions against
// glibc's iconv, classes and case maps against the Unicode data (fixture),
// both text modes, collation, and allocation failures of the converters.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "runtime/runtime.h"
#include "platform/linux/unicode_private.h"

namespace {

// Sets the text mode for one scope and restores the previous one.
class TextMode {
 public:
  explicit TextMode(int utf8) : saved_(unicodeUtf8Mode) { unicodeUtf8Mode = utf8; }
  ~TextMode() { unicodeUtf8Mode = saved_; }

 private:
  int32_t saved_;
};

struct FreeDeleter {
  void operator()(char* p) const { FreeMemory(p); }
};
using Owned = std::unique_ptr<char, FreeDeleter>;

std::string fromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

std::string hexOf(const std::string& s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    out += buf;
  }
  return out;
}

std::string fixturePath(const char* name) {
  return std::string(QM_SOURCE_DIR) + "/tests/runtime/fixtures/" + name;
}

// glibc's converter: nullopt-like flag when it refuses the input.
bool iconvConvert(const char* to, const char* from, const std::string& in, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::vector<char> buf(in.size() * 4 + 8);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = buf.data();
  size_t dstLeft = buf.size();
  size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return false;
  out->assign(buf.data(), buf.size() - dstLeft);
  return true;
}

std::string encode(uint32_t c) {
  char buf[UTF8_CHAR_BUFFER];
  size_t n = Utf8EncodeChar(buf, c);
  return std::string(buf, n);
}

int sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

// ---- UTF-8 validation ---------------------------------------------------------

TEST(Utf8Validate, AgreesWithStrictDecoderOnTable) {
  struct Case {
    const char* name;
    const char* hex;
    int valid;
    size_t chars;
  } cases[] = {
      {"empty", "", 1, 0},
      {"ascii", "41424344", 1, 4},
      {"overlong C0 80", "C080", 0, 0},
      {"overlong C1 BF", "C1BF", 0, 0},
      {"smallest two-byte", "C280", 1, 1},
      {"overlong E0 9F BF", "E09FBF", 0, 0},
      {"smallest three-byte", "E0A080", 1, 1},
      {"surrogate ED A0 80", "EDA080", 0, 0},
      {"last before surrogates", "ED9FBF", 1, 1},
      {"overlong F0 8F BF BF", "F08FBFBF", 0, 0},
      {"smallest four-byte", "F0908080", 1, 1},
      {"above 10FFFF", "F4908080", 0, 0},
      {"10FFFF", "F48FBFBF", 1, 1},
      {"lead F5", "F5808080", 0, 0},
      {"lone continuation", "80", 0, 0},
      {"cut two-byte at end", "41C3", 0, 0},
      {"cut four-byte at end", "F09F98", 0, 0},
      {"ascii in place of continuation", "E28241", 0, 0},
      // Errors right after and inside an 8-byte ASCII block.
      {"error after ascii block", "414243444546474880", 0, 0},
      {"long mixed", "4142434445464748C3A9E282AC4142434445464748F09F9880", 1, 19},
      {"zero byte counts", "4100C3A9", 1, 3},
  };
  for (const Case& c : cases) {
    std::string bytes = fromHex(c.hex);
    int error = -1;
    size_t n = Utf8Validate(bytes.data(), bytes.size(), &error);
    EXPECT_EQ(error, c.valid ? 0 : 1) << c.name;
    EXPECT_EQ(n, c.chars) << c.name;
    EXPECT_EQ(Utf8CheckBytes(bytes.data(), bytes.size()), c.valid) << c.name;
  }
}

TEST(Utf8Validate, AgreesWithStrictDecoderOnRandomFixture) {
  std::ifstream in(fixturePath("utf8_random.txt"));
  ASSERT_TRUE(in) << "missing fixture";
  std::string line;
  int rows = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string hex;
    int valid;
    size_t chars;
    fields >> hex >> valid >> chars;
    std::string bytes = fromHex(hex == "-" ? "" : hex);
    // An exactly sized heap copy lets the address sanitizer catch any read
    // past the given length.
    std::unique_ptr<char[]> exact(new char[bytes.size() + 1]);
    std::memcpy(exact.get(), bytes.data(), bytes.size());
    int error = -1;
    size_t n = Utf8Validate(exact.get(), bytes.size(), &error);
    ASSERT_EQ(error, valid ? 0 : 1) << hex;
    ASSERT_EQ(n, chars) << hex;
    rows++;
  }
  EXPECT_GT(rows, 1000);
}

// ---- Encoding and decoding ----------------------------------------------------

TEST(Utf8Codec, EncodeDecodeEveryCodePoint) {
  for (uint32_t c = 1; c < 0x110000; c++) {
    std::string s = encode(c);
    ASSERT_EQ(s.size(), c < 0x80 ? 1u : c < 0x800 ? 2u : c < 0x10000 ? 3u : 4u) << c;
    bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    ASSERT_EQ(Utf8CheckBytes(s.data(), s.size()), surrogate ? 0 : 1) << c;
    uint32_t code = 0;
    ASSERT_EQ(Utf8DecodeNext(s.data(), s.data() + s.size(), &code), s.size()) << c;
    ASSERT_EQ(code, c);
    size_t pos = 0;
    ASSERT_EQ(Utf8DecodeChar(s.c_str(), &pos), c);
    ASSERT_EQ(pos, s.size());
  }
  char buf[UTF8_CHAR_BUFFER] = {'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(Utf8EncodeChar(buf, 0x110000), 0u);
  EXPECT_EQ(buf[0], 0);
}

TEST(Utf8Codec, DecodeNextTakesMalformedBytesOneByOne) {
  struct Case {
    const char* name;
    const char* hex;
    size_t avail;  // bytes between pointer and end
    size_t length;
    uint32_t code;
  } cases[] = {
      {"at end", "41", 0, 0, 0},
      {"lone continuation", "A9", 1, 1, 0xA9},
      {"lead without continuation", "C341", 2, 1, 0xC3},
      {"sequence cut by end", "E282AC", 2, 1, 0xE2},
      {"overlong is not judged", "C080", 2, 2, 0},
      {"five-byte form", "F888808080", 5, 5, 0x200000},
      {"lead FE", "FE80808080808080", 8, 1, 0xFE},
  };
  for (const Case& c : cases) {
    std::string s = fromHex(c.hex);
    uint32_t code = 12345;
    EXPECT_EQ(Utf8DecodeNext(s.data(), s.data() + c.avail, &code), c.length) << c.name;
    EXPECT_EQ(code, c.code) << c.name;
  }
  // Decoding without a length stops at the terminator and at six bytes.
  std::string run = "\xC3" + std::string(10, '\x80');
  size_t pos = 0;
  Utf8DecodeChar(run.c_str(), &pos);
  EXPECT_EQ(pos, 6u);
  pos = 0;
  EXPECT_EQ(Utf8DecodeChar("", &pos), 0u);
  EXPECT_EQ(pos, 0u);
}

TEST(Utf8Offsets, StopAtTheEndOfTheText) {
  // "aé€😀" is 1 + 2 + 3 + 4 bytes.
  const char* text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  struct Case {
    int64_t n;
    size_t offset;
  } cases[] = {{-3, 0}, {0, 0}, {1, 1}, {2, 3}, {3, 6}, {4, 10}, {5, 10}, {1000, 10}};
  for (const Case& c : cases) EXPECT_EQ(Utf8ByteOffset(text, c.n), c.offset) << c.n;

  // With a length, nothing past it is read (exact heap block, no
  // terminator) and a zero byte inside counts as a character.
  const char raw[] = {'a', 0, '\xC3', '\xA9', '\xE2', '\x82'};
  std::unique_ptr<char[]> exact(new char[sizeof raw]);
  std::memcpy(exact.get(), raw, sizeof raw);
  EXPECT_EQ(Utf8ByteOffsetN(exact.get(), sizeof raw, 2), 2u);
  EXPECT_EQ(Utf8ByteOffsetN(exact.get(), sizeof raw, 3), 4u);
  EXPECT_EQ(Utf8ByteOffsetN(exact.get(), sizeof raw, 4), 6u);  // cut character ends at the length
  EXPECT_EQ(Utf8ByteOffsetN(exact.get(), sizeof raw, 99), 6u);
  EXPECT_EQ(Utf8CountChars(exact.get(), sizeof raw), 4u);
  EXPECT_EQ(Utf8CharCount(exact.get(), exact.get() + 4), 3u);

  // Lead byte followed by more than three continuation bytes: the fourth
  // starts a character of its own, in both walks.
  const char* runs = "\xC3\x80\x80\x80\x80";
  EXPECT_EQ(Utf8ByteOffset(runs, 1), 4u);
  EXPECT_EQ(Utf8CountChars(runs, 5), 2u);

  // Stepping back and forth.
  const char* end = text + std::strlen(text);
  EXPECT_EQ(Utf8PrevChar(text, end), text + 6);
  EXPECT_EQ(Utf8PrevChar(text, text + 3), text + 1);
  EXPECT_EQ(Utf8PrevChar(text, text), text);
  EXPECT_EQ(Utf8PrevChar(text + 2, text + 3), text + 2);  // never before start
  EXPECT_EQ(Utf8NextChar(text + 1, end), text + 3);
  EXPECT_EQ(Utf8NextChar(end, end), end);
}

// ---- Conversions ---------------------------------------------------------------

TEST(Latin1Utf8, AgreesWithIconvOverLatin1) {
  for (int b = 1; b < 256; b++) {
    std::string in(1, static_cast<char>(b));
    std::string want;
    ASSERT_TRUE(iconvConvert("UTF-8", "ISO-8859-1", in, &want));
    Owned got(Latin1ToUtf8Dup(in.c_str()));
    ASSERT_TRUE(got);
    EXPECT_EQ(hexOf(got.get()), hexOf(want)) << b;
    EXPECT_EQ(Latin1ToUtf8Length(in.c_str()), want.size());
  }
  Owned ff(Latin1ToUtf8Dup("\xFF"));
  EXPECT_STREQ(ff.get(), "\xC3\xBF");
}

TEST(Latin1Utf8, Utf8ToLatin1AgreesWithIconvOnValidText) {
  // Every code point up to U+07FF and samples of the longer forms.
  std::vector<uint32_t> points;
  for (uint32_t c = 1; c < 0x800; c++) points.push_back(c);
  for (uint32_t c : {0x800u, 0x20ACu, 0xFFFDu, 0x10000u, 0x1F600u, 0x10FFFFu}) points.push_back(c);
  for (uint32_t c : points) {
    std::string in = encode(c);
    std::string want;
    if (!iconvConvert("ISO-8859-1", "UTF-8", in, &want)) want = "?";
    char out[8];
    size_t n = Utf8ToLatin1(in.data(), out, in.size(), nullptr);
    EXPECT_EQ(hexOf(std::string(out, n)), hexOf(want)) << std::hex << c;
  }
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"\xC2\xA9", "\xA9"},  {"\xC3\xA9", "\xE9"},
      {"\xE2\x82\xAC", "?"}, {"a\xF0\x9F\x98\x80z", "a?z"},
      {"\xC3", "?"},       // cut at the end
      {"\xA9\xA9", "??"},  // lone continuation bytes
      {"\xC3\x41", "?A"},  // lead without continuation
  };
  for (const Case& c : cases) {
    Owned got(Utf8ToLatin1Dup(c.in));
    ASSERT_TRUE(got);
    EXPECT_EQ(hexOf(got.get()), hexOf(c.out)) << hexOf(c.in);
  }
}

TEST(Latin1Utf8, TrackedPositionFollowsItsCharacter) {
  // "aé€b": source offsets 0 a, 1-2 é, 3-5 €, 6 b, 7 end.
  const char* src =
      "a\xC3\xA9\xE2\x82\xAC"
      "b";
  struct Case {
    size_t in;
    size_t out;
  } cases[] = {{0, 0}, {1, 1}, {2, 1}, {3, 2}, {5, 2}, {6, 3}, {7, 4}, {99, 4}};
  for (const Case& c : cases) {
    size_t tracked = c.in;
    Owned got(Utf8ToLatin1DupTracked(src, &tracked));
    ASSERT_TRUE(got);
    EXPECT_STREQ(got.get(), "a\xE9?b");
    EXPECT_EQ(tracked, c.out) << c.in;
  }
}

TEST(Latin1Utf8, BoundedOutputNeverSplitsACharacter) {
  char buf[8];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(Latin1ToUtf8("ab\xE9", buf, 4), 2u);  // é needs two bytes and does not fit
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(Latin1ToUtf8("ab\xE9", buf, 5), 4u);
  EXPECT_STREQ(buf, "ab\xC3\xA9");
  EXPECT_EQ(Latin1ToUtf8("abc", buf, 0), 0u);

  EXPECT_EQ(Utf8ToLatin1Copy("ab\xE2\x82\xAC", buf, 4), 2u);  // € cut: left out whole
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(Utf8ToLatin1Copy("ab\xE2\x82\xAC", buf, 6), 3u);
  EXPECT_STREQ(buf, "ab?");

  Owned u(ConvertStringEncoding("\xE9", TEXT_ENCODING_LATIN1, TEXT_ENCODING_UTF8));
  EXPECT_STREQ(u.get(), "\xC3\xA9");
  Owned l(ConvertStringEncoding("\xC3\xA9", TEXT_ENCODING_UTF8, TEXT_ENCODING_LATIN1));
  EXPECT_STREQ(l.get(), "\xE9");
  EXPECT_EQ(ConvertStringEncoding("x", TEXT_ENCODING_UTF8, TEXT_ENCODING_UTF8), nullptr);
  EXPECT_EQ(ConvertStringEncoding("x", 0, 7), nullptr);
}

TEST(Latin1Utf8, DupReportsAllocationFailure) {
  struct Case {
    const char* name;
    char* (*dup)(const char*);
  } cases[] = {
      {"Latin1ToUtf8Dup", Latin1ToUtf8Dup},
      {"Utf8ToLatin1Dup", Utf8ToLatin1Dup},
  };
  for (const Case& c : cases) {
    SetAllocFailure(1, false);
    EXPECT_EQ(c.dup("abc\xC3\xA9"), nullptr) << c.name;
    SetAllocFailure(0, false);
    Owned ok(c.dup("abc"));
    EXPECT_STREQ(ok.get(), "abc") << c.name;
    EXPECT_EQ(c.dup(nullptr), nullptr) << c.name;
  }
}

// ---- Classes and case ------------------------------------------------------------

TEST(UnicodeClasses, CodePointTable) {
  constexpr unsigned ALPHA = 1, LOWER = 2, UPPER = 4, CNTRL = 8, DIGIT = 16, XDIGIT = 32,
                     PUNCT = 64, SPACE = 128, GRAPH = 256, PRINT = 512, ALNUM = 1024;
  struct Case {
    const char* name;
    uint32_t c;
    unsigned classes;
  } cases[] = {
      {"A", 'A', ALPHA | UPPER | XDIGIT | GRAPH | PRINT | ALNUM},
      {"z", 'z', ALPHA | LOWER | GRAPH | PRINT | ALNUM},
      {"7", '7', DIGIT | XDIGIT | GRAPH | PRINT | ALNUM},
      {"space", 0x20, SPACE | PRINT},
      {"tab", 0x09, SPACE | CNTRL},
      {"next line U+0085", 0x85, SPACE | CNTRL},
      {"no-break space", 0xA0, SPACE},
      {"ideographic space U+3000", 0x3000, SPACE},
      {"zero-width space U+200B", 0x200B, CNTRL},
      {"comma", ',', PUNCT | GRAPH | PRINT},
      {"dollar", '$', PUNCT | GRAPH | PRINT},
      {"plus", '+', PUNCT | GRAPH | PRINT},
      {"circumflex", '^', PUNCT | GRAPH | PRINT},
      {"copyright sign", 0xA9, GRAPH | PRINT},
      {"euro sign", 0x20AC, PUNCT | GRAPH | PRINT},
      {"micro sign", 0xB5, ALPHA | LOWER | GRAPH | PRINT | ALNUM},
      {"multiplication sign", 0xD7, PUNCT | GRAPH | PRINT},
      {"combining acute", 0x301, GRAPH | PRINT},
      {"Arabic-Indic three", 0x663, DIGIT | GRAPH | PRINT | ALNUM},
      {"Roman numeral one", 0x2160, GRAPH | PRINT | ALNUM},
      {"full-width A", 0xFF21, ALPHA | UPPER | XDIGIT | GRAPH | PRINT | ALNUM},
      {"dotless i", 0x131, ALPHA | LOWER | GRAPH | PRINT | ALNUM},
      {"Deseret capital long i", 0x10400, ALPHA | UPPER | GRAPH | PRINT | ALNUM},
      {"CJK ideograph", 0x4E00, ALPHA | GRAPH | PRINT | ALNUM},
      {"private use plane 16", 0x100000, CNTRL},
      {"unassigned", 0x378, 0},
      {"beyond Unicode", 0x110000, 0},
  };
  for (const Case& c : cases) {
    unsigned got = (UnicodeIsAlpha(c.c) ? ALPHA : 0) | (UnicodeIsLower(c.c) ? LOWER : 0) |
                   (UnicodeIsUpper(c.c) ? UPPER : 0) | (UnicodeIsCntrl(c.c) ? CNTRL : 0) |
                   (UnicodeIsDigit(c.c) ? DIGIT : 0) | (UnicodeIsXDigit(c.c) ? XDIGIT : 0) |
                   (UnicodeIsPunct(c.c) ? PUNCT : 0) | (UnicodeIsSpace(c.c) ? SPACE : 0) |
                   (UnicodeIsGraph(c.c) ? GRAPH : 0) | (UnicodeIsPrint(c.c) ? PRINT : 0) |
                   (UnicodeIsAlnum(c.c) ? ALNUM : 0);
    EXPECT_EQ(got, c.classes) << c.name;
  }
}

TEST(UnicodeCase, EveryBmpSimpleFoldingOfTheFixtureHolds) {
  std::ifstream in(fixturePath("casefold_bmp.txt"));
  ASSERT_TRUE(in) << "missing fixture";
  std::string line;
  int rows = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    uint32_t from = std::stoul(line.substr(0, line.find(' ')), nullptr, 16);
    uint32_t to = std::stoul(line.substr(line.find(' ') + 1), nullptr, 16);
    ASSERT_EQ(UnicodeFoldCase(from), to) << std::hex << from;
    // A folded character folds to itself and compares equal to its source.
    ASSERT_EQ(UnicodeFoldCase(to), to) << std::hex << to;
    TextMode mode(1);
    ASSERT_EQ(CompareNoCase(encode(from).c_str(), encode(to).c_str()), 0) << std::hex << from;
    rows++;
  }
  EXPECT_GT(rows, 1000);
}

TEST(UnicodeCase, MappingTable) {
  struct Case {
    const char* name;
    uint32_t c, lower, upper, title, fold;
  } cases[] = {
      {"A", 'A', 'a', 'A', 'A', 'a'},
      {"micro sign", 0xB5, 0xB5, 0x39C, 0x39C, 0x3BC},
      {"y diaeresis", 0xFF, 0xFF, 0x178, 0x178, 0xFF},
      {"sharp s", 0xDF, 0xDF, 0xDF, 0xDF, 0xDF},
      {"dotless i", 0x131, 0x131, 'I', 'I', 0x131},
      {"capital I with dot", 0x130, 'i', 0x130, 0x130, 0x130},
      {"dz digraph", 0x1C6, 0x1C6, 0x1C4, 0x1C5, 0x1C6},
      {"Kelvin sign", 0x212A, 'k', 0x212A, 0x212A, 'k'},
      {"Deseret", 0x10400, 0x10428, 0x10400, 0x10400, 0x10428},
      {"beyond Unicode", 0x110000, 0x110000, 0x110000, 0x110000, 0x110000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UnicodeToLower(c.c), c.lower) << c.name;
    EXPECT_EQ(UnicodeToUpper(c.c), c.upper) << c.name;
    EXPECT_EQ(UnicodeToTitle(c.c), c.title) << c.name;
    EXPECT_EQ(UnicodeFoldCase(c.c), c.fold) << c.name;
  }
}

// ---- Both text modes --------------------------------------------------------------

TEST(TextModes, RoutinesFollowTheFlag) {
  struct Case {
    const char* name;
    int utf8;
    uint32_t c;
    uint32_t upper, lower;
    bool alpha, alnum, graph, lower_, upper_, space, punct;
  } cases[] = {
      {"8-bit e acute", 0, 0xE9, 0xC9, 0xE9, true, true, true, true, false, false, false},
      {"utf8 e acute", 1, 0xE9, 0xC9, 0xE9, true, true, true, true, false, false, false},
      {"8-bit y diaeresis", 0, 0xFF, 0xFF, 0xFF, true, true, true, true, false, false, false},
      {"utf8 y diaeresis", 1, 0xFF, 0x178, 0xFF, true, true, true, true, false, false, false},
      {"8-bit multiplication sign", 0, 0xD7, 0xD7, 0xD7, true, true, true, false, false, false,
       true},
      {"utf8 multiplication sign", 1, 0xD7, 0xD7, 0xD7, false, false, true, false, false, false,
       true},
      {"8-bit no-break space", 0, 0xA0, 0xA0, 0xA0, false, false, false, false, false, true, false},
      {"8-bit soft hyphen", 0, 0xAD, 0xAD, 0xAD, false, false, true, false, false, false, false},
      {"8-bit beyond a byte", 0, 0x100, 0x100, 0x100, false, false, false, false, false, false,
       false},
      {"utf8 A macron", 1, 0x100, 0x100, 0x101, true, true, true, false, true, false, false},
      {"8-bit digit", 0, '5', '5', '5', false, true, true, false, false, false, false},
      {"8-bit euro sign is no byte", 0, 0x20AC, 0x20AC, 0x20AC, false, false, false, false, false,
       false, false},
      {"utf8 euro sign", 1, 0x20AC, 0x20AC, 0x20AC, false, false, true, false, false, false, true},
  };
  for (const Case& c : cases) {
    TextMode mode(c.utf8);
    EXPECT_EQ(CharToUpper(c.c), c.upper) << c.name;
    EXPECT_EQ(CharToLower(c.c), c.lower) << c.name;
    EXPECT_EQ(CharIsAlpha(c.c), c.alpha) << c.name;
    EXPECT_EQ(CharIsAlnum(c.c), c.alnum) << c.name;
    EXPECT_EQ(CharIsGraph(c.c), c.graph) << c.name;
    EXPECT_EQ(CharIsLower(c.c), c.lower_) << c.name;
    EXPECT_EQ(CharIsUpper(c.c), c.upper_) << c.name;
    EXPECT_EQ(CharIsSpace(c.c), c.space) << c.name;
    EXPECT_EQ(CharIsPunct(c.c), c.punct) << c.name;
  }
}

TEST(TextModes, StringsFollowTheFlag) {
  struct Case {
    const char* name;
    int utf8;
    const char* in;
    const char* upper;
    const char* lower;
  } cases[] = {
      {"8-bit Latin-1", 0, "Caf\xE9 \xFF\xB5", "CAF\xC9 \xFF\xB5", "caf\xE9 \xFF\xB5"},
      {"utf8 accented", 1, "Caf\xC3\xA9", "CAF\xC3\x89", "caf\xC3\xA9"},
      // Upper case of the dotless i is one byte shorter: left as it is.
      {"utf8 dotless i", 1, "\xC4\xB1x", "\xC4\xB1X", "\xC4\xB1x"},
      // Kelvin sign lowers to a one-byte k: left as it is.
      {"utf8 Kelvin sign", 1, "\xE2\x84\xAA", "\xE2\x84\xAA", "\xE2\x84\xAA"},
      {"utf8 Greek", 1, "\xCE\xB1\xCE\x92", "\xCE\x91\xCE\x92", "\xCE\xB1\xCE\xB2"},
      {"utf8 malformed bytes kept", 1,
       "\xB5"
       "a\xC3\xC9z",
       "\xB5"
       "A\xC3\xC9Z",
       "\xB5"
       "a\xC3\xC9z"},
      {"8-bit utf8 bytes are Latin-1", 0, "\xC3\xA9", "\xC3\xA9", "\xE3\xA9"},
  };
  for (const Case& c : cases) {
    TextMode mode(c.utf8);
    std::string up = c.in, low = c.in;
    StrToUpper(up.data());
    StrToLower(low.data());
    EXPECT_EQ(hexOf(up), hexOf(c.upper)) << c.name;
    EXPECT_EQ(hexOf(low), hexOf(c.lower)) << c.name;
    char buf[UTF8_CHAR_BUFFER];
    EXPECT_EQ(CharToStringMode(buf, 0xE9), c.utf8 ? 2u : 1u) << c.name;
    EXPECT_STREQ(buf, c.utf8 ? "\xC3\xA9" : "\xE9") << c.name;
  }
  TextMode mode(0);
  char buf[UTF8_CHAR_BUFFER];
  CharToStringMode(buf, 0x20AC);
  EXPECT_STREQ(buf, "?");
  // In UTF-8 mode every ASCII byte maps as its code point does.
  TextMode utf8(1);
  for (uint32_t c = 1; c < 0x80; c++) {
    char up[2] = {char(c), 0}, low[2] = {char(c), 0};
    StrToUpper(up);
    StrToLower(low);
    EXPECT_EQ(uint8_t(up[0]), UnicodeToUpper(c)) << c;
    EXPECT_EQ(uint8_t(low[0]), UnicodeToLower(c)) << c;
  }
}

TEST(TextModes, CaseLessCompare) {
  struct Case {
    const char* name;
    int utf8;
    const char* a;
    const char* b;
    int sign;
  } cases[] = {
      {"utf8 ascii word", 1, "LoadBrush", "loadbrush", 0},
      {"utf8 micro sign and mu", 1, "\xC2\xB5", "\xCE\xBC", 0},
      {"utf8 accented capitals", 1, "CAF\xC3\x89", "caf\xC3\xA9", 0},
      {"utf8 prefix is smaller", 1, "abc", "ABCD", -1},
      {"utf8 longer is larger", 1, "ABCD", "abc", 1},
      {"utf8 by folded value", 1, "a", "B", -1},
      {"8-bit Latin-1 capitals", 0, "CAF\xC9", "caf\xE9", 0},
      {"8-bit micro sign is not mu", 0, "\xB5", "\xCE\xBC", -1},
      {"8-bit utf8 bytes differ", 0, "\xC3\x89", "\xC3\xA9", -1},
      {"8-bit prefix", 0, "ab", "ABC", -1},
      {"empty strings", 1, "", "", 0},
  };
  for (const Case& c : cases) {
    TextMode mode(c.utf8);
    EXPECT_EQ(sign(CompareNoCase(c.a, c.b)), c.sign) << c.name;
    EXPECT_EQ(sign(CompareNoCase(c.b, c.a)), -c.sign) << c.name;
  }
  TextMode mode(1);
  EXPECT_EQ(CompareNoCaseN("ABCx", "abcy", 3), 0);
  EXPECT_EQ(sign(CompareNoCaseN("ABCx", "abcy", 4)), -1);
  // n cuts a two-byte character: what is left of it is one malformed byte.
  EXPECT_EQ(CompareNoCaseN("a\xC3\xA9", "A\xC3\x89", 2), 0);
  EXPECT_EQ(CompareNoCaseN("ab", "abc", 10), -1);
  TextMode bytes(0);
  EXPECT_EQ(CompareNoCaseN("ABCx", "abcy", 3), 0);
  EXPECT_LT(CompareNoCaseN("ABCx", "abcy", 4), 0);
}

// ---- Collation --------------------------------------------------------------------

TEST(Collation, OrderTable) {
  struct Case {
    const char* name;
    const char* a;
    const char* b;
    int caseLess;  // sign with caseSensitive = 0
    int caseSensitive;
  } cases[] = {
      {"a before B", "a", "B", -1, -1},
      {"B before c", "B", "c", -1, -1},
      {"e before e acute", "e", "\xC3\xA9", -1, -1},
      {"e acute before f", "\xC3\xA9", "f", -1, -1},
      {"E acute before f", "\xC3\x89", "f", -1, -1},
      {"case only", "a", "A", 0, -1},
      {"case at the first letter only", "aBc", "Abc", 0, -1},
      {"letters before case", "ab", "Ac", -1, -1},
      {"prefix before case", "ab", "ABC", -1, -1},
      {"equal",
       "Stra\xC3\x9F"
       "e",
       "Stra\xC3\x9F"
       "e",
       0, 0},
      {"digits before letters", "9", "a", -1, -1},
      {"punctuation before digits", "_", "0", -1, -1},
      {"Kelvin sign is a k", "\xE2\x84\xAA", "k", 0, 1},
      {"beyond the table by code point", "\xCE\xB1", "\xCE\xB2", -1, -1},
      {"Greek capital and small", "\xCE\x91", "\xCE\xB1", 0, -1},
      {"Latin before Greek", "z", "\xCE\xB1", -1, -1},
      {"invalid UTF-8 by bytes", "\xC3", "\xC3\xA9", -1, -1},
      {"empty first", "", "a", -1, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CollateCompare(c.a, c.b, 0), c.caseLess) << c.name;
    EXPECT_EQ(CollateCompare(c.b, c.a, 0), -c.caseLess) << c.name;
    EXPECT_EQ(CollateCompare(c.a, c.b, 1), c.caseSensitive) << c.name;
    EXPECT_EQ(CollateCompare(c.b, c.a, 1), -c.caseSensitive) << c.name;
  }
}

TEST(Collation, CaseSensitiveOrderIsTotalOverLatin) {
  // Every pair of characters up to Latin Extended-B: the case-sensitive
  // compare is 0 only for the same character, is antisymmetric, and agrees
  // with the case-less compare wherever that one sees a difference.
  std::vector<std::string> chars;
  for (uint32_t c = 1; c < 0x250; c++) chars.push_back(encode(c));
  for (size_t i = 0; i < chars.size(); i++) {
    for (size_t j = 0; j < chars.size(); j++) {
      int cs = CollateCompare(chars[i].c_str(), chars[j].c_str(), 1);
      int ci = CollateCompare(chars[i].c_str(), chars[j].c_str(), 0);
      ASSERT_EQ(cs == 0, i == j) << i << " " << j;
      ASSERT_EQ(cs, -CollateCompare(chars[j].c_str(), chars[i].c_str(), 1)) << i << " " << j;
      if (ci != 0) {
        ASSERT_EQ(cs, ci) << i << " " << j;
      }
    }
  }
}

TEST(Collation, StringCompareFollowsTheFlag) {
  struct Case {
    const char* name;
    int utf8;
    int caseSensitive;
    const char* a;
    const char* b;
    int sign;
  } cases[] = {
      {"8-bit bytes: B before a", 0, 1, "B", "a", -1},
      {"8-bit case-less", 0, 0, "B", "a", 1},
      {"8-bit case-less equal", 0, 0, "\xC9", "\xE9", 0},
      {"utf8 collation: a before B", 1, 1, "a", "B", -1},
      {"utf8 case-less equal", 1, 0, "\xC3\x89", "\xC3\xA9", 0},
      {"utf8 accent after base", 1, 1, "\xC3\xA9", "f", -1},
  };
  for (const Case& c : cases) {
    TextMode mode(c.utf8);
    EXPECT_EQ(sign(CompareStringMode(c.a, c.b, c.caseSensitive)), c.sign) << c.name;
  }
}

}  // namespace
