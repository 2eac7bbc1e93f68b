// Service header of the transition-effect library: what other folders call
// of it (its opener and its shut-down). Everything the runner, the commands
// and the renderer families share is in fx/fx_private.h.
#pragma once

#include "engine/engine.h"

// The library opener "transitionfx": the commands and the effect constants.
ErrorCode OpenTransitionFXLibrary(VmState* L);
// Shut-down: nothing outlives a transition except through its async draw
// object, which the graphics library frees.
void FreeTransitionFXLibrary(VmState* L);
