// The shape commands Box, Circle, Ellipse, Arc and Polygon with their
// fillers (which describe the shape and hand it to the renderer), and the
// pixel commands Plot, ReadPixel and Cls.
//
// Invariant: every argument is read and checked before anything is drawn,
// so a refused command leaves the output as it was.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "draw/shape_private.h"
#include "draw/vector_private.h"
#include "runtime/player.h"

namespace {

bool isIdentity(const double m[4]) { return m[0] == 1 && m[1] == 0 && m[2] == 0 && m[3] == 1; }

uint32_t optColor(VmState* L, int index) {
  if (VmGetTop(L) < index || VmType(L, index) == VM_TYPE_NIL) return 0;
  return static_cast<uint32_t>(VmNumberToInteger(VmCheckNumber(L, index)));
}

// The older rotation: an angle reduced modulo 360 turned into the
// transform's matrix about the shape's size.
void applyAngle(double angle, int32_t w, int32_t h, DisplayTransform* t) {
  double a = std::fmod(angle, 360.0);
  if (a != a) a = 0;
  t->rotate = a;
  double m[4];
  BuildRotateScaleMatrix(m, 0, 0, w, h, 1, 1, a);
  t->m11 = m[0];
  t->m12 = m[1];
  t->m21 = m[2];
  t->m22 = m[3];
  t->hasMatrix = !isIdentity(m);
}

// The options table at index (the last argument), or nothing.
ErrorCode readOptions(VmState* L, int index, int32_t w, int32_t h, DisplayTransform* t,
                      ObjectStyle* os) {
  CopyDefaultTransform(t);
  CopyDefaultObjectStyle(os);
  if (VmGetTop(L) < index || VmType(L, index) != VM_TYPE_TABLE) return ERR_NONE;
  return ParseDisplayOptions(L, index, w, h, 0, 0, 0, t, os, DISPOPT_DEFAULTS);
}

// Options at index, or an angle there (when angleThere) or at index + 1.
ErrorCode readOptionsOrAngle(VmState* L, int index, bool angleThere, int32_t w, int32_t h,
                             DisplayTransform* t, ObjectStyle* os) {
  if (ErrorCode e = readOptions(L, index, w, h, t, os)) return e;
  int top = VmGetTop(L);
  if (top >= index && VmType(L, index) != VM_TYPE_TABLE && VmType(L, index) != VM_TYPE_NIL &&
      angleThere)
    applyAngle(VmCheckNumber(L, index), w, h, t);
  else if (top >= index + 1 && VmType(L, index + 1) != VM_TYPE_TABLE &&
           VmType(L, index + 1) != VM_TYPE_NIL)
    applyAngle(VmCheckNumber(L, index + 1), w, h, t);
  return ERR_NONE;
}

void describe(ShapeDescriptor* s, int32_t kind, int32_t x, int32_t y, int32_t w, int32_t h,
              uint32_t color, const DrawStyle* style, const DisplayTransform* t,
              const ObjectStyle* os, ObjectId layer) {
  s->kind = kind;
  s->x = x;
  s->y = y;
  s->width = w;
  s->height = h;
  s->color = color;
  s->style = style;
  s->transform = t;
  s->objectStyle = os;
  s->layerId = layer;
  s->clockwise = 1;
}

bool roundRoute(const DrawStyle* style) {
  return ShapeNewMode() && (style->formFlags & FORM_ANTIALIAS);
}

ErrorCode drawBoxShape(VmState* L, ObjectId layer, const DrawStyle* style, int32_t x, int32_t y,
                       int32_t w, int32_t h, uint32_t color, const int32_t corners[4],
                       const DisplayTransform* t, const ObjectStyle* os, uint32_t flags) {
  if (w < 1 || h < 1) return ERR_WRONGUSAGE;
  int32_t clamped[4];
  std::copy(corners, corners + 4, clamped);
  ClampCorners(clamped);
  if (flags == 0) {
    int drawn = 0;
    ErrorCode e = RenderPlainBox(L, style, x, y, w, h, color, clamped, t, os, &drawn);
    if (e || drawn) return e;
  }
  ShapeDescriptor s{};
  describe(&s, SHAPE_BOX, x, y, w, h, color, style, t, os, layer);
  std::copy(clamped, clamped + 4, s.corners);
  const double m[4] = {t->m11, t->m12, t->m21, t->m22};
  s.lineBased = BoxRoute(style, s.corners, m);
  return RenderShape(L, &s, flags);
}

ErrorCode drawEllipseShape(VmState* L, ObjectId layer, const DrawStyle* style, int32_t kind,
                           int32_t x, int32_t y, int32_t rx, int32_t ry, uint32_t color,
                           const DisplayTransform* t, const ObjectStyle* os, uint32_t flags) {
  if (rx < 1 || ry < 1) return ERR_WRONGUSAGE;
  int64_t w = 2 * static_cast<int64_t>(rx) + 1, h = 2 * static_cast<int64_t>(ry) + 1;
  if (w > INT32_MAX || h > INT32_MAX) return ERR_BITMAP;
  ShapeDescriptor s{};
  describe(&s, kind, x, y, static_cast<int32_t>(w), static_cast<int32_t>(h), color, style, t, os,
           layer);
  s.rx = rx;
  s.ry = ry;
  s.startAngle = 0;
  s.endAngle = 360;
  s.lineBased = roundRoute(style) ? 0 : 1;
  return RenderShape(L, &s, flags);
}

ErrorCode drawArcShape(VmState* L, ObjectId layer, const DrawStyle* style, int32_t x, int32_t y,
                       int32_t rx, int32_t ry, int32_t start, int32_t end, uint32_t color,
                       int32_t clockwise, const DisplayTransform* t, const ObjectStyle* os,
                       uint32_t flags) {
  if (rx < 1 || ry < 1 || start < 0 || end < 0) return ERR_WRONGUSAGE;
  if (start == end) return ERR_NONE;
  int64_t w = 2 * static_cast<int64_t>(rx) + 1, h = 2 * static_cast<int64_t>(ry) + 1;
  if (w > INT32_MAX || h > INT32_MAX) return ERR_BITMAP;
  ShapeDescriptor s{};
  describe(&s, SHAPE_ARC, x, y, static_cast<int32_t>(w), static_cast<int32_t>(h), color, style, t,
           os, layer);
  s.rx = rx;
  s.ry = ry;
  s.startAngle = start;
  s.endAngle = end;
  s.clockwise = clockwise;
  s.lineBased = roundRoute(style) ? 0 : 1;
  return RenderShape(L, &s, flags);
}

int32_t intArg(VmState* L, int index) { return VmTruncInt32(VmCheckNumber(L, index)); }

// The options table's index when the argument there is one, else 0.
int optionsAt(VmState* L, int index) {
  return VmGetTop(L) >= index && VmType(L, index) == VM_TYPE_TABLE ? index : 0;
}

PathShapeParameters roundParameters(int32_t rx, int32_t ry, int32_t start, int32_t end,
                                    int32_t clockwise) {
  PathShapeParameters p{};
  p.rx = rx;
  p.ry = ry;
  p.startAngle = start;
  p.endAngle = end;
  p.clockwise = clockwise;
  return p;
}

}  // namespace

