// Tests of the geometric kernels: the affine transform, thick lines, the
// distortion engine, swirl and ripple; and a sweep that runs every effect
// kernel over awkward sizes (1 x 1, odd widths, 4097 x 3) for the
// sanitizers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "gfx/gfx.h"
#include "gfx/pixel_private.h"
#include "gfx/effects_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"

namespace {

uint32_t rgb(int r, int g, int b) { return static_cast<uint32_t>(r) << 16 | g << 8 | b; }

// Deterministic pixels biased to 0x00 and 0xFF, one PRNG per test.
struct Rng {
  uint32_t s;
  explicit Rng(uint32_t seed) : s(seed * 2654435761u + 1) {}
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  uint8_t byte() {
    uint32_t v = next();
    return (v & 3) == 0 ? 0 : ((v & 3) == 1 ? 255 : static_cast<uint8_t>(v >> 8));
  }
};

struct Picture {
  int w, h;
  std::vector<uint32_t> px;
  std::vector<uint8_t> mask, alpha;
  int maskRow;
  Picture(int w_, int h_, uint32_t seed)
      : w(w_),
        h(h_),
        px(w_ * h_),
        mask(((w_ + 7) / 8) * h_),
        alpha(w_ * h_),
        maskRow((w_ + 7) / 8) {
    Rng r(seed);
    for (auto& p : px)
      p = static_cast<uint32_t>(r.byte()) << 24 | rgb(r.byte(), r.byte(), r.byte());
    for (auto& m : mask) m = r.byte();
    for (auto& a : alpha) a = r.byte();
  }
  bool bit(int x, int y) const { return (mask[y * maskRow + (x >> 3)] >> (7 - (x & 7))) & 1; }
};

TransformRequest transform(const Picture& s, Picture& d, const double* m, int smooth) {
  return TransformRequest{s.px.data(),
                          d.px.data(),
                          s.mask.data(),
                          d.mask.data(),
                          s.alpha.data(),
                          d.alpha.data(),
                          0,
                          s.w,
                          s.h,
                          s.w,
                          d.w,
                          d.h,
                          d.w,
                          s.maskRow,
                          d.maskRow,
                          s.w,
                          d.w,
                          m,
                          smooth,
                          PIXFMT_ARGB32,
                          4};
}

TEST(EffectsAffine, IdentityCopiesExactlyInBothModes) {
  const double id[6] = {1, 0, 0, 1, 0, 0};
  for (int smooth = 0; smooth < 2; ++smooth) {
    Picture s(13, 7, 1), d(13, 7, 2);
    std::fill(d.mask.begin(), d.mask.end(), 0);
    auto q = transform(s, d, id, smooth);
    q.sourceAlpha = nullptr;  // mask drives the copy
    ASSERT_TRUE(TransformPixels(&q));
    for (int y = 0; y < s.h; ++y)
      for (int x = 0; x < s.w; ++x) {
        bool on = s.bit(x, y);
        EXPECT_EQ(d.bit(x, y), on) << x << "," << y;
        // A masked-out pixel is still copied in nearest mode; bilinear
        // samples of set bits read only themselves at whole positions.
        if (!smooth || on) {
          EXPECT_EQ(d.px[y * d.w + x], s.px[y * s.w + x]) << smooth << " " << x << "," << y;
        }
      }
  }
  // Alpha without a mask, 16-bit pixels.
  std::vector<uint16_t> s16(5 * 3), d16(5 * 3, 0);
  std::vector<uint8_t> sa(15), da(15, 0);
  for (int i = 0; i < 15; ++i)
    s16[i] = static_cast<uint16_t>(i * 4099), sa[i] = static_cast<uint8_t>(i * 17);
  for (int smooth = 0; smooth < 2; ++smooth) {
    TransformRequest q{
        s16.data(), d16.data(), nullptr, nullptr, sa.data(), da.data(),     0, 5, 3, 5, 5, 3, 5, 0,
        0,          5,          5,       id,      smooth,    PIXFMT_RGB565, 2};
    ASSERT_TRUE(TransformPixels(&q));
    EXPECT_EQ(d16, s16);
    EXPECT_EQ(da, sa);
  }
}

TEST(EffectsAffine, SingularAndMaskedOutCases) {
  Picture s(4, 4, 3), d(4, 4, 4);
  std::vector<uint32_t> before = d.px;
  const double flat[6] = {1, 2, 2, 4, 0, 0};
  auto q = transform(s, d, flat, 0);
  EXPECT_FALSE(TransformPixels(&q));
  EXPECT_EQ(d.px, before);
  const double nan[6] = {NAN, 0, 0, 1, 0, 0};
  q.matrix = nan;
  EXPECT_FALSE(TransformPixels(&q));

  // Bilinear: all four neighbours masked out leaves the pixel and clears
  // the destination bit.
  std::fill(s.mask.begin(), s.mask.end(), 0);
  std::fill(d.mask.begin(), d.mask.end(), 0xFF);
  const double id[6] = {1, 0, 0, 1, 0, 0};
  auto b = transform(s, d, id, 1);
  b.sourceAlpha = nullptr;
  ASSERT_TRUE(TransformPixels(&b));
  EXPECT_EQ(d.px, before);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_FALSE(d.bit(x, y));
}

TEST(EffectsAffine, ScaleAndRotateStayInsideTheDestination) {
  Picture s(9, 5, 5);
  const double mats[][6] = {
      {2, 0, 0, 2, 0, 0},  {0, 1, -1, 0, 5, 0},     {0.7071, 0.7071, -0.7071, 0.7071, 4, 0},
      {-1, 0, 0, 1, 9, 0}, {1e-9, 0, 0, 1e9, 0, 0}, {1, 0, 0.5, 1, -3, -2}};
  for (const auto& m : mats)
    for (int smooth = 0; smooth < 2; ++smooth) {
      Picture d(11, 10, 6);
      auto q = transform(s, d, m, smooth);
      EXPECT_TRUE(TransformPixels(&q));
    }
  // Bilinear rotation gives the same channels in the native format and in a
  // permuted one (0xAABBGGRR), so the native shortcut matches the format
  // layer's readers and writers.
  const double turn[6] = {0.8, 0.6, -0.6, 0.8, 4, -1};
  Picture native(12, 9, 8), dn(12, 9, 9);
  std::vector<uint32_t> swapped(native.px.size()), ds(dn.px.size());
  auto swapRB = [](uint32_t v) {
    return (v & 0xFF00FF00u) | ((v >> 16) & 0xFF) | ((v & 0xFF) << 16);
  };
  for (size_t i = 0; i < swapped.size(); ++i) swapped[i] = swapRB(native.px[i]);
  TransformRequest tn{native.px.data(),
                      dn.px.data(),
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr,
                      0,
                      12,
                      9,
                      12,
                      12,
                      9,
                      12,
                      0,
                      0,
                      0,
                      0,
                      turn,
                      1,
                      PIXFMT_ARGB32,
                      4};
  TransformRequest ts = tn;
  ts.sourcePixels = swapped.data();
  ts.destPixels = ds.data();
  ts.format = PIXFMT_ABGR32;
  std::fill(dn.px.begin(), dn.px.end(), 0u);
  ASSERT_TRUE(TransformPixels(&tn));
  ASSERT_TRUE(TransformPixels(&ts));
  for (size_t i = 0; i < ds.size(); ++i) ASSERT_EQ(swapRB(ds[i]), dn.px[i]) << i;
  // The native fast path and the general kernel agree, alpha included,
  // for turns, enlargements, reductions and shears that sample past the
  // source edges.
  const double checks[][6] = {{0.8, 0.6, -0.6, 0.8, 4, -1},
                              {2.5, 0, 0, 1.7, -3, -2},
                              {0.3, 0.1, -0.2, 0.4, 1, 1},
                              {-1, 0.2, 0.3, -1.2, 12, 10},
                              {1, 0, 0.7, 1, -6, 0.25}};
  for (const auto& m : checks) {
    std::vector<uint32_t> fast(dn.px.size(), 0), general(dn.px.size(), 0);
    std::vector<uint8_t> fastA(dn.px.size(), 0), generalA(dn.px.size(), 0);
    TransformRequest ta = tn;
    ta.matrix = m;
    ta.sourceAlpha = native.alpha.data();
    ta.sourceAlphaRowBytes = 12;
    ta.destAlphaRowBytes = 12;
    ta.destPixels = fast.data();
    ta.destAlpha = fastA.data();
    ASSERT_TRUE(TransformPixels(&ta));
    SetPixelFastPaths(false);
    ta.destPixels = general.data();
    ta.destAlpha = generalA.data();
    ASSERT_TRUE(TransformPixels(&ta));
    SetPixelFastPaths(true);
    EXPECT_EQ(fast, general) << m[0];
    EXPECT_EQ(fastA, generalA) << m[0];
  }

  // Doubling in nearest mode repeats each source pixel twice.
  Picture d(18, 10, 7);
  const double twice[6] = {2, 0, 0, 2, 0, 0};
  auto q = transform(s, d, twice, 0);
  q.sourceMask = nullptr;
  ASSERT_TRUE(TransformPixels(&q));
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 18; ++x)
      EXPECT_EQ(d.px[y * 18 + x], s.px[(y / 2) * 9 + x / 2]) << x << "," << y;
}

