// The curtain, bar, quarter, gate, rectangle, diagonal, push, flow, puzzle,
// fade, crossfade, dissolve and water renderers, driven through their rows
// of the effect table in direct mode into an output bitmap: frame counts,
// the rectangles each frame shows, exact final frames, jumps, and the
// seeded random choices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <set>
#include <vector>

#include "fx/fx_private.h"
#include "gfx/gfx.h"
#include "libs/libs_private.h"
#include "tests/fx/direct_run.h"

namespace {

using fxdirect::Frame;
using fxdirect::Picture;
using fxdirect::PixelsOf;
using fxdirect::RGB;

// Position-coded pixels: picture number, x and y in the colour.
uint32_t coded(int pic, int x, int y) {
  return static_cast<uint32_t>(pic) << 20 | static_cast<uint32_t>(x) << 10 |
         static_cast<uint32_t>(y);
}

struct DirectRun : fxdirect::DirectRun {
  DirectRun(int w, int h) : fxdirect::DirectRun(w, h, coded, -1) {}
  DirectRun(int w, int h, OwnedBitmap n, OwnedBitmap o)
      : fxdirect::DirectRun(w, h, std::move(n), std::move(o), -1) {}
};

struct Size {
  int w, h;
};
const Size SIZES[] = {{64, 48}, {61, 37}, {1, 1}, {1, 40}};

// Effects that only ever show old or new pixels, the new set growing.
const int REVEAL_IDS[] = {24, 25, 26, 27, 28, 29, 38, 39, 40, 41, 42, 43, 44, 45,
                          46, 83, 88, 89, 90, 91, 92, 93, 94, 95, 96, 82, 139};
// The other ids of these families.
const int OTHER_IDS[] = {70, 71, 72,  73,  74,  75,  76,  77,  78, 79,
                         80, 81, 115, 116, 117, 134, 135, 136, 137};
const int SPEEDS[] = {-1, -2, -3, 7};

TEST(FXRenderers, EveryEffectEndsOnItsFrameCountWithTheNewPicture) {
  SeedMathGenerators(7);
  std::vector<int> ids(std::begin(REVEAL_IDS), std::end(REVEAL_IDS));
  ids.insert(ids.end(), std::begin(OTHER_IDS), std::end(OTHER_IDS));
  for (Size size : SIZES)
    for (int id : ids)
      for (int speed : SPEEDS) {
        SCOPED_TRACE(testing::Message()
                     << "effect " << id << " on " << size.w << "x" << size.h << " speed " << speed);
        DirectRun r(size.w, size.h);
        ASSERT_EQ(r.prepare(id, speed), ERR_NONE);
        ASSERT_TRUE(r.run());
        EXPECT_EQ(static_cast<int>(r.frames.size()), r.s.frameCount);
        EXPECT_EQ(r.s.frame, r.s.frameCount);
        EXPECT_EQ(r.frames.back(), r.newPixels());
      }
}

TEST(FXRenderers, RevealEffectsShowOnlyOldOrNewPixelsAndTheNewSetGrows) {
  SeedMathGenerators(11);
  for (Size size : SIZES)
    for (int id : REVEAL_IDS) {
      SCOPED_TRACE(testing::Message() << "effect " << id << " on " << size.w << "x" << size.h);
      DirectRun r(size.w, size.h);
      ASSERT_EQ(r.prepare(id, -1), ERR_NONE);
      ASSERT_TRUE(r.run());
      Frame n = r.newPixels(), o = r.oldPixels();
      std::vector<char> shown(n.size(), 0);
      for (size_t f = 0; f < r.frames.size(); ++f)
        for (size_t i = 0; i < n.size(); ++i) {
          uint32_t p = r.frames[f][i];
          ASSERT_TRUE(p == n[i] || p == o[i]) << "frame " << f << " pixel " << i;
          if (shown[i]) {
            ASSERT_EQ(p, n[i]) << "frame " << f << " pixel " << i << " went back";
          }
          shown[i] = p == n[i];
        }
    }
}

// FADE, BLEND and FLOW keep the new picture's mask: they end with the new
// picture blitted through it over the old one.
TEST(FXRenderers, MaskedPicturesEndBlittedThroughTheirMask) {
  const int W = 21, H = 13;
  for (int id : {70, 71, 72, 73, 116, 117}) {
    SCOPED_TRACE(testing::Message() << "effect " << id);
    DirectRun r(W, H);
    OwnedBitmap mask(AllocBitMask(r.newPic.get(), W, H, 1, nullptr, 0));
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        if ((x / 3 + y / 2) % 2) MaskRectOp(mask.get(), x, y, 1, 1, 0);
    ASSERT_EQ(r.prepare(id, -1), ERR_NONE);
    r.s.mask = mask.get();
    ASSERT_TRUE(r.run());
    Frame n = r.newPixels(), o = r.oldPixels();
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        size_t i = static_cast<size_t>(y) * W + x;
        ASSERT_EQ(r.frames.back()[i], (x / 3 + y / 2) % 2 ? n[i] : o[i]) << x << "," << y;
      }
  }
}

