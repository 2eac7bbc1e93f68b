// Services of the platform layer that the other folders call: memory,
// time, mutexes, bounded strings, paths and the Unicode layer, files and
// directories, timers, the X11 connection and windows, the slots that
// higher libraries fill, requesters, locale and the entry glue. Each concern keeps its own section; what only platform/linux
// calls is declared in platform/linux/*_private.h.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>

#include <pthread.h>
#include <sys/select.h>

#include "platform/linux/errors.h"

// ---- Memory, time, mutexes and condition objects --------------------------------

// Heap blocks. A size of 0 gives null without allocating; null otherwise means
// memory is exhausted and the caller reports ERR_MEM (1000). The clear flag
// zero-fills the block.
void* AllocMemory(size_t size, int clear);
// count * elemSize with an overflow check: a product that does not fit in
// size_t gives null (ERR_MEM for the caller), never a smaller block.
void* AllocMemoryArray(size_t count, size_t elemSize, int clear);
void FreeMemory(void* block);  // null is ignored
// Asks for huge pages for a block not yet filled, as AllocMemory does for
// its own large blocks (small blocks, and systems without them, are left
// as they are). AssignLarge sets a standard vector to n zero elements in
// such a block: its first fill then faults once per 2 MiB.
void AdviseHugePages(void* block, size_t size);
template <typename Vector>
void AssignLarge(Vector* v, size_t n) {
  v->clear();
  v->reserve(n);
  AdviseHugePages(v->data(), n * sizeof(*v->data()));
  v->assign(n, {});
}
// The owner of a block from AllocMemory that command code holds: it is
// freed with FreeMemory when the owner goes, on a returned error and on a
// raise alike; release() hands the block over once something else keeps
// it. OwnedMemory<T> is typed for the block's contents.
struct MemoryFreer {
  void operator()(void* block) const { FreeMemory(block); }
};
template <typename T = void>
using OwnedMemory = std::unique_ptr<T, MemoryFreer>;

// Wall-clock time as two unsigned 32-bit words; normalised values keep
// micros in 0..999,999. The plug-in host API passes this record as it is.
struct TimeValue {
  uint32_t seconds;
  uint32_t micros;
};

// Broken-down local date: day 1..31, month 0..11 (January = 0), full year.
struct DateFields {
  int32_t seconds;
  int32_t minutes;
  int32_t hours;
  int32_t day;
  int32_t month;
  int32_t year;
};

void GetSysTime(TimeValue* out);
// The same wall clock in seconds, for time-out records.
double GetTimeSeconds();
void SubTime(TimeValue* a, const TimeValue* b);       // a -= b, borrowing a second
void AddTime(TimeValue* a, const TimeValue* b);       // a += b, carrying a second
int CmpTime(const TimeValue* a, const TimeValue* b);  // -1, 0 or 1
// Sleeps the given milliseconds (nothing for 0 or less), resuming after
// signals until the whole time has passed.
void Delay(int32_t milliseconds);
// Local date to seconds since 1970, stored at times[index]; 1 on success,
// 0 when the C library cannot convert it. Seconds are 64-bit so dates past
// 2038 convert too.
int DateToTime(const DateFields* date, int64_t* times, int index);
// Local broken-down time of times[index]; returns 0 on success, -1 when the
// value is outside what the C library can convert (the fields are then 0).
int TimeToDate(const int64_t* times, DateFields* date, int index);
// Minutes west of UTC now (UTC+1 gives -60); *daylight is 1 while daylight
// saving is in effect, else 0. daylight may be null.
int GetTimeZoneMinutes(int* daylight);
// Current date or time as text: 0 locale date, 1 local "MM-DD-YYYY" and
// "HH:MM:SS" (into the second buffer), 2 local "HH:MM:SS", 3 locale weekday
// name, 4 as 1 in UTC. Other kinds write nothing. Output is always
// terminated within the given sizes; a null or zero-size buffer is skipped.
void FormatDateTime(int kind, char* text, size_t size, char* text2, size_t size2);

// Recursive mutexes. A PlatformMutex may be a heap block (AllocMutex) or live
// inside another record (InitRecursiveMutex / DestroyMutex). Lock and unlock
// take valid handles only.
struct PlatformMutex {
  pthread_mutex_t mutex;
};
PlatformMutex* AllocMutex();           // null when memory is exhausted
void FreeMutex(PlatformMutex* mutex);  // null is ignored
int LockMutex(PlatformMutex* mutex);
int UnlockMutex(PlatformMutex* mutex);

// The debug device of DEBUGDEVICE: "stdout" or "" standard output, "stderr"
// standard error, any other name a file opened for appending (ERR_WRITEFILE
// with the name when it cannot be opened). Debug output, the call trace and
// the end-of-run error report go there; standard output until one is set.
ErrorCode OpenDebugDevice(const char* name);
void CloseDebugDevice();
FILE* GetDebugDevice();
// Formatted debug output on the debug device. In 8-bit text mode the
// message is converted from Latin-1 to UTF-8 first.
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugVPrintf(const char* format, va_list args);

// ---- Strings, paths and the Unicode/UTF-8 character layer ----

// Bounded strings: never write beyond size bytes, always terminate when size
// is at least 1; 1 when the whole of src fitted, 0 when it was cut.
int StrCopyBounded(char* dst, size_t size, const char* src);
int StrAppendBounded(char* dst, size_t size, const char* src);

// The position at which to write a terminator to cut the file name off a
// path: "dir/file" leaves "dir", "Volume:file" leaves "Volume:".
char* FindFilePart(char* path);
const char* FindFilePart(const char* path);
// Appends name to path, with a '/' between them unless path is empty or
// ends in '/' or '\\', never writing beyond size bytes (name may be cut);
// 0 without a change when path leaves no room for the separator.
int AddPart(char* path, const char* name, size_t size);

// Every text routine works in the run's text mode: UTF-8 mode (strings are
// UTF-8, characters are code points) or 8-bit mode (strings are Latin-1
// bytes). Routines marked "mode" read the flag; the others do not.

// Text mode of the whole run: non-zero = UTF-8 mode. Set at start-up.
extern int32_t unicodeUtf8Mode;

// Encodings named by ConvertStringEncoding.
constexpr int32_t TEXT_ENCODING_LATIN1 = 0;
constexpr int32_t TEXT_ENCODING_UTF8 = 1;
// Room a buffer of Utf8EncodeChar or CharToStringMode needs (4 bytes and
// the terminator).
constexpr size_t UTF8_CHAR_BUFFER = 5;

// Code-point level.
// Writes 1 to 4 bytes and a terminator; returns the byte count. A value
// of 0x110000 or more writes only the terminator and returns 0.
size_t Utf8EncodeChar(char* buffer, uint32_t c);
// Decodes the character at text[*pos] without validation: the lead byte and
// the continuation bytes after it (at most five), and advances *pos.
uint32_t Utf8DecodeChar(const char* text, size_t* pos);
// Length of the character at p (0 when p == end) and its value in *code. A
// malformed or cut sequence counts as one byte whose value is the lead byte.
size_t Utf8DecodeNext(const char* p, const char* end, uint32_t* code);
// Characters in valid UTF-8 (RFC 3629: no overlong forms, surrogates or
// values above 0x10FFFF); invalid bytes give 0 with *error = 1, else
// *error = 0. error may be null.
size_t Utf8Validate(const char* text, size_t length, int* error);
size_t Utf8ValidateString(const char* text, int* error);  // terminated text
int Utf8CheckBytes(const char* text, size_t length);      // 1 valid, 0 not
// Byte offset of character n (a character is a lead byte and up to three
// continuation bytes); n below 1 gives 0, an n past the end gives the
// length. The first form stops at the terminator, the second after length
// bytes (zero bytes inside count as characters).
size_t Utf8ByteOffset(const char* text, int64_t n);
// Characters in the given bytes, counted as Utf8ByteOffset walks them.
size_t Utf8CountChars(const char* text, size_t bytes);
size_t Utf8CharCount(const char* start, const char* end);
// Behind the character at p (by Utf8DecodeNext); end when p == end.
const char* Utf8NextChar(const char* p, const char* end);
// How a walk over a text steps from one character to the next: as
// Utf8DecodeNext does (a malformed or cut sequence is one byte), or as
// Utf8ByteOffset counts (a lead byte and up to three continuation bytes).
// Both give the same characters on valid UTF-8.
enum class Utf8Step { DECODE, LEAD };
// A character boundary of a text and the number of characters before it.
struct Utf8Place {
  size_t byte;
  size_t chars;
};
// Walks text[0..length) forward from the boundary *at while fewer than
// maxChars characters lie behind it and it is below stop (stop <= length):
// so *at ends as character maxChars's place, or as the first boundary at or
// past stop with at->chars counting the characters that start before stop,
// or at the end. Runs of ASCII are stepped eight bytes at a time.
void Utf8Walk(const char* text, size_t length, Utf8Step step, Utf8Place* at, size_t maxChars,
              size_t stop);
// Start of the character before p, never before start.
const char* Utf8PrevChar(const char* start, const char* p);

bool UnicodeIsAlpha(uint32_t c);
bool UnicodeIsLower(uint32_t c);
bool UnicodeIsUpper(uint32_t c);
bool UnicodeIsCntrl(uint32_t c);
bool UnicodeIsDigit(uint32_t c);
bool UnicodeIsXDigit(uint32_t c);
bool UnicodeIsPunct(uint32_t c);  // punctuation, currency, modifier and math symbols
bool UnicodeIsSpace(uint32_t c);
bool UnicodeIsGraph(uint32_t c);
bool UnicodeIsPrint(uint32_t c);
bool UnicodeIsAlnum(uint32_t c);
uint32_t UnicodeToLower(uint32_t c);
uint32_t UnicodeToUpper(uint32_t c);
uint32_t UnicodeFoldCase(uint32_t c);

