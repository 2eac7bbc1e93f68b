// The vectorgraphics library: path objects and their item buffers, the
// program's line style, the path commands, the vector engine in use (the
// built-in one or a plug-in's) and the vector handles that engines make of
// the text library's fonts.
//
// Invariant: an item buffer always ends with a 32-bit 0 behind its items,
// so every walker stops at the end without knowing the length; a font
// handle is only ever used while its font is open (the registry below is
// emptied for a font when the text library closes it).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "draw/draw_private.h"
#include "draw/shape_private.h"
#include "draw/vector_private.h"
#include "plugins/plugins.h"

namespace {

// A buffer grows by at least this much at a time.
constexpr size_t PATH_BUFFER_STEP = 1024;

struct FontHandle {
  void* font;
  PluginBase* engine;
  void* handle;
};

struct PathContext {
  ObjectHead* paths = nullptr;
  PathLineStyle line{0, 0, 0.0, 0, nullptr, 0, 10.0};
  int32_t forcePathUse = 0;
  PluginBase* engine = nullptr;  // null: built in
  std::vector<FontHandle> fontHandles;
  const PathFontHooks* fontHooks = nullptr;
  int open = 0;
};
PathContext paths;

VectorPath* firstPath() { return reinterpret_cast<VectorPath*>(paths.paths); }
VectorPath* nextPath(VectorPath* p) { return reinterpret_cast<VectorPath*>(p->head.next); }

bool sameId(const VectorPath* p, ObjectId id) {
  return p->head.number == id.number && p->head.autoId == id.autoId;
}

void unlinkPath(VectorPath* path) {
  for (ObjectHead** at = &paths.paths; *at; at = &(*at)->next)
    if (*at == &path->head) {
      *at = path->head.next;
      return;
    }
}

void appendToList(VectorPath* path) {
  ObjectHead** tail = &paths.paths;
  while (*tail) tail = &(*tail)->next;
  *tail = &path->head;
}

// ---- Engines ----

bool bridged(PluginBase* engine) { return engine && engine->kind == PLUGIN_KIND_BRIDGED; }

template <typename F>
F entry(PluginBase* engine, const char* name) {
  return reinterpret_cast<F>(GetPluginEntry(engine, name));
}

QmVectorLineStyle plainStyle(const PathGeometry& g) {
  QmVectorLineStyle s{};
  if (g.line) {
    s.join = g.line->join;
    s.cap = g.line->cap;
    s.fillRule = g.line->fillRule;
    s.dashOffset = g.line->dashOffset;
    s.dashes = g.line->dashes;
    s.dashCount = g.line->dashCount;
    s.miterLimit = g.line->miterLimit;
  } else {
    s.miterLimit = 10.0;
  }
  s.antialias = g.antialias ? 1 : 0;
  return s;
}

VectorLineStyle builtinStyle(const QmVectorLineStyle& s) {
  return VectorLineStyle{s.join,       s.cap,    s.fillRule,  s.antialias,
                         s.dashOffset, s.dashes, s.dashCount, s.miterLimit};
}

const double IDENTITY[4] = {1, 0, 0, 1};

// ---- Font handles ----

void* currentFontRecord(int32_t* type, int32_t* size, void** face) {
  *type = 0;
  *size = 0;
  *face = nullptr;
  if (!paths.fontHooks || !paths.fontHooks->currentFont) return nullptr;
  return paths.fontHooks->currentFont(type, size, face);
}

void releaseHandle(const FontHandle& h) {
  if (!h.engine) return;  // the built-in engine's handle is the font's face
  if (bridged(h.engine)) return;
  if (auto f = entry<QmFreeVectorFontFunc>(h.engine, "FreeVectorFont")) f(h.handle);
}

// The handle of the font for the engine, made through the engine's
// CreateVectorFont from the face on first use.
void* fontVectorHandle(void* font, void* face, PluginBase* engine) {
  for (const FontHandle& h : paths.fontHandles)
    if (h.font == font && h.engine == engine) return h.handle;
  void* handle = nullptr;
  if (!engine) {
    handle = face;
  } else if (!bridged(engine)) {
    if (auto f = entry<QmCreateVectorFontFunc>(engine, "CreateVectorFont")) handle = f(face);
  }
  if (!handle) return nullptr;
  paths.fontHandles.push_back(FontHandle{font, engine, handle});
  return handle;
}

void freeAllFontHandles() {
  for (const FontHandle& h : paths.fontHandles) releaseHandle(h);
  paths.fontHandles.clear();
  paths.fontHandles.shrink_to_fit();
}

// ---- Item buffers ----

// Room for length more bytes and the ending 0.
ErrorCode reserve(VectorPath* path, size_t length) {
  if (length > SIZE_MAX / 2 - path->length) return ERR_MEM;
  size_t need = path->length + length + 4;
  if (need <= path->capacity) return ERR_NONE;
  size_t grown = std::max(need, path->capacity + PATH_BUFFER_STEP);
  auto* bigger = static_cast<uint8_t*>(AllocMemory(grown, 0));
  if (!bigger) return ERR_MEM;
  if (path->items) std::memcpy(bigger, path->items, path->length + 4);
  FreeMemory(path->items);
  path->items = bigger;
  path->capacity = grown;
  return ERR_NONE;
}

// Writes fields of one item into a byte run.
class ItemBytes {
 public:
  explicit ItemBytes(int32_t kind) { Int(kind); }
  void Int(int32_t v) { put(&v, 4); }
  void Double(double v) { put(&v, 8); }
  void Pointer(const void* p) { put(&p, sizeof p); }
  void String(const char* s) {
    size_t n = std::strlen(s) + 1;
    bytes_.insert(bytes_.end(), s, s + n);
    while (bytes_.size() % 4) bytes_.push_back(0);
  }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  void put(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    bytes_.insert(bytes_.end(), b, b + n);
  }
  std::vector<uint8_t> bytes_;
};

ErrorCode appendItem(VectorPath* path, const ItemBytes& item) {
  return AppendPathBytes(path, item.Bytes().data(), item.Bytes().size());
}

// ---- Helpers of the commands ----

ErrorCode pathArg(VmState* L, int index, VectorPath** path) {
  return FindPathById(GetObjectIdArg(L, index, nullptr), path);
}

double numberArg(VmState* L, int index) { return VmCheckNumber(L, index); }

ErrorCode takeSnapshot(VectorPath* path) {
  auto* s = static_cast<PathStyleSnapshot*>(AllocMemory(sizeof(PathStyleSnapshot), 1));
  if (!s) return ERR_MEM;
  if (CopyPathLineStyle(paths.line, &s->line)) {
    FreeMemory(s);
    return ERR_MEM;
  }
  s->draw = *GetCurrentDrawStyle();
  path->style = s;
  return ERR_NONE;
}

void freeSnapshot(PathStyleSnapshot* s) {
  if (!s) return;
  FreePathLineStyle(&s->line);
  FreeMemory(s);
}

ErrorCode newPath(ObjectId* id, int automatic, VectorPath** out) {
  auto* p = static_cast<VectorPath*>(AllocMemory(sizeof(VectorPath), 1));
  if (!p) return ERR_MEM;
  p->head.type = OBJTYPE_VECTORPATH;
  if (automatic) {
    p->head.autoId = p;
    *id = ObjectId{p, 0};
  } else {
    p->head.number = id->number;
  }
  appendToList(p);
  *out = p;
  return ERR_NONE;
}

// A number id frees an existing path of that number first.
void freeNumbered(VmState* L, ObjectId id) {
  for (VectorPath* p = firstPath(); p; p = nextPath(p))
    if (!id.autoId && sameId(p, id)) {
      FreePathObject(L, p);
      return;
    }
}

// The geometry of a path as the current styles have it.
PathGeometry currentGeometry(const VectorPath* path, bool asFill, int32_t lineWidth) {
  const DrawStyle* s = GetCurrentDrawStyle();
  PathGeometry g{};
  g.items = path->items;
  g.line = &paths.line;
  g.antialias = (s->formFlags & FORM_ANTIALIAS) ? 1 : 0;
  g.fill = asFill ? 1 : 0;
  g.lineWidth = lineWidth;
  g.matrix = IDENTITY;
  return g;
}

// ---- Commands ----

// StartPath(id or nil).
int cmdStartPath(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  if (!automatic) freeNumbered(L, id);
  VectorPath* path = nullptr;
  if (ErrorCode e = newPath(&id, automatic, &path)) return e;
  if (takeSnapshot(path)) {
    FreePathObject(L, path);
    return ERR_MEM;
  }
  if (!automatic) return 0;
  return PushObjectId(L, id);
}

int pointItem(VmState* L, int32_t kind, int32_t rel) {
  CheckArgCount(L, 3, 3, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  ItemBytes item(kind);
  item.Int(rel);
  item.Double(numberArg(L, 2));
  item.Double(numberArg(L, 3));
  return appendItem(path, item);
}
int cmdMoveTo(VmState* L) { return pointItem(L, PATHITEM_MOVETO, 0); }
int cmdLineTo(VmState* L) { return pointItem(L, PATHITEM_LINETO, 0); }
int cmdRelMoveTo(VmState* L) { return pointItem(L, PATHITEM_MOVETO, 1); }
int cmdRelLineTo(VmState* L) { return pointItem(L, PATHITEM_LINETO, 1); }

int curveItem(VmState* L, int32_t rel) {
  CheckArgCount(L, 7, 7, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  ItemBytes item(PATHITEM_CURVETO);
  item.Int(rel);
  for (int i = 2; i <= 7; ++i) item.Double(numberArg(L, i));
  return appendItem(path, item);
}
int cmdCurveTo(VmState* L) { return curveItem(L, 0); }
int cmdRelCurveTo(VmState* L) { return curveItem(L, 1); }

int plainItem(VmState* L, int32_t kind) {
  CheckArgCount(L, 1, 1, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  return appendItem(path, ItemBytes(kind));
}
int cmdStartSubPath(VmState* L) { return plainItem(L, PATHITEM_NEWSUBPATH); }
int cmdClosePath(VmState* L) { return plainItem(L, PATHITEM_CLOSEPATH); }

ErrorCode arcItem(VectorPath* path, double x, double y, double ra, double rb, double start,
                  double end, int32_t clockwise) {
  ItemBytes item(PATHITEM_ARC);
  for (double v : {x, y, ra, rb, start, end}) item.Double(v);
  item.Int(clockwise);
  return appendItem(path, item);
}

// AddArcToPath(id, x, y, ra, rb, start, end [, clockwise = 1]).
int cmdAddArcToPath(VmState* L) {
  CheckArgCount(L, 7, 8, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  double v[6];
  for (int i = 0; i < 6; ++i) v[i] = numberArg(L, i + 2);
  return arcItem(path, v[0], v[1], v[2], v[3], v[4], v[5], VmOptInteger(L, 8, 1));
}

int cmdAddCircleToPath(VmState* L) {
  CheckArgCount(L, 4, 4, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  double r = numberArg(L, 4);
  return arcItem(path, numberArg(L, 2), numberArg(L, 3), r, r, 0, 360, 1);
}

int cmdAddEllipseToPath(VmState* L) {
  CheckArgCount(L, 5, 5, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  return arcItem(path, numberArg(L, 2), numberArg(L, 3), numberArg(L, 4), numberArg(L, 5), 0, 360,
                 1);
}

ErrorCode boxItem(VectorPath* path, double x, double y, double w, double h,
                  const int32_t corners[4]) {
  ItemBytes item(PATHITEM_BOX);
  for (double v : {x, y, w, h}) item.Double(v);
  for (int i = 0; i < 4; ++i) item.Int(corners[i]);
  return appendItem(path, item);
}

// AddBoxToPath(id, x, y, width, height [, options]).
int cmdAddBoxToPath(VmState* L) {
  CheckArgCount(L, 5, 6, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  double v[4];
  for (int i = 0; i < 4; ++i) v[i] = numberArg(L, i + 2);
  int32_t corners[4] = {0, 0, 0, 0};
  if (VmGetTop(L) >= 6 && VmType(L, 6) != VM_TYPE_NIL) {
    VmCheckTable(L, 6);
    int found = 0;
    int32_t level;
    if (GetTableFieldInt(L, 6, "roundlevel", &level, &found))
      std::fill(corners, corners + 4, level);
    const char* names[4] = {"cornera", "cornerb", "cornerc", "cornerd"};
    for (int i = 0; i < 4; ++i) GetTableFieldInt(L, 6, names[i], &corners[i], &found);
  }
  ClampCorners(corners);
  return boxItem(path, v[0], v[1], v[2], v[3], corners);
}

// AddTextToPath(id, text [, options]): the current font, which must be a
// TrueType font, at the size it was asked for.
int cmdAddTextToPath(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  const char* text = VmCheckString(L, 2, nullptr);
  int32_t encoding = paths.fontHooks && paths.fontHooks->currentEncoding
                         ? paths.fontHooks->currentEncoding()
                         : (unicodeUtf8Mode ? TEXT_ENCODING_UTF8 : TEXT_ENCODING_LATIN1);
  if (VmGetTop(L) >= 3 && VmType(L, 3) != VM_TYPE_NIL) {
    VmCheckTable(L, 3);
    int found = 0;
    GetTableFieldInt(L, 3, "encoding", &encoding, &found);
  }
  if (encoding != TEXT_ENCODING_LATIN1 && encoding != TEXT_ENCODING_UTF8) return ERR_WRONGUSAGE;
  // Invalid UTF-8 would end the glyph walk silently in the middle of the
  // text; it is refused here as formatted text refuses it.
  if (encoding == TEXT_ENCODING_UTF8 && !Utf8CheckBytes(text, std::strlen(text)))
    return ERR_INVALIDUTF8;
  int32_t type = 0, size = 0;
  void* face = nullptr;
  void* font = currentFontRecord(&type, &size, &face);
  if (!font || type != 4 || !face) return ERR_VFONTTYPE;
  void* handle = fontVectorHandle(font, face, paths.engine);
  if (!handle) return ERR_VFONT;
  char* converted = nullptr;
  if (encoding == TEXT_ENCODING_LATIN1) {
    converted = ConvertStringEncoding(text, TEXT_ENCODING_LATIN1, TEXT_ENCODING_UTF8);
    if (!converted) return ERR_MEM;
  }
  ItemBytes item(PATHITEM_TEXT);
  item.Pointer(handle);
  item.Int(size);
  item.String(converted ? converted : text);
  FreeMemory(converted);
  return appendItem(path, item);
}

// AppendPath(destination, source).
int cmdAppendPath(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  VectorPath* to;
  if (ErrorCode e = pathArg(L, 1, &to)) return e;
  VectorPath* from;
  if (ErrorCode e = pathArg(L, 2, &from)) return e;
  if (to == from) return ERR_WRONGUSAGE;
  if (!from->length) return 0;
  return AppendPathBytes(to, from->items, from->length);
}

// CopyPath(source, destination or nil).
int cmdCopyPath(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  VectorPath* from;
  if (ErrorCode e = pathArg(L, 1, &from)) return e;
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 2, &automatic);
  if (!automatic && sameId(from, id)) return ERR_WRONGUSAGE;
  if (!automatic) freeNumbered(L, id);
  VectorPath* path = nullptr;
  if (ErrorCode e = newPath(&id, automatic, &path)) return e;
  ErrorCode e = from->length ? AppendPathBytes(path, from->items, from->length) : ERR_NONE;
  if (!e && from->style) {
    path->style = static_cast<PathStyleSnapshot*>(AllocMemory(sizeof(PathStyleSnapshot), 1));
    if (!path->style || CopyPathLineStyle(from->style->line, &path->style->line)) {
      e = ERR_MEM;
    } else {
      path->style->draw = from->style->draw;
    }
  }
  if (e) {
    FreePathObject(L, path);
    return e;
  }
  if (!automatic) return 0;
  return PushObjectId(L, id);
}

int cmdClearPath(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  FreeMemory(path->items);
  path->items = nullptr;
  path->capacity = 0;
  path->length = 0;
  return 0;
}

int cmdFreePath(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  FreePathObject(L, path);
  return 0;
}

int cmdIsPathEmpty(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  VmPushNumber(L, path->length ? 0 : 1);
  return 1;
}

// GetPathExtents(id): the control box of the outline the path draws with
// the current styles.
int cmdGetPathExtents(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  double box[4] = {0, 0, 0, 0};
  if (path->length) {
    const DrawStyle* s = GetCurrentDrawStyle();
    bool fill = s->fillStyle != FILLNONE;
    EngineGetExtents(paths.engine, currentGeometry(path, fill, fill ? 1 : s->lineWidth), box);
  }
  for (double v : box) VmPushNumber(L, v);
  return 4;
}

int cmdGetCurrentPoint(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  double x = 0, y = 0;
  if (path->length && !EngineCurrentPoint(paths.engine, currentGeometry(path, true, 1), &x, &y))
    x = y = 0;
  VmPushNumber(L, x);
  VmPushNumber(L, y);
  return 2;
}

int cmdTranslatePath(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  double dx = numberArg(L, 2), dy = numberArg(L, 3);
  if ((dx == 0 && dy == 0) || !path->length) return 0;
  EngineTranslatePath(paths.engine, path->items, dx, dy);
  return 0;
}

// NormalizePath(id): the path moves so that its box (as a fill) starts at
// 0, 0.
int cmdNormalizePath(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  if (!path->length) return 0;
  double box[4] = {0, 0, 0, 0};
  if (!EngineGetExtents(paths.engine, currentGeometry(path, true, 1), box)) return 0;
  if (box[0] != 0 || box[1] != 0) EngineTranslatePath(paths.engine, path->items, -box[0], -box[1]);
  return 0;
}

// The iterator of PathItems: its upvalues are the path's id and the index
// of the next item. The path is looked up on every call, so a loop body
// that frees, clears or changes the path ends the loop or goes on with
// what the path holds now, never with freed memory.
int iteratePathItems(VmState* L) {
  VmPushValue(L, VmUpvalueIndexOf(1));
  ObjectId id{};
  if (VmType(L, -1) == VM_TYPE_LIGHTUSERDATA)
    id.autoId = VmToUserdata(L, -1);
  else
    id.number = VmTruncInt32(VmToNumber(L, -1));
  VmSetTop(L, -2);
  double index = VmToNumber(L, VmUpvalueIndexOf(2));
  VectorPath* path = nullptr;
  if (FindPathById(id, &path) || !path->items) return 0;
  // Walk to the item: the buffer may have changed since the last call.
  size_t at = 0;
  for (double i = 0; i < index; ++i) {
    if (at >= path->length) return 0;
    size_t n = PathItemSize(path->items + at);
    if (!n) return 0;
    at += n;
  }
  if (at >= path->length) return 0;
  const uint8_t* p = path->items + at;
  VmPushNumber(L, index + 1);
  VmReplace(L, VmUpvalueIndexOf(2));

  int32_t kind;
  std::memcpy(&kind, p, 4);
  p += 4;
  auto readDouble = [&p] {
    double v;
    std::memcpy(&v, p, 8);
    p += 8;
    return v;
  };
  auto readInt = [&p] {
    int32_t v;
    std::memcpy(&v, p, 4);
    p += 4;
    return v;
  };
  VmNewTable(L);
  switch (kind) {
    case PATHITEM_MOVETO:
    case PATHITEM_LINETO:
      SetTableFieldString(L, "type", kind == PATHITEM_MOVETO ? "MoveTo" : "LineTo");
      SetTableFieldInt(L, "rel", readInt());
      SetTableFieldNumber(L, "x", readDouble());
      SetTableFieldNumber(L, "y", readDouble());
      break;
    case PATHITEM_CURVETO: {
      SetTableFieldString(L, "type", "CurveTo");
      SetTableFieldInt(L, "rel", readInt());
      const char* names[6] = {"x1", "y1", "x2", "y2", "x3", "y3"};
      for (const char* n : names) SetTableFieldNumber(L, n, readDouble());
      break;
    }
    case PATHITEM_NEWSUBPATH:
      SetTableFieldString(L, "type", "NewSubPath");
      break;
    case PATHITEM_CLOSEPATH:
      SetTableFieldString(L, "type", "ClosePath");
      break;
    case PATHITEM_ARC: {
      SetTableFieldString(L, "type", "Arc");
      const char* names[6] = {"xc", "yc", "ra", "rb", "start", "end"};
      for (const char* n : names) SetTableFieldNumber(L, n, readDouble());
      SetTableFieldInt(L, "clockwise", readInt());
      break;
    }
    case PATHITEM_BOX: {
      SetTableFieldString(L, "type", "Box");
      const char* names[4] = {"x", "y", "width", "height"};
      for (const char* n : names) SetTableFieldNumber(L, n, readDouble());
      VmPushString(L, "round");
      VmNewTable(L);
      for (int i = 0; i < 4; ++i) {
        VmPushNumber(L, readInt());
        VmRawSetI(L, -2, i);
      }
      VmRawSet(L, -3);
      break;
    }
    case PATHITEM_TEXT:
      SetTableFieldString(L, "type", "Text");
      p += sizeof(void*);
      SetTableFieldInt(L, "size", readInt());
      SetTableFieldString(L, "text", reinterpret_cast<const char*>(p));
      break;
    default:
      VmSetTop(L, -2);
      return 0;
  }
  return 1;
}

// PathItems(id): an iterator over the items.
int cmdPathItems(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 1, &path)) return e;
  VmPushValue(L, 1);
  VmPushNumber(L, 0);
  VmPushCClosure(L, iteratePathItems, 2);
  return 1;
}

int setStyleInt(VmState* L, int32_t* field) {
  CheckArgCount(L, 1, 1, 0, 0);
  *field = VmTruncInt32(VmCheckNumber(L, 1));
  return 0;
}
int getStyleValue(VmState* L, double value) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, value);
  return 1;
}
int cmdSetLineJoin(VmState* L) { return setStyleInt(L, &paths.line.join); }
int cmdSetLineCap(VmState* L) { return setStyleInt(L, &paths.line.cap); }
int cmdSetFillRule(VmState* L) { return setStyleInt(L, &paths.line.fillRule); }
int cmdForcePathUse(VmState* L) { return setStyleInt(L, &paths.forcePathUse); }
int cmdGetLineJoin(VmState* L) { return getStyleValue(L, paths.line.join); }
int cmdGetLineCap(VmState* L) { return getStyleValue(L, paths.line.cap); }
int cmdGetFillRule(VmState* L) { return getStyleValue(L, paths.line.fillRule); }
int cmdGetMiterLimit(VmState* L) { return getStyleValue(L, paths.line.miterLimit); }
int cmdSetMiterLimit(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  paths.line.miterLimit = VmCheckNumber(L, 1);
  return 0;
}

// SetDash(offset, length1, ...): a second argument below 0 clears the
// pattern.
int cmdSetDash(VmState* L) {
  CheckArgCount(L, 1, 0, 0, 0);
  int n = VmGetTop(L);
  double offset = VmCheckNumber(L, 1);
  std::vector<double> lengths;
  for (int i = 2; i <= n; ++i) lengths.push_back(VmCheckNumber(L, i));
  FreeMemory(paths.line.dashes);
  paths.line.dashes = nullptr;
  paths.line.dashCount = 0;
  paths.line.dashOffset = 0;
  if (lengths.empty() || lengths[0] < 0) return 0;
  auto* dashes = static_cast<double*>(AllocMemoryArray(lengths.size(), sizeof(double), 0));
  if (!dashes) return ERR_MEM;
  std::copy(lengths.begin(), lengths.end(), dashes);
  paths.line.dashes = dashes;
  paths.line.dashCount = static_cast<int32_t>(lengths.size());
  paths.line.dashOffset = offset;
  return 0;
}

int cmdGetDash(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  if (!paths.line.dashCount) {
    VmPushNumber(L, -1);
    return 1;
  }
  VmPushNumber(L, paths.line.dashOffset);
  VmNewTable(L);
  for (int32_t i = 0; i < paths.line.dashCount; ++i) {
    VmPushNumber(L, paths.line.dashes[i]);
    VmRawSetI(L, -2, i);
  }
  return 2;
}

bool endsWithNoCase(const char* s, const char* tail) {
  size_t n = std::strlen(s), m = std::strlen(tail);
  return n >= m && CompareNoCase(s + n - m, tail) == 0;
}

// SetVectorEngine(name): "default" is the built-in engine; any other name
// is the file name of a loaded plug-in with the vector capability.
int cmdSetVectorEngine(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return FindVectorEngine(VmCheckString(L, 1, nullptr), &paths.engine);
}

int readPathAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(paths.paths));
    return 1;
  }
  VectorPath* path;
  if (ErrorCode e = pathArg(L, 2, &path)) return e;
  return ERR_UNKNOWNATTR;
}

