// The auxiliary library and registration: references and their reuse,
// table sizes, the string builder's pieces, named metatables, lower-cased
// registration of commands, constants and labels.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_private.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

// The engine's allocation test seam (engine/object.h, whose internal
// forms of the API this test must not see).
void VmSetAllocFailure(uint64_t n, bool persistent);

namespace {

class AuxTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;
};

TEST_F(AuxTest, ReferencesCountFromThreeAndReuseReleasedOnes) {
  for (int table : {0, VM_REGISTRY_INDEX}) {
    SCOPED_TRACE(table == 0 ? "fresh table" : "registry");
    if (table == 0) {
      VmNewTable(L);
      table = VmGetTop(L);
    }
    VmRef first[3];
    for (int i = 0; i < 3; i++) {
      VmPushNumber(L, 10 + i);
      first[i] = VmCreateReference(L, table);
    }
    if (table != VM_REGISTRY_INDEX) {
      EXPECT_EQ(first[0], 3);
      EXPECT_EQ(first[1], 4);
      EXPECT_EQ(first[2], 5);
    }
    VmReleaseReference(L, table, first[1]);
    VmPushString(L, "again");
    VmRef again = VmCreateReference(L, table);
    EXPECT_EQ(again, first[1]);
    VmRawGetI(L, table, again);
    EXPECT_STREQ(VmToString(L, -1), "again");
    VmRawGetI(L, table, first[2]);
    EXPECT_EQ(VmToNumber(L, -1), 12);
    VmSetTop(L, table == VM_REGISTRY_INDEX ? 0 : 1);
    // A nil value is popped and gives -1; releasing -1 changes nothing.
    int top = VmGetTop(L);
    VmPushNil(L);
    EXPECT_EQ(VmCreateReference(L, table), VM_REF_NIL);
    EXPECT_EQ(VmGetTop(L), top);
    VmReleaseReference(L, table, VM_REF_NIL);
    VmPushNumber(L, 1);
    VmRef next = VmCreateReference(L, table);
    EXPECT_GT(next, first[2]);
    VmSetTop(L, 0);
  }
}

TEST_F(AuxTest, TableSizeSources) {
  // Items at keys 0, 1, 2 as compiled code stores them: counting starts at 1.
  VmNewTable(L);
  for (int i = 0; i < 3; i++) {
    VmPushNumber(L, 10 * (i + 1));
    VmRawSetI(L, 1, i);
  }
  EXPECT_EQ(VmGetTableSize(L, 1), 2);
  // A declared size wins over counting, and a number "n" over both.
  VmSetTableSize(L, 1, 7);
  EXPECT_EQ(VmGetTableSize(L, -1), 7);
  VmPushString(L, "n");
  VmPushNumber(L, 4);
  VmRawSet(L, 1);
  EXPECT_EQ(VmGetTableSize(L, 1), 4);
  VmSetTableSize(L, 1, 9);
  VmPushString(L, "n");
  VmRawGet(L, 1);
  EXPECT_EQ(VmToNumber(L, -1), 9);
  EXPECT_EQ(VmGetTop(L), 2);

  // The same table from a compiled constructor.
  VmSetTop(L, 0);
  ASSERT_EQ(p.Run("NEWTABLE 0, 3, 0\nLOADNUM 1, 10\nLOADNUM 2, 20\nLOADNUM 3, 30\nSETLIST 0, 2\n"
                  "SETGLOBAL 0, \"t\"\nRETURN 0, 1"),
            0);
  VmPushString(L, "t");
  VmGetTable(L, VM_GLOBALS_INDEX);
  EXPECT_EQ(VmGetTableSize(L, 1), 2);
}

