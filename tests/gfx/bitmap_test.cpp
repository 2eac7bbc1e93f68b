// Bitmap handles and blits: row padding, refused sizes and allocation
// failures (every failure reported, nothing leaked), attributes and locks,
// mask operations, ARGB conversions, clipping of blit rectangles, tiling
// offsets and SafeBlt into bitmaps.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "gfx/gfx.h"
#include "gfx/bitmap_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"

namespace {

struct HandleFree {
  void operator()(BitmapHandle* h) const { FreeBitmap(h); }
};
using Bitmap = std::unique_ptr<BitmapHandle, HandleFree>;

uint32_t* pixels32(BitmapHandle* h) { return reinterpret_cast<uint32_t*>(GetBitmapAttr(h, 23)); }
uint8_t* bytes(BitmapHandle* h) { return reinterpret_cast<uint8_t*>(GetBitmapAttr(h, 3)); }

// A w x h ARGB bitmap whose pixel (x, y) is y * 1000 + x.
Bitmap numbered(int w, int h) {
  Bitmap b(AllocBitmap(w, h, 0, nullptr));
  uint32_t* p = pixels32(b.get());
  int32_t row = static_cast<int32_t>(GetBitmapAttr(b.get(), 13));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) p[y * row + x] = static_cast<uint32_t>(y * 1000 + x);
  return b;
}

TEST(Bitmap, RowPadding) {
  struct Case {
    const char* name;
    Bitmap b;
    intptr_t code;
    intptr_t want;
  };
  Bitmap model(AllocBitmap(37, 1, 0, nullptr));
  Case cases[] = {
      {"pixel width 5 has rows of 8 pixels", Bitmap(AllocBitmap(5, 2, 0, nullptr)), 13, 8},
      {"pixel width 5 rows are 32 bytes", Bitmap(AllocBitmap(5, 2, 0, nullptr)), 1, 32},
      {"alpha width 5 has rows of 8 bytes", Bitmap(AllocAlphaChannel(5, 2, 1, nullptr, 0)), 1, 8},
      {"mask width 17 has rows of 4 bytes", Bitmap(AllocBitMask(nullptr, 17, 2, 1, nullptr, 0)), 2,
       4},
      {"mask width 16 has rows of 2 bytes", Bitmap(AllocBitMask(nullptr, 16, 2, 1, nullptr, 0)), 2,
       2},
      {"mask width 20 has rows of 4 bytes", Bitmap(AllocBitMask(nullptr, 20, 2, 1, nullptr, 0)), 2,
       4},
      {"mask width 20 on a model of 40-pixel rows has 6",
       Bitmap(AllocBitMask(model.get(), 20, 2, 1, nullptr, 0)), 2, 6},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.b, nullptr);
    EXPECT_EQ(GetBitmapAttr(c.b.get(), c.code), c.want);
  }
}

TEST(Bitmap, RefusedSizes) {
  // Row bytes that do not fit a signed 32-bit word are refused before any
  // allocation, as are empty sizes; none of them may come back smaller.
  const int32_t sizes[][2] = {{0, 5}, {5, 0}, {-1, 5}, {INT32_MAX, 1}, {INT32_MAX / 4 + 1, 1}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(testing::Message() << s[0] << " x " << s[1]);
    EXPECT_EQ(AllocBitmap(s[0], s[1], 0, nullptr), nullptr);
    if (s[0] != INT32_MAX / 4 + 1) {
      EXPECT_EQ(AllocAlphaChannel(s[0], s[1], 1, nullptr, 0), nullptr);
    }
  }
  EXPECT_EQ(AllocBitMask(nullptr, 0, 3, 1, nullptr, 0), nullptr);
}