// Jumps draw frame n from scratch: the same picture as n frames, and the
// frames after it go on from there.
TEST(FXRenderers, JumpsEqualSingleFrames) {
  std::vector<int> ids(std::begin(OTHER_IDS), std::end(OTHER_IDS));
  ids.push_back(139);
  for (int id : ids) {
    SCOPED_TRACE(testing::Message() << "effect " << id);
    DirectRun plain(40, 30);
    SeedMathGenerators(3);
    ASSERT_EQ(plain.prepare(id, -1), ERR_NONE);
    ASSERT_TRUE(plain.run());
    int count = plain.s.frameCount;
    for (int n : {1, count / 2, count - 1, count}) {
      if (n < 1) continue;
      SCOPED_TRACE(testing::Message() << "frame " << n);
      DirectRun jumped(40, 30);
      SeedMathGenerators(3);
      ASSERT_EQ(jumped.prepare(id, -1), ERR_NONE);
      EXPECT_EQ(jumped.jump(n), plain.frames[n - 1]);
      jumped.s.frame = n;
      if (n < count) {
        jumped.run(1);
        EXPECT_EQ(jumped.frames.back(), plain.frames[n]);
      }
    }
  }
}

TEST(FXRenderers, CurtainsAndBars) {
  // A picture one pixel wide: the single column, then the end.
  DirectRun thin(1, 20);
  ASSERT_EQ(thin.prepare(24, -1), ERR_NONE);
  ASSERT_TRUE(thin.run());
  EXPECT_EQ(thin.frames.back(), thin.newPixels());
  EXPECT_LE(thin.frames.size(), 2u);

  // BARS counts frames by its speed only.
  for (int speed : {-1, -2, -3, 1, 5, 8}) {
    DirectRun small(16, 16), large(640, 480);
    ASSERT_EQ(small.prepare(28, speed), ERR_NONE);
    ASSERT_EQ(large.prepare(28, speed), ERR_NONE);
    EXPECT_EQ(small.s.frameCount, large.s.frameCount) << "speed " << speed;
  }
}

// HOPENGATE: the old picture's halves slide apart, exact rows each frame.
TEST(FXRenderers, OpenGateMovesTheOldHalvesOut) {
  const int W = 8, H = 40, step = 3;
  DirectRun r(W, H);
  ASSERT_EQ(r.prepare(74, step), ERR_NONE);
  ASSERT_TRUE(r.run());
  ASSERT_EQ(static_cast<int>(r.frames.size()), (H / 2 + step - 1) / step);
  for (size_t k = 1; k <= r.frames.size(); ++k) {
    int u = std::max(H / 2 - static_cast<int>(k) * step, 0);
    int d = std::min(H / 2 + static_cast<int>(k) * step, H);
    for (int y = 0; y < H; ++y) {
      uint32_t want = y < u    ? coded(2, 0, y + H / 2 - u)
                      : y >= d ? coded(2, 0, H / 2 + y - d)
                               : coded(1, 0, y);
      ASSERT_EQ(r.frames[k - 1][static_cast<size_t>(y) * W], want) << "frame " << k << " row " << y;
    }
  }
}

