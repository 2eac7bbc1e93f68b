// The host API that every plug-in receives in InitPlugin: one static root
// and sixteen static sub-tables. Slots point straight at the service or at
// a small adapter that turns the plug-in's record or tag list into the
// internal call. Part of the host library above every folder
// (plugins/hostapi.h), which the composition root installs.
//
// Invariant: the tables are constant data, identical for every plug-in, in
// the slot order of plugins/qmplugin.h; every slot is set.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <jpeglib.h>
#include <sys/stat.h>
#include <zlib.h>

#include "display/display.h"
#include "draw/draw.h"
#include "engine/engine.h"
#include "gfx/gfx.h"
#include "libs/libs.h"
#include "media/media.h"
#include "platform/linux/platform.h"
#include "plugins/hostapi.h"
#include "plugins/plugins.h"
#include "plugins/plugin_private.h"
#include "runtime/player.h"
#include "runtime/runtime.h"
#include "text/text.h"

namespace {

// ---- Stubs of services other libraries provide ----

// Slots 15, 27, 46 and 48 of the system table are kept for event-library
// services whose calls are not defined; they answer "not implemented".
intptr_t reservedEventService() { return ERR_UNIMPLCMD; }

// ---- Adapters ----

void* crtMalloc(size_t size) { return std::malloc(size); }
void* crtCalloc(size_t count, size_t size) { return std::calloc(count, size); }
void* crtRealloc(void* block, size_t size) { return std::realloc(block, size); }
void crtFree(void* block) { std::free(block); }
char* crtStrdup(const char* text) { return text ? strdup(text) : nullptr; }
FILE* crtFopen(const char* name, const char* mode) { return FOpenNative(name, mode, 0); }
int crtFclose(FILE* file) { return std::fclose(file); }
int crtFseek(FILE* file, long offset, int whence) { return std::fseek(file, offset, whence); }
long crtFtell(FILE* file) { return std::ftell(file); }
size_t crtFread(void* b, size_t s, size_t n, FILE* f) { return std::fread(b, s, n, f); }
size_t crtFwrite(const void* b, size_t s, size_t n, FILE* f) { return std::fwrite(b, s, n, f); }
int crtFgetc(FILE* f) { return std::fgetc(f); }
int crtFputc(int c, FILE* f) { return std::fputc(c, f); }
int crtFerror(FILE* f) { return std::ferror(f); }
int crtFeof(FILE* f) { return std::feof(f); }
int crtVfprintf(FILE* f, const char* format, va_list args) {
  return std::vfprintf(f, format, args);
}
int crtVsnprintf(char* b, size_t n, const char* format, va_list args) {
  return std::vsnprintf(b, n, format, args);
}
int crtVprintf(const char* format, va_list args) { return std::vprintf(format, args); }
void crtQsort(void* base, size_t n, size_t s, int (*cmp)(const void*, const void*)) {
  std::qsort(base, n, s, cmp);
}
int crtVsscanf(const char* t, const char* format, va_list args) {
  return std::vsscanf(t, format, args);
}
double crtStrtod(const char* t, char** end) { return std::strtod(t, end); }
long crtStrtol(const char* t, char** end, int base) { return std::strtol(t, end, base); }
unsigned long crtStrtoul(const char* t, char** end, int base) { return std::strtoul(t, end, base); }
int crtGettimeofday(struct timeval* tv, void*) { return gettimeofday(tv, nullptr); }
int64_t crtTime(int64_t* out) {
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (out) *out = now;
  return now;
}
long crtLrint(double x) { return std::lrint(x); }

void tmToRecord(const struct tm& t, QmTm* out) {
  out->sec = t.tm_sec;
  out->min = t.tm_min;
  out->hour = t.tm_hour;
  out->mday = t.tm_mday;
  out->mon = t.tm_mon;
  out->year = t.tm_year;
  out->wday = t.tm_wday;
  out->yday = t.tm_yday;
  out->isdst = t.tm_isdst;
  out->gmtoff = t.tm_gmtoff;
  out->zone = t.tm_zone;
}
struct tm recordToTm(const QmTm* in) {
  struct tm t {};
  t.tm_sec = in->sec;
  t.tm_min = in->min;
  t.tm_hour = in->hour;
  t.tm_mday = in->mday;
  t.tm_mon = in->mon;
  t.tm_year = in->year;
  t.tm_wday = in->wday;
  t.tm_yday = in->yday;
  t.tm_isdst = in->isdst;
  return t;
}
// Breaks a time down with localtime_r or gmtime_r into the caller's record.
QmTm* breakDownTime(const int64_t* time, QmTm* out,
                    struct tm* (*convert)(const time_t*, struct tm*)) {
  time_t value = static_cast<time_t>(*time);
  struct tm t;
  if (!out || !convert(&value, &t)) return nullptr;
  tmToRecord(t, out);
  return out;
}
QmTm* crtLocaltime(const int64_t* time, QmTm* out) { return breakDownTime(time, out, localtime_r); }
QmTm* crtGmtime(const int64_t* time, QmTm* out) { return breakDownTime(time, out, gmtime_r); }
QmTm* crtLocaltimeNow(QmTm* out) {
  int64_t now = crtTime(nullptr);
  return crtLocaltime(&now, out);
}
const char* crtCtime(const int64_t* time) {
  time_t value = static_cast<time_t>(*time);
  return std::ctime(&value);
}
int64_t crtMktime(QmTm* record) {
  struct tm t = recordToTm(record);
  time_t value = std::mktime(&t);
  tmToRecord(t, record);
  return static_cast<int64_t>(value);
}
size_t crtStrftime(char* buffer, size_t size, const char* format, const QmTm* record) {
  struct tm t = recordToTm(record);
  return std::strftime(buffer, size, format, &t);
}
int64_t crtClock() { return static_cast<int64_t>(std::clock()); }
void crtDifftime(int64_t end, int64_t start, double* result) {
  if (result) *result = std::difftime(static_cast<time_t>(end), static_cast<time_t>(start));
}
void crtClearerr(FILE* f) { std::clearerr(f); }
int crtFileno(FILE* f) { return fileno(f); }
int crtFflush(FILE* f) { return std::fflush(f); }

void statToRecord(const struct stat& s, QmStat* out) {
  std::memset(out, 0, sizeof *out);
  uint32_t mode = S_ISDIR(s.st_mode) ? 0x20000u : 0;
  static const struct {
    mode_t bit;
    uint32_t flag;
  } BITS[] = {
      {S_IRUSR, FILEATTR_READ_USR}, {S_IWUSR, FILEATTR_WRITE_USR}, {S_IXUSR, FILEATTR_EXECUTE_USR},
      {S_IRGRP, FILEATTR_READ_GRP}, {S_IWGRP, FILEATTR_WRITE_GRP}, {S_IXGRP, FILEATTR_EXECUTE_GRP},
      {S_IROTH, FILEATTR_READ_OTH}, {S_IWOTH, FILEATTR_WRITE_OTH}, {S_IXOTH, FILEATTR_EXECUTE_OTH}};
  for (const auto& b : BITS)
    if (s.st_mode & b.bit) mode |= b.flag;
  out->mode = mode;
  out->size = s.st_size;
  out->accessed = s.st_atime;
  out->modified = s.st_mtime;
  out->changed = s.st_ctime;
}
int crtFstat(int fd, QmStat* out) {
  struct stat s;
  if (fstat(fd, &s) != 0) return -1;
  statToRecord(s, out);
  return 0;
}
int crtStat(const char* name, QmStat* out) {
  char path[1024];
  if (!GetNativePath(name, path, sizeof path, 1)) return -1;
  struct stat s;
  if (stat(path, &s) != 0) return -1;
  statToRecord(s, out);
  return 0;
}
int crtVfscanf(FILE* f, const char* format, va_list args) { return std::vfscanf(f, format, args); }
int crtUngetc(int c, FILE* f) { return std::ungetc(c, f); }
int crtRename(const char* from, const char* to) { return RenameFileNative(from, to) ? 0 : -1; }
int crtRemove(const char* name) { return DeleteFileNative(name) ? 0 : -1; }
int crtGetErrno() { return errno; }
void crtSetErrno(int value) { errno = value; }
char* crtStrerror(int code) { return std::strerror(code); }
FILE* crtStdin() { return stdin; }
FILE* crtStdout() { return stdout; }
FILE* crtStderr() { return stderr; }
int* crtErrnoLocation() { return &errno; }
int crtFputs(const char* t, FILE* f) { return std::fputs(t, f); }
char* crtFgets(char* b, int n, FILE* f) { return std::fgets(b, n, f); }
int crtCompareNoCaseN(const char* a, const char* b, size_t n) { return CompareNoCaseN(a, b, n); }

// Requester table: the display library's requesters for plug-ins.
int32_t reqMessage(VmState* L, const char* title, const char* body, const char* buttons,
                   int32_t type) {
  int32_t choice = 0;
  ShowMessageRequester(L, nullptr, title, body, buttons, type, 0, &choice);
  return choice;
}
int32_t reqFile(VmState* L, const char* title, char* buffer, size_t size, int32_t save) {
  if (!buffer || size == 0) return 0;
  buffer[0] = '\0';
  char *folder = nullptr, *files = nullptr;
  int32_t count = 0, chosen = 0;
  ErrorCode error = RequestFiles(L, title, "#?", save ? 2 : 0, nullptr, nullptr, &folder, &files,
                                 &count, &chosen);
  int ok = 0;
  if (error == ERR_NONE && chosen && count > 0) {
    // Joined at full length first: a path cut to the buffer is no answer.
    size_t room = std::strlen(folder ? folder : "") + std::strlen(files) + 2;
    auto* joined = static_cast<char*>(AllocMemory(room, 1));
    ok = joined && StrCopyBounded(joined, room, folder ? folder : "") &&
         AddPart(joined, files, room) && StrCopyBounded(buffer, size, joined);
    FreeMemory(joined);
  }
  FreeMemory(folder);
  FreeMemory(files);
  if (!ok) buffer[0] = '\0';
  return ok ? 1 : 0;
}
int32_t reqDirectory(VmState* L, const char* title, char* buffer, size_t size) {
  if (!buffer || size == 0) return 0;
  buffer[0] = '\0';
  char* path = nullptr;
  ErrorCode error = RunPathRequester(L, title, 0, nullptr, &path);
  int ok = error == ERR_NONE && path && StrCopyBounded(buffer, size, path);
  FreeMemory(path);
  if (!ok) buffer[0] = '\0';
  return ok ? 1 : 0;
}

// System table.
// The header text a global-value tag reads: 26-30 title, version,
// copyright, authors, description; 37 the sixth text. "" without an applet.
const char* headerText(uintptr_t tag) {
  const PlayerRecord* r = player.record;
  if (!r) return "";
  switch (tag) {
    case 26:
      return r->title;
    case 27:
      return r->versionString;
    case 28:
      return r->copyright;
    case 29:
      return r->authors;
    case 30:
      return r->description;
    default:
      return r->text6;
  }
}

int sysGlobalValues(VmState* L, QmTagItem* tags) {
  int handled = 0;
  for (QmTagItem* t = tags; t && t->tag; t++) {
    auto* result = reinterpret_cast<uintptr_t*>(t->data);
    switch (t->tag) {
      case 31: {
        TagItem set[2] = {{ATTR_CALLBACKDEPTH, t->data}, {ATTR_DONE, 0}};
        SetGlobalAttrs(L, set);
        handled++;
        break;
      }
      case 38:
        vmRun.handlerSuppressed = 1;
        handled++;
        break;
      case 40:
        vmRun.handlerSuppressed = 0;
        ResetErrorLocation();
        handled++;
        break;
      case 44:
        if (result) *result = static_cast<uintptr_t>(GetErrorRaising());
        handled++;
        break;
      case 45:
        if (result) *result = reinterpret_cast<uintptr_t>(L);
        handled++;
        break;
      case 26:
      case 27:
      case 28:
      case 29:
      case 30:
      case 37:
        // The applet's header texts, into a 256-byte buffer.
        if (t->data) {
          const char* text = headerText(t->tag);
          StrCopyBounded(reinterpret_cast<char*>(t->data), HEADER_TEXT_SIZE, text);
        }
        handled++;
        break;
      case 32:
        if (result) *result = static_cast<uintptr_t>(GetScriptRunningFlag());
        handled++;
        break;
      case 33:
      case 39:
      case 43:
        SetPluginDisplayWord(t->tag == 33 ? 0 : t->tag == 39 ? 1 : 2, t->data);
        handled++;
        break;
      case 35:
        if (result) *result = static_cast<uintptr_t>(player.utf8Script);
        handled++;
        break;
      case 46:
        if (t->data) {
          const DisplayRecord* d = GetCurrentDisplay();
          *reinterpret_cast<double*>(t->data) = d ? d->scaleFactor : 1.0;
        }
        handled++;
        break;
      default:
        break;
    }
  }
  return handled;
}
int32_t sysRegisterCustomError(const char* text) { return RegisterCustomError(text); }
void sysGetErrorText(int32_t code, char* buffer, size_t size) { GetErrorText(code, buffer, size); }
void sysGetSysTime(QmTimeValue* out) { GetSysTime(reinterpret_cast<TimeValue*>(out)); }
void sysSubTime(QmTimeValue* a, const QmTimeValue* b) {
  SubTime(reinterpret_cast<TimeValue*>(a), reinterpret_cast<const TimeValue*>(b));
}
void sysAddTime(QmTimeValue* a, const QmTimeValue* b) {
  AddTime(reinterpret_cast<TimeValue*>(a), reinterpret_cast<const TimeValue*>(b));
}
int sysCmpTime(const QmTimeValue* a, const QmTimeValue* b) {
  return CmpTime(reinterpret_cast<const TimeValue*>(a), reinterpret_cast<const TimeValue*>(b));
}
void* sysAllocMemory(size_t size, uint32_t flags) { return AllocMemory(size, flags & 1); }
QmHook* sysAddHook(int32_t kind, void (*callback)(void), void* userData) {
  return reinterpret_cast<QmHook*>(AddHook(kind, callback, userData, 0));
}
int32_t sysRegisterObjectType(void** list, const char* name,
                              int (*handler)(VmState*, uintptr_t, uintptr_t)) {
  int32_t id = 0;
  ErrorCode error = RegisterObjectType(reinterpret_cast<ObjectHead**>(list), name, handler, &id, 0);
  return error ? -1 : id;
}
void sysFreeObjectDataList(VmState* L, void** list) {
  FreeObjectDataList(L, reinterpret_cast<ObjectDataEntry**>(list));
}
// Bit 1 installs the frames video threads finished; the audio channels'
// end check and the joysticks always run.
void sysPendingWork(uint32_t flags) {
  if (flags & 2) ApplyPendingDisplayFrames(nullptr);
  CheckChannelTimeouts();
  PollJoysticks();
}
int32_t sysAddExtensionKey(QmExtensionRecord* record, QmCommandFunction command) {
  return AddExtensionKey(record, command);
}
void sysSetExtensionErrorHandler(QmExtensionRecord* record, QmErrorHandler handler) {
  if (record) record->errorHandler = handler;
}
QmErrorHandler sysGetExtensionErrorHandler(QmExtensionRecord* record) {
  return record ? record->errorHandler : nullptr;
}
void sysSetExtensionDisabled(QmExtensionRecord* record, int32_t disabled) {
  if (record) record->disabled = disabled;
}
QmMutex* sysAllocMutex() { return reinterpret_cast<QmMutex*>(AllocMutex()); }
void sysFreeMutex(QmMutex* m) { FreeMutex(reinterpret_cast<PlatformMutex*>(m)); }
int sysLockMutex(QmMutex* m) { return LockMutex(reinterpret_cast<PlatformMutex*>(m)); }
int sysUnlockMutex(QmMutex* m) { return UnlockMutex(reinterpret_cast<PlatformMutex*>(m)); }
void sysSetHookDisabled(QmHook* hook, int32_t flag) {
  SetHookDisabled(reinterpret_cast<HookRecord*>(hook), flag);
}
void sysRemoveHook(QmHook* hook) { RemoveHook(reinterpret_cast<HookRecord*>(hook)); }
void sysDebugPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  DebugVPrintf(format, args);
  va_end(args);
}
int32_t sysGetCurrentDateStamp(int32_t* fields) {
  DateFields date{};
  ErrorCode error = GetCurrentDateStamp(&date);
  if (fields) {
    fields[0] = date.seconds;
    fields[1] = date.minutes;
    fields[2] = date.hours;
    fields[3] = date.day;
    fields[4] = date.month;
    fields[5] = date.year;
  }
  return error;
}
int32_t sysAddToLoaderList(PluginBase* base, uint32_t capability) {
  return AddToLoaderList(base, capability);
}
void sysScriptLocation(VmState* L, int32_t* line, const char** function, const char** script) {
  if (line) *line = GetCurrentScriptLine(L);
  if (function) *function = vmErrorLocation.function;
  if (script) {
    const char* name = GetCurrentScriptName(L);
    *script = name ? name : "";
  }
}
int sysIsUtf8Mode() { return unicodeUtf8Mode != 0; }

