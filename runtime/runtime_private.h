// The runtime's own declarations beside runtime/runtime.h: list helpers,
// registries, hooks and attributes, the
// event queue, the typed-memory reader, vocabulary export,
// services and start-up internals that only runtime/ calls. Used inside
// runtime/ and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/runtime.h"

// ---- Core utilities ----------------------------------------------------------

bool IsListEmpty(const List* list);
void AddHead(List* list, Node* node);
void AddTail(List* list, Node* node);
Node* RemHead(List* list);  // null when empty
Node* RemTail(List* list);  // null when empty
void RemoveNode(Node* node);
// Inserts node after pred; a null pred inserts at the head, a pred whose succ
// is null (the list's &tail sentinel) appends at the tail.
void InsertNode(List* list, Node* node, Node* pred);

// ---- Registries, hooks and global attributes ----
// Append-only lists kept by the runtime, walked in registration order and
// freed together by FreeRegistries. Used by the main thread only.

const HookRecord* GetHookList();
// The spelling of a command name in the registered command tables (found
// without regard to case), or null when no library lists it.
const char* RegisteredCommandSpelling(const char* name);
// Stores the identifier of every listed object of the type into the table at
// the top, at keys 0, 1, ...; returns the count.
int ListObjectsOfType(VmState* L, int32_t type);

// Object types and the object lists that FindObjectEntry walks.
constexpr int32_t FIRST_OBJECT_TYPE_ID = 61;  // named types get 61, 62, ...
// Calls the handler of the first named entry with that id; ERR_WRONGUSAGE
// when there is none.
ErrorCode CallObjectTypeHandler(VmState* L, int32_t typeId, uintptr_t a, uintptr_t b);

// Error texts that plug-ins add: the n-th (from 0) has number 1630 + n.
struct CustomErrorEntry {
  CustomErrorEntry* next;
  const char* text;  // points at the copy stored behind the record
};

constexpr size_t APPENDED_APPLET_RECORD_SIZE = 36;
void* CopyLinkedAppletRecord(const void* record);  // null when memory runs out

// Shut-down: frees the attribute chains, libraries, custom errors, object
// types and hooks, empties the loader lists and the event queue. The type
// id counter starts again at 61.
void FreeRegistries(VmState* L);

// ---- Event queue ----
// One first-in, first-out list of events under one recursive mutex.
// Producers may post from any thread; only the main thread takes events out.

constexpr int32_t EVENT_NEUTRALISED = 0;  // skipped by the consumer

// Creates the mutex (ERR_SEMAPHORE when that fails), opens the queue and
// records the start date stamp. A second call reopens with the same mutex.
ErrorCode InitEventQueue();
// Frees every queued event and closes the queue (shut-down).
void FreeEventQueue(VmState* L);
// The clock that stamps and ages events; null restores GetSysTime. Tests set
// it to age events without waiting.
using EventClockFunc = void (*)(TimeValue* out);
void SetEventQueueClock(EventClockFunc clock);

// ---- Typed memory access ----

ErrorCode ReadTypedValue(const void* buffer, size_t size, int32_t type, int64_t offset, int native,
                         int little, double* value);

// ---- Vocabulary export and runtime services ----
// Listings of the vocabulary for editors and documentation tools, written
// as plain text through a stream opened for writing: one item per line,
// lines ending in "\n" only. An item longer than its line buffer is cut,
// never its line end. Each returns 0 or ERR_WRITE when a write fell short.
// Beside them the services around running scripts. Main thread only.

constexpr size_t EXPORT_LINE_SIZE = 128;  // line buffer of the listings

// Per registered library: "::" and its name, its command count, each name;
// then "::end".
ErrorCode ExportCommands(StreamHandle* file);
// The names of the VM's "constants" table in table order without the
// platform defines, then the platform defines in their fixed order,
// lower-cased. No closing line.
ErrorCode ExportConstants(VmState* L, StreamHandle* file);
// The preprocessor directive names in their fixed order.
constexpr int32_t DIRECTIVE_COUNT = 33;
ErrorCode ExportDirectives(StreamHandle* file);

// Arguments of CallScriptFunction: type and one word.
enum : int32_t {
  SCRIPT_ARG_INT = 0,     // value: intptr_t, pushed as a number
  SCRIPT_ARG_UINT = 1,    // value: uintptr_t, pushed as a number
  SCRIPT_ARG_STRING = 2,  // value: const char* (null pushes nil)
  SCRIPT_ARG_NIL = 3,
  SCRIPT_ARG_POINTER = 4,   // value: void*, a light userdata
  SCRIPT_ARG_OBJECTID = 5,  // value: const ObjectId*: its pointer, else its number
};
struct ScriptCallArg {
  int32_t type;
  uintptr_t value;
};
constexpr size_t SCRIPT_FUNCTION_NAME_MAX = 63;  // longer names are cut
// Looks the lower-cased name up in the globals, pushes the arguments and
// calls the value with the VM's plain call (raised errors propagate; the
// results stay on the stack). A null state does nothing and returns 0.
ErrorCode CallScriptFunction(VmState* L, const char* name, int resultCount, int argCount,
                             const ScriptCallArg* args);
void SetSourceLineMap(const SourceLineEntry* first);  // null: none
// The registry string "script"; for an applet linked from several sources
// (":none:") the file name of the line-map entry that holds the current
// line, or "unknown" when none does. Null without a state.
constexpr const char* SCRIPT_NAME_NONE = ":none:";
void SetConsoleFlush(int on);
void PrintSkipped();  // the progress word of a step left out
// Writes the text without its terminator; 1 when every byte went out.
int WriteStreamString(StreamHandle* stream, const char* text);

// ---- Player start-up, options and applet ----
// The portable main of the player: options and settings file, the applet
// container and header, script loading, the preload of declared resources,
// the run and the one orderly shut-down. Main thread only.

// The applet's title from its header; null when none is known.
const char* GetAppletTitle();
