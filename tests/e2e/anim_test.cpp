// End-to-end anims: a GIF anim declared in the applet's header is loaded
// before the first display opens, keeps its frames raw until then, and the
// window shows its frames; by then the anim's file is closed. On a private
// X server, pixels read back from the window.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <X11/Xlib.h>
#include <unistd.h>

#include "tests/e2e/player_run.h"
#include "tests/e2e/window_check.h"
#include "tests/media/image_support.h"
#include "tests/platform/xvfb.h"

namespace {

constexpr uint32_t NAME_MARK = 0x7E7E7E7E;

// Whether the process holds the file open.
bool HoldsOpen(pid_t pid, const std::string& file) {
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    char target[PATH_MAX];
    ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == file) return true;
  }
  return false;
}

TEST(AnimRun, DeclaredAnimShowsItsFramesOnceTheDisplayOpens) {
  TestXServer server("1024x768x24");
  if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
  ASSERT_EQ(access(e2e::PLAYER.c_str(), X_OK), 0) << "build the quillmere program first";
  Display* x = XOpenDisplay(server.name().c_str());
  ASSERT_NE(x, nullptr);

  e2e::TempDir dir;
  const std::string gif = dir / "g.gif";
  imagetest::Shell("convert -size 16x12 xc:'#ff0000' xc:'#00ff00' -loop 0 '" + gif + "'");
  ASSERT_TRUE(std::filesystem::exists(gif));

  // Anim 6 declared as "g.gif": no key colour, no flags, no loader or
  // adapter; in memory, the file's own frames, no loop frames skipped, no
  // deinterlacing (its name is a constant of the script). DisplayAnimFrame(6, 10, 20, 1); DisplayAnimFrame(6, 40,
  // 20, 2); then wait.
  std::string text =
      ".applet section 3 be16:640 be16:480\n"
      ".applet section 5 be32:0x336699\n"
      ".applet section 2 be32:1 2 be32:6 be32:" +
      std::to_string(NAME_MARK) +
      " be32:5 be32:0 be32:0 be32:4294967295 be32:0 be32:0 be16:0 be16:0 0 be16:0 be16:0 "
      "be16:0 be16:0 be16:0 be16:0 0 0\n"
      ".line 1\n"
      "LOADCONST 0, \"g.gif\"\n"
      "GETGLOBAL 0, \"displayanimframe\"\n"
      "LOADNUM 1, 6\n"
      "LOADNUM 2, 10\n"
      "LOADNUM 3, 20\n"
      "LOADNUM 4, 1\n"
      "CALL 0, 5, 1\n"
      "GETGLOBAL 0, \"displayanimframe\"\n"
      "LOADNUM 1, 6\n"
      "LOADNUM 2, 40\n"
      "LOADNUM 3, 20\n"
      "LOADNUM 4, 2\n"
      "CALL 0, 5, 1\n" +
      std::string(e2e::WAIT_LOOP);
  e2e::Bytes applet = e2e::Assemble(text);
  ASSERT_TRUE(e2e::PatchName(&applet, NAME_MARK, "g.gif"));
  e2e::WriteFile(dir / "a.qma", applet);
  e2e::Child player(e2e::PLAYER, {"-debugdevice", "stdout", dir / "a.qma"}, server.name(),
                    dir.path());

  Window window = e2e::ShownWindow(x, &player);
  ASSERT_NE(window, 0u) << "no window was shown";
  const std::vector<uint32_t> red(16 * 12, 0xFF0000), green(16 * 12, 0x00FF00);
  std::vector<uint32_t> got;
  e2e::WaitFor([&] { return (got = e2e::WindowRect(x, window, 10, 20, 16, 12)) == red; });
  EXPECT_EQ(got, red);
  e2e::WaitFor([&] { return (got = e2e::WindowRect(x, window, 40, 20, 16, 12)) == green; });
  EXPECT_EQ(got, green);
  EXPECT_EQ(e2e::WindowRect(x, window, 26, 20, 1, 1), std::vector<uint32_t>(1, 0x336699));
  EXPECT_FALSE(HoldsOpen(player.Pid(), gif));

  e2e::CloseWindow(x, window);
  e2e::RunResult r = player.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Loading animation g.gif"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
  XCloseDisplay(x);
}

}  // namespace
