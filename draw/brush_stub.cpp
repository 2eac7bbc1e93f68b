// Stand-ins for services that other libraries provide later.
#include <string>

#include "draw/draw_private.h"

// Waiting for the display adapter: its supported bitmap flags are not
// published to this folder yet, so no brush is made in video memory.
uint32_t BrushVideoBitmapFlags(uint32_t) { return 0; }

// Waiting for the layers library.
ErrorCode GetLayerBitmaps(VmState*, ObjectId, int32_t, ObjectBitmaps*) { return ERR_NOLAYERS; }
// Waiting for the icon library.
ErrorCode GetIconBitmaps(VmState*, ObjectId, int32_t, int32_t, ObjectBitmaps*) {
  return ERR_UNSUPPORTEDFEAT;
}
// Waiting for the background-picture commands library: the gradient's
// further options are not read, and only its type and colours are written.
ErrorCode ReadGradientOptions(VmState*, int, GradientDescription*) { return ERR_NONE; }
void SetFillStyleFields(VmState* L, const char* prefix, const GradientDescription* gradient) {
  const std::string p = prefix;
  SetTableFieldInt(L, (p + "style").c_str(), gradient->type);
  SetTableFieldU32(L, (p + "startcolor").c_str(), gradient->startColor);
  SetTableFieldU32(L, (p + "endcolor").c_str(), gradient->endColor);
}
