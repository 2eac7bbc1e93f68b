// Layer records and the layer list of a background picture: the kinds that
// higher libraries register, making a layer (NewLayer, CreateObjectLayer),
// look-up by position, name and group, naming, and freeing. Invariant: a
// layer's three image-state pointers name one, two or three distinct
// records, and every freeing step frees each distinct record once; a layer
// is linked in its picture's list from NewLayer until DestroyLayer.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "display/context_private.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "display/layer_private.h"

LayerContext layerContext;

namespace {

int32_t roundToInt(double v) { return VmTruncInt32(std::round(v)); }

// The distinct image states of a layer (one to three).
int distinctStates(const qmLayer* layer, LayerImageState* out[3]) {
  int n = 0;
  for (LayerImageState* s : {layer->base, layer->unscaled, layer->display}) {
    if (!s) continue;
    bool seen = false;
    for (int i = 0; i < n; ++i) seen = seen || out[i] == s;
    if (!seen) out[n++] = s;
  }
  return n;
}

void freeTriple(LayerTriple* t) {
  FreeBitmap(t->bitmap);
  FreeBitMask(t->mask);
  FreeAlphaChannel(t->alpha);
  *t = LayerTriple{};
}

bool anyFilterOn(const FilterSlot* slots) {
  for (int i = 0; i < FILTER_SLOTS; ++i)
    if (slots[i].on) return true;
  return false;
}

// The filters that the border outline applies too.
int32_t outlineFilterFlag(const FilterSlot* slots) {
  return slots[FILTER_PIXELATE].on || slots[FILTER_SWIRL].on || slots[FILTER_WATERRIPPLE].on ||
         slots[FILTER_XFLIP].on || slots[FILTER_YFLIP].on;
}

bool isIdentity(const DisplayTransform& t) {
  return t.m11 == 1 && t.m12 == 0 && t.m21 == 0 && t.m22 == 1;
}

// Whether the name equals a name or group name of another layer.
bool nameTaken(const BGPic* pic, const qmLayer* self, const char* name, bool groups) {
  if (!pic) return false;
  for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l)) {
    if (l == self) continue;
    if (l->name && CompareNoCase(l->name, name) == 0) return true;
    if (groups && l->group[0] && CompareNoCase(l->group, name) == 0) return true;
  }
  return false;
}

void insertAt(BGPic* pic, qmLayer* layer, int32_t position) {
  int32_t count = CountLayers(pic);
  Node* after = nullptr;  // null: at the bottom
  if (position < 0 || position > count) {
    after = pic->layers.tailPred;
    if (!after->pred) after = nullptr;
  } else if (position > 1) {
    after = &GetLayerByIndex(pic, position - 1)->node;
  }
  Node* n = &layer->node;
  if (!after) {
    Node* first = pic->layers.head;
    n->succ = first;
    n->pred = reinterpret_cast<Node*>(&pic->layers.head);
    first->pred = n;
    pic->layers.head = n;
  } else {
    n->succ = after->succ;
    n->pred = after;
    after->succ->pred = n;
    after->succ = n;
  }
}

void unlinkLayer(qmLayer* layer) {
  Node* n = &layer->node;
  if (!n->succ || !n->pred) return;
  n->pred->succ = n->succ;
  n->succ->pred = n->pred;
  n->succ = n->pred = nullptr;
}

void releaseRefs(VmState* L, qmLayer* layer) {
  if (L)
    for (int32_t i = 0; i < layer->refCount; ++i)
      VmReleaseReference(L, VM_REGISTRY_INDEX, layer->refs[i]);
  FreeMemory(layer->refs);
  layer->refs = nullptr;
  layer->refCount = 0;
  if (L) {
    FreeObjectDataList(L, &layer->data);
    return;
  }
  // Without a state the registry goes with the VM: only the entries go.
  while (ObjectDataEntry* e = layer->data) {
    layer->data = e->next;
    FreeMemory(e);
  }
}

}  // namespace

void ResetLayerContext() {
  FreeMoveLists();
  FreeDirtyRects(&layerContext.shared);
  layerContext = LayerContext{};
}

