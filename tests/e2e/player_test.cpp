// End-to-end runs of the built player on applets assembled by qmasm: exit
// status and what reaches standard output, with a private X server, the
// debug device on standard output and standard input from /dev/null.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/engine.h"
#include "runtime/runtime.h"
#include "tests/e2e/xvfb_suite.h"
#include "tests/platform/xvfb.h"
#include "tools/qmasm/qmasm.h"

namespace {

using e2e::Bytes;
using e2e::PLAYER;
using Result = e2e::RunResult;

// Prints the constant "who" with DebugPrint, then ends with End(3).
const char* const PRINT_WHO =
    ".line 1\n"
    "GETGLOBAL 0, \"debugprint\"\n"
    "GETGLOBAL 1, \"getconstant\"\n"
    "LOADCONST 2, \"who\"\n"
    "CALL 1, 2, 2\n"
    "CALL 0, 2, 1\n"
    "GETGLOBAL 0, \"end\"\n"
    "LOADNUM 1, 3, 0\n"
    "CALL 0, 2, 1\n"
    "RETURN 0, 1, 0\n";

Bytes assemble(const std::string& text, bool compressed = false) {
  Bytes applet = e2e::Assemble(text);
  if (!compressed) return applet;
  Bytes packed;
  std::string error;
  EXPECT_TRUE(qmasm::CompressApplet(applet, &packed, &error)) << error;
  return packed;
}

std::string errorText(ErrorCode code, const char* argument = "") {
  SetErrorArgString(argument);
  char text[1024];
  GetErrorText(code, text, sizeof text);
  return text;
}

class Player : public e2e::XvfbSuite<> {
 protected:
  void SetUp() override {
    e2e::XvfbSuite<>::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_FALSE(dir_.path().empty());
    display_ = server_->name();
  }

  std::string Write(const std::string& name, const Bytes& bytes, mode_t mode = 0644) {
    e2e::WriteFile(dir_ / name, bytes, mode);
    return dir_ / name;
  }
  std::string WriteText(const std::string& name, const std::string& text) {
    return Write(name, Bytes(text.begin(), text.end()));
  }

  // interact runs while the program runs.
  Result Run(const std::string& program, const std::vector<std::string>& args,
             const std::function<void()>& interact = nullptr) {
    // GTK and fontconfig keep caches to the end of the process.
    e2e::Child child(program, args, display_, dir_.path(), interact ? "detect_leaks=0" : nullptr);
    if (interact) interact();
    return child.Finish();
  }
  Result RunQuiet(const std::string& applet, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"-quiet", "-debugdevice", "stdout"};
    args.insert(args.end(), more.begin(), more.end());
    args.push_back(applet);
    return Run(PLAYER, args);
  }

  e2e::TempDir dir_;
  std::string display_;  // the server the runs connect to
};

TEST_F(Player, Outcomes) {
  struct Case {
    const char* name;
    std::string text;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {"End(5)", ".line 1\nGETGLOBAL 0, \"end\"\nLOADNUM 1, 5, 0\nCALL 0, 2, 1\nRETURN 0, 1, 0\n",
       5, ""},
      {"runs off its end", ".line 1\nRETURN 0, 1, 0\n", 0, ""},
      {"script error reported with the source line map",
       ".source \"@hello.qms\"\n"
       ".applet section 27 be32:1 be32:1 be32:20 be32:100 \"hello.qsrc\" 0 \"hello.qms\" 0\n"
       ".line 3\nGETGLOBAL 0, \"nosuchcommand\"\nCALL 0, 1, 1\nRETURN 0, 1, 0\n",
       1, "hello.qsrc:103: Function nosuchcommand() not found! (In function: <<unnamed>>)\n"},
      {"command's argument check reported at the calling line",
       ".source \"@hello.qms\"\n"
       ".applet section 27 be32:1 be32:1 be32:20 be32:100 \"hello.qsrc\" 0 \"hello.qms\" 0\n"
       ".line 2\nLOADNUM 0, 1, 0\n.line 4\nGETGLOBAL 0, \"end\"\nLOADCONST 1, \"abc\"\nCALL 0, 2, "
       "1\n"
       ".line 5\nRETURN 0, 1, 0\n",
       1, "hello.qsrc:104: Number expected in argument 1! (In function: End)\n"},
      {"header constant visible", std::string(".applet constant who \"header\"\n") + PRINT_WHO, 3,
       "header\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result r = RunQuiet(Write("a.qma", assemble(c.text)));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
  }
}

TEST_F(Player, Refusals) {
  const std::string good = ".line 1\nRETURN 0, 1, 0\n";
  Bytes tag36 = assemble(".applet section 36\n" + good);
  const std::string path = dir_ / "a.qma";
  struct Case {
    const char* name;
    Bytes file;
    std::string out;
  };
  const Case cases[] = {
      {"3-byte file", Bytes{'Q', 'M', 'A'}, "Error: " + errorText(ERR_READ) + "\n"},
      {"4-byte file passes the magic test", Bytes{'Q', 'M', 'A', 0},
       "Error: " + errorText(ERR_UNEXPECTEDEOF) + "\n"},
      {"other magic", Bytes{'Q', 'M', 'X', 0, 10, 8, 0},
       "Error: " + errorText(ERR_NOAPPLET, path.c_str()) + "\n"},
      {"version 8.1", assemble(".applet version 8 1\n" + good),
       "Error: " + errorText(ERR_APPLETVERSION, "8.1") + "\n"},
      {"version 9.0", assemble(".applet version 9 0\n" + good),
       "Error: " + errorText(ERR_APPLETVERSION, "9.0") + "\n"},
      {"tag 36", tag36, "Error: " + errorText(ERR_UNKNOWNSEC) + "\n"},
  };
  EXPECT_NE(errorText(ERR_NOAPPLET, path.c_str()).find("is no Quillmere applet!"),
            std::string::npos);
  EXPECT_NE(errorText(ERR_APPLETVERSION, "9.0").find("9.0"), std::string::npos);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result r = RunQuiet(Write("a.qma", c.file));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
  }
  Result missing = RunQuiet(dir_ / "none.qma");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "Error: " + errorText(ERR_FILEEXIST, (dir_ / "none.qma").c_str()) + "\n");
}

