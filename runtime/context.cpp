// The runtime's context record: Init and Free of the state one run of the
// player builds in this folder (see runtime.h).
#include <cstdio>

#include "runtime/player.h"
#include "runtime/runtime.h"

void InitRuntimeContext() {}

// The debug device closes last, and standard output is flushed before the
// platform goes, so the run's last words are not lost.
void FreeRuntimeContext() {
  DeleteTempFiles();
  FreeCollationTables();
  CloseDebugDevice();
  std::fflush(stdout);
}
