// Shape and line layers: what a shape drawn on a display with layers
// becomes. The layer keeps a record of the shape (its style copy, colour,
// size, radii, angles, corners, vertices or end points) and draws it again
// from that record through the shape renderer whenever the layer needs a
// new image (a transform, a display scale, a change of its settings), so a
// scaled shape stays sharp. The image is taken from the renderer through
// the shape capture instead of going to the output.
//
// Invariant: every image state of a shape layer owns its own copy of the
// record (and of the vertex array), freed with the state.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "draw/shape_private.h"
#include "draw/shapelayer_private.h"

ShapeCapture* activeShapeCapture = nullptr;

namespace {

// Sets the capture for the duration of one drawing, whatever way it ends.
struct CaptureScope {
  explicit CaptureScope(ShapeCapture* c) : saved(activeShapeCapture) { activeShapeCapture = c; }
  ~CaptureScope() { activeShapeCapture = saved; }
  CaptureScope(const CaptureScope&) = delete;
  CaptureScope& operator=(const CaptureScope&) = delete;
  ShapeCapture* saved;
};

void freeRecord(ShapeLayerRecord* rec) {
  if (!rec) return;
  FreeMemory(rec->vertices);
  FreeMemory(rec);
}

ErrorCode renderShapeState(VmState* L, qmLayer* layer, LayerImageState* state,
                           DisplayTransform transform, uint32_t) {
  auto* rec = static_cast<ShapeLayerRecord*>(state->kindData);
  if (!rec && layer->base) rec = static_cast<ShapeLayerRecord*>(layer->base->kindData);
  if (!rec) return ERR_WRONGUSAGE;
  LayerTriple made{};
  int32_t x = 0, y = 0, w = 0, h = 0;
  if (ErrorCode e =
          DrawShapeRecord(L, rec, state->requestedX, state->requestedY, state->requestedWidth,
                          state->requestedHeight, transform, &made, &x, &y, &w, &h))
    return e;
  FreeBitmap(state->transformed.bitmap);
  FreeBitMask(state->transformed.mask);
  FreeAlphaChannel(state->transformed.alpha);
  state->transformed = made;
  state->x = x;
  state->y = y;
  state->width = w;
  state->height = h;
  return ERR_NONE;
}

ErrorCode copyShapeState(const LayerImageState* from, LayerImageState* to) {
  to->kindData = CopyShapeRecord(static_cast<const ShapeLayerRecord*>(from->kindData));
  return to->kindData ? ERR_NONE : ERR_MEM;
}

void freeShapeState(VmState*, LayerImageState* state) {
  freeRecord(static_cast<ShapeLayerRecord*>(state->kindData));
  state->kindData = nullptr;
}

#define SHAPE_KIND(type) \
  LayerKind { \
    type, renderShapeState, nullptr, copyShapeState, freeShapeState, nullptr, nullptr, nullptr \
  }

}  // namespace

ShapeLayerRecord* CopyShapeRecord(const ShapeLayerRecord* from) {
  if (!from) return nullptr;
  auto* rec = static_cast<ShapeLayerRecord*>(AllocMemory(sizeof(ShapeLayerRecord), 0));
  if (!rec) return nullptr;
  *rec = *from;
  rec->vertices = nullptr;
  if (from->vertexCount > 0 && from->vertices) {
    size_t bytes = sizeof(double) * static_cast<size_t>(from->vertexCount);
    rec->vertices = static_cast<double*>(AllocMemory(bytes, 0));
    if (!rec->vertices) {
      FreeMemory(rec);
      return nullptr;
    }
    std::memcpy(rec->vertices, from->vertices, bytes);
  } else {
    rec->vertexCount = 0;
  }
  return rec;
}

void FreeShapeRecord(ShapeLayerRecord* rec) { freeRecord(rec); }

