// The layer composer and the refresh paths: REDRAW composes a rectangle of
// a background picture (background, then every visible layer with its
// shadow, border and body) into the display's window bitmap, which is then
// shown; changes either refresh at once or queue their rectangle while a
// picture is selected as output. Derived bitmaps (filtered, bordered,
// shadow) are built here on demand and cached in the image states.
// Invariant: only the asked rectangle is composed, and every layer is cut
// to it before any bitmap work.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "display/context_private.h"
#include "display/display_private.h"
#include "display/layer_private.h"

namespace {

int32_t roundToInt(double v) { return VmTruncInt32(std::round(v)); }

// Locks released on every path.
struct Lock {
  BitmapLock lock{};
  bool held = false;
  bool take(BitmapHandle* b, uint32_t flags) {
    if (!b) return false;
    held = LockBitmap(b, flags, &lock) != 0;
    return held;
  }
  ~Lock() {
    if (held) UnlockBitmap(&lock);
  }
};

inline bool maskBit(const BitmapLock& m, int32_t x, int32_t y) {
  if (x < 0 || y < 0 || x >= m.width || y >= m.height) return false;
  const uint8_t* row = m.address + static_cast<ptrdiff_t>(y) * m.rowLength;
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

inline uint8_t mix(uint8_t d, uint8_t s, uint32_t a) {
  return static_cast<uint8_t>(
      d + ((static_cast<int32_t>(s) - d) * static_cast<int32_t>(a) + (s >= d ? 127 : -127)) / 255);
}

// Blends width x height pixels of source (at sx, sy; mask and alpha
// aligned with it) into dest at dx, dy at opacity 0-255, through the clip
// region's mask (in picture coordinates). The caller has clipped the
// rectangle to both bitmaps.
void blendInto(BitmapHandle* dest, int32_t dx, int32_t dy, BitmapHandle* source, BitmapHandle* mask,
               BitmapHandle* alpha, int32_t sx, int32_t sy, int32_t width, int32_t height,
               int32_t opacity, const ClipRegion* clip) {
  if (width < 1 || height < 1 || opacity <= 0) return;
  Lock d, s, m, a, c;
  if (!d.take(dest, 0) || !s.take(source, 1)) return;
  if (mask && !m.take(mask, 1)) return;
  if (alpha && !a.take(alpha, 1)) return;
  if (clip && clip->mask && !c.take(clip->mask, 1)) return;
  // Keep inside both locks.
  if (sx < 0 || sy < 0 || dx < 0 || dy < 0) return;
  width = std::min({width, s.lock.width - sx, d.lock.width - dx});
  height = std::min({height, s.lock.height - sy, d.lock.height - dy});
  if (width < 1 || height < 1) return;
  bool same = s.lock.pixelFormat == d.lock.pixelFormat && s.lock.bytesPerPixel == 4 &&
              d.lock.bytesPerPixel == 4;
  bool plain = !mask && !alpha && !c.held && opacity >= 255;
  for (int32_t j = 0; j < height; ++j) {
    uint8_t* drow =
        d.lock.address + static_cast<ptrdiff_t>(dy + j) * d.lock.rowLength * d.lock.bytesPerPixel;
    const uint8_t* srow =
        s.lock.address + static_cast<ptrdiff_t>(sy + j) * s.lock.rowLength * s.lock.bytesPerPixel;
    if (plain && same) {
      std::memcpy(drow + static_cast<ptrdiff_t>(dx) * 4, srow + static_cast<ptrdiff_t>(sx) * 4,
                  static_cast<size_t>(width) * 4);
      continue;
    }
    const uint8_t* arow =
        a.held ? a.lock.address + static_cast<ptrdiff_t>(sy + j) * a.lock.rowLength : nullptr;
    // Alike 32-bit pixels through an alpha channel covering the row, or at
    // one opacity, with nothing to leave out: the row kernel blends them.
    if (same && !m.held && !c.held &&
        (!a.held || (sy + j < a.lock.height && sx + width <= a.lock.width))) {
      AlphaBlendPixelRow(reinterpret_cast<uint32_t*>(drow) + dx,
                         reinterpret_cast<const uint32_t*>(srow) + sx, arow ? arow + sx : nullptr,
                         width, opacity);
      continue;
    }
    // Alike 32-bit pixels through a mask alone, at full opacity: each set
    // bit copies its pixel, a byte of the mask at a time where it can.
    if (same && m.held && !a.held && !c.held && opacity >= 255) {
      if (sy + j >= m.lock.height) continue;
      const uint8_t* mrow = m.lock.address + static_cast<ptrdiff_t>(sy + j) * m.lock.rowLength;
      auto* dp = reinterpret_cast<uint32_t*>(drow) + dx;
      const auto* sp = reinterpret_cast<const uint32_t*>(srow) + sx;
      int32_t end = std::min(width, m.lock.width - sx), i = 0;
      for (; i < end && ((sx + i) & 7); ++i)
        if ((mrow[(sx + i) >> 3] >> (7 - ((sx + i) & 7))) & 1) dp[i] = sp[i];
      for (; i + 8 <= end; i += 8) {
        uint32_t bits = mrow[(sx + i) >> 3];
        if (bits == 0xFF) {
          std::memcpy(dp + i, sp + i, 8 * sizeof(uint32_t));
        } else if (bits) {
          for (int32_t k = 0; k < 8; ++k)
            if ((bits >> (7 - k)) & 1) dp[i + k] = sp[i + k];
        }
      }
      for (; i < end; ++i)
        if ((mrow[(sx + i) >> 3] >> (7 - ((sx + i) & 7))) & 1) dp[i] = sp[i];
      continue;
    }
    for (int32_t i = 0; i < width; ++i) {
      uint32_t level = 255;
      if (m.held && !maskBit(m.lock, sx + i, sy + j)) continue;
      if (arow) {
        if (sx + i >= a.lock.width || sy + j >= a.lock.height) continue;
        level = arow[sx + i];
      }
      if (c.held && !maskBit(c.lock, dx + i - clip->x, dy + j - clip->y)) continue;
      level = level * static_cast<uint32_t>(opacity) / 255;
      if (!level) continue;
      if (same) {
        uint8_t* dp = drow + static_cast<ptrdiff_t>(dx + i) * 4;
        const uint8_t* sp = srow + static_cast<ptrdiff_t>(sx + i) * 4;
        if (level >= 255) {
          std::memcpy(dp, sp, 4);
        } else {
          for (int k = 0; k < 4; ++k) dp[k] = mix(dp[k], sp[k], level);
        }
      } else {
        ArgbColor sc =
            PixelToColor(ReadBitmapPixel(source, sx + i, sy + j, 0), s.lock.pixelFormat, 0);
        ArgbColor dc =
            PixelToColor(ReadBitmapPixel(dest, dx + i, dy + j, 0), d.lock.pixelFormat, 0);
        ArgbColor out = 0xFF000000u;
        for (int k = 0; k < 24; k += 8)
          out |= static_cast<uint32_t>(
                     mix(static_cast<uint8_t>(dc >> k), static_cast<uint8_t>(sc >> k), level))
                 << k;
        WriteBitmapPixel(dest, dx + i, dy + j, ColorToPixel(out, d.lock.pixelFormat, 0), 0);
      }
    }
  }
}

// Fills width x height pixels of dest at dx, dy with the colour through an
// alpha map (at ax, ay) at opacity, through the clip region's mask.
void fillThrough(BitmapHandle* dest, int32_t dx, int32_t dy, ArgbColor colour, BitmapHandle* map,
                 int32_t ax, int32_t ay, int32_t width, int32_t height, int32_t opacity,
                 const ClipRegion* clip) {
  if (width < 1 || height < 1 || opacity <= 0) return;
  Lock d, a, c;
  if (!d.take(dest, 0) || !a.take(map, 1)) return;
  if (clip && clip->mask && !c.take(clip->mask, 1)) return;
  if (ax < 0 || ay < 0 || dx < 0 || dy < 0) return;
  width = std::min({width, a.lock.width - ax, d.lock.width - dx});
  height = std::min({height, a.lock.height - ay, d.lock.height - dy});
  uint32_t pixel = ColorToPixel(colour | 0xFF000000u, d.lock.pixelFormat, 0);
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* arow = a.lock.address + static_cast<ptrdiff_t>(ay + j) * a.lock.rowLength;
    uint8_t* drow =
        d.lock.address + static_cast<ptrdiff_t>(dy + j) * d.lock.rowLength * d.lock.bytesPerPixel;
    for (int32_t i = 0; i < width; ++i) {
      uint32_t level = arow[ax + i] * static_cast<uint32_t>(opacity) / 255;
      if (!level) continue;
      if (c.held && !maskBit(c.lock, dx + i - clip->x, dy + j - clip->y)) continue;
      if (d.lock.bytesPerPixel == 4) {
        uint8_t* dp = drow + static_cast<ptrdiff_t>(dx + i) * 4;
        uint8_t sp[4];
        std::memcpy(sp, &pixel, 4);
        for (int k = 0; k < 4; ++k) dp[k] = level >= 255 ? sp[k] : mix(dp[k], sp[k], level);
      } else {
        ArgbColor dc =
            PixelToColor(ReadBitmapPixel(dest, dx + i, dy + j, 0), d.lock.pixelFormat, 0);
        ArgbColor out = 0xFF000000u;
        for (int k = 0; k < 24; k += 8)
          out |= static_cast<uint32_t>(
                     mix(static_cast<uint8_t>(dc >> k), static_cast<uint8_t>(colour >> k), level))
                 << k;
        WriteBitmapPixel(dest, dx + i, dy + j, ColorToPixel(out, d.lock.pixelFormat, 0), 0);
      }
    }
  }
}

bool anyFilterOn(const qmLayer* layer) {
  for (const FilterSlot& f : layer->filters)
    if (f.on) return true;
  return false;
}

// Opacity 0-255 scaled by a fade level (0: none, else 1-256).
int32_t faded(int32_t opacity, int32_t fade) {
  if (!fade) return opacity;
  return roundToInt(opacity * (fade - 1) / 255.0);
}

// The filtered triple: a copy of the image with the filter slots run over it.
ErrorCode buildFiltered(VmState* L, qmLayer* layer, LayerImageState* s) {
  LayerTriple from{};
  int32_t w = 0, h = 0, fromSource = 0;
  if (ErrorCode e = GetLayerImageBitmaps(L, layer, s, 0, 1, -1, &from, &w, &h, &fromSource))
    return e;
  int32_t sx = fromSource ? s->partX : 0, sy = fromSource ? s->partY : 0;
  if (fromSource) {
    w = std::min(w - sx, s->width);
    h = std::min(h - sy, s->height);
  }
  LayerTriple made{};
  if (ErrorCode e = ConvertBitmap(from.bitmap, from.mask, from.alpha, sx, sy, w, h, 0, 0, nullptr,
                                  nullptr, &made.bitmap, &made.mask, &made.alpha))
    return e;
  if (ErrorCode e = ApplyLayerEffects(layer->filters, made.bitmap, made.mask, made.alpha, w, h)) {
    FreeBitmap(made.bitmap);
    FreeBitMask(made.mask);
    FreeAlphaChannel(made.alpha);
    return e;
  }
  s->filtered = made;
  layerContext.cacheBuilds++;
  return ERR_NONE;
}

// The silhouette of the image as an alpha map (255 where visible, or the
// alpha channel's level), w x h.
BitmapHandle* silhouette(const LayerTriple& t, int32_t sx, int32_t sy, int32_t w, int32_t h) {
  BitmapHandle* out = AllocAlphaChannel(w, h, 1, nullptr, 0);
  if (!out) return nullptr;
  if (t.alpha) {
    Lock in, o;
    if (in.take(t.alpha, 1) && o.take(out, 0)) {
      int32_t cw = std::min(w, in.lock.width - sx), ch = std::min(h, in.lock.height - sy);
      for (int32_t j = 0; j < ch; ++j)
        std::memcpy(o.lock.address + static_cast<ptrdiff_t>(j) * o.lock.rowLength,
                    in.lock.address + static_cast<ptrdiff_t>(sy + j) * in.lock.rowLength + sx,
                    static_cast<size_t>(std::max(cw, 0)));
    }
  } else if (t.mask) {
    MaskToAlphaRect(t.mask, sx, sy, out, 0, 0, w, h, 255);
  } else {
    FillAlphaRect(out, 0, 0, w, h, 255);
  }
  return out;
}

// The bordered triple: the silhouette grown by the border size on every
// side (a square neighbourhood), in the border colour. The outline filters
// run over it first, as over the image.
ErrorCode buildBordered(VmState* L, qmLayer* layer, LayerImageState* s) {
  const LayerKind* kind = GetLayerKind(layer->type);
  if (kind && kind->outline) {
    if (ErrorCode e = kind->outline(L, layer, s)) return e;
    layerContext.cacheBuilds++;
    return ERR_NONE;
  }
  LayerTriple from{};
  int32_t w = 0, h = 0, fromSource = 0;
  if (ErrorCode e = GetLayerImageBitmaps(L, layer, s, 0, 1, -1, &from, &w, &h, &fromSource))
    return e;
  int32_t sx = fromSource ? s->partX : 0, sy = fromSource ? s->partY : 0;
  w = std::min(w - sx, s->width);
  h = std::min(h - sy, s->height);
  if (w < 1 || h < 1) return ERR_WRONGUSAGE;
  int32_t b = std::max(layer->border.size, 0);
  OwnedBitmap shape(silhouette(from, sx, sy, w, h));
  if (!shape) return ERR_ALLOCALPHA;
  if (layer->outlineFilters) {
    FilterSlot only[FILTER_SLOTS] = {};
    for (int32_t i :
         {FILTER_PIXELATE, FILTER_SWIRL, FILTER_WATERRIPPLE, FILTER_XFLIP, FILTER_YFLIP})
      only[i] = layer->filters[i];
    OwnedBitmap scratch(AllocBitmap(w, h, 0, nullptr));
    if (!scratch) return ERR_BITMAP;
    if (ErrorCode e = ApplyLayerEffects(only, scratch.get(), nullptr, shape.get(), w, h)) return e;
  }
  int64_t bw64 = int64_t{w} + 2 * int64_t{b}, bh64 = int64_t{h} + 2 * int64_t{b};
  if (bw64 > INT32_MAX || bh64 > INT32_MAX) return ERR_BITMAP;
  int32_t bw = static_cast<int32_t>(bw64), bh = static_cast<int32_t>(bh64);
  OwnedBitmap pixels(AllocBitmap(bw, bh, 0, nullptr));
  OwnedBitmap ring(AllocAlphaChannel(bw, bh, 1, nullptr, 0));
  if (!pixels || !ring) return ring ? ERR_BITMAP : ERR_ALLOCALPHA;
  FillBitmapRect(pixels.get(), 0, 0, bw, bh, layer->border.colour | 0xFF000000u);
  {
    // Separable maximum: rows first into a scratch, then columns.
    Lock in, out;
    if (!in.take(shape.get(), 1) || !out.take(ring.get(), 0)) return ERR_LOCKBMAP;
    std::vector<uint8_t> rows(static_cast<size_t>(bw) * static_cast<size_t>(h), 0);
    for (int32_t j = 0; j < h; ++j) {
      const uint8_t* src = in.lock.address + static_cast<ptrdiff_t>(j) * in.lock.rowLength;
      uint8_t* dst = rows.data() + static_cast<size_t>(j) * static_cast<size_t>(bw);
      for (int32_t i = 0; i < w; ++i) {
        if (!src[i]) continue;
        for (int32_t k = i; k <= i + 2 * b; ++k) dst[k] = std::max(dst[k], src[i]);
      }
    }
    for (int32_t j = 0; j < h; ++j) {
      const uint8_t* src = rows.data() + static_cast<size_t>(j) * static_cast<size_t>(bw);
      for (int32_t i = 0; i < bw; ++i) {
        if (!src[i]) continue;
        for (int32_t k = j; k <= j + 2 * b; ++k) {
          uint8_t* dst = out.lock.address + static_cast<ptrdiff_t>(k) * out.lock.rowLength + i;
          *dst = std::max(*dst, src[i]);
        }
      }
    }
  }
  s->bordered = LayerTriple{pixels.release(), nullptr, ring.release()};
  s->borderX = b;
  s->borderY = b;
  s->borderWidth = bw;
  s->borderHeight = bh;
  layerContext.cacheBuilds++;
  return ERR_NONE;
}

// r grown by gx on the left and right and gy at the top and bottom, in 64
// bits and held to 32: border sizes and shadow radii and distances are
// scripts' numbers.
LayerRect grownRect(const LayerRect& r, int64_t gx, int64_t gy) {
  return LayerRect{VmClampInt32(r.x - gx), VmClampInt32(r.y - gy), VmClampInt32(r.width + 2 * gx),
                   VmClampInt32(r.height + 2 * gy)};
}

// Where the shadow lies, and its alpha map's size.
LayerRect shadowRect(const DisplayRecord* d, const qmLayer* layer, const LayerImageState* s,
                     int32_t mapWidth, int32_t mapHeight) {
  LayerRect r{s->x, s->y, s->width, s->height};
  if (layer->border.on && s->bordered.bitmap) {
    r = LayerRect{s->x - s->borderX, s->y - s->borderY, s->borderWidth, s->borderHeight};
  } else if (layer->border.on) {
    int32_t b = std::max(layer->border.size, 0);
    r = grownRect(StateRect(s), b, b);
  }
  int64_t grow =
      mapWidth > 0 ? (int64_t{mapWidth} - r.width) / 2 : roundToInt(layer->shadow.radius);
  int64_t growY = mapHeight > 0 ? (int64_t{mapHeight} - r.height) / 2 : grow;
  r = grownRect(r, grow, growY);
  double fx = 1.0, fy = 1.0;
  if (d && d->layerscale && d->scaleWidth > 0 && d->scaleHeight > 0) {
    fx = d->scaleX;
    fy = d->scaleY;
  }
  const int64_t ox = roundToInt(layer->shadow.size * fx), oy = roundToInt(layer->shadow.size * fy);
  int64_t dx = 0, dy = 0;
  switch (layer->shadow.direction) {
    case SHDWNORTH:
      dy = -oy;
      break;
    case SHDWNORTHEAST:
      dy = -oy;
      dx = ox;
      break;
    case SHDWEAST:
      dx = ox;
      break;
    case SHDWSOUTHEAST:
      dx = ox;
      dy = oy;
      break;
    case SHDWSOUTH:
      dy = oy;
      break;
    case SHDWSOUTHWEST:
      dy = oy;
      dx = -ox;
      break;
    case SHDWWEST:
      dx = -ox;
      break;
    default:
      dx = -ox;
      dy = -oy;
      break;
  }
  r.x = VmClampInt32(r.x + dx);
  r.y = VmClampInt32(r.y + dy);
  return r;
}

ErrorCode buildShadow(VmState* L, qmLayer* layer, LayerImageState* s) {
  int32_t opacity =
      faded(255 - static_cast<int32_t>(layer->shadow.colour >> 24), layer->shadowFade);
  if (layer->border.on && s->bordered.bitmap) {
    s->shadow = BuildBlurredAlpha(nullptr, s->bordered.alpha, 0, 0, s->borderWidth, s->borderHeight,
                                  layer->shadow.radius, layer->shadow.sigma, opacity, 0, 0);
  } else {
    LayerTriple from{};
    int32_t w = 0, h = 0, fromSource = 0;
    if (ErrorCode e = GetLayerImageBitmaps(L, layer, s, 1, 1, -1, &from, &w, &h, &fromSource))
      return e;
    int32_t sx = fromSource ? s->partX : 0, sy = fromSource ? s->partY : 0;
    s->shadow = BuildBlurredAlpha(from.mask, from.alpha, sx, sy, std::min(w - sx, s->width),
                                  std::min(h - sy, s->height), layer->shadow.radius,
                                  layer->shadow.sigma, opacity, 0, 0);
  }
  if (!s->shadow) return ERR_ALLOCALPHA;
  layerContext.cacheBuilds++;
  return ERR_NONE;
}

void drawLayer(VmState* L, DisplayRecord* d, qmLayer* layer, LayerImageState* s, BitmapHandle* dest,
               const LayerRect& area) {
  LayerRect work = area;
  if (s->clip &&
      !IntersectRects(area, LayerRect{s->clip->x, s->clip->y, s->clip->width, s->clip->height},
                      &work))
    return;
  LayerRect bounds;
  GetLayerBounds(L, layer, s, &bounds);
  if (!RectsOverlap(bounds, work)) return;
  if (anyFilterOn(layer) && !s->filtered.bitmap && buildFiltered(L, layer, s) != ERR_NONE) return;
  int32_t opacity = 255 - std::clamp(layer->transparency, 0, 255);

  if (layer->border.on && !s->bordered.bitmap && buildBordered(L, layer, s) != ERR_NONE) return;
  if (layer->shadow.on) {
    if (!s->shadow && buildShadow(L, layer, s) != ERR_NONE) return;
    int32_t mw = static_cast<int32_t>(GetBitmapAttr(s->shadow, 0));
    int32_t mh = static_cast<int32_t>(GetBitmapAttr(s->shadow, 14));
    LayerRect r = shadowRect(d, layer, s, mw, mh), part;
    if (IntersectRects(r, work, &part))
      fillThrough(dest, part.x, part.y, layer->shadow.colour & 0xFFFFFF, s->shadow, part.x - r.x,
                  part.y - r.y, part.width, part.height, 255, s->clip);
  }
  if (layer->border.on && s->bordered.bitmap) {
    LayerRect r{s->x - s->borderX, s->y - s->borderY, s->borderWidth, s->borderHeight}, part;
    if (IntersectRects(r, work, &part))
      blendInto(dest, part.x, part.y, s->bordered.bitmap, s->bordered.mask, s->bordered.alpha,
                part.x - r.x, part.y - r.y, part.width, part.height,
                faded(opacity, layer->borderFade), s->clip);
  }
  // A shape or path drawn without fill in the border's colour: the border
  // already shows it, and its body blended over it again would darken a
  // transparent layer's outline.
  if (layer->border.on) {
    LayerBodyTest hidden = GetLayerBodyTest(layer->type);
    if (hidden && hidden(layer, s)) return;
  }
  LayerRect part;
  if (!IntersectRects(StateRect(s), work, &part)) return;
  LayerTriple t{};
  int32_t w = 0, h = 0, fromSource = 0;
  if (GetLayerImageBitmaps(L, layer, s, 1, 1, -1, &t, &w, &h, &fromSource) != ERR_NONE) return;
  int32_t sx = part.x - s->x, sy = part.y - s->y;
  if (fromSource) {
    sx += s->partX;
    sy += s->partY;
  }
  blendInto(dest, part.x, part.y, t.bitmap, t.mask, t.alpha, sx, sy, part.width, part.height,
            opacity, s->clip);
}

// The most rectangles the uncovered part of a redraw may split into; past
// that the layers further down are drawn over the parts as they are, which
// only costs work that is hidden afterwards.
constexpr size_t MAX_UNCOVERED_PARTS = 64;

// Whether the layer's body is sure to paint every pixel of its rectangle
// opaquely with nothing of its own around it (no transparency, mask,
// alpha channel, clip region, filter, border or shadow): what lies below
// it there is hidden, so the composer need not draw it.
bool coversItsRect(const qmLayer* layer, const LayerImageState* s) {
  if (layer->transparency > 0 || layer->shadow.on || layer->border.on || s->clip ||
      anyFilterOn(layer) || s->width < 1 || s->height < 1)
    return false;
  const LayerTriple& t = s->transformed.bitmap ? s->transformed : s->own;
  if (!t.bitmap || t.mask || t.alpha || t.bitmap->video || t.bitmap->adapterMade) return false;
  return GetBitmapAttr(t.bitmap, 0) >= s->width && GetBitmapAttr(t.bitmap, 14) >= s->height;
}

// Takes cut out of each rectangle of parts (at most four pieces each).
void subtractRect(std::vector<LayerRect>* parts, const LayerRect& cut) {
  std::vector<LayerRect> kept;
  kept.reserve(parts->size() + 4);
  for (const LayerRect& r : *parts) {
    LayerRect in;
    if (!IntersectRects(r, cut, &in)) {
      kept.push_back(r);
      continue;
    }
    int32_t right = r.x + r.width, bottom = r.y + r.height;
    if (in.y > r.y) kept.push_back({r.x, r.y, r.width, in.y - r.y});
    if (in.y + in.height < bottom)
      kept.push_back({r.x, in.y + in.height, r.width, bottom - in.y - in.height});
    if (in.x > r.x) kept.push_back({r.x, in.y, in.x - r.x, in.height});
    if (in.x + in.width < right)
      kept.push_back({in.x + in.width, in.y, right - in.x - in.width, in.height});
  }
  parts->swap(kept);
}

}  // namespace

