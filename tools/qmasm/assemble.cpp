// The qmasm parser: one instruction or directive a line, labels resolved at
// the end of each function, constants collected into the function's table,
// the stack size computed from the registers the code touches.
//
// Invariant: a Function leaves the parser complete: every label, nested
// function name and local range is resolved, and code and lines have one
// entry per instruction.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/opcodes.h"
#include "tools/qmasm/qmasm.h"

namespace qmasm {

namespace {

const char* const opcodeNames[] = {
#define QMASM_NAME(name, fmt, a, b, c) #name,
    VM_OPCODE_LIST(QMASM_NAME)
#undef QMASM_NAME
};

struct Token {
  bool quoted = false;
  std::string text;
};

// Operand kinds: a register, a register or constant (RK), a constant index
// (Bx), a plain number, a jump label, a nested function.
enum Kind : uint8_t { REG, RK, KST, IMM, LBL, PROTO };
// Instruction fields an operand goes into.
enum Field : uint8_t { FA, FB, FC, FBX, FSBX };

struct Operand {
  Field field;
  Kind kind;
};

// The operands an instruction is written with, in order, and how many of
// them must be given: only a trailing flag whose 0 is the plain case (the
// skip of LOADNUM, the gosub return of RETURN) may be left out. A count
// whose 0 means "up to the top" (CALL's b and c, RETURN's b) must be
// written, so a forgotten operand is an error here rather than an open
// count that the loader refuses.
struct Shape {
  Operand ops[3];
  int count;
  int required;
};

Kind kindOf(VmOperandKind k) { return k == VM_OPND_R ? REG : k == VM_OPND_K ? RK : IMM; }

Shape shapeOf(int op) {
  switch (op) {
    case OP_LOADCONST:
    case OP_GETGLOBAL:
    case OP_SETGLOBAL:
      return {{{FA, REG}, {FBX, KST}}, 2, 2};
    case OP_FORLOOP:
    case OP_ITERPREP:
      return {{{FA, REG}, {FSBX, LBL}}, 2, 2};
    case OP_ITERLOOP:
      return {{{FA, REG}, {FC, IMM}}, 2, 2};
    case OP_SETLIST:
    case OP_SETLISTTOP:
      return {{{FA, REG}, {FBX, IMM}}, 2, 2};
    case OP_CLOSE:
      return {{{FA, REG}}, 1, 1};
    case OP_CLOSURE:
      return {{{FA, REG}, {FBX, PROTO}}, 2, 2};
    case OP_MOVE:
    case OP_LOADNIL:
    case OP_GETUPVAL:
    case OP_SETUPVAL:
    case OP_NEG:
    case OP_NOT:
    case OP_BITNOT:
      // C is no operand of these.
      return {{{FA, REG}, {FB, kindOf(vmOpcodeOperands[op].b)}}, 2, 2};
    case OP_LOADNUM:
    case OP_RETURN:
      return {{{FA, REG}, {FB, IMM}, {FC, IMM}}, 3, 2};
    default: {
      // The three fields of the ABC layout, as the opcode list names them.
      const VmOperandKinds& k = vmOpcodeOperands[op];
      return {{{FA, kindOf(k.a)}, {FB, kindOf(k.b)}, {FC, kindOf(k.c)}}, 3, 3};
    }
  }
}

bool parseInteger(const std::string& s, int64_t* v) {
  if (s.empty()) return false;
  const char* p = s.c_str();
  char* end = nullptr;
  errno = 0;
  long long x = std::strtoll(p, &end, 0);
  if (*end != '\0' || errno != 0 ||
      !(std::isdigit(static_cast<unsigned char>(*p)) || *p == '-' || *p == '+'))
    return false;
  *v = x;
  return true;
}

bool parseNumber(const std::string& s, double* v) {
  if (s.empty()) return false;
  if (s == "nan") {
    *v = std::nan("");
    return true;
  }
  char* end = nullptr;
  *v = std::strtod(s.c_str(), &end);
  return *end == '\0';
}

bool isName(const std::string& s) {
  if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_' || s[0] == '.'))
    return false;
  for (char c : s)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.')) return false;
  return true;
}

std::string lowerCase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// #NAME: a "#" and a name that starts with a letter or "_" (#1.5 and
// #-80 are numbers).
bool isNamedConstant(const Token& tok) {
  return !tok.quoted && tok.text.size() > 1 && tok.text[0] == '#' &&
         (std::isalpha(static_cast<unsigned char>(tok.text[1])) || tok.text[1] == '_');
}

void putBE16(Bytes* b, uint32_t v) {
  b->push_back(static_cast<uint8_t>(v >> 8));
  b->push_back(static_cast<uint8_t>(v));
}

void putBE32(Bytes* b, uint32_t v) {
  putBE16(b, v >> 16);
  putBE16(b, v & 0xFFFF);
}

void putString(Bytes* b, const std::string& s) {
  b->insert(b->end(), s.begin(), s.end());
  b->push_back(0);
}

struct Fixup {
  int pc;
  Field field;  // FSBX, or FA for a JUMP's sJ
  std::string label;
  int line;
};

struct ProtoFixup {
  int pc;
  std::string name;
  int line;
};

struct LocalFixup {
  size_t index;
  std::string start, end;
  int line;
};

struct Builder {
  Function* f;
  std::map<std::string, int> labels;
  std::vector<Fixup> fixups;
  std::vector<ProtoFixup> protoFixups;
  std::vector<LocalFixup> localFixups;
  int currentLine = 0;
  bool stackGiven = false;
  bool nupsGiven = false;
  int64_t lineTableSize = -1;  // raw: entries written, -1 one per instruction
};

class Parser {
 public:
  Parser(Program* program, const ConstantLookup& lookup) : program_(program), lookup_(lookup) {}

  bool run(const std::string& text, std::string* error);

