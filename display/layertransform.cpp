// Layer transforms and re-rendering: the effective matrix of a layer, its
// decomposition into rotation and scales, and drawing a layer again from
// its source through a transform into a new image state (instead of
// resampling its old pixels). Invariant: a layer's states are replaced only
// once the new one is fully drawn, so a failure leaves the old ones.
#include <algorithm>
#include <cmath>

#include "display/layer_private.h"

void freeTripleOf(LayerImageState* s);

namespace {

int32_t roundToInt(double v) { return VmTruncInt32(std::round(v)); }

constexpr double PI = 3.14159265358979323846;
constexpr double MATCH_TOLERANCE = 0.0001;  // the ratio test of the angle search
constexpr double SCALE_TOLERANCE = 0.01;    // scales closer than this count as one

bool isBitmapKind(int32_t type) {
  return type == LAYER_BRUSH || type == LAYER_ANIM || type == LAYER_BRUSHPART ||
         type == LAYER_BGPICPART || type == LAYER_VIDEO;
}

bool isTextKind(int32_t type) {
  return type == LAYER_TEXTOBJECT || type == LAYER_TEXTOUT || type == LAYER_PRINT;
}

// Draws a bitmap layer's source through the matrix about its anchor.
ErrorCode renderBitmapLayer(VmState* L, qmLayer* layer, LayerImageState* state,
                            const DisplayTransform& t) {
  LayerImageState* base = layer->base;
  LayerTriple source{};
  int32_t w = 0, h = 0, sx = 0, sy = 0;
  if (base->own.bitmap) {
    source = base->own;
    w = static_cast<int32_t>(GetBitmapAttr(source.bitmap, 0));
    h = static_cast<int32_t>(GetBitmapAttr(source.bitmap, 14));
  } else {
    const LayerKind* kind = GetLayerKind(layer->type);
    if (!kind || !kind->imageBitmaps) return ERR_WRONGUSAGE;
    if (ErrorCode e = kind->imageBitmaps(L, layer, base, state->frame, &source, &w, &h)) return e;
    sx = base->partX;
    sy = base->partY;
  }
  int32_t pw = std::min(base->requestedWidth > 0 ? base->requestedWidth : w, w - sx);
  int32_t ph = std::min(base->requestedHeight > 0 ? base->requestedHeight : h, h - sy);
  if (pw < 1 || ph < 1) return ERR_BADDIMENSIONS;
  const double m[4] = {t.m11, t.m12, t.m21, t.m22};
  LayerTriple made{};
  int32_t ow = 0, oh = 0;
  if (ErrorCode e =
          RotateScaleBitmap(source.bitmap, source.mask, source.alpha, sx, sy, pw, ph, m,
                            t.smoothScale, 0, &made.bitmap, &made.mask, &made.alpha, &ow, &oh))
    return VmBitmapFailureAsMem(e);
  // The untransformed image lies at the requested position less the
  // anchor's share of its size; turned about the anchor, it lands in the
  // box of its corner pixels, as a brush drawn straight onto the display
  // does.
  int32_t bx = 0, by = 0, bw = 0, bh = 0;
  ComputeRotatedBox(state->requestedX - roundToInt(pw * t.anchorX),
                    state->requestedY - roundToInt(ph * t.anchorY), pw, ph, t.anchorX, t.anchorY, m,
                    &bx, &by, &bw, &bh);
  freeTripleOf(state);
  state->transformed = made;
  state->x = bx;
  state->y = by;
  state->width = ow;
  state->height = oh;
  return ERR_NONE;
}

}  // namespace

void freeTripleOf(LayerImageState* s) {
  FreeBitmap(s->transformed.bitmap);
  FreeBitMask(s->transformed.mask);
  FreeAlphaChannel(s->transformed.alpha);
  s->transformed = LayerTriple{};
}

void ComputeLayerTransform(DisplayTransform* t, int32_t width, int32_t height) {
  if (t->hasMatrix) {
    t->m11 = t->matrix[0];
    t->m12 = t->matrix[1];
    t->m21 = t->matrix[2];
    t->m22 = t->matrix[3];
    return;
  }
  double m[4];
  BuildRotateScaleMatrix(m, t->width, t->height, width, height, t->scaleX, t->scaleY, t->rotate);
  t->m11 = m[0];
  t->m12 = m[1];
  t->m21 = m[2];
  t->m22 = m[3];
}

