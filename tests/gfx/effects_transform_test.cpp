// Tests of the bitmap transforms and image-kernel wrappers on real bitmap
// handles: right-angle rotations and mirrors, scaling against the scaling
// kernel itself, gamma tables, and allocation failures on every path that
// makes new handles (each must give its error and leak nothing).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "gfx/gfx.h"
#include "gfx/pixel_private.h"
#include "gfx/bitmap_private.h"
#include "gfx/context_private.h"
#include "gfx/effects_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"

namespace {

struct Handles {
  BitmapHandle* bitmap = nullptr;
  BitmapHandle* mask = nullptr;
  BitmapHandle* alpha = nullptr;
  Handles() = default;
  Handles(const Handles&) = delete;
  ~Handles() {
    FreeBitmap(bitmap);
    FreeBitMask(mask);
    FreeAlphaChannel(alpha);
  }
};

// A w x h bitmap with a distinct colour per pixel, a mask of every third
// pixel and an alpha ramp.
void makeSource(Handles* h, int w, int h_) {
  h->bitmap = AllocBitmap(w, h_, 0, nullptr);
  h->mask = AllocBitMask(h->bitmap, w, h_, 1, nullptr, 0);
  h->alpha = AllocAlphaChannel(w, h_, 1, nullptr, 0);
  ASSERT_TRUE(h->bitmap && h->mask && h->alpha);
  for (int y = 0; y < h_; ++y)
    for (int x = 0; x < w; ++x) {
      WriteBitmapPixel(h->bitmap, x, y, 0x010000u * (x * 20) + 0x100u * (y * 30) + 7, 0);
      WriteBitmapPixel(h->mask, x, y, (x + y) % 3 == 0 ? 0 : 1, 1);
    }
  BitmapLock l;
  ASSERT_NE(LockBitmap(h->alpha, 0, &l), 0u);
  for (int y = 0; y < h_; ++y)
    for (int x = 0; x < w; ++x) l.address[y * l.rowLength + x] = static_cast<uint8_t>(x * 16 + y);
  UnlockBitmap(&l);
}

uint32_t px(BitmapHandle* b, int x, int y) { return ReadBitmapPixel(b, x, y, 0); }
uint32_t bit(BitmapHandle* m, int x, int y) { return ReadBitmapPixel(m, x, y, 1); }
uint8_t alphaAt(BitmapHandle* a, int x, int y) {
  BitmapLock l;
  EXPECT_NE(LockBitmap(a, 1, &l), 0u);
  uint8_t v = l.address[y * l.rowLength + x];
  UnlockBitmap(&l);
  return v;
}

TEST(EffectsTransform, RightAnglesRotateAndMirror) {
  const int w = 5, h = 3;
  Handles src;
  makeSource(&src, w, h);
  InitRightAngleTransforms();
  struct Case {
    double angle;
    int ow, oh;
  } cases[] = {{90, h, w},  {-270, h, w}, {270, h, w}, {-90, h, w},
               {180, w, h}, {-180, w, h}, {360, w, h}};
  for (const auto& c : cases) {
    double m[4];
    BuildRotateScaleMatrix(m, 0, 0, w, h, 1.0, 1.0, c.angle);
    Handles out;
    int32_t ow = 0, oh = 0;
    ASSERT_EQ(RotateScaleBitmap(src.bitmap, src.mask, src.alpha, 0, 0, w, h, m, 0, 0, &out.bitmap,
                                &out.mask, &out.alpha, &ow, &oh),
              0)
        << c.angle;
    EXPECT_EQ(ow, c.ow) << c.angle;
    EXPECT_EQ(oh, c.oh) << c.angle;
    for (int j = 0; j < oh; ++j)
      for (int i = 0; i < ow; ++i) {
        int sx, sy;
        if (c.angle == 90 || c.angle == -270)
          sx = w - 1 - j, sy = i;
        else if (c.angle == 270 || c.angle == -90)
          sx = j, sy = h - 1 - i;
        else if (c.angle == 360)
          sx = i, sy = j;
        else
          sx = w - 1 - i, sy = h - 1 - j;  // 180: a mirror both ways
        ASSERT_EQ(px(out.bitmap, i, j), px(src.bitmap, sx, sy))
            << c.angle << " at " << i << "," << j;
        ASSERT_EQ(bit(out.mask, i, j), bit(src.mask, sx, sy)) << c.angle;
        ASSERT_EQ(alphaAt(out.alpha, i, j), alphaAt(src.alpha, sx, sy)) << c.angle;
      }
  }
  // 90 degrees of the matrix maps a point on the right to the top: the
  // general kernel, given the same turn with a hair of scaling, agrees.
  double m[4];
  BuildRotateScaleMatrix(m, 0, 0, w, h, 1.0000001, 1.0000001, 90);
  Handles out;
  int32_t ow, oh;
  ASSERT_EQ(RotateScaleBitmap(src.bitmap, nullptr, nullptr, 0, 0, w, h, m, 0, 0, &out.bitmap,
                              nullptr, nullptr, &ow, &oh),
            0);
  EXPECT_EQ(ow, h);
  EXPECT_EQ(oh, w);
  EXPECT_EQ(px(out.bitmap, 0, 0), px(src.bitmap, w - 1, 0));

  // A singular matrix is refused and makes nothing.
  const double flat[4] = {1, 2, 2, 4};
  Handles none;
  EXPECT_EQ(RotateScaleBitmap(src.bitmap, src.mask, nullptr, 0, 0, w, h, flat, 1, 0, &none.bitmap,
                              &none.mask, nullptr, &ow, &oh),
            ERR_WRONGUSAGE);
  EXPECT_EQ(none.bitmap, nullptr);
}

TEST(EffectsTransform, ScalingMatchesTheScalingKernel) {
  Handles src;
  makeSource(&src, 7, 5);
  Handles none;
  EXPECT_EQ(TransformBitmap(src.bitmap, src.mask, src.alpha, 0, 0, nullptr, 7, 5, 0, 10, 0,
                            &none.bitmap, &none.mask, &none.alpha),
            0);
  EXPECT_EQ(none.bitmap, nullptr);
  EXPECT_EQ(none.mask, nullptr);
  for (int smooth = 0; smooth < 2; ++smooth) {
    Handles out;
    ASSERT_EQ(TransformBitmap(src.bitmap, src.mask, src.alpha, 1, 1, nullptr, 5, 3, 11, 8, smooth,
                              &out.bitmap, &out.mask, &out.alpha),
              0);
    // The reference: the kernel on the same locked rectangle.
    BitmapLock sl, sa, sm;
    ASSERT_NE(LockBitmap(src.bitmap, 1, &sl), 0u);
    ASSERT_NE(LockBitmap(src.alpha, 1, &sa), 0u);
    ASSERT_NE(LockBitmap(src.mask, 1, &sm), 0u);
    std::vector<uint32_t> ref(11 * 8);
    std::vector<uint8_t> refAlpha(11 * 8), refMask(2 * 8, 0);
    std::vector<int64_t> xt(12), yt(9);
    ScaleRequest q{sl.address + (sl.rowLength + 1) * 4,
                   reinterpret_cast<uint8_t*>(ref.data()),
                   sm.address + sm.rowLength,
                   refMask.data(),
                   sa.address + sa.rowLength + 1,
                   refAlpha.data(),
                   1,
                   5,
                   3,
                   11,
                   8,
                   sl.rowLength,
                   11,
                   sm.rowLength,
                   2,
                   sa.rowLength,
                   11,
                   smooth,
                   sl.pixelFormat,
                   4,
                   xt.data(),
                   yt.data()};
    ScaleBitmapNearest(&q);
    UnlockBitmap(&sl);
    UnlockBitmap(&sa);
    UnlockBitmap(&sm);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 11; ++x) {
        ASSERT_EQ(px(out.bitmap, x, y), ref[y * 11 + x] & 0xFFFFFF)
            << smooth << " " << x << "," << y;
        ASSERT_EQ(alphaAt(out.alpha, x, y), refAlpha[y * 11 + x]);
        ASSERT_EQ(bit(out.mask, x, y),
                  static_cast<uint32_t>((refMask[y * 2 + x / 8] >> (7 - x % 8)) & 1));
      }
  }
  // Into an existing destination: pixels only.
  BitmapHandle* dest = AllocBitmap(4, 4, 0, nullptr);
  ASSERT_EQ(TransformBitmap(src.bitmap, nullptr, nullptr, 0, 0, dest, 2, 2, 4, 4, 0, nullptr,
                            nullptr, nullptr),
            0);
  EXPECT_EQ(px(dest, 3, 3), px(src.bitmap, 1, 1));
  FreeBitmap(dest);
}

