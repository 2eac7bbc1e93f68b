// The "math" library through the in-process player: a table of commands
// with their arguments, results and errors (rounding and truncation limits,
// 32-bit words, rotations, casts, argument order of the divisions), random
// numbers replayed from a seed, and a compiled program calling commands.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "libs/libs.h"
#include "libs/libs_private.h"
#include "tests/support/harness.h"
#include "tests/support/command_call.h"

void VmSetAllocFailure(uint64_t n, bool persistent);

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double NEG_ZERO = -0.0;

// An argument: a number, or a string to pass as it is.
struct Arg {
  Arg(double n) : isString(false), number(n) {}
  Arg(int n) : isString(false), number(n) {}
  Arg(const char* s) : isString(true), number(0), text(s) {}
  bool isString;
  double number;
  std::string text;
};

class MathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(h.L, nullptr);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenMathLibrary(h.L), 0);
    VmSetTop(h.L, 0);
  }

  // Calls the command; on success returns its results as numbers (NaN for
  // a string result, whose length goes to *textLength).
  ErrorCode Call(const char* name, const std::vector<Arg>& args, std::vector<double>* results,
                 size_t* textLength = nullptr) {
    VmSetTop(h.L, 0);
    for (const Arg& a : args) {
      if (a.isString)
        VmPushString(h.L, a.text.c_str());
      else
        VmPushNumber(h.L, a.number);
    }
    ErrorCode err = testcall::Call(h.L, name, static_cast<int>(args.size()));
    results->clear();
    if (err != 0) return err;
    for (int i = 1; i <= VmGetTop(h.L); i++) {
      if (VmType(h.L, i) == VM_TYPE_STRING) {
        if (textLength) *textLength = VmStrLen(h.L, i);
        results->push_back(NaN);
      } else {
        results->push_back(VmToNumber(h.L, i));
      }
    }
    VmSetTop(h.L, 0);
    return err;
  }

  PlayerHarness h;
};

struct MathCase {
  const char* name;
  const char* command;
  std::vector<Arg> args;
  ErrorCode error;
  std::vector<double> results;
};

// Expected values compare exactly; NaN expects NaN and -0.0 a negative zero.
void ExpectSame(double expected, double actual) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << actual;
  } else {
    EXPECT_EQ(expected, actual);
    EXPECT_EQ(std::signbit(expected), std::signbit(actual)) << "sign of " << actual;
  }
}

