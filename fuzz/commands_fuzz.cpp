// libFuzzer target over the script surface: every command of the player's
// command tables, called protected with hostile values of every kind (NaN,
// the infinities, 1e30, the edges of 32-bit and 53-bit integers, -0, huge,
// empty and invalid UTF-8 strings, odd tables, functions, userdata...). Each
// input is one run: the libraries open over the headless test display and
// test audio adapters, a few objects of each kind are made, the input
// decodes into a sequence of calls, and the run shuts down as the player's
// does. A command that refuses its arguments with an error is the expected
// outcome; a sanitizer report, a crash, a leak, a time-out or an allocation
// past libFuzzer's limit is a finding.
//
// Every file name the fuzzer builds is relative and free of '/' and ':', and
// the working directory is a sandbox below the scratch directory before
// every call, so file commands cannot reach beyond it (".." is the
// sandbox's own parent, still inside the scratch directory).
//
// Variables for a person replaying a finding: QM_FUZZ_LIST_COMMANDS=1
// prints the commands called and the ones left out, QM_FUZZ_TRACE=1 each
// call with its arguments, QM_FUZZ_KEEP_STDOUT=1 keeps what the commands
// print.
#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "fuzz/container_fuzz.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "runtime/player.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"
#include "root/root.h"
#include "tools/qmasm/qmasm.h"

