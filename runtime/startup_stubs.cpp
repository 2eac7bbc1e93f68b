// Stand-ins for the display requester services that
// start-up calls, until those libraries are built. Each does the least that
// keeps start-up correct. These are plain definitions: a real one built
// beside them is a duplicate-symbol error until its stand-in here is deleted.
#include "engine/engine.h"
#include "runtime/player.h"

// Waiting for the display library's file requester: the applet requester
// answers "cancelled", so a run without an applet name ends quietly.
ErrorCode RunFileRequester(VmState*, const char*, const char*, char** directory, char** file,
                           int32_t* chosen) {
  *directory = nullptr;
  *file = nullptr;
  *chosen = 0;
  return ERR_NONE;
}