void RegisterLayerKind(const LayerKind* kind) {
  if (kind && kind->type >= 0 && kind->type < LAYER_KIND_TYPES)
    layerContext.kinds[kind->type] = kind;
}

void RegisterLayerBodyTest(int32_t type, LayerBodyTest test) {
  if (type >= 0 && type < LAYER_KIND_TYPES) layerContext.bodyTests[type] = test;
}

LayerBodyTest GetLayerBodyTest(int32_t type) {
  return type >= 0 && type < LAYER_KIND_TYPES ? layerContext.bodyTests[type] : nullptr;
}

const LayerKind* GetLayerKind(int32_t type) {
  return type >= 0 && type < LAYER_KIND_TYPES ? layerContext.kinds[type] : nullptr;
}

DisplayRecord* GetLayerDisplay() { return GetCurrentDisplay(); }

BGPic* GetLayerPicture() {
  DisplayRecord* d = GetCurrentDisplay();
  if (d && d->outputKind == OBJECT_BGPIC && GetCurrentBGPic()) return GetCurrentBGPic();
  return d ? d->bgpic : GetCurrentBGPic();
}

// ---- Look-up ----

qmLayer* GetLayerByIndex(const BGPic* pic, int32_t position) {
  if (!pic || position < 1) return nullptr;
  int32_t i = 1;
  for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l), ++i)
    if (i == position) return l;
  return nullptr;
}

int32_t CountLayers(const BGPic* pic) {
  int32_t n = 0;
  if (pic)
    for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l)) ++n;
  return n;
}

int32_t GetLayerPosition(const qmLayer* layer) {
  BGPic* pic = GetLayerPicture();
  int32_t i = 1;
  if (pic)
    for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l), ++i)
      if (l == layer) return i;
  return -1;
}

int32_t FindLayerByName(const BGPic* pic, const char* name) {
  int32_t i = 1;
  if (pic && name)
    for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l), ++i)
      if (l->name && CompareNoCase(l->name, name) == 0) return i;
  return 0;
}

ErrorCode AssignLayerName(qmLayer* layer, const char* name) {
  size_t length = std::strlen(name);
  if (length < 1 || length > OBJECT_NAME_SIZE - 1) return ERR_NAMETOOLONG;
  if (nameTaken(GetLayerPicture(), layer, name, true)) {
    SetErrorArgString(name);
    return ERR_NAMEUSED;
  }
  auto* copy = static_cast<char*>(AllocMemory(length + 1, 0));
  if (!copy) return ERR_MEM;
  std::memcpy(copy, name, length + 1);
  FreeMemory(layer->name);
  layer->name = copy;
  return ERR_NONE;
}

ErrorCode AssignLayerGroup(qmLayer* layer, const char* group) {
  size_t length = std::strlen(group);
  if (length > OBJECT_NAME_SIZE - 1) return ERR_NAMETOOLONG;
  if (length) {
    BGPic* pic = GetLayerPicture();
    if (pic)
      for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l))
        if (l->name && CompareNoCase(l->name, group) == 0) {
          SetErrorArgString(group);
          return ERR_GROUPNAMEUSED;
        }
  }
  std::memcpy(layer->group, group, length + 1);
  return ERR_NONE;
}

ErrorCode GetLayerIdArg(VmState* L, int index, const BGPic* pic, int32_t* position) {
  int type = VmType(L, index);
  if (type == VM_TYPE_NUMBER) {
    *position = VmTruncInt32(VmToNumber(L, index));
    return ERR_NONE;
  }
  if (type == VM_TYPE_STRING) {
    const char* name = VmToString(L, index);
    *position = FindLayerByName(pic, name);
    if (*position) return ERR_NONE;
    SetErrorArgString(name);
    return ERR_FINDLAYER;
  }
  SetErrorArgNumber(index);
  VmRaiseError(L, ERR_STRORNUM);
}

