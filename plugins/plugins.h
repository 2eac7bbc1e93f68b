// Services of the plug-in system that other folders use: the plug-in
// manager (known plug-ins, directory scan, script requests, registration of
// libraries and savers, the per-capability loader lists and loader
// strings), the plug-in loader, the appended plug-in pack, the VM
// extension records behind the engine's command hook, and picture handles.
//
// Invariant: everything here runs on the main thread; entries are kept in
// discovery order and loader lists in registration order, and a failed load
// or registration leaves the lists as they were.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/errors.h"
#include "plugins/qmplugin.h"

struct VmState;
struct StreamHandle;

// ---- Plug-in loader ----

struct PluginHandle;
PluginBase* GetPluginBase(PluginHandle* handle);
// An entry point resolved by the loader, by its exported name; null when
// the plug-in does not have it (or its capability was not declared).
void* GetPluginEntry(PluginBase* base, const char* name);

// ---- Plug-in manager ----

constexpr size_t PLUGIN_MODULE_NAME_SIZE = 256;
constexpr size_t PLUGIN_PATH_SIZE = 1024;
struct PluginEntry {
  PluginEntry* next;
  uint32_t capabilities;
  PluginHandle* handle;  // null while known but not loaded
  char moduleName[PLUGIN_MODULE_NAME_SIZE];
  char path[PLUGIN_PATH_SIZE];
  int32_t required;  // RequirePlugin has been called
};
const PluginEntry* GetPluginList();

// The directory scan: the temporary directory (when it exists), then
// programDir/Plugins, or programDir itself when appended is set. skipList is
// a run of terminated names ending with an empty name (null: none); a name
// on it, or a file whose name begins with '_', is only registered. With
// count, only ".qmp" files are counted.
ErrorCode ScanPluginDirectory(const char* programDir, int appended, const char* skipList,
                              int32_t* count);
// Start-up's plug-in step: the scan, then RegisterFormatPlugin for every
// loaded plug-in in list order; the first error is returned.
ErrorCode LoadPluginsAndFormats(VmState* L, const char* programDir, int appended,
                                const char* skipList);
// The script's request for a plug-in (LoadPlugin, the applet's
// declarations). flags: bit 0 never call RequirePlugin, bit 1 call it only
// for file and directory adapters.
ErrorCode LoadPluginFile(VmState* L, const char* name, int32_t version, int32_t revision,
                         uint32_t flags, uintptr_t tag1, uintptr_t tag2);
// Shut-down, after the VM is closed: FreeLibrary was run by
// FreePluginLibraries (before the VM closes); frees every entry and closes
// every plug-in.
void FreePluginLibraries(VmState* L);
void FreeAllPlugins();
// Empties every loader list (shut-down, FreeRegistries).
void EmptyLoaderLists();
// The applet's declared version, for the loader-list refusal of old applets
// (below 6.0: 1566). Start-up sets it; 8.0 until then.
void SetAppletVersion(int32_t version, int32_t revision);

// The applet's declared version (major part), as set above.
int32_t GetAppletVersion();

// Loader lists, one per loader capability (0x4, 0x8, 0x10, 0x40, 0x4000,
// 0x8000, 0x40000), in registration order; null for another capability.
struct LoaderNode {
  LoaderNode* next;
  PluginBase* base;
};
LoaderNode* GetPluginListForType(uint32_t capability);

// ---- Network adapters ----

// Adds the plug-ins that a network adapter string names to the network
// adapter list, as loader strings do.
ErrorCode CollectNetworkAdapters(const char* adapters);
// The listed network adapter after `after` (null: from the first) that
// takes part for the adapter string: not disabled, admitted by the string,
// named by it when only naming added it, and enabled by the applet when
// its extension flags ask for that. Null after the last.
PluginBase* NextNetworkAdapter(PluginBase* after, const char* adapters);
// Whether the adapter string admits the inbuilt sockets.
bool AdapterStringAdmitsInbuilt(const char* adapters);

// ---- Appended plug-in pack ----

