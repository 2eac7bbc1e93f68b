// The transitionfx commands on the test display: the final frames equal
// what the plain commands draw, the refusals, undo, ClearScreen, stepping
// through the async draw object, the restart on a resize and an object
// freed while its transition runs, and a layer made again while its async
// transition runs.
#include <algorithm>
#include <cmath>
#include <functional>

#include "tests/fx/fx_harness.h"
#include "text/text.h"

namespace fxtest {
namespace {

class CommandsTest : public FXHarness {
 protected:
  // Called from the adapter's frame wait, as an event handler would run
  // between frames.
  static void onFrameCall(void* data) {
    auto* self = static_cast<CommandsTest*>(data);
    self->frames.push_back(self->Snapshot());
    if (self->atFrame) self->atFrame(static_cast<int32_t>(self->frames.size()));
  }
  void Hook() { setHook(&CommandsTest::onFrameCall, this); }
  int32_t Layers() { return CountFXLayers(); }
  void Reopen() {
    FreeAllAsyncDraws(L);
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    FreeLayerSystem(L);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  // Layers off: puts a captured window back with a brush of its pixels.
  void PaintBack(const Frame& frame) {
    std::vector<uint32_t> pixels = frame;
    for (uint32_t& p : pixels) p |= 0xFF000000u;
    BrushPixels description{pixels.data(), W, 0, 0};
    ObjectId id{nullptr, 99};
    BrushObject* out = nullptr;
    ASSERT_EQ(CreateBrushFromPixels(L, &id, 0, W, H, &description, &out), ERR_NONE);
    ASSERT_EQ(Run("DisplayBrush", {99, 0, 0}), ERR_NONE);
    ASSERT_EQ(Run("FreeBrush", {99}), ERR_NONE);
  }
  std::function<void(int32_t)> atFrame;
};

TEST_F(CommandsTest, FinalFramesEqualThePlainCommands) {
  struct Case {
    const char* name;
    bool layers;
    Plane plane;
    bool realtime;
  } cases[] = {{"plain, layers off", false, Plane::None, false},
               {"mask, layers off", false, Plane::Mask, false},
               {"alpha, layers off", false, Plane::Alpha, false},
               {"plain, layers on", true, Plane::None, false},
               {"mask, layers on", true, Plane::Mask, false},
               {"alpha, layers on", true, Plane::Alpha, false},
               {"mask, layer mode", true, Plane::Mask, true},
               {"alpha, layer mode", true, Plane::Alpha, true}};
  for (const Case& c : cases) {
    for (int32_t effect : {32, 36}) {
      SCOPED_TRACE(testing::Message() << c.name << ", effect " << effect);
      OpenDisplay(40, 30, c.layers);
      MakeBrush(1, 20, 12, Fill::Coded, c.plane);
      Frame before = Snapshot();
      ASSERT_EQ(Run("DisplayBrush", {1, 7, 5}), ERR_NONE);
      Frame plain = Snapshot();
      ASSERT_NE(plain, before);
      if (c.layers) {
        ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
      } else {
        ASSERT_EQ(Run("DisplayBrush", {2, 0, 0}), ERR_FINDBRUSH);
        std::vector<uint32_t> pixels = before;
        for (uint32_t& p : pixels) p |= 0xFF000000u;
        BrushPixels description{pixels.data(), W, 0, 0};
        ObjectId id{nullptr, 2};
        BrushObject* out = nullptr;
        ASSERT_EQ(CreateBrushFromPixels(L, &id, 0, W, H, &description, &out), ERR_NONE);
        ASSERT_EQ(Run("DisplayBrush", {2, 0, 0}), ERR_NONE);
      }
      ASSERT_EQ(Snapshot(), before);
      if (c.realtime)
        ASSERT_EQ(Run("DisplayBrushFX",
                      {1, 7, 5, Value::Table({{"type", effect}, {"forcerealtimelayers", 1}})}),
                  ERR_NONE);
      else
        ASSERT_EQ(Run("DisplayBrushFX", {1, 7, 5, effect}), ERR_NONE);
      EXPECT_EQ(Snapshot(), plain);
      if (c.layers) {
        EXPECT_EQ(Layers(), 1);
      }
      if (c.plane == Plane::None) {
        EXPECT_TRUE(EachPixelOldOrNew(before, plain));
      }
      // Hiding the layer again gives back the stack without it.
      if (c.layers) {
        ASSERT_EQ(Run("HideLayerFX", {1, effect}), ERR_NONE);
        EXPECT_EQ(Snapshot(), before);
        ASSERT_EQ(Run("ShowLayerFX", {1, effect}), ERR_NONE);
        EXPECT_EQ(Snapshot(), plain);
        ASSERT_EQ(Run("RemoveLayerFX", {1, effect}), ERR_NONE);
        EXPECT_EQ(Snapshot(), before);
        EXPECT_EQ(Layers(), 0);
      }
      FreeAllBrushes(L);
      CloseDisplayLibrary(L);
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(OpenDisplayLibrary(L), ERR_NONE);
      VmSetTop(L, 0);
    }
  }
}

TEST_F(CommandsTest, TextObjectsEndAsDisplayTextObjectDrawsThem) {
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenTextLibrary(L), ERR_NONE);
  VmSetTop(L, 0);
  for (bool layers : {false, true}) {
    SCOPED_TRACE(layers ? "layers on" : "layers off");
    OpenDisplay(40, 30, layers);
    ASSERT_EQ(Run("CreateTextObject", {1, "Hi"}), ERR_NONE);
    Frame before = Snapshot();
    ASSERT_EQ(Run("DisplayTextObject", {1, 7, 5}), ERR_NONE);
    Frame plain = Snapshot();
    ASSERT_NE(plain, before);
    if (layers) {
      ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
    } else {
      std::vector<uint32_t> pixels = before;
      for (uint32_t& p : pixels) p |= 0xFF000000u;
      BrushPixels description{pixels.data(), W, 0, 0};
      ObjectId id{nullptr, 2};
      BrushObject* out = nullptr;
      ASSERT_EQ(CreateBrushFromPixels(L, &id, 0, W, H, &description, &out), ERR_NONE);
      ASSERT_EQ(Run("DisplayBrush", {2, 0, 0}), ERR_NONE);
    }
    ASSERT_EQ(Snapshot(), before);
    // The object is busy while its frames run: a handler cannot free it.
    Hook();
    ErrorCode freeDuringRun = ERR_NONE;
    atFrame = [&](int32_t frame) {
      if (frame != 2) return;
      VmPushNumber(L, 1);
      freeDuringRun = Call("FreeTextObject", 1);
    };
    ASSERT_EQ(Run("DisplayTextObjectFX", {1, 7, 5, 32}), ERR_NONE);
    atFrame = nullptr;
    EXPECT_GT(frames.size(), 2u);
    EXPECT_EQ(freeDuringRun, layers ? ERR_NONE : ERR_LOCKEDOBJ);
    EXPECT_EQ(Snapshot(), plain);
    EXPECT_TRUE(EachPixelOldOrNew(before, plain));
    EXPECT_EQ(Layers(), layers ? 1 : 0);
    // The run let go of the object.
    EXPECT_EQ(Run("FreeTextObject", {1}), layers ? ERR_FINDTEXTOBJECT : ERR_NONE);
    EXPECT_EQ(Run("DisplayTextObjectFX", {1, 7, 5, 32}), ERR_FINDTEXTOBJECT);
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
}

TEST_F(CommandsTest, RefusalsChangeNothing) {
  OpenDisplay(32, 24, true);
  MakeBrush(1, 8, 8, Fill::Solid);
  Frame before = Snapshot();
  struct Case {
    Value type;
  } effects[] = {{1000}, {-5}, {141}};
  for (const Case& c : effects) {
    EXPECT_EQ(Run("DisplayBrushFX", {1, 0, 0, Value::Table({{"type", c.type}})}), ERR_WRONGUSAGE);
    EXPECT_EQ(Layers(), 0);
  }
  EXPECT_EQ(Run("DisplayBrushFX", {1, 0, 0, -5}), ERR_WRONGUSAGE);
  EXPECT_EQ(Run("ShowLayerFX", {1, 32}), ERR_LAYERRANGE);
  EXPECT_EQ(Run("UndoFX", {3, 1}), ERR_FINDARRAY);
  EXPECT_EQ(Run("DisplayTransitionFX", {1, Value::Table({{"async", 1}})}), ERR_WRONGUSAGE);
  EXPECT_EQ(Snapshot(), before);
  MakeBrush(2, 4, 4, Fill::Solid);
  ASSERT_EQ(Run("SelectBrush", {2}), ERR_NONE);
  EXPECT_EQ(Run("DisplayBrushFX", {1, 0, 0, 32}), ERR_SELECTBRUSH);
  ASSERT_EQ(Run("EndSelect", {}), ERR_NONE);
  d->collectRefreshes = 1;
  d->outputKind = 0;
  EXPECT_EQ(Run("DisplayBrushFX", {2, 0, 0, 32}), ERR_BEGINREFRESH);
  d->collectRefreshes = 0;
  d->outputKind = OBJECT_DISPLAY;
}

TEST_F(CommandsTest, UndoNeedsLayersAndTakesTheLevelFromTheTop) {
  OpenDisplay(32, 24, false);
  MakeBrush(1, 8, 8, Fill::Solid, Plane::None, 0xFF0000);
  EXPECT_EQ(Run("UndoFX", {3, 1, 32}), ERR_NOLAYERS);
  FreeAllBrushes(L);
  CloseDisplayLibrary(L);
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenDisplayLibrary(L), ERR_NONE);
  VmSetTop(L, 0);
  OpenDisplay(32, 24, true);
  MakeBrush(1, 8, 8, Fill::Solid, Plane::None, 0xFF0000);
  MakeBrush(2, 8, 8, Fill::Solid, Plane::None, 0x00FF00);
  ASSERT_EQ(Run("DisplayBrush", {1, 0, 0}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBrush", {2, 4, 4}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBrush", {1, 16, 0}), ERR_NONE);
  ASSERT_EQ(Layers(), 3);
  qmLayer* second = GetFXLayerByIndex(1);
  ASSERT_EQ(Run("UndoFX", {3, 1, 32, -1, -1, 2}), ERR_NONE);
  ASSERT_EQ(Layers(), 2);
  EXPECT_NE(GetFXLayerByIndex(1), second);
  EXPECT_EQ(GetFXLayerByIndex(2)->display->x, 16);
  EXPECT_EQ(At(0, 0) & 0xFFFFFF, 0x203040u);
  EXPECT_EQ(At(16, 0) & 0xFFFFFF, 0xFF0000u);
}

TEST_F(CommandsTest, RandomAliasesAndPushOnABrush) {
  OpenDisplay(40, 30, false);
  MakeBrush(1, 30, 20, Fill::Coded);
  MakeBrush(9, 40, 30, Fill::Solid, Plane::None, 0x203040);
  auto framesOf = [&](Value effect, uint32_t seed) {
    SeedMathGenerators(seed);
    srand(seed);
    EXPECT_EQ(Run("DisplayBrushFX", {1, 0, 0, effect, 3}), ERR_NONE);
    std::vector<Frame> out = frames;
    EXPECT_EQ(Run("DisplayBrush", {9, 0, 0}), ERR_NONE);
    return out;
  };
  EXPECT_EQ(framesOf(113, 11), framesOf(140, 11));
  EXPECT_EQ(framesOf(78, 3), framesOf(0, 3));
}

TEST_F(CommandsTest, ClearScreenPaintsTheCurrentPicture) {
  OpenDisplay(30, 20, false);
  int32_t pictures = 0;
  for (BGPic* p = GetBGPicList(); p; p = reinterpret_cast<BGPic*>(p->head.next)) pictures++;
  ASSERT_EQ(Run("ClearScreen", {32, 0xFF0000}), ERR_NONE);
  for (int32_t y = 0; y < H; y++)
    for (int32_t x = 0; x < W; x++) ASSERT_EQ(At(x, y), 0xFF0000u) << x << "," << y;
  int32_t after = 0;
  for (BGPic* p = GetBGPicList(); p; p = reinterpret_cast<BGPic*>(p->head.next)) after++;
  EXPECT_EQ(after, pictures);
  EXPECT_EQ(d->bgpic->width, 30);
  EXPECT_EQ(d->bgpic->height, 20);
  EXPECT_FALSE(frames.empty());
}

TEST_F(CommandsTest, SteppingAndJumpsGiveTheSynchronousFrames) {
  OpenDisplay(24, 40, true);
  MakeBrush(1, 24, 40, Fill::Coded);
  ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, 32, 3}), ERR_NONE);
  std::vector<Frame> sync = frames;
  Frame final = Snapshot();
  ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
  Frame before = Snapshot();
  ASSERT_EQ(
      Run("DisplayBrushFX", {1, 0, 0, Value::Table({{"type", 32}, {"speed", 3}, {"async", 1}})}),
      ERR_NONE);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(Snapshot(), before);
  // A second transition of the same layer is refused.
  EXPECT_EQ(Run("ShowLayerFX", {1, Value::Table({{"type", 32}, {"async", 1}})}), ERR_ALREADYASYNC);
  auto* draw = static_cast<AsyncDraw*>(handle);
  EXPECT_EQ(draw->event(ADEVENT_FRAMES, 0, draw->userData, 0), static_cast<intptr_t>(sync.size()));
  ASSERT_EQ(StepToEnd(), ERR_NONE);
  ASSERT_GE(frames.size(), sync.size());
  for (size_t i = 0; i < sync.size(); i++) EXPECT_EQ(frames[i], sync[i]) << "frame " << i + 1;
  EXPECT_EQ(Snapshot(), final);
  EXPECT_EQ(Layers(), 1);

  // A jump to frame n shows what n single steps show.
  ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
  ASSERT_EQ(
      Run("DisplayBrushFX", {1, 0, 0, Value::Table({{"type", 32}, {"speed", 3}, {"async", 1}})}),
      ERR_NONE);
  VmPushLightUserdata(L, handle);
  VmPushNumber(L, 4);
  ASSERT_EQ(Call("AsyncDrawFrame", 2), ERR_NONE);
  EXPECT_EQ(Snapshot(), sync[3]);
  ASSERT_EQ(StepToEnd(), ERR_NONE);
  EXPECT_EQ(Snapshot(), final);
}

