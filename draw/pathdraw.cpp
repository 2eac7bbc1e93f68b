// Path drawing: a path with its styles becomes an image (shadow, edge and
// body coverage from the vector engine, coloured by the drawing style and
// composed like the shapes') that goes into the output, into a new path
// layer, or back to the layer system when a path layer is drawn again
// through a transform; and the path-list renderer behind vector brushes.
//
// Invariant: every size that reaches an allocation is computed in 64 bits
// and checked (ERR_BITMAP beyond it); a path layer keeps its own copies of
// the items and the dash pattern, so the path may change or go.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "draw/draw_private.h"
#include "draw/shape_private.h"
#include "draw/shapelayer_private.h"
#include "draw/vector_private.h"
#include "engine/optiontable.h"
#include "plugins/plugins.h"

namespace {

const double IDENTITY[4] = {1, 0, 0, 1};

// The largest coordinate an image box may reach: far beyond any image that
// can be allocated, yet safe to convert.
constexpr double MAX_EXTENT = 1.0e9;

struct Box {
  double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
};

// An image of a path: ARGB pixels and where its top-left lies in the
// (transformed) path space, in whole pixels.
struct PathImage {
  std::vector<uint32_t> pixels;
  int32_t width = 0, height = 0;
  int64_t originX = 0, originY = 0;
  // The transformed reference point the caller positions by.
  double anchorX = 0, anchorY = 0;
  // Where the pixels lie in the whole image when only the part the output
  // shows was rendered (0, 0 for a whole image).
  int64_t windowX = 0, windowY = 0;
  // When asked for: the coverage of a path in one plain colour, instead
  // of the pixels.
  bool plain = false;
  const Coverage* coverage = nullptr;
  uint32_t color = 0;
  // A plain image whose coverage is not rendered yet: the body outline,
  // where its box corner lies in the image, and the record it draws.
  bool deferred = false;
  PathGeometry body{};
  int64_t bodyX = 0, bodyY = 0;
  const PathDrawRecord* record = nullptr;
};

// The body coverage of plain paths drawn straight into the output, kept
// between draws so that a large path does not map fresh pages each time.
Coverage plainScratch;

PathGeometry geometry(const PathDrawRecord* r, bool fill, int32_t lineWidth, const double* m) {
  PathGeometry g{};
  g.items = r->items;
  g.line = &r->line;
  g.antialias = (r->draw.formFlags & FORM_ANTIALIAS) ? 1 : 0;
  g.fill = fill ? 1 : 0;
  g.lineWidth = lineWidth;
  g.matrix = m;
  return g;
}

bool extents(const PathDrawRecord* r, const PathGeometry& g, Box* out) {
  double b[4];
  if (!EngineGetExtents(r->engine, g, b)) return false;
  for (double v : b)
    if (!std::isfinite(v) || std::fabs(v) > MAX_EXTENT) return false;
  *out = Box{b[0], b[1], b[2], b[3]};
  return true;
}

int64_t boxSize(double lo, double hi) { return static_cast<int64_t>(hi - lo + 0.5); }

// Renders g's outline into the coverage with its box's whole-pixel corner
// at ox, oy: for the built-in engine anywhere (what falls outside is cut
// off), for another engine inside the coverage only.
bool renderInto(const PathDrawRecord* r, const PathGeometry& g, Coverage* c, int64_t ox,
                int64_t oy) {
  if (!r->engine) {
    if (ox >= c->width || oy >= c->height || ox < INT32_MIN || oy < INT32_MIN) return true;
    return EngineDrawPath(nullptr, g, static_cast<int32_t>(ox), static_cast<int32_t>(oy),
                          c->bytes.data(), c->stride, c->width, c->height) != 0;
  }
  if (ox < 0 || oy < 0 || ox >= c->width || oy >= c->height) return true;
  return EngineDrawPath(
             r->engine, g, static_cast<int32_t>(ox), static_cast<int32_t>(oy),
             c->bytes.data() + static_cast<size_t>(oy) * c->stride + static_cast<size_t>(ox),
             c->stride, c->width - static_cast<int32_t>(ox),
             c->height - static_cast<int32_t>(oy)) != 0;
}

// The top-left of the image's pixels when its anchor point lies at x, y.
void placeImage(const PathImage& image, int32_t x, int32_t y, int64_t* tx, int64_t* ty) {
  *tx = x + std::llround(static_cast<double>(image.originX) - image.anchorX) + image.windowX;
  *ty = y + std::llround(static_cast<double>(image.originY) - image.anchorY) + image.windowY;
}

// Where an image goes on the output when only the part the output shows
// is to be rendered: the point its anchor goes to, and the object style
// that draws it.
struct PathPlacement {
  int32_t x, y;
  const ObjectStyle* style;
};

// The image of the record through the matrix. With effects the edge and
// the shadow are drawn into it (the shadow growing it by its size on the
// direction's axes); a path that is not filled has neither.
ErrorCode renderPathImage(VmState* L, const PathDrawRecord* r, const double m[4], bool effects,
                          double anchorFractionX, double anchorFractionY, PathImage* out,
                          const Box* knownFillBox = nullptr, bool coverageWanted = false,
                          const PathPlacement* placement = nullptr) {
  const DrawStyle& s = r->draw;
  const bool filled = s.fillStyle != FILLNONE;
  const bool edge = effects && filled && (s.formFlags & FORM_EDGE) && s.borderSize > 0;
  const bool shadow = effects && filled && (s.formFlags & FORM_SHADOW) && s.shadowSize > 0;
  PathGeometry body = geometry(r, filled, filled ? 1 : s.lineWidth, m);
  PathGeometry outline = geometry(r, false, 2 * s.borderSize, m);
  Box bodyBox, edgeBox, fillBox;
  const bool identity = m[0] == 1 && m[1] == 0 && m[2] == 0 && m[3] == 1;
  if (knownFillBox && filled && identity)
    bodyBox = *knownFillBox;
  else if (!extents(r, body, &bodyBox))
    return ERR_EMPTYPATH;
  if (edge && !extents(r, outline, &edgeBox)) return ERR_EMPTYPATH;
  // Positions refer to the filled outline before the transform.
  if (knownFillBox)
    fillBox = *knownFillBox;
  else if (filled && identity)
    fillBox = bodyBox;
  else if (!extents(r, geometry(r, true, 1, IDENTITY), &fillBox))
    return ERR_EMPTYPATH;
  Box all = bodyBox;
  if (edge) {
    all.x1 = std::min(all.x1, edgeBox.x1);
    all.y1 = std::min(all.y1, edgeBox.y1);
    all.x2 = std::max(all.x2, edgeBox.x2);
    all.y2 = std::max(all.y2, edgeBox.y2);
  }
  int64_t baseW = boxSize(all.x1, all.x2), baseH = boxSize(all.y1, all.y2);
  if (baseW < 1 || baseH < 1) return ERR_EMPTYPATH;
  int32_t sx = 0, sy = 0, bx = 0, by = 0, grownW = 0, grownH = 0;
  if (shadow) {
    SplitShadowOffset(s.shadowSize, s.shadowDirection, &sx, &sy, &bx, &by);
    GrowByDirection(s.shadowSize, s.shadowDirection, &grownW, &grownH);
  }
  if (ErrorCode e = CheckShapeImageSize(baseW + grownW, baseH + grownH)) return e;
  const int32_t W = static_cast<int32_t>(baseW + grownW), H = static_cast<int32_t>(baseH + grownH);
  const double allX = std::floor(all.x1), allY = std::floor(all.y1);

  // The anchor point on the untransformed filled outline, transformed.
  const double ax = std::floor(fillBox.x1) + anchorFractionX * boxSize(fillBox.x1, fillBox.x2);
  const double ay = std::floor(fillBox.y1) + anchorFractionY * boxSize(fillBox.y1, fillBox.y2);
  out->anchorX = m[0] * ax + m[2] * ay;
  out->anchorY = m[1] * ax + m[3] * ay;
  out->width = W;
  out->height = H;
  out->originX = static_cast<int64_t>(allX) - bx;
  out->originY = static_cast<int64_t>(allY) - by;
  // Only the part the output shows, when the built-in engine draws for it:
  // every offset below counts from that part's top-left.
  ShapeWindow win{0, 0, W, H};
  if (placement && !r->engine) {
    int64_t tx, ty;
    placeImage(*out, placement->x, placement->y, &tx, &ty);
    win = VisibleShapeWindow(*placement->style, tx, ty, W, H);
    out->windowX = win.x;
    out->windowY = win.y;
    out->width = win.width;
    out->height = win.height;
    if (win.Empty()) {
      DrawStyle fillStyle = s;
      if (!filled) fillStyle.fillStyle = FILLCOLOR;
      return CheckShapeFillSource(L, &fillStyle);
    }
  }
  const int32_t CW = win.width, CH = win.height;
  const int64_t bodyX = bx + static_cast<int64_t>(std::floor(bodyBox.x1) - allX) - win.x;
  const int64_t bodyY = by + static_cast<int64_t>(std::floor(bodyBox.y1) - allY) - win.y;
  const int64_t edgeX = bx + static_cast<int64_t>(std::floor(edgeBox.x1) - allX) - win.x;
  const int64_t edgeY = by + static_cast<int64_t>(std::floor(edgeBox.y1) - allY) - win.y;
  if (coverageWanted && !edge && !shadow && (filled ? s.fillStyle : FILLCOLOR) == FILLCOLOR) {
    // One plain colour: the caller renders the coverage where it goes.
    out->plain = out->deferred = true;
    out->color = r->color & 0xFFFFFF;
    out->body = body;
    out->bodyX = bodyX;
    out->bodyY = bodyY;
    out->record = r;
    return ERR_NONE;
  }
  Coverage localBody, edgeCov, shadowCov;
  Coverage& bodyCov = localBody;
  if (!bodyCov.Make(CW, CH)) return ERR_MEM;
  if (!renderInto(r, body, &bodyCov, bodyX, bodyY)) return ERR_EMPTYPATH;
  if (edge) {
    if (!edgeCov.Make(CW, CH)) return ERR_MEM;
    if (!renderInto(r, outline, &edgeCov, edgeX, edgeY)) return ERR_EMPTYPATH;
  }
  if (shadow) {
    // The shadow is the silhouette (edge included) moved by its offset:
    // body and edge drawn again there, the larger coverage kept.
    if (!shadowCov.Make(CW, CH)) return ERR_MEM;
    if (!renderInto(r, body, &shadowCov, bodyX - bx + sx, bodyY - by + sy)) return ERR_EMPTYPATH;
    if (edge) {
      Coverage moved;
      if (!moved.Make(CW, CH)) return ERR_MEM;
      if (!renderInto(r, outline, &moved, edgeX - bx + sx, edgeY - by + sy)) return ERR_EMPTYPATH;
      for (size_t i = 0; i < shadowCov.bytes.size(); ++i)
        shadowCov.bytes[i] = std::max(shadowCov.bytes[i], moved.bytes[i]);
    }
  }
  std::vector<uint32_t> source;
  DrawStyle fillStyle = s;
  if (!filled) fillStyle.fillStyle = FILLCOLOR;
  if (ErrorCode e = MakeShapeFillSource(L, &fillStyle, CW, CH, static_cast<int32_t>(bx - win.x),
                                        static_cast<int32_t>(by - win.y), W - bx, H - by, &source))
    return e;
  if (!edge && !shadow && source.empty()) {
    // One plain colour: the coverage is the alpha.
    const uint32_t color = r->color & 0xFFFFFF;
    AssignLarge(&out->pixels, static_cast<size_t>(CW) * static_cast<size_t>(CH));
    for (int32_t y = 0; y < CH; ++y) {
      const uint8_t* row = bodyCov.bytes.data() + static_cast<size_t>(y) * bodyCov.stride;
      uint32_t* dst = out->pixels.data() + static_cast<size_t>(y) * CW;
      for (int32_t x = 0; x < CW; ++x) dst[x] = row[x] ? (uint32_t{row[x]} << 24) | color : 0;
    }
  }
  ShapeImageLayer layers[3];
  int n = 0;
  if (shadow)
    layers[n++] = ShapeImageLayer{&shadowCov, s.shadowColor,
                                  255 - static_cast<int32_t>(s.shadowColor >> 24), nullptr};
  if (edge)
    layers[n++] = ShapeImageLayer{&edgeCov, s.borderColor,
                                  255 - static_cast<int32_t>(s.borderColor >> 24), nullptr};
  // The colour's top byte is not a transparency for paths.
  layers[n++] =
      ShapeImageLayer{&bodyCov, r->color & 0xFFFFFF, 255, source.empty() ? nullptr : &source};
  if (out->pixels.empty()) BlendShapeImages(&out->pixels, CW, CH, layers, n);
  return ERR_NONE;
}

// v / 255 rounded, for v up to 255 x 255.
inline uint32_t div255(uint32_t v) {
  v += 128;
  return (v + (v >> 8)) >> 8;
}

// Renders a deferred plain image's coverage into the shared scratch.
ErrorCode renderDeferred(PathImage* image) {
  if (!image->deferred) return ERR_NONE;
  if (!plainScratch.Make(image->width, image->height)) return ERR_MEM;
  if (!renderInto(image->record, image->body, &plainScratch, image->bodyX, image->bodyY))
    return ERR_EMPTYPATH;
  image->coverage = &plainScratch;
  image->deferred = false;
  return ERR_NONE;
}

// A colour laid over ARGB pixels at a coverage, their alpha kept.
struct PlainBlend {
  uint32_t c, cg;
  explicit PlainBlend(uint32_t color) : c(color), cg((color >> 8) & 0xFF) {}
  void Fill(uint32_t* p, int64_t n) const {
    for (int64_t k = 0; k < n; ++k) p[k] = (p[k] & 0xFF000000u) | c;
  }
  // Each channel (c a + p (255 - a)) / 255 rounded; red and blue share one
  // word, each in its own 16 bits (at most 255 x 255 + 128 fits).
  void Blend(uint32_t* p, uint32_t a) const {
    const uint32_t na = 255 - a, old = *p;
    uint32_t rb = (c & 0xFF00FFu) * a + (old & 0xFF00FFu) * na + 0x800080u;
    rb = ((rb + ((rb >> 8) & 0xFF00FFu)) >> 8) & 0xFF00FFu;
    const uint32_t g = div255(cg * a + ((old >> 8) & 0xFF) * na);
    *p = (old & 0xFF000000u) | rb | (g << 8);
  }
};

// Where the engine's coverage spans go: the locked brush, the place of the
// coverage's corner in it.
struct SpanTarget {
  const BitmapLock* lock;
  int64_t x, y;
  PlainBlend blend;
};

void blendSpans(void* user, int32_t y, const VectorSpan* spans, int32_t count) {
  const auto* t = static_cast<const SpanTarget*>(user);
  const int64_t dy = t->y + y;
  if (dy < 0 || dy >= t->lock->height) return;
  uint32_t* row = reinterpret_cast<uint32_t*>(t->lock->address) + dy * t->lock->rowLength;
  for (int32_t i = 0; i < count; ++i) {
    const VectorSpan& s = spans[i];
    if (!s.coverage) continue;
    const int64_t x0 = std::max<int64_t>(t->x + s.x, 0);
    const int64_t x1 = std::min<int64_t>(t->x + s.x + s.length, t->lock->width);
    if (x0 >= x1) continue;
    if (s.coverage == 255)
      t->blend.Fill(row + x0, x1 - x0);
    else
      for (int64_t k = x0; k < x1; ++k) t->blend.Blend(row + k, s.coverage);
  }
}

// Blends a plain image straight into a selected brush's pixels when
// nothing else is to be done on the way (no effects, an ARGB bitmap): the
// built-in engine hands its coverage over as spans, other engines' coverage
// is rendered and scanned. *drew false: declined, nothing done.
ErrorCode blendIntoBrush(PathImage* image, const ObjectStyle& os, int64_t tx, int64_t ty,
                         bool* drew) {
  *drew = false;
  DisplayRecord* d = GetOutputDisplay();
  if (!image->plain || d->outputKind != OBJECT_BRUSH || !d->drawBitmap || d->outputVideo ||
      os.effects || os.transparency)
    return ERR_NONE;
  BitmapLock lock{};
  if (!LockBitmap(d->drawBitmap, 0, &lock)) return ERR_NONE;
  if (lock.pixelFormat != PIXFMT_ARGB32 || lock.bytesPerPixel != 4) {
    UnlockBitmap(&lock);
    return ERR_NONE;
  }
  const PlainBlend blend(image->color);
  if (image->deferred) {
    const int64_t bx = image->bodyX, by = image->bodyY;
    int spans = 1;
    if (bx < image->width && by < image->height && bx >= INT32_MIN && by >= INT32_MIN) {
      SpanTarget target{&lock, tx, ty, blend};
      spans = EngineDrawPathSpans(image->record->engine, image->body, static_cast<int32_t>(bx),
                                  static_cast<int32_t>(by), image->width, image->height, blendSpans,
                                  &target);
    }
    if (spans >= 0) {
      UnlockBitmap(&lock);
      *drew = spans == 1;
      return spans == 1 ? ERR_NONE : ERR_EMPTYPATH;
    }
    if (ErrorCode e = renderDeferred(image)) {
      UnlockBitmap(&lock);
      return e;
    }
  }
  for (int32_t y = 0; y < image->height; ++y) {
    int64_t dy = ty + y;
    if (dy < 0 || dy >= lock.height) continue;
    const uint8_t* cov =
        image->coverage->bytes.data() + static_cast<size_t>(y) * image->coverage->stride;
    auto* row = reinterpret_cast<uint32_t*>(lock.address) + dy * lock.rowLength;
    const int64_t x0 = std::max<int64_t>(0, -tx);
    const int64_t x1 = std::min<int64_t>(image->width, lock.width - tx);
    int64_t x = x0;
    while (x < x1) {
      // Most of a large path is runs of empty or full pixels: empty ones
      // are passed eight at a time, full ones filled in one tight loop.
      uint64_t run;
      while (x + 8 <= x1) {
        std::memcpy(&run, cov + x, 8);
        if (run) break;
        x += 8;
      }
      if (x >= x1) break;
      const uint32_t a = cov[x];
      if (a == 255) {
        int64_t end = x + 1;
        while (end + 8 <= x1) {
          std::memcpy(&run, cov + end, 8);
          if (run != ~uint64_t{0}) break;
          end += 8;
        }
        while (end < x1 && cov[end] == 255) ++end;
        blend.Fill(row + tx + x, end - x);
        x = end;
        continue;
      }
      if (a) blend.Blend(row + tx + x, a);
      ++x;
    }
  }
  UnlockBitmap(&lock);
  *drew = true;
  return ERR_NONE;
}

// The pixels of a plain image.
void plainPixels(PathImage* image) {
  AssignLarge(&image->pixels,
              static_cast<size_t>(image->width) * static_cast<size_t>(image->height));
  for (int32_t y = 0; y < image->height; ++y) {
    const uint8_t* row =
        image->coverage->bytes.data() + static_cast<size_t>(y) * image->coverage->stride;
    uint32_t* dst = image->pixels.data() + static_cast<size_t>(y) * image->width;
    for (int32_t x = 0; x < image->width; ++x)
      dst[x] = row[x] ? (uint32_t{row[x]} << 24) | image->color : 0;
  }
}

ErrorCode makeBitmaps(const PathImage& image, BitmapHandle** bitmap, BitmapHandle** alpha) {
  BitmapHandle* mask = nullptr;
  if (ErrorCode e = CreateBitmapFromRGB(image.pixels.data(), -1, image.width, image.height,
                                        image.width, 0, 8, nullptr, bitmap, &mask, alpha))
    return e;
  FreeBitMask(mask);
  return ERR_NONE;
}

// ---- Path records and layers ----

void freeRecord(PathDrawRecord* r) {
  if (!r) return;
  FreeMemory(r->items);
  FreePathLineStyle(&r->line);
  FreeMemory(r);
}

// A copy with its own items and dash pattern; null when out of memory.
PathDrawRecord* copyRecord(const PathDrawRecord* from, size_t itemBytes) {
  auto* r = static_cast<PathDrawRecord*>(AllocMemory(sizeof(PathDrawRecord), 1));
  if (!r) return nullptr;
  *r = *from;
  r->items = nullptr;
  r->line.dashes = nullptr;
  r->line.dashCount = 0;
  r->items = static_cast<uint8_t*>(AllocMemory(itemBytes, 0));
  if (!r->items || CopyPathLineStyle(from->line, &r->line)) {
    freeRecord(r);
    return nullptr;
  }
  std::memcpy(r->items, from->items, itemBytes);
  r->capacity = itemBytes;
  return r;
}

// The bytes of the items with their ending 0.
size_t itemBytes(const uint8_t* items) {
  size_t at = 0;
  while (size_t n = PathItemSize(items + at)) at += n;
  return at + 4;
}

// What a path layer keeps: the record and the size of its untransformed
// image, whose top-left its position refers to.
ErrorCode copyLayerState(const LayerImageState* from, LayerImageState* to) {
  const auto* r = static_cast<const PathDrawRecord*>(from->kindData);
  PathDrawRecord* copy = copyRecord(r, r->capacity);
  if (!copy) return ERR_MEM;
  to->kindData = copy;
  return ERR_NONE;
}

void freeLayerState(VmState*, LayerImageState* state) {
  freeRecord(static_cast<PathDrawRecord*>(state->kindData));
  state->kindData = nullptr;
}

// Draws a path layer again through the transform (the display's scale
// already multiplied in by the layer system when it applies): the image is
// rendered from the outline, so it stays sharp at any scale.
ErrorCode renderLayer(VmState* L, qmLayer* layer, LayerImageState* state,
                      DisplayTransform transform, uint32_t) {
  auto* r = static_cast<PathDrawRecord*>(state->kindData);
  if (!r) return ERR_WRONGUSAGE;
  const double m[4] = {transform.m11, transform.m12, transform.m21, transform.m22};
  PathImage image;
  if (ErrorCode e = renderPathImage(L, r, m, false, 0, 0, &image)) return e;
  BitmapHandle *bitmap = nullptr, *alpha = nullptr;
  if (ErrorCode e = makeBitmaps(image, &bitmap, &alpha)) return e;
  // The untransformed image's top-left (path point requestedWidth and
  // requestedHeight keep the untransformed size) turned about the anchor.
  double ox = r->requestedX, oy = r->requestedY;  // untransformed image origin in path space
  double aw = layer->anchorX * state->requestedWidth, ah = layer->anchorY * state->requestedHeight;
  double px = ox + aw, py = oy + ah;
  double tx = m[0] * px + m[2] * py, ty = m[1] * px + m[3] * py;
  FreeBitmap(state->transformed.bitmap);
  FreeBitMask(state->transformed.mask);
  FreeAlphaChannel(state->transformed.alpha);
  state->transformed = LayerTriple{bitmap, nullptr, alpha};
  state->x =
      state->requestedX - VmTruncInt32(std::nearbyint(tx - static_cast<double>(image.originX)));
  state->y =
      state->requestedY - VmTruncInt32(std::nearbyint(ty - static_cast<double>(image.originY)));
  state->width = image.width;
  state->height = image.height;
  return ERR_NONE;
}

const LayerKind PATH_KIND{LAYER_VECTORPATH, renderLayer, nullptr, copyLayerState,
                          freeLayerState,   nullptr,     nullptr, nullptr};

// What a path layer is made of: the layer's image state holding a copy of
// the record, with the untransformed image's origin in path space and its
// size for drawing again, and the image's bitmap and alpha channel.
ErrorCode makeLayerParts(const PathDrawRecord* r, const PathImage& image, LayerImageState** state,
                         BitmapHandle** bitmap, BitmapHandle** alpha) {
  PathDrawRecord* copy = copyRecord(r, itemBytes(r->items));
  if (!copy) return ERR_MEM;
  copy->requestedX = static_cast<int32_t>(image.originX);
  copy->requestedY = static_cast<int32_t>(image.originY);
  copy->requestedWidth = image.width;
  copy->requestedHeight = image.height;
  LayerImageState* made = AllocLayerImageState();
  if (!made) {
    freeRecord(copy);
    return ERR_MEM;
  }
  made->kindData = copy;
  made->requestedWidth = image.width;
  made->requestedHeight = image.height;
  if (ErrorCode e = makeBitmaps(image, bitmap, alpha)) {
    FreeMemory(made);
    freeRecord(copy);
    return e;
  }
  *state = made;
  return ERR_NONE;
}

// Inserts a layer of the record (the effects already moved into the
// object style) showing its untransformed image.
ErrorCode addPathLayer(VmState* L, const PathDrawRecord* r, int32_t x, int32_t y,
                       const DisplayTransform* transform, const ObjectStyle* style) {
  PathImage image;
  if (ErrorCode e =
          renderPathImage(L, r, IDENTITY, false, transform->anchorX, transform->anchorY, &image))
    return e;
  int64_t tx, ty;
  placeImage(image, x, y, &tx, &ty);
  int64_t lx = tx + std::llround(transform->anchorX * image.width);
  int64_t ly = ty + std::llround(transform->anchorY * image.height);
  if (lx < INT32_MIN || lx > INT32_MAX || ly < INT32_MIN || ly > INT32_MAX) return ERR_BITMAP;
  LayerImageState* state = nullptr;
  BitmapHandle *bitmap = nullptr, *alpha = nullptr;
  if (ErrorCode e = makeLayerParts(r, image, &state, &bitmap, &alpha)) return e;
  qmLayer* layer = nullptr;
  if (ErrorCode e = NewLayer(L, LAYER_VECTORPATH, nullptr, static_cast<int32_t>(lx),
                             static_cast<int32_t>(ly), image.width, image.height, transform, style,
                             bitmap, nullptr, alpha, state, -1, 0, &layer))
    return e;
  // A plain layer put on top is left to its maker to show, where the
  // display shows it; during a layers selection of the shown picture the
  // area waits for the selection's end.
  bool plain = !layer->transparency && !layer->shadow.on && !layer->border.on;
  if (plain && !layer->hidden)
    RefreshRect(L, layer->display->x, layer->display->y, layer->display->width,
                layer->display->height);
  return ERR_NONE;
}

// Effects of a filled path drawn as a layer move into the layer's style.
void moveEffects(DrawStyle* s, ObjectStyle* os) {
  if (s->fillStyle == FILLNONE) return;
  if (s->formFlags & FORM_EDGE) {
    s->formFlags &= ~FORM_EDGE;
    os->border.on = 1;
    os->border.colour = s->borderColor;
    os->border.size = s->borderSize;
    os->effects = 1;
  }
  if (s->formFlags & FORM_SHADOW) {
    s->formFlags &= ~FORM_SHADOW;
    os->shadow.on = 1;
    os->shadow.colour = s->shadowColor;
    os->shadow.size = s->shadowSize;
    os->shadow.direction = s->shadowDirection;
    os->effects = 1;
  }
}

bool emptyItems(const uint8_t* items) {
  if (!items) return true;
  int32_t kind;
  std::memcpy(&kind, items, 4);
  return kind == PATHITEM_END;
}

// ---- Layer style fields ----

void setNumber(VmState* L, const char* name, double value) {
  VmPushString(L, name);
  VmPushNumber(L, value);
  VmSetTable(L, -3);
}

// The layer's place in the list, from 1 at the bottom.
int32_t listPosition(const qmLayer* layer) {
  int32_t position = 1;
  for (const Node* n = layer->node.pred; n && n->pred; n = n->pred) ++position;
  return position;
}

// "dashes": numbers in index order from 0 (or 1) up to the first nil; an
// empty list clears the pattern.
ErrorCode readDashes(VmState* L, int table, PathLineStyle* line, bool* given) {
  std::vector<double> dashes;
  bool present = false;
  if (ErrorCode e = ReadNumberList(L, table, "dashes", {ERR_WRONGUSAGE}, &dashes, &present))
    return e;
  if (!present) return ERR_NONE;
  double* copy = nullptr;
  if (!dashes.empty()) {
    copy = static_cast<double*>(AllocMemoryArray(dashes.size(), sizeof(double), 0));
    if (!copy) return ERR_MEM;
    std::copy(dashes.begin(), dashes.end(), copy);
  }
  FreeMemory(line->dashes);
  line->dashes = copy;
  line->dashCount = static_cast<int32_t>(dashes.size());
  if (!copy) line->dashOffset = 0;
  *given = true;
  return ERR_NONE;
}

// The path-layer fields of a style table: "id" (another path's items),
// "color", the form and fill fields, the line style and the engine. The
// work record is a copy of the layer's (or, for another kind of layer
// that becomes a path layer, one of the current styles, which then needs
// "id").
ErrorCode readPathStyle(VmState* L, int table, LayerStyleWork* w) {
  const qmLayer* layer = w->layer;
  const auto* own = layer->type == LAYER_VECTORPATH && layer->base
                        ? static_cast<const PathDrawRecord*>(layer->base->kindData)
                        : nullptr;
  VectorPath* path = nullptr;
  VmPushString(L, "id");
  VmGetTable(L, table);
  const bool idGiven = VmType(L, -1) != VM_TYPE_NIL;
  if (idGiven) w->id = GetObjectIdArg(L, VmGetTop(L), nullptr);
  VmSetTop(L, VmGetTop(L) - 1);
  if (idGiven) {
    if (ErrorCode e = FindPathById(w->id, &path)) return e;
    if (!path->length) return ERR_EMPTYPATH;
  } else if (!own) {
    return ERR_MISSINGPARAMTR;
  }
  PathDrawRecord* rec = nullptr;
  if (own) {
    PathDrawRecord base = *own;
    if (path) {
      base.items = path->items;
      base.capacity = path->length + 4;
    }
    rec = copyRecord(&base, base.capacity);
  } else {
    PathDrawRecord base{};
    FillPathDrawRecord(path, 0, &base);
    rec = copyRecord(&base, base.capacity);
  }
  if (!rec) return ERR_MEM;
  w->kindData = rec;
  bool content = w->typeChanged || idGiven;
  int found = 0;
  uint32_t colour = 0;
  if (GetTableFieldU32(L, table, "color", &colour, &found)) {
    rec->color = colour & 0xFFFFFF;
    content = true;
  }
  int32_t formContent = content ? 1 : 0;
  if (ErrorCode e = ReadFormFillFields(L, w, table, &rec->draw, &formContent, &w->styleChanged))
    return e;
  content = formContent != 0;
  int32_t* ints[3] = {&rec->line.join, &rec->line.cap, &rec->line.fillRule};
  const char* intNames[3] = {"linejoin", "linecap", "fillrule"};
  for (int i = 0; i < 3; ++i)
    if (GetTableFieldInt(L, table, intNames[i], ints[i], &found)) content = true;
  double* numbers[2] = {&rec->line.dashOffset, &rec->line.miterLimit};
  const char* numberNames[2] = {"dashoffset", "miterlimit"};
  for (int i = 0; i < 2; ++i)
    if (GetTableFieldNumber(L, table, numberNames[i], numbers[i], &found)) content = true;
  bool dashes = false;
  if (ErrorCode e = readDashes(L, table, &rec->line, &dashes)) return e;
  char engine[256];
  if (GetTableFieldString(L, table, "vectorengine", engine, sizeof engine, &found)) {
    if (ErrorCode e = FindVectorEngine(engine, &rec->engine)) return e;
    content = true;
  }
  ClampDrawStyle(&rec->draw);
  if (content || dashes) w->content = 1;
  return ERR_NONE;
}

void writePathStyle(VmState* L, qmLayer* layer) {
  const auto* rec = static_cast<const PathDrawRecord*>(layer->base->kindData);
  if (!rec) return;
  setNumber(L, "color", static_cast<double>(rec->color));
  SetFormFillFields(L, &rec->draw);
  setNumber(L, "linejoin", rec->line.join);
  setNumber(L, "linecap", rec->line.cap);
  setNumber(L, "fillrule", rec->line.fillRule);
  setNumber(L, "dashoffset", rec->line.dashOffset);
  setNumber(L, "miterlimit", rec->line.miterLimit);
  VmPushString(L, "dashes");
  VmNewTable(L);
  for (int32_t i = 0; i < rec->line.dashCount; ++i) {
    VmPushNumber(L, rec->line.dashes[i]);
    VmRawSetI(L, -2, i);
  }
  VmSetTable(L, -3);
}

// The path layer again from the work's record, its requested position at
// x, y, in the old layer's place.
ErrorCode remakePathLayer(VmState* L, qmLayer* layer, LayerStyleWork* w, int32_t x, int32_t y,
                          const DisplayTransform* transform, uint32_t flags, qmLayer** out) {
  const auto* r = static_cast<const PathDrawRecord*>(w->kindData);
  if (!r) return ERR_WRONGUSAGE;
  PathImage image;
  if (ErrorCode e =
          renderPathImage(L, r, IDENTITY, false, transform->anchorX, transform->anchorY, &image))
    return e;
  LayerImageState* state = nullptr;
  BitmapHandle *bitmap = nullptr, *alpha = nullptr;
  if (ErrorCode e = makeLayerParts(r, image, &state, &bitmap, &alpha)) return e;
  return NewLayer(L, LAYER_VECTORPATH, nullptr, x, y, image.width, image.height, transform, nullptr,
                  bitmap, nullptr, alpha, state, listPosition(layer), flags, out);
}

void freePathWork(LayerStyleWork* w) {
  freeRecord(static_cast<PathDrawRecord*>(w->kindData));
  w->kindData = nullptr;
}

const LayerStyleHooks PATH_STYLE{readPathStyle, writePathStyle, remakePathLayer, freePathWork};

// ---- Path lists (vector brushes) ----

struct SourceEntry {
  int32_t x, y;
  uint32_t color;
  PathDrawRecord* record;
};
struct SourceList {
  std::vector<SourceEntry> entries;
  VmState* L;
};

void freeSourceList(void* data) {
  auto* list = static_cast<SourceList*>(data);
  for (SourceEntry& e : list->entries) freeRecord(e.record);
  delete list;
}

// Whether a coordinate is one of the position constants (each covers the
// values from 4999 below to 4999 above it).
bool isPositionConstant(int32_t v) { return v >= POS_CENTER - 4999 && v < POS_BOTTOMOUT + 5000; }

// Renders every entry through the matrix and composes them, each over
// the ones before, into one ARGB image: the union of the entries, or the
// given size from the union's top-left. Entries placed by position
// constants are resolved against that size: the union of the entries
// placed by numbers (or the given size), at least as large as each of
// theirs.
ErrorCode renderSourceList(const SourceList& list, const double m[4], int32_t* width,
                           int32_t* height, std::vector<uint32_t>* out) {
  struct Placed {
    PathImage image;
    int64_t x, y;
    int32_t opacity;
    bool constantX, constantY;
  };
  std::vector<Placed> placed;
  for (const SourceEntry& e : list.entries) {
    Placed p;
    if (ErrorCode err = renderPathImage(list.L, e.record, m, true, 0, 0, &p.image)) return err;
    p.constantX = isPositionConstant(e.x);
    p.constantY = isPositionConstant(e.y);
    const double px = p.constantX ? 0 : e.x, py = p.constantY ? 0 : e.y;
    placeImage(p.image, 0, 0, &p.x, &p.y);
    p.x += std::llround(m[0] * px + m[2] * py);
    p.y += std::llround(m[1] * px + m[3] * py);
    p.opacity = 255 - static_cast<int32_t>(e.color >> 24);
    placed.push_back(std::move(p));
  }
  if (placed.empty()) return ERR_EMPTYTABLE;
  auto resolveAxis = [&](bool vertical, int32_t given) {
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (const Placed& p : placed) {
      if (vertical ? p.constantY : p.constantX) continue;
      lo = std::min(lo, vertical ? p.y : p.x);
      hi = std::max(hi, (vertical ? p.y : p.x) + (vertical ? p.image.height : p.image.width));
    }
    if (lo > hi) lo = hi = 0;
    for (const Placed& p : placed)
      if (vertical ? p.constantY : p.constantX)
        hi = std::max(hi, lo + (vertical ? p.image.height : p.image.width));
    const int32_t reference =
        given > 0 ? given : static_cast<int32_t>(std::clamp<int64_t>(hi - lo, 1, INT32_MAX));
    for (size_t i = 0; i < placed.size(); ++i) {
      Placed& p = placed[i];
      const int32_t v = vertical ? list.entries[i].y : list.entries[i].x;
      if (vertical && p.constantY)
        p.y = lo + ResolveYPos(v, p.image.height, reference, 0);
      else if (!vertical && p.constantX)
        p.x = lo + ResolveXPos(v, p.image.width, reference, 0);
    }
  };
  resolveAxis(false, *width);
  resolveAxis(true, *height);
  int64_t minX = INT64_MAX, minY = INT64_MAX, maxX = INT64_MIN, maxY = INT64_MIN;
  for (const Placed& p : placed) {
    minX = std::min(minX, p.x);
    minY = std::min(minY, p.y);
    maxX = std::max(maxX, p.x + p.image.width);
    maxY = std::max(maxY, p.y + p.image.height);
  }
  int64_t w = *width > 0 ? *width : maxX - minX, h = *height > 0 ? *height : maxY - minY;
  if (ErrorCode e = CheckShapeImageSize(w, h)) return e;
  out->assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
  for (const Placed& p : placed) {
    for (int32_t y = 0; y < p.image.height; ++y) {
      int64_t dy = p.y - minY + y;
      if (dy < 0 || dy >= h) continue;
      for (int32_t x = 0; x < p.image.width; ++x) {
        int64_t dx = p.x - minX + x;
        if (dx < 0 || dx >= w) continue;
        uint32_t src = p.image.pixels[static_cast<size_t>(y) * p.image.width + x];
        uint32_t a = ((src >> 24) * static_cast<uint32_t>(p.opacity) + 127) / 255;
        if (!a) continue;
        uint32_t& dst =
            (*out)[static_cast<size_t>(dy) * static_cast<size_t>(w) + static_cast<size_t>(dx)];
        uint32_t da = dst >> 24;
        uint32_t oa = a + da * (255 - a) / 255;
        auto channel = [&](int shift) {
          uint32_t sc = (src >> shift) & 0xFF, dc = (dst >> shift) & 0xFF;
          return oa ? (sc * a + dc * da * (255 - a) / 255) / oa : 0;
        };
        dst = (oa << 24) | (channel(16) << 16) | (channel(8) << 8) | channel(0);
      }
    }
  }
  *width = static_cast<int32_t>(w);
  *height = static_cast<int32_t>(h);
  return ERR_NONE;
}

ErrorCode renderSourceListPicture(void* data, const double matrix[4], int32_t width, int32_t height,
                                  uint32_t** pixels) {
  auto* list = static_cast<SourceList*>(data);
  std::vector<uint32_t> image;
  int32_t w = width, h = height;
  if (ErrorCode e = renderSourceList(*list, matrix, &w, &h, &image)) return e;
  auto* p = static_cast<uint32_t*>(AllocMemoryArray(image.size(), sizeof(uint32_t), 0));
  if (!p) return ERR_MEM;
  std::copy(image.begin(), image.end(), p);
  *pixels = p;
  return ERR_NONE;
}

// Reads the list of entries at index into records of the current styles.
ErrorCode readSourceList(VmState* L, int index, SourceList* list) {
  if (VmType(L, index) != VM_TYPE_TABLE) return ERR_TABEXPECTED3;
  VmPushNil(L);
  while (VmNext(L, index)) {
    if (VmType(L, -1) != VM_TYPE_TABLE) {
      VmSetTop(L, -3);
      return ERR_TABEXPECTED3;
    }
    int entry = VmGetTop(L);
    int found = 0;
    double x = 0, y = 0, color = 0;
    GetTableFieldNumber(L, entry, "x", &x, &found);
    GetTableFieldNumber(L, entry, "y", &y, &found);
    GetTableFieldNumber(L, entry, "color", &color, &found);
    VmPushString(L, "id");
    VmGetTable(L, entry);
    if (VmType(L, -1) == VM_TYPE_NIL) {
      VmSetTop(L, -4);
      SetErrorArgString("id");
      return ERR_MISSINGFIELD;
    }
    ObjectId id = GetObjectIdArg(L, VmGetTop(L), nullptr);
    VmSetTop(L, -2);
    VectorPath* path = nullptr;
    if (ErrorCode e = FindPathById(id, &path)) {
      VmSetTop(L, -3);
      return e;
    }
    if (!path->length) {
      VmSetTop(L, -3);
      return ERR_EMPTYPATH;
    }
    PathDrawRecord base{};
    FillPathDrawRecord(path, static_cast<uint32_t>(VmNumberToInteger(color)), &base);
    PathDrawRecord* record = copyRecord(&base, path->length + 4);
    if (!record) {
      VmSetTop(L, -3);
      return ERR_MEM;
    }
    list->entries.push_back(SourceEntry{VmTruncInt32(x), VmTruncInt32(y), base.color, record});
    VmSetTop(L, -2);
  }
  if (list->entries.empty()) return ERR_EMPTYTABLE;
  return ERR_NONE;
}

}  // namespace

