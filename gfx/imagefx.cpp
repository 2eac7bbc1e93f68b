// Image-kernel wrappers of the brush effects: each locks the bitmap (or
// uses a lock the caller already holds), runs the kernel that fits the
// lock's pixel size (2 or 4 bytes; other depths are left unchanged) and
// unlocks. Sizes are cut to the locked bitmap. A lock that fails is
// ERR_LOCKBMAP, an allocation that fails ERR_MEM; nothing is left allocated
// or locked on any return.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "gfx/adapter_private.h"
#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "gfx/transform_private.h"
#include "gfx/pixel_private.h"
#include "gfx/bitmap_private.h"
#include "platform/linux/platform.h"

using fxwrap::ScopedLock;

namespace {

// The lock an effect works on: the caller's, or one taken here.
struct EffectLock {
  ScopedLock own;
  const BitmapLock* lock = nullptr;
  int32_t width = 0, height = 0;
  ErrorCode take(BitmapHandle* bitmap, const BitmapLock* existing, int32_t w, int32_t h) {
    if (existing) {
      lock = existing;
    } else {
      if (!own.take(bitmap, false)) return ERR_LOCKBMAP;
      lock = &own.lock;
    }
    width = std::max(0, std::min(w, lock->width));
    height = std::max(0, std::min(h, lock->height));
    return 0;
  }
  int bpp() const { return lock->bytesPerPixel; }
  uint16_t* p16() const { return reinterpret_cast<uint16_t*>(lock->address); }
  uint32_t* p32() const { return reinterpret_cast<uint32_t*>(lock->address); }

  using Kernel16 = void (*)(uint16_t*, int32_t, int32_t, int32_t, uint32_t, int32_t);
  using Kernel32 = void (*)(uint32_t*, int32_t, int32_t, int32_t, uint32_t, int32_t);
  // Runs a per-pixel effect with one parameter over the locked area, by the
  // kernel for its pixel size.
  void run(Kernel16 f16, Kernel32 f32, int32_t parameter) const {
    if (bpp() == 2) f16(p16(), width, height, lock->rowLength, lock->pixelFormat, parameter);
    if (bpp() == 4) f32(p32(), width, height, lock->rowLength, lock->pixelFormat, parameter);
  }
};

int32_t percent(double v) { return VmTruncInt32(std::max(v, 0.0) * 100.0); }

}  // namespace

ErrorCode OilPaintBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, double radius) {
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, nullptr, width, height)) return e;
  OilPaintRequest q{
      l.lock->address,          l.width, l.height, l.lock->rowLength, l.lock->pixelFormat,
      radius > 0 ? radius : 0.0};
  if (l.bpp() == 2) OilPaintPixels16(&q);
  if (l.bpp() == 4) OilPaintPixels32(&q);
  return 0;
}

ErrorCode SwirlBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha, int32_t width,
                      int32_t height, int32_t angle) {
  angle = std::clamp(angle, -359, 359);
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, nullptr, width, height)) return e;
  ScopedLock ml, al;
  if ((mask && !ml.take(mask, false)) || (alpha && !al.take(alpha, false))) return ERR_LOCKBMAP;
  auto* sine = static_cast<double*>(AllocMemoryArray(SWIRL_TABLE_SIZE, sizeof(double), 0));
  auto* cosine = static_cast<double*>(AllocMemoryArray(SWIRL_TABLE_SIZE, sizeof(double), 0));
  ErrorCode result = 0;
  if (!sine || !cosine) {
    result = ERR_MEM;
  } else {
    BuildSwirlSinCosTable(sine, cosine);
    SwirlRequest q{};
    q.destination = l.lock->address;
    q.destinationRowLength = l.lock->rowLength;
    q.sine = sine;
    q.cosine = cosine;
    q.format = l.lock->pixelFormat;
    q.width = l.width;
    q.height = l.height;
    if (ml.held && ml.lock.width >= l.width && ml.lock.height >= l.height) {
      q.destinationMask = ml.lock.address;
      q.destinationMaskRowLength = ml.lock.rowLength;
    }
    if (al.held && al.lock.width >= l.width && al.lock.height >= l.height) {
      q.destinationAlpha = al.lock.address;
      q.destinationAlphaRowLength = al.lock.rowLength;
    }
    if (l.bpp() == 2) SwirlPixels16(&q, angle);
    if (l.bpp() == 4) SwirlPixels32(&q, angle);
  }
  FreeMemory(sine);
  FreeMemory(cosine);
  return result;
}

