// Services of the platform layer that the portable code calls: memory,
// time, mutexes and condition objects, and the back ends added later.
// Each concern keeps its own section.
#pragma once

#include <cstddef>
#include <cstdarg>
#include <cstdint>

#include <pthread.h>
#include <sys/select.h>

#include "engine/errors.h"

// ---- Memory, time, mutexes and condition objects --------------------------------

// Heap blocks. A size of 0 gives null without allocating; null otherwise means
// memory is exhausted and the caller reports ERR_MEM (1000). The clear flag
// zero-fills the block.
void* AllocMemory(size_t size, int clear);
// count * elemSize with an overflow check: a product that does not fit in
// size_t gives null (ERR_MEM for the caller), never a smaller block.
void* AllocMemoryArray(size_t count, size_t elemSize, int clear);
void FreeMemory(void* block);  // null is ignored

// Test hook for fault injection: the nth allocation counted from this call
// fails (n >= 1); with persistent set, every allocation after it fails too.
// n = 0 switches the hook off. Zero-size requests are not counted.
void SetAllocFailure(uint64_t n, bool persistent);
// Allocations the hook has failed since it was last set.
uint64_t GetAllocFailureCount();

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
PlatformMutex* AllocMutex();                     // null when memory is exhausted
int InitRecursiveMutex(PlatformMutex* storage);  // 0 or the POSIX error
void DestroyMutex(PlatformMutex* mutex);         // for in-place mutexes
void FreeMutex(PlatformMutex* mutex);            // null is ignored
int LockMutex(PlatformMutex* mutex);
int UnlockMutex(PlatformMutex* mutex);
int TryLockMutex(PlatformMutex* mutex);  // 1 when taken without waiting

// Condition with a latched flag: a signal before the wait is not lost, and
// one signal releases one wait. Used with a mutex that the caller holds.
struct ConditionObject;
ConditionObject* AllocCondition();                               // null when memory is exhausted
int WaitCondition(ConditionObject* cond, PlatformMutex* mutex);  // 0, or -1
void SignalCondition(ConditionObject* cond);
void FreeCondition(ConditionObject* cond);  // null is ignored

// Formatted debug output on standard output. In 8-bit text mode the message
// is converted from Latin-1 to UTF-8 first.
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugVPrintf(const char* format, va_list args);

// ---- Serial back end ----------------------------------------------------------------
// termios serial ports for the serial library. Every operation returns one of
// the SERIAL_ result codes, which the library turns into script errors.

struct termios;

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

struct SerialNative;  // descriptor and saved terminal settings

// Settings are indices into the text tables below.
struct SerialPort {
  char deviceName[SERIAL_DEVICE_NAME_MAX + 1];
  SerialNative* native;
  int32_t baud;         // default 3: "9600"
  int32_t dataBits;     // default 3: "8"
  int32_t stopBits;     // default 0: "1"
  int32_t flowControl;  // default 0: "off"
  int32_t parity;       // default 0: "none"
  int32_t open;         // 1 while the device is open
  int32_t dtr;          // state last set, 0 or 1
  int32_t rts;
};

// Texts by index; null for an index beyond the table.
const char* SerialBaudText(int32_t index);
const char* SerialDataBitsText(int32_t index);
const char* SerialParityText(int32_t index);
const char* SerialStopBitsText(int32_t index);
const char* SerialFlowControlText(int32_t index);
const char* SerialLineStateText(int32_t index);  // DTR, RTS: "off", "on"
const char* SerialResultText(int32_t code);

SerialPort* NewSerialPort();  // defaults, device "/dev/ttyS0"; null without memory
void SetSerialDeviceName(SerialPort* port, const char* name);  // cut at 30 characters
int32_t GetSerialBaud(const SerialPort* port);
int32_t GetSerialDataBits(const SerialPort* port);
int32_t GetSerialParity(const SerialPort* port);
int32_t GetSerialStopBits(const SerialPort* port);
int32_t GetSerialFlowControl(const SerialPort* port);
int32_t GetSerialDtr(const SerialPort* port);
int32_t GetSerialRts(const SerialPort* port);
int32_t IsSerialOpen(const SerialPort* port);
int GetSerialDescriptor(const SerialPort* port);  // -1 while closed