ErrorCode DrawShapeRecord(VmState* L, const ShapeLayerRecord* rec, int32_t x, int32_t y,
                          int32_t width, int32_t height, const DisplayTransform& transform,
                          LayerTriple* out, int32_t* outX, int32_t* outY, int32_t* outWidth,
                          int32_t* outHeight) {
  *out = LayerTriple{};
  ObjectStyle plain;
  CopyDefaultObjectStyle(&plain);
  ShapeCapture capture;
  ErrorCode e = ERR_NONE;
  {
    CaptureScope scope(&capture);
    if (rec->kind == SHAPE_LINE) {
      // The end points follow the layer's position.
      int32_t dx = x - std::min(rec->x1, rec->x2), dy = y - std::min(rec->y1, rec->y2);
      e = DrawLineCore(L, ObjectId{}, &rec->style, rec->x1 + dx, rec->y1 + dy, rec->x2 + dx,
                       rec->y2 + dy, rec->color, rec->thickness, &transform, &plain, SHAPE_TOLAYER);
    } else {
      ShapeDescriptor s{};
      s.kind = rec->kind;
      s.lineBased = rec->lineBased;
      s.x = x;
      s.y = y;
      s.width = width;
      s.height = height;
      s.rx = rec->rx;
      s.ry = rec->ry;
      s.startAngle = rec->startAngle;
      s.endAngle = rec->endAngle;
      std::copy(rec->corners, rec->corners + 4, s.corners);
      if (rec->vertices) s.vertices.assign(rec->vertices, rec->vertices + rec->vertexCount);
      s.color = rec->color;
      s.clockwise = rec->clockwise;
      s.style = &rec->style;
      s.transform = &transform;
      s.objectStyle = &plain;
      e = RenderShape(L, &s, SHAPE_TOLAYER);
    }
  }
  if (e != ERR_NONE) return e;
  if (!capture.taken || capture.width < 1 || capture.height < 1) {
    // Nothing drawn (an empty arc): one transparent pixel keeps the layer.
    capture.pixels.assign(1, 0);
    capture.width = capture.height = 1;
    capture.x = x;
    capture.y = y;
  }
  if (ErrorCode c =
          CreateBitmapFromRGB(capture.pixels.data(), -1, capture.width, capture.height,
                              capture.width, 0, 8, nullptr, &out->bitmap, &out->mask, &out->alpha))
    return VmBitmapFailureAsMem(c);
  *outX = capture.x;
  *outY = capture.y;
  *outWidth = capture.width;
  *outHeight = capture.height;
  return ERR_NONE;
}

ErrorCode MakeShapeLayer(VmState* L, ShapeLayerRecord* rec, int32_t x, int32_t y, int32_t width,
                         int32_t height, const DisplayTransform* transform,
                         const ObjectStyle* objectStyle, int32_t position, uint32_t flags,
                         qmLayer** out) {
  if (out) *out = nullptr;
  LayerImageState* state = AllocLayerImageState();
  if (!state) {
    freeRecord(rec);
    return ERR_MEM;
  }
  state->kindData = rec;
  state->requestedX = x;
  state->requestedY = y;
  state->requestedWidth = width;
  state->requestedHeight = height;
  // The untransformed image, placed for anchor 0: the layer applies the
  // anchor and its matrix itself.
  DisplayTransform plain;
  CopyDefaultTransform(&plain);
  LayerTriple image{};
  int32_t ix = 0, iy = 0, iw = 0, ih = 0;
  if (ErrorCode e =
          DrawShapeRecord(L, rec, x, y, width, height, plain, &image, &ix, &iy, &iw, &ih)) {
    freeRecord(rec);
    FreeMemory(state);
    return e;
  }
  qmLayer* layer = nullptr;
  if (ErrorCode e = NewLayer(L, rec->kind, nullptr, ix, iy, iw, ih, transform, objectStyle,
                             image.bitmap, image.mask, image.alpha, state, position,
                             flags | NEWLAYER_ACTUALGEOMETRY, &layer))
    return e;
  if (out) *out = layer;
  return ERR_NONE;
}