const CommandTableEntry PATH_COMMANDS[] = {
    {"StartPath", cmdStartPath},
    {"MoveTo", cmdMoveTo},
    {"LineTo", cmdLineTo},
    {"RelMoveTo", cmdRelMoveTo},
    {"RelLineTo", cmdRelLineTo},
    {"CurveTo", cmdCurveTo},
    {"RelCurveTo", cmdRelCurveTo},
    {"StartSubPath", cmdStartSubPath},
    {"ClosePath", cmdClosePath},
    {"AddArcToPath", cmdAddArcToPath},
    {"AddCircleToPath", cmdAddCircleToPath},
    {"AddEllipseToPath", cmdAddEllipseToPath},
    {"AddBoxToPath", cmdAddBoxToPath},
    {"AddTextToPath", cmdAddTextToPath},
    {"AppendPath", cmdAppendPath},
    {"CopyPath", cmdCopyPath},
    {"ClearPath", cmdClearPath},
    {"FreePath", cmdFreePath},
    {"IsPathEmpty", cmdIsPathEmpty},
    {"GetPathExtents", cmdGetPathExtents},
    {"GetCurrentPoint", cmdGetCurrentPoint},
    {"TranslatePath", cmdTranslatePath},
    {"NormalizePath", cmdNormalizePath},
    {"PathItems", cmdPathItems},
    {"DrawPath", CmdDrawPath},
    {"PathToBrush", CmdPathToBrush},
    {"SetLineJoin", cmdSetLineJoin},
    {"SetLineCap", cmdSetLineCap},
    {"SetFillRule", cmdSetFillRule},
    {"GetLineJoin", cmdGetLineJoin},
    {"GetLineCap", cmdGetLineCap},
    {"GetFillRule", cmdGetFillRule},
    {"SetMiterLimit", cmdSetMiterLimit},
    {"GetMiterLimit", cmdGetMiterLimit},
    {"SetDash", cmdSetDash},
    {"GetDash", cmdGetDash},
    {"ForcePathUse", cmdForcePathUse},
    {"SetVectorEngine", cmdSetVectorEngine},
    {nullptr, nullptr},
};

