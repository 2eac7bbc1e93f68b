// The service entries of the pixel-zoom, swirl and roll transitions: the
// pixelate, swirl and radial-sweep kernels on locked bitmaps, with the
// locking, size and format checks the kernels leave to their callers; and
// the row kernels of the level effects, which cross-fade and tint 32-bit
// pixels two at a time in one 64-bit word, and the displacement passes of
// the water and swirl frames.
//
// Invariant: a kernel runs only when every bitmap it touches is locked,
// covers width x height and (for pixels) shares one format of 2 or 4 bytes;
// otherwise nothing is drawn and ERR_LOCKBMAP is returned.
#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "gfx/pixel_private.h"
#include "gfx/transform_private.h"

static_assert(SWIRL_TABLE_ENTRIES == SWIRL_TABLE_SIZE, "one table size");

namespace {

using fxwrap::ScopedLock;

bool covers(const BitmapLock& lock, int32_t width, int32_t height) {
  return lock.width >= width && lock.height >= height;
}

// Takes an optional plane (mask or alpha channel): true when it is absent
// or locked and covering.
bool takePlane(ScopedLock* l, BitmapHandle* plane, bool readOnly, int32_t width, int32_t height) {
  if (!plane) return true;
  return l->take(plane, readOnly) && covers(l->lock, width, height);
}

// Pixel bitmaps of one format with 2 or 4 bytes a pixel, covering the area.
bool samePixels(const BitmapLock& a, const BitmapLock& b, int32_t width, int32_t height) {
  return a.pixelFormat == b.pixelFormat && a.bytesPerPixel == b.bytesPerPixel &&
         (a.bytesPerPixel == 2 || a.bytesPerPixel == 4) && covers(a, width, height) &&
         covers(b, width, height);
}

// The address and row length of an optional plane: null and 0 when it is
// not held.
uint8_t* planeAddress(const ScopedLock& l) { return l.held ? l.lock.address : nullptr; }
int32_t planeRow(const ScopedLock& l) { return l.held ? l.lock.rowLength : 0; }

// One frame's locks: the source and destination pixels, alike and covering
// the area, and their optional masks and alpha channels.
struct FrameLocks {
  ScopedLock source, dest, sourceMask, destMask, sourceAlpha, destAlpha;
  bool take(BitmapHandle* s, BitmapHandle* sm, BitmapHandle* sa, BitmapHandle* d, BitmapHandle* dm,
            BitmapHandle* da, int32_t width, int32_t height) {
    return source.take(s, true) && dest.take(d, false) &&
           samePixels(source.lock, dest.lock, width, height) &&
           takePlane(&sourceMask, sm, true, width, height) &&
           takePlane(&destMask, dm, false, width, height) &&
           takePlane(&sourceAlpha, sa, true, width, height) &&
           takePlane(&destAlpha, da, false, width, height);
  }
  // Hands the held planes to a kernel request whose fields carry the
  // source, destination, mask and alpha names.
  template <class Request>
  void fill(Request* q) const {
    q->source = source.lock.address;
    q->dest = dest.lock.address;
    q->sourceRowLength = source.lock.rowLength;
    q->destRowLength = dest.lock.rowLength;
    q->sourceMask = planeAddress(sourceMask);
    q->sourceMaskRowBytes = planeRow(sourceMask);
    q->destMask = planeAddress(destMask);
    q->destMaskRowBytes = planeRow(destMask);
    q->sourceAlpha = planeAddress(sourceAlpha);
    q->sourceAlphaRowBytes = planeRow(sourceAlpha);
    q->destAlpha = planeAddress(destAlpha);
    q->destAlphaRowBytes = planeRow(destAlpha);
  }
};

// Two pixels a word: red and blue in the 16-bit fields of LOW, green in
// those of GREEN. A channel weighted by w and one by 256 - w sum to at
// most 255 x 256, so no field carries into the next.
constexpr uint64_t LOW = 0x00FF00FF00FF00FFull, GREEN = 0x0000FF000000FF00ull;

uint64_t load2(const uint32_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
void store2(uint32_t* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }

// old + ((fresh - old) x level >> 8) is (old x (256 - level) + fresh x
// level) >> 8 in every channel: the sum never goes below 0.
uint64_t mix2(uint64_t fresh, uint64_t old, uint64_t level, uint64_t rest) {
  uint64_t lowSum = (old & LOW) * rest + (fresh & LOW) * level;
  uint64_t greenSum = (old & GREEN) * rest + (fresh & GREEN) * level;
  return ((lowSum >> 8) & LOW) | ((greenSum >> 8) & GREEN);
}

// The same with the colour's weighted channels (lowTint, greenTint) as fresh.
uint64_t tint2(uint64_t in, uint64_t rest, uint64_t lowTint, uint64_t greenTint) {
  uint64_t lowSum = (in & LOW) * rest + lowTint;
  uint64_t greenSum = (in & GREEN) * rest + greenTint;
  return ((lowSum >> 8) & LOW) | ((greenSum >> 8) & GREEN);
}

// The whole part of v limited to 0 .. high (a whole number): exactly what
// truncating v and then limiting the result gives, as values beyond
// either end (or not a number) become the end before any conversion.
inline int32_t clampedTrunc(double v, double high) {
#if defined(__SSE2__)
  __m128d x = _mm_max_sd(_mm_set_sd(v), _mm_setzero_pd());
  return _mm_cvttsd_si32(_mm_min_sd(x, _mm_set_sd(high)));
#else
  v = v > 0.0 ? v : 0.0;
  return static_cast<int32_t>(v < high ? v : high);
#endif
}

}  // namespace

namespace {

// Where each pixel of a row reads from: row(y).at(x, &u, &v).
struct RipplePlaces {
  const int32_t* distances;
  const double* factors;
  int32_t width, height, cx, cy;
  struct Row {
    const int32_t* distance;
    const double* factors;
    double dy, cx, lastColumn, lastRow;
    int32_t y;
    void at(int32_t x, int32_t* u, int32_t* v) const {
      double f = factors[distance[x]];
      *u = clampedTrunc(f * (x - cx) + x, lastColumn);
      *v = clampedTrunc(f * dy + y, lastRow);
    }
  };
  Row row(int32_t y) const {
    return Row{distances + static_cast<ptrdiff_t>(y) * width,
               factors,
               y - static_cast<double>(cy),
               static_cast<double>(cx),
               static_cast<double>(width - 1),
               static_cast<double>(height - 1),
               y};
  }
};

// A scale of 1 divides nothing: its division is left out.
template <bool DivideX, bool DivideY>
struct SwirlPlaces {
  const int32_t* radii;
  const double *sine, *cosine;
  double cx, cy, sx, sy;
  int32_t width, height;
  struct Row {
    const int32_t* radius;
    const double *sine, *cosine;
    double cx, cy, sx, sy, dy, lastColumn, lastRow;
    int32_t y;
    void at(int32_t x, int32_t* u, int32_t* v) const {
      int32_t r = radius[x];
      if (r < 0) {
        *u = x;
        *v = y;
        return;
      }
      double dx = (x - cx) * sx;
      double sn = sine[r], cs = cosine[r];
      double a = cs * dx - sn * dy, b = cs * dy + sn * dx;
      if (DivideX) a /= sx;
      if (DivideY) b /= sy;
      *u = clampedTrunc(a + cx, lastColumn);
      *v = clampedTrunc(b + cy, lastRow);
    }
  };
  Row row(int32_t y) const {
    return Row{radii + static_cast<ptrdiff_t>(y) * width,
               sine,
               cosine,
               cx,
               cy,
               sx,
               sy,
               (y - cy) * sy,
               static_cast<double>(width - 1),
               static_cast<double>(height - 1),
               y};
  }
};

// Calls visit with the swirl places of the scales.
template <class Visit>
auto withSwirlPlaces(const int32_t* radii, const double* sine, const double* cosine, double cx,
                     double cy, double sx, double sy, int32_t width, int32_t height, Visit visit) {
  if (sx == 1.0 && sy == 1.0)
    return visit(SwirlPlaces<false, false>{radii, sine, cosine, cx, cy, sx, sy, width, height});
  if (sx == 1.0)
    return visit(SwirlPlaces<false, true>{radii, sine, cosine, cx, cy, sx, sy, width, height});
  if (sy == 1.0)
    return visit(SwirlPlaces<true, false>{radii, sine, cosine, cx, cy, sx, sy, width, height});
  return visit(SwirlPlaces<true, true>{radii, sine, cosine, cx, cy, sx, sy, width, height});
}

// Each pixel takes the pixel at its place.
template <class Places>
void displaceCopy(const uint32_t* picture, int32_t pictureRow, uint32_t* out, int32_t outRow,
                  int32_t width, int32_t height, const Places& places) {
  for (int32_t y = 0; y < height; y++) {
    auto at = places.row(y);
    uint32_t* row = out + static_cast<ptrdiff_t>(y) * outRow;
    for (int32_t x = 0; x < width; x++) {
      int32_t u, v;
      at.at(x, &u, &v);
      row[x] = picture[static_cast<ptrdiff_t>(v) * pictureRow + u];
    }
  }
}

// The opacity fade: a pixel whose source alpha at its place is a > 0
// takes the source pixel there and the alpha a x level / 255; the others
// take alpha 0 and keep their pixel. Without a source alpha channel every
// a is 255: each pixel takes its displaced pixel and the alpha level.
template <class Places>
ErrorCode displaceFade(BitmapHandle* source, BitmapHandle* sourceAlpha, BitmapHandle* dest,
                       BitmapHandle* destAlpha, int32_t width, int32_t height, const Places& places,
                       int32_t level) {
  FrameLocks k;
  if (!destAlpha ||
      !k.take(source, nullptr, sourceAlpha, dest, nullptr, destAlpha, width, height) ||
      k.dest.lock.bytesPerPixel != 4)
    return ERR_LOCKBMAP;
  const auto* pixels = reinterpret_cast<const uint32_t*>(k.source.lock.address);
  auto* out = reinterpret_cast<uint32_t*>(k.dest.lock.address);
  uint8_t* outAlpha = k.destAlpha.lock.address;
  int32_t pixelRow = k.source.lock.rowLength, outRow = k.dest.lock.rowLength;
  int32_t outAlphaRow = k.destAlpha.lock.rowLength;
  if (!k.sourceAlpha.held) {
    for (int32_t y = 0; y < height; y++) {
      auto at = places.row(y);
      uint32_t* row = out + static_cast<ptrdiff_t>(y) * outRow;
      for (int32_t x = 0; x < width; x++) {
        int32_t u, v;
        at.at(x, &u, &v);
        row[x] = pixels[static_cast<ptrdiff_t>(v) * pixelRow + u];
      }
      std::memset(outAlpha + static_cast<ptrdiff_t>(y) * outAlphaRow, level,
                  static_cast<size_t>(width));
    }
    return ERR_NONE;
  }
  const uint8_t* alpha = k.sourceAlpha.lock.address;
  int32_t alphaRow = k.sourceAlpha.lock.rowLength;
  for (int32_t y = 0; y < height; y++) {
    auto at = places.row(y);
    uint32_t* row = out + static_cast<ptrdiff_t>(y) * outRow;
    uint8_t* rowAlpha = outAlpha + static_cast<ptrdiff_t>(y) * outAlphaRow;
    for (int32_t x = 0; x < width; x++) {
      int32_t u, v;
      at.at(x, &u, &v);
      uint8_t a = alpha[static_cast<ptrdiff_t>(v) * alphaRow + u];
      if (a == 0) {
        rowAlpha[x] = 0;
        continue;
      }
      row[x] = pixels[static_cast<ptrdiff_t>(v) * pixelRow + u];
      rowAlpha[x] = static_cast<uint8_t>(a * level / 255);
    }
  }
  return ERR_NONE;
}

}  // namespace

void RippleDisplacePixels(const uint32_t* picture, int32_t pictureRow, uint32_t* out,
                          int32_t outRow, int32_t width, int32_t height, const int32_t* distances,
                          const double* factors, int32_t cx, int32_t cy) {
  displaceCopy(picture, pictureRow, out, outRow, width, height,
               RipplePlaces{distances, factors, width, height, cx, cy});
}

void SwirlDisplacePixels(const uint32_t* picture, int32_t pictureRow, uint32_t* out, int32_t outRow,
                         int32_t width, int32_t height, const int32_t* radii, const double* sine,
                         const double* cosine, double cx, double cy, double sx, double sy) {
  withSwirlPlaces(radii, sine, cosine, cx, cy, sx, sy, width, height, [&](const auto& places) {
    displaceCopy(picture, pictureRow, out, outRow, width, height, places);
  });
}

ErrorCode RippleFadeFrame(BitmapHandle* source, BitmapHandle* sourceAlpha, BitmapHandle* dest,
                          BitmapHandle* destAlpha, int32_t width, int32_t height,
                          const int32_t* distances, const double* factors, int32_t cx, int32_t cy,
                          int32_t level) {
  if (width <= 0 || height <= 0) return ERR_NONE;
  if (!distances || !factors) return ERR_WRONGUSAGE;
  return displaceFade(source, sourceAlpha, dest, destAlpha, width, height,
                      RipplePlaces{distances, factors, width, height, cx, cy}, level);
}

ErrorCode SwirlFadeFrame(BitmapHandle* source, BitmapHandle* sourceAlpha, BitmapHandle* dest,
                         BitmapHandle* destAlpha, int32_t width, int32_t height,
                         const int32_t* radii, const double* sine, const double* cosine, double cx,
                         double cy, double sx, double sy, int32_t level) {
  if (width <= 0 || height <= 0) return ERR_NONE;
  if (!radii || !sine || !cosine) return ERR_WRONGUSAGE;
  return withSwirlPlaces(
      radii, sine, cosine, cx, cy, sx, sy, width, height, [&](const auto& places) {
        return displaceFade(source, sourceAlpha, dest, destAlpha, width, height, places, level);
      });
}

namespace {

// One byte of the blend, without branches: the magnitude's quotient is
// (m x 32897) >> 23, exact for every m up to 65152, and its sign follows.
inline uint32_t blendByte(uint32_t d, uint32_t s, uint32_t w) {
  int32_t t = (static_cast<int32_t>(s) - static_cast<int32_t>(d)) * static_cast<int32_t>(w);
  uint32_t q = ((static_cast<uint32_t>(t < 0 ? -t : t) + 127) * 32897u) >> 23;
  return t < 0 ? d - q : d + q;
}

inline uint32_t blendWeight(const uint8_t* alpha, int32_t i, uint32_t opacity) {
  uint32_t w = alpha ? alpha[i] * opacity / 255 : opacity;
  return w < 255 ? w : 255;
}

}  // namespace

void AlphaBlendPixelRow(uint32_t* dest, const uint32_t* source, const uint8_t* alpha, int32_t count,
                        int32_t opacity) {
  auto o = static_cast<uint32_t>(std::max(opacity, 0));
  int32_t i = 0;
#if defined(__SSE2__)
  // Four pixels at a time: the byte distances' magnitudes weighted in
  // 16-bit lanes (at most 65152 with the 127 added, so the exact quotient
  // is the high half of the product by 32897 shifted by 7), then added to
  // the bytes whose source is not below them and taken from the others.
  const __m128i zero = _mm_setzero_si128(), half = _mm_set1_epi16(127),
                magic = _mm_set1_epi16(static_cast<int16_t>(32897));
  for (; i + 3 < count; i += 4) {
    auto w0 = static_cast<int16_t>(blendWeight(alpha, i, o)),
         w1 = static_cast<int16_t>(blendWeight(alpha, i + 1, o)),
         w2 = static_cast<int16_t>(blendWeight(alpha, i + 2, o)),
         w3 = static_cast<int16_t>(blendWeight(alpha, i + 3, o));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dest + i));
    __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
    __m128i up = _mm_subs_epu8(s, d), down = _mm_subs_epu8(d, s);
    __m128i m = _mm_or_si128(up, down);
    __m128i low =
        _mm_mullo_epi16(_mm_unpacklo_epi8(m, zero), _mm_set_epi16(w1, w1, w1, w1, w0, w0, w0, w0));
    __m128i high =
        _mm_mullo_epi16(_mm_unpackhi_epi8(m, zero), _mm_set_epi16(w3, w3, w3, w3, w2, w2, w2, w2));
    low = _mm_srli_epi16(_mm_mulhi_epu16(_mm_add_epi16(low, half), magic), 7);
    high = _mm_srli_epi16(_mm_mulhi_epu16(_mm_add_epi16(high, half), magic), 7);
    __m128i q = _mm_packus_epi16(low, high);
    __m128i rising = _mm_cmpeq_epi8(down, zero);
    __m128i out = _mm_or_si128(_mm_and_si128(rising, _mm_add_epi8(d, q)),
                               _mm_andnot_si128(rising, _mm_sub_epi8(d, q)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + i), out);
  }
