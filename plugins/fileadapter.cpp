// File and directory adapters as the stream layer sees them: each
// plug-in's entry points gathered into one record that streams and locks
// point at, and the walk over the adapters a loader string admits.
// Invariant: a record lives as long as its plug-in; streams and locks that
// point at it are closed before the plug-ins are.
#include "plugins/plugin_private.h"
#include "plugins/plugins.h"

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
