// The player's start-up records, shared by the option reader, the applet
// reader, the script loader, the preload and shut-down (private to the
// runtime folder; other folders reach the player through runtime.h).
//
// Invariant: both records are allocated zero-filled by PlayerMain and freed
// only by ShutdownPlayer; every list hanging off them is owned by them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "engine/engine.h"
#include "runtime/runtime.h"

constexpr size_t HEADER_TEXT_SIZE = 256;
constexpr size_t START_HEADER_SIZE = 2048;
constexpr int32_t PLAYER_VERSION_MAJOR = 8;
constexpr int32_t PLAYER_VERSION_MINOR = 0;
constexpr int32_t POSITION_UNSET = -100000;  // CENTER: no position given

// Backfill of a display: copied as one block between the options, the
// header and the display description.
struct BackfillSpec {
  int32_t kind;  // -1 not given, 0 none, 1 colour, 2 gradient, 3 texture, 4 picture
  int32_t startColor;
  int32_t endColor;
  int32_t x;
  int32_t y;
  int32_t brush;
  int32_t scalePicture;
  int32_t transparentColor;
  char imageFile[PLAYER_PATH_SIZE];
  int32_t smoothScale;
};

struct HeaderGradient {
  int32_t kind;
  double values[4];
  int32_t colorCount;
  uint32_t colors[16];
  double positions[16];
};

struct DisplayRegion5 {
  int32_t type, x, y, width, height;
};

// The payload of a declared display (kind 10).
struct DisplayDescription {
  char title[HEADER_TEXT_SIZE];
  int32_t bgpic;
  int32_t x, y, width, height;
  int32_t color;
  uint32_t flags;
  uint32_t flags2;
  int32_t notKept;
  int32_t scaleWidth, scaleHeight;
  double scaleFactor;
  int32_t sizeRegionCount;
  DisplayRegion5* sizeRegions;
  int32_t dragRegionCount;
  DisplayRegion5* dragRegions;
  int32_t fillStyle;
  int32_t keptWord;
  int32_t keptShort;
  int32_t textureBrush, textureX, textureY;
  HeaderGradient gradient;
  int32_t orientation;
  int32_t monitor;
  int32_t menu;  // -1 none
  int32_t displayMode;
  int32_t screenWidth, screenHeight, screenDepth;
  int32_t desktop;
  int32_t hideTitleBar;
  int32_t restoreWidth, restoreHeight;
  BackfillSpec backfill;
  char xserver[256];
};

// Payloads of the simpler kinds, as the header gives them.
struct PicturePayload {  // background picture (kind 0)
  int32_t fillStyle;
  int32_t fillColor;
  int32_t keptWord;
  int32_t keptShort;
  int32_t textureBrush, textureX, textureY;
  HeaderGradient gradient;
  int32_t scaleWidth, scaleHeight, smooth;
};
struct ImagePayload {  // brush (1), anim (2), sprite (7)
  int32_t width, height, x, y;
  int32_t globalAlpha;  // -1 none
  int32_t hardware;
  int32_t scaleWidth, scaleHeight, smooth;
  int32_t display;
  int32_t frames, framesPerRow;
  int32_t fromDisk, skipLoopFrames, deinterlace;
  int32_t cache;  // caches its picture for later records
  int32_t cacheAlpha;
  int32_t cachedLoad;  // loads from the cache
};
struct ButtonPayload {  // button (5)
  int32_t x1, y1, x2, y2;
};
struct TagEntry {  // plug-in requirement tags (12)
  TagEntry* next;
  char* name;
  int32_t type;  // 0 number
  double number;
  char* text;
};
struct MenuNode {  // menu tree (13)
  MenuNode* next;
  char* label;  // null when none
  char* id;
  char* hotkey;
  uint32_t flags;
  MenuNode* submenu;
};
struct LinkedPart {
  uint32_t offset, size, extra1, extra2;
  char* name;
  char* text;
};
struct IconEntry {  // icon images (16)
  IconEntry* next;
  int32_t kind;
  uint32_t flags;
  int32_t image, selImage;
  LinkedPart parts[2];
};
struct DirEntryNode {  // directory tree (18)
  DirEntryNode* next;
  char* name;
  int32_t isFile;
  uint32_t offset, size;
  DirEntryNode* children;
};

struct DeclaredResource {
  DeclaredResource* next;
  int32_t kind;
  int32_t id;
  int32_t linked;
  char* fileName;
  uint32_t nameOffset;
  uint32_t nameSize;
  uint64_t linkedOffset;
  uint64_t linkedSize;
  int32_t transparency;
  uint32_t flags;
  int32_t line;
  void* payload;  // by kind, see FreeDeclaredResources
  char sourceName[PLAYER_PATH_SIZE];
  char directory[PLAYER_PATH_SIZE];
  char loader[256];
  char adapter[256];
  int32_t quiet;
};

