// Bounded strings and path pieces: copies and appends that never write
// beyond their buffer, the cut that takes the file name off a path, and the
// join of a path and a name.
// Invariant: every function that writes terminates within size bytes when
// size is at least 1, and writes nothing when it is 0.
#include <cstring>

#include "platform/linux/platform.h"

namespace {

template <typename Char>
Char* findFilePart(Char* path) {
  while (*path == '/') path++;
  Char* cut = path;
  for (Char* p = path; *p; p++) {
    if (*p == '/' || *p == '\\') {
      cut = p;
    } else if (*p == ':') {
      cut = p + 1;
    }
  }
  return cut;
}

}  // namespace

int StrCopyBounded(char* dst, size_t size, const char* src) {
  if (size == 0) return 0;
  size_t i = 0;
  for (; i + 1 < size && src[i]; i++) dst[i] = src[i];
  dst[i] = '\0';
  return src[i] == '\0' ? 1 : 0;
}

int StrAppendBounded(char* dst, size_t size, const char* src) {
  if (size == 0) return 0;
  const void* end = std::memchr(dst, '\0', size - 1);
  if (end == nullptr) {
    dst[size - 1] = '\0';
    return src[0] == '\0' ? 1 : 0;
  }
  size_t used = static_cast<size_t>(static_cast<const char*>(end) - dst);
  return StrCopyBounded(dst + used, size - used, src);
}

char* FindFilePart(char* path) { return findFilePart(path); }

const char* FindFilePart(const char* path) { return findFilePart(path); }

int AddPart(char* path, const char* name, size_t size) {
  if (size == 0) return 0;
  size_t len = strnlen(path, size);
  if (len >= size) return 0;
  if (len > 0 && path[len - 1] != '/' && path[len - 1] != '\\') {
    if (len >= size - 1) return 0;
    path[len++] = '/';
    path[len] = '\0';
  }
  StrCopyBounded(path + len, size - len, name);
  return 1;
}