int ShapeNewMode() { return !LineBasedShapesSwitch() && CheckRequiredVersion(6, 0); }

int32_t BoxRoute(const DrawStyle* style, const int32_t corners[4], const double m[4]) {
  bool sharp = !corners[0] && !corners[1] && !corners[2] && !corners[3];
  int32_t route = 1;
  if (sharp && isIdentity(m) && (style->fillStyle != FILLNONE || style->lineWidth < 2))
    route = style->formFlags & FORM_ANTIALIAS;
  if (ShapeNewMode() && !sharp && (style->formFlags & FORM_ANTIALIAS)) route = 0;
  return route;
}

// Box(x, y, width, height [, colour [, options or roundlevel [, angle]]]).
int CmdBox(VmState* L) {
  CheckArgCount(L, 4, 7, 0, 0);
  int32_t x = intArg(L, 1), y = intArg(L, 2), w = intArg(L, 3), h = intArg(L, 4);
  uint32_t color = optColor(L, 5);
  int32_t corners[4] = {0, 0, 0, 0};
  // Without a sixth argument the box is drawn with the defaults as they
  // stand; they are copied only where options or an angle change them.
  const DisplayTransform* transform = GetDefaultTransform();
  const ObjectStyle* style = GetDefaultObjectStyle();
  DisplayTransform t;
  ObjectStyle os;
  const bool sixth = VmGetTop(L) >= 6 && VmType(L, 6) != VM_TYPE_NIL;
  if (sixth) {
    if (ErrorCode e = readOptions(L, 6, w, h, &t, &os)) return e;
    transform = &t;
    style = &os;
  }
  if (sixth && VmType(L, 6) == VM_TYPE_TABLE) {
    int32_t v, found = 0;
    if (GetTableFieldInt(L, 6, "roundlevel", &v, &found)) std::fill(corners, corners + 4, v);
    const char* names[4] = {"cornera", "cornerb", "cornerc", "cornerd"};
    for (int i = 0; i < 4; ++i)
      if (GetTableFieldInt(L, 6, names[i], &v, &found)) corners[i] = v;
  } else if (sixth) {
    std::fill(corners, corners + 4, intArg(L, 6));
    if (VmGetTop(L) >= 7 && VmType(L, 7) != VM_TYPE_NIL) applyAngle(VmCheckNumber(L, 7), w, h, &t);
  }
  if (PathUseForced()) {
    PathShapeParameters p{};
    p.width = w;
    p.height = h;
    std::copy(corners, corners + 4, p.corners);
    ClampCorners(p.corners);
    return DrawPathObject(L, SHAPE_BOX, x, y, color, optionsAt(L, 6), p);
  }
  return drawBoxShape(L, ObjectId{}, GetCurrentDrawStyle(), x, y, w, h, color, corners, transform,
                      style, 0);
}