 private:
  bool fail(const std::string& message) {
    if (error_.empty()) error_ = std::to_string(line_) + ": " + message;
    return false;
  }
  bool tokenize(const std::string& line, std::vector<Token>* out);
  bool directive(const std::vector<Token>& t);
  // The directives' handlers (the table DIRECTIVES names them).
  bool functionDirective(const std::vector<Token>& t);
  bool endDirective(const std::vector<Token>& t);
  bool sourceDirective(const std::vector<Token>& t);
  bool lineDefinedDirective(const std::vector<Token>& t);
  bool lineDirective(const std::vector<Token>& t);
  bool paramsDirective(const std::vector<Token>& t);
  bool varargDirective(const std::vector<Token>& t);
  bool stackDirective(const std::vector<Token>& t);
  bool upvalueDirective(const std::vector<Token>& t);
  bool upvalueCountDirective(const std::vector<Token>& t);
  bool localDirective(const std::vector<Token>& t);
  bool constDirective(const std::vector<Token>& t);
  bool byteOrderDirective(const std::vector<Token>& t);
  bool lengthSizeDirective(const std::vector<Token>& t);
  bool testNumberDirective(const std::vector<Token>& t);
  bool appletDirective(const std::vector<Token>& t);
  bool rawDirective(const std::vector<Token>& t);
  bool wordDirective(const std::vector<Token>& t);
  bool countDirective(const std::vector<Token>& t);
  bool constTagDirective(const std::vector<Token>& t);
  bool patchDirective(const std::vector<Token>& t);
  bool lineTableDirective(const std::vector<Token>& t);
  bool truncateDirective(const std::vector<Token>& t);
  bool instruction(const std::vector<Token>& t);
  bool finishFunction(Builder* b);
  bool integerArg(const std::vector<Token>& t, size_t i, int64_t lo, int64_t hi, int64_t* v);
  bool constantIndex(const Token& tok, int* index);
  bool namedConstant(const std::string& name, Constant* c);
  void collectAppletConstants(const std::string& text);
  int addConstant(const Constant& c);
  bool position(Builder* b, const std::string& s, int32_t* pos);
  bool bytesArg(const std::vector<Token>& t, size_t from, Bytes* out);
  Section* accumulated(int tag);
  Builder& top() { return builders_.back(); }

  Program* program_;
  const ConstantLookup& lookup_;
  // The applet's own constants by lower-cased name, the last one given
  // for a name winning, as the player registers them.
  std::map<std::string, Constant> appletConstants_;
  std::vector<Builder> builders_;
  std::map<int, size_t> accumulatedSection_;  // tag -> index in sections
  std::map<int, uint32_t> accumulatedCount_;
  std::string error_;
  int line_ = 0;
  bool raw_ = false;
};

bool Parser::tokenize(const std::string& line, std::vector<Token>* out) {
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ';') break;
    if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
      i++;
      continue;
    }
    Token tok;
    if (c == '"') {
      tok.quoted = true;
      i++;
      for (;;) {
        if (i >= line.size()) return fail("unterminated string");
        c = line[i++];
        if (c == '"') break;
        if (c != '\\') {
          tok.text += c;
          continue;
        }
        if (i >= line.size()) return fail("unterminated string");
        c = line[i++];
        switch (c) {
          case 'n':
            tok.text += '\n';
            break;
          case 't':
            tok.text += '\t';
            break;
          case 'r':
            tok.text += '\r';
            break;
          case '0':
            tok.text += '\0';
            break;
          case '\\':
            tok.text += '\\';
            break;
          case '"':
            tok.text += '"';
            break;
          case 'x': {
            if (i + 2 > line.size() || !std::isxdigit(static_cast<unsigned char>(line[i])) ||
                !std::isxdigit(static_cast<unsigned char>(line[i + 1])))
              return fail("bad \\x escape");
            tok.text += static_cast<char>(std::strtol(line.substr(i, 2).c_str(), nullptr, 16));
            i += 2;
            break;
          }
          default:
            return fail(std::string("unknown escape \\") + c);
        }
      }
    } else {
      while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])) &&
             line[i] != ',' && line[i] != ';' && line[i] != '"')
        tok.text += line[i++];
    }
    out->push_back(tok);
  }
  return true;
}

bool Parser::integerArg(const std::vector<Token>& t, size_t i, int64_t lo, int64_t hi, int64_t* v) {
  if (i >= t.size() || t[i].quoted || !parseInteger(t[i].text, v))
    return fail("number expected after " + t[0].text);
  if (*v < lo || *v > hi)
    return fail("value " + t[i].text + " out of range " + std::to_string(lo) + ".." +
                std::to_string(hi));
  return true;
}

int Parser::addConstant(const Constant& c) {
  std::vector<Constant>& k = top().f->constants;
  for (size_t i = 0; i < k.size(); i++) {
    const Constant& e = k[i];
    if (e.kind != c.kind) continue;
    if ((c.kind == Constant::NIL) || (c.kind == Constant::STRING && e.text == c.text) ||
        (c.kind == Constant::NUMBER && std::memcmp(&e.number, &c.number, sizeof(double)) == 0))
      return static_cast<int>(i);
  }
  k.push_back(c);
  return static_cast<int>(k.size() - 1);
}

// A named constant: its value as the player finds it at run time. True,
// False and Nil are the language's literals (the numbers 1 and 0, nil); any
// other name is looked up in the player's constants first and then among
// the applet's own, without regard to case.
bool Parser::namedConstant(const std::string& name, Constant* c) {
  std::string key = lowerCase(name);
  if (key == "true" || key == "false") {
    c->kind = Constant::NUMBER;
    c->number = key == "true" ? 1 : 0;
    return true;
  }
  if (key == "nil") {
    c->kind = Constant::NIL;
    return true;
  }
  NamedValue value;
  if (lookup_ && lookup_(name, &value)) {
    c->kind = value.isText ? Constant::STRING : Constant::NUMBER;
    c->number = value.number;
    c->text = value.text;
    return true;
  }
  auto own = appletConstants_.find(key);
  if (own != appletConstants_.end()) {
    *c = own->second;
    return true;
  }
  return fail("unknown constant #" + name);
}

