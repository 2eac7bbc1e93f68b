// Contrast and modulate kernels: contrast pushes the brightness of the
// hue-saturation-brightness model along a sine curve; modulate scales
// brightness and saturation and turns the hue in the hue-saturation-
// lightness model. Both work per pixel in place on 2- or 4-byte pixels and
// write computed 32-bit pixels with an alpha byte of 0.
#include <cmath>

#include "gfx/effects_private.h"
#include "gfx/gfx.h"

namespace {

constexpr double INV_255 = 0.00392156862745098;
constexpr double THIRD = 0.3333333333333333;
constexpr double TWO_THIRDS = 0.6666666666666666;

uint8_t toChannel(double v) { return static_cast<uint8_t>(fx::ClampChannel(255.0 * v)); }

}  // namespace

void ContrastColor(int32_t sign, uint8_t* r, uint8_t* g, uint8_t* b) {
  int32_t R = *r, G = *g, B = *b;
  int32_t mx = std::max(R, std::max(G, B)), mn = std::min(R, std::min(G, B));
  if (mx == 0) {
    *r = *g = *b = 0;
    return;
  }
  double s = static_cast<double>(mx - mn) / mx;
  double br = mx / 255.0;
  double h = 0.0;
  if (mx != mn) {
    double d = mx - mn;
    if (R == mx)
      h = (G - B) / d;
    else if (G == mx)
      h = (B - R) / d + 2.0;
    else
      h = (R - G) / d + 4.0;
    h /= 6.0;
    if (h < 0.0) h += 1.0;
  }
  double nb = br + 0.5 * sign * (0.5 * (std::sin(M_PI * (br - 0.5)) + 1.0) - br);
  nb = nb < 0.0 ? 0.0 : (nb > 1.0 ? 1.0 : nb);
  if (s == 0.0) {
    *r = *g = *b = toChannel(nb);
    return;
  }
  double hh = 6.0 * (h - std::floor(h));
  double f = hh - std::floor(hh);
  double p = nb * (1.0 - s), qv = nb * (1.0 - s * f), t = nb * (1.0 - s * (1.0 - f));
  double out[3];
  switch (static_cast<int32_t>(hh)) {
    case 1:
      out[0] = qv;
      out[1] = nb;
      out[2] = p;
      break;
    case 2:
      out[0] = p;
      out[1] = nb;
      out[2] = t;
      break;
    case 3:
      out[0] = p;
      out[1] = qv;
      out[2] = nb;
      break;
    case 4:
      out[0] = t;
      out[1] = p;
      out[2] = nb;
      break;
    case 5:
      out[0] = nb;
      out[1] = p;
      out[2] = qv;
      break;
    default:
      out[0] = nb;
      out[1] = t;
      out[2] = p;
      break;
  }
  *r = toChannel(out[0]);
  *g = toChannel(out[1]);
  *b = toChannel(out[2]);
}

namespace {

double hueChannel(double m1, double m2, double t) {
  if (t < 0.0)
    t += 1.0;
  else if (t > 1.0)
    t -= 1.0;
  if (6.0 * t < 1.0) return m1 + (m2 - m1) * 6.0 * t;
  if (2.0 * t < 1.0) return m2;
  if (3.0 * t < 2.0) return m1 + (m2 - m1) * (TWO_THIRDS - t) * 6.0;
  return m1;
}

}  // namespace

void ModulateColor(uint8_t* r, uint8_t* g, uint8_t* b, double hue, double saturation,
                   double brightness) {
  double rr = *r * INV_255, gg = *g * INV_255, bb = *b * INV_255;
  double mx = std::max(rr, std::max(gg, bb)), mn = std::min(rr, std::min(gg, bb));
  double l = (mx + mn) / 2.0, h = 0.0, s = 0.0;
  if (mx != mn) {
    double d = mx - mn;
    s = l < 0.5 ? d / (mx + mn) : d / (2.0 - mx - mn);
    if (rr == mx)
      h = (gg - bb) / (6.0 * d);
    else if (gg == mx)
      h = THIRD + (bb - rr) / (6.0 * d);
    else
      h = TWO_THIRDS + (rr - gg) / (6.0 * d);
    if (h < 0.0)
      h += 1.0;
    else if (h > 1.0)
      h -= 1.0;
  }
  h += (hue * 0.01 - 1.0) * 0.5;
  // Whole turns at once: a huge hue percentage must not loop for ever.
  if (!std::isfinite(h)) h = 0.0;
  if (h < 0.0 || h > 1.0) h -= std::floor(h);
  s = saturation * 0.01 * s;
  l = brightness * 0.01 * l;
  if (s == 0.0) {
    *r = *g = *b = toChannel(l);
    return;
  }
  double m2 = l <= 0.5 ? l * (1.0 + s) : l + s - l * s;
  double m1 = 2.0 * l - m2;
  *r = toChannel(hueChannel(m1, m2, h + THIRD));
  *g = toChannel(hueChannel(m1, m2, h));
  *b = toChannel(hueChannel(m1, m2, h - THIRD));
}

namespace {

uint32_t contrastPixel(uint32_t v, int32_t sign) {
  uint8_t r = pixel::R(v), g = pixel::G(v), b = pixel::B(v);
  ContrastColor(sign, &r, &g, &b);
  return pixel::Rgb(r, g, b);
}

}  // namespace

void ContrastPixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                      uint32_t format, int32_t sign) {
  fx::ForEachPixel<2>(pixels, width, height, rowLength, format,
                      [&](uint32_t v) { return contrastPixel(v, sign); });
}
void ContrastPixels32(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                      uint32_t format, int32_t sign) {
  fx::ForEachPixel<4>(pixels, width, height, rowLength, format,
                      [&](uint32_t v) { return contrastPixel(v, sign); });
}

namespace {
template <int Bpp>
void modulatePixels(const ModulateRequest* q) {
  fx::ForEachPixel<Bpp>(q->pixels, q->width, q->height, q->rowLength, q->format, [&](uint32_t v) {
    uint8_t r = pixel::R(v), g = pixel::G(v), b = pixel::B(v);
    ModulateColor(&r, &g, &b, q->hue, q->saturation, q->brightness);
    return pixel::Rgb(r, g, b);
  });
}
}  // namespace

void ModulatePixels16(const ModulateRequest* q) { modulatePixels<2>(q); }
void ModulatePixels32(const ModulateRequest* q) { modulatePixels<4>(q); }
