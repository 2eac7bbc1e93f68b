// Layer style attributes: one style table changes any attribute of a layer
// (position, anchor, scale, rotation, matrix, transparency, tint, filters,
// shadow, border, clip region, stacking, visibility, group) and, through
// the hooks of its kind, its type-specific content. The single-purpose
// layer commands build a small table and go the same way.
//
// Invariant: a table is read whole before the layer changes, so a bad
// field leaves the layer as it was; the steps that can run out of memory
// (drawing the content again, re-rendering the transform) run before the
// ones that cannot, and each leaves the layer unchanged when it fails.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "display/layer_private.h"

namespace {

const LayerStyleHooks* styleHooks[LAYER_KIND_TYPES];
const LayerStyleServices* styleServices = nullptr;

int32_t roundToInt(double v) { return VmTruncInt32(std::round(v)); }

// Pushes the field of the table; 1 when it holds a value (left on the
// stack), 0 when nil (popped).
int pushField(VmState* L, int table, const char* name) {
  VmPushString(L, name);
  VmGetTable(L, table);
  if (VmType(L, -1) == VM_TYPE_NIL) {
    VmSetTop(L, VmGetTop(L) - 1);
    return 0;
  }
  return 1;
}

// A flag field: a boolean, or a number that is non-zero.
int readFlag(VmState* L, int table, const char* name, int32_t* value) {
  if (!pushField(L, table, name)) return 0;
  *value =
      VmType(L, -1) == VM_TYPE_BOOLEAN ? VmToBoolean(L, -1) : VmTruncInt32(VmToNumber(L, -1)) != 0;
  VmSetTop(L, VmGetTop(L) - 1);
  return 1;
}

bool sameFilters(const FilterSlot* a, const FilterSlot* b) {
  for (int i = 0; i < FILTER_SLOTS; ++i) {
    if (a[i].on != b[i].on) return false;
    if (!a[i].on) continue;
    if (a[i].priority != b[i].priority || std::memcmp(a[i].ints, b[i].ints, sizeof a[i].ints) ||
        std::memcmp(a[i].reals, b[i].reals, sizeof a[i].reals))
      return false;
  }
  return true;
}

bool isIdentity(const DisplayTransform& t) {
  return t.m11 == 1 && t.m12 == 0 && t.m21 == 0 && t.m22 == 1;
}

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

// The work of one table; the kind's scratch record goes with it (freed by
// the hooks that read it, unless a remake took it over).
struct WorkGuard {
  LayerStyleWork work{};
  const LayerStyleHooks* owner = nullptr;
  ~WorkGuard() {
    if (work.kindData && owner && owner->freeWork) owner->freeWork(&work);
  }
};

// Position constants (CENTER, LEFT, ...) lie far below any real position.
bool isPositionConstant(int32_t v) { return v <= -20000; }

// Everything else the table asks for, read before anything changes.
struct StyleRead {
  DisplayTransform transform;
  bool geometry = false;
  bool anchor = false;
  double anchorX = 0, anchorY = 0;
  bool xGiven = false, yGiven = false;
  int32_t x = 0, y = 0;
  uint32_t relative = 0;  // 1 x, 2 y
  bool smoothGiven = false;
  int32_t smooth = 0;
  bool transparencyGiven = false;
  int32_t transparency = 0;
  FilterSlot filters[FILTER_SLOTS];
  bool hiddenGiven = false;
  int32_t hidden = 0;
  bool shadowGiven = false, borderGiven = false;
  bool clipGiven = false;
  ClipRegion* clip = nullptr;
  bool noClipGiven = false;
  int32_t noClipTransform = 0;
  bool zGiven = false;
  int32_t z = 0;
  bool groupGiven = false;
  char group[OBJECT_NAME_SIZE] = {};
};

// Reads the geometry fields into read.transform (a copy of the layer's).
ErrorCode readGeometry(VmState* L, int table, StyleRead* r) {
  DisplayTransform& t = r->transform;
  int found = 0;
  double m[4];
  if (GetTableFieldMatrix(L, table, "transform", m, &found)) {
    if (m[0] == 0 || m[3] == 0) return ERR_WRONGUSAGE;
    std::copy(m, m + 4, t.matrix);
    t.hasMatrix = 1;
    t.scaleX = t.scaleY = 1.0;
    t.rotate = 0;
    t.width = t.height = 0;
    r->geometry = true;
  } else {
    double v = 0;
    for (int axis = 0; axis < 2; ++axis) {
      if (GetTableFieldNumber(L, table, axis ? "scaley" : "scalex", &v, &found)) {
        if (v == 0) return ERR_BADDIMENSIONS;
        (axis ? t.scaleY : t.scaleX) = v;
        (axis ? t.height : t.width) = 0;
        t.hasMatrix = 0;
        r->geometry = true;
      }
    }
    for (int axis = 0; axis < 2; ++axis) {
      int percent = 0;
      if (GetTableFieldNumberEx(L, table, axis ? "height" : "width", 0, 0, &v, &percent, &found)) {
        if (percent) {
          if (v == 0) return ERR_BADDIMENSIONS;
          (axis ? t.scaleY : t.scaleX) = v;
          (axis ? t.height : t.width) = 0;
        } else {
          if (v < 0) return ERR_BADDIMENSIONS;
          (axis ? t.height : t.width) = VmTruncInt32(v);
          (axis ? t.scaleY : t.scaleX) = 1.0;
        }
        t.hasMatrix = 0;
        r->geometry = true;
      }
    }
    if (GetTableFieldNumber(L, table, "rotate", &v, &found)) {
      double a = std::fmod(v, 360.0);
      if (a != a) a = 0;
      if (a < 0) a += 360.0;
      t.rotate = a;
      t.hasMatrix = 0;
      r->geometry = true;
    }
  }
  double ax = t.anchorX, ay = t.anchorY;
  int fx = 0, fy = 0;
  GetTableFieldNumber(L, table, "anchorx", &ax, &fx);
  GetTableFieldNumber(L, table, "anchory", &ay, &fy);
  if (fx || fy) {
    if (!(ax >= 0.0 && ax <= 1.0) || !(ay >= 0.0 && ay <= 1.0)) return ERR_WRONGUSAGE;
    r->anchor = true;
    r->anchorX = ax;
    r->anchorY = ay;
  }
  return ERR_NONE;
}

// The position fields: relative moves, or absolute ones.
void readPosition(VmState* L, int table, StyleRead* r) {
  int found = 0;
  int32_t v = 0;
  if (GetTableFieldInt(L, table, "translatex", &v, &found)) {
    r->xGiven = true;
    r->x = v;
    r->relative |= 1;
  } else if (GetTableFieldInt(L, table, "x", &v, &found)) {
    r->xGiven = true;
    r->x = v;
  }
  if (GetTableFieldInt(L, table, "translatey", &v, &found)) {
    r->yGiven = true;
    r->y = v;
    r->relative |= 2;
  } else if (GetTableFieldInt(L, table, "y", &v, &found)) {
    r->yGiven = true;
    r->y = v;
  }
}

// Smooth scaling, transparency, the filter slots and the tint, in that
// order: "tint" and "tintcolor" override a tint of the list, and
// "clearfilters" empties the slots after both.
ErrorCode readStyle(VmState* L, int table, StyleRead* r) {
  int found = 0;
  if (readFlag(L, table, "smoothscale", &r->smooth)) r->smoothGiven = true;
  double v = 0;
  int percent = 0;
  if (GetTableFieldNumberEx(L, table, "transparency", 255, 1, &v, &percent, &found)) {
    r->transparencyGiven = true;
    r->transparency = std::clamp(roundToInt(v), 0, 255);
  }
  ErrorCode e = ERR_NONE;
  ReadLayerFilters(L, table, r->filters, nullptr, &e);
  if (e != ERR_NONE) return e;
  if (GetTableFieldNumberEx(L, table, "tint", 255, 1, &v, &percent, &found)) {
    int32_t level = std::clamp(roundToInt(v), 0, 255);
    r->filters[FILTER_TINT].ints[1] = level;
    r->filters[FILTER_TINT].on = level != 0;
  }
  uint32_t colour = 0;
  if (GetTableFieldU32(L, table, "tintcolor", &colour, &found))
    r->filters[FILTER_TINT].ints[0] = static_cast<int32_t>(colour & 0xFFFFFF);
  int32_t clear = 0;
  if (readFlag(L, table, "clearfilters", &clear) && clear)
    std::memset(r->filters, 0, sizeof r->filters);
  return ERR_NONE;
}

// Visibility, shadow, border, clip region, stacking and group.
ErrorCode readLook(VmState* L, int table, int group, LayerStyleWork* w, StyleRead* r) {
  if (readFlag(L, table, "hidden", &r->hidden)) r->hiddenGiven = true;
  if (styleServices) {
    int found = 0;
    ShadowStyle shadow = w->shadow;
    if (ErrorCode e = styleServices->parseShadow(L, table, &shadow, &found)) return e;
    if (found || std::memcmp(&shadow, &w->shadow, sizeof shadow)) {
      w->shadow = shadow;
      r->shadowGiven = true;
    }
    found = 0;
    BorderStyle border = w->border;
    if (ErrorCode e = styleServices->parseBorder(L, table, 1, &border, &found)) return e;
    if (found || std::memcmp(&border, &w->border, sizeof border)) {
      w->border = border;
      r->borderGiven = true;
    }
  }
  if (pushField(L, table, "clipregion")) {
    r->clipGiven = true;
    bool none = VmType(L, -1) == VM_TYPE_NUMBER && VmToNumber(L, -1) == -1;
    if (!none) {
      ObjectId id = GetObjectIdArg(L, VmGetTop(L), nullptr);
      if (ErrorCode e = FindClipRegion(id, &r->clip, CLIPFIND_USE)) return e;
    }
    VmSetTop(L, VmGetTop(L) - 1);
  }
  if (readFlag(L, table, "nocliptransform", &r->noClipTransform)) r->noClipGiven = true;
  if (pushField(L, table, "z")) {
    // A position, or the name of the layer whose place it takes.
    int top = VmGetTop(L);
    if (VmType(L, top) == VM_TYPE_STRING) {
      const char* name = VmToString(L, top);
      r->z = FindLayerByName(GetLayerPicture(), name);
      if (!r->z) {
        SetErrorArgString(name);
        VmSetTop(L, top - 1);
        return ERR_FINDLAYER;
      }
    } else if (VmType(L, top) == VM_TYPE_NUMBER) {
      r->z = VmTruncInt32(VmToNumber(L, top));
    } else {
      VmSetTop(L, top - 1);
      SetErrorArgNumber(table);  // the option table that holds the field
      return ERR_STRORNUM;
    }
    VmSetTop(L, top - 1);
    r->zGiven = true;
  }
  if (!group && pushField(L, table, "group")) {
    VmSetTop(L, VmGetTop(L) - 1);
    int found = 0;
    GetTableFieldString(L, table, "group", r->group, sizeof r->group, &found);
    r->groupGiven = true;
  }
  return ERR_NONE;
}

void addDirty(DirtyList* list, const LayerRect& r) {
  if (r.width < 1 || r.height < 1) return;
  AddDirtyRect(list, r.x, r.y, static_cast<int32_t>(int64_t{r.x} + r.width - 1),
               static_cast<int32_t>(int64_t{r.y} + r.height - 1), 1);
}

void addBounds(VmState* L, DirtyList* list, qmLayer* layer) {
  LayerRect r;
  GetLayerBounds(L, layer, layer->display, &r);
  addDirty(list, r);
}

// The size the layer's transform is built for: its untransformed content.
void contentSize(const qmLayer* layer, int32_t* w, int32_t* h) {
  *w = layer->base->requestedWidth > 0 ? layer->base->requestedWidth : layer->base->width;
  *h = layer->base->requestedHeight > 0 ? layer->base->requestedHeight : layer->base->height;
}

// Whether the table holds nothing but position fields (the common case of
// moving a layer), which needs none of the other readers.
bool onlyPosition(VmState* L, int table) {
  static const char* const NAMES[] = {"x", "y", "translatex", "translatey", nullptr};
  bool only = true;
  VmPushNil(L);
  while (VmNext(L, table)) {
    if (only)
      only = VmType(L, -2) == VM_TYPE_STRING && VmFindStringInList(VmToString(L, -2), NAMES) >= 0;
    VmSetTop(L, VmGetTop(L) - 1);
  }
  return only;
}

int32_t resolveCoordinate(int32_t value, int32_t current, bool relative, int32_t size,
                          int32_t reference, double anchor, bool vertical) {
  if (relative)
    return static_cast<int32_t>(
        std::clamp<int64_t>(int64_t{current} + value, INT32_MIN, INT32_MAX));
  if (value >= 95001 && value <= 104999) return current + value - KEEPPOSITION;
  return vertical ? ResolveYPos(value, size, reference, anchor)
                  : ResolveXPos(value, size, reference, anchor);
}

}  // namespace

