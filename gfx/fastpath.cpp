// Fast kernels of the pixel engine: the ARGB32 alpha-channel blend, colour
// spans into ARGB32, 32-bit row fills, row copies, the 32-bit masked copy
// (also over a background) and the 32-bit nearest and ARGB32 bilinear
// scalers. Each computes exactly what its
// general kernel computes (the random-operation test compares them); AVX2
// versions are chosen at run time when the processor has it, plain
// versions (SSE2 or scalar) else.
// Invariant: no kernel reads or writes outside the rectangles its general
// twin touches.
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "gfx/gfx.h"
#include "gfx/kernels.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"
#include "platform/linux/platform.h"

using namespace pixel;

namespace {

#ifdef QM_NO_FASTPATHS
std::atomic<bool> fastPaths{false};
#else
std::atomic<bool> fastPaths{true};
#endif

#define QM_AVX2 __attribute__((target("avx2")))

// ---- Alpha-channel blend, ARGB32 ----

// One pixel of span mode 0 (see the general kernel): whole-word copy at 255,
// nothing at 0, else (d * (256 - a) + s * a) >> 8 per channel, alpha 0.
inline uint32_t blendPixel(uint32_t d, uint32_t s, uint32_t a) {
  if (a == 0) return d;
  if (a == 255) return s;
  return BlendRgb(d, s, static_cast<int32_t>(a));
}

void blendRowScalar(uint32_t* d, const uint32_t* s, const uint8_t* a, int32_t n) {
  for (int32_t i = 0; i < n; ++i) d[i] = blendPixel(d[i], s[i], a[i]);
}

void blendRowSse2(uint32_t* d, const uint32_t* s, const uint8_t* a, int32_t n) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i c256 = _mm_set1_epi16(256);
  const __m128i rgbMask = _mm_set1_epi32(0x00FFFFFF);
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint32_t a4;
    std::memcpy(&a4, a + i, 4);
    if (a4 == 0) continue;
    __m128i sv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    if (a4 == 0xFFFFFFFFu) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), sv);
      continue;
    }
    __m128i dv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
    __m128i a32 =
        _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(a4)), zero), zero);
    __m128i a16 = _mm_or_si128(a32, _mm_slli_epi32(a32, 16));  // a in both halves
    __m128i aLo = _mm_unpacklo_epi32(a16, a16), aHi = _mm_unpackhi_epi32(a16, a16);
    __m128i sLo = _mm_unpacklo_epi8(sv, zero), sHi = _mm_unpackhi_epi8(sv, zero);
    __m128i dLo = _mm_unpacklo_epi8(dv, zero), dHi = _mm_unpackhi_epi8(dv, zero);
    __m128i rLo = _mm_srli_epi16(
        _mm_add_epi16(_mm_mullo_epi16(dLo, _mm_sub_epi16(c256, aLo)), _mm_mullo_epi16(sLo, aLo)),
        8);
    __m128i rHi = _mm_srli_epi16(
        _mm_add_epi16(_mm_mullo_epi16(dHi, _mm_sub_epi16(c256, aHi)), _mm_mullo_epi16(sHi, aHi)),
        8);
    __m128i r = _mm_and_si128(_mm_packus_epi16(rLo, rHi), rgbMask);
    __m128i is255 = _mm_cmpeq_epi32(a32, _mm_set1_epi32(255));
    __m128i is0 = _mm_cmpeq_epi32(a32, zero);
    r = _mm_or_si128(_mm_andnot_si128(is255, r), _mm_and_si128(is255, sv));
    r = _mm_or_si128(_mm_andnot_si128(is0, r), _mm_and_si128(is0, dv));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), r);
  }
  blendRowScalar(d + i, s + i, a + i, n - i);
}

