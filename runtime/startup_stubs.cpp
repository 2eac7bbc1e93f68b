// Stand-ins for the display requester and icon library services that
// start-up calls, until those libraries are built. Each is weak, so the
// real definition replaces it when its library is linked in, and each does
// the least that keeps start-up correct.
#include "display/display.h"
#include "engine/engine.h"
#include "runtime/player.h"

// Waiting for the display library's file requester: the applet requester
// answers "cancelled", so a run without an applet name ends quietly.
__attribute__((weak)) ErrorCode RunFileRequester(VmState*, const char*, const char*,
                                                 char** directory, char** file, int32_t* chosen) {
  *directory = nullptr;
  *file = nullptr;
  *chosen = 0;
  return ERR_NONE;
}

// Waiting for the icon library: the applet's icon images stay in the icon
// table, and the window keeps its built-in icon.
__attribute__((weak)) ErrorCode LoadAppletIcon(PlayerRecord*, PlayerRunContext*) {
  return ERR_NONE;
}
