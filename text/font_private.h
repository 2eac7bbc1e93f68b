// Font records, the engines behind them and the text library's font state,
// shared by the font files of text/ (and by tests).
//
// Invariant: every open font is one FontRecord; the font cache owns every
// record except the shared "topaz", which lives from engine start-up to
// shut-down and is never freed by CloseFontRecord.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/errors.h"
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

// ---- TrueType engine (truetype.cpp, fontscan.cpp) ----
struct BuiltinFace {
  const char* name;
  const uint8_t* data;
  size_t unused;
};
extern const BuiltinFace BUILTIN_FACES[3];  // Sans, Serif, Sans Mono
size_t GetBuiltinFaceSize(int32_t index);

ErrorCode InitTrueTypeEngine();  // ERR_FT2 when FreeType cannot start
void* GetFreeTypeLibrary();      // the FT_Library, null before the engines start
void ShutdownTrueTypeEngine();
int OpenTrueTypeFont(const char* name, int32_t size, int32_t cache, FontRecord* record);
void CloseTrueTypeFont(FontRecord* record);
void SetTrueTypeScale(FontRecord* record, double scaleX, double scaleY);
int32_t MeasureTrueTypeText(FontRecord* record, const char* text, size_t length, int32_t style,
                            int32_t encoding, TextExtent* extent);
int32_t DrawTrueTypeText(FontRecord* record, BitmapHandle* target, BitmapHandle* maskTarget,
                         int32_t x, int32_t y, const char* text, size_t length, int32_t style,
                         int32_t encoding, const FontClip* clip, int64_t colour);
int32_t GetTrueTypeKerning(FontRecord* record, const char* text, size_t length, int32_t encoding);
void FlushTrueTypeCache(FontRecord* record);
void* GetTrueTypeFace(FontRecord* record);  // the FT_Face
// The number of glyphs the cache of a TrueType font holds.
int32_t CountCachedGlyphs(FontRecord* record);
// The stand-alone copy a collection face was opened from, or null.
const char* GetTrueTypeTemporaryPath(FontRecord* record);
int32_t GetTrueTypeSizeValue(FontRecord* record);

// The font-discovery list.
constexpr int32_t MAX_FONT_HEIGHTS = 64;
struct DiscoveredFont {
  DiscoveredFont* next;
  char fullName[FONT_NAME_SIZE];
  char family[512];
  char style[512];
  char path[FONT_NAME_SIZE];
  int32_t weight;  // 80 unless a style word says otherwise
  int32_t slant;
  uint64_t faceOffset, faceSize;
  uint64_t directoryOffset;  // of the face's table directory in a collection, else 0
  int32_t bitmap;            // a bitmap contents file
  int32_t heights[MAX_FONT_HEIGHTS];
  int32_t heightCount;
};
// Builds the list when it is empty; returns it.
const DiscoveredFont* GetDiscoveredFonts();
void FreeDiscoveredFonts();
ErrorCode ScanTrueTypeFonts(const char* directory, int32_t noDuplicates);
// The path to open for a name (a temporary stand-alone copy for a face of a
// collection, *temporary set), with the face's offset and size; null when
// none is listed.
const char* FindTrueTypeFont(const char* name, int32_t weight, int32_t slant, uint64_t* offset,
                             uint64_t* size, int32_t* temporary, char* buffer, size_t bufferSize);
// The family and style of one face whose table directory starts at
// directory (table offsets count from base); 1 when both were found.
int ReadFaceNames(const uint8_t* file, size_t size, uint64_t directory, uint64_t base, char* family,
                  size_t familySize, char* style, size_t styleSize);
// The faces of a collection ("ttcf") or resource file in memory: calls
// found(offset, size, directory) per face that lies inside the file.
void ListCollectionFaces(const uint8_t* file, size_t size, int resourceFile,
                         void (*found)(uint64_t offset, uint64_t size, uint64_t directory,
                                       void* data),
                         void* data);
bool IsRegularStyle(const char* style);

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
