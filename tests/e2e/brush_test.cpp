// End-to-end brushes: an applet loads an opaque and an RGBA PNG, grabs a
// part of the desktop and shows all three on its first display, on a
// private X server; the same two pictures declared in the applet's header
// are loaded before the display opens and show the same pixels. The
// window's pixels are read back from the server and compared with what
// ImageMagick makes of the same files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "tests/e2e/player_run.h"
#include "tests/e2e/window_check.h"
#include "tests/media/image_support.h"
#include "tests/platform/xvfb.h"

namespace {

using e2e::PatchName;
using e2e::WaitFor;
using e2e::WindowRect;
using imagetest::Shell;
using imagetest::Words;

constexpr uint32_t BACKGROUND = 0x336699;
constexpr uint32_t DESKTOP = 0x123456;

// Two declared brushes: 4 is "f.png", 5 is "a.png" with its alpha channel.
// Their name offsets are marks that the assembled applet gets patched with.
constexpr uint32_t OPAQUE_NAME_MARK = 0x7E7E7E7E, RGBA_NAME_MARK = 0x7D7D7D7D;
std::string declaredBrush(int id, uint32_t nameMark, int flags) {
  // kind, id, name offset and size, no linked data, no key colour, the
  // flags, line; no loader or adapter; the whole picture, no global alpha,
  // not in video memory, no scaling, the first display.
  return "1 be32:" + std::to_string(id) + " be32:" + std::to_string(nameMark) +
         " be32:5 be32:0 be32:0 be32:4294967295 be32:" + std::to_string(flags) +
         " be32:0 be16:0 be16:0 be16:0 be16:0 be16:0 be16:0 be16:65535 0 be32:0 be32:0 be32:0 "
         "be32:0 ";
}

TEST(BrushRun, LoadedAndGrabbedBrushesReachTheWindow) {
  TestXServer server("1024x768x24");
  if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
  ASSERT_EQ(access(e2e::PLAYER.c_str(), X_OK), 0) << "build the quillmere program first";
  Display* x = XOpenDisplay(server.name().c_str());
  ASSERT_NE(x, nullptr);
  // The desktop's colour, where no window covers it.
  Window root = DefaultRootWindow(x);
  XSetWindowBackground(x, root, DESKTOP);
  XClearWindow(x, root);
  XSync(x, False);

  e2e::TempDir dir;
  const std::string opaque = dir / "f.png", rgba = dir / "a.png";
  imagetest::MakeDistinctPng(opaque);
  imagetest::MakeAlphaRampPng(rgba);
  Shell("convert -size 26x16 xc:'#336699' '" + (dir / "bg.png") + "'");
  const std::vector<uint32_t> wantOpaque =
      Words(Shell("convert '" + opaque + "' -depth 8 rgb:-"), 3);
  const std::vector<uint32_t> wantRgba = Words(
      Shell("convert '" + (dir / "bg.png") + "' '" + rgba + "' -composite -depth 8 rgb:-"), 3);
  ASSERT_EQ(wantOpaque.size(), 40u * 30u);
  ASSERT_EQ(wantRgba.size(), 26u * 16u);

  // LoadBrush(1, "f.png"); DisplayBrush(1, 10, 20); LoadBrush(2, "a.png",
  // {loadalpha = 1}); DisplayBrush(2, 100, 20); GrabDesktop(3, {width = 8,
  // height = 8}); DisplayBrush(3, 200, 20); DisplayBrush(4, 10, 60);
  // DisplayBrush(5, 100, 60); then wait.
  std::string text =
      ".applet section 3 be16:640 be16:480\n"
      ".applet section 5 be32:0x336699\n"
      ".applet section 2 be32:2 " +
      declaredBrush(4, OPAQUE_NAME_MARK, 0) + declaredBrush(5, RGBA_NAME_MARK, 1) +
      "\n"
      ".line 1\n"
      "GETGLOBAL 0, \"loadbrush\"\n"
      "LOADNUM 1, 1\n"
      "LOADCONST 2, \"f.png\"\n"
      "CALL 0, 3, 1\n"
      "GETGLOBAL 0, \"displaybrush\"\n"
      "LOADNUM 1, 1\n"
      "LOADNUM 2, 10\n"
      "LOADNUM 3, 20\n"
      "CALL 0, 4, 1\n"
      "GETGLOBAL 0, \"loadbrush\"\n"
      "LOADNUM 1, 2\n"
      "LOADCONST 2, \"a.png\"\n"
      "NEWTABLE 3, 0, 1\n"
      "LOADNUM 4, 1\n"
      "SETTABLE 3, \"loadalpha\", 4\n"
      "CALL 0, 4, 1\n"
      "GETGLOBAL 0, \"displaybrush\"\n"
      "LOADNUM 1, 2\n"
      "LOADNUM 2, 100\n"
      "LOADNUM 3, 20\n"
      "CALL 0, 4, 1\n"
      "GETGLOBAL 0, \"grabdesktop\"\n"
      "LOADNUM 1, 3\n"
      "NEWTABLE 2, 0, 2\n"
      "LOADNUM 3, 8\n"
      "SETTABLE 2, \"width\", 3\n"
      "SETTABLE 2, \"height\", 3\n"
      "CALL 0, 3, 1\n"
      "GETGLOBAL 0, \"displaybrush\"\n"
      "LOADNUM 1, 3\n"
      "LOADNUM 2, 200\n"
      "LOADNUM 3, 20\n"
      "CALL 0, 4, 1\n"
      "GETGLOBAL 0, \"displaybrush\"\n"
      "LOADNUM 1, 4\n"
      "LOADNUM 2, 10\n"
      "LOADNUM 3, 60\n"
      "CALL 0, 4, 1\n"
      "GETGLOBAL 0, \"displaybrush\"\n"
      "LOADNUM 1, 5\n"
      "LOADNUM 2, 100\n"
      "LOADNUM 3, 60\n"
      "CALL 0, 4, 1\n" +
      std::string(e2e::WAIT_LOOP);
  e2e::Bytes applet = e2e::Assemble(text);
  ASSERT_TRUE(PatchName(&applet, OPAQUE_NAME_MARK, "f.png"));
  ASSERT_TRUE(PatchName(&applet, RGBA_NAME_MARK, "a.png"));
  e2e::WriteFile(dir / "a.qma", applet);
  e2e::Child player(e2e::PLAYER, {"-debugdevice", "stdout", dir / "a.qma"}, server.name(),
                    dir.path());

  Window window = e2e::ShownWindow(x, &player);
  ASSERT_NE(window, 0u) << "no window was shown";

  // The first frame may still be on its way.
  std::vector<uint32_t> got;
  WaitFor([&] { return (got = WindowRect(x, window, 10, 20, 40, 30)) == wantOpaque; });
  EXPECT_EQ(got, wantOpaque);
  // So may the frames of the later brushes.
  int worst = 0;
  // The RGBA brush loaded by the script at y = 20 and declared at y = 60.
  for (int top : {20, 60}) {
    SCOPED_TRACE(top);
    WaitFor([&] {
      got = WindowRect(x, window, 100, top, 26, 16);
      if (got.size() != wantRgba.size()) return false;
      worst = 0;
      for (size_t i = 0; i < got.size(); i++)
        for (int shift : {0, 8, 16})
          worst = std::max(worst, std::abs(static_cast<int>((got[i] >> shift) & 0xFF) -
                                           static_cast<int>((wantRgba[i] >> shift) & 0xFF)));
      return worst <= 1;
    });
    ASSERT_EQ(got.size(), wantRgba.size());
    EXPECT_LE(worst, 1);
  }
  WaitFor([&] { return (got = WindowRect(x, window, 10, 60, 40, 30)) == wantOpaque; });
  EXPECT_EQ(got, wantOpaque);
  WaitFor(
      [&] { return WindowRect(x, window, 200, 20, 8, 8) == std::vector<uint32_t>(64, DESKTOP); });
  EXPECT_EQ(WindowRect(x, window, 200, 20, 8, 8), std::vector<uint32_t>(64, DESKTOP));
  EXPECT_EQ(WindowRect(x, window, 208, 20, 1, 1), std::vector<uint32_t>(1, BACKGROUND));

  e2e::CloseWindow(x, window);
  e2e::RunResult r = player.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Loading brush f.png"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
  XCloseDisplay(x);
}

}  // namespace
