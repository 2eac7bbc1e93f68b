// Names and operand formats of the opcodes, expanded from the one opcode
// list so that they cannot drift from the enum.
#include "engine/opcodes.h"

const char* const vmOpcodeNames[VM_NUM_OPCODES] = {
#define VM_OPCODE_NAME(name, fmt, a, b, c) #name,
    VM_OPCODE_LIST(VM_OPCODE_NAME)
#undef VM_OPCODE_NAME
};

const VmOpFormat vmOpcodeFormats[VM_NUM_OPCODES] = {
#define VM_OPCODE_FORMAT(name, fmt, a, b, c) VM_FMT_##fmt,
    VM_OPCODE_LIST(VM_OPCODE_FORMAT)
#undef VM_OPCODE_FORMAT
};

static_assert(VM_NUM_OPCODES == 45, "the instruction set has 45 opcodes");
static_assert(OP_TAILCALLCATCH == 44 && OP_CALL == 32 && OP_JUMP == 27, "opcode numbers are fixed");
