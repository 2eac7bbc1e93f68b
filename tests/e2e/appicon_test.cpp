// End-to-end runs of the built player with application icons on a private
// X server: an icon file that the applet declares (written by PIL as the
// icon-file layout, not by our own writer) replaces the built-in images of
// its sizes in the window's _NET_WM_ICON, and an icon picture of the wrong
// size in the applet's icon block stops the start-up naming the size.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/display/display_fixture.h"
#include "tests/e2e/player_run.h"
#include "tests/e2e/window_check.h"
#include "tests/platform/xvfb.h"

namespace {

using e2e::Bytes;

constexpr uint32_t NAME_OFFSET_MARK = 0x7E7E7E7E;

void putBE32(Bytes* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) (*b)[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// An applet that declares `iconFile` as its application icon (a resource
// of kind 17): the file name is kept in a constant, and the resource's
// name offset is patched to point at it once the applet is assembled.
Bytes appletDeclaringIcon(const std::string& iconFile) {
  std::string text =
      ".applet section 3 be16:320 be16:200\n"
      ".applet constant ICONFILE \"" +
      iconFile +
      "\"\n"
      ".applet section 2 be32:1 17 be32:1 be32:" +
      std::to_string(NAME_OFFSET_MARK) + " be32:" + std::to_string(iconFile.size()) +
      " be32:0 be32:0 be32:0 be32:0 be32:0 be16:0 be16:0\n" + e2e::WAIT_LOOP;
  Bytes applet = e2e::Assemble(text);
  const uint8_t mark[4] = {0x7E, 0x7E, 0x7E, 0x7E};
  auto at = std::search(applet.begin(), applet.end(), mark, mark + 4);
  auto name = std::search(applet.begin(), applet.end(), iconFile.begin(), iconFile.end());
  EXPECT_TRUE(at != applet.end() && name != applet.end());
  if (at != applet.end() && name != applet.end())
    putBE32(&applet, static_cast<size_t>(at - applet.begin()),
            static_cast<uint32_t>(name - applet.begin()));
  return applet;
}

class AppIconRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.running()) GTEST_SKIP() << "Xvfb is not available";
    x_ = XOpenDisplay(server_.name().c_str());
    ASSERT_NE(x_, nullptr);
    ASSERT_EQ(access(e2e::PLAYER.c_str(), X_OK), 0) << "build the quillmere program first";
  }
  void TearDown() override {
    if (x_) XCloseDisplay(x_);
  }
  Window waitForWindow(e2e::Child& player) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end && !player.Exited()) {
      Window root, parent, *children = nullptr;
      unsigned count = 0;
      Window found = 0;
      if (XQueryTree(x_, DefaultRootWindow(x_), &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count; i++) {
          XWindowAttributes a;
          if (XGetWindowAttributes(x_, children[i], &a) && a.map_state == IsViewable)
            found = children[i];
        }
      }
      if (children) XFree(children);
      if (found) return found;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
  }

  TestXServer server_{"1024x768x24"};
  Display* x_ = nullptr;
  e2e::TempDir dir_;
};

