// X11 window back end under a private Xvfb: the choice of a full-screen
// mode, the built-in icon block, screen grabs inside and outside the root
// window (an X error becomes a null result, not the end of the program),
// a window manager that never maps a window (the wait gives up and the run
// goes on), the atoms and properties a window gets, and cursors made on
// first use.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "display/adapter_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/x11calls_private.h"
#include "platform/linux/desktop_private.h"
#include "tests/display/display_fixture.h"
#include "tests/support/harness.h"

namespace {

TEST(X11Modes, ChooseTheSmallestModeThatHolds) {
  const X11DisplayMode modes[] = {
      {640, 480, 60, 0, 1}, {1024, 768, 60, 1, 2}, {1920, 1080, 60, 0, 3}, {1024, 600, 60, 0, 4}};
  struct Case {
    const char* name;
    int32_t count, width, height, want;
  } cases[] = {
      {"800 x 600 takes 1024 x 768", 3, 800, 600, 1},
      {"larger than every mode", 3, 2560, 1440, -1},
      {"exact size", 3, 640, 480, 0},
      {"a later, lower mode of the same width wins", 4, 800, 600, 3},
      {"height rules out the lower mode", 4, 1000, 601, 1},
      {"one pixel too wide for all but the largest", 4, 1025, 10, 2},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ChooseX11DisplayMode(modes, c.count, c.width, c.height), c.want) << c.name;
  EXPECT_EQ(ChooseX11DisplayMode(modes, 0, 1, 1), -1);
}

TEST(X11Icon, FiveImagesFillTheBlock) {
  const uint32_t* block = GetWindowIconBlock();
  const uint32_t sizes[] = {16, 24, 32, 48, 256};
  size_t at = 0;
  for (uint32_t size : sizes) {
    ASSERT_EQ(block[at], size);
    ASSERT_EQ(block[at + 1], size);
    // Corners are outside the round badge, the centre is opaque.
    EXPECT_EQ(block[at + 2] >> 24, 0u);
    EXPECT_EQ(block[at + 2 + (size / 2) * size + size / 2] >> 24, 255u);
    at += 2 + static_cast<size_t>(size) * size;
  }
  EXPECT_EQ(at, X11_ICON_VALUES);
}

class X11WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running());
    setenv("DISPLAY", server.name().c_str(), 1);
    SetNoPointerThread(1);
    ASSERT_EQ(OpenX11Connection(), ERR_NONE);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
  }
  void TearDown() override {
    CloseDisplayLibrary(h.L);
    CloseX11Connection();
    SetNoPointerThread(0);
    unsetenv("DISPLAY");
  }
  DisplayTestServer server{"640x480x24"};
  PlayerHarness h;
};

TEST_F(X11WindowTest, ScreenGrabOutsideTheRootIsRefusedQuietly) {
  DisplayRecord* d = nullptr;
  ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 1}, 0, 0, &d), ERR_NONE);
  EXPECT_EQ(GrabX11ScreenPixels(X11WindowOf(d), 2000, 2000, 10, 10), nullptr);
  EXPECT_EQ(GrabX11ScreenPixels(X11WindowOf(d), 600, 400, 100, 100), nullptr);  // crosses the edge
  EXPECT_EQ(TakeX11Error(), 0);
  BitmapHandle* grab = GrabX11ScreenPixels(X11WindowOf(d), 10, 20, 30, 40);
  ASSERT_NE(grab, nullptr);
  EXPECT_EQ(grab->width, 30);
  EXPECT_EQ(grab->height, 40);
  FreeBitmap(grab);
}

