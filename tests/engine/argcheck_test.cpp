// Argument checks: counts, absent versus nil, integer patterns, percent
// numbers, identifiers, UTF-8 arguments and "#" constant references. Each
// case runs inside a real command call, so a raise is caught by the
// protected runner and its code and error argument can be read.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "engine/engine.h"
#include "engine/engine_private.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

std::function<void(VmState*)> body;

int runBody(VmState* L) {
  body(L);
  return 0;
}

class ArgTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;

  // Calls a command running f with the given arguments; returns the
  // raised code (0 when none).
  ErrorCode Check(const std::function<void(VmState*)>& pushArgs,
                  const std::function<void(VmState*)>& f) {
    body = f;
    VmSetTop(L, 0);
    VmPushCClosure(L, runBody, 0);
    pushArgs(L);
    return VmPCall(L, VmGetTop(L) - 1, 0, 0);
  }
};

void noArgs(VmState*) {}
void oneNil(VmState* L) { VmPushNil(L); }

TEST_F(ArgTest, ArgumentCounts) {
  struct Case {
    const char* name;
    int args, minimum, maximum;
    ErrorCode expect;
  } cases[] = {
      {"(0, 0) refuses one", 1, 0, 0, ERR_TOOMANYARGS},
      {"(0, 0) takes none", 0, 0, 0, 0},
      {"(1, 0) takes many", 5, 1, 0, 0},
      {"(1, 0) needs one", 0, 1, 0, ERR_MISSINGPARAMTR},
      {"(1, 2) refuses three", 3, 1, 2, ERR_TOOMANYARGS},
      {"(2, 2) exactly", 2, 2, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Check(
                  [&](VmState* L) {
                    for (int i = 0; i < c.args; i++) VmPushNumber(L, i);
                  },
                  [&](VmState* L) { CheckArgCount(L, c.minimum, c.maximum, 0, 0); }),
              c.expect);
  }
  VmSetAppletVersion(7, 5);
  EXPECT_EQ(Check(noArgs, [](VmState* L) { CheckArgCount(L, 0, 0, 8, 0); }), ERR_OLDAPPLET);
  EXPECT_STREQ(GetErrorArgString(), "8.0");
  EXPECT_EQ(Check(noArgs, [](VmState* L) { CheckArgCount(L, 0, 0, 7, 5); }), 0);
  VmSetAppletVersion(8, 0);
}

TEST_F(ArgTest, AbsentTakesTheDefaultNilFails) {
  double got = 0;
  EXPECT_EQ(Check(noArgs, [&](VmState* L) { got = VmOptNumber(L, 1, 7.5); }), 0);
  EXPECT_EQ(got, 7.5);
  EXPECT_EQ(Check(oneNil, [&](VmState* L) { got = VmOptNumber(L, 1, 7.5); }), ERR_NUMEXPECTED);
  EXPECT_EQ(GetErrorArgNumber(), 1);
  EXPECT_EQ(Check(oneNil, [&](VmState* L) { VmOptString(L, 1, "d", nullptr); }), ERR_STREXPECTED);
  const char* s = nullptr;
  size_t len = 9;
  EXPECT_EQ(Check(noArgs, [&](VmState* L) { s = VmOptString(L, 1, "dflt", &len); }), 0);
  EXPECT_STREQ(s, "dflt");
  EXPECT_EQ(len, 4u);
  // The failing index is the message's "%d".
  EXPECT_EQ(Check(
                [](VmState* L) {
                  VmPushNumber(L, 1);
                  VmPushNumber(L, 2);
                  VmNewTable(L);
                },
                [](VmState* L) { VmCheckString(L, 3, nullptr); }),
            ERR_STREXPECTED);
  char text[128];
  GetErrorText(ERR_STREXPECTED, text, sizeof text);
  EXPECT_STREQ(text, "String expected in argument 3!");
}