#endif
  for (; i < count; i++) {
    uint32_t w = blendWeight(alpha, i, o), d = dest[i], s = source[i], out = 0;
    for (int shift = 0; shift < 32; shift += 8)
      out |= (blendByte((d >> shift) & 0xFF, (s >> shift) & 0xFF, w) & 0xFF) << shift;
    dest[i] = out;
  }
}

void CrossFadePixelRow(const uint32_t* fresh, const uint32_t* old, uint32_t* out, int32_t count,
                       int32_t level) {
  level = std::clamp(level, 0, 256);
  auto l = static_cast<uint64_t>(level), rest = 256 - l;
  int32_t i = 0;
#if defined(__SSE2__)
  // Four pixels at a time in 16-bit lanes, where the weighted sum of a
  // channel (at most 255 x 256) fits.
  const __m128i zero = _mm_setzero_si128(), colours = _mm_set1_epi32(0xFFFFFF),
                freshWeight = _mm_set1_epi16(static_cast<int16_t>(l)),
                oldWeight = _mm_set1_epi16(static_cast<int16_t>(rest));
  for (; i + 3 < count; i += 4) {
    __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(fresh + i));
    __m128i o = _mm_loadu_si128(reinterpret_cast<const __m128i*>(old + i));
    __m128i low = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(o, zero), oldWeight),
                                _mm_mullo_epi16(_mm_unpacklo_epi8(f, zero), freshWeight));
    __m128i high = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(o, zero), oldWeight),
                                 _mm_mullo_epi16(_mm_unpackhi_epi8(f, zero), freshWeight));
    __m128i mixed = _mm_packus_epi16(_mm_srli_epi16(low, 8), _mm_srli_epi16(high, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_and_si128(mixed, colours));
  }
