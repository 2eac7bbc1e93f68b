// Filter commands of the brush library: each reads its numbers, checks
// them, and runs one image kernel of the pixel engine on the brush's
// bitmap (and its mask and alpha channel where the kernel takes them); the
// four distortions replace the brush's bitmaps and size with the kernel's
// new ones. Invariant: a refused argument or a failing kernel leaves the
// brush as it was (the in-place kernels fail before they write).
#include <algorithm>
#include <initializer_list>
#include <vector>

#include "draw/draw_private.h"

namespace {

// A non-negative number at index (def when absent); negative is
// ERR_WRONGUSAGE.
ErrorCode nonNegative(VmState* L, int index, double def, double* v) {
  *v = VmOptNumber(L, index, def);
  return *v >= 0 ? ERR_NONE : ERR_WRONGUSAGE;
}

// Convolution with the kernel letter: [radius = 0[, sigma]].
int convolve(VmState* L, int32_t code, int maxArgs, double sigma) {
  CheckArgCount(L, 1, maxArgs, 0, 0);
  double radius;
  if (ErrorCode e = nonNegative(L, 2, 0, &radius)) return e;
  if (maxArgs > 2) sigma = VmOptNumber(L, 3, radius / 3.0);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return ConvolveBitmap(code, b->bitmap, b->alpha, b->width, b->height, radius, sigma, nullptr);
}

// The distortions share one reading: the id, up to maxNumbers numbers (at
// least minNumbers) and a last optional smooth switch, which is the
// argument after the last number, or a boolean last argument.
// The engine takes only some lengths of each list: a shorter one is
// filled up with zeros to the next length it takes.
int distort(VmState* L, int32_t method, int minNumbers, int maxNumbers,
            std::initializer_list<int> lengths) {
  CheckArgCount(L, 1 + minNumbers, 2 + maxNumbers, 0, 0);
  int top = VmGetTop(L);
  int numbers = top - 1;
  int smooth = 0;
  if (numbers > maxNumbers || (numbers > 0 && VmType(L, top) == VM_TYPE_BOOLEAN)) {
    smooth = VmToTruth(L, top);
    numbers--;
  }
  if (numbers < minNumbers) VmRaiseError(L, ERR_MISSINGPARAMTR);
  std::vector<double> arguments(16, 0.0);
  for (int i = 0; i < numbers; ++i) arguments[i] = VmCheckNumber(L, 2 + i);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  int32_t count = numbers;
  for (int n : lengths)
    if (n >= numbers) {
      count = n;
      break;
    }
  if (method == DISTORT_PERSPECTIVE) {
    // The engine takes (source, destination) pairs: the brush corners
    // top-left, top-right, bottom-left, bottom-right and where they go.
    const double corners[4][2] = {{0, 0},
                                  {static_cast<double>(b->width), 0},
                                  {0, static_cast<double>(b->height)},
                                  {static_cast<double>(b->width), static_cast<double>(b->height)}};
    std::vector<double> points(16);
    for (int k = 0; k < 4; ++k) {
      points[k * 4] = corners[k][0];
      points[k * 4 + 1] = corners[k][1];
      points[k * 4 + 2] = arguments[k * 2];
      points[k * 4 + 3] = arguments[k * 2 + 1];
    }
    arguments = points;
    count = 16;
  }
  BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
  int32_t width = 0, height = 0;
  if (ErrorCode e =
          DistortBitmap(b->bitmap, b->mask, b->alpha, b->width, b->height, method, arguments.data(),
                        count, smooth, &bitmap, &mask, &alpha, &width, &height))
    return e;
  ReplaceBrushBitmaps(b, bitmap, mask, alpha, width, height);
  if (!mask) b->keyColour = -1;
  return 0;
}

}  // namespace

// QuantizeBrush(id[, colours = 256[, dither = 1]]).
int CmdQuantizeBrush(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  int32_t colours = VmOptInteger(L, 2, 256), dither = VmOptInteger(L, 3, 1);
  if (colours < 1 || colours > 256) return ERR_WRONGUSAGE;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return QuantizeBitmap(b->bitmap, b->width, b->height, colours, dither);
}

int CmdBarrelDistortBrush(VmState* L) { return distort(L, DISTORT_BARREL, 3, 10, {4, 6, 8, 10}); }
int CmdPolarDistortBrush(VmState* L) { return distort(L, DISTORT_POLAR, 0, 6, {0, 1, 2, 4, 5, 6}); }
int CmdArcDistortBrush(VmState* L) { return distort(L, DISTORT_ARC, 1, 4, {1, 2, 3, 4}); }
int CmdPerspectiveDistortBrush(VmState* L) { return distort(L, DISTORT_PERSPECTIVE, 8, 8, {8}); }

// OilPaintBrush(id, radius).
int CmdOilPaintBrush(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  double radius;
  if (ErrorCode e = nonNegative(L, 2, 0, &radius)) return e;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return OilPaintBitmap(b->bitmap, b->width, b->height, radius);
}

