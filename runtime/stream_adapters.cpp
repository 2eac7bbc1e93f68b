// The stream layer's joins to file and directory adapter plug-ins: the
// central open's try of the file adapters (with the tag list that tells an
// adapter about linked data and memory buffers), the lock's try of the
// directory adapters and of the file adapters' Stat, and the conversion of
// their stat records.
// Invariant: a try that no adapter takes leaves the stream or lock as it
// was, so the built-in file system can still take it.
#include <cstring>

#include "runtime/runtime.h"
#include "runtime/runtime_private.h"
#include "runtime/stream_private.h"

namespace {

constexpr uint32_t LOCK_MODE_ADAPTER_READ = 1;

// The adapter's own mode word: 1 write, 2 read and write, 4 read.
int32_t adapterMode(uint32_t mode) {
  if (mode & STREAM_WRITE) return QM_FOPEN_WRITE;
  if (mode & STREAM_UPDATE) return QM_FOPEN_UPDATE;
  return QM_FOPEN_READ;
}

struct OpenTry {
  StreamHandle* stream;
  const char* name;  // as the adapters get it
  int32_t mode;
  const QmTagItem* tags;
};

int tryOpen(const FileAdapterEntry* adapter, void* data) {
  auto* t = static_cast<OpenTry*>(data);
  if (adapter->bridge || !adapter->ops->open) return 0;
  uint32_t before = t->stream->adapterFlags;
  void* file = adapter->ops->open(t->name, t->mode, t->tags);
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
  if (adapter->bridge || !adapter->ops->openDir) return 0;
  void* dir = adapter->ops->openDir(t->lock->path, t->mode);
  if (!dir) return 0;
  t->lock->dirAdapter = adapter;
  t->lock->adapterDir = dir;
  return 1;
}

int tryStat(const FileAdapterEntry* adapter, void* data) {
  auto* t = static_cast<LockTry*>(data);
  if (adapter->bridge || !adapter->ops->stat) return 0;
  QmAdapterStat stat;
  PresetAdapterStat(&stat);
  if (!adapter->ops->stat(t->lock->path, &stat)) return 0;
  t->lock->fileAdapter = adapter;
  AdapterStatToFileInfo(&stat, &t->lock->adapterInfo);
  t->lock->adapterInfo.path = t->lock->path;
  return 1;
}

uint32_t timeOf(const int32_t fields[6]) {
  DateFields date{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
  int64_t t[1] = {0};
  return DateToTime(&date, t, 0) ? static_cast<uint32_t>(t[0]) : 0;
}

}  // namespace

void PresetAdapterStat(QmAdapterStat* stat) {
  std::memset(stat, 0, sizeof *stat);
  DateFields start;
  GetStartDateStamp(&start);
  const int32_t fields[6] = {start.seconds, start.minutes, start.hours,
                             start.day,     start.month,   start.year};
  for (auto& date : stat->dates) std::memcpy(date, fields, sizeof fields);
}

void AdapterStatToFileInfo(const QmAdapterStat* stat, FileInfo* info) {
  std::memset(info, 0, sizeof *info);
  info->isDirectory = stat->type == 1 || (stat->flags & QM_ADAPTERSTAT_DIRECTORY) ? 1 : 0;
  info->size = stat->size;
  info->protection = stat->flags & ~uint32_t{QM_ADAPTERSTAT_DIRECTORY};
  if (stat->name) StrCopyBounded(info->name, sizeof info->name, stat->name);
  for (int i = 0; i < 3; ++i) info->times[i] = timeOf(stat->dates[i]);
  std::memcpy(info->adapterWords, stat->words, sizeof info->adapterWords);
}

int OpenWithFileAdapters(StreamHandle* stream, const char* name, uint32_t mode,
                         const char* loaders) {
  bool chunk = IsChunkName(name), memory = !chunk && IsMemoryFileName(name);
  char stored[LOCK_PATH_SIZE] = "", extra[LOCK_PATH_SIZE] = "";
  uint64_t offset = 0, size = 0;
  QmTagItem tags[6] = {};
  int n = 0;
  tags[n++] = {QM_FOPENTAG_FLAGS, reinterpret_cast<uintptr_t>(&stream->adapterFlags)};
  const char* passed = name;
  char* latin1 = nullptr;
  if (chunk) {
    VirtualFile* file = nullptr;
    if (!ParseChunkName(name, &offset, &size, stored, sizeof stored, extra, sizeof extra, nullptr,
                        0, &file))
      return 0;
    if (file) {
      tags[n++] = {QM_FOPENTAG_DATA, reinterpret_cast<uintptr_t>(file->data)};
      size = file->size;
    } else {
      tags[n++] = {QM_FOPENTAG_PATH, reinterpret_cast<uintptr_t>(extra)};
      tags[n++] = {QM_FOPENTAG_OFFSET, static_cast<uintptr_t>(offset)};
    }
    tags[n++] = {QM_FOPENTAG_SIZE, static_cast<uintptr_t>(size)};
    passed = stored;
  } else if (memory) {
    const auto* record = reinterpret_cast<const MemoryFileName*>(name);
    tags[n++] = {QM_FOPENTAG_DATA, reinterpret_cast<uintptr_t>(record->address)};
    tags[n++] = {QM_FOPENTAG_SIZE, static_cast<uintptr_t>(record->size)};
    passed = stream->memory && stream->memory->name ? stream->memory->name : "Unnamed";
  } else if (mode & STREAM_LATIN1NAME) {
    latin1 = Utf8ToLatin1Dup(name);
    if (!latin1) return 0;
    passed = latin1;
  }
  OpenTry t{stream, passed, adapterMode(mode), tags};
  int taken = GetPluginManagerHooks()->visitFileAdapters(PLUGINCAPS_FILEADAPTER, loaders,
                                                         chunk || memory, tryOpen, &t);
  FreeMemory(latin1);
  return taken;
}

int LockWithAdapters(LockHandle* lock, const char* path, uint32_t mode, const char* loaders) {
  LockTry t{lock, static_cast<int32_t>(mode ? mode : LOCK_MODE_ADAPTER_READ)};
  if ((mode & LOCK_DIRECTORY) && !IsChunkName(path) &&
      GetPluginManagerHooks()->visitFileAdapters(PLUGINCAPS_DIRADAPTER, loaders, 0, tryOpenDir, &t))
    return 1;
  return GetPluginManagerHooks()->visitFileAdapters(PLUGINCAPS_FILEADAPTER, loaders, 0, tryStat,
                                                    &t);
}

int FileAdaptersAsked(const char* loaders) {
  return GetPluginManagerHooks()->visitFileAdapters(
      PLUGINCAPS_FILEADAPTER, loaders, 0, [](const FileAdapterEntry*, void*) { return 1; },
      nullptr);
}

int StatWithFileAdapters(const char* path, FileInfo* info) {
  // Every file adapter in list order, whatever a loader string would admit.
  auto* lock = static_cast<LockHandle*>(AllocMemory(sizeof(LockHandle), 1));
  if (!lock) return 0;
  int found = 0;
  if (StrCopyBounded(lock->path, sizeof lock->path, path)) {
    LockTry t{lock, LOCK_MODE_ADAPTER_READ};
    found =
        GetPluginManagerHooks()->visitFileAdapters(PLUGINCAPS_FILEADAPTER, nullptr, 0, tryStat, &t);
    if (found) {
      *info = lock->adapterInfo;
      info->path = nullptr;
    }
  }
  FreeMemory(lock);
  return found;
}
