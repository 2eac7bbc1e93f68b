// Command API tests: stack size and index rules (absent values, refused
// and growing accesses while an error unwinds), conversions, formatted and
// concatenated strings, tables and metatables, upvalues, and the error
// reports of VmCall, VmPCall and VmCPCall.
#include <cstring>

#include "engine/object.h"
#include "engine/engine_private.h"
#include "tests/engine/interp_fixture.h"

namespace {

class Api : public InterpFixture {
 protected:
  // Runs fn as a command under VmPCall and returns the status.
  ErrorCode inCommand(VmCommandFunction fn, int nargs = 0) {
    VmPushCClosure(L, fn, 0);
    if (nargs > 0) VmInsert(L, -(nargs + 1));
    return VmPCall(L, nargs, 0, 0);
  }
};

TEST_F(Api, StackEdgeCases) {
  VmPushNumber(L, 1);
  VmPushNumber(L, 2);
  VmSetTop(L, -2);
  EXPECT_EQ(VmGetTop(L), 1);

  VmPushNumber(L, 3);
  EXPECT_STREQ(VmToString(L, -1), "3");
  EXPECT_EQ(VmType(L, -1), VM_TYPE_STRING);  // converted in place

  VmNewTable(L);
  EXPECT_EQ(VmGetMetatable(L, -1), 0);
  EXPECT_EQ(VmGetTop(L), 3);

  EXPECT_EQ(VmType(L, 4), VM_TYPE_NONE);
  EXPECT_EQ(VmType(L, 1000), VM_TYPE_NONE);
  EXPECT_STREQ(VmTypeName(L, VmType(L, 4)), "no value");

  VmSetTop(L, 0);

  // next after the last entry pops the key and pushes nothing.
  VmNewTable(L);
  VmPushString(L, "k");
  VmPushNumber(L, 1);
  VmSetTable(L, -3);
  VmPushNil(L);
  ASSERT_EQ(VmNext(L, 1), 1);
  EXPECT_STREQ(VmToString(L, -2), "k");
  VmSetTop(L, -2);
  EXPECT_EQ(VmNext(L, 1), 0);
  EXPECT_EQ(VmGetTop(L), 1);
}

int badRead(VmState* L) {
  VmPushNumber(L, VmType(L, -5));
  return 1;
}
int badWrite(VmState* L) {
  VmPushNumber(L, 1);
  VmReplace(L, 9);
  return 0;
}
int bigPush(VmState* L) {
  for (int i = 0; i < 100; i++) VmPushNumber(L, i);
  return 0;
}
int badUpvalues(VmState* L) { return VmPushUpvalues(L); }

int noUpvalue(VmState* L) {
  VmPushNumber(L, VmType(L, VmUpvalueIndexOf(1)) == VM_TYPE_NUMBER ? 1 : 0);
  VmPushNumber(L, VmType(L, VmUpvalueIndexOf(2)));
  return 2;
}

TEST_F(Api, IndexViolations) {
  struct Case {
    const char* name;
    VmCommandFunction fn;
  };
  const Case cases[] = {{"read below the frame", badRead},
                        {"write outside the frame", badWrite},
                        {"push beyond the frame top", bigPush}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(inCommand(c.fn), ERR_STACK);
    EXPECT_FALSE(VmG(L)->errorRaised);  // cleared by the protected call
    EXPECT_EQ(VmGetTop(L), 0);
  }
  // While an error is being raised the same accesses stay inside the stack:
  // the read gives no value, the write is refused, the push grows the stack.
  VmG(L)->errorRaised = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VmPushCClosure(L, c.fn, 0);
    EXPECT_EQ(VmCall(L, 0, 1), 0);
    if (c.fn == badRead) {
      EXPECT_EQ(VmToNumber(L, -1), VM_TYPE_NONE);
    }
    VmSetTop(L, 0);
  }
  VmG(L)->errorRaised = false;

  EXPECT_EQ(inCommand(badUpvalues), 0);  // the running function is a built-in with none
  VmPushNumber(L, 5);
  VmPushCClosure(L, noUpvalue, 1);
  ASSERT_EQ(VmCall(L, 0, 2), 0);
  EXPECT_EQ(VmToNumber(L, 1), 1);
  EXPECT_EQ(VmToNumber(L, 2), VM_TYPE_NONE);
  VmSetTop(L, 0);
}

int returnsError(VmState* L) { return ERR_WRONGUSAGE; }
int raises(VmState* L) { VmRaiseError(L, ERR_WRONGUSAGE); }
int takesPointer(VmState* L) {
  *static_cast<int*>(VmToUserdata(L, 1)) = 42;
  return 0;
}

