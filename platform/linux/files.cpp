// Native files for the stream layer: path conversion, the stdio-backed file
// handle (a whole file, or a read-only range of one for ":::chunk" names),
// file examination and the file operations of the dos library.
// Invariant of a handle: position counts from start, and for a range every
// read and seek stays inside [start, start + length].
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/linux/files_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/context_private.h"

struct NativeFileHandle {
  FILE* stream;
  int32_t linked;  // a range of another file
  uint64_t start;  // where the data begins in the underlying file
  uint64_t length;
  uint64_t position;  // relative to start
  int32_t lastWrite;  // the last operation was a write
  int32_t lastRead;   // the last operation was a read
  int32_t unsized;    // a pipe or device: no length, no seeks
  uint32_t flags;
  char path[NATIVE_PATH_MAX];
};

namespace {

constexpr size_t OPEN_NAME_MAX = 1024;  // names the open accepts, with terminator
constexpr char PROGDIR_PREFIX[] = "PROGDIR:";
constexpr size_t PROGDIR_LENGTH = sizeof PROGDIR_PREFIX - 1;

bool isChunk(const char* name) { return std::strncmp(name, ":::chunk", 8) == 0; }

// A seek that the C library cannot misread: fseeko takes off_t, so a
// target beyond its range is refused rather than wrapped.
bool seekTo(FILE* stream, uint64_t target) {
  if (target > static_cast<uint64_t>(INT64_MAX)) return false;
  return fseeko(stream, static_cast<off_t>(target), SEEK_SET) == 0;
}

// Makes sure the last fread/fwrite switch of direction went through a
// positioning call, as the C library requires between the two.
void reposition(NativeFileHandle* handle) {
  seekTo(handle->stream, handle->start + handle->position);
  handle->lastWrite = 0;
  handle->lastRead = 0;
}

NativeFileHandle* openRange(NativeFileHandle* handle, const char* name, const char* mode) {
  uint64_t offset = 0, size = 0;
  char holder[OPEN_NAME_MAX];
  StrCopyBounded(handle->path, sizeof handle->path, name);
  const PlatformRuntimeHooks& hooks = GetPlatformRuntimeHooks();
  if (hooks.parseChunkName == nullptr ||
      !hooks.parseChunkName(name, &offset, &size, nullptr, 0, holder, sizeof holder, nullptr, 0,
                            nullptr)) {
    FreeMemory(handle);
    return nullptr;
  }
  handle->linked = 1;
  handle->start = offset;
  handle->length = size;
  if (!holder[0]) {
    // No file holds the data: nothing can be read, whatever size the name
    // claims.
    handle->length = 0;
    return handle;
  }
  // Linked data is part of an applet or program file: opening it for
  // writing would truncate or overwrite the file that holds it.
  if (std::strcmp(mode, "rb") != 0) {
    FreeMemory(handle);
    return nullptr;
  }
  char native[NATIVE_PATH_MAX];
  if (!GetNativePath(holder, native, sizeof native, 0)) {
    FreeMemory(handle);
    return nullptr;
  }
  handle->stream = FOpenNative(native, mode, (handle->flags & NATIVE_OPEN_NATIVE) != 0);
  if (!handle->stream) {
    FreeMemory(handle);
    return nullptr;
  }
  // The range comes from a name that a script may have written: it is
  // clipped to what the holding file really has.
  struct stat st;
  uint64_t fileSize = 0;
  if (fstat(fileno(handle->stream), &st) == 0 && st.st_size > 0)
    fileSize = static_cast<uint64_t>(st.st_size);
  if (offset > fileSize) offset = fileSize;
  handle->start = offset;
  if (handle->length > fileSize - offset) handle->length = fileSize - offset;
  if (!seekTo(handle->stream, offset)) {
    std::fclose(handle->stream);
    FreeMemory(handle);
    return nullptr;
  }
  return handle;
}

}  // namespace

