// The sound library's opener and its freeing: the cross-thread event list
// lives from the library's opening until shut-down frees the library, so
// audio, video and program-watch threads have a list to post to while a
// script can take their notices.
#include "media/media.h"

// The event list's lock is static in the platform layer, so opening it
// cannot fail; the channel-table lock comes with the channel table.
ErrorCode OpenSoundLibrary(VmState*) {
  OpenThreadEventList();
  return RegisterLibrary(nullptr, "sound");
}

void FreeSoundLibrary(VmState*) { CloseThreadEventList(); }
