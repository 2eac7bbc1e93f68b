// Per-pixel colour effects on locked pixels (grey, solarize, gamma, sepia,
// level normalising) and the integer square root of the geometric effects.
// Each effect has a 2-byte and a 4-byte twin that compute in the native
// layouts (RGB565 expanded, 0xAARRGGBB) and write computed 32-bit pixels
// with an alpha byte of 0.
#include <cmath>
#include <cstring>

#include "gfx/effects_private.h"
#include "gfx/gfx.h"

int32_t IntSqrt(int32_t n) {
  if (n < 0) return -1;
  // The double root of a 31-bit value is within one of the true floor;
  // the squares, taken in 64 bits, correct it.
  int64_t e = static_cast<int64_t>(std::sqrt(static_cast<double>(n)));
  while (e * e > n) --e;
  while ((e + 1) * (e + 1) <= n) ++e;
  return static_cast<int32_t>(e);
}

namespace {

uint32_t greyPixel(uint32_t v, int32_t twoColour) {
  int32_t y = fx::Grey(pixel::R(v), pixel::G(v), pixel::B(v));
  if (twoColour) return y > 128 ? 0xFFFFFFu : 0u;
  return pixel::Rgb(y, y, y);
}

uint32_t solarizePixel(uint32_t v, int32_t t) {
  uint32_t c[3] = {pixel::R(v), pixel::G(v), pixel::B(v)};
  for (auto& ch : c)
    if (static_cast<int32_t>(ch) > t) ch = 255 - ch;
  return pixel::Rgb(c[0], c[1], c[2]);
}

uint32_t gammaPixel(uint32_t v, const GammaRequest* q) {
  uint32_t r = pixel::R(v), g = pixel::G(v), b = pixel::B(v);
  if ((q->channels & 1) && q->red) r = q->red[r];
  if ((q->channels & 2) && q->green) g = q->green[g];
  if ((q->channels & 4) && q->blue) b = q->blue[b];
  return pixel::Rgb(r, g, b);
}

int32_t clampTrunc(long double v) {
  if (!(v > 0.0L)) return 0;
  if (v > 255.0L) return 255;
  return static_cast<int32_t>(v);
}

uint32_t sepiaPixel(uint32_t v, int32_t s) {
  long double y = fx::GreySum(pixel::R(v), pixel::G(v), pixel::B(v));
  long double level = s;
  long double g7 = 7.0L * level / 6.0L;
  long double b6 = level / 6.0L;
  int32_t r = y > level ? 255 : clampTrunc(y + 255.0L - level);
  int32_t g = y > g7 ? 255 : clampTrunc(y + 255.0L - g7);
  int32_t b = y < b6 ? 0 : clampTrunc(y - b6);
  int32_t m = clampTrunc(level / 7.0L);
  if (m > g) g = m;
  if (m > b) b = m;
  return pixel::Rgb(r, g, b);
}

}  // namespace

void GrayPixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                  uint32_t format, int32_t twoColour) {
  fx::ForEachPixel<2>(pixels, width, height, rowLength, format,
                      [&](uint32_t v) { return greyPixel(v, twoColour); });
}
void GrayPixels32(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                  uint32_t format, int32_t twoColour) {
  fx::ForEachPixel<4>(pixels, width, height, rowLength, format,
                      [&](uint32_t v) { return greyPixel(v, twoColour); });
}

void SolarizePixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                      uint32_t format, int32_t threshold) {
  fx::ForEachPixel<2>(pixels, width, height, rowLength, format,
                      [&](uint32_t v) { return solarizePixel(v, threshold); });
}
void SolarizePixels32(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                      uint32_t format, int32_t threshold) {
  fx::ForEachPixel<4>(pixels, width, height, rowLength, format,
                      [&](uint32_t v) { return solarizePixel(v, threshold); });
}

void GammaPixels16(const GammaRequest* q) {
  fx::ForEachPixel<2>(q->pixels, q->width, q->height, q->rowLength, q->format,
                      [&](uint32_t v) { return gammaPixel(v, q); });
}
void GammaPixels32(const GammaRequest* q) {
  fx::ForEachPixel<4>(q->pixels, q->width, q->height, q->rowLength, q->format,
                      [&](uint32_t v) { return gammaPixel(v, q); });
}

void SepiaPixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                   uint32_t format, int32_t level) {
  fx::ForEachPixel<2>(pixels, width, height, rowLength, format,
                      [&](uint32_t v) { return sepiaPixel(v, level); });
}
void SepiaPixels32(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                   uint32_t format, int32_t level) {
  fx::ForEachPixel<4>(pixels, width, height, rowLength, format,
                      [&](uint32_t v) { return sepiaPixel(v, level); });
}

namespace {

template <int Bpp>
void normalizeLevels(const LevelsRequest* q) {
  auto* base = static_cast<uint8_t*>(q->pixels);
  int64_t hist[256] = {};
  for (int32_t y = 0; y < q->height; ++y) {
    const uint8_t* p = base + pixel::Offset(0, y, q->rowLength, Bpp);
    for (int32_t x = 0; x < q->width; ++x, p += Bpp) {
      uint32_t v = pixel::ToNative(pixel::LoadRaw(p, Bpp), q->format, Bpp);
      ++hist[fx::Grey(pixel::R(v), pixel::G(v), pixel::B(v))];
    }
  }
  int32_t low = 256;
  int64_t run = 0;
  for (int32_t v = 0; v < 256; ++v) {
    run += hist[v];
    if (run > q->lowCount) {
      low = v;
      break;
    }
  }
  int64_t total = static_cast<int64_t>(q->width) * q->height;
  int32_t high = 0;
  run = 0;
  for (int32_t v = 255; v >= 1; --v) {
    run += hist[v];
    if (run > total - q->highCount) {
      high = v;
      break;
    }
  }
  if (low == high) return;
  uint8_t map[256];
  for (int32_t v = 0; v < 256; ++v) {
    if (v < low)
      map[v] = 0;
    else if (v > high)
      map[v] = 255;
    else
      map[v] = static_cast<uint8_t>((v - low) * 255 / (high - low));
  }
  fx::ForEachPixel<Bpp>(q->pixels, q->width, q->height, q->rowLength, q->format, [&](uint32_t v) {
    return pixel::Rgb(map[pixel::R(v)], map[pixel::G(v)], map[pixel::B(v)]);
  });
}

}  // namespace

void NormalizeLevels(const LevelsRequest* q) {
  if (q->width <= 0 || q->height <= 0) return;
  if (q->bytesPerPixel == 2)
    normalizeLevels<2>(q);
  else if (q->bytesPerPixel == 4)
    normalizeLevels<4>(q);
}