TEST_F(X11WindowTest, WindowNeverMappedByTheManagerStillOpens) {
  // A stand-in window manager that takes map requests and never grants one.
  Display* manager = XOpenDisplay(server.name().c_str());
  ASSERT_NE(manager, nullptr);
  XSelectInput(manager, DefaultRootWindow(manager), SubstructureRedirectMask);
  XSync(manager, False);
  DisplayRecord* d = nullptr;
  ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 1}, 0, 0, &d), ERR_NONE);
  EXPECT_EQ(OpenDisplayWindow(h.L, d, 0), ERR_NONE);
  EXPECT_EQ(d->state, DISPSTATE_OPEN);
  ASSERT_NE(d->x11->window, 0u);
  EXPECT_EQ(d->x11->mapTimedOut, 1);
  XWindowAttributes attributes;
  ASSERT_TRUE(XGetWindowAttributes(manager, d->x11->window, &attributes));
  EXPECT_NE(attributes.map_state, IsViewable);
  CloseDisplayWindow(h.L, d, nullptr, 20);
  EXPECT_EQ(d->x11->window, 0u);
  XCloseDisplay(manager);
}

// The atoms that a window takes from its connection's table are the ones
// their fields name, a second window shares them, and the window carries
// the properties that opening it sets.
TEST_F(X11WindowTest, WindowAtomsNameWhatTheirFieldsSay) {
  DisplayRecord *a = nullptr, *b = nullptr;
  ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 1}, 0, 0, &a), ERR_NONE);
  ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 2}, 0, 0, &b), ERR_NONE);
  ASSERT_EQ(OpenDisplayWindow(h.L, a, 0), ERR_NONE);
  ASSERT_EQ(OpenDisplayWindow(h.L, b, 0), ERR_NONE);
  X11DisplayRecord* r = a->x11;
  ASSERT_EQ(r->connection, b->x11->connection);
  auto nameOf = [&](Atom atom) {
    char* name = XGetAtomName(r->display, atom);
    std::string text = name ? name : "<none>";
    if (name) XFree(name);
    return text;
  };
  struct Case {
    Atom X11DisplayRecord::*field;
    const char* name;
  };
  const Case cases[] = {
      {&X11DisplayRecord::wmDeleteWindow, "WM_DELETE_WINDOW"},
      {&X11DisplayRecord::xdndEnter, "XdndEnter"},
      {&X11DisplayRecord::xdndLeave, "XdndLeave"},
      {&X11DisplayRecord::xdndPosition, "XdndPosition"},
      {&X11DisplayRecord::xdndStatus, "XdndStatus"},
      {&X11DisplayRecord::xdndDrop, "XdndDrop"},
      {&X11DisplayRecord::xdndSelection, "XdndSelection"},
      {&X11DisplayRecord::xdndFinished, "XdndFinished"},
      {&X11DisplayRecord::xdndActionCopy, "XdndActionCopy"},
      {&X11DisplayRecord::xdndTypeList, "XdndTypeList"},
      {&X11DisplayRecord::primary, "PRIMARY"},
      {&X11DisplayRecord::clipboard, "CLIPBOARD"},
      {&X11DisplayRecord::targets, "TARGETS"},
      {&X11DisplayRecord::xclipOut, "XCLIP_OUT"},
      {&X11DisplayRecord::textPlain, "text/plain"},
      {&X11DisplayRecord::utf8String, "UTF8_STRING"},
      {&X11DisplayRecord::imagePng, "image/png"},
      {&X11DisplayRecord::incr, "INCR"},
      {&X11DisplayRecord::uriList, "text/uri-list"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nameOf(r->*c.field), c.name);
    EXPECT_EQ(b->x11->*c.field, r->*c.field) << c.name;
  }
  int count = 0;
  Atom* properties = XListProperties(r->display, r->window, &count);
  std::vector<std::string> names;
  for (int i = 0; i < count; i++) names.push_back(nameOf(properties[i]));
  if (properties) XFree(properties);
  for (const char* name : {"XdndAware", "_NET_WM_ICON", "_MOTIF_WM_HINTS", "WM_PROTOCOLS"})
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  EXPECT_EQ(TakeX11Error(), 0);
}