const ConstantTableEntry PATH_CONSTANTS[] = {
    {"JOINMITER", nullptr, JOINMITER},
    {"JOINROUND", nullptr, JOINROUND},
    {"JOINBEVEL", nullptr, JOINBEVEL},
    {"CAPBUTT", nullptr, CAPBUTT},
    {"CAPROUND", nullptr, CAPROUND},
    {"CAPSQUARE", nullptr, CAPSQUARE},
    {"FILLRULEWINDING", nullptr, FILLRULEWINDING},
    {"FILLRULEEVENODD", nullptr, FILLRULEEVENODD},
    {nullptr, nullptr, 0},
};

}  // namespace

// ---- Engine calls ----

namespace {

// The request of an engine (the built-in one's or a plug-in's) for the
// geometry in the style: the items, fill or stroke, line width and matrix.
template <typename Request, typename Style>
Request pathRequest(const PathGeometry& g, const Style* style) {
  Request r{};
  r.items = g.items;
  r.style = style;
  r.fill = g.fill;
  r.lineWidth = g.lineWidth;
  r.matrix = g.matrix ? g.matrix : IDENTITY;
  return r;
}

// The extents an engine measured, as left, top, right, bottom; 1.
template <typename Request>
int takeExtents(const Request& r, double box[4]) {
  box[0] = r.x1, box[1] = r.y1, box[2] = r.x2, box[3] = r.y2;
  return 1;
}

}  // namespace

