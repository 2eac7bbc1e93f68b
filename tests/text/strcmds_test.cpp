// The string library's text commands through the in-process player, each
// a table of cases in byte mode and, where the command depends on it, in
// UTF-8 mode (explicit encoding argument and the run's text mode); hashes
// and Base64 against values computed with md5sum, zlib.crc32 and base64.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "tests/support/harness.h"
#include "tests/text/string_support.h"
#include "text/strcmds.h"

void VmSetAllocFailure(uint64_t n, bool persistent);

namespace {

using testcall::V;

// UTF-8 test text: a-umlaut (2 bytes), euro sign (3 bytes), G clef (4 bytes).
#define AE "\xc3\xa4"
#define EURO "\xe2\x82\xac"
#define CLEF "\xf0\x9d\x84\x9e"

struct Case {
  const char* name;
  const char* command;
  std::vector<V> args;
  ErrorCode error;
  std::vector<V> results;
};

class StringCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { saved = unicodeUtf8Mode; }
  void TearDown() override { unicodeUtf8Mode = saved; }

  void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      std::vector<V> results;
      ASSERT_EQ(testcall::Run(h.L, c.command, c.args, &results), c.error);
      if (c.error == 0) {
        EXPECT_TRUE(results == c.results) << testcall::Show(results);
      }
    }
  }

  PlayerHarness h;
  int32_t saved = 0;
};

TEST(StringLibrary, RegistersSixtyFiveCommandsInOrder) {
  const CommandTableEntry* table = StringLibraryCommands(nullptr);
  int n = 0;
  while (table[n].name) n++;
  EXPECT_EQ(n, 65);
  EXPECT_STREQ(table[0].name, "LowerStr");
  EXPECT_STREQ(table[21].name, "ToString");
  EXPECT_STREQ(table[64].name, "ByteStrStr");
  for (int i = 0; i < n; i++)
    if (i != 21) {
      EXPECT_NE(table[i].function, nullptr) << table[i].name;
    }
}

TEST_F(StringCommandsTest, CuttingAndJoining) {
  RunCases({
      {"left_longer_than_text", "LeftStr", {"abc", 5}, 0, {"abc"}},
      {"left_zero", "LeftStr", {"abc", 0}, 0, {""}},
      {"left_negative", "LeftStr", {"abc", -3}, 0, {""}},
      {"left_utf8", "LeftStr", {AE EURO "x", 2, 1}, 0, {AE EURO}},
      {"left_bytes", "LeftStr", {AE EURO "x", 2, 0}, 0, {AE}},
      {"right", "RightStr", {"abcdef", 2}, 0, {"ef"}},
      {"right_longer", "RightStr", {"abc", 9}, 0, {"abc"}},
      {"right_utf8", "RightStr", {"x" EURO CLEF, 2, 1}, 0, {EURO CLEF}},
      {"mid_rest", "MidStr", {"abcdef", 2}, 0, {"cdef"}},
      {"mid_length", "MidStr", {"abcdef", 2, 3}, 0, {"cde"}},
      {"mid_outside", "MidStr", {"abc", 3}, 0, {""}},
      {"mid_negative_position", "MidStr", {"abc", -1}, 0, {""}},
      {"mid_zero_length", "MidStr", {"abc", 1, 0}, 0, {""}},
      {"mid_length_past_end", "MidStr", {"abc", 1, 99}, 0, {"bc"}},
      {"mid_utf8", "MidStr", {AE EURO CLEF "z", 1, 2, 1}, 0, {EURO CLEF}},
      {"mid_explicit_nil_length", "MidStr", {"abc", 1, V::Nil()}, ERR_NUMEXPECTED, {}},
      {"unleft", "UnleftStr", {"abcdef", 2}, 0, {"abcd"}},
      {"unleft_all", "UnleftStr", {"abc", 4}, 0, {""}},
      {"unleft_negative", "UnleftStr", {"abc", -1}, ERR_WRONGUSAGE, {}},
      {"unleft_utf8", "UnleftStr", {AE EURO CLEF, 1, 1}, 0, {AE EURO}},
      {"unright", "UnrightStr", {"abcdef", 2}, 0, {"cdef"}},
      {"unright_all", "UnrightStr", {"abc", 7}, 0, {""}},
      {"unright_negative", "UnrightStr", {"abc", -1}, ERR_WRONGUSAGE, {}},
      {"unright_utf8", "UnrightStr", {AE EURO CLEF, 2, 1}, 0, {CLEF}},
      {"unmid", "UnmidStr", {"abcdef", 1, 2}, 0, {"adef"}},
      {"unmid_past_end", "UnmidStr", {"abcdef", 4, 10}, 0, {"abcd"}},
      {"unmid_position_past_end", "UnmidStr", {"abc", 5, 1}, 0, {"abc"}},
      {"unmid_negative", "UnmidStr", {"abc", 1, -1}, ERR_WRONGUSAGE, {}},
      {"unmid_utf8", "UnmidStr", {AE EURO CLEF, 1, 1, 1}, 0, {AE CLEF}},
      {"insert", "InsertStr", {"abc", "XY", 1}, 0, {"aXYbc"}},
      {"insert_clipped", "InsertStr", {"abc", "XY", 10}, 0, {"abcXY"}},
      {"insert_negative", "InsertStr", {"abc", "XY", -1}, ERR_WRONGUSAGE, {}},
      {"insert_utf8", "InsertStr", {AE EURO, "-", 1, 1}, 0, {AE "-" EURO}},
      {"add", "AddStr", {"ab", std::string("\0c", 2)}, 0, {std::string("ab\0c", 4)}},
      {"repeat", "RepeatStr", {"ab", 3}, 0, {"ababab"}},
      {"repeat_zero", "RepeatStr", {"ab", 0}, 0, {""}},
      {"repeat_negative", "RepeatStr", {"ab", -1}, ERR_WRONGUSAGE, {}},
      {"reverse_bytes", "ReverseStr", {"abc", 0}, 0, {"cba"}},
      {"reverse_keeps_sequences", "ReverseStr", {"a" EURO CLEF, 1}, 0, {CLEF EURO "a"}},
      {"strlen_utf8", "StrLen", {AE EURO CLEF, 1}, 0, {3}},
      {"strlen_bytes", "StrLen", {AE EURO CLEF, 0}, 0, {9}},
      {"bytelen", "ByteLen", {AE}, 0, {2}},
      {"too_many_arguments", "StrLen", {"a", 0, 0}, ERR_TOOMANYARGS, {}},
      {"not_enough_arguments", "LeftStr", {"a"}, ERR_MISSINGPARAMTR, {}},
  });
}

