// Services of the runtime core that other folders use: core utilities
// (sentinel lists, paths, CRC-32), registries, the event
// queue, streams, MD5 and Base64, typed memory access, services, start-up
// and options. Each concern keeps its own section; what only runtime/ calls
// is in runtime/*_private.h. The bounded strings and the Unicode/UTF-8
// character layer are the platform's (platform/linux/platform.h, included
// here).
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine.h"  // the error argument and policy words
#include "platform/linux/errors.h"
#include "platform/linux/platform.h"  // TimeValue, DateFields, PlatformMutex, strings

// ---- Core utilities ----------------------------------------------------------

// Doubly linked lists with a sentinel header. An empty list's head points at
// its own tail field and its tailPred at the header, so the header is the
// first node's predecessor and &tail the last node's successor; tail is
// always null. Every record kept in a list starts with a Node.
struct Node {
  Node* succ;
  Node* pred;
};
struct List {
  Node* head;
  Node* tail;  // always null
  Node* tailPred;
};
void NewList(List* list);

bool IsAbsolutePath(const char* path);  // begins with '/'
int FindLowestBit(uint32_t mask);       // 0..31, or -1 for 0

// CRC-32 of zlib and PNG (reflected 0xEDB88320, initial and final complement).
void InitCrc32Table();
uint32_t ComputeCrc32(const void* buffer, size_t length);  // 0 for length 0

// ---- Registries, hooks and global attributes ----
// Append-only lists kept by the runtime, walked in registration order and
// freed together by FreeRegistries. Used by the main thread only.

struct VmState;
struct VmDebugInfo;
struct CommandTableEntry;
struct DisplayRecord;

// Command libraries in opening order.
constexpr size_t LIBRARY_NAME_MAX = 63;  // longer names are cut
struct LibraryEntry {
  LibraryEntry* next;
  const CommandTableEntry* commands;
  char name[LIBRARY_NAME_MAX + 1];
};
ErrorCode RegisterLibrary(const CommandTableEntry* commands, const char* name);
const LibraryEntry* GetLibraryList();

// The file requester the display library routes to its adapter (null: the
// platform's own), with NativeFileRequester's arguments and results.
using FileRequesterFunction = ErrorCode (*)(VmState* L, const char* title, const char* pattern,
                                            int32_t mode, const char* folder, const char* file,
                                            char** outFolder, char** outFiles, int32_t* count,
                                            int32_t* chosen);
void SetFileRequesterRouting(FileRequesterFunction function);

// Global attributes by tag list: (tag, data) pairs ending with tag ATTR_DONE.
// For SetGlobalAttrs data is the value; for GetGlobalAttrs it is the address
// of the caller's uintptr_t result word.
struct TagItem {
  uint32_t tag;
  uintptr_t data;
};
enum : uint32_t {
  ATTR_DONE = 0,
  ATTR_QUIET = 1,           // PrintProgress prints nothing while set
  ATTR_DEFERBITMAPS = 5,    // resources are being preloaded: keep source pictures
  ATTR_CALLBACKDEPTH = 10,  // set non-zero adds 1, zero subtracts 1
  ATTR_RAISEERRORS = 11,    // 0: command errors are recorded, not raised
  ATTR_SCRIPTRUNNING = 22,  // set only; read by the error-location printing
};
// Both return how many tags were handled; unknown tags go to the handler
// chains in registration order, and a tag no handler takes is not counted.
int SetGlobalAttrs(VmState* L, const TagItem* tags);
int GetGlobalAttrs(VmState* L, const TagItem* tags);
// A library takes the tags it answers (the sound library's options, the
// event library's handler flags) through a setter handler, which returns
// non-zero when it took the tag. Registered handlers stay until
// FreeRegistries.
using SetAttrHandler = int (*)(VmState* L, uint32_t tag, uintptr_t value);
ErrorCode AddSetAttrHandler(SetAttrHandler handler);
// A getter handler stores the tag's word at result and returns non-zero
// when it took the tag.
using GetAttrHandler = int (*)(VmState* L, uint32_t tag, uintptr_t* result);
ErrorCode AddGetAttrHandler(GetAttrHandler handler);
// The words behind the built-in tags, for their readers.
int IsQuietMode();           // tag 1
int GetDeferBitmapsFlag();   // tag 5: the applet's resources are being preloaded
int GetScriptRunningFlag();  // tag 22

// The legacy switches that the system library's LegacyControl sets and the
// libraries that keep the old behaviour read: shapes drawn from lines
// (off at start) and one music at a time (on at start).
enum LegacySwitch : int32_t { LEGACY_LINEBASEDSHAPES = 0, LEGACY_SINGLEMUSIC = 1 };
int32_t GetLegacySwitch(LegacySwitch which);
void SetLegacySwitch(LegacySwitch which, int32_t value);

// Hooks that plug-ins install, called by kind:
//   HOOK_LOOP (0): the first enabled one is called as loop(userData) again
//     and again: 0 calls it again, -1 ends with 0, anything else ends with it.
//   HOOK_POLL (1): poll(L, userData) at every event poll; the first non-zero
//     result stops the walk and is returned (1003 ends the program).
//   HOOK_NOTIFY (2), HOOK_SCRIPTRELEASED (3): notify(b, userData), all run.
//   HOOK_DISPLAYHANDLER (4): display(a, b, userData, 0), all run; a is the
//     adapter's display handle, b whether a handler is now installed.
enum HookKind : int32_t {
  HOOK_LOOP = 0,
  HOOK_POLL = 1,
  HOOK_NOTIFY = 2,
  HOOK_SCRIPTRELEASED = 3,
  HOOK_DISPLAYHANDLER = 4,
};
using HookLoopFunc = int (*)(void* userData);
using HookPollFunc = int (*)(VmState* L, void* userData);
using HookNotifyFunc = int (*)(uintptr_t b, void* userData);
using HookDisplayFunc = int (*)(uintptr_t a, uintptr_t b, void* userData, uintptr_t reserved);
using HookFunc = void (*)();  // one of the above, cast; AddHook files it by kind

