// The dos library's file management: copying, moving, deleting and
// renaming files and trees with progress callbacks and name filters,
// making directories, reading and setting file attributes, and the
// environment.
//
// Invariants: tree walks never follow a symbolic link (a link is copied or
// deleted as a link), so they stay inside the tree they were given and end;
// a copy never reaches into its own source; a copy that fails or is stopped
// leaves no partial target behind; names are never cut to fit, a name that
// does not fit is an error.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

namespace {

// Block size of a copy that no callback watches.
constexpr size_t UNWATCHED_COPY_BLOCK = 1 << 20;
// Longest copy target, in bytes with the terminator.
constexpr size_t COPY_TARGET_SIZE = 2048;
// Longest name that Rename gives a file.
constexpr size_t RENAME_NAME_MAX = 511;

// Callback actions.
enum : int32_t {
  COPYFILE_STATUS = 0,
  COPYFILE_OVERWRITE = 1,
  COPYFILE_UNPROTECT = 2,
  MOVEFILE_UNPROTECT = 0,
  MOVEFILE_COPY = 1,
  MOVEFILE_DELETE = 2,
  DELETEFILE_STATUS = 0,
  DELETEFILE_UNPROTECT = 1,
};

bool optFlag(VmState* L, int index, bool def) {
  int t = VmType(L, index);
  if (t == VM_TYPE_NONE || t == VM_TYPE_NIL) return def;
  if (t == VM_TYPE_BOOLEAN) return VmToBoolean(L, index) != 0;
  return VmCheckNumber(L, index) != 0;
}

std::string joinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  char last = dir.back();
  return last == '/' || last == '\\' ? dir + name : dir + "/" + name;
}