// File table.
uint32_t openModeOf(uint32_t bits) {
  uint32_t mode = STREAM_READ;
  if (bits & QM_OPEN_WRITE) mode = STREAM_WRITE;
  if (bits & QM_OPEN_UPDATE) mode = STREAM_READ | STREAM_UPDATE;
  if (bits & QM_OPEN_SKIPSEEK) mode |= STREAM_SKIPSEEK;
  if (bits & QM_OPEN_LATIN1NAME) mode |= STREAM_LATIN1NAME;
  if (!(bits & QM_OPEN_NOADAPTERS)) mode |= STREAM_ADAPTERS;
  return mode;
}
StreamHandle* S(QmStream* s) { return reinterpret_cast<StreamHandle*>(s); }
LockHandle* K(QmLock* l) { return reinterpret_cast<LockHandle*>(l); }
QmStream* fileOpen(const char* name, uint32_t mode) {
  return reinterpret_cast<QmStream*>(OpenFileStream(name, openModeOf(mode), nullptr));
}
QmStream* fileOpenTags(const char* name, uint32_t mode, const QmTagItem* tags) {
  const char* loaders = nullptr;
  for (const QmTagItem* t = tags; t && t->tag; t++)
    if (t->tag == 1) loaders = reinterpret_cast<const char*>(t->data);
  return reinterpret_cast<QmStream*>(OpenFileStream(name, openModeOf(mode), loaders));
}
int fileClose(QmStream* s) { return CloseFileStream(S(s)); }
int64_t fileSeek(QmStream* s, int64_t offset, int mode) {
  return SeekFileStream(S(s), offset, mode);
}
size_t fileRead(QmStream* s, void* b, size_t n) { return ReadStream(S(s), b, n); }
size_t fileWrite(QmStream* s, const void* b, size_t n) { return WriteStream(S(s), b, n); }
int fileReadByte(QmStream* s) { return ReadStreamByte(S(s)); }
int fileWriteByte(QmStream* s, int c) { return WriteStreamByte(S(s), c); }
int fileEof(QmStream* s) { return IsStreamEOF(S(s)); }
int fileFlush(QmStream* s) { return FlushStream(S(s)); }
uint32_t fileAdapterFlags(QmStream* s) { return GetStreamAdapterFlags(S(s)); }
// Locks are read locks unless a write bit asks otherwise (the platform
// refuses write locks of its own files).
QmLock* fileLock(const char* name, uint32_t mode) {
  uint32_t lockMode = (mode & (QM_OPEN_WRITE | QM_OPEN_UPDATE)) ? STREAM_WRITE : STREAM_READ;
  return reinterpret_cast<QmLock*>(LockFile(name, lockMode, nullptr));
}
void fileUnlock(QmLock* l) { UnLockFile(K(l)); }
int fileNameFromLock(QmLock* l, char* b, size_t n) { return NameFromLock(K(l), b, n); }
void infoToDirInfo(const FileInfo& info, QmDirInfo* out) {
  std::memset(out, 0, sizeof *out);
  out->isDirectory = info.isDirectory;
  out->protection = info.protection;
  out->size = info.size;
  out->modified = info.times[1];
}
int fileExamineLock(QmLock* l, QmDirInfo* out) {
  FileInfo info{};
  if (!ExamineLock(K(l), &info)) return 0;
  if (out) infoToDirInfo(info, out);
  return 1;
}
int32_t fileCheckLockIsDirectory(QmLock* l, int32_t* isDirectory) {
  return CheckLockIsDirectory(K(l), isDirectory);
}
int fileNextDirEntry(QmLock* l, char* name, size_t size, QmDirInfo* out) {
  const char* entry = nullptr;
  int32_t isDirectory = 0;
  FileInfo info{};
  if (!NextLockEntry(K(l), 0, &entry, &isDirectory, &info)) return 0;
  if (name) StrCopyBounded(name, size, entry);
  if (out) {
    infoToDirInfo(info, out);
    out->isDirectory = isDirectory;
  }
  return 1;
}
int32_t fileMakeDirectory(const char* name) { return MakeDirectoryNative(name); }
int fileRename(const char* from, const char* to) { return RenameFileNative(from, to); }
int fileCurrentDirectory(char* buffer, size_t size) { return ResolveFullPath(".", buffer, size); }
void fileClearPath(char* buffer) {
  if (buffer) std::memset(buffer, 0, 1024);
}
int fileAddPart(char* path, const char* part, size_t size) {
  if (!path || !part) return 0;
  if (IsAbsolutePath(part)) return StrCopyBounded(path, size, part);
  size_t length = std::strlen(path);
  if (length && path[length - 1] != '/' && path[length - 1] != ':' &&
      !StrAppendBounded(path, size, "/"))
    return 0;
  return StrAppendBounded(path, size, part);
}
char* fileFindFilePart(char* path) { return FindFilePart(path); }
int fileParseChunkName(const char* name, int64_t* offset, int64_t* size, char* text,
                       size_t textSize) {
  uint64_t o = 0, s = 0;
  if (!IsChunkName(name) ||
      !ParseChunkName(name, &o, &s, nullptr, 0, text, textSize, nullptr, 0, nullptr)) {
    if (offset) *offset = -1;
    if (size) *size = -1;
    if (text) StrCopyBounded(text, textSize, name);
    return 0;
  }
  if (offset) *offset = static_cast<int64_t>(o);
  if (size) *size = static_cast<int64_t>(s);
  return 1;
}
char* dupText(const char* text) {
  size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy) std::memcpy(copy, text, length + 1);
  return copy;
}
// Fills the plug-in's file record (when asked for one) from the file
// information of a path or a stream; name and comment are copied.
template <typename Info>
void fileInfoToRecord(const Info& info, const char* name, const char* comment, QmFileInfo* out) {
  if (!out) return;
  std::memset(out, 0, sizeof *out);
  out->isDirectory = info.isDirectory;
  out->protection = info.protection;
  out->size = info.size;
  std::memcpy(out->times, info.times, sizeof out->times);
  out->name = dupText(name);
  out->comment = dupText(comment);
}
int fileExaminePath(const char* name, QmFileInfo* out) {
  ExtendedFileInfo info{};
  if (!ExamineFile(name, &info, 1)) return 0;
  fileInfoToRecord(info, info.fullName, info.comment, out);
  return 1;
}
int fileExamineStream(QmStream* s, QmFileInfo* out) {
  FileInfo info{};
  if (!ExamineStream(S(s), &info)) return 0;
  fileInfoToRecord(info, info.name, "", out);
  return 1;
}

