// Swirl and water-ripple kernels: every destination pixel is rebuilt from a
// displaced source pixel. The swirl turns pixels inside a circle by an
// angle that grows towards the centre; the ripple pushes them along the
// radius by a sine wave running outward. Both serve in-place brush effects
// (the kernel copies the destination first) and frame-by-frame transitions
// (alpha fade or cross-fade with a second picture). The ripple consumes one
// distance-table entry per pixel, so pixels are visited row by row, each
// exactly once.
#include <cmath>
#include <cstring>

#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "platform/linux/platform.h"

namespace {

constexpr double TABLE_STEP = 0.001;
constexpr double DEG_TO_RAD = 0.017453292519943295;
constexpr double RIPPLE_TWO_PI = 6.28318530717959;

int32_t clampTo(int32_t v, int32_t hi) { return v < 0 ? 0 : (v > hi ? hi : v); }

// Copies that stand in for missing sources; freed on every exit.
struct Copies {
  void* pixels = nullptr;
  uint8_t* mask = nullptr;
  uint8_t* alpha = nullptr;
  ~Copies() {
    FreeMemory(pixels);
    FreeMemory(mask);
    FreeMemory(alpha);
  }
};

void* copyRows(const void* from, int32_t rows, int32_t rowBytes) {
  size_t n;
  if (rows <= 0 || rowBytes <= 0 ||
      !fx::MulSize(static_cast<size_t>(rows), static_cast<size_t>(rowBytes), &n))
    return nullptr;
  void* p = AllocMemory(n, 0);
  if (p) std::memcpy(p, from, n);
  return p;
}

// The pictures of one displacement pass, after missing sources have been
// replaced by copies of the destination.
struct Pass {
  const uint8_t* source;
  int32_t sourceRow;  // pixels
  const uint8_t* second;
  int32_t secondRow;
  uint8_t* dest;
  int32_t destRow;
  uint32_t format;
  const uint8_t* sourceAlpha;
  int32_t sourceAlphaRow;
  uint8_t* destAlpha;
  int32_t destAlphaRow;
  const uint8_t* sourceMask;
  int32_t sourceMaskRow;
  uint8_t* destMask;
  int32_t destMaskRow;
  bool fadeMode;  // the caller gave a source alpha: alpha-fade transition
  int32_t fade;   // 0-255
};

// Sets up a pass; false when a needed copy cannot be made.
template <typename Req>
bool preparePass(const Req* q, int bpp, int32_t f, Copies* copies, Pass* p) {
  *p = Pass{static_cast<const uint8_t*>(q->source),
            q->sourceRowLength,
            static_cast<const uint8_t*>(q->second),
            q->secondRowLength,
            static_cast<uint8_t*>(q->destination),
            q->destinationRowLength,
            q->format,
            q->sourceAlpha,
            q->sourceAlphaRowLength,
            q->destinationAlpha,
            q->destinationAlphaRowLength,
            q->sourceMask,
            q->sourceMaskRowLength,
            q->destinationMask,
            q->destinationMaskRowLength,
            q->sourceAlpha != nullptr,
            q->fadeOut ? 255 - f : f};
  if (!p->source) {
    size_t rowBytes;
    if (!fx::MulSize(static_cast<size_t>(q->destinationRowLength), static_cast<size_t>(bpp),
                     &rowBytes) ||
        rowBytes > INT32_MAX)
      return false;
    copies->pixels = copyRows(q->destination, q->height, static_cast<int32_t>(rowBytes));
    if (!copies->pixels) return false;
    p->source = static_cast<const uint8_t*>(copies->pixels);
    p->sourceRow = q->destinationRowLength;
  }
  if (p->fadeMode) return true;
  if (!p->sourceMask && p->destMask) {
    copies->mask = static_cast<uint8_t*>(copyRows(p->destMask, q->height, p->destMaskRow));
    if (!copies->mask) return false;
    p->sourceMask = copies->mask;
    p->sourceMaskRow = p->destMaskRow;
  }
  if (p->destAlpha) {
    copies->alpha = static_cast<uint8_t*>(copyRows(p->destAlpha, q->height, p->destAlphaRow));
    if (!copies->alpha) return false;
    p->sourceAlpha = copies->alpha;
    p->sourceAlphaRow = p->destAlphaRow;
  }
  return true;
}

template <int Bpp>
void writePixel(const Pass& p, int32_t x, int32_t y, int32_t u, int32_t v) {
  const uint8_t* s = p.source + pixel::Offset(u, v, p.sourceRow, Bpp);
  uint8_t* d = p.dest + pixel::Offset(x, y, p.destRow, Bpp);
  if (p.fadeMode) {
    uint8_t a = p.sourceAlpha[static_cast<ptrdiff_t>(v) * p.sourceAlphaRow + u];
    uint8_t* da =
        p.destAlpha ? p.destAlpha + static_cast<ptrdiff_t>(y) * p.destAlphaRow + x : nullptr;
    if (a == 0) {
      if (da) *da = 0;
      return;
    }
    std::memcpy(d, s, Bpp);
    if (da) *da = static_cast<uint8_t>(a * p.fade / 255);
    return;
  }
  if (p.second) {
    uint32_t sv = pixel::ToNative(pixel::LoadRaw(s, Bpp), p.format, Bpp);
    uint32_t ov = pixel::ToNative(
        pixel::LoadRaw(p.second + pixel::Offset(u, v, p.secondRow, Bpp), Bpp), p.format, Bpp);
    auto mixc = [&](uint32_t sc, uint32_t oc) {
      return static_cast<uint32_t>(
          static_cast<int32_t>(oc) +
          ((static_cast<int32_t>(sc) - static_cast<int32_t>(oc)) * p.fade >> 8));
    };
    uint32_t out = pixel::Rgb(mixc(pixel::R(sv), pixel::R(ov)), mixc(pixel::G(sv), pixel::G(ov)),
                              mixc(pixel::B(sv), pixel::B(ov)));
    pixel::StoreRaw(d, Bpp, pixel::FromNative(out, p.format, Bpp));
    return;
  }
  std::memcpy(d, s, Bpp);
  if (p.destMask && p.sourceMask)
    pixel::PutMaskBit(
        p.destMask + static_cast<ptrdiff_t>(y) * p.destMaskRow, x,
        pixel::MaskBit(p.sourceMask + static_cast<ptrdiff_t>(v) * p.sourceMaskRow, u));
  if (p.destAlpha && p.sourceAlpha)
    p.destAlpha[static_cast<ptrdiff_t>(y) * p.destAlphaRow + x] =
        p.sourceAlpha[static_cast<ptrdiff_t>(v) * p.sourceAlphaRow + u];
}

template <int Bpp>
void swirl(const SwirlRequest* q, int32_t angle) {
  if (q->width <= 0 || q->height <= 0 || !q->destination || !q->sine || !q->cosine) return;
  int32_t f = static_cast<int32_t>(static_cast<int64_t>(angle) * 255 / 720);
  f = f < 0 ? 0 : (f > 255 ? 255 : f);
  int64_t alpha = angle > 359 ? 720 - static_cast<int64_t>(angle) : angle;
  double theta = static_cast<double>(alpha) * DEG_TO_RAD;
  Copies copies;
  Pass p;
  if (!preparePass(q, Bpp, f, &copies, &p)) return;
  double w = q->width, h = q->height;
  double cx = w / 2, cy = h / 2, radius = std::max(cx, cy);
  double sx = 1, sy = 1;
  if (q->height < q->width)
    sy = w / h;
  else
    sx = h / w;
  for (int32_t y = 0; y < q->height; ++y)
    for (int32_t x = 0; x < q->width; ++x) {
      double dx = (x - cx) * sx, dy = (y - cy) * sy;
      double Q = dx * dx + dy * dy;
      int32_t u = x, v = y;
      if (Q < radius * radius) {
        double t = 1.0 - IntSqrt(VmTruncInt32(Q)) / radius;
        double a = theta * t * t;
        double sn, cs;
        if (alpha < 0) {
          sn = std::sin(a);
          cs = std::cos(a);
        } else {
          int32_t i = clampTo(VmTruncInt32(a / TABLE_STEP), SWIRL_TABLE_SIZE - 1);
          sn = q->sine[i];
          cs = q->cosine[i];
        }
        u = clampTo(VmTruncInt32((cs * dx - sn * dy) / sx + cx), q->width - 1);
        v = clampTo(VmTruncInt32((cs * dy + sn * dx) / sy + cy), q->height - 1);
      }
      writePixel<Bpp>(p, x, y, u, v);
    }
}

}  // namespace

