// Shape outlines and geometry: ellipse arcs from the library's angle
// tables, box, ellipse, arc and polygon outlines, the outward offset of a
// polygon for its border, rotation about the anchor, and the clipping and
// shadow helpers that shapes and lines share.
//
// Invariant: outlines are closed (the last point repeats the first) and
// never hold more than SHAPE_MAX_POINTS points.
#include <algorithm>
#include <cmath>

#include "draw/shape_private.h"

namespace {

// A product on values scaled by 65536, rounded, then shifted down with
// floor: the integer coordinate of an outline point.
int32_t fixedFloor(double v) {
  double scaled = std::nearbyint(v * 65536.0);
  if (scaled >= 9.0e18 || scaled <= -9.0e18) return v > 0 ? INT32_MAX : INT32_MIN;
  int64_t q = static_cast<int64_t>(scaled) >> 16;
  return static_cast<int32_t>(std::clamp<int64_t>(q, INT32_MIN, INT32_MAX));
}

bool isIdentity(const double m[4]) { return m[0] == 1 && m[1] == 0 && m[2] == 0 && m[3] == 1; }

// The point at integer degree a of the ellipse (table entries hold 360 - a,
// so the sine read is -sin a and y grows downward for positive angles).
void ellipsePoint(int32_t cx, int32_t cy, int32_t rx, int32_t ry, int32_t a, const double m[4],
                  int32_t* x, int32_t* y) {
  int32_t i = ((a % 360) + 360) % 360;
  double c = drawContext.cosTable[i], s = drawContext.sinTable[i];
  *x = cx + fixedFloor(m[0] * rx * c + m[2] * ry * s);
  *y = cy + fixedFloor(m[1] * rx * c + m[3] * ry * s);
}

void push(ShapePoints* out, int32_t x, int32_t y) {
  if (static_cast<int32_t>(out->size() / 2) >= SHAPE_MAX_POINTS) return;
  out->push_back(x);
  out->push_back(y);
}

void close(ShapePoints* out) {
  if (out->size() < 2) return;
  size_t n = out->size();
  if ((*out)[0] != (*out)[n - 2] || (*out)[1] != (*out)[n - 1]) {
    if (static_cast<int32_t>(n / 2) >= SHAPE_MAX_POINTS) {
      (*out)[n - 2] = (*out)[0];
      (*out)[n - 1] = (*out)[1];
    } else {
      push(out, (*out)[0], (*out)[1]);
    }
  }
}

}  // namespace

void RotatePointAbout(int32_t px, int32_t py, int32_t width, int32_t height, const double m[4],
                      double ax, double ay, int32_t* outX, int32_t* outY) {
  if (isIdentity(m)) {
    *outX = px;
    *outY = py;
    return;
  }
  int32_t cx = VmTruncInt32(ax * width), cy = VmTruncInt32(ay * height);
  double dx = static_cast<double>(px) - cx, dy = static_cast<double>(py) - cy;
  *outX = VmTruncInt32(cx + m[0] * dx + m[2] * dy);
  *outY = VmTruncInt32(cy + m[1] * dx + m[3] * dy);
}

int32_t BuildEllipseArc(ShapePoints* out, int32_t cx, int32_t cy, int32_t rx, int32_t ry,
                        int32_t start, int32_t end, const double m[4], double ax, double ay,
                        int pie, int bounds) {
  out->clear();
  int32_t r = std::max(rx, ry);
  int32_t step = r < 3 ? 90 : r <= 9 ? 30 : r < 15 ? 18 : 5;
  if (start > end) std::swap(start, end);
  int64_t s = start, e = end;
  while (s < 0) {
    s += 360;
    e += 360;
  }
  while (s >= 360) {
    s -= 360;
    e -= 360;
  }
  if (e - s > 360) {
    s = 0;
    e = 360;
  }
  if (bounds) {
    int32_t minX = INT32_MAX, minY = INT32_MAX, maxX = INT32_MIN, maxY = INT32_MIN;
    for (int32_t a = 0; a <= 360 + step; a += step) {
      int32_t x, y;
      ellipsePoint(cx, cy, rx, ry, a, m, &x, &y);
      minX = std::min(minX, x);
      minY = std::min(minY, y);
      maxX = std::max(maxX, x);
      maxY = std::max(maxY, y);
    }
    push(out, minX, minY);
    push(out, maxX, maxY);
  }
  size_t first = out->size();
  for (int64_t a = s;; a += step) {
    if (a > e) a = e;
    int32_t x, y;
    ellipsePoint(cx, cy, rx, ry, static_cast<int32_t>(a % 360), m, &x, &y);
    size_t n = out->size();
    if (n == first || (*out)[n - 2] != x || (*out)[n - 1] != y) push(out, x, y);
    if (a == e) break;
  }
  if (pie && e - s < 360) push(out, cx, cy);
  while (out->size() - first < 4) push(out, (*out)[out->size() - 2], (*out)[out->size() - 1]);
  // The shape turns about its anchor: every point moves by where the
  // anchor rotation puts the centre compared with a rotation about the
  // middle.
  int32_t w = 2 * cx + 1, h = 2 * cy + 1, x1, y1, x2, y2;
  RotatePointAbout(cx, cy, w, h, m, ax, ay, &x1, &y1);
  RotatePointAbout(cx, cy, w, h, m, 0.5, 0.5, &x2, &y2);
  for (size_t i = bounds ? 0 : first; i < out->size(); i += 2) {
    (*out)[i] += x1 - x2;
    (*out)[i + 1] += y1 - y2;
  }
  return static_cast<int32_t>(out->size() / 2);
}

