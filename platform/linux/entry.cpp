// System glue of the Linux player: the process's arguments, the run function
// that the portable main hands the script to, the running script's state, the
// quit switches, the platform's answers to bitmap attribute codes, special
// and preference directories, the desktop opener, the bell, free memory, and
// the entry points that do nothing on this platform.
//
// Invariant: the running state is set only between the start and the end
// of RunPlatformMainLoop, on the main thread; the pipe reader it starts is
// always stopped before it returns.
#include <cstdio>
#include <cstring>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "platform/linux/files_private.h"
#include "platform/linux/requester_private.h"
#include "platform/linux/thread_private.h"
#include "platform/linux/context_private.h"

namespace {}  // namespace

void RecordProcessArguments(int* argc, char*** argv) {
  SetRequesterArguments(argc, argv);
  RecordProgramPath(*argc > 0 ? (*argv)[0] : nullptr);
}

VmState* GetRunningVmState() { return platformContext.runningState; }

ErrorCode RunPlatformMainLoop(VmState* L, ErrorCode (*runScript)(VmState* L)) {
  ErrorCode error = StartPipeReader();
  if (error) return error;
  platformContext.runningState = L;
  error = runScript(L);
  platformContext.runningState = nullptr;
  StopPipeReader();
  return error;
}

void SetPlatformOption(void*, int32_t id, int32_t value) {
  switch (id) {
    case PLATFORM_QUIT_CTRLC:
      platformContext.quitOnCtrlC = value;
      break;
    case PLATFORM_QUIT_LMB:
      platformContext.quitOnLeftMouse = value;
      break;
    case PLATFORM_QUIT_ESCAPE:
      platformContext.quitOnEscape = value;
      break;
    default:
      break;
  }
}

intptr_t GetPlatformBitmapAttr(const void* displayOrBitmap, int32_t code) {
  switch (code) {
    case 5:
      return 32;
    case PLATFORM_QUIT_CTRLC:
      return platformContext.quitOnCtrlC;
    case PLATFORM_QUIT_LMB:
      return platformContext.quitOnLeftMouse;
    case PLATFORM_QUIT_ESCAPE:
      return platformContext.quitOnEscape;
    case 11:
    case 12:
      return 16;
    case 16:
      return 1;
    case 17:
      return 0;
    default:
      break;
  }
  return 0;
}

int GetSystemDirectory(int32_t id, char* buffer, size_t size) {
  if (!buffer || size == 0) return 0;
  buffer[0] = '\0';
  const char* variable = id == 6 ? "HOME" : id == 7 ? "USER" : nullptr;
  if (id == 13) {
    StrCopyBounded(buffer, size, "/tmp");
    return 1;
  }
  if (!variable) return 0;
  char* value = GetEnvCopy(variable);
  if (value) StrCopyBounded(buffer, size, value);
  FreeMemory(value);
  return 1;
}

ErrorCode GetPrefsDirectory(char* buffer, size_t size) {
  if (!buffer || size == 0) return ERR_CREATEDIR;
  buffer[0] = '\0';
  char* home = GetEnvCopy("HOME");
  if (home) StrCopyBounded(buffer, size, home);
  FreeMemory(home);
  AddPart(buffer, ".quillmere-kit", size);
  MakeDirectoryNative(buffer);
  AddPart(buffer, "preferences", size);
  return MakeDirectoryNative(buffer);
}

ErrorCode OpenWithDesktop(const char* pathOrUrl) {
  StartProgram("xdg-open", pathOrUrl, 1);
  return ERR_NONE;
}

void SystemBeep() {
  std::fputc(7, stdout);
  std::fflush(stdout);
}

uint64_t GetFreeMemory(const char* meminfoPath) {
  FILE* file = std::fopen(meminfoPath, "rb");
  if (!file) return 0;
  char line[256];
  uint64_t result = 0;
  while (std::fgets(line, sizeof line, file)) {
    if (std::strncmp(line, "MemFree:", 8) != 0) continue;
    const char* p = line + 8;
    while (*p == ' ' || *p == '\t') p++;
    while (*p >= '0' && *p <= '9') result = result * 10 + static_cast<uint64_t>(*p++ - '0');
    break;
  }
  std::fclose(file);
  return result;
}

void GetNominalDpi(int32_t* horizontal, int32_t* vertical) {
  if (horizontal) *horizontal = 72;
  if (vertical) *vertical = 72;
}

int ScreenModeAvailable() { return 1; }
int DisplayEventSetupStubA() { return 0; }
int DisplayEventSetupStubB() { return 0; }
int NativeFirstDisplayHook() { return 0; }
void PlatformNoOp() {}
int PlatformNoOpZero() { return 0; }
