// Formatted debug output on the debug device (standard output unless
// DEBUGDEVICE names another). Invariant: in 8-bit text mode
// the message reaches the terminal as UTF-8; when the conversion cannot be
// made, the message is still printed as it is rather than lost.
#include <cstdio>

#include "platform/linux/platform.h"
#include "runtime/runtime.h"

void DebugVPrintf(const char* format, va_list args) {
  if (!unicodeUtf8Mode) {
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
        char* converted = Latin1ToUtf8Dup(raw);
        FreeMemory(raw);
        if (converted) {
          fputs(converted, GetDebugDevice());
          FreeMemory(converted);
          return;
        }
      }
    }
  }
  vfprintf(GetDebugDevice(), format, args);
}

void DebugPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  DebugVPrintf(format, args);
  va_end(args);
}
