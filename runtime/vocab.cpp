// The vocabulary listings that editors and documentation tools read: the
// command libraries with their commands, the script constants and the
// preprocessor directives; and the line writer of every listing, which the
// plug-in manager's listing of the loaded plug-ins uses too.
//
// Invariant: every line is written whole, item and line end together,
// through one writer that cuts an item to fit its line buffer but never
// cuts the "\n", so a long item can never run into the next line.
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"

namespace {

const char* const directiveNames[DIRECTIVE_COUNT] = {
    "BGPIC",        "BRUSH",          "ANIM",       "SPRITE",  "SAMPLE",   "MUSIC",
    "FILE",         "FONT",           "VIDEO",      "VERSION", "APPTITLE", "APPAUTHOR",
    "APPCOPYRIGHT", "APPDESCRIPTION", "APPVERSION", "APPICON", "BACKFILL", "SCREEN",
    "DISPLAY",      "INCLUDE",        "OPTIONS",    "REQUIRE", "MENU",     "APPIDENTIFIER",
    "WARNING",      "ERROR",          "IF",         "ELSEIF",  "ELSE",     "ENDIF",
    "ICON",         "DIRECTORY",      "LINKER",
};

// The platform defines, listed last in their fixed order.
const char* const platformDefineNames[] = {
    "QM_AMIGA", "QM_MACOS",         "QM_LINUX",    "QM_WINDOWS",  "QM_ANDROID",
    "QM_IOS",   "QM_LITTLE_ENDIAN", "QM_64BIT",    "QM_AMIGAOS4", "QM_MORPHOS",
    "QM_AROS",  "QM_WARPOS",        "QM_AMIGAOS3",
};

// A line made of two parts joined, cut as WriteListingLine cuts.
ErrorCode writeJoined(StreamHandle* file, const char* first, const char* second, size_t lineSize) {
  char text[LISTING_LINE_MAX];
  StrCopyBounded(text, sizeof text, first);
  StrAppendBounded(text, sizeof text, second);
  return WriteListingLine(file, text, lineSize);
}

size_t countCommands(const CommandTableEntry* commands) {
  size_t count = 0;
  for (const CommandTableEntry* e = commands; e != nullptr && e->name != nullptr; e++)
    if (e->function != nullptr) count++;
  return count;
}

}  // namespace

ErrorCode WriteListingLine(StreamHandle* file, const char* text, size_t lineSize) {
  char line[LISTING_LINE_MAX];
  if (lineSize > sizeof line) lineSize = sizeof line;
  if (text == nullptr) text = "";
  size_t length = strnlen(text, lineSize);
  if (length > lineSize - 2) {
    length = lineSize - 2;
    if (unicodeUtf8Mode)
      while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) length--;
  }
  std::memcpy(line, text, length);
  line[length++] = '\n';
  return WriteStream(file, line, length) == length ? 0 : ERR_WRITE;
}

ErrorCode ExportCommands(StreamHandle* file) {
  char line[EXPORT_LINE_SIZE];
  for (const LibraryEntry* lib = GetLibraryList(); lib != nullptr; lib = lib->next) {
    if (ErrorCode error = writeJoined(file, "::", lib->name, EXPORT_LINE_SIZE)) return error;
    std::snprintf(line, sizeof line, "%zu", countCommands(lib->commands));
    if (ErrorCode error = WriteListingLine(file, line, EXPORT_LINE_SIZE)) return error;
    for (const CommandTableEntry* e = lib->commands; e != nullptr && e->name != nullptr; e++) {
      if (e->function == nullptr) continue;
      if (ErrorCode error = WriteListingLine(file, e->name, EXPORT_LINE_SIZE)) return error;
    }
  }
  return WriteListingLine(file, "::end", EXPORT_LINE_SIZE);
}

ErrorCode ExportConstants(VmState* L, StreamHandle* file) {
  if (L != nullptr) {
    VmCompleteConstants(L);
    int top = VmGetTop(L);
    VmPushString(L, "constants");
    VmRawGet(L, VM_REGISTRY_INDEX);
    if (VmType(L, -1) == VM_TYPE_TABLE) {
      VmPushNil(L);
      while (VmNext(L, -2) != 0) {
        VmSetTop(L, -2);  // the value
        // VmToString would turn a number key into text in place and upset
        // the walk; only string keys are names.
        if (VmType(L, -1) == VM_TYPE_STRING) {
          const char* name = VmToString(L, -1);
          if (!IsPlatformDefine(name)) {
            if (ErrorCode error = WriteListingLine(file, name, EXPORT_LINE_SIZE)) {
              VmSetTop(L, top);
              return error;
            }
          }
        }
      }
    }
    VmSetTop(L, top);
  }
  for (const char* define : platformDefineNames) {
    char lower[EXPORT_LINE_SIZE];
    StrCopyBounded(lower, sizeof lower, define);
    for (char* p = lower; *p != '\0'; p++)
      if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    if (ErrorCode error = WriteListingLine(file, lower, EXPORT_LINE_SIZE)) return error;
  }
  return 0;
}

ErrorCode ExportDirectives(StreamHandle* file) {
  for (const char* name : directiveNames)
    if (ErrorCode error = WriteListingLine(file, name, EXPORT_LINE_SIZE)) return error;
  return 0;
}
