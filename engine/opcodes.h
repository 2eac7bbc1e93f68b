// The instruction set of the script VM: the opcode list, the field layout of
// an instruction word and inline accessors and constructors for its fields.
//
// Invariant: the opcode numbers and the field layout are a file format (the
// loader accepts and the writer produces exactly this encoding), so the list
// below is only ever appended to, never reordered.
//
//   bits  0-5   opcode (6)
//   bits  6-14  C (9)
//   bits 15-23  B (9)
//   bits 24-31  A (8)
//   bits  6-23  Bx (18, unsigned); sBx = Bx - 131071
//   bits  6-29  J (24) of JUMP;    sJ = J - 8388607
//   bits 30-31  K (2) of JUMP: 2 remembers the return position (gosub)
#pragma once

#include <cstdint>

#include "engine/object.h"

// X(name, format, A, B, C): one row per opcode, in opcode order. The format
// names the operand layout: ABC, ABx (Bx unsigned), AsBx (Bx signed), J
// (jump word). A, B and C say what each field of the ABC layout names: R a
// register, K a register or a constant (RK), N anything else (a count, a
// flag, an index, or a field the format does not have).
#define VM_OPCODE_LIST(X) \
  X(MOVE, ABC, R, R, N) \
  X(LOADCONST, ABx, R, N, N) \
  X(LOADNUM, ABC, R, N, N) \
  X(LOADNIL, ABC, R, R, N) \
  X(GETUPVAL, ABC, R, N, N) \
  X(GETGLOBAL, ABx, R, N, N) \
  X(GETTABLE, ABC, R, R, K) \
  X(SETGLOBAL, ABx, R, N, N) \
  X(SETUPVAL, ABC, R, N, N) \
  X(SETTABLE, ABC, R, K, K) \
  X(NEWTABLE, ABC, R, N, N) \
  X(ADD, ABC, R, K, K) \
  X(SUB, ABC, R, K, K) \
  X(MUL, ABC, R, K, K) \
  X(DIV, ABC, R, K, K) \
  X(INTDIV, ABC, R, K, K) \
  X(MOD, ABC, R, K, K) \
  X(SHL, ABC, R, K, K) \
  X(SHR, ABC, R, K, K) \
  X(BITOR, ABC, R, K, K) \
  X(BITAND, ABC, R, K, K) \
  X(BITXOR, ABC, R, K, K) \
  X(POW, ABC, R, K, K) \
  X(NEG, ABC, R, R, N) \
  X(NOT, ABC, R, R, N) \
  X(BITNOT, ABC, R, R, N) \
  X(CONCAT, ABC, R, R, R) \
  X(JUMP, J, N, N, N) \
  X(EQ, ABC, N, K, K) \
  X(LT, ABC, N, K, K) \
  X(LE, ABC, N, K, K) \
  X(TESTSET, ABC, R, R, N) \
  X(CALL, ABC, R, N, N) \
  X(TAILCALL, ABC, R, N, N) \
  X(RETURN, ABC, R, N, N) \
  X(FORLOOP, AsBx, R, N, N) \
  X(ITERLOOP, ABC, R, N, N) \
  X(ITERPREP, AsBx, R, N, N) \
  X(SETLIST, ABx, R, N, N) \
  X(SETLISTTOP, ABx, R, N, N) \
  X(CLOSE, ABC, R, N, N) \
  X(CLOSURE, ABx, R, N, N) \
  X(SELF, ABC, R, R, K) \
  X(CALLCATCH, ABC, R, N, N) \
  X(TAILCALLCATCH, ABC, R, N, N)

enum VmOpcode : uint8_t {
#define VM_OPCODE_ENUM(name, fmt, a, b, c) OP_##name,
  VM_OPCODE_LIST(VM_OPCODE_ENUM)
#undef VM_OPCODE_ENUM
      VM_NUM_OPCODES  // 45; opcodes 45 to 63 are valid words that do nothing
};

enum VmOpFormat : uint8_t { VM_FMT_ABC, VM_FMT_ABx, VM_FMT_AsBx, VM_FMT_J };

// What an ABC field names (the R, K and N of the opcode list).
enum VmOperandKind : uint8_t { VM_OPND_N, VM_OPND_R, VM_OPND_K };
struct VmOperandKinds {
  VmOperandKind a, b, c;
};

// Names ("MOVE" ...) and formats indexed by opcode (VM_NUM_OPCODES entries).
extern const char* const vmOpcodeNames[VM_NUM_OPCODES];
extern const VmOpFormat vmOpcodeFormats[VM_NUM_OPCODES];
// Operand kinds indexed by opcode; defined here so that the assembler,
// which links no engine code, shares them.
inline constexpr VmOperandKinds vmOpcodeOperands[VM_NUM_OPCODES] = {
#define VM_OPCODE_OPERANDS(name, fmt, a, b, c) {VM_OPND_##a, VM_OPND_##b, VM_OPND_##c},
    VM_OPCODE_LIST(VM_OPCODE_OPERANDS)
#undef VM_OPCODE_OPERANDS
};

// Field sizes and positions.
constexpr int VM_SIZE_OP = 6;
constexpr int VM_SIZE_A = 8;
constexpr int VM_SIZE_B = 9;
constexpr int VM_SIZE_C = 9;
constexpr int VM_SIZE_Bx = VM_SIZE_B + VM_SIZE_C;
constexpr int VM_SIZE_J = 24;
constexpr int VM_POS_OP = 0;
constexpr int VM_POS_C = 6;
constexpr int VM_POS_B = 15;
constexpr int VM_POS_A = 24;
constexpr int VM_POS_Bx = 6;
constexpr int VM_POS_J = 6;
constexpr int VM_POS_K = 30;

