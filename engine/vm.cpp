// The interpreter loop: runs the instructions of script functions. Calls of
// script functions from script code stay inside one loop invocation (the
// callee's frame replaces the caller's registers until it returns); calls
// of built-in commands, metamethods and hooks leave through VmPrepareCall or
// the value operations of vmops.cpp.
//
// Invariant: whenever control can leave the loop (a raise, an allocation, a
// call, a hook) the running record's savedpc points just past the current
// instruction, and base, ci and the trap word are reloaded afterwards,
// because the stack and the call-record array may have moved. PROTECT does
// both; only the call cases, which must tell their own record from the
// callee's, do it by hand.
#include <cstdio>
#include <cstring>

#include "engine/load.h"
#include "engine/vmcore.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"

#if defined(__GNUC__) && !defined(QM_FORCE_SWITCH)
#define VM_JUMPTABLE 1
#endif

#define VM_LIKELY(x) __builtin_expect(!!(x), 1)
#define VM_UNLIKELY(x) __builtin_expect(!!(x), 0)

namespace {

// Hooks are checked and the quit flag is polled only while this word is
// non-zero. The flag can only change while control is outside the loop
// (commands, metamethods, hooks, finalisers), so reloading the word after
// each of those is as good as testing the flag before every instruction.
// While only line hooks are on (and the quit flag is clear) the word is
// exactly VM_MASK_LINE, which the fetch's quick same-line test relies on.
// A gated line hook leaves the line bit clear: its gate is opened by other
// threads at any time, and the loop looks at it only where a run can go on
// for long (backward jumps, loop steps, calls and returns) and after
// anything that left the loop; an open gate sets VM_TRAP_GATE, which sends
// the next fetch to traceExec. Every endless run passes one of those
// places, and straight-line code stays free of the load.
constexpr int VM_TRAP_GATE = 0x100;

// The gate, read without ordering: the hook it opens only polls state that
// has its own synchronisation.
inline int gateOpen() { return vmEventPollGate.load(std::memory_order_relaxed); }

inline int computeTrap(VmState* L) {
  int mask = L->hookmask;
  int gate = 0;
  if (L->hookgated) {
    mask &= ~VM_MASK_LINE;
    gate = gateOpen() ? VM_TRAP_GATE : 0;
  }
  return (mask & (VM_MASK_LINE | VM_MASK_COUNT)) | (vmRun.quit != 0) | gate;
}

// True when d is an integer that fits an int (the array-part fast path).
inline bool numberToInt(double d, int* out) {
  if (!(d >= -2147483648.0 && d < 2147483648.0)) return false;
  int n = static_cast<int>(d);
  *out = n;
  return static_cast<double>(n) == d;
}

inline int lineOf(const VmPrototype* p, int pc) {
  return (pc >= 0 && pc < p->sizelineinfo) ? p->lineinfo[pc] : -1;
}

// What the line hook tracks in a frame: the last traced instruction (null
// at frame entry) and, while only line hooks are on, the end of its run of
// instructions on one line (null: unknown), so that the fetch can pass
// over the rest of the run without coming to lineStep. The loop keeps it
// in memory: its registers are better spent on the unhooked path.
struct LineTrack {
  const VmExecInstr* last;
  const VmExecInstr* end;
};

// Line and count hooks before the instruction at pc while count hooks are
// on, the quit flag is set (every instruction comes here) or a gated hook's
// gate has opened (it closes again before the hook runs, so an arming
// during the hook is kept for the next instruction).
[[gnu::noinline]] void traceExec(VmState* L, const VmExecInstr* pc, LineTrack* track) {
  int mask = L->hookmask;
  track->end = nullptr;
  if (L->hookgated) {
    if (vmEventPollGate.exchange(0, std::memory_order_relaxed) != 0) {
      const VmPrototype* p = VmCiFunc(L->ci)->l.p;
      VmCallHook(L, VM_HOOK_LINE, lineOf(p, static_cast<int>(pc - p->exec)));
      return;
    }
    mask &= ~VM_MASK_LINE;
  }
  L->hookcount--;
  if ((mask & VM_MASK_COUNT) && L->hookcount == 0) {
    L->hookcount = L->basehookcount;
    VmCallHook(L, VM_HOOK_COUNT, -1);
    return;
  }
  if (!(mask & VM_MASK_LINE)) return;
  const VmPrototype* p = VmCiFunc(L->ci)->l.p;
  int npc = static_cast<int>(pc - p->exec);
  int newline = lineOf(p, npc);
  const VmExecInstr* last = track->last;
  track->last = pc;
  if (last == nullptr || pc <= last || newline != lineOf(p, static_cast<int>(last - p->exec)))
    VmCallHook(L, VM_HOOK_LINE, newline);
}

// The line hook before the instruction at pc while only line hooks are on,
// when the fetch could not tell that pc goes on forward within the traced
// line: calls the hook for a new line or a backward jump, and tracks pc's
// run (left unknown when the runs could not be built: then every
// instruction comes here).
[[gnu::noinline]] void lineStep(VmState* L, VmPrototype* p, const VmExecInstr* pc,
                                LineTrack* track) {
  int npc = static_cast<int>(pc - p->exec);
  const int32_t* ends = p->lineends != nullptr ? p->lineends : VmLineEnds(L, p);
  const VmExecInstr* last = track->last;
  track->last = pc;
  track->end = ends != nullptr ? p->exec + ends[npc] : nullptr;
  int newline = lineOf(p, npc);
  if (last == nullptr || pc <= last || newline != lineOf(p, static_cast<int>(last - p->exec)))
    VmCallHook(L, VM_HOOK_LINE, newline);
}

// Frames entered by this loop invocation are abandoned when the quit flag
// stops the run: their upvalues are closed and the entry record is left as
// if its function had returned nothing.
VmValue* abandonFrames(VmState* L, ptrdiff_t entry) {
  VmCallInfo* ci = VmRestoreCi(L, entry);
  VmCloseUpvalues(L, ci->base);
  L->ci = ci;
  L->base = ci->base;
  L->top = ci->base;
  return L->top;
}

// Copies a value field by field. Values are mostly written that way (a
// tag store and a payload store), and a 16-byte load of a slot written so
// moments before cannot be served from the store buffer and stalls; two
// loads of the stored widths can.
inline void copyValue(VmValue* dst, const VmValue* src) {
  VmPayload v = src->value;
  uint32_t t = src->tag;
  dst->value = v;
  dst->tag = t;
}

// The number in a slot, taken from `held` when the slot holds exactly that
// number. A loop's running value (a counter, a sum) is stored by one
// instruction and read back by the next iteration; reading it from memory
// puts a store-to-load round trip on every iteration's critical path. When
// the bits in memory are those of the value still in a register, the
// register is used, and the comparison (predicted, not waited for) is off
// the path. Equal bits are the same number, so the result never differs.
inline double heldNumber(const VmValue* o, double held) {
  uint64_t mem;
  uint64_t reg;
  std::memcpy(&mem, &o->value.n, sizeof mem);
  std::memcpy(&reg, &held, sizeof reg);
  if (VM_LIKELY(mem == reg)) {
    // Keeps the compiler from turning the branch into a select, which
    // would make the result wait for the load again.
    __asm__ volatile("" : "+x"(held));
    return held;
  }
  return o->value.n;
}

// Both operands are numbers: one test instead of two branches.
inline bool bothNumbers(const VmValue* a, const VmValue* b) {
  return ((a->tag ^ VM_TNUMBER) | (b->tag ^ VM_TNUMBER)) == 0;
}

// Whether an open upvalue refers to a slot at or above level (the list is
// ordered by slot, highest first).
inline bool hasOpenUpvalues(const VmState* L, const VmValue* level) {
  return L->openupval != nullptr && static_cast<const VmUpvalue*>(L->openupval)->v >= level;
}

// VmPostCall without the return hook: the results of the frame on top move
// to its function slot, padded with nil to `wanted` (-1: all).
inline void postCallFast(VmState* L, int wanted, VmValue* first) {
  VmCallInfo* ci = L->ci;
  if (vmGosub.count > 0) {
    int32_t level = static_cast<int32_t>(ci - L->base_ci);
    while (vmGosub.count > 0 && vmGosub.entries[vmGosub.count - 1].level >= level) vmGosub.count--;
  }
  VmValue* res = ci->base - 1;
  VmValue* top = L->top;
  L->ci = ci - 1;
  L->base = ci[-1].base;
  while (wanted != 0 && first < top) {
    copyValue(res++, first++);
    wanted--;
  }
  while (wanted-- > 0) VmSetNil(res++);
  L->top = res;
}

// The counting loop's operands when they are not all numbers: the counter
// must be one, the limit and step are converted in place; else 1024.
[[gnu::noinline]] void forLoopOperands(VmState* L, VmValue* ra) {
  double limit, step;
  if (ra[0].tag != VM_TNUMBER || !VmToNumberValue(&ra[1], &limit) ||
      !VmToNumberValue(&ra[2], &step))
    VmRaiseError(L, ERR_VALUEEXPECTED);
  VmSetNumber(&ra[1], limit);
  VmSetNumber(&ra[2], step);
}

// Code the loader's checks let through but that cannot run here; the
// report names the function and the instruction.
[[noreturn]] void badCode(VmState* L) {
  VmCallInfo* ci = L->ci;
  const VmPrototype* p = VmCiFunc(ci)->l.p;
  int pc = VmCurrentPc(L, ci);
  char function[48] = "main function";
  if (p->lineDefined != 0)
    std::snprintf(function, sizeof function, "function of line %d",
                  static_cast<int>(p->lineDefined));
  VmSetBadCodeLocation(p->source, function, pc, pc >= 0 && pc < p->sizecode ? p->code[pc] : 0,
                       nullptr);
  VmRaiseError(L, ERR_BADBYTECODE);
}

// The array part of NEWTABLE: (B & 7) << (B >> 3) slots, refused (1207)
// when it would not fit the largest array part.
int newTableArraySize(VmState* L, int b) {
  int shift = b >> 3;
  int64_t n = shift < 40 ? static_cast<int64_t>(b & 7) << shift : (b & 7) ? INT64_MAX : 0;
  if (n > VM_MAXASIZE) VmRaiseError(L, ERR_TABLEOVERFLOW);
  return static_cast<int>(n);
}

// A constant operand's byte offset has this bit set; registers' offsets
// stay below it (at most 511 slots).
constexpr unsigned VM_EXEC_K = 0x8000;
// GETTABLE and SELF with a string constant key.
constexpr int VM_VARIANT_STRKEY = 2;
// SETTABLE whose key is a constant other than a string (the four variants
// cover register keys and string constants).
constexpr uint8_t VM_XOP_SETTABLE_ANY = 64 + VM_NUM_OPCODES;
// ADD or SUB right before a FORLOOP (plus the variant): the last step of a
// loop's body and the loop's step in one dispatch. The FORLOOP keeps its
// own entry, which the jump into the loop reaches. Like SETTABLE_ANY they
// sit where no instruction word's opcode leads (words 45 to 63 do nothing).
constexpr uint8_t VM_XOP_ADDLOOP = VM_XOP_SETTABLE_ANY + 1;
constexpr uint8_t VM_XOP_SUBLOOP = VM_XOP_ADDLOOP + 4;

}  // namespace