TEST(Bitmap, EveryAllocationFailureIsReportedWithoutLeaks) {
  std::vector<uint32_t> argb(6 * 3, 0x80FFFFFF);
  argb[0] = 0x00123456;  // key colour
  for (uint64_t n = 1;; ++n) {
    SetAllocFailure(n, false);
    BitmapHandle *b = nullptr, *m = nullptr, *a = nullptr;
    ErrorCode err = CreateBitmapFromRGB(argb.data(), 0x123456, 6, 3, 6, 0, 8, nullptr, &b, &m, &a);
    bool failed = GetAllocFailureCount() > 0;
    SetAllocFailure(0, false);
    if (!failed) {
      ASSERT_EQ(err, 0);
      EXPECT_EQ(ReadBitmapPixel(m, 0, 0, 1), 0u);
      EXPECT_EQ(ReadBitmapPixel(m, 1, 0, 1), 1u);
      EXPECT_EQ(bytes(a)[1], 0x80);
      FreeBitmap(b);
      FreeBitMask(m);
      FreeAlphaChannel(a);
      break;
    }
    SCOPED_TRACE(n);
    EXPECT_TRUE(err == ERR_BITMAP || err == ERR_ALLOCMASK || err == ERR_ALLOCALPHA) << err;
    EXPECT_EQ(b, nullptr);
    ASSERT_LT(n, 50u);
  }
}

// Runs op with the nth allocation failing for n = 1, 2, ... until it
// succeeds; op reports whether it succeeded and frees what it made.
template <class Op>
void failEachAllocation(const char* name, Op op) {
  SCOPED_TRACE(name);
  for (uint64_t n = 1; n < 20; ++n) {
    SetAllocFailure(n, false);
    bool ok = op();
    bool injected = GetAllocFailureCount() > 0;
    SetAllocFailure(0, false);
    if (!injected) {
      EXPECT_TRUE(ok) << "allocation " << n;
      return;
    }
    EXPECT_FALSE(ok) << "allocation " << n << " failed but the operation reported success";
  }
  ADD_FAILURE() << "never succeeded";
}

TEST(Bitmap, AllocationFailuresLeaveNothingBehind) {
  Bitmap model = numbered(9, 3);
  Bitmap alpha(AllocAlphaChannel(9, 3, 1, nullptr, 0));
  std::vector<uint32_t> argb(9 * 3, 0x80000000);
  failEachAllocation("AllocBitMask", [&] {
    BitmapHandle* m = AllocBitMask(model.get(), 9, 3, 1, nullptr, 0);
    FreeBitMask(m);
    return m != nullptr;
  });
  failEachAllocation("CloneAlphaChannel", [&] {
    BitmapHandle* c = CloneAlphaChannel(alpha.get(), 9, 3);
    FreeAlphaChannel(c);
    return c != nullptr;
  });
  failEachAllocation("AlphaChannelFromARGB", [&] {
    BitmapHandle* c = AlphaChannelFromARGB(argb.data(), 9, 3, 9);
    bool ok = c && bytes(c)[0] == 0x80;
    FreeAlphaChannel(c);
    return ok;
  });
  failEachAllocation("ReadBitmapRectARGB", [&] {
    uint32_t* p = ReadBitmapRectARGB(model.get(), 1, 1, 8, 2, 1);
    bool ok = p && p[0] == 1001;
    FreeMemory(p);
    return ok;
  });
  failEachAllocation("ClipMaskToOrigin", [&] {
    BitmapHandle* mask = AllocBitMask(nullptr, 9, 3, 1, nullptr, 0);
    if (!mask) return false;
    BitmapHandle* original = mask;
    int32_t x = -2, y = 0, w = 9, h = 3;
    ErrorCode err = ClipMaskToOrigin(&x, &y, &w, &h, &mask, 0, 1);
    if (err) {
      EXPECT_EQ(err, ERR_ALLOCMASK);
      EXPECT_EQ(mask, original);  // the old mask is kept when no copy could be made
      EXPECT_EQ(x, -2);
    }
    FreeBitMask(mask);
    return err == 0;
  });
  failEachAllocation("SafeBlt through a clip mask", [&] {
    FreeBlitScratch();  // so the scratch buffer is allocated again
    Bitmap dst(AllocBitmap(9, 3, 0, nullptr));
    Bitmap clipMask(AllocBitMask(nullptr, 9, 3, 1, nullptr, 0));
    if (!dst || !clipMask) return false;
    bytes(clipMask.get())[0] = 0xFF;
    const BlitClip clip{0, 0, 9, 3, clipMask.get()};
    SafeBlt(nullptr, model.get(), 0, 0, dst.get(), 0, 0, 9, 3, 9, 3, 9, 3, 0x10, nullptr, nullptr,
            &clip);
    return pixels32(dst.get())[1] == 1;  // a refused scratch buffer draws nothing
  });
  FreeBlitScratch();
}

