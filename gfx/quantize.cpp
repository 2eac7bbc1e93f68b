// Colour quantiser: reduces a true-colour image to at most 256 palette
// entries and writes one index byte per pixel. An image with few enough
// distinct values keeps them exactly, in order of first appearance;
// otherwise the palette comes from a median cut over a 32 x 64 x 32 colour
// histogram, and pixels map through an inverse colour map that is filled
// lazily, one 4 x 8 x 4 block of cells at a time, optionally with
// Floyd-Steinberg error diffusion. All working memory is freed on return.
#include <cstring>

#include "gfx/effects_private.h"
#include "gfx/gfx.h"
#include "gfx/pixel_private.h"
#include "platform/linux/platform.h"

namespace {

constexpr int HIST_C0 = 32, HIST_C1 = 64, HIST_C2 = 32;  // 5/6/5 bits per channel
constexpr size_t HIST_CELLS = static_cast<size_t>(HIST_C0) * HIST_C1 * HIST_C2;
constexpr int MAX_PALETTE = 256;

using Histogram = uint16_t;  // counts saturate at 65535

inline size_t cell(int c0, int c1, int c2) {
  return (static_cast<size_t>(c0) * HIST_C1 + c1) * HIST_C2 + c2;
}

struct Box {
  int32_t c0min, c0max, c1min, c1max, c2min, c2max;
  int64_t volume;
  int64_t colours;
};

struct Palette {
  int32_t count = 0;
  uint8_t r[MAX_PALETTE] = {}, g[MAX_PALETTE] = {}, b[MAX_PALETTE] = {};
};

const uint8_t* pixelAddress(const QuantizeRequest* q, int32_t x, int32_t y) {
  return static_cast<const uint8_t*>(q->pixels) +
         (static_cast<ptrdiff_t>(y) * q->rowLength + x) * q->bytesPerPixel;
}

uint32_t readRgb(const QuantizeRequest* q, int32_t x, int32_t y) {
  uint8_t c[3] = {0, 0, 0};
  ReadPixelRGB(pixelAddress(q, x, y), q->format, c);
  return static_cast<uint32_t>(c[0]) << 16 | static_cast<uint32_t>(c[1]) << 8 | c[2];
}

// The stored value of a pixel as the exact-palette step compares it: the
// 16-bit word, the three bytes most significant first, or the colour bytes
// of a 32-bit word.
uint32_t rawValue(const QuantizeRequest* q, int32_t x, int32_t y) {
  const uint8_t* p = pixelAddress(q, x, y);
  switch (q->bytesPerPixel) {
    case 2:
      return pixel::Load16(p);
    case 3:
      return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
    default: {
      uint32_t v = pixel::Load32(p);
      bool alphaLow = q->format == PIXFMT_BGRA32 || q->format == PIXFMT_RGBA32;
      return v & (alphaLow ? 0xFFFFFF00u : 0x00FFFFFFu);
    }
  }
}

// Exact palette: true when the image has at most limit distinct values.
// A small open-addressing table maps each value to its list position.
bool exactPalette(QuantizeRequest* q, int32_t limit) {
  if (limit < 1) return false;
  constexpr int SLOTS = 1024;  // more than 4 x the largest list
  uint32_t keys[SLOTS];
  int16_t slot[SLOTS];
  std::memset(slot, -1, sizeof slot);
  uint32_t colours[MAX_PALETTE];
  int32_t count = 0;
  auto lookup = [&](uint32_t v, bool insert) -> int32_t {
    uint32_t h = (v * 2654435761u) >> 22;
    while (slot[h] >= 0) {
      if (keys[h] == v) return slot[h];
      h = (h + 1) & (SLOTS - 1);
    }
    if (!insert) return -1;
    keys[h] = v;
    slot[h] = static_cast<int16_t>(count);
    return -2;
  };
  for (int32_t y = 0; y < q->height; ++y)
    for (int32_t x = 0; x < q->width; ++x) {
      uint32_t v = rawValue(q, x, y);
      if (lookup(v, false) >= 0) continue;
      if (count == limit) return false;
      lookup(v, true);
      colours[count++] = readRgb(q, x, y);
    }
  for (int32_t y = 0; y < q->height; ++y) {
    uint8_t* out = q->indices + static_cast<ptrdiff_t>(y) * q->width;
    for (int32_t x = 0; x < q->width; ++x)
      out[x] = static_cast<uint8_t>(lookup(rawValue(q, x, y), false));
  }
  q->keyIndex = -1;
  for (int32_t i = 0; i < count; ++i) {
    q->palette[i] = colours[i];
    if (q->keyColour >= 0 && colours[i] == static_cast<uint32_t>(q->keyColour)) q->keyIndex = i;
  }
  q->colourCount = count + (q->reserve ? 1 : 0);
  q->result = 1;
  return true;
}

// Shrinks each bound pair to the cells that hold counts, then computes the
// box's scaled volume and its number of non-empty cells.
void updateBox(const Histogram* hist, Box* b) {
  auto any0 = [&](int c0) {
    for (int c1 = b->c1min; c1 <= b->c1max; ++c1)
      for (int c2 = b->c2min; c2 <= b->c2max; ++c2)
        if (hist[cell(c0, c1, c2)]) return true;
    return false;
  };
  auto any1 = [&](int c1) {
    for (int c0 = b->c0min; c0 <= b->c0max; ++c0)
      for (int c2 = b->c2min; c2 <= b->c2max; ++c2)
        if (hist[cell(c0, c1, c2)]) return true;
    return false;
  };
  auto any2 = [&](int c2) {
    for (int c0 = b->c0min; c0 <= b->c0max; ++c0)
      for (int c1 = b->c1min; c1 <= b->c1max; ++c1)
        if (hist[cell(c0, c1, c2)]) return true;
    return false;
  };
  auto shrink = [](int32_t* lo, int32_t* hi, auto&& any) {
    if (*hi > *lo)
      for (int32_t c = *lo; c <= *hi; ++c)
        if (any(c)) {
          *lo = c;
          break;
        }
    if (*hi > *lo)
      for (int32_t c = *hi; c >= *lo; --c)
        if (any(c)) {
          *hi = c;
          break;
        }
  };
  shrink(&b->c0min, &b->c0max, any0);
  shrink(&b->c1min, &b->c1max, any1);
  shrink(&b->c2min, &b->c2max, any2);
  int64_t d0 = (b->c0max - b->c0min) * 16, d1 = (b->c1max - b->c1min) * 12,
          d2 = (b->c2max - b->c2min) * 8;
  b->volume = d0 * d0 + d1 * d1 + d2 * d2;
  int64_t n = 0;
  for (int c0 = b->c0min; c0 <= b->c0max; ++c0)
    for (int c1 = b->c1min; c1 <= b->c1max; ++c1)
      for (int c2 = b->c2min; c2 <= b->c2max; ++c2)
        if (hist[cell(c0, c1, c2)]) ++n;
  b->colours = n;
}

int32_t medianCut(const Histogram* hist, Box* boxes, int32_t wanted) {
  boxes[0] = Box{0, HIST_C0 - 1, 0, HIST_C1 - 1, 0, HIST_C2 - 1, 0, 0};
  updateBox(hist, &boxes[0]);
  int32_t count = 1;
  while (count < wanted) {
    int32_t pick = -1;
    int64_t best = 0;
    bool byColours = count * 2 <= wanted;
    for (int32_t i = 0; i < count; ++i) {
      if (boxes[i].colours == 0 || boxes[i].volume == 0) continue;
      int64_t v = byColours ? boxes[i].colours : boxes[i].volume;
      if (v > best) {
        best = v;
        pick = i;
      }
    }
    if (pick < 0) break;
    Box* b1 = &boxes[pick];
    Box* b2 = &boxes[count];
    *b2 = *b1;
    int64_t l0 = (b1->c0max - b1->c0min) * 16, l1 = (b1->c1max - b1->c1min) * 12,
            l2 = (b1->c2max - b1->c2min) * 8;
    if (l2 > l0 && l2 > l1) {
      int32_t split = (b1->c2min + b1->c2max) / 2;
      b1->c2max = split;
      b2->c2min = split + 1;
    } else if (l0 > l1) {
      int32_t split = (b1->c0min + b1->c0max) / 2;
      b1->c0max = split;
      b2->c0min = split + 1;
    } else {
      int32_t split = (b1->c1min + b1->c1max) / 2;
      b1->c1max = split;
      b2->c1min = split + 1;
    }
    updateBox(hist, b1);
    updateBox(hist, b2);
    ++count;
  }
  return count;
}

void boxColour(const Histogram* hist, const Box& b, Palette* pal, int32_t i) {
  int64_t total = 0, s0 = 0, s1 = 0, s2 = 0;
  for (int c0 = b.c0min; c0 <= b.c0max; ++c0)
    for (int c1 = b.c1min; c1 <= b.c1max; ++c1)
      for (int c2 = b.c2min; c2 <= b.c2max; ++c2) {
        int64_t n = hist[cell(c0, c1, c2)];
        if (!n) continue;
        total += n;
        s0 += (c0 * 8 + 4) * n;
        s1 += (c1 * 4 + 2) * n;
        s2 += (c2 * 8 + 4) * n;
      }
  if (total == 0) {
    pal->r[i] = pal->g[i] = pal->b[i] = 255;
    return;
  }
  pal->r[i] = static_cast<uint8_t>((s0 + total / 2) / total);
  pal->g[i] = static_cast<uint8_t>((s1 + total / 2) / total);
  pal->b[i] = static_cast<uint8_t>((s2 + total / 2) / total);
}

// Fills the 4 x 8 x 4 block of inverse-map cells around cell (c0, c1, c2)
// with the nearest palette entry of each cell centre. Only the colours
// that can be nearest to some point of the block are tried: those whose
// smallest distance to the block is within the smallest largest distance.
void fillInverseColorMap(const Palette& pal, Histogram* cache, int c0, int c1, int c2) {
  int b0 = (c0 >> 2) << 2, b1 = (c1 >> 3) << 3, b2 = (c2 >> 2) << 2;
  int minc[3] = {(c0 >> 2) * 32 + 4, (c1 >> 3) * 32 + 2, (c2 >> 2) * 32 + 4};
  int maxc[3] = {minc[0] + 24, minc[1] + 28, minc[2] + 24};
  const int scale[3] = {2, 3, 1};
  int64_t mindist[MAX_PALETTE];
  int64_t minmax = INT64_MAX;
  for (int32_t i = 0; i < pal.count; ++i) {
    int x[3] = {pal.r[i], pal.g[i], pal.b[i]};
    int64_t lo = 0, hi = 0;
    for (int a = 0; a < 3; ++a) {
      int64_t dmin, dmax;
      if (x[a] < minc[a]) {
        dmin = static_cast<int64_t>(x[a] - minc[a]) * scale[a];
        dmax = static_cast<int64_t>(x[a] - maxc[a]) * scale[a];
      } else if (x[a] > maxc[a]) {
        dmin = static_cast<int64_t>(x[a] - maxc[a]) * scale[a];
        dmax = static_cast<int64_t>(x[a] - minc[a]) * scale[a];
      } else {
        dmin = 0;
        dmax = (x[a] <= (minc[a] + maxc[a]) >> 1 ? x[a] - maxc[a] : x[a] - minc[a]) *
               static_cast<int64_t>(scale[a]);
      }
      lo += dmin * dmin;
      hi += dmax * dmax;
    }
    mindist[i] = lo;
    if (hi < minmax) minmax = hi;
  }
  int32_t best[4][8][4];
  int64_t bestDist[4][8][4];
  for (auto& p : bestDist)
    for (auto& q : p)
      for (auto& d : q) d = 0x7FFFFFFF;
  for (int32_t i = 0; i < pal.count; ++i) {
    if (mindist[i] > minmax) continue;
    for (int i0 = 0; i0 < 4; ++i0) {
      int64_t d0 = static_cast<int64_t>(minc[0] + i0 * 8 - pal.r[i]) * 2;
      for (int i1 = 0; i1 < 8; ++i1) {
        int64_t d1 = static_cast<int64_t>(minc[1] + i1 * 4 - pal.g[i]) * 3;
        for (int i2 = 0; i2 < 4; ++i2) {
          int64_t d2 = static_cast<int64_t>(minc[2] + i2 * 8 - pal.b[i]);
          int64_t d = d0 * d0 + d1 * d1 + d2 * d2;
          if (d < bestDist[i0][i1][i2]) {  // ties keep the earlier colour
            bestDist[i0][i1][i2] = d;
            best[i0][i1][i2] = i;
          }
        }
      }
    }
  }
  for (int i0 = 0; i0 < 4; ++i0)
    for (int i1 = 0; i1 < 8; ++i1)
      for (int i2 = 0; i2 < 4; ++i2)
        cache[cell(b0 + i0, b1 + i1, b2 + i2)] = static_cast<Histogram>(best[i0][i1][i2] + 1);
}

int32_t mapColour(const Palette& pal, Histogram* cache, int r, int g, int b) {
  int c0 = r >> 3, c1 = g >> 2, c2 = b >> 3;
  Histogram* c = &cache[cell(c0, c1, c2)];
  if (*c == 0) fillInverseColorMap(pal, cache, c0, c1, c2);
  return *c - 1;
}

// Error limit: small errors pass, medium ones are halved, large ones capped,
// so that diffusion never streaks across flat areas.
int32_t errorLimit(int32_t e) {
  int32_t a = e < 0 ? -e : e;
  int32_t l = a < 16 ? a : (a < 48 ? (a + 16) >> 1 : 32);
  return e < 0 ? -l : l;
}

struct WorkMemory {
  Histogram* hist = nullptr;
  Box* boxes = nullptr;
  int32_t* limits = nullptr;
  int16_t* errors = nullptr;
  ~WorkMemory() {
    FreeMemory(hist);
    FreeMemory(boxes);
    FreeMemory(limits);
    FreeMemory(errors);
  }
};

}  // namespace

