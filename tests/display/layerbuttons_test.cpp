// Buttons bound to layers: the button covers where its layer is shown, so
// it follows the layer when it moves; it is hit on a hidden layer only with
// its switch set; its message names the layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "display/event_private.h"
#include "runtime/runtime_private.h"
#include "tests/display/layer_fixture.h"

namespace {

struct Seen {
  std::string action;
  double layer, x, y, width;
  std::string layerName;
};
std::vector<Seen> calls;

double field(VmState* L, const char* key) {
  VmPushString(L, key);
  VmGetTable(L, 1);
  double n = VmToNumber(L, -1);
  VmSetTop(L, -2);
  return n;
}
std::string text(VmState* L, const char* key) {
  VmPushString(L, key);
  VmGetTable(L, 1);
  std::string s = VmType(L, -1) == VM_TYPE_STRING ? VmToString(L, -1) : "(none)";
  VmSetTop(L, -2);
  return s;
}
int recordButton(VmState* L) {
  calls.push_back({text(L, "action"), field(L, "layer"), field(L, "x"), field(L, "y"),
                   field(L, "width"), text(L, "layername")});
  return 0;
}
int recordWindow(VmState* L) {
  calls.push_back({"window:" + text(L, "action"), 0, 0, 0, 0, ""});
  return 0;
}

class LayerButtonsTest : public LayerFixture {
 protected:
  void SetUp() override {
    LayerFixture::SetUp();
    ASSERT_EQ(InitEventQueue(), ERR_NONE);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenEventLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
    calls.clear();
    VmNewTable(L);
    VmPushString(L, "onmousedown");
    VmPushCClosure(L, recordWindow, 0);
    VmSetTable(L, -3);
    ASSERT_EQ(Call("InstallEventHandler", 1), ERR_NONE);
  }
  void TearDown() override {
    FreeAllEvents(L);
    FreeEventQueue(L);
    LayerFixture::TearDown();
  }

  // MakeButton(id, LAYERBUTTON, layer, hidden switch, 0, {onmousedown}).
  ErrorCode MakeLayerButton(int32_t id, int32_t layer, int32_t hiddenSwitch) {
    VmSetTop(L, 0);
    for (double n : {double(id), 1.0, double(layer), double(hiddenSwitch), 0.0}) VmPushNumber(L, n);
    VmNewTable(L);
    VmPushString(L, "onmousedown");
    VmPushCClosure(L, recordButton, 0);
    VmSetTable(L, -3);
    return Call("MakeButton", 6);
  }
  // A left press at the picture point; who took it.
  std::string Press(int32_t x, int32_t y) {
    calls.clear();
    PostEvent(d, 1, x, y, 1, nullptr);
    for (int i = 0; i < 5; ++i) {
      VmSetTop(L, 0);
      EXPECT_EQ(Call("CheckEvent", 0), ERR_NONE);
    }
    VmSetTop(L, 0);
    if (calls.size() != 1) return "calls: " + std::to_string(calls.size());
    return calls[0].action;
  }
};

TEST_F(LayerButtonsTest, ButtonFollowsItsLayerAndItsHiddenSwitch) {
  Show(1, 20, 10, 0xFF0000, 30, 40);
  Show(2, 20, 10, 0x00FF00, 100, 80);
  ASSERT_EQ(CallWith("SetLayerName", {2, "green"}), ERR_NONE);
  ASSERT_EQ(MakeLayerButton(1, 1, 0), ERR_NONE);
  ASSERT_EQ(MakeLayerButton(2, 2, 1), ERR_NONE);
  // A layer holds one button at most; the same identifier replaces it.
  EXPECT_EQ(MakeLayerButton(3, 1, 0), ERR_WRONGUSAGE);
  EXPECT_EQ(MakeLayerButton(1, 1, 0), ERR_NONE);

  struct Case {
    const char* step;
    int32_t x, y;
    const char* taker;
  };
  EXPECT_EQ(Press(30, 40), "OnMouseDown");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].layer, 1);
  EXPECT_EQ(calls[0].layerName, "");
  EXPECT_EQ(calls[0].x, 30);
  EXPECT_EQ(calls[0].y, 40);
  EXPECT_EQ(calls[0].width, 20);
  EXPECT_EQ(Press(119, 89), "OnMouseDown");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].layer, 2);
  EXPECT_EQ(calls[0].layerName, "green");

  ASSERT_EQ(CallWith("TranslateLayer", {1, 10, 20}), ERR_NONE);
  ASSERT_EQ(CallWith("HideLayer", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("HideLayer", {2}), ERR_NONE);
  const Case hidden[] = {
      {"layer 1 hidden, no switch", 45, 65, "window:OnMouseDown"},
      {"layer 2 hidden, switch set", 100, 80, "OnMouseDown"},
  };
  for (const Case& c : hidden) EXPECT_EQ(Press(c.x, c.y), c.taker) << c.step;

  ASSERT_EQ(CallWith("ShowLayer", {1}), ERR_NONE);
  const Case moved[] = {
      {"where layer 1 was", 30, 40, "window:OnMouseDown"},
      {"moved top-left", 40, 60, "OnMouseDown"},
      {"moved bottom-right", 59, 69, "OnMouseDown"},
      {"just past it", 60, 69, "window:OnMouseDown"},
  };
  for (const Case& c : moved) EXPECT_EQ(Press(c.x, c.y), c.taker) << c.step;

  // Removing the layer removes its button.
  ASSERT_EQ(CallWith("RemoveLayer", {1}), ERR_NONE);
  EXPECT_EQ(CallWith("DeleteButton", {1}), ERR_FINDBUTTON);
}

}  // namespace
