// Sprites in a real X window (a private Xvfb without window manager): a
// sprite shows over the picture, a move takes it away from its old place,
// a drawing under it leaves it on top, and removing it shows the picture
// again; read back with xwd.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "display/display_private.h"
#include "draw/draw_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "tests/display/display_fixture.h"
#include "tests/display/x11_window_fixture.h"
#include "tests/media/image_support.h"
#include "tests/support/harness.h"

namespace {

constexpr uint32_t BACKGROUND = 0x336699, RED = 0xFF0000, GREEN = 0x00FF00, WHITE = 0xFFFFFF;

class SpriteX11Test : public X11WindowTest {
 protected:
  void SetUp() override {
    Open({OpenDisplayLibrary, OpenBrushLibrary, OpenBGPicLibrary, OpenLayersLibrary,
          OpenSpriteLibrary});
  }
  void FreeObjects() override {
    FreeAllSprites(h.L);
    FreeAllBrushes(h.L);
  }
  void AfterDisplayClosed() override { FreeLayerSystem(h.L); }
  ErrorCode Run(const char* name, std::vector<double> args) {
    VmSetTop(h.L, 0);
    for (double a : args) VmPushNumber(h.L, a);
    ErrorCode e = h.Call(name, static_cast<int>(args.size()));
    VmSetTop(h.L, 0);
    return e;
  }
};

TEST_F(SpriteX11Test, SpritesShowMoveAndGoInTheWindow) {
  // Made while preloading, as an applet's display is.
  TagItem tags[] = {{ATTR_DEFERBITMAPS, 1}, {ATTR_DONE, 0}};
  SetGlobalAttrs(h.L, tags);
  VmPushNumber(h.L, 1);
  PushOptions(h.L, {{"width", 64}, {"height", 48}, {"color", BACKGROUND}});
  ErrorCode made = h.Call("CreateDisplay", 2);
  tags[0].data = 0;
  SetGlobalAttrs(h.L, tags);
  ASSERT_EQ(made, ERR_NONE);
  VmSetTop(h.L, 0);
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  // Two 10 x 10 frames, red and green.
  ASSERT_EQ(Run("CreateBrush", {10, 20, 10, RED}), ERR_NONE);
  BrushObject* strip = nullptr;
  ASSERT_EQ(GetBrushObject(h.L, ObjectId{nullptr, 10}, &strip, 0), ERR_NONE);
  FillBitmapRect(strip->bitmap, 10, 0, 10, 10, GREEN);
  ASSERT_EQ(Run("CreateSprite", {1, OBJTYPE_BRUSH, 10, 10, 10, 2, 2, 0, 0}), ERR_NONE);
  ASSERT_EQ(Run("CreateBrush", {11, 30, 30, WHITE}), ERR_NONE);

  ASSERT_EQ(Run("DisplaySprite", {1, 10, 10, 1}), ERR_NONE);
  std::vector<uint32_t> w = Window();
  ASSERT_EQ(w.size(), 64u * 48u);
  EXPECT_EQ(w[15 * 64 + 15], RED);
  EXPECT_EQ(w[5 * 64 + 5], BACKGROUND);
  ASSERT_EQ(Run("DisplaySprite", {1, 40, 20}), ERR_NONE);  // the next frame
  w = Window();
  EXPECT_EQ(w[15 * 64 + 15], BACKGROUND);
  EXPECT_EQ(w[25 * 64 + 45], GREEN);
  ASSERT_EQ(Run("DisplayBrush", {11, 30, 10}), ERR_NONE);
  w = Window();
  EXPECT_EQ(w[25 * 64 + 45], GREEN);
  EXPECT_EQ(w[15 * 64 + 35], WHITE);
  ASSERT_EQ(Run("RemoveSprite", {1}), ERR_NONE);
  w = Window();
  EXPECT_EQ(w[25 * 64 + 45], WHITE);
  EXPECT_EQ(w[45 * 64 + 45], BACKGROUND);
}

}  // namespace