void FillFileInfoFromStat(const struct stat* st, FileInfo* info) {
  info->isDirectory = S_ISDIR(st->st_mode) ? 1 : 0;
  info->size = static_cast<int64_t>(st->st_size);
  uint32_t p = 0;
  mode_t m = st->st_mode;
  if (m & S_IRUSR) p |= FILEATTR_READ_USR;
  if (m & S_IWUSR) p |= FILEATTR_WRITE_USR;
  if (m & S_IXUSR) p |= FILEATTR_EXECUTE_USR;
  if (m & S_IRGRP) p |= FILEATTR_READ_GRP;
  if (m & S_IWGRP) p |= FILEATTR_WRITE_GRP;
  if (m & S_IXGRP) p |= FILEATTR_EXECUTE_GRP;
  if (m & S_IROTH) p |= FILEATTR_READ_OTH;
  if (m & S_IWOTH) p |= FILEATTR_WRITE_OTH;
  if (m & S_IXOTH) p |= FILEATTR_EXECUTE_OTH;
  info->protection = p;
  info->name[0] = '\0';
  info->times[0] = static_cast<uint32_t>(st->st_atime);
  info->times[1] = static_cast<uint32_t>(st->st_mtime);
  info->times[2] = static_cast<uint32_t>(st->st_ctime);
}

char* GetNativePath(const char* name, char* buffer, size_t size, int convert) {
  if (!name || !buffer || size == 0) return nullptr;
  if (isChunk(name)) return StrCopyBounded(buffer, size, name) ? buffer : nullptr;
  if (convert && !unicodeUtf8Mode) {
    if (Latin1ToUtf8Length(name) >= size) return nullptr;
    Latin1ToUtf8(name, buffer, size);
  } else if (!StrCopyBounded(buffer, size, name)) {
    return nullptr;
  }
  for (char* p = buffer; *p; p++)
    if (*p == '\\') *p = '/';
  return buffer;
}

char* ConvertNativeFileName(const char* name, int native, int* failed) {
  if (failed) *failed = 0;
  if (native || unicodeUtf8Mode || !name) return nullptr;
  char* copy = Latin1ToUtf8Dup(name);
  if (!copy && failed) *failed = 1;
  return copy;
}

FILE* FOpenNative(const char* path, const char* mode, int native) {
  int failed = 0;
  char* converted = ConvertNativeFileName(path, native, &failed);
  if (failed) return nullptr;
  FILE* f = std::fopen(converted ? converted : path, mode);
  int saved = errno;  // callers look at why the open failed
  FreeMemory(converted);
  errno = saved;
  return f;
}

char* ResolveNativePath(int native, char* out, const char* name) {
  int failed = 0;
  char* converted = ConvertNativeFileName(name, native, &failed);
  if (failed) return nullptr;
  char resolved[NATIVE_PATH_MAX];
  char* r = realpath(converted ? converted : name, resolved);
  FreeMemory(converted);
  if (!r) return nullptr;
  if (!native && !unicodeUtf8Mode)
    Utf8ToLatin1Copy(resolved, out, NATIVE_PATH_MAX);
  else
    StrCopyBounded(out, NATIVE_PATH_MAX, resolved);
  return out;
}

int GetProgramDirectory(char* buffer, size_t size, int native) {
  if (!GetProgramPath(buffer, size, native)) return 0;
  char* cut = FindFilePart(buffer);
  if (cut == buffer && buffer[0] == '/') cut++;  // a program in "/" keeps the root
  *cut = '\0';
  return 1;
}

