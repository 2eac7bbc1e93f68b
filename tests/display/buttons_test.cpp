// Buttons on the display's background picture without a window: queued
// presses and releases reach the button's handlers (with the button's
// message fields) or the window's, the newest of overlapping buttons
// wins, a release elsewhere ends a press, and the commands' errors and
// listing.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "display/context_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "runtime/runtime_private.h"
#include "tests/support/harness.h"

namespace {

std::vector<std::string> calls;
// Records "<action>" (or "window:<action>") and keeps the message table.
int recordCall(VmState* L) {
  VmPushString(L, "action");
  VmGetTable(L, 1);
  calls.push_back(VmToString(L, -1));
  VmSetTop(L, -2);
  VmPushString(L, "msg");
  VmPushValue(L, 1);
  VmSetTable(L, VM_GLOBALS_INDEX);
  return 0;
}
int recordWindow(VmState* L) {
  VmPushString(L, "action");
  VmGetTable(L, 1);
  calls.push_back(std::string("window:") + VmToString(L, -1));
  VmSetTop(L, -2);
  return 0;
}

class ButtonsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitEventQueue(), ERR_NONE);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(h.L), ERR_NONE);
    ASSERT_EQ(OpenEventLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
    ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 1}, 0, 0, &display), ERR_NONE);
    SetCurrentDisplay(display);
    ASSERT_NE(display->bgpic, nullptr);
    calls.clear();
    VmNewTable(h.L);
    for (const char* name : {"onmousedown", "onmouseup"}) {
      VmPushString(h.L, name);
      VmPushCClosure(h.L, recordWindow, 0);
      VmSetTable(h.L, -3);
    }
    ASSERT_EQ(h.Call("InstallEventHandler", 1), ERR_NONE);
    VmSetTop(h.L, 0);
  }
  void TearDown() override {
    FreeAllEvents(h.L);
    FreeEventQueue(h.L);
    CloseDisplayLibrary(h.L);
  }

  // MakeButton(id or Nil, type, numbers..., {names = recorder}).
  ErrorCode Make(double id, int32_t type, std::vector<double> numbers,
                 std::vector<const char*> names) {
    VmSetTop(h.L, 0);
    if (id < 0)
      VmPushNil(h.L);
    else
      VmPushNumber(h.L, id);
    VmPushNumber(h.L, type);
    for (double n : numbers) VmPushNumber(h.L, n);
    VmNewTable(h.L);
    for (const char* n : names) {
      VmPushString(h.L, n);
      VmPushCClosure(h.L, recordCall, 0);
      VmSetTable(h.L, -3);
    }
    ErrorCode error = h.Call("MakeButton", static_cast<int>(numbers.size()) + 3);
    return error;
  }
  ErrorCode One(const char* command, double id) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, id);
    ErrorCode error = h.Call(command, 1);
    VmSetTop(h.L, 0);
    return error;
  }
  void Dispatch() {
    for (int i = 0; i < 20; ++i) {
      VmSetTop(h.L, 0);
      ASSERT_EQ(h.Call("CheckEvent", 0), ERR_NONE);
    }
    VmSetTop(h.L, 0);
  }
  double MessageField(const char* key) {
    VmPushString(h.L, "msg");
    VmGetTable(h.L, VM_GLOBALS_INDEX);
    VmPushString(h.L, key);
    VmGetTable(h.L, -2);
    double n = VmToNumber(h.L, -1);
    VmSetTop(h.L, -3);
    return n;
  }

  PlayerHarness h;
  DisplayRecord* display = nullptr;
};

TEST_F(ButtonsTest, PressesAndReleasesReachButtonsOrTheWindow) {
  ASSERT_EQ(Make(1, 0, {10, 10, 40, 20}, {"onmousedown", "onmouseup", "onrightmousedown"}),
            ERR_NONE);
  struct Step {
    int32_t type, x, y, pressed;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"click inside", {{1, 20, 15, 1}, {1, 20, 15, 0}}, {"OnMouseDown", "OnMouseUp"}},
      {"corners", {{1, 10, 10, 1}, {1, 49, 29, 0}}, {"OnMouseDown", "OnMouseUp"}},
      {"outside", {{1, 50, 15, 1}, {1, 50, 15, 0}}, {"window:OnMouseDown", "window:OnMouseUp"}},
      {"released elsewhere",
       {{1, 20, 15, 1}, {1, 60, 60, 0}, {1, 20, 15, 0}},
       {"OnMouseDown", "window:OnMouseUp", "window:OnMouseUp"}},
      {"release without press", {{1, 20, 15, 0}}, {"window:OnMouseUp"}},
      {"right has no up handler", {{2, 20, 15, 1}, {2, 20, 15, 0}}, {"OnRightMouseDown"}},
  };
  for (const Case& c : cases) {
    calls.clear();
    for (const Step& s : c.steps) PostEvent(display, s.type, s.x, s.y, s.pressed, nullptr);
    Dispatch();
    EXPECT_EQ(calls, c.expected) << c.name;
  }
  PostEvent(display, 1, 20, 15, 1, nullptr);
  Dispatch();
  EXPECT_EQ(MessageField("id"), 1);
  EXPECT_EQ(MessageField("x"), 10);
  EXPECT_EQ(MessageField("y"), 10);
  EXPECT_EQ(MessageField("width"), 40);
  EXPECT_EQ(MessageField("height"), 20);
  EXPECT_EQ(MessageField("mousedown"), 1);
  EXPECT_EQ(MessageField("display"), 1);

  // The newest of two overlapping buttons takes the press; a disabled one
  // takes nothing.
  ASSERT_EQ(Make(2, 0, {0, 0, 100, 100}, {"onmouseup"}), ERR_NONE);
  calls.clear();
  PostEvent(display, 1, 20, 15, 0, nullptr);
  Dispatch();
  // 2 was not pressed: the release ends the earlier press on 1.
  EXPECT_EQ(calls, std::vector<std::string>{"OnMouseUp"});
  EXPECT_EQ(MessageField("id"), 1);
  PostEvent(display, 1, 20, 15, 1, nullptr);
  PostEvent(display, 1, 20, 15, 0, nullptr);
  calls.clear();
  Dispatch();
  // 2 has no down handler: the press goes on to 1; the release goes to 2.
  EXPECT_EQ(calls, (std::vector<std::string>{"OnMouseDown", "OnMouseUp"}));
  EXPECT_EQ(MessageField("id"), 2);
  ASSERT_EQ(One("DisableButton", 2), ERR_NONE);
  ASSERT_EQ(One("DisableButton", 1), ERR_NONE);
  calls.clear();
  PostEvent(display, 1, 20, 15, 1, nullptr);
  Dispatch();
  EXPECT_EQ(calls, std::vector<std::string>{"window:OnMouseDown"});
}

