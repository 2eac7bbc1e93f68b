// The player's portable main: PlayerMain creates the two start-up records
// and the VM, reads the options (ReadPlayerArguments), finds and opens the
// applet, loads plug-ins, reads the header, loads the script, preloads the
// declared resources, opens the first display and hands the script to the
// platform's run function. RunScriptMainLoop runs the main chunk.
//
// Invariant: every path out of PlayerMain after the VM exists passes through
// ShutdownPlayer exactly once, which is the only place an error is reported.
// The exit status tells a shell how the run ended: End's value after End;
// 128 + the signal's number after a termination signal (once the shut-down
// is done); 1 after a reported error or a failed start-up; 0 for a normal
// end, a quit request and a closed window.
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "runtime/context_private.h"
#include "runtime/player.h"
#include "runtime/runtime_private.h"

// The appended-applet record: the program's own writable copy, which the
// applet packer finds by its text and patches with the applet's offset. It
// must stay a writable global that start-up reads, so that it is kept once
// in the program and its value is never folded into the code.
unsigned char appendedAppletRecord[APPENDED_APPLET_RECORD_SIZE] = {
    'V', 'o', 'r', 'l', 'a', 's', 't', ' ', 'T', 'e', 's', 's', 'm', 'a', 'r',  'k',  ' ',  'E',
    'n', 't', 'e', 'r', 't', 'a', 'i', 'n', 'm', 'e', 'n', 't', 0,   0,   0xDE, 0xAD, 0xC0, 0xDE};

