// Drawing an object: DrawObject resolves a brush (or a part of one), reads
// its display options, and copies it into the current output target after
// the transform, the filters and the transparency; DisplayBrush and
// DisplayBrushPart are thin commands over it. Invariant: every temporary
// bitmap is owned by this routine and freed on every path, and the object
// itself is never changed by a filter or a transparency.
#include <algorithm>
#include <cmath>

#include "draw/draw_private.h"

namespace {

// Bitmaps that DrawObject made for this one copy.
struct OwnedTriple {
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  ~OwnedTriple() { reset(); }
  void reset() {
    FreeBitmap(bitmap);
    FreeBitMask(mask);
    FreeAlphaChannel(alpha);
    bitmap = mask = alpha = nullptr;
  }
};

bool isIdentity(const DisplayTransform& t) {
  return t.m11 == 1 && t.m12 == 0 && t.m21 == 0 && t.m22 == 1;
}

bool anyFilter(const ObjectStyle& s) {
  for (const FilterSlot& f : s.filters)
    if (f.on) return true;
  return false;
}

// The size of what drawing addresses now.
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

// value * level / 255 rounded: with v = value * level + 127 (at most
// 65152), v / 255 equals (v + 1 + (v >> 8)) >> 8, which stays in 16 bits
// and vectorises where a division does not.
inline uint8_t scaleByte(uint8_t value, uint16_t level) {
  uint16_t v = static_cast<uint16_t>(static_cast<uint16_t>(value * level) + 127u);
  uint16_t high = static_cast<uint16_t>(v >> 8);
  return static_cast<uint8_t>(static_cast<uint16_t>(v + 1u + high) >> 8);
}

// Multiplies every byte of the alpha channel's rectangle by level / 255.
void scaleAlpha(BitmapHandle* alpha, int32_t width, int32_t height, int32_t level) {
  BitmapLock lock{};
  if (!LockBitmap(alpha, 0, &lock)) return;
  int32_t w = std::min(width, lock.width), h = std::min(height, lock.height);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = lock.address + static_cast<ptrdiff_t>(y) * lock.rowLength;
    for (int32_t x = 0; x < w; ++x) row[x] = scaleByte(row[x], static_cast<uint16_t>(level));
  }
  UnlockBitmap(&lock);
}

// A new alpha channel at the level: the source alpha scaled, the mask's
// visible pixels at the level, or filled with it.
BitmapHandle* alphaAtLevel(BitmapHandle* mask, BitmapHandle* alpha, int32_t width, int32_t height,
                           int32_t level) {
  BitmapHandle* made = nullptr;
  if (alpha) {
    // One pass from the source into an uncleared channel: a copy that is
    // scaled afterwards reads and writes every byte twice, which costs as
    // much as the blit of a small brush.
    made = AllocAlphaChannel(width, height, 0, nullptr, 0);
    if (!made) return nullptr;
    BitmapLock in{}, out{};
    if (!LockBitmap(alpha, 1, &in)) {
      FreeAlphaChannel(made);
      return nullptr;
    }
    if (!LockBitmap(made, 0, &out)) {
      UnlockBitmap(&in);
      FreeAlphaChannel(made);
      return nullptr;
    }
    int32_t w = std::min(width, in.width), h = std::min(height, in.height);
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* from = in.address + static_cast<ptrdiff_t>(y) * in.rowLength;
      uint8_t* to = out.address + static_cast<ptrdiff_t>(y) * out.rowLength;
      for (int32_t x = 0; x < w; ++x) to[x] = scaleByte(from[x], static_cast<uint16_t>(level));
    }
    UnlockBitmap(&out);
    UnlockBitmap(&in);
  } else {
    made = AllocAlphaChannel(width, height, 1, nullptr, 0);
    if (!made) return nullptr;
    if (mask)
      MaskToAlphaRect(mask, 0, 0, made, 0, 0, width, height, static_cast<uint8_t>(level));
    else
      FillAlphaRect(made, 0, 0, width, height, static_cast<uint8_t>(level));
  }
  return made;
}