// A layer shown as standing in for a background picture names that
// picture, which must exist; while the transition runs it answers the
// picture when asked, and nothing once the picture is gone or the run ends.
TEST_F(CommandsTest, AnEmulatingLayerAnswersItsBackgroundPicture) {
  OpenDisplay(24, 40, true);
  MakeBrush(1, 24, 40, Fill::Coded);
  MakeBrush(5, 24, 40, Fill::Solid);
  ASSERT_EQ(Run("BrushToBGPic", {5, 7}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBrush", {1, 0, 0}), ERR_NONE);
  ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
  Frame before = Snapshot();
  EXPECT_EQ(Run("ShowLayerFX", {1, Value::Table({{"type", 32}, {"bgpicemu", 1}})}),
            ERR_MISSINGPARAMTR);
  EXPECT_EQ(Run("ShowLayerFX", {1, Value::Table({{"type", 32}, {"bgpicemu", 1}, {"bgpic", 9}})}),
            ERR_FINDBGPIC);
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(QueryAsyncDrawObject(0), 0);

  BGPic* pic = nullptr;
  ASSERT_EQ(GetFXBGPic(L, ObjectId{nullptr, 7}, &pic), ERR_NONE);
  auto emulate = [&] {
    return Run("ShowLayerFX",
               {1, Value::Table({{"type", 32}, {"async", 1}, {"bgpicemu", 1}, {"bgpic", 7}})});
  };
  ASSERT_EQ(emulate(), ERR_NONE);
  EXPECT_EQ(QueryAsyncDrawObject(0), reinterpret_cast<intptr_t>(pic));
  ASSERT_EQ(StepToEnd(), ERR_NONE);
  EXPECT_EQ(QueryAsyncDrawObject(0), 0);

  // Without "bgpicemu" a running transition answers nothing.
  ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
  ASSERT_EQ(Run("ShowLayerFX", {1, Value::Table({{"type", 32}, {"async", 1}})}), ERR_NONE);
  EXPECT_EQ(QueryAsyncDrawObject(0), 0);
  ASSERT_EQ(StepToEnd(), ERR_NONE);

  // A picture freed while the run goes on is no longer answered.
  ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
  ASSERT_EQ(emulate(), ERR_NONE);
  ASSERT_EQ(Run("FreeBGPic", {7}), ERR_NONE);
  EXPECT_EQ(QueryAsyncDrawObject(0), 0);
  ASSERT_EQ(StepToEnd(), ERR_NONE);
}

// Frames stepped while the displayed picture is selected as the output go
// into the picture without reaching the window; ending the selection shows
// them.
TEST_F(CommandsTest, StepsIntoTheSelectedPictureShowWhenTheSelectionEnds) {
  OpenDisplay(24, 40, true);
  MakeBrush(5, 24, 40, Fill::Solid);
  ASSERT_EQ(Run("BrushToBGPic", {5, 7}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBGPic", {7}), ERR_NONE);
  MakeBrush(1, 24, 40, Fill::Coded);
  ASSERT_EQ(Run("DisplayBrush", {1, 0, 0}), ERR_NONE);
  auto show = [&] {
    ASSERT_EQ(Run("HideLayer", {1}), ERR_NONE);
    ASSERT_EQ(Run("ShowLayerFX", {1, Value::Table({{"type", 32}, {"speed", 3}, {"async", 1}})}),
              ERR_NONE);
  };
  show();
  Frame before = Snapshot();
  ASSERT_EQ(StepToEnd(), ERR_NONE);
  std::vector<Frame> stepped = frames;
  ASSERT_GE(stepped.size(), 3u);

  show();
  ASSERT_EQ(Run("SelectBGPic", {7}), ERR_NONE);
  for (int i = 0; i < 2; i++) {
    VmPushLightUserdata(L, handle);
    ASSERT_EQ(Call("AsyncDrawFrame", 1), ERR_NONE);
    EXPECT_EQ(Snapshot(), before) << "step " << i + 1;
  }
  ASSERT_EQ(Run("EndSelect", {}), ERR_NONE);
  EXPECT_EQ(Snapshot(), stepped[1]);
  ASSERT_EQ(StepToEnd(), ERR_NONE);
  EXPECT_EQ(Snapshot(), stepped.back());
}

TEST_F(CommandsTest, AResizeRestartsAndAFreedBrushIsKeptUntilTheEnd) {
  OpenDisplay(30, 40, false);
  MakeBrush(1, 30, 40, Fill::Coded);
  Hook();
  bool resized = false;
  atFrame = [&](int32_t frame) {
    if (frame == 3 && !resized) {
      resized = true;
      uintptr_t words[3] = {reinterpret_cast<uintptr_t>(window), 36, 44};
      ASSERT_EQ(inject(L, 6, words), ERR_NONE);
    }
  };
  ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, 32, 2}), ERR_NONE);
  atFrame = nullptr;
  EXPECT_TRUE(resized);
  ASSERT_EQ(d->bgpic->width, 36);
  // The run began again: more frames than one run has, the brush shown.
  EXPECT_GT(frames.size(), 10u);
  for (int32_t y = 0; y < 40; y += 7)
    for (int32_t x = 0; x < 30; x += 5) EXPECT_EQ(At(x, y), CodedPixel(1, x, y)) << x << "," << y;

  // The brush freed between two frames stays until the transition ends.
  MakeBrush(2, 30, 40, Fill::Coded, Plane::Mask, 0, 2);
  atFrame = [&](int32_t frame) {
    if (frame == 2) {
      VmPushNumber(L, 2);
      EXPECT_EQ(Call("FreeBrush", 1), ERR_NONE);
    }
  };
  ASSERT_EQ(Run("DisplayBrushFX", {2, 0, 0, 36}), ERR_NONE);
  atFrame = nullptr;
  EXPECT_EQ(At(1, 0), CodedPixel(2, 1, 0));
  BrushObject* gone = nullptr;
  EXPECT_NE(GetBrushObject(L, ObjectId{nullptr, 2}, &gone, BRUSH_PENDING), ERR_NONE);
}

// On an autoscaled display the run takes the new size and goes on to its
// end without starting again.
TEST_F(CommandsTest, AResizeOfAnAutoscaledDisplayLetsTheRunGoOn) {
  OpenDisplay(30, 40, false, 0x203040, {{"scalemode", SCALEMODE_AUTO}});
  ASSERT_TRUE(d->autoscale);
  MakeBrush(1, 30, 40, Fill::Coded);
  MakeBrush(2, 30, 40, Fill::Solid, Plane::None, 0x203040);
  ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, 32, 2}), ERR_NONE);
  size_t once = frames.size();
  ASSERT_GT(once, 5u);
  ASSERT_EQ(Run("DisplayBrush", {2, 0, 0}), ERR_NONE);
  Hook();
  bool resized = false;
  atFrame = [&](int32_t frame) {
    if (frame == 3 && !resized) {
      resized = true;
      uintptr_t words[3] = {reinterpret_cast<uintptr_t>(window), 36, 44};
      ASSERT_EQ(inject(L, 6, words), ERR_NONE);
    }
  };
  ASSERT_EQ(Run("DisplayBrushFX", {1, 0, 0, 32, 2}), ERR_NONE);
  atFrame = nullptr;
  EXPECT_TRUE(resized);
  EXPECT_EQ(frames.size(), once);
}