TEST(Bitmap, AttributesAndLocks) {
  EXPECT_EQ(GetBitmapAttr(nullptr, 0), 0);
  EXPECT_EQ(GetBitmapAttr(nullptr, 22), 0);
  EXPECT_EQ(GetBitmapAttr(nullptr, 5), 32);
  Bitmap v(AllocBitmap(4, 4, 8 | 1, nullptr));  // video asked, no adapter
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(GetBitmapAttr(v.get(), 18), 0);
  EXPECT_EQ(GetBitmapAttr(v.get(), 19), 1);
  EXPECT_EQ(GetBitmapAttr(v.get(), 22), 0);
  EXPECT_EQ(GetBitmapAttr(v.get(), 21), 10);
  BitmapLock lock;
  EXPECT_NE(LockBitmap(v.get(), 0, &lock), 0u);
  EXPECT_EQ(lock.rowLength, 4);
  EXPECT_EQ(lock.bytesPerPixel, 4);
  UnlockBitmap(&lock);
  // A pixel record wrapping caller memory cannot be locked; nor can a
  // record of an unknown kind.
  uint32_t mem[4] = {};
  SoftBitmap rec{0, 2, 2, reinterpret_cast<uint8_t*>(mem), 8, 4, 10, 1, 0, 0};
  EXPECT_EQ(LockBitmap(&rec, 2, &lock), 0u);
  rec.notOwned = 0;
  EXPECT_NE(LockBitmap(&rec, 2, &lock), 0u);
  rec.kind = 7;
  EXPECT_EQ(LockBitmap(&rec, 2, &lock), 0u);
  EXPECT_EQ(InvertColorAlpha(0x00123456, 1), 0xFF123456u);
  EXPECT_EQ(InvertColorAlpha(0x40123456, 1), 0xBF123456u);
  EXPECT_EQ(InvertColorAlpha(0x40123456, 0), 0x40123456u);
}

