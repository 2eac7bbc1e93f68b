// Services of the data and system libraries that other folders use. Each
// concern keeps its own section; what only libs/ calls is in
// libs/libs_private.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/errors.h"

struct VmState;
struct DateFields;
struct VmStringBuffer;
struct StreamHandle;

// ---- Dos library ----

// Registers the "dos" library, its commands (into the table at the top of
// the stack, normally the globals), its constants, the "FILE*" metatable
// and the file list.
ErrorCode OpenDosLibrary(VmState* L);
// The dos library's shut-down: closes and frees every open file and the
// virtual files, and puts the I/O switches back to their start.
void FreeDosResources(VmState* L);
// The full path of the current directory (the empty text when it cannot be
// read), at most size bytes.
void GetCurrentDirPath(char* buffer, size_t size);
// Makes the path the current directory: 0, or the platform's error.
ErrorCode SetCurrentDirPath(const char* path);
// The encoding that encoding arguments default to: 0 Latin-1, 1 UTF-8.
int32_t DefaultLibraryEncoding();

// Base64 text with line breaks: a break (CR LF under the dos library's
// carriage-return switch, else LF) goes before the next character once 72
// characters stand on a line, unless noBreaks is set. The text goes to
// exactly one target: a string builder, a memory buffer (room for
// Base64LinesSize bytes; *count receives the bytes written, breaks
// included) or a stream (written by the dos library's I/O mode).
struct Base64Target {
  VmStringBuffer* builder = nullptr;
  uint8_t* buffer = nullptr;
  size_t* count = nullptr;
  StreamHandle* stream = nullptr;
};
// The text's size with its breaks; ERR_MEM in *error when it overflows.
size_t Base64LinesSize(size_t count, bool noBreaks, ErrorCode* error);
// ERR_WRITE when a stream takes fewer bytes.
ErrorCode EncodeBase64Lines(const Base64Target& target, const void* data, size_t count,
                            bool noBreaks);

// ---- System library ----

struct ObjectId;

// Registers the "system" library, its commands (into the table at the top
// of the stack, normally the globals) and its constants.
ErrorCode OpenSystemLibrary(VmState* L);

// The system library's shut-down: frees every timer.
void FreeSystemResources(VmState* L);

// The preferences file of the applet (named by its identifier, in the
// preferences directory): the table at the stack index written as "PRFS"
// and a table body, or the file's entries read into that table (its other
// entries stay). ERR_WRONGUSAGE for an empty identifier or one that could
// name another directory; loading a missing file is ERR_READFILE,
// ERR_FILEFORMAT for another magic.
ErrorCode SavePrefsFile(VmState* L, int table);
ErrorCode LoadPrefsFile(VmState* L, int table);
// 1 with the path of the special folder written into the buffer when it
// has one here (0 the program, 6 the home, 7 the user name, 12 the
// preferences, 13 the temporary files), else 0.
int GetSpecialFolderPath(int32_t id, char* buffer, size_t size);

// The registry's object of a type and identifier, or null; the type of the
// object whose automatic identifier is the handle, or -1.
struct ObjectHead;
ObjectHead* FindObjectEntry(int32_t type, ObjectId id);
int32_t GetObjectTypeOfHandle(void* handle);

// ---- ARexx library ----

// Registers the "arexx" library: its port commands, which report that
// this platform lacks them.
ErrorCode OpenArexxLibrary(VmState* L);

// ---- Dates ----

// Date texts have the form "dd-Mon-yyyy hh:mm:ss" (English month
// abbreviations, 20 characters).
// The file-date parser: 1 when the text has exactly that form (separators
// checked), the day is 1 to 31, the month one of the twelve names (any
// case), hours at most 23, minutes and seconds at most 59; then the fields
// are filled (month 0 to 11, year as written). 0 for any other text.
int ParseDateString(const char* text, DateFields* out);
// Writes the current local date and time as a date text.
void FormatCurrentDate(char* buffer, size_t size);
// Writes a date as a date text (the year with at least four digits).
void FormatDateText(const DateFields* date, char* buffer, size_t size);

// ---- Math library ----

// Registers the "math" commands and PI into the table at the top of the
// stack (normally the globals) and seeds the process-wide drand48 and rand
// generators with the time in seconds (or the test seed, below).
ErrorCode OpenMathLibrary(VmState* L);

// ---- Memory block library ----

struct MemBlockObject;
struct ObjectId;

// Registers the "memblock" library, its commands, its byte-order constants,
// the block list and its attribute reader.
ErrorCode OpenMemBlockLibrary(VmState* L);
// The shut-down: frees every block (its buffer unless borrowed) and
// releases the virtual files that blocks wrap.
void FreeAllMemBlocks(VmState* L);
// The block of an identifier: ERR_FINDARRAY for an unknown automatic
// identifier, ERR_FINDMEMBLK (the number as error argument) for a number.
ErrorCode GetMemBlockObject(ObjectId id, MemBlockObject** out);

// ---- Serial library ----

// Registers the "serial" library, its commands, its setting constants, the
// port list and its attribute reader.
ErrorCode OpenSerialLibrary(VmState* L);
// The shut-down: closes and frees every port.
void FreeAllSerialPorts(VmState* L);

// ---- Icon library ----

struct IconObject;

// Registers the "icon" library, its commands, the icon list and its
// attribute reader.
ErrorCode OpenIconLibrary(VmState* L);
// The shut-down: frees every icon.
void FreeAllIcons(VmState* L);
// The icon of an identifier: ERR_FINDARRAY for an unknown automatic
// identifier, ERR_FINDICON (the number as error argument) for a number.
ErrorCode GetIconById(ObjectId id, IconObject** out);

// Icon images handed to plug-ins: pixels 0xAARRGGBB, rows packed; flags 1
// standard, 2 the selected image, 4 opaque.
struct IconImage {
  IconImage* next;
  uint32_t* pixels;
  int32_t width;
  int32_t height;
  uint32_t flags;
};
struct ScaledIconImage {
  uint32_t* pixels;
  int32_t width;
  int32_t height;
  uint32_t flags;
};
// Each entry's normal image and, right after it, its selected image; null
// when there is no such icon, it has no entries, or anything fails.
IconImage* CopyIconImages(ObjectId id);
// The image for the standard entry's size times scale (0 or less: the
// display's scale factor) from the entry nearest in width. Request flags:
// 1 the selected image, 2 never scale, 4 exact size only, 8 smooth
// scaling. Null when there is nothing to give.
ScaledIconImage* GetScaledIconImage(ObjectId id, double scale, uint32_t flags);
void FreeIconImageList(IconImage* list);  // null is ignored
// The window icon's images (built in, or replaced by the application icon
// set's image of their size), then the set's images of other sizes or
// kinds, in set order; null when memory runs out.
IconImage* GetAppIconImages();
void FreeScaledIconImage(ScaledIconImage* image);  // null is ignored

// ---- Network library ----

// Registers the "network" library: its commands (into the table at the top
// of the stack, normally the globals), constants, the connection, server
// and UDP lists with their attribute readers, the socket back end's hooks
// and the dispatcher's network event source.
ErrorCode OpenNetworkLibrary(VmState* L);
// The network library's shut-down: every connection, server and UDP
// object, then the socket layer's clean-up.
void FreeAllNetworkObjects(VmState* L);
