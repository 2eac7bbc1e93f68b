// Clip regions: rectangles of the current output, optionally shaped by a
// mask copied from a brush, that restrict drawing while one is active; the
// commands CreateClipRegion, SetClipRegion and FreeClipRegion, and the
// transformed copies the layer code draws scaled or rotated layers through.
//
// Invariants: a region owns its mask, and its rectangle starts at 0 or
// more. A region that layers still use when the script frees it keeps no
// script identifier (temporary) and is freed by PruneClipRegions once no
// layer uses it; the active region is never a freed one.
#include <algorithm>
#include <cmath>

#include "engine/engine.h"
#include "gfx/bitmap_private.h"
#include "gfx/context_private.h"
#include "gfx/gfx.h"
#include "gfx/hooks_private.h"
#include "gfx/graphics_private.h"
#include "runtime/runtime.h"

namespace {

// Size of the blit scratch buffer made with the first mask region: enough
// for the combined masks of common blits without growing.
constexpr size_t CLIP_SCRATCH_BYTES = 240000;

ClipRegion* firstRegion() { return reinterpret_cast<ClipRegion*>(gfxContext.clipList); }
ClipRegion* nextRegion(ClipRegion* r) { return reinterpret_cast<ClipRegion*>(r->head.next); }

// The layer code answers through the hooks it installed when its library
// opened; before that no layer uses a region and nothing is forgotten.
bool usedByLayers(ClipRegion* r) {
  const GraphicsLayerHooks* h = gfxContext.layerHooks;
  return h && h->regionInUse && h->regionInUse(r);
}
void tellLayersGone(ClipRegion* r) {
  const GraphicsLayerHooks* h = gfxContext.layerHooks;
  if (h && h->forgetRegion) h->forgetRegion(r);
}

void appendRegion(ClipRegion* r) {
  ObjectHead** link = &gfxContext.clipList;
  while (*link) link = &(*link)->next;
  r->head.next = nullptr;
  *link = &r->head;
}

void unlinkRegion(ClipRegion* r) {
  for (ObjectHead** link = &gfxContext.clipList; *link; link = &(*link)->next) {
    if (*link == &r->head) {
      *link = r->head.next;
      return;
    }
  }
}

// Mask, references, then the record.
void removeRegion(VmState* L, ClipRegion* r) {
  if (gfxContext.activeClip == r) gfxContext.activeClip = nullptr;
  FreeBitMask(r->mask);
  FreeObjectDataList(L, &r->head.data);
  FreeMemory(r);
}

// The size the current output draws at.
void outputSize(DisplayRecord* d, int32_t* width, int32_t* height) {
  *width = *height = 0;
  if (!d) return;
  GfxDisplayValues v = DisplayValuesOf(d);
  if (const BitmapHandle* target = v.outputBitmap) {
    *width = target->width;
    *height = target->height;
  } else {
    *width = v.width;
    *height = v.height;
  }
}

// The text margins follow the active region, and the text cursor goes to
// the left one.
void setMargins(DisplayRecord* d, int32_t left, int32_t right) {
  if (d) DisplayHooks().setTextMargins(d, left, right);
}

// Moves a negative origin to 0, shortening the size; a mask becomes a
// cropped copy (the old one freed when freeOld).
ErrorCode cropToOrigin(int32_t* x, int32_t* y, int32_t* width, int32_t* height, BitmapHandle** mask,
                       int freeOld) {
  if (*mask) return ClipMaskToOrigin(x, y, width, height, mask, 0, freeOld);
  if (*x < 0) {
    *width += *x;
    *x = 0;
  }
  if (*y < 0) {
    *height += *y;
    *y = 0;
  }
  return ERR_NONE;
}

int32_t maskRowBytes(const BitmapHandle* mask) {
  return mask ? static_cast<int32_t>(GetBitmapAttr(mask, 1)) : 0;
}

}  // namespace

