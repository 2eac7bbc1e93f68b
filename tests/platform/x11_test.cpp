// The X11 connection under a private Xvfb: pixel formats per depth, the
// desktop scale factor from Xft.dpi, the pointer-watch wake-up, shared and
// separate connection records, waits on events Xlib already holds, X errors
// as codes, and a close that joins every thread.
#include <gtest/gtest.h>

#include <atomic>
#include <dirent.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "gfx/gfx.h"
#include "gfx/bitmap_private.h"
#include "platform/linux/system_private.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/x11calls_private.h"
#include "tests/platform/xvfb.h"

namespace {

// Threads of this process, counted after a first thread has let runtime
// helpers (a sanitizer's background thread) start.
int threadCount() {
  static bool settled = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)settled;
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return -1;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') count++;
  closedir(dir);
  return count;
}

// Runs the wait with a watchdog that ends it after 10 s; true when the wait
// returned without the watchdog's help.
bool waitReturnsByItself() {
  std::atomic<bool> done{false}, fired{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 1000 && !done; i++) usleep(10000);
    if (!done) {
      fired = true;
      SendWakeMessage(WAKE_EVENT, 0);
    }
  });
  WaitForEvents(nullptr, 0);
  done = true;
  watchdog.join();
  return !fired;
}

void drainWakePipe() {
  while (ReadWakeMessages(nullptr) != 0) {
  }
}

// Reads wake messages for up to 10 s until one of the kind has come.
bool awaitWake(int kind) {
  for (int i = 0; i < 1000; i++) {
    if (ReadWakeMessages(nullptr) & (1u << kind)) return true;
    usleep(10000);
  }
  return false;
}