// alphaAtLevel for a drawing that only reads the result: drawn again at
// the same level and size from the same mask or alpha channel, unchanged,
// an object takes the channel made the last time instead of making it anew
// (which costs a small brush's draw as much again).
BitmapHandle* sharedAlphaAtLevel(BitmapHandle* mask, BitmapHandle* alpha, int32_t width,
                                 int32_t height, int32_t level) {
  LevelAlphaCache& c = drawContext.levelAlpha;
  const BitmapHandle* from = alpha ? alpha : mask;
  const uint64_t fromStamp = from ? GetBitmapWriteStamp(from) : 0;
  if (c.made && c.madeStamp != 0 && GetBitmapWriteStamp(c.made) == c.madeStamp && c.from == from &&
      c.fromAlpha == (alpha != nullptr) && (!from || fromStamp != 0) && c.fromStamp == fromStamp &&
      c.width == width && c.height == height && c.level == level)
    return c.made;
  BitmapHandle* made = alphaAtLevel(mask, alpha, width, height, level);
  if (!made) return nullptr;
  FreeLevelAlphaCache();
  c.from = from;
  c.fromAlpha = alpha != nullptr;
  c.fromStamp = fromStamp;
  c.width = width;
  c.height = height;
  c.level = level;
  c.made = made;
  c.madeStamp = GetBitmapWriteStamp(made);
  return made;
}

// The update path: the layer's untransformed image (its own bitmaps, or
// the current ones of its brush or anim frame; a vector brush's picture,
// which is rendered again) drawn through the transform about the layer's
// anchor into the transformed triple of its display state, which then
// takes the new position and size.
ErrorCode updateLayer(VmState* L, const DrawRequest& r) {
  qmLayer* layer = r.updateLayer;
  if (!layer || !layer->base || !layer->display) return ERR_WRONGUSAGE;
  const LayerImageState* base = layer->base;
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  OwnedTriple decoded;
  int32_t width = 0, height = 0, sx = 0, sy = 0, isVector = 0;
  PictureHandle* picture = nullptr;
  DisplayRecord* owner = nullptr;
  if (base->own.bitmap) {
    bitmap = base->own.bitmap;
    mask = base->own.mask;
    alpha = base->own.alpha;
    width = static_cast<int32_t>(GetBitmapAttr(bitmap, 0));
    height = static_cast<int32_t>(GetBitmapAttr(bitmap, 14));
  } else if (layer->type == LAYER_BRUSH || layer->type == LAYER_BRUSHPART) {
    BrushObject* b = nullptr;
    if (ErrorCode e = GetBrushObject(L, layer->sourceId, &b, BRUSH_HARDWARE | BRUSH_PENDING))
      return e;
    if (!b->bitmap) return ERR_WRONGUSAGE;
    bitmap = b->bitmap;
    mask = b->mask;
    alpha = b->alpha;
    width = b->width;
    height = b->height;
    isVector = b->isVector && b->picture ? 1 : 0;
    picture = b->picture;
    owner = b->display;
    sx = base->partX;
    sy = base->partY;
  } else if (layer->type == LAYER_ANIM && drawContext.animHooks.getFrame) {
    AnimFrameView view{};
    if (ErrorCode e = drawContext.animHooks.getFrame(L, layer->sourceId, base->frame, &view))
      return e;
    if (view.owned) {
      decoded.bitmap = view.bitmap;
      decoded.mask = view.mask;
      decoded.alpha = view.alpha;
    }
    bitmap = view.bitmap;
    mask = view.mask;
    alpha = view.alpha;
    width = view.width;
    height = view.height;
  } else {
    return ERR_WRONGUSAGE;
  }
  int32_t pw = std::min(base->requestedWidth > 0 ? base->requestedWidth : width, width - sx);
  int32_t ph = std::min(base->requestedHeight > 0 ? base->requestedHeight : height, height - sy);
  if (pw < 1 || ph < 1) return ERR_BADDIMENSIONS;
  const DisplayTransform& t = r.transform ? *r.transform : layer->transform;
  const double m[4] = {t.m11, t.m12, t.m21, t.m22};
  // The untransformed image lies at the requested position less the
  // anchor's share of its size; the transform turns it about the anchor.
  int32_t x = base->requestedX - static_cast<int32_t>(std::lround(pw * layer->anchorX));
  int32_t y = base->requestedY - static_cast<int32_t>(std::lround(ph * layer->anchorY));
  OwnedTriple made;
  int32_t nx = 0, ny = 0, nw = 0, nh = 0;
  if (ErrorCode e =
          TransformBitmapMatrix(L, isVector, picture, bitmap, mask, alpha, sx, sy, x, y, pw, ph,
                                layer->anchorX, layer->anchorY, m, t.smoothScale, owner,
                                &made.bitmap, &made.mask, &made.alpha, &nx, &ny, &nw, &nh))
    return e;
  LayerImageState* s = layer->display;
  FreeBitmap(s->transformed.bitmap);
  FreeBitMask(s->transformed.mask);
  FreeAlphaChannel(s->transformed.alpha);
  s->transformed = LayerTriple{made.bitmap, made.mask, made.alpha};
  made.bitmap = made.mask = made.alpha = nullptr;
  // The layer's position is its anchor point, whose share of the new size
  // leads back to the box's corner.
  SetLayerGeometry(L, layer, r.collect, nx + static_cast<int32_t>(std::lround(nw * layer->anchorX)),
                   ny + static_cast<int32_t>(std::lround(nh * layer->anchorY)), nw, nh, nullptr,
                   nullptr, nullptr, r.flags);
  return ERR_NONE;
}

}  // namespace

