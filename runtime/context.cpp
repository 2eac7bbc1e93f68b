// The runtime's context record (context_private.h) and its Init and Free,
// which the library table calls.
#include "runtime/context_private.h"

#include <cstdio>

#include "runtime/player.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"

RuntimeContext runtimeContext;

void InitRuntimeContext() {
  runtimeContext = RuntimeContext{};
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