// HCLOSEGATE: the new halves slide in and meet in the middle, also for an
// odd height.
TEST(FXRenderers, CloseGateBringsTheNewHalvesIn) {
  for (int H : {40, 37}) {
    const int W = 4, step = 4;
    DirectRun r(W, H);
    ASSERT_EQ(r.prepare(75, step), ERR_NONE);
    ASSERT_TRUE(r.run());
    for (size_t k = 1; k < r.frames.size(); ++k) {
      int u = static_cast<int>(k) * step, d = H - static_cast<int>(k) * step;
      for (int y = 0; y < H; ++y) {
        uint32_t want = y < u    ? coded(1, 0, H / 2 - u + y)
                        : y >= d ? coded(1, 0, H / 2 + y - d)
                                 : coded(2, 0, y);
        ASSERT_EQ(r.frames[k - 1][static_cast<size_t>(y) * W], want)
            << "H " << H << " frame " << k << " row " << y;
      }
    }
    EXPECT_EQ(r.frames.back(), r.newPixels()) << "H " << H;
  }
}

// The new set of every frame of a RECT effect is a filled rectangle at its
// anchor; a RECTBACK hole is one at the opposite anchor.
TEST(FXRenderers, RectanglesGrowFromTheirAnchor) {
  struct Box {
    int x0 = 1 << 20, y0 = 1 << 20, x1 = -1, y1 = -1;
  };
  // 0 low side, 1 centred, 2 high side, per anchor.
  const int AX[9] = {1, 1, 2, 2, 2, 1, 0, 0, 0};
  const int AY[9] = {1, 0, 0, 1, 2, 2, 2, 1, 0};
  for (Size size : {Size{48, 48}, Size{61, 37}, Size{20, 50}})
    for (int back = 0; back < 2; ++back)
      for (int anchor = 0; anchor < 9; ++anchor) {
        int id = (back ? 88 : 38) + anchor;
        SCOPED_TRACE(testing::Message() << "effect " << id << " on " << size.w << "x" << size.h);
        DirectRun r(size.w, size.h);
        ASSERT_EQ(r.prepare(id, -1), ERR_NONE);
        ASSERT_TRUE(r.run());
        Frame n = r.newPixels();
        for (size_t f = 0; f + 1 < r.frames.size(); ++f) {
          // The growing rectangle, or the hole of old pixels.
          Box b;
          size_t count = 0;
          for (int y = 0; y < size.h; ++y)
            for (int x = 0; x < size.w; ++x) {
              bool isNew = r.frames[f][static_cast<size_t>(y) * size.w + x] ==
                           n[static_cast<size_t>(y) * size.w + x];
              if (isNew == !back) {
                b.x0 = std::min(b.x0, x), b.y0 = std::min(b.y0, y);
                b.x1 = std::max(b.x1, x), b.y1 = std::max(b.y1, y);
                ++count;
              }
            }
          if (count == 0) continue;
          ASSERT_EQ(count, static_cast<size_t>(b.x1 - b.x0 + 1) * (b.y1 - b.y0 + 1))
              << "frame " << f;
          int left = b.x0, right = size.w - 1 - b.x1, top = b.y0, bottom = size.h - 1 - b.y1;
          int ax = back ? 2 - AX[anchor] : AX[anchor], ay = back ? 2 - AY[anchor] : AY[anchor];
          auto check = [&](int placement, int low, int high) {
            // Growing rectangles keep equal margins; holes round down.
            if (placement == 0) {
              EXPECT_EQ(low, 0) << "frame " << f;
            } else if (placement == 2) {
              EXPECT_EQ(high, 0) << "frame " << f;
            } else if (!back) {
              EXPECT_EQ(low, high) << "frame " << f;
            } else {
              EXPECT_TRUE(low == high || low + 1 == high) << "frame " << f;
            }
          };
          check(ax, left, right);
          check(ay, top, bottom);
        }
      }
}

TEST(FXRenderers, DiagonalEndsWhenTheFrontReachesTheFarCorner) {
  const int W = 64, H = 18, step = 4;
  DirectRun r(W, H);
  ASSERT_EQ(r.prepare(83, step), ERR_NONE);
  EXPECT_EQ(r.s.frameCount, (W + H + step - 1) / step);
  ASSERT_TRUE(r.run());
  EXPECT_EQ(static_cast<int>(r.frames.size()), (W + H + step - 1) / step);
  // Row 0 shows the new picture exactly up to the front, d = k x step.
  for (size_t k = 1; k <= r.frames.size(); ++k)
    for (int x = 0; x < W; ++x)
      ASSERT_EQ(r.frames[k - 1][x] == coded(1, x, 0), x < static_cast<int>(k) * step)
          << "frame " << k << " column " << x;
  EXPECT_EQ(r.frames.back(), r.newPixels());
}

