// The graphics folder's context record (context_private.h) and its Init
// and Free, which the library table calls.
#include "gfx/context_private.h"

#include "gfx/gfx.h"

GfxContext gfxContext;

void InitGfxContext() {
  gfxContext = GfxContext{};
  InitRightAngleTransforms();
}

void FreeGfxContext() {
  FreeBlitScratch();
  FreeTransformScratch();
  gfxContext = GfxContext{};
}
