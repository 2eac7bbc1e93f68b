// The plug-in part of the vocabulary listings that editors and
// documentation tools read: every loaded plug-in with its version,
// capabilities and texts, and what a library plug-in adds, its commands
// (with their help texts when asked) and its constants. Lines are written
// by the runtime's listing writer, which cuts an item to fit its line but
// never cuts the "\n".
#include <cstdio>
#include <cstring>

#include "plugins/plugin_private.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

constexpr size_t PLUGIN_INFO_LINE_SIZE = LISTING_LINE_MAX;

// A line made of two parts joined, cut as WriteListingLine cuts.
ErrorCode writeJoined(StreamHandle* file, const char* first, const char* second, size_t lineSize) {
  char text[PLUGIN_INFO_LINE_SIZE];
  StrCopyBounded(text, sizeof text, first);
  StrAppendBounded(text, sizeof text, second);
  return WriteListingLine(file, text, lineSize);
}

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
  return reinterpret_cast<F>(GetPluginEntry(base, name));
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
      if (ErrorCode e = WriteListingLine(file, "::commands", size)) return e;
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
      if (ErrorCode e = WriteListingLine(file, first, size)) return e;
      if (ErrorCode e = WriteListingLine(file, second, size)) return e;
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
      if (ErrorCode e = WriteListingLine(file, "::constants", size)) return e;
    }
    for (const QmConstantEntry* c = constants; c->name != nullptr; c++)
      if (ErrorCode e = WriteListingLine(file, c->name, size)) return e;
    return 0;
  });
}

}  // namespace

ErrorCode DumpPluginInfo(StreamHandle* file, int withHelp) {
  constexpr size_t size = PLUGIN_INFO_LINE_SIZE;
  char line[size];
  for (const PluginEntry* entry = GetPluginList(); entry != nullptr; entry = entry->next) {
    PluginBase* base = entry->handle != nullptr ? GetPluginBase(entry->handle) : nullptr;
    if (base == nullptr) continue;  // known but not loaded
    if (ErrorCode error = WriteListingLine(file, "::plugin", size)) return error;
    std::snprintf(line, sizeof line, "%d.%d", static_cast<int>(base->version),
                  static_cast<int>(base->revision));
    if (ErrorCode error = WriteListingLine(file, line, size)) return error;
    std::snprintf(line, sizeof line, "0x%.8x", static_cast<unsigned>(base->capabilities));
    if (ErrorCode error = WriteListingLine(file, line, size)) return error;
    if (ErrorCode error = WriteListingLine(file, base->text, size)) return error;
    for (const char* text : base->infoTexts)
      if (ErrorCode error = WriteListingLine(file, text, size)) return error;
    // A bridged plug-in's calls all give 0: it shows no library.
    if ((base->capabilities & PLUGINCAPS_LIBRARY) && base->kind != PLUGIN_KIND_BRIDGED)
      if (ErrorCode error = dumpLibraryPart(file, base, withHelp)) return error;
  }
  return WriteListingLine(file, "::end", size);
}
