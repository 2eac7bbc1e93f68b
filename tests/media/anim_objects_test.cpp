// Anim objects through their commands: loading GIF, IFF ANIM and AVI files
// (in memory and from disk) against the anim file layer, pictures cut into
// frames, brush strips, single frames, frame changes, copies, scaling,
// delays, locks, the attribute reader and allocation failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "draw/draw.h"
#include "engine/engine.h"
#include "gfx/gfx.h"
#include "media/anim_private.h"
#include "media/image_private.h"
#include "media/media.h"
#include "platform/linux/system_private.h"
#include "tests/media/anim_support.h"
#include "tests/media/image_support.h"
#include "tests/support/harness.h"

using namespace imagetest;

namespace {

constexpr double NIL = -1e300;  // an argument pushed as nil

struct Arg {
  enum Kind { NUMBER, STRING, TABLE, NILVALUE } kind;
  double number = 0;
  std::string text;
  std::vector<std::pair<std::string, double>> fields;
  Arg(double n) : kind(n == NIL ? NILVALUE : NUMBER), number(n) {}
  Arg(int n) : kind(NUMBER), number(n) {}
  Arg(const char* s) : kind(STRING), text(s) {}
  Arg(const std::string& s) : kind(STRING), text(s) {}
  Arg(std::initializer_list<std::pair<std::string, double>> t) : kind(TABLE), fields(t) {}
};

class Anims : public ::testing::Test {
 protected:
  ErrorCode Call(const char* name, std::initializer_list<Arg> args) {
    VmSetTop(p.L, 0);
    for (const Arg& a : args) {
      switch (a.kind) {
        case Arg::NUMBER:
          VmPushNumber(p.L, a.number);
          break;
        case Arg::STRING:
          VmPushString(p.L, a.text.c_str());
          break;
        case Arg::NILVALUE:
          VmPushNil(p.L);
          break;
        case Arg::TABLE:
          VmNewTable(p.L);
          for (const auto& [key, value] : a.fields) {
            VmPushString(p.L, key.c_str());
            VmPushNumber(p.L, value);
            VmSetTable(p.L, -3);
          }
          break;
      }
    }
    return p.Call(name, static_cast<int>(args.size()));
  }
  double Attr(int id, ObjectAttribute attribute, int parameter = 0) {
    ErrorCode e = parameter ? Call("GetAttribute", {OBJTYPE_ANIM, id, attribute, parameter})
                            : Call("GetAttribute", {OBJTYPE_ANIM, id, attribute});
    return e ? -e : VmToNumber(p.L, -1);
  }
  AnimObject* Anim(int id) {
    AnimObject* a = nullptr;
    GetAnimObject(p.L, ObjectId{nullptr, id}, &a, 0);
    return a;
  }
  // Frame `frame` (1-based) through GetAnimFrame, as RGB words; empty on
  // an error.
  std::vector<uint32_t> Frame(int id, int frame) {
    std::vector<uint32_t> out;
    if (Call("GetAnimFrame", {900, frame, id})) return out;
    BrushObject* b = nullptr;
    if (GetBrushObject(p.L, ObjectId{nullptr, 900}, &b, 0)) return out;
    uint32_t* px = ReadBitmapRectARGB(b->bitmap, 0, 0, b->width, b->height, 1);
    if (px) out.assign(px, px + static_cast<size_t>(b->width) * b->height);
    for (auto& v : out) v &= 0xFFFFFF;
    FreeMemory(px);
    FreeBrushObject(p.L, ObjectId{nullptr, 900}, 0);
    return out;
  }
  // A w x h brush whose pixel (x, y) is 0x10000 * seed + 0x100 * y + x;
  // with key, pixels whose x is 0 become the key colour 0 and the brush
  // gets a mask.
  void Brush(int id, int32_t w, int32_t h, uint32_t seed, bool key = false) {
    std::vector<uint32_t> px(static_cast<size_t>(w) * h);
    for (int32_t y = 0; y < h; y++)
      for (int32_t x = 0; x < w; x++)
        px[y * w + x] = key && x == 0 ? 0 : 0xFF000000u | seed << 16 | y << 8 | x;
    BrushPixels d{px.data(), w, 0, key ? 2u : 0u};
    ObjectId bid{nullptr, id};
    BrushObject* out = nullptr;
    ASSERT_EQ(CreateBrushFromPixels(p.L, &bid, 0, w, h, &d, &out), 0);
  }
  // Writes a GIF of `frames` frames of 4 x 3 pens, delays 5, 6, ...
  // centiseconds.
  std::string Gif(const char* name, int frames) {
    std::string path = dir / name;
    GifWriter* w = nullptr;
    EXPECT_EQ(OpenGifWriter(path.c_str(), 4, 3, &w), 0);
    uint32_t palette[256] = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
    for (int f = 0; f < frames; f++) {
      uint8_t pens[12];
      for (int i = 0; i < 12; i++) pens[i] = static_cast<uint8_t>((i + f) % 4);
      EXPECT_EQ(WriteGifAnimFrame(w, pens, 4, 3, (5 + f) * 10, palette, 4, -1, 0, 1), 0);
    }
    EXPECT_EQ(CloseGifWriter(w), 0);
    return path;
  }
  std::string Avi(const char* name, int frames) {
    std::string path = dir / name;
    AviWriter* w = nullptr;
    EXPECT_EQ(AviWriteHeader(path.c_str(), 10, 1, 16, 8, 90, 0, 0, "", 0, &w), 0);
    for (int f = 0; f < frames; f++) {
      OwnedBitmap b(AllocBitmap(16, 8, 0, nullptr));
      FillBitmapRect(b.get(), 0, 0, 16, 8, 0x102030u * (f + 1));
      EXPECT_EQ(AviWriteVideoFrame(w, b.get(), 16, 8, 1, 0), 0);
    }
    EXPECT_EQ(AviFinish(w), 0);
    return path;
  }
  std::string Iff() {
    bool ok = false;
    Shell("python3 '" QM_SOURCE_DIR "/tests/media/make_iffanim.py' '" + dir.path() + "'", &ok);
    EXPECT_TRUE(ok);
    return dir / "m5.anim";  // 6 frames
  }

