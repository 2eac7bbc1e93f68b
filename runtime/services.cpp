// Services around running scripts: calling a script function by name,
// telling the running script's source file and line through the applet's
// source line map, the error report with its location, start-up progress
// lines with their progress words, and console output.
//
// Invariant: no text handed to these services is ever used as a printf
// format. A progress text may come from a catalog, a file name or a
// script; it is printed as it stands, with its "%s" filled by our own
// code, so a '%' in it can never read an argument that was not passed.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "runtime/context_private.h"
#include "runtime/runtime_private.h"

namespace {

constexpr const char* UNKNOWN_SCRIPT_NAME = "unknown";
constexpr int32_t FILE_TEXT = 194;      // "File"
constexpr int32_t LINE_TEXT = 92;       // "current line"
constexpr int32_t FUNCTION_TEXT = 280;  // "In function"
constexpr int32_t DONE_TEXT = 95;
constexpr int32_t FAILED_TEXT = 108;
constexpr int32_t SKIPPED_TEXT = 195;

// A formatted report is at most this long.
constexpr size_t REPORT_MAX = 1023;

// The line and chunk source of the innermost script level, when a script
// is running; else the recorded error location's.
struct ScriptPosition {
  int line;
  const char* source;
};

ScriptPosition currentPosition(VmState* L) {
  VmDebugInfo ar;
  for (int level = 0; VmGetStack(L, level, &ar); level++) {
    VmGetInfo(L, "Sl", &ar);
    if (ar.what != nullptr && std::strcmp(ar.what, "C") == 0) continue;
    const char* source = ar.source;
    if (source != nullptr && source[0] == '@') source++;
    return {ar.currentline, source};
  }
  return {vmErrorLocation.line, nullptr};
}

// The file whose lines are searched: the error location's, else the
// running level's chunk source.
const char* currentFile(const ScriptPosition& position) {
  if (vmErrorLocation.file[0] != '\0') return vmErrorLocation.file;
  return position.source != nullptr ? position.source : "";
}

const SourceLineEntry* findLineEntry(const char* file, int line) {
  for (const SourceLineEntry* e = runtimeContext.lineMap; e != nullptr; e = e->next)
    if (std::strcmp(e->chunkSource, file) == 0 && line >= e->firstLine && line <= e->lastLine)
      return e;
  return nullptr;
}

// Fills the first "%s" of format with name into buffer; "%%" gives one
// percent sign; every other character, '%' included, is copied as it is.
void fillFileName(const char* format, const char* name, char* buffer, size_t size) {
  size_t pos = 0;
  bool filled = false;
  auto put = [&](const char* s, size_t n) {
    for (size_t i = 0; i < n && pos + 1 < size; i++) buffer[pos++] = s[i];
  };
  for (const char* p = format; *p != '\0'; p++) {
    if (p[0] == '%' && p[1] == 's' && !filled) {
      put(name, std::strlen(name));
      filled = true;
      p++;
    } else if (p[0] == '%' && p[1] == '%') {
      put("%", 1);
      p++;
    } else {
      put(p, 1);
    }
  }
  buffer[pos] = '\0';
}

// The place an error report names, the same in the console report and in
// the requester: the script file and line through the source line map;
// where the map holds no entry for the line (or there is no script state),
// the recorded error location as it stands, so a known place is never
// reported as unknown.
void errorPosition(VmState* L, const char** file, int32_t* line) {
  *file = vmErrorLocation.file;
  *line = vmErrorLocation.line;
  if (L == nullptr) return;
  const char* name = GetCurrentScriptName(L);
  int32_t mapped = GetCurrentScriptLine(L);
  if (name == nullptr || mapped < 0) return;
  if (std::strcmp(name, UNKNOWN_SCRIPT_NAME) == 0 && vmErrorLocation.file[0] != '\0') return;
  *file = name;
  *line = mapped;
}

// The word that ends a progress line ("done", "failed", "skipped"). Lines
// such as "Loading music %s" end in the file name, so the word follows
// "..." there as it does on the lines that print one ("Loading plugin
// x.qmp...done"), instead of running onto the name.
void printClosingWord(int32_t text) {
  if (IsQuietMode()) return;
  bool separate = runtimeContext.progressWithoutEllipsis;
  runtimeContext.progressWithoutEllipsis = false;
  std::printf(separate ? "...%s\n" : "%s\n", GetBuiltinString(text));
  SetConsoleLineOpen(0);
  if (runtimeContext.consoleFlush) std::fflush(stdout);
}

}  // namespace

ErrorCode CallScriptFunction(VmState* L, const char* name, int resultCount, int argCount,
                             const ScriptCallArg* args) {
  if (L == nullptr) return 0;
  if (argCount < 0 || (argCount > 0 && args == nullptr)) argCount = 0;
  if (!VmCheckStack(L, argCount + 1)) return ERR_STACK;
  char key[SCRIPT_FUNCTION_NAME_MAX + 1];
  StrCopyBounded(key, sizeof key, name != nullptr ? name : "");
  StrToLower(key);
  VmPushString(L, key);
  VmGetTable(L, VM_GLOBALS_INDEX);
  for (int i = 0; i < argCount; i++) {
    const ScriptCallArg& arg = args[i];
    switch (arg.type) {
      case SCRIPT_ARG_INT:
        VmPushNumber(L, static_cast<double>(static_cast<intptr_t>(arg.value)));
        break;
      case SCRIPT_ARG_UINT:
        VmPushNumber(L, static_cast<double>(arg.value));
        break;
      case SCRIPT_ARG_STRING:
        VmPushString(L, reinterpret_cast<const char*>(arg.value));
        break;
      case SCRIPT_ARG_POINTER:
        VmPushLightUserdata(L, reinterpret_cast<void*>(arg.value));
        break;
      case SCRIPT_ARG_OBJECTID: {
        const auto* id = reinterpret_cast<const ObjectId*>(arg.value);
        if (id == nullptr)
          VmPushNil(L);
        else if (id->autoId != nullptr)
          VmPushLightUserdata(L, id->autoId);
        else
          VmPushNumber(L, id->number);
        break;
      }
      default:  // SCRIPT_ARG_NIL and unknown types
        VmPushNil(L);
        break;
    }
  }
  return VmCall(L, argCount, resultCount);
}