TEST(FXRenderers, PushShowsBothPicturesExactly) {
  const int W = 30, H = 20, step = 7;
  for (int id : {78, 80}) {
    DirectRun r(W, H);
    ASSERT_EQ(r.prepare(id, step), ERR_NONE);
    ASSERT_TRUE(r.run());
    int extent = id == 78 ? W : H;
    ASSERT_EQ(static_cast<int>(r.frames.size()), (extent + step - 1) / step);
    for (size_t k = 1; k <= r.frames.size(); ++k) {
      int d = std::min(static_cast<int>(k) * step, extent);
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          uint32_t want = id == 78 ? (x < d ? coded(1, x + W - d, y) : coded(2, x - d, y))
                                   : (y < d ? coded(1, x, y + H - d) : coded(2, x, y - d));
          ASSERT_EQ(r.frames[k - 1][static_cast<size_t>(y) * W + x], want)
              << "effect " << id << " frame " << k << " at " << x << "," << y;
        }
    }
  }
}

TEST(FXRenderers, FlowMovesAtMostThirtyRowsAndRepeatsTheLastRow) {
  const int W = 6, H = 100;
  DirectRun r(W, H);
  ASSERT_EQ(r.prepare(70, 40), ERR_NONE);
  EXPECT_EQ(r.s.speed, 30);
  ASSERT_TRUE(r.run());
  ASSERT_EQ(r.frames.size(), 4u);
  for (size_t k = 1; k <= r.frames.size(); ++k) {
    int q = std::min(30 * static_cast<int>(k), H);
    for (int y = 0; y < H; ++y)
      ASSERT_EQ(r.frames[k - 1][static_cast<size_t>(y) * W + 2], coded(1, 2, std::min(y, q - 1)))
          << "frame " << k << " row " << y;
  }
}

TEST(FXRenderers, PuzzleDrawsEveryTileOnceInAnyOrder) {
  // 12 x 7 with tiles of 5: three columns and two rows, the edge tiles
  // clipped; each frame adds exactly one tile.
  {
    DirectRun r(12, 7);
    SeedMathGenerators(5);
    ASSERT_EQ(r.prepare(82, 5), ERR_NONE);
    ASSERT_TRUE(r.run());
    ASSERT_EQ(r.frames.size(), 6u);
    Frame n = r.newPixels();
    std::set<int> tiles;
    Frame before = r.oldPixels();
    for (const Frame& f : r.frames) {
      std::set<int> changed;
      for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 12; ++x)
          if (f[y * 12 + x] != before[y * 12 + x]) changed.insert((y / 5) * 3 + x / 5);
      ASSERT_EQ(changed.size(), 1u);
      int tile = *changed.begin();
      EXPECT_TRUE(tiles.insert(tile).second) << "tile " << tile << " twice";
      for (int y = (tile / 3) * 5; y < std::min((tile / 3) * 5 + 5, 7); ++y)
        for (int x = (tile % 3) * 5; x < std::min((tile % 3) * 5 + 5, 12); ++x)
          EXPECT_EQ(f[y * 12 + x], n[y * 12 + x]);
      before = f;
    }
    EXPECT_EQ(r.frames.back(), n);
  }
  // 2 x 2 tiles: 2,000 seeded runs give all 24 orders.
  std::set<std::vector<int>> orders;
  for (int seed = 0; seed < 2000; ++seed) {
    DirectRun r(8, 8);
    SeedMathGenerators(seed);
    ASSERT_EQ(r.prepare(82, 5), ERR_NONE);
    ASSERT_TRUE(r.run());
    ASSERT_EQ(r.frames.size(), 4u);
    std::vector<int> order;
    Frame o = r.oldPixels();
    for (const Frame& f : r.frames)
      for (int tile = 0; tile < 4; ++tile) {
        size_t i = static_cast<size_t>((tile / 2) * 5) * 8 + (tile % 2) * 5;
        if (f[i] != o[i] && std::find(order.begin(), order.end(), tile) == order.end())
          order.push_back(tile);
      }
    ASSERT_EQ(order.size(), 4u);
    orders.insert(order);
  }
  EXPECT_EQ(orders.size(), 24u);
}

// ---- Levels, on solid pictures ----

