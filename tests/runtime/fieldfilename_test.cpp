// The file-name field reader of option tables: absent fields, copies the
// caller owns, and the error that names a field of the wrong type.
#include <gtest/gtest.h>

#include <string>

#include "engine/engine.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

std::string lastName;
int lastFound = -1;

// readname(table, field): the reader's answer, kept for the test.
int readName(VmState* L) {
  char* name = nullptr;
  size_t length = 0;
  lastFound = GetTableFieldFileName(L, 1, VmCheckString(L, 2, nullptr), TABLE_FILENAME_RESOLVE,
                                    &name, &length);
  lastName = name ? std::string(name, length) : "<none>";
  FreeMemory(name);
  return 0;
}

TEST(TableFieldFileName, PresentAbsentAndWrongType) {
  PlayerHarness p;
  VmState* L = p.L;
  VmPushString(L, "readname");
  VmPushCClosure(L, readName, 0);
  VmSetTable(L, VM_GLOBALS_INDEX);
  struct Case {
    const char* field;
    ErrorCode error;
    int found;
    const char* name;
  } cases[] = {
      {"file", 0, 1, "data/some file.txt"},
      {"missing", 0, 0, "<none>"},
      {"table", ERR_STRTABLEARG, -1, "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    lastFound = -1;
    lastName = "<none>";
    VmSetTop(L, 0);
    VmNewTable(L);
    SetTableFieldString(L, "file", "data/some file.txt");
    VmPushString(L, "table");
    VmNewTable(L);
    VmSetTable(L, -3);
    VmPushString(L, c.field);
    EXPECT_EQ(p.Call("readname", 2), c.error);
    EXPECT_EQ(lastFound, c.found);
    EXPECT_EQ(lastName, c.name);
  }
  char text[256];
  GetErrorText(ERR_STRTABLEARG, text, sizeof text);
  EXPECT_NE(std::string(text).find("table"), std::string::npos) << text;
}

}  // namespace