// Unpacks the pack at offset of the program file into the temporary
// directory; with updateOffset, *offset moves to the byte after the pack.
ErrorCode LoadPlugins(const char* programPath, uint64_t* offset, int updateOffset);
const char* PeekPluginTempDirectory();  // "" when not made
// Deletes the temporary directory with its contents (shut-down).
void DeletePluginTempDirectory();
// Shut-down's deletion of the temporary directory: by its absolute path,
// nested directories to a depth of 16; one that cannot be opened is left as
// it is, with its name.
void RemovePluginTempDirectory();

// ---- Display adapter ----

// The installed display adapter: its plug-in, the flags and tag values of
// its installation and its hooks. A hook of a plug-in whose calls go
// through the call bridge is null: callers read a null hook as the bridge's
// answer 0.
struct DisplayAdapter {
  PluginBase* base;
  uint32_t flags;              // QM_ADAPTER_*
  uintptr_t wakeInterval;      // tag 1, 10 by default
  uintptr_t drawCapabilities;  // tag 2
  uintptr_t stored;            // tag 3
  uint32_t pixelFormat;        // tag 4, 10 by default
  QmHandleEventsFunc handleEvents;
  QmWaitEventsFunc waitEvents;
  QmForceEventLoopIterationFunc forceEventLoopIteration;
  QmSleepFunc sleep;
  QmVWaitFunc vwait;
  QmDetermineBorderSizesFunc determineBorderSizes;
  QmOpenDisplayFunc openDisplay;
  QmCloseDisplayFunc closeDisplay;
  QmShowHideDisplayFunc showHideDisplay;
  QmSizeMoveDisplayFunc sizeMoveDisplay;
  QmSetDisplayTitleFunc setDisplayTitle;
  QmActivateDisplayFunc activateDisplay;
  QmCreatePointerFunc createPointer;
  QmFreePointerFunc freePointer;
  QmSetPointerFunc setPointer;
  QmShowHidePointerFunc showHidePointer;
  QmMovePointerFunc movePointer;
  QmGetMousePosFunc getMousePos;
  QmGetQualifiersFunc getQualifiers;
  QmBltBitMapFunc bltBitMap;
  QmRectFillFunc rectFill;
  QmWritePixelFunc writePixel;
  QmLineFunc line;
  QmGetMonitorInfoFunc getMonitorInfo;
  QmFreeMonitorInfoFunc freeMonitorInfo;
  QmGrabScreenPixelsFunc grabScreenPixels;
  QmFreeGrabScreenPixelsFunc freeGrabScreenPixels;
  QmClsFunc cls;
  QmAdapterMainLoopFunc adapterMainLoop;  // null without extension bit 0
  // Bitmaps: video bitmaps (QM_ADAPTER_VIDEOBITMAPS) and, with
  // QM_ADAPTER_OWNSBITMAPS, every other bitmap.
  QmAllocVideoBitMapFunc allocVideoBitMap;
  QmFreeVideoBitMapFunc freeVideoBitMap;
  QmReadVideoPixelsFunc readVideoPixels;
  QmFreeVideoPixelsFunc freeVideoPixels;
  QmDoVideoBitMapMethodFunc doVideoBitMapMethod;
  QmAllocBitMapFunc allocBitMap;
  QmFreeBitMapFunc freeBitMap;
  QmLockBitMapFunc lockBitMap;
  QmUnLockBitMapFunc unLockBitMap;
  QmGetBitMapAttrFunc getBitMapAttr;
  // Double buffering of a window (QM_ADAPTER_DOUBLEBUFFERS).
  QmBeginDoubleBufferFunc beginDoubleBuffer;
  QmEndDoubleBufferFunc endDoubleBuffer;
  QmFlipFunc flip;
};
// The installed adapter, or null for the native X11 driver.
const DisplayAdapter* GetDisplayAdapter();
// Runs chunk(L, data) from the installed adapter's main loop when it has
// one, else directly; the chunk's result is the result.
int32_t RunMainLoopThroughAdapter(VmState* L, QmMainChunkFunc chunk, void* data);
// Host API: makes base the display adapter. Refused with ERR_OLDAPPLET for
// applets before 6.0, ERR_WRONGUSAGE without the capability, and
// ERR_SETADAPTER outside a plug-in's InitPlugin or RequirePlugin, after the
// first display window opened, or over an adapter that cannot be replaced.
ErrorCode InstallDisplayAdapter(PluginBase* base, uint32_t flags, const QmTagItem* tags);
// The first display window closes installation for the rest of the run.
void CloseAdapterInstallation();
// The subset of the requested bitmap flags that the adapter's capability
// words (PluginBase adapterFlags, adapterFlags2) grant; 0 without one.
uint32_t ComputeAdapterBitmapFlags(uint32_t request);

