// Services of the bitmap and pixel engine: pixel formats, kernels, bitmap
// handles and blits, and the effect kernels and bitmap transforms.
// Each concern keeps its own section.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/errors.h"

// ---- Pixel formats, kernels, bitmap handles and blits -----------------------------

// Pixel format codes. 16-bit pixels are little-endian words, 32-bit pixels
// little-endian 32-bit words; "swapped" formats exchange the two bytes of
// the 16-bit word. The kernels compute in RGB565 (2-byte pixels) and
// 0xAARRGGBB (4-byte pixels) and convert every other layout on the way.
enum PixelFormat : uint32_t {
  PIXFMT_RGB555 = 0,       // bit 15 zero, R 14-10, G 9-5, B 4-0
  PIXFMT_BGR555 = 1,       // B 14-10, G 9-5, R 4-0
  PIXFMT_RGB555_SWAP = 2,  // format 0 byte-swapped
  PIXFMT_BGR555_SWAP = 3,  // format 1 byte-swapped
  PIXFMT_RGB565 = 4,       // R 15-11, G 10-5, B 4-0 (native 2-byte layout)
  PIXFMT_BGR565 = 5,       // B 15-11, G 10-5, R 4-0
  PIXFMT_RGB565_SWAP = 6,  // format 4 byte-swapped
  PIXFMT_BGR565_SWAP = 7,  // format 5 byte-swapped
  PIXFMT_RGB24 = 8,        // bytes R, G, B in memory order
  PIXFMT_BGR24 = 9,        // bytes B, G, R in memory order
  PIXFMT_ARGB32 = 10,      // 0xAARRGGBB (native 4-byte layout)
  PIXFMT_BGRA32 = 11,      // 0xBBGGRRAA
  PIXFMT_RGBA32 = 12,      // 0xRRGGBBAA
  PIXFMT_ABGR32 = 13,      // 0xAABBGGRR
  PIXFMT_ALPHA8 = 14,      // lock records of alpha channels only
  PIXFMT_MASK1 = 15,       // lock records of masks only
};

// 0xAARRGGBB; in script colours the top byte is transparency.
using ArgbColor = uint32_t;

int32_t BytesPerPixel(uint32_t format);  // 0 for codes above 13
int32_t BitsPerPixel(uint32_t format);   // 15, 16, 24, 32; 0 above 13

// Native RGB565 <-> formats 0-7 (other formats: p unchanged). Only the low
// 16 bits of the result are meaningful.
uint32_t EncodePixel16(uint32_t format, uint32_t p);
uint32_t DecodePixel16(uint32_t format, uint32_t p);
// Native 0xAARRGGBB <-> formats 11-13 (other formats: p unchanged). The
// alpha byte is not carried: results have alpha 0.
uint32_t EncodePixel32(uint32_t format, uint32_t p);
uint32_t DecodePixel32(uint32_t format, uint32_t p);

// Single pixels at an address, as bytes R, G, B (, A). The 16-bit readers
// leave out[3] alone; formats 8 and 9 are never written by WritePixelRGBA.
void ReadPixelRGBA(const void* pixel, uint32_t format, uint8_t out[4]);
void WritePixelRGBA(void* pixel, uint32_t format, const uint8_t rgba[4]);
void ReadPixelRGB(const void* pixel, uint32_t format, uint8_t out[3]);

// Colour <-> pixel value of a format. 15/16-bit formats keep the top 5 or 6
// bits of a channel and unpack c << 3 or c << 2. The value of a 3-byte
// pixel is its three bytes read as a little-endian word. Alpha travels only
// with keepAlpha (and only through 32-bit formats).
uint32_t ColorToPixel(ArgbColor colour, uint32_t format, int keepAlpha);
ArgbColor PixelToColor(uint32_t pixel, uint32_t format, int keepAlpha);

// Grey level y = 0.299 R + 0.587 G + 0.114 B, truncated. The sum is formed
// in double in the order red + green, then + blue; a pure grey (v, v, v)
// keeps its level v (the three constants add up to slightly less than 1, so
// the result is nudged by a fraction far below one level before truncation).
int32_t GreyLevel(int32_t r, int32_t g, int32_t b);

// Row converters between pixel buffers and packed 0xAARRGGBB rows. Row
// lengths are in pixels. ReadRectToARGB writes nothing for formats other
// than 4 and 10-13 and returns false then.
bool ReadRectToARGB(const void* pixels, uint32_t* out, int32_t x, int32_t y, int32_t width,
                    int32_t height, int32_t rowLength, uint32_t format);
// ARGB rectangle at (sx, sy) of a buffer with argbRowLength pixels per row
// into pixels at (dx, dy); formats 0-7 and 10-13, others skipped.
void WriteARGBToPixels(const uint32_t* argb, int32_t sx, int32_t sy, int32_t argbRowLength,
                       void* pixels, int32_t dx, int32_t dy, int32_t width, int32_t height,
                       int32_t rowLength, uint32_t format);
