// What the layers library answers to the lower libraries once it is open:
// clip regions that layers still draw through, layer names in option
// tables, the data items scripts attach to layers, pictures composed with
// their layers; and what a display leaves behind when it shows another
// picture.
#include "engine/engine_private.h"
#include "libs/libs_private.h"
#include "tests/display/layer_fixture.h"

namespace {

constexpr uint32_t RED = 0xFF0000, BLUE = 0x0000FF;

uint32_t rgbAt(BitmapHandle* b, int32_t x, int32_t y) {
  return ReadBitmapPixel(b, x, y, 0) & 0xFFFFFF;
}

// A drawing that only records its removal.
struct Recorder {
  static ErrorCode Draw(void*, int32_t*) { return ERR_NONE; }
  static void Release(void* data, int32_t) { ++static_cast<Recorder*>(data)->released; }
  int released = 0;
};
int videoStops = 0;
void countStop(VmState*, DisplayRecord*) { ++videoStops; }

class LayerServicesTest : public LayerFixture {
 protected:
  ErrorCode Style(int32_t layer, const Value& table) {
    return CallWith("SetLayerStyle", {layer, table});
  }
};

TEST_F(LayerServicesTest, AFreedRegionKeepsClippingItsLayer) {
  ASSERT_EQ(CallWith("CreateClipRegion", {1, 14, 0, 0, 10, 10}), ERR_NONE);
  Show(1, 40, 20, RED, 0, 0);
  ASSERT_EQ(Style(1, Value::Table({{"clipregion", 1}})), ERR_NONE);
  ClipRegion* region = Layer(1)->base->clip;
  ASSERT_NE(region, nullptr);

  ASSERT_EQ(CallWith("FreeClipRegion", {1}), ERR_NONE);
  // The script's identifier is gone; the layer still draws through it.
  EXPECT_EQ(CallWith("SetClipRegion", {1}), ERR_FINDCLIPREGION);
  EXPECT_EQ(Layer(1)->base->clip, region);
  ASSERT_EQ(CallWith("HideLayer", {1}), ERR_NONE);
  EXPECT_EQ(At(5, 5), BACKGROUND);
  ASSERT_EQ(CallWith("ShowLayer", {1}), ERR_NONE);
  EXPECT_EQ(At(5, 5), RED);
  EXPECT_EQ(At(20, 5), BACKGROUND);
  // A new region may take the number while the old one lingers.
  ASSERT_EQ(CallWith("CreateClipRegion", {1, 14, 0, 0, 50, 50}), ERR_NONE);
  EXPECT_EQ(Layer(1)->base->clip, region);
}

TEST_F(LayerServicesTest, OptionTablesNameLayers) {
  Show(1, 10, 10, RED, 0, 0);
  Show(2, 10, 10, RED, 20, 0);
  ASSERT_EQ(CallWith("SetLayerName", {2, "Door"}), ERR_NONE);
  struct Case {
    const char* name;
    ErrorCode code;
    int32_t position;
  };
  for (const Case& c : {Case{"door", ERR_NONE, 2}, Case{"window", ERR_FINDLAYER, 0}}) {
    SCOPED_TRACE(c.name);
    PushValue(L, Value::Table({{"layer", c.name}}));
    int32_t position = 0;
    VmPushCClosure(
        L,
        [](VmState* s) {
          auto* out = static_cast<int32_t*>(VmToUserdata(s, 2));
          GetTableFieldLayer(s, 1, "layer", out, nullptr);
          return 0;
        },
        0);
    VmInsert(L, 1);
    VmPushLightUserdata(L, &position);
    EXPECT_EQ(VmPCall(L, 2, 0, 0), c.code);
    VmSetTop(L, 0);
    EXPECT_EQ(position, c.position);
  }
}

TEST_F(LayerServicesTest, DataItemsLiveInTheLayer) {
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenObjectCommands(L), ERR_NONE);
  VmSetTop(L, 0);
  Show(1, 10, 10, RED, 0, 0);
  Show(2, 10, 10, RED, 20, 0);
  ASSERT_EQ(CallWith("SetObjectData", {OBJTYPE_LAYER, 2, "hp", 7}), ERR_NONE);
  ASSERT_EQ(CallWith("GetObjectData", {OBJTYPE_LAYER, 2, "HP"}), ERR_NONE);
  EXPECT_EQ(results, std::vector<std::string>{std::to_string(7.0)});
  EXPECT_EQ(CallWith("GetObjectData", {OBJTYPE_LAYER, 1, "hp"}), ERR_FINDOBJECTDATA);
  EXPECT_EQ(CallWith("SetObjectData", {OBJTYPE_LAYER, 3, "hp", 1}), ERR_LAYERRANGE);
  ASSERT_EQ(CallWith("CopyObjectData", {OBJTYPE_LAYER, 2, OBJTYPE_LAYER, 1}), ERR_NONE);
  ASSERT_EQ(CallWith("HaveObjectData", {OBJTYPE_LAYER, 1, "hp"}), ERR_NONE);
  EXPECT_EQ(results, std::vector<std::string>{std::to_string(1.0)});
  // The items go with their layer (the sanitizer sees a leak otherwise).
  ASSERT_EQ(CallWith("RemoveLayer", {2}), ERR_NONE);
  ASSERT_EQ(CallWith("GetObjectData", {OBJTYPE_LAYER, 1, "hp"}), ERR_NONE);
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
  EXPECT_EQ(CallWith("GetObjectData", {OBJTYPE_LAYER, 1, "hp"}), ERR_NOLAYERS);
}

