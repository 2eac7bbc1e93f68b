// Services of the text, font and string libraries that other folders use.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The two default encodings (0 Latin-1, 1 UTF-8): the text encoding of the
// text commands and the string encoding of the string and file commands.
// Both follow the global UTF-8 mode until SetDefaultEncoding sets them.
int32_t GetDefaultTextEncoding();
int32_t GetDefaultStringEncoding();

// ---- Services of the text library for the plug-in host API ----

using HostServiceFunc = intptr_t (*)(void);
constexpr int FREETYPE_EXPORTS = 38;
// The FreeType functions in the host's slot order (see text/ftexport.cpp).
void GetFreeTypeExports(HostServiceFunc out[FREETYPE_EXPORTS]);
// The built-in faces Sans, Serif and Sans Mono and their sizes in bytes.
void GetBuiltinFontBlobs(const void* data[3], size_t sizes[3]);
// Adds the font files of one directory to the font-discovery list; 1286
// when the directory cannot be examined.
ErrorCode ScanFontDirectory(const char* directory, int32_t noDuplicates);
