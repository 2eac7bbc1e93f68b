// The debug interface: hooks, call levels, function information, local
// variables, the short form of a source name, and the names of values and
// called functions found by symbolic execution of the calling code.
//
// Invariant: nothing here writes to a frame except VmSetLocal, and the
// symbolic execution only reads instructions below the given position, so
// inspecting a level never changes what the interpreter will do next.
#include <cstdio>
#include <cstring>

#include "engine/vmcore.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"

namespace {

constexpr size_t SHORT_SRC = 60;        // size of VmDebugInfo::short_src
constexpr size_t SHORT_FILE_TAIL = 52;  // "@" names keep their last 52 characters
constexpr size_t SHORT_STRING = 43;     // first line of a source text

// Whether an instruction writes register A (and only A).
bool writesA(VmOpcode op) {
  switch (op) {
    case OP_MOVE:
    case OP_LOADCONST:
    case OP_LOADNUM:
    case OP_GETUPVAL:
    case OP_GETGLOBAL:
    case OP_GETTABLE:
    case OP_NEWTABLE:
    case OP_ADD:
    case OP_SUB:
    case OP_MUL:
    case OP_DIV:
    case OP_INTDIV:
    case OP_MOD:
    case OP_SHL:
    case OP_SHR:
    case OP_BITOR:
    case OP_BITAND:
    case OP_BITXOR:
    case OP_POW:
    case OP_NEG:
    case OP_NOT:
    case OP_BITNOT:
    case OP_CONCAT:
    case OP_TESTSET:
    case OP_CLOSURE:
    case OP_FORLOOP:
      return true;
    default:
      return false;
  }
}

// The index of the last instruction before lastpc that set register reg,
// or -1 when that is unknown (set in conditional code, or never).
int findSetReg(const VmPrototype* p, int lastpc, int reg) {
  int setreg = -1;
  int jmptarget = 0;  // code before this position is reached by a jump
  for (int pc = 0; pc < lastpc && pc < p->sizecode; pc++) {
    Instruction i = p->code[pc];
    VmOpcode op = GET_OPCODE(i);
    int a = GETARG_A(i);
    bool change = false;
    switch (op) {
      case OP_LOADNIL:
        change = a <= reg && reg <= GETARG_B(i);
        break;
      case OP_CALL:
      case OP_TAILCALL:
      case OP_CALLCATCH:
      case OP_TAILCALLCATCH:
        change = reg >= a;
        break;
      case OP_ITERLOOP:
        change = reg >= a + 2;
        break;
      case OP_SELF:
      case OP_ITERPREP:
        change = reg == a || reg == a + 1;
        break;
      case OP_JUMP: {
        int dest = pc + 1 + GETARG_sJ(i);
        if (pc < dest && dest <= lastpc && dest > jmptarget) jmptarget = dest;
        break;
      }
      default:
        change = op < VM_NUM_OPCODES && writesA(op) && reg == a;
        break;
    }
    if (op == OP_LOADNUM && GETARG_C(i) && pc + 2 > jmptarget) jmptarget = pc + 2;
    if (change) setreg = pc < jmptarget ? -1 : pc;
  }
  return setreg;
}

const char* constantName(const VmPrototype* p, int rk) {
  if (VmIsK(rk) && VmIndexK(rk) < p->sizek && p->k[VmIndexK(rk)].tag == VM_TSTRING)
    return VmStringData(VmStringOf(&p->k[VmIndexK(rk)]));
  return nullptr;
}

const char* getObjName(VmState* L, VmCallInfo* ci, int stackpos, const char** name, int depth) {
  if (!VmCiIsScript(ci) || depth > 16) return nullptr;
  const VmPrototype* p = VmCiFunc(ci)->l.p;
  int pc = VmCurrentPc(L, ci);
  if (pc < 0) return nullptr;
  *name = VmGetLocalName(p, stackpos + 1, pc);
  if (*name != nullptr) return "local";
  int setpc = findSetReg(p, pc, stackpos);
  if (setpc < 0) return nullptr;
  Instruction i = p->code[setpc];
  switch (GET_OPCODE(i)) {
    case OP_GETGLOBAL: {
      int g = GETARG_Bx(i);
      if (g < p->sizek && p->k[g].tag == VM_TSTRING) {
        *name = VmStringData(VmStringOf(&p->k[g]));
        return "global";
      }
      break;
    }
    case OP_MOVE: {
      int a = GETARG_A(i);
      int b = GETARG_B(i);
      if (b < a) return getObjName(L, ci, b, name, depth + 1);
      break;
    }
    case OP_GETTABLE:
      if ((*name = constantName(p, GETARG_C(i))) != nullptr) return "field";
      break;
    case OP_SELF:
      if ((*name = constantName(p, GETARG_C(i))) != nullptr) return "method";
      break;
    default:
      break;
  }
  *name = nullptr;
  return nullptr;
}

void shortSource(char* out, const char* source) {
  size_t len = std::strlen(source);
  if (source[0] == '=') {
    std::snprintf(out, SHORT_SRC, "%.59s", source + 1);
  } else if (source[0] == '@') {
    const char* file = source + 1;
    size_t flen = len - 1;
    if (flen > SHORT_FILE_TAIL)
      std::snprintf(out, SHORT_SRC, "...%s", file + flen - SHORT_FILE_TAIL);
    else
      std::snprintf(out, SHORT_SRC, "%s", file);
  } else {
    size_t line = std::strcspn(source, "\r\n");
    size_t n = line < SHORT_STRING ? line : SHORT_STRING;
    bool cut = source[n] != '\0';
    std::snprintf(out, SHORT_SRC, "[string \"%.*s%s\"]", static_cast<int>(n), source,
                  cut ? "..." : "");
  }
}

void funcInfo(VmDebugInfo* ar, const VmValue* func) {
  const VmClosure* cl = VmClosureOf(func);
  if (cl->isC) {
    ar->source = "=[C]";
    ar->linedefined = -1;
    ar->what = "C";
  } else {
    const VmPrototype* p = cl->l.p;
    ar->source = p->source != nullptr ? VmStringData(p->source) : "=?";
    ar->linedefined = p->lineDefined;
    ar->what = p->lineDefined == 0 ? "main" : "Quillmere";
  }
  shortSource(ar->short_src, ar->source);
}

void tailInfo(VmDebugInfo* ar) {
  ar->name = nullptr;
  ar->namewhat = "";
  ar->what = "tail";
  ar->linedefined = -1;
  ar->currentline = -1;
  ar->source = "=(tail call)";
  shortSource(ar->short_src, ar->source);
  ar->nups = 0;
}

}  // namespace

