// Tests of the qmasm assembler: the golden text gives the golden chunk byte
// for byte; operands, labels, constants and stack sizes encode as the
// instruction set defines them; mistakes are reported with their line; and
// the applet containers and the appended form have the documented layout.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cctype>
#include <cmath>

#include <cstring>
#include <fstream>
#include <sstream>

#include "engine/opcodes.h"
#include "tools/qmasm/qmasm.h"

namespace {

using qmasm::Bytes;

std::string readData(const std::string& name) {
  std::ifstream in(std::string(QM_SOURCE_DIR) + "/tests/data/" + name, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

uint32_t be32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

TEST(Qmasm, GoldenTextGivesTheGoldenChunk) {
  std::string golden = readData("end5.qmb");
  ASSERT_EQ(golden.size(), 101u);
  Bytes out;
  std::string error;
  ASSERT_TRUE(qmasm::AssembleChunk(readData("end5.qasm"), &out, &error)) << error;
  EXPECT_EQ(std::string(out.begin(), out.end()), golden);
}

TEST(Qmasm, InstructionsEncode) {
  struct Case {
    const char* name;
    const char* text;
    std::vector<Instruction> code;
  } cases[] = {
      {"trailing numbers default to 0", "RETURN 0 1", {CREATE_ABC(OP_RETURN, 0, 1, 0)}},
      {"lower-case mnemonic", "return 3, 2, 1", {CREATE_ABC(OP_RETURN, 3, 2, 1)}},
      {"backward jump",
       "top: LOADNIL 0 0\nJUMP top",
       {CREATE_ABC(OP_LOADNIL, 0, 0, 0), CREATE_J(0, -2)}},
      {"forward gosub",
       "JUMP gosub sub\nRETURN 0 1\nsub: RETURN 0 1 1",
       {CREATE_J(VM_JUMP_GOSUB, 1), CREATE_ABC(OP_RETURN, 0, 1, 0),
        CREATE_ABC(OP_RETURN, 0, 1, 1)}},
      {"raw jump offset", "JUMP -1", {CREATE_J(0, -1)}},
      {"FORLOOP and ITERPREP offsets",
       "ITERPREP 0 l\nl: FORLOOP 1 l",
       {CREATE_AsBx(OP_ITERPREP, 0, 0), CREATE_AsBx(OP_FORLOOP, 1, -1)}},
      {"constants shared and placed as RK",
       "ADD 0 \"x\" #2\nSUB 1 \"x\" 3\nEQ 1 nil #2",
       {CREATE_ABC(OP_ADD, 0, 250, 251), CREATE_ABC(OP_SUB, 1, 250, 3),
        CREATE_ABC(OP_EQ, 1, 252, 251)}},
      {"explicit constant index", "LOADCONST 2 K7", {CREATE_ABx(OP_LOADCONST, 2, 7)}},
      {"ITERLOOP count in C", "ITERLOOP 1 2", {CREATE_ABC(OP_ITERLOOP, 1, 0, 2)}},
      {"SETLIST Bx", "SETLIST 0 33", {CREATE_ABx(OP_SETLIST, 0, 33)}},
      {"CLOSURE by later name",
       "CLOSURE 0 b\n.function a\nRETURN 0 1\n.end\n.function b\nRETURN 0 1\n.end",
       {CREATE_ABx(OP_CLOSURE, 0, 1)}},
      {"raw word", ".raw\n.word 0xFFFFFFFF", {0xFFFFFFFFu}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qmasm::Program p;
    std::string error;
    ASSERT_TRUE(qmasm::Parse(c.text, &p, &error)) << error;
    EXPECT_EQ(p.main.code, c.code);
    EXPECT_EQ(p.main.lines.size(), p.main.code.size());
  }
}

TEST(Qmasm, ConstantsAndLines) {
  qmasm::Program p;
  std::string error;
  ASSERT_TRUE(
      qmasm::Parse("LOADCONST 0 \"a\\x00b\"\n.line 9\nLOADCONST 0 #0\nLOADCONST 0 #-0.0\n"
                   "LOADCONST 0 nil\n.const #0\nRETURN 0 1",
                   &p, &error))
      << error;
  const auto& k = p.main.constants;
  ASSERT_EQ(k.size(), 5u);
  EXPECT_EQ(k[0].text, std::string("a\0b", 3));
  EXPECT_EQ(k[1].kind, qmasm::Constant::NUMBER);
  EXPECT_TRUE(std::signbit(k[2].number));  // -0 is a constant of its own
  EXPECT_EQ(k[3].kind, qmasm::Constant::NIL);
  EXPECT_EQ(k[4].kind, qmasm::Constant::NUMBER);  // .const always appends
  EXPECT_EQ(p.main.lines, (std::vector<int32_t>{0, 9, 9, 9, 9}));
}

TEST(Qmasm, StackSizeComputedFromRegistersTouched) {
  struct Case {
    const char* name;
    const char* text;
    int stack;
  } cases[] = {
      {"at least two", "RETURN 0 1", 2},
      {"CALL arguments", "CALL 3 4 1\nRETURN 0 1", 7},
      {"CALL results", "CALL 3 1 5\nRETURN 0 1", 7},
      {"FORLOOP limit and step", "l: FORLOOP 4 l\nRETURN 0 1", 7},
      {"ITERLOOP call area", "l: ITERLOOP 1 2\nJUMP l\nRETURN 0 1", 9},
      {"ITERLOOP results", "l: ITERLOOP 1 4\nJUMP l\nRETURN 0 1", 13},
      {"SETLIST items", "SETLIST 1 4\nRETURN 0 1", 7},
      {"constants are not registers", "ADD 0 \"a\" \"b\"\nRETURN 0 1", 2},
      {"parameters", ".params 3\n.vararg\nRETURN 0 1", 4},
      {"given", ".stack 9\nRETURN 0 1", 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qmasm::Program p;
    std::string error;
    ASSERT_TRUE(qmasm::Parse(c.text, &p, &error)) << error;
    EXPECT_EQ(p.main.maxstack, c.stack);
  }
}

TEST(Qmasm, MistakesAreReportedWithTheirLine) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"RETURN 0 1\nFROB 1", "2: unknown instruction FROB"},
      {"JUMP nowhere", "1: unknown label nowhere"},
      {"x: RETURN 0 1\nx: RETURN 0 1", "2: label x defined twice"},
      {"MOVE 256 0", "1: operand 256 out of range"},
      {"ADD 0 250 1", "1: register 250 out of range"},
      {"GETGLOBAL 0 5", "1: constant expected, got 5"},
      {"GETTABLE 0 1", "1: GETTABLE needs 3 operands"},
      {"LOADCONST 0 \"open", "1: unterminated string"},
      {".function f\nRETURN 0 1", "2: missing .end of function f"},
      {".end", "1: .end without .function"},
      {".word 5", "1: .word needs .raw first"},
      {".function f\n.patch 0 1", "2: .patch belongs to the main function's level"},
      {".function f\n.raw", "2: .raw belongs to the main function's level"},
      {".frob 1", "1: unknown directive .frob"},
      {"CLOSURE 0 g\nRETURN 0 1", "1: unknown function g"},
      {".lensize 6", "1: .lensize is 4 or 8"},
      {".function f\nRETURN 0 1\n.end\n.function f", "4: function f defined twice"},
      {"RETURN 0 1\nLOADCONST 0 #NOSUCHNAME", "2: unknown constant #NOSUCHNAME"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Bytes out;
    std::string error;
    EXPECT_FALSE(qmasm::AssembleChunk(c.text, &out, &error));
    EXPECT_EQ(error, c.error);
  }
}

// An instruction with an operand too few or too many is refused with its
// line, in every operand layout: a forgotten count (CALL's c, whose 0
// would mean "all results") must not assemble into an open count that the
// loader then refuses without saying where. Only the trailing flags whose
// 0 is the plain case (LOADNUM's skip, RETURN's gosub return) may be left
// out.
TEST(Qmasm, OperandCountsAreCheckedInEveryLayout) {
  struct Case {
    const char* name;
    const char* line;
    const char* error;  // empty: the line assembles
  } cases[] = {
      {"CALL without its result count", "CALL 0, 2", "CALL needs 3 operands"},
      {"CALL with a fourth operand", "CALL 0 2 1 0", "CALL takes 3 operands"},
      {"CALLCATCH without its result count", "CALLCATCH 0 2", "CALLCATCH needs 3 operands"},
      {"RK layout without C", "ADD 0 1", "ADD needs 3 operands"},
      {"comparison without its second operand", "EQ 1 0", "EQ needs 3 operands"},
      {"TESTSET without its flag", "TESTSET 0 1", "TESTSET needs 3 operands"},
      {"NEWTABLE without its hash size", "NEWTABLE 0 0", "NEWTABLE needs 3 operands"},
      {"two-operand ABC without B", "MOVE 0", "MOVE needs 2 operands"},
      {"two-operand ABC with a C", "NOT 0 1 0", "NOT takes 2 operands"},
      {"ABx without Bx", "LOADCONST 0", "LOADCONST needs 2 operands"},
      {"ABx with a third", "SETLIST 0 1 2", "SETLIST takes 2 operands"},
      {"AsBx without its target", "FORLOOP 0", "FORLOOP needs 2 operands"},
      {"ITERLOOP without its count", "ITERLOOP 0", "ITERLOOP needs 2 operands"},
      {"CLOSURE without its function", "CLOSURE 0", "CLOSURE needs 2 operands"},
      {"CLOSE with nothing", "CLOSE", "CLOSE needs 1 operand"},
      {"CLOSE with two", "CLOSE 0 1", "CLOSE takes 1 operand"},
      {"RETURN without its count", "RETURN 0", "RETURN needs 2 or 3 operands"},
      {"RETURN with four", "RETURN 0 1 1 0", "RETURN takes 2 or 3 operands"},
      {"LOADNUM without its number", "LOADNUM 0", "LOADNUM needs 2 or 3 operands"},
      {"jump without a target", "JUMP", "JUMP needs a label"},
      {"jump with two targets", "JUMP 1 2", "JUMP needs a label"},
      {"LOADNUM's skip left out", "LOADNUM 0 5", ""},
      {"RETURN's gosub flag left out", "RETURN 0 1", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The bad line is the second, after a sound one.
    std::string text = std::string("LOADNIL 0 0\n") + c.line + "\nRETURN 0 1";
    qmasm::Program p;
    std::string error;
    bool ok = qmasm::Parse(text, &p, &error);
    if (c.error[0] == '\0') {
      EXPECT_TRUE(ok) << error;
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(error, std::string("2: ") + c.error);
    }
  }
  // No mnemonic assembles without operands.
  for (const char* name : vmOpcodeNames) {
    SCOPED_TRACE(name);
    qmasm::Program p;
    std::string error;
    EXPECT_FALSE(qmasm::Parse(name, &p, &error));
    EXPECT_EQ(error.rfind(std::string("1: ") + name + " needs", 0), 0u) << error;
  }
}

// A named constant takes the value the lookup (the player's tables) gives,
// whatever its case; True, False and Nil are literals; the applet's own
// constants count too, wherever they are given, after the player's.
TEST(Qmasm, NamedConstantsResolveAsThePlayerFindsThem) {
  std::vector<std::string> asked;
  auto lookup = [&asked](const std::string& name, qmasm::NamedValue* value) {
    asked.push_back(name);
    std::string key = name;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (key == "SHDWSOUTHEAST" || key == "WIDE") {
      value->number = key == "WIDE" ? 600 : 3;
      return true;
    }
    if (key == "SANS") {
      value->isText = true;
      value->text = ":::default_sans";
      return true;
    }
    return false;
  };
  qmasm::Program p;
  std::string error;
  ASSERT_TRUE(
      qmasm::Parse("LOADCONST 0 #shdwSouthEast\n"
                   "LOADCONST 1 #SANS\n"
                   "LOADCONST 2 #True\n"
                   "LOADCONST 3 #FALSE\n"
                   "LOADCONST 4 #nil\n"
                   "EQ 1 0 #Mine\n"
                   "LOADNUM 5 #SHDWSOUTHEAST\n"
                   "LOADCONST 6 #shdwsoutheast\n"
                   "RETURN 0 1\n"
                   ".applet constant mine 7\n"
                   ".applet constant SHDWSOUTHEAST 99\n",
                   &p, &error, lookup))
      << error;
  const auto& k = p.main.constants;
  ASSERT_EQ(k.size(), 6u);  // equal values share one constant
  EXPECT_EQ(k[0].kind, qmasm::Constant::NUMBER);
  EXPECT_EQ(k[0].number, 3) << "the player's constant comes before the applet's own";
  EXPECT_EQ(k[1].kind, qmasm::Constant::STRING);
  EXPECT_EQ(k[1].text, ":::default_sans");
  EXPECT_EQ(k[2].number, 1);
  EXPECT_EQ(k[3].number, 0);
  EXPECT_EQ(k[4].kind, qmasm::Constant::NIL);
  EXPECT_EQ(k[5].number, 7);
  EXPECT_EQ(GETARG_B(p.main.code[6]), 3);
  EXPECT_EQ(GETARG_Bx(p.main.code[7]), 0);
  EXPECT_EQ(asked.front(), "shdwSouthEast") << "asked as written";

  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"RETURN 0 1\nLOADNUM 0 #SANS", "2: #SANS is no whole number from 0 to 511"},
      {"LOADNUM 0 #WIDE", "1: #WIDE is no whole number from 0 to 511"},
      {"LOADCONST 0 #true2", "1: unknown constant #true2"},
      {".applet constant other 1\nLOADCONST 0 #mine", "2: unknown constant #mine"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Bytes out;
    EXPECT_FALSE(qmasm::AssembleChunk(c.text, &out, &error, lookup));
    EXPECT_EQ(error, c.error);
  }
}

const char* const APPLET_TEXT =
    ".applet version 8 0\n.applet title \"T\\xe9\"\n.applet encoding 1\n"
    ".applet label start 3\n.applet label other 9\n"
    ".applet constant #width 640\n.applet constant name \"x\"\n"
    ".source \"=a\"\nRETURN 0 1\n";

TEST(Qmasm, PlainAppletLayout) {
  qmasm::Program p;
  std::string error;
  ASSERT_TRUE(qmasm::Parse(APPLET_TEXT, &p, &error)) << error;
  Bytes chunk = qmasm::WriteChunk(p);
  Bytes a = qmasm::WriteApplet(p, chunk);
  Bytes expected = {'Q', 'M', 'A', 0,   10,  8,   0,   11,  'T',  0xE9, 0,   35,  1,
                    9,   0,   0,   0,   2,   0,   0,   0,   3,    's',  't', 'a', 'r',
                    't', 0,   0,   0,   0,   9,   'o', 't', 'h',  'e',  'r', 0,   31,
                    '#', 'w', 'i', 'd', 't', 'h', 0,   0,   0x40, 0x84, 0,   0,   0,
                    0,   0,   0,   'n', 'a', 'm', 'e', 0,   1,    'x',  0,   0,   1};
  ASSERT_GT(a.size(), expected.size() + 4);
  EXPECT_EQ(Bytes(a.begin(), a.begin() + static_cast<ptrdiff_t>(expected.size())), expected);
  size_t at = expected.size();
  EXPECT_EQ(be32(a, at), chunk.size());
  EXPECT_EQ(Bytes(a.begin() + static_cast<ptrdiff_t>(at + 4), a.end()), chunk);

  // Without a version directive, version 8.0 comes first.
  qmasm::Program bare;
  ASSERT_TRUE(qmasm::Parse("RETURN 0 1", &bare, &error)) << error;
  Bytes b = qmasm::WriteApplet(bare, qmasm::WriteChunk(bare));
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 8), (Bytes{'Q', 'M', 'A', 0, 10, 8, 0, 1}));
}

TEST(Qmasm, CompressedAppletInflatesToThePlainOne) {
  qmasm::Program p;
  std::string error;
  ASSERT_TRUE(qmasm::Parse(APPLET_TEXT, &p, &error)) << error;
  Bytes plain = qmasm::WriteApplet(p, qmasm::WriteChunk(p));
  Bytes z;
  ASSERT_TRUE(qmasm::CompressApplet(plain, &z, &error)) << error;
  ASSERT_GT(z.size(), 8u);
  EXPECT_EQ(Bytes(z.begin(), z.begin() + 8), (Bytes{'Q', 'M', 'Z', 0, 0, 0, 0, 0}));
  Bytes back(plain.size() + 16);
  uLongf n = back.size();
  ASSERT_EQ(uncompress(back.data(), &n, z.data() + 8, z.size() - 8), Z_OK);
  back.resize(n);
  EXPECT_EQ(back, plain);
}

TEST(Qmasm, AppendedAppletPatchesTheRecord) {
  const std::string text = qmasm::APPLET_RECORD_TEXT;
  Bytes record(text.begin(), text.end());
  record.insert(record.end(), {0, 0, 0xDE, 0xAD, 0xC0, 0xDE});
  Bytes program = {0x7F, 'E', 'L', 'F', 1, 2, 3};
  program.insert(program.end(), record.begin(), record.end());
  program.insert(program.end(), {9, 9, 9});
  Bytes applet = {'Q', 'M', 'A', 0, 1, 0, 0, 0, 0};
  std::string error;

  Bytes out;
  ASSERT_TRUE(qmasm::AppendApplet(program, {}, false, applet, &out, &error)) << error;
  ASSERT_EQ(out.size(), program.size() + applet.size());
  EXPECT_EQ(be32(out, 7 + 32), program.size());
  EXPECT_EQ(Bytes(out.begin() + static_cast<ptrdiff_t>(program.size()), out.end()), applet);
  Bytes unpatched = out;
  unpatched.resize(program.size());
  std::memcpy(&unpatched[7 + 32], "\xDE\xAD\xC0\xDE", 4);
  EXPECT_EQ(unpatched, program);

  // A pack of two plug-ins in front of the applet, ended by an empty name.
  std::vector<qmasm::PackedPlugin> plugins = {{"one", {1, 2, 3}}, {"two", {}}};
  ASSERT_TRUE(qmasm::AppendApplet(program, plugins, false, applet, &out, &error)) << error;
  Bytes pack = {'Q', 'M', 'P', '!', 0, 0,   0,   0,   'o', 'n', 'e', 0, 0, 0,
                0,   3,   1,   2,   3, 't', 'w', 'o', 0,   0,   0,   0, 0, 0};
  pack.insert(pack.end(), applet.begin(), applet.end());
  EXPECT_EQ(Bytes(out.begin() + static_cast<ptrdiff_t>(program.size()), out.end()), pack);

  // Compressed entries are "PLPK" containers that inflate to the file.
  ASSERT_TRUE(qmasm::AppendApplet(program, {{"one", {5, 6, 7, 8}}}, true, applet, &out, &error))
      << error;
  size_t entry = program.size() + 8 + 4;
  ASSERT_EQ(out[program.size() + 7], 1);
  uint32_t size = be32(out, entry);
  ASSERT_EQ(Bytes(out.begin() + static_cast<ptrdiff_t>(entry + 4),
                  out.begin() + static_cast<ptrdiff_t>(entry + 8)),
            (Bytes{'P', 'L', 'P', 'K'}));
  Bytes inflated(16);
  uLongf n = inflated.size();
  ASSERT_EQ(uncompress(inflated.data(), &n, &out[entry + 12], size - 8), Z_OK);
  inflated.resize(n);
  EXPECT_EQ(inflated, (Bytes{5, 6, 7, 8}));

  // The record must be found exactly once.
  Bytes twice = program;
  twice.insert(twice.end(), record.begin(), record.end());
  EXPECT_FALSE(qmasm::AppendApplet(twice, {}, false, applet, &out, &error));
  EXPECT_FALSE(qmasm::AppendApplet(Bytes{1, 2, 3}, {}, false, applet, &out, &error));
}

}  // namespace