// Mode: code points in UTF-8 mode; in 8-bit mode the byte through the
// Latin-1 tables (values above 0xFF are no class and map to themselves).
uint32_t CharToLower(uint32_t c);
uint32_t CharToUpper(uint32_t c);
bool CharIsGraph(uint32_t c);
bool CharIsPrint(uint32_t c);
bool CharIsAlpha(uint32_t c);
bool CharIsAlnum(uint32_t c);
bool CharIsLower(uint32_t c);
bool CharIsUpper(uint32_t c);
bool CharIsDigit(uint32_t c);
bool CharIsSpace(uint32_t c);
bool CharIsPunct(uint32_t c);
bool CharIsCntrl(uint32_t c);
bool CharIsXDigit(uint32_t c);
// Mode: case mapping in place. In UTF-8 mode a character whose mapped
// form has an encoding of another length is left as it is.
void StrToUpper(char* text);
void StrToLower(char* text);
// Mode: 0 when equal without regard to case. 8-bit mode: the difference of
// the upper-cased bytes at the first mismatch. UTF-8 mode: -1 or 1 by
// case-folded code points; a string that ends first is smaller.
int CompareNoCase(const char* a, const char* b);
int CompareNoCaseN(const char* a, const char* b, size_t n);  // first n bytes
// Mode: 8-bit mode: byte order (case-sensitive) or CompareNoCase; UTF-8
// mode: CollateCompare. Negative, 0 or positive.
int CompareStringMode(const char* a, const char* b, int caseSensitive);

// Latin-1 <-> UTF-8. Dup results come from AllocMemory (free them with
// FreeMemory); null for a null text or when memory runs out.
size_t Latin1ToUtf8Length(const char* text);  // bytes of the UTF-8 form
// Converts as much as fits in dstSize bytes (never half a character) and
// terminates when dstSize >= 1; returns the bytes written.
size_t Latin1ToUtf8(const char* src, char* dst, size_t dstSize);
char* Latin1ToUtf8Dup(const char* text);
// Converts srcLength bytes into dst, which holds srcLength + 1 bytes; a
// character outside Latin-1 or a malformed sequence becomes one '?'.
// When tracked is given it holds a source offset on entry and the matching
// destination offset on return. Returns the destination length.
size_t Utf8ToLatin1(const char* src, char* dst, size_t srcLength, size_t* tracked);
// Terminated src into dst of dstSize bytes, cut at a character boundary.
size_t Utf8ToLatin1Copy(const char* src, char* dst, size_t dstSize);
char* Utf8ToLatin1Dup(const char* text);
// Latin-1 to UTF-8 or UTF-8 to Latin-1 as a new string; any other pair of
// encodings gives null.
char* ConvertStringEncoding(const char* text, int32_t from, int32_t to);
// Shut-down's release of the collation tables: they are constant data in
// the program, so nothing is left to free.
void FreeCollationTables();

// ---- What the engine and the runtime serve the platform ----
// The engine keeps the error argument and the built-in texts; the runtime
// parses linked-file names and reads files through its streams (file
// adapters included). Each installs its table when it loads. Before that,
// or with a null member, an error argument is dropped, a built-in text is
// null, a linked-file name does not parse and no catalog file opens.
struct PlatformEngineHooks {
  void (*setErrorArgString)(const char* text);
  void (*setErrorArgNumber)(int32_t value);
  const char* (*builtinString)(int32_t number);
};
void SetPlatformEngineHooks(const PlatformEngineHooks* hooks);
struct StreamHandle;
struct VirtualFile;
struct PlatformRuntimeHooks {
  // The runtime's ParseChunkName: the parts of a ":::chunk" name.
  int (*parseChunkName)(const char* name, uint64_t* offset, uint64_t* size, char* nameBuffer,
                        size_t nameSize, char* extra, size_t extraSize, char* extension,
                        size_t extensionSize, VirtualFile** file);
  // A catalog file opened for reading, or null; its whole contents with
  // spare zeroed bytes behind them (a block from AllocMemory); its close.
  StreamHandle* (*openCatalogFile)(const char* path);
  ErrorCode (*loadCatalogFile)(StreamHandle* stream, uint8_t** data, size_t* size, size_t spare);
  void (*closeCatalogFile)(StreamHandle* stream);
};
void SetPlatformRuntimeHooks(const PlatformRuntimeHooks* hooks);
// The argument ("%s" or "%d") of the error code a platform call returns,
// and a built-in text, through the engine's table.
void SetPlatformErrorArgString(const char* text);
void SetPlatformErrorArgNumber(int32_t value);
const char* GetPlatformBuiltinString(int32_t number);

// ---- Joysticks ----------------------------------------------------------------------
// Linux joystick devices, found once, read without blocking by the event pump
// and asked for a direction and buttons. Game ports count from 0 in the order
// the devices were found. Used by the main thread only.

// Reads every pending event of every device without blocking.
void PollJoysticks();
// Directions, the script's JOY constants.
enum : int32_t {
  JOYUP = 0,
  JOYUPRIGHT = 1,
  JOYRIGHT = 2,
  JOYDOWNRIGHT = 3,
  JOYDOWN = 4,
  JOYDOWNLEFT = 5,
  JOYLEFT = 6,
  JOYUPLEFT = 7,
  JOYNODIR = 8,
};

// Opens the devices on the first call (later calls only count them); 0 or
// ERR_MEM. count may be null.
ErrorCode ScanJoysticks(int32_t* count);
// Direction and button bits (bit n = button n) of the device at a port;
// ERR_NOJOYATPORT when there is none. Scans first when needed. Either out
// pointer may be null.
ErrorCode GetJoystickDevice(int32_t port, int32_t* direction, uint32_t* buttons);

// ---- Native-service stubs and platform hooks ----
// Services that other platforms provide natively (OS decoders, directory
// notification, driver and start-up hooks). The portable code calls them
// unconditionally; here they do nothing and return fixed results, which the
// callers take as a missing service and fall back to their own code.

void NativeDisplayCleanupHook();

// The call bridge: called instead of a plug-in function when the plug-in's
// kind word is 2; yields 0.
intptr_t NullAdapterHook();

// Start-up, threads, directories, sockets.
ErrorCode PlatformArgumentsHook(void* runContext);                  // 0
ErrorCode NativeStartupHook(void* runContext, void* playerRecord);  // 0
// 1 once a termination signal (SIGINT, SIGTERM, SIGHUP) asked the run to
// end; the event poll then ends it as a quit request does.
int NativeQuitRequested();
void NativeCleanupHook();

// OS image decoder.
ErrorCode NativeLoadImageStub(const char* name, void** outImage);  // ERR_LOADPICTURE2
void* NativeImagePixelsStub(void* image);                          // null
void NativeImageReleaseStub(void* image);

// OS anim reader: recognises nothing.
void* NativeAnimOpenStub(const char* name);                          // null
int NativeAnimFrameStub(void* anim, int32_t frame, void* outFrame);  // 0
int32_t NativeAnimFrameDelayStub(void* anim, int32_t frame);         // 0
void NativeAnimCloseStub(void* anim);

// ---- Files, directories and programs ----
// The file-system and process services behind the stream layer and the dos
// library. Script paths are Latin-1 in 8-bit text mode and UTF-8 otherwise;
// the file system is always addressed in UTF-8, so names are converted on
// the way in and out (see unicodeUtf8Mode above).

constexpr size_t NATIVE_PATH_MAX = 4096;  // PATH_MAX of Linux
constexpr size_t FILEINFO_NAME_SIZE = 256;

// Protection flags of FileInfo, from the POSIX mode bits.
enum : uint32_t {
  FILEATTR_READ_USR = 1,
  FILEATTR_WRITE_USR = 2,
  FILEATTR_EXECUTE_USR = 8,
  FILEATTR_READ_GRP = 512,
  FILEATTR_WRITE_GRP = 1024,
  FILEATTR_EXECUTE_GRP = 2048,
  FILEATTR_READ_OTH = 4096,
  FILEATTR_WRITE_OTH = 8192,
  FILEATTR_EXECUTE_OTH = 16384,
  FILEATTR_NORMAL = 65536,  // SetFileProtection only: mode 0644
};

// File information, filled by the stream layer's and the platform's examine
// operations. times: last access, last modification, last status change,
// seconds since 1970. adapterWords: passed through from a file adapter.
struct FileInfo {
  int32_t isDirectory;
  int64_t size;
  uint32_t protection;
  char name[FILEINFO_NAME_SIZE];
  uint32_t times[3];
  uintptr_t adapterWords[3];
  const char* path;  // the examined file's path, owned by the handle or lock
};

// Paths. GetNativePath copies ":::chunk" names unchanged; other names are
// converted to UTF-8 in 8-bit mode when convert is set, and every backslash
// becomes a slash. Null when the result does not fit or memory runs out.
char* GetNativePath(const char* name, char* buffer, size_t size, int convert);
FILE* FOpenNative(const char* path, const char* mode, int native);

// Native file handles: an ordinary file, or a range of one (a ":::chunk"
// name of a real file), through the C library's 64-bit streams. Reads and
// seeks never leave a range.
struct NativeFileHandle;
NativeFileHandle* OpenProgdirFile(const char* name, uint32_t flags);  // null on failure
size_t StdioRead(NativeFileHandle* handle, void* buffer, size_t length);
int StdioGetChar(NativeFileHandle* handle);  // the byte or -1
size_t StdioWrite(NativeFileHandle* handle, const void* buffer, size_t length);
int StdioPutChar(NativeFileHandle* handle, int byte);  // 1, or 0 on failure
// Modes 0 current, 1 beginning, 2 end; another mode takes the offset as an
// absolute offset in the underlying file. Returns the position before the
// seek, or -1 (position unchanged) for a target before the data's start or
// a failed seek.
int64_t StdioSeek(NativeFileHandle* handle, int64_t offset, int mode);
int StdioFlush(NativeFileHandle* handle);  // 1, 0 when the flush failed
int StdioEof(NativeFileHandle* handle);    // 1 at or past the end
int64_t GetNativeStreamSize(NativeFileHandle* handle);
int StdioClose(NativeFileHandle* handle);  // frees the handle; 0 when fclose failed
int ExamineStreamNative(NativeFileHandle* handle, FileInfo* info);  // 1, 0 when fstat fails

// Read locks on files and directories, and directory listings.
struct NativeLock;
NativeLock* LockPathNative(const char* name, int mode);  // mode 1 only
// The next entry other than "." and ".."; 1 for an entry, 0 at the end. The
// name stays valid until the next call. info may be null.
int NextDirEntryNative(NativeLock* lock, int32_t ignored, const char** name, int32_t* isDirectory,
                       FileInfo* info);
