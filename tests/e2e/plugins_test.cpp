// End-to-end runs of the built player whose applet calls a command that
// only the test library plug-in (testlib.qmp) adds: the plug-in found in
// the "Plugins" directory beside the program, in the program's own
// directory when the applet is appended, and unpacked from a plug-in pack
// (plain and zlib-packed) in front of the appended applet into the run's
// temporary directory, which is gone after the run. A pack entry whose
// name would leave that directory is refused before anything is written.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include <dirent.h>
#include <sys/stat.h>

#include "engine/engine.h"
#include "runtime/runtime.h"
#include "tests/e2e/player_run.h"
#include "tests/e2e/xvfb_suite.h"
#include "tests/platform/xvfb.h"

namespace {

using e2e::Bytes;

const std::string TESTLIB = std::string(QM_BINARY_DIR) + "/tests/plugins/modules/testlib.qmp";

// Prints PlugAdd(40, 2) and ends with End(4).
const char* const CALLS_PLUGADD =
    ".line 1\n"
    "GETGLOBAL 0, \"debugprint\"\n"
    "GETGLOBAL 1, \"plugadd\"\n"
    "LOADNUM 2, 40, 0\n"
    "LOADNUM 3, 2, 0\n"
    "CALL 1, 3, 2\n"
    "CALL 0, 2, 1\n"
    "GETGLOBAL 0, \"end\"\n"
    "LOADNUM 1, 4, 0\n"
    "CALL 0, 2, 1\n"
    "RETURN 0, 1, 0\n";

std::string errorText(ErrorCode code, const char* argument) {
  SetErrorArgString(argument);
  char text[1024];
  GetErrorText(code, text, sizeof text);
  return text;
}

// What the script does once it has printed "ready" (flushed): run for
// ever, with the event poll on or switched off, or wait for a program,
// where nothing looks at a signal.
enum class Script { LOOPS, LOOPS_UNPOLLED, WAITS_FOR_PROGRAM };

std::string runsOn(Script script) {
  return std::string(".line 1\n") +
         (script == Script::LOOPS_UNPOLLED ? "GETGLOBAL 0, \"disablelinehook\"\nCALL 0, 1, 1\n"
                                           : "") +
         "GETGLOBAL 0, \"debugprintnr\"\n"
         "LOADCONST 1, \"ready\"\n"
         "CALL 0, 2, 1\n" +
         (script == Script::WAITS_FOR_PROGRAM
              ? "GETGLOBAL 0, \"execute\"\nLOADCONST 1, \"sleep 10\"\nCALL 0, 2, 1\n"
              : "top: JUMP top\n") +
         "RETURN 0, 1, 0\n";
}

std::vector<std::string> entries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* d = opendir(directory.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

class PluginRun : public e2e::XvfbSuite<> {
 protected:
  void SetUp() override {
    e2e::XvfbSuite<>::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(access(TESTLIB.c_str(), R_OK), 0) << "build the test plug-ins first: " << TESTLIB;
    program_ = e2e::ReadFile(e2e::PLAYER);
    plugin_ = e2e::ReadFile(TESTLIB);
    applet_ = e2e::Assemble(CALLS_PLUGADD);
  }

  e2e::TempDir dir_;
  Bytes program_, plugin_, applet_;
};

TEST_F(PluginRun, PluginsDirectoryBesideTheProgram) {
  ASSERT_EQ(mkdir((dir_ / "Plugins").c_str(), 0755), 0);
  e2e::WriteFile(dir_ / "quillmere", program_, 0755);
  e2e::WriteFile(dir_ / "Plugins/testlib.qmp", plugin_, 0755);
  e2e::WriteFile(dir_ / "a.qma", applet_);
  e2e::RunResult r =
      e2e::Run(dir_ / "quillmere", {"-quiet", "-debugdevice", "stdout", dir_ / "a.qma"},
               server_->name(), dir_.path());
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.out, "42\n");
  EXPECT_EQ(r.err, "");
}

// The built program with the C plug-in "testcheck": a raise from inside the
// plug-in's command unwinds through its C frame back into the player, which
// reports the script's error and ends as after any other error, instead of
// the run aborting because the unwind could not pass the plug-in.
TEST_F(PluginRun, RaiseUnwindsThroughACPluginInTheProgram) {
  const std::string TESTCHECK = std::string(QM_BINARY_DIR) + "/tests/plugins/modules/testcheck.qmp";
  ASSERT_EQ(access(TESTCHECK.c_str(), R_OK), 0) << "build the test plug-ins first: " << TESTCHECK;
  ASSERT_EQ(mkdir((dir_ / "Plugins").c_str(), 0755), 0);
  e2e::WriteFile(dir_ / "quillmere", program_, 0755);
  e2e::WriteFile(dir_ / "Plugins/testcheck.qmp", e2e::ReadFile(TESTCHECK), 0755);
  e2e::WriteFile(dir_ / "a.qma", e2e::Assemble(".line 1\n"
                                               "GETGLOBAL 0, \"checkedraise\"\n"
                                               "LOADCONST 1, #1055\n"
                                               "CALL 0, 2, 1\n"
                                               "RETURN 0, 1, 0\n"));
  e2e::RunResult r =
      e2e::Run(dir_ / "quillmere", {"-quiet", "-debugdevice", "stdout", dir_ / "a.qma"},
               server_->name(), dir_.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE((r.out + r.err).find(errorText(ERR_WRONGUSAGE, "")), std::string::npos)
      << r.out << r.err;
}

// Appended applets, with and without a pack in front of them; the program's
// settings file sends the debug output to standard output and puts the
// run's temporary directory into a directory of the test's own.
TEST_F(PluginRun, AppendedApplet) {
  struct Case {
    const char* name;
    std::vector<qmasm::PackedPlugin> pack;
    bool compressed;
    bool besideProgram;  // testlib.qmp lies in the program's directory
    int status;
    std::string out;
  };
  const std::string refused = "Error: " + errorText(ERR_WRITEFILE, "../x") + "\n";
  const Case cases[] = {
      {"plug-in in the program's directory", {}, false, true, 4, "42\n"},
      {"plain pack", {{"testlib", plugin_}}, false, false, 4, "42\n"},
      {"zlib-packed pack", {{"testlib", plugin_}}, true, false, 4, "42\n"},
      {"entry named ../x", {{"testlib", plugin_}, {"../x", plugin_}}, false, false, 1, refused},
      {"packed entry named ../x", {{"../x", plugin_}}, true, false, 1, refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::TempDir dir;
    const std::string temp = dir / "temp";
    ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
    Bytes game;
    std::string error;
    ASSERT_TRUE(qmasm::AppendApplet(program_, c.pack, c.compressed, applet_, &game, &error))
        << error;
    e2e::WriteFile(dir / "game", game, 0755);
    if (c.besideProgram) e2e::WriteFile(dir / "testlib.qmp", plugin_, 0755);
    std::string ini = "DEBUGDEVICE = stdout\nTEMPDIR = \"" + temp + "\"\n";
    e2e::WriteFile(dir / "game.ini", Bytes(ini.begin(), ini.end()));

    e2e::RunResult r = e2e::Run(dir / "game", {}, server_->name(), dir.path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    // Nothing is left in the temporary directory, and nothing was written
    // beside it or beside the program.
    EXPECT_TRUE(entries(temp).empty()) << "files left in " << temp;
    std::vector<std::string> expected{".stderr", ".stdout", "game", "game.ini", "temp"};
    if (c.besideProgram) expected.push_back("testlib.qmp");
    std::vector<std::string> found = entries(dir.path());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, expected);
  }
}

// The player with testdisplay in its "Plugins" directory: the applet's
// display opens as the adapter's framebuffer, no X window appears, a click
// read from the adapter's input file reaches "onmousedown", whose End(3)
// ends the run, and the framebuffer captured at CloseDisplay is all the
// display's colour. testdisplayhw (all bitmaps its own, pixel format 13)
// runs the main chunk from its AdapterMainLoop, which leaves a mark.
TEST_F(PluginRun, DisplayAdapterRunsTheApplet) {
  const std::string text =
      ".applet section 5 be32:0x336699\n"
      ".line 1\n"
      "GETGLOBAL 0, \"installeventhandler\"\n"
      "NEWTABLE 1, 0, 1\n"
      "CLOSURE 2 down\n"
      "SETTABLE 1, \"onmousedown\", 2\n"
      "CALL 0, 2, 1\n" +
      std::string(e2e::WAIT_LOOP) +
      ".function down\n"
      ".line 3\n"
      "GETGLOBAL 0, \"end\"\n"
      "LOADNUM 1, 3, 0\n"
      "CALL 0, 2, 1\n"
      "RETURN 0, 1, 0\n"
      ".end\n";
  for (const std::string module : {"testdisplay", "testdisplayhw"}) {
    SCOPED_TRACE(module);
    const std::string plugin =
        std::string(QM_BINARY_DIR) + "/tests/plugins/modules/" + module + ".qmp";
    ASSERT_EQ(access(plugin.c_str(), R_OK), 0) << "build the test plug-ins first";
    const std::string run = dir_ / module;
    ASSERT_EQ(mkdir(run.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((run + "/Plugins").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((run + "/capture").c_str(), 0755), 0);
    e2e::WriteFile(run + "/quillmere", program_, 0755);
    e2e::WriteFile(run + "/Plugins/" + module + ".qmp", e2e::ReadFile(plugin), 0755);
    e2e::WriteFile(run + "/a.qma", e2e::Assemble(text));
    const std::string input = "3 10 10 1 1\n";
    e2e::WriteFile(run + "/input", Bytes(input.begin(), input.end()));
    setenv("QM_TESTDISPLAY_INPUT", (run + "/input").c_str(), 1);
    setenv("QM_TESTDISPLAY_CAPTURE", (run + "/capture").c_str(), 1);
    e2e::RunResult r =
        e2e::Run(run + "/quillmere", {"-quiet", "-debugdevice", "stdout", run + "/a.qma"},
                 server_->name(), run);
    unsetenv("QM_TESTDISPLAY_INPUT");
    unsetenv("QM_TESTDISPLAY_CAPTURE");
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_EQ(r.err, "");
    std::string info;
    server_->run({"xwininfo", "-root", "-children"}, nullptr, &info);
    EXPECT_NE(info.find("0 children"), std::string::npos) << info;
    EXPECT_EQ(access((run + "/capture/mainloop").c_str(), F_OK) == 0, module == "testdisplayhw");

    Bytes pam = e2e::ReadFile(run + "/capture/window0.pam");
    const std::string header =
        "P7\nWIDTH 640\nHEIGHT 480\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n";
    ASSERT_EQ(pam.size(), header.size() + 640 * 480 * 3);
    EXPECT_EQ(std::string(pam.begin(), pam.begin() + header.size()), header);
    size_t wrong = 0;
    for (size_t i = header.size(); i < pam.size(); i += 3)
      wrong += pam[i] != 0x33 || pam[i + 1] != 0x66 || pam[i + 2] != 0x99;
    EXPECT_EQ(wrong, 0u);
  }
}

// A termination signal to a running player ends it as a quit request
// does, with the exit status 128 + the signal's number: the shut-down
// deletes the run's temporary directory (the plug-ins unpacked from the
// pack in front of an appended applet) or file (the inflated applet of a
// compressed one), which a kill used to leave behind. A script that
// switched the event poll off ends the same way. A second signal during
// the shut-down (here while the script waits for a program) ends the
// program at once and still deletes them.
TEST_F(PluginRun, TerminationSignalsLeaveNoTemporaryFiles) {
  struct Case {
    int signal;
    bool appended;  // else a compressed applet
    Script script;
  };
  std::vector<Case> cases;
  for (int signal : {SIGINT, SIGTERM, SIGHUP})
    for (bool appended : {true, false}) cases.push_back({signal, appended, Script::LOOPS});
  cases.push_back({SIGTERM, true, Script::LOOPS_UNPOLLED});
  cases.push_back({SIGINT, false, Script::LOOPS_UNPOLLED});
  cases.push_back({SIGTERM, true, Script::WAITS_FOR_PROGRAM});
  cases.push_back({SIGHUP, false, Script::WAITS_FOR_PROGRAM});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.appended ? ", appended" : ", compressed") +
                 (c.script == Script::LOOPS_UNPOLLED      ? ", poll off"
                  : c.script == Script::WAITS_FOR_PROGRAM ? ", waits for a program"
                                                          : ""));
    Bytes applet = e2e::Assemble(runsOn(c.script)), container;
    std::string error;
    if (c.appended)
      ASSERT_TRUE(
          qmasm::AppendApplet(program_, {{"testlib", plugin_}}, true, applet, &container, &error))
          << error;
    else
      ASSERT_TRUE(qmasm::CompressApplet(applet, &container, &error)) << error;
    e2e::TempDir dir;
    const std::string temp = dir / "temp";
    ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
    std::string ini = "DEBUGDEVICE = stdout\nTEMPDIR = \"" + temp + "\"\n";
    std::string program = e2e::PLAYER;
    std::vector<std::string> args;
    if (c.appended) {
      program = dir / "game";
      e2e::WriteFile(program, container, 0755);
      e2e::WriteFile(dir / "game.ini", Bytes(ini.begin(), ini.end()));
    } else {
      e2e::WriteFile(dir / "a.qma", container);
      e2e::WriteFile(dir / "a.ini", Bytes(ini.begin(), ini.end()));
      args = {"-quiet", dir / "a.qma"};
    }
    e2e::Child child(program, args, server_->name(), dir.path());
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (e2e::ReadText(dir / ".stdout") != "ready" && !child.Exited() &&
           std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(e2e::ReadText(dir / ".stdout"), "ready") << e2e::ReadText(dir / ".stderr");
    ASSERT_EQ(entries(temp).size(), 1u) << "the run keeps one temporary entry";
    EXPECT_EQ(entries(temp)[0].rfind("quillmere.", 0), 0u);
    // Never kill(-1): once the child is reaped its id is -1.
    ASSERT_GT(child.Pid(), 0);
    ASSERT_EQ(kill(child.Pid(), c.signal), 0);
    if (c.script == Script::WAITS_FOR_PROGRAM) {
      // A second signal comes during the shut-down that the first began
      // (and ends the program at once) or after the player ended: the
      // outcome is the same.
      ASSERT_GT(child.Pid(), 0);
      ASSERT_EQ(kill(child.Pid(), c.signal), 0);
    }
    e2e::RunResult r = child.Finish();
    EXPECT_EQ(r.status, 128 + c.signal);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(entries(temp).empty()) << "files left in " << temp;
  }
}

}  // namespace
