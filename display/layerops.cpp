// Single layers as other libraries reach them (the moving objects), and the
// per-layer commands of the "layers" library: stacking, border and shadow,
// selection as drawing target, relative moves, anim frames, the move list
// and the collision test. Invariant: a command that fails its checks
// changes nothing; every change of a layer's look or place refreshes the
// union of its old and new areas.
#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "display/context_private.h"
#include "display/display_private.h"
#include "display/layer_private.h"

ErrorCode GetLayerFromArg(VmState* L, int index, qmLayer** out, int32_t* position) {
  BGPic* pic = GetLayerPicture();
  int32_t at = 0;
  if (ErrorCode e = GetLayerIdArg(L, index, pic, &at)) return e;
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

ErrorCode SetLayerPosFrame(VmState* L, qmLayer* layer, int32_t x, int32_t y, int32_t frame,
                           int noRefresh) {
  VmNewTable(L);
  const int table = VmGetTop(L);
  const char* names[3] = {"x", "y", "frame"};
  const int32_t values[3] = {x, y, frame};
  for (int i = 0; i < 3; ++i) {
    VmPushString(L, names[i]);
    VmPushNumber(L, values[i]);
    VmSetTable(L, table);
  }
  DisplayRecord* d = GetLayerDisplay();
  const bool selected = d && d->outputKind == OBJECT_BGPIC;
  DirtyList own{};
  DirtyList* list = selected ? &d->dirty : &own;
  uint32_t defer = 0;
  ErrorCode e = ApplyLayerStyle(L, &layer, table, 0, &defer, list);
  VmSetTop(L, table - 1);
  if (!noRefresh && !selected) {
    MergeDirtyRects(list);
    RefreshDirtyRects(L, list);
  }
  FreeDirtyRects(&own);
  if (defer) FlushDeferredFrees(L, defer);
  if (BGPic* pic = GetLayerPicture()) pic->layersChanged = 1;
  return e;
}

namespace {

// The layer of argument index after the common checks.
ErrorCode checkedLayer(VmState* L, int index, int32_t* position, qmLayer** layer) {
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  return GetLayerFromArg(L, index, layer, position);
}

// Shows the layer's area again after a change of its place in the stack.
void restacked(VmState* L, qmLayer* layer) {
  GetLayerPicture()->layersChanged = 1;
  RefreshLayerArea(L, layer, 0);
}

// LayerToBack(id[, swap]) and LayerToFront(id[, swap]).
int toEnd(VmState* L, bool front) {
  CheckArgCount(L, 1, 2, 0, 0);
  int32_t position = 0;
  qmLayer* layer = nullptr;
  if (ErrorCode e = checkedLayer(L, 1, &position, &layer)) return e;
  const int swap = VmOptInteger(L, 2, 1) != 0;
  const int32_t target = front ? CountLayers(GetLayerPicture()) : 1;
  if (swap) return target == position ? 0 : SwapLayersCore(L, position, target);
  if (MoveLayerToZ(layer, front ? 0 : 1)) restacked(L, layer);
  return 0;
}
int cmdLayerToBack(VmState* L) { return toEnd(L, false); }
int cmdLayerToFront(VmState* L) { return toEnd(L, true); }

// SetLayerZPos(id, z): z a position or a layer's name; 0 the front.
int cmdSetLayerZPos(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t position = 0;
  qmLayer* layer = nullptr;
  if (ErrorCode e = checkedLayer(L, 1, &position, &layer)) return e;
  int32_t z = 0;
  if (ErrorCode e = GetLayerIdArg(L, 2, GetLayerPicture(), &z)) return e;
  if (z == position || z < 0) return ERR_WRONGUSAGE;
  if (MoveLayerToZ(layer, z)) restacked(L, layer);
  return 0;
}

// SwapLayers(id1, id2).
int cmdSwapLayers(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t a = 0, b = 0;
  qmLayer* layer = nullptr;
  if (ErrorCode e = checkedLayer(L, 1, &a, &layer)) return e;
  if (ErrorCode e = checkedLayer(L, 2, &b, &layer)) return e;
  if (a == b) return ERR_WRONGUSAGE;
  return SwapLayersCore(L, a, b);
}

// Applies a change of the layer's decoration: the old bounds, the caches
// freed, the change, and the union of old and new bounds shown again.
template <typename Change>
void redecorate(VmState* L, qmLayer* layer, Change change) {
  LayerRect area;
  GetLayerBounds(L, layer, layer->display, &area);
  FreeLayerCaches(layer);
  change();
  LayerRect now;
  GetLayerBounds(L, layer, layer->display, &now);
  UniteRect(&area, now);
  GetLayerPicture()->layersChanged = 1;
  RefreshRect(L, area.x, area.y, area.width, area.height);
}

// SetLayerBorder(id, on[, colour, size]).
int cmdSetLayerBorder(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  qmLayer* layer = nullptr;
  if (ErrorCode e = checkedLayer(L, 1, nullptr, &layer)) return e;
  const int on = VmCheckInteger(L, 2) != 0;
  const uint32_t colour = static_cast<uint32_t>(VmOptInteger(L, 3, 0));
  const int32_t size = VmOptInteger(L, 4, 2);
  if (size < 1) return ERR_WRONGUSAGE;
  if (!on && !layer->border.on) return 0;
  redecorate(L, layer, [&] {
    layer->border.on = on;
    if (on) {
      layer->border.colour = colour;
      layer->border.size = size;
    }
  });
  return 0;
}

// SetLayerShadow(id, on[, colour, radius, distance, direction, sigma]).
int cmdSetLayerShadow(VmState* L) {
  CheckArgCount(L, 2, 7, 0, 0);
  qmLayer* layer = nullptr;
  if (ErrorCode e = checkedLayer(L, 1, nullptr, &layer)) return e;
  const int on = VmCheckInteger(L, 2) != 0;
  const uint32_t colour = static_cast<uint32_t>(VmOptInteger(L, 3, INT32_MIN));
  const double radius = VmOptNumber(L, 4, 5.0);
  const int32_t distance = VmOptInteger(L, 5, 4);
  const int32_t direction = VmOptInteger(L, 6, SHDWSOUTHEAST);
  const double sigma = VmOptNumber(L, 7, radius / 3.0);
  if (distance < 0 || !(radius >= 1.0) || !(sigma > 0) || direction < SHDWNORTH ||
      direction > SHDWNORTHWEST)
    return ERR_WRONGUSAGE;
  if (!on && !layer->shadow.on) return 0;
  redecorate(L, layer, [&] {
    layer->shadow.on = on;
    if (on) {
      layer->shadow.colour = colour;
      layer->shadow.radius = radius;
      layer->shadow.size = distance;
      layer->shadow.direction = direction;
      layer->shadow.sigma = sigma;
    }
  });
  return 0;
}

// TranslateLayer(id, dx, dy).
int cmdTranslateLayer(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  qmLayer* layer = nullptr;
  if (ErrorCode e = checkedLayer(L, 1, nullptr, &layer)) return e;
  const int32_t dx = VmTruncInt32(VmCheckNumber(L, 2)), dy = VmTruncInt32(VmCheckNumber(L, 3));
  MoveLayerTo(L, layer, nullptr, dx, dy, 0, 3, nullptr);
  GetLayerPicture()->layersChanged = 1;
  return 0;
}

// InsertLayer(position, type, id, x, y[, hidden]).
int cmdInsertLayer(VmState* L) {
  CheckArgCount(L, 5, 6, 0, 0);
  const int32_t position = VmCheckInteger(L, 1);
  const int32_t type = VmCheckInteger(L, 2);
  const ObjectId id = GetObjectIdArg(L, 3, nullptr);
  const int32_t x = VmTruncInt32(VmCheckNumber(L, 4)), y = VmTruncInt32(VmCheckNumber(L, 5));
  const int hidden = VmOptInteger(L, 6, 0) != 0;
  return InsertLayerObject(L, position, type, id, x, y, 0, hidden, nullptr);
}

// The anim layer behind NextFrame and ModifyLayerFrames.
ErrorCode animLayer(VmState* L, qmLayer** layer) {
  if (ErrorCode e = checkedLayer(L, 1, nullptr, layer)) return e;
  return (*layer)->type != LAYER_ANIM ? ERR_NOANMLAYER : ERR_NONE;
}

// NextFrame(id[, x, y, frame]).
int cmdNextFrame(VmState* L) {
  CheckArgCount(L, 1, 4, 0, 0);
  qmLayer* layer = nullptr;
  if (ErrorCode e = animLayer(L, &layer)) return e;
  const int32_t x = VmTruncInt32(VmOptNumber(L, 2, KEEPPOSITION));
  const int32_t y = VmTruncInt32(VmOptNumber(L, 3, KEEPPOSITION));
  const int32_t frame = VmOptInteger(L, 4, 0);
  return SetLayerPosFrame(L, layer, x, y, frame, 0);
}

// ModifyLayerFrames(id, count[, position]).
int cmdModifyLayerFrames(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  qmLayer* layer = nullptr;
  if (ErrorCode e = animLayer(L, &layer)) return e;
  const int32_t count = VmCheckInteger(L, 2);
  const int32_t position = VmOptInteger(L, 3, 0);
  if (count == 0) return ERR_WRONGUSAGE;
  const LayerAnimServices* anims = layerContext.anims;
  if (!anims) return ERR_UNSUPPORTEDFEAT;
  int32_t frames = 0;
  if (ErrorCode e = anims->changeFrames(L, layer, count, position, &frames)) return e;
  // The frame shown stays when it still exists; else the first is shown.
  LayerImageState* const states[3] = {layer->base, layer->unscaled, layer->display};
  bool gone = false;
  for (LayerImageState* state : states)
    if (state && state->frame >= frames) {
      state->frame = 0;
      gone = true;
    }
  FreeLayerCaches(layer);
  if (gone) {
    bool derived = false;
    for (LayerImageState* state : states) derived = derived || (state && state->transformed.bitmap);
    if (derived)
      if (ErrorCode e = RerenderLayerImage(L, layer)) return e;
    if (!layer->hidden) RefreshLayerArea(L, layer, 0);
  }
  GetLayerPicture()->layersChanged = 1;
  return 0;
}

// The video layer of the video commands, which need applet version 6.
ErrorCode videoLayer(VmState* L, int minimum, int maximum, qmLayer** layer) {
  CheckArgCount(L, minimum, maximum, 6, 0);
  if (ErrorCode e = checkedLayer(L, 1, nullptr, layer)) return e;
  return (*layer)->type != LAYER_VIDEO ? ERR_BADLAYERTYPE : ERR_NONE;
}
int videoCommand(VmState* L, int32_t command) {
  qmLayer* layer = nullptr;
  if (ErrorCode e = videoLayer(L, 1, 1, &layer)) return e;
  return RunVideoLayerCommand(L, layer, command, 0);
}
int cmdPlayLayer(VmState* L) { return videoCommand(L, VIDEOLAYER_PLAY); }
int cmdStopLayer(VmState* L) { return videoCommand(L, VIDEOLAYER_STOP); }
int cmdPauseLayer(VmState* L) { return videoCommand(L, VIDEOLAYER_PAUSE); }
int cmdResumeLayer(VmState* L) { return videoCommand(L, VIDEOLAYER_RESUME); }
int cmdSeekLayer(VmState* L) {
  qmLayer* layer = nullptr;
  if (ErrorCode e = videoLayer(L, 2, 2, &layer)) return e;
  return RunVideoLayerCommand(L, layer, VIDEOLAYER_SEEK, VmCheckInteger(L, 2));
}
// The volume is 0 to 64, or a percentage of 64.
int cmdSetLayerVolume(VmState* L) {
  qmLayer* layer = nullptr;
  if (ErrorCode e = videoLayer(L, 2, 2, &layer)) return e;
  const int32_t volume = VmTruncInt32(GetNumberArgEx(L, 2, 64, 0, nullptr));
  return RunVideoLayerCommand(L, layer, VIDEOLAYER_VOLUME, std::clamp(volume, 0, 64));
}

enum : int32_t {
  ENTRY_UNDO = 10,
  ENTRY_LAYER = 22,
  ENTRY_INSERTBRUSH = 24,
  ENTRY_HIDELAYER = 25,
  ENTRY_REMOVELAYER = 26,
  ENTRY_NEXTFRAME2 = 34,
};

// AddMove(list or Nil, type, ...).
int cmdAddMove(VmState* L) {
  CheckArgCount(L, 2, 6, 0, 0);
  int automatic = 0;
  const ObjectId id = GetObjectIdArg(L, 1, &automatic);
  MoveEntry entry{};
  entry.type = VmCheckInteger(L, 2);
  const BGPic* pic = GetLayerPicture();
  switch (entry.type) {
    case ENTRY_UNDO:
      entry.x = VmCheckInteger(L, 3);
      entry.id = GetObjectIdArg(L, 4, nullptr);
      break;
    case ENTRY_LAYER:
    case ENTRY_HIDELAYER:
    case ENTRY_REMOVELAYER:
    case ENTRY_NEXTFRAME2:
      if (ErrorCode e = GetLayerIdArg(L, 3, pic, &entry.id.number)) return e;
      entry.x = VmTruncInt32(VmOptNumber(L, 4, 0));
      break;
    default:
      entry.id = GetObjectIdArg(L, 3, nullptr);
      entry.x = VmTruncInt32(VmOptNumber(L, 4, 0));
      break;
  }
  entry.y = VmTruncInt32(VmOptNumber(L, 5, 0));
  if (entry.type == ENTRY_INSERTBRUSH) {
    if (VmGetTop(L) >= 6)
      if (ErrorCode e = GetLayerIdArg(L, 6, pic, &entry.frame)) return e;
  } else {
    entry.frame = VmTruncInt32(VmOptNumber(L, 6, 0));
  }
  entry.x1 = 10000;
  MoveList* list = automatic ? nullptr : FindMoveList(id);
  if (list && list->count >= MOVELIST_ENTRIES) return ERR_INTERNAL;
  bool made = false;
  if (!list) {
    if (ErrorCode e = NewMoveList(id, automatic, &list)) return e;
    made = true;
  }
  if (ErrorCode e = AddMoveEntry(list, entry)) return e;
  return made && automatic ? PushObjectId(L, ObjectId{list, 0}) : 0;
}

// One side of a pixel test.
struct Side {
  int32_t x = 0, y = 0, width = 0, height = 0;
  BitmapHandle *mask = nullptr, *alpha = nullptr;
  int32_t partX = 0, partY = 0;
  const ClipRegion* clip = nullptr;
};

ErrorCode brushSide(VmState* L, int index, Side* s) {
  qmLayer probe{};
  probe.type = LAYER_BRUSH;
  probe.sourceId = GetObjectIdArg(L, index, nullptr);
  const LayerKind* kind = GetLayerKind(LAYER_BRUSH);
  if (!kind || !kind->imageBitmaps) return ObjectNotFound(probe.sourceId, ERR_FINDBRUSH);
  LayerImageState state{};
  LayerTriple t{};
  if (ErrorCode e = kind->imageBitmaps(L, &probe, &state, -1, &t, &s->width, &s->height)) return e;
  s->mask = t.mask;
  s->alpha = t.alpha;
  s->x = VmTruncInt32(VmCheckNumber(L, index + 1));
  s->y = VmTruncInt32(VmCheckNumber(L, index + 2));
  return ERR_NONE;
}

// A box of the script; scaled, where the display shows it, as layers are
// placed.
Side boxSide(VmState* L, int index, double scaleX = 1.0, double scaleY = 1.0) {
  Side s;
  s.x = VmTruncInt32(VmCheckNumber(L, index));
  s.y = VmTruncInt32(VmCheckNumber(L, index + 1));
  s.width = VmTruncInt32(VmCheckNumber(L, index + 2));
  s.height = VmTruncInt32(VmCheckNumber(L, index + 3));
  if (scaleX != 1.0 || scaleY != 1.0)
    ScaleRectToDisplay(s.x, s.y, s.width, s.height, scaleX, scaleY, &s.x, &s.y, &s.width,
                       &s.height);
  return s;
}

// A layer as drawn; with a clip region, only inside the region's rectangle.
ErrorCode layerSide(VmState* L, int index, Side* out) {
  qmLayer* layer = nullptr;
  if (ErrorCode e = checkedLayer(L, index, nullptr, &layer)) return e;
  LayerImageState* state = layer->display;
  LayerTriple t{};
  int32_t w = 0, h = 0;
  if (ErrorCode e = GetLayerImageBitmaps(L, layer, state, 1, 1, -1, &t, &w, &h, nullptr)) return e;
  Side& s = *out;
  LayerRect r{state->x, state->y, std::min(w, state->width), std::min(h, state->height)};
  if (state->clip) {
    const ClipRegion* c = state->clip;
    if (!IntersectRects(r, LayerRect{c->x, c->y, c->width, c->height}, &r)) r.width = 0;
    s.clip = c;
  }
  s.x = r.x;
  s.y = r.y;
  s.width = r.width;
  s.height = r.height;
  s.partX = r.x - state->x;
  s.partY = r.y - state->y;
  s.mask = t.mask;
  s.alpha = t.alpha;
  return ERR_NONE;
}

ErrorCode spriteSide(VmState* L, int index, Side* out) {
  const ObjectId id = GetObjectIdArg(L, index, nullptr);
  const SpriteInstance* inst = FindSpriteInstance(id, nullptr);
  if (!inst) {
    if (id.autoId) return ERR_SPRITEONSCREEN2;
    SetErrorArgNumber(id.number);
    return ERR_SPRITEONSCREEN;
  }
  Side& s = *out;
  s.x = inst->x;
  s.y = inst->y;
  s.width = inst->width;
  s.height = inst->height;
  s.mask = inst->image.mask;
  s.alpha = inst->image.alpha;
  return ERR_NONE;
}

int pixelTest(const Side& a, const Side& b) {
  return PixelCollision(a.x, a.y, a.width, a.height, a.mask, a.alpha, a.partX, a.partY, b.x, b.y,
                        b.width, b.height, b.mask, b.alpha, b.partX, b.partY, a.clip, b.clip);
}

enum : int32_t {
  COLLIDE_BRUSH = 3,
  COLLIDE_BOX = 14,
  COLLIDE_LAYER = 22,
  COLLIDE_SPRITE = 32,
  COLLIDE_BRUSH_VS_BOX = 46,
  COLLIDE_LAYER_VS_BOX = 47,
  COLLIDE_SPRITE_VS_BOX = 48,
  COLLIDE_SPRITE_VS_BRUSH = 58,
};

// Collision(type, ...): 1 when the two collide.
int cmdCollision(VmState* L) {
  CheckArgCount(L, 1, 9, 0, 0);
  const int32_t type = VmCheckInteger(L, 1);
  int hit = 0;
  Side a, b;
  switch (type) {
    case COLLIDE_BOX: {
      a = boxSide(L, 2);
      b = boxSide(L, 6);
      hit = int64_t{b.x} < int64_t{a.x} + a.width && int64_t{a.x} < int64_t{b.x} + b.width &&
            int64_t{b.y} < int64_t{a.y} + a.height && int64_t{a.y} < int64_t{b.y} + b.height;
      break;
    }
    case COLLIDE_BRUSH:
      if (ErrorCode e = brushSide(L, 2, &a)) return e;
      if (ErrorCode e = brushSide(L, 5, &b)) return e;
      hit = pixelTest(a, b);
      break;
    case COLLIDE_BRUSH_VS_BOX:
      if (ErrorCode e = brushSide(L, 2, &a)) return e;
      hit = pixelTest(a, boxSide(L, 5));
      break;
    case COLLIDE_LAYER:
      if (ErrorCode e = layerSide(L, 2, &a)) return e;
      if (ErrorCode e = layerSide(L, 3, &b)) return e;
      hit = pixelTest(a, b);
      break;
    case COLLIDE_LAYER_VS_BOX: {
      if (ErrorCode e = layerSide(L, 2, &a)) return e;
      const DisplayRecord* d = GetLayerDisplay();
      hit = pixelTest(a, boxSide(L, 3, d ? d->scaleX : 1.0, d ? d->scaleY : 1.0));
      break;
    }
    case COLLIDE_SPRITE:
      if (ErrorCode e = spriteSide(L, 2, &a)) return e;
      if (ErrorCode e = spriteSide(L, 3, &b)) return e;
      hit = pixelTest(a, b);
      break;
    case COLLIDE_SPRITE_VS_BOX:
      if (ErrorCode e = spriteSide(L, 2, &a)) return e;
      hit = pixelTest(a, boxSide(L, 3));
      break;
    case COLLIDE_SPRITE_VS_BRUSH:
      if (ErrorCode e = spriteSide(L, 2, &a)) return e;
      if (ErrorCode e = brushSide(L, 3, &b)) return e;
      hit = pixelTest(a, b);
      break;
    default:
      return ERR_WRONGUSAGE;
  }
  VmPushNumber(L, hit ? 1 : 0);
  return 1;
}

const CommandTableEntry LAYER_OP_COMMANDS[] = {
    {"PlayLayer", cmdPlayLayer},
    {"StopLayer", cmdStopLayer},
    {"PauseLayer", cmdPauseLayer},
    {"ResumeLayer", cmdResumeLayer},
    {"SeekLayer", cmdSeekLayer},
    {"SetLayerVolume", cmdSetLayerVolume},
    {"LayerToBack", cmdLayerToBack},
    {"LayerToFront", cmdLayerToFront},
    {"SetLayerZPos", cmdSetLayerZPos},
    {"SwapLayers", cmdSwapLayers},
    {"SetLayerBorder", cmdSetLayerBorder},
    {"SetLayerShadow", cmdSetLayerShadow},
    {"ModifyLayerFrames", cmdModifyLayerFrames},
    {"TranslateLayer", cmdTranslateLayer},
    {"NextFrame", cmdNextFrame},
    {"InsertLayer", cmdInsertLayer},
    {"AddMove", cmdAddMove},
    {"Collision", cmdCollision},
    {nullptr, nullptr},
};

}  // namespace

namespace {

// A mask, alpha channel or clip mask locked for reading.
struct Plane {
  BitmapLock lock{};
  bool held = false;
  bool take(BitmapHandle* handle) {
    if (!handle) return true;
    held = LockBitmap(handle, 1, &lock) != 0;
    return held;
  }
  Plane() = default;
  Plane(const Plane&) = delete;
  Plane& operator=(const Plane&) = delete;
  ~Plane() {
    if (held) UnlockBitmap(&lock);
  }
};

// A plane seen from picture coordinates: pixel (x, y) of the picture is
// pixel (x + dx, y + dy) of the plane.
struct PlaneView {
  const Plane* plane;
  int64_t dx, dy;
  // Narrows [x1, x2) and [y1, y2) to where the plane has pixels (outside
  // it nothing is solid).
  void narrow(int64_t* x1, int64_t* x2, int64_t* y1, int64_t* y2) const {
    if (!plane->held) return;
    *x1 = std::max(*x1, -dx);
    *y1 = std::max(*y1, -dy);
    *x2 = std::min(*x2, int64_t{plane->lock.width} - dx);
    *y2 = std::min(*y2, int64_t{plane->lock.height} - dy);
  }
  const uint8_t* row(int64_t y) const {
    return plane->held ? plane->lock.address + (y + dy) * plane->lock.rowLength : nullptr;
  }
};

inline bool maskBit(const uint8_t* row, int64_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }

// The scan for one set of planes (bit i: views[i] is held; 0, 3 masks, 1,
// 4 alpha channels, 2, 5 clip masks), so that the pixel loop tests only
// what is there.
template <unsigned P>
int scanPlanes(const PlaneView* v, int64_t left, int64_t right, int64_t top, int64_t bottom) {
  for (int64_t y = top; y < bottom; ++y) {
    const uint8_t* r[6];
    for (int i = 0; i < 6; ++i) r[i] = (P >> i) & 1 ? v[i].row(y) : nullptr;
    for (int64_t x = left; x < right; ++x) {
      if constexpr ((P & 1) != 0)
        if (!maskBit(r[0], x + v[0].dx)) continue;
      if constexpr ((P & 8) != 0)
        if (!maskBit(r[3], x + v[3].dx)) continue;
      if constexpr ((P & 2) != 0)
        if (!r[1][x + v[1].dx]) continue;
      if constexpr ((P & 16) != 0)
        if (!r[4][x + v[4].dx]) continue;
      if constexpr ((P & 4) != 0)
        if (!maskBit(r[2], x + v[2].dx)) continue;
      if constexpr ((P & 32) != 0)
        if (!maskBit(r[5], x + v[5].dx)) continue;
      return 1;
    }
  }
  return 0;
}

using ScanFunc = int (*)(const PlaneView*, int64_t, int64_t, int64_t, int64_t);
template <unsigned... P>
constexpr std::array<ScanFunc, sizeof...(P)> scanTable(std::integer_sequence<unsigned, P...>) {
  return {&scanPlanes<P>...};
}
constexpr auto SCANS = scanTable(std::make_integer_sequence<unsigned, 64>{});

}  // namespace

int PixelCollision(int32_t x1, int32_t y1, int32_t width1, int32_t height1, BitmapHandle* mask1,
                   BitmapHandle* alpha1, int32_t partX1, int32_t partY1, int32_t x2, int32_t y2,
                   int32_t width2, int32_t height2, BitmapHandle* mask2, BitmapHandle* alpha2,
                   int32_t partX2, int32_t partY2, const ClipRegion* clip1,
                   const ClipRegion* clip2) {
  LayerRect overlap;
  if (!IntersectRects(LayerRect{x1, y1, width1, height1}, LayerRect{x2, y2, width2, height2},
                      &overlap))
    return 0;
  BitmapHandle* clipMask1 = clip1 ? clip1->mask : nullptr;
  BitmapHandle* clipMask2 = clip2 ? clip2->mask : nullptr;
  if (!mask1 && !alpha1 && !mask2 && !alpha2 && !clipMask1 && !clipMask2) return 1;
  // A pixel collides where each side is solid: its mask bit set (if it has
  // a mask), its alpha byte non-zero (if it has alpha) and its clip bit
  // set (if it has a clip mask).
  Plane m1, a1, c1, m2, a2, c2;
  if (!m1.take(mask1) || !a1.take(alpha1) || !c1.take(clipMask1) || !m2.take(mask2) ||
      !a2.take(alpha2) || !c2.take(clipMask2))
    return 0;
  const int64_t d1x = int64_t{partX1} - x1, d1y = int64_t{partY1} - y1;
  const int64_t d2x = int64_t{partX2} - x2, d2y = int64_t{partY2} - y2;
  const PlaneView views[6] = {
      {&m1, d1x, d1y},
      {&a1, d1x, d1y},
      {&c1, clip1 ? -int64_t{clip1->x} : 0, clip1 ? -int64_t{clip1->y} : 0},
      {&m2, d2x, d2y},
      {&a2, d2x, d2y},
      {&c2, clip2 ? -int64_t{clip2->x} : 0, clip2 ? -int64_t{clip2->y} : 0},
  };
  int64_t left = overlap.x, right = int64_t{overlap.x} + overlap.width;
  int64_t top = overlap.y, bottom = int64_t{overlap.y} + overlap.height;
  for (const PlaneView& v : views) v.narrow(&left, &right, &top, &bottom);
  unsigned present = 0;
  for (int i = 0; i < 6; ++i)
    if (views[i].plane->held) present |= 1u << i;
  return SCANS[present](views, left, right, top, bottom);
}

ErrorCode GetLayerDrawTarget(VmState* L, int32_t position, qmLayer** out, LayerTriple* triple,
                             int32_t* width, int32_t* height) {
  *out = nullptr;
  *triple = LayerTriple{};
  qmLayer* layer = GetCurrentLayerAt(position);
  if (!layer) return ERR_LAYERRANGE;
  if (ErrorCode e = MakeLayerDrawable(L, layer)) return e;
  LayerImageState* state = layer->base;
  if (!state->own.bitmap) {
    LayerTriple shown{};
    int32_t w = 0, h = 0;
    if (ErrorCode e = GetLayerImageBitmaps(L, layer, state, 0, 0, -1, &shown, &w, &h, nullptr))
      return e;
    LayerTriple copy{};
    if (ErrorCode e = ConvertBitmap(shown.bitmap, shown.mask, shown.alpha, 0, 0, w, h, 0, 0,
                                    nullptr, nullptr, &copy.bitmap, &copy.mask, &copy.alpha))
      return e;
    state->own = copy;
  }
  FreeLayerCaches(layer);
  *out = layer;
  *triple = state->own;
  *width = static_cast<int32_t>(GetBitmapAttr(state->own.bitmap, 0));
  *height = static_cast<int32_t>(GetBitmapAttr(state->own.bitmap, 14));
  return ERR_NONE;
}

ErrorCode CopyLayerImage(VmState* L, int32_t position, int32_t frame, LayerTriple* out,
                         int32_t* width, int32_t* height) {
  *out = LayerTriple{};
  DisplayRecord* d = GetCurrentDisplay();
  if (!d || !d->layers) return ERR_NOLAYERS;
  qmLayer* layer = GetCurrentLayerAt(position);
  if (!layer) return ERR_LAYERRANGE;
  // An anim layer gives the frame asked for from its anim; any other layer
  // its image as drawn through its transform.
  const bool anim = layer->type == LAYER_ANIM;
  LayerTriple shown{};
  int32_t w = 0, h = 0;
  LayerImageState* state = layer->unscaled ? layer->unscaled : layer->base;
  if (ErrorCode e =
          GetLayerImageBitmaps(L, layer, state, 0, anim ? 0 : 1, anim ? VmIndexFromOne(frame) : -1,
                               &shown, &w, &h, nullptr))
    return e;
  if (ErrorCode e = ConvertBitmap(shown.bitmap, shown.mask, shown.alpha, 0, 0, w, h, 0, 0, nullptr,
                                  nullptr, &out->bitmap, &out->mask, &out->alpha))
    return e;
  *width = w;
  *height = h;
  return ERR_NONE;
}

void EndLayerSelection(VmState* L, qmLayer* layer, int noRefresh) {
  FreeLayerCaches(layer);
  if (BGPic* pic = GetLayerPicture()) pic->layersChanged = 1;
  // A layer shown through its transform or at the display's scale is drawn
  // again from what was drawn into it; the old area is shown again too.
  LayerRect old;
  GetLayerBounds(L, layer, layer->display, &old);
  const DisplayTransform& t = layer->transform;
  const bool plain = t.m11 == 1 && t.m12 == 0 && t.m21 == 0 && t.m22 == 1;
  DisplayRecord* d = GetLayerDisplay();
  if (!plain)
    RenderLayerImage(L, layer, RENDER_TRANSFORM, d);
  else if (layer->display != layer->base)
    RenderLayerImage(L, layer, RENDER_DISPLAYSCALE | RENDER_TRANSFORM, d);
  if (noRefresh) return;
  LayerRect now;
  GetLayerBounds(L, layer, layer->display, &now);
  UniteRect(&now, old);
  RefreshRect(L, now.x, now.y, now.width, now.height);
}

namespace {

// SelectLayer(id[, mode, frame, combo]).
int cmdSelectLayer(VmState* L) {
  CheckArgCount(L, 1, 4, 0, 0);
  int32_t position = 0;
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  qmLayer* layer = nullptr;
  if (ErrorCode e = GetLayerFromArg(L, 1, &layer, &position)) return e;
  const LayerBrushServices* services = layerContext.brushes;
  if (!services || !services->selectLayer) return ERR_WRONGUSAGE;
  return services->selectLayer(L, position, VmOptInteger(L, 2, 0), VmOptInteger(L, 3, 0),
                               VmOptInteger(L, 4, 0));
}

const CommandTableEntry LAYER_SELECT_COMMANDS[] = {{"SelectLayer", cmdSelectLayer},
                                                   {nullptr, nullptr}};

}  // namespace

ErrorCode RegisterLayerOpCommands(VmState* L) {
  // Listed with the layers library, so the vocabulary and the spelling of
  // command names in error reports know them as well.
  if (ErrorCode e = RegisterLibrary(LAYER_OP_COMMANDS, "layers")) return e;
  if (ErrorCode e = RegisterLibrary(LAYER_SELECT_COMMANDS, "layers")) return e;
  VmRegisterFunctions(L, nullptr, LAYER_OP_COMMANDS, 0);
  VmRegisterFunctions(L, nullptr, LAYER_SELECT_COMMANDS, 0);
  return ERR_NONE;
}