namespace {

constexpr uint32_t APPENDED_NONE = 0xDEADC0DE;
constexpr uint32_t DEFAULT_TARGET_BITS = 0x200;
constexpr int32_t DEFAULT_SOUND_SETTING = 30;
constexpr uint32_t ATTR_NOSOUND = 2;
constexpr uint32_t ATTR_SOUNDSETTING = 3;
constexpr uint32_t ATTR_FORCESOUND = 33;
constexpr int EXIT_FAILED = 1;         // a reported error or a failed start-up
constexpr int EXIT_SIGNAL_BASE = 128;  // plus the termination signal's number, as shells report it

void setAttr(uint32_t tag, uintptr_t value) {
  TagItem tags[] = {{tag, value}, {ATTR_DONE, 0}};
  SetGlobalAttrs(nullptr, tags);
}

uint32_t readBE32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The start header of a file of its own: the magic first, then (unless
// quiet) the six header texts from the first 2,048 bytes.
ErrorCode readStartHeader(PlayerRunContext* context, PlayerRecord* record) {
  ErrorCode error = 0;
  StreamHandle* file = OpenForReading(context->appletPath, ERR_FILEEXIST, &error);
  if (!file) return error;
  char magic[4];
  size_t got = ReadStream(file, magic, 4);
  CloseFileStream(file);
  if (got < 4) return ERR_READ;
  bool compressed = std::memcmp(magic, "QMZ", 4) == 0;
  if (!compressed && std::memcmp(magic, "QMA", 4) != 0) {
    SetErrorArgString(context->appletPath);
    return ERR_NOAPPLET;
  }
  if (context->quiet) return ERR_NONE;
  // Zero-filled, and walked only over the bytes actually read.
  auto* buffer = static_cast<uint8_t*>(AllocMemory(START_HEADER_SIZE, 1));
  if (!buffer) return ERR_MEM;
  uint64_t length = 0;
  if (compressed) {
    error = InflateContainer(context->appletPath, 0, nullptr, buffer, START_HEADER_SIZE, nullptr,
                             &length);
  } else if (!(file = OpenForReading(context->appletPath, ERR_FILEEXIST, &error))) {
  } else {
    length = ReadStream(file, buffer, START_HEADER_SIZE);
    CloseFileStream(file);
  }
  if (!error)
    WalkStartHeader(buffer,
                    static_cast<size_t>(length < START_HEADER_SIZE ? length : START_HEADER_SIZE),
                    record);
  FreeMemory(buffer);
  if (error) return error;
  if ((error = NativeStartupHook(context, record))) return error;
  char directory[PLAYER_PATH_SIZE];
  StrCopyBounded(directory, sizeof directory, context->programPath);
  *FindFilePart(directory) = '\0';
  int32_t count = 0;
  if ((error = ScanPlayerPlugins(directory, 0, player.skipList, &count))) return error;
  player.progressStep = count > 0 ? static_cast<double>(20.0f / static_cast<float>(count)) : 0.0;
  return ERR_NONE;
}

}  // namespace

ErrorCode ReadPlayerArguments(VmState* L, PlayerRunContext* context, PlayerRecord* record, int argc,
                              char** argv) {
  InitCrc32Table();
  ErrorCode error = OpenX11Connection();
  if (error) return error;
  GetProgramPath(context->programPath, sizeof context->programPath, 1);

  player.overrideMode = 0;
  player.overrideScreenWidth = player.overrideScreenHeight = player.overrideScreenDepth = -1;
  player.overrideDesktop = -1;
  InitBackfillSpec(&player.overrideBackfill);
  player.overrideBackfill.kind = -1;
  player.overrideHideTitleBar = 0;
  player.utf8Script = 1;
  StrCopyBounded(player.audioDevice, sizeof player.audioDevice, "default");
  OpenPlayerCatalog();

  record->displayMode = 0;
  record->screenWidth = record->screenHeight = record->screenDepth = -1;
  record->scaleFactor = 1.0;
  InitBackfillSpec(&record->backfill);
  context->soundSetting = DEFAULT_SOUND_SETTING;
  context->targetBits = DEFAULT_TARGET_BITS;

  auto* copy = static_cast<unsigned char*>(CopyLinkedAppletRecord(appendedAppletRecord));
  if (!copy) return ERR_MEM;
  uint32_t offset = readBE32(copy + 32);
  FreeMemory(copy);
  if (offset != APPENDED_NONE) {
    player.appended = 1;
    player.appendedOffset = offset;
  }

  char* line = nullptr;
  if ((error = JoinArguments(argc, argv, &line))) return error;
  OptionValues values;
  error = ParseArgumentLine(line, &values, context);
  FreeMemory(line);
  if (error) {
    ApplyDebugDeviceOption(&values);
    return error;
  }

  if (player.appended) {
    StrCopyBounded(context->appletPath, sizeof context->appletPath, context->programPath);
  } else if (values.slot[0]) {
    StrCopyBounded(context->appletPath, sizeof context->appletPath, values.Text(0));
    StrCopyBounded(context->appletArgument, sizeof context->appletArgument, values.Text(0));
  } else {
    char* directory = nullptr;
    char* file = nullptr;
    int32_t chosen = 0;
    error =
        RunFileRequester(L, "Select Quillmere applet to run", "qma", &directory, &file, &chosen);
    if (!error && !chosen) error = ERR_USERABORT;
    if (!error) {
      StrCopyBounded(context->appletPath, sizeof context->appletPath, directory ? directory : "");
      AddPart(context->appletPath, file ? file : "", sizeof context->appletPath);
    }
    FreeMemory(directory);
    FreeMemory(file);
    if (error) return error;
  }

  char settings[PLAYER_PATH_SIZE + 8];
  MakeSettingsName(context->appletPath, settings, sizeof settings);
  char* text = nullptr;
  error = ReadTextFileUtf8(settings, &text, nullptr);
  if (error == ERR_READFILE) {
    error = 0;
  } else if (!error) {
    error = ParseSettingsText(text, &values, context);
    FreeMemory(text);
  }
  if (!error) error = ApplyPlayerDefaults(&values, context, record);
  if (error) {
    ApplyDebugDeviceOption(&values);
    return error;
  }
  if (player.tempDir[0]) SetTempDirectory(player.tempDir);

  if (player.appended) context->quiet = 1;
  setAttr(ATTR_QUIET, static_cast<uintptr_t>(context->quiet));
  if (!context->quiet) {
    if ((error = PlatformArgumentsHook(context))) return error;
    PrintToConsole("QuillmerePlayer %d.%d [Linux] [64-bit] - the multimedia applet player\n",
                   PLAYER_VERSION_MAJOR, PLAYER_VERSION_MINOR);
    PrintToConsole("Runs compiled Quillmere applets on X11 with sound, graphics and networking.\n");
    PrintToConsole(" \n");
  }

  if ((error = InitEventQueue())) return error;
  VmSetRegistryPointer(L, "applet", record);
  VmSetRegistryPointer(L, "clargs", context);
  VmPushString(L, "inclevels");
  VmNewTable(L);
  SetTableFieldInt(L, "count", 0);
  VmRawSet(L, VM_REGISTRY_INDEX);
  VmPushString(L, "_g");
  VmPushValue(L, VM_GLOBALS_INDEX);
  VmSetTable(L, VM_GLOBALS_INDEX);

  if ((error = OpenPlayerLibraries(L))) return error;
  TagItem sound[] = {{ATTR_NOSOUND, static_cast<uintptr_t>(context->noSound)},
                     {ATTR_FORCESOUND, static_cast<uintptr_t>(context->forceSound)},
                     {ATTR_SOUNDSETTING, static_cast<uintptr_t>(context->soundSetting)},
                     {ATTR_DONE, 0}};
  SetGlobalAttrs(L, sound);
  return ERR_NONE;
}

namespace {
int32_t runMainChunk(VmState* L, void*) { return VmPCall(L, 0, 0, 0); }
}  // namespace

ErrorCode RunScriptMainLoop(VmState* L) {
  // A display adapter with its own loop drives events while the main chunk
  // runs inside it; otherwise the chunk runs as a protected call.
  return GetPluginManagerHooks()->runMainLoop(L, runMainChunk, nullptr);
}

int PlayerMain(int argc, char** argv) {
  auto* context = static_cast<PlayerRunContext*>(AllocMemory(sizeof(PlayerRunContext), 1));
  auto* record = static_cast<PlayerRecord*>(AllocMemory(sizeof(PlayerRecord), 1));
  if (!context || !record) {
    FreeMemory(context);
    FreeMemory(record);
    std::printf("Not enough memory.\n");
    return EXIT_FAILED;
  }
  InitFolderContexts();
  player = PlayerGlobals();
  player.record = record;
  player.context = context;
  SetAppletTitleSource(GetAppletTitle);
  record->versionMajor = PLAYER_VERSION_MAJOR;
  record->versionMinor = PLAYER_VERSION_MINOR;
  VmState* L = VmOpenState();
  if (!L) {
    std::printf("Not enough memory.\n");
    FreeMemory(context);
    FreeMemory(record);
    player.record = nullptr;
    player.context = nullptr;
    FreeFolderContexts();
    return EXIT_FAILED;
  }
  player.state = L;
  VmRegisterBaseFunctions(L);
  vmExitValue = 0;

  ErrorCode error = ReadPlayerArguments(L, context, record, argc, argv);
  char programDirectory[PLAYER_PATH_SIZE];
  StrCopyBounded(programDirectory, sizeof programDirectory, context->programPath);
  *FindFilePart(programDirectory) = '\0';
  if (!error && player.appended)
    error = LoadPlayerPluginPack(context->programPath, &player.appendedOffset, 1);
  if (!error && !player.appended) error = readStartHeader(context, record);
  if (!error) error = LoadPlayerPlugins(L, programDirectory, player.appended, player.skipList);
  if (!error) error = ReadAppletHeader(L, context, record);
  if (!error) error = LoadAppletScript(L, context, record, context->targetBits);
  if (!error && GetAppIconHooks()->loadAppletIcon)
    error = GetAppIconHooks()->loadAppletIcon(record, context);
  if (!error && context->compileFlag) error = ERR_PLAYERCOMP;
  if (!error) {
    // The loaded main function stays at stack index 1 through the preload.
    VmSetTop(L, 1);
    VmSetGatedHook(L, GetPlayerEventPollHook());
    error = PreloadDeclaredResources(L, context, record);
  }
  if (!error) error = OpenPlayerFirstDisplay(L, context->quiet);
  bool ended = false;  // by End or a quit request: nothing is reported
  if (!error) {
    setAttr(ATTR_SCRIPTRUNNING, 1);
    VmSetTop(L, 1);
    error = RunPlatformMainLoop(L, RunScriptMainLoop);
    if (error == ERR_USERABORT) {
      ended = true;
      error = ERR_NONE;
    }
  }
  ShutdownPlayer(error, L, context, record);
  if (int signal = TakeTerminationSignal()) return EXIT_SIGNAL_BASE + signal;
  if (ended) return vmExitValue;
  // A cancelled applet requester is a quit request, not a failure.
  return error > 0 && error != ERR_USERABORT ? EXIT_FAILED : 0;
}

void SetAppIconHooks(const AppIconHooks* hooks) {
  runtimeContext.appIconHooks = hooks ? *hooks : AppIconHooks{};
}

const AppIconHooks* GetAppIconHooks() { return &runtimeContext.appIconHooks; }

void SetPrefsFileHooks(const PrefsFileHooks* hooks) {
  runtimeContext.prefsFileHooks = hooks ? *hooks : PrefsFileHooks{};
}

const PrefsFileHooks* GetPrefsFileHooks() { return &runtimeContext.prefsFileHooks; }
