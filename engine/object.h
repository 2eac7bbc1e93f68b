// The data model of the script engine: tagged values, the collectable
// objects (strings, tables, closures, upvalues, prototypes, userdata,
// threads), the per-thread VmState and the VmGlobalState shared by all
// threads of one VM, and the functions that create and manage them.
//
// Invariant: every collectable object starts with VmGcHeader, so the
// collector can walk any of its lists without knowing the object's type.
// This header is private to the engine; commands use engine/engine.h.
//
// Notes for the engine's other files:
// - VmEnsureStack is the internal "make n free slots" call and
//   VmNewUserdataObject the internal userdata constructor. The command API
//   defines VmCheckStack and VmNewUserdata with other signatures, so the
//   forms of those names here are static inline wrappers (no symbol).
// - end_ci is one past the last call record: a new record fits while
//   ci + 1 < end_ci (VmNextCallInfo grows the array when it does not).
// - A collection (VmCheckGC, VmCollectGarbage) may shrink and so move the
//   stack: reload every VmValue pointer into the stack after it. It marks
//   a thread's slots below top only and clears those above it up to the
//   highest frame top, so live registers must lie below top when it runs.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/linux/errors.h"

struct VmState;
struct VmGlobalState;
struct ConstantTableEntry;
struct VmTable;
struct VmString;
struct VmClosure;
struct VmUpvalue;
struct VmPrototype;
struct VmUserdata;
struct VmDebugInfo;

using Instruction = uint32_t;

// A built-in command: arguments at stack positions 1..n; returns the number
// of results pushed (0..999), an ErrorCode (1000 and above) or -1/-2 for a
// label subroutine.
using VmCommandFunction = int (*)(VmState* L);

// A hook: called with the debug record of the event, a status word the hook
// may set to an error code, and the current line.
using VmHook = void (*)(VmState* L, VmDebugInfo* ar, int* status, int line);

enum VmTag : uint32_t {
  VM_TNIL = 0,
  VM_TBOOLEAN = 1,
  VM_TLIGHTUSERDATA = 2,
  VM_TNUMBER = 3,
  VM_TSTRING = 4,
  VM_TTABLE = 5,
  VM_TFUNCTION = 6,
  VM_TUSERDATA = 7,
  VM_TTHREAD = 8,
  // Engine-internal only, never visible to scripts or commands.
  VM_TPROTO = 9,
  VM_TUPVAL = 10,
  // A hash key whose value was removed: its object may be freed, so it
  // only matches by address in a traversal and never in a lookup.
  VM_TDEADKEY = 11,
};

// The head shared by every collectable object.
struct VmGcHeader {
  VmGcHeader* next;  // next object of the collector list it is in
  uint8_t tag;       // VmTag of the object
  uint8_t marked;    // collector state bits (see below)
};

// Collector state bits of VmGcHeader::marked.
constexpr uint8_t VM_GC_REACHED = 0x01;
constexpr uint8_t VM_GC_NOTFINALIZED = 0x02;  // userdata whose __gc has not run
constexpr uint8_t VM_GC_WEAKKEY = 0x04;
constexpr uint8_t VM_GC_WEAKVALUE = 0x08;
constexpr uint8_t VM_GC_FIXED = 0x10;  // never collected

union VmPayload {
  VmGcHeader* gc;
  void* p;
  double n;
  int b;
};

struct VmValue {
  uint32_t tag;
  VmPayload value;
};

// ---- Value accessors -------------------------------------------------------

inline bool VmIsNil(const VmValue* o) { return o->tag == VM_TNIL; }
inline bool VmIsNumber(const VmValue* o) { return o->tag == VM_TNUMBER; }
inline bool VmIsString(const VmValue* o) { return o->tag == VM_TSTRING; }
inline bool VmIsTable(const VmValue* o) { return o->tag == VM_TTABLE; }
inline bool VmIsFunction(const VmValue* o) { return o->tag == VM_TFUNCTION; }
inline bool VmIsCollectable(const VmValue* o) { return o->tag >= VM_TSTRING; }

