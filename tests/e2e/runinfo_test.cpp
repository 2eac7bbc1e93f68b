// A run of the built player hands the script what its command line held:
// the options the player does not know, the program type and file names,
// and the file argument.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/player_run.h"
#include "tests/platform/xvfb.h"

namespace {

// Prints GetCommandLine's count, the first option's name, the second's name
// and value; GetProgramInfo's type and first name; GetFileArgument.
const char* const APPLET =
    ".line 1\n"
    "GETGLOBAL 0, \"getcommandline\"\n"
    "CALL 0, 1, 3\n"
    "GETTABLE 2, 0, #0\n"
    "GETTABLE 3, 2, \"arg\"\n"
    "GETTABLE 4, 0, #1\n"
    "GETTABLE 5, 4, \"arg\"\n"
    "GETTABLE 6, 4, \"param\"\n"
    "GETGLOBAL 7, \"debugprint\"\n"
    "MOVE 8, 1\n"
    "MOVE 9, 3\n"
    "MOVE 10, 5\n"
    "MOVE 11, 6\n"
    "CALL 7, 5, 1\n"
    "GETGLOBAL 7, \"getprograminfo\"\n"
    "CALL 7, 1, 4\n"
    "GETGLOBAL 10, \"debugprint\"\n"
    "MOVE 11, 7\n"
    "MOVE 12, 8\n"
    "CALL 10, 3, 1\n"
    "GETGLOBAL 10, \"getfileargument\"\n"
    "CALL 10, 1, 2\n"
    "GETGLOBAL 11, \"debugprint\"\n"
    "MOVE 12, 10\n"
    "CALL 11, 2, 1\n"
    "RETURN 0, 1, 0\n";

TEST(RunInformation, CommandLineProgramTypeAndFileArgumentComeBackAsGiven) {
  TestXServer server(24);
  if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
  ASSERT_EQ(access(e2e::PLAYER.c_str(), X_OK), 0) << "build the quillmere program first";
  e2e::TempDir dir;
  e2e::WriteFile(dir / "a.qma", e2e::Assemble(APPLET));
  e2e::RunResult r = e2e::Run(
      e2e::PLAYER, {"-quiet", "-debugdevice", "stdout", dir / "a.qma", "-fast", "-level", "3"},
      server.name(), dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2 fast level 3\n1 " + (dir / "a.qma") + "\n" + (dir / "a.qma") + "\n");
}

}  // namespace