// ---- Rectangles ----

bool IntersectRects(const LayerRect& a, const LayerRect& b, LayerRect* out) {
  if (a.width < 1 || a.height < 1 || b.width < 1 || b.height < 1) return false;
  int64_t x1 = std::max<int64_t>(a.x, b.x), y1 = std::max<int64_t>(a.y, b.y);
  int64_t x2 = std::min<int64_t>(int64_t{a.x} + a.width, int64_t{b.x} + b.width);
  int64_t y2 = std::min<int64_t>(int64_t{a.y} + a.height, int64_t{b.y} + b.height);
  if (x2 <= x1 || y2 <= y1) return false;
  if (out)
    *out = LayerRect{static_cast<int32_t>(x1), static_cast<int32_t>(y1),
                     static_cast<int32_t>(x2 - x1), static_cast<int32_t>(y2 - y1)};
  return true;
}

bool RectsOverlap(const LayerRect& a, const LayerRect& b) { return IntersectRects(a, b, nullptr); }

void UniteRect(LayerRect* into, const LayerRect& with) {
  if (with.width < 1 || with.height < 1) return;
  if (into->width < 1 || into->height < 1) {
    *into = with;
    return;
  }
  int64_t x1 = std::min(into->x, with.x), y1 = std::min(into->y, with.y);
  int64_t x2 = std::max(int64_t{into->x} + into->width, int64_t{with.x} + with.width);
  int64_t y2 = std::max(int64_t{into->y} + into->height, int64_t{with.y} + with.height);
  *into = LayerRect{static_cast<int32_t>(x1), static_cast<int32_t>(y1),
                    static_cast<int32_t>(std::min<int64_t>(x2 - x1, INT32_MAX)),
                    static_cast<int32_t>(std::min<int64_t>(y2 - y1, INT32_MAX))};
}