TEST_F(ButtonsTest, CommandErrorsAndListing) {
  ASSERT_EQ(Make(-1, 0, {5, 6, 7, 8}, {"onmouseup"}), ERR_NONE);
  ASSERT_EQ(VmType(h.L, -1), VM_TYPE_LIGHTUSERDATA);
  VmPushValue(h.L, -1);
  VmRef stale = VmCreateReference(h.L, VM_REGISTRY_INDEX);
  VmSetTop(h.L, 0);
  VmRawGetI(h.L, VM_REGISTRY_INDEX, stale);
  ASSERT_EQ(h.Call("DeleteButton", 1), ERR_NONE);
  VmSetTop(h.L, 0);
  VmRawGetI(h.L, VM_REGISTRY_INDEX, stale);
  EXPECT_EQ(h.Call("DeleteButton", 1), ERR_FINDARRAY);
  VmSetTop(h.L, 0);
  VmReleaseReference(h.L, VM_REGISTRY_INDEX, stale);

  struct Case {
    const char* name;
    int32_t type;
    std::vector<double> numbers;
    std::vector<const char*> names;
    ErrorCode error;
  };
  const Case cases[] = {
      {"no handler name", 0, {1, 1, 5, 5}, {"onclick"}, ERR_WRONGUSAGE},
      {"width 0", 0, {1, 1, 0, 5}, {"onmouseup"}, ERR_WRONGUSAGE},
      {"height -1", 0, {1, 1, 5, -1}, {"onmouseup"}, ERR_WRONGUSAGE},
      {"unknown type", 2, {1, 1, 5, 5}, {"onmouseup"}, ERR_WRONGUSAGE},
      {"no such layer", 1, {3, 0, 0}, {"onmouseup"}, ERR_LAYERRANGE},
  };
  for (const Case& c : cases) EXPECT_EQ(Make(7, c.type, c.numbers, c.names), c.error) << c.name;
  EXPECT_EQ(One("DeleteButton", 7), ERR_FINDBUTTON);
  char text[128];
  GetErrorText(ERR_FINDBUTTON, text, sizeof text);
  EXPECT_STREQ(text, "Could not find button 7!");
  EXPECT_EQ(One("EnableButton", 7), ERR_FINDBUTTON);

  ASSERT_EQ(Make(3, 0, {1, 2, 10, 20}, {"onmouseup"}), ERR_NONE);
  ASSERT_EQ(Make(4, 0, {-100000, 0, 10, 10}, {"onmouseup"}), ERR_NONE);  // centred
  std::string out;
  ::testing::internal::CaptureStdout();
  VmSetTop(h.L, 0);
  ASSERT_EQ(h.Call("DumpButtons", 0), ERR_NONE);
  out = ::testing::internal::GetCapturedStdout();
  std::string masked = std::regex_replace(out, std::regex("\\(0x[0-9a-f]+\\)"), "(%p)");
  masked = std::regex_replace(masked, std::regex("sizeof\\(qmBGPicButton\\): \\d+"),
                              "sizeof(qmBGPicButton): N");
  int32_t cx = (display->bgpic->width - 10) / 2;
  EXPECT_EQ(masked, "BUTTON SYSTEM INFO - BGPIC: " + std::to_string(display->bgpic->head.number) +
                        " (%p)\nsizeof(qmBGPicButton): N\nButtons: 2\n(4) Type: 0 - X1: " +
                        std::to_string(cx) + " - Y1: 0 - X2: " + std::to_string(cx + 9) +
                        " - Y2: 9\n(3) Type: 0 - X1: 1 - Y1: 2 - X2: 10 - Y2: 21\n");

  // With a brush as output every button command is refused.
  display->outputKind = OBJECT_BRUSH;
  EXPECT_EQ(Make(5, 0, {1, 1, 5, 5}, {"onmouseup"}), ERR_BGPICBUTTON);
  EXPECT_EQ(One("DeleteButton", 3), ERR_BGPICBUTTON);
  EXPECT_EQ(One("EnableButton", 3), ERR_BGPICBUTTON);
  EXPECT_EQ(One("DisableButton", 3), ERR_BGPICBUTTON);
  VmSetTop(h.L, 0);
  EXPECT_EQ(h.Call("DumpButtons", 0), ERR_BGPICBUTTON);
  display->outputKind = OBJECT_DISPLAY;
}

}  // namespace