struct HookRecord {
  HookRecord* next;
  int32_t kind;
  int32_t bridge;  // calls go through the platform call bridge
  void* userData;
  int32_t disabled;
  int32_t removePending;  // removed during a walk; freed when the walk ends
  HookLoopFunc loop;
  HookPollFunc poll;
  HookNotifyFunc notify;
  HookNotifyFunc scriptReleased;
  HookDisplayFunc display;
};
// Null for a kind above 4 (nothing allocated) or when memory runs out.
HookRecord* AddHook(int32_t kind, HookFunc callback, void* userData, int32_t bridge);
void SetHookDisabled(HookRecord* hook, int32_t flag);  // ignored when not listed
// Ignored when not listed. Safe inside a hook: during a walk the record is
// only marked (never called again) and freed when the outermost walk ends.
void RemoveHook(HookRecord* hook);
int CallHooksOfKind(VmState* L, int32_t kind, uintptr_t a, uintptr_t b);

// Every script object record starts with these five words.
struct ObjectDataEntry;
struct ObjectHead {
  int32_t type;
  int32_t number;         // numeric identifier
  void* autoId;           // automatic identifier (a light userdata), or null
  ObjectDataEntry* data;  // object data that scripts attached
  ObjectHead* next;       // next record of the same list
};
using ObjectTypeHandler = int (*)(VmState* L, uintptr_t a, uintptr_t b);
struct ObjectTypeEntry {
  ObjectTypeEntry* next;
  char* name;      // own copy; null for plain object lists
  int32_t typeId;  // 0 for plain object lists
  int32_t bridge;
  ObjectTypeHandler handler;
  ObjectHead** list;  // the owner's list head word
};
// With a name: copies it, takes the next type id, stores handler and bridge
// flag and writes the id to *outTypeId when given. Without: the list only.
ErrorCode RegisterObjectType(ObjectHead** list, const char* name, ObjectTypeHandler handler,
                             int32_t* outTypeId, int32_t bridge);
ErrorCode RegisterObjectList(ObjectHead** list);
const ObjectTypeEntry* GetObjectTypeList();
// Objects of the type over every registered list; the number of types
// registered beyond the 61 built-in ones; the named entry of a type id
// (null when none).
int32_t CountObjectsOfType(int32_t type);
int32_t GetUserObjectTypeCount();
const ObjectTypeEntry* GetObjectTypeRecord(int32_t type);
// The new error number, or ERR_MEM.
ErrorCode RegisterCustomError(const char* text);
const char* GetCustomErrorText(ErrorCode code);  // null when not registered

// Values that scripts attach to objects by name; names compare without
// regard to case. Each entry keeps a VM registry reference to its value.
struct ObjectDataEntry {
  ObjectDataEntry* next;
  const char* name;  // points at the copy stored behind the record
  int32_t ref;
};
void FreeObjectDataList(VmState* L, ObjectDataEntry** list);  // leaves *list null
// New entries with the same names referencing the same values; on ERR_MEM
// nothing is left behind and *out is null.
ErrorCode CopyObjectDataList(VmState* L, const ObjectDataEntry* list, ObjectDataEntry** out);
ObjectDataEntry* FindObjectDataEntry(ObjectDataEntry* list, const char* name);
// Replaces the value of an existing name (the old reference released) or
// appends an entry referencing the value at the stack index. ERR_MEM leaves
// the list as it was.
ErrorCode SetObjectDataEntry(VmState* L, const char* name, int index, ObjectDataEntry** list);
int ClearObjectDataEntry(VmState* L, ObjectDataEntry** list, const char* name);  // 1 removed

// The current local date and time as six fields; non-zero when the clock
// cannot be converted (the fields are then 0).
ErrorCode GetCurrentDateStamp(DateFields* out);

// ---- Object attributes ----
// The numbers of the built-in object types, as scripts name them to the
// attribute query and the object-data commands.
constexpr int32_t OBJTYPE_BGPIC = 1;
constexpr int32_t OBJTYPE_SAMPLE = 2;
constexpr int32_t OBJTYPE_BRUSH = 3;
constexpr int32_t OBJTYPE_ANIM = 4;
constexpr int32_t OBJTYPE_TEXTOBJECT = 8;
constexpr int32_t OBJTYPE_DISPLAY = 21;
constexpr int32_t OBJTYPE_LAYER = 22;
constexpr int32_t OBJTYPE_SPRITE = 32;
constexpr int32_t OBJTYPE_MUSIC = 33;
constexpr int32_t OBJTYPE_CLIPREGION = 35;
constexpr int32_t OBJTYPE_POINTER = 36;
constexpr int32_t OBJTYPE_ASYNCDRAW = 37;
constexpr int32_t OBJTYPE_MEMORY = 39;
constexpr int32_t OBJTYPE_EVENTHANDLER = 40;
constexpr int32_t OBJTYPE_INTERVAL = 41;
constexpr int32_t OBJTYPE_TIMEOUT = 42;
constexpr int32_t OBJTYPE_FONT = 43;
constexpr int32_t OBJTYPE_FILE = 44;
constexpr int32_t OBJTYPE_DIRECTORY = 45;
constexpr int32_t OBJTYPE_VECTORPATH = 49;
constexpr int32_t OBJTYPE_VIDEO = 50;
constexpr int32_t OBJTYPE_MOVELIST = 51;
constexpr int32_t OBJTYPE_ANIMSTREAM = 52;
constexpr int32_t OBJTYPE_TIMER = 53;
constexpr int32_t OBJTYPE_CLIENT = 54;
constexpr int32_t OBJTYPE_SERVER = 55;
constexpr int32_t OBJTYPE_UDPOBJECT = 56;
constexpr int32_t OBJTYPE_MENU = 57;
constexpr int32_t OBJTYPE_ICON = 59;
constexpr int32_t OBJTYPE_SERIAL = 60;