// ---- Bitmaps of a layer ----

ErrorCode GetLayerImageBitmaps(VmState* L, qmLayer* layer, LayerImageState* s, int useFiltered,
                               int useTransformed, int32_t frame, LayerTriple* out, int32_t* width,
                               int32_t* height, int32_t* fromSource) {
  *out = LayerTriple{};
  if (fromSource) *fromSource = 0;
  if (layer->type == LAYER_NOOBJECT) return ERR_WRONGUSAGE;
  if (useFiltered && anyFilterOn(layer) && !s->filtered.bitmap)
    if (ErrorCode e = buildFiltered(L, layer, s)) return e;
  const LayerTriple* pick = nullptr;
  if (useFiltered && s->filtered.bitmap)
    pick = &s->filtered;
  else if (useTransformed && s->transformed.bitmap)
    pick = &s->transformed;
  else if (s->own.bitmap)
    pick = &s->own;
  if (pick) {
    *out = *pick;
    *width = static_cast<int32_t>(GetBitmapAttr(pick->bitmap, 0));
    *height = static_cast<int32_t>(GetBitmapAttr(pick->bitmap, 14));
    return ERR_NONE;
  }
  const LayerKind* kind = GetLayerKind(layer->type);
  if (!kind || !kind->imageBitmaps) return ERR_WRONGUSAGE;
  if (ErrorCode e = kind->imageBitmaps(L, layer, s, frame, out, width, height)) return e;
  if (fromSource) *fromSource = 1;
  return ERR_NONE;
}