TEST_F(StringCommandsTest, CharactersCodesAndClasses) {
  RunCases({
      {"asc_empty", "Asc", {""}, 0, {0}},
      {"asc_past_end", "Asc", {"abc", 3}, ERR_WRONGUSAGE, {}},
      {"asc_utf8", "Asc", {"a" EURO, 1, 1}, 0, {0x20AC}},
      {"asc_byte_mode", "Asc", {"a" EURO, 1, 0}, 0, {0xE2}},
      {"chr_256_bytes", "Chr", {256, 0}, ERR_WRONGUSAGE, {}},
      {"chr_256_utf8", "Chr", {256, 1}, 0, {"\xc4\x80"}},
      {"chr_zero_utf8", "Chr", {0, 1}, ERR_WRONGUSAGE, {}},
      {"chr_zero_bytes", "Chr", {0, 0}, 0, {std::string(1, '\0')}},
      {"chr_beyond_unicode", "Chr", {0x110000, 1}, ERR_WRONGUSAGE, {}},
      {"chr_surrogate", "Chr", {0xD800, 1}, ERR_WRONGUSAGE, {}},
      {"bytechr", "ByteChr", {255}, 0, {"\xff"}},
      {"bytechr_too_big", "ByteChr", {256}, ERR_WRONGUSAGE, {}},
      {"byteasc", "ByteAsc", {"a" EURO, 1}, 0, {0xE2}},
      {"byteasc_past_end", "ByteAsc", {"ab", 2}, ERR_WRONGUSAGE, {}},
      {"byteasc_empty", "ByteAsc", {""}, ERR_WRONGUSAGE, {}},
      {"byteoffset", "ByteOffset", {AE EURO CLEF, 2, 1}, 0, {5}},
      {"byteoffset_past_end", "ByteOffset", {AE EURO, 2, 1}, ERR_WRONGUSAGE, {}},
      {"charoffset_inside_sequence", "CharOffset", {AE EURO CLEF, 3, 1}, 0, {1}},
      {"charoffset_sequence_start", "CharOffset", {AE EURO CLEF, 5, 1}, 0, {2}},
      {"charoffset_past_end", "CharOffset", {AE, 2, 1}, ERR_WRONGUSAGE, {}},
      {"charwidth", "CharWidth", {AE EURO CLEF, 2, 1}, 0, {4}},
      {"charwidth_bytes", "CharWidth", {AE EURO CLEF, 2, 0}, 0, {1}},
      {"isalpha_utf8", "IsAlpha", {AE, 0, 1}, 0, {1}},
      {"isalpha_latin1_byte", "IsAlpha", {"\xe4", 0, 0}, 0, {1}},
      {"isdigit", "IsDigit", {"a1", 1}, 0, {1}},
      {"isupper_utf8", "IsUpper", {"\xc3\x84", 0, 1}, 0, {1}},
      {"islower_utf8", "IsLower", {"\xc3\x84", 0, 1}, 0, {0}},
      {"isspace", "IsSpace", {"a b", 1}, 0, {1}},
      {"ispunct", "IsPunct", {"!"}, 0, {1}},
      {"isxdigit", "IsXDigit", {"g"}, 0, {0}},
      {"iscntrl", "IsCntrl", {"\t"}, 0, {1}},
      {"isgraph_space", "IsGraph", {" "}, 0, {0}},
      {"isprint_space", "IsPrint", {" "}, 0, {1}},
      {"isalnum_empty", "IsAlNum", {""}, ERR_WRONGUSAGE, {}},
      {"lower_bytes_latin1", "LowerStr", {"AB\xc4", 0}, 0, {"ab\xe4"}},
      {"upper_utf8", "UpperStr", {"a" AE "z", 1}, 0, {"A\xc3\x84Z"}},
      {"upper_keeps_zero_bytes",
       "UpperStr",
       {std::string("a\0b", 3), 1},
       0,
       {std::string("A\0B", 3)}},
      {"upper_keeps_malformed", "UpperStr", {"a\xff", 1}, 0, {"A\xff"}},
      {"arraytostr_needs_table", "ArrayToStr", {"x"}, ERR_TABEXPECTED, {}},
  });
}