// Slot 28: a buffer written to a file, or copied into a linked chunk file.
int32_t fileWriteBufferOrLink(VmState* L, char* name, size_t nameSize, const void* data,
                              size_t size, uint32_t flags) {
  if (!name || (size && !data)) return 0;
  if (flags & 1) {
    StreamHandle* out = OpenFileStream(name, STREAM_WRITE, nullptr);
    if (!out) return 0;
    bool written = WriteStream(out, data, size) == size;
    bool closed = CloseFileStream(out) != 0;
    return written && closed ? 1 : 0;
  }
  VirtualFile* file = nullptr;
  if (!L || NewVirtualStringFile(L, data, size, 0, "foobar.dat", 1, &file) != ERR_NONE) return 0;
  return MakeVirtualFileName(file, name, nameSize) ? 1 : 0;
}

// Slot 29: a chunk name taken apart.
int32_t fileDescribeChunkName(const char* name, QmChunkDescription* out) {
  if (!name || !out) return 0;
  std::memset(out, 0, sizeof *out);
  uint64_t offset = 0, size = 0;
  VirtualFile* file = nullptr;
  if (!IsChunkName(name) || !ParseChunkName(name, &offset, &size, nullptr, 0, out->text,
                                            sizeof out->text, nullptr, 0, &file)) {
    out->offset = -1;
    out->size = -1;
    StrCopyBounded(out->text, sizeof out->text, name);
    return 0;
  }
  out->offset = static_cast<int64_t>(offset);
  out->size = static_cast<int64_t>(size);
  out->virtualFile = file;
  return 1;
}

// Slot 33: a dos library command called for a plug-in.
int32_t fileCallDosCommand(VmState* L, const char* command, int32_t nargs, int32_t nresults) {
  if (!L || !command || nargs < 0) return ERR_WRONGUSAGE;
  for (const LibraryEntry* library = GetLibraryList(); library; library = library->next) {
    if (std::strcmp(library->name, "dos") != 0 || !library->commands) continue;
    for (const CommandTableEntry* c = library->commands; c->name; c++) {
      if (!c->function || CompareNoCase(c->name, command) != 0) continue;
      VmPushCClosure(L, c->function, 0);
      VmInsert(L, -nargs - 1);
      return VmPCall(L, nargs, nresults, 0);
    }
  }
  return ERR_UNIMPLCMD;
}