// One entry of the icon table that the applet trailer fills.
struct IconTableEntry {
  char* imageName;  // ":::chunk" name, owned
  const char* label;
  int32_t size;
  int32_t defaultImage;
  int32_t loaded;
  const uint32_t* borrowedPixels;  // lent by the applet's icon file, size x size
};
constexpr size_t ICON_TABLE_SIZE = 20;

struct PlayerRecord {
  uint8_t* bytecode;
  size_t bytecodeSize;
  char title[HEADER_TEXT_SIZE];
  char versionString[HEADER_TEXT_SIZE];
  char copyright[HEADER_TEXT_SIZE];
  char authors[HEADER_TEXT_SIZE];
  char description[HEADER_TEXT_SIZE];
  char text6[HEADER_TEXT_SIZE];
  DeclaredResource* resources;
  SourceLineEntry* lineMap;
  LinkedFileEntry* linkedFiles;
  int32_t versionMajor;
  int32_t versionMinor;
  // Display settings from the options.
  int32_t displayMode;
  int32_t screenWidth, screenHeight, screenDepth;
  int32_t winWidth, winHeight;
  int32_t scaleWidth, scaleHeight;
  double scaleFactor;
  int32_t monitor;
  BackfillSpec backfill;
  int32_t hideTitleBar;
  uint32_t windowFlags;
  int32_t appletLoaded;
  char xserver[256];
  uint8_t* secondScript;  // never filled by this player
  uint32_t runtimeSettings;
  uint32_t runtimeSettings2, runtimeSettings3;
  int32_t runtimeSettingsByte;
};

// ---- Globals of the run ----
struct PlayerGlobals {
  PlayerRecord* record;
  PlayerRunContext* context;
  VmState* state;
  uint64_t appendedOffset;
  int32_t appended;
  int32_t runEnding;
  double progressStep;
  double progressValue;
  char* previousDirectory;  // before the change into the applet's directory
  // Option values kept for later steps (owned).
  char* skipList;  // SplitBarList form
  char* requireList;
  char* requiredTags;
  char* constants;
  int32_t noChdir;
  int32_t noDebug;
  int32_t debugDevice;  // DEBUGDEVICE given
  int32_t overridePlacement;
  int32_t utf8Script;  // 1 unless ENCODING iso8859_1
  char audioDevice[256];
  char tempDir[PLAYER_PATH_SIZE];
  // The applet container actually read: the applet path (and its appended
  // offset), or the inflated temporary file of a compressed one (offset 0).
  char containerPath[PLAYER_PATH_SIZE];
  uint64_t containerBase;
  // Header display overrides; not-given words are -1.
  int32_t overrideMode;
  int32_t overrideScreenWidth, overrideScreenHeight, overrideScreenDepth;
  int32_t overrideDesktop;
  BackfillSpec overrideBackfill;
  int32_t overrideHideTitleBar;
  IconTableEntry icons[ICON_TABLE_SIZE];
};
extern PlayerGlobals player;

// Opens a file for reading; on failure *error is ERR_MEM when memory ran
// out, else missingError with the name as error argument.
StreamHandle* OpenForReading(const char* name, ErrorCode missingError, ErrorCode* error);

// InflatePackedFile, with a file that could not be opened or created for
// want of memory reported as ERR_MEM.
ErrorCode InflateContainer(const char* source, uint64_t offset, const char* destination,
                           void* buffer, size_t bufferSize, uint64_t* packedSize,
                           uint64_t* written);

// ---- Options and the settings file (options.cpp) ----
constexpr size_t OPTION_VALUE_SLOTS = 112;
constexpr size_t ARGUMENT_LINE_MAX = 4096;
// Slot 0 holds the applet named on the command line. A switch stores 1, an
// option with an argument a pointer to its text (kept in the pool).
struct OptionValues {
  uintptr_t slot[OPTION_VALUE_SLOTS] = {};
  std::deque<std::string> pool;
  const char* Text(size_t index) const { return reinterpret_cast<const char*>(slot[index]); }
  void SetText(size_t index, const std::string& text) {
    pool.push_back(text);
    slot[index] = reinterpret_cast<uintptr_t>(pool.back().c_str());
  }
};
// Joins argv[1..] into one line (options as they are, others quoted).
ErrorCode JoinArguments(int argc, char** argv, char** line);
// Fills values and appends unmatched keys to the context's list.
ErrorCode ParseArgumentLine(const char* line, OptionValues* values, PlayerRunContext* context);
ErrorCode ParseSettingsText(const char* text, OptionValues* values, PlayerRunContext* context);
ErrorCode ApplyPlayerDefaults(const OptionValues* values, PlayerRunContext* context,
                              PlayerRecord* record);
// Opens the DEBUGDEVICE given so far, so that an error in the options
// themselves is reported there too (and not in a requester).
void ApplyDebugDeviceOption(const OptionValues* values);
ErrorCode ReadTextFileUtf8(const char* name, char** text, size_t* length);
char* SplitBarList(const char* text);
// The settings file's name: the file part's extension replaced by ".ini".
void MakeSettingsName(const char* appletPath, char* buffer, size_t size);
void FreeUnmatchedOptions(PlayerRunContext* context);
void InitBackfillSpec(BackfillSpec* spec);