// The attribute codes of the attribute query (the script constants ATTR...),
// numbered in a fixed order that stored applets rely on; 98 and 99 belong
// to the icon attributes.
// clang-format off
enum ObjectAttribute : int32_t {
  ATTRWIDTH = 0, ATTRHEIGHT, ATTRTRANSPARENTCOLOR, ATTRLAYERS, ATTRTYPE, ATTRHASMASK,
  ATTRHASALPHA, ATTRCLIPREGION, ATTRCOUNT, ATTRLOADER, ATTRSPRITES, ATTRHARDWARE, ATTRDISPLAY,
  ATTRFONTASCENDER, ATTRFONTDESCENDER, ATTRFONTNAME, ATTRFONTSIZE, ATTRFONTSCALABLE, ATTRFONTAA,
  ATTRTEXT, ATTRMAXWIDTH, ATTRMAXHEIGHT, ATTRBGPIC, ATTRXPOS, ATTRYPOS, ATTRCURSORX, ATTRCURSORY,
  ATTRBORDERLEFT, ATTRBORDERTOP, ATTRBORDERRIGHT, ATTRBORDERBOTTOM, ATTRHOSTWIDTH,
  ATTRHOSTHEIGHT, ATTRPOINTER, ATTRSTATE, ATTRACTIVE, ATTRMODE, ATTRSCALEMODE, ATTRSCALEWIDTH,
  ATTRSCALEHEIGHT, ATTRBORDERLESS, ATTRFIXED, ATTRSIZEABLE, ATTRNOHIDE, ATTRNOMODESWITCH,
  ATTRTITLE, ATTRMARGINLEFT, ATTRMARGINRIGHT, ATTROUTPUTDEVICE, ATTRDOUBLEBUFFER, ATTRHOSTDEPTH,
  ATTRNOCLOSE, ATTRMASKMODE, ATTRALPHAINTENSITY, ATTRRAWWIDTH, ATTRRAWHEIGHT, ATTRLAYERSON,
  ATTRORIENTATION, ATTRKEYBOARD, ATTRDENSITY, ATTRXDPI, ATTRYDPI, ATTRMONITOR, ATTRADAPTER,
  ATTRMENU, ATTRHOSTMONITORS, ATTRXSERVER, ATTRMAXIMIZED, ATTRHOSTTITLEBARHEIGHT,
  ATTRHOSTTASKBAR, ATTRHOSTSCALEX, ATTRHOSTSCALEY, ATTRHOSTSCALE, ATTRVISIBLE, ATTRNUMFRAMES,
  ATTRCURFRAME, ATTRLAYERID, ATTRDURATION, ATTRPOSITION, ATTRFORMAT, ATTRFRAMEDELAY, ATTRGROUP,
  ATTRRAWXPOS, ATTRRAWYPOS, ATTRCANSEEK, ATTRZPOS, ATTRID, ATTRPLAYING, ATTRPAUSED, ATTRONSCREEN,
  ATTRPITCH, ATTRBITRATE, ATTRNUMSUBSONGS, ATTRCURSUBSONG, ATTRDRIVER, ATTRSIZE, ATTRFUNCTION,
  ATTRUSERDATA,
  ATTRNUMENTRIES = 98, ATTRSTANDARD = 99,
};
// clang-format on
static_assert(ATTRUSERDATA == 97, "the attribute codes are fixed");

// Answers the attribute query for one object type. The query's arguments
// stay on the stack (1 type, 2 identifier, 3 attribute, 4 optional
// parameter). The reader answers ATTRCOUNT without a look-up; otherwise it
// finds the object itself, pushes the value or values and returns their
// number. Like a command it returns its errors (the type's look-up error,
// ERR_UNKNOWNATTR for an attribute the type does not have); only its
// argument checks raise.
using AttributeReader = int (*)(VmState* L, int32_t attribute);
constexpr int32_t ATTRIBUTE_READER_TYPES = 64;  // built-in type numbers are below this
// Registers (or replaces) the reader of a built-in type; ERR_WRONGUSAGE for a
// type number outside 0 to ATTRIBUTE_READER_TYPES - 1.
ErrorCode RegisterAttributeReader(int32_t type, AttributeReader reader);
AttributeReader FindAttributeReader(int32_t type);  // null when none is registered
// The number of records in an object list, for ATTRCOUNT.
int32_t CountObjectList(const ObjectHead* list);
// The look-up error of an identifier that names no object: ERR_FINDARRAY
// for an automatic identifier, else code with the number as its argument.
ErrorCode ObjectNotFound(ObjectId id, ErrorCode code);

// ---- Event queue ----
// One first-in, first-out list of events under one recursive mutex.
// Producers may post from any thread; only the main thread takes events out.

constexpr int32_t EVENT_WINDOWSIZE = 5;  // merged: only a display's newest is live

struct EventRecord {
  EventRecord* next;  // the next younger record
  int32_t type;
  int32_t args[3];
  TimeValue postedAt;
  double postedSeconds;
  DisplayRecord* display;  // null when none or when the display went away
  void* userData;          // owned; released by the payload freer when dropped
};

// What the display library installs into the queue when it opens: the
// release of a dropped event's payload by type (null: every payload is one
// heap block) and the test whether a display's scaling swallows its size
// events (null: none does).
using EventPayloadFreer = void (*)(VmState* L, int32_t type, void* payload);
using SizeEventFilter = bool (*)(const DisplayRecord* display);
void SetEventQueueHooks(EventPayloadFreer freer, SizeEventFilter filter);
// 1 queued; 0 not queued (no queue, closed, or a size event that the
// display's scaling swallows); -1 out of memory. When not queued the caller
// still owns userData.
int PostEvent(DisplayRecord* display, int32_t type, int32_t a1, int32_t a2, int32_t a3,
              void* userData);
