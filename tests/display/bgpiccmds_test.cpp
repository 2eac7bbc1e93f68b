// The background-picture commands on the test display adapter: pictures
// made from colours, gradients, textures, files and brushes, their
// refusals, scaling, showing and freeing, and the layers-mode selection.
// Pixels are read back from the pictures and the adapter's framebuffer
// and compared with ImageMagick's reading of the same files.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "display/display_private.h"
#include "draw/draw_private.h"
#include "plugins/plugin_private.h"
#include "tests/draw/value.h"
#include "tests/media/image_support.h"
#include "tests/support/adapter_display.h"
#include "tests/support/command_call.h"

namespace {

using imagetest::Shell;
using imagetest::Words;

class BGPicCommandsTest : public adaptertest::AdapterTest {
 protected:
  BGPicCommandsTest() : AdapterTest({OpenDisplayLibrary, OpenBrushLibrary, OpenBGPicLibrary}) {}
  void SetUp() override {
    AdapterTest::SetUp();
    if (HasFatalFailure()) return;
    // A PNG whose alpha ramp sits inside a fully transparent border.
    rgba = root + "/a.png";
    imagetest::MakeAlphaRampPng(rgba);
  }

  void OpenDisplay(bool layers = false) {
    OpenFirst(
        Value::Table({{"color", 0x336699}, {"width", 64}, {"height", 48}, {"layers", layers}}));
  }

  ErrorCode Call(const char* name, int nargs) {
    result = nullptr;
    return testcall::CallCollecting(L, name, nargs, [first = true](VmState* L, int i) mutable {
      if (first && VmType(L, i) == VM_TYPE_LIGHTUSERDATA) result = VmToUserdata(L, i);
      first = false;
    });
  }
  ErrorCode CallWith(const char* name, std::vector<Value> args) {
    for (const Value& a : args) PushValue(L, a);
    return Call(name, static_cast<int>(args.size()));
  }
  ErrorCode CallNil(const char* name, std::vector<Value> args) {
    VmPushNil(L);
    for (const Value& a : args) PushValue(L, a);
    return Call(name, static_cast<int>(args.size()) + 1);
  }
  static inline void* result = nullptr;

  BGPic* Pic(int32_t number) {
    BGPic* pic = nullptr;
    return GetBGPicObject(L, ObjectId{nullptr, number}, &pic, 0) == ERR_NONE ? pic : nullptr;
  }
  BrushObject* Brush(int32_t number) {
    BrushObject* b = nullptr;
    return GetBrushObject(L, ObjectId{nullptr, number}, &b, 0) == ERR_NONE ? b : nullptr;
  }
  // 0xAARRGGBB of every pixel, alpha from the mask or alpha channel.
  static std::vector<uint32_t> Argb(BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                                    int32_t width, int32_t height) {
    uint32_t* words = BitmapToARGBWithAlpha(bitmap, mask, alpha, width, height);
    std::vector<uint32_t> out(words, words + static_cast<size_t>(width) * height);
    FreeMemory(words);
    return out;
  }
  static std::vector<uint32_t> Rgb(BitmapHandle* bitmap, int32_t width, int32_t height) {
    std::vector<uint32_t> out;
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x)
        out.push_back(ReadBitmapPixel(bitmap, x, y, 0) & 0xFFFFFF);
    return out;
  }
  std::vector<uint32_t> Screen(int32_t width, int32_t height) {
    std::vector<uint32_t> out;
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x) out.push_back(At(x, y));
    return out;
  }

  // A 64 x 48 display scaled to 128 x 96 by layer scaling that shows red
  // picture 2 once, so that it keeps images at the display's size, and then
  // blue picture 3.
  void OpenScaledDisplayWithHiddenPicture() {
    OpenFirst(Value::Table({{"color", 0x336699},
                            {"width", 64},
                            {"height", 48},
                            {"layers", true},
                            {"scalemode", SCALEMODE_LAYER},
                            {"scalewidth", 128},
                            {"scaleheight", 96}}));
    if (HasFatalFailure()) return;
    ASSERT_EQ(CallWith("CreateBGPic", {2, 64, 48, 0xFF0000}), ERR_NONE);
    ASSERT_EQ(CallWith("CreateBGPic", {3, 64, 48, 0x0000FF}), ERR_NONE);
    ASSERT_EQ(CallWith("DisplayBGPic", {2}), ERR_NONE);
    ASSERT_EQ(Pic(2)->width, 128);
    ASSERT_EQ(CallWith("DisplayBGPic", {3}), ERR_NONE);
  }

  std::string rgba;
};