TEST_F(Api, CallsReportErrors) {
  VmPushNumber(L, 1);
  VmPushCClosure(L, returnsError, 0);
  EXPECT_EQ(VmCall(L, 0, 1), ERR_WRONGUSAGE);  // returned, not raised
  EXPECT_EQ(VmGetTop(L), 2);
  VmPushCClosure(L, returnsError, 0);
  EXPECT_EQ(VmPCall(L, 0, 0, 0), 0);  // only raised errors make the status

  VmPushCClosure(L, raises, 0);
  VmPushNumber(L, 7);
  VmPushNumber(L, 8);
  EXPECT_EQ(VmPCall(L, 2, 1, 0), ERR_WRONGUSAGE);
  EXPECT_EQ(VmGetTop(L), 2);  // function and arguments removed, nothing pushed
  EXPECT_EQ(VmToNumber(L, 1), 1);

  int word = 0;
  EXPECT_EQ(VmCPCall(L, takesPointer, &word), 0);
  EXPECT_EQ(word, 42);
  EXPECT_EQ(VmCPCall(L, raises, nullptr), ERR_WRONGUSAGE);
  EXPECT_EQ(VmGetTop(L), 2);
}

TEST_F(Api, StringsAndComparisons) {
  EXPECT_STREQ(VmPushFString(L, "%s=%d %f%c %% %x", "a", 3, 1.5, 'z'), "a=3 1.5z % %x");
  VmPushString(L, "b");
  VmPushNumber(L, 2);
  VmPushNil(L);
  VmConcat(L, 3);
  EXPECT_STREQ(VmToString(L, -1), "b2");
  VmConcat(L, 0);
  EXPECT_EQ(VmStrLen(L, -1), 0u);
  VmPushLString(L, "a\0b", 3);
  EXPECT_EQ(VmStrLen(L, -1), 3u);
  VmSetTop(L, 0);

  VmPushNumber(L, 1);
  VmPushString(L, "1");
  VmPushNil(L);
  VmPushNumber(L, 0);
  EXPECT_EQ(VmEqual(L, 1, 2), 0);  // different types: unequal, no error
  EXPECT_EQ(VmEqual(L, 3, 4), 0);
  EXPECT_EQ(VmEqual(L, 1, 9), 0);
  EXPECT_EQ(VmRawEqual(L, 1, 1), 1);
  EXPECT_EQ(VmLessThan(L, 4, 1, 0), 1);
  EXPECT_EQ(VmIsNumber(L, 2), 1);
  EXPECT_EQ(VmIsNumber(L, 3), 0);  // nil is no number, though it counts as 0
  EXPECT_EQ(VmIsString(L, 1), 1);
  EXPECT_EQ(VmToBoolean(L, 4), 1);  // only nil and false are false here
  EXPECT_EQ(VmToBoolean(L, 3), 0);
}

TEST_F(Api, TablesMetatablesUpvalues) {
  VmNewTable(L);
  VmPushString(L, "missing");
  VmGetTable(L, 1);  // a missing field reads nil through the API
  EXPECT_EQ(VmType(L, -1), VM_TYPE_NIL);
  VmSetTop(L, 1);
  VmPushNumber(L, 5);
  VmRawSetI(L, 1, 0);
  VmRawGetI(L, 1, 0);
  EXPECT_EQ(VmToNumber(L, -1), 5);
  VmSetTop(L, 1);

  VmNewTable(L);
  EXPECT_EQ(VmSetMetatable(L, 1), 1);
  EXPECT_EQ(VmGetMetatable(L, 1), 1);
  VmSetTop(L, 1);
  VmPushNil(L);
  EXPECT_EQ(VmSetMetatable(L, 1), 1);  // back to the default metatable
  EXPECT_EQ(VmGetMetatable(L, 1), 0);
  VmPushNumber(L, 3);
  VmNewTable(L);
  EXPECT_EQ(VmSetMetatable(L, -2), 0);  // numbers keep none
  VmSetTop(L, 0);

  VmPushNumber(L, 11);
  VmPushCClosure(L, returnsError, 1);
  EXPECT_STREQ(VmGetUpvalue(L, 1, 1), "");
  EXPECT_EQ(VmToNumber(L, -1), 11);
  VmPushNumber(L, 12);
  EXPECT_STREQ(VmSetUpvalue(L, 1, 1), "");
  EXPECT_EQ(VmGetUpvalue(L, 1, 2), nullptr);
  VmGetUpvalue(L, 1, 1);
  EXPECT_EQ(VmToNumber(L, -1), 12);
  VmSetTop(L, 0);

  VmState* L1 = VmPushNewThread(L);
  VmPushNumber(L, 9);
  VmXMove(L, L1, 1);
  EXPECT_EQ(VmGetTop(L), 1);
  EXPECT_EQ(VmToNumber(L1, 1), 9);
}

}  // namespace