// The applet's constants, wherever in the text they are given: the player
// registers them all before the script runs.
void Parser::collectAppletConstants(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::vector<Token> t;
    // A line that does not tokenize is reported by the pass proper.
    if (tokenize(text.substr(start, nl - start), &t) && t.size() == 4 && !t[0].quoted &&
        t[0].text == ".applet" && t[1].text == "constant" && !t[2].text.empty()) {
      Constant c;
      if (t[3].quoted) {
        c.kind = Constant::STRING;
        c.text = t[3].text;
        appletConstants_[lowerCase(t[2].text)] = c;
      } else if (parseNumber(t[3].text, &c.number)) {
        c.kind = Constant::NUMBER;
        appletConstants_[lowerCase(t[2].text)] = c;
      }
    }
    error_.clear();
    start = nl + 1;
  }
}

// A constant operand: "text", #number, #NAME, nil, or Kn for constant n as
// it is.
bool Parser::constantIndex(const Token& tok, int* index) {
  Constant c;
  if (tok.quoted) {
    c.kind = Constant::STRING;
    c.text = tok.text;
  } else if (tok.text == "nil") {
    c.kind = Constant::NIL;
  } else if (isNamedConstant(tok)) {
    if (!namedConstant(tok.text.substr(1), &c)) return false;
  } else if (tok.text.size() > 1 && tok.text[0] == '#') {
    c.kind = Constant::NUMBER;
    if (!parseNumber(tok.text.substr(1), &c.number)) return fail("bad number constant " + tok.text);
  } else if (tok.text.size() > 1 && (tok.text[0] == 'K' || tok.text[0] == 'k')) {
    int64_t v;
    if (!parseInteger(tok.text.substr(1), &v) || v < 0 || v > VM_MAXARG_Bx)
      return fail("bad constant index " + tok.text);
    *index = static_cast<int>(v);
    return true;
  } else {
    return fail("constant expected, got " + tok.text);
  }
  *index = addConstant(c);
  return true;
}

bool Parser::position(Builder* b, const std::string& s, int32_t* pos) {
  int64_t v;
  if (parseInteger(s, &v)) {
    if (v < (raw_ ? INT32_MIN : 0) || v > INT32_MAX) return fail("bad instruction index " + s);
    *pos = static_cast<int32_t>(v);
    return true;
  }
  auto it = b->labels.find(s);
  if (it == b->labels.end()) return fail("unknown label " + s);
  *pos = it->second;
  return true;
}

// Byte tokens: numbers 0..255, strings (their bytes), be16:N and be32:N.
bool Parser::bytesArg(const std::vector<Token>& t, size_t from, Bytes* out) {
  for (size_t i = from; i < t.size(); i++) {
    const Token& tok = t[i];
    if (tok.quoted) {
      out->insert(out->end(), tok.text.begin(), tok.text.end());
      continue;
    }
    int64_t v;
    if (tok.text.rfind("be16:", 0) == 0 && parseInteger(tok.text.substr(5), &v)) {
      putBE16(out, static_cast<uint32_t>(v));
    } else if (tok.text.rfind("be32:", 0) == 0 && parseInteger(tok.text.substr(5), &v)) {
      putBE32(out, static_cast<uint32_t>(v));
    } else if (parseInteger(tok.text, &v) && v >= 0 && v <= 255) {
      out->push_back(static_cast<uint8_t>(v));
    } else {
      return fail("byte value expected, got " + tok.text);
    }
  }
  return true;
}

// Sections whose entries several directives add to: one section with a
// leading count, placed where its first entry was given.
Section* Parser::accumulated(int tag) {
  auto it = accumulatedSection_.find(tag);
  if (it == accumulatedSection_.end()) {
    program_->sections.push_back(Section{tag, {}});
    it = accumulatedSection_.emplace(tag, program_->sections.size() - 1).first;
  }
  return &program_->sections[it->second];
}

