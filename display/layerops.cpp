// Single layers as other libraries reach them (the moving objects), and the
// per-layer commands of the "layers" library: stacking, border and shadow,
// selection as drawing target, relative moves, anim frames, the move list
// and the collision test. Invariant: a command that fails its checks
// changes nothing; every change of a layer's look or place refreshes the
// union of its old and new areas.
#include <algorithm>
#include <cmath>

#include "display/context_private.h"
#include "display/display_private.h"
#include "display/layer_private.h"

ErrorCode GetLayerFromArg(VmState* L, int index, qmLayer** out, int32_t* position) {
  BGPic* pic = GetLayerPicture();
  const int32_t at = GetLayerIdArg(L, index, pic);
  *out = GetLayerByIndex(pic, at);
  if (position) *position = at;
  return *out ? ERR_NONE : ERR_LAYERRANGE;
}

qmLayer* GetCurrentLayerAt(int32_t position) {
  return GetLayerByIndex(GetLayerPicture(), position);
}

qmLayer* FindLayerShowingObject(int32_t type, ObjectId id) {
  BGPic* pic = GetLayerPicture();
  if (!pic) return nullptr;
  for (qmLayer* l = LastLayer(pic); l; l = PrevLayer(l))
    if (l->type == type && l->sourceId.number == id.number && l->sourceId.autoId == id.autoId)
      return l;
  return nullptr;
}

int LayerExists(const qmLayer* layer) {
  for (BGPic* p = GetBGPicList(); p; p = reinterpret_cast<BGPic*>(p->head.next))
    for (qmLayer* l = FirstLayer(p); l; l = NextLayer(l))
      if (l == layer) return 1;
  return 0;
}

void MoveLayerToPoint(VmState* L, qmLayer* layer, int32_t x, int32_t y) {
  MoveLayerTo(L, layer, nullptr, x, y, 0, 0, nullptr);
  if (BGPic* pic = GetLayerPicture()) pic->layersChanged = 1;
}
