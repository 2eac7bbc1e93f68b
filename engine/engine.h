// The command API of the script engine: the stack operations through which
// every built-in command, the runtime and plug-ins read arguments, push
// results and reach tables, globals and the registry; calls and protected
// calls; hooks and the debug interface; the run state of the error policy.
// What only engine/ calls is in engine/engine_private.h.
//
// Invariant: values are addressed by stack index only (positive from the
// frame base, negative from the top, or a pseudo-index); no pointer into the
// VM stack leaves the engine, because the stack moves when it grows.
//
// Engine sources include engine/object.h BEFORE this header: the two API
// forms whose names the engine also uses internally (VmCheckStack,
// VmNewUserdata, there static inline wrappers) are declared here only when
// object.h is not in view.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "platform/linux/errors.h"

struct VmState;
struct VmDebugInfo;

// ---- Types and constants ---------------------------------------------------

// A built-in command: arguments at stack positions 1..n; returns the number
// of results pushed (0..999), an ErrorCode (1000 and above) or -1/-2 to
// continue at a label as a subroutine (see VmSetJumpDistance).
using VmCommandFunction = int (*)(VmState* L);

// A hook: called with the debug record of the event, a status word the hook
// may set to an error code (raised after the hook returns), and the line.
using VmHook = void (*)(VmState* L, VmDebugInfo* ar, int* status, int line);

// Writer of VmDump: called for every piece; its result is ignored.
using VmWriter = int (*)(VmState* L, const void* p, size_t size, void* data);

// Reader of VmLoad: returns the next block of the chunk and its size in
// *size; a null block or a size of 0 ends the input.
using VmReader = const char* (*)(VmState* L, void* data, size_t* size);

// Type tags as VmType reports them; -1 is an index without a value.
constexpr int VM_TYPE_NONE = -1;
constexpr int VM_TYPE_NIL = 0;
constexpr int VM_TYPE_BOOLEAN = 1;
constexpr int VM_TYPE_LIGHTUSERDATA = 2;
constexpr int VM_TYPE_NUMBER = 3;
constexpr int VM_TYPE_STRING = 4;
constexpr int VM_TYPE_TABLE = 5;
constexpr int VM_TYPE_FUNCTION = 6;
constexpr int VM_TYPE_USERDATA = 7;
constexpr int VM_TYPE_THREAD = 8;

// Pseudo-indices: the registry, the thread's globals, upvalue i (1-based) of
// the running built-in function.
constexpr int VM_REGISTRY_INDEX = -10000;
constexpr int VM_GLOBALS_INDEX = -10001;
constexpr int VmUpvalueIndexOf(int i) { return VM_GLOBALS_INDEX - i; }

// Result counts of VmCall/VmPCall: all results.
constexpr int VM_MULTRET = -1;

// Debug record filled by VmGetStack and VmGetInfo.
struct VmDebugInfo {
  int event;
  const char* name;      // null when unknown
  const char* namewhat;  // "global", "local", "method", "field" or ""
  const char* what;      // "Quillmere", "main", "C" or "tail"
  const char* source;
  int currentline;
  int nups;
  int linedefined;
  char short_src[60];
  int i_ci;  // call-record index (private to the engine)
};

// ---- State ------------------------------------------------------------------

VmState* VmOpenState();
void VmCloseState(VmState* L);
void VmRegisterBaseFunctions(VmState* L);
// Declares that the process ends soon after its states close: closing a
// state still runs every finaliser, but leaves the memory of its objects to
// the end of the process rather than freeing them one by one. Builds with a
// sanitizer free them anyway, so that their leak checks stay exact.
void VmLeaveMemoryToProcessEnd();

// ---- Stack size and moving values --------------------------------------------

int VmGetTop(VmState* L);
void VmSetTop(VmState* L, int index);

#ifndef VM_OBJECT_H_INCLUDED
// 0 when the frame would exceed 2048 slots, else grows the stack and returns 1.
int VmCheckStack(VmState* L, int n);
#endif

void VmPushValue(VmState* L, int index);
void VmRemove(VmState* L, int index);
void VmInsert(VmState* L, int index);
void VmReplace(VmState* L, int index);

// ---- Type tests ----------------------------------------------------------------

