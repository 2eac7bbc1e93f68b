// Formatted debug output on standard output. Invariant: in 8-bit text mode
// the message reaches the terminal as UTF-8; when the conversion cannot be
// made, the message is still printed as it is rather than lost.
#include <cstdio>
#include <cstring>

#include "platform/linux/platform.h"

namespace {

// Waiting for the Unicode layer of the runtime: its global UTF-8 mode flag
// and its Latin-1 conversion replace these two. Until then the mode is
// 8-bit text and the conversion is the plain Latin-1 mapping.
bool utf8ModeOn() { return false; }

char* latin1ToUtf8(const char* text, size_t length) {
  size_t size;
  if (__builtin_mul_overflow(length, size_t{2}, &size) || __builtin_add_overflow(size, size_t{1}, &size))
    return nullptr;
  auto* out = static_cast<char*>(AllocMemory(size, 0));
  if (!out) return nullptr;
  size_t o = 0;
  for (size_t i = 0; i < length; i++) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out[o++] = static_cast<char>(c);
    } else {
      out[o++] = static_cast<char>(0xC0 | (c >> 6));
      out[o++] = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  out[o] = '\0';
  return out;
}

}  // namespace

void DebugVPrintf(const char* format, va_list args) {
  if (!utf8ModeOn()) {
    va_list measure;
    va_copy(measure, args);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length >= 0) {
      size_t size = static_cast<size_t>(length) + 1;
      auto* raw = static_cast<char*>(AllocMemory(size, 0));
      if (raw) {
        va_list fill;
        va_copy(fill, args);
        vsnprintf(raw, size, format, fill);
        va_end(fill);
        char* converted = latin1ToUtf8(raw, static_cast<size_t>(length));
        FreeMemory(raw);
        if (converted) {
          printf("%s", converted);
          FreeMemory(converted);
          return;
        }
      }
    }
  }
  vfprintf(stdout, format, args);
}

void DebugPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  DebugVPrintf(format, args);
  va_end(args);
}
