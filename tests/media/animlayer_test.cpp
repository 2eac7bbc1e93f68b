// Anims as layers on a display of the test display adapter with layers on:
// an anim frame shown as a layer, its frame changed (NextFrame, the style
// field, PlayAnim, move lists), moved, and undone; an anim freed or
// changed while a layer shows it; ModifyLayerFrames on the layer's own
// copy; CreateLayer with frames; anims that move; sprites loaded from an
// anim file.
#include "media/anim_private.h"
#include "media/image_private.h"
#include "media/media.h"
#include "platform/linux/system_private.h"
#include "tests/display/layer_fixture.h"
#include "tests/media/image_support.h"

namespace {

const uint32_t COLOURS[3] = {0xC02020, 0x20C020, 0x2020C0};

class AnimLayers : public LayerFixture {
 protected:
  void SetUp() override {
    LayerFixture::SetUp();
    for (ErrorCode (*open)(VmState*) :
         {OpenSpriteLibrary, OpenMoveObjectLibrary, OpenAnimLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
  }
  void TearDown() override {
    FreeAllAsyncDraws(L);
    // The layers go first: they may hold hidden anims.
    FreeLayerSystem(L);
    FreeAllSprites(L);
    FreeAllAnims(L);
    LayerFixture::TearDown();
  }
  // A GIF of the three frames of Strip (8 x 6 pens).
  std::string Gif() {
    std::string path = dir / "a.gif";
    GifWriter* w = nullptr;
    EXPECT_EQ(OpenGifWriter(path.c_str(), 8, 6, &w), 0);
    uint32_t palette[256] = {COLOURS[0], COLOURS[1], COLOURS[2]};
    for (int f = 0; f < 3; f++) {
      uint8_t pens[48];
      for (uint8_t& pen : pens) pen = static_cast<uint8_t>(f);
      EXPECT_EQ(WriteGifAnimFrame(w, pens, 8, 6, 10, palette, 4, -1, 0, 1), 0);
    }
    EXPECT_EQ(CloseGifWriter(w), 0);
    return path;
  }
  // Calls a command that returns an async drawing, kept at stack index 1,
  // and draws its frames one by one.
  ErrorCode CallKeeping(const char* name, std::vector<Value> args) {
    VmSetTop(L, 0);
    std::string lower(name);
    StrToLower(lower.data());
    VmPushString(L, lower.c_str());
    VmGetTable(L, VM_GLOBALS_INDEX);
    for (const Value& a : args) PushValue(L, a);
    return VmPCall(L, static_cast<int>(args.size()), 1, 0);
  }
  ErrorCode DrawKeptFrame() {
    VmPushString(L, "asyncdrawframe");
    VmGetTable(L, VM_GLOBALS_INDEX);
    VmPushValue(L, 1);
    return VmPCall(L, 1, 0, 0);
  }
  // Anim id: three 8 x 6 frames in COLOURS.
  void Strip(int id) {
    std::vector<uint32_t> px(24 * 6);
    for (int y = 0; y < 6; y++)
      for (int x = 0; x < 24; x++)
        px[static_cast<size_t>(y * 24 + x)] = 0xFF000000u | COLOURS[x / 8];
    BrushPixels description{px.data(), 24, 0, 0};
    ObjectId brush{nullptr, 100 + id};
    BrushObject* out = nullptr;
    ASSERT_EQ(CreateBrushFromPixels(L, &brush, 0, 24, 6, &description, &out), ERR_NONE);
    ASSERT_EQ(CallWith("CreateAnim", {id, 100 + id, 8, 6, 3, 3}), ERR_NONE);
  }
  // The anims in the library's list, hidden ones included.
  int32_t Anims() { return static_cast<int32_t>(CountObjectList(animContext.anims)); }
  // Whether the 8 x 6 rectangle at x, y shows the colour.
  bool Shows(int32_t x, int32_t y, uint32_t colour) {
    for (int32_t j = 0; j < 6; ++j)
      for (int32_t i = 0; i < 8; ++i)
        if (At(x + i, y + j) != colour) return false;
    return true;
  }

  imagetest::TempDir dir;
};

TEST_F(AnimLayers, FrameShownChangedMovedRemovedAndUndone) {
  Strip(1);
  ASSERT_EQ(CallWith("DisplayAnimFrame", {1, 10, 10, 2}), ERR_NONE);
  ASSERT_EQ(Count(), 1);
  EXPECT_EQ(Layer(1)->type, LAYER_ANIM);
  EXPECT_TRUE(Shows(10, 10, COLOURS[1]));
  struct {
    const char* name;
    std::vector<Value> args;
    int32_t x, y;
    uint32_t colour;
  } steps[] = {
      {"next", {1}, 10, 10, COLOURS[2]},
      {"wraps to the first", {1}, 10, 10, COLOURS[0]},
      {"moved, frame 3", {1, 40, 30, 3}, 40, 30, COLOURS[2]},
      {"last frame kept", {1, 100000, 100000, -1}, 40, 30, COLOURS[2]},
  };
  for (auto& s : steps) {
    ASSERT_EQ(CallWith("NextFrame", s.args), ERR_NONE) << s.name;
    EXPECT_TRUE(Shows(s.x, s.y, s.colour)) << s.name;
  }
  EXPECT_TRUE(Shows(10, 10, BACKGROUND));
  // The style field names a frame from 1; out of range is refused.
  ASSERT_EQ(CallWith("SetLayerStyle", {1, Value::Table({{"frame", 1}})}), ERR_NONE);
  EXPECT_TRUE(Shows(40, 30, COLOURS[0]));
  EXPECT_EQ(CallWith("SetLayerStyle", {1, Value::Table({{"frame", 4}})}), ERR_ANIMFRAME);
  EXPECT_EQ(CallWith("NextFrame", {1, 100000, 100000, 0}), ERR_NONE);
  EXPECT_TRUE(Shows(40, 30, COLOURS[1]));
  // A transformed anim layer shows the new frame too.
  ASSERT_EQ(CallWith("ScaleLayer", {1, 16, 12}), ERR_NONE);
  ASSERT_EQ(CallWith("NextFrame", {1}), ERR_NONE);
  EXPECT_EQ(At(40 - 4 + 8, 30 - 3 + 6), COLOURS[2]);
  ASSERT_EQ(CallWith("ScaleLayer", {1, 8, 6}), ERR_NONE);
  // Undone, the anim's layer goes.
  ASSERT_EQ(CallWith("Undo", {LAYER_ANIM, 1}), ERR_NONE);
  EXPECT_EQ(Count(), 0);
  EXPECT_TRUE(Shows(40, 30, BACKGROUND));
  // A brush layer is no anim layer.
  ASSERT_EQ(CallWith("CreateBrush", {5, 4, 4}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {5, 0, 0}), ERR_NONE);
  EXPECT_EQ(CallWith("NextFrame", {Count()}), ERR_NOANMLAYER);
}

TEST_F(AnimLayers, StyleFieldsNameTheAnimAndItsFrame) {
  Strip(1);
  ASSERT_EQ(CallWith("CreateBrush", {2, 8, 6, 0xFFFFFF}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {2, 10, 10}), ERR_NONE);
  struct {
    const char* name;
    Value table;
    ErrorCode error;
    uint32_t colour;
  } cases[] = {
      {"an anim layer needs an anim", Value::Table({{"type", LAYER_ANIM}}), ERR_MISSINGPARAMTR,
       0xFFFFFF},
      {"unknown anim", Value::Table({{"type", LAYER_ANIM}, {"id", 9}}), ERR_FINDANIM, 0xFFFFFF},
      {"brush becomes anim", Value::Table({{"type", LAYER_ANIM}, {"id", 1}, {"frame", 2}}),
       ERR_NONE, COLOURS[1]},
      {"frame and place", Value::Table({{"frame", -1}, {"x", 30}}), ERR_NONE, COLOURS[2]},
  };
  for (auto& c : cases) {
    EXPECT_EQ(CallWith("SetLayerStyle", {1, c.table}), c.error) << c.name;
    EXPECT_TRUE(Shows(c.error ? 10 : Layer(1)->base->requestedX, 10, c.colour)) << c.name;
  }
  EXPECT_EQ(Layer(1)->type, LAYER_ANIM);
  // Another anim starts at its first frame.
  Strip(3);
  ASSERT_EQ(CallWith("ModifyAnimFrames", {3, 1, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("SetLayerStyle", {1, Value::Table({{"id", 3}})}), ERR_NONE);
  EXPECT_TRUE(Shows(30, 10, 0x000000));
  ASSERT_EQ(CallWith("NextFrame", {1, 100000, 100000, 4}), ERR_NONE);
  EXPECT_TRUE(Shows(30, 10, COLOURS[2]));
}

TEST_F(AnimLayers, FreedOrChangedAnimsStayWithTheirLayers) {
  Strip(1);
  ASSERT_EQ(CallWith("DisplayAnimFrame", {1, 10, 10, 3}), ERR_NONE);
  ASSERT_EQ(CallWith("FreeAnim", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("FreeAnim", {1}), ERR_FINDANIM);
  EXPECT_EQ(Anims(), 1);  // hidden while its layer shows it
  // The layer still draws it, also at another frame and place.
  ASSERT_EQ(CallWith("NextFrame", {1, 30, 20, 2}), ERR_NONE);
  EXPECT_TRUE(Shows(30, 20, COLOURS[1]));
  ASSERT_EQ(CallWith("RemoveLayer", {1}), ERR_NONE);
  EXPECT_EQ(Anims(), 0);

  // Changing an anim gives its layer a private copy of the old one.
  Strip(2);
  ASSERT_EQ(CallWith("DisplayAnimFrame", {2, 10, 10, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("ScaleAnim", {2, 16, 12}), ERR_NONE);
  ASSERT_EQ(CallWith("ModifyAnimFrames", {2, -1}), ERR_NONE);
  EXPECT_EQ(Anims(), 2);
  ASSERT_EQ(CallWith("NextFrame", {1, 100000, 100000, 3}), ERR_NONE);
  EXPECT_TRUE(Shows(10, 10, COLOURS[2]));
  EXPECT_EQ(Layer(1)->display->width, 8);
  ASSERT_EQ(CallWith("FreeLayers", {}), ERR_NONE);
  EXPECT_EQ(Anims(), 1);
}

// GetAttribute of an anim layer answers from the anim it shows, also once
// the script freed that anim.
TEST_F(AnimLayers, AttributesOfAnAnimLayer) {
  Strip(1);
  ASSERT_EQ(CallWith("SetAnimFrameDelay", {1, 2, 40}), ERR_NONE);
  ASSERT_EQ(CallWith("SetAnimFrameDelay", {1, 3, 70}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayAnimFrame", {1, 10, 10, 2}), ERR_NONE);
  for (int freed = 0; freed < 2; ++freed) {
    struct Case {
      std::vector<Value> args;
      ErrorCode error;
      const char* value;
    } cases[] = {
        {{OBJTYPE_LAYER, 1, ATTRNUMFRAMES}, ERR_NONE, "3.000000"},
        {{OBJTYPE_LAYER, 1, ATTRCURFRAME}, ERR_NONE, "2.000000"},
        {{OBJTYPE_LAYER, 1, ATTRFRAMEDELAY}, ERR_NONE, "40.000000"},  // the frame shown
        {{OBJTYPE_LAYER, 1, ATTRFRAMEDELAY, 3}, ERR_NONE, "70.000000"},
        {{OBJTYPE_LAYER, 1, ATTRFRAMEDELAY, 1}, ERR_NONE, "0.000000"},
        {{OBJTYPE_LAYER, 1, ATTRFRAMEDELAY, 4}, ERR_ANIMFRAME, ""},
        {{OBJTYPE_LAYER, 1, ATTRTEXT}, ERR_NOTXTLAYER, ""},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << "freed " << freed << ", case " << (&c - cases));
      ASSERT_EQ(CallWith("GetAttribute", c.args), c.error);
      if (c.error == ERR_NONE) {
        EXPECT_EQ(results, std::vector<std::string>{c.value});
      }
    }
    if (!freed) {
      ASSERT_EQ(CallWith("FreeAnim", {1}), ERR_NONE);
    }
  }
  ASSERT_EQ(CallWith("NextFrame", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("GetAttribute", {OBJTYPE_LAYER, 1, ATTRCURFRAME}), ERR_NONE);
  EXPECT_EQ(results, std::vector<std::string>{"3.000000"});
}

TEST_F(AnimLayers, DrawingIntoAShownAnimLeavesItsLayerAsItWas) {
  Strip(1);
  ASSERT_EQ(CallWith("DisplayAnimFrame", {1, 10, 10, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("SelectAnim", {1, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateBrush", {5, 8, 6, 0xFFFFFF}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {5, 0, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("EndSelect", {}), ERR_NONE);
  EXPECT_EQ(Anims(), 2);
  ASSERT_EQ(CallWith("NextFrame", {1, 60, 10, 1}), ERR_NONE);
  EXPECT_TRUE(Shows(60, 10, COLOURS[0]));
  ASSERT_EQ(CallWith("DisplayAnimFrame", {1, 40, 30, 1}), ERR_NONE);
  EXPECT_TRUE(Shows(40, 30, 0xFFFFFF));
}

TEST_F(AnimLayers, ModifyLayerFramesChangesTheLayersOwnCopy) {
  Strip(1);
  ASSERT_EQ(CallWith("DisplayAnimFrame", {1, 10, 10, 3}), ERR_NONE);
  struct {
    const char* name;
    std::vector<Value> args;
    ErrorCode error;
  } refusals[] = {
      {"count 0", {1, 0}, ERR_WRONGUSAGE},
      {"no frame left", {1, -3}, ERR_WRONGUSAGE},
      {"insertion past the end", {1, 1, 5}, ERR_WRONGUSAGE},
  };
  for (auto& c : refusals) EXPECT_EQ(CallWith("ModifyLayerFrames", c.args), c.error) << c.name;
  EXPECT_EQ(Anims(), 1);
  // The shown frame goes: the first is shown.
  ASSERT_EQ(CallWith("ModifyLayerFrames", {1, -1}), ERR_NONE);
  EXPECT_TRUE(Shows(10, 10, COLOURS[0]));
  AnimObject* a = nullptr;
  ASSERT_EQ(GetAnimObject(L, ObjectId{nullptr, 1}, &a, 0), ERR_NONE);
  EXPECT_EQ(a->frameCount, 3);
  // Two black frames in front: the shown frame stays.
  ASSERT_EQ(CallWith("ModifyLayerFrames", {1, 2, 1}), ERR_NONE);
  EXPECT_TRUE(Shows(10, 10, COLOURS[0]));
  ASSERT_EQ(CallWith("NextFrame", {1, 100000, 100000, 1}), ERR_NONE);
  EXPECT_TRUE(Shows(10, 10, 0x000000));
  EXPECT_EQ(CallWith("NextFrame", {1, 100000, 100000, 5}), ERR_ANIMFRAME);
  EXPECT_EQ(Anims(), 2);
  ASSERT_EQ(CallWith("RemoveLayer", {1}), ERR_NONE);
  EXPECT_EQ(Anims(), 1);
}

TEST_F(AnimLayers, FailedAllocationsLeaveLayersAndAnimsAsTheyWere) {
  struct {
    const char* name;
    std::vector<Value> args;
    int32_t layersAfter;
  } cases[] = {
      {"ModifyLayerFrames", {1, 2, 1}, 1},
      {"ScaleAnim", {1, 16, 12}, 1},
      {"CreateLayer", {40, 40, 8, 6, Value::Table({{"frames", 2}, {"mask", true}})}, 2},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (uint64_t n = 1;; n++) {
      ASSERT_LT(n, 10000u);
      ASSERT_EQ(CallWith("FreeLayers", {}), ERR_NONE);
      CallWith("FreeAnim", {1});
      ASSERT_EQ(Anims(), 0);
      Strip(1);
      ASSERT_EQ(CallWith("DisplayAnimFrame", {1, 10, 10, 2}), ERR_NONE);
      for (const Value& a : c.args) PushValue(L, a);
      SetAllocFailure(n, false);
      ErrorCode e = Call(c.name, static_cast<int>(c.args.size()));
      bool failed = GetAllocFailureCount() > 0;
      SetAllocFailure(0, false);
      if (!e) {
        EXPECT_EQ(Count(), c.layersAfter);
        break;
      }
      ASSERT_TRUE(failed) << e;
      EXPECT_TRUE(e == ERR_MEM || e == ERR_BITMAP || e == ERR_ALLOCMASK || e == ERR_ALLOCALPHA)
          << e << " at " << n;
      ASSERT_EQ(Count(), 1) << n;
      EXPECT_TRUE(Shows(10, 10, COLOURS[1])) << n;
      AnimObject* a = nullptr;
      ASSERT_EQ(GetAnimObject(L, ObjectId{nullptr, 1}, &a, 0), ERR_NONE) << n;
      EXPECT_EQ(a->frameCount, 3) << n;
      EXPECT_EQ(a->width, 8) << n;
      // Copies made for the layer before the failure go with it.
      ASSERT_EQ(CallWith("FreeLayers", {}), ERR_NONE);
      EXPECT_EQ(Anims(), 1) << n;
    }
  }
}

TEST_F(AnimLayers, CreateLayerWithFramesMakesAnAnimOfItsOwn) {
  ASSERT_EQ(CallWith("CreateLayer", {20, 20, 8, 6, Value::Table({{"frames", 3}, {"color", 0xFF}})}),
            ERR_NONE);
  ASSERT_EQ(Count(), 1);
  EXPECT_EQ(Layer(1)->type, LAYER_ANIM);
  EXPECT_TRUE(Shows(20, 20, 0x0000FF));
  ASSERT_EQ(CallWith("NextFrame", {1, 100000, 100000, 3}), ERR_NONE);
  EXPECT_EQ(CallWith("NextFrame", {1, 100000, 100000, 4}), ERR_ANIMFRAME);
  EXPECT_EQ(Anims(), 1);
  ASSERT_EQ(CallWith("RemoveLayer", {1}), ERR_NONE);
  EXPECT_EQ(Anims(), 0);
  // A masked one starts fully visible, a clear one fully transparent.
  ASSERT_EQ(
      CallWith("CreateLayer",
               {20, 20, 8, 6, Value::Table({{"frames", 2}, {"color", 0xFF}, {"mask", true}})}),
      ERR_NONE);
  EXPECT_TRUE(Shows(20, 20, 0x0000FF));
  ASSERT_EQ(
      CallWith("CreateLayer",
               {20, 20, 8, 6,
                Value::Table(
                    {{"frames", 2}, {"color", 0xFF00}, {"alphachannel", true}, {"clear", true}})}),
      ERR_NONE);
  EXPECT_TRUE(Shows(20, 20, 0x0000FF));
  EXPECT_EQ(CallWith("CreateLayer", {0, 0, 8, 6, Value::Table({{"frames", -1}})}), ERR_WRONGUSAGE);
}

TEST_F(AnimLayers, PlayAnimChangesTheFrameOfOneLayer) {
  Strip(1);
  ASSERT_EQ(CallWith("PlayAnim", {1, 10, 10, -2}), ERR_NONE);
  ASSERT_EQ(Count(), 1);
  EXPECT_TRUE(Shows(10, 10, COLOURS[2]));
  ASSERT_EQ(CallKeeping("PlayAnim", {1, 40, 30, Value::Table({{"speed", -2}, {"async", true}})}),
            ERR_NONE);
  EXPECT_EQ(Count(), 2);
  for (int k = 0; k < 3; ++k) {
    ASSERT_EQ(DrawKeptFrame(), ERR_NONE) << k;
    EXPECT_TRUE(Shows(40, 30, COLOURS[k])) << k;
  }
  EXPECT_EQ(Count(), 2);
  EXPECT_TRUE(Shows(10, 10, COLOURS[2]));
  // A playback whose layer is taken away ends at its next step.
  VmSetTop(L, 0);
  ASSERT_EQ(CallKeeping("PlayAnim", {1, 40, 30, Value::Table({{"times", 0}, {"async", true}})}),
            ERR_NONE);
  auto* draw = static_cast<AsyncDraw*>(VmToUserdata(L, 1));
  ASSERT_NE(draw, nullptr);
  ASSERT_EQ(DrawKeptFrame(), ERR_NONE);
  EXPECT_EQ(draw->finished, 0);
  DeleteLayer(L, Layer(Count()), 0, nullptr, nullptr, 1);
  ASSERT_EQ(DrawKeptFrame(), ERR_NONE);
  EXPECT_EQ(draw->finished, 1);
}

TEST_F(AnimLayers, MoveListsShowAndAdvanceAnimFrames) {
  Strip(1);
  // NEXTFRAME inserts the frame as a layer (0: the second frame).
  ASSERT_EQ(CallWith("AddMove", {1, 29, 1, 10, 10, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("AddMove", {1, 29, 1, 30, 10, -1}), ERR_NONE);
  ASSERT_EQ(CallWith("DoMove", {1}), ERR_NONE);
  ASSERT_EQ(Count(), 2);
  EXPECT_TRUE(Shows(10, 10, COLOURS[1]));
  EXPECT_TRUE(Shows(30, 10, COLOURS[2]));
  ASSERT_EQ(CallWith("AddMove", {2, 29, 1, 50, 10, 4}), ERR_NONE);
  EXPECT_EQ(CallWith("DoMove", {2}), ERR_ANIMFRAME);
  // NEXTFRAME2 moves an anim layer and shows another frame of it.
  ASSERT_EQ(CallWith("AddMove", {3, 34, 1, 10, 30, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("AddMove", {3, 34, 2, 30, 30, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("DoMove", {3}), ERR_NONE);
  EXPECT_TRUE(Shows(10, 30, COLOURS[0]));
  EXPECT_TRUE(Shows(30, 30, COLOURS[0]));
  EXPECT_TRUE(Shows(10, 10, BACKGROUND));
  ASSERT_EQ(CallWith("CreateBrush", {5, 4, 4}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayBrush", {5, 0, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("AddMove", {4, 34, 3, 0, 0, 1}), ERR_NONE);
  EXPECT_EQ(CallWith("DoMove", {4}), ERR_WRONGUSAGE);
}

TEST_F(AnimLayers, DiskAnimsDecodeTheFrameTheirLayerShows) {
  std::string gif = Gif();
  ASSERT_EQ(CallWith("LoadAnim", {7, gif.c_str(), Value::Table({{"fromdisk", true}})}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayAnimFrame", {7, 10, 10, 2}), ERR_NONE);
  EXPECT_TRUE(Shows(10, 10, COLOURS[1]));
  ASSERT_EQ(CallWith("NextFrame", {1}), ERR_NONE);
  EXPECT_TRUE(Shows(10, 10, COLOURS[2]));
  // Scaled, the layer keeps its own copy at the old size.
  ASSERT_EQ(CallWith("ScaleAnim", {7, 16, 12}), ERR_NONE);
  ASSERT_EQ(CallWith("NextFrame", {1, 40, 30, 1}), ERR_NONE);
  EXPECT_TRUE(Shows(40, 30, COLOURS[0]));
  EXPECT_EQ(Layer(1)->display->width, 8);
  EXPECT_EQ(CallWith("ModifyLayerFrames", {1, 1}), ERR_ANIMDISK);
  ASSERT_EQ(CallWith("FreeAnim", {7}), ERR_NONE);
  ASSERT_EQ(CallWith("RemoveLayer", {1}), ERR_NONE);
  EXPECT_EQ(Anims(), 0);
}

TEST_F(AnimLayers, MovingAnimsStepTheirFrames) {
  Strip(1);
  // With layers: the anim becomes a layer that moves 15 pixels and shows
  // the next frame at each step.
  ASSERT_EQ(
      CallKeeping("MoveAnim", {1, 0, 10, 100, 10,
                               Value::Table({{"speed", -2}, {"animspeed", -2}, {"async", true}})}),
      ERR_NONE);
  ASSERT_EQ(Count(), 1);
  EXPECT_TRUE(Shows(0, 10, COLOURS[0]));
  for (int k = 1; k <= 4; ++k) {
    ASSERT_EQ(DrawKeptFrame(), ERR_NONE) << k;
    EXPECT_TRUE(Shows(15 * k, 10, COLOURS[k % 3])) << k;
  }
  // Held while it moves.
  EXPECT_EQ(CallWith("FreeAnim", {1}), ERR_LOCKEDOBJ);
  FreeAllAsyncDraws(L);
  ASSERT_EQ(CallWith("FreeAnim", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("FreeLayers", {}), ERR_NONE);
  EXPECT_EQ(Anims(), 0);

  // Without layers: composed over the background, no trail, the frame of
  // the last step at the end.
  Strip(2);
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
  ASSERT_EQ(CallWith("MoveAnim", {2, 0, 50, 40, 50, -2, -2}), ERR_NONE);
  EXPECT_TRUE(Shows(40, 50, COLOURS[0]));
  EXPECT_TRUE(Shows(0, 50, BACKGROUND));
  EXPECT_EQ(CallWith("MoveAnim", {9, 0, 50, 40, 50}), ERR_FINDANIM);
  ASSERT_EQ(CallWith("FreeAnim", {2}), ERR_NONE);
}

TEST_F(AnimLayers, LoadSpriteMakesASpriteOfTheAnimFilesFrames) {
  std::string gif = Gif();
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
  ASSERT_EQ(CallWith("LoadSprite", {5, gif.c_str()}), ERR_NONE);
  SpriteObject* sprite = nullptr;
  ASSERT_EQ(GetSpriteObject(ObjectId{nullptr, 5}, &sprite, 0), ERR_NONE);
  EXPECT_EQ(sprite->frameCount, 3);
  for (int k = 1; k <= 3; ++k) {
    ASSERT_EQ(CallWith("DisplaySprite", {5, 20, 20, k}), ERR_NONE);
    EXPECT_TRUE(Shows(20, 20, COLOURS[k - 1])) << k;
  }
  EXPECT_EQ(Anims(), 0);
  // Loaded again under the same number, it replaces the sprite.
  ASSERT_EQ(CallWith("RemoveSprite", {5}), ERR_NONE);
  ASSERT_EQ(CallWith("LoadSprite", {5, gif.c_str()}), ERR_NONE);
  EXPECT_EQ(CallWith("LoadSprite", {6, (dir / "none.gif").c_str()}), ERR_READFILE);
  // "fromdisk" is an anim's option: a sprite cut from the picture takes
  // "frames" beside it.
  ASSERT_EQ(
      CallWith("LoadSprite",
               {6, gif.c_str(),
                Value::Table({{"fromdisk", true}, {"width", 8}, {"height", 6}, {"frames", 1}})}),
      ERR_NONE);
  ASSERT_EQ(GetSpriteObject(ObjectId{nullptr, 6}, &sprite, 0), ERR_NONE);
  EXPECT_EQ(sprite->frameCount, 1);
}

}  // namespace
