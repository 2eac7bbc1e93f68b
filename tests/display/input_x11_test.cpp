// The input commands on a real window under Xvfb, driven by xdotool: the
// pointer as MouseX, MouseY and the bitmap attributes 6 and 7 give it on a
// scaled display, waits for a click and a key, the shift qualifier, and the
// Escape quit switch.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "display/display.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "gfx/gfx.h"
#include "display/context_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime_private.h"
#include "tests/display/display_fixture.h"
#include "tests/support/harness.h"

namespace {

class InputX11Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shared = new DisplayTestServer("640x480x24"); }
  static void TearDownTestSuite() {
    delete shared;
    shared = nullptr;
  }
  static DisplayTestServer* shared;

  void SetUp() override {
    ASSERT_TRUE(shared->running());
    setenv("DISPLAY", shared->name().c_str(), 1);
    SetNoPointerThread(1);
    ASSERT_EQ(InitEventQueue(), ERR_NONE);
    ASSERT_EQ(OpenX11Connection(), ERR_NONE);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(h.L), ERR_NONE);
    ASSERT_EQ(OpenEventLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, 1);
    PushOptions(h.L, {{"width", 100}, {"height", 80}, {"scalefactor", 2}});
    ASSERT_EQ(h.Call("CreateDisplay", 2), ERR_NONE);
    VmSetTop(h.L, 0);
    ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
    display = GetCurrentDisplay();
    ASSERT_NE(display, nullptr);
    window = std::to_string(GetDisplayWindowId(display));
    ASSERT_NE(window, "0");
  }
  void TearDown() override {
    SetPlatformOption(nullptr, PLATFORM_QUIT_ESCAPE, 0);
    vmRun.quit = 0;
    FreeAllEvents(h.L);
    CloseDisplayLibrary(h.L);
    FreeEventQueue(h.L);
    CloseX11Connection();
    SetNoPointerThread(0);
    unsetenv("DISPLAY");
  }

  double Number(const char* command, const char* arg = nullptr) {
    VmSetTop(h.L, 0);
    if (arg) VmPushString(h.L, arg);
    EXPECT_EQ(h.Call(command, arg ? 1 : 0), ERR_NONE) << command;
    double n = VmToNumber(h.L, -1);
    VmSetTop(h.L, 0);
    return n;
  }

  // Runs xdotool after a short delay on another thread while the command
  // waits; the command's error.
  ErrorCode WhileXdotool(const char* command, const std::vector<std::string>& arguments) {
    std::thread tool([&] {
      usleep(200000);
      std::vector<std::string> argv = {"xdotool"};
      argv.insert(argv.end(), arguments.begin(), arguments.end());
      shared->run(argv);
    });
    VmSetTop(h.L, 0);
    ErrorCode error = h.Call(command, 0);
    tool.join();
    return error;
  }

  void Pump() {
    for (int i = 0; i < 20; ++i) {
      ErrorCode error;
      PollEvents(h.L, 2, 0, &error);
      usleep(5000);
    }
  }

  PlayerHarness h;
  DisplayRecord* display = nullptr;
  std::string window;
};
DisplayTestServer* InputX11Test::shared = nullptr;

TEST_F(InputX11Test, PointerIsTakenInTheWindowAndDividedByTheScale) {
  ASSERT_EQ(display->width, 200);
  shared->run({"xdotool", "mousemove", "--window", window, "40", "30"});
  EXPECT_EQ(Number("MouseX"), 20);
  EXPECT_EQ(Number("MouseY"), 15);
  const auto* handle = reinterpret_cast<const BitmapHandle*>(display);
  EXPECT_EQ(GetBitmapAttr(handle, 6), 40);
  EXPECT_EQ(GetBitmapAttr(handle, 7), 30);
}

TEST_F(InputX11Test, WaitsReturnAfterAClickAndAKey) {
  EXPECT_EQ(
      WhileXdotool("WaitLeftMouse", {"mousemove", "--window", window, "10", "10", "click", "1"}),
      ERR_NONE);
  VmPushString(h.L, "a");
  std::thread tool([&] {
    usleep(200000);
    shared->run({"xdotool", "key", "--window", window, "a"});
  });
  EXPECT_EQ(h.Call("WaitKeyDown", 1), ERR_NONE);
  tool.join();
}

