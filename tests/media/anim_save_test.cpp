// SaveAnim and anim streams: GIF files against gifsicle, ImageMagick and
// our GIF reader, MJPEG files against our JPEG encoder and ffprobe, frame
// composition, stream look-up and replacement, option checks and streams
// finished at shut-down.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "engine/engine.h"
#include "gfx/gfx.h"
#include "media/anim_private.h"
#include "media/image_private.h"
#include "media/media.h"
#include "tests/media/anim_support.h"
#include "tests/media/image_support.h"
#include "tests/support/harness.h"

using namespace imagetest;

namespace {

class AnimSave : public ::testing::Test {
 protected:
  void SetUp() override { p = std::make_unique<PlayerHarness>(); }
  // Pushes the arguments: numbers, strings, or a table of numeric fields.
  struct Arg {
    int kind;  // 0 number, 1 string, 2 table, 3 nil
    double number = 0;
    std::string text;
    std::vector<std::pair<std::string, double>> fields;
    Arg(double n) : kind(0), number(n) {}
    Arg(int n) : kind(0), number(n) {}
    Arg(const char* s) : kind(s ? 1 : 3), text(s ? s : "") {}
    Arg(const std::string& s) : kind(1), text(s) {}
    Arg(std::initializer_list<std::pair<std::string, double>> t) : kind(2), fields(t) {}
  };
  ErrorCode Call(const char* name, std::initializer_list<Arg> args) {
    VmState* L = p->L;
    VmSetTop(L, 0);
    for (const Arg& a : args) {
      if (a.kind == 0) VmPushNumber(L, a.number);
      if (a.kind == 1) VmPushString(L, a.text.c_str());
      if (a.kind == 3) VmPushNil(L);
      if (a.kind == 2) {
        VmNewTable(L);
        for (const auto& [key, value] : a.fields) {
          VmPushString(L, key.c_str());
          VmPushNumber(L, value);
          VmSetTable(L, -3);
        }
      }
    }
    return p->Call(name, static_cast<int>(args.size()));
  }
  // A brush of w x h pixels from the function of x, y.
  template <typename F>
  void Brush(int id, int32_t w, int32_t h, F colour) {
    std::vector<uint32_t> px(static_cast<size_t>(w) * h);
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++) px[y * w + x] = 0xFF000000u | colour(x, y);
    BrushPixels d{px.data(), w, 0, 0};
    ObjectId bid{nullptr, id};
    BrushObject* out = nullptr;
    ASSERT_EQ(CreateBrushFromPixels(p->L, &bid, 0, w, h, &d, &out), 0);
  }
  std::vector<uint32_t> BrushWords(int id) {
    BrushObject* b = nullptr;
    EXPECT_EQ(GetBrushObject(p->L, ObjectId{nullptr, id}, &b, 0), 0);
    uint32_t* px = ReadBitmapRectARGB(b->bitmap, 0, 0, b->width, b->height, 1);
    std::vector<uint32_t> out(px, px + static_cast<size_t>(b->width) * b->height);
    FreeMemory(px);
    for (auto& v : out) v &= 0xFFFFFF;
    return out;
  }
  // An anim 1 of 3 frames of 16 x 8 with about 100 colours each.
  void ColourfulAnim() {
    Brush(1, 48, 8, [](int32_t x, int32_t y) {
      return static_cast<uint32_t>((x * 5) << 16 | (y * 29) << 8 | ((x / 16) * 80 + (x + y) % 7));
    });
    ASSERT_EQ(Call("CreateAnim", {1, 1, 16, 8, 3, 3}), 0);
  }

  TempDir dir;
  std::unique_ptr<PlayerHarness> p;
};

