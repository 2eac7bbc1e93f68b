// The "layers" command library: switching layers on and off, removing,
// naming, finding, undoing and dumping layers, empty layers, and the core
// operations other libraries build on (insert, delete, swap, move, clear,
// z-order, pixel collision). Invariant: a command that fails at its checks
// or while collecting its layers changes nothing; a refresh follows every
// change unless the caller collects the areas.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "display/context_private.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "display/layer_private.h"

namespace {

constexpr int32_t MAX_GROUP_REMOVAL = 256;  // layers one RemoveLayer may collect

const OptionName LAYER_TYPE_NAMES[] = {
    {"BRUSH", LAYER_BRUSH},
    {"ANIM", LAYER_ANIM},
    {"NOOBJECT", LAYER_NOOBJECT},
    {"TEXTOBJECT", LAYER_TEXTOBJECT},
    {"TEXTOUT", LAYER_TEXTOUT},
    {"PRINT", LAYER_PRINT},
    {"BRUSHPART", LAYER_BRUSHPART},
    {"BGPICPART", LAYER_BGPICPART},
    {"BOX", LAYER_BOX},
    {"CIRCLE", LAYER_CIRCLE},
    {"ELLIPSE", LAYER_ELLIPSE},
    {"LINE", LAYER_LINE},
    {"POLYGON", LAYER_POLYGON},
    {"ARC", LAYER_ARC},
    {"VECTORPATH", LAYER_VECTORPATH},
    {"VIDEO", LAYER_VIDEO},
    {nullptr, 0},
};

BGPic* picture() { return GetLayerPicture(); }

bool asyncDrawing(const DisplayRecord* d) { return d && IsAsyncDraw(d); }

bool rectMeetsPicture(const LayerRect& r, const BGPic* pic) {
  return pic && RectsOverlap(r, LayerRect{0, 0, pic->width, pic->height});
}

// EnableLayers()
int cmdEnableLayers(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  DisplayRecord* d = GetOutputDisplay();
  if (!d) return ERR_MEM;
  if (d->layers) return 0;
  if (asyncDrawing(d)) return ERR_LAYERSWITCH;
  if (d->doubleBuffer) return ERR_ENDDOUBLEBUFFER;
  if (d->outputKind != OBJECT_DISPLAY) return ERR_LAYERSON;
  if (CountSpriteInstances(d->bgpic)) return ERR_NOSPRITES;
  d->layers = 1;
  return 0;
}

// DisableLayers()
int cmdDisableLayers(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  DisplayRecord* d = GetOutputDisplay();
  if (!d) return ERR_MEM;
  if (asyncDrawing(d)) return ERR_LAYERSWITCH;
  if (d->outputKind != OBJECT_DISPLAY) return ERR_LAYERSON;
  if (d->layerscale) return ERR_NODISLAYERS;
  if (BGPic* pic = picture())
    for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l))
      if (l->type == LAYER_VIDEO) StopLayerVideo(L, l);
  d->layers = 0;
  return 0;
}

// RemoveLayer(id)
int cmdRemoveLayer(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  BGPic* pic = picture();
  qmLayer* collected[MAX_GROUP_REMOVAL];
  int32_t count = 0, cursor = 0, isGroup = 0;
  do {
    qmLayer* layer = nullptr;
    if (ErrorCode e = GetLayerArgOrGroup(L, 1, pic, &layer, &cursor, &isGroup)) return e;
    if (!layer) break;
    if (layer->asyncUse) return ERR_REMADLAYER;
    if (count == MAX_GROUP_REMOVAL) return ERR_INTERNAL;
    collected[count++] = layer;
  } while (cursor != -1);
  DisplayRecord* d = GetLayerDisplay();
  if (d->outputKind != OBJECT_BGPIC) {
    // One refresh of the merged areas instead of one per layer.
    DirtyList* list = &layerContext.shared;
    ClearDirtyRects(list);
    for (int32_t i = 0; i < count; ++i) DeleteLayer(L, collected[i], 0, nullptr, list, 1);
    MergeDirtyRects(list);
    RefreshDirtyRects(L, list);
    ClearDirtyRects(list);
  } else {
    for (int32_t i = 0; i < count; ++i) DeleteLayer(L, collected[i], 0, nullptr, nullptr, 1);
  }
  pic->layersChanged = 1;
  return 0;
}

