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
#include <cstring>

#include "engine/vmcore.h"

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
inline int gateOpen()
{
    return vmEventPollGate.load(std::memory_order_relaxed);
}

inline int computeTrap(VmState *L)
{
    int mask = L->hookmask;
    int gate = 0;
    if (L->hookgated) {
        mask &= ~VM_MASK_LINE;
        gate = gateOpen() ? VM_TRAP_GATE : 0;
    }
    return (mask & (VM_MASK_LINE | VM_MASK_COUNT)) | (vmRun.quit != 0) | gate;
}

inline bool isFalse(const VmValue *o)
{
    switch (o->tag) {
    case VM_TNIL: return true;
    case VM_TBOOLEAN: return o->value.b == 0;
    case VM_TNUMBER: return o->value.n == 0;
    case VM_TSTRING: return VmStringOf(o)->len == 0;
    default: return false;
    }
}

// True when d is an integer that fits an int (the array-part fast path).
inline bool numberToInt(double d, int *out)
{
    if (!(d >= -2147483648.0 && d < 2147483648.0))
        return false;
    int n = static_cast<int>(d);
    *out = n;
    return static_cast<double>(n) == d;
}

inline int lineOf(const VmPrototype *p, int pc)
{
    return (pc >= 0 && pc < p->sizelineinfo) ? p->lineinfo[pc] : -1;
}

// What the line hook tracks in a frame: the last traced instruction (null
// at frame entry) and, while only line hooks are on, the end of its run of
// instructions on one line (null: unknown), so that the fetch can pass
// over the rest of the run without coming to lineStep. The loop keeps it
// in memory: its registers are better spent on the unhooked path.
struct LineTrack {
    const Instruction *last;
    const Instruction *end;
};

