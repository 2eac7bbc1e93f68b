// The feed thread's step for one module channel, reached by benchmarks that
// drive it over stand-in ALSA slots. Used inside platform/linux and by
// tests and benchmarks.
#pragma once

#include <alsa/asoundlib.h>

#include "platform/linux/platform.h"

// One pass over a module channel (state 3): writes from the staging ring,
// renders the frames taken again behind it, and moves the script's player
// on by the frames played since the last pass (from the PCM's status, or
// the clock when the status block is null or the device keeps no trigger
// time stamp). 1 when the PCM took frames. Called with the table lock held.
bool FeedAlsaModule(const AudioFeedHooks* hooks, int32_t index, AlsaChannelOutput* output,
                    void* conversion, snd_pcm_status_t* status);