ErrorCode FindClipRegion(ObjectId id, ClipRegion** out, uint32_t flags) {
  *out = nullptr;
  for (ClipRegion* r = firstRegion(); r; r = nextRegion(r)) {
    if (r->head.number != id.number || r->head.autoId != id.autoId) continue;
    if (r->temporary && !(flags & CLIPFIND_TEMPORARY)) continue;
    if (flags & CLIPFIND_USE) {
      if (r->locked) return ERR_LOCKEDOBJ;
      if (!(flags & CLIPFIND_NOLAYERCHECK) && usedByLayers(r)) r->temporary = 1;
    }
    *out = r;
    return ERR_NONE;
  }
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDCLIPREGION;
}

ErrorCode FreeClipRegionById(VmState* L, ObjectId id, int report) {
  ClipRegion* r = nullptr;
  if (ErrorCode e = FindClipRegion(id, &r, 0)) return report ? e : ERR_NONE;
  if (gfxContext.activeClip == r) {
    gfxContext.activeClip = nullptr;
    DisplayRecord* d = DisplayHooks().current();
    int32_t w = 0, h = 0;
    outputSize(d, &w, &h);
    setMargins(d, 0, w - 1);
  }
  // Layers keep drawing through it (they are not told to forget it, which
  // would draw them unclipped); the script can no longer find it.
  if (usedByLayers(r)) {
    r->head.number = 0;
    r->head.autoId = r;
    r->temporary = 1;
    return ERR_NONE;
  }
  unlinkRegion(r);
  removeRegion(L, r);
  return ERR_NONE;
}

void PruneClipRegions() {
  ClipRegion* r = firstRegion();
  while (r) {
    ClipRegion* next = nextRegion(r);
    if (r->temporary && !usedByLayers(r)) {
      unlinkRegion(r);
      removeRegion(nullptr, r);
    }
    r = next;
  }
}

void FreeAllClipRegions() {
  while (ClipRegion* r = firstRegion()) {
    tellLayersGone(r);
    gfxContext.clipList = r->head.next;
    removeRegion(nullptr, r);
  }
  gfxContext.activeClip = nullptr;
}

ClipRegion* GetActiveClipRegion() { return gfxContext.activeClip; }
void SetActiveClipRegion(ClipRegion* region) { gfxContext.activeClip = region; }
void SetGraphicsLayerHooks(const GraphicsLayerHooks* hooks) { gfxContext.layerHooks = hooks; }

