// The central open and the locks: the order in which a name is tried as
// linked data, a memory buffer, a file of an adapter plug-in and a file of
// the platform. Invariant: a failed open or lock leaves nothing allocated
// and no virtual file counted as in use.
#include <cstring>

#include "runtime/registries.h"
#include "runtime/runtime.h"
#include "runtime/stream_private.h"

namespace {

constexpr uint32_t PROTECTION_ALL = 15;

// The date that locks on linked data report: 4 November 2002, 10:30:00.
constexpr DateFields LINKED_DATA_DATE = {0, 30, 10, 4, 10, 2002};

bool writeMode(uint32_t mode) { return (mode & (STREAM_WRITE | STREAM_UPDATE)) != 0; }

}  // namespace

bool LoaderStringAdmitsInbuilt(const char* loaders) {
  if (!loaders || !loaders[0] || CompareNoCase(loaders, "default") == 0) return true;
  const char* p = loaders;
  while (*p) {
    const char* end = std::strchr(p, '|');
    size_t length = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (length == 7 && CompareNoCaseN(p, "inbuilt", 7) == 0) return true;
    if (!end) break;
    p = end + 1;
  }
  return false;
}

StreamHandle* NewAdapterStream(const FileAdapterEntry* adapter, void* file, uint32_t mode,
                               uint32_t adapterFlags) {
  auto* stream = static_cast<StreamHandle*>(AllocMemory(sizeof(StreamHandle), 1));
  if (!stream) return nullptr;
  stream->adapter = adapter;
  stream->file = file;
  stream->mode = mode;
  stream->adapterFlags = adapterFlags;
  return stream;
}

StreamHandle* OpenFileStream(const char* name, uint32_t mode, const char* loaders) {
  if (!name) return nullptr;
  auto* stream = static_cast<StreamHandle*>(AllocMemory(sizeof(StreamHandle), 1));
  if (!stream) return nullptr;
  if (IsChunkName(name)) {
    VirtualFile* file = nullptr;
    if (!ParseChunkName(name, nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, 0, &file) ||
        (file && writeMode(mode) && !file->writable)) {
      FreeMemory(stream);
      return nullptr;
    }
    if (file) {
      stream->memory = file;
      file->openStreams++;
    }
  } else if (IsMemoryFileName(name)) {
    if (writeMode(mode)) {
      FreeMemory(stream);
      return nullptr;
    }
    const auto* record = reinterpret_cast<const MemoryFileName*>(name);
    char* nameCopy = nullptr;
    auto* file = AllocRecordWithText<VirtualFile>("Unnamed", &nameCopy);
    if (!file) {
      FreeMemory(stream);
      return nullptr;
    }
    file->name = nameCopy;
    file->data = static_cast<uint8_t*>(const_cast<void*>(record->address));
    file->allocated = record->size;
    file->size = record->size;
    file->stringRef = -1;
    file->selfRef = -1;
    stream->memory = file;
    stream->ownsRecord = 1;
  }
  stream->mode = mode;
  if ((mode & STREAM_ADAPTERS) && OpenWithFileAdapters(stream, name, mode, loaders)) return stream;
  if (stream->memory) return stream;
  if (LoaderStringAdmitsInbuilt(loaders)) {
    stream->file = OpenProgdirFile(name, mode);
    if (stream->file) return stream;
  }
  FreeMemory(stream);
  return nullptr;
}

LockHandle* LockFile(const char* path, uint32_t mode, const char* loaders) {
  if (!path) return nullptr;
  auto* lock = static_cast<LockHandle*>(AllocMemory(sizeof(LockHandle), 1));
  if (!lock) return nullptr;
  if (!StrCopyBounded(lock->path, sizeof lock->path, path)) {
    FreeMemory(lock);
    return nullptr;
  }
  if (LockWithAdapters(lock, path, mode, loaders)) return lock;
  if (IsChunkName(path)) {
    uint64_t size = 0;
    VirtualFile* file = nullptr;
    if (!ParseChunkName(path, nullptr, &size, nullptr, 0, nullptr, 0, nullptr, 0, &file)) {
      FreeMemory(lock);
      return nullptr;
    }
    lock->linked = 1;
    lock->linkedSize = file ? file->size : size;
    lock->virtualFile = file;
    return lock;
  }
  if (LoaderStringAdmitsInbuilt(loaders)) {
    // A directory lock is a read lock of the platform.
    uint32_t nativeMode = mode & ~LOCK_DIRECTORY;
    lock->handle = LockPathNative(path, nativeMode ? static_cast<int>(nativeMode) : 1);
    if (lock->handle) return lock;
  }
  FreeMemory(lock);
  return nullptr;
}