// Setters need an open port (11); 1 for an index out of range, 5 when the
// settings cannot be read or written. The index is stored only on success.
int32_t ApplySerialBaud(SerialPort* port, int32_t index);
int32_t ApplySerialDataBits(SerialPort* port, int32_t index);
int32_t ApplySerialStopBits(SerialPort* port, int32_t index);
int32_t ApplySerialParity(SerialPort* port, int32_t index);
int32_t ApplySerialFlowControl(SerialPort* port, int32_t index);
int32_t SetSerialDtr(SerialPort* port, int32_t state);  // 10 when the ioctl fails
int32_t SetSerialRts(SerialPort* port, int32_t state);

// Opens in raw mode and applies the stored settings; 2 when the device does
// not open (or the port is open already), 5 when it cannot be set up.
int32_t OpenSerialDevice(SerialPort* port);
int32_t FlushSerialDevice(SerialPort* port);
int32_t CloseSerialFd(SerialPort* port);
// Flushes, restores the settings saved at open, closes and frees the port.
// When the settings cannot be restored (5) the port stays open and is not
// freed; any other result means the record is gone. Null is ignored.
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
// Waits until length bytes are pending or the milliseconds have passed (0:
// no limit), then reads up to length bytes; 9 when nothing came at all.
int32_t ReadSerialCount(SerialPort* port, void* buffer, size_t length, size_t* count,
                        int32_t milliseconds);
void DiscardSerialInput(SerialPort* port);
// "device: ..., baud: ..., ..." into text (always terminated).
void DescribeSerialPort(const SerialPort* port, char* text, size_t size);

// Test seam for the device calls that ptys cannot serve: the modem-line
// ioctls (TIOCMGET, TIOCMSET) and tcsetattr, which a pty refuses for some
// character sizes and parities. Null restores the system calls.
struct SerialSystemCalls {
  int (*modemIoctl)(int fd, unsigned long request, int* bits);
  int (*setAttr)(int fd, int actions, const struct termios* settings);
};
void SetSerialSystemCalls(const SerialSystemCalls* calls);

// ---- Joysticks ----------------------------------------------------------------------
// Linux joystick devices, found once, read without blocking by the event pump
// and asked for a direction and buttons. Game ports count from 0 in the order
// the devices were found. Used by the main thread only.

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
// Reads every pending event of every device without blocking.
void PollJoysticks();
// Closes the devices and forgets the scan, so the next query scans again.
void FreeJoysticks();
// The direction for two axis values, with the dead zone of +-16000.
int32_t JoystickDirection(int32_t horizontal, int32_t vertical);
// Test seam: device paths are prefix + number ("/dev/input/js" first, then
// "/dev/js"). Null restores the system paths. Takes effect at the next scan.
void SetJoystickDevicePrefixes(const char* primary, const char* fallback);

// ---- Native-service stubs and platform hooks ----
// Services that other platforms provide natively (OS decoders, directory
// notification, driver and start-up hooks). The portable code calls them
// unconditionally; here they do nothing and return fixed results, which the
// callers take as a missing service and fall back to their own code.

// Built-in display driver.
void NativeUnlockBitmapHook(void* bitmap);
int NativeBeginDoubleBufferHook(void* display);  // 0
int NativeEndDoubleBufferHook(void* display);    // 0
int NativeFlipHook(void* display);               // 0
int GetNativeScreenDepth();                      // bits per pixel, 32 when unconfigured
// The subset of the requested bitmap flags that the display adapter handles.
uint32_t AdapterSupportedBitmapFlags(uint32_t flags);
void NativeDisplayCleanupHook();
void ResetDisplayHook(void* display);
int NativeDisplayAllowed();  // 1: displays may open

// The call bridge: called instead of a plug-in function when the plug-in's
// kind word is 2; yields 0.
intptr_t NullAdapterHook();

// Start-up, threads, directories, sockets.
ErrorCode PlatformArgumentsHook(void* runContext);                  // 0
ErrorCode NativeStartupHook(void* runContext, void* playerRecord);  // 0
int NativeQuitRequested();                                          // 0: no
void NativeCleanupHook();
void ThreadLoopHook(void* thread);
int MonitorDirectoryNative(const char* path, void* request);  // 0: not supported
void StopDirectoryMonitorNative(void* request);
int NetCleanupStub();  // 1

// OS sound decoder: opening sets the file name as the error argument and
// fails with ERR_OPENSOUND2.
ErrorCode NativeOpenSoundStub(const char* name, void** outSound);
void NativeSoundSeekStub(void* sound, int64_t frame);
void NativeSoundCloseStub(void* sound);
int32_t NativeSoundDecodeStub(void* sound, void* buffer, int32_t frames);  // 0 frames
const char* NativeSoundFormatNameStub(void* sound);                        // null