void FillPathDrawRecord(const VectorPath* path, uint32_t color, PathDrawRecord* record) {
  *record = PathDrawRecord{};
  record->color = color;
  record->items = path->items;
  record->capacity = path->length + 4;
  record->line = *CurrentPathLineStyle();
  record->draw = *GetCurrentDrawStyle();
  record->engine = CurrentVectorEngine();
}

ErrorCode DrawPathCore(VmState* L, PathDrawRecord* record, int32_t x, int32_t y,
                       const DisplayTransform* transform, const ObjectStyle* objectStyle,
                       uint32_t flags, PathLayerOutput* layerOutput) {
  if (emptyItems(record->items)) return ERR_EMPTYPATH;
  if (ErrorCode e = ResolvePathTextHandles(record->engine, record->items)) return e;
  DisplayTransform t;
  if (transform)
    t = *transform;
  else
    CopyDefaultTransform(&t);
  ObjectStyle os;
  if (objectStyle)
    os = *objectStyle;
  else
    CopyDefaultObjectStyle(&os);
  const double m[4] = {t.m11, t.m12, t.m21, t.m22};
  if (layerOutput) {
    PathImage image;
    if (ErrorCode e = renderPathImage(L, record, m, true, t.anchorX, t.anchorY, &image)) return e;
    int64_t tx, ty;
    placeImage(image, 0, 0, &tx, &ty);
    if (tx < INT32_MIN || tx > INT32_MAX || ty < INT32_MIN || ty > INT32_MAX) return ERR_BITMAP;
    *layerOutput = PathLayerOutput{};
    if (ErrorCode e = makeBitmaps(image, &layerOutput->bitmap, &layerOutput->alpha)) return e;
    layerOutput->offsetX = static_cast<int32_t>(tx);
    layerOutput->offsetY = static_cast<int32_t>(ty);
    layerOutput->width = image.width;
    layerOutput->height = image.height;
    return ERR_NONE;
  }
  DisplayRecord* d = GetOutputDisplay();
  if (ErrorCode e = PrepareOutputTarget(L)) return e;
  const BitmapHandle* target = d->drawBitmap ? d->drawBitmap : d->windowBitmap;
  int32_t ow = target ? target->width : d->width, oh = target ? target->height : d->height;
  // Position constants resolve against the size of the filled outline.
  Box fillBox;
  if (!extents(record, geometry(record, true, 1, IDENTITY), &fillBox)) return ERR_EMPTYPATH;
  int64_t fw = boxSize(fillBox.x1, fillBox.x2), fh = boxSize(fillBox.y1, fillBox.y2);
  int32_t rx =
      ResolveXPos(x, static_cast<int32_t>(std::clamp<int64_t>(fw, 0, INT32_MAX)), ow, t.anchorX);
  int32_t ry =
      ResolveYPos(y, static_cast<int32_t>(std::clamp<int64_t>(fh, 0, INT32_MAX)), oh, t.anchorY);
  if (d->layers && !(flags & PATHDRAW_NOLAYER)) {
    PathDrawRecord layered = *record;
    moveEffects(&layered.draw, &os);
    return addPathLayer(L, &layered, rx, ry, &t, &os);
  }
  PathImage image;
  const PathPlacement placement{rx, ry, &os};
  if (ErrorCode e = renderPathImage(L, record, m, true, t.anchorX, t.anchorY, &image, &fillBox,
                                    true, &placement))
    return e;
  if (image.width < 1 || image.height < 1) return ERR_NONE;  // nothing of it is seen
  int64_t tx, ty;
  placeImage(image, rx, ry, &tx, &ty);
  if (tx < INT32_MIN || tx > INT32_MAX || ty < INT32_MIN || ty > INT32_MAX) return ERR_NONE;
  bool drew = false;
  if (ErrorCode e = blendIntoBrush(&image, os, tx, ty, &drew)) return e;
  if (drew) {
    // Blended into a back buffer, the image shows at the next flip.
    MarkDisplayDirty(d, static_cast<int32_t>(tx), static_cast<int32_t>(ty), image.width,
                     image.height);
    return ERR_NONE;
  }
  if (ErrorCode e = renderDeferred(&image)) return e;
  if (image.plain) plainPixels(&image);
  return DeliverShapeImage(L, image.pixels, image.width, image.height, static_cast<int32_t>(tx),
                           static_cast<int32_t>(ty), &os);
}

