// What the host API hands plug-ins of the text library: the FreeType
// functions in the host's fixed slot order, the built-in faces, and the
// font-directory scan.
//
// Slot order of the FreeType table (plugins/qmplugin.h repeats it):
//  0 FT_Init_FreeType       1 FT_Done_FreeType      2 FT_New_Face
//  3 FT_New_Memory_Face     4 FT_Open_Face          5 FT_Done_Face
//  6 FT_Set_Char_Size       7 FT_Set_Pixel_Sizes    8 FT_Set_Transform
//  9 FT_Get_Char_Index     10 FT_Load_Glyph        11 FT_Load_Char
// 12 FT_Render_Glyph       13 FT_Get_Glyph         14 FT_Done_Glyph
// 15 FT_Glyph_Copy         16 FT_Glyph_Transform   17 FT_Glyph_Get_CBox
// 18 FT_Glyph_To_Bitmap    19 FT_Outline_Decompose 20 FT_Outline_Get_CBox
// 21 the host's FreeType library handle (the engines started on demand)
// 22 FT_Outline_Transform  23 FT_Outline_Translate 24 FT_Outline_Embolden
// 25 FT_Outline_Get_Bitmap 26 FT_Request_Size      27 FT_Select_Size
// 28 FT_Get_Kerning        29 FT_Bitmap_Init       30 FT_Bitmap_Done
// 31 FT_Bitmap_Embolden    32 FT_GlyphSlot_Own_Bitmap 33 FT_MulFix
// 34 FT_Stroker_New        35 FT_Stroker_Set       36 FT_Glyph_Stroke
// 37 FT_Stroker_Done
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_BITMAP_H
#include FT_GLYPH_H
#include FT_OUTLINE_H
#include FT_STROKER_H

#include "text/font_private.h"
#include "text/text.h"

namespace {

// The cast goes through void (*)(void), the function type that g++ accepts
// as matching every other without -Wcast-function-type.
template <typename F>
HostServiceFunc slot(F f) {
  return reinterpret_cast<HostServiceFunc>(reinterpret_cast<void (*)()>(f));
}

// Slot 21: the library every font of the program uses.
intptr_t hostLibrary() {
  if (InitFontEngines(nullptr)) return 0;
  return reinterpret_cast<intptr_t>(GetFreeTypeLibrary());
}

}  // namespace

void GetFreeTypeExports(HostServiceFunc out[FREETYPE_EXPORTS]) {
  const HostServiceFunc table[FREETYPE_EXPORTS] = {
      slot(FT_Init_FreeType),    slot(FT_Done_FreeType),      slot(FT_New_Face),
      slot(FT_New_Memory_Face),  slot(FT_Open_Face),          slot(FT_Done_Face),
      slot(FT_Set_Char_Size),    slot(FT_Set_Pixel_Sizes),    slot(FT_Set_Transform),
      slot(FT_Get_Char_Index),   slot(FT_Load_Glyph),         slot(FT_Load_Char),
      slot(FT_Render_Glyph),     slot(FT_Get_Glyph),          slot(FT_Done_Glyph),
      slot(FT_Glyph_Copy),       slot(FT_Glyph_Transform),    slot(FT_Glyph_Get_CBox),
      slot(FT_Glyph_To_Bitmap),  slot(FT_Outline_Decompose),  slot(FT_Outline_Get_CBox),
      slot(hostLibrary),         slot(FT_Outline_Transform),  slot(FT_Outline_Translate),
      slot(FT_Outline_Embolden), slot(FT_Outline_Get_Bitmap), slot(FT_Request_Size),
      slot(FT_Select_Size),      slot(FT_Get_Kerning),        slot(FT_Bitmap_Init),
      slot(FT_Bitmap_Done),      slot(FT_Bitmap_Embolden),    slot(FT_GlyphSlot_Own_Bitmap),
      slot(FT_MulFix),           slot(FT_Stroker_New),        slot(FT_Stroker_Set),
      slot(FT_Glyph_Stroke),     slot(FT_Stroker_Done),
  };
  for (int i = 0; i < FREETYPE_EXPORTS; i++) out[i] = table[i];
}

void GetBuiltinFontBlobs(const void* data[3], size_t sizes[3]) {
  for (int32_t i = 0; i < 3; i++) {
    data[i] = BUILTIN_FACES[i].data;
    sizes[i] = GetBuiltinFaceSize(i);
  }
}

ErrorCode ScanFontDirectory(const char* directory, int32_t noDuplicates) {
  return ScanTrueTypeFonts(directory, noDuplicates);
}