// A part of a background picture and a whole background picture end as
// DisplayBGPicPart and DisplayBGPic draw them, with layers off and on, in
// direct and in layer mode.
TEST_F(CommandsTest, PicturePartsAndWholePicturesEndAsThePlainCommandsDraw) {
  struct Case {
    const char* name;
    bool layers, realtime;
  } cases[] = {
      {"layers off", false, false}, {"layers on", true, false}, {"layer mode", true, true}};
  for (const Case& c : cases)
    for (int32_t effect : {32, 36}) {
      SCOPED_TRACE(testing::Message() << c.name << ", effect " << effect);
      OpenDisplay(40, 30, c.layers);
      MakeBrush(5, 40, 30, Fill::Coded, Plane::None, 0, 5);
      MakeBrush(6, 40, 30, Fill::Coded, Plane::None, 0, 6);
      ASSERT_EQ(Run("BrushToBGPic", {5, 7}), ERR_NONE);
      ASSERT_EQ(Run("BrushToBGPic", {6, 8}), ERR_NONE);
      // The part: 20x12 from 4, 3 of picture 7, drawn at 10, 8.
      Frame before = Snapshot();
      ASSERT_EQ(Run("DisplayBGPicPart", {7, 4, 3, 20, 12, 10, 8}), ERR_NONE);
      Frame plain = Snapshot();
      ASSERT_NE(plain, before);
      ASSERT_EQ(At(10, 8), CodedPixel(5, 4, 3));
      if (c.layers) {
        ASSERT_EQ(CountFXLayers(), 1);
        ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
      } else {
        PaintBack(before);
      }
      ASSERT_EQ(Snapshot(), before);
      ASSERT_EQ(
          Run("DisplayBGPicPartFX", {7, 4, 3, 20, 12,
                                     Value::Table({{"type", effect},
                                                   {"dx", 10},
                                                   {"dy", 8},
                                                   {"forcerealtimelayers", c.realtime ? 1 : 0}})}),
          ERR_NONE);
      EXPECT_GT(frames.size(), 1u);
      EXPECT_TRUE(EachPixelOldOrNew(before, plain));
      EXPECT_EQ(Snapshot(), plain);
      EXPECT_EQ(CountFXLayers(), c.layers ? 1 : 0);
      // Positional arguments, the destination defaulting to the source.
      if (c.layers) {
        ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
      } else {
        PaintBack(before);
      }
      ASSERT_EQ(Run("DisplayBGPicPartFX", {7, 4, 3, 20, 12, effect}), ERR_NONE);
      EXPECT_EQ(At(4, 3), CodedPixel(5, 4, 3));
      EXPECT_EQ(At(23, 14), CodedPixel(5, 23, 14));
      EXPECT_EQ(At(24, 15), before[15 * W + 24]);

      // The whole picture.
      ASSERT_EQ(Run("DisplayBGPic", {8}), ERR_NONE);
      Frame whole = Snapshot();
      ASSERT_EQ(whole[0], CodedPixel(6, 0, 0));
      ASSERT_EQ(Run("DisplayBGPic", {7}), ERR_NONE);
      Frame old = Snapshot();
      ASSERT_EQ(Run("DisplayTransitionFX", {8, effect}), ERR_NONE);
      EXPECT_GT(frames.size(), 1u);
      EXPECT_TRUE(EachPixelOldOrNew(old, whole));
      EXPECT_TRUE(RevealMonotonic(old, whole));
      EXPECT_EQ(Snapshot(), whole);
      EXPECT_EQ(d->bgpic, GetCurrentBGPic());
      Reopen();
    }
}