void GetLayerBounds(VmState*, qmLayer* layer, LayerImageState* s, LayerRect* out) {
  *out = StateRect(s);
  const DisplayRecord* d = GetLayerDisplay();
  if (layer->border.on) {
    int32_t b = std::max(layer->border.size, 0);
    LayerRect r = s->bordered.bitmap ? LayerRect{s->x - s->borderX, s->y - s->borderY,
                                                 s->borderWidth, s->borderHeight}
                                     : grownRect(StateRect(s), b, b);
    UniteRect(out, r);
  }
  if (layer->shadow.on) {
    int32_t mw = s->shadow ? static_cast<int32_t>(GetBitmapAttr(s->shadow, 0)) : 0;
    int32_t mh = s->shadow ? static_cast<int32_t>(GetBitmapAttr(s->shadow, 14)) : 0;
    UniteRect(out, shadowRect(d, layer, s, mw, mh));
  }
}

int IsLayerUncovered(const BGPic*, const qmLayer* layer) {
  LayerRect r = StateRect(layer->display);
  for (qmLayer* l = NextLayer(layer); l; l = NextLayer(l))
    if (!l->hidden && !l->pending && RectsOverlap(StateRect(l->display), r)) return 0;
  return 1;
}

// ---- Composing ----

BitmapHandle* GetComposeBuffer(DisplayRecord* d) { return d ? d->windowBitmap : nullptr; }

