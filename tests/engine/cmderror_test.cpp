// Where a failing built-in command is reported: the error location names
// the script file and line that called the command, whichever way the
// command failed (an argument check raising inside it, or an error code
// it returned), and the command's name as the function.
#include <gtest/gtest.h>

#include <string>

#include "engine/engine.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

TEST(CommandErrorLocation, NamesTheCallingScriptLine) {
  struct Case {
    const char* name;
    std::string body;  // placed at line 7 of "@app.qms", called from line 3 of "@main.qms"
    ErrorCode code;
    const char* file;
    int line;
    const char* function;
  };
  const Case cases[] = {
      {"argument check fails in the command",
       "GETGLOBAL 0, \"end\"\nLOADCONST 1, \"abc\"\nCALL 0, 2, 1\n", ERR_NUMEXPECTED, "app.qms", 7,
       "End"},
      {"command returns an error code", "GETGLOBAL 0, \"end\"\nLOADNUM 1, 4, 0\nCALL 0, 2, 1\n",
       ERR_USERABORT, "app.qms", 7, "End"},
      {"script error in the script itself", "LOADNUM 0, 1, 0\nGETTABLE 0, 0, \"x\"\n",
       ERR_TABLEDECLA, "app.qms", 7, "<<unnamed>>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlayerHarness h;
    ASSERT_NE(h.L, nullptr);
    const std::string text = ".source \"@app.qms\"\n.line 7\n" + c.body + "RETURN 0, 1, 0\n";
    EXPECT_EQ(h.Run(text), c.code);
    EXPECT_STREQ(vmErrorLocation.file, c.file);
    EXPECT_EQ(vmErrorLocation.line, c.line);
    EXPECT_STREQ(vmErrorLocation.function, c.function);
  }
}

}  // namespace
