// The plug-in pack in front of an appended applet: "QMP!", a big-endian
// flags word (bit 0: entries are "PLPK" containers), then entries {name,
// zero-terminated; 32-bit big-endian size; size bytes} ending with an empty
// name. Each entry becomes "<name>.qmp" in the run's temporary directory.
//
// Invariant: nothing is written outside the temporary directory: a name
// with a path separator or "..", or longer than a module name, is refused
// before any file is made, and every size is checked against the bytes
// the program file still holds.
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"
#include "plugins/context_private.h"
#include "plugins/plugin_private.h"

namespace {

constexpr uint32_t PACK_COMPRESSED = 1;
constexpr uint32_t UNPACKED_PROTECTION = 23051;  // rwx owner, r-x group and others
constexpr size_t PACK_NAME_MAX = PLUGIN_MODULE_NAME_SIZE - 1;

struct PackState {
  StreamHandle* stream = nullptr;
  void* buffer = nullptr;
  ~PackState() {
    FreeMemory(buffer);
    CloseFileStream(stream);
  }
};

bool safeName(const char* name) {
  return !std::strchr(name, '/') && !std::strchr(name, '\\') && !std::strstr(name, "..");
}

// Reads a zero-terminated name; 0, or ERR_READ at the end of the file or
// for a name too long to be a module name.
ErrorCode readName(StreamHandle* stream, char* name, size_t size) {
  for (size_t i = 0;; i++) {
    int c = ReadStreamByte(stream);
    if (c < 0) return ERR_READ;
    if (i >= size) return ERR_READ;
    name[i] = static_cast<char>(c);
    if (c == 0) return ERR_NONE;
  }
}

ErrorCode readBE32(StreamHandle* stream, uint32_t* value) {
  uint8_t b[4];
  if (ReadStream(stream, b, 4) != 4) return ERR_READ;
  *value = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  return ERR_NONE;
}

ErrorCode copyBytes(StreamHandle* in, const char* target, void* buffer, uint32_t size) {
  StreamHandle* out = OpenFileStream(target, STREAM_WRITE, nullptr);
  if (!out) {
    SetErrorArgString(target);
    return ERR_WRITEFILE;
  }
  ErrorCode error = ERR_NONE;
  for (uint32_t left = size; left && !error;) {
    size_t block = left < STREAM_BLOCK_SIZE ? left : STREAM_BLOCK_SIZE;
    if (ReadStream(in, buffer, block) != block)
      error = ERR_READ;
    else if (WriteStream(out, buffer, block) != block)
      error = ERR_WRITE;
    left -= static_cast<uint32_t>(block);
  }
  CloseFileStream(out);
  return error;
}

void deleteDirectoryContents(const char* directory) {
  NativeLock* lock = LockPathNative(directory, 1);
  if (!lock) return;
  const char* name = nullptr;
  int32_t isDirectory = 0;
  while (NextDirEntryNative(lock, 0, &name, &isDirectory, nullptr)) {
    char path[1024];
    StrCopyBounded(path, sizeof path, directory);
    StrAppendBounded(path, sizeof path, "/");
    if (!StrAppendBounded(path, sizeof path, name)) continue;
    if (isDirectory) deleteDirectoryContents(path);
    DeleteFileNative(path);
  }
  CloseDirNative(lock);
}

// Deletes every entry of a directory by its absolute path, subdirectories
// first; false when the directory cannot be opened (nothing is deleted).
bool deleteDirectoryEntries(const char* directory, int depth) {
  NativeLock* lock = LockPathNative(directory, 1);
  if (!lock) return false;
  const char* name = nullptr;
  int32_t isDirectory = 0;
  while (NextDirEntryNative(lock, 0, &name, &isDirectory, nullptr)) {
    char path[PLAYER_PATH_SIZE];
    StrCopyBounded(path, sizeof path, directory);
    if (!AddPart(path, name, sizeof path)) continue;
    if (isDirectory && (depth >= 16 || !deleteDirectoryEntries(path, depth + 1))) continue;
    DeleteFileNative(path);
  }
  CloseDirNative(lock);
  return true;
}

}  // namespace

ErrorCode GetPluginTempDirectory(const char** path) {
  if (!pluginContext.tempDirectory[0]) {
    char name[sizeof pluginContext.tempDirectory];
    if (!CreateTempFile(name, sizeof name)) return ERR_WRITEFILE;
    DeleteFileNative(name);
    ErrorCode error = MakeDirectoryNative(name);
    if (error) return error;
    StrCopyBounded(pluginContext.tempDirectory, sizeof pluginContext.tempDirectory, name);
  }
  *path = pluginContext.tempDirectory;
  return ERR_NONE;
}

