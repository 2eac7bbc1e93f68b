/* The binary interface between Quillmere and its plug-ins: the one header a
 * plug-in author compiles against. A plug-in is a shared object named
 * "<module>.qmp" that exports InitPlugin and ClosePlugin (extern "C") and,
 * by the capabilities it declares, the further entry points listed below.
 *
 * Invariant: this is a 64-bit C ABI. Every record here keeps its fields and
 * every host table its slots in the order given, and a slot once given
 * never moves: plug-ins built against an older copy of this header keep
 * working. Integers are fixed-width; words that may carry a pointer (tag
 * values, user words) are pointer-sized. No type of the host's internals
 * appears here; the host's objects are opaque pointers.
 *
 * Unwinding: the VM table's raiseError and its argument checks
 * (checkString ... checkType, objectIdArgument, fileNameArgument,
 * checkStack) do not return when they fail, nor do slots that allocate or
 * run script code when that fails (out of memory, an error raised in a
 * function that call runs or in a metamethod): the host raises a script
 * error that unwinds through the plug-in's frames back into the host's
 * protected call, as a failing built-in command does. A plug-in must
 * therefore be built with unwind tables: C++ plug-ins as usual, C plug-ins
 * with -fexceptions (which also runs __attribute__((cleanup)) handlers
 * during the unwind, the C way to free what a command holds when a check
 * fails). A plug-in must not catch the host's error (catch (...) without
 * rethrowing) and must not unwind itself across the host (longjmp or an
 * exception of its own). */
#ifndef QMPLUGIN_H
#define QMPLUGIN_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/time.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Host version that this header describes. */
#define QM_HOST_VERSION 8
#define QM_HOST_REVISION 0

/* Capability bits of PluginBase.capabilities. */
#define PLUGINCAPS_CONVERT 0x1
#define PLUGINCAPS_LIBRARY 0x2
#define PLUGINCAPS_IMAGE 0x4
#define PLUGINCAPS_ANIM 0x8
#define PLUGINCAPS_SOUND 0x10
#define PLUGINCAPS_VECTOR 0x20
#define PLUGINCAPS_VIDEO 0x40
#define PLUGINCAPS_SAVEIMAGE 0x80
#define PLUGINCAPS_SAVEANIM 0x100
#define PLUGINCAPS_SAVESAMPLE 0x200
#define PLUGINCAPS_REQUIRE 0x400
#define PLUGINCAPS_DISPLAYADAPTER 0x800
#define PLUGINCAPS_TIMERADAPTER 0x1000
#define PLUGINCAPS_REQUESTERADAPTER 0x2000
#define PLUGINCAPS_FILEADAPTER 0x4000
#define PLUGINCAPS_DIRADAPTER 0x8000
#define PLUGINCAPS_AUDIOADAPTER 0x10000
#define PLUGINCAPS_EXTENSION 0x20000 /* GetExtensions is exported */
#define PLUGINCAPS_NETWORKADAPTER 0x40000

/* Kind word: every call into such a plug-in goes through the platform's
 * call bridge (which on Linux does nothing and yields 0). */
#define PLUGIN_KIND_BRIDGED 2

/* Opaque host objects. */
typedef struct VmState VmState;
typedef struct QmStream QmStream; /* a stream of the host's stream layer */
typedef struct QmLock QmLock;     /* a looked-up path */
typedef struct QmHook QmHook;     /* an installed hook */
typedef struct QmMutex QmMutex;   /* a recursive mutex */

/* A built-in command: arguments at stack positions 1..n; returns the number
 * of results pushed, or an error code (1000 and above). */
typedef int (*QmCommandFunction)(VmState* L);

/* The VM's string builder, filled by the VM table's buffer slots. */
typedef struct QmStringBuffer {
  char* p;
  int pieces;
  VmState* L;
  char buffer[1024];
} QmStringBuffer;

/* A node a plug-in registers through the host (AddPluginNode): the three
 * texts are stored behind the record. */
typedef struct PluginNode {
  struct PluginNode* next;
  int32_t id;
  const char* name;
  const char* text2;
  const char* text3;
  uintptr_t value;
  uint32_t flags;
} PluginNode;

/* The record the host allocates zeroed and the plug-in fills in
 * InitPlugin. Fields marked "host" belong to the host. */
typedef struct PluginBase {
  uint32_t capabilities;
  int32_t version;
  int32_t revision;
  int32_t hostVersion;    /* host writes 8; the plug-in leaves what it requires */
  int32_t hostRevision;   /* host writes 0; the plug-in leaves what it requires */
  const char* text;       /* first information text */
  const char* moduleName; /* must match the file name (without ".qmp") */
  const char* infoTexts[7];
  int32_t kind;          /* PLUGIN_KIND_BRIDGED or 0 */
  PluginNode* nodes;     /* host: nodes registered through the host API */
  uint32_t adapterFlags; /* display-adapter capability flags 0x1-0x20 */
  uint32_t reserved0;
  int32_t disabled;   /* host API: loaders and adapters skip the plug-in */
  uintptr_t userData; /* host API: the host user word */
  uint32_t reserved1[4];
  uint32_t adapterFlags2; /* further display-adapter flags 0x2, 0x4, 0x10 */
  uint32_t reserved2[3];
  uint32_t fileAdapterFlags; /* bit 0 linked and memory data; bit 1 only with the override */
  uint32_t dirAdapterFlags;  /* bit 0 only with the override */
  uint32_t imageLoaderFlags; /* bit 0 only with the override */
  uint32_t reserved3[4];
  uint32_t extensions[32];    /* host: GetExtensions(1 << n) for capability bit n */
  int32_t mustBeNamed;        /* host: used only where a loader string names it */
  int32_t libraryInitialised; /* host: FreeLibrary runs at shut-down */
  int32_t overrideWord;
  int32_t reserved4;
  void* initPlugin;  /* host */
  void* closePlugin; /* host */
  /* The host keeps its own slots behind this record. */
} PluginBase;

/* Tag lists: (tag, value) pairs ending with tag 0. */
typedef struct QmTagItem {
  uint32_t tag;
  uintptr_t data;
} QmTagItem;

/* Library plug-ins: the tables GetCommands and GetConstants return. A null
 * name ends each table; a command with a null function is skipped. A
 * constant is its text when text is set, else its number. */
typedef struct QmCommandEntry {
  const char* name;
  QmCommandFunction function;
} QmCommandEntry;
typedef struct QmConstantEntry {
  const char* name;
  const char* text;
  double number;
} QmConstantEntry;

/* Library extension flag bits (extensions[1]). */
#define QM_LIBEXT_MULTIPLE 0x1 /* GetLibraryCount, SetCurrentLibrary */
#define QM_LIBEXT_ONDEMAND 0x2 /* registered only when a script asks for it */
#define QM_LIBEXT_HELP 0x4     /* GetHelpStrings */
#define QM_LIBEXT_UPVALUES 0x8 /* PushUpvalues */
/* Loader extension bit 0 (image, anim, sound, video): stay out of the
 * default loader list; only a loader string that names the plug-in uses it. */
#define QM_LOADEREXT_NAMEDONLY 0x1

/* Image loaders: the 52-byte request and information record of LoadImage
 * and IsImage, here in 64-bit form. */
typedef struct QmImageRequest {
  int32_t width; /* in: wanted width (0 native); out: width */
  int32_t height;
  int32_t depth;        /* out */
  int32_t type;         /* out: 0 pixels, 1 vector */
  uint32_t flags;       /* in: bit 1 a mask is wanted; out (written anew): bit 1 alpha */
  int32_t transparency; /* out: transparent colour, -1 none */
  int32_t smooth;       /* in */
  int32_t index;        /* in: picture index in the file */
  int32_t format;       /* out */
  int32_t reserved[4];
} QmImageRequest;

/* Anim loaders: the open record of OpenAnim and the frame record of
 * LoadFrame, each 32 bytes in the 32-bit form and here in 64-bit form (the
 * adapter string is a pointer). The host zeroes both before each call. */
typedef struct QmAnimOpenRecord {
  int32_t width;  /* out */
  int32_t height; /* out */
  int32_t reserved0;
  int32_t frameCount; /* out */
  int32_t hasAlpha;   /* out: non-zero when frames carry an alpha channel */
  int32_t reserved1;
  const char* adapter; /* in: the file-adapter string, may be null */
  uint32_t flags;      /* in: bit 0 load transparency */
  int32_t reserved2;
} QmAnimOpenRecord;
typedef struct QmAnimFrameRecord {
  int32_t reserved0[4];
  int32_t loadAlpha;   /* in */
  int32_t transparent; /* out: non-zero when the frame uses a transparent colour */
  int32_t reserved1;
  uint32_t flags; /* in: bit 0 as the host's anim file flag bit 0 */
} QmAnimFrameRecord;
/* Saver formats: filled by RegisterImageSaver and its siblings on each call;
 * QM_SAVER_MORE_* in flags asks to be called again. */
typedef struct SaverFormatEntry {
  uint32_t flags;
  int32_t formatId;
  const char* formatName;
} SaverFormatEntry;
/* Anim savers: the frame record of WriteAnimFrame, 32 bytes in the 32-bit
 * form and here in 64-bit form (two pointers first). The host zeroes it
 * for every frame. */
typedef struct QmAnimSaveFrame {
  void* pixels;            /* 0xAARRGGBB words, or one pen byte per pixel */
  const uint32_t* palette; /* the colour table of a palette frame */
  int32_t bytesPerRow;     /* width x 4, or width for a palette frame */
  int32_t colourCount;     /* colours of a palette frame */
  int32_t transparentPen;  /* valid with QM_ANIMFRAME_TRANSPEN */
  int32_t delay;           /* milliseconds */
  uint32_t flags;          /* QM_ANIMFRAME_* */
  int32_t formatId;
} QmAnimSaveFrame;
#define QM_ANIMFRAME_ALPHA 0x1    /* the pixels carry an alpha channel */
#define QM_ANIMFRAME_TRANSPEN 0x2 /* transparentPen is valid */
/* Saver format flags and the mode word of BeginAnimStream. */
#define QM_SAVER_TRUECOLOR 0x1 /* the format takes ARGB frames */
#define QM_SAVER_ALPHA 0x4     /* the format takes an alpha channel */
#define QM_ANIMMODE_PALETTE 0x1
#define QM_ANIMMODE_ALPHA 0x4
#define QM_SAVER_MORE_IMAGE 8
#define QM_SAVER_MORE_ANIM 16
#define QM_SAVER_MORE_SAMPLE 1

/* VM extension records: a hook that takes over the commands in its key list. */
typedef struct QmExtensionRecord QmExtensionRecord;
typedef int (*QmCommandHook)(QmExtensionRecord* record, VmState* L, QmCommandFunction command,
                             void* userData);
typedef void (*QmErrorHandler)(QmExtensionRecord* record, VmState* L, int32_t status,
                               void* userData);
struct QmExtensionRecord {
  QmExtensionRecord* next;
  QmCommandHook hook;
  QmErrorHandler errorHandler;
  void* reserved;
  QmCommandFunction* keys; /* host: the hooked commands */
  int32_t keyCount;        /* host */
  int32_t disabled;
  void* userData;
};

/* Time as the host passes it: seconds and microseconds. */
typedef struct QmTimeValue {
  uint32_t seconds;
  uint32_t micros;
} QmTimeValue;

/* Broken-down time of the C runtime slots (eleven words). */
typedef struct QmTm {
  int32_t sec, min, hour, mday, mon, year, wday, yday, isdst;
  int64_t gmtoff;
  const char* zone;
} QmTm;

/* stat record: mode bits 0x20000 directory, 0x1-0x4000 permissions. */
typedef struct QmStat {
  uint32_t mode;
  uint32_t reserved;
  int64_t size;
  int64_t accessed;
  int64_t modified;
  int64_t changed;
} QmStat;

