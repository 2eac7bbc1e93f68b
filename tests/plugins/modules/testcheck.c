/* Test plug-in "testcheck", written in C and compiled with -fexceptions as
 * the plug-in ABI asks of C plug-ins: its commands hold a buffer released
 * by a cleanup attribute and then call the host's argument checks or
 * raise, so a failed check unwinds through this plug-in's frame.
 * CheckedDouble(n) -> 2 * n (a number check on n); CheckedRaise(code)
 * raises code through the host. CheckCleanups() counts the releases, so a
 * test sees that the cleanup ran during the unwind, not just that the run
 * ended. */
#include <stdlib.h>

#include "plugins/qmplugin.h"

static const PluginHostApi* host = NULL;
static int cleanups = 0;

/* Frees a command's buffer when its frame ends, returned or unwound. */
static void release(char** buffer) {
  free(*buffer);
  cleanups++;
}

#define SCRATCH char* scratch __attribute__((cleanup(release))) = malloc(64)

static int checkedDouble(VmState* L) {
  SCRATCH;
  if (!scratch) return 1000;
  double n = host->vm->checkNumber(L, 1);
  host->vm->pushNumber(L, 2 * n);
  return 1;
}

static int checkedRaise(VmState* L) {
  SCRATCH;
  if (!scratch) return 1000;
  host->vm->raiseError(L, host->vm->checkInteger(L, 1));
  return 0; /* not reached: raiseError does not return */
}

static int checkCleanups(VmState* L) {
  host->vm->pushNumber(L, cleanups);
  return 1;
}

static const QmCommandEntry COMMANDS[] = {{"CheckedDouble", checkedDouble},
                                          {"CheckedRaise", checkedRaise},
                                          {"CheckCleanups", checkCleanups},
                                          {NULL, NULL}};

int InitPlugin(PluginBase* base, const PluginHostApi* api, const char* path) {
  (void)path;
  host = api;
  base->capabilities = PLUGINCAPS_LIBRARY;
  base->version = 1;
  base->moduleName = "testcheck";
  return 1;
}

void ClosePlugin(void) {}

const char* GetBaseTable(void) { return NULL; }
const QmCommandEntry* GetCommands(void) { return COMMANDS; }
const QmConstantEntry* GetConstants(void) { return NULL; }
int32_t InitLibrary(VmState* L) {
  (void)L;
  return 0;
}
void FreeLibrary(VmState* L) { (void)L; }
