// Brush records and brush transforms: transforms of a small PNG compared
// with ImageMagick, deferred picture parts, the busy count and freeing,
// creation edge cases, the attribute reader and the commands' errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "draw/draw_private.h"
#include "plugins/hostapi.h"
#include "plugins/plugin_private.h"
#include "tests/support/harness.h"

namespace {

constexpr const char* CONVERT = "/usr/bin/convert";

// Runs the command and returns its standard output.
std::string Capture(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// A 5 x 3 PNG of distinct opaque colours, made once per test.
class BrushTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(CONVERT, X_OK) != 0) GTEST_SKIP() << "ImageMagick is not installed";
    char pattern[] = "/tmp/qm-brush-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    png = dir + "/fixture.png";
    std::string rgb;
    for (int i = 0; i < 15; ++i) {
      rgb += static_cast<char>(i * 17);
      rgb += static_cast<char>(255 - i * 13);
      rgb += static_cast<char>((i * 71) & 255);
    }
    FILE* pipe = popen((std::string(CONVERT) + " -size 5x3 -depth 8 rgb:- " + png).c_str(), "w");
    ASSERT_NE(pipe, nullptr);
    fwrite(rgb.data(), 1, rgb.size(), pipe);
    ASSERT_EQ(pclose(pipe), 0);
  }
  void TearDown() override {
    if (!dir.empty()) std::system(("rm -rf " + dir).c_str());
  }

  // The fixture as ImageMagick turns it: 0xRRGGBB pixels row by row.
  std::vector<uint32_t> Reference(const std::string& operation, int* width, int* height) {
    std::string size =
        Capture(std::string(CONVERT) + " " + png + " " + operation + " -format '%w %h' info:");
    std::sscanf(size.c_str(), "%d %d", width, height);
    std::string raw = Capture(std::string(CONVERT) + " " + png + " " + operation + " rgb:-");
    std::vector<uint32_t> pixels;
    for (size_t i = 0; i + 2 < raw.size(); i += 3)
      pixels.push_back(static_cast<uint8_t>(raw[i]) << 16 | static_cast<uint8_t>(raw[i + 1]) << 8 |
                       static_cast<uint8_t>(raw[i + 2]));
    return pixels;
  }

  // Brush `number` made from the fixture through a deferred picture part
  // covering the whole picture, realised as the first display does.
  BrushObject* LoadFixture(int32_t number) {
    PictureRequest request{};
    PictureResult result{};
    if (OpenPictureHandle(png.c_str(), nullptr, &request, &result) != ERR_NONE) return nullptr;
    ObjectId id{nullptr, number};
    BrushObject* brush = nullptr;
    ErrorCode e = AddDeferredBrush(&id, 0, result.handle, 0, 0, 5, 3, -1, 0, 0, &brush);
    ReleasePictureHandle(result.handle);
    if (e || RealizeDeferredBrushes(0, 0) != ERR_NONE) return nullptr;
    return brush;
  }

  std::string dir, png;
};

std::vector<uint32_t> PixelsOf(const BrushObject* b) {
  std::vector<uint32_t> out;
  for (int y = 0; y < b->height; ++y)
    for (int x = 0; x < b->width; ++x)
      out.push_back(ReadBitmapPixel(b->bitmap, x, y, 0) & 0xFFFFFF);
  return out;
}