ClipRegion* BuildRotatedClipMask(VmState*, ClipRegion* region, double anchorX, double anchorY,
                                 const double matrix[4], const double positionMatrix[4],
                                 int32_t placeByBox, int32_t useDisplayScale) {
  double m[4] = {matrix[0], matrix[1], matrix[2], matrix[3]};
  double pm[4] = {m[0], m[1], m[2], m[3]};
  if (positionMatrix) std::copy(positionMatrix, positionMatrix + 4, pm);
  double scaleX = 1, scaleY = 1;
  if (DisplayRecord* d = DisplayHooks().current()) {
    GfxDisplayValues v = DisplayValuesOf(d);
    if (v.scaleX > 0) scaleX = v.scaleX;
    if (v.scaleY > 0) scaleY = v.scaleY;
  }
  if (useDisplayScale) {
    m[0] = pm[0] = scaleX;
    m[1] = m[2] = pm[1] = pm[2] = 0;
    m[3] = pm[3] = scaleY;
  }
  int32_t x = region->x, y = region->y, width = region->width, height = region->height;
  BitmapHandle* mask = nullptr;
  if (region->mask) {
    // The mask turns with its rectangle; a throw-away pixel bitmap carries
    // it through the bitmap transform.
    OwnedBitmap carrier(AllocBitmap(width, height, 0, nullptr));
    if (!carrier) return nullptr;
    BitmapHandle *outBitmap = nullptr, *outMask = nullptr, *outAlpha = nullptr;
    int32_t ow = 0, oh = 0;
    if (RotateScaleBitmap(carrier.get(), region->mask, nullptr, 0, 0, width, height, m, 0, 0,
                          &outBitmap, &outMask, &outAlpha, &ow, &oh) != ERR_NONE)
      return nullptr;
    FreeBitmap(outBitmap);
    FreeAlphaChannel(outAlpha);
    if (!outMask) return nullptr;
    int32_t bw = 0, bh = 0;
    ComputeRotatedBox(region->x, region->y, width, height, anchorX, anchorY, m, &x, &y, &bw, &bh);
    mask = outMask;
    width = ow;
    height = oh;
  } else if (m[1] == 0 && m[2] == 0) {
    x = VmTruncInt32(x * m[0]);
    width = VmTruncInt32(width * m[0]);
    y = VmTruncInt32(y * m[3]);
    height = VmTruncInt32(height * m[3]);
  } else {
    int32_t bw = 0, bh = 0;
    ComputeRotatedBox(region->x, region->y, width, height, anchorX, anchorY, m, &x, &y, &bw, &bh);
    if (bw < 1 || bh < 1) return nullptr;
    // The corners turned about the pivot as the box was, relative to the
    // box and rounded, so that a right angle gives an exact rectangle.
    const double pivotX = width * anchorX, pivotY = height * anchorY;
    const double cx[4] = {0, width - 1.0, width - 1.0, 0},
                 cy[4] = {0, 0, height - 1.0, height - 1.0};
    double tx[4], ty[4], minX = 1e300, minY = 1e300;
    for (int i = 0; i < 4; ++i) {
      double dx = cx[i] - pivotX, dy = cy[i] - pivotY;
      tx[i] = m[0] * dx + m[2] * dy + pivotX;
      ty[i] = m[1] * dx + m[3] * dy + pivotY;
      minX = std::min(minX, tx[i]);
      minY = std::min(minY, ty[i]);
    }
    int32_t corners[8];
    for (int i = 0; i < 4; ++i) {
      corners[2 * i] = VmTruncInt32(std::round(tx[i] - minX));
      corners[2 * i + 1] = VmTruncInt32(std::round(ty[i] - minY));
    }
    mask = AllocBitMask(nullptr, bw, bh, 1, nullptr, 0);
    if (!mask) return nullptr;
    if (FillAlphaPolygon(mask, corners, 4) != ERR_NONE) {
      FreeBitMask(mask);
      return nullptr;
    }
    width = bw;
    height = bh;
  }
  if (placeByBox && !useDisplayScale) {
    int32_t bx, by, bw, bh;
    ComputeRotatedBox(region->x, region->y, region->width, region->height, anchorX, anchorY, pm,
                      &bx, &by, &bw, &bh);
    x = VmTruncInt32(bx * scaleX);
    y = VmTruncInt32(by * scaleY);
  }
  if (width < 1 || height < 1 || x + static_cast<int64_t>(width) < 1 ||
      y + static_cast<int64_t>(height) < 1 ||
      cropToOrigin(&x, &y, &width, &height, &mask, 1) != ERR_NONE) {
    FreeBitMask(mask);
    return nullptr;
  }
  auto* copy = static_cast<ClipRegion*>(AllocMemory(sizeof(ClipRegion), 1));
  if (!copy) {
    FreeBitMask(mask);
    return nullptr;
  }
  copy->head.type = OBJTYPE_CLIPREGION;
  copy->head.autoId = copy;
  copy->x = x;
  copy->y = y;
  copy->width = width;
  copy->height = height;
  copy->mask = mask;
  copy->maskRowBytes = maskRowBytes(mask);
  copy->temporary = 1;
  copy->madeForLayer = 1;
  appendRegion(copy);
  return copy;
}