ErrorCode WaterRippleBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                            int32_t width, int32_t height, double waveLength, double amplitude,
                            int32_t phase, double centreX, double centreY) {
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, nullptr, width, height)) return e;
  ScopedLock ml, al;
  if ((mask && !ml.take(mask, false)) || (alpha && !al.take(alpha, false))) return ERR_LOCKBMAP;
  if (l.width < 1 || l.height < 1) return 0;
  centreX = std::clamp(std::isfinite(centreX) ? centreX : 0.5, 0.0, 1.0);
  centreY = std::clamp(std::isfinite(centreY) ? centreY : 0.5, 0.0, 1.0);
  int32_t cx = VmTruncInt32(centreX * l.width), cy = VmTruncInt32(centreY * l.height);
  auto* sine = static_cast<double*>(AllocMemoryArray(SWIRL_TABLE_SIZE, sizeof(double), 0));
  auto* dist = static_cast<int32_t*>(AllocMemoryArray(
      static_cast<size_t>(l.width) * static_cast<size_t>(l.height), sizeof(int32_t), 0));
  ErrorCode result = 0;
  if (!sine || !dist) {
    result = ERR_MEM;
  } else {
    BuildRippleSineTable(sine, dist, l.width, l.height, cx, cy);
    RippleRequest q{};
    q.destination = l.lock->address;
    q.destinationRowLength = l.lock->rowLength;
    q.distances = dist;
    q.sine = sine;
    q.waveLength = waveLength < 1 || !std::isfinite(waveLength) ? 1.0 : waveLength;
    q.amplitude = std::isfinite(amplitude) ? amplitude : 0.0;
    q.framesPerHalf = 1;
    q.width = l.width;
    q.height = l.height;
    q.format = l.lock->pixelFormat;
    q.centreX = cx;
    q.centreY = cy;
    q.radius = std::max(cx, cy);
    q.storedPhase = phase;
    if (ml.held && ml.lock.width >= l.width && ml.lock.height >= l.height) {
      q.destinationMask = ml.lock.address;
      q.destinationMaskRowLength = ml.lock.rowLength;
    }
    if (al.held && al.lock.width >= l.width && al.lock.height >= l.height) {
      q.destinationAlpha = al.lock.address;
      q.destinationAlphaRowLength = al.lock.rowLength;
    }
    if (l.bpp() == 2) WaterRipplePixels16(&q, -1);
    if (l.bpp() == 4) WaterRipplePixels32(&q, -1);
  }
  FreeMemory(sine);
  FreeMemory(dist);
  return result;
}

ErrorCode ContrastRangeBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, int64_t lowCount,
                              int64_t highCount, const BitmapLock* existing) {
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, existing, width, height)) return e;
  LevelsRequest q{l.lock->address,     l.width, l.height, l.lock->rowLength, lowCount, highCount,
                  l.lock->pixelFormat, l.bpp()};
  NormalizeLevels(&q);
  return 0;
}

ErrorCode AutoContrastBitmap(BitmapHandle* bitmap, int32_t width, int32_t height,
                             const BitmapLock* existing) {
  double n = static_cast<double>(width) * height;
  return ContrastRangeBitmap(bitmap, width, height, static_cast<int64_t>(0.02 * n),
                             static_cast<int64_t>(0.99 * n), existing);
}

ErrorCode ModulateBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, double brightness,
                         double saturation, double hue) {
  if (brightness == 1.0 && saturation == 1.0 && hue == 1.0) return 0;
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, nullptr, width, height)) return e;
  ModulateRequest q{l.lock->address,
                    l.width,
                    l.height,
                    l.lock->rowLength,
                    l.lock->pixelFormat,
                    percent(brightness),
                    percent(saturation),
                    percent(hue)};
  if (l.bpp() == 2) ModulatePixels16(&q);
  if (l.bpp() == 4) ModulatePixels32(&q);
  return 0;
}