// The angle comes from atan2 and the scales from the column lengths, which
// is what a search of the whole-degree tables finds where it finds an
// entry; at 90 degrees (cosine 0) the table search has no sign to match,
// while this still finds the rotation.
DecomposedTransform DecomposeTransform(const DisplayTransform& t) {
  DecomposedTransform out{0, 0.0, 1.0, 1.0};
  if (t.m12 == 0 && t.m21 == 0) {
    out.scaleX = t.m11;
    out.scaleY = t.m22;
    return out;
  }
  out.shear = 1;
  // A rotation by a with scales sx, sy: m11 = sx cos a, m12 = sx sin a,
  // m21 = -sy sin a, m22 = sy cos a.
  double angleX = std::atan2(t.m12, t.m11);
  double angleY = std::atan2(-t.m21, t.m22);
  double sx = std::hypot(t.m11, t.m12), sy = std::hypot(t.m21, t.m22);
  double diff = std::remainder(angleX - angleY, 2 * PI);
  out.angle = angleX * 180.0 / PI;
  if (out.angle < 0) out.angle += 360.0;
  out.scaleX = sx;
  out.scaleY = sy;
  if (std::fabs(diff) <= MATCH_TOLERANCE && std::fabs(sx - sy) <= SCALE_TOLERANCE) out.shear = 0;
  return out;
}

void ScaleRectToDisplay(int32_t x, int32_t y, int32_t width, int32_t height, double scaleX,
                        double scaleY, int32_t* outX, int32_t* outY, int32_t* outWidth,
                        int32_t* outHeight) {
  // The first pixel's coordinate and the last one's are scaled and
  // rounded (halves away from zero); the size runs from the one to the
  // other, so a layer of one size lands at the same place and size
  // whatever it shows. In 64 bits, held to 32 at the end; a rectangle of
  // pixels never shrinks to nothing.
  auto scaled = [](int32_t start, int32_t size, double factor, int32_t* outStart,
                   int32_t* outSize) {
    const int32_t first = roundToInt(start * factor);
    const int64_t last = roundToInt(static_cast<double>(int64_t{start} + size - 1) * factor);
    int64_t length = last + 1 - first;
    if (size > 0) length = std::max<int64_t>(length, 1);
    if (outStart) *outStart = first;
    if (outSize) *outSize = VmClampInt32(length);
  };
  scaled(x, width, scaleX, outX, outWidth);
  scaled(y, height, scaleY, outY, outHeight);
}

void SetLayerOffset(qmLayer* layer, LayerImageState* s, int32_t x, int32_t y) {
  // In 64 bits, held to 32 at the end: a script's position may be any
  // 32-bit number, and a layer far out at one end moved to the other
  // would wrap round.
  int64_t dx = int64_t{x} - s->requestedX, dy = int64_t{y} - s->requestedY;
  int64_t ax = int64_t{x} - roundToInt(s->requestedWidth * layer->anchorX);
  int64_t ay = int64_t{y} - roundToInt(s->requestedHeight * layer->anchorY);
  if (layer->type == LAYER_LINE) {
    ax = s->anchoredX + dx;
    ay = s->anchoredY + dy;
  }
  s->x = VmClampInt32(ax + (int64_t{s->x} - s->anchoredX));
  s->y = VmClampInt32(ay + (int64_t{s->y} - s->anchoredY));
  s->anchoredX = VmClampInt32(ax);
  s->anchoredY = VmClampInt32(ay);
  s->requestedX = x;
  s->requestedY = y;
}

ErrorCode RenderLayerState(VmState* L, qmLayer* layer, LayerImageState* state,
                           DisplayTransform transform, uint32_t flags) {
  if (isBitmapKind(layer->type)) return renderBitmapLayer(L, layer, state, transform);
  const LayerKind* kind = GetLayerKind(layer->type);
  if (!kind || !kind->render) return ERR_WRONGUSAGE;
  return kind->render(L, layer, state, transform, flags);
}