int VmType(VmState* L, int index);
const char* VmTypeName(VmState* L, int tag);
int VmIsNumber(VmState* L, int index);  // number, or a string that converts
int VmIsString(VmState* L, int index);  // string or number
int VmIsBuiltinFunction(VmState* L, int index);
int VmIsUserdata(VmState* L, int index);  // full or light

// ---- Comparisons -----------------------------------------------------------------

int VmEqual(VmState* L, int index1, int index2);
int VmRawEqual(VmState* L, int index1, int index2);
// mode 1 compares strings through the runtime's collation service.
int VmLessThan(VmState* L, int index1, int index2, int mode);

// ---- Conversions ----------------------------------------------------------------------

double VmToNumber(VmState* L, int index);
int VmToBoolean(VmState* L, int index);
// The script's truth of a value, as NOT and the tests read it: nil, false,
// the number 0 and the empty string are false, every other value true.
// Switch arguments and switch fields are read with it, so False (the
// number 0) switches off; VmToBoolean counts only nil and false as false.
int VmToTruth(VmState* L, int index);
// A switch argument: def when it is absent, else its truth.
int VmOptFlag(VmState* L, int index, int def);
// A number is converted in place to its "%.14g" text; other types give null.
const char* VmToString(VmState* L, int index);
size_t VmStrLen(VmState* L, int index);
VmCommandFunction VmToBuiltinFunction(VmState* L, int index);
void* VmToUserdata(VmState* L, int index);
const void* VmToPointer(VmState* L, int index);

// ---- Number conversions ------------------------------------------------------------------

// Truncates toward zero into a signed 32-bit integer, saturating at the ends;
// NaN gives 0. The one conversion every folder uses wherever a number is
// "truncated" (or, after rounding, "rounded") to 32 bits, so no value out of
// range reaches an undefined conversion.
inline int32_t VmTruncInt32(double d) {
  if (d >= 2147483647.0) return INT32_MAX;
  if (d > -2147483648.0) return static_cast<int32_t>(d);
  return d != d ? 0 : INT32_MIN;
}

// ---- Pushes ---------------------------------------------------------------------------

void VmPushNil(VmState* L);
void VmPushNumber(VmState* L, double n);
void VmPushLString(VmState* L, const char* s, size_t len);
void VmPushString(VmState* L, const char* s);  // null pushes nil
void VmPushBoolean(VmState* L, int b);
void VmPushLightUserdata(VmState* L, void* p);
void VmPushCClosure(VmState* L, VmCommandFunction fn, int n);

// A string written in place: its bytes go straight into the block that
// becomes the string when it is pushed, so a large result (a download, for
// one) is not copied once more on its way to the stack. The block grows
// with realloc, which moves the pages of a large block instead of copying
// its bytes. Bytes are hashed as they are counted, while they are fresh in
// the cache (and while a download waits for more), so the push does not
// read them all again. A block never pushed is freed with its owner.
class VmStringBlock {
 public:
  VmStringBlock() = default;
  ~VmStringBlock();
  VmStringBlock(const VmStringBlock&) = delete;
  VmStringBlock& operator=(const VmStringBlock&) = delete;
  // Room for at least capacity bytes in all; false when memory runs out,
  // with the bytes so far kept.
  bool Reserve(size_t capacity);
  // The next free byte: capacity() - size() may be written there.
  char* End() { return data() + size_; }
  // Counts n bytes written at End(); they are not to change after that.
  void Commit(size_t n);
  char* data();
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  // Pushes the bytes as a string (interned like any other) and leaves the
  // block empty.
  void Push(VmState* L);

 private:
  void* block_ = nullptr;  // a string record's header, then capacity_ + 1 bytes
  size_t capacity_ = 0;
  size_t size_ = 0;
  uint64_t hash_ = 0;  // the string hash of the size_ bytes so far
};

// ---- Tables ----------------------------------------------------------------------------

void VmGetTable(VmState* L, int index);
void VmRawGet(VmState* L, int index);
void VmRawGetI(VmState* L, int index, int n);
void VmSetTable(VmState* L, int index);
void VmRawSet(VmState* L, int index);
void VmRawSetI(VmState* L, int index, int n);
void VmNewTable(VmState* L);
void VmNewTableSized(VmState* L, int narray, int nhash);
int VmNext(VmState* L, int index);

// ---- Metatables, function globals, upvalues --------------------------------------------

