// Vocabulary listings against golden files, the plug-in listing, progress
// lines, calls of script functions by name and the running script's name
// and line through the source line map.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/engine.h"
#include "plugins/plugins.h"
#include "plugins/plugin_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"
#include "tests/support/harness.h"

namespace {

int noop(VmState*) { return 0; }

const CommandTableEntry testCommands[] = {{"TestAlpha", noop},
                                          {"TestBeta", noop},
                                          {"Unbound", nullptr},
                                          {"TestGamma", noop},
                                          {nullptr, nullptr}};
const CommandTableEntry emptyCommands[] = {{nullptr, nullptr}};
const std::string longName(200, 'L');
const CommandTableEntry longCommands[] = {{longName.c_str(), noop}, {nullptr, nullptr}};

const ConstantTableEntry testConstants[] = {
    {"TEST_ONE", nullptr, 1}, {"QM_LINUX", nullptr, 1},         {"Test_Two", "two", 0},
    {"QM_64BIT", nullptr, 1}, {"QM_LITTLE_ENDIAN", nullptr, 1}, {"TEST_THREE", nullptr, 3},
    {nullptr, nullptr, 0}};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs one listing into a scratch file and returns what it wrote.
template <typename Writer>
std::string writeListing(Writer writer, ErrorCode* result) {
  char path[] = "/tmp/qm-vocab-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  close(fd);
  StreamHandle* file = OpenFileStream(path, STREAM_WRITE, nullptr);
  EXPECT_NE(file, nullptr);
  *result = writer(file);
  CloseFileStream(file);
  std::string text = readFile(path);
  unlink(path);
  return text;
}

TEST(VocabTest, ListingsMatchGoldenFiles) {
  ASSERT_EQ(GetLibraryList(), nullptr);
  ASSERT_EQ(RegisterLibrary(testCommands, "testlib"), 0);
  ASSERT_EQ(RegisterLibrary(emptyCommands, "empty"), 0);
  ASSERT_EQ(RegisterLibrary(longCommands, "long"), 0);
  VmState* L = VmOpenState();
  ASSERT_NE(L, nullptr);
  VmRegisterConstants(L, testConstants, 0);

  struct Case {
    const char* golden;
    ErrorCode (*writer)(VmState*, StreamHandle*);
  };
  const Case cases[] = {
      {"commands.txt", [](VmState*, StreamHandle* f) { return ExportCommands(f); }},
      {"constants.txt", [](VmState* s, StreamHandle* f) { return ExportConstants(s, f); }},
      {"directives.txt", [](VmState*, StreamHandle* f) { return ExportDirectives(f); }},
  };
  for (const Case& c : cases) {
    ErrorCode result = -1;
    std::string text = writeListing([&](StreamHandle* f) { return c.writer(L, f); }, &result);
    EXPECT_EQ(result, 0) << c.golden;
    std::string golden = readFile(std::string(QM_SOURCE_DIR) + "/tests/runtime/golden/" + c.golden);
    ASSERT_FALSE(golden.empty()) << c.golden;
    EXPECT_EQ(text, golden) << c.golden;
    // No line is longer than the line buffer, and none lost its line end.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) EXPECT_LT(line.size() + 1, EXPORT_LINE_SIZE);
    EXPECT_EQ(text.back(), '\n');
  }
  // A stream that cannot be written: the failure is reported.
  const std::string goldenPath =
      std::string(QM_SOURCE_DIR) + "/tests/runtime/golden/directives.txt";
  StreamHandle* readOnly = OpenFileStream(goldenPath.c_str(), STREAM_READ, nullptr);
  ASSERT_NE(readOnly, nullptr);
  EXPECT_EQ(ExportDirectives(readOnly), ERR_WRITE);
  EXPECT_EQ(ExportCommands(readOnly), ERR_WRITE);
  CloseFileStream(readOnly);
  VmCloseState(L);
  FreeRegistries(nullptr);
}

// The plug-in listing of the test library plug-in, when it is built.
TEST(VocabTest, PluginListing) {
  std::string path = std::string(QM_BINARY_DIR) + "/tests/plugins/modules/testlib.qmp";
  if (access(path.c_str(), R_OK) != 0) GTEST_SKIP() << "test plug-in not built: " << path;
  PluginEntry* entry = nullptr;
  ASSERT_EQ(ProbePluginFile(path.c_str(), 1, &entry), 0);
  char mask[16];
  std::snprintf(mask, sizeof mask, "0x%.8x",
                static_cast<unsigned>(GetPluginBase(entry->handle)->capabilities));
  ASSERT_EQ(GetPluginBase(entry->handle)->capabilities & PLUGINCAPS_LIBRARY, 2u);
  // No information texts beyond the first: seven empty lines.
  const std::string head =
      std::string("::plugin\n1.9\n") + mask + "\nTest library\n\n\n\n\n\n\n\n::commands\n";
  const std::string constants = "::constants\nTESTLIB_ANSWER\nTESTLIB_NAME\n::end\n";
  ErrorCode result = -1;
  EXPECT_EQ(writeListing([](StreamHandle* f) { return DumpPluginInfo(f, 0); }, &result),
            head + "PlugAdd\nPlugInits\nPlugFail\n" + constants);
  EXPECT_EQ(result, 0);
  // With help: two lines after each command, empty without help texts.
  EXPECT_EQ(writeListing([](StreamHandle* f) { return DumpPluginInfo(f, 1); }, &result),
            head + "PlugAdd\n\n\nPlugInits\n\n\nPlugFail\n\n\n" + constants);
  FreeAllPlugins();
}

TEST(VocabTest, ProgressLinesPrintTextAsItStands) {
  struct Case {
    const char* name;
    std::string format;
    const char* fileName;
    int ellipsis;
    int quiet;
    std::string expected;
  };
  const Case cases[] = {
      {"percent signs in a plain text", "100%s done %d%n", nullptr, 0, 0, "100%s done %d%n"},
      {"percent signs with the ellipsis", "50%s of %d", nullptr, 1, 0, "50%s of %d..."},
      {"file name shown without its path", "Opening file %s", "/some/dir/pic.png", 1, 0,
       "Opening file pic.png..."},
      {"only the first %s takes the name", "%s at 100%% and %s %d", "a/b", 0, 0,
       "b at 100% and %s %d"},
      {"long text cut before the ellipsis", std::string(600, 'x'), nullptr, 1, 0,
       std::string(511, 'x') + "..."},
      {"long text printed whole without it", std::string(600, 'y'), nullptr, 0, 0,
       std::string(600, 'y')},
      {"quiet mode prints nothing", "Opening file %s", "f", 1, 1, ""},
  };
  SetConsoleFlush(1);
  for (const Case& c : cases) {
    TagItem quiet[2] = {{ATTR_QUIET, static_cast<uintptr_t>(c.quiet)}, {ATTR_DONE, 0}};
    SetGlobalAttrs(nullptr, quiet);
    SetConsoleLineOpen(0);
    testing::internal::CaptureStdout();
    PrintProgress(c.format.c_str(), c.fileName, c.ellipsis);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected) << c.name;
  }
  TagItem loud[2] = {{ATTR_QUIET, 0}, {ATTR_DONE, 0}};
  SetGlobalAttrs(nullptr, loud);

