// The data and system libraries' own declarations beside libs/libs.h: the
// math library's seeding and test hook, and the dos library's open files,
// I/O switches and value reader and writer, which serialisation and the
// memory-block commands use too. Used inside libs/ and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine.h"
#include "libs/libs.h"
#include "runtime/player.h"
#include "runtime/runtime.h"

// ---- Math library ----

// Test seam: seeds both generators now, as the opener does.
void SeedMathGenerators(int64_t seed);
// Test seam: a seed of 0 or more replaces the time at the next openings;
// a negative one restores the time.
void SetMathSeedOverride(int64_t seed);

// ---- Timers, waits and dates (system library) ----

// Register the timer and wait commands with their constants, the timer
// list and its attribute reader, and the date commands with theirs.
ErrorCode OpenTimerCommands(VmState* L);
ErrorCode OpenDateCommands(VmState* L);
// Frees every timer with its object data.
void FreeTimers(VmState* L);

// ---- Other system commands ----

// Register the table, iteration and handle commands with the commands of
// other platforms (part of the system library's opening).
ErrorCode OpenTableCommands(VmState* L);
// Register the preferences, catalog, locale, folder and run information
// commands; the plug-in and object commands; the requester, clipboard,
// notification and desktop commands.
ErrorCode OpenInfoCommands(VmState* L);
ErrorCode OpenObjectCommands(VmState* L);
ErrorCode OpenRequesterCommands(VmState* L);
// Closes the script's catalog.
void FreeInfoResources();
// Pushes the list of the loaded plug-ins' information tables from index 0.
ErrorCode PushPluginInfoList(VmState* L);

// ---- Dos library ----

// Object type code of open files.

// Mode constants of OpenFile.
enum : int32_t {
  MODE_READWRITE = 1004,
  MODE_READ = 1005,
  MODE_WRITE = 1006,
};

// One open file of the dos library; the head links it into the file list.
struct FileObject {
  ObjectHead head;
  int32_t mode;     // MODE_READ, MODE_WRITE or MODE_READWRITE
  uint32_t access;  // stream open bits: 1 read, 2 write, 4 read and write
  StreamHandle* stream;
};

// The open file of an identifier: ERR_FINDARRAY for an unknown automatic
// identifier, ERR_FINDFILE (the number as error argument) for a number.
ErrorCode GetFileById(ObjectId id, FileObject** out);
// Reads an identifier argument and finds its file: the error of
// GetFileById when there is none.
ErrorCode GetFileArg(VmState* L, int index, FileObject** file);

// The library's I/O switches.
int32_t GetDosIoMode();    // 0 buffered, 1 unbuffered
int32_t GetDosCrSwitch();  // non-zero: line ends are CR LF
// Moves bytes by the I/O mode; the number of bytes moved.
size_t DosReadBytes(StreamHandle* stream, void* buffer, size_t count);
size_t DosWriteBytes(StreamHandle* stream, const void* buffer, size_t count);
// One byte by the I/O mode, -1 at the end.
int DosReadByte(StreamHandle* stream);

// Fixed-width values: with raw clear and little clear, 2-, 4- and 8-byte
// values are big-endian in the file; other sizes, raw and little-endian
// values are moved as they are. With a cursor the bytes go to or come from
// memory at *cursor (advanced), else the stream. A short transfer is
// ERR_WRITE / ERR_READ.
ErrorCode WriteFileValue(StreamHandle* stream, const void* data, bool raw, size_t size, bool little,
                         uint8_t** cursor);
ErrorCode ReadFileValue(StreamHandle* stream, void* destination, bool raw, size_t size, bool little,
                        const uint8_t** cursor);
// Reads one UTF-8 character (byte-order marks skipped) into out (at least
// 5 bytes, zero-terminated): ERR_READ at the end or when the end cuts it,
// ERR_INVALIDUTF8 for a bad sequence.
ErrorCode ReadUtf8Char(StreamHandle* stream, char* out);

// ---- Directories, paths and patterns ----

