// Moving objects on a display of the test display adapter: the paths and
// end effects of a move stepped frame by frame as the transition effects
// step it, and the moveobject commands on brushes, layers and sprites.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "display/layer_private.h"
#include "gfx/context_private.h"
#include "tests/gfx/display_fixture.h"
#include "text/text.h"

namespace {

constexpr uint32_t RED = 0xFF0000;
using Path = std::vector<std::pair<int32_t, int32_t>>;

class MoveTest : public gfxtest::DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    for (ErrorCode (*open)(VmState*) :
         {OpenLayersLibrary, OpenMoveObjectLibrary, OpenSpriteLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
  }
  void TearDown() override {
    FreeAllAsyncDraws(L);
    FreeAllSprites(L);
    FreeBitmap(picture);
    DisplayTest::TearDown();
    FreeLayerSystem(L);
  }

  // A move of an 8 x 8 picture as the transition effects fill it, stepped
  // to its end: the positions after each step.
  Path Run(int32_t effect, int32_t speed, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    if (!picture) picture = AllocBitmap(8, 8, 0, nullptr);
    MoveState m{};
    m.state = L;
    m.type = MOVE_PICTURE;
    m.bitmap = picture;
    m.width = m.height = 8;
    m.speed = speed;
    m.effect = effect;
    m.startX = x1;
    m.startY = y1;
    m.endX = x2;
    m.endY = y2;
    m.ownedByAsync = 1;
    Path path;
    EXPECT_EQ(MoveObjectCore(&m), ERR_NONE);
    if (!m.drawFrame) return path;
    for (int i = 0; i < 2000; ++i) {
      int32_t done = 0;
      EXPECT_EQ(m.drawFrame(&m, &done), ERR_NONE);
      path.emplace_back(m.x, m.y);
      if (done) break;
    }
    m.release(&m);
    return path;
  }

  void TestCounts(int32_t* out) {
    auto counts = plugintest::ModuleSymbol<void (*)(int32_t*)>(root + "/Plugins/testdisplay.qmp",
                                                               "TestDisplayCounts");
    ASSERT_NE(counts, nullptr);
    counts(out);
  }

  void RedBrush(int id, int size) {
    ASSERT_EQ(CallWith("CreateBrush", {id, size, size, static_cast<double>(RED)}), ERR_NONE);
  }

  BitmapHandle* picture = nullptr;
};

// The turning points of a path along x.
std::vector<int32_t> Turns(const Path& path) {
  std::vector<int32_t> turns;
  for (size_t i = 1; i + 1 < path.size(); ++i) {
    int32_t a = path[i - 1].first, b = path[i].first, c = path[i + 1].first;
    if ((b > a && b > c) || (b < a && b < c)) turns.push_back(b);
  }
  return turns;
}

TEST_F(MoveTest, StraightMovesStepBySpeedAndStopAtTheEnd) {
  OpenDisplay(320, 240);
  Path fast = Run(MOVEFX_NONE, FASTSPEED, 0, 50, 100, 50);
  ASSERT_EQ(fast.size(), 7u);
  for (size_t i = 0; i + 1 < fast.size(); ++i) EXPECT_EQ(fast[i].first, 15 * (int32_t(i) + 1));
  EXPECT_EQ(fast.back(), std::make_pair(100, 50));
  // Towards smaller coordinates and along a diagonal the line is followed.
  Path back = Run(MOVEFX_NONE, 10, 100, 100, 20, 60);
  EXPECT_EQ(back.front(), std::make_pair(90, 95));
  EXPECT_EQ(back.back(), std::make_pair(20, 60));
  // Equal start and end: an owned move starts 10 pixels left and up.
  Path still = Run(MOVEFX_NONE, 5, 40, 40, 40, 40);
  ASSERT_FALSE(still.empty());
  EXPECT_EQ(still.back(), std::make_pair(40, 40));
}

TEST_F(MoveTest, EndEffectsBounceDampAndSlowDown) {
  OpenDisplay(320, 240);
  const int32_t E = 200;
  Path bounce = Run(MOVEFX_BOUNCE, 10, 0, 10, E, 10);
  EXPECT_EQ(Turns(bounce), (std::vector<int32_t>{E + 160, E - 80, E + 40, E - 20, E + 10}));
  EXPECT_EQ(bounce.back().first, E);

  Path damped = Run(MOVEFX_DAMPED, 8, 0, 10, 100, 10);
  EXPECT_EQ(Turns(damped), (std::vector<int32_t>{100 + 64}));
  EXPECT_EQ(damped.back().first, 100);

  // Within 6 speeds of the end each step is the last less the decrement
  // (speed / 10 rounded), never below 1.
  Path slow = Run(MOVEFX_SMOOTHOUT, 20, 0, 10, E, 10);
  int32_t previous = 0, step = 20;
  for (const auto& [x, y] : slow) {
    if (E - previous <= 120) step = std::max(1, step - 2);
    EXPECT_EQ(x, std::min(E, previous + step)) << "from " << previous;
    previous = x;
  }
  EXPECT_EQ(slow.back().first, E);
  ASSERT_GE(slow.size(), 2u);
  EXPECT_LT(slow[slow.size() - 2].first, E);  // it finishes on the frame that lands
}

// An asynchronous move finishes on the frame that lands on the end point;
// AsyncDrawFrame reports that on its next call, which removes the drawing.
TEST_F(MoveTest, AnAsyncMoveFinishesOnTheFrameThatLands) {
  OpenDisplay(160, 120);
  RedBrush(1, 10);
  struct Case {
    int32_t effect;
    std::vector<int32_t> xs;
  } cases[] = {{MOVEFX_NONE, {10, 20, 30, 40}}, {MOVEFX_SMOOTHOUT, {9, 17, 24, 30, 35, 39, 40}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.effect);
    ASSERT_EQ(
        CallWith("MoveBrush", {1, 0, 0, 40, 0, Value::Table({{"async", true}, {"fx", c.effect}})}),
        ERR_NONE);
    void* draw = gfxContext.asyncList;
    ASSERT_NE(draw, nullptr);
    for (size_t i = 0; i < c.xs.size(); ++i) {
      VmPushLightUserdata(L, draw);
      ASSERT_EQ(Call("AsyncDrawFrame", 1), ERR_NONE);
      EXPECT_EQ(results, std::vector<double>{0});
      EXPECT_EQ(At(c.xs[i], 5), RED) << "frame " << i + 1;
      EXPECT_EQ(At(c.xs[i] - 1, 5), gfxtest::BACKGROUND) << "frame " << i + 1;
      EXPECT_EQ(static_cast<AsyncDraw*>(draw)->finished, i + 1 == c.xs.size() ? 1 : 0);
    }
    VmPushLightUserdata(L, draw);
    ASSERT_EQ(Call("AsyncDrawFrame", 1), ERR_NONE);
    EXPECT_EQ(results, std::vector<double>{1});
    EXPECT_EQ(gfxContext.asyncList, nullptr);
  }
}

TEST_F(MoveTest, SineMoveFollowsItsTableAndLandsOnTheEnd) {
  OpenDisplay(320, 240);
  // 160 pixels at 8 a frame: 20 frames, phase step 2, starting phase 39.
  Path sine = Run(MOVEFX_SINE, 8, 0, 100, 160, 100);
  ASSERT_EQ(sine.size(), 21u);
  for (int32_t i = 0; i < 20; ++i) {
    const int32_t phase = (39 + 2 * (i + 1)) % 79;
    EXPECT_EQ(sine[i].first, 8 * (i + 1));
    EXPECT_EQ(sine[i].second, static_cast<int32_t>(100 + 50 * std::sin(0.08 * (phase + 1))));
  }
  EXPECT_EQ(sine[19].second, static_cast<int32_t>(100 + 50 * std::sin(0.08)));
  EXPECT_EQ(sine.back(), std::make_pair(160, 100));
  // Not horizontal: a straight move.
  Path down = Run(MOVEFX_SINE, 10, 50, 0, 50, 40);
  EXPECT_EQ(down.back(), std::make_pair(50, 40));
  for (const auto& p : down) EXPECT_EQ(p.first, 50);
}

TEST_F(MoveTest, SpeedsThatCannotMoveAreRefused) {
  OpenDisplay(320, 240);
  RedBrush(1, 10);
  EXPECT_EQ(CallWith("MoveBrush", {1, 0, 0, 50, 0, 0}), ERR_WRONGUSAGE);
  // A bounce run-on beyond what any picture holds is out of memory, not
  // an overflow.
  EXPECT_EQ(CallWith("MoveBrush", {1, 0, 0, 50, 0, 2000000000, MOVEFX_BOUNCE}), ERR_MEM);
  int32_t before[8] = {};
  int32_t after[8] = {};
  TestCounts(before);
  EXPECT_EQ(CallWith("MoveBrush", {1, 20, 20, 20, 20}), ERR_NONE);
  TestCounts(after);
  EXPECT_EQ(after[2], before[2]);  // equal start and end draw nothing
}

TEST_F(MoveTest, SynchronousBrushMoveLeavesNoTrail) {
  OpenDisplay(160, 120);
  RedBrush(1, 10);
  ASSERT_EQ(CallWith("MoveBrush", {1, 0, 0, 60, 30, FASTSPEED}), ERR_NONE);
  EXPECT_EQ(At(5, 5), gfxtest::BACKGROUND);
  EXPECT_EQ(At(30, 17), gfxtest::BACKGROUND);
  EXPECT_EQ(At(65, 35), RED);
  // The brush is not part of the display's picture.
  EXPECT_EQ(ReadBitmapPixel(d->windowBitmap, 65, 35, 0) & 0xFFFFFF, gfxtest::BACKGROUND);
}

TEST_F(MoveTest, BrushFreedWhileMovingGoesWhenTheMoveEnds) {
  OpenDisplay(160, 120);
  RedBrush(1, 10);
  ASSERT_EQ(CallWith("MoveBrush", {1, 0, 0, 40, 0, Value::Table({{"async", true}})}), ERR_NONE);
  auto* a = reinterpret_cast<AsyncDraw*>(gfxContext.asyncList);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(CallWith("FreeBrush", {1}), ERR_NONE);
  EXPECT_NE(drawContext.brushList, nullptr);  // held by the move
  for (int i = 0; i < 100 && !a->finished; ++i) ASSERT_EQ(StepAsyncDraw(L, a, 0), ERR_NONE);
  EXPECT_TRUE(a->finished);
  EXPECT_EQ(At(45, 5), RED);
  StepAsyncDraw(L, a, 1);
  EXPECT_EQ(drawContext.brushList, nullptr);
}

TEST_F(MoveTest, LayersMoveAndSpritesNeedLayersOff) {
  OpenDisplay(160, 120, true);
  RedBrush(1, 10);
  ASSERT_EQ(CallWith("DisplayBrush", {1, 0, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("MoveLayer", {1, 0, 0, 30, 20}), ERR_NONE);
  EXPECT_EQ(At(5, 5), gfxtest::BACKGROUND);
  EXPECT_EQ(At(35, 25), RED);
  // A brush shown by a layer moves as that layer.
  ASSERT_EQ(CallWith("MoveBrush", {1, 30, 20, 100, 20}), ERR_NONE);
  EXPECT_EQ(At(35, 25), gfxtest::BACKGROUND);
  EXPECT_EQ(At(105, 25), RED);
  ASSERT_EQ(CallWith("CreateSprite", {1, OBJTYPE_BRUSH, 1}), ERR_NONE);
  EXPECT_EQ(CallWith("MoveSprite", {1, 0, 0, 50, 0}), ERR_LAYERSOFF);
  EXPECT_EQ(CallWith("MoveLayer", {2, 0, 0, 50, 0}), ERR_LAYERRANGE);
}

// With a brush or an anim frame selected as the output, moving, sprite and
// layer commands refuse, naming what is selected: the selection record's
// object type tells the anim from the brush (its kind is the brush output
// in both cases).
TEST_F(MoveTest, SelectedOutputRefusesByTheSelectedObject) {
  OpenDisplay(160, 120);
  DisplayRecord* shown = GetCurrentDisplay();
  ASSERT_NE(shown, nullptr);
  BGPic selection{};
  selection.selectionKind = OBJECT_BRUSH;
  const int32_t savedKind = shown->outputKind;
  BGPic* const savedRecord = shown->deviceRecord;
  struct Restore {
    DisplayRecord* display;
    int32_t kind;
    BGPic* record;
    ~Restore() {
      display->outputKind = kind;
      display->deviceRecord = record;
    }
  } restore{shown, savedKind, savedRecord};
  shown->outputKind = OBJECT_BRUSH;
  shown->deviceRecord = &selection;
  struct Case {
    const char* command;
    std::vector<Value> args;
  };
  const Case cases[] = {
      {"MoveLayer", {1, 0, 0, 30, 20}},
      {"DisplaySprite", {1, 0, 0}},
      {"RemoveLayer", {1}},
  };
  for (auto [type, expected] : {std::pair<int32_t, ErrorCode>{OBJTYPE_ANIM, ERR_SELECTANIM},
                                {OBJECT_BRUSH, ERR_SELECTBRUSH}}) {
    selection.head.type = type;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.command) + " with type " + std::to_string(type));
      EXPECT_EQ(CallWith(c.command, c.args), expected);
    }
  }
}