// RemoveLayers()
int cmdRemoveLayers(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  return ClearLayersCore(L, 0);
}

// FreeLayers([keep])
int cmdFreeLayers(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  int keep = VmOptFlag(L, 1, 1);
  return ClearLayersCore(L, keep);
}

// Undo(type[, id][, level][, norefresh])
int cmdUndo(VmState* L) {
  CheckArgCount(L, 1, 4, 0, 0);
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  int32_t type = VmTruncInt32(VmCheckNumber(L, 1));
  ObjectId id{nullptr, 0};
  if (VmGetTop(L) >= 2 && VmType(L, 2) != VM_TYPE_NIL) id = GetObjectIdArg(L, 2, nullptr);
  int32_t level = VmTruncInt32(VmOptNumber(L, 3, 1));
  int noRefresh = VmOptFlag(L, 4, 0);
  return UndoLayerEntry(L, type, id, level, noRefresh, nullptr);
}

// SetLayerName(id, name)
int cmdSetLayerName(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  int32_t position = VmTruncInt32(VmCheckNumber(L, 1));
  const char* name = VmCheckString(L, 2, nullptr);
  BGPic* pic = picture();
  qmLayer* layer = position <= 0 ? LastLayer(pic) : GetLayerByIndex(pic, position);
  if (!layer) return ERR_LAYERRANGE;
  if (!name[0]) {
    FreeMemory(layer->name);
    layer->name = nullptr;
    return 0;
  }
  return AssignLayerName(layer, name);
}

// LayerExists(name) -> boolean
int cmdLayerExists(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  const char* name = VmCheckString(L, 1, nullptr);
  VmPushBoolean(L, FindLayerByName(picture(), name) != 0);
  return 1;
}

// GetLayerAtPos(x, y) -> position, name
int cmdGetLayerAtPos(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  int32_t x = VmTruncInt32(VmCheckNumber(L, 1));
  int32_t y = VmTruncInt32(VmCheckNumber(L, 2));
  DisplayRecord* d = GetLayerDisplay();
  // The point's pixel where the display shows it, as layers are placed.
  if (d->layerscale && d->scaleWidth > 0 && d->scaleHeight > 0)
    ScaleRectToDisplay(x, y, 1, 1, d->scaleX, d->scaleY, &x, &y, nullptr, nullptr);
  BGPic* pic = picture();
  int32_t position = CountLayers(pic);
  for (qmLayer* l = LastLayer(pic); l; l = PrevLayer(l), --position) {
    const LayerImageState* s = l->display;
    if (x >= s->x && int64_t{x} < int64_t{s->x} + s->width && y >= s->y &&
        int64_t{y} < int64_t{s->y} + s->height) {
      VmPushNumber(L, position);
      VmPushString(L, l->name ? l->name : "");
      return 2;
    }
  }
  VmPushNumber(L, 0);
  VmPushString(L, "");
  return 2;
}

