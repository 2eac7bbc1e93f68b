// The running program's absolute path, recorded once at start-up. The path
// is kept as the file system gives it (UTF-8); readers in 8-bit text mode
// get a Latin-1 copy. Invariant: programPath is empty or an absolute path.
#include <climits>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/files_private.h"

namespace {

// The program's own path, the same for the whole process.
char programPath[NATIVE_PATH_MAX];
bool recorded = false;

// The kernel's link to the executable: right even when the program was
// found through PATH, where realpath of the first argument fails.
void readExecutableLink() {
  ssize_t n = readlink("/proc/self/exe", programPath, sizeof programPath - 1);
  programPath[n > 0 ? n : 0] = '\0';
}

}  // namespace

void RecordProgramPath(const char* argv0) {
  char resolved[PATH_MAX];
  programPath[0] = '\0';
  if (argv0 && std::strchr(argv0, '/') && realpath(argv0, resolved))
    StrCopyBounded(programPath, sizeof programPath, resolved);
  else
    readExecutableLink();
  recorded = true;
}

int GetProgramPath(char* buffer, size_t size, int raw) {
  if (!buffer || size == 0) return 0;
  if (!recorded) RecordProgramPath(nullptr);
  buffer[0] = '\0';
  if (!programPath[0]) return 0;
  if (unicodeUtf8Mode || raw) {
    if (StrCopyBounded(buffer, size, programPath)) return 1;
    buffer[0] = '\0';
    return 0;
  }
  // The Latin-1 form is never longer than the UTF-8 form, so a buffer that
  // holds the latter holds the whole converted path.
  if (std::strlen(programPath) >= size) return 0;
  Utf8ToLatin1Copy(programPath, buffer, size);
  return 1;
}