ErrorCode EnsureAlphaLevel(BitmapHandle** mask, BitmapHandle** alpha, int32_t width, int32_t height,
                           int32_t level) {
  if (level < 0) level = 0;
  if (level > 255) level = 255;
  if (*alpha) {
    scaleAlpha(*alpha, width, height, level);
    return ERR_NONE;
  }
  BitmapHandle* made = alphaAtLevel(*mask, nullptr, width, height, level);
  if (!made) return ERR_ALLOCALPHA;
  FreeBitMask(*mask);
  *mask = nullptr;
  *alpha = made;
  return ERR_NONE;
}

bool HasDrawEffects(const ObjectStyle* style) {
  return anyFilter(*style) || style->transparency > 0;
}

ErrorCode ApplyDrawEffects(const ObjectStyle* style, BitmapHandle* bitmap, BitmapHandle** mask,
                           BitmapHandle** alpha, int32_t width, int32_t height) {
  if (anyFilter(*style))
    if (ErrorCode e = ApplyLayerEffects(style->filters, bitmap, *mask, *alpha, width, height))
      return e;
  if (style->transparency > 0)
    return EnsureAlphaLevel(mask, alpha, width, height, 255 - style->transparency);
  return ERR_NONE;
}

ErrorCode DrawObject(VmState* L, const DrawRequest* request) {
  DrawRequest r = *request;
  if (r.flags & 16) return updateLayer(L, r);
  DisplayRecord* d = GetOutputDisplay();
  if (!d) return ERR_MEM;
  BrushObject* brush = nullptr;
  // An anim frame is drawn as a brush that holds its bitmaps; decoded
  // frames of a disk anim are owned here.
  BrushObject frameBrush{};
  OwnedTriple decodedFrame;
  switch (r.type) {
    case OBJTYPE_BRUSH:
    case DRAW_BRUSHPART: {
      // Looked up once to learn whether it is the output device; the
      // selection ends before the brush is drawn.
      BrushObject* probe = nullptr;
      uint32_t pending = (r.flags & (8 | 1024)) ? BRUSH_PENDING : 0u;
      if (GetBrushObject(L, r.id, &probe, BRUSH_HARDWARE | pending) == ERR_NONE &&
          IsBrushOutputDevice(probe))
        EndOutputSelection(L, d, 0);
      // The adapter's own buffering keeps its back buffer in video memory.
      bool videoTarget =
          (d->doubleBuffer && (d->videoBackBuffer || d->adapterDoubleBuffer)) || d->outputVideo;
      uint32_t flags = pending | (videoTarget ? BRUSH_HARDWARE : 0u) |
                       (r.type == DRAW_BRUSHPART ? BRUSH_NOVECTOR : 0u);
      if (ErrorCode e = GetBrushObject(L, r.id, &brush, flags)) return e;
      // A video bitmap bound to a display is drawn only on that display;
      // one waiting for its display's window to open again is nowhere.
      if (brush->video && (brush->display ? brush->display != GetCurrentDisplay() : !brush->bitmap))
        return ERR_INCOMPATBRUSH;
      if (r.type == OBJTYPE_BRUSH) {
        if (brush->isVector && brush->transformed && d->layers) return ERR_TFVBRUSH;
        r.width = brush->width;
        r.height = brush->height;
      }
      break;
    }
    case OBJTYPE_ANIM: {
      if (!drawContext.animHooks.getFrame) return ObjectNotFound(r.id, ERR_FINDANIM);
      if (IsAnimOutputDevice(r.id)) EndOutputSelection(L, d, 0);
      AnimFrameView view{};
      if (ErrorCode e = drawContext.animHooks.getFrame(L, r.id, r.frame, &view)) return e;
      r.extra = r.frame;  // the frame that the anim's layer shows
      if (view.owned) {
        decodedFrame.bitmap = view.bitmap;
        decodedFrame.mask = view.mask;
        decodedFrame.alpha = view.alpha;
      }
      frameBrush.bitmap = view.bitmap;
      frameBrush.mask = view.mask;
      frameBrush.alpha = view.alpha;
      frameBrush.width = r.width = view.width;
      frameBrush.height = r.height = view.height;
      frameBrush.smoothScale = view.smooth;
      frameBrush.keyColour = -1;
      brush = &frameBrush;
      break;
    }
    case OBJTYPE_VIDEO: {
      // The frame comes with the request, as large as the video; it is
      // owned here until a layer takes it.
      decodedFrame.bitmap = r.bitmap;
      if (!r.bitmap) return ERR_WRONGUSAGE;
      int32_t w = 0, h = 0;
      if (ErrorCode e = GetDrawnVideoSize(r.id, &w, &h)) return e;
      frameBrush.bitmap = r.bitmap;
      frameBrush.width = r.width = w;
      frameBrush.height = r.height = h;
      frameBrush.keyColour = -1;
      brush = &frameBrush;
      break;
    }
    case DRAW_BGPICPART: {
      // The picture's images at its script size, owned here; a layer of
      // the part shows the picture itself.
      int32_t w = 0, h = 0;
      if (ErrorCode e = CopyBGPicImages(L, r.id, &decodedFrame.bitmap, &decodedFrame.mask,
                                        &decodedFrame.alpha, &w, &h))
        return e;
      frameBrush.bitmap = decodedFrame.bitmap;
      frameBrush.mask = decodedFrame.mask;
      frameBrush.alpha = decodedFrame.alpha;
      frameBrush.width = w;
      frameBrush.height = h;
      frameBrush.keyColour = -1;
      brush = &frameBrush;
      break;
    }
    default:
      return ERR_WRONGUSAGE;
  }
  int32_t sourceWidth = brush->width, sourceHeight = brush->height;
  if (r.width < 1 || r.height < 1) return ERR_BADDIMENSIONS;

  DisplayTransform transform;
  ObjectStyle style;
  if (r.transform) {
    transform = *r.transform;
    style = r.style ? *r.style : ObjectStyle{};
    if (!r.style) CopyDefaultObjectStyle(&style);
  } else if (r.optionsIndex > 0) {
    CopyDefaultTransform(&transform);
    CopyDefaultObjectStyle(&style);
    if (ErrorCode e =
            ParseDisplayOptions(L, r.optionsIndex, r.width, r.height, 0, 0, brush->smoothScale,
                                &transform, &style, DISPOPT_DEFAULTS | DISPOPT_NEEDTABLE))
      return e;
  } else {
    CopyDefaultTransform(&transform);
    CopyDefaultObjectStyle(&style);
  }

  int32_t outWidth = 0, outHeight = 0;
  outputSize(d, &outWidth, &outHeight);
  int32_t x = ResolveXPos(r.x, r.width, outWidth, transform.anchorX);
  int32_t y = ResolveYPos(r.y, r.height, outHeight, transform.anchorY);
  int32_t sx = ResolveXPos(r.sx, r.width, sourceWidth, 0);
  int32_t sy = ResolveYPos(r.sy, r.height, sourceHeight, 0);
  if (sx < 0 || sy < 0) return ERR_NEGCOORDS;
  if (sx >= sourceWidth || sy >= sourceHeight) return ERR_COORDSRANGE;
  int32_t width = std::min(r.width, sourceWidth - sx);
  int32_t height = std::min(r.height, sourceHeight - sy);

  if (ErrorCode e = PrepareOutputTarget(L)) return e;

  bool copy = !(r.flags & (1 | 8));
  if (d->layers) {
    // A video's frame belongs to its layer from here on (freed by it when
    // the layer cannot be made).
    BitmapHandle* handed = nullptr;
    if (r.type == OBJTYPE_VIDEO) std::swap(handed, decodedFrame.bitmap);
    if (ErrorCode e =
            CreateObjectLayer(L, r.type, r.id, sx, sy, x, y, width, height, &transform, &style,
                              handed, (r.flags & 8) ? r.layer : -1, r.flags | 2, r.extra))
      return e;
    copy = copy && isIdentity(transform) && !(r.flags & 4) && style.effects == 0;
  }
  if (!copy) return ERR_NONE;

  BitmapHandle *bitmap = brush->bitmap, *mask = brush->mask, *alpha = brush->alpha;
  OwnedTriple owned;
  // A brush in video memory cannot be filtered, and only an adapter that
  // fades bitmaps itself (bitmap flag 1024) draws it transparent. Where
  // the adapter also draws into the target, it turns, scales (flag 512)
  // and fades it in the blit; whatever it does not, is done in software.
  uint32_t hardware = 0;
  if (brush->video) {
    const uint32_t granted = AdapterSupportedBitmapFlags(512 | 1024);
    if (anyFilter(style) || (style.transparency > 0 && !(granted & 1024))) return ERR_HWBRUSHFUNC;
    if (AdapterTakesBlitParams(d->drawBitmap ? d->drawBitmap : d->windowBitmap)) hardware = granted;
  }
  BlitParams params;
  // Drawn from the anchor point back by the anchor's share of the size as
  // clipped, before any transform.
  int32_t dx = x - static_cast<int32_t>(std::lround(width * transform.anchorX));
  int32_t dy = y - static_cast<int32_t>(std::lround(height * transform.anchorY));
  if (!isIdentity(transform) && (hardware & 512)) {
    // Only the box is worked out here, as the software transform places
    // it; the adapter draws the turned picture into it.
    const double m[4] = {transform.m11, transform.m12, transform.m21, transform.m22};
    params.flags |= BLITPARAMS_TRANSFORM;
    std::copy(m, m + 4, params.matrix);
    params.anchorX = transform.anchorX;
    params.anchorY = transform.anchorY;
    GetTransformedBounds(dx, dy, width, height, transform.anchorX, transform.anchorY, m, &dx, &dy,
                         &params.boxWidth, &params.boxHeight);
  } else if (!isIdentity(transform)) {
    const double m[4] = {transform.m11, transform.m12, transform.m21, transform.m22};
    int32_t nw = 0, nh = 0;
    if (ErrorCode e = TransformBitmapMatrix(
            L, brush->isVector, brush->picture, bitmap, mask, alpha, sx, sy, dx, dy, width, height,
            transform.anchorX, transform.anchorY, m, transform.smoothScale, brush->display,
            &owned.bitmap, &owned.mask, &owned.alpha, &dx, &dy, &nw, &nh))
      return e;
    bitmap = owned.bitmap;
    mask = owned.mask;
    alpha = owned.alpha;
    sx = sy = 0;
    width = nw;
    height = nh;
    // The box of the transform is already placed by the anchor.
  }
  if (anyFilter(style)) {
    if (!owned.bitmap) {
      if (ErrorCode e = ConvertBitmap(bitmap, mask, alpha, sx, sy, width, height, 0, 0, nullptr,
                                      nullptr, &owned.bitmap, &owned.mask, &owned.alpha))
        return e;
      bitmap = owned.bitmap;
      mask = owned.mask;
      alpha = owned.alpha;
      sx = sy = 0;
    }
    if (ErrorCode e = ApplyLayerEffects(style.filters, bitmap, mask, alpha, width, height))
      return e;
  }
  OwnedTriple temporary;
  if (style.transparency > 0) {
    int32_t level = 255 - style.transparency;
    if (hardware & 1024) {
      params.flags |= BLITPARAMS_LEVEL;
      params.level = level;
    } else if (owned.bitmap) {
      if (ErrorCode e = EnsureAlphaLevel(&owned.mask, &owned.alpha, sx + width, sy + height, level))
        return e;
      mask = owned.mask;
      alpha = owned.alpha;
    } else {
      alpha = sharedAlphaAtLevel(mask, alpha, sourceWidth, sourceHeight, level);
      if (!alpha) return ERR_ALLOCALPHA;
      mask = nullptr;
    }
  }

  // A layer drawn at the display's scale, or queued while a picture is
  // selected in layers mode, is shown by the layer code.
  if (d->outputKind == OBJECT_BGPIC) return ERR_NONE;
  if (d->outputKind == OBJECT_DISPLAY && d->layerscale && d->scaleWidth > 0 && d->scaleHeight > 0 &&
      (d->scaleX != 1.0 || d->scaleY != 1.0))
    return ERR_NONE;
  if (params.flags) {
    // The parameters take the mask's place: a mask goes along as an
    // alpha channel.
    if (mask && owned.mask == mask) {
      if (ErrorCode e = EnsureAlphaLevel(&owned.mask, &owned.alpha, sx + width, sy + height, 255))
        return e;
      alpha = owned.alpha;
    } else if (mask) {
      temporary.alpha = alphaAtLevel(mask, nullptr, sourceWidth, sourceHeight, 255);
      if (!temporary.alpha) return ERR_ALLOCALPHA;
      alpha = temporary.alpha;
    }
    mask = nullptr;
    const bool box = params.flags & BLITPARAMS_TRANSFORM;
    MarkDisplayDirty(d, dx, dy, box ? params.boxWidth : width, box ? params.boxHeight : height);
    SafeBltWithParams(L, bitmap, sx, sy, d->drawBitmap, dx, dy, width, height,
                      SAFEBLT_BACKBUFFER | SAFEBLT_LAYERS | SAFEBLT_SCALED | SAFEBLT_NOCLIP,
                      &params, alpha);
    return ERR_NONE;
  }
  MarkDisplayDirty(d, dx, dy, width, height);
  int32_t bitmapWidth = static_cast<int32_t>(GetBitmapAttr(bitmap, 0));
  int32_t bitmapHeight = static_cast<int32_t>(GetBitmapAttr(bitmap, 14));
  SafeBlt(L, bitmap, sx, sy, d->drawBitmap, dx, dy, width, height, bitmapWidth, bitmapHeight,
          outWidth, outHeight, SAFEBLT_BACKBUFFER | SAFEBLT_LAYERS | SAFEBLT_SCALED, mask, alpha,
          nullptr);
  return ERR_NONE;
}

