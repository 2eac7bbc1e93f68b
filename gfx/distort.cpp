// Distortion engine: perspective, arc, polar and barrel mappings. Set-up
// turns the method's numbers into coefficients of the destination-to-source
// mapping and an output box; render carries every output pixel centre back
// into the source and samples it there, by nearest pixel or by an
// elliptical weighted average over the source footprint (bilinear when the
// footprint is too small or too large). Output sizes are bounded, and every
// rejected argument set is ERR_WRONGUSAGE with nothing left allocated.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "platform/linux/platform.h"

namespace {

constexpr double PI = M_PI;
constexpr double TWO_PI = 2.0 * M_PI;
constexpr double NEAR_ZERO = 1e-6;
// Largest output side and area the set-up accepts: a box beyond them comes
// from degenerate arguments (points near a horizon, tiny radii) and could
// not be allocated anyway.
constexpr double MAX_OUTPUT_SIDE = 32767.0;
constexpr double MAX_OUTPUT_AREA = 64.0 * 1024 * 1024;
constexpr int EWA_TABLE = 1024;
constexpr double EWA_WEIGHT_STEP = 0.0027076061740622863;  // ln 2 / 256

int32_t coefficientCount(int32_t method) {
  switch (method) {
    case DISTORT_PERSPECTIVE:
      return 9;
    case DISTORT_ARC:
      return 5;
    case DISTORT_POLAR:
      return 8;
    case DISTORT_BARREL:
      return 10;
    default:
      return 0;
  }
}

// Source index of a sample position, truncated. A position within 1e-9 of
// a whole number counts as that number, so that rounding noise in fitted
// coefficients (an identity fit giving 2.9999999999) does not shift the
// picture by a pixel.
int64_t sampleIndex(double v) {
  double r = std::round(v);
  if (std::fabs(v - r) < 1e-9) v = r;
  return VmTruncInt32(v);
}

// Subtracts the nearest whole number, halves rounded away from zero.
double fraction(double t) { return t - std::round(t); }

struct Box {
  double minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
  void add(double x, double y) {
    minX = std::min(minX, x);
    maxX = std::max(maxX, x);
    minY = std::min(minY, y);
    maxY = std::max(maxY, y);
  }
};

bool perspectiveSetup(DistortRequest* r, double* c) {
  int32_t n = r->count;
  if (n < 16 || n % 4 != 0) return false;
  double** m = AllocDoubleMatrix(8, 8);
  double** v = AllocDoubleMatrix(1, 8);
  if (!m || !v) {
    FreeDoubleMatrix(m, m ? 8 : 0);
    FreeDoubleMatrix(v, v ? 1 : 0);
    r->error = ERR_MEM;
    return false;
  }
  const double* a = r->arguments;
  for (int32_t i = 0; i < n; i += 4) {
    double u = a[i], vv = a[i + 1], x = a[i + 2], y = a[i + 3];
    double t1[8] = {x, y, 1, 0, 0, 0, -x * u, -y * u};
    double t2[8] = {0, 0, 0, x, y, 1, -x * vv, -y * vv};
    LeastSquaresAddTerms(m, v, t1, &u, 8, 1);
    LeastSquaresAddTerms(m, v, t2, &vv, 8, 1);
  }
  int32_t solved = GaussJordanSolve(m, v, 8, 1);
  if (solved == 1)
    for (int i = 0; i < 8; ++i) c[i] = v[0][i];
  FreeDoubleMatrix(m, 8);
  FreeDoubleMatrix(v, 1);
  if (solved < 0) r->error = ERR_MEM;
  if (solved != 1) return false;
  for (int i = 0; i < 8; ++i)
    if (!std::isfinite(c[i])) return false;
  c[8] = (c[6] * a[2] + c[7] * a[3] + 1.0 < 0.0) ? -1.0 : 1.0;
  return true;
}

bool arcSetup(DistortRequest* r, double* c, Box* box) {
  const DistortImage* s = r->source;
  int32_t n = r->count;
  if (n > 4) return false;
  const double* a = r->arguments;
  double angle = n >= 1 ? a[0] : 90.0;
  if (!(angle >= NEAR_ZERO)) return false;
  double rotation = n >= 2 ? a[1] : 0.0;
  c[1] = angle * PI / 180.0;
  c[0] = -PI / 2 + rotation * PI / 180.0;
  c[0] -= TWO_PI * std::round(c[0] / TWO_PI);
  c[3] = s->height - 1.0;
  c[2] = s->width / c[1] + c[3] / 2.0;
  if (n >= 3) {
    if (!(a[2] >= NEAR_ZERO)) return false;
    c[3] = n >= 4 ? a[2] - a[3] : c[3] * a[2] / c[2];
    c[2] = a[2];
  }
  c[4] = (s->width - 1.0) / 2.0;
  // The box of both radii at the two end angles and at every quarter turn
  // between them.
  double from = c[0] - c[1] / 2, to = c[0] + c[1] / 2;
  double radii[2] = {c[2], c[2] - c[3]};
  // An arc of a whole turn or more passes all four: those are added at
  // once, since counting quarter turns through a huge angle would never end
  // (nor move, once a quarter turn is below the angle's precision).
  const bool whole = !(to - from < TWO_PI);
  for (double rr : radii) {
    box->add(rr * std::cos(from), rr * std::sin(from));
    box->add(rr * std::cos(to), rr * std::sin(to));
    if (whole) {
      box->add(rr, 0);
      box->add(-rr, 0);
      box->add(0, rr);
      box->add(0, -rr);
      continue;
    }
    for (double q = std::ceil(from / (PI / 2)) * (PI / 2); q < to; q += PI / 2)
      box->add(rr * std::cos(q), rr * std::sin(q));
  }
  c[1] = s->width * TWO_PI / c[1];
  c[3] = s->height / c[3];
  return std::isfinite(c[1]) && std::isfinite(c[3]);
}

bool polarSetup(DistortRequest* r, double* c, Box* box) {
  const DistortImage* s = r->source;
  int32_t n = r->count;
  if (n == 3 || n > 6) return false;
  const double* a = r->arguments;
  c[0] = n >= 1 ? a[0] : 0.0;
  c[1] = n >= 2 ? a[1] : 0.0;
  c[2] = n >= 4 ? a[2] : s->width * 0.5 + s->xOffset;
  c[3] = n >= 4 ? a[3] : s->height * 0.5 + s->yOffset;
  c[4] = n >= 5 ? a[4] : -PI;
  c[5] = n >= 6 ? a[5] : c[4];
  if (std::fabs(c[5] - c[4]) < NEAR_ZERO) c[5] += TWO_PI;
  double left = s->xOffset, top = s->yOffset, right = left + s->width, bottom = top + s->height;
  if (std::fabs(c[0]) < NEAR_ZERO) {
    c[0] = std::min(std::min(c[2] - left, right - c[2]), std::min(c[3] - top, bottom - c[3]));
  } else if (std::fabs(c[0] + 1.0) < NEAR_ZERO) {
    double far = 0.0;
    for (double x : {left, right})
      for (double y : {top, bottom}) far = std::max(far, std::hypot(x - c[2], y - c[3]));
    c[0] = far;
  }
  if (!(c[0] >= NEAR_ZERO) || c[1] < -NEAR_ZERO || !(c[0] - c[1] >= NEAR_ZERO)) return false;
  c[6] = s->width / (c[5] - c[4]);
  c[7] = s->height / (c[0] - c[1]);
  double cx = n >= 2 ? c[2] : 0.0, cy = n >= 2 ? c[3] : 0.0;
  box->add(cx - c[0], cy - c[0]);
  box->add(cx + c[0], cy + c[0]);
  return std::isfinite(c[6]) && std::isfinite(c[7]);
}

bool barrelSetup(DistortRequest* r, double* c) {
  const DistortImage* s = r->source;
  int32_t n = r->count;
  if (n != 4 && n != 6 && n != 8 && n != 10) return false;
  const double* a = r->arguments;
  double rs = 2.0 / std::min(s->width, s->height);
  bool twoSets = n >= 8;
  for (int set = 0; set < 2; ++set) {
    const double* k = a + (twoSets ? set * 4 : 0);
    c[set * 4 + 0] = k[0] * rs * rs * rs;
    c[set * 4 + 1] = k[1] * rs * rs;
    c[set * 4 + 2] = k[2] * rs;
    c[set * 4 + 3] = k[3];
  }
  bool centre = n == 6 || n == 10;
  c[8] = centre ? a[n - 2] : (s->width - 1.0) / 2.0 + s->xOffset;
  c[9] = centre ? a[n - 1] : (s->height - 1.0) / 2.0 + s->yOffset;
  for (int i = 0; i < 10; ++i)
    if (!std::isfinite(c[i])) return false;
  return true;
}

}  // namespace