int RewindDirNative(NativeLock* lock);                    // 1
void CloseDirNative(NativeLock* lock);                    // null is ignored
int ExamineLockNative(NativeLock* lock, FileInfo* info);  // 0, or -1 when stat fails
// ERR_NOTADIR (path as error argument) for a file lock; else *cont = 1, 0.
ErrorCode ExamineLockCheck(NativeLock* lock, int32_t* cont);
int CopyLockPath(NativeLock* lock, char* buffer, size_t size);  // 1; 0 when cut
void FileOperationDoneHook();

// File operations on script paths.
int DeleteFileNative(const char* path);                            // 1 / 0
int RenameFileNative(const char* oldPath, const char* newPath);    // 1 / 0
ErrorCode MakeDirectoryNative(const char* path);                   // 0 / ERR_CREATEDIR
int SetFileProtection(const char* path, uint32_t flags);           // 1 / 0
int ResolveFullPath(const char* path, char* buffer, size_t size);  // 1 / 0
// Makes path current and returns the previous directory (a new string;
// Latin-1 in 8-bit mode). Null when memory runs out (*error = ERR_MEM) or
// the directory cannot be entered (*error = ERR_DIRLOCK, the path as error
// argument; the current directory is unchanged).
char* ChangeDirectoryNative(const char* path, ErrorCode* error);
// Creates an empty file "quillmere.XXXXXX" in the temporary directory and
// writes its name into buffer: 1. 0 when it cannot be created or the name
// does not fit (the buffer then holds the empty text). The name belongs to
// the run, whose shut-down deletes it (a second termination signal deletes
// it at once).
int CreateTempFile(char* buffer, size_t size);
void SetTempDirectory(const char* path);          // null or "" restores "/tmp"
int ReadRandomBytes(void* buffer, size_t count);  // 1 when all were read
// Copies the path, converted to Latin-1 in 8-bit mode unless raw; 0 when
// it does not fit or is unknown (the buffer then holds the empty text).
int GetProgramPath(char* buffer, size_t size, int raw);

// Services of the dos library's file management and programs.
int IsVolumeRoot(const char* path);
// 0; ERR_MOVEFILE when a stat or the rename fails; ERR_WRONGUSAGE when the
// two lie on different devices (the caller copies instead).
ErrorCode MoveFileNative(const char* source, const char* destination);
int SetFileDate(const char* path, const uint32_t times[2]);  // access, modification; 1 / 0
// Environment and random bytes.
char* GetEnvCopy(const char* name);                           // new copy or null
ErrorCode SetEnvNative(const char* name, const char* value);  // 0 / ERR_SETENV
ErrorCode UnsetEnvNative(const char* name);                   // 0 / ERR_UNSETENV
// Programs. A path that names an executable regular file (itself, or found
// on PATH when it has no slash) runs as a program; any other path whose
// file part has an extension other than ".exe" is a document and is opened
// with "xdg-open". Synchronous runs go through the
// shell (every path quoted) in a process group of their own and wait;
// asynchronous runs fork and exec the split argument vector. *childId
// receives the process id when given. A termination request ends a
// synchronous wait: the program's group gets the same signal (what is left
// of it after a quarter of a second is killed) and ERR_USERABORT is
// returned.
ErrorCode RunProgram(const char* path, const char* arguments, int asynchronous, int32_t ignored,
                     int32_t* childId);
// The synchronous run of a script (Execute): as RunProgram, and while it
// waits the event poll runs (SleepWithEvents); whatever ends the run ends
// the program's group the same way.
struct VmState;
ErrorCode ExecuteProgram(VmState* L, const char* path, const char* arguments);
ErrorCode StartProgram(const char* path, const char* arguments, int asynchronous);
// The dos library's record of a program started in the background. The
// watcher thread creates the mutex and condition and frees them when it
// ends; the owner ends it with StopAndJoinThread(request).
struct ConditionObject;
struct ThreadRecord;
struct ProgramRequest {
  uintptr_t userWord;
  ThreadRecord* thread;  // the watcher's thread record
  PlatformMutex* mutex;
  ConditionObject* condition;
  char* path;
  char* arguments;
};
ErrorCode StartProgramThread(ProgramRequest* request);  // 0 / ERR_THREAD
// holder's second word is a ThreadRecord*: stop request, then the join that
// releases the thread and frees its record.
void StopAndJoinThread(void* holder);
// Called on the watcher thread once when the program ended normally (not
// by a signal). Null restores the default, which posts the cross-thread
// "program finished" event.
using ProgramFinishedHandler = void (*)(ProgramRequest* request);
void SetProgramFinishedHandler(ProgramFinishedHandler handler);
// Symbolic links: tree walks copy and delete a link as a link and never
// enter it. IsSymbolicLinkNative: 1 for a link (not followed), else 0.
// CopySymbolicLinkNative makes destination a link with source's target: 1
// on success.
int IsSymbolicLinkNative(const char* path);
int CopySymbolicLinkNative(const char* source, const char* destination);
// What is at a path, a final link not followed: 0 nothing (or a name that
// cannot be converted), 1 a symbolic link, 2 anything else.
int PathKindNative(const char* path);
// 1 when both paths lead to one file (links followed), else 0.
int IsSameFileNative(const char* a, const char* b);
// What is at a path, a final link not followed: 0 nothing (or a name that
// cannot be converted), 1 a symbolic link, 2 a regular file with its kind,
// size, protection and times in info as an examined lock of it gives them,
// 3 anything else (info left as it was).
int ExaminePathNative(const char* path, FileInfo* info);
// Copies the bytes of a regular file of the file system into target
// (created, or truncated when it is there), in the kernel where it can,
// and gives the copy keep's times and protection when keep is given. 0
// when it does not handle the names (linked data, "PROGDIR:" names, names
// the streams do not open, a source that is not a regular file): the
// caller copies through streams. Else 1 with *error 0, ERR_READFILE (the
// source did not open), ERR_WRITEFILE (the target did not open), ERR_READ
// (the source ended early, grew or failed), ERR_WRITE or ERR_MEM; after
// these last three the target is deleted.
int CopyRegularFileNative(const char* source, const char* target, const FileInfo* keep,
                          ErrorCode* error);

// ---- Threads and timers ----
// Worker threads with a start hand-shake, a polled stop request and a join
// with release; POSIX timers whose signals are taken by one signal thread
// (SIGRTMIN and SIGRTMIN + 1 stay blocked everywhere else) and reach the
// main thread through the wake pipe; the shared 20 ms poll timer and the
// pipe reader that serves a display-adapter plug-in's event loop.

struct VmState;

struct ThreadRecord;  // owned by the starter until JoinThread frees it
using ThreadEntry = void* (*)(void* argument);

// A thread with default attributes for priority 0, else round-robin at
// min(priority, the system's maximum); when those attributes are refused
// (setting them, or the creation with them) the thread is started again
// with default attributes. The timer signals stay blocked in the new
// thread. 0 when no thread could be made.
pthread_t CreateThread(ThreadEntry entry, void* argument, int32_t priority);

// Starts entry with the new record as its argument and waits until the
// thread reports its set-up: the record, or null when the thread could not
// be made or reported a failure (that thread has then been joined). Name
// and stack size are not used on this platform.
ThreadRecord* StartNamedThread(const char* name, ThreadEntry entry, void* argument,
                               uintptr_t reserved, size_t stackSize, int32_t priority);
void RequestThreadStop(ThreadRecord* thread);
// Releases the thread, joins it and frees the record.
void JoinThread(ThreadRecord* thread);
// The thread's side.
ThreadRecord* ThreadRecordFromArg(void* argument);
void* GetThreadArgument(ThreadRecord* thread);
void SignalThreadStarted(ThreadRecord* thread);
// A non-zero code before SignalThreadStarted reports a failed set-up; the
// thread then returns without waiting for its release.
void SetThreadExitCode(ThreadRecord* thread, int32_t code);
int32_t GetThreadExitCode(ThreadRecord* thread);
int ThreadStopRequested(ThreadRecord* thread);
void WaitThreadRelease(ThreadRecord* thread);

// Timer operations of TimerControl.
enum : int32_t {
  TIMER_ADD_PERIODIC = 0,
  TIMER_ADD_ONESHOT = 1,
  TIMER_REMOVE_PERIODIC = 2,
  TIMER_REMOVE_ONESHOT = 3,
  TIMER_CHANGE_PERIOD = 4,
};
// Kinds that TakeTimerEvent reports.
enum : int32_t {
  TIMER_EVENT_INTERVAL = 0,  // a periodic timer fired (it stays)
  TIMER_EVENT_TIMEOUT = 1,   // a one-shot timer fired (it is gone)
  TIMER_EVENT_NONE = 9,
};

struct TimerRecord;

// Blocks the timer signals in the calling thread, installs their handlers,
// creates the timer lock and starts the signal thread: 0, ERR_SIGNAL or
// ERR_SEMAPHORE. A second call does nothing.
ErrorCode InstallTimerSignal();
// 0; ERR_MEM or ERR_TIMER for the adds; ERR_TIMER when a new period cannot
// be set (the old one keeps running). Operations above 4 do nothing.
ErrorCode TimerControl(int32_t operation, uintptr_t key1, uintptr_t key2, int32_t milliseconds);
// One step of the dispatch walk: start with null, pass each result back in
// until null comes. *kind is TIMER_EVENT_NONE unless the record fired. A
// record that went away since the last step restarts the walk at the head.
TimerRecord* TakeTimerEvent(TimerRecord* record, int32_t* kind, uintptr_t keys[2]);
// A timer adapter plug-in's hooks (null: POSIX timers): register answers
// the adapter's handle of a timer that reports its fires through
// ReportAdapterTimerFire with host, or 0 when it refuses; free stops one.
// Timers added while an adapter is installed stay the adapter's.
using TimerAdapterRegister = uintptr_t (*)(int32_t milliseconds, int32_t periodic, void* host);
using TimerAdapterFree = void (*)(uintptr_t timer);
void SetTimerAdapterHooks(TimerAdapterRegister registerTimer, TimerAdapterFree freeTimer);
// A fire of an adapter's timer; timers no longer listed are ignored. Any
// thread may call it.
void ReportAdapterTimerFire(void* timer);
// The shared 20 ms poll timer: clients 0 (audio) and 1 (event handlers).
ErrorCode AcquirePollTimer(VmState* L, int32_t client);
void ReleasePollTimer(VmState* L, int32_t client);

