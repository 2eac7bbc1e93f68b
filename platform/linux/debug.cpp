// The debug device (standard output unless DEBUGDEVICE names another),
// formatted debug output on it, the open progress line of standard output
// and console reads that give way to a termination request. Invariants: in
// 8-bit text mode the message reaches the terminal as UTF-8; when the
// conversion cannot be made, the message is still printed as it is rather
// than lost. A debug device file is line-buffered, so each line reaches it
// as it is printed.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>

#include "platform/linux/platform.h"
#include "platform/linux/context_private.h"

namespace {

constexpr int CONSOLE_POLL_MS = 50;  // how often a console read looks for a termination

}  // namespace

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
  setvbuf(file, nullptr, _IOLBF, BUFSIZ);
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

void SetConsoleLineOpen(int open) { platformContext.consoleLineOpen = open != 0; }

void EndConsoleLine(FILE* stream) {
  if (stream != stdout || !platformContext.consoleLineOpen) return;
  platformContext.consoleLineOpen = false;
  std::fputc('\n', stdout);
}

char* ReadConsoleLine(char* buffer, int size, FILE* stream) {
  // While the stream holds no read-ahead, wait for input in short steps so
  // that a termination request is seen; a stream without a descriptor (a
  // memory stream) is read at once.
  int fd = fileno(stream);
  while (fd >= 0 && stream->_IO_read_ptr >= stream->_IO_read_end) {
    if (NativeQuitRequested()) return nullptr;
    struct pollfd input = {fd, POLLIN, 0};
    int ready = poll(&input, 1, CONSOLE_POLL_MS);
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) break;
  }
  return std::fgets(buffer, size, stream);
}

void DebugVPrintf(const char* format, va_list args) {
  EndConsoleLine(GetDebugDevice());
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