int EngineGetExtents(PluginBase* engine, const PathGeometry& g, double box[4]) {
  box[0] = box[1] = box[2] = box[3] = 0;
  if (bridged(engine) || !g.items) return 0;
  QmVectorLineStyle style = plainStyle(g);
  if (!engine) {
    VectorLineStyle s = builtinStyle(style);
    auto r = pathRequest<VectorPathRequest>(g, &s);
    return GetVectorPathExtents(&r) ? takeExtents(r, box) : 0;
  }
  auto f = entry<QmGetPathExtentsFunc>(engine, "GetPathExtents");
  if (!f) return 0;
  auto r = pathRequest<QmPathExtentsRequest>(g, &style);
  return f(&r) ? takeExtents(r, box) : 0;
}

int EngineDrawPath(PluginBase* engine, const PathGeometry& g, int32_t x, int32_t y, uint8_t* target,
                   int32_t bytesPerRow, int32_t width, int32_t height) {
  if (bridged(engine) || !g.items) return 0;
  QmVectorLineStyle style = plainStyle(g);
  if (!engine) {
    VectorLineStyle s = builtinStyle(style);
    auto r = pathRequest<VectorPathRequest>(g, &s);
    r.target = target;
    r.bytesPerRow = bytesPerRow;
    r.width = width;
    r.height = height;
    r.shiftX = x;
    r.shiftY = y;
    return DrawVectorPath(&r);
  }
  auto f = entry<QmDrawPathFunc>(engine, "DrawPath");
  if (!f) return 0;
  auto r = pathRequest<QmDrawPathRequest>(g, &style);
  r.target = target;
  r.bytesPerRow = bytesPerRow;
  r.width = width;
  r.height = height;
  r.x = x;
  r.y = y;
  return f(&r);
}

