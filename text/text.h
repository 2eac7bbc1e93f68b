// Services of the text, font and string libraries that other folders use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/errors.h"

struct VmState;
struct BitmapHandle;
struct DisplayTransform;
struct ObjectId;
struct ObjectStyle;
struct qmLayer;

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

// ---- Text objects ----

// A text object (object type 8): its image is kept with the request that
// made it, so that a new size or rotation renders the text anew.
struct TextObject;
// The object's current image (lent: it belongs to the object) and where
// its top-left lies from the text's position.
struct TextObjectImage {
  BitmapHandle *bitmap, *mask, *alpha;
  int32_t width, height;
  int32_t originX, originY;
};
// Finds an object. Flags: 1 the caller changes it (a locked one is
// ERR_LOCKEDOBJ, and layers that show it first get a private copy unless
// 4), 2 find released objects too. Not found: ERR_FINDARRAY for an
// automatic identifier, else ERR_FINDTEXTOBJECT.
ErrorCode GetTextObject(VmState* L, ObjectId id, TextObject** out, uint32_t flags);
void GetTextObjectImage(const TextObject* object, TextObjectImage* out);
// The object's busy count: while it is above 0 the object refuses to be
// changed or freed (ERR_LOCKEDOBJ), so what a running user lent stays.
int32_t* GetTextObjectUseCount(TextObject* object);
// Shows the object as a layer of the current background picture at x, y
// (the image's top-left; position -1 on top) with NewLayer's flags.
ErrorCode AddTextObjectLayer(VmState* L, TextObject* object, int32_t x, int32_t y,
                             const DisplayTransform* transform, const ObjectStyle* style,
                             int32_t position, uint32_t flags, qmLayer** out);
// Draws the object on the current output target, or inserts it as a layer
// with layers on; x and y may be position constants. optionsIndex: the
// display options' argument (0 none); transform: given instead of them.
ErrorCode ShowTextObject(VmState* L, int32_t position, ObjectId id, int32_t x, int32_t y,
                         int optionsIndex, const DisplayTransform* transform, uint32_t flags);
// Frees the object; while a layer shows it, it only loses its identifier
// and goes with its last layer. Not strict: a missing one is no error.
ErrorCode FreeTextObjectById(VmState* L, ObjectId id, int strict);
// Deletes the released objects that no layer shows any more.
void FreeReleasedTextObjects(VmState* L);
