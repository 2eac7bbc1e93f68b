// The anim file layer without plug-ins: identification and its errors (a
// FORM of another type, a short file, a missing file), GIF anims through
// the layer with their delays, IsAnimFile's answer for one- and two-frame
// GIFs, and loader strings that leave the built-in readers out.
#include "media/image_private.h"
#include "media/media.h"
#include "tests/media/anim_support.h"

using namespace imagetest;
using namespace animtest;

namespace {

// A GIF of `frames` frames of 4 x 3 pens, each frame's delay 7 centiseconds
// (the writer takes milliseconds).
void WriteGif(const std::string& path, int frames) {
  GifWriter* w = nullptr;
  ASSERT_EQ(OpenGifWriter(path.c_str(), 4, 3, &w), 0);
  uint32_t palette[256] = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
  for (int f = 0; f < frames; f++) {
    uint8_t pens[12];
    for (int i = 0; i < 12; i++) pens[i] = static_cast<uint8_t>((i + f) % 4);
    ASSERT_EQ(WriteGifAnimFrame(w, pens, 4, 3, 70, palette, 4, -1, 0, 1), 0);
  }
  ASSERT_EQ(CloseGifWriter(w), 0);
}

TEST(AnimFile, IdentificationErrors) {
  TempDir dir;
  WriteFile(dir / "ilbm.iff", {'F', 'O', 'R', 'M', 0, 0, 0, 4, 'I', 'L', 'B', 'M', 0, 0});
  WriteFile(dir / "short", {'F', 'O', 'R', 'M', 0, 0, 0, 4, 'A', 'N', 'I'});
  struct {
    const char* name;
    std::string path;
    const char* loader;
    ErrorCode error;
    bool nameIsArgument;
  } table[] = {
      {"FORM of another type", dir / "ilbm.iff", nullptr, ERR_OPENANIM2, true},
      {"under 12 bytes", dir / "short", nullptr, ERR_READ, false},
      {"missing", dir / "missing.anim", nullptr, ERR_READFILE, true},
      {"native alone", dir / "ilbm.iff", "native", ERR_OPENANIM2, true},
      {"no built-in loader, missing file", dir / "missing.anim", "native", ERR_OPENANIM2, true},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    SetErrorArgString("");
    AnimFile* anim = reinterpret_cast<AnimFile*>(1);
    int32_t w, h, n;
    EXPECT_EQ(OpenAnimFile(c.path.c_str(), c.loader, nullptr, 0, 0, &anim, &w, &h, &n, nullptr,
                           nullptr, nullptr),
              c.error);
    EXPECT_EQ(anim, nullptr);
    if (c.nameIsArgument) {
      EXPECT_STREQ(GetErrorArgString(), c.path.c_str());
    }
  }
}

TEST(AnimFile, GifAnimsThroughTheLayer) {
  TempDir dir;
  WriteGif(dir / "one.gif", 1);
  WriteGif(dir / "two.gif", 2);
  AnimFrames a = ReadAnim(dir / "two.gif");
  ASSERT_EQ(a.error, 0);
  EXPECT_EQ(a.width, 4);
  EXPECT_EQ(a.height, 3);
  ASSERT_EQ(a.frames.size(), 2u);
  EXPECT_EQ(Rgb(a.frames[1])[0], 0xFF0000u);  // pen 1
  EXPECT_EQ(a.delays, (std::vector<int32_t>{70, 70}));

  struct {
    const char* file;
    const char* loader;
    int32_t isAnim;
  } table[] = {{"one.gif", nullptr, 0},  {"two.gif", nullptr, 1},  {"two.gif", "inbuilt", 1},
               {"two.gif", "native", 0}, {"two.gif", "plugin", 0}, {"missing.gif", nullptr, 0}};
  for (const auto& c : table) {
    SCOPED_TRACE(std::string(c.file) + " " + (c.loader ? c.loader : "default"));
    EXPECT_EQ(IsAnimFile((dir / c.file).c_str(), c.loader, nullptr), c.isAnim);
  }

  AnimFile* anim = nullptr;
  int32_t w, h, n, loaderIndex = -1;
  ASSERT_EQ(OpenAnimFile((dir / "one.gif").c_str(), "default", nullptr, 0, 0, &anim, &w, &h, &n,
                         nullptr, &loaderIndex, nullptr),
            0);
  EXPECT_EQ(n, 1);  // a one-frame GIF still opens as an anim
  EXPECT_EQ(loaderIndex, 0);
  EXPECT_FALSE(IsIffAnimFile(anim));
  CloseAnimFile(anim);
}

}  // namespace
