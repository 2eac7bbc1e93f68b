// Coverage drawing on 8-bit images through OpenCV: polygon fills,
// polylines and lines, anti-aliased or 8-connected, in 255 on 0.
//
// OpenCV and the two dozen libraries it needs (LAPACK, BLAS, TBB, GLX,
// libstdc++ and more) cost more to map and relocate than all the rest of a
// player's start, so the drawing calls are bound on first use: the first
// coverage drawn opens the imgproc library by name and looks up its four
// drawing entry points, which take a plain matrix header over our buffer.
//
// Invariant: this is the one file that includes OpenCV; no exception thrown
// inside OpenCV leaves it. Thickness, point counts and coordinates are
// checked here, since OpenCV refuses some of them by throwing. Without the
// library (or one of its entry points) every coverage stays empty.
#include <algorithm>
#include <cmath>
#include <dlfcn.h>
#include <opencv2/imgproc/imgproc_c.h>
#include <vector>

#include "draw/draw.h"
#include "draw/shape_private.h"
#include "platform/linux/platform.h"

#ifndef QM_OPENCV_IMGPROC_SONAME
#define QM_OPENCV_IMGPROC_SONAME "libopencv_imgproc.so"
#endif

namespace {

// OpenCV keeps coordinates in its fixed-point code within a range, so
// figures are clipped to the image with a margin wider than the widest
// line before they are handed over: what lies inside the image is drawn as
// the whole figure would be, edges keeping their slopes.
constexpr double CLIP_MARGIN = 65536;
constexpr int LINE_8 = 8;
constexpr int LINE_AA = CV_AA;
constexpr int FILLED = CV_FILLED;

// The drawing entry points; all set, or the library is not usable.
struct DrawCalls {
  decltype(&cvFillPoly) fillPoly = nullptr;
  decltype(&cvFillConvexPoly) fillConvexPoly = nullptr;
  decltype(&cvLine) line = nullptr;
  decltype(&cvCircle) circle = nullptr;
  bool usable = false;
};

DrawCalls bindDrawCalls() {
  DrawCalls calls;
  // Kept open for the rest of the run: OpenCV leaves thread pools and
  // exit handlers behind.
  void* library = dlopen(QM_OPENCV_IMGPROC_SONAME, RTLD_LAZY | RTLD_NODELETE);
  if (!library) {
    DebugPrintf("WARNING: Could not open %s -- shapes will not be drawn!\n",
                QM_OPENCV_IMGPROC_SONAME);
    return calls;
  }
  calls.fillPoly = reinterpret_cast<decltype(&cvFillPoly)>(dlsym(library, "cvFillPoly"));
  calls.fillConvexPoly =
      reinterpret_cast<decltype(&cvFillConvexPoly)>(dlsym(library, "cvFillConvexPoly"));
  calls.line = reinterpret_cast<decltype(&cvLine)>(dlsym(library, "cvLine"));
  calls.circle = reinterpret_cast<decltype(&cvCircle)>(dlsym(library, "cvCircle"));
  calls.usable = calls.fillPoly && calls.fillConvexPoly && calls.line && calls.circle;
  if (!calls.usable)
    DebugPrintf("WARNING: Could not import all symbols from %s -- shapes will not be drawn!\n",
                QM_OPENCV_IMGPROC_SONAME);
  return calls;
}

// Bound once, by whichever thread draws first.
const DrawCalls& drawCalls() {
  static const DrawCalls calls = bindDrawCalls();
  return calls;
}

// A matrix header over the coverage's rows (padded to 4 bytes).
CvMat header(Coverage* c) {
  CvMat m = cvMat(c->height, c->width, CV_8UC1, c->bytes.data());
  m.step = c->stride;
  if (c->stride != c->width) m.type &= ~CV_MAT_CONT_FLAG;
  return m;
}

struct ClipBox {
  double x0, y0, x1, y1;
};

ClipBox clipBoxOf(const Coverage* c) {
  return {-CLIP_MARGIN, -CLIP_MARGIN, c->width + CLIP_MARGIN, c->height + CLIP_MARGIN};
}

struct PointD {
  double x, y;
};

CvPoint rounded(PointD p) {
  CvPoint q;
  q.x = static_cast<int>(std::lrint(p.x));
  q.y = static_cast<int>(std::lrint(p.y));
  return q;
}

// The closed polygon clipped to the box one side at a time; points outside
// are replaced by the path along the box's side, which leaves the fill
// inside the box as it was.
std::vector<CvPoint> clippedPolygon(const int32_t* points, int32_t count, const ClipBox& box) {
  std::vector<PointD> poly;
  poly.reserve(static_cast<size_t>(count));
  bool within = true;
  for (int32_t i = 0; i < count; ++i) {
    PointD p{static_cast<double>(points[2 * i]), static_cast<double>(points[2 * i + 1])};
    within = within && p.x >= box.x0 && p.x <= box.x1 && p.y >= box.y0 && p.y <= box.y1;
    poly.push_back(p);
  }
  if (!within) {
    std::vector<PointD> next;
    for (int side = 0; side < 4 && !poly.empty(); ++side) {
      // Sides: x >= x0, x <= x1, y >= y0, y <= y1.
      bool vertical = side < 2;
      double edge = side == 0 ? box.x0 : side == 1 ? box.x1 : side == 2 ? box.y0 : box.y1;
      auto in = [&](const PointD& p) {
        double v = vertical ? p.x : p.y;
        return side % 2 == 0 ? v >= edge : v <= edge;
      };
      auto cross = [&](const PointD& a, const PointD& b) {
        if (vertical) {
          double t = (edge - a.x) / (b.x - a.x);
          return PointD{edge, a.y + t * (b.y - a.y)};
        }
        double t = (edge - a.y) / (b.y - a.y);
        return PointD{a.x + t * (b.x - a.x), edge};
      };
      next.clear();
      for (size_t i = 0; i < poly.size(); ++i) {
        const PointD& prev = poly[i == 0 ? poly.size() - 1 : i - 1];
        const PointD& cur = poly[i];
        if (in(cur)) {
          if (!in(prev)) next.push_back(cross(prev, cur));
          next.push_back(cur);
        } else if (in(prev)) {
          next.push_back(cross(prev, cur));
        }
      }
      poly.swap(next);
    }
  }
  std::vector<CvPoint> out;
  out.reserve(poly.size());
  for (const PointD& p : poly) out.push_back(rounded(p));
  return out;
}

// The segment clipped to the box (Liang-Barsky); false when none of it
// lies inside.
bool clippedSegment(PointD* a, PointD* b, const ClipBox& box) {
  double dx = b->x - a->x, dy = b->y - a->y;
  double t0 = 0, t1 = 1;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {a->x - box.x0, box.x1 - a->x, a->y - box.y0, box.y1 - a->y};
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0) {
      if (q[i] < 0) return false;
      continue;
    }
    double t = q[i] / p[i];
    if (p[i] < 0) {
      t0 = std::max(t0, t);
    } else {
      t1 = std::min(t1, t);
    }
    if (t0 > t1) return false;
  }
  PointD from = *a;
  *a = {from.x + t0 * dx, from.y + t0 * dy};
  *b = {from.x + t1 * dx, from.y + t1 * dy};
  return true;
}