TEST_F(StringCommandsTest, CodeArrays) {
  VmState* L = h.L;
  VmSetTop(L, 0);
  VmPushString(L, "a" EURO);
  VmPushNumber(L, 1);
  ASSERT_EQ(testcall::Call(L, "strtoarray", 2), 0);
  ASSERT_EQ(VmType(L, -1), VM_TYPE_TABLE);
  const double expected[] = {97, 0x20AC, 0};
  for (int i = 0; i < 3; i++) {
    VmRawGetI(L, -1, i);
    EXPECT_EQ(VmToNumber(L, -1), expected[i]) << i;
    VmSetTop(L, -2);
  }
  // The same table back to text; then codes that stop early or are invalid.
  VmPushNumber(L, 1);
  ASSERT_EQ(testcall::Call(L, "arraytostr", 2), 0);
  EXPECT_EQ(std::string(VmToString(L, -1)), "a" EURO);
  VmSetTop(L, 0);

  auto fromCodes = [L](std::vector<double> codes, int utf8, std::string* out) {
    VmSetTop(L, 0);
    VmNewTable(L);
    for (size_t i = 0; i < codes.size(); i++) {
      VmPushNumber(L, codes[i]);
      VmRawSetI(L, -2, static_cast<int>(i));
    }
    VmPushNumber(L, utf8);
    ErrorCode err = testcall::Call(L, "arraytostr", 2);
    vmRun.quit = 0;
    if (err == 0) *out = std::string(VmToString(L, -1), VmStrLen(L, -1));
    VmSetTop(L, 0);
    return err;
  };
  std::string out;
  EXPECT_EQ(fromCodes({104, 105, 0, 106}, 1, &out), 0);
  EXPECT_EQ(out, "hi");
  EXPECT_EQ(fromCodes({0x141, 0x20AC}, 0, &out), 0);
  EXPECT_EQ(out, "\x41\xac");
  EXPECT_EQ(fromCodes({0x20AC}, 1, &out), 0);
  EXPECT_EQ(out, EURO);
  EXPECT_EQ(fromCodes({0x110000}, 1, &out), ERR_WRONGUSAGE);
}

