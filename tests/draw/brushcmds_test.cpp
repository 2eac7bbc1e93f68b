// The brush library's pixel, filter and brush making commands: one table
// over every pixel and filter command for argument counts and the refusals
// of a selected, a vector and a video-memory brush; pixel results compared
// with what ImageMagick makes of the same picture files, and the commands'
// own edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <vector>

#include "display/display_private.h"
#include "draw/draw_private.h"
#include "libs/libs.h"
#include "plugins/plugin_private.h"
#include "runtime/player.h"
#include "tests/draw/value.h"
#include "tests/media/image_support.h"
#include "tests/support/adapter_display.h"
#include "tests/support/command_call.h"

namespace {

using imagetest::Shell;
using imagetest::Words;

class BrushCommandsTest : public adaptertest::AdapterTest {
 protected:
  BrushCommandsTest()
      : AdapterTest({OpenDisplayLibrary, OpenBrushLibrary, OpenBGPicLibrary, OpenGraphicsLibrary}) {
  }
  void InstallMore() override { Install("testimg"); }
  void SetUp() override {
    AdapterTest::SetUp();
    if (HasFatalFailure()) return;
    opaque = root + "/f.png";
    imagetest::MakeDistinctPng(opaque);
    rgba = root + "/a.png";
    imagetest::MakeAlphaRampPng(rgba);
    opaqueRgb = Reference("");
    ASSERT_EQ(opaqueRgb.size(), 40u * 30u);
  }
  void TearDown() override {
    SetBlitAlphaIntensity(-1);
    SetBlitMaskMode(0);
    AdapterTest::TearDown();
  }

  void OpenDisplay() { OpenFirst(Value::Table({{"width", 64}, {"height", 48}})); }

  // Calls the command protected; its number results land in results.
  ErrorCode Call(const char* name, int nargs) {
    results.clear();
    return testcall::CallCollecting(L, name, nargs, Collect);
  }
  ErrorCode CallWith(const char* name, std::vector<Value> args) {
    for (const Value& a : args) PushValue(L, a);
    return Call(name, static_cast<int>(args.size()));
  }
  static void Collect(VmState* L, int i) {
    if (VmType(L, i) == VM_TYPE_TABLE) {
      table.clear();
      for (int k = 0;; ++k) {
        VmRawGetI(L, i, k);
        if (VmType(L, -1) == VM_TYPE_NIL) break;
        table.push_back(VmToNumber(L, -1));
        VmSetTop(L, -2);
      }
      VmSetTop(L, -2);
    }
    results.push_back(VmToNumber(L, i));
  }
  static inline std::vector<double> results, table;

  BrushObject* Brush(int32_t number) {
    BrushObject* b = nullptr;
    GetBrushObject(L, ObjectId{nullptr, number}, &b, BRUSH_HARDWARE);
    return b;
  }
  // The fixture's pixels as ImageMagick turns them, 0xRRGGBB.
  std::vector<uint32_t> Reference(const std::string& operation, const std::string& file = "") {
    return Words(
        Shell("convert '" + (file.empty() ? opaque : file) + "' " + operation + " -depth 8 rgb:-"),
        3);
  }
  static std::vector<uint32_t> Pixels(const BrushObject* b) {
    std::vector<uint32_t> out;
    for (int32_t y = 0; y < b->height; ++y)
      for (int32_t x = 0; x < b->width; ++x)
        out.push_back(ReadBitmapPixel(b->bitmap, x, y, 0) & 0xFFFFFF);
    return out;
  }