// OS image decoder.
ErrorCode NativeLoadImageStub(const char* name, void** outImage);  // ERR_LOADPICTURE2
void* NativeImagePixelsStub(void* image);                          // null
void NativeImageReleaseStub(void* image);

// OS anim reader: recognises nothing.
void* NativeAnimOpenStub(const char* name);                          // null
int NativeAnimFrameStub(void* anim, int32_t frame, void* outFrame);  // 0
int32_t NativeAnimFrameDelayStub(void* anim, int32_t frame);         // 0
void NativeAnimCloseStub(void* anim);

// Sound-file reader entry points of an OS decoder: recognise nothing.
void* NativeSoundReaderOpenStub(const char* name);                         // null
int NativeSoundReaderQueryStub(void* reader, int32_t what, void* out);     // 0
int32_t NativeSoundReaderReadStub(void* reader, void* buffer, int32_t n);  // 0
int NativeSoundReaderSeekStub(void* reader, int64_t frame);                // 0
void NativeSoundReaderCloseStub(void* reader);

// OS video decoder: opening sets the file name as the error argument and
// fails with ERR_LOADVIDEO; nothing is ever open, so the rest answer 0.
ErrorCode NativeOpenVideoStub(const char* name, void** outVideo);
void NativeVideoCloseStub(void* video);
int64_t NativeVideoPositionStub(void* video);                               // 0
int NativeVideoFormatStub(void* video, void* outFormat);                    // 0
int32_t NativeVideoFrameCountStub(void* video);                             // 0
int NativeVideoFetchFrameStub(void* video, int32_t frame);                  // 0
int NativeVideoCopyFrameStub(void* video, void* pixels, int32_t rowBytes);  // 0
int NativeVideoSeekStub(void* video, int64_t position);                     // 0
void NativeVideoSuspendStub(void* video);
void NativeVideoResumeStub(void* video);
void NativeVideoThreadHook(void* video);
ErrorCode NativeVideoExportStub(void* video, const char* name);  // ERR_WRONGUSAGE
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
// Seconds a wait may still block under the record; negative for no limit.
double GetRemainingTimeout(const SocketTimeout* timeout);
// "closed" for -2, "timeout" for -1, null for 0, "unknown error" otherwise.
const char* SocketStatusText(int32_t status);

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
int IgnoreBrokenPipe();  // 1; NetCleanupStub is with the native-service stubs

// ---- Files, directories and programs ----
// The file-system and process services behind the stream layer and the dos
// library. Script paths are Latin-1 in 8-bit text mode and UTF-8 otherwise;
// the file system is always addressed in UTF-8, so names are converted on
// the way in and out (see unicodeUtf8Mode in runtime/runtime.h).

#include <cstdio>

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

// Open flags that the stream layer passes on.
enum : uint32_t {
  NATIVE_OPEN_WRITE = 2,    // create or truncate
  NATIVE_OPEN_UPDATE = 4,   // read and write an existing file (created when missing)
  NATIVE_OPEN_NATIVE = 32,  // the name is UTF-8 already
};

// Paths. GetNativePath copies ":::chunk" names unchanged; other names are
// converted to UTF-8 in 8-bit mode when convert is set, and every backslash
// becomes a slash. Null when the result does not fit or memory runs out.
char* GetNativePath(const char* name, char* buffer, size_t size, int convert);
// A new UTF-8 copy in 8-bit mode (free with FreeMemory); null means "use the
// name as it is" (UTF-8 mode, or native set) or, with *failed set, no memory.
char* ConvertNativeFileName(const char* name, int native, int* failed);
FILE* FOpenNative(const char* path, const char* mode, int native);
// realpath of name into out (NATIVE_PATH_MAX bytes), converted back to
// Latin-1 in 8-bit mode unless native; null when realpath fails.
char* ResolveNativePath(int native, char* out, const char* name);
// The program's directory (without a trailing slash); 0 when it is unknown
// or does not fit.
int GetProgramDirectory(char* buffer, size_t size, int native);

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
int StdioFlush(NativeFileHandle* handle);  // 1
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
int IsVolumeRoot(const char* path);
int GetVolumeNameNative(const char* path, char* buffer, size_t size);         // "unimplemented", 0
int GetVolumeSpaceNative(const char* path, uint64_t* total, uint64_t* free);  // 0, 0 and 0
int NativeVolumeQueryStub();                                                  // 0
void FileOperationDoneHook();

