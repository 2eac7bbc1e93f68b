// Stand-ins for services that other libraries provide later.
#include "draw/draw_private.h"

// Waiting for the display adapter: its supported bitmap flags are not
// published to this folder yet, so no brush is made in video memory.
uint32_t BrushVideoBitmapFlags(uint32_t) { return 0; }

// Waiting for the layers library: no layer is inserted, so a display with
// layers on shows only what is copied directly.
ErrorCode CreateObjectLayer(VmState*, int32_t, ObjectId, int32_t, int32_t, int32_t, int32_t,
                            int32_t, int32_t, const DisplayTransform*, const ObjectStyle*,
                            BitmapHandle*, int32_t, uint32_t, intptr_t) {
  return ERR_NONE;
}
