// The game's music road through the built player on a private X server:
// an applet opens a WAV as music, plays it and waits for events; its
// "OnMusicEnd" handler ends the run with status 3. The sound goes to ALSA's
// file plug-in, so the capture must be the file's PCM followed only by the
// zero padding of the last block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/e2e/player_run.h"
#include "tests/platform/xvfb.h"

namespace {

const char* const MUSIC_APPLET =
    ".applet section 3 be16:160 be16:100\n"
    ".line 1\n"
    "GETGLOBAL 0, \"installeventhandler\"\n"
    "NEWTABLE 1, 0, 1\n"
    "CLOSURE 2 ended\n"
    "SETTABLE 1, \"onmusicend\", 2\n"
    "CALL 0, 2, 1\n"
    "GETGLOBAL 0, \"openmusic\"\n"
    "LOADNUM 1, 1\n"
    "LOADCONST 2, \"tone.wav\"\n"
    "CALL 0, 3, 1\n"
    "GETGLOBAL 0, \"playmusic\"\n"
    "LOADNUM 1, 1\n"
    "CALL 0, 2, 1\n"
    "GETGLOBAL 0, \"setinterval\"\n"
    "LOADNIL 1, 1\n"
    "CLOSURE 2 late\n"
    "LOADCONST 3, #10000\n"
    "CALL 0, 4, 1\n"
    "loop:\n"
    "GETGLOBAL 0, \"waitevent\"\n"
    "CALL 0, 1, 1\n"
    "JUMP loop\n"
    "RETURN 0, 1, 0\n"
    ".function ended\n"
    ".line 2\n"
    "GETGLOBAL 0, \"end\"\n"
    "LOADNUM 1, 3, 0\n"
    "CALL 0, 2, 1\n"
    "RETURN 0, 1, 0\n"
    ".end\n"
    ".function late\n"
    ".line 3\n"
    "GETGLOBAL 0, \"end\"\n"
    "LOADNUM 1, 9, 0\n"
    "CALL 0, 2, 1\n"
    "RETURN 0, 1, 0\n"
    ".end\n";

TEST(MusicRoad, OnMusicEndEndsTheRunAfterTheWholeFile) {
  TestXServer server(24);
  if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
  ASSERT_EQ(access(e2e::PLAYER.c_str(), X_OK), 0) << "build the quillmere program first";
  e2e::TempDir dir;
  const std::string wav = dir / "tone.wav";
  ASSERT_EQ(std::system(("sox -n -r 8000 -c 1 -b 16 '" + wav + "' synth 1.5 sine 440").c_str()), 0);
  FILE* sox = popen(("sox '" + wav + "' -t raw - 2>/dev/null").c_str(), "r");
  ASSERT_NE(sox, nullptr);
  std::string pcm;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, sox)) > 0;) pcm.append(buffer, n);
  pclose(sox);
  ASSERT_EQ(pcm.size(), 24000u);
  {
    std::ofstream rc(dir / ".asoundrc");
    rc << "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"" << (dir / "sound.raw")
       << "\"\n  format \"raw\"\n}\n";
  }
  const std::string applet = dir / "music.qma";
  e2e::WriteFile(applet, e2e::Assemble(MUSIC_APPLET));

  const char* oldHome = getenv("HOME");
  std::string savedHome = oldHome ? oldHome : "";
  setenv("HOME", dir.path().c_str(), 1);
  e2e::Child player(e2e::PLAYER, {"-debugdevice", "stdout", applet}, server.name(), dir.path());
  if (oldHome)
    setenv("HOME", savedHome.c_str(), 1);
  else
    unsetenv("HOME");
  e2e::RunResult result = player.Finish();
  EXPECT_EQ(result.status, 3) << result.out << result.err;

  std::ifstream in(dir / "sound.raw", std::ios::binary);
  std::string captured((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(captured.size(), pcm.size());
  EXPECT_TRUE(captured.compare(0, pcm.size(), pcm) == 0)
      << "the capture does not start with the PCM";
  EXPECT_TRUE(std::all_of(captured.begin() + static_cast<std::ptrdiff_t>(pcm.size()),
                          captured.end(), [](char c) { return c == 0; }))
      << "the capture holds more than zero padding after the PCM";
}

}  // namespace