// A refresh of the whole display while a picture transition runs draws
// the new picture without its layers, which show when the run ends.
TEST_F(CommandsTest, ARefreshDuringAPictureTransitionLeavesTheLayersOut) {
  OpenDisplay(40, 30, true);
  MakeBrush(5, 40, 30, Fill::Coded, Plane::None, 0, 5);
  MakeBrush(6, 40, 30, Fill::Coded, Plane::None, 0, 6);
  MakeBrush(1, 6, 6, Fill::Solid, Plane::None, 0xFF0000);
  ASSERT_EQ(Run("BrushToBGPic", {5, 7}), ERR_NONE);
  ASSERT_EQ(Run("BrushToBGPic", {6, 8}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBGPic", {7}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBrush", {1, 2, 2}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBGPic", {8}), ERR_NONE);
  ASSERT_EQ(At(4, 4), CodedPixel(6, 4, 4));
  Frame refreshed;
  int32_t running = -1;
  atFrame = [&](int32_t n) {
    if (n != 2) return;
    running = IsTransitionRunning();
    RefreshDisplay(L, d, 0);
    refreshed = Snapshot();
  };
  Hook();
  ASSERT_EQ(Run("DisplayTransitionFX", {7, 32}), ERR_NONE);
  atFrame = nullptr;
  ASSERT_GT(frames.size(), 2u);
  EXPECT_EQ(running, 1);
  EXPECT_EQ(IsTransitionRunning(), 0);
  ASSERT_EQ(refreshed.size(), static_cast<size_t>(W * H));
  for (int32_t y = 0; y < H; y++)
    for (int32_t x = 0; x < W; x++)
      ASSERT_EQ(refreshed[static_cast<size_t>(y) * W + x], CodedPixel(5, x, y)) << x << "," << y;
  EXPECT_EQ(At(4, 4), 0xFF0000u);
  RefreshDisplay(L, d, 0);
  EXPECT_EQ(At(4, 4), 0xFF0000u);
  EXPECT_EQ(At(10, 10), CodedPixel(5, 10, 10));
}

// "layers" cuts the part with the picture's own layers in; it needs
// layers on.
TEST_F(CommandsTest, APartWithThePicturesLayers) {
  OpenDisplay(20, 20, false);
  MakeBrush(5, 20, 20, Fill::Coded, Plane::None, 0, 5);
  ASSERT_EQ(Run("BrushToBGPic", {5, 7}), ERR_NONE);
  Frame before = Snapshot();
  EXPECT_EQ(Run("DisplayBGPicPartFX", {7, 0, 0, 5, 5, 32, -1, -1, 0, 0, 1}), ERR_WRONGUSAGE);
  EXPECT_EQ(Snapshot(), before);
  Reopen();

  OpenDisplay(20, 20, true);
  MakeBrush(5, 20, 20, Fill::Coded, Plane::None, 0, 5);
  MakeBrush(6, 20, 20, Fill::Coded, Plane::None, 0, 6);
  MakeBrush(1, 6, 6, Fill::Solid, Plane::None, 0xFF0000);
  ASSERT_EQ(Run("BrushToBGPic", {5, 7}), ERR_NONE);
  ASSERT_EQ(Run("BrushToBGPic", {6, 8}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBGPic", {7}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBrush", {1, 2, 2}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBGPic", {8}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBGPicPart", {7, 0, 0, 10, 10, 4, 4, Value::Table({{"layers", 1}})}),
            ERR_NONE);
  Frame plain = Snapshot();
  ASSERT_EQ(At(6, 6), 0xFF0000u);
  ASSERT_EQ(At(12, 12), CodedPixel(5, 8, 8));
  ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
  ASSERT_EQ(
      Run("DisplayBGPicPartFX",
          {7, 0, 0, 10, 10, Value::Table({{"type", 32}, {"dx", 4}, {"dy", 4}, {"layers", 1}})}),
      ERR_NONE);
  EXPECT_EQ(Snapshot(), plain);
}

// The brush that is itself selected as the output: its selection ends and
// the brush is shown; another brush selected is refused.
TEST_F(CommandsTest, TheSelectedBrushItselfEndsItsSelectionAndShows) {
  OpenDisplay(30, 20, false);
  MakeBrush(1, 12, 8, Fill::Coded);
  ASSERT_EQ(Run("SelectBrush", {1}), ERR_NONE);
  ASSERT_EQ(d->outputKind, OBJECT_BRUSH);
  ASSERT_EQ(Run("DisplayBrushFX", {1, 3, 2, 32}), ERR_NONE);
  EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  EXPECT_FALSE(frames.empty());
  for (int32_t y = 0; y < 8; y++)
    for (int32_t x = 0; x < 12; x++) ASSERT_EQ(At(3 + x, 2 + y), CodedPixel(1, x, y));
  MakeBrush(2, 4, 4, Fill::Solid);
  for (const char* select : {"SelectMask", "SelectAlphaChannel"}) {
    SCOPED_TRACE(select);
    ASSERT_EQ(Run(select, {2}), ERR_NONE);
    EXPECT_EQ(Run("DisplayBrushFX", {2, 0, 0, 32}), ERR_NONE);
    EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  }
  ASSERT_EQ(Run("SelectMask", {2}), ERR_NONE);
  EXPECT_EQ(Run("DisplayBrushFX", {1, 0, 0, 32}), ERR_SELECTMASK);
  ASSERT_EQ(Run("EndSelect", {}), ERR_NONE);
}

}  // namespace
}  // namespace fxtest