std::string filePartOf(const std::string& path) {
  size_t cut = path.find_last_of("/\\:");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string stripTrailingSlash(std::string path) {
  if (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  return path;
}

// Examines a path without following a final symbolic link.
struct Examined {
  bool exists = false;
  bool link = false;
  FileInfo info{};
};
Examined examinePath(const std::string& path) {
  Examined e;
  const int kind = PathKindNative(path.c_str());
  e.link = kind == 1;
  // Nothing in the file system and no adapter to ask: no lock could be had.
  if (kind == 0 && !IsChunkName(path.c_str()) && !FileAdaptersAsked(nullptr)) return e;
  LockHandle* lock = LockFile(path.c_str(), 1, nullptr);
  if (lock) {
    e.exists = ExamineLock(lock, &e.info) != 0;
    UnLockFile(lock);
  }
  if (e.link) {
    // A link is a file of its own whatever it points at.
    e.exists = true;
    e.info.isDirectory = 0;
  }
  return e;
}

bool isProtected(const FileInfo& info) { return (info.protection & FILEATTR_WRITE_USR) == 0; }

// The script's callback and user data of a file operation, and the actions
// that its messages carry.
struct Operation {
  VmState* L;
  int callback = 0;  // stack index, 0 for none
  int userData = 0;  // stack index, 0 for none
  const char* pattern = nullptr;
  size_t patternLength = 0;
  bool filterDirectories = true;
  int32_t statusAction = COPYFILE_STATUS;
  int32_t unprotectAction = COPYFILE_UNPROTECT;
  int32_t deleteStatusAction = DELETEFILE_STATUS;
  int32_t deleteUnprotectAction = DELETEFILE_UNPROTECT;

  bool matches(const std::string& name) const {
    return !pattern || MatchPatternList(name.c_str(), pattern, patternLength);
  }

  // Calls the callback with a message table that fill completes; *result
  // is its number (True 1). A raise in the callback becomes the error.
  ErrorCode call(int32_t action, const std::function<void()>& fill, double* result) {
    *result = 0;
    int top = VmGetTop(L);
    VmPushValue(L, callback);
    VmNewTable(L);
    SetTableFieldInt(L, "action", action);
    fill();
    if (userData) {
      VmPushString(L, "userdata");
      VmPushValue(L, userData);
      VmSetTable(L, -3);
    }
    TagItem in[] = {{ATTR_CALLBACKDEPTH, 1}, {ATTR_DONE, 0}};
    SetGlobalAttrs(L, in);
    ErrorCode error = VmPCall(L, 1, 1, 0);
    TagItem out[] = {{ATTR_CALLBACKDEPTH, 0}, {ATTR_DONE, 0}};
    SetGlobalAttrs(L, out);
    if (!error) {
      if (VmType(L, -1) == VM_TYPE_BOOLEAN)
        *result = VmToBoolean(L, -1) ? 1 : 0;
      else if (VmType(L, -1) == VM_TYPE_NUMBER)
        *result = VmToNumber(L, -1);
    }
    VmSetTop(L, top);
    return error;
  }

  // The answer to an unprotect message: ERR_USERABORT to stop, 0 with
  // *proceed false to skip, else the protection is cleared.
  ErrorCode unprotect(int32_t action, const char* field, const std::string& path, bool* proceed) {
    double r;
    ErrorCode error = call(
        action, [&] { SetTableFieldString(L, field, path.c_str()); }, &r);
    if (error) return error;
    if (r == -1) return ERR_USERABORT;
    *proceed = r != 0;
    if (*proceed) SetFileProtection(path.c_str(), FILEATTR_NORMAL);
    return ERR_NONE;
  }
};

// ---- Deleting ---------------------------------------------------------------------------------

ErrorCode deleteOne(Operation& op, const std::string& path, const char* field) {
  Examined e = examinePath(path);
  if (!e.exists) return ERR_DELETEFILE;
  if (!e.link && isProtected(e.info)) {
    if (!op.callback) return ERR_NONE;
    bool proceed = false;
    ErrorCode error = op.unprotect(op.deleteUnprotectAction, field, path, &proceed);
    if (error || !proceed) return error;
  }
  if (op.callback) {
    double r;
    ErrorCode error = op.call(
        op.deleteStatusAction, [&] { SetTableFieldString(op.L, field, path.c_str()); }, &r);
    if (error) return error;
    if (r == 1) return ERR_USERABORT;
  }
  return DeleteFileNative(path.c_str()) ? ERR_NONE : ERR_DELETEFILE;
}

// Lists a directory's entries (name, whether it is a directory); links are
// reported as files. 1286 naming the path when it cannot be locked.
ErrorCode listDirectory(const std::string& path, std::vector<std::pair<std::string, bool>>* out) {
  LockHandle* lock = LockFile(path.c_str(), 1 | LOCK_DIRECTORY, nullptr);
  if (!lock) {
    SetErrorArgString(path.c_str());
    return ERR_LOCK2;
  }
  const char* name;
  int32_t isDirectory;
  while (NextLockEntry(lock, 0, &name, &isDirectory, nullptr)) {
    std::string full = joinPath(path, name);
    out->emplace_back(name, isDirectory && !IsSymbolicLinkNative(full.c_str()));
  }
  UnLockFile(lock);
  return ERR_NONE;
}

ErrorCode deleteTree(Operation& op, const std::string& path, const char* field) {
  std::vector<std::pair<std::string, bool>> entries;
  ErrorCode error = listDirectory(path, &entries);
  if (error) return error;
  bool kept = false;
  for (const auto& [name, isDirectory] : entries) {
    std::string full = joinPath(path, name);
    if (isDirectory) {
      if (op.filterDirectories && !op.matches(name)) {
        kept = true;
        continue;
      }
      error = deleteTree(op, full, field);
    } else if (!op.matches(name)) {
      kept = true;
      continue;
    } else {
      error = deleteOne(op, full, field);
    }
    if (error) return error;
    if (examinePath(full).exists) kept = true;
  }
  // A directory that still holds what was skipped or protected stays.
  if (kept) return ERR_NONE;
  return deleteOne(op, path, field);
}

// Deletes a file or a tree with the delete rules.
ErrorCode deletePath(Operation& op, std::string path, const char* field) {
  path = stripTrailingSlash(path);
  Examined e = examinePath(path);
  if (e.exists && e.info.isDirectory) return deleteTree(op, path, field);
  if (op.pattern) return ERR_NODIRPATTERN;
  return deleteOne(op, path, field);
}

// ---- Copying ----------------------------------------------------------------------------------

// Creates a directory and its missing parents: 1084 naming the prefix that
// is a file or cannot be made.
ErrorCode makeDirectories(const std::string& path) {
  for (size_t i = 1; i <= path.size(); i++) {
    if (i < path.size() && path[i] != '/' && path[i] != '\\') continue;
    std::string prefix = path.substr(0, i);
    if (prefix.empty() || prefix.back() == ':') continue;
    Examined e = examinePath(prefix);
    if (e.exists && e.info.isDirectory && !e.link) continue;
    if (e.exists || MakeDirectoryNative(prefix.c_str()) != ERR_NONE) {
      // A link to a directory is a directory to walk through.
      ExtendedFileInfo info;
      if (e.link && ExamineFile(prefix.c_str(), &info, 0) && info.isDirectory) continue;
      SetErrorArgString(prefix.c_str());
      return ERR_CREATEDIR;
    }
  }
  return ERR_NONE;
}

struct StreamCloser {
  void operator()(StreamHandle* s) const { CloseFileStream(s); }
};

// Copies one file into a directory (new name or its own), with the copy
// rules; move deletes the source afterwards. kind is what ExaminePathNative
// said of the source (1 a link, 2 a regular file), or 0 when not asked.
ErrorCode copyFile(Operation& op, const std::string& source, const std::string& destDir,
                   const std::string& newName, bool move, const FileInfo* sourceInfo,
                   int kind = 0) {
  std::string fileName = filePartOf(source);
  if (IsChunkName(source.c_str())) {
    char name[LOCK_PATH_SIZE];
    if (ParseChunkName(source.c_str(), nullptr, nullptr, name, sizeof name, nullptr, 0, nullptr, 0,
                       nullptr))
      fileName = name;
  }
  if (!op.matches(fileName)) return ERR_NONE;
  std::string target = joinPath(destDir, newName.empty() ? fileName : newName);
  if (target.size() >= COPY_TARGET_SIZE) {
    SetErrorArgString(target.c_str());
    return ERR_WRITEFILE;
  }
  if (kind == 1 || (kind != 2 && IsSymbolicLinkNative(source.c_str()))) {
    Examined t = examinePath(target);
    if (t.exists) DeleteFileNative(target.c_str());
    if (!CopySymbolicLinkNative(source.c_str(), target.c_str())) {
      SetErrorArgString(target.c_str());
      return ERR_WRITEFILE;
    }
    return move ? deleteOne(op, source, "file") : ERR_NONE;
  }
  Examined existing = examinePath(target);
  if (existing.exists) {
    if (op.callback && !move) {
      double r;
      ErrorCode error = op.call(
          COPYFILE_OVERWRITE,
          [&] {
            SetTableFieldString(op.L, "source", source.c_str());
            SetTableFieldString(op.L, "destination", target.c_str());
          },
          &r);
      if (error) return error;
      if (r == -1) return ERR_USERABORT;
      if (r == 0) return ERR_NONE;
    }
    if (isProtected(existing.info)) {
      if (!op.callback) return ERR_NONE;
      bool proceed = false;
      ErrorCode error = op.unprotect(move ? MOVEFILE_UNPROTECT : COPYFILE_UNPROTECT, "destination",
                                     target, &proceed);
      if (error || !proceed) return error;
    }
    // Opening the target for writing would empty the source, and the
    // failed copy would then delete it.
    if (IsSameFileNative(source.c_str(), target.c_str())) return ERR_WRONGUSAGE;
  }
  // Nobody watches the blocks: a regular file of the file system is copied
  // by the kernel, its times and protection given on the open target.
  if (!op.callback && !FileAdaptersAsked(nullptr)) {
    ErrorCode error = ERR_NONE;
    if (CopyRegularFileNative(source.c_str(), target.c_str(), sourceInfo, &error)) {
      if (error == ERR_READFILE || error == ERR_WRITEFILE)
        SetErrorArgString((error == ERR_READFILE ? source : target).c_str());
      if (error) return error;
      return move ? deleteOne(op, source, "file") : ERR_NONE;
    }
  }
  std::unique_ptr<StreamHandle, StreamCloser> in(
      OpenFileStream(source.c_str(), STREAM_READ | STREAM_ADAPTERS, nullptr));
  if (!in) {
    SetErrorArgString(source.c_str());
    return ERR_READFILE;
  }
  StreamHandle* out = OpenFileStream(target.c_str(), STREAM_WRITE, nullptr);
  if (!out) {
    SetErrorArgString(target.c_str());
    return ERR_WRITEFILE;
  }
  int64_t size = GetStreamSize(in.get());
  // With a callback the status message follows every 16 KiB block, as
  // scripts expect; without one nobody sees the blocks, so a large file goes
  // in larger ones, which saves system calls.
  size_t blockSize = STREAM_BLOCK_SIZE;
  if (!op.callback && size > static_cast<int64_t>(blockSize))
    blockSize = static_cast<size_t>(std::min<int64_t>(size, UNWATCHED_COPY_BLOCK));
  OwnedMemory<uint8_t> block(static_cast<uint8_t*>(AllocMemory(blockSize, 0)));
  if (!block) {
    CloseFileStream(out);
    DeleteFileNative(target.c_str());
    return ERR_MEM;
  }
  int64_t copied = 0;
  ErrorCode error = ERR_NONE;
  for (;;) {
    size_t n = ReadStreamRaw(in.get(), block.get(), blockSize);
    if (n == 0) break;
    if (WriteStreamRaw(out, block.get(), n) != n) {
      error = ERR_WRITE;
      break;
    }
    copied += static_cast<int64_t>(n);
    if (op.callback) {
      double r;
      error = op.call(
          op.statusAction,
          [&] {
            SetTableFieldString(op.L, "source", source.c_str());
            SetTableFieldString(op.L, "destination", target.c_str());
            SetTableFieldNumber(op.L, "copied", static_cast<double>(copied));
            SetTableFieldNumber(op.L, "filesize", static_cast<double>(size));
          },
          &r);
      if (!error && r == 1) error = ERR_USERABORT;
      if (error) break;
    }
    if (n < blockSize && size < 0) break;
  }
  if (!error && (size >= 0 ? copied != size : !IsStreamEOF(in.get()))) error = ERR_READ;
  if (!CloseFileStream(out) && !error) error = ERR_WRITE;
  if (error) {
    DeleteFileNative(target.c_str());
    return error;
  }
  if (sourceInfo) {
    uint32_t times[2] = {sourceInfo->times[0], sourceInfo->times[1]};
    SetFileDate(target.c_str(), times);
    SetFileProtection(target.c_str(), sourceInfo->protection);
  }
  return move ? deleteOne(op, source, "file") : ERR_NONE;
}

// Copies a directory's entries into destination (made with its parents);
// below the top level the directory's own name is added to the destination.
ErrorCode copyTree(Operation& op, const std::string& source, std::string destination, bool top,
                   bool move) {
  Examined self = examinePath(source);
  ErrorCode error = ERR_NONE;
  if (!top) destination = joinPath(destination, filePartOf(source));
  // Below the top the parent was just made: only the last directory can
  // be missing.
  if (top || MakeDirectoryNative(destination.c_str()) != ERR_NONE)
    error = makeDirectories(destination);
  if (error) return error;
  std::vector<std::pair<std::string, bool>> entries;
  error = listDirectory(source, &entries);
  if (error) return error;
  const bool adapters = FileAdaptersAsked(nullptr) != 0;
  for (const auto& [name, isDirectory] : entries) {
    std::string full = joinPath(source, name);
    if (isDirectory) {
      if (op.filterDirectories && !op.matches(name)) continue;
      error = copyTree(op, full, destination, false, move);
    } else if (adapters || IsChunkName(full.c_str())) {
      // The facts a copy keeps (times and protection) as an examined lock
      // gives them, where more than the file system may answer.
      FileInfo facts = examinePath(full).info;
      error = copyFile(op, full, destination, "", move, &facts);
    } else {
      // One look without following a link tells a link from a regular file
      // and gives the facts a copy keeps; anything else keeps none.
      FileInfo facts{};
      int kind = ExaminePathNative(full.c_str(), &facts);
      error = copyFile(op, full, destination, "", move, &facts, kind);
    }
    if (error) return error;
  }
  uint32_t times[2] = {self.info.times[0], self.info.times[1]};
  SetFileDate(destination.c_str(), times);
  SetFileProtection(destination.c_str(), self.info.protection);
  if (move) {
    std::vector<std::pair<std::string, bool>> left;
    if (listDirectory(source, &left) == ERR_NONE && left.empty())
      return deleteOne(op, source, "file");
  }
  return ERR_NONE;
}

// Whether inner is outer or lies below it (full paths).
bool isInside(const std::string& inner, const std::string& outer) {
  std::string o = stripTrailingSlash(outer);
  return inner == o ||
         (inner.size() > o.size() && inner.compare(0, o.size(), o) == 0 && inner[o.size()] == '/');
}

std::string fullPathOf(const std::string& path) {
  char buffer[NATIVE_PATH_MAX];
  return ResolveFullPath(path.c_str(), buffer, sizeof buffer) ? std::string(buffer) : path;
}

// Sets a callback, user data and filter from the arguments at the indexes
// given (0: none of that kind).
void readOperationArgs(VmState* L, Operation* op, int callbackIndex, int userIndex,
                       int patternIndex, int filterIndex) {
  op->L = L;
  int t = VmType(L, callbackIndex);
  if (t != VM_TYPE_NONE && t != VM_TYPE_NIL) {
    VmCheckFunction(L, callbackIndex);
    op->callback = callbackIndex;
  }
  if (userIndex && VmType(L, userIndex) != VM_TYPE_NONE) op->userData = userIndex;
  if (patternIndex) {
    t = VmType(L, patternIndex);
    if (t != VM_TYPE_NONE && t != VM_TYPE_NIL) {
      op->pattern = VmCheckString(L, patternIndex, &op->patternLength);
      if (op->patternLength == 0) op->pattern = nullptr;
    }
  }
  if (filterIndex) op->filterDirectories = optFlag(L, filterIndex, true);
}

// A stop asked for by a callback ends the command without an error.
int finish(ErrorCode error) { return error == ERR_USERABORT ? 0 : error; }

int cmdCopyFile(VmState* L) {
  CheckArgCount(L, 2, 7, 0, 0);
  std::string source = GetFileNameArg(L, 1);
  std::string destination = VmCheckString(L, 2, nullptr);
  std::string newName;
  if (VmType(L, 3) != VM_TYPE_NONE && VmType(L, 3) != VM_TYPE_NIL)
    newName = VmCheckString(L, 3, nullptr);
  Operation op;
  readOperationArgs(L, &op, 4, 5, 6, 7);
  if (source.empty() && destination.empty()) return ERR_WRONGUSAGE;
  if (op.pattern) source = stripTrailingSlash(source);

  Examined e = examinePath(source);
  bool isDirectory = e.exists && e.info.isDirectory;
  if (!e.exists) {
    StreamHandle* probe = OpenFileStream(source.c_str(), STREAM_READ | STREAM_ADAPTERS, nullptr);
    if (!probe) {
      SetErrorArgString(source.c_str());
      return ERR_READFILE;
    }
    CloseFileStream(probe);
  }
  if (!isDirectory && op.pattern) return ERR_NODIRPATTERN;
  if (isDirectory && !newName.empty()) return ERR_WRONGUSAGE;
  if (isDirectory && isInside(fullPathOf(destination), fullPathOf(source))) return ERR_WRONGUSAGE;
  ErrorCode error = makeDirectories(stripTrailingSlash(destination));
  if (error) return error;
  LockHandle* lock = LockFile(destination.c_str(), 1 | LOCK_DIRECTORY, nullptr);
  if (!lock) {
    SetErrorArgString(destination.c_str());
    return ERR_LOCK2;
  }
  char full[LOCK_PATH_SIZE];
  int named = NameFromLock(lock, full, sizeof full);
  UnLockFile(lock);
  if (!named) return ERR_MEM;
  if (isDirectory) return finish(copyTree(op, source, full, true, false));
  return finish(copyFile(op, source, full, newName, false, e.exists ? &e.info : nullptr));
}

int cmdMoveFile(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  std::string source = VmCheckString(L, 1, nullptr);
  std::string destination = VmCheckString(L, 2, nullptr);
  Operation op;
  readOperationArgs(L, &op, 3, 4, 0, 0);
  op.statusAction = MOVEFILE_COPY;
  op.deleteStatusAction = MOVEFILE_DELETE;
  op.deleteUnprotectAction = MOVEFILE_UNPROTECT;
  if (source.empty() || destination.empty()) return ERR_WRONGUSAGE;
  if (examinePath(destination).exists) return ERR_WRONGUSAGE;
  Examined e = examinePath(source);
  if (!e.exists) {
    SetErrorArgString(source.c_str());
    return ERR_READFILE;
  }
  if (IsVolumeRoot(source.c_str())) return ERR_WRONGUSAGE;
  std::string parent = destination;
  size_t cut = stripTrailingSlash(parent).find_last_of("/\\");
  parent = cut == std::string::npos ? "." : cut == 0 ? "/" : parent.substr(0, cut);
  Examined p = examinePath(parent);
  if (!p.exists || !p.info.isDirectory) {
    SetErrorArgString(parent.c_str());
    return ERR_LOCK2;
  }
  ErrorCode error = MoveFileNative(source.c_str(), destination.c_str());
  if (error != ERR_WRONGUSAGE) return error;
  // Another device: copy, then delete the source.
  if (e.info.isDirectory) {
    if (isInside(fullPathOf(destination), fullPathOf(source))) return ERR_WRONGUSAGE;
    return finish(copyTree(op, source, destination, true, true));
  }
  return finish(
      copyFile(op, source, parent, filePartOf(stripTrailingSlash(destination)), true, &e.info));
}

int cmdDeleteFile(VmState* L) {
  CheckArgCount(L, 1, 5, 0, 0);
  std::string path = VmCheckString(L, 1, nullptr);
  Operation op;
  readOperationArgs(L, &op, 2, 3, 4, 5);
  if (IsChunkName(path.c_str()) || path.empty()) return ERR_WRONGUSAGE;
  return finish(deletePath(op, path, "file"));
}

int cmdRename(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  const char* from = VmCheckString(L, 1, nullptr);
  const char* to = VmCheckString(L, 2, nullptr);
  if (!from[0] || !to[0] || IsChunkName(from) || IsChunkName(to)) return ERR_WRONGUSAGE;
  if (std::strlen(from) > RENAME_NAME_MAX || std::strlen(to) > RENAME_NAME_MAX) return ERR_RENAME;
  return RenameFileNative(from, to) ? ERR_NONE : ERR_RENAME;
}

int cmdMakeDirectory(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  std::string path = VmCheckString(L, 1, nullptr);
  if (path.empty()) return ERR_WRONGUSAGE;
  return makeDirectories(stripTrailingSlash(path));
}

// ---- Attributes -----------------------------------------------------------------------------

void setDateField(VmState* L, const char* key, time_t seconds) {
  struct tm t {};
  localtime_r(&seconds, &t);
  DateFields d{t.tm_sec, t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon, t.tm_year + 1900};
  char text[64];
  FormatDateText(&d, text, sizeof text);
  SetTableFieldString(L, key, text);
}

void pushAttributeTable(VmState* L, const FileInfo& info, const char* path) {
  VmNewTable(L);
  SetTableFieldInt(L, "type", info.isDirectory ? 1 : 0);
  if (!info.isDirectory) SetTableFieldNumber(L, "size", static_cast<double>(info.size));
  SetTableFieldNumber(L, "flags", info.protection);
  setDateField(L, "time", info.times[1]);
  setDateField(L, "lastaccesstime", info.times[0]);
  SetTableFieldString(L, "path", path);
}

int cmdGetFileAttributes(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  const char* given = VmCheckString(L, 1, nullptr);
  const char* name = GetFileNameArg(L, 1);
  const char* adapter = VmOptString(L, 2, nullptr, nullptr);
  bool linked = IsChunkName(name);
  LockHandle* lock = LockFile(name, 1, adapter && adapter[0] ? adapter : nullptr);
  if (!lock) {
    SetErrorArgString(given);
    return ERR_READFILE;
  }
  FileInfo info{};
  char full[LOCK_PATH_SIZE] = "";
  bool ok = ExamineLock(lock, &info) != 0;
  if (ok && !linked) NameFromLock(lock, full, sizeof full);
  UnLockFile(lock);
  if (!ok) {
    SetErrorArgString(given);
    return ERR_EXAMINE;
  }
  pushAttributeTable(L, info, linked ? given : full);
  SetTableFieldInt(L, "virtual", linked ? 1 : 0);
  return 1;
}

int cmdFileAttributes(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  FileObject* file;
  if (ErrorCode e = GetFileArg(L, 1, &file)) return e;
  FileInfo info{};
  if (!ExamineStream(file->stream, &info)) return ERR_STAT;
  pushAttributeTable(L, info, info.path ? info.path : "");
  uint32_t flags = GetStreamAdapterFlags(file->stream);
  SetTableFieldInt(L, "streaming", (flags & 1) ? 1 : 0);
  SetTableFieldInt(L, "noseek", (flags & 2) ? 1 : 0);
  return 1;
}

// Reads an optional date text field as seconds since 1970: 0 when absent,
// 1285 when malformed or not convertible.
ErrorCode readDateField(VmState* L, const char* key, bool* present, uint32_t* out) {
  VmPushString(L, key);
  VmGetTable(L, 2);
  *present = VmType(L, -1) != VM_TYPE_NIL;
  ErrorCode error = ERR_NONE;
  if (*present) {
    DateFields d{};
    const char* text = VmType(L, -1) == VM_TYPE_STRING ? VmToString(L, -1) : "";
    struct tm t {};
    if (!ParseDateString(text, &d)) {
      error = ERR_INVALIDDATE;
    } else {
      t.tm_sec = d.seconds;
      t.tm_min = d.minutes;
      t.tm_hour = d.hours;
      t.tm_mday = d.day;
      t.tm_mon = d.month;
      t.tm_year = d.year - 1900;
      t.tm_isdst = -1;
      time_t seconds = std::mktime(&t);
      if (seconds < 0 || static_cast<uint64_t>(seconds) > UINT32_MAX)
        error = ERR_INVALIDDATE;
      else
        *out = static_cast<uint32_t>(seconds);
    }
  }
  VmSetTop(L, -2);
  return error;
}

int cmdSetFileAttributes(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  const char* name = VmCheckString(L, 1, nullptr);
  VmCheckTable(L, 2);
  if (IsChunkName(name)) return ERR_WRONGUSAGE;
  LockHandle* lock = LockFile(name, 1, nullptr);
  FileInfo info{};
  if (!lock || !ExamineLock(lock, &info)) {
    UnLockFile(lock);
    SetErrorArgString(name);
    return ERR_LOCK2;
  }
  UnLockFile(lock);
  VmPushString(L, "flags");
  VmGetTable(L, 2);
  bool hasFlags = VmType(L, -1) != VM_TYPE_NIL;
  uint32_t flags = hasFlags ? static_cast<uint32_t>(VmNumberToInteger(VmToNumber(L, -1))) : 0;
  VmSetTop(L, -2);
  uint32_t times[2] = {info.times[0], info.times[1]};
  bool hasTime = false, hasAccess = false;
  ErrorCode error = readDateField(L, "time", &hasTime, &times[1]);
  if (!error) error = readDateField(L, "lastaccesstime", &hasAccess, &times[0]);
  if (error) return error;
  if (hasFlags && !SetFileProtection(name, flags)) return ERR_SETFILEATTR;
  if ((hasTime || hasAccess) && !SetFileDate(name, times)) return ERR_SETFILEDATE;
  return ERR_NONE;
}

// ---- Environment ----------------------------------------------------------------------------

int cmdGetEnv(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  char* value = GetEnvCopy(VmCheckString(L, 1, nullptr));
  VmPushString(L, value ? value : "");
  VmPushNumber(L, value ? 1 : 0);
  FreeMemory(value);
  return 2;
}

int cmdSetEnv(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  return SetEnvNative(VmCheckString(L, 1, nullptr), VmCheckString(L, 2, nullptr));
}

int cmdUnsetEnv(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return UnsetEnvNative(VmCheckString(L, 1, nullptr));
}

const CommandTableEntry manageCommands[] = {
    {"CopyFile", cmdCopyFile},
    {"MoveFile", cmdMoveFile},
    {"DeleteFile", cmdDeleteFile},
    {"Rename", cmdRename},
    {"MakeDirectory", cmdMakeDirectory},
    {"GetFileAttributes", cmdGetFileAttributes},
    {"FileAttributes", cmdFileAttributes},
    {"SetFileAttributes", cmdSetFileAttributes},
    {"GetEnv", cmdGetEnv},
    {"SetEnv", cmdSetEnv},
    {"UnsetEnv", cmdUnsetEnv},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode OpenDosFileManagement(VmState* L) {
  ErrorCode error = RegisterLibrary(manageCommands, "dos");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, manageCommands, 0);
  return ERR_NONE;
}
