// Drawing into a double-buffered display: every drawing command drawn
// into the back buffer shows in the window after Flip exactly as the same
// drawing shows without double buffering (and not before the flip), on the
// test display adapter and in a real X window.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "tests/display/display_fixture.h"
#include "tests/display/x11_window_fixture.h"
#include "tests/gfx/display_fixture.h"
#include "tests/media/image_support.h"
#include "tests/support/harness.h"
#include "text/text.h"

namespace {

using gfxtest::BACKGROUND;
constexpr int32_t W = 96, H = 64;
constexpr uint32_t RED = 0xFF0000, GREEN = 0x00FF00;

struct Step {
  const char* command;
  std::vector<Value> args;
};
using Steps = std::vector<Step>;

// A drawing: the style set first, then what draws.
struct Drawing {
  const char* name;
  Steps style, draw;
};

// The drawings of the table: each command of each drawing route.
std::vector<Drawing> Drawings() {
  const double red = RED, green = GREEN;
  const Steps fill = {{"SetFillStyle", {FILLCOLOR}}};
  auto form = [&](int32_t flags) {
    return Steps{{"SetFillStyle", {FILLCOLOR}}, {"SetFormStyle", {flags}}};
  };
  const Steps edged = {{"SetFillStyle", {FILLCOLOR}},
                       {"SetFormStyle", {FORM_SHADOW, static_cast<double>(0x0000FF), 3, 3}},
                       {"SetFormStyle", {FORM_EDGE, green, 2}}};
  return {
      {"plain box", fill, {{"Box", {10, 12, 30, 20, red}}}},
      {"rounded box", fill, {{"Box", {10, 12, 30, 20, red, 50}}}},
      {"outlined box", {{"SetFillStyle", {FILLNONE, 3}}}, {{"Box", {10, 12, 30, 20, red}}}},
      {"box with shadow and edge", edged, {{"Box", {10, 12, 30, 20, red}}}},
      {"translucent box", fill, {{"Box", {10, 12, 30, 20, static_cast<double>(0x80FF0000)}}}},
      {"anti-aliased box", form(FORM_ANTIALIAS), {{"Box", {10, 12, 30, 20, red, 40}}}},
      {"circle", fill, {{"Circle", {20, 8, 15, red}}}},
      {"anti-aliased circle", form(FORM_ANTIALIAS), {{"Circle", {20, 8, 15, red}}}},
      {"ellipse", fill, {{"Ellipse", {8, 8, 30, 12, red}}}},
      {"arc", fill, {{"Arc", {8, 8, 30, 20, 0, 120, red}}}},
      {"polygon", fill, {{"Polygon", {8, 8, Value::List({0, 0, 40, 5, 10, 30}), 3, red}}}},
      {"line", fill, {{"Line", {5, 5, 60, 40, red}}}},
      {"thick line", fill, {{"Line", {5, 5, 60, 40, red, 5}}}},
      {"plots", fill, {{"Plot", {3, 4, red}}, {"Plot", {70, 50, green}}}},
      {"text", fill, {{"SetFontColor", {red}}, {"TextOut", {12, 20, "Quill"}}}},
      {"printed text", fill, {{"SetFontColor", {red}}, {"Locate", {4, 30}}, {"Print", {"Hello"}}}},
      {"brush", fill, {{"DisplayBrush", {1, 30, 20}}}},
      {"brush part", fill, {{"DisplayBrushPart", {1, 2, 2, 40, 30, 8, 6}}}},
      {"scaled brush", fill, {{"DisplayBrush", {1, 30, 20, Value::Table({{"scalex", 1.5}})}}}},
      {"text object",
       fill,
       {{"SetFontColor", {red}},
        {"CreateTextObject", {1, "Obj"}},
        {"DisplayTextObject", {1, 50, 40}}}},
      {"path",
       fill,
       {{"StartPath", {1}}, {"AddCircleToPath", {1, 12, 12, 12}}, {"DrawPath", {1, 20, 10, red}}}},
      {"anti-aliased path",
       form(FORM_ANTIALIAS),
       {{"StartPath", {1}}, {"AddBoxToPath", {1, 0, 0, 25, 15}}, {"DrawPath", {1, 20, 10, red}}}},
  };
}

class DoubleBufferDrawTest : public gfxtest::DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    if (HasFatalFailure()) return;
    VmRegisterBaseFunctions(L);
    for (ErrorCode (*open)(VmState*) :
         {OpenDrawLibrary, OpenVectorGraphicsLibrary, OpenStringLibrary, OpenTextLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    OpenDisplay(W, H);
    if (HasFatalFailure()) return;
    ASSERT_EQ(CallWith("CreateBrush", {1, 20, 14, static_cast<double>(GREEN)}), ERR_NONE);
    // The background again, as a brush: a back buffer starts black.
    ASSERT_EQ(CallWith("CreateBrush", {2, W, H, static_cast<double>(BACKGROUND)}), ERR_NONE);
  }
  void TearDown() override {
    FreeAllPaths(L);
    FreeDrawTables(L);
    DisplayTest::TearDown();
  }
  void Run(const Steps& steps) {
    for (const Step& s : steps) ASSERT_EQ(CallWith(s.command, s.args), ERR_NONE) << s.command;
  }
  std::vector<uint32_t> Frame() {
    std::vector<uint32_t> out;
    for (int32_t y = 0; y < H; ++y)
      for (int32_t x = 0; x < W; ++x) out.push_back(At(x, y));
    return out;
  }
  static int32_t Differences(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    int32_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
    return n;
  }
};

TEST_F(DoubleBufferDrawTest, FlipShowsEveryDrawingAsDrawnWithoutBuffering) {
  const std::vector<uint32_t> empty = Frame();
  for (const Drawing& c : Drawings()) {
    SCOPED_TRACE(c.name);
    Run(c.style);
    Run(c.draw);
    const std::vector<uint32_t> direct = Frame();
    ASSERT_GT(Differences(direct, empty), 0);
    ASSERT_EQ(CallWith("Cls", {}), ERR_NONE);
    ASSERT_EQ(Frame(), empty);

    ASSERT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_NONE);
    ASSERT_EQ(CallWith("DisplayBrush", {2, 0, 0}), ERR_NONE);
    ASSERT_EQ(CallWith("Flip", {0}), ERR_NONE);
    Run(c.draw);
    EXPECT_EQ(Frame(), empty);  // nothing before the flip
    ASSERT_EQ(CallWith("Flip", {0}), ERR_NONE);
    EXPECT_EQ(Differences(Frame(), direct), 0);
    ASSERT_EQ(CallWith("EndDoubleBuffer", {}), ERR_NONE);
    ASSERT_EQ(CallWith("Cls", {}), ERR_NONE);
    ASSERT_EQ(CallWith("SetFormStyle", {FORM_NORMAL}), ERR_NONE);
  }
}