inline double VmNumberOf(const VmValue* o) { return o->value.n; }
inline VmString* VmStringOf(const VmValue* o) { return reinterpret_cast<VmString*>(o->value.gc); }
inline VmTable* VmTableOf(const VmValue* o) { return reinterpret_cast<VmTable*>(o->value.gc); }
inline VmClosure* VmClosureOf(const VmValue* o) {
  return reinterpret_cast<VmClosure*>(o->value.gc);
}
inline VmUserdata* VmUserdataOf(const VmValue* o) {
  return reinterpret_cast<VmUserdata*>(o->value.gc);
}
inline VmState* VmThreadOf(const VmValue* o) { return reinterpret_cast<VmState*>(o->value.gc); }

inline void VmSetNil(VmValue* o) {
  o->tag = VM_TNIL;
  o->value.p = nullptr;
}
inline void VmSetNumber(VmValue* o, double n) {
  o->tag = VM_TNUMBER;
  o->value.n = n;
}
inline void VmSetBoolean(VmValue* o, int b) {
  o->tag = VM_TBOOLEAN;
  o->value.p = nullptr;
  o->value.b = b != 0;
}
inline void VmSetLightUserdata(VmValue* o, void* p) {
  o->tag = VM_TLIGHTUSERDATA;
  o->value.p = p;
}
inline void VmSetObject(VmValue* o, void* gc, uint32_t tag) {
  o->tag = tag;
  o->value.gc = static_cast<VmGcHeader*>(gc);
}
inline void VmSetString(VmValue* o, VmString* s) { VmSetObject(o, s, VM_TSTRING); }
inline void VmSetTable(VmValue* o, VmTable* t) { VmSetObject(o, t, VM_TTABLE); }
inline void VmSetClosure(VmValue* o, VmClosure* c) { VmSetObject(o, c, VM_TFUNCTION); }
inline void VmSetUserdata(VmValue* o, VmUserdata* u) { VmSetObject(o, u, VM_TUSERDATA); }
inline void VmSetThread(VmValue* o, VmState* th) { VmSetObject(o, th, VM_TTHREAD); }
inline void VmSetValue(VmValue* dst, const VmValue* src) { *dst = *src; }

// ---- Strings and userdata ---------------------------------------------------

struct VmString : VmGcHeader {
  uint8_t reserved;  // non-zero for the fixed strings
  // Whether hash holds the sampled hash yet: a long string gets it when it
  // is first used as a table key (VmStringKeyHash), since most long
  // strings never are and the samples are a serial chain of steps over
  // bytes that are cold in a long string.
  uint8_t hashed;
  uint32_t hash;  // the sampled hash that places keys in tables
  // Chooses the string-table chain (VmStringChain): a polynomial hash of
  // every byte (sampled hashes collide whenever strings differ only
  // between the sampled bytes). A joined string's follows from its
  // parts' (VmStringSlotHashJoin), so concatenation never rehashes.
  uint64_t slotHash;
  size_t len;  // length in bytes, not counting the terminating zero
               // followed by len bytes and a zero byte
};

// Block size of a string of len bytes (the caller has checked that it fits).
inline size_t VmSizeString(size_t len) { return sizeof(VmString) + len + 1; }

inline char* VmStringData(VmString* s) { return reinterpret_cast<char*>(s + 1); }
inline const char* VmStringData(const VmString* s) { return reinterpret_cast<const char*>(s + 1); }

struct alignas(16) VmUserdata : VmGcHeader {
  VmTable* metatable;
  size_t len;
  // followed by len bytes of data
};

inline void* VmUserdataData(VmUserdata* u) { return u + 1; }
inline size_t VmSizeUserdata(size_t len) { return sizeof(VmUserdata) + len; }

// ---- Tables -----------------------------------------------------------------

struct VmNode {
  VmValue key;
  VmValue value;
  VmNode* next;  // collision chain
};

// A small table's record is followed, in the same block, by inlinesize
// bytes of room for its parts: the array part may lie at the start of that
// room and the hash part at its end, so that a short list or a small
// record is one block rather than three. A part there is never freed on
// its own, and is counted in the bytes in use only while the table uses it,
// as a block of its own would be; the record counts sizeof(VmTable).
struct VmTable : VmGcHeader {
  uint8_t flags;       // bit e set: the metatable lacks event e (events 0..4)
  uint8_t lsizenode;   // log2 of the hash part's size
  uint8_t inlinesize;  // bytes of room for parts after the record
  VmTable* metatable;
  VmValue* array;
  VmNode* node;
  VmNode* lastfree;  // only moves downwards
  VmGcHeader* gclist;
  int32_t sizearray;
  uint32_t nodemask;  // (1 << lsizenode) - 1, kept beside it for lookups
};

