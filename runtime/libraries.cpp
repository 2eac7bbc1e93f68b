// The program's composition root: the table of the player's command
// libraries and the table of the folders' context records. Start-up opens
// the libraries in table order and shut-down frees them in reverse; the
// folders' records are built before anything else runs and freed last, the
// platform's (which holds the X connection) after every other.
//
// Invariant: this file and plugins/hostapi.cpp are the only ones that
// include every service header; no other file calls every folder.
#include "display/display.h"
#include "draw/draw.h"
#include "engine/engine.h"
#include "fx/fx.h"
#include "gfx/gfx.h"
#include "libs/libs.h"
#include "media/media.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "runtime/player.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"
#include "runtime/stream_private.h"
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

}  // namespace

ErrorCode OpenPlayerLibraries(VmState* L) {
  for (const LibraryRow& row : LIBRARY_TABLE) {
    VmPushValue(L, VM_GLOBALS_INDEX);
    ErrorCode error = row.open ? row.open(L) : RegisterLibrary(nullptr, row.name);
    VmSetTop(L, 0);
    if (error) return error;
  }
  return ERR_NONE;
}

void FreePlayerLibraries(VmState* L) {
  for (size_t i = std::size(LIBRARY_TABLE); i-- > 0;)
    if (LIBRARY_TABLE[i].free) LIBRARY_TABLE[i].free(L);
}

void InitFolderContexts() {
  for (const FolderRow& row : FOLDER_TABLE) row.init();
}

void FreeFolderContexts() {
  for (size_t i = std::size(FOLDER_TABLE); i-- > 0;)
    if (FOLDER_TABLE[i].free) FOLDER_TABLE[i].free();
}