namespace {

namespace fs = std::filesystem;

// Commands that are never called, each with the reason. They wait by
// design for what never comes in a headless run (input, a requester's
// answer, a time span the script gives), reach beyond the sandbox (other
// programs, devices, the network beyond loopback), or stop this process.
struct Skipped {
  const char* name;
  const char* reason;
};
const Skipped LEFT_OUT[] = {
    {"Run", "starts another program"},
    {"Execute", "starts another program"},
    {"OpenURL", "starts the desktop's browser"},
    {"ShowNotification", "talks to the desktop's notification service"},
    {"Wait", "sleeps for the time it is given"},
    {"WaitTimer", "sleeps until the timer reaches the time it is given"},
    {"WaitEvent", "waits for an event that a headless run never sends"},
    {"WaitKeyDown", "waits for a key"},
    {"WaitLeftMouse", "waits for a mouse button"},
    {"WaitRightMouse", "waits for a mouse button"},
    {"WaitMidMouse", "waits for a mouse button"},
    {"WhileKeyDown", "waits while a key is down"},
    {"WhileMouseDown", "waits while a mouse button is down"},
    {"WhileRightMouseDown", "waits while a mouse button is down"},
    {"InKeyStr", "waits for typed keys"},
    {"ConsolePrompt", "reads standard input"},
    {"DebugPrompt", "reads standard input"},
    {"SystemRequest", "waits for the user's answer in a requester"},
    {"ColorRequest", "waits for the user's answer in a requester"},
    {"ListRequest", "waits for the user's answer in a requester"},
    {"FontRequest", "waits for the user's answer in a requester"},
    {"PathRequest", "waits for the user's answer in a requester"},
    {"FileRequest", "waits for the user's answer in a requester"},
    {"StringRequest", "waits for the user's answer in a requester"},
    {"OpenConnection", "connects to any host it is given"},
    {"CreateServer", "listens on a port of this machine"},
    {"CreateUDPObject", "binds a port of this machine"},
    {"SendUDPData", "sends to any host it is given"},
    {"ResolveHostName", "asks the name service"},
    {"ToIP", "asks the name service"},
    {"ToHostName", "asks the name service"},
    {"IsOnline", "contacts the probe host"},
    {"DownloadFile", "connects to any host it is given"},
    {"UploadFile", "connects to any host it is given"},
    {"OpenSerialPort", "opens a serial device"},
};

bool listed(const Skipped* list, size_t count, const char* name) {
  for (size_t i = 0; i < count; i++)
    if (CompareNoCase(list[i].name, name) == 0) return true;
  return false;
}

struct Command {
  const char* name;
  VmCommandFunction function;
};

// The commands of every registered library, in opening order, and those
// of them the fuzzer calls (less those left out); found once, from the
// first run's tables (which are static).
std::vector<Command> allCommands, commands;
// The values of the registered constants, numbers and texts.
std::vector<double> constantNumbers;
std::vector<std::string> constantTexts;
// Two script functions given as arguments and handlers: one returns, the
// other raises.
std::vector<uint8_t> returningChunk, raisingChunk;

std::string sandbox, files;
// libFuzzer's working directory, where relative corpus and artifact paths
// lead: each run ends back in it.
std::string fuzzerDirectory;

void collectCommands() {
  for (const LibraryEntry* lib = GetLibraryList(); lib; lib = lib->next) {
    if (!lib->commands) continue;
    for (const CommandTableEntry* e = lib->commands; e->name; e++) {
      if (!e->function) continue;
      allCommands.push_back({e->name, e->function});
      if (!listed(LEFT_OUT, std::size(LEFT_OUT), e->name))
        commands.push_back({e->name, e->function});
    }
  }
  if (std::getenv("QM_FUZZ_LIST_COMMANDS")) {
    for (const Command& c : commands) std::fprintf(stderr, "call %s\n", c.name);
    for (const Skipped& s : LEFT_OUT) std::fprintf(stderr, "left out %s: %s\n", s.name, s.reason);
  }
}

void collectConstants(VmState* L) {
  VmPushString(L, "constants");
  VmRawGet(L, VM_REGISTRY_INDEX);
  if (VmType(L, -1) == VM_TYPE_TABLE) {
    VmPushNil(L);
    while (VmNext(L, -2)) {
      if (VmType(L, -1) == VM_TYPE_NUMBER)
        constantNumbers.push_back(VmToNumber(L, -1));
      else if (VmType(L, -1) == VM_TYPE_STRING)
        constantTexts.emplace_back(VmToString(L, -1));
      VmSetTop(L, -2);
    }
  }
  VmSetTop(L, 0);
  if (constantNumbers.empty()) constantNumbers.push_back(0);
  if (constantTexts.empty()) constantTexts.emplace_back("");
}

void assemble(const char* text, std::vector<uint8_t>* chunk) {
  std::string error;
  if (!qmasm::AssembleChunk(text, chunk, &error)) {
    std::fprintf(stderr, "qmasm: %s\n", error.c_str());
    std::abort();
  }
}

// The scratch directory holds the plug-ins folder with the two test
// adapters, the run's temporary folder, and the sandbox in which files are
// made; HOME points into the sandbox so preferences stay there too.
void prepareOnce() {
  // The library table, the plug-in host and the folders' hooks, as the
  // player's main installs them.
  InstallPlayerComposition();
  std::string root = containerfuzz::ScratchDirectory();
  fs::create_directories(root + "/Plugins");
  for (const char* module : {"testdisplay", "testaudio"})
    fs::copy_file(std::string(QM_FUZZ_PLUGIN_DIR) + "/" + module + ".qmp",
                  root + "/Plugins/" + module + ".qmp", fs::copy_options::overwrite_existing);
  fuzzerDirectory = fs::current_path().string();
  sandbox = root + "/box";
  files = sandbox + "/files";
  assemble(".params 0\nRETURN 0 1\n", &returningChunk);
  assemble(".params 0\nLOADNIL 0 0\nGETTABLE 0 0 0\nRETURN 0 1\n", &raisingChunk);
  // The commands' printing would bury libFuzzer's report.
  if (!std::getenv("QM_FUZZ_KEEP_STDOUT")) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  }
}

// What a command's surroundings may have changed: the working directory,
// the environment that names the display and the home folder.
void resetSurroundings() {
  std::error_code ignored;
  fs::create_directories(files, ignored);
  if (chdir(files.c_str()) != 0) std::abort();
  setenv("DISPLAY", ":9999", 1);  // no X server may be reached
  setenv("HOME", sandbox.c_str(), 1);
}

const char* readChunk(VmState*, void* data, size_t* size) {
  auto** chunk = static_cast<const std::vector<uint8_t>**>(data);
  if (*chunk == nullptr) {
    *size = 0;
    return nullptr;
  }
  const std::vector<uint8_t>* bytes = *chunk;
  *chunk = nullptr;
  *size = bytes->size();
  return reinterpret_cast<const char*>(bytes->data());
}

void pushFunction(VmState* L, const std::vector<uint8_t>& chunk) {
  const std::vector<uint8_t>* source = &chunk;
  if (VmLoad(L, readChunk, &source, "=fuzz") != 0) VmPushNil(L);
}

