// Call tests: the command calling convention (result counts, error codes,
// CALLCATCH capture), the error policy (ExitOnError off, the RaiseOnError
// handler, the quit flag), label subroutines and the gosub stack, depth
// limits, hooks, and the names of called functions.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "tests/engine/interp_fixture.h"
#include "engine/engine_private.h"

namespace {

int pushThreeReturnTwo(VmState* L) {
  VmPushNumber(L, 1);
  VmPushNumber(L, 2);
  VmPushNumber(L, 3);
  return 2;
}

int oneValue(VmState* L) {
  VmPushNumber(L, 77);
  return 1;
}

int failing(VmState* L) {
  VmPushNumber(L, 5);  // pushed before failing: never a result
  return ERR_WRONGUSAGE;
}

// Commands that fail inside C++ allocation: what they own must be freed
// by the unwind (ASan checks), what they pushed is never a result.
int outOfMemory(VmState* L) {
  std::vector<int> owned(64, 1);
  VmPushNumber(L, owned[0]);
  throw std::bad_alloc();
}

int tooLong(VmState* L) {
  std::string owned = "kept";
  VmPushString(L, owned.c_str());
  owned.reserve(owned.max_size() + 1);  // throws std::length_error
  return 0;
}

int claimsTooMany(VmState* L) {
  VmPushNumber(L, 8);
  return 5;  // only one value is on its frame
}

// A label subroutine at instruction index `labelTarget`: returns -1 (or -2
// when the global "again" mode is set through the upvalue).
int labelTarget = 0;
int labelMode = -1;
int gosubCommand(VmState* L) {
  VmSetJumpDistance(labelTarget - VmGetCallPosition());
  return labelMode;
}

// Calls itself through the global "deep" until the engine refuses.
int deepest = 0;
int deepCommand(VmState* L) {
  deepest++;
  VmPushString(L, "deep");
  VmGetTable(L, VM_GLOBALS_INDEX);
  return VmCall(L, 0, 0);
}

int quitCommand(VmState* L) {
  vmRun.quit = 1;
  return 0;
}

std::vector<std::string> seenNames;
int nameCommand(VmState* L) {
  VmDebugInfo ar;
  if (VmGetStack(L, 0, &ar)) {
    VmGetInfo(L, "n", &ar);
    seenNames.push_back(std::string(ar.namewhat) + ":" + (ar.name ? ar.name : "?"));
  }
  return 0;
}

class Calls : public InterpFixture {
 protected:
  // Runs code and returns its results as numbers (nil as -1).
  std::vector<double> results(const std::string& code, ErrorCode* status) {
    int base = VmGetTop(L);
    *status = run(code);
    std::vector<double> out;
    if (*status == 0) {
      for (int i = base + 1; i <= VmGetTop(L); i++)
        out.push_back(VmType(L, i) == VM_TYPE_NIL ? -1 : VmToNumber(L, i));
    }
    VmSetTop(L, base);
    return out;
  }
};

TEST_F(Calls, CommandResults) {
  setGlobalFunction("three", pushThreeReturnTwo);
  setGlobalFunction("one", oneValue);
  setGlobalFunction("fail", failing);
  setGlobalFunction("toomany", claimsTooMany);
  setGlobalFunction("oom", outOfMemory);
  setGlobalFunction("toolong", tooLong);
  struct Case {
    const char* name;
    const char* code;
    ErrorCode status;
    std::vector<double> values;
  };
  const Case cases[] = {
      {"top two of three", "GETGLOBAL 0, \"three\"\nCALL 0, 1, 0\nRETURN 0, 0", 0, {2, 3}},
      {"count capped by the frame", "GETGLOBAL 0, \"toomany\"\nCALL 0, 1, 0\nRETURN 0, 0", 0, {8}},
      {"catch one value", "GETGLOBAL 0, \"one\"\nCALLCATCH 0, 1, 0\nRETURN 0, 0", 0, {0, 77}},
      {"catch a failure",
       "GETGLOBAL 0, \"fail\"\nCALLCATCH 0, 1, 0\nRETURN 0, 0",
       0,
       {ERR_WRONGUSAGE}},
      {"catch in a tail call",
       "GETGLOBAL 0, \"fail\"\nTAILCALLCATCH 0, 1, 0\nRETURN 0, 0",
       0,
       {ERR_WRONGUSAGE}},
      {"catch does not cover script errors",
       ".function f\nLOADNUM 0, 1\nGETTABLE 0, 0, \"x\"\nRETURN 0, 1\n.end\n"
       "CLOSURE 0, f\nCALLCATCH 0, 1, 0\nRETURN 0, 0",
       ERR_TABLEDECLA,
       {}},
      {"failure raises", "GETGLOBAL 0, \"fail\"\nCALL 0, 1, 2\nRETURN 0, 2", ERR_WRONGUSAGE, {}},
      {"out of memory raises 1000", "GETGLOBAL 0, \"oom\"\nCALL 0, 1, 2\nRETURN 0, 2", ERR_MEM, {}},
      {"catch out of memory", "GETGLOBAL 0, \"oom\"\nCALLCATCH 0, 1, 0\nRETURN 0, 0", 0, {ERR_MEM}},
      {"too long is out of memory",
       "GETGLOBAL 0, \"toolong\"\nCALLCATCH 0, 1, 0\nRETURN 0, 0",
       0,
       {ERR_MEM}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vmRun.quit = 0;
    ErrorCode status;
    std::vector<double> got = results(c.code, &status);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(got, c.values);
  }
}

TEST_F(Calls, ErrorPolicy) {
  setGlobalFunction("fail", failing);
  setGlobalFunction("one", oneValue);
  const char* code =
      "GETGLOBAL 0, \"one\"\nCALL 0, 1, 1\nGETGLOBAL 0, \"fail\"\nCALL 0, 1, 2\n"
      "LOADNUM 1, 9\nRETURN 0, 3";

  // Raising: the failing command stops the run at top level and sets quit.
  ErrorCode status;
  EXPECT_TRUE(results(code, &status).empty());
  EXPECT_EQ(status, ERR_WRONGUSAGE);
  EXPECT_EQ(vmRun.lastError, ERR_WRONGUSAGE);
  EXPECT_EQ(vmRun.quit, 1);
  EXPECT_STREQ(vmErrorLocation.function, "fail");

  // ExitOnError off: recorded, no results, the script goes on.
  resetPolicy();
  setErrorRaising(0);
  EXPECT_EQ(results(code, &status), (std::vector<double>{-1, 9}));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(vmRun.lastError, ERR_WRONGUSAGE);
  EXPECT_EQ(vmRun.quit, 0);

  // A successful command clears the last error again.
  EXPECT_EQ(results("GETGLOBAL 0, \"one\"\nCALL 0, 1, 2\nRETURN 0, 2", &status),
            (std::vector<double>{77}));
  EXPECT_EQ(vmRun.lastError, 0);
}

std::vector<double> handlerArgs;
std::string handlerText;
int handler(VmState* L) {
  handlerArgs = {VmToNumber(L, 1), VmToNumber(L, 4), static_cast<double>(GetCallbackDepth())};
  handlerText = VmToString(L, 3);
  return 0;
}

TEST_F(Calls, RaiseOnErrorHandlerTakesTheError) {
  setGlobalFunction("fail", failing);
  VmPushCClosure(L, handler, 0);
  VmRawSetI(L, VM_REGISTRY_INDEX, 100);
  vmRun.handlerRef = 100;
  ErrorCode status;
  std::vector<double> got =
      results(".line 7\nGETGLOBAL 0, \"fail\"\nCALL 0, 1, 2\nLOADNUM 1, 9\nRETURN 0, 3", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(got, (std::vector<double>{-1, 9}));
  EXPECT_EQ(handlerArgs, (std::vector<double>{ERR_WRONGUSAGE, 7, 1}));
  EXPECT_EQ(handlerText, "fail");
  EXPECT_EQ(GetCallbackDepth(), 0);
  EXPECT_EQ(vmRun.handlerRunning, 0);
  EXPECT_STREQ(vmErrorLocation.function, "----");  // reset after the handler
}

TEST_F(Calls, LabelSubroutines) {
  setGlobalFunction("sub", gosubCommand);
  struct Case {
    const char* name;
    const char* code;
    int target;
    int mode;
    ErrorCode status;
    std::vector<double> values;
  };
  const Case cases[] = {
      // R0 counts: the subroutine at index 5 adds 10 and returns after the CALL.
      {"return after the call",
       "LOADNUM 0, 1\nGETGLOBAL 1, \"sub\"\nCALL 1, 1, 1\nADD 0, 0, #100\nRETURN 0, 2\n"
       "ADD 0, 0, #10\nRETURN 0, 1, 1",
       5,
       -1,
       0,
       {111}},
      // Enters itself without returning: the 4097th entry is refused.
      {"4096 nested entries",
       "GETGLOBAL 0, \"sub\"\nCALL 0, 1, 1\nRETURN 0, 1\n"
       "GETGLOBAL 0, \"sub\"\nCALL 0, 1, 1\nRETURN 0, 1, 1",
       3,
       -1,
       ERR_INTERNAL,
       {}},
      {"label outside the code",
       "GETGLOBAL 0, \"sub\"\nCALL 0, 1, 1\nRETURN 0, 1",
       40,
       -1,
       ERR_BADBYTECODE,
       {}},
      {"repeat before the first instruction",
       ".function f\n.params 1\nCALL 0, 1, 1\nRETURN 0, 1\n.end\n"
       "CLOSURE 0, f\nGETGLOBAL 1, \"sub\"\nCALL 0, 2, 1\nRETURN 0, 1",
       1,
       -2,
       ERR_BADBYTECODE,
       {}},
      {"return without gosub", "RETURN 0, 1, 1", 0, -1, ERR_RETWOGOSUB, {}},
      // A gosub return inside a called function may not use the caller's entry.
      {"return into another function",
       ".function f\nRETURN 0, 1, 1\n.end\n"
       "JUMP gosub lab\nRETURN 0, 1\nlab: CLOSURE 0, f\nCALL 0, 1, 1\nRETURN 0, 1, 1",
       0,
       -1,
       ERR_RETWOGOSUB,
       {}},
      {"jump gosub and back",
       "LOADNUM 0, 1\nJUMP gosub lab\nADD 0, 0, #100\nRETURN 0, 2\nlab: ADD 0, 0, #10\nRETURN 0, "
       "1, 1",
       0,
       -1,
       0,
       {111}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    labelTarget = c.target;
    labelMode = c.mode;
    ErrorCode status;
    EXPECT_EQ(results(c.code, &status), c.values);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(VmGetGosubDepth(), 0);  // entries die with their frame or the error
  }
}

// -2 repeats the instruction before the CALL and the CALL: the command
// counts its calls and stops repeating on the third.
int repeats = 0;
int repeatCommand(VmState* L) {
  if (++repeats >= 3) return 0;
  VmSetJumpDistance(labelTarget - VmGetCallPosition());
  return -2;
}

TEST_F(Calls, LabelRepeatsTheCall) {
  setGlobalFunction("again", repeatCommand);
  labelTarget = 4;
  repeats = 0;
  ErrorCode status;
  std::vector<double> got = results(
      "LOADNUM 0, 0\nGETGLOBAL 1, \"again\"\nCALL 1, 1, 1\nRETURN 0, 2\nADD 0, 0, #1\nRETURN 0, 1, "
      "1",
      &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(got, (std::vector<double>{2}));
  EXPECT_EQ(repeats, 3);
}

TEST_F(Calls, DepthLimits) {
  setGlobalFunction("deep", deepCommand);
  deepest = 0;
  ErrorCode status;
  results("GETGLOBAL 0, \"deep\"\nCALL 0, 1, 1\nRETURN 0, 1", &status);
  EXPECT_EQ(status, ERR_STACK);
  EXPECT_EQ(deepest, 199);  // the 200th nested built-in call is refused

  // Script recursion without end runs out of call records.
  results(
      ".function f\nGETGLOBAL 0, \"f\"\nCALL 0, 1, 1\nRETURN 0, 1\n.end\n"
      "CLOSURE 0, f\nSETGLOBAL 0, \"f\"\nCALL 0, 1, 1\nRETURN 0, 1",
      &status);
  EXPECT_EQ(status, ERR_STACK);
  // The state is usable afterwards.
  EXPECT_EQ(results("LOADNUM 0, 4\nRETURN 0, 2", &status), (std::vector<double>{4}));

  // A frame may grow to 2048 slots and no further.
  EXPECT_EQ(VmCheckStack(L, 2049), 0);
  EXPECT_EQ(VmCheckStack(L, 2048), 1);

  // The API's userdata form hands back the data block it pushed.
  auto* data = static_cast<char*>(VmNewUserdata(L, 16));
  ASSERT_NE(data, nullptr);
  data[15] = 'x';
  EXPECT_EQ(VmType(L, -1), VM_TYPE_USERDATA);
  EXPECT_EQ(VmToUserdata(L, -1), data);
}

TEST_F(Calls, QuitFlagStopsTheRun) {
  setGlobalFunction("quit", quitCommand);
  ErrorCode status;
  std::vector<double> got = results(
      ".function f\nGETGLOBAL 0, \"quit\"\nCALL 0, 1, 1\nLOADNUM 0, 5\nRETURN 0, 2\n.end\n"
      "CLOSURE 0, f\nCALL 0, 1, 2\nLOADNUM 1, 6\nRETURN 0, 3",
      &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(got, (std::vector<double>{}));
}

std::vector<int> hookLines;
int hookCounts = 0;
void lineHook(VmState* L, VmDebugInfo* ar, int* status, int line) {
  if (ar->event == VM_HOOK_LINE)
    hookLines.push_back(line);
  else if (ar->event == VM_HOOK_COUNT)
    hookCounts++;
}

void failingHook(VmState* L, VmDebugInfo* ar, int* status, int line) {
  if (line == 3) *status = ERR_USERABORT + 1;
}

TEST_F(Calls, Hooks) {
  const char* code =
      ".line 1\nLOADNUM 0, 0\n.line 2\nLOADNUM 1, 3\n"
      ".line 3\nloop: ADD 0, 0, #1\nLT 1, 0, 1\nJUMP loop\n.line 4\nRETURN 0, 2";
  ErrorCode status;
  hookLines.clear();
  VmSetHook(L, lineHook, VM_MASK_LINE, 0);
  EXPECT_EQ(results(code, &status), (std::vector<double>{3}));
  // Line 3 again at every backward jump.
  EXPECT_EQ(hookLines, (std::vector<int>{1, 2, 3, 3, 3, 4}));

  hookCounts = 0;
  VmSetHook(L, lineHook, VM_MASK_COUNT, 4);
  results(code, &status);
  EXPECT_EQ(hookCounts, 2);  // 9 instructions run

  VmSetHook(L, failingHook, VM_MASK_LINE, 0);
  results(code, &status);
  EXPECT_EQ(status, ERR_USERABORT + 1);
  VmSetHook(L, nullptr, 0, 0);
  EXPECT_EQ(VmGetHookMask(L), 0);
}

TEST_F(Calls, NamesOfCalledFunctions) {
  setGlobalFunction("who", nameCommand);
  seenNames.clear();
  ErrorCode status;
  results(
      ".local obj 0 99\n"
      "GETGLOBAL 1, \"who\"\nCALL 1, 1, 1\n"             // global
      "GETGLOBAL 1, \"who\"\nMOVE 2, 1\nCALL 2, 1, 1\n"  // global through a move
      "NEWTABLE 0, 0, 1\nGETGLOBAL 1, \"who\"\nSETTABLE 0, \"m\", 1\n"
      "SELF 1, 0, \"m\"\nCALL 1, 2, 1\n"                 // method
      "GETTABLE 1, 0, \"m\"\nCALL 1, 1, 1\n"             // field
      "GETTABLE 1, 0, \"m\"\nMOVE 0, 1\nCALL 0, 1, 1\n"  // local
      "RETURN 0, 1",
      &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(seenNames, (std::vector<std::string>{"global:who", "global:who", "method:m", "field:m",
                                                 "local:obj"}));
}

TEST_F(Calls, CallTrace) {
  setGlobalFunction("who", nameCommand);
  vmRun.debugOutput = 1;
  testing::internal::CaptureStdout();
  ErrorCode status;
  results(
      "GETGLOBAL 0, \"who\"\nLOADNIL 1, 1\nLOADCONST 2, #1.5\nLOADCONST 3, \"s\"\nCALL 0, 4, "
      "1\nRETURN 0, 1",
      &status);
  std::fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "Now calling who() with arguments #1=(NIL) #2=(NUMBER)1.5 #3=(STRING)\"s\" \n");
  vmRun.debugDisabled = 1;  // the start-up options win over DebugOutput
  testing::internal::CaptureStdout();
  results("GETGLOBAL 0, \"who\"\nCALL 0, 1, 1\nRETURN 0, 1", &status);
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// A command reads and writes local 1 of its caller (level 1).
int localCommand(VmState* L) {
  VmDebugInfo ar;
  if (!VmGetStack(L, 1, &ar)) return ERR_WRONGUSAGE;
  const char* name = VmGetLocal(L, &ar, 1);
  if (name == nullptr || std::string(name) != "x") return ERR_WRONGUSAGE;
  VmPushNumber(L, VmToNumber(L, -1) * 2);
  VmSetLocal(L, &ar, 1);
  VmPushNumber(L, 0);
  if (VmSetLocal(L, &ar, 2) != nullptr)  // "(for)" is an internal temporary
    return ERR_WRONGUSAGE;
  return 0;
}

TEST_F(Calls, LocalsOfCallers) {
  setGlobalFunction("dbl", localCommand);
  ErrorCode status;
  std::vector<double> got = results(
      ".local x 0 9\n.local (for) 0 9\nLOADNUM 0, 21\nLOADNUM 1, 5\n"
      "GETGLOBAL 2, \"dbl\"\nCALL 2, 1, 1\nRETURN 0, 3",
      &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(got, (std::vector<double>{42, 5}));
}

TEST_F(Calls, ErrorLocationOfScriptErrors) {
  std::vector<uint8_t> chunk;
  std::string error;
  ASSERT_TRUE(qmasm::AssembleChunk(
      ".source \"@app.qm\"\n.line 12\nLOADNUM 0, 1\nGETTABLE 0, 0, \"x\"\nRETURN 0, 1", &chunk,
      &error))
      << error;
  ASSERT_EQ(VmLoad(L, readAll, &chunk, "=x"), 0);
  EXPECT_EQ(VmPCall(L, 0, 0, 0), ERR_TABLEDECLA);
  EXPECT_STREQ(vmErrorLocation.file, "app.qm");
  EXPECT_EQ(vmErrorLocation.line, 12);
  EXPECT_STREQ(vmErrorLocation.function, "<<unnamed>>");
}

TEST_F(Calls, ShortSourceAndLevels) {
  struct Case {
    std::string source;  // as written in the assembly text
    std::string shortSrc;
  };
  const std::string longFile = "@" + std::string(60, 'd') + "/x.qm";
  const Case cases[] = {
      {"=stdin", "stdin"},
      {"@dir/file.qm", "dir/file.qm"},
      {longFile, "..." + longFile.substr(longFile.size() - 52)},
      {"line one\\nline two", "[string \"line one...\"]"},
      {std::string(50, 's'), "[string \"" + std::string(43, 's') + "...\"]"},
      {"short", "[string \"short\"]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::vector<uint8_t> chunk;
    std::string error;
    ASSERT_TRUE(qmasm::AssembleChunk(".source \"" + c.source + "\"\nRETURN 0, 1", &chunk, &error))
        << error;
    ASSERT_EQ(VmLoad(L, readAll, &chunk, "=x"), 0);
    VmDebugInfo ar;
    VmGetInfo(L, ">S", &ar);
    EXPECT_EQ(std::string(ar.short_src), c.shortSrc);
    EXPECT_STREQ(ar.what, "main");
  }
  VmPushNumber(L, 1);
  VmDebugInfo ar;
  EXPECT_EQ(VmPCall(L, 0, 0, 0), ERR_FUNCDECLA);  // calling a number is caught...
  EXPECT_EQ(VmGetStack(L, 0, &ar), 0);            // ...and at top level there is no level 0
}

}  // namespace