ErrorCode ContrastBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, int32_t sharpen,
                         int32_t steps, const BitmapLock* existing) {
  if (steps < 1) return 0;
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, existing, width, height)) return e;
  int32_t sign = sharpen ? 1 : -1;
  // A pass maps each pixel by its own value alone, so once a pass changes
  // nothing every later one would change nothing either: from the ninth
  // pass on each is compared with the picture before it, and a count in
  // the billions costs only the passes until the picture settles.
  constexpr int32_t COMPARE_FROM = 8;
  const size_t rowBytes = static_cast<size_t>(l.width) * static_cast<size_t>(std::max(l.bpp(), 0));
  OwnedMemory<uint8_t> before;
  if (steps > COMPARE_FROM && rowBytes > 0)
    before.reset(static_cast<uint8_t*>(AllocMemoryArray(rowBytes, l.height, 0)));
  auto row = [&l](int32_t y) {
    return l.lock->address + static_cast<ptrdiff_t>(y) * l.lock->rowLength * l.bpp();
  };
  for (int32_t i = 0; i < steps; ++i) {
    const bool compare = before && i >= COMPARE_FROM;
    if (compare)
      for (int32_t y = 0; y < l.height; ++y)
        std::memcpy(before.get() + rowBytes * y, row(y), rowBytes);
    l.run(ContrastPixels16, ContrastPixels32, sign);
    if (!compare) continue;
    bool same = true;
    for (int32_t y = 0; y < l.height && same; ++y)
      same = std::memcmp(before.get() + rowBytes * y, row(y), rowBytes) == 0;
    if (same) break;
  }
  return 0;
}

ErrorCode SepiaToneBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, int32_t level) {
  level = std::clamp(level, 0, 255);
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, nullptr, width, height)) return e;
  l.run(SepiaPixels16, SepiaPixels32, level);
  AutoContrastBitmap(bitmap, l.width, l.height, l.lock);
  return ContrastBitmap(bitmap, l.width, l.height, 1, 1, l.lock);
}

void BuildGammaTable(uint8_t table[256], double gamma) {
  for (int i = 0; i < 256; ++i) {
    if (gamma == 0) {
      table[i] = 0;
      continue;
    }
    double v = 255.0 * std::pow(i / 255.0, 1.0 / gamma);
    table[i] = static_cast<uint8_t>(!(v > 0) ? 0 : (v > 255 ? 255 : static_cast<int32_t>(v + 0.5)));
  }
}

ErrorCode GammaBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, double red, double green,
                      double blue) {
  double g[3] = {std::max(red, 0.0), std::max(green, 0.0), std::max(blue, 0.0)};
  uint8_t tables[3][256];
  const uint8_t* use[3] = {nullptr, nullptr, nullptr};
  int32_t channels = 0;
  for (int c = 0; c < 3; ++c) {
    if (g[c] == 1.0) continue;
    channels |= 1 << c;
    for (int o = 0; o < c; ++o)
      if (use[o] && g[o] == g[c]) use[c] = use[o];  // equal gammas share one table
    if (!use[c]) {
      BuildGammaTable(tables[c], g[c]);
      use[c] = tables[c];
    }
  }
  if (!channels) return 0;
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, nullptr, width, height)) return e;
  GammaRequest q{l.lock->address, l.width, l.height, l.lock->rowLength, l.lock->pixelFormat,
                 use[0],          use[1],  use[2],   channels};
  if (l.bpp() == 2) GammaPixels16(&q);
  if (l.bpp() == 4) GammaPixels32(&q);
  return 0;
}

ErrorCode SolarizeBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, int32_t threshold) {
  threshold = std::clamp(threshold, 0, 255);
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, nullptr, width, height)) return e;
  l.run(SolarizePixels16, SolarizePixels32, threshold);
  return 0;
}

