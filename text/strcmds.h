// Private header of the string library's command files: the per-file
// command tables, the ordered table of the whole library, and the pieces
// every command shares (the encoding argument, the memory guard).
//
// Invariant: a command never lets a C++ allocation failure escape into the
// VM: GuardMemory turns it (and a size beyond what a string can hold) into
// ERR_MEM, the error a command returns for memory it cannot get.
#pragma once

#include <new>
#include <stdexcept>

#include "engine/engine.h"
#include "runtime/runtime.h"
#include "text/strcore.h"

// The encoding argument at index: absent takes the run's text mode; 1
// (ENCODING_UTF8) is UTF-8, any other value bytes.
bool EncodingArg(VmState* L, int index);

template <int (*F)(VmState*)>
int GuardMemory(VmState* L) {
  try {
    return F(L);
  } catch (const std::bad_alloc&) {
    return ERR_MEM;
  } catch (const std::length_error&) {
    return ERR_MEM;  // a result larger than a string can hold
  }
}

extern const CommandTableEntry stringTextCommands[];
extern const CommandTableEntry stringPatternCommands[];
extern const CommandTableEntry stringNumberCommands[];

// The string library's commands in registration order, with toString in
// its place; built on the first call.
const CommandTableEntry* StringLibraryCommands(VmCommandFunction toString);