// The case-less searches compare case-folded characters, as CompareStr's
// case-less form does: characters whose lower-case forms differ but whose
// folded forms agree (micro sign and mu, final and plain sigma, long s)
// match in UTF-8 mode. In 8-bit mode the same bytes are Latin-1 text, in
// which none of these pairs meet.
TEST_F(StringCommandsTest, CaseLessSearchesFoldCase) {
  struct FoldCase {
    const char* command;
    std::vector<V> args;  // the encoding argument is appended
    V utf8;
    V latin1;
  };
  const FoldCase cases[] = {
      {"FindStr", {"a\xc2\xb5", "a\xce\x9c", 0, 0}, 0, -1},
      {"FindStr", {"x\xc5\xbf", "S", 0, 0}, 1, -1},
      {"CountStr", {"\xcf\x82\xcf\x83\xce\xa3", "\xcf\x83", 0, 0}, 3, 1},
      {"StartsWith", {"\xc2\xb5x", "\xce\x9c", 0}, 1, 0},
      {"EndsWith", {"x\xce\xa3", "\xcf\x82", 0}, 1, 0},
      {"ReplaceStr", {"a\xcf\x82", "\xcf\x83", "s", 0, 0}, "as", "a\xcf\x82"},
  };
  for (const FoldCase& c : cases) {
    for (int utf8 = 0; utf8 <= 1; utf8++) {
      SCOPED_TRACE(std::string(c.command) + (utf8 ? " utf8" : " latin1"));
      std::vector<V> args = c.args;
      args.push_back(utf8);
      std::vector<V> results;
      ASSERT_EQ(testcall::Run(h.L, c.command, args, &results), 0);
      EXPECT_TRUE(results == std::vector<V>{utf8 ? c.utf8 : c.latin1}) << testcall::Show(results);
    }
  }
}