TEST_F(AnimSave, GifFramesRoundTripExactly) {
  if (!HaveTool("convert") || !HaveTool("gifsicle")) GTEST_SKIP() << "tools missing";
  ColourfulAnim();
  ASSERT_EQ(Call("SetAnimFrameDelay", {1, 1, 125}), 0);
  std::string gif = dir / "out.gif";
  ASSERT_EQ(Call("SaveAnim", {1, gif}), 0);
  std::string rgb = Shell("/usr/bin/convert '" + gif + "' -coalesce rgb:-");
  std::vector<std::vector<uint32_t>> frames = animtest::SplitFrames(Words(rgb, 3), 128);
  ASSERT_EQ(frames.size(), 3u);
  for (int f = 0; f < 3; f++) {
    ASSERT_EQ(Call("GetAnimFrame", {9, f + 1, 1}), 0);
    EXPECT_EQ(frames[static_cast<size_t>(f)], BrushWords(9)) << f;
  }
  animtest::AnimFrames read = animtest::ReadAnim(gif);
  ASSERT_EQ(read.delays.size(), 3u);
  EXPECT_EQ(read.delays[0], 120);  // 125 ms are 12 centiseconds

  // Two colours: the quantiser reduces every frame.
  std::string two = dir / "two.gif";
  EXPECT_EQ(Call("SaveAnim", {1, two, 0, {{"colors", 1}}}), ERR_WRONGUSAGE);
  ASSERT_EQ(Call("SaveAnim", {1, two, 0, {{"colors", 2}}}), 0);
  std::string info = Shell("gifsicle --info '" + two + "'");
  EXPECT_NE(info.find("3 images"), std::string::npos) << info;
  EXPECT_NE(info.find("local color table [2]"), std::string::npos) << info;
  // Later frames add a transparent pen for unchanged pixels; every
  // frame still shows two colours.
  std::vector<std::vector<uint32_t>> reduced =
      animtest::SplitFrames(Words(Shell("/usr/bin/convert '" + two + "' -coalesce rgb:-"), 3), 128);
  ASSERT_EQ(reduced.size(), 3u);
  for (const auto& f : reduced) {
    std::vector<uint32_t> colours(f);
    std::sort(colours.begin(), colours.end());
    EXPECT_EQ(std::unique(colours.begin(), colours.end()) - colours.begin(), 2);
  }
  EXPECT_EQ(Call("SaveAnim", {1, two, 0, {{"usealpha", 1}, {"transparency", 0xFF}}}),
            ERR_MASKNALPHA);
  EXPECT_EQ(Call("SaveAnim", {1, two, 7}), ERR_UNKNOWNANMOUT);
}

// The data of the "01dc" chunks of an AVI's first movie list.
std::vector<std::vector<uint8_t>> VideoChunks(const std::vector<uint8_t>& b) {
  std::vector<std::vector<uint8_t>> out;
  auto le32 = [&](size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
  };
  size_t pos = 12;
  while (pos + 12 <= b.size() &&
         !(memcmp(&b[pos], "LIST", 4) == 0 && memcmp(&b[pos + 8], "movi", 4) == 0))
    pos += 8 + le32(pos + 4);
  if (pos + 12 > b.size()) return out;
  size_t end = pos + 8 + le32(pos + 4);
  for (pos += 12; pos + 8 <= end && end <= b.size();) {
    uint32_t size = le32(pos + 4);
    if (memcmp(&b[pos], "01dc", 4) == 0)
      out.emplace_back(b.begin() + static_cast<long>(pos + 8),
                       b.begin() + static_cast<long>(pos + 8 + size));
    pos += 8 + size + (size & 1);
  }
  return out;
}

TEST_F(AnimSave, DiskAnimAsMjpegHoldsTheJpegsOfItsFrames) {
  // A GIF anim, played from disk and scaled, saved as MJPEG.
  ColourfulAnim();
  std::string gif = dir / "in.gif";
  ASSERT_EQ(Call("SaveAnim", {1, gif}), 0);
  ASSERT_EQ(Call("LoadAnim", {2, gif, {{"fromdisk", 1}}}), 0);
  ASSERT_EQ(Call("ScaleAnim", {2, 24, 12}), 0);
  std::string avi = dir / "out.avi";
  ASSERT_EQ(Call("SaveAnim", {2, avi, 1, {{"fps", 7}, {"quality", 80}}}), 0);
  AnimObject* a = nullptr;
  ASSERT_EQ(GetAnimObject(p->L, ObjectId{nullptr, 2}, &a, 0), 0);
  std::vector<std::vector<uint8_t>> chunks = VideoChunks(ReadFile(avi));
  ASSERT_EQ(chunks.size(), 3u);
  for (int f = 0; f < 3; f++) {
    BitmapHandle *b = nullptr, *m = nullptr, *al = nullptr;
    ASSERT_EQ(GetAnimFrameBitmap(a, f, 0, 0, &b, &m, &al), 0);
    JpegEncodeRequest r{};
    r.pixels = reinterpret_cast<const void*>(GetBitmapAttr(b, 23));
    r.bytesPerRow = static_cast<size_t>(GetBitmapAttr(b, 13)) * 4;
    r.width = 24;
    r.height = 12;
    r.quality = 80;
    EncodeJpegToMemory(&r);
    ASSERT_EQ(r.result, 0);
    std::vector<uint8_t> want(r.data, r.data + r.length);
    memcpy(want.data() + 6, "AVI1", 4);
    FreeJpegBuffer(r.holder);
    FreeBitmap(b);
    FreeBitMask(m);
    FreeAlphaChannel(al);
    EXPECT_EQ(chunks[static_cast<size_t>(f)], want) << f;
  }
  if (HaveTool("ffprobe")) {
    std::string out = Shell(
        "ffprobe -v error -select_streams v -show_entries stream=avg_frame_rate "
        "-of csv=p=0 '" +
        avi + "'");
    EXPECT_EQ(out, "1000000/142857\n");
  }
}

