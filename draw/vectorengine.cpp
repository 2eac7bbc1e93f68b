// The built-in vector engine: path items become sub-paths of lines and
// curves in 26.6 fixed point, which are filled as a FreeType outline or
// stroked with FreeType's stroker, and rendered into 8-bit coverage; and
// the shapes of the drawing library's vector route (rounded boxes,
// ellipses and arcs) built the same way.
//
// Invariant: a sub-path keeps its segments until its end is known, so a
// fill closes every sub-path (an open one covers its area too) while a
// stroke gives an open sub-path its caps; nothing FreeType allocates
// outlives the call that made it.
#include <ft2build.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include FT_BBOX_H
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_STROKER_H

#include "draw/vector_private.h"
#include "engine/engine.h"

namespace {

constexpr double PI = 3.14159265358979323846;

FT_Library library = nullptr;

FT_Library ftLibrary() {
  if (!library && FT_Init_FreeType(&library)) library = nullptr;
  return library;
}

struct Segment {
  int type;  // 0 line, 1 conic, 2 cubic
  FT_Vector c1, c2, to;
};
struct SubPath {
  FT_Vector start;
  std::vector<Segment> segments;
  bool open = true;
};

FT_Pos fixed(double v) {
  double f = std::trunc(v * 64.0);
  // Far-off coordinates are kept where 26.6 arithmetic stays exact; a
  // coordinate that is no number counts as 0.
  return VmSaturateInt<FT_Pos>(std::clamp(f, -1.0e9, 1.0e9));
}

// The walk over items: the current point, the sub-path being built and
// the finished ones.
class Builder {
 public:
  std::vector<SubPath> paths;
  double cx = 0, cy = 0;  // current point
  double sx = 0, sy = 0;  // start of the open sub-path
  bool active = false;
  bool failed = false;

  void Begin(double x, double y) {
    End(true);
    paths.push_back(SubPath{{fixed(x), fixed(y)}, {}, true});
    // Room for a closed ellipse or a rounded box without growing.
    paths.back().segments.reserve(8);
    active = true;
    sx = x;
    sy = y;
  }
  void End(bool open) {
    if (!active) return;
    paths.back().open = open;
    active = false;
  }
  void Line(double x, double y) {
    if (!active) {
      Begin(x, y);
      return;
    }
    FT_Vector to = {fixed(x), fixed(y)};
    const SubPath& s = paths.back();
    const FT_Vector& last = s.segments.empty() ? s.start : s.segments.back().to;
    if (last.x == to.x && last.y == to.y) return;
    paths.back().segments.push_back(Segment{0, {}, {}, to});
  }
  void Cubic(double x1, double y1, double x2, double y2, double x3, double y3) {
    if (!active) Begin(cx, cy);
    paths.back().segments.push_back(
        Segment{2, {fixed(x1), fixed(y1)}, {fixed(x2), fixed(y2)}, {fixed(x3), fixed(y3)}});
  }

  // An arc around (x, y): x + ra cos t, y + rb sin t, t growing clockwise
  // on screen. Pieces of at most pi are one cubic each, whose control
  // points lie (4/3) tan(span / 4) along the tangents.
  void Arc(double x, double y, double ra, double rb, double startDeg, double endDeg,
           bool clockwise) {
    double a0 = startDeg * PI / 180, a1 = endDeg * PI / 180;
    if (!(std::isfinite(a0) && std::isfinite(a1))) return;
    if (std::fabs(a1 - a0) > 1e6) return;
    if (clockwise) {
      while (a1 < a0) a1 += 2 * PI;
    } else {
      while (a1 > a0) a1 -= 2 * PI;
    }
    if (a0 == a1) return;
    while (std::fabs(a1 - a0) > 4 * PI) a1 += a1 > a0 ? -2 * PI : 2 * PI;
    double px = x + ra * std::cos(a0), py = y + rb * std::sin(a0);
    if (!active)
      Begin(px, py);
    else
      Line(px, py);
    piece(x, y, ra, rb, a0, a1);
    cx = x + ra * std::cos(a1);
    cy = y + rb * std::sin(a1);
  }