ErrorCode ConvolveBitmap(int32_t code, BitmapHandle* source, BitmapHandle* destAlpha, int32_t width,
                         int32_t height, double strength, double bias, const BitmapLock* existing) {
  if (!(strength > 0)) strength = 1;
  EffectLock l;
  if (source || existing) {
    if (ErrorCode e = l.take(source, existing, width, height)) return e;
    width = l.width;
    height = l.height;
  }
  ScopedLock al;
  if (destAlpha && !al.take(destAlpha, false)) return ERR_LOCKBMAP;
  if (al.held) {
    width = std::min(width, al.lock.width);
    height = std::min(height, al.lock.height);
  }
  ConvolveRequest q{l.lock ? l.lock->address : nullptr,
                    width,
                    height,
                    l.lock ? l.lock->rowLength : 0,
                    l.lock ? l.lock->pixelFormat : 0,
                    l.lock ? l.bpp() : 0,
                    al.held ? al.lock.address : nullptr,
                    al.held ? al.lock.rowLength : 0,
                    strength,
                    bias,
                    code};
  return ConvolvePixels(&q);
}

BitmapHandle* BuildBlurredAlpha(BitmapHandle* mask, BitmapHandle* alpha, int32_t x, int32_t y,
                                int32_t width, int32_t height, double radius, double sigma,
                                int32_t fill, int32_t binarise, int32_t secondPass) {
  int32_t r = VmTruncInt32(radius);
  if (r < 0 || width < 1 || height < 1) return nullptr;
  int64_t w = static_cast<int64_t>(width) + 2 * static_cast<int64_t>(r);
  int64_t h = static_cast<int64_t>(height) + 2 * static_cast<int64_t>(r);
  if (w > INT32_MAX || h > INT32_MAX) return nullptr;
  OwnedBitmap out(
      AllocAlphaChannel(static_cast<int32_t>(w), static_cast<int32_t>(h), 1, nullptr, 0));
  if (!out) return nullptr;
  uint8_t level = static_cast<uint8_t>(fill);
  if (alpha)
    ClipAndBltBitmap(alpha, x, y, out.get(), r, r, width, height,
                     static_cast<int32_t>(GetBitmapAttr(alpha, 0)),
                     static_cast<int32_t>(GetBitmapAttr(alpha, 14)), static_cast<int32_t>(w),
                     static_cast<int32_t>(h), 6, level);
  else if (mask)
    MaskToAlphaRect(mask, x, y, out.get(), r, r, width, height, level);
  else
    FillAlphaRect(out.get(), r, r, width, height, level);
  if (ConvolveBitmap(CONVOLVE_BLUR, nullptr, out.get(), static_cast<int32_t>(w),
                     static_cast<int32_t>(h), radius, sigma, nullptr))
    return nullptr;
  if (binarise) {
    ScopedLock l;
    if (!l.take(out.get(), false)) return nullptr;
    for (int32_t j = 0; j < l.lock.height; ++j) {
      uint8_t* row = l.lock.address + static_cast<ptrdiff_t>(j) * l.lock.rowLength;
      for (int32_t i = 0; i < l.lock.width; ++i)
        if (row[i]) row[i] = 255;
    }
  }
  if (secondPass && ConvolveBitmap(CONVOLVE_BLUR, nullptr, out.get(), static_cast<int32_t>(w),
                                   static_cast<int32_t>(h), radius / 2, radius / 6, nullptr))
    return nullptr;
  return out.release();
}

ErrorCode SetBitmapColorKey(BitmapHandle* bitmap, int32_t width, int32_t height, ArgbColor colour,
                            BitmapHandle** outMask) {
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, nullptr, width, height)) return e;
  OwnedBitmap mask(AllocBitMask(bitmap, l.width, l.height, 1, nullptr, 0));
  if (!mask) return ERR_ALLOCMASK;
  ScopedLock ml;
  if (!ml.take(mask.get(), false)) return ERR_LOCKBMAP;
  uint32_t format = l.lock->pixelFormat;
  uint32_t key = ColorToPixel(colour, format, 0);
  if (l.bpp() == 4) {
    uint32_t compare =
        (format == PIXFMT_ARGB32 || format == PIXFMT_ABGR32) ? 0xFFFFFFu : 0xFFFFFF00u;
    BuildColorKeyMask32(l.p32(), ml.lock.address, l.width, l.height, ml.lock.rowLength,
                        key & compare, l.lock->rowLength, compare);
  } else if (l.bpp() == 2) {
    BuildColorKeyMask16(l.p16(), ml.lock.address, l.width, l.height, ml.lock.rowLength, key,
                        l.lock->rowLength);
  }
  *outMask = mask.release();
  return 0;
}