bool Parser::appletDirective(const std::vector<Token>& t) {
  if (builders_.size() != 1) return fail(".applet belongs to the main function's level");
  if (t.size() < 2) return fail(".applet needs a kind");
  const std::string& what = t[1].text;
  static const std::map<std::string, int> stringTags = {{"title", 11},       {"versionstring", 12},
                                                        {"copyright", 13},   {"authors", 14},
                                                        {"description", 15}, {"text6", 34}};
  std::vector<Section>& sections = program_->sections;
  int64_t v, w;
  if (what == "version") {
    if (t.size() == 3 && t[2].text == "none") {
      program_->versionGiven = true;
      return true;
    }
    if (!integerArg(t, 2, 0, 255, &v) || !integerArg(t, 3, 0, 255, &w)) return false;
    sections.push_back(Section{10, {static_cast<uint8_t>(v), static_cast<uint8_t>(w)}});
    program_->versionGiven = true;
    return true;
  }
  auto st = stringTags.find(what);
  if (st != stringTags.end()) {
    if (t.size() != 3 || !t[2].quoted) return fail(".applet " + what + " needs one string");
    Section s{st->second, {}};
    putString(&s.payload, t[2].text);
    sections.push_back(s);
    return true;
  }
  if (what == "encoding") {
    if (!integerArg(t, 2, 0, 255, &v)) return false;
    sections.push_back(Section{35, {static_cast<uint8_t>(v)}});
    return true;
  }
  if (what == "section") {
    if (!integerArg(t, 2, 0, 255, &v)) return false;
    Section s{static_cast<int>(v), {}};
    if (!bytesArg(t, 3, &s.payload)) return false;
    sections.push_back(s);
    return true;
  }
  if (what == "label") {
    if (t.size() != 4 || !integerArg(t, 3, 0, UINT32_MAX, &v))
      return fail(".applet label needs a name and a position");
    Section* s = accumulated(9);
    uint32_t n = ++accumulatedCount_[9];
    Bytes& p = s->payload;
    if (n == 1) putBE32(&p, 0);
    p[0] = static_cast<uint8_t>(n >> 24), p[1] = static_cast<uint8_t>(n >> 16);
    p[2] = static_cast<uint8_t>(n >> 8), p[3] = static_cast<uint8_t>(n);
    putBE32(&p, static_cast<uint32_t>(v));
    putString(&p, t[2].text);
    return true;
  }
  if (what == "constant") {
    if (t.size() != 4 || t[2].text.empty())
      return fail(".applet constant needs a name and a value");
    Section* s = accumulated(31);
    Bytes& p = s->payload;
    if (!p.empty()) p.pop_back();  // the empty name that ends the entries
    putString(&p, t[2].text);
    double d;
    if (t[3].quoted) {
      p.push_back(1);
      putString(&p, t[3].text);
    } else if (parseNumber(t[3].text, &d)) {
      p.push_back(0);
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      putBE32(&p, static_cast<uint32_t>(bits >> 32));
      putBE32(&p, static_cast<uint32_t>(bits));
    } else {
      return fail("constant value must be a number or a string");
    }
    p.push_back(0);
    return true;
  }
  if (what == "file") {
    if (t.size() != 4 || !t[2].quoted || !t[3].quoted)
      return fail(".applet file needs a name and a data string");
    Section* s = accumulated(26);
    uint32_t n = ++accumulatedCount_[26];
    Bytes& p = s->payload;
    if (n == 1) {
      putBE32(&p, 0);
      putBE32(&p, 0);
    }
    p[0] = static_cast<uint8_t>(n >> 24), p[1] = static_cast<uint8_t>(n >> 16);
    p[2] = static_cast<uint8_t>(n >> 8), p[3] = static_cast<uint8_t>(n);
    putString(&p, t[2].text);
    putBE32(&p, static_cast<uint32_t>(t[3].text.size()));
    p.insert(p.end(), t[3].text.begin(), t[3].text.end());
    return true;
  }
  if (what == "font") {
    // A declared font linked into the applet: its name and data go behind
    // the script, the record points at them.
    int64_t id, size, flags;
    if (t.size() < 6 || !integerArg(t, 2, INT32_MIN, INT32_MAX, &id) || !t[3].quoted ||
        !integerArg(t, 4, INT32_MIN, INT32_MAX, &size) || !integerArg(t, 5, 0, UINT32_MAX, &flags))
      return fail(".applet font needs an id, a name, a size, a flags word and the data");
    Bytes data;
    if (!bytesArg(t, 6, &data)) return false;
    Section* s = accumulated(2);
    size_t section = static_cast<size_t>(s - program_->sections.data());
    uint32_t n = ++accumulatedCount_[2];
    Bytes& p = s->payload;
    if (n == 1) putBE32(&p, 0);
    p[0] = static_cast<uint8_t>(n >> 24), p[1] = static_cast<uint8_t>(n >> 16);
    p[2] = static_cast<uint8_t>(n >> 8), p[3] = static_cast<uint8_t>(n);
    Bytes& trailer = program_->trailer;
    p.push_back(9);
    putBE32(&p, static_cast<uint32_t>(id));
    program_->trailerReferences.push_back(
        {section, p.size(), static_cast<uint32_t>(trailer.size())});
    putBE32(&p, 0);
    putBE32(&p, static_cast<uint32_t>(t[3].text.size()));
    trailer.insert(trailer.end(), t[3].text.begin(), t[3].text.end());
    program_->trailerReferences.push_back(
        {section, p.size(), static_cast<uint32_t>(trailer.size())});
    putBE32(&p, 0);
    putBE32(&p, static_cast<uint32_t>(data.size()));
    trailer.insert(trailer.end(), data.begin(), data.end());
    putBE32(&p, static_cast<uint32_t>(size));
    putBE32(&p, static_cast<uint32_t>(flags));
    putBE32(&p, static_cast<uint32_t>(line_));
    putBE16(&p, 0);  // no loader
    putBE16(&p, 0);  // no adapter
    return true;
  }
  return fail("unknown .applet kind " + what);
}

// Directives, by name: the handler and where the directive may stand.
// A directive of the main level is refused inside .function before a raw
// one is refused without .raw.
enum DirectiveRule : uint8_t { ANYWHERE = 0, MAIN_LEVEL = 1, RAW_ONLY = 2 };

struct DirectiveEntry {
  const char* name;
  bool (Parser::*handler)(const std::vector<Token>& t);
  uint8_t rules;
};