  TempDir dir;
  PlayerHarness p;
};

TEST_F(Anims, LoadAnimGivesTheFileLayersFramesAndDelays) {
  for (const std::string& file : {Gif("a.gif", 3), Iff(), Avi("a.avi", 3)}) {
    animtest::AnimFrames expected = animtest::ReadAnim(file);
    ASSERT_EQ(expected.error, 0) << file;
    for (int fromDisk : {0, 1}) {
      SCOPED_TRACE(file + (fromDisk ? " from disk" : " in memory"));
      ASSERT_EQ(Call("LoadAnim", {1, file, {{"fromdisk", fromDisk}}}), 0);
      EXPECT_EQ(Anim(1)->fromDisk, fromDisk);
      EXPECT_EQ(Attr(1, ATTRWIDTH), expected.width);
      EXPECT_EQ(Attr(1, ATTRHEIGHT), expected.height);
      ASSERT_EQ(Attr(1, ATTRNUMFRAMES), expected.count);
      for (int i = 0; i < expected.count; i++) {
        std::vector<uint32_t> want = expected.frames[static_cast<size_t>(i)];
        for (auto& v : want) v &= 0xFFFFFF;
        EXPECT_EQ(Frame(1, i + 1), want) << "frame " << i + 1;
      }
      for (int i = 0; i < expected.count; i++)
        EXPECT_EQ(Attr(1, ATTRFRAMEDELAY, i + 1), expected.delays[static_cast<size_t>(i)]) << i;
    }
  }
  EXPECT_EQ(Attr(1, ATTRCOUNT), 1);
  // An automatic id is returned.
  ASSERT_EQ(Call("LoadAnim", {NIL, dir / "a.gif"}), 0);
  EXPECT_EQ(VmType(p.L, -1), VM_TYPE_LIGHTUSERDATA);
  EXPECT_EQ(Attr(1, ATTRCOUNT), 2);
}

TEST_F(Anims, PicturesAreCutRowByRowOrMakeOneFrame) {
  // A 7 x 5 picture; the strip starts at 1, 1 with 2 x 2 frames, 3 a row.
  std::vector<uint32_t> px(35);
  for (int i = 0; i < 35; i++) px[static_cast<size_t>(i)] = 0x010203u * static_cast<uint32_t>(i);
  std::string png = dir / "strip.png";
  ASSERT_EQ(SaveARGBAsPng(png.c_str(), px.data(), 7, 5, 0), 0);
  ASSERT_EQ(
      Call("LoadAnim",
           {1, png, {{"width", 2}, {"height", 2}, {"frames", 5}, {"fpr", 3}, {"x", 1}, {"y", 1}}}),
      0);
  ASSERT_EQ(Attr(1, ATTRNUMFRAMES), 5);
  for (int f = 0; f < 5; f++) {
    int x0 = 1 + (f % 3) * 2, y0 = 1 + (f / 3) * 2;
    std::vector<uint32_t> want;
    for (int y = y0; y < y0 + 2; y++)
      for (int x = x0; x < x0 + 2; x++) want.push_back(px[static_cast<size_t>(y * 7 + x)]);
    EXPECT_EQ(Frame(1, f + 1), want) << f;
  }
  ASSERT_EQ(Call("LoadAnim", {2, png}), 0);
  EXPECT_EQ(Attr(2, ATTRNUMFRAMES), 1);
  EXPECT_EQ(Frame(2, 1), px);
  // Frames that do not fit the picture.
  EXPECT_EQ(Call("LoadAnim", {3, png, {{"width", 2}, {"height", 2}, {"frames", 7}, {"fpr", 3}}}),
            ERR_BRUSHSIZE);
}

// While preloading, an anim keeps its frames as raw ARGB words (the file
// of an anim file stays open for them) until the first display opens; a
// frame asked for earlier is made at once. Afterwards the frames equal
// those of an anim loaded with a display, masks and alpha included.
TEST_F(Anims, PreloadedFramesStayRawUntilADisplayOpens) {
  const std::string gif = Gif("a.gif", 3);
  // A 6 x 2 picture: three 2 x 2 frames, pixels of red 0x10 see-through.
  std::vector<uint32_t> px(12);
  for (int i = 0; i < 12; i++)
    px[static_cast<size_t>(i)] =
        (i % 3 ? 0x80000000u : 0xFF000000u) | (i % 4 ? 0x203040u : 0x100000u);
  const std::string png = dir / "strip.png";
  ASSERT_EQ(SaveARGBAsPng(png.c_str(), px.data(), 6, 2, 1), 0);
  struct Case {
    int id;
    std::string file;
    std::vector<std::pair<std::string, double>> options;
    bool masks, alphas;
  } cases[] = {
      {1, gif, {}, false, false},
      {2,
       png,
       {{"width", 2}, {"height", 2}, {"frames", 3}, {"transparency", 0x100000}},
       true,
       false},
      {3, png, {{"width", 2}, {"height", 2}, {"frames", 3}, {"loadalpha", 1}}, false, true},
  };
  auto load = [&](const Case& c, int id) {
    VmSetTop(p.L, 0);
    VmPushNumber(p.L, id);
    VmPushString(p.L, c.file.c_str());
    VmNewTable(p.L);
    for (const auto& [key, value] : c.options) {
      VmPushString(p.L, key.c_str());
      VmPushNumber(p.L, value);
      VmSetTable(p.L, -3);
    }
    return p.Call("LoadAnim", 3);
  };
  // What each anim is when loaded with a display (ids 11 to 13).
  std::vector<std::vector<uint32_t>> want;
  for (const Case& c : cases) {
    ASSERT_EQ(load(c, 10 + c.id), 0);
    for (int f = 1; f <= 3; f++) want.push_back(Frame(10 + c.id, f));
  }
  TagItem defer[] = {{ATTR_DEFERBITMAPS, 1}, {ATTR_DONE, 0}};
  SetGlobalAttrs(p.L, defer);
  for (const Case& c : cases) ASSERT_EQ(load(c, c.id), 0) << c.id;
  // One more, freed before any display: its raw frames go back to its file.
  ASSERT_EQ(load(cases[0], 4), 0);
  defer[0].data = 0;
  SetGlobalAttrs(p.L, defer);
  ASSERT_EQ(Call("FreeAnim", {4}), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    AnimObject* a = Anim(c.id);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->file != nullptr, c.file == gif);
    for (int f = 0; f < 3; f++) {
      EXPECT_NE(a->frames.raw[f], nullptr);
      EXPECT_EQ(a->frames.bitmaps[f], nullptr);
      EXPECT_EQ(a->frames.alphas[f] != nullptr, c.alphas);
    }
  }
  // The file's delays are known at once.
  EXPECT_EQ(Attr(1, ATTRFRAMEDELAY, 2), Attr(11, ATTRFRAMEDELAY, 2));
  // A frame asked for before the display opens is made then.
  EXPECT_EQ(Frame(2, 2), want[4]);
  EXPECT_EQ(Anim(2)->frames.raw[1], nullptr);
  EXPECT_NE(Anim(2)->frames.raw[0], nullptr);
  // A failing allocation while loading leaves no anim (and nothing
  // leaked); one while realising leaves frames raw for the next try.
  defer[0].data = 1;
  SetGlobalAttrs(p.L, defer);
  for (const Case& c : cases) {
    for (uint64_t n = 1;; n++) {
      ASSERT_LT(n, 10000u);
      SetAllocFailure(n, false);
      ErrorCode e = load(c, 5);
      bool failed = GetAllocFailureCount() > 0;
      SetAllocFailure(0, false);
      if (!e) break;
      ASSERT_TRUE(failed) << c.id << ": " << e;
      EXPECT_EQ(Anim(5), nullptr) << c.id << ": allocation " << n;
    }
    ASSERT_EQ(Call("FreeAnim", {5}), 0);
  }
  defer[0].data = 0;
  SetGlobalAttrs(p.L, defer);
  SetAllocFailure(1, false);
  ErrorCode e = RealizeDeferredAnims();
  SetAllocFailure(0, false);
  EXPECT_TRUE(e == ERR_BITMAP || e == ERR_ALLOCMASK) << e;
  EXPECT_NE(Anim(1)->frames.raw[0], nullptr);
  EXPECT_NE(Anim(1)->file, nullptr);
  ASSERT_EQ(RealizeDeferredAnims(), ERR_NONE);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    AnimObject* a = Anim(c.id);
    EXPECT_EQ(a->file, nullptr);
    for (int f = 0; f < 3; f++) {
      EXPECT_EQ(a->frames.raw[f], nullptr);
      EXPECT_NE(a->frames.bitmaps[f], nullptr);
      EXPECT_EQ(a->frames.masks[f] != nullptr, c.masks);
      EXPECT_EQ(a->frames.alphas[f] != nullptr, c.alphas);
      EXPECT_EQ(Frame(c.id, f + 1), want[static_cast<size_t>((c.id - 1) * 3 + f)]) << f;
    }
  }
}