ErrorCode PixelateBitmap(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                         int32_t width, int32_t height, int32_t cell) {
  if (cell < 2) return 0;
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, nullptr, width, height)) return e;
  if (l.bpp() != 2 && l.bpp() != 4) return 0;
  ScopedLock ml, al;
  if ((mask && !ml.take(mask, false)) || (alpha && !al.take(alpha, false))) return ERR_LOCKBMAP;
  cell = std::min({cell, l.width, l.height});
  struct Copy {
    uint8_t* p = nullptr;
    ~Copy() { FreeMemory(p); }
  } pixels, maskCopy, alphaCopy;
  size_t bytes = static_cast<size_t>(l.lock->rowLength) * l.bpp() * static_cast<size_t>(l.height);
  pixels.p = static_cast<uint8_t*>(AllocMemory(bytes, 0));
  if (!pixels.p) return ERR_MEM;
  std::memcpy(pixels.p, l.lock->address, bytes);
  PixelateRequest q{pixels.p,          l.lock->address,   nullptr, nullptr, nullptr, nullptr,
                    l.lock->rowLength, l.lock->rowLength, 0,       0,       0,       0,
                    l.width,           l.height,          cell};
  if (ml.held) {
    size_t n = static_cast<size_t>(ml.lock.rowLength) *
               static_cast<size_t>(std::min(l.height, ml.lock.height));
    maskCopy.p = static_cast<uint8_t*>(AllocMemory(n, 0));
    if (!maskCopy.p) return ERR_MEM;
    std::memcpy(maskCopy.p, ml.lock.address, n);
    q.sourceMask = maskCopy.p;
    q.destMask = ml.lock.address;
    q.sourceMaskRowBytes = q.destMaskRowBytes = ml.lock.rowLength;
  } else if (al.held) {
    size_t n = static_cast<size_t>(al.lock.rowLength) *
               static_cast<size_t>(std::min(l.height, al.lock.height));
    alphaCopy.p = static_cast<uint8_t*>(AllocMemory(n, 0));
    if (!alphaCopy.p) return ERR_MEM;
    std::memcpy(alphaCopy.p, al.lock.address, n);
    q.sourceAlpha = alphaCopy.p;
    q.destAlpha = al.lock.address;
    q.sourceAlphaRowBytes = q.destAlphaRowBytes = al.lock.rowLength;
  }
  if (l.bpp() == 4)
    PixelatePixels32(&q);
  else
    PixelatePixels16(&q);
  return 0;
}

ErrorCode InvertBitmap(BitmapHandle* bitmap, int32_t width, int32_t height,
                       const BitmapLock* existing) {
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, existing, width, height)) return e;
  InvertPixels(l.lock->address, l.width, l.height, l.lock->rowLength, l.bpp());
  return 0;
}

ErrorCode GrayBitmap(BitmapHandle* bitmap, int32_t width, int32_t height,
                     const BitmapLock* existing, int32_t mode) {
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, existing, width, height)) return e;
  l.run(GrayPixels16, GrayPixels32, mode);
  return 0;
}

int32_t QuantizeBitmapPixels(const void* pixels, uint32_t format, int32_t bytesPerPixel,
                             int32_t width, int32_t height, int32_t modulo, uint8_t* indices,
                             uint32_t* palette, int32_t* colourCount, int32_t keyColour,
                             int32_t reserve, int32_t dither, int32_t* keyIndex) {
  QuantizeRequest q{pixels,  format,       bytesPerPixel, width,   height, modulo, indices,
                    palette, *colourCount, keyColour,     reserve, dither, 0,      -1};
  QuantizeColors(&q);
  if (!q.result) return 0;
  *colourCount = q.colourCount;
  if (keyIndex) *keyIndex = q.keyIndex;
  return 1;
}

namespace {

// Quantises the locked pixels into a new index buffer; null when out of
// memory.
uint8_t* quantizeLocked(const EffectLock& l, int32_t colours, int32_t dither, uint32_t palette[256],
                        int32_t* count) {
  auto* idx = static_cast<uint8_t*>(
      AllocMemoryArray(static_cast<size_t>(l.width), static_cast<size_t>(l.height), 0));
  if (!idx) return nullptr;
  *count = std::clamp(colours, 1, 256);
  if (!QuantizeBitmapPixels(l.lock->address, l.lock->pixelFormat, l.bpp(), l.width, l.height,
                            l.lock->rowLength, idx, palette, count, -1, 0, dither, nullptr)) {
    FreeMemory(idx);
    return nullptr;
  }
  return idx;
}

}  // namespace