/* File records of the file table. */
typedef struct QmDirInfo {
  int32_t isDirectory;
  uint32_t protection;
  int64_t size;
  int64_t modified;
} QmDirInfo;
typedef struct QmFileInfo {
  int32_t isDirectory;
  uint32_t protection;
  int64_t size;
  uint32_t times[3];
  char* name;    /* copy; free with the C runtime's free */
  char* comment; /* copy; free with the C runtime's free */
} QmFileInfo;

/* A slot whose signature the plug-in takes from the library it wraps
 * (FreeType, zlib, JPEG) or from the service's own documentation. */
typedef intptr_t (*QmHostFunc)(void);

/* ---- Host tables ----------------------------------------------------------- */

typedef struct HostCRuntimeTable {
  void* (*malloc_)(size_t size);
  void* (*calloc_)(size_t count, size_t size);
  void* (*realloc_)(void* block, size_t size);
  void (*free_)(void* block);
  char* (*strdup_)(const char* text);
  FILE* (*fopen_)(const char* name, const char* mode);
  int (*fclose_)(FILE* file);
  int (*fseek_)(FILE* file, long offset, int whence);
  long (*ftell_)(FILE* file);
  size_t (*fread_)(void* buffer, size_t size, size_t count, FILE* file);
  size_t (*fwrite_)(const void* buffer, size_t size, size_t count, FILE* file);
  int (*fgetc_)(FILE* file);
  int (*fputc_)(int c, FILE* file);
  int (*ferror_)(FILE* file);
  int (*feof_)(FILE* file);
  int (*vfprintf_)(FILE* file, const char* format, va_list args);
  int (*vsnprintf_)(char* buffer, size_t size, const char* format, va_list args);
  int (*vprintf_)(const char* format, va_list args);
  void (*qsort_)(void* base, size_t count, size_t size, int (*compare)(const void*, const void*));
  int (*vsscanf_)(const char* text, const char* format, va_list args);
  double (*strtod_)(const char* text, char** end);
  long (*strtol_)(const char* text, char** end, int base);
  unsigned long (*strtoul_)(const char* text, char** end, int base);
  int (*compareNoCase)(const char* a, const char* b);
  int (*compareNoCaseN)(const char* a, const char* b, size_t n);
  uint32_t (*charToLower)(uint32_t c);
  uint32_t (*charToUpper)(uint32_t c);
  void (*strToLower)(char* text);
  void (*strToUpper)(char* text);
  int (*gettimeofday_)(struct timeval* tv, void* zone);
  int64_t (*time_)(int64_t* out);
  long (*lrint_)(double x);
  QmTm* (*localtime_)(const int64_t* time, QmTm* out);
  QmTm* (*gmtime_)(const int64_t* time, QmTm* out);
  QmTm* (*localtimeNow)(QmTm* out); /* the current local time */
  const char* (*ctime_)(const int64_t* time);
  int64_t (*mktime_)(QmTm* tm);
  size_t (*strftime_)(char* buffer, size_t size, const char* format, const QmTm* tm);
  int64_t (*clock_)(void);
  void (*difftime_)(int64_t end, int64_t start, double* result);
  void (*clearerr_)(FILE* file);
  int (*fileno_)(FILE* file);
  int (*fflush_)(FILE* file);
  int (*fstat_)(int fd, QmStat* out);
  int (*stat_)(const char* name, QmStat* out);
  int (*vfscanf_)(FILE* file, const char* format, va_list args);
  int (*ungetc_)(int c, FILE* file);
  int (*rename_)(const char* from, const char* to);
  int (*remove_)(const char* name);
  int (*getErrno)(void);
  void (*setErrno)(int value);
  char* (*strerror_)(int code);
  FILE* (*stdin_)(void);
  FILE* (*stdout_)(void);
  FILE* (*stderr_)(void);
  int* (*errnoLocation)(void);
  int (*fputs_)(const char* text, FILE* file);
  char* (*fgets_)(char* buffer, int size, FILE* file);
} HostCRuntimeTable;

/* User event types of plug-ins. Mode 0: the event library calls the
 * script's handler, and the message hook adds fields to the event table at
 * the stack top (0 or an error code). Mode 1: the call hook pushes a
 * function and its arguments and returns how many values it pushed (-1
 * nothing to do, other negative values a negated error code); the free
 * hook then gets the payload. */
typedef int32_t (*QmUserEventMessageHook)(VmState* L, void* payload);
typedef int (*QmUserEventCallHook)(VmState* L, int32_t handler, int32_t userData, void* payload);
typedef void (*QmUserEventFreeHook)(VmState* L, void* payload);

typedef struct HostSystemTable {
  int (*globalValues)(VmState* L, QmTagItem* tags); /* reads: data is the address of a uintptr_t */
  int32_t (*registerCustomError)(const char* text);
  void (*setErrorArgString)(const char* text);
  void (*setErrorArgNumber)(int32_t value);
  void (*getErrorText)(int32_t code, char* buffer, size_t size);
  void (*getSysTime)(QmTimeValue* out);
  void (*subTime)(QmTimeValue* a, const QmTimeValue* b);
  void (*addTime)(QmTimeValue* a, const QmTimeValue* b);
  int (*cmpTime)(const QmTimeValue* a, const QmTimeValue* b);
  void (*delay)(int32_t milliseconds);
  void (*formatCurrentDate)(int kind, char* text, size_t size, char* text2, size_t size2);
  void* (*allocMemory)(size_t size, uint32_t flags); /* bit 0: zeroed */
  void (*freeMemory)(void* block);
  QmHook* (*addHook)(int32_t kind, void (*callback)(void), void* userData);
  /* Slot 14: a user event type by name (mode 0, no hooks): its number, or 0
   * when the name is taken or memory runs out. */
  int32_t (*addUserEventType)(const char* name);
  QmHostFunc eventTypeService;
  /* Slot 16: queues an event of `type` with its three words and payload
   * for the display (null: none), time-stamped now: 1 queued, 0 not (the
   * caller still owns the payload), -1 out of memory. */
  int32_t (*postEvent)(void* display, int32_t type, int32_t a1, int32_t a2, int32_t a3,
                       void* payload);
  int32_t (*registerObjectType)(void** list, const char* name,
                                int (*handler)(VmState* L, uintptr_t a, uintptr_t b));
  void (*freeObjectDataList)(VmState* L, void** list);
  PluginNode* (*addPluginNode)(PluginBase* base, int32_t id, const char* name, const char* text2,
                               const char* text3, uintptr_t value, uint32_t flags);
  void (*pendingWork)(uint32_t flags);
  QmExtensionRecord* (*addExtension)(QmCommandHook hook, void* userData);
  void (*removeExtension)(QmExtensionRecord* record);
  int32_t (*addExtensionKey)(QmExtensionRecord* record, QmCommandFunction command); /* 0 or 1000 */
  void (*setExtensionErrorHandler)(QmExtensionRecord* record, QmErrorHandler handler);
  QmErrorHandler (*getExtensionErrorHandler)(QmExtensionRecord* record);
  void (*setExtensionDisabled)(QmExtensionRecord* record, int32_t disabled);
  /* Host event injection: kind and its words (the first the window handle
   * of display events); 0 or an error code. Any thread may call it. */
  int32_t (*postHostEvent)(VmState* L, int32_t kind, const uintptr_t* data);
  /* Slot 28: one pass of the central event poll (flags 1: run the poll
   * hooks and drop stale events first; 2: pump only): 1 when the script
   * must stop, its error in *error (0 for a quit request). */
  int32_t (*pollEvents)(VmState* L, int32_t flags, int32_t unused, int32_t* error);
  /* Slot 29: blocks until the next platform event or wake-up: 0 or an
   * error code. */
  int32_t (*waitPlatformEvent)(VmState* L, int32_t mode);
  QmMutex* (*allocMutex)(void);
  void (*freeMutex)(QmMutex* mutex);
  int (*lockMutex)(QmMutex* mutex);
  int (*unlockMutex)(QmMutex* mutex);
  void (*setHookDisabled)(QmHook* hook, int32_t flag);
  void (*removeHook)(QmHook* hook);
  /* Slot 36: a user event type with its mode and hooks (see
   * QmUserEventMessageHook): its number, or 0 as slot 14. */
  int32_t (*addUserEventTypeWithOptions)(const char* name, int32_t mode,
                                         QmUserEventMessageHook messageHook,
                                         QmUserEventCallHook callHook, QmUserEventFreeHook freeHook,
                                         void* thirdHook);
  void (*debugPrintf)(const char* format, ...);
  /* A timer adapter's fire of the timer RegisterTimer got host for. */
  void (*timerFired)(void* host);
  int32_t (*installTimerAdapter)(PluginBase* base, uint32_t flags);
  int32_t (*getCurrentDateStamp)(int32_t* fields); /* six words: s, min, h, day, month, year */
  char* (*convertStringEncoding)(const char* text, int32_t from, int32_t to);
  void (*freeConverted)(void* block);
  int32_t (*addToLoaderList)(PluginBase* base, uint32_t capability);
  void (*removeFromLoaderList)(PluginBase* base, uint32_t capability);
  void (*setPluginListHead)(void** record, uint32_t capability, void* value);
  QmHostFunc eventLibraryService46;
  void (*scriptLocation)(VmState* L, int32_t* line, const char** function, const char** script);
  QmHostFunc eventLibraryService48;
  int (*isUtf8Mode)(void);
  int (*errorHandlerEnabled)(void);
  int (*compareStringMode)(const char* a, const char* b, int caseSensitive);
  int (*readRandomBytes)(void* buffer, size_t count);
  /* 1 with the special folder's path in the buffer when it has one here. */
  int (*getSpecialFolderPath)(int32_t id, char* buffer, size_t size);
  /* The object record of a type and identifier (the automatic identifier,
   * or null and the number), or null. */
  void* (*findObjectEntry)(int32_t type, void* autoId, int32_t number);
} HostSystemTable;

/* Open mode bits of the file table. */
#define QM_OPEN_WRITE 1
#define QM_OPEN_UPDATE 2
#define QM_OPEN_SKIPSEEK 16
#define QM_OPEN_LATIN1NAME 32
#define QM_OPEN_NOADAPTERS 256

/* A chunk name taken apart (file table slot 29). */
typedef struct QmChunkDescription {
  int64_t offset;    /* in the holding file, or -1 */
  int64_t size;      /* bytes, or -1 */
  void* virtualFile; /* the linked chunk file it names, or null */
  char text[1024];   /* the extra text, or the plain name */
} QmChunkDescription;

/* Where a loader request's data lies (file table slot 34): a byte range of
 * a file, or a memory buffer (path null). */
typedef struct QmLoaderSource {
  const char* path;      /* the holding file; null for memory */
  uint64_t offset;       /* of the range in that file */
  uint64_t size;         /* of the range, or of the memory */
  const void* data;      /* the memory, when path is null */
  const char* extension; /* of the name the loader sees, without the dot */
} QmLoaderSource;
#define QM_MEMORYNAME_SIZE 64