TEST(X11, PixelFormatOfEachDepth) {
  struct Case {
    int depth;
    int32_t expected;  // a pixel format, or the error of the connection
    int bits;          // the built-in driver's screen depth afterwards
  };
  const Case cases[] = {{24, 10, 32}, {16, 4, 16}, {15, ERR_PIXELFORMAT, 32}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.depth);
    TestXServer server(c.depth);
    ASSERT_TRUE(server.running());
    // The first connection of a process fixes the format: one process per depth.
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    pid_t child = fork();
    if (child == 0) {
      X11ConnectionRecord* connection = nullptr;
      SetNoPointerThread(1);
      int unconfigured = GetNativeScreenDepth();
      int32_t answer = GetX11Connection(server.name().c_str(), &connection);
      if (answer == ERR_NONE) answer = GetX11PixelFormat(connection);
      // New software bitmaps take the server's format.
      if (answer >= 0 && answer < 1000 &&
          (QueryNativePixelFormat(server.name().c_str()) != answer ||
           GetSoftBitmapFormat() != static_cast<uint32_t>(answer)))
        answer = -2;
      // The screen depth follows the fixed format, and 32 bits without one.
      if (unconfigured != 32 || GetNativeScreenDepth() != c.bits) answer = -3;
      CloseX11Connection();
      if (GetNativeScreenDepth() != 32) answer = -4;
      ssize_t ignored = write(result[1], &answer, sizeof answer);
      (void)ignored;
      _exit(0);
    }
    close(result[1]);
    int32_t answer = -999;
    EXPECT_EQ(read(result[0], &answer, sizeof answer), static_cast<ssize_t>(sizeof answer));
    close(result[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(answer, c.expected);
  }
}

TEST(X11, ScaleFactorFollowsXftDpi) {
  TestXServer server(24);
  ASSERT_TRUE(server.running());
  setenv("DISPLAY", server.name().c_str(), 1);
  double scale = 0;
  ASSERT_EQ(OpenX11Connection(), ERR_NONE);
  GetDpiScaleFactor(&scale);
  EXPECT_EQ(scale, 1.0);
  CloseX11Connection();
  ASSERT_EQ(server.run({"xrdb", "-merge"}, "Xft.dpi: 192\n"), 0);
  ASSERT_EQ(OpenX11Connection(), ERR_NONE);
  GetDpiScaleFactor(&scale);
  EXPECT_EQ(scale, 2.0);
  CloseX11Connection();
  unsetenv("DISPLAY");
}

TEST(X11, PointerMoveWakesTheWaitAndCloseJoinsEveryThread) {
  TestXServer server(24);
  ASSERT_TRUE(server.running());
  ASSERT_EQ(CreateWakePipe(nullptr, nullptr), 1);
  ASSERT_EQ(server.run({"xdotool", "mousemove", "200", "100"}), 0);
  SetNoPointerThread(0);
  int before = threadCount();
  X11ConnectionRecord* first = nullptr;
  X11ConnectionRecord* again = nullptr;
  ASSERT_EQ(GetX11Connection(server.name().c_str(), &first), ERR_NONE);
  ASSERT_EQ(GetX11Connection(server.name().c_str(), &again), ERR_NONE);
  EXPECT_EQ(first, again);
  EXPECT_EQ(threadCount(), before + 1);
  // The watcher's first look finds the pointer at (200, 100), away from
  // where its record starts (0, 0), and wakes the wait: not the wake-up
  // tested here.
  ASSERT_TRUE(awaitWake(WAKE_POINTER));
  drainWakePipe();
  ASSERT_EQ(server.run({"xdotool", "mousemove", "123", "45"}), 0);
  EXPECT_TRUE(waitReturnsByItself());
  X11ConnectionRecord* moved = nullptr;
  EXPECT_NE(ReadWakeMessages(&moved) & (1u << WAKE_POINTER), 0u);
  EXPECT_EQ(moved, first);
  // Another name for the same server is a connection of its own.
  X11ConnectionRecord* second = nullptr;
  ASSERT_EQ(GetX11Connection((server.name() + ".0").c_str(), &second), ERR_NONE);
  EXPECT_NE(second, first);
  EXPECT_EQ(threadCount(), before + 2);
  CloseX11Connection();
  EXPECT_EQ(threadCount(), before);
  EXPECT_EQ(GetX11ConnectionList(), nullptr);
}

TEST(X11, EventsXlibAlreadyHoldsEndTheWait) {
  TestXServer server(24);
  ASSERT_TRUE(server.running());
  ASSERT_EQ(CreateWakePipe(nullptr, nullptr), 1);
  SetNoPointerThread(1);
  X11ConnectionRecord* c = nullptr;
  ASSERT_EQ(GetX11Connection(server.name().c_str(), &c), ERR_NONE);
  Window window = XCreateSimpleWindow(c->display, c->root, 0, 0, 10, 10, 0, 0, 0);
  XEvent event = {};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.format = 32;
  XSendEvent(c->display, window, False, 0, &event);
  XSync(c->display, False);  // reads the event into Xlib's queue
  drainWakePipe();
  ASSERT_GT(XEventsQueued(c->display, QueuedAlready), 0);
  pollfd socket = {c->fd, POLLIN, 0};
  ASSERT_EQ(poll(&socket, 1, 0), 0);  // nothing left for select to see
  EXPECT_TRUE(waitReturnsByItself());
  CloseX11Connection();
  SetNoPointerThread(0);
}

TEST(X11, ErrorsBecomeCodes) {
  TestXServer server(24);
  ASSERT_TRUE(server.running());
  SetNoPointerThread(1);
  X11ConnectionRecord* c = nullptr;
  ASSERT_EQ(GetX11Connection(server.name().c_str(), &c), ERR_NONE);
  TakeX11Error();
  XFreePixmap(c->display, 0x1234567);  // no such pixmap
  XSync(c->display, False);
  EXPECT_EQ(TakeX11Error(), BadPixmap);
  EXPECT_EQ(TakeX11Error(), 0);
  CloseX11Connection();
  SetNoPointerThread(0);
}

// The watcher connects only once the wake messages are read; a server that
// is gone by then leaves it without a connection, the program running and
// the close able to join it.
TEST(X11, PointerWatcherMeetingALostServerEndsQuietly) {
  TestXServer server(24);
  ASSERT_TRUE(server.running());
  int readEnd = -1;
  ASSERT_EQ(CreateWakePipe(&readEnd, nullptr), 1);
  // What earlier tests' watchers left in the pipe is not this watcher's.
  char stale[256];
  while (read(readEnd, stale, sizeof stale) > 0) {
  }
  SetNoPointerThread(0);
  int before = threadCount();
  X11ConnectionRecord* c = nullptr;
  ASSERT_EQ(GetX11Connection(server.name().c_str(), &c), ERR_NONE);
  EXPECT_EQ(threadCount(), before + 1);
  server.stop();
  EXPECT_EQ(ReadWakeMessages(nullptr) & (1u << WAKE_POINTER), 0u);
  for (int i = 0; i < 1000 && threadCount() > before; i++) usleep(10000);
  EXPECT_EQ(threadCount(), before);  // the watcher ended by itself
  CloseX11Connection();
  EXPECT_EQ(threadCount(), before);
}

TEST(X11, LostServerDoesNotEndTheProgram) {
  TestXServer server(24);
  ASSERT_TRUE(server.running());
  SetNoPointerThread(0);
  int before = threadCount();
  X11ConnectionRecord* c = nullptr;
  ASSERT_EQ(GetX11Connection(server.name().c_str(), &c), ERR_NONE);
  TakeX11Error();
  server.stop();
  XSync(c->display, False);  // the connection breaks here
  EXPECT_EQ(c->lost.load(), 1);
  EXPECT_EQ(TakeX11Error(), ERR_XDISPLAY);
  CloseX11Connection();
  EXPECT_EQ(threadCount(), before);
}

TEST(X11, MissingServerLeavesNoRecord) {
  X11ConnectionRecord* c = nullptr;
  EXPECT_EQ(GetX11Connection(":139", &c), ERR_XDISPLAY);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(GetX11ConnectionList(), nullptr);
}

}  // namespace