void Redraw(VmState* L, DisplayRecord* d, BGPic* pic, BitmapHandle* dest, int32_t x, int32_t y,
            int32_t width, int32_t height, uint32_t flags) {
  if (width < 1 || height < 1) {
    PrintToConsole("ERROR! REDRAW CALLED WITH WIDTH/HEIGHT <= 0\n");
    return;
  }
  if (x < 0 || y < 0) {
    PrintToConsole("ERROR! REDRAW CALLED WITH NEGATIVE X/Y COORDINATES\n");
    return;
  }
  if (!dest) {
    PrintToConsole("ERROR! REDRAW CALLED WITHOUT DSTBM\n");
    return;
  }
  if (!pic) return;
  bool source = (flags & REDRAW_SOURCESIZE) != 0;
  int32_t pw = source ? pic->sourceWidth : pic->width;
  int32_t ph = source ? pic->sourceHeight : pic->height;
  width = std::min(width, pw - x);
  height = std::min(height, ph - y);
  if (width < 1 || height < 1) return;
  LayerRect area{x, y, width, height};

  if (!(flags & (0x02 | REDRAW_MARKEDSPRITES))) {
    BitmapHandle* background = source ? pic->sourceBitmap : pic->bitmap;
    if (!source && !(flags & REDRAW_NOSCALEDBACKGROUND) && d && d->layerBackground &&
        d->layerBackgroundPic == pic && ((flags & REDRAW_SCALEDBACKGROUND) || pic == d->bgpic) &&
        GetBitmapAttr(d->layerBackground, 0) >= pw && GetBitmapAttr(d->layerBackground, 14) >= ph)
      background = d->layerBackground;
    if (flags & REDRAW_ONLYBACKGROUND) {
      if (background)
        blendInto(dest, x, y, background, nullptr, nullptr, x, y, width, height, 255, nullptr);
      return;
    }
    // From the top down, the part of the area that no opaque layer above
    // hides: each layer (and the background) is drawn only there. Every
    // pixel is composed on its own, so leaving out what a layer above
    // paints over changes no pixel of the result.
    struct Shown {
      qmLayer* layer;
      LayerImageState* state;
      size_t parts;  // index of the uncovered parts it is drawn into
    };
    std::vector<Shown> shown;
    for (qmLayer* l = FirstLayer(pic); l; l = NextLayer(l)) {
      if (l->type == LAYER_NOOBJECT || l->hidden || l->pending) continue;
      LayerImageState* s = source ? l->unscaled : l->display;
      if (s) shown.push_back({l, s, 0});
    }
    std::vector<std::vector<LayerRect>> uncovered{{area}};
    for (size_t i = shown.size(); i-- > 0;) {
      shown[i].parts = uncovered.size() - 1;
      const std::vector<LayerRect>& open = uncovered.back();
      if (open.empty() || open.size() > MAX_UNCOVERED_PARTS ||
          !coversItsRect(shown[i].layer, shown[i].state))
        continue;
      LayerRect cut = StateRect(shown[i].state);
      bool hides = false;
      for (const LayerRect& r : open) hides = hides || RectsOverlap(r, cut);
      if (!hides) continue;
      std::vector<LayerRect> rest = open;
      subtractRect(&rest, cut);
      uncovered.push_back(std::move(rest));
    }
    if (background)
      for (const LayerRect& r : uncovered.back())
        blendInto(dest, r.x, r.y, background, nullptr, nullptr, r.x, r.y, r.width, r.height, 255,
                  nullptr);
    for (const Shown& v : shown)
      for (const LayerRect& r : uncovered[v.parts]) drawLayer(L, d, v.layer, v.state, dest, r);
  }
  // Sprites over the layers (a display with layers shows none of its own,
  // only those of a picture drawn elsewhere).
  if (!(flags & REDRAW_NOSPRITES) && !source)
    DrawSpriteInstances(pic, dest, 0, 0, x, y, width, height);
}