// ---- X11 connection, event wait and wake-up ----
// Process-wide X11 set-up, one connection record per server name, the wake
// pipe that lets any thread end the main thread's wait, the wait itself and
// the orderly close. Xlib types stay inside the folder (x11_private.h).

struct X11ConnectionRecord;
struct X11DisplayRecord;

// Locale, desktop libraries, timer signals and the desktop scale factor: 0,
// ERR_SIGNAL or ERR_SEMAPHORE. Without an X server the result is still 0.
ErrorCode OpenX11Connection();
// The record of a server name (null or "" = the default display), opened on
// first use: 0, ERR_MEM, ERR_XDISPLAY, ERR_PIXELFORMAT (the visual matches
// no pixel format, or another server fixed a different one) or ERR_THREAD.
ErrorCode GetX11Connection(const char* serverName, X11ConnectionRecord** out);
// The pixel format of the server's default visual (10, 11, 12 or 4), or 10
// when no connection can be made; it becomes the format of new software
// bitmaps and the one that every later connection must match.
int32_t QueryNativePixelFormat(const char* serverName);
ErrorCode AllocX11DisplayRecord(X11DisplayRecord** out);  // 0 or ERR_MEM
void FreeX11DisplayRecord(X11DisplayRecord* record);      // null is ignored

// Makes the process's wake pipe on the first call (both ends non-blocking)
// and hands out the same ends afterwards; 1, or 0 when no pipe can be made.
// Either pointer may be null.
int CreateWakePipe(int* readEnd, int* writeEnd);
// Blocks until the wake pipe or any connection has input, or returns at once
// when events are pending (the flag, cleared here, or events that Xlib has
// queued already). 0.
ErrorCode WaitForEvents(void* caller, uint32_t flags);
// The NOMOUSEHOOK setting: no pointer-watch threads for new connections.
void SetNoPointerThread(int off);
// The desktop scale factor: Xft.dpi / 96, 1.0 without it.
void GetDpiScaleFactor(double* factor);
// Shut-down: timers, every connection with its threads, the requester
// thread, the desktop libraries.
void CloseX11Connection();

// The gate of gated hooks (the event poll's): set by the poll tick and by
// every wake of the event loop, cleared by the interpreter as it calls the
// hook. One for the process, so that the interpreter tests it with one
// load from a fixed address.
extern std::atomic<uint8_t> vmEventPollGate;

// ---- Services that higher libraries install ----
// The platform's threads, timers, waits, requesters and sockets need a few
// services of the libraries above it (the event poll, a display adapter's
// event loop, the display that parents a requester, the applet's title).
// Those libraries install them here when they open; every slot may be
// empty, and the platform then acts as if the service did not exist.

// One pass of the central event poll; 1 when the script must stop (the
// error, 0 for a quit request, in *error).
using EventPollFunction = int (*)(VmState* L, int32_t flags, int32_t unused, ErrorCode* error);
// The event library's poll (null: none).
void SetEventPoll(EventPollFunction poll);
// Runs the installed poll (for waits and long commands outside the line
// hook); 0 without one.
int RunEventPoll(VmState* L, int32_t flags, int32_t unused, ErrorCode* error);
// Every wait of every library ends the run the same way: between its steps
// it makes one pass of the poll, which learns of a quit request, a quit key,
// a close request on a window without a "closewindow" handler and a
// termination signal, and ends the wait with what this returns: 0 to go on,
// ERR_USERABORT when the run must end, or the poll's error.
ErrorCode PollWhileWaiting(VmState* L);
// The runtime's wait: sleeps the milliseconds while the poll keeps pumping
// window events, and ends early as PollWhileWaiting says (0 once the time
// is up).
ErrorCode SleepWithEvents(VmState* L, int32_t milliseconds);

// The display library's answer to "which window parents a requester": the
// X11 part of the first open display with a window, or null; and the
// release (0) or renewal (1) of that display's grab (null: not handed back).
using RequesterParentFunction = X11DisplayRecord* (*)();
using RequesterGrabFunction = void (*)(int grab);
void SetRequesterParentHooks(RequesterParentFunction parent, RequesterGrabFunction grab);

// A display-adapter plug-in's event loop: whether it drives the loop, and
// its wake-up (null: no adapter). Either may be called from any thread.
using AdapterActiveFunction = int (*)();
using AdapterWakeFunction = ErrorCode (*)();
void SetDisplayAdapterHooks(AdapterActiveFunction active, AdapterWakeFunction wake);
// The display adapter's event wait for WaitPlatformEvent: true when an
// adapter is installed and waited (its result in *error), false to take the
// X11 wait (null: never an adapter).
using AdapterWaitFunction = bool (*)(VmState* L, ErrorCode* error);
void SetDisplayAdapterWait(AdapterWaitFunction wait);
// The bitmap layer's answer to which bitmap flags the display adapter
// supports (AdapterSupportedBitmapFlags; null: none).
using AdapterBitmapFlagsQuery = uint32_t (*)(uint32_t flags);
void SetAdapterBitmapFlagsQuery(AdapterBitmapFlagsQuery query);
// The subset of the requested bitmap flags that the display adapter handles
// (0 without one): 8 video bitmaps, 32 display-bound ones, 64 drawing into
// them, 128 mask and alpha drawing into them, 512 transforms, 1024 alpha
// levels.
uint32_t AdapterSupportedBitmapFlags(uint32_t flags);
// Wakes the main thread's event wait (the adapter's loop when one drives
// it); callable from any thread.
ErrorCode WakeEventLoop();

// The applet's title as start-up knows it (null: none).
using AppletTitleFunction = const char* (*)();
void SetAppletTitleSource(AppletTitleFunction source);

// Starts or stops an interval record of the event library through the timer
// list; the record's address is the timer's key.
ErrorCode AddTimerRecord(VmState* L, void* interval, int32_t milliseconds, int32_t periodic);
void RemoveInterval(VmState* L, void* interval);
// Blocks until the next platform event or wake-up: 0, or an error code.
ErrorCode WaitPlatformEvent(VmState* L, int32_t mode, int32_t reserved, void* unused);

// ---- X11 event pump ----
// The platform reads X events and turns each one into a neutral record for
// the sink that the display library installs; what an event means for a
// display (key states, positions, refreshes, mode switches, resizes,
// stopping the script) is decided there. The platform keeps only
// window-system facts per window (modifier keys, held buttons, the newest
// pointer position, focus) and carries out the border drags of borderless
// windows itself once the display has started one.

struct DisplayRecord;

enum : int32_t {
  X11EV_KEY = 1,    // pressed; modifierCode, or rawCode and translated; typed characters
  X11EV_BUTTON,     // button 1 to 5, pressed, x, y, rootX, rootY
  X11EV_HOVER,      // x, y: the pointer moved while no border drag runs
  X11EV_FOCUS,      // pressed: 1 focus came, 0 focus went
  X11EV_EXPOSE,     // x, y, width, height of the last exposed area; leftHeld
  X11EV_UNMAP,      // the window was unmapped
  X11EV_MAP,        // the window was mapped
  X11EV_CONFIGURE,  // x, y: the window's origin less the frame; width, height
  X11EV_CLOSE,      // the window manager asks to close the window
  X11EV_DRAGEND,    // a border drag ended; moved: it was a move drag
  X11EV_DROP,       // files were dropped at x, y: dropList (the sink takes it)
  X11EV_CLIPBOARD,  // another program took the clipboard
};
constexpr int32_t X11EV_CHARS_MAX = 16;  // typed characters read per key press
struct X11Event {
  int32_t kind;
  DisplayRecord* display;    // whose window it is, as the sink's finder said
  X11DisplayRecord* window;  // that display's X11 part
  int32_t pressed, button;
  int32_t x, y, rootX, rootY, width, height;
  int32_t leftHeld;              // the left button is down, as the pump saw it
  int32_t moved;                 // X11EV_DRAGEND
  int32_t modifierCode;          // a modifier key's raw code, else -1
  int32_t rawCode, translated;   // -1: none
  int32_t altHeld, controlHeld;  // after this event
  int32_t letterC;               // the key is a lower-case c
  int32_t charCount;
  uint32_t chars[X11EV_CHARS_MAX];
  // X11EV_DROP: the names, each ended by a zero byte, the list by a second
  // one (AllocMemory); null when the list could not be made.
  char* dropList;
};
// The display that owns a window of a connection, with its X11 part; null
// when none does (the event is then dropped).
using X11WindowFinder = DisplayRecord* (*)(X11ConnectionRecord* connection, unsigned long window,
                                           X11DisplayRecord** record);
using X11EventSink = void (*)(const X11Event* event);
// Installed by the display library when it opens (null: every event is
// dropped).
void SetX11EventSink(X11WindowFinder find, X11EventSink sink);
// Whether a display takes dropped files now (it has a drop handler);
// installed with the sink (null: no display takes drops).
using X11DropQuery = int (*)(DisplayRecord* display);
void SetX11DropQuery(X11DropQuery query);
// Reads every waiting wake message (timer messages go to the timer list);
// the connection whose pointer watcher reported a move, or null.
X11ConnectionRecord* ReadX11PointerWake();
// Reads the pending X events of every connection, handing each to the sink.
// A pass reads for at most 50 ms and flags the rest for the next pass, so
// events keep their order. Main thread only.
void ReadX11Events();
// Whether the record shows that window of that connection.
int X11RecordShowsWindow(const X11DisplayRecord* record, const X11ConnectionRecord* connection,
                         unsigned long window);
unsigned long GetX11WindowId(const X11DisplayRecord* record);  // 0: closed or none
// A pointer-watch wake of connection moved: when the record is on it and
// focused, notes the watcher's position less the origin as its newest
// pointer position and returns 1.
int NoteX11PointerWake(X11DisplayRecord* record, X11ConnectionRecord* moved, int32_t originX,
                       int32_t originY);