TEST_F(StringCommandsTest, SearchCompareAndSplit) {
  RunCases({
      {"find", "FindStr", {"hello world", "o"}, 0, {4}},
      {"find_from_start", "FindStr", {"hello world", "o", 1, 5}, 0, {7}},
      {"find_caseless", "FindStr", {"Hello", "hELL", 0}, 0, {0}},
      {"find_missing", "FindStr", {"hello", "x"}, 0, {-1}},
      {"find_empty_subject", "FindStr", {"", "x"}, 0, {-1}},
      {"find_empty_search", "FindStr", {"abc", ""}, 0, {-1}},
      {"find_start_at_end", "FindStr", {"abc", "c", 1, 3}, 0, {-1}},
      {"find_negative_start", "FindStr", {"abc", "c", 1, -1}, ERR_WRONGUSAGE, {}},
      {"find_utf8_position", "FindStr", {AE EURO "ab", "ab", 1, 0, 1}, 0, {2}},
      {"find_utf8_caseless", "FindStr", {"x\xc3\x84y", AE "Y", 0, 0, 1}, 0, {1}},
      {"find_bytes_caseless_latin1", "FindStr", {"x\xc4y", "\xe4Y", 0, 0, 0}, 0, {1}},
      {"count", "CountStr", {"aaaa", "aa"}, 0, {2}},
      {"count_from_start", "CountStr", {"abcabc", "b", 1, 2}, 0, {1}},
      {"count_empty", "CountStr", {"", "a"}, 0, {0}},
      {"count_caseless_utf8", "CountStr", {AE "\xc3\x84" AE, AE, 0, 0, 1}, 0, {3}},
      {"replace", "ReplaceStr", {"a-b-c", "-", "+"}, 0, {"a+b+c"}},
      {"replace_from_start", "ReplaceStr", {"a-b-c", "-", "+", 1, 2}, 0, {"a-b+c"}},
      {"replace_start_clipped", "ReplaceStr", {"a-b", "-", "+", 1, 99}, 0, {"a-b"}},
      {"replace_caseless", "ReplaceStr", {"aAa", "A", "x", 0}, 0, {"xxx"}},
      {"replace_longer", "ReplaceStr", {"aaa", "aa", "b"}, 0, {"ba"}},
      {"replace_empty_find", "ReplaceStr", {"abc", "", "x"}, 0, {"abc"}},
      {"replace_negative_start", "ReplaceStr", {"abc", "b", "x", 1, -1}, ERR_WRONGUSAGE, {}},
      {"replace_utf8_start", "ReplaceStr", {AE AE AE, AE, "a", 1, 1, 1}, 0, {AE "aa"}},
      {"starts", "StartsWith", {"Hello", "He"}, 0, {1}},
      {"starts_caseless", "StartsWith", {"Hello", "hE", 0}, 0, {1}},
      {"starts_case_differs", "StartsWith", {"Hello", "hE"}, 0, {0}},
      {"starts_empty_part", "StartsWith", {"Hello", ""}, 0, {0}},
      {"starts_longer_part", "StartsWith", {"He", "Hello"}, 0, {0}},
      {"ends_caseless_utf8", "EndsWith", {"x" AE, "\xc3\x84", 0, 1}, 0, {1}},
      {"ends", "EndsWith", {"Hello", "lo"}, 0, {1}},
      {"compare_equal", "CompareStr", {"abc", "abc"}, 0, {0}},
      {"compare_caseless", "CompareStr", {"abc", "ABC", 0, 0}, 0, {0}},
      {"empty_two_blanks", "EmptyStr", {"  "}, 0, {1}},
      {"empty_empty", "EmptyStr", {""}, 0, {1}},
      {"empty_text", "EmptyStr", {" x "}, 0, {0}},
      {"strip", "StripStr", {" \t x y \n"}, 0, {"x y"}},
      {"strip_all_blank", "StripStr", {"   "}, 0, {""}},
      {"trim_start", "TrimStr", {"xxabxx", "x", 0}, 0, {"abxx"}},
      {"trim_end", "TrimStr", {"xxabxx", "x", 1}, 0, {"xxab"}},
      {"trim_two_characters", "TrimStr", {"xxab", "xy", 0}, ERR_WRONGUSAGE, {}},
      {"trim_empty_character", "TrimStr", {"xxab", "", 0}, ERR_WRONGUSAGE, {}},
      {"trim_utf8_character", "TrimStr", {EURO EURO "a", EURO, 0, 1}, 0, {"a"}},
      {"trim_utf8_character_in_byte_mode", "TrimStr", {EURO "a", EURO, 0, 0}, ERR_WRONGUSAGE, {}},
      {"validate_bytes", "ValidateStr", {"\xff", 0}, 0, {1, -1}},
      {"validate_utf8_ok", "ValidateStr", {AE EURO CLEF, 1}, 0, {1, -1}},
      {"validate_utf8_bad", "ValidateStr", {"ab" AE "\xc3(", 1}, 0, {0, 4}},
      {"validate_overlong", "ValidateStr", {"\xc0\x80", 1}, 0, {0, 0}},
      {"validate_surrogate", "ValidateStr", {"a\xed\xa0\x80", 1}, 0, {0, 1}},
      {"validate_cut_sequence", "ValidateStr", {"a\xe2\x82", 1}, 0, {0, 1}},
      {"convert_to_utf8", "ConvertStr", {"\xe4", 0, 1}, 0, {AE}},
      {"convert_to_latin1", "ConvertStr", {AE, 1, 0}, 0, {"\xe4"}},
      {"convert_same", "ConvertStr", {"\xff", 1, 1}, 0, {"\xff"}},
      {"convert_unknown", "ConvertStr", {"a", 0, 7}, ERR_TEXTCONVERT, {}},
  });

  auto split = [this](std::vector<V> args, std::vector<std::string>* parts) {
    VmSetTop(h.L, 0);
    for (const V& a : args) testcall::Push(h.L, a);
    ErrorCode err = testcall::Call(h.L, "splitstr", static_cast<int>(args.size()));
    vmRun.quit = 0;
    parts->clear();
    if (err == 0) {
      int n = static_cast<int>(VmToNumber(h.L, 2));
      for (int i = 0; i < n; i++) {
        VmRawGetI(h.L, 1, i);
        parts->push_back(std::string(VmToString(h.L, -1), VmStrLen(h.L, -1)));
        VmSetTop(h.L, -2);
      }
      VmRawGetI(h.L, 1, n);
      EXPECT_EQ(VmType(h.L, -1), VM_TYPE_NIL);
    }
    VmSetTop(h.L, 0);
    return err;
  };
  std::vector<std::string> parts;
  ASSERT_EQ(split({"a,b,,c", ","}, &parts), 0);
  EXPECT_EQ(parts, (std::vector<std::string>{"a", "b", "", "c"}));
  ASSERT_EQ(split({",a,,b", ",", 1}, &parts), 0);
  EXPECT_EQ(parts, (std::vector<std::string>{"", "a", "b"}));
  ASSERT_EQ(split({"a::b", "::"}, &parts), 0);
  EXPECT_EQ(parts, (std::vector<std::string>{"a", "b"}));
  ASSERT_EQ(split({"abc", ","}, &parts), 0);
  EXPECT_EQ(parts, (std::vector<std::string>{"abc"}));
  EXPECT_EQ(split({"abc", ""}, &parts), ERR_WRONGUSAGE);
}

