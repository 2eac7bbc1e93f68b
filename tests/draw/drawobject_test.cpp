// Drawing brushes on a display of the test display adapter and the brush
// making commands: pixels read back from the adapter's framebuffer are
// compared with what ImageMagick makes of the same picture files.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
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

constexpr uint32_t BACKGROUND = 0x336699;
constexpr int32_t W = 160, H = 120;

class DrawObjectTest : public adaptertest::AdapterTest {
 protected:
  DrawObjectTest() : AdapterTest({OpenDisplayLibrary, OpenBrushLibrary, OpenBGPicLibrary}) {}
  void SetUp() override {
    AdapterTest::SetUp();
    if (HasFatalFailure()) return;
    // An opaque picture whose pixels all differ, and an RGBA one whose
    // alpha ramp sits inside a fully transparent border.
    opaque = root + "/f.png";
    imagetest::MakeDistinctPng(opaque);
    rgba = root + "/a.png";
    imagetest::MakeAlphaRampPng(rgba);
    opaqueRgb = Words(Shell("convert '" + opaque + "' -depth 8 rgb:-"), 3);
    ASSERT_EQ(opaqueRgb.size(), 40u * 30u);
  }

  void OpenDisplay() {
    OpenFirst(
        Value::Table({{"color", static_cast<double>(BACKGROUND)}, {"width", W}, {"height", H}}));
  }

  ErrorCode Call(const char* name, int nargs) {
    resultType = VM_TYPE_NONE;
    return testcall::CallCollecting(L, name, nargs, [](VmState* L, int i) {
      if (resultType == VM_TYPE_NONE) resultType = VmType(L, i);
    });
  }
  ErrorCode CallWith(const char* name, std::vector<Value> args) {
    for (const Value& a : args) PushValue(L, a);
    return Call(name, static_cast<int>(args.size()));
  }
  static inline int resultType = VM_TYPE_NONE;

  // The framebuffer rectangle, 0xRRGGBB row by row.
  std::vector<uint32_t> Rect(int32_t x0, int32_t y0, int32_t w, int32_t h) {
    std::vector<uint32_t> out;
    for (int32_t y = y0; y < y0 + h; ++y)
      for (int32_t x = x0; x < x0 + w; ++x) out.push_back(At(x, y));
    return out;
  }
  // The box of pixels that differ from the background.
  void Drawn(int32_t* x0, int32_t* y0, int32_t* x1, int32_t* y1) {
    *x0 = *y0 = 1 << 30;
    *x1 = *y1 = -1;
    for (int32_t y = 0; y < H; ++y)
      for (int32_t x = 0; x < W; ++x)
        if (At(x, y) != BACKGROUND) {
          *x0 = std::min(*x0, x);
          *y0 = std::min(*y0, y);
          *x1 = std::max(*x1, x);
          *y1 = std::max(*y1, y);
        }
  }
  // Paints the display with its colour again.
  void Clear() {
    ASSERT_EQ(CallWith("CreateBrush", {99, W, H, static_cast<double>(BACKGROUND)}), ERR_NONE);
    ASSERT_EQ(CallWith("DisplayBrush", {99, 0, 0}), ERR_NONE);
  }
  BrushObject* Brush(int32_t n) {
    BrushObject* b = nullptr;
    return GetBrushObject(L, ObjectId{nullptr, n}, &b, BRUSH_HARDWARE) == ERR_NONE ? b : nullptr;
  }

  std::string opaque, rgba;
  std::vector<uint32_t> opaqueRgb;
};

TEST_F(DrawObjectTest, LoadedBrushesShowTheirPixels) {
  OpenDisplay();
  ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {1, 10, 20}), ERR_NONE);
  EXPECT_EQ(Rect(10, 20, 40, 30), opaqueRgb);

  // The RGBA brush over the display's colour, as ImageMagick composes it.
  ASSERT_EQ(CallWith("LoadBrush", {2, rgba.c_str(), Value::Table({{"loadalpha", true}})}),
            ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {2, 60, 70}), ERR_NONE);
  std::vector<uint32_t> want =
      Words(Shell("convert -size 26x16 xc:'#336699' '" + rgba + "' -composite -depth 8 rgb:-"), 3);
  std::vector<uint32_t> got = Rect(60, 70, 26, 16);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i)
    for (int shift : {0, 8, 16}) {
      int a = (got[i] >> shift) & 0xFF, b = (want[i] >> shift) & 0xFF;
      EXPECT_LE(std::abs(a - b), 1) << i;
    }
}