TEST_F(AppIconRun, DeclaredIconFileReplacesTheBuiltInImages) {
  // Entries of 16 and 32 pixels in one colour each, alpha included.
  std::string script = dir_ / "make.py";
  e2e::WriteFile(script, Bytes(), 0644);
  std::string py =
      "from PIL import Image\n"
      "entries = [(16, 0xFF102030), (32, 0x80405060)]\n"
      "rows = 1 + sum(w + 1 for w, _ in entries)\n"
      "im = Image.new('RGBA', (32, rows))\n"
      "def word(v): return ((v >> 16) & 255, (v >> 8) & 255, v & 255, v >> 24)\n"
      "px = [(0, 0, 0, 0)] * (32 * rows)\n"
      "px[0:3] = [(0x51, 0x55, 0x49, 0), (0x4C, 0x4C, 0x4D, 0), (0x45, 0x52, 0x45, 0)]\n"
      "row = 1\n"
      "for w, colour in entries:\n"
      "    px[row * 32:row * 32 + 3] = [word(w), word(w), word(2)]\n"
      "    for y in range(w):\n"
      "        for x in range(w): px[(row + 1 + y) * 32 + x] = word(colour)\n"
      "    row += w + 1\n"
      "im.putdata(px)\n"
      "im.save('" +
      (dir_ / "app.icon") + "', 'PNG')\n";
  e2e::WriteFile(script, Bytes(py.begin(), py.end()));
  ASSERT_EQ(std::system(("/usr/bin/python3 " + script).c_str()), 0);
  e2e::WriteFile(dir_ / "a.qma", appletDeclaringIcon(dir_ / "app.icon"));

  e2e::Child player(e2e::PLAYER, {"-quiet", "-debugdevice", "stdout", dir_ / "a.qma"},
                    server_.name(), dir_.path());
  Window window = waitForWindow(player);
  ASSERT_NE(window, 0u) << "no window was shown: " << player.Finish().out;
  std::vector<long> icon = ReadLongProperty(x_, window, "_NET_WM_ICON");
  // The block: width, height and pixels per image, 16, 24, 32, 48, 256.
  struct Want {
    long size;
    int64_t colour;  // -1: the built-in image stays
  } wants[] = {{16, 0xFF102030}, {24, -1}, {32, 0x80405060}, {48, -1}, {256, -1}};
  size_t at = 0;
  for (const Want& w : wants) {
    ASSERT_LT(at + 2, icon.size());
    EXPECT_EQ(icon[at], w.size);
    EXPECT_EQ(icon[at + 1], w.size);
    // Xlib hands 32-bit items back sign-extended in longs.
    std::vector<uint32_t> image;
    for (long i = 0; i < w.size * w.size; i++)
      image.push_back(static_cast<uint32_t>(icon[at + 2 + static_cast<size_t>(i)]));
    if (w.colour >= 0) {
      EXPECT_EQ(std::count(image.begin(), image.end(), w.colour), w.size * w.size) << w.size;
    } else {
      EXPECT_EQ(std::count(image.begin(), image.end(), 0xFF102030u), 0) << w.size;
    }
    at += 2 + static_cast<size_t>(w.size * w.size);
  }
  EXPECT_EQ(at, icon.size());

  e2e::CloseWindow(x_, window);
  e2e::RunResult r = player.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

// The icon block after the script ("I", two bytes, entries of width,
// height, flags, size and data, ended by a width of 0) names a 32-pixel
// picture for the 16-pixel slot: the start-up refuses it.
TEST_F(AppIconRun, SlotPictureOfTheWrongSizeStopsTheStartUp) {
  std::string script = dir_ / "make.py";
  std::string py = "from PIL import Image\nImage.new('RGBA', (32, 32), (1, 2, 3, 255)).save('" +
                   (dir_ / "p32.png") + "')\n";
  e2e::WriteFile(script, Bytes(py.begin(), py.end()));
  ASSERT_EQ(std::system(("/usr/bin/python3 " + script).c_str()), 0);
  Bytes png = e2e::ReadFile(dir_ / "p32.png");
  Bytes applet =
      e2e::Assemble(std::string(".applet section 3 be16:320 be16:200\n") + e2e::WAIT_LOOP);
  Bytes block = {'I', 0, 0, 0, 16, 0, 16, 0, 0, 0, 0, 0};
  putBE32(&block, 8, static_cast<uint32_t>(png.size()));
  block.insert(block.end(), png.begin(), png.end());
  block.insert(block.end(), {0, 0});
  applet.insert(applet.end(), block.begin(), block.end());
  e2e::WriteFile(dir_ / "a.qma", applet);
  e2e::RunResult r = e2e::Run(e2e::PLAYER, {"-quiet", "-debugdevice", "stdout", dir_ / "a.qma"},
                              server_.name(), dir_.path());
  EXPECT_NE(r.out.find("16x16"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
}

}  // namespace
