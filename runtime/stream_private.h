// What the stream layer's files share among themselves: the stream, file
// and linked-data calls that other folders do not make, the tries of file
// and directory adapters of plug-ins, the loader-string test for the
// built-in file system and the source of the linked-file table.
#pragma once

#include <cstdint>

#include "runtime/runtime.h"

// ---- Stream layer and linked data ----
// One handle type for every file the system reads or writes: a platform
// file, a memory buffer, linked data (a ":::chunk" name: a byte range of a
// larger file), a virtual file made from a string (":::chunkS") or a file
// opened by a file-adapter plug-in. Used by the main thread only.
// FileInfo is declared with the platform's file services.

constexpr uint32_t ADAPTER_FLAG_NOSEEK = 2;
constexpr size_t MEMFILE_GROW_STEP = 65536;  // memory files grow by this

// Fixed-order readers and writers from single bytes. At the end of the data
// a byte reads as -1 and is combined as it is: check IsStreamEOF first.
int32_t ReadStreamLE16(StreamHandle* stream);
int32_t ReadStreamBE16(StreamHandle* stream);
int32_t ReadStreamBE16U(StreamHandle* stream);
int32_t ReadStreamLE32(StreamHandle* stream);
int WriteStreamLE16(StreamHandle* stream, int32_t value);  // 1 when every byte went out
int WriteStreamLE32(StreamHandle* stream, int32_t value);

ErrorCode CopyStreamToFile(const char* source, const char* loaders, const char* destination,
                           StreamHandle* stream);
void GetFileExtension(char* buffer, size_t size, const char* name);
struct LinkedFileTable {
  const LinkedFileEntry* first;
  uint64_t baseOffset;     // of the applet within its file
  const char* appletPath;  // the file that holds the applet
};
// The ":::chunk" name of the linked file that name denotes (in a buffer
// valid until the next call), or name itself when none matches. *isFont
// (may be null) is 1 when a font matched.
const char* ResolveLinkedFileIn(const LinkedFileTable* table, const char* name, int fontMode,
                                int32_t* isFont);

// zlib's result codes as error codes.
ErrorCode ZlibResultToError(int zlibCode);

// The calls of the file and directory adapters that the plug-in manager
// installed (never null).
inline const FileAdapterCalls& AdapterCalls() { return *GetPluginManagerHooks()->fileAdapterCalls; }

// Tries the file adapters that the loader string admits, telling them about
// linked data and memory buffers; fills stream->adapter and stream->file and
// returns 1 when one took the file.
int OpenWithFileAdapters(StreamHandle* stream, const char* name, uint32_t mode,
                         const char* loaders);
// Directory adapters (for a directory lock of a name that is not linked
// data), then file adapters' Stat: 1 when one answered.
int LockWithAdapters(LockHandle* lock, const char* path, uint32_t mode, const char* loaders);
// The first file adapter's Stat of path (all adapters, no loader string):
// 1 with info filled (its path null), else 0.
int StatWithFileAdapters(const char* path, FileInfo* info);

// Whether the loader string admits the built-in file system: null, empty
// and "default" admit everything, else one of its "|"-separated names must
// be "inbuilt" (without regard to case).
bool LoaderStringAdmitsInbuilt(const char* loaders);

// The applet's linked files; null while no applet is loaded.
const LinkedFileTable* GetLinkedFileTable(VmState* L);

// A stream over an adapter's open file; for the plug-in loader and tests.
StreamHandle* NewAdapterStream(const FileAdapterEntry* adapter, void* file, uint32_t mode,
                               uint32_t adapterFlags);

// A stream over a virtual string file counts as a user of the record; the
// close hands it back (freeing a record undefined in the meantime).
void ReleaseVirtualFileStream(VirtualFile* file);