ErrorCode GetLayerArgOrGroup(VmState* L, int index, const BGPic* pic, qmLayer** out,
                             int32_t* cursor, int32_t* isGroup) {
  *out = nullptr;
  *isGroup = 0;
  int type = VmType(L, index);
  if (type == VM_TYPE_NUMBER) {
    *cursor = -1;
    *out = GetLayerByIndex(pic, VmTruncInt32(VmToNumber(L, index)));
    return *out ? ERR_NONE : ERR_LAYERRANGE;
  }
  if (type != VM_TYPE_STRING) {
    SetErrorArgNumber(index);
    return ERR_STRORNUM;
  }
  const char* name = VmToString(L, index);
  if (*cursor == 0) {
    if (int32_t position = FindLayerByName(pic, name)) {
      *cursor = -1;
      *out = GetLayerByIndex(pic, position);
      return ERR_NONE;
    }
  }
  // The group's members in list order: the cursor is the position after
  // the last member returned.
  int32_t i = 1;
  qmLayer* found = nullptr;
  int32_t foundAt = 0;
  for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l), ++i) {
    if (i <= *cursor || !l->group[0] || CompareNoCase(l->group, name) != 0) continue;
    if (!found) {
      found = l;
      foundAt = i;
    } else {
      *cursor = foundAt;
      *out = found;
      *isGroup = 1;
      return ERR_NONE;
    }
  }
  if (!found) {
    if (*cursor > 0) {
      *cursor = -1;
      return ERR_NONE;
    }
    SetErrorArgString(name);
    return ERR_FINDLAYER;
  }
  *cursor = -1;
  *out = found;
  *isGroup = 1;
  return ERR_NONE;
}

// ---- Image states ----

LayerImageState* AllocLayerImageState() {
  return static_cast<LayerImageState*>(AllocMemory(sizeof(LayerImageState), 1));
}

LayerImageState* CopyLayerImageState(int32_t type, const LayerImageState* from) {
  LayerImageState* s = AllocLayerImageState();
  if (!s) return nullptr;
  *s = *from;
  s->own = s->transformed = s->filtered = s->bordered = LayerTriple{};
  s->shadow = nullptr;
  s->kindData = nullptr;
  const LayerKind* kind = GetLayerKind(type);
  if (from->kindData && kind && kind->copyState) {
    if (kind->copyState(from, s) != ERR_NONE) {
      FreeMemory(s);
      return nullptr;
    }
  }
  return s;
}

void FreeImageState(VmState* L, int32_t type, LayerImageState* state) {
  if (!state) return;
  freeTriple(&state->own);
  freeTriple(&state->transformed);
  freeTriple(&state->filtered);
  freeTriple(&state->bordered);
  FreeAlphaChannel(state->shadow);
  state->shadow = nullptr;
  const LayerKind* kind = GetLayerKind(type);
  if (kind && kind->freeState) kind->freeState(L, state);
  FreeMemory(state);
}

void FreeLayerImageStates(VmState* L, qmLayer* layer) {
  LayerImageState* states[3];
  int n = distinctStates(layer, states);
  bool madeClip = false;
  for (int i = 0; i < n; ++i) {
    madeClip = madeClip || (states[i]->clip && states[i]->clip->madeForLayer);
    FreeImageState(L, layer->type, states[i]);
  }
  layer->base = layer->unscaled = layer->display = nullptr;
  // Clip region copies made for the states go with them.
  if (madeClip) PruneClipRegions();
  FreeMemory(layer->name);
  layer->name = nullptr;
  releaseRefs(L, layer);
}

void FreeLayerBitmaps(qmLayer* layer) {
  LayerImageState* states[3];
  int n = distinctStates(layer, states);
  for (int i = 0; i < n; ++i) freeTriple(&states[i]->filtered);
}

void FreeLayerBorderImages(qmLayer* layer) {
  LayerImageState* states[3];
  int n = distinctStates(layer, states);
  for (int i = 0; i < n; ++i) freeTriple(&states[i]->bordered);
}

void FreeLayerShadowBitmap(qmLayer* layer) {
  LayerImageState* states[3];
  int n = distinctStates(layer, states);
  for (int i = 0; i < n; ++i) {
    FreeAlphaChannel(states[i]->shadow);
    states[i]->shadow = nullptr;
  }
}

void FreeLayerCaches(qmLayer* layer) {
  FreeLayerBitmaps(layer);
  FreeLayerBorderImages(layer);
  FreeLayerShadowBitmap(layer);
}