TEST_F(AuxTest, BufferJoinsPiecesIntoOneString) {
  std::string big(3000, 'x');
  VmStringBuffer b;
  VmBufferInit(L, &b);
  VmBufferAddBytes(&b, big.data(), big.size());
  VmBufferPushResult(&b);
  EXPECT_EQ(VmGetTop(L), 1);
  EXPECT_EQ(VmStrLen(L, 1), 3000u);

  // Many values, small and larger than the buffer, keep few pieces and
  // their order.
  VmSetTop(L, 0);
  VmBufferInit(L, &b);
  std::string expect;
  for (int i = 0; i < 200; i++) {
    std::string piece = i % 7 == 0 ? std::string(1500 + i, char('a' + i % 26)) : std::to_string(i);
    VmBufferAddString(&b, "|");
    VmPushString(L, piece.c_str());
    VmBufferAddValue(&b);
    expect += "|" + piece;
    EXPECT_LT(VmGetTop(L), 12) << i;
  }
  VmPushNumber(L, 1.5);
  VmBufferAddValue(&b);
  expect += "1.5";
  VmBufferPushResult(&b);
  ASSERT_EQ(VmGetTop(L), 1);
  EXPECT_EQ(std::string(VmToString(L, 1), VmStrLen(L, 1)), expect);
}

TEST_F(AuxTest, NamedMetatablesAndTypedUserdata) {
  EXPECT_EQ(VmNewNamedMetatable(L, "Brush"), 1);
  EXPECT_EQ(VmNewNamedMetatable(L, "Brush"), 0);
  EXPECT_TRUE(VmRawEqual(L, 1, 2));
  VmSetTop(L, 0);
  VmNewNamedMetatable(L, "Other");
  VmSetTop(L, 0);
  void* data = VmNewUserdata(L, 8);
  VmGetNamedMetatable(L, "Brush");
  VmSetMetatable(L, 1);
  EXPECT_EQ(VmTestTypedUserdata(L, 1, "Brush"), data);
  EXPECT_EQ(VmTestTypedUserdata(L, 1, "Other"), nullptr);
  VmPushNumber(L, 1);
  EXPECT_EQ(VmTestTypedUserdata(L, 2, "Brush"), nullptr);
  EXPECT_EQ(VmGetMetaField(L, 1, "__index"), 0);
  EXPECT_EQ(VmGetTop(L), 2);
}

