// Font records, the engines behind them and the text library's font state,
// shared by the font files of text/ (and by tests).
//
// Invariant: every open font is one FontRecord; the font cache owns every
// record except the shared "topaz", which lives from engine start-up to
// shut-down and is never freed by CloseFontRecord.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/errors.h"
#include "runtime/runtime.h"

struct BitmapHandle;
struct VmState;

// Font types of FontRecord::type.
enum FontType : int32_t {
  FONT_BITMAP = 1,  // monochrome bitmap font (also "topaz")
  FONT_COLOR = 2,   // colour bitmap font
  FONT_NATIVE = 3,  // the platform's native fonts
  FONT_TRUETYPE = 4,
};

// Engine choices of the openers.
constexpr int32_t FONTENGINE_NATIVE = 0;
constexpr int32_t FONTENGINE_INBUILT = 4;

// Style bits of TextStyle::flags.
enum : int32_t {
  TEXTSTYLE_NORMAL = 1,
  TEXTSTYLE_BOLD = 2,
  TEXTSTYLE_ITALIC = 4,
  TEXTSTYLE_UNDERLINED = 8,
  TEXTSTYLE_ANTIALIAS = 16,
  TEXTSTYLE_SHADOW = 32,
  TEXTSTYLE_EDGE = 64,
};

constexpr size_t FONT_NAME_SIZE = 1024;        // the record's name fields
constexpr uint32_t FONT_KEY_COLOR = 0xEEE6D2;  // transparent pixels of colour fonts

// Linked list of the vector-font handles one font has given vector engines.
struct FontVectorHandle {
  FontVectorHandle* next;
  int32_t engine;
  void* handle;
};

struct FontRecord {
  char name[FONT_NAME_SIZE];
  char secondName[FONT_NAME_SIZE];
  int32_t requestedSize;
  int32_t height;
  int32_t baseline;
  int32_t baseHeight;
  int32_t baseBaseline;
  int32_t type;
  int32_t scalable;
  int32_t outline;
  int32_t usePoints;
  int32_t native;
  double scaleX, scaleY;
  void* engineData;
  BitmapHandle* colorBitmap;
  BitmapHandle* colorMask;
  uint32_t* savedPixels;
  int32_t savedWidth, savedHeight;
  FontVectorHandle* vectorHandles;
};

// Engine data of a type 1 or 2 font. Colour fonts keep their glyph strip as
// 32-bit pixels (colorPixels, modulo x 8 by height) with FONT_KEY_COLOR
// marking transparent pixels.
struct BitmapFontData {
  int32_t height;
  int32_t style;
  int32_t flags;
  int32_t cellWidth;
  int32_t baseline;
  int32_t boldSmear;
  int32_t accessors;
  int32_t firstChar, lastChar;
  const uint8_t* strip;  // monochrome: modulo x height bytes
  int32_t modulo;
  const uint32_t* locations;  // per glyph: bit offset << 16 | width
  const int16_t* spacing;     // null: every glyph advances by cellWidth
  const int16_t* kerning;     // null: no kerning
  int32_t glyphCount;
  uint32_t* colorPixels;  // colour fonts
  int32_t owned;          // the arrays above were allocated (not topaz's)
};

// Measured extent of a text: advance width, line height and the ink box
// (x relative to the pen start, y relative to the baseline).
struct TextExtent {
  int32_t width, height;
  int32_t left, top, right, bottom;
};

// A clip rectangle of the drawers (inclusive start, exclusive end).
struct FontClip {
  int32_t x, y, width, height;
};

// The text library's current text settings (eight words, in this order).
struct TextStyle {
  int32_t flags;
  uint32_t fontColor;
  uint32_t shadowColor;
  uint32_t edgeColor;
  int32_t shadowSize;
  int32_t shadowDirection;
  int32_t edgeSize;
  FontRecord* font;
};
void ClampTextStyle(TextStyle* style);
TextStyle* GetCurrentTextStyle();
FontRecord* GetCurrentFont();

