// Byte-level commands of the dos library: "QMPK" packing, file checksums
// and virtual files made from strings. The packing itself and the virtual
// file records live in the runtime's stream layer, which the start-up and
// the plug-in host share; these commands only check their arguments.
#include <zlib.h>

#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

namespace {

// Block size of the checksum reads.
constexpr size_t HASH_BLOCK = 65536;
constexpr const char* PACK_MAGIC = "QMPK";

}  // namespace

int CmdCompressFile(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  const char* source = GetFileNameArg(L, 1);
  const char* destination = VmCheckString(L, 2, nullptr);
  uint64_t size = 0;
  ErrorCode error = DeflatePackedFile(PACK_MAGIC, source, destination, nullptr, &size);
  if (error) return error;
  VmPushNumber(L, static_cast<double>(size));
  return 1;
}

int CmdDecompressFile(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  const char* source = GetFileNameArg(L, 1);
  const char* destination = VmCheckString(L, 2, nullptr);
  uint64_t written = 0;
  ErrorCode error =
      InflatePackedFile(PACK_MAGIC, source, nullptr, 0, destination, nullptr, 0, nullptr, &written);
  if (error) return error;
  VmPushNumber(L, static_cast<double>(written));
  return 1;
}

namespace {

// Feeds the file's bytes to add in blocks.
template <typename F>
ErrorCode hashFile(VmState* L, F add) {
  const char* name = GetFileNameArg(L, 1);
  if (name[0] == '\0') return ERR_WRONGUSAGE;
  StreamHandle* s = OpenFileStream(name, STREAM_READ | STREAM_ADAPTERS, nullptr);
  if (!s) {
    SetErrorArgString(name);
    return ERR_READFILE;
  }
  OwnedMemory<uint8_t> block(static_cast<uint8_t*>(AllocMemory(HASH_BLOCK, 0)));
  if (!block) {
    CloseFileStream(s);
    return ERR_MEM;
  }
  for (size_t n; (n = ReadStream(s, block.get(), HASH_BLOCK)) > 0;) add(block.get(), n);
  CloseFileStream(s);
  return ERR_NONE;
}

}  // namespace

int CmdCRC32(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  uLong crc = crc32(0, nullptr, 0);
  ErrorCode error = hashFile(L, [&](const uint8_t* p, size_t n) { crc = crc32_z(crc, p, n); });
  if (error) return error;
  VmPushNumber(L, static_cast<double>(crc & 0xFFFFFFFFu));
  return 1;
}

int CmdMD5(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  Md5Context context;
  MD5Init(&context);
  ErrorCode error = hashFile(L, [&](const uint8_t* p, size_t n) { MD5Update(&context, p, n); });
  if (error) return error;
  uint8_t digest[16];
  MD5Final(&context, digest);
  char hex[33];
  for (int i = 0; i < 16; i++) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  VmPushString(L, hex);
  return 1;
}

int CmdDefineVirtualFileFromString(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  size_t length;
  const char* data = VmCheckString(L, 1, &length);
  const char* name = VmCheckString(L, 2, nullptr);
  int t = VmType(L, 3);
  int copy = t == VM_TYPE_BOOLEAN                    ? VmToBoolean(L, 3)
             : t == VM_TYPE_NONE || t == VM_TYPE_NIL ? 0
                                                     : VmCheckNumber(L, 3) != 0;
  if (name[0] == '\0') return ERR_WRONGUSAGE;
  VirtualFile* file = nullptr;
  ErrorCode error = NewVirtualStringFile(L, data, length, 1, name, copy, &file);
  if (error) return error;
  char virtualName[1024];
  if (!MakeVirtualFileName(file, virtualName, sizeof virtualName)) return ERR_MEM;
  VmPushString(L, virtualName);
  return 1;
}

int CmdUndefineVirtualStringFile(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return UndefineVirtualStringFile(L, VmCheckString(L, 1, nullptr));
}

int CmdGetAsset(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmPushValue(L, 1);
  VmCheckString(L, 1, nullptr);
  return 1;
}

namespace {

// Bytes that ApplyPatch handles between two event polls.
constexpr size_t PATCH_BLOCK = 16384;
// The action of ApplyPatch's progress message: its only message.
constexpr int32_t PATCH_PROGRESS = 0;

// Reads as many bytes as the stream gives, up to count.
size_t readFully(StreamHandle* s, uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    size_t n = DosReadBytes(s, buffer + done, count - done);
    if (n == 0) break;
    done += n;
  }
  return done;
}

// Calls the progress callback at index with {action, progress}; *stop is
// set when it answers True or 1.
ErrorCode reportPatchProgress(VmState* L, int index, int32_t percent, bool* stop) {
  int top = VmGetTop(L);
  VmPushValue(L, index);
  VmNewTable(L);
  SetTableFieldInt(L, "action", PATCH_PROGRESS);
  SetTableFieldInt(L, "progress", percent);
  TagItem in[] = {{ATTR_CALLBACKDEPTH, 1}, {ATTR_DONE, 0}};
  SetGlobalAttrs(L, in);
  ErrorCode error = VmPCall(L, 1, 1, 0);
  TagItem out[] = {{ATTR_CALLBACKDEPTH, 0}, {ATTR_DONE, 0}};
  SetGlobalAttrs(L, out);
  if (!error) {
    int t = VmType(L, -1);
    *stop = (t == VM_TYPE_BOOLEAN && VmToBoolean(L, -1)) ||
            (t == VM_TYPE_NUMBER && VmToNumber(L, -1) == 1);
  }
  VmSetTop(L, top);
  return error;
}

}  // namespace

