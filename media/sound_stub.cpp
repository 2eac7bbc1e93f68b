// Stand-ins for the sound library's script-level services that the audio
// engine calls, until the library's commands are built. Each does the least
// that keeps its caller correct. These are plain definitions: a real one
// built beside them is a duplicate-symbol error until its stand-in here is
// deleted.
#include "media/audio_private.h"

// Waiting for the sound library: the stop of a channel ends whatever plays
// there; the sample and music objects' own state comes with the library.
ErrorCode StopChannel(VmState*, int32_t channel) {
  StopAudioChannel(channel);
  return ERR_NONE;
}

// Waiting for the sound library: no music object is the current one yet.
void ForgetCurrentModule(void*) {}
