// Move lists (recorded layer steps that DoMove replays with one refresh of
// the merged areas) and the show/hide operation behind ShowLayer and
// HideLayer. Invariant: an entry's rectangle counts only while its
// hasRect flag is set and it was not merged into another, so a rectangle
// at any coordinate is refreshed.
#include <algorithm>
#include <cmath>

#include "display/context_private.h"
#include "display/display_private.h"
#include "display/layer_private.h"

namespace {

enum : int32_t {
  MOVE_BRUSH = 3,
  MOVE_TEXTOBJECT = 8,
  MOVE_UNDO = 10,
  MOVE_LAYER = 22,
  MOVE_INSERTBRUSH = 24,
  MOVE_HIDELAYER = 25,
  MOVE_REMOVELAYER = 26,
  MOVE_NEXTFRAME = 29,
  MOVE_NEXTFRAME2 = 34,
};

bool sameId(const ObjectHead* h, ObjectId id) {
  return id.autoId ? h->autoId == id.autoId : (!h->autoId && h->number == id.number);
}

ErrorCode notFound(ObjectId id) {
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDMOVE;
}

void setRect(MoveEntry* e, const LayerRect& r) {
  if (r.width < 1 || r.height < 1) return;
  e->x1 = r.x;
  e->y1 = r.y;
  e->x2 = static_cast<int32_t>(int64_t{r.x} + r.width - 1);
  e->y2 = static_cast<int32_t>(int64_t{r.y} + r.height - 1);
  e->hasRect = 1;
}

bool meetsPicture(const LayerRect& r) {
  BGPic* pic = GetLayerPicture();
  return pic && RectsOverlap(r, LayerRect{0, 0, pic->width, pic->height});
}

// Resolves position constants of a move against the layer's size and anchor.
int32_t resolveFor(int32_t value, int32_t size, int32_t area, double anchor, bool vertical) {
  if (value == KEEPPOSITION || (value >= 95001 && value <= 104999)) return value;
  return vertical ? ResolveYPos(value, size, area, anchor) : ResolveXPos(value, size, area, anchor);
}

int readMoveListAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(layerContext.moveLists));
    return 1;
  }
  MoveList* list = FindMoveList(GetObjectIdArg(L, 2, nullptr));
  if (!list) return notFound(GetObjectIdArg(L, 2, nullptr));
  return ERR_UNKNOWNATTR;
}

}  // namespace

MoveList* FindMoveList(ObjectId id) {
  for (ObjectHead* h = layerContext.moveLists; h; h = h->next)
    if (sameId(h, id)) return reinterpret_cast<MoveList*>(h);
  return nullptr;
}

ErrorCode NewMoveList(ObjectId id, int automatic, MoveList** out) {
  auto* list = static_cast<MoveList*>(AllocMemory(sizeof(MoveList), 1));
  if (!list) return ERR_MEM;
  list->head.type = OBJTYPE_MOVELIST;
  if (automatic) {
    list->head.autoId = list;
  } else {
    list->head.number = id.number;
  }
  ObjectHead** link = &layerContext.moveLists;
  while (*link) link = &(*link)->next;
  *link = &list->head;
  *out = list;
  return ERR_NONE;
}

ErrorCode AddMoveEntry(MoveList* list, const MoveEntry& entry) {
  if (list->count >= MOVELIST_ENTRIES) return ERR_INTERNAL;
  MoveEntry& e = list->entries[list->count++];
  e = entry;
  e.handled = 0;
  e.hasRect = 0;
  e.merged = 0;
  return ERR_NONE;
}

void FreeMoveLists() {
  while (ObjectHead* h = layerContext.moveLists) {
    layerContext.moveLists = h->next;
    FreeMemory(h);
  }
}

ErrorCode RegisterMoveListReader() {
  if (ErrorCode e = RegisterObjectList(&layerContext.moveLists)) return e;
  return RegisterAttributeReader(OBJTYPE_MOVELIST, readMoveListAttribute);
}

