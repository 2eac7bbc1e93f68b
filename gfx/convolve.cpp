// Convolution of locked pixels in place: the separable Gaussian blur and the
// square sharpen, edge and emboss kernels, over the colours (2- or 4-byte
// pixels, computed in the native layouts) and then over an optional 8-bit
// alpha channel. Every pass reads an edge-extended copy of the image, so no
// result feeds into its neighbours; the blur quantises between its
// horizontal and vertical pass, as the bitmap's own format holds it.
#include <cmath>
#include <cstring>

#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "platform/linux/platform.h"

namespace {

constexpr double SQRT_2PI = 2.5066282746310002;
constexpr double TWO_PI = 6.283185307179586;
constexpr double EPSILON = 1e-10;
// Largest kernel width the width rules search up to. A sigma so large that
// no tail falls below one level would otherwise search without end; a
// kernel this wide is refused by every pass (wider than any bitmap or too
// large to pad), which leaves the image unchanged.
constexpr int32_t MAX_KERNEL_WIDTH = (1 << 20) + 1;
// The most pixels an edge-extended copy may hold: 2^24, or four times the
// image for larger ones. A kernel so much wider than its image that its
// copy outgrows this is refused (as out of memory) before anything is
// allocated: its copy would take gigabytes and its passes hours to give
// a picture of the edges.
constexpr int64_t MIN_PAD_LIMIT = int64_t{1} << 24;

int32_t radiusWidth(double radius) {
  int32_t r = VmTruncInt32(std::ceil(radius));
  if (r > (INT32_MAX - 1) / 2) return INT32_MAX;
  return 2 * r + 1;
}

}  // namespace

int32_t GaussianKernelWidth1D(double radius, double sigma) {
  if (radius > 0) return radiusWidth(radius);
  if (!(std::fabs(sigma) > EPSILON)) return 1;
  double scale = SQRT_2PI * sigma;
  double c = -2.0 * sigma * sigma;
  double n = 1.0 / scale;  // the sum over u = -h..h, grown two terms per step
  for (int32_t w = 3, h = 1; w <= MAX_KERNEL_WIDTH; w += 2, ++h) {
    n += 2.0 * (std::exp(h * static_cast<double>(h) / c) / scale);
    if (w < 5) continue;
    double v = std::exp(h * static_cast<double>(h) / c) / scale / n;
    if (VmTruncInt32(255.0 * v) < 1) return w - 2;
  }
  return MAX_KERNEL_WIDTH;
}

int32_t GaussianKernelWidth2D(double radius, double sigma) {
  if (radius > 0) return radiusWidth(radius);
  // A zero or non-finite sigma has no Gaussian: its terms are NaN and no
  // width would ever qualify. Width 1 makes every square kernel an identity.
  if (!(std::fabs(sigma) > EPSILON) || !std::isfinite(sigma)) return 1;
  double c = -2.0 * sigma * sigma;
  double s1 = 1.0;  // sum over u of exp(u^2 / c); the 2-D sum is its square
  for (int32_t w = 3, h = 1; w <= MAX_KERNEL_WIDTH; w += 2, ++h) {
    s1 += 2.0 * std::exp(h * static_cast<double>(h) / c);
    if (w < 5) continue;
    double n = s1 * s1 / (TWO_PI * sigma * sigma);
    double v = std::exp(h * static_cast<double>(h) / c) / (sigma * SQRT_2PI) / n;
    if (v < 0.00392156862745098) return w - 2;
  }
  return MAX_KERNEL_WIDTH;
}