int EngineDrawPathSpans(PluginBase* engine, const PathGeometry& g, int32_t x, int32_t y,
                        int32_t width, int32_t height, VectorSpanFunction span, void* user) {
  // A span's column is 16 bits: wider images take the coverage route.
  if (engine || !g.items || !g.antialias || width > INT16_MAX) return -1;
  VectorLineStyle s = builtinStyle(plainStyle(g));
  auto r = pathRequest<VectorPathRequest>(g, &s);
  r.width = width;
  r.height = height;
  r.shiftX = x;
  r.shiftY = y;
  return DrawVectorPathSpans(&r, span, user);
}

void EngineTranslatePath(PluginBase* engine, uint8_t* items, double dx, double dy) {
  if (bridged(engine) || !items) return;
  if (!engine) {
    TranslateVectorPath(items, dx, dy);
    return;
  }
  if (auto f = entry<QmTranslatePathFunc>(engine, "TranslatePath")) f(items, dx, dy);
}

int EngineCurrentPoint(PluginBase* engine, const PathGeometry& g, double* x, double* y) {
  *x = *y = 0;
  if (bridged(engine) || !g.items) return 0;
  QmVectorLineStyle style = plainStyle(g);
  if (!engine) {
    VectorLineStyle s = builtinStyle(style);
    VectorPathRequest r{};
    r.items = g.items;
    r.style = &s;
    r.fill = 1;
    r.matrix = IDENTITY;
    return GetVectorCurrentPoint(&r, x, y);
  }
  auto f = entry<QmGetCurrentPointFunc>(engine, "GetCurrentPoint");
  if (!f) return 0;
  QmPathPointRequest r{};
  r.items = g.items;
  r.style = &style;
  if (!f(&r)) return 0;
  *x = r.x;
  *y = r.y;
  return 1;
}