TEST_F(AnimSave, StreamsComposeFramesAndAreLookedUp) {
  Brush(1, 4, 3, [](int32_t x, int32_t y) { return 0x204060u + static_cast<uint32_t>(x * 8 + y); });
  std::string gif = dir / "s.gif";
  ASSERT_EQ(Call("BeginAnimStream", {1, gif, 20, 16}), 0);
  ASSERT_EQ(Call("WriteAnimFrame", {1, 1, {{"x", 10}, {"y", 10}, {"delay", 70}}}), 0);
  ASSERT_EQ(Call("FinishAnimStream", {1}), 0);
  animtest::AnimFrames read = animtest::ReadAnim(gif);
  ASSERT_EQ(read.count, 1);
  EXPECT_EQ(read.delays[0], 70);
  for (int32_t y = 0; y < 16; y++)
    for (int32_t x = 0; x < 20; x++) {
      bool inside = x >= 10 && x < 14 && y >= 10 && y < 13;
      uint32_t want = inside ? 0x204060u + static_cast<uint32_t>((x - 10) * 8 + (y - 10)) : 0;
      ASSERT_EQ(read.frames[0][static_cast<size_t>(y * 20 + x)] & 0xFFFFFF, want) << x << "," << y;
    }

  // An unknown stream, by number and by pointer.
  EXPECT_EQ(Call("FinishAnimStream", {1}), ERR_FINDANIMSTREAM);
  char text[256];
  GetErrorText(ERR_FINDANIMSTREAM, text, sizeof text);
  EXPECT_STREQ(text, "Could not find anim stream 1!");
  ASSERT_EQ(Call("BeginAnimStream", {nullptr, gif, 8, 8}), 0);
  void* handle = VmToUserdata(p->L, -1);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(Call("GetAttribute", {OBJTYPE_ANIMSTREAM, 0, ATTRCOUNT}), 0);
  EXPECT_EQ(VmToNumber(p->L, -1), 1);
  VmSetTop(p->L, 0);
  VmPushLightUserdata(p->L, handle);
  ASSERT_EQ(p->Call("FinishAnimStream", 1), 0);
  VmSetTop(p->L, 0);
  VmPushLightUserdata(p->L, handle);
  EXPECT_EQ(p->Call("FinishAnimStream", 1), ERR_FINDARRAY);

  // Options and sizes are checked.
  EXPECT_EQ(Call("BeginAnimStream", {2, "", 8, 8}), ERR_WRONGUSAGE);
  EXPECT_EQ(Call("BeginAnimStream", {2, gif, 0, 8}), ERR_WRONGUSAGE);
  EXPECT_EQ(Call("BeginAnimStream", {2, gif, 8, 8, 9}), ERR_UNKNOWNANMOUT);
  EXPECT_EQ(Call("BeginAnimStream", {2, dir / "x.avi", 8, 8, 1, {{"fps", 0}}}), ERR_WRONGUSAGE);
  ASSERT_EQ(Call("BeginAnimStream", {2, gif, 8, 8}), 0);
  EXPECT_EQ(Call("WriteAnimFrame", {2, 1, {{"colors", 257}}}), ERR_WRONGUSAGE);
  EXPECT_EQ(Call("WriteAnimFrame", {2, 77}), ERR_FINDBRUSH);
  ASSERT_EQ(Call("FinishAnimStream", {2}), 0);
}