struct LineCanvas {
  std::vector<uint32_t> px = std::vector<uint32_t>(20 * 20, 0);
  PlotContext ctx{};
  explicit LineCanvas(int thickness) {
    ctx.pixels = reinterpret_cast<uint8_t*>(px.data());
    ctx.rowLength = 20;
    ctx.bytesPerPixel = 4;
    ctx.thickness = thickness;
    ctx.format = PIXFMT_ARGB32;
    ctx.colour = 0xFFFFFF;
    ctx.opacity = 255;
    ctx.level = 255;
    ctx.clip = 1;
    ctx.clipWidth = 20;
    ctx.clipHeight = 20;
  }
  int count() const { return static_cast<int>(std::count(px.begin(), px.end(), 0xFFFFFFu)); }
  bool at(int x, int y) const { return px[y * 20 + x] == 0xFFFFFFu; }
};

TEST(EffectsLine, ThicknessRunsAcrossTheMainDirection) {
  LineCanvas h(5);
  DrawThickLinePixels(&h.ctx, 3, 10, 12, 10);
  EXPECT_EQ(h.count(), 10 * 5);
  for (int x = 3; x <= 12; ++x)
    for (int dy = -2; dy <= 2; ++dy) EXPECT_TRUE(h.at(x, 10 + dy)) << x << " " << dy;
  LineCanvas v(4);
  DrawThickLinePixels(&v.ctx, 10, 15, 10, 2);  // steep, walked from the top
  EXPECT_EQ(v.count(), 14 * 4);
  EXPECT_TRUE(v.at(8, 2));
  EXPECT_TRUE(v.at(11, 15));
  LineCanvas d(1);
  DrawThickLinePixels(&d.ctx, 0, 0, 6, 3);  // plain Bresenham
  EXPECT_EQ(d.count(), 7);
  const int ys[7] = {0, 1, 1, 2, 2, 3, 3};
  for (int x = 0; x <= 6; ++x) EXPECT_TRUE(d.at(x, ys[x])) << x;
  LineCanvas p(3);
  DrawThickLinePixels(&p.ctx, 5, 5, 5, 5);  // a point: one run of one pixel
  EXPECT_EQ(p.count(), 1);
  LineCanvas huge(INT32_MAX);  // clipped: must end
  DrawThickLinePixels(&huge.ctx, 0, 0, 1, 19);
  EXPECT_GT(huge.count(), 0);
}