// A command's returned error becomes a raise, as the interpreter makes it.
int raiseReturned(VmState* L) {
  ErrorCode err = VmCall(L, VmGetTop(L) - 1, VM_MULTRET);
  if (err != 0) VmRaiseError(L, err);
  return 0;
}

ErrorCode call(VmState* L, VmCommandFunction command, int nargs) {
  VmPushCClosure(L, raiseReturned, 0);
  VmInsert(L, -(nargs + 1));
  VmPushCClosure(L, command, 0);
  VmInsert(L, -(nargs + 1));
  ErrorCode status = VmPCall(L, nargs + 1, 0, 0);
  VmSetTop(L, 0);
  return status;
}

// Calls a command by name with numbers, strings, named constants and nils
// (typed as "n", "s", "c" and "-" in kinds) for setting up the run's
// objects.
void setUp(VmState* L, const char* name, const char* kinds, std::vector<std::string> args) {
  for (const Command& c : allCommands) {
    if (CompareNoCase(c.name, name) != 0) continue;
    for (size_t i = 0; kinds[i]; i++) {
      if (kinds[i] == 'n')
        VmPushNumber(L, std::strtod(args[i].c_str(), nullptr));
      else if (kinds[i] == 's')
        VmPushString(L, args[i].c_str());
      else if (kinds[i] == 'c') {
        const char* text = nullptr;
        double number = 0;
        if (!VmFindConstant(L, args[i].c_str(), &text, &number)) std::abort();
        VmPushNumber(L, number);
      } else
        VmPushNil(L);
    }
    call(L, c.function, static_cast<int>(std::strlen(kinds)));
    return;
  }
}

// The automatic identifier of an object made at set-up (a light userdata),
// kept so that later calls can name it.
void* automaticBrush = nullptr;

void makeObjects(VmState* L) {
  // Files the loading commands can read: a short sound and a data file.
  FILE* f = std::fopen("f.bin", "wb");
  if (f) {
    std::fputs("0123456789abcdef\n", f);
    std::fclose(f);
  }
  f = std::fopen("a.wav", "wb");
  if (f) {
    // A RIFF WAVE header for 64 frames of 8-bit mono at 8000 Hz.
    const uint8_t header[] = {'R', 'I', 'F', 'F', 100, 0,   0,   0,  'W', 'A', 'V',
                              'E', 'f', 'm', 't', ' ', 16,  0,   0,  0,   1,   0,
                              1,   0,   64,  31,  0,   0,   64,  31, 0,   0,   1,
                              0,   8,   0,   'd', 'a', 't', 'a', 64, 0,   0,   0};
    std::fwrite(header, 1, sizeof header, f);
    for (int i = 0; i < 64; i++) std::fputc(128 + (i % 8) * 8, f);
    std::fclose(f);
  }
  setUp(L, "CreateDisplay", "nn", {"1", "0"});
  VmPushNumber(L, 1);
  OpenPlayerFirstDisplay(L, 1);
  VmSetTop(L, 0);
  setUp(L, "EnableLayers", "", {});
  setUp(L, "CreateBrush", "nnnn", {"1", "24", "16", "16711680"});
  setUp(L, "CreateBrush", "nnn", {"2", "8", "8"});
  setUp(L, "CreateBGPic", "nnnn", {"1", "32", "24", "255"});
  setUp(L, "DisplayBrush", "nnn", {"1", "4", "4"});
  setUp(L, "Box", "nnnn", {"0", "0", "10", "10"});
  setUp(L, "CreateTextObject", "ns", {"1", "text"});
  setUp(L, "CreateSprite", "ncn", {"1", "BRUSH", "1"});
  setUp(L, "CreateAnim", "nnnnnn", {"1", "1", "8", "8", "2", "2"});
  setUp(L, "LoadSample", "ns", {"1", "a.wav"});
  setUp(L, "OpenMusic", "ns", {"1", "a.wav"});
  setUp(L, "OpenFont", "nsn", {"1", ":::default_sans", "12"});
  setUp(L, "OpenFile", "nsc", {"1", "f.bin", "MODE_READWRITE"});
  setUp(L, "AllocMem", "nn", {"1", "64"});
  setUp(L, "StartPath", "n", {"1"});
  setUp(L, "StartTimer", "n", {"1"});
  setUp(L, "CreateClipRegion", "ncnnnn", {"1", "BOX", "0", "0", "8", "8"});
  // An automatic identifier: CreateBrush(Nil, ...) returns it.
  for (const Command& c : allCommands) {
    if (CompareNoCase(c.name, "CreateBrush") != 0) continue;
    VmPushCClosure(L, c.function, 0);
    VmPushNil(L);
    VmPushNumber(L, 4);
    VmPushNumber(L, 4);
    if (VmPCall(L, 3, 1, 0) == 0 && VmType(L, -1) == VM_TYPE_LIGHTUSERDATA)
      automaticBrush = VmToUserdata(L, -1);
    VmSetTop(L, 0);
  }
}