namespace fxtest {
namespace {

// An async transition of a brush layer whose picture the display makes
// again while frames run, at the same size or another: the run goes on from
// the same share of its frames with the new picture, shows what a run of
// the new picture shows at that frame, and ends with the new picture as a
// plain layer shows it.
TEST_F(CommandsTest, ALayerMadeAgainMidRunGoesOnWithItsNewPicture) {
  constexpr int32_t X = 5, Y = 3;
  struct Case {
    int32_t effect, speed;
    int32_t parameter;  // a fixed stripe size or colour: no random pick
    int32_t oldWidth, oldHeight, newWidth, newHeight;
    int32_t steps;  // before the picture is made again; -1: all of them
    bool replaced;  // made as a new record that takes the old one's place
    bool hide;      // HideLayerFX of a shown brush, else DisplayBrushFX
  } cases[] = {
      {32, -1, 0, 20, 16, 20, 16, 2, false, false},   // same size: what is revealed stays
      {32, -1, 0, 20, 16, 30, 24, 3, false, false},   // larger: replayed to the same share
      {32, -1, 0, 20, 16, 12, 7, 5, false, false},    // smaller
      {32, -1, 0, 20, 16, 30, 24, 0, false, false},   // before the first frame: replayed to 1
      {32, -1, 0, 20, 16, 30, 24, -1, false, false},  // after the last frame: to the new last
      {32, 5, 0, 1, 1, 30, 24, 1, false, false},  // the step the script asked for, not the 1x1's
      {32, -1, 0, 20, 16, 1, 1, 2, false, false},
      {0, -1, 4, 20, 16, 28, 9, 4, false, false},
      {116, -1, 0xFFFFFF, 20, 16, 20, 16, 3, false, false},  // a whole-frame effect: drawn again
      {116, -1, 0xFFFFFF, 20, 16, 30, 24, 3, false, false},
      {32, -1, 0, 20, 16, 20, 16, 2, true, false},
      {32, -1, 0, 20, 16, 30, 24, 3, true, false},
      {32, -1, 0, 20, 16, 30, 24, 3, false, true},  // hiding goes on as far with the new one
      {116, -1, 0xFFFFFF, 20, 16, 12, 7, 3, false, true},
  };
  OpenDisplay(40, 30, true);
  int32_t id = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "effect " << c.effect << ", " << c.oldWidth << "x" << c.oldHeight << " to "
                 << c.newWidth << "x" << c.newHeight << " after " << c.steps
                 << (c.replaced ? ", replaced" : "") << (c.hide ? ", hiding" : ""));
    int32_t oldId = id++, newId = id++;
    MakeBrush(oldId, c.oldWidth, c.oldHeight, Fill::Coded, Plane::None, 0, 1);
    MakeBrush(newId, c.newWidth, c.newHeight, Fill::Coded, Plane::None, 0, 2);
    Frame before = Snapshot();
    // The transition of a brush: synchronously in layer mode, or async.
    auto start = [&](int32_t brush, bool async) {
      Value options = Value::Table({{"type", c.effect},
                                    {"speed", c.speed},
                                    {"parameter", c.parameter},
                                    {async ? "async" : "forcerealtimelayers", 1}});
      if (!c.hide) return Run("DisplayBrushFX", {brush, X, Y, options});
      if (ErrorCode e = Run("DisplayBrush", {brush, X, Y})) return e;
      return Run("HideLayerFX", {1, options});
    };
    ASSERT_EQ(start(newId, false), ERR_NONE);
    std::vector<Frame> reference = frames;
    ASSERT_FALSE(reference.empty());
    ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
    ASSERT_EQ(Snapshot(), before);