// File operations on script paths.
int DeleteFileNative(const char* path);                          // 1 / 0
int RenameFileNative(const char* oldPath, const char* newPath);  // 1 / 0
// 0; ERR_MOVEFILE when a stat or the rename fails; ERR_WRONGUSAGE when the
// two lie on different devices (the caller copies instead).
ErrorCode MoveFileNative(const char* source, const char* destination);
ErrorCode MakeDirectoryNative(const char* path);                   // 0 / ERR_CREATEDIR
int SetFileProtection(const char* path, uint32_t flags);           // 1 / 0
int SetFileDate(const char* path, const uint32_t times[2]);        // access, modification; 1 / 0
int ResolveFullPath(const char* path, char* buffer, size_t size);  // 1 / 0
// Makes path current and returns the previous directory (a new string;
// Latin-1 in 8-bit mode). Null when memory runs out (*error = ERR_MEM) or
// the directory cannot be entered (*error = ERR_DIRLOCK, the path as error
// argument; the current directory is unchanged).
char* ChangeDirectoryNative(const char* path, ErrorCode* error);
// Creates an empty file "quillmere.XXXXXX" in the temporary directory and
// writes its name into buffer: 1. 0 when it cannot be created or the name
// does not fit (the buffer then holds the empty text).
int CreateTempFile(char* buffer, size_t size);
void SetTempDirectory(const char* path);  // null or "" restores "/tmp"

// Environment and random bytes.
char* GetEnvCopy(const char* name);                           // new copy or null
ErrorCode SetEnvNative(const char* name, const char* value);  // 0 / ERR_SETENV
ErrorCode UnsetEnvNative(const char* name);                   // 0 / ERR_UNSETENV
int ReadRandomBytes(void* buffer, size_t count);              // 1 when all were read

// Programs. A path whose file part has an extension other than ".exe" is a
// document and is opened with "xdg-open". Synchronous runs go through the
// shell (every path quoted) and wait; asynchronous runs fork and exec the
// split argument vector. *childId receives the process id when given.
ErrorCode RunProgram(const char* path, const char* arguments, int asynchronous, int32_t ignored,
                     int32_t* childId);
ErrorCode StartProgram(const char* path, const char* arguments, int asynchronous);

// Splits an argument string at blanks: "..." keeps its blanks (quotes
// dropped), ">file" or "> file" names the output file. At most
// PROGRAM_ARGS_MAX arguments. ERR_WRONGUSAGE for a missing closing quote,
// too many arguments or an output name of more than 255 bytes; ERR_MEM.
constexpr size_t PROGRAM_ARGS_MAX = 126;
struct ProgramArguments {
  char* argv[PROGRAM_ARGS_MAX + 2];  // program, arguments, null
  size_t count;                      // entries before the null
  char output[256];                  // empty when not redirected
};
ErrorCode SplitProgramArguments(const char* program, const char* arguments, ProgramArguments* out);
void FreeProgramArguments(ProgramArguments* args);

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
// Called on the watcher thread once when the program ended normally (not
// by a signal). Null restores the default, which posts the cross-thread
// "program finished" event.
using ProgramFinishedHandler = void (*)(ProgramRequest* request);
void SetProgramFinishedHandler(ProgramFinishedHandler handler);

// The running program's absolute path. RecordProgramPath resolves the first
// argument of main (the kernel's link to the executable when that fails).
void RecordProgramPath(const char* argv0);
// Copies the path, converted to Latin-1 in 8-bit mode unless raw; 0 when
// it does not fit or is unknown (the buffer then holds the empty text).
int GetProgramPath(char* buffer, size_t size, int raw);

// ---- Threads and timers ----
// Worker threads with a start hand-shake, a polled stop request and a join
// with release; POSIX timers whose signals are taken by one signal thread
// (SIGRTMIN and SIGRTMIN + 1 stay blocked everywhere else) and reach the
// main thread through the wake pipe; the shared 20 ms poll timer and the
// pipe reader that serves a display-adapter plug-in's event loop.

#include <ctime>

struct ThreadRecord;  // owned by the starter until JoinThread frees it
struct VmState;
using ThreadEntry = void* (*)(void* argument);

// A thread with default attributes for priority 0, else round-robin at
// min(priority, the system's maximum); when those attributes are refused
// (setting them, or the creation with them) the thread is started again
// with default attributes. The timer signals stay blocked in the new
// thread. 0 when no thread could be made.
pthread_t CreateThread(ThreadEntry entry, void* argument, int32_t priority);
// Test seam: the creation call that CreateThread uses; null restores
// pthread_create.
using ThreadCreateFunc = int (*)(pthread_t* thread, const pthread_attr_t* attributes,
                                 ThreadEntry entry, void* argument);
void SetThreadCreateFunction(ThreadCreateFunc create);

