// The graphics folder's context record: Init and Free of the state one run
// of the player builds in this folder (see gfx.h).
#include "gfx/gfx.h"

void InitGfxContext() { InitRightAngleTransforms(); }

void FreeGfxContext() { FreeTransformScratch(); }