    ASSERT_EQ(start(oldId, true), ERR_NONE);
    auto* draw = static_cast<AsyncDraw*>(handle);
    ASSERT_NE(draw, nullptr);
    auto event = [&](int32_t code, intptr_t argument) {
      return draw->event(code, argument, draw->userData, 0);
    };
    auto oldCount = static_cast<int32_t>(event(ADEVENT_FRAMES, 0));
    int32_t steps = c.steps < 0 ? oldCount : c.steps;
    for (int32_t i = 0; i < steps; i++) {
      VmPushLightUserdata(L, handle);
      ASSERT_EQ(Call("AsyncDrawFrame", 1), ERR_NONE);
    }
    ASSERT_EQ(event(ADEVENT_CURRENT, 0), steps);

    auto* state = static_cast<FXState*>(draw->userData);
    ASSERT_TRUE(state->layerPrepared);
    qmLayer* layer = state->layer;
    if (c.replaced) {
      // The display makes a new record of the new brush in the old one's
      // place, tells the transition that the old one goes, and deletes it.
      ObjectStyle style;
      CopyDefaultObjectStyle(&style);
      style.hidden = layer->hidden;
      ASSERT_EQ(
          CreateObjectLayer(L, LAYER_BRUSH, ObjectId{nullptr, newId}, 0, 0, X, Y, c.newWidth,
                            c.newHeight, nullptr, &style, nullptr, GetFXLayerPosition(layer), 0, 0),
          ERR_NONE);
      EXPECT_EQ(event(ADEVENT_REPLACED, reinterpret_cast<intptr_t>(layer)), ERR_NONE);
      EXPECT_EQ(layer->asyncUse, 0);
      DeleteFXLayer(L, layer);
      EXPECT_EQ(CountFXLayers(), 1);
    } else {
      // The display draws the layer's picture again into its own state
      // and tells the transition.
      LayerImageState* own = state->savedState;
      ASSERT_EQ(own->own.bitmap, nullptr);
      BrushObject* brush = nullptr;
      ASSERT_EQ(GetBrushObject(L, ObjectId{nullptr, newId}, &brush, 0), ERR_NONE);
      BitmapHandle *bitmap = nullptr, *mask = nullptr, *alpha = nullptr;
      ASSERT_EQ(ConvertBitmap(brush->bitmap, nullptr, nullptr, 0, 0, c.newWidth, c.newHeight, 0, 0,
                              nullptr, nullptr, &bitmap, &mask, &alpha),
                ERR_NONE);
      own->own = LayerTriple{bitmap, mask, alpha};
      own->width = c.newWidth;
      own->height = c.newHeight;
      EXPECT_EQ(event(ADEVENT_CHANGED, reinterpret_cast<intptr_t>(layer)), ERR_NONE);
    }

    auto newCount = static_cast<int32_t>(reference.size());
    int32_t expected = steps;
    if (c.oldWidth != c.newWidth || c.oldHeight != c.newHeight)
      expected = std::clamp(
          static_cast<int32_t>(std::lround(static_cast<double>(steps) / oldCount * newCount)), 1,
          newCount);
    EXPECT_EQ(event(ADEVENT_FRAMES, 0), newCount);
    EXPECT_EQ(event(ADEVENT_CURRENT, 0), expected);
    EXPECT_EQ(Snapshot(), expected == 0 ? before : reference[static_cast<size_t>(expected) - 1]);

    ASSERT_EQ(StepToEnd(), ERR_NONE);
    EXPECT_EQ(Snapshot(), reference.back());
    RefreshRect(L, 0, 0, W, H);
    EXPECT_EQ(Snapshot(), reference.back());
    ASSERT_EQ(Run("RemoveLayer", {1}), ERR_NONE);
  }
}

}  // namespace
}  // namespace fxtest