TEST_F(InputX11Test, ShiftIsReadFromTheQualifiersAndEscapeQuitsWhenSwitchedOn) {
  shared->run({"xdotool", "keydown", "--window", window, "Shift_L"});
  Pump();
  EXPECT_EQ(Number("IsKeyDown", "LSHIFT"), 1);
  EXPECT_EQ(Number("IsKeyDown", "RSHIFT"), 0);
  shared->run({"xdotool", "keyup", "--window", window, "Shift_L"});
  Pump();
  EXPECT_EQ(Number("IsKeyDown", "LSHIFT"), 0);

  VmPushNumber(h.L, 1);
  ASSERT_EQ(h.Call("EscapeQuit", 1), ERR_NONE);
  VmSetTop(h.L, 0);
  shared->run({"xdotool", "key", "--window", window, "Escape"});
  int stopped = 0;
  for (int i = 0; i < 100 && !stopped; ++i) {
    ErrorCode error;
    stopped = PollEvents(h.L, 2, 0, &error);
    usleep(5000);
  }
  EXPECT_EQ(stopped, 1);
  EXPECT_EQ(vmRun.quit, 1);
}

// A named key above code 255 keeps its state: F13 is entry 287. The test
// server's keymap has no F13, so a spare keycode gets it first.
TEST_F(InputX11Test, NamedKeysAbove255KeepTheirState) {
  shared->run({"xmodmap", "-e", "keycode 191 = F13"});
  shared->run({"xdotool", "keydown", "--window", window, "F13"});
  Pump();
  EXPECT_EQ(display->keyStates[287], 1);
  EXPECT_EQ(Number("IsKeyDown", "F13"), 1);
  shared->run({"xdotool", "keyup", "--window", window, "F13"});
  Pump();
  EXPECT_EQ(display->keyStates[287], 0);
}

int recordButton(VmState* L) {
  VmPushString(L, "msg");
  VmPushValue(L, 1);
  VmSetTable(L, VM_GLOBALS_INDEX);
  return 0;
}

TEST_F(InputX11Test, PointerEntersAndLeavesAButton) {
  VmPushNumber(h.L, 1);
  VmPushNumber(h.L, 0);  // SIMPLEBUTTON
  for (int n : {10, 10, 40, 20}) VmPushNumber(h.L, n);
  VmNewTable(h.L);
  for (const char* name : {"onmouseover", "onmouseout"}) {
    VmPushString(h.L, name);
    VmPushCClosure(h.L, recordButton, 0);
    VmSetTable(h.L, -3);
  }
  ASSERT_EQ(h.Call("MakeButton", 7), ERR_NONE);
  VmSetTop(h.L, 0);
  struct Case {
    const char* x;
    const char* y;
    const char* action;
  };
  // The display is scaled by 2: the picture's 20, 15 is the window's 40, 30.
  const Case cases[] = {{"40", "30", "OnMouseOver"}, {"150", "150", "OnMouseOut"}};
  for (const Case& c : cases) {
    shared->run({"xdotool", "mousemove", "--window", window, c.x, c.y});
    std::string action;
    for (int i = 0; i < 50 && action.empty(); ++i) {
      VmSetTop(h.L, 0);
      ASSERT_EQ(h.Call("CheckEvent", 0), ERR_NONE);
      VmPushString(h.L, "action");
      VmGetTable(h.L, 1);
      action = VmToString(h.L, -1);
      usleep(5000);
    }
    EXPECT_EQ(action, c.action);
  }
  VmSetTop(h.L, 0);
  VmPushString(h.L, "msg");
  VmGetTable(h.L, VM_GLOBALS_INDEX);
  for (auto [key, value] : {std::pair<const char*, double>{"id", 1},
                            {"x", 10},
                            {"y", 10},
                            {"width", 40},
                            {"height", 20},
                            {"display", 1}}) {
    VmPushString(h.L, key);
    VmGetTable(h.L, 1);
    EXPECT_EQ(VmToNumber(h.L, -1), value) << key;
    VmSetTop(h.L, 1);
  }
  VmSetTop(h.L, 0);
}

int breakWhileMouseOn(VmState* L) {
  VmPushString(L, "breakwhilemouseon");
  VmGetTable(L, VM_GLOBALS_INDEX);
  VmCall(L, 0, 0);
  return 0;
}

