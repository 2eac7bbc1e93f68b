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
  if (!installed || !installed->openLibraries) return ERR_NONE;
  // The built-in libraries' constant tables are static: they enter the VM
  // when a constant is first looked up, which most applets never do. The
  // switch goes off however the opening ends, so that no table of a
  // plug-in (whose memory goes with it) is ever only noted.
  struct Deferral {
    VmState* L;
    explicit Deferral(VmState* state) : L(state) { VmDeferConstantTables(L, 1); }
    ~Deferral() { VmDeferConstantTables(L, 0); }
    Deferral(const Deferral&) = delete;
    Deferral& operator=(const Deferral&) = delete;
  } deferral(L);
  return installed->openLibraries(L);
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