int VmGetMetatable(VmState* L, int index);
int VmSetMetatable(VmState* L, int index);
void VmGetFunctionGlobals(VmState* L, int index);
int VmSetFunctionGlobals(VmState* L, int index);
const char* VmGetUpvalue(VmState* L, int funcindex, int n);
const char* VmSetUpvalue(VmState* L, int funcindex, int n);
int VmPushUpvalues(VmState* L);

// ---- Calls ---------------------------------------------------------------------------------

// Calls the value below nargs arguments; returns 0 or the error code that a
// called built-in command returned (raised errors propagate).
ErrorCode VmCall(VmState* L, int nargs, int nresults);
// As VmCall, but a raised error is caught: the function, its arguments and
// everything above them are removed and the raised code returned.
ErrorCode VmPCall(VmState* L, int nargs, int nresults, int errfunc);
// Calls fn protected with ud as its one (light userdata) argument.
ErrorCode VmCPCall(VmState* L, VmCommandFunction fn, void* ud);

// The plug-in manager's two slots in the engine (null: no plug-in is
// loaded). Before a built-in command runs, the command slot may take the
// call over (true, with the command's result in *result); before a raise
// unwinds, the raise slot is told its status.
using VmCommandCallSlot = bool (*)(VmState* L, VmCommandFunction command, int* result);
using VmRaiseNoticeSlot = void (*)(VmState* L, ErrorCode status);
void VmSetCommandCallSlot(VmCommandCallSlot slot);
void VmSetRaiseNoticeSlot(VmRaiseNoticeSlot slot);
// Loads a compiled chunk and pushes its main function (engine/load.cpp).
ErrorCode VmLoad(VmState* L, VmReader reader, void* data, const char* chunkname);
// Writes the script function at index as a compiled chunk (engine/dump.cpp).
ErrorCode VmDump(VmState* L, int index, VmWriter writer, void* data);
// Raises code as a script error (never returns).
[[noreturn]] void VmRaiseError(VmState* L, ErrorCode code);

// ---- Userdata, threads, memory ----------------------------------------------------------------

#ifndef VM_OBJECT_H_INCLUDED
void* VmNewUserdata(VmState* L, size_t size);
#endif

// Threshold and bytes in use in kilobytes; a threshold of 0xFFFFFFFF is off.
uint32_t VmGetGcThreshold(VmState* L);
uint32_t VmGetGcCount(VmState* L);
// Below 4194304 KB: threshold = kb * 1024, collecting at once when the count
// already exceeds it; otherwise automatic collection is off.
void VmSetGcThreshold(VmState* L, uint32_t kb);
void VmConcat(VmState* L, int n);

// ---- Hooks and debug interface ------------------------------------------------------------------

// Installs fn as a line hook behind the readiness gate vmEventPollGate:
// while the gate is 0 the interpreter runs as with no hook at all (no line
// tracking, no calls); once another thread or a signal handler stores 1,
// the interpreter clears the gate and calls fn once as a line event with
// its line, at the next backward jump, loop step, call or return from a
// command, whichever comes first. VmSetHook drops the gate.
void VmSetGatedHook(VmState* L, VmHook fn);
int VmGetStack(VmState* L, int level, VmDebugInfo* ar);
int VmGetInfo(VmState* L, const char* what, VmDebugInfo* ar);

// ---- Error policy and label subroutines -----------------------------------------------------------

// The run state that the error policy, the gosub stack and the interpreter
// share. One VM runs per process, on the main thread, so these are globals.
// The error-raising switch (ExitOnError) and the callback nesting counter
// are the global attributes 11 and 10 (GetErrorRaising, GetCallbackDepth
// below; the runtime's attribute tags set them).
struct VmRunState {
  int handlerRef;  // registry reference of the RaiseOnError handler, -1 none
  int handlerRunning;
  int handlerSuppressed;           // set by plug-ins through the host attributes
  ErrorCode lastError;             // read by GetLastError
  int quit;                        // stops the interpreter before its next instruction
  int debugOutput;                 // "Now calling" trace of every command (DebugOutput)
  int debugDisabled;               // debug output disabled by the start-up options
  VmCommandFunction getLastError;  // the GetLastError command, which keeps lastError
};
extern VmRunState vmRun;

// Restores the start values of vmRun and empties the gosub stack.
void VmResetRunState();
// Whether a failing command may run the RaiseOnError handler now.
int VmErrorHandlerEnabled();

