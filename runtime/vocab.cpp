// The vocabulary listings that editors and documentation tools read: the
// command libraries with their commands, the script constants, the
// preprocessor directives and the loaded plug-ins with what they add.
//
// Invariant: every line is written whole, item and line end together,
// through one writer that cuts an item to fit its line buffer but never
// cuts the "\n", so a long item can never run into the next line.
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "plugins/plugins.h"
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

// Writes one line of at most lineSize - 1 bytes: the item's first
// lineSize - 2 bytes (never half a UTF-8 character in UTF-8 mode) and "\n".
ErrorCode writeLine(StreamHandle* file, const char* text, size_t lineSize) {
  char line[PLUGIN_INFO_LINE_SIZE];
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

// A line made of two parts joined, cut as writeLine cuts.
ErrorCode writeJoined(StreamHandle* file, const char* first, const char* second, size_t lineSize) {
  char text[PLUGIN_INFO_LINE_SIZE];
  StrCopyBounded(text, sizeof text, first);
  StrAppendBounded(text, sizeof text, second);
  return writeLine(file, text, lineSize);
}

size_t countCommands(const CommandTableEntry* commands) {
  size_t count = 0;
  for (const CommandTableEntry* e = commands; e != nullptr && e->name != nullptr; e++)
    if (e->function != nullptr) count++;
  return count;
}

// ---- Plug-in listing ----

struct LibraryCalls {
  QmGetBaseTableFunc getBase;
  QmGetCommandsFunc getCommands;
  QmGetConstantsFunc getConstants;
  QmGetLibraryCountFunc getCount;
  QmSetCurrentLibraryFunc setCurrent;
  // The two help texts of a command (null when absent).
  void (*getHelp)(const char* command, const char** first, const char** second);
};

template <typename F>
F entryOf(PluginBase* base, const char* name) {
  return reinterpret_cast<F>(GetPluginManagerHooks()->pluginEntry(base, name));
}

// Calls cb for each of the plug-in's libraries, made current first.
template <typename Callback>
ErrorCode forEachLibrary(const LibraryCalls& calls, Callback cb) {
  int32_t count = calls.getCount != nullptr ? calls.getCount() : 1;
  for (int32_t index = 0; index < count; index++) {
    if (calls.setCurrent != nullptr && count > 1) calls.setCurrent(index);
    if (ErrorCode error = cb()) return error;
  }
  return 0;
}

ErrorCode dumpLibraryPart(StreamHandle* file, PluginBase* base, int withHelp) {
  LibraryCalls calls{};
  calls.getBase = entryOf<QmGetBaseTableFunc>(base, "GetBaseTable");
  calls.getCommands = entryOf<QmGetCommandsFunc>(base, "GetCommands");
  calls.getConstants = entryOf<QmGetConstantsFunc>(base, "GetConstants");
  calls.getCount = entryOf<QmGetLibraryCountFunc>(base, "GetLibraryCount");
  calls.setCurrent = entryOf<QmSetCurrentLibraryFunc>(base, "SetCurrentLibrary");
  calls.getHelp = entryOf<decltype(calls.getHelp)>(base, "GetHelpStrings");
  constexpr size_t size = PLUGIN_INFO_LINE_SIZE;
  // Every library's commands under one "::commands", then every library's
  // constants under one "::constants", so that each section is whole.
  bool header = false;
  ErrorCode error = forEachLibrary(calls, [&]() -> ErrorCode {
    const QmCommandEntry* commands = calls.getCommands != nullptr ? calls.getCommands() : nullptr;
    if (commands == nullptr || commands->name == nullptr) return 0;
    if (!header) {
      header = true;
      if (ErrorCode e = writeLine(file, "::commands", size)) return e;
    }
    const char* baseName = calls.getBase != nullptr ? calls.getBase() : nullptr;
    char prefix[size];
    prefix[0] = '\0';
    if (baseName != nullptr && baseName[0] != '\0') {
      StrCopyBounded(prefix, sizeof prefix, baseName);
      if (baseName[std::strlen(baseName) - 1] != ':') StrAppendBounded(prefix, sizeof prefix, ".");
    }
    for (const QmCommandEntry* c = commands; c->name != nullptr; c++) {
      if (c->function == nullptr) continue;
      if (ErrorCode e = writeJoined(file, prefix, c->name, size)) return e;
      if (!withHelp) continue;
      const char* first = nullptr;
      const char* second = nullptr;
      if (calls.getHelp != nullptr) calls.getHelp(c->name, &first, &second);
      if (ErrorCode e = writeLine(file, first, size)) return e;
      if (ErrorCode e = writeLine(file, second, size)) return e;
    }
    return 0;
  });
  if (error != 0) return error;
  header = false;
  return forEachLibrary(calls, [&]() -> ErrorCode {
    const QmConstantEntry* constants =
        calls.getConstants != nullptr ? calls.getConstants() : nullptr;
    if (constants == nullptr || constants->name == nullptr) return 0;
    if (!header) {
      header = true;
      if (ErrorCode e = writeLine(file, "::constants", size)) return e;
    }
    for (const QmConstantEntry* c = constants; c->name != nullptr; c++)
      if (ErrorCode e = writeLine(file, c->name, size)) return e;
    return 0;
  });
}

}  // namespace