// Picture 2 (blue) shown with a red layer at 0,0, then picture 3 shown.
class PictureLayersTest : public LayerServicesTest {
 protected:
  void SetUp() override {
    LayerServicesTest::SetUp();
    ASSERT_EQ(CallWith("CreateBGPic", {2, W, H, static_cast<double>(BLUE)}), ERR_NONE);
    ASSERT_EQ(CallWith("CreateBGPic", {3, W, H, static_cast<double>(BACKGROUND)}), ERR_NONE);
    ASSERT_EQ(CallWith("DisplayBGPic", {2}), ERR_NONE);
    Show(1, 10, 10, RED, 0, 0);
    second = Pic();
    ASSERT_EQ(CallWith("DisplayBGPic", {3}), ERR_NONE);
  }
  BGPic* second = nullptr;
};

TEST_F(PictureLayersTest, PicturesComposeWithTheirLayers) {
  // A picture no display shows is composed into a bitmap of its own.
  BitmapHandle* composed = nullptr;
  int owned = 0;
  ASSERT_EQ(GetBGPicBitmapWithLayers(L, second, 0, 0, W, H, &composed, &owned), ERR_NONE);
  ASSERT_EQ(owned, 1);
  EXPECT_EQ(rgbAt(composed, 5, 5), RED);
  EXPECT_EQ(rgbAt(composed, 50, 50), BLUE);
  FreeBitmap(composed);
  EXPECT_EQ(rgbAt(second->bitmap, 5, 5), BLUE);  // the picture itself stays bare

  // A part of it shown with and without its layers.
  struct Case {
    bool layers;
    uint32_t colour;
  };
  for (const Case& c : {Case{false, BLUE}, Case{true, RED}}) {
    SCOPED_TRACE(c.layers);
    ASSERT_EQ(CallWith("DisplayBGPicPart", {2, 0, 0, 20, 20, 100, 60, c.layers}), ERR_NONE);
    EXPECT_EQ(At(105, 65), c.colour);
    EXPECT_EQ(At(115, 75), BLUE);
  }

  // Shown again with capture, the new image has the layer.
  BitmapHandle *newImage = nullptr, *oldImage = nullptr;
  ASSERT_EQ(ShowBGPic(L, ObjectId{nullptr, 2}, KEEPPOSITION, KEEPPOSITION, 1, &newImage, &oldImage),
            ERR_NONE);
  EXPECT_EQ(rgbAt(newImage, 5, 5), RED);
  EXPECT_EQ(rgbAt(oldImage, 5, 5), BACKGROUND);
  FreeBitmap(newImage);
  FreeBitmap(oldImage);
}

TEST_F(PictureLayersTest, AnotherPictureEndsWhatRanOnTheOldOne) {
  DisplayVideoHooks video{};
  video.stop = countStop;
  SetDisplayVideoHooks(&video);
  videoStops = 0;
  ASSERT_EQ(CallWith("DisableLayers", {}), ERR_NONE);
  ASSERT_EQ(CallWith("BeginDoubleBuffer", {}), ERR_NONE);
  ASSERT_NE(AddSpriteInstance(Pic(), 0), nullptr);
  Recorder recorder;
  AsyncDraw* draw = nullptr;
  ASSERT_EQ(AddAsyncDraw(ADF_MOVEOBJECT, Recorder::Draw, nullptr, nullptr, Recorder::Release,
                         nullptr, &recorder, &draw),
            ERR_NONE);
  BGPic* old = Pic();

  ASSERT_EQ(CallWith("DisplayBGPic", {2}), ERR_NONE);
  SetDisplayVideoHooks(nullptr);
  EXPECT_EQ(videoStops, 1);
  EXPECT_EQ(d->doubleBuffer, 0);
  EXPECT_EQ(d->outputKind, OBJECT_DISPLAY);
  EXPECT_EQ(CountSpriteInstances(old), 0);
  EXPECT_EQ(recorder.released, 1);
  EXPECT_EQ(IsAsyncDraw(d), 0);
  // The new picture shows, not the old back buffer.
  EXPECT_EQ(At(50, 50), BLUE);
}

}  // namespace