void VmPrepareExec(VmState* L, VmPrototype* p) {
  const int n = p->sizecode;
  VmExecInstr* code = VmNewBlock<VmExecInstr>(L, size_t(n));
  constexpr unsigned slot = sizeof(VmValue);
  for (int pc = 0; pc < n; pc++) {
    const Instruction i = p->code[pc];
    const int op = GET_OPCODE(i);
    VmExecInstr& e = code[pc];
    e.i = i;
    e.op = static_cast<uint8_t>(op);
    e.a = static_cast<uint8_t>(GETARG_A(i));
    e.ra = static_cast<uint16_t>(GETARG_A(i) * slot);
    e.rb = static_cast<uint16_t>(GETARG_B(i));
    e.rc = static_cast<uint16_t>(GETARG_C(i));
    e.x = 0;
    if (op >= VM_NUM_OPCODES) continue;
    // The variant says which RK operands are constants: bit 1 for B,
    // bit 0 for C. A constant's offset carries VM_EXEC_K.
    int variant = 0;
    auto operand = [&](VmOperandKind kind, int x, int bit) {
      if (kind == VM_OPND_N) return static_cast<uint16_t>(x);
      if (kind == VM_OPND_K && VmIsK(x)) {
        variant |= bit;
        return static_cast<uint16_t>(VmIndexK(x) * slot | VM_EXEC_K);
      }
      return static_cast<uint16_t>(x * slot);
    };
    auto stringConstant = [&](int x) { return VmIsK(x) && VmIsString(&p->k[VmIndexK(x)]); };
    // Only the ABC layout has B and C fields (elsewhere they are
    // parts of Bx or J).
    if (vmOpcodeFormats[op] == VM_FMT_ABC) {
      const VmOperandKinds& kinds = vmOpcodeOperands[op];
      e.rb = operand(kinds.b, GETARG_B(i), 2);
      e.rc = operand(kinds.c, GETARG_C(i), 1);
    }
    // A string constant key's hash rides in x, saving the lookup a load.
    if ((op == OP_GETTABLE || op == OP_SELF) && stringConstant(GETARG_C(i))) {
      variant = VM_VARIANT_STRKEY;
      e.x = static_cast<int32_t>(VmStringKeyHash(VmStringOf(&p->k[VmIndexK(GETARG_C(i))])));
    }
    if (op == OP_SETTABLE && stringConstant(GETARG_B(i)))
      e.x = static_cast<int32_t>(VmStringKeyHash(VmStringOf(&p->k[VmIndexK(GETARG_B(i))])));
    const bool beforeLoop = pc + 1 < n && GET_OPCODE(p->code[pc + 1]) == OP_FORLOOP;
    if (op == OP_SETTABLE && VmIsK(GETARG_B(i)) && !stringConstant(GETARG_B(i)))
      e.op = VM_XOP_SETTABLE_ANY;
    else if ((op == OP_ADD || op == OP_SUB) && beforeLoop)
      e.op = static_cast<uint8_t>((op == OP_ADD ? VM_XOP_ADDLOOP : VM_XOP_SUBLOOP) + variant);
    else
      e.op = static_cast<uint8_t>(op + variant * 64);
    switch (vmOpcodeFormats[op]) {
      case VM_FMT_ABC:
        break;
      case VM_FMT_ABx:
        e.x = GETARG_Bx(i);
        if (op == OP_LOADCONST || op == OP_GETGLOBAL || op == OP_SETGLOBAL)
          e.x = e.x * static_cast<int32_t>(slot) + static_cast<int32_t>(VM_EXEC_K);
        break;
      case VM_FMT_AsBx:
        e.x = GETARG_sBx(i);
        break;
      case VM_FMT_J:
        e.x = GETARG_sJ(i);
        e.a = static_cast<uint8_t>(GETARG_K(i));
        e.ra = 0;
        break;
    }
  }
  p->exec = code;
}