// WaterRippleBrush(id[, wave length = 32[, amplitude = 1[, phase = 0[,
// centre x[, centre y]]]]]): the centre, fractions of the size, defaults
// to the middle.
int CmdWaterRippleBrush(VmState* L) {
  CheckArgCount(L, 1, 6, 0, 0);
  double wave = VmOptNumber(L, 2, 32), amplitude = VmOptNumber(L, 3, 1);
  int32_t phase = VmOptInteger(L, 4, 0);
  double cx = VmOptNumber(L, 5, 0.5), cy = VmOptNumber(L, 6, 0.5);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return WaterRippleBitmap(b->bitmap, b->mask, b->alpha, b->width, b->height, wave, amplitude,
                           phase, cx, cy);
}

// BrushToMonochrome(id[, dither = 1]).
int CmdBrushToMonochrome(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  int32_t dither = VmOptInteger(L, 2, 1);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return MonochromeBitmap(b->bitmap, b->width, b->height, dither);
}

// PixelateBrush(id, size): cells of 1 up to the brush's smaller side.
int CmdPixelateBrush(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t size = VmCheckInteger(L, 2);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  if (size < 1 || size > b->width || size > b->height) return ERR_WRONGUSAGE;
  return PixelateBitmap(b->bitmap, b->mask, b->alpha, b->width, b->height, size);
}

// SwirlBrush(id, degrees).
int CmdSwirlBrush(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t angle = VmCheckInteger(L, 2);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return SwirlBitmap(b->bitmap, b->mask, b->alpha, b->width, b->height, angle);
}

// CharcoalBrush(id, radius).
int CmdCharcoalBrush(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  double radius;
  if (ErrorCode e = nonNegative(L, 2, 0, &radius)) return e;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return CharcoalBitmap(b->bitmap, nullptr, b->width, b->height, radius, radius / 3.0);
}

// SepiaToneBrush(id, level).
int CmdSepiaToneBrush(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t level;
  if (ErrorCode e = ReadLevelArg(L, 2, &level)) return e;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return SepiaToneBitmap(b->bitmap, b->width, b->height, level);
}

// ModulateBrush(id, brightness, saturation, hue): percentages, 100 keeps
// a quantity (as the "modulate" filter reads them).
int CmdModulateBrush(VmState* L) {
  CheckArgCount(L, 4, 4, 0, 0);
  double v[3];
  for (int i = 0; i < 3; ++i)
    if (ErrorCode e = nonNegative(L, 2 + i, 0, &v[i])) return e;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return ModulateBitmap(b->bitmap, b->width, b->height, v[0] / 100.0, v[1] / 100.0, v[2] / 100.0);
}

// ContrastBrush(id, sharpen[, steps = 1]).
int CmdContrastBrush(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  int32_t sharpen = VmCheckInteger(L, 2), steps = VmOptInteger(L, 3, 1);
  if (steps < 1) return ERR_WRONGUSAGE;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return ContrastBitmap(b->bitmap, b->width, b->height, sharpen, steps, nullptr);
}

// GammaBrush(id, red, green, blue).
int CmdGammaBrush(VmState* L) {
  CheckArgCount(L, 4, 4, 0, 0);
  double r = VmCheckNumber(L, 2), g = VmCheckNumber(L, 3), bl = VmCheckNumber(L, 4);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return GammaBitmap(b->bitmap, b->width, b->height, r, g, bl);
}

// SolarizeBrush(id, threshold).
int CmdSolarizeBrush(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t threshold;
  if (ErrorCode e = ReadLevelArg(L, 2, &threshold)) return e;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return SolarizeBitmap(b->bitmap, b->width, b->height, threshold);
}

int CmdSharpenBrush(VmState* L) { return convolve(L, CONVOLVE_SHARPEN, 2, 1.0); }
int CmdEdgeBrush(VmState* L) { return convolve(L, CONVOLVE_EDGE, 2, 0.0); }
int CmdEmbossBrush(VmState* L) { return convolve(L, CONVOLVE_EMBOSS, 2, 1.0); }
int CmdBlurBrush(VmState* L) { return convolve(L, CONVOLVE_BLUR, 3, 0.0); }

int CmdBrushToGray(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return GrayBitmap(b->bitmap, b->width, b->height, nullptr, 0);
}

int CmdInvertBrush(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return InvertBitmap(b->bitmap, b->width, b->height, nullptr);
}

// MixBrush(id, second, level): the second brush mixed in at the level over
// the part both brushes cover (through its mask or alpha channel).
int CmdMixBrush(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  int32_t level;
  if (ErrorCode e = ReadLevelArg(L, 3, &level)) return e;
  BrushObject* second = nullptr;
  if (ErrorCode e = GetBrushObject(L, GetObjectIdArg(L, 2, nullptr), &second, BRUSH_NOVECTOR))
    return e;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  if (!second->bitmap) return ERR_LOCKBMAP;
  int32_t width = std::min(b->width, second->width), height = std::min(b->height, second->height);
  return MixBitmaps(b->bitmap, second->bitmap, second->mask, 0, 0, 0, 0, width, height, level,
                    second->alpha, second->width, second->height);
}

// TintBrush(id, colour, level).
int CmdTintBrush(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  ArgbColor colour = static_cast<ArgbColor>(VmCheckInteger(L, 2));
  int32_t level;
  if (ErrorCode e = ReadLevelArg(L, 3, &level)) return e;
  BrushObject* b;
  if (ErrorCode e = GetModifiableBrush(L, 1, BRUSH_NOVECTOR, &b)) return e;
  return TintBitmap(b->bitmap, 0, 0, b->width, b->height, colour & 0xFFFFFF, level);
}
