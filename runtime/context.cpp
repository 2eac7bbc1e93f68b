// The runtime's context record (context_private.h) and its Init and Free,
// which the library table calls, and the tables through which the engine
// and the platform below read what the runtime keeps.
#include "runtime/context_private.h"

#include <cstdio>

#include "engine/engine.h"
#include "runtime/player.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"

RuntimeContext runtimeContext;

namespace {

StreamHandle* openCatalogFile(const char* path) {
  return OpenFileStream(path, STREAM_READ | STREAM_ADAPTERS, nullptr);
}

ErrorCode loadCatalogFile(StreamHandle* stream, uint8_t** data, size_t* size, size_t spare) {
  return LoadFileToMemory(nullptr, nullptr, stream, data, size, 1, spare);
}

void closeCatalogFile(StreamHandle* stream) { CloseFileStream(stream); }

const EngineRuntimeHooks ENGINE_HOOKS = {GetCustomErrorText, IsChunkName, ParseChunkName,
                                         GetDisplayFileName, RegisteredCommandSpelling};
const PlatformRuntimeHooks PLATFORM_HOOKS = {ParseChunkName, openCatalogFile, loadCatalogFile,
                                             closeCatalogFile};

// Installed before any main starts (test programs among them): every
// program that links the runtime links this file through the library
// table, and the texts and files the tables reach need no run to be open.
// Init installs them again, which keeps this file in a static link.
const bool installedAtLoad =
    (SetEngineRuntimeHooks(&ENGINE_HOOKS), SetPlatformRuntimeHooks(&PLATFORM_HOOKS), true);

}  // namespace

void InitRuntimeContext() {
  static_cast<void>(installedAtLoad);
  SetEngineRuntimeHooks(&ENGINE_HOOKS);
  SetPlatformRuntimeHooks(&PLATFORM_HOOKS);
  runtimeContext = RuntimeContext{};
  ResetErrorState();
  unicodeUtf8Mode = 1;
  SetEventQueueHooks(nullptr, nullptr);
  SetEventExpiryTimeout(EVENT_TIMEOUT_DEFAULT_MS);
}

// Shut-down has freed the registries with the VM still open; what is left
// here goes without it. The payload freer is taken out first, since the
// display whose records it knows is gone. The debug device closes last and
// standard output is flushed before the platform goes, so the run's last
// words are not lost.
void FreeRuntimeContext() {
  SetEventQueueHooks(nullptr, nullptr);
  FreeRegistries(nullptr);
  DeleteTempFiles();
  FreeHandedOutDirTrees();
  FreeCollationTables();
  CloseDebugDevice();
  std::fflush(stdout);
  InitRuntimeContext();
}
