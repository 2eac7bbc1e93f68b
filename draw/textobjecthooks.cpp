// The text library's text objects as drawing sees them: copies of their
// images through the hooks the text library registers when it opens.
#include "draw/draw_private.h"

namespace {
const TextObjectDrawHooks* textObjectHooks = nullptr;
}  // namespace

void SetTextObjectDrawHooks(const TextObjectDrawHooks* hooks) { textObjectHooks = hooks; }

ErrorCode GetTextObjectBitmaps(VmState* L, ObjectId id, ObjectBitmaps* out) {
  *out = ObjectBitmaps{};
  if (!textObjectHooks || !textObjectHooks->copyImage) return ERR_UNSUPPORTEDFEAT;
  return textObjectHooks->copyImage(L, id, &out->bitmap, &out->mask, &out->alpha, &out->width,
                                    &out->height);
}

ErrorCode ShowTextObjectLayer(VmState* L, ObjectId id, int32_t x, int32_t y) {
  if (!textObjectHooks || !textObjectHooks->showLayer) return ERR_UNSUPPORTEDFEAT;
  return textObjectHooks->showLayer(L, id, x, y);
}