void BuildSwirlSinCosTable(double* sine, double* cosine) {
  double a = 0.0;
  for (int i = 0; i < SWIRL_TABLE_SIZE; ++i, a += TABLE_STEP) {
    if (sine) sine[i] = std::sin(a);
    if (cosine) cosine[i] = std::cos(a);
  }
}

void BuildRippleSineTable(double* sine, int32_t* distances, int32_t width, int32_t height,
                          int32_t cx, int32_t cy) {
  BuildSwirlSinCosTable(sine, nullptr);
  if (!distances) return;
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) {
      int64_t dx = static_cast<int64_t>(x) - cx, dy = static_cast<int64_t>(y) - cy;
      int64_t q = dx * dx + dy * dy;
      distances[static_cast<size_t>(y) * width + x] =
          IntSqrt(q > INT32_MAX ? INT32_MAX : static_cast<int32_t>(q));
    }
}

void SwirlPixels16(const SwirlRequest* q, int32_t angle) { swirl<2>(q, angle); }
void SwirlPixels32(const SwirlRequest* q, int32_t angle) { swirl<4>(q, angle); }

void RippleDisplace(int32_t phase, int32_t x, int32_t y, RippleRequest* q) {
  int32_t d = *q->readPosition++;
  double lambda = q->waveLength < 1.0 ? 1.0 : q->waveLength;
  double phi = std::fmod(d / lambda * RIPPLE_TWO_PI - phase, RIPPLE_TWO_PI);
  if (phi < 0) phi += RIPPLE_TWO_PI;
  if (!std::isfinite(phi)) phi = 0;
  int32_t index = VmTruncInt32(phi / TABLE_STEP);
  index = index < 0 ? 0 : (index > SWIRL_TABLE_SIZE - 1 ? SWIRL_TABLE_SIZE - 1 : index);
  // A radius below 1 has no wave to shape: no displacement.
  double s = q->radius >= 1 ? q->amplitude * q->sine[index] * (q->radius - d) / q->radius : 0.0;
  if (d != 0) s = s * lambda / d;
  q->sourceColumn =
      clampTo(VmTruncInt32(s * (x - static_cast<double>(q->centreX)) + x), q->width - 1);
  q->sourceRow =
      clampTo(VmTruncInt32(s * (y - static_cast<double>(q->centreY)) + y), q->height - 1);
}

