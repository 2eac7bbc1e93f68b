// Interpreter tests: operator rules (falsity, nil conversions, integer
// division, bit operations, comparisons), table constructors and missing
// fields, __index chains, loops, closures, script calls, the faulty
// operand cases that must raise instead of ending the run silently, and
// the instructions at which line and count hooks fire.
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "engine/object.h"
#include "engine/opcodes.h"
#include "engine/vmcore.h"
#include "engine/engine_private.h"
#include "tests/engine/interp_fixture.h"

namespace {

struct Expect {
  enum Kind { NUMBER, STRING, NIL, ERROR } kind;
  double number = 0;
  const char* text = nullptr;
  ErrorCode code = 0;
  const char* arg = nullptr;  // expected error argument, when checked
};

Expect Num(double n) { return {Expect::NUMBER, n}; }
Expect Str(const char* s) { return {Expect::STRING, 0, s}; }
Expect Nil() { return {Expect::NIL}; }
Expect Err(ErrorCode c, const char* arg = nullptr) { return {Expect::ERROR, 0, nullptr, c, arg}; }

struct Case {
  const char* name;
  const char* code;  // leaves its result in register 0
  Expect expect;
};

class Interp : public InterpFixture {
 protected:
  void check(const Case& c) {
    SCOPED_TRACE(c.name);
    ErrorCode status = run(std::string(c.code) + "\nRETURN 0, 2\n", 1);
    if (c.expect.kind == Expect::ERROR) {
      EXPECT_EQ(status, c.expect.code);
      if (c.expect.arg != nullptr) {
        EXPECT_EQ(errorArg(), c.expect.arg);
      }
      return;
    }
    ASSERT_EQ(status, 0);
    switch (c.expect.kind) {
      case Expect::NUMBER:
        ASSERT_EQ(VmType(L, -1), VM_TYPE_NUMBER);
        EXPECT_EQ(VmToNumber(L, -1), c.expect.number);
        break;
      case Expect::STRING:
        ASSERT_EQ(VmType(L, -1), VM_TYPE_STRING);
        EXPECT_STREQ(VmToString(L, -1), c.expect.text);
        break;
      default:
        EXPECT_EQ(VmType(L, -1), VM_TYPE_NIL);
    }
    VmSetTop(L, 0);
  }
};

// A comparison as a value: R0 = 1 when "<op> 1, <b>, <c>" jumps.
std::string compare(const char* op, const char* setup, const char* b, const char* c) {
  return std::string(setup) + "\n" + op + " 1, " + b + ", " + c +
         "\nJUMP yes\nLOADNUM 0, 0, 1\nyes: LOADNUM 0, 1\n";
}

TEST_F(Interp, Operators) {
  const Case cases[] = {
      {"not zero", "LOADNUM 1, 0\nNOT 0, 1", Num(1)},
      {"not empty string", "LOADCONST 1, \"\"\nNOT 0, 1", Num(1)},
      {"not nil", "LOADNIL 1, 1\nNOT 0, 1", Num(1)},
      {"not text zero", "LOADCONST 1, \"0\"\nNOT 0, 1", Num(0)},
      {"not negative zero", "LOADCONST 1, #-0\nNOT 0, 1", Num(1)},
      {"int quotient", "INTDIV 0, #7, #2", Num(3)},
      {"int quotient negative", "INTDIV 0, #-7, #2", Num(-3)},
      {"remainder takes the dividend's sign", "MOD 0, #-7, #2", Num(-1)},
      {"divisor truncating to zero", "INTDIV 0, #7, #0.5", Err(ERR_ZERODIVISION)},
      {"remainder by zero", "MOD 0, #7, #0", Err(ERR_ZERODIVISION)},
      {"division by zero", "DIV 0, #1, #0", Err(ERR_ZERODIVISION)},
      {"smallest int by -1", "INTDIV 0, #-2147483648, #-1", Num(2147483648.0)},
      {"smallest int remainder by -1", "MOD 0, #-2147483648, #-1", Num(0)},
      {"bit not zero", "LOADNUM 1, 0\nBITNOT 0, 1", Num(4294967295.0)},
      {"shift count modulo 32", "SHL 0, #1, #33", Num(2)},
      {"or keeps all bits", "BITOR 0, #4294967295, #0", Num(4294967295.0)},
      {"negative as bits", "BITAND 0, #-1, #255", Num(255)},
      {"large positive as bits", "BITOR 0, #4294967296, #1", Num(1)},
      {"shift right fills zeros", "SHR 0, #-1, #28", Num(15)},
      {"nil is zero in arithmetic", "LOADNIL 1, 1\nADD 0, 1, #5", Num(5)},
      {"dollar hex text", "ADD 0, \"$10\", #1", Num(17)},
      {"0x hex text", "ADD 0, \"0x1F\", #0", Num(31)},
      {"trailing blanks", "ADD 0, \"12  \", #1", Num(13)},
      {"bare dollar is no number", "ADD 0, \"$\", #1", Err(ERR_WRONGOP)},
      {"word is no number", "ADD 0, \"inf\", #1", Err(ERR_WRONGOP)},
      {"negate text", "LOADCONST 1, \"4\"\nNEG 0, 1", Num(-4)},
      {"negate table", "NEWTABLE 1, 0, 0\nNEG 0, 1", Err(ERR_WRONGOP)},
      {"power", "POW 0, #2, #10", Num(1024)},
      {"nil concat text", "LOADNIL 1, 1\nLOADCONST 2, \"a\"\nCONCAT 0, 1, 2", Str("a")},
      {"number concat", "LOADCONST 1, #1.5\nLOADCONST 2, \"x\"\nLOADNUM 3, 7\nCONCAT 0, 1, 3",
       Str("1.5x7")},
      {"numbers of every form in one concat",
       "LOADCONST 1, #-0\nLOADCONST 2, #-12\nLOADCONST 3, #99999999999999\nLOADCONST 4, "
       "#100000000000000\n"
       "LOADCONST 5, #0.1\nLOADNIL 6, 6\nLOADCONST 7, #1e300\nCONCAT 0, 1, 7",
       Str("-0-12999999999999991e+140.11e+300")},
      {"empty text on top leaves the converted number",
       "LOADNUM 1, 42\nLOADCONST 2, \"\"\nCONCAT 0, 1, 2", Str("42")},
      {"concat table", "NEWTABLE 1, 0, 0\nLOADCONST 2, \"x\"\nCONCAT 0, 1, 2", Err(ERR_CONCAT)},
      // R0 = R1 or 5: TESTSET keeps a true R1 and jumps, else falls through.
      {"or with false operand",
       "LOADNIL 1, 1\nTESTSET 0, 1, 1\nJUMP done\nLOADNUM 0, 5\ndone: LOADNUM 3, 0", Num(5)},
      {"or with true operand",
       "LOADCONST 1, \"\"\nLOADNUM 1, 3\nTESTSET 0, 1, 1\nJUMP done\nLOADNUM 0, 5\ndone: LOADNUM "
       "3, 0",
       Num(3)},
      {"and with empty string",
       "LOADCONST 1, \"\"\nTESTSET 0, 1, 0\nJUMP done\nLOADNUM 0, 5\ndone: LOADNUM 3, 0", Str("")},
  };
  for (const Case& c : cases) check(c);
}

TEST_F(Interp, Comparisons) {
  struct Cmp {
    const char* name;
    std::string code;
    Expect expect;
  };
  const Cmp cases[] = {
      {"nil equals 0", compare("EQ", "LOADNIL 2, 2", "2", "#0"), Num(1)},
      {"nil equals empty", compare("EQ", "LOADNIL 2, 2", "2", "\"\""), Num(1)},
      {"nil differs from 1", compare("EQ", "LOADNIL 2, 2", "2", "#1"), Num(0)},
      {"nil equals nil", compare("EQ", "LOADNIL 2, 3", "2", "3"), Num(1)},
      {"table against number", compare("EQ", "NEWTABLE 2, 0, 0", "2", "#1"), Err(ERR_WRONGOP)},
      {"number against text", compare("EQ", "", "#1", "\"1\""), Err(ERR_NUMSTRCMP)},
      {"nil below one", compare("LT", "LOADNIL 2, 2", "2", "#1"), Num(1)},
      {"one not below nil", compare("LT", "LOADNIL 2, 2", "#1", "2"), Num(0)},
      {"minus one below nil", compare("LT", "LOADNIL 2, 2", "#-1", "2"), Num(1)},
      {"nil against text", compare("LT", "LOADNIL 2, 2", "2", "\"a\""), Num(0)},
      {"nil below nil", compare("LT", "LOADNIL 2, 3", "2", "3"), Num(0)},
      {"nil at most nil", compare("LE", "LOADNIL 2, 3", "2", "3"), Num(1)},
      {"nil against table", compare("LT", "LOADNIL 2, 2\nNEWTABLE 3, 0, 0", "2", "3"),
       Err(ERR_WRONGOP)},
      {"order number and text", compare("LE", "", "#1", "\"2\""), Err(ERR_NUMSTRCMP)},
      {"text order", compare("LT", "", "\"ab\"", "\"b\""), Num(1)},
      {"prefix is smaller", compare("LT", "", "\"ab\"", "\"abc\""), Num(1)},
      {"text at most itself", compare("LE", "", "\"ab\"", "\"ab\""), Num(1)},
      {"tables do not order", compare("LT", "NEWTABLE 2, 0, 0\nNEWTABLE 3, 0, 0", "2", "3"),
       Err(ERR_WRONGOP)},
  };
  for (const Cmp& c : cases) check({c.name, c.code.c_str(), c.expect});
}

TEST_F(Interp, TablesAndMissingFields) {
  const Case cases[] = {
      {"constructor starts at key 0",
       "NEWTABLE 1, 2, 0\nLOADNUM 2, 10\nLOADNUM 3, 20\nSETLIST 1, 1\n"
       "GETTABLE 4, 1, #0\nGETTABLE 5, 1, #1\nMUL 5, 5, #100\nADD 0, 4, 5",
       Num(2010)},
      {"missing string key", "NEWTABLE 1, 0, 0\nGETTABLE 0, 1, \"name\"",
       Err(ERR_FIELDINIT, "\"name\"")},
      {"missing number key", "NEWTABLE 1, 0, 0\nGETTABLE 0, 1, #1.5", Err(ERR_FIELDINIT, "1.5")},
      {"field of nil global", "GETGLOBAL 1, \"nothing\"\nGETTABLE 0, 1, \"x\"",
       Err(ERR_TABLEDECLA, "nothing{}")},
      {"field of a temporary", "LOADNUM 1, 3\nGETTABLE 0, 1, \"x\"", Err(ERR_TABLEDECLA, "?\?{}")},
      {"missing global reads nil", "GETGLOBAL 0, \"nothing\"", Nil()},
      {"store into a number", "LOADNUM 1, 3\nSETTABLE 1, \"x\", #1\nLOADNUM 0, 0",
       Err(ERR_TABLEDECLA)},
      {"missing method reads nil", "NEWTABLE 1, 0, 0\nSELF 0, 1, \"m\"", Nil()},
      {"setlist into a non-table", "LOADNUM 1, 3\nLOADNUM 2, 4\nSETLIST 1, 0\nLOADNUM 0, 0",
       Err(ERR_BADBYTECODE)},
      {"self with a number key", "NEWTABLE 1, 0, 0\nSELF 0, 1, #1", Err(ERR_BADBYTECODE)},
      {"NaN key", "NEWTABLE 1, 0, 0\nPOW 2, #-1, #0.5\nSETTABLE 1, 2, #1\nLOADNUM 0, 0",
       Err(ERR_TABLEINDEX)},
      {"keys and values from registers and constants alike",
       "NEWTABLE 1, 0, 0\nSETTABLE 1, #1, #5\nLOADNUM 2, 7\nSETTABLE 1, #2, 2\nSETTABLE 1, \"s\", "
       "#100\n"
       "LOADCONST 3, \"s\"\nSETTABLE 1, 3, 2\nLOADNUM 4, 3\nSETTABLE 1, 4, #1000\n"
       "GETTABLE 5, 1, #1\nGETTABLE 6, 1, #2\nMUL 6, 6, #10\nGETTABLE 7, 1, \"s\"\nMUL 7, 7, #100\n"
       "GETTABLE 8, 1, 4\nADD 0, 5, 6\nADD 0, 0, 7\nADD 0, 0, 8",
       Num(1775)},
      {"nil key stores key 0",
       "NEWTABLE 1, 0, 0\nLOADNIL 2, 2\nSETTABLE 1, 2, #9\nGETTABLE 0, 1, #0", Num(9)},
  };
  for (const Case& c : cases) check(c);
}

// t.k through a chain of `links` tables joined by __index, the value in the last.
TEST_F(Interp, IndexChainLimit) {
  for (int links : {100, 101}) {
    SCOPED_TRACE(links);
    VmNewTable(L);  // the table holding the value
    VmPushString(L, "k");
    VmPushNumber(L, 42);
    VmSetTable(L, -3);
    for (int i = 0; i < links; i++) {
      VmNewTable(L);  // metatable
      VmPushString(L, "__index");
      VmPushValue(L, -3);
      VmSetTable(L, -3);
      VmNewTable(L);  // the next table up the chain
      VmInsert(L, -2);
      VmSetMetatable(L, -2);
      VmRemove(L, -2);
    }
    setGlobal("t");
    ErrorCode status = run("GETGLOBAL 1, \"t\"\nGETTABLE 0, 1, \"k\"\nRETURN 0, 2", 1);
    if (links == 100) {
      ASSERT_EQ(status, 0);
      EXPECT_EQ(VmToNumber(L, -1), 42);
    } else {
      EXPECT_EQ(status, ERR_INTERNAL1);
      EXPECT_EQ(errorArg(), "#1");
    }
    VmSetTop(L, 0);
  }
}

TEST_F(Interp, LoopsClosuresAndScriptCalls) {
  const Case cases[] = {
      // for i = 1, 10 do s = s + i end
      {"counting loop",
       "LOADNUM 0, 0\nLOADNUM 1, 0\nLOADNUM 2, 10\nLOADNUM 3, 1\nJUMP test\n"
       "body: ADD 0, 0, 1\ntest: FORLOOP 1, body",
       Num(55)},
      {"loop limit must be a value",
       "LOADNUM 1, 0\nNEWTABLE 2, 0, 0\nLOADNUM 3, 1\nFORLOOP 1, 0\nLOADNUM 0, 0",
       Err(ERR_VALUEEXPECTED)},
      // sum of the values of {5, 6, 7} through ITERPREP / ITERLOOP and next
      {"iterator loop",
       ".stack 12\nLOADNUM 0, 0\nNEWTABLE 1, 2, 0\nLOADNUM 2, 5\nLOADNUM 3, 6\nLOADNUM 4, "
       "7\nSETLIST 1, 2\n"
       "LOADNIL 2, 3\nITERPREP 1, test\n"
       "body: ADD 0, 0, 4\n"
       "test: ITERLOOP 1, 1\nJUMP body",
       Num(18)},
      // fib(15) by recursion through a global script function
      {"recursive script calls",
       ".function fib\n.params 1\n"
       "LT 0, 0, #2\nJUMP big\nRETURN 0, 2\n"
       "big: GETGLOBAL 1, \"fib\"\nSUB 2, 0, #1\nCALL 1, 2, 2\n"
       "GETGLOBAL 2, \"fib\"\nSUB 3, 0, #2\nCALL 2, 2, 2\nADD 1, 1, 2\nRETURN 1, 2\n.end\n"
       "CLOSURE 0, fib\nSETGLOBAL 0, \"fib\"\nLOADNUM 1, 15\nCALL 0, 2, 2",
       Num(610)},
      // a counter closure over a local, called three times
      {"shared upvalue",
       ".function inc\n.upvalues 1\nGETUPVAL 0, 0\nADD 0, 0, #1\nSETUPVAL 0, 0\nRETURN 0, 2\n.end\n"
       "LOADNUM 1, 0\nCLOSURE 2, inc\nMOVE 0, 1\n"
       "MOVE 3, 2\nCALL 3, 1, 1\nMOVE 3, 2\nCALL 3, 1, 1\nMOVE 3, 2\nCALL 3, 1, 2\nCLOSE 1\nMOVE "
       "0, 3",
       Num(3)},
      // tail calls in a loop of 10000 do not grow the call records
      {"tail calls",
       ".function down\n.params 1\n"
       "EQ 1, 0, #0\nJUMP done\nGETGLOBAL 1, \"down\"\nSUB 2, 0, #1\nTAILCALL 1, 2, 0\nRETURN 1, "
       "0\n"
       "done: LOADCONST 1, \"bottom\"\nRETURN 1, 2\n.end\n"
       "CLOSURE 0, down\nSETGLOBAL 0, \"down\"\nLOADCONST 1, #10000\nCALL 0, 2, 2",
       Str("bottom")},
      // extra arguments arrive as a table with keys 0.. and n
      {"varargs",
       ".function f\n.params 1\n.vararg\nGETTABLE 2, 1, \"n\"\nGETTABLE 3, 1, #1\nMUL 2, 2, "
       "#100\nADD 2, 2, 3\n"
       "ADD 2, 2, 0\nRETURN 2, 2\n.end\n"
       "CLOSURE 0, f\nLOADCONST 1, #1000\nLOADNUM 2, 7\nLOADNUM 3, 9\nCALL 0, 4, 2",
       Num(1209)},
      {"call a number", "LOADNUM 1, 3\nCALL 1, 1, 1\nLOADNUM 0, 0", Err(ERR_FUNCDECLA, "?\?()")},
      {"call a nil global", "GETGLOBAL 1, \"nofunc\"\nCALL 1, 1, 1\nLOADNUM 0, 0",
       Err(ERR_FUNCDECLA, "nofunc()")},
  };
  for (const Case& c : cases) check(c);
}

// A sum (ADD or SUB) right before a FORLOOP runs with the loop's step in
// one dispatch. Each case runs as written and with a JUMP to the next
// instruction between the two, which keeps them apart; both must give the
// expected result. Registers: 0 the result, 1 the counter (one step below
// its first value), 2 the limit, 3 the step.
TEST_F(Interp, SumBeforeTheLoopStep) {
  struct LoopCase {
    const char* name;
    const char* sum;  // the first operand's starting value
    const char* counter;
    const char* limit;
    const char* step;
    const char* body;   // ends with the sum
    const char* after;  // after the loop
    Expect expect;
  };
  const LoopCase cases[] = {
      {"integer steps", "#0", "#0", "#10", "#1", "ADD 0, 0, 1", "", Num(55)},
      {"fractional steps", "#0", "#-0.5", "#2", "#0.5", "ADD 0, 0, 1", "", Num(5)},
      {"negative step", "#0", "#13", "#1", "#-3", "ADD 0, 0, 1", "", Num(22)},
      {"limit below the start", "#7", "#4", "#1", "#1", "ADD 0, 0, 1", "", Num(7)},
      {"limit above the start, going down", "#7", "#0", "#5", "#-1", "ADD 0, 0, 1", "", Num(7)},
      {"one step onto the limit", "#0", "#2", "#3", "#1", "ADD 0, 0, 1", "", Num(3)},
      {"difference", "#0", "#0", "#4", "#1", "SUB 0, 0, 1", "", Num(-10)},
      {"constant second operand", "#0", "#0", "#5", "#1", "ADD 0, 0, #2", "", Num(10)},
      {"constant first operand", "#0", "#0", "#3", "#1", "SUB 0, #100, 0", "", Num(100)},
      {"two constants", "#0", "#0", "#5", "#1", "ADD 0, #1, #2", "", Num(3)},
      {"last exact integers", "#0", "#9007199254740989", "#9007199254740991", "#1", "ADD 0, 0, #1",
       "", Num(2)},
      {"step past the largest number", "#0", "#-1e308", "#1.7e308", "#1e308", "ADD 0, 0, 1", "",
       Num(1e308)},
      {"step past the lowest number", "#0", "#1e308", "#-1.7e308", "#-1e308", "ADD 0, 0, 1", "",
       Num(-1e308)},
      {"sum overflows", "#1.7e308", "#0", "#2", "#1", "ADD 0, 0, #1.7e308", "", Num(INFINITY)},
      {"sum rewritten earlier in the body", "#0", "#0", "#4", "#1", "MUL 0, 0, #2\nADD 0, 0, 1", "",
       Num(26)},
      {"sum into the counter", "#0", "#0", "#10", "#1", "ADD 1, 1, #1", "MOVE 0, 1", Num(10)},
      {"sum into the limit", "#0", "#0", "#10", "#1", "ADD 2, 2, #-1", "MOVE 0, 1", Num(5)},
      {"text operand", "\"5\"", "#0", "#3", "#1", "ADD 0, 0, 1", "", Num(11)},
      {"text limit set in the body", "#0", "#0", "#10", "#1", "LOADCONST 2, \"3\"\nADD 0, 0, 1", "",
       Num(6)},
      {"table limit set in the body", "#0", "#0", "#10", "#1", "NEWTABLE 2, 0, 0\nADD 0, 0, 1", "",
       Err(ERR_VALUEEXPECTED)},
      {"table operand", "#0", "#0", "#10", "#1", "NEWTABLE 4, 0, 0\nADD 0, 4, 1", "",
       Err(ERR_WRONGOP)},
  };
  for (const LoopCase& c : cases) {
    for (const char* between : {"", "JUMP 0\n"}) {
      std::string code = std::string("LOADCONST 0, ") + c.sum + "\nLOADCONST 1, " + c.counter +
                         "\nLOADCONST 2, " + c.limit + "\nLOADCONST 3, " + c.step +
                         "\nJUMP test\nbody: " + c.body + "\n" + between +
                         "test: FORLOOP 1, body\n" + c.after;
      SCOPED_TRACE(*between != 0 ? "apart" : "together");
      check({c.name, code.c_str(), c.expect});
    }
  }
}

int mmAdd(VmState* L) {
  VmPushNumber(L, 100);
  return 1;
}
int mmUnm(VmState* L) {
  VmPushNumber(L, VmType(L, 2) == VM_TYPE_NIL ? 201 : 200);
  return 1;
}
int mmTrue(VmState* L) {
  VmPushNumber(L, 1);
  return 1;
}
int mmConcat(VmState* L) {
  VmPushString(L, "cat");
  return 1;
}
int mmCall(VmState* L) {
  VmPushNumber(L, VmGetTop(L));
  return 1;
}
int mmIndex(VmState* L) {
  VmPushValue(L, 2);
  return 1;
}
int mmNewIndex(VmState* L) {
  VmPushString(L, "stored");
  VmPushValue(L, 3);
  VmSetTable(L, VM_GLOBALS_INDEX);
  return 0;
}

// Globals a and b share a metatable of built-in handlers; c has another
// metatable with its own __eq.
TEST_F(Interp, Metamethods) {
  const struct {
    const char* event;
    VmCommandFunction fn;
  } events[] = {{"__add", mmAdd},     {"__unm", mmUnm},          {"__eq", mmTrue},
                {"__lt", mmTrue},     {"__concat", mmConcat},    {"__call", mmCall},
                {"__index", mmIndex}, {"__newindex", mmNewIndex}};
  VmNewTable(L);
  for (const auto& e : events) {
    VmPushString(L, e.event);
    VmPushCClosure(L, e.fn, 0);
    VmSetTable(L, -3);
  }
  for (const char* name : {"a", "b"}) {
    VmNewTable(L);
    VmPushValue(L, -2);
    VmSetMetatable(L, -2);
    setGlobal(name);
  }
  VmSetTop(L, 0);
  VmNewTable(L);
  VmNewTable(L);
  VmPushString(L, "__eq");
  VmPushCClosure(L, mmTrue, 0);
  VmSetTable(L, -3);
  VmSetMetatable(L, -2);
  setGlobal("c");

  const std::string ab = "GETGLOBAL 2, \"a\"\nGETGLOBAL 3, \"b\"";
  const std::string eqAB = compare("EQ", ab.c_str(), "2", "3");
  const std::string eqAC = compare("EQ", "GETGLOBAL 2, \"a\"\nGETGLOBAL 3, \"c\"", "2", "3");
  const std::string ltAB = compare("LT", ab.c_str(), "2", "3");
  const std::string leAB = compare("LE", ab.c_str(), "2", "3");
  const Case cases[] = {
      {"add, handler of the first", "GETGLOBAL 1, \"a\"\nADD 0, 1, #1", Num(100)},
      {"add, handler of the second", "GETGLOBAL 1, \"a\"\nADD 0, #1, 1", Num(100)},
      {"negate calls with nil", "GETGLOBAL 1, \"a\"\nNEG 0, 1", Num(201)},
      {"no handler for bits", "GETGLOBAL 1, \"a\"\nBITOR 0, 1, #1", Err(ERR_WRONGOP)},
      {"equal through __eq", eqAB.c_str(), Num(1)},
      {"different __eq handlers", eqAC.c_str(), Num(0)},
      {"less through __lt", ltAB.c_str(), Num(1)},
      {"at most as not greater", leAB.c_str(), Num(0)},
      {"concat", "GETGLOBAL 1, \"a\"\nLOADCONST 2, \"x\"\nCONCAT 0, 1, 2", Str("cat")},
      {"call a table", "GETGLOBAL 0, \"a\"\nLOADNUM 1, 1\nLOADNUM 2, 2\nCALL 0, 3, 2", Num(3)},
      {"index function", "GETGLOBAL 1, \"a\"\nGETTABLE 0, 1, \"zz\"", Str("zz")},
      {"newindex function", "GETGLOBAL 1, \"a\"\nSETTABLE 1, \"k\", #5\nGETGLOBAL 0, \"stored\"",
       Num(5)},
      {"self through __index", "GETGLOBAL 1, \"a\"\nSELF 0, 1, \"m\"", Str("m")},
  };
  for (const Case& c : cases) check(c);
}

// Instructions the loader refuses, patched into a loaded function in place
// of its second instruction: opcodes 45 to 63 do nothing, and table sizes
// beyond the largest table are refused with 1207 instead of allocated.
TEST_F(Interp, PatchedInstructions) {
  struct Patch {
    Instruction word;
    ErrorCode status;
  };
  std::vector<Patch> patches;
  for (int op = 45; op < 64; op++)
    patches.push_back({static_cast<Instruction>(op) | 0x00FFFFC0u, 0});
  patches.push_back({CREATE_ABC(OP_NEWTABLE, 0, 511, 0), ERR_TABLEOVERFLOW});
  patches.push_back({CREATE_ABC(OP_NEWTABLE, 0, 0, 30), ERR_TABLEOVERFLOW});
  load("LOADNUM 0, 5\nLOADNUM 0, 6\nRETURN 0, 2");
  VmClosure* cl = static_cast<VmClosure*>(const_cast<void*>(VmToPointer(L, -1)));
  for (const Patch& p : patches) {
    SCOPED_TRACE(p.word);
    cl->l.p->code[1] = p.word;
    // Code is decoded once before it first runs: drop that form so
    // that the patched word is decoded anew.
    VmFreeBlock(L, cl->l.p->exec, size_t(cl->l.p->sizecode));
    cl->l.p->exec = nullptr;
    VmPushValue(L, -1);
    ASSERT_EQ(VmPCall(L, 0, 1, 0), p.status);
    if (p.status == 0) {
      EXPECT_EQ(VmToNumber(L, -1), 5);
      VmSetTop(L, -2);
    }
  }
}

// Every allocation of a script that builds tables, strings and closures is
// failed in turn: each failure must come back as 1000 from the protected
// call and leave the state usable and nothing leaked.
TEST_F(Interp, AllocationFailures) {
  const char* code =
      ".function f\n.upvalues 1\nGETUPVAL 0, 0\nRETURN 0, 2\n.end\n"
      "NEWTABLE 0, 3, 2\nLOADNUM 1, 1\nLOADCONST 2, \"two\"\nLOADNUM 3, 3\nSETLIST 0, 2\n"
      "LOADCONST 1, \"a\"\nLOADNUM 2, 42\nCONCAT 1, 1, 2\nSETTABLE 0, 1, 1\n"
      "CLOSURE 2, f\nMOVE 0, 1\nCALL 2, 1, 2\nRETURN 2, 2";
  load(code);
  bool succeeded = false;
  for (uint64_t n = 1; n < 200 && !succeeded; n++) {
    SCOPED_TRACE(n);
    VmPushValue(L, 1);
    VmSetAllocFailure(n, false);
    ErrorCode status = VmPCall(L, 0, 1, 0);
    bool failed = VmGetAllocFailureCount() > 0;
    VmSetAllocFailure(0, false);
    if (failed) {
      EXPECT_EQ(status, ERR_MEM);
      EXPECT_EQ(VmGetTop(L), 1);
    } else {
      ASSERT_EQ(status, 0);
      EXPECT_STREQ(VmToString(L, -1), "a42");
      succeeded = true;
      EXPECT_GT(n, 5u);  // the script does allocate
    }
    VmSetTop(L, 1);
  }
  EXPECT_TRUE(succeeded);
}

// Seeded random arithmetic against a plain reference: operands biased to
// the edges of the 32-bit conversions. A failure prints the iteration.
double refBits(double d) {
  if (d > 0)
    return d >= 18446744073709551616.0
               ? 4294967295.0
               : static_cast<double>(static_cast<uint64_t>(d) & 0xFFFFFFFFu);
  double t = d <= -2147483648.0 ? -2147483648.0 : std::trunc(d);
  return static_cast<double>(static_cast<uint32_t>(static_cast<int32_t>(t)));
}

double refInt(double d) {
  if (d >= 2147483647.0) return 2147483647.0;
  if (d <= -2147483648.0) return -2147483648.0;
  return std::trunc(d);
}

TEST_F(Interp, RandomArithmeticMatchesReference) {
  const double edges[] = {0,
                          -0.0,
                          1,
                          -1,
                          2,
                          0.5,
                          -0.5,
                          7,
                          -7,
                          31,
                          32,
                          33,
                          2147483647.0,
                          -2147483648.0,
                          2147483648.0,
                          -2147483649.0,
                          4294967295.0,
                          4294967296.0,
                          1e20,
                          -1e20,
                          3.75,
                          -3.75};
  const char* ops[] = {"ADD", "SUB", "MUL",   "INTDIV", "MOD",
                       "SHL", "SHR", "BITOR", "BITAND", "BITXOR"};
  for (uint32_t iter = 0; iter < 300; iter++) {
    uint32_t seed = iter * 2654435761u + 12345u;
    auto next = [&seed]() { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    double x = edges[next() % (sizeof edges / sizeof edges[0])];
    double y = edges[next() % (sizeof edges / sizeof edges[0])];
    if (next() % 4 == 0) x = static_cast<double>(static_cast<int32_t>(next())) / 16;
    int op = static_cast<int>(next() % (sizeof ops / sizeof ops[0]));
    bool divides = op == 3 || op == 4;
    double expect = 0;
    ErrorCode expectStatus = 0;
    uint32_t bx = static_cast<uint32_t>(refBits(x)), by = static_cast<uint32_t>(refBits(y));
    int shift = static_cast<int>(refInt(y)) & 31;
    switch (op) {
      case 0:
        expect = x + y;
        break;
      case 1:
        expect = x - y;
        break;
      case 2:
        expect = x * y;
        break;
      case 5:
        expect = static_cast<uint32_t>(bx << shift);
        break;
      case 6:
        expect = bx >> shift;
        break;
      case 7:
        expect = bx | by;
        break;
      case 8:
        expect = bx & by;
        break;
      case 9:
        expect = bx ^ by;
        break;
      default:
        if (refInt(y) == 0) {
          expectStatus = ERR_ZERODIVISION;
        } else {
          long double a = refInt(x), b = refInt(y);
          long double q = a / b;
          q = q < 0 ? std::ceil(q) : std::floor(q);
          expect = static_cast<double>(op == 3 ? q : a - q * b);
        }
    }
    char text[200];
    std::snprintf(text, sizeof text,
                  "LOADCONST 1, #%.17g\nLOADCONST 2, #%.17g\n%s 0, 1, 2\nRETURN 0, 2", x, y,
                  ops[op]);
    ErrorCode status = run(text, 1);
    ASSERT_EQ(status, expectStatus) << "iteration " << iter << ": " << text;
    if (status == 0) {
      EXPECT_EQ(VmToNumber(L, -1), expect) << "iteration " << iter << ": " << text;
    }
    (void)divides;
    VmSetTop(L, 0);
  }
}

}  // namespace

// Numbers become text as "%.14g" does it; whole numbers below 10^14 take a
// shortcut that must give the same bytes, so edges and a seeded spread of
// magnitudes (whole and fractional) are compared with the C library.
TEST(NumberText, MatchesTheFormat) {
  std::vector<double> values = {0,
                                -0.0,
                                1,
                                -1,
                                9,
                                10,
                                99999999999999.0,
                                -99999999999999.0,
                                1e14,
                                -1e14,
                                123456789012345.0,
                                9007199254740992.0,
                                0.5,
                                -2.5,
                                1e-5,
                                2147483648.0,
                                -2147483649.0,
                                INFINITY,
                                -INFINITY,
                                NAN};
  for (uint32_t i = 0; i < 2000; i++) {
    uint32_t seed = i * 2654435761u + 7u;
    auto next = [&seed]() { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    double magnitude = std::pow(10.0, static_cast<double>(next() % 17));
    double v = std::floor(magnitude * (next() % 1000000) / 1000000.0);
    if (next() % 2) v = -v;
    if (next() % 5 == 0) v += 0.25;
    values.push_back(v);
  }
  for (double v : values) {
    char expect[64], got[64];
    std::snprintf(expect, sizeof expect, "%.14g", v);
    int n = VmNumberToText(v, got);
    EXPECT_STREQ(got, expect) << v;
    EXPECT_EQ(n, static_cast<int>(std::strlen(expect))) << v;
  }
}

// A concatenation's result is the one interned string of its bytes: a key
// stored under the whole text is found through the joined parts, short,
// long (past the sampled hash) and very long (whose record takes the
// concatenation buffer over), with a number among the parts.
TEST_F(Interp, JoinedTextIsTheInternedString) {
  const size_t lengths[] = {3, 40, 5000};
  for (size_t len : lengths) {
    SCOPED_TRACE(len);
    std::string head(len, 'q');
    for (size_t i = 0; i < len; i += 7) head[i] = static_cast<char>('a' + i % 26);
    std::string code =
        "NEWTABLE 1, 0, 2\nSETTABLE 1, \"" + head + "42tail\", #7\n" + "LOADCONST 2, \"" + head +
        "\"\nLOADNUM 3, 42\nLOADCONST 4, \"tail\"\nCONCAT 2, 2, 4\nGETTABLE 0, 1, 2\n" +
        "CONCAT 5, 2, 3\nRETURN 0, 2\n";
    ASSERT_EQ(run(code, 1), 0);
    EXPECT_EQ(VmToNumber(L, -1), 7);
  }
}

namespace {

// Records every hook event as "<frame depth>@<instruction index>:<line>"
// (count events as "count@<index>"), the depth counted from the first
// event's call record.
std::vector<std::string> traced;
int tracedBase = -1;
void recordingHook(VmState* L, VmDebugInfo* ar, int*, int line) {
  if (tracedBase < 0) tracedBase = ar->i_ci;
  VmCallInfo* ci = L->base_ci + ar->i_ci;
  int pc = VmCurrentPc(L, ci);
  if (ar->event == VM_HOOK_COUNT)
    traced.push_back("count@" + std::to_string(pc));
  else if (ar->event == VM_HOOK_LINE)
    traced.push_back(std::to_string(ar->i_ci - tracedBase) + "@" + std::to_string(pc) + ":" +
                     std::to_string(line));
}

int armGate(VmState*) {
  vmEventPollGate.store(1);
  return 0;
}

int installLineHook(VmState* L) {
  VmSetHook(L, recordingHook, VM_MASK_LINE, 0);
  return 0;
}

}  // namespace

class LineHooks : public InterpFixture {};

TEST_F(LineHooks, FireOnExactlyTheRightInstructions) {
  setGlobalFunction("sethook", installLineHook);
  struct Case {
    const char* name;
    int mask;  // installed before the run (0: the script installs it)
    int count;
    const char* code;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"new lines only",
       VM_MASK_LINE,
       0,
       ".line 1\nLOADNUM 0, 1\nLOADNUM 1, 2\n.line 2\nADD 0, 0, 1\n.line 2\nMOVE 1, 0\n.line "
       "3\nRETURN 0, 2",
       {"0@0:1", "0@2:2", "0@4:3"}},
      {"forward jump onto another run of the same line",
       VM_MASK_LINE,
       0,
       ".line 5\nLOADNUM 0, 1\nJUMP skip\n.line 6\nLOADNUM 0, 2\n.line 5\nskip: RETURN 0, 2",
       {"0@0:5"}},
      {"forward jump onto a new line",
       VM_MASK_LINE,
       0,
       ".line 5\nLOADNUM 0, 1\nJUMP skip\nLOADNUM 0, 2\n.line 6\nskip: RETURN 0, 2",
       {"0@0:5", "0@3:6"}},
      {"backward jump within one line",
       VM_MASK_LINE,
       0,
       ".line 1\nLOADNUM 0, 0\nLOADNUM 1, 3\n.line 2\nloop: ADD 0, 0, #1\nLT 1, 0, 1\nJUMP loop\n"
       ".line 3\nRETURN 0, 2",
       {"0@0:1", "0@2:2", "0@2:2", "0@2:2", "0@5:3"}},
      {"counting loop on one line",
       VM_MASK_LINE,
       0,
       ".line 1\nLOADNUM 0, 0\nLOADNUM 1, 0\nLOADNUM 2, 2\nLOADNUM 3, 1\nJUMP test\n"
       "body: ADD 0, 0, 1\ntest: FORLOOP 1, body\nRETURN 0, 2",
       {"0@0:1", "0@5:1", "0@5:1"}},
      {"first instruction of a called frame, then back in the caller's line",
       VM_MASK_LINE,
       0,
       ".function f\n.line 7\nLOADNUM 0, 1\nRETURN 0, 1\n.end\n"
       ".line 7\nCLOSURE 0, f\nCALL 0, 1, 1\nLOADNUM 0, 1\n.line 8\nRETURN 0, 2",
       {"0@0:7", "1@0:7", "0@3:8"}},
      {"back in the caller on a new line",
       VM_MASK_LINE,
       0,
       ".function f\n.line 7\nRETURN 0, 1\n.end\n"
       ".line 7\nCLOSURE 0, f\nCALL 0, 1, 1\n.line 8\nLOADNUM 0, 1\nRETURN 0, 2",
       {"0@0:7", "1@0:7", "0@2:8"}},
      {"hook installed by a command mid-frame",
       0,
       0,
       ".line 1\nGETGLOBAL 0, \"sethook\"\nCALL 0, 1, 1\nLOADNUM 0, 4\n.line 2\nRETURN 0, 2",
       {"0@2:1", "0@3:2"}},
      {"count hooks count every instruction beside line hooks",
       VM_MASK_LINE | VM_MASK_COUNT,
       3,
       ".line 1\nLOADNUM 0, 1\nLOADNUM 1, 2\n.line 2\nADD 0, 0, 1\n.line 2\nMOVE 1, 0\n.line "
       "3\nRETURN 0, 2",
       {"0@0:1", "count@2", "0@3:2", "0@4:3"}},
      {"count hooks stop at the loop step after a sum",
       VM_MASK_COUNT,
       1,
       "LOADNUM 0, 0\nLOADNUM 1, 0\nLOADNUM 2, 2\nLOADNUM 3, 1\nJUMP test\n"
       "body: ADD 0, 0, 1\ntest: FORLOOP 1, body\nRETURN 0, 2",
       {"count@0", "count@1", "count@2", "count@3", "count@4", "count@6", "count@5", "count@6",
        "count@5", "count@6", "count@7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    traced.clear();
    tracedBase = -1;
    VmSetHook(L, c.mask != 0 ? recordingHook : nullptr, c.mask, c.count);
    int top = VmGetTop(L);
    ErrorCode status = run(c.code);
    VmSetHook(L, nullptr, 0, 0);
    VmSetTop(L, top);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(traced, c.events);
  }
}

// A hook that marks its run in the global "seen".
void markingHook(VmState* L, VmDebugInfo*, int*, int) {
  VmPushString(L, "seen");
  VmPushNumber(L, 1);
  VmSetTable(L, VM_GLOBALS_INDEX);
}

namespace {

// Lets the gate opener know that the script is about to enter its loop.
std::mutex loopMutex;
std::condition_variable loopCondition;
bool loopEntered = false;
int enteringLoop(VmState*) {
  {
    std::lock_guard<std::mutex> lock(loopMutex);
    loopEntered = true;
  }
  loopCondition.notify_one();
  return 0;
}

}  // namespace

// A gate opened by another thread while a script loops without leaving the
// interpreter (no command, no metamethod) still reaches the hook: the loop
// ends as soon as the hook has marked "seen", long before its own count.
// The run takes place in a child process, so that a gate that never reaches
// the loop fails the test after a time-out instead of leaving it running.
TEST_F(LineHooks, GateOpenedByAnotherThreadReachesABusyLoop) {
  const char* code =
      ".line 1\nGETGLOBAL 0, \"enteringloop\"\nCALL 0, 1, 1\nLOADNUM 0, 0\nLOADNUM 1, 0\n"
      "LOADCONST 2, #2000000000\nLOADNUM 3, 1\nJUMP test\n"
      "body: GETGLOBAL 4, \"seen\"\nEQ 1, 4, #1\nJUMP done\ntest: FORLOOP 1, body\nRETURN 0, 2\n"
      "done: LOADNUM 0, 1\nRETURN 0, 2";
  VmPushNumber(L, 0);
  setGlobal("seen");  // present, so that reading it stays in the interpreter
  setGlobalFunction("enteringloop", enteringLoop);
  vmEventPollGate.store(0);
  VmSetGatedHook(L, markingHook);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::thread opener([] {
      std::unique_lock<std::mutex> lock(loopMutex);
      loopCondition.wait_for(lock, std::chrono::seconds(10), [] { return loopEntered; });
      vmEventPollGate.store(1, std::memory_order_relaxed);
    });
    ErrorCode status = run(code, 1);
    opener.join();
    _exit(status != 0 ? 1 : VmToNumber(L, -1) != 1 ? 2 : 0);
  }
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 1000 && done == 0; i++) {
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) usleep(10000);
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  VmSetHook(L, nullptr, 0, 0);
  ASSERT_NE(done, 0) << "the loop still ran after 10 s: the open gate never reached it";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the run failed, 2: the loop ran to its count";
}

// A gated hook is absent until its gate opens, then runs once, at the next
// instruction, and closes the gate.
TEST_F(LineHooks, GatedHooksRunOnceAtTheInstructionAfterTheGateOpens) {
  setGlobalFunction("arm", armGate);
  const char* loop =
      ".line 1\nLOADNUM 0, 0\nLOADNUM 1, 3\n.line 2\nloop: ADD 0, 0, #1\nLT 1, 0, 1\nJUMP loop\n"
      ".line 3\nRETURN 0, 2";
  struct Case {
    const char* name;
    uint8_t armedBefore;
    const char* code;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"closed gate: no line events", 0, loop, {}},
      {"open before the run: the first instruction only", 1, loop, {"0@0:1"}},
      {"opened by a command: the instruction after the call",
       0,
       ".line 1\nGETGLOBAL 0, \"arm\"\nCALL 0, 1, 1\n.line 2\nLOADNUM 0, 4\nLOADNUM 1, 4\n.line "
       "3\nRETURN 0, 2",
       {"0@2:2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    traced.clear();
    tracedBase = -1;
    vmEventPollGate.store(c.armedBefore);
    VmSetGatedHook(L, recordingHook);
    int top = VmGetTop(L);
    ErrorCode status = run(c.code);
    VmSetHook(L, nullptr, 0, 0);
    VmSetTop(L, top);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(traced, c.events);
    EXPECT_EQ(vmEventPollGate.load(), 0);
  }
}