// Slot 34: the name a loader opens for a request's data.
static_assert(sizeof(MemoryFileName) <= QM_MEMORYNAME_SIZE);
int32_t fileRequestChunkName(const QmLoaderSource* source, char* buffer, size_t size) {
  if (!buffer) return 0;
  bool aligned = reinterpret_cast<uintptr_t>(buffer) % alignof(MemoryFileName) == 0;
  if (!source) {
    if (aligned && size >= sizeof(MemoryFileName))
      ReleaseMemoryFileName(reinterpret_cast<MemoryFileName*>(buffer));
    return 1;
  }
  if (!source->path) {
    if (!aligned || size < QM_MEMORYNAME_SIZE || (source->size && !source->data)) return 0;
    MakeMemoryFileName(reinterpret_cast<MemoryFileName*>(buffer), source->data, source->size);
    return 1;
  }
  char name[LOCK_PATH_SIZE];
  if (std::snprintf(name, sizeof name, "foo.%s", source->extension ? source->extension : "dat") >=
          static_cast<int>(sizeof name) ||
      source->offset > static_cast<uint64_t>(INT64_MAX))
    return 0;
  return MakeChunkName(name, buffer, size, static_cast<int64_t>(source->offset), source->size, 0,
                       source->path);
}

// VM table.
int vmLessThan(VmState* L, int a, int b) { return VmLessThan(L, a, b, 0); }
void vmPushString(VmState* L, const char* s) { VmPushString(L, s); }
void vmCheckStack(VmState* L, int space, const char*) {
  if (!VmCheckStack(L, space)) VmRaiseError(L, ERR_STACK);
}
int32_t vmPCall(VmState* L, int nargs, int nresults, int errfunc) {
  return VmPCall(L, nargs, nresults, errfunc);
}
int32_t vmCall(VmState* L, int nargs, int nresults) { return VmCall(L, nargs, nresults); }
void vmRaise(VmState* L, int32_t code) { VmRaiseError(L, code); }
void* vmNewUserdata(VmState* L, size_t size) { return VmNewUserdata(L, size); }
int vmObjectIdArgument(VmState* L, int index, void** autoId, int32_t* number, int allowAuto) {
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, index, allowAuto ? &automatic : nullptr);
  if (autoId) *autoId = id.autoId;
  if (number) *number = id.number;
  return automatic;
}
// The plug-in's copy of the string builder has the engine's layout.
static_assert(sizeof(QmStringBuffer) == sizeof(VmStringBuffer));
static_assert(offsetof(QmStringBuffer, buffer) == offsetof(VmStringBuffer, buffer));
VmStringBuffer* B(QmStringBuffer* b) { return reinterpret_cast<VmStringBuffer*>(b); }
void vmBufferInit(VmState* L, QmStringBuffer* b) { VmBufferInit(L, B(b)); }
size_t vmBufferPrepare(QmStringBuffer* b) { return VmBufferPrepare(B(b)); }
void vmBufferAddBytes(QmStringBuffer* b, const char* s, size_t n) { VmBufferAddBytes(B(b), s, n); }
void vmBufferAddString(QmStringBuffer* b, const char* s) { VmBufferAddString(B(b), s); }
void vmBufferAddValue(QmStringBuffer* b) { VmBufferAddValue(B(b)); }
void vmBufferPushResult(QmStringBuffer* b) { VmBufferPushResult(B(b)); }
int vmCreateReference(VmState* L, int table) { return VmCreateReference(L, table); }
void vmReleaseReference(VmState* L, int table, int ref) { VmReleaseReference(L, table, ref); }
const char* vmFileNameArgument(VmState* L, int index) {
  return ResolveLinkedFile(L, VmCheckString(L, index, nullptr), 0, nullptr);
}
int32_t vmOptIntegerAbsent(VmState* L, int index, int32_t def, int32_t* absent) {
  bool missing = VmType(L, index) == VM_TYPE_NONE;
  if (absent) *absent = missing ? 1 : 0;
  return missing ? def : VmCheckInteger(L, index);
}

// Plug-in, encoding and Unicode tables.
int64_t encCrc32(const void* buffer, int64_t length) {
  if (length < 1) return -1;
  return ComputeCrc32(buffer, static_cast<size_t>(length));
}
int encBase64Encode(const void* data, size_t count, char* out, size_t outSize) {
  ErrorCode error = ERR_NONE;
  size_t size = Base64EncodedSize(count, &error);
  if (error || !out || size >= outSize) return 0;
  EncodeBase64(data, count, out);
  out[size] = '\0';
  return 1;
}
int encBase64Decode(const char* text, size_t length, void* out, size_t outSize, size_t* written) {
  // Every 4 characters give at most 3 bytes: check the room before decoding.
  if (!text || !out || length / 4 * 3 + 3 > outSize) return 0;
  size_t n = 0;
  if (DecodeBase64(text, length, out, &n)) return 0;
  if (written) *written = n;
  return 1;
}
int64_t uniValidateString(const char* text) {
  int error = 0;
  size_t n = Utf8ValidateString(text, &error);
  return error ? -1 : static_cast<int64_t>(n);
}
int uniValidate(const char* text) {
  int error = 0;
  Utf8ValidateString(text, &error);
  return error ? 0 : 1;
}
int uniIsAlnum(uint32_t c) { return UnicodeIsAlnum(c); }
int uniIsCntrl(uint32_t c) { return UnicodeIsCntrl(c); }
int uniIsDigit(uint32_t c) { return UnicodeIsDigit(c); }
int uniIsGraph(uint32_t c) { return UnicodeIsGraph(c); }
int uniIsLower(uint32_t c) { return UnicodeIsLower(c); }
int uniIsPrint(uint32_t c) { return UnicodeIsPrint(c); }
int uniIsPunct(uint32_t c) { return UnicodeIsPunct(c); }
int uniIsSpace(uint32_t c) { return UnicodeIsSpace(c); }
int uniIsXDigit(uint32_t c) { return UnicodeIsXDigit(c); }
int uniIsUpper(uint32_t c) { return UnicodeIsUpper(c); }
int uniIsAlpha(uint32_t c) { return UnicodeIsAlpha(c); }
int uniCompareNoCase(const char* a, const char* b) {
  // Utf8CompareNoCase: case-folded code points whatever the run's mode.
  int32_t saved = unicodeUtf8Mode;
  unicodeUtf8Mode = 1;
  int r = CompareNoCase(a, b);
  unicodeUtf8Mode = saved;
  return r;
}
int uniCompareNoCaseN(const char* a, const char* b, size_t n) {
  int32_t saved = unicodeUtf8Mode;
  unicodeUtf8Mode = 1;
  int r = CompareNoCaseN(a, b, n);
  unicodeUtf8Mode = saved;
  return r;
}
int locTimeZone(int* out) {
  int daylight = 0;
  int minutes = GetTimeZoneMinutes(&daylight);
  if (out) *out = minutes;
  return minutes;
}

// Library functions in generic slots; the cast goes through void (*)(void),
// the function type that compilers accept as matching every other.
template <typename F>
QmHostFunc H(F f) {
  return reinterpret_cast<QmHostFunc>(reinterpret_cast<void (*)()>(f));
}

const HostCRuntimeTable CRUNTIME = {
    crtMalloc,        crtCalloc,    crtRealloc,   crtFree,       crtStrdup,
    crtFopen,         crtFclose,    crtFseek,     crtFtell,      crtFread,
    crtFwrite,        crtFgetc,     crtFputc,     crtFerror,     crtFeof,
    crtVfprintf,      crtVsnprintf, crtVprintf,   crtQsort,      crtVsscanf,
    crtStrtod,        crtStrtol,    crtStrtoul,   CompareNoCase, crtCompareNoCaseN,
    CharToLower,      CharToUpper,  StrToLower,   StrToUpper,    crtGettimeofday,
    crtTime,          crtLrint,     crtLocaltime, crtGmtime,     crtLocaltimeNow,
    crtCtime,         crtMktime,    crtStrftime,  crtClock,      crtDifftime,
    crtClearerr,      crtFileno,    crtFflush,    crtFstat,      crtStat,
    crtVfscanf,       crtUngetc,    crtRename,    crtRemove,     crtGetErrno,
    crtSetErrno,      crtStrerror,  crtStdin,     crtStdout,     crtStderr,
    crtErrnoLocation, crtFputs,     crtFgets,
};