// CreateClipRegion(id, type, ...): BOX x, y, width, height; MASK brush, x, y.
int CmdCreateClipRegion(VmState* L) {
  CheckArgCount(L, 3, 6, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  int32_t type = VmCheckInteger(L, 2);
  int32_t x = 0, y = 0, width = 0, height = 0;
  BitmapHandle* source = nullptr;
  if (type == CLIPTYPE_BOX) {
    x = VmCheckInteger(L, 3);
    y = VmCheckInteger(L, 4);
    width = VmCheckInteger(L, 5);
    height = VmCheckInteger(L, 6);
  } else if (type == CLIPTYPE_MASK) {
    ObjectId brushId = GetObjectIdArg(L, 3, nullptr);
    x = VmCheckInteger(L, 4);
    y = VmCheckInteger(L, 5);
    GfxPicture brush;
    if (ErrorCode e = ObjectHooks().brush(L, brushId, &brush, 0)) return e;
    if (!brush.mask) return ERR_NOMASKBRUSH;
    source = brush.mask;
    width = brush.width;
    height = brush.height;
  } else {
    return ERR_WRONGUSAGE;
  }
  if (!automatic) FreeClipRegionById(L, id, 0);
  int32_t outWidth = 0, outHeight = 0;
  outputSize(DisplayHooks().output(), &outWidth, &outHeight);
  x = ResolveXPos(x, width, outWidth, 0);
  y = ResolveYPos(y, height, outHeight, 0);
  if (static_cast<int64_t>(x) + width < 1 || static_cast<int64_t>(y) + height < 1)
    return ERR_WRONGUSAGE;
  BitmapHandle* mask = source;
  if (mask) {
    // The region keeps its own copy, cropped when the origin is negative.
    if (ErrorCode e = ClipMaskToOrigin(&x, &y, &width, &height, &mask, 1, 0)) return e;
    if (!GrowBlitScratch(CLIP_SCRATCH_BYTES)) {
      FreeBitMask(mask);
      return ERR_MEM;
    }
  } else {
    cropToOrigin(&x, &y, &width, &height, &mask, 0);
  }
  auto* r = static_cast<ClipRegion*>(AllocMemory(sizeof(ClipRegion), 1));
  if (!r) {
    FreeBitMask(mask);
    return ERR_MEM;
  }
  r->head.type = OBJTYPE_CLIPREGION;
  if (automatic) {
    r->head.autoId = r;
    id = ObjectId{r, 0};
  } else {
    r->head.number = id.number;
    r->head.autoId = id.autoId;
  }
  r->x = x;
  r->y = y;
  r->width = width;
  r->height = height;
  r->mask = mask;
  r->maskRowBytes = maskRowBytes(mask);
  appendRegion(r);
  return automatic ? PushObjectId(L, id) : 0;
}

// SetClipRegion(id): 0 (or -1) clears the active region.
int CmdSetClipRegion(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  DisplayRecord* d = DisplayHooks().output();
  if (d) {
    int32_t kind = DisplayValuesOf(d).outputKind;
    if (kind == OUTPUT_MASK || kind == OUTPUT_ALPHA) return ERR_WRONGUSAGE;
  }
  int32_t outWidth = 0, outHeight = 0;
  outputSize(d, &outWidth, &outHeight);
  if (!id.autoId && (id.number == 0 || id.number == -1)) {
    gfxContext.activeClip = nullptr;
    setMargins(d, 0, outWidth - 1);
    return 0;
  }
  ClipRegion* r = nullptr;
  if (ErrorCode e = FindClipRegion(id, &r, 0)) return e;
  if (static_cast<int64_t>(r->x) + r->width > outWidth ||
      static_cast<int64_t>(r->y) + r->height > outHeight)
    return ERR_WRONGCLIPREG;
  gfxContext.activeClip = r;
  setMargins(d, r->x, r->x + r->width - 1);
  return 0;
}

// FreeClipRegion(id).
int CmdFreeClipRegion(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  return FreeClipRegionById(L, id, 1);
}

int ReadClipRegionAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    int32_t n = 0;
    for (ClipRegion* r = firstRegion(); r; r = nextRegion(r)) n += r->temporary ? 0 : 1;
    VmPushNumber(L, n);
    return 1;
  }
  ClipRegion* r = nullptr;
  if (ErrorCode e = FindClipRegion(GetObjectIdArg(L, 2, nullptr), &r, 0)) return e;
  int32_t value;
  switch (attribute) {
    case ATTRWIDTH:
      value = r->width;
      break;
    case ATTRHEIGHT:
      value = r->height;
      break;
    case ATTRXPOS:
      value = r->x;
      break;
    case ATTRYPOS:
      value = r->y;
      break;
    default:
      return ERR_UNKNOWNATTR;
  }
  VmPushNumber(L, value);
  return 1;
}