// CreateLayer(x, y, width, height[, options])
int cmdCreateLayer(VmState* L) {
  CheckArgCount(L, 4, 5, 0, 0);
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  int32_t x = VmTruncInt32(VmCheckNumber(L, 1));
  int32_t y = VmTruncInt32(VmCheckNumber(L, 2));
  int32_t width = VmTruncInt32(VmCheckNumber(L, 3));
  int32_t height = VmTruncInt32(VmCheckNumber(L, 4));
  int32_t alpha = 0, mask = 0, clear = 0, frames = 0;
  uint32_t colour = 0;
  if (VmGetTop(L) >= 5 && VmType(L, 5) == VM_TYPE_TABLE) {
    const OptionField rows[] = {
        {"alphachannel", OPTION_BOOL, &alpha}, {"mask", OPTION_BOOL, &mask},
        {"clear", OPTION_BOOL, &clear},        {"color", OPTION_BITS, &colour},
        {"frames", OPTION_INT, &frames},
    };
    if (ErrorCode e = ReadOptionTable(L, 5, rows)) return e;
  }
  if (frames < 0 || (alpha && mask)) return ERR_WRONGUSAGE;
  if (width < 1 || height < 1) return ERR_BADDIMENSIONS;
  const LayerBrushServices* brushes = layerContext.brushes;
  const LayerAnimServices* anims = layerContext.anims;
  if (frames > 0 ? !anims : !brushes) return ERR_UNSUPPORTEDFEAT;
  ObjectId id{};
  if (ErrorCode e = frames > 0
                        ? anims->makeAnim(width, height, frames, colour, mask, alpha, clear, &id)
                        : brushes->makeBrush(width, height, colour, mask, alpha, clear, &id))
    return e;
  BGPic* pic = picture();
  DisplayTransform transform;
  CopyDefaultTransform(&transform);
  int32_t rx = ResolveXPos(x, width, pic->width, transform.anchorX);
  int32_t ry = ResolveYPos(y, height, pic->height, transform.anchorY);
  ErrorCode e = CreateObjectLayer(L, frames > 0 ? LAYER_ANIM : LAYER_BRUSH, id, 0, 0, rx, ry, width,
                                  height, &transform, nullptr, nullptr, -1, 1, 0);
  // The brush or anim belongs to its layer: freed now, it stays hidden
  // until the layer goes.
  if (frames > 0)
    anims->freeAnim(L, id);
  else
    brushes->freeBrush(L, id);
  return e;
}

// DumpLayers([state])
int cmdDumpLayers(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  int32_t which = VmTruncInt32(VmOptNumber(L, 1, 0));
  BGPic* pic = picture();
  PrintToConsole("LAYER SYSTEM INFO - BGPIC: %d (%p)\nsizeof(qmLayer): %d\nLayers: %d\n",
                 pic->head.number, pic->head.autoId, static_cast<int>(sizeof(qmLayer)),
                 CountLayers(pic));
  int32_t position = 1;
  for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l), ++position) {
    const LayerImageState* s = which == 1 ? l->unscaled : which == 2 ? l->display : l->base;
    const char* type = OptionNameOf(LAYER_TYPE_NAMES, l->type);
    PrintToConsole(
        "(%d) %s #%d (%p / \"%s\") - X: %d (%d) - Y: %d (%d) - Width: %d (%d) - Height: %d (%d) "
        "- Visible: %d\n",
        position, type ? type : "UNKNOWN", l->sourceId.number, l->sourceId.autoId,
        l->name ? l->name : "", s->requestedX, s->x, s->requestedY, s->y, s->requestedWidth,
        s->width, s->requestedHeight, s->height, l->hidden ? 0 : 1);
  }
  return 0;
}

const CommandTableEntry LAYER_COMMANDS[] = {
    {"EnableLayers", cmdEnableLayers},   {"DisableLayers", cmdDisableLayers},
    {"ShowLayer", CmdShowLayer},         {"HideLayer", CmdHideLayer},
    {"RemoveLayer", cmdRemoveLayer},     {"RemoveLayers", cmdRemoveLayers},
    {"FreeLayers", cmdFreeLayers},       {"Undo", cmdUndo},
    {"SetLayerName", cmdSetLayerName},   {"LayerExists", cmdLayerExists},
    {"GetLayerAtPos", cmdGetLayerAtPos}, {"CreateLayer", cmdCreateLayer},
    {"DumpLayers", cmdDumpLayers},       {"DoMove", CmdDoMove},
    {"ClearMove", CmdClearMove},         {nullptr, nullptr},
};

