// Numbers and text: the number reader, Val, Eval (priorities, integer
// operators at the 32-bit limits, variables, errors), FormatStr against
// the C library's snprintf, StrStr, PadNum, HexStr and BinStr, through the
// in-process player.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "tests/support/harness.h"
#include "tests/text/string_support.h"

namespace {

using testcall::V;

class NumbersTest : public ::testing::Test {
 protected:
  ErrorCode Run(const char* name, const std::vector<V>& args, std::vector<V>* results) {
    return testcall::Run(h.L, name, args, results);
  }
  PlayerHarness h;
};

TEST(NumberReader, ReadsEveryFormAndReportsWhereItStopped) {
  struct Case {
    const char* text;
    double value;
    size_t used;
    ErrorCode error;
  };
  const Case cases[] = {
      {"$FF", 255, 3, 0},
      {"0x1F", 31, 4, 0},
      {"0X1f!", 31, 4, 0},
      {"1e3", 1000, 3, 0},
      {"1e", 1, 1, 0},
      {"2.5e-1x", 0.25, 6, 0},
      {".5", 0.5, 2, 0},
      {"-12abc", -12, 3, 0},
      {"%1010", 10, 5, 0},
      {"-$10", -16, 4, 0},
      {"$FFFFFFFF", 4294967295.0, 9, 0},
      {"7.", 7, 2, 0},
      {"$", 0, 0, ERR_SYNTAXERROR},
      {"0xg", 0, 0, ERR_SYNTAXERROR},
      {"abc", 0, 0, ERR_VALUEEXPECTED},
      {".", 0, 0, ERR_VALUEEXPECTED},
      {"", 0, 0, ERR_VALUEEXPECTED},
      {"%2", 0, 0, ERR_VALUEEXPECTED},
      {"inf", 0, 0, ERR_VALUEEXPECTED},
      {" 1", 0, 0, ERR_VALUEEXPECTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    size_t used = 99;
    ErrorCode error = -1;
    double v = ParseNumberString(c.text, &used, &error);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(v, c.value);
    EXPECT_EQ(used, c.used);
  }
}

struct CommandCase {
  const char* name;
  const char* command;
  std::vector<V> args;
  ErrorCode error;
  std::vector<V> results;
};

void RunTable(NumbersTest* t, PlayerHarness& h, const std::vector<CommandCase>& cases) {
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<V> results;
    EXPECT_EQ(testcall::Run(h.L, c.command, c.args, &results), c.error);
    if (c.error == 0) {
      EXPECT_TRUE(results == c.results) << testcall::Show(results);
    }
  }
  (void)t;
}

TEST_F(NumbersTest, ValAndEval) {
  // A table of variables {name, value} for Eval's options.
  auto evalWith = [this](const char* text, std::vector<std::pair<std::string, double>> vars,
                         double* out) {
    VmSetTop(h.L, 0);
    VmPushString(h.L, text);
    VmNewTable(h.L);
    VmPushString(h.L, "variables");
    VmNewTable(h.L);
    for (size_t i = 0; i < vars.size(); i++) {
      VmNewTable(h.L);
      VmPushString(h.L, "name");
      VmPushLString(h.L, vars[i].first.data(), vars[i].first.size());
      VmSetTable(h.L, -3);
      VmPushString(h.L, "value");
      VmPushNumber(h.L, vars[i].second);
      VmSetTable(h.L, -3);
      VmRawSetI(h.L, -2, static_cast<int>(i));
    }
    VmSetTable(h.L, -3);
    ErrorCode err = testcall::Call(h.L, "eval", 2);
    vmRun.quit = 0;
    *out = err == 0 ? VmToNumber(h.L, -1) : 0;
    VmSetTop(h.L, 0);
    return err;
  };
  RunTable(
      this, h,
      {
          {"val_hex_dollar", "Val", {"$FF"}, 0, {255, 3}},
          {"val_hex_0x", "Val", {"0x1F"}, 0, {31, 4}},
          {"val_exponent", "Val", {"1e3"}, 0, {1000, 3}},
          {"val_trailing_text", "Val", {"42 apples"}, 0, {42, 2}},
          {"val_not_a_number", "Val", {"abc"}, 0, {0, 0}},
          {"val_negative_float", "Val", {"-2.5"}, 0, {-2.5, 4}},
          {"eval_power_right_assoc", "Eval", {"2^3^2"}, 0, {512}},
          {"eval_integer_division", "Eval", {"7 \\ 2"}, 0, {3}},
          {"eval_remainder_sign", "Eval", {"-7 % 3"}, 0, {-1}},
          {"eval_and_before_or", "Eval", {"1 or 0 and 0"}, 0, {1}},
          {"eval_unary_minus_power", "Eval", {"-2^2"}, 0, {-4}},
          {"eval_unary_minus_product", "Eval", {"-2*3"}, 0, {-6}},
          {"eval_precedence", "Eval", {"1+2*3-4/2"}, 0, {5}},
          {"eval_parentheses", "Eval", {"(1+2)*3"}, 0, {9}},
          {"eval_hex_literal", "Eval", {"$10 + 0x10"}, 0, {32}},
          {"eval_min_int_divided_by_minus_one", "Eval", {"-2147483648 \\ -1"}, 0, {2147483648.0}},
          {"eval_min_int_remainder_minus_one", "Eval", {"-2147483648 % -1"}, 0, {0}},
          {"eval_rounding_ties_to_even", "Eval", {"2.5 \\ 1 + 3.5 \\ 1"}, 0, {6}},
          {"eval_rounded_operands_saturate", "Eval", {"1e300 \\ 1"}, 0, {2147483647}},
          {"eval_bitwise_unsigned", "Eval", {"-1 & $FF00"}, 0, {65280}},
          {"eval_xor", "Eval", {"5 ~ 3"}, 0, {6}},
          {"eval_or", "Eval", {"5 | 3"}, 0, {7}},
          {"eval_not_is_bitwise_complement", "Eval", {"~0"}, 0, {4294967295.0}},
          {"eval_shift_left_no_space", "Eval", {"1<<31"}, 0, {2147483648.0}},
          {"eval_shift_count_low_bits", "Eval", {"1 << 33"}, 0, {2}},
          {"eval_shift_right_zero_fill", "Eval", {"-1 >> 28"}, 0, {15}},
          {"eval_large_value_low_bits", "Eval", {"4294967297 & 3"}, 0, {1}},
          {"eval_comparisons",
           "Eval",
           {"(1 < 2) + (2 <= 2) + (3 > 4) + (1 <> 1) + (2 = 2) + (5 >= 6)"},
           0,
           {3}},
          {"eval_words_any_case", "Eval", {"NOT 0 AND 1"}, 0, {1}},
          {"eval_or_keeps_left", "Eval", {"7 or 9"}, 0, {7}},
          {"eval_and_gives_right", "Eval", {"7 and 9"}, 0, {9}},
          {"eval_word_needs_boundary", "Eval", {"1 andx"}, ERR_SYNTAXERROR, {}},
          {"eval_tabs_and_blanks", "Eval", {"\t1 +\t2 "}, 0, {3}},
          {"eval_unmatched", "Eval", {"(1+2"}, ERR_UNMPARENTHESES, {}},
          {"eval_two_values", "Eval", {"1 2"}, ERR_SYNTAXERROR, {}},
          {"eval_division_by_zero", "Eval", {"1/0"}, ERR_ZERODIVISION, {}},
          {"eval_rounded_divisor_zero", "Eval", {"1 \\ 0.4"}, ERR_ZERODIVISION, {}},
          {"eval_remainder_by_zero", "Eval", {"1 % 0"}, ERR_ZERODIVISION, {}},
          {"eval_value_expected", "Eval", {"1 + * 2"}, ERR_VALUEEXPECTED, {}},
          {"eval_empty", "Eval", {""}, ERR_VALUEEXPECTED, {}},
          {"eval_concat_refused", "Eval", {"1 .. 2"}, ERR_WRONGOPCST, {}},
          {"eval_bad_hex", "Eval", {"$"}, ERR_SYNTAXERROR, {}},
          {"eval_unknown_name", "Eval", {"x*2"}, ERR_VALUEEXPECTED, {}},
          {"eval_zero_byte_inside",
           "Eval",
           {std::string("1\0"
                        "2",
                        3)},
           ERR_SYNTAXERROR,
           {}},
          {"eval_deep_nesting_refused",
           "Eval",
           {std::string(300, '(') + "1" + std::string(300, ')')},
           ERR_COMPLEXEXPR,
           {}},
          {"eval_moderate_nesting",
           "Eval",
           {std::string(50, '(') + "1" + std::string(50, ')')},
           0,
           {1}},
      });

  double v;
  EXPECT_EQ(evalWith("x*2", {{"x", 4}}, &v), 0);
  EXPECT_EQ(v, 8);
  EXPECT_EQ(evalWith("X*2", {{"x", 4}}, &v), 0);
  EXPECT_EQ(v, 8);
  EXPECT_EQ(evalWith("abc + ab", {{"ab", 1}, {"abc", 10}}, &v), 0);
  EXPECT_EQ(v, 11);
  EXPECT_EQ(evalWith("n$ + n! + _n", {{"n$", 1}, {"n!", 2}, {"_n", 4}}, &v), 0);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(evalWith("xy", {{"x", 1}}, &v), ERR_VALUEEXPECTED);
  EXPECT_EQ(evalWith("1", {{"9x", 1}}, &v), ERR_WRONGUSAGE);
  EXPECT_EQ(evalWith("1", {{"", 1}}, &v), ERR_WRONGUSAGE);
  EXPECT_EQ(evalWith("1", {{std::string(65, 'a'), 1}}, &v), ERR_WRONGUSAGE);
  EXPECT_EQ(evalWith("1", {{std::string(64, 'a'), 1}}, &v), 0);
  EXPECT_EQ(evalWith("1", {{"a-b", 1}}, &v), ERR_WRONGUSAGE);
}

// A value for FormatStr and the matching snprintf call.
struct FormatCase {
  const char* format;
  enum { INT, UINT, DBL, STR } kind;
  double number;
  const char* text;
};

TEST_F(NumbersTest, FormatStrAgreesWithSnprintf) {
  const FormatCase cases[] = {
      {"%d", FormatCase::INT, 42, nullptr},
      {"%5d", FormatCase::INT, -42, nullptr},
      {"%-5d|", FormatCase::INT, 7, nullptr},
      {"%05d", FormatCase::INT, -7, nullptr},
      {"%+d", FormatCase::INT, 7, nullptr},
      {"% d", FormatCase::INT, 7, nullptr},
      {"%.3d", FormatCase::INT, 7, nullptr},
      {"%i", FormatCase::INT, 2.5, nullptr},
      {"%d", FormatCase::INT, 3.5, nullptr},
      {"%c", FormatCase::INT, 65, nullptr},
      {"%3c", FormatCase::INT, 66, nullptr},
      {"%x", FormatCase::UINT, 255, nullptr},
      {"%#X", FormatCase::UINT, 255, nullptr},
      {"%#o", FormatCase::UINT, 8, nullptr},
      {"%u", FormatCase::UINT, -1, nullptr},
      {"%08x", FormatCase::UINT, 48879, nullptr},
      {"%f", FormatCase::DBL, 3.14159, nullptr},
      {"%5.2f", FormatCase::DBL, 3.14159, nullptr},
      {"%-10.3e|", FormatCase::DBL, 12345.678, nullptr},
      {"%E", FormatCase::DBL, 0.000123, nullptr},
      {"%g", FormatCase::DBL, 1e20, nullptr},
      {"%#.3g", FormatCase::DBL, 1, nullptr},
      {"%G", FormatCase::DBL, 1e-10, nullptr},
      {"%+.0f", FormatCase::DBL, 2.5, nullptr},
      {"%99.99f", FormatCase::DBL, 1e300, nullptr},
      {"%s", FormatCase::STR, 0, "hello"},
      {"%10s|", FormatCase::STR, 0, "hi"},
      {"%-10s|", FormatCase::STR, 0, "hi"},
      {"%.2s", FormatCase::STR, 0, "hello"},
      {"[%5.1s]", FormatCase::STR, 0, "xyz"},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.format);
    char expected[1024];
    std::vector<V> args = {c.format};
    switch (c.kind) {
      case FormatCase::INT:
        std::snprintf(expected, sizeof expected, c.format,
                      static_cast<int>(std::nearbyint(c.number)));
        args.push_back(c.number);
        break;
      case FormatCase::UINT:
        std::snprintf(expected, sizeof expected, c.format,
                      static_cast<unsigned>(static_cast<int>(std::nearbyint(c.number))));
        args.push_back(c.number);
        break;
      case FormatCase::DBL:
        std::snprintf(expected, sizeof expected, c.format, c.number);
        args.push_back(c.number);
        break;
      case FormatCase::STR:
        std::snprintf(expected, sizeof expected, c.format, c.text);
        args.push_back(c.text);
        break;
    }
    std::vector<V> results;
    ASSERT_EQ(Run("FormatStr", args, &results), 0);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].s, expected);
  }
}