// Event-library services of the system table.
int32_t sysAddUserEventType(const char* name) {
  return name ? AddUserEventType(name, 0, nullptr, nullptr, nullptr, nullptr, 0) : 0;
}
int32_t sysAddUserEventTypeWithOptions(const char* name, int32_t mode,
                                       QmUserEventMessageHook messageHook,
                                       QmUserEventCallHook callHook, QmUserEventFreeHook freeHook,
                                       void* thirdHook) {
  if (!name || (mode != 0 && mode != 1)) return 0;
  return AddUserEventType(name, mode, messageHook, callHook, freeHook, thirdHook, 0);
}
int32_t sysPostEvent(void* display, int32_t type, int32_t a1, int32_t a2, int32_t a3,
                     void* payload) {
  return PostEvent(static_cast<DisplayRecord*>(display), type, a1, a2, a3, payload);
}
int32_t sysPollEvents(VmState* L, int32_t flags, int32_t unused, int32_t* error) {
  ErrorCode code = ERR_NONE;
  int stop = L ? PollEvents(L, flags, unused, &code) : 0;
  if (error) *error = code;
  return stop;
}
int32_t sysWaitPlatformEvent(VmState* L, int32_t mode) {
  return WaitPlatformEvent(L, mode, 0, nullptr);
}

void* sysFindObjectEntry(int32_t type, void* autoId, int32_t number) {
  return FindObjectEntry(type, ObjectId{autoId, autoId != nullptr ? 0 : number});
}

const HostSystemTable SYSTEM = {
    sysGlobalValues,
    sysRegisterCustomError,
    SetErrorArgString,
    SetErrorArgNumber,
    sysGetErrorText,
    sysGetSysTime,
    sysSubTime,
    sysAddTime,
    sysCmpTime,
    Delay,
    FormatDateTime,
    sysAllocMemory,
    FreeMemory,
    sysAddHook,
    sysAddUserEventType,
    reservedEventService,
    sysPostEvent,
    sysRegisterObjectType,
    sysFreeObjectDataList,
    AddPluginNode,
    sysPendingWork,
    AddExtensionRecord,
    RemoveExtensionRecord,
    sysAddExtensionKey,
    sysSetExtensionErrorHandler,
    sysGetExtensionErrorHandler,
    sysSetExtensionDisabled,
    PostHostEvent,
    sysPollEvents,
    sysWaitPlatformEvent,
    sysAllocMutex,
    sysFreeMutex,
    sysLockMutex,
    sysUnlockMutex,
    sysSetHookDisabled,
    sysRemoveHook,
    sysAddUserEventTypeWithOptions,
    sysDebugPrintf,
    ReportAdapterTimerFire,
    InstallTimerAdapter,
    sysGetCurrentDateStamp,
    ConvertStringEncoding,
    FreeMemory,
    sysAddToLoaderList,
    RemoveFromLoaderList,
    SetPluginListHead,
    reservedEventService,
    sysScriptLocation,
    reservedEventService,
    sysIsUtf8Mode,
    VmErrorHandlerEnabled,
    CompareStringMode,
    ReadRandomBytes,
    GetSpecialFolderPath,
    sysFindObjectEntry,
};

const HostFileTable FILES = {
    fileOpen,
    fileClose,
    fileSeek,
    fileRead,
    fileWrite,
    fileReadByte,
    fileWriteByte,
    fileEof,
    DeleteFileNative,
    fileLock,
    fileUnlock,
    fileNameFromLock,
    fileExamineLock,
    fileCheckLockIsDirectory,
    FileOperationDoneHook,
    fileNextDirEntry,
    fileMakeDirectory,
    fileRename,
    fileCurrentDirectory,
    fileClearPath,
    fileAddPart,
    fileFindFilePart,
    GetDisplayFileName,
    fileParseChunkName,
    fileExaminePath,
    fileSeek,
    fileAdapterFlags,
    fileExamineStream,
    fileWriteBufferOrLink,
    fileDescribeChunkName,
    fileFlush,
    fileClearPath,
    fileOpenTags,
    fileCallDosCommand,
    fileRequestChunkName,
    fileClearPath,
};

int gfxPictureInfo(const char* name, int32_t* width, int32_t* height, int32_t* depth) {
  int32_t w = 0, h = 0;
  if (LoadImageFile(name, nullptr, nullptr, nullptr, -1, 0, nullptr, nullptr, nullptr, &w, &h,
                    nullptr, nullptr, nullptr))
    return 0;
  if (width) *width = w;
  if (height) *height = h;
  if (depth) *depth = 32;
  return 1;
}
void* gfxLoadPicture(const char* name, const QmTagItem* tags, int32_t* width, int32_t* height,
                     int32_t* alpha) {
  bool keepOrder = false, smooth = false;
  double scale = 1.0;
  for (const QmTagItem* t = tags; t && t->tag; t++) {
    if (t->tag == 1) keepOrder = t->data != 0;
    if (t->tag == 2 && t->data) scale = *reinterpret_cast<const double*>(t->data);
    if (t->tag == 3) smooth = t->data != 0;
  }
  DecodedImage* image = nullptr;
  int32_t w = 0, h = 0, hasAlpha = 0;
  if (LoadImageFile(name, nullptr, nullptr, nullptr, -1, 0, &image, nullptr, nullptr, &w, &h,
                    &hasAlpha, nullptr, nullptr))
    return nullptr;
  uint32_t* pixels = GetDecodedImagePixels(image);
  if (!pixels) {
    FreeDecodedImage(image);
    return nullptr;
  }
  if (scale != 1.0) {
    double sw = w * scale, sh = h * scale;
    if (!(sw >= 1 && sh >= 1 && sw <= IMAGE_MAX_SIDE && sh <= IMAGE_MAX_SIDE)) {
      FreeDecodedImage(image);
      return nullptr;
    }
    int32_t nw = static_cast<int32_t>(sw), nh = static_cast<int32_t>(sh);
    auto* scaled = reinterpret_cast<uint32_t*>(ScalePixelBuffer(
        pixels, 0, 0, w, h, nullptr, 0, 0, nw, nh, w, nw, PIXFMT_ARGB32, smooth ? 1 : 0));
    if (!scaled) {
      FreeDecodedImage(image);
      return nullptr;
    }
    SetDecodedImagePixels(image, scaled);
    pixels = scaled;
    w = nw;
    h = nh;
  }
  if (!keepOrder) {
    size_t count = static_cast<size_t>(w) * static_cast<size_t>(h);
    for (size_t i = 0; i < count; i++) {
      uint32_t p = pixels[i];
      p = (p & 0xFF00FF00u) | ((p >> 16) & 0xFFu) | ((p & 0xFFu) << 16);
      if (!hasAlpha) p |= 0xFF000000u;
      pixels[i] = p;
    }
  }
  if (width) *width = w;
  if (height) *height = h;
  if (alpha) *alpha = hasAlpha;
  return image;
}
uint32_t* gfxDecodedPixels(void* image) {
  return GetDecodedImagePixels(static_cast<DecodedImage*>(image));
}
void gfxFreeDecoded(void* image) { FreeDecodedImage(static_cast<DecodedImage*>(image)); }
int32_t gfxInstallDisplayAdapter(PluginBase* base, uint32_t flags, const QmTagItem* tags) {
  return InstallDisplayAdapter(base, flags, tags);
}

int32_t gfxCreateBrushFromPixels(void** autoId, int32_t number, int32_t width, int32_t height,
                                 const QmBrushPixels* pixels) {
  if (!pixels) return ERR_WRONGUSAGE;
  int automatic = number == 0 && autoId;
  ObjectId id{nullptr, number};
  BrushPixels description{pixels->pixels, pixels->rowLength, pixels->keyColour, pixels->flags};
  ErrorCode e =
      CreateBrushFromPixels(nullptr, &id, automatic, width, height, &description, nullptr);
  if (!e && automatic) *autoId = id.autoId;
  return e;
}
int32_t gfxFreeBrush(void* autoId, int32_t number, int32_t reportMissing) {
  return FreeBrushObject(nullptr, ObjectId{autoId, autoId ? 0 : number}, reportMissing);
}

// A tag's value, or def when the list lacks the tag.
uintptr_t tagValue(const QmTagItem* tags, uint32_t tag, uintptr_t def) {
  for (const QmTagItem* t = tags; t && t->tag; t++)
    if (t->tag == tag) return t->data;
  return def;
}

BitmapLock lockOf(const QmBitmapLock* l) {
  BitmapLock lock{};
  lock.address = static_cast<uint8_t*>(l->address);
  lock.token = 1;
  lock.pixelFormat = l->format;
  lock.bytesPerPixel = l->bytesPerPixel;
  lock.rowLength = l->rowLength;
  lock.width = l->width;
  lock.height = l->height;
  return lock;
}