// Reads LAYER attributes: where the layer is, its size, type and name.
int readLayerAttribute(VmState* L, int32_t attribute) {
  BGPic* pic = picture();
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountLayers(pic));
    return 1;
  }
  // Layers are looked up on the current display, and only while its
  // layers are on.
  const DisplayRecord* d = GetCurrentDisplay();
  if (!pic || !d || !d->layers) return ERR_NOLAYERS;
  int32_t position = 0;
  if (ErrorCode e = GetLayerIdArg(L, 2, pic, &position)) return e;
  qmLayer* layer = GetLayerByIndex(pic, position);
  if (!layer) return ERR_LAYERRANGE;
  const LayerImageState* s = layer->display;
  // Attributes of another kind of layer.
  bool anim = layer->type == LAYER_ANIM;
  bool text =
      layer->type == LAYER_TEXTOBJECT || layer->type == LAYER_TEXTOUT || layer->type == LAYER_PRINT;
  bool video = layer->type == LAYER_VIDEO;
  switch (attribute) {
    case ATTRNUMFRAMES:
    case ATTRCURFRAME:
    case ATTRFRAMEDELAY:
      if (!anim) return ERR_NOANMLAYER;
      break;
    case ATTRFONTASCENDER:
    case ATTRFONTDESCENDER:
    case ATTRFONTNAME:
    case ATTRFONTSIZE:
    case ATTRFONTSCALABLE:
    case ATTRFONTAA:
    case ATTRTEXT:
      if (!text) return ERR_NOTXTLAYER;
      break;
    case ATTRDURATION:
    case ATTRPOSITION:
    case ATTRFORMAT:
    case ATTRCANSEEK:
    case ATTRPLAYING:
    case ATTRPAUSED:
      if (!video) return ERR_BADLAYERTYPE;
      break;
    default:
      break;
  }
  switch (attribute) {
    case ATTRLAYERS:
      VmPushNumber(L, CountLayers(pic));
      return 1;
    case ATTRID:
      return PushObjectId(L, layer->sourceId);
    case ATTRXPOS:
      VmPushNumber(L, s->requestedX);
      return 1;
    case ATTRYPOS:
      VmPushNumber(L, s->requestedY);
      return 1;
    case ATTRRAWXPOS:
      VmPushNumber(L, s->x);
      return 1;
    case ATTRRAWYPOS:
      VmPushNumber(L, s->y);
      return 1;
    // As for the position: the size asked for, and the size of the image
    // as drawn (turned, scaled).
    case ATTRWIDTH:
      VmPushNumber(L, s->requestedWidth);
      return 1;
    case ATTRHEIGHT:
      VmPushNumber(L, s->requestedHeight);
      return 1;
    case ATTRRAWWIDTH:
      VmPushNumber(L, s->width);
      return 1;
    case ATTRRAWHEIGHT:
      VmPushNumber(L, s->height);
      return 1;
    case ATTRTYPE:
      VmPushNumber(L, layer->type);
      return 1;
    case ATTRVISIBLE:
      VmPushNumber(L, layer->hidden ? 0 : 1);
      return 1;
    case ATTRGROUP:
      VmPushString(L, layer->group);
      return 1;
    case ATTRZPOS:
      VmPushNumber(L, GetLayerPosition(layer));
      return 1;
    case ATTRCURFRAME:
      VmPushNumber(L, layer->base->frame + 1);
      return 1;
    case ATTRNUMFRAMES:
    case ATTRFRAMEDELAY: {
      // The delay of the frame given as parameter, else of the one shown.
      const LayerAnimServices* anims = layerContext.anims;
      if (!anims || !anims->layerFrames) return ERR_UNKNOWNATTR;
      int32_t frame = layer->base->frame;
      if (attribute == ATTRFRAMEDELAY && VmGetTop(L) >= 4 && VmType(L, 4) != VM_TYPE_NIL)
        frame = VmIndexFromOne(VmCheckInteger(L, 4));
      int32_t count = 0, delay = 0;
      if (ErrorCode e = anims->layerFrames(L, layer, frame, &count, &delay)) return e;
      VmPushNumber(L, attribute == ATTRNUMFRAMES ? count : delay);
      return 1;
    }
    default:
      if (text && layerContext.textAttributes && layerContext.textAttributes(L, layer, attribute))
        return 1;
      if (video && layerContext.videoAttributes &&
          layerContext.videoAttributes(L, layer, attribute))
        return 1;
      return ERR_UNKNOWNATTR;
  }
}

}  // namespace

void SetLayerBrushServices(const LayerBrushServices* services) { layerContext.brushes = services; }
void SetLayerAnimServices(const LayerAnimServices* services) { layerContext.anims = services; }
void SetLayerTextAttributeReader(LayerTextAttributeReader reader) {
  layerContext.textAttributes = reader;
}
void SetLayerVideoAttributeReader(LayerTextAttributeReader reader) {
  layerContext.videoAttributes = reader;
}