void RegisterLayerStyleHooks(int32_t type, const LayerStyleHooks* hooks) {
  if (type >= 0 && type < LAYER_KIND_TYPES) styleHooks[type] = hooks;
}

const LayerStyleHooks* GetLayerStyleHooks(int32_t type) {
  return type >= 0 && type < LAYER_KIND_TYPES ? styleHooks[type] : nullptr;
}

void SetLayerStyleServices(const LayerStyleServices* services) { styleServices = services; }

ErrorCode ApplyLayerStyle(VmState* L, qmLayer** inOut, int table, int group, uint32_t* deferFlags,
                          DirtyList* list) {
  qmLayer* layer = *inOut;
  if (table < 0) table = VmGetTop(L) + table + 1;
  if (VmType(L, table) != VM_TYPE_TABLE) return ERR_WRONGUSAGE;
  WorkGuard guard;
  LayerStyleWork& w = guard.work;
  w.layer = layer;
  w.type = layer->type;
  w.shadow = layer->shadow;
  w.border = layer->border;
  StyleRead r;
  r.transform = layer->transform;
  r.transform.anchorX = layer->anchorX;
  r.transform.anchorY = layer->anchorY;
  std::memcpy(r.filters, layer->filters, sizeof r.filters);

  // 1-2: the type and the fields of the (new) type.
  const bool positionOnly = onlyPosition(L, table);
  if (!group && !positionOnly) {
    int found = 0;
    int32_t type = layer->type;
    if (GetTableFieldInt(L, table, "type", &type, &found) && type != layer->type) {
      if (type == LAYER_VIDEO) return ERR_WRONGUSAGE;
      if (!GetLayerStyleHooks(type) || !GetLayerStyleHooks(type)->remake) return ERR_WRONGUSAGE;
      w.type = type;
      w.typeChanged = 1;
      w.content = 1;
    }
    const LayerStyleHooks* hooks = GetLayerStyleHooks(w.type);
    if (hooks && hooks->read) {
      guard.owner = hooks;
      if (ErrorCode e = hooks->read(L, table, &w)) return e;
    }
  }
  // 3-5: geometry, position, style and look.
  if (!positionOnly)
    if (ErrorCode e = readGeometry(L, table, &r)) return e;
  readPosition(L, table, &r);
  if (w.hasPosition) {
    r.xGiven = r.yGiven = true;
    r.x = w.x;
    r.y = w.y;
    r.relative = 0;
  } else {
    // A polygon's position names its box, which starts at the vertices'
    // minimum.
    if (!(r.relative & 1) && r.xGiven && !isPositionConstant(r.x) &&
        !(r.x >= 95001 && r.x <= 104999))
      r.x += w.offsetX;
    if (!(r.relative & 2) && r.yGiven && !isPositionConstant(r.y) &&
        !(r.y >= 95001 && r.y <= 104999))
      r.y += w.offsetY;
  }
  if (!positionOnly) {
    if (ErrorCode e = readStyle(L, table, &r)) return e;
    if (ErrorCode e = readLook(L, table, group, &w, &r)) return e;
  }
  if (r.groupGiven && r.group[0]) {
    BGPic* pic = GetLayerPicture();
    for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l))
      if (l->name && CompareNoCase(l->name, r.group) == 0) {
        SetErrorArgString(r.group);
        return ERR_GROUPNAMEUSED;
      }
  }

  DisplayTransform t = r.transform;
  if (r.anchor) {
    t.anchorX = r.anchorX;
    t.anchorY = r.anchorY;
  }
  if (r.smoothGiven) t.smoothScale = r.smooth;
  LayerImageState* base = layer->base;
  BGPic* pic = GetLayerPicture();
  const int32_t picW = pic ? pic->width : 0, picH = pic ? pic->height : 0;

  // Where the layer is to be: its requested position after the table.
  int32_t cw = 0, ch = 0;
  contentSize(layer, &cw, &ch);
  if (w.width > 0) cw = w.width;
  if (w.height > 0) ch = w.height;
  int32_t nx = base->requestedX, ny = base->requestedY;
  if (r.xGiven)
    nx = resolveCoordinate(r.x, base->requestedX, r.relative & 1, layer->display->width, picW,
                           t.anchorX, false);
  if (r.yGiven)
    ny = resolveCoordinate(r.y, base->requestedY, r.relative & 2, layer->display->height, picH,
                           t.anchorY, true);
  bool moved = nx != base->requestedX || ny != base->requestedY;

  // 7, content: the layer is made again in place; it keeps its look.
  if (w.content) {
    const LayerStyleHooks* hooks = GetLayerStyleHooks(w.type);
    if (!hooks || !hooks->remake) return ERR_WRONGUSAGE;
    size_t length = layer->name ? std::strlen(layer->name) : 0;
    char* name = nullptr;
    if (layer->name) {
      // The whole name goes over, however long.
      name = static_cast<char*>(AllocMemory(length + 1, 0));
      if (!name) return ERR_MEM;
      std::memcpy(name, layer->name, length + 1);
    }
    qmLayer saved = *layer;
    char group[OBJECT_NAME_SIZE];
    std::memcpy(group, layer->group, sizeof group);
    addBounds(L, list, layer);
    ComputeLayerTransform(&t, cw, ch);
    uint32_t flags = NEWLAYER_REPLACE | (layer->hidden ? NEWLAYER_HIDDEN : 0u);
    qmLayer* made = nullptr;
    ErrorCode e = hooks->remake(L, layer, &w, nx, ny, &t, flags, &made);
    if (e != ERR_NONE) {
      FreeMemory(name);
      return e;
    }
    CopyLayerStyleFields(made, &saved);
    made->pending = saved.pending;
    std::memcpy(made->group, group, sizeof group);
    FreeMemory(made->name);
    made->name = name;
    made->anchorX = t.anchorX;
    made->anchorY = t.anchorY;
    layer = made;
    *inOut = made;
    w.layer = made;
    *deferFlags |= w.deferFlags;
    moved = false;
    r.geometry = false;
    r.anchor = false;
  }

  // An anim layer's frame: every state shows the new frame; images made
  // from the old one are made again.
  bool frameChanged = false;
  if (w.frameGiven && !w.content && layer->type == LAYER_ANIM && layer->base->frame != w.frame) {
    addBounds(L, list, layer);
    LayerImageState* shown[3];
    int n = distinctStates(layer, shown);
    const int32_t oldFrame = layer->base->frame;
    bool derived = false;
    for (int i = 0; i < n; ++i) {
      shown[i]->frame = w.frame;
      derived = derived || shown[i]->transformed.bitmap;
    }
    FreeLayerCaches(layer);
    if (derived)
      if (ErrorCode e = RerenderLayerImage(L, layer)) {
        n = distinctStates(layer, shown);
        for (int i = 0; i < n; ++i) shown[i]->frame = oldFrame;
        return e;
      }
    frameChanged = true;
  }

  // Geometry (and an anchor of a transformed layer): drawn again through
  // the new transform; a failure restores the old one.
  bool turned = !isIdentity(layer->transform);
  LayerImageState* states[3];
  bool sharedStates = distinctStates(layer, states) == 1;
  // A new clip region, or a change of whether it turns with the layer,
  // reaches the derived states by drawing them again.
  const bool clipChanged =
      r.clipGiven || (r.noClipGiven && (r.noClipTransform != 0) != (layer->noClipTransform != 0));
  bool regeometry = r.geometry || (r.anchor && turned) || (clipChanged && !sharedStates);
  if (regeometry) {
    if (layer->asyncUse) return ERR_REMADLAYER;
    addBounds(L, list, layer);
    DisplayTransform oldTransform = layer->transform;
    double oldAX = layer->anchorX, oldAY = layer->anchorY;
    ClipRegion* oldClip = layer->base->clip;
    const int32_t oldNoClip = layer->noClipTransform;
    ComputeLayerTransform(&t, cw, ch);
    layer->transform = t;
    layer->anchorX = t.anchorX;
    layer->anchorY = t.anchorY;
    if (r.clipGiven) layer->base->clip = r.clip;
    if (r.noClipGiven) layer->noClipTransform = r.noClipTransform ? 1 : 0;
    // The anchored corners follow the anchor before the render uses them.
    for (LayerImageState* s : {layer->base, layer->unscaled})
      if (s) SetLayerOffset(layer, s, s->requestedX, s->requestedY);
    if (ErrorCode e = RenderLayerImage(L, layer, RENDER_TRANSFORM, GetLayerDisplay())) {
      layer->transform = oldTransform;
      layer->anchorX = oldAX;
      layer->anchorY = oldAY;
      layer->base->clip = oldClip;
      layer->noClipTransform = oldNoClip;
      for (LayerImageState* s : {layer->base, layer->unscaled})
        if (s) SetLayerOffset(layer, s, s->requestedX, s->requestedY);
      return e;
    }
    r.anchor = false;
  }
  if (r.anchor) {
    // An untransformed layer: only the corner moves.
    addBounds(L, list, layer);
    layer->anchorX = layer->transform.anchorX = t.anchorX;
    layer->anchorY = layer->transform.anchorY = t.anchorY;
    int n = distinctStates(layer, states);
    for (int i = 0; i < n; ++i)
      SetLayerOffset(layer, states[i], states[i]->requestedX, states[i]->requestedY);
  }
  if (r.smoothGiven) layer->transform.smoothScale = r.smooth;

  // Position: the move queues its old and new areas itself.
  if (moved) MoveLayerTo(L, layer, nullptr, nx, ny, 0, 0, list);

  // Style and look: nothing here can fail.
  bool filtersChanged = !sameFilters(r.filters, layer->filters);
  if (filtersChanged) {
    std::memcpy(layer->filters, r.filters, sizeof layer->filters);
    layer->outlineFilters = layer->filters[FILTER_PIXELATE].on || layer->filters[FILTER_SWIRL].on ||
                            layer->filters[FILTER_WATERRIPPLE].on ||
                            layer->filters[FILTER_XFLIP].on || layer->filters[FILTER_YFLIP].on;
    FreeLayerBitmaps(layer);
    FreeLayerBorderImages(layer);
    FreeLayerShadowBitmap(layer);
  }
  if (r.transparencyGiven) layer->transparency = r.transparency;
  if (r.hiddenGiven && (r.hidden != 0) != (layer->hidden != 0)) {
    addBounds(L, list, layer);
    layer->hidden = r.hidden ? 1 : 0;
  }
  bool shadowChanged = std::memcmp(&w.shadow, &layer->shadow, sizeof w.shadow) != 0;
  bool borderChanged = std::memcmp(&w.border, &layer->border, sizeof w.border) != 0;
  if (shadowChanged || borderChanged) {
    addBounds(L, list, layer);
    FreeLayerShadowBitmap(layer);
    if (borderChanged) FreeLayerBorderImages(layer);
    layer->shadow = w.shadow;
    layer->border = w.border;
  }
  if (r.clipGiven && !regeometry) {
    int n = distinctStates(layer, states);
    addBounds(L, list, layer);
    for (int i = 0; i < n; ++i) states[i]->clip = r.clip;
  }
  if (r.noClipGiven) layer->noClipTransform = r.noClipTransform ? 1 : 0;
  if (r.zGiven && MoveLayerToZ(layer, r.z)) addBounds(L, list, layer);
  if (r.groupGiven) std::memcpy(layer->group, r.group, sizeof layer->group);
  if (filtersChanged && FindAsyncDrawByObject(layer))
    BroadcastAsyncDrawEvent(1, reinterpret_cast<intptr_t>(layer));
  // The area the layer covers now, unless only moved.
  bool onlyMoved = moved && !w.content && !frameChanged && !regeometry && !r.anchor &&
                   !filtersChanged && !r.transparencyGiven && !r.hiddenGiven && !shadowChanged &&
                   !borderChanged && !clipChanged && !r.zGiven;
  if (!onlyMoved) addBounds(L, list, layer);
  return ERR_NONE;
}

