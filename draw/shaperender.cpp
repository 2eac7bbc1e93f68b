// The shape renderer: a shape descriptor becomes an image with an alpha
// channel (shadow, border and body composed in that order, each over the
// one before with its own opacity) that is copied into the output target;
// a plain box goes straight into a brush, mask or alpha channel without a
// temporary image.
//
// Invariant: the renderer works on its own copy of the style, so the
// drawing style is never changed by a render; every temporary image is
// owned here and freed on every path.
#include <algorithm>
#include <cmath>

#include "draw/shape_private.h"
#include "draw/vector_private.h"

namespace {

bool isIdentity(const double m[4]) { return m[0] == 1 && m[1] == 0 && m[2] == 0 && m[3] == 1; }

// The largest image a shape or line renders into: both sides within
// 32-bit coordinates and the pixels within 1 GiB.
constexpr int64_t MAX_IMAGE_BYTES = int64_t{1} << 30;

void outputSize(const DisplayRecord* d, int32_t* width, int32_t* height) {
  // A display that scales its layers is drawn on in its picture's own
  // size; the window shows it at the scaled size.
  if (!d->drawBitmap && d->layerscale && d->bgpic) {
    *width = d->bgpic->sourceWidth;
    *height = d->bgpic->sourceHeight;
    return;
  }
  const BitmapHandle* target = d->drawBitmap ? d->drawBitmap : d->windowBitmap;
  if (target) {
    *width = target->width;
    *height = target->height;
  } else {
    *width = d->width;
    *height = d->height;
  }
}

bool selectedOutput(const DisplayRecord* d) {
  return d->outputKind == OBJECT_BRUSH || d->outputKind == OUTPUT_MASK ||
         d->outputKind == OUTPUT_ALPHA;
}

// Images of up to this many pixels, or of up to four times the output's,
// are rendered whole (see visibleWindow).
constexpr int64_t WHOLE_IMAGE_PIXELS = int64_t{1} << 20;
bool cutAlways = false;

// The part of a w x h image, its top-left at tx, ty of the output, that
// the output can show: a shape far larger than the output renders only
// that part and costs what is seen of it. Shapes of ordinary size are
// rendered whole: OpenCV starts a polygon's outline cut by the image's
// edge afresh from the cut, so a cut figure may differ from the whole one
// by single pixels along its outline (the vector engine's coverage is cut
// exactly). A layer takes the whole image, and so do the object style's
// filters, which work on all of it.
ShapeWindow visibleWindow(const DisplayRecord* d, const ObjectStyle& os, int64_t tx, int64_t ty,
                          int32_t w, int32_t h) {
  const ShapeWindow whole{0, 0, w, h};
  ObjectStyle filters = os;
  filters.transparency = 0;
  if (activeShapeCapture || HasDrawEffects(&filters)) return whole;
  int32_t ow, oh;
  outputSize(d, &ow, &oh);
  const int64_t pixels = int64_t{w} * h;
  if (!cutAlways && (pixels <= WHOLE_IMAGE_PIXELS || pixels <= 4 * int64_t{ow} * oh)) return whole;
  const int64_t x0 = std::max<int64_t>(0, -tx), y0 = std::max<int64_t>(0, -ty);
  const int64_t x1 = std::min<int64_t>(w, ow - tx), y1 = std::min<int64_t>(h, oh - ty);
  if (x1 <= x0 || y1 <= y0) return ShapeWindow{};
  return ShapeWindow{x0, y0, static_cast<int32_t>(x1 - x0), static_cast<int32_t>(y1 - y0)};
}

// The border, shadow and colour transparency of a shape drawn as a layer
// move into the layer's object style, which the layer draws.
void moveEffectsToLayerStyle(DrawStyle* s, ObjectStyle* os, uint32_t* color) {
  if ((s->formFlags & FORM_EDGE) && s->fillStyle != FILLNONE) {
    s->formFlags &= ~FORM_EDGE;
    os->border.on = 1;
    os->border.colour = s->borderColor;
    os->border.size = s->borderSize;
    os->effects = 1;
  }
  if ((s->formFlags & FORM_SHADOW) && s->fillStyle != FILLNONE) {
    s->formFlags &= ~FORM_SHADOW;
    os->shadow.on = 1;
    os->shadow.colour = s->shadowColor;
    os->shadow.size = s->shadowSize;
    os->shadow.direction = s->shadowDirection;
    os->effects = 1;
  }
  if (s->fillStyle == FILLNONE && s->lineWidth > 1) {
    os->border.on = 1;
    os->border.colour = *color & 0xFFFFFF;
    os->border.size = s->lineWidth / 2;
    s->lineWidth = 1;
    os->effects = 1;
  }
  if (*color >> 24) {
    os->transparency = static_cast<int32_t>(*color >> 24);
    *color &= 0xFFFFFF;
    os->effects = 1;
  }
}

using Layer = ShapeImageLayer;

// Premultiplied "over": every layer goes over what the layers before it
// left. The alpha that results is top + bottom x (255 - top) / 255. One
// row is composed at a time, so the work space is a row's, not an image's.
void compose(std::vector<uint32_t>* pixels, int32_t w, int32_t h, const Layer* layers, int n) {
  AssignLarge(pixels, static_cast<size_t>(w) * h);
  std::vector<uint32_t> premul(static_cast<size_t>(w) * 4);
  for (int32_t y = 0; y < h; ++y) {
    std::fill(premul.begin(), premul.end(), 0u);
    const size_t rowStart = static_cast<size_t>(y) * w;
    for (int l = 0; l < n; ++l) {
      const Layer& layer = layers[l];
      const uint8_t* row =
          layer.coverage->bytes.data() + static_cast<size_t>(y) * layer.coverage->stride;
      for (int32_t x = 0; x < w; ++x) {
        uint32_t cov = row[x];
        if (!cov) continue;
        uint32_t a = (cov * static_cast<uint32_t>(layer.opacity) + 127) / 255;
        uint32_t c = layer.source ? (*layer.source)[rowStart + x] : layer.color;
        uint32_t* p = &premul[static_cast<size_t>(x) * 4];
        // Values are kept scaled by 255 to round once at the end.
        p[0] = a * 255 + p[0] * (255 - a) / 255;
        p[1] = a * ((c >> 16) & 0xFF) + p[1] * (255 - a) / 255;
        p[2] = a * ((c >> 8) & 0xFF) + p[2] * (255 - a) / 255;
        p[3] = a * (c & 0xFF) + p[3] * (255 - a) / 255;
      }
    }
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t* p = &premul[static_cast<size_t>(x) * 4];
      uint32_t a = (p[0] + 127) / 255;
      if (!a) continue;
      auto channel = [&](uint32_t v) {
        return std::min<uint32_t>(255, (v + p[0] / 510) * 255 / p[0]);
      };
      (*pixels)[rowStart + x] =
          (a << 24) | (channel(p[1]) << 16) | (channel(p[2]) << 8) | channel(p[3]);
    }
  }
}

