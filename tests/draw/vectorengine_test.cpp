// The built-in vector engine on item buffers built by hand: fill rules,
// rounded boxes, arcs, open sub-paths, stroke caps and joins, the area of
// a filled disc, arc placement and a text item's glyph.
#include <gtest/gtest.h>

#include <ft2build.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <numeric>
#include <vector>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include "draw/vector_private.h"

namespace {

struct Canvas {
  int32_t w, h;
  std::vector<uint8_t> px;
  Canvas(int32_t width, int32_t height) : w(width), h(height), px(width * height, 0) {}
  uint8_t At(int x, int y) const { return px[y * w + x]; }
  long Sum() const { return std::accumulate(px.begin(), px.end(), 0L); }
};

// Draws the items (filled, or stroked with the width) into a canvas whose
// top-left is the control box's whole-pixel corner; the request's extents
// give that corner.
Canvas Draw(const uint8_t* items, int32_t fill, int32_t width = 1, int32_t cap = CAPBUTT,
            int32_t join = JOINMITER, int32_t rule = FILLRULEWINDING, double* x0 = nullptr,
            double* y0 = nullptr) {
  VectorLineStyle style{join, cap, rule, 1, 0, nullptr, 0, 10.0};
  VectorPathRequest r{};
  r.items = items;
  r.style = &style;
  r.fill = fill;
  r.lineWidth = width;
  EXPECT_EQ(GetVectorPathExtents(&r), 1);
  int32_t cw = static_cast<int32_t>(std::ceil(r.x2) - std::floor(r.x1));
  int32_t ch = static_cast<int32_t>(std::ceil(r.y2) - std::floor(r.y1));
  if (x0) *x0 = std::floor(r.x1), *y0 = std::floor(r.y1);
  Canvas c(std::max(cw, 1), std::max(ch, 1));
  r.target = c.px.data();
  r.bytesPerRow = c.w;
  r.width = c.w;
  r.height = c.h;
  EXPECT_EQ(DrawVectorPath(&r), 1);
  return c;
}

void MoveTo(PathItemWriter& w, double x, double y) {
  w.Int(PATHITEM_MOVETO);
  w.Int(0);
  w.Double(x);
  w.Double(y);
}
void LineTo(PathItemWriter& w, double x, double y) {
  w.Int(PATHITEM_LINETO);
  w.Int(0);
  w.Double(x);
  w.Double(y);
}
void Close(PathItemWriter& w) { w.Int(PATHITEM_CLOSEPATH); }
void Arc(PathItemWriter& w, double x, double y, double ra, double rb, double a0, double a1) {
  w.Int(PATHITEM_ARC);
  for (double v : {x, y, ra, rb, a0, a1}) w.Double(v);
  w.Int(1);
}
void Box(PathItemWriter& w, double x, double y, double bw, double bh, int32_t corner) {
  w.Int(PATHITEM_BOX);
  for (double v : {x, y, bw, bh}) w.Double(v);
  for (int i = 0; i < 4; ++i) w.Int(corner);
}

TEST(VectorEngine, FillRulesAndBoxes) {
  // A five-pointed star drawn in one stroke: its centre is inside twice.
  PathItemWriter star;
  for (int i = 0; i < 5; ++i) {
    double a = (-90 + i * 144) * M_PI / 180;
    double x = 50 + 40 * std::cos(a), y = 50 + 40 * std::sin(a);
    i == 0 ? MoveTo(star, x, y) : LineTo(star, x, y);
  }
  Close(star);
  const uint8_t* items = star.Finish();
  double x0, y0;
  Canvas evenOdd = Draw(items, 1, 1, CAPBUTT, JOINMITER, FILLRULEEVENODD, &x0, &y0);
  Canvas winding = Draw(items, 1, 1, CAPBUTT, JOINMITER, FILLRULEWINDING);
  int cx = static_cast<int>(50 - x0), cy = static_cast<int>(50 - y0);
  EXPECT_EQ(evenOdd.At(cx, cy), 0);
  EXPECT_EQ(winding.At(cx, cy), 255);

  // A box at whole-pixel corners is exact; corners 100 make a pill whose
  // radius is half the shorter side.
  PathItemWriter sharp;
  Box(sharp, 0, 0, 40, 20, 0);
  Canvas s = Draw(sharp.Finish(), 1);
  ASSERT_EQ(s.w, 40);
  ASSERT_EQ(s.h, 20);
  EXPECT_EQ(s.Sum(), 40L * 20 * 255);
  PathItemWriter pill;
  Box(pill, 0, 0, 40, 20, 100);
  Canvas p = Draw(pill.Finish(), 1);
  EXPECT_EQ(p.At(0, 0), 0);
  EXPECT_EQ(p.At(20, 10), 255);
  // The left end is a half disc of radius 10 centred at (10, 10).
  EXPECT_EQ(p.At(10, 0), 255);
  EXPECT_EQ(p.At(1, 1), 0);
}

TEST(VectorEngine, ArcsDiscsAndOpenPaths) {
  // A full arc starts and ends at the angle-0 point.
  PathItemWriter full;
  Arc(full, 30, 20, 10, 5, 0, 360);
  VectorPathRequest r{};
  r.items = full.Finish();
  double x, y;
  ASSERT_EQ(GetVectorCurrentPoint(&r, &x, &y), 1);
  EXPECT_NEAR(x, 40, 1e-9);
  EXPECT_NEAR(y, 20, 1e-9);

  // A filled disc of radius 50 is two cubic halves: 3.2 r^2 of area, and
  // mirror-symmetric (its canvas is the control box, which the curves'
  // control points make taller than the disc).
  PathItemWriter disc;
  Arc(disc, 0, 0, 50, 50, 0, 360);
  Close(disc);
  Canvas d = Draw(disc.Finish(), 1);
  ASSERT_EQ(d.w, 100);
  double want = 3.2 * 50 * 50 * 255;
  EXPECT_NEAR(d.Sum(), want, want * 0.003);
  // FreeType's rasteriser rounds sub-pixel positions one way, so mirrored
  // edge pixels differ by a few levels (1/64 pixel of an edge is 4).
  int worst = 0;
  for (int yy = 0; yy < d.h; ++yy)
    for (int xx = 0; xx < d.w; ++xx)
      worst = std::max({worst, std::abs(d.At(xx, yy) - d.At(d.w - 1 - xx, yy)),
                        std::abs(d.At(xx, yy) - d.At(xx, d.h - 1 - yy))});
  EXPECT_LE(worst, 8);

  // An arc item away from y = 0 with unequal radii stays around its centre.
  PathItemWriter away;
  Arc(away, 100, 50, 40, 20, 0, 360);
  r.items = away.Finish();
  r.fill = 1;
  ASSERT_EQ(GetVectorPathExtents(&r), 1);
  EXPECT_NEAR((r.y1 + r.y2) / 2, 50, 1.0 / 32);
  EXPECT_NEAR((r.x1 + r.x2) / 2, 100, 1.0 / 32);

  // An unclosed filled sub-path still covers its area.
  PathItemWriter open;
  MoveTo(open, 0, 0);
  LineTo(open, 20, 0);
  LineTo(open, 20, 20);
  LineTo(open, 0, 20);
  Canvas o = Draw(open.Finish(), 1);
  EXPECT_EQ(o.Sum(), 20L * 20 * 255);

  // A lone LineTo covers nothing.
  PathItemWriter lone;
  LineTo(lone, 10, 10);
  r.items = lone.Finish();
  ASSERT_EQ(GetVectorPathExtents(&r), 1);
  EXPECT_EQ(r.x2 - r.x1, 0);
}

TEST(VectorEngine, StrokeCapsAndJoins) {
  PathItemWriter segment;
  MoveTo(segment, 10, 10);
  LineTo(segment, 30, 10);
  const uint8_t* items = segment.Finish();
  VectorLineStyle style{JOINMITER, CAPROUND, 0, 1, 0, nullptr, 0, 10.0};
  VectorPathRequest r{};
  r.items = items;
  r.style = &style;
  r.lineWidth = 8;
  ASSERT_EQ(GetVectorPathExtents(&r), 1);
  EXPECT_NEAR(r.x1, 6, 0.1);
  EXPECT_NEAR(r.x2, 34, 0.1);
  style.cap = CAPBUTT;
  ASSERT_EQ(GetVectorPathExtents(&r), 1);
  EXPECT_NEAR(r.x1, 10, 0.1);
  EXPECT_NEAR(r.x2, 30, 0.1);

  // A closed square: mitred corners, no caps, an empty middle.
  PathItemWriter square;
  MoveTo(square, 0, 0);
  LineTo(square, 20, 0);
  LineTo(square, 20, 20);
  LineTo(square, 0, 20);
  Close(square);
  Canvas c = Draw(square.Finish(), 0, 4, CAPROUND, JOINMITER);
  ASSERT_EQ(c.w, 24);
  EXPECT_EQ(c.At(0, 0), 255);  // the mitred corner is filled
  EXPECT_EQ(c.At(12, 12), 0);
}

TEST(VectorEngine, TextItemAndShapes) {
  std::ifstream in("/usr/share/fonts/truetype/ttf-bitstream-vera/Vera.ttf", std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_FALSE(bytes.empty());
  void* face = OpenVectorFont(bytes.data(), bytes.size());
  ASSERT_NE(face, nullptr);
  PathItemWriter text;
  MoveTo(text, 0, 0);
  text.Int(PATHITEM_TEXT);
  text.Pointer(face);
  text.Int(40);
  text.String("\xC5\x81");  // U+0141, two bytes
  VectorPathRequest r{};
  r.items = text.Finish();
  r.fill = 1;
  ASSERT_EQ(GetVectorPathExtents(&r), 1);
  FT_Face f = static_cast<FT_Face>(face);
  ASSERT_EQ(FT_Set_Char_Size(f, 0, 40 * 64, 72, 72), 0);
  ASSERT_EQ(FT_Load_Char(f, 0x141, FT_LOAD_NO_BITMAP), 0);
  FT_BBox box;
  FT_Outline_Get_CBox(&f->glyph->outline, &box);
  // The glyph is flipped: its y extent is the negated one.
  EXPECT_DOUBLE_EQ(r.x1, box.xMin / 64.0);
  EXPECT_DOUBLE_EQ(r.x2, box.xMax / 64.0);
  EXPECT_DOUBLE_EQ(r.y1, -box.yMax / 64.0);
  EXPECT_DOUBLE_EQ(r.y2, -box.yMin / 64.0);

  // A cut sequence ends the text: only the "A" before it is drawn.
  PathItemWriter cut;
  MoveTo(cut, 0, 0);
  cut.Int(PATHITEM_TEXT);
  cut.Pointer(face);
  cut.Int(40);
  cut.String("A\xC5");
  r.items = cut.Finish();
  ASSERT_EQ(GetVectorPathExtents(&r), 1);
  ASSERT_EQ(FT_Load_Char(f, 'A', FT_LOAD_NO_BITMAP), 0);
  FT_Outline_Get_CBox(&f->glyph->outline, &box);
  EXPECT_DOUBLE_EQ(r.x2, box.xMax / 64.0);
  CloseVectorFont(face);

  // The shape routine: a radius-10 ellipse measures 20 x 20 and an arc
  // keeps its whole ellipse's size.
  const double identity[4] = {1, 0, 0, 1};
  VectorShapeRequest s{};
  s.kind = 15;
  s.rx = s.ry = 10;
  s.matrix = identity;
  s.fill = 1;
  ASSERT_EQ(InbuiltDrawShape(&s), 1);
  EXPECT_EQ(s.outWidth, 20);
  EXPECT_EQ(s.outHeight, 20);
  s.kind = 31;
  s.startAngle = 0;
  s.endAngle = 90;
  s.clockwise = 1;
  ASSERT_EQ(InbuiltDrawShape(&s), 1);
  EXPECT_EQ(s.outWidth, 20);
  std::vector<uint8_t> cov(20 * 20);
  s.target = cov.data();
  s.bytesPerRow = 20;
  ASSERT_EQ(InbuiltDrawShape(&s), 1);
  // Only the bottom-right quarter is covered.
  EXPECT_EQ(cov[15 * 20 + 15], 255);
  EXPECT_EQ(cov[5 * 20 + 5], 0);
  EXPECT_EQ(cov[5 * 20 + 15], 0);
  FreeVectorEngine();
}

}  // namespace