// Circle(x, y, radius [, colour [, options or angle]]).
int CmdCircle(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  int32_t x = intArg(L, 1), y = intArg(L, 2), r = intArg(L, 3);
  uint32_t color = optColor(L, 4);
  int32_t size = r < 1 || r > INT32_MAX / 2 - 1 ? 1 : 2 * r + 1;
  DisplayTransform t;
  ObjectStyle os;
  if (ErrorCode e = readOptionsOrAngle(L, 5, true, size, size, &t, &os)) return e;
  if (PathUseForced())
    return DrawPathObject(L, SHAPE_CIRCLE, x, y, color, optionsAt(L, 5),
                          roundParameters(r, r, 0, 360, 1));
  return drawEllipseShape(L, ObjectId{}, GetCurrentDrawStyle(), SHAPE_CIRCLE, x, y, r, r, color, &t,
                          &os, 0);
}

// Ellipse(x, y, rx, ry [, colour [, options or angle]]).
int CmdEllipse(VmState* L) {
  CheckArgCount(L, 4, 6, 0, 0);
  int32_t x = intArg(L, 1), y = intArg(L, 2), rx = intArg(L, 3), ry = intArg(L, 4);
  uint32_t color = optColor(L, 5);
  int32_t w = rx < 1 || rx > INT32_MAX / 2 - 1 ? 1 : 2 * rx + 1;
  int32_t h = ry < 1 || ry > INT32_MAX / 2 - 1 ? 1 : 2 * ry + 1;
  DisplayTransform t;
  ObjectStyle os;
  if (ErrorCode e = readOptionsOrAngle(L, 6, true, w, h, &t, &os)) return e;
  if (PathUseForced())
    return DrawPathObject(L, SHAPE_ELLIPSE, x, y, color, optionsAt(L, 6),
                          roundParameters(rx, ry, 0, 360, 1));
  return drawEllipseShape(L, ObjectId{}, GetCurrentDrawStyle(), SHAPE_ELLIPSE, x, y, rx, ry, color,
                          &t, &os, 0);
}