void ForgetLayerClipRegion(ClipRegion* region) {
  for (BGPic* pic = GetBGPicList(); pic; pic = reinterpret_cast<BGPic*>(pic->head.next))
    for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l)) {
      LayerImageState* states[3];
      int n = distinctStates(l, states);
      for (int i = 0; i < n; ++i)
        if (states[i]->clip == region) states[i]->clip = nullptr;
    }
}

void CopyLayerStyleFields(qmLayer* to, const qmLayer* from) {
  to->hidden = from->hidden;
  to->transparency = from->transparency;
  to->shadow = from->shadow;
  to->shadowFade = from->shadowFade;
  to->border = from->border;
  to->borderFade = from->borderFade;
  to->outlineFilters = from->outlineFilters;
  std::memcpy(to->filters, from->filters, sizeof to->filters);
  to->noClipTransform = from->noClipTransform;
}

uint32_t DeferKindOfType(int32_t type) {
  switch (type) {
    case LAYER_BRUSH:
    case LAYER_BRUSHPART:
      return DEFER_BRUSHES;
    case LAYER_ANIM:
      return DEFER_ANIMS;
    case LAYER_TEXTOBJECT:
      return DEFER_TEXTOBJECTS;
    case LAYER_BGPICPART:
      return DEFER_BGPICS;
    case LAYER_VIDEO:
      return DEFER_VIDEOS;
    default:
      return 0;
  }
}

void FlushDeferredFrees(VmState* L, uint32_t kinds) {
  // Each kind frees its own objects once no layer shows them; a kind that
  // registered several layer types is asked once.
  const LayerKind* asked[LAYER_KIND_TYPES] = {};
  int n = 0;
  for (int32_t type = 0; type < LAYER_KIND_TYPES; ++type) {
    const LayerKind* kind = layerContext.kinds[type];
    if (!kind || !kind->flushDeferred || !(DeferKindOfType(type) & kinds)) continue;
    if (std::find(asked, asked + n, kind) != asked + n) continue;
    bool same = false;
    for (int i = 0; i < n; ++i) same = same || asked[i]->flushDeferred == kind->flushDeferred;
    asked[n++] = kind;
    if (!same) kind->flushDeferred(L);
  }
  if (kinds & DEFER_BGPICS) FreePendingBGPics(L);
}

void DestroyLayer(VmState* L, qmLayer* layer) {
  unlinkLayer(layer);
  FreeLayerImageStates(L, layer);
  FreeMemory(layer);
}

void FreeAllLayers(VmState* L, BGPic* pic, int withButtons, int flush) {
  if (!pic || !pic->layers.head) return;
  uint32_t kinds = 0;
  while (qmLayer* l = FirstLayer(pic)) {
    if (withButtons) FreeLayerButtons(L, pic, l);
    kinds |= DeferKindOfType(l->type);
    DestroyLayer(L, l);
  }
  if (flush && kinds) FlushDeferredFrees(L, kinds);
}

// ---- Objects shown by layers ----

int FindLayerOfObject(int32_t type, ObjectId id, void** layer, BGPic** pic, void* clipRegion) {
  if (layer) *layer = nullptr;
  if (pic) *pic = nullptr;
  for (BGPic* p = GetBGPicList(); p; p = reinterpret_cast<BGPic*>(p->head.next))
    for (qmLayer* l = FirstLayer(p); l; l = NextLayer(l)) {
      bool match = false;
      if (clipRegion) {
        LayerImageState* states[3];
        int n = distinctStates(l, states);
        for (int i = 0; i < n; ++i) match = match || states[i]->clip == clipRegion;
      } else {
        // A brush part shows a brush, a picture part a picture.
        int32_t shown = l->type == LAYER_BRUSHPART   ? LAYER_BRUSH
                        : l->type == LAYER_BGPICPART ? OBJECT_BGPIC
                                                     : l->type;
        match = shown == type && l->sourceId.number == id.number && l->sourceId.autoId == id.autoId;
      }
      if (match) {
        if (layer) *layer = l;
        if (pic) *pic = p;
        return 1;
      }
    }
  return 0;
}

int IsObjectOnLayer(int32_t type, ObjectId id) {
  return FindLayerOfObject(type, id, nullptr, nullptr, nullptr);
}