TEST_F(Anims, LoadOptionsAndFilesAreChecked) {
  std::string gif = Gif("a.gif", 3), iff = Iff();
  std::string text = dir / "plain.txt";
  WriteFile(text, std::vector<uint8_t>(64, 'x'));
  struct Case {
    std::string file;
    std::vector<std::pair<std::string, double>> options;
    ErrorCode error;
    std::string argument;  // the error argument, when one is expected
  } cases[] = {
      {gif, {{"loadtransparency", 1}, {"transparency", 0xFF}}, ERR_WRONGUSAGE, ""},
      {gif, {{"loadtransparency", 1}, {"loadalpha", 1}}, ERR_WRONGUSAGE, ""},
      {gif, {{"frames", 2}, {"fromdisk", 1}}, ERR_WRONGUSAGE, ""},
      {gif, {{"loadalpha", 1}, {"transparency", 0xFF}}, ERR_MASKNALPHA, ""},
      {gif, {{"loadalpha", 1}}, ERR_NOALPHA, gif},
      {gif, {{"loadtransparency", 1}}, ERR_NOTRANSPARENCY, gif},
      {text, {}, ERR_OPENANIM2, text},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + " " + std::to_string(c.options.size()));
    VmSetTop(p.L, 0);
    VmPushNumber(p.L, 1);
    VmPushString(p.L, c.file.c_str());
    VmNewTable(p.L);
    for (const auto& [key, value] : c.options) {
      VmPushString(p.L, key.c_str());
      VmPushNumber(p.L, value);
      VmSetTable(p.L, -3);
    }
    EXPECT_EQ(p.Call("LoadAnim", 3), c.error);
    if (!c.argument.empty()) {
      EXPECT_EQ(std::string(GetErrorArgString()), c.argument);
    }
    EXPECT_EQ(Anim(1), nullptr);
  }
  // A frame count of 0, as the preload passes for every declared anim, is
  // none: the file is read as an anim, also from disk.
  for (int fromDisk : {0, 1}) {
    ASSERT_EQ(Call("LoadAnim", {1, gif, {{"frames", 0}, {"fpr", 0}, {"fromdisk", fromDisk}}}), 0);
    EXPECT_EQ(Attr(1, ATTRNUMFRAMES), 3);
  }
  // The loop frames of an IFF ANIM are skipped; a GIF keeps its frames.
  ASSERT_EQ(Call("LoadAnim", {1, iff, {{"skiploopframes", 1}}}), 0);
  EXPECT_EQ(Attr(1, ATTRNUMFRAMES), 4);
  ASSERT_EQ(Call("LoadAnim", {1, gif, {{"skiploopframes", 1}}}), 0);
  EXPECT_EQ(Attr(1, ATTRNUMFRAMES), 3);
}

