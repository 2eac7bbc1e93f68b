// The effect kernels and bitmap transforms of gfx/ with their request
// records, and the helpers they share: the grey level of the effects, and
// the per-pixel loop that decodes a pixel to native channels, applies an
// operation and re-encodes it. Only gfx/ and its tests use these.
// Channel arithmetic itself lives in gfx/pixel_ops.h; every "truncated"
// result goes through the engine's saturating VmTruncInt32, so no
// out-of-range value reaches an undefined conversion.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "engine/engine.h"
#include "gfx/gfx.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"

// ---- Effect kernels and bitmap transforms ------------------------------------------

// Kernels below work in place on locked pixels (row lengths in pixels unless
// named "bytes"). They report nothing unless a result is declared; callers
// check arguments and map results to error codes.

// Integer square root: floor(sqrt(n)) for 0 <= n <= 2^31 - 1, -1 for n < 0.
int32_t IntSqrt(int32_t n);

// Grey: every pixel becomes (y, y, y) of its grey level; with twoColour,
// y > 128 gives white and anything else black.
void GrayPixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                  uint32_t format, int32_t twoColour);
void GrayPixels32(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                  uint32_t format, int32_t twoColour);
// Solarize: each channel above the threshold becomes 255 - channel.
void SolarizePixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                      uint32_t format, int32_t threshold);
void SolarizePixels32(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                      uint32_t format, int32_t threshold);
// Per-channel 256-entry tables; channels bit 1 red, 2 green, 4 blue.
struct GammaRequest {
  void* pixels;
  int32_t width, height, rowLength;
  uint32_t format;
  const uint8_t* red;
  const uint8_t* green;
  const uint8_t* blue;
  int32_t channels;
};
void GammaPixels16(const GammaRequest* request);
void GammaPixels32(const GammaRequest* request);
// Sepia tone at an integer level.
void SepiaPixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                   uint32_t format, int32_t level);
void SepiaPixels32(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                   uint32_t format, int32_t level);
// Level normalising over the grey histogram; other pixel sizes do nothing.
struct LevelsRequest {
  void* pixels;
  int32_t width, height, rowLength;
  int64_t lowCount, highCount;
  uint32_t format;
  int32_t bytesPerPixel;
};
void NormalizeLevels(const LevelsRequest* request);

// Planar YUV 4:2:0 frame: chroma subsampled by 2 in both directions.
struct YuvFrame {
  const uint8_t* y;
  const uint8_t* u;
  const uint8_t* v;
  int32_t yRowBytes, uRowBytes, vRowBytes;
};
// Output by bytes per pixel and format: 4 with 10-13, 2 with 0-7, 3 with 8
// and 9; other combinations write nothing.
void ConvertYUVToRGB(const YuvFrame* frame, void* out, int32_t width, int32_t height,
                     int32_t outRowLength, uint32_t format, int32_t bytesPerPixel);
void ScaleYUVToRGB(const YuvFrame* frame, void* out, int32_t sourceWidth, int32_t sourceHeight,
                   int32_t width, int32_t height, int32_t outRowLength, uint32_t format,
                   int32_t bytesPerPixel);

// Colour quantiser: exact palette in order of first appearance when the
// image has few enough colours, else median cut with optional dithering.
struct QuantizeRequest {
  const void* pixels;
  uint32_t format;
  int32_t bytesPerPixel;  // 2, 3 or 4
  int32_t width, height, rowLength;
  uint8_t* indices;     // width bytes per row, rows packed
  uint32_t* palette;    // up to 256 colours 0x00RRGGBB
  int32_t colourCount;  // in: most colours wanted (1-256); out: entries used
  int32_t keyColour;    // 0x00RRGGBB or -1
  int32_t reserve;      // count one entry more for the caller
  int32_t dither;
  int32_t result;    // 1 on success, left 0 on failure (memory)
  int32_t keyIndex;  // out: entry holding the key, or -1
};
void QuantizeColors(QuantizeRequest* request);

