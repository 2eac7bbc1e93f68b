// The expression evaluator of Eval: a one-pass operator-precedence parser
// that evaluates while it reads, over doubles, with named variables.
//
// Invariant: every conversion of an operand to an integer goes through the
// engine's saturating truncation (after rounding), and the integer
// operators compute in 64 bits, so no operand value can trap or reach an
// undefined conversion ("-2147483648 \ -1" is 2147483648).
#include <cmath>
#include <cstring>

#include "text/strcore.h"

namespace {

// Tokens above the single characters.
constexpr int TK_SHL = 256;
constexpr int TK_SHR = 257;
constexpr int TK_CONCAT = 258;
constexpr int TK_NE = 259;
constexpr int TK_LE = 260;
constexpr int TK_GE = 261;
constexpr int TK_AND = 262;
constexpr int TK_OR = 263;
constexpr int TK_NOT = 264;
constexpr int TK_NUMBER = 265;
constexpr int TK_END = 0;
constexpr int TK_BADCHAR = 266;  // a zero byte inside the text

// Unary operators read their operand with this limit, so "-2^2" is -4.
constexpr int UNARY_PRIORITY = 12;
// Nesting of parentheses and unary operators that the recursive parser
// follows before it refuses the text, so that no text can exhaust the stack.
constexpr int MAX_NESTING = 200;

struct Word {
  const char* text;
  int token;
};
// Lookup order of the multi-character operators.
constexpr Word WORDS[] = {{"<<", TK_SHL},  {">>", TK_SHR}, {"..", TK_CONCAT},
                          {"<>", TK_NE},   {"<=", TK_LE},  {">=", TK_GE},
                          {"and", TK_AND}, {"or", TK_OR},  {"not", TK_NOT}};

struct EvalError {
  ErrorCode code;
};
[[noreturn]] void fail(ErrorCode code) { throw EvalError{code}; }

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool isNameChar(char c) {
  return isAsciiLetter(c) || isAsciiDigit(c) || c == '_' || c == '$' || c == '!';
}
char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Whether word (length n) stands at p, compared without regard to ASCII
// case; a word of letters must not run on into a name character.
bool wordAt(const char* p, const char* end, const char* word, size_t n, bool boundary) {
  if (static_cast<size_t>(end - p) < n) return false;
  for (size_t i = 0; i < n; i++)
    if (asciiLower(p[i]) != asciiLower(word[i])) return false;
  return !boundary || p + n >= end || !isNameChar(p[n]);
}

struct Lexer {
  const char* p;
  const char* end;
  const std::vector<EvalVariable>* vars;
  int token;
  double value;
  int depth;
};

void next(Lexer* lx) {
  while (lx->p < lx->end && (*lx->p == ' ' || *lx->p == '\t')) lx->p++;
  if (lx->p >= lx->end) {
    lx->token = TK_END;
    return;
  }
  char c = *lx->p;
  if (isAsciiDigit(c) || c == '$') {
    size_t used;
    ErrorCode code;
    lx->value = ParseNumberString(lx->p, &used, &code);
    if (code != ERR_NONE) fail(code);
    lx->p += used;
    lx->token = TK_NUMBER;
    return;
  }
  for (const Word& w : WORDS) {
    size_t n = std::strlen(w.text);
    // Symbolic operators are taken as they stand ("1<<2" shifts); only the
    // word operators need a boundary behind them.
    if (wordAt(lx->p, lx->end, w.text, n, isAsciiLetter(w.text[0]))) {
      lx->p += n;
      lx->token = w.token;
      return;
    }
  }
  for (const EvalVariable& v : *lx->vars) {
    if (wordAt(lx->p, lx->end, v.name.data(), v.name.size(), true)) {
      lx->p += v.name.size();
      lx->token = TK_NUMBER;
      lx->value = v.value;
      return;
    }
  }
  lx->p++;
  lx->token = c == '\0' ? TK_BADCHAR : static_cast<unsigned char>(c);
}

struct Priority {
  int left;
  int right;
};

// Priorities of a binary operator token; {0, 0} for none.
Priority binaryPriority(int token) {
  switch (token) {
    case '^':
      return {14, 13};
    case '*':
    case '/':
    case '\\':
    case '%':
      return {11, 11};
    case '+':
    case '-':
      return {10, 10};
    case TK_SHL:
    case TK_SHR:
      return {9, 9};
    case '&':
      return {8, 8};
    case '~':
      return {7, 7};
    case '|':
      return {6, 6};
    case TK_CONCAT:
      return {5, 4};
    case '=':
    case TK_NE:
    case '<':
    case TK_LE:
    case '>':
    case TK_GE:
      return {3, 3};
    case TK_AND:
      return {2, 2};
    case TK_OR:
      return {1, 1};
    default:
      return {0, 0};
  }
}

double unsignedResult(uint32_t v) { return static_cast<double>(v); }

double applyBinary(int op, double a, double b) {
  switch (op) {
    case '+':
      return a + b;
    case '-':
      return a - b;
    case '*':
      return a * b;
    case '/':
      if (b == 0) fail(ERR_ZERODIVISION);
      return a / b;
    case '^':
      return std::pow(a, b);
    case '\\':
    case '%': {
      int64_t x = RoundToInt32(a);
      int64_t y = RoundToInt32(b);
      if (y == 0) fail(ERR_ZERODIVISION);
      // C++ division truncates toward zero and the remainder takes the
      // dividend's sign; 64 bits hold INT32_MIN / -1.
      return static_cast<double>(op == '\\' ? x / y : x % y);
    }
    case '&':
      return unsignedResult(BitsOfRounded(a) & BitsOfRounded(b));
    case '|':
      return unsignedResult(BitsOfRounded(a) | BitsOfRounded(b));
    case '~':
      return unsignedResult(BitsOfRounded(a) ^ BitsOfRounded(b));
    case TK_SHL:
      return unsignedResult(BitsOfRounded(a) << (BitsOfRounded(b) & 31));
    case TK_SHR:
      return unsignedResult(BitsOfRounded(a) >> (BitsOfRounded(b) & 31));
    case TK_CONCAT:
      fail(ERR_WRONGOPCST);
    case '=':
      return a == b ? 1 : 0;
    case TK_NE:
      return a != b ? 1 : 0;
    case '<':
      return a < b ? 1 : 0;
    case TK_LE:
      return a <= b ? 1 : 0;
    case '>':
      return a > b ? 1 : 0;
    case TK_GE:
      return a >= b ? 1 : 0;
    case TK_AND:
      return (a == 0 || b == 0) ? 0 : b;
    case TK_OR:
      return a != 0 ? a : b;
    default:
      fail(ERR_SYNTAXERROR);
  }
}

struct NestingLevel {
  explicit NestingLevel(Lexer* lx) : lx_(lx) {
    if (++lx_->depth > MAX_NESTING) fail(ERR_COMPLEXEXPR);
  }
  ~NestingLevel() { lx_->depth--; }
  Lexer* lx_;
};

double subexpression(Lexer* lx, int limit) {
  NestingLevel level(lx);
  double v;
  int op = lx->token;
  if (op == '-' || op == '~' || op == TK_NOT) {
    next(lx);
    double operand = subexpression(lx, UNARY_PRIORITY);
    if (op == '-')
      v = -operand;
    else if (op == '~')
      v = unsignedResult(~BitsOfRounded(operand));
    else
      v = operand == 0 ? 1 : 0;
  } else if (op == TK_NUMBER) {
    v = lx->value;
    next(lx);
  } else if (op == '(') {
    next(lx);
    v = subexpression(lx, 0);
    if (lx->token != ')') fail(ERR_UNMPARENTHESES);
    next(lx);
  } else {
    fail(ERR_VALUEEXPECTED);
  }
  for (;;) {
    int bin = lx->token;
    Priority pr = binaryPriority(bin);
    if (pr.left <= limit) break;
    next(lx);
    double rhs = subexpression(lx, pr.right);
    v = applyBinary(bin, v, rhs);
  }
  return v;
}

}  // namespace

