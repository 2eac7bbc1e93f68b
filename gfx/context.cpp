// The graphics folder's context record (context_private.h) and its Init
// and Free, which the library table calls.
#include "gfx/context_private.h"

#include "gfx/adapter_private.h"
#include "gfx/gfx.h"
#include "gfx/graphics_private.h"
#include "platform/linux/platform.h"

GfxContext gfxContext;

void InitGfxContext() {
  gfxContext = GfxContext{};
  InitRightAngleTransforms();
  InstallAdapterBitmapQuery();
}

void FreeGfxContext() {
  FreeAllAsyncDraws(nullptr);
  FreePictureCache();
  FreeAllClipRegions();
  FreeAllPointers(nullptr);
  FreeBlitScratch();
  FreeTransformScratch();
  SetAdapterBitmapFlagsQuery(nullptr);
  gfxContext = GfxContext{};
}
