// The input commands without a window: key states filled by host
// injection, the waits that end on queued clicks and keys (dispatching
// handlers meanwhile), the queue's time-out on the clock seam, joysticks
// on FIFOs, and the errors of the port and keyboard commands.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "display/context_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "platform/linux/joystick_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime_private.h"
#include "tests/support/harness.h"

namespace {

constexpr uintptr_t WINDOW = 0x5150;

int handlerCalls = 0;
int countCall(VmState*) {
  ++handlerCalls;
  return 0;
}

TimeValue fakeNow = {1000, 0};
void fakeClock(TimeValue* out) { *out = fakeNow; }

class InputTest : public ::testing::Test {
 public:
  struct OptionArg {
    OptionArg(double n) : number(n) {}
    OptionArg(int n) : number(n) {}
    OptionArg(const char* t) : text(t) {}
    double number = 0;
    const char* text = nullptr;
  };
  void SetUp() override {
    ASSERT_EQ(InitEventQueue(), ERR_NONE);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(h.L), ERR_NONE);
    ASSERT_EQ(OpenEventLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
    ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 1}, 0, 0, &display), ERR_NONE);
    SetCurrentDisplay(display);
    display->windowHandle = WINDOW;
    handlerCalls = 0;
  }
  void TearDown() override {
    SetPlatformOption(nullptr, PLATFORM_QUIT_ESCAPE, 0);
    vmRun.quit = 0;
    display->windowHandle = 0;
    SetEventQueueClock(nullptr);
    SetEventExpiryTimeout(60000);
    FreeAllEvents(h.L);
    FreeEventQueue(h.L);
    CloseDisplayLibrary(h.L);
  }

  void Inject(int32_t kind, std::initializer_list<uintptr_t> words) {
    uintptr_t data[8] = {};
    size_t i = 0;
    for (uintptr_t w : words) data[i++] = w;
    ASSERT_EQ(PostHostEvent(h.L, kind, data), ERR_NONE);
  }

  // Calls the command with string or number arguments; its first result
  // as a number in *result.
  ErrorCode Call(const char* name, std::initializer_list<OptionArg> args,
                 double* result = nullptr) {
    VmSetTop(h.L, 0);
    for (const OptionArg& a : args) {
      if (a.text)
        VmPushString(h.L, a.text);
      else
        VmPushNumber(h.L, a.number);
    }
    ErrorCode error = h.Call(name, static_cast<int>(args.size()));
    if (result && error == ERR_NONE) *result = VmToNumber(h.L, -1);
    VmSetTop(h.L, 0);
    return error;
  }

  PlayerHarness h;
  DisplayRecord* display = nullptr;
};

TEST_F(InputTest, IsKeyDownReadsTheKeyStatesByName) {
  Inject(4, {WINDOW, 287, 1, 0});  // F13 pressed
  Inject(4, {WINDOW, 'a', 1, 0});  // a pressed
  Inject(12, {WINDOW, 'A', 1});    // raw A pressed
  Inject(4, {WINDOW, 'b', 1, 0});  // b pressed and released
  Inject(4, {WINDOW, 'b', 0, 0});
  struct Case {
    const char* key;
    int raw;  // -1: no second argument
    ErrorCode error;
    double down;
  };
  const Case cases[] = {
      {"F13", -1, ERR_NONE, 1},       {"f13", -1, ERR_NONE, 1},    {"F14", -1, ERR_NONE, 0},
      {"a", -1, ERR_NONE, 1},         {"A", -1, ERR_NONE, 1},      {"b", -1, ERR_NONE, 0},
      {"A", 1, ERR_NONE, 1},          {"F13", 1, ERR_NONE, 0},     {"LSHIFT", -1, ERR_NONE, 0},
      {"xyz", -1, ERR_WRONGUSAGE, 0}, {"", -1, ERR_WRONGUSAGE, 0}, {"any", -1, ERR_WRONGUSAGE, 0},
  };
  for (const Case& c : cases) {
    double down = -1;
    ErrorCode error =
        c.raw < 0 ? Call("IsKeyDown", {c.key}, &down) : Call("IsKeyDown", {c.key, c.raw}, &down);
    EXPECT_EQ(error, c.error) << c.key;
    if (c.error == ERR_NONE) {
      EXPECT_EQ(down, c.down) << c.key << " raw " << c.raw;
    }
  }
  ASSERT_EQ(Call("ResetKeyStates", {}), ERR_NONE);
  double down = -1;
  ASSERT_EQ(Call("IsKeyDown", {"F13"}, &down), ERR_NONE);
  EXPECT_EQ(down, 0);
}