void RepointLayers(int32_t type, ObjectId from, ObjectId to) {
  for (BGPic* p = GetBGPicList(); p; p = reinterpret_cast<BGPic*>(p->head.next))
    for (qmLayer* l = FirstLayer(p); l; l = NextLayer(l)) {
      int32_t shown = l->type == LAYER_BRUSHPART ? LAYER_BRUSH : l->type;
      if (shown == type && l->sourceId.number == from.number && l->sourceId.autoId == from.autoId)
        l->sourceId = to;
    }
}

// Picture parts own a copy of the part they show, so a picture that
// changes or goes never takes pixels from under a layer.
ErrorCode CopyObjectForLayers(VmState*, int32_t, ObjectId, void*, void*, void** copy) {
  if (copy) *copy = nullptr;
  return ERR_NONE;
}

ErrorCode FindButtonLayer(VmState* L, int index, BGPic* pic, void** layer) {
  int32_t position = 0;
  if (ErrorCode e = GetLayerIdArg(L, index, pic, &position)) return e;
  *layer = GetLayerByIndex(pic, position);
  return *layer ? ERR_NONE : ERR_LAYERRANGE;
}

// ---- Making layers ----

ErrorCode NewLayer(VmState* L, int32_t type, const ObjectId* sourceId, int32_t x, int32_t y,
                   int32_t width, int32_t height, const DisplayTransform* transform,
                   const ObjectStyle* style, BitmapHandle* bitmap, BitmapHandle* mask,
                   BitmapHandle* alpha, LayerImageState* state, int32_t position, uint32_t flags,
                   qmLayer** out) {
  if (out) *out = nullptr;
  BGPic* pic = GetLayerPicture();
  DisplayRecord* d = GetLayerDisplay();
  auto* layer = static_cast<qmLayer*>(AllocMemory(sizeof(qmLayer), 1));
  bool linked = false;
  auto fail = [&](ErrorCode e) {
    if (layer) {
      if (linked) {
        unlinkLayer(layer);
        bitmap = mask = alpha = nullptr;  // the state holds them now
      }
      FreeMemory(layer->name);
      releaseRefs(L, layer);
      if (layer->base && layer->base != state) FreeImageState(L, type, layer->base);
      if (layer->unscaled && layer->unscaled != state && layer->unscaled != layer->base)
        FreeImageState(L, type, layer->unscaled);
      if (layer->display && layer->display != state && layer->display != layer->base &&
          layer->display != layer->unscaled)
        FreeImageState(L, type, layer->display);
      FreeMemory(layer);
    }
    if (state) {
      if (!linked) state->own = LayerTriple{};
      FreeImageState(L, type, state);
    }
    if (!linked) {
      FreeBitmap(bitmap);
      FreeBitMask(mask);
      FreeAlphaChannel(alpha);
    }
    return e;
  };
  if (!layer || !pic || !state)
    return fail(layer && pic ? ERR_MEM : (layer ? ERR_NOLAYERS : ERR_MEM));

  state->own = LayerTriple{bitmap, mask, alpha};
  if (flags & NEWLAYER_ACTUALGEOMETRY) {
    state->anchoredX = state->requestedX;
    state->anchoredY = state->requestedY;
  } else {
    state->anchoredX = state->requestedX = x;
    state->anchoredY = state->requestedY = y;
  }
  state->x = x;
  state->y = y;
  state->width = width;
  state->height = height;
  if (!state->requestedWidth) state->requestedWidth = width;
  if (!state->requestedHeight) state->requestedHeight = height;

  if (!style) {
    ObjectStyle defaults;
    CopyDefaultObjectStyle(&defaults);
    layer->shadow = defaults.shadow;
    layer->border = defaults.border;
    layer->shadow.on = 0;
    layer->border.on = 0;
  } else {
    layer->transparency = style->transparency;
    layer->shadow = style->shadow;
    layer->border = style->border;
    std::memcpy(layer->filters, style->filters, sizeof layer->filters);
    layer->outlineFilters = outlineFilterFlag(layer->filters);
    if (style->hidden) flags |= NEWLAYER_HIDDEN;
    if (style->name[0]) {
      if (ErrorCode e = AssignLayerName(layer, style->name)) return fail(e);
    }
    if (style->insertPos > 0) position = std::min(style->insertPos, CountLayers(pic) + 1);
  }

  layer->type = type;
  layer->hidden = (flags & NEWLAYER_HIDDEN) ? 1 : 0;
  layer->pending = !layer->hidden && d && d->outputKind == OBJECT_BGPIC && pic == d->bgpic;
  layer->base = layer->unscaled = layer->display = state;
  // A new layer keeps the clip region that its drawing was made through.
  if (!(flags & NEWLAYER_REPLACE))
    state->clip =
        pic->clipRegion ? static_cast<ClipRegion*>(pic->clipRegion) : GetActiveClipRegion();
  pic->layersChanged = 1;

  if (transform) {
    layer->transform = *transform;
    layer->anchorX = transform->anchorX;
    layer->anchorY = transform->anchorY;
    if (type != LAYER_LINE) {
      int32_t ax = state->requestedX - roundToInt(layer->anchorX * state->requestedWidth);
      int32_t ay = state->requestedY - roundToInt(layer->anchorY * state->requestedHeight);
      state->x = ax - (state->requestedX - state->x);
      state->y = ay - (state->requestedY - state->y);
      state->anchoredX = ax;
      state->anchoredY = ay;
    }
  } else {
    CopyDefaultTransform(&layer->transform);
  }
  if (sourceId) layer->sourceId = layer->firstId = *sourceId;

  insertAt(pic, layer, position);
  linked = true;

  // The layer replaced takes its leave only once the new one is drawn, so
  // that a failure leaves it in place.
  qmLayer* old = (flags & NEWLAYER_REPLACE) ? NextLayer(layer) : nullptr;
  if (old) {
    if (old->asyncUse) return fail(ERR_REMADLAYER);
    state->clip = old->base ? old->base->clip : nullptr;
    if (flags & NEWLAYER_KEEPPOSITION) {
      for (LayerImageState* s : {layer->base}) {
        s->requestedX = old->base->requestedX;
        s->requestedY = old->base->requestedY;
        s->anchoredX = old->base->anchoredX;
        s->anchoredY = old->base->anchoredY;
        s->x = old->base->x;
        s->y = old->base->y;
      }
    }
    if (flags & NEWLAYER_KEEPFILTERS) {
      layer->outlineFilters = old->outlineFilters;
      std::memcpy(layer->filters, old->filters, sizeof layer->filters);
    }
  }

  bool transformed = false;
  if (!isIdentity(layer->transform)) {
    if (ErrorCode e = RenderLayerImage(L, layer, RENDER_TRANSFORM, d)) return fail(e);
    transformed = true;
  }
  // On a display that scales its layers every new layer is drawn at the
  // display's scale at once (a transformed one was, with its transform).
  if (!transformed && DisplayScalesLayers(d, pic)) {
    uint32_t mode = RENDER_DISPLAYSCALE | RENDER_BASESIZE |
                    ((flags & NEWLAYER_REPLACE) ? RENDER_TRANSFORM : 0u);
    if (ErrorCode e = RenderLayerImage(L, layer, mode, d)) return fail(e);
  }
  if (old) {
    MoveLayerButtons(pic, old, layer);
    layer->takenOver = old->takenOver;
    layer->refs = old->refs;
    layer->refCount = old->refCount;
    old->refs = nullptr;
    old->refCount = 0;
    layer->data = old->data;
    old->data = nullptr;
    DeleteLayer(L, old, 1, nullptr, nullptr, 1);
  }

  if (!(flags & NEWLAYER_REPLACE) && !layer->hidden) {
    bool onTop = NextLayer(layer) == nullptr;
    if (!onTop || transformed || anyFilterOn(layer->filters) || layer->transparency ||
        layer->shadow.on || layer->border.on)
      RefreshLayerArea(L, layer, 0);
  }
  if (out) *out = layer;
  return ERR_NONE;
}

