// The whole player run twice and more in one process: PlayerMain builds the
// folders' contexts, opens the libraries through the library table and
// frees everything at its end, so a later run in the same process starts
// from the same state and behaves the same. Runs on a private X server with
// the debug device on standard output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "runtime/runtime.h"
#include "tests/platform/xvfb.h"
#include "tests/support/harness.h"
#include "tools/qmasm/qmasm.h"

namespace {

std::vector<uint8_t> assemble(const std::string& text) {
  qmasm::Program program;
  std::string error;
  EXPECT_TRUE(qmasm::Parse(text, &program, &error)) << error;
  return qmasm::WriteApplet(program, qmasm::WriteChunk(program));
}

struct PlayerRun {
  int status;
  std::string out;
};

PlayerRun runPlayer(const std::string& applet) {
  std::vector<std::string> args{"quillmere", "-quiet", "-debugdevice", "stdout", applet};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  int status = PlayerMain(static_cast<int>(args.size()), argv.data());
  std::fflush(stdout);
  return {status, ::testing::internal::GetCapturedStdout()};
}

TEST(PlayerRerun, RunsInOneProcessBehaveAlikeAndLeaveNothing) {
  TestXServer server(24);
  if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
  setenv("DISPLAY", server.name().c_str(), 1);
  char dir[] = "/tmp/qmrerunXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);

  // Each run opens the default display on the server; one ends through End,
  // whose value is the exit status, the other in an error that shut-down
  // reports on the debug device, with the exit status 1.
  struct Case {
    const char* name;
    std::string text;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {"prints and ends with End(4)",
       ".line 1\nGETGLOBAL 0, \"debugprint\"\nLOADCONST 1, \"hello\"\nCALL 0, 2, 1\n"
       "GETGLOBAL 0, \"end\"\nLOADNUM 1, 4, 0\nCALL 0, 2, 1\nRETURN 0, 1, 0\n",
       4, "hello\n"},
      {"fails with an unknown command",
       ".line 7\nGETGLOBAL 0, \"nosuchcommand\"\nCALL 0, 1, 1\nRETURN 0, 1, 0\n", 1,
       "Function nosuchcommand() not found!"},
  };
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", round " + std::to_string(round));
      std::string path = std::string(dir) + "/a.qma";
      std::vector<uint8_t> applet = assemble(c.text);
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(applet.data()),
                 static_cast<std::streamsize>(applet.size()));
      PlayerRun r = runPlayer(path);
      EXPECT_EQ(r.status, c.status);
      EXPECT_NE(r.out.find(c.out), std::string::npos) << "[" << r.out << "]";
      ExpectNoRunStateLeft();
    }
  }
  unsetenv("DISPLAY");
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

}  // namespace