// Starts entry with the new record as its argument and waits until the
// thread reports its set-up: the record, or null when the thread could not
// be made or reported a failure (that thread has then been joined). Name
// and stack size are not used on this platform.
ThreadRecord* StartNamedThread(const char* name, ThreadEntry entry, void* argument,
                               uintptr_t reserved, size_t stackSize, int32_t priority);
void RequestThreadStop(ThreadRecord* thread);
// Releases the thread, joins it and frees the record.
void JoinThread(ThreadRecord* thread);
// holder's second word is a ThreadRecord*: stop request, then JoinThread.
void StopAndJoinThread(void* holder);

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
TimerRecord* FindTimerRecord(int32_t oneShot, uintptr_t key1, uintptr_t key2, TimerRecord** next);
void MarkTimerFired(TimerRecord* record);  // ignored when no longer listed
// A timer message read from the wake pipe: marks its record fired.
struct WakeMessage;
void HandleTimerMessage(const WakeMessage* message);
void FreeAllTimers();
// FreeAllTimers, then the signal thread ends and the lock is freed.
void ShutdownTimers();
// 1 when a timer signalling SIGRTMIN with record as its value runs.
int CreatePosixTimer(int periodic, int32_t milliseconds, void* record, timer_t* id);

// Sleeps the milliseconds while the event poll keeps running: 0, the wait's
// or the poll's error, or ERR_USERABORT when the run is asked to stop.
ErrorCode SleepWithEvents(VmState* L, int32_t milliseconds);
// The shared 20 ms poll timer: clients 0 (audio) and 1 (event handlers).
ErrorCode AcquirePollTimer(VmState* L, int32_t client);
void ReleasePollTimer(VmState* L, int32_t client);

// Starts the watcher thread of a program run in the background (what
// StartProgramThread does): it runs the program and, once it ended normally,
// calls the finished handler; 0, or ERR_THREAD when the thread or the
// program could not be started. The owner ends it with StopAndJoinThread.
struct ProgramRequest;
ErrorCode StartProgramWatcher(ProgramRequest* request);

// The pipe reader runs only while a display-adapter plug-in drives the
// event loop: 0 or ERR_THREAD.
ErrorCode StartPipeReader();
void StopPipeReader();

// ---- X11 connection, event wait and wake-up ----
// Process-wide X11 set-up, one connection record per server name, the wake
// pipe that lets any thread end the main thread's wait, the wait itself and
// the orderly close. Xlib types stay inside the folder (x11_private.h).

struct X11ConnectionRecord;
struct X11DisplayRecord;

// The message written into the wake pipe as one unit: kinds below, value a
// timer record or a connection record where the kind says so.
struct WakeMessage {
  uint32_t kind;
  uint32_t reserved;
  uint64_t value;
};
enum : uint32_t {
  WAKE_EVENT = 0,       // value 0
  WAKE_TIMER = 1,       // value: the TimerRecord that fired
  WAKE_POINTER = 2,     // value: the X11ConnectionRecord whose pointer moved
  WAKE_END_READER = 3,  // value 0
};

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
int32_t GetX11PixelFormat(const X11ConnectionRecord* connection);  // -1: none matched
// The wake pipe (made once per process): 0 or ERR_PIPE.
ErrorCode PrepareX11BackEnd();
ErrorCode AllocX11DisplayRecord(X11DisplayRecord** out);  // 0 or ERR_MEM
void FreeX11DisplayRecord(X11DisplayRecord* record);      // null is ignored

// Makes the process's wake pipe on the first call (both ends non-blocking)
// and hands out the same ends afterwards; 1, or 0 when no pipe can be made.
// Either pointer may be null.
int CreateWakePipe(int* readEnd, int* writeEnd);
// One atomic write; safe from any thread. Nothing happens without a pipe.
void SendWakeMessage(uint32_t kind, uint64_t value);
// Wakes an adapter's event loop, or the event wait.
ErrorCode WakeEventLoop();
// Reads every waiting message; timer messages go to the timer list. Returns
// a mask of the kinds seen (bit 1 << kind). A pointer message's connection
// is written to *pointerConnection when that is given.
uint32_t ReadWakeMessages(X11ConnectionRecord** pointerConnection);
// Blocks until the wake pipe or any connection has input, or returns at once
// when events are pending (the flag, cleared here, or events that Xlib has
// queued already). 0.
ErrorCode WaitForEvents(void* caller, uint32_t flags);
// Set by the pump when it left events for its next pass.
void SetX11EventsPending(int pending);
// The NOMOUSEHOOK setting: no pointer-watch threads for new connections.
void SetNoPointerThread(int off);
// The last X protocol error code that a request caused (0 when none), and
// clears it. X errors never end the program; a lost connection is reported
// as ERR_XDISPLAY.
int32_t TakeX11Error();
// The desktop scale factor: Xft.dpi / 96, 1.0 without it.
void GetDpiScaleFactor(double* factor);
// Shut-down: timers, every connection with its threads, the requester
// thread, the desktop libraries.
void CloseX11Connection();

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
// Runs the installed poll; 0 without one.
int RunEventPoll(VmState* L, int32_t flags, int32_t unused, ErrorCode* error);
// Test seam: the poll that the sleep runs between wake-ups (the installed
// one unless replaced; null restores it).
void SetSleepEventPoll(EventPollFunction poll);