int NextLockEntry(LockHandle* lock, int32_t flags, const char** name, int32_t* isDirectory,
                  FileInfo* info) {
  if (lock->dirAdapter) {
    const char* entryName = nullptr;
    FileInfo entry;
    if (!AdapterCalls().nextDirEntry(lock->dirAdapter, lock->adapterDir, &entryName, &entry))
      return 0;
    // The name lives in the lock until the next entry.
    StrCopyBounded(lock->scratch, sizeof lock->scratch, entryName ? entryName : "");
    if (name) *name = lock->scratch;
    if (isDirectory) *isDirectory = entry.isDirectory;
    if (info) *info = entry;
    return 1;
  }
  if (!lock->handle) return 0;
  if (info) std::memset(info, 0, sizeof *info);
  return NextDirEntryNative(lock->handle, flags, name, isDirectory, info);
}

ErrorCode RewindLock(LockHandle* lock, int32_t) {
  if (lock->dirAdapter) return AdapterCalls().rewindDir(lock->dirAdapter, lock->adapterDir);
  if (lock->handle && !RewindDirNative(lock->handle)) return ERR_REWINDDIR;
  return 0;
}

ErrorCode CheckLockIsDirectory(LockHandle* lock, int32_t* isDirectory) {
  if (isDirectory) *isDirectory = 0;
  if (lock->dirAdapter) {
    if (isDirectory) *isDirectory = 1;
    return 0;
  }
  if (!lock->handle) {
    if (lock->linked || lock->fileAdapter) SetErrorArgString(lock->path);
    return ERR_NOTADIR;
  }
  int32_t cont = 0;
  ErrorCode error = ExamineLockCheck(lock->handle, &cont);
  if (!error && isDirectory) *isDirectory = cont;
  return error;
}

int ExamineLock(LockHandle* lock, FileInfo* info) {
  std::memset(info, 0, sizeof *info);
  if (lock->dirAdapter) {
    info->isDirectory = 1;
    StrCopyBounded(info->name, sizeof info->name, GetDisplayFileName(lock->path));
    info->path = lock->path;
    return 1;
  }
  if (lock->fileAdapter) {
    *info = lock->adapterInfo;
    if (!info->name[0])
      StrCopyBounded(info->name, sizeof info->name, GetDisplayFileName(lock->path));
    info->path = lock->path;
    return 1;
  }
  if (lock->linked) {
    // A virtual file may have grown since it was locked; one undefined
    // since reports the size it had.
    info->size = static_cast<int64_t>(lock->virtualFile && IsVirtualStringFile(lock->virtualFile)
                                          ? lock->virtualFile->size
                                          : lock->linkedSize);
    info->protection = PROTECTION_ALL;
    int64_t t[1] = {0};
    DateToTime(&LINKED_DATA_DATE, t, 0);
    for (uint32_t& time : info->times) time = static_cast<uint32_t>(t[0]);
    StrCopyBounded(info->name, sizeof info->name, GetDisplayFileName(lock->path));
    info->path = lock->path;
    return 1;
  }
  if (!lock->handle) return 0;
  return ExamineLockNative(lock->handle, info) == 0 ? 1 : 0;
}

int NameFromLock(LockHandle* lock, char* buffer, size_t size) {
  if (!buffer || size == 0) return 0;
  if (lock->dirAdapter || lock->fileAdapter) return StrCopyBounded(buffer, size, lock->path);
  if (lock->handle) return CopyLockPath(lock->handle, buffer, size);
  if (!ResolveFullPath(".", buffer, size)) return 0;
  size_t used = std::strlen(buffer);
  if (used == 0 || buffer[used - 1] != '/') StrAppendBounded(buffer, size, "/");
  return StrAppendBounded(buffer, size, GetDisplayFileName(lock->path));
}

const char* GetLockAdapterName(LockHandle* lock) {
  if (lock->dirAdapter) return AdapterCalls().name(lock->dirAdapter);
  if (lock->fileAdapter) return AdapterCalls().name(lock->fileAdapter);
  return nullptr;
}

void UnLockFile(LockHandle* lock) {
  if (!lock) return;
  if (lock->dirAdapter) AdapterCalls().closeDir(lock->dirAdapter, lock->adapterDir);
  if (lock->handle) CloseDirNative(lock->handle);
  FreeMemory(lock);
}

int ExamineFile(const char* path, ExtendedFileInfo* info, int adapters) {
  std::memset(info, 0, sizeof *info);
  if (adapters) {
    FileInfo fi;
    if (StatWithFileAdapters(path, &fi)) {
      info->isDirectory = fi.isDirectory;
      info->size = fi.size;
      info->protection = fi.protection;
      std::memcpy(info->times, fi.times, sizeof info->times);
      StrCopyBounded(info->fullName, sizeof info->fullName, path);
      return 1;
    }
  }
  LockHandle* lock = LockFile(path, 1, nullptr);
  if (!lock) return 0;
  FileInfo fi;
  int ok = ExamineLock(lock, &fi);
  if (ok) {
    info->isDirectory = fi.isDirectory;
    info->size = fi.size;
    info->protection = fi.protection;
    std::memcpy(info->times, fi.times, sizeof info->times);
    NameFromLock(lock, info->fullName, sizeof info->fullName);
  }
  UnLockFile(lock);
  return ok;
}