TEST_F(AuxTest, CallbackResultConversions) {
  struct Case {
    const char* name;
    int kind;  // 0 number, 1 numeric string, 2 text, 3 table
    ErrorCode numberCode, stringCode;
  } cases[] = {
      {"number", 0, 0, 0},
      {"numeric string", 1, 0, 0},
      {"text", 2, ERR_NUMCALLBACK, 0},
      {"table", 3, ERR_NUMCALLBACK, ERR_STRCALLBACK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmSetTop(L, 0);
    switch (c.kind) {
      case 0:
        VmPushNumber(L, 2);
        break;
      case 1:
        VmPushString(L, "2");
        break;
      case 2:
        VmPushString(L, "two");
        break;
      default:
        VmNewTable(L);
        break;
    }
    ErrorCode code = -1;
    VmToNumberOrError(L, 1, &code);
    EXPECT_EQ(code, c.numberCode);
    VmToStringOrError(L, 1, nullptr, &code);
    EXPECT_EQ(code, c.stringCode);
  }
  const char* list[] = {"a", "b", nullptr};
  EXPECT_EQ(VmFindStringInList("b", list), 1);
  EXPECT_EQ(VmFindStringInList("c", list), -1);
}

int commandResult(VmState* L) {
  VmPushNumber(L, 42);
  return 1;
}

int commandUpvalue(VmState* L) {
  VmPushValue(L, VmUpvalueIndexOf(1));
  return 1;
}

TEST_F(AuxTest, RegisteredCommandsShareTheUpvalues) {
  const CommandTableEntry table[] = {
      {"First", commandUpvalue}, {"Second", commandUpvalue}, {nullptr, nullptr}};
  VmPushValue(L, VM_GLOBALS_INDEX);
  VmPushString(L, "shared");
  EXPECT_EQ(VmRegisterFunctions(L, nullptr, table, 1), 1);
  EXPECT_EQ(VmGetTop(L), 1) << "the upvalues are popped, the target table stays";
  for (const char* name : {"First", "SECOND"}) {
    VmSetTop(L, 0);
    ASSERT_EQ(p.Call(name, 0), 0);
    EXPECT_STREQ(VmToString(L, -1), "shared") << name;
  }
}

TEST_F(AuxTest, RegisteredNamesAreLowerCase) {
  const CommandTableEntry table[] = {
      {"DisplayBrush", commandResult}, {"Skipped", nullptr}, {nullptr, nullptr}};
  VmPushValue(L, VM_GLOBALS_INDEX);
  EXPECT_EQ(VmRegisterFunctions(L, nullptr, table, 0), 1);
  VmSetTop(L, 0);
  VmPushString(L, "displaybrush");
  VmGetTable(L, VM_GLOBALS_INDEX);
  EXPECT_EQ(VmType(L, -1), VM_TYPE_FUNCTION);
  VmPushString(L, "skipped");
  VmGetTable(L, VM_GLOBALS_INDEX);
  EXPECT_EQ(VmType(L, -1), VM_TYPE_NIL);
  // Compiled code asks for the lower-case name.
  VmSetTop(L, 0);
  std::string out;
  EXPECT_EQ(p.Run("GETGLOBAL 0, \"displaybrush\"\nCALL 0, 1, 2\nSETGLOBAL 0, \"r\"\nRETURN 0, 1"),
            0);
  VmPushString(L, "r");
  VmGetTable(L, VM_GLOBALS_INDEX);
  EXPECT_EQ(VmToNumber(L, -1), 42);

  // A library name makes (or reuses) a table global of that name.
  const CommandTableEntry none[] = {{"Nothing", nullptr}, {nullptr, nullptr}};
  VmSetTop(L, 0);
  EXPECT_EQ(VmRegisterFunctions(L, "MyLib", table, 0), 1);
  EXPECT_EQ(VmRegisterFunctions(L, "mylib", none, 0), 0);
  EXPECT_TRUE(VmRawEqual(L, 1, 2));
  VmPushString(L, "displaybrush");
  VmRawGet(L, 1);
  EXPECT_EQ(VmType(L, -1), VM_TYPE_FUNCTION);
}

// Names are cut to VM_NAME_MAX bytes and lower-cased by the text mode's
// rules, ASCII or not, wherever the first other byte stands.
TEST_F(AuxTest, RegisteredNamesAreCutAndLowerCasedInEitherTextMode) {
  struct Case {
    const char* label;
    std::string name;
    int utf8;
    std::string stored;
  };
  const std::string upper(VM_NAME_MAX, 'Q'), lower(VM_NAME_MAX, 'q');
  const Case cases[] = {
      {"ASCII", "Get_X2", 1, "get_x2"},
      {"UTF-8 after ASCII",
       "MIX\xC3\x89"
       "D",
       1,
       "mix\xC3\xA9"
       "d"},
      {"UTF-8 first", "\xC3\x84RGER", 1, "\xC3\xA4rger"},
      {"Latin-1",
       "MIX\xC9"
       "D",
       0,
       "mix\xE9"
       "d"},
      {"ASCII cut", upper + "QQ", 1, lower},
      {"other byte past the cut", upper + "\xC3\x89", 1, lower},
      {"other byte inside, cut", "\xC3\x89" + upper, 1, "\xC3\xA9" + lower.substr(2)},
  };
  int32_t saved = unicodeUtf8Mode;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    unicodeUtf8Mode = c.utf8;
    const CommandTableEntry table[] = {{c.name.c_str(), commandResult}, {nullptr, nullptr}};
    VmSetTop(L, 0);
    VmNewTable(L);
    VmPushValue(L, 1);
    EXPECT_EQ(VmRegisterFunctions(L, nullptr, table, 0), 1);
    VmPushString(L, c.stored.c_str());
    VmRawGet(L, 1);
    EXPECT_EQ(VmType(L, -1), VM_TYPE_FUNCTION);
    // A library name is cut and lower-cased the same way.
    VmSetTop(L, 0);
    EXPECT_EQ(VmRegisterFunctions(L, c.name.c_str(), table, 0), 1);
    VmPushString(L, c.stored.c_str());
    VmGetTable(L, VM_GLOBALS_INDEX);
    EXPECT_EQ(VmType(L, -1), VM_TYPE_TABLE);
  }
  unicodeUtf8Mode = saved;
}