TEST_F(MathTest, CommandsGiveTheirResultsAndErrors) {
  const MathCase cases[] = {
      {"round_half_to_even_down", "round", {0.5}, 0, {0}},
      {"round_half_to_even_up", "round", {1.5}, 0, {2}},
      {"round_negative_half", "round", {-1.5}, 0, {-2}},
      {"round_two_and_a_half", "round", {2.5}, 0, {2}},
      {"round_out_of_range", "round", {3000000000.0}, 0, {-2147483648.0}},
      {"int_truncates_toward_zero", "int", {-3.9}, 0, {-3}},
      {"int_negative_half", "int", {-0.5}, 0, {0}},
      {"int_out_of_range", "int", {3000000000.0}, 0, {-2147483648.0}},
      {"int_nan", "int", {NaN}, 0, {-2147483648.0}},
      {"floor_keeps_large_values", "floor", {3000000000.0}, 0, {3000000000.0}},
      {"floor_negative_half", "floor", {-0.5}, 0, {-1}},
      {"ceil_negative_half_is_negative_zero", "ceil", {-0.5}, 0, {NEG_ZERO}},
      {"frac_keeps_sign", "frac", {-2.25}, 0, {-0.25}},
      {"mod_sign_of_dividend", "mod", {-7, 3}, 0, {-1}},
      {"mod_negative_divisor", "mod", {7, -3}, 0, {1}},
      {"mod_by_zero", "mod", {5, 0}, ERR_ZERODIVISION, {}},
      {"div_by_zero", "div", {5, 0}, ERR_ZERODIVISION, {}},
      {"div_checks_divisor_first", "div", {"x", 0}, ERR_ZERODIVISION, {}},
      {"div_bad_dividend", "div", {"x", 2}, ERR_NUMEXPECTED, {}},
      {"div_numeric_string", "div", {"9", 2}, 0, {4.5}},
      {"rt_cube_root", "rt", {27, 3}, 0, {std::pow(27.0, 1.0 / 3.0)}},
      {"rt_negative_degree", "rt", {8, -3}, ERR_WRONGUSAGE, {}},
      {"rt_zero_degree", "rt", {8, 0}, ERR_ZERODIVISION, {}},
      {"max_first_of_equals", "max", {1, 3, 3, 2}, 0, {3}},
      {"max_nan_never_replaces", "max", {1, NaN, 0.5}, 0, {1}},
      {"min_nan_first_stays", "min", {NaN, 1, 2}, 0, {NaN}},
      {"min_needs_two", "min", {2}, ERR_MISSINGPARAMTR, {}},
      {"rndf_takes_nothing", "rndf", {1}, ERR_TOOMANYARGS, {}},
      {"rnd_zero", "rnd", {0}, 0, {0}},
      {"rnd_one", "rnd", {1}, 0, {0}},
      {"rnd_negative", "rnd", {-1}, ERR_WRONGUSAGE, {}},
      {"rnd_range_too_large", "rnd", {3000000000.0}, ERR_WRONGUSAGE, {}},
      {"rndstrong_integer_zero", "rndstrong", {1, 0}, 0, {0}},
      {"rndstrong_number_type", "rndstrong", {2, 4}, ERR_WRONGUSAGE, {}},
      {"rndstrong_empty_string", "rndstrong", {3, 0}, ERR_MEM, {}},
      {"wrap_above", "wrap", {370, 0, 360}, 0, {10}},
      {"wrap_high_gives_low", "wrap", {360, 0, 360}, 0, {0}},
      {"wrap_below", "wrap", {-10, 0, 360}, 0, {350}},
      {"wrap_once_only", "wrap", {800, 0, 360}, 0, {440}},
      {"limit_low_first", "limit", {5, 10, 0}, 0, {10}},
      {"limit_nan", "limit", {NaN, 0, 1}, 0, {NaN}},
      {"shl_to_bit_31", "shl", {1, 31}, 0, {2147483648.0}},
      {"shl_count_modulo_32", "shl", {1, 32}, 0, {1}},
      {"sar_keeps_sign", "sar", {-8, 1}, 0, {-4}},
      {"shr_zero_fill", "shr", {-8, 1}, 0, {2147483644.0}},
      {"shr_low_32_bits", "shr", {4294967296.0 + 4, 1}, 0, {2}},
      {"bitcomplement_all_ones", "bitcomplement", {-1}, 0, {0}},
      {"bitcomplement_zero", "bitcomplement", {0}, 0, {4294967295.0}},
      {"bitset_31", "bitset", {0, 31}, 0, {2147483648.0}},
      {"bitset_32_refused", "bitset", {0, 32}, ERR_WRONGUSAGE, {}},
      {"bittest_negative_refused", "bittest", {1, -1}, ERR_WRONGUSAGE, {}},
      {"bittest_set", "bittest", {5, 2}, 0, {1}},
      {"bitclear", "bitclear", {4294967295.0, 0}, 0, {4294967294.0}},
      {"bitxor_unsigned", "bitxor", {-1, 1}, 0, {4294967294.0}},
      {"rol_byte", "rol", {0x81, 1, 7}, 0, {3}},
      {"ror_short", "ror", {1, 1, 6}, 0, {32768}},
      {"ror_integer_default", "ror", {1, 1}, 0, {2147483648.0}},
      {"rol_integer_by_32", "rol", {0x12345678, 32}, 0, {0x12345678}},
      {"rol_byte_by_zero", "rol", {0x1FF, 0, 7}, 0, {255}},
      {"rol_bad_type", "rol", {1, 1, 12}, ERR_WRONGUSAGE, {}},
      {"ror_bad_type", "ror", {1, 1, 3}, ERR_WRONGUSAGE, {}},
      {"cast_byte_signed", "cast", {255, 1, 7}, 0, {-1}},
      {"cast_integer_unsigned", "cast", {-1, 0, 1}, 0, {4294967295.0}},
      {"cast_short_signed", "cast", {0x18000, 1, 6}, 0, {-32768}},
      {"cast_bad_type", "cast", {1, 0, 2}, ERR_WRONGUSAGE, {}},
      {"endianswap_16", "endianswap", {258, 16}, 0, {513}},
      {"endianswap_16_drops_upper", "endianswap", {65537, 16}, 0, {256}},
      {"endianswap_32", "endianswap", {1, 32}, 0, {16777216}},
      {"endianswap_bad_width", "endianswap", {1, 8}, ERR_WRONGUSAGE, {}},
      {"sgn_negative_zero", "sgn", {NEG_ZERO}, 0, {0}},
      {"sgn_nan", "sgn", {NaN}, 0, {0}},
      {"sgn_negative", "sgn", {-0.1}, 0, {-1}},
      {"frexp", "frexp", {8}, 0, {0.5, 4}},
      {"ldexp", "ldexp", {0.5, 4}, 0, {8}},
      {"sqrt_negative_is_nan", "sqrt", {-1}, 0, {NaN}},
      {"ln_zero_is_minus_infinity", "ln", {0}, 0, {-HUGE_VAL}},
      {"asin_out_of_domain", "asin", {2}, 0, {NaN}},
      {"ld_of_8", "ld", {8}, 0, {std::log10(8.0) / 0.3010299956639812}},
      {"log_base", "log", {100, 10}, 0, {2}},
      {"atan2_y_first", "atan2", {1, 0}, 0, {std::atan2(1.0, 0.0)}},
      {"deg", "deg", {1}, 0, {1 / 0.017453292519943295}},
      {"hypot", "hypot", {3, 4}, 0, {5}},
      {"abs_not_a_number", "abs", {"abc"}, ERR_NUMEXPECTED, {}},
      {"add_too_many", "add", {1, 2, 3}, ERR_TOOMANYARGS, {}},
  };
  for (const MathCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> results;
    ASSERT_EQ(Call(c.command, c.args, &results), c.error);
    ASSERT_EQ(results.size(), c.error ? 0u : c.results.size());
    for (size_t i = 0; i < results.size(); i++) ExpectSame(c.results[i], results[i]);
  }
}