  std::string opaque, rgba;
  std::vector<uint32_t> opaqueRgb;
};

// Every command of the group: its argument range and, for those that
// change the brush, the refusal of the selected brush, a vector brush and a
// video-memory brush.
TEST_F(BrushCommandsTest, EveryCommandChecksItsArgumentsAndItsBrush) {
  OpenDisplay();
  struct Case {
    const char* command;
    std::vector<Value> args;  // a valid call after the brush id
    int minArgs;              // with the id
    bool modifies;
  };
  const Value pair = Value::List({0xFF0000, 0x00FF00});
  const std::vector<Case> cases = {
      {"IsBrushEmpty", {}, 1, false},
      {"ReduceAlphaChannel", {"50%"}, 2, true},
      {"QuantizeBrush", {16, 0}, 1, true},
      {"WriteBrushPixel", {1, 1, 0xFF}, 4, true},
      {"ReadBrushPixel", {1, 1}, 3, false},
      {"BarrelDistortBrush", {0.1, 0.0, 0.0}, 4, true},
      {"PolarDistortBrush", {}, 1, true},
      {"ArcDistortBrush", {60}, 2, true},
      {"PerspectiveDistortBrush", {0, 0, 40, 0, 0, 30, 40, 30}, 9, true},
      {"BrushToRGBArray", {}, 1, false},
      {"OilPaintBrush", {1}, 2, true},
      {"WaterRippleBrush", {}, 1, true},
      {"ChangeBrushTransparency", {30}, 2, true},
      {"BrushToMonochrome", {}, 1, true},
      {"PixelateBrush", {4}, 2, true},
      {"SwirlBrush", {90}, 2, true},
      {"CharcoalBrush", {1}, 2, true},
      {"SepiaToneBrush", {200}, 2, true},
      {"ModulateBrush", {100, 50, 100}, 4, true},
      {"ContrastBrush", {1}, 2, true},
      {"GammaBrush", {1.2, 1, 0.8}, 4, true},
      {"SolarizeBrush", {"50%"}, 2, true},
      {"SharpenBrush", {}, 1, true},
      {"EdgeBrush", {1}, 1, true},
      {"EmbossBrush", {}, 1, true},
      {"BlurBrush", {2}, 1, true},
      {"RasterizeBrush", {}, 1, true},
      {"TrimBrush", {}, 1, true},
      {"DeleteMask", {}, 1, true},
      {"FloodFill", {0, 0, 0xFF}, 4, true},
      {"InvertAlphaChannel", {}, 1, true},
      {"InvertMask", {}, 1, true},
      {"CropBrush", {1, 1, 5, 5}, 5, true},
      {"DeleteAlphaChannel", {}, 1, true},
      {"SetBrushTransparency", {0}, 2, true},
      {"BrushToGray", {}, 1, true},
      {"MixBrush", {9, 128}, 3, true},
      {"FlipBrush", {1}, 2, true},
      {"InvertBrush", {}, 1, true},
      {"ReplaceColors", {pair}, 2, true},
      {"TintBrush", {0xFF, 128}, 3, true},
  };
  ASSERT_EQ(CallWith("CreateBrush", {9, 40, 30, 0x808080}), ERR_NONE);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    // A fresh brush with a mask and an alpha channel for every command
    // that needs one.
    ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
    std::vector<Value> args{1};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (std::string(c.command) == "InvertMask") {
      ASSERT_EQ(CallWith("ChangeBrushTransparency", {1, 28}), ERR_NONE);
    }
    if (std::string(c.command) == "InvertAlphaChannel" ||
        std::string(c.command) == "ReduceAlphaChannel") {
      ASSERT_EQ(CallWith("ChangeBrushTransparency", {1, 30}), ERR_NONE);
    }
    EXPECT_EQ(CallWith(c.command, args), ERR_NONE);
    std::vector<Value> few(args.begin(), args.begin() + (c.minArgs - 1));
    EXPECT_EQ(CallWith(c.command, few), ERR_MISSINGPARAMTR);
    if (!c.modifies) continue;
    ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
    ASSERT_EQ(CallWith("SelectBrush", {1}), ERR_NONE);
    EXPECT_EQ(CallWith(c.command, args), ERR_MODIFYABR);
    ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
    BrushObject* b = Brush(1);
    b->isVector = 1;
    if (std::string(c.command) != "RasterizeBrush") {
      EXPECT_EQ(CallWith(c.command, args), ERR_BRUSHTYPE);
    }
    b->isVector = 0;
    b->video = 1;
    EXPECT_EQ(CallWith(c.command, args), ERR_HWBRUSH);
    b->video = 0;
  }
  // The two drawing settings take no brush.
  EXPECT_EQ(CallWith("SetAlphaIntensity", {256}), ERR_WRONGUSAGE);
  EXPECT_EQ(CallWith("SetAlphaIntensity", {-2}), ERR_WRONGUSAGE);
  ASSERT_EQ(CallWith("SetAlphaIntensity", {"50%"}), ERR_NONE);
  EXPECT_EQ(GetBlitAlphaIntensity(), 127);
  EXPECT_EQ(CallWith("SetMaskMode", {6}), ERR_WRONGUSAGE);
  ASSERT_EQ(CallWith("SetMaskMode", {3}), ERR_NONE);
  EXPECT_EQ(GetBlitMaskMode(), 3);
  EXPECT_EQ(CallWith("SetMaskMode", {}), ERR_MISSINGPARAMTR);
}