void ExtractAlphaBytes(const uint32_t* argb, int32_t width, int32_t height, int32_t rowLength,
                       uint8_t* out, int32_t outRowBytes);

// Mask bit clear where (pixel & compareMask) == key (16-bit: pixel == key),
// set elsewhere; bit 7 of a byte is the leftmost pixel.
void BuildColorKeyMask32(const uint32_t* pixels, uint8_t* mask, int32_t width, int32_t height,
                         int32_t maskRowBytes, uint32_t key, int32_t rowLength,
                         uint32_t compareMask);
void BuildColorKeyMask16(const uint16_t* pixels, uint8_t* mask, int32_t width, int32_t height,
                         int32_t maskRowBytes, uint32_t key, int32_t rowLength);
// pairs: (from, to) values ended by from = 0xFFFFFFFF, applied in order, so
// a later pair may match the result of an earlier one.
void ReplaceColorPixels32(int32_t width, int32_t height, const uint32_t* pairs, uint32_t* pixels,
                          int32_t rowLength, uint32_t compareMask);
void ReplaceColorPixels16(int32_t width, int32_t height, const uint32_t* pairs, uint16_t* pixels,
                          int32_t rowLength);

// State of the single-pixel plot used by anti-aliased lines, filled shapes
// and thick lines. colour is already in the pixel format; cachedR/G/B hold
// the 8-bit channels of the colour (or of the last texture pixel).
struct PlotContext {
  uint8_t* pixels;
  int32_t rowLength;  // pixels
  int32_t bytesPerPixel;
  const uint8_t* texture;  // null for a plain colour
  int32_t textureRowLength;  // pixels
  uint8_t* targetMask;  // null when none
  int32_t targetMaskRowBytes;
  uint8_t* targetAlpha;  // null when none
  int32_t targetAlphaRowBytes;
  int32_t thickness;  // pixels; 1 for locked-line drawing
  uint32_t format;
  uint32_t colour;
  int32_t opacity;  // 0-255, the current one
  int32_t level;    // 0-255
  int32_t cachedR, cachedG, cachedB;
  int32_t clip;  // non-zero: clip to the rectangle below
  int32_t clipX, clipY, clipWidth, clipHeight;
  const uint8_t* clipMask;  // bits relative to (clipX, clipY); null when none
  int32_t clipMaskRowBytes;
  int32_t maskMode;  // 0-5: what a plot does to the target mask bit
};

// Sets colour (converted to the context's format) and the cached channels.
void SetPlotColor(PlotContext* ctx, ArgbColor colour);
void PlotPixel(PlotContext* ctx, int32_t x, int32_t y);
// Anti-aliased line in 16.16 fixed point: two pixels per step.
void ShapeSpanKernel(PlotContext* ctx, int32_t x1, int32_t y1, int32_t x2, int32_t y2);
// Plots every non-zero coverage byte at (x0 + i, y0 + j).
void ShapeOutlineKernel(const uint8_t* coverage, int32_t x0, int32_t y0, PlotContext* ctx,
                        int32_t width, int32_t height, int32_t rowBytes, int32_t solid);

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
  int32_t result;       // 1 on success, left 0 on failure (memory)
  int32_t keyIndex;     // out: entry holding the key, or -1
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

// Convolution in place: Gaussian blur ('b'), emboss ('e'), edge ('g'),
// sharpen ('s'); the alpha channel, when given, after the colours.
enum : int32_t { CONVOLVE_BLUR = 98, CONVOLVE_EMBOSS = 101, CONVOLVE_EDGE = 103, CONVOLVE_SHARPEN = 115 };
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
void ConvolvePixels(const ConvolveRequest* request);
int32_t GaussianKernelWidth1D(double radius, double sigma);
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
void OilPaintPixels(const OilPaintRequest* request);    // 16-bit pixels
void OilPaintPixels32(const OilPaintRequest* request);  // 32-bit pixels
void ContrastColor(int32_t sign, uint8_t* r, uint8_t* g, uint8_t* b);
void ContrastPixels16(uint16_t* pixels, int32_t width, int32_t height, int32_t rowLength,
                      uint32_t format, int32_t sign);
void ContrastPixels(uint32_t* pixels, int32_t width, int32_t height, int32_t rowLength,
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
void ModulatePixels(const ModulateRequest* request);

// Least squares and the linear solver. Matrices are arrays of row addresses.
double** AllocDoubleMatrix(int32_t rows, int32_t columns);  // zeroed, or null
void FreeDoubleMatrix(double** matrix, int32_t rows);
void LeastSquaresAddTerms(double** m, double** vectors, const double* terms,
                          const double* results, int32_t n, int32_t count);
// 1 with the solutions in vectors (m becomes its inverse); 0 when singular or
// out of memory.
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