bool Parser::directive(const std::vector<Token>& t) {
  static const DirectiveEntry DIRECTIVES[] = {
      {".function", &Parser::functionDirective, ANYWHERE},
      {".end", &Parser::endDirective, ANYWHERE},
      {".source", &Parser::sourceDirective, ANYWHERE},
      {".linedefined", &Parser::lineDefinedDirective, ANYWHERE},
      {".line", &Parser::lineDirective, ANYWHERE},
      {".params", &Parser::paramsDirective, ANYWHERE},
      {".vararg", &Parser::varargDirective, ANYWHERE},
      {".stack", &Parser::stackDirective, ANYWHERE},
      {".upvalue", &Parser::upvalueDirective, ANYWHERE},
      {".upvalues", &Parser::upvalueCountDirective, ANYWHERE},
      {".local", &Parser::localDirective, ANYWHERE},
      {".const", &Parser::constDirective, ANYWHERE},
      {".byteorder", &Parser::byteOrderDirective, MAIN_LEVEL},
      {".lensize", &Parser::lengthSizeDirective, MAIN_LEVEL},
      {".testnumber", &Parser::testNumberDirective, MAIN_LEVEL},
      {".applet", &Parser::appletDirective, MAIN_LEVEL},
      {".raw", &Parser::rawDirective, MAIN_LEVEL},
      {".word", &Parser::wordDirective, RAW_ONLY},
      {".count", &Parser::countDirective, RAW_ONLY},
      {".nups", &Parser::upvalueCountDirective, RAW_ONLY},
      {".consttag", &Parser::constTagDirective, RAW_ONLY},
      {".patch", &Parser::patchDirective, MAIN_LEVEL | RAW_ONLY},
      {".linetable", &Parser::lineTableDirective, RAW_ONLY},
      {".truncate", &Parser::truncateDirective, MAIN_LEVEL | RAW_ONLY},
  };
  const std::string& d = t[0].text;
  auto entry = std::find_if(std::begin(DIRECTIVES), std::end(DIRECTIVES),
                            [&](const DirectiveEntry& e) { return d == e.name; });
  if (entry == std::end(DIRECTIVES)) return fail("unknown directive " + d);
  if ((entry->rules & MAIN_LEVEL) && builders_.size() != 1)
    return fail(d + " belongs to the main function's level");
  // Raw directives write what no sound chunk holds.
  if ((entry->rules & RAW_ONLY) && !raw_) return fail(d + " needs .raw first");
  return (this->*entry->handler)(t);
}

bool Parser::functionDirective(const std::vector<Token>& t) {
  Builder& b = top();
  Function* f = b.f;
  if (t.size() != 2 || !isName(t[1].text)) return fail(".function needs a name");
  for (const auto& c : f->children)
    if (c->name == t[1].text) return fail("function " + t[1].text + " defined twice");
  f->children.push_back(std::make_unique<Function>());
  Function* child = f->children.back().get();
  child->name = t[1].text;
  Builder nb;
  nb.f = child;
  nb.currentLine = b.currentLine;
  builders_.push_back(std::move(nb));
  return true;
}

bool Parser::endDirective(const std::vector<Token>&) {
  if (builders_.size() == 1) return fail(".end without .function");
  if (!finishFunction(&top())) return false;
  builders_.pop_back();
  return true;
}

bool Parser::sourceDirective(const std::vector<Token>& t) {
  Function* f = top().f;
  if (t.size() == 2 && !t[1].quoted && t[1].text == "none") {
    f->hasSource = false;
    return true;
  }
  if (t.size() != 2 || !t[1].quoted) return fail(".source needs a string or none");
  f->hasSource = true;
  f->source = t[1].text;
  return true;
}

bool Parser::lineDefinedDirective(const std::vector<Token>& t) {
  int64_t v;
  if (!integerArg(t, 1, raw_ ? INT32_MIN : 0, INT32_MAX, &v)) return false;
  top().f->lineDefined = static_cast<int32_t>(v);
  return true;
}

bool Parser::lineDirective(const std::vector<Token>& t) {
  int64_t v;
  if (!integerArg(t, 1, INT32_MIN, INT32_MAX, &v)) return false;
  top().currentLine = static_cast<int>(v);
  return true;
}

bool Parser::paramsDirective(const std::vector<Token>& t) {
  int64_t v;
  if (!integerArg(t, 1, 0, 255, &v)) return false;
  top().f->numparams = static_cast<int>(v);
  return true;
}

bool Parser::varargDirective(const std::vector<Token>& t) {
  int64_t v = 1;
  if (t.size() > 1 && !integerArg(t, 1, 0, 255, &v)) return false;
  top().f->vararg = static_cast<int>(v);
  return true;
}

bool Parser::stackDirective(const std::vector<Token>& t) {
  int64_t v;
  if (!integerArg(t, 1, 0, 255, &v)) return false;
  top().f->maxstack = static_cast<int>(v);
  top().stackGiven = true;
  return true;
}

bool Parser::upvalueDirective(const std::vector<Token>& t) {
  if (t.size() != 2) return fail(".upvalue needs a name");
  top().f->upvalueNames.push_back(t[1].text);
  return true;
}

// .upvalues, and .nups in raw mode: the count without names.
bool Parser::upvalueCountDirective(const std::vector<Token>& t) {
  int64_t v;
  if (!integerArg(t, 1, 0, 255, &v)) return false;
  top().f->nups = static_cast<int>(v);
  top().nupsGiven = true;
  return true;
}

bool Parser::localDirective(const std::vector<Token>& t) {
  if (t.size() != 4) return fail(".local needs a name, a start and an end");
  Function* f = top().f;
  LocalVar lv;
  lv.name = t[1].text;
  f->locals.push_back(lv);
  top().localFixups.push_back(LocalFixup{f->locals.size() - 1, t[2].text, t[3].text, line_});
  return true;
}

bool Parser::constDirective(const std::vector<Token>& t) {
  if (t.size() != 2) return fail(".const needs one value");
  Constant c;
  if (t[1].quoted) {
    c.kind = Constant::STRING;
    c.text = t[1].text;
  } else if (t[1].text == "nil") {
    c.kind = Constant::NIL;
  } else if (isNamedConstant(t[1])) {
    if (!namedConstant(t[1].text.substr(1), &c)) return false;
  } else if (parseNumber(t[1].text[0] == '#' ? t[1].text.substr(1) : t[1].text, &c.number)) {
    c.kind = Constant::NUMBER;
  } else {
    return fail("bad constant " + t[1].text);
  }
  top().f->constants.push_back(c);
  return true;
}

bool Parser::byteOrderDirective(const std::vector<Token>& t) {
  int64_t v;
  if (t.size() == 2 && t[1].text == "little") {
    program_->chunk.byteOrder = 1;
  } else if (t.size() == 2 && t[1].text == "big") {
    program_->chunk.byteOrder = 0;
  } else {
    if (!integerArg(t, 1, 0, 255, &v)) return false;
    program_->chunk.byteOrder = static_cast<int>(v);
  }
  return true;
}