namespace {

template <int Bpp>
void ripple(RippleRequest* q, int32_t frame) {
  if (q->width <= 0 || q->height <= 0 || !q->destination || !q->sine || !q->distances) return;
  int64_t n = q->framesPerHalf < 1 ? 1 : q->framesPerHalf;
  int32_t f =
      frame < 0 ? 0 : static_cast<int32_t>(std::min<int64_t>(255, frame * int64_t{255} / (2 * n)));
  int32_t phase;
  if (frame == -1) {
    phase = q->storedPhase;
  } else {
    q->amplitude = (frame < n ? frame : 2 * n - frame) * q->amplitudeStep;
    phase = frame;
  }
  Copies copies;
  Pass p;
  if (!preparePass(q, Bpp, f, &copies, &p)) return;
  q->readPosition = q->distances;
  for (int32_t y = 0; y < q->height; ++y)
    for (int32_t x = 0; x < q->width; ++x) {
      RippleDisplace(phase, x, y, q);
      writePixel<Bpp>(p, x, y, q->sourceColumn, q->sourceRow);
    }
}

}  // namespace

void WaterRipplePixels16(RippleRequest* q, int32_t frame) { ripple<2>(q, frame); }
void WaterRipplePixels32(RippleRequest* q, int32_t frame) { ripple<4>(q, frame); }