// Gradient colour lookup over 16.16 positions (0x10000 = end).
struct GradientStop {
  int32_t position;
  uint16_t red, green, blue;  // the high byte is the 8-bit channel
};
enum : int32_t { GRADIENT_SPREAD_REPEAT = 1, GRADIENT_SPREAD_PAD = 2, GRADIENT_SPREAD_REFLECT = 3 };
struct GradientState {
  uint32_t greenA, redBlueA;  // colour a: G, and R << 16 | B
  uint32_t greenB, redBlueB;  // colour b
  int64_t start, end;         // cached segment [start, end)
  int64_t factor;             // 2^24 / length, rounded
  const GradientStop* stops;  // sorted by position
  int32_t count;              // below 1 gives black everywhere
  int32_t spread;             // 1 repeat, 2 pad, 3 reflect, else none
  int32_t invalid;            // set before the first lookup
};
// Finds the segment of pos; false (and black) when there are no stops.
bool LocateGradientStops(GradientState* state, int32_t pos);
uint32_t GradientColorAt32(GradientState* state, int32_t pos);
uint16_t GradientColorAt16(GradientState* state, int32_t pos);

// Convolution in place (the codes CONVOLVE_* are in gfx/gfx.h).
struct ConvolveRequest {
  void* pixels;
  int32_t width, height, rowLength;
  uint32_t format;
  int32_t bytesPerPixel;  // 2 or 4, anything else skips the colours
  uint8_t* alpha;         // or null
  int32_t alphaRowBytes;
  double radius, sigma;
  int32_t operation;
};
// ERR_MEM when a kernel or an edge-extended copy could not be made (or
// would be too large): that pass is left undone, the others still run.
ErrorCode ConvolvePixels(const ConvolveRequest* request);
int32_t GaussianKernelWidth1D(double radius, double sigma);
// Whether a blur of a width x height image at radius and sigma can make its
// edge-extended copies (true too when the sigma makes it change nothing).
bool BlurCopyFits(int32_t width, int32_t height, double radius, double sigma);
int32_t GaussianKernelWidth2D(double radius, double sigma);
// Edge-extended copies for a kernel of width k (height + k rows of width + k
// used pixels). With a buffer they refill it; without, they allocate one
// (null when that fails or the size overflows). *outRowLength is the copy's
// row length in pixels (bytes for PadBytes8).
uint16_t* PadPixels16(const uint16_t* source, int32_t width, int32_t height, int32_t rowLength,
                      int32_t k, uint16_t* buffer, int32_t* outRowLength);
uint32_t* PadPixels32(const uint32_t* source, int32_t width, int32_t height, int32_t rowLength,
                      int32_t k, uint32_t* buffer, int32_t* outRowLength);
uint8_t* PadBytes8(const uint8_t* source, int32_t width, int32_t height, int32_t rowBytes,
                   int32_t k, uint8_t* buffer, int32_t* outRowLength);

// Oil paint, contrast and modulate.
struct OilPaintRequest {
  void* pixels;
  int32_t width, height, rowLength;
  uint32_t format;
  double radius;  // never negative
};
void OilPaintPixels16(const OilPaintRequest* request);
void OilPaintPixels32(const OilPaintRequest* request);
void ContrastColor(int32_t sign, uint8_t* r, uint8_t* g, uint8_t* b);
void ContrastPixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                      uint32_t format, int32_t sign);
void ContrastPixels32(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                      uint32_t format, int32_t sign);
struct ModulateRequest {
  void* pixels;
  int32_t width, height, rowLength;
  uint32_t format;
  int32_t brightness, saturation, hue;  // percent; 100 keeps a quantity
};
void ModulateColor(uint8_t* r, uint8_t* g, uint8_t* b, double hue, double saturation,
                   double brightness);