bool Parser::lengthSizeDirective(const std::vector<Token>& t) {
  int64_t v;
  if (!integerArg(t, 1, 4, 8, &v) || (v != 4 && v != 8)) return fail(".lensize is 4 or 8");
  program_->chunk.lengthSize = static_cast<int>(v);
  return true;
}

bool Parser::testNumberDirective(const std::vector<Token>& t) {
  if (t.size() != 2 || !parseNumber(t[1].text, &program_->chunk.testNumber))
    return fail(".testnumber needs a number");
  return true;
}

bool Parser::rawDirective(const std::vector<Token>&) {
  raw_ = true;
  return true;
}

bool Parser::wordDirective(const std::vector<Token>& t) {
  int64_t v;
  if (!integerArg(t, 1, 0, UINT32_MAX, &v)) return false;
  top().f->code.push_back(static_cast<uint32_t>(v));
  top().f->lines.push_back(top().currentLine);
  return true;
}

bool Parser::countDirective(const std::vector<Token>& t) {
  static const char* const kinds[] = {"lines",     "locals",    "upvalues",
                                      "constants", "functions", "code"};
  if (t.size() != 3 || std::find(std::begin(kinds), std::end(kinds), t[1].text) == std::end(kinds))
    return fail(".count needs lines, locals, upvalues, constants, functions or code, and a number");
  int64_t v;
  if (!integerArg(t, 2, INT32_MIN, UINT32_MAX, &v)) return false;
  top().f->countOverride[t[1].text] = v;
  return true;
}

bool Parser::constTagDirective(const std::vector<Token>& t) {
  int64_t v;
  if (!integerArg(t, 1, 0, 255, &v)) return false;
  Constant c;
  c.kind = Constant::RAW;
  c.rawTag = static_cast<int>(v);
  Bytes payload;
  if (!bytesArg(t, 2, &payload)) return false;
  c.text.assign(payload.begin(), payload.end());
  top().f->constants.push_back(c);
  return true;
}

bool Parser::patchDirective(const std::vector<Token>& t) {
  int64_t off;
  if (!integerArg(t, 1, 0, INT32_MAX, &off)) return false;
  Bytes bytes;
  if (!bytesArg(t, 2, &bytes)) return false;
  for (size_t i = 0; i < bytes.size(); i++)
    program_->chunk.patch[static_cast<size_t>(off) + i] = bytes[i];
  return true;
}

bool Parser::lineTableDirective(const std::vector<Token>& t) {
  int64_t v;
  if (!integerArg(t, 1, 0, INT32_MAX, &v)) return false;
  top().lineTableSize = v;
  return true;
}

bool Parser::truncateDirective(const std::vector<Token>& t) {
  int64_t v;
  if (!integerArg(t, 1, 0, INT64_MAX, &v)) return false;
  program_->chunk.truncate = v;
  return true;
}

bool Parser::instruction(const std::vector<Token>& t) {
  std::string mnemonic = t[0].text;
  for (char& c : mnemonic) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  int op = -1;
  for (int i = 0; i < VM_NUM_OPCODES; i++)
    if (mnemonic == opcodeNames[i]) op = i;
  if (op < 0) return fail("unknown instruction " + t[0].text);
  Builder& b = top();
  Function* f = b.f;
  const int pc = static_cast<int>(f->code.size());

  if (op == OP_JUMP) {
    // JUMP [gosub] target
    size_t i = 1;
    int kind = VM_JUMP_PLAIN;
    if (i < t.size() && !t[i].quoted && t[i].text == "gosub") {
      kind = VM_JUMP_GOSUB;
      i++;
    }
    if (i + 1 != t.size() || t[i].quoted) return fail("JUMP needs a label");
    int64_t offset = 0;
    if (!parseInteger(t[i].text, &offset)) {
      if (!isName(t[i].text)) return fail("bad label " + t[i].text);
      b.fixups.push_back(Fixup{pc, FA, t[i].text, line_});
    } else if (offset < -VM_BIAS_sJ || offset > static_cast<int64_t>(VM_MAXARG_J) - VM_BIAS_sJ) {
      return fail("jump offset out of range");
    }
    f->code.push_back(CREATE_J(kind, static_cast<int>(offset)));
    f->lines.push_back(b.currentLine);
    return true;
  }

  Shape shape = shapeOf(op);
  size_t given = t.size() - 1;
  if (given < static_cast<size_t>(shape.required) || given > static_cast<size_t>(shape.count)) {
    std::string counts = std::to_string(shape.required);
    if (shape.count != shape.required) counts += " or " + std::to_string(shape.count);
    return fail(mnemonic + (given < static_cast<size_t>(shape.required) ? " needs " : " takes ") +
                counts + (shape.count == 1 ? " operand" : " operands"));
  }
  int fields[5] = {0, 0, 0, 0, 0};
  for (int k = 0; k < shape.count; k++) {
    const Operand& o = shape.ops[k];
    if (static_cast<size_t>(k) >= given) continue;  // a left-out flag is 0
    const Token& tok = t[k + 1];
    int64_t limit = o.field == FA ? VM_MAXARG_A : o.field == FBX ? VM_MAXARG_Bx : VM_MAXARG_B;
    int64_t v = 0;
    switch (o.kind) {
      case REG:
      case IMM:
        if (o.kind == IMM && isNamedConstant(tok)) {
          // A plain number may be a named constant whose value is a whole
          // number in the field's range.
          Constant c;
          if (!namedConstant(tok.text.substr(1), &c)) return false;
          if (c.kind != Constant::NUMBER || c.number != std::floor(c.number) || c.number < 0 ||
              c.number > static_cast<double>(limit))
            return fail(tok.text + " is no whole number from 0 to " + std::to_string(limit));
          v = static_cast<int64_t>(c.number);
          break;
        }
        if (tok.quoted || !parseInteger(tok.text, &v))
          return fail("number expected, got " + tok.text);
        if (v < 0 || v > limit) return fail("operand " + tok.text + " out of range");
        break;
      case RK:
        if (!tok.quoted && parseInteger(tok.text, &v)) {
          if (v < 0 || v >= VM_RK_CONST) return fail("register " + tok.text + " out of range");
        } else {
          int index;
          if (!constantIndex(tok, &index)) return false;
          if (index > static_cast<int>(VM_MAXARG_B) - VM_RK_CONST)
            return fail("constant index too large for a register-or-constant operand");
          v = VmRKAsK(index);
        }
        break;
      case KST: {
        int index;
        if (!constantIndex(tok, &index)) return false;
        v = index;
        break;
      }
      case LBL:
        if (!tok.quoted && parseInteger(tok.text, &v)) {
          if (v < -VM_BIAS_sBx || v > static_cast<int64_t>(VM_MAXARG_Bx) - VM_BIAS_sBx)
            return fail("jump offset out of range");
        } else {
          if (!isName(tok.text)) return fail("bad label " + tok.text);
          b.fixups.push_back(Fixup{pc, FSBX, tok.text, line_});
        }
        break;
      case PROTO:
        if (!tok.quoted && parseInteger(tok.text, &v)) {
          if (v < 0 || v > limit) return fail("function index out of range");
        } else {
          b.protoFixups.push_back(ProtoFixup{pc, tok.text, line_});
        }
        break;
    }
    fields[o.field] = static_cast<int>(v);
  }
  Instruction word;
  if (shape.count >= 2 && shape.ops[1].field == FBX)
    word = CREATE_ABx(static_cast<VmOpcode>(op), fields[FA], fields[FBX]);
  else if (shape.count >= 2 && shape.ops[1].field == FSBX)
    word = CREATE_AsBx(static_cast<VmOpcode>(op), fields[FA], fields[FSBX]);
  else
    word = CREATE_ABC(static_cast<VmOpcode>(op), fields[FA], fields[FB], fields[FC]);
  f->code.push_back(word);
  f->lines.push_back(b.currentLine);
  return true;
}