void RefreshLayerRect(VmState* L, int32_t x, int32_t y, int32_t width, int32_t height,
                      uint32_t flags) {
  DisplayRecord* d = GetLayerDisplay();
  BGPic* pic = d ? d->bgpic : nullptr;
  if (!pic || !d->windowBitmap) return;
  LayerRect r;
  if (!IntersectRects(LayerRect{x, y, width, height}, LayerRect{0, 0, pic->width, pic->height}, &r))
    return;
  Redraw(L, d, pic, GetComposeBuffer(d), r.x, r.y, r.width, r.height, flags);
  RefreshDisplayRect(d->windowBitmap, r.x, r.y, d, r.x, r.y, r.width, r.height, REFRESH_SCALE);
}

void RefreshDirtyRects(VmState* L, DirtyList* list) {
  DisplayRecord* d = GetLayerDisplay();
  if (list->full) {
    if (d && d->bgpic) RefreshLayerRect(L, 0, 0, d->bgpic->width, d->bgpic->height, 0);
    return;
  }
  for (int32_t i = 0; i < list->count; ++i) {
    const DirtyRect& r = list->entries[i];
    if (r.merged) continue;
    RefreshLayerRect(L, r.x1, r.y1, static_cast<int32_t>(int64_t{r.x2} + 1 - r.x1),
                     static_cast<int32_t>(int64_t{r.y2} + 1 - r.y1), 0);
  }
}