NativeFileHandle* OpenProgdirFile(const char* name, uint32_t flags) {
  if (!name) return nullptr;
  const char* mode = (flags & NATIVE_OPEN_WRITE)    ? "wb"
                     : (flags & NATIVE_OPEN_UPDATE) ? "r+b"
                                                    : "rb";
  const int native = (flags & NATIVE_OPEN_NATIVE) ? 1 : 0;
  auto* handle = static_cast<NativeFileHandle*>(AllocMemory(sizeof(NativeFileHandle), 1));
  if (!handle) return nullptr;
  handle->flags = flags;

  char expanded[OPEN_NAME_MAX];
  if (std::strncmp(name, PROGDIR_PREFIX, PROGDIR_LENGTH) == 0) {
    if (!GetProgramDirectory(expanded, sizeof expanded, native)) {
      FreeMemory(handle);
      return nullptr;
    }
    const char* rest = name + PROGDIR_LENGTH;
    while (*rest == '/') rest++;
    size_t used = std::strlen(expanded);
    if (used == 0 || expanded[used - 1] != '/') StrAppendBounded(expanded, sizeof expanded, "/");
    if (!StrAppendBounded(expanded, sizeof expanded, rest)) {
      FreeMemory(handle);
      return nullptr;
    }
    name = expanded;
  }

  if (isChunk(name)) return openRange(handle, name, mode);

  char path[OPEN_NAME_MAX];
  if (!GetNativePath(name, path, sizeof path, 0)) {
    FreeMemory(handle);
    return nullptr;
  }
  // realpath fails for a file that does not exist yet; the plain path
  // then names it.
  if (!ResolveNativePath(native, handle->path, path))
    StrCopyBounded(handle->path, sizeof handle->path, path);
  handle->stream = FOpenNative(handle->path, mode, native);
  if (!handle->stream && (flags & NATIVE_OPEN_UPDATE) && !(flags & NATIVE_OPEN_WRITE) &&
      errno == ENOENT) {
    // Created without truncation: a file that appeared in the meantime
    // keeps its data.
    int failed = 0;
    char* converted = ConvertNativeFileName(handle->path, native, &failed);
    int fd = failed
                 ? -1
                 : open(converted ? converted : handle->path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    FreeMemory(converted);
    if (fd >= 0) {
      close(fd);
      handle->stream = FOpenNative(handle->path, mode, native);
    }
  }
  if (!handle->stream) {
    FreeMemory(handle);
    return nullptr;
  }
  struct stat st;
  if (fstat(fileno(handle->stream), &st) != 0 || !S_ISREG(st.st_mode)) {
    handle->unsized = 1;
    return handle;
  }
  if (fseeko(handle->stream, 0, SEEK_END) == 0) {
    off_t end = ftello(handle->stream);
    handle->length = end > 0 ? static_cast<uint64_t>(end) : 0;
  }
  fseeko(handle->stream, 0, SEEK_SET);
  return handle;
}

size_t StdioRead(NativeFileHandle* handle, void* buffer, size_t length) {
  if (!handle->stream) return 0;
  if (handle->lastWrite) reposition(handle);
  if (handle->linked) {
    if (handle->position >= handle->length) return 0;
    if (length > handle->length - handle->position)
      length = static_cast<size_t>(handle->length - handle->position);
  }
  if (length == 0) return 0;
  size_t n = 0;
  for (;;) {
    n += std::fread(static_cast<uint8_t*>(buffer) + n, 1, length - n, handle->stream);
    // A pipe read cut short by a signal goes on where it stopped.
    if (n == length || !std::ferror(handle->stream) || errno != EINTR) break;
    std::clearerr(handle->stream);
  }
  handle->position += n;
  handle->lastRead = 1;
  return n;
}

int StdioGetChar(NativeFileHandle* handle) {
  unsigned char byte;
  return StdioRead(handle, &byte, 1) == 1 ? byte : -1;
}

size_t StdioWrite(NativeFileHandle* handle, const void* buffer, size_t length) {
  if (!handle->stream || handle->linked || length == 0) return 0;
  if (handle->lastRead) reposition(handle);
  size_t n = 0;
  for (;;) {
    n += std::fwrite(static_cast<const uint8_t*>(buffer) + n, 1, length - n, handle->stream);
    if (n == length || !std::ferror(handle->stream) || errno != EINTR) break;
    std::clearerr(handle->stream);
  }
  handle->position += n;
  if (handle->position > handle->length) handle->length = handle->position;
  handle->lastWrite = 1;
  return n;
}

int StdioPutChar(NativeFileHandle* handle, int byte) {
  unsigned char b = static_cast<unsigned char>(byte);
  return StdioWrite(handle, &b, 1) == 1 ? 1 : 0;
}

int64_t StdioSeek(NativeFileHandle* handle, int64_t offset, int mode) {
  if (handle->unsized) return -1;
  const int64_t start = static_cast<int64_t>(handle->start);
  int64_t base;
  switch (mode) {
    case 0:
      base = start + static_cast<int64_t>(handle->position);
      break;
    case 1:
      base = start;
      break;
    case 2:
      base = start + static_cast<int64_t>(handle->length);
      break;
    default:
      base = 0;
      break;
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target)) return -1;
  const int64_t end = start + static_cast<int64_t>(handle->length);
  if (handle->linked) {
    if (target < start) target = start;
    if (target > end) target = end;
  } else {
    if (target < 0) return -1;
    if ((handle->flags & (NATIVE_OPEN_WRITE | NATIVE_OPEN_UPDATE)) && target > end) target = end;
  }
  if (handle->stream && !seekTo(handle->stream, static_cast<uint64_t>(target))) return -1;
  const int64_t before = static_cast<int64_t>(handle->position);
  handle->position = static_cast<uint64_t>(target - start);
  handle->lastWrite = 0;
  handle->lastRead = 0;
  return before;
}