ErrorCode CreateObjectLayer(VmState* L, int32_t type, ObjectId id, int32_t sx, int32_t sy,
                            int32_t x, int32_t y, int32_t width, int32_t height,
                            const DisplayTransform* transform, const ObjectStyle* style,
                            BitmapHandle* bitmap, int32_t position, uint32_t flags,
                            intptr_t extra) {
  LayerImageState* state = AllocLayerImageState();
  if (!state) {
    FreeBitmap(bitmap);
    return ERR_MEM;
  }
  state->partX = sx;
  state->partY = sy;
  // An anim layer shows the frame that the extra word names (from 0).
  if (type == LAYER_ANIM) state->frame = static_cast<int32_t>(extra);
  state->requestedWidth = width;
  state->requestedHeight = height;
  qmLayer* layer = nullptr;
  uint32_t layerFlags = 0;
  if (flags & 8) layerFlags |= NEWLAYER_REPLACE | NEWLAYER_KEEPPOSITION | NEWLAYER_KEEPFILTERS;
  ErrorCode e = NewLayer(L, type, &id, x, y, width, height, transform, style, bitmap, nullptr,
                         nullptr, state, position, layerFlags, &layer);
  if (e != ERR_NONE) return e;
  // NewLayer leaves a plain layer put on top to its caller: DrawObject
  // copies it straight when it may, otherwise it is drawn here. Nothing is
  // copied straight onto a display that draws its layers at its own scale,
  // nor while a picture is selected in layers mode (the area is queued for
  // the selection's end).
  bool identity = !transform || (transform->m11 == 1 && transform->m12 == 0 &&
                                 transform->m21 == 0 && transform->m22 == 1);
  bool plain = identity && !layer->transparency && !layer->shadow.on && !layer->border.on &&
               !anyFilterOn(layer->filters);
  const DisplayRecord* d = GetLayerDisplay();
  bool straight = d && d->outputKind == OBJECT_DISPLAY && layer->display == layer->base;
  bool callerCopies =
      straight && identity && !(flags & (1 | 4 | 8)) && (!style || style->effects == 0);
  if (plain && !callerCopies && !layer->hidden && !NextLayer(layer) && !(flags & 8))
    RefreshLayerArea(L, layer, 1);
  return ERR_NONE;
}