QM_AVX2 void blendRowAvx2(uint32_t* d, const uint32_t* s, const uint8_t* a, int32_t n) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i c256 = _mm256_set1_epi16(256);
  const __m256i rgbMask = _mm256_set1_epi32(0x00FFFFFF);
  const __m256i c255 = _mm256_set1_epi32(255);
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t a8;
    std::memcpy(&a8, a + i, 8);
    if (a8 == 0) continue;
    __m256i sv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    if (a8 == ~0ull) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), sv);
      continue;
    }
    __m256i dv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i));
    __m256i a32 = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + i)));
    __m256i a16 = _mm256_or_si256(a32, _mm256_slli_epi32(a32, 16));
    __m256i aLo = _mm256_unpacklo_epi32(a16, a16), aHi = _mm256_unpackhi_epi32(a16, a16);
    __m256i sLo = _mm256_unpacklo_epi8(sv, zero), sHi = _mm256_unpackhi_epi8(sv, zero);
    __m256i dLo = _mm256_unpacklo_epi8(dv, zero), dHi = _mm256_unpackhi_epi8(dv, zero);
    __m256i rLo =
        _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(dLo, _mm256_sub_epi16(c256, aLo)),
                                           _mm256_mullo_epi16(sLo, aLo)),
                          8);
    __m256i rHi =
        _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(dHi, _mm256_sub_epi16(c256, aHi)),
                                           _mm256_mullo_epi16(sHi, aHi)),
                          8);
    __m256i r = _mm256_and_si256(_mm256_packus_epi16(rLo, rHi), rgbMask);
    r = _mm256_blendv_epi8(r, sv, _mm256_cmpeq_epi32(a32, c255));
    r = _mm256_blendv_epi8(r, dv, _mm256_cmpeq_epi32(a32, zero));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), r);
  }
  blendRowScalar(d + i, s + i, a + i, n - i);
}

// ---- Masked copy, 32-bit ----

// The 8 mask bits of pixels x .. x + 7 (x + 7 inside the row).
inline uint32_t maskByteAt(const uint8_t* m, ptrdiff_t x) {
  ptrdiff_t b = x >> 3;
  int sh = static_cast<int>(x & 7);
  if (sh == 0) return m[b];
  return ((static_cast<uint32_t>(m[b]) << sh) | (m[b + 1] >> (8 - sh))) & 0xFF;
}

void maskedRowScalar(uint32_t* d, const uint32_t* s, const uint8_t* m, ptrdiff_t bit, int32_t n) {
  for (int32_t i = 0; i < n; ++i)
    if (MaskBit(m, bit + i)) d[i] = s[i];
}

void maskedRowPlain(uint32_t* d, const uint32_t* s, const uint8_t* m, ptrdiff_t bit, int32_t n) {
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint32_t bits = maskByteAt(m, bit + i);
    if (bits == 0) continue;
    if (bits == 0xFF) {
      std::memcpy(d + i, s + i, 32);
      continue;
    }
    for (int k = 0; k < 8; ++k)
      if (bits & (0x80u >> k)) d[i + k] = s[i + k];
  }
  maskedRowScalar(d + i, s + i, m, bit + i, n - i);
}

QM_AVX2 void maskedRowAvx2(uint32_t* d, const uint32_t* s, const uint8_t* m, ptrdiff_t bit,
                           int32_t n) {
  const __m256i sel = _mm256_setr_epi32(128, 64, 32, 16, 8, 4, 2, 1);
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint32_t bits = maskByteAt(m, bit + i);
    if (bits == 0) continue;
    __m256i sv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    if (bits == 0xFF) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), sv);
      continue;
    }
    __m256i lanes =
        _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), sel), sel);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(d + i), lanes, sv);
  }
  maskedRowScalar(d + i, s + i, m, bit + i, n - i);
}

// ---- Masked copy over a background, 32-bit ----

void maskedOverRowScalar(uint32_t* d, const uint32_t* s, const uint32_t* b, const uint8_t* m,
                         ptrdiff_t bit, int32_t n) {
  for (int32_t i = 0; i < n; ++i) d[i] = MaskBit(m, bit + i) ? s[i] : b[i];
}