// The style's gradient drawn over the body, bodyW x bodyH at bodyX, bodyY
// of a w x h image; pixels beyond the body (anti-aliased edges, outlines)
// take the colour of the body's nearest edge.
ErrorCode gradientSource(const GradientDescription& gradient, int32_t w, int32_t h, int32_t bodyX,
                         int32_t bodyY, int32_t bodyW, int32_t bodyH, std::vector<uint32_t>* out) {
  bodyW = std::max(bodyW, 1);
  bodyH = std::max(bodyH, 1);
  OwnedBitmap body(AllocBitmap(bodyW, bodyH, 0, nullptr));
  if (!body) return ERR_BITMAP;
  if (ErrorCode e = FillBitmapGradient(body.get(), &gradient)) return e;
  uint32_t* argb = ReadBitmapRectARGB(body.get(), 0, 0, bodyW, bodyH, 1);
  if (!argb) return ERR_MEM;
  out->resize(static_cast<size_t>(w) * h);
  for (int32_t y = 0; y < h; ++y) {
    int64_t gy = std::clamp<int64_t>(static_cast<int64_t>(y) - bodyY, 0, bodyH - 1);
    const uint32_t* row = argb + static_cast<size_t>(gy) * bodyW;
    for (int32_t x = 0; x < w; ++x) {
      int64_t gx = std::clamp<int64_t>(static_cast<int64_t>(x) - bodyX, 0, bodyW - 1);
      (*out)[static_cast<size_t>(y) * w + x] = row[gx] & 0xFFFFFF;
    }
  }
  FreeMemory(argb);
  return ERR_NONE;
}

// The fill source of the body: the texture brush tiled from the style's
// texture offset, or the gradient over the body's bodyW x bodyH. Empty
// means the plain colour.
ErrorCode makeFillSource(VmState* L, const DrawStyle* s, int32_t w, int32_t h, int32_t bodyX,
                         int32_t bodyY, int32_t bodyW, int32_t bodyH, std::vector<uint32_t>* out) {
  out->clear();
  if (s->fillStyle == FILLTEXTURE) {
    BrushObject* brush = nullptr;
    if (ErrorCode e = GetBrushObject(L, s->textureBrush, &brush, 0)) return e;
    if (!brush->bitmap || brush->width < 1 || brush->height < 1) return ERR_WRONGUSAGE;
    uint32_t* tile = ReadBitmapRectARGB(brush->bitmap, 0, 0, brush->width, brush->height, 1);
    if (!tile) return ERR_MEM;
    out->resize(static_cast<size_t>(w) * h);
    for (int32_t y = 0; y < h; ++y) {
      int64_t ty = (static_cast<int64_t>(y) - bodyY + s->textureY) % brush->height;
      if (ty < 0) ty += brush->height;
      for (int32_t x = 0; x < w; ++x) {
        int64_t tx = (static_cast<int64_t>(x) - bodyX + s->textureX) % brush->width;
        if (tx < 0) tx += brush->width;
        (*out)[static_cast<size_t>(y) * w + x] =
            tile[static_cast<size_t>(ty) * brush->width + static_cast<size_t>(tx)];
      }
    }
    FreeMemory(tile);
  } else if (s->fillStyle == FILLGRADIENT) {
    return gradientSource(s->gradient, w, h, bodyX, bodyY, bodyW, bodyH, out);
  }
  return ERR_NONE;
}

// What makeFillSource refuses, checked for a shape of which nothing is
// seen: a texture brush that is gone or has no pixels.
ErrorCode checkFillSource(VmState* L, const DrawStyle* s) {
  if (s->fillStyle != FILLTEXTURE) return ERR_NONE;
  BrushObject* brush = nullptr;
  if (ErrorCode e = GetBrushObject(L, s->textureBrush, &brush, 0)) return e;
  if (!brush->bitmap || brush->width < 1 || brush->height < 1) return ERR_WRONGUSAGE;
  return ERR_NONE;
}