ErrorCode SetLayerStyleCore(VmState* L, int nargs, int noRefresh) {
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  if (nargs < 2) return ERR_MISSINGPARAMTR;
  BGPic* pic = GetLayerPicture();
  DisplayRecord* d = GetLayerDisplay();
  bool selected = d && d->outputKind == OBJECT_BGPIC;
  DirtyList own{};
  struct ListGuard {
    DirtyList* list;
    ~ListGuard() { FreeDirtyRects(list); }
  } listGuard{&own};
  DirtyList* list = selected ? &d->dirty : &own;
  uint32_t defer = 0;
  ErrorCode result = ERR_NONE;
  for (int i = 1; i + 1 <= nargs && result == ERR_NONE; i += 2) {
    int32_t cursor = 0, isGroup = 0;
    do {
      qmLayer* layer = nullptr;
      result = GetLayerArgOrGroup(L, i, pic, &layer, &cursor, &isGroup);
      if (result != ERR_NONE || !layer) break;
      result = ApplyLayerStyle(L, &layer, i + 1, isGroup, &defer, list);
    } while (result == ERR_NONE && cursor != -1);
  }
  // Earlier tables stay applied and are shown, also after an error.
  bool pending = false;
  for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l)) pending = pending || l->pending;
  if (!noRefresh && !selected && !pending) {
    MergeDirtyRects(list);
    RefreshDirtyRects(L, list);
  }
  if (defer) FlushDeferredFrees(L, defer);
  if (pic) pic->layersChanged = 1;
  return result;
}