TEST_F(DrawObjectTest, DeclaredBrushIsRealisedWhenTheDisplayOpens) {
  TagItem defer[] = {{ATTR_DEFERBITMAPS, 1}, {ATTR_DONE, 0}};
  SetGlobalAttrs(L, defer);
  ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
  ASSERT_NE(Brush(1), nullptr);
  EXPECT_EQ(Brush(1)->bitmap, nullptr);
  defer[0].data = 0;
  SetGlobalAttrs(L, defer);
  OpenDisplay();
  ASSERT_NE(Brush(1)->bitmap, nullptr);
  ASSERT_EQ(CallWith("DisplayBrush", {1, 10, 20}), ERR_NONE);
  EXPECT_EQ(Rect(10, 20, 40, 30), opaqueRgb);
}

// While preloading, "cache" keeps the decoded picture under a name and
// "cachedload" takes it from there instead of the file; a load that wants
// alpha needs an entry made with alpha. After the preload both are ignored.
TEST_F(DrawObjectTest, PreloadSharesPicturesThroughTheCache) {
  TagItem defer[] = {{ATTR_DEFERBITMAPS, 1}, {ATTR_DONE, 0}};
  SetGlobalAttrs(L, defer);
  const std::string gone = root + "/gone.png";
  ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str(), Value::Table({{"cache", "Key"}})}), ERR_NONE);
  ASSERT_EQ(CallWith("LoadBrush",
                     {2, rgba.c_str(), Value::Table({{"cache", "rgba"}, {"cachealpha", true}})}),
            ERR_NONE);
  EXPECT_EQ(Brush(2)->pictureAlpha, 0);
  struct Case {
    const char* name;
    std::vector<Value> args;
    ErrorCode want;
  };
  const Case cases[] = {
      {"name in another case", {3, gone.c_str(), Value::Table({{"cachedload", "KEY"}})}, ERR_NONE},
      {"global alpha on a copy",
       {4, gone.c_str(),
        Value::Table({{"cachedload", "rgba"}, {"loadalpha", true}, {"globalalpha", 128}})},
       ERR_NONE},
      {"alpha from an entry without",
       {5, gone.c_str(), Value::Table({{"cachedload", "key"}, {"loadalpha", true}})},
       ERR_CACHEERROR},
      {"alpha from an entry with",
       {6, gone.c_str(), Value::Table({{"cachedload", "rgba"}, {"loadalpha", true}})},
       ERR_NONE},
      {"unknown name", {7, gone.c_str(), Value::Table({{"cachedload", "none"}})}, ERR_CACHEERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CallWith("LoadBrush", c.args), c.want);
  }
  EXPECT_EQ(Brush(6)->pictureAlpha, 1);
  defer[0].data = 0;
  SetGlobalAttrs(L, defer);
  EXPECT_NE(CallWith("LoadBrush", {8, gone.c_str(), Value::Table({{"cachedload", "key"}})}),
            ERR_NONE);
  OpenDisplay();
  for (int32_t id : {1, 3}) {
    Clear();
    ASSERT_EQ(CallWith("DisplayBrush", {id, 10, 20}), ERR_NONE);
    EXPECT_EQ(Rect(10, 20, 40, 30), opaqueRgb) << id;
  }
  Clear();
  ASSERT_EQ(CallWith("DisplayBrush", {6, 0, 0}), ERR_NONE);
  std::vector<uint32_t> want =
      Words(Shell("convert -size 26x16 xc:'#336699' '" + rgba + "' -composite -depth 8 rgb:-"), 3);
  std::vector<uint32_t> got = Rect(0, 0, 26, 16);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i)
    for (int shift : {0, 8, 16}) {
      int a = (got[i] >> shift) & 0xFF, b = (want[i] >> shift) & 0xFF;
      EXPECT_LE(std::abs(a - b), 1) << i;
    }
  FreeAllBrushes(L);
  FreePictureCache();
}