TEST_F(Anims, CreateAnimChecksTheStripIn64Bits) {
  Brush(1, 7, 7, 5);
  struct Case {
    int32_t fw, fh, frames, perRow, x, y;
    ErrorCode error;
  } cases[] = {
      {3, 2, 5, 2, 0, 0, 0},
      {3, 2, 5, 2, 1, 1, 0},
      {3, 2, 5, 2, 2, 0, ERR_BRUSHSIZE},  // 2 x 3 + 2 > 7
      {3, 2, 5, 2, 0, 2, ERR_BRUSHSIZE},  // 3 x 2 + 2 > 7
      {3, 2, 5, 2, -1, 0, ERR_NEGCOORDS},
      {0, 2, 5, 2, 0, 0, ERR_WRONGUSAGE},
      {3, 2, 0, 2, 0, 0, ERR_WRONGUSAGE},
      {0x40000000, 1, 1, 4, 0, 0, ERR_BRUSHSIZE},  // 4 x 2^30 wraps to 0 in 32 bits
      {1, 0x40000000, 0x7FFFFFFF, 0x7FFFFFFF, 0, 0, ERR_BRUSHSIZE},
      {1, 2, 0x7FFFFFFF, 1, 0, 0, ERR_BRUSHSIZE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.fw) + "x" + std::to_string(c.fh) + " " +
                 std::to_string(c.frames) + "/" + std::to_string(c.perRow) + " at " +
                 std::to_string(c.x) + "," + std::to_string(c.y));
    EXPECT_EQ(Call("CreateAnim", {2, 1, c.fw, c.fh, c.frames, c.perRow, c.x, c.y}), c.error);
    if (c.error) continue;
    ASSERT_EQ(Attr(2, ATTRNUMFRAMES), c.frames);
    // Frame 5 is the first of the third row.
    std::vector<uint32_t> want;
    for (int y = 4 + c.y; y < 6 + c.y; y++)
      for (int x = c.x; x < 3 + c.x; x++) want.push_back(5u << 16 | y << 8 | x);
    EXPECT_EQ(Frame(2, 5), want);
    EXPECT_EQ(Attr(2, ATTRFRAMEDELAY, 5), 0);  // a built anim has no delays
  }
}