// ---- Re-rendering and geometry ----

namespace {

BGPic* pictureOf(const qmLayer* layer) {
  for (BGPic* p = GetBGPicList(); p; p = reinterpret_cast<BGPic*>(p->head.next))
    for (qmLayer* l = FirstLayer(p); l; l = NextLayer(l))
      if (l == layer) return p;
  return nullptr;
}

// Switches the current display (output to itself, layers on) and picture
// for the lifetime of the scope.
struct LayerScope {
  LayerScope(DisplayRecord* d, BGPic* pic)
      : display(GetCurrentDisplay()), picture(GetCurrentBGPic()), target(d) {
    if (d) {
      kind = d->outputKind;
      layers = d->layers;
      SetCurrentDisplay(d);
      d->outputKind = OBJECT_DISPLAY;
      d->layers = 1;
    }
    if (pic) SetCurrentBGPic(pic);
  }
  ~LayerScope() {
    if (target) {
      target->outputKind = kind;
      target->layers = layers;
    }
    SetCurrentDisplay(display);
    SetCurrentBGPic(picture);
  }
  LayerScope(const LayerScope&) = delete;
  LayerScope& operator=(const LayerScope&) = delete;
  DisplayRecord* display;
  BGPic* picture;
  DisplayRecord* target;
  int32_t kind = 0, layers = 0;
};

}  // namespace

ErrorCode RerenderAllLayers(VmState* L, DisplayRecord* display, BGPic* pic) {
  LayerScope scope(display, pic);
  ErrorCode first = ERR_NONE;
  for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l)) {
    ErrorCode e = RerenderLayerImage(L, l);
    if (e != ERR_NONE && first == ERR_NONE) first = e;
  }
  return first;
}