// Applets cut short at several points: a payload that holds fewer bytes
// than its length says is short data; an end among the section tags,
// lengths and fixed fields is an unexpected end of file.
TEST_F(Player, CutApplets) {
  const std::string script = ".line 1\nRETURN 0, 1, 0\n";
  struct Case {
    const char* name;
    std::string text;
    const char* marker;  // the cut is offset bytes after the marker's first byte,
    long offset;         // or, with no marker, offset bytes from the end of the file
    ErrorCode error;
  };
  const Case cases[] = {
      {"script section 30 bytes short", script, nullptr, -30, ERR_READ},
      {"inside the script section's length", ".applet section 0 be32:4 \"MARK\"\n" + script, "MARK",
       4 + 3, ERR_UNEXPECTEDEOF},
      {"after a tag byte of the section table", script, "QMA", 5, ERR_UNEXPECTEDEOF},
      {"inside a title string", ".applet title \"Quillmere\"\n" + script, "Quillmere", 5,
       ERR_UNEXPECTEDEOF},
      {"skipped section short", ".applet section 0 be32:16 \"0123456789abcdef\"\n" + script, "0123",
       8, ERR_READ},
      {"embedded file's inline data short", ".applet file \"keep.txt\" \"ABCDEFGH\"\n" + script,
       "ABCD", 4, ERR_READ},
      {"inside an embedded file's size", ".applet file \"keep.txt\" \"ABCDEFGH\"\n" + script,
       "keep.txt", 9 + 2, ERR_UNEXPECTEDEOF},
  };
  EXPECT_NE(errorText(ERR_READ).find("Could not read all characters from file!"),
            std::string::npos);
  EXPECT_NE(errorText(ERR_UNEXPECTEDEOF).find("Unexpected end of file!"), std::string::npos);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes applet = assemble(c.text);
    size_t at = applet.size() + static_cast<size_t>(c.offset);
    if (c.marker) {
      std::string bytes(applet.begin(), applet.end());
      size_t found = bytes.find(c.marker);
      ASSERT_NE(found, std::string::npos);
      at = found + static_cast<size_t>(c.offset);
    }
    ASSERT_LT(at, applet.size());
    applet.resize(at);
    Result r = RunQuiet(Write("a.qma", applet));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error: " + errorText(c.error) + "\n");
  }
}

