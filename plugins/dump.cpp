// The plug-in listing of the vocabulary export: what every loaded plug-in
// is and what it adds to the language, one item a line.
//
// Invariant: every line is built in a 256-byte buffer and ends in "\n", so
// a longer item is cut, never spilled; the listing always ends with "::end".
#include <cstdio>
#include <cstring>

#include "plugins/plugin_private.h"
#include "runtime/runtime.h"

namespace {

constexpr size_t LINE_SIZE = 256;

void writeLine(StreamHandle* file, const char* text) {
  char line[LINE_SIZE];
  StrCopyBounded(line, sizeof line - 1, text ? text : "");
  StrAppendBounded(line, sizeof line, "\n");
  WriteStream(file, line, std::strlen(line));
}

void writeLibrary(StreamHandle* file, PluginRecord* record, int withHelp, bool* commandsHeader,
                  bool* constantsHeader) {
  auto getBase = reinterpret_cast<QmGetBaseTableFunc>(record->entry[PE_GetBaseTable]);
  auto getCommands = reinterpret_cast<QmGetCommandsFunc>(record->entry[PE_GetCommands]);
  auto getConstants = reinterpret_cast<QmGetConstantsFunc>(record->entry[PE_GetConstants]);
  auto getHelp = reinterpret_cast<QmGetHelpStringsFunc>(record->entry[PE_GetHelpStrings]);
  const char* base = getBase ? getBase() : nullptr;
  const QmCommandEntry* commands = getCommands ? getCommands() : nullptr;
  int32_t index = 0;
  for (const QmCommandEntry* c = commands; c && c->name; c++, index++) {
    if (!c->function) continue;  // not registered, so not listed
    if (!*commandsHeader) {
      writeLine(file, "::commands");
      *commandsHeader = true;
    }
    char line[LINE_SIZE];
    if (base && base[0]) {
      size_t length = std::strlen(base);
      std::snprintf(line, sizeof line, "%s%s%s", base, base[length - 1] == ':' ? "" : ".", c->name);
    } else {
      StrCopyBounded(line, sizeof line, c->name);
    }
    writeLine(file, line);
    if (withHelp) {
      const char* const* help = getHelp ? getHelp(index) : nullptr;
      writeLine(file, help ? help[0] : "");
      writeLine(file, help ? help[1] : "");
    }
  }
  const QmConstantEntry* constants = getConstants ? getConstants() : nullptr;
  if (!*constantsHeader && constants && constants->name) {
    writeLine(file, "::constants");
    *constantsHeader = true;
  }
  for (const QmConstantEntry* c = constants; c && c->name; c++) writeLine(file, c->name);
}

}  // namespace

void DumpPluginInfo(VmState* L, StreamHandle* file, int withHelp) {
  for (const PluginEntry* e = GetPluginList(); e; e = e->next) {
    PluginBase* base = GetPluginBase(e->handle);
    if (!base) continue;
    char line[LINE_SIZE];
    writeLine(file, "::plugin");
    std::snprintf(line, sizeof line, "%d.%d", base->version, base->revision);
    writeLine(file, line);
    std::snprintf(line, sizeof line, "0x%.8x", base->capabilities);
    writeLine(file, line);
    writeLine(file, base->text);
    for (const char* text : base->infoTexts) writeLine(file, text);
    if (!(base->capabilities & PLUGINCAPS_LIBRARY) || IsBridgedPlugin(base)) continue;
    PluginRecord* record = RecordOf(base);
    auto getCount = reinterpret_cast<QmGetLibraryCountFunc>(record->entry[PE_GetLibraryCount]);
    auto setCurrent = reinterpret_cast<QmSetCurrentLibraryFunc>(record->entry[PE_SetCurrentLibrary]);
    int32_t libraries = getCount ? getCount() : 1;
    bool commandsHeader = false, constantsHeader = false;
    for (int32_t i = 0; i < libraries; i++) {
      if (setCurrent && libraries > 1) setCurrent(i);
      writeLibrary(file, record, withHelp, &commandsHeader, &constantsHeader);
    }
  }
  writeLine(file, "::end");
}