typedef struct HostFileTable {
  QmStream* (*openStream)(const char* name, uint32_t mode);
  int (*closeStream)(QmStream* stream);
  int64_t (*seekStream)(QmStream* stream, int64_t offset, int mode);
  size_t (*readStream)(QmStream* stream, void* buffer, size_t length);
  size_t (*writeStream)(QmStream* stream, const void* buffer, size_t length);
  int (*readStreamByte)(QmStream* stream);
  int (*writeStreamByte)(QmStream* stream, int byte);
  int (*isStreamEof)(QmStream* stream);
  int (*deleteFile)(const char* name);
  QmLock* (*lockPath)(const char* name, uint32_t mode);
  void (*unlockPath)(QmLock* lock);
  int (*nameFromLock)(QmLock* lock, char* buffer, size_t size);
  int (*examineLock)(QmLock* lock, QmDirInfo* out);
  int32_t (*checkLockIsDirectory)(QmLock* lock, int32_t* isDirectory);
  void (*fileOperationDone)(void);
  int (*nextDirEntry)(QmLock* lock, char* name, size_t size, QmDirInfo* out);
  int32_t (*makeDirectory)(const char* name);
  int (*renameFile)(const char* from, const char* to);
  int (*currentDirectory)(char* buffer, size_t size);
  void (*clearPathBuffer)(char* buffer); /* 1,024 bytes */
  int (*addPart)(char* path, const char* part, size_t size);
  char* (*findFilePart)(char* path);
  const char* (*getDisplayFileName)(const char* name);
  int (*parseChunkName)(const char* name, int64_t* offset, int64_t* size, char* text,
                        size_t textSize);
  int (*examinePath)(const char* name, QmFileInfo* out);
  int64_t (*seekFileStream)(QmStream* stream, int64_t offset, int mode);
  uint32_t (*getStreamAdapterFlags)(QmStream* stream);
  int (*examineStream)(QmStream* stream, QmFileInfo* out);
  /* Slot 28: with flags bit 0, writes size bytes of data to the file
   * `name`; without it, copies them into a linked chunk file named
   * "foobar.dat" (it lives until the player ends) and writes that chunk's
   * name into `name`, which holds nameSize bytes. 1 on success. */
  int32_t (*writeBufferOrLink)(VmState* L, char* name, size_t nameSize, const void* data,
                               size_t size, uint32_t flags);
  /* Slot 29: 1 and the record filled for a chunk name, 0 (offset and size
   * -1, text the plain name) for any other name. */
  int32_t (*describeChunkName)(const char* name, QmChunkDescription* out);
  int (*flushStream)(QmStream* stream);
  void (*clearBuffer31)(char* buffer);
  QmStream* (*openStreamTags)(const char* name, uint32_t mode,
                              const QmTagItem* tags); /* tag 1: loaders */
  /* Slot 33: calls the dos library's command `command` with the nargs
   * values on top of the stack, leaving nresults results (-1: all). 0, or
   * the command's error code (ERR_UNIMPLCMD when there is no such command). */
  int32_t (*callDosCommand)(VmState* L, const char* command, int32_t nargs, int32_t nresults);
  /* Slot 34: the name a loader opens for a request's data: a chunk name of
   * the holding file's range, called "foo.<extension>", or, for data in
   * memory, a memory-name record built in `buffer` (which then needs at
   * least QM_MEMORYNAME_SIZE bytes, stays valid while the buffer does, and
   * is released with slot 34 again and a null source). 1 on success. */
  int32_t (*requestChunkName)(const QmLoaderSource* source, char* buffer, size_t size);
  void (*clearBuffer35)(char* buffer);
} HostFileTable;

/* Display, drawing and image services; slot 35 scales raw pixels. The
 * image slots:
 *   0 int (*)(const char* name, int32_t* width, int32_t* height, int32_t* depth): 1 on success
 *   1 void* (*)(const char* name, const QmTagItem* tags, int32_t* width, int32_t* height,
 *              int32_t* alpha): a decoded image or null; tag 1 keeps the pixel order (else
 *              red and blue swap and alpha is 0xFF unless the picture has alpha), tag 2 a
 *              pointer to a double scale factor, tag 3 smooth scaling
 *   2 uint32_t* (*)(void* image): its pixels
 *   3 void (*)(void* image): frees it */
/* Locked bitmap memory, as graphics slot 16 reports it and slots 21-24
 * draw on it: the first byte of row 0, the row length (pixels for pixel
 * bitmaps, bytes for alpha channels and masks), the pixel format (14 alpha
 * channel, 15 mask), bytes per pixel, width and height. */
typedef struct QmBitmapLock {
  void* address;
  int32_t rowLength;
  uint32_t format;
  int32_t bytesPerPixel;
  int32_t width, height;
} QmBitmapLock;
typedef struct QmRect {
  int32_t x, y, width, height;
} QmRect;
/* Tags of the graphics slots. */
#define QM_LOCKTAG_WRITE 1   /* slot 16: non-zero asks for write access */
#define QM_BLTTAG_CLIP 1     /* slot 21: a const QmRect* in the destination */
#define QM_DRAWTAG_OPACITY 1 /* slots 22-24 and 31: 0-255, 255 by default */
#define QM_DRAWTAG_CLIP 3    /* slots 22-24 and 31: a const QmRect* */
#define QM_ARGBTAG_MASK 1    /* slot 25: a mask bitmap (top byte 0xFF or 0) */
#define QM_ARGBTAG_ALPHA 2   /* slot 25: an alpha-channel bitmap */
#define QM_ARGBTAG_WIDTH 3   /* slot 25: default: to the right edge */
#define QM_ARGBTAG_HEIGHT 4  /* slot 25: default: to the bottom edge */
/* Flags of slots 22-24 and 31: the colour's top byte is its opacity (over
 * the tag). */
#define QM_DRAW_COLOURALPHA 0x1
/* Flag of slot 31: the polygon's edges are anti-aliased. */
#define QM_DRAW_ANTIALIAS 0x2

/* Bitmap slots of the graphics table (bitmaps are the host's handles):
 *  16 void* (*)(void* bitmap, const QmTagItem* tags, QmBitmapLock* out): a lock to hand
 *     to slot 17, or null when the bitmap cannot be locked
 *  17 void (*)(void* lock): releases it
 *  21 int32_t (*)(const QmBitmapLock* source, int32_t sx, int32_t sy,
 *     const QmBitmapLock* dest, int32_t dx, int32_t dy, int32_t width, int32_t height,
 *     const QmBitmapLock* plane, const QmTagItem* tags): copies plainly, through a mask
 *     plane or blended through an alpha plane (plane coordinates are the source's),
 *     clipped to both locks; 0 or 1055 for locks of different formats
 *  22 void (*)(const QmBitmapLock* lock, int32_t x, int32_t y, int32_t width,
 *     int32_t height, uint32_t colour, uint32_t flags, const QmTagItem* tags): fills
 *  23 void (*)(const QmBitmapLock* lock, int32_t x, int32_t y, uint32_t colour,
 *     uint32_t flags, const QmTagItem* tags): one pixel
 *  24 void (*)(const QmBitmapLock* lock, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
 *     uint32_t colour, uint32_t flags, const QmTagItem* tags): a line
 *  25 uint32_t* (*)(void* bitmap, int32_t x, int32_t y, const QmTagItem* tags): the
 *     rectangle as 0xAARRGGBB rows (free with the system table's freeMemory), or null
 *  26 int32_t (*)(const void* backing, int32_t which): width (0) or height (1)
 *  27 uint32_t (*)(uint32_t colour, uint32_t format, int32_t keepAlpha): a pixel value
 *  28 uint32_t (*)(uint32_t pixel, uint32_t format, int32_t keepAlpha): its colour
 *  31 void (*)(const QmBitmapLock* lock, const int32_t* points, int32_t count,
 *     uint32_t colour, uint32_t flags, const QmTagItem* tags): fills the polygon
 *     of count x, y pairs (closed from the last point to the first)
 * Colours of slots 22-24 and 31 are 0xRRGGBB; drawing outside the lock or its clip
 * rectangle is cut away. */
/* Brush slots of the graphics table (a brush is named by its automatic
 * identifier, or by its number when that is null):
 *   4 void* (*)(void* autoId, int32_t number, QmBrushLock* out): the brush's
 *     pixels locked for drawing, with its mask and alpha-channel bitmaps (null
 *     when it has none); a lock to hand to slot 5, or null when the brush
 *     does not exist or cannot be locked
 *   5 void (*)(void* lock): releases it
 *   6 uint32_t* (*)(void* autoId, int32_t number, const QmTagItem* tags): the
 *     brush as 0xAARRGGBB rows in a new buffer (free it with slot 7); tags
 *     QM_BRUSHTAG_WIDTH, _HEIGHT and _KIND answer through int32_t pointers,
 *     QM_BRUSHTAG_SCALE (bit 0) scales it by the current display's scale
 *     factor, smoothly with bit 1; null when the brush does not exist
 *   7 void (*)(uint32_t* pixels): frees such a buffer
 *  30 void* (*)(void* autoId, int32_t number): the brush's bitmap (the
 *     host's handle, for slots 16 and 25), or null */
typedef struct QmBrushLock {
  QmBitmapLock pixels;
  void* mask;
  void* alpha;
} QmBrushLock;
#define QM_BRUSHTAG_WIDTH 1
#define QM_BRUSHTAG_HEIGHT 2
#define QM_BRUSHTAG_KIND 3 /* 0 opaque, 1 a mask, 2 an alpha channel */
#define QM_BRUSHTAG_SCALE 4

typedef struct HostGraphicsTable {
  QmHostFunc slot[35];
  uint8_t* (*scalePixelBuffer)(const void* source, int32_t sx, int32_t sy, int32_t sourceWidth,
                               int32_t sourceHeight, void* destination, int32_t dx, int32_t dy,
                               int32_t destWidth, int32_t destHeight, int32_t sourceModulo,
                               int32_t destModulo, uint32_t format, int32_t flags);
} HostGraphicsTable;

typedef struct HostSoundTable {
  QmHostFunc createSampleData;
  QmHostFunc freeSampleData;
  QmHostFunc installAudioAdapter;
} HostSoundTable;

/* The requesters (through the requester adapter when it took them).
 * messageRequester: the chosen button (buttons count from 1 at the left,
 * the rightmost is 0); type 0 information ... 4 none. fileRequester and
 * directoryRequester write the chosen path into buffer (size bytes): 1, or
 * 0 when cancelled or when it does not fit. */
typedef struct HostRequesterTable {
  int32_t (*messageRequester)(VmState* L, const char* title, const char* body, const char* buttons,
                              int32_t type);
  int32_t (*fileRequester)(VmState* L, const char* title, char* buffer, size_t size, int32_t save);
  int32_t (*directoryRequester)(VmState* L, const char* title, char* buffer, size_t size);
  int32_t (*installRequesterAdapter)(PluginBase* base, uint32_t flags);
} HostRequesterTable;

/* enumerateTrueTypeFonts(const char* directory, int32_t noDuplicates) adds
 * the directory's font files to the host's font list; 0 or an error code. */
typedef struct HostFontTable {
  QmHostFunc enumerateTrueTypeFonts;
} HostFontTable;

/* FreeType functions in the host's fixed order: 0 FT_Init_FreeType,
 * 1 FT_Done_FreeType, 2 FT_New_Face, 3 FT_New_Memory_Face, 4 FT_Open_Face,
 * 5 FT_Done_Face, 6 FT_Set_Char_Size, 7 FT_Set_Pixel_Sizes,
 * 8 FT_Set_Transform, 9 FT_Get_Char_Index, 10 FT_Load_Glyph, 11 FT_Load_Char,
 * 12 FT_Render_Glyph, 13 FT_Get_Glyph, 14 FT_Done_Glyph, 15 FT_Glyph_Copy,
 * 16 FT_Glyph_Transform, 17 FT_Glyph_Get_CBox, 18 FT_Glyph_To_Bitmap,
 * 19 FT_Outline_Decompose, 20 FT_Outline_Get_CBox, 21 the host's own glue:
 * returns the host's FT_Library (0 when FreeType cannot start),
 * 22 FT_Outline_Transform, 23 FT_Outline_Translate, 24 FT_Outline_Embolden,
 * 25 FT_Outline_Get_Bitmap, 26 FT_Request_Size, 27 FT_Select_Size,
 * 28 FT_Get_Kerning, 29 FT_Bitmap_Init, 30 FT_Bitmap_Done,
 * 31 FT_Bitmap_Embolden, 32 FT_GlyphSlot_Own_Bitmap, 33 FT_MulFix,
 * 34 FT_Stroker_New, 35 FT_Stroker_Set, 36 FT_Glyph_Stroke,
 * 37 FT_Stroker_Done. */
typedef struct HostFreeTypeTable {
  QmHostFunc slot[38];
} HostFreeTypeTable;