void maskedOverRowPlain(uint32_t* d, const uint32_t* s, const uint32_t* b, const uint8_t* m,
                        ptrdiff_t bit, int32_t n) {
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint32_t bits = maskByteAt(m, bit + i);
    if (bits == 0 || bits == 0xFF) {
      std::memcpy(d + i, (bits ? s : b) + i, 32);
      continue;
    }
    for (int k = 0; k < 8; ++k) d[i + k] = bits & (0x80u >> k) ? s[i + k] : b[i + k];
  }
  maskedOverRowScalar(d + i, s + i, b + i, m, bit + i, n - i);
}

// Whole mask bytes copy one side only, so a mostly opaque or mostly hidden
// frame reads little of the other.
QM_AVX2 void maskedOverRowAvx2(uint32_t* d, const uint32_t* s, const uint32_t* b, const uint8_t* m,
                               ptrdiff_t bit, int32_t n) {
  const __m256i sel = _mm256_setr_epi32(128, 64, 32, 16, 8, 4, 2, 1);
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint32_t bits = maskByteAt(m, bit + i);
    if (bits == 0 || bits == 0xFF) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>((bits ? s : b) + i)));
      continue;
    }
    __m256i lanes =
        _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), sel), sel);
    __m256i sv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    __m256i bv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), _mm256_blendv_epi8(bv, sv, lanes));
  }
  maskedOverRowScalar(d + i, s + i, b + i, m, bit + i, n - i);
}

// The pixels of a masked copy over a background that differ from what the
// previous copy of the same rectangle left: the source where the mask is
// set, the background where only the previous mask was set; the rest
// already shows the background and is not written. p holds the previous
// mask's bits of the row (bit 7 of p[0] over d[0]) and gets this mask's
// bits in their place, with the bits past the row's last pixel clear, so
// the next frame finds them there without a copy of its own.

// Pixels 0 .. n - 1 (n < 8) of the row's last, partial byte p[0].
void maskedOverChangedTail(uint32_t* d, const uint32_t* s, const uint32_t* b, const uint8_t* m,
                           ptrdiff_t bit, uint8_t* p, int32_t n) {
  if (n <= 0) return;
  const uint32_t before = p[0];
  uint32_t now = 0;
  for (int32_t i = 0; i < n; ++i)
    if (MaskBit(m, bit + i)) {
      d[i] = s[i];
      now |= 0x80u >> i;
    } else if (before & (0x80u >> i)) {
      d[i] = b[i];
    }
  p[0] = static_cast<uint8_t>(now);
}

void maskedOverChangedRowPlain(uint32_t* d, const uint32_t* s, const uint32_t* b, const uint8_t* m,
                               ptrdiff_t bit, uint8_t* p, int32_t n) {
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint32_t bits = maskByteAt(m, bit + i), before = p[i >> 3];
    p[i >> 3] = static_cast<uint8_t>(bits);
    if (bits == 0xFF) {
      std::memcpy(d + i, s + i, 32);
      continue;
    }
    for (int k = 0; k < 8; ++k)
      if (bits & (0x80u >> k))
        d[i + k] = s[i + k];
      else if (before & (0x80u >> k))
        d[i + k] = b[i + k];
  }
  maskedOverChangedTail(d + i, s + i, b + i, m, bit + i, p + (i >> 3), n - i);
}

