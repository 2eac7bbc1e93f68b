// The applet requester of start-up: the file requester that the display
// library routes (to a requester adapter when one took file requesters),
// or the platform's own before the display library is open.
#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "runtime/player.h"
#include "runtime/runtime.h"

namespace {

FileRequesterFunction routed = nullptr;

}  // namespace

void SetFileRequesterRouting(FileRequesterFunction function) { routed = function; }

ErrorCode RunFileRequester(VmState* L, const char* title, const char* pattern, char** directory,
                           char** file, int32_t* chosen) {
  *directory = nullptr;
  *file = nullptr;
  *chosen = 0;
  char* folder = nullptr;
  char* files = nullptr;
  int32_t count = 0;
  FileRequesterFunction request = routed ? routed : NativeFileRequester;
  ErrorCode error =
      request(L, title, pattern, 0, nullptr, nullptr, &folder, &files, &count, chosen);
  if (error != ERR_NONE || !*chosen || count < 1) {
    FreeMemory(folder);
    FreeMemory(files);
    *chosen = 0;
    return error;
  }
  // One name was asked for: the first is the file.
  *directory = folder;
  *file = files;
  return ERR_NONE;
}