TEST_F(ArgTest, IntegerPatterns) {
  struct Case {
    const char* name;
    double value;
    int32_t expect;
  } cases[] = {
      {"3e9 keeps its 32-bit pattern", 3000000000.0, static_cast<int32_t>(3000000000u)},
      {"-1.9 truncates toward zero", -1.9, -1},
      {"2^32 + 5 keeps the low bits", 4294967301.0, 5},
      {"far below saturates", -1e20, INT32_MIN},
      {"NaN gives 0", std::nan(""), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t got = 1;
    EXPECT_EQ(Check([&](VmState* L) { VmPushNumber(L, c.value); },
                    [&](VmState* L) { got = VmCheckInteger(L, 1); }),
              0);
    EXPECT_EQ(got, c.expect);
  }
  int32_t got = 0;
  EXPECT_EQ(Check([](VmState* L) { VmPushString(L, "$10"); },
                  [&](VmState* L) { got = VmCheckInteger(L, 1); }),
            0);
  EXPECT_EQ(got, 16);
}

// The shared conversion at the edges of each width: a value whose
// truncation the type holds converts, the next one out and NaN and the
// infinities do not; the saturating form clamps them.
TEST_F(ArgTest, ConversionsToIntegersOfAGivenWidth) {
  const double nan = std::nan(""), inf = INFINITY;
  struct Case {
    const char* name;
    double value;
    bool int16, uint32, int64, uint64;  // converts to the type
    int64_t saturated;                  // VmSaturateInt<int64_t>
  } cases[] = {
      {"-0.9 truncates to 0", -0.9, true, true, true, true, 0},
      {"-1 is no unsigned value", -1, true, false, true, false, -1},
      {"32767.9", 32767.9, true, true, true, true, 32767},
      {"32768", 32768, false, true, true, true, 32768},
      {"-32768.9", -32768.9, true, false, true, false, -32768},
      {"-32769", -32769, false, false, true, false, -32769},
      {"2^32 - 0.5", 4294967295.5, false, true, true, true, 4294967295},
      {"2^32", 4294967296.0, false, false, true, true, 4294967296},
      {"-2^63", -9223372036854775808.0, false, false, true, false, INT64_MIN},
      {"2^63", 9223372036854775808.0, false, false, false, true, INT64_MAX},
      {"2^64", 18446744073709551616.0, false, false, false, false, INT64_MAX},
      {"1e30", 1e30, false, false, false, false, INT64_MAX},
      {"-1e30", -1e30, false, false, false, false, INT64_MIN},
      {"+inf", inf, false, false, false, false, INT64_MAX},
      {"-inf", -inf, false, false, false, false, INT64_MIN},
      {"NaN", nan, false, false, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int16_t a = 7;
    uint32_t b = 7;
    int64_t d = 7;
    uint64_t e = 7;
    EXPECT_EQ(VmIntegerOf(c.value, &a), c.int16);
    EXPECT_EQ(VmIntegerOf(c.value, &b), c.uint32);
    EXPECT_EQ(VmIntegerOf(c.value, &d), c.int64);
    EXPECT_EQ(VmIntegerOf(c.value, &e), c.uint64);
    if (!c.int64) {
      EXPECT_EQ(d, 7);  // untouched
    }
    EXPECT_EQ(VmSaturateInt<int64_t>(c.value), c.saturated);
  }
  // The argument form: no number raises 1138, a bad one returns the
  // command's error.
  int64_t got = 0;
  ErrorCode returned = 0;
  EXPECT_EQ(Check([](VmState* L) { VmPushString(L, "x"); },
                  [&](VmState* L) { returned = VmCheckIntegerOf(L, 1, &got); }),
            ERR_NUMEXPECTED);
  EXPECT_EQ(Check([](VmState* L) { VmPushNumber(L, 1e30); },
                  [&](VmState* L) { returned = VmCheckIntegerOf(L, 1, &got, ERR_SEEKFILE); }),
            0);
  EXPECT_EQ(returned, ERR_SEEKFILE);
  EXPECT_EQ(Check([](VmState* L) { VmPushString(L, "-12.5"); },
                  [&](VmState* L) { returned = VmCheckIntegerOf(L, 1, &got); }),
            0);
  EXPECT_EQ(returned, ERR_NONE);
  EXPECT_EQ(got, -12);
}

TEST_F(ArgTest, NumbersWithPercentSigns) {
  struct Case {
    const char* name;
    const char* text;  // null: push the number 12.5
    double base;
    int allow;
    ErrorCode code;
    double value;
    int percent;
  } cases[] = {
      {"half of 640", "50%", 640, 0, 0, 320, 0},
      {"no base gives a fraction", "50%", 0, 0, 0, 0.5, 1},
      {"over 100 refused", "150%", 640, 0, ERR_PERCENTFORMAT, 0, 0},
      {"over 100 allowed", "150%", 100, 1, 0, 150, 0},
      {"negative percent", "-5%", 100, 1, ERR_PERCENTFORMAT, 0, 0},
      {"plain number text", "12", 640, 0, 0, 12, 0},
      {"no number", "abc", 640, 0, ERR_PERCENTFORMAT, 0, 0},
      {"not a number word", "nan%", 640, 0, ERR_PERCENTFORMAT, 0, 0},
      {"number unchanged", nullptr, 640, 0, 0, 12.5, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    double got = -1;
    int percent = -1;
    ErrorCode code =
        Check([&](VmState* L) { c.text ? VmPushString(L, c.text) : VmPushNumber(L, 12.5); },
              [&](VmState* L) { got = GetNumberArgEx(L, 1, c.base, c.allow, &percent); });
    EXPECT_EQ(code, c.code);
    if (c.code == 0) {
      EXPECT_DOUBLE_EQ(got, c.value);
      EXPECT_EQ(percent, c.percent);
    }
  }
  EXPECT_EQ(Check(oneNil, [](VmState* L) { GetNumberArgEx(L, 1, 0, 0, nullptr); }),
            ERR_NUMEXPECTED);
  EXPECT_EQ(Check([](VmState* L) { VmNewTable(L); },
                  [](VmState* L) { GetNumberArgEx(L, 1, 0, 0, nullptr); }),
            ERR_STRORNUM);
}

TEST_F(ArgTest, ObjectIdentifiers) {
  int automatic = -1;
  ObjectId id{};
  // Nil and absent ask for an automatic identifier when the caller takes one.
  EXPECT_EQ(Check(oneNil, [&](VmState* L) { id = GetObjectIdArg(L, 1, &automatic); }), 0);
  EXPECT_EQ(automatic, 1);
  EXPECT_EQ(Check(noArgs, [&](VmState* L) { id = GetObjectIdArg(L, 1, &automatic); }), 0);
  EXPECT_EQ(automatic, 1);
  EXPECT_EQ(Check(oneNil, [&](VmState* L) { id = GetObjectIdArg(L, 1, nullptr); }),
            ERR_NUMEXPECTED);
  EXPECT_EQ(Check([](VmState* L) { VmPushNumber(L, 5.9); },
                  [&](VmState* L) { id = GetObjectIdArg(L, 1, &automatic); }),
            0);
  EXPECT_EQ(automatic, 0);
  EXPECT_EQ(id.autoId, nullptr);
  EXPECT_EQ(id.number, 5);
  int anchor;
  EXPECT_EQ(Check([&](VmState* L) { VmPushLightUserdata(L, &anchor); },
                  [&](VmState* L) { id = GetObjectIdArg(L, 1, &automatic); }),
            0);
  EXPECT_EQ(id.autoId, &anchor);
}

TEST_F(ArgTest, Utf8ArgumentsAndSubstrings) {
  int32_t saved = unicodeUtf8Mode;
  unicodeUtf8Mode = 1;
  size_t chars = 0, bytes = 0;
  EXPECT_EQ(Check([](VmState* L) { VmPushString(L, "h\xC3\xA9llo"); },
                  [&](VmState* L) { GetStringArg(L, 1, &chars, &bytes); }),
            0);
  EXPECT_EQ(chars, 5u);
  EXPECT_EQ(bytes, 6u);
  EXPECT_EQ(Check(
                [](VmState* L) {
                  VmPushNumber(L, 1);
                  VmPushString(L, "bad\xC3");
                },
                [&](VmState* L) { GetStringArg(L, 2, &chars, &bytes); }),
            ERR_INVALIDUTF8ARG);
  EXPECT_EQ(GetErrorArgNumber(), 2);
  unicodeUtf8Mode = saved;

  VmSetTop(L, 0);
  PushSubString(L, "h\xC3\xA9llo", 1, 2, 1);
  EXPECT_STREQ(VmToString(L, -1), "\xC3\xA9l");
  PushSubString(L, "hello", 1, 2, 0);
  EXPECT_STREQ(VmToString(L, -1), "el");
}

TEST_F(ArgTest, ConstantReferences) {
  const ConstantTableEntry table[] = {
      {"MyConst", nullptr, 12}, {"A$!", "text", 0}, {nullptr, nullptr, 0}};
  VmRegisterConstants(L, table, 1);
  struct Case {
    const char* text;
    ErrorCode code;
    size_t consumed;
  } cases[] = {
      {"#MYCONST+1", 0, 8},           {"#a$!", 0, 4},
      {"MYCONST", ERR_WRONGUSAGE, 0}, {"#1abc", ERR_SYNTAXERROR, 0},
      {"#unknown", ERR_FINDCST, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    size_t consumed = 0;
    const char* s = nullptr;
    double n = 0;
    EXPECT_EQ(ParseConstantReference(L, c.text, &consumed, &s, &n), c.code);
    if (c.code == 0) {
      EXPECT_EQ(consumed, c.consumed);
    }
  }
  std::string longName = "#" + std::string(100, 'x');
  size_t consumed = 0;
  EXPECT_EQ(ParseConstantReference(L, longName.c_str(), &consumed, nullptr, nullptr), ERR_FINDCST);
}

}  // namespace