// Eight pixels: the source where bits are set, the background where only
// before is.
QM_AVX2 inline void maskedOverChangedGroupAvx2(uint32_t* d, const uint32_t* s, const uint32_t* b,
                                               uint32_t bits, uint32_t before) {
  if (bits == 0xFF) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s)));
    return;
  }
  if ((bits | before) == 0) return;
  if (bits == 0 && before == 0xFF) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)));
    return;
  }
  const __m256i sel = _mm256_setr_epi32(128, 64, 32, 16, 8, 4, 2, 1);
  const __m256i sv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
  const __m256i bv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
  const __m256i set =
      _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), sel), sel);
  const __m256i changed = _mm256_cmpeq_epi32(
      _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits | before)), sel), sel);
  _mm256_maskstore_epi32(reinterpret_cast<int*>(d), changed, _mm256_blendv_epi8(bv, sv, set));
}

QM_AVX2 void maskedOverChangedRowAvx2(uint32_t* d, const uint32_t* s, const uint32_t* b,
                                      const uint8_t* m, ptrdiff_t bit, uint8_t* p, int32_t n) {
  int32_t i = 0;
  if ((bit & 7) == 0) {
    // Mask bytes line up with the groups: 64 pixels per step, and where no
    // bit of the previous mask lies outside this one (a mask that repeats
    // or grows) only the source is written, as by a plain masked copy.
    const __m256i sel = _mm256_setr_epi32(128, 64, 32, 16, 8, 4, 2, 1);
    const uint8_t* row = m + (bit >> 3);
    for (; i + 64 <= n; i += 64) {
      uint64_t now, before;
      std::memcpy(&now, row + (i >> 3), 8);
      std::memcpy(&before, p + (i >> 3), 8);
      std::memcpy(p + (i >> 3), &now, 8);
      if (before & ~now) {
        for (int k = 0; k < 8; ++k)
          maskedOverChangedGroupAvx2(d + i + 8 * k, s + i + 8 * k, b + i + 8 * k,
                                     static_cast<uint32_t>(now >> 8 * k) & 0xFF,
                                     static_cast<uint32_t>(before >> 8 * k) & 0xFF);
        continue;
      }
      for (int k = 0; k < 8; ++k) {
        const uint32_t bits = static_cast<uint32_t>(now >> 8 * k) & 0xFF;
        if (bits == 0) continue;
        const __m256i sv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 8 * k));
        if (bits == 0xFF) {
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i + 8 * k), sv);
          continue;
        }
        const __m256i lanes = _mm256_cmpeq_epi32(
            _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), sel), sel);
        _mm256_maskstore_epi32(reinterpret_cast<int*>(d + i + 8 * k), lanes, sv);
      }
    }
  }
  for (; i + 8 <= n; i += 8) {
    const uint32_t bits = maskByteAt(m, bit + i), before = p[i >> 3];
    p[i >> 3] = static_cast<uint8_t>(bits);
    maskedOverChangedGroupAvx2(d + i, s + i, b + i, bits, before);
  }
  maskedOverChangedTail(d + i, s + i, b + i, m, bit + i, p + (i >> 3), n - i);
}

// ---- Bilinear, ARGB32 ----

// Per destination column: the left source column of the pair that is read
// and the weight of the right one (0 .. 65536). At the last source column
// the pair is shifted one to the left with weight 65536, which yields the
// last column itself without reading past the row.
struct SmoothColumns {
  int32_t* left;
  int32_t* weight;
};

// Horizontal pass of one source row into 4 int32 channels per column:
// (l * 65536 + (r - l) * w) >> 16, which equals the general kernel's
// l + ((r - l) * fx >> 16).
void smoothRowScalar(const uint32_t* src, const SmoothColumns& cols, int32_t n, int32_t* out) {
  for (int32_t i = 0; i < n; ++i) {
    uint32_t l = src[cols.left[i]], r = src[cols.left[i] + 1];
    int32_t w = cols.weight[i];
    for (int k = 0; k < 4; ++k) {
      int32_t lc = static_cast<int32_t>((l >> (8 * k)) & 0xFF),
              rc = static_cast<int32_t>((r >> (8 * k)) & 0xFF);
      out[4 * i + k] = lc + static_cast<int32_t>((static_cast<int64_t>(rc - lc) * w) >> 16);
    }
  }
}