TEST_F(StringCommandsTest, RunTextModeIsTheDefaultEncoding) {
  unicodeUtf8Mode = 1;
  RunCases({
      {"strlen", "StrLen", {AE EURO}, 0, {2}},
      {"left", "LeftStr", {AE EURO, 1}, 0, {AE}},
      {"asc", "Asc", {EURO}, 0, {0x20AC}},
      {"find", "FindStr", {AE "b", "b"}, 0, {1}},
      {"chr", "Chr", {0x20AC}, 0, {EURO}},
      {"explicit_bytes_win", "StrLen", {AE EURO, 0}, 0, {5}},
  });
  unicodeUtf8Mode = 0;
  RunCases({
      {"strlen", "StrLen", {AE EURO}, 0, {5}},
      {"chr_256", "Chr", {256}, ERR_WRONGUSAGE, {}},
      {"explicit_utf8_wins", "StrLen", {AE EURO, 1}, 0, {2}},
  });
}

// The converted text is a block of its own until the string is made: when
// making it fails, the block goes too (ASan checks).
TEST_F(StringCommandsTest, ConvertStrOutOfMemoryLeaksNothing) {
  uint64_t n = 1;
  for (; n < 100; n++) {
    // Only the command's own allocations may fail, not the call's set-up.
    VmSetTop(h.L, 0);
    VmPushCClosure(h.L, testcall::RaiseReturnedError, 0);
    VmPushString(h.L, "convertstr");
    VmGetTable(h.L, VM_GLOBALS_INDEX);
    VmPushString(h.L, std::string(300, '\xe4').c_str());
    VmPushNumber(h.L, 0);
    VmPushNumber(h.L, 1);
    VmSetAllocFailure(n, false);
    ErrorCode e = VmPCall(h.L, 4, VM_MULTRET, 0);
    VmSetAllocFailure(0, false);
    if (e == 0) break;
    ASSERT_EQ(e, ERR_MEM) << "allocation " << n;
  }
  EXPECT_GT(n, 1u);
  EXPECT_LT(n, 100u);
}