int VmCurrentPc(VmState* L, VmCallInfo* ci) {
  if (!VmCiIsScript(ci) || ci->savedpc == nullptr) return -1;
  const VmPrototype* p = VmCiFunc(ci)->l.p;
  return static_cast<int>(ci->savedpc - p->exec) - 1;
}

int VmCurrentLine(VmState* L, VmCallInfo* ci) {
  int pc = VmCurrentPc(L, ci);
  if (pc < 0) return -1;
  const VmPrototype* p = VmCiFunc(ci)->l.p;
  return pc < p->sizelineinfo ? p->lineinfo[pc] : -1;
}

const char* VmGetFuncName(VmState* L, VmCallInfo* ci, const char** name) {
  *name = nullptr;
  if (ci == L->base_ci) return nullptr;
  if ((VmCiIsScript(ci) && ci->tailcalls > 0) || ci - 1 == L->base_ci || !VmCiIsScript(ci - 1))
    return nullptr;
  VmCallInfo* caller = ci - 1;
  int pc = VmCurrentPc(L, caller);
  const VmPrototype* p = VmCiFunc(caller)->l.p;
  if (pc < 0 || pc >= p->sizecode) return nullptr;
  Instruction i = p->code[pc];
  switch (GET_OPCODE(i)) {
    case OP_CALL:
    case OP_TAILCALL:
    case OP_CALLCATCH:
    case OP_TAILCALLCATCH:
      return getObjName(L, caller, GETARG_A(i), name, 0);
    case OP_ITERLOOP:
      return getObjName(L, caller, GETARG_A(i) + GETARG_C(i) + 3, name, 0);
    default:
      return nullptr;
  }
}