// Arc(x, y, rx, ry, start, end [, colour [, options or clockwise [, angle]]]).
int CmdArc(VmState* L) {
  CheckArgCount(L, 6, 9, 0, 0);
  int32_t x = intArg(L, 1), y = intArg(L, 2), rx = intArg(L, 3), ry = intArg(L, 4);
  int32_t start = intArg(L, 5), end = intArg(L, 6);
  uint32_t color = optColor(L, 7);
  int32_t w = rx < 1 || rx > INT32_MAX / 2 - 1 ? 1 : 2 * rx + 1;
  int32_t h = ry < 1 || ry > INT32_MAX / 2 - 1 ? 1 : 2 * ry + 1;
  DisplayTransform t;
  ObjectStyle os;
  if (ErrorCode e = readOptions(L, 8, w, h, &t, &os)) return e;
  int32_t clockwise = 1;
  if (VmGetTop(L) >= 8 && VmType(L, 8) == VM_TYPE_TABLE) {
    int32_t found = 0;
    GetTableFieldInt(L, 8, "clockwise", &clockwise, &found);
  } else if (VmGetTop(L) >= 8 && VmType(L, 8) != VM_TYPE_NIL) {
    clockwise = intArg(L, 8);
    if (VmGetTop(L) >= 9 && VmType(L, 9) != VM_TYPE_NIL) applyAngle(VmCheckNumber(L, 9), w, h, &t);
  }
  if (PathUseForced())
    return DrawPathObject(L, SHAPE_ARC, x, y, color, optionsAt(L, 8),
                          roundParameters(rx, ry, start, end, clockwise != 0));
  return drawArcShape(L, ObjectId{}, GetCurrentDrawStyle(), x, y, rx, ry, start, end, color,
                      clockwise != 0, &t, &os, 0);
}