// ---- Applet container and header (applet.cpp) ----
// Walks the tags of a start header from byte 4; stops at the first other
// tag or at the bytes actually read.
void WalkStartHeader(const uint8_t* buffer, size_t length, PlayerRecord* record);
ErrorCode ReadAppletHeader(VmState* L, PlayerRunContext* context, PlayerRecord* record);
int CheckRequiredVersion(int32_t major, int32_t minor);
int MakeLinkedFileName(const PlayerRunContext* context, const DeclaredResource* record,
                       char* buffer, size_t size);
void FreeIconTable();

// ---- Script loading and records (scriptload.cpp) ----
ErrorCode LoadAppletScript(VmState* L, PlayerRunContext* context, PlayerRecord* record,
                           uint32_t targetBits);
ErrorCode DefineConstantsText(VmState* L, const char* text);
void ConvertRunPathsToLatin1(VmState* L, PlayerRunContext* context, PlayerRecord* record);
DeclaredResource* AddDeclaredResource(PlayerRecord* record, int32_t kind, int32_t id);
ErrorCode AddDefaultDisplay(PlayerRecord* record, const char* title);
void InitDisplayDescription(DisplayDescription* description);
void FreeDeclaredResources(DeclaredResource* list);
ErrorCode AddLinkedFont(PlayerRecord* record, const char* name, int isFont, const char* source,
                        uint64_t offset, uint64_t size);
// A new temporary file, deleted at shut-down; null with *error on failure.
const char* CreateTempFileEntry(ErrorCode* error);
void DeleteTempFiles();
void SetScriptName(VmState* L, const char* name, int32_t line);
void FreeLineMap(PlayerRecord* record);
void FreeLinkedFiles(PlayerRecord* record);
ErrorCode AdvanceStartupProgress();

// ---- Preload (preload.cpp) ----
ErrorCode PreloadDeclaredResources(VmState* L, PlayerRunContext* context, PlayerRecord* record);
ErrorCode ParseRequiredTags(VmState* L, const char* text, const char* plugin, int* count);

// ---- Start-up and shut-down (startup.cpp, shutdown.cpp) ----
// Through the installed composition (SetPlayerComposition, composition.cpp):
// the command libraries open in their fixed order and free in reverse; the
// folders' context records are built before the VM opens and freed after
// it closed, in reverse.
ErrorCode OpenPlayerLibraries(VmState* L);
void FreePlayerLibraries(VmState* L);
void InitFolderContexts();
void FreeFolderContexts();
// The first display, opened by the display library (nothing without a
// composition), and the hook that polls events while the script runs.
ErrorCode OpenPlayerFirstDisplay(VmState* L, int quiet);
VmHook GetPlayerEventPollHook();
// The plug-in manager's steps (PlayerPluginSteps). Without them the run
// has no plug-ins: none is counted, unpacked, loaded or freed, and the
// applet's request for one fails (ERR_REQUIREPLUGIN with its name).
ErrorCode ScanPlayerPlugins(const char* programDir, int appended, const char* skipList,
                            int32_t* count);
ErrorCode LoadPlayerPluginPack(const char* programPath, uint64_t* offset, int updateOffset);
ErrorCode LoadPlayerPlugins(VmState* L, const char* programDir, int appended, const char* skipList);
ErrorCode LoadPlayerPluginFile(VmState* L, const char* name, int32_t version, int32_t revision,
                               uint32_t flags, uintptr_t tag1, uintptr_t tag2);
void FreePlayerPluginLibraries(VmState* L);
void FreePlayerPlugins();
void DeletePlayerTempDirectory();
ErrorCode ReadPlayerArguments(VmState* L, PlayerRunContext* context, PlayerRecord* record, int argc,
                              char** argv);
int ShutdownPlayer(ErrorCode code, VmState* L, PlayerRunContext* context, PlayerRecord* record);

// ---- Services of the display library's requesters ----
// The applet requester: *chosen 0 when cancelled; the directory and file
// are new strings (FreeMemory) otherwise. It asks the file requester that
// the display library routes (SetFileRequesterRouting), else the native one.
ErrorCode RunFileRequester(VmState* L, const char* title, const char* pattern, char** directory,
                           char** file, int32_t* chosen);

// ---- The icon library's start-up steps ----
// The icon library installs them when it opens (null: none, and nothing
// is built). loadAppletIcon reads the icon file that the applet declares
// (a resource of kind 17) and lends its images to the icon table's slots;
// loadDefaultAppIcons, the first step of the preload, builds the
// application icon set from the slots (verbose: print progress).
struct AppIconHooks {
  ErrorCode (*loadAppletIcon)(PlayerRecord* record, PlayerRunContext* context);
  ErrorCode (*loadDefaultAppIcons)(int verbose);
};
void SetAppIconHooks(const AppIconHooks* hooks);  // null removes them
const AppIconHooks* GetAppIconHooks();            // never null