TEST_F(DrawObjectTest, PositionsAndParts) {
  OpenDisplay();
  ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
  struct Case {
    const char* name;
    std::vector<Value> args;
    int32_t x0, y0, x1, y1;  // the drawn box
  };
  const Case cases[] = {
      {"anchor", {1, 100, 50, Value::Table({{"anchorx", 0.5}})}, 80, 50, 119, 79},
      {"centred whatever the anchor",
       {1, POS_CENTER, POS_CENTER, Value::Table({{"anchorx", 1.0}, {"anchory", 0.5}})},
       60,
       45,
       99,
       74},
      {"part past the edge", {1, 30, 20, 5, 6, 50, 50}, 5, 6, 14, 15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clear();
    ASSERT_EQ(CallWith(c.args.size() > 4 ? "DisplayBrushPart" : "DisplayBrush", c.args), ERR_NONE);
    int32_t x0, y0, x1, y1;
    Drawn(&x0, &y0, &x1, &y1);
    EXPECT_EQ(x0, c.x0);
    EXPECT_EQ(y0, c.y0);
    EXPECT_EQ(x1, c.x1);
    EXPECT_EQ(y1, c.y1);
  }
  // The inside of the part is the brush's own rectangle.
  Clear();
  ASSERT_EQ(CallWith("DisplayBrushPart", {1, 30, 20, 5, 6, 50, 50}), ERR_NONE);
  EXPECT_EQ(At(5, 6), opaqueRgb[20 * 40 + 30]);
  EXPECT_EQ(At(14, 15), opaqueRgb[29 * 40 + 39]);

  struct Refusal {
    std::vector<Value> args;
    ErrorCode expected;
  };
  const Refusal refusals[] = {
      {{1, 40, 0, 0, 0, 5, 5}, ERR_COORDSRANGE}, {{1, 0, 30, 0, 0, 5, 5}, ERR_COORDSRANGE},
      {{1, -1, 0, 0, 0, 5, 5}, ERR_NEGCOORDS},   {{1, 0, 0, 0, 0, 0, 5}, ERR_BADDIMENSIONS},
      {{1, 0, 0, 0, 0, 5}, ERR_MISSINGPARAMTR},
  };
  for (const Refusal& r : refusals) EXPECT_EQ(CallWith("DisplayBrushPart", r.args), r.expected);
}

TEST_F(DrawObjectTest, PictureParts) {
  OpenDisplay();
  ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("BrushToBGPic", {1, 5}), ERR_NONE);
  Clear();
  DrawRequest r{};
  r.layer = -1;
  r.type = DRAW_BGPICPART;
  r.id = ObjectId{nullptr, 5};
  r.sx = 30;
  r.sy = 20;
  r.x = 5;
  r.y = 6;
  r.width = r.height = 50;  // cut at the picture's edge
  ASSERT_EQ(DrawObject(L, &r), ERR_NONE);
  int32_t x0, y0, x1, y1;
  Drawn(&x0, &y0, &x1, &y1);
  EXPECT_EQ(x0, 5);
  EXPECT_EQ(y0, 6);
  EXPECT_EQ(x1, 14);
  EXPECT_EQ(y1, 15);
  EXPECT_EQ(At(5, 6), opaqueRgb[20 * 40 + 30]);
  EXPECT_EQ(At(14, 15), opaqueRgb[29 * 40 + 39]);
  r.id = ObjectId{nullptr, 6};
  EXPECT_EQ(DrawObject(L, &r), ERR_FINDBGPIC);
  r.id = ObjectId{nullptr, 5};
  r.sx = 40;
  EXPECT_EQ(DrawObject(L, &r), ERR_COORDSRANGE);
}

TEST_F(DrawObjectTest, TransparencyRotationAndFilters) {
  OpenDisplay();
  ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {1, 0, 0, Value::Table({{"transparency", 255}})}), ERR_NONE);
  int32_t x0, y0, x1, y1;
  Drawn(&x0, &y0, &x1, &y1);
  EXPECT_EQ(x1, -1);

  ASSERT_EQ(CallWith("DisplayBrush", {1, 0, 0, Value::Table({{"transparency", 128}})}), ERR_NONE);
  std::vector<uint32_t> got = Rect(0, 0, 40, 30);
  for (size_t i = 0; i < got.size(); ++i)
    for (int shift : {0, 8, 16}) {
      int s = (opaqueRgb[i] >> shift) & 0xFF, dst = (BACKGROUND >> shift) & 0xFF;
      int want = (127 * s + 128 * dst) / 255;
      EXPECT_LE(std::abs(static_cast<int>((got[i] >> shift) & 0xFF) - want), 1) << i;
    }

  Clear();
  ASSERT_EQ(CallWith("DisplayBrush", {1, 50, 40, Value::Table({{"rotate", 90}})}), ERR_NONE);
  Drawn(&x0, &y0, &x1, &y1);
  ASSERT_EQ(x1 - x0 + 1, 30);
  ASSERT_EQ(y1 - y0 + 1, 40);
  EXPECT_EQ(Rect(x0, y0, 30, 40),
            Words(Shell("convert '" + opaque + "' -rotate -90 -depth 8 rgb:-"), 3));

  Clear();
  Value invert = Value::Table({{"filters", Value::List({Value::Table({{"name", "invert"}})})}});
  ASSERT_EQ(CallWith("DisplayBrush", {1, 10, 20, invert}), ERR_NONE);
  EXPECT_EQ(Rect(10, 20, 40, 30),
            Words(Shell("convert '" + opaque + "' -negate -depth 8 rgb:-"), 3));
  ASSERT_EQ(CallWith("DisplayBrush", {1, 10, 20}), ERR_NONE);
  EXPECT_EQ(Rect(10, 20, 40, 30), opaqueRgb);
}