namespace {

// Frees a state that no layer points to any more; a clip region copy made
// for it goes with it.
void freeUnusedState(VmState* L, int32_t type, LayerImageState* state) {
  const bool madeClip = state && state->clip && state->clip->madeForLayer;
  FreeImageState(L, type, state);
  if (madeClip) PruneClipRegions();
}

// Scales a state's drawn image to width x height when it has another size.
ErrorCode fitImage(LayerImageState* state, int32_t width, int32_t height, int32_t smooth) {
  LayerTriple& image = state->transformed;
  if (!image.bitmap || (state->width == width && state->height == height)) return ERR_NONE;
  LayerTriple fitted{};
  if (ErrorCode e = TransformBitmap(image.bitmap, image.mask, image.alpha, 0, 0, nullptr,
                                    state->width, state->height, width, height, smooth,
                                    &fitted.bitmap, image.mask ? &fitted.mask : nullptr,
                                    image.alpha ? &fitted.alpha : nullptr))
    return VmBitmapFailureAsMem(e);
  freeTripleOf(state);
  image = fitted;
  state->width = width;
  state->height = height;
  return ERR_NONE;
}

}  // namespace

ErrorCode RenderLayerImage(VmState* L, qmLayer* layer, uint32_t mode, DisplayRecord* d) {
  if (layer->heldDisplay) {
    // A running transition draws the layer through an image state of its
    // own: the layer's own state and transform are rendered in their
    // place, and the transition is told that its layer changed.
    LayerImageState* standIn = layer->display;
    DisplayTransform standInTransform = layer->transform;
    layer->display = layer->heldDisplay;
    layer->transform = layer->heldTransform;
    layer->heldDisplay = nullptr;
    ErrorCode e = RenderLayerImage(L, layer, mode, d);
    layer->heldDisplay = layer->display;
    layer->heldTransform = layer->transform;
    layer->display = standIn;
    layer->transform = standInTransform;
    if (e == ERR_NONE) {
      layer->heldChanges++;
      BroadcastAsyncDrawEvent(ADEVENT_CHANGED, reinterpret_cast<intptr_t>(layer));
    }
    return e;
  }
  DisplayTransform t = layer->transform;
  if (isTextKind(layer->type)) {
    DecomposedTransform parts = DecomposeTransform(t);
    if (!parts.shear) t.rotate = parts.angle;
  }
  bool scaleNow = (mode & RENDER_DISPLAYSCALE) && d;
  // Where the display shows the layer: the rectangle it has at the
  // picture's size, scaled as every layer's is (ScaleRectToDisplay), so
  // that layers of one size line up whatever they show.
  int32_t shownX = 0, shownY = 0, shownWidth = 0, shownHeight = 0;
  if (scaleNow) {
    const double fx = d->scaleX, fy = d->scaleY;
    const LayerImageState* u = layer->unscaled;
    ScaleRectToDisplay(u->x, u->y, u->width, u->height, fx, fy, &shownX, &shownY, &shownWidth,
                       &shownHeight);
    // The image is drawn again at that size (a shape whose outline comes
    // out a pixel off is fitted to it below). Text is drawn at the
    // display's own factors: its font scales, not its box.
    double kx = fx, ky = fy;
    if (!isTextKind(layer->type) && u->width > 0 && u->height > 0) {
      kx = static_cast<double>(shownWidth) / u->width;
      ky = static_cast<double>(shownHeight) / u->height;
    }
    t.m11 *= kx;
    t.m12 *= ky;
    t.m21 *= kx;
    t.m22 *= ky;
    if (std::fabs(fx - fy) > SCALE_TOLERANCE) t.smoothScale = 1;
  }
  LayerImageState* fresh = CopyLayerImageState(layer->type, layer->base);
  if (!fresh) return ERR_MEM;
  fresh->clip = layer->base->clip;
  // The clip region turns and scales with the layer, about its own anchor
  // point, unless the layer keeps it as it is. A display at another scale
  // keeps sharing it.
  const bool displayScaled = d && (d->scaleX != 1.0 || d->scaleY != 1.0);
  // Right angles leave sines and cosines a rounding error away from whole
  // numbers, which would put the region's box a pixel off the layer's.
  double m[4] = {t.m11, t.m12, t.m21, t.m22};
  for (double& v : m)
    if (std::fabs(v - std::round(v)) < 1e-9) v = std::round(v);
  if (fresh->clip && !layer->noClipTransform && !scaleNow && !displayScaled &&
      !(m[0] == 1 && m[1] == 0 && m[2] == 0 && m[3] == 1)) {
    fresh->clip = BuildRotatedClipMask(L, layer->base->clip, t.anchorX, t.anchorY, m, m, 1, 0);
    if (!fresh->clip) {
      FreeImageState(L, layer->type, fresh);
      return ERR_MEM;
    }
  }
  if (scaleNow) {
    // The display state lives in the display's pixels.
    fresh->requestedX = roundToInt(fresh->requestedX * d->scaleX);
    fresh->requestedY = roundToInt(fresh->requestedY * d->scaleY);
  }
  if (ErrorCode e = RenderLayerState(L, layer, fresh, t, mode)) {
    freeUnusedState(L, layer->type, fresh);
    return e;
  }
  if (scaleNow) {
    fresh->x = shownX;
    fresh->y = shownY;
    // A shape measures its outline its own way and may come out a pixel
    // larger or smaller: the image is fitted to the rectangle. Text keeps
    // the box its scaled font gives it: a font lays text out by metrics
    // of its own size, several pixels off twice the box of half the size,
    // and fitting would squeeze or stretch its glyphs by as much.
    if (!isTextKind(layer->type))
      if (ErrorCode e = fitImage(fresh, shownWidth, shownHeight, t.smoothScale)) {
        freeUnusedState(L, layer->type, fresh);
        return e;
      }
  }
  if (fresh->clip && fresh->clip != layer->base->clip) {
    // The region's box is worked out as the layer's would be; where the
    // drawn image landed apart from that, the region goes along.
    const LayerImageState* b = layer->base;
    int32_t bx = 0, by = 0, bw = 0, bh = 0;
    ComputeRotatedBox(b->x, b->y, b->width, b->height, t.anchorX, t.anchorY, m, &bx, &by, &bw, &bh);
    const int64_t cx = int64_t{fresh->clip->x} + fresh->x - bx;
    const int64_t cy = int64_t{fresh->clip->y} + fresh->y - by;
    if (cx >= 0 && cy >= 0 && cx <= INT32_MAX && cy <= INT32_MAX) {
      fresh->clip->x = static_cast<int32_t>(cx);
      fresh->clip->y = static_cast<int32_t>(cy);
    }
  }
  LayerImageState* old = scaleNow ? layer->display : layer->unscaled;
  if (scaleNow) {
    layer->display = fresh;
  } else {
    if (layer->display == layer->unscaled) layer->display = fresh;
    layer->unscaled = fresh;
  }
  if (old != layer->base && old != layer->unscaled && old != layer->display)
    freeUnusedState(L, layer->type, old);
  layerContext.cacheBuilds++;
  // A display scale that applies renders the display state as well.
  if (!scaleNow && d && d->layerscale && d->scaleWidth > 0 && d->scaleHeight > 0 &&
      GetLayerPicture() == d->bgpic && (d->scaleX != 1.0 || d->scaleY != 1.0))
    return RenderLayerImage(L, layer, mode | RENDER_DISPLAYSCALE | RENDER_TRANSFORM, d);
  return ERR_NONE;
}

