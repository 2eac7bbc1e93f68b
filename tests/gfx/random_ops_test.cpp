// Seeded random operations on the pixel kernels, compared with the plain
// reference in tests/gfx/reference: iteration i seeds its own generator
// with i and draws an operation, formats, sizes, offsets and data biased to
// 0x00 and 0xFF. Whole buffers are compared, so a write outside the
// rectangle fails too. Each iteration runs the engine with fast paths on
// and off. Set QM_RANDOM_OPS_REPLAY=i to replay one iteration verbosely.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "gfx/gfx.h"
#include "gfx/pixel_private.h"
#include "tests/gfx/reference/pixel_reference.h"

namespace {

constexpr int ITERATIONS = 24000;  // a few seconds under the sanitizers

// splitmix64: fixed across libraries, unlike <random>'s distributions.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int range(int lo, int hi) {
    return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1));
  }
  uint8_t byte() {
    switch (next() % 4) {
      case 0:
        return 0x00;
      case 1:
        return 0xFF;
      default:
        return static_cast<uint8_t>(next());
    }
  }
  // A small value usually; now and then a large one.
  int size(int maxSmall) { return next() % 8 == 0 ? range(1, 70) : range(1, maxSmall); }
};

uint32_t crc32(const std::vector<uint8_t>& v, uint32_t crc) {
  crc = ~crc;
  for (uint8_t b : v) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

const uint32_t FORMATS[] = {10, 10, 10, 11, 12, 13, 4, 4, 0, 1, 2, 3, 5, 6, 7};

struct Buffer {
  int w, h, bpp;
  long stride;
  std::vector<uint8_t> bytes;
  Buffer(Rng& r, int w_, int h_, int bpp_) : w(w_), h(h_), bpp(bpp_) {
    stride = static_cast<long>(w + r.range(0, 5)) * bpp;
    bytes.resize(static_cast<size_t>(stride) * h);
    for (auto& b : bytes) b = r.byte();
  }
  ref::Plane plane() { return ref::Plane{bytes.data(), stride}; }
  int32_t rowLength() const { return static_cast<int32_t>(stride / bpp); }
};

enum Op {
  SPAN,
  FILL,
  COPY,
  MASKED_COPY,
  MIX,
  COMBINE,
  ALPHA_DRAW,
  SCALE_NEAREST,
  SCALE_SMOOTH,
  FLOOD,
  OP_COUNT
};
const char* const OP_NAMES[] = {"span",         "fill",          "copy",       "masked copy",
                                "mix",          "alpha combine", "alpha draw", "nearest scale",
                                "smooth scale", "flood fill"};

// Runs iteration i on the engine (into engine buffers) and on the reference
// (into reference buffers); returns the operation and fills both results.
struct Outcome {
  int op;
  std::vector<uint8_t> engine, reference;
  std::string what;
};

Outcome runOnce(int i, bool fast) {
  SetPixelFastPaths(fast);
  Rng r(static_cast<uint64_t>(i));
  Outcome out;
  out.op = i % OP_COUNT;
  uint32_t f = FORMATS[r.range(0, 14)];
  int bpp = f <= 7 ? 2 : 4;
  int w = r.size(20), h = r.size(6);
  int sx = r.range(0, 9), sy = r.range(0, 3), dx = r.range(0, 9), dy = r.range(0, 3);
  Buffer src(r, sx + w + r.range(0, 3), sy + h + r.range(0, 2), bpp);
  Buffer dst(r, dx + w + r.range(0, 3), dy + h + r.range(0, 2), bpp);
  Buffer alpha(r, src.w, src.h, 1), dalpha(r, dst.w, dst.h, 1);
  Buffer refDst = dst, refDalpha = dalpha;
  char what[160];
  std::snprintf(what, sizeof(what), "%s format %u %dx%d src (%d,%d) dst (%d,%d)", OP_NAMES[out.op],
                f, w, h, sx, sy, dx, dy);
  out.what = what;
  auto collect = [&](std::vector<uint8_t> a, const std::vector<uint8_t>& b, std::vector<uint8_t> c,
                     const std::vector<uint8_t>& d) {
    a.insert(a.end(), b.begin(), b.end());
    c.insert(c.end(), d.begin(), d.end());
    out.engine = std::move(a);
    out.reference = std::move(c);
  };
  switch (out.op) {
    case SPAN: {
      int mode = r.range(0, 2);
      bool hasDa = r.range(0, 3) != 0;
      out.what += " mode " + std::to_string(mode);
      SpanDescriptor sp{src.bytes.data(),
                        sx,
                        sy,
                        sx,
                        sy,
                        src.rowLength(),
                        dst.bytes.data(),
                        dx,
                        dy,
                        dst.rowLength(),
                        w,
                        h,
                        alpha.bytes.data(),
                        hasDa ? dalpha.bytes.data() : nullptr,
                        static_cast<int32_t>(alpha.stride),
                        static_cast<int32_t>(dalpha.stride),
                        f};
      RunSpanRoutine(&sp, bpp, mode);
      ref::span(mode, src.plane(), sx, sy, refDst.plane(), dx, dy, alpha.plane(), dalpha.plane(),
                hasDa, w, h, f);
      break;
    }
    case FILL: {
      uint32_t colour = static_cast<uint32_t>(r.next());
      int opacity = r.range(0, 3) == 0 ? 255 : r.byte();
      FillPixelRect(dst.bytes.data(), dx, dy, w, h, colour, opacity, dst.rowLength(), f);
      ref::fill(refDst.plane(), dx, dy, w, h, colour, opacity, f);
      break;
    }
    case COPY:
    case MASKED_COPY: {
      Buffer mask(r, (src.w + 7) / 8 + 1, src.h, 1);
      Buffer over = dst;
      if (out.op == COPY)
        CopyPixels(src.bytes.data(), sx, sy, dst.bytes.data(), dx, dy, w, h, src.rowLength(),
                   dst.rowLength(), bpp);
      else
        CopyPixelsMasked(src.bytes.data(), dst.bytes.data(), mask.bytes.data(), sx, sy, dx, dy, w,
                         h, src.rowLength(), static_cast<int32_t>(mask.stride), dst.rowLength(),
                         bpp);
      ref::Plane mp = mask.plane();
      ref::copy(src.plane(), sx, sy, refDst.plane(), dx, dy, w, h, bpp,
                out.op == COPY ? nullptr : &mp);
      if (out.op == COPY) break;
      // The same masked copy over a background in one pass, into a copy of
      // the destination: the background's rectangle copied, then the
      // masked copy over it.
      int bx = r.range(0, 9), by = r.range(0, 3);
      Buffer background(r, bx + w + r.range(0, 3), by + h + r.range(0, 2), bpp);
      Buffer refOver = over;
      CopyPixelsMaskedOver(src.bytes.data(), background.bytes.data(), over.bytes.data(),
                           mask.bytes.data(), sx, sy, bx, by, dx, dy, w, h, src.rowLength(),
                           background.rowLength(), static_cast<int32_t>(mask.stride),
                           over.rowLength(), bpp);
      ref::copy(background.plane(), bx, by, refOver.plane(), dx, dy, w, h, bpp, nullptr);
      ref::copy(src.plane(), sx, sy, refOver.plane(), dx, dy, w, h, bpp, &mp);
      out.what += " over (" + std::to_string(bx) + "," + std::to_string(by) + ")";
      collect(dst.bytes, over.bytes, refDst.bytes, refOver.bytes);
      return out;
    }
    case MIX: {
      Buffer mask(r, (w + 7) / 8 + 2, h, 1);
      int level = r.byte(), maskBit = r.range(0, 7);
      bool useMask = r.range(0, 1);
      // A and B are the top-left w x h of src and dst.
      MixPixels(src.bytes.data(), dst.bytes.data(), useMask ? mask.bytes.data() : nullptr, maskBit,
                w, h, level, f, src.rowLength(), dst.rowLength(),
                static_cast<int32_t>(mask.stride));
      ref::Plane mp = mask.plane();
      ref::mix(src.plane(), refDst.plane(), useMask ? &mp : nullptr, maskBit, w, h, level, f);
      break;
    }
    case COMBINE: {
      int mode = r.range(0, 11), level = r.range(0, 300);
      out.what += " mode " + std::to_string(mode);
      AlphaCombineRequest q{alpha.bytes.data(),
                            sx,
                            sy,
                            dalpha.bytes.data(),
                            dx,
                            dy,
                            w,
                            h,
                            static_cast<int32_t>(alpha.stride),
                            static_cast<int32_t>(dalpha.stride),
                            mode,
                            level};
      CombineAlphaBytes(&q);
      ref::combineAlpha(alpha.plane(), sx, sy, refDalpha.plane(), dx, dy, w, h, mode, level);
      break;
    }
    case ALPHA_DRAW: {
      int mode = r.range(0, 5), level = r.byte();
      bool useSource = r.range(0, 1), useDa = r.range(0, 3) != 0;
      uint32_t colour = static_cast<uint32_t>(r.next()) & (bpp == 4 ? 0xFFFFFFFFu : 0xFFFFu);
      Buffer a16(r, src.w * 2, src.h, 1);  // mode 3 reads 16-bit alpha values
      out.what += " mode " + std::to_string(mode);
      AlphaDrawRequest q{};
      q.alpha = mode == 3 ? a16.bytes.data() : alpha.bytes.data();
      q.alphaX = sx;
      q.alphaY = sy;
      q.alphaRowBytes = static_cast<int32_t>(mode == 3 ? a16.stride : alpha.stride);
      q.dest = dst.bytes.data();
      q.destX = dx;
      q.destY = dy;
      q.destRowLength = dst.rowLength();
      q.destAlpha = useDa ? dalpha.bytes.data() : nullptr;
      q.destAlphaRowBytes = static_cast<int32_t>(dalpha.stride);
      q.source = useSource ? src.bytes.data() : nullptr;
      q.sourceRowLength = src.rowLength();
      q.width = w;
      q.height = h;
      q.colour = colour;
      q.level = level;
      q.mode = mode;
      q.format = f;
      q.bytesPerPixel = bpp;
      AlphaDrawKernel(&q);
      ref::Plane sp = src.plane(), dap = refDalpha.plane();
      ref::alphaDraw(mode == 3 ? a16.plane() : alpha.plane(), sx, sy, mode == 3, refDst.plane(), dx,
                     dy, useDa ? &dap : nullptr, useSource ? &sp : nullptr, colour, w, h, level,
                     mode, f);
      break;
    }
    case FLOOD: {
      // Pixels from a small palette (border among them), alpha bytes random
      // on 32-bit pixels; the fill colour is not in the palette.
      uint32_t cmp = bpp == 4 ? FloodCompareMask(f) : 0xFFFFu;
      const uint32_t palette[3] = {0x0000, 0x1234, 0x4321};
      for (int y = 0; y < dst.h; ++y)
        for (int x = 0; x < dst.w; ++x) {
          uint32_t v = palette[r.range(0, 2)];
          if (bpp == 4)
            v = (cmp == 0x00FFFFFFu ? v | static_cast<uint32_t>(r.byte()) << 24
                                    : v << 8 | r.byte());
          ref::store(dst.bytes.data() + y * dst.stride + x * bpp, bpp, v);
        }
      refDst = dst;
      uint32_t border = bpp == 4 && cmp != 0x00FFFFFFu ? palette[0] << 8 : palette[0];
      uint32_t fillValue = bpp == 4 && cmp != 0x00FFFFFFu ? 0x77777700u : 0x7777u;
      int x = r.range(0, dst.w - 1), y = r.range(0, dst.h - 1);
      FloodFillRequest q{dst.bytes.data(), dst.w, dst.h, dst.rowLength(), border, fillValue, 0, 0};
      ErrorCode err = bpp == 4 ? FloodFillSpan(&q, x, y, cmp) : FloodFillSpan16(&q, x, y);
      if (err) out.what += " error " + std::to_string(err);
      ref::flood(refDst.bytes.data(), refDst.stride, dst.w, dst.h, bpp, border, fillValue, cmp, x,
                 y);
      break;
    }
    case SCALE_NEAREST:
    case SCALE_SMOOTH: {
      // Source is the top-left w x h of src; destination a new size.
      int dw = r.size(24), dh = r.size(8);
      Buffer d2(r, dw, dh, bpp), m2(r, (dw + 7) / 8 + 1, dh, 1), a2(r, dw, dh, 1);
      Buffer smask(r, (w + 7) / 8 + 2, h, 1);
      Buffer rd2 = d2, rm2 = m2, ra2 = a2;
      int maskBit = r.range(0, 7);
      bool withMask = r.range(0, 1), withAlpha = r.range(0, 1);
      char more[64];
      std::snprintf(more, sizeof(more), " to %dx%d", dw, dh);
      out.what += more;
      ScaleRequest q{};
      q.source = src.bytes.data();
      q.dest = d2.bytes.data();
      q.sourceWidth = w;
      q.sourceHeight = h;
      q.destWidth = dw;
      q.destHeight = dh;
      q.sourceRowLength = src.rowLength();
      q.destRowLength = d2.rowLength();
      q.format = f;
      q.bytesPerPixel = bpp;
      q.smooth = out.op == SCALE_SMOOTH;
      if (out.op == SCALE_NEAREST) {
        if (withMask) {
          q.sourceMask = smask.bytes.data();
          q.destMask = m2.bytes.data();
          q.sourceMaskBitX = maskBit;
          q.sourceMaskRowBytes = static_cast<int32_t>(smask.stride);
          q.destMaskRowBytes = static_cast<int32_t>(m2.stride);
        }
        if (withAlpha) {
          q.sourceAlpha = alpha.bytes.data();
          q.destAlpha = a2.bytes.data();
          q.sourceAlphaRowBytes = static_cast<int32_t>(alpha.stride);
          q.destAlphaRowBytes = static_cast<int32_t>(a2.stride);
        }
      }
      ScaleBitmapNearest(&q);
      if (out.op == SCALE_NEAREST) {
        ref::Plane sm = smask.plane(), dm = rm2.plane(), sa = alpha.plane(), da = ra2.plane();
        ref::scaleNearest(src.plane(), rd2.plane(), withMask ? &sm : nullptr, maskBit, &dm,
                          withAlpha ? &sa : nullptr, &da, w, h, dw, dh, bpp);
      } else {
        ref::scaleSmooth(src.plane(), rd2.plane(), w, h, dw, dh, f);
      }
      std::vector<uint8_t> e = d2.bytes, rf = rd2.bytes;
      e.insert(e.end(), m2.bytes.begin(), m2.bytes.end());
      rf.insert(rf.end(), rm2.bytes.begin(), rm2.bytes.end());
      collect(e, a2.bytes, rf, ra2.bytes);
      return out;
    }
  }
  collect(dst.bytes, dalpha.bytes, refDst.bytes, refDalpha.bytes);
  return out;
}

void dumpDifference(const Outcome& o) {
  for (size_t k = 0; k < o.engine.size() && k < o.reference.size(); ++k)
    if (o.engine[k] != o.reference[k])
      std::printf("  byte %zu: engine %02X reference %02X\n", k, o.engine[k], o.reference[k]);
}

TEST(RandomOps, EngineMatchesReference) {
  const char* replay = std::getenv("QM_RANDOM_OPS_REPLAY");
  int first = 0, last = ITERATIONS;
  if (replay) {
    first = std::atoi(replay);
    last = first + 1;
  }
  uint32_t crc[OP_COUNT] = {}, refCrc[OP_COUNT] = {};
  int failures = 0;
  for (int i = first; i < last && failures < 5; ++i) {
    for (bool fast : {true, false}) {
      Outcome o = runOnce(i, fast);
      if (replay)
        std::printf("iteration %d (%s paths): %s\n", i, fast ? "fast" : "general", o.what.c_str());
      if (o.engine != o.reference) {
        ++failures;
        ADD_FAILURE() << "iteration " << i << " (" << (fast ? "fast" : "general")
                      << " paths): " << o.what;
        if (replay) dumpDifference(o);
      }
      if (fast) {
        crc[o.op] = crc32(o.engine, crc[o.op]);
        refCrc[o.op] = crc32(o.reference, refCrc[o.op]);
      }
    }
  }
  SetPixelFastPaths(true);
  for (int op = 0; op < OP_COUNT; ++op) {
    EXPECT_EQ(crc[op], refCrc[op]) << OP_NAMES[op];
    std::printf("%-14s CRC %08X\n", OP_NAMES[op], crc[op]);
  }
}

}  // namespace