TEST_F(DrawObjectTest, SelectedBrushAndDoubleBuffer) {
  OpenDisplay();
  ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
  ASSERT_EQ(CallWith("SelectBrush", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {1, 10, 20}), ERR_NONE);
  EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  EXPECT_EQ(Rect(10, 20, 40, 30), opaqueRgb);

  Clear();
  ASSERT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {1, 10, 20}), ERR_NONE);
  int32_t x0, y0, x1, y1;
  Drawn(&x0, &y0, &x1, &y1);
  EXPECT_EQ(x1, -1);
  ASSERT_EQ(CallWith("Flip", {}), ERR_NONE);
  EXPECT_EQ(Rect(10, 20, 40, 30), opaqueRgb);
  ASSERT_EQ(CallWith("EndDoubleBuffer", {}), ERR_NONE);
}

TEST_F(DrawObjectTest, MakingBrushes) {
  OpenDisplay();
  struct Case {
    const char* command;
    std::vector<Value> args;
    ErrorCode expected;
  };
  const Case cases[] = {
      {"CreateBrush", {1, 0, 5}, ERR_BADDIMENSIONS},
      {"CreateBrush",
       {1, 5, 5, 0, Value::Table({{"mask", true}, {"alphachannel", true}})},
       ERR_WRONGUSAGE},
      {"CreateBrush", {1, 5, 5, 0xFF0000}, ERR_NONE},
      {"CopyBrush", {1, 1}, ERR_WRONGUSAGE},
      {"CopyBrush", {9, 2}, ERR_FINDBRUSH},
      {"LoadBrush",
       {3, opaque.c_str(), Value::Table({{"loadalpha", true}, {"transparency", 0}})},
       ERR_MASKNALPHA},
      {"LoadBrush",
       {3, opaque.c_str(), Value::Table({{"loadtransparency", true}, {"transparency", 0}})},
       ERR_WRONGUSAGE},
      {"LoadBrush", {3, opaque.c_str(), Value::Table({{"x", 40}})}, ERR_COORDSRANGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(CallWith(c.command, c.args), c.expected);
  }
  EXPECT_EQ(Brush(3), nullptr);

  // CopyBrush with Nil returns the new id.
  PushValue(L, 1);
  VmPushNil(L);
  ASSERT_EQ(Call("CopyBrush", 2), ERR_NONE);
  EXPECT_EQ(resultType, VM_TYPE_LIGHTUSERDATA);

  // A part is cut to the picture; "globalalpha" makes every alpha byte its level.
  ASSERT_EQ(CallWith("LoadBrush",
                     {3, opaque.c_str(),
                      Value::Table({{"x", 30}, {"y", 25}, {"width", 50}, {"globalalpha", 128}})}),
            ERR_NONE);
  BrushObject* b = Brush(3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->width, 10);
  EXPECT_EQ(b->height, 5);
  ASSERT_NE(b->alpha, nullptr);
  BitmapLock lock{};
  ASSERT_NE(LockBitmap(b->alpha, 1, &lock), 0u);
  int off = 0;
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 10; ++x) off += lock.address[y * lock.rowLength + x] != 128;
  UnlockBitmap(&lock);
  EXPECT_EQ(off, 0);
  EXPECT_EQ(ReadBitmapPixel(b->bitmap, 0, 0, 0) & 0xFFFFFF, opaqueRgb[25 * 40 + 30]);
}