// A legacy button reports the pointer over it at its label once, when the
// pointer enters (the display is scaled by 2); WhileMouseOn waits until
// the pointer leaves it and returns at once when it is over none.
TEST_F(InputX11Test, LegacyButtonReportsThePointerOverItAndWhileMouseOnWaitsForItToLeave) {
  // CheckEvent, then a label subroutine at 3 that sets "hit".
  const std::string program =
      "GETGLOBAL 0, \"checkevent\"\n"
      "CALL 0, 1, 1\n"
      "RETURN 0, 1\n"
      "LOADNUM 1, 1\n"
      "SETGLOBAL 1, \"hit\"\n"
      "RETURN 0, 1, 1\n";
  auto hits = [&](int rounds) {
    int n = 0;
    for (int i = 0; i < rounds; ++i) {
      VmPushString(h.L, "hit");
      VmPushNil(h.L);
      VmSetTable(h.L, VM_GLOBALS_INDEX);
      EXPECT_EQ(h.Run(program), ERR_NONE);
      VmPushString(h.L, "hit");
      VmGetTable(h.L, VM_GLOBALS_INDEX);
      n += VmType(h.L, -1) == VM_TYPE_NUMBER ? 1 : 0;
      VmSetTop(h.L, 0);
      usleep(5000);
    }
    return n;
  };
  VmSetTop(h.L, 0);
  for (int n : {1, 10, 10, 50, 50}) VmPushNumber(h.L, n);
  ASSERT_EQ(h.Call("CreateButton", 5), ERR_NONE);
  VmSetTop(h.L, 0);
  VmAddLabel(h.L, "ONBUTTONOVER1", 3);
  shared->run({"xdotool", "mousemove", "--window", window, "150", "150"});
  EXPECT_EQ(hits(5), 0);
  shared->run({"xdotool", "mousemove", "--window", window, "40", "40"});
  EXPECT_EQ(hits(20), 1) << "reported once while the pointer stays";
  ASSERT_NE(displayContext.legacyOver, nullptr);  // so only leaving ends the wait

  // A handler's BreakWhileMouseOn ends the wait while the pointer stays. A
  // wait that missed it would end only when the pointer is moved out, ten
  // seconds on.
  VmNewTable(h.L);
  VmPushString(h.L, "onmousedown");
  VmPushCClosure(h.L, breakWhileMouseOn, 0);
  VmSetTable(h.L, -3);
  ASSERT_EQ(h.Call("InstallEventHandler", 1), ERR_NONE);
  VmSetTop(h.L, 0);
  std::atomic<bool> returned{false};
  std::thread tool([&] {
    usleep(200000);
    shared->run({"xdotool", "click", "1"});
    for (int i = 0; i < 1000 && !returned; ++i) usleep(10000);
    if (!returned) shared->run({"xdotool", "mousemove", "--window", window, "150", "150"});
  });
  EXPECT_EQ(h.Call("WhileMouseOn", 0), ERR_NONE);
  returned = true;
  tool.join();
  EXPECT_EQ(Number("MouseX"), 20) << "ended by the handler, not by leaving";

  EXPECT_EQ(WhileXdotool("WhileMouseOn", {"mousemove", "--window", window, "150", "150"}),
            ERR_NONE);
  VmSetTop(h.L, 0);
  EXPECT_EQ(h.Call("WhileMouseOn", 0), ERR_NONE);  // over no button: at once
  VmSetTop(h.L, 0);
  VmAddLabel(h.L, "ONBUTTONOVER1", -1);

  // With the ALL report on, entering jumps to ONBUTTONOVERALL and the
  // button's identifier is the event code.
  for (int n : {13, 0}) VmPushNumber(h.L, n);
  ASSERT_EQ(h.Call("EnableEvent", 2), ERR_NONE);
  VmSetTop(h.L, 0);
  VmAddLabel(h.L, "ONBUTTONOVERALL", 3);
  EXPECT_EQ(hits(3), 0);  // a round with the pointer outside notes the leave
  shared->run({"xdotool", "mousemove", "--window", window, "40", "40"});
  EXPECT_EQ(hits(20), 1);
  EXPECT_EQ(Number("GetEventCode"), 1);
  VmAddLabel(h.L, "ONBUTTONOVERALL", -1);
}

}  // namespace