// Polygon(x, y, vertices, count [, colour [, options or angle]]): the
// vertices from index 0; an open polygon is closed.
int CmdPolygon(VmState* L) {
  CheckArgCount(L, 4, 6, 0, 0);
  int32_t x = intArg(L, 1), y = intArg(L, 2);
  VmCheckTable(L, 3);
  int32_t count = intArg(L, 4);
  uint32_t color = optColor(L, 5);
  if (count < 2 || count > SHAPE_MAX_POINTS - 1) return ERR_WRONGUSAGE;
  std::vector<double> v(static_cast<size_t>(count) * 2);
  for (int32_t i = 0; i < count * 2; ++i) {
    VmRawGetI(L, 3, i);
    if (VmType(L, -1) != VM_TYPE_NUMBER) {
      VmSetTop(L, -2);
      // The message names the item of the point list.
      char item[16];
      std::snprintf(item, sizeof item, "%d", i);
      SetErrorArgString(item);
      return ERR_NUMTABLEARG;
    }
    v[static_cast<size_t>(i)] = VmToNumber(L, -1);
    VmSetTop(L, -2);
  }
  double minX = v[0], minY = v[1];
  for (int32_t i = 0; i < count; ++i) {
    minX = std::min(minX, v[2 * i]);
    minY = std::min(minY, v[2 * i + 1]);
  }
  double maxX = 0, maxY = 0;
  for (int32_t i = 0; i < count; ++i) {
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
  int32_t w = static_cast<int32_t>(maxX) + 1, h = static_cast<int32_t>(maxY) + 1;
  DisplayTransform t;
  ObjectStyle os;
  if (ErrorCode e = readOptionsOrAngle(L, 6, true, w, h, &t, &os)) return e;
  if (PathUseForced()) {
    PathShapeParameters p{};
    p.vertices = v.data();
    p.vertexCount = static_cast<int32_t>(v.size() / 2);
    return DrawPathObject(L, SHAPE_POLYGON, VmTruncInt32(x + minX), VmTruncInt32(y + minY), color,
                          optionsAt(L, 6), p);
  }
  ShapeDescriptor s{};
  describe(&s, SHAPE_POLYGON, VmTruncInt32(x + minX), VmTruncInt32(y + minY), w, h, color,
           GetCurrentDrawStyle(), &t, &os, ObjectId{});
  s.vertices = std::move(v);
  s.lineBased = 1;
  return RenderShape(L, &s, 0);
}

// Plot(x, y [, colour]): a point outside the output is no error.
int CmdPlot(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  int32_t x = intArg(L, 1), y = intArg(L, 2);
  uint32_t color = optColor(L, 3);
  DisplayRecord* d = GetOutputDisplay();
  if (d->layers && d->outputKind == OBJECT_DISPLAY) return ERR_LAYERSUPPORT2;
  if (ErrorCode e = PrepareOutputTarget(L)) return e;
  x = ResolveXPos(x, 1, 0, 0);
  y = ResolveYPos(y, 1, 0, 0);
  const BitmapHandle* target = d->drawBitmap ? d->drawBitmap : d->windowBitmap;
  int32_t ow = target ? target->width : d->width, oh = target ? target->height : d->height;
  if (x < 0 || y < 0 || x >= ow || y >= oh) return 0;
  ObjectStyle os;
  CopyDefaultObjectStyle(&os);
  std::vector<uint32_t> pixel(1, ((255 - (color >> 24)) << 24) | (color & 0xFFFFFF));
  return DeliverShapeImage(L, pixel, 1, 1, x, y, &os);
}

// ReadPixel(x, y): the colour, or in mask and alpha mode the plane's value.
int CmdReadPixel(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t x = intArg(L, 1), y = intArg(L, 2);
  DisplayRecord* d = GetOutputDisplay();
  if (ErrorCode e = PrepareOutputTarget(L)) return e;
  x = ResolveXPos(x, 1, 0, 0);
  y = ResolveYPos(y, 1, 0, 0);
  BitmapHandle* target = d->drawBitmap ? d->drawBitmap : d->windowBitmap;
  int32_t ow = target ? target->width : d->width, oh = target ? target->height : d->height;
  if (x < 0 || y < 0 || x >= ow || y >= oh) return ERR_PIXELRANGE;
  if (!target || d->outputVideo) return ERR_WRONGUSAGE;
  double value;
  if (d->outputKind == OUTPUT_MASK) {
    value = ReadBitmapPixel(target, x, y, 1) ? 1 : 0;
  } else if (d->outputKind == OUTPUT_ALPHA) {
    BitmapLock lock{};
    if (!LockBitmap(target, 1, &lock)) return ERR_WRONGUSAGE;
    value = lock.address[static_cast<size_t>(y) * lock.rowLength + x];
    UnlockBitmap(&lock);
  } else {
    value = ReadBitmapPixel(target, x, y, 0) & 0xFFFFFF;
  }
  VmPushNumber(L, value);
  return 1;
}

// Cls([colour]): fills the whole output; a selected brush's alpha channel
// becomes opaque and its mask visible.
int CmdCls(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  uint32_t color = optColor(L, 1);
  DisplayRecord* d = GetOutputDisplay();
  if (d->outputKind != OBJECT_DISPLAY) {
    if (ErrorCode e = PrepareOutputTarget(L)) return e;
    BitmapHandle* target = d->drawBitmap;
    if (!target) return ERR_NONE;
    if (d->outputKind == OUTPUT_MASK) {
      MaskRectOp(target, 0, 0, target->width, target->height, 0);
    } else if (d->outputKind == OUTPUT_ALPHA) {
      FillAlphaRect(target, 0, 0, target->width, target->height, 255);
    } else {
      FillBitmapRect(target, 0, 0, target->width, target->height, color & 0xFFFFFF);
      // The device record tells the selected brush; a back buffer is none
      // (the record left by an ended selection names a brush no more drawn
      // into).
      const BGPic* r = d->doubleBuffer ? nullptr : d->deviceRecord;
      BrushObject* brush = nullptr;
      if (r && r->head.type == OBJECT_BRUSH &&
          GetBrushObject(L, ObjectId{r->head.autoId, r->head.number}, &brush, 0) == ERR_NONE) {
        if (brush->alpha) FillAlphaRect(brush->alpha, 0, 0, brush->width, brush->height, 255);
        if (brush->mask) MaskRectOp(brush->mask, 0, 0, brush->width, brush->height, 0);
      }
    }
    MarkDisplayDirty(d, 0, 0, target->width, target->height);
    return ERR_NONE;
  }
  if (d->layers) return ClearShapeLayers(L, d);
  // The display shows its background picture again.
  if (d->bgpic && d->bgpic->bitmap) {
    BGPic* pic = d->bgpic;
    int32_t ow = d->drawBitmap ? d->drawBitmap->width : d->width;
    int32_t oh = d->drawBitmap ? d->drawBitmap->height : d->height;
    MarkDisplayDirty(d, 0, 0, ow, oh);
    SafeBlt(L, pic->bitmap, 0, 0, d->drawBitmap, 0, 0, pic->width, pic->height, pic->width,
            pic->height, ow, oh, SAFEBLT_BACKBUFFER | SAFEBLT_LAYERS | SAFEBLT_SCALED, nullptr,
            nullptr, nullptr);
  }
  return ERR_NONE;
}