// Drops the events older than the time-out; always 0.
ErrorCode ExpireStaleEvents(VmState* L);
// The expiry time-out in milliseconds; 60,000 at start, negative: off.
void SetEventExpiryTimeout(int32_t milliseconds);
int32_t GetEventExpiryTimeout();
// Drops the oldest events up to and including lastIndex (all for -1; nothing
// for lower values), releasing their payloads. lock: take the mutex here,
// else the caller holds it.
void FlushEvents(VmState* L, int32_t lastIndex, int32_t lock);
void DetachEventsFromDisplay(DisplayRecord* display);
// The consumer's side: unlinks and returns the oldest live event, releasing
// neutralised records on the way; null when none. The caller owns the record
// and ends it with ReleaseEventRecord (or FreeMemory once it took userData).
EventRecord* TakeNextEvent(VmState* L);
// Walks the live queued events oldest first with the queue's lock held
// until visit returns non-zero for one; that event and all older ones are
// then dropped (their payloads released after the lock) and 1 is returned;
// 0 when none was chosen. visit must neither post nor take events.
using QueuedEventVisitor = int (*)(const EventRecord* event, void* context);
int DropQueuedEventsThrough(VmState* L, QueuedEventVisitor visit, void* context);
// Whether any live event is queued.
int QueuedEventsPending();
void ReleaseEventRecord(VmState* L, EventRecord* event);
// A copy of one queued event with its arguments placed by the event's kind:
// mouse buttons (1, 2, 16) in args; keys (3, 28, 29) the first argument in
// args[2], the third in keys[0], the second in keys[1]; dropped files and
// touches (14, 22) the first two in args; type 26 the third in args[2];
// other types no argument.
struct QueuedEventCopy {
  DisplayRecord* display;
  int32_t type;
  double seconds;
  void* userData;
  int32_t args[3];
  int32_t keys[2];
};
// Copies the queued record at index (0 the oldest, counted as FlushEvents
// counts) and returns index + 1; 0 when fewer records are queued. take: the
// queued record gives its user data up to the caller, so dropping the
// record no longer releases it.
int32_t GetQueuedEventByIndex(int32_t index, QueuedEventCopy* out, int take);

// ---- Stream layer and linked data ----
// One handle type for every file the system reads or writes: a platform
// file, a memory buffer, linked data (a ":::chunk" name: a byte range of a
// larger file), a virtual file made from a string (":::chunkS") or a file
// opened by a file-adapter plug-in. Used by the main thread only.
// FileInfo is declared with the platform's file services.

struct NativeFileHandle;
struct NativeLock;
struct LockHandle;
struct FileAdapterEntry;  // a file or directory adapter of a plug-in (FileAdapterCalls)

// The date stamp taken when the event queue was created: the date of memory
// files, of linked data and of what file adapters leave undated.
void GetStartDateStamp(DateFields* out);

// A memory file: the record of a virtual string file and of a ":::memory"
// open. Writes are allowed only when writable is set (the record owns its
// data and may reallocate it).
struct VirtualFile {
  VirtualFile* next;
  int32_t writable;   // the data was copied and belongs to the record
  int32_t stringRef;  // reference to the source string, -1 when copied
  int32_t selfRef;    // the reference that ":::chunkS" names carry
  uint8_t* data;
  size_t allocated;
  int64_t position;
  size_t size;
  const char* name;     // shown to users; stored behind the record
  int32_t openStreams;  // a record undefined while streams use it is
  int32_t detached;     // freed when the last of them closes
  VmState* owner;
};

// Open mode bits.
enum : uint32_t {
  STREAM_READ = 1,
  STREAM_WRITE = 2,        // create or truncate
  STREAM_UPDATE = 4,       // read and write an existing file
  STREAM_ADAPTERS = 8,     // also try file-adapter plug-ins
  STREAM_SKIPSEEK = 16,    // emulate forward seeks on adapters that cannot seek
  STREAM_LATIN1NAME = 32,  // adapters get the name converted to Latin-1
};
constexpr size_t STREAM_BLOCK_SIZE = 16384;  // whole-file reads and copies

struct StreamHandle {
  const FileAdapterEntry* adapter;  // null unless an adapter opened it
  void* file;                       // the adapter's handle or a NativeFileHandle
  uint32_t mode;
  uint32_t adapterFlags;
  VirtualFile* memory;  // memory and virtual files
  int64_t position;     // memory files only
  int32_t ownsRecord;   // ":::memory" opens free their record
};

StreamHandle* OpenFileStream(const char* name, uint32_t mode, const char* loaders);
size_t ReadStream(StreamHandle* stream, void* buffer, size_t length);
size_t WriteStream(StreamHandle* stream, const void* buffer, size_t length);
int ReadStreamByte(StreamHandle* stream);  // byte or -1
// As ReadStream and WriteStream, past the stream's own buffering: written
// bytes are handed to the system before the call returns.
size_t ReadStreamRaw(StreamHandle* stream, void* buffer, size_t length);
size_t WriteStreamRaw(StreamHandle* stream, const void* buffer, size_t length);
int WriteStreamByte(StreamHandle* stream, int byte);  // 1 on success
// Modes 0 current, 1 beginning, 2 end. The position before the seek, or -1
// (position unchanged) on failure or for a target before the start.
int64_t SeekFileStream(StreamHandle* stream, int64_t offset, int mode);
int IsStreamEOF(StreamHandle* stream);
int FlushStream(StreamHandle* stream);
int64_t GetStreamSize(StreamHandle* stream);              // -1 when unknown
int ExamineStream(StreamHandle* stream, FileInfo* info);  // non-zero on success
int CloseFileStream(StreamHandle* stream);                // null is ignored
int32_t ReadStreamBE32(StreamHandle* stream);
int WriteStreamBE16(StreamHandle* stream, int32_t value);
int WriteStreamBE32(StreamHandle* stream, int32_t value);
uint32_t GetStreamAdapterFlags(StreamHandle* stream);
// The module name of the file-adapter plug-in that opened the stream or
// looked up the path; null when none did.
const char* GetStreamAdapterName(StreamHandle* stream);
const char* GetLockAdapterName(LockHandle* lock);
int IsStreamNoSeek(StreamHandle* stream);