TEST_F(BGPicCommandsTest, MakingCommandsAndTheirRefusals) {
  ASSERT_EQ(CallNil("CreateBGPic", {320, 200, 0xFF0000}), ERR_NONE);
  ASSERT_NE(result, nullptr);
  BGPic* red = nullptr;
  ASSERT_EQ(GetBGPicObject(L, ObjectId{result, 0}, &red, 0), ERR_NONE);
  ASSERT_EQ(red->width, 320);
  EXPECT_EQ(Rgb(red->bitmap, 320, 200), std::vector<uint32_t>(320 * 200, 0xFF0000));

  auto pairs = [](int count) {
    std::vector<Value> list;
    for (int i = 0; i < count; ++i) {
      list.emplace_back(0x102030 * (i % 5));
      list.emplace_back(i / 64.0);
    }
    return Value::List(list);
  };
  ASSERT_EQ(CallWith("CreateBrush", {7, 4, 4, 0x00FF00}), ERR_NONE);
  struct Case {
    const char* name;
    const char* command;
    std::vector<Value> args;
    ErrorCode want;
  };
  const Case cases[] = {
      {"width 0", "CreateBGPic", {2, 0, 10}, ERR_WRONGUSAGE},
      {"copy onto itself", "CopyBGPic", {3, 3}, ERR_WRONGUSAGE},
      {"one colour pair",
       "CreateGradientBGPic",
       {4, 2, 0, 0xFFFFFF, 16, 16, 0, Value::Table({{"colors", pairs(1)}})},
       ERR_WRONGUSAGE},
      {"65 colour pairs",
       "CreateGradientBGPic",
       {4, 2, 0, 0xFFFFFF, 16, 16, 0, Value::Table({{"colors", pairs(65)}})},
       ERR_INTERNAL},
      {"64 colour pairs",
       "CreateGradientBGPic",
       {4, 2, 0, 0xFFFFFF, 16, 16, 0, Value::Table({{"colors", pairs(64)}})},
       ERR_NONE},
      {"radial centre outside",
       "CreateGradientBGPic",
       {4, 3, 0, 0xFFFFFF, 16, 16, 0, Value::Table({{"centerx", 1.5}})},
       ERR_WRONGUSAGE},
      {"linear centre not read",
       "CreateGradientBGPic",
       {4, 2, 0, 0xFFFFFF, 16, 16, 0, Value::Table({{"centerx", 1.5}})},
       ERR_NONE},
      {"texture width 0", "CreateTexturedBGPic", {5, 7, 0, 10}, ERR_BADDIMENSIONS},
      {"texture of no brush", "CreateTexturedBGPic", {5, 8, 10, 10}, ERR_FINDBRUSH},
      {"free a missing picture", "FreeBGPic", {9}, ERR_FINDBGPIC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CallWith(c.command, c.args), c.want);
  }
}