// Pixel results against ImageMagick: flips, inversion and a crop partly
// outside the brush.
TEST_F(BrushCommandsTest, PixelsMatchImageMagick) {
  struct Case {
    const char* command;
    std::vector<Value> args;
    const char* reference;
  };
  const Case cases[] = {
      {"FlipBrush", {0}, "-flop"},
      {"FlipBrush", {1}, "-flip"},
      {"InvertBrush", {}, "-negate"},
      {"CropBrush", {30, 20, 50, 50}, "-crop 10x10+30+20 +repage"},
      {"PerspectiveDistortBrush", {0, 0, 40, 0, 0, 30, 40, 30}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
    std::vector<Value> args{1};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ASSERT_EQ(CallWith(c.command, args), ERR_NONE);
    BrushObject* b = Brush(1);
    std::vector<uint32_t> want = Reference(c.reference);
    if (std::string(c.command) == "PerspectiveDistortBrush") {
      // The distortion's box starts one pixel before the brush's (its
      // corner is the pixel's edge); every brush pixel stays, one pixel in.
      ASSERT_EQ(b->width, 41);
      ASSERT_EQ(b->height, 31);

      std::vector<uint32_t> inside;
      for (int32_t y = 0; y < 30; ++y)
        for (int32_t x = 0; x < 40; ++x)
          inside.push_back(ReadBitmapPixel(b->bitmap, x + 1, y + 1, 0) & 0xFFFFFF);
      EXPECT_EQ(inside, want);
      continue;
    }
    EXPECT_EQ(Pixels(b), want);
  }
}

// Each filter command is its kernel with the command's defaults and
// conversions, run here on a copy of the same brush.
TEST_F(BrushCommandsTest, FiltersRunTheirKernels) {
  using Kernel = std::function<ErrorCode(BrushObject*)>;
  struct Case {
    const char* command;
    std::vector<Value> args;
    Kernel kernel;
  };
  const Case cases[] = {
      {"BlurBrush",
       {3},
       [](BrushObject* b) {
         return ConvolveBitmap(CONVOLVE_BLUR, b->bitmap, b->alpha, b->width, b->height, 3, 1.0,
                               nullptr);
       }},
      {"SharpenBrush",
       {},
       [](BrushObject* b) {
         return ConvolveBitmap(CONVOLVE_SHARPEN, b->bitmap, b->alpha, b->width, b->height, 0, 1.0,
                               nullptr);
       }},
      {"ModulateBrush",
       {100, 50, 120},
       [](BrushObject* b) { return ModulateBitmap(b->bitmap, b->width, b->height, 1, 0.5, 1.2); }},
      {"SepiaToneBrush",
       {"50%"},
       [](BrushObject* b) { return SepiaToneBitmap(b->bitmap, b->width, b->height, 127); }},
      {"QuantizeBrush",
       {},
       [](BrushObject* b) { return QuantizeBitmap(b->bitmap, b->width, b->height, 256, 1); }},
      {"WaterRippleBrush",
       {},
       [](BrushObject* b) {
         return WaterRippleBitmap(b->bitmap, b->mask, b->alpha, b->width, b->height, 32, 1, 0, 0.5,
                                  0.5);
       }},
      {"TintBrush",
       {0xFF, "50%"},
       [](BrushObject* b) { return TintBitmap(b->bitmap, 0, 0, b->width, b->height, 0xFF, 127); }},
      {"ContrastBrush",
       {1},
       [](BrushObject* b) {
         return ContrastBitmap(b->bitmap, b->width, b->height, 1, 1, nullptr);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
    ASSERT_EQ(CallWith("CopyBrush", {1, 2}), ERR_NONE);
    std::vector<Value> args{1};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ASSERT_EQ(CallWith(c.command, args), ERR_NONE);
    ASSERT_EQ(c.kernel(Brush(2)), ERR_NONE);
    EXPECT_EQ(Pixels(Brush(1)), Pixels(Brush(2)));
    EXPECT_NE(Pixels(Brush(1)), opaqueRgb);
  }
}

TEST_F(BrushCommandsTest, RgbArraysRoundTripAndPixelsReadBack) {
  ASSERT_EQ(CallWith("LoadBrush", {1, rgba.c_str(), Value::Table({{"loadalpha", true}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("BrushToRGBArray", {1, true}), ERR_NONE);
  std::vector<double> words = table;
  ASSERT_EQ(words.size(), 26u * 16u);
  Value list = Value::List({});
  for (double w : words) list.fields.emplace_back(Value(static_cast<int>(list.fields.size())), w);
  ASSERT_EQ(CallWith("RGBArrayToBrush", {2, list, 26, 16, -1, 30}), ERR_NONE);
  ASSERT_EQ(CallWith("BrushToRGBArray", {2, true}), ERR_NONE);
  EXPECT_EQ(table, words);

  // A short table leaves the rest 0.
  ASSERT_EQ(CallWith("RGBArrayToBrush", {3, Value::List({0x123456}), 2, 2}), ERR_NONE);
  ASSERT_EQ(CallWith("BrushToRGBArray", {3}), ERR_NONE);
  EXPECT_EQ(table, (std::vector<double>{0x123456, 0, 0, 0}));
  EXPECT_EQ(CallWith("RGBArrayToBrush", {3, Value::List({}), 0, 2}), ERR_BADDIMENSIONS);

  // ReadBrushPixel: the alpha byte beside the colour; outside -1, -1.
  ASSERT_EQ(CallWith("ReadBrushPixel", {1, 3 + 10, 3}), ERR_NONE);
  EXPECT_EQ(results,
            (std::vector<double>{
                0xFF8000, static_cast<double>(static_cast<uint32_t>(words[3 * 26 + 13]) >> 24)}));
  for (auto [x, y] : {std::pair{26, 0}, std::pair{0, -1}}) {
    ASSERT_EQ(CallWith("ReadBrushPixel", {1, x, y}), ERR_NONE);
    EXPECT_EQ(results, (std::vector<double>{-1, -1}));
  }
  // WriteBrushPixel outside does nothing and succeeds.
  EXPECT_EQ(CallWith("WriteBrushPixel", {1, 100, 0, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("WriteBrushPixel", {1, 0, 0, 0x0000FF, 77}), ERR_NONE);
  ASSERT_EQ(CallWith("ReadBrushPixel", {1, 0, 0}), ERR_NONE);
  EXPECT_EQ(results, (std::vector<double>{0x0000FF, 77}));
}

TEST_F(BrushCommandsTest, TrimKeyAndTransparencyKinds) {
  // TrimBrush cuts to the visible box that ImageMagick finds.
  std::string box = Shell("convert '" + rgba + "' -alpha extract -format %@ info:");
  int bw = 0, bh = 0, bx = 0, by = 0;
  ASSERT_EQ(std::sscanf(box.c_str(), "%dx%d+%d+%d", &bw, &bh, &bx, &by), 4);
  ASSERT_EQ(CallWith("LoadBrush", {1, rgba.c_str(), Value::Table({{"loadalpha", true}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("TrimBrush", {1}), ERR_NONE);
  EXPECT_EQ(results, (std::vector<double>{static_cast<double>(bx), static_cast<double>(by)}));
  EXPECT_EQ(Brush(1)->width, bw);
  EXPECT_EQ(Brush(1)->height, bh);
  // Without mask and alpha channel: 0, 0 and no change; an all-clear mask
  // is a brush without visible pixels.
  ASSERT_EQ(CallWith("CreateBrush", {2, 5, 4}), ERR_NONE);
  ASSERT_EQ(CallWith("TrimBrush", {2}), ERR_NONE);
  EXPECT_EQ(results, (std::vector<double>{0, 0}));
  ASSERT_EQ(CallWith("CreateBrush", {2, 5, 4, 0, Value::Table({{"mask", true}, {"clear", true}})}),
            ERR_NONE);
  EXPECT_EQ(CallWith("TrimBrush", {2}), ERR_TRANSBRUSH);
  ASSERT_EQ(CallWith("IsBrushEmpty", {2}), ERR_NONE);
  EXPECT_EQ(results, (std::vector<double>{1}));

  // SetBrushTransparency hides exactly the pixels of the key colour.
  ASSERT_EQ(CallWith("LoadBrush", {3, opaque.c_str()}), ERR_NONE);
  uint32_t key = opaqueRgb[5 * 40 + 7];
  ASSERT_EQ(CallWith("SetBrushTransparency", {3, static_cast<double>(key)}), ERR_NONE);
  BrushObject* b = Brush(3);
  ASSERT_NE(b->mask, nullptr);
  for (int32_t i = 0; i < 40 * 30; ++i)
    ASSERT_EQ(ReadBitmapPixel(b->mask, i % 40, i / 40, 1), opaqueRgb[i] == key ? 0u : 1u) << i;
  EXPECT_EQ(b->keyColour, key);

  // ChangeBrushTransparency: the mask becomes an alpha channel of 255 and
  // 0, back to a mask, and -1 drops both.
  ASSERT_EQ(CallWith("ChangeBrushTransparency", {3, 30}), ERR_NONE);
  EXPECT_EQ(b->mask, nullptr);
  ASSERT_NE(b->alpha, nullptr);
  ASSERT_EQ(CallWith("ReadBrushPixel", {3, 7, 5}), ERR_NONE);
  EXPECT_EQ(results[1], 0);
  ASSERT_EQ(CallWith("ReadBrushPixel", {3, 8, 5}), ERR_NONE);
  EXPECT_EQ(results[1], 255);
  ASSERT_EQ(CallWith("ChangeBrushTransparency", {3, 28}), ERR_NONE);
  EXPECT_EQ(b->alpha, nullptr);
  EXPECT_EQ(ReadBitmapPixel(b->mask, 7, 5, 1), 0u);
  EXPECT_EQ(ReadBitmapPixel(b->mask, 8, 5, 1), 1u);
  ASSERT_EQ(CallWith("ChangeBrushTransparency", {3, -1}), ERR_NONE);
  EXPECT_EQ(b->mask, nullptr);
  EXPECT_EQ(b->keyColour, -1);
  EXPECT_EQ(CallWith("ChangeBrushTransparency", {3, 29}), ERR_WRONGUSAGE);
  // A colour without its partner.
  EXPECT_EQ(CallWith("ReplaceColors", {3, Value::List({1, 2, 3})}), ERR_WRONGUSAGE);
  ASSERT_EQ(CallWith("ReplaceColors",
                     {3, Value::List({static_cast<double>(key), 0x0000FF, 0x0000FF, 0xFF0000})}),
            ERR_NONE);
  EXPECT_EQ(ReadBitmapPixel(b->bitmap, 7, 5, 0) & 0xFFFFFF, 0x0000FFu);
}

// Shadow and border brushes: the size grows by the radius on every side,
// the shadow's alpha is a symmetric blur at the colour's opacity.
TEST_F(BrushCommandsTest, ShadowAndBorderBrushes) {
  ASSERT_EQ(CallWith("CreateBrush", {1, 10, 10, 0xFFFFFF}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateShadowBrush", {2, 1, static_cast<double>(0x40FF0000u), 5}), ERR_NONE);
  BrushObject* s = Brush(2);
  ASSERT_EQ(s->width, 20);
  ASSERT_EQ(s->height, 20);
  EXPECT_EQ(s->keyColour, -1);
  ASSERT_NE(s->alpha, nullptr);
  BitmapLock lock{};
  ASSERT_NE(LockBitmap(s->alpha, 1, &lock), 0u);
  auto at = [&](int x, int y) { return static_cast<int>(lock.address[y * lock.rowLength + x]); };
  int worst = 0;
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 20; ++x)
      worst =
          std::max({worst, std::abs(at(x, y) - at(19 - x, y)), std::abs(at(x, y) - at(x, 19 - y))});
  EXPECT_LE(worst, 1);
  EXPECT_LE(std::abs(at(10, 10) - (255 - 0x40)), 2);
  EXPECT_EQ(at(0, 0) < at(10, 10), true);
  UnlockBitmap(&lock);
  EXPECT_EQ(ReadBitmapPixel(s->bitmap, 3, 3, 0) & 0xFFFFFF, 0xFF0000u);

  // A border of a brush with neither mask nor alpha channel has no alpha
  // channel; with a mask it has one.
  ASSERT_EQ(CallWith("CreateBorderBrush", {3, 1, 0xFF, 4}), ERR_NONE);
  EXPECT_EQ(Brush(3)->width, 18);
  EXPECT_EQ(Brush(3)->alpha, nullptr);
  ASSERT_EQ(CallWith("ChangeBrushTransparency", {1, 28}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateBorderBrush", {3, 1, 0xFF, 4}), ERR_NONE);
  EXPECT_NE(Brush(3)->alpha, nullptr);

  struct Refusal {
    const char* command;
    std::vector<Value> args;
    ErrorCode expected;
  };
  const Refusal refusals[] = {
      {"CreateShadowBrush", {2, 1, 0, 0.5}, ERR_WRONGUSAGE},
      {"CreateBorderBrush", {1, 1, 0}, ERR_WRONGUSAGE},  // the source's own id
      // width + 2r beyond 32 bits, and a radius beyond them.
      {"CreateShadowBrush", {2, 1, 0, 1.5e9}, ERR_BITMAP},
      {"CreateShadowBrush", {2, 1, 0, 1e12}, ERR_BITMAP},
      {"CreateShadowBrush", {2, 9, 0}, ERR_FINDBRUSH},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.command);
    EXPECT_EQ(CallWith(r.command, r.args), r.expected);
  }
}

TEST_F(BrushCommandsTest, ConvertAndLink) {
  ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
  Brush(1)->link = 77;
  ASSERT_EQ(CallWith("ConvertToBrush", {OBJTYPE_BRUSH, 1, 2}), ERR_NONE);
  EXPECT_EQ(Pixels(Brush(2)), opaqueRgb);
  EXPECT_EQ(Brush(2)->link, 77u);
  EXPECT_NE(Brush(2)->bitmap, Brush(1)->bitmap);
  // The loader that read a brush is kept by copies, not by conversions.
  ASSERT_EQ(CallWith("CopyBrush", {1, 3}), ERR_NONE);
  auto loader = [&](int id) {
    for (double n : {double(OBJTYPE_BRUSH), double(id), double(ATTRLOADER)}) VmPushNumber(L, n);
    std::string name = "?";
    EXPECT_EQ(testcall::CallCollecting(L, "GetAttribute", 3,
                                       [&](VmState* S, int i) { name = VmToString(S, i); }),
              ERR_NONE);
    return name;
  };
  EXPECT_EQ(loader(1), "inbuilt");
  EXPECT_EQ(loader(3), "inbuilt");
  EXPECT_EQ(loader(2), "");
  // GetBrushLink takes the new id first and returns an automatic one.
  VmPushNil(L);
  PushValue(L, OBJTYPE_BRUSH);
  PushValue(L, 1);
  ASSERT_EQ(Call("GetBrushLink", 3), ERR_NONE);
  EXPECT_EQ(results.size(), 1u);
  struct Refusal {
    const char* command;
    std::vector<Value> args;
    ErrorCode expected;
  };
  const Refusal refusals[] = {
      {"ConvertToBrush", {OBJTYPE_BRUSH, 1, 1}, ERR_WRONGUSAGE},
      {"ConvertToBrush", {7, 1, 2}, ERR_WRONGUSAGE},
      {"ConvertToBrush", {OBJTYPE_BRUSH, 5, 2}, ERR_FINDBRUSH},
      {"GetBrushLink", {1, OBJTYPE_BRUSH, 1}, ERR_WRONGUSAGE},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.command);
    EXPECT_EQ(CallWith(r.command, r.args), r.expected);
  }
}

// A picture linked into the applet is read from its place inside the
// holding file, behind other data; the plain name is no file on disk.
TEST_F(BrushCommandsTest, LinkedPictureLoadsFromItsHolder) {
  std::string png;
  {
    std::ifstream in(opaque, std::ios::binary);
    png.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_FALSE(png.empty());
  const std::string holder = root + "/holder.bin";
  {
    std::ofstream out(holder, std::ios::binary);
    out << std::string(37, 'x') << png << "trailing";
  }
  PlayerRecord record{};
  player.record = &record;
  struct Unlink {
    PlayerRecord* r;
    ~Unlink() {
      while (LinkedFileEntry* e = r->linkedFiles) {
        r->linkedFiles = e->next;
        FreeMemory(e);
      }
      player.record = nullptr;
    }
  } unlink{&record};
  ASSERT_EQ(AddLinkedFont(&record, "p.png", 0, holder.c_str(), 37, png.size()), 0);
  ASSERT_EQ(CallWith("LoadBrush", {1, "p.png"}), ERR_NONE);
  ASSERT_NE(Brush(1), nullptr);
  EXPECT_EQ(Pixels(Brush(1)), opaqueRgb);
  // Background pictures find it the same way.
  ASSERT_EQ(CallWith("LoadBGPic", {5, "p.png"}), ERR_NONE);
  EXPECT_EQ(CallWith("FreeBGPic", {5}), ERR_NONE);
  // Names not linked still go to the disk.
  EXPECT_NE(CallWith("LoadBrush", {2, "q.png"}), ERR_NONE);
  EXPECT_NE(CallWith("LoadBGPic", {6, "q.png"}), ERR_NONE);
  ASSERT_EQ(CallWith("LoadBrush", {2, opaque.c_str()}), ERR_NONE);
}

TEST_F(BrushCommandsTest, ConvertLayersAndIconEntries) {
  for (ErrorCode (*open)(VmState*) : {OpenLayersLibrary, OpenIconLibrary}) {
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(open(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("LoadBrush", {2, rgba.c_str(), Value::Table({{"loadalpha", true}})}),
            ERR_NONE);
  // An icon of two entries: the opaque picture (itself its selected
  // image too), and the translucent one.
  VmPushNumber(L, 1);
  PushValue(L, Value::List(
                   {Value::Table({{"image", 1}, {"selimage", 1}}), Value::Table({{"image", 2}})}));
  ASSERT_EQ(Call("CreateIcon", 2), ERR_NONE);
  // Entries are ordered by width: the 26 x 16 one first.
  ASSERT_EQ(CallWith("ConvertToBrush", {OBJTYPE_ICON, 1, 5, 2}), ERR_NONE);
  EXPECT_EQ(Pixels(Brush(5)), opaqueRgb);
  EXPECT_EQ(Brush(5)->alpha, nullptr);
  ASSERT_EQ(CallWith("ConvertToBrush", {OBJTYPE_ICON, 1, 6, 1}), ERR_NONE);
  EXPECT_EQ(Brush(6)->width, 26);
  ASSERT_NE(Brush(6)->alpha, nullptr);
  EXPECT_EQ(ReadBitmapPixel(Brush(6)->alpha, 0, 0, 1), 0u);
  ASSERT_EQ(CallWith("ConvertToBrush", {OBJTYPE_ICON, 1, 6, 2, 1}), ERR_NONE);
  EXPECT_EQ(Pixels(Brush(6)), opaqueRgb);

  // Layers: the image as the layer shows it, here turned a quarter.
  OpenFirst(Value::Table({{"width", 64}, {"height", 48}, {"layers", true}}));
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(CallWith("DisplayBrush", {1, 5, 5}), ERR_NONE);
  ASSERT_EQ(CallWith("ConvertToBrush", {OBJTYPE_LAYER, 1, 7}), ERR_NONE);
  EXPECT_EQ(Pixels(Brush(7)), opaqueRgb);
  ASSERT_EQ(CallWith("RotateLayer", {1, 90}), ERR_NONE);
  ASSERT_EQ(CallWith("ConvertToBrush", {OBJTYPE_LAYER, 1, 7}), ERR_NONE);
  EXPECT_EQ(Brush(7)->width, 30);
  EXPECT_EQ(Brush(7)->height, 40);

  struct Refusal {
    std::vector<Value> args;
    ErrorCode expected;
  };
  const Refusal refusals[] = {
      {{OBJTYPE_LAYER, 2, 8}, ERR_LAYERRANGE},
      {{OBJTYPE_ICON, 1, 8, 3}, ERR_ICONENTRY},
      {{OBJTYPE_ICON, 1, 8, 1, 1}, ERR_WRONGUSAGE},
      {{OBJTYPE_ICON, 4, 8, 1}, ERR_FINDICON},
  };
  for (const Refusal& r : refusals) EXPECT_EQ(CallWith("ConvertToBrush", r.args), r.expected);
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
  EXPECT_EQ(CallWith("ConvertToBrush", {OBJTYPE_LAYER, 1, 8}), ERR_NOLAYERS);
  EXPECT_EQ(Brush(8), nullptr);
  FreeAllIcons(L);
}

TEST_F(BrushCommandsTest, GrabDesktopChecksThePart) {
  EXPECT_EQ(CallWith("GrabDesktop", {1}), ERR_CLOSEDDISPLAY);
  OpenDisplay();
  EXPECT_EQ(CallWith("GrabDesktop", {1, Value::Table({{"x", 100000}})}), ERR_WRONGUSAGE);
  EXPECT_EQ(CallWith("GrabDesktop", {1, Value::Table({{"width", 0}})}), ERR_WRONGUSAGE);
  EXPECT_EQ(CallWith("GrabDesktop", {1, Value::Table({{"x", -1}})}), ERR_WRONGUSAGE);
}

// A vector brush is drawn again from its picture at each new size: twice
// as large it shows detail that a scaled copy cannot, and scaled back it
// is exactly the brush it was, however often its picture was drawn at
// other sizes meanwhile. The test image plug-in's vector format draws
// cells half a pixel wide.
TEST_F(BrushCommandsTest, VectorBrushScaledUpAndBack) {
  const std::string file = root + "/v.qmtv";
  plugintest::WriteBytes(file, {'Q', 'M', 'T', 'V', 0, 5, 0, 3});
  ASSERT_EQ(CallWith("LoadBrush", {1, file.c_str()}), ERR_NONE);
  ASSERT_EQ(Brush(1)->isVector, 1);
  ASSERT_EQ(Brush(1)->width, 5);
  const std::vector<uint32_t> original = Pixels(Brush(1));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(CallWith("ScaleBrush", {1, 10, 6}), ERR_NONE);
    ASSERT_EQ(Brush(1)->width, 10);
    ASSERT_EQ(Brush(1)->height, 6);
    EXPECT_EQ(Brush(1)->transformed, 1);
    // Neighbours that a doubled copy would make equal differ.
    const std::vector<uint32_t> large = Pixels(Brush(1));
    int same = 0;
    for (int y = 0; y < 6; y += 2)
      for (int x = 0; x < 10; x += 2) same += large[y * 10 + x] == large[y * 10 + x + 1];
    EXPECT_EQ(same, 0);
    ASSERT_EQ(CallWith("ScaleBrush", {1, 5, 3}), ERR_NONE);
    ASSERT_EQ(Brush(1)->width, 5);
    EXPECT_EQ(Pixels(Brush(1)), original);
  }
}

}  // namespace
