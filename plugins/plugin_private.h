// The plug-in folder's own declarations beside plugins/plugins.h: the
// loader, manager, pack, extension and picture-handle internals; and the
// host's side of a loaded plug-in: the record that holds its
// PluginBase head, the entry points the loader resolved and the lists the
// manager keeps for it; and the table of entry points by capability.
//
// Invariant: PluginRecord::base is the first member, so a PluginBase*
// handed to a plug-in converts back to its record; entry[i] is non-null
// only when its capability (and extension bit) was declared and the loader
// resolved it.
#pragma once

#include <cstdint>

#include "plugins/plugins.h"
#include "runtime/runtime.h"

// ---- Plug-in loader ----

// Loads and checks one ".qmp" file: 0 with *mask and *handle, else an
// error code with the error argument set (1000, 1400, 1459, 1483, 1520,
// 1521, or the loader-list error).
ErrorCode OpenPluginLibrary(const char* path, uint32_t* mask, PluginHandle** handle);
void ClosePluginLibrary(PluginHandle* handle);  // null is ignored

// ---- Plug-in manager ----

// Scans one directory as above.
ErrorCode ScanPluginsIn(const char* directory, const char* skipList, int32_t* count);
// The start-up's abort check between files (non-zero ends the scan).
using PluginScanAbortCheck = ErrorCode (*)();
void SetPluginScanAbortCheck(PluginScanAbortCheck check);
// 1003 with the entry when that module is loaded already (or force is 0 and
// it is known); else loads it and returns 0.
ErrorCode ProbePluginFile(const char* path, int force, PluginEntry** entry);
ErrorCode RegisterFormatPlugin(VmState* L, PluginEntry* entry);
ErrorCode RegisterPluginLibrary(VmState* L, PluginEntry* entry, int withCommands,
                                int withConstants);

// Loader lists, one per loader capability (0x4, 0x8, 0x10, 0x40, 0x4000,
// 0x8000, 0x40000).
ErrorCode AddToLoaderList(PluginBase* base, uint32_t capability);
void RemoveFromLoaderList(PluginBase* base, uint32_t capability);
void SetPluginListHead(void** record, uint32_t capability, void* value);

PluginEntry* FindPluginByBase(const PluginBase* base);
// "inbuilt" for 0, "native" for 1, else the plug-in's module name.
const char* GetLoaderName(int32_t index, const PluginBase* base);

// Loader strings: '|'-separated names, matched without regard to case.
bool IsDefaultLoaderString(const char* loaders);
ErrorCode CollectLoaderPlugins(const char* loaders, uint32_t capability);

QmPluginListNode* GetLoadedPluginArray();
void FreeLoadedPluginArray(QmPluginListNode* array);
void SetPluginDisabled(PluginBase* base, int32_t flag);
void SetPluginUserData(PluginBase* base, uintptr_t value);
uintptr_t GetPluginUserData(PluginBase* base);
PluginNode* AddPluginNode(PluginBase* base, int32_t id, const char* name, const char* text2,
                          const char* text3, uintptr_t value, uint32_t flags);

// The saver formats a plug-in registered (capability 0x80, 0x100 or 0x200);
// *count receives their number.
const SaverFormatEntry* GetPluginSaverFormats(PluginBase* base, uint32_t capability,
                                              int32_t* count);
// The first enabled plug-in in list order with the capability, its entry
// points (usable(base)) and formatId among its saver formats; notFound when
// none. Plug-ins behind the call bridge are never used: the bridge answers
// 0 on this platform, which no save survives.
ErrorCode FindSaverFormat(uint32_t capability, int32_t formatId, bool (*usable)(PluginBase* base),
                          ErrorCode notFound, SaverFormat* out);

// ---- File and directory adapters as the runtime's stream layer calls them ----

// The adapters' calls in the stream layer's terms (runtime/runtime.h), and
// VisitFileAdapters for an ADAPTER_KIND_ (the runtime's visitFileAdapters).
const FileAdapterCalls* GetFileAdapterCalls();
int VisitAdaptersOfKind(uint32_t kind, const char* loaders, int linkedData,
                        int (*visit)(const FileAdapterEntry* adapter, void* data), void* data);

// ---- Vocabulary listing ----

// Per loaded plug-in: "::plugin", "version.revision", the capability mask,
// its eight information texts; for a library plug-in "::commands" and its
// commands (each followed by its two help texts when withHelp is set),
// then "::constants" and its constants. Then "::end". 0 or ERR_WRITE.
ErrorCode DumpPluginInfo(StreamHandle* file, int withHelp);

// ---- Appended plug-in pack ----

// The run's temporary directory: made on first need; empty until then.
ErrorCode GetPluginTempDirectory(const char** path);

// ---- VM extension records ----

// Before a built-in command runs: the first enabled record whose key list
// holds command runs its hook instead; returns true with its result then.
bool CallPluginCommandHook(VmState* L, int (*command)(VmState*), int* result);
// Before a raise unwinds: the hook that is running is told the status.
void CallPluginErrorHandler(VmState* L, ErrorCode status);
QmExtensionRecord* AddExtensionRecord(QmCommandHook hook, void* userData);
void RemoveExtensionRecord(QmExtensionRecord* record);  // ignored when not listed
ErrorCode AddExtensionKey(QmExtensionRecord* record, QmCommandFunction command);
void FreeExtensionRecords();