// 1 once when the pointer moved since the last call, with its position.
int TakeX11PointerMoved(X11DisplayRecord* record, int32_t* x, int32_t* y);
// 0x80000000 plus the qualifier bits of the held modifier keys.
uint32_t GetX11KeyQualifiers(const X11DisplayRecord* record);
// The pointer inside the window as the server has it now; 0 when the
// window is closed or the query fails.
int QueryX11Pointer(const X11DisplayRecord* record, int32_t* x, int32_t* y);
// Button 0 left, 1 right, 2 middle, held as the pump saw it.
int X11ButtonHeld(const X11DisplayRecord* record, int32_t index);
// The left button as the pump saw it, and as the server has it now.
int X11LeftButtonDown(const X11DisplayRecord* record);
int IsX11LeftButtonHeld(const X11DisplayRecord* record);
// Border drags of borderless windows: the press's root position and the
// window's position (a move), or the size zone 0 to 7 with the press's
// offsets from the grabbed edges and the window's edges (a size).
void StartX11MoveDrag(X11DisplayRecord* record, int32_t rootX, int32_t rootY, int32_t windowX,
                      int32_t windowY);
void StartX11SizeDrag(X11DisplayRecord* record, int32_t rootX, int32_t rootY, int32_t zone,
                      int32_t offsetX, int32_t offsetY, int32_t left, int32_t top, int32_t right,
                      int32_t bottom);
// The pointer shape over a border region: size zone 0 to 7, X11_BORDER_MOVE,
// or X11_BORDER_NONE (the window's own shape again if a border had changed
// it).
constexpr int32_t X11_BORDER_MOVE = 8;
constexpr int32_t X11_BORDER_NONE = -1;
void ShowX11BorderCursor(X11DisplayRecord* record, int32_t zone);
// Forgets held modifiers and any border drag (a window closed or reset).
void ResetX11InputState(X11DisplayRecord* record);
// The pointer and keyboard grab of a full-screen window: taking it (0 or
// ERR_WINDOW; a refused grab leaves the window usable), and letting it go
// (1 when the record held it).
ErrorCode GrabX11Input(X11DisplayRecord* record);
int ReleaseX11InputGrab(X11DisplayRecord* record);
// The audio channel check and the joystick read of each poll.
int PollJoysticksAndAudio(VmState* L);

// ---- Cross-thread event list ----
// Notices from other threads for the main thread: 5 end of sample, 6 sample
// loop, 7 end of music, 8 end of video, 10 program finished, 11 directory
// changed. argument1 and argument2 are the owner's two identifier words
// (automatic identifier, number); the values are the kind's own. Posting is
// safe from any thread; only the main thread's dispatch pops.
struct ThreadEventRecord {
  int32_t kind;
  uintptr_t argument1;
  uintptr_t argument2;
  uintptr_t value1;
  uintptr_t value2;
};
enum : int32_t {
  THREAD_EVENT_SAMPLE_END = 5,
  THREAD_EVENT_SAMPLE_LOOP = 6,
  THREAD_EVENT_MUSIC_END = 7,
  THREAD_EVENT_VIDEO_END = 8,
};
// Opening lets notices queue; closing frees what is queued and drops later
// notices until the list is opened again.
void OpenThreadEventList();
void CloseThreadEventList();
// Appends a notice; a non-zero wake flag ends the main thread's event wait.
void PostThreadEvent(int32_t kind, uintptr_t argument1, uintptr_t argument2, uintptr_t value1,
                     uintptr_t value2, int32_t wake);
// Removes the oldest notice into *out: 1, or 0 when the list is empty.
int PopThreadEvent(ThreadEventRecord* out);

// ---- ALSA audio output ----
// Playback PCMs on the device "default", opened without blocking through
// the bound ALSA library, with level-scaled writes and recovery after
// under-runs. The audio engine (media/) embeds AlsaChannelOutput in each of
// its channel records; the platform reads and writes only this part.

// Sample layout of a PCM: bits 8 or 16, flags PCM_SIGNED and PCM_BIGENDIAN.
struct PcmFormat {
  int32_t bits;
  int32_t bytesPerFrame;
  int32_t channels;
  int32_t flags;
};
enum : int32_t { PCM_BIGENDIAN = 1, PCM_SIGNED = 2 };

// Sample formats of AlsaWriteFrames.
enum : int32_t {
  SAMPLE_U8_MONO = 0,
  SAMPLE_U8_STEREO = 1,
  SAMPLE_S8_MONO = 2,
  SAMPLE_S8_STEREO = 3,
  SAMPLE_S16_MONO = 4,
  SAMPLE_S16_STEREO = 5,
};
constexpr int32_t ALSA_FULL_LEVEL = 64;
// Bytes of the conversion buffer that AlsaWriteFrames scales into; at most
// ALSA_CONVERT_FRAMES frames are scaled and written per call.
constexpr size_t ALSA_CONVERSION_BYTES = 384000;
constexpr uint32_t ALSA_CONVERT_FRAMES = 96000;

// The output's part of one audio channel. state: 0 idle, 2 sample, 3 module,
// 4 stream, 5 video sound, 8 finished (previousState keeps what it was).
// The engine fills the source fields before it sets the state; the feed
// thread reads and writes the rest under the engine's table lock.
struct AlsaChannelOutput {
  int32_t state;
  int32_t previousState;
  int32_t level;          // 0..64, 64 = full volume
  void* pcm;              // the ALSA PCM, null while closed
  uint32_t bufferFrames;  // the PCM's buffer size as ALSA reports it
  uint32_t position;      // frame position within the current block
  int32_t loopNumber;     // the pass being written, from 1
  int32_t loopTotal;      // passes to write, 0 = forever
  int32_t newPass;        // set when a pass has just begun
  TimeValue startTime;    // when the PCM started
  int32_t finished;
  TimeValue endTime;  // when the last data was written
  uint8_t* staging;
  size_t stagingLength;
  // Pacing: the PCM's rate, the frames written since the first write and
  // when that was. A device that takes data faster than it plays (a null
  // device) gets no more than real time plus its buffer.
  int32_t rate;
  uint64_t written;
  TimeValue firstWrite;
  // Source of a sample (state 2): its frames, the frames of its last pass,
  // the sample format and byte order, and the length of one pass.
  const uint8_t* data;
  uint32_t frames;
  uint32_t lastPassFrames;
  int32_t bytesPerFrame;
  int32_t sampleFormat;
  int32_t swap;
  int64_t passMs;
  int64_t playMs;  // the whole play time; 0 = forever
  // Source of a stream (state 4): the half being written; the engine hands
  // the next one over when it ends.
  const uint8_t* half;
  uint32_t halfFrames;
  // A module (state 3) plays from `staging`, one second rendered ahead on
  // the channel's own copy of the player; the script's player follows the
  // frames played. counted: the frames it was moved on by; playedBefore:
  // the frames played before the PCM's current run (an under-run ends a
  // run, and everything written was played by then); runStart: when the
  // current run's first frames were written, while runStarted.
  uint64_t counted;
  uint64_t playedBefore;
  TimeValue runStart;
  int32_t runStarted;
};

// The engine's side of the feed thread, registered by the sound library.
// Every hook but loopSignal is called with the table lock held (lock and
// unlock are the engine's recursive channel-table lock).
struct AudioFeedHooks {
  void (*lock)();
  void (*unlock)();
  int32_t (*channelCount)();
  AlsaChannelOutput* (*channelOutput)(int32_t index);
  // 1 while the script listens for sample-loop notices.
  int (*loopEventsWanted)();
  // A sample's pass began (output->loopNumber): the first pass's notice.
  void (*passBegan)(int32_t index);
  // The timer value under which the loop notice of a later pass is armed;
  // loopSignal gets it back from the signal thread when that pass begins.
  uintptr_t (*loopTimerValue)(int32_t index, int32_t pass);
  void (*loopSignal)(uintptr_t value);
  // A finished channel's PCM played out: the end notice (state 2 or 4).
  void (*ended)(int32_t index, int32_t state);
  // Module channels: renders frames into buffer from the channel's copy of
  // the player; a null buffer moves the script's player on by the frames
  // (those just played).
  void (*renderModule)(int32_t index, int16_t* buffer, uint32_t frames);
  // Module channels: 1 when the script asked for another song position
  // since the last call; the copy renders from there and the script's
  // player is there already, so what is staged is rendered again.
  int (*takeModuleRequest)(int32_t index);
  // Stream channels: the half just written is done; hands over the next
  // half (output->half, halfFrames) and returns 1, or 0 at the end.
  int (*nextHalf)(int32_t index);
  // A channel in state 8 is released (ReleaseAudioChannels).
  void (*release)(int32_t index);
  // The engine's periodic end check (called without the lock).
  void (*checkTimeouts)();
  // Video channels (state 5): copies up to frames of the sound that waits
  // into out, returning how many; dropVideo then removes those written.
  uint32_t (*peekVideo)(int32_t index, uint8_t* out, uint32_t frames);
  void (*dropVideo)(int32_t index, uint32_t frames);
};
void SetAudioFeedHooks(const AudioFeedHooks* hooks);  // null: none
// The feed thread: 0 when running (or already), ERR_OPENAUDIO without the
// ALSA library, ERR_THREAD; stopping joins it.
ErrorCode StartAudioFeedThread();
void StopAudioFeedThread();
// Releases every channel in state 8 through the release hook (the
// periodic end check of the built-in output).
void ReleaseAudioChannels();
// The engine's end check through its hook (each event poll).
void CheckAudioTimeouts();

// Opens "default" for playback without blocking, applies the format, rate
// and a buffer of about 100 ms, and prepares it: 0; ERR_OPENAUDIO without
// the ALSA library or when the device does not open; ERR_MEM; ERR_ALSAPCM
// with the failing step (1 to 8) as the error argument. A failure leaves
// out->pcm null.
ErrorCode OpenAlsaPcm(const PcmFormat* format, int32_t rate, AlsaChannelOutput* out);
// Drops what is queued and closes the PCM; state 0. A closed channel is ignored.
void CloseAlsaPcm(AlsaChannelOutput* out);
// Writes frames of the given sample format at the level: at full level the
// source is written as it is, otherwise at most ALSA_CONVERT_FRAMES frames
// are scaled into conversion (ALSA_CONVERSION_BYTES) and written. Each
// value becomes value * level / 64 truncated toward zero; unsigned 8-bit
// values are scaled around 128, so silence stays silent. swap: the 16-bit
// source is in the other byte order. The result is snd_pcm_writei's.
long AlsaWriteFrames(int32_t level, int32_t sampleFormat, int swap, void* conversion, void* pcm,
                     uint32_t frames, const void* source);