TEST(EffectsTransform, GammaTablesAndWrappers) {
  uint8_t t[256];
  BuildGammaTable(t, 1.0);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(t[i], i);
  BuildGammaTable(t, 0.0);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(t[i], 0);
  BuildGammaTable(t, 2.0);
  EXPECT_EQ(t[64], 128);  // 255 * sqrt(64 / 255) = 127.75
  Handles src;
  makeSource(&src, 6, 4);
  uint32_t before = px(src.bitmap, 3, 2);
  EXPECT_EQ(GammaBitmap(src.bitmap, 6, 4, 1.0, 1.0, 1.0), 0);
  EXPECT_EQ(px(src.bitmap, 3, 2), before);
  EXPECT_EQ(GammaBitmap(src.bitmap, 6, 4, 1.0, 0.0, 1.0), 0);
  EXPECT_EQ(px(src.bitmap, 3, 2), before & 0xFF00FF);
  // Swirl at 720 is clamped to 359.
  Handles a, b;
  makeSource(&a, 9, 9);
  makeSource(&b, 9, 9);
  ASSERT_EQ(SwirlBitmap(a.bitmap, a.mask, a.alpha, 9, 9, 720), 0);
  ASSERT_EQ(SwirlBitmap(b.bitmap, b.mask, b.alpha, 9, 9, 359), 0);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 9; ++x) ASSERT_EQ(px(a.bitmap, x, y), px(b.bitmap, x, y));
  // Every wrapper runs on a small bitmap without complaint.
  EXPECT_EQ(OilPaintBitmap(a.bitmap, 9, 9, -3), 0);
  EXPECT_EQ(WaterRippleBitmap(a.bitmap, a.mask, a.alpha, 9, 9, 3, 2, 1, 0.5, 2.0), 0);
  EXPECT_EQ(ModulateBitmap(a.bitmap, 9, 9, 1.2, 0.5, -1), 0);
  EXPECT_EQ(SepiaToneBitmap(a.bitmap, 9, 9, 300), 0);
  EXPECT_EQ(SolarizeBitmap(a.bitmap, 9, 9, -4), 0);
  EXPECT_EQ(PixelateBitmap(a.bitmap, a.mask, nullptr, 9, 9, 4), 0);
  EXPECT_EQ(CharcoalBitmap(a.bitmap, nullptr, 9, 9, 1, 0.5), 0);
  EXPECT_EQ(MonochromeBitmap(a.bitmap, 9, 9, 1), 0);
  uint32_t v = px(a.bitmap, 4, 4);
  EXPECT_TRUE(v == 0 || v == 0xFFFFFF) << std::hex << v;
  EXPECT_EQ(QuantizeBitmap(b.bitmap, 9, 9, 4, 1), 0);
  EXPECT_EQ(MixBitmaps(a.bitmap, b.bitmap, b.mask, 0, 0, 0, 0, 9, 9, 255, nullptr, 0, 0), 0);
  EXPECT_EQ(TintBitmap(a.bitmap, -3, -3, 100, 100, 0xFF0000, 255), 0);
  EXPECT_EQ(px(a.bitmap, 8, 8), 0xFF0000u);
  Handles keyed;
  EXPECT_EQ(SetBitmapColorKey(a.bitmap, 9, 9, 0x00FF0000, &keyed.mask), 0);
  EXPECT_EQ(bit(keyed.mask, 2, 2), 0u);
  BitmapHandle* shadow = BuildBlurredAlpha(b.mask, nullptr, 0, 0, 9, 9, 3.0, 1.0, 200, 1, 1);
  ASSERT_NE(shadow, nullptr);
  EXPECT_EQ(GetBitmapAttr(shadow, 0), 15);
  FreeAlphaChannel(shadow);
  uint32_t* argb = nullptr;
  int32_t hasAlpha = -1;
  ASSERT_EQ(BitmapToARGB(b.bitmap, 1, 1, 3, 2, &hasAlpha, &argb), 0);
  EXPECT_EQ(argb[0] & 0xFFFFFF, px(b.bitmap, 1, 1));
  FreeMemory(argb);
  uint8_t* scaled = ScalePixelBuffer(argb == nullptr ? nullptr : nullptr, 0, 0, 1, 1, nullptr, 0, 0,
                                     2, 2, 1, 2, PIXFMT_ARGB32, 0);
  EXPECT_EQ(scaled, nullptr);
  const uint32_t four[4] = {1, 2, 3, 4};
  scaled = ScalePixelBuffer(four, 0, 0, 2, 2, nullptr, 0, 0, 4, 4, 2, 0, PIXFMT_ARGB32, 0);
  ASSERT_NE(scaled, nullptr);
  EXPECT_EQ(reinterpret_cast<uint32_t*>(scaled)[15], 4u);
  FreeMemory(scaled);
}

