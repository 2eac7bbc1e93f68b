// GIF reading and writing against ImageMagick, gifsicle and giflib's
// tools: still pictures and coalesced anim frames decode to their pixels,
// frame counts and delays match gifsicle's, random access decodes only from
// the latest key frame, corrupt LZW fails the frame, and written files pass
// the tools and read back exactly.
#include <algorithm>
#include <cstdlib>

#include "media/media.h"
#include "media/image_private.h"
#include "tests/media/image_support.h"

using namespace imagetest;

namespace {

// Frames of a GIF through the reader: pixels and delays.
struct Frames {
  int32_t width = 0, height = 0, count = 0;
  std::vector<std::vector<uint32_t>> pixels;
  std::vector<int32_t> delays;
};

Frames ReadAll(const std::string& path) {
  Frames f;
  StreamHandle* s = OpenFileStream(path.c_str(), STREAM_READ, nullptr);
  if (!s) return f;
  GifReader* r = OpenGifReader(s, &f.width, &f.height, &f.count, 0, 0, 0);
  if (!r) return f;
  for (int32_t i = 0; i < f.count; i++) {
    uint32_t* p = ReadGifFrame(r, i, nullptr);
    if (!p) break;
    f.pixels.emplace_back(p, p + static_cast<size_t>(f.width) * f.height);
    f.delays.push_back(GetGifFrameDelay(r, i));
    FreeMemory(p);
  }
  CloseGifReader(r);
  return f;
}

// ImageMagick's coalesced frames as RGBA.
std::vector<std::vector<uint32_t>> MagickFrames(const std::string& path, int32_t w, int32_t h,
                                                size_t count) {
  std::vector<uint32_t> all = Words(Shell("convert '" + path + "' -coalesce -depth 8 rgba:-"), 4);
  std::vector<std::vector<uint32_t>> out;
  size_t n = static_cast<size_t>(w) * h;
  for (size_t i = 0; i < count && (i + 1) * n <= all.size(); i++)
    out.emplace_back(all.begin() + static_cast<long>(i * n),
                     all.begin() + static_cast<long>((i + 1) * n));
  return out;
}

// Our opaque pixels equal ImageMagick's.
void ExpectOpaqueEqual(const std::vector<uint32_t>& ours, const std::vector<uint32_t>& theirs) {
  ASSERT_EQ(ours.size(), theirs.size());
  size_t opaque = 0, differ = 0;
  for (size_t i = 0; i < ours.size(); i++) {
    if ((ours[i] >> 24) != 0xFF) continue;
    opaque++;
    if ((ours[i] & 0xFFFFFF) != (theirs[i] & 0xFFFFFF)) differ++;
  }
  EXPECT_GT(opaque, 0u);
  EXPECT_EQ(differ, 0u);
}

TEST(ImageGif, StillPicturesEqualImageMagick) {
  REQUIRE_TOOLS("convert");
  TempDir dir;
  const std::string base = dir / "base.png";
  Shell("convert -size 41x27 gradient:orange-navy -fill white -draw 'circle 20,13 20,4' '" + base +
        "'");
  const char* variants[][3] = {{"gif87", "-colors 64", "GIF87:"},
                               {"gif89", "-colors 200", "GIF:"},
                               {"interlaced", "-colors 200 -interlace GIF", "GIF:"},
                               {"two", "-colors 2", "GIF:"}};
  for (auto& v : variants) {
    SCOPED_TRACE(v[0]);
    std::string path = dir / (std::string(v[0]) + ".gif");
    Shell("convert '" + base + "' " + v[1] + " " + v[2] + "'" + path + "'");
    Decoded d = Load(path);
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(d.format, IMGFMT_GIF);
    // Every pixel is drawn: opaque, and ImageMagick's colour.
    for (uint32_t p : d.pixels) ASSERT_EQ(p >> 24, 0xFFu);
    EXPECT_TRUE(Rgb(d.pixels) == Words(Shell("convert '" + path + "' -depth 8 rgb:-"), 3));
  }
  EXPECT_TRUE(Load(dir / "interlaced.gif").pixels == Load(dir / "gif89.gif").pixels);
}

TEST(ImageGif, AnimFramesCountsAndDelaysMatchTheTools) {
  REQUIRE_TOOLS("convert", "gifsicle");
  TempDir dir;
  // Frames of differing rectangles, disposals and transparency, made by
  // ImageMagick's frame optimiser from full pictures.
  std::string frames;
  for (int i = 0; i < 9; i++) {
    std::string f = dir / ("f" + std::to_string(i) + ".png");
    Shell("convert -size 48x32 xc:skyblue -fill red -draw 'rectangle " + std::to_string(i * 4) +
          ",4 " + std::to_string(i * 4 + 9) + ",20' -fill yellow -draw 'circle 24,16 24," +
          std::to_string(8 + i) + "' '" + f + "'");
    frames += " -delay " + std::to_string(3 + i) + " '" + f + "'";
  }
  const std::string layered = dir / "layered.gif", plain = dir / "plain.gif";
  Shell("convert" + frames + " -layers OptimizeTransparency -loop 0 '" + layered + "'");
  Shell("convert" + frames + " -dispose Previous -layers OptimizeFrame '" + plain + "'");
  for (const std::string& path : {layered, plain}) {
    SCOPED_TRACE(path);
    Frames f = ReadAll(path);
    ASSERT_EQ(f.count, 9);
    ASSERT_EQ(f.pixels.size(), 9u);
    std::string info = Shell("gifsicle --info '" + path + "'");
    EXPECT_NE(info.find("9 images"), std::string::npos) << info;
    // gifsicle's delays, in seconds, in frame order.
    std::vector<int32_t> delays;
    for (size_t at = info.find("delay "); at != std::string::npos; at = info.find("delay ", at + 1))
      delays.push_back(static_cast<int32_t>(std::atof(info.c_str() + at + 6) * 1000 + 0.5));
    EXPECT_TRUE(delays == f.delays);
    for (int i = 0; i < 9; i++) EXPECT_EQ(f.delays[i], (3 + i) * 10);
    std::vector<std::vector<uint32_t>> want = MagickFrames(path, f.width, f.height, 9);
    ASSERT_EQ(want.size(), 9u);
    for (int i = 0; i < 9; i++) {
      SCOPED_TRACE(i);
      ExpectOpaqueEqual(f.pixels[i], want[i]);
    }
  }
}

// A GIF built by hand: a screen, a global table, then frames given as
// (left, top, width, height, transparent index or -1, disposal, pens).
struct HandFrame {
  int32_t left, top, width, height, transparent, disposal;
  std::vector<uint8_t> pens;
};

// LZW data of pens with a clear code before every pen, so every code is a
// literal at the starting width (minimum code size 2: 3-bit codes... the
// width never grows because no entry is ever added after a clear).
std::vector<uint8_t> LiteralLzw(const std::vector<uint8_t>& pens, int minSize) {
  std::vector<uint8_t> bytes;
  uint32_t acc = 0;
  int bits = 0, width = minSize + 1;
  auto emit = [&](uint32_t code) {
    acc |= code << bits;
    bits += width;
    while (bits >= 8) {
      bytes.push_back(static_cast<uint8_t>(acc));
      acc >>= 8;
      bits -= 8;
    }
  };
  for (uint8_t p : pens) {
    emit(1u << minSize);
    emit(p);
  }
  emit((1u << minSize) + 1);
  if (bits) bytes.push_back(static_cast<uint8_t>(acc));
  return bytes;
}

std::vector<uint8_t> MakeGif(int32_t w, int32_t h, const std::vector<uint32_t>& table,
                             const std::vector<HandFrame>& frames, bool breakFirstCode = false) {
  std::vector<uint8_t> b = {
      'G', 'I',  'F', '8', '9', 'a', static_cast<uint8_t>(w), 0, static_cast<uint8_t>(h),
      0,   0xF1, 0,   0};  // 4-entry global table
  for (int i = 0; i < 4; i++) {
    b.push_back(static_cast<uint8_t>(table[i] >> 16));
    b.push_back(static_cast<uint8_t>(table[i] >> 8));
    b.push_back(static_cast<uint8_t>(table[i]));
  }
  for (const HandFrame& f : frames) {
    b.insert(b.end(),
             {0x21, 0xF9, 4, static_cast<uint8_t>((f.disposal << 2) | (f.transparent >= 0)), 5, 0,
              static_cast<uint8_t>(f.transparent >= 0 ? f.transparent : 0), 0});
    b.insert(b.end(), {0x2C, static_cast<uint8_t>(f.left), 0, static_cast<uint8_t>(f.top), 0,
                       static_cast<uint8_t>(f.width), 0, static_cast<uint8_t>(f.height), 0, 0, 2});
    std::vector<uint8_t> data = LiteralLzw(f.pens, 2);
    // A first code after the clear that is no literal (the end code's
    // neighbour, 6) where the first pen should be.
    if (breakFirstCode) data[0] = static_cast<uint8_t>((data[0] & ~0x38) | (6 << 3));
    for (size_t at = 0; at < data.size(); at += 255) {
      size_t n = std::min<size_t>(255, data.size() - at);
      b.push_back(static_cast<uint8_t>(n));
      b.insert(b.end(), data.begin() + static_cast<long>(at),
               data.begin() + static_cast<long>(at + n));
    }
    b.push_back(0);
  }
  b.push_back(0x3B);
  return b;
}

TEST(ImageGif, HandMadeFramesDisposalAndCorruption) {
  TempDir dir;
  const std::vector<uint32_t> table = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
  // 4 x 2 screen: frame 0 fills it with pen 1 and keeps it for restoring
  // (disposal 3) after frame 1 drew pen 2 over the left half; frame 2
  // draws pen 3 at the right end: the left half shows frame 0 again.
  std::vector<HandFrame> frames = {
      {0, 0, 4, 2, -1, 1, std::vector<uint8_t>(8, 1)},
      {0, 0, 2, 2, -1, 3, std::vector<uint8_t>(4, 2)},
      {3, 1, 1, 1, -1, 1, {3}},
      // Extends past the screen: clipped.
      {2, 0, 5, 1, 0, 1, {0, 2, 0, 2, 2}},
  };
  std::string path = dir / "hand.gif";
  WriteFile(path, MakeGif(4, 2, table, frames));
  Frames f = ReadAll(path);
  ASSERT_EQ(f.count, 4);
  const uint32_t R = 0xFFFF0000, G = 0xFF00FF00, B = 0xFF0000FF;
  EXPECT_TRUE(f.pixels[1] == std::vector<uint32_t>({G, G, R, R, G, G, R, R}));
  EXPECT_TRUE(f.pixels[2] == std::vector<uint32_t>({R, R, R, R, R, R, R, B}));
  EXPECT_TRUE(f.pixels[3] == std::vector<uint32_t>({R, R, R, G, R, R, R, B}));
  EXPECT_EQ(f.delays[0], 50);

  // A transparent first frame over background index 0: the background
  // colour with alpha 0, reported through maskMode 2.
  WriteFile(path, MakeGif(2, 1, table, {{0, 0, 2, 1, 0, 0, {0, 3}}}));
  Decoded d = Load(path, 2);
  ASSERT_EQ(d.error, 0);
  EXPECT_EQ(d.transparent, -2);
  EXPECT_EQ(d.pixels[0] >> 24, 0u);
  EXPECT_EQ(d.pixels[1], B);

  // A first code after a clear that is not a literal fails the frame.
  WriteFile(path, MakeGif(4, 2, table, {frames[0]}, true));
  EXPECT_EQ(Load(path).error, ERR_LOADPICTURE2);
}

TEST(ImageGif, RandomAccessStartsAtTheLatestKeyFrame) {
  TempDir dir;
  const std::vector<uint32_t> table = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
  // Frames 1 to 9 are small updates except frame 5, which covers the screen
  // without transparency.
  std::vector<HandFrame> frames = {{0, 0, 4, 4, -1, 1, std::vector<uint8_t>(16, 1)}};
  for (int i = 1; i <= 9; i++)
    frames.push_back(i == 5 ? HandFrame{0, 0, 4, 4, -1, 1, std::vector<uint8_t>(16, 2)}
                            : HandFrame{i % 4, i % 3, 1, 1, -1, 1, {3}});
  std::string path = dir / "keys.gif";
  WriteFile(path, MakeGif(4, 4, table, frames));
  StreamHandle* s = OpenFileStream(path.c_str(), STREAM_READ, nullptr);
  int32_t w, h, count;
  GifReader* r = OpenGifReader(s, &w, &h, &count, 0, 1, 0);
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(count, 10);
  EXPECT_EQ(GetGifFramesDecoded(r), 10);  // the opening scan
  uint32_t* p = ReadGifFrame(r, 2, nullptr);
  FreeMemory(p);
  EXPECT_EQ(GetGifFramesDecoded(r), 13);  // frames 0 to 2 (frame 0 is a key frame)
  p = ReadGifFrame(r, 3, nullptr);
  FreeMemory(p);
  EXPECT_EQ(GetGifFramesDecoded(r), 14);  // sequential: one frame
  p = ReadGifFrame(r, 8, nullptr);
  EXPECT_EQ(GetGifFramesDecoded(r), 18);  // frames 5 to 8
  Frames all = ReadAll(path);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(std::vector<uint32_t>(p, p + 16) == all.pixels[8]);
  FreeMemory(p);
  EXPECT_EQ(ReadGifFrame(r, 10, nullptr), nullptr);
  CloseGifReader(r);
}

// Pens and a palette for the writer tests: a test picture quantised by
// hand into n colours.
void Quantise(const std::vector<uint32_t>& picture, int n, std::vector<uint8_t>* pens,
              uint32_t* palette) {
  for (int i = 0; i < 256; i++)
    palette[i] = i < n ? ((i * 37u) << 16) | ((i * 91u & 0xFF) << 8) | (255u - i) : 0;
  pens->resize(picture.size());
  for (size_t i = 0; i < picture.size(); i++)
    (*pens)[i] = static_cast<uint8_t>((picture[i] ^ (picture[i] >> 9)) % n);
}

TEST(ImageGif, WrittenFilesPassTheToolsAndReadBack) {
  REQUIRE_TOOLS("gifsicle", "giftext");
  TempDir dir;
  const int32_t w = 61, h = 37;
  std::string path = dir / "anim.gif";
  GifWriter* writer = nullptr;
  ASSERT_EQ(OpenGifWriter(path.c_str(), w, h, &writer), 0);
  std::vector<std::vector<uint32_t>> expected;
  const int colours[] = {2, 17, 256, 256, 256, 256};
  std::vector<uint8_t> pens, previous;
  for (int i = 0; i < 6; i++) {
    uint32_t palette[256];
    Quantise(TestPicture(w, h, static_cast<uint32_t>(i < 4 ? i : 3)), colours[i], &pens, palette);
    if (i == 5) {
      // Only a 10 x 10 square changes against frame 4, in the same palette.
      Quantise(TestPicture(w, h, 3), 256, &pens, palette);
      for (int y = 20; y < 30; y++)
        for (int x = 5; x < 15; x++) pens[static_cast<size_t>(y) * w + x] ^= 0x55;
    }
    std::vector<uint32_t> want(pens.size());
    for (size_t k = 0; k < pens.size(); k++) want[k] = palette[pens[k]] | 0xFF000000u;
    expected.push_back(want);
    ASSERT_EQ(
        WriteGifAnimFrame(writer, pens.data(), w, h, 125 + i * 14, palette, colours[i], -1, 1, 1),
        0);
  }
  ASSERT_EQ(CloseGifWriter(writer), 0);

  bool ok = false;
  std::string info = Shell("gifsicle --info '" + path + "'", &ok);
  EXPECT_TRUE(ok);
  EXPECT_NE(info.find("6 images"), std::string::npos) << info;
  EXPECT_NE(info.find("loop forever"), std::string::npos) << info;
  EXPECT_NE(info.find("delay 0.12s"), std::string::npos) << info;    // 125 ms
  EXPECT_NE(info.find("delay 0.13s"), std::string::npos) << info;    // 139 ms
  EXPECT_NE(info.find("10x10 at 5,20"), std::string::npos) << info;  // the changed square alone
  Shell("giftext '" + path + "' >/dev/null", &ok);
  EXPECT_TRUE(ok);

  std::vector<uint8_t> bytes = ReadFile(path);
  ASSERT_GT(bytes.size(), 800u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 6), "GIF89a");
  EXPECT_EQ(bytes[10], 0xF7);
  EXPECT_EQ(std::string(bytes.begin() + 13, bytes.begin() + 25), "Amiga rules!");
  // First frame: 2 colours give a 2-entry table and minimum code size 2.
  const size_t image = 13 + 768 + 8 + 19;
  ASSERT_EQ(bytes[image], 0x2C);
  EXPECT_EQ(bytes[image + 9], 0x80);
  EXPECT_EQ(bytes[image + 10 + 6], 2);

