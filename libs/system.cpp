// The "system" library: console and debug output, the end of the run, the
// error policy commands, type tests and VM housekeeping, and the library's
// opener with its command and constant tables.
//
// Invariant: no text that a script supplies is ever used as a printf
// format; output goes through "%s", so every byte of a value is printed as
// it is. The command table is in name order of its groups; a new command is
// one more row.
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "plugins/qmplugin.h"
#include "runtime/runtime.h"

namespace {

// Longest line ConsolePrompt reads, in bytes.
constexpr size_t PROMPT_LINE_MAX = 16384;

// System library type codes as GetType reports them.
constexpr int TYPE_BOOLEAN = -1;
constexpr int TYPE_NIL = 0;
constexpr int TYPE_NUMBER = 2;
constexpr int TYPE_STRING = 3;
constexpr int TYPE_TABLE = 4;
constexpr int TYPE_FUNCTION = 5;
constexpr int TYPE_USERDATA = 8;
constexpr int TYPE_LIGHTUSERDATA = 9;
constexpr int TYPE_THREAD = 10;

bool debugDisabled() { return vmRun.debugDisabled != 0; }

// A switch argument: a boolean, or a number that is non-zero.
bool checkFlag(VmState* L, int index) {
  if (VmType(L, index) == VM_TYPE_BOOLEAN) return VmToBoolean(L, index) != 0;
  return VmCheckNumber(L, index) != 0;
}

// Writes text that may hold zero bytes, piece by piece between them. The
// console gets Latin-1 texts as UTF-8 in 8-bit mode and follows the console
// flush switch; debug output goes through the debug printer, which does the
// same conversion.
void writeText(const char* s, size_t len, bool debug) {
  if (!debug) EndConsoleLine(stdout);
  for (size_t pos = 0; pos < len;) {
    const char* piece = s + pos;
    size_t n = std::strlen(piece);
    if (debug) {
      DebugPrintf("%s", piece);
    } else if (!unicodeUtf8Mode) {
      char* utf8 = Latin1ToUtf8Dup(piece);
      std::fputs(utf8 != nullptr ? utf8 : piece, stdout);
      FreeMemory(utf8);
    } else {
      std::fwrite(piece, 1, n, stdout);
    }
    pos += n + 1;
    if (pos <= len) std::fputc('\0', stdout);
  }
  if (!debug && GetConsoleFlush()) std::fflush(stdout);
}

// Joins the arguments, each turned into text by the script's "tostring",
// with single blanks, adds a line feed when asked and prints the line.
int printValues(VmState* L, bool newline, bool debug) {
  int n = VmGetTop(L);
  VmStringBuffer b;
  VmBufferInit(L, &b);
  for (int i = 1; i <= n; i++) {
    // The blank goes in before the value is pushed: the builder's
    // pieces must stay directly below the value it takes.
    if (i > 1) VmBufferAddString(&b, " ");
    VmPushString(L, "tostring");
    VmGetTable(L, VM_GLOBALS_INDEX);
    VmPushValue(L, i);
    ErrorCode err = VmCall(L, 1, 1);
    if (err != 0) return err;
    if (!VmIsString(L, -1)) return ERR_STRCALLBACK;
    VmBufferAddValue(&b);
  }
  if (newline) VmBufferAddString(&b, "\n");
  VmBufferPushResult(&b);
  writeText(VmToString(L, -1), VmStrLen(L, -1), debug);
  if (!newline) std::fflush(stdout);
  return 0;
}

// Prints the prompt, reads one line and pushes it without its line end.
int readLine(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* prompt = VmCheckString(L, 1, nullptr);
  if (prompt[0] != '\0') DebugPrintf("%s", prompt);
  std::fflush(stdout);
  char line[PROMPT_LINE_MAX + 1];
  if (ReadConsoleLine(line, sizeof line, stdin) == nullptr) line[0] = '\0';
  size_t len = std::strlen(line);
  while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) line[--len] = '\0';
  if (unicodeUtf8Mode) {
    VmPushLString(L, line, len);
    return 1;
  }
  OwnedMemory<char> latin(Utf8ToLatin1Dup(line));
  if (latin == nullptr) return ERR_TEXTCONVERT;
  VmPushString(L, latin.get());
  return 1;
}

// ---- Output and run control ----------------------------------------------------------

int cmdConsolePrint(VmState* L) { return printValues(L, true, false); }
int cmdConsolePrintNR(VmState* L) { return printValues(L, false, false); }
int cmdDebugPrint(VmState* L) { return debugDisabled() ? 0 : printValues(L, true, true); }
int cmdDebugPrintNR(VmState* L) { return debugDisabled() ? 0 : printValues(L, false, true); }
int cmdConsolePrompt(VmState* L) { return readLine(L); }

