// Plain reference of the pixel engine's kernels for the random-operation
// test: one straightforward loop per operation, written from the kernel
// rules without sharing code with the engine (its own format decoding
// included), slow and obvious on purpose.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ref {

inline uint32_t load(const uint8_t* p, int bpp) {
  return bpp == 4 ? (p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24)
                  : (p[0] | p[1] << 8);
}
inline void store(uint8_t* p, int bpp, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  if (bpp == 4) {
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
  }
}
inline int bppOf(uint32_t f) { return f <= 7 ? 2 : 4; }

struct Rgba {
  int r, g, b, a;
};

// Channels of a stored pixel: 16-bit fields widened by shifting (low bits
// zero, alpha 0); 32-bit layouts by byte position.
inline Rgba channels(uint32_t v, uint32_t f) {
  if (f <= 7) {
    if (f == 2 || f == 3 || f == 6 || f == 7) v = ((v & 0xFF) << 8) | (v >> 8);
    int hi, g, lo;
    if (f <= 3) {
      hi = ((v >> 10) & 31) << 3;
      g = ((v >> 5) & 31) << 3;
      lo = (v & 31) << 3;
    } else {
      hi = ((v >> 11) & 31) << 3;
      g = ((v >> 5) & 63) << 2;
      lo = (v & 31) << 3;
    }
    bool bgr = f == 1 || f == 3 || f == 5 || f == 7;
    return bgr ? Rgba{lo, g, hi, 0} : Rgba{hi, g, lo, 0};
  }
  int b0 = v & 0xFF, b1 = (v >> 8) & 0xFF, b2 = (v >> 16) & 0xFF, b3 = v >> 24;
  switch (f) {
    case 11:
      return {b1, b2, b3, b0};
    case 12:
      return {b3, b2, b1, b0};
    case 13:
      return {b0, b1, b2, b3};
    default:
      return {b2, b1, b0, b3};
  }
}
inline uint32_t compose(Rgba c, uint32_t f) {
  if (f <= 7) {
    int r = c.r & 0xFF, g = c.g & 0xFF, b = c.b & 0xFF;
    if (f == 1 || f == 3 || f == 5 || f == 7) std::swap(r, b);
    uint32_t v = f <= 3 ? ((r >> 3) << 10 | (g >> 3) << 5 | (b >> 3))
                        : ((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3));
    if (f == 2 || f == 3 || f == 6 || f == 7) v = ((v & 0xFF) << 8) | (v >> 8);
    return v;
  }
  uint32_t r = c.r & 0xFF, g = c.g & 0xFF, b = c.b & 0xFF, a = c.a & 0xFF;
  switch (f) {
    case 11:
      return b << 24 | g << 16 | r << 8 | a;
    case 12:
      return r << 24 | g << 16 | b << 8 | a;
    case 13:
      return a << 24 | b << 16 | g << 8 | r;
    default:
      return a << 24 | r << 16 | g << 8 | b;
  }
}
// Native channels for arithmetic: format 10 keeps its alpha, the other
// 32-bit layouts and all 16-bit ones give alpha 0; results carry alpha 0.
inline Rgba nativeOf(uint32_t v, uint32_t f) {
  Rgba c = channels(v, f);
  if (f != 10) c.a = 0;
  return c;
}
inline int mixc(int d, int s, int a) {
  return d + static_cast<int>(std::floor((s - d) * a / 256.0));
}
inline uint32_t blendPixel(uint32_t d, uint32_t s, int a, uint32_t f) {
  Rgba dc = nativeOf(d, f), sc = nativeOf(s, f);
  return compose(Rgba{mixc(dc.r, sc.r, a), mixc(dc.g, sc.g, a), mixc(dc.b, sc.b, a), 0}, f);
}
inline bool bit(const uint8_t* row, long x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }

struct Plane {  // a pixel, alpha or mask buffer with its row stride in bytes
  uint8_t* p;
  long stride;
  uint8_t* at(long x, long y, int bpp) const { return p + y * stride + x * bpp; }
};

inline void span(int mode, Plane s, long sx, long sy, Plane d, long dx, long dy, Plane a, Plane da,
                 bool hasDa, long w, long h, uint32_t f) {
  int bpp = bppOf(f);
  for (long j = 0; j < h; ++j)
    for (long i = 0; i < w; ++i) {
      int av = *a.at(sx + i, sy + j, 1);
      uint8_t* dp = d.at(dx + i, dy + j, bpp);
      uint32_t sv = load(s.at(sx + i, sy + j, bpp), bpp);
      if (av == 0) continue;
      if (av == 255 || mode == 1) {
        store(dp, bpp, sv);
        continue;
      }
      if (mode == 0) {
        store(dp, bpp, blendPixel(load(dp, bpp), sv, av, f));
        continue;
      }
      int dav = hasDa ? *da.at(dx + i, dy + j, 1) : 255;
      int outA = std::min(255, ((255 - av) * dav + 255 * av + 127) / 255);
      int wgt = ((255 - av) * dav + 127) / 255;
      Rgba sc = nativeOf(sv, f), dc = nativeOf(load(dp, bpp), f);
      auto ch = [&](int x, int y) { return std::min(255, (x * av + y * wgt + 127) / outA); };
      store(dp, bpp, compose(Rgba{ch(sc.r, dc.r), ch(sc.g, dc.g), ch(sc.b, dc.b), 0}, f));
    }
}