TEST_F(Anims, LoadAnimFramePicksOneFrame) {
  std::string gif = Gif("a.gif", 3);
  animtest::AnimFrames expected = animtest::ReadAnim(gif);
  ASSERT_EQ(Call("LoadAnimFrame", {5, -1, gif}), 0);
  BrushObject* b = nullptr;
  ASSERT_EQ(GetBrushObject(p.L, ObjectId{nullptr, 5}, &b, 0), 0);
  uint32_t* px = ReadBitmapRectARGB(b->bitmap, 0, 0, 4, 3, 1);
  for (int i = 0; i < 12; i++) EXPECT_EQ(px[i] & 0xFFFFFF, expected.frames[2][i] & 0xFFFFFF);
  FreeMemory(px);
  for (int frame : {0, 4, -2})
    EXPECT_EQ(Call("LoadAnimFrame", {5, frame, gif}), ERR_ANIMFRAME) << frame;
}

TEST_F(Anims, ModifyAnimFramesInsertsAndRemoves) {
  Brush(1, 15, 2, 7, true);
  struct Case {
    int32_t count, position;
    ErrorCode error;
    std::vector<int> frames;  // original frame numbers, 0 for a new black frame
  } cases[] = {
      {-2, 0, 0, {1, 2, 3}},      {2, 1, 0, {0, 0, 1, 2, 3, 4, 5}}, {1, 6, 0, {1, 2, 3, 4, 5, 0}},
      {-2, 2, 0, {1, 4, 5}},      {-1, 5, 0, {1, 2, 3, 4}},         {-5, 0, ERR_WRONGUSAGE, {}},
      {0, 0, ERR_WRONGUSAGE, {}}, {-2, 5, ERR_WRONGUSAGE, {}},  // would end past the last frame
      {1, 7, ERR_WRONGUSAGE, {}}, {1, -1, ERR_WRONGUSAGE, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.count) + " at " + std::to_string(c.position));
    ASSERT_EQ(Call("CreateAnim", {1, 1, 3, 2, 5, 5}), 0);
    std::vector<std::vector<uint32_t>> before;
    for (int f = 1; f <= 5; f++) before.push_back(Frame(1, f));
    ASSERT_EQ(Call("SetAnimFrameDelay", {1, 1, 40}), 0);
    EXPECT_EQ(Call("ModifyAnimFrames", {1, c.count, c.position}), c.error);
    if (c.error) {
      EXPECT_EQ(Attr(1, ATTRNUMFRAMES), 5);
      continue;
    }
    ASSERT_EQ(Attr(1, ATTRNUMFRAMES), static_cast<double>(c.frames.size()));
    AnimObject* a = Anim(1);
    for (size_t i = 0; i < c.frames.size(); i++) {
      int original = c.frames[i];
      int number = static_cast<int>(i) + 1;
      if (original == 0) {
        EXPECT_EQ(Frame(1, number), std::vector<uint32_t>(6, 0)) << number;
        EXPECT_EQ(Attr(1, ATTRFRAMEDELAY, number), 0);
        EXPECT_EQ(a->frames.delays[i], -1);
        // The first frame has a mask: a new frame is fully visible.
        ASSERT_NE(a->frames.masks[i], nullptr);
        for (int x = 0; x < 3; x++) EXPECT_NE(ReadBitmapPixel(a->frames.masks[i], x, 1, 1), 0u);
      } else {
        EXPECT_EQ(Frame(1, number), before[static_cast<size_t>(original - 1)]) << number;
        EXPECT_EQ(Attr(1, ATTRFRAMEDELAY, number), original == 1 ? 40 : 0);
      }
    }
  }
  ASSERT_EQ(Call("LoadAnim", {2, Gif("a.gif", 2), {{"fromdisk", 1}}}), 0);
  EXPECT_EQ(Call("ModifyAnimFrames", {2, 1}), ERR_ANIMDISK);
}