// Numbers no integer holds, the edges of the integer ranges and a few
// ordinary values that reach past the argument checks.
const double HOSTILE_NUMBERS[] = {std::nan(""),
                                  INFINITY,
                                  -INFINITY,
                                  1e30,
                                  -1e30,
                                  2147483648.0,
                                  -2147483648.0,
                                  2147483647.0,
                                  -2147483649.0,
                                  4294967296.0,
                                  9007199254740994.0,
                                  -0.0,
                                  0,
                                  1,
                                  -1,
                                  2,
                                  3,
                                  0.5,
                                  -0.5,
                                  5e-324,
                                  1e-300,
                                  255,
                                  256,
                                  65535,
                                  65536,
                                  100,
                                  1000,
                                  1e9,
                                  16777215,
                                  4294967295.0};

// Texts that break naive readers: empty, invalid and truncated UTF-8,
// overlong forms, surrogates, format directives, numbers with and without
// a percent sign, and names of the sandbox's files.
const char* const HOSTILE_TEXTS[] = {
    "",           "\xff\xfe", "\xe2\x82", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
    "%s%s%d%n%%", "50%",      "150%",     "-5%",   "1e999",    "12",           "#BRUSH",
    "f.bin",      "a.wav",    "newfile",  ".",     "..",       "Vera",         "[b]text[/b]",
    "\n\t\r",     "ä€😀",      "*",        "#?"};

const char* const FIELD_NAMES[] = {
    "x",     "y",       "width",  "height", "type",   "id",     "color",  "size",  "name",
    "layer", "frames",  "delay",  "speed",  "mode",   "style",  "font",   "text",  "align",
    "loop",  "volume",  "pitch",  "source", "offset", "data",   "format", "count", "file",
    "title", "timeout", "hidden", "scalex", "scaley", "rotate", "anchorx"};

constexpr int MAX_TABLE_DEPTH = 3;
constexpr size_t MAX_RAW_TEXT = 96;
constexpr size_t MAX_CALLS = 48;
constexpr int MAX_ARGS = 9;

std::string rawText(FuzzedDataProvider& in) {
  std::string s = in.ConsumeRandomLengthString(MAX_RAW_TEXT);
  for (char& c : s)
    if (c == '/' || c == ':' || c == '~') c = '_';
  return s;
}

void pushValue(VmState* L, FuzzedDataProvider& in, int depth);

// A table of random fields: names from the option readers' vocabulary or
// small indices, values of any kind; sometimes holding itself.
void pushTable(VmState* L, FuzzedDataProvider& in, int depth) {
  VmNewTable(L);
  int n = in.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < n && in.remaining_bytes() > 0; i++) {
    if (in.ConsumeBool())
      VmPushString(L,
                   FIELD_NAMES[in.ConsumeIntegralInRange<size_t>(0, std::size(FIELD_NAMES) - 1)]);
    else
      VmPushNumber(L, in.ConsumeIntegralInRange(-1, 4));
    if (depth < MAX_TABLE_DEPTH)
      pushValue(L, in, depth + 1);
    else
      VmPushNumber(L, HOSTILE_NUMBERS[in.ConsumeIntegralInRange<size_t>(0, 29)]);
    VmRawSet(L, -3);
  }
  if (in.ConsumeIntegralInRange(0, 7) == 0) {
    VmPushString(L, "self");
    VmPushValue(L, -2);
    VmRawSet(L, -3);
  }
}