// Largest hash part: 2^24 nodes; also the largest array part, since a rehash
// only counts integer keys up to 2^24.
constexpr int VM_MAXBITS = 24;
constexpr int32_t VM_MAXASIZE = int32_t(1) << VM_MAXBITS;

inline int VmSizeNode(const VmTable* t) { return 1 << t->lsizenode; }

// ---- Functions ----------------------------------------------------------------

struct VmLocalVar {
  VmString* name;
  int32_t startpc;  // first instruction where the variable is active
  int32_t endpc;    // first instruction where it is dead
};

// An instruction as the interpreter runs it: the word decoded once, with
// register and constant operands turned into byte offsets and RK operands
// into opcode variants (see VmPrepareExec), and the word itself for the
// rarer fields. One per instruction of the prototype, at the same index.
struct VmExecInstr {
  uint8_t op;     // dispatch index: opcode plus variant * 64
  uint8_t a;      // A (the jump kind for JUMP)
  uint16_t ra;    // A * sizeof(VmValue)
  uint16_t rb;    // B: a byte offset for register and RK operands, else as is
  uint16_t rc;    // C: likewise
  int32_t x;      // sBx, sJ, Bx, a Bx constant's byte offset, or a string key's hash
  Instruction i;  // the instruction word
};

struct VmPrototype : VmGcHeader {
  VmValue* k;
  Instruction* code;
  // The decoded code (sizecode entries), built before the first run; null
  // until then.
  VmExecInstr* exec;
  VmPrototype** p;
  int32_t* lineinfo;
  VmLocalVar* locvars;
  VmString** upvalues;
  VmString* source;
  int32_t sizeupvalues;
  int32_t sizek;
  int32_t sizecode;
  int32_t sizelineinfo;
  int32_t sizep;
  int32_t sizelocvars;
  int32_t lineDefined;
  // For each instruction, the index of the first later instruction on
  // another line (sizecode entries); built on first use by a line hook,
  // null until then.
  int32_t* lineends;
  VmGcHeader* gclist;
  uint8_t nups;
  uint8_t numparams;
  uint8_t is_vararg;
  uint8_t maxstacksize;
};

struct VmUpvalue : VmGcHeader {
  VmValue* v;  // the stack slot while open, &value once closed
  VmValue value;
};

struct VmClosure : VmGcHeader {
  uint8_t isC;  // 1 built-in, 0 script
  uint8_t nupvalues;
  VmGcHeader* gclist;
  union {
    struct {
      VmCommandFunction f;
      VmValue upvalue[1];  // nupvalues values inline
    } c;
    struct {
      VmPrototype* p;
      VmValue g;             // globals table
      VmUpvalue* upvals[1];  // nupvalues pointers
    } l;
  };
};

// Block size of a closure with n upvalues.
inline size_t VmSizeCClosure(int n) {
  return sizeof(VmClosure) + sizeof(VmValue) * (n > 0 ? n - 1 : 0);
}
inline size_t VmSizeScriptClosure(int n) {
  return sizeof(VmClosure) + sizeof(VmUpvalue*) * (n > 0 ? n - 1 : 0);
}

// ---- Threads and the global state ---------------------------------------------

// Call-record state flags.
constexpr int VM_CI_C = 1;         // running a built-in function
constexpr int VM_CI_HASFRAME = 2;  // has a frame in the interpreter loop
constexpr int VM_CI_CALLING = 4;   // calling another function
constexpr int VM_CI_SAVEDPC = 8;   // savedpc is valid
constexpr int VM_CI_YIELD = 16;    // a hook asked to yield

// 32 bytes, so that record positions are computed by shifts.
struct VmCallInfo {
  VmValue* base;               // frame base
  VmValue* top;                // highest slot the function may use
  const VmExecInstr* savedpc;  // just past the current instruction
  int state;
  int tailcalls;  // script frames only
};

// The innermost active protected call. A raise is a C++ exception of type
// VmError, caught only by the protected runners, which then read status.
struct VmLongJmp {
  VmLongJmp* previous;
  ErrorCode status;
};

