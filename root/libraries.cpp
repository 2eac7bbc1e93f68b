// The program's composition root: the table of the player's command
// libraries and the table of the folders' context records, installed into
// the runtime's start-up and shut-down. Start-up opens the libraries in
// table order and shut-down frees them in reverse; the folders' records are
// built before anything else runs and freed last, the platform's (which
// holds the X connection) after every other. The root also installs the
// plug-in host library (plugins/hostapi.h) into the plug-in system.
//
// Invariant: this file and plugins/hostapi.cpp are the only ones that
// include every service header; no other file calls every folder, and no
// folder calls this one.
#include "display/display.h"
#include "draw/draw.h"
#include "engine/engine.h"
#include "fx/fx.h"
#include "gfx/gfx.h"
#include "libs/libs.h"
#include "media/media.h"
#include "platform/linux/platform.h"
#include "plugins/hostapi.h"
#include "plugins/plugins.h"
#include "root/root.h"
#include "runtime/runtime.h"
#include "text/text.h"

namespace {

// The libraries in opening order. A library whose subsystem is not built
// yet registers only its name (open null); free is null where a library
// leaves nothing behind. The display library frees the background
// pictures too, after the displays that may show them.
struct LibraryRow {
  const char* name;
  ErrorCode (*open)(VmState* L);
  void (*free)(VmState* L);
};
const LibraryRow LIBRARY_TABLE[] = {
    {"string", OpenStringLibrary, nullptr},
    {"math", OpenMathLibrary, nullptr},
    {"graphics", OpenGraphicsLibrary, CloseGraphicsLibrary},
    {"draw", OpenDrawLibrary, FreeDrawTables},
    {"moveobject", OpenMoveObjectLibrary, nullptr},
    {"dos", OpenDosLibrary, FreeDosResources},
    {"event", OpenEventLibrary, FreeAllEvents},
    {"system", OpenSystemLibrary, FreeSystemResources},
    {"layers", OpenLayersLibrary, FreeLayerSystem},
    {"text", OpenTextLibrary, FreeTextLibrary},
    {"anim", OpenAnimLibrary, FreeAllAnims},
    {"display", OpenDisplayLibrary, CloseDisplayLibrary},
    {"sound", OpenSoundLibrary, FreeSoundLibrary},
    {"brush", OpenBrushLibrary, FreeAllBrushes},
    {"bgpic", OpenBGPicLibrary, nullptr},
    {"transitionfx", OpenTransitionFXLibrary, FreeTransitionFXLibrary},
    {"sprite", OpenSpriteLibrary, FreeAllSprites},
    {"memblock", OpenMemBlockLibrary, FreeAllMemBlocks},
    {"vectorgraphics", OpenVectorGraphicsLibrary, FreeAllPaths},
    {"icon", OpenIconLibrary, FreeAllIcons},
    {"serial", OpenSerialLibrary, FreeAllSerialPorts},
    {"network", OpenNetworkLibrary, FreeAllNetworkObjects},
    {"video", OpenVideoLibrary, FreeAllVideos},
    {"arexx", OpenArexxLibrary, nullptr},
};

// The engine keeps its state per VmState; only its run words (the quit
// and error words, the gosub stack, the error location, the exit value)
// are shared by every state and go back to their start values before a
// run. Nothing frees them after it: PlayerMain returns the exit value that
// End stored once shut-down is over.
void resetEngineRunWords() {
  VmResetRunState();
  ResetErrorLocation();
  vmExitValue = 0;
  vmLineHookDisabled = 0;
}

// The folders with mutable state, bottom to top. Init puts a folder's
// context record in its start state; Free releases whatever it still holds
// (objects, lists, handlers, connections) and leaves it in that state;
// it is null where nothing outlives the run.
struct FolderRow {
  const char* name;
  void (*init)();
  void (*free)();
};
const FolderRow FOLDER_TABLE[] = {
    {"platform", InitPlatformContext, FreePlatformContext},
    {"engine", resetEngineRunWords, nullptr},
    {"runtime", InitRuntimeContext, FreeRuntimeContext},
    {"plugins", InitPluginContext, FreePluginContext},
    {"gfx", InitGfxContext, FreeGfxContext},
    {"display", InitDisplayContext, FreeDisplayContext},
    {"draw", InitDrawContext, FreeDrawContext},
    {"text", InitTextContext, FreeTextContext},
    {"media", InitMediaContext, FreeMediaContext},
};

ErrorCode openLibraries(VmState* L) {
  for (const LibraryRow& row : LIBRARY_TABLE) {
    VmPushValue(L, VM_GLOBALS_INDEX);
    ErrorCode error = row.open ? row.open(L) : RegisterLibrary(nullptr, row.name);
    VmSetTop(L, 0);
    if (error) return error;
  }
  return ERR_NONE;
}

void freeLibraries(VmState* L) {
  for (size_t i = std::size(LIBRARY_TABLE); i-- > 0;)
    if (LIBRARY_TABLE[i].free) LIBRARY_TABLE[i].free(L);
}

void initContexts() {
  for (const FolderRow& row : FOLDER_TABLE) row.init();
}

void freeContexts() {
  for (size_t i = std::size(FOLDER_TABLE); i-- > 0;)
    if (FOLDER_TABLE[i].free) FOLDER_TABLE[i].free();
}

// The plug-in manager's steps of start-up and shut-down.
const PlayerPluginSteps PLUGIN_STEPS = {
    ScanPluginDirectory, LoadPlugins,    LoadPluginsAndFormats,    LoadPluginFile,
    FreePluginLibraries, FreeAllPlugins, RemovePluginTempDirectory};

const PlayerComposition COMPOSITION = {openLibraries,    freeLibraries, initContexts, freeContexts,
                                       OpenFirstDisplay, EventPollHook, &PLUGIN_STEPS};

// Installs the composition, the plug-in host (the host API that plug-ins
// receive and the system's own picture loaders) and the hooks through which
// lower folders reach higher ones.
void install() {
  SetPlayerComposition(&COMPOSITION);
  InstallPluginHost();
  InstallFolderHooks();
}

// Every program that links this library runs with the composition, the
// plug-in host and the folders' hooks installed before its main starts
// (test programs among them); the player's main installs them by name as
// well, which keeps this file in its static link.
const bool installedAtLoad = (install(), true);

}  // namespace

void InstallPlayerComposition() {
  static_cast<void>(installedAtLoad);
  install();
}