namespace {

// Row length of an edge-extended copy: for pixels the next multiple of 4
// above width + k (4 more when it already is one), for bytes width + k
// rounded up to a multiple of 4. False when the copy cannot be sized.
bool padGeometry(int32_t width, int32_t height, int32_t k, int bpp, size_t* row, size_t* bytes) {
  if (width <= 0 || height <= 0 || k <= 0) return false;
  size_t used = static_cast<size_t>(width) + static_cast<size_t>(k);
  size_t len = bpp == 1 ? (used + 3) / 4 * 4 : used + 4 - used % 4;
  size_t rows = static_cast<size_t>(height) + static_cast<size_t>(k);
  if (len > static_cast<size_t>(INT32_MAX) || rows > static_cast<size_t>(INT32_MAX)) return false;
  int64_t limit = std::max(MIN_PAD_LIMIT, 4 * static_cast<int64_t>(width) * height);
  if (static_cast<int64_t>(len) * static_cast<int64_t>(rows) > limit) return false;
  size_t total;
  if (!fx::MulSize(len, rows, &total) || !fx::MulSize(total, static_cast<size_t>(bpp), &total))
    return false;
  *row = len;
  *bytes = total;
  return true;
}

template <typename T>
T* padCopy(const T* source, int32_t width, int32_t height, int32_t rowLength, int32_t k, T* buffer,
           int32_t* outRowLength) {
  size_t row, bytes;
  if (!padGeometry(width, height, k, static_cast<int>(sizeof(T)), &row, &bytes)) return nullptr;
  T* out = buffer ? buffer : static_cast<T*>(AllocMemory(bytes, 0));
  if (!out) return nullptr;
  int32_t half = k / 2;
  size_t used = static_cast<size_t>(width) + k;
  for (int32_t r = 0; r < height + k; ++r) {
    int32_t sy = r - half < 0 ? 0 : (r - half > height - 1 ? height - 1 : r - half);
    const T* src = source + static_cast<ptrdiff_t>(sy) * rowLength;
    T* dst = out + static_cast<size_t>(r) * row;
    for (size_t c = 0; c < used; ++c) {
      int64_t sx = static_cast<int64_t>(c) - half;
      sx = sx < 0 ? 0 : (sx > width - 1 ? width - 1 : sx);
      std::memcpy(&dst[c], &src[sx], sizeof(T));
    }
  }
  *outRowLength = static_cast<int32_t>(row);
  return out;
}

}  // namespace

uint16_t* PadPixels16(const uint16_t* source, int32_t width, int32_t height, int32_t rowLength,
                      int32_t k, uint16_t* buffer, int32_t* outRowLength) {
  return padCopy(source, width, height, rowLength, k, buffer, outRowLength);
}
uint32_t* PadPixels32(const uint32_t* source, int32_t width, int32_t height, int32_t rowLength,
                      int32_t k, uint32_t* buffer, int32_t* outRowLength) {
  return padCopy(source, width, height, rowLength, k, buffer, outRowLength);
}
uint8_t* PadBytes8(const uint8_t* source, int32_t width, int32_t height, int32_t rowBytes,
                   int32_t k, uint8_t* buffer, int32_t* outRowLength) {
  return padCopy(source, width, height, rowBytes, k, buffer, outRowLength);
}