#endif
  for (; i + 1 < count; i += 2) store2(out + i, mix2(load2(fresh + i), load2(old + i), l, rest));
  if (i < count) out[i] = static_cast<uint32_t>(mix2(fresh[i], old[i], l, rest));
}

void TintPixelRow(const uint32_t* in, uint32_t* out, int32_t count, ArgbColor colour,
                  int32_t level) {
  level = std::clamp(level, 0, 256);
  auto l = static_cast<uint64_t>(level), rest = 256 - l;
  uint64_t c = (uint64_t{colour & 0xFFFFFFu} << 32) | (colour & 0xFFFFFFu);
  uint64_t lowTint = (c & LOW) * l, greenTint = (c & GREEN) * l;
  int32_t i = 0;
  for (; i + 1 < count; i += 2) store2(out + i, tint2(load2(in + i), rest, lowTint, greenTint));
  if (i < count) out[i] = static_cast<uint32_t>(tint2(in[i], rest, lowTint, greenTint));
}

ErrorCode PixelateTransitionFrame(BitmapHandle* source, BitmapHandle* sourceMask,
                                  BitmapHandle* sourceAlpha, BitmapHandle* dest,
                                  BitmapHandle* destMask, BitmapHandle* destAlpha, int32_t width,
                                  int32_t height, int32_t cellSize) {
  if (width <= 0 || height <= 0) return ERR_NONE;
  // A plane is pixelated only when both its sides are given.
  if (!(sourceMask && destMask)) sourceMask = destMask = nullptr;
  if (!(sourceAlpha && destAlpha)) sourceAlpha = destAlpha = nullptr;
  FrameLocks k;
  if (!k.take(source, sourceMask, sourceAlpha, dest, destMask, destAlpha, width, height))
    return ERR_LOCKBMAP;
  PixelateRequest q{};
  k.fill(&q);
  q.width = width;
  q.height = height;
  q.cellSize = std::max(1, cellSize);
  if (k.dest.lock.bytesPerPixel == 4)
    PixelatePixels32(&q);
  else
    PixelatePixels16(&q);
  return ERR_NONE;
}