ErrorCode ShowHideLayers(VmState* L, int32_t x, int32_t y, int32_t hide) {
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  BGPic* pic = GetLayerPicture();
  DisplayRecord* d = GetLayerDisplay();
  qmLayer* members[256];
  int32_t count = 0, cursor = 0, isGroup = 0;
  do {
    qmLayer* layer = nullptr;
    if (ErrorCode e = GetLayerArgOrGroup(L, 1, pic, &layer, &cursor, &isGroup)) return e;
    if (!layer) break;
    if (count == 256) return ERR_INTERNAL;
    members[count++] = layer;
  } while (cursor != -1);
  if (!count) return ERR_NONE;
  // The box of all the selected layers: position constants are resolved
  // against it, and every layer moves by the same offset.
  LayerRect box{0, 0, -1, -1};
  for (int32_t i = 0; i < count; ++i) {
    const LayerImageState* s = members[i]->base;
    UniteRect(&box, LayerRect{s->requestedX, s->requestedY, std::max(s->requestedWidth, 1),
                              std::max(s->requestedHeight, 1)});
  }
  double ax = count == 1 ? members[0]->anchorX : 0.0, ay = count == 1 ? members[0]->anchorY : 0.0;
  int32_t rx = resolveFor(x, box.width, pic->width, ax, false);
  int32_t ry = resolveFor(y, box.height, pic->height, ay, true);
  DirtyList* list = &layerContext.shared;
  ClearDirtyRects(list);
  for (int32_t i = 0; i < count; ++i) {
    qmLayer* l = members[i];
    int32_t nx = rx, ny = ry;
    if (count > 1) {
      if (rx != KEEPPOSITION && !(rx >= 95001 && rx <= 104999))
        nx = static_cast<int32_t>(int64_t{l->base->requestedX} + rx - box.x);
      if (ry != KEEPPOSITION && !(ry >= 95001 && ry <= 104999))
        ny = static_cast<int32_t>(int64_t{l->base->requestedY} + ry - box.y);
    }
    // The area it left, while still drawn where it was.
    if (!l->hidden) MarkLayerDirty(L, list, l, l->display);
    l->hidden = hide;
    MoveLayerTo(L, l, nullptr, nx, ny, 1, 0, nullptr);
    MarkLayerDirty(L, list, l, l->display);
  }
  pic->layersChanged = 1;
  if (d->outputKind != OBJECT_BGPIC) {
    MergeDirtyRects(list);
    RefreshDirtyRects(L, list);
  } else {
    for (int32_t i = 0; i < list->count; ++i) {
      const DirtyRect& r = list->entries[i];
      if (!r.merged) AddDirtyRect(&d->dirty, r.x1, r.y1, r.x2, r.y2, 1);
    }
  }
  ClearDirtyRects(list);
  return ERR_NONE;
}

void DoMoveLayerStep(VmState* L, MoveEntry* entry, int frameIsVisibility) {
  BGPic* pic = GetLayerPicture();
  qmLayer* layer = GetLayerByIndex(pic, entry->id.number);
  entry->handled = 1;
  if (!layer) return;
  LayerRect before = StateRect(layer->display);
  bool wasShown = !layer->hidden;
  int32_t x = resolveFor(entry->x, layer->base->requestedWidth, pic->width, layer->anchorX, false);
  int32_t y = resolveFor(entry->y, layer->base->requestedHeight, pic->height, layer->anchorY, true);
  MoveLayerTo(L, layer, nullptr, x, y, 1, 0, nullptr);
  if (frameIsVisibility) {
    if (entry->frame == 0 || entry->frame == 1) layer->hidden = entry->frame;
  } else {
    layer->hidden = 0;
  }
  LayerRect after = StateRect(layer->display);
  if (!layer->hidden && meetsPicture(after)) {
    if (wasShown) UniteRect(&after, before);
    setRect(entry, after);
  } else if (wasShown && meetsPicture(before)) {
    setRect(entry, before);
  }
}

int CmdShowLayer(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  int32_t x = VmTruncInt32(VmOptNumber(L, 2, KEEPPOSITION));
  int32_t y = VmTruncInt32(VmOptNumber(L, 3, KEEPPOSITION));
  return ShowHideLayers(L, x, y, 0);
}

int CmdHideLayer(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return ShowHideLayers(L, KEEPPOSITION, KEEPPOSITION, 1);
}