typedef struct VmApiTable {
  int (*getTop)(VmState* L);
  void (*setTop)(VmState* L, int index);
  void (*pushValue)(VmState* L, int index);
  void (*remove)(VmState* L, int index);
  void (*insert)(VmState* L, int index);
  void (*replace)(VmState* L, int index);
  int (*isBuiltinFunction)(VmState* L, int index);
  int (*isNumber)(VmState* L, int index);
  int (*isString)(VmState* L, int index);
  int (*isUserdata)(VmState* L, int index);
  int (*type)(VmState* L, int index);
  int (*equal)(VmState* L, int a, int b);
  int (*rawEqual)(VmState* L, int a, int b);
  int (*lessThan)(VmState* L, int a, int b);
  double (*toNumber)(VmState* L, int index);
  const char* (*toString)(VmState* L, int index);
  size_t (*strLen)(VmState* L, int index);
  QmCommandFunction (*toBuiltinFunction)(VmState* L, int index);
  void* (*toUserdata)(VmState* L, int index);
  const void* (*toPointer)(VmState* L, int index);
  void (*pushNil)(VmState* L);
  void (*pushNumber)(VmState* L, double n);
  void (*pushLString)(VmState* L, const char* s, size_t length);
  void (*pushString)(VmState* L, const char* s);
  void (*pushLightUserdata)(VmState* L, void* p);
  void (*pushCClosure)(VmState* L, QmCommandFunction fn, int n);
  void (*getTable)(VmState* L, int index);
  void (*rawGet)(VmState* L, int index);
  void (*rawGetI)(VmState* L, int index, int n);
  void (*newTable)(VmState* L);
  void (*getFunctionGlobals)(VmState* L, int index);
  void (*setTable)(VmState* L, int index);
  void (*rawSet)(VmState* L, int index);
  void (*rawSetI)(VmState* L, int index, int n);
  int (*setFunctionGlobals)(VmState* L, int index);
  int32_t (*pcall)(VmState* L, int nargs, int nresults, int errfunc);
  int (*next)(VmState* L, int index);
  void (*concat)(VmState* L, int n);
  int (*pushUpvalues)(VmState* L);
  const char* (*getUpvalue)(VmState* L, int funcindex, int n);
  const char* (*setUpvalue)(VmState* L, int funcindex, int n);
  void* (*newUserdata)(VmState* L, size_t size);
  int (*setMetatable)(VmState* L, int index);
  int (*getMetatable)(VmState* L, int index);
  /* raiseError and the check functions below unwind through the caller
   * when they fail (see "Unwinding" above). */
  void (*raiseError)(VmState* L, int32_t code);
  const char* (*checkString)(VmState* L, int index, size_t* length);
  const char* (*optString)(VmState* L, int index, const char* def, size_t* length);
  double (*checkNumber)(VmState* L, int index);
  double (*optNumber)(VmState* L, int index, double def);
  int32_t (*checkInteger)(VmState* L, int index);
  int32_t (*optInteger)(VmState* L, int index, int32_t def);
  void (*checkTable)(VmState* L, int index);
  void (*checkFunction)(VmState* L, int index);
  void (*checkType)(VmState* L, int index, int type);
  int (*createReference)(VmState* L, int table);
  void (*releaseReference)(VmState* L, int table, int ref);
  /* An object identifier: *autoId the automatic one (null for a number);
   * with allowAuto, nil or absence asks for a new one (returns 1). */
  int (*objectIdArgument)(VmState* L, int index, void** autoId, int32_t* number, int allowAuto);
  int (*newNamedMetatable)(VmState* L, const char* name);
  void (*getNamedMetatable)(VmState* L, const char* name);
  void* (*testTypedUserdata)(VmState* L, int index, const char* name);
  void (*bufferInit)(VmState* L, QmStringBuffer* buffer);
  size_t (*bufferPrepare)(QmStringBuffer* buffer); /* free room in the inline buffer */
  void (*bufferAddBytes)(QmStringBuffer* buffer, const char* s, size_t length);
  void (*bufferAddString)(QmStringBuffer* buffer, const char* s);
  void (*bufferAddValue)(QmStringBuffer* buffer); /* pops the string on the top */
  void (*bufferPushResult)(QmStringBuffer* buffer);
  int (*findStringInList)(const char* name, const char* const* list);
  void (*checkStack)(VmState* L, int space, const char* message);
  const char* (*fileNameArgument)(VmState* L, int index);
  int32_t (*optIntegerAbsent)(VmState* L, int index, int32_t def, int32_t* absent);
  void (*pushBoolean)(VmState* L, int b);
  int (*toBoolean)(VmState* L, int index);
  void (*newTableSized)(VmState* L, int narray, int nhash);
  const char* (*typeName)(VmState* L, int tag);
  int32_t (*call)(VmState* L, int nargs, int nresults);
  uint32_t (*getGcThreshold)(VmState* L);
  uint32_t (*getGcCount)(VmState* L);
  void (*setGcThreshold)(VmState* L, uint32_t kb);
} VmApiTable;

/* The three built-in TrueType faces and their sizes in bytes. */
typedef struct HostFontBlobTable {
  const void* sans;
  const void* serif;
  const void* monospace;
  size_t sansSize;
  size_t serifSize;
  size_t monospaceSize;
} HostFontBlobTable;

/* zlib: inflateInit_, inflate, inflateEnd, deflateInit_, deflate,
 * deflateEnd, deflateReset, deflateParams, inflateReset, inflateSync,
 * inflateInit2_, deflateInit2_, crc32. */
typedef struct HostZlibTable {
  QmHostFunc slot[13];
} HostZlibTable;

/* libjpeg, in the order the host lists them (jpeg_CreateDecompress and
 * jpeg_finish_decompress first). */
typedef struct HostJpegTable {
  QmHostFunc slot[25];
} HostJpegTable;

/* A node of GetLoadedPluginArray's allocation. */
typedef struct QmPluginListNode {
  struct QmPluginListNode* next;
  PluginBase* base;
} QmPluginListNode;

typedef struct HostPluginTable {
  QmPluginListNode* (*getLoadedPluginArray)(void);
  void (*freeLoadedPluginArray)(QmPluginListNode* array);
  void (*setPluginDisabled)(PluginBase* base, int32_t flag);
  void (*setPluginUserData)(PluginBase* base, uintptr_t value);
  uintptr_t (*getPluginUserData)(PluginBase* base);
} HostPluginTable;

typedef struct HostEncodingTable {
  /* Terminated Base64 text into out (outSize bytes): 1, or 0 when it does not fit. */
  int (*base64Encode)(const void* data, size_t count, char* out, size_t outSize);
  /* Decoded bytes into out (outSize bytes): 1, or 0 for bad text or no room. */
  int (*base64Decode)(const char* text, size_t length, void* out, size_t outSize, size_t* written);
  int64_t (*crc32)(const void* buffer, int64_t length); /* length below 1: -1 */
  void (*md5Digest)(const void* data, size_t count, char out[33]);
} HostEncodingTable;

typedef struct HostUnicodeTable {
  int64_t (*validateString)(const char* text); /* characters, or -1 */
  int (*compareNoCase)(const char* a, const char* b);
  int (*compareNoCaseN)(const char* a, const char* b, size_t n);
  uint32_t (*toLower)(uint32_t c);
  uint32_t (*toUpper)(uint32_t c);
  int (*isAlnum)(uint32_t c);
  int (*isCntrl)(uint32_t c);
  int (*isDigit)(uint32_t c);
  int (*isGraph)(uint32_t c);
  int (*isLower)(uint32_t c);
  int (*isPrint)(uint32_t c);
  int (*isPunct)(uint32_t c);
  int (*isSpace)(uint32_t c);
  int (*isXDigit)(uint32_t c);
  int (*isUpper)(uint32_t c);
  int (*isAlpha)(uint32_t c);
  int (*validate)(const char* text); /* 1 when the terminated text is valid */
  size_t (*byteOffset)(const char* text, int64_t n);
  size_t (*countChars)(const char* text, size_t bytes);
  uint32_t (*decodeChar)(const char* text, size_t* pos);
  size_t (*encodeChar)(char* buffer, uint32_t c);
} HostUnicodeTable;

typedef struct HostLocaleTable {
  int32_t (*languageId)(void);
  int32_t (*countryId)(void);
  int (*timeZoneMinutes)(int* out);
} HostLocaleTable;

/* The root that InitPlugin receives. */
typedef struct PluginHostApi {
  int32_t version;
  int32_t revision;
  const HostCRuntimeTable* cruntime;
  const HostSystemTable* system;
  const HostFileTable* file;
  const HostGraphicsTable* graphics;
  const HostSoundTable* sound;
  const HostRequesterTable* requester;
  const HostFontTable* font;
  const HostFreeTypeTable* freetype;
  const VmApiTable* vm;
  const HostFontBlobTable* fontBlobs;
  const HostZlibTable* zlib;
  const HostJpegTable* jpeg;
  const HostPluginTable* plugin;
  const HostEncodingTable* encoding;
  const HostUnicodeTable* unicode;
  const HostLocaleTable* locale;
  void* reserved[4];
} PluginHostApi;

/* ---- Entry points -------------------------------------------------------------- */

/* Every plug-in. InitPlugin returns non-zero on success. */
typedef int (*QmInitPluginFunc)(PluginBase* base, const PluginHostApi* api, const char* path);
typedef void (*QmClosePluginFunc)(void);
/* PLUGINCAPS_EXTENSION: flags of one capability bit. */
typedef uint32_t (*QmGetExtensionsFunc)(uint32_t capability, uintptr_t reserved);
/* PLUGINCAPS_LIBRARY. */
typedef const char* (*QmGetBaseTableFunc)(void);
typedef const QmCommandEntry* (*QmGetCommandsFunc)(void);
typedef const QmConstantEntry* (*QmGetConstantsFunc)(void);
typedef int32_t (*QmInitLibraryFunc)(VmState* L);
typedef void (*QmFreeLibraryFunc)(VmState* L);
typedef int32_t (*QmGetLibraryCountFunc)(void);
typedef void (*QmSetCurrentLibraryFunc)(int32_t index);
typedef int (*QmPushUpvaluesFunc)(VmState* L);
/* Two help texts (synopsis, description) of the command at index of the
 * current library's command table, or null. */
typedef const char* const* (*QmGetHelpStringsFunc)(int32_t index);
/* PLUGINCAPS_IMAGE. IsImage and LoadImage return null when the file is not
 * theirs; GetImage gives 0xAARRGGBB pixels owned by the image handle. */
typedef int (*QmIsImageFunc)(const char* name, QmImageRequest* info);
typedef void* (*QmLoadImageFunc)(const char* name, QmImageRequest* request);
typedef uint32_t* (*QmGetImageFunc)(void* handle, QmImageRequest* request);
typedef void (*QmFreeImageFunc)(void* handle);
typedef int (*QmTransformImageFunc)(void* handle, const double* parameters);
/* PLUGINCAPS_ANIM. OpenAnim returns null when the file is not theirs;
 * LoadFrame gives frame index (from 0) as width x height 0xAARRGGBB words,
 * which the host hands back through FreeFrame; GetFrameDelay answers in
 * milliseconds. */
typedef void* (*QmOpenAnimFunc)(const char* name, QmAnimOpenRecord* record);
typedef uint32_t* (*QmLoadFrameFunc)(void* handle, int32_t index, QmAnimFrameRecord* record,
                                     uintptr_t reserved);
typedef void (*QmFreeFrameFunc)(uint32_t* frame);
typedef int32_t (*QmGetFrameDelayFunc)(void* handle, int32_t index);
typedef void (*QmCloseAnimFunc)(void* handle);
/* PLUGINCAPS_REQUIRE. */
typedef int32_t (*QmRequirePluginFunc)(VmState* L, int32_t version, int32_t revision,
                                       uint32_t flags, const QmTagItem* tags);
/* Savers: fill the entry, return its flags. */
typedef uint32_t (*QmRegisterSaverFunc)(SaverFormatEntry* entry);
/* PLUGINCAPS_SAVEANIM. BeginAnimStream returns null when it cannot begin
 * the file; WriteAnimFrame returns non-zero on success; FinishAnimStream
 * completes the file and frees the handle. */