struct VmError {
  ErrorCode status;
};

constexpr int VM_BASIC_STACK_SIZE = 45;  // slots of a new stack
constexpr int VM_EXTRA_STACK = 5;        // reserve above the limit for metamethods
constexpr int VM_MINSTACK = 20;          // free slots given to every built-in call
constexpr int VM_BASIC_CI_SIZE = 8;      // call records of a new thread
constexpr int VM_MAXCALLS = 4096;        // call-record limit
// Largest stack in slots (64 MiB): far above what 4096 call records of at
// most 250 registers each can use, so a larger request is a runaway size.
constexpr int32_t VM_MAXSTACK = int32_t(1) << 22;

constexpr int VM_REGISTRYINDEX = -10000;
constexpr int VM_GLOBALSINDEX = -10001;
inline int VmUpvalueIndex(int i) { return VM_GLOBALSINDEX - i; }

struct VmState : VmGcHeader {
  VmValue* top;
  VmValue* base;
  VmGlobalState* l_G;
  VmCallInfo* ci;
  VmValue* stack_last;  // last slot usable without growing
  VmValue* stack;
  int32_t stacksize;
  VmCallInfo* end_ci;
  VmCallInfo* base_ci;
  uint16_t size_ci;
  uint16_t nCcalls;
  uint8_t hookmask;
  uint8_t allowhook;
  uint8_t hookinit;
  int32_t basehookcount;
  int32_t hookcount;
  VmHook hook;
  // Whether the hook is gated by vmEventPollGate: it counts as absent
  // while the gate is 0.
  uint8_t hookgated;
  VmValue gt;  // globals table
  VmGcHeader* openupval;
  VmGcHeader* gclist;
  VmLongJmp* errorJmp;
  ptrdiff_t errfunc;
};

struct VmStringTable {
  uintptr_t* hash;  // chain heads, in the form of VmStringSlotOf
  size_t nuse;
  size_t size;
};

// Metamethod events; the order is the event number.
enum VmEvent {
  VM_TM_INDEX,
  VM_TM_NEWINDEX,
  VM_TM_GC,
  VM_TM_MODE,
  VM_TM_EQ,
  VM_TM_ADD,
  VM_TM_SUB,
  VM_TM_MUL,
  VM_TM_DIV,
  VM_TM_DIVINT,
  VM_TM_MOD,
  VM_TM_LSH,
  VM_TM_RSH,
  VM_TM_OR,
  VM_TM_AND,
  VM_TM_XOR,
  VM_TM_POW,
  VM_TM_UNM,
  VM_TM_NOT,
  VM_TM_LT,
  VM_TM_LE,
  VM_TM_CONCAT,
  VM_TM_CALL,
  VM_TM_N
};

constexpr int VM_WAITING_CONSTANT_TABLES = 32;

// Small blocks are sized in steps of VM_POOL_STEP bytes up to VM_POOL_MAX;
// each step has a list of freed blocks that the next request of its size
// takes (engine/memory.cpp).
constexpr size_t VM_POOL_STEP = 8;
constexpr size_t VM_POOL_MAX = 256;
constexpr size_t VM_POOL_CLASSES = VM_POOL_MAX / VM_POOL_STEP + 1;

struct VmBlockList {
  void** blocks;  // addresses of freed blocks, the last freed last
  size_t count;
  size_t cap;
};

struct VmGlobalState {
  VmStringTable strt;
  VmGcHeader* rootgc;     // every collectable object except userdata
  VmGcHeader* rootudata;  // userdata
  VmGcHeader* tmudata;    // userdata awaiting finalisation
  char* buff;             // concatenation buffer
  size_t buffsize;
  size_t GCthreshold;  // VM_GC_OFF: no automatic collection
  size_t nblocks;      // bytes in use
  VmCommandFunction panic;
  VmValue registry;
  VmValue defaultmeta;
  VmState* mainthread;
  VmNode dummynode[1];  // shared by every table without a hash part
  VmString* tmname[VM_TM_N];
  VmString* memerrmsg;  // "not enough memory", made when the state opens
  bool errorRaised;     // set by every throw, cleared by protected calls
  // Constant tables noted but not yet entered into "constants", in the
  // order they were registered, and whether registration notes them
  // (engine/register.cpp).
  const ConstantTableEntry* waitingConstants[VM_WAITING_CONSTANT_TABLES];
  int waitingConstantCount;
  bool deferConstants;
  // Freed small blocks by size step (index 0 unused).
  VmBlockList blockpool[VM_POOL_CLASSES];
  size_t poolbytes;  // bytes in those lists
};