  // A rectangle with rounded corners (top-left, bottom-left, bottom-right,
  // top-right) as a closed sub-path of its own, run counter-clockwise on
  // screen from the top edge behind the top-left corner.
  void Box(double x1, double y1, double w, double h, const int32_t corners[4]) {
    End(true);
    double base = std::min(std::nearbyint(w), std::nearbyint(h));
    double r[4];
    for (int i = 0; i < 4; ++i)
      r[i] = corners[i] == 0 ? 0 : std::clamp(corners[i], 1, 100) / 100.0 * base / 2;
    double x2 = x1 + w, y2 = y1 + h;
    Begin(x1 + r[0], y1);
    corner(x1 + r[0], y1 + r[0], r[0], 270, 180);
    Line(x1, y2 - r[1]);
    corner(x1 + r[1], y2 - r[1], r[1], 180, 90);
    Line(x2 - r[2], y2);
    corner(x2 - r[2], y2 - r[2], r[2], 90, 0);
    Line(x2, y1 + r[3]);
    corner(x2 - r[3], y1 + r[3], r[3], 360, 270);
    Line(x1 + r[0], y1);
    End(false);
    cx = x1 + r[0];
    cy = y1;
  }

  // The contours of a glyph outline (already placed) as closed sub-paths:
  // on-curve points add lines, conic controls quadratic curves (with the
  // implied on-curve points between two of them), two cubic controls and a
  // point a cubic curve. Returns 0 for an invalid outline.
  bool AppendOutline(const FT_Outline& o) {
    End(true);
    int first = 0;
    for (int c = 0; c < o.n_contours; ++c) {
      int last = o.contours[c];
      if (last < first || last >= o.n_points) return false;
      int n = last - first + 1;
      auto tag = [&](int i) { return FT_CURVE_TAG(o.tags[first + (i % n)]); };
      auto pt = [&](int i) { return o.points[first + (i % n)]; };
      if (n < 2) {
        first = last + 1;
        continue;
      }
      std::vector<int> order;
      FT_Vector start;
      if (tag(0) == FT_CURVE_TAG_ON) {
        start = pt(0);
        for (int i = 1; i < n; ++i) order.push_back(i);
      } else if (tag(0) == FT_CURVE_TAG_CONIC) {
        bool lastOn = tag(n - 1) == FT_CURVE_TAG_ON;
        start = lastOn ? pt(n - 1)
                       : FT_Vector{(pt(0).x + pt(n - 1).x) / 2, (pt(0).y + pt(n - 1).y) / 2};
        for (int i = 0; i < (lastOn ? n - 1 : n); ++i) order.push_back(i);
      } else {
        return false;
      }
      paths.push_back(SubPath{start, {}, false});
      SubPath& s = paths.back();
      size_t k = 0;
      while (k < order.size()) {
        int i = order[k];
        int t = tag(i);
        if (t == FT_CURVE_TAG_ON) {
          s.segments.push_back(Segment{0, {}, {}, pt(i)});
          ++k;
        } else if (t == FT_CURVE_TAG_CONIC) {
          FT_Vector control = pt(i), to = start;
          ++k;
          if (k < order.size()) {
            int j = order[k];
            if (tag(j) == FT_CURVE_TAG_ON) {
              to = pt(j);
              ++k;
            } else if (tag(j) == FT_CURVE_TAG_CONIC) {
              to = FT_Vector{(control.x + pt(j).x) / 2, (control.y + pt(j).y) / 2};
            } else {
              return false;
            }
          }
          s.segments.push_back(Segment{1, control, {}, to});
        } else {
          if (k + 1 >= order.size() || tag(order[k + 1]) != FT_CURVE_TAG_CUBIC) return false;
          FT_Vector to = k + 2 < order.size() ? pt(order[k + 2]) : start;
          s.segments.push_back(Segment{2, pt(i), pt(order[k + 1]), to});
          k += 3;
        }
      }
      first = last + 1;
    }
    return true;
  }