TEST_F(Anims, CopiesScalingDelaysLocksAndFreeing) {
  std::string gif = Gif("a.gif", 3);
  ASSERT_EQ(Call("LoadAnim", {1, gif, {{"fromdisk", 1}}}), 0);
  ASSERT_EQ(Call("LoadAnim", {2, gif}), 0);
  EXPECT_EQ(Call("CopyAnim", {1, 1}), ERR_WRONGUSAGE);
  ASSERT_EQ(Call("CopyAnim", {1, 3}), 0);
  ASSERT_EQ(Call("CopyAnim", {2, 4}), 0);
  EXPECT_EQ(Anim(3)->fromDisk, 1);
  for (int f = 1; f <= 3; f++) {
    std::vector<uint32_t> first = Frame(1, f);
    ASSERT_EQ(first.size(), 12u);
    for (int id : {2, 3, 4}) EXPECT_EQ(Frame(id, f), first) << id << " frame " << f;
  }
  // Scaling a disk anim and an in-memory one gives the same pixels.
  ASSERT_EQ(Call("ScaleAnim", {1, 9, 7}), 0);
  ASSERT_EQ(Call("ScaleAnim", {2, 9, 7}), 0);
  EXPECT_EQ(Attr(1, ATTRWIDTH), 9);
  for (int f = 1; f <= 3; f++) {
    std::vector<uint32_t> disk = Frame(1, f);
    ASSERT_EQ(disk.size(), 63u);
    EXPECT_EQ(Frame(2, f), disk) << f;
  }
  // Delays never set read as the file's for a disk anim.
  EXPECT_EQ(Attr(1, ATTRFRAMEDELAY, 2), 60);
  EXPECT_EQ(Call("SetAnimFrameDelay", {1, 2, -1}), ERR_WRONGUSAGE);
  EXPECT_EQ(Call("SetAnimFrameDelay", {1, 0, 10}), ERR_ANIMFRAME);
  EXPECT_EQ(Call("SetAnimFrameDelay", {1, 4, 10}), ERR_ANIMFRAME);
  ASSERT_EQ(Call("SetAnimFrameDelay", {1, 2, 125}), 0);
  EXPECT_EQ(Attr(1, ATTRFRAMEDELAY, 2), 125);
  EXPECT_EQ(Attr(1, ATTRFRAMEDELAY, 4), -ERR_ANIMFRAME);
  // A locked anim refuses changes.
  Anim(2)->useCount = 1;
  EXPECT_EQ(Call("FreeAnim", {2}), ERR_LOCKEDOBJ);
  EXPECT_EQ(Call("ScaleAnim", {2, 4, 4}), ERR_LOCKEDOBJ);
  EXPECT_EQ(Call("ModifyAnimFrames", {2, 1}), ERR_LOCKEDOBJ);
  Anim(2)->useCount = 0;
  EXPECT_EQ(Attr(1, ATTRCOUNT), 4);
  ASSERT_EQ(Call("FreeAnim", {2}), 0);
  EXPECT_EQ(Call("FreeAnim", {2}), ERR_FINDANIM);
  EXPECT_EQ(GetErrorArgNumber(), 2);
  EXPECT_EQ(Attr(2, ATTRWIDTH), -ERR_FINDANIM);
  EXPECT_EQ(Attr(1, ATTRCOUNT), 3);
}