const char* VmGetVarName(VmState* L, const VmValue* o, const char** name) {
  *name = nullptr;
  VmCallInfo* ci = L->ci;
  if (ci == nullptr || ci == L->base_ci || !VmCiIsScript(ci)) return nullptr;
  if (o < ci->base || o >= ci->top) return nullptr;
  return getObjName(L, ci, static_cast<int>(o - ci->base), name, 0);
}

void VmSetHook(VmState* L, VmHook fn, int mask, int count) {
  if (fn == nullptr || mask == 0) {
    mask = 0;
    fn = nullptr;
  }
  L->hook = fn;
  L->basehookcount = count;
  L->hookcount = count;
  L->hookmask = static_cast<uint8_t>(mask);
  L->hookinit = 0;
  L->hookgated = 0;
}

VmHook VmGetHook(VmState* L) { return L->hook; }
int VmGetHookMask(VmState* L) { return L->hookmask; }
int VmGetHookCount(VmState* L) { return L->basehookcount; }

int VmGetStack(VmState* L, int level, VmDebugInfo* ar) {
  VmCallInfo* ci;
  for (ci = L->ci; level > 0 && ci > L->base_ci; ci--) {
    level--;
    if (VmCiIsScript(ci)) level -= ci->tailcalls;  // the levels lost to tail calls
  }
  if (level > 0 || ci == L->base_ci) return 0;
  ar->i_ci = level < 0 ? 0 : static_cast<int>(ci - L->base_ci);
  return 1;
}

int VmGetInfo(VmState* L, const char* what, VmDebugInfo* ar) {
  VmValue func;
  VmCallInfo* ci = nullptr;
  bool tail = false;
  if (*what == '>') {
    if (L->top <= L->base || L->top[-1].tag != VM_TFUNCTION) {
      SetErrorArgNumber(1);
      VmRaiseError(L, ERR_FUNCEXPECTED);
    }
    func = L->top[-1];
    L->top--;
    what++;
  } else if (ar->i_ci != 0) {
    ci = L->base_ci + ar->i_ci;
    func = ci->base[-1];
  } else {
    tail = true;
    VmSetNil(&func);
  }
  if (tail) tailInfo(ar);
  int status = 1;
  for (; *what; what++) {
    switch (*what) {
      case 'S':
        if (!tail) funcInfo(ar, &func);
        break;
      case 'l':
        ar->currentline = ci != nullptr ? VmCurrentLine(L, ci) : -1;
        break;
      case 'u':
        ar->nups = tail ? 0 : VmClosureOf(&func)->nupvalues;
        break;
      case 'n':
        ar->namewhat = ci != nullptr ? VmGetFuncName(L, ci, &ar->name) : nullptr;
        if (ar->namewhat == nullptr) {
          ar->namewhat = "";
          ar->name = nullptr;
        }
        break;
      case 'f':
        VmEnsureStack(L, 1);
        *L->top++ = func;
        break;
      default:
        status = 0;
    }
  }
  return status;
}

const char* VmGetLocal(VmState* L, const VmDebugInfo* ar, int n) {
  if (ar->i_ci == 0) return nullptr;
  VmCallInfo* ci = L->base_ci + ar->i_ci;
  if (!VmCiIsScript(ci)) return nullptr;
  const char* name = VmGetLocalName(VmCiFunc(ci)->l.p, n, VmCurrentPc(L, ci));
  if (name != nullptr) {
    VmEnsureStack(L, 1);
    *L->top++ = ci->base[n - 1];
  }
  return name;
}

const char* VmSetLocal(VmState* L, const VmDebugInfo* ar, int n) {
  const char* name = nullptr;
  if (ar->i_ci != 0) {
    VmCallInfo* ci = L->base_ci + ar->i_ci;
    if (VmCiIsScript(ci)) name = VmGetLocalName(VmCiFunc(ci)->l.p, n, VmCurrentPc(L, ci));
    if (name != nullptr && name[0] == '(') name = nullptr;  // an internal temporary is not written
    if (name != nullptr) ci->base[n - 1] = L->top[-1];
  }
  L->top--;
  return name;
}
