// The system library's table commands, the commands of other platforms and
// the ARexx port commands, called by name in an in-process player.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "libs/libs.h"
#include "tests/support/harness.h"
#include "tests/support/unsupported_commands.h"

namespace {

class SystemTablesTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;

  // Pushes a list from index 0: "#n" items are numbers, "" an empty
  // string, "{}" a new table, anything else a string.
  void pushList(const std::vector<std::string>& items) {
    VmNewTable(L);
    for (size_t i = 0; i < items.size(); i++) {
      const std::string& s = items[i];
      if (s.size() > 1 && s[0] == '#')
        VmPushNumber(L, std::stod(s.substr(1)));
      else if (s == "{}")
        VmNewTable(L);
      else
        VmPushLString(L, s.data(), s.size());
      VmRawSetI(L, -2, static_cast<int>(i));
    }
  }
  // The items of the table at index from 0 to the first nil, numbers as
  // "#n"; at most limit items.
  std::vector<std::string> readList(int index, int limit = 100) {
    std::vector<std::string> out;
    for (int i = 0; i < limit; i++) {
      VmRawGetI(L, index, i);
      int t = VmType(L, -1);
      if (t == VM_TYPE_NIL) {
        VmSetTop(L, -2);
        break;
      }
      if (t == VM_TYPE_NUMBER) {
        char text[32];
        std::snprintf(text, sizeof text, "#%g", VmToNumber(L, -1));
        out.push_back(text);
      } else if (t == VM_TYPE_STRING) {
        out.emplace_back(VmToString(L, -1), VmStrLen(L, -1));
      } else {
        out.push_back("?");
      }
      VmSetTop(L, -2);
    }
    return out;
  }
  void global(const char* name) {
    VmPushString(L, name);
    VmGetTable(L, VM_GLOBALS_INDEX);
  }
};

using List = std::vector<std::string>;