ErrorCode AddShapeLayer(VmState* L, ShapeDescriptor* shape, int32_t kind) {
  auto* rec = static_cast<ShapeLayerRecord*>(AllocMemory(sizeof(ShapeLayerRecord), 1));
  if (!rec) return ERR_MEM;
  rec->style = *shape->style;
  rec->kind = kind;
  rec->lineBased = shape->lineBased;
  rec->color = shape->color;
  rec->rx = shape->rx;
  rec->ry = shape->ry;
  rec->startAngle = shape->startAngle;
  rec->endAngle = shape->endAngle;
  rec->clockwise = shape->clockwise;
  std::copy(shape->corners, shape->corners + 4, rec->corners);
  if (kind == SHAPE_LINE) {
    // A line descriptor brings x1, y1, x2, y2 and the thickness.
    const std::vector<double>& v = shape->vertices;
    if (v.size() >= 5) {
      rec->x1 = VmTruncInt32(v[0]);
      rec->y1 = VmTruncInt32(v[1]);
      rec->x2 = VmTruncInt32(v[2]);
      rec->y2 = VmTruncInt32(v[3]);
      rec->thickness = VmTruncInt32(v[4]);
    }
  } else if (!shape->vertices.empty()) {
    size_t bytes = sizeof(double) * shape->vertices.size();
    rec->vertices = static_cast<double*>(AllocMemory(bytes, 0));
    if (!rec->vertices) {
      freeRecord(rec);
      return ERR_MEM;
    }
    std::memcpy(rec->vertices, shape->vertices.data(), bytes);
    rec->vertexCount = static_cast<int32_t>(shape->vertices.size());
  }
  qmLayer* layer = nullptr;
  if (ErrorCode e = MakeShapeLayer(L, rec, shape->x, shape->y, shape->width, shape->height,
                                   shape->transform, shape->objectStyle, -1, 0, &layer))
    return e;
  // A plain layer put on top is left to its maker to show.
  const DisplayTransform& t = *shape->transform;
  bool identity = t.m11 == 1 && t.m12 == 0 && t.m21 == 0 && t.m22 == 1;
  const ObjectStyle* os = shape->objectStyle;
  bool onTop = layer->node.succ && !layer->node.succ->succ;
  // During a layers selection of the shown picture the area waits for the
  // selection's end.
  if (identity && onTop && !layer->hidden && !(os && os->effects)) {
    const LayerImageState* s = layer->display;
    RefreshRect(L, s->x, s->y, s->width, s->height);
  }
  return ERR_NONE;
}

ErrorCode ClearShapeLayers(VmState* L, DisplayRecord*) { return ClearLayersCore(L, 0); }

// ---- Style fields ----