ErrorCode ResolvePathTextHandles(PluginBase* engine, uint8_t* items) {
  if (!items) return ERR_NONE;
  for (uint8_t* p = items;;) {
    size_t n = PathItemSize(p);
    if (!n) return ERR_NONE;
    int32_t kind;
    std::memcpy(&kind, p, 4);
    if (kind == PATHITEM_TEXT) {
      void* handle;
      std::memcpy(&handle, p + 4, sizeof handle);
      const FontHandle* known = nullptr;
      for (const FontHandle& h : paths.fontHandles)
        if (h.handle == handle) known = &h;
      // A font closed since the item was made has no handles left.
      if (!known) return ERR_VFONT;
      if (known->engine != engine) {
        void* face = nullptr;
        for (const FontHandle& h : paths.fontHandles)
          if (h.font == known->font && !h.engine) face = h.handle;
        void* font = known->font;
        if (!face) return ERR_VFONT;
        void* made = fontVectorHandle(font, face, engine);
        if (!made) return ERR_VFONT;
        std::memcpy(p + 4, &made, sizeof made);
      }
    }
    p += n;
  }
}

// ---- Objects ----

size_t PathItemSize(const uint8_t* p) {
  int32_t kind;
  std::memcpy(&kind, p, 4);
  switch (kind) {
    case PATHITEM_MOVETO:
    case PATHITEM_LINETO:
      return 4 + 4 + 16;
    case PATHITEM_CURVETO:
      return 4 + 4 + 48;
    case PATHITEM_NEWSUBPATH:
    case PATHITEM_CLOSEPATH:
      return 4;
    case PATHITEM_ARC:
      return 4 + 48 + 4;
    case PATHITEM_BOX:
      return 4 + 32 + 16;
    case PATHITEM_TEXT: {
      size_t n = std::strlen(reinterpret_cast<const char*>(p + 4 + sizeof(void*) + 4)) + 1;
      return 4 + sizeof(void*) + 4 + ((n + 3) & ~size_t{3});
    }
    default:
      return 0;
  }
}

