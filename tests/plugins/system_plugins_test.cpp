// The system library's plug-in commands with the test library plug-in, and
// its requester commands answered by the "testrequester" plug-in.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "libs/libs.h"
#include "platform/linux/requester_private.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/command_call.h"

namespace {

void pushList(VmState* L, std::initializer_list<const char*> items) {
  VmNewTable(L);
  int i = 0;
  for (const char* item : items) {
    VmPushString(L, item);
    VmRawSetI(L, -2, i++);
  }
}

class SystemPluginTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    setenv("DISPLAY", ":9999", 1);  // no X server may be reached
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenSystemLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  void TearDown() override {
    SetRequesterConsole(nullptr, nullptr);
    PluginTest::TearDown();
    unsetenv("DISPLAY");
  }
  template <typename F>
  F Symbol(const char* module, const char* name) {
    return plugintest::ModuleSymbol<F>(root + "/Plugins/" + module + ".qmp", name);
  }
  // Calls a command by name with the pushed arguments; the results replace
  // them. The code it raised or returned.
  // Leaves the command's results on the stack.
  ErrorCode Call(const char* name, int nargs) {
    std::string lower(name);
    StrToLower(lower.data());
    return testcall::Call(L, lower.c_str(), nargs);
  }
};

TEST_F(SystemPluginTest, PluginCommands) {
  Install("testlib");
  static const char SKIP[] = "testlib\0";
  ASSERT_EQ(ScanAndRegister(SKIP), ERR_NONE);

  struct HaveCase {
    const char* name;
    double version, revision;
    double there, loaded;
  } before[] = {{"testlib", 0, 0, 1, 0}, {"TESTLIB.qmp", 0, 0, 1, 0}, {"other", 0, 0, 0, 0}};
  for (const HaveCase& c : before) {
    SCOPED_TRACE(c.name);
    VmSetTop(L, 0);
    VmPushString(L, c.name);
    ASSERT_EQ(Call("HavePlugin", 1), ERR_NONE);
    EXPECT_EQ(VmToNumber(L, 1), c.there);
    EXPECT_EQ(VmToNumber(L, 2), c.loaded);
  }
  VmSetTop(L, 0);
  VmPushString(L, "testlib");
  ASSERT_EQ(Call("LoadPlugin", 1), ERR_NONE);
  VmSetTop(L, 0);
  VmPushString(L, "testlib.qmp");
  EXPECT_EQ(Call("LoadPlugin", 1), ERR_PLUGINDOUBLET);
  char message[256];
  GetErrorText(ERR_PLUGINDOUBLET, message, sizeof message);
  EXPECT_NE(std::strstr(message, "testlib.qmp"), nullptr) << message;

  // Loaded now: version 1.9 is new enough for 1.9, not for 1.10 or 2.0.
  HaveCase after[] = {{"testlib", 1, 9, 1, 1}, {"testlib", 1, 10, 0, 0}, {"testlib", 2, 0, 0, 0}};
  for (const HaveCase& c : after) {
    SCOPED_TRACE(c.revision);
    VmSetTop(L, 0);
    VmPushString(L, c.name);
    VmPushNumber(L, c.version);
    VmPushNumber(L, c.revision);
    ASSERT_EQ(Call("HavePlugin", 3), ERR_NONE);
    EXPECT_EQ(VmToNumber(L, 1), c.there);
    EXPECT_EQ(VmToNumber(L, 2), c.loaded);
  }

  // Disabling shows in the information table; GetVersion lists the same.
  auto disabledFlag = [&](const char* command) {
    VmSetTop(L, 0);
    EXPECT_EQ(Call(command, 0), ERR_NONE);
    if (std::strcmp(command, "getversion") == 0) {
      VmPushString(L, "plugins");
      VmRawGet(L, 1);
    }
    VmRawGetI(L, -1, 0);
    int info = VmGetTop(L);
    VmPushString(L, "modulename");
    VmRawGet(L, info);
    EXPECT_STREQ(VmToString(L, -1), "TestLib");
    VmPushString(L, "name");
    VmRawGet(L, info);
    EXPECT_STREQ(VmToString(L, -1), "Test library");
    VmPushString(L, "disabled");
    VmRawGet(L, info);
    double flag = VmToNumber(L, -1);
    VmRawGetI(L, info - 1, 1);
    EXPECT_EQ(VmType(L, -1), VM_TYPE_NIL) << "one plug-in";
    return flag;
  };
  EXPECT_EQ(disabledFlag("getplugins"), 0);
  VmSetTop(L, 0);
  VmPushString(L, "TestLib.qmp");
  ASSERT_EQ(Call("DisablePlugin", 1), ERR_NONE);
  EXPECT_EQ(disabledFlag("getplugins"), 1);
  EXPECT_EQ(disabledFlag("getversion"), 1);
  VmSetTop(L, 0);
  VmPushString(L, "testlib");
  ASSERT_EQ(Call("EnablePlugin", 1), ERR_NONE);
  EXPECT_EQ(disabledFlag("getplugins"), 0);
  VmSetTop(L, 0);
  VmPushString(L, "missing");
  EXPECT_EQ(Call("EnablePlugin", 1), ERR_FINDPLUGIN);
}