// The error location of the last raised error, for the error report.
struct VmErrorLocation {
  char function[128];  // "----" when unknown
  char file[1024];     // empty when unknown
  int line;            // -1 when unknown
};
extern VmErrorLocation vmErrorLocation;
// Sets the error location back to unknown.
void ResetErrorLocation();
// The message of an error code, cut to the buffer.
void GetErrorText(ErrorCode code, char* buffer, size_t size);

// Error argument: one text (at most ERROR_ARG_MAX characters) and one number
// that fill the "%s" and "%d" of the next error message. Both keep their
// value until overwritten. Used by the main thread only.
constexpr size_t ERROR_ARG_MAX = 1023;     // buffer of 1,024 bytes with terminator
void SetErrorArgString(const char* text);  // null stores the empty text
void SetErrorArgNumber(int32_t value);
const char* GetErrorArgString();
int32_t GetErrorArgNumber();
// The error policy words: the callback nesting (tag 10, never below 0) and
// the error-raising switch (tag 11, 1 at start).
int GetCallbackDepth();
int GetErrorRaising();
// One level deeper for a non-zero deeper, else one level up (stopping at 0).
void StepCallbackDepth(int deeper);
void SetErrorRaising(int on);
// Puts the error argument and the policy words back to their start values.
void ResetErrorState();

// What the error texts and the error location read from the runtime, which
// installs the table when it loads. Before that, or with a null member, no
// custom error has a text, no argument is a linked-file name, file names
// are shown as given and a command name is spelled as it was called.
struct VirtualFile;
struct EngineRuntimeHooks {
  const char* (*customErrorText)(ErrorCode code);  // null when not registered
  bool (*isChunkName)(const char* name);
  // The runtime's ParseChunkName.
  int (*parseChunkName)(const char* name, uint64_t* offset, uint64_t* size, char* nameBuffer,
                        size_t nameSize, char* extra, size_t extraSize, char* extension,
                        size_t extensionSize, VirtualFile** file);
  const char* (*displayFileName)(const char* name);  // the name as the user knows it
  // A command's spelling in the registered command tables, or null.
  const char* (*commandSpelling)(const char* name);
};
void SetEngineRuntimeHooks(const EngineRuntimeHooks* hooks);

// ---- Auxiliary library, registration, argument checks and error texts ----

// String builder on the VM stack: text collects in the inline buffer and is
// pushed as a piece when the buffer fills; pieces are merged as they come so
// that few stay on the stack.
constexpr size_t VM_BUFFER_SIZE = 1024;
struct VmStringBuffer {
  char* p;     // write position in buffer
  int pieces;  // pieces already pushed on the stack
  VmState* L;
  char buffer[VM_BUFFER_SIZE];
};
void VmBufferInit(VmState* L, VmStringBuffer* b);
size_t VmBufferPrepare(VmStringBuffer* b);  // free room in the buffer
void VmBufferAddBytes(VmStringBuffer* b, const char* s, size_t n);
void VmBufferAddString(VmStringBuffer* b, const char* s);
void VmBufferAddValue(VmStringBuffer* b);    // pops the string at the top
void VmBufferPushResult(VmStringBuffer* b);  // leaves one string

// References: integer keys of a table (usually the registry) that keep a
// value alive. Slot 1 heads the free list, slot 2 holds the table-size
// registry; the first reference is 3. -1 stands for nil.
using VmRef = int32_t;
constexpr VmRef VM_REF_NIL = -1;
VmRef VmCreateReference(VmState* L, int table);  // pops the value
void VmReleaseReference(VmState* L, int table, VmRef ref);

// Metatables registered under type names.
int VmNewNamedMetatable(VmState* L, const char* name);  // 1 when created
void VmGetNamedMetatable(VmState* L, const char* name);
void* VmTestTypedUserdata(VmState* L, int index, const char* name);
int VmGetMetaField(VmState* L, int index, const char* event);    // 1 pushed
int VmCallMetaMethod(VmState* L, int index, const char* event);  // 1 called
// Index of the first equal entry of a null-terminated list, or -1.
int VmFindStringInList(const char* text, const char* const* list);