typedef void* (*QmBeginAnimStreamFunc)(const char* file, int32_t width, int32_t height,
                                       uint32_t mode, int32_t quality, int32_t fps);
typedef int32_t (*QmWriteAnimFrameFunc)(void* handle, QmAnimSaveFrame* frame);
typedef void (*QmFinishAnimStreamFunc)(void* handle);
/* PLUGINCAPS_SAVEIMAGE. SaveImage writes one picture and returns non-zero
 * on success. A format registered without QM_SAVER_TRUECOLOR gets palette
 * indices (one byte a pixel) with their colour table; the others get
 * 0xAARRGGBB words, whose alpha is meaningful with QM_IMAGESAVE_ALPHA. */
typedef struct QmImageSaveRequest {
  void* pixels;            /* palette indices or 0xAARRGGBB words */
  const uint32_t* palette; /* the colour table of an index picture, else null */
  int32_t width;
  int32_t height;
  int32_t bytesPerRow;      /* width, or width x 4 */
  int32_t colourCount;      /* entries of palette */
  int32_t transparentIndex; /* valid with QM_IMAGESAVE_TRANSINDEX */
  uint32_t flags;           /* QM_IMAGESAVE_* */
  int32_t formatId;
  int32_t quality; /* the script's quality, 0..100 */
} QmImageSaveRequest;
#define QM_IMAGESAVE_ALPHA 0x1      /* the words carry an alpha channel */
#define QM_IMAGESAVE_TRANSINDEX 0x2 /* transparentIndex is valid */
typedef int32_t (*QmSaveImageFunc)(const char* file, QmImageSaveRequest* request);
/* PLUGINCAPS_SAVESAMPLE. SaveSample writes one sample and returns non-zero
 * on success. 8-bit data is unsigned unless QM_SAMPLESAVE_SIGNED is set;
 * 16-bit data is in the host's byte order unless QM_SAMPLESAVE_BIGENDIAN is
 * set; stereo frames are interleaved left, right. */
typedef struct QmSampleSaveRequest {
  void* pcm;
  uint32_t length; /* bytes */
  uint32_t frames;
  int32_t channels; /* 1 or 2 */
  int32_t bits;     /* 8 or 16 */
  int32_t pitch;    /* frames per second */
  uint32_t flags;   /* QM_SAMPLESAVE_* */
  int32_t formatId;
} QmSampleSaveRequest;
#define QM_SAMPLESAVE_BIGENDIAN 0x1
#define QM_SAMPLESAVE_SIGNED 0x2
typedef int32_t (*QmSaveSampleFunc)(const char* file, QmSampleSaveRequest* request);

/* ---- Display adapters (PLUGINCAPS_DISPLAYADAPTER) ------------------------------
 *
 * A display adapter installs itself from InitPlugin or RequirePlugin through
 * the graphics slot QM_GFX_INSTALLDISPLAYADAPTER; installation closes once
 * the first display window opens. From then on every window of the host is
 * the adapter's: the host hands it a window handle of its own making
 * (OpenDisplay) and names that handle in every later call. All hooks run on
 * the script thread. */

/* Flags of the installation. */
#define QM_ADAPTER_LOCKED 0x1         /* no other adapter may replace it */
#define QM_ADAPTER_SCALES 0x8         /* BltBitMap scales itself */
#define QM_ADAPTER_VIDEOBITMAPS 0x10  /* AllocVideoBitMap makes video bitmaps */
#define QM_ADAPTER_OWNSBITMAPS 0x20   /* AllocBitMap makes every other bitmap */
#define QM_ADAPTER_DOUBLEBUFFERS 0x40 /* Begin/EndDoubleBuffer and Flip buffer windows */
#define QM_ADAPTER_OPACITY 0x80       /* colours arrive with opacity in the top byte */
#define QM_ADAPTER_SLEEPS 0x100       /* Sleep is the adapter's */
#define QM_ADAPTER_VWAITS 0x200       /* VWait is the adapter's */
#define QM_ADAPTER_MONITORS 0x400     /* GetMonitorInfo lists the monitors */
#define QM_ADAPTER_CLOSEDBLITS 0x1000 /* blits also for windows not open */
/* Tags of the installation. */
#define QM_ADAPTERTAG_WAKEINTERVAL 1 /* default 10 */
#define QM_ADAPTERTAG_DRAWCAPS 2     /* drawing-capability word */
#define QM_ADAPTERTAG_STORED 3       /* a word the host keeps */
#define QM_ADAPTERTAG_PIXELFORMAT 4  /* default 10 */
/* Bits of the drawing-capability word: the operations the adapter does on
 * its own bitmaps (bitmap blits need both bitmaps to be the adapter's). */
#define QM_DRAWCAP_BLIT 0x1
#define QM_DRAWCAP_MASKBLIT 0x2
#define QM_DRAWCAP_ALPHABLIT 0x4
#define QM_DRAWCAP_RECTFILL 0x8
#define QM_DRAWCAP_PIXEL 0x10
#define QM_DRAWCAP_LINE 0x20

/* Display flags of OpenDisplay and DetermineBorderSizes. */
#define QM_DISPLAY_BORDERLESS 0x1
#define QM_DISPLAY_SIZEABLE 0x2
#define QM_DISPLAY_FIXED 0x4
#define QM_DISPLAY_NOHIDE 0x8
#define QM_DISPLAY_NOCLOSE 0x10
#define QM_DISPLAY_AUTOSCALE 0x20
#define QM_DISPLAY_LAYERSCALE 0x40
#define QM_DISPLAY_LAYERS 0x80
#define QM_DISPLAY_DOUBLEBUFFER 0x100
#define QM_DISPLAY_HWDOUBLEBUFFER 0x200
#define QM_DISPLAY_FULLSCREEN 0x400
#define QM_DISPLAY_DISABLEBLANKER 0x800
#define QM_DISPLAY_ALWAYSONTOP 0x1000

/* One monitor of GetMonitorInfo (QM_MONITORQUERY_MONITORS); an entry of
 * width or height 0 ends the array. */
typedef struct QmMonitorInfo {
  int32_t x, y, width, height;
} QmMonitorInfo;
/* One screen mode of GetMonitorInfo (QM_MONITORQUERY_MODES), ended the
 * same way. */
typedef struct QmScreenMode {
  int32_t width, height, depth;
  int32_t reserved[2];
} QmScreenMode;
#define QM_MONITORQUERY_MONITORS 0
#define QM_MONITORQUERY_MODES 1

/* The pixels behind a host bitmap, as an adapter reads them: format 10 is
 * 32-bit pixels 0x00RRGGBB (native byte order). */
typedef struct QmPixelSource {
  const void* pixels;
  int32_t bytesPerRow;
  uint32_t format;
  int32_t width, height;
} QmPixelSource;

/* Flags of a blit request (request->flags). */
#define QM_BLIT_HASALPHA 0x1  /* the source has an alpha channel */
#define QM_BLIT_UNSCALED 0x20 /* the host did not scale: the adapter scales */

/* What the adapter does itself in a blit of a brush in video memory, by
 * the bitmap flags it grants: 512 hardware transforms, 1024 hardware
 * opacity. With QM_BLITPARAM_TRANSFORM the source rectangle (srcX, srcY,
 * width x height) is drawn through the matrix into the box of boxWidth x
 * boxHeight at dstX, dstY: the source offset (x, y) goes to (matrix[0] x +
 * matrix[2] y, matrix[1] x + matrix[3] y), less the least corner that the
 * matrix makes of the rectangle (0, 0)-(width, height). The anchor is the
 * point of the source (as a share of its size) that the transform turns
 * about; the box is already placed for it. Without the flag the box is the
 * source's size. With QM_BLITPARAM_LEVEL every pixel is drawn at level /
 * 255 of its own opacity. */
typedef struct QmBlitParams {
  uint32_t flags; /* QM_BLITPARAM_* */
  int32_t level;  /* 0 to 255 */
  double matrix[4];
  double anchorX, anchorY;
  int32_t boxWidth, boxHeight;
} QmBlitParams;
#define QM_BLITPARAM_TRANSFORM 0x1
#define QM_BLITPARAM_LEVEL 0x2

/* The request of BltBitMap. The first block is the bitmap blit's
 * descriptor; the rest is filled when the destination is a window. */
typedef struct QmBlitRequest {
  int32_t srcX, srcY, dstX, dstY, width, height;
  void* maskBacking; /* the mask's or alpha channel's backing, or null */
  /* Window copies: */
  int32_t scaledWidth, scaledHeight; /* 0: unscaled */
  int32_t smooth;
  uint32_t flags;       /* QM_BLIT_* */
  QmPixelSource source; /* the source's pixels */
  const uint8_t* maskBits;
  int32_t maskBytesPerRow;
  const uint8_t* alphaBytes;
  int32_t alphaBytesPerRow;
  int32_t hasClip;
  int32_t clipX, clipY, clipWidth, clipHeight;
  /* With QM_BLITBMP_PARAMS: what the adapter transforms or fades. */
  const QmBlitParams* params;
} QmBlitRequest;

/* BltBitMap's flags argument for a window copy. */
#define QM_BLITDEST_WINDOW 0x100
/* BltBitMap's flags argument for a copy between bitmaps: the descriptor's
 * first block and maskBacking are set. */
#define QM_BLITBMP_VIDEOSOURCE 0x1 /* the source is a video bitmap */
#define QM_BLITBMP_ADAPTER 0x2     /* both are bitmaps the adapter made */
#define QM_BLITBMP_VIDEODEST 0x4   /* the destination is a video bitmap */
#define QM_BLITBMP_NOALPHA 0x8     /* the video source carries no alpha */
#define QM_BLITBMP_SELECTED 0x10   /* the destination is a display's mask or alpha output */
#define QM_BLITBMP_ALPHA 0x200     /* maskBacking is an alpha channel (else a mask) */
#define QM_BLITBMP_PARAMS 0x400    /* request->params is set */

/* The mode word of RectFill, WritePixel and Line on bitmaps: 1 a bitmap the
 * adapter made, 2 a video bitmap, plus 4 while it is a display's selected
 * mask or alpha output. Below 4 the colour's top byte is opacity when the
 * adapter asked for QM_ADAPTER_OPACITY. Window drawing passes 0. */
#define QM_DRAWMODE_BITMAP 0x1
#define QM_DRAWMODE_VIDEO 0x2
#define QM_DRAWMODE_SELECTED 0x4

/* VWait's request. */
typedef struct QmVWaitRequest {
  int32_t version; /* 1 */
  int32_t frame;
  uintptr_t reserved;
} QmVWaitRequest;

/* Flip's request: sync non-zero waits for the next frame before showing. */
typedef struct QmFlipRequest {
  int32_t version; /* 1 */
  int32_t sync;
  uintptr_t reserved;
} QmFlipRequest;

/* A lock of an adapter bitmap. */
typedef struct QmAdapterLock {
  void* pixels;
  int32_t bytesPerRow;
  uint32_t format;
  int32_t width, height;
  uintptr_t token; /* the adapter's own word */
} QmAdapterLock;

/* The callback AdapterMainLoop runs: the script's main chunk. */
typedef int32_t (*QmMainChunkFunc)(VmState* L, void* userData);

typedef int32_t (*QmHandleEventsFunc)(VmState* L, uint32_t flags);
typedef int32_t (*QmWaitEventsFunc)(VmState* L, int32_t milliseconds);
typedef void (*QmForceEventLoopIterationFunc)(uintptr_t reserved);
typedef void (*QmSleepFunc)(VmState* L, int32_t milliseconds);
typedef int32_t (*QmVWaitFunc)(void* window, const QmVWaitRequest* request);
typedef int32_t (*QmDetermineBorderSizesFunc)(uint32_t displayFlags, int32_t* left, int32_t* right,
                                              int32_t* top, int32_t* bottom);
/* A window handle, or null when the window cannot be made. */
typedef void* (*QmOpenDisplayFunc)(const char* title, int32_t x, int32_t y, int32_t width,
                                   int32_t height, uint32_t displayFlags, const QmTagItem* tags);
