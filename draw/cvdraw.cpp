// Coverage drawing on 8-bit images through OpenCV: polygon fills,
// polylines and lines, anti-aliased or 8-connected, in 255 on 0.
//
// Invariant: this is the one file that includes OpenCV; the images are
// cv::Mat headers over our own buffers, and no cv::Exception leaves it.
// Thickness, point counts and coordinates are checked here, since OpenCV
// refuses some of them by throwing.
#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "draw/shape_private.h"

namespace {

// OpenCV keeps coordinates in its fixed-point line code within a range;
// points far outside the image are pulled in to where the clipping still
// gives the same pixels.
constexpr int32_t FAR_LIMIT = 1 << 20;

cv::Mat header(Coverage* c) {
  return cv::Mat(c->height, c->width, CV_8UC1, c->bytes.data(), static_cast<size_t>(c->stride));
}

std::vector<cv::Point> toPoints(const int32_t* points, int32_t count) {
  std::vector<cv::Point> out;
  out.reserve(static_cast<size_t>(std::max(count, 0)));
  for (int32_t i = 0; i < count; ++i)
    out.emplace_back(std::clamp(points[2 * i], -FAR_LIMIT, FAR_LIMIT),
                     std::clamp(points[2 * i + 1], -FAR_LIMIT, FAR_LIMIT));
  return out;
}

int lineType(int antialias) { return antialias ? cv::LINE_AA : cv::LINE_8; }

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
  bytes.assign(static_cast<size_t>(bytesNeeded), 0);
  return 1;
}

void CoverageFillPolygon(Coverage* c, const int32_t* points, int32_t count, int antialias) {
  if (!c->width || count < 1) return;
  try {
    cv::Mat m = header(c);
    std::vector<cv::Point> p = toPoints(points, count);
    const cv::Point* contours[1] = {p.data()};
    int counts[1] = {static_cast<int>(p.size())};
    cv::fillPoly(m, contours, counts, 1, cv::Scalar(255), lineType(antialias));
  } catch (const cv::Exception&) {
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
  try {
    cv::Mat m = header(c);
    cv::Point a(std::clamp(x1, -FAR_LIMIT, FAR_LIMIT), std::clamp(y1, -FAR_LIMIT, FAR_LIMIT));
    cv::Point b(std::clamp(x2, -FAR_LIMIT, FAR_LIMIT), std::clamp(y2, -FAR_LIMIT, FAR_LIMIT));
    // OpenCV's line refuses thicknesses from 256 (MAX_THICKNESS 32767 in
    // newer versions, but not everywhere): wider ones are drawn as a
    // filled band with filled round ends.
    if (thickness < 256) {
      cv::line(m, a, b, cv::Scalar(255), thickness, lineType(antialias));
      return;
    }
    int radius = thickness / 2;
    cv::circle(m, a, radius, cv::Scalar(255), cv::FILLED, lineType(antialias));
    cv::circle(m, b, radius, cv::Scalar(255), cv::FILLED, lineType(antialias));
    double dx = static_cast<double>(b.x) - a.x, dy = static_cast<double>(b.y) - a.y;
    NormalizeVector(&dx, &dy);
    if (dx == 0 && dy == 0) return;
    double nx = -dy * thickness / 2.0, ny = dx * thickness / 2.0;
    cv::Point band[4] = {
        cv::Point(cvRound(a.x + nx), cvRound(a.y + ny)),
        cv::Point(cvRound(b.x + nx), cvRound(b.y + ny)),
        cv::Point(cvRound(b.x - nx), cvRound(b.y - ny)),
        cv::Point(cvRound(a.x - nx), cvRound(a.y - ny)),
    };
    cv::fillConvexPoly(m, band, 4, cv::Scalar(255), lineType(antialias));
  } catch (const cv::Exception&) {
  }
}