// Whole files. stream: an open stream to read from the start (left open),
// or null to open name. On success *out is a new buffer of *size bytes
// plus extra spare bytes (zeroed). ERR_READFILE (name as error argument),
// ERR_READ, ERR_MEM.
ErrorCode LoadFileToMemory(const char* name, const char* loaders, StreamHandle* stream,
                           uint8_t** out, size_t* size, int adapters, size_t extra);

// Locks: a path that was looked up (file or directory).
constexpr size_t LOCK_PATH_SIZE = 1024;
struct LockHandle {
  const FileAdapterEntry* dirAdapter;
  const FileAdapterEntry* fileAdapter;
  NativeLock* handle;
  void* adapterDir;      // the directory adapter's handle
  FileInfo adapterInfo;  // what the file adapter's Stat answered
  char path[LOCK_PATH_SIZE];
  char scratch[LOCK_PATH_SIZE];
  VirtualFile* virtualFile;  // ":::chunkS" names
  int32_t linked;            // a ":::chunk" name
  uint64_t linkedSize;
};
constexpr uint32_t LOCK_DIRECTORY = 4;
LockHandle* LockFile(const char* path, uint32_t mode, const char* loaders);  // null on failure
// Whether a plug-in's file adapter is asked first when a file is opened or
// locked with the loader string: 0 means only the file system answers.
int FileAdaptersAsked(const char* loaders);
// 1 for an entry (name valid until the next call), 0 at the end.
int NextLockEntry(LockHandle* lock, int32_t flags, const char** name, int32_t* isDirectory,
                  FileInfo* info);
ErrorCode CheckLockIsDirectory(LockHandle* lock, int32_t* isDirectory);
int ExamineLock(LockHandle* lock, FileInfo* info);              // 1 on success
int NameFromLock(LockHandle* lock, char* buffer, size_t size);  // 1 when it fitted
void UnLockFile(LockHandle* lock);                              // null is ignored
// Starts a directory lock's entry walk again; flags as NextLockEntry.
ErrorCode RewindLock(LockHandle* lock, int32_t flags);
// offset -1 writes the ":::chunkS" form with base as the reference; else
// the ":::chunk" form at base + offset. 0 when it does not fit or overflows.
int MakeChunkName(const char* name, char* buffer, size_t size, int64_t offset, uint64_t length,
                  uint64_t base, const char* extra);

struct ExtendedFileInfo {
  int32_t isDirectory;
  int64_t size;
  uint32_t protection;
  uint32_t times[3];
  char fullName[LOCK_PATH_SIZE];
  char comment[80];
};
int ExamineFile(const char* path, ExtendedFileInfo* info, int adapters);  // 1 when it exists

// Linked-data names: ":::chunk<offset>:<size>*<name>?<extra>" and
// ":::chunkS<ref>:<size>*<name>?<extra>" (a virtual string file).
bool IsChunkName(const char* name);
// Fills the outputs given (any may be null); 0 when the name is malformed,
// a text does not fit its buffer, or a ":::chunkS" reference leads to no
// live virtual file. The offset is 0 for ":::chunkS".
int ParseChunkName(const char* name, uint64_t* offset, uint64_t* size, char* nameBuffer,
                   size_t nameSize, char* extra, size_t extraSize, char* extension,
                   size_t extensionSize, VirtualFile** file);
// The name to show a user, in a buffer valid until the next call.
const char* GetDisplayFileName(const char* name);

// The files linked into the applet.
struct LinkedFileEntry {
  LinkedFileEntry* next;
  const char* name;  // fonts: "::font:" and the font's name
  const char* path;  // holding file; null or empty: the applet's file
  uint64_t offset;   // within the applet
  uint64_t size;
};
const char* ResolveLinkedFile(VmState* L, const char* name, int fontMode, int32_t* isFont);
// A string argument naming a file, resolved through the linked-file table.
const char* GetFileNameArg(VmState* L, int index);
// A file-name field of the option table at index: 0 when the field is
// absent (the outputs untouched); a field that is not a string raises the
// option tables' string error naming it. With TABLE_FILENAME_RESOLVE the name is
// resolved through the linked-file table (TABLE_FILENAME_FONT: as a font
// name). The text goes into a new allocation (*out, freed with FreeMemory;
// ERR_MEM is raised when memory runs out) with its length.
enum : int { TABLE_FILENAME_RESOLVE = 1, TABLE_FILENAME_FONT = 2 };
int GetTableFieldFileName(VmState* L, int table, const char* field, int flags, char** out,
                          size_t* length);

// The entry trees of directories linked into the applet. The preload hands
// a tree to the directory opener, which walks only trees handed out this
// way and takes them over (freeing them with FreeDirEntryTree); trees that
// no directory took are freed with the runtime's context.
struct DirEntryNode;
void FreeDirEntryTree(DirEntryNode* tree);
void NoteHandedOutDirTree(DirEntryNode* tree);
int IsHandedOutDirTree(const void* tree);  // 1 when handed out and not yet taken
void ClaimHandedOutDirTree(const void* tree);
void FreeHandedOutDirTrees();
// The ":::chunk" name of a byte range of the applet (offset counted from
// the applet's start within its file); 0 when it does not fit.
int MakeLinkedDataName(const char* name, uint64_t offset, uint64_t size, char* buffer,
                       size_t bufferSize);

