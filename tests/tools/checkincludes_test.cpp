// Tests of scripts/check-includes: the tree passes it, and it fails on an
// include of a folder above the includer or of another folder's private
// header, naming the file and line; root/, the host library and tests may
// include any folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

// Runs a shell command; its exit status and its output (both streams).
int run(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class CheckIncludes : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/qm-checkincludes-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    tree = name;
  }
  void TearDown() override {
    std::string out;
    run("rm -rf '" + tree + "'", &out);
  }

  // Writes a file of the temporary tree, making its folders.
  void write(const std::string& path, const std::string& text) {
    std::string out;
    ASSERT_EQ(run("mkdir -p \"$(dirname '" + tree + "/" + path + "')\"", &out), 0) << out;
    std::ofstream(tree + "/" + path, std::ios::app) << text;
  }

  // Runs the script on the temporary tree (a git repository of its own).
  int check(std::string* output) {
    std::string out;
    if (run("git -C '" + tree + "' init -q", &out) != 0) return -1;
    return run(std::string(QM_SOURCE_DIR) + "/scripts/check-includes '" + tree + "'", output);
  }

  std::string tree;
};

TEST_F(CheckIncludes, TheTreePassesAndAnUpwardIncludeAddedToItFails) {
  std::string out;
  ASSERT_EQ(run("cd '" QM_SOURCE_DIR "' && git ls-files -z -co --exclude-standard -- '*.c' "
                "'*.cpp' '*.h' '*.inc' | xargs -0 cp --parents -t '" +
                    tree + "'",
                &out),
            0)
      << out;
  EXPECT_EQ(check(&out), 0) << out;

  write("platform/linux/platform.h", "#include \"display/display.h\"\n");
  EXPECT_EQ(check(&out), 1);
  EXPECT_NE(out.find("platform/linux/platform.h:"), std::string::npos) << out;
  EXPECT_NE(out.find("includes display/display.h of display/, a folder above platform/linux/"),
            std::string::npos)
      << out;
}

TEST_F(CheckIncludes, FailsOnAnIncludeAboveTheIncluderOrOfAnotherFoldersPrivateHeader) {
  struct Case {
    const char* file;
    const char* header;
    bool fails;
  } cases[] = {
      {"platform/linux/x11a.cpp", "display/display.h", true},
      {"platform/linux/a.h", "engine/engine.h", true},
      {"runtime/a_private.h", "plugins/plugins.h", true},
      {"fx/a.cpp", "root/root.h", true},
      {"engine/a.cpp", "tests/support/harness.h", true},
      {"plugins/loader.cpp", "gfx/gfx.h", true},
      {"draw/a.cpp", "display/layer_private.h", true},
      {"gfx/a.cpp", "plugins/plugins.h", false},
      {"display/a.h", "platform/linux/platform.h", false},
      {"draw/a.cpp", "draw/draw_private.h", false},
      {"plugins/hostapi.cpp", "fx/fx.h", false},
      {"plugins/inbuiltpictures.cpp", "media/media.h", false},
      {"root/a.cpp", "text/text.h", false},
      {"tests/display/a_test.cpp", "display/layer_private.h", false},
      {"bench/a_bench.cpp", "fx/fx_private.h", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " includes " + c.header);
    std::string out;
    run("rm -rf '" + tree + "'/* '" + tree + "'/.git", &out);
    write(c.file, "// a file\n\n#include \"" + std::string(c.header) + "\"\n");
    EXPECT_EQ(check(&out), c.fails ? 1 : 0) << out;
    if (c.fails) {
      EXPECT_NE(out.find(std::string(c.file) + ":3: includes"), std::string::npos) << out;
    }
  }
}

}  // namespace