ErrorCode CheckLayerOutput(int checkLayersOn) {
  DisplayRecord* d = GetOutputDisplay();
  if (!d) return ERR_MEM;
  switch (d->outputKind) {
    case OBJECT_BRUSH:
      if (d->doubleBuffer) break;
      if (d->deviceRecord && d->deviceRecord->head.type == OBJTYPE_ANIM) return ERR_SELECTANIM;
      return ERR_SELECTBRUSH;
    case OUTPUT_MASK:
      return ERR_SELECTMASK;
    case OUTPUT_ALPHA:
      return ERR_SELECTALPHACHANNEL;
    default:
      break;
  }
  if (checkLayersOn && (!d->layers || !GetLayerPicture())) return ERR_NOLAYERS;
  return ERR_NONE;
}

void DeleteLayer(VmState* L, qmLayer* layer, int noRefresh, LayerRect* outRect, DirtyList* list,
                 int stopVideo) {
  if (outRect) GetLayerBounds(L, layer, layer->display, outRect);
  if (!noRefresh) {
    int32_t type = layer->type;
    layer->type = LAYER_NOOBJECT;
    if (list)
      MarkLayerDirty(L, list, layer, layer->display);
    else
      RefreshLayerArea(L, layer, 0);
    layer->type = type;
  }
  if (stopVideo && layer->type == LAYER_VIDEO) StopLayerVideo(L, layer);
  BGPic* pic = nullptr;
  for (BGPic* p = GetBGPicList(); p && !pic; p = reinterpret_cast<BGPic*>(p->head.next))
    for (qmLayer* l = FirstLayer(p); l; l = NextLayer(l))
      if (l == layer) pic = p;
  if (pic) FreeLayerButtons(L, pic, layer);
  uint32_t kinds = DeferKindOfType(layer->type);
  DestroyLayer(L, layer);
  if (kinds) FlushDeferredFrees(L, kinds);
}

ErrorCode UndoLayerEntry(VmState* L, int32_t type, ObjectId id, int32_t level, int noRefresh,
                         LayerRect* outRect) {
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  BGPic* pic = picture();
  if (level < 1) level = 1;
  int32_t matches = 0;
  for (qmLayer* l = LastLayer(pic); l; l = PrevLayer(l)) {
    if (l->type != type || l->firstId.number != id.number || l->firstId.autoId != id.autoId)
      continue;
    if (++matches < level) continue;
    if (l->asyncUse) return ERR_REMADLAYER;
    DeleteLayer(L, l, noRefresh, outRect, nullptr, 1);
    pic->layersChanged = 1;
    return ERR_NONE;
  }
  return ERR_NONE;
}

ErrorCode SwapLayersCore(VmState* L, int32_t a, int32_t b) {
  BGPic* pic = picture();
  qmLayer* la = GetLayerByIndex(pic, a);
  qmLayer* lb = GetLayerByIndex(pic, b);
  if (!la || !lb) return ERR_LAYERRANGE;
  if (la == lb) return ERR_NONE;
  // Exchange the nodes: each takes the other's neighbours.
  Node* na = &la->node;
  Node* nb = &lb->node;
  if (na->succ == nb) {
    na->pred->succ = nb;
    nb->succ->pred = na;
    nb->pred = na->pred;
    na->succ = nb->succ;
    nb->succ = na;
    na->pred = nb;
  } else if (nb->succ == na) {
    return SwapLayersCore(L, b, a);
  } else {
    Node* ap = na->pred;
    Node* as = na->succ;
    Node* bp = nb->pred;
    Node* bs = nb->succ;
    ap->succ = nb;
    as->pred = nb;
    bp->succ = na;
    bs->pred = na;
    nb->pred = ap;
    nb->succ = as;
    na->pred = bp;
    na->succ = bs;
  }
  pic->layersChanged = 1;
  LayerRect ra, rb;
  GetLayerBounds(L, la, la->display, &ra);
  GetLayerBounds(L, lb, lb->display, &rb);
  if (rectMeetsPicture(ra, pic) && rectMeetsPicture(rb, pic)) {
    UniteRect(&ra, rb);
    RefreshRect(L, ra.x, ra.y, ra.width, ra.height);
  }
  return ERR_NONE;
}

