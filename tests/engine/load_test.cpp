// Tests of the chunk loader: the golden chunk in every byte order and
// length size, one refusal per error code, the verifier's limits at their
// edges, input in blocks of any size, and out-of-memory at every step.
#include <cstring>

#include "tests/engine/chunk_support.h"
#include "engine/engine_private.h"

using namespace chunktest;

namespace {

const char* const GOLDEN_TEXT =
    ".source \"=t\"\n.line 1\n"
    "GETGLOBAL 0, \"end\"\nLOADNUM 1, 5, 0\nCALL 0, 2, 1\nRETURN 0, 1, 0\n";

class LoadTest : public VmFixture {};

TEST_F(LoadTest, GoldenChunkLoads) {
  Bytes golden = ReadDataBytes("end5.qmb");
  ASSERT_EQ(golden.size(), 101u);
  ASSERT_EQ(Load(golden), 0);
  VmPrototype* p = TopPrototype();
  ASSERT_NE(p->source, nullptr);
  EXPECT_STREQ(VmStringData(p->source), "=t");
  EXPECT_EQ(p->maxstacksize, 2);
  EXPECT_EQ(p->nups, 0);
  ASSERT_EQ(p->sizek, 1);
  ASSERT_TRUE(VmIsString(&p->k[0]));
  EXPECT_STREQ(VmStringData(VmStringOf(&p->k[0])), "end");
  const Instruction code[] = {0x00000005, 0x01028002, 0x00010060, 0x00008022};
  ASSERT_EQ(p->sizecode, 4);
  ASSERT_EQ(p->sizelineinfo, 4);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(p->code[i], code[i]) << i;
    EXPECT_EQ(p->lineinfo[i], 1) << i;
  }
  EXPECT_EQ(VmClosureOf(L->top - 1)->nupvalues, 0);
}

// Every variant, read in blocks of any size, loads to the same function:
// writing it back gives the golden chunk byte for byte.
TEST_F(LoadTest, ByteOrdersLengthSizesAndBlocksLoadAlike) {
  Bytes golden = ReadDataBytes("end5.qmb");
  struct Case {
    const char* name;
    const char* prefix;
  } cases[] = {
      {"little-endian", ""},
      {"big-endian", ".byteorder big\n"},
      {"byte order 7 is big-endian", ".byteorder 7\n"},
      {"8-byte lengths", ".lensize 8\n"},
      {"big-endian 8-byte lengths", ".byteorder big\n.lensize 8\n"},
      {"test number truncates", ".testnumber 31415926.99\n"},
  };
  for (const Case& c : cases) {
    Bytes chunk = Assemble(std::string(c.prefix) + GOLDEN_TEXT);
    for (size_t block : {size_t(0), size_t(1), size_t(3), size_t(64)}) {
      SCOPED_TRACE(std::string(c.name) + ", block " + std::to_string(block));
      ASSERT_EQ(Load(chunk, block), 0);
      Bytes out;
      ASSERT_EQ(VmDump(L, -1, Collect, &out), 0);
      EXPECT_EQ(out, golden);
      L->top--;
    }
  }
}

double endArgument;
int endArguments;

int endCommand(VmState* L) {
  endArguments = VmGetTop(L);
  endArgument = VmToNumber(L, 1);
  return 0;
}

// The golden chunk calls the command `end` with 5, in every form.
TEST_F(LoadTest, GoldenChunkRunsInEveryForm) {
  VmPushString(L, "end");
  VmPushCClosure(L, endCommand, 0);
  VmSetTable(L, VM_GLOBALS_INDEX);
  for (const char* prefix :
       {"", ".byteorder big\n", ".lensize 8\n", ".byteorder big\n.lensize 8\n"}) {
    SCOPED_TRACE(prefix);
    endArgument = 0;
    endArguments = 0;
    ASSERT_EQ(Load(Assemble(std::string(prefix) + GOLDEN_TEXT)), 0);
    ASSERT_EQ(VmCall(L, 0, 0), 0);
    EXPECT_EQ(endArguments, 1);
    EXPECT_EQ(endArgument, 5);
    EXPECT_EQ(VmGetTop(L), 0);
  }
}