// ---- Distortion ----------------------------------------------------------------------

struct Distort {
  Picture src;
  std::vector<uint32_t> out;
  std::vector<uint8_t> outAlpha;
  DistortImage si, oi;
  DistortRequest r{};
  Distort(int w, int h, int method, std::vector<double> args)
      : src(w, h, 9), args_(std::move(args)) {
    si = DistortImage{w, h, 0, 0, src.px.data(), w};
    r.method = method;
    r.count = static_cast<int32_t>(args_.size());
    r.arguments = args_.data();
    r.source = &si;
    r.output = &oi;
    r.bytesPerPixel = 4;
    r.format = PIXFMT_ARGB32;
  }
  ErrorCode setup() { return DistortSetup(&r); }
  ErrorCode render(int filtered) {
    out.assign(static_cast<size_t>(r.outputWidth) * r.outputHeight, 0xDEADBEEF);
    outAlpha.assign(out.size(), 7);
    oi = DistortImage{r.outputWidth, r.outputHeight, 0, 0, out.data(), r.outputWidth};
    r.outputAlpha = outAlpha.data();
    r.outputAlphaRowBytes = r.outputWidth;
    r.filtered = filtered;
    return DistortRender(&r);
  }
  std::vector<double> args_;
};

TEST(EffectsDistort, IdentityPerspectiveKeepsThePicture) {
  const int w = 6, h = 5;
  Distort d(w, h, DISTORT_PERSPECTIVE, {0, 0, 0, 0, w, 0, w, 0, 0, h, 0, h, w, h, w, h});
  ASSERT_EQ(d.setup(), 0);
  ASSERT_NE(d.r.coefficients, nullptr);
  // The box adds half a pixel on each side: the picture sits at (1, 1).
  EXPECT_EQ(d.r.outputX, -1);
  EXPECT_EQ(d.r.outputY, -1);
  EXPECT_EQ(d.r.outputWidth, w + 1);
  EXPECT_EQ(d.r.outputHeight, h + 1);
  ASSERT_EQ(d.render(0), 0);
  EXPECT_EQ(d.r.coefficients, nullptr);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      EXPECT_EQ(d.out[(y + 1) * (w + 1) + x + 1], d.src.px[y * w + x]) << x << "," << y;
      EXPECT_EQ(d.outAlpha[(y + 1) * (w + 1) + x + 1], 255);
    }
  EXPECT_EQ(d.out[0], 0u);  // outside the source
  EXPECT_EQ(d.outAlpha[0], 7);
  EXPECT_EQ(d.oi.xOffset, -1);  // the render records the output's offsets
}