// The registers an instruction touches, beyond A: the highest one, or -1.
int highestRegister(Instruction i) {
  const int op = GET_OPCODE(i);
  const int a = GETARG_A(i), b = GETARG_B(i), c = GETARG_C(i), bx = GETARG_Bx(i);
  int high = (op == OP_JUMP || op == OP_EQ || op == OP_LT || op == OP_LE) ? -1 : a;
  auto use = [&](int r) { high = r > high ? r : high; };
  auto useRK = [&](int x) {
    if (!VmIsK(x)) use(x);
  };
  switch (op) {
    case OP_MOVE:
    case OP_LOADNIL:
    case OP_NEG:
    case OP_NOT:
    case OP_BITNOT:
    case OP_TESTSET:
      use(b);
      break;
    case OP_GETTABLE:
      use(b);
      useRK(c);
      break;
    case OP_SELF:
      use(b);
      useRK(c);
      use(a + 1);
      break;
    case OP_CONCAT:
      use(b);
      use(c);
      break;
    case OP_CALL:
    case OP_TAILCALL:
    case OP_CALLCATCH:
    case OP_TAILCALLCATCH:
      if (b > 0) use(a + b - 1);
      if (c > 1) use(a + c - 2);
      break;
    case OP_RETURN:
      if (c != 1 && b > 1) use(a + b - 2);
      break;
    case OP_FORLOOP:
      use(a + 2);
      break;
    case OP_ITERPREP:
      use(a + 1);
      break;
    case OP_ITERLOOP:
      use(a + c + 5);
      use(a + 2 * c + 3);
      break;
    case OP_SETLIST:
      use(a + (bx & (VM_FIELDS_PER_FLUSH - 1)) + 1);
      break;
    case OP_GETUPVAL:
    case OP_SETUPVAL:
    case OP_LOADNUM:
    case OP_NEWTABLE:
    case OP_LOADCONST:
    case OP_GETGLOBAL:
    case OP_SETGLOBAL:
    case OP_SETLISTTOP:
    case OP_CLOSE:
    case OP_CLOSURE:
    case OP_JUMP:
      break;
    default:
      if (op < VM_NUM_OPCODES) {
        // SETTABLE, EQ, LT, LE and the arithmetic and bit operations.
        useRK(b);
        useRK(c);
      }
      break;
  }
  return high;
}

bool Parser::finishFunction(Builder* b) {
  Function* f = b->f;
  for (const Fixup& fx : b->fixups) {
    line_ = fx.line;
    auto it = b->labels.find(fx.label);
    if (it == b->labels.end()) return fail("unknown label " + fx.label);
    int offset = it->second - (fx.pc + 1);
    uint32_t& word = f->code[static_cast<size_t>(fx.pc)];
    if (fx.field == FSBX)
      word = SETARG_sBx(word, offset);
    else
      word = CREATE_J(GETARG_K(word), offset);
  }
  for (const ProtoFixup& px : b->protoFixups) {
    line_ = px.line;
    int index = -1;
    for (size_t i = 0; i < f->children.size(); i++)
      if (f->children[i]->name == px.name) index = static_cast<int>(i);
    if (index < 0) return fail("unknown function " + px.name);
    uint32_t& word = f->code[static_cast<size_t>(px.pc)];
    word = SETARG_Bx(word, index);
  }
  for (const LocalFixup& lx : b->localFixups) {
    line_ = lx.line;
    LocalVar& lv = f->locals[lx.index];
    if (!position(b, lx.start, &lv.start) || !position(b, lx.end, &lv.end)) return false;
  }
  if (b->lineTableSize >= 0) f->lines.resize(static_cast<size_t>(b->lineTableSize), b->currentLine);
  if (!b->nupsGiven) f->nups = static_cast<int>(f->upvalueNames.size());
  if (!b->stackGiven) {
    int high = 1;  // at least two registers, as every compiled function
    for (uint32_t word : f->code) {
      int r = highestRegister(word);
      high = r > high ? r : high;
    }
    int need = high + 1;
    if (f->numparams + f->vararg > need) need = f->numparams + f->vararg;
    if (need > 255 && raw_) need = 255;
    if (need > 255) return fail("function " + f->name + " needs more than 255 registers");
    f->maxstack = need;
  }
  return true;
}

