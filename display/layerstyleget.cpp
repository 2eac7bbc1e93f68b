// GetLayerStyle: the style of a layer as a table with the field names that
// SetLayerStyle reads, so that a table read from one layer gives another
// layer of the same content the same look. The kind's hooks add the
// type-specific fields.
#include "display/layer_private.h"

namespace {

void setNumber(VmState* L, const char* name, double value) {
  VmPushString(L, name);
  VmPushNumber(L, value);
  VmSetTable(L, -3);
}

// A switch as SetLayerStyle takes it back: 1 or 0.
void setFlag(VmState* L, const char* name, int value) { setNumber(L, name, value ? 1 : 0); }

void setString(VmState* L, const char* name, const char* value) {
  VmPushString(L, name);
  VmPushString(L, value);
  VmSetTable(L, -3);
}

bool showsObject(int32_t type) {
  switch (type) {
    case LAYER_BRUSH:
    case LAYER_ANIM:
    case LAYER_TEXTOBJECT:
    case LAYER_BRUSHPART:
    case LAYER_BGPICPART:
    case LAYER_VECTORPATH:
    case LAYER_VIDEO:
      return true;
    default:
      return false;
  }
}

// The slots that are on, from index 0, in slot order: name, priority and
// the arguments in the filter's order.
void pushFilters(VmState* L, const FilterSlot* slots) {
  VmNewTable(L);
  int32_t n = 0;
  for (int32_t i = 0; i < FILTER_SLOTS; ++i) {
    const FilterSlot& f = slots[i];
    if (!f.on) continue;
    VmPushNumber(L, n++);
    VmNewTable(L);
    setString(L, "name", FilterSlotName(i));
    setNumber(L, "priority", f.priority);
    VmPushString(L, "args");
    VmNewTable(L);
    int32_t ints = 0, reals = 0, k = 0;
    for (const char* kind = FilterSlotKinds(i); *kind; ++kind, ++k) {
      VmPushNumber(L, k);
      if (*kind == 'r')
        VmPushNumber(L, reals < 4 ? f.reals[reals++] : 0.0);
      else
        VmPushNumber(L, ints < 4 ? f.ints[ints++] : 0);
      VmSetTable(L, -3);
    }
    VmSetTable(L, -3);
    VmSetTable(L, -3);
  }
}

}  // namespace

void PushLayerStyle(VmState* L, qmLayer* layer) {
  const LayerImageState* base = layer->base;
  const DisplayTransform& t = layer->transform;
  VmNewTable(L);
  setNumber(L, "type", layer->type);
  if (showsObject(layer->type)) {
    VmPushString(L, "id");
    PushObjectId(L, layer->sourceId);
    VmSetTable(L, -3);
  }
  setNumber(L, "x", base->requestedX);
  setNumber(L, "y", base->requestedY);
  if (t.hasMatrix) {
    VmPushString(L, "transform");
    VmNewTable(L);
    for (int i = 0; i < 4; ++i) {
      VmPushNumber(L, i);
      VmPushNumber(L, t.matrix[i]);
      VmSetTable(L, -3);
    }
    VmSetTable(L, -3);
  } else {
    setNumber(L, "width", t.width);
    setNumber(L, "height", t.height);
    setNumber(L, "rotate", t.rotate);
    setNumber(L, "scalex", t.scaleX);
    setNumber(L, "scaley", t.scaleY);
  }
  setNumber(L, "anchorx", layer->anchorX);
  setNumber(L, "anchory", layer->anchorY);
  setFlag(L, "smoothscale", t.smoothScale);
  setNumber(L, "transparency", layer->transparency);
  const FilterSlot& tint = layer->filters[FILTER_TINT];
  setNumber(L, "tint", tint.on ? tint.ints[1] : 0);
  setNumber(L, "tintcolor", tint.ints[0]);
  setFlag(L, "hidden", layer->hidden);
  VmPushString(L, "clipregion");
  if (base->clip)
    PushObjectId(L, ObjectId{base->clip->head.autoId, base->clip->head.number});
  else
    VmPushNumber(L, -1);
  VmSetTable(L, -3);
  setFlag(L, "shadow", layer->shadow.on);
  setNumber(L, "shadowcolor", layer->shadow.colour);
  setNumber(L, "shadowdir", layer->shadow.direction);
  setNumber(L, "shadowsize", layer->shadow.size);
  setNumber(L, "shadowradius", layer->shadow.radius);
  setNumber(L, "shadowsigma", layer->shadow.sigma);
  setFlag(L, "border", layer->border.on);
  for (const char* name : {"bordercolor", "edgecolor"}) setNumber(L, name, layer->border.colour);
  for (const char* name : {"bordersize", "outlinethickness", "edgesize"})
    setNumber(L, name, layer->border.size);
  VmPushString(L, "filters");
  pushFilters(L, layer->filters);
  VmSetTable(L, -3);
  setString(L, "group", layer->group);
  // An unnamed layer has the empty name: the field is always there.
  setString(L, "name", layer->name ? layer->name : "");
  setNumber(L, "z", GetLayerPosition(layer));
  const LayerStyleHooks* hooks = GetLayerStyleHooks(layer->type);
  if (hooks && hooks->write) hooks->write(L, layer);
}

// GetLayerStyle(id)
int CmdGetLayerStyle(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  BGPic* pic = GetLayerPicture();
  int32_t position = 0;
  if (ErrorCode e = GetLayerIdArg(L, 1, pic, &position)) return e;
  qmLayer* layer = GetLayerByIndex(pic, position);
  if (!layer) return ERR_LAYERRANGE;
  PushLayerStyle(L, layer);
  return 1;
}