TEST_F(LoadTest, PlainTextIsRefused) {
  const char* text = "Print(\"hello\")\n";
  Bytes b(text, text + std::strlen(text));
  EXPECT_EQ(Load(b), ERR_BADSIGNATURE);
}

// The main function without a source of its own is named after the chunk
// (never left without a name); nested functions inherit their parent's.
TEST_F(LoadTest, MissingSourceComesFromChunkName) {
  Bytes chunk = Assemble(".function f\nRETURN 0 1\n.end\nCLOSURE 0 f\nRETURN 0 1\n");
  ASSERT_EQ(Load(chunk, 0, "=chunk"), 0);
  VmPrototype* p = TopPrototype();
  ASSERT_NE(p->source, nullptr);
  EXPECT_STREQ(VmStringData(p->source), "=chunk");
  EXPECT_EQ(p->p[0]->source, p->source);
  ASSERT_EQ(Load(chunk, 0, nullptr), 0);
  EXPECT_STREQ(VmStringData(TopPrototype()->source), "?");
}

struct BadCase {
  const char* name;
  std::string text;
  ErrorCode expected;  // 0: must load
};

std::string golden(const std::string& raw) { return ".raw\n" + raw + "\n" + GOLDEN_TEXT; }
std::string body(const std::string& code) { return ".raw\n" + code + "\n"; }

std::string nested(int depth) {
  std::string s;
  for (int i = 0; i < depth; i++) s += ".function f\n";
  for (int i = 0; i < depth; i++) s += "RETURN 0 1\n.end\n";
  return s + "RETURN 0 1\n";
}

