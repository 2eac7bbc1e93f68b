// Number and text formatting of the string library: FormatStr's printf-like
// conversions, StrStr, PadNum, HexStr and BinStr.
//
// Invariant: every conversion is checked (flags, two-digit width and
// precision, a known letter) before the C library sees it, so snprintf only
// ever receives a well-formed specification with an argument of the type it
// names; integers come from the engine's saturating conversions.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "text/strcore.h"

namespace {

constexpr size_t CONVERSION_BUFFER = 512;  // room of one formatted conversion
constexpr size_t MAX_SPEC_LENGTH = 18;     // "%" to the letter, inclusive
constexpr size_t WHOLE_TEXT_LENGTH = 100;  // "%s" texts from here on are copied whole

bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

void appendQuoted(std::string* out, const std::string& text) {
  out->push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\' || c == '\n') {
      out->push_back('\\');
      out->push_back(c);
    } else if (c == '\0') {
      out->append("\\000");
    } else {
      out->push_back(c);
    }
  }
  out->push_back('"');
}

}  // namespace

ErrorCode FormatText(const char* format, size_t length, FormatArguments* args, std::string* out) {
  const char* p = format;
  const char* end = format + length;
  int argument = 0;
  out->clear();
  while (p < end) {
    if (*p != '%') {
      out->push_back(*p++);
      continue;
    }
    if (p + 1 < end && p[1] == '%') {
      out->push_back('%');
      p += 2;
      continue;
    }
    const char* spec = p++;
    bool hasPrecision = false;
    while (p < end && isFlag(*p)) p++;
    for (int n = 0; p < end && isDigit(*p); n++, p++)
      if (n == 2) return ERR_WRONGUSAGE;
    if (p < end && *p == '.') {
      hasPrecision = true;
      p++;
      for (int n = 0; p < end && isDigit(*p); n++, p++)
        if (n == 2) return ERR_WRONGUSAGE;
    }
    if (p >= end) return ERR_WRONGUSAGE;
    char letter = *p++;
    size_t specLength = static_cast<size_t>(p - spec);
    if (specLength > MAX_SPEC_LENGTH) return ERR_WRONGUSAGE;
    std::string conversion(spec, specLength);
    char buffer[CONVERSION_BUFFER];
    int written = 0;
    switch (letter) {
      case 'd':
      case 'i':
      case 'c': {
        int v = RoundToInt32(args->Number(argument++));
        written = std::snprintf(buffer, sizeof buffer, conversion.c_str(), v);
        break;
      }
      case 'o':
      case 'u':
      case 'x':
      case 'X': {
        unsigned v = BitsOfRounded(args->Number(argument++));
        written = std::snprintf(buffer, sizeof buffer, conversion.c_str(), v);
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G': {
        double v = args->Number(argument++);
        written = std::snprintf(buffer, sizeof buffer, conversion.c_str(), v);
        break;
      }
      case 's': {
        std::string text = args->Text(argument++);
        if (!hasPrecision && text.size() >= WHOLE_TEXT_LENGTH) {
          out->append(text);
          continue;
        }
        written = std::snprintf(buffer, sizeof buffer, conversion.c_str(), text.c_str());
        break;
      }
      case 'q':
        appendQuoted(out, args->Text(argument++));
        continue;
      default:
        return ERR_WRONGUSAGE;
    }
    if (written < 0) return ERR_WRONGUSAGE;
    // snprintf reports the untruncated length; the buffer holds at most
    // CONVERSION_BUFFER - 1 characters of it.
    size_t n = static_cast<size_t>(written);
    if (n > CONVERSION_BUFFER - 1) n = CONVERSION_BUFFER - 1;
    out->append(buffer, n);
  }
  return ERR_NONE;
}

std::string FormatStrStr(double value, int32_t decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.14g", value);
  std::string text(buffer);
  size_t point = text.find('.');
  if (point == std::string::npos) return text;
  // An exponent stays: only the digits between the point and it are cut.
  size_t digitsEnd = text.find_first_of("eE", point);
  if (digitsEnd == std::string::npos) digitsEnd = text.size();
  std::string exponent = text.substr(digitsEnd);
  size_t keep;
  if (decimals == 0)
    keep = point;
  else if (decimals < 0)
    keep = point + 1;
  else if (static_cast<size_t>(decimals) >= digitsEnd - point - 1)
    return text;
  else
    keep = point + 1 + static_cast<size_t>(decimals);
  return text.substr(0, keep) + exponent;
}

ErrorCode FormatPadNum(double value, double length, std::string* out) {
  int32_t v = VmTruncInt32(value);
  int32_t width = VmTruncInt32(length);
  if (v < 0 || width < 1) return ERR_WRONGUSAGE;
  char buffer[16];
  int n = std::snprintf(buffer, sizeof buffer, "%d", static_cast<int>(v));
  out->clear();
  if (n < width) out->assign(static_cast<size_t>(width - n), '0');
  out->append(buffer, static_cast<size_t>(n));
  return ERR_NONE;
}

std::string FormatHexStr(double value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "$%X",
                static_cast<unsigned>(static_cast<uint32_t>(VmNumberToInteger(value))));
  return buffer;
}

std::string FormatBinStr(double value, int32_t type) {
  int bits;
  switch (type) {
    case 1:
      bits = 32;
      break;
    case 6:
      bits = 16;
      break;
    case 7:
      bits = 8;
      break;
    default:
      return std::string();
  }
  uint32_t v = static_cast<uint32_t>(VmNumberToInteger(value));
  std::string text;
  for (int i = bits - 1; i >= 0; i--) text.push_back(((v >> i) & 1) ? '1' : '0');
  return text;
}
