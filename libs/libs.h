// Services of the data and system libraries that other folders use. Each
// concern keeps its own section; what only libs/ calls is in
// libs/libs_private.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/errors.h"

struct VmState;

// ---- Dos library ----

// Registers the "dos" library, its commands (into the table at the top of
// the stack, normally the globals), its constants, the "FILE*" metatable
// and the file list.
ErrorCode OpenDosLibrary(VmState* L);
// The dos library's shut-down: closes and frees every open file and the
// virtual files, and puts the I/O switches back to their start.
void FreeDosResources(VmState* L);
// The encoding that encoding arguments default to: 0 Latin-1, 1 UTF-8.
int32_t DefaultLibraryEncoding();

// ---- System library ----

// Registers the "system" library, its commands (into the table at the top
// of the stack, normally the globals) and its constants.
ErrorCode OpenSystemLibrary(VmState* L);

// ---- Math library ----

// Registers the "math" commands and PI into the table at the top of the
// stack (normally the globals) and seeds the process-wide drand48 and rand
// generators with the time in seconds (or the test seed, below).
ErrorCode OpenMathLibrary(VmState* L);