ErrorCode DistortSetup(DistortRequest* r) {
  r->error = 0;
  r->coefficients = nullptr;
  const DistortImage* s = r->source;
  int32_t count = coefficientCount(r->method);
  if (!count || !s || s->width <= 0 || s->height <= 0 || r->count < 0 ||
      (r->count > 0 && !r->arguments))
    return r->error = ERR_WRONGUSAGE;
  auto* c = static_cast<double*>(AllocMemoryArray(static_cast<size_t>(count), sizeof(double), 1));
  if (!c) return r->error = ERR_MEM;
  Box box;
  bool ok = false;
  switch (r->method) {
    case DISTORT_PERSPECTIVE: {
      ok = perspectiveSetup(r, c);
      double fwd[8];
      if (ok) ok = InvertPerspective(c, fwd);
      if (ok) {
        double ox = s->xOffset, oy = s->yOffset;
        const double pts[4][2] = {
            {ox, oy}, {ox + s->width, oy}, {ox, oy + s->height}, {ox + s->width, oy + s->height}};
        for (const auto& p : pts) {
          double w = fwd[6] * p[0] + fwd[7] * p[1] + 1.0;
          if (std::fabs(w) < NEAR_ZERO) w = 1.0;
          box.add((fwd[0] * p[0] + fwd[1] * p[1] + fwd[2]) / w,
                  (fwd[3] * p[0] + fwd[4] * p[1] + fwd[5]) / w);
        }
      }
      break;
    }
    case DISTORT_ARC:
      ok = arcSetup(r, c, &box);
      break;
    case DISTORT_POLAR:
      ok = polarSetup(r, c, &box);
      break;
    case DISTORT_BARREL:
      ok = barrelSetup(r, c);
      box.add(0, 0);
      box.add(s->width, s->height);
      break;
  }
  if (ok) {
    if (r->method == DISTORT_BARREL) {
      r->outputX = r->outputY = 0;
      r->outputWidth = s->width;
      r->outputHeight = s->height;
    } else {
      double ox = std::floor(box.minX - 0.5), oy = std::floor(box.minY - 0.5);
      double w = std::trunc(box.maxX - ox + 0.5), h = std::trunc(box.maxY - oy + 0.5);
      ok = std::isfinite(ox) && std::isfinite(oy) && std::isfinite(w) && std::isfinite(h) &&
           w >= 1 && h >= 1 && w <= MAX_OUTPUT_SIDE && h <= MAX_OUTPUT_SIDE &&
           w * h <= MAX_OUTPUT_AREA && std::fabs(ox) <= INT32_MAX / 2 &&
           std::fabs(oy) <= INT32_MAX / 2;
      if (ok) {
        r->outputX = static_cast<int32_t>(ox);
        r->outputY = static_cast<int32_t>(oy);
        r->outputWidth = static_cast<int32_t>(w);
        r->outputHeight = static_cast<int32_t>(h);
      }
    }
  }
  if (!ok) {
    FreeMemory(c);
    if (!r->error) r->error = ERR_WRONGUSAGE;
    return r->error;
  }
  r->coefficients = c;
  return 0;
}