// The connection's cursors wait until one is asked for (loading them from
// a cursor theme took a fifth of a start); then every one is there.
TEST_F(X11WindowTest, CursorsAreMadeWhenFirstAskedFor) {
  DisplayRecord* d = nullptr;
  ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 1}, 0, 0, &d), ERR_NONE);
  ASSERT_EQ(OpenDisplayWindow(h.L, d, 0), ERR_NONE);
  X11ConnectionRecord* c = d->x11->connection;
  EXPECT_EQ(c->busyCursor, 0u);
  EXPECT_EQ(c->blankCursor, 0u);
  HideX11Pointer(d->x11);
  EXPECT_NE(c->blankCursor, 0u);
  EXPECT_NE(GetX11BusyCursor(c), 0u);
  EXPECT_NE(GetX11MoveCursor(c), 0u);
  for (int32_t zone = 0; zone < X11_RESIZE_CURSORS; zone++)
    EXPECT_NE(GetX11ResizeCursor(c, zone), 0u) << zone;
  EXPECT_EQ(GetX11ResizeCursor(c, X11_RESIZE_CURSORS), 0u);
  EXPECT_EQ(TakeX11Error(), 0);
}

// One pointer image on displays of two X servers makes one cursor per
// server, made on first use and kept; the busy and default kinds need no
// image; hiding and showing brings back the cursor set last.
TEST_F(X11WindowTest, PointerMakesOneCursorPerServer) {
  if (!DesktopLibraryOpen(DESKTOP_XCURSOR)) GTEST_SKIP() << "no Xcursor library";
  DisplayTestServer other{"320x200x24"};
  ASSERT_TRUE(other.running());
  DisplayRecord *a = nullptr, *b = nullptr;
  ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 1}, 0, 0, &a), ERR_NONE);
  ASSERT_EQ(CreateDisplayCore(h.L, ObjectId{nullptr, 2}, 0, 0, &b), ERR_NONE);
  StrCopyBounded(b->xserver, sizeof b->xserver, other.name().c_str());
  b->width = b->height = 100;
  ASSERT_EQ(OpenDisplayWindow(h.L, a, 0), ERR_NONE);
  ASSERT_EQ(OpenDisplayWindow(h.L, b, 0), ERR_NONE);
  ASSERT_NE(a->x11->connection, b->x11->connection);

  const uint32_t pixels[4] = {0xff000000, 0xffffffff, 0xffffffff, 0xff000000};
  X11PointerNode* pointer = nullptr;
  ASSERT_EQ(CreateX11Pointer(pixels, 1, 1, &pointer, 2, 2), ERR_NONE);
  auto nodes = [&] { return CountX11PointerCursors(pointer); };
  SetX11Pointer(a->x11, pointer, 2);
  Cursor first = a->x11->currentCursor;
  EXPECT_NE(first, 0u);
  SetX11Pointer(b->x11, pointer, 2);
  EXPECT_NE(b->x11->currentCursor, 0u);
  EXPECT_EQ(nodes(), 2);
  SetX11Pointer(a->x11, pointer, 2);
  EXPECT_EQ(a->x11->currentCursor, first);
  EXPECT_EQ(nodes(), 2);

  HideX11Pointer(a->x11);
  ShowX11Pointer(a->x11);
  EXPECT_EQ(a->x11->currentCursor, first);
  SetX11Pointer(a->x11, nullptr, 1);
  EXPECT_EQ(a->x11->currentCursor, a->x11->connection->busyCursor);
  SetX11Pointer(a->x11, pointer, 0);
  EXPECT_EQ(a->x11->currentCursor, 0u);
  EXPECT_EQ(TakeX11Error(), 0);
  FreeX11Pointer(pointer);
  CloseDisplayWindow(h.L, b, nullptr, 20);
  CloseDisplayWindow(h.L, a, nullptr, 20);
}

}  // namespace
