// The sound library's opener and its freeing: the cross-thread event list
// and the channel-table lock live from the library's opening until
// shut-down frees the library, so audio, video and program-watch threads
// have a list to post to while a script can take their notices; the
// library's option hook takes the sound options and the handler flags.
#include "media/media.h"

ErrorCode OpenSoundLibrary(VmState*) {
  ErrorCode error = InitThreadEventList();
  if (!error) error = AddSetAttrHandler(SetSoundOption);
  if (!error) error = RegisterLibrary(nullptr, "sound");
  return error;
}

// Every channel stops before the output closes, and the event list goes
// last, after every audio thread has ended.
void FreeSoundLibrary(VmState* L) {
  ShutdownAudio(L);
  CloseAudioDevice();
  FreeThreadEventList();
}