void ModulatePixels16(const ModulateRequest* request);
void ModulatePixels32(const ModulateRequest* request);

// Least squares and the linear solver. Matrices are arrays of row addresses.
double** AllocDoubleMatrix(int32_t rows, int32_t columns);  // zeroed, or null
void FreeDoubleMatrix(double** matrix, int32_t rows);
void LeastSquaresAddTerms(double** m, double** vectors, const double* terms, const double* results,
                          int32_t n, int32_t count);
// 1 with the solutions in vectors (m becomes its inverse); 0 when singular,
// -1 when out of memory (callers that need not tell them apart test for 1).
int32_t GaussJordanSolve(double** m, double** vectors, int32_t n, int32_t count);
// Inverse of u = (c0 x + c1 y + c2) / (c6 x + c7 y + 1), v likewise with
// c3..c5; false (out untouched) when the mapping is singular.
bool InvertPerspective(const double c[8], double out[8]);

// Gradient fills of a rectangle of 2- or 4-byte pixels.
enum : int32_t { GRADIENT_LINEAR = 2, GRADIENT_RADIAL = 3, GRADIENT_CONICAL = 4 };
constexpr int32_t GRADIENT_MAX_STOPS = 64;
struct GradientColourStop {
  ArgbColor colour;  // the alpha byte is not used
  double position;   // 0.0 to 1.0
};
struct GradientSpec {
  int32_t type;
  ArgbColor firstColour, secondColour;
  int32_t stopCount;  // 0: the two colours; above 64 clamped to 64
  int32_t angle;      // degrees: 0 top to bottom, 90 left to right
  GradientColourStop stops[GRADIENT_MAX_STOPS];
  double centreX, centreY;  // fractions of the rectangle
  double middle;            // conical: position of the first colour
  double size;              // radial size factor (1.0 counts as 0.99)
};
struct GradientRequest {
  void* pixels;
  int32_t bytesPerPixel;
  uint32_t format;
  int32_t x, y, width, height, rowLength;
  const GradientSpec* gradient;
};
// false (nothing drawn) for an unknown type, a negative stop count or a
// pixel size other than 2 and 4.
bool RenderGradient(const GradientRequest* request);
// Locks the bitmap and renders the gradient into the rectangle of it (the
// renderer's limits apply). A null bitmap is reported on the console and
// draws nothing; so does a failed lock, silently.
void DrawGradient(BitmapHandle* dest, int32_t x, int32_t y, int32_t width, int32_t height,
                  const GradientSpec* gradient);

// Affine transform of a picture with its mask (1 bit per pixel, top bit
// leftmost) or alpha channel. The matrix (a, b, c, d, e, f) maps source
// (x, y) to destination X = a x + c y + e, Y = b x + d y + f. Returns false
// (nothing drawn) when the matrix is singular; callers report that as
// ERR_WRONGUSAGE.
struct TransformRequest {
  const void* sourcePixels;  // or null: only mask or alpha are transformed
  void* destPixels;
  const uint8_t* sourceMask;
  uint8_t* destMask;
  const uint8_t* sourceAlpha;
  uint8_t* destAlpha;
  int32_t sourceMaskBitOffset;
  int32_t sourceWidth, sourceHeight, sourceRowLength;
  int32_t destWidth, destHeight, destRowLength;
  int32_t sourceMaskRowBytes, destMaskRowBytes;
  int32_t sourceAlphaRowBytes, destAlphaRowBytes;
  const double* matrix;
  int32_t smooth;  // non-zero: bilinear
  uint32_t format;
  int32_t bytesPerPixel;
};
bool TransformPixels(const TransformRequest* request);
// A straight line of the context's thickness, plotted through PlotPixel.
void DrawThickLinePixels(PlotContext* ctx, int32_t x1, int32_t y1, int32_t x2, int32_t y2);