TEST_F(MoveTest, ATextObjectMovesAsANewLayer) {
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenTextLibrary(L), ERR_NONE);
  VmSetTop(L, 0);
  OpenDisplay(160, 120, true);
  ASSERT_EQ(CallWith("CreateTextObject", {1, "Hi"}), ERR_NONE);
  // The text's pixels in the 16 x 8 box at x, y.
  auto textPixels = [&](int32_t x, int32_t y) {
    int n = 0;
    for (int32_t j = 0; j < 8; ++j)
      for (int32_t i = 0; i < 16; ++i) n += At(x + i, y + j) != gfxtest::BACKGROUND;
    return n;
  };
  ASSERT_EQ(CallWith("MoveTextObject", {1, 0, 0, 100, 60, FASTSPEED}), ERR_NONE);
  EXPECT_EQ(CountLayers(d->bgpic), 1);
  EXPECT_EQ(textPixels(0, 0), 0);
  EXPECT_GT(textPixels(100, 60), 10);
  // Now that a layer shows it, the next move takes that layer along.
  ASSERT_EQ(CallWith("MoveTextObject", {1, 100, 60, 20, 90, FASTSPEED}), ERR_NONE);
  EXPECT_EQ(CountLayers(d->bgpic), 1);
  EXPECT_EQ(textPixels(100, 60), 0);
  EXPECT_GT(textPixels(20, 90), 10);
}

}  // namespace