namespace {

bool isShapeType(int32_t type) {
  return type == LAYER_BOX || type == LAYER_CIRCLE || type == LAYER_ELLIPSE || type == LAYER_LINE ||
         type == LAYER_POLYGON || type == LAYER_ARC;
}

int32_t listPosition(const qmLayer* layer) {
  int32_t position = 1;
  for (const Node* n = layer->node.pred; n && n->pred; n = n->pred) ++position;
  return position;
}

bool readInt(VmState* L, int table, const char* name, int32_t* value) {
  int found = 0;
  return GetTableFieldInt(L, table, name, value, &found) != 0;
}

void setNumber(VmState* L, const char* name, double value) {
  VmPushString(L, name);
  VmPushNumber(L, value);
  VmSetTable(L, -3);
}

// "vertices": numbers from index 0, read as Polygon reads its list: x, y
// pairs made relative to their minimum, closed, the box from the maximum.
ErrorCode readVertices(VmState* L, int table, ShapeLayerRecord* rec, LayerStyleWork* w,
                       bool* given) {
  VmPushString(L, "vertices");
  VmGetTable(L, table);
  int top = VmGetTop(L);
  if (VmType(L, top) == VM_TYPE_NIL) {
    VmSetTop(L, top - 1);
    return ERR_NONE;
  }
  if (VmType(L, top) != VM_TYPE_TABLE) {
    VmSetTop(L, top - 1);
    return ERR_WRONGUSAGE;
  }
  std::vector<double> v;
  for (int32_t i = 0;; ++i) {
    VmRawGetI(L, top, i);
    int type = VmType(L, -1);
    if (type == VM_TYPE_NIL) {
      VmSetTop(L, top);
      break;
    }
    if (type != VM_TYPE_NUMBER || i >= 2 * SHAPE_MAX_POINTS) {
      VmSetTop(L, top - 1);
      SetErrorArgString("vertices");
      return type != VM_TYPE_NUMBER ? ERR_NUMTABLEARG : ERR_WRONGUSAGE;
    }
    v.push_back(VmToNumber(L, -1));
    VmSetTop(L, top);
  }
  VmSetTop(L, top - 1);
  size_t count = v.size() / 2;
  if (v.size() % 2 || count < 2 || count > static_cast<size_t>(SHAPE_MAX_POINTS - 1))
    return ERR_WRONGUSAGE;
  double minX = v[0], minY = v[1], maxX = 0, maxY = 0;
  for (size_t i = 0; i < count; ++i) {
    minX = std::min(minX, v[2 * i]);
    minY = std::min(minY, v[2 * i + 1]);
  }
  for (size_t i = 0; i < count; ++i) {
    v[2 * i] -= minX;
    v[2 * i + 1] -= minY;
    maxX = std::max(maxX, std::nearbyint(v[2 * i]));
    maxY = std::max(maxY, std::nearbyint(v[2 * i + 1]));
  }
  if (v[0] != v[2 * count - 2] || v[1] != v[2 * count - 1]) {
    v.push_back(v[0]);
    v.push_back(v[1]);
  }
  if (maxX >= INT32_MAX || maxY >= INT32_MAX) return ERR_BITMAP;
  auto* copy = static_cast<double*>(AllocMemory(sizeof(double) * v.size(), 0));
  if (!copy) return ERR_MEM;
  std::copy(v.begin(), v.end(), copy);
  FreeMemory(rec->vertices);
  rec->vertices = copy;
  rec->vertexCount = static_cast<int32_t>(v.size());
  w->width = static_cast<int32_t>(maxX) + 1;
  w->height = static_cast<int32_t>(maxY) + 1;
  w->offsetX = VmTruncInt32(minX);
  w->offsetY = VmTruncInt32(minY);
  *given = true;
  return ERR_NONE;
}

// The record to work on: a copy of the layer's, or (for a layer of another
// kind that becomes a shape) one from the current drawing style.
ShapeLayerRecord* workRecord(const qmLayer* layer) {
  if (isShapeType(layer->type) && layer->base->kindData)
    return CopyShapeRecord(static_cast<const ShapeLayerRecord*>(layer->base->kindData));
  auto* rec = static_cast<ShapeLayerRecord*>(AllocMemory(sizeof(ShapeLayerRecord), 1));
  if (rec) rec->style = *GetCurrentDrawStyle();
  return rec;
}

ErrorCode readShapeStyle(VmState* L, int table, LayerStyleWork* w) {
  const qmLayer* layer = w->layer;
  ShapeLayerRecord* rec = workRecord(layer);
  if (!rec) return ERR_MEM;
  w->kindData = rec;
  const int32_t from = layer->type, type = w->type;
  bool content = w->typeChanged != 0;
  uint32_t colour = 0;
  int found = 0;
  if (GetTableFieldU32(L, table, "color", &colour, &found)) {
    rec->color = colour;
    content = true;
  }
  int32_t formContent = content ? 1 : 0;
  if (ErrorCode e = ReadFormFillFields(L, w, table, &rec->style, &formContent, &w->styleChanged))
    return e;
  content = formContent != 0;
  int32_t v = 0;
  switch (type) {
    case LAYER_BOX: {
      if (readInt(L, table, "sizex", &v)) {
        if (v < 1) return ERR_BADDIMENSIONS;
        w->width = v;
        content = true;
      }
      if (readInt(L, table, "sizey", &v)) {
        if (v < 1) return ERR_BADDIMENSIONS;
        w->height = v;
        content = true;
      }
      if (readInt(L, table, "roundlevel", &v)) {
        std::fill(rec->corners, rec->corners + 4, v);
        content = true;
      }
      const char* names[4] = {"cornera", "cornerb", "cornerc", "cornerd"};
      for (int i = 0; i < 4; ++i)
        if (readInt(L, table, names[i], &rec->corners[i])) content = true;
      ClampCorners(rec->corners);
      break;
    }
    case LAYER_CIRCLE: {
      bool radius = readInt(L, table, "radius", &v);
      if (radius) rec->rx = rec->ry = v;
      if (w->typeChanged && !radius) {
        if (from != LAYER_ARC && from != LAYER_ELLIPSE) return ERR_MISSINGPARAMTR;
        rec->ry = rec->rx;
      }
      content = content || radius;
      break;
    }
    case LAYER_ELLIPSE:
    case LAYER_ARC: {
      bool a = readInt(L, table, "radiusa", &rec->rx);
      bool b = readInt(L, table, "radiusb", &rec->ry);
      // Radii may come from a round shape that this one was.
      bool round = from == LAYER_ARC || from == LAYER_CIRCLE || from == LAYER_ELLIPSE;
      if (w->typeChanged && !(a && b) && !round) return ERR_MISSINGPARAMTR;
      content = content || a || b;
      if (type == LAYER_ARC) {
        bool s = readInt(L, table, "startangle", &rec->startAngle);
        bool e = readInt(L, table, "endangle", &rec->endAngle);
        if (w->typeChanged && (!s || !e)) return ERR_MISSINGPARAMTR;
        if (readInt(L, table, "clockwise", &v)) {
          rec->clockwise = v != 0;
          content = true;
        }
        content = content || s || e;
      } else {
        rec->startAngle = 0;
        rec->endAngle = 360;
      }
      break;
    }
    case LAYER_LINE: {
      bool given = false;
      int32_t* ends[4] = {&rec->x1, &rec->y1, &rec->x2, &rec->y2};
      const char* names[4] = {"x1", "y1", "x2", "y2"};
      for (int i = 0; i < 4; ++i) given = readInt(L, table, names[i], ends[i]) || given;
      if (given) {
        w->hasPosition = 1;
        w->x = std::min(rec->x1, rec->x2);
        w->y = std::min(rec->y1, rec->y2);
        w->width = VmTruncInt32(std::fabs(static_cast<double>(rec->x2) - rec->x1) + 1);
        w->height = VmTruncInt32(std::fabs(static_cast<double>(rec->y2) - rec->y1) + 1);
      }
      if (readInt(L, table, "thickness", &rec->thickness)) given = true;
      content = content || given;
      break;
    }
    case LAYER_POLYGON: {
      bool given = false;
      if (ErrorCode e = readVertices(L, table, rec, w, &given)) return e;
      if (w->typeChanged && !given) return ERR_MISSINGPARAMTR;
      content = content || given;
      break;
    }
    default:
      break;
  }
  if (type == LAYER_CIRCLE || type == LAYER_ELLIPSE || type == LAYER_ARC) {
    if (rec->rx < 1 || rec->ry < 1 || rec->rx > INT32_MAX / 2 - 1 || rec->ry > INT32_MAX / 2 - 1)
      return ERR_WRONGUSAGE;
    w->width = 2 * rec->rx + 1;
    w->height = 2 * rec->ry + 1;
  }
  ClampDrawStyle(&rec->style);
  if (content) w->content = 1;
  return ERR_NONE;
}

void writeShapeStyle(VmState* L, qmLayer* layer) {
  const auto* rec = static_cast<const ShapeLayerRecord*>(layer->base->kindData);
  if (!rec) return;
  setNumber(L, "color", static_cast<double>(rec->color));
  SetFormFillFields(L, &rec->style);
  const LayerImageState* base = layer->base;
  switch (layer->type) {
    case LAYER_BOX: {
      setNumber(L, "sizex", base->requestedWidth);
      setNumber(L, "sizey", base->requestedHeight);
      const char* names[4] = {"cornera", "cornerb", "cornerc", "cornerd"};
      for (int i = 0; i < 4; ++i) setNumber(L, names[i], rec->corners[i]);
      break;
    }
    case LAYER_CIRCLE:
      setNumber(L, "radius", rec->rx);
      break;
    case LAYER_ELLIPSE:
    case LAYER_ARC:
      setNumber(L, "radiusa", rec->rx);
      setNumber(L, "radiusb", rec->ry);
      if (layer->type == LAYER_ARC) {
        setNumber(L, "startangle", rec->startAngle);
        setNumber(L, "endangle", rec->endAngle);
        setNumber(L, "clockwise", rec->clockwise);
      }
      break;
    case LAYER_LINE: {
      // The end points where the layer is now.
      int32_t dx = base->requestedX - std::min(rec->x1, rec->x2);
      int32_t dy = base->requestedY - std::min(rec->y1, rec->y2);
      setNumber(L, "x1", rec->x1 + dx);
      setNumber(L, "y1", rec->y1 + dy);
      setNumber(L, "x2", rec->x2 + dx);
      setNumber(L, "y2", rec->y2 + dy);
      setNumber(L, "thickness", rec->thickness);
      break;
    }
    case LAYER_POLYGON: {
      VmPushString(L, "vertices");
      VmNewTable(L);
      for (int32_t i = 0; i < rec->vertexCount; ++i) {
        VmPushNumber(L, i);
        VmPushNumber(L, rec->vertices[i]);
        VmSetTable(L, -3);
      }
      VmSetTable(L, -3);
      setNumber(L, "numvertices", rec->vertexCount / 2);
      break;
    }
    default:
      break;
  }
}

ErrorCode remakeShapeLayer(VmState* L, qmLayer* layer, LayerStyleWork* w, int32_t x, int32_t y,
                           const DisplayTransform* transform, uint32_t flags, qmLayer** out) {
  auto* rec = static_cast<ShapeLayerRecord*>(w->kindData);
  if (!rec) return ERR_WRONGUSAGE;
  ShapeLayerRecord* copy = CopyShapeRecord(rec);
  if (!copy) return ERR_MEM;
  copy->kind = w->type;
  // The route follows the style as it is now.
  static const double IDENTITY[4] = {1, 0, 0, 1};
  switch (copy->kind) {
    case LAYER_BOX:
      copy->lineBased = BoxRoute(&copy->style, copy->corners, IDENTITY);
      break;
    case LAYER_CIRCLE:
    case LAYER_ELLIPSE:
    case LAYER_ARC:
      copy->lineBased = ShapeNewMode() && (copy->style.formFlags & FORM_ANTIALIAS) ? 0 : 1;
      break;
    default:
      copy->lineBased = 1;
      break;
  }
  int32_t width = w->width > 0 ? w->width : layer->base->requestedWidth;
  int32_t height = w->height > 0 ? w->height : layer->base->requestedHeight;
  return MakeShapeLayer(L, copy, x, y, width, height, transform, nullptr, listPosition(layer),
                        flags, out);
}

void freeShapeWork(LayerStyleWork* w) {
  FreeShapeRecord(static_cast<ShapeLayerRecord*>(w->kindData));
  w->kindData = nullptr;
}

const LayerStyleHooks SHAPE_STYLE{readShapeStyle, writeShapeStyle, remakeShapeLayer, freeShapeWork};

}  // namespace

