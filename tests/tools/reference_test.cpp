// The command reference under docs/ and the player's vocabulary: the
// reference names every registered command and constant and nothing else,
// with the values the player's tables give; rendering keeps hand-written
// text by name and reports every difference; the assembler program
// resolves #NAME through the player's tables, and every example assembles
// with it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/qmasm/qmasm.h"
#include "tools/reference/reference.h"

namespace {

namespace fs = std::filesystem;

const std::string QMREF = std::string(QM_BINARY_DIR) + "/tools/reference/qmref";
const std::string QMASM = std::string(QM_BINARY_DIR) + "/tools/qmasm/qmasm";

// Runs a command line; returns its exit status with standard output and
// error together in *output.
int run(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = popen((command + " 2>&1 </dev/null").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The reference in the source tree against the built player's tables.
TEST(Reference, NamesEveryRegisteredCommandAndConstantAndNothingElse) {
  std::string output;
  EXPECT_EQ(run(QMREF + " check " + QM_SOURCE_DIR + "/docs", &output), 0) << output;
}

vocabulary::Library smallLibrary() {
  vocabulary::Library library;
  library.name = "demo";
  library.commands = {"Alpha", "beta", "Gamma"};
  vocabulary::Constant limit;
  limit.name = "DEMO_LIMIT";
  limit.number = 16777215;
  vocabulary::Constant font;
  font.name = "DEMO_FONT";
  font.isText = true;
  font.text = "a|b";
  vocabulary::Constant error;
  error.name = "ERR_DEMO";
  error.number = 1000;
  error.meaning = "Out of memory!";
  library.constants = {font, limit, error};
  return library;
}

// A library's file is rendered around its hand-written parts: sections and
// meanings stay with their names, new names get a marked section, names
// that are not registered leave, and values come from the tables.
TEST(Reference, RenderingKeepsWrittenTextByNameAndReportsEveryDifference) {
  const std::string written =
      "# The demo library\n\nIntroduction.\n\n## Commands\n\n"
      "### gamma\n\nGamma's text.\n\n#### Example\n\nkept\n\n"
      "### Alpha\n\nAlpha's text.\n\n"
      "### Delta\n\nGone.\n\n"
      "## Constants\n\nGroups of constants.\n\n"
      "| constant | value | meaning |\n|---|---|---|\n"
      "| `DEMO_LIMIT` | 255 | the most |\n"
      "| `DEMO_OLD` | 1 | gone |\n"
      "| `ERR_DEMO` | 1000 | written by hand |\n";
  reference::Report report;
  std::string out = reference::RenderLibrary(smallLibrary(), written, &report);
  EXPECT_EQ(out,
            "# The demo library\n\nIntroduction.\n\n## Commands\n\n"
            "### Alpha\n\nAlpha's text.\n\n"
            "### beta\n\n*Not described yet.*\n\n"
            "### Gamma\n\nGamma's text.\n\n#### Example\n\nkept\n\n"
            "## Constants\n\nGroups of constants.\n\n"
            "| constant | value | meaning |\n|---|---|---|\n"
            "| `DEMO_FONT` | `\"a\\|b\"` |  |\n"
            "| `DEMO_LIMIT` | 16777215 ($FFFFFF) | the most |\n"
            "| `ERR_DEMO` | 1000 | Out of memory! |\n");
  EXPECT_EQ(report.changes,
            (std::vector<std::string>{
                "demo: missing command beta", "demo: command gamma is spelled Gamma",
                "demo: Delta is not a registered command", "demo: missing constant DEMO_FONT",
                "demo: constant DEMO_LIMIT has the value 16777215 ($FFFFFF), not 255",
                "demo: DEMO_OLD is not a registered constant"}));
  EXPECT_EQ(report.undescribed, (std::vector<std::string>{"demo: beta"}));

  // Its own output renders to itself, with nothing to report but the
  // section still to be written.
  reference::Report again;
  EXPECT_EQ(reference::RenderLibrary(smallLibrary(), out, &again), out);
  EXPECT_TRUE(again.changes.empty());
  EXPECT_EQ(again.undescribed.size(), 1u);

  // A new library's file is a skeleton with every name in it.
  reference::Report fresh;
  std::string skeleton = reference::RenderLibrary(smallLibrary(), "", &fresh);
  EXPECT_EQ(fresh.undescribed.size(), 4u);  // the introduction and three commands
  EXPECT_EQ(reference::RenderLibrary(smallLibrary(), skeleton, &again), skeleton);
}

TEST(Reference, IndexTableIsReplacedBetweenItsMarkers) {
  std::vector<vocabulary::Library> libraries = {smallLibrary()};
  reference::Report report;
  std::string index = reference::RenderIndex(libraries, "# Reference\n\nText.\n", &report);
  std::string again = reference::RenderIndex(libraries, index + "\nMore text.\n", &report);
  EXPECT_EQ(again, index + "\nMore text.\n");
  EXPECT_NE(index.find("| [demo](reference/demo.md) | 3 | 3 |"), std::string::npos) << index;
}

// The assembler program gives #NAME the value of the player's own constant,
// in any case: numbers, texts and error codes alike.
TEST(Reference, AssemblerResolvesNamesThroughThePlayersTables) {
  fs::path dir = fs::temp_directory_path() / ("qmref_test_" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "named.qasm") << "LOADCONST 0 #ShdwSouthEast\nLOADCONST 1 #SANS\n"
                                       "LOADCONST 2 #err_mem\nLOADNUM 3 #SECONDS\nRETURN 0 1\n";
  std::ofstream(dir / "unknown.qasm") << "RETURN 0 1\nLOADCONST 0 #NOSUCHCONSTANT\n";
  std::string output;
  EXPECT_EQ(run(QMASM + " -o " + (dir / "named.qmb").string() + " " + (dir / "named.qasm").string(),
                &output),
            0)
      << output;
  qmasm::Bytes expected;
  std::string error;
  ASSERT_TRUE(qmasm::AssembleChunk(
      "LOADCONST 0 #3\nLOADCONST 1 \":::default_sans\"\nLOADCONST 2 #1000\nLOADNUM 3 0\n"
      "RETURN 0 1\n",
      &expected, &error))
      << error;
  EXPECT_EQ(readFile(dir / "named.qmb"), std::string(expected.begin(), expected.end()));
  EXPECT_EQ(run(QMASM + " " + (dir / "unknown.qasm").string(), &output), 1);
  EXPECT_NE(output.find("unknown.qasm:2: unknown constant #NOSUCHCONSTANT"), std::string::npos)
      << output;
  fs::remove_all(dir);
}

TEST(Reference, EveryExampleAssemblesWithNamedConstants) {
  fs::path dir = fs::temp_directory_path() / ("qmref_examples_" + std::to_string(getpid()));
  fs::create_directories(dir);
  int examples = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(QM_SOURCE_DIR) / "examples")) {
    fs::path source = entry.path() / (entry.path().filename().string() + ".qasm");
    if (!fs::exists(source)) continue;
    examples++;
    SCOPED_TRACE(source.string());
    std::string output;
    EXPECT_EQ(
        run(QMASM + " -f qma -o " + (dir / "out.qma").string() + " " + source.string(), &output), 0)
        << output;
  }
  EXPECT_GE(examples, 12);
  fs::remove_all(dir);
}

}  // namespace