ErrorCode DrawPathUsingCurrentStyle(VmState* L, ObjectId id, int32_t x, int32_t y, uint32_t color,
                                    int optionsIndex) {
  VectorPath* path = nullptr;
  if (ErrorCode e = FindPathById(id, &path)) return e;
  PathDrawRecord record;
  FillPathDrawRecord(path, color, &record);
  if (emptyItems(record.items)) return ERR_EMPTYPATH;
  DisplayTransform t;
  ObjectStyle os;
  CopyDefaultTransform(&t);
  CopyDefaultObjectStyle(&os);
  if (optionsIndex > 0 && VmGetTop(L) >= optionsIndex && VmType(L, optionsIndex) != VM_TYPE_NIL) {
    double box[4];
    PathGeometry g = geometry(&record, true, 1, IDENTITY);
    if (!EngineGetExtents(record.engine, g, box)) return ERR_EMPTYPATH;
    int64_t w = boxSize(box[0], box[2]), h = boxSize(box[1], box[3]);
    if (ErrorCode e = ParseDisplayOptions(
            L, optionsIndex, static_cast<int32_t>(std::clamp<int64_t>(w, 1, INT32_MAX)),
            static_cast<int32_t>(std::clamp<int64_t>(h, 1, INT32_MAX)), 0, 0, 0, &t, &os,
            DISPOPT_DEFAULTS))
      return e;
  }
  return DrawPathCore(L, &record, x, y, &t, &os, 0, nullptr);
}