TEST_F(MathTest, StrongRandomNumbersStayInTheirRange) {
  std::vector<double> r;
  bool sawZero = false, sawOne = false;
  for (int i = 0; i < 200; i++) {
    ASSERT_EQ(Call("rndstrong", {1, 1}, &r), 0);
    ASSERT_TRUE(r[0] == 0 || r[0] == 1) << r[0];
    (r[0] == 0 ? sawZero : sawOne) = true;
    ASSERT_EQ(Call("rndstrong", {1, -1}, &r), 0);
    ASSERT_TRUE(r[0] >= 0 && r[0] <= 4294967295.0 && r[0] == std::floor(r[0]));
  }
  EXPECT_TRUE(sawZero && sawOne);
  size_t length = 0;
  ASSERT_EQ(Call("rndstrong", {3, 16}, &r, &length), 0);
  EXPECT_EQ(length, 16u);
}

// The random bytes are read into a buffer of their own before the string
// is made: when making it fails, the buffer goes too (ASan checks).
TEST_F(MathTest, StrongRandomStringOutOfMemoryLeaksNothing) {
  uint64_t n = 1;
  for (; n < 100; n++) {
    // Everything outside the protected call is in place before the
    // failures start: only the command's own allocations can fail.
    VmSetTop(h.L, 0);
    VmPushCClosure(h.L, testcall::RaiseReturnedError, 0);
    VmPushString(h.L, "rndstrong");
    VmGetTable(h.L, VM_GLOBALS_INDEX);
    VmPushNumber(h.L, 3);
    VmPushNumber(h.L, 4096);
    VmSetAllocFailure(n, false);
    ErrorCode e = VmPCall(h.L, 3, VM_MULTRET, 0);
    VmSetAllocFailure(0, false);
    if (e == 0) break;
    ASSERT_EQ(e, ERR_MEM) << "allocation " << n;
  }
  EXPECT_GT(n, 1u);
  EXPECT_LT(n, 100u);
}

