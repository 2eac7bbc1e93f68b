// File and directory adapters as the stream layer sees them: each
// plug-in's entry points gathered into one record that streams and locks
// point at, the walk over the adapters a loader string admits, and the
// calls of an adapter in the stream layer's terms (FileAdapterCalls: mode
// words, tag lists and stat records of the plug-in interface made from and
// into the runtime's).
// Invariant: a record lives as long as its plug-in; streams and locks that
// point at it are closed before the plug-ins are.
#include <cstring>

#include "platform/linux/platform.h"
#include "plugins/plugin_private.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

template <typename F>
F entryOf(PluginBase* base, PluginEntryIndex index) {
  return reinterpret_cast<F>(PluginEntryOf(base, index));
}

const FileAdapterEntry* adapterEntry(PluginBase* base) {
  PluginRecord* r = RecordOf(base);
  FileAdapterOps& o = r->fileOps;
  o.open = entryOf<QmFOpenFunc>(base, PE_FOpen);
  o.close = entryOf<QmFCloseFunc>(base, PE_FClose);
  o.read = entryOf<QmFReadFunc>(base, PE_FRead);
  o.write = entryOf<QmFWriteFunc>(base, PE_FWrite);
  o.seek = entryOf<QmFSeekFunc>(base, PE_FSeek);
  o.getChar = entryOf<QmFGetCFunc>(base, PE_FGetC);
  o.putChar = entryOf<QmFPutCFunc>(base, PE_FPutC);
  o.eof = entryOf<QmFEofFunc>(base, PE_FEof);
  o.flush = entryOf<QmFFlushFunc>(base, PE_FFlush);
  o.fstat = entryOf<QmFStatFunc>(base, PE_FStat);
  o.stat = entryOf<QmStatFunc>(base, PE_Stat);
  o.openDir = entryOf<QmOpenDirFunc>(base, PE_OpenDir);
  o.closeDir = entryOf<QmCloseDirFunc>(base, PE_CloseDir);
  o.nextDirEntry = entryOf<QmNextDirEntryFunc>(base, PE_NextDirEntry);
  o.rewindDir = entryOf<QmRewindDirFunc>(base, PE_RewindDir);
  r->fileAdapter = FileAdapterEntry{&r->fileOps, base->moduleName, IsBridgedPlugin(base) ? 1 : 0};
  return &r->fileAdapter;
}

bool skipAdapter(const PluginBase* base, uint32_t capability, const char* loaders, int linkedData) {
  if (base->disabled) return true;
  uint32_t flags =
      capability == PLUGINCAPS_FILEADAPTER ? base->fileAdapterFlags : base->dirAdapterFlags;
  uint32_t overrideBit =
      capability == PLUGINCAPS_FILEADAPTER ? QM_FILEADAPTER_OVERRIDE : uint32_t{1};
  if ((flags & overrideBit) && !base->overrideWord) return true;
  if (linkedData && capability == PLUGINCAPS_FILEADAPTER && !(flags & QM_FILEADAPTER_LINKEDDATA))
    return true;
  if (!IsLoaderAllowed(loaders, base->moduleName, 1)) return true;
  if (base->mustBeNamed && !IsLoaderNamed(loaders, base->moduleName)) return true;
  return false;
}

}  // namespace

int VisitFileAdapters(uint32_t capability, const char* loaders, int linkedData,
                      int (*visit)(const FileAdapterEntry* adapter, void* data), void* data) {
  if (CollectLoaderPlugins(loaders, capability) != ERR_NONE) return 0;
  for (LoaderNode* n = GetPluginListForType(capability); n; n = n->next) {
    if (skipAdapter(n->base, capability, loaders, linkedData)) continue;
    if (int result = visit(adapterEntry(n->base), data)) return result;
  }
  return 0;
}