void smoothVertScalar(const int32_t* top, const int32_t* bottom, int32_t fy, int32_t n,
                      uint32_t* d) {
  for (int32_t i = 0; i < n; ++i) {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      int32_t t = top[4 * i + k], b = bottom[4 * i + k];
      v |= static_cast<uint32_t>((t + (((b - t) * fy) >> 16)) & 255) << (8 * k);
    }
    d[i] = v;
  }
}

QM_AVX2 void smoothRowAvx2(const uint32_t* src, const SmoothColumns& cols, int32_t n,
                           int32_t* out) {
  int32_t i = 0;
  for (; i + 2 <= n; i += 2) {
    __m128i p = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + cols.left[i]));
    __m128i q = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + cols.left[i + 1]));
    __m128i lr = _mm_unpacklo_epi32(p, q);  // l_i, l_j, r_i, r_j
    __m256i l = _mm256_cvtepu8_epi32(lr);   // l_i, l_j channels
    __m256i r = _mm256_cvtepu8_epi32(_mm_srli_si128(lr, 8));
    __m256i w =
        _mm256_set_m128i(_mm_set1_epi32(cols.weight[i + 1]), _mm_set1_epi32(cols.weight[i]));
    // (r - l) * w fits: |r - l| <= 255 and w <= 65536.
    __m256i v =
        _mm256_add_epi32(l, _mm256_srai_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(r, l), w), 16));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i), v);
  }
  smoothRowScalar(src, SmoothColumns{cols.left + i, cols.weight + i}, n - i, out + 4 * i);
}

QM_AVX2 void smoothVertAvx2(const int32_t* top, const int32_t* bottom, int32_t fy, int32_t n,
                            uint32_t* d) {
  const __m256i f = _mm256_set1_epi32(fy);
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m256i t0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top + 4 * i));
    __m256i t1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top + 4 * i + 8));
    __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom + 4 * i));
    __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom + 4 * i + 8));
    __m256i v0 = _mm256_add_epi32(
        t0, _mm256_srai_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(b0, t0), f), 16));
    __m256i v1 = _mm256_add_epi32(
        t1, _mm256_srai_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(b1, t1), f), 16));
    __m256i w = _mm256_permute4x64_epi64(_mm256_packus_epi32(v0, v1), _MM_SHUFFLE(3, 1, 2, 0));
    __m256i b = _mm256_permute4x64_epi64(_mm256_packus_epi16(w, w), _MM_SHUFFLE(3, 1, 2, 0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm256_castsi256_si128(b));
  }
  smoothVertScalar(top + 4 * i, bottom + 4 * i, fy, n - i, d + i);
}

// ---- Row fill, 32-bit ----

QM_AVX2 void fillRow32Avx2(uint32_t* d, int32_t n, uint32_t v) {
  const __m256i vv = _mm256_set1_epi32(static_cast<int>(v));
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), vv);
  // The tail as one store that ends at the row's last pixel.
  if (i < n) _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + n - 8), vv);
}

// ---- Colour spans, ARGB32 ----