// DrawPath(id, x, y [, colour [, options]]).
int CmdDrawPath(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t x = VmTruncInt32(VmCheckNumber(L, 2)), y = VmTruncInt32(VmCheckNumber(L, 3));
  uint32_t color = 0;
  if (VmGetTop(L) >= 4 && VmType(L, 4) != VM_TYPE_NIL)
    color = static_cast<uint32_t>(VmNumberToInteger(VmCheckNumber(L, 4)));
  return DrawPathUsingCurrentStyle(L, id, x, y, color, VmGetTop(L) >= 5 ? 5 : 0);
}

ErrorCode DrawPathObject(VmState* L, int32_t kind, int32_t x, int32_t y, uint32_t color,
                         int optionsIndex, const PathShapeParameters& shape) {
  VectorPath* path = nullptr;
  if (ErrorCode e = NewTemporaryPath(&path)) return e;
  PathItemWriter w;
  auto point = [&w](int32_t item, double px, double py) {
    w.Int(item);
    w.Int(0);
    w.Double(px);
    w.Double(py);
  };
  auto arc = [&w](double cx, double cy, double ra, double rb, double a0, double a1, int32_t cw) {
    w.Int(PATHITEM_ARC);
    for (double v : {cx, cy, ra, rb, a0, a1}) w.Double(v);
    w.Int(cw);
  };
  switch (kind) {
    case SHAPE_BOX:
      w.Int(PATHITEM_BOX);
      for (double v : {0.0, 0.0, shape.width, shape.height}) w.Double(v);
      for (int i = 0; i < 4; ++i) w.Int(shape.corners[i]);
      break;
    case SHAPE_CIRCLE:
    case SHAPE_ELLIPSE:
      arc(0, 0, shape.rx, kind == SHAPE_CIRCLE ? shape.rx : shape.ry, 0, 360, 1);
      break;
    case SHAPE_POLYGON:
      if (shape.vertexCount >= 2) {
        point(PATHITEM_MOVETO, shape.vertices[0], shape.vertices[1]);
        for (int32_t i = 1; i < shape.vertexCount; ++i)
          point(PATHITEM_LINETO, shape.vertices[2 * i], shape.vertices[2 * i + 1]);
      }
      break;
    case SHAPE_ARC:
      point(PATHITEM_MOVETO, 0, 0);
      arc(0, 0, shape.rx, shape.ry, shape.startAngle, shape.endAngle, shape.clockwise);
      break;
    default:
      break;
  }
  w.Int(PATHITEM_CLOSEPATH);
  ErrorCode e = AppendPathBytes(path, w.bytes.data(), w.bytes.size());
  if (!e) e = DrawPathUsingCurrentStyle(L, ObjectId{path, 0}, x, y, color, optionsIndex);
  FreePathObject(L, path);
  return e;
}

