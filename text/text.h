// Services of the text, font and string libraries that other folders use.
#pragma once

#include "engine/errors.h"

struct VmState;

// ---- String library ----

// Registers the "string" library and its commands into the table at the top
// of the stack (normally the globals).
ErrorCode OpenStringLibrary(VmState* L);

// ---- Text library (fonts) ----

// Registers the "text" library, its constants and the font object list,
// then starts the font engines and makes "topaz" the current font.
ErrorCode OpenTextLibrary(VmState* L);
// Starts the font engines; "topaz" becomes the default and current font.
ErrorCode InitTextLibrary();
// Frees the font objects, the font cache and the font-path list and shuts
// the font engines down.
void FreeTextLibrary(VmState* L);
void InitTextContext();
void FreeTextContext();