TEST_F(BrushTest, TransformsMatchImageMagick) {
  PlayerHarness h;
  struct Case {
    const char* command;
    std::vector<double> arguments;  // after the brush id
    const char* reference;
  };
  const Case cases[] = {
      {"RotateBrush", {90}, "-rotate -90"},       {"RotateBrush", {180}, "-rotate 180"},
      {"TransformBrush", {-1, 0, 0, 1}, "-flop"}, {"TransformBrush", {1, 0, 0, -1}, "-flip"},
      {"ScaleBrush", {10, 6}, "-sample 200%"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " like " + c.reference);
    BrushObject* brush = LoadFixture(1);
    ASSERT_NE(brush, nullptr);
    VmPushNumber(h.L, 1);
    for (double a : c.arguments) VmPushNumber(h.L, a);
    ASSERT_EQ(h.Call(c.command, 1 + static_cast<int>(c.arguments.size())), ERR_NONE);
    VmSetTop(h.L, 0);
    int width = 0, height = 0;
    std::vector<uint32_t> expected = Reference(c.reference, &width, &height);
    ASSERT_EQ(brush->width, width);
    ASSERT_EQ(brush->height, height);
    EXPECT_EQ(PixelsOf(brush), expected);
    ASSERT_EQ(FreeBrushObject(h.L, ObjectId{nullptr, 1}, 1), ERR_NONE);
  }
}

TEST_F(BrushTest, DeferredPartBecomesItsOwnBrush) {
  PlayerHarness h;
  PictureRequest request{};
  PictureResult result{};
  ASSERT_EQ(OpenPictureHandle(png.c_str(), nullptr, &request, &result), ERR_NONE);
  ObjectId id{nullptr, 7};
  BrushObject* brush = nullptr;
  ASSERT_EQ(AddDeferredBrush(&id, 0, result.handle, 1, 1, 3, 2, -1, 0, 0, &brush), ERR_NONE);
  EXPECT_EQ(AddDeferredBrush(&id, 0, result.handle, 3, 1, 3, 2, -1, 0, 0, nullptr),
            ERR_COORDSRANGE);
  const std::vector<uint32_t> whole(GetPictureHandlePixels(result.handle),
                                    GetPictureHandlePixels(result.handle) + 15);
  ReleasePictureHandle(result.handle);
  EXPECT_EQ(brush->bitmap, nullptr);
  EXPECT_EQ(brush->width, 5);
  ASSERT_EQ(RealizeDeferredBrushes(0, 0), ERR_NONE);
  EXPECT_EQ(brush->width, 3);
  EXPECT_EQ(brush->height, 2);
  EXPECT_EQ(brush->rowLength, 3);
  EXPECT_EQ(brush->picture, nullptr);
  std::vector<uint32_t> part;
  for (int y = 1; y < 3; ++y)
    for (int x = 1; x < 4; ++x) part.push_back(whole[y * 5 + x] & 0xFFFFFF);
  EXPECT_EQ(PixelsOf(brush), part);
}

TEST(Brushes, BusyBrushFreedByScriptGoesAtItsRelease) {
  PlayerHarness h;
  ObjectId id{nullptr, 4};
  BrushObject* brush = nullptr;
  ASSERT_EQ(CreateBrushObject(&id, 0, 4, 4, 0xFF0000, 1, 0, 0, 0, 0, 0, nullptr, &brush), ERR_NONE);
  HoldBrush(brush);
  VmPushNumber(h.L, 1);
  VmPushNumber(h.L, 90);
  EXPECT_EQ(h.Call("RotateBrush", 2), ERR_FINDBRUSH);  // brush 1 does not exist
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 4);
  VmPushNumber(h.L, 90);
  EXPECT_EQ(h.Call("RotateBrush", 2), ERR_LOCKEDOBJ);
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 4);
  ASSERT_EQ(h.Call("FreeBrush", 1), ERR_NONE);
  VmSetTop(h.L, 0);
  BrushObject* found = nullptr;
  EXPECT_EQ(GetBrushObject(h.L, id, &found, 0), ERR_FINDBRUSH);
  EXPECT_EQ(CountObjectList(drawContext.brushList), 1);
  ReleaseBrush(brush);
  EXPECT_EQ(drawContext.brushList, nullptr);
}

