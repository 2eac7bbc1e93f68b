// The built player's sound on a private X server, into ALSA's file
// plug-in. The game's music road: an applet opens a WAV as music, plays it
// and waits for events; its "OnMusicEnd" handler ends the run with status
// 3, and the capture must be the file's PCM followed only by the zero
// padding of the last block. A module's song position and row, as the
// script reads and waits for them, follow the sound that has reached the
// output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/player_run.h"
#include "tests/media/mod_builder.h"
#include "tests/platform/xvfb.h"

namespace {

const std::string MUSIC_APPLET =
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
    "CALL 0, 2, 1\n" +
    std::string(e2e::WAIT_LOOP) +
    ".function ended\n"
    ".line 3\n"
    "GETGLOBAL 0, \"end\"\n"
    "LOADNUM 1, 3, 0\n"
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

// The module of the position test: four orders of sixteen rows (a break
// on row 15), speed 3 at tempo 150: a tick is 96000 x 60 / (150 x 24) / 2
// = 800 frames at 48 kHz, a row 2,400 frames (50 ms), an order 38,400.
constexpr int64_t ROW_FRAMES = 2400;
constexpr int ROWS_PER_ORDER = 16;
constexpr int ORDERS = 4;
constexpr int64_t FRAMES_PER_MS = 48;

std::vector<uint8_t> PositionSong() {
  ModBuilder b;
  b.samples.push_back(SquareSample(32, 4));
  b.note(0, 0, 0, 428, 1, 0, 0);
  b.note(0, 0, 1, 0, 0, 0xF, 3);    // speed 3
  b.note(0, 0, 2, 0, 0, 0xF, 150);  // tempo 150
  b.note(0, 15, 3, 0, 0, 0xD, 0);   // on to the next order after row 15
  b.order = {0, 0, 0, 0};
  return b.build();
}

// Prints the capture's size in bytes, the song position and the pattern
// row read at the same moment (the size first, so that a position read
// after it can only be later), then `tag`. The file plug-in writes a frame
// to its file once the PCM's buffer has moved past it, as a device plays
// it: the file's size is the sound that has reached the output.
std::string Report(const std::string& tag) {
  return "GETGLOBAL 1, \"filesize\"\n"
         "LOADCONST 2, \"sound.raw\"\n"
         "CALL 1, 2, 2\n"
         "GETGLOBAL 2, \"getsongposition\"\n"
         "CALL 2, 1, 2\n"
         "GETGLOBAL 3, \"getpatternposition\"\n"
         "CALL 3, 1, 2\n"
         "GETGLOBAL 0, \"debugprint\"\n"
         "LOADCONST 4, \"" +
         tag +
         "\"\n"
         "MOVE 5, 1\n"
         "MOVE 6, 2\n"
         "MOVE 7, 3\n"
         "CALL 0, 5, 1\n";
}

// Plays the module, waits for orders 1 to 3 (reporting at each), then
// reports every 37 ms for a while, stops the music and ends.
std::string PositionApplet() {
  std::string text =
      ".applet section 3 be16:160 be16:100\n"
      ".line 1\n"
      "GETGLOBAL 0, \"openmusic\"\n"
      "LOADNUM 1, 1\n"
      "LOADCONST 2, \"song.mod\"\n"
      "CALL 0, 3, 1\n"
      "GETGLOBAL 0, \"playmusic\"\n"
      "LOADNUM 1, 1\n"
      "CALL 0, 2, 1\n";
  for (int n = 1; n <= 3; n++) {
    const std::string order = std::to_string(n);
    text += "GETGLOBAL 0, \"waitsongposition\"\nLOADNUM 1, " + order + "\nCALL 0, 2, 1\n";
    text += Report("wait" + order);
  }
  for (int i = 0; i < 30; i++) {
    text += "GETGLOBAL 0, \"wait\"\nLOADNUM 1, 37\nLOADNUM 2, 1\nCALL 0, 3, 1\n";  // 37 ms
    text += Report("read");
  }
  text += "GETGLOBAL 0, \"stopmusic\"\nLOADNUM 1, 1\nCALL 0, 2, 1\nRETURN 0, 1, 0\n";
  return text;
}

// One run of the applet; the faults found, none when the positions read
// follow the sound.
std::vector<std::string> PositionRun(const std::string& display, std::string* log) {
  std::vector<std::string> faults;
  e2e::TempDir dir;
  e2e::WriteFile(dir / "song.mod", PositionSong());
  {
    std::ofstream rc(dir / ".asoundrc");
    rc << "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"" << (dir / "sound.raw")
       << "\"\n  format \"raw\"\n}\n";
  }
  const std::string applet = dir / "position.qma";
  e2e::WriteFile(applet, e2e::Assemble(PositionApplet()));
  const char* oldHome = getenv("HOME");
  std::string savedHome = oldHome ? oldHome : "";
  setenv("HOME", dir.path().c_str(), 1);
  e2e::Child player(e2e::PLAYER, {"-debugdevice", "stdout", applet}, display, dir.path());
  if (oldHome)
    setenv("HOME", savedHome.c_str(), 1);
  else
    unsetenv("HOME");
  e2e::RunResult result = player.Finish();
  *log = result.out + result.err;
  if (result.status != 0) faults.push_back("exit status " + std::to_string(result.status));

  int waits = 0, reads = 0;
  std::istringstream lines(result.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string tag;
    int64_t bytes = -1, position = -1, row = -1;
    if (!(fields >> bytes >> position >> row >> tag)) continue;
    const int64_t frames = bytes / 4;  // 16-bit stereo
    if (tag.rfind("wait", 0) == 0) {
      // The frames that reached the output when the wait for order n
      // ended: the start of order n, within 50 ms.
      const int n = std::stoi(tag.substr(4));
      const int64_t reference = int64_t{n} * ROWS_PER_ORDER * ROW_FRAMES;
      waits++;
      if (position != n || std::llabs(frames - reference) > 50 * FRAMES_PER_MS)
        faults.push_back(line + ": order " + std::to_string(n) + " begins at frame " +
                         std::to_string(reference));
    } else if (tag == "read") {
      // The row heard is the one the frames written out have reached;
      // the row read may be one off (read a moment later, or rounded).
      const int64_t cycle = int64_t{ORDERS} * ROWS_PER_ORDER;
      const int64_t heard = (frames / ROW_FRAMES) % cycle;
      int64_t off = (position * ROWS_PER_ORDER + row - heard) % cycle;
      if (off > cycle / 2) off -= cycle;
      if (off < -cycle / 2) off += cycle;
      reads++;
      if (position < 0 || row < 0 || std::llabs(off) > 1)
        faults.push_back(line + ": the row heard is " + std::to_string(heard % ROWS_PER_ORDER) +
                         " of order " + std::to_string(heard / ROWS_PER_ORDER));
    }
  }
  if (waits != 3 || reads != 30) faults.push_back("the applet did not report every reading");
  return faults;
}

TEST(ModulePosition, FollowsTheSoundThatReachedTheOutput) {
  TestXServer server(24);
  if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
  ASSERT_EQ(access(e2e::PLAYER.c_str(), X_OK), 0) << "build the quillmere program first";
  // A loaded machine may stall the player between a position change and
  // the reading: such a run is tried again. A position that runs ahead of
  // the sound fails every run.
  std::vector<std::string> faults;
  std::string log;
  for (int attempt = 0; attempt < 3; attempt++) {
    faults = PositionRun(server.name(), &log);
    if (faults.empty()) break;
  }
  std::string text;
  for (const std::string& f : faults) text += f + "\n";
  EXPECT_TRUE(faults.empty()) << text << log;
}

}  // namespace