// The part of a size before its anchor point, rounded; with the usual
// anchor at the top-left corner it is 0.
int32_t anchorShare(int32_t size, double anchor) {
  return anchor == 0 ? 0 : VmTruncInt32(std::nearbyint(size * anchor));
}

// The box around the rectangles that a direct fill changed, inside the
// output: a back buffer shows it at the next flip, so it is marked, once
// for all of a shape's rectangles.
struct FilledArea {
  int64_t x1 = INT64_MAX, y1 = INT64_MAX, x2 = INT64_MIN, y2 = INT64_MIN;  // x2, y2 exclusive
  void Add(int64_t x, int64_t y, int64_t w, int64_t h) {
    x1 = std::min(x1, x);
    y1 = std::min(y1, y);
    x2 = std::max(x2, x + w);
    y2 = std::max(y2, y + h);
  }
  void Mark(DisplayRecord* d) const {
    if (x1 < x2 && y1 < y2)
      MarkDisplayDirty(d, static_cast<int32_t>(x1), static_cast<int32_t>(y1),
                       static_cast<int32_t>(x2 - x1), static_cast<int32_t>(y2 - y1));
  }
};

// Fills a rectangle of a selected output, cut to it (sums in 64 bits, so no
// size wraps): a mask's pixels become visible, an alpha channel takes the
// colour's opacity, a brush the colour. The part filled joins the area.
void fillOutputRect(BitmapHandle* target, uint32_t kind, int32_t x, int32_t y, int32_t w, int32_t h,
                    uint32_t c, FilledArea* area) {
  const int64_t x1 = std::max<int64_t>(x, 0), y1 = std::max<int64_t>(y, 0);
  const int64_t x2 = std::min<int64_t>(int64_t{x} + w, target->width);
  const int64_t y2 = std::min<int64_t>(int64_t{y} + h, target->height);
  if (x2 <= x1 || y2 <= y1) return;
  x = static_cast<int32_t>(x1);
  y = static_cast<int32_t>(y1);
  w = static_cast<int32_t>(x2 - x1);
  h = static_cast<int32_t>(y2 - y1);
  area->Add(x, y, w, h);
  if (kind == OUTPUT_MASK)
    MaskRectOp(target, x, y, w, h, 0);
  else if (kind == OUTPUT_ALPHA)
    FillAlphaRect(target, x, y, w, h, static_cast<uint8_t>(255 - (c >> 24)));
  else
    FillBitmapRect(target, x, y, w, h, c & 0xFFFFFF);
}

// Draws a plain box straight into a selected brush, mask or alpha channel:
// shadow, border, then the body. Returns 1 when it drew.
int drawPlainBox(DisplayRecord* d, const DrawStyle* s, int32_t x, int32_t y, int32_t w, int32_t h,
                 uint32_t color, bool border, bool shadow) {
  if (!selectedOutput(d) || !d->drawBitmap || d->outputVideo) return 0;
  if (s->fillStyle == FILLGRADIENT || s->fillStyle == FILLTEXTURE) return 0;
  const uint32_t kind = d->outputKind;
  auto opaque = [](uint32_t c) { return (c >> 24) == 0; };
  if (kind != OUTPUT_ALPHA && kind != OUTPUT_MASK &&
      (!opaque(color) || (border && !opaque(s->borderColor)) ||
       (shadow && !opaque(s->shadowColor))))
    return 0;
  BitmapHandle* target = d->drawBitmap;
  FilledArea area;
  auto rect = [&](int32_t rx, int32_t ry, int32_t rw, int32_t rh, uint32_t c) {
    fillOutputRect(target, kind, rx, ry, rw, rh, c, &area);
  };
  int32_t b = border ? s->borderSize : 0;
  if (shadow) {
    int32_t sx, sy, bx, by;
    SplitShadowOffset(s->shadowSize, s->shadowDirection, &sx, &sy, &bx, &by);
    rect(x - b + sx - bx, y - b + sy - by, w + 2 * b, h + 2 * b, s->shadowColor);
  }
  if (border) rect(x - b, y - b, w + 2 * b, h + 2 * b, s->borderColor);
  if (s->fillStyle == FILLNONE) {
    rect(x, y, w, 1, color);
    rect(x, y + h - 1, w, 1, color);
    rect(x, y, 1, h, color);
    rect(x + w - 1, y, 1, h, color);
  } else {
    rect(x, y, w, h, color);
  }
  area.Mark(d);
  return 1;
}

// A box filled with a plain colour, sharp, unturned and without effects:
// into a selected brush, mask or alpha channel it is a rectangle fill,
// which needs neither a copy of the style nor its clamping (which change
// nothing such a box reads).
bool plainFilledBox(const DrawStyle& s, const int32_t corners[4], const DisplayTransform& t,
                    const ObjectStyle& os) {
  const double m[4] = {t.m11, t.m12, t.m21, t.m22};
  return s.fillStyle == FILLCOLOR && !(s.formFlags & (FORM_EDGE | FORM_SHADOW | FORM_ANTIALIAS)) &&
         !corners[0] && !corners[1] && !corners[2] && !corners[3] && isIdentity(m) && !os.effects &&
         !activeShapeCapture;
}