typedef int32_t (*QmCloseDisplayFunc)(void* window);
typedef int32_t (*QmChangeBufferSizeFunc)(void* window, int32_t width, int32_t height);
typedef int32_t (*QmShowHideDisplayFunc)(void* window, int32_t show, uintptr_t reserved);
typedef int32_t (*QmSizeMoveDisplayFunc)(void* window, int32_t x, int32_t y, int32_t width,
                                         int32_t height, uintptr_t reserved1, uintptr_t reserved2);
typedef int32_t (*QmSetDisplayTitleFunc)(void* window, const char* title);
typedef int32_t (*QmActivateDisplayFunc)(void* window, int32_t takeFocus);
typedef int32_t (*QmSetDisplayAttributesFunc)(void* window, const QmTagItem* tags);
/* pixels: width x height ARGB words; null when the pointer cannot be made. */
typedef void* (*QmCreatePointerFunc)(const uint32_t* pixels, int32_t width, int32_t height,
                                     int32_t hotX, int32_t hotY);
typedef void (*QmFreePointerFunc)(void* pointer);
typedef int32_t (*QmSetPointerFunc)(void* window, void* pointer);
typedef int32_t (*QmShowHidePointerFunc)(void* window, int32_t visible);
typedef int32_t (*QmMovePointerFunc)(void* window, int32_t x, int32_t y);
typedef int32_t (*QmGetMousePosFunc)(void* window, int32_t* x, int32_t* y);
typedef uint32_t (*QmGetQualifiersFunc)(void* window);
/* destination: a window handle (flags QM_BLITDEST_WINDOW) or an adapter
 * bitmap's backing. */
typedef int32_t (*QmBltBitMapFunc)(void* sourceBacking, void* destination,
                                   const QmBlitRequest* request, uint32_t flags);
/* Colours of the drawing hooks: 0xAARRGGBB with the alpha inverted
 * (0x00 opaque). */
typedef int32_t (*QmRectFillFunc)(void* handle, int32_t x, int32_t y, int32_t width, int32_t height,
                                  uint32_t colour, uint32_t flags);
typedef int32_t (*QmWritePixelFunc)(void* handle, int32_t x, int32_t y, uint32_t colour,
                                    uint32_t mode);
typedef int32_t (*QmLineFunc)(void* handle, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                              uint32_t colour, uint32_t mode);
/* query QM_MONITORQUERY_*: an array (QmMonitorInfo or QmScreenMode) or null. */
typedef void* (*QmGetMonitorInfoFunc)(int32_t query, int32_t monitor);
typedef void (*QmFreeMonitorInfoFunc)(void* list);
/* width x height ARGB words, or null. */
typedef uint32_t* (*QmGrabScreenPixelsFunc)(int32_t x, int32_t y, int32_t width, int32_t height);
typedef void (*QmFreeGrabScreenPixelsFunc)(uint32_t* pixels);
typedef int32_t (*QmBeginDoubleBufferFunc)(void* window);
typedef int32_t (*QmEndDoubleBufferFunc)(void* window);
typedef int32_t (*QmFlipFunc)(void* window, const QmFlipRequest* request);
typedef int32_t (*QmClsFunc)(void* window, uint32_t colour, uint32_t flags);
/* Video bitmaps: a backing, or null. pixels (width x height 0xAARRGGBB
 * words, or null for a cleared bitmap) are the initial contents; flags are
 * the allocation's (8 video, 1 the pixels carry alpha). ReadVideoPixels
 * gives width x height words in the adapter's pixel format, rows packed,
 * or null when it cannot read the bitmap. */
typedef void* (*QmAllocVideoBitMapFunc)(int32_t width, int32_t height, const uint32_t* pixels,
                                        uint32_t flags);
typedef void (*QmFreeVideoBitMapFunc)(void* backing);
typedef uint32_t* (*QmReadVideoPixelsFunc)(void* backing, int32_t* width, int32_t* height);
typedef void (*QmFreeVideoPixelsFunc)(uint32_t* pixels);
typedef int32_t (*QmDoVideoBitMapMethodFunc)(void* backing, int32_t method, const QmTagItem* tags);
/* Bitmaps of an adapter that owns all bitmaps: kind 0 pixels, 1 alpha
 * channel, 2 mask. Tags: 1 a model bitmap's backing (masks), 2 memory and 3
 * its bytes per row to wrap. */
typedef void* (*QmAllocBitMapFunc)(int32_t kind, int32_t width, int32_t height, int32_t clear,
                                   const QmTagItem* tags);
typedef void (*QmFreeBitMapFunc)(void* backing);
/* Non-zero on success; flags bit 0 read-only. The lock (pixels, bytes per
 * row, format, size and the adapter's token) goes back to UnLockBitMap. An
 * alpha channel or mask locks with one byte (or bit) per pixel. */
typedef int32_t (*QmLockBitMapFunc)(void* backing, uint32_t flags, QmAdapterLock* lock);
typedef void (*QmUnLockBitMapFunc)(QmAdapterLock* lock);
/* attribute 0 width, 1 height, 2 bytes per row. */
typedef intptr_t (*QmGetBitMapAttrFunc)(void* backing, int32_t attribute);
/* Extension bit 0: the adapter runs the script's main chunk by calling
 * chunk(L, chunkData) from a loop of its own; the chunk's result is its
 * result. */
typedef int32_t (*QmAdapterMainLoopFunc)(VmState* L, QmMainChunkFunc chunk, void* chunkData,
                                         uintptr_t reserved1, uintptr_t reserved2);

/* ---- File and directory adapters (PLUGINCAPS_FILEADAPTER, _DIRADAPTER) ----
 *
 * A file adapter opens names the host's stream layer is asked to open (when
 * the open asks for adapters and the loader string admits the plug-in); a
 * directory adapter lists directories the host locks. */

/* What FStat, Stat and NextDirEntry fill. The host presets the three dates
 * to the run's start stamp before each call. */
typedef struct QmAdapterStat {
  int32_t type;   /* 1 directory */
  int64_t size;   /* -1 when not known */
  uint32_t flags; /* QM_ADAPTERSTAT_DIRECTORY, permission bits 0x1-0x4000 */
  /* Accessed, modified, changed: seconds, minutes, hours, day of month,
   * month counted from 0, full year. */
  int32_t dates[3][6];
  const char* name;    /* NextDirEntry: the entry's name, valid until the next call */
  const char* comment; /* or null */
  uintptr_t words[3];  /* passed on to the host's file information */
} QmAdapterStat;
#define QM_ADAPTERSTAT_DIRECTORY 0x20000

/* FOpen's mode word. */
#define QM_FOPEN_WRITE 1
#define QM_FOPEN_UPDATE 2
#define QM_FOPEN_READ 4
/* FOpen's tags. Linked data (a ":::chunk" name) comes with its holding
 * file's path, offset and size; a memory buffer with its address and size;
 * the name passed is then the data's stored name. */
#define QM_FOPENTAG_FLAGS 1  /* address of the stream's uint32_t adapter-flags word */
#define QM_FOPENTAG_PATH 2   /* const char* */
#define QM_FOPENTAG_OFFSET 3 /* byte offset in that file */
#define QM_FOPENTAG_SIZE 4
#define QM_FOPENTAG_DATA 5 /* const void* */
/* Adapter flags an adapter may set through QM_FOPENTAG_FLAGS. */
#define QM_STREAM_NOSEEK 2 /* only seeks to the start work */
/* PluginBase.fileAdapterFlags. */
#define QM_FILEADAPTER_LINKEDDATA 0x1 /* takes linked data and memory buffers */
#define QM_FILEADAPTER_OVERRIDE 0x2   /* used only while its override word is set */

/* FSeek modes: 0 from the current position, 1 from the start, 2 from the
 * end; it returns the position before the seek, or -1. */
typedef void* (*QmFOpenFunc)(const char* name, int32_t mode, const QmTagItem* tags);
typedef int32_t (*QmFCloseFunc)(void* file);
typedef size_t (*QmFReadFunc)(void* file, void* buffer, size_t length);
typedef int32_t (*QmFGetCFunc)(void* file); /* byte or -1 */
typedef size_t (*QmFWriteFunc)(void* file, const void* buffer, size_t length);
typedef int32_t (*QmFPutCFunc)(void* file, int32_t byte); /* 1 on success */
typedef int64_t (*QmFSeekFunc)(void* file, int64_t offset, int32_t mode);
typedef int32_t (*QmFFlushFunc)(void* file);
typedef int32_t (*QmFEofFunc)(void* file);
/* Non-zero on success. */
typedef int32_t (*QmFStatFunc)(void* file, QmAdapterStat* out);
typedef int32_t (*QmStatFunc)(const char* name, QmAdapterStat* out);
/* A directory handle, or null when the path is not the adapter's. */
typedef void* (*QmOpenDirFunc)(const char* path, int32_t mode);
typedef void (*QmCloseDirFunc)(void* dir);
/* Non-zero for an entry, 0 at the end. */
typedef int32_t (*QmNextDirEntryFunc)(void* dir, QmAdapterStat* out);
/* Extension bit 0 of the directory adapter: non-zero on success. */
typedef int32_t (*QmRewindDirFunc)(void* dir);

/* ---- Display callbacks -------------------------------------------------------
 *
 * A plug-in that draws a display somewhere of its own attaches a callback
 * to it. The host calls it on the script thread, in the order callbacks
 * were added, with a message and a block of values:
 *   0 window copy: pixels, layout (1: the bitmap's own pixels), bytes per
 *     row, pixel format, bitmap width, bitmap height, source x, source y,
 *     destination x, destination y, width, height, mask pixels, mask
 *     bytes per row (both 0 without a mask). A callback added with
 *     QM_DCBTAG_UNSCALED gets the unscaled picture and its coordinates, the
 *     others the scaled copy the window shows.
 *   1 rectangle filled: x, y, width, height, colour
 *   2 line drawn: x1, y1, x2, y2, colour
 *   3 pixel written: x, y, colour
 *   4 new size: width, height
 *   5 vertical blank (only with QM_DCBTAG_VWAIT): frame number
 * Colours are 0xAARRGGBB with the alpha inverted (0x00 opaque). */
#define QM_DCB_WINDOWCOPY 0
#define QM_DCB_RECTFILL 1
#define QM_DCB_LINE 2
#define QM_DCB_PIXEL 3
#define QM_DCB_SIZE 4
#define QM_DCB_VBLANK 5
/* Tags of AddDisplayCallback: out tags point at an int32_t. */
#define QM_DCBTAG_WIDTH 1     /* out: the drawing width (scaled when scaling) */
#define QM_DCBTAG_HEIGHT 2    /* out */
#define QM_DCBTAG_VWAIT 3     /* in: wants message 5 */
#define QM_DCBTAG_USER 4      /* in: a word the host keeps */
#define QM_DCBTAG_UNSCALED 5  /* in: message 0 carries the unscaled picture */
#define QM_DCBTAG_PICWIDTH 6  /* out: the background picture's width */
#define QM_DCBTAG_PICHEIGHT 7 /* out */
#define QM_DCBTAG_BRACKET 8   /* in: BeginRefresh opens brackets for this callback */
typedef struct QmDisplayCallback QmDisplayCallback; /* the host's record */
typedef int32_t (*QmDisplayCallbackFunc)(QmDisplayCallback* record, int32_t message,
                                         const intptr_t* values, void* userData);
/* callMode 0 calls directly; 1 (through the call bridge) never calls. Null
 * when the display does not exist, has a picture with a mask or alpha
 * channel, double-buffers or shows a video, or while the video recorder
 * records. */
typedef QmDisplayCallback* (*QmAddDisplayCallbackFunc)(int32_t displayId,
                                                       QmDisplayCallbackFunc function,
                                                       void* userData, const QmTagItem* tags,
                                                       int32_t callMode);