// 1 when the PCM has played out what it was given (or its room cannot be
// read); without snd_pcm_avail, once a whole second has passed since
// out->endTime.
int IsAlsaPcmDrained(const AlsaChannelOutput* out);
// After a failed write: -EPIPE prepares the PCM again; -ESTRPIPE resumes it,
// retrying each second while the device is busy, and prepares it when the
// resume fails. Other errors are left alone.
void RecoverPcm(void* pcm, int error);

// ---- Serial ports ----
// termios serial ports for the serial library. Every operation returns one
// of the SERIAL_ result codes, which the library turns into script errors.
// Settings are indices: baud 0..8 (300 to 460800), data bits 0..3 (5 to 8),
// parity 0..2 (none, odd, even), stop bits 0..1, flow control 0..2 (off,
// RTS/CTS, XON/XOFF), modem lines 0..1.

enum : int32_t {
  SERIAL_OK = 0,
  SERIAL_EUNKNOWN = 1,  // a value out of range
  SERIAL_EOPEN = 2,
  SERIAL_ECLOSE = 3,
  SERIAL_EFLUSH = 4,
  SERIAL_ESETTINGS = 5,
  SERIAL_EREAD = 6,
  SERIAL_EWRITE = 7,
  SERIAL_ESELECT = 8,  // the readiness wait failed
  SERIAL_ETIMEOUT = 9,
  SERIAL_EIOCTL = 10,
  SERIAL_ECLOSED = 11,  // the operation needs an open port
};

constexpr size_t SERIAL_DEVICE_NAME_MAX = 30;  // characters, without terminator

struct SerialPort;

// The settings that an open applies, in the order it applies them.
struct SerialSettings {
  int32_t baud;
  int32_t dataBits;
  int32_t parity;
  int32_t stopBits;
  int32_t flowControl;
};

SerialPort* NewSerialPort();  // defaults, device "/dev/ttyS0"; null without memory
// SERIAL_EOPEN (the name unchanged) for a name longer than
// SERIAL_DEVICE_NAME_MAX: a cut name could name another device.
int32_t SetSerialDeviceName(SerialPort* port, const char* name);
int32_t GetSerialBaud(const SerialPort* port);
int32_t GetSerialDataBits(const SerialPort* port);
int32_t GetSerialParity(const SerialPort* port);
int32_t GetSerialStopBits(const SerialPort* port);
int32_t GetSerialFlowControl(const SerialPort* port);
int32_t GetSerialDtr(const SerialPort* port);
int32_t GetSerialRts(const SerialPort* port);
int32_t IsSerialOpen(const SerialPort* port);
// Stores the modem-line states without touching the lines (0 or 1 each).
void StoreSerialLineStates(SerialPort* port, int32_t dtr, int32_t rts);

// Setters need an open port (11); 1 for an index out of range, 5 when the
// settings cannot be read or written. The index is stored only on success.
int32_t ApplySerialBaud(SerialPort* port, int32_t index);
int32_t ApplySerialDataBits(SerialPort* port, int32_t index);
int32_t ApplySerialStopBits(SerialPort* port, int32_t index);
int32_t ApplySerialParity(SerialPort* port, int32_t index);
int32_t ApplySerialFlowControl(SerialPort* port, int32_t index);
int32_t SetSerialDtr(SerialPort* port, int32_t state);  // 10 when the ioctl fails
int32_t SetSerialRts(SerialPort* port, int32_t state);

// Opens in raw mode and applies the wanted settings (null: the stored
// ones); a setting the device refuses keeps the index of before, as the
// setters do. 2 when the device does not open (or the port is open
// already), 5 when it cannot be set up.
int32_t OpenSerialDevice(SerialPort* port, const SerialSettings* wanted = nullptr);
int32_t FlushSerialDevice(SerialPort* port);
// Flushes, restores the settings saved at open, closes and frees the port.
// The record is always gone afterwards; 5 tells that the settings could not
// be restored, 3 that the close failed. Null is ignored.
int32_t CloseSerialDevice(SerialPort* port);

int32_t SerialBytesAvailable(SerialPort* port, int32_t* count);
// Without waiting: a read of a silent line gives 0 bytes.
int32_t WriteSerial(SerialPort* port, const void* data, size_t length, size_t* count);
int32_t ReadSerial(SerialPort* port, void* buffer, size_t length, size_t* count);
// Wait up to the given milliseconds for readiness (9 when it does not come),
// then one write or read.
int32_t WriteSerialTimeout(SerialPort* port, const void* data, size_t length, size_t* count,
                           int32_t milliseconds);
int32_t ReadSerialTimeout(SerialPort* port, void* buffer, size_t length, size_t* count,
                          int32_t milliseconds);
// Reads and drops the bytes that are waiting.
void DiscardSerialInput(SerialPort* port);

// ---- Window icon ----
// The icon that windows show holds square images of 16, 24, 32, 48 and 256
// pixels, built in until the application icon set replaces them.
// An image of one of those sizes replaces the built-in one (a copy is
// made; 0xAARRGGBB rows packed); other sizes are ignored.
void SetWindowIconImage(int32_t width, int32_t height, const uint32_t* pixels);
// The window icon as windows get it: width, height and pixels per image,
// five images.
constexpr size_t X11_ICON_VALUES = 69706;
const uint32_t* GetWindowIconBlock();
// Puts the built-in images back.
void ResetWindowIconImages();

// ---- Requesters ----
// Message, file, path, string, list, font and colour requesters: GTK 2
// dialogs shown by a thread of their own when GTK is bound and an X display
// opens, console prompts otherwise. Each blocks its caller until answered.
// Answers of the message requester: buttons count from 1 at the left, the
// rightmost answers 0. End of input on the console cancels.

ErrorCode NativeSystemRequester(VmState* L, const char* title, const char* body,
                                const char* buttons, int32_t icon, int32_t* answer);
// mode 0 open, 1 open several, 2 save. *files is one name, or with several
// names each ends in a zero byte; *chosen 0 = cancelled. Free both with
// FreeMemory.
ErrorCode NativeFileRequester(VmState* L, const char* title, const char* pattern, int32_t mode,
                              const char* folder, const char* file, char** outFolder,
                              char** outFiles, int32_t* count, int32_t* chosen);
// *out null when cancelled. mode 2: a new folder may be named.
ErrorCode NativePathRequester(VmState* L, const char* title, int32_t mode, const char* folder,
                              char** out);
// type 3: numbers only; maxLength 0: no limit. *out is a new string, empty
// when cancelled.
ErrorCode NativeStringRequester(VmState* L, const char* title, const char* prompt, const char* text,
                                int32_t type, int32_t maxLength, int32_t hidden, char** out);
// choices: strings one after the other, ended by an empty one. -1: cancelled.
ErrorCode NativeListRequester(VmState* L, const char* title, const char* body, const char* choices,
                              int32_t start, int32_t* index);
struct FontRequestResult {
  char name[256];  // empty: cancelled
  int32_t size;
  int32_t weight;
  int32_t slant;
  int32_t reserved1;
  int32_t reserved2;
  int32_t bold;
  int32_t italic;
  int32_t reserved3;
};
ErrorCode NativeFontRequester(VmState* L, const char* title, const char* name, int32_t size,
                              FontRequestResult* out);
// 0xRRGGBB, or -1 when cancelled.
ErrorCode NativeColorRequester(VmState* L, const char* title, int32_t start, int32_t* colour);
// kind 1 information, 2 error, 3 warning; timeout 0 = the server's default.
ErrorCode ShowDesktopNotification(VmState* L, const char* title, const char* text, int32_t kind,
                                  int32_t timeout);

// ---- Locale and catalogs ----
// The user's language and country from LANG, the tables between the
// script's LANGUAGE_ and COUNTRY_ ids and ISO codes, and locale catalogs:
// string tables in the user's language, either IFF "FORM" "CTLG" files or
// plain UTF-8 text files with one string per line. Used by the main thread.

// From LANG: its first two characters among the language codes (exact,
// case-sensitive); the two characters after its first underscore among the
// country codes. LANGUAGE_UNKNOWN / COUNTRY_UNKNOWN when LANG is unset or
// does not match.
int32_t GetSystemLanguageId();
int32_t GetSystemCountryId();
int OpenPlayerCatalog();
void ClosePlayerCatalog();
// The code tables.
int32_t LanguageIdFromCode(const char* code);  // LANGUAGE_UNKNOWN when none
// A code of exactly two characters is compared with the two-letter codes,
// any other with the three-letter codes ("GB" and "UK" both give 0).
int32_t CountryIdFromCode(const char* code);  // COUNTRY_UNKNOWN when none
// 1 with the row's strings for the first row with the id, else 0 (the
// outputs are then left alone). Either output may be null.
int LanguageCodeStrings(int32_t id, const char** code, const char** englishName);
int CountryCodeStrings(int32_t id, const char** twoLetter, const char** threeLetter);
// Null when no row has the id; the native name is null for rows without one.
const char* LanguageNativeName(int32_t id);
const char* LanguageEnglishName(int32_t id);
// ---- Special directories, the desktop opener, the bell, free memory ----
// 6 HOME, 7 USER, 13 "/tmp": 1 (an unset variable gives ""); unknown: 0 and "".
int GetSystemDirectory(int32_t id, char* buffer, size_t size);
// HOME/.quillmere-kit/preferences, both levels created; the result of the
// last creation (an existing directory is no error for the caller).
ErrorCode GetPrefsDirectory(char* buffer, size_t size);
ErrorCode OpenWithDesktop(const char* pathOrUrl);  // "xdg-open", not waited for; 0
void SystemBeep();
// MemFree of /proc/meminfo in kilobytes; 0 when it cannot be read. The
// file read is a parameter for tests.
uint64_t GetFreeMemory(const char* meminfoPath = "/proc/meminfo");