TEST(EffectsDistort, RejectedArgumentSets) {
  struct Case {
    const char* name;
    int method;
    std::vector<double> args;
  } cases[] = {
      {"collinear destinations",
       DISTORT_PERSPECTIVE,
       {0, 0, 0, 0, 4, 0, 1, 1, 0, 4, 2, 2, 4, 4, 3, 3}},
      {"too few points", DISTORT_PERSPECTIVE, {0, 0, 0, 0, 4, 0, 4, 0, 0, 4, 0, 4}},
      {"non-finite point", DISTORT_PERSPECTIVE, {0, 0, NAN, 0, 4, 0, 4, 0, 0, 4, 0, 4, 4, 4, 4, 4}},
      {"unknown method", 5, {1}},
      {"arc angle zero", DISTORT_ARC, {0}},
      {"arc angle NaN", DISTORT_ARC, {NAN}},
      {"arc equal radii", DISTORT_ARC, {90, 0, 10, 10}},
      {"polar three numbers", DISTORT_POLAR, {10, 0, 3}},
      {"polar rmin above rmax", DISTORT_POLAR, {5, 6}},
      {"polar output too large", DISTORT_POLAR, {1e6}},
      {"barrel five numbers", DISTORT_BARREL, {0, 0, 0, 1, 0}},
      {"barrel infinite", DISTORT_BARREL, {INFINITY, 0, 0, 1}},
  };
  for (auto& c : cases) {
    Distort d(8, 6, c.method, c.args);
    EXPECT_EQ(d.setup(), ERR_WRONGUSAGE) << c.name;
    EXPECT_EQ(d.r.error, ERR_WRONGUSAGE) << c.name;
    EXPECT_EQ(d.r.coefficients, nullptr) << c.name;
  }
  // A failed allocation is ERR_MEM with nothing left behind.
  for (uint64_t n = 1;; ++n) {
    ASSERT_LT(n, 30u);
    Distort d(8, 6, DISTORT_PERSPECTIVE, {0, 0, 0, 0, 8, 0, 8, 0, 0, 6, 0, 6, 8, 6, 8, 6});
    SetAllocFailure(n, false);
    ErrorCode e = d.setup();
    uint64_t failed = GetAllocFailureCount();
    SetAllocFailure(0, false);
    if (!failed) {
      EXPECT_EQ(e, 0);
      FreeMemory(d.r.coefficients);
      break;
    }
    EXPECT_EQ(e, ERR_MEM) << n;
    EXPECT_EQ(d.r.coefficients, nullptr);
  }
}