inline void fill(Plane d, long x, long y, long w, long h, uint32_t colour, int opacity,
                 uint32_t f) {
  int bpp = bppOf(f);
  Rgba col{static_cast<int>((colour >> 16) & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
           static_cast<int>(colour & 0xFF), 0};
  if (bpp == 2) col = nativeOf(compose(col, 4), 4);
  for (long j = 0; j < h; ++j)
    for (long i = 0; i < w; ++i) {
      uint8_t* dp = d.at(x + i, y + j, bpp);
      if (opacity >= 255) {
        store(dp, bpp, compose(col, f) & (bpp == 4 ? 0xFFFFFFFFu : 0xFFFFu));
        continue;
      }
      Rgba dc = nativeOf(load(dp, bpp), f);
      store(dp, bpp,
            compose(Rgba{mixc(dc.r, col.r, opacity), mixc(dc.g, col.g, opacity),
                         mixc(dc.b, col.b, opacity), 0},
                    f));
    }
}

inline void copy(Plane s, long sx, long sy, Plane d, long dx, long dy, long w, long h, int bpp,
                 const Plane* mask) {
  for (long j = 0; j < h; ++j)
    for (long i = 0; i < w; ++i)
      if (!mask || bit(mask->p + (sy + j) * mask->stride, sx + i))
        std::memcpy(d.at(dx + i, dy + j, bpp), s.at(sx + i, sy + j, bpp), static_cast<size_t>(bpp));
}

inline void mix(Plane a, Plane b, const Plane* mask, long maskBit, long w, long h, int level,
                uint32_t f) {
  int bpp = bppOf(f);
  for (long j = 0; j < h; ++j)
    for (long i = 0; i < w; ++i) {
      if (mask && !bit(mask->p + j * mask->stride, maskBit + i)) continue;
      uint8_t* bp = b.at(i, j, bpp);
      Rgba ac = nativeOf(load(a.at(i, j, bpp), bpp), f), bc = nativeOf(load(bp, bpp), f);
      int wgt = 255 - level;
      store(
          bp, bpp,
          compose(Rgba{mixc(ac.r, bc.r, wgt), mixc(ac.g, bc.g, wgt), mixc(ac.b, bc.b, wgt), 0}, f));
    }
}

inline void combineAlpha(Plane s, long sx, long sy, Plane d, long dx, long dy, long w, long h,
                         int mode, int level) {
  if (mode > 9) mode = 0;
  for (long j = 0; j < h; ++j)
    for (long i = 0; i < w; ++i) {
      int sv = *s.at(sx + i, sy + j, 1);
      uint8_t* dp = d.at(dx + i, dy + j, 1);
      int dv = *dp;
      int out = dv;
      switch (mode) {
        case 0:
          out = sv;
          break;
        case 1:
          if (sv) out = sv;
          break;
        case 2:
          if (sv) out = 255 - sv;
          break;
        case 3:
          if (sv) out = 255;
          break;
        case 4:
          if (sv) out = std::clamp(sv * level / 255, 0, 255);
          break;
        case 5:
          if (sv && dv) out = 255 - sv;
          break;
        case 6:
          if (sv) out = level & 255;
          break;
        case 7:
          out = sv && dv ? sv : 0;
          break;
        case 8:
          if (sv == 255) out = 255;
          break;
        case 9:
          if (sv == 255)
            out = 255;
          else if (sv)
            out = std::min(255, (255 * sv + (255 - sv) * dv + 127) / 255);
          break;
      }
      *dp = static_cast<uint8_t>(out);
    }
}

// Alpha-channel draw; colour is a pixel value of the format.
inline void alphaDraw(Plane a, long ax, long ay, bool alpha16, Plane d, long dx, long dy, Plane* da,
                      const Plane* src, uint32_t colour, long w, long h, int level, int mode,
                      uint32_t f) {
  int bpp = bppOf(f);
  if ((mode == 2 || mode == 3) && !da) return;
  for (long j = 0; j < h; ++j)
    for (long i = 0; i < w; ++i) {
      int av = alpha16 ? *a.at((ax + i) * 2, ay + j, 1) : *a.at(ax + i, ay + j, 1);
      if (av == 0) continue;
      uint8_t* dp = d.at(dx + i, dy + j, bpp);
      uint32_t s = src && mode != 3 ? load(src->at(ax + i, ay + j, bpp), bpp) : colour;
      if (mode == 2 || mode == 3) {
        uint8_t* dap = da->at(dx + i, dy + j, 1);
        int dav = *dap;
        if (dav) {
          store(dp, bpp, blendPixel(load(dp, bpp), s, av, f));
          *dap = static_cast<uint8_t>(
              (dav + static_cast<int>(std::floor((av - dav) * av / 256.0))) * level / 255);
        } else {
          store(dp, bpp, s);
          *dap = static_cast<uint8_t>(av * level / 255);
        }
        continue;
      }
      if (mode == 4) {
        if (av == 64) {
          store(dp, bpp, s);
          continue;
        }
        av = (4 * av) & 255;
        if (!av) continue;
      } else if (mode != 1) {
        store(dp, bpp, s);
        continue;
      }
      store(dp, bpp, av == 255 ? s : blendPixel(load(dp, bpp), s, av, f));
    }
}

// Nearest scaling of pixels, mask (with bit offset) and alpha.
inline void scaleNearest(Plane s, Plane d, const Plane* sm, long maskBit, Plane* dm,
                         const Plane* sa, Plane* dA, long sw, long sh, long dw, long dh, int bpp) {
  float xs = static_cast<float>(sw) / static_cast<float>(dw),
        ys = static_cast<float>(sh) / static_cast<float>(dh);
  long long step = static_cast<long long>(static_cast<double>(xs) * 65536.0);
  for (long j = 0; j < dh; ++j) {
    // Row j samples the sum of j steps of the single-precision scale.
    double acc = 0;
    for (long k = 0; k < j; ++k) acc += static_cast<double>(ys);
    long sy = std::min<long>(static_cast<long>(acc), sh - 1);
    for (long i = 0; i < dw; ++i) {
      long sx = std::min<long>(static_cast<long>((i * step) >> 16), sw - 1);
      if (s.p) std::memcpy(d.at(i, j, bpp), s.at(sx, sy, bpp), static_cast<size_t>(bpp));
      if (sm) {
        uint8_t* row = dm->p + j * dm->stride;
        bool on = bit(sm->p + sy * sm->stride, sx + maskBit);
        row[i >> 3] = static_cast<uint8_t>(on ? row[i >> 3] | (0x80 >> (i & 7))
                                              : row[i >> 3] & ~(0x80 >> (i & 7)));
      }
      if (sa) *dA->at(i, j, 1) = *sa->at(sx, sy, 1);
    }
  }
}

inline long long smoothPos(long i, long s, long d) {
  if (d <= 1) return 0;
  long long step = (s - 1) * 65536LL / (d - 1);
  return std::min(i * step, s * 65536LL - 1);
}

inline int lerp(int a, int b, int f) {
  return (a + static_cast<int>(std::floor((b - a) * static_cast<double>(f) / 65536.0))) & 255;
}

inline void scaleSmooth(Plane s, Plane d, long sw, long sh, long dw, long dh, uint32_t f) {
  int bpp = bppOf(f);
  for (long j = 0; j < dh; ++j) {
    long long y = smoothPos(j, sh, dh);
    long r = static_cast<long>(y >> 16), r1 = std::min(r + 1, sh - 1);
    int fy = static_cast<int>(y & 0xFFFF);
    for (long i = 0; i < dw; ++i) {
      long long x = smoothPos(i, sw, dw);
      long c = static_cast<long>(x >> 16), c1 = std::min(c + 1, sw - 1);
      int fx = static_cast<int>(x & 0xFFFF);
      Rgba p00 = channels(load(s.at(c, r, bpp), bpp), f),
           p01 = channels(load(s.at(c1, r, bpp), bpp), f);
      Rgba p10 = channels(load(s.at(c, r1, bpp), bpp), f),
           p11 = channels(load(s.at(c1, r1, bpp), bpp), f);
      auto ch = [&](int a, int b, int cc, int dd) {
        return lerp(lerp(a, b, fx), lerp(cc, dd, fx), fy);
      };
      Rgba o{ch(p00.r, p01.r, p10.r, p11.r), ch(p00.g, p01.g, p10.g, p11.g),
             ch(p00.b, p01.b, p10.b, p11.b), ch(p00.a, p01.a, p10.a, p11.a)};
      store(d.at(i, j, bpp), bpp, compose(o, f));
    }
  }
}

// Boundary fill as a breadth-first search over 4-connected pixels that are
// not border; equal to the span fill when no pixel holds the fill colour
// beforehand. Pixels are compared through cmp.
inline void flood(uint8_t* px, long stride, long w, long h, int bpp, uint32_t border,
                  uint32_t fillValue, uint32_t cmp, long x, long y) {
  auto at = [&](long i, long j) { return px + j * stride + i * bpp; };
  if ((load(at(x, y), bpp) & cmp) == border) return;
  std::vector<uint8_t> seen(static_cast<size_t>(w * h), 0);
  std::vector<long> todo{y * w + x};
  seen[static_cast<size_t>(y * w + x)] = 1;
  while (!todo.empty()) {
    long k = todo.back();
    todo.pop_back();
    long i = k % w, j = k / w;
    store(at(i, j), bpp, fillValue);
    const long nb[4][2] = {{i - 1, j}, {i + 1, j}, {i, j - 1}, {i, j + 1}};
    for (const auto& n : nb) {
      if (n[0] < 0 || n[1] < 0 || n[0] >= w || n[1] >= h ||
          seen[static_cast<size_t>(n[1] * w + n[0])])
        continue;
      if ((load(at(n[0], n[1]), bpp) & cmp) == border) continue;
      seen[static_cast<size_t>(n[1] * w + n[0])] = 1;
      todo.push_back(n[1] * w + n[0]);
    }
  }
}

}  // namespace ref