void PlaceDisplayState(VmState* L, qmLayer* layer, DisplayRecord* d) {
  if (!d) return;
  const LayerImageState* u = layer->unscaled;
  LayerImageState* shown = layer->display;
  int32_t width = 0, height = 0;
  ScaleRectToDisplay(u->x, u->y, u->width, u->height, d->scaleX, d->scaleY, &shown->x, &shown->y,
                     &width, &height);
  // Rounded, a size covers a pixel more at some places than at others (38
  // pixels at 1.5 cover 57 from 70, 56 from 71): an image of the old size
  // is drawn again. Text keeps the box of its font; a layer that a
  // transition or an asynchronous drawing holds is drawn again by them.
  if ((width != shown->width || height != shown->height) && !isTextKind(layer->type) &&
      !layer->heldDisplay && !layer->asyncUse)
    RenderLayerImage(L, layer, RENDER_DISPLAYSCALE | RENDER_TRANSFORM, d);
}

ErrorCode RerenderLayerImage(VmState* L, qmLayer* layer) {
  return RenderLayerImage(L, layer, RENDER_DISPLAYSCALE | RENDER_TRANSFORM, GetLayerDisplay());
}

void UnscaleLayerStates(VmState* L, BGPic* pic) {
  if (!pic) return;
  for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l)) {
    // While a transition draws the layer through a state of its own, the
    // layer's own displayed state is the held one.
    LayerImageState*& shown = l->heldDisplay ? l->heldDisplay : l->display;
    if (shown == l->unscaled) continue;
    LayerImageState* old = shown;
    shown = l->unscaled;
    if (old != l->base && old != l->unscaled && old != l->display) freeUnusedState(L, l->type, old);
    if (l->heldDisplay || l->asyncUse)
      BroadcastAsyncDrawEvent(ADEVENT_CHANGED, reinterpret_cast<intptr_t>(l));
  }
}