int channel(uint32_t c, int shift) { return static_cast<int>((c >> shift) & 0xFF); }

// Every pixel of the frame is within 1 of (a x wa + b x (255 - wa)) / 255
// per channel.
void expectUniformMix(const Frame& f, uint32_t a, uint32_t b, int wa, const char* what) {
  for (uint32_t p : f) {
    for (int shift : {0, 8, 16}) {
      int want = (channel(a, shift) * wa + channel(b, shift) * (255 - wa)) / 255;
      ASSERT_LE(std::abs(channel(p, shift) - want), 1)
          << what << ": pixel " << std::hex << p << " mixing " << a << " and " << b << std::dec
          << " at " << wa;
    }
  }
  EXPECT_TRUE(std::all_of(f.begin(), f.end(), [&](uint32_t p) { return p == f[0]; })) << what;
}

OwnedBitmap solid(int w, int h, uint32_t colour) {
  return Picture(w, h, [colour](int, int) { return colour; });
}

TEST(FXRenderers, FadeAndCrossFadeLevels) {
  const uint32_t NEW = 0x3080C0, OLD = 0xE02010, COLOUR = 0x10F040;
  {
    DirectRun r(9, 7, solid(9, 7, NEW), solid(9, 7, OLD));
    ASSERT_EQ(r.prepare(116, 255, static_cast<int>(COLOUR)), ERR_NONE);
    ASSERT_TRUE(r.run());
    ASSERT_EQ(r.frames.size(), 3u);
    expectUniformMix(r.frames[0], COLOUR, OLD, 255, "FADE frame 1");
    expectUniformMix(r.frames[1], COLOUR, NEW, 1, "FADE frame 2");
    expectUniformMix(r.frames[2], COLOUR, NEW, 0, "FADE frame 3");
  }
  {
    DirectRun r(9, 7, solid(9, 7, NEW), solid(9, 7, OLD));
    ASSERT_EQ(r.prepare(115, 120), ERR_NONE);
    ASSERT_TRUE(r.run());
    ASSERT_EQ(r.frames.size(), 3u);
    const int levels[] = {120, 240, 255};
    for (int k = 0; k < 3; ++k) expectUniformMix(r.frames[k], NEW, OLD, levels[k], "CROSSFADE");
  }
}

// Every FADE and BLEND frame of a detailed picture is exactly the tinted
// picture that TintBitmap makes of a copy at the frame's tint.
TEST(FXRenderers, FadeFramesAreTheTintedPictureExactly) {
  const int W = 23, H = 11;
  // Each channel of the colour lies inside the picture's range, so that tints go
  // both up and down.
  const uint32_t COLOUR = 0x183005;
  for (int id : {116, 117})
    for (int speed : {40, 51}) {
      SCOPED_TRACE(testing::Message() << "effect " << id << " speed " << speed);
      DirectRun r(W, H);
      ASSERT_EQ(r.prepare(id, speed, static_cast<int>(COLOUR)), ERR_NONE);
      ASSERT_TRUE(r.run());
      for (size_t k = 1; k <= r.frames.size(); ++k) {
        int level = std::min(static_cast<int>(k) * speed, 511);
        if (k == r.frames.size()) level = 511;
        int tint = level < 256 ? level : 255 - level % 256;
        bool old = id == 116 && level <= 255;
        OwnedBitmap want = Picture(W, H, [old](int x, int y) { return coded(old ? 2 : 1, x, y); });
        if (tint > 0) TintBitmap(want.get(), 0, 0, W, H, COLOUR, tint);
        ASSERT_EQ(r.frames[k - 1], PixelsOf(want.get())) << "frame " << k << " tint " << tint;
      }
    }
}

// FADE and BLEND with RANDOMPARAMETER take one colour, rand()'s low 24
// bits, for the whole transition.
TEST(FXRenderers, RandomFadeColourComesFromTheSeed) {
  const uint32_t NEW = 0x3080C0, OLD = 0xE02010;
  for (int id : {116, 117})
    for (int seed : {1, 99}) {
      SeedMathGenerators(seed);
      uint32_t colour = static_cast<uint32_t>(rand()) & RGB;
      DirectRun r(5, 5, solid(5, 5, NEW), solid(5, 5, OLD));
      SeedMathGenerators(seed);
      ASSERT_EQ(r.prepare(id, 255, -1), ERR_NONE);
      ASSERT_TRUE(r.run());
      // Frame 1 is at tint 255: the colour itself.
      expectUniformMix(r.frames[0], colour, 0, 255, "random colour");
      expectUniformMix(r.frames[1], colour, NEW, 1, "same colour on frame 2");
    }
}