// A record passed where a file name is expected, standing for a memory
// buffer. Only records made by MakeMemoryFileName and not yet released are
// taken as such: a script's string ":::memory" is an ordinary name. The
// last MEMORY_NAMES_LIVE records made are known; release a record before
// its storage goes away.
struct MemoryFileName {
  char text[16];  // ":::memory"
  const void* address;
  size_t size;
};
constexpr size_t MEMORY_NAMES_LIVE = 64;
void MakeMemoryFileName(MemoryFileName* record, const void* address, size_t size);
void ReleaseMemoryFileName(MemoryFileName* record);
bool IsMemoryFileName(const char* name);

// Virtual string files: a string usable wherever a file name is accepted.
// copy: the bytes are copied (an empty string gets 65,536 bytes of room)
// and the file can be written; else the record references the string at
// stringIndex and reads its bytes in place (read-only).
ErrorCode NewVirtualStringFile(VmState* L, const void* data, size_t length, int stringIndex,
                               const char* fileName, int copy, VirtualFile** out);
// The file's ":::chunkS" name; 0 when it does not fit.
int MakeVirtualFileName(const VirtualFile* file, char* buffer, size_t size);
// ERR_WRONGUSAGE when name is not a live virtual string file's.
ErrorCode UndefineVirtualStringFile(VmState* L, const char* name);
int IsVirtualStringFile(const void* pointer);
VirtualFile* FindVirtualStringFile(int32_t ref);  // null when none
// A use of the live virtual string file that a ":::chunkS" name refers to,
// held as an open stream holds one: undefining the file while it is used
// only detaches the record, and the last release frees it. The user reads
// the record's data and size at each access, since writes may move them.
// Null when the name refers to no live virtual string file.
VirtualFile* UseVirtualStringFile(const char* name);
void ReleaseVirtualStringFile(VirtualFile* file);  // null is ignored
void FreeVirtualStringFiles(VmState* L);

// Packed containers: a 4-byte magic, 4 zero bytes and one zlib stream.
// Output goes to a file or into memory (stopping, successfully, when the
// buffer is full). *packedSize: bytes of the container consumed; *written:
// bytes produced. Either may be null. *size: the container's bytes.
ErrorCode DeflatePackedFile(const char* magic, const char* source, const char* destination,
                            StreamHandle* destinationStream, uint64_t* size);
ErrorCode InflatePackedFile(const char* magic, const char* source, StreamHandle* sourceStream,
                            uint64_t offset, const char* destination, void* buffer,
                            size_t bufferSize, uint64_t* packedSize, uint64_t* written);

// ---- Hashes and Base64 ----

// MD5 (RFC 1321): the state, the byte count and the pending partial block.
struct Md5Context {
  uint32_t state[4];
  uint64_t bytes;
  uint8_t block[64];
};
void MD5Init(Md5Context* context);
void MD5Update(Md5Context* context, const void* data, size_t count);
void MD5Final(Md5Context* context, uint8_t digest[16]);
// The digest of the bytes as 32 lower-case hexadecimal digits.
void MD5HexDigest(const void* data, size_t count, char out[33]);
// Base64 (RFC 4648): the encoded size (ERR_MEM when it overflows), the
// encoder, and the decoder (ERR_BADBASE64 on a bad character or padding).
size_t Base64EncodedSize(size_t count, ErrorCode* error);
void EncodeBase64(const void* data, size_t count, char* out);
ErrorCode DecodeBase64(const char* text, size_t length, void* out, size_t* written);

// ---- Typed memory access ----

// Type codes of typed reads and writes (the system library's type constants).
enum : int32_t {
  MEMTYPE_INTEGER = 1,
  MEMTYPE_SHORT = 6,
  MEMTYPE_BYTE = 7,
  MEMTYPE_FLOAT = 11,
  MEMTYPE_DOUBLE = 12,
};
// Byte orders of the memory-block commands and of ByteVal and ByteStrStr.
enum : int32_t {
  MEM_BIGENDIAN = 0,
  MEM_NATIVEENDIAN = 1,
  MEM_LITTLEENDIAN = 2,
};
// Bytes of a type code, 0 for codes that are no memory type.
int GetMemTypeSize(int32_t type);
// With size 0 the buffer's size is unknown and not checked. native: machine
// order; else little or big-endian by little.
ErrorCode PokeTypedValue(void* buffer, size_t size, int32_t type, int64_t offset, uint32_t intValue,
                         double floatValue, double doubleValue, int native, int little);
// Reads the value and pushes it as a number.
ErrorCode PeekTypedValue(VmState* L, const void* buffer, size_t size, int32_t type, int64_t offset,
                         int native, int little);

// ---- Number strings ----

// Reads a number from the start of text: an optional "-", then "$" or
// "0x"/"0X" and hexadecimal digits (none: ERR_SYNTAXERROR), "%" and binary
// digits, or a decimal number (a digit, or "." and a digit, first) with an
// optional fraction and exponent; anything else is ERR_VALUEEXPECTED.
// *used (may be null) receives the bytes read (0 on error), *error (may be
// null) the code; the result is 0 on error.
double ParseNumberString(const char* text, size_t* used, ErrorCode* error);

// ---- Vocabulary export and runtime services ----
// Listings of the vocabulary for editors and documentation tools, written
// as plain text through a stream opened for writing: one item per line,
// lines ending in "\n" only. An item longer than its line buffer is cut,
// never its line end. Each returns 0 or ERR_WRITE when a write fell short.
// Beside them the services around running scripts. Main thread only.