inline VmGlobalState* VmG(VmState* L) { return L->l_G; }

// Threshold value that stops automatic collection (reported as 0xFFFFFFFF).
constexpr size_t VM_GC_OFF = SIZE_MAX;

// ---- Memory (engine/memory.cpp) ------------------------------------------------

// Reallocates a block and keeps the count of bytes in use. A null L means
// the state is being built or destroyed: failures return null instead of
// raising.
void* VmRealloc(VmState* L, void* block, size_t oldsize, size_t newsize);
// Doubles *count (at least 4, at most limit) and reallocates the block; a
// vector already within 4 of the limit raises code.
void* VmGrowVector(VmState* L, void* block, int32_t* count, size_t elemsize, int32_t limit,
                   ErrorCode code);
// Sets the process heap up for the engine's pattern of use (once; later
// calls do nothing): large blocks are kept for reuse rather than handed
// back to the system after every collection.
void VmTuneHeap();
// Asks for large pages under a block of its own mapping (one too large for
// the heap), so that its first touch costs a fault per large page rather
// than per page. Smaller blocks are left as they are.
void VmAdviseLargeBlock(void* block, size_t size);
// Hands the large block kept for reuse back to the system.
void VmReleaseKeptBlock();
// Hands the freed small blocks the state keeps for reuse back to the heap.
void VmReleasePooledBlocks(VmGlobalState* g);
// A block of size bytes of which only counted (at most size) count as in
// use: a record with room for parts that it counts only while they are in
// use. VmFreeCounted frees it with the same two sizes.
void* VmAllocCounted(VmState* L, size_t size, size_t counted);
void VmFreeCounted(VmState* L, void* block, size_t size, size_t counted);
// Allocates n elements of elemsize with an overflow check (error 1000).
void* VmAllocArray(VmState* L, size_t n, size_t elemsize);
// Test seam: the nth engine allocation from now fails (n >= 1), and with
// persistent every one after it too; n = 0 switches the hook off. Frees and
// shrinking reallocations are never failed.
void VmSetAllocFailure(uint64_t n, bool persistent);
uint64_t VmGetAllocFailureCount();
template <typename T>
T* VmNewBlock(VmState* L, size_t n = 1) {
  return static_cast<T*>(VmAllocArray(L, n, sizeof(T)));
}
template <typename T>
void VmFreeBlock(VmState* L, T* block, size_t n = 1) {
  VmRealloc(L, block, n * sizeof(T), 0);
}

// ---- State (engine/state.cpp) ----------------------------------------------------

VmState* VmOpenState();
void VmCloseState(VmState* L);
VmState* VmNewThread(VmState* L);
void VmFreeThread(VmState* L, VmState* L1);
void VmGrowStack(VmState* L, int n);
// Doubles the call-record array (rebasing ci and end_ci). Growing above
// VM_MAXCALLS raises 1135; asking while already above it throws 1135.
void VmGrowCallInfo(VmState* L);
VmCommandFunction VmAtPanic(VmState* L, VmCommandFunction panicf);
// Reallocates the stack to newsize slots and rebases every pointer into it.
void VmReallocStack(VmState* L, int32_t newsize);
void VmReallocCallInfo(VmState* L, int32_t newsize);

// Makes sure n free slots exist above the top (below the limit); may move
// the stack. A negative n asks for nothing.
inline void VmEnsureStack(VmState* L, int n) {
  if ((char*)L->stack_last - (char*)L->top <= (ptrdiff_t)n * (ptrdiff_t)sizeof(VmValue))
    VmGrowStack(L, n);
}
// Internal linkage: the command API defines an int-returning VmCheckStack.
static inline void VmCheckStack(VmState* L, int n) { VmEnsureStack(L, n); }

// The next call record, growing the array when it is full.
inline VmCallInfo* VmNextCallInfo(VmState* L) {
  if (L->ci + 1 >= L->end_ci) VmGrowCallInfo(L);
  return ++L->ci;
}