void MoveLayerTo(VmState* L, qmLayer* layer, LayerRect* outRect, int32_t x, int32_t y,
                 int noRefresh, uint32_t relative, DirtyList* list) {
  bool decorated = layer->shadow.on || layer->border.on;
  LayerRect oldBounds{0, 0, -1, -1};
  if (decorated) GetLayerBounds(L, layer, layer->display, &oldBounds);
  LayerRect area = StateRect(layer->display);
  if (x != KEEPPOSITION || y != KEEPPOSITION) {
    LayerImageState* base = layer->base;
    auto resolve = [](int32_t value, int32_t current, bool relativeFlag) {
      if (value == KEEPPOSITION) return current;
      if (relativeFlag) return static_cast<int32_t>(int64_t{current} + value);
      if (value >= 95001 && value <= 104999)
        return static_cast<int32_t>(int64_t{current} + value - KEEPPOSITION);
      return value;
    };
    int32_t nx = resolve(x, base->requestedX, relative & 1);
    int32_t ny = resolve(y, base->requestedY, relative & 2);
    SetLayerOffset(layer, base, nx, ny);
    if (layer->unscaled != base) SetLayerOffset(layer, layer->unscaled, nx, ny);
    if (layer->display != layer->unscaled && layer->display != base)
      PlaceDisplayState(L, layer, GetLayerDisplay());
    UniteRect(&area, StateRect(layer->display));
    if (decorated) {
      LayerRect newBounds;
      GetLayerBounds(L, layer, layer->display, &newBounds);
      UniteRect(&area, oldBounds);
      UniteRect(&area, newBounds);
    }
  }
  if (noRefresh) return;
  if (outRect)
    UniteRect(outRect, area);
  else if (list)
    AddDirtyRect(list, area.x, area.y, static_cast<int32_t>(int64_t{area.x} + area.width - 1),
                 static_cast<int32_t>(int64_t{area.y} + area.height - 1), 1);
  else
    RefreshRect(L, area.x, area.y, area.width, area.height);
}

ErrorCode ClearLayersCore(VmState* L, int keep) {
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  BGPic* pic = picture();
  DisplayRecord* d = GetLayerDisplay();
  for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l))
    if (l->asyncUse) return ERR_REMADLAYER;
  bool selected = d->outputKind == OBJECT_BGPIC;
  if (selected && pic != d->bgpic) {
    if (keep) return ERR_WRONGUSAGE;
    pic->layersChanged = 1;
    FreeAllLayers(L, pic, 1, 1);
    return ERR_NONE;
  }
  pic->layersChanged = 1;
  BitmapHandle* buffer = GetComposeBuffer(d);
  if (keep) {
    // What the screen shows becomes the background the picture is drawn
    // from while this display shows it.
    if (buffer) {
      Redraw(L, d, pic, buffer, 0, 0, pic->width, pic->height, REDRAW_NOSPRITES);
      BitmapHandle* copy = AllocBitmap(pic->width, pic->height, 0, nullptr);
      if (!copy) return ERR_BITMAP;
      BltBitmapToTarget(buffer, 0, 0, copy, 0, 0, pic->width, pic->height);
      FreeBitmap(d->layerBackground);
      d->layerBackground = copy;
      d->layerBackgroundPic = pic;
    }
    FreeAllLayers(L, pic, 1, 1);
    return ERR_NONE;
  }
  FreeAllLayers(L, pic, 1, 1);
  if (d->layerBackgroundPic == pic) {
    FreeBitmap(d->layerBackground);
    d->layerBackground = nullptr;
    d->layerBackgroundPic = nullptr;
  }
  if (selected) {
    AddDirtyRect(&d->dirty, 0, 0, pic->width - 1, pic->height - 1, 1);
  } else {
    RefreshLayerRect(L, 0, 0, pic->width, pic->height, 0);
  }
  return ERR_NONE;
}