// A locale catalog read whole into memory; strings are fetched by number.
struct Catalog;
Catalog* OpenLocaleCatalog(const char* name);
// The script library's form: the version a script asks for is not
// compared, since the reader takes any catalog of the name.
Catalog* OpenLocaleCatalog(const char* name, int32_t version);
const char* GetLocaleString(Catalog* catalog, int32_t number, const char* def);
void CloseLocaleCatalog(Catalog* catalog);
// The catalog whose texts replace the built-in texts (GetBuiltinString in
// engine/engine.h): a lookup giving the replacement text for a number, or
// null. GetCatalogText asks it; null without one.
using CatalogTextSource = const char* (*)(int32_t number, void* data);
void SetCatalogTextSource(CatalogTextSource source, void* data);
const char* GetCatalogText(int32_t number);

// ---- X11 windows, pointers, modes, monitors and drawing ----
// The window side of the X11 back end for the display library: windows with
// their window-manager properties, pointers, monitors and screen modes,
// drawing straight into a window and the copy of bitmap rectangles into it.
// X errors come back as error codes. The back end knows a display only by
// its window record (X11DisplayRecord) and the values the display library
// hands it in an X11Window.

struct DisplayRecord;
struct BitmapHandle;

// The style of a display's window as the back end reads it.
enum : uint32_t {
  X11WINDOW_BORDERLESS = 0x1,
  X11WINDOW_SIZEABLE = 0x2,
  X11WINDOW_FIXED = 0x4,  // cannot be moved
  X11WINDOW_NOHIDE = 0x8,
  X11WINDOW_NOCLOSE = 0x10,
  X11WINDOW_ALWAYSONTOP = 0x20,
  X11WINDOW_DISABLEBLANKER = 0x40,  // no screen saver while the window is open
  X11WINDOW_FULLSCREEN = 0x80,
  // Placed without the window manager (override-redirect): a backfill, a
  // full-screen display or one with a parent display.
  X11WINDOW_UNMANAGED = 0x100,
};
// What the back end reads of a display for its window, filled by the display
// library from its record for each call; the back end keeps none of it.
struct X11Window {
  X11DisplayRecord* record;  // the display's window record; null: none
  X11DisplayRecord* parent;  // the parent display's record, null without one
  // The display itself, only handed back to the video-rectangle query.
  const DisplayRecord* owner;
  const char* server;           // the X server's name, null or "" for the default
  const char* title;            // UTF-8
  int32_t open;                 // the display is open: only then is anything drawn
  int32_t x, y, width, height;  // the window's position and inner size
  // The window's margins around the picture: drawing lands inside them.
  int32_t marginLeft, marginTop, marginRight, marginBottom;
  int32_t monitor;  // index in the monitor list
  uint32_t style;   // X11WINDOW_
};
// The sizes of a window's frame: the left and top border and both borders
// of each direction together.
struct X11FrameSizes {
  int32_t left, top, horizontal, vertical;
};

// Opens the window; a framed window's frame sizes are read once it is
// mapped and written to *frame (left as they are for a borderless one).
ErrorCode OpenX11DisplayWindow(const X11Window& window, int takeFocus, BitmapHandle* shapeMask,
                               BitmapHandle* alpha, X11FrameSizes* frame);
void CloseX11DisplayWindow(X11DisplayRecord* record);
void MoveX11Window(X11DisplayRecord* record, int32_t x, int32_t y);
void SizeMoveX11Window(const X11Window& window);
void ActivateX11Window(X11DisplayRecord* record);
// 1 when the window's last activation was accepted by the server (it held
// the focus then), else 0.
int X11WindowTookFocus(const X11DisplayRecord* record);
// The frame sizes a window of this style gets on its server, before it
// exists: 0 for a borderless window.
ErrorCode DetermineX11BorderSizes(const X11Window& window, X11FrameSizes* frame);
// Whether X can show a window of this size (1..32767 each way).
int IsX11SizePossible(int32_t width, int32_t height);
void ShowX11Pointer(X11DisplayRecord* record);
void HideX11Pointer(X11DisplayRecord* record);
// The window-manager title (UTF-8).
void SetX11WindowTitle(X11DisplayRecord* record, const char* title);
// Minimises (iconify 1) or maps and activates the window; a full-screen
// window stays as it is.
ErrorCode IconifyX11Window(const X11Window& window, int iconify);
// Pointers made from 0xAARRGGBB images with their hot spot; a pointer
// keeps one cursor per X server it was shown on.
struct X11PointerNode;
ErrorCode CreateX11Pointer(const uint32_t* argb, int32_t hotX, int32_t hotY, X11PointerNode** out,
                           int32_t width, int32_t height);
void FreeX11Pointer(X11PointerNode* pointer);
void SetX11Pointer(X11DisplayRecord* record, X11PointerNode* pointer, int32_t kind);
// Warps the pointer to (x, y) of the window.
void MoveX11Pointer(X11DisplayRecord* record, int32_t x, int32_t y);

// Monitors: a chain of {next, x, y, width, height}, freed node by node with
// FreeMemory; null when no connection can be made or memory runs out.
struct X11MonitorNode {
  X11MonitorNode* next;
  int32_t x, y, width, height;
};
// Monitors, modes and grabs go to the window's connection, or to its server
// while it has none.
X11MonitorNode* ListX11Monitors(const X11Window& window);
struct X11DisplayMode {
  int32_t width, height, refresh, current;
  uint32_t modeId;
};
int32_t GetX11DisplayModes(const X11Window& window, X11DisplayMode* modes);
// Switches the window's monitor to the mode of that size; a window that is
// not full screen yet has the mode it leaves saved for RestoreScreenMode.
ErrorCode SetFullscreenMode(const X11Window& window, int32_t width, int32_t height);
ErrorCode RestoreScreenMode(const X11Window& window);
BitmapHandle* GrabX11ScreenPixels(const X11Window& window, int32_t x, int32_t y, int32_t width,
                                  int32_t height);
// Drawing into an open display's window, inside its margins.
void FillX11Rect(const X11Window& window, int32_t x, int32_t y, int32_t width, int32_t height,
                 uint32_t colour);
void PutPixelsToWindow(BitmapHandle* bitmap, int32_t sx, int32_t sy, const X11Window& window,
                       int32_t dx, int32_t dy, int32_t width, int32_t height);

// ---- What the X11 back end asks of the layers above ----
// The window side draws, grabs and shapes with the bitmap layer's bitmaps
// and keeps the rectangles of videos out of its drawing; the clipboard
// carries pictures as PNG bytes. The composition root installs these hooks
// when the program loads. Without them no bitmap is made or locked (puts
// and grabs do nothing), colours are handed over as 0xRRGGBB pixel values,
// no video is kept out, and pictures are neither offered nor read.

// A locked bitmap's memory, as the bitmap layer's lock fills it.
struct BitmapLock {
  uint8_t* address;
  uintptr_t token;  // non-zero while the lock holds
  uint32_t pixelFormat;
  int32_t bytesPerPixel;
  int32_t rowLength;  // pixels for pixel bitmaps, bytes for alpha and masks
  int32_t width, height;
  uint32_t software;  // an alpha channel or mask locked in software
  // An adapter's lock: its backing and its own token for UnLockBitMap.
  void* adapterBacking;
  uintptr_t adapterToken;
};
struct X11BitmapHooks {
  // A pixel bitmap in the format of new software bitmaps; null when refused.
  BitmapHandle* (*alloc)(int32_t width, int32_t height);
  void (*free)(BitmapHandle* bitmap);  // null is ignored
  // A copy of an alpha channel cut or padded to width x height.
  BitmapHandle* (*cloneAlpha)(const BitmapHandle* alpha, int32_t width, int32_t height);
  void (*freeAlpha)(BitmapHandle* alpha);  // null is ignored
  // Flags: 1 read-only. The token, 0 when the lock fails.
  uintptr_t (*lock)(void* bitmap, uint32_t flags, BitmapLock* lock);
  void (*unlock)(BitmapLock* lock);
  // A 0xAARRGGBB colour as a pixel value of the format.
  uint32_t (*colourToPixel)(uint32_t colour, uint32_t format, int keepAlpha);
  // The screen's format, learnt from the first connection: new software
  // bitmaps take it.
  void (*screenFormat)(int32_t format);
};
void SetX11BitmapHooks(const X11BitmapHooks* hooks);  // null: the defaults
// The rectangles (x, y, width, height in display coordinates, at most max)
// that videos draw straight into the display's window; their count.
using X11VideoRectsQuery = int32_t (*)(const DisplayRecord* display, int32_t* rects, int32_t max);
void SetX11VideoRectsQuery(X11VideoRectsQuery query);  // null: no video

// ---- X11 clipboard ----
// The "CLIPBOARD" selection, owned by the window of the first display that
// has one: text is offered as UTF-8 ("UTF8_STRING") and images as PNG bytes
// ("image/png"); reading asks the owner (which may be this program) for its
// targets and takes "UTF8_STRING", then "text/plain", then "image/png",
// large transfers included. Every operation fails with ERR_CLIPOPEN while a
// display adapter drives the displays or no display has a window.

enum : int32_t { CLIPBOARD_KIND_NONE = 0, CLIPBOARD_KIND_TEXT = 1, CLIPBOARD_KIND_IMAGE = 2 };
// Text uses only the first field, images the other five. A record filled by
// ReadClipboardData belongs to the caller: the text is AllocMemory memory,
// the bitmap and alpha channel (null when the picture has no alpha) are
// bitmap-layer handles; the mask is left null.
struct ClipboardRecord {
  char* text;
  int32_t width, height;
  BitmapHandle* bitmap;
  BitmapHandle* mask;
  BitmapHandle* alpha;
};
// Takes the selection and offers nothing (what was offered is freed).
ErrorCode SetClipboardOwner();
// Takes the selection and offers the record as the kind: text (in the
// runtime's encoding; converted to UTF-8 when the runtime is in 8-bit mode)
// or the picture with its mask or alpha channel as a PNG. Another kind
// offers nothing. The record stays the caller's.
ErrorCode PutClipboardData(int32_t kind, const ClipboardRecord* record);
// Asks only what the clipboard holds: *kind is a CLIPBOARD_KIND.
ErrorCode ReadClipboardText(VmState* L, int32_t* kind);
// Reads the clipboard into the record (text in the runtime's encoding) and
// sets *kind; events are pumped while the owner answers, so script handlers
// may run before this returns. ERR_CLIPREAD when the owner gives nothing or
// stays silent for 5 seconds.
ErrorCode ReadClipboardData(VmState* L, ClipboardRecord* record, int32_t* kind);
// How pictures become PNG bytes and back (installed with the hooks above).
struct ClipboardImageCodec {
  // The record's picture, with its mask or alpha channel as alpha, as PNG
  // bytes (AllocMemory).
  ErrorCode (*encode)(const ClipboardRecord* record, uint8_t** bytes, size_t* length);
  // PNG bytes into the record's picture fields.
  ErrorCode (*decode)(const uint8_t* bytes, size_t length, ClipboardRecord* dest);
};
// Null: the defaults, which refuse (ERR_UNSUPPORTEDFEAT, ERR_LOADPICTURE2).
void SetClipboardImageCodec(const ClipboardImageCodec* codec);