// ---- Picture handles (what other folders call is in plugins/plugins.h) ----

struct PictureHandle {
  PluginBase* loader;   // null for the system's own loaders and native handles
  void* image;          // the loader's image handle
  uint32_t* pixels;     // 0xAARRGGBB, width x 4 bytes a row
  uint32_t* converted;  // scaled copy, null until made
  int32_t refCount;
  int32_t ownsPixels;
  int32_t native;
  int32_t bridge;
  uintptr_t nativeFormat;
  void (*nativeClose)(void* image);
  uintptr_t nativeWord;
  void* nativeTransform;
  int32_t renderWidth;
  int32_t renderHeight;
  int32_t width;
  int32_t height;
  int32_t hasAlpha;
  int32_t isVector;
  // A vector picture's own size, which renderings at other sizes leave
  // alone (0: the size above).
  int32_t sourceWidth;
  int32_t sourceHeight;
  // A host renderer's picture: drawn again by render, data released with
  // the handle.
  PictureRenderer renderer;
  void (*rendererRelease)(void* data);
  void* rendererData;
};
PictureHandle* NewPictureHandle(void* image, uintptr_t format, void (*close)(void*), uintptr_t word,
                                void* transform, int32_t width, int32_t height, int32_t bridge);
int PictureHandleOwnsPixels(PictureHandle* handle);

ErrorCode GetPictureInfo(const char* name, const char* loaders, int32_t index, int32_t* width,
                         int32_t* height, int32_t* depth, int32_t* hasAlpha, int32_t* isVector);

// Adapter bitmaps. The active display adapter is installed by the display
// library (null: none).
void SetActiveDisplayAdapter(PluginBase* base);
PluginBase* GetActiveDisplayAdapter();
// Fills the installed adapter's hooks from base's resolved entry points
// (nothing when base is not the adapter); ForgetDisplayAdapter uninstalls
// base when it is the adapter (its library is about to close).
void BindDisplayAdapterHooks(PluginBase* base);
void ForgetDisplayAdapter(PluginBase* base);
// Opens adapter installation for its lifetime (InitPlugin, RequirePlugin).
struct AdapterInstallationWindow {
  AdapterInstallationWindow();
  ~AdapterInstallationWindow();
  AdapterInstallationWindow(const AdapterInstallationWindow&) = delete;
  AdapterInstallationWindow& operator=(const AdapterInstallationWindow&) = delete;
};