int StdioFlush(NativeFileHandle* handle) {
  // A failed flush (a full disk) is reported: the bytes are lost.
  if (handle->stream && std::fflush(handle->stream) != 0) return 0;
  return 1;
}

int StdioEof(NativeFileHandle* handle) {
  if (handle->unsized) return handle->stream && std::feof(handle->stream) ? 1 : 0;
  return handle->position >= handle->length ? 1 : 0;
}

int64_t GetNativeStreamSize(NativeFileHandle* handle) {
  return handle->unsized ? -1 : static_cast<int64_t>(handle->length);
}

int StdioClose(NativeFileHandle* handle) {
  if (!handle) return 1;
  int ok = 1;
  if (handle->stream && std::fclose(handle->stream) != 0) ok = 0;
  FreeMemory(handle);
  return ok;
}

int ExamineStreamNative(NativeFileHandle* handle, FileInfo* info) {
  struct stat st;
  if (!handle->stream || fstat(fileno(handle->stream), &st) != 0) return 0;
  FillFileInfoFromStat(&st, info);
  if (handle->linked) info->size = static_cast<int64_t>(handle->length);
  info->path = handle->path;
  return 1;
}

// ---- Temporary files and file operations ----

namespace {

// A script path in a native buffer of NATIVE_PATH_MAX bytes.
struct NativeName {
  char text[NATIVE_PATH_MAX];
  bool ok;
  explicit NativeName(const char* path) : ok(path && GetNativePath(path, text, sizeof text, 1)) {}
};

}  // namespace

int DeleteFileNative(const char* path) {
  NativeName n(path);
  return n.ok && std::remove(n.text) == 0 ? 1 : 0;
}

int RenameFileNative(const char* oldPath, const char* newPath) {
  NativeName a(oldPath), b(newPath);
  return a.ok && b.ok && std::rename(a.text, b.text) == 0 ? 1 : 0;
}

ErrorCode MoveFileNative(const char* source, const char* destination) {
  NativeName a(source), b(destination);
  if (!a.ok || !b.ok) return ERR_MOVEFILE;
  struct stat sourceStat, dirStat;
  if (stat(a.text, &sourceStat) != 0) return ERR_MOVEFILE;
  char dir[NATIVE_PATH_MAX];
  StrCopyBounded(dir, sizeof dir, b.text);
  char* slash = std::strrchr(dir, '/');
  if (!slash)
    StrCopyBounded(dir, sizeof dir, ".");
  else if (slash == dir)
    dir[1] = '\0';
  else
    *slash = '\0';
  if (stat(dir, &dirStat) != 0) return ERR_MOVEFILE;
  if (sourceStat.st_dev != dirStat.st_dev) return ERR_WRONGUSAGE;
  if (std::rename(a.text, b.text) != 0) return errno == EXDEV ? ERR_WRONGUSAGE : ERR_MOVEFILE;
  return 0;
}

int IsSymbolicLinkNative(const char* path) {
  NativeName n(path);
  struct stat st;
  return n.ok && lstat(n.text, &st) == 0 && S_ISLNK(st.st_mode) ? 1 : 0;
}