// Distortion engine (methods in gfx/gfx.h). Coefficients describe the
// destination-to-source mapping.
struct DistortImage {
  int32_t width, height;
  int32_t xOffset, yOffset;  // position in mapping space; the render sets the output's
  void* pixels;
  int32_t rowLength;  // pixels
};
struct DistortRequest {
  int32_t method;
  int32_t count;  // numbers in arguments
  const double* arguments;
  DistortImage* source;
  DistortImage* output;  // filled by the caller after set-up
  double* coefficients;  // made by set-up, freed by render
  int32_t outputWidth, outputHeight;
  int32_t outputX, outputY;
  int32_t filtered;  // non-zero: elliptical weighted average
  ErrorCode error;   // 0, ERR_MEM or ERR_WRONGUSAGE
  const uint8_t* sourceMask;
  uint8_t* outputMask;
  const uint8_t* sourceAlpha;
  uint8_t* outputAlpha;
  int32_t sourceMaskRowBytes, outputMaskRowBytes;
  int32_t sourceAlphaRowBytes, outputAlphaRowBytes;
  int32_t bytesPerPixel;  // 2, 3 or 4
  uint32_t format;
};
struct EwaFilter {
  const DistortImage* source;
  int32_t disabled;
  double pixelCount;
  int32_t tooLarge, interpolate;
  double A, B, C;
  double rowHalf, columnHalf, spanHalf, slope;
  double weights[1024];  // 2^(-i / 256)
  double support;        // 1024
};
// Both set and return request->error. Set-up refuses (ERR_WRONGUSAGE)
// unknown methods, bad argument counts, singular control points and output
// boxes that are not finite or larger than 32767 pixels a side.
ErrorCode DistortSetup(DistortRequest* request);
ErrorCode DistortRender(DistortRequest* request);
void EwaScale(EwaFilter* filter, double dudx, double dudy, double dvdx, double dvdy);
void InterpolatePixel(const DistortRequest* request, const DistortImage* source, double x, double y,
                      double out[4]);

// Swirl and water ripple. Tables hold SWIRL_TABLE_SIZE doubles: sin and cos
// of 0, 0.001, 0.002, ... (accumulated); the ripple's distance table holds
// one IntSqrt distance to the centre per pixel, row by row.
constexpr int32_t SWIRL_TABLE_SIZE = 6300;
void BuildSwirlSinCosTable(double* sine, double* cosine);
void BuildRippleSineTable(double* sine, int32_t* distances, int32_t width, int32_t height,
                          int32_t centreX, int32_t centreY);
// A null source makes the kernel copy the destination and read the copy
// (in-place brush effects); a source alpha selects the alpha-fade mode; a
// second picture cross-fades. Row lengths in pixels, alpha and mask rows in
// bytes.
struct SwirlRequest {
  const void* source;
  const void* second;
  void* destination;
  int32_t sourceRowLength, secondRowLength, destinationRowLength;
  const double* sine;
  const double* cosine;
  uint32_t format;
  int32_t width, height;
  int32_t fadeOut;
  const uint8_t* sourceAlpha;
  int32_t sourceAlphaRowLength;
  uint8_t* destinationAlpha;
  int32_t destinationAlphaRowLength;
  const uint8_t* sourceMask;
  int32_t sourceMaskRowLength;
  uint8_t* destinationMask;
  int32_t destinationMaskRowLength;
};
struct RippleRequest {
  const void* source;
  const void* second;
  void* destination;
  int32_t sourceRowLength, secondRowLength, destinationRowLength;
  const int32_t* distances;
  const double* sine;
  double waveLength;  // at least 1
  double amplitude;   // set by the kernel unless the frame is -1
  double amplitudeStep;
  int32_t framesPerHalf;  // N
  int32_t width, height;
  uint32_t format;
  int32_t fadeOut;
  const uint8_t* sourceAlpha;
  int32_t sourceAlphaRowLength;
  uint8_t* destinationAlpha;
  int32_t destinationAlphaRowLength;
  int32_t centreX, centreY;
  const int32_t* readPosition;      // the kernel's own
  int32_t radius;                   // largest radius R
  int32_t sourceColumn, sourceRow;  // the kernel's own
  int32_t storedPhase;              // used when the frame is -1
  const uint8_t* sourceMask;
  int32_t sourceMaskRowLength;
  uint8_t* destinationMask;
  int32_t destinationMaskRowLength;
};
void SwirlPixels16(const SwirlRequest* request, int32_t angle);
void SwirlPixels32(const SwirlRequest* request, int32_t angle);
// frame -1 draws with the stored amplitude and phase.
void WaterRipplePixels16(RippleRequest* request, int32_t frame);
void WaterRipplePixels32(RippleRequest* request, int32_t frame);
void RippleDisplace(int32_t phase, int32_t x, int32_t y, RippleRequest* request);