// ---- Rendering ----------------------------------------------------------------------

namespace {

struct Source {
  const DistortRequest* r;
  const DistortImage* img;
  int bpp;
  bool inside(int64_t x, int64_t y) const {
    return x >= 0 && y >= 0 && x < img->width && y < img->height;
  }
  const uint8_t* at(int64_t x, int64_t y) const {
    return static_cast<const uint8_t*>(img->pixels) +
           pixel::Offset(static_cast<int32_t>(x), static_cast<int32_t>(y), img->rowLength, bpp);
  }
  bool maskedOut(int64_t x, int64_t y) const {
    return r->sourceMask &&
           !pixel::MaskBit(r->sourceMask + static_cast<ptrdiff_t>(y) * r->sourceMaskRowBytes, x);
  }
  // R, G, B and alpha of a pixel; outside or masked out gives all 0.
  void read(int64_t x, int64_t y, double out[4]) const {
    if (!inside(x, y) || maskedOut(x, y)) {
      out[0] = out[1] = out[2] = out[3] = 0;
      return;
    }
    const uint8_t* p = at(x, y);
    uint32_t v;
    if (bpp == 3) {
      v = r->format == PIXFMT_RGB24 ? (uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2])
                                    : (uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
    } else {
      v = pixel::ToNative(pixel::LoadRaw(p, bpp), r->format, bpp);
    }
    out[0] = pixel::R(v);
    out[1] = pixel::G(v);
    out[2] = pixel::B(v);
    out[3] = r->sourceAlpha ? r->sourceAlpha[static_cast<ptrdiff_t>(y) * r->sourceAlphaRowBytes + x]
                            : 255;
  }
};

void writeChannels(const DistortRequest* r, uint8_t* out, int bpp, const int32_t ch[3]) {
  if (bpp == 3) {
    bool rgb = r->format == PIXFMT_RGB24;
    out[0] = static_cast<uint8_t>(rgb ? ch[0] : ch[2]);
    out[1] = static_cast<uint8_t>(ch[1]);
    out[2] = static_cast<uint8_t>(rgb ? ch[2] : ch[0]);
    return;
  }
  pixel::StoreRaw(out, bpp, pixel::FromNative(pixel::Rgb(ch[0], ch[1], ch[2]), r->format, bpp));
}

}  // namespace