// clang-format off
// X(capability, extension bit or -1, name), in the order the loader
// resolves them.
#define QM_PLUGIN_ENTRY_LIST(X) \
  X(0x20, -1, GetPathExtents) X(0x20, -1, DrawPath) X(0x20, -1, TranslatePath) \
  X(0x20, -1, GetCurrentPoint) X(0x20, -1, CreateVectorFont) X(0x20, -1, FreeVectorFont) \
  X(0x20, -1, OpenFont) X(0x20, -1, CloseFont) \
  X(0x40, -1, OpenVideo) X(0x40, -1, CloseVideo) X(0x40, -1, NextPacket) X(0x40, -1, FreePacket) \
  X(0x40, -1, DecodeVideoFrame) X(0x40, -1, DecodeAudioFrame) X(0x40, -1, SeekVideo) \
  X(0x40, -1, FlushAudio) X(0x40, -1, FlushVideo) X(0x40, -1, GetVideoFrames) X(0x40, -1, GetVideoFormat) \
  X(0x40, 1, GetVideoExtensions) \
  X(0x2, -1, GetBaseTable) X(0x2, -1, GetCommands) X(0x2, -1, GetConstants) X(0x2, -1, InitLibrary) \
  X(0x2, -1, FreeLibrary) X(0x2, 0, GetLibraryCount) X(0x2, 0, SetCurrentLibrary) \
  X(0x2, 2, GetHelpStrings) X(0x2, 3, PushUpvalues) \
  X(0x1, -1, GetScript) X(0x1, -1, FreeScript) \
  X(0x4, -1, IsImage) X(0x4, -1, LoadImage) X(0x4, -1, GetImage) X(0x4, -1, FreeImage) \
  X(0x4, -1, TransformImage) \
  X(0x8, -1, OpenAnim) X(0x8, -1, LoadFrame) X(0x8, -1, FreeFrame) X(0x8, -1, GetFrameDelay) \
  X(0x8, -1, CloseAnim) \
  X(0x10, -1, OpenStream) X(0x10, -1, CloseStream) X(0x10, -1, SeekStream) X(0x10, -1, StreamSamples) \
  X(0x10, -1, GetFormatName) \
  X(0x100, -1, RegisterAnimSaver) X(0x100, -1, BeginAnimStream) X(0x100, -1, WriteAnimFrame) \
  X(0x100, -1, FinishAnimStream) \
  X(0x80, -1, RegisterImageSaver) X(0x80, -1, SaveImage) \
  X(0x800, -1, HandleEvents) X(0x800, -1, WaitEvents) X(0x800, -1, ForceEventLoopIteration) \
  X(0x800, -1, Sleep) X(0x800, -1, VWait) X(0x800, -1, DetermineBorderSizes) X(0x800, -1, OpenDisplay) \
  X(0x800, -1, CloseDisplay) X(0x800, -1, ChangeBufferSize) X(0x800, -1, ShowHideDisplay) \
  X(0x800, -1, SizeMoveDisplay) X(0x800, -1, SetDisplayTitle) X(0x800, -1, ActivateDisplay) \
  X(0x800, -1, SetDisplayAttributes) X(0x800, -1, CreatePointer) X(0x800, -1, FreePointer) \
  X(0x800, -1, SetPointer) X(0x800, -1, ShowHidePointer) X(0x800, -1, MovePointer) \
  X(0x800, -1, GetMousePos) X(0x800, -1, GetQualifiers) X(0x800, -1, BltBitMap) X(0x800, -1, RectFill) \
  X(0x800, -1, WritePixel) X(0x800, -1, Line) X(0x800, -1, GetMonitorInfo) X(0x800, -1, FreeMonitorInfo) \
  X(0x800, -1, GrabScreenPixels) X(0x800, -1, FreeGrabScreenPixels) X(0x800, -1, BeginDoubleBuffer) \
  X(0x800, -1, EndDoubleBuffer) X(0x800, -1, Flip) X(0x800, -1, Cls) X(0x800, -1, AllocVideoBitMap) \
  X(0x800, -1, FreeVideoBitMap) X(0x800, -1, ReadVideoPixels) X(0x800, -1, FreeVideoPixels) \
  X(0x800, -1, DoVideoBitMapMethod) X(0x800, -1, AllocBitMap) X(0x800, -1, FreeBitMap) \
  X(0x800, -1, LockBitMap) X(0x800, -1, UnLockBitMap) X(0x800, -1, GetBitMapAttr) \
  X(0x800, 0, AdapterMainLoop) \
  X(0x400, -1, RequirePlugin) \
  X(0x200, -1, RegisterSampleSaver) X(0x200, -1, SaveSample) \
  X(0x1000, -1, RegisterTimer) X(0x1000, -1, FreeTimer) \
  X(0x4000, -1, FOpen) X(0x4000, -1, FClose) X(0x4000, -1, FRead) X(0x4000, -1, FGetC) \
  X(0x4000, -1, FWrite) X(0x4000, -1, FPutC) X(0x4000, -1, FSeek) X(0x4000, -1, FFlush) \
  X(0x4000, -1, FEof) X(0x4000, -1, FStat) X(0x4000, -1, Stat) \
  X(0x2000, -1, SystemRequest) X(0x2000, -1, FileRequest) X(0x2000, -1, PathRequest) \
  X(0x2000, -1, StringRequest) X(0x2000, -1, ListRequest) X(0x2000, -1, FontRequest) \
  X(0x2000, -1, ColorRequest) X(0x2000, -1, FreeRequest) \
  X(0x40000, -1, OpenConnection) X(0x40000, -1, CloseConnection) X(0x40000, -1, GetConnectionInfo) \
  X(0x40000, -1, ReceiveData) X(0x40000, -1, SendData) \
  X(0x10000, -1, OpenAudio) X(0x10000, -1, CloseAudio) X(0x10000, -1, AllocAudioChannel) \
  X(0x10000, -1, FreeAudioChannel) X(0x10000, -1, SetChannelAttributes) \
  X(0x8000, -1, OpenDir) X(0x8000, -1, CloseDir) X(0x8000, -1, NextDirEntry) X(0x8000, 0, RewindDir)
// clang-format on

enum PluginEntryIndex : int {
#define QM_ENTRY_ENUM(cap, ext, name) PE_##name,
  QM_PLUGIN_ENTRY_LIST(QM_ENTRY_ENUM)
#undef QM_ENTRY_ENUM
      PE_COUNT
};

// Saver format copies of one capability.
struct SaverFormatList {
  SaverFormatEntry* entries;  // with their names stored behind the array
  int32_t count;
};

struct PluginRecord {
  PluginBase base;  // first: a PluginBase* is the record
  void* entry[PE_COUNT];
  SaverFormatList savers[3];  // image, anim, sample
  FileAdapterOps fileOps;     // filled from entry[] when first visited
  FileAdapterEntry fileAdapter;
};

struct PluginHandle {
  uint32_t capabilities;
  PluginRecord* record;
  void* library;  // the dlopen handle
};

inline PluginRecord* RecordOf(PluginBase* base) { return reinterpret_cast<PluginRecord*>(base); }
inline void* PluginEntryOf(PluginBase* base, PluginEntryIndex index) {
  return RecordOf(base)->entry[index];
}
// Whether calls into the plug-in go through the call bridge.
inline bool IsBridgedPlugin(const PluginBase* base) { return base->kind == PLUGIN_KIND_BRIDGED; }

// Frees the nodes and saver lists the manager keeps for a plug-in.
void FreePluginRecordLists(PluginRecord* record);