// ---- Commands ----

namespace {

int cmdSetLayerStyle(VmState* L) {
  CheckArgCount(L, 2, 0, 0, 0);
  int n = VmGetTop(L);
  return SetLayerStyleCore(L, n, 0);
}

// Calls the core with the layer (argument 1) and the table built at the
// top as its only arguments.
int applyBuilt(VmState* L, int nargs) {
  VmPushValue(L, 1);
  VmInsert(L, -2);
  for (int i = nargs; i >= 1; --i) VmRemove(L, i);
  return SetLayerStyleCore(L, 2, 0);
}

void setNumber(VmState* L, const char* name, double value) {
  VmPushString(L, name);
  VmPushNumber(L, value);
  VmSetTable(L, -3);
}

void setArg(VmState* L, const char* name, int index) {
  VmPushString(L, name);
  VmPushValue(L, index);
  VmSetTable(L, -3);
}

// SetLayerFilter(id, filters or 0)
int cmdSetLayerFilter(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int nargs = VmGetTop(L);
  VmNewTable(L);
  if (VmType(L, 2) == VM_TYPE_TABLE) {
    setArg(L, "filters", 2);
  } else {
    if (VmCheckNumber(L, 2) != 0) return ERR_WRONGUSAGE;
    setNumber(L, "clearfilters", 1);
  }
  return applyBuilt(L, nargs);
}

// SetLayerAnchor(id, ax, ay)
int cmdSetLayerAnchor(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  int nargs = VmGetTop(L);
  VmNewTable(L);
  setNumber(L, "anchorx", VmCheckNumber(L, 2));
  setNumber(L, "anchory", VmCheckNumber(L, 3));
  return applyBuilt(L, nargs);
}

// TransformLayer(id, m11, m12, m21, m22 [, smooth])
int cmdTransformLayer(VmState* L) {
  CheckArgCount(L, 5, 6, 0, 0);
  int nargs = VmGetTop(L);
  double m[4];
  for (int i = 0; i < 4; ++i) m[i] = VmCheckNumber(L, 2 + i);
  VmNewTable(L);
  VmPushString(L, "transform");
  VmNewTable(L);
  for (int i = 0; i < 4; ++i) {
    VmPushNumber(L, i);
    VmPushNumber(L, m[i]);
    VmSetTable(L, -3);
  }
  VmSetTable(L, -3);
  if (nargs >= 6 && VmType(L, 6) != VM_TYPE_NIL) setArg(L, "smoothscale", 6);
  return applyBuilt(L, nargs);
}

// RotateLayer(id, angle [, smooth])
int cmdRotateLayer(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  int nargs = VmGetTop(L);
  VmNewTable(L);
  setNumber(L, "rotate", VmCheckNumber(L, 2));
  if (nargs >= 3 && VmType(L, 3) != VM_TYPE_NIL) setArg(L, "smoothscale", 3);
  return applyBuilt(L, nargs);
}

// ScaleLayer(id, width, height [, smooth])
int cmdScaleLayer(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  int nargs = VmGetTop(L);
  for (int i : {2, 3})
    if (VmType(L, i) != VM_TYPE_NUMBER && VmType(L, i) != VM_TYPE_STRING) {
      SetErrorArgNumber(i);
      VmRaiseError(L, ERR_STRORNUM);
    }
  VmNewTable(L);
  setArg(L, "width", 2);
  setArg(L, "height", 3);
  if (nargs >= 4 && VmType(L, 4) != VM_TYPE_NIL) setArg(L, "smoothscale", 4);
  return applyBuilt(L, nargs);
}

// SetLayerLight / SetLayerTint(id, colour, level)
int cmdSetLayerTint(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  int nargs = VmGetTop(L);
  VmCheckNumber(L, 2);
  if (VmType(L, 3) != VM_TYPE_NUMBER && VmType(L, 3) != VM_TYPE_STRING) {
    SetErrorArgNumber(3);
    VmRaiseError(L, ERR_STRORNUM);
  }
  VmNewTable(L);
  setArg(L, "tintcolor", 2);
  setArg(L, "tint", 3);
  return applyBuilt(L, nargs);
}

// SetLayerTransparency(id, level)
int cmdSetLayerTransparency(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int nargs = VmGetTop(L);
  if (VmType(L, 2) != VM_TYPE_NUMBER && VmType(L, 2) != VM_TYPE_STRING) {
    SetErrorArgNumber(2);
    VmRaiseError(L, ERR_STRORNUM);
  }
  VmNewTable(L);
  setArg(L, "transparency", 2);
  return applyBuilt(L, nargs);
}

const CommandTableEntry LAYER_STYLE_COMMANDS[] = {
    {"SetLayerStyle", cmdSetLayerStyle},
    {"GetLayerStyle", CmdGetLayerStyle},
    {"SetLayerFilter", cmdSetLayerFilter},
    {"SetLayerAnchor", cmdSetLayerAnchor},
    {"TransformLayer", cmdTransformLayer},
    {"RotateLayer", cmdRotateLayer},
    {"ScaleLayer", cmdScaleLayer},
    {"SetLayerLight", cmdSetLayerTint},
    {"SetLayerTint", cmdSetLayerTint},
    {"SetLayerTransparency", cmdSetLayerTransparency},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode RegisterLayerStyleCommands(VmState* L) {
  if (ErrorCode e = RegisterLibrary(LAYER_STYLE_COMMANDS, "layers")) return e;
  VmRegisterFunctions(L, nullptr, LAYER_STYLE_COMMANDS, 0);
  return ERR_NONE;
}