// A display-adapter plug-in's event loop: whether it drives the loop, and
// its wake-up (null: no adapter). Either may be called from any thread.
using AdapterActiveFunction = int (*)();
using AdapterWakeFunction = ErrorCode (*)();
void SetDisplayAdapterHooks(AdapterActiveFunction active, AdapterWakeFunction wake);
// 1 while a display-adapter plug-in drives the event loop.
int DisplayAdapterActive();
// Asks an installed display adapter's event loop to run once; 0 without one.
ErrorCode WakeAdapterEventLoop();

// The display library's answer to "which window parents a requester": the
// X11 part of the first open display with a window, or null; and the
// release (0) or renewal (1) of that display's grab (null: not handed back).
using RequesterParentFunction = X11DisplayRecord* (*)();
using RequesterGrabFunction = void (*)(int grab);
void SetRequesterParentHooks(RequesterParentFunction parent, RequesterGrabFunction grab);

// The applet's title as start-up knows it (null: none).
using AppletTitleFunction = const char* (*)();
void SetAppletTitleSource(AppletTitleFunction source);

// Starts or stops an interval record of the event library through the timer
// list; the record's address is the timer's key.
ErrorCode AddTimerRecord(VmState* L, void* interval, int32_t milliseconds, int32_t periodic);
void RemoveInterval(VmState* L, void* interval);
// Blocks until the next platform event or wake-up: 0, or an error code.
ErrorCode WaitPlatformEvent(VmState* L, int32_t mode, int32_t reserved, void* unused);

// Appends a node to the cross-thread event list for the main thread.
void PostThreadEvent(int32_t kind, uintptr_t argument1, uintptr_t argument2, uintptr_t value1,
                     uintptr_t value2, int32_t wake);
// The sample-loop timer of an audio channel expired: posts its loop event.
void HandleSampleLoopSignal(void* channel);

// ---- Desktop-library binding ----
// The optional desktop libraries (GTK 2, GLib, GObject, Pango, libnotify,
// ALSA, Xfixes, Xcursor, XF86VidMode, XRandR, Xss) are opened by name when
// the X connection is set up; callers test a library's flag before using its
// functions (dynlib.h holds the slots).

enum DesktopLibrary : int32_t {
  DESKTOP_ALSA,
  DESKTOP_XFIXES,
  DESKTOP_XCURSOR,
  DESKTOP_XVIDMODE,
  DESKTOP_PANGO,
  DESKTOP_XRANDR,
  DESKTOP_XSS,
  DESKTOP_NOTIFY,
  DESKTOP_GTK,
  DESKTOP_GLIB,
  DESKTOP_GOBJECT,
  DESKTOP_LIBRARY_COUNT,
};
void BindDesktopLibraries();
void UnbindDesktopLibraries();
int DesktopLibraryOpen(DesktopLibrary library);  // 1 when its handle is set
int DesktopGtkAvailable();                       // GTK, GLib and GObject all opened
int DesktopXRandrAvailable();                    // every XRandR function was found
// Test seam: what opens a library file and finds a function in it; null
// members restore dlopen and dlsym.
struct DesktopLibraryCalls {
  void* (*open)(const char* file, int flags);
  void* (*lookup)(void* handle, const char* name);
};
void SetDesktopLibraryCalls(const DesktopLibraryCalls* calls);

// ---- Requesters ----
// Message, file, path, string, list, font and colour requesters: GTK 2
// dialogs shown by a thread of their own when GTK is bound and an X display
// opens, console prompts otherwise. Each blocks its caller until answered.
// Answers of the message requester: buttons count from 1 at the left, the
// rightmost answers 0. End of input on the console cancels.

#include <cstdio>