ErrorCode MonochromeBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, int32_t dither) {
  if (!dither) return GrayBitmap(bitmap, width, height, nullptr, 1);
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, nullptr, width, height)) return e;
  if (l.width < 1 || l.height < 1 || (l.bpp() != 2 && l.bpp() != 4)) return 0;
  uint32_t palette[256];
  int32_t count;
  uint8_t* idx = quantizeLocked(l, 2, 1, palette, &count);
  if (!idx) return ERR_MEM;
  // Each of the two entries becomes white or black by its grey level.
  uint8_t white[256];
  for (int32_t i = 0; i < count; ++i)
    white[i] = fx::Grey((palette[i] >> 16) & 255, (palette[i] >> 8) & 255, palette[i] & 255) > 128;
  size_t n = static_cast<size_t>(l.width) * l.height;
  for (size_t i = 0; i < n; ++i) idx[i] = white[idx[i]];
  ExpandMaskBytes(l.lock->address, l.width, l.height, l.lock->pixelFormat, l.lock->rowLength, idx);
  FreeMemory(idx);
  return 0;
}

ErrorCode QuantizeBitmap(BitmapHandle* bitmap, int32_t width, int32_t height, int32_t colours,
                         int32_t dither) {
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, nullptr, width, height)) return e;
  int bpp = l.bpp();
  if (l.width < 1 || l.height < 1 || bpp < 2 || bpp > 4) return 0;
  uint32_t palette[256];
  int32_t count;
  uint8_t* idx = quantizeLocked(l, colours, dither, palette, &count);
  if (!idx) return ERR_MEM;
  uint32_t values[256];
  for (int32_t i = 0; i < count; ++i) values[i] = ColorToPixel(palette[i], l.lock->pixelFormat, 0);
  for (int32_t y = 0; y < l.height; ++y) {
    uint8_t* row = fxwrap::At(*l.lock, 0, y);
    for (int32_t x = 0; x < l.width; ++x, row += bpp) {
      uint32_t v = values[idx[static_cast<size_t>(y) * l.width + x]];
      if (bpp == 3) {
        row[0] = static_cast<uint8_t>(v >> 16);
        row[1] = static_cast<uint8_t>(v >> 8);
        row[2] = static_cast<uint8_t>(v);
      } else {
        pixel::StoreRaw(row, bpp, v);
      }
    }
  }
  FreeMemory(idx);
  return 0;
}

ErrorCode CharcoalBitmap(BitmapHandle* bitmap, BitmapHandle* second, int32_t width, int32_t height,
                         double radius, double sigma) {
  (void)second;  // only an adapter's video bitmap would need it; none exist
  if (!(radius > 0)) radius = 0;
  EffectLock l;
  if (ErrorCode e = l.take(bitmap, nullptr, width, height)) return e;
  // The blur's edge-extended copy is sized before anything changes, so a
  // radius too large for it leaves the picture as it was.
  if (!BlurCopyFits(l.width, l.height, radius, sigma)) return ERR_MEM;
  GrayBitmap(bitmap, l.width, l.height, l.lock, 0);
  ConvolveBitmap(CONVOLVE_EDGE, bitmap, nullptr, l.width, l.height, radius, 0, l.lock);
  ConvolveBitmap(CONVOLVE_BLUR, bitmap, nullptr, l.width, l.height, radius, sigma, l.lock);
  AutoContrastBitmap(bitmap, l.width, l.height, l.lock);
  InvertBitmap(bitmap, l.width, l.height, l.lock);
  return GrayBitmap(bitmap, l.width, l.height, l.lock, 0);
}