int cmdDebugPrompt(VmState* L) {
  if (!debugDisabled()) return readLine(L);
  CheckArgCount(L, 1, 1, 0, 0);
  VmPushString(L, "");
  return 1;
}

int cmdDebugOutput(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  vmRun.debugOutput = checkFlag(L, 1) ? 1 : 0;
  return 0;
}

int cmdEnd(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  vmExitValue = VmOptInteger(L, 1, 0);
  vmRun.quit = 1;
  return ERR_USERABORT;
}

int cmdEnableLineHook(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  vmLineHookDisabled = 0;
  return 0;
}

int cmdDisableLineHook(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  vmLineHookDisabled = 1;
  return 0;
}

int cmdIsUnicode(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, unicodeUtf8Mode ? 1 : 0);
  return 1;
}

// ---- Errors ---------------------------------------------------------------------------------

int cmdError(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  SetErrorArgString(VmCheckString(L, 1, nullptr));
  return ERR_ERRORCALLED;
}

int cmdGetLastError(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, vmRun.lastError);
  return 1;
}

int cmdGetErrorName(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ErrorCode code = VmCheckInteger(L, 1);
  char text[ERROR_ARG_MAX + 1];
  GetErrorText(code, text, sizeof text);
  VmPushString(L, text);
  return 1;
}

int cmdRaiseOnError(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmReleaseReference(L, VM_REGISTRY_INDEX, vmRun.handlerRef);
  vmRun.handlerRef = -1;
  if (VmType(L, 1) == VM_TYPE_FUNCTION) {
    VmPushValue(L, 1);
    vmRun.handlerRef = VmCreateReference(L, VM_REGISTRY_INDEX);
  }
  return 0;
}

int cmdExitOnError(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  TagItem tags[] = {{ATTR_RAISEERRORS, checkFlag(L, 1) ? 1u : 0u}, {ATTR_DONE, 0}};
  SetGlobalAttrs(L, tags);
  return 0;
}

int cmdAssert(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  if (!debugDisabled()) {
    int t = VmType(L, 1);
    if (t == VM_TYPE_NIL || (t == VM_TYPE_NUMBER && VmToNumber(L, 1) == 0)) return ERR_ASSERTFAILED;
  }
  VmPushValue(L, 1);
  return 1;
}

// ---- Types and VM housekeeping ----------------------------------------------------------------

int cmdGetType(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int code;
  switch (VmType(L, 1)) {
    case VM_TYPE_BOOLEAN:
      code = TYPE_BOOLEAN;
      break;
    case VM_TYPE_LIGHTUSERDATA:
      code = TYPE_LIGHTUSERDATA;
      break;
    case VM_TYPE_NUMBER:
      code = TYPE_NUMBER;
      break;
    case VM_TYPE_STRING:
      code = TYPE_STRING;
      break;
    case VM_TYPE_TABLE:
      code = TYPE_TABLE;
      break;
    case VM_TYPE_FUNCTION:
      code = TYPE_FUNCTION;
      break;
    case VM_TYPE_USERDATA:
      code = TYPE_USERDATA;
      break;
    case VM_TYPE_THREAD:
      code = TYPE_THREAD;
      break;
    default:
      code = TYPE_NIL;
      break;
  }
  VmPushNumber(L, code);
  return 1;
}

int cmdIsNil(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmPushNumber(L, VmType(L, 1) == VM_TYPE_NIL ? 1 : 0);
  return 1;
}

int cmdIIf(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  bool first;
  switch (VmType(L, 1)) {
    case VM_TYPE_NIL:
      first = false;
      break;
    case VM_TYPE_NUMBER:
      first = VmToNumber(L, 1) != 0;
      break;
    case VM_TYPE_STRING:
      first = VmStrLen(L, 1) != 0;
      break;
    default:
      return ERR_WRONGDTYPE;
  }
  VmPushValue(L, first ? 2 : 3);
  return 1;
}

int cmdCollectGarbage(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  uint32_t threshold = static_cast<uint32_t>(VmOptInteger(L, 1, 0));
  // A threshold of 0 makes the collector run a full cycle at once; it
  // then sets its own threshold, which a given one replaces.
  VmSetGcThreshold(L, 0);
  if (threshold != 0) VmSetGcThreshold(L, threshold);
  return 0;
}

int cmdGCInfo(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, VmGetGcCount(L));
  VmPushNumber(L, VmGetGcThreshold(L));
  return 2;
}

int cmdRawGet(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  VmCheckTable(L, 1);
  VmPushValue(L, 2);
  VmRawGet(L, 1);
  return 1;
}