// Colour spans into ARGB32: a covered run is a fill, the edge pixels
// (mostly runs of one) mix red and blue in one word and green in another,
// which is BlendRgb's (d * (256 - a) + s * a) >> 8 per channel: no product
// reaches the next channel's bits. Scaled is whether the opacity scales
// the coverage.
template <bool Scaled>
void colourSpansArgb32(uint32_t* row, int32_t from, int32_t to, const CoverageSpan* spans,
                       int32_t count, uint32_t raw, uint32_t opacity) {
  const uint32_t srb = raw & 0xFF00FF, sg = raw & 0xFF00;
  auto mix = [&](uint32_t v, uint32_t ia, uint32_t prb, uint32_t pg) {
    return (((v & 0xFF00FF) * ia + prb) >> 8 & 0xFF00FF) | (((v & 0xFF00) * ia + pg) >> 8 & 0xFF00);
  };
  for (const CoverageSpan* span = spans; span < spans + count; ++span) {
    uint32_t a = span->coverage;
    if (Scaled) a = (a * opacity + 127) / 255;
    const int32_t x0 = std::max<int32_t>(span->x, from);
    const int32_t x1 = std::min<int32_t>(span->x + span->length, to);
    if (a == 0 || x0 >= x1) continue;
    uint32_t* d = row + x0;
    const int32_t n = x1 - x0;
    if (a == 255) {
      kernels::FillRow32(d, n, raw);
      continue;
    }
    const uint32_t ia = 256 - a, prb = srb * a, pg = sg * a;
    if (n == 1) {
      *d = mix(*d, ia, prb, pg);
      continue;
    }
    for (int32_t i = 0; i < n; ++i) d[i] = mix(d[i], ia, prb, pg);
  }
}

}  // namespace

void SetPixelFastPaths(bool enabled) {
#ifdef QM_NO_FASTPATHS
  enabled = false;  // the build option wins over run-time requests
#endif
  fastPaths.store(enabled, std::memory_order_relaxed);
}
bool PixelFastPathsEnabled() { return fastPaths.load(std::memory_order_relaxed); }