TEST(EffectsTransform, UnreadableFormatsGiveBlackNotGarbage) {
  SetSoftBitmapFormatOverride(PIXFMT_RGB565);
  BitmapHandle* b = AllocBitmap(3, 2, 0, nullptr);
  SetSoftBitmapFormatOverride(-1);
  ASSERT_NE(b, nullptr);
  FillBitmapRect(b, 0, 0, 3, 2, 0xFFFFFF);
  uint32_t* argb = nullptr;
  ASSERT_EQ(BitmapToARGB(b, 0, 0, 3, 2, nullptr, &argb), 0);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(argb[i], 0u);
  FreeMemory(argb);
  FreeBitmap(b);
  SetSoftBitmapFormatOverride(PIXFMT_RGBA32);
  b = AllocBitmap(1, 1, 0, nullptr);
  SetSoftBitmapFormatOverride(-1);
  BitmapLock l;
  ASSERT_NE(LockBitmap(b, 0, &l), 0u);
  const uint32_t rgba = 0x11223344;
  std::memcpy(l.address, &rgba, 4);
  UnlockBitmap(&l);
  ASSERT_EQ(BitmapToARGB(b, 0, 0, 1, 1, nullptr, &argb), 0);
  EXPECT_EQ(argb[0], 0x44112233u);
  FreeMemory(argb);
  FreeBitmap(b);
}