// A pixel lock narrowed to a clip rectangle (tag); false when nothing of
// the lock is left or it is no pixel lock the drawing kernels take.
bool drawArea(const QmBitmapLock* l, const QmTagItem* tags, uint32_t clipTag, BitmapLock* area,
              int32_t* originX, int32_t* originY) {
  if (!l || !l->address || (l->bytesPerPixel != 2 && l->bytesPerPixel != 4) ||
      l->format > PIXFMT_ABGR32 || l->rowLength < l->width)
    return false;
  *area = lockOf(l);
  *originX = *originY = 0;
  const auto* clip = reinterpret_cast<const QmRect*>(tagValue(tags, clipTag, 0));
  if (!clip) return l->width > 0 && l->height > 0;
  int64_t x0 = std::max<int64_t>(clip->x, 0), y0 = std::max<int64_t>(clip->y, 0);
  int64_t x1 = std::min<int64_t>(int64_t{clip->x} + clip->width, l->width);
  int64_t y1 = std::min<int64_t>(int64_t{clip->y} + clip->height, l->height);
  if (x1 <= x0 || y1 <= y0) return false;
  area->address += (y0 * l->rowLength + x0) * l->bytesPerPixel;
  area->width = static_cast<int32_t>(x1 - x0);
  area->height = static_cast<int32_t>(y1 - y0);
  *originX = static_cast<int32_t>(x0);
  *originY = static_cast<int32_t>(y0);
  return true;
}

int32_t drawOpacity(uint32_t colour, uint32_t flags, const QmTagItem* tags) {
  if (flags & QM_DRAW_COLOURALPHA) return static_cast<int32_t>(colour >> 24);
  uintptr_t opacity = tagValue(tags, QM_DRAWTAG_OPACITY, 255);
  return static_cast<int32_t>(std::min<uintptr_t>(opacity, 255));
}

// Slot 16's lock record; slot 17 releases the lock and frees it.
// Display callbacks and displays for plug-ins.
int32_t gfxChangeDisplaySize(QmDisplayCallback* record, int32_t width, int32_t height,
                             const QmTagItem* tags) {
  return ChangeDisplaySizeForCallback(record, width, height, tags);
}
void* gfxFindDisplay(int32_t number, void* adapterWindow) {
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next)) {
    if (adapterWindow ? d->windowHandle == reinterpret_cast<uintptr_t>(adapterWindow)
                      : !d->head.autoId && d->head.number == number)
      return d;
  }
  return nullptr;
}

void* gfxLockBitmap(void* bitmap, const QmTagItem* tags, QmBitmapLock* out) {
  if (out) *out = QmBitmapLock{};
  if (!bitmap || !out) return nullptr;
  auto* lock = static_cast<BitmapLock*>(AllocMemory(sizeof(BitmapLock), 1));
  if (!lock) return nullptr;
  uint32_t flags = tagValue(tags, QM_LOCKTAG_WRITE, 0) ? 0 : 1;
  if (!LockBitmap(bitmap, flags, lock)) {
    FreeMemory(lock);
    return nullptr;
  }
  *out = QmBitmapLock{lock->address,       lock->rowLength, lock->pixelFormat,
                      lock->bytesPerPixel, lock->width,     lock->height};
  return lock;
}
void gfxUnlockBitmap(void* lock) {
  if (!lock) return;
  UnlockBitmap(static_cast<BitmapLock*>(lock));
  FreeMemory(lock);
}

