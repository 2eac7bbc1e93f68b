// The formatted-text machinery shared by the text library's files: the text
// request (TextRecord) that Print, TextOut, text objects and text layers
// keep, measuring with the style's effects, the tag parser, the layout into
// runs, the block renderer with its edge builders, and the output of the
// finished block.
//
// Invariant: a TextRecord owns its text and its two tables; CopyTextRecord
// duplicates all three and FreeTextRecord frees all three.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "display/display.h"
#include "text/font_private.h"

// Alignments of the text commands (the shared position constants).
constexpr int32_t ALIGN_LEFT = -90000;
constexpr int32_t ALIGN_CENTER = -100000;
constexpr int32_t ALIGN_RIGHT = -80000;
constexpr int32_t ALIGN_JUSTIFIED = -110001;

constexpr int32_t TAB_STOPS = 32;        // tab stops of a display and a record
constexpr int32_t MAX_EFFECT_SIZE = 64;  // shadow and edge sizes of the style
constexpr int32_t MAX_EDGE_TAG = 8;      // edge sizes an edge tag accepts

// What MeasureText yields: the font's measure (ink box x relative to the
// pen start, y to the baseline) and the margins the effects add (top and
// left negative).
struct TextMetrics {
  int32_t advance, lineHeight;
  int32_t inkLeft, inkTop, inkRight, inkBottom;
  int32_t totalWidth;  // max(advance, inkRight + 1)
  int32_t marginTop, marginBottom, marginLeft, marginRight;
};

struct TextRecord {
  int32_t x, y;  // TextOut and layers (position constants allowed)
  int32_t imageWidth, imageHeight;
  TextStyle style;
  char* text;     // owned
  int32_t align;  // ALIGN_*
  int32_t cursorX, cursorY;
  int32_t leftMargin;
  int32_t wrapWidth;  // 0: no wrap
  int32_t tabs[TAB_STOPS];
  int32_t tabCount;
  // The numbers of the words that wrapping moved to a new line, and for
  // each tab the stop it reached (-1: it broke the line). Set tables are
  // replayed by the next layout instead of being computed again.
  int32_t* wrapTable;
  int32_t wrapCount;
  int32_t wrapTableSet;
  int32_t* tabTable;
  int32_t tabTableCount;
  int32_t tabTableSet;
  int32_t encoding;
};

ErrorCode CopyTextRecord(const TextRecord* from, TextRecord* to);
void FreeTextRecord(TextRecord* record);
// Replaces the record's text by a copy of text.
ErrorCode SetTextRecordText(TextRecord* record, const char* text);

// Whether the font draws the style itself (TrueType faces embolden and
// shear; a bitmap font only when its file has that face).
bool FontHasNativeBold(const FontRecord* font);
bool FontHasNativeItalic(const FontRecord* font);

ErrorCode MeasureText(const char* text, size_t length, int32_t encoding, TextMetrics* out,
                      const TextStyle* style);

// ---- Tag parsing and layout (textlayout.cpp) ----

// One stretch of one style on one line, in text order.
struct TextRun {
  size_t start, length;  // bytes of the scratch text
  int32_t x, y;          // from the block's left margin and top
  int32_t line;
  int32_t followsGap;  // began after a space, tab or line start
  TextMetrics metrics;
  TextStyle style;
};

struct TextLayout {
  std::vector<char> scratch;  // the text with tags and escapes resolved
  std::vector<TextRun> runs;
  std::vector<uint8_t> lineWrapped;  // per line: it ended by wrapping or a tab break
  int32_t lineHeight = 0;
  int32_t lines = 1;
  int32_t endX = 0;  // the pen after the last character, from the left margin
  int32_t spaceWidth = 0;
};

// Flags of DrawFormattedText.
enum : uint32_t {
  TEXTDRAW_LITERAL = 0x1,     // brackets are plain text (doubled ones still collapse)
  TEXTDRAW_GEOMETRY = 0x8,    // re-render an existing layer with its stored geometry
  TEXTDRAW_RERENDER = 0x10,   // re-render for a layer: keep the computed tables
  TEXTDRAW_KEEPLAYER = 0x20,  // do not update the layer's geometry
  TEXTDRAW_SCALECURSOR = 0x40,
};

// Lays the record's text out with its style. startX is where the first
// line starts (from the left margin), wrapWidth 0 means no wrap. Fills the
// record's tables unless they are set.
ErrorCode LayoutText(VmState* L, TextRecord* record, uint32_t flags, int32_t startX,
                     int32_t wrapWidth, TextLayout* out);

// ---- The block renderer and edge builders (edgedraw.cpp) ----

// The part of a block that is rendered: where it lies from the block's
// top-left, and its size (none: nothing of the block is seen).
struct TextWindow {
  int64_t x = 0, y = 0;
  int32_t width = 0, height = 0;
};
// Given a block's size and where its top-left lies from the text's nominal
// position, the part of it to render.
using TextWindowFunction =
    std::function<TextWindow(int32_t width, int32_t height, int32_t originX, int32_t originY)>;