// Every allocation of a build, a frame change and a copy fails in turn:
// each failure is an allocation error, the anims stay as they were and
// nothing leaks (ASan checks at the end).
TEST_F(Anims, FailedAllocationsLeaveTheAnimsUnchanged) {
  Brush(1, 12, 4, 3, true);
  ASSERT_EQ(Call("CreateAnim", {1, 1, 3, 2, 8, 4}), 0);
  std::vector<uint32_t> first = Frame(1, 1);
  struct Case {
    const char* name;
    std::vector<Arg> args;
    int32_t framesAfter;  // of anim 1 on success
  } cases[] = {
      {"CreateAnim", {2, 1, 3, 2, 8, 4}, 8}, {"CopyAnim", {1, 2}, 8},
      {"ModifyAnimFrames", {1, 3, 2}, 11},   {"ModifyAnimFrames", {1, -2, 2}, 6},
      {"ScaleAnim", {1, 5, 5}, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Call("CreateAnim", {1, 1, 3, 2, 8, 4}), 0);
    Call("FreeAnim", {2});
    for (uint64_t n = 1;; n++) {
      ASSERT_LT(n, 10000u);
      VmSetTop(p.L, 0);
      for (const Arg& a : c.args) VmPushNumber(p.L, a.number);
      SetAllocFailure(n, false);
      ErrorCode e = p.Call(c.name, static_cast<int>(c.args.size()));
      bool failed = GetAllocFailureCount() > 0;
      SetAllocFailure(0, false);
      if (!e) {
        EXPECT_EQ(Attr(1, ATTRNUMFRAMES), c.framesAfter);
        break;
      }
      ASSERT_TRUE(failed) << e;
      EXPECT_TRUE(e == ERR_MEM || e == ERR_BITMAP || e == ERR_ALLOCMASK || e == ERR_ALLOCALPHA)
          << e;
      ASSERT_EQ(Attr(1, ATTRNUMFRAMES), 8) << n;
      EXPECT_EQ(Attr(1, ATTRWIDTH), 3) << n;
      EXPECT_EQ(Frame(1, 1), first) << n;
      EXPECT_EQ(Anim(2), nullptr) << n;
    }
  }
}

}  // namespace