// ---- Picture handles ----
// A decoded or vector picture that brushes and background pictures keep;
// counted references, the last release frees it.
struct PictureHandle;
PictureHandle* NewPixelPictureHandle(int32_t width, int32_t height);
// A picture of a size whose images are built later from another
// description (a display's own picture while preloading): it holds no
// pixels, and GetPictureHandlePixels gives null.
PictureHandle* NewSizedPictureHandle(int32_t width, int32_t height);
void RetainPictureHandle(PictureHandle* handle);
void ReleasePictureHandle(PictureHandle* handle);  // null is ignored
// 0xAARRGGBB rows of the picture's width.
uint32_t* GetPictureHandlePixels(PictureHandle* handle);
void GetPictureHandleSize(PictureHandle* handle, int32_t* width, int32_t* height);
// The size a vector picture was made at, which its matrices scale from;
// the pixel size for other pictures.
void GetPictureHandleSourceSize(PictureHandle* handle, int32_t* width, int32_t* height);

struct PictureRequest {
  int32_t width;  // wanted: 0 keeps, negative is a percentage
  int32_t height;
  int32_t wantAlpha;
  int32_t wantMask;
  int32_t smooth;
  int32_t index;
};
struct PictureResult {
  PictureHandle* handle;
  int32_t width;
  int32_t height;
  int32_t depth;
  int32_t hasAlpha;
  int32_t transparency;  // -1 none
  int32_t isVector;
  int32_t loaderIndex;  // 0 inbuilt, 2 a plug-in
  PluginBase* loader;
};
// Opens a picture through the loader chain (image plug-ins first, then the
// inbuilt loaders) at the requested size.
ErrorCode OpenPictureHandle(const char* name, const char* loaders, const PictureRequest* request,
                            PictureResult* result);
// What an image-loader plug-in that the loader list admits (null: every
// one) says of a file; *found 0 when none takes it.
struct PluginPictureInfo {
  int32_t width, height, depth;
  int32_t hasAlpha, isVector;
  int32_t transparency;  // -1 none
};
ErrorCode IdentifyPluginPicture(const char* name, const char* loaders, PluginPictureInfo* info,
                                int* found);
// A picture that a renderer of the host draws (vector brushes of paths):
// render draws it through the matrix at the size into 0xAARRGGBB pixels
// allocated with AllocMemory; release frees data with the last reference.
using PictureRenderer = ErrorCode (*)(void* data, const double matrix[4], int32_t width,
                                      int32_t height, uint32_t** pixels);
PictureHandle* NewRendererPictureHandle(PictureRenderer render, void (*release)(void* data),
                                        void* data, int32_t width, int32_t height);
// Renders a plug-in's vector picture again through its TransformImage
// (the 2 x 2 matrix and the target size) and GetImage; 1469 when the
// loader cannot or the transform fails.
ErrorCode RenderPictureHandle(PictureHandle* handle, const double matrix[4], int32_t width,
                              int32_t height);

// ---- Loader strings ----
// '|'-separated loader names, matched without regard to case. Allowed: a
// null, "" or "default" string admits every name; "inbuilt", "native" and
// "plugin" are matched as whole items; a plug-in's module name is admitted
// by an item it begins with, or by "plugin" when classFlag is set. Named:
// the same, except that a null, "" or "default" string names nothing.
bool IsLoaderAllowed(const char* loaders, const char* name, int classFlag);
bool IsLoaderNamed(const char* loaders, const char* name);

