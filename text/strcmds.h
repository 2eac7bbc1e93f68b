// Private header of the string library's command files: the per-file
// command tables, the ordered table of the whole library, and the pieces
// every command shares (the encoding argument).
//
// Invariant: a command may let a C++ allocation failure (or a size beyond
// what a string can hold) escape: the engine's command call ends the
// command with ERR_MEM, so every container a command uses must be an owner
// that the unwind frees.
#pragma once

#include "engine/engine.h"
#include "runtime/runtime.h"
#include "text/strcore.h"

// The encoding argument at index: absent takes the run's text mode; 1
// (ENCODING_UTF8) is UTF-8, any other value bytes.
bool EncodingArg(VmState* L, int index);

extern const CommandTableEntry stringTextCommands[];
extern const CommandTableEntry stringPatternCommands[];
extern const CommandTableEntry stringNumberCommands[];

// The string library's commands in registration order, with toString in
// its place; built on the first call.
const CommandTableEntry* StringLibraryCommands(VmCommandFunction toString);