  // A progress line whose step failed (no closing word) is ended by the
  // next output; one that got its word is not ended again, and the word
  // follows "..." even where the line's text did not print one.
  SetConsoleLineOpen(0);
  testing::internal::CaptureStdout();
  PrintProgress("Loading brush %s", "a.png", 0);
  PrintProgress("Loading brush %s", "b.png", 0);
  PrintDone();
  PrintProgress("Opening font %s", "topaz", 1);
  PrintToConsole("next\n");
  PrintToConsole("last\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Loading brush a.png\nLoading brush b.png...done\nOpening font topaz...\nnext\nlast\n");
  SetConsoleFlush(0);
}

// ---- Calls by name and the script position ----

std::vector<std::string> seenArgs;

int recordArgs(VmState* L) {
  seenArgs.clear();
  for (int i = 1; i <= VmGetTop(L); i++) {
    int type = VmType(L, i);
    std::string text = VmTypeName(L, type);
    if (type == VM_TYPE_NUMBER || type == VM_TYPE_STRING)
      text += std::string(":") + VmToString(L, i);
    if (type == VM_TYPE_LIGHTUSERDATA) text += VmToUserdata(L, i) != nullptr ? ":set" : ":null";
    seenArgs.push_back(text);
  }
  VmPushNumber(L, 7);
  VmPushNumber(L, 8);
  return 2;
}

int failCommand(VmState*) { return ERR_WRITE; }