TEST(Brushes, CreationCases) {
  PlayerHarness h;
  ObjectId id{nullptr, 0};
  BrushObject* b = nullptr;
  // A made mask is all visible, or all clear with clear; its key is the
  // mask key.
  ASSERT_EQ(CreateBrushObject(&id, 1, 9, 2, 0x123456, 1, 1, 0, 0, 0, 0, nullptr, &b), ERR_NONE);
  EXPECT_EQ(b->keyColour, BRUSH_MASK_KEY);
  EXPECT_EQ(ReadBitmapPixel(b->mask, 8, 1, 1), 1u);
  EXPECT_EQ(ReadBitmapPixel(b->bitmap, 3, 1, 0) & 0xFFFFFF, 0x123456u);
  ASSERT_EQ(CreateBrushObject(&id, 1, 9, 2, 0, 1, 0, 1, 0, 0, 0, nullptr, &b), ERR_NONE);
  EXPECT_EQ(ReadBitmapPixel(b->mask, 8, 1, 1), 0u);

  // Caller's pixels: a row length below the width is refused; bit 1 makes
  // the mask from the key colour.
  const uint32_t pixels[6] = {0xFF00FF00, 0xFFFF0000, 0, 0xFF00FF00, 0xFF00FF00, 0};
  BrushPixels shortRows{pixels, 1, 0, 0};
  EXPECT_EQ(CreateBrushFromPixels(h.L, &id, 1, 2, 2, &shortRows, &b), ERR_WRONGUSAGE);
  BrushPixels keyed{pixels, 3, 0x00FF00, 2};
  ASSERT_EQ(CreateBrushFromPixels(h.L, &id, 1, 2, 2, &keyed, &b), ERR_NONE);
  ASSERT_NE(b->mask, nullptr);
  EXPECT_EQ(ReadBitmapPixel(b->mask, 0, 0, 1), 0u);
  EXPECT_EQ(ReadBitmapPixel(b->mask, 1, 0, 1), 1u);
  EXPECT_EQ(ReadBitmapPixel(b->bitmap, 1, 0, 0) & 0xFFFFFF, 0xFF0000u);
}

TEST(Brushes, TransformCommandErrorsAndLimits) {
  PlayerHarness h;
  ObjectId id{nullptr, 2};
  BrushObject* b = nullptr;
  ASSERT_EQ(CreateBrushObject(&id, 0, 5, 3, 0xFFFFFF, 0, 0, 0, 0, 0, 0, nullptr, &b), ERR_NONE);
  struct Case {
    const char* command;
    std::vector<double> arguments;
    const char* text;  // a size argument given as text
    ErrorCode expected;
    int width, height;
  };
  const Case cases[] = {
      {"RotateBrush", {0, 0}, nullptr, ERR_WRONGUSAGE, 5, 3},
      {"TransformBrush", {0, 1, 1, 1}, nullptr, ERR_WRONGUSAGE, 5, 3},
      {"RotateBrush", {0}, nullptr, ERR_NONE, 5, 3},
      {"ScaleBrush", {0, 3}, nullptr, ERR_BADDIMENSIONS, 5, 3},
      {"ScaleBrush", {KEEPASPRAT, KEEPASPRAT}, nullptr, ERR_WRONGUSAGE, 5, 3},
      {"ScaleBrush", {3}, "10%", ERR_NONE, 1, 3},  // half a pixel gives 1
      {"ScaleBrush", {10, KEEPASPRAT}, nullptr, ERR_NONE, 10, 30},
      {"RotateBrush", {90, 0.1, 0.1}, nullptr, ERR_NONE, 3, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    VmPushNumber(h.L, 2);
    if (c.text) VmPushString(h.L, c.text);
    for (double a : c.arguments) VmPushNumber(h.L, a);
    EXPECT_EQ(h.Call(c.command, 1 + (c.text ? 1 : 0) + static_cast<int>(c.arguments.size())),
              c.expected);
    VmSetTop(h.L, 0);
    EXPECT_EQ(b->width, c.width);
    EXPECT_EQ(b->height, c.height);
  }
}

TEST(Brushes, AttributeReader) {
  PlayerHarness h;
  ObjectId id{nullptr, 3};
  BrushObject* b = nullptr;
  ASSERT_EQ(CreateBrushObject(&id, 0, 6, 2, 0, 1, 0, 0, 0, 0, 0, nullptr, &b), ERR_NONE);
  AttributeReader reader = FindAttributeReader(OBJTYPE_BRUSH);
  ASSERT_NE(reader, nullptr);
  struct Case {
    int32_t attribute;
    double expected;
  };
  const Case cases[] = {{ATTRWIDTH, 6},
                        {ATTRHEIGHT, 2},
                        {ATTRHASMASK, 1},
                        {ATTRHASALPHA, 0},
                        {ATTRHARDWARE, 0},
                        {ATTRCOUNT, 1},
                        {ATTRTRANSPARENTCOLOR, static_cast<double>(BRUSH_MASK_KEY)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attribute);
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, OBJTYPE_BRUSH);
    VmPushNumber(h.L, 3);
    VmPushNumber(h.L, c.attribute);
    ASSERT_EQ(reader(h.L, c.attribute), 1);
    EXPECT_EQ(VmToNumber(h.L, -1), c.expected);
    // The same through the script's attribute query.
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, OBJTYPE_BRUSH);
    VmPushNumber(h.L, 3);
    VmPushNumber(h.L, c.attribute);
    ASSERT_EQ(h.Call("GetAttribute", 3), ERR_NONE);
    EXPECT_EQ(VmToNumber(h.L, -1), c.expected);
  }
  struct Failure {
    int32_t brush, attribute;
    ErrorCode expected;
  };
  for (const Failure& f :
       {Failure{3, ATTRFONTNAME, ERR_UNKNOWNATTR}, Failure{9, ATTRWIDTH, ERR_FINDBRUSH}}) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, OBJTYPE_BRUSH);
    VmPushNumber(h.L, f.brush);
    VmPushNumber(h.L, f.attribute);
    EXPECT_EQ(h.Call("GetAttribute", 3), f.expected);
  }
}

}  // namespace