void RefreshRect(VmState* L, int32_t x, int32_t y, int32_t width, int32_t height) {
  DisplayRecord* d = GetLayerDisplay();
  if (!d || width < 1 || height < 1) return;
  if (d->outputKind == OBJECT_DISPLAY)
    RefreshLayerRect(L, x, y, width, height, 0);
  else if (d->outputKind == OBJECT_BGPIC)
    AddDirtyRect(&d->dirty, x, y, static_cast<int32_t>(int64_t{x} + width - 1),
                 static_cast<int32_t>(int64_t{y} + height - 1), 1);
}

void MarkLayerDirty(VmState* L, DirtyList* list, qmLayer* layer, LayerImageState* state) {
  LayerRect r;
  GetLayerBounds(L, layer, state ? state : layer->display, &r);
  if (r.width < 1 || r.height < 1) return;
  AddDirtyRect(list, r.x, r.y, static_cast<int32_t>(int64_t{r.x} + r.width - 1),
               static_cast<int32_t>(int64_t{r.y} + r.height - 1), 1);
}

void RefreshLayerArea(VmState* L, qmLayer* layer, int quick) {
  LayerImageState* s = layer->display;
  if (!quick) {
    LayerRect r;
    GetLayerBounds(L, layer, s, &r);
    RefreshRect(L, r.x, r.y, r.width, r.height);
    return;
  }
  if (layer->hidden) return;
  DisplayRecord* d = GetLayerDisplay();
  BGPic* pic = GetLayerPicture();
  if (!d || !pic) return;
  LayerRect r = StateRect(s);
  if (s->clip &&
      !IntersectRects(r, LayerRect{s->clip->x, s->clip->y, s->clip->width, s->clip->height}, &r))
    return;
  if (!IntersectRects(r, LayerRect{0, 0, pic->width, pic->height}, &r)) return;
  LayerTriple t{};
  int32_t w = 0, h = 0, fromSource = 0;
  bool straight =
      d->outputKind == OBJECT_DISPLAY && pic == d->bgpic && d->windowBitmap &&
      !(s->clip && s->clip->mask) && !layer->transparency && !layer->shadow.on &&
      !layer->border.on && !anyFilterOn(layer) && IsLayerUncovered(pic, layer) &&
      GetLayerImageBitmaps(L, layer, s, 0, 1, -1, &t, &w, &h, &fromSource) == ERR_NONE && !t.alpha;
  if (!straight) {
    RefreshRect(L, r.x, r.y, r.width, r.height);
    return;
  }
  // Opaque (or masked) and on top: copied straight into the window bitmap
  // without composing what lies below.
  int32_t sx = r.x - s->x + (fromSource ? s->partX : 0);
  int32_t sy = r.y - s->y + (fromSource ? s->partY : 0);
  blendInto(d->windowBitmap, r.x, r.y, t.bitmap, t.mask, nullptr, sx, sy, r.width, r.height, 255,
            nullptr);
  RefreshDisplayRect(d->windowBitmap, r.x, r.y, d, r.x, r.y, r.width, r.height, REFRESH_SCALE);
}