// One refusal (or acceptance at the limit) per case. A refused load
// returns its code and leaves the stack as it was.
TEST_F(LoadTest, MalformedChunksAreRefused) {
  const BadCase cases[] = {
      // The input ends early.
      {"empty input", golden(".truncate 0"), ERR_UNEXPECTEDEOF},
      {"end inside the signature", golden(".truncate 2"), ERR_UNEXPECTEDEOF},
      {"end inside the code", golden(".truncate 99"), ERR_UNEXPECTEDEOF},
      {"code count beyond the input", golden(".count code 1000000000"), ERR_UNEXPECTEDEOF},
      {"constant count beyond the input", golden(".count constants 2147483647"), ERR_UNEXPECTEDEOF},
      {"string length beyond the input", golden(".patch 21 255 255 255 127"), ERR_UNEXPECTEDEOF},
      // Header.
      {"integer size", golden(".patch 5 8"), ERR_VMMISMATCH},
      {"length size", golden(".patch 6 2"), ERR_VMMISMATCH},
      {"instruction size", golden(".patch 7 8"), ERR_VMMISMATCH},
      {"opcode width", golden(".patch 8 7"), ERR_VMMISMATCH},
      {"C width", golden(".patch 11 8"), ERR_VMMISMATCH},
      {"number size", golden(".patch 12 4"), ERR_VMMISMATCH},
      {"signature", golden(".patch 2 88"), ERR_BADSIGNATURE},
      {"test number", golden(".testnumber 3.0"), ERR_UNKNUMFMT},
      {"test number NaN", golden(".testnumber nan"), ERR_UNKNUMFMT},
      {"test number huge", golden(".testnumber 1e300"), ERR_UNKNUMFMT},
      {"test number 2^32 below", golden(".testnumber -4263551370"), ERR_UNKNUMFMT},
      // Integers.
      {"negative count", golden(".count lines -1"), ERR_BADINTEGER},
      {"negative line defined", golden(".linedefined -5"), ERR_BADINTEGER},
      {"negative local start", body(".local x -1 0\nRETURN 0 1"), ERR_BADINTEGER},
      {"8-byte length with high bits", ".lensize 8\n" + golden(".patch 25 1"), ERR_BADINTEGER},
      {"8-byte length exact", ".lensize 8\n" + golden(""), 0},
      // Upvalues.
      {"upvalue names differ from count",
       body(".function f\n.nups 2\n.upvalue a\nRETURN 0 1\n.end\nRETURN 0 1"), ERR_BADUPVALUES},
      {"main function with upvalues", body(".upvalue a\nRETURN 0 1"), ERR_BADUPVALUES},
      // Constants.
      {"constant tag 7", body(".consttag 7\nRETURN 0 1"), ERR_BADCONSTANT},
      {"boolean constant", body(".consttag 1 1\nRETURN 0 1"), ERR_BADCONSTANT},
      {"string constant without string", body(".consttag 4 0 0 0 0\nRETURN 0 1"), ERR_BADCONSTANT},
      // Function shape.
      {"no code", body(""), ERR_BADBYTECODE},
      {"last is not RETURN", body("LOADNIL 0 0"), ERR_BADBYTECODE},
      {"stack 251", body(".stack 251\nRETURN 0 1"), ERR_BADBYTECODE},
      {"stack 250", body(".stack 250\nRETURN 0 1"), 0},
      {"parameters beyond the stack", body(".params 3\n.stack 2\nRETURN 0 1"), ERR_BADBYTECODE},
      {"line table too short", body(".linetable 1\nLOADNIL 0 0\nRETURN 0 1"), ERR_BADBYTECODE},
      {"line table empty", body(".linetable 0\nLOADNIL 0 0\nRETURN 0 1"), 0},
      {"nesting 200 deep", nested(200), 0},
      {"nesting 201 deep", nested(201), ERR_BADBYTECODE},
      // Operands.
      {"A outside the frame", body(".stack 2\nMOVE 2 0\nRETURN 0 1"), ERR_BADBYTECODE},
      {"RK register outside", body(".stack 2\nADD 0 1 5\nRETURN 0 1"), ERR_BADBYTECODE},
      {"RK constant outside", body(".const 1\nADD 0 0 K1\nRETURN 0 1"), ERR_BADBYTECODE},
      {"RK constant inside", body(".const 1\nADD 0 0 K0\nRETURN 0 1"), 0},
      {"LOADCONST index outside", body("LOADCONST 0 K0\nRETURN 0 1"), ERR_BADBYTECODE},
      {"GETGLOBAL of a number", body("GETGLOBAL 0 #5\nRETURN 0 1"), ERR_BADBYTECODE},
      {"GETUPVAL beyond upvalues",
       body(".function f\n.upvalue u\nGETUPVAL 0 1\nRETURN 0 1\n.end\nRETURN 0 1"),
       ERR_BADBYTECODE},
      {"JUMP past the end", body("JUMP 1\nRETURN 0 1"), ERR_BADBYTECODE},
      {"JUMP before the start", body("JUMP -2\nRETURN 0 1"), ERR_BADBYTECODE},
      {"JUMP to itself", body("l: JUMP l\nRETURN 0 1"), 0},
      {"test without JUMP", body("EQ 0 0 1\nLOADNIL 0 0\nRETURN 0 1"), ERR_BADBYTECODE},
      {"test before the last", body("EQ 0 0 1\nRETURN 0 1"), ERR_BADBYTECODE},
      {"CONCAT B not below C", body("CONCAT 0 1 1\nRETURN 0 1"), ERR_BADBYTECODE},
      {"CONCAT C of 250", body("CONCAT 0 0 250\nRETURN 0 1"), ERR_BADBYTECODE},
      {"CALL arguments beyond", body(".stack 2\nCALL 0 3 1\nRETURN 0 1"), ERR_BADBYTECODE},
      {"CALL results beyond", body(".stack 2\nCALL 0 1 4\nRETURN 0 1"), ERR_BADBYTECODE},
      {"CALL results at the limit", body(".stack 2\nCALL 0 2 3\nRETURN 0 1"), 0},
      {"open results not consumed", body("CALL 0 1 0\nRETURN 0 1"), ERR_BADBYTECODE},
      {"open results consumed", body("CALL 0 1 0\nRETURN 0 0"), 0},
      {"open results into SETLISTTOP", body("CALL 1 1 0\nSETLISTTOP 0 0\nRETURN 0 1"), 0},
      {"RETURN beyond", body(".stack 2\nRETURN 0 4"), ERR_BADBYTECODE},
      {"SETLIST beyond", body(".stack 2\nSETLIST 0 1\nRETURN 0 1"), ERR_BADBYTECODE},
      {"SETLIST at the limit", body(".stack 2\nSETLIST 0 0\nRETURN 0 1"), 0},
      {"CLOSURE index outside", body("CLOSURE 0 0\nRETURN 0 1"), ERR_BADBYTECODE},
      {"CLOSURE capture not MOVE",
       body(".function f\n.upvalue u\nRETURN 0 1\n.end\nCLOSURE 0 f\nLOADNIL 0 0\nRETURN 0 1"),
       ERR_BADBYTECODE},
      {"CLOSURE captures",
       body(".function f\n.upvalue u\nRETURN 0 1\n.end\nCLOSURE 0 f\nMOVE 0 1\nRETURN 0 1"), 0},
      {"SELF needs A+1", body(".stack 2\nSELF 1 0 \"m\"\nRETURN 0 1"), ERR_BADBYTECODE},
      {"LOADNUM skip past the end", body("LOADNUM 0 1 1\nRETURN 0 1"), ERR_BADBYTECODE},
      {"LOADNUM skip inside", body("LOADNUM 0 1 1\nLOADNIL 0 0\nRETURN 0 1"), 0},
      {"FORLOOP step outside", body(".stack 3\nl: FORLOOP 1 l\nRETURN 0 1"), ERR_BADBYTECODE},
      {"FORLOOP at the limit", body(".stack 3\nl: FORLOOP 0 l\nRETURN 0 1"), 0},
      {"ITERPREP A+1 outside", body(".stack 2\nITERPREP 1 l\nl: RETURN 0 1"), ERR_BADBYTECODE},
      {"ITERLOOP A+C+5 outside", body(".stack 8\nl: ITERLOOP 1 2\nJUMP l\nRETURN 0 1"),
       ERR_BADBYTECODE},
      {"ITERLOOP at the limit", body(".stack 8\nl: ITERLOOP 0 2\nJUMP l\nRETURN 0 1"), 0},
      {"ITERLOOP results outside", body(".stack 9\nl: ITERLOOP 0 3\nJUMP l\nRETURN 0 1"),
       ERR_BADBYTECODE},
      {"ITERLOOP results at the limit", body(".stack 10\nl: ITERLOOP 0 3\nJUMP l\nRETURN 0 1"), 0},
      {"NEWTABLE shift of 63", body("NEWTABLE 0 511 0\nRETURN 0 1"), ERR_BADBYTECODE},
      {"NEWTABLE 2^24 slots", body("NEWTABLE 0 193 0\nRETURN 0 1"), 0},
      {"NEWTABLE 2^25 slots", body("NEWTABLE 0 194 0\nRETURN 0 1"), ERR_BADBYTECODE},
      {"NEWTABLE 2^24 nodes", body("NEWTABLE 0 0 24\nRETURN 0 1"), 0},
      {"NEWTABLE 2^25 nodes", body("NEWTABLE 0 0 25\nRETURN 0 1"), ERR_BADBYTECODE},
      {"opcode 45 does nothing", body(".word 45\nRETURN 0 1"), 0},
      {"every operand kind in use", ReadDataFile("allops.qasm"), 0},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes chunk = Assemble(c.text);
    int before = static_cast<int>(L->top - L->base);
    EXPECT_EQ(Load(chunk), c.expected);
    int after = static_cast<int>(L->top - L->base);
    EXPECT_EQ(after, before + (c.expected == 0 ? 1 : 0));
    L->top = L->base + before;
  }
}