namespace {

// One image plane the passes work on: colours of 2- or 4-byte pixels (three
// channels) or alpha bytes (one channel).
struct Plane {
  uint8_t* data;
  int32_t width, height, rowLength;  // rowLength in units of bpp
  int bpp;                           // 1 (alpha), 2 or 4
  uint32_t format;
  int channels() const { return bpp == 1 ? 1 : 3; }
};

void* pad(const Plane& p, int32_t k, void* buffer, int32_t* row) {
  switch (p.bpp) {
    case 1:
      return PadBytes8(p.data, p.width, p.height, p.rowLength, k, static_cast<uint8_t*>(buffer),
                       row);
    case 2:
      return PadPixels16(reinterpret_cast<const uint16_t*>(p.data), p.width, p.height, p.rowLength,
                         k, static_cast<uint16_t*>(buffer), row);
    default:
      return PadPixels32(reinterpret_cast<const uint32_t*>(p.data), p.width, p.height, p.rowLength,
                         k, static_cast<uint32_t*>(buffer), row);
  }
}

// Channels of n stored pixels into ch[c * stride + i].
void decodeRow(const Plane& p, const uint8_t* row, size_t n, double* ch, size_t stride) {
  if (p.bpp == 1) {
    for (size_t i = 0; i < n; ++i) ch[i] = row[i];
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    uint32_t v = pixel::ToNative(pixel::LoadRaw(row + i * p.bpp, p.bpp), p.format, p.bpp);
    ch[i] = pixel::R(v);
    ch[stride + i] = pixel::G(v);
    ch[2 * stride + i] = pixel::B(v);
  }
}

void encodeRow(const Plane& p, int32_t y, const double* acc, size_t stride) {
  uint8_t* row = p.data + pixel::Offset(0, y, p.rowLength, p.bpp);
  for (int32_t x = 0; x < p.width; ++x) {
    if (p.bpp == 1) {
      row[x] = static_cast<uint8_t>(fx::ClampChannel(acc[x]));
      continue;
    }
    uint32_t v = pixel::Rgb(fx::ClampChannel(acc[x]), fx::ClampChannel(acc[stride + x]),
                            fx::ClampChannel(acc[2 * stride + x]));
    pixel::StoreRaw(row + x * p.bpp, p.bpp, pixel::FromNative(v, p.format, p.bpp));
  }
}

struct Scratch {
  double* channels = nullptr;  // channels x (width + k)
  double* acc = nullptr;       // channels x width
  void* copy = nullptr;        // the plane padded by k / 2 on every side
  int32_t row = 0;             // pixels per row of the copy
  ~Scratch() {
    FreeMemory(channels);
    FreeMemory(acc);
    FreeMemory(copy);
  }
  // Allocates the padded copy, then the row buffers; false when memory
  // runs out or the copy would be too large.
  bool make(const Plane& p, int32_t k) {
    copy = pad(p, k, nullptr, &row);
    if (!copy) return false;
    size_t n = static_cast<size_t>(p.width) + static_cast<size_t>(k);
    channels = static_cast<double*>(AllocMemoryArray(n * p.channels(), sizeof(double), 0));
    acc = static_cast<double*>(
        AllocMemoryArray(static_cast<size_t>(p.width) * p.channels(), sizeof(double), 0));
    return channels && acc;
  }
};

// Separable blur: horizontal pass written into the plane, then the vertical
// pass from a second copy made into the same buffer.
// False when its scratch memory cannot be had (the plane unchanged).
bool blurPlane(const Plane& p, const double* kernel, int32_t k) {
  Scratch s;
  if (!s.make(p, k)) return false;
  int32_t row = s.row;
  const auto* copy = static_cast<const uint8_t*>(s.copy);
  size_t n = static_cast<size_t>(p.width) + k;
  int nc = p.channels();
  int32_t half = k / 2;
  for (int32_t y = 0; y < p.height; ++y) {
    decodeRow(p, copy + static_cast<size_t>(y + half) * row * p.bpp, n, s.channels, n);
    for (int c = 0; c < nc; ++c) {
      const double* ch = s.channels + c * n;
      double* out = s.acc + static_cast<size_t>(c) * p.width;
      for (int32_t x = 0; x < p.width; ++x) {
        double sum = 0.0;
        for (int32_t i = 0; i < k; ++i) sum += kernel[i] * ch[x + i];
        out[x] = sum;
      }
    }
    encodeRow(p, y, s.acc, p.width);
  }
  pad(p, k, s.copy, &row);
  // Only the columns under the image are read in this pass: the padded
  // columns beside them, k of them, would cost k times the row for nothing.
  const size_t skip = static_cast<size_t>(half) * p.bpp;
  const size_t w = static_cast<size_t>(p.width);
  for (int32_t y = 0; y < p.height; ++y) {
    for (size_t i = 0; i < w * nc; ++i) s.acc[i] = 0.0;
    for (int32_t i = 0; i < k; ++i) {
      decodeRow(p, copy + static_cast<size_t>(y + i) * row * p.bpp + skip, w, s.channels, n);
      double weight = kernel[i];
      for (int c = 0; c < nc; ++c) {
        const double* ch = s.channels + c * n;
        double* out = s.acc + static_cast<size_t>(c) * p.width;
        for (int32_t x = 0; x < p.width; ++x) out[x] += weight * ch[x];
      }
    }
    encodeRow(p, y, s.acc, p.width);
  }
  return true;
}

// Square kernel of k x k weights, rows top to bottom.
bool squarePlane(const Plane& p, const double* kernel, int32_t k) {
  Scratch s;
  if (!s.make(p, k)) return false;
  int32_t row = s.row;
  const auto* copy = static_cast<const uint8_t*>(s.copy);
  size_t n = static_cast<size_t>(p.width) + k;
  int nc = p.channels();
  for (int32_t y = 0; y < p.height; ++y) {
    for (size_t i = 0; i < static_cast<size_t>(p.width) * nc; ++i) s.acc[i] = 0.0;
    for (int32_t v = 0; v < k; ++v) {
      decodeRow(p, copy + static_cast<size_t>(y + v) * row * p.bpp, n, s.channels, n);
      for (int32_t u = 0; u < k; ++u) {
        double w = kernel[static_cast<size_t>(v) * k + u];
        for (int c = 0; c < nc; ++c) {
          const double* ch = s.channels + c * n + u;
          double* out = s.acc + static_cast<size_t>(c) * p.width;
          for (int32_t x = 0; x < p.width; ++x) out[x] += w * ch[x];
        }
      }
    }
    encodeRow(p, y, s.acc, p.width);
  }
  return true;
}

double* blurKernel(int32_t k, double sigma) {
  auto* kernel = static_cast<double*>(AllocMemoryArray(static_cast<size_t>(k), sizeof(double), 1));
  if (!kernel) return nullptr;
  // Each tap sums three samples a third of a pixel apart (18 = 2 x 3^2).
  int64_t b = (3 * static_cast<int64_t>(k)) / 2;
  for (int64_t i = -b; i <= b; ++i)
    kernel[(i + b) / 3] +=
        std::exp(-static_cast<double>(i * i) / (18.0 * sigma * sigma)) / (SQRT_2PI * sigma);
  double sum = 0.0;
  for (int32_t i = 0; i < k; ++i) sum += kernel[i];
  for (int32_t i = 0; i < k; ++i) kernel[i] /= sum;
  return kernel;
}

double* squareKernel(int32_t k, double sigma, int32_t operation) {
  size_t cells;
  if (!fx::MulSize(static_cast<size_t>(k), static_cast<size_t>(k), &cells)) return nullptr;
  auto* kernel = static_cast<double*>(AllocMemoryArray(cells, sizeof(double), 1));
  if (!kernel) return nullptr;
  int32_t j = k / 2;
  double s = std::fabs(sigma) <= EPSILON ? 1.0 : sigma;
  auto gauss = [&](int32_t u, int32_t v) {
    return std::exp(-static_cast<double>(u * u + v * v) / (2.0 * s * s)) / (TWO_PI * s * s);
  };
  size_t centre = static_cast<size_t>(j) * k + j;
  if (operation == CONVOLVE_EDGE) {
    for (size_t i = 0; i < cells; ++i) kernel[i] = -1.0;
    kernel[centre] = static_cast<double>(k) * k - 1.0;
  } else if (operation == CONVOLVE_SHARPEN) {
    double sum = 0.0;
    for (int32_t v = -j; v <= j; ++v)
      for (int32_t u = -j; u <= j; ++u) {
        double e = -gauss(u, v);
        kernel[static_cast<size_t>(v + j) * k + (u + j)] = e;
        sum += e;
      }
    kernel[centre] = -2.0 * sum;
  } else {
    for (int32_t v = -j; v <= j; ++v) {
      int32_t u = -v;
      double sign = (u < 0 || v < 0) ? -8.0 : 8.0;
      kernel[static_cast<size_t>(v + j) * k + (u + j)] = sign * gauss(u, v);
    }
  }
  double total = 0.0;
  for (size_t i = 0; i < cells; ++i) total += kernel[i];
  double factor = std::fabs(total) <= EPSILON ? 1.0 : 1.0 / total;
  for (size_t i = 0; i < cells; ++i) kernel[i] *= factor;
  return kernel;
}

}  // namespace