int PathKindNative(const char* path) {
  NativeName n(path);
  struct stat st;
  if (!n.ok || lstat(n.text, &st) != 0) return 0;
  return S_ISLNK(st.st_mode) ? 1 : 2;
}

int CopySymbolicLinkNative(const char* source, const char* destination) {
  NativeName a(source), b(destination);
  if (!a.ok || !b.ok) return 0;
  char target[NATIVE_PATH_MAX];
  ssize_t n = readlink(a.text, target, sizeof target - 1);
  if (n < 0) return 0;
  target[n] = '\0';
  return symlink(target, b.text) == 0 ? 1 : 0;
}

ErrorCode MakeDirectoryNative(const char* path) {
  NativeName n(path);
  return n.ok && mkdir(n.text, 0755) == 0 ? 0 : ERR_CREATEDIR;
}

namespace {

mode_t modeOfProtection(uint32_t flags) {
  mode_t mode = 0;
  if (flags & FILEATTR_NORMAL) {
    mode = 0644;
  } else {
    if (flags & FILEATTR_READ_USR) mode |= 0400;
    if (flags & FILEATTR_WRITE_USR) mode |= 0200;
    if (flags & FILEATTR_EXECUTE_USR) mode |= 0100;
    if (flags & FILEATTR_READ_GRP) mode |= 040;
    if (flags & FILEATTR_WRITE_GRP) mode |= 020;
    if (flags & FILEATTR_EXECUTE_GRP) mode |= 010;
    if (flags & FILEATTR_READ_OTH) mode |= 04;
    if (flags & FILEATTR_WRITE_OTH) mode |= 02;
    if (flags & FILEATTR_EXECUTE_OTH) mode |= 01;
  }
  return mode;
}

// Copies the rest of in into out with reads and writes: ERR_NONE,
// ERR_READ, ERR_WRITE or ERR_MEM; *copied counts on.
ErrorCode copyByBlocks(int in, int out, int64_t* copied) {
  constexpr size_t BLOCK = 1 << 16;
  std::unique_ptr<char[]> block(new (std::nothrow) char[BLOCK]);
  if (!block) return ERR_MEM;
  for (;;) {
    ssize_t n = read(in, block.get(), BLOCK);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ERR_READ;
    if (n == 0) return ERR_NONE;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, block.get() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return ERR_WRITE;
      done += w;
    }
    *copied += n;
  }
}

// The bytes of in into out: copy_file_range while the kernel takes it
// (a file system that reports a size it does not serve, as /proc does,
// copies nothing at the start and goes by reads), then reads and writes.
ErrorCode copyDescriptor(int in, int out, int64_t* copied) {
  for (;;) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
    if (n > 0) {
      *copied += n;
      continue;
    }
    if (n == 0 && *copied > 0) return ERR_NONE;
    if (n < 0 && errno == EINTR) continue;
    // Not taken (another file system, an old kernel) or failed: the reads
    // and writes go on from where it stopped and meet any failure again.
    return copyByBlocks(in, out, copied);
  }
}

}  // namespace

int SetFileProtection(const char* path, uint32_t flags) {
  NativeName n(path);
  if (!n.ok) return 0;
  return chmod(n.text, modeOfProtection(flags)) == 0 ? 1 : 0;
}

int IsSameFileNative(const char* a, const char* b) {
  NativeName x(a), y(b);
  struct stat sx, sy;
  return x.ok && y.ok && stat(x.text, &sx) == 0 && stat(y.text, &sy) == 0 &&
                 sx.st_dev == sy.st_dev && sx.st_ino == sy.st_ino
             ? 1
             : 0;
}

int ExaminePathNative(const char* path, FileInfo* info) {
  NativeName n(path);
  struct stat st;
  if (!n.ok || lstat(n.text, &st) != 0) return 0;
  if (S_ISLNK(st.st_mode)) return 1;
  if (!S_ISREG(st.st_mode)) return 3;
  FillFileInfoFromStat(&st, info);
  return 2;
}