TEST_F(SystemTablesTest, ListEditingCases) {
  struct Case {
    const char* name;
    const char* command;
    List list;
    std::vector<const char*> args;  // "#n" numbers, else strings
    ErrorCode code;
    List after;          // the list once the command ran
    const char* result;  // first result as text, null: none
  } cases[] = {
      {"insert into an empty table at 5 goes to 0",
       "InsertItem",
       {},
       {"v", "#5"},
       0,
       {"v"},
       nullptr},
      {"insert at 1 moves the rest up",
       "InsertItem",
       {"a", "b"},
       {"v", "#1"},
       0,
       {"a", "v", "b"},
       nullptr},
      {"insert without a position appends", "InsertItem", {"a"}, {"v"}, 0, {"a", "v"}, nullptr},
      {"insert at -7 appends", "InsertItem", {"a"}, {"v", "#-7"}, 0, {"a", "v"}, nullptr},
      {"remove without a position takes the last",
       "RemoveItem",
       {"#10", "#20", "#30"},
       {},
       0,
       {"#10", "#20"},
       "#30"},
      {"remove at 0 moves the rest down",
       "RemoveItem",
       {"a", "b", "c"},
       {"#0"},
       0,
       {"b", "c"},
       "a"},
      {"remove beyond the end takes the last", "RemoveItem", {"a", "b"}, {"#9"}, 0, {"a"}, "b"},
      {"remove from an empty list returns nothing", "RemoveItem", {}, {}, 0, {}, nullptr},
      {"concat with a dash", "Concat", {"a", "b", "c"}, {"-"}, 0, {"a", "b", "c"}, "a-b-c"},
      {"concat of a range",
       "Concat",
       {"a", "b", "c"},
       {",", "#1", "#2"},
       0,
       {"a", "b", "c"},
       "b,c"},
      {"concat of an empty list", "Concat", {}, {}, 0, {}, ""},
      {"concat of a number is refused",
       "Concat",
       {"a", "#1"},
       {},
       ERR_STRINGEXPECTED,
       {"a", "#1"},
       nullptr},
      {"sort without a function ends at an empty string",
       "Sort",
       {"z", "", "a"},
       {},
       0,
       {"z", "", "a"},
       nullptr},
      {"sort of numbers",
       "Sort",
       {"#3", "#1", "#2", "#-5"},
       {},
       0,
       {"#-5", "#1", "#2", "#3"},
       nullptr},
      {"sort of strings",
       "Sort",
       {"pear", "apple", "fig"},
       {},
       0,
       {"apple", "fig", "pear"},
       nullptr},
      {"list items", "ListItems", {"a", "b"}, {}, 0, {"a", "b"}, "#2"},
      {"unpack leaves the first item first", "Unpack", {"x", "y"}, {}, 0, {"x", "y"}, "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmSetTop(L, 0);
    pushList(c.list);
    VmPushValue(L, 1);
    for (const char* a : c.args) {
      if (a[0] == '#')
        VmPushNumber(L, std::stod(a + 1));
      else
        VmPushString(L, a);
    }
    ASSERT_EQ(p.Call(c.command, static_cast<int>(c.args.size()) + 1), c.code);
    EXPECT_EQ(readList(1), c.after);
    if (c.code != 0) continue;
    if (c.result == nullptr) {
      EXPECT_EQ(VmGetTop(L), 1) << "no result";
    } else {
      ASSERT_GE(VmGetTop(L), 2);
      VmNewTable(L);
      VmPushValue(L, 2);
      VmRawSetI(L, -2, 0);
      EXPECT_EQ(readList(-1), List{c.result});
    }
  }
}

TEST_F(SystemTablesTest, CopyTableDeepShallowAndCycles) {
  // t = {inner = {1}}, t.self = t, t.inner.up = t, t.twice = t.inner
  VmNewTable(L);
  VmNewTable(L);
  VmPushNumber(L, 1);
  VmRawSetI(L, -2, 0);
  VmPushString(L, "up");
  VmPushValue(L, 1);
  VmRawSet(L, -3);
  VmPushString(L, "inner");
  VmPushValue(L, 2);
  VmRawSet(L, 1);
  VmPushString(L, "twice");
  VmPushValue(L, 2);
  VmRawSet(L, 1);
  VmPushString(L, "self");
  VmPushValue(L, 1);
  VmRawSet(L, 1);
  VmSetTop(L, 1);
  auto field = [&](int table, const char* key) {
    VmPushString(L, key);
    VmRawGet(L, table);
    return VmGetTop(L);
  };

  VmPushValue(L, 1);
  ASSERT_EQ(p.Call("CopyTable", 1), 0);
  int copy = VmGetTop(L);
  int inner = field(copy, "inner");
  int self = field(copy, "self");
  int up = field(inner, "up");
  int twice = field(copy, "twice");
  EXPECT_NE(VmToPointer(L, copy), VmToPointer(L, 1));
  EXPECT_EQ(VmToPointer(L, self), VmToPointer(L, copy)) << "the cycle stays inside the copy";
  EXPECT_EQ(VmToPointer(L, up), VmToPointer(L, copy));
  EXPECT_NE(VmToPointer(L, inner), VmToPointer(L, field(1, "inner")));
  EXPECT_NE(VmToPointer(L, twice), VmToPointer(L, inner)) << "shared tables are copied each time";
  VmRawGetI(L, inner, 0);
  EXPECT_EQ(VmToNumber(L, -1), 1);

  VmSetTop(L, 1);
  VmPushValue(L, 1);
  VmPushBoolean(L, 1);
  ASSERT_EQ(p.Call("CopyTable", 2), 0);
  EXPECT_EQ(VmToPointer(L, field(2, "inner")), VmToPointer(L, field(1, "inner")))
      << "a shallow copy shares the inner table";
  EXPECT_EQ(VmToPointer(L, field(2, "self")), VmToPointer(L, 1));
}

TEST_F(SystemTablesTest, SortAgreesWithStdSort) {
  std::mt19937 random(42);
  std::vector<double> numbers(10000);
  std::vector<std::string> strings(10000);
  for (size_t i = 0; i < numbers.size(); i++) {
    numbers[i] = static_cast<double>(random() % 5000) - 2500.5;
    char text[16];
    std::snprintf(text, sizeof text, "s%u", static_cast<unsigned>(random() % 100000));
    strings[i] = text;
  }
  // Without and with a comparison function (greater-than through the
  // script).
  const char* compare =
      ".function cmp\n.params 2\nLT 0, 1, 0\nJUMP no\nLOADNUM 2, 1\nRETURN 2, 2\n"
      "no: LOADNUM 2, 0\nRETURN 2, 2\n.end\nCLOSURE 0, cmp\nSETGLOBAL 0, \"greater\"\nRETURN 0, 1";
  std::string asmError;
  ASSERT_EQ(p.Run(compare, &asmError), 0) << asmError;
  for (bool descending : {false, true}) {
    SCOPED_TRACE(descending ? "descending by function" : "less-than");
    VmSetTop(L, 0);
    VmNewTable(L);
    for (size_t i = 0; i < numbers.size(); i++) {
      VmPushNumber(L, numbers[i]);
      VmRawSetI(L, 1, static_cast<int>(i));
    }
    VmNewTable(L);
    for (size_t i = 0; i < strings.size(); i++) {
      VmPushString(L, strings[i].c_str());
      VmRawSetI(L, 2, static_cast<int>(i));
    }
    for (int table : {1, 2}) {
      VmPushValue(L, table);
      int args = 1;
      if (descending) {
        global("greater");
        args = 2;
      }
      ASSERT_EQ(p.Call("Sort", args), 0);
      VmSetTop(L, 2);
    }
    std::vector<double> wantNumbers = numbers;
    std::vector<std::string> wantStrings = strings;
    std::sort(wantNumbers.begin(), wantNumbers.end());
    std::sort(wantStrings.begin(), wantStrings.end());
    if (descending) {
      std::reverse(wantNumbers.begin(), wantNumbers.end());
      std::reverse(wantStrings.begin(), wantStrings.end());
    }
    for (size_t i = 0; i < numbers.size(); i++) {
      VmRawGetI(L, 1, static_cast<int>(i));
      VmRawGetI(L, 2, static_cast<int>(i));
      ASSERT_EQ(VmToNumber(L, -2), wantNumbers[i]) << i;
      ASSERT_EQ(std::string(VmToString(L, -1)), wantStrings[i]) << i;
      VmSetTop(L, 2);
    }
  }
  // A comparison that always answers 1 runs off the range.
  ASSERT_EQ(p.Run(".function yes\n.params 2\nLOADNUM 2, 1\nRETURN 2, 2\n.end\nCLOSURE 0, "
                  "yes\nSETGLOBAL 0, \"yes\"\nRETURN 0, 1",
                  &asmError),
            0)
      << asmError;
  VmSetTop(L, 0);
  pushList({"#5", "#4", "#3", "#2", "#1", "#0"});
  global("yes");
  EXPECT_EQ(p.Call("Sort", 2), ERR_SORTFUNC);
}

TEST_F(SystemTablesTest, IterationCommands) {
  // ForEach stops at the first non-nil result and returns it.
  std::string asmError;
  ASSERT_EQ(
      p.Run(".function f\n.params 3\nEQ 0, 1, \"b\"\nJUMP no\nRETURN 2, 2\n"
            "no: LOADNIL 0, 0\nRETURN 0, 2\n.end\nCLOSURE 0, f\nSETGLOBAL 0, \"f\"\nRETURN 0, 1",
            &asmError),
      0)
      << asmError;
  pushList({"a", "b", "c"});
  VmPushValue(L, 1);
  global("f");
  VmPushString(L, "data");
  ASSERT_EQ(p.Call("ForEachI", 3), 0);
  ASSERT_EQ(VmGetTop(L), 2);
  EXPECT_STREQ(VmToString(L, 2), "data");
  VmSetTop(L, 1);
  VmPushValue(L, 1);
  global("f");
  VmPushString(L, "data");
  ASSERT_EQ(p.Call("ForEach", 3), 0);
  EXPECT_STREQ(VmToString(L, -1), "data");

  // IPairs runs from index 0.
  VmSetTop(L, 1);
  VmPushValue(L, 1);
  ASSERT_EQ(p.Call("IPairs", 1), 0);
  EXPECT_EQ(VmType(L, 2), VM_TYPE_FUNCTION);
  EXPECT_EQ(VmToNumber(L, 4), -1);
  VmSetTop(L, 1);
  VmPushValue(L, 1);
  VmPushNumber(L, -1);
  ASSERT_EQ(p.Call("IPairs", 2), 0);
  EXPECT_EQ(VmToNumber(L, 2), 0);
  EXPECT_STREQ(VmToString(L, 3), "a");
  VmSetTop(L, 1);
  VmPushValue(L, 1);
  VmPushNumber(L, 2);
  ASSERT_EQ(p.Call("IPairs", 2), 0);
  EXPECT_EQ(VmGetTop(L), 1) << "nothing after the last item";

  // Counts, HaveItem's lower-casing, Pack.
  VmSetTop(L, 1);
  VmPushString(L, "key");
  VmPushNumber(L, 1);
  VmRawSet(L, 1);
  VmPushValue(L, 1);
  ASSERT_EQ(p.Call("TableItems", 1), 0);
  EXPECT_EQ(VmToNumber(L, -1), 4);
  VmSetTop(L, 1);
  VmPushValue(L, 1);
  VmPushString(L, "KEY");
  ASSERT_EQ(p.Call("HaveItem", 2), 0);
  EXPECT_EQ(VmToNumber(L, -1), 1);
  VmSetTop(L, 0);
  VmNewTable(L);
  ASSERT_EQ(p.Call("IsTableEmpty", 1), 0);
  EXPECT_EQ(VmToNumber(L, -1), 1);
  VmSetTop(L, 0);
  VmPushString(L, "x");
  VmPushNumber(L, 2);
  ASSERT_EQ(p.Call("Pack", 2), 0);
  EXPECT_EQ(readList(-1), (List{"x", "#2"}));
}

TEST_F(SystemTablesTest, CommandsOfOtherPlatformsAreUnsupported) {
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenArexxLibrary(L), 0);
  VmSetTop(L, 0);
  for (const char* name : UNSUPPORTED_COMMANDS) {
    SCOPED_TRACE(name);
    for (int args : {0, 2}) {
      VmSetTop(L, 0);
      for (int i = 0; i < args; i++) VmNewTable(L);
      EXPECT_EQ(p.Call(name, args), ERR_UNSUPPORTEDFEAT);
    }
  }
  // With errors not raised the script reads the code and goes on.
  std::string asmError;
  ASSERT_EQ(p.Run("GETGLOBAL 0, \"exitonerror\"\nLOADNUM 1, 0\nCALL 0, 2, 1\n"
                  "GETGLOBAL 0, \"createrexxport\"\nLOADCONST 1, \"x\"\nCALL 0, 2, 1\n"
                  "GETGLOBAL 0, \"getlasterror\"\nCALL 0, 1, 2\nSETGLOBAL 0, \"code\"\n"
                  "LOADNUM 0, 1\nSETGLOBAL 0, \"after\"\nRETURN 0, 1",
                  &asmError),
            0)
      << asmError;
  VmSetTop(L, 0);
  global("code");
  global("after");
  EXPECT_EQ(VmToNumber(L, 1), ERR_UNSUPPORTEDFEAT);
  EXPECT_EQ(VmToNumber(L, 2), 1);
}

}  // namespace