// DoMove(id)
int CmdDoMove(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  DisplayRecord* d = GetOutputDisplay();
  if (!d || !d->layers) return ERR_NOLAYERS;
  if (ErrorCode e = CheckLayerOutput(1)) return e;
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  MoveList* list = FindMoveList(id);
  if (!list) return notFound(id);
  BGPic* pic = GetLayerPicture();
  pic->layersChanged = 1;
  for (int32_t i = 0; i < list->count; ++i) {
    MoveEntry* e = &list->entries[i];
    e->merged = 0;
    switch (e->type) {
      case MOVE_UNDO: {
        LayerRect r{0, 0, -1, -1};
        if (ErrorCode err = UndoLayerEntry(L, e->x, e->id, e->y ? e->y : 1, 1, &r)) return err;
        if (meetsPicture(r)) setRect(e, r);
        e->handled = 1;
        break;
      }
      case MOVE_REMOVELAYER: {
        qmLayer* layer = GetLayerByIndex(pic, e->id.number);
        if (!layer) return ERR_LAYERRANGE;
        if (layer->asyncUse) return ERR_REMADLAYER;
        LayerRect r{0, 0, -1, -1};
        DeleteLayer(L, layer, 1, &r, nullptr, 1);
        if (meetsPicture(r)) setRect(e, r);
        e->handled = 1;
        break;
      }
      case MOVE_LAYER:
      case MOVE_HIDELAYER:
        DoMoveLayerStep(L, e, e->type == MOVE_HIDELAYER);
        break;
      case MOVE_NEXTFRAME2: {
        qmLayer* layer = GetLayerByIndex(pic, e->id.number);
        if (!layer) return ERR_LAYERRANGE;
        if (layer->type != LAYER_ANIM) return ERR_WRONGUSAGE;
        LayerRect r = StateRect(layer->display);
        bool wasShown = !layer->hidden;
        if (ErrorCode err = SetLayerPosFrame(L, layer, e->x, e->y, e->frame, 1)) return err;
        LayerRect after = StateRect(layer->display);
        if (wasShown) UniteRect(&after, r);
        if (!layer->hidden && meetsPicture(after)) setRect(e, after);
        e->handled = 1;
        break;
      }
      case MOVE_INSERTBRUSH: {
        qmLayer* layer = nullptr;
        if (ErrorCode err =
                InsertLayerObject(L, e->frame, LAYER_BRUSH, e->id, e->x, e->y, 1, 0, &layer))
          return err;
        setRect(e, StateRect(layer->display));
        e->handled = 1;
        break;
      }
      default:
        break;
    }
  }
  for (int32_t i = 0; i < list->count; ++i) {
    MoveEntry* e = &list->entries[i];
    if (e->handled) continue;
    switch (e->type) {
      case MOVE_BRUSH:
      case MOVE_TEXTOBJECT: {
        qmLayer* layer = nullptr;
        int32_t type = e->type == MOVE_BRUSH ? LAYER_BRUSH : LAYER_TEXTOBJECT;
        if (ErrorCode err = InsertLayerObject(L, 0, type, e->id, e->x, e->y, 1, 0, &layer))
          return err;
        setRect(e, StateRect(layer->display));
        break;
      }
      case MOVE_NEXTFRAME: {
        const LayerAnimServices* anims = layerContext.anims;
        if (!anims) return ERR_WRONGUSAGE;
        int32_t count = 0;
        if (ErrorCode err = anims->frameCount(L, e->id, &count)) return err;
        // Frame 0 is the second frame (the first of a one-frame anim).
        int32_t frame = e->frame == 0    ? (count > 1 ? 1 : 0)
                        : e->frame == -1 ? count - 1
                                         : VmIndexFromOne(e->frame);
        if (frame < 0 || frame >= count) return ERR_ANIMFRAME;
        qmLayer* layer = nullptr;
        if (ErrorCode err =
                InsertLayerObjectFrame(L, 0, LAYER_ANIM, e->id, frame, e->x, e->y, 1, 0, &layer))
          return err;
        setRect(e, StateRect(layer->display));
        break;
      }
      default:
        return ERR_WRONGUSAGE;
    }
  }
  // Overlapping rectangles are refreshed once, as their union.
  for (int32_t i = 0; i < list->count; ++i) {
    MoveEntry* a = &list->entries[i];
    if (!a->hasRect || a->merged) continue;
    for (int32_t j = 0; j < list->count; ++j) {
      MoveEntry* b = &list->entries[j];
      if (j == i || !b->hasRect || b->merged) continue;
      if (b->x1 > a->x2 || a->x1 > b->x2 || b->y1 > a->y2 || a->y1 > b->y2) continue;
      a->x1 = std::min(a->x1, b->x1);
      a->y1 = std::min(a->y1, b->y1);
      a->x2 = std::max(a->x2, b->x2);
      a->y2 = std::max(a->y2, b->y2);
      b->merged = 1;
    }
  }
  for (int32_t i = 0; i < list->count; ++i) {
    const MoveEntry& e = list->entries[i];
    if (!e.hasRect || e.merged) continue;
    RefreshRect(L, e.x1, e.y1, static_cast<int32_t>(int64_t{e.x2} + 1 - e.x1),
                static_cast<int32_t>(int64_t{e.y2} + 1 - e.y1));
  }
  return 0;
}

// ClearMove(id)
int CmdClearMove(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  for (ObjectHead** link = &layerContext.moveLists; *link; link = &(*link)->next) {
    if (!sameId(*link, id)) continue;
    ObjectHead* h = *link;
    *link = h->next;
    FreeMemory(h);
    return 0;
  }
  return notFound(id);
}
