// Lines: the Line command and DrawLineCore, which draws a line of a
// thickness (round ends when thicker than 1) into the output through a
// coverage image of the line's box, clipped first to the output so that
// far-off end points cost nothing.
//
// Invariant: a line keeps the thickness it was given up to 64 pixels; a
// thickness-1 line without anti-aliasing sets max(|dx|, |dy|) + 1 pixels.
#include <algorithm>
#include <cmath>

#include "draw/shape_private.h"

namespace {

bool isIdentity(const double m[4]) { return m[0] == 1 && m[1] == 0 && m[2] == 0 && m[3] == 1; }

}  // namespace

ErrorCode DrawLineCore(VmState* L, ObjectId layer, const DrawStyle* style, int32_t x1, int32_t y1,
                       int32_t x2, int32_t y2, uint32_t color, int32_t thickness,
                       const DisplayTransform* transform, const ObjectStyle* objectStyle,
                       uint32_t flags) {
  DisplayRecord* d = GetOutputDisplay();
  const bool aa = style->formFlags & FORM_ANTIALIAS;
  if (ErrorCode e = PrepareOutputTarget(L)) return e;
  x1 = ResolveXPos(x1, 1, 0, transform->anchorX);
  y1 = ResolveYPos(y1, 1, 0, transform->anchorY);
  x2 = ResolveXPos(x2, 1, 0, transform->anchorX);
  y2 = ResolveYPos(y2, 1, 0, transform->anchorY);
  const double m[4] = {transform->m11, transform->m12, transform->m21, transform->m22};
  if (d->layers && d->outputKind == OBJECT_DISPLAY && !(flags & SHAPE_TOLAYER)) {
    // The layer keeps the unturned end points and applies the matrix.
    ShapeDescriptor s{};
    s.kind = SHAPE_LINE;
    s.x = std::min(x1, x2);
    s.y = std::min(y1, y2);
    s.width = VmTruncInt32(std::fabs(static_cast<double>(x2) - x1) + 1);
    s.height = VmTruncInt32(std::fabs(static_cast<double>(y2) - y1) + 1);
    s.color = color;
    s.style = style;
    s.transform = transform;
    s.objectStyle = objectStyle;
    s.layerId = layer;
    s.vertices = {static_cast<double>(x1), static_cast<double>(y1), static_cast<double>(x2),
                  static_cast<double>(y2), static_cast<double>(thickness)};
    return AddShapeLayer(L, &s, SHAPE_LINE);
  }
  if (!isIdentity(m)) {
    double w = std::fabs(static_cast<double>(x2) - x1) + 1;
    double h = std::fabs(static_cast<double>(y2) - y1) + 1;
    double px = std::min(x1, x2) + std::nearbyint(w * transform->anchorX);
    double py = std::min(y1, y2) + std::nearbyint(h * transform->anchorY);
    auto turn = [&](int32_t* x, int32_t* y) {
      double dx = *x - px, dy = *y - py;
      *x = VmTruncInt32(std::nearbyint(px + m[0] * dx + m[2] * dy));
      *y = VmTruncInt32(std::nearbyint(py + m[1] * dx + m[3] * dy));
    };
    turn(&x1, &y1);
    turn(&x2, &y2);
    thickness = VmTruncInt32(std::nearbyint(std::fabs(m[0]) * thickness));
  }
  if (thickness <= 0) thickness = 1;
  if (thickness > LINE_MAX_THICKNESS) thickness = LINE_MAX_THICKNESS;

  // Only what can reach the output is drawn: the segment is clipped to the
  // output grown by the thickness and the anti-aliasing margin.
  const BitmapHandle* target = d->drawBitmap ? d->drawBitmap : d->windowBitmap;
  int32_t ow = target ? target->width : d->width, oh = target ? target->height : d->height;
  int32_t reach = thickness + 3;
  int32_t cx1 = x1, cy1 = y1, cx2 = x2, cy2 = y2;
  // A captured line is a layer's whole image, wherever it lies.
  if (activeShapeCapture) {
    ow = oh = INT32_MAX / 2;
    reach = INT32_MAX / 4;
  }
  if (!ClipLineSegment(&cx1, &cy1, &cx2, &cy2, -reach, ow - 1 + reach)) return ERR_NONE;
  if (!ClipLineSegment(&cy1, &cx1, &cy2, &cx2, -reach, oh - 1 + reach)) return ERR_NONE;
  // A clipped end lies on the grown edge; the part drawn inside the output
  // is that of the whole line as long as the cut stays outside.
  int64_t pad = (thickness > 1 ? thickness / 2 + 1 : 0) + (aa ? 2 : 0);
  int64_t left = std::min(cx1, cx2) - pad, top = std::min(cy1, cy2) - pad;
  int64_t w = std::abs(static_cast<int64_t>(cx2) - cx1) + 1 + 2 * pad;
  int64_t h = std::abs(static_cast<int64_t>(cy2) - cy1) + 1 + 2 * pad;
  if (ErrorCode e = CheckShapeImageSize(w, h)) return e;
  Coverage cov;
  if (!cov.Make(static_cast<int32_t>(w), static_cast<int32_t>(h))) return ERR_MEM;
  CoverageLine(&cov, static_cast<int32_t>(cx1 - left), static_cast<int32_t>(cy1 - top),
               static_cast<int32_t>(cx2 - left), static_cast<int32_t>(cy2 - top), thickness, aa);
  std::vector<uint32_t> pixels;
  AssignLarge(&pixels, static_cast<size_t>(w) * static_cast<size_t>(h));
  uint32_t opacity = 255 - (color >> 24);
  for (int64_t y = 0; y < h; ++y)
    for (int64_t x = 0; x < w; ++x) {
      uint32_t c = cov.bytes[static_cast<size_t>(y) * cov.stride + static_cast<size_t>(x)];
      if (!c) continue;
      uint32_t a = (c * opacity + 127) / 255;
      pixels[static_cast<size_t>(y * w + x)] = (a << 24) | (color & 0xFFFFFF);
    }
  return DeliverShapeImage(L, pixels, static_cast<int32_t>(w), static_cast<int32_t>(h),
                           static_cast<int32_t>(left), static_cast<int32_t>(top), objectStyle);
}