TEST_F(NumbersTest, FormattingCommandsAndTheirLimits) {
  std::string longText(150, 'q');
  RunTable(
      this, h,
      {
          {"format_several_values", "FormatStr", {"%d-%s-%.1f%%", 3, "x", 2.25}, 0, {"3-x-2.2%"}},
          {"format_plain_text", "FormatStr", {"no conversions"}, 0, {"no conversions"}},
          {"format_quoted",
           "FormatStr",
           {"%q", std::string("a\"b\\c\nd\0e", 9)},
           0,
           {std::string("\"a\\\"b\\\\c\\\nd\\000e\"")}},
          {"format_long_text_whole", "FormatStr", {"%5s", longText}, 0, {longText}},
          {"format_long_text_with_precision", "FormatStr", {"%.3s", longText}, 0, {"qqq"}},
          {"format_three_digit_width", "FormatStr", {"%100d", 1}, ERR_WRONGUSAGE, {}},
          {"format_three_digit_precision", "FormatStr", {"%.100f", 1}, ERR_WRONGUSAGE, {}},
          {"format_specification_too_long",
           "FormatStr",
           {"%-+ #0-+ #0-+ #0-+ 9d", 1},
           ERR_WRONGUSAGE,
           {}},
          {"format_unknown_letter", "FormatStr", {"%y", 1}, ERR_WRONGUSAGE, {}},
          {"format_percent_at_end", "FormatStr", {"50%"}, ERR_WRONGUSAGE, {}},
          {"format_length_modifier_refused", "FormatStr", {"%ld", 1}, ERR_WRONGUSAGE, {}},
          {"format_missing_value", "FormatStr", {"%d"}, ERR_NUMEXPECTED, {}},
          {"format_huge_integer_saturates", "FormatStr", {"%d", 1e300}, 0, {"2147483647"}},
          {"format_nan_integer", "FormatStr", {"%d", NAN}, 0, {"0"}},
          {"format_char_zero_byte", "FormatStr", {"[%c]", 0}, 0, {std::string("[\0]", 3)}},
          {"strstr_cut_not_rounded", "StrStr", {3.14159, 3}, 0, {"3.141"}},
          {"strstr_default_two", "StrStr", {2.999}, 0, {"2.99"}},
          {"strstr_zero_drops_point", "StrStr", {2.75, 0}, 0, {"2"}},
          {"strstr_negative_keeps_point", "StrStr", {2.75, -1}, 0, {"2."}},
          {"strstr_more_than_present", "StrStr", {2.5, 5}, 0, {"2.5"}},
          {"strstr_integer", "StrStr", {42, 2}, 0, {"42"}},
          {"strstr_keeps_exponent", "StrStr", {1.2345678e-20, 2}, 0, {"1.23e-20"}},
          {"padnum", "PadNum", {7, 3}, 0, {"007"}},
          {"padnum_longer_not_cut", "PadNum", {12345, 3}, 0, {"12345"}},
          {"padnum_negative_value", "PadNum", {-1, 3}, ERR_WRONGUSAGE, {}},
          {"padnum_zero_length", "PadNum", {1, 0}, ERR_WRONGUSAGE, {}},
          {"hexstr", "HexStr", {255}, 0, {"$FF"}},
          {"hexstr_negative", "HexStr", {-1}, 0, {"$FFFFFFFF"}},
          {"hexstr_low_32_bits", "HexStr", {4294967296.0 + 16}, 0, {"$10"}},
          {"hexstr_nan", "HexStr", {NAN}, 0, {"$0"}},
          {"binstr_byte", "BinStr", {5, 7}, 0, {"00000101"}},
          {"binstr_short", "BinStr", {-1, 6}, 0, {"1111111111111111"}},
          {"binstr_integer", "BinStr", {2147483648.0}, 0, {"10000000000000000000000000000000"}},
          {"binstr_other_type", "BinStr", {5, 3}, 0, {""}},
      });
}

}  // namespace