// ---- Strings and userdata (engine/string.cpp) ------------------------------------

VmString* VmNewString(VmState* L, const char* bytes, size_t len);
VmString* VmNewStringZ(VmState* L, const char* text);
// One piece of a string to be made (VmStringFromParts).
struct VmStringPart {
  const char* bytes;
  size_t len;  // not 0
};
// Interns the join of n non-empty parts, len bytes in all, whose
// string-table hash the caller has computed from the parts' own
// (VmStringSlotHashJoin): the existing string, or a new record into which
// the parts are copied.
VmString* VmStringFromParts(VmState* L, const VmStringPart* parts, int n, size_t len,
                            uint64_t slotHash);
// Interns the len bytes written after the header of a block of blockSize
// bytes (at least VmSizeString(len)) from VmRealloc without a state, whose
// VmStringSlotHash is slotHash: the existing equal string, with the block
// freed, or the block itself made the string, shrunk to its size and
// counted as the state's.
VmString* VmStringFromBlock(VmState* L, void* block, size_t blockSize, size_t len,
                            uint64_t slotHash);
void VmResizeStringTable(VmState* L, size_t slots);
VmUserdata* VmNewUserdataObject(VmState* L, size_t size);
// Internal linkage: the command API defines a VmNewUserdata that returns the
// data pointer.
static inline VmUserdata* VmNewUserdata(VmState* L, size_t size) {
  return VmNewUserdataObject(L, size);
}
uint32_t VmStringHash(const char* bytes, size_t len);
// VmStringHash samples byte[len - 1 - k * step] for k below
// VmStringHashSamples(len), where step = VmStringHashStep(len) (at most 32
// samples).
inline size_t VmStringHashStep(size_t len) { return (len >> 5) + 1; }
inline size_t VmStringHashSamples(size_t len) { return len / VmStringHashStep(len); }
// Computes and stores s's sampled hash (for VmStringKeyHash).
void VmStringSetHash(VmString* s);
// The sampled hash of s, which places it as a table key.
inline uint32_t VmStringKeyHash(VmString* s) {
  if (__builtin_expect(!s->hashed, 0)) VmStringSetHash(s);
  return s->hash;
}
// The string-table hash of a byte string: the sum of byte[i] * B^(len-1-i)
// modulo 2^64 for an odd constant B.
uint64_t VmStringSlotHash(const char* bytes, size_t len);
// VmStringSlotHashJoin for any b length.
uint64_t VmStringSlotHashJoinLong(uint64_t a, uint64_t b, size_t blen);
// B^j for j below 256 (B the odd base of the string-table hash).
extern const std::array<uint64_t, 256> vmStringPowers;
// The string-table hash of a joined to b, from their hashes and b's
// length: a * B^blen + b (an a of 0, as an empty a has, needs no power).
inline uint64_t VmStringSlotHashJoin(uint64_t a, uint64_t b, size_t blen) {
  if (a == 0) return b;
  if (blen < 256) return a * vmStringPowers[blen] + b;
  return VmStringSlotHashJoinLong(a, b, blen);
}
// The string-table hash mixed for use: its high bits folded into the low
// ones, the polynomial's low bits being weak.
inline uint64_t VmStringMix(uint64_t slotHash) {
  return (slotHash ^ (slotHash >> 32)) * 0xFF51AFD7ED558CCDull;
}
// The chain of a string-table hash in a table of size slots (a power of
// two): bits 32 and up of the mix.
inline size_t VmStringChain(uint64_t slotHash, size_t size) {
  return static_cast<size_t>(VmStringMix(slotHash) >> 32) & (size - 1);
}
// A string-table slot holds the address of its chain's first record. When
// that record is the chain's only one (and its address fits in 48 bits, as
// user addresses do), the slot also holds VM_STRSLOT_ONLY and, in bits 48
// to 62, a tag taken from bits 17 to 31 of the record's mix (disjoint from
// the chain bits), so that a lookup whose tag differs misses without
// reading the record, which in a large heap is a cache and TLB miss.
constexpr uintptr_t VM_STRSLOT_ONLY = uintptr_t(1) << 63;
constexpr uintptr_t VM_STRSLOT_ADDR = (uintptr_t(1) << 48) - 1;
inline uintptr_t VmStringTag(uint64_t mix) { return (mix >> 17) & 0x7FFF; }
// The slot for a chain that starts with head (null: an empty chain).
inline uintptr_t VmStringSlotOf(VmString* head) {
  uintptr_t p = reinterpret_cast<uintptr_t>(head);
  if (head == nullptr || head->next != nullptr || (p & ~VM_STRSLOT_ADDR) != 0) return p;
  return p | VM_STRSLOT_ONLY | (VmStringTag(VmStringMix(head->slotHash)) << 48);
}
// The first record of a slot's chain.
inline VmString* VmStringSlotFirst(uintptr_t slot) {
  return reinterpret_cast<VmString*>((slot & VM_STRSLOT_ONLY) ? slot & VM_STRSLOT_ADDR : slot);
}
// Whether the chain of slot may hold a string whose mix is mix.
inline bool VmStringSlotMayHold(uintptr_t slot, uint64_t mix) {
  return !(slot & VM_STRSLOT_ONLY) || ((slot >> 48) & 0x7FFF) == VmStringTag(mix);
}

