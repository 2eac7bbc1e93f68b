// Start-up's and shut-down's view of the program's composition root: the
// root installs its tables once (SetPlayerComposition) and these calls go
// through them, so the runtime names no folder above it.
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

namespace {
const PlayerPluginSteps* pluginSteps() { return installed ? installed->pluginSteps : nullptr; }
}  // namespace

ErrorCode ScanPlayerPlugins(const char* programDir, int appended, const char* skipList,
                            int32_t* count) {
  const PlayerPluginSteps* steps = pluginSteps();
  return steps ? steps->scanDirectory(programDir, appended, skipList, count) : ERR_NONE;
}

ErrorCode LoadPlayerPluginPack(const char* programPath, uint64_t* offset, int updateOffset) {
  const PlayerPluginSteps* steps = pluginSteps();
  return steps ? steps->loadPack(programPath, offset, updateOffset) : ERR_NONE;
}

ErrorCode LoadPlayerPlugins(VmState* L, const char* programDir, int appended,
                            const char* skipList) {
  const PlayerPluginSteps* steps = pluginSteps();
  return steps ? steps->loadPluginsAndFormats(L, programDir, appended, skipList) : ERR_NONE;
}

ErrorCode LoadPlayerPluginFile(VmState* L, const char* name, int32_t version, int32_t revision,
                               uint32_t flags, uintptr_t tag1, uintptr_t tag2) {
  const PlayerPluginSteps* steps = pluginSteps();
  if (steps) return steps->loadPluginFile(L, name, version, revision, flags, tag1, tag2);
  SetErrorArgString(name);
  return ERR_REQUIREPLUGIN;
}

void FreePlayerPluginLibraries(VmState* L) {
  if (const PlayerPluginSteps* steps = pluginSteps()) steps->freePluginLibraries(L);
}

void FreePlayerPlugins() {
  if (const PlayerPluginSteps* steps = pluginSteps()) steps->freeAllPlugins();
}

void DeletePlayerTempDirectory() {
  if (const PlayerPluginSteps* steps = pluginSteps()) steps->deleteTempDirectory();
}