// Runs op with the nth allocation failing for n = 1, 2, ... until no
// allocation fails; a failure must give one of the allowed errors and write
// no output, unless the operation recovered from it (a fast kernel falling
// back to the general one). Outputs are freed by the Handles either way.
template <typename Op>
void everyAllocationFails(const char* name, Op op, std::initializer_list<ErrorCode> allowed) {
  for (uint64_t n = 1;; ++n) {
    ASSERT_LT(n, 200u) << name;
    Handles out;
    SetAllocFailure(n, false);
    ErrorCode e = op(&out);
    uint64_t failed = GetAllocFailureCount();
    SetAllocFailure(0, false);
    if (!failed) {
      EXPECT_EQ(e, 0) << name;
      EXPECT_NE(out.bitmap, nullptr) << name;
      return;
    }
    if (e == 0) {
      // A fast kernel whose scratch failed fell back to the general one.
      EXPECT_NE(out.bitmap, nullptr) << name << " n=" << n;
      continue;
    }
    bool ok = false;
    for (ErrorCode a : allowed) ok |= e == a;
    EXPECT_TRUE(ok) << name << " n=" << n << " gave " << e;
    EXPECT_EQ(out.bitmap, nullptr) << name << " n=" << n;
    EXPECT_EQ(out.mask, nullptr) << name << " n=" << n;
    EXPECT_EQ(out.alpha, nullptr) << name << " n=" << n;
  }
}