CvScalar white() {
  CvScalar s;
  s.val[0] = 255;
  s.val[1] = s.val[2] = s.val[3] = 0;
  return s;
}

int lineType(int antialias) { return antialias ? LINE_AA : LINE_8; }

}  // namespace

int Coverage::Make(int32_t w, int32_t h) {
  if (w < 1 || h < 1) return 0;
  int64_t s = (static_cast<int64_t>(w) + 3) & ~int64_t{3};
  int64_t bytesNeeded = s * h;
  // One coverage image stays below 1 GiB.
  if (bytesNeeded > (int64_t{1} << 30)) return 0;
  width = w;
  height = h;
  stride = static_cast<int32_t>(s);
  AssignLarge(&bytes, static_cast<size_t>(bytesNeeded));
  return 1;
}

void CoverageFillPolygon(Coverage* c, const int32_t* points, int32_t count, int antialias) {
  if (!c->width || count < 1) return;
  const DrawCalls& cv = drawCalls();
  if (!cv.usable) return;
  try {
    CvMat m = header(c);
    std::vector<CvPoint> p = clippedPolygon(points, count, clipBoxOf(c));
    if (p.empty()) return;
    CvPoint* contours[1] = {p.data()};
    int counts[1] = {static_cast<int>(p.size())};
    cv.fillPoly(&m, contours, counts, 1, white(), lineType(antialias), 0);
  } catch (...) {
  }
}

