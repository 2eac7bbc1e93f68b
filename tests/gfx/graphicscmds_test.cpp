// Commands of the graphics library on a display of the test display
// adapter, and the image savers as the brush library's SaveBrush uses them.
#include "tests/gfx/display_fixture.h"
#include "tests/media/image_support.h"

namespace {

using imagetest::Shell;
using imagetest::Words;

class GraphicsCommandTest : public gfxtest::DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    InitMediaContext();
  }
};

TEST_F(GraphicsCommandTest, SaveBrushKeepsTheMaskAsAlpha) {
  OpenDisplay(64, 48);
  // A 4x2 brush whose black pixels are keyed out of its mask.
  std::string source = root + "/keyed.png", saved = root + "/saved.png";
  Shell("convert -size 4x2 xc:red -fill black -draw 'point 1,0' -draw 'point 2,1' -depth 8 '" +
        source + "'");
  ASSERT_EQ(CallWith("LoadBrush", {1, source.c_str(), Value::Table({{"transparency", 0}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("SaveBrush", {1, saved.c_str(), 1, 1}), ERR_NONE);
  std::vector<uint32_t> rgba = Words(Shell("convert '" + saved + "' -depth 8 rgba:-"), 4);
  ASSERT_EQ(rgba.size(), 8u);
  for (size_t i = 0; i < rgba.size(); ++i) {
    bool clear = i == 1 || i == 6;
    EXPECT_EQ(rgba[i] >> 24, clear ? 0u : 255u) << i;
    if (!clear) {
      EXPECT_EQ(rgba[i] & 0xFFFFFF, 0xFF0000u) << i;
    }
  }
  EXPECT_EQ(CallWith("SaveBrush", {1, saved.c_str(), 5}), ERR_UNKNOWNIMGOUT);
}

}  // namespace
