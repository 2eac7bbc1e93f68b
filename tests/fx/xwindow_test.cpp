// Transitions through a real X11 window: an applet loads a PNG made here
// and shows the picture three times with DisplayBrushFX (a wipe, a
// crossfade and a dissolve) on a private X server; afterwards the
// window's pixels are the picture's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <png.h>

#include "tests/e2e/window_check.h"
#include "tests/platform/xvfb.h"

namespace {

constexpr int PW = 37, PH = 23;
constexpr uint32_t BACKGROUND = 0x204060;

// The picture: every pixel tells its position.
uint32_t PictureAt(int x, int y) {
  return static_cast<uint32_t>(x * 6) << 16 | static_cast<uint32_t>(y * 10) << 8 |
         static_cast<uint32_t>((x * 7 + y * 3) % 256);
}

std::string PictureAsPng() {
  std::vector<uint8_t> rgb;
  for (int y = 0; y < PH; y++)
    for (int x = 0; x < PW; x++) {
      uint32_t p = PictureAt(x, y);
      rgb.insert(rgb.end(), {static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 8),
                             static_cast<uint8_t>(p)});
    }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = PW;
  image.height = PH;
  image.format = PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr)) return "";
  std::string out(size, '\0');
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, rgb.data(), 0, nullptr)) return "";
  out.resize(size);
  return out;
}

TEST(TransitionWindow, BrushTransitionsEndWithThePictureInTheWindow) {
  TestXServer server("640x480x24");
  if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
  ASSERT_EQ(access(e2e::PLAYER.c_str(), X_OK), 0) << "build the quillmere program first";
  std::string png = PictureAsPng();
  ASSERT_FALSE(png.empty());
  std::vector<uint32_t> want;
  for (int y = 0; y < PH; y++)
    for (int x = 0; x < PW; x++) want.push_back(PictureAt(x, y));

  // LoadBrush(1, "p.png"); DisplayBrushFX(1, 10, 20, #REVEALTOP, 5);
  // DisplayBrushFX(1, 60, 20, #CROSSFADE, 60); DisplayBrushFX(1, 110, 20,
  // #DISSOLVE, #FASTSPEED); then wait.
  std::string text =
      ".applet section 3 be16:200 be16:100\n"
      ".applet section 5 be32:0x204060\n"
      ".line 1\n"
      "GETGLOBAL 0, \"loadbrush\"\n"
      "LOADNUM 1, 1\n"
      "LOADCONST 2, \"p.png\"\n"
      "CALL 0, 3, 1\n";
  struct Shown {
    int x, effect, speed;
  } shown[] = {{10, 32, 5}, {60, 115, 60}, {110, 139, -2}};
  for (const Shown& s : shown)
    text += "GETGLOBAL 0, \"displaybrushfx\"\nLOADNUM 1, 1\nLOADNUM 2, " + std::to_string(s.x) +
            "\nLOADNUM 3, 20\nLOADNUM 4, " + std::to_string(s.effect) + "\nLOADCONST 5, #" +
            std::to_string(s.speed) + "\nCALL 0, 6, 1\n";
  text += e2e::WAIT_LOOP;
  e2e::TempDir dir;
  e2e::WriteFile(dir / "a.qma", e2e::Assemble(text));
  e2e::WriteFile(dir / "p.png", e2e::Bytes(png.begin(), png.end()));

  Display* x = XOpenDisplay(server.name().c_str());
  ASSERT_NE(x, nullptr);
  e2e::Child player(e2e::PLAYER, {"-debugdevice", "stdout", dir / "a.qma"}, server.name(),
                    dir.path());
  Window window = e2e::ShownWindow(x, &player);
  if (!window) {
    e2e::RunResult r = player.Finish();
    FAIL() << "no window was shown: " << r.out << r.err;
  }

  // The last frames may still be on their way.
  for (const Shown& s : shown) {
    SCOPED_TRACE(testing::Message() << "effect " << s.effect);
    std::vector<uint32_t> got;
    e2e::WaitFor([&] { return (got = e2e::WindowRect(x, window, s.x, 20, PW, PH)) == want; });
    EXPECT_EQ(got, want);
  }
  EXPECT_EQ(e2e::WindowRect(x, window, 9, 19, 1, 1), std::vector<uint32_t>(1, BACKGROUND));
  EXPECT_EQ(e2e::WindowRect(x, window, 10 + PW, 20 + PH, 1, 1),
            std::vector<uint32_t>(1, BACKGROUND));

  e2e::CloseWindow(x, window);
  e2e::RunResult r = player.Finish();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.err, "");
  XCloseDisplay(x);
}

}  // namespace