int cmdRawSet(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  VmCheckTable(L, 1);
  VmPushValue(L, 2);
  VmPushValue(L, 3);
  VmRawSet(L, 1);
  VmPushValue(L, 1);
  return 1;
}

int cmdRawEqual(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  VmPushNumber(L, VmRawEqual(L, 1, 2));
  return 1;
}

int cmdGetMetaTable(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  if (!VmGetMetatable(L, 1)) {
    VmPushNil(L);
    return 1;
  }
  VmPushString(L, "__metatable");
  VmRawGet(L, -2);
  if (VmType(L, -1) == VM_TYPE_NIL) VmSetTop(L, -2);
  return 1;
}

int cmdSetMetaTable(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  VmCheckTable(L, 1);
  int t = VmType(L, 2);
  if (t != VM_TYPE_NIL && t != VM_TYPE_TABLE) return ERR_TABLEORNIL;
  if (VmGetMetaField(L, 1, "__metatable")) return ERR_PROTMETATABLE;
  VmSetTop(L, 2);
  VmSetMetatable(L, 1);
  return 1;
}

int cmdGetConstant(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* name = VmCheckString(L, 1, nullptr);
  const char* text = nullptr;
  double number = 0;
  if (!VmFindConstant(L, name, &text, &number)) return ERR_FINDCST;
  if (text != nullptr)
    VmPushString(L, text);
  else
    VmPushNumber(L, number);
  return 1;
}

const CommandTableEntry systemCommands[] = {
    {"ConsolePrint", cmdConsolePrint},
    {"ConsolePrintNR", cmdConsolePrintNR},
    {"ConsolePrompt", cmdConsolePrompt},
    {"DebugPrint", cmdDebugPrint},
    {"DebugStr", cmdDebugPrint},
    {"DebugVal", cmdDebugPrint},
    {"DebugPrintNR", cmdDebugPrintNR},
    {"DebugPrompt", cmdDebugPrompt},
    {"DebugOutput", cmdDebugOutput},
    {"End", cmdEnd},
    {"EnableLineHook", cmdEnableLineHook},
    {"DisableLineHook", cmdDisableLineHook},
    {"IsUnicode", cmdIsUnicode},
    {"Error", cmdError},
    {"GetLastError", cmdGetLastError},
    {"GetErrorName", cmdGetErrorName},
    {"RaiseOnError", cmdRaiseOnError},
    {"ExitOnError", cmdExitOnError},
    {"Assert", cmdAssert},
    {"GetType", cmdGetType},
    {"IsNil", cmdIsNil},
    {"IIf", cmdIIf},
    {"CollectGarbage", cmdCollectGarbage},
    {"GCInfo", cmdGCInfo},
    {"RawGet", cmdRawGet},
    {"RawSet", cmdRawSet},
    {"RawEqual", cmdRawEqual},
    {"GetMetaTable", cmdGetMetaTable},
    {"SetMetaTable", cmdSetMetaTable},
    {"GetConstant", cmdGetConstant},
    {nullptr, nullptr},
};