// A rendered block: 0xAARRGGBB pixels (straight alpha), their size, where
// the block's top-left lies from the text's nominal position, and where
// the pixels lie in the block when only a part of it was rendered.
struct TextBlock {
  std::vector<uint32_t> pixels;
  int32_t width = 0, height = 0;
  int32_t originX = 0, originY = 0;
  int64_t windowX = 0, windowY = 0;
  bool needsAlpha = false;  // some pixel is partly covered
};

// Renders the runs into a block; with a window function only the part of
// the block it names (runs wholly outside it are not drawn at all).
ErrorCode EdgeDraw(const TextLayout& layout, int32_t align, int32_t wrapWidth, int32_t encoding,
                   TextBlock* out, const TextWindowFunction* window = nullptr);

// Coverage planes (one byte a pixel, 0 to 255) and the edge builders.
struct Coverage8 {
  std::vector<uint8_t> bytes;
  int32_t width = 0, height = 0;
  uint8_t at(int32_t x, int32_t y) const {
    return x < 0 || y < 0 || x >= width || y >= height ? 0
                                                       : bytes[static_cast<size_t>(y) * width + x];
  }
};
// Every covered pixel of the source stamped at every offset of the
// (2e+1) x (2e+1) square: the result is e larger on every side.
void StampMaskOffsets(const Coverage8& source, int32_t e, Coverage8* out);
// The coverage summed over the square around each pixel into 32-bit sums
// (a 16-bit sum would wrap from e = 8 on), divided by 2e+1, capped at 255
// and scaled by the opacity (0-255). The result is e larger on every side.
void BuildEdgeAlpha(const Coverage8& source, int32_t e, int32_t opacity, Coverage8* out);
// The (2s+1) square outline of an image's mask or alpha channel, s pixels
// larger on every side; 1522 when its size does not fit.
ErrorCode BuildOutlineCoverage(const Coverage8& source, int64_t s, bool antialiased,
                               Coverage8* out);

// ---- Output (textrender.cpp) ----

struct TextImageResult {
  BitmapHandle *bitmap, *mask, *alpha;
  int32_t width, height;
  int32_t originX, originY;
};

// The one routine that turns a request into pixels: layerType
// LAYER_TEXTOBJECT fills result, LAYER_PRINT and LAYER_TEXTOUT draw into
// the output target or insert a layer.
ErrorCode DrawFormattedText(VmState* L, TextRecord* record, int32_t layerType, uint32_t flags,
                            const DisplayTransform* transform, const ObjectStyle* style,
                            TextImageResult* result);
// The block as bitmaps: a mask when every pixel is either covered or not,
// else an alpha channel.
ErrorCode MakeTextBitmaps(const TextBlock& block, TextImageResult* out);
// Draws an image with its mask or alpha into the current output target at
// x, y and records the rectangle for refresh (or writes its coverage into
// a selected mask or alpha channel).
ErrorCode BlitToOutputTarget(VmState* L, BitmapHandle* bitmap, BitmapHandle* mask,
                             BitmapHandle* alpha, int32_t width, int32_t height, int32_t x,
                             int32_t y);
// Width and height of the current output target.
void GetOutputTargetSize(const DisplayRecord* d, int32_t* width, int32_t* height);
// Layer kinds of text and print layers.
void RegisterTextLayerKinds();

// ---- Print and TextOut (print.cpp) ----
// Prints at the display's text cursor and moves it on; literal: brackets
// are plain text.
ErrorCode PrintAtCursor(VmState* L, const char* text, int literal);
ErrorCode OpenPrintCommands(VmState* L);
// InKeyStr (inkeystr.cpp).
ErrorCode OpenLineInputCommand(VmState* L);

// ---- Text objects (textobject.cpp) ----
struct TextObject {
  ObjectHead head;  // type 8; next links the list in creation order
  BitmapHandle *bitmap, *mask, *alpha;
  int32_t width, height;
  int32_t baseWidth, baseHeight;  // the first rendering's size
  int32_t originX, originY;       // 0 once rotated
  int32_t locked;
  int32_t released;  // freed by the script while layers still show it
  TextRecord record;
  DisplayTransform transform;
};
ErrorCode CopyTextObjectCore(VmState* L, TextObject* source, ObjectId destination, int automatic,
                             TextObject** out);
void FreeAllTextObjects(VmState* L);
ErrorCode OpenTextObjectCommands(VmState* L);
// The font attributes and TEXT of a request; 0 for another attribute.
int PushTextAttribute(VmState* L, int32_t attribute, const TextRecord* record);

// ---- Text library settings (textlib.cpp) ----
ErrorCode OpenTextSettingCommands(VmState* L);
void ResetTextSettings();
int32_t GetTextEncodingSetting();