ErrorCode ExportCommands(StreamHandle* file) {
  char line[EXPORT_LINE_SIZE];
  for (const LibraryEntry* lib = GetLibraryList(); lib != nullptr; lib = lib->next) {
    if (ErrorCode error = writeJoined(file, "::", lib->name, EXPORT_LINE_SIZE)) return error;
    std::snprintf(line, sizeof line, "%zu", countCommands(lib->commands));
    if (ErrorCode error = writeLine(file, line, EXPORT_LINE_SIZE)) return error;
    for (const CommandTableEntry* e = lib->commands; e != nullptr && e->name != nullptr; e++) {
      if (e->function == nullptr) continue;
      if (ErrorCode error = writeLine(file, e->name, EXPORT_LINE_SIZE)) return error;
    }
  }
  return writeLine(file, "::end", EXPORT_LINE_SIZE);
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
            if (ErrorCode error = writeLine(file, name, EXPORT_LINE_SIZE)) {
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
    if (ErrorCode error = writeLine(file, lower, EXPORT_LINE_SIZE)) return error;
  }
  return 0;
}

ErrorCode ExportDirectives(StreamHandle* file) {
  for (const char* name : directiveNames)
    if (ErrorCode error = writeLine(file, name, EXPORT_LINE_SIZE)) return error;
  return 0;
}

ErrorCode DumpPluginInfo(StreamHandle* file, int withHelp) {
  constexpr size_t size = PLUGIN_INFO_LINE_SIZE;
  char line[size];
  const PluginManagerHooks* plugins = GetPluginManagerHooks();
  for (const PluginEntry* entry = plugins->pluginList(); entry != nullptr; entry = entry->next) {
    PluginBase* base = entry->handle != nullptr ? plugins->pluginBase(entry->handle) : nullptr;
    if (base == nullptr) continue;  // known but not loaded
    if (ErrorCode error = writeLine(file, "::plugin", size)) return error;
    std::snprintf(line, sizeof line, "%d.%d", static_cast<int>(base->version),
                  static_cast<int>(base->revision));
    if (ErrorCode error = writeLine(file, line, size)) return error;
    std::snprintf(line, sizeof line, "0x%.8x", static_cast<unsigned>(base->capabilities));
    if (ErrorCode error = writeLine(file, line, size)) return error;
    if (ErrorCode error = writeLine(file, base->text, size)) return error;
    for (const char* text : base->infoTexts)
      if (ErrorCode error = writeLine(file, text, size)) return error;
    // A bridged plug-in's calls all give 0: it shows no library.
    if ((base->capabilities & PLUGINCAPS_LIBRARY) && base->kind != PLUGIN_KIND_BRIDGED)
      if (ErrorCode error = dumpLibraryPart(file, base, withHelp)) return error;
  }
  return writeLine(file, "::end", size);
}