// Fills such a box at x, y (resolved against the output, before the
// anchor); 0 when the output is not one that takes a plain fill.
int fillPlainBox(DisplayRecord* d, const DisplayTransform& t, int32_t x, int32_t y, int32_t w,
                 int32_t h, uint32_t color) {
  // drawPlainBox without border and shadow, for a colour fill.
  if (!selectedOutput(d) || !d->drawBitmap || d->outputVideo) return 0;
  const uint32_t kind = d->outputKind;
  if (kind != OUTPUT_ALPHA && kind != OUTPUT_MASK && (color >> 24)) return 0;
  FilledArea area;
  fillOutputRect(d->drawBitmap, kind, x - anchorShare(w, t.anchorX), y - anchorShare(h, t.anchorY),
                 w, h, color, &area);
  area.Mark(d);
  return 1;
}

// Writes the composed image into a selected mask (visible where the
// image's alpha is at least half) or alpha channel (its alpha values).
void writePlane(DisplayRecord* d, const std::vector<uint32_t>& pixels, int32_t w, int32_t h,
                int32_t tx, int32_t ty) {
  BitmapHandle* target = d->drawBitmap;
  if (!target) return;
  bool mask = d->outputKind == OUTPUT_MASK;
  BitmapLock lock{};
  if (!mask && !LockBitmap(target, 0, &lock)) return;
  for (int32_t y = 0; y < h; ++y) {
    int64_t dy = static_cast<int64_t>(ty) + y;
    if (dy < 0 || dy >= target->height) continue;
    for (int32_t x = 0; x < w; ++x) {
      int64_t dx = static_cast<int64_t>(tx) + x;
      if (dx < 0 || dx >= target->width) continue;
      uint32_t a = pixels[static_cast<size_t>(y) * w + x] >> 24;
      if (!a) continue;
      if (mask) {
        if (a >= 128)
          MaskRectOp(target, static_cast<int32_t>(dx), static_cast<int32_t>(dy), 1, 1, 0);
      } else {
        lock.address[dy * lock.rowLength + dx] = static_cast<uint8_t>(a);
      }
    }
  }
  if (!mask) UnlockBitmap(&lock);
}

// The vector engine's request for the shape grown by growth.
VectorShapeRequest shapeRequest(const ShapeDescriptor* shape, const double m[4], int32_t growth,
                                bool fill, int32_t strokeWidth) {
  VectorShapeRequest r{};
  r.kind = shape->kind == SHAPE_BOX ? SHAPE_BOX : shape->kind == SHAPE_ARC ? SHAPE_ARC : 15;
  r.rx = shape->rx;
  r.ry = shape->ry;
  r.startAngle = shape->startAngle;
  r.endAngle = shape->endAngle;
  r.width = shape->width;
  r.height = shape->height;
  r.clockwise = shape->clockwise;
  r.growth = growth;
  r.matrix = m;
  r.corners = shape->corners;
  r.fill = fill;
  r.strokeWidth = strokeWidth;
  return r;
}

// The size of the shape's box as the vector engine measures it (at
// least 1 x 1); the border's is the shape grown by growth and filled.
bool measureVectorShape(const ShapeDescriptor* shape, const double m[4], int32_t growth, bool fill,
                        int32_t strokeWidth, int32_t* width, int32_t* height) {
  VectorShapeRequest r = shapeRequest(shape, m, growth, fill, strokeWidth);
  if (!InbuiltDrawShape(&r)) return false;
  *width = std::max(r.outWidth, 1);
  *height = std::max(r.outHeight, 1);
  return true;
}

// The vector engine's coverage of the shape with its box's top-left at
// x, y of the coverage, cut to the coverage.
bool drawVectorShape(const ShapeDescriptor* shape, const double m[4], int32_t growth, bool fill,
                     int32_t strokeWidth, int32_t width, int32_t height, Coverage* into, int64_t x,
                     int64_t y) {
  if (x >= into->width || y >= into->height || x + width <= 0 || y + height <= 0) return true;
  VectorShapeRequest r = shapeRequest(shape, m, growth, fill, strokeWidth);
  r.target = into->bytes.data();
  r.bytesPerRow = into->stride;
  r.targetWidth = into->width;
  r.targetHeight = into->height;
  r.originX = static_cast<int32_t>(x);
  r.originY = static_cast<int32_t>(y);
  return InbuiltDrawShape(&r) != 0;
}

// A shape of one layer in one colour drawn into a selected brush straight
// from the engine's spans: the output, where the turned middle of the box
// lies (before the anchor), the colour; then the blit once placed.
struct SpanShape {
  DisplayRecord* d;
  const ObjectStyle* os;
  int32_t dx, dy;
  double cx, cy;
  uint32_t color;
  bool begun = false;
  int32_t x = 0, y = 0;           // the top-left of the part drawn, in the output
  int32_t width = 0, height = 0;  // and its size
  ColourSpanBlit blit{};
};