// One line of a listing, of at most lineSize - 1 bytes (lineSize up to
// LISTING_LINE_MAX): the item's first lineSize - 2 bytes, never half a UTF-8
// character in UTF-8 mode (null is an empty item), and "\n".
constexpr size_t LISTING_LINE_MAX = 256;
ErrorCode WriteListingLine(StreamHandle* file, const char* text, size_t lineSize);

// The applet's source line map (its entries tell which source file and
// line a line of the compiled chunk came from), in file order. The player
// record owns the entries; start-up hands the list over here.
constexpr size_t SOURCE_NAME_SIZE = 1024;
struct SourceLineEntry {
  SourceLineEntry* next;
  int32_t firstLine;
  int32_t lastLine;
  int32_t lineOffset;
  char fileName[SOURCE_NAME_SIZE];     // the name reported to the user
  char chunkSource[SOURCE_NAME_SIZE];  // the chunk whose lines it covers
};
const char* GetCurrentScriptName(VmState* L);
// The current line as the user's source file numbers it; -1 when it cannot
// be told.
int32_t GetCurrentScriptLine(VmState* L);
// GetErrorText, and while a script runs its current file name and line
// (else null and 0).
void GetErrorTextWithPosition(VmState* L, ErrorCode code, char* buffer, size_t size,
                              const char** file, int32_t* line);
// The message followed by the error location when a script runs.
void FormatErrorText(VmState* L, const char* text, int plain, char* buffer, size_t size);

// Start-up progress: nothing in quiet mode. With a file name the format's
// "%s" takes the name as users see it; "..." follows when ellipsis is set.
// The text is printed as it stands: a '%' in it is never a conversion.
constexpr size_t PROGRESS_TEXT_SIZE = 512;
void PrintProgress(const char* format, const char* fileName, int ellipsis);
// The progress words after a step ("done", "failed"): nothing in quiet mode.
void PrintDone();
void PrintFailed();
// Formatted output to standard output, flushed at once when the console
// flush switch (FORCEFLUSH) is on.
void PrintToConsole(const char* format, ...) __attribute__((format(printf, 1, 2)));
int GetConsoleFlush();

// ---- Player start-up, options and applet ----
// The portable main of the player: options and settings file, the applet
// container and header, script loading, the preload of declared resources,
// the run and the one orderly shut-down. Main thread only.

// The run's start-up context, reachable from commands through the VM
// registry key "clargs" (a light userdata). Allocated zero-filled by
// PlayerMain and freed by its shut-down.
constexpr size_t PLAYER_PATH_SIZE = 1024;
constexpr size_t PLAYER_ERROR_TEXT_SIZE = 2048;
// A command-line or settings-file key that names no option.
struct UnmatchedOption {
  UnmatchedOption* next;
  char* name;
  char* value;  // null when none followed
};

struct PlayerRunContext {
  int32_t appletFlag;                 // the magic "QMA\0" was seen
  char appletPath[PLAYER_PATH_SIZE];  // absolute once the header is read
  char programPath[PLAYER_PATH_SIZE];
  char spare1[PLAYER_PATH_SIZE];
  char spare2[PLAYER_PATH_SIZE];
  char spare3[256];
  char spare4[PLAYER_PATH_SIZE];
  char appletArgument[PLAYER_PATH_SIZE];  // as typed on the command line
  int32_t quiet;
  int32_t noSound;
  int32_t soundSetting;  // 30, attribute tag 3
  int32_t compileFlag;   // never set by this player
  uint32_t targetBits;
  char errorText[PLAYER_ERROR_TEXT_SIZE];
  int32_t unused1;
  int32_t unused2;
  UnmatchedOption* unmatched;
  int32_t keepDeclaredDisplays;  // header section 29
  int32_t unused3;
  int32_t allDisplays;
  int32_t channelCount;
  int32_t forceSound;
  // Listing requests of the vocabulary export; no option sets them.
  int32_t exportRequested;
  int32_t exportCommands;
  int32_t exportConstants;
  int32_t exportVocabulary;
  int32_t exportPluginInfo;
};

// The program's composition root sits above every folder: it knows every
// command library and every folder's context record, and installs them
// here before the player runs. Start-up opens the libraries in the root's
// order and shut-down frees them in reverse; the folders' records are
// built before the VM opens and freed after it closed. The root also lends
// start-up the two services of the display library it needs: opening the
// first display and the hook that polls events while the script runs.
struct PlayerPluginSteps;
struct PlayerComposition {
  ErrorCode (*openLibraries)(VmState* L);
  void (*freeLibraries)(VmState* L);
  void (*initContexts)();
  void (*freeContexts)();
  ErrorCode (*openFirstDisplay)(VmState* L, int quiet);
  void (*eventPollHook)(VmState* L, VmDebugInfo* ar, int* status, int line);
  const PlayerPluginSteps* pluginSteps;  // null: no plug-in manager
};
// The plug-in manager's steps of start-up and shut-down, as in
// plugins/plugins.h: counting the plug-ins of the directory scan,
// unpacking the appended pack, the scan with format registration, the
// applet's plug-in requests, FreeLibrary before the VM closes, the
// plug-ins after it, and deleting the run's temporary directory.
struct PlayerPluginSteps {
  ErrorCode (*scanDirectory)(const char* programDir, int appended, const char* skipList,
                             int32_t* count);
  ErrorCode (*loadPack)(const char* programPath, uint64_t* offset, int updateOffset);
  ErrorCode (*loadPluginsAndFormats)(VmState* L, const char* programDir, int appended,
                                     const char* skipList);
  ErrorCode (*loadPluginFile)(VmState* L, const char* name, int32_t version, int32_t revision,
                              uint32_t flags, uintptr_t tag1, uintptr_t tag2);
  void (*freePluginLibraries)(VmState* L);
  void (*freeAllPlugins)();
  void (*deleteTempDirectory)();
};
// Null removes it: then no library opens and no context is built.
void SetPlayerComposition(const PlayerComposition* composition);