// Errors in the options themselves reach the debug device and fail the
// start-up (exit status 1); -help changes nothing.
TEST_F(Player, OptionErrors) {
  std::string applet = Write("a.qma", assemble(".line 1\nRETURN 0, 1, 0\n"));
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {"argument missing",
       {"-debugdevice", "stdout", applet, "-winwidth"},
       1,
       "Error: " + errorText(ERR_ARGS) + "\n"},
      {"two display modes",
       {"-debugdevice", "stdout", "-fullscreen", "-window", applet},
       1,
       "Error: " + errorText(ERR_CONSOLEARG) + "\n"},
      {"help changes nothing", {"-quiet", "-help", "-debugdevice", "stdout", applet}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result r = Run(PLAYER, c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
  }
}

// Without an applet name the program asks for one in a file requester;
// Escape ends the run quietly.
TEST_F(Player, AsksForTheApplet) {
  if (std::system("command -v xdotool > /dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  auto escape = [this] {
    // The dialog takes keys once GTK has shown it, a moment after it maps.
    const std::string name = " --name '^Select Quillmere applet to run$'";
    std::string command = "export DISPLAY=" + display_ + "; timeout 60 xdotool search --sync" +
                          name + " > /dev/null && sleep 1 && xdotool search" + name +
                          " windowfocus --sync key Escape > /dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
  };
  Result r = Run(PLAYER, {"-quiet", "-debugdevice", "stdout"}, escape);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

// The same applet as a plain file, compressed, and appended to a copy of
// the program, whose own settings file is read and whose run is quiet.
TEST_F(Player, Containers) {
  Bytes plain = assemble(PRINT_WHO);
  Bytes program = e2e::ReadFile(PLAYER);
  Bytes appended;
  std::string error;
  // A packed file whose name begins with "_" is unpacked and only listed.
  ASSERT_TRUE(
      qmasm::AppendApplet(program, {{"_data", Bytes{1, 2, 3}}}, false, plain, &appended, &error))
      << error;

  WriteText("plain.ini", "SETCONSTANTS = \"who=[plain]\"\n");
  Result r = RunQuiet(Write("plain.qma", plain));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "plain\n");

  WriteText("packed.ini", "SETCONSTANTS = \"who=[packed]\"\n");
  r = RunQuiet(Write("packed.qma", assemble(PRINT_WHO, true)));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "packed\n");

  const std::string temp = dir_ / "temp";
  ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
  WriteText("game.ini", "DEBUGDEVICE = stdout\nSETCONSTANTS = \"who=[appended]\"\nTEMPDIR = \"" +
                            temp + "\"\n");
  r = Run(Write("game", appended, 0755), {});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "appended\n");
  // The run's temporary directory with the unpacked file is gone.
  EXPECT_EQ(rmdir(temp.c_str()), 0) << "files left in " << temp;
}

TEST_F(Player, SettingsFile) {
  std::string applet = Write("a.qma", assemble(PRINT_WHO));
  struct Case {
    const char* name;
    std::string ini;
    std::string out;
  };
  const Case cases[] = {
      {"UTF-8 with BOM, comments and sections",
       "\xEF\xBB\xBF# comment\n[Player]\r\nSETCONSTANTS = \"who=[caf\xC3\xA9]\"\r\n",
       "caf\xC3\xA9\n"},
      {"Latin-1", "SETCONSTANTS=\"who=[caf\xE9]\"\n", "caf\xC3\xA9\n"},
      {"settings key overrides the command line", "SETCONSTANTS = \"who=[ini]\"\n", "ini\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText("a.ini", c.ini);
    Result r = RunQuiet(applet, {"-setconstants", "who=[cmd]"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, c.out);
  }
  std::remove((dir_ / "a.ini").c_str());
  Result r = RunQuiet(applet, {"-setconstants", "who=[cmd]"});
  EXPECT_EQ(r.out, "cmd\n");
}

TEST_F(Player, BannerAndProgressComeFirst) {
  std::string applet = Write("a.qma", assemble(".line 1\nRETURN 0, 1, 0\n"));
  Result r = Run(PLAYER, {"-debugdevice", "stdout", applet});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("QuillmerePlayer 8.0 [Linux] [64-bit]", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("Loading applet a.qma...done\n"), std::string::npos) << r.out;
}

// A server that resets when its last client leaves drops connections that
// arrive during the reset; the player never leaves it without a client
// between its first look at the server and its working connection, so every
// start succeeds.
TEST_F(Player, StartsEveryTimeOnAServerThatResets) {
  TestXServer resetting(24, true);
  ASSERT_TRUE(resetting.running());
  display_ = resetting.name();
  std::string applet = Write("a.qma", assemble(PRINT_WHO));
  constexpr int RUNS = 50;
  int failures = 0;
  std::string firstFailure;
  for (int i = 0; i < RUNS; i++) {
    Result r = RunQuiet(applet, {"-setconstants", "who=[ok]"});
    if (r.status == 3 && r.out == "ok\n") continue;
    if (failures++ == 0)
      firstFailure =
          "run " + std::to_string(i) + ": status " + std::to_string(r.status) + ", " + r.out;
  }
  EXPECT_EQ(failures, 0) << firstFailure;
}

}  // namespace
