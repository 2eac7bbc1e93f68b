// What the layers library answers to the lower libraries once it is open:
// clip regions that layers still draw through, layer names in option
// tables and the data items scripts attach to layers.
#include "engine/engine_private.h"
#include "libs/libs_private.h"
#include "tests/display/layer_fixture.h"

namespace {

constexpr uint32_t RED = 0xFF0000;

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

}  // namespace