ErrorCode FindVectorEngine(const char* name, PluginBase** out) {
  if (CompareNoCase(name, "default") == 0) {
    *out = nullptr;
    return ERR_NONE;
  }
  std::string file = name;
  if (!endsWithNoCase(name, ".qmp")) file += ".qmp";
  for (const PluginEntry* e = GetPluginList(); e; e = e->next) {
    if (!e->handle || !(e->capabilities & PLUGINCAPS_VECTOR)) continue;
    const char* slash = std::strrchr(e->path, '/');
    const char* base = slash ? slash + 1 : e->path;
    std::string module = std::string(e->moduleName) + ".qmp";
    if (CompareNoCase(base, file.c_str()) == 0 ||
        CompareNoCase(module.c_str(), file.c_str()) == 0) {
      *out = GetPluginBase(e->handle);
      return ERR_NONE;
    }
  }
  SetErrorArgString(file.c_str());
  return ERR_FINDPLUGIN;
}

ErrorCode FindPathById(ObjectId id, VectorPath** out) {
  *out = nullptr;
  for (VectorPath* p = firstPath(); p; p = nextPath(p))
    if (sameId(p, id)) {
      *out = p;
      return ERR_NONE;
    }
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDPATH;
}

ErrorCode NewTemporaryPath(VectorPath** out) {
  ObjectId id{};
  return newPath(&id, 1, out);
}

