// The command API's calls that only engine/ makes, beside engine/engine.h:
// hook constants and accessors, the debug interface, the run state and
// error location, table sizing, label subroutines, string pushes, the
// auxiliary readers of table fields and the error-text helpers that other
// folders do not call. Used inside engine/ and by tests; engine sources
// include it after engine/object.h, as they do engine/engine.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine.h"

// ---- Types and constants ---------------------------------------------------

// Hook events and mask bits.
constexpr int VM_HOOK_CALL = 0;
constexpr int VM_HOOK_RETURN = 1;
constexpr int VM_HOOK_LINE = 2;
constexpr int VM_HOOK_COUNT = 3;
constexpr int VM_MASK_CALL = 1;
constexpr int VM_MASK_RETURN = 2;
constexpr int VM_MASK_LINE = 4;
constexpr int VM_MASK_COUNT = 8;

// ---- State ------------------------------------------------------------------

VmCommandFunction VmAtPanic(VmState* L, VmCommandFunction panicf);
// The engine's built-in next(table, key) -> next key and value (nil at the
// end), and its registration as the global "next" that loops read.
int VmNextCommand(VmState* L);

// ---- Stack size and moving values --------------------------------------------

void VmXMove(VmState* from, VmState* to, int n);

// ---- Conversions ----------------------------------------------------------------------

VmState* VmToThread(VmState* L, int index);

// ---- Pushes ---------------------------------------------------------------------------

void VmPushCString(VmState* L, const char* s);  // never null
// Formats with %s, %d, %f, %c and %%; returns the text of the new string.
const char* VmPushVFString(VmState* L, const char* fmt, va_list args);
const char* VmPushFString(VmState* L, const char* fmt, ...);

// ---- Userdata, threads, memory ----------------------------------------------------------------

VmState* VmPushNewThread(VmState* L);

// ---- Hooks and debug interface ------------------------------------------------------------------

void VmSetHook(VmState* L, VmHook fn, int mask, int count);
VmHook VmGetHook(VmState* L);
int VmGetHookMask(VmState* L);
int VmGetHookCount(VmState* L);
const char* VmGetLocal(VmState* L, const VmDebugInfo* ar, int n);
const char* VmSetLocal(VmState* L, const VmDebugInfo* ar, int n);

// ---- Error policy and label subroutines -----------------------------------------------------------

int VmGetGosubDepth();

// Fills the still unknown parts of the error location from the call levels.
void RecordErrorLocation(VmState* L);
// The interpreter's path for a command that returned an error code.
void RaiseCommandError(VmState* L, ErrorCode code);

// ---- Auxiliary library, registration, argument checks and error texts ----

// The "n" field when it is a number, else the declared size, else the count
// of non-nil items from key 1 up.
int VmGetTableSize(VmState* L, int table);
void VmSetTableSize(VmState* L, int table, int n);
// Callback results, never raising: *code is 0, 1190 or 1259.
double VmToNumberOrError(VmState* L, int index, ErrorCode* code);
const char* VmToStringOrError(VmState* L, int index, size_t* len, ErrorCode* code);
void VmClearUserConstants(VmState* L);
void VmRemovePlatformDefines(VmState* L);
int VmAddLabelReference(VmState* L, const char* name, int position);
void* VmGetRegistryPointer(VmState* L, const char* name);
void* VmCheckUserdata(VmState* L, int index);
double VmCheckNumberInContext(VmState* L, int index, const char* context);
int32_t VmCheckIntegerInContext(VmState* L, int index, const char* context);
// UTF-8 mode: the text must be valid UTF-8; *chars counts characters there.
const char* GetStringArg(VmState* L, int index, size_t* chars, size_t* bytes);
void PushSubString(VmState* L, const char* text, size_t start, size_t length, int utf8);
ErrorCode ParseConstantReference(VmState* L, const char* text, size_t* consumed,
                                 const char** string, double* number);
// Integer argument read as the number check reads it; *wasNil is always 0.
int32_t GetOptionalNumberArg(VmState* L, int index, int* wasNil);
// A test hook that CheckArgCount calls first with the command's bounds (null:
// none). A hook that raises stops the command before it reads anything, so
// a test can learn every command's bounds without running one.
using ArgCountProbe = void (*)(VmState* L, int minimum, int maximum);
void SetArgCountProbe(ArgCountProbe probe);
// Whether a replacement text may stand for a built-in text: both must use
// the same conversions (%s, %d, %f, %c ...) in the same order.
int CatalogTextMatches(const char* builtin, const char* replacement);
// The text number of an error code, -1 when none.
int32_t GetErrorTextNumber(ErrorCode code);
// The runtime's table (SetEngineRuntimeHooks); all members null until then.
const EngineRuntimeHooks& GetEngineRuntimeHooks();

// More option-table readers (the common ones are in engine/engine.h).
// A percentage gives minus its value.
int GetTableFieldSizeOrPercent(VmState* L, int table, const char* field, int allowOver100,
                               int32_t* value, int* found);
int GetTableFieldId(VmState* L, int table, const char* field, ObjectId* value, int* found);
int GetTableFieldRef(VmState* L, int table, const char* field, VmRef* value, int* found);
int GetTableFieldLayer(VmState* L, int table, const char* field, int32_t* value, int* found);
// Reads "images": identifiers at keys 0, 1, ... into ids (room for
// capacity); more than capacity raise 1055.
int GetTableFieldIdList(VmState* L, int table, const char* tableName, ObjectId* ids,
                        size_t capacity, size_t* count);
// A copy (from AllocMemory) with every "%" doubled; null when the text is
// empty or holds none, and null with *error = ERR_MEM when memory runs out
// (error may be null; it is 0 otherwise).
char* EscapePercentSigns(const char* text, ErrorCode* error = nullptr);
