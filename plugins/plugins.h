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

#include "engine/errors.h"
#include "plugins/qmplugin.h"

struct VmState;
struct StreamHandle;

// ---- Plug-in loader ----

struct PluginHandle;
// Loads and checks one ".qmp" file: 0 with *mask and *handle, else an
// error code with the error argument set (1000, 1400, 1459, 1483, 1520,
// 1521, or the loader-list error).
ErrorCode OpenPluginLibrary(const char* path, uint32_t* mask, PluginHandle** handle);
void ClosePluginLibrary(PluginHandle* handle);  // null is ignored
PluginBase* GetPluginBase(PluginHandle* handle);
// An entry point resolved by the loader, by its exported name; null when
// the plug-in does not have it (or its capability was not declared).
void* GetPluginEntry(PluginBase* base, const char* name);
// The host API root that every plug-in receives.
const PluginHostApi* GetPluginHostApi();

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
// Scans one directory as above.
ErrorCode ScanPluginsIn(const char* directory, const char* skipList, int32_t* count);
// The start-up's abort check between files (non-zero ends the scan).
using PluginScanAbortCheck = ErrorCode (*)();
void SetPluginScanAbortCheck(PluginScanAbortCheck check);
// 1003 with the entry when that module is loaded already (or force is 0 and
// it is known); else loads it and returns 0.
ErrorCode ProbePluginFile(const char* path, int force, PluginEntry** entry);
// The script's request for a plug-in (LoadPlugin, the applet's
// declarations). flags: bit 0 never call RequirePlugin, bit 1 call it only
// for file and directory adapters.
ErrorCode LoadPluginFile(VmState* L, const char* name, int32_t version, int32_t revision,
                         uint32_t flags, uintptr_t tag1, uintptr_t tag2);
ErrorCode RegisterFormatPlugin(VmState* L, PluginEntry* entry);
ErrorCode RegisterPluginLibrary(VmState* L, PluginEntry* entry, int withCommands,
                                int withConstants);
// Shut-down, after the VM is closed: FreeLibrary was run by
// FreePluginLibraries (before the VM closes); frees every entry and closes
// every plug-in.
void FreePluginLibraries(VmState* L);
void FreeAllPlugins();

// Loader lists, one per loader capability (0x4, 0x8, 0x10, 0x40, 0x4000,
// 0x8000, 0x40000).
struct LoaderNode {
  LoaderNode* next;
  PluginBase* base;
};
ErrorCode AddToLoaderList(PluginBase* base, uint32_t capability);
void RemoveFromLoaderList(PluginBase* base, uint32_t capability);
LoaderNode* GetPluginListForType(uint32_t capability);
void SetPluginListHead(void** record, uint32_t capability, void* value);
// Empties every loader list (shut-down, FreeRegistries).
void EmptyLoaderLists();
// The applet's declared version, for the loader-list refusal of old applets
// (below 6.0: 1566). Start-up sets it; 8.0 until then.
void SetAppletVersion(int32_t version, int32_t revision);

PluginEntry* FindPluginByBase(const PluginBase* base);
// "inbuilt" for 0, "native" for 1, else the plug-in's module name.
const char* GetLoaderName(int32_t index, const PluginBase* base);

// Loader strings: '|'-separated names, matched without regard to case.
bool IsDefaultLoaderString(const char* loaders);
bool IsLoaderAllowed(const char* loaders, const char* name, int classFlag);
bool IsLoaderNamed(const char* loaders, const char* name);
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

// ---- Appended plug-in pack ----

// Unpacks the pack at offset of the program file into the temporary
// directory; with updateOffset, *offset moves to the byte after the pack.
ErrorCode LoadPlugins(const char* programPath, uint64_t* offset, int updateOffset);
// The run's temporary directory: made on first need; empty until then.
ErrorCode GetPluginTempDirectory(const char** path);
const char* PeekPluginTempDirectory();  // "" when not made
// Deletes the temporary directory with its contents (shut-down).
void DeletePluginTempDirectory();

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

// ---- Picture handles ----

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
};
PictureHandle* NewPictureHandle(void* image, uintptr_t format, void (*close)(void*), uintptr_t word,
                                void* transform, int32_t width, int32_t height, int32_t bridge);
PictureHandle* NewPixelPictureHandle(int32_t width, int32_t height);
void RetainPictureHandle(PictureHandle* handle);
void ReleasePictureHandle(PictureHandle* handle);  // null is ignored
uint32_t* GetPictureHandlePixels(PictureHandle* handle);
void GetPictureHandleSize(PictureHandle* handle, int32_t* width, int32_t* height);
int PictureHandleOwnsPixels(PictureHandle* handle);

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
ErrorCode OpenPictureHandle(const char* name, const char* loaders, const PictureRequest* request,
                            PictureResult* result);
// Renders a plug-in's vector picture again through its TransformImage
// (the 2 x 2 matrix and the target size) and GetImage; 1469 when the
// loader cannot or the transform fails.
ErrorCode RenderPictureHandle(PictureHandle* handle, const double matrix[4], int32_t width,
                              int32_t height);
ErrorCode GetPictureInfo(const char* name, const char* loaders, int32_t index, int32_t* width,
                         int32_t* height, int32_t* depth, int32_t* hasAlpha, int32_t* isVector);

// Adapter bitmaps. The active display adapter is installed by the display
// library (null: none).
void SetActiveDisplayAdapter(PluginBase* base);
PluginBase* GetActiveDisplayAdapter();
uint32_t ComputeAdapterBitmapFlags(uint32_t request);

// ---- Context record ----
// The folder's mutable state (loaded plug-ins and their lists) lives in one
// record. Init puts it in its start state; Free releases whatever it still
// holds and leaves it in the start state. The library table calls both.
void InitPluginContext();
void FreePluginContext();
