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
