// Snapshots and real colours under a private Xvfb without window manager,
// at 24 and 16 bits: the window snapshot equals what xwd reads of the
// window, in every built-in format, and a closed display has no window to
// snap.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "display/display_private.h"
#include "draw/draw_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "tests/display/display_fixture.h"
#include "tests/media/image_support.h"
#include "tests/support/harness.h"

namespace {

using imagetest::Shell;
using imagetest::Words;

// The screen's depth, and whether the display was made while preloading
// (else before the first opening, in the format bitmaps have until then).
class SnapshotX11Test : public ::testing::TestWithParam<std::tuple<int, bool>> {
 protected:
  void SetUp() override {
    server =
        std::make_unique<DisplayTestServer>("640x480x" + std::to_string(std::get<0>(GetParam())));
    ASSERT_TRUE(server->running());
    setenv("DISPLAY", server->name().c_str(), 1);
    SetNoPointerThread(1);
    ASSERT_EQ(OpenX11Connection(), ERR_NONE);
    InitMediaContext();
    for (ErrorCode (*open)(VmState*) : {OpenDisplayLibrary, OpenBrushLibrary, OpenBGPicLibrary}) {
      VmPushValue(h.L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(h.L), ERR_NONE);
      VmSetTop(h.L, 0);
    }
  }
  void TearDown() override {
    FreeAllBrushes(h.L);
    CloseDisplayLibrary(h.L);
    CloseX11Connection();
    SetNoPointerThread(0);
    SetSoftBitmapFormatOverride(-1);
    unsetenv("DISPLAY");
  }
  // Runs a command with numbers and strings; its first result as a number.
  ErrorCode Run(const char* name, std::vector<OptionValue> args, double* result = nullptr) {
    VmSetTop(h.L, 0);
    for (const OptionValue& a : args)
      if (a.isText)
        VmPushString(h.L, a.text.c_str());
      else
        VmPushNumber(h.L, a.number);
    ErrorCode e = h.Call(name, static_cast<int>(args.size()));
    if (e == ERR_NONE && result) *result = VmToNumber(h.L, -1);
    VmSetTop(h.L, 0);
    return e;
  }
  // The pixels of the image a command writes (of ImageMagick's format
  // name) as ImageMagick reads them.
  static std::vector<uint32_t> Pixels(const std::string& command, const std::string& format) {
    return Words(Shell(command + " | convert " + format + ":- -depth 8 rgb:-"), 3);
  }

  std::unique_ptr<DisplayTestServer> server;
  PlayerHarness h;
};

TEST_P(SnapshotX11Test, WindowSnapshotsEqualTheScreenInEveryFormat) {
  const bool sixteen = std::get<0>(GetParam()) == 16;
  SCOPED_TRACE(sixteen ? "16 bits" : "24 bits");
  imagetest::TempDir dir;
  // Made while preloading, as an applet's display is, or before the first
  // opening: either way the window shows it in the screen's format.
  TagItem tags[] = {{ATTR_DEFERBITMAPS, std::get<1>(GetParam()) ? 1u : 0u}, {ATTR_DONE, 0}};
  SetGlobalAttrs(h.L, tags);
  VmPushNumber(h.L, 1);
  PushOptions(h.L, {{"width", 64}, {"height", 48}, {"color", 0x336699}});
  ErrorCode made = h.Call("CreateDisplay", 2);
  tags[0].data = 0;
  SetGlobalAttrs(h.L, tags);
  ASSERT_EQ(made, ERR_NONE);
  VmSetTop(h.L, 0);
  DisplayRecord* d = nullptr;
  ASSERT_EQ(FindDisplayById(ObjectId{nullptr, 1}, &d), ERR_NONE);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);
  const unsigned long window = GetDisplayWindowId(d);
  ASSERT_NE(window, 0u);
  // White as the screen can show it.
  double real = 0;
  ASSERT_EQ(Run("GetRealColor", {0xFFFFFF}, &real), ERR_NONE);
  EXPECT_EQ(static_cast<uint32_t>(real), sixteen ? 0xF8FCF8u : 0xFFFFFFu);
  ASSERT_EQ(Run("CreateBrush", {1, 10, 10, 0xFF0000}), ERR_NONE);
  ASSERT_EQ(Run("DisplayBrush", {1, 5, 5}), ERR_NONE);
  XSync(d->x11->display, False);

  const std::vector<uint32_t> screen = Pixels(
      "DISPLAY=" + server->name() + " xwd -silent -id " + std::to_string(window) + " | xwdtopnm",
      "pnm");
  ASSERT_EQ(screen.size(), 64u * 48u);
  // xwdtopnm widens 5 and 6 bits by scaling, the grab by shifting: on a
  // 16-bit screen a channel may differ by up to 7.
  const int widening = sixteen ? 7 : 0;
  EXPECT_EQ(screen[6 * 64 + 6], 0xFF0000u);
  struct Case {
    const char* name;
    int format;
    std::string reader;  // the file's pixels as a PNM (or PNG) on stdout
    bool lossy;
  };
  const Case cases[] = {
      {"snap.bmp", 0, "bmptopnm", false},  {"snap.png", 1, "cat", false},
      {"snap.jpg", 2, "djpeg", true},      {"snap.gif", 3, "giftopnm", false},
      {"snap.iff", 4, "ilbmtoppm", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir / c.name;
    ASSERT_EQ(Run("SaveSnapshot", {file.c_str(), 0, c.format}), ERR_NONE);
    std::vector<uint32_t> saved =
        Pixels(c.reader + " '" + file + "'", c.format == 1 ? "png" : "pnm");
    ASSERT_EQ(saved.size(), screen.size());
    int off = 0;
    for (size_t i = 0; i < saved.size(); ++i)
      for (int shift : {0, 8, 16}) {
        int a = static_cast<int>((saved[i] >> shift) & 0xFF);
        int b = static_cast<int>((screen[i] >> shift) & 0xFF);
        off += std::abs(a - b) > widening;
      }
    // JPEG rings at the square's edges: it is the same file that cjpeg
    // makes of the BMP snapshot's pixels.
    if (c.lossy) {
      bool ok = false;
      std::string reference =
          Shell("cjpeg -quality 90 -baseline '" + std::string(dir / "snap.bmp") + "'", &ok);
      ASSERT_TRUE(ok);
      EXPECT_EQ(Shell("cat '" + file + "'"), reference);
    } else {
      EXPECT_EQ(off, 0);
    }
  }

  ASSERT_EQ(Run("CloseDisplay", {1}), ERR_NONE);
  EXPECT_EQ(Run("SaveSnapshot", {(dir / "closed.bmp").c_str(), 0}), ERR_CLOSEDDISPLAY);
}

INSTANTIATE_TEST_SUITE_P(DepthsAndPreload, SnapshotX11Test,
                         ::testing::Combine(::testing::Values(24, 16),
                                            ::testing::Values(true, false)));

}  // namespace