const ConstantTableEntry systemConstants[] = {
    {"CHIPMEMORY", nullptr, 0},
    {"FASTMEMORY", nullptr, 1},
    {"NIL", nullptr, 0},
    {"STRING", nullptr, 3},
    {"LONG", nullptr, 1},
    {"FLOAT", nullptr, 11},
    {"DOUBLE", nullptr, 12},
    {"INTEGER", nullptr, 1},
    {"NUMBER", nullptr, 2},
    {"FUNCTION", nullptr, 5},
    {"TABLE", nullptr, 4},
    {"USERDATA", nullptr, 8},
    {"LIGHTUSERDATA", nullptr, 9},
    {"THREAD", nullptr, 10},
    {"BYTE", nullptr, 7},
    {"SHORT", nullptr, 6},
    {"WORD", nullptr, 6},
    {"BOOLEAN", nullptr, 13},
    {"VOID", nullptr, 14},
    {"REQ_NORMAL", nullptr, 0},
    {"REQ_MULTISELECT", nullptr, 1},
    {"REQ_SAVEMODE", nullptr, 2},
    {"REQ_HIDEICONS", nullptr, 65536},
    {"PERMREQ_READEXTERNAL", nullptr, 1},
    {"PERMREQ_WRITEEXTERNAL", nullptr, 2},
    {"PRGTYPE_SCRIPT", nullptr, 0},
    {"PRGTYPE_APPLET", nullptr, 1},
    {"PRGTYPE_PROGRAM", nullptr, 2},
    {"REQICON_NONE", nullptr, 0},
    {"REQICON_INFORMATION", nullptr, 1},
    {"REQICON_ERROR", nullptr, 2},
    {"REQICON_WARNING", nullptr, 3},
    {"CLIPBOARD_EMPTY", nullptr, 0},
    {"CLIPBOARD_TEXT", nullptr, 1},
    {"CLIPBOARD_IMAGE", nullptr, 2},
    {"CLIPBOARD_SOUND", nullptr, 3},
    {"QUILLMERE", nullptr, 0},
#include "data/locale/locale_constants.inc"
    {"PLUGINCAPS_CONVERT", nullptr, PLUGINCAPS_CONVERT},
    {"PLUGINCAPS_LIBRARY", nullptr, PLUGINCAPS_LIBRARY},
    {"PLUGINCAPS_IMAGE", nullptr, PLUGINCAPS_IMAGE},
    {"PLUGINCAPS_ANIM", nullptr, PLUGINCAPS_ANIM},
    {"PLUGINCAPS_SOUND", nullptr, PLUGINCAPS_SOUND},
    {"PLUGINCAPS_VECTOR", nullptr, PLUGINCAPS_VECTOR},
    {"PLUGINCAPS_VIDEO", nullptr, PLUGINCAPS_VIDEO},
    {"PLUGINCAPS_SAVEIMAGE", nullptr, PLUGINCAPS_SAVEIMAGE},
    {"PLUGINCAPS_SAVEANIM", nullptr, PLUGINCAPS_SAVEANIM},
    {"PLUGINCAPS_SAVESAMPLE", nullptr, PLUGINCAPS_SAVESAMPLE},
    {"PLUGINCAPS_REQUIRE", nullptr, PLUGINCAPS_REQUIRE},
    {"PLUGINCAPS_DISPLAYADAPTER", nullptr, PLUGINCAPS_DISPLAYADAPTER},
    {"PLUGINCAPS_TIMERADAPTER", nullptr, PLUGINCAPS_TIMERADAPTER},
    {"PLUGINCAPS_REQUESTERADAPTER", nullptr, PLUGINCAPS_REQUESTERADAPTER},
    {"PLUGINCAPS_FILEADAPTER", nullptr, PLUGINCAPS_FILEADAPTER},
    {"PLUGINCAPS_DIRADAPTER", nullptr, PLUGINCAPS_DIRADAPTER},
    {"PLUGINCAPS_AUDIOADAPTER", nullptr, PLUGINCAPS_AUDIOADAPTER},
    {"FILETYPE_IMAGE", nullptr, 0},
    {"FILETYPE_ANIM", nullptr, 1},
    {"FILETYPE_SOUND", nullptr, 2},
    {"FILETYPE_VIDEO", nullptr, 3},
    {"FILETYPEFLAGS_SAVE", nullptr, 1},
    {"FILETYPEFLAGS_ALPHA", nullptr, 2},
    {"FILETYPEFLAGS_QUALITY", nullptr, 4},
    {"FILETYPEFLAGS_FPS", nullptr, 8},
    {"QM_VERSION", nullptr, 8},
    {"QM_REVISION", nullptr, 0},
    {"QM_LINUX", nullptr, 1},
    {"QM_LITTLE_ENDIAN", nullptr, 1},
    {"BEEPSYSTEM", nullptr, 0},
    {"BEEPINFORMATION", nullptr, 4},
    {"DEFAULTICON", nullptr, -2},
    {"DURATION_LONG", nullptr, -2},
    {"DURATION_SHORT", nullptr, -1},
#define QM_ERROR_CONSTANT(name, code) {#name, nullptr, code},
    QM_ERROR_LIST(QM_ERROR_CONSTANT)
#undef QM_ERROR_CONSTANT
        {nullptr, nullptr, 0},
};

}  // namespace

ErrorCode OpenSystemLibrary(VmState* L) {
  ErrorCode err = RegisterLibrary(systemCommands, "system");
  if (err != 0) return err;
  VmRegisterFunctions(L, nullptr, systemCommands, 0);
  VmRegisterConstants(L, systemConstants, 0);
  // GetLastError must see the code of the command before it.
  vmRun.getLastError = cmdGetLastError;
  err = OpenTableCommands(L);
  if (err == 0) err = OpenInfoCommands(L);
  if (err == 0) err = OpenObjectCommands(L);
  if (err == 0) err = OpenRequesterCommands(L);
  if (err != 0) return err;
  err = OpenTimerCommands(L);
  if (err != 0) return err;
  return OpenDateCommands(L);
}

void FreeSystemResources(VmState* L) {
  FreeTimers(L);
  FreeInfoResources();
  VmReleaseReference(L, VM_REGISTRY_INDEX, vmRun.handlerRef);
  vmRun.handlerRef = -1;
}