// ---- Anim loader plug-ins ----

// Offers a file to the anim plug-ins: those a loader string names are
// collected first (in its order), then the anim loader list is walked. A
// plug-in is asked only when it is enabled, admitted by loaders (null, "",
// "default", "plugin" or its name) and, if it is to be used only when
// named, named there. The first OpenAnim that answers wins: *base and
// *handle are set and record holds its answer. Without a taker both are
// null and the result is 0; ERR_MEM when the loader string's plug-ins
// cannot be listed.
ErrorCode OpenAnimPlugin(const char* name, const char* loaders, QmAnimOpenRecord* record,
                         PluginBase** base, void** handle);
uint32_t* LoadAnimPluginFrame(PluginBase* base, void* handle, int32_t index,
                              QmAnimFrameRecord* record);
void FreeAnimPluginFrame(PluginBase* base, uint32_t* frame);  // null is ignored
int32_t GetAnimPluginFrameDelay(PluginBase* base, void* handle, int32_t index);
void CloseAnimPlugin(PluginBase* base, void* handle);

// ---- Video plug-ins ----

// The entry points of a video plug-in.
struct VideoPluginEntries {
  QmOpenVideoFunc open;
  QmCloseVideoFunc close;
  QmNextPacketFunc nextPacket;
  QmFreePacketFunc freePacket;
  QmDecodeVideoFrameFunc decodeVideo;
  QmDecodeAudioFrameFunc decodeAudio;
  QmSeekVideoFunc seek;
  QmFlushVideoFunc flushAudio;
  QmFlushVideoFunc flushVideo;
  QmGetVideoFramesFunc frameCount;
  QmGetVideoFormatFunc formatName;
};
// Offers a file to the video plug-ins as OpenAnimPlugin does to the anim
// ones; a plug-in that declares its file extensions is asked only for
// files with one of them. format is preset by the caller and refilled
// before each offer. Without a taker *handle is null and the result is 0.
ErrorCode OpenVideoPlugin(const char* name, const char* loaders, const QmVideoFormat* preset,
                          QmVideoFormat* format, PluginBase** base, void** handle,
                          VideoPluginEntries* entries);

// ---- Anim saver plug-ins ----

// A saver format of an enabled saver plug-in: the plug-in, the format's
// position in its saver format list and its flags (QM_SAVER_TRUECOLOR,
// QM_SAVER_ALPHA).
struct SaverFormat {
  PluginBase* base;
  int32_t index;
  uint32_t flags;
};
using AnimSaverFormat = SaverFormat;
// The first plug-in in list order that registered formatId;
// ERR_UNKNOWNANMOUT when none did.
ErrorCode FindAnimSaverFormat(int32_t formatId, AnimSaverFormat* out);
// The plug-in's stream handle, or null when it refused the file. mode:
// QM_ANIMMODE_PALETTE, QM_ANIMMODE_ALPHA.
void* BeginAnimSaverStream(const AnimSaverFormat* format, const char* file, int32_t width,
                           int32_t height, uint32_t mode, int32_t quality, int32_t fps);
int32_t WriteAnimSaverFrame(PluginBase* base, void* handle, QmAnimSaveFrame* frame);  // 0: refused
void FinishAnimSaverStream(PluginBase* base, void* handle);

// ---- Image and sample saver plug-ins ----

// The first enabled image-saver plug-in in list order that registered
// formatId; ERR_UNKNOWNIMGOUT when none did.
ErrorCode FindImageSaverFormat(int32_t formatId, SaverFormat* out);
// Hands the picture to the format's plug-in: ERR_SAVEIMAGE when it refuses.
ErrorCode CallImageSaver(const SaverFormat* format, const char* file, QmImageSaveRequest* request);
// The same for sample savers: ERR_UNKNOWNSMPOUT, ERR_SAVESAMPLE.
ErrorCode FindSampleSaverFormat(int32_t formatId, SaverFormat* out);
ErrorCode CallSampleSaver(const SaverFormat* format, const char* file,
                          QmSampleSaveRequest* request);