// Button sets: 0 "OK|Cancel", 1 "Yes|No", 2 "Yes|No|Cancel", 3 a single OK,
// 4 any other string (*buttons is kept only for 4).
int32_t RequesterButtonsFromType(const char** buttons);

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
// Test seam: the console's input and output (null restores stdin, stdout).
void SetRequesterConsole(FILE* input, FILE* output);
// Stops the GTK requester thread when it runs (shut-down).
void StopRequesterThread();
// The argument count and vector that GTK is initialised with.
void SetRequesterArguments(int* argc, char*** argv);

// ---- Locale and catalogs ----
// The user's language and country from LANG, the tables between the
// script's LANGUAGE_ and COUNTRY_ ids and ISO codes, and locale catalogs:
// string tables in the user's language, either IFF "FORM" "CTLG" files or
// plain UTF-8 text files with one string per line. Used by the main thread.

struct StreamHandle;

constexpr int32_t LANGUAGE_ENGLISH = 0;
constexpr int32_t LANGUAGE_UNKNOWN = 18;  // no table row has it
constexpr int32_t COUNTRY_UNKNOWN = 38;   // no table row has it

// From LANG: its first two characters among the language codes (exact,
// case-sensitive); the two characters after its first underscore among the
// country codes. LANGUAGE_UNKNOWN / COUNTRY_UNKNOWN when LANG is unset or
// does not match.
int32_t GetSystemLanguageId();
int32_t GetSystemCountryId();
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

// A catalog read whole into memory; strings are fetched by number.
struct Catalog;
// base/directory/<language name>/catalog, opened for reading through the
// stream layer with file adapters; null when it does not open. base may be
// null; useNative picks the native name where the row has one.
StreamHandle* BuildCatalogPath(const char* base, const char* directory, const char* catalogName,
                               int32_t languageId, int useNative);
// Null for English or an unknown language (no catalog is searched), when no
// catalog file opens, or when the file holds no strings.
Catalog* LoadCatalogFile(const char* name);
// The catalog's string of that number in the run's text mode, or def. The
// text stays valid until the catalog is freed.
const char* LookUpCatalogString(Catalog* catalog, int32_t number, const char* def);
void FreeCatalogFile(Catalog* catalog);  // null is ignored
Catalog* OpenLocaleCatalog(const char* name);
// The script library's form: the version a script asks for is not
// compared, since the reader takes any catalog of the name.
Catalog* OpenLocaleCatalog(const char* name, int32_t version);
const char* GetLocaleString(Catalog* catalog, int32_t number, const char* def);
void CloseLocaleCatalog(Catalog* catalog);

// The player's own catalog ("Quillmere.catalog"): opened at start-up, its
// strings replace the built-in texts of the same numbers (a replacement is
// taken only when its conversions match the built-in text's). Opening again
// closes the previous one. Returns whether a catalog was found.
constexpr const char* PLAYER_CATALOG_NAME = "Quillmere.catalog";
int OpenPlayerCatalog();
void ClosePlayerCatalog();
// Installs catalog (may be null) as the source of the built-in texts
// without taking ownership; the caller keeps it open while installed.
void InstallTextCatalog(Catalog* catalog);

// ---- X11 windows, pointers, modes, monitors and drawing ----
// The window side of the X11 back end for the display library: windows with
// their window-manager properties, pointers, monitors and screen modes,
// drawing straight into a window and the copy of bitmap rectangles into it.
// Every function takes the display library's record; X errors come back as
// error codes.

struct DisplayRecord;
struct BitmapHandle;
struct X11PointerNode;

ErrorCode OpenX11DisplayWindow(DisplayRecord* display, int takeFocus, BitmapHandle* shapeMask,
                               BitmapHandle* alpha);
void CloseX11DisplayWindow(DisplayRecord* display);
void MoveX11Window(DisplayRecord* display);
void SizeMoveX11Window(DisplayRecord* display);
void SetX11SizeHints(DisplayRecord* display, long flags);
void SetX11WindowTitle(DisplayRecord* display);
void ActivateX11Window(DisplayRecord* display);
ErrorCode IconifyX11Window(DisplayRecord* display, int iconify);
ErrorCode DetermineX11BorderSizes(DisplayRecord* display);
// Whether X can show a window of this size (1..32767 each way).
int IsX11SizePossible(int32_t width, int32_t height);
// The built-in window icon: width, height and pixels per image, five images.
constexpr size_t X11_ICON_VALUES = 69706;
const uint32_t* GetWindowIconBlock();
// Applet icons replace the built-in image of the same size (a copy is made).
void SetWindowIconImage(int32_t width, int32_t height, const uint32_t* pixels);
void SetScreenSaverEnabled(X11DisplayRecord* record, int enable);