TEST(VocabTest, CallScriptFunctionByName) {
  PlayerHarness player;
  VmState* L = player.L;
  VmPushString(L, "callback");
  VmPushCClosure(L, recordArgs, 0);
  VmSetTable(L, VM_GLOBALS_INDEX);
  VmPushString(L, "failing");
  VmPushCClosure(L, failCommand, 0);
  VmSetTable(L, VM_GLOBALS_INDEX);

  int marker = 0;
  ObjectId automatic{&marker, 0};
  ObjectId numbered{nullptr, 42};
  const ScriptCallArg args[] = {
      {SCRIPT_ARG_INT, static_cast<uintptr_t>(intptr_t{-5})},
      {SCRIPT_ARG_UINT, uintptr_t{4000000000u}},
      {SCRIPT_ARG_STRING, reinterpret_cast<uintptr_t>("text")},
      {SCRIPT_ARG_NIL, 0},
      {SCRIPT_ARG_POINTER, reinterpret_cast<uintptr_t>(&marker)},
      {SCRIPT_ARG_OBJECTID, reinterpret_cast<uintptr_t>(&automatic)},
      {SCRIPT_ARG_OBJECTID, reinterpret_cast<uintptr_t>(&numbered)},
  };
  int top = VmGetTop(L);
  EXPECT_EQ(CallScriptFunction(L, "CallBack", 1, 7, args), 0);  // the name is lower-cased
  const std::vector<std::string> expected = {"number:-5", "number:4000000000", "string:text",
                                             "nil",       "userdata:set",      "userdata:set",
                                             "number:42"};
  EXPECT_EQ(seenArgs, expected);
  ASSERT_EQ(VmGetTop(L), top + 1);  // one result kept
  EXPECT_EQ(VmToNumber(L, -1), 7);
  VmSetTop(L, top);

  EXPECT_EQ(CallScriptFunction(L, "Failing", 0, 0, nullptr), ERR_WRITE);
  VmSetTop(L, top);
  EXPECT_EQ(CallScriptFunction(nullptr, "callback", 0, 0, nullptr), 0);
}

struct Position {
  std::string name;
  int32_t line = 0;
};
Position probed;

int probePosition(VmState* L) {
  const char* name = GetCurrentScriptName(L);
  probed.name = name != nullptr ? name : "(null)";
  probed.line = GetCurrentScriptLine(L);
  return 0;
}

TEST(VocabTest, ScriptNameAndLineThroughTheLineMap) {
  // The probe runs at line 12 of the chunk source "main.qms".
  const std::string script =
      ".source \"@main.qms\"\n"
      ".line 12\n"
      "GETGLOBAL 0, \"probe\"\n"
      "CALL 0, 1, 1\n"
      "RETURN 0, 1, 0\n";
  auto entry = [](const char* source, int32_t first, int32_t last, int32_t offset,
                  const char* file) {
    SourceLineEntry e{};
    e.firstLine = first;
    e.lastLine = last;
    e.lineOffset = offset;
    StrCopyBounded(e.chunkSource, sizeof e.chunkSource, source);
    StrCopyBounded(e.fileName, sizeof e.fileName, file);
    return e;
  };
  struct Case {
    const char* name;
    const char* scriptName;
    double beginLine;
    std::vector<SourceLineEntry> map;
    std::string expectedName;
    int32_t expectedLine;
  };
  const std::vector<Case> cases = {
      {"plain script", "main.qms", 1, {}, "main.qms", 12},
      {"plain script from a later line", "main.qms", 5, {}, "main.qms", 8},
      {"plain script with includes",
       "main.qms",
       1,
       {entry("main.qms", 3, 5, 0, "a.qms"), entry("other", 1, 9, 0, "b.qms")},
       "main.qms",
       15},
      {"linked sources",
       ":none:",
       0,
       {entry("other", 1, 30, 0, "b.qms"), entry("main.qms", 10, 20, 4, "inc.qms")},
       "inc.qms",
       7},
      {"linked sources, no entry holds the line",
       ":none:",
       0,
       {entry("main.qms", 13, 20, 0, "inc.qms")},
       "unknown",
       -1},
  };
  PlayerHarness player;
  VmState* L = player.L;
  VmPushString(L, "probe");
  VmPushCClosure(L, probePosition, 0);
  VmSetTable(L, VM_GLOBALS_INDEX);
  for (const Case& c : cases) {
    std::vector<SourceLineEntry> map = c.map;
    for (size_t i = 0; i + 1 < map.size(); i++) map[i].next = &map[i + 1];
    SetSourceLineMap(map.empty() ? nullptr : map.data());
    VmSetRegistryString(L, "script", c.scriptName);
    VmSetRegistryNumber(L, "beginline", c.beginLine);
    ResetErrorLocation();
    probed = Position{};
    std::string error;
    ASSERT_EQ(player.Run(script, &error), 0) << c.name << ": " << error;
    EXPECT_EQ(probed.name, c.expectedName) << c.name;
    EXPECT_EQ(probed.line, c.expectedLine) << c.name;
  }
  SetSourceLineMap(nullptr);
  EXPECT_EQ(GetCurrentScriptName(nullptr), nullptr);
  EXPECT_EQ(GetCurrentScriptLine(nullptr), -1);
}

}  // namespace
