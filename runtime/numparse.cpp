// Reading numbers written in the forms scripts and the start-up options
// use: decimal and floating point, "$" or "0x" hexadecimal and "%" binary.
//
// Invariant: the reader never looks past the first character that cannot
// continue the number, so the reported length is exactly the text consumed.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/runtime.h"

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Digits in base 16 or 2 from p; returns the count read. The value is kept
// as a double so that long digit runs neither wrap nor overflow.
size_t readDigits(const char* p, int base, double* value) {
  size_t n = 0;
  double v = 0;
  for (;; n++) {
    int d = hexValue(p[n]);
    if (d < 0 || d >= base) break;
    v = v * base + d;
  }
  *value = v;
  return n;
}

// Length of a decimal number at p: digits, an optional fraction, and an
// exponent only when at least one digit follows its sign.
size_t decimalLength(const char* p) {
  size_t n = 0;
  while (isDigit(p[n])) n++;
  if (p[n] == '.') {
    n++;
    while (isDigit(p[n])) n++;
  }
  if (p[n] == 'e' || p[n] == 'E') {
    size_t e = n + 1;
    if (p[e] == '+' || p[e] == '-') e++;
    if (isDigit(p[e])) {
      while (isDigit(p[e])) e++;
      n = e;
    }
  }
  return n;
}

}  // namespace

double ParseNumberString(const char* text, size_t* used, ErrorCode* error) {
  const char* p = text;
  bool negative = false;
  double value = 0;
  ErrorCode code = ERR_NONE;
  if (*p == '-') {
    negative = true;
    p++;
  }
  if (*p == '$' || (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))) {
    p += *p == '$' ? 1 : 2;
    size_t n = readDigits(p, 16, &value);
    if (n == 0) code = ERR_SYNTAXERROR;
    p += n;
  } else if (*p == '%') {
    size_t n = readDigits(p + 1, 2, &value);
    if (n == 0) code = ERR_VALUEEXPECTED;
    p += 1 + n;
  } else if (isDigit(*p) || (*p == '.' && isDigit(p[1]))) {
    size_t n = decimalLength(p);
    // strtod would also accept forms such as "inf" or hexadecimal floats;
    // converting a copy of exactly the scanned digits keeps to our syntax.
    std::string digits(p, n);
    value = std::strtod(digits.c_str(), nullptr);
    p += n;
  } else {
    code = ERR_VALUEEXPECTED;
  }
  if (error) *error = code;
  if (code != ERR_NONE) {
    if (used) *used = 0;
    return 0;
  }
  if (used) *used = static_cast<size_t>(p - text);
  return negative ? -value : value;
}