// ---- File and directory adapters ----

// The entry points of a file or directory adapter plug-in; null slots are
// features it lacks.
struct FileAdapterOps {
  QmFOpenFunc open;
  QmFCloseFunc close;
  QmFReadFunc read;
  QmFWriteFunc write;
  QmFSeekFunc seek;
  QmFGetCFunc getChar;
  QmFPutCFunc putChar;
  QmFEofFunc eof;
  QmFFlushFunc flush;
  QmFStatFunc fstat;
  QmStatFunc stat;
  QmOpenDirFunc openDir;
  QmCloseDirFunc closeDir;
  QmNextDirEntryFunc nextDirEntry;
  QmRewindDirFunc rewindDir;  // null without extension bit 0
};
struct FileAdapterEntry {
  const FileAdapterOps* ops;
  const char* pluginName;
  int32_t bridge;  // calls go through the platform call bridge
};
// Calls visit for each file (PLUGINCAPS_FILEADAPTER) or directory
// (PLUGINCAPS_DIRADAPTER) adapter that the loader string admits, in list
// order, until it returns non-zero (then that value is returned; 0 when no
// visit did). Skipped: disabled plug-ins, those that must be named and are
// not, those asking for the override without setting it, and with
// linkedData, file adapters that do not take linked data.
int VisitFileAdapters(uint32_t capability, const char* loaders, int linkedData,
                      int (*visit)(const FileAdapterEntry* adapter, void* data), void* data);

// The installed requester adapter and its flags (QM_REQADAPTER_*), or
// null; hooks are read from the plug-in's entries when called (null for a
// plug-in behind the call bridge).
struct RequesterAdapter {
  PluginBase* base;
  uint32_t flags;
};
const RequesterAdapter* GetRequesterAdapter();
void* RequesterAdapterHook(const char* name);
// Host API: ERR_OLDAPPLET before 6.0, ERR_WRONGUSAGE without the
// capability, ERR_SETADAPTER outside InitPlugin or RequirePlugin or over
// an adapter that cannot be replaced.
ErrorCode InstallRequesterAdapter(PluginBase* base, uint32_t flags);
// Host API: the plug-in's RegisterTimer and FreeTimer start and stop every
// timer from now on; the same rules as the requester adapter.
ErrorCode InstallTimerAdapter(PluginBase* base, uint32_t flags);

// ---- Context record ----

// The folder's mutable state (loaded plug-ins and their lists) lives in one
// record. Init puts it in its start state; Free releases whatever it still
// holds and leaves it in the start state. The library table calls both.
void InitPluginContext();
void FreePluginContext();

// ---- The host library ----
// The host API that plug-ins receive and the system's own picture loaders
// call services of every folder, so they live in a library of their own
// above all of them (plugins/hostapi.h), which the composition root
// installs here. Without a host API no plug-in is loaded (ERR_LOADPLUGIN);
// without the loaders only image plug-ins decode pictures (ERR_LOADPICTURE2)
// and a picture is not had at another size than its own.
void SetPluginHostApi(const PluginHostApi* api);  // null removes it
// load decodes a file with the system's own loaders that the loader string
// admits (*image is the decoded picture that free releases, *pixels its
// 0xAARRGGBB rows); size reads only the picture's size; scale makes a new
// 0xAARRGGBB buffer (FreeMemory) of the picture at another size, null when
// memory runs out.
struct InbuiltPictureLoaders {
  ErrorCode (*load)(const char* name, const char* loaders, void** image, uint32_t** pixels,
                    int32_t* width, int32_t* height, int32_t* hasAlpha, int32_t* transparency);
  void (*free)(void* image);
  ErrorCode (*size)(const char* name, const char* loaders, int32_t* width, int32_t* height);
  uint32_t* (*scale)(const uint32_t* pixels, int32_t width, int32_t height, int32_t newWidth,
                     int32_t newHeight, int32_t smooth);
};
void SetInbuiltPictureLoaders(const InbuiltPictureLoaders* loaders);  // null removes them
