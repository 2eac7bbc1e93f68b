// Position constants, keep-aspect sizes and transformed boxes and points.
#include <gtest/gtest.h>

#include <vector>

#include "gfx/gfx.h"

namespace {

TEST(Coords, ResolvePositions) {
  struct Case {
    const char* name;
    int32_t value, size, reference;
    double anchor;
    bool vertical;
    int32_t expected;
  };
  const Case cases[] = {
      {"centre", POS_CENTER, 100, 640, 0, false, 270},
      {"centre + 10", POS_CENTER + 10, 100, 640, 0, false, 280},
      {"centre, anchor added back", POS_CENTER, 100, 640, 0.5, false, 320},
      {"right - 5", POS_RIGHT - 5, 100, 640, 0, false, 535},
      {"left out", POS_LEFTOUT, 100, 640, 0, false, -100},
      {"right out", POS_RIGHTOUT, 100, 640, 0, false, 640},
      {"bottom", POS_BOTTOM, 50, 480, 0, true, 430},
      {"top out", POS_TOPOUT, 50, 480, 0, true, -50},
      {"below", POS_BOTTOMOUT + 3, 50, 480, 0, true, 483},
      {"plain value kept", 17, 100, 640, 0.5, false, 17},
      {"centre band end is plain", POS_CENTER + 5000, 100, 640, 0, false, POS_CENTER + 5000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.vertical ? ResolveYPos(c.value, c.size, c.reference, c.anchor)
                         : ResolveXPos(c.value, c.size, c.reference, c.anchor),
              c.expected);
  }
}

TEST(Coords, KeepAspectSize) {
  int32_t w = KEEPASPRAT, h = 100;
  ASSERT_EQ(ResolveKeepAspectSize(4, 3, &w, &h), ERR_NONE);
  EXPECT_EQ(w, 133);
  w = 200, h = KEEPASPRAT;
  ASSERT_EQ(ResolveKeepAspectSize(3, 2, &w, &h), ERR_NONE);
  EXPECT_EQ(h, 133);  // 133.33
  w = 7, h = KEEPASPRAT;
  ASSERT_EQ(ResolveKeepAspectSize(2, 1, &w, &h), ERR_NONE);
  EXPECT_EQ(h, 4);  // 3.5 rounds up
  w = h = KEEPASPRAT;
  EXPECT_EQ(ResolveKeepAspectSize(4, 3, &w, &h), ERR_WRONGUSAGE);
  w = 0, h = 10;
  EXPECT_EQ(ResolveKeepAspectSize(4, 3, &w, &h), ERR_BADDIMENSIONS);
}

TEST(Coords, RotatedBoxAndPoints) {
  // A quarter turn as the rotate-and-scale matrix builds it for 90 degrees.
  const double quarter[4] = {0, -1, 1, 0};
  int32_t x, y, w, h;
  ComputeRotatedBox(10, 20, 5, 3, 0, 0, quarter, &x, &y, &w, &h);
  EXPECT_EQ(w, 3);
  EXPECT_EQ(h, 5);
  EXPECT_EQ(x, 10);
  EXPECT_EQ(y, 16);

  int32_t points[] = {0, 0, 4, 0, 4, 2};
  TransformPoints(points, 3, 5, 3, 0, 0, quarter, 1, &x, &y, &w, &h);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, -4);
  EXPECT_EQ(w, 3);
  EXPECT_EQ(h, 5);
  const int32_t moved[] = {0, 4, 0, 0, 2, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(points[i], moved[i]) << i;
}

TEST(Coords, PolygonOutlineAgainstEachSide) {
  const int32_t square[] = {0, 0, 10, 0, 10, 10, 0, 10};
  struct Case {
    int32_t boundary, side;
    std::vector<int32_t> expected;
  };
  const Case cases[] = {
      {5, 0, {5, 0, 10, 0, 10, 10, 5, 10}},  // right half
      {5, 1, {10, 5, 10, 10, 0, 10, 0, 5}},  // lower half
      {5, 2, {0, 0, 5, 0, 5, 10, 0, 10}},    // left half
      {5, 3, {0, 0, 10, 0, 10, 5, 0, 5}},    // upper half
      {20, 0, {}},                           // nothing kept
      {0, 0, {0, 0, 10, 0, 10, 10, 0, 10}},  // the boundary itself is kept
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.boundary << "/" << c.side);
    int32_t out[2 * 10];
    int32_t n = WalkPolygonOutline(4, square, out, c.boundary, c.side);
    EXPECT_EQ(std::vector<int32_t>(out, out + 2 * n), c.expected);
  }
  // A slanted edge crosses at the truncated slope.
  const int32_t triangle[] = {0, 0, 10, 5, 0, 5};
  int32_t out[2 * 8];
  ASSERT_EQ(WalkPolygonOutline(3, triangle, out, 3, 0), 3);
  EXPECT_EQ(std::vector<int32_t>(out, out + 6), (std::vector<int32_t>{3, 1, 10, 5, 3, 5}));
}

TEST(Coords, EllipsePointsAndColourMix) {
  std::vector<int32_t> points(2 * 400);
  ASSERT_EQ(GenerateEllipsePoints(points.data(), 10, 5, 0, 360), 361);
  EXPECT_EQ(points[0], 20);
  EXPECT_EQ(points[1], 5);
  EXPECT_EQ(points[2 * 90], 10);  // straight down: cos 90 is exactly 0
  EXPECT_EQ(points[2 * 90 + 1], 10);
  EXPECT_EQ(points[2 * 360], 20);
  // A quarter arc is closed through the centre back to its start.
  ASSERT_EQ(GenerateEllipsePoints(points.data(), 10, 5, 0, 90), 93);
  EXPECT_EQ(points[2 * 91], 10);
  EXPECT_EQ(points[2 * 91 + 1], 5);
  EXPECT_EQ(points[2 * 92], 20);
  EXPECT_EQ(points[2 * 92 + 1], 5);

  EXPECT_EQ(MixColors(0, 0xFFFFFF, 128), 0x7F7F7Fu);
  EXPECT_EQ(MixColors(0xFFFFFF, 0, 128), 0x7F7F7Fu);  // the shift rounds toward minus infinity
  EXPECT_EQ(MixColors(0x102030, 0x405060, 256), 0x405060u);
  EXPECT_EQ(MixColors(0x102030, 0x405060, 0), 0x102030u);
}

}  // namespace