// ---- Tables (engine/table.cpp) --------------------------------------------------

VmTable* VmCreateTable(VmState* L, int narray, int lsizenode);
void VmFreeTable(VmState* L, VmTable* t);
// Lookups return the value slot of a present key (whose value may be nil)
// or &vmNilValue.
const VmValue* VmTableGetAny(VmTable* t, const VmValue* key);  // any key type
const VmValue* VmTableGetNumHash(VmTable* t, int key);
VmValue* VmTableSet(VmState* L, VmTable* t, const VmValue* key);
VmValue* VmTableSetNumHash(VmState* L, VmTable* t, int key);
// Gives t an array part of narray slots and a hash part of 2^lsizenode
// nodes (lsizenode < 0: none of its own), moving every entry; raises 1207
// when lsizenode exceeds VM_MAXBITS or narray VM_MAXASIZE. VmCreateTable
// takes lsizenode 0 as "no hash part".
void VmTableResize(VmState* L, VmTable* t, int narray, int lsizenode);

// The exact int value of a number, when it has one.
inline bool VmNumberToInt(double n, int* k) {
  if (!(n >= -2147483648.0 && n < 2147483648.0)) return false;
  int i = static_cast<int>(n);
  if (static_cast<double>(i) != n) return false;
  *k = i;
  return true;
}
// key is in/out: the slot holds the previous key and receives the next one,
// with the value in key + 1. Returns 0 at the end.
int VmTableNext(VmState* L, VmTable* t, VmValue* key);
// The handler of event e in metatable mt, or null; caches absence in mt->flags.
const VmValue* VmFastEvent(VmState* L, VmTable* mt, VmEvent e);
// The shared nil value returned for missing keys.
extern const VmValue vmNilValue;

inline const VmValue* VmTableGetNum(VmTable* t, int key) {
  if (static_cast<uint32_t>(key) - 1u < static_cast<uint32_t>(t->sizearray))
    return &t->array[key - 1];
  return VmTableGetNumHash(t, key);
}

// VmTableGetStr with the key's hash already known (the interpreter keeps
// the hashes of constant keys next to its instructions).
inline const VmValue* VmTableGetStrHashed(VmTable* t, VmString* key, uint32_t hash) {
  const VmNode* n = &t->node[hash & t->nodemask];
  do {
    if (n->key.tag == VM_TSTRING && n->key.value.gc == key) return &n->value;
    n = n->next;
  } while (n != nullptr);
  return &vmNilValue;
}

inline const VmValue* VmTableGetStr(VmTable* t, VmString* key) {
  // Every string stored as a key got its sampled hash when it was placed
  // (through VmStringKeyHash), so a string still without one is in no
  // table: whatever chain its unset hash picks, the search misses, as it
  // must. Reads therefore take the field as it is.
  return VmTableGetStrHashed(t, key, key->hash);
}

// Nil reads key 0; integer numbers and strings take the fast paths.
inline const VmValue* VmTableGet(VmTable* t, const VmValue* key) {
  if (key->tag == VM_TSTRING) return VmTableGetStr(t, VmStringOf(key));
  int k;
  if (key->tag == VM_TNUMBER && VmNumberToInt(key->value.n, &k)) return VmTableGetNum(t, k);
  return VmTableGetAny(t, key);
}