// A refused function is named in the message: the chunk (without the '@'
// of a file name), the function by its place among the nested records, and
// the instruction by its index and opcode, or what is wrong with the
// function as a whole.
TEST_F(LoadTest, BadBytecodeNamesChunkFunctionAndInstruction) {
  // The first function past 200 levels: the first nested record of each.
  std::string deepest = "Bad bytecode! (applet.qma, function 1";
  for (int level = 2; level <= 201; level++) deepest += ".1";
  deepest += ": functions nested too deep)";
  struct Case {
    const char* name;
    std::string text;
    std::string message;
  } cases[] = {
      {"instruction of the main function", body(".stack 2\nLOADNIL 0 0\nCALL 0 3 1\nRETURN 0 1"),
       "Bad bytecode! (applet.qma, main function, instruction 1 (CALL))"},
      {"instruction of a nested function",
       body(".function f\nRETURN 0 1\n.end\n.function g\n.function h\nRETURN 0 1\n.end\n"
            "LOADNIL 0 0\nJUMP 5\nRETURN 0 1\n.end\nRETURN 0 1"),
       "Bad bytecode! (applet.qma, function 2, instruction 1 (JUMP))"},
      {"function nested in a nested one",
       body(".function f\n.function g\nCONCAT 0 1 1\nRETURN 0 1\n.end\nRETURN 0 1\n.end\n"
            "RETURN 0 1"),
       "Bad bytecode! (applet.qma, function 1.1, instruction 0 (CONCAT))"},
      {"source of its own", body(".source \"@lib.qma\"\nEQ 0 0 1\nRETURN 0 1"),
       "Bad bytecode! (lib.qma, main function, instruction 0 (EQ))"},
      {"last instruction", body("LOADNIL 0 0"),
       "Bad bytecode! (applet.qma, main function, instruction 0 (LOADNIL): the last "
       "instruction is no RETURN)"},
      {"the function's stack", body(".stack 251\nRETURN 0 1"),
       "Bad bytecode! (applet.qma, main function: stack size over 250)"},
      {"nesting too deep", nested(201), deepest},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Load(Assemble(c.text), 0, "@applet.qma"), ERR_BADBYTECODE);
    char text[2048];
    GetErrorText(ERR_BADBYTECODE, text, sizeof text);
    EXPECT_EQ(text, c.message);
  }
}

// A failing allocation at any step of a load gives 1000, leaks nothing
// and leaves the stack as it was; the load succeeds once memory suffices.
TEST_F(LoadTest, OutOfMemoryAtEveryStep) {
  Bytes chunk = Assemble(
      ".source \"=m\"\n.function f\n.upvalue u\n.local a 0 1\nGETUPVAL 0 0\nRETURN 0 2\n.end\n"
      "CLOSURE 0 f\nMOVE 0 1\nLOADCONST 1 \"text\"\nLOADCONST 1 #2.5\nRETURN 0 1\n");
  for (uint64_t n = 1;; n++) {
    SCOPED_TRACE(n);
    VmSetAllocFailure(n, false);
    ErrorCode e = Load(chunk, 7);
    bool failed = VmGetAllocFailureCount() > 0;
    VmSetAllocFailure(0, false);
    if (!failed) {
      ASSERT_EQ(e, 0);
      EXPECT_GT(n, 10u);  // every string, array and the buffer failed once
      break;
    }
    ASSERT_EQ(e, ERR_MEM);
    ASSERT_EQ(L->top, L->base);
    ASSERT_LT(n, 1000u);
  }
}

}  // namespace
