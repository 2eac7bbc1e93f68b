// Oil-paint effect on locked 2- or 4-byte pixels: each pixel takes the
// stored value of the most frequent intensity in the k x k window around
// it (edges replicated), the first window pixel in scan order to reach the
// winning count. The window is read from an edge-extended copy, so results
// never feed into their neighbours.
#include <cstring>

#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "platform/linux/platform.h"

namespace {

template <typename T, int Bpp>
void oilPaint(const OilPaintRequest* q) {
  if (q->width <= 0 || q->height <= 0 || !q->pixels) return;
  int32_t k = GaussianKernelWidth2D(q->radius, 0.5);
  if (k < 1) return;
  int32_t row;
  T* copy;
  if constexpr (Bpp == 2)
    copy = PadPixels16(static_cast<const uint16_t*>(q->pixels), q->width, q->height, q->rowLength,
                       k, nullptr, &row);
  else
    copy = PadPixels32(static_cast<const uint32_t*>(q->pixels), q->width, q->height, q->rowLength,
                       k, nullptr, &row);
  if (!copy) return;
  // Intensity bins of the copy, computed once per copy pixel: the low 8
  // bits of trunc(0.299 R + 0.587 G + 0.114 B).
  size_t cells = static_cast<size_t>(row) * (static_cast<size_t>(q->height) + k);
  auto* bins = static_cast<uint8_t*>(AllocMemory(cells, 0));
  if (!bins) {
    FreeMemory(copy);
    return;
  }
  for (size_t i = 0; i < cells; ++i) {
    uint32_t v = pixel::ToNative(copy[i], q->format, Bpp);
    double intensity = 0.299 * pixel::R(v) + 0.587 * pixel::G(v) + 0.114 * pixel::B(v);
    bins[i] = static_cast<uint8_t>(static_cast<int32_t>(intensity) & 0xFF);
  }
  int32_t counts[256];
  std::memset(counts, 0, sizeof counts);
  for (int32_t y = 0; y < q->height; ++y) {
    T* out = static_cast<T*>(q->pixels) + static_cast<ptrdiff_t>(y) * q->rowLength;
    for (int32_t x = 0; x < q->width; ++x) {
      int32_t best = 0;
      T chosen = 0;
      for (int32_t v = 0; v < k; ++v) {
        size_t base = static_cast<size_t>(y + v) * row + x;
        for (int32_t u = 0; u < k; ++u) {
          int32_t c = ++counts[bins[base + u]];
          if (c > best) {
            best = c;
            chosen = copy[base + u];
          }
        }
      }
      std::memcpy(&out[x], &chosen, sizeof(T));
      for (int32_t v = 0; v < k; ++v) {
        size_t base = static_cast<size_t>(y + v) * row + x;
        for (int32_t u = 0; u < k; ++u) counts[bins[base + u]] = 0;
      }
    }
  }
  FreeMemory(bins);
  FreeMemory(copy);
}

}  // namespace

void OilPaintPixels16(const OilPaintRequest* q) { oilPaint<uint16_t, 2>(q); }
void OilPaintPixels32(const OilPaintRequest* q) { oilPaint<uint32_t, 4>(q); }