TEST_F(AuxTest, ConstantsAndPlatformDefines) {
  const ConstantTableEntry lib[] = {
      {"Both", nullptr, 1}, {"QM_LINUX", nullptr, 1}, {"Greeting", "Hi", 0}, {nullptr, nullptr, 0}};
  const ConstantTableEntry user[] = {
      {"BOTH", nullptr, 2}, {"Mine", nullptr, 5}, {nullptr, nullptr, 0}};
  VmRegisterConstants(L, lib, 0);
  const char* text = "unchanged";
  double number = 0;
  EXPECT_EQ(VmFindConstant(L, "qm_linux", &text, &number), 1);
  EXPECT_EQ(number, 1);
  EXPECT_EQ(text, nullptr);
  // Without "userconstants" the platform defines still leave "constants".
  VmRemovePlatformDefines(L);
  EXPECT_EQ(VmFindConstant(L, "QM_LINUX", &text, &number), 0);
  VmRegisterConstants(L, user, 1);
  EXPECT_EQ(VmFindConstant(L, "both", &text, &number), 1);
  EXPECT_EQ(number, 1) << "\"constants\" is searched first";
  EXPECT_EQ(VmFindConstant(L, "GREETING", &text, &number), 1);
  EXPECT_STREQ(text, "Hi");
  EXPECT_EQ(VmFindConstant(L, "mine", &text, &number), 1);
  VmClearUserConstants(L);
  EXPECT_EQ(VmFindConstant(L, "mine", &text, &number), 0);
  EXPECT_EQ(VmGetTop(L), 0);
  EXPECT_EQ(IsPlatformDefine("qm_64bit"), 1);
  EXPECT_EQ(IsPlatformDefine("QM_64"), 0);
}

// "constants" as its walk shows it: name and value in table order.
std::vector<std::string> walkConstants(VmState* L) {
  std::vector<std::string> walk;
  VmPushString(L, "constants");
  VmRawGet(L, VM_REGISTRY_INDEX);
  if (VmType(L, -1) == VM_TYPE_TABLE) {
    VmPushNil(L);
    while (VmNext(L, -2) != 0) {
      std::string value = VmType(L, -1) == VM_TYPE_STRING ? std::string("text ") + VmToString(L, -1)
                                                          : std::to_string(VmToNumber(L, -1));
      walk.push_back(std::string(VmToString(L, -2)) + "=" + value);
      VmSetTop(L, -2);
    }
  }
  VmSetTop(L, -2);
  return walk;
}

