// Start-up's and shut-down's view of the program's composition root: the
// root installs its tables once (SetPlayerComposition) and these calls go
// through them, so the runtime names no folder above the plug-in manager.
#include "engine/engine.h"
#include "runtime/player.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"

namespace {
// Set once by the root before the player runs and never part of a run's
// state, so the runtime's context record does not hold it.
const PlayerComposition* installed = nullptr;
}  // namespace

void SetPlayerComposition(const PlayerComposition* composition) { installed = composition; }

ErrorCode OpenPlayerLibraries(VmState* L) {
  return installed && installed->openLibraries ? installed->openLibraries(L) : ERR_NONE;
}

void FreePlayerLibraries(VmState* L) {
  if (installed && installed->freeLibraries) installed->freeLibraries(L);
}

void InitFolderContexts() {
  if (installed && installed->initContexts) installed->initContexts();
}

void FreeFolderContexts() {
  if (installed && installed->freeContexts) installed->freeContexts();
}

ErrorCode OpenPlayerFirstDisplay(VmState* L, int quiet) {
  return installed && installed->openFirstDisplay ? installed->openFirstDisplay(L, quiet)
                                                  : ERR_NONE;
}

VmHook GetPlayerEventPollHook() { return installed ? installed->eventPollHook : nullptr; }