TEST_F(SystemPluginTest, RequesterCommands) {
  Install("testrequester");
  ASSERT_EQ(ScanAndRegister(), ERR_NONE);
  auto script = Symbol<void (*)(int32_t, int32_t, const char*, const char*, size_t, int32_t)>(
      "testrequester", "TestRequesterScript");
  ASSERT_NE(script, nullptr);

  script(2, 1, "", "", 0, 0);
  VmPushString(L, "T");
  VmPushString(L, "Body");
  VmPushString(L, "A|B|C");
  ASSERT_EQ(Call("SystemRequest", 3), ERR_NONE);
  EXPECT_EQ(VmToNumber(L, 1), 2);

  // Argument checks: (command, arguments) and the code.
  struct Case {
    const char* name;
    const char* command;
    void (*push)(VmState* L);
    ErrorCode code;
  } cases[] = {
      {"list without entries", "ListRequest",
       [](VmState* L) {
         VmPushString(L, "T");
         VmPushString(L, "B");
         pushList(L, {});
       },
       ERR_WRONGUSAGE},
      {"selection 5 of 3", "ListRequest",
       [](VmState* L) {
         VmPushString(L, "T");
         VmPushString(L, "B");
         pushList(L, {"a", "b", "c"});
         VmPushNumber(L, 5);
       },
       ERR_WRONGUSAGE},
      {"file mode 3", "FileRequest",
       [](VmState* L) {
         VmPushString(L, "T");
         VmPushString(L, "*");
         VmPushNumber(L, 3);
       },
       ERR_WRONGUSAGE},
      {"string type 1", "StringRequest",
       [](VmState* L) {
         VmPushString(L, "T");
         VmPushString(L, "B");
         VmPushString(L, "");
         VmPushNumber(L, 1);
       },
       ERR_WRONGUSAGE},
      {"negative maximum", "StringRequest",
       [](VmState* L) {
         VmPushString(L, "T");
         VmPushString(L, "B");
         VmPushString(L, "");
         VmPushNumber(L, 0);
         VmPushNumber(L, -1);
       },
       ERR_WRONGUSAGE},
      {"numbers only with 12a", "StringRequest",
       [](VmState* L) {
         VmPushString(L, "T");
         VmPushString(L, "B");
         VmPushString(L, "12a");
         VmPushNumber(L, 3);
       },
       ERR_WRONGUSAGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmSetTop(L, 0);
    c.push(L);
    EXPECT_EQ(Call(c.command, VmGetTop(L)), c.code);
  }

  VmSetTop(L, 0);
  VmPushString(L, "T");
  VmPushString(L, "B");
  pushList(L, {"a", "b", "c"});
  VmPushNumber(L, 1);
  ASSERT_EQ(Call("ListRequest", 4), ERR_NONE);
  EXPECT_EQ(VmToNumber(L, 1), 2) << "the adapter answers its start plus one";

  // Several files give full paths from index 0; a cancel an empty table.
  static const char TWO[] = "a.png\0b.png";
  for (int32_t chosen : {1, 0}) {
    SCOPED_TRACE(chosen);
    script(0, chosen, "/data", TWO, sizeof TWO, chosen ? 2 : 0);
    VmSetTop(L, 0);
    VmPushString(L, "T");
    VmPushString(L, "*.png");
    VmPushNumber(L, 1);
    ASSERT_EQ(Call("FileRequest", 3), ERR_NONE);
    ASSERT_EQ(VmType(L, 1), VM_TYPE_TABLE);
    VmRawGetI(L, 1, 0);
    VmRawGetI(L, 1, 1);
    VmRawGetI(L, 1, 2);
    if (chosen) {
      EXPECT_STREQ(VmToString(L, 2), "/data/a.png");
      EXPECT_STREQ(VmToString(L, 3), "/data/b.png");
    } else {
      EXPECT_EQ(VmType(L, 2), VM_TYPE_NIL);
    }
    EXPECT_EQ(VmType(L, 4), VM_TYPE_NIL);
  }
  script(0, 1, "/data", "one.txt", 7, 1);
  VmSetTop(L, 0);
  VmPushString(L, "T");
  ASSERT_EQ(Call("FileRequest", 1), ERR_NONE);
  EXPECT_STREQ(VmToString(L, 1), "/data/one.txt");

  // The font requester (on the console here; end of input cancels) gives
  // its ten fields.
  FILE* input = std::tmpfile();
  FILE* output = std::tmpfile();
  ASSERT_TRUE(input && output);
  SetRequesterConsole(input, output);
  VmSetTop(L, 0);
  VmPushString(L, "T");
  ASSERT_EQ(Call("FontRequest", 1), ERR_NONE);
  std::set<std::string> keys;
  VmPushNil(L);
  while (VmNext(L, 1)) {
    keys.insert(VmToString(L, -2));
    VmSetTop(L, -2);
  }
  EXPECT_EQ(keys, (std::set<std::string>{"name", "size", "family", "weight", "slant", "bold",
                                         "italic", "underline", "strikeout", "color"}));
  SetRequesterConsole(nullptr, nullptr);
  std::fclose(input);
  std::fclose(output);
}

}  // namespace