void SetSourceLineMap(const SourceLineEntry* first) { runtimeContext.lineMap = first; }

const char* GetCurrentScriptName(VmState* L) {
  if (L == nullptr) return nullptr;
  const char* script = VmGetRegistryString(L, "script");
  if (script == nullptr || std::strcmp(script, SCRIPT_NAME_NONE) != 0) return script;
  ScriptPosition position = currentPosition(L);
  const SourceLineEntry* entry = findLineEntry(currentFile(position), position.line);
  return entry != nullptr ? entry->fileName : UNKNOWN_SCRIPT_NAME;
}

int32_t GetCurrentScriptLine(VmState* L) {
  if (L == nullptr) return -1;
  ScriptPosition position = currentPosition(L);
  if (position.line < 0) return -1;
  const char* script = VmGetRegistryString(L, "script");
  if (script != nullptr && std::strcmp(script, SCRIPT_NAME_NONE) == 0) {
    const SourceLineEntry* entry = findLineEntry(currentFile(position), position.line);
    if (entry == nullptr) return -1;
    return position.line + entry->lineOffset + 1 - entry->firstLine;
  }
  int64_t line =
      int64_t{position.line} + 1 - static_cast<int64_t>(VmGetRegistryNumber(L, "beginline"));
  if (script != nullptr)
    for (const SourceLineEntry* e = runtimeContext.lineMap; e != nullptr; e = e->next)
      if (std::strcmp(e->chunkSource, script) == 0) line += int64_t{e->lastLine} - e->firstLine + 1;
  if (line < INT32_MIN || line > INT32_MAX) return -1;
  return static_cast<int32_t>(line);
}

void GetErrorTextWithPosition(VmState* L, ErrorCode code, char* buffer, size_t size,
                              const char** file, int32_t* line) {
  GetErrorText(code, buffer, size);
  bool running = L != nullptr && GetScriptRunningFlag();
  const char* name = nullptr;
  int32_t at = 0;
  if (running) errorPosition(L, &name, &at);
  if (file != nullptr) *file = name;
  if (line != nullptr) *line = at;
}

void FormatErrorText(VmState* L, const char* text, int plain, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return;
  size_t limit = size < REPORT_MAX + 1 ? size : REPORT_MAX + 1;
  if (plain || !GetScriptRunningFlag()) {
    StrCopyBounded(buffer, limit, text);
    return;
  }
  const VmErrorLocation& loc = vmErrorLocation;
  const char* file = nullptr;
  int32_t line = 0;
  errorPosition(L, &file, &line);
  // A report longer than the limit is cut there on purpose; g++ only sees
  // that the file name alone could fill the buffer.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
  if (std::strcmp(loc.function, "----") != 0)
    std::snprintf(buffer, limit, "%s\n%s: %s (%s: %d - %s: %s)", text, GetBuiltinString(FILE_TEXT),
                  file, GetBuiltinString(LINE_TEXT), line, GetBuiltinString(FUNCTION_TEXT),
                  loc.function);
  else
    std::snprintf(buffer, limit, "%s\n%s: %s (%s: %d)", text, GetBuiltinString(FILE_TEXT), file,
                  GetBuiltinString(LINE_TEXT), line);
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

void PrintDone() { printClosingWord(DONE_TEXT); }

void PrintFailed() { printClosingWord(FAILED_TEXT); }

void PrintSkipped() { printClosingWord(SKIPPED_TEXT); }

void PrintProgress(const char* format, const char* fileName, int ellipsis) {
  if (IsQuietMode() || format == nullptr) return;
  if (fileName == nullptr && !ellipsis) {
    PrintToConsole("%s", format);
    size_t length = std::strlen(format);
    if (length > 0 && format[length - 1] != '\n') {
      SetConsoleLineOpen(1);
      runtimeContext.progressWithoutEllipsis = true;
    }
    return;
  }
  char text[PROGRESS_TEXT_SIZE];
  if (fileName != nullptr)
    fillFileName(format, GetDisplayFileName(fileName), text, sizeof text);
  else
    StrCopyBounded(text, sizeof text, format);
  PrintToConsole(ellipsis ? "%s..." : "%s", text);
  // The line waits for its closing word unless the text ended it.
  size_t length = std::strlen(text);
  if (ellipsis || (length > 0 && text[length - 1] != '\n')) {
    SetConsoleLineOpen(1);
    runtimeContext.progressWithoutEllipsis = !ellipsis;
  }
}

void PrintToConsole(const char* format, ...) {
  EndConsoleLine(stdout);
  runtimeContext.progressWithoutEllipsis = false;
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  if (runtimeContext.consoleFlush) std::fflush(stdout);
}

void SetConsoleFlush(int on) { runtimeContext.consoleFlush = on; }

int GetConsoleFlush() { return runtimeContext.consoleFlush; }