TEST(EffectsDistort, MethodGeometry) {
  // Polar with Rmax -1 reaches the farthest corner.
  Distort p(8, 6, DISTORT_POLAR, {-1});
  ASSERT_EQ(p.setup(), 0);
  EXPECT_DOUBLE_EQ(p.r.coefficients[0], 5.0);  // hypot(4, 3)
  EXPECT_EQ(p.render(1), 0);
  // Arc 90 with no further numbers: a box around the top of a circle.
  Distort a(20, 10, DISTORT_ARC, {});
  ASSERT_EQ(a.setup(), 0);
  EXPECT_GT(a.r.outputWidth, 20);
  EXPECT_LT(a.r.outputY, 0);  // bent over the top: y is negative
  EXPECT_EQ(a.render(0), 0);
  EXPECT_EQ(a.render(1), ERR_WRONGUSAGE);  // coefficients were consumed
  // Barrel on an even size maps the centre pixel to itself; the identity
  // barrel keeps every pixel, filtered (bilinear at whole positions) or not.
  for (int filtered = 0; filtered < 2; ++filtered) {
    Distort b(4, 4, DISTORT_BARREL, {0, 0, 0, 1});
    ASSERT_EQ(b.setup(), 0);
    EXPECT_EQ(b.r.outputWidth, 4);
    ASSERT_EQ(b.render(filtered), 0);
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(b.out[i], b.src.px[i] & (filtered ? 0xFFFFFFu : 0xFFFFFFFFu))
          << filtered << " " << i;
      EXPECT_EQ(b.outAlpha[i], 255);
    }
  }
  Distort bulge(4, 4, DISTORT_BARREL, {0.3, 0, 0, 0.9, 1.5, 1.5});
  ASSERT_EQ(bulge.setup(), 0);
  ASSERT_EQ(bulge.render(0), 0);
  EXPECT_EQ(bulge.out[1 * 4 + 1], bulge.src.px[1 * 4 + 1]);
  // Filtered renders of a shrinking perspective average over footprints.
  Distort shrink(16, 16, DISTORT_PERSPECTIVE, {0, 0, 0, 0, 16, 0, 4, 0, 0, 16, 0, 4, 16, 16, 4, 4});
  ASSERT_EQ(shrink.setup(), 0);
  EXPECT_LE(shrink.r.outputWidth, 6);
  EXPECT_EQ(shrink.render(1), 0);
}

// ---- Swirl and ripple ------------------------------------------------------------------

struct Tables {
  std::vector<double> s = std::vector<double>(SWIRL_TABLE_SIZE),
                      c = std::vector<double>(SWIRL_TABLE_SIZE);
  Tables() { BuildSwirlSinCosTable(s.data(), c.data()); }
};

SwirlRequest swirlOf(Picture& p, const Tables& t) {
  SwirlRequest q{};
  q.destination = p.px.data();
  q.destinationRowLength = p.w;
  q.sine = t.s.data();
  q.cosine = t.c.data();
  q.format = PIXFMT_ARGB32;
  q.width = p.w;
  q.height = p.h;
  q.destinationMask = p.mask.data();
  q.destinationMaskRowLength = p.maskRow;
  q.destinationAlpha = p.alpha.data();
  q.destinationAlphaRowLength = p.w;
  return q;
}