bool Parser::run(const std::string& text, std::string* error) {
  Builder mb;
  mb.f = &program_->main;
  mb.f->name = "main";
  builders_.push_back(std::move(mb));
  collectAppletConstants(text);
  size_t start = 0;
  while (start <= text.size() && error_.empty()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(start, nl - start);
    start = nl + 1;
    line_++;
    std::vector<Token> t;
    if (!tokenize(line, &t)) break;
    // Labels: "name:" at the start of a line, possibly before an
    // instruction.
    while (!t.empty() && !t[0].quoted && t[0].text.size() > 1 && t[0].text.back() == ':') {
      std::string name = t[0].text.substr(0, t[0].text.size() - 1);
      if (!isName(name) || name[0] == '.') {
        fail("bad label " + name);
        break;
      }
      if (!top().labels.emplace(name, static_cast<int>(top().f->code.size())).second) {
        fail("label " + name + " defined twice");
        break;
      }
      t.erase(t.begin());
    }
    if (!error_.empty() || t.empty()) continue;
    if (t[0].quoted)
      fail("instruction or directive expected");
    else if (t[0].text[0] == '.')
      directive(t);
    else
      instruction(t);
  }
  if (error_.empty()) {
    if (builders_.size() != 1)
      fail("missing .end of function " + top().f->name);
    else
      finishFunction(&top());
  }
  if (!error_.empty()) {
    *error = error_;
    return false;
  }
  return true;
}

// ---- Chunk output -----------------------------------------------------------

class ChunkWriter {
 public:
  ChunkWriter(const ChunkOptions& o) : o_(o) {}

  void header() {
    const uint8_t fixed[] = {0x1B,
                             'Q',
                             'M',
                             'B',
                             static_cast<uint8_t>(o_.byteOrder),
                             4,
                             static_cast<uint8_t>(o_.lengthSize),
                             4,
                             VM_SIZE_OP,
                             VM_SIZE_A,
                             VM_SIZE_B,
                             VM_SIZE_C,
                             8};
    // g++ 12 misjudges the room of a range insert (a known false alarm).
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif
    out.insert(out.end(), std::begin(fixed), std::end(fixed));
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    number(o_.testNumber);
  }

  void function(const Function& f) {
    string(f.hasSource, f.source);
    word(static_cast<uint32_t>(f.lineDefined));
    out.push_back(static_cast<uint8_t>(f.nups));
    out.push_back(static_cast<uint8_t>(f.numparams));
    out.push_back(static_cast<uint8_t>(f.vararg));
    out.push_back(static_cast<uint8_t>(f.maxstack));
    count(f, "lines", f.lines.size());
    for (int32_t line : f.lines) word(static_cast<uint32_t>(line));
    count(f, "locals", f.locals.size());
    for (const LocalVar& lv : f.locals) {
      string(true, lv.name);
      word(static_cast<uint32_t>(lv.start));
      word(static_cast<uint32_t>(lv.end));
    }
    count(f, "upvalues", f.upvalueNames.size());
    for (const std::string& name : f.upvalueNames) string(true, name);
    count(f, "constants", f.constants.size());
    for (const Constant& c : f.constants) {
      switch (c.kind) {
        case Constant::NIL:
          out.push_back(0);
          break;
        case Constant::NUMBER:
          out.push_back(3);
          number(c.number);
          break;
        case Constant::STRING:
          out.push_back(4);
          string(true, c.text);
          break;
        case Constant::RAW:
          out.push_back(static_cast<uint8_t>(c.rawTag));
          out.insert(out.end(), c.text.begin(), c.text.end());
          break;
      }
    }
    count(f, "functions", f.children.size());
    for (const auto& child : f.children) function(*child);
    count(f, "code", f.code.size());
    for (uint32_t w : f.code) word(w);
  }

  Bytes out;

 private:
  void field(uint64_t v, int size) {
    for (int i = 0; i < size; i++) {
      int shift = o_.byteOrder == 1 ? 8 * i : 8 * (size - 1 - i);
      out.push_back(static_cast<uint8_t>(v >> shift));
    }
  }
  void word(uint32_t v) { field(v, 4); }
  void number(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    field(bits, 8);
  }
  void string(bool present, const std::string& s) {
    if (!present) {
      field(0, o_.lengthSize);
      return;
    }
    field(s.size() + 1, o_.lengthSize);
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
  }
  void count(const Function& f, const char* what, size_t n) {
    auto it = f.countOverride.find(what);
    word(static_cast<uint32_t>(it != f.countOverride.end() ? it->second : static_cast<int64_t>(n)));
  }

  const ChunkOptions& o_;
};

}  // namespace

bool Parse(const std::string& text, Program* program, std::string* error,
           const ConstantLookup& lookup) {
  Parser parser(program, lookup);
  return parser.run(text, error);
}

Bytes WriteChunk(const Program& program) {
  ChunkWriter w(program.chunk);
  w.header();
  w.function(program.main);
  for (const auto& [offset, byte] : program.chunk.patch)
    if (offset < w.out.size()) w.out[offset] = byte;
  if (program.chunk.truncate >= 0 && static_cast<size_t>(program.chunk.truncate) < w.out.size())
    w.out.resize(static_cast<size_t>(program.chunk.truncate));
  return w.out;
}

bool AssembleChunk(const std::string& text, Bytes* out, std::string* error,
                   const ConstantLookup& lookup) {
  Program program;
  if (!Parse(text, &program, error, lookup)) return false;
  *out = WriteChunk(program);
  return true;
}

}  // namespace qmasm
