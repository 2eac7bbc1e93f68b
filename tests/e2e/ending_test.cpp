// How a run ends, as the shell that started the player sees it: the exit
// status after End, after a reported error, after a termination signal and
// after a close request during a wait; a file the script left open,
// complete on disk after End and after a signal during Execute, whose
// program ends with the run (and holds the terminal while it runs); the
// error report on the debug device with the file, line and command; the
// progress line a failed step leaves open; and the run's temporary
// directory, gone however the run ended.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/player_run.h"
#include "tests/e2e/xvfb_suite.h"
#include "tests/e2e/window_check.h"
#include "tests/platform/xvfb.h"

namespace {

using e2e::Bytes;

// A termination ends the run within a second on an idle machine. The bound
// leaves room for sanitizer builds on a busy one; every wait below would
// last far longer (Wait(1000) twenty seconds, the program thirty).
constexpr auto ENDS_WITHIN = std::chrono::seconds(8);

const std::string TESTLIB = std::string(QM_BINARY_DIR) + "/tests/plugins/modules/testlib.qmp";

// LoadBrush of a picture that does not exist, at line 3 of demo.qms.
const char* const LOAD_MISSING =
    ".line 3\n"
    "GETGLOBAL 0, \"loadbrush\"\n"
    "LOADNUM 1, 1\n"
    "LOADCONST 2, \"nosuch.png\"\n"
    "CALL 0, 3, 1\n";

const char* const PRINT_AFTER =
    ".line 4\n"
    "GETGLOBAL 0, \"consoleprint\"\n"
    "LOADCONST 1, \"after\"\n"
    "CALL 0, 2, 1\n";

const char* const PRINT_READY =
    ".line 1\n"
    "GETGLOBAL 0, \"consoleprint\"\n"
    "LOADCONST 1, \"ready\"\n"
    "CALL 0, 2, 1\n";

std::vector<std::string> entries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* d = opendir(directory.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A process, by the fields of /proc/<pid>/stat: its parent, its process
// group, and whether it still runs (a zombie does not).
struct ProcessInfo {
  pid_t pid = 0, parent = 0, group = 0;
  bool running = false;
};

std::vector<ProcessInfo> processes() {
  std::vector<ProcessInfo> list;
  for (const std::string& name : entries("/proc")) {
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in("/proc/" + name + "/stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    // The command name in parentheses may hold blanks: read after its end.
    size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    char state = 0;
    ProcessInfo p;
    p.pid = static_cast<pid_t>(std::stol(name));
    rest >> state >> p.parent >> p.group;
    p.running = state != 'Z' && state != 'X';
    list.push_back(p);
  }
  return list;
}

class Ending : public e2e::XvfbSuite<> {
 protected:
};

// The exit status and the end of standard output, the debug device. A
// failed load leaves its progress line open; whatever comes next (the
// error report, the script's own output) starts on a line of its own. A
// file still open at End holds everything written to it once the player
// has exited.
TEST_F(Ending, StatusAndReport) {
  struct Case {
    const char* name;
    std::string text;
    bool quiet;
    int status;
    std::string outEnd;
    const char* written = nullptr;  // out.txt afterwards, when the case writes it
  };
  const std::string source = ".source \"@demo.qms\"\n";
  const Case cases[] = {
      {"End(7)", ".line 1\nGETGLOBAL 0, \"end\"\nLOADNUM 1, 7, 0\nCALL 0, 2, 1\nRETURN 0, 1, 0\n",
       true, 7, ""},
      {"runs off its end", ".line 1\nRETURN 0, 1, 0\n", true, 0, ""},
      // OpenFile(1, "out.txt", #MODE_WRITE), WriteLine(1, "kept"), End(7).
      {"End(7) with a file open",
       ".line 1\nGETGLOBAL 0, \"openfile\"\nLOADNUM 1, 1\nLOADCONST 2, \"out.txt\"\n"
       "LOADCONST 3, #1006\nCALL 0, 4, 1\n"
       "GETGLOBAL 0, \"writeline\"\nLOADNUM 1, 1\nLOADCONST 2, \"kept\"\nCALL 0, 3, 1\n"
       "GETGLOBAL 0, \"end\"\nLOADNUM 1, 7, 0\nCALL 0, 2, 1\nRETURN 0, 1, 0\n",
       true, 7, "", "kept\n"},
      {"missing picture", source + LOAD_MISSING + "RETURN 0, 1, 0\n", false, 1,
       "Loading brush nosuch.png\n"
       "demo.qms:3: Cannot read file nosuch.png ! (In function: LoadBrush)\n"},
      {"missing picture, error ignored",
       source + ".line 2\nGETGLOBAL 0, \"exitonerror\"\nLOADNUM 1, 0\nCALL 0, 2, 1\n" +
           LOAD_MISSING + PRINT_AFTER + "RETURN 0, 1, 0\n",
       false, 0, "Loading brush nosuch.png\nafter\n"},
      {"SetFont",
       source +
           ".line 2\nGETGLOBAL 0, \"setfont\"\nLOADCONST 1, \"topaz\"\nLOADNUM 2, 8\n"
           "CALL 0, 3, 1\n" +
           PRINT_AFTER + "RETURN 0, 1, 0\n",
       false, 0, "Opening font topaz...\nafter\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::TempDir dir;
    e2e::WriteFile(dir / "a.qma", e2e::Assemble(c.text));
    std::vector<std::string> args{"-debugdevice", "stdout", dir / "a.qma"};
    if (c.quiet) args.insert(args.begin(), "-quiet");
    e2e::RunResult r = e2e::Run(e2e::PLAYER, args, server_->name(), dir.path());
    EXPECT_EQ(r.status, c.status);
    if (c.written) {
      const Bytes file = e2e::ReadFile(dir / "out.txt");
      EXPECT_EQ(std::string(file.begin(), file.end()), c.written);
    }
    if (c.quiet) {
      EXPECT_EQ(r.out, c.outEnd);
    } else {
      EXPECT_TRUE(endsWith(r.out, c.outEnd)) << r.out;
    }
  }
}

// One SIGTERM ends the run wherever the script is, with status 143, and
// the run's temporary directory (the plug-ins unpacked from the pack in
// front of an appended applet) is gone. The script's "ready" line reaches
// the output file while the player still runs. With the error requester
// open, the requester closes and the shut-down goes on.
TEST_F(Ending, OneTerminationSignal) {
  ASSERT_EQ(access(TESTLIB.c_str(), R_OK), 0) << "build the test plug-ins first";
  struct Case {
    const char* name;
    std::string text;
    bool requester;  // wait for the error requester instead of "ready"
  };
  const Case cases[] = {
      {"Wait(1000)",
       std::string(PRINT_READY) + "GETGLOBAL 0, \"wait\"\nLOADCONST 1, #1000\nCALL 0, 2, 1\n" +
           "RETURN 0, 1, 0\n",
       false},
      {"WaitEvent",
       std::string(PRINT_READY) + "loop:\nGETGLOBAL 0, \"waitevent\"\nCALL 0, 1, 1\nJUMP loop\n" +
           "RETURN 0, 1, 0\n",
       false},
      {"synchronous transition",
       ".applet section 3 be16:320 be16:240\n" + std::string(PRINT_READY) +
           "GETGLOBAL 0, \"creategradientbgpic\"\nLOADNUM 1, 2\nLOADNUM 2, 2\n"
           "LOADCONST 3, #16744448\nLOADCONST 4, #2105504\nLOADNUM 5, 320\nLOADNUM 6, 240\n"
           "CALL 0, 7, 1\n"
           "GETGLOBAL 0, \"displaytransitionfx\"\nLOADNUM 1, 2\nLOADNUM 2, 115\nLOADNUM 3, 1\n"
           "CALL 0, 4, 1\nRETURN 0, 1, 0\n",
       false},
      {"error requester", std::string(LOAD_MISSING) + "RETURN 0, 1, 0\n", true},
      {"a program it waits for",
       std::string(PRINT_READY) + "GETGLOBAL 0, \"execute\"\nLOADCONST 1, \"sleep 30\"\n" +
           "CALL 0, 2, 1\nRETURN 0, 1, 0\n",
       false},
  };
  const Bytes program = e2e::ReadFile(e2e::PLAYER), plugin = e2e::ReadFile(TESTLIB);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes game;
    std::string error;
    ASSERT_TRUE(qmasm::AppendApplet(program, {{"testlib", plugin}}, true, e2e::Assemble(c.text),
                                    &game, &error))
        << error;
    e2e::TempDir dir;
    const std::string temp = dir / "temp";
    ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
    e2e::WriteFile(dir / "game", game, 0755);
    std::string ini = "TEMPDIR = \"" + temp + "\"\n";
    if (!c.requester) ini += "DEBUGDEVICE = stdout\n";
    e2e::WriteFile(dir / "game.ini", Bytes(ini.begin(), ini.end()));

    // GTK keeps caches to the end of the process; the sanitizer's other
    // options stay as they were, for this player and for the next ones.
    const char* sanitizer = getenv("ASAN_OPTIONS");
    const bool had = sanitizer != nullptr;
    const std::string saved = had ? sanitizer : "";
    if (c.requester)
      setenv("ASAN_OPTIONS", (saved + (had ? ":" : "") + "detect_leaks=0").c_str(), 1);
    e2e::Child child(dir / "game", {}, server_->name(), dir.path());
    if (c.requester && had) setenv("ASAN_OPTIONS", saved.c_str(), 1);
    if (c.requester && !had) unsetenv("ASAN_OPTIONS");
    bool started = e2e::WaitFor([&] {
      if (child.Exited()) return true;
      if (!c.requester) return e2e::ReadText(dir / ".stdout") == "ready\n";
      std::string tree;
      server_->run({"xwininfo", "-root", "-tree"}, nullptr, &tree);
      return tree.find("\"QuillmerePlayer\"") != std::string::npos;
    });
    ASSERT_TRUE(started && !child.Exited()) << e2e::ReadText(dir / ".stdout");
    ASSERT_EQ(entries(temp).size(), 1u) << "the run keeps one temporary directory";

    // Never kill(-1): once the child is reaped its id is -1.
    ASSERT_GT(child.Pid(), 0);
    auto signalled = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(child.Pid(), SIGTERM), 0);
    EXPECT_TRUE(e2e::WaitFor([&] { return child.Exited(); }, ENDS_WITHIN));
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - signalled);
    e2e::RunResult r = child.Finish();
    EXPECT_EQ(r.status, 128 + SIGTERM) << "after " << took.count() << " ms";
    EXPECT_TRUE(entries(temp).empty()) << "files left in " << temp;
  }
}

// The window manager's close request (WM_DELETE_WINDOW) while the script
// waits in Wait(30, #SECONDS) with no "closewindow" handler ends the run at
// once, as it does in WaitEvent: status 0, and the script goes no further.
TEST_F(Ending, CloseRequestDuringAWait) {
  const std::string text = std::string(PRINT_READY) +
                           "GETGLOBAL 0, \"wait\"\nLOADNUM 1, 30\nLOADNUM 2, 0\nCALL 0, 3, 1\n" +
                           PRINT_AFTER + "RETURN 0, 1, 0\n";
  e2e::TempDir dir;
  e2e::WriteFile(dir / "a.qma", e2e::Assemble(text));
  Display* x = XOpenDisplay(server_->name().c_str());
  ASSERT_NE(x, nullptr);
  e2e::Child child(e2e::PLAYER, {"-quiet", "-debugdevice", "stdout", dir / "a.qma"},
                   server_->name(), dir.path());
  Window window = e2e::ShownWindow(x, &child);
  ASSERT_NE(window, 0u) << "no window was shown";
  ASSERT_TRUE(e2e::WaitFor([&] { return e2e::ReadText(dir / ".stdout") == "ready\n"; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // well inside the wait
  ASSERT_FALSE(child.Exited());
  e2e::CloseWindow(x, window);
  EXPECT_TRUE(e2e::WaitFor([&] { return child.Exited(); }, ENDS_WITHIN));
  e2e::RunResult r = child.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ready\n");
  EXPECT_EQ(r.err, "");
  XCloseDisplay(x);
}

// SIGTERM, SIGINT or SIGHUP while Execute waits for "sleep 30": the
// program's process group gets the signal too, the player then shuts down
// as after any signal: status 128 + the signal, the 2,000 lines written to
// a file the script left open are all on disk, the run's temporary
// directory is gone, and no process of the program is left.
TEST_F(Ending, SignalDuringExecute) {
  ASSERT_EQ(access(TESTLIB.c_str(), R_OK), 0) << "build the test plug-ins first";
  // OpenFile(1, "out.txt", #MODE_WRITE); for i = 1 to 2000: WriteLine(1,
  // i); "ready"; Execute("sleep 30"); "after".
  const std::string text =
      ".line 1\n"
      "GETGLOBAL 0, \"openfile\"\nLOADNUM 1, 1\nLOADCONST 2, \"out.txt\"\n"
      "LOADCONST 3, #1006\nCALL 0, 4, 1\n"
      "LOADNUM 5, 0\nLOADCONST 6, #2000\nLOADNUM 7, 1\nJUMP test\n"
      "body:\nGETGLOBAL 0, \"writeline\"\nLOADNUM 1, 1\nMOVE 2, 5\nCALL 0, 3, 1\n"
      "test:\nFORLOOP 5 body\n" +
      std::string(PRINT_READY) +
      "GETGLOBAL 0, \"execute\"\nLOADCONST 1, \"sleep 30\"\nCALL 0, 2, 1\n" + PRINT_AFTER +
      "RETURN 0, 1, 0\n";
  const Bytes program = e2e::ReadFile(e2e::PLAYER), plugin = e2e::ReadFile(TESTLIB);
  Bytes game;
  std::string error;
  ASSERT_TRUE(
      qmasm::AppendApplet(program, {{"testlib", plugin}}, true, e2e::Assemble(text), &game, &error))
      << error;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    e2e::TempDir dir;
    const std::string temp = dir / "temp";
    ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
    e2e::WriteFile(dir / "game", game, 0755);
    std::string ini = "TEMPDIR = \"" + temp + "\"\nDEBUGDEVICE = stdout\n";
    e2e::WriteFile(dir / "game.ini", Bytes(ini.begin(), ini.end()));
    e2e::Child child(dir / "game", {}, server_->name(), dir.path());
    ASSERT_GT(child.Pid(), 0);
    // The program runs once a child of the player leads a group of its own.
    pid_t group = 0;
    ASSERT_TRUE(e2e::WaitFor([&] {
      for (const ProcessInfo& p : processes())
        if (p.parent == child.Pid() && p.group == p.pid && p.running) group = p.group;
      return group != 0 || child.Exited();
    }));
    ASSERT_NE(group, 0) << e2e::ReadText(dir / ".stdout");
    EXPECT_EQ(e2e::ReadText(dir / ".stdout"), "ready\n");
    ASSERT_EQ(entries(temp).size(), 1u) << "the run keeps one temporary directory";

    ASSERT_EQ(kill(child.Pid(), signal), 0);
    EXPECT_TRUE(e2e::WaitFor([&] { return child.Exited(); }, ENDS_WITHIN));
    e2e::RunResult r = child.Finish();
    EXPECT_EQ(r.status, 128 + signal);
    EXPECT_EQ(r.out, "ready\n");
    std::ifstream out(dir / "out.txt");
    int lines = 0;
    for (std::string line; std::getline(out, line); lines++)
      EXPECT_EQ(line, std::to_string(lines + 1));
    EXPECT_EQ(lines, 2000);
    EXPECT_TRUE(entries(temp).empty()) << "files left in " << temp;
    for (const ProcessInfo& p : processes())
      EXPECT_FALSE(p.group == group && p.running) << "process " << p.pid << " of the program runs";
  }
}

// With the player the foreground job of a terminal, the program Execute
// waits for takes the terminal for its run (its process group is its own):
// a line typed there reaches it, and the terminal comes back afterwards.
TEST_F(Ending, ExecutedProgramReadsTheTerminal) {
  // "ready"; Execute("head -n 1 > line.txt"); "after".
  const std::string text = std::string(PRINT_READY) +
                           "GETGLOBAL 0, \"execute\"\nLOADCONST 1, \"head -n 1 > line.txt\"\n"
                           "CALL 0, 2, 1\n" +
                           PRINT_AFTER + "RETURN 0, 1, 0\n";
  e2e::TempDir dir;
  e2e::WriteFile(dir / "a.qma", e2e::Assemble(text));
  int terminal = -1;
  pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("DISPLAY", server_->name().c_str(), 1);
    if (chdir(dir.path().c_str()) != 0) _exit(126);
    const std::string applet = dir / "a.qma";
    execl(e2e::PLAYER.c_str(), e2e::PLAYER.c_str(), "-quiet", "-debugdevice", "stdout",
          applet.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // What the terminal shows, read without blocking.
  std::string shown;
  fcntl(terminal, F_SETFL, fcntl(terminal, F_GETFL) | O_NONBLOCK);
  auto read = [&] {
    char buffer[256];
    for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0;)
      shown.append(buffer, static_cast<size_t>(n));
  };
  int status = -1;
  auto exited = [&] { return waitpid(pid, &status, WNOHANG) == pid; };
  ASSERT_TRUE(e2e::WaitFor([&] {
    read();
    return shown.find("ready") != std::string::npos;
  })) << shown;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // head is reading
  ASSERT_EQ(write(terminal, "typed\n", 6), 6);
  bool ended = e2e::WaitFor(exited, ENDS_WITHIN);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  read();
  close(terminal);
  EXPECT_TRUE(ended) << shown;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  EXPECT_NE(shown.find("after"), std::string::npos) << shown;
  EXPECT_EQ(e2e::ReadText(dir / "line.txt"), "typed\n");
}

}  // namespace