// Line(x1, y1, x2, y2 [, colour [, options or thickness [, angle]]]).
int CmdLine(VmState* L) {
  CheckArgCount(L, 4, 7, 0, 0);
  int32_t x1 = VmTruncInt32(VmCheckNumber(L, 1)), y1 = VmTruncInt32(VmCheckNumber(L, 2));
  int32_t x2 = VmTruncInt32(VmCheckNumber(L, 3)), y2 = VmTruncInt32(VmCheckNumber(L, 4));
  uint32_t color = 0;
  if (VmGetTop(L) >= 5 && VmType(L, 5) != VM_TYPE_NIL)
    color = static_cast<uint32_t>(VmNumberToInteger(VmCheckNumber(L, 5)));
  int32_t w = VmTruncInt32(std::fabs(static_cast<double>(x2) - x1) + 1);
  int32_t h = VmTruncInt32(std::fabs(static_cast<double>(y2) - y1) + 1);
  DisplayTransform t;
  ObjectStyle os;
  CopyDefaultTransform(&t);
  CopyDefaultObjectStyle(&os);
  int32_t thickness = 1;
  double angle = 0;
  bool turned = false;
  if (VmGetTop(L) >= 6 && VmType(L, 6) == VM_TYPE_TABLE) {
    if (ErrorCode e = ParseDisplayOptions(L, 6, w, h, 0, 0, 0, &t, &os, DISPOPT_DEFAULTS)) return e;
    int32_t found = 0;
    GetTableFieldInt(L, 6, "thickness", &thickness, &found);
  } else if (VmGetTop(L) >= 6 && VmType(L, 6) != VM_TYPE_NIL) {
    thickness = VmTruncInt32(VmCheckNumber(L, 6));
    if (VmGetTop(L) >= 7 && VmType(L, 7) != VM_TYPE_NIL) {
      angle = VmCheckNumber(L, 7);
      turned = true;
    }
  }
  if (thickness > SHAPE_MAX_THICKNESS) return ERR_WRONGUSAGE;
  if (turned) {
    double a = std::fmod(angle, 360.0);
    t.rotate = a;
    double m[4];
    BuildRotateScaleMatrix(m, 0, 0, w, h, 1, 1, a);
    t.m11 = m[0];
    t.m12 = m[1];
    t.m21 = m[2];
    t.m22 = m[3];
  }
  return DrawLineCore(L, ObjectId{}, GetCurrentDrawStyle(), x1, y1, x2, y2, color, thickness, &t,
                      &os, 0);
}