 private:
  void piece(double x, double y, double ra, double rb, double a0, double a1) {
    double span = a1 - a0;
    if (std::fabs(span) > PI) {
      double mid = a0 + span / 2;
      piece(x, y, ra, rb, a0, mid);
      piece(x, y, ra, rb, mid, a1);
      return;
    }
    double k = 4.0 / 3.0 * std::tan(span / 4);
    double x0 = x + ra * std::cos(a0), y0 = y + rb * std::sin(a0);
    double x3 = x + ra * std::cos(a1), y3 = y + rb * std::sin(a1);
    Cubic(x0 - k * ra * std::sin(a0), y0 + k * rb * std::cos(a0), x3 + k * ra * std::sin(a1),
          y3 - k * rb * std::cos(a1), x3, y3);
  }
  void corner(double x, double y, double r, double from, double to) {
    if (r <= 0) return;
    Arc(x, y, r, r, from, to, from < to);
  }
};

// UTF-8 decoding of a text item: 0 at the end of the text, -1 for an
// invalid or cut sequence, which ends the item.
int32_t nextCodePoint(const unsigned char** p) {
  const unsigned char* s = *p;
  if (!*s) return 0;
  unsigned c = *s;
  int extra = c < 0x80             ? 0
              : (c & 0xE0) == 0xC0 ? 1
              : (c & 0xF0) == 0xE0 ? 2
              : (c & 0xF8) == 0xF0 ? 3
                                   : -1;
  if (extra < 0) return -1;
  uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
  for (int i = 1; i <= extra; ++i) {
    if ((s[i] & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  static const uint32_t MIN[4] = {0, 0x80, 0x800, 0x10000};
  if (cp < MIN[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  *p = s + extra + 1;
  return static_cast<int32_t>(cp);
}

// Reads items of a path buffer.
class ItemReader {
 public:
  explicit ItemReader(const uint8_t* p) : p_(p) {}
  int32_t Int() {
    int32_t v;
    std::memcpy(&v, p_, 4);
    p_ += 4;
    return v;
  }
  double Double() {
    double v;
    std::memcpy(&v, p_, 8);
    p_ += 8;
    return v;
  }
  const void* Pointer() {
    const void* v;
    std::memcpy(&v, p_, sizeof v);
    p_ += sizeof v;
    return v;
  }
  const char* String() {
    const char* s = reinterpret_cast<const char*>(p_);
    size_t n = std::strlen(s) + 1;
    p_ += (n + 3) & ~size_t{3};
    return s;
  }
  int32_t PeekKind() const {
    int32_t v;
    std::memcpy(&v, p_, 4);
    return v;
  }

 private:
  const uint8_t* p_;
};

void addText(Builder* b, FT_Face face, int32_t size, const char* text) {
  b->End(true);
  if (!face || size <= 0 || FT_Set_Char_Size(face, 0, static_cast<FT_F26Dot6>(size) * 64, 72, 72))
    return;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (;;) {
    int32_t cp = nextCodePoint(&p);
    if (cp <= 0) break;
    if (FT_Load_Char(face, static_cast<FT_ULong>(cp), FT_LOAD_NO_BITMAP) ||
        face->glyph->format != FT_GLYPH_FORMAT_OUTLINE)
      break;
    FT_Outline& o = face->glyph->outline;
    FT_Matrix flip = {0x10000, 0, 0, -0x10000};
    FT_Outline_Transform(&o, &flip);
    FT_Outline_Translate(&o, fixed(b->cx), fixed(b->cy));
    if (!b->AppendOutline(o)) {
      b->failed = true;
      break;
    }
    b->cx += face->glyph->advance.x / 64.0;
  }
}

void walk(Builder* b, const uint8_t* items, double ox, double oy) {
  ItemReader r(items);
  for (;;) {
    int32_t kind = r.Int();
    switch (kind) {
      case PATHITEM_MOVETO:
      case PATHITEM_LINETO: {
        int32_t rel = r.Int();
        double x = r.Double(), y = r.Double();
        x += rel ? b->cx : ox;
        y += rel ? b->cy : oy;
        if (kind == PATHITEM_MOVETO) {
          b->End(true);
          if (r.PeekKind() != PATHITEM_TEXT) b->Begin(x, y);
        } else {
          b->Line(x, y);
        }
        b->cx = x;
        b->cy = y;
        break;
      }
      case PATHITEM_CURVETO: {
        int32_t rel = r.Int();
        double v[6];
        for (double& d : v) d = r.Double();
        double bx = rel ? b->cx : ox, by = rel ? b->cy : oy;
        b->Cubic(v[0] + bx, v[1] + by, v[2] + bx, v[3] + by, v[4] + bx, v[5] + by);
        b->cx = v[4] + bx;
        b->cy = v[5] + by;
        break;
      }
      case PATHITEM_NEWSUBPATH:
        break;
      case PATHITEM_CLOSEPATH:
        b->End(false);
        b->cx = b->sx;
        b->cy = b->sy;
        break;
      case PATHITEM_ARC: {
        double v[6];
        for (double& d : v) d = r.Double();
        int32_t clockwise = r.Int();
        b->Arc(v[0] + ox, v[1] + oy, v[2], v[3], v[4], v[5], clockwise != 0);
        break;
      }
      case PATHITEM_BOX: {
        double v[4];
        for (double& d : v) d = r.Double();
        int32_t c[4];
        for (int32_t& k : c) k = r.Int();
        b->Box(v[0] + ox, v[1] + oy, v[2], v[3], c);
        break;
      }
      case PATHITEM_TEXT: {
        FT_Face face = static_cast<FT_Face>(const_cast<void*>(r.Pointer()));
        int32_t size = r.Int();
        const char* text = r.String();
        addText(b, face, size, text);
        break;
      }
      default:
        b->End(true);
        return;
    }
  }
}

// An outline that owns its arrays.
struct Outline {
  std::vector<FT_Vector> points;
  std::vector<char> tags;
  std::vector<short> contours;
  FT_Outline view{};
  FT_Outline* stroked = nullptr;
  ~Outline() {
    if (stroked) FT_Outline_Done(library, stroked);
    delete stroked;
  }
  FT_Outline* Get() { return stroked ? stroked : &view; }
};

// The sub-paths as one fill outline, every sub-path closed.
bool fillOutline(const std::vector<SubPath>& paths, bool evenOdd, Outline* out) {
  // The arrays are sized once: a line adds one point, a conic two, a cubic
  // twelve (its four pieces), each sub-path its start.
  size_t points = 0, contours = 0;
  for (const SubPath& s : paths) {
    if (s.segments.empty()) continue;
    ++contours;
    points += 1;
    for (const Segment& g : s.segments) points += g.type == 2 ? 12 : g.type == 1 ? 2 : 1;
  }
  out->points.reserve(points);
  out->tags.reserve(points);
  out->contours.reserve(contours);
  for (const SubPath& s : paths) {
    if (s.segments.empty()) continue;
    out->points.push_back(s.start);
    out->tags.push_back(FT_CURVE_TAG_ON);
    for (const Segment& g : s.segments) {
      if (g.type == 1) {
        out->points.push_back(g.c1);
        out->tags.push_back(FT_CURVE_TAG_CONIC);
      } else if (g.type == 2) {
        // A cubic goes in as four pieces (split at t = 1/4, 1/2, 3/4), as a
        // stroker splits curves: the control box then hugs the curve (for
        // a half circle within 1/64 instead of 4/3 of the radius).
        const FT_Vector& from = out->points.back();
        double p[4][2] = {{double(from.x), double(from.y)},
                          {double(g.c1.x), double(g.c1.y)},
                          {double(g.c2.x), double(g.c2.y)},
                          {double(g.to.x), double(g.to.y)}};
        auto at = [&p](double t, int k) {
          double u = 1 - t;
          return u * u * u * p[0][k] + 3 * u * u * t * p[1][k] + 3 * u * t * t * p[2][k] +
                 t * t * t * p[3][k];
        };
        auto slope = [&p](double t, int k) {
          double u = 1 - t;
          return 3 * (u * u * (p[1][k] - p[0][k]) + 2 * u * t * (p[2][k] - p[1][k]) +
                      t * t * (p[3][k] - p[2][k]));
        };
        auto pos = [](double v) { return static_cast<FT_Pos>(std::nearbyint(v)); };
        for (int piece = 0; piece < 4; ++piece) {
          double t0 = piece / 4.0, t1 = (piece + 1) / 4.0, d = (t1 - t0) / 3;
          out->points.push_back(
              {pos(at(t0, 0) + d * slope(t0, 0)), pos(at(t0, 1) + d * slope(t0, 1))});
          out->points.push_back(
              {pos(at(t1, 0) - d * slope(t1, 0)), pos(at(t1, 1) - d * slope(t1, 1))});
          out->tags.push_back(FT_CURVE_TAG_CUBIC);
          out->tags.push_back(FT_CURVE_TAG_CUBIC);
          if (piece < 3) {
            out->points.push_back({pos(at(t1, 0)), pos(at(t1, 1))});
            out->tags.push_back(FT_CURVE_TAG_ON);
          }
        }
      }
      out->points.push_back(g.to);
      out->tags.push_back(FT_CURVE_TAG_ON);
    }
    if (out->points.size() > 32767 || out->contours.size() >= 32767) return false;
    out->contours.push_back(static_cast<short>(out->points.size() - 1));
  }
  out->view.n_points = static_cast<short>(out->points.size());
  out->view.n_contours = static_cast<short>(out->contours.size());
  out->view.points = out->points.data();
  out->view.tags = out->tags.data();
  out->view.contours = out->contours.data();
  out->view.flags = evenOdd ? FT_OUTLINE_EVEN_ODD_FILL : 0;
  return true;
}

// Whether every point of the sub-path lies on its start (a circle or box of
// no size once in 26.6 units). The stroker has no direction to give such
// a sub-path: it drops its zero-length segments, and ending a closed one
// with none left corrupts its borders. It has nothing to stroke.
bool collapsed(const SubPath& s) {
  auto at = [&s](const FT_Vector& v) { return v.x == s.start.x && v.y == s.start.y; };
  for (const Segment& g : s.segments)
    if (!at(g.to) || (g.type >= 1 && !at(g.c1)) || (g.type == 2 && !at(g.c2))) return false;
  return true;
}

// The sub-paths stroked: open ones get caps, closed ones joins all round.
bool strokeOutline(const std::vector<SubPath>& paths, int32_t width, int32_t cap, int32_t join,
                   double miter, Outline* out) {
  FT_Library lib = ftLibrary();
  FT_Stroker stroker = nullptr;
  if (!lib || width < 1 || FT_Stroker_New(lib, &stroker)) return false;
  static const FT_Stroker_LineCap CAPS[3] = {FT_STROKER_LINECAP_BUTT, FT_STROKER_LINECAP_ROUND,
                                             FT_STROKER_LINECAP_SQUARE};
  static const FT_Stroker_LineJoin JOINS[3] = {
      FT_STROKER_LINEJOIN_MITER_FIXED, FT_STROKER_LINEJOIN_ROUND, FT_STROKER_LINEJOIN_BEVEL};
  FT_Stroker_Set(stroker, static_cast<FT_Fixed>(width) * 32, CAPS[cap >= 0 && cap <= 2 ? cap : 0],
                 JOINS[join >= 0 && join <= 2 ? join : 0],
                 static_cast<FT_Fixed>(std::clamp(miter, 1.0, 1000.0) * 65536));
  bool ok = true;
  for (const SubPath& s : paths) {
    if (s.segments.empty() || collapsed(s)) continue;
    FT_Vector start = s.start;
    if (FT_Stroker_BeginSubPath(stroker, &start, s.open)) {
      ok = false;
      break;
    }
    for (const Segment& g : s.segments) {
      FT_Vector c1 = g.c1, c2 = g.c2, to = g.to;
      FT_Error e = g.type == 0   ? FT_Stroker_LineTo(stroker, &to)
                   : g.type == 1 ? FT_Stroker_ConicTo(stroker, &c1, &to)
                                 : FT_Stroker_CubicTo(stroker, &c1, &c2, &to);
      if (e) ok = false;
    }
    if (FT_Stroker_EndSubPath(stroker)) ok = false;
    if (!ok) break;
  }
  FT_UInt points = 0, contours = 0;
  if (ok && !FT_Stroker_GetCounts(stroker, &points, &contours) && points <= 32767 &&
      contours <= 32767) {
    out->stroked = new FT_Outline{};
    if (FT_Outline_New(lib, points, static_cast<FT_Int>(contours), out->stroked)) {
      delete out->stroked;
      out->stroked = nullptr;
      ok = false;
    } else {
      out->stroked->n_points = 0;
      out->stroked->n_contours = 0;
      FT_Stroker_Export(stroker, out->stroked);
    }
  } else {
    ok = false;
  }
  FT_Stroker_Done(stroker);
  return ok;
}

bool isIdentity(const double* m) {
  return !m || (m[0] == 1 && m[1] == 0 && m[2] == 0 && m[3] == 1);
}

void transform(FT_Outline* o, const double* m) {
  if (isIdentity(m)) return;
  auto f = [](double v) { return VmSaturateInt<FT_Fixed>(std::nearbyint(v * 65536)); };
  FT_Matrix matrix = {f(m[0]), f(m[2]), f(m[1]), f(m[3])};
  FT_Outline_Transform(o, &matrix);
}

bool buildOutline(const VectorPathRequest* r, Outline* out) {
  if (!r->items || !ftLibrary()) return false;
  Builder b;
  walk(&b, r->items, r->xOffset, r->yOffset);
  b.End(true);
  if (b.failed) return false;
  const VectorLineStyle* s = r->style;
  bool ok = r->fill ? fillOutline(b.paths, s && s->fillRule == FILLRULEEVENODD, out)
                    : strokeOutline(b.paths, r->lineWidth, s ? s->cap : 0, s ? s->join : 0,
                                    s ? s->miterLimit : 10.0, out);
  if (ok) transform(out->Get(), r->matrix);
  return ok;
}

// Renders the outline, its control box moved to whole pixels from 0, 0,
// into 8-bit coverage (top row first) of a clear target; without
// anti-aliasing every pixel is 0 or 255.
bool render(FT_Outline* o, uint8_t* target, int32_t stride, int32_t width, int32_t height,
            bool antialias, int32_t shiftX = 0, int32_t shiftY = 0) {
  if (!target || width < 1 || height < 1 || stride < width) return false;
  if (o->n_points == 0) return true;
  FT_BBox box;
  FT_Outline_Get_CBox(o, &box);
  FT_Outline_Translate(o, -(box.xMin & ~63) + FT_Pos{shiftX} * 64,
                       -(box.yMin & ~63) + FT_Pos{shiftY} * 64);
  FT_Bitmap bitmap{};
  bitmap.rows = static_cast<unsigned>(height);
  bitmap.width = static_cast<unsigned>(width);
  if (antialias) {
    // Straight into the (clear) target: with a negative pitch FreeType's
    // lowest row is the target's first.
    bitmap.pitch = -stride;
    bitmap.pixel_mode = FT_PIXEL_MODE_GRAY;
    bitmap.num_grays = 256;
    bitmap.buffer = target;
    return FT_Outline_Get_Bitmap(library, o, &bitmap) == 0;
  }
  // Only FreeType's smooth rasterizer knows the even-odd rule: without
  // anti-aliasing such an outline is rendered smooth and cut at half.
  const bool threshold = o->flags & FT_OUTLINE_EVEN_ODD_FILL;
  // FreeType's monochrome rasterizer keeps bitmap coordinates in 16 bits:
  // given a bitmap of 32768 rows or columns it may never return. Larger
  // targets are rendered in tiles, the outline moved onto each.
  constexpr int32_t TILE = 16384;
  std::vector<uint8_t> scratch;
  for (int32_t top = 0; top < height; top += TILE)
    for (int32_t left = 0; left < width; left += TILE) {
      const int32_t w = std::min(TILE, width - left), h = std::min(TILE, height - top);
      bitmap.rows = static_cast<unsigned>(h);
      bitmap.width = static_cast<unsigned>(w);
      if (threshold) {
        bitmap.pitch = w;
        bitmap.pixel_mode = FT_PIXEL_MODE_GRAY;
        bitmap.num_grays = 256;
      } else {
        bitmap.pitch = ((w + 15) / 16) * 2;
        bitmap.pixel_mode = FT_PIXEL_MODE_MONO;
        bitmap.num_grays = 2;
      }
      scratch.assign(static_cast<size_t>(bitmap.pitch) * static_cast<size_t>(h), 0);
      bitmap.buffer = scratch.data();
      FT_Outline_Translate(o, -FT_Pos{left} * 64, -FT_Pos{top} * 64);
      const bool drawn = FT_Outline_Get_Bitmap(library, o, &bitmap) == 0;
      FT_Outline_Translate(o, FT_Pos{left} * 64, FT_Pos{top} * 64);
      if (!drawn) return false;
      // FreeType's first row is the highest y, which is the tile's last.
      for (int32_t y = 0; y < h; ++y) {
        const uint8_t* src = scratch.data() + static_cast<size_t>(h - 1 - y) * bitmap.pitch;
        uint8_t* dst = target + static_cast<size_t>(top + y) * stride + left;
        for (int32_t x = 0; x < w; ++x) {
          uint8_t v = threshold                              ? (src[x] >= 128 ? 255 : 0)
                      : ((src[x >> 3] >> (7 - (x & 7))) & 1) ? 255
                                                             : 0;
          dst[x] = std::max(dst[x], v);
        }
      }
    }
  return true;
}

}  // namespace

void PathItemWriter::Int(int32_t v) {
  uint8_t b[4];
  std::memcpy(b, &v, 4);
  bytes.insert(bytes.end(), b, b + 4);
}
void PathItemWriter::Double(double v) {
  uint8_t b[8];
  std::memcpy(b, &v, 8);
  bytes.insert(bytes.end(), b, b + 8);
}
void PathItemWriter::Pointer(const void* p) {
  uint8_t b[sizeof p];
  std::memcpy(b, &p, sizeof p);
  bytes.insert(bytes.end(), b, b + sizeof p);
}
void PathItemWriter::String(const char* text) {
  size_t n = std::strlen(text) + 1;
  bytes.insert(bytes.end(), text, text + n);
  while (bytes.size() % 4) bytes.push_back(0);
}
const uint8_t* PathItemWriter::Finish() {
  Int(0);
  return bytes.data();
}

int GetVectorPathExtents(VectorPathRequest* r) {
  Outline o;
  if (!buildOutline(r, &o)) return 0;
  FT_BBox box{};
  if (o.Get()->n_points) FT_Outline_Get_CBox(o.Get(), &box);
  r->x1 = box.xMin / 64.0;
  r->y1 = box.yMin / 64.0;
  r->x2 = box.xMax / 64.0;
  r->y2 = box.yMax / 64.0;
  return 1;
}

int DrawVectorPath(VectorPathRequest* r) {
  Outline o;
  if (!buildOutline(r, &o)) return 0;
  return render(o.Get(), r->target, r->bytesPerRow, r->width, r->height,
                !r->style || r->style->antialias, r->shiftX, r->shiftY)
             ? 1
             : 0;
}

int DrawVectorPathSpans(VectorPathRequest* r, VectorSpanFunction span, void* user) {
  if (!r->style || !r->style->antialias || r->width < 1 || r->height < 1 || !ftLibrary()) return 0;
  Outline o;
  if (!buildOutline(r, &o)) return 0;
  FT_Outline* outline = o.Get();
  if (outline->n_points == 0) return 1;
  FT_BBox box;
  FT_Outline_Get_CBox(outline, &box);
  FT_Outline_Translate(outline, -(box.xMin & ~63) + FT_Pos{r->shiftX} * 64,
                       -(box.yMin & ~63) + FT_Pos{r->shiftY} * 64);
  struct Sink {
    VectorSpanFunction span;
    void* user;
  } sink{span, user};
  FT_Raster_Params params{};
  // The spans FreeType's smooth rasterizer would write into a bitmap of the
  // target's size, handed over instead; FreeType's row y is the target's
  // row y, as with the negative pitch of DrawVectorPath.
  params.flags = FT_RASTER_FLAG_AA | FT_RASTER_FLAG_DIRECT | FT_RASTER_FLAG_CLIP;
  static_assert(sizeof(VectorSpan) == sizeof(FT_Span) &&
                offsetof(VectorSpan, x) == offsetof(FT_Span, x) &&
                offsetof(VectorSpan, length) == offsetof(FT_Span, len) &&
                offsetof(VectorSpan, coverage) == offsetof(FT_Span, coverage));
  params.gray_spans = [](int y, int count, const FT_Span* spans, void* data) {
    const auto* to = static_cast<const Sink*>(data);
    to->span(to->user, y, reinterpret_cast<const VectorSpan*>(spans), count);
  };
  params.user = &sink;
  params.clip_box = FT_BBox{0, 0, r->width, r->height};
  return FT_Outline_Render(library, outline, &params) == 0 ? 1 : 0;
}

void TranslateVectorPath(uint8_t* items, double dx, double dy) {
  auto addAt = [](uint8_t* at, double d) {
    double v;
    std::memcpy(&v, at, 8);
    v += d;
    std::memcpy(at, &v, 8);
  };
  for (uint8_t* p = items; size_t size = PathItemSize(p); p += size) {
    int32_t kind;
    std::memcpy(&kind, p, 4);
    switch (kind) {
      case PATHITEM_MOVETO:
      case PATHITEM_LINETO:
      case PATHITEM_CURVETO: {
        int32_t rel;
        std::memcpy(&rel, p + 4, 4);
        if (rel) break;
        for (uint8_t* pair = p + 8; pair < p + size; pair += 16) {
          addAt(pair, dx);
          addAt(pair + 8, dy);
        }
        break;
      }
      case PATHITEM_ARC:
      case PATHITEM_BOX:
        // The centre or the corner comes first.
        addAt(p + 4, dx);
        addAt(p + 12, dy);
        break;
      default:
        break;
    }
  }
}

int GetVectorCurrentPoint(VectorPathRequest* r, double* x, double* y) {
  if (!r->items) return 0;
  Builder b;
  walk(&b, r->items, 0, 0);
  if (b.failed) return 0;
  *x = b.cx;
  *y = b.cy;
  return 1;
}

void* OpenVectorFont(const uint8_t* bytes, size_t length) {
  FT_Face face = nullptr;
  if (!ftLibrary() || FT_New_Memory_Face(library, bytes, static_cast<FT_Long>(length), 0, &face))
    return nullptr;
  return face;
}

void CloseVectorFont(void* face) {
  if (face) FT_Done_Face(static_cast<FT_Face>(face));
}

namespace {

// The request's outline (turned by its matrix) and the box it is measured
// against; the request's outWidth and outHeight are set from the box.
bool shapeOutline(VectorShapeRequest* r, Outline* o, FT_BBox* box) {
  Builder b;
  double g = r->growth;
  FT_BBox full{};
  bool placeOnFull = false;
  if (r->kind == 14) {
    static const int32_t SHARP[4] = {0, 0, 0, 0};
    b.Box(0, 0, r->width + 2 * g, r->height + 2 * g, r->corners ? r->corners : SHARP);
  } else {
    double rx = r->rx + g, ry = r->ry + g;
    bool part = r->kind == 31 && !(r->startAngle == 0 && r->endAngle == 360);
    if (part) {
      // The arc keeps its place on its whole ellipse: a pie from the
      // centre, measured against the full ellipse's box.
      Builder whole;
      whole.Arc(0, 0, rx, ry, 0, 360, true);
      whole.End(false);
      Outline wo;
      if (!fillOutline(whole.paths, false, &wo)) return false;
      transform(wo.Get(), r->matrix);
      FT_Outline_Get_BBox(wo.Get(), &full);
      placeOnFull = true;
      b.Begin(0, 0);
      b.Arc(0, 0, rx, ry, r->startAngle, r->endAngle, r->clockwise != 0);
      b.End(false);
    } else {
      b.Arc(0, 0, rx, ry, 0, 360, true);
      b.End(false);
    }
  }
  bool ok = r->fill ? fillOutline(b.paths, false, o)
                    : strokeOutline(b.paths, r->strokeWidth, CAPROUND, JOINROUND, 10.0, o);
  if (!ok) return false;
  transform(o->Get(), r->matrix);
  // Shapes take their exact box, not the control box: a curve's control
  // points lie outside it.
  *box = FT_BBox{};
  if (o->Get()->n_points) FT_Outline_Get_BBox(o->Get(), box);
  if (placeOnFull) {
    if (!r->fill) {
      FT_Pos grow = static_cast<FT_Pos>(r->strokeWidth) * 32;
      full.xMin -= grow, full.yMin -= grow, full.xMax += grow, full.yMax += grow;
    }
    *box = full;
  }
  auto floorPix = [](FT_Pos v) { return static_cast<int32_t>(std::floor(v / 64.0)); };
  auto ceilPix = [](FT_Pos v) { return static_cast<int32_t>(std::ceil(v / 64.0)); };
  r->outWidth = ceilPix(box->xMax) - floorPix(box->xMin);
  r->outHeight = ceilPix(box->yMax) - floorPix(box->yMin);
  // Placed against the measured box, so that a part arc sits where it
  // lies on the whole ellipse.
  FT_Outline_Translate(o->Get(), -(box->xMin & ~63), -(box->yMin & ~63));
  return true;
}

}  // namespace

int InbuiltDrawShape(VectorShapeRequest* r) {
  if (!ftLibrary()) return 0;
  Outline o;
  FT_BBox box;
  if (!shapeOutline(r, &o, &box)) return 0;
  if (!r->target || o.Get()->n_points == 0) return 1;
  const bool whole = r->targetWidth < 1 || r->targetHeight < 1;
  const int32_t width = whole ? r->outWidth : r->targetWidth;
  const int32_t height = whole ? r->outHeight : r->targetHeight;
  if (width < 1 || height < 1) return 1;
  if (!whole) FT_Outline_Translate(o.Get(), FT_Pos{r->originX} * 64, FT_Pos{r->originY} * 64);
  // Straight into the (clear) target: with a negative pitch FreeType's
  // lowest row, the outline's top, is the target's first.
  FT_Bitmap bitmap{};
  bitmap.rows = static_cast<unsigned>(height);
  bitmap.width = static_cast<unsigned>(width);
  bitmap.pitch = -r->bytesPerRow;
  bitmap.pixel_mode = FT_PIXEL_MODE_GRAY;
  bitmap.num_grays = 256;
  bitmap.buffer = r->target;
  return FT_Outline_Get_Bitmap(library, o.Get(), &bitmap) == 0 ? 1 : 0;
}

int InbuiltDrawShapeSpans(VectorShapeRequest* r,
                          int (*place)(void* user, int32_t width, int32_t height, int32_t part[4]),
                          VectorSpanFunction span, void* user) {
  if (!ftLibrary()) return 0;
  Outline o;
  FT_BBox box;
  if (!shapeOutline(r, &o, &box)) return 0;
  if (r->outWidth < 1 || r->outHeight < 1) return -1;
  int32_t part[4] = {0, 0, r->outWidth, r->outHeight};
  if (!place(user, r->outWidth, r->outHeight, part)) return -1;
  // FreeType's spans hold x in 16 bits: place keeps its part narrower.
  if (part[2] > INT16_MAX) return 0;
  if (o.Get()->n_points == 0 || part[2] < 1 || part[3] < 1) return 1;
  FT_Outline_Translate(o.Get(), -FT_Pos{part[0]} * 64, -FT_Pos{part[1]} * 64);
  struct Sink {
    VectorSpanFunction span;
    void* user;
  } sink{span, user};
  FT_Raster_Params params{};
  // The spans the smooth rasterizer would write into a coverage bitmap of
  // the measured size, handed over instead; FreeType's row y is that
  // coverage's row y counted from the top, as InbuiltDrawShape turns it.
  params.flags = FT_RASTER_FLAG_AA | FT_RASTER_FLAG_DIRECT | FT_RASTER_FLAG_CLIP;
  params.gray_spans = [](int y, int count, const FT_Span* spans, void* data) {
    const auto* to = static_cast<const Sink*>(data);
    to->span(to->user, y, reinterpret_cast<const VectorSpan*>(spans), count);
  };
  params.user = &sink;
  params.clip_box = FT_BBox{0, 0, part[2], part[3]};
  return FT_Outline_Render(library, o.Get(), &params) == 0 ? 1 : 0;
}

void FreeVectorEngine() {
  if (library) FT_Done_FreeType(library);
  library = nullptr;
}