VmValue* VmExecute(VmState* L) {
#ifdef VM_JUMPTABLE
  // The variants of an opcode follow from the kinds of its B and C
  // fields: two RK operands give four (which of them are constants), a
  // register and an RK operand (GETTABLE, SELF) three (a register, a
  // constant or a string constant), anything else one. Row v of the
  // table holds variant v of every opcode.
#define VSEL(b, c, name, v) VSEL_##b##c(name, v)
#define VSEL_NN(name, v) VSEL_ONE_##v(name)
#define VSEL_RN(name, v) VSEL_ONE_##v(name)
#define VSEL_RR(name, v) VSEL_ONE_##v(name)
#define VSEL_RK(name, v) VSEL_RK_##v(name)
#define VSEL_KK(name, v) &&L_##name##_##v,
#define VSEL_ONE_0(name) &&L_##name,
#define VSEL_ONE_1(name) &&L_NOP,
#define VSEL_ONE_2(name) &&L_NOP,
#define VSEL_ONE_3(name) &&L_NOP,
#define VSEL_RK_0(name) &&L_##name##_0,
#define VSEL_RK_1(name) &&L_##name##_1,
#define VSEL_RK_2(name) &&L_##name##_2,
#define VSEL_RK_3(name) &&L_NOP,
#define VM_ROW0(name, fmt, a, b, c) VSEL(b, c, name, 0)
#define VM_ROW1(name, fmt, a, b, c) VSEL(b, c, name, 1)
#define VM_ROW2(name, fmt, a, b, c) VSEL(b, c, name, 2)
#define VM_ROW3(name, fmt, a, b, c) VSEL(b, c, name, 3)
#define VM_NOPS19 \
  &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, \
      &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP,
#define VM_NOPS10 \
  &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP,
  // Row 1 ends with the entries only decoded code has.
#define VM_DECODED_ONLY \
  &&L_SETTABLE_ANY, &&L_ADDLOOP_0, &&L_ADDLOOP_1, &&L_ADDLOOP_2, &&L_ADDLOOP_3, &&L_SUBLOOP_0, \
      &&L_SUBLOOP_1, &&L_SUBLOOP_2, &&L_SUBLOOP_3,
  // clang-format off
  static const void* const dispatchTable[256] = {
      VM_OPCODE_LIST(VM_ROW0) VM_NOPS19
      VM_OPCODE_LIST(VM_ROW1) VM_DECODED_ONLY VM_NOPS10
      VM_OPCODE_LIST(VM_ROW2) VM_NOPS19
      VM_OPCODE_LIST(VM_ROW3) VM_NOPS19};
  // clang-format on
  static_assert(VM_NUM_OPCODES + 19 == 64 && VM_XOP_SUBLOOP + 4 + 10 == 128);
#define vmdispatch(o) goto* dispatchTable[o];
#define vmcase(name) L_##name:
#define vmcasev(name, v) L_##name##_##v:
#define vmcasex(name) L_##name:
#define vmcasexv(name, v) L_##name##_##v:
#define vmdefault \
  L_NOP:
// The empty asm statement differs in every handler, which keeps the
// compiler from merging the handlers' dispatch jumps into one shared
// indirect jump that predicts badly.
#define vmbreak \
  vmfetch(); \
  __asm__ volatile("" : : "n"(__COUNTER__)); \
  vmdispatch(op);
#else
#define vmdispatch(o) switch (o)
#define vmcase(name) case OP_##name:
#define vmcasev(name, v) case OP_##name + (v)*64:
#define vmcasex(name) case VM_XOP_##name:
#define vmcasexv(name, v) case VM_XOP_##name + (v):
#define vmdefault default:
#define vmbreak break;
#endif

  const ptrdiff_t entry = VmSaveCi(L, L->ci);
  VmCallInfo* ci;
  // The running function's constants less VM_EXEC_K bytes, so that a
  // constant operand's offset (which carries VM_EXEC_K) addresses it. An
  // integer: the biased address is never formed as a pointer.
  uintptr_t kbase;
  VmValue* base;
  const VmExecInstr* pc;
  LineTrack track = {nullptr, nullptr};
  int trap;
  unsigned op;
  VmValue* ra;
  // The last result of ADD or SUB and the last counter of FORLOOP, for
  // heldNumber. g++ gives them a stack slot (they live across the many
  // calls of the loop), and a held value read from memory is the very
  // store-to-load round trip heldNumber avoids; so under g++ they have two
  // vector registers of their own. Calls may leave anything there: a held
  // value counts only when its bits equal the slot's, so a clobbered one
  // costs a load from the slot, never a wrong number.
#if defined(__x86_64__) && !defined(__clang__)
  register double heldArith asm("xmm14") = 0;
  register double heldCounter asm("xmm15") = 0;
#else
  double heldArith = 0;
  double heldCounter = 0;
#endif

// The running instruction (pc is already past it) and its operands.
// The running closure: in the slot below the frame's base.
#define CL() VmClosureOf(base - 1)
#define CUR (pc[-1])
#define REGAT(off) reinterpret_cast<VmValue*>(reinterpret_cast<char*>(base) + (off))
#define KAT(off) reinterpret_cast<const VmValue*>(kbase + (off))
#define RB() REGAT(CUR.rb)
#define RKB(KB) ((KB) ? KAT(CUR.rb) : REGAT(CUR.rb))
#define RKC(KC) ((KC) ? KAT(CUR.rc) : REGAT(CUR.rc))
// An RK operand whose kind is known only at run time.
#define RKG(off) (((off)&VM_EXEC_K) ? KAT(off) : REGAT(off))
#define KX() KAT(CUR.x)
#define SETK(kp) (kbase = reinterpret_cast<uintptr_t>(kp) - VM_EXEC_K)

// Saves the position before code that may raise, allocate, call or run a
// hook, and reloads what that code may have moved.
#define PROTECT(x) \
  { \
    ci->savedpc = pc; \
    x; \
    ci = L->ci; \
    base = L->base; \
    trap = computeTrap(L); \
  }
// Where a run can go on for long: notices a gate opened meanwhile.
#define vmcheckgate() \
  { \
    if (VM_UNLIKELY(gateOpen())) trap = computeTrap(L); \
  }
// Continues at the instruction after the JUMP at pc plus its distance.
#define DOJUMP() \
  { \
    int d_ = pc->x; \
    pc += d_ + 1; \
    if (d_ < 0) vmcheckgate(); \
  }

// With only line hooks on, the fetch first tests whether the instruction
// goes on forward within the line last traced (no hook due); only a new
// line or a backward jump take the slow path. Count hooks, the quit flag
// and an open gate take it at every instruction.
#define vmfetch() \
  { \
    if (VM_UNLIKELY(trap)) { \
      if (VM_LIKELY(trap == VM_MASK_LINE)) { \
        if (VM_LIKELY(pc > track.last && pc < track.end)) { \
          track.last = pc; \
        } else { \
          ci->savedpc = pc + 1; \
          lineStep(L, CL()->l.p, pc, &track); \
          vmafterhook(); \
        } \
      } else { \
        ci->savedpc = pc + 1; \
        if (vmRun.quit) return abandonFrames(L, entry); \
        traceExec(L, pc, &track); \
        vmafterhook(); \
      } \
    } \
    op = pc->op; \
    ra = REGAT(pc->ra); \
    pc++; \
  }
// Reloads what a hook may have moved and leaves when it asked to yield.
#define vmafterhook() \
  { \
    ci = L->ci; \
    base = L->base; \
    if (ci->state & VM_CI_YIELD) { \
      ci->state &= ~VM_CI_YIELD; \
      return abandonFrames(L, entry); \
    } \
    trap = computeTrap(L); \
  }

// Instantiates a handler body for each variant of an opcode.
#define VARIANTS2(name, BODY) vmcasev(name, 0) BODY(0) vmcasev(name, 1) BODY(1)
#define VARIANTS4(name, BODY) \
  vmcasev(name, 0) BODY(0, 0) vmcasev(name, 1) BODY(0, 1) vmcasev(name, 2) BODY(1, 0) \
      vmcasev(name, 3) BODY(1, 1)

callentry:  // a new script frame is on top of the call records
  track = {nullptr, nullptr};
  ci = L->ci;
  pc = ci->savedpc;
retentry:  // continue the frame on top (after a call returned into it)
  ci = L->ci;
  base = L->base;
  SETK(CL()->l.p->k);
  trap = computeTrap(L);

  for (;;) {
    vmfetch();
    vmdispatch(op) {
      vmcase(MOVE) {
        copyValue(ra, RB());
        vmbreak;
      }
      vmcase(LOADCONST) {
        copyValue(ra, KX());
        vmbreak;
      }
      vmcase(LOADNUM) {
        VmSetNumber(ra, CUR.rb);
        if (CUR.rc) pc++;
        vmbreak;
      }
      vmcase(LOADNIL) {
        VmValue* rb = RB();
        for (VmValue* o = ra; o <= rb; o++) VmSetNil(o);
        vmbreak;
      }
      vmcase(GETUPVAL) {
        copyValue(ra, CL()->l.upvals[CUR.rb]->v);
        vmbreak;
      }
      vmcase(GETGLOBAL) {
        const VmValue* key = KX();
        if (VM_LIKELY(CL()->l.g.tag == VM_TTABLE && key->tag == VM_TSTRING)) {
          const VmValue* v = VmTableGetStr(VmTableOf(&CL()->l.g), VmStringOf(key));
          if (v->tag != VM_TNIL) {
            copyValue(ra, v);
            vmbreak;
          }
        }
        VmValue g = CL()->l.g;
        PROTECT(VmGetTableValue(L, &g, key, ra, VM_MISSING_NIL));
        vmbreak;
      }
#define GETTABLE_BODY(KC) \
  { \
    const VmValue* rb = RB(); \
    const VmValue* rc = RKC(KC); \
    if (VM_LIKELY(rb->tag == VM_TTABLE)) { \
      VmTable* t = VmTableOf(rb); \
      const VmValue* v; \
      int n; \
      if (rc->tag == VM_TSTRING) { \
        v = VmTableGetStr(t, VmStringOf(rc)); \
      } else if (rc->tag == VM_TNUMBER && numberToInt(rc->value.n, &n)) { \
        v = VmTableGetNum(t, n); \
      } else { \
        v = VmTableGet(t, rc); \
      } \
      if (v->tag != VM_TNIL) { \
        copyValue(ra, v); \
        vmbreak; \
      } \
    } \
    PROTECT(VmGetTableValue(L, rb, rc, ra, VM_MISSING_ERROR)); \
    vmbreak; \
  }
      VARIANTS2(GETTABLE, GETTABLE_BODY)
      vmcasev(GETTABLE, 2) {
        const VmValue* rb = RB();
        const VmValue* rc = KAT(CUR.rc);
        if (VM_LIKELY(rb->tag == VM_TTABLE)) {
          const VmValue* v = VmTableGetStrHashed(VmTableOf(rb), VmStringOf(rc), CUR.x);
          if (v->tag != VM_TNIL) {
            copyValue(ra, v);
            vmbreak;
          }
        }
        PROTECT(VmGetTableValue(L, rb, rc, ra, VM_MISSING_ERROR));
        vmbreak;
      }
#undef GETTABLE_BODY
      vmcase(SETGLOBAL) {
        const VmValue* key = KX();
        if (VM_LIKELY(CL()->l.g.tag == VM_TTABLE && key->tag == VM_TSTRING)) {
          VmTable* g = VmTableOf(&CL()->l.g);
          const VmValue* v = VmTableGetStr(g, VmStringOf(key));
          if (v->tag != VM_TNIL) {
            *const_cast<VmValue*>(v) = *ra;
            g->flags = 0;
            vmbreak;
          }
        }
        VmValue g = CL()->l.g;
        PROTECT(VmSetTableValue(L, &g, key, ra));
        vmbreak;
      }
      vmcase(SETUPVAL) {
        *CL()->l.upvals[CUR.rb]->v = *ra;
        vmbreak;
      }
// SETTABLE with its key and value operands; STRKEY: the key is known to be
// a string.
#define SETTABLE_BODY(RBV, RCV, STRKEY) \
  { \
    const VmValue* rb = RBV; \
    const VmValue* rc = RCV; \
    if (VM_LIKELY(ra->tag == VM_TTABLE)) { \
      VmTable* t = VmTableOf(ra); \
      const VmValue* v; \
      int n; \
      if (STRKEY) \
        v = VmTableGetStrHashed(t, VmStringOf(rb), CUR.x); \
      else if (rb->tag == VM_TNUMBER && numberToInt(rb->value.n, &n)) \
        v = VmTableGetNum(t, n); \
      else \
        v = VmTableGet(t, rb); \
      if (v->tag != VM_TNIL) { \
        copyValue(const_cast<VmValue*>(v), rc); \
        if (STRKEY || rb->tag != VM_TNUMBER) t->flags = 0; \
        vmbreak; \
      } \
      /* A new key of a table whose metatable is known to have no    \
               __newindex: store it raw (a nil key means 0, a NaN key is   \
               refused, as in the general path). */ \
      const VmTable* mt = t->metatable; \
      if (mt == nullptr || (mt->flags & (1u << VM_TM_NEWINDEX))) { \
        VmValue val = *rc; \
        if (!(STRKEY) && rb->tag == VM_TNUMBER && numberToInt(rb->value.n, &n)) { \
          PROTECT(*VmTableSetNum(L, t, n) = val); \
        } else { \
          PROTECT(*VmTableSet(L, t, rb) = val); \
        } \
        vmbreak; \
      } \
    } \
    PROTECT(VmSetTableValue(L, ra, rb, rc)); \
    vmbreak; \
  }
      vmcasev(SETTABLE, 0) SETTABLE_BODY(REGAT(CUR.rb), REGAT(CUR.rc), false) vmcasev(SETTABLE, 1)
          SETTABLE_BODY(REGAT(CUR.rb), KAT(CUR.rc), false) vmcasev(SETTABLE, 2)
              SETTABLE_BODY(KAT(CUR.rb), REGAT(CUR.rc), true) vmcasev(SETTABLE, 3)
                  SETTABLE_BODY(KAT(CUR.rb), KAT(CUR.rc), true) vmcasex(SETTABLE_ANY)
                      SETTABLE_BODY(RKG(CUR.rb), RKG(CUR.rc), false)
#undef SETTABLE_BODY
                          vmcase(NEWTABLE) {
        PROTECT({
          int c = CUR.rc;
          if (c > VM_MAXBITS) VmRaiseError(L, ERR_TABLEOVERFLOW);
          VmTable* t = VmCreateTable(L, newTableArraySize(L, CUR.rb), c);
          VmSetTable(L->base + CUR.a, t);
          VmCheckGC(L);
        });
        vmbreak;
      }

// The counting loop's step: the counter goes on by the step and the jump
// back is taken while it has not passed the limit. The two directions
// continue on branches of their own, each predicted and laid out as the
// likely way (a select that joins them waits for both comparisons).
#define FORLOOP_BODY \
  { \
    if (VM_UNLIKELY(((ra[0].tag ^ VM_TNUMBER) | (ra[1].tag ^ VM_TNUMBER) | \
                     (ra[2].tag ^ VM_TNUMBER)) != 0)) \
      PROTECT(forLoopOperands(L, REGAT(CUR.ra))); \
    double step = ra[2].value.n; \
    double idx = heldNumber(&ra[0], heldCounter) + step; \
    double limit = ra[1].value.n; \
    if (step > 0) { \
      if (VM_LIKELY(idx <= limit)) FORLOOP_AGAIN \
    } else if (VM_LIKELY(idx >= limit)) { \
      FORLOOP_AGAIN \
    } \
    vmbreak; \
  }
#define FORLOOP_AGAIN \
  { \
    ra[0].value.n = idx; \
    heldCounter = idx; \
    pc += CUR.x; \
    vmcheckgate(); \
    vmbreak; \
  }
#define OP_ADD_EXPR +
#define OP_SUB_EXPR -
// A binary operator: FAST runs when both operands are numbers and leaves
// the handler when it has stored the result; everything else goes to
// VmArith.
#define NUMBER_BODY(name, KB, KC, FAST) \
  { \
    const VmValue* rb = RKB(KB); \
    const VmValue* rc = RKC(KC); \
    if (VM_LIKELY(bothNumbers(rb, rc))) FAST PROTECT(VmArith(L, ra, rb, rc, OP_##name)); \
    vmbreak; \
  }
// ADD and SUB carry running sums: their first operand is read through
// heldNumber.
#define SUM_FAST(name) \
  { \
    heldArith = heldNumber(rb, heldArith) OP_##name##_EXPR rc->value.n; \
    VmSetNumber(ra, heldArith); \
    vmbreak; \
  }
#define ADD_BODY(KB, KC) NUMBER_BODY(ADD, KB, KC, SUM_FAST(ADD))
#define SUB_BODY(KB, KC) NUMBER_BODY(SUB, KB, KC, SUM_FAST(SUB))
      VARIANTS4(ADD, ADD_BODY)
      VARIANTS4(SUB, SUB_BODY)
// ADDLOOP and SUBLOOP: the sum, then (while no hook or flag wants to see
// each instruction) the FORLOOP after it without a dispatch of its own.
#define SUMLOOP_BODY(name, KB, KC) \
  { \
    const VmValue* rb = RKB(KB); \
    const VmValue* rc = RKC(KC); \
    if (VM_LIKELY(bothNumbers(rb, rc))) { \
      heldArith = heldNumber(rb, heldArith) OP_##name##_EXPR rc->value.n; \
      VmSetNumber(ra, heldArith); \
    } else { \
      PROTECT(VmArith(L, ra, rb, rc, OP_##name)); \
    } \
    if (VM_UNLIKELY(trap)) { \
      vmbreak; \
    } \
    ra = REGAT(pc->ra); \
    pc++; \
    FORLOOP_BODY \
  }
#define VARIANTS4X(name, BODY) \
  vmcasexv(name, 0) BODY(0, 0) vmcasexv(name, 1) BODY(0, 1) vmcasexv(name, 2) BODY(1, 0) \
      vmcasexv(name, 3) BODY(1, 1)
#define ADDLOOP_BODY(KB, KC) SUMLOOP_BODY(ADD, KB, KC)
#define SUBLOOP_BODY(KB, KC) SUMLOOP_BODY(SUB, KB, KC)
      VARIANTS4X(ADDLOOP, ADDLOOP_BODY)
      VARIANTS4X(SUBLOOP, SUBLOOP_BODY)
#define MUL_BODY(KB, KC) \
  NUMBER_BODY(MUL, KB, KC, { \
    VmSetNumber(ra, rb->value.n * rc->value.n); \
    vmbreak; \
  })
// Division by zero is VmArith's (it has its own rules).
#define DIV_BODY(KB, KC) \
  NUMBER_BODY(DIV, KB, KC, { \
    if (rc->value.n != 0) { \
      VmSetNumber(ra, rb->value.n / rc->value.n); \
      vmbreak; \
    } \
  })
      VARIANTS4(MUL, MUL_BODY)
      VARIANTS4(DIV, DIV_BODY)

// Integer division, modulo and powers are VmArith's alone.
#define INTDIV_BODY(KB, KC) NUMBER_BODY(INTDIV, KB, KC, {})
#define MOD_BODY(KB, KC) NUMBER_BODY(MOD, KB, KC, {})
#define POW_BODY(KB, KC) NUMBER_BODY(POW, KB, KC, {})
      VARIANTS4(INTDIV, INTDIV_BODY)
      VARIANTS4(MOD, MOD_BODY)
      VARIANTS4(POW, POW_BODY)

// The bit operators: x is the first operand's bit pattern, y the second
// operand.
#define BIT_FAST(expr) \
  { \
    uint32_t x = VmBits(rb->value.n); \
    double y = rc->value.n; \
    (void)y; \
    VmSetNumber(ra, static_cast<double>(static_cast<uint32_t>(expr))); \
    vmbreak; \
  }
#define BITOP_BODY(name, expr, KB, KC) NUMBER_BODY(name, KB, KC, BIT_FAST(expr))
#define SHL_BODY(KB, KC) BITOP_BODY(SHL, x << (VmTruncInt32(y) & 31), KB, KC)
#define SHR_BODY(KB, KC) BITOP_BODY(SHR, x >> (VmTruncInt32(y) & 31), KB, KC)
#define BITOR_BODY(KB, KC) BITOP_BODY(BITOR, x | VmBits(y), KB, KC)
#define BITAND_BODY(KB, KC) BITOP_BODY(BITAND, x& VmBits(y), KB, KC)
#define BITXOR_BODY(KB, KC) BITOP_BODY(BITXOR, x ^ VmBits(y), KB, KC)
      VARIANTS4(SHL, SHL_BODY)
      VARIANTS4(SHR, SHR_BODY)
      VARIANTS4(BITOR, BITOR_BODY)
      VARIANTS4(BITAND, BITAND_BODY)
      VARIANTS4(BITXOR, BITXOR_BODY)

      vmcase(NEG) {
        const VmValue* rb = RB();
        if (VM_LIKELY(rb->tag == VM_TNUMBER)) {
          VmSetNumber(ra, -rb->value.n);
          vmbreak;
        }
        PROTECT(VmArith(L, ra, rb, rb, OP_NEG));
        vmbreak;
      }
      vmcase(NOT) {
        VmSetNumber(ra, VmIsFalse(RB()) ? 1 : 0);
        vmbreak;
      }
      vmcase(BITNOT) {
        const VmValue* rb = RB();
        if (VM_LIKELY(rb->tag == VM_TNUMBER)) {
          VmSetNumber(ra, static_cast<double>(~VmBits(rb->value.n)));
          vmbreak;
        }
        PROTECT(VmArith(L, ra, rb, rb, OP_BITNOT));
        vmbreak;
      }
      vmcase(CONCAT) {
        int b = CUR.rb / static_cast<int>(sizeof(VmValue));
        int c = CUR.rc / static_cast<int>(sizeof(VmValue));
        PROTECT({
          VmConcatValues(L, c - b + 1, c);
          L->base[CUR.a] = L->base[b];
          VmCheckGC(L);
        });
        vmbreak;
      }
      vmcase(JUMP) {
        if (CUR.a == VM_JUMP_GOSUB) {
          if (vmGosub.count >= VM_GOSUB_MAX) PROTECT(VmRaiseError(L, ERR_INTERNAL));
          VmGosubEntry& e = vmGosub.entries[vmGosub.count++];
          e.func = CL();
          e.level = static_cast<int32_t>(VmSaveCi(L, ci));
          e.pc = static_cast<int32_t>(pc - CL()->l.p->exec);
        }
        int d = CUR.x;
        pc += d;
        if (d < 0) vmcheckgate();
        vmbreak;
      }
// A comparison: skips the JUMP that follows when the result differs from
// A, else takes it.
#define COMPARE_BODY(fast, slow, KB, KC) \
  { \
    const VmValue* rb = RKB(KB); \
    const VmValue* rc = RKC(KC); \
    bool res; \
    if (VM_LIKELY(bothNumbers(rb, rc))) \
      res = rb->value.n fast rc->value.n; \
    else \
      PROTECT(res = slow); \
    if (static_cast<int>(res) != CUR.a) \
      pc++; \
    else \
      DOJUMP(); \
    vmbreak; \
  }
#define EQ_BODY(KB, KC) COMPARE_BODY(==, VmEqualValues(L, rb, rc), KB, KC)
#define LT_BODY(KB, KC) COMPARE_BODY(<, VmLessThanValues(L, rb, rc, true), KB, KC)
#define LE_BODY(KB, KC) COMPARE_BODY(<=, VmLessEqualValues(L, rb, rc), KB, KC)
      VARIANTS4(EQ, EQ_BODY)
      VARIANTS4(LT, LT_BODY)
      VARIANTS4(LE, LE_BODY)
      vmcase(TESTSET) {
        const VmValue* rb = RB();
        if (static_cast<int>(VmIsFalse(rb)) == CUR.rc) {
          pc++;
        } else {
          copyValue(ra, rb);
          DOJUMP();
        }
        vmbreak;
      }
      vmcase(TAILCALL) vmcase(TAILCALLCATCH) {
        int b = CUR.rb;
        if (b != 0) L->top = ra + b;
        ci->savedpc = pc;
        goto callslow;
      }
      vmcase(CALL) vmcase(CALLCATCH) {
        int b = CUR.rb;
        if (b != 0) L->top = ra + b;
        ci->savedpc = pc;
        // Script callee with fixed parameters, its code decoded, room
        // on the stack and for a call record, no call hook: enter its
        // frame here. Everything else takes the general path.
        if (VM_LIKELY(ra->tag == VM_TFUNCTION && !VmClosureOf(ra)->isC &&
                      !(L->hookmask & VM_MASK_CALL))) {
          VmClosure* ncl = VmClosureOf(ra);
          VmPrototype* p = ncl->l.p;
          VmCallInfo* nci = ci + 1;  // ci is L->ci
          // The stack test in addresses, so that no pointer past
          // the stack is formed.
          uintptr_t need =
              reinterpret_cast<uintptr_t>(ra) + (p->maxstacksize + 1u) * sizeof(VmValue);
          if (!p->is_vararg && p->exec != nullptr &&
              need < reinterpret_cast<uintptr_t>(L->stack_last) && nci < L->end_ci) {
            VmValue* nbase = ra + 1;
            VmValue* ntop = nbase + p->maxstacksize;
            VmValue* top = L->top;
            if (top > nbase + p->numparams) top = nbase + p->numparams;
            ci->state |= VM_CI_CALLING;
            L->ci = nci;
            L->base = nbase;
            nci->base = nbase;
            nci->top = ntop;
            nci->savedpc = p->exec;
            nci->tailcalls = 0;
            nci->state = VM_CI_SAVEDPC;
            for (; top < ntop; top++) top->tag = VM_TNIL;  // a nil's payload is never read
            L->top = ntop;
            // Run on in the callee: nothing the trap word
            // depends on has changed.
            ci = nci;
            base = nbase;
            SETK(p->k);
            pc = p->exec;
            track = {nullptr, nullptr};
            vmcheckgate();
            vmbreak;
          }
        }
        goto callslow;
      }
    callslow : {
      // The general call: commands, callees that need a prepared
      // frame, tail calls, call hooks. ra, L->top and savedpc are
      // set.
      const bool capture = op == OP_CALLCATCH || op == OP_TAILCALLCATCH;
      const bool tail = op == OP_TAILCALL || op == OP_TAILCALLCATCH;
      const int nresults = CUR.rc - 1;
      // Commands (and only they) may read the position of the
      // CALL, to place a label subroutine.
      vmGosub.callPosition = static_cast<int>(pc - CL()->l.p->exec);
      ErrorCode err = 0;
      VmValue* first = nullptr;
      VmCallOutcome outcome = VmPrepareCall(L, ra, &err, capture, &first);
      if (outcome == VM_CALLED_SCRIPT) {
        if (!tail) {
          (L->ci - 1)->state |= VM_CI_CALLING;
          goto callentry;
        }
        // Tail call: the new frame takes the place of this one.
        VmCallInfo* prev = L->ci - 1;
        VmValue* func = prev->base - 1;
        VmValue* pfunc = L->ci->base - 1;
        if (L->openupval != nullptr) VmCloseUpvalues(L, prev->base);
        int aux = 0;
        for (; pfunc + aux < L->top; aux++) func[aux] = pfunc[aux];
        L->top = func + aux;
        prev->top = L->top;
        prev->base = func + 1;
        prev->savedpc = L->ci->savedpc;
        prev->tailcalls++;
        prev->state = VM_CI_SAVEDPC;
        L->ci = prev;
        L->base = prev->base;
        goto callentry;
      }
      // A built-in command ran and its call record is still on, so
      // this frame's record is the one below it (reloaded: the
      // record array may have moved). savedpc was saved above.
      ci = L->ci - 1;
      if (err != 0) {
        RaiseCommandError(L, err);
        first = L->top;
      }
      {
        const int callPos = vmGosub.callPosition;
        const int distance = vmGosub.jumpDistance;
        VmPostCall(L, outcome == VM_CALLED_BUILTIN ? nresults : 0, first);
        ci = L->ci;
        base = L->base;
        trap = computeTrap(L);
        if (outcome != VM_CALLED_BUILTIN) {
          const VmPrototype* p = CL()->l.p;
          int ret = outcome == VM_CALLED_LABEL_NEXT ? callPos : callPos - 2;
          int target = callPos + distance;
          if (ret < 0 || target < 0 || target >= p->sizecode) PROTECT(badCode(L));
          if (vmGosub.count >= VM_GOSUB_MAX) PROTECT(VmRaiseError(L, ERR_INTERNAL));
          VmGosubEntry& e = vmGosub.entries[vmGosub.count++];
          e.func = CL();
          e.level = static_cast<int32_t>(VmSaveCi(L, ci));
          e.pc = ret;
          pc = p->exec + target;
          L->top = ci->top;
        } else if (nresults >= 0) {
          L->top = ci->top;
        }
      }
      vmbreak;
    }
      vmcase(RETURN) {
        if (CUR.rc == 1) {
          // Return from a label subroutine: only to a position
          // pushed by this very frame.
          const VmPrototype* p = CL()->l.p;
          int level = static_cast<int>(VmSaveCi(L, ci));
          if (vmGosub.count == 0) PROTECT(VmRaiseError(L, ERR_RETWOGOSUB));
          const VmGosubEntry& e = vmGosub.entries[vmGosub.count - 1];
          if (e.func != CL() || e.level != level) PROTECT(VmRaiseError(L, ERR_RETWOGOSUB));
          if (e.pc < 0 || e.pc >= p->sizecode) PROTECT(badCode(L));
          vmGosub.count--;
          pc = p->exec + e.pc;
          vmbreak;
        }
        int b = CUR.rb;
        if (b != 0) L->top = ra + b - 1;
        if (hasOpenUpvalues(L, base)) VmCloseUpvalues(L, base);
        ci->savedpc = pc;
        ci->state = VM_CI_SAVEDPC;
        VmCallInfo* caller = L->ci - 1;
        if (!(caller->state & VM_CI_CALLING) || L->ci == VmRestoreCi(L, entry)) return ra;
        // The caller runs in this loop: finish its CALL here.
        int nresults = (caller->savedpc - 1)->rc - 1;
        if (VM_UNLIKELY(L->hookmask & VM_MASK_RETURN)) {
          VmPostCall(L, nresults, ra);
          ci = L->ci;
          ci->state &= ~VM_CI_CALLING;
          if (nresults >= 0) L->top = ci->top;
          pc = ci->savedpc;
          track = {pc - 1, nullptr};
          goto retentry;
        }
        postCallFast(L, nresults, ra);
        ci = caller;
        ci->state &= ~VM_CI_CALLING;
        if (nresults >= 0) L->top = ci->top;
        pc = ci->savedpc;
        track.last = pc - 1;
        base = ci->base;
        SETK(CL()->l.p->k);
        track.end = nullptr;
        if (VM_UNLIKELY(trap)) {
          // Back in the caller's line of the CALL: the run of
          // that line is known when the line hook has built it.
          const VmPrototype* p = CL()->l.p;
          if (p->lineends != nullptr) track.end = p->exec + p->lineends[track.last - p->exec];
        }
        vmbreak;
      }
      vmcase(FORLOOP) FORLOOP_BODY vmcase(ITERLOOP) {
        int n = CUR.rc + 1;
        int a = CUR.a;
        VmValue* cb = ra + n + 2;
        // The call's n results land at cb before they move down.
        if (cb + (n > 3 ? n : 3) > ci->top) PROTECT(badCode(L));
        cb[0] = ra[0];
        cb[1] = ra[1];
        cb[2] = ra[2];
        L->top = cb + 3;
        PROTECT({
          ErrorCode err = VmCallValue(L, cb, n);
          if (err != 0) RaiseCommandError(L, err);
        });
        L->top = ci->top;
        ra = base + a;
        cb = ra + n + 2;
        for (int j = 0; j < n; j++) ra[2 + j] = cb[j];
        if (ra[2].tag == VM_TNIL)
          pc++;
        else
          DOJUMP();
        vmbreak;
      }
      vmcase(ITERPREP) {
        if (ra->tag == VM_TTABLE) {
          ra[1] = ra[0];
          PROTECT({
            VmString* name = VmNewString(L, "next", 4);
            VmValue* r = L->base + CUR.a;
            if (L->gt.tag == VM_TTABLE)
              *r = *VmTableGetStr(VmTableOf(&L->gt), name);
            else
              VmSetNil(r);
          });
        }
        pc += CUR.x;
        vmbreak;
      }
      vmcase(SETLIST) vmcase(SETLISTTOP) {
        int bx = CUR.x;
        int n = op == OP_SETLIST ? (bx & 31) + 1 : static_cast<int>(L->top - ra) - 1;
        if (ra->tag != VM_TTABLE) PROTECT(badCode(L));
        PROTECT({
          const int a = CUR.a;
          VmTable* t = VmTableOf(L->base + a);
          int first = bx & ~31;
          if (first == 0 && VmTableSetNewList(L, t, L->base + a + 1, n)) n = 0;
          for (int j = 1; j <= n; j++) {
            VmValue v = L->base[a + j];
            *VmTableSetNum(L, t, first + j - 1) = v;
          }
        });
        L->top = ci->top;
        vmbreak;
      }
      vmcase(CLOSE) {
        VmCloseUpvalues(L, ra);
        vmbreak;
      }
      vmcase(CLOSURE) {
        VmClosure* cl = CL();
        VmPrototype* p = cl->l.p->p[CUR.x];
        const int a = CUR.a;
        int nup = p->nups;
        PROTECT({
          VmClosure* ncl = VmNewScriptClosure(L, nup, &cl->l.g);
          ncl->l.p = p;
          for (int j = 0; j < nup; j++, pc++) {
            if (GET_OPCODE(pc->i) == OP_GETUPVAL)
              ncl->l.upvals[j] = cl->l.upvals[GETARG_B(pc->i)];
            else
              ncl->l.upvals[j] = VmFindUpvalue(L, L->base + GETARG_B(pc->i));
          }
          VmSetClosure(L->base + a, ncl);
          ci->savedpc = pc;
          VmCheckGC(L);
        });
        vmbreak;
      }
#define SELF_BODY(KC) \
  { \
    const VmValue* rc = RKC(KC); \
    if (rc->tag != VM_TSTRING) PROTECT(badCode(L)); \
    VmValue obj = *RB(); \
    copyValue(ra + 1, &obj); \
    if (VM_LIKELY(obj.tag == VM_TTABLE)) { \
      const VmValue* v = VmTableGetStr(VmTableOf(&obj), VmStringOf(rc)); \
      if (v->tag != VM_TNIL) { \
        copyValue(ra, v); \
        vmbreak; \
      } \
    } \
    PROTECT(VmGetTableValue(L, ra + 1, rc, ra, VM_MISSING_NIL)); \
    vmbreak; \
  }
      VARIANTS2(SELF, SELF_BODY)
      vmcasev(SELF, 2) {
        const VmValue* rc = KAT(CUR.rc);
        VmValue obj = *RB();
        copyValue(ra + 1, &obj);
        if (VM_LIKELY(obj.tag == VM_TTABLE)) {
          const VmValue* v = VmTableGetStrHashed(VmTableOf(&obj), VmStringOf(rc), CUR.x);
          if (v->tag != VM_TNIL) {
            copyValue(ra, v);
            vmbreak;
          }
        }
        PROTECT(VmGetTableValue(L, ra + 1, rc, ra, VM_MISSING_NIL));
        vmbreak;
      }
#undef SELF_BODY
      vmdefault { vmbreak; }
    }
  }
}