namespace {

// The kinds that draw themselves from a record (text, shapes, paths, a
// text object's text): what is drawn into such a layer would be lost the
// next time it is drawn again, so it becomes a brush layer first.
bool drawnFromRecord(int32_t type) {
  switch (type) {
    case LAYER_TEXTOBJECT:
    case LAYER_TEXTOUT:
    case LAYER_PRINT:
    case LAYER_BOX:
    case LAYER_CIRCLE:
    case LAYER_ELLIPSE:
    case LAYER_LINE:
    case LAYER_POLYGON:
    case LAYER_ARC:
    case LAYER_VECTORPATH:
      return true;
    default:
      return false;
  }
}

bool isPlainMatrix(const DisplayTransform& t) {
  return t.m11 == 1 && t.m12 == 0 && t.m21 == 0 && t.m22 == 1;
}

}  // namespace

ErrorCode MakeLayerDrawable(VmState* L, qmLayer* layer) {
  if (layer->asyncUse) return ERR_RENDERADLAYER;
  if (!drawnFromRecord(layer->type)) return ERR_NONE;
  const LayerBrushServices* brushes = layerContext.brushes;
  if (!brushes || !brushes->adoptBrush || !brushes->freeBrush) return ERR_WRONGUSAGE;
  LayerImageState* base = layer->base;
  // The untransformed image the layer was made with (a text object's
  // own bitmaps), copied for the brush.
  LayerTriple shown{};
  int32_t w = 0, h = 0;
  if (ErrorCode e = GetLayerImageBitmaps(L, layer, base, 0, 0, -1, &shown, &w, &h, nullptr))
    return e;
  LayerTriple copy{};
  if (ErrorCode e = ConvertBitmap(shown.bitmap, shown.mask, shown.alpha, 0, 0, w, h, 0, 0, nullptr,
                                  nullptr, &copy.bitmap, &copy.mask, &copy.alpha))
    return e;
  LayerImageState* fresh = AllocLayerImageState();
  if (!fresh) {
    FreeBitmap(copy.bitmap);
    FreeBitMask(copy.mask);
    FreeAlphaChannel(copy.alpha);
    return ERR_MEM;
  }
  ObjectId id{};
  if (ErrorCode e = brushes->adoptBrush(copy, w, h, &id)) {
    FreeMemory(fresh);
    return e;
  }
  // The image keeps its place: its requested point is where the anchor
  // of the brush-sized box lies, as for any brush layer.
  fresh->x = fresh->anchoredX = base->x;
  fresh->y = fresh->anchoredY = base->y;
  fresh->width = fresh->requestedWidth = w;
  fresh->height = fresh->requestedHeight = h;
  fresh->requestedX = base->x + roundToInt(layer->anchorX * w);
  fresh->requestedY = base->y + roundToInt(layer->anchorY * h);
  fresh->clip = base->clip;
  LayerImageState* old[3] = {layer->base, layer->unscaled, layer->display};
  bool madeClip = false;
  for (int i = 0; i < 3; ++i) {
    bool seen = false;
    for (int j = 0; j < i; ++j) seen = seen || old[j] == old[i];
    if (seen || !old[i]) continue;
    madeClip =
        madeClip || (old[i]->clip && old[i]->clip != fresh->clip && old[i]->clip->madeForLayer);
    FreeImageState(L, layer->type, old[i]);
  }
  if (madeClip) PruneClipRegions();
  layer->base = layer->unscaled = layer->display = fresh;
  const int32_t oldType = layer->type;
  layer->type = LAYER_BRUSH;
  layer->sourceId = id;
  // The brush belongs to the layer: freed now, it stays hidden until the
  // layer goes. A text object freed while the layer showed it goes now.
  brushes->freeBrush(L, id);
  if (uint32_t kinds = DeferKindOfType(oldType)) FlushDeferredFrees(L, kinds);
  // Shown as before: through the layer's transform and at the display's
  // scale.
  DisplayRecord* d = GetLayerDisplay();
  if (!isPlainMatrix(layer->transform)) return RenderLayerImage(L, layer, RENDER_TRANSFORM, d);
  if (DisplayScalesLayers(d, GetLayerPicture()))
    return RenderLayerImage(L, layer, RENDER_DISPLAYSCALE | RENDER_TRANSFORM, d);
  return ERR_NONE;
}
