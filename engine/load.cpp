// The compiled-chunk loader: reads a chunk through the caller's reader,
// checks its header, rebuilds the tree of function prototypes and verifies
// every function's code before the main function is pushed as a closure.
//
// Invariant: nothing is allocated for a count or a length until it has been
// checked against the bytes that remain in the input, and no prototype
// leaves the loader unverified. A failed load raises; the protected call of
// VmLoad restores the stack, and the half-built prototypes and strings
// are ordinary garbage for the collector (every array's size field is set
// together with its allocation and its entries are cleared first, so a
// partial prototype frees cleanly).
#include "engine/load.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/opcodes.h"
#include "engine/vmcore.h"

void VmInitReadStream(VmReadStream* z, VmReader reader, void* data, const char* name) {
  z->n = 0;
  z->p = nullptr;
  z->reader = reader;
  z->data = data;
  z->name = name;
}

int VmFillStream(VmReadStream* z) {
  size_t size = 0;
  const char* block = z->reader(nullptr, z->data, &size);
  if (block == nullptr || size == 0) return -1;
  z->n = size - 1;
  z->p = block;
  return static_cast<unsigned char>(*z->p++);
}

size_t VmReadStreamBytes(VmReadStream* z, void* b, size_t n) {
  char* out = static_cast<char*>(b);
  while (n > 0) {
    if (z->n == 0) {
      if (VmFillStream(z) == -1) return n;
      z->n++;  // give back the byte that the fill consumed
      z->p--;
    }
    size_t m = n < z->n ? n : z->n;
    std::memcpy(out, z->p, m);
    z->n -= m;
    z->p += m;
    out += m;
    n -= m;
  }
  return 0;
}

char* VmGrowLoadBuffer(VmState* L, VmLoadBuffer* buff, size_t n) {
  if (n > buff->size) {
    if (n < 32) n = 32;
    buff->buffer = static_cast<char*>(VmRealloc(L, buff->buffer, buff->size, n));
    buff->size = n;
  }
  return buff->buffer;
}

