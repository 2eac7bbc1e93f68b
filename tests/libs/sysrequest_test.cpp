// The system library's requester commands, answered by the "testrequester"
// plug-in (the font requester, which it does not take, by the console):
// the answers as the script sees them, cancelled requesters, and the
// argument refusals.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "libs/libs.h"
#include "platform/linux/requester_private.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/command_call.h"

namespace {

// An argument: a number, a string, or a list of strings (a table from
// index 0).
struct Arg {
  Arg(int n) : number(n) {}
  Arg(const char* t) : text(t) {}
  static Arg List(std::vector<const char*> l) {
    Arg a(0);
    a.list = std::move(l);
    a.isList = true;
    return a;
  }
  double number = 0;
  const char* text = nullptr;
  std::vector<const char*> list;
  bool isList = false;
};

class SysRequestTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    setenv("DISPLAY", ":9999", 1);  // no X server may be reached
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenSystemLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
    Install("testrequester");
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    const std::string module = root + "/Plugins/testrequester.qmp";
    script = plugintest::ModuleSymbol<decltype(script)>(module, "TestRequesterScript");
    messageError =
        plugintest::ModuleSymbol<decltype(messageError)>(module, "TestRequesterMessageError");
    ASSERT_TRUE(script && messageError);
  }
  void TearDown() override {
    SetRequesterConsole(nullptr, nullptr);
    PluginTest::TearDown();
    unsetenv("DISPLAY");
  }

  // Calls the command; its error, the results in `out` (numbers and
  // strings as text, a table as its entries from 0 joined by ",").
  ErrorCode Request(const char* name, std::vector<Arg> args) {
    VmSetTop(L, 0);
    for (const Arg& a : args) {
      if (a.isList) {
        VmNewTable(L);
        for (size_t i = 0; i < a.list.size(); ++i) {
          VmPushString(L, a.list[i]);
          VmRawSetI(L, -2, static_cast<int>(i));
        }
      } else if (a.text) {
        VmPushString(L, a.text);
      } else {
        VmPushNumber(L, a.number);
      }
    }
    out.clear();
    return testcall::CallCollecting(L, name, static_cast<int>(args.size()), collect);
  }
  static void collect(VmState* L, int i) {
    if (VmType(L, i) == VM_TYPE_TABLE) {
      std::string joined;
      for (int k = 0;; ++k) {
        VmRawGetI(L, i, k);
        bool end = VmType(L, -1) == VM_TYPE_NIL;
        if (!end) {
          if (k) joined += ',';
          joined += VmToString(L, -1);
        }
        VmSetTop(L, -2);
        if (end) break;
      }
      out.push_back("{" + joined + "}");
    } else if (VmType(L, i) == VM_TYPE_STRING) {
      out.push_back(VmToString(L, i));
    } else {
      out.push_back(std::to_string(static_cast<int64_t>(VmToNumber(L, i))));
    }
  }

  static inline std::vector<std::string> out;
  void (*script)(int32_t, int32_t, const char*, const char*, size_t, int32_t) = nullptr;
  void (*messageError)(int32_t) = nullptr;
};