void EwaScale(EwaFilter* f, double p, double q, double r, double s) {
  f->tooLarge = 0;
  f->interpolate = 0;
  double A = r * r + s * s + 1.0, B = -2.0 * (p * r + q * s), C = p * p + q * q + 1.0;
  double F = A * C - B * B / 4.0;
  if (!(F > 4.0)) {
    f->interpolate = 1;
    return;
  }
  if (!(F <= 1e6)) {
    f->tooLarge = 1;
    return;
  }
  f->rowHalf = std::sqrt(A) + 1.0;
  f->columnHalf = std::sqrt(C) + 1.0;
  f->spanHalf = std::sqrt(F / A) + 1.0;
  f->slope = B / (-2.0 * A);
  if (4.0 * f->spanHalf * f->rowHalf > 20.0 * f->pixelCount) {
    f->tooLarge = 1;
    return;
  }
  double k = f->support / F;
  f->A = A * k;
  f->B = B * k;
  f->C = C * k;
}

void InterpolatePixel(const DistortRequest* r, const DistortImage* img, double x, double y,
                      double out[4]) {
  Source src{r, img, r->bytesPerPixel};
  double fx0 = std::floor(x), fy0 = std::floor(y);
  if (!(std::fabs(fx0) < 1e15) || !(std::fabs(fy0) < 1e15)) {
    out[0] = out[1] = out[2] = out[3] = 0;
    return;
  }
  auto x0 = static_cast<int64_t>(fx0), y0 = static_cast<int64_t>(fy0);
  double p[4][4];
  src.read(x0, y0, p[0]);
  src.read(x0 + 1, y0, p[1]);
  src.read(x0, y0 + 1, p[2]);
  src.read(x0 + 1, y0 + 1, p[3]);
  double fx = x - fx0, fy = y - fy0;
  for (int c = 0; c < 4; ++c)
    out[c] =
        ((1 - fx) * p[0][c] + fx * p[1][c]) * (1 - fy) + ((1 - fx) * p[2][c] + fx * p[3][c]) * fy;
}