ErrorCode MixBitmaps(BitmapHandle* bitmap, BitmapHandle* source, BitmapHandle* sourceMask,
                     int32_t dx, int32_t dy, int32_t sx, int32_t sy, int32_t width, int32_t height,
                     int32_t ratio, BitmapHandle* alpha, int32_t alphaWidth, int32_t alphaHeight) {
  ratio = std::clamp(ratio, 0, 255);
  if (alpha) {
    OwnedBitmap scaled(AllocAlphaChannel(alphaWidth, alphaHeight, 0, nullptr, 0));
    if (!scaled) return ERR_ALLOCALPHA;
    CopyBitmapPixels(alpha, scaled.get(), alphaHeight, ratio);
    BltBitmapAlpha(source, sx, sy, bitmap, dx, dy, width, height, scaled.get());
    return 0;
  }
  ScopedLock dl, sl, ml;
  if (!dl.take(bitmap, false) || !sl.take(source, true)) return ERR_LOCKBMAP;
  if (sourceMask && !ml.take(sourceMask, true)) return ERR_LOCKBMAP;
  if (!fxwrap::Inside(dl.lock, dx, dy, width, height) ||
      !fxwrap::Inside(sl.lock, sx, sy, width, height) ||
      (ml.held && !fxwrap::Inside(ml.lock, sx, sy, width, height)) ||
      dl.lock.pixelFormat != sl.lock.pixelFormat)
    return ERR_WRONGUSAGE;
  MixPixels(fxwrap::At(sl.lock, sx, sy), fxwrap::At(dl.lock, dx, dy),
            ml.held ? ml.lock.address + static_cast<ptrdiff_t>(sy) * ml.lock.rowLength : nullptr,
            sx, width, height, ratio, dl.lock.pixelFormat, sl.lock.rowLength, dl.lock.rowLength,
            ml.held ? ml.lock.rowLength : 0);
  return 0;
}

ErrorCode TintBitmap(BitmapHandle* bitmap, int32_t x, int32_t y, int32_t width, int32_t height,
                     ArgbColor colour, int32_t opacity) {
  ScopedLock l;
  if (!l.take(bitmap, false)) return ERR_LOCKBMAP;
  int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  int64_t x1 = std::min<int64_t>(static_cast<int64_t>(x) + width, l.lock.width);
  int64_t y1 = std::min<int64_t>(static_cast<int64_t>(y) + height, l.lock.height);
  if (x1 <= x0 || y1 <= y0) return 0;
  FillLockedRect(l.lock.address, static_cast<int32_t>(x0), static_cast<int32_t>(y0),
                 static_cast<int32_t>(x1 - x0), static_cast<int32_t>(y1 - y0), colour,
                 std::clamp(opacity, 0, 255), l.lock.rowLength, l.lock.pixelFormat);
  return 0;
}

uint8_t* ScalePixelBuffer(const void* source, int32_t sx, int32_t sy, int32_t sourceWidth,
                          int32_t sourceHeight, void* destination, int32_t dx, int32_t dy,
                          int32_t destWidth, int32_t destHeight, int32_t sourceModulo,
                          int32_t destModulo, uint32_t format, int32_t flags) {
  int32_t bpp = BytesPerPixel(format);
  if (!source || bpp < 2 || sourceWidth < 1 || sourceHeight < 1 || destWidth < 1 || destHeight < 1)
    return nullptr;
  struct Tables {
    int64_t* x = nullptr;
    int64_t* y = nullptr;
    ~Tables() {
      FreeMemory(x);
      FreeMemory(y);
    }
  } t;
  t.x = static_cast<int64_t*>(
      AllocMemoryArray(static_cast<size_t>(destWidth) + 1, sizeof(int64_t), 0));
  t.y = static_cast<int64_t*>(
      AllocMemoryArray(static_cast<size_t>(destHeight) + 1, sizeof(int64_t), 0));
  if (!t.x || !t.y) return nullptr;
  auto* dst = static_cast<uint8_t*>(destination);
  bool own = !dst;
  if (own) {
    dst = static_cast<uint8_t*>(
        AllocMemoryArray(static_cast<size_t>(destWidth) * static_cast<size_t>(destHeight), 4, 0));
    if (!dst) return nullptr;
    destModulo = destWidth;
    dx = dy = 0;
  }
  ScaleRequest q{};
  q.source = static_cast<const uint8_t*>(source) + pixel::Offset(sx, sy, sourceModulo, bpp);
  q.dest = dst + pixel::Offset(dx, dy, destModulo, bpp);
  q.sourceWidth = sourceWidth;
  q.sourceHeight = sourceHeight;
  q.destWidth = destWidth;
  q.destHeight = destHeight;
  q.sourceRowLength = sourceModulo;
  q.destRowLength = destModulo;
  q.smooth = flags;
  q.format = format;
  q.bytesPerPixel = bpp;
  q.xTable = t.x;
  q.yTable = t.y;
  ScaleBitmapNearest(&q);
  return dst;
}

