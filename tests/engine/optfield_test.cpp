// Option-table readers and writers: absent fields keep the caller's value,
// sizes and percentages, matrices, identifier lists that must fit the
// caller's array, number lists, paths and percent escapes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine/optiontable.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"
#include "tests/support/harness.h"

namespace {

std::function<void(VmState*)> body;

int runBody(VmState* L) {
  body(L);
  return 0;
}

class OptTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;

  // Runs f inside a command whose argument 1 is a table with the field
  // `field` set by setField (nothing set when null); returns the raise.
  ErrorCode WithTable(const char* field, const std::function<void(VmState*)>& setField,
                      const std::function<void(VmState*)>& f) {
    body = f;
    VmSetTop(L, 0);
    VmPushCClosure(L, runBody, 0);
    VmNewTable(L);
    if (setField) {
      VmPushString(L, field);
      setField(L);
      VmSetTable(L, -3);
    }
    return VmPCall(L, 1, 0, 0);
  }
};

void text(VmState* L, const char* s) { VmPushString(L, s); }

TEST_F(OptTest, AbsentAndNilFieldsKeepTheDefault) {
  for (bool setNil : {false, true}) {
    SCOPED_TRACE(setNil ? "nil field" : "no field");
    double value = 99;
    int found = -1;
    int r = -1;
    EXPECT_EQ(
        WithTable(
            "x", setNil ? std::function<void(VmState*)>([](VmState* L) { VmPushNil(L); }) : nullptr,
            [&](VmState* L) {
              int top = VmGetTop(L);
              r = GetTableFieldNumber(L, 1, "x", &value, &found);
              EXPECT_EQ(VmGetTop(L), top);
            }),
        0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(value, 99);
  }
}

TEST_F(OptTest, SizesAndPercentages) {
  struct Case {
    const char* name;
    const char* value;  // null: the number 120.7
    int allow;
    ErrorCode code;
    int32_t expect;
  } cases[] = {
      {"percent", "50%", 0, 0, -50},
      {"over 100 refused", "120%", 0, ERR_PERCENTFORMATSTR, 0},
      {"over 100 allowed", "120%", 1, 0, -120},
      {"not a number", "abc", 0, ERR_PERCENTFORMATSTR, 0},
      {"text after the sign", "50%x", 0, ERR_PERCENTFORMATSTR, 0},
      {"negative percent", "-5%", 1, ERR_PERCENTFORMATSTR, 0},
      {"plain size text", "640", 0, 0, 640},
      {"number truncated", nullptr, 0, 0, 120},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t got = 0;
    ErrorCode code = WithTable(
        "width", [&](VmState* L) { c.value ? text(L, c.value) : VmPushNumber(L, 120.7); },
        [&](VmState* L) { GetTableFieldSizeOrPercent(L, 1, "width", c.allow, &got, nullptr); });
    EXPECT_EQ(code, c.code);
    if (c.code == 0)
      EXPECT_EQ(got, c.expect);
    else
      EXPECT_STREQ(GetErrorArgString(), "width");
  }
  int32_t got = 0;
  EXPECT_EQ(WithTable(
                "width", [](VmState* L) { VmNewTable(L); },
                [&](VmState* L) { GetTableFieldSizeOrPercent(L, 1, "width", 0, &got, nullptr); }),
            ERR_NUMTABLEARG);
}

TEST_F(OptTest, TypedFields) {
  int32_t i = 0;
  uint32_t u = 0;
  EXPECT_EQ(WithTable(
                "n", [](VmState* L) { VmPushNumber(L, 3000000000.0); },
                [&](VmState* L) {
                  GetTableFieldU32(L, 1, "n", &u, nullptr);
                  GetTableFieldInt(L, 1, "n", &i, nullptr);
                }),
            0);
  EXPECT_EQ(u, 3000000000u);
  EXPECT_EQ(i, INT32_MAX);
  EXPECT_EQ(WithTable(
                "n", [](VmState* L) { text(L, "many"); },
                [&](VmState* L) { GetTableFieldInt(L, 1, "n", &i, nullptr); }),
            ERR_NUMTABLEARG);
  char buffer[4];
  EXPECT_EQ(
      WithTable(
          "s", [](VmState* L) { VmPushNumber(L, 12345); },
          [&](VmState* L) { GetTableFieldString(L, 1, "s", buffer, sizeof buffer, nullptr); }),
      0);
  EXPECT_STREQ(buffer, "123");
  EXPECT_EQ(
      WithTable(
          "s", [](VmState* L) { VmNewTable(L); },
          [&](VmState* L) { GetTableFieldString(L, 1, "s", buffer, sizeof buffer, nullptr); }),
      ERR_STRTABLEARG);
  ObjectId id{};
  int anchor;
  EXPECT_EQ(WithTable(
                "id", [&](VmState* L) { VmPushLightUserdata(L, &anchor); },
                [&](VmState* L) { GetTableFieldId(L, 1, "id", &id, nullptr); }),
            0);
  EXPECT_EQ(id.autoId, &anchor);
  int32_t layer = 0;
  EXPECT_EQ(WithTable(
                "layer", [](VmState* L) { text(L, "title"); },
                [&](VmState* L) { GetTableFieldLayer(L, 1, "layer", &layer, nullptr); }),
            ERR_FINDLAYER);
  EXPECT_STREQ(GetErrorArgString(), "title");
  VmRef ref = 0;
  EXPECT_EQ(WithTable(
                "cb", [](VmState* L) { text(L, "kept"); },
                [&](VmState* L) { GetTableFieldRef(L, 1, "cb", &ref, nullptr); }),
            0);
  VmRawGetI(L, VM_REGISTRY_INDEX, ref);
  EXPECT_STREQ(VmToString(L, -1), "kept");
  VmReleaseReference(L, VM_REGISTRY_INDEX, ref);
}

TEST_F(OptTest, Matrices) {
  struct Case {
    const char* name;
    int items;
    bool textItem;
    bool notTable;
    ErrorCode code;
  } cases[] = {
      {"four items", 4, false, false, 0},
      {"three items", 3, false, false, ERR_NUMTABLEARG},
      {"item not a number", 4, true, false, ERR_NUMTABLEARG},
      {"not a table", 0, false, true, ERR_TABEXPECTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    double m[4] = {0, 0, 0, 0};
    ErrorCode code = WithTable(
        "matrix",
        [&](VmState* L) {
          if (c.notTable) {
            VmPushNumber(L, 1);
            return;
          }
          VmNewTable(L);
          for (int i = 0; i < c.items; i++) {
            if (c.textItem && i == 2)
              VmPushString(L, "x");
            else
              VmPushNumber(L, i + 1);
            VmRawSetI(L, -2, i);
          }
        },
        [&](VmState* L) { GetTableFieldMatrix(L, 1, "matrix", m, nullptr); });
    EXPECT_EQ(code, c.code);
    if (c.code == 0) {
      EXPECT_EQ(m[0], 1);
      EXPECT_EQ(m[3], 4);
    } else {
      EXPECT_STREQ(GetErrorArgString(), "matrix");
    }
  }
}

TEST_F(OptTest, IdentifierListsMustFitTheArray) {
  struct Case {
    const char* name;
    int items;
    size_t capacity;
    ErrorCode code;
  } cases[] = {
      {"fits", 3, 3, 0},
      {"one too many", 4, 3, ERR_WRONGUSAGE},
      {"empty list", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ObjectId ids[4] = {};
    size_t count = 99;
    ErrorCode code = WithTable(
        "images",
        [&](VmState* L) {
          VmNewTable(L);
          for (int i = 0; i < c.items; i++) {
            VmPushNumber(L, 10 + i);
            VmRawSetI(L, -2, i);
          }
        },
        [&](VmState* L) { GetTableFieldIdList(L, 1, "options", ids, c.capacity, &count); });
    EXPECT_EQ(code, c.code);
    if (c.code == 0) {
      EXPECT_EQ(count, static_cast<size_t>(c.items));
      if (c.items > 0) {
        EXPECT_EQ(ids[c.items - 1].number, 10 + c.items - 1);
      }
    }
    // Nothing beyond the capacity is written.
    EXPECT_EQ(ids[3].number, 0);
  }
  size_t count = 0;
  EXPECT_EQ(WithTable(
                "images", [](VmState* L) { VmPushNumber(L, 1); },
                [&](VmState* L) { GetTableFieldIdList(L, 1, "options", nullptr, 0, &count); }),
            ERR_TABEXPECTED2);
  EXPECT_STREQ(GetErrorArgString(), "options");
}

TEST_F(OptTest, NumberLists) {
  // The list's elements: index -> number, or text where the value is NaN.
  using Items = std::vector<std::pair<int, double>>;
  const double TEXT = std::nan("");
  struct Case {
    const char* name;
    bool table;  // false: the field holds the number 5
    Items items;
    ErrorCode code;
    std::vector<int32_t> numbers;
  } cases[] = {
      {"from index 0, truncated", true, {{0, 1}, {1, 2.9}, {2, -2.9}}, 0, {1, 2, -2}},
      {"from index 1", true, {{1, 4}, {2, 5}}, 0, {4, 5}},
      {"a hole ends the list", true, {{1, 4}, {3, 5}}, 0, {4}},
      {"empty", true, {}, 0, {}},
      {"saturated", true, {{0, 1e12}, {1, -1e12}}, 0, {INT32_MAX, INT32_MIN}},
      {"as many as allowed", true, {{0, 1}, {1, 2}, {2, 3}}, 0, {1, 2, 3}},
      {"one too many", true, {{0, 1}, {1, 2}, {2, 3}, {3, 4}}, ERR_INTERNAL, {}},
      {"text in the list", true, {{0, 1}, {1, TEXT}}, ERR_NUMTABLEARG, {}},
      {"text after as many as allowed",
       true,
       {{0, 1}, {1, 2}, {2, 3}, {3, TEXT}},
       ERR_NUMTABLEARG,
       {}},
      {"not a table", false, {}, ERR_NUMTABLEARG, {}},
  };
  const NumberListRules rules{ERR_NUMTABLEARG, 3, ERR_INTERNAL};
  for (const Case& c : cases) {
    for (int index : {1, -1}) {
      SCOPED_TRACE(std::string(c.name) + (index < 0 ? ", table at -1" : ""));
      std::vector<int32_t> numbers{77};
      bool given = false;
      ErrorCode code = -1;
      int topBefore = 0, topAfter = 0;
      ASSERT_EQ(WithTable(
                    "tabs",
                    [&](VmState* L) {
                      if (!c.table) {
                        VmPushNumber(L, 5);
                        return;
                      }
                      VmNewTable(L);
                      for (auto [at, value] : c.items) {
                        if (value != value)
                          VmPushString(L, "x");
                        else
                          VmPushNumber(L, value);
                        VmRawSetI(L, -2, at);
                      }
                    },
                    [&](VmState* L) {
                      topBefore = VmGetTop(L);
                      code = ReadNumberList(L, index, "tabs", rules, &numbers, &given);
                      topAfter = VmGetTop(L);
                    }),
                0);
      EXPECT_EQ(code, c.code);
      EXPECT_EQ(topAfter, topBefore);
      EXPECT_EQ(given, c.code == 0);
      EXPECT_EQ(numbers, c.code == 0 ? c.numbers : std::vector<int32_t>{77});
    }
  }
  // Absent or nil: nothing read, nothing given. Numbers of type double
  // keep their fractions, without a limit.
  std::vector<double> fractions{9};
  bool given = false;
  ASSERT_EQ(WithTable("dashes", nullptr,
                      [&](VmState* L) {
                        EXPECT_EQ(
                            ReadNumberList(L, 1, "dashes", {ERR_WRONGUSAGE}, &fractions, &given),
                            0);
                      }),
            0);
  EXPECT_FALSE(given);
  EXPECT_EQ(fractions, std::vector<double>{9});
  ASSERT_EQ(WithTable(
                "dashes",
                [](VmState* L) {
                  VmNewTable(L);
                  for (int i = 0; i < 40; i++) {
                    VmPushNumber(L, i + 0.5);
                    VmRawSetI(L, -2, i);
                  }
                },
                [&](VmState* L) {
                  EXPECT_EQ(ReadNumberList(L, 1, "dashes", {ERR_WRONGUSAGE}, &fractions, &given),
                            0);
                }),
            0);
  EXPECT_TRUE(given);
  ASSERT_EQ(fractions.size(), 40u);
  EXPECT_EQ(fractions[39], 39.5);
}

TEST_F(OptTest, Writers) {
  VmSetTop(L, 0);
  VmNewTable(L);
  SetTableFieldString(L, "name", "x");
  SetTableFieldU32(L, "word", 0xFFFFFFFFu);
  SetTableFieldInt(L, "int", -3);
  int anchor;
  SetTableFieldId(L, "auto", ObjectId{&anchor, 0});
  SetTableFieldId(L, "num", ObjectId{nullptr, 7});
  EXPECT_EQ(VmGetTop(L), 1);
  struct Case {
    const char* key;
    int type;
  } cases[] = {{"name", VM_TYPE_STRING},
               {"word", VM_TYPE_NUMBER},
               {"int", VM_TYPE_NUMBER},
               {"auto", VM_TYPE_LIGHTUSERDATA},
               {"num", VM_TYPE_NUMBER}};
  for (const Case& c : cases) {
    VmPushString(L, c.key);
    VmRawGet(L, 1);
    EXPECT_EQ(VmType(L, -1), c.type) << c.key;
    VmSetTop(L, 1);
  }
  VmPushString(L, "word");
  VmRawGet(L, 1);
  EXPECT_EQ(VmToNumber(L, -1), 4294967295.0);
}

// The declarative reader: each row type with its check, default and
// required flag, read in row order from one table; the first returned
// error stops the reading, a wrong type raises naming the field, and the
// stack is left as it was.
TEST_F(OptTest, OptionTableRows) {
  static const OptionName NAMES[] = {{"one", 1}, {"two", 2}, {nullptr, 0}};
  static const OptionFlag FLAGS[] = {{"a", 0x1, 0}, {"b", 0x2, 0}, {"c", 0x1, 1}, {nullptr, 0, 0}};
  using Fields = std::vector<std::pair<const char*, std::function<void(VmState*)>>>;
  auto num = [](double n) { return [n](VmState* L) { VmPushNumber(L, n); }; };
  auto str = [](const char* t) { return [t](VmState* L) { VmPushString(L, t); }; };
  struct Case {
    const char* name;
    Fields fields;
    ErrorCode want;
    const char* errorArg;  // null: not checked
    const char* got;
  };
  const Case cases[] = {
      {"absent rows keep their values, a default applies",
       {{"r", num(1)}},
       0,
       nullptr,
       "w=6,0 i=-1 bits=0 n=-1 on=-1 s=init name=-1 size=-1 d=7 r=1 given=0"},
      {"every type present",
       {{"a", num(1)},
        {"b", str("")},
        {"c", str("x")},
        {"i", num(3.9)},
        {"bits", num(4294967295.0)},
        {"n", num(2.5)},
        {"on", str("no")},
        {"s", num(1234567)},
        {"name", str("two")},
        {"size", str("50%")},
        {"d", num(-2)},
        {"r", num(0)}},
       0,
       nullptr,
       "w=5,1 i=3 bits=4294967295 n=2.5 on=1 s=12345 name=2 size=-50 d=-2 r=0 given=1"},
      {"a value out of range stops the reading",
       {{"i", num(11)}, {"name", str("three")}},
       ERR_WRONGUSAGE,
       nullptr,
       "w=6,0 i=-1 bits=0 n=-1 on=-1 s=init name=-1 size=-1 d=-1 r=-1 given=0"},
      {"zero where it is refused names the field",
       {{"n", num(0)}, {"r", num(1)}},
       ERR_WRONGUSAGE,
       "n",
       "w=6,0 i=-1 bits=0 n=-1 on=-1 s=init name=-1 size=-1 d=-1 r=-1 given=0"},
      {"names compare exactly",
       {{"name", str("TWO")}, {"r", num(1)}},
       ERR_WRONGUSAGE,
       "TWO",
       "w=6,0 i=-1 bits=0 n=-1 on=-1 s=init name=-1 size=-1 d=-1 r=-1 given=0"},
      {"a required field is missing", {}, ERR_MISSINGPARAMTR, "r", nullptr},
      {"a wrong type raises", {{"bits", str("red")}}, ERR_NUMTABLEARG, "bits", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t w0 = 0x6, w1 = 0, bits = 0;
    uint32_t* words[] = {&w0, &w1};
    int32_t i = -1, on = -1, name = -1, size = -1, d = -1, r = -1;
    double n = -1;
    char text[6] = "init";
    int given = 0;
    const OptionField rows[] = {
        {.name = nullptr, .type = OPTION_FLAGS, .to = words, .flags = FLAGS},
        {.name = "i",
         .type = OPTION_INT,
         .to = &i,
         .check = OPTION_RANGE,
         .min = 0,
         .max = 10,
         .given = &given},
        {.name = "bits", .type = OPTION_BITS, .to = &bits},
        {.name = "n", .type = OPTION_NUMBER, .to = &n, .check = OPTION_NONZERO},
        {.name = "on", .type = OPTION_BOOL, .to = &on},
        {.name = "s", .type = OPTION_STRING, .to = text, .size = sizeof text},
        {.name = "name", .type = OPTION_NAME, .to = &name, .names = NAMES},
        {.name = "size", .type = OPTION_SIZE, .to = &size},
        {.name = "d", .type = OPTION_INT, .to = &d, .hasDefault = true, .defaultValue = 7},
        {.name = "r", .type = OPTION_INT, .to = &r, .required = true},
    };
    ErrorCode returned = 0;
    body = [&](VmState* L) {
      int top = VmGetTop(L);
      returned = ReadOptionTable(L, 1, rows);
      EXPECT_EQ(VmGetTop(L), top);
    };
    VmSetTop(L, 0);
    SetErrorArgString("");
    VmPushCClosure(L, runBody, 0);
    VmNewTable(L);
    for (const auto& [key, push] : c.fields) {
      VmPushString(L, key);
      push(L);
      VmSetTable(L, -3);
    }
    ErrorCode raised = VmPCall(L, 1, 0, 0);
    EXPECT_EQ(returned ? returned : raised, c.want);
    if (c.errorArg) {
      EXPECT_STREQ(GetErrorArgString(), c.errorArg);
    }
    if (!c.got) continue;
    char got[200];
    std::snprintf(got, sizeof got,
                  "w=%u,%u i=%d bits=%u n=%g on=%d s=%s name=%d size=%d d=%d r=%d given=%d", w0, w1,
                  i, bits, n, on, text, name, size, d, r, given);
    EXPECT_STREQ(got, c.got);
  }
}

// A registered object list; it stays registered for the process.
ObjectHead listedObjects[3];
ObjectHead* listHead = nullptr;

TEST_F(OptTest, ListObjectsOfTypeStoresEachIdentifier) {
  int anchor;
  listedObjects[0] = ObjectHead{90, 4, nullptr, nullptr, &listedObjects[1]};
  listedObjects[1] = ObjectHead{91, 5, nullptr, nullptr, &listedObjects[2]};
  listedObjects[2] = ObjectHead{90, 0, &anchor, nullptr, nullptr};
  listHead = &listedObjects[0];
  ASSERT_EQ(RegisterObjectList(&listHead), 0);
  VmSetTop(L, 0);
  VmNewTable(L);
  EXPECT_EQ(ListObjectsOfType(L, 90), 2);
  VmRawGetI(L, 1, 0);
  EXPECT_EQ(VmToNumber(L, -1), 4);
  VmRawGetI(L, 1, 1);
  EXPECT_EQ(VmToUserdata(L, -1), &anchor);
  listHead = nullptr;
}

TEST(PathsAndPercents, AddPartAndEscapes) {
  struct Case {
    const char *path, *name;
    size_t size;
    int result;
    const char* expect;
  } cases[] = {
      {"dir", "file", 64, 1, "dir/file"},    {"dir/", "file", 64, 1, "dir/file"},
      {"dir\\", "file", 64, 1, "dir\\file"}, {"", "file", 64, 1, "file"},
      {"dir", "file", 6, 1, "dir/f"},        {"dirx", "file", 5, 0, "dirx"},
  };
  for (const Case& c : cases) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s", c.path);
    EXPECT_EQ(AddPart(buffer, c.name, c.size), c.result) << c.path << " + " << c.name;
    EXPECT_STREQ(buffer, c.expect);
  }
  char* escaped = EscapePercentSigns("100%");
  ASSERT_NE(escaped, nullptr);
  EXPECT_STREQ(escaped, "100%%");
  FreeMemory(escaped);
  ErrorCode error = -1;
  EXPECT_EQ(EscapePercentSigns("", &error), nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(EscapePercentSigns("none", &error), nullptr);
  EXPECT_EQ(error, 0);
  SetAllocFailure(1, false);
  EXPECT_EQ(EscapePercentSigns("5%", &error), nullptr);
  SetAllocFailure(0, false);
  EXPECT_EQ(error, ERR_MEM);
}

}  // namespace