// Stores through an integer key leave the metatable-event cache alone.
// Stores the n values under the keys 0 to n - 1 of a table that holds no
// key and has no hash part of its own (a new table being filled by a list
// constructor), with the layout that storing them one by one gives; false,
// and nothing done, when the table or the values (a nil among them) do not
// qualify.
bool VmTableSetNewList(VmState* L, VmTable* t, const VmValue* values, int n);
inline VmValue* VmTableSetNum(VmState* L, VmTable* t, int key) {
  if (static_cast<uint32_t>(key) - 1u < static_cast<uint32_t>(t->sizearray))
    return &t->array[key - 1];
  return VmTableSetNumHash(L, t, key);
}

// ---- Functions, closures, upvalues, prototypes (engine/function.cpp) -------------

VmPrototype* VmNewPrototype(VmState* L);
// The per-instruction line-run ends of p (see VmPrototype::lineends),
// built on first use; null when there is no memory for them (never raises).
const int32_t* VmLineEnds(VmState* L, VmPrototype* p);
void VmFreePrototype(VmState* L, VmPrototype* p);
VmClosure* VmNewScriptClosure(VmState* L, int nups, const VmValue* globals);
VmClosure* VmNewCClosure(VmState* L, int nups);
void VmFreeClosure(VmState* L, VmClosure* c);
VmUpvalue* VmFindUpvalue(VmState* L, VmValue* level);
void VmCloseUpvalues(VmState* L, VmValue* level);
const char* VmGetLocalName(const VmPrototype* p, int n, int pc);

// ---- Garbage collector (engine/gc.cpp) -------------------------------------------

// Links a new object into the general object list.
void VmLinkObject(VmState* L, VmGcHeader* o, uint8_t tag);
void VmCollectGarbage(VmState* L);
// Threshold and bytes in use in kilobytes; a threshold of 0xFFFFFFFF is off.
uint32_t VmGetGcThreshold(VmState* L);
uint32_t VmGetGcCount(VmState* L);
// Below 4194304 KB: threshold = kb * 1024, collecting at once when the count
// already exceeds it; otherwise automatic collection is off.
void VmSetGcThreshold(VmState* L, uint32_t kb);
inline void VmCheckGC(VmState* L) {
  if (VmG(L)->nblocks >= VmG(L)->GCthreshold) VmCollectGarbage(L);
}
// Frees every object at state close.
void VmFreeAllObjects(VmState* L);
// Moves to the finalisation list every userdata with a __gc handler that
// has not been finalised and is unreached (or all of them); returns their
// total size in bytes.
size_t VmSeparateUserdata(VmState* L, bool all);
// Runs the __gc handlers of the finalisation list, hooks disabled.
void VmCallPendingFinalisers(VmState* L);

// ---- Raising and protected runs (engine/raise.cpp) --------------------------------

// The only throw of VmError. With no protected call active it calls the
// panic function and ends the process with status 1.
[[noreturn]] void VmThrow(VmState* L, ErrorCode status);
// Records the error location and throws the code.
[[noreturn]] void VmRaiseError(VmState* L, ErrorCode code);
using VmProtectedFunction = void (*)(VmState* L, void* ud);
// Runs f under a new recovery record; returns 0 or the raised status.
ErrorCode VmRunProtected(VmState* L, VmProtectedFunction f, void* ud);

// ---- Calls (engine/call.cpp) --------------------------------------------------------

// Calls the function at slot func with the arguments above it, wanting
// nresults results (-1: all). Returns 0, or the ErrorCode that a called
// built-in command returned.
ErrorCode VmCallValue(VmState* L, VmValue* func, int nresults);
// Sets the built-in globals the engine itself needs (`next`).
void VmRegisterBaseFunctions(VmState* L);

// ---- Interpreter, calls and command API (engine/vm.cpp, call.cpp, api.cpp) ----
// Tells engine/engine.h that the engine-internal VmCheckStack and
// VmNewUserdata above are in view, so it leaves out the API forms that share
// their names (those are defined in engine/apiexport.cpp).
#define VM_OBJECT_H_INCLUDED 1