bool BlurCopyFits(int32_t width, int32_t height, double radius, double sigma) {
  if (!(std::fabs(sigma) > EPSILON)) return true;
  size_t row, bytes;
  // Four bytes a pixel: the copy of the largest pixels bounds the others.
  return padGeometry(width, height, GaussianKernelWidth1D(radius, sigma), 4, &row, &bytes);
}

ErrorCode ConvolvePixels(const ConvolveRequest* q) {
  if (q->width <= 0 || q->height <= 0) return ERR_NONE;
  bool colours = q->pixels && (q->bytesPerPixel == 2 || q->bytesPerPixel == 4);
  Plane colour{static_cast<uint8_t*>(q->pixels),
               q->width,
               q->height,
               q->rowLength,
               q->bytesPerPixel,
               q->format};
  Plane alpha{q->alpha, q->width, q->height, q->alphaRowBytes, 1, 0};
  bool done = true;
  if (q->operation == CONVOLVE_BLUR) {
    if (!(std::fabs(q->sigma) > EPSILON)) return ERR_NONE;
    // A width whose copy cannot be made is refused before its kernel (of
    // as many taps) is built.
    if (!BlurCopyFits(q->width, q->height, q->radius, q->sigma)) return ERR_MEM;
    int32_t k = GaussianKernelWidth1D(q->radius, q->sigma);
    double* kernel = blurKernel(k, q->sigma);
    if (!kernel) return ERR_MEM;
    if (colours) done = blurPlane(colour, kernel, k);
    if (q->alpha) done = blurPlane(alpha, kernel, k) && done;
    FreeMemory(kernel);
    return done ? ERR_NONE : ERR_MEM;
  }
  if (q->operation != CONVOLVE_EDGE && q->operation != CONVOLVE_SHARPEN &&
      q->operation != CONVOLVE_EMBOSS)
    return ERR_NONE;
  int32_t k = q->operation == CONVOLVE_EDGE ? GaussianKernelWidth1D(q->radius, 0.5)
                                            : GaussianKernelWidth2D(q->radius, q->sigma);
  if (k % 2 == 0 || k > q->width || k > q->height) return ERR_NONE;
  double* kernel = squareKernel(k, q->sigma, q->operation);
  if (!kernel) return ERR_MEM;
  if (colours) done = squarePlane(colour, kernel, k);
  if (q->alpha) done = squarePlane(alpha, kernel, k) && done;
  FreeMemory(kernel);
  return done ? ERR_NONE : ERR_MEM;
}
