// Stand-ins for services that other libraries provide later.
#include "draw/draw_private.h"

// Waiting for the display adapter: its supported bitmap flags are not
// published to this folder yet, so no brush is made in video memory.
uint32_t BrushVideoBitmapFlags(uint32_t) { return 0; }
