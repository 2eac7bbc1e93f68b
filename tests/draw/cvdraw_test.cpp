// Coverage drawing through OpenCV: thicknesses from 0 to beyond the limit,
// far-off and missing points never throw and keep the pixels the plain
// geometry gives, and an anti-aliased polygon is solid inside its edges and
// empty just outside them.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "draw/draw.h"
#include "draw/shape_private.h"

namespace {

// Distance from the point to the segment.
double segmentDistance(double px, double py, double ax, double ay, double bx, double by) {
  double dx = bx - ax, dy = by - ay;
  double t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy);
  t = std::fmax(0, std::fmin(1, t));
  return std::hypot(px - ax - t * dx, py - ay - t * dy);
}

// Even-odd inside test and distance to the outline of a closed polygon.
bool inside(const std::vector<double>& p, double x, double y, double* distance) {
  bool in = false;
  *distance = 1e300;
  size_t n = p.size() / 2;
  for (size_t i = 0, j = n - 1; i < n; j = i++) {
    double xi = p[2 * i], yi = p[2 * i + 1], xj = p[2 * j], yj = p[2 * j + 1];
    if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) in = !in;
    *distance = std::fmin(*distance, segmentDistance(x, y, xi, yi, xj, yj));
  }
  return in;
}

// Every pixel centre at least `solid` inside the outline is 255, every
// one at least `clear` outside is 0; the count of pixels that are not.
int misplaced(const Coverage& c, const std::vector<double>& outline, double solid, double clear) {
  int wrong = 0;
  for (int32_t y = 0; y < c.height; ++y)
    for (int32_t x = 0; x < c.width; ++x) {
      double d;
      bool in = inside(outline, x, y, &d);
      if (in && d >= solid && c.At(x, y) != 255) ++wrong;
      if (!in && d >= clear && c.At(x, y) != 0) ++wrong;
    }
  return wrong;
}

std::vector<int32_t> toInts(const std::vector<double>& p) {
  return std::vector<int32_t>(p.begin(), p.end());
}

TEST(CoverageDrawing, PolygonsAreSolidInsideAndEmptyOutsideEvenWithFarPoints) {
  struct Case {
    const char* name;
    std::vector<double> points;
  };
  const Case cases[] = {
      {"pentagon", {20, 10, 150, 30, 170, 120, 90, 150, 10, 90}},
      // Vertices a long way off: the edges through the image keep their
      // slopes (0.5 here), as if the whole polygon had been drawn.
      {"far vertex", {10, 10, 10 + 2e9, 10 + 1e9, 10, 100}},
      {"far on both sides", {-1e9, -4e8, 1e9, 6e8, 1e9, 9e8, -1e9, -1e8}},
  };
  for (const Case& c : cases) {
    for (int antialias : {1, 0}) {
      Coverage cov;
      ASSERT_TRUE(cov.Make(180, 160));
      std::vector<int32_t> p = toInts(c.points);
      CoverageFillPolygon(&cov, p.data(), static_cast<int32_t>(p.size() / 2), antialias);
      EXPECT_EQ(misplaced(cov, c.points, 1, 2), 0) << c.name << " antialias " << antialias;
    }
  }
}

TEST(CoverageDrawing, ThicknessesAndEmptyInputsNeverThrow) {
  Coverage cov;
  ASSERT_TRUE(cov.Make(400, 300));
  const int32_t none[2] = {0, 0};
  CoverageFillPolygon(&cov, none, 0, 1);
  CoveragePolyline(&cov, none, 0, 1, 3, 1);
  struct Line {
    int32_t thickness;
    int filled;  // whether anything is drawn
  };
  for (Line l : {Line{0, 0}, Line{-5, 0}, Line{40000, 0}, Line{1, 1}}) {
    Coverage c;
    ASSERT_TRUE(c.Make(400, 300));
    CoverageLine(&c, 10, 10, 300, 200, l.thickness, 1);
    bool any = false;
    for (uint8_t b : c.bytes) any = any || b != 0;
    EXPECT_EQ(any, l.filled != 0) << l.thickness;
  }

  // 300 wide: a band with round ends, 150 from the segment each way.
  CoverageLine(&cov, 180, 150, 220, 150, 300, 1);
  int wrong = 0;
  for (int32_t y = 0; y < cov.height; ++y)
    for (int32_t x = 0; x < cov.width; ++x) {
      double d = segmentDistance(x, y, 180, 150, 220, 150);
      if (d <= 148 && cov.At(x, y) != 255) ++wrong;
      if (d >= 152 && cov.At(x, y) != 0) ++wrong;
    }
  EXPECT_EQ(wrong, 0);

  // A far-off line keeps its slope through the image.
  Coverage far;
  ASSERT_TRUE(far.Make(200, 100));
  CoverageLine(&far, -2000000000, -1000000000 + 50, 2000000000, 1000000000 + 50, 1, 0);
  for (int32_t x = 0; x < 200; x += 20) {
    int32_t y = 50 + x / 2;
    if (y < 100) {
      EXPECT_EQ(far.At(x, y) | far.At(x, y - 1) | far.At(x, y + 1), 255) << x;
    }
  }
}

}  // namespace