typedef void (*QmRemoveDisplayCallbackFunc)(QmDisplayCallback* record);
/* Input of the callback's display, posted as the window system's would be:
 *   0 close request; 1 left, 2 right, 3 middle button: x, y, state;
 *   4 wheel: x, y, down (non-zero) or up; 0-4 store x and y as the pointer;
 *   5 key: code, state, qualifiers; 6 typed character: code point;
 *   7 dropped files: x, y, names one after another ended by an empty one;
 *   8 raw key: code, state, qualifiers. */
typedef void (*QmPostDisplayCallbackEventFunc)(QmDisplayCallback* record, int32_t message,
                                               const intptr_t* data);
/* Tags: 1 scaled width, 2 scaled height. An error code. */
typedef int32_t (*QmChangeDisplaySizeForCallbackFunc)(QmDisplayCallback* record, int32_t width,
                                                      int32_t height, const QmTagItem* tags);
/* Tags (out, int32_t unless said): 1 width, 2 height, 3 and 4 the
 * picture's bitmap size, 5 the adapter display flags, 6 and 7 the scaled
 * size, 8 smooth scaling, 9 a size handler installed, 10 (in) the first
 * argument is a callback record, else a window handle, 11 the scale
 * factor (double). The number of tags answered, or -1 for no display. */
typedef int32_t (*QmGetDisplayAttrsForPluginFunc)(void* handleOrRecord, const QmTagItem* tags);
typedef int32_t (*QmRefreshDisplayByHandleFunc)(void* window);
typedef void (*QmRefreshDisplayForCallbackFunc)(QmDisplayCallback* record);
/* The graphics slots of the display callbacks. */
#define QM_GFX_ADDDISPLAYCALLBACK 8
#define QM_GFX_REMOVEDISPLAYCALLBACK 9
#define QM_GFX_POSTDISPLAYCALLBACKEVENT 10
#define QM_GFX_CHANGEDISPLAYSIZEFORCALLBACK 11
#define QM_GFX_GETDISPLAYATTRSFORPLUGIN 18
#define QM_GFX_REFRESHDISPLAYFORCALLBACK 19
/* Graphics slot 20: the display with that number, or, when adapterWindow
 * is given, the one whose adapter window it is: the host's display record,
 * or null when none matches. */
typedef void* (*QmFindDisplayFunc)(int32_t number, void* adapterWindow);
#define QM_GFX_FINDDISPLAY 20

/* ---- Requester adapters (PLUGINCAPS_REQUESTERADAPTER) --------------------------
 *
 * Installed from InitPlugin or RequirePlugin through the requester slot
 * installRequesterAdapter (base, flags): flag 0x1 means no other adapter
 * may replace it; each further bit hands one requester to the adapter.
 * Every hook returns 0 or an error code; window is the adapter window of
 * the display the requester belongs to, or null. */
#define QM_REQADAPTER_LOCKED 0x1
#define QM_REQADAPTER_MESSAGE 0x2
#define QM_REQADAPTER_FILE 0x4
#define QM_REQADAPTER_PATH 0x8
#define QM_REQADAPTER_STRING 0x10
#define QM_REQADAPTER_LIST 0x20
#define QM_REQADAPTER_FONT 0x40
#define QM_REQADAPTER_COLOR 0x80
/* SystemRequest flags: one button set, plus one icon type. */
#define QM_REQBUTTONS_OK 0x1
#define QM_REQBUTTONS_OKCANCEL 0x2
#define QM_REQBUTTONS_YESNO 0x4
#define QM_REQBUTTONS_YESNOCANCEL 0x8
#define QM_REQBUTTONS_CUSTOM 0x10 /* the buttons text is tag 2 */
#define QM_REQTYPE_INFO 0x20
#define QM_REQTYPE_ERROR 0x40
#define QM_REQTYPE_WARNING 0x80
#define QM_REQTYPE_QUESTION 0x100
#define QM_REQTYPE_NONE 0x200
#define QM_REQTAG_DEFAULT 1 /* the default button */
#define QM_REQTAG_BUTTONS 2 /* const char*: "A|B|..." */
/* FileRequest flags. */
#define QM_REQFILE_MULTISELECT 0x1
#define QM_REQFILE_SAVE 0x2
/* StringRequest flags: the kind of text asked for. */
#define QM_REQSTRING_TYPE1 0x1
#define QM_REQSTRING_TYPE2 0x2
#define QM_REQSTRING_NUMBERS 0x4
#define QM_REQSTRING_TYPE4 0x8
/* A result the adapter allocates and FreeRequest releases; chosen 0 means
 * cancelled. File: folder, and count names in text one after another,
 * each ended by a zero byte. Path, string: text. Font: text the name,
 * size and style. */
typedef struct QmRequestResult {
  int32_t chosen;
  int32_t count;
  char* folder;
  char* text;
  int32_t size;
  int32_t style;
} QmRequestResult;
#define QM_REQKIND_FILE 0
#define QM_REQKIND_PATH 1
#define QM_REQKIND_STRING 2
#define QM_REQKIND_FONT 3
typedef int32_t (*QmSystemRequestFunc)(void* window, const char* title, const char* body,
                                       uint32_t flags, int32_t* choice, const QmTagItem* tags);
/* pattern null: every file. */
typedef int32_t (*QmFileRequestFunc)(void* window, const char* title, const char* pattern,
                                     const char* folder, const char* file, uint32_t flags,
                                     QmRequestResult* result);
typedef int32_t (*QmPathRequestFunc)(void* window, const char* title, const char* folder,
                                     uint32_t flags, QmRequestResult* result);
typedef int32_t (*QmStringRequestFunc)(void* window, const char* title, const char* body,
                                       const char* text, uint32_t flags, int32_t maxLength,
                                       QmRequestResult* result);
/* choices: one after another, ended by an empty one; *index -1 cancelled. */
typedef int32_t (*QmListRequestFunc)(void* window, const char* title, const char* body,
                                     const char* choices, int32_t start, int32_t* index);
typedef int32_t (*QmFontRequestFunc)(void* window, const char* title, const char* name,
                                     int32_t size, QmRequestResult* result);
/* *colour 0xRRGGBB, or -1 cancelled. */
typedef int32_t (*QmColorRequestFunc)(void* window, const char* title, int32_t start,
                                      int32_t* colour);
/* kind QM_REQKIND_*: called once for every result the host was given. */
typedef void (*QmFreeRequestFunc)(int32_t kind, QmRequestResult* result);
/* Requester table slot 3. */
typedef int32_t (*QmInstallRequesterAdapterFunc)(PluginBase* base, uint32_t flags);

/* ---- Timer adapters (PLUGINCAPS_TIMERADAPTER) -----------------------------------
 *
 * Installed through system slot 39 (QmInstallTimerAdapterFunc) from
 * InitPlugin or RequirePlugin; from then on every timer the host starts
 * is the adapter's. RegisterTimer answers a handle (0 refuses the timer);
 * each fire is reported through system slot 38 (QmTimerFiredFunc) with
 * the host word RegisterTimer got, from any thread. FreeTimer stops a
 * timer, also a one-shot timer that has fired. */
typedef uintptr_t (*QmRegisterTimerFunc)(int32_t milliseconds, int32_t periodic, void* host);
typedef void (*QmFreeTimerFunc)(uintptr_t timer);
typedef void (*QmTimerFiredFunc)(void* host);
typedef int32_t (*QmInstallTimerAdapterFunc)(PluginBase* base, uint32_t flags);

/* ---- Sound plug-ins (PLUGINCAPS_SOUND) ------------------------------------------
 *
 * OpenStream gets the file name and a zeroed request holding the subsong to
 * open (0 = the first), a subsong count preset to 1 and the adapter string;
 * a plug-in that takes the file fills in the rest and returns its handle
 * (null: not its file). StreamSamples decodes up to frames frames of
 * interleaved PCM into buffer, sets framesDone and, at the end of the
 * sound, done; SeekStream moves to a frame. */
#define QM_SOUNDFLAG_BIGENDIAN 0x1 /* 16-bit samples are big-endian */
#define QM_SOUNDFLAG_SIGNED 0x2    /* samples are signed */
#define QM_SOUNDFLAG_SEEKABLE 0x4  /* SeekStream reaches any frame */
typedef struct QmSoundOpenRequest {
  int32_t subsong;
  int32_t subsongCount;
  const char* adapter;
  uint32_t frames; /* total frames; 0 when the length is unknown */
  int32_t channels;
  int32_t bits;
  int32_t rate;
  uint32_t flags; /* QM_SOUNDFLAG_ */
  uint32_t reserved[3];
} QmSoundOpenRequest;
typedef struct QmSoundDecodeRequest {
  void* buffer;
  uint32_t frames;
  uint32_t framesDone;
  int32_t done;
  int32_t reserved;
} QmSoundDecodeRequest;
typedef void* (*QmOpenStreamFunc)(const char* name, QmSoundOpenRequest* request);
typedef void (*QmCloseStreamFunc)(void* handle);
typedef int32_t (*QmSeekStreamFunc)(void* handle, uint32_t frame);
typedef int32_t (*QmStreamSamplesFunc)(void* handle, QmSoundDecodeRequest* request);
typedef const char* (*QmGetFormatNameFunc)(void* handle);

/* ---- Video plug-ins (PLUGINCAPS_VIDEO) ------------------------------------------
 *
 * OpenVideo gets the file name and a zeroed format record (streamSize
 * preset to -2 low, -1 high, that is 0xFFFFFFFFFFFFFFFE) and returns its
 * handle, or null when the file is not its. NextPacket hands out the next
 * packet: 0 with *packet set, -1 at the end of the stream, another negative
 * value for a passing failure (the host asks again). Every packet goes back
 * through FreePacket. DecodeVideoFrame fills frame: for a 32-bit decoder
 * (pixelFormat 1) the host sets pixels and rowBytes and the decoder writes
 * big-endian A, R, G, B words there; a YUV decoder (pixelFormat 0) points
 * planes and planeRowBytes at planar 4:2:0 data that stays valid until its
 * next call. A result other than 0 means the packet gave no frame.
 * DecodeAudioFrame writes up to bytes bytes of 16-bit native-endian sound
 * from the packet, advancing the packet's offset, and returns the bytes
 * written: 0 once the packet holds no more. SeekVideo takes milliseconds,
 * or a byte position when seekByBytes is set; 0 is success.
 * Extension bit 1 of the video capability exports GetVideoExtensions: a
 * '|'-separated list of the file extensions the plug-in handles (without
 * dots); files with other extensions are not offered to it. */
#define QM_VIDEOEXT_EXTENSIONS 0x2
#define QM_VIDEOFLAG_SEEKABLE 0x1
typedef struct QmVideoFormat {
  int32_t width;
  int32_t height;
  int32_t duration; /* milliseconds */
  int32_t sampleRate;
  int32_t channels; /* 0: no sound */
  int32_t seekByBytes;
  int32_t byteRate;    /* bytes per second, for seeking by bytes */
  int32_t pixelFormat; /* 1: 32-bit big-endian ARGB, 0: planar YUV 4:2:0 */
  uint32_t flags;      /* QM_VIDEOFLAG_ */
  int32_t reserved;
  double frameDuration; /* seconds */
  int64_t streamSize;   /* bytes; -1 unknown */
  const char* adapter;  /* the file adapter to open the file with */
} QmVideoFormat;
typedef struct QmVideoPacket {
  void* data;
  int32_t isAudio;
  uint32_t size;
  double timeStamp; /* seconds, -1.0 when unknown */
  int64_t position; /* byte position in the file */
  uint32_t offset;  /* the decoder's read position inside the packet */
  uint32_t reserved;
} QmVideoPacket;
typedef struct QmVideoFrame {
  uint8_t* pixels; /* 32-bit decoders: the host's buffer */
  int32_t rowBytes;
  int32_t width;
  int32_t height;
  int32_t repeatFields;
  const uint8_t* planes[3]; /* YUV decoders: Y, U, V */
  int32_t planeRowBytes[3];
  int32_t reserved;
  double presentationTime; /* seconds, -1.0 when unknown */
  double decodingTime;
} QmVideoFrame;
typedef void* (*QmOpenVideoFunc)(const char* name, QmVideoFormat* format);
typedef void (*QmCloseVideoFunc)(void* handle);
typedef int32_t (*QmNextPacketFunc)(void* handle, QmVideoPacket** packet);
typedef void (*QmFreePacketFunc)(void* handle, QmVideoPacket* packet);
typedef int32_t (*QmDecodeVideoFrameFunc)(void* handle, QmVideoPacket* packet, QmVideoFrame* frame);
typedef int32_t (*QmDecodeAudioFrameFunc)(void* handle, QmVideoPacket* packet, void* buffer,
                                          int32_t bytes);
