// Bitmaps of a display adapter: the test plug-in "testdisplayhw" makes
// video bitmaps and owns every other bitmap in pixel format 13, and draws
// fills, pixels, lines and blits into them itself. The bitmap layer must
// hand it only its own objects, read them back exactly, and free each one.
#include <cstring>
#include <string>
#include <vector>

#include "gfx/adapter_private.h"
#include "gfx/bitmap_private.h"
#include "gfx/effects_private.h"
#include "gfx/pixel_private.h"
#include "platform/linux/system_private.h"
#include "tests/plugins/plugin_fixture.h"

namespace {

class AdapterBitmapTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    InitGfxContext();  // as start-up does: registers the platform's flag query
    Install("testdisplayhw");
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    ASSERT_NE(GetDisplayAdapter(), nullptr);
    pixel = Symbol<int64_t (*)(void*, int32_t, int32_t)>("TestDisplayBitmapPixel");
    counts = Symbol<void (*)(int32_t*)>("TestDisplayBitmapCounts");
    refuse = Symbol<void (*)(int32_t, int32_t)>("TestDisplayRefuse");
    lastFill = Symbol<void (*)(int32_t*)>("TestDisplayLastFill");
    ASSERT_TRUE(pixel && counts && refuse && lastFill);
  }
  // Every bitmap went back to the adapter and every lock was released.
  void TearDown() override {
    int32_t c[6] = {};
    counts(c);
    EXPECT_EQ(c[0], 0) << "bitmaps left with the adapter";
    EXPECT_EQ(c[2], c[3]) << "locks not released";
    PluginTest::TearDown();
  }

  template <typename F>
  F Symbol(const char* name) {
    return plugintest::ModuleSymbol<F>(root + "/Plugins/testdisplayhw.qmp", name);
  }

  int64_t (*pixel)(void*, int32_t, int32_t) = nullptr;
  void (*counts)(int32_t*) = nullptr;
  void (*refuse)(int32_t, int32_t) = nullptr;
  void (*lastFill)(int32_t*) = nullptr;
};