namespace {

// The calls of an adapter in the stream layer's terms (FileAdapterCalls).
// A call the adapter lacks, or any call of a plug-in behind the call
// bridge, answers as NullAdapterHook does.
template <typename F, typename... A>
auto callOps(const FileAdapterEntry* adapter, F FileAdapterOps::*slot, A... args)
    -> decltype((adapter->ops->*slot)(args...)) {
  using R = decltype((adapter->ops->*slot)(args...));
  F call = adapter->ops->*slot;
  if (adapter->bridge || !call) return static_cast<R>(NullAdapterHook());
  return call(args...);
}

// Stat records are preset with the run's start stamp as every date before
// each call, and converted to file information.
void presetStat(QmAdapterStat* stat) {
  std::memset(stat, 0, sizeof *stat);
  DateFields start;
  GetStartDateStamp(&start);
  const int32_t fields[6] = {start.seconds, start.minutes, start.hours,
                             start.day,     start.month,   start.year};
  for (auto& date : stat->dates) std::memcpy(date, fields, sizeof fields);
}

uint32_t timeOf(const int32_t fields[6]) {
  DateFields date{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
  int64_t t[1] = {0};
  return DateToTime(&date, t, 0) ? static_cast<uint32_t>(t[0]) : 0;
}

void statToFileInfo(const QmAdapterStat* stat, FileInfo* info) {
  std::memset(info, 0, sizeof *info);
  info->isDirectory = stat->type == 1 || (stat->flags & QM_ADAPTERSTAT_DIRECTORY) ? 1 : 0;
  info->size = stat->size;
  info->protection = stat->flags & ~uint32_t{QM_ADAPTERSTAT_DIRECTORY};
  if (stat->name) StrCopyBounded(info->name, sizeof info->name, stat->name);
  for (int i = 0; i < 3; ++i) info->times[i] = timeOf(stat->dates[i]);
  std::memcpy(info->adapterWords, stat->words, sizeof info->adapterWords);
}

const char* adapterName(const FileAdapterEntry* adapter) { return adapter->pluginName; }

// FOpen gets the mode word of the plug-in interface (1 write, 2 read and
// write, 4 read) and the tag list that tells it about the stream's flags
// word, linked data and memory buffers.
void* openFile(const FileAdapterEntry* adapter, const char* name,
               const AdapterOpenRequest* request) {
  if (adapter->bridge || !adapter->ops->open) return nullptr;
  int32_t mode = (request->mode & STREAM_WRITE)    ? QM_FOPEN_WRITE
                 : (request->mode & STREAM_UPDATE) ? QM_FOPEN_UPDATE
                                                   : QM_FOPEN_READ;
  QmTagItem tags[6] = {};
  int n = 0;
  tags[n++] = {QM_FOPENTAG_FLAGS, reinterpret_cast<uintptr_t>(request->flags)};
  if (request->source == ADAPTER_SOURCE_MEMORY) {
    tags[n++] = {QM_FOPENTAG_DATA, reinterpret_cast<uintptr_t>(request->data)};
  } else if (request->source == ADAPTER_SOURCE_RANGE) {
    tags[n++] = {QM_FOPENTAG_PATH, reinterpret_cast<uintptr_t>(request->path)};
    tags[n++] = {QM_FOPENTAG_OFFSET, static_cast<uintptr_t>(request->offset)};
  }
  if (request->source != ADAPTER_SOURCE_NAME)
    tags[n++] = {QM_FOPENTAG_SIZE, static_cast<uintptr_t>(request->size)};
  return adapter->ops->open(name, mode, tags);
}

int32_t closeFile(const FileAdapterEntry* adapter, void* file) {
  return callOps(adapter, &FileAdapterOps::close, file);
}
size_t readFile(const FileAdapterEntry* adapter, void* file, void* buffer, size_t length) {
  return callOps(adapter, &FileAdapterOps::read, file, buffer, length);
}
size_t writeFile(const FileAdapterEntry* adapter, void* file, const void* buffer, size_t length) {
  return callOps(adapter, &FileAdapterOps::write, file, buffer, length);
}
int64_t seekFile(const FileAdapterEntry* adapter, void* file, int64_t offset, int32_t mode) {
  return callOps(adapter, &FileAdapterOps::seek, file, offset, mode);
}
int32_t getChar(const FileAdapterEntry* adapter, void* file) {
  return callOps(adapter, &FileAdapterOps::getChar, file);
}
int32_t putChar(const FileAdapterEntry* adapter, void* file, int32_t byte) {
  return callOps(adapter, &FileAdapterOps::putChar, file, byte);
}
int32_t atEnd(const FileAdapterEntry* adapter, void* file) {
  return callOps(adapter, &FileAdapterOps::eof, file);
}
int32_t flushFile(const FileAdapterEntry* adapter, void* file) {
  return callOps(adapter, &FileAdapterOps::flush, file);
}

int examineFile(const FileAdapterEntry* adapter, void* file, FileInfo* info) {
  QmAdapterStat stat;
  presetStat(&stat);
  if (!callOps(adapter, &FileAdapterOps::fstat, file, &stat)) return 0;
  statToFileInfo(&stat, info);
  return 1;
}

int examinePath(const FileAdapterEntry* adapter, const char* path, FileInfo* info) {
  if (adapter->bridge || !adapter->ops->stat) return 0;
  QmAdapterStat stat;
  presetStat(&stat);
  if (!adapter->ops->stat(path, &stat)) return 0;
  statToFileInfo(&stat, info);
  return 1;
}

void* openDir(const FileAdapterEntry* adapter, const char* path, int32_t mode) {
  if (adapter->bridge || !adapter->ops->openDir) return nullptr;
  return adapter->ops->openDir(path, mode);
}

int nextDirEntry(const FileAdapterEntry* adapter, void* dir, const char** name, FileInfo* info) {
  QmAdapterStat stat;
  presetStat(&stat);
  if (!callOps(adapter, &FileAdapterOps::nextDirEntry, dir, &stat)) return 0;
  statToFileInfo(&stat, info);
  *name = stat.name;
  return 1;
}

ErrorCode rewindDir(const FileAdapterEntry* adapter, void* dir) {
  if (!adapter->ops->rewindDir) return ERR_PLUGINSUPPORT;
  if (adapter->bridge || !adapter->ops->rewindDir(dir)) return ERR_REWINDDIR;
  return ERR_NONE;
}

void closeDir(const FileAdapterEntry* adapter, void* dir) {
  if (adapter->bridge)
    NullAdapterHook();
  else if (adapter->ops->closeDir)
    adapter->ops->closeDir(dir);
}

const FileAdapterCalls FILE_ADAPTER_CALLS = {
    adapterName, openFile,  closeFile,   readFile,    writeFile, seekFile,     getChar,   putChar,
    atEnd,       flushFile, examineFile, examinePath, openDir,   nextDirEntry, rewindDir, closeDir,
};

}  // namespace

const FileAdapterCalls* GetFileAdapterCalls() { return &FILE_ADAPTER_CALLS; }

int VisitAdaptersOfKind(uint32_t kind, const char* loaders, int linkedData,
                        int (*visit)(const FileAdapterEntry* adapter, void* data), void* data) {
  uint32_t capability =
      kind == ADAPTER_KIND_DIRECTORY ? PLUGINCAPS_DIRADAPTER : PLUGINCAPS_FILEADAPTER;
  return VisitFileAdapters(capability, loaders, linkedData, visit, data);
}