// Registration. Names are stored lower-cased, cut to VM_NAME_MAX characters.
constexpr size_t VM_NAME_MAX = 127;
struct CommandTableEntry {
  const char* name;            // null ends the table
  VmCommandFunction function;  // null entries are skipped
};
struct ConstantTableEntry {
  const char* name;  // null ends the table
  const char* text;  // the value when set ...
  double number;     // ... else this number
};
int VmRegisterFunctions(VmState* L, const char* libname, const CommandTableEntry* table, int nup);
void VmRegisterConstants(VmState* L, const ConstantTableEntry* table, int user);
// While on, VmRegisterConstants(L, table, 0) only notes the table, which
// must then live as long as the state: its entries enter "constants" when
// that table is first needed (a look-up, a listing, a registration once
// the switch is off), after those of the tables noted before it, so that
// "constants" ends up as if each table had been entered at once. Start-up
// turns it on while the built-in libraries open; most programs never look
// a constant up.
void VmDeferConstantTables(VmState* L, int on);
// Enters the noted tables now; for code that reads the registry's
// "constants" table itself.
void VmCompleteConstants(VmState* L);
// 1 when found ("constants" first): a number sets *number and clears *text,
// a string sets *text.
int VmFindConstant(VmState* L, const char* name, const char** text, double* number);
int IsPlatformDefine(const char* name);
void VmAddLabel(VmState* L, const char* name, int position);
int VmFindLabel(VmState* L, const char* name);  // -1 unknown
// Label subroutines: before it calls a command the interpreter stores the
// index of the instruction after the CALL; a command that returns -1 or -2
// stores (label position - call position) as the jump distance first.
int VmGetCallPosition();
void VmSetJumpDistance(int distance);
void VmSetRegistryNumber(VmState* L, const char* name, double n);
void VmSetRegistryString(VmState* L, const char* name, const char* s);
void VmSetRegistryPointer(VmState* L, const char* name, void* p);
double VmGetRegistryNumber(VmState* L, const char* name);
const char* VmGetRegistryString(VmState* L, const char* name);

// The language version of the running applet, for CheckArgCount.
void VmSetAppletVersion(int version, int revision);

// Argument checks: each raises its numbered error with the argument index as
// the error number. An absent argument (beyond the top) takes the default of
// the Opt forms; an explicit nil fails them.
VmState* CheckArgCount(VmState* L, int minimum, int maximum, int version, int revision);
double VmCheckNumber(VmState* L, int index);
int32_t VmCheckInteger(VmState* L, int index);
double VmOptNumber(VmState* L, int index, double def);
int32_t VmOptInteger(VmState* L, int index, int32_t def);
const char* VmCheckString(VmState* L, int index, size_t* len);
const char* VmOptString(VmState* L, int index, const char* def, size_t* len);
void VmCheckTable(VmState* L, int index);
void VmCheckFunction(VmState* L, int index);
void VmCheckType(VmState* L, int index, int tag);
const char* VmCheckStringInContext(VmState* L, int index, const char* context, size_t* len);
// The 32-bit pattern of a number as the checks read integers.
int32_t VmNumberToInteger(double d);
// A number, or a string "<number>[%]": a percentage is value * base / 100
// (value / 100 with *percent set when base is 0).
double GetNumberArgEx(VmState* L, int index, double base, int allowOver100, int* percent);

// Option-table fields: readers return 1 when the field holds a value (then
// *found = 1), 0 when it is nil; a value of the wrong type raises with the
// field's name. A matrix is a table of four numbers at keys 0-3.
int GetTableFieldNumber(VmState* L, int table, const char* field, double* value, int* found);
int GetTableFieldInt(VmState* L, int table, const char* field, int32_t* value, int* found);
int GetTableFieldU32(VmState* L, int table, const char* field, uint32_t* value, int* found);
int GetTableFieldNumberEx(VmState* L, int table, const char* field, double base, int allowOver100,
                          double* value, int* percent, int* found);
int GetTableFieldString(VmState* L, int table, const char* field, char* buffer, size_t size,
                        int* found);
int GetTableFieldMatrix(VmState* L, int table, const char* field, double matrix[4], int* found);

// Object identifiers: an automatic identifier (a pointer handed to scripts
// as a light userdata) or a number.
struct ObjectId {
  void* autoId;  // null for a numeric identifier
  int32_t number;
};
// A light userdata or a number (1138 otherwise). With automatic given, nil
// or no argument ask for an automatic identifier: *automatic = 1 and the
// result is {null, 0}; without it they fail like other types.
ObjectId GetObjectIdArg(VmState* L, int index, int* automatic);
int PushObjectId(VmState* L, ObjectId id);