int32_t BuildShapeOutline(const ShapeDescriptor* shape, int32_t w, int32_t h, const double m[4],
                          double ax, double ay, ShapePoints* out) {
  out->clear();
  switch (shape->kind) {
    case SHAPE_BOX: {
      const int32_t* c = shape->corners;
      if (!c[0] && !c[1] && !c[2] && !c[3]) {
        const int32_t pts[] = {0, 0, w - 1, 0, w - 1, h - 1, 0, h - 1, 0, 0};
        out->assign(std::begin(pts), std::end(pts));
        return 5;
      }
      double s = std::min(w, h) / 2;
      struct Corner {
        int32_t cx, cy, from, to;
      };
      int32_t radius[4];
      for (int i = 0; i < 4; ++i) {
        int32_t p = std::min(c[i], 100);
        radius[i] = p <= 0 ? VmTruncInt32(s * 0.01) : VmTruncInt32(s * p / 100);
      }
      const Corner corners[4] = {
          {radius[0], radius[0], 90, 180},
          {radius[1], h - 1 - radius[1], 180, 270},
          {w - 1 - radius[2], h - 1 - radius[2], 270, 360},
          {w - 1 - radius[3], radius[3], 0, 90},
      };
      // Corners run counter-clockwise on screen (a to d) while the arcs
      // run by growing angle, so each arc is walked from its first angle;
      // the order a, b, c, d follows the outline.
      ShapePoints arc;
      for (int i = 0; i < 4; ++i) {
        int32_t rcx, rcy;
        RotatePointAbout(corners[i].cx, corners[i].cy, w, h, m, ax, ay, &rcx, &rcy);
        if (radius[i] == 0) {
          push(out, rcx, rcy);
          continue;
        }
        int32_t r = radius[i];
        int32_t step = r < 3 ? 90 : r <= 9 ? 30 : r < 15 ? 18 : 5;
        for (int32_t a = corners[i].from;; a += step) {
          if (a > corners[i].to) a = corners[i].to;
          int32_t x, y;
          ellipsePoint(0, 0, r, r, a, m, &x, &y);
          size_t n = out->size();
          if (n < 2 || (*out)[n - 2] != rcx + x || (*out)[n - 1] != rcy + y)
            push(out, rcx + x, rcy + y);
          if (a == corners[i].to) break;
        }
      }
      close(out);
      return static_cast<int32_t>(out->size() / 2);
    }
    case SHAPE_CIRCLE:
    case SHAPE_ELLIPSE:
      BuildEllipseArc(out, w / 2, h / 2, w / 2, h / 2, 0, 360, m, ax, ay, 1, 0);
      close(out);
      return static_cast<int32_t>(out->size() / 2);
    case SHAPE_ARC: {
      int64_t start = shape->startAngle, end = shape->endAngle;
      if (shape->clockwise) {
        while (end < start) end += 360;
      } else {
        while (start < end) start += 360;
      }
      if (end - start > 720 || start - end > 720) {
        start = 0;
        end = 360;
      }
      BuildEllipseArc(out, w / 2, h / 2, w / 2, h / 2, -static_cast<int32_t>(start),
                      -static_cast<int32_t>(end), m, ax, ay, 1, 1);
      // The bounds points make the image the whole ellipse's size; they
      // are not part of the outline.
      ShapePoints body(out->begin() + 4, out->end());
      *out = std::move(body);
      close(out);
      return static_cast<int32_t>(out->size() / 2);
    }
    case SHAPE_POLYGON:
      for (size_t i = 0; i + 1 < shape->vertices.size(); i += 2)
        push(out, VmTruncInt32(std::nearbyint(shape->vertices[i])),
             VmTruncInt32(std::nearbyint(shape->vertices[i + 1])));
      close(out);
      return static_cast<int32_t>(out->size() / 2);
    default:
      return 0;
  }
}