// Cls in a double-buffered frame clears the back buffer with the colour,
// which shows whole at the flip; a brush selected and let go before the
// frame keeps its transparency.
TEST_F(DoubleBufferDrawTest, ClsClearsTheBackBufferAlone) {
  VmPushNumber(L, 3);
  VmPushNumber(L, 8);
  VmPushNumber(L, 8);
  VmPushNumber(L, RED);
  PushValue(L, Value::Table({{"alphachannel", true}, {"clear", true}}));
  ASSERT_EQ(Call("CreateBrush", 5), ERR_NONE);
  ASSERT_EQ(CallWith("SelectBrush", {3}), ERR_NONE);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  const std::vector<uint32_t> empty = Frame();

  ASSERT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_NONE);
  ASSERT_EQ(CallWith("Cls", {static_cast<double>(GREEN)}), ERR_NONE);
  EXPECT_EQ(Frame(), empty);
  ASSERT_EQ(CallWith("Flip", {0}), ERR_NONE);
  EXPECT_EQ(Frame(), std::vector<uint32_t>(W * H, GREEN));
  ASSERT_EQ(CallWith("EndDoubleBuffer", {}), ERR_NONE);

  BrushObject* b = nullptr;
  ASSERT_EQ(GetBrushObject(L, ObjectId{nullptr, 3}, &b, 0), ERR_NONE);
  ASSERT_NE(b->alpha, nullptr);
  BitmapLock lock{};
  ASSERT_NE(LockBitmap(b->alpha, 1, &lock), 0u);
  EXPECT_EQ(lock.address[0], 0);
  UnlockBitmap(&lock);
}

// The same in a real X window (a private Xvfb without window manager),
// read back with xwd: the drawings of the fast routes.
class DoubleBufferX11Test : public X11WindowTest {
 protected:
  void SetUp() override {
    Open({OpenDisplayLibrary, OpenBrushLibrary, OpenBGPicLibrary, OpenDrawLibrary,
          OpenVectorGraphicsLibrary});
  }
  void FreeObjects() override {
    FreeAllPaths(h.L);
    FreeDrawTables(h.L);
    FreeAllBrushes(h.L);
  }
  ErrorCode Run(const char* name, const std::vector<Value>& args) {
    VmSetTop(h.L, 0);
    for (const Value& a : args) PushValue(h.L, a);
    ErrorCode e = h.Call(name, static_cast<int>(args.size()));
    VmSetTop(h.L, 0);
    return e;
  }
  void Run(const Steps& steps) {
    for (const Step& s : steps) ASSERT_EQ(Run(s.command, s.args), ERR_NONE) << s.command;
  }
};

TEST_F(DoubleBufferX11Test, FlipShowsTheDrawingsInTheWindow) {
  VmPushNumber(h.L, 1);
  PushOptions(h.L, {{"width", W}, {"height", H}, {"color", BACKGROUND}});
  ASSERT_EQ(h.Call("CreateDisplay", 2), ERR_NONE);
  VmSetTop(h.L, 0);
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  ASSERT_EQ(Run("CreateBrush", {2, W, H, static_cast<double>(BACKGROUND)}), ERR_NONE);
  const std::vector<uint32_t> empty = Window();
  ASSERT_EQ(empty.size(), static_cast<size_t>(W * H));
  for (const Drawing& c : Drawings()) {
    const std::string name = c.name;
    if (name != "plain box" && name != "box with shadow and edge" && name != "path") continue;
    SCOPED_TRACE(name);
    Run(c.style);
    Run(c.draw);
    const std::vector<uint32_t> direct = Window();
    ASSERT_NE(direct, empty);
    ASSERT_EQ(Run("Cls", {}), ERR_NONE);
    ASSERT_EQ(Run("BeginDoubleBuffer", {}), ERR_NONE);
    ASSERT_EQ(Run("DisplayBrush", {2, 0, 0}), ERR_NONE);
    ASSERT_EQ(Run("Flip", {0}), ERR_NONE);
    Run(c.draw);
    EXPECT_EQ(Window(), empty);
    ASSERT_EQ(Run("Flip", {0}), ERR_NONE);
    EXPECT_EQ(Window(), direct);
    ASSERT_EQ(Run("EndDoubleBuffer", {}), ERR_NONE);
    ASSERT_EQ(Run("Cls", {}), ERR_NONE);
    ASSERT_EQ(Run("SetFormStyle", {FORM_NORMAL}), ERR_NONE);
  }
}

}  // namespace