void pushValue(VmState* L, FuzzedDataProvider& in, int depth) {
  switch (in.ConsumeIntegralInRange(0, 19)) {
    case 0:
      VmPushNil(L);
      break;
    case 1:
      VmPushBoolean(L, in.ConsumeBool());
      break;
    case 2:
    case 3:
      VmPushNumber(
          L, HOSTILE_NUMBERS[in.ConsumeIntegralInRange<size_t>(0, std::size(HOSTILE_NUMBERS) - 1)]);
      break;
    case 4:
    case 5:
      VmPushNumber(L, in.ConsumeIntegralInRange(-2, 12));
      break;
    case 6:
      VmPushNumber(L, 1);  // the identifier of every object made at set-up
      break;
    case 7:
      VmPushNumber(
          L, constantNumbers[in.ConsumeIntegralInRange<size_t>(0, constantNumbers.size() - 1)]);
      break;
    case 8:
      VmPushNumber(L, in.ConsumeFloatingPoint<double>());
      break;
    case 9:
    case 10:
      VmPushString(
          L, HOSTILE_TEXTS[in.ConsumeIntegralInRange<size_t>(0, std::size(HOSTILE_TEXTS) - 1)]);
      break;
    case 11: {
      std::string s = rawText(in);
      VmPushLString(L, s.data(), s.size());
      break;
    }
    case 12: {
      // A long text: 64 KiB of one letter, or of one four-byte character.
      // (A text object of a 1 MiB line takes half a minute to render under
      // the sanitizers, which is slow but not a fault.)
      std::string s;
      if (in.ConsumeBool())
        s.assign(1u << 16, 'A');
      else
        for (int k = 0; k < (1 << 14); k++) s += "\xF0\x9F\x98\x80";
      VmPushLString(L, s.data(), s.size());
      break;
    }
    case 13: {
      const std::string& s =
          constantTexts[in.ConsumeIntegralInRange<size_t>(0, constantTexts.size() - 1)];
      VmPushLString(L, s.data(), s.size());
      break;
    }
    case 14:
    case 15:
      if (depth < MAX_TABLE_DEPTH)
        pushTable(L, in, depth);
      else
        VmNewTable(L);
      break;
    case 16: {
      // A chain of nested tables, deeper than any option table goes.
      int levels = in.ConsumeIntegralInRange(2, 300);
      VmNewTable(L);
      for (int i = 1; i < levels; i++) {
        VmNewTable(L);
        VmInsert(L, -2);
        VmRawSetI(L, -2, 0);
      }
      break;
    }
    case 17:
      pushFunction(L, in.ConsumeBool() ? returningChunk : raisingChunk);
      break;
    case 18: {
      // An automatic identifier of a live object, or one no object has.
      static int nowhere;
      VmPushLightUserdata(
          L, in.ConsumeBool() && automaticBrush ? automaticBrush : static_cast<void*>(&nowhere));
      break;
    }
    default: {
      void* block = VmNewUserdata(L, in.ConsumeIntegralInRange<size_t>(0, 64));
      (void)block;
      break;
    }
  }
}

// QM_FUZZ_TRACE=1 shows each call on standard error before it runs, with
// its arguments in short, to turn a finding into a reproducer.
void trace(VmState* L, const char* name, int nargs) {
  std::string line = std::string(name) + "(";
  for (int i = 1; i <= nargs; i++) {
    if (i > 1) line += ", ";
    switch (VmType(L, i)) {
      case VM_TYPE_NUMBER: {
        char number[32];
        std::snprintf(number, sizeof number, "%.17g", VmToNumber(L, i));
        line += number;
        break;
      }
      case VM_TYPE_STRING: {
        size_t length = VmStrLen(L, i);
        const char* text = VmToString(L, i);
        line += "\"";
        for (size_t k = 0; k < length && k < 24; k++) {
          unsigned char ch = static_cast<unsigned char>(text[k]);
          char escaped[8];
          std::snprintf(escaped, sizeof escaped,
                        ch >= 32 && ch < 127 && ch != '"' ? "%c" : "\\x%02X", ch);
          line += escaped;
        }
        line += length > 24 ? "\"... (" + std::to_string(length) + " bytes)" : "\"";
        break;
      }
      case VM_TYPE_TABLE:
        line += "table";
        break;
      case VM_TYPE_NIL:
        line += "nil";
        break;
      case VM_TYPE_BOOLEAN:
        line += VmToBoolean(L, i) ? "true" : "false";
        break;
      case VM_TYPE_FUNCTION:
        line += "function";
        break;
      case VM_TYPE_LIGHTUSERDATA:
        line += "light userdata";
        break;
      default:
        line += "userdata";
        break;
    }
  }
  std::fprintf(stderr, "call %s)\n", line.c_str());
}