void LayerBlitRefresh(void* state, DisplayRecord* d, int32_t x, int32_t y, int32_t width,
                      int32_t height) {
  if (!d || !d->bgpic || !d->windowBitmap) return;
  LayerRect r;
  if (!IntersectRects(LayerRect{x, y, width, height},
                      LayerRect{0, 0, d->bgpic->width, d->bgpic->height}, &r))
    return;
  Redraw(static_cast<VmState*>(state), d, d->bgpic, d->windowBitmap, r.x, r.y, r.width, r.height,
         0);
  RefreshDisplayRect(d->windowBitmap, r.x, r.y, d, r.x, r.y, r.width, r.height, REFRESH_SCALE);
}

void RedrawDisplayLayers(DisplayRecord* d, uint32_t flags) {
  if (!d || !d->layers || !d->bgpic || !d->windowBitmap) return;
  if (!FirstLayer(d->bgpic) && d->layerBackgroundPic != d->bgpic) return;
  Redraw(nullptr, d, d->bgpic, d->windowBitmap, 0, 0, d->bgpic->width, d->bgpic->height, flags);
}

namespace {

int regionInUse(ClipRegion* region) {
  return FindLayerOfObject(0, ObjectId{}, nullptr, nullptr, region);
}

// An async drawing drew into a layer's object: its area is shown again.
void refreshObject(VmState* L, DisplayRecord*, void* object) {
  for (BGPic* p = GetBGPicList(); p; p = reinterpret_cast<BGPic*>(p->head.next))
    for (qmLayer* l = FirstLayer(p); l; l = NextLayer(l))
      if (l == object && p == GetLayerPicture()) RefreshLayerArea(L, l, 0);
}

const GraphicsLayerHooks LAYER_HOOKS{regionInUse, ForgetLayerClipRegion, refreshObject};

// A layer name in an option table names a layer of the current display's
// picture.
int32_t layerPositionByName(const char* name) {
  DisplayRecord* d = GetCurrentDisplay();
  return d ? FindLayerByName(d->bgpic, name) : 0;
}

}  // namespace

void InstallLayerHooks() {
  SetGraphicsLayerHooks(&LAYER_HOOKS);
  SetLayerNameLookup(layerPositionByName);
}