TEST(EffectsTransform, EveryErrorPathFreesWhatItMade) {
  Handles src;
  makeSource(&src, 8, 6);
  FreeTransformScratch();
  everyAllocationFails("TransformBitmap",
                       [&](Handles* o) {
                         return TransformBitmap(src.bitmap, src.mask, src.alpha, 0, 0, nullptr, 8,
                                                6, 13, 9, 1, &o->bitmap, &o->mask, &o->alpha);
                       },
                       {ERR_MEM, ERR_BITMAP, ERR_ALLOCMASK, ERR_ALLOCALPHA});
  double m[4];
  BuildRotateScaleMatrix(m, 0, 0, 8, 6, 1.5, 0.75, 30);
  int32_t ow, oh;
  everyAllocationFails("RotateScaleBitmap",
                       [&](Handles* o) {
                         return RotateScaleBitmap(src.bitmap, src.mask, src.alpha, 0, 0, 8, 6, m, 1,
                                                  0, &o->bitmap, &o->mask, &o->alpha, &ow, &oh);
                       },
                       {ERR_BITMAP, ERR_ALLOCMASK, ERR_ALLOCALPHA});
  BuildRotateScaleMatrix(m, 0, 0, 8, 6, 1, 1, 180);
  everyAllocationFails("RotateScaleBitmap 180",
                       [&](Handles* o) {
                         return RotateScaleBitmap(src.bitmap, src.mask, src.alpha, 0, 0, 8, 6, m, 1,
                                                  0, &o->bitmap, &o->mask, &o->alpha, &ow, &oh);
                       },
                       {ERR_MEM, ERR_BITMAP, ERR_ALLOCMASK, ERR_ALLOCALPHA});
  const double pts[16] = {0, 0, 1, 0, 8, 0, 7, 1, 0, 6, 0, 5, 8, 6, 8, 6};
  for (int filtered = 0; filtered < 2; ++filtered)
    everyAllocationFails("DistortBitmap",
                         [&](Handles* o) {
                           return DistortBitmap(src.bitmap, filtered ? nullptr : src.mask,
                                                filtered ? src.alpha : nullptr, 8, 6,
                                                DISTORT_PERSPECTIVE, pts, 16, filtered, &o->bitmap,
                                                &o->mask, &o->alpha, &ow, &oh);
                         },
                         {ERR_MEM, ERR_BITMAP, ERR_ALLOCMASK, ERR_ALLOCALPHA});
  everyAllocationFails("ConvertBitmap",
                       [&](Handles* o) {
                         return ConvertBitmap(src.bitmap, src.mask, src.alpha, 1, 1, 5, 4, 0, 0,
                                              nullptr, nullptr, &o->bitmap, &o->mask, &o->alpha);
                       },
                       {ERR_BITMAP, ERR_ALLOCMASK, ERR_ALLOCALPHA});
  // Wrappers that only need scratch memory report ERR_MEM and leave no leak.
  for (uint64_t n = 1; n < 6; ++n) {
    SetAllocFailure(n, false);
    ErrorCode e1 = SwirlBitmap(src.bitmap, src.mask, src.alpha, 8, 6, 45);
    SetAllocFailure(n, false);
    ErrorCode e2 = QuantizeBitmap(src.bitmap, 8, 6, 5, 1);
    SetAllocFailure(n, false);
    ErrorCode e3 = WaterRippleBitmap(src.bitmap, src.mask, src.alpha, 8, 6, 2, 1, 0, 0.5, 0.5);
    SetAllocFailure(0, false);
    EXPECT_TRUE(e1 == 0 || e1 == ERR_MEM);
    EXPECT_TRUE(e2 == 0 || e2 == ERR_MEM);
    EXPECT_TRUE(e3 == 0 || e3 == ERR_MEM);
  }
  FreeTransformScratch();
}

TEST(EffectsTransform, DistortBitmapKeepsAnIdentityPicture) {
  Handles src;
  makeSource(&src, 6, 4);
  const double pts[16] = {0, 0, 0, 0, 6, 0, 6, 0, 0, 4, 0, 4, 6, 4, 6, 4};
  Handles out;
  int32_t ow, oh;
  ASSERT_EQ(DistortBitmap(src.bitmap, src.mask, nullptr, 6, 4, DISTORT_PERSPECTIVE, pts, 16, 0,
                          &out.bitmap, &out.mask, &out.alpha, &ow, &oh),
            0);
  EXPECT_EQ(ow, 7);
  EXPECT_EQ(oh, 5);
  ASSERT_NE(out.mask, nullptr);
  EXPECT_EQ(out.alpha, nullptr);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) {
      EXPECT_EQ(px(out.bitmap, x + 1, y + 1), px(src.bitmap, x, y));
      EXPECT_EQ(bit(out.mask, x + 1, y + 1), bit(src.mask, x, y));
    }
  EXPECT_EQ(bit(out.mask, 0, 0), 0u);
  Handles bad;
  const double line[16] = {0, 0, 0, 0, 6, 0, 1, 1, 0, 4, 2, 2, 6, 4, 3, 3};
  EXPECT_EQ(DistortBitmap(src.bitmap, nullptr, nullptr, 6, 4, DISTORT_PERSPECTIVE, line, 16, 0,
                          &bad.bitmap, &bad.mask, &bad.alpha, &ow, &oh),
            ERR_WRONGUSAGE);
  EXPECT_EQ(bad.bitmap, nullptr);
}

}  // namespace
