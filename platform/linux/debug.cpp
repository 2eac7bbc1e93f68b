// The debug device (standard output unless DEBUGDEVICE names another) and
// formatted debug output on it. Invariant: in 8-bit text mode
// the message reaches the terminal as UTF-8; when the conversion cannot be
// made, the message is still printed as it is rather than lost.
#include <cstdio>
#include <cstring>

#include "platform/linux/platform.h"
#include "platform/linux/context_private.h"

ErrorCode OpenDebugDevice(const char* name) {
  CloseDebugDevice();
  if (!name || !*name || std::strcmp(name, "stdout") == 0) return ERR_NONE;
  if (std::strcmp(name, "stderr") == 0) {
    platformContext.debugDevice = stderr;
    return ERR_NONE;
  }
  FILE* file = FOpenNative(name, "a", 0);
  if (!file) {
    SetPlatformErrorArgString(name);
    return ERR_WRITEFILE;
  }
  platformContext.debugDevice = file;
  platformContext.debugDeviceOwned = true;
  return ERR_NONE;
}

FILE* GetDebugDevice() {
  return platformContext.debugDevice ? platformContext.debugDevice : stdout;
}

void CloseDebugDevice() {
  if (platformContext.debugDeviceOwned && platformContext.debugDevice)
    std::fclose(platformContext.debugDevice);
  platformContext.debugDevice = nullptr;
  platformContext.debugDeviceOwned = false;
}

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