// A turned brush lands at the box of its turned corner pixels (the
// rotation about the anchor of the pixels (0, 0), (w - 1, 0), (0, h - 1)
// and (w - 1, h - 1), the least coordinates truncated) and covers the size
// of its turned picture (the rectangle (0, 0)-(w, h) turned, its corners
// rounded), drawn straight onto the display and as a layer alike. At
// right angles that size is the box's own.
TEST_F(DrawObjectTest, TurnedBrushesCoverTheBoxOfTheirCornerPixels) {
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenLayersLibrary(L), ERR_NONE);
  VmSetTop(L, 0);
  OpenDisplay();
  constexpr int32_t BW = 21, BH = 12;
  ASSERT_EQ(CallWith("CreateBrush", {1, BW, BH, 0xFF0000}), ERR_NONE);
  // The cosine and sine of 360 degrees less the angle.
  struct Turn {
    int32_t angle;
    double cosine, sine;
  };
  const Turn turns[] = {
      {0, 1, 0}, {90, 0, -1}, {180, -1, 0}, {270, 0, 1}, {30, std::sqrt(3.0) / 2, -0.5}};
  const std::pair<int32_t, int32_t> places[] = {{40, 50}, {63, 31}, {95, 70}};
  for (const Turn& t : turns)
    for (auto [x, y] : places)
      for (double anchor : {0.0, 0.5}) {
        SCOPED_TRACE(testing::Message()
                     << t.angle << " degrees at " << x << "," << y << ", anchor " << anchor);
        const double m[4] = {t.cosine, t.sine, -t.sine, t.cosine};
        const double px = BW * anchor, py = BH * anchor;
        double minX = 1e9, maxX = -1e9, minY = 1e9, maxY = -1e9;
        for (auto [cx, cy] :
             {std::pair<int32_t, int32_t>{0, 0}, {BW - 1, 0}, {0, BH - 1}, {BW - 1, BH - 1}}) {
          double tx = m[0] * (cx - px) + m[2] * (cy - py) + px;
          double ty = m[1] * (cx - px) + m[3] * (cy - py) + py;
          minX = std::min(minX, tx);
          maxX = std::max(maxX, tx);
          minY = std::min(minY, ty);
          maxY = std::max(maxY, ty);
        }
        const int32_t left = x - static_cast<int32_t>(std::lround(px));
        const int32_t top = y - static_cast<int32_t>(std::lround(py));
        const int32_t bx = static_cast<int32_t>(minX + left), by = static_cast<int32_t>(minY + top);
        double lowX = 1e9, highX = -1e9, lowY = 1e9, highY = -1e9;
        for (auto [cx, cy] : {std::pair<int32_t, int32_t>{0, 0}, {BW, 0}, {0, BH}, {BW, BH}}) {
          double tx = std::floor(m[0] * cx + m[2] * cy + 0.5);
          double ty = std::floor(m[1] * cx + m[3] * cy + 0.5);
          lowX = std::min(lowX, tx);
          highX = std::max(highX, tx);
          lowY = std::min(lowY, ty);
          highY = std::max(highY, ty);
        }
        const auto width = static_cast<int32_t>(std::ceil(highX - lowX - 0.5));
        const auto height = static_cast<int32_t>(std::ceil(highY - lowY - 0.5));
        if (t.angle % 90 == 0) {
          EXPECT_EQ(width, static_cast<int32_t>(maxX - minX + 1));
          EXPECT_EQ(height, static_cast<int32_t>(maxY - minY + 1));
        }
        const std::array<int32_t, 4> box{bx, by, bx + width - 1, by + height - 1};
        const Value options =
            Value::Table({{"rotate", t.angle}, {"anchorx", anchor}, {"anchory", anchor}});
        for (bool layers : {false, true}) {
          SCOPED_TRACE(layers ? "as a layer" : "straight onto the display");
          Clear();
          if (layers) {
            ASSERT_EQ(CallWith("EnableLayers", {}), ERR_NONE);
          }
          ASSERT_EQ(CallWith("DisplayBrush", {1, x, y, options}), ERR_NONE);
          std::array<int32_t, 4> covered{};
          Drawn(&covered[0], &covered[1], &covered[2], &covered[3]);
          EXPECT_EQ(covered, box);
          if (layers) {
            ASSERT_EQ(CallWith("RemoveLayers", {}), ERR_NONE);
            ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
          }
        }
      }
}