int CopyRegularFileNative(const char* source, const char* target, const FileInfo* keep,
                          ErrorCode* error) {
  *error = ERR_NONE;
  for (const char* name : {source, target})
    if (!name || isChunk(name) || std::strncmp(name, PROGDIR_PREFIX, PROGDIR_LENGTH) == 0 ||
        std::strlen(name) >= OPEN_NAME_MAX)
      return 0;
  NativeName from(source), to(target);
  if (!from.ok || !to.ok) return 0;
  // Not blocking on a FIFO: what is not a regular file goes to the streams.
  int in = open(from.text, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) {
    *error = ERR_READFILE;
    return 1;
  }
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    return 0;
  }
  int out = open(to.text, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    close(in);
    *error = ERR_WRITEFILE;
    return 1;
  }
  int64_t copied = 0;
  ErrorCode e = copyDescriptor(in, out, &copied);
  if (!e && copied != static_cast<int64_t>(st.st_size)) e = ERR_READ;
  if (!e && keep) {
    struct timespec times[2] = {};
    times[0].tv_sec = static_cast<time_t>(keep->times[0]);
    times[1].tv_sec = static_cast<time_t>(keep->times[1]);
    futimens(out, times);
    fchmod(out, modeOfProtection(keep->protection));
  }
  close(in);
  if (close(out) != 0 && !e) e = ERR_WRITE;
  if (e) unlink(to.text);
  *error = e;
  return 1;
}

int SetFileDate(const char* path, const uint32_t times[2]) {
  NativeName n(path);
  if (!n.ok) return 0;
  struct timeval tv[2] = {};
  tv[0].tv_sec = static_cast<time_t>(times[0]);
  tv[1].tv_sec = static_cast<time_t>(times[1]);
  return utimes(n.text, tv) == 0 ? 1 : 0;
}

int ResolveFullPath(const char* path, char* buffer, size_t size) {
  NativeName n(path);
  if (!n.ok || !buffer || size == 0) return 0;
  char resolved[NATIVE_PATH_MAX];
  if (!realpath(n.text, resolved)) {
    if (n.text[0] == '/') {
      StrCopyBounded(resolved, sizeof resolved, n.text);
    } else {
      char cwd[NATIVE_PATH_MAX];
      if (!getcwd(cwd, sizeof cwd) || !realpath(cwd, resolved)) return 0;
      size_t used = std::strlen(resolved);
      if (used == 0 || resolved[used - 1] != '/') StrAppendBounded(resolved, sizeof resolved, "/");
      if (!StrAppendBounded(resolved, sizeof resolved, n.text)) return 0;
    }
  }
  if (unicodeUtf8Mode) return StrCopyBounded(buffer, size, resolved);
  Utf8ToLatin1Copy(resolved, buffer, size);
  return 1;
}

char* ChangeDirectoryNative(const char* path, ErrorCode* error) {
  ErrorCode dummy;
  if (!error) error = &dummy;
  *error = 0;
  long max = pathconf(".", _PC_PATH_MAX);
  size_t size = (max > 0 ? static_cast<size_t>(max) : NATIVE_PATH_MAX) + 1;
  auto* previous = static_cast<char*>(AllocMemory(size, 1));
  if (!previous) {
    *error = ERR_MEM;
    return nullptr;
  }
  NativeName n(path);
  if (!getcwd(previous, size) || !n.ok || chdir(n.text) != 0) {
    FreeMemory(previous);
    SetPlatformErrorArgString(path);
    *error = ERR_DIRLOCK;
    return nullptr;
  }
  if (unicodeUtf8Mode) return previous;
  char* latin = Utf8ToLatin1Dup(previous);
  FreeMemory(previous);
  if (!latin) *error = ERR_MEM;
  return latin;
}

void SetTempDirectory(const char* path) {
  if (!path || !path[0] ||
      !StrCopyBounded(platformContext.tempDirectory, sizeof platformContext.tempDirectory, path))
    StrCopyBounded(platformContext.tempDirectory, sizeof platformContext.tempDirectory, "/tmp");
}