// No command re-seeds the generators: the seam seeds them, and the same
// seed replays the same numbers from Rnd and RndF.
TEST_F(MathTest, GeneratorsReplayFromATestSeed) {
  auto draw = [this]() {
    std::vector<double> seq, r;
    for (int i = 0; i < 20; i++) {
      EXPECT_EQ(Call("rnd", {1000}, &r), 0);
      EXPECT_TRUE(r[0] >= 0 && r[0] < 1000 && r[0] == std::floor(r[0]));
      seq.push_back(r[0]);
      EXPECT_EQ(Call("rndf", {}, &r), 0);
      EXPECT_TRUE(r[0] >= 0 && r[0] < 1);
      seq.push_back(r[0]);
    }
    return seq;
  };
  SeedMathGenerators(12345);
  std::vector<double> first = draw();
  SeedMathGenerators(12345);
  EXPECT_EQ(draw(), first);
  SeedMathGenerators(54321);
  EXPECT_NE(draw(), first);

  // The override takes the place of the time when the library opens.
  SetMathSeedOverride(777);
  VmPushValue(h.L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenMathLibrary(h.L), 0);
  VmSetTop(h.L, 0);
  std::vector<double> opened = draw();
  SeedMathGenerators(777);
  EXPECT_EQ(draw(), opened);
  SetMathSeedOverride(-1);
}

TEST_F(MathTest, CompiledProgramCallsCommandsAndReadsPi) {
  std::string out;
  const std::string program =
      ".source \"=t\"\n"
      "GETGLOBAL 0, \"consoleprint\"\n"
      "GETGLOBAL 1, \"round\"\n"
      "LOADCONST 2, #2.5\n"
      "CALL 1, 2, 2\n"
      "GETGLOBAL 2, \"cast\"\n"
      "LOADCONST 3, #255\n"
      "LOADNUM 4, 1\n"
      "LOADNUM 5, 7\n"
      "CALL 2, 4, 2\n"
      "GETGLOBAL 3, \"mod\"\n"
      "LOADNUM 4, 5\n"
      "LOADNUM 5, 0\n"
      "CALL 3, 3, 2\n"
      "CALL 0, 4, 1\n"
      "RETURN 0, 1\n";
  EXPECT_EQ(h.RunCapture(program, &out), ERR_ZERODIVISION);
  EXPECT_EQ(out, "");
  PlayerHarness::ResetRunWords();
  const std::string ok =
      ".source \"=t\"\n"
      "GETGLOBAL 0, \"consoleprint\"\n"
      "GETGLOBAL 1, \"round\"\n"
      "LOADCONST 2, #2.5\n"
      "CALL 1, 2, 2\n"
      "GETGLOBAL 2, \"cast\"\n"
      "LOADCONST 3, #255\n"
      "LOADNUM 4, 1\n"
      "LOADNUM 5, 7\n"
      "CALL 2, 4, 2\n"
      "GETGLOBAL 3, \"shl\"\n"
      "LOADNUM 4, 1\n"
      "LOADNUM 5, 31\n"
      "CALL 3, 3, 2\n"
      "CALL 0, 4, 1\n"
      "RETURN 0, 1\n";
  EXPECT_EQ(h.RunCapture(ok, &out), 0);
  EXPECT_EQ(out, "2 -1 2147483648\n");
  const char* text = nullptr;
  double pi = 0;
  ASSERT_EQ(VmFindConstant(h.L, "pi", &text, &pi), 1);
  EXPECT_EQ(pi, 3.141592653589793);
  VmSetTop(h.L, 0);
}

}  // namespace
