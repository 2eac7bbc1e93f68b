// Every waiting command ends the run within one poll when the window is
// asked to close (with no "closewindow" handler) or Escape is pressed with
// EscapeQuit on, as WaitEvent does: the command gives ERR_USERABORT and the
// quit flag is set, long before its wait would be over. The requests come
// as host events of the test display adapter's window: before the call for
// the waits that the adapter ends at once (its sleeps and frame waits
// return at once), from another thread while the command waits otherwise.
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "display/display.h"
#include "fx/fx.h"
#include "libs/libs.h"
#include "media/media.h"
#include "tests/gfx/display_fixture.h"

using namespace gfxtest;

namespace {

class QuitWaits : public DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    if (HasFatalFailure()) return;
    for (ErrorCode (*open)(VmState*) :
         {OpenEventLibrary, OpenSystemLibrary, OpenDosLibrary, OpenSoundLibrary, OpenAnimLibrary,
          OpenNetworkLibrary, OpenTransitionFXLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    // The audio adapter installs itself when the applet requires it.
    Preloading(1);
    ASSERT_EQ(LoadPluginFile(L, "testaudio", 0, 0, 0, 0, 0), ERR_NONE);
    Preloading(0);
    inject = Symbol<int32_t (*)(VmState*, int32_t, const uintptr_t*)>("TestDisplayInject");
    ASSERT_NE(inject, nullptr);
    OpenDisplay(64, 48);
  }
  // Sound plays on the test audio adapter.
  void InstallMore() override { Install("testaudio"); }
  void TearDown() override {
    if (listener >= 0) close(listener);
    vmRun.quit = 0;
    SetPlatformOption(nullptr, PLATFORM_QUIT_ESCAPE, 0);
    FreeAllAnims(L);
    DisplayTest::TearDown();
  }

  // A close request, or Escape pressed, on the display's window.
  void Request(bool close) {
    const uintptr_t handle = d->windowHandle;
    const uintptr_t closeWords[] = {handle};
    const uintptr_t escapeWords[] = {handle, 275, 1, 0};
    EXPECT_EQ(inject(L, close ? 5 : 4, close ? closeWords : escapeWords), ERR_NONE);
  }

  // A loopback port that accepts connections and never sends.
  int32_t Listen() {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(listener, 4), 0);
    EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    return ntohs(address.sin_port);
  }

  int32_t (*inject)(VmState*, int32_t, const uintptr_t*) = nullptr;
  int listener = -1;
};

TEST_F(QuitWaits, CloseRequestOrQuitKeyEndsEveryWait) {
  struct Case {
    const char* name;
    std::vector<Value> args;
    bool before;                  // the request comes before the call
    std::function<void()> setUp;  // what the wait needs
  };
  const Case cases[] = {
      {"Wait", {30, 0}, true, nullptr},  // 30 seconds
      {"WaitTimer", {1, 30000}, true, [this] { ASSERT_EQ(CallWith("StartTimer", {1}), ERR_NONE); }},
      {"VWait", {}, true, nullptr},
      {"DisplayTransitionFX",
       {2, 115, 1},
       true,
       [this] {
         ASSERT_EQ(CallWith("CreateBGPic", {2, 64, 48}), ERR_NONE);
       }},
      {"WaitEvent", {}, false, nullptr},
      {"WaitLeftMouse", {}, false, nullptr},
      {"WaitKeyDown", {"a"}, false, nullptr},
      {"WhileKeyDown",
       {},
       false,
       [this] {
         const uintptr_t held[] = {d->windowHandle, 'a', 1, 0};
         ASSERT_EQ(inject(L, 4, held), ERR_NONE);
       }},
      {"PlayAnim",  // an anim of two frames of 10 seconds each, played for ever
       {1, 0, 0, Value::Table({{"speed", 10000}, {"times", 0}})},
       false,
       [this] {
         ASSERT_EQ(CallWith("CreateBrush", {3, 16, 8}), ERR_NONE);
         ASSERT_EQ(CallWith("CreateAnim", {1, 3, 8, 8, 2, 2}), ERR_NONE);
       }},
      {"WaitSampleEnd",  // a sample looped for ever
       {1},
       false,
       [this] {
         ASSERT_EQ(CallWith("CreateSample", {1, Value::List({3, 5, 3, 1}), 8000}), ERR_NONE);
         ASSERT_EQ(CallWith("PlaySample", {1, 0}), ERR_NONE);
       }},
      {"ReceiveData",  // a line from a peer that sends nothing (time-out 60 seconds)
       {1, 2},
       false,
       [this] {
         ASSERT_EQ(CallWith("SetNetworkTimeout", {60000}), ERR_NONE);
         ASSERT_EQ(CallWith("OpenConnection", {1, "127.0.0.1", Listen()}), ERR_NONE);
       }},
      {"Execute", {"sleep 30"}, false, nullptr},
  };
  for (const Case& c : cases) {
    if (c.setUp) c.setUp();
    if (HasFatalFailure()) return;
    for (bool close : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (close ? ", close request" : ", Escape"));
      ASSERT_EQ(CallWith("EscapeQuit", {!close}), ERR_NONE);
      if (c.before) Request(close);
      std::thread late;
      if (!c.before)
        late = std::thread([this, close] {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          Request(close);
        });
      auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(CallWith(c.name, c.args), ERR_USERABORT);
      auto took = std::chrono::steady_clock::now() - start;
      if (late.joinable()) late.join();
      EXPECT_LT(took, std::chrono::seconds(10));
      EXPECT_EQ(vmRun.quit, 1);
      // The next case starts afresh: no quit, no queued event (a key held
      // for WhileKeyDown stays held).
      vmRun.quit = 0;
      ASSERT_EQ(CallWith("FreeEventCache", {}), ERR_NONE);
    }
  }
}

}  // namespace