// ---- The run's temporary names ----
// Every name CreateTempFile makes belongs to the run (the inflated applet
// of a compressed container, the directory of unpacked plug-ins), and the
// run's shut-down deletes it. The names are also kept here, so that the
// signal thread can delete them when a second termination signal ends the
// program before that shut-down is done. Kept outside the context record,
// under a lock of their own, because the signal thread reads them while a
// run ends; FreePlatformContext forgets them.
namespace {

constexpr size_t RUN_TEMP_NAMES_MAX = 8;  // a run makes two: the applet and the plug-in directory
constexpr int TEMP_TREE_DEPTH_MAX = 16;   // as deep as the shut-down's own deletion goes
std::mutex runTempLock;
char runTempNames[RUN_TEMP_NAMES_MAX][NATIVE_PATH_MAX];
size_t runTempCount = 0;

void keepRunTempName(const char* native) {
  std::lock_guard<std::mutex> hold(runTempLock);
  if (runTempCount < RUN_TEMP_NAMES_MAX)
    StrCopyBounded(runTempNames[runTempCount++], NATIVE_PATH_MAX, native);
}

// A file, or a directory with everything in it; symbolic links are deleted,
// never followed.
void deleteTree(const char* path, int depth) {
  struct stat info;
  if (lstat(path, &info) != 0) return;
  if (!S_ISDIR(info.st_mode)) {
    unlink(path);
    return;
  }
  if (depth < TEMP_TREE_DEPTH_MAX) {
    if (DIR* directory = opendir(path)) {
      while (dirent* entry = readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        char child[NATIVE_PATH_MAX];
        int n = std::snprintf(child, sizeof child, "%s/%s", path, entry->d_name);
        if (n > 0 && static_cast<size_t>(n) < sizeof child) deleteTree(child, depth + 1);
      }
      closedir(directory);
    }
  }
  rmdir(path);
}

}  // namespace

void DeleteRunTempNames() {
  std::lock_guard<std::mutex> hold(runTempLock);
  for (size_t i = 0; i < runTempCount; i++) deleteTree(runTempNames[i], 0);
  runTempCount = 0;
}

void ForgetRunTempNames() {
  std::lock_guard<std::mutex> hold(runTempLock);
  runTempCount = 0;
}

int CreateTempFile(char* buffer, size_t size) {
  if (!buffer || size == 0) return 0;
  char name[NATIVE_PATH_MAX];
  StrCopyBounded(name, sizeof name, platformContext.tempDirectory);
  size_t used = std::strlen(name);
  if (used == 0 || name[used - 1] != '/') StrAppendBounded(name, sizeof name, "/");
  NativeName native(name);
  if (!StrAppendBounded(name, sizeof name, "quillmere.XXXXXX") || !native.ok ||
      !StrAppendBounded(native.text, sizeof native.text, "quillmere.XXXXXX") ||
      std::strlen(name) >= size) {
    buffer[0] = '\0';
    return 0;
  }
  int fd = mkstemp(native.text);
  if (fd < 0) {
    buffer[0] = '\0';
    return 0;
  }
  close(fd);
  keepRunTempName(native.text);
  // mkstemp filled the six X's with ASCII letters: the script's form of the
  // name takes the same six.
  std::memcpy(name + std::strlen(name) - 6, native.text + std::strlen(native.text) - 6, 6);
  StrCopyBounded(buffer, size, name);
  return 1;
}

char* GetEnvCopy(const char* name) {
  const char* value = name ? getenv(name) : nullptr;
  if (!value) return nullptr;
  size_t length = std::strlen(value);
  auto* copy = static_cast<char*>(AllocMemory(length + 1, 0));
  if (copy) std::memcpy(copy, value, length + 1);
  return copy;
}

ErrorCode SetEnvNative(const char* name, const char* value) {
  return name && value && setenv(name, value, 1) == 0 ? 0 : ERR_SETENV;
}

ErrorCode UnsetEnvNative(const char* name) {
  return name && unsetenv(name) == 0 ? 0 : ERR_UNSETENV;
}

int ReadRandomBytes(void* buffer, size_t count) {
  int fd;
  do fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return 0;
  size_t got = 0;
  auto* p = static_cast<unsigned char*>(buffer);
  while (got < count) {
    ssize_t n = read(fd, p + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  return got == count ? 1 : 0;
}
