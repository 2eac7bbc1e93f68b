// Line input in the built player under Xvfb: InKeyStr reads what xdotool
// types into the window through the X server, and Control+V types in the
// text another client holds on the clipboard.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/e2e/player_run.h"
#include "tests/e2e/xvfb_suite.h"

namespace {

// A 320x200 window titled "Line Input" that reads one line of any
// characters with the cursor shown (InKeyStr(#ALL, 0, False, True)) and
// prints it behind "typed".
const char* const APPLET =
    ".applet title \"Line Input\"\n"
    ".applet section 3 be16:320 be16:200\n"
    ".line 1\n"
    "GETGLOBAL 0, \"inkeystr\"\n"
    "LOADNUM 1, 0\n"
    "LOADNUM 2, 0\n"
    "LOADNUM 3, 0\n"
    "LOADNUM 4, 1\n"
    "CALL 0, 5, 2\n"
    "GETGLOBAL 1, \"debugprint\"\n"
    "LOADCONST 2, \"typed\"\n"
    "MOVE 3, 0\n"
    "CALL 1, 3, 1\n"
    "RETURN 0, 1, 0\n";

class LineInputPlayer : public e2e::XvfbSuite<> {
 protected:
  void SetUp() override {
    e2e::XvfbSuite<>::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (std::system("command -v xdotool > /dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  }
  // Runs the applet while the shell command types into its window once it
  // is shown; the player's result. The paste case waits until xclip, which
  // goes to the background at once, answers for the clipboard, so the paste
  // never races its taking the selection.
  e2e::RunResult run(const std::string& keys) {
    e2e::WriteFile(dir_ / "a.qma", e2e::Assemble(APPLET));
    e2e::Child player(e2e::PLAYER, {"-quiet", "-debugdevice", "stdout", dir_ / "a.qma"},
                      server_->name(), dir_.path());
    const std::string window = "xdotool search --sync --onlyvisible --name '^Line Input$'";
    const std::string command = "export DISPLAY=" + server_->name() + "; timeout 60 sh -c \"" +
                                window + " > /dev/null && " + window + " windowfocus --sync && " +
                                keys + "\"";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return player.Finish();
  }

  e2e::TempDir dir_;
};

TEST_F(LineInputPlayer, TypedKeysAndAPasteMakeTheLine) {
  struct Case {
    const char* name;
    std::string keys;  // shell commands run once the window has the focus
    std::string out;
  };
  const Case cases[] = {
      {"typed, edited and ended with Return",
       "xdotool type --delay 20 'hix 5' && xdotool key --delay 20 Left Left BackSpace Return",
       "typed hi 5\n"},
      {"pasted with Control+V",
       "printf 'from clipboard' | xclip -selection clipboard -loops 10 2> /dev/null && "
       "until xclip -o -selection clipboard 2> /dev/null | grep -q 'from clipboard'; "
       "do sleep 0.05; done && "
       "xdotool type --delay 20 '>' && xdotool key --delay 20 ctrl+v Return",
       "typed >from clipboard\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::RunResult r = run(c.keys);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out) << r.err;
  }
}

}  // namespace