constexpr uint32_t VM_MAXARG_A = (1u << VM_SIZE_A) - 1;
constexpr uint32_t VM_MAXARG_B = (1u << VM_SIZE_B) - 1;
constexpr uint32_t VM_MAXARG_C = (1u << VM_SIZE_C) - 1;
constexpr uint32_t VM_MAXARG_Bx = (1u << VM_SIZE_Bx) - 1;
constexpr uint32_t VM_MAXARG_J = (1u << VM_SIZE_J) - 1;
constexpr int VM_BIAS_sBx = 131071;  // sBx = Bx - bias
constexpr int VM_BIAS_sJ = 8388607;  // sJ = J - bias

// Jump kinds of JUMP.
constexpr int VM_JUMP_PLAIN = 0;
constexpr int VM_JUMP_GOSUB = 2;  // push the return position first

// A function uses at most 250 registers; an RK operand of 250 or more names
// constant (x - 250).
constexpr int VM_MAXREGS = 250;
constexpr int VM_RK_CONST = 250;
inline bool VmIsK(int x) { return x >= VM_RK_CONST; }
inline int VmIndexK(int x) { return x - VM_RK_CONST; }
inline int VmRKAsK(int k) { return k + VM_RK_CONST; }

// A label subroutine keeps at most this many return positions.
constexpr int VM_GOSUB_MAX = 4096;

inline VmOpcode GET_OPCODE(Instruction i) { return static_cast<VmOpcode>(i & 0x3F); }
inline int GETARG_A(Instruction i) { return static_cast<int>(i >> VM_POS_A); }
inline int GETARG_B(Instruction i) { return static_cast<int>((i >> VM_POS_B) & VM_MAXARG_B); }
inline int GETARG_C(Instruction i) { return static_cast<int>((i >> VM_POS_C) & VM_MAXARG_C); }
inline int GETARG_Bx(Instruction i) { return static_cast<int>((i >> VM_POS_Bx) & VM_MAXARG_Bx); }
inline int GETARG_sBx(Instruction i) { return GETARG_Bx(i) - VM_BIAS_sBx; }
inline int GETARG_J(Instruction i) { return static_cast<int>((i >> VM_POS_J) & VM_MAXARG_J); }
inline int GETARG_sJ(Instruction i) { return GETARG_J(i) - VM_BIAS_sJ; }
inline int GETARG_K(Instruction i) { return static_cast<int>(i >> VM_POS_K); }

inline constexpr Instruction CREATE_ABC(VmOpcode o, int a, int b, int c) {
  return (static_cast<uint32_t>(o) & 0x3F) |
         ((static_cast<uint32_t>(a) & VM_MAXARG_A) << VM_POS_A) |
         ((static_cast<uint32_t>(b) & VM_MAXARG_B) << VM_POS_B) |
         ((static_cast<uint32_t>(c) & VM_MAXARG_C) << VM_POS_C);
}
inline constexpr Instruction CREATE_ABx(VmOpcode o, int a, int bx) {
  return (static_cast<uint32_t>(o) & 0x3F) |
         ((static_cast<uint32_t>(a) & VM_MAXARG_A) << VM_POS_A) |
         ((static_cast<uint32_t>(bx) & VM_MAXARG_Bx) << VM_POS_Bx);
}
inline constexpr Instruction CREATE_AsBx(VmOpcode o, int a, int sbx) {
  return CREATE_ABx(o, a, sbx + VM_BIAS_sBx);
}
// A JUMP of kind k (0 plain, 2 gosub) by sj instructions.
inline constexpr Instruction CREATE_J(int k, int sj) {
  return static_cast<uint32_t>(OP_JUMP) |
         ((static_cast<uint32_t>(sj + VM_BIAS_sJ) & VM_MAXARG_J) << VM_POS_J) |
         ((static_cast<uint32_t>(k) & 3u) << VM_POS_K);
}

inline Instruction SET_OPCODE(Instruction i, VmOpcode o) {
  return (i & ~0x3Fu) | (static_cast<uint32_t>(o) & 0x3F);
}
inline Instruction SETARG_A(Instruction i, int a) {
  return (i & ~(VM_MAXARG_A << VM_POS_A)) | ((static_cast<uint32_t>(a) & VM_MAXARG_A) << VM_POS_A);
}
inline Instruction SETARG_B(Instruction i, int b) {
  return (i & ~(VM_MAXARG_B << VM_POS_B)) | ((static_cast<uint32_t>(b) & VM_MAXARG_B) << VM_POS_B);
}
inline Instruction SETARG_C(Instruction i, int c) {
  return (i & ~(VM_MAXARG_C << VM_POS_C)) | ((static_cast<uint32_t>(c) & VM_MAXARG_C) << VM_POS_C);
}
inline Instruction SETARG_Bx(Instruction i, int bx) {
  return (i & ~(VM_MAXARG_Bx << VM_POS_Bx)) |
         ((static_cast<uint32_t>(bx) & VM_MAXARG_Bx) << VM_POS_Bx);
}
inline Instruction SETARG_sBx(Instruction i, int sbx) { return SETARG_Bx(i, sbx + VM_BIAS_sBx); }

// SETLIST stores (Bx & 31) + 1 items per instruction starting at key Bx & ~31.
constexpr int VM_FIELDS_PER_FLUSH = 32;