namespace {

// Plug-ins make and free brushes through the host API's graphics slots.
TEST(Brushes, HostApiSlots) {
  PlayerHarness h;
  const PluginHostApi* api = GetPluginHostApi();
  auto create = reinterpret_cast<QmCreateBrushFromPixelsFunc>(
      reinterpret_cast<void (*)()>(api->graphics->slot[QM_GFX_CREATEBRUSHFROMPIXELS]));
  auto freeBrush = reinterpret_cast<QmFreeBrushFunc>(
      reinterpret_cast<void (*)()>(api->graphics->slot[QM_GFX_FREEBRUSH]));
  const uint32_t pixels[4] = {0x80FF0000, 0xFF00FF00, 0x000000FF, 0xFFFFFFFF};
  QmBrushPixels alpha{pixels, 2, 0, 1};
  QmBrushPixels shortRows{pixels, 1, 0, 0};
  EXPECT_EQ(create(nullptr, 5, 2, 2, &shortRows), ERR_WRONGUSAGE);
  ASSERT_EQ(create(nullptr, 5, 2, 2, &alpha), ERR_NONE);
  BrushObject* b = nullptr;
  ASSERT_EQ(GetBrushObject(h.L, ObjectId{nullptr, 5}, &b, 0), ERR_NONE);
  ASSERT_NE(b->alpha, nullptr);
  EXPECT_EQ(ReadBitmapPixel(b->bitmap, 1, 1, 0) & 0xFFFFFF, 0xFFFFFFu);
  void* automatic = nullptr;
  ASSERT_EQ(create(&automatic, 0, 2, 2, &alpha), ERR_NONE);
  ASSERT_EQ(GetBrushObject(h.L, ObjectId{automatic, 0}, &b, 0), ERR_NONE);
  EXPECT_EQ(freeBrush(automatic, 0, 1), ERR_NONE);
  EXPECT_EQ(freeBrush(nullptr, 5, 1), ERR_NONE);
  EXPECT_EQ(freeBrush(nullptr, 5, 1), ERR_FINDBRUSH);
  EXPECT_EQ(freeBrush(nullptr, 5, 0), ERR_NONE);
}

}  // namespace