ErrorCode MakePathListBrush(VmState* L, int index, ObjectId* id, int automatic) {
  auto* list = new SourceList;
  list->L = L;
  if (ErrorCode e = readSourceList(L, index, list)) {
    freeSourceList(list);
    return e;
  }
  std::vector<uint32_t> image;
  int32_t w = 0, h = 0;
  if (ErrorCode e = renderSourceList(*list, IDENTITY, &w, &h, &image)) {
    freeSourceList(list);
    return e;
  }
  PictureHandle* picture =
      NewRendererPictureHandle(renderSourceListPicture, freeSourceList, list, w, h);
  if (!picture) {
    freeSourceList(list);
    return ERR_MEM;
  }
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  if (ErrorCode e =
          CreateBitmapFromRGB(image.data(), -1, w, h, w, 0, 8, nullptr, &bitmap, &mask, &alpha)) {
    ReleasePictureHandle(picture);
    return e;
  }
  FreeBitMask(mask);
  if (!automatic) FreeBrushObject(L, *id, 0);
  if (ErrorCode e = AddBrushObject(id, automatic, 1, w, h, w, 0, picture, bitmap, -1, nullptr,
                                   alpha, nullptr, nullptr)) {
    FreeBitmap(bitmap);
    FreeAlphaChannel(alpha);
    ReleasePictureHandle(picture);
    return e;
  }
  return ERR_NONE;
}