int MoveLayerToZ(qmLayer* layer, int32_t position) {
  BGPic* pic = picture();
  int32_t count = CountLayers(pic);
  int32_t current = GetLayerPosition(layer);
  int32_t target = position <= 0 || position > count ? count : position;
  if (target == current) return 0;
  qmLayer* at = GetLayerByIndex(pic, target);
  Node* n = &layer->node;
  n->pred->succ = n->succ;
  n->succ->pred = n->pred;
  Node* after = target > current ? &at->node : at->node.pred;
  n->succ = after->succ;
  n->pred = after;
  after->succ->pred = n;
  after->succ = n;
  pic->layersChanged = 1;
  return 1;
}

ErrorCode InsertLayerObject(VmState* L, int32_t position, int32_t type, ObjectId id, int32_t x,
                            int32_t y, int noRefresh, int hidden, qmLayer** out) {
  return InsertLayerObjectFrame(L, position, type, id, 0, x, y, noRefresh, hidden, out);
}

ErrorCode InsertLayerObjectFrame(VmState* L, int32_t position, int32_t type, ObjectId id,
                                 int32_t frame, int32_t x, int32_t y, int noRefresh, int hidden,
                                 qmLayer** out) {
  if (out) *out = nullptr;
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  if (position < 0) return ERR_INVINSERT;
  BGPic* pic = picture();
  int32_t count = CountLayers(pic);
  if (position == 0 || position > count + 1) position = count + 1;
  if (type == LAYER_VIDEO) {
    // The video's first frame, through the video library's layer path.
    if (ErrorCode e = InsertVideoLayer(L, id, x, y, position, hidden)) return e;
    if (out) *out = GetLayerByIndex(pic, position);
    return ERR_NONE;
  }
  if (type != LAYER_BRUSH && type != LAYER_TEXTOBJECT && type != LAYER_ANIM) return ERR_WRONGUSAGE;
  const LayerKind* kind = GetLayerKind(type);
  if (!kind || !kind->imageBitmaps) return ERR_WRONGUSAGE;
  qmLayer probe{};
  probe.type = type;
  probe.sourceId = id;
  LayerImageState probeState{};
  probeState.frame = frame;
  LayerTriple t{};
  int32_t w = 0, h = 0;
  ErrorCode probed = kind->imageBitmaps(L, &probe, &probeState, -1, &t, &w, &h);
  if (kind->freeState) kind->freeState(L, &probeState);
  if (probed) return probed;
  DisplayTransform transform;
  CopyDefaultTransform(&transform);
  ObjectStyle style;
  CopyDefaultObjectStyle(&style);
  style.shadow.on = style.border.on = 0;
  style.hidden = hidden;
  style.insertPos = position;
  int32_t rx = ResolveXPos(x, w, pic->width, transform.anchorX);
  int32_t ry = ResolveYPos(y, h, pic->height, transform.anchorY);
  if (ErrorCode e = CreateObjectLayer(L, type, id, 0, 0, rx, ry, w, h, &transform, &style, nullptr,
                                      position, 1 | 4, frame))
    return e;
  qmLayer* layer = GetLayerByIndex(pic, position);
  if (!layer) return ERR_LAYERRANGE;
  if (!noRefresh && !hidden) RefreshLayerArea(L, layer, 0);
  if (out) *out = layer;
  return ERR_NONE;
}

ErrorCode OpenLayersLibrary(VmState* L) {
  if (ErrorCode e = RegisterLibrary(LAYER_COMMANDS, "layers")) return e;
  VmRegisterFunctions(L, nullptr, LAYER_COMMANDS, 0);
  if (ErrorCode e = RegisterLayerStyleCommands(L)) return e;
  if (ErrorCode e = RegisterLayerOpCommands(L)) return e;
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_LAYER, readLayerAttribute)) return e;
  if (ErrorCode e = RegisterMoveListReader()) return e;
  InstallLayerHooks();
  layerContext.opened = 1;
  return ERR_NONE;
}

void FreeLayerSystem(VmState*) {
  FreeMoveLists();
  FreeDirtyRects(&layerContext.shared);
}