namespace {

// Copies the whole input into the load buffer and returns its length.
size_t gatherInput(VmState* L, VmReadStream* z, VmLoadBuffer* buff) {
  size_t used = 0;
  for (;;) {
    if (z->n == 0) {
      if (VmFillStream(z) == -1) break;
      z->n++;
      z->p--;
    }
    if (z->n > buff->size - used) {
      if (z->n > SIZE_MAX - used) VmRaiseError(L, ERR_MEM);
      size_t need = used + z->n;
      size_t doubled = buff->size > SIZE_MAX / 2 ? SIZE_MAX : buff->size * 2;
      VmGrowLoadBuffer(L, buff, need > doubled ? need : doubled);
    }
    std::memcpy(buff->buffer + used, z->p, z->n);
    used += z->n;
    z->p += z->n;
    z->n = 0;
  }
  return used;
}

struct LoadState {
  VmState* L;
  const uint8_t* p;    // next unread byte
  const uint8_t* end;  // one past the last byte of the input
  bool bigEndian;
  int lengthSize;  // 4 or 8
};

[[noreturn]] void fail(LoadState* S, ErrorCode code) { VmRaiseError(S->L, code); }

size_t remaining(const LoadState* S) { return static_cast<size_t>(S->end - S->p); }

void need(LoadState* S, size_t n) {
  if (remaining(S) < n) fail(S, ERR_UNEXPECTEDEOF);
}

uint8_t loadByte(LoadState* S) {
  need(S, 1);
  return *S->p++;
}

// An unsigned field of `size` bytes in the chunk's byte order.
uint64_t loadField(LoadState* S, int size) {
  need(S, static_cast<size_t>(size));
  uint64_t v = 0;
  for (int i = 0; i < size; i++) {
    int shift = S->bigEndian ? 8 * (size - 1 - i) : 8 * i;
    v |= static_cast<uint64_t>(S->p[i]) << shift;
  }
  S->p += size;
  return v;
}

int32_t loadInt(LoadState* S) {
  return static_cast<int32_t>(static_cast<uint32_t>(loadField(S, 4)));
}

int32_t loadCheckedInt(LoadState* S) {
  int32_t v = loadInt(S);
  if (v < 0) fail(S, ERR_BADINTEGER);
  return v;
}

// A count of entries that each take at least minBytes of the input: a count
// that the rest of the input cannot hold is an early end, found before the
// array is allocated.
int32_t loadCount(LoadState* S, size_t minBytes) {
  int32_t n = loadCheckedInt(S);
  if (static_cast<uint64_t>(n) * minBytes > remaining(S)) fail(S, ERR_UNEXPECTEDEOF);
  return n;
}

// A string length field. An 8-byte length whose high half is set cannot
// describe a string of this format and is refused rather than cut down.
size_t loadLength(LoadState* S) {
  uint64_t v = loadField(S, S->lengthSize);
  if (v >> 32) fail(S, ERR_BADINTEGER);
  return static_cast<size_t>(v);
}

VmString* loadString(LoadState* S) {
  size_t size = loadLength(S);
  if (size == 0) return nullptr;
  need(S, size);
  VmString* s = VmNewString(S->L, reinterpret_cast<const char*>(S->p), size - 1);
  S->p += size;
  return s;
}

double loadNumber(LoadState* S) {
  uint64_t bits = loadField(S, 8);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

template <typename T>
T* newArray(LoadState* S, int32_t n) {
  return n > 0 ? VmNewBlock<T>(S->L, static_cast<size_t>(n)) : nullptr;
}

// The smallest function record: an empty source length, the line defined,
// the four bytes and six counts.
size_t minFunctionRecord(const LoadState* S) {
  return static_cast<size_t>(S->lengthSize) + 4 + 4 + 6 * 4;
}

// The function's name in a bad-code report: its place in the tree of
// nested function records, as qmasm's .function blocks give it.
std::string functionName(const std::string& path) {
  return path.empty() ? "main function" : "function " + path;
}

VmPrototype* loadFunction(LoadState* S, VmString* parentSource, const std::string& path,
                          int depth) {
  if (depth > VM_MAX_FUNCTION_DEPTH) {
    VmSetBadCodeLocation(parentSource, functionName(path).c_str(), -1, 0,
                         "functions nested too deep");
    fail(S, ERR_BADBYTECODE);
  }
  VmState* L = S->L;
  VmPrototype* f = VmNewPrototype(L);
  f->source = loadString(S);
  if (f->source == nullptr) f->source = parentSource;
  f->lineDefined = loadCheckedInt(S);
  f->nups = loadByte(S);
  f->numparams = loadByte(S);
  f->is_vararg = loadByte(S);
  f->maxstacksize = loadByte(S);

  int32_t n = loadCount(S, 4);
  f->lineinfo = newArray<int32_t>(S, n);
  f->sizelineinfo = n;
  for (int32_t i = 0; i < n; i++) f->lineinfo[i] = loadInt(S);

  n = loadCount(S, static_cast<size_t>(S->lengthSize) + 8);
  f->locvars = newArray<VmLocalVar>(S, n);
  for (int32_t i = 0; i < n; i++) f->locvars[i] = VmLocalVar{nullptr, 0, 0};
  f->sizelocvars = n;
  for (int32_t i = 0; i < n; i++) {
    f->locvars[i].name = loadString(S);
    f->locvars[i].startpc = loadCheckedInt(S);
    f->locvars[i].endpc = loadCheckedInt(S);
  }

  n = loadCount(S, static_cast<size_t>(S->lengthSize));
  if (n != 0 && n != f->nups) fail(S, ERR_BADUPVALUES);
  f->upvalues = newArray<VmString*>(S, n);
  for (int32_t i = 0; i < n; i++) f->upvalues[i] = nullptr;
  f->sizeupvalues = n;
  for (int32_t i = 0; i < n; i++) f->upvalues[i] = loadString(S);

  n = loadCount(S, 1);
  f->k = newArray<VmValue>(S, n);
  for (int32_t i = 0; i < n; i++) VmSetNil(&f->k[i]);
  f->sizek = n;
  for (int32_t i = 0; i < n; i++) {
    switch (loadByte(S)) {
      case VM_TNIL:
        break;
      case VM_TNUMBER:
        VmSetNumber(&f->k[i], loadNumber(S));
        break;
      case VM_TSTRING: {
        // A string constant is always present; a missing one would be
        // a string value with no string behind it.
        VmString* s = loadString(S);
        if (s == nullptr) fail(S, ERR_BADCONSTANT);
        VmSetString(&f->k[i], s);
        break;
      }
      default:
        fail(S, ERR_BADCONSTANT);
    }
  }

  n = loadCount(S, minFunctionRecord(S));
  f->p = newArray<VmPrototype*>(S, n);
  for (int32_t i = 0; i < n; i++) f->p[i] = nullptr;
  f->sizep = n;
  for (int32_t i = 0; i < n; i++)
    f->p[i] = loadFunction(S, f->source, (path.empty() ? "" : path + ".") + std::to_string(i + 1),
                           depth + 1);

  n = loadCount(S, 4);
  f->code = newArray<Instruction>(S, n);
  for (int32_t i = 0; i < n; i++) f->code[i] = 0;
  f->sizecode = n;
  for (int32_t i = 0; i < n; i++) f->code[i] = static_cast<Instruction>(loadField(S, 4));

  VmVerifyResult verdict = VmVerifyPrototype(f);
  if (verdict.fault != nullptr) {
    VmSetBadCodeLocation(f->source, functionName(path).c_str(), verdict.pc,
                         verdict.pc >= 0 ? f->code[verdict.pc] : 0, verdict.fault);
    fail(S, ERR_BADBYTECODE);
  }
  return f;
}

void loadHeader(LoadState* S) {
  for (char c : VM_CHUNK_SIGNATURE) {
    if (loadByte(S) != static_cast<uint8_t>(c)) fail(S, ERR_BADSIGNATURE);
  }
  S->bigEndian = loadByte(S) != 1;
  uint8_t sizes[8];
  for (uint8_t& b : sizes) b = loadByte(S);
  // integer, length, instruction, opcode, A, B, C and number sizes
  if (sizes[0] != 4 || (sizes[1] != 4 && sizes[1] != 8) || sizes[2] != 4 ||
      sizes[3] != VM_SIZE_OP || sizes[4] != VM_SIZE_A || sizes[5] != VM_SIZE_B ||
      sizes[6] != VM_SIZE_C || sizes[7] != 8)
    fail(S, ERR_VMMISMATCH);
  S->lengthSize = sizes[1];
  double x = loadNumber(S);
  // Truncated to a 32-bit integer; out-of-range values and NaN cannot
  // truncate to the test integer.
  if (!(x > -2147483649.0 && x < 2147483648.0) || static_cast<int32_t>(x) != VM_CHUNK_TEST_INTEGER)
    fail(S, ERR_UNKNUMFMT);
}

}  // namespace

VmPrototype* VmLoadBytecode(VmState* L, VmReadStream* z, VmLoadBuffer* buff) {
  size_t size = gatherInput(L, z, buff);
  LoadState S;
  S.L = L;
  S.p = reinterpret_cast<const uint8_t*>(buff->buffer);
  S.end = S.p + size;
  S.bigEndian = false;
  S.lengthSize = 4;
  loadHeader(&S);
  // A main function without a source of its own is named after the chunk.
  VmString* chunkSource = VmNewStringZ(L, z->name != nullptr ? z->name : "?");
  VmPrototype* main = loadFunction(&S, chunkSource, "", 0);
  // The main function's closure is made with no upvalues.
  if (main->nups != 0) fail(&S, ERR_BADUPVALUES);
  return main;
}

VmVerifyResult VmVerifyPrototype(const VmPrototype* p) {
  const int maxStack = p->maxstacksize;
  const int n = p->sizecode;
  if (maxStack > VM_MAXREGS) return {-1, "stack size over 250"};
  // The call sets up the fixed parameters (and the vararg table) inside
  // the frame, so they must fit in it.
  if (p->numparams + p->is_vararg > maxStack) return {-1, "parameters beyond the stack size"};
  if (p->sizelineinfo != 0 && p->sizelineinfo != n)
    return {-1, "line table and code differ in length"};
  if (n <= 0) return {-1, "no code"};
  if (GET_OPCODE(p->code[n - 1]) != OP_RETURN) return {n - 1, "the last instruction is no RETURN"};

  auto reg = [&](int r) { return r >= 0 && r < maxStack; };
  auto rk = [&](int x) { return VmIsK(x) ? VmIndexK(x) < p->sizek : x < maxStack; };
  auto inCode = [&](int pc, int offset) {
    int64_t t = static_cast<int64_t>(pc) + 1 + offset;
    return t >= 0 && t < n;
  };
  auto jumpFollows = [&](int pc) { return pc + 1 < n && GET_OPCODE(p->code[pc + 1]) == OP_JUMP; };
  // An open result count (all results up to the top) must be consumed at
  // once by an instruction that reads up to the top.
  auto topConsumed = [&](int pc) {
    if (pc + 1 >= n) return false;
    Instruction next = p->code[pc + 1];
    switch (GET_OPCODE(next)) {
      case OP_CALL:
      case OP_TAILCALL:
      case OP_RETURN:
      case OP_CALLCATCH:
      case OP_TAILCALLCATCH:
        return GETARG_B(next) == 0;
      case OP_SETLISTTOP:
        return true;
      default:
        return false;
    }
  };

  for (int pc = 0; pc < n; pc++) {
    const Instruction i = p->code[pc];
    const int op = GET_OPCODE(i);
    const int a = GETARG_A(i);
    const int b = GETARG_B(i);
    const int c = GETARG_C(i);
    const int bx = GETARG_Bx(i);
    // An instruction's fault needs no words beyond its index and opcode.
    const VmVerifyResult bad = {pc, ""};
    if (op != OP_JUMP && !reg(a)) return bad;
    // The B and C fields that name registers or RK operands, as the
    // opcode list says; the cases below check what is particular.
    if (op < VM_NUM_OPCODES && vmOpcodeFormats[op] == VM_FMT_ABC) {
      auto fits = [&](VmOperandKind kind, int x) {
        return kind == VM_OPND_N || (kind == VM_OPND_R ? reg(x) : rk(x));
      };
      const VmOperandKinds& kinds = vmOpcodeOperands[op];
      if (!fits(kinds.b, b) || !fits(kinds.c, c)) return bad;
    }
    bool ok = true;
    switch (op) {
      case OP_LOADCONST:
        ok = bx < p->sizek;
        break;
      case OP_GETGLOBAL:
      case OP_SETGLOBAL:
        ok = bx < p->sizek && VmIsString(&p->k[bx]);
        break;
      case OP_LOADNUM:
        // The skip must land on an instruction.
        ok = c == 0 || pc + 2 < n;
        break;
      case OP_GETUPVAL:
      case OP_SETUPVAL:
        ok = b < p->nups;
        break;
      case OP_NEWTABLE: {
        // Array part (B & 7) << (B >> 3): the shift may be up to 63, so
        // the size is bounded before it is computed.
        uint64_t mantissa = static_cast<uint64_t>(b & 7);
        int shift = b >> 3;
        ok = c <= VM_MAXBITS && (mantissa == 0 || (shift <= VM_MAXBITS &&
                                                   (mantissa << shift) <= VM_MAX_NEWTABLE_ARRAY));
        break;
      }
      case OP_SELF:
        ok = reg(a + 1);
        break;
      case OP_CONCAT:
        ok = b < c && c < VM_RK_CONST;
        break;
      case OP_JUMP:
        ok = inCode(pc, GETARG_sJ(i));
        break;
      case OP_EQ:
      case OP_LT:
      case OP_LE:
      case OP_TESTSET:
        ok = jumpFollows(pc);
        break;
      case OP_CALL:
      case OP_TAILCALL:
      case OP_CALLCATCH:
      case OP_TAILCALLCATCH:
        if (b != 0 && !reg(a + b - 1))
          ok = false;
        else if (c == 0)
          ok = topConsumed(pc);
        else if (c >= 2)
          ok = reg(a + c - 2);
        break;
      case OP_RETURN:
        ok = c == 1 || b < 2 || reg(a + b - 2);
        break;
      case OP_FORLOOP:
        ok = reg(a + 2) && inCode(pc, GETARG_sBx(i));
        break;
      case OP_ITERPREP:
        ok = reg(a + 1) && inCode(pc, GETARG_sBx(i));
        break;
      case OP_ITERLOOP:
        // The iterator call is set up at A+C+3 .. A+C+5 and its C+1
        // results land from A+C+3 up to A+2C+3 before they are moved
        // down: both must lie inside the frame.
        ok = reg(a + c + 5) && reg(a + 2 * c + 3) && jumpFollows(pc);
        break;
      case OP_SETLIST:
        ok = reg(a + (bx & (VM_FIELDS_PER_FLUSH - 1)) + 1);
        break;
      case OP_CLOSURE: {
        if (bx >= p->sizep || p->p[bx] == nullptr) return bad;
        int nups = p->p[bx]->nups;
        if (pc + nups >= n) return bad;
        for (int j = 1; j <= nups; j++) {
          int pseudo = GET_OPCODE(p->code[pc + j]);
          if (pseudo != OP_GETUPVAL && pseudo != OP_MOVE) return bad;
        }
        break;
      }
      default:
        // SETLISTTOP, CLOSE and the opcodes that do nothing use only A.
        break;
    }
    if (!ok) return bad;
  }
  return {-1, nullptr};
}

void VmSetBadCodeLocation(const VmString* source, const char* function, int pc,
                          Instruction instruction, const char* fault) {
  // The chunk as the user named it: without the '@' of a file name or the
  // '=' of a name given in full.
  const char* chunk = source != nullptr ? VmStringData(source) : "?";
  if (chunk[0] == '@' || chunk[0] == '=') chunk++;
  char where[ERROR_ARG_MAX + 1];
  size_t used = 0;
  auto append = [&](const char* format, auto... values) {
    if (used >= sizeof where) return;
    int n = std::snprintf(where + used, sizeof where - used, format, values...);
    if (n > 0) used += static_cast<size_t>(n);
  };
  append("%s, %s", chunk, function);
  if (pc >= 0) {
    int op = GET_OPCODE(instruction);
    if (op < VM_NUM_OPCODES)
      append(", instruction %d (%s)", pc, vmOpcodeNames[op]);
    else
      append(", instruction %d (opcode %d)", pc, op);
  }
  if (fault != nullptr && fault[0] != '\0') append(": %s", fault);
  SetErrorArgString(where);
}

namespace {

struct LoadArgs {
  VmReadStream z;
  VmLoadBuffer buff;
};

void loadProtected(VmState* L, void* ud) {
  LoadArgs* args = static_cast<LoadArgs*>(ud);
  VmCheckGC(L);
  VmPrototype* p = VmLoadBytecode(L, &args->z, &args->buff);
  VmClosure* cl = VmNewScriptClosure(L, 0, &L->gt);
  cl->l.p = p;
  VmCheckStack(L, 1);
  VmSetClosure(L->top, cl);
  L->top++;
}

}  // namespace

ErrorCode VmLoad(VmState* L, VmReader reader, void* data, const char* chunkname) {
  LoadArgs args;
  VmInitReadStream(&args.z, reader, data, chunkname != nullptr ? chunkname : "?");
  args.buff.buffer = nullptr;
  args.buff.size = 0;
  ErrorCode status = VmProtectedCall(L, loadProtected, &args, VmSaveStack(L, L->top), L->errfunc);
  if (args.buff.buffer != nullptr) VmRealloc(L, args.buff.buffer, args.buff.size, 0);
  return status;
}