  Frames f = ReadAll(path);
  ASSERT_EQ(f.count, 6);
  ASSERT_EQ(f.pixels.size(), 6u);
  for (int i = 0; i < 6; i++) EXPECT_TRUE(f.pixels[i] == expected[i]) << "frame " << i;
}

TEST(ImageGif, WriterEdgeCases) {
  TempDir dir;
  GifWriter* writer = nullptr;
  EXPECT_EQ(OpenGifWriter((dir / "x.gif").c_str(), 70000, 1, &writer), ERR_WRONGUSAGE);
  EXPECT_EQ(OpenGifWriter((dir / "x.gif").c_str(), 0, 1, &writer), ERR_WRONGUSAGE);
  EXPECT_EQ(OpenGifWriter("/nonexistent-dir/x.gif", 4, 4, &writer), ERR_WRITEFILE);

  // A 1-pixel-wide anim whose second frame is unchanged: a 1 x 1 rectangle.
  std::string path = dir / "thin.gif";
  ASSERT_EQ(OpenGifWriter(path.c_str(), 1, 3, &writer), 0);
  uint32_t palette[256] = {0x102030, 0x405060};
  uint8_t pens[3] = {0, 1, 0};
  ASSERT_EQ(WriteGifAnimFrame(writer, pens, 1, 3, 0, palette, 2, -1, 1, 1), 0);
  uint8_t same[3] = {0, 1, 0};
  ASSERT_EQ(WriteGifAnimFrame(writer, same, 1, 3, 0, palette, 2, -1, 1, 1), 0);
  uint8_t wrongSize[4] = {};
  EXPECT_EQ(WriteGifAnimFrame(writer, wrongSize, 2, 2, 0, palette, 2, -1, 1, 1), ERR_WRONGUSAGE);
  ASSERT_EQ(CloseGifWriter(writer), 0);
  Frames f = ReadAll(path);
  ASSERT_EQ(f.count, 2);
  EXPECT_TRUE(f.pixels[1] == f.pixels[0]);
  std::vector<uint8_t> bytes = ReadFile(path);
  const uint8_t second[] = {0x2C, 0, 0, 0, 0, 1, 0, 1, 0};
  EXPECT_NE(std::search(bytes.begin(), bytes.end(), second, second + 9), bytes.end());

  // A large frame of 256 noisy colours fills the code table (clear codes)
  // and a long run of one pen grows the codes to 12 bits; ImageMagick reads
  // the result as written, and so do we.
  {
    const int32_t bw = 300, bh = 200;
    std::string noisy = dir / "noisy.gif";
    std::vector<uint8_t> bigPens(static_cast<size_t>(bw) * bh, 7);
    uint32_t s = 99;
    for (size_t i = 0; i < bigPens.size() / 2; i++) {
      s = s * 1103515245u + 12345u;
      bigPens[i] = static_cast<uint8_t>(s >> 16);
    }
    uint32_t grey[256];
    for (int i = 0; i < 256; i++) grey[i] = static_cast<uint32_t>(255 - i) * 0x010101u;
    ASSERT_EQ(OpenGifWriter(noisy.c_str(), bw, bh, &writer), 0);
    ASSERT_EQ(WriteGifAnimFrame(writer, bigPens.data(), bw, bh, 0, grey, 256, -1, 0, 0), 0);
    ASSERT_EQ(CloseGifWriter(writer), 0);
    std::vector<uint32_t> want(bigPens.size());
    for (size_t i = 0; i < want.size(); i++) want[i] = grey[bigPens[i]] | 0xFF000000u;
    Frames g = ReadAll(noisy);
    ASSERT_EQ(g.count, 1);
    EXPECT_TRUE(g.pixels[0] == want);
    if (HaveTool("convert")) {
      EXPECT_TRUE(Words(Shell("convert '" + noisy + "' -depth 8 rgb:-"), 3) == Rgb(want));
    }
  }

  // Writing to a full device fails instead of reporting success.
  ASSERT_EQ(OpenGifWriter("/dev/full", 200, 200, &writer), 0);
  std::vector<uint8_t> big(200 * 200);
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<uint8_t>(i * 7919 % 251);
  uint32_t wide[256];
  for (int i = 0; i < 256; i++) wide[i] = static_cast<uint32_t>(i) * 0x010101u;
  ErrorCode e = 0;
  for (int i = 0; i < 20 && e == 0; i++)
    e = WriteGifAnimFrame(writer, big.data(), 200, 200, 0, wide, 251, -1, 0, 1);
  ErrorCode closed = CloseGifWriter(writer);
  EXPECT_TRUE(e == ERR_WRITE || closed == ERR_WRITE || closed == ERR_CLOSEFILE);
}

}  // namespace