TEST(FXRenderers, DissolveFollowsTheSeededTable) {
  const int W = 23, H = 11;
  SeedMathGenerators(42);
  std::vector<int> table(W * H);
  for (int& t : table) t = rand() % 255;
  DirectRun r(W, H);
  SeedMathGenerators(42);
  ASSERT_EQ(r.prepare(139, -1), ERR_NONE);
  ASSERT_TRUE(r.run());
  ASSERT_EQ(r.frames.size(), 64u);
  Frame n = r.newPixels();
  for (size_t k = 1; k < 64; ++k)
    for (size_t i = 0; i < n.size(); ++i)
      ASSERT_EQ(r.frames[k - 1][i] == n[i], table[i] < static_cast<int>(4 * k))
          << "frame " << k << " pixel " << i;
  EXPECT_EQ(r.frames.back(), n);
}

// Every WATER frame is exactly what the pixel engine's ripple kernel draws
// of the two pictures at that frame.
TEST(FXRenderers, WaterFramesAreTheRippleKernelsExactly) {
  const int W = 37, H = 23;
  const double WAVES[] = {32.0, 64.0, 16.0, 8.0};
  std::vector<int32_t> distances(static_cast<size_t>(W) * H);
  std::vector<double> sine(RIPPLE_SINE_ENTRIES);
  BuildRippleTables(sine.data(), distances.data(), W, H, W / 2, H / 2);
  auto random = [](int n, int x, int y) {
    return static_cast<uint32_t>((x * 2654435761u) ^ (y * 40503u) ^ (n * 97u)) & RGB;
  };
  for (int id = 134; id <= 137; ++id) {
    SCOPED_TRACE(testing::Message() << "effect " << id);
    DirectRun r(W, H, Picture(W, H, [&](int x, int y) { return random(1, x, y); }),
                Picture(W, H, [&](int x, int y) { return random(2, x, y); }));
    ASSERT_EQ(r.prepare(id, 5), ERR_NONE);
    ASSERT_TRUE(r.run());
    ASSERT_EQ(r.frames.size(), 10u);
    OwnedBitmap want(AllocBitmap(W, H, 0, nullptr));
    for (int k = 1; k < 10; ++k) {
      ASSERT_EQ(
          RippleTransitionFrame(r.newPic.get(), r.oldPic.get(), want.get(), nullptr, nullptr, W, H,
                                distances.data(), sine.data(), WAVES[id - 134], 0.05, 5, 0, k),
          ERR_NONE);
      ASSERT_EQ(r.frames[static_cast<size_t>(k) - 1], PixelsOf(want.get())) << "frame " << k;
    }
  }
}

TEST(FXRenderers, WaterWavesAreStrongestHalfway) {
  const int W = 48, H = 40;
  // Smooth ramps, so that a pixel departs from the mix by about as much
  // as it is displaced.
  DirectRun r(W, H,
              Picture(W, H, [](int x, int) { return static_cast<uint32_t>(x * 5) * 0x010101u; }),
              Picture(W, H, [](int, int y) { return static_cast<uint32_t>(y * 6) * 0x010101u; }));
  ASSERT_EQ(r.prepare(135, -3), ERR_NONE);
  ASSERT_TRUE(r.run());
  ASSERT_EQ(r.frames.size(), 100u);
  EXPECT_EQ(r.frames.back(), r.newPixels());
  Frame n = r.newPixels(), o = r.oldPixels();
  auto departure = [&](int k) {
    int level = k * 255 / 100;
    long sum = 0;
    for (size_t i = 0; i < n.size(); ++i) {
      int mix = (channel(n[i], 0) * level + channel(o[i], 0) * (255 - level)) / 255;
      sum += std::abs(channel(r.frames[k - 1][i], 0) - mix);
    }
    return sum;
  };
  EXPECT_GT(departure(50), departure(10)) << departure(10) << " " << departure(50);
  EXPECT_GT(departure(50), departure(90)) << departure(90) << " " << departure(50);
}

}  // namespace