TEST(EffectsSwirl, AngleZeroAndFullTurnsKeepThePicture) {
  Tables t;
  EXPECT_EQ(t.s[0], 0.0);
  EXPECT_EQ(t.c[0], 1.0);
  for (int angle : {0, 720}) {
    Picture p(11, 8, 11);
    Picture orig = p;
    auto q = swirlOf(p, t);
    SwirlPixels32(&q, angle);
    EXPECT_EQ(p.px, orig.px) << angle;
    EXPECT_EQ(p.mask, orig.mask) << angle;
    EXPECT_EQ(p.alpha, orig.alpha) << angle;
  }
  Picture p(11, 8, 12);
  Picture orig = p;
  auto q = swirlOf(p, t);
  SwirlPixels32(&q, 90);
  EXPECT_NE(p.px, orig.px);
  Picture n(11, 8, 12);
  auto qn = swirlOf(n, t);
  SwirlPixels32(&qn, -90);
  EXPECT_NE(n.px, orig.px);  // negative angles never fall back to entry 0
  EXPECT_NE(n.px, p.px);
  // 16-bit twin, cross-faded with a second picture at 720 (fade 255).
  std::vector<uint16_t> a(6 * 5, 0xF800), b(6 * 5, 0x001F), out(6 * 5, 0);
  SwirlRequest x{};
  x.source = a.data();
  x.second = b.data();
  x.destination = out.data();
  x.sourceRowLength = x.secondRowLength = x.destinationRowLength = 6;
  x.sine = t.s.data();
  x.cosine = t.c.data();
  x.format = PIXFMT_RGB565;
  x.width = 6;
  x.height = 5;
  SwirlPixels16(&x, 720);
  for (uint16_t v : out)
    EXPECT_EQ(v, 0xF000 | 0x0000) << std::hex << v;  // 248 * 255 >> 8 = 247 -> 0xF0
}

TEST(EffectsRipple, EndFramesHaveNoDisplacement) {
  const int w = 13, h = 9;
  std::vector<double> sine(SWIRL_TABLE_SIZE);
  std::vector<int32_t> dist(w * h);
  BuildRippleSineTable(sine.data(), dist.data(), w, h, 6, 4);
  EXPECT_EQ(dist[4 * w + 6], 0);
  EXPECT_EQ(dist[0], IntSqrt(36 + 16));
  for (int frame : {0, 10, 5, -1}) {
    Picture p(w, h, 20);
    Picture orig = p;
    RippleRequest q{};
    q.destination = p.px.data();
    q.destinationRowLength = w;
    q.distances = dist.data();
    q.sine = sine.data();
    q.waveLength = 4;
    q.amplitude = 0;
    q.amplitudeStep = 0.3;
    q.framesPerHalf = 5;
    q.width = w;
    q.height = h;
    q.format = PIXFMT_ARGB32;
    q.destinationAlpha = p.alpha.data();
    q.destinationAlphaRowLength = w;
    q.centreX = 6;
    q.centreY = 4;
    q.radius = 6;
    q.storedPhase = 0;
    WaterRipplePixels32(&q, frame);
    if (frame == 0 || frame == 10 || frame == -1) {
      EXPECT_EQ(p.px, orig.px) << frame;
      EXPECT_EQ(p.alpha, orig.alpha) << frame;
    } else {
      EXPECT_DOUBLE_EQ(q.amplitude, 1.5);
      EXPECT_NE(p.px, orig.px);
      EXPECT_EQ(p.px[4 * w + 6], orig.px[4 * w + 6]);  // the centre stays
    }
    EXPECT_EQ(q.readPosition, dist.data() + w * h);
  }
  // 1 x 1: every displacement reads the single pixel.
  std::vector<double> s1(SWIRL_TABLE_SIZE);
  int32_t d1 = 0;
  BuildRippleSineTable(s1.data(), &d1, 1, 1, 0, 0);
  uint16_t px = 0x1234;
  RippleRequest one{};
  one.destination = &px;
  one.destinationRowLength = 1;
  one.distances = &d1;
  one.sine = s1.data();
  one.waveLength = 1;
  one.amplitudeStep = 100;
  one.framesPerHalf = 0;
  one.width = one.height = 1;
  one.format = PIXFMT_RGB565;
  one.radius = 0;
  WaterRipplePixels16(&one, 3);
  EXPECT_EQ(px, 0x1234);
}