void BuildSwirlTables(double* sine, double* cosine) { BuildSwirlSinCosTable(sine, cosine); }

ErrorCode SwirlTransitionFrame(BitmapHandle* source, BitmapHandle* second, BitmapHandle* dest,
                               BitmapHandle* sourceAlpha, BitmapHandle* destAlpha, int32_t width,
                               int32_t height, const double* sine, const double* cosine,
                               int32_t fadeOut, int32_t angle) {
  if (width <= 0 || height <= 0) return ERR_NONE;
  if (!sine || !cosine) return ERR_WRONGUSAGE;
  FrameLocks k;
  ScopedLock o;
  if (!k.take(source, nullptr, sourceAlpha, dest, nullptr, destAlpha, width, height))
    return ERR_LOCKBMAP;
  if (second && (!o.take(second, true) || !samePixels(o.lock, k.dest.lock, width, height)))
    return ERR_LOCKBMAP;
  SwirlRequest q{};
  q.source = k.source.lock.address;
  q.sourceRowLength = k.source.lock.rowLength;
  q.second = planeAddress(o);
  q.secondRowLength = planeRow(o);
  q.destination = k.dest.lock.address;
  q.destinationRowLength = k.dest.lock.rowLength;
  q.sine = sine;
  q.cosine = cosine;
  q.format = k.dest.lock.pixelFormat;
  q.width = width;
  q.height = height;
  q.fadeOut = fadeOut;
  q.sourceAlpha = planeAddress(k.sourceAlpha);
  q.sourceAlphaRowLength = planeRow(k.sourceAlpha);
  q.destinationAlpha = planeAddress(k.destAlpha);
  q.destinationAlphaRowLength = planeRow(k.destAlpha);
  if (k.dest.lock.bytesPerPixel == 4)
    SwirlPixels32(&q, angle);
  else
    SwirlPixels16(&q, angle);
  return ERR_NONE;
}

ErrorCode RollBandFrame(BitmapHandle* source, BitmapHandle* sourceMask, BitmapHandle* sourceAlpha,
                        BitmapHandle* dest, BitmapHandle* destMask, BitmapHandle* destAlpha,
                        int32_t width, int32_t height, const double* angles, int32_t steps,
                        int32_t columns, int32_t position, int32_t* firstLine, int32_t* lineCount) {
  *firstLine = -1;
  *lineCount = 0;
  if (width <= 0 || height <= 0 || steps <= 0 || !angles) return ERR_NONE;
  FrameLocks k;
  if (!k.take(source, sourceMask, sourceAlpha, dest, destMask, destAlpha, width, height))
    return ERR_LOCKBMAP;
  RadialSweepRequest q{};
  k.fill(&q);
  q.sourceWidth = q.destWidth = width;
  q.sourceHeight = q.destHeight = height;
  q.bytesPerPixel = k.dest.lock.bytesPerPixel;
  q.angles = angles;
  q.steps = steps;
  q.columns = columns;
  q.base = position;
  RadialSweepKernel(&q);
  if (q.copiedLines > 0) {
    *firstLine = q.firstDest;
    *lineCount = q.copiedLines;
  }
  return ERR_NONE;
}