TEST_F(AdapterBitmapTest, HandlesAndAttributes) {
  OwnedBitmap video(AllocBitmap(5, 3, 8, nullptr));
  OwnedBitmap owned(AllocBitmap(5, 3, 0, nullptr));
  ASSERT_TRUE(video && owned);
  struct Case {
    const char* name;
    BitmapHandle* h;
    int32_t attr18, attr22, adapterMade;
  } cases[] = {{"video", video.get(), 1, 0, 0}, {"owned", owned.get(), 0, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(GetBitmapAttr(c.h, 18), c.attr18);
    EXPECT_EQ(GetBitmapAttr(c.h, 22), c.attr22);
    EXPECT_EQ(static_cast<int32_t>(c.h->adapterMade), c.adapterMade);
    EXPECT_EQ(GetBitmapAttr(c.h, 21), 13);
    EXPECT_EQ(GetBitmapAttr(c.h, 13), 8);  // rows of 8 pixels, as the adapter reports
    EXPECT_EQ(GetBitmapAttr(c.h, 1), 32);
    EXPECT_NE(GetBitmapAttr(c.h, 3), 0);  // locked through the adapter for the address
  }
  // Planes of an adapter that owns all bitmaps are its own too; a mask
  // modelled on a bitmap lines its rows up with the model's.
  BitmapHandle* alpha = AllocAlphaChannel(5, 3, 1, nullptr, 0);
  OwnedBitmap wide(AllocBitmap(37, 1, 0, nullptr));
  BitmapHandle* mask = AllocBitMask(wide.get(), 20, 3, 1, nullptr, 0);
  ASSERT_TRUE(alpha && mask);
  EXPECT_TRUE(alpha->adapterMade && mask->adapterMade);
  EXPECT_EQ(GetBitmapAttr(alpha, 1), 8);
  EXPECT_EQ(GetBitmapAttr(mask, 2), 6);  // 40-pixel rows of the model
  FreeAlphaChannel(alpha);
  FreeBitMask(mask);
  // What the platform asks: video bitmaps (8) are supported, display-bound
  // ones (32) not.
  EXPECT_EQ(AdapterSupportedBitmapFlags(8 | 32), 8u);
}

TEST_F(AdapterBitmapTest, DrawingGoesToTheAdapterWithItsMode) {
  OwnedBitmap video(AllocBitmap(6, 4, 8, nullptr));
  OwnedBitmap owned(AllocBitmap(6, 4, 0, nullptr));
  struct Case {
    const char* name;
    BitmapHandle* h;
    int32_t mode;
  } cases[] = {{"video", video.get(), QM_DRAWMODE_VIDEO},
               {"owned", owned.get(), QM_DRAWMODE_BITMAP}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Clipped to the bitmap before the adapter sees it.
    FillBitmapRect(c.h, -2, 1, 4, 10, 0x123456);
    int32_t fill[6] = {};
    lastFill(fill);
    EXPECT_EQ(fill[0], 0);
    EXPECT_EQ(fill[1], 1);
    EXPECT_EQ(fill[2], 2);
    EXPECT_EQ(fill[3], 3);
    EXPECT_EQ(fill[5], c.mode);
    EXPECT_EQ(pixel(c.h->backing, 1, 3), 0x123456);
    EXPECT_EQ(pixel(c.h->backing, 2, 3), 0);
    WriteBitmapPixel(c.h, 5, 0, 0xABCDEF, 0);
    WriteBitmapPixel(c.h, 6, 0, 0xABCDEF, 0);  // outside: nothing
    EXPECT_EQ(pixel(c.h->backing, 5, 0), 0xABCDEF);
    // Read back through the adapter's lock.
    EXPECT_EQ(ReadBitmapPixel(c.h, 5, 0, 0), 0xABCDEFu);
    DrawBitmapLine(c.h, 0, 0, 3, 0, 0x010203);
    EXPECT_EQ(pixel(c.h->backing, 3, 0), 0x010203);
  }
}

// Adapter pixels of format 13 come back exactly in every 32-bit format,
// and the alpha bytes into a new alpha channel.
TEST_F(AdapterBitmapTest, ReadBackIntoSoftwareFormats) {
  const int32_t W = 3, H = 2;
  const uint32_t argb[W * H] = {0xFF102030, 0x80FFFFFF, 0x00000000,
                                0x7F0000FF, 0x01FF0000, 0xFE00FF00};
  BitmapHandle* video = nullptr;
  int32_t kind = -1;
  ASSERT_EQ(AllocAdapterBitmapFromRGB(argb, -1, W, H, W, 8, &video, &kind), ERR_NONE);
  ASSERT_NE(video, nullptr);
  OwnedBitmap owner(video);
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(video->prepared, 1u);
  for (uint32_t format = PIXFMT_ARGB32; format <= PIXFMT_ABGR32; ++format) {
    SCOPED_TRACE(format);
    // A software bitmap of that format, whatever the adapter's format is.
    auto* rec = static_cast<SoftBitmap*>(AllocMemory(sizeof(SoftBitmap), 1));
    ASSERT_NE(rec, nullptr);
    *rec = SoftBitmap{0, W, H, static_cast<uint8_t*>(AllocMemory(4 * 4 * H, 1)), 16, 4, format,
                      0, 0, 0};
    OwnedBitmap dest(NewBitmapHandle(0, rec, W, H));
    BitmapHandle* alpha = nullptr;
    ASSERT_EQ(ReadAdapterBitmapPixels(video, dest.get(), W, H, &alpha), ERR_NONE);
    OwnedBitmap alphaOwner(alpha);
    ASSERT_NE(alpha, nullptr);
    BitmapLock a;
    ASSERT_TRUE(LockBitmap(alpha, 1, &a));
    for (int32_t y = 0; y < H; ++y)
      for (int32_t x = 0; x < W; ++x) {
        uint32_t p = argb[y * W + x];
        uint32_t stored;
        std::memcpy(&stored, rec->buffer + y * 16 + x * 4, 4);
        EXPECT_EQ(stored, ColorToPixel(p & 0xFFFFFF, format, 0)) << x << "," << y;
        EXPECT_EQ(a.address[y * a.rowLength + x], p >> 24) << x << "," << y;
      }
    UnlockBitmap(&a);
  }
}

TEST_F(AdapterBitmapTest, RefusedReadsAndLocks) {
  OwnedBitmap video(AllocBitmap(4, 4, 8, nullptr));
  OwnedBitmap dest(AllocBitmap(4, 4, 0, nullptr));
  WriteBitmapPixel(video.get(), 1, 1, 0x445566, 0);
  refuse(0, 1);
  EXPECT_EQ(ReadAdapterBitmapPixels(video.get(), dest.get(), 4, 4, nullptr), ERR_READVIDEOPIXELS);
  uint32_t* out = nullptr;
  EXPECT_EQ(BitmapToARGB(video.get(), 0, 0, 4, 4, nullptr, &out), ERR_READVIDEOPIXELS);
  // A refused lock: reads give 0, software operations do nothing.
  refuse(1, 0);
  EXPECT_EQ(ReadBitmapPixel(video.get(), 1, 1, 0), 0u);
  EXPECT_EQ(GetBitmapAttr(dest.get(), 3), 0);
  EXPECT_EQ(ReadBitmapRectARGB(video.get(), 0, 0, 4, 4, 1), nullptr);
  refuse(0, 0);
  EXPECT_EQ(ReadBitmapPixel(video.get(), 1, 1, 0), 0x445566u);
  // Without a refusal a video bitmap reads back through the adapter.
  ASSERT_EQ(BitmapToARGB(video.get(), 1, 1, 2, 1, nullptr, &out), ERR_NONE);
  EXPECT_EQ(out[0] & 0xFFFFFF, 0x445566u);
  FreeMemory(out);
}

// ---- Seeded random blits, fills and pixel writes ----

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
};