// Start-up's records for one run, as the player allocates them; shut-down
// frees them.
struct Run {
  PlayerRunContext* context = nullptr;
  PlayerRecord* record = nullptr;
  VmState* L = nullptr;
};

bool startRun(Run* run) {
  InitFolderContexts();
  VmResetRunState();
  ResetErrorLocation();
  SetErrorArgString("");
  SetErrorArgNumber(0);
  vmExitValue = 0;
  run->context = static_cast<PlayerRunContext*>(AllocMemory(sizeof(PlayerRunContext), 1));
  run->record = static_cast<PlayerRecord*>(AllocMemory(sizeof(PlayerRecord), 1));
  if (!run->context || !run->record) std::abort();
  player = PlayerGlobals();
  player.record = run->record;
  player.context = run->context;
  player.utf8Script = 1;
  player.noChdir = 1;
  run->record->versionMajor = 8;
  run->record->screenWidth = run->record->screenHeight = run->record->screenDepth = -1;
  run->record->scaleFactor = 1.0;
  InitBackfillSpec(&run->record->backfill);
  run->context->quiet = 1;
  run->L = VmOpenState();
  if (!run->L) std::abort();
  player.state = run->L;
  VmState* L = run->L;
  VmRegisterBaseFunctions(L);
  std::string root = containerfuzz::ScratchDirectory();
  std::string temp = root + "/tmp";
  fs::create_directories(temp);
  SetTempDirectory(temp.c_str());
  TagItem quiet[] = {{ATTR_QUIET, 1}, {ATTR_DONE, 0}};
  SetGlobalAttrs(L, quiet);
  if (InitEventQueue() != 0) std::abort();
  VmSetRegistryPointer(L, "applet", run->record);
  VmSetRegistryPointer(L, "clargs", run->context);
  if (LoadPluginsAndFormats(L, root.c_str(), 0, nullptr) != 0) std::abort();
  TagItem defer[] = {{ATTR_DEFERBITMAPS, 1}, {ATTR_DONE, 0}};
  SetGlobalAttrs(nullptr, defer);
  if (LoadPluginFile(L, "testaudio", 0, 0, 0, 0, 0) != 0) std::abort();
  defer[0].data = 0;
  SetGlobalAttrs(nullptr, defer);
  if (OpenPlayerLibraries(L) != 0) std::abort();
  VmSetTop(L, 0);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool prepared = (prepareOnce(), true);
  (void)prepared;
  resetSurroundings();
  Run run;
  startRun(&run);
  VmState* L = run.L;
  if (commands.empty()) {
    collectCommands();
    collectConstants(L);
  }
  makeObjects(L);

  FuzzedDataProvider in(data, size);
  for (size_t i = 0; i < MAX_CALLS && in.remaining_bytes() > 0; i++) {
    const Command& c = commands[in.ConsumeIntegralInRange<size_t>(0, commands.size() - 1)];
    int nargs = in.ConsumeIntegralInRange(0, MAX_ARGS);
    for (int a = 0; a < nargs; a++) pushValue(L, in, 0);
    resetSurroundings();
    TagItem raise[] = {{ATTR_RAISEERRORS, 1}, {ATTR_DONE, 0}};
    SetGlobalAttrs(nullptr, raise);
    if (std::getenv("QM_FUZZ_TRACE")) trace(L, c.name, nargs);
    call(L, c.function, nargs);
    // A command may have ended the run (End) or left the error switch
    // off; the next call starts from the run words of a running script.
    VmResetRunState();
  }
  resetSurroundings();
  ShutdownPlayer(0, L, run.context, run.record);
  player = PlayerGlobals();
  // What the run left in the sandbox goes with it.
  if (chdir(fuzzerDirectory.c_str()) != 0) std::abort();
  std::error_code ignored;
  fs::remove_all(sandbox, ignored);
  return 0;
}