ErrorCode DisplayBrushCore(VmState* L, ObjectId id, int32_t x, int32_t y, int optionsIndex) {
  DrawRequest r{};
  r.type = OBJTYPE_BRUSH;
  r.id = id;
  r.x = x;
  r.y = y;
  r.optionsIndex = optionsIndex;
  r.layer = -1;
  return DrawObject(L, &r);
}

// DisplayBrush(id, x, y[, table]).
int CmdDisplayBrush(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t x = VmTruncInt32(VmCheckNumber(L, 2));
  int32_t y = VmTruncInt32(VmCheckNumber(L, 3));
  return DisplayBrushCore(L, id, x, y, VmGetTop(L) >= 4 ? 4 : 0);
}

// DisplayBrushPart(id, srcx, srcy, x, y, width, height[, table]).
int CmdDisplayBrushPart(VmState* L) {
  CheckArgCount(L, 7, 8, 0, 0);
  DrawRequest r{};
  r.type = DRAW_BRUSHPART;
  r.id = GetObjectIdArg(L, 1, nullptr);
  r.sx = VmTruncInt32(VmCheckNumber(L, 2));
  r.sy = VmTruncInt32(VmCheckNumber(L, 3));
  r.x = VmTruncInt32(VmCheckNumber(L, 4));
  r.y = VmTruncInt32(VmCheckNumber(L, 5));
  r.width = VmTruncInt32(VmCheckNumber(L, 6));
  r.height = VmTruncInt32(VmCheckNumber(L, 7));
  r.optionsIndex = VmGetTop(L) >= 8 ? 8 : 0;
  r.layer = -1;
  return DrawObject(L, &r);
}
