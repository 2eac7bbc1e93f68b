// Stand-ins for the event library and display requester services that
// start-up calls, until those libraries are built. Each is weak, so the
// real definition replaces it when its library is linked in, and each does
// the least that keeps start-up correct.
#include "display/display.h"
#include "engine/engine.h"
#include "runtime/player.h"

// The event pump of the platform layer.
int PollEvents(VmState* L, int32_t flags, int32_t unused, ErrorCode* error);

// Waiting for the event library: the per-line poll asks the event pump,
// which stops the script on a quit request or an error.
__attribute__((weak)) void EventPollHook(VmState* L, VmDebugInfo*, int* status, int) {
  if (vmLineHookDisabled) return;
  ErrorCode error = 0;
  if (PollEvents(L, 1, 0, &error) != 0 && status) *status = error ? error : ERR_USERABORT;
}

// Waiting for the display library's file requester: the applet requester
// answers "cancelled", so a run without an applet name ends quietly.
__attribute__((weak)) ErrorCode RunFileRequester(VmState*, const char*, const char*, char** directory, char** file,
                                                 int32_t* chosen) {
  *directory = nullptr;
  *file = nullptr;
  *chosen = 0;
  return ERR_NONE;
}

// Waiting for the icon library: the applet's icon images stay in the icon
// table, and the window keeps its built-in icon.
__attribute__((weak)) ErrorCode LoadAppletIcon(PlayerRecord*, PlayerRunContext*) { return ERR_NONE; }