TEST_F(InputTest, WaitsEndOnQueuedClicksAndKeysAndRunHandlersMeanwhile) {
  VmNewTable(h.L);
  VmPushString(h.L, "onmousedown");
  VmPushCClosure(h.L, countCall, 0);
  VmSetTable(h.L, -3);
  ASSERT_EQ(h.Call("InstallEventHandler", 1), ERR_NONE);
  VmSetTop(h.L, 0);
  // A right click, then a left press and release: the wait takes the left
  // release, and the handler of the left press ran on the way.
  PostEvent(display, EVENT_RIGHTBUTTON, 1, 1, 1, nullptr);
  PostEvent(display, EVENT_RIGHTBUTTON, 1, 1, 0, nullptr);
  PostEvent(display, EVENT_LEFTBUTTON, 1, 1, 1, nullptr);
  PostEvent(display, EVENT_LEFTBUTTON, 1, 1, 0, nullptr);
  ASSERT_EQ(Call("WaitLeftMouse", {}), ERR_NONE);
  EXPECT_EQ(handlerCalls, 1);

  // Keys: "x" goes by, "a" down and up ends the wait; the queue is
  // discarded after it.
  PostEvent(display, EVENT_KEY, 1, 0, 'x', nullptr);
  PostEvent(display, EVENT_KEY, 0, 0, 'x', nullptr);
  PostEvent(display, EVENT_KEY, 1, 0, 'a', nullptr);
  PostEvent(display, EVENT_KEY, 0, 0, 'a', nullptr);
  PostEvent(display, EVENT_KEY, 1, 0, 'q', nullptr);
  ASSERT_EQ(Call("WaitKeyDown", {"A"}), ERR_NONE);
  EventRecord* left = TakeNextEvent(h.L);
  EXPECT_EQ(left, nullptr);
  if (left) ReleaseEventRecord(h.L, left);
  PostEvent(display, EVENT_KEY, 1, 0, 276, nullptr);
  PostEvent(display, EVENT_KEY, 0, 0, 276, nullptr);
  ASSERT_EQ(Call("WaitKeyDown", {"any"}), ERR_NONE);
  EXPECT_EQ(Call("WaitKeyDown", {"nokey"}), ERR_WRONGUSAGE);
}

// Escape injected by the host: with the quit switch on it ends a waiting
// script with 1003; with it off it is a key like any other.
TEST_F(InputTest, InjectedEscapeEndsWaitEventWhenSwitchedOn) {
  Inject(4, {WINDOW, 275, 1, 0});
  EXPECT_EQ(vmRun.quit, 0);
  EventRecord* key = TakeNextEvent(h.L);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->type, EVENT_KEY);
  ReleaseEventRecord(h.L, key);

  ASSERT_EQ(Call("EscapeQuit", {1}), ERR_NONE);
  Inject(4, {WINDOW, 275, 1, 0});
  EXPECT_EQ(Call("WaitEvent", {}), ERR_USERABORT);
}

int32_t quietCallback(QmDisplayCallback*, int32_t, const intptr_t*, void*) { return 0; }

// Without a display adapter too, a size that a display callback asks for
// from another thread is applied by the main thread's next poll.
TEST_F(InputTest, CallbackSizeFromAnotherThreadIsAppliedAtThePoll) {
  NoteHostEventMainThread();
  QmDisplayCallback* r = AddDisplayCallback(1, quietCallback, nullptr, nullptr, 0);
  ASSERT_NE(r, nullptr);
  std::thread other(
      [r] { EXPECT_EQ(ChangeDisplaySizeForCallback(r, 300, 100, nullptr), ERR_NONE); });
  other.join();
  EXPECT_NE(display->width, 300);
  ErrorCode error = ERR_NONE;
  PollEvents(h.L, 2, 0, &error);
  EXPECT_EQ(display->width, 300);
  EXPECT_EQ(display->height, 100);
  RemoveDisplayCallback(r);
}

// A dropped-file list copied from a host is walked only up to its bound:
// a list whose end is missing is cut there and ended (ASan sees any read
// past the caller's buffer). A well-formed list is copied whole.
TEST(DropLists, CopiesAreBoundedAndEnded) {
  std::vector<char> endless((size_t{1} << 20) - 1);
  for (size_t i = 0; i < endless.size(); ++i) endless[i] = i % 2 ? '\0' : 'a';
  char* copy = static_cast<char*>(CopyDropList(endless.data()));
  ASSERT_NE(copy, nullptr);
  size_t names = 0, at = 0;
  while (copy[at]) {
    at += std::strlen(copy + at) + 1;
    ++names;
  }
  EXPECT_LE(at, size_t{1} << 20);
  EXPECT_GT(names, 0u);
  FreeMemory(copy);

  static const char LIST[] = "a.png\0dir/b.png\0";
  copy = static_cast<char*>(CopyDropList(LIST));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::memcmp(copy, LIST, sizeof LIST), 0);
  FreeMemory(copy);
  EXPECT_EQ(CopyDropList(nullptr), nullptr);
}