namespace {

// A video bitmap read back through the adapter, with its alpha bytes.
ErrorCode videoToARGB(BitmapHandle* bitmap, int32_t x, int32_t y, int32_t width, int32_t height,
                      int32_t* hasAlpha, uint32_t** out) {
  const DisplayAdapter* a = BitmapAdapter();
  int32_t w = 0, h = 0;
  uint32_t* pixels = a->readVideoPixels ? a->readVideoPixels(bitmap->backing, &w, &h) : nullptr;
  if (!pixels) return ERR_READVIDEOPIXELS;
  ErrorCode e = 0;
  uint32_t* buf = nullptr;
  if (x < 0 || y < 0 || width < 1 || height < 1 || static_cast<int64_t>(x) + width > w ||
      static_cast<int64_t>(y) + height > h) {
    e = ERR_WRONGUSAGE;
  } else {
    buf = static_cast<uint32_t*>(AllocMemoryArray(
        static_cast<size_t>(width) * static_cast<size_t>(height), sizeof(uint32_t), 0));
    if (!buf) e = ERR_MEM;
  }
  for (int32_t j = 0; buf && j < height; ++j)
    for (int32_t i = 0; i < width; ++i)
      buf[static_cast<size_t>(j) * width + i] = PixelToColor(
          pixels[static_cast<size_t>(y + j) * static_cast<size_t>(w) + x + i], a->pixelFormat, 1);
  if (a->freeVideoPixels) a->freeVideoPixels(pixels);
  if (e) return e;
  if (hasAlpha) *hasAlpha = static_cast<int32_t>(bitmap->prepared);
  *out = buf;
  return 0;
}

}  // namespace

ErrorCode BitmapToARGB(BitmapHandle* bitmap, int32_t x, int32_t y, int32_t width, int32_t height,
                       int32_t* hasAlpha, uint32_t** out) {
  if (IsRealVideoBitmap(bitmap)) return videoToARGB(bitmap, x, y, width, height, hasAlpha, out);
  ScopedLock l;
  if (!l.take(bitmap, true)) return ERR_LOCKBMAP;
  if (!fxwrap::Inside(l.lock, x, y, width, height) || width < 1 || height < 1)
    return ERR_WRONGUSAGE;
  // Zero-filled: formats that have no ARGB reading leave black, never
  // uninitialised memory.
  auto* buf = static_cast<uint32_t*>(AllocMemoryArray(
      static_cast<size_t>(width) * static_cast<size_t>(height), sizeof(uint32_t), 1));
  if (!buf) return ERR_MEM;
  uint32_t format = l.lock.pixelFormat;
  if (l.lock.bytesPerPixel == 4 && format >= PIXFMT_ARGB32 && format <= PIXFMT_ABGR32) {
    for (int32_t j = 0; j < height; ++j) {
      const uint8_t* row = fxwrap::At(l.lock, x, y + j);
      uint32_t* o = buf + static_cast<size_t>(j) * width;
      for (int32_t i = 0; i < width; ++i) {
        uint32_t v = pixel::Load32(row + 4 * i);
        switch (format) {
          case PIXFMT_BGRA32:
            v = __builtin_bswap32(v);
            break;
          case PIXFMT_RGBA32:
            v = (v >> 8) | (v << 24);
            break;
          case PIXFMT_ABGR32:
            v = (v & 0xFF00FF00u) | ((v >> 16) & 0xFF) | ((v & 0xFF) << 16);
            break;
          default:
            break;
        }
        o[i] = v;
      }
    }
  }
  if (hasAlpha) *hasAlpha = static_cast<int32_t>(bitmap->prepared);
  *out = buf;
  return 0;
}
