// The stream layer's joins to file and directory adapter plug-ins, which it
// calls through the plug-in manager's FileAdapterCalls: the central open's
// try of the file adapters (telling an adapter about linked data and memory
// buffers), and the lock's try of the directory adapters and of the file
// adapters' information about a path.
// Invariant: a try that no adapter takes leaves the stream or lock as it
// was, so the built-in file system can still take it.
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"
#include "runtime/stream_private.h"

namespace {

constexpr uint32_t LOCK_MODE_ADAPTER_READ = 1;

struct OpenTry {
  StreamHandle* stream;
  const char* name;  // as the adapters get it
  const AdapterOpenRequest* request;
};

int tryOpen(const FileAdapterEntry* adapter, void* data) {
  auto* t = static_cast<OpenTry*>(data);
  uint32_t before = t->stream->adapterFlags;
  void* file = AdapterCalls().open(adapter, t->name, t->request);
  if (!file) {
    t->stream->adapterFlags = before;  // a refusing adapter's word is not kept
    return 0;
  }
  t->stream->adapter = adapter;
  t->stream->file = file;
  return 1;
}

struct LockTry {
  LockHandle* lock;
  int32_t mode;
};

int tryOpenDir(const FileAdapterEntry* adapter, void* data) {
  auto* t = static_cast<LockTry*>(data);
  void* dir = AdapterCalls().openDir(adapter, t->lock->path, t->mode);
  if (!dir) return 0;
  t->lock->dirAdapter = adapter;
  t->lock->adapterDir = dir;
  return 1;
}

int tryStat(const FileAdapterEntry* adapter, void* data) {
  auto* t = static_cast<LockTry*>(data);
  FileInfo info;
  if (!AdapterCalls().examinePath(adapter, t->lock->path, &info)) return 0;
  t->lock->fileAdapter = adapter;
  t->lock->adapterInfo = info;
  t->lock->adapterInfo.path = t->lock->path;
  return 1;
}

}  // namespace

int OpenWithFileAdapters(StreamHandle* stream, const char* name, uint32_t mode,
                         const char* loaders) {
  bool chunk = IsChunkName(name), memory = !chunk && IsMemoryFileName(name);
  char stored[LOCK_PATH_SIZE] = "", extra[LOCK_PATH_SIZE] = "";
  uint64_t offset = 0, size = 0;
  AdapterOpenRequest request = {};
  request.mode = mode;
  request.flags = &stream->adapterFlags;
  const char* passed = name;
  char* latin1 = nullptr;
  if (chunk) {
    VirtualFile* file = nullptr;
    if (!ParseChunkName(name, &offset, &size, stored, sizeof stored, extra, sizeof extra, nullptr,
                        0, &file))
      return 0;
    if (file) {
      request.source = ADAPTER_SOURCE_MEMORY;
      request.data = file->data;
      size = file->size;
    } else {
      request.source = ADAPTER_SOURCE_RANGE;
      request.path = extra;
      request.offset = offset;
    }
    request.size = size;
    passed = stored;
  } else if (memory) {
    const auto* record = reinterpret_cast<const MemoryFileName*>(name);
    request.source = ADAPTER_SOURCE_MEMORY;
    request.data = record->address;
    request.size = record->size;
    passed = stream->memory && stream->memory->name ? stream->memory->name : "Unnamed";
  } else if (mode & STREAM_LATIN1NAME) {
    latin1 = Utf8ToLatin1Dup(name);
    if (!latin1) return 0;
    passed = latin1;
  }
  OpenTry t{stream, passed, &request};
  int taken = GetPluginManagerHooks()->visitFileAdapters(ADAPTER_KIND_FILE, loaders,
                                                         chunk || memory, tryOpen, &t);
  FreeMemory(latin1);
  return taken;
}

int LockWithAdapters(LockHandle* lock, const char* path, uint32_t mode, const char* loaders) {
  LockTry t{lock, static_cast<int32_t>(mode ? mode : LOCK_MODE_ADAPTER_READ)};
  if ((mode & LOCK_DIRECTORY) && !IsChunkName(path) &&
      GetPluginManagerHooks()->visitFileAdapters(ADAPTER_KIND_DIRECTORY, loaders, 0, tryOpenDir,
                                                 &t))
    return 1;
  return GetPluginManagerHooks()->visitFileAdapters(ADAPTER_KIND_FILE, loaders, 0, tryStat, &t);
}

int FileAdaptersAsked(const char* loaders) {
  return GetPluginManagerHooks()->visitFileAdapters(
      ADAPTER_KIND_FILE, loaders, 0, [](const FileAdapterEntry*, void*) { return 1; }, nullptr);
}

int StatWithFileAdapters(const char* path, FileInfo* info) {
  // Every file adapter in list order, whatever a loader string would admit.
  auto* lock = static_cast<LockHandle*>(AllocMemory(sizeof(LockHandle), 1));
  if (!lock) return 0;
  int found = 0;
  if (StrCopyBounded(lock->path, sizeof lock->path, path)) {
    LockTry t{lock, LOCK_MODE_ADAPTER_READ};
    found = GetPluginManagerHooks()->visitFileAdapters(ADAPTER_KIND_FILE, nullptr, 0, tryStat, &t);
    if (found) {
      *info = lock->adapterInfo;
      info->path = nullptr;
    }
  }
  FreeMemory(lock);
  return found;
}