void OffsetPolygonOutline(const ShapePoints& in, int32_t size, ShapePoints* out) {
  // Distinct vertices, without the closing repeat.
  std::vector<double> v;
  for (size_t i = 0; i + 1 < in.size(); i += 2) {
    size_t n = v.size();
    if (n >= 2 && v[n - 2] == in[i] && v[n - 1] == in[i + 1]) continue;
    v.push_back(in[i]);
    v.push_back(in[i + 1]);
  }
  while (v.size() >= 4 && v[0] == v[v.size() - 2] && v[1] == v[v.size() - 1])
    v.resize(v.size() - 2);
  out->clear();
  size_t n = v.size() / 2;
  if (n < 3) {
    for (size_t i = 0; i < n; ++i) push(out, VmTruncInt32(v[2 * i]), VmTruncInt32(v[2 * i + 1]));
    close(out);
    return;
  }
  // The shoelace sum tells which side of each edge is outside.
  double area = 0;
  for (size_t i = 0; i < n; ++i) {
    size_t j = (i + 1) % n;
    area += v[2 * i] * v[2 * j + 1] - v[2 * j] * v[2 * i + 1];
  }
  double side = area > 0 ? 1 : -1;
  for (size_t i = 0; i < n; ++i) {
    size_t p = (i + n - 1) % n, q = (i + 1) % n;
    double ex1 = v[2 * i] - v[2 * p], ey1 = v[2 * i + 1] - v[2 * p + 1];
    double ex2 = v[2 * q] - v[2 * i], ey2 = v[2 * q + 1] - v[2 * i + 1];
    NormalizeVector(&ex1, &ey1);
    NormalizeVector(&ex2, &ey2);
    // Outward normals of both edges (y grows downward).
    double n1x = ey1 * side, n1y = -ex1 * side;
    double n2x = ey2 * side, n2y = -ex2 * side;
    double bx = n1x + n2x, by = n1y + n2y;
    double cross = ex1 * ey2 - ey1 * ex2;
    double dist = size;
    if (std::fabs(cross) <= 0.001 && ex1 * ex2 + ey1 * ey2 > 0) {
      bx = n1x;
      by = n1y;
    } else {
      NormalizeVector(&bx, &by);
      // Moving by b / sin(half the angle between the edges) keeps both
      // edges b away; very sharp corners stop at 4 b.
      double c = bx * n1x + by * n1y;
      dist = c > 0.25 ? size / c : 4.0 * size;
    }
    push(out, VmTruncInt32(std::nearbyint(v[2 * i] + bx * dist)),
         VmTruncInt32(std::nearbyint(v[2 * i + 1] + by * dist)));
  }
  close(out);
}

int ClipLineSegment(int32_t* a1, int32_t* b1, int32_t* a2, int32_t* b2, int32_t lo, int32_t hi) {
  if ((*a1 < lo && *a2 < lo) || (*a1 > hi && *a2 > hi)) return 0;
  auto cut = [&](int32_t* ea, int32_t* eb, int32_t oa, int32_t ob, int32_t edge) {
    double t = (static_cast<double>(edge) - *ea) / (static_cast<double>(oa) - *ea);
    *eb = VmTruncInt32(*eb + t * (static_cast<double>(ob) - *eb));
    *ea = edge;
  };
  if (*a1 < lo) cut(a1, b1, *a2, *b2, lo);
  if (*a2 < lo) cut(a2, b2, *a1, *b1, lo);
  if (*a1 > hi) cut(a1, b1, *a2, *b2, hi);
  if (*a2 > hi) cut(a2, b2, *a1, *b1, hi);
  return 1;
}

void ClampCorners(int32_t corners[4]) {
  for (int i = 0; i < 4; ++i) corners[i] = std::clamp(corners[i], 0, 100);
}

void SplitShadowOffset(int32_t size, int32_t direction, int32_t* shadowX, int32_t* shadowY,
                       int32_t* bodyX, int32_t* bodyY) {
  *shadowX = *shadowY = *bodyX = *bodyY = 0;
  bool north = direction == 0 || direction == 1 || direction == 7;
  bool south = direction >= 3 && direction <= 5;
  bool east = direction >= 1 && direction <= 3;
  bool west = direction >= 5 && direction <= 7;
  if (north) *bodyY = size;
  if (south) *shadowY = size;
  if (east) *shadowX = size;
  if (west) *bodyX = size;
}

void GrowByDirection(int32_t size, int32_t direction, int32_t* width, int32_t* height) {
  if ((direction >= 1 && direction <= 3) || (direction >= 5 && direction <= 7)) *width += size;
  if (direction == 0 || direction == 1 || (direction >= 3 && direction <= 5) || direction == 7)
    *height += size;
}

void NormalizeVector(double* x, double* y) {
  double length = std::sqrt(*x * *x + *y * *y);
  if (length == 0) return;
  *x /= length;
  *y /= length;
}
