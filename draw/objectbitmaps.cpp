// Bitmaps of objects that live in libraries the brush library cannot
// include: a layer's image from the layers of the display library, an
// icon entry's image through the hook the icon library registers. Each
// result is a set of copies that the caller owns.
#include "draw/draw_private.h"

void SetIconEntrySource(IconEntrySource source) { drawContext.iconEntries = source; }

ErrorCode GetLayerBitmaps(VmState* L, ObjectId layer, int32_t frame, ObjectBitmaps* out) {
  *out = ObjectBitmaps{};
  LayerTriple copy{};
  if (ErrorCode e = CopyLayerImage(L, static_cast<int32_t>(layer.number), frame, &copy, &out->width,
                                   &out->height))
    return e;
  out->bitmap = copy.bitmap;
  out->mask = copy.mask;
  out->alpha = copy.alpha;
  return ERR_NONE;
}

ErrorCode GetIconBitmaps(VmState*, ObjectId id, int32_t entry, int32_t second, ObjectBitmaps* out) {
  *out = ObjectBitmaps{};
  // Without the icon library no icon can be found.
  if (!drawContext.iconEntries) return ObjectNotFound(id, ERR_FINDICON);
  IconEntryPixels image{};
  if (ErrorCode e = drawContext.iconEntries(id, entry, second, &image)) return e;
  if (!image.pixels) return ERR_MEM;
  // The pixels carry their alpha: an entry with transparency becomes a
  // brush with an alpha channel, one without an opaque brush.
  ErrorCode e = CreateBitmapFromRGB(image.pixels, -1, image.width, image.height, image.width, 0,
                                    image.transparent ? 8u : 0u, nullptr, &out->bitmap, &out->mask,
                                    &out->alpha);
  FreeMemory(image.pixels);
  if (e) return e;
  out->width = image.width;
  out->height = image.height;
  return ERR_NONE;
}