ErrorCode ReadFormFillFields(VmState* L, LayerStyleWork* w, int table, DrawStyle* style,
                             int32_t* contentChanged, int32_t* styleChanged) {
  constexpr uint32_t EFFECTS = FORM_SHADOW | FORM_EDGE;
  int found = 0;
  uint32_t v = 0;
  if (GetTableFieldU32(L, table, "formstyle", &v, &found)) {
    if (v & FORM_NORMAL) {
      // Exactly the normal form; its other bits are not looked at.
      style->formFlags = FORM_NORMAL;
      *contentChanged = 1;
    } else {
      if (v & FORM_SHADOW) {
        w->shadow.on = 1;
        *styleChanged = 1;
      }
      if (v & FORM_EDGE) {
        w->border.on = 1;
        *styleChanged = 1;
      }
      if (v & ~EFFECTS) {
        style->formFlags =
            static_cast<int32_t>(static_cast<uint32_t>(style->formFlags) | (v & ~EFFECTS));
        *contentChanged = 1;
      }
    }
  }
  if (GetTableFieldU32(L, table, "formstyleclear", &v, &found)) {
    if (v & FORM_SHADOW) {
      w->shadow.on = 0;
      *styleChanged = 1;
    }
    if (v & FORM_EDGE) {
      w->border.on = 0;
      *styleChanged = 1;
    }
    if (v & ~EFFECTS) {
      style->formFlags =
          static_cast<int32_t>(static_cast<uint32_t>(style->formFlags) & ~(v & ~EFFECTS));
      *contentChanged = 1;
    }
  }
  int32_t n = 0;
  if (readInt(L, table, "fillstyle", &n)) {
    style->fillStyle = n;
    *contentChanged = 1;
  }
  if (readInt(L, table, "gradientstyle", &n)) {
    style->gradient.type = n;
    *contentChanged = 1;
  }
  if (readInt(L, table, "gradientangle", &n)) {
    style->gradient.angle = n;
    *contentChanged = 1;
  }
  if (GetTableFieldU32(L, table, "gradientstartcolor", &v, &found)) {
    style->gradient.startColour = v;
    style->gradient.pairCount = 0;
    *contentChanged = 1;
  }
  if (GetTableFieldU32(L, table, "gradientendcolor", &v, &found)) {
    style->gradient.endColour = v;
    style->gradient.pairCount = 0;
    *contentChanged = 1;
  }
  if (style->fillStyle == FILLGRADIENT) {
    const char* names[5] = {"gradientcenterx", "gradientcentery", "gradientbalance",
                            "gradientborder", "gradientcolors"};
    bool any = false;
    for (const char* name : names) {
      VmPushString(L, name);
      VmGetTable(L, table);
      any = any || VmType(L, -1) != VM_TYPE_NIL;
      VmSetTop(L, VmGetTop(L) - 1);
    }
    if (any) {
      if (ErrorCode e = ReadGradientFields(L, table, "gradient", &style->gradient)) return e;
      *contentChanged = 1;
    }
  }
  VmPushString(L, "texturebrush");
  VmGetTable(L, table);
  if (VmType(L, -1) != VM_TYPE_NIL) {
    style->textureBrush = GetObjectIdArg(L, VmGetTop(L), nullptr);
    *contentChanged = 1;
  }
  VmSetTop(L, VmGetTop(L) - 1);
  if (readInt(L, table, "texturex", &style->textureX)) *contentChanged = 1;
  if (readInt(L, table, "texturey", &style->textureY)) *contentChanged = 1;
  return ERR_NONE;
}