// ---- The built-in font "topaz" ----
constexpr int32_t TOPAZ_FIRST = 32, TOPAZ_LAST = 255;
constexpr int32_t TOPAZ_GLYPHS = TOPAZ_LAST - TOPAZ_FIRST + 2;  // and the fallback glyph
constexpr int32_t TOPAZ_MODULO = TOPAZ_GLYPHS;                  // bytes a row: 8 pixels a glyph
extern const uint8_t TOPAZ_STRIP[TOPAZ_MODULO * 8];

// ---- Font records and engine dispatch (fontrecord.cpp) ----
ErrorCode InitFontEngines(FontRecord** topaz);
void ShutdownFontEngines();
ErrorCode OpenFontByName(const char* name, int32_t size, int32_t engine, int32_t cache,
                         int32_t usePoints, int32_t linked, FontRecord** out);
void CloseFontRecord(FontRecord* record);
int32_t MeasureFontText(FontRecord* record, const char* text, size_t length, int32_t style,
                        int32_t encoding, TextExtent* extent);
// colour -1: glyph bits go to the mask target (type 1) or the glyph pixels
// and mask bits to target and mask target (type 2). clip null: the target.
int32_t DrawFontText(FontRecord* record, BitmapHandle* target, BitmapHandle* maskTarget, int32_t x,
                     int32_t y, const char* text, size_t length, int32_t style, int32_t encoding,
                     const FontClip* clip, int64_t colour);
void SetFontScale(FontRecord* record, double scaleX, double scaleY);
int32_t GetFontKerning(FontRecord* record, const char* text, size_t length, int32_t encoding);
void FlushFontGlyphCache(FontRecord* record);
// 1 found (path written), 0 not.
int FindFontFile(const char* name, char* path, size_t pathSize);
// The code Utf8ToUcs4 returns when the text is not decoded (encoding not
// UTF-8, or invalid UTF-8): callers take it as 8-bit characters.
constexpr ErrorCode UCS4_NOT_DECODED = 1003;
ErrorCode Utf8ToUcs4(const char* bytes, size_t length, int32_t isUtf8, uint32_t* buffer,
                     size_t bufferCount, uint32_t** out, size_t* count, int32_t* allocated);
void FreeUcs4Buffer(uint32_t* array);

// ---- Bitmap font engine (bitmapfont.cpp) ----
int OpenBitmapFont(const char* path, int32_t size, FontRecord* record, const char* displayName);
int32_t MeasureBitmapText(FontRecord* record, const char* text, size_t length, int32_t style,
                          int32_t encoding, TextExtent* extent);
int32_t DrawBitmapText(FontRecord* record, BitmapHandle* target, BitmapHandle* maskTarget,
                       int32_t x, int32_t y, const char* text, size_t length, int32_t style,
                       int32_t encoding, const FontClip* clip, int64_t colour);
void FreeBitmapFontData(FontRecord* record);
// The size-file reader over bytes in memory (also the fuzz entry): fills
// data (owning its arrays) and returns 1, or 0 when the file is malformed.
int ParseBitmapSizeFile(const uint8_t* file, size_t size, BitmapFontData* data);
void FreeBitmapFontArrays(BitmapFontData* data);

// ---- TrueType engine ----
int OpenTrueTypeFont(const char* name, int32_t size, int32_t cache, FontRecord* record);

// ---- The text library's font lists (fonts.cpp) ----
// The font-path list, in the order added.
struct FontPathNode {
  FontPathNode* next;
  char path[FONT_NAME_SIZE];
};
const FontPathNode* GetFontPathList();
ErrorCode OpenFontEx(const char* name, int32_t size, int32_t engine, int32_t cache,
                     int32_t usePoints, int32_t linked, FontRecord** out);
ErrorCode RestoreFontBitmaps();
void FreeTextResources();
