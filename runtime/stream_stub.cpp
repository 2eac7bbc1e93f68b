// Stand-ins for the services the stream layer takes from libraries that are
// not built yet. Each does the least that keeps the stream layer correct.
// These are plain definitions: a real one built beside them is a
// duplicate-symbol error until its stand-in here is deleted.
#include "runtime/stream_private.h"

int OpenWithFileAdapters(StreamHandle*, const char*, uint32_t, const char*) {
  // Waiting for the plug-in library: no file adapter can be installed yet.
  return 0;
}

int LockWithAdapters(LockHandle*, const char*, uint32_t, const char*) {
  // Waiting for the plug-in library: no directory or file adapter exists yet.
  return 0;
}