ErrorCode AppendPathBytes(VectorPath* path, const uint8_t* bytes, size_t length) {
  if (ErrorCode e = reserve(path, length)) return e;
  std::memcpy(path->items + path->length, bytes, length);
  path->length += length;
  std::memset(path->items + path->length, 0, 4);
  return ERR_NONE;
}

void FreePathObject(VmState* L, VectorPath* path) {
  unlinkPath(path);
  FreeMemory(path->items);
  freeSnapshot(path->style);
  if (path->head.data) FreeObjectDataList(L, &path->head.data);
  FreeMemory(path);
}

ErrorCode CopyPathLineStyle(const PathLineStyle& from, PathLineStyle* to) {
  *to = from;
  to->dashes = nullptr;
  if (from.dashCount > 0 && from.dashes) {
    to->dashes = static_cast<double*>(
        AllocMemoryArray(static_cast<size_t>(from.dashCount), sizeof(double), 0));
    if (!to->dashes) {
      to->dashCount = 0;
      return ERR_MEM;
    }
    std::copy(from.dashes, from.dashes + from.dashCount, to->dashes);
  }
  return ERR_NONE;
}

void FreePathLineStyle(PathLineStyle* style) {
  FreeMemory(style->dashes);
  style->dashes = nullptr;
  style->dashCount = 0;
}

PluginBase* CurrentVectorEngine() { return paths.engine; }
const PathLineStyle* CurrentPathLineStyle() { return &paths.line; }
int PathUseForced() { return paths.open && paths.forcePathUse; }

void SetPathFontHooks(const PathFontHooks* hooks) { paths.fontHooks = hooks; }

void ReleaseFontVectorHandles(void* font) {
  auto& list = paths.fontHandles;
  for (auto it = list.begin(); it != list.end();) {
    if (it->font == font) {
      releaseHandle(*it);
      it = list.erase(it);
    } else {
      ++it;
    }
  }
}

ErrorCode OpenVectorGraphicsLibrary(VmState* L) {
  if (ErrorCode e = RegisterLibrary(PATH_COMMANDS, "vectorgraphics")) return e;
  VmRegisterFunctions(L, nullptr, PATH_COMMANDS, 0);
  VmRegisterConstants(L, PATH_CONSTANTS, 0);
  if (ErrorCode e = RegisterObjectList(&paths.paths)) return e;
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_VECTORPATH, readPathAttribute)) return e;
  RegisterPathLayerKind();
  paths.open = 1;
  return ERR_NONE;
}

void FreeAllPaths(VmState* L) {
  while (VectorPath* p = firstPath()) FreePathObject(L, p);
  FreePathLineStyle(&paths.line);
  freeAllFontHandles();
  FreePathDrawScratch();
  const PathFontHooks* hooks = paths.fontHooks;
  paths = PathContext{};
  // The text library's hooks outlive the paths: it installs them once when
  // it opens, before this library.
  paths.fontHooks = hooks;
}