// ---- Entry point and system glue ----
// What the process entry (root/main.cpp) asks of the platform and the small
// platform services that the portable runtime calls directly: the run
// function that the portable main hands the script to, the running script's
// state, the quit switches of the event library, special directories, the
// desktop opener, the bell and the free-memory reading, and entry points
// that do nothing on this platform.

struct VmState;

// Called first by main: the argument count and vector that the desktop
// libraries are initialised with (they may take their own options out of
// it), and the running program's absolute path, resolved from the first
// argument.
void RecordProcessArguments(int* argc, char*** argv);

// The quit switches: 8 quit on Ctrl+C (on at start), 9 on the left mouse
// button, 10 on Escape. Other ids are ignored; GetPlatformBitmapAttr (null,
// id) reads them.
constexpr int32_t PLATFORM_QUIT_CTRLC = 8;
constexpr int32_t PLATFORM_QUIT_LMB = 9;
constexpr int32_t PLATFORM_QUIT_ESCAPE = 10;
void SetPlatformOption(void* caller, int32_t id, int32_t value);
// Message ports do not exist here: ERR_CREATEPORT; a message (which this
// frees) finds no port: ERR_FINDPORT.
ErrorCode NativeCreatePort(const char* name);
ErrorCode NativeSendMessage(char* message);

// Starts the pipe reader (its ERR_THREAD is returned without running the
// script), records L as the running state, runs the main chunk through
// runScript (the runtime's RunScriptMainLoop), clears the state and stops
// the pipe reader.
ErrorCode RunPlatformMainLoop(VmState* L, ErrorCode (*runScript)(VmState* L));
// The platform's answers to the bitmap attribute codes that the bitmap
// layer passes on: 5 depth 32, 8 to 10 the quit switches, 11 and 12 16,
// 16 1, 17 0; other codes give 0 (the bitmap layer answers those of a
// bitmap itself, and 6 and 7, the pointer in a display's window).
intptr_t GetPlatformBitmapAttr(const void* displayOrBitmap, int32_t code);

// ---- Socket back end ----------------------------------------------------------------
// Non-blocking POSIX sockets under the network library. Every operation that
// would block waits for readiness under the caller's time-out record. Results
// of the I/O operations: SOCKET_DONE, SOCKET_TIMEOUT, SOCKET_CLOSED, or a
// positive errno.

struct sockaddr;
struct hostent;
struct VmState;

enum : int32_t {
  SOCKET_DONE = 0,
  SOCKET_TIMEOUT = -1,
  SOCKET_CLOSED = -2,    // the peer closed, the handle is -1, or the pipe broke
  SOCKET_NOTFOUND = -3,  // a look-up failed without saying why
};

// What WaitSocketReady waits for.
enum : int32_t {
  SOCKET_WAIT_READ = 1,
  SOCKET_WAIT_WRITE = 2,
  SOCKET_WAIT_CONNECT = 3,
};

// The network library's time-out record: block and total time in seconds
// (negative = no limit) and the start time (GetTimeSeconds). A block time of
// exactly 0 means never wait.
struct SocketTimeout {
  double blockTime;
  double totalTime;
  double startTime;
};

// A handle is the descriptor, -1 while closed.
int32_t CreateSocketHandle(int32_t* handle, int domain, int type, int protocol);  // 0 or errno
void CloseSocketHandle(int32_t* handle);
int32_t SetSocketNonBlocking(int32_t handle);  // 0 or errno
int32_t SetSocketBlocking(int32_t handle);
int32_t BindSocket(int32_t handle, const struct sockaddr* address, uint32_t length);  // 0 or errno
int32_t ListenSocket(int32_t handle, int32_t backlog);
int32_t ShutdownSocket(int32_t handle, int how);  // 0 or errno

// 0 ready, -1 time-out, -2 for a closed handle (and, when waiting for a
// connection, when the socket became readable: the attempt has ended), 22
// for a descriptor of 1024 or more, else the errno of the wait.
int32_t WaitSocketReady(int32_t handle, int32_t what, const SocketTimeout* timeout);
// select on the caller's sets with the remaining time (none when negative),
// resumed after signals with the sets as given; -1 with errno EINVAL when
// count exceeds what a set can hold.
int WaitSocketTimeout(int count, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                      const SocketTimeout* timeout);

int32_t ConnectSocket(int32_t handle, const struct sockaddr* address, uint32_t length,
                      const SocketTimeout* timeout);
// Connects while the event poll keeps running; -1 when the milliseconds
// pass or the run is asked to stop (*error then holds the poll's code).
int32_t ConnectSocketTimeout(VmState* L, int32_t handle, const struct sockaddr* address,
                             uint32_t length, int32_t milliseconds, ErrorCode* error);
int32_t AcceptSocket(int32_t handle, int32_t* newHandle, struct sockaddr* address, uint32_t* length,
                     const SocketTimeout* timeout);

// Sends never raise SIGPIPE: a reset or closed peer is SOCKET_CLOSED.
int32_t SendSocket(int32_t handle, const void* data, size_t length, size_t* count,
                   const SocketTimeout* timeout);
int32_t SendToSocket(int32_t handle, const void* data, size_t length, size_t* count,
                     const struct sockaddr* address, uint32_t addressLength,
                     const SocketTimeout* timeout);
// A stream that delivers 0 bytes has been closed by its peer; a datagram of
// 0 bytes is just that. Asking for 0 bytes returns at once.
int32_t ReceiveSocket(int32_t handle, void* buffer, size_t length, size_t* count,
                      const SocketTimeout* timeout);
int32_t ReceiveFromSocket(int32_t handle, void* buffer, size_t length, size_t* count,
                          struct sockaddr* address, uint32_t* addressLength,
                          const SocketTimeout* timeout);
// 0 when a byte (or a datagram) is waiting, without taking it.
int32_t PeekSocketByte(int32_t handle, const SocketTimeout* timeout, bool datagram);
// The network library's time-out arithmetic and status texts, which the
// waits and the error texts use. The library installs them when it opens;
// until then a wait blocks for the record's block time (none when
// negative) and every status below 1 reads "unknown error".
using SocketRemainingFunction = double (*)(const SocketTimeout* timeout);
using SocketStatusTextFunction = const char* (*)(int32_t status);
void SetSocketLibraryHooks(SocketRemainingFunction remaining, SocketStatusTextFunction statusText);

// 0 when found, else h_errno, errno, or SOCKET_NOTFOUND. The entry is the C
// library's static one, valid until the next look-up.
int32_t HostNameLookup(const char* name, const struct hostent** entry);
// address is 4 bytes (IPv4) or 16 (IPv6); any other length is EINVAL.
int32_t HostAddressLookup(const void* address, uint32_t length, const struct hostent** entry);

const char* SocketErrorText(int32_t code);
const char* SocketErrorTextOf(void* ignored, int32_t code);
const char* ResolverErrorText(int32_t code);
const char* AddrInfoErrorText(int32_t code);  // null for 0

// "XX:XX:XX:XX:XX:XX" of the first non-loopback interface with a hardware
// address; text is left unchanged when there is none.
void GetMacAddress(char* text, size_t size);
int IgnoreBrokenPipe();  // 1
// The socket layer's clean-up: nothing to do on this platform; returns 1.
int NetCleanupStub();

// The native drop-target (A) and clipboard-watch (B) set-up of a display
// whose "ondropfile" or "clipboardchange" handler is set: nothing to do on
// this platform; both return 0.
int DisplayEventSetupStubA();
int DisplayEventSetupStubB();

// ---- Context record ----
// The folder's mutable state (the X connection and the catalogs) lives in one
// record. Init puts it in its start state; Free releases whatever it still
// holds and leaves it in the start state. The library table calls both.
void InitPlatformContext();
void FreePlatformContext();

// ---- Window fills (x11window.cpp) ----
// Shows a rectangle whose 32-bit pixels all hold the value stored (as it
// lies in a window bitmap's memory) as PutPixelsToWindow would show it,
// with one fill request instead of an image. 0 when the window needs the
// image (transparent windows, other depths, videos drawn into the window);
// nothing was sent then.
int FillX11WindowWithPixel(const X11Window& window, int32_t dx, int32_t dy, int32_t width,
                           int32_t height, uint32_t stored);

// ---- Console and the end of a run by a signal ----
// Services of the platform layer for the console and for the end of a run
// by a termination signal, which the start-up, the shut-down and the
// commands that print or wait call: the open progress line of standard
// output, console reads and sleeps that give way to a termination request,
// and the signal that decides the exit status.

// A progress line ("Loading brush x...") stays open on standard output until
// its closing word. Output of any other kind to standard output first ends
// an open line, so it never runs onto the progress text when the closing
// word does not come (a failed load). SetConsoleLineOpen marks or clears
// the line; EndConsoleLine ends it when stream is standard output.
void SetConsoleLineOpen(int open);
void EndConsoleLine(FILE* stream);
// One line of at most size - 1 bytes from stream into buffer, as fgets
// reads it; null at end of input, on a read error, and when a termination
// request comes while it waits for input.
char* ReadConsoleLine(char* buffer, int size, FILE* stream);

// As Delay, but ends early when a termination request comes (see
// NativeQuitRequested); 1 when it did.
int DelayUnlessQuit(int32_t milliseconds);

// After a termination signal (NativeQuitRequested) every wait of the player
// ends early. When the shut-down has not begun within a second, the program
// ends without it (the run's temporary files are still deleted);
// NoteShutdownBegun, called as the shut-down starts, says that it has.
// TakeTerminationSignal returns the first signal's number (0 for none) and
// forgets it: the exit status after a termination is 128 + that number.
void NoteShutdownBegun();
int TakeTerminationSignal();