// A fresh software bitmap reports that it still holds its zero bytes until
// anything could have written them: a lock of either kind, a question for
// its address, or any drawing. Its layout is readable meanwhile without
// ending that state, and matches what a lock gives.
TEST(Bitmap, UntouchedUntilLockedOrAddressed) {
  struct Case {
    const char* name;
    void (*touch)(BitmapHandle*);
  } cases[] = {
      {"read-only lock",
       [](BitmapHandle* b) {
         BitmapLock l;
         LockBitmap(b, 1, &l);
         UnlockBitmap(&l);
       }},
      {"lock of the record",
       [](BitmapHandle* b) {
         BitmapLock l;
         LockBitmap(b->backing, 2, &l);
         UnlockBitmap(&l);
       }},
      {"address 3", [](BitmapHandle* b) { GetBitmapAttr(b, 3); }},
      {"address 4", [](BitmapHandle* b) { GetBitmapAttr(b, 4); }},
      {"address 23", [](BitmapHandle* b) { GetBitmapAttr(b, 23); }},
      {"own address 23", [](BitmapHandle* b) { GetSoftBitmapAttr(b, 23); }},
      {"fill", [](BitmapHandle* b) { FillBitmapRect(b, 1, 1, 1, 1, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bitmap b(AllocBitmap(7, 3, 0, nullptr));
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(SoftBitmapUntouched(b.get()));
    for (int32_t code : {0, 1, 13, 14, 18, 19, 21}) GetBitmapAttr(b.get(), code);
    BitmapLock layout;
    ASSERT_TRUE(DescribeSoftBitmap(b.get(), &layout));
    EXPECT_TRUE(SoftBitmapUntouched(b.get()));
    EXPECT_EQ(layout.address, nullptr);
    c.touch(b.get());
    EXPECT_FALSE(SoftBitmapUntouched(b.get()));
    BitmapLock lock;
    ASSERT_NE(LockBitmap(b.get(), 1, &lock), 0u);
    EXPECT_EQ(layout.pixelFormat, lock.pixelFormat);
    EXPECT_EQ(layout.bytesPerPixel, lock.bytesPerPixel);
    EXPECT_EQ(layout.rowLength, lock.rowLength);
    EXPECT_EQ(layout.width, lock.width);
    EXPECT_EQ(layout.height, lock.height);
    UnlockBitmap(&lock);
  }
  // Planes, memory of the caller's and no bitmap have no such state, and no
  // layout of pixels.
  BitmapLock layout;
  Bitmap alpha(AllocAlphaChannel(4, 4, 1, nullptr, 0));
  EXPECT_FALSE(DescribeSoftBitmap(alpha.get(), &layout));
  uint32_t mem[4] = {};
  SoftBitmap rec{0, 2, 2, reinterpret_cast<uint8_t*>(mem), 8, 4, 10, 1, 0, 0};
  BitmapHandle view{0, &rec, 2, 2, 0, 0, 0};
  EXPECT_FALSE(SoftBitmapUntouched(&view));
  EXPECT_FALSE(DescribeSoftBitmap(&view, &layout));
  EXPECT_FALSE(SoftBitmapUntouched(nullptr));
  EXPECT_FALSE(DescribeSoftBitmap(nullptr, &layout));
}

TEST(Bitmap, PixelsLinesAndRectangles) {
  Bitmap m(AllocBitMask(nullptr, 10, 2, 1, nullptr, 0));
  WriteBitmapPixel(m.get(), 9, 1, 3, 1);
  EXPECT_EQ(ReadBitmapPixel(m.get(), 9, 1, 1), 1u);
  WriteBitmapPixel(m.get(), 9, 1, 3, 1);
  EXPECT_EQ(ReadBitmapPixel(m.get(), 9, 1, 1), 0u);
  WriteBitmapPixel(m.get(), 10, 1, 0, 1);  // outside: ignored
  EXPECT_EQ(bytes(m.get())[2 + 1], 0);

  Bitmap b(AllocBitmap(4, 3, 0, nullptr));
  FillBitmapRect(b.get(), -2, 1, 100, 1, 0xFF336699);
  EXPECT_EQ(ReadBitmapPixel(b.get(), 0, 1, 0), 0x336699u);
  EXPECT_EQ(ReadBitmapPixel(b.get(), 3, 1, 0), 0x336699u);
  EXPECT_EQ(pixels32(b.get())[4 * 1], 0x336699u);  // alpha not kept
  EXPECT_EQ(ReadBitmapPixel(b.get(), 0, 0, 0), 0u);
  DrawBitmapLine(b.get(), -5, 2, 10, 2, 0xFFFFFF);  // clipped, no stray writes
  EXPECT_EQ(ReadBitmapPixel(b.get(), 3, 2, 0), 0xFFFFFFu);

  // A 24-bit lock is never filled.
  uint8_t rgb[12];
  std::memset(rgb, 0x5A, sizeof(rgb));
  FillLockedRect(rgb, 0, 0, 2, 2, 0xFFFFFF, 255, 2, 8);
  FillLockedRect(rgb, 0, 0, 2, 2, 0xFFFFFF, 100, 2, 9);
  for (uint8_t v : rgb) EXPECT_EQ(v, 0x5A);
}

TEST(Bitmap, MaskRectanglesAndOrigin) {
  Bitmap src(AllocBitMask(nullptr, 8, 1, 1, nullptr, 0));
  Bitmap dst(AllocBitMask(nullptr, 8, 1, 1, nullptr, 0));
  struct Case {
    int mode;
    uint8_t before, want;
  } cases[] = {{0, 0x0F, 0xFF}, {1, 0xFF, 0x0F}, {2, 0x0F, 0xF0},
               {3, 0xFF, 0x0F}, {4, 0x3C, 0x30}, {5, 0x01, 0xF1}};
  bytes(src.get())[0] = 0xF0;
  for (const auto& c : cases) {
    bytes(dst.get())[0] = c.before;
    CopyMaskRect(src.get(), 0, 0, dst.get(), 0, 0, 8, 1, c.mode, nullptr, 0);
    EXPECT_EQ(bytes(dst.get())[0], c.want) << "mode " << c.mode;
  }
  // A mask at x -3 is cut to its visible part.
  BitmapHandle* mask = AllocBitMask(nullptr, 8, 1, 1, nullptr, 0);
  bytes(mask)[0] = 0x1F;  // bits 3..7
  int32_t x = -3, y = 0, w = 8, h = 1;
  ASSERT_EQ(ClipMaskToOrigin(&x, &y, &w, &h, &mask, 0, 1), 0);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(w, 5);
  EXPECT_EQ(bytes(mask)[0], 0xF8);
  FreeBitMask(mask);

  Bitmap alpha(AllocAlphaChannel(4, 1, 1, nullptr, 0));
  bytes(src.get())[0] = 0xA0;
  MaskToAlphaRect(src.get(), 0, 0, alpha.get(), 0, 0, 4, 1, 77);
  const uint8_t want[4] = {77, 0, 77, 0};
  EXPECT_EQ(0, std::memcmp(bytes(alpha.get()), want, 4));
}

TEST(Bitmap, ArgbConversionsWriteEveryByte) {
  Bitmap b = numbered(3, 2);
  Bitmap m(AllocBitMask(b.get(), 3, 2, 1, nullptr, 0));
  bytes(m.get())[0] = 0x80;  // only (0, 0) visible
  std::unique_ptr<uint32_t, void (*)(void*)> a(
      ReadBitmapRectARGBMasked(b.get(), 0, 0, 3, 2, m.get(), nullptr, -1, 1, 1), FreeMemory);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a.get()[0], 0xFF000000u);
  EXPECT_EQ(a.get()[1], 1u);
  EXPECT_EQ(a.get()[3], 1000u);
  std::unique_ptr<uint32_t, void (*)(void*)> k(
      ReadBitmapRectARGBMasked(b.get(), 1, 0, 2, 2, m.get(), nullptr, 0xABCDEF, 0, 1), FreeMemory);
  EXPECT_EQ(k.get()[0], 0xABCDEFu);
  EXPECT_EQ(ReadBitmapRectARGB(b.get(), 2, 0, 2, 1, 1), nullptr);  // outside

  // A BGR565 bitmap converts through the pixel reader.
  SetSoftBitmapFormatOverride(PIXFMT_BGR565);
  Bitmap p16(AllocBitmap(2, 1, 0, nullptr));
  SetSoftBitmapFormatOverride(-1);
  ASSERT_EQ(GetBitmapAttr(p16.get(), 21), PIXFMT_BGR565);
  WriteBitmapPixel(p16.get(), 1, 0, 0xFF0000, 0);
  std::unique_ptr<uint32_t, void (*)(void*)> c(ReadBitmapRectARGB(p16.get(), 0, 0, 2, 1, 1),
                                               FreeMemory);
  EXPECT_EQ(c.get()[0], 0u);
  EXPECT_EQ(c.get()[1], 0xF80000u);
}

TEST(Blit, ClippingOfBlitRectangles) {
  struct Case {
    const char* name;
    int32_t sx, sy, dx, dy, w, h;
    bool useClip;
    int32_t wantSx, wantDx, wantW, wantH;
  } cases[] = {
      {"destination x -10 width 30 copies 20 from column 10", 0, 0, -10, 0, 30, 5, false, 10, 0, 20,
       5},
      {"cut to the source's right edge", 90, 0, 0, 0, 30, 5, false, 90, 0, 10, 5},
      {"cut to the destination's bottom edge", 0, 0, 0, 48, 5, 5, false, 0, 0, 5, 2},
      {"clip rectangle moves the origin", 0, 0, 5, 0, 30, 5, true, 5, 10, 25, 5},
      {"clip rectangle bounds the right edge", 0, 0, 30, 0, 30, 5, true, 0, 30, 10, 5},
      {"nothing left", 0, 0, 60, 0, 30, 5, false, 0, 60, 0, 5},
  };
  const BlitClip clip{10, 0, 30, 50, nullptr};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t sx = c.sx, sy = c.sy, dx = c.dx, dy = c.dy, w = c.w, h = c.h;
    ClipBlitRect(&clip, &sx, &sy, &dx, &dy, &w, &h, 100, 100, 50, 50, c.useClip);
    EXPECT_EQ(sx, c.wantSx);
    EXPECT_EQ(dx, c.wantDx);
    EXPECT_EQ(std::max(w, 0), c.wantW);
    if (c.wantW > 0) {
      EXPECT_EQ(h, c.wantH);
    }
  }
}

TEST(Blit, SafeBltIntoBitmaps) {
  Bitmap src = numbered(40, 4);
  Bitmap mask(AllocBitMask(src.get(), 40, 4, 1, nullptr, 0));
  for (int y = 0; y < 4; ++y)
    bytes(mask.get())[y * GetBitmapAttr(mask.get(), 2) + 1] = 0xFF;  // columns 8-15
  Bitmap clipMask(AllocBitMask(nullptr, 30, 4, 1, nullptr, 0));
  bytes(clipMask.get())[0] = 0x0F;  // clip columns 4-7 of row 0
  const BlitClip clip{0, 0, 30, 4, clipMask.get()};
  struct Case {
    const char* name;
    int32_t sx, dx, w;
    uint32_t flags;
    BitmapHandle* mask;
    const BlitClip* clip;
    std::vector<int> copiedFrom;  // destination row 0, -1 untouched
  } cases[] = {
      {"x -10 width 30", 0, -10, 30, 0x10, nullptr, nullptr, {10, 11, 12}},
      {"negative source draws nothing", -1, 0, 30, 0x10, nullptr, nullptr, {-1, -1, -1}},
      {"no display without 0x10", 0, 0, 30, 0, nullptr, nullptr, {-1, -1, -1}},
      {"masked", 0, 0, 30, 0x10, mask.get(), nullptr, {-1, -1, -1, -1, -1, -1, -1, -1, 8, 9}},
      {"clip mask", 0, 0, 30, 0x10, nullptr, &clip, {-1, -1, -1, -1, 4, 5, 6, 7, -1}},
      {"clip mask and blit mask",
       2,
       0,
       30,
       0x10,
       mask.get(),
       &clip,
       {-1, -1, -1, -1, -1, -1, 8, 9, -1}},
      {"0x1 ignores the clip", 0, 0, 30, 0x11, nullptr, &clip, {0, 1, 2, 3, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bitmap dst(AllocBitmap(30, 4, 0, nullptr));
    FillBitmapRect(dst.get(), 0, 0, 30, 4, 0xEEEEEE);
    SafeBlt(nullptr, src.get(), c.sx, 0, dst.get(), c.dx, 0, c.w, 4, 40, 4, 30, 4, c.flags, c.mask,
            nullptr, c.clip);
    for (size_t i = 0; i < c.copiedFrom.size(); ++i)
      EXPECT_EQ(pixels32(dst.get())[i],
                c.copiedFrom[i] < 0 ? 0xEEEEEEu : static_cast<uint32_t>(c.copiedFrom[i]))
          << "column " << i;
  }
  FreeBlitScratch();
}

TEST(Blit, AlphaBlitsAndCombines) {
  Bitmap src(AllocBitmap(4, 1, 0, nullptr)), dst(AllocBitmap(4, 1, 0, nullptr));
  Bitmap alpha(AllocAlphaChannel(4, 1, 1, nullptr, 0)),
      second(AllocAlphaChannel(4, 1, 1, nullptr, 0));
  FillBitmapRect(src.get(), 0, 0, 4, 1, 0xFFFFFF);
  const uint8_t a[4] = {0, 128, 255, 64};
  std::memcpy(bytes(alpha.get()), a, 4);
  BltBitmapAlpha(src.get(), 0, 0, dst.get(), 0, 0, 4, 1, alpha.get());
  const uint32_t want[4] = {0, 0x7F7F7F, 0xFFFFFF, 0x3F3F3F};
  EXPECT_EQ(0, std::memcmp(pixels32(dst.get()), want, sizeof(want)));
  ClipAndBltBitmap(alpha.get(), -1, 0, second.get(), 0, 0, 4, 1, 4, 1, 4, 1, 3, 255);
  const uint8_t wantAlpha[4] = {0, 0, 255, 255};  // source x -1 moves both origins
  EXPECT_EQ(0, std::memcmp(bytes(second.get()), wantAlpha, 4));
  Bitmap out(AllocBitmap(4, 1, 0, nullptr));
  BltAlphaChannel(alpha.get(), 0, 0, out.get(), 0, 0, 4, 1, 0x0000FF, 1, nullptr, 255, 0, 0,
                  nullptr, nullptr, 0);
  EXPECT_EQ(pixels32(out.get())[2], 0xFFu);
  EXPECT_EQ(pixels32(out.get())[1], 0x7Fu);
}

TEST(Blit, TilingOffsetsUseATrueModulo) {
  Bitmap tile = numbered(16, 2);
  struct Case {
    int32_t ox, oy;
    uint32_t want0, want3, wantRow1;
  } cases[] = {
      {-3, 0, 13, 0, 1013},  // first column 13 into the tile, then a new tile
      {-16, 0, 0, 3, 1000},
      {-32, -2, 0, 3, 1000},
      {17, 1, 1001, 1004, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ox << ", " << c.oy);
    Bitmap dst(AllocBitmap(20, 3, 0, nullptr));
    TileBitmap(dst.get(), 0, 0, 20, 3, tile.get(), 16, 2, c.ox, c.oy, 0, nullptr, nullptr, 0);
    uint32_t* d = pixels32(dst.get());
    EXPECT_EQ(d[0], c.want0);
    EXPECT_EQ(d[3], c.want3);
    EXPECT_EQ(d[20], c.wantRow1);
    std::vector<uint32_t> raw(20 * 3);
    TileBitmap(nullptr, 0, 0, 20, 3, nullptr, 16, 2, c.ox, c.oy, 1, pixels32(tile.get()),
               raw.data(), 16);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 20; ++x) ASSERT_EQ(raw[y * 20 + x], d[y * 20 + x]) << x << "," << y;
  }
}

TEST(Blit, OverlappingBlitWithinOneBitmap) {
  Bitmap b = numbered(8, 3);
  BltBitmapToTarget(b.get(), 0, 0, b.get(), 1, 1, 6, 2);
  uint32_t* p = pixels32(b.get());
  EXPECT_EQ(p[8 + 1], 0u);
  EXPECT_EQ(p[8 + 6], 5u);
  EXPECT_EQ(p[16 + 1], 1000u);
  EXPECT_EQ(p[16 + 6], 1005u);
  BltBitmapToTarget(b.get(), 0, 0, b.get(), 5, 0, 6, 3);  // runs off: not drawn
  EXPECT_EQ(p[5], 5u);
}

}  // namespace