int CmdApplyPatch(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  FileObject* source;
  if (ErrorCode e = GetFileArg(L, 1, &source)) return e;
  FileObject* patch;
  if (ErrorCode e = GetFileArg(L, 2, &patch)) return e;
  FileObject* destination;
  if (ErrorCode e = GetFileArg(L, 3, &destination)) return e;
  int callback = 0;
  if (VmType(L, 4) != VM_TYPE_NONE && VmType(L, 4) != VM_TYPE_NIL) {
    VmCheckFunction(L, 4);
    callback = 4;
  }
  if (source->mode == MODE_WRITE || patch->mode == MODE_WRITE) return ERR_WRITEONLY;
  if (destination->mode == MODE_READ) return ERR_READONLY;
  // Bytes left from the source's position; a source of unknown size is
  // read to its end.
  int64_t size = GetStreamSize(source->stream);
  if (size >= 0) {
    int64_t position = SeekFileStream(source->stream, 0, 0);
    size = position >= 0 && position <= size ? size - position : -1;
  }
  OwnedMemory<uint8_t> in(static_cast<uint8_t*>(AllocMemory(PATCH_BLOCK, 0)));
  OwnedMemory<uint8_t> mask(static_cast<uint8_t*>(AllocMemory(PATCH_BLOCK, 0)));
  if (!in || !mask) return ERR_MEM;
  bool patchLeft = true;
  int64_t done = 0;
  int32_t reported = -1;
  for (;;) {
    size_t want = PATCH_BLOCK;
    if (size >= 0 && static_cast<uint64_t>(size - done) < want)
      want = static_cast<size_t>(size - done);
    if (want == 0) break;
    size_t n = readFully(source->stream, in.get(), want);
    if (n == 0) break;
    size_t patched = patchLeft ? readFully(patch->stream, mask.get(), n) : 0;
    if (patched < n) patchLeft = false;
    // Past the patch's end the source bytes are complemented.
    for (size_t i = 0; i < n; i++)
      in.get()[i] = i < patched ? in.get()[i] ^ mask.get()[i] : static_cast<uint8_t>(~in.get()[i]);
    if (DosWriteBytes(destination->stream, in.get(), n) != n) return ERR_WRITE;
    done += static_cast<int64_t>(n);
    // Integer percentages: the last block reports exactly 100.
    int32_t percent = size > 0 ? static_cast<int32_t>(done * 100 / size) : -1;
    if (callback && percent >= 0 && percent != reported) {
      reported = percent;
      bool stop = false;
      ErrorCode error = reportPatchProgress(L, callback, percent, &stop);
      if (error) return error;
      if (stop) return ERR_NONE;
    }
    ErrorCode pollError = ERR_NONE;
    if (RunEventPoll(L, 1, 0, &pollError)) {
      if (pollError) return pollError;
      vmRun.quit = 1;
      return ERR_USERABORT;
    }
    if (n < want) break;
  }
  if (callback && size < 0 && done > 0) {
    bool stop = false;
    return reportPatchProgress(L, callback, 100, &stop);
  }
  return ERR_NONE;
}

int CmdDefineVirtualFile(VmState* L) {
  CheckArgCount(L, 4, 4, 0, 0);
  const char* file = GetFileNameArg(L, 1);
  double offsetArg = VmCheckNumber(L, 2);
  double sizeArg = VmCheckNumber(L, 3);
  const char* name = VmCheckString(L, 4, nullptr);
  // Offsets and sizes beyond 2^53 cannot come from a script number exactly.
  constexpr double LIMIT = 9007199254740992.0;
  if (!(offsetArg >= 0 && offsetArg < LIMIT) || !(sizeArg >= 1 && sizeArg < LIMIT) || !name[0] ||
      !file[0])
    return ERR_WRONGUSAGE;
  uint64_t offset = static_cast<uint64_t>(offsetArg);
  uint64_t size = static_cast<uint64_t>(sizeArg);
  char holder[LOCK_PATH_SIZE];
  if (IsChunkName(file)) {
    // A range of linked data: it must lie inside it and counts from its
    // start; the file that holds the data holds the new range too.
    uint64_t start = 0, length = 0;
    VirtualFile* stringFile = nullptr;
    if (!ParseChunkName(file, &start, &length, nullptr, 0, holder, sizeof holder, nullptr, 0,
                        &stringFile) ||
        stringFile || offset > length || size > length - offset)
      return ERR_WRONGUSAGE;
    offset += start;
  } else if (!ResolveFullPath(file, holder, sizeof holder)) {
    SetErrorArgString(file);
    return ERR_READFILE;
  }
  char chunk[LOCK_PATH_SIZE];
  if (offset > INT64_MAX ||
      !MakeChunkName(name, chunk, sizeof chunk, static_cast<int64_t>(offset), size, 0, holder))
    return ERR_WRONGUSAGE;
  VmPushString(L, chunk);
  return 1;
}