// Texts. GetBuiltinString gives the catalog text when one replaces the
// built-in text (see SetCatalogTextSource in platform/linux/platform.h),
// null for unknown numbers.
constexpr int32_t BUILTIN_TEXT_NUMBERS = 866;
const char* GetBuiltinString(int32_t number);
void SetTableFieldString(VmState* L, const char* key, const char* text);
void SetTableFieldNumber(VmState* L, const char* key, double n);
void SetTableFieldInt(VmState* L, const char* key, int32_t n);
void SetTableFieldU32(VmState* L, const char* key, uint32_t n);
void SetTableFieldId(VmState* L, const char* key, ObjectId id);
struct StreamHandle;

// Run words of the system library: the exit status stored by End and the
// switch that stops the per-line event poll. The gate of gated hooks is
// the platform's (vmEventPollGate in platform/linux/platform.h).
extern int32_t vmExitValue;
extern int32_t vmLineHookDisabled;

// The layer names of option tables (GetTableFieldLayer): the 1-based
// position of the named layer among the current display's layers, 0 for
// none. The layers library installs it when it opens; without it no name
// is found.
using LayerNameLookup = int32_t (*)(const char* name);
void SetLayerNameLookup(LayerNameLookup lookup);

// ---- Numbers into integers ----
// Conversions of a script's or a peer's number to an integer of any width.
// Every command that reads a number into an integer type goes through
// these (or through VmTruncInt32 and the argument checks of
// this header, which saturate or keep a 32-bit pattern), so no NaN,
// infinity or value out of range ever reaches a conversion that the
// language leaves undefined.

// The integer of type T that d truncates to (toward zero); false, with *out
// untouched, for NaN, infinities and values whose truncation T cannot hold.
// The bounds are powers of two, exact as doubles; every double of 2^53 or
// more in magnitude is whole, so 64-bit types compare without rounding.
template <typename T>
inline bool VmIntegerOf(double d, T* out) {
  static_assert(std::is_integral_v<T>, "an integer type");
  constexpr int BITS = std::numeric_limits<T>::digits;
  constexpr double ABOVE = static_cast<double>(uintmax_t{1} << (BITS - 1)) * 2.0;  // 2^BITS
  bool fits;
  if constexpr (!std::is_signed_v<T>)
    fits = d > -1.0 && d < ABOVE;
  else if constexpr (BITS < 53)
    fits = d > -ABOVE - 1.0 && d < ABOVE;
  else
    fits = d >= -ABOVE && d < ABOVE;
  if (!fits) return false;
  *out = static_cast<T>(d);
  return true;
}

// d truncated toward zero into T, saturating at T's ends; NaN gives 0.
// The form for the places where a value is clamped rather than refused
// (VmTruncInt32 is its 32-bit case).
template <typename T>
inline T VmSaturateInt(double d) {
  T value = 0;
  if (VmIntegerOf(d, &value) || d != d) return value;
  return d > 0 ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min();
}

// A 64-bit sum or product held in 32 bits, saturating at their ends.
inline int32_t VmClampInt32(int64_t v) {
  return static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);
}

// A bitmap, mask or alpha channel that could not be made is a memory
// shortage for a caller that only asked for room.
inline ErrorCode VmBitmapFailureAsMem(ErrorCode e) {
  return e == ERR_BITMAP || e == ERR_ALLOCMASK || e == ERR_ALLOCALPHA ? ERR_MEM : e;
}

// A script's number counted from 1 (a frame, a channel, a position) as an
// index from 0. The lowest 32-bit value stays where it is instead of
// wrapping round to the highest, so the range check that follows refuses
// it as it refuses any other number out of range.
inline int32_t VmIndexFromOne(int32_t n) { return n > INT32_MIN ? n - 1 : n; }

// A number argument as an integer of type T, truncated toward zero, for the
// commands that need a width or a range the 32-bit pattern of
// VmCheckInteger cannot give (positions, sizes, counts of 64 bits). A value
// that is no number raises 1138 as VmCheckNumber does; NaN, infinities and
// values outside T's range are returned as bad (the command's error for a
// bad value), with *out untouched.
template <typename T>
ErrorCode VmCheckIntegerOf(VmState* L, int index, T* out, ErrorCode bad = ERR_WRONGUSAGE) {
  return VmIntegerOf(VmCheckNumber(L, index), out) ? ERR_NONE : bad;
}