// Bitmap transforms (new handles; outputs written only on success); the
// others are in gfx/gfx.h.
ErrorCode EnsureScaleTables(int32_t neededX, int32_t neededY);  // ERR_MEM

// The quantiser on raw pixels; non-zero on success.
int32_t QuantizeBitmapPixels(const void* pixels, uint32_t format, int32_t bytesPerPixel,
                             int32_t width, int32_t height, int32_t modulo, uint8_t* indices,
                             uint32_t* palette, int32_t* colourCount, int32_t keyColour,
                             int32_t reserve, int32_t dither, int32_t* keyIndex);
// A new zero-filled 0xAARRGGBB buffer (FreeMemory) of the rectangle: formats
// 10-13 are read, others stay black.
ErrorCode BitmapToARGB(BitmapHandle* bitmap, int32_t x, int32_t y, int32_t width, int32_t height,
                       int32_t* hasAlpha, uint32_t** out);

namespace fx {

// A channel sum quantised to 0..255: below 0 gives 0, above 255 gives 255,
// otherwise truncated (NaN gives 0).
inline int32_t ClampChannel(double s) {
  if (!(s > 0.0)) return 0;
  if (s > 255.0) return 255;
  return static_cast<int32_t>(s);
}

// Untruncated grey sum of the grey, sepia and level effects: the double
// constants 0.299, 0.587 and 0.114 widened to long double and summed there,
// red plus green, then plus blue. The constants add up to slightly less than
// 1, so a pure grey (v, v, v) truncates to v - 1: white gives 254.
inline long double GreySum(uint32_t r, uint32_t g, uint32_t b) {
  return static_cast<long double>(0.299) * r + static_cast<long double>(0.587) * g +
         static_cast<long double>(0.114) * b;
}
inline int32_t Grey(uint32_t r, uint32_t g, uint32_t b) {
  return static_cast<int32_t>(GreySum(r, g, b));
}

// Applies op (native 0x00RRGGBB in, native out) to every pixel of a
// rectangle of 2- or 4-byte pixels, decoding and re-encoding the format.
template <int Bpp, typename Op>
inline void ForEachPixel(void* pixels, int32_t width, int32_t height, int32_t rowLength,
                         uint32_t format, Op op) {
  auto* base = static_cast<uint8_t*>(pixels);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* p = base + pixel::Offset(0, y, rowLength, Bpp);
    for (int32_t x = 0; x < width; ++x, p += Bpp) {
      uint32_t v = pixel::ToNative(pixel::LoadRaw(p, Bpp), format, Bpp) & 0xFFFFFF;
      pixel::StoreRaw(p, Bpp, pixel::FromNative(op(v), format, Bpp));
    }
  }
}

// Checked size products for buffers: false when the result does not fit.
inline bool MulSize(size_t a, size_t b, size_t* out) { return !__builtin_mul_overflow(a, b, out); }
inline bool AddSize(size_t a, size_t b, size_t* out) { return !__builtin_add_overflow(a, b, out); }

}  // namespace fx
