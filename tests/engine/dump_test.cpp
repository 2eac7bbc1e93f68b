// Tests of the chunk writer: the golden chunk from a prototype built by
// hand, a load-and-write round trip of every record field, the canonical
// form it writes, and the refusal of anything but a script function.
#include "tests/engine/chunk_support.h"
#include "engine/opcodes.h"
#include "engine/engine_private.h"

using namespace chunktest;

namespace {

class DumpTest : public VmFixture {
 protected:
  void Push(const VmValue& v) {
    *L->top = v;
    L->top++;
  }
};

// Built without the loader, so a fault shared by the two would show.
TEST_F(DumpTest, WritesTheGoldenChunk) {
  VmPrototype* p = VmNewPrototype(L);
  p->source = VmNewStringZ(L, "=t");
  p->maxstacksize = 2;
  p->k = VmNewBlock<VmValue>(L, 1);
  p->sizek = 1;
  VmSetString(&p->k[0], VmNewStringZ(L, "end"));
  const Instruction code[] = {CREATE_ABx(OP_GETGLOBAL, 0, 0), CREATE_ABC(OP_LOADNUM, 1, 5, 0),
                              CREATE_ABC(OP_CALL, 0, 2, 1), CREATE_ABC(OP_RETURN, 0, 1, 0)};
  p->code = VmNewBlock<Instruction>(L, 4);
  p->sizecode = 4;
  p->lineinfo = VmNewBlock<int32_t>(L, 4);
  p->sizelineinfo = 4;
  for (int i = 0; i < 4; i++) {
    p->code[i] = code[i];
    p->lineinfo[i] = 1;
  }
  VmClosure* cl = VmNewScriptClosure(L, 0, &L->gt);
  cl->l.p = p;
  VmValue v;
  VmSetClosure(&v, cl);
  Push(v);
  Bytes out;
  ASSERT_EQ(VmDump(L, -1, Collect, &out), 0);
  EXPECT_EQ(out, ReadDataBytes("end5.qmb"));
  Bytes again;
  ASSERT_EQ(VmDump(L, 1, Collect, &again), 0);
  EXPECT_EQ(again, out);
}

// Every field of the record survives loading and writing: the canonical
// text (nested sources omitted where they equal the parent's) comes back
// byte for byte, in one piece or read in small blocks.
TEST_F(DumpTest, RoundTripKeepsEveryField) {
  const char* text =
      ".source \"@main.qm\"\n"
      ".linedefined 0\n"
      ".vararg\n"
      ".line 3\n"
      ".local t start done\n"
      ".function inner\n"
      "  .linedefined 4\n"
      "  .params 2\n"
      "  .upvalue up\n"
      "  .local a 0 3\n"
      "  .local b 1 3\n"
      "  .line 5\n"
      "  GETUPVAL 2 0\n"
      "  ADD 2 2 #1.5\n"
      "  .line 6\n"
      "  RETURN 2 2\n"
      ".end\n"
      ".function other\n"
      "  .source \"@lib.qm\"\n"
      "  LOADCONST 0 nil\n"
      "  RETURN 0 2\n"
      ".end\n"
      "start: NEWTABLE 0 0 0\n"
      ".line 7\n"
      "CLOSURE 1 inner\n"
      "MOVE 0 0\n"
      "CLOSURE 2 other\n"
      "SETTABLE 0 \"k\" #-0.0\n"
      "JUMP gosub done\n"
      "done: RETURN 0 2\n";
  Bytes chunk = Assemble(text);
  for (size_t block : {size_t(0), size_t(5)}) {
    ASSERT_EQ(Load(chunk, block, "=rt"), 0);
    Bytes out;
    ASSERT_EQ(VmDump(L, -1, Collect, &out), 0);
    EXPECT_EQ(out, chunk) << "block " << block;
    VmPrototype* p = TopPrototype();
    ASSERT_EQ(p->sizep, 2);
    EXPECT_EQ(p->p[0]->source, p->source);
    EXPECT_STREQ(VmStringData(p->p[1]->source), "@lib.qm");
    L->top--;
  }
}

// A nested function whose source repeats its parent's is written with the
// empty length that stands for the parent's.
TEST_F(DumpTest, NestedSourceEqualToParentIsOmitted) {
  Bytes explicitSource =
      Assemble(".source \"@a\"\n.function f\n.source \"@a\"\nRETURN 0 1\n.end\nRETURN 0 1\n");
  Bytes implied = Assemble(".source \"@a\"\n.function f\nRETURN 0 1\n.end\nRETURN 0 1\n");
  ASSERT_NE(explicitSource, implied);
  ASSERT_EQ(Load(explicitSource), 0);
  Bytes out;
  ASSERT_EQ(VmDump(L, -1, Collect, &out), 0);
  EXPECT_EQ(out, implied);
}

// Written and loaded again, a function computes what the original did.
TEST_F(DumpTest, WrittenFunctionBehavesTheSame) {
  Bytes chunk = Assemble(
      ".source \"=sum\"\n"
      ".function twice\n.params 1\nADD 1 0 0\nRETURN 1 2\n.end\n"
      "LOADNUM 0 0\nLOADNUM 1 0\nLOADNUM 2 10\nLOADNUM 3 1\nJUMP test\n"
      "body: ADD 0 0 1\ntest: FORLOOP 1 body\n"
      "CLOSURE 4 twice\nMOVE 5 0\nCALL 4 2 2\nRETURN 4 2\n");
  ASSERT_EQ(Load(chunk), 0);
  Bytes written;
  ASSERT_EQ(VmDump(L, -1, Collect, &written), 0);
  ASSERT_EQ(Load(written), 0);
  for (int i = 0; i < 2; i++) {
    ASSERT_EQ(VmCall(L, 0, 1), 0);
    EXPECT_EQ(VmToNumber(L, -1), 110);
    VmSetTop(L, -2);
  }
  EXPECT_EQ(VmGetTop(L), 0);
}

int builtin(VmState*) { return 0; }

TEST_F(DumpTest, OnlyScriptFunctionsAreWritten) {
  VmClosure* c = VmNewCClosure(L, 0);
  c->c.f = builtin;
  VmValue v;
  VmSetClosure(&v, c);
  Push(v);
  VmSetNumber(&v, 3);
  Push(v);
  struct Case {
    const char* name;
    int index;
  } cases[] = {
      {"built-in command", 1}, {"number", 2}, {"index past the top", 3}, {"empty slot below", -3}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Bytes out;
    EXPECT_EQ(VmDump(L, k.index, Collect, &out), ERR_NOQMFUNC);
    EXPECT_TRUE(out.empty());
  }
}

}  // namespace