void QuantizeColors(QuantizeRequest* q) {
  q->result = 0;
  if (q->width <= 0 || q->height <= 0 || !q->pixels || !q->indices || !q->palette) return;
  if (q->bytesPerPixel < 2 || q->bytesPerPixel > 4) return;
  int32_t wantedIn = q->colourCount > MAX_PALETTE ? MAX_PALETTE : q->colourCount;
  if (wantedIn < 1) wantedIn = 1;
  if (exactPalette(q, wantedIn - (q->reserve ? 1 : 0))) return;

  bool hasKey = q->keyColour >= 0;
  int32_t wanted = wantedIn;
  int32_t cap = (hasKey || q->reserve) ? MAX_PALETTE - 1 : MAX_PALETTE;
  if (wanted > cap) wanted = cap;

  WorkMemory work;
  work.hist = static_cast<Histogram*>(AllocMemoryArray(HIST_CELLS, sizeof(Histogram), 1));
  work.boxes = static_cast<Box*>(AllocMemoryArray(static_cast<size_t>(wanted), sizeof(Box), 1));
  work.limits = static_cast<int32_t*>(AllocMemoryArray(511, sizeof(int32_t), 0));
  if (!work.hist || !work.boxes || !work.limits) return;
  if (q->dither) {
    size_t slots;
    if (!fx::AddSize(static_cast<size_t>(q->width), 2, &slots) || !fx::MulSize(slots, 3, &slots))
      return;
    work.errors = static_cast<int16_t*>(AllocMemoryArray(slots, sizeof(int16_t), 1));
    if (!work.errors) return;
  }

  for (int32_t y = 0; y < q->height; ++y)
    for (int32_t x = 0; x < q->width; ++x) {
      uint32_t c = readRgb(q, x, y);
      if (hasKey && c == static_cast<uint32_t>(q->keyColour)) continue;
      Histogram* h = &work.hist[cell(c >> 19, (c >> 10) & 63, (c >> 3) & 31)];
      if (*h < 65535) ++*h;
    }

  Palette pal;
  int32_t boxes = medianCut(work.hist, work.boxes, wanted);
  for (int32_t i = 0; i < boxes; ++i) boxColour(work.hist, work.boxes[i], &pal, i);
  pal.count = boxes;
  int32_t keyIndex = hasKey ? boxes : -1;

  std::memset(work.hist, 0, HIST_CELLS * sizeof(Histogram));
  if (!q->dither) {
    for (int32_t y = 0; y < q->height; ++y) {
      uint8_t* out = q->indices + static_cast<ptrdiff_t>(y) * q->width;
      for (int32_t x = 0; x < q->width; ++x) {
        uint32_t c = readRgb(q, x, y);
        if (hasKey && c == static_cast<uint32_t>(q->keyColour))
          out[x] = static_cast<uint8_t>(keyIndex);
        else
          out[x] = static_cast<uint8_t>(
              mapColour(pal, work.hist, (c >> 16) & 255, (c >> 8) & 255, c & 255));
      }
    }
  } else {
    int32_t* limit = work.limits + 255;
    for (int32_t e = -255; e <= 255; ++e) limit[e] = errorLimit(e);
    const uint8_t* palCh[3] = {pal.r, pal.g, pal.b};
    for (int32_t y = 0; y < q->height; ++y) {
      uint8_t* out = q->indices + static_cast<ptrdiff_t>(y) * q->width;
      int32_t cur[3] = {0, 0, 0}, prev[3] = {0, 0, 0}, below[3] = {0, 0, 0};
      int16_t* slot = work.errors;  // slot k + 1 holds column k's error from above
      for (int32_t x = 0; x < q->width; ++x, slot += 3) {
        uint32_t c = readRgb(q, x, y);
        if (hasKey && c == static_cast<uint32_t>(q->keyColour)) {
          out[x] = static_cast<uint8_t>(keyIndex);
          // A key pixel diffuses nothing: the slot this pixel would have
          // written is cleared instead of keeping last row's value.
          slot[0] = slot[1] = slot[2] = 0;
          continue;
        }
        int32_t v[3] = {static_cast<int32_t>((c >> 16) & 255), static_cast<int32_t>((c >> 8) & 255),
                        static_cast<int32_t>(c & 255)};
        for (int ch = 0; ch < 3; ++ch) {
          int32_t e = (cur[ch] + slot[3 + ch] + 8) >> 4;
          if (e < -255) e = -255;
          if (e > 255) e = 255;
          int32_t t = v[ch] + limit[e];
          v[ch] = t < 0 ? 0 : (t > 255 ? 255 : t);
        }
        int32_t index = mapColour(pal, work.hist, v[0], v[1], v[2]);
        out[x] = static_cast<uint8_t>(index);
        for (int ch = 0; ch < 3; ++ch) {
          int32_t err = v[ch] - palCh[ch][index];
          slot[ch] = static_cast<int16_t>(prev[ch] + 3 * err);
          prev[ch] = below[ch] + 5 * err;
          below[ch] = err;
          cur[ch] = 7 * err;
        }
      }
      for (int ch = 0; ch < 3; ++ch) slot[ch] = static_cast<int16_t>(prev[ch]);
    }
  }

  int32_t total = boxes;
  for (int32_t i = 0; i < boxes; ++i)
    q->palette[i] =
        static_cast<uint32_t>(pal.r[i]) << 16 | static_cast<uint32_t>(pal.g[i]) << 8 | pal.b[i];
  if (hasKey || q->reserve) {
    q->palette[boxes] = hasKey ? static_cast<uint32_t>(q->keyColour) & 0xFFFFFF : 0;
    ++total;
  }
  q->colourCount = total;
  q->keyIndex = keyIndex;
  q->result = 1;
}
