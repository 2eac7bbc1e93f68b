// Seeded random round trips through every writer and its reader: sizes
// biased to the edges (1 pixel, odd widths, one past a byte or word),
// pixels biased to 0x00 and 0xFF. PNG, ILBM and GIF come back exactly (GIF
// through random palettes and frame optimisation), JPEG keeps its size.
// A failure names the iteration; QM_IMAGE_ROUNDTRIP=<i> replays one.
#include <cstdlib>
#include <cstring>

#include "media/media.h"
#include "media/image_private.h"
#include "tests/media/image_support.h"

using namespace imagetest;

namespace {

// Our own generator, so that every library gives the same sequence.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<uint32_t>(s >> 11);
  }
  uint32_t below(uint32_t n) { return next() % n; }
  int32_t size() {
    static const int32_t edges[] = {1, 2, 7, 8, 9, 15, 16, 17, 31, 33, 127, 129};
    return below(3) ? edges[below(12)] : 1 + static_cast<int32_t>(below(200));
  }
  uint8_t byte() {
    uint32_t k = below(4);
    return k == 0 ? 0 : k == 1 ? 0xFF : static_cast<uint8_t>(next());
  }
};

void RoundTrip(int i, const TempDir& dir) {
  Rng rng(static_cast<uint64_t>(i));
  const int32_t w = rng.size(), h = rng.size();
  SCOPED_TRACE("iteration " + std::to_string(i) + ": " + std::to_string(w) + " x " +
               std::to_string(h));
  std::vector<uint32_t> picture(static_cast<size_t>(w) * h);
  for (auto& p : picture)
    p = (uint32_t{rng.byte()} << 24) | (uint32_t{rng.byte()} << 16) | (uint32_t{rng.byte()} << 8) |
        rng.byte();

  // PNG with and without alpha.
  const int alpha = static_cast<int>(rng.below(2));
  std::string png = dir / "r.png";
  PngWriteRequest r{png.c_str(), picture.data(), w * 4u, w, h, alpha, -1};
  WritePng(&r);
  ASSERT_EQ(r.result, 0);
  Decoded d = Load(png);
  ASSERT_EQ(d.error, 0);
  EXPECT_TRUE(d.pixels == (alpha ? picture : Rgb(picture)));

  // ILBM: 24 planes, no alpha.
  std::string iff = dir / "r.iff";
  ASSERT_EQ(WriteIlbmImage(iff.c_str(), picture.data(), w, h), 0);
  d = Load(iff);
  ASSERT_EQ(d.error, 0);
  EXPECT_TRUE(d.pixels == Rgb(picture));

  // GIF: three frames of random palettes; the last repeats the second with
  // a few pixels changed.
  std::string gif = dir / "r.gif";
  GifWriter* writer = nullptr;
  ASSERT_EQ(OpenGifWriter(gif.c_str(), w, h, &writer), 0);
  const int optimize = static_cast<int>(rng.below(2));
  std::vector<std::vector<uint32_t>> frames;
  std::vector<uint8_t> pens(picture.size());
  uint32_t palette[256] = {};
  int32_t colours = 1;
  for (int f = 0; f < 3; f++) {
    if (f < 2) {
      colours = 1 + static_cast<int32_t>(rng.below(256));
      for (int32_t c = 0; c < colours; c++) palette[c] = rng.next() & 0xFFFFFF;
      for (auto& p : pens)
        p = static_cast<uint8_t>(rng.below(3) ? rng.below(static_cast<uint32_t>(colours)) : 0);
    } else {
      for (int k = 0; k < 3; k++)
        pens[rng.below(static_cast<uint32_t>(pens.size()))] = static_cast<uint8_t>(colours - 1);
    }
    std::vector<uint32_t> want(pens.size());
    for (size_t k = 0; k < pens.size(); k++) want[k] = palette[pens[k]] | 0xFF000000u;
    frames.push_back(want);
    std::vector<uint8_t> copy(pens);  // the writer may change its pens
    ASSERT_EQ(WriteGifAnimFrame(writer, copy.data(), w, h, 40, palette, colours, -1, optimize, 1),
              0);
  }
  ASSERT_EQ(CloseGifWriter(writer), 0);
  StreamHandle* s = OpenFileStream(gif.c_str(), STREAM_READ, nullptr);
  int32_t gw = 0, gh = 0, count = 0;
  GifReader* reader = OpenGifReader(s, &gw, &gh, &count, 0, 0, 0);
  ASSERT_NE(reader, nullptr);
  ASSERT_EQ(count, 3);
  for (int f = 2; f >= 0; f--) {  // backwards: every read restarts
    uint32_t* p = ReadGifFrame(reader, f, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(std::vector<uint32_t>(p, p + picture.size()) == frames[static_cast<size_t>(f)])
        << "frame " << f;
    FreeMemory(p);
  }
  CloseGifReader(reader);

  // JPEG keeps the size and decodes from memory.
  JpegEncodeRequest j{};
  j.pixels = picture.data();
  j.bytesPerRow = w * 4u;
  j.width = w;
  j.height = h;
  j.quality = static_cast<int32_t>(rng.below(101));
  EncodeJpegToMemory(&j);
  ASSERT_EQ(j.result, 0);
  int32_t jw = 0, jh = 0;
  uint32_t* pixels = nullptr;
  ASSERT_EQ(DecodeJpegImage(nullptr, j.data, j.length, 0, static_cast<int32_t>(rng.below(9)), &jw,
                            &jh, &pixels),
            0);
  EXPECT_EQ(static_cast<int64_t>(jw) * jh, static_cast<int64_t>(w) * h);
  FreeMemory(pixels);
  FreeJpegBuffer(j.holder);
}

TEST(ImageRoundTrip, SeededRandomPicturesThroughEveryWriter) {
  TempDir dir;
  if (const char* one = std::getenv("QM_IMAGE_ROUNDTRIP")) {
    RoundTrip(std::atoi(one), dir);
    return;
  }
  for (int i = 0; i < 60 && !HasFailure(); i++) RoundTrip(i, dir);
}

}  // namespace