ErrorCode CreateX11Pointer(const uint32_t* argb, int32_t hotX, int32_t hotY, X11PointerNode** out,
                           int32_t width, int32_t height);
void FreeX11Pointer(X11PointerNode* pointer);
void SetX11Pointer(DisplayRecord* display, X11PointerNode* pointer, int32_t kind);
void ShowX11Pointer(DisplayRecord* display);
void HideX11Pointer(DisplayRecord* display);
void MoveX11Pointer(DisplayRecord* display, int32_t x, int32_t y);
// The cursors made from a pointer's image so far (one per X server).
int32_t CountX11PointerCursors(const X11PointerNode* pointer);

// Monitors: a chain of {next, x, y, width, height}, freed node by node with
// FreeMemory; null when no connection can be made or memory runs out.
struct X11MonitorNode {
  X11MonitorNode* next;
  int32_t x, y, width, height;
};
X11MonitorNode* ListX11Monitors(DisplayRecord* display);
struct X11DisplayMode {
  int32_t width, height, refresh, current;
  uint32_t modeId;
};
int32_t GetX11DisplayModes(DisplayRecord* display, X11DisplayMode* modes);
ErrorCode SetFullscreenMode(DisplayRecord* display, int32_t width, int32_t height);
ErrorCode RestoreScreenMode(DisplayRecord* display);
BitmapHandle* GrabX11ScreenPixels(DisplayRecord* display, int32_t x, int32_t y, int32_t width,
                                  int32_t height);
// The choice of SetFullscreenMode: the smallest mode at least as large as
// asked, -1 when none is.
int32_t ChooseX11DisplayMode(const X11DisplayMode* modes, int32_t count, int32_t width,
                             int32_t height);

void DrawX11Line(DisplayRecord* display, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                 uint32_t colour);
void DrawX11Point(DisplayRecord* display, int32_t x, int32_t y, uint32_t colour);
void FillX11Rect(DisplayRecord* display, int32_t x, int32_t y, int32_t width, int32_t height,
                 uint32_t colour);
void PutPixelsToWindow(BitmapHandle* bitmap, int32_t sx, int32_t sy, DisplayRecord* display,
                       int32_t dx, int32_t dy, int32_t width, int32_t height);

// ---- Entry point and system glue ----
// The process entry (main.cpp) and the small platform services that the
// portable runtime calls directly: the run function that the portable main
// hands the script to, the running script's state, the quit switches of the
// event library, special directories, the desktop opener, the bell and the
// free-memory reading, and entry points that do nothing on this platform.

struct VmState;

// Starts the pipe reader (its ERR_THREAD is returned without running the
// script), records L as the running state, runs the main chunk through
// RunScriptMainLoop, clears the state and stops the pipe reader.
ErrorCode RunPlatformMainLoop(VmState* L);
// The VM state of the running script, null while none runs.
VmState* GetRunningVmState();
// The quit switches: 8 quit on Ctrl+C (on at start), 9 on the left mouse
// button, 10 on Escape. Other ids are ignored.
constexpr int32_t PLATFORM_QUIT_CTRLC = 8;
constexpr int32_t PLATFORM_QUIT_LMB = 9;
constexpr int32_t PLATFORM_QUIT_ESCAPE = 10;
void SetPlatformOption(void* caller, int32_t id, int32_t value);
// The platform's answers to the bitmap attribute codes that the bitmap
// layer passes on: 5 depth 32, 6 and 7 the pointer (0 for now), 8 to 10
// the quit switches above, 11 and 12 16, 16 1, 17 0; other codes give 0
// for a null argument, else the software bitmap's attribute.
intptr_t GetPlatformBitmapAttr(const void* displayOrBitmap, int32_t code);
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
ErrorCode NativeCreatePortStub();                            // ERR_CREATEPORT
ErrorCode NativeSendMessageStub(char* message);              // frees it; ERR_FINDPORT
void GetNominalDpi(int32_t* horizontal, int32_t* vertical);  // 72, 72
int ScreenModeAvailable();                                   // 1
int DisplayEventSetupStubA();                                // 0
int DisplayEventSetupStubB();                                // 0
int NativeFirstDisplayHook();                                // 0
void PlatformNoOp();
int PlatformNoOpZero();  // 0

// ---- Context record ----
// The folder's mutable state (the X connection and the catalogs) lives in one
// record. Init puts it in its start state; Free releases whatever it still
// holds and leaves it in the start state. The library table calls both.
void InitPlatformContext();
void FreePlatformContext();
