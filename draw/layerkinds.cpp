// The layer kinds that the brush library knows: brushes and brush parts
// show the brush's current bitmaps (found by the layer's source id, which
// moves to a private copy before the brush changes and to the hidden record
// when it is freed); picture parts keep a copy of their part in the layer.
#include "draw/draw_private.h"

namespace {

ErrorCode brushBitmaps(VmState* L, qmLayer* layer, LayerImageState*, int32_t, LayerTriple* out,
                       int32_t* width, int32_t* height) {
  BrushObject* b = nullptr;
  if (ErrorCode e = GetBrushObject(L, layer->sourceId, &b, BRUSH_HARDWARE | BRUSH_PENDING))
    return e;
  if (!b->bitmap) return ERR_WRONGUSAGE;
  *out = LayerTriple{b->bitmap, b->mask, b->alpha};
  *width = b->width;
  *height = b->height;
  return ERR_NONE;
}

void flushBrushes(VmState*) { FreeReleasedBrushes(); }

const LayerKind BRUSH_KIND{LAYER_BRUSH, nullptr, brushBitmaps, nullptr,
                           nullptr,     nullptr, flushBrushes, nullptr};
const LayerKind BRUSHPART_KIND{LAYER_BRUSHPART, nullptr, brushBitmaps, nullptr,
                               nullptr,         nullptr, flushBrushes, nullptr};
// A picture part's pixels are its image state's own bitmap.
const LayerKind BGPICPART_KIND{LAYER_BGPICPART, nullptr, nullptr, nullptr,
                               nullptr,         nullptr, nullptr, nullptr};

ErrorCode makeBrush(int32_t width, int32_t height, uint32_t colour, int32_t mask, int32_t alpha,
                    int32_t clear, ObjectId* id) {
  BrushObject* b = nullptr;
  if (ErrorCode e =
          CreateBrushObject(id, 1, width, height, colour, mask, alpha, clear, 0, 0, 0, nullptr, &b))
    return e;
  return ERR_NONE;
}

ErrorCode freeBrush(VmState* L, ObjectId id) { return FreeBrushObject(L, id, 0); }

const LayerBrushServices BRUSH_SERVICES{makeBrush, freeBrush};

}  // namespace

void RegisterBrushLayerKinds() {
  SetLayerBrushServices(&BRUSH_SERVICES);
  RegisterLayerKind(&BRUSH_KIND);
  RegisterLayerKind(&BRUSHPART_KIND);
  RegisterLayerKind(&BGPICPART_KIND);
}