void CoveragePolyline(Coverage* c, const int32_t* points, int32_t count, int closed,
                      int32_t thickness, int antialias) {
  if (!c->width || count < 1) return;
  if (thickness < 1) {
    CoverageFillPolygon(c, points, count, antialias);
    return;
  }
  // Each segment is a band of the thickness with round ends, so outlines
  // get round joins; closed outlines run from the last point to the first
  // and on through all.
  for (int32_t i = closed ? 0 : 1; i < count; ++i) {
    int32_t j = i == 0 ? count - 1 : i - 1;
    CoverageLine(c, points[2 * j], points[2 * j + 1], points[2 * i], points[2 * i + 1], thickness,
                 antialias);
  }
  if (count == 1) CoverageLine(c, points[0], points[1], points[0], points[1], thickness, antialias);
}

void CoverageLine(Coverage* c, int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t thickness,
                  int antialias) {
  if (!c->width || thickness < 1 || thickness > SHAPE_MAX_THICKNESS) return;
  const DrawCalls& cv = drawCalls();
  if (!cv.usable) return;
  try {
    CvMat m = header(c);
    PointD from{static_cast<double>(x1), static_cast<double>(y1)};
    PointD to{static_cast<double>(x2), static_cast<double>(y2)};
    if (!clippedSegment(&from, &to, clipBoxOf(c))) return;
    CvPoint a = rounded(from);
    CvPoint b = rounded(to);
    // OpenCV's line refuses thicknesses from 256 (MAX_THICKNESS 32767 in
    // newer versions, but not everywhere): wider ones are drawn as a
    // filled band with filled round ends.
    if (thickness < 256) {
      cv.line(&m, a, b, white(), thickness, lineType(antialias), 0);
      return;
    }
    int radius = thickness / 2;
    cv.circle(&m, a, radius, white(), FILLED, lineType(antialias), 0);
    cv.circle(&m, b, radius, white(), FILLED, lineType(antialias), 0);
    double dx = static_cast<double>(b.x) - a.x, dy = static_cast<double>(b.y) - a.y;
    NormalizeVector(&dx, &dy);
    if (dx == 0 && dy == 0) return;
    double nx = -dy * thickness / 2.0, ny = dx * thickness / 2.0;
    auto corner = [](double x, double y) {
      CvPoint p;
      p.x = static_cast<int>(std::lrint(x));
      p.y = static_cast<int>(std::lrint(y));
      return p;
    };
    CvPoint band[4] = {corner(a.x + nx, a.y + ny), corner(b.x + nx, b.y + ny),
                       corner(b.x - nx, b.y - ny), corner(a.x - nx, a.y - ny)};
    cv.fillConvexPoly(&m, band, 4, white(), lineType(antialias), 0);
  } catch (...) {
  }
}

ErrorCode PolygonCoverage(const int32_t* points, int32_t count, int32_t width, int32_t height,
                          int antialias, std::vector<uint8_t>* out) {
  out->clear();
  if (width < 1 || height < 1 || count < 0) return ERR_WRONGUSAGE;
  Coverage c;
  if (!c.Make(width, height)) return ERR_MEM;
  CoverageFillPolygon(&c, points, count, antialias);
  out->resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int32_t y = 0; y < height; ++y)
    std::copy_n(c.bytes.data() + static_cast<size_t>(y) * static_cast<size_t>(c.stride), width,
                out->data() + static_cast<size_t>(y) * static_cast<size_t>(width));
  return ERR_NONE;
}