// Brushes for plug-ins: locked, read as ARGB, or their bitmap.
BrushObject* brushFor(void* autoId, int32_t number) {
  BrushObject* b = nullptr;
  ObjectId id{autoId, autoId ? 0 : number};
  if (GetBrushObject(nullptr, id, &b, BRUSH_HARDWARE) != ERR_NONE || !b->bitmap) return nullptr;
  return b;
}
void* gfxLockBrush(void* autoId, int32_t number, QmBrushLock* out) {
  if (!out) return nullptr;
  *out = QmBrushLock{};
  BrushObject* b = brushFor(autoId, number);
  if (!b) return nullptr;
  void* lock = gfxLockBitmap(b->bitmap, nullptr, &out->pixels);
  if (!lock) return nullptr;
  out->mask = b->mask;
  out->alpha = b->alpha;
  return lock;
}
uint32_t* gfxReadBrushARGB(void* autoId, int32_t number, const QmTagItem* tags) {
  BrushObject* b = brushFor(autoId, number);
  if (!b) return nullptr;
  int32_t width = b->width, height = b->height;
  uint32_t* pixels = ReadBitmapRectARGBMasked(b->bitmap, 0, 0, width, height, b->mask, b->alpha, -1,
                                              b->mask ? 1 : 0, 1);
  if (!pixels) return nullptr;
  uintptr_t scale = tagValue(tags, QM_BRUSHTAG_SCALE, 0);
  const DisplayRecord* d = GetCurrentDisplay();
  if ((scale & 1) && d && d->scaleFactorActive && d->scaleFactor != 1.0) {
    int32_t w = std::max(1, VmTruncInt32(width * d->scaleFactor));
    int32_t h = std::max(1, VmTruncInt32(height * d->scaleFactor));
    uint8_t* scaled = ScalePixelBuffer(pixels, 0, 0, width, height, nullptr, 0, 0, w, h, width, w,
                                       PIXFMT_ARGB32, (scale & 2) ? 1 : 0);
    FreeMemory(pixels);
    if (!scaled) return nullptr;
    pixels = reinterpret_cast<uint32_t*>(scaled);
    width = w;
    height = h;
  }
  auto answer = [&](uint32_t tag, int32_t value) {
    if (auto* out = reinterpret_cast<int32_t*>(tagValue(tags, tag, 0))) *out = value;
  };
  answer(QM_BRUSHTAG_WIDTH, width);
  answer(QM_BRUSHTAG_HEIGHT, height);
  answer(QM_BRUSHTAG_KIND, b->alpha ? 2 : b->mask ? 1 : 0);
  return pixels;
}
void gfxFreeBrushARGB(uint32_t* pixels) { FreeMemory(pixels); }
void* gfxBrushBitmap(void* autoId, int32_t number) {
  BrushObject* b = brushFor(autoId, number);
  return b ? b->bitmap : nullptr;
}
int32_t gfxBltLocked(const QmBitmapLock* source, int32_t sx, int32_t sy, const QmBitmapLock* dest,
                     int32_t dx, int32_t dy, int32_t width, int32_t height,
                     const QmBitmapLock* plane, const QmTagItem* tags) {
  if (!source || !dest) return ERR_WRONGUSAGE;
  BitmapLock s = lockOf(source), d = lockOf(dest), p{};
  if (plane) p = lockOf(plane);
  // A clip rectangle narrows the destination; the source moves along.
  if (const auto* clip = reinterpret_cast<const QmRect*>(tagValue(tags, QM_BLTTAG_CLIP, 0))) {
    int64_t x0 = std::max<int64_t>(clip->x, dx), y0 = std::max<int64_t>(clip->y, dy);
    int64_t x1 = std::min<int64_t>(int64_t{clip->x} + clip->width, int64_t{dx} + width);
    int64_t y1 = std::min<int64_t>(int64_t{clip->y} + clip->height, int64_t{dy} + height);
    if (x1 <= x0 || y1 <= y0) return 0;
    sx += static_cast<int32_t>(x0 - dx);
    sy += static_cast<int32_t>(y0 - dy);
    dx = static_cast<int32_t>(x0);
    dy = static_cast<int32_t>(y0);
    width = static_cast<int32_t>(x1 - x0);
    height = static_cast<int32_t>(y1 - y0);
  }
  return BltLocked(&s, sx, sy, &d, dx, dy, width, height, plane ? &p : nullptr);
}
void gfxFillLocked(const QmBitmapLock* lock, int32_t x, int32_t y, int32_t width, int32_t height,
                   uint32_t colour, uint32_t flags, const QmTagItem* tags) {
  BitmapLock a;
  int32_t ox, oy;
  if (!drawArea(lock, tags, QM_DRAWTAG_CLIP, &a, &ox, &oy)) return;
  int64_t x0 = std::max<int64_t>(int64_t{x} - ox, 0), y0 = std::max<int64_t>(int64_t{y} - oy, 0);
  int64_t x1 = std::min<int64_t>(int64_t{x} - ox + width, a.width);
  int64_t y1 = std::min<int64_t>(int64_t{y} - oy + height, a.height);
  if (x1 <= x0 || y1 <= y0) return;
  FillLockedRect(a.address, static_cast<int32_t>(x0), static_cast<int32_t>(y0),
                 static_cast<int32_t>(x1 - x0), static_cast<int32_t>(y1 - y0), colour & 0xFFFFFF,
                 drawOpacity(colour, flags, tags), a.rowLength, a.pixelFormat);
}
void gfxPixelLocked(const QmBitmapLock* lock, int32_t x, int32_t y, uint32_t colour, uint32_t flags,
                    const QmTagItem* tags) {
  gfxFillLocked(lock, x, y, 1, 1, colour, flags, tags);
}
void gfxLineLocked(const QmBitmapLock* lock, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                   uint32_t colour, uint32_t flags, const QmTagItem* tags) {
  BitmapLock a;
  int32_t ox, oy;
  if (!drawArea(lock, tags, QM_DRAWTAG_CLIP, &a, &ox, &oy)) return;
  DrawLineLocked(a.address, x1 - ox, y1 - oy, x2 - ox, y2 - oy, colour & 0xFFFFFF,
                 drawOpacity(colour, flags, tags), a.pixelFormat, a.rowLength, a.width, a.height);
}
// The polygon's coverage over its box inside the drawing area: whole rows
// of full coverage as spans, each edge pixel at the opacity its coverage
// leaves.
void gfxPolygonLocked(const QmBitmapLock* lock, const int32_t* points, int32_t count,
                      uint32_t colour, uint32_t flags, const QmTagItem* tags) {
  BitmapLock a;
  int32_t ox, oy;
  if (!points || count < 1 || !drawArea(lock, tags, QM_DRAWTAG_CLIP, &a, &ox, &oy)) return;
  int64_t x0 = INT64_MAX, y0 = INT64_MAX, x1 = INT64_MIN, y1 = INT64_MIN;
  for (int32_t i = 0; i < count; i++) {
    x0 = std::min<int64_t>(x0, int64_t{points[2 * i]} - ox);
    x1 = std::max<int64_t>(x1, int64_t{points[2 * i]} - ox + 1);
    y0 = std::min<int64_t>(y0, int64_t{points[2 * i + 1]} - oy);
    y1 = std::max<int64_t>(y1, int64_t{points[2 * i + 1]} - oy + 1);
  }
  x0 = std::max<int64_t>(x0, 0);
  y0 = std::max<int64_t>(y0, 0);
  x1 = std::min<int64_t>(x1, a.width);
  y1 = std::min<int64_t>(y1, a.height);
  if (x1 <= x0 || y1 <= y0) return;
  auto width = static_cast<int32_t>(x1 - x0), height = static_cast<int32_t>(y1 - y0);
  std::vector<int32_t> local(static_cast<size_t>(count) * 2);
  for (int32_t i = 0; i < count; i++) {
    local[2 * i] = static_cast<int32_t>(
        std::clamp<int64_t>(int64_t{points[2 * i]} - ox - x0, INT32_MIN / 2, INT32_MAX / 2));
    local[2 * i + 1] = static_cast<int32_t>(
        std::clamp<int64_t>(int64_t{points[2 * i + 1]} - oy - y0, INT32_MIN / 2, INT32_MAX / 2));
  }
  std::vector<uint8_t> coverage;
  if (PolygonCoverage(local.data(), count, width, height, (flags & QM_DRAW_ANTIALIAS) ? 1 : 0,
                      &coverage) != ERR_NONE)
    return;
  int32_t opacity = drawOpacity(colour, flags, tags);
  for (int32_t y = 0; y < height; y++) {
    const uint8_t* row = coverage.data() + static_cast<size_t>(y) * width;
    for (int32_t x = 0; x < width;) {
      int32_t run = 1;
      while (x + run < width && row[x + run] == row[x]) run++;
      if (row[x])
        FillLockedRect(a.address, static_cast<int32_t>(x0) + x, static_cast<int32_t>(y0) + y, run,
                       1, colour & 0xFFFFFF, (opacity * row[x] + 127) / 255, a.rowLength,
                       a.pixelFormat);
      x += run;
    }
  }
}
uint32_t* gfxReadARGB(void* bitmap, int32_t x, int32_t y, const QmTagItem* tags) {
  auto* h = static_cast<BitmapHandle*>(bitmap);
  if (!h) return nullptr;
  auto* mask = reinterpret_cast<BitmapHandle*>(tagValue(tags, QM_ARGBTAG_MASK, 0));
  auto* alpha = reinterpret_cast<BitmapHandle*>(tagValue(tags, QM_ARGBTAG_ALPHA, 0));
  auto width = static_cast<int32_t>(tagValue(tags, QM_ARGBTAG_WIDTH, 0));
  auto height = static_cast<int32_t>(tagValue(tags, QM_ARGBTAG_HEIGHT, 0));
  if (!width) width = h->width - x;
  if (!height) height = h->height - y;
  if (width <= 0 || height <= 0) return nullptr;
  return ReadBitmapRectARGBMasked(h, x, y, width, height, mask, alpha, -1, mask ? 1 : 0, 1);
}
uint32_t gfxColorToPixel(uint32_t colour, uint32_t format, int32_t keepAlpha) {
  return ColorToPixel(colour, format, keepAlpha);
}
uint32_t gfxPixelToColor(uint32_t pixel, uint32_t format, int32_t keepAlpha) {
  return PixelToColor(pixel, format, keepAlpha);
}

// The icon slots hand the icon library's records over as the ABI's: the
// layouts are the same.
static_assert(sizeof(QmIconImage) == sizeof(IconImage) &&
                  offsetof(QmIconImage, next) == offsetof(IconImage, next) &&
                  offsetof(QmIconImage, pixels) == offsetof(IconImage, pixels) &&
                  offsetof(QmIconImage, width) == offsetof(IconImage, width) &&
                  offsetof(QmIconImage, height) == offsetof(IconImage, height) &&
                  offsetof(QmIconImage, flags) == offsetof(IconImage, flags),
              "QmIconImage mirrors IconImage");
static_assert(sizeof(QmScaledIconImage) == sizeof(ScaledIconImage) &&
                  offsetof(QmScaledIconImage, pixels) == offsetof(ScaledIconImage, pixels) &&
                  offsetof(QmScaledIconImage, flags) == offsetof(ScaledIconImage, flags),
              "QmScaledIconImage mirrors ScaledIconImage");
QmIconImage* gfxGetAppIconImages() { return reinterpret_cast<QmIconImage*>(GetAppIconImages()); }
void gfxFreeIconImageList(QmIconImage* list) {
  FreeIconImageList(reinterpret_cast<IconImage*>(list));
}
QmIconImage* gfxCopyIconImages(void* autoId, int32_t number) {
  return reinterpret_cast<QmIconImage*>(CopyIconImages(ObjectId{autoId, autoId ? 0 : number}));
}
QmScaledIconImage* gfxGetScaledIconImage(void* autoId, int32_t number, const double* scale,
                                         uint32_t flags) {
  return reinterpret_cast<QmScaledIconImage*>(
      GetScaledIconImage(ObjectId{autoId, autoId ? 0 : number}, scale ? *scale : 0, flags));
}
void gfxFreeScaledIconImage(QmScaledIconImage* image) {
  FreeScaledIconImage(reinterpret_cast<ScaledIconImage*>(image));
}