int32_t RoundToInt32(double d) { return VmTruncInt32(std::nearbyint(d)); }

uint32_t BitsOfRounded(double d) {
  double r = std::nearbyint(d);
  if (r < 0 || r != r) return static_cast<uint32_t>(VmTruncInt32(r));
  // +inf saturates as a 64-bit integer would, keeping all 32 low bits set.
  if (std::isinf(r)) return 0xFFFFFFFFu;
  // A non-negative value keeps its low 32 bits. Every double of 2^53 and
  // above is a whole number, so the remainder below is exact.
  if (r >= 4294967296.0) r = std::fmod(r, 4294967296.0);
  return static_cast<uint32_t>(static_cast<uint64_t>(r));
}

bool EvalIsValidName(const char* name, size_t length) {
  if (length < 1 || length > 64) return false;
  if (!isAsciiLetter(name[0]) && name[0] != '_') return false;
  for (size_t i = 1; i < length; i++)
    if (!isNameChar(name[i])) return false;
  return true;
}

ErrorCode EvalExpression(const char* text, size_t length,
                         const std::vector<EvalVariable>& variables, double* result) {
  Lexer lx{text, text + length, &variables, TK_END, 0, 0};
  try {
    next(&lx);
    double v = subexpression(&lx, 0);
    if (lx.token != TK_END) return ERR_SYNTAXERROR;
    *result = v;
  } catch (const EvalError& e) {
    return e.code;
  }
  return ERR_NONE;
}