const char* PeekPluginTempDirectory() { return pluginContext.tempDirectory; }

void DeletePluginTempDirectory() {
  if (!pluginContext.tempDirectory[0]) return;
  deleteDirectoryContents(pluginContext.tempDirectory);
  DeleteFileNative(pluginContext.tempDirectory);
  pluginContext.tempDirectory[0] = '\0';
}

// The run's temporary directory goes with its contents, by absolute paths,
// so the current directory never matters; one that cannot be opened is
// left as it is.
void RemovePluginTempDirectory() {
  const char* directory = PeekPluginTempDirectory();
  if (!directory || !directory[0] || directory[0] != '/') return;
  char path[PLAYER_PATH_SIZE];
  StrCopyBounded(path, sizeof path, directory);
  if (!deleteDirectoryEntries(path, 0)) return;
  DeleteFileNative(path);
  DeletePluginTempDirectory();  // forgets the name; the directory is gone
}

ErrorCode LoadPlugins(const char* programPath, uint64_t* offset, int updateOffset) {
  PackState state;
  state.stream = OpenFileStream(programPath, STREAM_READ, nullptr);
  if (!state.stream) {
    SetErrorArgString(programPath);
    return ERR_READFILE;
  }
  int64_t fileSize = GetStreamSize(state.stream);
  if (SeekFileStream(state.stream, static_cast<int64_t>(*offset), 1) < 0) return ERR_NONE;
  char magic[4];
  if (ReadStream(state.stream, magic, 4) != 4 || std::memcmp(magic, "QMP!", 4) != 0)
    return ERR_NONE;
  state.buffer = AllocMemory(STREAM_BLOCK_SIZE, 0);
  if (!state.buffer) return ERR_MEM;
  uint32_t flags = 0;
  if (readBE32(state.stream, &flags)) return ERR_READ;

  for (;;) {
    char name[PACK_NAME_MAX + 1];
    ErrorCode error = readName(state.stream, name, sizeof name);
    if (error) return error;
    if (!name[0]) break;
    uint32_t size = 0;
    if (readBE32(state.stream, &size)) return ERR_READ;
    int64_t position = SeekFileStream(state.stream, 0, 0);
    if (position < 0 || (fileSize >= 0 && static_cast<uint64_t>(fileSize - position) < size))
      return ERR_READ;
    if (!safeName(name)) {
      SetErrorArgString(name);
      return ERR_WRITEFILE;
    }
    const char* directory = nullptr;
    error = GetPluginTempDirectory(&directory);
    if (error) return error;
    char target[1024];
    StrCopyBounded(target, sizeof target, directory);
    StrAppendBounded(target, sizeof target, "/");
    StrAppendBounded(target, sizeof target, name);
    if (!StrAppendBounded(target, sizeof target, ".qmp")) {
      SetErrorArgString(name);
      return ERR_WRITEFILE;
    }
    if (!(flags & PACK_COMPRESSED)) {
      StreamHandle* existing = OpenFileStream(target, STREAM_READ, nullptr);
      if (existing) {
        CloseFileStream(existing);
        if (SeekFileStream(state.stream, size, 0) < 0) return ERR_READ;
      } else {
        error = copyBytes(state.stream, target, state.buffer, size);
        if (error) {
          DeleteFileNative(target);  // no half-written plug-in is left to load
          return error;
        }
      }
    } else {
      uint64_t consumed = 0;
      error = InflatePackedFile("PLPK", nullptr, state.stream, static_cast<uint64_t>(position),
                                target, state.buffer, STREAM_BLOCK_SIZE, &consumed, nullptr);
      // The container must lie within its entry.
      if (!error && consumed > size) error = ERR_READ;
      if (error) {
        DeleteFileNative(target);
        return error;
      }
      if (SeekFileStream(state.stream, position + static_cast<int64_t>(size), 1) < 0)
        return ERR_READ;
    }
    SetFileProtection(target, UNPACKED_PROTECTION);
  }
  if (updateOffset) {
    int64_t position = SeekFileStream(state.stream, 0, 0);
    if (position >= 0) *offset = static_cast<uint64_t>(position);
  }
  return ERR_NONE;
}