TEST_F(InputTest, EventTimeoutDropsOldEventsAtTheNextDiscard) {
  SetEventQueueClock(fakeClock);
  ASSERT_EQ(Call("SetEventTimeout", {100}), ERR_NONE);
  PostEvent(display, EVENT_KEY, 1, 0, 'a', nullptr);
  fakeNow.micros += 150000;
  PostEvent(display, EVENT_KEY, 1, 0, 'b', nullptr);
  // Discards run at most every 9 seconds: the last one lies 10 s back.
  displayContext.lastExpiry.seconds -= 10;
  ErrorCode error;
  PollEvents(h.L, 1, 0, &error);
  EventRecord* e = TakeNextEvent(h.L);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->args[2], 'b');
  ReleaseEventRecord(h.L, e);
  // -1 switches the discard off; FreeEventCache empties the queue.
  ASSERT_EQ(Call("SetEventTimeout", {-1}), ERR_NONE);
  EXPECT_LT(GetEventExpiryTimeout(), 0);
  PostEvent(display, EVENT_KEY, 1, 0, 'c', nullptr);
  ASSERT_EQ(Call("FreeEventCache", {}), ERR_NONE);
  EXPECT_EQ(TakeNextEvent(h.L), nullptr);
}

TEST_F(InputTest, PortsAndKeyboardAreRefused) {
  std::string longName(128, 'p');
  std::string longest(127, 'p');
  struct Case {
    const char* name;
    ErrorCode (*run)(InputTest*, const std::string&, const std::string&);
    ErrorCode error;
  };
  const Case cases[] = {
      {"port",
       [](InputTest* t, const std::string&, const std::string&) {
         return t->Call("CreatePort", {"x"});
       },
       ERR_CREATEPORT},
      {"127 bytes",
       [](InputTest* t, const std::string& ok, const std::string&) {
         return t->Call("CreatePort", {ok.c_str()});
       },
       ERR_CREATEPORT},
      {"128 bytes",
       [](InputTest* t, const std::string&, const std::string& bad) {
         return t->Call("CreatePort", {bad.c_str()});
       },
       ERR_WRONGUSAGE},
      {"message",
       [](InputTest* t, const std::string&, const std::string&) {
         return t->Call("SendMessage", {"port", "cmd", "a b"});
       },
       ERR_FINDPORT},
      {"blank command",
       [](InputTest* t, const std::string&, const std::string&) {
         return t->Call("SendMessage", {"port", "c d"});
       },
       ERR_WRONGUSAGE},
      {"empty command",
       [](InputTest* t, const std::string&, const std::string&) {
         return t->Call("SendMessage", {"port", ""});
       },
       ERR_WRONGUSAGE},
      {"show keyboard",
       [](InputTest* t, const std::string&, const std::string&) {
         return t->Call("ShowKeyboard", {});
       },
       ERR_UNSUPPORTEDFEAT},
      {"hide keyboard",
       [](InputTest* t, const std::string&, const std::string&) {
         return t->Call("HideKeyboard", {});
       },
       ERR_UNSUPPORTEDFEAT},
  };
  for (const Case& c : cases) EXPECT_EQ(c.run(this, longest, longName), c.error) << c.name;
}

TEST_F(InputTest, JoystickButtonsAndDirectionFromADevice) {
  char tmpl[] = "/tmp/qmjoyinXXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  std::string device = dir + "/js0";
  ASSERT_EQ(mkfifo(device.c_str(), 0600), 0);
  SetJoystickDevicePrefixes((dir + "/none").c_str(), (dir + "/js").c_str());
  FreeJoysticks();
  double count = -1;
  ASSERT_EQ(Call("CountJoysticks", {}, &count), ERR_NONE);
  EXPECT_EQ(count, 1);
  int fd = open(device.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  auto send = [fd](int16_t value, uint8_t type, uint8_t number) {
    unsigned char rec[8] = {};
    std::memcpy(rec + 4, &value, 2);
    rec[6] = type;
    rec[7] = number;
    ASSERT_EQ(write(fd, rec, 8), 8);
  };
  send(1, 1, 0);       // button 0 down
  send(1, 1, 2);       // button 2 down
  send(-32767, 2, 1);  // up
  send(32767, 2, 0);   // right
  PollJoysticks();
  struct Case {
    const char* name;
    const char* command;
    int button;  // -2: no button argument
    ErrorCode error;
    double result;
  };
  const Case cases[] = {
      {"mask", "JoyFire", 0, ERR_NONE, 5},       {"button 1", "JoyFire", 1, ERR_NONE, 1},
      {"button 2", "JoyFire", 2, ERR_NONE, 0},   {"button 3", "JoyFire", 3, ERR_NONE, 1},
      {"no button", "JoyFire", -2, ERR_NONE, 5}, {"33", "JoyFire", 33, ERR_WRONGUSAGE, 0},
      {"-1", "JoyFire", -1, ERR_WRONGUSAGE, 0},  {"direction", "JoyDir", -2, ERR_NONE, JOYUPRIGHT},
  };
  for (const Case& c : cases) {
    double result = -1;
    ErrorCode error =
        c.button == -2 ? Call(c.command, {0}, &result) : Call(c.command, {0, c.button}, &result);
    EXPECT_EQ(error, c.error) << c.name;
    if (c.error == ERR_NONE) {
      EXPECT_EQ(result, c.result) << c.name;
    }
  }
  EXPECT_EQ(Call("JoyDir", {1}), ERR_NOJOYATPORT);
  close(fd);
  FreeJoysticks();
  SetJoystickDevicePrefixes(nullptr, nullptr);
  unlink(device.c_str());
  rmdir(dir.c_str());
}

}  // namespace