// PathToBrush(path, brush id or nil): a vector brush of the one path.
int CmdPathToBrush(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId path = GetObjectIdArg(L, 1, nullptr);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 2, &automatic);
  VmNewTable(L);
  VmNewTable(L);
  SetTableFieldId(L, "id", path);
  VmRawSetI(L, -2, 1);
  ErrorCode e = MakePathListBrush(L, VmGetTop(L), &id, automatic);
  if (e) return e;
  if (!automatic) return 0;
  return PushObjectId(L, id);
}

namespace {

// An unfilled path in the border's colour is shown by its border alone.
int pathBodyHidden(const qmLayer* layer, const LayerImageState* state) {
  const auto* rec = static_cast<const PathDrawRecord*>(state->kindData);
  if (!rec && layer->base) rec = static_cast<const PathDrawRecord*>(layer->base->kindData);
  return rec && rec->draw.fillStyle == FILLNONE &&
         (rec->color & 0xFFFFFF) == (layer->border.colour & 0xFFFFFF);
}

}  // namespace

void RegisterPathLayerKind() {
  RegisterLayerKind(&PATH_KIND);
  RegisterLayerBodyTest(LAYER_VECTORPATH, pathBodyHidden);
  RegisterLayerStyleHooks(LAYER_VECTORPATH, &PATH_STYLE);
}

void FreePathDrawScratch() { plainScratch = Coverage{}; }
