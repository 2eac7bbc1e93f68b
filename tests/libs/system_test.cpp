// The system library's console, error-policy, type and VM commands, run as
// compiled programs in an in-process player or called by name.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "engine/engine_private.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

class SystemTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;

  void global(const char* name) {
    VmPushString(L, name);
    VmGetTable(L, VM_GLOBALS_INDEX);
  }
};

TEST_F(SystemTest, ConsoleOutput) {
  struct Case {
    const char* name;
    const char* program;
    const char* expect;
  } cases[] = {
      {"values joined by blanks, nil empty",
       "GETGLOBAL 0, \"consoleprint\"\nLOADCONST 1, \"a\"\nLOADNUM 2, 1\nLOADNIL 3, 3\nCALL 0, 4, "
       "1\nRETURN 0, 1",
       "a 1 \n"},
      {"percent signs print once",
       "GETGLOBAL 0, \"consoleprint\"\nLOADCONST 1, \"100%\"\nLOADCONST 2, \"%s%d%n\"\nCALL 0, 3, "
       "1\nRETURN 0, 1",
       "100% %s%d%n\n"},
      {"no line feed",
       "GETGLOBAL 0, \"consoleprintnr\"\nLOADCONST 1, \"x\"\nLOADCONST 2, #2.5\nCALL 0, 3, "
       "1\nRETURN 0, 1",
       "x 2.5"},
      {"no values", "GETGLOBAL 0, \"debugprint\"\nCALL 0, 1, 1\nRETURN 0, 1", "\n"},
      {"zero bytes kept",
       "GETGLOBAL 0, \"consoleprintnr\"\nLOADCONST 1, \"a\\0b\"\nCALL 0, 2, 1\nRETURN 0, 1",
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    EXPECT_EQ(p.RunCapture(c.program, &out), 0);
    if (c.expect != nullptr)
      EXPECT_EQ(out, c.expect);
    else
      EXPECT_EQ(out, std::string("a\0b", 3));
  }
  // In 8-bit mode the Latin-1 texts reach the terminal as UTF-8.
  int32_t savedMode = unicodeUtf8Mode;
  unicodeUtf8Mode = 0;
  std::string latin;
  EXPECT_EQ(
      p.RunCapture(
          "GETGLOBAL 0, \"consoleprint\"\nLOADCONST 1, \"caf\\xE9\"\nCALL 0, 2, 1\nRETURN 0, 1",
          &latin),
      0);
  unicodeUtf8Mode = savedMode;
  EXPECT_EQ(latin, "caf\xC3\xA9\n");
  // Debug output disabled for the run prints nothing.
  vmRun.debugDisabled = 1;
  std::string out;
  EXPECT_EQ(
      p.RunCapture(
          "GETGLOBAL 0, \"debugprint\"\nLOADCONST 1, \"hidden\"\nCALL 0, 2, 1\nRETURN 0, 1", &out),
      0);
  EXPECT_EQ(out, "");
}

TEST_F(SystemTest, ConsolePrintUsesTheScriptsToString) {
  // A replaced global "tostring" decides the texts.
  EXPECT_EQ(p.Run(".function t\n.params 1\nLOADCONST 0, \"<v>\"\nRETURN 0, 2\n.end\n"
                  "CLOSURE 0, t\nSETGLOBAL 0, \"tostring\"\nRETURN 0, 1"),
            0);
  std::string out;
  EXPECT_EQ(
      p.RunCapture(
          "GETGLOBAL 0, \"consoleprint\"\nLOADNUM 1, 1\nLOADNUM 2, 2\nCALL 0, 3, 1\nRETURN 0, 1",
          &out),
      0);
  EXPECT_EQ(out, "<v> <v>\n");
}

TEST_F(SystemTest, ToStringOfEachType) {
  struct Case {
    const char* name;
    void (*push)(VmState* L);
    const char* expect;  // prefix
  } cases[] = {
      {"nil", [](VmState* L) { VmPushNil(L); }, ""},
      {"true", [](VmState* L) { VmPushBoolean(L, 1); }, "true"},
      {"false", [](VmState* L) { VmPushBoolean(L, 0); }, "false"},
      {"number", [](VmState* L) { VmPushNumber(L, 0.1); }, "0.1"},
      {"table", [](VmState* L) { VmNewTable(L); }, "Table: "},
      {"function",
       [](VmState* L) {
         VmPushString(L, "tostring");
         VmGetTable(L, VM_GLOBALS_INDEX);
       },
       "Function: "},
      {"light userdata", [](VmState* L) { VmPushLightUserdata(L, L); }, "UserData: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmSetTop(L, 0);
    c.push(L);
    ASSERT_EQ(p.Call("tostring", 1), 0);
    std::string got = VmToString(L, -1);
    if (std::strlen(c.expect) == 0 || std::strchr(c.expect, ':') == nullptr)
      EXPECT_EQ(got, c.expect);
    else
      EXPECT_EQ(got.rfind(c.expect, 0), 0u) << got;
  }
}

TEST_F(SystemTest, ErrorTextBecomesTheMessage) {
  EXPECT_EQ(p.Run("GETGLOBAL 0, \"error\"\nLOADCONST 1, \"boom 100%\"\nCALL 0, 2, 1\nRETURN 0, 1"),
            ERR_ERRORCALLED);
  char text[256];
  GetErrorText(ERR_ERRORCALLED, text, sizeof text);
  EXPECT_STREQ(text, "boom 100%");
  VmSetTop(L, 0);
  ASSERT_EQ(p.Call("GetLastError", 0), 0);
  EXPECT_EQ(VmToNumber(L, -1), ERR_ERRORCALLED);
  // Any other command clears it.
  VmSetTop(L, 0);
  ASSERT_EQ(p.Call("IsUnicode", 0), 0);
  ASSERT_EQ(p.Call("GetLastError", 0), 0);
  EXPECT_EQ(VmToNumber(L, -1), 0);
}

const char* handlerProgram =
    ".function h\n.params 4\nSETGLOBAL 0, \"hcode\"\nSETGLOBAL 1, \"htext\"\nSETGLOBAL 2, "
    "\"hcmd\"\n"
    "SETGLOBAL 3, \"hline\"\nRETURN 0, 1\n.end\n"
    ".line 2\nGETGLOBAL 0, \"raiseonerror\"\nCLOSURE 1, h\nCALL 0, 2, 1\n"
    ".line 5\nGETGLOBAL 0, \"error\"\nLOADCONST 1, \"boom\"\nCALL 0, 2, 1\n"
    ".line 6\nLOADNUM 0, 7\nSETGLOBAL 0, \"after\"\nRETURN 0, 1";

TEST_F(SystemTest, RaiseOnErrorHandlerGetsCodeTextCommandAndLine) {
  ASSERT_EQ(p.Run(handlerProgram), 0);
  global("hcode");
  global("htext");
  global("hcmd");
  global("hline");
  global("after");
  EXPECT_EQ(VmToNumber(L, 1), ERR_ERRORCALLED);
  EXPECT_STREQ(VmToString(L, 2), "boom");
  EXPECT_STREQ(VmToString(L, 3), "Error") << "the name as the command table spells it";
  EXPECT_EQ(VmToNumber(L, 4), 5);
  EXPECT_EQ(VmToNumber(L, 5), 7);

  // RaiseOnError(Nil) removes the handler: the error is raised again.
  VmSetTop(L, 0);
  EXPECT_EQ(p.Run("GETGLOBAL 0, \"raiseonerror\"\nLOADNIL 1, 1\nCALL 0, 2, 1\n"
                  "GETGLOBAL 0, \"error\"\nLOADCONST 1, \"x\"\nCALL 0, 2, 1\nRETURN 0, 1"),
            ERR_ERRORCALLED);
}

TEST_F(SystemTest, ExitOnErrorOffLetsTheScriptContinue) {
  ASSERT_EQ(p.Run("GETGLOBAL 0, \"exitonerror\"\nLOADNUM 1, 0\nCALL 0, 2, 1\n"
                  "LOADNUM 0, 5\nGETGLOBAL 0, \"getconstant\"\nLOADCONST 1, "
                  "\"nosuchconstant\"\nCALL 0, 2, 2\n"
                  "SETGLOBAL 0, \"got\"\nGETGLOBAL 0, \"getlasterror\"\nCALL 0, 1, 2\nSETGLOBAL 0, "
                  "\"last\"\n"
                  "RETURN 0, 1"),
            0);
  global("got");
  global("last");
  EXPECT_EQ(VmType(L, 1), VM_TYPE_NIL);
  EXPECT_EQ(VmToNumber(L, 2), ERR_FINDCST);
  EXPECT_EQ(GetErrorRaising(), 0);
}

TEST_F(SystemTest, EndStoresTheExitValue) {
  struct Case {
    const char* name;
    const char* args;
    int nargs;
    int32_t value;
  } cases[] = {{"End(3)", "LOADNUM 1, 3\n", 2, 3}, {"End()", "", 1, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlayerHarness run;
    vmExitValue = 99;
    std::string program = std::string("GETGLOBAL 0, \"end\"\n") + c.args + "CALL 0, " +
                          std::to_string(c.nargs) +
                          ", 1\nLOADNUM 0, 1\nSETGLOBAL 0, \"after\"\nRETURN 0, 1";
    EXPECT_EQ(run.Run(program), ERR_USERABORT);
    EXPECT_EQ(vmExitValue, c.value);
    VmPushString(run.L, "after");
    VmGetTable(run.L, VM_GLOBALS_INDEX);
    EXPECT_EQ(VmType(run.L, -1), VM_TYPE_NIL) << "nothing runs after End";
  }
}

TEST_F(SystemTest, IIfAndTypes) {
  struct Case {
    const char* name;
    void (*push)(VmState* L);
    ErrorCode code;
    const char* pick;
  } iif[] = {
      {"empty string", [](VmState* L) { VmPushString(L, ""); }, 0, "b"},
      {"0.5", [](VmState* L) { VmPushNumber(L, 0.5); }, 0, "a"},
      {"zero", [](VmState* L) { VmPushNumber(L, 0); }, 0, "b"},
      {"text", [](VmState* L) { VmPushString(L, "0"); }, 0, "a"},
      {"nil", [](VmState* L) { VmPushNil(L); }, 0, "b"},
      {"table", [](VmState* L) { VmNewTable(L); }, ERR_WRONGDTYPE, nullptr},
  };
  for (const Case& c : iif) {
    SCOPED_TRACE(c.name);
    VmSetTop(L, 0);
    c.push(L);
    VmPushString(L, "a");
    VmPushString(L, "b");
    ASSERT_EQ(p.Call("iif", 3), c.code);
    if (c.pick != nullptr) {
      EXPECT_STREQ(VmToString(L, -1), c.pick);
    }
  }

  struct TypeCase {
    const char* name;
    void (*push)(VmState* L);
    int code;
  } types[] = {
      {"boolean", [](VmState* L) { VmPushBoolean(L, 1); }, -1},
      {"nil", [](VmState* L) { VmPushNil(L); }, 0},
      {"number", [](VmState* L) { VmPushNumber(L, 1); }, 2},
      {"string", [](VmState* L) { VmPushString(L, "s"); }, 3},
      {"table", [](VmState* L) { VmNewTable(L); }, 4},
      {"function",
       [](VmState* L) {
         VmPushString(L, "gettype");
         VmGetTable(L, VM_GLOBALS_INDEX);
       },
       5},
      {"userdata", [](VmState* L) { VmNewUserdata(L, 4); }, 8},
      {"light userdata", [](VmState* L) { VmPushLightUserdata(L, L); }, 9},
      {"thread", [](VmState* L) { VmPushNewThread(L); }, 10},
  };
  for (const TypeCase& c : types) {
    SCOPED_TRACE(c.name);
    VmSetTop(L, 0);
    c.push(L);
    VmPushValue(L, 1);
    ASSERT_EQ(p.Call("GetType", 1), 0);
    EXPECT_EQ(VmToNumber(L, -1), c.code);
    VmPushValue(L, 1);
    ASSERT_EQ(p.Call("IsNil", 1), 0);
    EXPECT_EQ(VmToNumber(L, -1), c.code == 0 ? 1 : 0);
  }
  VmSetTop(L, 0);
  EXPECT_EQ(p.Call("GetType", 0), ERR_MISSINGPARAMTR);
}

TEST_F(SystemTest, AssertAndErrorNames) {
  struct Case {
    const char* name;
    void (*push)(VmState* L);
    int disabled;
    ErrorCode code;
  } cases[] = {
      {"zero fails", [](VmState* L) { VmPushNumber(L, 0); }, 0, ERR_ASSERTFAILED},
      {"nil fails", [](VmState* L) { VmPushNil(L); }, 0, ERR_ASSERTFAILED},
      {"value passes", [](VmState* L) { VmPushNumber(L, 5); }, 0, 0},
      {"unchecked when debug is off", [](VmState* L) { VmPushNumber(L, 0); }, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vmRun.debugDisabled = c.disabled;
    VmSetTop(L, 0);
    c.push(L);
    EXPECT_EQ(p.Call("Assert", 1), c.code);
  }
  vmRun.debugDisabled = 0;
  VmSetTop(L, 0);
  SetErrorArgNumber(4);
  VmPushNumber(L, ERR_NUMEXPECTED);
  ASSERT_EQ(p.Call("GetErrorName", 1), 0);
  EXPECT_STREQ(VmToString(L, -1), "Number expected in argument 4!");
}

TEST_F(SystemTest, ConstantsAndMetatables) {
  struct Case {
    const char* name;
    double value;
  } constants[] = {
      {"err_mem", 1000}, {"ERR_NONE", 0}, {"Qm_Version", 8}, {"ERR_NUMBEREXPECTED", 1629}};
  for (const Case& c : constants) {
    VmSetTop(L, 0);
    VmPushString(L, c.name);
    ASSERT_EQ(p.Call("GetConstant", 1), 0) << c.name;
    EXPECT_EQ(VmToNumber(L, -1), c.value) << c.name;
  }
  VmSetTop(L, 0);
  VmPushString(L, "NOPE");
  EXPECT_EQ(p.Call("GetConstant", 1), ERR_FINDCST);

  VmSetTop(L, 0);
  VmNewTable(L);  // 1: the table
  VmNewTable(L);  // 2: its metatable, protected
  VmPushString(L, "__metatable");
  VmPushString(L, "locked");
  VmRawSet(L, 2);
  VmPushValue(L, 1);
  VmPushValue(L, 2);
  ASSERT_EQ(p.Call("SetMetaTable", 2), 0);
  EXPECT_TRUE(VmRawEqual(L, 1, -1));
  VmPushValue(L, 1);
  ASSERT_EQ(p.Call("GetMetaTable", 1), 0);
  EXPECT_STREQ(VmToString(L, -1), "locked");
  VmPushValue(L, 1);
  VmPushNil(L);
  EXPECT_EQ(p.Call("SetMetaTable", 2), ERR_PROTMETATABLE);
  VmNewTable(L);
  VmPushNumber(L, 5);
  EXPECT_EQ(p.Call("SetMetaTable", 2), ERR_TABLEORNIL);

  VmSetTop(L, 0);
  VmNewTable(L);
  VmPushValue(L, 1);
  VmPushString(L, "k");
  VmPushNumber(L, 3);
  ASSERT_EQ(p.Call("RawSet", 3), 0);
  VmPushValue(L, 1);
  VmPushString(L, "k");
  ASSERT_EQ(p.Call("RawGet", 2), 0);
  EXPECT_EQ(VmToNumber(L, -1), 3);
  VmPushValue(L, 1);
  VmPushValue(L, 1);
  ASSERT_EQ(p.Call("RawEqual", 2), 0);
  EXPECT_EQ(VmToNumber(L, -1), 1);
}

TEST_F(SystemTest, RunSwitchesAndCollector) {
  VmSetTop(L, 0);
  VmPushBoolean(L, 1);
  ASSERT_EQ(p.Call("DebugOutput", 1), 0);
  EXPECT_EQ(vmRun.debugOutput, 1);
  VmPushNumber(L, 0);
  ASSERT_EQ(p.Call("DebugOutput", 1), 0);
  EXPECT_EQ(vmRun.debugOutput, 0);
  ASSERT_EQ(p.Call("DisableLineHook", 0), 0);
  EXPECT_EQ(vmLineHookDisabled, 1);
  ASSERT_EQ(p.Call("EnableLineHook", 0), 0);
  EXPECT_EQ(vmLineHookDisabled, 0);
  VmSetTop(L, 0);
  ASSERT_EQ(p.Call("CollectGarbage", 0), 0);
  ASSERT_EQ(p.Call("GCInfo", 0), 0);
  ASSERT_EQ(VmGetTop(L), 2);
  EXPECT_GT(VmToNumber(L, 1), 0);
  EXPECT_GT(VmToNumber(L, 2), 0);
}

TEST_F(SystemTest, ConsolePromptReadsOneLine) {
  struct Case {
    const char* name;
    int utf8;
    const char* input;
    const char* expect;
  } cases[] = {
      {"line end removed", 1, "hello\r\n", "hello"},
      {"end of input", 1, "", ""},
      {"8-bit mode converts", 0, "caf\xC3\xA9\n", "caf\xE9"},
  };
  int saved = dup(0);
  int32_t savedMode = unicodeUtf8Mode;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], c.input, std::strlen(c.input)),
              static_cast<ssize_t>(std::strlen(c.input)));
    close(fds[1]);
    dup2(fds[0], 0);
    close(fds[0]);
    std::clearerr(stdin);
    unicodeUtf8Mode = c.utf8;
    VmSetTop(L, 0);
    VmPushString(L, "");
    ASSERT_EQ(p.Call("ConsolePrompt", 1), 0);
    EXPECT_STREQ(VmToString(L, -1), c.expect);
  }
  unicodeUtf8Mode = savedMode;
  dup2(saved, 0);
  close(saved);
  std::clearerr(stdin);
}

}  // namespace