// Brush to picture and back keeps pixels, mask and alpha; the brush makers
// of gradients and textures give the picture commands' pixels.
TEST_F(BGPicCommandsTest, BrushesAndPicturesConvertExactly) {
  OpenDisplay();
  ASSERT_EQ(CallWith("LoadBrush", {1, rgba.c_str(), Value::Table({{"loadalpha", true}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("LoadBrush", {2, rgba.c_str(), Value::Table({{"loadtransparency", true}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("CreateBrush", {3, 5, 3, 0x123456}), ERR_NONE);
  for (int32_t n : {1, 2, 3}) {
    SCOPED_TRACE(n);
    ASSERT_EQ(CallWith("BrushToBGPic", {n, 10 + n}), ERR_NONE);
    ASSERT_EQ(CallWith("BGPicToBrush", {10 + n, 20 + n}), ERR_NONE);
    BrushObject *a = Brush(n), *b = Brush(20 + n);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(b->width, a->width);
    EXPECT_EQ(b->mask != nullptr, a->mask != nullptr);
    EXPECT_EQ(b->alpha != nullptr, a->alpha != nullptr);
    EXPECT_EQ(Argb(b->bitmap, b->mask, b->alpha, b->width, b->height),
              Argb(a->bitmap, a->mask, a->alpha, a->width, a->height));
  }
  EXPECT_EQ(CallWith("BrushToBGPic", {1, 11}), ERR_NONE);  // replaces picture 11

  const std::vector<Value> gradient = {2, 0xFF0000, 0x0000FF, 40, 30, 90};
  std::vector<Value> pictureArgs = {30}, brushArgs = {31};
  pictureArgs.insert(pictureArgs.end(), gradient.begin(), gradient.end());
  brushArgs.insert(brushArgs.end(), gradient.begin(), gradient.end());
  ASSERT_EQ(CallWith("CreateGradientBGPic", pictureArgs), ERR_NONE);
  ASSERT_EQ(CallWith("CreateGradientBrush", brushArgs), ERR_NONE);
  ASSERT_EQ(CallWith("CreateTexturedBGPic", {32, 1, 50, 40, 3, 5}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateTexturedBrush", {33, 1, 50, 40, 3, 5}), ERR_NONE);
  for (int32_t n : {30, 32}) {
    SCOPED_TRACE(n);
    BGPic* pic = Pic(n);
    BrushObject* brush = Brush(n + 1);
    ASSERT_NE(brush, nullptr);
    ASSERT_EQ(brush->width, pic->width);
    EXPECT_EQ(Rgb(brush->bitmap, brush->width, brush->height),
              Rgb(pic->bitmap, pic->width, pic->height));
  }
  // The texture starts 3, 5 into the tile and is drawn through its alpha.
  BrushObject* tile = Brush(1);
  uint32_t want = ReadBitmapPixel(tile->bitmap, 3 + 10, 5 + 5, 0) & 0xFFFFFF;
  uint32_t a =
      Argb(tile->bitmap, nullptr, tile->alpha, tile->width, tile->height)[10 * 26 + 13] >> 24;
  uint32_t got = ReadBitmapPixel(Pic(32)->bitmap, 10, 5, 0) & 0xFFFFFF;
  EXPECT_NEAR(static_cast<int>((got >> 16) & 0xFF),
              static_cast<int>(((want >> 16) & 0xFF) * a / 255), 1);
}

TEST_F(BGPicCommandsTest, LoadingPictures) {
  struct Case {
    const char* name;
    Value options;
    ErrorCode want;
  };
  const Case cases[] = {
      {"alpha with a key", Value::Table({{"loadalpha", true}, {"transparency", 0xFF0000}}),
       ERR_MASKNALPHA},
      {"alpha with transparency", Value::Table({{"loadalpha", true}, {"loadtransparency", true}}),
       ERR_WRONGUSAGE},
      {"unknown fill style", Value::Table({{"fillstyle", 4}}), ERR_WRONGUSAGE},
      {"alpha", Value::Table({{"loadalpha", true}}), ERR_NONE},
      {"half width", Value::Table({{"scalewidth", "50%"}}), ERR_NONE},
      {"filled", Value::Table({{"loadalpha", true}, {"fillstyle", 1}, {"fillcolor", 0x2040C0}}),
       ERR_NONE},
  };
  int32_t n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CallWith("LoadBGPic", {++n, rgba.c_str(), c.options}), c.want);
  }
  BGPic* alpha = Pic(4);
  ASSERT_NE(alpha, nullptr);
  ASSERT_NE(alpha->alpha, nullptr);
  std::vector<uint32_t> want = Words(Shell("convert '" + rgba + "' -depth 8 rgba:-"), 4);
  std::vector<uint32_t> got = Argb(alpha->bitmap, nullptr, alpha->alpha, 26, 16);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i] >> 24, want[i] >> 24) << i;

  EXPECT_EQ(Pic(5)->width, 13);
  EXPECT_EQ(Pic(5)->height, 16);

  BGPic* filled = Pic(6);
  EXPECT_EQ(filled->mask, nullptr);
  EXPECT_EQ(filled->alpha, nullptr);
  want = Words(Shell("convert '" + rgba + "' -background '#2040C0' -flatten -depth 8 rgb:-"), 3);
  got = Rgb(filled->bitmap, 26, 16);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i)
    for (int shift : {0, 8, 16})
      EXPECT_LE(std::abs(static_cast<int>((got[i] >> shift) & 0xFF) -
                         static_cast<int>((want[i] >> shift) & 0xFF)),
                1)
          << i;
}

// A picture loaded while preloading keeps its picture until the first
// opening builds its images; they are those it would have had at once,
// its loaded alpha channel, the mask of its transparent colour or the fill
// under it included.
TEST_F(BGPicCommandsTest, LoadedWhilePreloadingIsBuiltAtTheFirstOpening) {
  const Value options[] = {
      Value::Table({{"loadalpha", true}}),
      Value::Table({{"transparency", 0xFF8000}}),
      Value::Table({{"loadalpha", true}, {"fillstyle", 1}, {"fillcolor", 0x2040C0}}),
  };
  const int32_t count = static_cast<int32_t>(std::size(options));
  Preloading(1);
  for (int32_t i = 0; i < count; ++i)
    ASSERT_EQ(CallWith("LoadBGPic", {i + 1, rgba.c_str(), options[i]}), ERR_NONE);
  Preloading(0);
  for (int32_t i = 0; i < count; ++i) {
    ASSERT_EQ(CallWith("LoadBGPic", {i + 11, rgba.c_str(), options[i]}), ERR_NONE);
    EXPECT_EQ(Pic(i + 1)->bitmap, nullptr);
    EXPECT_NE(Pic(i + 1)->pictureHandle, nullptr);
  }
  OpenDisplay();
  for (int32_t i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    BGPic *late = Pic(i + 1), *early = Pic(i + 11);
    EXPECT_EQ(late->pictureHandle, nullptr);
    ASSERT_NE(late->bitmap, nullptr);
    EXPECT_EQ(late->width, 26);
    EXPECT_EQ(late->sourceBitmap, late->bitmap);
    EXPECT_EQ(late->firstBitmap, late->bitmap);
    EXPECT_EQ(late->mask != nullptr, early->mask != nullptr);
    EXPECT_EQ(late->alpha != nullptr, early->alpha != nullptr);
    EXPECT_EQ(late->transparentColour, early->transparentColour);
    EXPECT_EQ(Argb(late->bitmap, late->mask, late->alpha, 26, 16),
              Argb(early->bitmap, early->mask, early->alpha, 26, 16));
  }
  EXPECT_NE(Pic(1)->alpha, nullptr);
  EXPECT_NE(Pic(2)->mask, nullptr);
}

TEST_F(BGPicCommandsTest, ScalingShowingAndFreeing) {
  OpenDisplay();
  ASSERT_EQ(CallWith("CreateGradientBGPic", {1, 3, 0xFF0000, 0x00FF00, 40, 30}), ERR_NONE);
  std::vector<uint32_t> made = Rgb(Pic(1)->bitmap, 40, 30);
  BitmapHandle* before = Pic(1)->bitmap;
  ASSERT_EQ(CallWith("ScaleBGPic", {1, 40, 30}), ERR_NONE);
  EXPECT_EQ(Pic(1)->bitmap, before);
  ASSERT_EQ(CallWith("ScaleBGPic", {1, 120, 90, true}), ERR_NONE);
  EXPECT_EQ(Pic(1)->width, 120);
  ASSERT_EQ(CallWith("ScaleBGPic", {1, "50%", "50%"}), ERR_NONE);
  EXPECT_EQ(Pic(1)->width, 60);
  ASSERT_EQ(CallWith("ScaleBGPic", {1, 40, 30}), ERR_NONE);
  EXPECT_EQ(Rgb(Pic(1)->bitmap, 40, 30), made);

  ASSERT_EQ(CallWith("DisplayBGPic", {1}), ERR_NONE);
  EXPECT_EQ(d->bgpic, Pic(1));
  EXPECT_EQ(d->width, 40);
  EXPECT_EQ(Screen(40, 30), made);
  EXPECT_EQ(CallWith("ScaleBGPic", {1, 20, 20}), ERR_SCALEBGPIC);

  // The shown picture is freed: its id is free at once, the screen keeps it.
  ASSERT_EQ(CallWith("FreeBGPic", {1}), ERR_NONE);
  EXPECT_EQ(Pic(1), nullptr);
  ASSERT_EQ(CallWith("CreateBGPic", {1, 40, 30, 0x0000FF}), ERR_NONE);
  EXPECT_EQ(Screen(40, 30), made);
  ASSERT_EQ(CallWith("DisplayBGPic", {1}), ERR_NONE);
  EXPECT_EQ(Screen(40, 30), std::vector<uint32_t>(40 * 30, 0x0000FF));
  EXPECT_EQ(CallWith("CopyBGPic", {1, 2}), ERR_NONE);
  EXPECT_EQ(Rgb(Pic(2)->bitmap, 40, 30), std::vector<uint32_t>(40 * 30, 0x0000FF));
}

// Drawing into a picture that keeps images scaled for a display shows when
// the picture is shown again: its scaled images are made anew.
TEST_F(BGPicCommandsTest, DrawingIntoAScaledPictureRebuildsItsScaledImages) {
  OpenScaledDisplayWithHiddenPicture();
  ASSERT_EQ(CallWith("CreateBrush", {5, 10, 10, 0xFFFFFF}), ERR_NONE);
  ASSERT_EQ(CallWith("SelectBGPic", {2, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {5, 0, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  EXPECT_EQ(ReadBitmapPixel(Pic(2)->sourceBitmap, 5, 5, 0) & 0xFFFFFF, 0xFFFFFFu);
  ASSERT_EQ(CallWith("DisplayBGPic", {2}), ERR_NONE);
  window = reinterpret_cast<void*>(d->windowHandle);
  EXPECT_EQ(At(10, 10), 0xFFFFFFu);
  EXPECT_EQ(At(30, 30), 0xFF0000u);
}

// Drawing into a mask or alpha channel that a picture lacks makes it: an
// opaque alpha channel, or an all-visible mask that replaces the alpha
// channel in every image the picture keeps. Ending the selection makes the
// display-size images again with the new channel.
TEST_F(BGPicCommandsTest, DrawingIntoAMissingChannelMakesIt) {
  OpenScaledDisplayWithHiddenPicture();
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenDrawLibrary(L), ERR_NONE);
  VmSetTop(L, 0);
  BGPic* pic = Pic(2);
  ASSERT_EQ(pic->alpha, nullptr);
  ASSERT_EQ(pic->mask, nullptr);
  auto alphaAt = [](BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha, int32_t width,
                    int32_t height, int32_t x, int32_t y) {
    return Argb(bitmap, mask, alpha, width, height)[static_cast<size_t>(y) * width + x] >> 24;
  };

  ASSERT_EQ(CallWith("SelectAlphaChannel", {2, 1}), ERR_NONE);
  // The outline of a box with transparency 0x80 in the colour's top byte:
  // alpha 127.
  ASSERT_EQ(CallWith("Box", {0, 0, 20, 20, static_cast<double>(0x80000000u)}), ERR_NONE);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  ASSERT_NE(pic->sourceAlpha, nullptr);
  EXPECT_EQ(pic->firstAlpha, pic->sourceAlpha);
  EXPECT_EQ(pic->sourceMask, nullptr);
  EXPECT_EQ(alphaAt(pic->sourceBitmap, nullptr, pic->sourceAlpha, 64, 48, 0, 5), 127u);
  EXPECT_EQ(alphaAt(pic->sourceBitmap, nullptr, pic->sourceAlpha, 64, 48, 40, 30), 255u);
  ASSERT_EQ(pic->width, 128);
  ASSERT_NE(pic->alpha, nullptr);
  EXPECT_NE(pic->alpha, pic->sourceAlpha);
  EXPECT_EQ(alphaAt(pic->bitmap, nullptr, pic->alpha, 128, 96, 1, 10), 127u);
  EXPECT_EQ(alphaAt(pic->bitmap, nullptr, pic->alpha, 128, 96, 80, 60), 255u);

  ASSERT_EQ(CallWith("SelectMask", {2, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("Box", {0, 0, 1, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  EXPECT_EQ(pic->sourceAlpha, nullptr);
  EXPECT_EQ(pic->firstAlpha, nullptr);
  EXPECT_EQ(pic->alpha, nullptr);
  ASSERT_NE(pic->sourceMask, nullptr);
  EXPECT_EQ(pic->firstMask, pic->sourceMask);
  ASSERT_EQ(pic->width, 128);
  ASSERT_NE(pic->mask, nullptr);
  EXPECT_NE(pic->mask, pic->sourceMask);
  for (uint32_t argb : Argb(pic->bitmap, pic->mask, nullptr, 128, 96)) ASSERT_EQ(argb, 0xFFFF0000u);

  ASSERT_EQ(CallWith("DisplayBGPic", {2}), ERR_NONE);
  window = reinterpret_cast<void*>(d->windowHandle);
  EXPECT_EQ(At(100, 80), 0xFF0000u);
}

// A display filled with a gradient shows the picture that the gradient
// command makes of the same description.
TEST_F(BGPicCommandsTest, DisplayFillGradient) {
  VmPushNumber(L, 1);
  PushValue(L, Value::Table({{"width", 48},
                             {"height", 32},
                             {"fillstyle", 2},
                             {"gradientstyle", 3},
                             {"gradientstartcolor", 0xFF0000},
                             {"gradientendcolor", 0x0000FF},
                             {"gradientcenterx", 0.25}}));
  ASSERT_EQ(Call("CreateDisplay", 2), ERR_NONE);
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
  ASSERT_EQ(CallWith("CreateGradientBGPic",
                     {2, 3, 0xFF0000, 0x0000FF, 48, 32, 0, Value::Table({{"centerx", 0.25}})}),
            ERR_NONE);
  EXPECT_EQ(Rgb(d->bgpic->bitmap, 48, 32), Rgb(Pic(2)->bitmap, 48, 32));
  VmPushNumber(L, 3);
  PushValue(L, Value::Table({{"fillstyle", 2}, {"gradientstyle", 3}, {"gradientcenterx", 2}}));
  EXPECT_EQ(Call("CreateDisplay", 2), ERR_WRONGUSAGE);
}

TEST_F(BGPicCommandsTest, SelectionRefusals) {
  OpenDisplay();
  ASSERT_EQ(CallWith("CreateBGPic", {1, 40, 30}), ERR_NONE);
  struct Case {
    const char* name;
    const char* command;
    std::vector<Value> args;
    ErrorCode want;
  };
  const Case cases[] = {
      {"end without a selection", "EndSelect", {}, ERR_WRONGUSAGE},
      {"layers off", "SelectBGPic", {1}, ERR_NOLAYERS},
      {"unknown mode", "SelectBGPic", {1, 5}, ERR_WRONGUSAGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CallWith(c.command, c.args), c.want);
  }
}

TEST_F(BGPicCommandsTest, LayersSelectionHoldsTheScreen) {
  OpenDisplay(true);
  ASSERT_EQ(CallWith("CreateBGPic", {1, 40, 30}), ERR_NONE);
  ASSERT_EQ(CallWith("SelectBGPic", {1}), ERR_NONE);
  EXPECT_EQ(d->outputKind, OBJECT_BGPIC);
  EXPECT_EQ(CallWith("ScaleBGPic", {1, 20, 20}), ERR_MODIFYABGPIC);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  EXPECT_EQ(CallWith("ScaleBGPic", {1, 20, 20}), ERR_NONE);
}

}  // namespace
