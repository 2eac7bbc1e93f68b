// Read locks on files and directories, directory listings and the volume
// queries. A lock keeps its path twice: in the script's text mode (handed
// out) and in UTF-8 (for the system), the latter with room behind it for
// one entry name so that listings can stat each entry by its full path.
// Invariant: native[nativeLength] is where an entry's "/name" is appended.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/linux/files_private.h"
#include "platform/linux/platform.h"

namespace {

constexpr size_t ENTRY_NAME_MAX = 255;  // NAME_MAX of Linux file systems

}  // namespace

struct NativeLock {
  char* path;    // text mode
  DIR* dir;      // a directory lock
  int fd;        // a file lock, else -1
  char* native;  // UTF-8 path, room for "/" + entry name + terminator
  size_t nativeLength;
  char name[ENTRY_NAME_MAX + 1];  // the current entry's name in text mode
};

NativeLock* LockPathNative(const char* name, int mode) {
  if (mode != 1) {
    std::printf("QMOS_LOCK_WRITE unsupported.\n");
    return nullptr;
  }
  if (!name) return nullptr;
  char plain[NATIVE_PATH_MAX], resolved[NATIVE_PATH_MAX];
  if (!GetNativePath(name, plain, sizeof plain, 0) || !ResolveNativePath(0, resolved, plain))
    return nullptr;

  auto* lock = static_cast<NativeLock*>(AllocMemory(sizeof(NativeLock), 1));
  if (!lock) return nullptr;
  lock->fd = -1;
  size_t length = std::strlen(resolved);
  lock->path = static_cast<char*>(AllocMemory(length + 1, 0));
  char* utf8 = unicodeUtf8Mode ? nullptr : Latin1ToUtf8Dup(resolved);
  const char* system = utf8 ? utf8 : resolved;
  size_t nativeLength = std::strlen(system);
  // The path, a slash, a name of up to 255 bytes and the terminator.
  lock->native = static_cast<char*>(AllocMemory(nativeLength + 1 + ENTRY_NAME_MAX + 1, 0));
  bool ok = lock->path && lock->native && (unicodeUtf8Mode || utf8);
  if (ok) {
    std::memcpy(lock->path, resolved, length + 1);
    std::memcpy(lock->native, system, nativeLength + 1);
    lock->nativeLength = nativeLength;
    struct stat st;
    if (stat(lock->native, &st) != 0) {
      ok = false;
    } else if (S_ISDIR(st.st_mode)) {
      lock->dir = opendir(lock->native);
      ok = lock->dir != nullptr;
    } else if (S_ISREG(st.st_mode)) {
      do lock->fd = open(lock->native, O_RDONLY | O_CLOEXEC);
      while (lock->fd < 0 && errno == EINTR);
      ok = lock->fd >= 0;
    } else {
      ok = false;
    }
  }
  FreeMemory(utf8);
  if (!ok) {
    CloseDirNative(lock);
    return nullptr;
  }
  return lock;
}

int NextDirEntryNative(NativeLock* lock, int32_t, const char** name, int32_t* isDirectory,
                       FileInfo* info) {
  if (!lock || !lock->dir) return 0;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(lock->dir);
    if (!entry) return 0;
    const char* entryName = entry->d_name;
    if (std::strcmp(entryName, ".") == 0 || std::strcmp(entryName, "..") == 0) continue;
    size_t entryLength = std::strlen(entryName);
    if (entryLength > ENTRY_NAME_MAX) continue;
    size_t at = lock->nativeLength;
    if (at == 0 || lock->native[at - 1] != '/') lock->native[at++] = '/';
    std::memcpy(lock->native + at, entryName, entryLength + 1);
    // An entry is what it leads to; a link that leads nowhere is listed as
    // the link itself, so that tree walks still see, copy and delete it.
    struct stat st;
    int r = stat(lock->native, &st);
    if (r != 0) r = lstat(lock->native, &st);
    lock->native[lock->nativeLength] = '\0';
    if (r != 0) continue;
    if (unicodeUtf8Mode)
      StrCopyBounded(lock->name, sizeof lock->name, entryName);
    else
      Utf8ToLatin1Copy(entryName, lock->name, sizeof lock->name);
    if (name) *name = lock->name;
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
    if (info) {
      FillFileInfoFromStat(&st, info);
      info->path = lock->path;
    }
    return 1;
  }
}

int RewindDirNative(NativeLock* lock) {
  if (lock && lock->dir) rewinddir(lock->dir);
  return 1;
}

void CloseDirNative(NativeLock* lock) {
  if (!lock) return;
  if (lock->dir) closedir(lock->dir);
  if (lock->fd >= 0) close(lock->fd);
  FreeMemory(lock->path);
  FreeMemory(lock->native);
  FreeMemory(lock);
}

int ExamineLockNative(NativeLock* lock, FileInfo* info) {
  struct stat st;
  int r = lock->dir ? stat(lock->native, &st) : fstat(lock->fd, &st);
  if (r != 0) return -1;
  FillFileInfoFromStat(&st, info);
  info->path = lock->path;
  return 0;
}

ErrorCode ExamineLockCheck(NativeLock* lock, int32_t* cont) {
  if (!lock->dir) {
    SetPlatformErrorArgString(lock->path);
    return ERR_NOTADIR;
  }
  if (cont) *cont = 1;
  return 0;
}

int CopyLockPath(NativeLock* lock, char* buffer, size_t size) {
  return StrCopyBounded(buffer, size, lock->path);
}

int IsVolumeRoot(const char* path) {
  char native[NATIVE_PATH_MAX], resolved[NATIVE_PATH_MAX];
  if (!path || !GetNativePath(path, native, sizeof native, 1) || !realpath(native, resolved))
    return 1;
  if (std::strcmp(resolved, "/") == 0) return 1;
  char parent[NATIVE_PATH_MAX];
  StrCopyBounded(parent, sizeof parent, resolved);
  char* slash = std::strrchr(parent, '/');
  if (slash == parent)
    parent[1] = '\0';
  else if (slash)
    *slash = '\0';
  struct statvfs a, b;
  if (statvfs(resolved, &a) != 0 || statvfs(parent, &b) != 0) return 1;
  return a.f_fsid != b.f_fsid ? 1 : 0;
}

int GetVolumeNameNative(const char*, char* buffer, size_t size) {
  StrCopyBounded(buffer, size, "unimplemented");
  return 0;
}

int GetVolumeSpaceNative(const char*, uint64_t* total, uint64_t* free) {
  if (total) *total = 0;
  if (free) *free = 0;
  return 0;
}

int NativeVolumeQueryStub() { return 0; }

void FileOperationDoneHook() {}