TEST_F(StringCommandsTest, NumbersInBytesAndOtherConversions) {
  RunCases({
      {"byteval_integer_big_endian", "ByteVal", {std::string("\x00\x00\x01\x02", 4)}, 0, {258}},
      {"byteval_integer_unsigned", "ByteVal", {"\xff\xff\xff\xff", 1}, 0, {4294967295.0}},
      {"byteval_little_endian", "ByteVal", {std::string("\x02\x01\x00\x00", 4), 1, 2}, 0, {258}},
      {"byteval_short", "ByteVal", {"\x01\x02", 6}, 0, {258}},
      {"byteval_byte", "ByteVal", {"\xfe", 7}, 0, {254}},
      {"byteval_too_short", "ByteVal", {"\x01\x02", 1}, ERR_MEMRANGE, {}},
      {"byteval_empty", "ByteVal", {"", 7}, ERR_MEMRANGE, {}},
      {"byteval_string_type", "ByteVal", {"abcd", 3}, ERR_WRONGUSAGE, {}},
      {"bytestrstr_integer", "ByteStrStr", {258}, 0, {std::string("\x00\x00\x01\x02", 4)}},
      {"bytestrstr_negative", "ByteStrStr", {-1, 6}, 0, {"\xff\xff"}},
      {"bytestrstr_little", "ByteStrStr", {258, 1, 2}, 0, {std::string("\x02\x01\x00\x00", 4)}},
      {"bytestrstr_float", "ByteStrStr", {1.5, 11}, 0, {std::string("\x3f\xc0\x00\x00", 4)}},
      {"bytestrstr_double_native",
       "ByteStrStr",
       {1.5, 12, 1},
       0,
       {std::string("\x00\x00\x00\x00\x00\x00\xf8\x3f", 8)}},
      {"bytestrstr_no_width", "ByteStrStr", {1, 2}, ERR_WRONGUSAGE, {}},
      {"bytestrstr_float_overflow",
       "ByteStrStr",
       {1e300, 11},
       0,
       {std::string("\x7f\x80\x00\x00", 4)}},
      {"tonumber_number", "ToNumber", {12.5}, 0, {12.5}},
      {"tonumber_decimal_text", "ToNumber", {"12.5"}, 0, {12.5}},
      {"tonumber_hex", "ToNumber", {"ff", 16}, 0, {255}},
      {"tonumber_binary_trailing_blank", "ToNumber", {"1010 ", 2}, 0, {10}},
      {"tonumber_trailing_text", "ToNumber", {"12x", 16}, 0, {0}},
      {"tonumber_digit_beyond_base", "ToNumber", {"19", 8}, 0, {0}},
      {"tonumber_base_36", "ToNumber", {"zz", 36}, 0, {1295}},
      {"tonumber_bad_base", "ToNumber", {"1", 37}, ERR_WRONGUSAGE, {}},
      {"tonumber_not_a_number", "ToNumber", {"abc"}, 0, {0}},
  });

  // ByteVal reads back what ByteStrStr wrote, in every type and order.
  const int types[] = {1, 6, 7, 11, 12};
  const double values[] = {0, 1, 255, 65535, 123456789, 0.15625};
  for (int type : types)
    for (int order = 0; order <= 2; order++)
      for (double v : values) {
        std::vector<V> bytes, back;
        ASSERT_EQ(testcall::Run(h.L, "ByteStrStr", {v, type, order}, &bytes), 0);
        ASSERT_EQ(testcall::Run(h.L, "ByteVal", {bytes[0], type, order}, &back), 0);
        double expected = v;
        if (type == 6) expected = static_cast<double>(static_cast<uint32_t>(v) & 0xFFFF);
        if (type == 7) expected = static_cast<double>(static_cast<uint32_t>(v) & 0xFF);
        if (type == 1 || type == 6 || type == 7) expected = std::trunc(expected);
        if (type == 11) expected = static_cast<float>(v);
        if (type <= 7 && v == 0.15625) expected = 0;
        EXPECT_EQ(back[0].n, expected) << "type " << type << " order " << order << " value " << v;
      }

  std::vector<V> results;
  ASSERT_EQ(testcall::Run(h.L, "ToUserData", {4096}, &results), 0);
  VmSetTop(h.L, 0);
}

struct HashCase {
  const char* name;
  std::string input;
  const char* md5;
  double crc32;
  const char* base64;
};

// Expected values computed with md5sum, python3's zlib.crc32 and base64.
TEST_F(StringCommandsTest, HashesAndBase64MatchTheReferenceTools) {
  const HashCase cases[] = {
      {"abc", "abc", "900150983cd24fb0d6963f7d28e17f72", 891568578, "YWJj"},
      {"binary", std::string("\x00\xff\x80\x01\x02\xfe", 6), "59ec2af6579c0911650292ddaec4a436",
       4279109562.0, "AP+AAQL+"},
      {"one_byte", "f", "8fa14cdd754f91cc6554c9e71929cce7", 1993550816, "Zg=="},
      {"five_bytes", "fooba", "73cf88a0b4a18c88a3996fa3d5b69a46", 2648720979.0, "Zm9vYmE="},
  };
  for (const HashCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<V> r;
    ASSERT_EQ(testcall::Run(h.L, "MD5Str", {c.input}, &r), 0);
    EXPECT_EQ(r[0].s, c.md5);
    ASSERT_EQ(testcall::Run(h.L, "CRC32Str", {c.input}, &r), 0);
    EXPECT_EQ(r[0].n, c.crc32);
    ASSERT_EQ(testcall::Run(h.L, "Base64Str", {c.input, 0}, &r), 0);
    EXPECT_EQ(r[0].s, c.base64);
    ASSERT_EQ(testcall::Run(h.L, "Base64Str", {c.base64, 1}, &r), 0);
    EXPECT_EQ(r[0].s, c.input);
  }
  RunCases({
      {"md5_empty", "MD5Str", {""}, ERR_WRONGUSAGE, {}},
      {"crc32_empty", "CRC32Str", {""}, ERR_WRONGUSAGE, {}},
      {"base64_empty", "Base64Str", {"", 0}, 0, {""}},
      {"base64_bad_text", "Base64Str", {"Zm9v!", 1}, ERR_BADBASE64, {}},
      {"base64_cut_text", "Base64Str", {"Zm9", 1}, ERR_BADBASE64, {}},
  });
}

}  // namespace