// Takes the measured size: the image goes where the composing route puts
// it, and the part of it the output shows is drawn; sizes that route
// refuses, parts too wide for the engine's spans and outputs the blit
// cannot take are left to that route (nothing is drawn here then).
int placeSpanShape(void* user, int32_t width, int32_t height, int32_t part[4]) {
  auto* p = static_cast<SpanShape*>(user);
  if (CheckShapeImageSize(width, height)) return 0;
  int64_t tx = p->dx + static_cast<int64_t>(std::floor(p->cx - width / 2.0));
  int64_t ty = p->dy + static_cast<int64_t>(std::floor(p->cy - height / 2.0));
  if (tx < INT32_MIN || tx > INT32_MAX || ty < INT32_MIN || ty > INT32_MAX) return 0;
  const ShapeWindow win = visibleWindow(p->d, *p->os, tx, ty, width, height);
  if (win.Empty() || win.width > INT16_MAX) return 0;
  int32_t ow, oh;
  outputSize(p->d, &ow, &oh);
  p->x = static_cast<int32_t>(tx + win.x);
  p->y = static_cast<int32_t>(ty + win.y);
  p->width = win.width;
  p->height = win.height;
  part[0] = static_cast<int32_t>(win.x);
  part[1] = static_cast<int32_t>(win.y);
  part[2] = win.width;
  part[3] = win.height;
  p->begun = BeginColourSpanBlit(&p->blit, p->color, p->d->drawBitmap, p->x, p->y, win.width,
                                 win.height, ow, oh, SAFEBLT_BITMAPONLY);
  return p->begun ? 1 : 0;
}

// The engine's spans go on through the coverage scaled by the colour's
// opacity, rounded as the composition rounds it.
void spanShapeRuns(void* user, int32_t y, const VectorSpan* spans, int32_t count) {
  const auto* p = static_cast<const SpanShape*>(user);
  ColourSpanBlitRow(&p->blit, y, spans, count, 255 - static_cast<int32_t>(p->color >> 24));
}

}  // namespace

// Hands a composed image to the output: a selected mask or alpha channel
// takes its alpha, any other output the image blended through its alpha.
ErrorCode DeliverShapeImage(VmState* L, std::vector<uint32_t>& pixels, int32_t w, int32_t h,
                            int32_t tx, int32_t ty, const ObjectStyle* objectStyle) {
  if (ShapeCapture* c = activeShapeCapture) {
    c->pixels.swap(pixels);
    c->width = w;
    c->height = h;
    c->x = tx;
    c->y = ty;
    c->taken = 1;
    return ERR_NONE;
  }
  DisplayRecord* d = GetOutputDisplay();
  if (d->outputKind == OUTPUT_MASK || d->outputKind == OUTPUT_ALPHA) {
    writePlane(d, pixels, w, h, tx, ty);
    return ERR_NONE;
  }
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  if (ErrorCode e =
          CreateBitmapFromRGB(pixels.data(), -1, w, h, w, 0, 8, nullptr, &bitmap, &mask, &alpha))
    return e;
  OwnedBitmap owned(bitmap);
  if (ErrorCode e = ApplyDrawEffects(objectStyle, bitmap, &mask, &alpha, w, h)) {
    FreeBitMask(mask);
    FreeAlphaChannel(alpha);
    return e;
  }
  int32_t ow, oh;
  outputSize(d, &ow, &oh);
  MarkDisplayDirty(d, tx, ty, w, h);
  // A selected brush is drawn into as a bitmap; nothing of it is shown.
  uint32_t blitFlags = selectedOutput(d) && d->drawBitmap
                           ? SAFEBLT_BITMAPONLY
                           : SAFEBLT_BACKBUFFER | SAFEBLT_LAYERS | SAFEBLT_SCALED;
  SafeBlt(L, bitmap, 0, 0, d->drawBitmap, tx, ty, w, h, w, h, ow, oh, blitFlags, mask, alpha,
          nullptr);
  FreeBitMask(mask);
  FreeAlphaChannel(alpha);
  return ERR_NONE;
}

ErrorCode RenderPlainBox(VmState* L, const DrawStyle* style, int32_t x, int32_t y, int32_t w,
                         int32_t h, uint32_t color, const int32_t corners[4],
                         const DisplayTransform* t, const ObjectStyle* os, int* drawn) {
  *drawn = 0;
  if (!plainFilledBox(*style, corners, *t, *os)) return ERR_NONE;
  // The steps of RenderShape up to its own plain-box route, in its order.
  DisplayRecord* d = GetOutputDisplay();
  if (ErrorCode e = PrepareOutputTarget(L)) return e;
  if (d->layers && !selectedOutput(d)) return ERR_NONE;
  int32_t ow, oh;
  outputSize(d, &ow, &oh);
  x = ResolveXPos(x, w, ow, t->anchorX);
  y = ResolveYPos(y, h, oh, t->anchorY);
  *drawn = fillPlainBox(d, *t, x, y, w, h, color);
  return ERR_NONE;
}

void SetShapeCutAlways(bool on) { cutAlways = on; }

ShapeWindow VisibleShapeWindow(const ObjectStyle& os, int64_t tx, int64_t ty, int32_t w,
                               int32_t h) {
  return visibleWindow(GetOutputDisplay(), os, tx, ty, w, h);
}

ErrorCode CheckShapeFillSource(VmState* L, const DrawStyle* s) { return checkFillSource(L, s); }

ErrorCode CheckShapeImageSize(int64_t w, int64_t h) {
  if (w < 1 || h < 1 || w > INT32_MAX || h > INT32_MAX) return ERR_BITMAP;
  if (w * h > MAX_IMAGE_BYTES / 4) return ERR_BITMAP;
  return ERR_NONE;
}