// Line and count hooks before the instruction at pc while count hooks are
// on, the quit flag is set (every instruction comes here) or a gated hook's
// gate has opened (it closes again before the hook runs, so an arming
// during the hook is kept for the next instruction).
[[gnu::noinline]] void traceExec(VmState *L, const Instruction *pc, LineTrack *track)
{
    int mask = L->hookmask;
    track->end = nullptr;
    if (L->hookgated) {
        if (vmEventPollGate.exchange(0, std::memory_order_relaxed) != 0) {
            const VmPrototype *p = VmCiFunc(L->ci)->l.p;
            VmCallHook(L, VM_HOOK_LINE, lineOf(p, static_cast<int>(pc - p->code)));
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
    if (!(mask & VM_MASK_LINE))
        return;
    const VmPrototype *p = VmCiFunc(L->ci)->l.p;
    int npc = static_cast<int>(pc - p->code);
    int newline = lineOf(p, npc);
    const Instruction *last = track->last;
    track->last = pc;
    if (last == nullptr || pc <= last || newline != lineOf(p, static_cast<int>(last - p->code)))
        VmCallHook(L, VM_HOOK_LINE, newline);
}

// The line hook before the instruction at pc while only line hooks are on,
// when the fetch could not tell that pc goes on forward within the traced
// line: calls the hook for a new line or a backward jump, and tracks pc's
// run (left unknown when the runs could not be built: then every
// instruction comes here).
[[gnu::noinline]] void lineStep(VmState *L, VmPrototype *p, const Instruction *pc, LineTrack *track)
{
    int npc = static_cast<int>(pc - p->code);
    const int32_t *ends = p->lineends != nullptr ? p->lineends : VmLineEnds(L, p);
    const Instruction *last = track->last;
    track->last = pc;
    track->end = ends != nullptr ? p->code + ends[npc] : nullptr;
    int newline = lineOf(p, npc);
    if (last == nullptr || pc <= last || newline != lineOf(p, static_cast<int>(last - p->code)))
        VmCallHook(L, VM_HOOK_LINE, newline);
}

// Frames entered by this loop invocation are abandoned when the quit flag
// stops the run: their upvalues are closed and the entry record is left as
// if its function had returned nothing.
VmValue *abandonFrames(VmState *L, ptrdiff_t entry)
{
    VmCallInfo *ci = VmRestoreCi(L, entry);
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
inline void copyValue(VmValue *dst, const VmValue *src)
{
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
inline double heldNumber(const VmValue *o, double held)
{
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
inline bool bothNumbers(const VmValue *a, const VmValue *b)
{
    return ((a->tag ^ VM_TNUMBER) | (b->tag ^ VM_TNUMBER)) == 0;
}

// Whether an open upvalue refers to a slot at or above level (the list is
// ordered by slot, highest first).
inline bool hasOpenUpvalues(const VmState *L, const VmValue *level)
{
    return L->openupval != nullptr && static_cast<const VmUpvalue *>(L->openupval)->v >= level;
}

// VmPostCall without the return hook: the results of the frame on top move
// to its function slot, padded with nil to `wanted` (-1: all).
inline void postCallFast(VmState *L, int wanted, VmValue *first)
{
    VmCallInfo *ci = L->ci;
    if (vmGosub.count > 0) {
        int32_t level = static_cast<int32_t>(ci - L->base_ci);
        while (vmGosub.count > 0 && vmGosub.entries[vmGosub.count - 1].level >= level)
            vmGosub.count--;
    }
    VmValue *res = ci->base - 1;
    VmValue *top = L->top;
    L->ci = ci - 1;
    L->base = ci[-1].base;
    while (wanted != 0 && first < top) {
        copyValue(res++, first++);
        wanted--;
    }
    while (wanted-- > 0)
        VmSetNil(res++);
    L->top = res;
}

// The counting loop's operands when they are not all numbers: the counter
// must be one, the limit and step are converted in place; else 1024.
[[gnu::noinline]] void forLoopOperands(VmState *L, VmValue *ra)
{
    double limit, step;
    if (ra[0].tag != VM_TNUMBER || !VmToNumberValue(&ra[1], &limit) || !VmToNumberValue(&ra[2], &step))
        VmRaiseError(L, ERR_VALUEEXPECTED);
    VmSetNumber(&ra[1], limit);
    VmSetNumber(&ra[2], step);
}

[[noreturn]] void badCode(VmState *L)
{
    VmRaiseError(L, ERR_BADBYTECODE);
}

// The array part of NEWTABLE: (B & 7) << (B >> 3) slots, refused (1207)
// when it would not fit the largest array part.
int newTableArraySize(VmState *L, int b)
{
    int shift = b >> 3;
    int64_t n = shift < 40 ? static_cast<int64_t>(b & 7) << shift : (b & 7) ? INT64_MAX : 0;
    if (n > VM_MAXASIZE)
        VmRaiseError(L, ERR_TABLEOVERFLOW);
    return static_cast<int>(n);
}

}  // namespace

VmValue *VmExecute(VmState *L)
{
#ifdef VM_JUMPTABLE
    static const void *const dispatchTable[64] = {
#define VM_OPCODE_LABEL(name, fmt) &&L_##name,
        VM_OPCODE_LIST(VM_OPCODE_LABEL)
#undef VM_OPCODE_LABEL
        &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP,
        &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP, &&L_NOP,
    };
#define vmdispatch(o) goto *dispatchTable[o];
#define vmcase(name) L_##name:
#define vmdefault L_NOP:
// The empty asm statement differs in every handler, which keeps the
// compiler from merging the handlers' dispatch jumps into one shared
// indirect jump that predicts badly.
#define vmbreak vmfetch(); __asm__ volatile("" : : "n"(__COUNTER__)); vmdispatch(GET_OPCODE(i));
#else
#define vmdispatch(o) switch (o)
#define vmcase(name) case OP_##name:
#define vmdefault default:
#define vmbreak break;
#endif

    const ptrdiff_t entry = VmSaveCi(L, L->ci);
    VmCallInfo *ci;
    VmClosure *cl;
    // The constants' address less VM_RK_CONST slots, as an integer, so that
    // an RK operand is one selected base plus the operand: registers count
    // from base, constants from kbias (no out-of-range pointer is formed).
    uintptr_t kbias;
    VmValue *base;
    const Instruction *pc;
    LineTrack track = {nullptr, nullptr};
    int trap;
    Instruction i;
    VmValue *ra;
    // The last result of ADD or SUB and the last counter of FORLOOP, for
    // heldNumber.
    double heldArith = 0;
    double heldCounter = 0;

#define RA(i) (base + GETARG_A(i))
#define RB(i) (base + GETARG_B(i))
#define RC(i) (base + GETARG_C(i))
#define SETK(kp) (kbias = reinterpret_cast<uintptr_t>(kp) - VM_RK_CONST * sizeof(VmValue))
#define RKX(x)                                                                          \
    reinterpret_cast<const VmValue *>((VmIsK(x) ? kbias : reinterpret_cast<uintptr_t>(base)) + \
                                      static_cast<uintptr_t>(x) * sizeof(VmValue))
#define RKB(i) RKX(GETARG_B(i))
#define RKC(i) RKX(GETARG_C(i))
#define KBx(i) RKX(GETARG_Bx(i) + VM_RK_CONST)

// Saves the position before code that may raise, allocate, call or run a
// hook, and reloads what that code may have moved.
#define PROTECT(x)                 \
    {                              \
        ci->savedpc = pc;          \
        x;                         \
        ci = L->ci;                \
        base = L->base;            \
        trap = computeTrap(L);     \
    }
// Where a run can go on for long: notices a gate opened meanwhile.
#define vmcheckgate()                        \
    {                                        \
        if (VM_UNLIKELY(gateOpen()))         \
            trap = computeTrap(L);           \
    }

// Continues at the instruction after the JUMP at pc plus its distance.
#define DOJUMP()                          \
    {                                     \
        int d_ = GETARG_sJ(*pc);          \
        pc += d_ + 1;                     \
        if (d_ < 0)                       \
            vmcheckgate();                \
    }

// With only line hooks on, the fetch first tests whether the instruction
// goes on forward within the line last traced (no hook due); only a new
// line or a backward jump take the slow path. Count hooks and the quit
// flag take it at every instruction.
#define vmfetch()                                                     \
    {                                                                 \
        if (VM_UNLIKELY(trap)) {                                      \
            if (VM_LIKELY(trap == VM_MASK_LINE)) {                    \
                if (VM_LIKELY(pc > track.last && pc < track.end)) {   \
                    track.last = pc;                                  \
                } else {                                              \
                    ci->savedpc = pc + 1;                             \
                    lineStep(L, cl->l.p, pc, &track);                 \
                    vmafterhook();                                    \
                }                                                     \
            } else {                                                  \
                ci->savedpc = pc + 1;                                 \
                if (vmRun.quit)                                       \
                    return abandonFrames(L, entry);                   \
                traceExec(L, pc, &track);                             \
                vmafterhook();                                        \
            }                                                         \
        }                                                             \
        i = *pc++;                                                    \
        ra = RA(i);                                                   \
    }
// Reloads what a hook may have moved and leaves when it asked to yield.
#define vmafterhook()                                 \
    {                                                 \
        ci = L->ci;                                   \
        base = L->base;                               \
        if (ci->state & VM_CI_YIELD) {                \
            ci->state &= ~VM_CI_YIELD;                \
            return abandonFrames(L, entry);           \
        }                                             \
        trap = computeTrap(L);                        \
    }

callentry:  // a new script frame is on top of the call records
    track = {nullptr, nullptr};
    ci = L->ci;
    pc = ci->savedpc;
retentry:  // continue the frame on top (after a call returned into it)
    ci = L->ci;
    base = L->base;
    cl = VmCiFunc(ci);
    SETK(cl->l.p->k);
    trap = computeTrap(L);

    for (;;) {
        vmfetch();
        vmdispatch(GET_OPCODE(i))
        {
            vmcase(MOVE)
            {
                copyValue(ra, RB(i));
                vmbreak;
            }
            vmcase(LOADCONST)
            {
                copyValue(ra, KBx(i));
                vmbreak;
            }
            vmcase(LOADNUM)
            {
                VmSetNumber(ra, GETARG_B(i));
                if (GETARG_C(i))
                    pc++;
                vmbreak;
            }
            vmcase(LOADNIL)
            {
                VmValue *rb = RB(i);
                for (VmValue *o = ra; o <= rb; o++)
                    VmSetNil(o);
                vmbreak;
            }
            vmcase(GETUPVAL)
            {
                copyValue(ra, cl->l.upvals[GETARG_B(i)]->v);
                vmbreak;
            }
            vmcase(GETGLOBAL)
            {
                const VmValue *key = KBx(i);
                if (VM_LIKELY(cl->l.g.tag == VM_TTABLE && key->tag == VM_TSTRING)) {
                    const VmValue *v = VmTableGetStr(VmTableOf(&cl->l.g), VmStringOf(key));
                    if (v->tag != VM_TNIL) {
                        copyValue(ra, v);
                        vmbreak;
                    }
                }
                VmValue g = cl->l.g;
                PROTECT(VmGetTableValue(L, &g, key, ra, VM_MISSING_NIL));
                vmbreak;
            }
            vmcase(GETTABLE)
            {
                const VmValue *rb = RB(i);
                const VmValue *rc = RKC(i);
                if (VM_LIKELY(rb->tag == VM_TTABLE)) {
                    VmTable *t = VmTableOf(rb);
                    const VmValue *v;
                    int n;
                    if (rc->tag == VM_TSTRING) {
                        v = VmTableGetStr(t, VmStringOf(rc));
                    } else if (rc->tag == VM_TNUMBER && numberToInt(rc->value.n, &n)) {
                        v = VmTableGetNum(t, n);
                    } else {
                        v = VmTableGet(t, rc);
                    }
                    if (v->tag != VM_TNIL) {
                        copyValue(ra, v);
                        vmbreak;
                    }
                }
                PROTECT(VmGetTableValue(L, rb, rc, ra, VM_MISSING_ERROR));
                vmbreak;
            }
            vmcase(SETGLOBAL)
            {
                const VmValue *key = KBx(i);
                if (VM_LIKELY(cl->l.g.tag == VM_TTABLE && key->tag == VM_TSTRING)) {
                    VmTable *g = VmTableOf(&cl->l.g);
                    const VmValue *v = VmTableGetStr(g, VmStringOf(key));
                    if (v->tag != VM_TNIL) {
                        *const_cast<VmValue *>(v) = *ra;
                        g->flags = 0;
                        vmbreak;
                    }
                }
                VmValue g = cl->l.g;
                PROTECT(VmSetTableValue(L, &g, key, ra));
                vmbreak;
            }
            vmcase(SETUPVAL)
            {
                *cl->l.upvals[GETARG_B(i)]->v = *ra;
                vmbreak;
            }
            vmcase(SETTABLE)
            {
                const VmValue *rb = RKB(i);
                const VmValue *rc = RKC(i);
                if (VM_LIKELY(ra->tag == VM_TTABLE)) {
                    VmTable *t = VmTableOf(ra);
                    const VmValue *v;
                    int n;
                    if (rb->tag == VM_TNUMBER && numberToInt(rb->value.n, &n))
                        v = VmTableGetNum(t, n);
                    else
                        v = VmTableGet(t, rb);
                    if (v->tag != VM_TNIL) {
                        copyValue(const_cast<VmValue *>(v), rc);
                        if (rb->tag != VM_TNUMBER)
                            t->flags = 0;
                        vmbreak;
                    }
                    // A new key of a table whose metatable is known to have
                    // no __newindex: store it raw (a nil key means 0, a NaN
                    // key is refused, as in the general path).
                    const VmTable *mt = t->metatable;
                    if (mt == nullptr || (mt->flags & (1u << VM_TM_NEWINDEX))) {
                        VmValue val = *rc;
                        if (rb->tag == VM_TNUMBER && numberToInt(rb->value.n, &n)) {
                            PROTECT(*VmTableSetNum(L, t, n) = val);
                        } else {
                            PROTECT(*VmTableSet(L, t, rb) = val);
                        }
                        vmbreak;
                    }
                }
                PROTECT(VmSetTableValue(L, ra, rb, rc));
                vmbreak;
            }
            vmcase(NEWTABLE)
            {
                PROTECT({
                    int c = GETARG_C(i);
                    if (c > VM_MAXBITS)
                        VmRaiseError(L, ERR_TABLEOVERFLOW);
                    VmTable *t = VmCreateTable(L, newTableArraySize(L, GETARG_B(i)), c);
                    VmSetTable(L->base + GETARG_A(i), t);
                    VmCheckGC(L);
                });
                vmbreak;
            }

#define ARITH_CASE(name, fast)                                             \
    vmcase(name)                                                           \
    {                                                                      \
        const VmValue *rb = RKB(i);                                        \
        const VmValue *rc = RKC(i);                                        \
        if (VM_LIKELY(bothNumbers(rb, rc))) {                              \
            double nb = rb->value.n, nc = rc->value.n;                     \
            if (fast) {                                                    \
                VmSetNumber(ra, nb OP_##name##_EXPR nc);                   \
                vmbreak;                                                   \
            }                                                              \
        }                                                                  \
        PROTECT(VmArith(L, ra, rb, rc, OP_##name));                        \
        vmbreak;                                                           \
    }
// ADD and SUB carry running sums: their first operand is read through
// heldNumber.
#define SUM_CASE(name)                                                     \
    vmcase(name)                                                           \
    {                                                                      \
        const VmValue *rb = RKB(i);                                        \
        const VmValue *rc = RKC(i);                                        \
        if (VM_LIKELY(bothNumbers(rb, rc))) {                              \
            double nb = heldNumber(rb, heldArith);                         \
            heldArith = nb OP_##name##_EXPR rc->value.n;                   \
            VmSetNumber(ra, heldArith);                                    \
            vmbreak;                                                       \
        }                                                                  \
        PROTECT(VmArith(L, ra, rb, rc, OP_##name));                        \
        vmbreak;                                                           \
    }
#define OP_ADD_EXPR +
#define OP_SUB_EXPR -
#define OP_MUL_EXPR *
#define OP_DIV_EXPR /
            SUM_CASE(ADD)
            SUM_CASE(SUB)
            ARITH_CASE(MUL, true)
            ARITH_CASE(DIV, nc != 0)
#undef ARITH_CASE
#undef SUM_CASE

#define NUMOP_CASE(name)                                                   \
    vmcase(name)                                                           \
    {                                                                      \
        const VmValue *rb = RKB(i);                                        \
        const VmValue *rc = RKC(i);                                        \
        PROTECT(VmArith(L, ra, rb, rc, OP_##name));                        \
        vmbreak;                                                           \
    }
            NUMOP_CASE(INTDIV)
            NUMOP_CASE(MOD)
            NUMOP_CASE(POW)
#undef NUMOP_CASE

#define BITOP_CASE(name, expr)                                             \
    vmcase(name)                                                           \
    {                                                                      \
        const VmValue *rb = RKB(i);                                        \
        const VmValue *rc = RKC(i);                                        \
        if (VM_LIKELY(bothNumbers(rb, rc))) {   \
            uint32_t x = VmBits(rb->value.n);                              \
            double y = rc->value.n;                                        \
            (void)y;                                                       \
            VmSetNumber(ra, static_cast<double>(static_cast<uint32_t>(expr))); \
            vmbreak;                                                       \
        }                                                                  \
        PROTECT(VmArith(L, ra, rb, rc, OP_##name));                        \
        vmbreak;                                                           \
    }
            BITOP_CASE(SHL, x << (VmTruncInt32(y) & 31))
            BITOP_CASE(SHR, x >> (VmTruncInt32(y) & 31))
            BITOP_CASE(BITOR, x | VmBits(y))
            BITOP_CASE(BITAND, x & VmBits(y))
            BITOP_CASE(BITXOR, x ^ VmBits(y))
#undef BITOP_CASE

            vmcase(NEG)
            {
                const VmValue *rb = RB(i);
                if (VM_LIKELY(rb->tag == VM_TNUMBER)) {
                    VmSetNumber(ra, -rb->value.n);
                    vmbreak;
                }
                PROTECT(VmArith(L, ra, rb, rb, OP_NEG));
                vmbreak;
            }
            vmcase(NOT)
            {
                VmSetNumber(ra, isFalse(RB(i)) ? 1 : 0);
                vmbreak;
            }
            vmcase(BITNOT)
            {
                const VmValue *rb = RB(i);
                if (VM_LIKELY(rb->tag == VM_TNUMBER)) {
                    VmSetNumber(ra, static_cast<double>(~VmBits(rb->value.n)));
                    vmbreak;
                }
                PROTECT(VmArith(L, ra, rb, rb, OP_BITNOT));
                vmbreak;
            }
            vmcase(CONCAT)
            {
                int b = GETARG_B(i);
                int c = GETARG_C(i);
                PROTECT({
                    VmConcatValues(L, c - b + 1, c);
                    L->base[GETARG_A(i)] = L->base[b];
                    VmCheckGC(L);
                });
                vmbreak;
            }
            vmcase(JUMP)
            {
                if (GETARG_K(i) == VM_JUMP_GOSUB) {
                    if (vmGosub.count >= VM_GOSUB_MAX)
                        PROTECT(VmRaiseError(L, ERR_INTERNAL));
                    VmGosubEntry &e = vmGosub.entries[vmGosub.count++];
                    e.func = cl;
                    e.level = static_cast<int32_t>(VmSaveCi(L, ci));
                    e.pc = static_cast<int32_t>(pc - cl->l.p->code);
                }
                pc += GETARG_sJ(i);
                if (GETARG_sJ(i) < 0)
                    vmcheckgate();
                vmbreak;
            }
            vmcase(EQ)
            {
                const VmValue *rb = RKB(i);
                const VmValue *rc = RKC(i);
                bool res;
                if (VM_LIKELY(bothNumbers(rb, rc)))
                    res = rb->value.n == rc->value.n;
                else
                    PROTECT(res = VmEqualValues(L, rb, rc));
                if (static_cast<int>(res) != GETARG_A(i))
                    pc++;
                else
                    DOJUMP();
                vmbreak;
            }
            vmcase(LT)
            {
                const VmValue *rb = RKB(i);
                const VmValue *rc = RKC(i);
                bool res;
                if (VM_LIKELY(bothNumbers(rb, rc)))
                    res = rb->value.n < rc->value.n;
                else
                    PROTECT(res = VmLessThanValues(L, rb, rc, true));
                if (static_cast<int>(res) != GETARG_A(i))
                    pc++;
                else
                    DOJUMP();
                vmbreak;
            }
            vmcase(LE)
            {
                const VmValue *rb = RKB(i);
                const VmValue *rc = RKC(i);
                bool res;
                if (VM_LIKELY(bothNumbers(rb, rc)))
                    res = rb->value.n <= rc->value.n;
                else
                    PROTECT(res = VmLessEqualValues(L, rb, rc));
                if (static_cast<int>(res) != GETARG_A(i))
                    pc++;
                else
                    DOJUMP();
                vmbreak;
            }
            vmcase(TESTSET)
            {
                const VmValue *rb = RB(i);
                if (static_cast<int>(isFalse(rb)) == GETARG_C(i)) {
                    pc++;
                } else {
                    copyValue(ra, rb);
                    DOJUMP();
                }
                vmbreak;
            }
            vmcase(CALL)
            vmcase(CALLCATCH)
            vmcase(TAILCALL)
            vmcase(TAILCALLCATCH)
            {
                VmOpcode op = GET_OPCODE(i);
                bool capture = op == OP_CALLCATCH || op == OP_TAILCALLCATCH;
                int b = GETARG_B(i);
                int nresults = GETARG_C(i) - 1;
                if (b != 0)
                    L->top = ra + b;
                ci->savedpc = pc;
                // Script callee with fixed parameters, room on the stack and
                // for a call record, no call hook: enter its frame here.
                if (VM_LIKELY((op == OP_CALL || op == OP_CALLCATCH) && ra->tag == VM_TFUNCTION &&
                              !VmClosureOf(ra)->isC && !(L->hookmask & VM_MASK_CALL))) {
                    VmClosure *ncl = VmClosureOf(ra);
                    VmPrototype *p = ncl->l.p;
                    VmCallInfo *nci = ci + 1;  // ci is L->ci
                    if (!p->is_vararg && L->stack_last - ra > p->maxstacksize + 1 && nci < L->end_ci) {
                        VmValue *nbase = ra + 1;
                        VmValue *ntop = nbase + p->maxstacksize;
                        VmValue *top = L->top;
                        if (top > nbase + p->numparams)
                            top = nbase + p->numparams;
                        ci->state |= VM_CI_CALLING;
                        L->ci = nci;
                        L->base = nbase;
                        nci->base = nbase;
                        nci->top = ntop;
                        nci->savedpc = p->code;
                        nci->pc = nullptr;
                        nci->tailcalls = 0;
                        nci->state = VM_CI_SAVEDPC;
                        for (; top < ntop; top++)
                            top->tag = VM_TNIL;  // a nil's payload is never read
                        L->top = ntop;
                        // Run on in the callee: nothing the trap word
                        // depends on has changed.
                        ci = nci;
                        base = nbase;
                        cl = ncl;
                        SETK(p->k);
                        pc = p->code;
                        track = {nullptr, nullptr};
                        vmcheckgate();
                        vmbreak;
                    }
                }
                // Commands (and only they) may read the position of the
                // CALL, to place a label subroutine.
                vmGosub.callPosition = static_cast<int>(pc - cl->l.p->code);
                ErrorCode err = 0;
                VmValue *first = nullptr;
                VmCallOutcome outcome = VmPrepareCall(L, ra, &err, capture, &first);
                if (outcome == VM_CALLED_SCRIPT) {
                    if (op == OP_CALL || op == OP_CALLCATCH) {
                        (L->ci - 1)->state |= VM_CI_CALLING;
                        goto callentry;
                    }
                    // Tail call: the new frame takes the place of this one.
                    VmCallInfo *prev = L->ci - 1;
                    VmValue *func = prev->base - 1;
                    VmValue *pfunc = L->ci->base - 1;
                    if (L->openupval != nullptr)
                        VmCloseUpvalues(L, prev->base);
                    int aux = 0;
                    for (; pfunc + aux < L->top; aux++)
                        func[aux] = pfunc[aux];
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
                        const VmPrototype *p = cl->l.p;
                        int ret = outcome == VM_CALLED_LABEL_NEXT ? callPos : callPos - 2;
                        int target = callPos + distance;
                        if (ret < 0 || target < 0 || target >= p->sizecode)
                            PROTECT(badCode(L));
                        if (vmGosub.count >= VM_GOSUB_MAX)
                            PROTECT(VmRaiseError(L, ERR_INTERNAL));
                        VmGosubEntry &e = vmGosub.entries[vmGosub.count++];
                        e.func = cl;
                        e.level = static_cast<int32_t>(VmSaveCi(L, ci));
                        e.pc = ret;
                        pc = p->code + target;
                        L->top = ci->top;
                    } else if (nresults >= 0) {
                        L->top = ci->top;
                    }
                }
                vmbreak;
            }
            vmcase(RETURN)
            {
                if (GETARG_C(i) == 1) {
                    // Return from a label subroutine: only to a position
                    // pushed by this very frame.
                    const VmPrototype *p = cl->l.p;
                    int level = static_cast<int>(VmSaveCi(L, ci));
                    if (vmGosub.count == 0)
                        PROTECT(VmRaiseError(L, ERR_RETWOGOSUB));
                    const VmGosubEntry &e = vmGosub.entries[vmGosub.count - 1];
                    if (e.func != cl || e.level != level)
                        PROTECT(VmRaiseError(L, ERR_RETWOGOSUB));
                    if (e.pc < 0 || e.pc >= p->sizecode)
                        PROTECT(badCode(L));
                    vmGosub.count--;
                    pc = p->code + e.pc;
                    vmbreak;
                }
                int b = GETARG_B(i);
                if (b != 0)
                    L->top = ra + b - 1;
                if (hasOpenUpvalues(L, base))
                    VmCloseUpvalues(L, base);
                ci->savedpc = pc;
                ci->state = VM_CI_SAVEDPC;
                VmCallInfo *caller = L->ci - 1;
                if (!(caller->state & VM_CI_CALLING) || L->ci == VmRestoreCi(L, entry))
                    return ra;
                // The caller runs in this loop: finish its CALL here.
                int nresults = GETARG_C(*(caller->savedpc - 1)) - 1;
                if (VM_UNLIKELY(L->hookmask & VM_MASK_RETURN)) {
                    VmPostCall(L, nresults, ra);
                    ci = L->ci;
                    ci->state &= ~VM_CI_CALLING;
                    if (nresults >= 0)
                        L->top = ci->top;
                    pc = ci->savedpc;
                    track = {pc - 1, nullptr};
                    goto retentry;
                }
                postCallFast(L, nresults, ra);
                ci = caller;
                ci->state &= ~VM_CI_CALLING;
                if (nresults >= 0)
                    L->top = ci->top;
                pc = ci->savedpc;
                track.last = pc - 1;
                base = ci->base;
                cl = VmCiFunc(ci);
                SETK(cl->l.p->k);
                track.end = nullptr;
                if (VM_UNLIKELY(trap)) {
                    // Back in the caller's line of the CALL: the run of
                    // that line is known when the line hook has built it.
                    const VmPrototype *p = cl->l.p;
                    if (p->lineends != nullptr)
                        track.end = p->code + p->lineends[track.last - p->code];
                }
                vmbreak;
            }
            vmcase(FORLOOP)
            {
                if (VM_UNLIKELY(((ra[0].tag ^ VM_TNUMBER) | (ra[1].tag ^ VM_TNUMBER) | (ra[2].tag ^ VM_TNUMBER)) != 0))
                    PROTECT(forLoopOperands(L, base + GETARG_A(i)));
                double step = ra[2].value.n;
                double idx = heldNumber(&ra[0], heldCounter) + step;
                double limit = ra[1].value.n;
                if (step > 0 ? idx <= limit : idx >= limit) {
                    ra[0].value.n = idx;
                    heldCounter = idx;
                    pc += GETARG_sBx(i);
                    vmcheckgate();
                }
                vmbreak;
            }
            vmcase(ITERLOOP)
            {
                int n = GETARG_C(i) + 1;
                int a = GETARG_A(i);
                VmValue *cb = ra + n + 2;
                // The call's n results land at cb before they move down.
                if (cb + (n > 3 ? n : 3) > ci->top)
                    PROTECT(badCode(L));
                cb[0] = ra[0];
                cb[1] = ra[1];
                cb[2] = ra[2];
                L->top = cb + 3;
                PROTECT({
                    ErrorCode err = VmCallValue(L, cb, n);
                    if (err != 0)
                        RaiseCommandError(L, err);
                });
                L->top = ci->top;
                ra = base + a;
                cb = ra + n + 2;
                for (int j = 0; j < n; j++)
                    ra[2 + j] = cb[j];
                if (ra[2].tag == VM_TNIL)
                    pc++;
                else
                    DOJUMP();
                vmbreak;
            }
            vmcase(ITERPREP)
            {
                if (ra->tag == VM_TTABLE) {
                    ra[1] = ra[0];
                    PROTECT({
                        VmString *name = VmNewString(L, "next", 4);
                        VmValue *r = L->base + GETARG_A(i);
                        if (L->gt.tag == VM_TTABLE)
                            *r = *VmTableGetStr(VmTableOf(&L->gt), name);
                        else
                            VmSetNil(r);
                    });
                }
                pc += GETARG_sBx(i);
                vmbreak;
            }
            vmcase(SETLIST)
            vmcase(SETLISTTOP)
            {
                int bx = GETARG_Bx(i);
                int n = GET_OPCODE(i) == OP_SETLIST ? (bx & 31) + 1 : static_cast<int>(L->top - ra) - 1;
                if (ra->tag != VM_TTABLE)
                    PROTECT(badCode(L));
                PROTECT({
                    VmValue *r = L->base + GETARG_A(i);
                    VmTable *t = VmTableOf(r);
                    int first = bx & ~31;
                    for (int j = 1; j <= n; j++) {
                        VmValue v = L->base[GETARG_A(i) + j];
                        *VmTableSetNum(L, t, first + j - 1) = v;
                    }
                });
                L->top = ci->top;
                vmbreak;
            }
            vmcase(CLOSE)
            {
                VmCloseUpvalues(L, ra);
                vmbreak;
            }
            vmcase(CLOSURE)
            {
                VmPrototype *p = cl->l.p->p[GETARG_Bx(i)];
                int nup = p->nups;
                PROTECT({
                    VmClosure *ncl = VmNewScriptClosure(L, nup, &cl->l.g);
                    ncl->l.p = p;
                    for (int j = 0; j < nup; j++, pc++) {
                        if (GET_OPCODE(*pc) == OP_GETUPVAL)
                            ncl->l.upvals[j] = cl->l.upvals[GETARG_B(*pc)];
                        else
                            ncl->l.upvals[j] = VmFindUpvalue(L, L->base + GETARG_B(*pc));
                    }
                    VmSetClosure(L->base + GETARG_A(i), ncl);
                    ci->savedpc = pc;
                    VmCheckGC(L);
                });
                vmbreak;
            }
            vmcase(SELF)
            {
                const VmValue *rc = RKC(i);
                if (rc->tag != VM_TSTRING)
                    PROTECT(badCode(L));
                VmValue obj = *RB(i);
                copyValue(ra + 1, &obj);
                if (VM_LIKELY(obj.tag == VM_TTABLE)) {
                    const VmValue *v = VmTableGetStr(VmTableOf(&obj), VmStringOf(rc));
                    if (v->tag != VM_TNIL) {
                        copyValue(ra, v);
                        vmbreak;
                    }
                }
                PROTECT(VmGetTableValue(L, ra + 1, rc, ra, VM_MISSING_NIL));
                vmbreak;
            }
            vmdefault
            {
                vmbreak;
            }
        }
    }
}