typedef int32_t (*QmSeekVideoFunc)(void* handle, int64_t position);
typedef void (*QmFlushVideoFunc)(void* handle);
typedef int32_t (*QmGetVideoFramesFunc)(void* handle);
typedef const char* (*QmGetVideoFormatFunc)(void* handle);
typedef const char* (*QmGetVideoExtensionsFunc)(void);

/* ---- Audio adapters (PLUGINCAPS_AUDIOADAPTER) ----------------------------------
 *
 * An audio adapter replaces the host's sound output. It installs itself
 * from RequirePlugin, while the host preloads the applet's resources,
 * through the sound slot installAudioAdapter (QmInstallAudioAdapterFunc).
 * The host opens it once (OpenAudio) and asks it for one output channel
 * per sound it plays, handing over the feeder: the adapter calls the
 * feeder from any of its threads with the host's channel word whenever it
 * needs frames, and the feeder returns the frames it supplied (the rest of
 * the buffer is left alone). Format codes: 0 8-bit mono unsigned, 1 8-bit
 * stereo unsigned, 2 8-bit mono signed, 3 8-bit stereo signed, 4 16-bit
 * mono, 5 16-bit stereo. A new channel plays centred (panning 128 of
 * 0..255); the host sends any other panning through SetChannelAttributes
 * right after allocating the channel. */
#define QM_AUDIOADAPTER_LOCKED 0x1   /* no other adapter may replace it */
#define QM_AUDIOADAPTER_TAGSONLY 0x2 /* already installed: apply tag 1 only */
#define QM_AUDIOTAG_BUFFERSIZE 1     /* frames; default 2048 */
#define QM_AUDIOTAG_CHANNELS 2       /* channel count; 0 uninstalls */
#define QM_AUDIOATTR_VOLUME 1        /* 0..64 */
#define QM_AUDIOATTR_PANNING 2
#define QM_AUDIOATTR_PITCH 3 /* frames per second */
typedef struct QmAudioTag {
  uint32_t tag;
  int32_t value;
} QmAudioTag;
typedef uint32_t (*QmAudioFeedFunc)(void* handle, void* channel, void* buffer, uint32_t frames,
                                    void* hostChannel);
typedef void* (*QmOpenAudioFunc)(uintptr_t reserved1, uintptr_t reserved2);
typedef void (*QmCloseAudioFunc)(void* handle);
typedef void* (*QmAllocAudioChannelFunc)(void* handle, int32_t format, int32_t rate, int32_t volume,
                                         QmAudioFeedFunc feed, uintptr_t reserved1,
                                         void* hostChannel, uintptr_t reserved2);
typedef void (*QmFreeAudioChannelFunc)(void* handle, void* channel);
typedef void (*QmSetChannelAttributesFunc)(void* handle, void* channel, const QmAudioTag* tags,
                                           int32_t count);
/* Sound slot installAudioAdapter: an error code. */
typedef int32_t (*QmInstallAudioAdapterFunc)(PluginBase* base, uint32_t flags,
                                             const QmTagItem* tags);
/* Sound slots createSampleData and freeSampleData: the whole file decoded
 * as PCM in a block of the host's (length bytes, format code as above);
 * the block goes back through freeSampleData. */
typedef int32_t (*QmCreateSampleDataFunc)(const char* name, const char* loader, const char* adapter,
                                          void** data, uint32_t* length, int32_t* rate,
                                          int32_t* format);
typedef void (*QmFreeSampleDataFunc)(void* data);

/* Graphics slot 13: makes the plug-in the display adapter (an error code). */
typedef int32_t (*QmInstallDisplayAdapterFunc)(PluginBase* base, uint32_t flags,
                                               const QmTagItem* tags);
#define QM_GFX_INSTALLDISPLAYADAPTER 13

/* Pixels handed to graphics slot 12: 0xAARRGGBB rows rowLength pixels
 * apart (at least the width; null pixels make an empty brush); flags bit 0
 * takes the alpha channel from the top bytes, bit 1 makes a mask from the
 * key colour (0xRRGGBB). */
typedef struct QmBrushPixels {
  const uint32_t* pixels;
  int32_t rowLength;
  uint32_t keyColour;
  uint32_t flags;
} QmBrushPixels;
/* Graphics slot 12: a new brush of the pixels. A number of 0 with autoId
 * given asks for an automatic identifier, written to *autoId; a number
 * frees the brush of that number first. 0 or an error code. */
typedef int32_t (*QmCreateBrushFromPixelsFunc)(void** autoId, int32_t number, int32_t width,
                                               int32_t height, const QmBrushPixels* pixels);
#define QM_GFX_CREATEBRUSHFROMPIXELS 12
/* Graphics slot 29: frees the brush (autoId, or number when autoId is
 * null); a missing brush is an error only with reportMissing. */
typedef int32_t (*QmFreeBrushFunc)(void* autoId, int32_t number, int32_t reportMissing);
#define QM_GFX_FREEBRUSH 29

/* Icon images: 0xAARRGGBB pixels, rows packed; flags 1 standard, 2 the
 * selected image, 4 opaque. Lists and images are freed through the host. */
typedef struct QmIconImage {
  struct QmIconImage* next;
  uint32_t* pixels;
  int32_t width;
  int32_t height;
  uint32_t flags;
} QmIconImage;
typedef struct QmScaledIconImage {
  uint32_t* pixels;
  int32_t width;
  int32_t height;
  uint32_t flags;
} QmScaledIconImage;
/* Graphics slot 14: the application's window icon images (the built-in
 * ones, each replaced by the application icon set's image of its size,
 * then the set's other images); null when memory runs out. */
typedef QmIconImage* (*QmGetAppIconImagesFunc)(void);
#define QM_GFX_GETAPPICONIMAGES 14
/* Graphics slot 15: frees a list of icon images (null is ignored). */
typedef void (*QmFreeIconImageListFunc)(QmIconImage* list);
#define QM_GFX_FREEICONIMAGELIST 15
/* Graphics slot 32: every image of an icon (autoId, or number when autoId
 * is null), each normal image followed by its selected one; null when
 * there is none. */
typedef QmIconImage* (*QmCopyIconImagesFunc)(void* autoId, int32_t number);
#define QM_GFX_COPYICONIMAGES 32
/* Graphics slot 33: an icon's image for its standard size times *scale
 * (null: the display's scale factor); request flags 1 the selected image,
 * 2 never scale, 4 exact size only, 8 smooth scaling. Null when none. */
typedef QmScaledIconImage* (*QmGetScaledIconImageFunc)(void* autoId, int32_t number,
                                                       const double* scale, uint32_t flags);
#define QM_GFX_GETSCALEDICONIMAGE 33
/* Graphics slot 34: frees a scaled icon image (null is ignored). */
typedef void (*QmFreeScaledIconImageFunc)(QmScaledIconImage* image);
#define QM_GFX_FREESCALEDICONIMAGE 34

/* Network adapters (PLUGINCAPS_NETWORKADAPTER). OpenConnection gets the
 * option tags QM_NETOPT_SSL and QM_NETOPT_TIMEOUT (milliseconds) and returns
 * a handle, or null when it does not take the connection. ReceiveData and
 * SendData return 0, QM_NET_RECEIVETIMEOUT / QM_NET_SENDTIMEOUT when nothing
 * moved in time, QM_NET_CLOSED when the peer closed, or another error code;
 * they move at most size bytes and store the count. Extension bit 0: the
 * adapter takes part only when the applet's plug-in entry enables it. */
#define QM_NETOPT_SSL 1
#define QM_NETOPT_TIMEOUT 2
#define QM_NET_RECEIVETIMEOUT 1422
#define QM_NET_CLOSED 1423
#define QM_NET_SENDTIMEOUT 1623
#define QM_NETEXT_ENABLEDONLY 0x1
/* GetConnectionInfo requests: 1 local address, 2 local port, 3 remote
 * address, 4 remote port. Addresses are texts in a buffer of
 * QM_NET_ADDRESS_SIZE bytes, ports 32-bit integers. */
#define QM_NET_ADDRESS_SIZE 384
typedef struct QmConnectionInfoRequest {
  int32_t code;
  void* result;
  uintptr_t reserved; /* 0 */
} QmConnectionInfoRequest;
typedef void* (*QmOpenConnectionFunc)(const char* host, int32_t port, const QmTagItem* options,
                                      int32_t timeout);
typedef void (*QmCloseConnectionFunc)(void* handle);
typedef int32_t (*QmGetConnectionInfoFunc)(void* handle, QmConnectionInfoRequest* request);
typedef int32_t (*QmReceiveDataFunc)(void* handle, void* buffer, int32_t size, int32_t* received,
                                     uintptr_t reserved);
typedef int32_t (*QmSendDataFunc)(void* handle, const void* data, int32_t size, int32_t* sent,
                                  uintptr_t reserved);

/* Vector engines (PLUGINCAPS_VECTOR). The item buffer is the host's path
 * format: 32-bit kinds followed by their fields packed without gaps
 * (integers 32 bits, doubles 64 bits, pointers pointer-sized, texts
 * zero-terminated and padded to 4 bytes), ended by a 32-bit 0. The draw
 * entry fills an 8-bit coverage target (0 outside, 255 inside) with the
 * outline's box moved to 0, 0. Entries return 1 on success, 0 on failure. */
typedef struct QmVectorLineStyle {
  int32_t join;      /* 0 miter, 1 round, 2 bevel */
  int32_t cap;       /* 0 butt, 1 round, 2 square */
  int32_t fillRule;  /* 0 winding, 1 even-odd */
  int32_t antialias; /* 0 or 1 */
  double dashOffset;
  const double* dashes;
  int32_t dashCount;
  double miterLimit;
} QmVectorLineStyle;
typedef struct QmPathExtentsRequest {
  const void* items;
  const QmVectorLineStyle* style;
  int32_t fill; /* 1 fill, 0 stroke */
  int32_t lineWidth;
  double xOffset, yOffset;
  double x1, y1, x2, y2; /* out */
  const double* matrix;  /* xx, yx, xy, yy */
} QmPathExtentsRequest;
typedef struct QmDrawPathRequest {
  const void* items;
  const QmVectorLineStyle* style;
  int32_t fill;
  int32_t lineWidth;
  int32_t reserved; /* 0 */
  uint8_t* target;
  int32_t bytesPerRow;
  int32_t width, height;
  int32_t x, y; /* where the image is placed on the output */
  double xOffset, yOffset;
  const double* matrix;
} QmDrawPathRequest;
typedef struct QmPathPointRequest {
  const void* items;
  const QmVectorLineStyle* style;
  double x, y; /* out */
} QmPathPointRequest;
typedef int (*QmGetPathExtentsFunc)(QmPathExtentsRequest* request);
typedef int (*QmDrawPathFunc)(QmDrawPathRequest* request);
typedef void (*QmTranslatePathFunc)(void* items, double dx, double dy);
typedef int (*QmGetCurrentPointFunc)(QmPathPointRequest* request);
/* The engine's handle of a font, from the host's FreeType face; released
 * with FreeVectorFont. */
typedef void* (*QmCreateVectorFontFunc)(void* face);
typedef void (*QmFreeVectorFontFunc)(void* handle);
typedef void* (*QmOpenFontFunc)(const void* bytes, size_t length);
typedef void (*QmCloseFontFunc)(void* face);

#ifdef __cplusplus
}
#endif

#endif /* QMPLUGIN_H */