namespace kernels {

bool CpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

void SpanBlendArgb32(const SpanDescriptor* sp) {
  auto row = CpuHasAvx2() ? blendRowAvx2 : blendRowSse2;
  for (int32_t j = 0; j < sp->height; ++j) {
    auto* d = reinterpret_cast<uint32_t*>(sp->dest +
                                          Offset(sp->destX, sp->destY + j, sp->destRowLength, 4));
    auto* s = reinterpret_cast<const uint32_t*>(
        sp->source + Offset(sp->sourceX, sp->sourceY + j, sp->sourceRowLength, 4));
    row(d, s, sp->sourceAlpha + ByteOffset(sp->alphaX, sp->alphaY + j, sp->sourceAlphaRowBytes),
        sp->width);
  }
}

void FillRow32(uint32_t* d, int32_t n, uint32_t v) {
  if (n >= 16 && CpuHasAvx2()) return fillRow32Avx2(d, n, v);
  std::fill_n(d, n, v);
}

void BlendColourSpansArgb32(uint32_t* row, int32_t from, int32_t to, const CoverageSpan* spans,
                            int32_t count, uint32_t raw, int32_t opacity) {
  if (opacity >= 255)
    colourSpansArgb32<false>(row, from, to, spans, count, raw, 255);
  else
    colourSpansArgb32<true>(row, from, to, spans, count, raw,
                            static_cast<uint32_t>(std::max(opacity, 0)));
}

void CopyPixelsRows(const uint8_t* src, int32_t sx, int32_t sy, uint8_t* dst, int32_t dx,
                    int32_t dy, int32_t width, int32_t height, int32_t srcRowLength,
                    int32_t dstRowLength, int32_t bpp) {
  const uint8_t* s0 = src + Offset(sx, sy, srcRowLength, bpp);
  uint8_t* d0 = dst + Offset(dx, dy, dstRowLength, bpp);
  size_t n = static_cast<size_t>(width) * static_cast<size_t>(bpp);
  // Rows in reverse when the destination lies after an overlapping source;
  // memmove handles overlap within a row.
  bool backwards = d0 > s0;
  for (int32_t jj = 0; jj < height; ++jj) {
    int32_t j = backwards ? height - 1 - jj : jj;
    std::memmove(d0 + static_cast<ptrdiff_t>(j) * dstRowLength * bpp,
                 s0 + static_cast<ptrdiff_t>(j) * srcRowLength * bpp, n);
  }
}

void CopyPixelsMasked32(const uint8_t* src, uint8_t* dst, const uint8_t* mask, int32_t sx,
                        int32_t sy, int32_t dx, int32_t dy, int32_t width, int32_t height,
                        int32_t srcRowLength, int32_t maskRowBytes, int32_t dstRowLength,
                        int32_t bpp) {
  auto row = CpuHasAvx2() ? maskedRowAvx2 : maskedRowPlain;
  for (int32_t j = 0; j < height; ++j) {
    auto* d = reinterpret_cast<uint32_t*>(dst + Offset(dx, dy + j, dstRowLength, 4));
    auto* s = reinterpret_cast<const uint32_t*>(src + Offset(sx, sy + j, srcRowLength, 4));
    row(d, s, mask + static_cast<ptrdiff_t>(sy + j) * maskRowBytes, sx, width);
  }
}

void CopyPixelsMaskedOver32(const uint8_t* src, const uint8_t* background, uint8_t* dst,
                            const uint8_t* mask, int32_t sx, int32_t sy, int32_t bx, int32_t by,
                            int32_t dx, int32_t dy, int32_t width, int32_t height,
                            int32_t srcRowLength, int32_t backgroundRowLength, int32_t maskRowBytes,
                            int32_t dstRowLength, int32_t) {
  auto row = CpuHasAvx2() ? maskedOverRowAvx2 : maskedOverRowPlain;
  for (int32_t j = 0; j < height; ++j) {
    auto* d = reinterpret_cast<uint32_t*>(dst + Offset(dx, dy + j, dstRowLength, 4));
    auto* s = reinterpret_cast<const uint32_t*>(src + Offset(sx, sy + j, srcRowLength, 4));
    auto* b =
        reinterpret_cast<const uint32_t*>(background + Offset(bx, by + j, backgroundRowLength, 4));
    row(d, s, b, mask + static_cast<ptrdiff_t>(sy + j) * maskRowBytes, sx, width);
  }
}

void CopyPixelsMaskedOverChanged32(const uint8_t* src, const uint8_t* background, uint8_t* dst,
                                   const uint8_t* mask, uint8_t* previous, int32_t sx, int32_t sy,
                                   int32_t bx, int32_t by, int32_t dx, int32_t dy, int32_t width,
                                   int32_t height, int32_t srcRowLength,
                                   int32_t backgroundRowLength, int32_t maskRowBytes,
                                   int32_t previousRowBytes, int32_t dstRowLength, int32_t) {
  auto row = CpuHasAvx2() ? maskedOverChangedRowAvx2 : maskedOverChangedRowPlain;
  for (int32_t j = 0; j < height; ++j) {
    auto* d = reinterpret_cast<uint32_t*>(dst + Offset(dx, dy + j, dstRowLength, 4));
    auto* s = reinterpret_cast<const uint32_t*>(src + Offset(sx, sy + j, srcRowLength, 4));
    auto* b =
        reinterpret_cast<const uint32_t*>(background + Offset(bx, by + j, backgroundRowLength, 4));
    const uint8_t* m = mask + static_cast<ptrdiff_t>(sy + j) * maskRowBytes;
    row(d, s, b, m, sx, previous + static_cast<ptrdiff_t>(j) * previousRowBytes, width);
  }
}

void ScaleNearestPixels32(const ScalePixelsJob* job) {
  const ScaleRequest* q = job->req;
  // Source column of every destination column, computed once; rows that
  // sample the same source row as the one before are copied from it.
  auto* cols = static_cast<int32_t*>(
      AllocMemoryArray(static_cast<size_t>(q->destWidth), sizeof(int32_t), 0));
  if (!cols) {
    ScaleNearestPixelsGeneral(job);
    return;
  }
  int64_t x = 0;
  for (int32_t i = 0; i < q->destWidth; ++i, x += job->xStep)
    cols[i] = static_cast<int32_t>(std::min<int64_t>(x >> 16, q->sourceWidth - 1));
  double acc = 0;
  int32_t prev = -1;
  size_t rowBytes = static_cast<size_t>(q->destWidth) * 4;
  for (int32_t j = 0; j < q->destHeight; ++j, acc += job->yScale) {
    int32_t sy = NearestSourceRow(acc, q->sourceHeight);
    auto* d = reinterpret_cast<uint32_t*>(q->dest + Offset(0, j, q->destRowLength, 4));
    if (sy == prev) {
      std::memcpy(d, q->dest + Offset(0, j - 1, q->destRowLength, 4), rowBytes);
      continue;
    }
    auto* s = reinterpret_cast<const uint32_t*>(q->source + Offset(0, sy, q->sourceRowLength, 4));
    for (int32_t i = 0; i < q->destWidth; ++i) d[i] = s[cols[i]];
    prev = sy;
  }
  FreeMemory(cols);
}

void ScaleSmoothPixelsArgb32(const ScalePixelsJob* job) {
  const ScaleRequest* q = job->req;
  int32_t dw = q->destWidth, sw = q->sourceWidth;
  if (sw < 2) {
    ScaleSmoothPixelsGeneral(job);
    return;
  }
  size_t n = static_cast<size_t>(dw);
  auto* left = static_cast<int32_t*>(AllocMemoryArray(n, sizeof(int32_t), 0));
  auto* weight = static_cast<int32_t*>(AllocMemoryArray(n, sizeof(int32_t), 0));
  auto* rowA = static_cast<int32_t*>(AllocMemoryArray(n, 4 * sizeof(int32_t), 0));
  auto* rowB = static_cast<int32_t*>(AllocMemoryArray(n, 4 * sizeof(int32_t), 0));
  if (!left || !weight || !rowA || !rowB) {
    FreeMemory(left);
    FreeMemory(weight);
    FreeMemory(rowA);
    FreeMemory(rowB);
    ScaleSmoothPixelsGeneral(job);
    return;
  }
  for (int32_t i = 0; i < dw; ++i) {
    int64_t x = SmoothPosition(i, sw, dw);
    int32_t c = static_cast<int32_t>(x >> 16);
    if (c + 1 < sw) {
      left[i] = c;
      weight[i] = static_cast<int32_t>(x & 0xFFFF);
    } else {
      left[i] = sw - 2;
      weight[i] = 65536;
    }
  }
  SmoothColumns cols{left, weight};
  bool avx2 = CpuHasAvx2();
  auto hpass = avx2 ? smoothRowAvx2 : smoothRowScalar;
  auto vpass = avx2 ? smoothVertAvx2 : smoothVertScalar;
  int32_t* buf[2] = {rowA, rowB};
  int32_t held[2] = {-1, -1};
  auto rowOf = [&](int32_t r, int32_t keep) -> int32_t* {
    for (int k = 0; k < 2; ++k)
      if (held[k] == r) return buf[k];
    int k = held[0] == keep ? 1 : 0;
    hpass(reinterpret_cast<const uint32_t*>(q->source + Offset(0, r, q->sourceRowLength, 4)), cols,
          dw, buf[k]);
    held[k] = r;
    return buf[k];
  };
  for (int32_t j = 0; j < q->destHeight; ++j) {
    int64_t y = SmoothPosition(j, q->sourceHeight, q->destHeight);
    int32_t r = static_cast<int32_t>(y >> 16), fy = static_cast<int32_t>(y & 0xFFFF);
    int32_t r1 = r + 1 < q->sourceHeight ? r + 1 : r;
    int32_t* top = rowOf(r, r1);
    int32_t* bottom = rowOf(r1, r);
    vpass(top, bottom, fy, dw,
          reinterpret_cast<uint32_t*>(q->dest + Offset(0, j, q->destRowLength, 4)));
  }
  FreeMemory(left);
  FreeMemory(weight);
  FreeMemory(rowA);
  FreeMemory(rowB);
}

}  // namespace kernels