ErrorCode RenderShape(VmState* L, ShapeDescriptor* shape, uint32_t flags) {
  DisplayRecord* d = GetOutputDisplay();
  if (ErrorCode e = PrepareOutputTarget(L)) return e;
  const DisplayTransform& t = *shape->transform;
  // The object style is copied only when a layer takes the shape's effects.
  const ObjectStyle& os = *shape->objectStyle;
  uint32_t color = shape->color;
  double m[4] = {t.m11, t.m12, t.m21, t.m22};
  int32_t ow, oh;
  outputSize(d, &ow, &oh);
  int32_t x = ResolveXPos(shape->x, shape->width, ow, t.anchorX);
  int32_t y = ResolveYPos(shape->y, shape->height, oh, t.anchorY);

  // With layers a shape becomes a layer, unless a brush, anim frame or
  // layer is selected as output: then it is drawn into that.
  if (d->layers && !selectedOutput(d) && !(flags & (SHAPE_TOLAYER | SHAPE_LAYERTRANSFORM))) {
    DrawStyle s = *shape->style;
    ObjectStyle layerStyle = os;
    moveEffectsToLayerStyle(&s, &layerStyle, &color);
    ShapeDescriptor layered = *shape;
    layered.style = &s;
    layered.objectStyle = &layerStyle;
    layered.color = color;
    layered.x = x;
    layered.y = y;
    return AddShapeLayer(L, &layered, shape->kind);
  }

  const DrawStyle& given = *shape->style;
  if (shape->kind == SHAPE_BOX && plainFilledBox(given, shape->corners, t, os) &&
      fillPlainBox(d, t, x, y, shape->width, shape->height, color))
    return ERR_NONE;

  DrawStyle s = given;
  s.shadowSize = VmTruncInt32(std::nearbyint(s.shadowSize * std::fabs(m[0])));
  s.lineWidth = VmTruncInt32(std::nearbyint(static_cast<double>(s.lineWidth) * std::fabs(m[0])));
  ClampDrawStyle(&s);
  if (s.fillStyle == FILLNONE && s.lineWidth > SHAPE_MAX_THICKNESS) return ERR_WRONGUSAGE;
  const bool filled = s.fillStyle != FILLNONE;
  const bool border = (s.formFlags & FORM_EDGE) && filled && s.borderSize > 0;
  const bool shadow = (s.formFlags & FORM_SHADOW) && filled && s.shadowSize > 0;
  const bool aa = s.formFlags & FORM_ANTIALIAS;
  const int32_t w = shape->width, h = shape->height;
  const int32_t b = border ? s.borderSize : 0;
  const int32_t lw = filled ? 0 : s.lineWidth;

  bool plainBox = shape->kind == SHAPE_BOX && !shape->corners[0] && !shape->corners[1] &&
                  !shape->corners[2] && !shape->corners[3] && isIdentity(m) && (filled || lw < 2);
  int32_t dx = x - anchorShare(w, t.anchorX);
  int32_t dy = y - anchorShare(h, t.anchorY);
  if (plainBox && !aa && !os.effects && !activeShapeCapture &&
      drawPlainBox(d, &s, dx, dy, w, h, color, border, shadow))
    return ERR_NONE;

  if (!shape->lineBased && !plainBox) {
    // One layer in one colour into a selected brush: the engine's coverage
    // goes into the brush as it is rasterized, without an image composed.
    if (!border && !shadow && s.fillStyle != FILLTEXTURE && s.fillStyle != FILLGRADIENT &&
        d->outputKind == OBJECT_BRUSH && d->drawBitmap && !activeShapeCapture &&
        !HasDrawEffects(&os)) {
      double px = VmTruncInt32(t.anchorX * w), py = VmTruncInt32(t.anchorY * h);
      SpanShape span{d,
                     &os,
                     dx,
                     dy,
                     px + m[0] * (w / 2.0 - px) + m[2] * (h / 2.0 - py),
                     py + m[1] * (w / 2.0 - px) + m[3] * (h / 2.0 - py),
                     color};
      VectorShapeRequest r = shapeRequest(shape, m, 0, filled, lw);
      int drawn = InbuiltDrawShapeSpans(&r, placeSpanShape, spanShapeRuns, &span);
      if (span.begun) {
        EndColourSpanBlit(&span.blit);
        if (!drawn) return ERR_MEM;
        MarkDisplayDirty(d, span.x, span.y, span.width, span.height);
        return ERR_NONE;
      }
    }
    // The vector route: coverage from the vector engine, the border's
    // centred on the body's, both centred on the turned middle of the box.
    int32_t bodyW = 0, bodyH = 0, borderW = 0, borderH = 0;
    if (!measureVectorShape(shape, m, 0, filled, lw, &bodyW, &bodyH)) return ERR_MEM;
    if (border && !measureVectorShape(shape, m, b, true, 0, &borderW, &borderH)) return ERR_MEM;
    int64_t baseW = std::max(bodyW, borderW);
    int64_t baseH = std::max(bodyH, borderH);
    int32_t sx = 0, sy = 0, bx = 0, by = 0, grownW = 0, grownH = 0;
    if (shadow) {
      SplitShadowOffset(s.shadowSize, s.shadowDirection, &sx, &sy, &bx, &by);
      GrowByDirection(s.shadowSize, s.shadowDirection, &grownW, &grownH);
    }
    if (ErrorCode e = CheckShapeImageSize(baseW + grownW, baseH + grownH)) return e;
    const int32_t W = static_cast<int32_t>(baseW + grownW),
                  H = static_cast<int32_t>(baseH + grownH);
    double px = VmTruncInt32(t.anchorX * w), py = VmTruncInt32(t.anchorY * h);
    double cx = px + m[0] * (w / 2.0 - px) + m[2] * (h / 2.0 - py);
    double cy = py + m[1] * (w / 2.0 - px) + m[3] * (h / 2.0 - py);
    int64_t tx = dx + static_cast<int64_t>(std::floor(cx - baseW / 2.0)) - bx;
    int64_t ty = dy + static_cast<int64_t>(std::floor(cy - baseH / 2.0)) - by;
    const ShapeWindow win = visibleWindow(d, os, tx, ty, W, H);
    if (win.Empty()) return checkFillSource(L, &s);
    // Where each box's top-left lies in the window.
    const int64_t bodyX = bx + (baseW - bodyW) / 2 - win.x,
                  bodyY = by + (baseH - bodyH) / 2 - win.y;
    const int64_t borderX = bx + (baseW - borderW) / 2 - win.x,
                  borderY = by + (baseH - borderH) / 2 - win.y;
    Coverage bodyCov, borderCov, shadowCov;
    if (!bodyCov.Make(win.width, win.height) ||
        !drawVectorShape(shape, m, 0, filled, lw, bodyW, bodyH, &bodyCov, bodyX, bodyY))
      return ERR_MEM;
    if (border &&
        (!borderCov.Make(win.width, win.height) ||
         !drawVectorShape(shape, m, b, true, 0, borderW, borderH, &borderCov, borderX, borderY)))
      return ERR_MEM;
    if (shadow) {
      // The silhouette (the border's, else the body's) at the shadow's
      // place instead of the body's.
      const int32_t outW = border ? borderW : bodyW, outH = border ? borderH : bodyH;
      if (!shadowCov.Make(win.width, win.height) ||
          !drawVectorShape(shape, m, border ? b : 0, true, 0, outW, outH, &shadowCov,
                           sx + (baseW - outW) / 2 - win.x, sy + (baseH - outH) / 2 - win.y))
        return ERR_MEM;
    }
    std::vector<uint32_t> source;
    if (ErrorCode e = makeFillSource(L, &s, win.width, win.height, static_cast<int32_t>(bodyX),
                                     static_cast<int32_t>(bodyY), bodyW, bodyH, &source))
      return e;
    Layer layers[3];
    int n = 0;
    if (shadow)
      layers[n++] = Layer{&shadowCov, s.shadowColor,
                          255 - static_cast<int32_t>(s.shadowColor >> 24), nullptr};
    if (border)
      layers[n++] = Layer{&borderCov, s.borderColor,
                          255 - static_cast<int32_t>(s.borderColor >> 24), nullptr};
    layers[n++] = Layer{&bodyCov, color, 255 - static_cast<int32_t>(color >> 24),
                        source.empty() ? nullptr : &source};
    std::vector<uint32_t> pixels;
    compose(&pixels, win.width, win.height, layers, n);
    tx += win.x;
    ty += win.y;
    if (tx < INT32_MIN || tx > INT32_MAX || ty < INT32_MIN || ty > INT32_MAX) return ERR_NONE;
    return DeliverShapeImage(L, pixels, win.width, win.height, static_cast<int32_t>(tx),
                             static_cast<int32_t>(ty), &os);
  }

  // Outlines in the body box's coordinates: the body from 0, 0, the border
  // b outside it; both turned about the anchor point of the body box.
  static const double IDENTITY[4] = {1, 0, 0, 1};
  ShapePoints body, outer;
  if (!BuildShapeOutline(shape, w, h, IDENTITY, 0, 0, &body)) return ERR_WRONGUSAGE;
  if (border) {
    if (shape->kind == SHAPE_POLYGON) {
      OffsetPolygonOutline(body, b, &outer);
    } else {
      BuildShapeOutline(shape, w + 2 * b, h + 2 * b, IDENTITY, 0, 0, &outer);
      for (size_t i = 0; i < outer.size(); ++i) outer[i] -= b;
    }
  }
  if (!isIdentity(m)) {
    int32_t px = VmTruncInt32(t.anchorX * w), py = VmTruncInt32(t.anchorY * h);
    for (ShapePoints* set : {&body, &outer})
      for (size_t i = 0; i + 1 < set->size(); i += 2) {
        double ux = static_cast<double>((*set)[i]) - px,
               uy = static_cast<double>((*set)[i + 1]) - py;
        (*set)[i] = VmTruncInt32(px + m[0] * ux + m[2] * uy);
        (*set)[i + 1] = VmTruncInt32(py + m[1] * ux + m[3] * uy);
      }
  }
  int64_t minX = INT32_MAX, minY = INT32_MAX, maxX = INT32_MIN, maxY = INT32_MIN;
  for (const ShapePoints* set : {&body, &outer})
    for (size_t i = 0; i + 1 < set->size(); i += 2) {
      minX = std::min<int64_t>(minX, (*set)[i]);
      maxX = std::max<int64_t>(maxX, (*set)[i]);
      minY = std::min<int64_t>(minY, (*set)[i + 1]);
      maxY = std::max<int64_t>(maxY, (*set)[i + 1]);
    }
  // A polygon that the rounding and the rotation made smaller than its box
  // still takes its box's size, as its position was given for that box.
  if (isIdentity(m) && shape->kind != SHAPE_POLYGON) {
    minX = std::min<int64_t>(minX, -b);
    minY = std::min<int64_t>(minY, -b);
    maxX = std::max<int64_t>(maxX, w - 1 + b);
    maxY = std::max<int64_t>(maxY, h - 1 + b);
  }
  // Anti-aliased edges and wide outlines reach past the points.
  int64_t pad = (aa ? 2 : 0) + (lw >= 2 ? lw / 2 : 0);
  int64_t padEnd = pad + ((aa || lw >= 2) ? 1 : 0);
  int32_t sx = 0, sy = 0, bx = 0, by = 0;
  int32_t grownW = 0, grownH = 0;
  if (shadow) {
    SplitShadowOffset(s.shadowSize, s.shadowDirection, &sx, &sy, &bx, &by);
    GrowByDirection(s.shadowSize, s.shadowDirection, &grownW, &grownH);
  }
  int64_t imageW = maxX - minX + 1 + pad + padEnd + grownW;
  int64_t imageH = maxY - minY + 1 + pad + padEnd + grownH;
  if (ErrorCode e = CheckShapeImageSize(imageW, imageH)) return e;
  const int32_t W = static_cast<int32_t>(imageW), H = static_cast<int32_t>(imageH);
  // Where point 0, 0 of the body box lies in the image, and the image's
  // top-left on the output.
  int64_t ox = -minX + pad + bx, oy = -minY + pad + by;
  int64_t tx = static_cast<int64_t>(dx) - ox, ty = static_cast<int64_t>(dy) - oy;
  const ShapeWindow win = visibleWindow(d, os, tx, ty, W, H);
  if (win.Empty()) return checkFillSource(L, &s);
  // From here on the image is the window: point 0, 0 of the body box moves
  // with it.
  ox -= win.x;
  oy -= win.y;
  tx += win.x;
  ty += win.y;

  auto shifted = [](const ShapePoints& p, int64_t ddx, int64_t ddy) {
    ShapePoints out(p.size());
    for (size_t i = 0; i + 1 < p.size(); i += 2) {
      out[i] = static_cast<int32_t>(p[i] + ddx);
      out[i + 1] = static_cast<int32_t>(p[i + 1] + ddy);
    }
    return out;
  };
  Coverage bodyCov, borderCov, shadowCov;
  if (!bodyCov.Make(win.width, win.height)) return ERR_MEM;
  ShapePoints bp = shifted(body, ox, oy);
  int32_t bn = static_cast<int32_t>(bp.size() / 2);
  if (filled)
    CoverageFillPolygon(&bodyCov, bp.data(), bn, aa);
  else
    CoveragePolyline(&bodyCov, bp.data(), bn, 1, lw, aa);
  if (border) {
    if (!borderCov.Make(win.width, win.height)) return ERR_MEM;
    ShapePoints op = shifted(outer, ox, oy);
    CoverageFillPolygon(&borderCov, op.data(), static_cast<int32_t>(op.size() / 2), aa);
  }
  if (shadow) {
    if (!shadowCov.Make(win.width, win.height)) return ERR_MEM;
    ShapePoints sp = shifted(border ? outer : body, ox - bx + sx, oy - by + sy);
    CoverageFillPolygon(&shadowCov, sp.data(), static_cast<int32_t>(sp.size() / 2), aa);
  }
  std::vector<uint32_t> source;
  if (ErrorCode e = makeFillSource(L, &s, win.width, win.height, static_cast<int32_t>(ox),
                                   static_cast<int32_t>(oy), w, h, &source))
    return e;
  Layer layers[3];
  int n = 0;
  if (shadow)
    layers[n++] =
        Layer{&shadowCov, s.shadowColor, 255 - static_cast<int32_t>(s.shadowColor >> 24), nullptr};
  if (border)
    layers[n++] =
        Layer{&borderCov, s.borderColor, 255 - static_cast<int32_t>(s.borderColor >> 24), nullptr};
  layers[n++] = Layer{&bodyCov, color, 255 - static_cast<int32_t>(color >> 24),
                      source.empty() ? nullptr : &source};
  std::vector<uint32_t> pixels;
  compose(&pixels, win.width, win.height, layers, n);
  if (tx < INT32_MIN || tx > INT32_MAX || ty < INT32_MIN || ty > INT32_MAX) return ERR_NONE;
  return DeliverShapeImage(L, pixels, win.width, win.height, static_cast<int32_t>(tx),
                           static_cast<int32_t>(ty), &os);
}

void BlendShapeImages(std::vector<uint32_t>* pixels, int32_t w, int32_t h,
                      const ShapeImageLayer* layers, int n) {
  compose(pixels, w, h, layers, n);
}

ErrorCode MakeShapeFillSource(VmState* L, const DrawStyle* s, int32_t w, int32_t h, int32_t bodyX,
                              int32_t bodyY, int32_t bodyW, int32_t bodyH,
                              std::vector<uint32_t>* out) {
  return makeFillSource(L, s, w, h, bodyX, bodyY, bodyW, bodyH, out);
}
