// Services of the text, font and string libraries that other folders use.
#pragma once

#include "engine/errors.h"

struct VmState;

// ---- String library ----

// Registers the "string" library and its commands into the table at the top
// of the stack (normally the globals).
ErrorCode OpenStringLibrary(VmState* L);