// Tables noted while the built-in libraries open enter "constants" the
// first time it is needed, and it ends up walking exactly as if each table
// had been entered when it was registered: same names, same values (a
// later table's value wins), same order; more tables than the list holds
// included.
TEST(ConstantDeferral, NotedTablesEndUpAsIfEnteredAtOnce) {
  std::vector<std::string> names;
  for (int t = 0; t < 40; t++)
    for (int i = 0; i < 6; i++)
      names.push_back("Table" + std::to_string(t) + "Entry" + std::to_string(i));
  std::vector<std::vector<ConstantTableEntry>> tables(40);
  for (int t = 0; t < 40; t++) {
    for (int i = 0; i < 6; i++)
      tables[t].push_back({names[static_cast<size_t>(t * 6 + i)].c_str(), i == 2 ? "text" : nullptr,
                           static_cast<double>(t * 10 + i)});
    tables[t].push_back({"SHARED", nullptr, static_cast<double>(t)});
    if (t == 7) tables[t].push_back({"QM_LINUX", nullptr, 1});
    tables[t].push_back({nullptr, nullptr, 0});
  }
  const ConstantTableEntry late[] = {
      {"Late", "plug-in", 0}, {"shared", nullptr, 99}, {nullptr, nullptr, 0}};
  const ConstantTableEntry user[] = {{"Mine", nullptr, 5}, {nullptr, nullptr, 0}};
  struct Case {
    const char* name;
    void (*need)(VmState* L, const ConstantTableEntry* late);
  } cases[] = {
      {"a look-up",
       [](VmState* L, const ConstantTableEntry*) {
         double number = 0;
         EXPECT_EQ(VmFindConstant(L, "table39entry5", nullptr, &number), 1);
         EXPECT_EQ(number, 395);
       }},
      {"a registration after opening",
       [](VmState* L, const ConstantTableEntry* table) { VmRegisterConstants(L, table, 0); }},
      {"removing the platform defines",
       [](VmState* L, const ConstantTableEntry*) { VmRemovePlatformDefines(L); }},
      {"a listing", [](VmState* L, const ConstantTableEntry*) { VmCompleteConstants(L); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> walks[2];
    for (int deferred = 0; deferred < 2; deferred++) {
      VmState* L = VmOpenState();
      ASSERT_NE(L, nullptr);
      VmDeferConstantTables(L, deferred);
      for (const auto& table : tables) VmRegisterConstants(L, table.data(), 0);
      VmRegisterConstants(L, user, 1);
      VmDeferConstantTables(L, 0);
      c.need(L, late);
      double number = 0;
      EXPECT_EQ(VmFindConstant(L, "mine", nullptr, &number), 1);
      walks[deferred] = walkConstants(L);
      EXPECT_EQ(VmGetTop(L), 0);
      VmCloseState(L);
    }
    EXPECT_EQ(walks[1], walks[0]);
    EXPECT_GE(walks[0].size(), 40u * 6);
  }
}

TEST_F(AuxTest, LabelsAndLabelReferences) {
  EXPECT_EQ(VmFindLabel(L, "nowhere"), -1);
  std::string longName(200, 'A');
  VmAddLabel(L, longName.c_str(), 17);
  // Looked up by its first 127 characters, lower-cased.
  EXPECT_EQ(VmFindLabel(L, std::string(127, 'a').c_str()), 17);
  EXPECT_EQ(VmFindLabel(L, (std::string(127, 'a') + "zzz").c_str()), 17);
  EXPECT_EQ(VmAddLabelReference(L, "Start", 3), 0);
  EXPECT_EQ(VmAddLabelReference(L, "Other", 9), 1);
  VmPushString(L, "labelrefs");
  VmRawGet(L, VM_REGISTRY_INDEX);
  VmRawGetI(L, -1, 1);
  VmPushString(L, "name");
  VmRawGet(L, -2);
  EXPECT_STREQ(VmToString(L, -1), "other");
  EXPECT_EQ(VmGetTableSize(L, 1), 2);

  VmSetTop(L, 0);
  VmSetRegistryNumber(L, "answer", 42);
  VmSetRegistryString(L, "word", "hello");
  int anchor;
  VmSetRegistryPointer(L, "where", &anchor);
  EXPECT_EQ(VmGetRegistryNumber(L, "answer"), 42);
  EXPECT_STREQ(VmGetRegistryString(L, "word"), "hello");
  EXPECT_EQ(VmGetRegistryPointer(L, "where"), &anchor);
  EXPECT_EQ(VmGetTop(L), 0);
}

// Registration, references and the builder, all of which allocate.
int allocatingWork(VmState* L) {
  const CommandTableEntry table[] = {{"DisplayBrush", commandResult}, {nullptr, nullptr}};
  const ConstantTableEntry constants[] = {{"Answer", nullptr, 42}, {nullptr, nullptr, 0}};
  VmSetTop(L, 0);
  VmRegisterFunctions(L, "SomeLib", table, 0);
  VmRegisterConstants(L, constants, 1);
  VmAddLabelReference(L, "Label", 1);
  VmPushString(L, "held");
  VmRef ref = VmCreateReference(L, VM_REGISTRY_INDEX);
  VmReleaseReference(L, VM_REGISTRY_INDEX, ref);
  VmStringBuffer b;
  VmBufferInit(L, &b);
  for (int i = 0; i < 5; i++) VmBufferAddString(&b, std::string(700, 'x').c_str());
  VmBufferPushResult(&b);
  return 0;
}

TEST_F(AuxTest, AllocationFailuresRaiseOutOfMemory) {
  uint64_t n = 1;
  for (; n < 1000; n++) {
    VmSetTop(L, 0);
    VmSetAllocFailure(n, false);
    ErrorCode e = VmCPCall(L, allocatingWork, nullptr);
    VmSetAllocFailure(0, false);
    if (e == 0) break;
    ASSERT_EQ(e, ERR_MEM) << "allocation " << n;
  }
  EXPECT_GT(n, 1u);
  EXPECT_LT(n, 1000u);
  const char* text = nullptr;
  double number = 0;
  EXPECT_EQ(VmFindConstant(L, "answer", &text, &number), 1);
  EXPECT_EQ(number, 42);
}

}  // namespace