// The plug-in manager sits above the runtime. Start-up and shut-down reach
// its steps through the composition (PlayerPluginSteps below); the rest of
// the runtime reaches what it keeps through this table, which the manager
// installs when its context record is built and when its library loads:
// emptying the loader lists (FreeRegistries), the applet's declared version,
// the installed display adapter (null: the native driver) and the file and
// directory adapters of plug-ins, with their calls in the stream layer's
// terms. A null table or slot stands for no plug-in manager: no lists and
// no adapters.
// The kinds of adapter that visitFileAdapters walks.
enum : uint32_t { ADAPTER_KIND_FILE = 1, ADAPTER_KIND_DIRECTORY = 2 };
// What a file adapter's open is told besides the name: the open's STREAM_
// mode bits, the stream's adapter-flags word (the adapter may set it), and
// for linked data or a memory buffer where its bytes are.
enum : int32_t {
  ADAPTER_SOURCE_NAME = 0,    // a file name only
  ADAPTER_SOURCE_MEMORY = 1,  // size bytes at data
  ADAPTER_SOURCE_RANGE = 2,   // size bytes at offset of the file path
};
struct AdapterOpenRequest {
  uint32_t mode;
  uint32_t* flags;
  int32_t source;  // ADAPTER_SOURCE_
  const void* data;
  const char* path;
  uint64_t offset, size;
};
// The calls of an adapter. A call the adapter lacks, or any call of an
// adapter whose calls go through the platform's call bridge, answers as
// NullAdapterHook does (0), except where said otherwise. File information
// comes with every date preset to the run's start stamp, as the adapter
// may leave them.
struct FileAdapterCalls {
  const char* (*name)(const FileAdapterEntry* adapter);  // the plug-in's module name
  // The adapter's file handle, or null when it refused the file (or lacks
  // the call: then it is not asked).
  void* (*open)(const FileAdapterEntry* adapter, const char* name,
                const AdapterOpenRequest* request);
  int32_t (*close)(const FileAdapterEntry* adapter, void* file);
  size_t (*read)(const FileAdapterEntry* adapter, void* file, void* buffer, size_t length);
  size_t (*write)(const FileAdapterEntry* adapter, void* file, const void* buffer, size_t length);
  // Modes 0 current, 1 beginning, 2 end: the position before, or -1.
  int64_t (*seek)(const FileAdapterEntry* adapter, void* file, int64_t offset, int32_t mode);
  int32_t (*getChar)(const FileAdapterEntry* adapter, void* file);                // byte or -1
  int32_t (*putChar)(const FileAdapterEntry* adapter, void* file, int32_t byte);  // 1 on success
  int32_t (*eof)(const FileAdapterEntry* adapter, void* file);
  int32_t (*flush)(const FileAdapterEntry* adapter, void* file);
  // 1 with the information of an open file or of a path, else 0.
  int (*examineFile)(const FileAdapterEntry* adapter, void* file, FileInfo* info);
  int (*examinePath)(const FileAdapterEntry* adapter, const char* path, FileInfo* info);
  // A directory handle, or null when the path is not the adapter's.
  void* (*openDir)(const FileAdapterEntry* adapter, const char* path, int32_t mode);
  // 1 for an entry (its name, valid until the next call, may be null), 0 at the end.
  int (*nextDirEntry)(const FileAdapterEntry* adapter, void* dir, const char** name,
                      FileInfo* info);
  // 0, ERR_PLUGINSUPPORT when the adapter cannot rewind, ERR_REWINDDIR when it failed.
  ErrorCode (*rewindDir)(const FileAdapterEntry* adapter, void* dir);
  void (*closeDir)(const FileAdapterEntry* adapter, void* dir);
};
struct PluginManagerHooks {
  void (*emptyLoaderLists)();
  void (*setAppletVersion)(int32_t version, int32_t revision);
  // Runs chunk(L, data) and returns its result: from the installed display
  // adapter's own loop when it has one, else directly.
  int32_t (*runMainLoop)(VmState* L, int32_t (*chunk)(VmState* L, void* data), void* data);
  // Calls visit for each adapter of the kind that the loader string admits,
  // in list order, until it returns non-zero (then that value is returned;
  // 0 when no visit did); with linkedData, only file adapters that take
  // linked data.
  int (*visitFileAdapters)(uint32_t kind, const char* loaders, int linkedData,
                           int (*visit)(const FileAdapterEntry* adapter, void* data), void* data);
  const FileAdapterCalls* fileAdapterCalls;
};
void SetPluginManagerHooks(const PluginManagerHooks* hooks);
const PluginManagerHooks* GetPluginManagerHooks();  // never null, every slot set

// The folder's mutable state (registries, temporary files and the debug
// device) lives in one record. Init puts it in its start state; Free
// releases whatever it still holds and leaves it in the start state. The
// composition root calls both.
void InitRuntimeContext();
void FreeRuntimeContext();

// Runs the player; the result is the process's exit status: 0 after a
// reported error or a normal end, the value End stored after End.
int PlayerMain(int argc, char** argv);
// Runs the loaded main chunk (at the stack top) with no arguments and no
// results as a protected call: 0, 1003 after End, or the error that ended it.
ErrorCode RunScriptMainLoop(VmState* L);

// ---- The applet's preferences file ----
// The system library installs its reader and writer when it opens (null:
// none). load reads the file's entries into the table at the stack index
// (ERR_READFILE when there is no file); save writes that table as the file.
// Without them there is no file to read and none is written.
struct PrefsFileHooks {
  ErrorCode (*load)(VmState* L, int table);
  ErrorCode (*save)(VmState* L, int table);
};
void SetPrefsFileHooks(const PrefsFileHooks* hooks);  // null removes them
const PrefsFileHooks* GetPrefsFileHooks();            // never null