TEST_F(SysRequestTest, AnswersCancelsAndRefusals) {
  // The button chosen, also when the user cancelled.
  script(2, 1, "", "", 0, 0);
  ASSERT_EQ(Request("SystemRequest", {"T", "Body", "A|B|C"}), ERR_NONE);
  EXPECT_EQ(out, std::vector<std::string>{"2"});
  messageError(ERR_USERABORT);
  script(0, 1, "", "", 0, 0);
  ASSERT_EQ(Request("SystemRequest", {"T", "Body", "A|B"}), ERR_NONE);
  EXPECT_EQ(out, std::vector<std::string>{"0"});
  messageError(0);

  static const char TWO[] = "a.png\0b.png";
  struct Case {
    const char* name;
    int32_t chosen;  // 0: the requester is cancelled
    const char* command;
    std::vector<Arg> args;
    ErrorCode error;
    std::vector<std::string> results;
  };
  const Case cases[] = {
      {"list", 1, "ListRequest", {"T", "Pick", Arg::List({"a", "b", "c"}), 1}, ERR_NONE, {"2"}},
      {"list without entries", 1, "ListRequest", {"T", "Pick", Arg::List({})}, ERR_WRONGUSAGE, {}},
      {"selection 5 of 3",
       1,
       "ListRequest",
       {"T", "Pick", Arg::List({"a", "b", "c"}), 5},
       ERR_WRONGUSAGE,
       {}},
      {"selection -2", 1, "ListRequest", {"T", "Pick", Arg::List({"a"}), -2}, ERR_WRONGUSAGE, {}},
      {"file", 1, "FileRequest", {"T"}, ERR_NONE, {"/data/a.png"}},
      {"file cancelled", 0, "FileRequest", {"T"}, ERR_NONE, {""}},
      {"multiselect", 1, "FileRequest", {"T", "", 1}, ERR_NONE, {"{/data/a.png,/data/b.png}"}},
      {"multiselect cancelled", 0, "FileRequest", {"T", "", 1}, ERR_NONE, {"{}"}},
      {"file mode 3", 1, "FileRequest", {"T", "", 3}, ERR_WRONGUSAGE, {}},
      {"string", 1, "StringRequest", {"T", "Name"}, ERR_NONE, {"a.png", "1"}},
      {"string cancelled", 0, "StringRequest", {"T", "Name"}, ERR_NONE, {"", "0"}},
      {"string type 1", 1, "StringRequest", {"T", "Name", "", 1}, ERR_WRONGUSAGE, {}},
      {"negative maximum", 1, "StringRequest", {"T", "Name", "", 0, -1}, ERR_WRONGUSAGE, {}},
      {"type 3, 12a", 1, "StringRequest", {"T", "Name", "12a", 3}, ERR_WRONGUSAGE, {}},
  };
  for (const Case& c : cases) {
    script(1, c.chosen, "/data", TWO, sizeof TWO, 2);
    EXPECT_EQ(Request(c.command, c.args), c.error) << c.name;
    if (c.error == ERR_NONE) {
      EXPECT_EQ(out, c.results) << c.name;
    }
  }
}

TEST_F(SysRequestTest, FontRequestGivesItsTenFields) {
  char input[] = "Sans\n14\n";
  FILE* in = fmemopen(input, sizeof input - 1, "r");
  FILE* sink = fopen("/dev/null", "w");
  ASSERT_TRUE(in && sink);
  SetRequesterConsole(in, sink);
  VmSetTop(L, 0);
  VmPushString(L, "T");
  VmPushString(L, "Sans");
  VmPushNumber(L, 12);
  static std::map<std::string, std::string> fields;
  fields.clear();
  ASSERT_EQ(testcall::CallCollecting(L, "FontRequest", 3,
                                     [](VmState* L, int i) {
                                       if (VmType(L, i) != VM_TYPE_TABLE) return;
                                       VmPushNil(L);
                                       while (VmNext(L, i)) {
                                         fields[VmToString(L, -2)] =
                                             VmType(L, -1) == VM_TYPE_STRING
                                                 ? VmToString(L, -1)
                                                 : std::to_string(VmToNumber(L, -1));
                                         VmSetTop(L, -2);
                                       }
                                     }),
            ERR_NONE);
  SetRequesterConsole(nullptr, nullptr);
  fclose(in);
  fclose(sink);
  EXPECT_EQ(fields.size(), 10u);
  for (const char* key : {"name", "size", "family", "weight", "slant", "bold", "italic",
                          "underline", "strikeout", "color"})
    EXPECT_EQ(fields.count(key), 1u) << key;
  EXPECT_EQ(fields["name"], "Sans");
  EXPECT_EQ(fields["size"], std::to_string(14.0));
}

}  // namespace
