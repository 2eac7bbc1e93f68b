// The layer kinds that the brush library knows: brushes and brush parts
// show the brush's current bitmaps (found by the layer's source id, which
// moves to a private copy before the brush changes and to the hidden record
// when it is freed); picture parts keep a copy of their part in the layer.
#include <algorithm>

#include "draw/draw_private.h"
#include "draw/shape_private.h"

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

ErrorCode selectLayer(VmState* L, int32_t position, int32_t mode, int32_t frame, int32_t combo) {
  return SelectOutputDevice(L, OBJTYPE_LAYER, ObjectId{nullptr, position}, OBJECT_BRUSH, frame,
                            mode, combo);
}

ErrorCode adoptBrush(LayerTriple images, int32_t width, int32_t height, ObjectId* id) {
  const int64_t key = images.mask ? BRUSH_MASK_KEY : -1;
  ErrorCode e = AddBrushObject(id, 1, 0, width, height, width, 0, nullptr, images.bitmap, key,
                               images.mask, images.alpha, nullptr, nullptr);
  if (e) {
    FreeBitmap(images.bitmap);
    FreeBitMask(images.mask);
    FreeAlphaChannel(images.alpha);
  }
  return e;
}

const LayerBrushServices BRUSH_SERVICES{makeBrush, freeBrush, selectLayer, adoptBrush};

// ---- Style fields of brush, brush-part and picture-part layers ----

int32_t listPosition(const qmLayer* layer) {
  int32_t position = 1;
  for (const Node* n = layer->node.pred; n && n->pred; n = n->pred) ++position;
  return position;
}

// "id" (a brush) and the part rectangle; a part given to a brush layer
// makes it a brush part.
ErrorCode readBrushStyle(VmState* L, int table, LayerStyleWork* w) {
  const qmLayer* layer = w->layer;
  const LayerImageState* base = layer->base;
  w->partX = base->partX;
  w->partY = base->partY;
  w->partWidth = base->requestedWidth;
  w->partHeight = base->requestedHeight;
  int found = 0;
  VmPushString(L, "id");
  VmGetTable(L, table);
  bool idGiven = VmType(L, -1) != VM_TYPE_NIL && w->type != LAYER_BGPICPART;
  if (idGiven) w->id = GetObjectIdArg(L, VmGetTop(L), nullptr);
  VmSetTop(L, VmGetTop(L) - 1);
  if (idGiven) {
    BrushObject* b = nullptr;
    if (ErrorCode e = GetBrushObject(L, w->id, &b, BRUSH_HARDWARE)) return e;
    w->idGiven = 1;
    w->content = 1;
    w->deferFlags |= 1;  // a brush may wait to be freed
    if (w->type == LAYER_BRUSH) {
      // A whole brush: its own size.
      w->partX = w->partY = 0;
      w->partWidth = b->width;
      w->partHeight = b->height;
    }
  }
  bool fromBrushes = layer->type == LAYER_BRUSH || layer->type == LAYER_BRUSHPART;
  if (w->typeChanged && w->type != LAYER_BGPICPART && !fromBrushes && !w->idGiven)
    return ERR_MISSINGPARAMTR;
  if (w->type == LAYER_BGPICPART) return ERR_NONE;  // its part is a copy made once
  int32_t* fields[4] = {&w->partX, &w->partY, &w->partWidth, &w->partHeight};
  const char* names[4] = {"partx", "party", "partwidth", "partheight"};
  bool part = false;
  for (int i = 0; i < 4; ++i)
    part = GetTableFieldInt(L, table, names[i], fields[i], &found) || part;
  if (part) {
    if (w->partWidth < 1 || w->partHeight < 1 || w->partX < 0 || w->partY < 0)
      return ERR_WRONGUSAGE;
    w->content = 1;
    if (w->type == LAYER_BRUSH) {
      w->type = LAYER_BRUSHPART;
      w->typeChanged = 1;
    }
  }
  if (w->content) {
    w->width = w->partWidth;
    w->height = w->partHeight;
  }
  return ERR_NONE;
}

void writeBrushStyle(VmState* L, qmLayer* layer) {
  const LayerImageState* base = layer->base;
  const char* names[4] = {"partx", "party", "partwidth", "partheight"};
  const int32_t values[4] = {base->partX, base->partY, base->requestedWidth, base->requestedHeight};
  for (int i = 0; i < 4; ++i) {
    VmPushString(L, names[i]);
    VmPushNumber(L, values[i]);
    VmSetTable(L, -3);
  }
}

ErrorCode remakeBrushLayer(VmState* L, qmLayer* layer, LayerStyleWork* w, int32_t x, int32_t y,
                           const DisplayTransform* transform, uint32_t flags, qmLayer** out) {
  ObjectId id = w->idGiven ? w->id : layer->sourceId;
  BrushObject* b = nullptr;
  if (ErrorCode e = GetBrushObject(L, id, &b, BRUSH_HARDWARE | BRUSH_PENDING)) return e;
  int32_t sx = w->type == LAYER_BRUSH ? 0 : w->partX, sy = w->type == LAYER_BRUSH ? 0 : w->partY;
  int32_t pw = w->type == LAYER_BRUSH ? b->width : std::min(w->partWidth, b->width - sx);
  int32_t ph = w->type == LAYER_BRUSH ? b->height : std::min(w->partHeight, b->height - sy);
  if (pw < 1 || ph < 1) return ERR_WRONGUSAGE;
  LayerImageState* state = AllocLayerImageState();
  if (!state) return ERR_MEM;
  state->partX = sx;
  state->partY = sy;
  state->requestedWidth = pw;
  state->requestedHeight = ph;
  return NewLayer(L, w->type, &id, x, y, pw, ph, transform, nullptr, nullptr, nullptr, nullptr,
                  state, listPosition(layer), flags, out);
}

const LayerStyleHooks BRUSH_STYLE{readBrushStyle, writeBrushStyle, remakeBrushLayer, nullptr};
const LayerStyleHooks BGPICPART_STYLE{nullptr, writeBrushStyle, nullptr, nullptr};

ErrorCode parseBorder(VmState* L, int table, int aliases, BorderStyle* border, int* found) {
  return ParseBorderOptions(L, table, aliases, border, found);
}

const LayerStyleServices STYLE_SERVICES{ParseShadowOptions, parseBorder};

}  // namespace

void RegisterBrushLayerKinds() {
  SetLayerBrushServices(&BRUSH_SERVICES);
  RegisterLayerKind(&BRUSH_KIND);
  RegisterLayerKind(&BRUSHPART_KIND);
  RegisterLayerKind(&BGPICPART_KIND);
  RegisterLayerStyleHooks(LAYER_BRUSH, &BRUSH_STYLE);
  RegisterLayerStyleHooks(LAYER_BRUSHPART, &BRUSH_STYLE);
  RegisterLayerStyleHooks(LAYER_BGPICPART, &BGPICPART_STYLE);
  SetLayerStyleServices(&STYLE_SERVICES);
  RegisterShapeLayerKinds();
}