ErrorCode RemakeLayerInPlace(VmState* L, DisplayRecord* display, qmLayer** inOut,
                             BitmapHandle* bitmap) {
  qmLayer* layer = *inOut;
  BGPic* pic = pictureOf(layer);
  int32_t type = layer->type;
  bool bitmapKind = type == LAYER_BRUSH || type == LAYER_BRUSHPART || type == LAYER_BGPICPART ||
                    type == LAYER_VIDEO || type == LAYER_ANIM;
  if (!pic || !bitmapKind) {
    FreeBitmap(bitmap);
    return ERR_WRONGUSAGE;
  }
  LayerScope scope(display, pic);
  // The whole name goes over, however long.
  char* name = nullptr;
  if (layer->name) {
    size_t length = std::strlen(layer->name);
    name = static_cast<char*>(AllocMemory(length + 1, 0));
    if (!name) {
      FreeBitmap(bitmap);
      return ERR_MEM;
    }
    std::memcpy(name, layer->name, length + 1);
  }
  qmLayer saved = *layer;
  DisplayTransform transform = layer->transform;
  const LayerImageState* base = layer->base;
  LayerImageState* state = AllocLayerImageState();
  if (!state) {
    FreeMemory(name);
    FreeBitmap(bitmap);
    return ERR_MEM;
  }
  state->partX = base->partX;
  state->partY = base->partY;
  state->frame = base->frame;
  state->requestedWidth = base->requestedWidth;
  state->requestedHeight = base->requestedHeight;
  int32_t w = bitmap ? static_cast<int32_t>(GetBitmapAttr(bitmap, 0)) : base->requestedWidth;
  int32_t h = bitmap ? static_cast<int32_t>(GetBitmapAttr(bitmap, 14)) : base->requestedHeight;
  uint32_t flags = NEWLAYER_REPLACE | NEWLAYER_KEEPPOSITION | NEWLAYER_KEEPFILTERS |
                   (layer->hidden ? NEWLAYER_HIDDEN : 0u);
  qmLayer* made = nullptr;
  ErrorCode e =
      NewLayer(L, type, &saved.sourceId, base->requestedX, base->requestedY, w, h, &transform,
               nullptr, bitmap, nullptr, nullptr, state, GetLayerPosition(layer), flags, &made);
  if (e != ERR_NONE) {
    FreeMemory(name);
    return e;
  }
  CopyLayerStyleFields(made, &saved);
  made->firstId = saved.firstId;
  made->pending = saved.pending;
  std::memcpy(made->group, saved.group, sizeof made->group);
  FreeMemory(made->name);
  made->name = name;
  *inOut = made;
  if (display && pic == display->bgpic && !made->pending) RefreshLayerArea(L, made, 1);
  return ERR_NONE;
}

void SetLayerGeometry(VmState* L, qmLayer* layer, LayerRect* collect, int32_t x, int32_t y,
                      int32_t width, int32_t height, BitmapHandle* bitmap, BitmapHandle* mask,
                      BitmapHandle* alpha, uint32_t flags) {
  LayerImageState* s = layer->display;
  LayerRect old;
  GetLayerBounds(L, layer, s, &old);
  s->width = width;
  s->height = height;
  if (layer->type != LAYER_LINE || !(flags & SETGEOMETRY_KEEPLINE)) {
    s->x = x - roundToInt(width * layer->anchorX);
    s->y = y - roundToInt(height * layer->anchorY);
  }
  if (bitmap) {
    freeTriple(&s->own);
    s->own = LayerTriple{bitmap, mask, alpha};
  }
  if (collect) UniteRect(collect, old);
  if (!layer->asyncUse) {
    // A transformed image of another size no longer fits: made again at the
    // new size, of the kinds it had, for the caller to draw into.
    LayerTriple t = s->transformed;
    if (t.bitmap &&
        (GetBitmapAttr(t.bitmap, 0) != width || GetBitmapAttr(t.bitmap, 14) != height)) {
      LayerTriple fresh{AllocBitmap(width, height, 0, nullptr), nullptr, nullptr};
      if (t.mask) fresh.mask = AllocBitMask(fresh.bitmap, width, height, 1, nullptr, 0);
      if (t.alpha) fresh.alpha = AllocAlphaChannel(width, height, 1, nullptr, 0);
      freeTriple(&s->transformed);
      s->transformed = fresh;
    }
    FreeLayerCaches(layer);
  }
  if (layer->hidden || layer->pending || collect) return;
  LayerRect now;
  GetLayerBounds(L, layer, s, &now);
  UniteRect(&now, old);
  RefreshRect(L, now.x, now.y, now.width, now.height);
}