void SetFormFillFields(VmState* L, const DrawStyle* style) {
  setNumber(L, "formstyle", style->formFlags);
  setNumber(L, "fillstyle", style->fillStyle);
  setNumber(L, "gradientstyle", style->gradient.type);
  setNumber(L, "gradientangle", VmTruncInt32(style->gradient.angle));
  setNumber(L, "gradientstartcolor", static_cast<int32_t>(style->gradient.startColour));
  setNumber(L, "gradientendcolor", static_cast<int32_t>(style->gradient.endColour));
  VmPushString(L, "texturebrush");
  PushObjectId(L, style->textureBrush);
  VmSetTable(L, -3);
  setNumber(L, "texturex", style->textureX);
  setNumber(L, "texturey", style->textureY);
}

namespace {

// An unfilled shape in the border's colour is shown by its border alone.
int shapeBodyHidden(const qmLayer* layer, const LayerImageState* state) {
  const auto* rec = static_cast<const ShapeLayerRecord*>(state->kindData);
  if (!rec && layer->base) rec = static_cast<const ShapeLayerRecord*>(layer->base->kindData);
  return rec && rec->style.fillStyle == FILLNONE &&
         (rec->color & 0xFFFFFF) == (layer->border.colour & 0xFFFFFF);
}

}  // namespace

void RegisterShapeLayerKinds() {
  static const LayerKind kinds[] = {SHAPE_KIND(LAYER_BOX),     SHAPE_KIND(LAYER_CIRCLE),
                                    SHAPE_KIND(LAYER_ELLIPSE), SHAPE_KIND(LAYER_LINE),
                                    SHAPE_KIND(LAYER_POLYGON), SHAPE_KIND(LAYER_ARC)};
  for (const LayerKind& k : kinds) {
    RegisterLayerKind(&k);
    RegisterLayerStyleHooks(k.type, &SHAPE_STYLE);
    RegisterLayerBodyTest(k.type, shapeBodyHidden);
  }
}