HostGraphicsTable makeGraphics() {
  HostGraphicsTable t{};
  t.slot[0] = H(gfxPictureInfo);
  t.slot[1] = H(gfxLoadPicture);
  t.slot[2] = H(gfxDecodedPixels);
  t.slot[3] = H(gfxFreeDecoded);
  t.slot[QM_GFX_CREATEBRUSHFROMPIXELS] = H(gfxCreateBrushFromPixels);
  t.slot[QM_GFX_FREEBRUSH] = H(gfxFreeBrush);
  t.slot[QM_GFX_INSTALLDISPLAYADAPTER] = H(gfxInstallDisplayAdapter);
  t.slot[4] = H(gfxLockBrush);
  t.slot[5] = H(gfxUnlockBitmap);
  t.slot[6] = H(gfxReadBrushARGB);
  t.slot[7] = H(gfxFreeBrushARGB);
  t.slot[30] = H(gfxBrushBitmap);
  t.slot[QM_GFX_ADDDISPLAYCALLBACK] = H(AddDisplayCallback);
  t.slot[QM_GFX_REMOVEDISPLAYCALLBACK] = H(RemoveDisplayCallback);
  t.slot[QM_GFX_POSTDISPLAYCALLBACKEVENT] = H(PostDisplayCallbackEvent);
  t.slot[QM_GFX_CHANGEDISPLAYSIZEFORCALLBACK] = H(gfxChangeDisplaySize);
  t.slot[QM_GFX_GETDISPLAYATTRSFORPLUGIN] = H(GetDisplayAttrsForPlugin);
  t.slot[QM_GFX_REFRESHDISPLAYFORCALLBACK] = H(RefreshDisplayForCallback);
  t.slot[QM_GFX_FINDDISPLAY] = H(gfxFindDisplay);
  t.slot[16] = H(gfxLockBitmap);
  t.slot[17] = H(gfxUnlockBitmap);
  t.slot[21] = H(gfxBltLocked);
  t.slot[22] = H(gfxFillLocked);
  t.slot[23] = H(gfxPixelLocked);
  t.slot[24] = H(gfxLineLocked);
  t.slot[25] = H(gfxReadARGB);
  t.slot[26] = H(GetRawBitmapSize);
  t.slot[27] = H(gfxColorToPixel);
  t.slot[28] = H(gfxPixelToColor);
  t.slot[QM_GFX_GETAPPICONIMAGES] = H(gfxGetAppIconImages);
  t.slot[QM_GFX_FREEICONIMAGELIST] = H(gfxFreeIconImageList);
  t.slot[QM_GFX_COPYICONIMAGES] = H(gfxCopyIconImages);
  t.slot[QM_GFX_GETSCALEDICONIMAGE] = H(gfxGetScaledIconImage);
  t.slot[QM_GFX_FREESCALEDICONIMAGE] = H(gfxFreeScaledIconImage);
  t.slot[31] = H(gfxPolygonLocked);
  t.scalePixelBuffer = ScalePixelBuffer;
  return t;
}
const HostGraphicsTable GRAPHICS = makeGraphics();

// Sample data for plug-ins: a whole sound file decoded as PCM, in a block
// that goes back through freeSampleData.
int32_t soundCreateSampleData(const char* name, const char* loader, const char* adapter,
                              void** data, uint32_t* length, int32_t* rate, int32_t* format) {
  if (!data) return ERR_WRONGUSAGE;
  *data = nullptr;
  AudioDescriptor* sample = nullptr;
  ErrorCode error =
      LoadSoundFileAsSample(name, loader, adapter, &sample, length, rate, format, nullptr);
  if (error) return error;
  *data = sample->data;
  sample->data = nullptr;
  FreeAudioDescriptor(sample);
  return ERR_NONE;
}
void soundFreeSampleData(void* data) { FreeMemory(data); }
int32_t soundInstallAudioAdapter(PluginBase* base, uint32_t flags, const QmTagItem* tags) {
  return InstallAudioAdapter(base, flags, tags);
}
const HostSoundTable SOUND = {H(soundCreateSampleData), H(soundFreeSampleData),
                              H(soundInstallAudioAdapter)};
const HostRequesterTable REQUESTERS = {reqMessage, reqFile, reqDirectory, InstallRequesterAdapter};
int32_t fontEnumerate(const char* directory, int32_t noDuplicates) {
  return ScanFontDirectory(directory, noDuplicates);
}
const HostFontTable FONTS = {H(fontEnumerate)};

HostFreeTypeTable makeFreeType() {
  HostFreeTypeTable t{};
  static_assert(std::size(HostFreeTypeTable{}.slot) == FREETYPE_EXPORTS);
  GetFreeTypeExports(t.slot);
  return t;
}
const HostFreeTypeTable FREETYPE = makeFreeType();

const VmApiTable VMAPI = {
    VmGetTop,
    VmSetTop,
    VmPushValue,
    VmRemove,
    VmInsert,
    VmReplace,
    VmIsBuiltinFunction,
    VmIsNumber,
    VmIsString,
    VmIsUserdata,
    VmType,
    VmEqual,
    VmRawEqual,
    vmLessThan,
    VmToNumber,
    VmToString,
    VmStrLen,
    VmToBuiltinFunction,
    VmToUserdata,
    VmToPointer,
    VmPushNil,
    VmPushNumber,
    VmPushLString,
    vmPushString,
    VmPushLightUserdata,
    VmPushCClosure,
    VmGetTable,
    VmRawGet,
    VmRawGetI,
    VmNewTable,
    VmGetFunctionGlobals,
    VmSetTable,
    VmRawSet,
    VmRawSetI,
    VmSetFunctionGlobals,
    vmPCall,
    VmNext,
    VmConcat,
    VmPushUpvalues,
    VmGetUpvalue,
    VmSetUpvalue,
    vmNewUserdata,
    VmSetMetatable,
    VmGetMetatable,
    vmRaise,
    VmCheckString,
    VmOptString,
    VmCheckNumber,
    VmOptNumber,
    VmCheckInteger,
    VmOptInteger,
    VmCheckTable,
    VmCheckFunction,
    VmCheckType,
    vmCreateReference,
    vmReleaseReference,
    vmObjectIdArgument,
    VmNewNamedMetatable,
    VmGetNamedMetatable,
    VmTestTypedUserdata,
    vmBufferInit,
    vmBufferPrepare,
    vmBufferAddBytes,
    vmBufferAddString,
    vmBufferAddValue,
    vmBufferPushResult,
    VmFindStringInList,
    vmCheckStack,
    vmFileNameArgument,
    vmOptIntegerAbsent,
    VmPushBoolean,
    VmToBoolean,
    VmNewTableSized,
    VmTypeName,
    vmCall,
    VmGetGcThreshold,
    VmGetGcCount,
    VmSetGcThreshold,
};

HostFontBlobTable makeFontBlobs() {
  const void* data[3];
  size_t sizes[3];
  GetBuiltinFontBlobs(data, sizes);
  return HostFontBlobTable{data[0], data[1], data[2], sizes[0], sizes[1], sizes[2]};
}
const HostFontBlobTable FONT_BLOBS = makeFontBlobs();

const HostZlibTable ZLIB = {{H(inflateInit_), H(inflate), H(inflateEnd), H(deflateInit_),
                             H(deflate), H(deflateEnd), H(deflateReset), H(deflateParams),
                             H(inflateReset), H(inflateSync), H(inflateInit2_), H(deflateInit2_),
                             H(crc32)}};

const HostJpegTable JPEG = {{
    H(jpeg_CreateDecompress), H(jpeg_finish_decompress),      H(jpeg_destroy_decompress),
    H(jpeg_read_header),      H(jpeg_start_decompress),       H(jpeg_read_scanlines),
    H(jpeg_std_error),        H(jpeg_resync_to_restart),      H(jpeg_stdio_src),
    H(jpeg_abort_decompress), H(jpeg_calc_output_dimensions), H(jpeg_CreateCompress),
    H(jpeg_finish_compress),  H(jpeg_destroy_compress),       H(jpeg_start_compress),
    H(jpeg_suppress_tables),  H(jpeg_save_markers),           H(jpeg_set_defaults),
    H(jpeg_set_quality),      H(jpeg_write_scanlines),        H(jpeg_stdio_dest),
    H(jpeg_set_colorspace),   H(jpeg_write_marker),           H(jpeg_mem_src),
    H(jpeg_mem_dest),
}};

const HostPluginTable PLUGINS = {GetLoadedPluginArray, FreeLoadedPluginArray, SetPluginDisabled,
                                 SetPluginUserData, GetPluginUserData};

const HostEncodingTable ENCODING = {encBase64Encode, encBase64Decode, encCrc32, MD5HexDigest};

const HostUnicodeTable UNICODE = {
    uniValidateString, uniCompareNoCase, uniCompareNoCaseN, UnicodeToLower, UnicodeToUpper,
    uniIsAlnum,        uniIsCntrl,       uniIsDigit,        uniIsGraph,     uniIsLower,
    uniIsPrint,        uniIsPunct,       uniIsSpace,        uniIsXDigit,    uniIsUpper,
    uniIsAlpha,        uniValidate,      Utf8ByteOffset,    Utf8CountChars, Utf8DecodeChar,
    Utf8EncodeChar,
};

const HostLocaleTable LOCALE = {GetSystemLanguageId, GetSystemCountryId, locTimeZone};

const PluginHostApi HOST_API = {
    QM_HOST_VERSION,
    QM_HOST_REVISION,
    &CRUNTIME,
    &SYSTEM,
    &FILES,
    &GRAPHICS,
    &SOUND,
    &REQUESTERS,
    &FONTS,
    &FREETYPE,
    &VMAPI,
    &FONT_BLOBS,
    &ZLIB,
    &JPEG,
    &PLUGINS,
    &ENCODING,
    &UNICODE,
    &LOCALE,
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const PluginHostApi* GetPluginHostApi() { return &HOST_API; }

void InstallPluginHost() {
  SetPluginHostApi(&HOST_API);
  InstallInbuiltPictureLoaders();
}
