// The "anim" library so far: IsAnim through the command call with its
// loader and adapter options, and the deinterlace constants.
#include "engine/engine.h"
#include "media/image_private.h"
#include "media/media.h"
#include "tests/media/image_support.h"
#include "tests/support/harness.h"

using namespace imagetest;

namespace {

void WriteGif(const std::string& path, int frames) {
  GifWriter* w = nullptr;
  ASSERT_EQ(OpenGifWriter(path.c_str(), 2, 2, &w), 0);
  uint32_t palette[256] = {0x000000, 0xFFFFFF};
  for (int f = 0; f < frames; f++) {
    uint8_t pens[4] = {0, 1, static_cast<uint8_t>(f & 1), 1};
    ASSERT_EQ(WriteGifAnimFrame(w, pens, 2, 2, 50, palette, 2, -1, 0, 1), 0);
  }
  ASSERT_EQ(CloseGifWriter(w), 0);
}

TEST(AnimLibrary, IsAnimAnswersThroughTheFileLayer) {
  TempDir dir;
  WriteGif(dir / "one.gif", 1);
  WriteGif(dir / "two.gif", 2);
  PlayerHarness p;
  struct {
    const char* file;
    const char* loader;  // null: no option table
    ErrorCode error;
    double result;
  } table[] = {
      {"one.gif", nullptr, 0, 0},  {"two.gif", nullptr, 0, 1},     {"two.gif", "inbuilt", 0, 1},
      {"two.gif", "native", 0, 0}, {"missing.gif", nullptr, 0, 0},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(std::string(c.file) + " " + (c.loader ? c.loader : "-"));
    VmSetTop(p.L, 0);
    VmPushString(p.L, (dir / c.file).c_str());
    int nargs = 1;
    if (c.loader) {
      VmNewTable(p.L);
      VmPushString(p.L, "loader");
      VmPushString(p.L, c.loader);
      VmSetTable(p.L, -3);
      nargs = 2;
    }
    ASSERT_EQ(p.Call("IsAnim", nargs), c.error);
    EXPECT_EQ(VmToNumber(p.L, -1), c.result);
  }
  VmSetTop(p.L, 0);
  VmPushString(p.L, (dir / "two.gif").c_str());
  VmPushNumber(p.L, 5);
  EXPECT_NE(p.Call("IsAnim", 2), 0);  // the options must be a table

  for (const auto& [name, value] :
       {std::pair<const char*, double>{"DEINTERLACE_DEFAULT", 0}, {"DEINTERLACE_DOUBLE", 1}}) {
    const char* text = nullptr;
    double number = -1;
    ASSERT_EQ(VmFindConstant(p.L, name, &text, &number), 1) << name;
    EXPECT_EQ(number, value) << name;
  }
}

}  // namespace
