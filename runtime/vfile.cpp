// Virtual string files: records that make a string usable as a file. A
// copied file owns its bytes and can be written (the stream layer grows
// it); a referenced file reads the string's bytes in place and stays
// read-only. Invariant: every record in the list holds one reference to
// itself and, when not copied, one to its string; both are released when
// it leaves the list.
#include <cstring>

#include "engine/engine.h"
#include "runtime/objref.h"
#include "runtime/registries.h"
#include "runtime/runtime.h"
#include "runtime/context_private.h"
#include "runtime/stream_private.h"

namespace {

constexpr size_t EMPTY_STRING_ROOM = 65536;  // room of a copied empty string

// The reference that the file's name carries: the record's handle, held
// as a light userdata in the VM registry.
int32_t referenceRecord(VmState* L, VirtualFile* file) {
  if (!L) return -1;  // no VM to hold the reference: the file has no name
  VmPushLightUserdata(L, file);
  int32_t ref = CreateObjectRef(L, -1);
  VmSetTop(L, -2);
  return ref;
}

void freeRecord(VmState* L, VirtualFile* file) {
  if (file->openStreams > 0) {
    file->detached = 1;  // the last stream to close frees it
    return;
  }
  if (file->writable) FreeMemory(file->data);
  ReleaseObjectRef(L, file->stringRef);
  ReleaseObjectRef(L, file->selfRef);
  FreeMemory(file);
}

}  // namespace

ErrorCode NewVirtualStringFile(VmState* L, const void* data, size_t length, int stringIndex,
                               const char* fileName, int copy, VirtualFile** out) {
  *out = nullptr;
  if (!fileName || !fileName[0]) return ERR_WRONGUSAGE;
  char* nameCopy = nullptr;
  auto* file = AllocRecordWithText<VirtualFile>(fileName, &nameCopy);
  if (!file) return ERR_MEM;
  file->name = nameCopy;
  file->stringRef = -1;
  file->selfRef = -1;
  file->owner = L;
  if (copy) {
    file->allocated = length ? length : EMPTY_STRING_ROOM;
    file->data = static_cast<uint8_t*>(AllocMemory(file->allocated, 0));
    if (!file->data) {
      FreeMemory(file);
      return ERR_MEM;
    }
    if (length) std::memcpy(file->data, data, length);
    file->writable = 1;
  } else {
    file->data = static_cast<uint8_t*>(const_cast<void*>(data));
    file->allocated = length;
    file->stringRef = L ? CreateObjectRef(L, stringIndex) : -1;
  }
  file->size = length;
  file->selfRef = referenceRecord(L, file);
  file->next = runtimeContext.virtualFiles;
  runtimeContext.virtualFiles = file;
  *out = file;
  return 0;
}

int MakeVirtualFileName(const VirtualFile* file, char* buffer, size_t size) {
  if (!file || file->selfRef < 0) return 0;
  return MakeChunkName(file->name, buffer, size, -1, file->size,
                       static_cast<uint64_t>(file->selfRef), "unused");
}

ErrorCode UndefineVirtualStringFile(VmState* L, const char* name) {
  VirtualFile* target = nullptr;
  if (!IsChunkName(name) || name[8] != 'S' ||
      !ParseChunkName(name, nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, 0, &target))
    return ERR_WRONGUSAGE;
  for (VirtualFile** link = &runtimeContext.virtualFiles; *link; link = &(*link)->next) {
    if (*link == target) {
      *link = target->next;
      freeRecord(L, target);
      return 0;
    }
  }
  return ERR_WRONGUSAGE;
}

int IsVirtualStringFile(const void* pointer) {
  for (const VirtualFile* f = runtimeContext.virtualFiles; f; f = f->next)
    if (f == pointer) return 1;
  return 0;
}

VirtualFile* FindVirtualStringFile(int32_t ref) {
  if (ref < 0) return nullptr;
  for (VirtualFile* f = runtimeContext.virtualFiles; f; f = f->next)
    if (f->selfRef == ref) return f;
  return nullptr;
}

void FreeVirtualStringFiles(VmState* L) {
  while (runtimeContext.virtualFiles) {
    VirtualFile* next = runtimeContext.virtualFiles->next;
    freeRecord(L, runtimeContext.virtualFiles);
    runtimeContext.virtualFiles = next;
  }
}

void ReleaseVirtualFileStream(VirtualFile* file) {
  if (--file->openStreams == 0 && file->detached) {
    file->detached = 0;
    freeRecord(file->owner, file);
  }
}

VirtualFile* UseVirtualStringFile(const char* name) {
  VirtualFile* file = nullptr;
  if (!name || !IsChunkName(name) || name[8] != 'S' ||
      !ParseChunkName(name, nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, 0, &file) ||
      !IsVirtualStringFile(file))
    return nullptr;
  file->openStreams++;
  return file;
}

void ReleaseVirtualStringFile(VirtualFile* file) {
  if (file) ReleaseVirtualFileStream(file);
}