// ---- Awkward sizes under the sanitizers ---------------------------------------------

TEST(EffectsSizes, EveryKernelRunsOnAwkwardSizes) {
  const int sizes[][2] = {{1, 1}, {7, 3}, {3, 7}, {4097, 3}};
  Tables t;
  for (const auto& sz : sizes) {
    const int w = sz[0], h = sz[1];
    for (int bpp : {2, 4}) {
      uint32_t format = bpp == 2 ? PIXFMT_BGR565_SWAP : PIXFMT_RGBA32;
      int row = w + 3;
      Rng r(w * 31 + h + bpp);
      std::vector<uint8_t> buf(static_cast<size_t>(row) * h * bpp), second(buf.size());
      for (auto& b : buf) b = r.byte();
      for (auto& b : second) b = r.byte();
      std::vector<uint8_t> alpha(static_cast<size_t>(row) * h),
          mask(static_cast<size_t>((w + 7) / 8 + 1) * h);
      for (auto& a : alpha) a = r.byte();
      for (auto& m : mask) m = r.byte();
      void* px = buf.data();
      auto* p16 = reinterpret_cast<uint16_t*>(px);
      auto* p32 = reinterpret_cast<uint32_t*>(px);
      SCOPED_TRACE(testing::Message() << w << "x" << h << " bpp " << bpp);
      if (bpp == 2) {
        GrayPixels16(p16, w, h, row, format, 0);
        SolarizePixels16(p16, w, h, row, format, 100);
        SepiaPixels16(p16, w, h, row, format, 80);
        ContrastPixels16(p16, w, h, row, format, 1);
      } else {
        GrayPixels32(p32, w, h, row, format, 1);
        SolarizePixels32(p32, w, h, row, format, 100);
        SepiaPixels32(p32, w, h, row, format, 80);
        ContrastPixels32(p32, w, h, row, format, -1);
      }
      LevelsRequest lv{px, w, h, row, w * h / 50, w * h * 99 / 100, format, bpp};
      NormalizeLevels(&lv);
      ModulateRequest mq{px, w, h, row, format, 120, 80, 150};
      if (bpp == 2)
        ModulatePixels16(&mq);
      else
        ModulatePixels32(&mq);
      OilPaintRequest oq{px, w, h, row, format, 1.5};
      if (bpp == 2)
        OilPaintPixels16(&oq);
      else
        OilPaintPixels32(&oq);
      for (int op : {CONVOLVE_BLUR, CONVOLVE_EDGE, CONVOLVE_SHARPEN, CONVOLVE_EMBOSS}) {
        ConvolveRequest cq{px, w, h, row, format, bpp, alpha.data(), row, 1.0, 1.2, op};
        ConvolvePixels(&cq);
      }
      std::vector<uint8_t> idx(static_cast<size_t>(w) * h);
      uint32_t pal[256];
      for (int dither = 0; dither < 2; ++dither) {
        QuantizeRequest qq{px,  format, bpp,      w, h,      row, idx.data(),
                           pal, 7,      0x123456, 1, dither, 0,   -1};
        QuantizeColors(&qq);
        EXPECT_EQ(qq.result, 1);
      }
      for (int32_t type : {GRADIENT_LINEAR, GRADIENT_RADIAL, GRADIENT_CONICAL}) {
        GradientSpec g{};
        g.type = type;
        g.angle = 123;
        g.centreX = 0.3;
        g.centreY = 0.8;
        g.middle = 0.25;
        GradientRequest gq{px, bpp, format, 0, 0, w, h, row, &g};
        EXPECT_TRUE(RenderGradient(&gq));
      }
      std::vector<uint8_t> ys(static_cast<size_t>(w) * h, 200),
          us(static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2), 30);
      YuvFrame yf{ys.data(), us.data(), us.data(), w, (w + 1) / 2, (w + 1) / 2};
      ConvertYUVToRGB(&yf, px, w, h, row, format, bpp);
      ScaleYUVToRGB(&yf, px, w, h, w, h, row, format, bpp);
      std::vector<uint8_t> dst(buf.size());
      const double rot[6] = {0.8, 0.6, -0.6, 0.8, 2, 0};
      for (int smooth = 0; smooth < 2; ++smooth) {
        TransformRequest tq{px,
                            dst.data(),
                            mask.data(),
                            mask.data(),
                            nullptr,
                            nullptr,
                            1,
                            w,
                            h,
                            row,
                            w,
                            h,
                            row,
                            (w + 7) / 8 + 1,
                            (w + 7) / 8 + 1,
                            row,
                            row,
                            rot,
                            smooth,
                            format,
                            bpp};
        EXPECT_TRUE(TransformPixels(&tq));
      }
      SwirlRequest sq{};
      sq.second = second.data();
      sq.secondRowLength = row;
      sq.destination = px;
      sq.destinationRowLength = row;
      sq.sine = t.s.data();
      sq.cosine = t.c.data();
      sq.format = format;
      sq.width = w;
      sq.height = h;
      if (bpp == 2)
        SwirlPixels16(&sq, 300);
      else
        SwirlPixels32(&sq, -200);
      std::vector<int32_t> dist(static_cast<size_t>(w) * h);
      BuildRippleSineTable(t.s.data(), dist.data(), w, h, w / 2, h / 2);
      RippleRequest rq{};
      rq.destination = px;
      rq.destinationRowLength = row;
      rq.distances = dist.data();
      rq.sine = t.s.data();
      rq.waveLength = 3;
      rq.amplitudeStep = 0.5;
      rq.framesPerHalf = 4;
      rq.width = w;
      rq.height = h;
      rq.format = format;
      rq.sourceAlpha = alpha.data();
      rq.sourceAlphaRowLength = row;
      rq.destinationAlpha = alpha.data();
      rq.destinationAlphaRowLength = row;
      rq.centreX = w / 2;
      rq.centreY = h / 2;
      rq.radius = std::max(w, h) / 2;
      if (bpp == 2)
        WaterRipplePixels16(&rq, 3);
      else
        WaterRipplePixels32(&rq, 3);
      std::vector<double> args = {0,         0,         0,         0,         double(w), 0,
                                  w + 1.0,   1,         0,         double(h), 0,         double(h),
                                  double(w), double(h), double(w), h + 2.0};
      for (int filtered = 0; filtered < 2; ++filtered) {
        DistortImage si{w, h, 0, 0, px, row}, oi{};
        DistortRequest dr{};
        dr.method = DISTORT_PERSPECTIVE;
        dr.count = 16;
        dr.arguments = args.data();
        dr.source = &si;
        dr.output = &oi;
        dr.bytesPerPixel = bpp;
        dr.format = format;
        dr.sourceAlpha = alpha.data();
        dr.sourceAlphaRowBytes = row;
        ASSERT_EQ(DistortSetup(&dr), 0);
        std::vector<uint8_t> out(static_cast<size_t>(dr.outputWidth) * dr.outputHeight * bpp);
        std::vector<uint8_t> outAlpha(static_cast<size_t>(dr.outputWidth) * dr.outputHeight);
        oi = DistortImage{dr.outputWidth, dr.outputHeight, 0, 0, out.data(), dr.outputWidth};
        dr.outputAlpha = outAlpha.data();
        dr.outputAlphaRowBytes = dr.outputWidth;
        dr.filtered = filtered;
        EXPECT_EQ(DistortRender(&dr), 0);
      }
    }
    // YUV into 3-byte pixels at this size.
    std::vector<uint8_t> ys(static_cast<size_t>(w) * h, 128),
        us(static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2), 90), vs(us.size(), 200),
        rgbOut(static_cast<size_t>(w) * h * 3);
    YuvFrame f{ys.data(), us.data(), vs.data(), w, (w + 1) / 2, (w + 1) / 2};
    ConvertYUVToRGB(&f, rgbOut.data(), w, h, w, PIXFMT_BGR24, 3);
    ScaleYUVToRGB(&f, rgbOut.data(), w, h, std::max(1, w / 2), h, w, PIXFMT_RGB24, 3);
  }
}

}  // namespace