// The plain model: 0xRRGGBB per pixel.
struct Model {
  int w, h;
  std::vector<uint32_t> rgb;
  uint32_t& at(int x, int y) { return rgb[static_cast<size_t>(y) * w + x]; }
};

uint32_t blend(uint32_t s, uint32_t d, uint32_t a) {
  uint32_t out = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    uint32_t cs = (s >> shift) & 0xFF, cd = (d >> shift) & 0xFF;
    out |= ((cs * a + cd * (255 - a) + 127) / 255) << shift;
  }
  return out;
}

TEST_F(AdapterBitmapTest, SeededRandomBlitsFillsAndPixels) {
  constexpr int ITERATIONS = 1500;
  const char* replay = std::getenv("QM_ADAPTER_OPS_REPLAY");
  int first = replay ? std::atoi(replay) : 0, last = replay ? first + 1 : ITERATIONS;
  int failures = 0;
  for (int i = first; i < last && failures < 3; ++i) {
    Rng r(static_cast<uint64_t>(i));
    // Two bitmaps the adapter owns and one video bitmap.
    BitmapHandle* b[3];
    Model m[3];
    for (int k = 0; k < 3; ++k) {
      int w = r.range(1, 24), h = r.range(1, 10);
      b[k] = AllocBitmap(w, h, k == 2 ? 8 : 0, nullptr);
      ASSERT_NE(b[k], nullptr);
      m[k] = Model{w, h, std::vector<uint32_t>(static_cast<size_t>(w) * h)};
      std::vector<uint32_t> init(m[k].rgb.size());
      for (size_t p = 0; p < init.size(); ++p) {
        init[p] =
            static_cast<uint32_t>(r.byte()) << 24 | static_cast<uint32_t>(r.next() & 0xFFFFFF);
        m[k].rgb[p] = init[p] & 0xFFFFFF;
      }
      WriteARGBToBitmap(init.data(), 0, 0, w * 4, b[k], 0, 0, w, h);
    }
    std::string log;
    for (int op = 0; op < 6; ++op) {
      int d = r.range(0, 2), s = (d + r.range(1, 2)) % 3, kind = r.range(0, 4);
      Model& md = m[d];
      Model& ms = m[s];
      uint32_t colour = static_cast<uint32_t>(r.next());
      char what[96];
      if (kind == 0) {  // fill, partly outside
        int x = r.range(-4, md.w + 1), y = r.range(-4, md.h + 1);
        int w = r.range(0, md.w + 4), h = r.range(0, md.h + 4);
        FillBitmapRect(b[d], x, y, w, h, colour);
        for (int yy = std::max(y, 0); yy < std::min(y + h, md.h); ++yy)
          for (int xx = std::max(x, 0); xx < std::min(x + w, md.w); ++xx)
            md.at(xx, yy) = colour & 0xFFFFFF;
        std::snprintf(what, sizeof what, " fill %d (%d,%d %dx%d)", d, x, y, w, h);
      } else if (kind == 1) {  // pixel, sometimes outside
        int x = r.range(-1, md.w), y = r.range(-1, md.h);
        WriteBitmapPixel(b[d], x, y, colour, 0);
        if (x >= 0 && y >= 0 && x < md.w && y < md.h) md.at(x, y) = colour & 0xFFFFFF;
        std::snprintf(what, sizeof what, " pixel %d (%d,%d)", d, x, y);
      } else {  // blit: plain, masked or through an alpha channel
        int sx = r.range(0, ms.w - 1), sy = r.range(0, ms.h - 1);
        int dx = r.range(-5, md.w - 1), dy = r.range(-3, md.h - 1);
        int w = r.range(1, 24), h = r.range(1, 10);
        ClipBlitRect(nullptr, &sx, &sy, &dx, &dy, &w, &h, ms.w, ms.h, md.w, md.h, 1);
        // An alpha blit from a video bitmap into an owned one is blended by
        // the software span kernel, which this model does not describe.
        if (kind == 4 && d != 2 && s == 2) kind = 2;
        std::snprintf(what, sizeof what, " blit%d %d->%d (%d,%d)->(%d,%d) %dx%d", kind, s, d, sx,
                      sy, dx, dy, w, h);
        if (w <= 0 || h <= 0) {
          log += what;
          continue;
        }
        std::vector<uint8_t> level(static_cast<size_t>(ms.w) * ms.h, 255);
        OwnedBitmap plane;
        if (kind == 3) {
          plane.reset(AllocBitMask(b[s], ms.w, ms.h, 1, nullptr, 0));
          for (int yy = 0; yy < ms.h; ++yy)
            for (int xx = 0; xx < ms.w; ++xx) {
              bool set = r.range(0, 1);
              level[static_cast<size_t>(yy) * ms.w + xx] = set ? 255 : 0;
              if (set) WriteBitmapPixel(plane.get(), xx, yy, 0, 1);
            }
          BltBitmapMasked(b[s], sx, sy, b[d], dx, dy, w, h, plane.get());
        } else if (kind == 4) {
          plane.reset(AllocAlphaChannel(ms.w, ms.h, 1, nullptr, 0));
          for (int yy = 0; yy < ms.h; ++yy)
            for (int xx = 0; xx < ms.w; ++xx) {
              uint8_t v = r.byte();
              level[static_cast<size_t>(yy) * ms.w + xx] = v;
              FillAlphaRect(plane.get(), xx, yy, 1, 1, v);
            }
          BltBitmapAlpha(b[s], sx, sy, b[d], dx, dy, w, h, plane.get());
        } else {
          BltBitmapToTarget(b[s], sx, sy, b[d], dx, dy, w, h);
        }
        for (int yy = 0; yy < h; ++yy)
          for (int xx = 0; xx < w; ++xx) {
            uint32_t a = level[static_cast<size_t>(sy + yy) * ms.w + sx + xx];
            uint32_t& out = md.at(dx + xx, dy + yy);
            out = a == 255 ? ms.at(sx + xx, sy + yy)
                  : a      ? blend(ms.at(sx + xx, sy + yy), out, a)
                           : out;
          }
      }
      log += what;
    }
    if (replay) std::printf("iteration %d:%s\n", i, log.c_str());
    for (int k = 0; k < 3; ++k) {
      bool same = true;
      for (int y = 0; y < m[k].h && same; ++y)
        for (int x = 0; x < m[k].w && same; ++x) {
          int64_t got = pixel(b[k]->backing, x, y);
          if ((got & 0xFFFFFF) != m[k].at(x, y)) {
            same = false;
            ADD_FAILURE() << "iteration " << i << " bitmap " << k << " at " << x << "," << y
                          << ": adapter " << std::hex << got << " model " << m[k].at(x, y)
                          << std::dec << " after" << log;
          }
        }
      failures += !same;
      FreeBitmap(b[k]);
    }
  }
}

}  // namespace