TEST_F(AnimSave, ReplacedAndLeftOpenStreamsAreFinished) {
  Brush(1, 8, 8, [](int32_t x, int32_t y) { return static_cast<uint32_t>(x * 30 + y); });
  std::string first = dir / "first.gif", second = dir / "second.gif", avi = dir / "open.avi";
  ASSERT_EQ(Call("BeginAnimStream", {1, first, 8, 8}), 0);
  ASSERT_EQ(Call("WriteAnimFrame", {1, 1}), 0);
  ASSERT_EQ(Call("WriteAnimFrame", {1, 1}), 0);
  // The same id again: the first file is finished before the second begins.
  ASSERT_EQ(Call("BeginAnimStream", {1, second, 8, 8}), 0);
  EXPECT_EQ(animtest::ReadAnim(first).count, 2);
  ASSERT_EQ(Call("WriteAnimFrame", {1, 1}), 0);
  ASSERT_EQ(Call("BeginAnimStream", {2, avi, 8, 8, 1}), 0);
  ASSERT_EQ(Call("WriteAnimFrame", {2, 1}), 0);
  ASSERT_EQ(Call("WriteAnimFrame", {2, 1}), 0);
  p.reset();  // shut-down finishes both streams
  EXPECT_EQ(animtest::ReadAnim(second).count, 1);
  animtest::AnimFrames read = animtest::ReadAnim(avi);
  EXPECT_EQ(read.error, 0);
  EXPECT_EQ(read.count, 2);
  if (HaveTool("ffmpeg")) {
    EXPECT_EQ(Shell("ffmpeg -nostdin -v error -i '" + avi + "' -f null - 2>&1"), "");
  }
}