// A brush in video memory is drawn only on its own display. No adapter
// here transforms or fades in hardware: a transform is made in software,
// while filters and transparency cannot be applied to it.
TEST_F(DrawObjectTest, VideoMemoryBrushes) {
  OpenDisplay();
  ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
  BrushObject* b = Brush(1);
  ASSERT_NE(b, nullptr);
  DisplayRecord other{};
  DisplayRecord* own = b->display;
  b->video = 1;
  b->display = d;
  d->outputVideo = 1;  // drawing goes to video memory
  struct Case {
    const char* name;
    Value options;
    ErrorCode expected;
  };
  const Value invert = Value::List({Value::Table({{"name", "invert"}})});
  const Case cases[] = {
      {"rotated", Value::Table({{"rotate", 90}}), ERR_NONE},
      {"filtered", Value::Table({{"filters", invert}}), ERR_HWBRUSHFUNC},
      {"rotated and filtered", Value::Table({{"rotate", 90}, {"filters", invert}}),
       ERR_HWBRUSHFUNC},
      {"transparent", Value::Table({{"transparency", 128}}), ERR_HWBRUSHFUNC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clear();
    EXPECT_EQ(CallWith("DisplayBrush", {1, 50, 40, c.options}), c.expected);
    int32_t x0, y0, x1, y1;
    Drawn(&x0, &y0, &x1, &y1);
    if (c.expected != ERR_NONE) {
      EXPECT_EQ(x1, -1);
      continue;
    }
    ASSERT_EQ(x1 - x0 + 1, 30);
    ASSERT_EQ(y1 - y0 + 1, 40);
    EXPECT_EQ(Rect(x0, y0, 30, 40),
              Words(Shell("convert '" + opaque + "' -rotate -90 -depth 8 rgb:-"), 3));
  }
  b->display = &other;
  EXPECT_EQ(CallWith("DisplayBrush", {1, 0, 0}), ERR_INCOMPATBRUSH);
  EXPECT_EQ(CallWith("DisplayBrushPart", {1, 0, 0, 0, 0, 5, 5}), ERR_INCOMPATBRUSH);
  b->display = own;
  b->video = 0;
  d->outputVideo = 0;
}

// The update path draws a layer's brush again through a transform into
// the layer's display state, at the place the layer's own rendering puts
// it; a new transform gives the new image, size and position.
TEST_F(DrawObjectTest, UpdatePathRendersALayerAgain) {
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenLayersLibrary(L), ERR_NONE);
  VmSetTop(L, 0);
  OpenFirst(Value::Table(
      {{"color", static_cast<double>(BACKGROUND)}, {"width", W}, {"height", H}, {"layers", true}}));
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(CallWith("LoadBrush", {1, opaque.c_str()}), ERR_NONE);
  ASSERT_EQ(
      CallWith("DisplayBrush",
               {1, 50, 40, Value::Table({{"rotate", 90}, {"anchorx", 0.5}, {"anchory", 0.5}})}),
      ERR_NONE);
  Node* first = d->bgpic->layers.head;
  ASSERT_TRUE(first && first->succ);
  qmLayer* layer = reinterpret_cast<qmLayer*>(first);
  LayerImageState* s = layer->display;
  auto image = [&] {
    std::vector<uint32_t> out;
    BitmapHandle* b = s->transformed.bitmap;
    if (!b) return out;
    int32_t w = static_cast<int32_t>(GetBitmapAttr(b, 0));
    int32_t h = static_cast<int32_t>(GetBitmapAttr(b, 14));
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) out.push_back(ReadBitmapPixel(b, x, y, 0) & 0xFFFFFF);
    return out;
  };
  using Geometry = std::array<int32_t, 4>;
  const Geometry rendered{s->x, s->y, s->width, s->height};
  const std::vector<uint32_t> turned = image();
  ASSERT_EQ(turned, Words(Shell("convert '" + opaque + "' -rotate -90 -depth 8 rgb:-"), 3));

  DrawRequest r{};
  r.type = OBJTYPE_BRUSH;
  r.id = layer->sourceId;
  r.flags = 16;
  r.updateLayer = layer;
  ASSERT_EQ(DrawObject(L, &r), ERR_NONE);  // the layer's own transform
  EXPECT_EQ((Geometry{s->x, s->y, s->width, s->height}), rendered);
  EXPECT_EQ(image(), turned);

  DisplayTransform doubled = layer->transform;
  doubled.m11 = doubled.m22 = 2;
  doubled.m12 = doubled.m21 = 0;
  r.transform = &doubled;
  ASSERT_EQ(DrawObject(L, &r), ERR_NONE);
  EXPECT_EQ((Geometry{s->x, s->y, s->width, s->height}), (Geometry{10, 10, 80, 60}));
  EXPECT_EQ(image(), Words(Shell("convert '" + opaque + "' -sample 200% -depth 8 rgb:-"), 3));

  r.updateLayer = nullptr;
  EXPECT_EQ(DrawObject(L, &r), ERR_WRONGUSAGE);
}

}  // namespace
