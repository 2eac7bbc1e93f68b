// Error texts: the numbered built-in texts with their catalog replacements
// and the message of an error code filled from the error argument.
//
// Invariant: no text that comes from a table, a catalog, a plug-in or a
// script is ever used as a printf format. Messages are filled by our own
// filler, which knows only "%s", "%d" and "%%"; a catalog text replaces a
// built-in text only when its conversions are those of the built-in text,
// so callers that hand built-in texts to printf stay safe.
#include <cstdio>
#include <cstring>

#include "engine/texts.h"
#include "engine/vmcore.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"

namespace {

constexpr int32_t UNKNOWN_ERROR_TEXT = 91;  // "Unknown error code!"

// Codes whose "%s" is a file name, shown as the user knows it.
bool isFileNameCode(ErrorCode code) {
  switch (code) {
    case ERR_LOADPICTURE:
    case ERR_READFILE:
    case ERR_OPENSOUND:
    case ERR_NOALPHA:
    case ERR_OPENANIM2:
    case ERR_OPENSOUND2:
    case ERR_LOADPICTURE2:
    case ERR_IMAGEERROR:
    case ERR_LOADVIDEO:
    case ERR_NOTRANSPARENCY:
      return true;
    default:
      return false;
  }
}

// Appends to a bounded buffer; the write position never passes size - 1.
struct Out {
  char* buffer;
  size_t size;
  size_t pos = 0;
  void put(const char* s, size_t n) {
    for (size_t i = 0; i < n && pos + 1 < size; i++) buffer[pos++] = s[i];
  }
  void put(const char* s) { put(s, std::strlen(s)); }
  void finish() { buffer[pos < size ? pos : size - 1] = '\0'; }
};

// Fills "%s" with text and "%d" with number; "%%" gives one percent sign
// and any other "%" stays as it is.
void fillText(const char* text, const char* arg, int32_t number, char* buffer, size_t size) {
  Out out{buffer, size};
  for (const char* p = text; *p != '\0'; p++) {
    if (p[0] == '%' && p[1] == 's') {
      out.put(arg);
      p++;
    } else if (p[0] == '%' && p[1] == 'd') {
      char num[16];
      std::snprintf(num, sizeof num, "%d", static_cast<int>(number));
      out.put(num);
      p++;
    } else if (p[0] == '%' && p[1] == '%') {
      out.put("%", 1);
      p++;
    } else {
      out.put(p, 1);
    }
  }
  out.finish();
}

// The conversion of a printf directive at p (just after the '%'): the
// length modifiers and conversion letter, with '*' for each starred width
// or precision. Returns the character after the directive.
const char* readConversion(const char* p, char* conv, size_t size) {
  size_t n = 0;
  auto add = [&](char c) {
    if (n + 1 < size) conv[n++] = c;
  };
  while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) p++;
  for (int part = 0; part < 2; part++) {
    if (part == 1) {
      if (*p != '.') break;
      p++;
    }
    if (*p == '*') {
      add('*');
      p++;
    }
    while (*p >= '0' && *p <= '9') p++;
  }
  while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) add(*p++);
  if (*p != '\0') add(*p++);
  conv[n] = '\0';
  return p;
}

// The next conversion of a text, or false at its end.
bool nextConversion(const char** p, char* conv, size_t size) {
  for (const char* s = *p; *s != '\0'; s++) {
    if (*s != '%') continue;
    if (s[1] == '%') {
      s++;
      continue;
    }
    *p = readConversion(s + 1, conv, size);
    return true;
  }
  return false;
}

}  // namespace

int CatalogTextMatches(const char* builtin, const char* replacement) {
  const char* a = builtin;
  const char* b = replacement;
  char ca[16], cb[16];
  for (;;) {
    bool ha = nextConversion(&a, ca, sizeof ca);
    bool hb = nextConversion(&b, cb, sizeof cb);
    if (ha != hb) return 0;
    if (!ha) return 1;
    if (std::strcmp(ca, cb) != 0) return 0;
  }
}

const char* GetBuiltinString(int32_t number) {
  if (number < 0 || number >= BUILTIN_TEXT_COUNT) return nullptr;
  const char* builtin = builtinTexts[number].text;
  const char* replacement = GetCatalogText(number);
  if (replacement != nullptr && CatalogTextMatches(builtin, replacement)) return replacement;
  return builtin;
}

int32_t GetErrorTextNumber(ErrorCode code) {
  if (code == 0) return noErrorTextNumber;
  if (code >= ERROR_TEXT_FIRST && code < ERROR_TEXT_FIRST + ERROR_TEXT_CODES)
    return errorTextNumbers[code - ERROR_TEXT_FIRST];
  return -1;
}

void GetErrorText(ErrorCode code, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return;
  const EngineRuntimeHooks& hooks = GetEngineRuntimeHooks();
  const char* arg = GetErrorArgString();
  const char* text;
  if (code >= ERR_FIRSTCUSTOM) {
    text = hooks.customErrorText != nullptr ? hooks.customErrorText(code) : nullptr;
    if (text == nullptr) text = GetBuiltinString(UNKNOWN_ERROR_TEXT);
  } else if (code == ERR_OPENFONT || code == ERR_ERRORCALLED) {
    StrCopyBounded(buffer, size, arg);
    return;
  } else {
    int32_t number = GetErrorTextNumber(code);
    text = GetBuiltinString(number >= 0 ? number : UNKNOWN_ERROR_TEXT);
  }
  char shown[ERROR_ARG_MAX + 1];
  if (std::strstr(text, "%s") != nullptr) {
    if (hooks.isChunkName != nullptr && hooks.parseChunkName != nullptr && hooks.isChunkName(arg)) {
      if (!hooks.parseChunkName(arg, nullptr, nullptr, shown, sizeof shown, nullptr, 0, nullptr, 0,
                                nullptr))
        StrCopyBounded(shown, sizeof shown, "unknown");
      arg = shown;
    } else if (isFileNameCode(code) && hooks.displayFileName != nullptr) {
      StrCopyBounded(shown, sizeof shown, hooks.displayFileName(arg));
      arg = shown;
    }
  }
  fillText(text, arg, GetErrorArgNumber(), buffer, size);
}