// An MJPEG anim stream that goes on in further RIFF chunks (the part size
// lowered, as past 1 GB) loads with every frame it reports: each frame
// picked out through the file's standard indexes, the last first, and all
// of them in order. Damaged standard or super indexes are passed over: the
// frames are then found by scanning, never read from where a damaged entry
// points; where the scan cannot go on, the standard indexes still lead on.
// SaveAnim of the anim loaded from it writes such a file again, and every
// frame of that one loads too.
TEST_F(AnimSave, MjpegStreamPastTheFirstRiffPartLoadsEveryFrame) {
  constexpr int32_t W = 16, H = 16, N = 60, QUALITY = 80;
  const int32_t picked[] = {0, N / 2, N - 1};
  // Brushes 1 to 3 are the picked frames; every other frame is brush 4.
  auto brushOf = [&](int32_t f) {
    for (int k = 0; k < 3; k++)
      if (picked[k] == f) return k + 1;
    return 4;
  };
  for (int id = 1; id <= 4; id++)
    Brush(id, W, H, [id](int32_t x, int32_t y) {
      return static_cast<uint32_t>(((x * 16 * id) & 255) << 16 | (y * 15) << 8 | (id * 60));
    });
  // The part sizes stay lowered only while this test writes.
  struct SmallRiffParts {
    SmallRiffParts() { SetAviRiffLimits(80000, 60000); }
    ~SmallRiffParts() { SetAviRiffLimits(0, 0); }
  };
  std::string avi = dir / "long.avi";
  {
    SmallRiffParts small;
    ASSERT_EQ(Call("BeginAnimStream", {1, avi, W, H, 1, {{"fps", 100}, {"quality", QUALITY}}}), 0);
    for (int32_t f = 0; f < N; f++) ASSERT_EQ(Call("WriteAnimFrame", {1, brushOf(f)}), 0) << f;
    ASSERT_EQ(Call("FinishAnimStream", {1}), 0);
  }
  const std::vector<uint8_t> written = ReadFile(avi);
  auto find = [](const std::vector<uint8_t>& in, const char* id, size_t from) {
    const char* end = id + std::strlen(id);
    return static_cast<size_t>(
        std::search(in.begin() + static_cast<long>(from), in.end(), id, end) - in.begin());
  };
  const size_t avix = find(written, "AVIX", 0);
  ASSERT_LT(avix, written.size()) << "the file goes on in further RIFF chunks";

  // Pixels as the writer encodes them and a reader decodes them again.
  auto jpegRoundTrip = [&](const uint32_t* px) {
    JpegEncodeRequest r{};
    r.pixels = px;
    r.bytesPerRow = W * 4;
    r.width = W;
    r.height = H;
    r.quality = QUALITY;
    EncodeJpegToMemory(&r);
    std::vector<uint32_t> out;
    EXPECT_EQ(r.result, 0);
    if (r.result) return out;
    int32_t w = 0, h = 0;
    uint32_t* decoded = nullptr;
    EXPECT_EQ(DecodeJpegImage(nullptr, r.data, r.length, 0, 0, &w, &h, &decoded), 0);
    FreeJpegBuffer(r.holder);
    if (!decoded) return out;
    out.assign(decoded, decoded + W * H);
    FreeMemory(decoded);
    for (auto& v : out) v &= 0xFFFFFF;
    return out;
  };
  // What the reader must give for brush k + 1.
  std::vector<uint32_t> want[4];
  for (int k = 0; k < 4; k++) {
    BrushObject* b = nullptr;
    ASSERT_EQ(GetBrushObject(p->L, ObjectId{nullptr, k + 1}, &b, 0), 0);
    uint32_t* px = ReadBitmapRectARGB(b->bitmap, 0, 0, W, H, 1);
    want[k] = jpegRoundTrip(px);
    FreeMemory(px);
    ASSERT_EQ(want[k].size(), static_cast<size_t>(W * H));
  }
  // Every frame of anim `id`, the last first; each must be its brush's.
  auto checkEveryFrame = [&](int id, const std::vector<uint32_t>* expected) {
    AnimObject* a = nullptr;
    ASSERT_EQ(GetAnimObject(p->L, ObjectId{nullptr, id}, &a, 0), 0);
    ASSERT_EQ(a->frameCount, N);
    for (int32_t f = N - 1; f >= 0; f--) {
      BitmapHandle *b = nullptr, *m = nullptr, *al = nullptr;
      ASSERT_EQ(GetAnimFrameBitmap(a, f, 0, 0, &b, &m, &al), 0) << "frame " << f;
      uint32_t* px = ReadBitmapRectARGB(b, 0, 0, W, H, 1);
      std::vector<uint32_t> got(px, px + W * H);
      FreeMemory(px);
      if (a->fromDisk) {
        FreeBitmap(b);
        FreeBitMask(m);
        FreeAlphaChannel(al);
      }
      for (auto& v : got) v &= 0xFFFFFF;
      EXPECT_EQ(got, expected[brushOf(f) - 1]) << "frame " << f;
    }
  };

  // Patches at the first standard index of the video stream that lies
  // beyond the first RIFF part, and at the video stream's super index.
  const size_t ix01 = find(written, "ix01", avix), idx1 = find(written, "idx1", 0);
  ASSERT_LT(idx1, avix);
  const size_t idx1Frames = (written[idx1 + 4] | written[idx1 + 5] << 8) / 32u;
  const size_t videoIndx = find(written, "indx", find(written, "indx", 0) + 4);
  ASSERT_LT(ix01, written.size());
  ASSERT_LT(videoIndx, written.size());
  struct Case {
    const char* name;
    size_t at;  // bytes patched with 0xFF; 0: none
    size_t length;
    size_t inOrder;  // frames read in order from the first
  } cases[] = {
      {"as written", 0, 0, N},
      // The scan stops at the index chunk, so only the standard indexes
      // lead past it.
      {"an idx1 chunk claiming to run past the file", idx1 + 4, 4, idx1Frames},
      {"a standard index counting more entries than it holds", ix01 + 8 + 4, 4, N},
      {"a standard entry outside the file", ix01 + 8 + 24, 4, N},
      {"a super-index entry outside the file", videoIndx + 8 + 24 + 16, 8, N},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = written;
    std::fill_n(bytes.begin() + static_cast<long>(c.at), c.length, 0xFF);
    WriteFile(avi, bytes);
    ASSERT_EQ(Call("LoadAnim", {2, avi, {{"fromdisk", 1}}}), 0);  // frames read when asked
    checkEveryFrame(2, want);
    ASSERT_EQ(Call("FreeAnim", {2}), 0);
    EXPECT_EQ(animtest::ReadAnim(avi).frames.size(), c.inOrder);
  }

  // SaveAnim of the whole anim loaded from the file: the frames are
  // encoded once more, and the new file goes on past its first RIFF part.
  WriteFile(avi, written);
  ASSERT_EQ(Call("LoadAnim", {3, avi}), 0);
  checkEveryFrame(3, want);
  std::string again = dir / "again.avi";
  {
    SmallRiffParts small;
    ASSERT_EQ(Call("SaveAnim", {3, again, 1, {{"fps", 100}, {"quality", QUALITY}}}), 0);
  }
  const std::vector<uint8_t> savedBytes = ReadFile(again);
  ASSERT_LT(find(savedBytes, "AVIX", 0), savedBytes.size()) << "SaveAnim went on in RIFF chunks";
  std::vector<uint32_t> wantAgain[4];
  for (int k = 0; k < 4; k++) {
    std::vector<uint32_t> px = want[k];
    for (auto& v : px) v |= 0xFF000000u;
    wantAgain[k] = jpegRoundTrip(px.data());
  }
  ASSERT_EQ(Call("LoadAnim", {4, again, {{"fromdisk", 1}}}), 0);
  checkEveryFrame(4, wantAgain);
}

}  // namespace
