// What the stream layer's files share among themselves: the calls into
// file and directory adapters of plug-ins, the loader-string test for the
// built-in file system and the source of the linked-file table.
#pragma once

#include <cstdint>

#include "runtime/runtime.h"

// The entry points of one file adapter, as the plug-in loader will fill
// them. Null slots are features the adapter lacks.
struct FileAdapterOps {
  void* (*open)(const char* name, int32_t mode, const uintptr_t* tags);
  int (*close)(void* file);
  size_t (*read)(void* file, void* buffer, size_t length);
  size_t (*write)(void* file, const void* buffer, size_t length);
  int64_t (*seek)(void* file, int64_t offset, int mode);  // previous position or -1
  int (*getChar)(void* file);
  int (*putChar)(void* file, int byte);
  int (*eof)(void* file);
  int (*flush)(void* file);
  int (*stat)(void* file, FileInfo* info);  // non-zero on success
};
struct FileAdapterEntry {
  const FileAdapterOps* ops;
  const char* pluginName;
  int32_t bridge;  // calls go through the platform call bridge
};

// Tries the file adapters that the loader string admits (tag list as the
// plug-in interface has it); fills stream->adapter and stream->file and
// returns 1 when one took the file.
int OpenWithFileAdapters(StreamHandle* stream, const char* name, uint32_t mode,
                         const char* loaders);
// Directory and file adapters for locks: 1 when one answered.
int LockWithAdapters(LockHandle* lock, const char* path, uint32_t mode, const char* loaders);

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