ErrorCode DistortRender(DistortRequest* r) {
  r->error = 0;
  double* c = r->coefficients;
  r->coefficients = nullptr;
  struct FreeOnExit {
    double* p;
    ~FreeOnExit() { FreeMemory(p); }
  } guard{c};
  const DistortImage* s = r->source;
  DistortImage* o = r->output;
  int bpp = r->bytesPerPixel;
  if (!c || !s || !o || !s->pixels || !o->pixels || bpp < 2 || bpp > 4)
    return r->error = ERR_WRONGUSAGE;
  o->xOffset = r->outputX;
  o->yOffset = r->outputY;
  EwaFilter* filter = nullptr;
  struct FilterGuard {
    EwaFilter* f;
    ~FilterGuard() { FreeMemory(f); }
  } fguard{nullptr};
  if (r->filtered) {
    filter = static_cast<EwaFilter*>(AllocMemory(sizeof(EwaFilter), 1));
    if (!filter) return r->error = ERR_MEM;
    fguard.f = filter;
    filter->source = s;
    filter->pixelCount = static_cast<double>(s->width) * s->height;
    filter->support = EWA_TABLE;
    for (int i = 0; i < EWA_TABLE; ++i) filter->weights[i] = std::exp(-i * EWA_WEIGHT_STEP);
  }
  Source src{r, s, bpp};
  int32_t W = std::min(o->width, r->outputWidth), H = std::min(o->height, r->outputHeight);
  for (int32_t j = 0; j < H; ++j) {
    uint8_t* row = static_cast<uint8_t*>(o->pixels) + pixel::Offset(0, j, o->rowLength, bpp);
    uint8_t* maskRow =
        r->outputMask ? r->outputMask + static_cast<ptrdiff_t>(j) * r->outputMaskRowBytes : nullptr;
    uint8_t* alphaRow = r->outputAlpha
                            ? r->outputAlpha + static_cast<ptrdiff_t>(j) * r->outputAlphaRowBytes
                            : nullptr;
    for (int32_t i = 0; i < W; ++i) {
      uint8_t* out = row + static_cast<ptrdiff_t>(i) * bpp;
      double x = i + static_cast<double>(r->outputX) + 0.5,
             y = j + static_cast<double>(r->outputY) + 0.5;
      double u = 0, v = 0, slopes[4] = {0, 0, 0, 0};
      bool valid = true;
      switch (r->method) {
        case DISTORT_PERSPECTIVE: {
          double w = c[6] * x + c[7] * y + 1.0;
          double validity = c[8] * w >= 0 ? 1.0 : 0.0;
          double ac6 = std::fabs(c[6]), ac7 = std::fabs(c[7]);
          if (ac6 > ac7) {
            if (2.0 * std::fabs(w) < ac6) validity = 0.5 - c[8] * w / c[6];
          } else if (2.0 * std::fabs(w) < ac7) {
            validity = 0.5 - c[8] * w / c[7];
          }
          valid = validity > 0;
          if (valid) {
            double P = c[0] * x + c[1] * y + c[2], Q = c[3] * x + c[4] * y + c[5];
            u = P / w;
            v = Q / w;
            double w2 = w * w;
            slopes[0] = (c[0] * w - c[6] * P) / w2;
            slopes[1] = (c[1] * w - c[7] * P) / w2;
            slopes[2] = (c[3] * w - c[6] * Q) / w2;
            slopes[3] = (c[4] * w - c[7] * Q) / w2;
          }
          break;
        }
        case DISTORT_ARC: {
          double t = fraction((std::atan2(y, x) - c[0]) / TWO_PI);
          double rr = std::hypot(x, y);
          u = t * c[1] + c[4];
          v = (c[2] - rr) * c[3];
          slopes[0] = rr > NEAR_ZERO ? c[1] / (TWO_PI * rr) : 2.0 * r->outputWidth;
          slopes[3] = c[3];
          break;
        }
        case DISTORT_POLAR: {
          double dx = x - c[2], dy = y - c[3];
          double t = fraction((std::atan2(dx, dy) - (c[4] + c[5]) / 2) / TWO_PI);
          double rr = std::hypot(dx, dy);
          u = t * TWO_PI * c[6] + s->width / 2.0;
          v = (rr - c[1]) * c[7];
          slopes[0] = rr > NEAR_ZERO ? c[6] / (TWO_PI * rr) : 2.0 * r->outputWidth;
          slopes[3] = c[7];
          break;
        }
        default: {
          double dx = x - c[8], dy = y - c[9];
          double rr = std::sqrt(dx * dx + dy * dy);
          if (rr > NEAR_ZERO) {
            double fxv = ((c[0] * rr + c[1]) * rr + c[2]) * rr + c[3];
            double fyv = ((c[4] * rr + c[5]) * rr + c[6]) * rr + c[7];
            u = fxv * dx + c[8];
            v = fyv * dy + c[9];
            double gx = ((2 * c[1] + 3 * c[0] * rr) * rr + c[2]) / rr;
            double gy = ((2 * c[5] + 3 * c[4] * rr) * rr + c[6]) / rr;
            slopes[0] = fxv + gx * dx * dx;
            slopes[1] = gx * dx * dy;
            slopes[2] = gy * dx * dy;
            slopes[3] = fyv + gy * dy * dy;
          } else {
            u = c[8];
            v = c[9];
            slopes[0] = c[3];
            slopes[3] = c[7];
          }
        }
      }
      if (!valid) {
        std::memset(out, 0, bpp);
        continue;
      }
      double su = u - 0.5 - s->xOffset, sv = v - 0.5 - s->yOffset;
      auto nearest = [&] {
        int64_t sx = sampleIndex(su), sy = sampleIndex(sv);
        if (!src.inside(sx, sy)) {
          std::memset(out, 0, bpp);
          return;
        }
        std::memcpy(out, src.at(sx, sy), bpp);
        if (maskRow) {
          if (!src.maskedOut(sx, sy)) pixel::SetMaskBit(maskRow, i);
        } else if (alphaRow) {
          alphaRow[i] = r->sourceAlpha ? r->sourceAlpha[sy * r->sourceAlphaRowBytes + sx] : 255;
        }
      };
      auto emit = [&](const double ch[4], bool round) {
        int32_t rgb[3];
        for (int k = 0; k < 3; ++k)
          rgb[k] = round ? static_cast<int32_t>(ch[k] + 0.5) : fx::ClampChannel(ch[k]);
        writeChannels(r, out, bpp, rgb);
        int32_t a = round ? static_cast<int32_t>(ch[3] + 0.5) : fx::ClampChannel(ch[3]);
        if (alphaRow)
          alphaRow[i] = static_cast<uint8_t>(a);
        else if (maskRow && a > 0)
          pixel::SetMaskBit(maskRow, i);
      };
      if (!filter) {
        nearest();
        continue;
      }
      EwaScale(filter, slopes[0], slopes[1], slopes[2], slopes[3]);
      double sample[4];
      if (filter->tooLarge || filter->interpolate) {
        InterpolatePixel(r, s, su, sv, sample);
        emit(sample, false);
        continue;
      }
      if (su + filter->columnHalf < 0 || su - filter->columnHalf > s->width ||
          sv + filter->rowHalf < 0 || sv - filter->rowHalf > s->height) {
        nearest();
        continue;
      }
      double sum[4] = {0, 0, 0, 0}, weight = 0;
      int32_t samples = 0;
      int64_t rowFrom = VmTruncInt32(sv - filter->rowHalf),
              rowTo = VmTruncInt32(sv + filter->rowHalf + 1);
      int64_t columns = VmTruncInt32(2.0 * filter->spanHalf) + 1;
      for (int64_t yy = rowFrom; yy <= rowTo; ++yy) {
        int64_t u0 = VmTruncInt32((yy - sv) * filter->slope + su - filter->spanHalf);
        double U = u0 - su, V = yy - sv;
        double Q = (filter->A * U + filter->B * V) * U + filter->C * V * V;
        double DQ = filter->A * (2 * U + 1) + filter->B * V, DDQ = 2 * filter->A;
        for (int64_t k = 0; k < columns; ++k) {
          if (Q < EWA_TABLE) {
            double w = filter->weights[Q > 0 ? static_cast<int32_t>(Q) : 0];
            double p[4];
            src.read(u0 + k, yy, p);
            for (int ch = 0; ch < 4; ++ch) sum[ch] += w * p[ch];
            weight += w;
            ++samples;
          }
          Q += DQ;
          DQ += DDQ;
        }
      }
      if (samples < 4 || weight < 1.0) {
        InterpolatePixel(r, s, su, sv, sample);
        emit(sample, false);
        continue;
      }
      for (int ch = 0; ch < 4; ++ch) {
        double val = sum[ch] / weight;
        sample[ch] = val <= 0 ? 0 : (val >= 255 ? 255 : val);
      }
      emit(sample, true);
    }
  }
  return 0;
}