struct DirectoryObject;
// Registers the directory commands, the "DIR*" metatable, the directory
// list and its attribute reader (part of the dos library's opening).
ErrorCode OpenDosDirectories(VmState* L);
// Frees every directory and deletes the temporary files of GetTempFileName.
void FreeDosDirectories(VmState* L);
// The open directory of an identifier: ERR_FINDARRAY for an unknown
// automatic identifier, ERR_FINDDIR (the number as error argument) for a
// number.
ErrorCode GetDirectoryById(ObjectId id, DirectoryObject** out);
// Whether the name matches one of the ";"-separated wildcard patterns of
// the list ("?" any character, "#" a digit, "*" any run, "[...]" and
// "[!...]" sets); case-sensitive. An empty list matches nothing.
bool MatchPatternList(const char* name, const char* list, size_t length);

// ---- File management and programs ----

// Register the copy, move, delete, rename, directory, attribute and
// environment commands, and the program commands with the finished-run
// hooks of the event dispatch (parts of the dos library's opening).
ErrorCode OpenDosFileManagement(VmState* L);
ErrorCode OpenDosPrograms(VmState* L);
// Stops and frees the run records and deletes the extracted programs.
void FreeDosPrograms(VmState* L);

// ---- Serialised tables and functions ----

// The commands, listed in the dos library's table.
int CmdWriteTable(VmState* L);
// A table body (tagged entries ended by a zero byte, no magic) written to
// or read from the stream by the dos library's I/O mode; the reader keeps
// the table's other entries.
ErrorCode WriteTableBody(VmState* L, int table, StreamHandle* stream);
ErrorCode ReadTableBodyInto(VmState* L, StreamHandle* stream, int table);
int CmdReadTable(VmState* L);
int CmdWriteFunction(VmState* L);
int CmdReadFunction(VmState* L);

// ---- Packing, checksums and virtual files ----

// The commands, listed in the dos library's table.
int CmdCompressFile(VmState* L);
int CmdDecompressFile(VmState* L);
int CmdCRC32(VmState* L);
int CmdMD5(VmState* L);
int CmdDefineVirtualFileFromString(VmState* L);
int CmdUndefineVirtualStringFile(VmState* L);
int CmdGetAsset(VmState* L);
int CmdApplyPatch(VmState* L);
int CmdDefineVirtualFile(VmState* L);

// ---- Memory blocks ----

// One block of the memory-block list. A block that wraps a virtual string
// file holds a use of the record and reads its data and size at each
// access (writes to the file may move or grow them); buffer and size are
// then unused. Otherwise size 0 means the size is unknown (a wrapped
// pointer) and no access can be checked.
struct MemBlockObject {
  ObjectHead head;
  int32_t size;
  uint8_t* buffer;
  int32_t borrowed;   // the buffer belongs to someone else and stays
  VirtualFile* file;  // the wrapped virtual file, or null
};

// ---- Icons ----

struct PictureHandle;

// One image size of an icon: the normal image and optionally the selected
// one, as packed ARGB pixels or, for a vector entry, as held pictures.
struct IconImageEntry {
  IconImageEntry* next;
  int32_t width;
  int32_t height;
  int32_t transparent;  // the images have a mask or alpha channel
  int32_t standard;
  uint32_t* normal;  // null for a vector entry
  uint32_t* selected;
  PictureHandle* normalVector;  // one reference held, else null
  PictureHandle* selectedVector;
};
struct IconObject {
  ObjectHead head;
  IconImageEntry* entries;  // ordered by width
};

// Reads an icon file into a new entry list (ERR_LOADICON with the name as
// error argument for a file it refuses); FreeIconEntries frees a list.
ErrorCode ParseIconImage(const char* name, const char* loaders, IconImageEntry** out);
void FreeIconEntries(IconImageEntry* list);  // null is ignored

// ---- Application icon set ----

// Installs the start-up steps below with the runtime (the icon library's
// opener calls it).
void InstallAppIconHooks();
// Reads the icon file that the applet declares (the first resource of kind
// 17) and lends its images to the icon table's slots of their size; the
// slots' file names are dropped. Nothing to do without a declaration.
ErrorCode LoadAppletIcon(PlayerRecord* record, PlayerRunContext* context);
// Builds the application icon set from the slots (a slot's picture file,
// else the pixels lent to it) and puts its normal images into the window
// icon. ERR_ICONDIMS with the slot's size ("16x16") for a picture of
// another size; the set is unchanged then.
ErrorCode LoadDefaultAppIcons(int verbose);
// The application icon set (null when none was built).
const IconImage* GetAppIconSet();
// The shut-down's part: frees the set and the applet's entries, clears the
// lent pixels, removes the hooks and puts the built-in window icon back.
void FreeAppIcons();
