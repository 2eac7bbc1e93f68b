// The text library on a display of the test display adapter: style,
// cursor, margins, tab stops and encodings; the tag parser's errors; the
// layout from measured pieces; Print, NPrint and TextOut read back from the
// framebuffer, with "topaz" glyphs known from the font's own strip.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "display/adapter_private.h"
#include "display/display_private.h"
#include "display/layer_private.h"
#include "runtime/runtime_private.h"
#include "draw/draw.h"
#include "tests/draw/value.h"
#include "tests/support/adapter_display.h"
#include "tests/support/command_call.h"
#include "text/layout_private.h"
#include "text/text.h"

namespace {

constexpr uint32_t BACKGROUND = 0x000000;
constexpr uint32_t WHITE = 0xFFFFFF;
constexpr int32_t W = 400, H = 120;

// The pixel of a topaz glyph (8 x 8).
bool TopazBit(unsigned char c, int32_t x, int32_t y) {
  if (x < 0 || x >= 8 || y < 0 || y >= 8) return false;
  int32_t g = c < 32 ? TOPAZ_GLYPHS - 1 : c - 32;
  return TOPAZ_STRIP[y * TOPAZ_MODULO + g] & (0x80 >> x);
}
// The pixel of a topaz text at (x, y) from its top-left.
bool TextBit(const std::string& text, int32_t x, int32_t y) {
  if (x < 0 || y < 0) return false;
  size_t k = static_cast<size_t>(x / 8);
  return k < text.size() && TopazBit(static_cast<unsigned char>(text[k]), x % 8, y);
}

// The base functions first, then the libraries.
ErrorCode RegisterBaseFunctions(VmState* L) {
  VmRegisterBaseFunctions(L);
  return ERR_NONE;
}

class TextLibTest : public adaptertest::AdapterTest {
 protected:
  TextLibTest()
      : AdapterTest({RegisterBaseFunctions, OpenStringLibrary, OpenDisplayLibrary,
                     OpenLayersLibrary, OpenBrushLibrary, OpenBGPicLibrary, OpenTextLibrary}) {}
  void OpenDisplay(bool layers) {
    OpenFirst(Value::Table({{"color", static_cast<double>(BACKGROUND)},
                            {"width", W},
                            {"height", H},
                            {"layers", layers}}));
  }

  ErrorCode Call(const char* name, int nargs) {
    results.clear();
    return testcall::CallCollecting(L, name, nargs, Collect);
  }
  ErrorCode CallWith(const char* name, std::vector<Value> args) {
    for (const Value& a : args) PushValue(L, a);
    return Call(name, static_cast<int>(args.size()));
  }
  // Results as numbers; a table result gives its extent fields in order.
  static void Collect(VmState* L, int i) {
    if (VmType(L, i) == VM_TYPE_TABLE) {
      for (const char* key : {"minx", "maxx", "miny", "maxy", "width", "height"}) {
        VmPushString(L, key);
        VmGetTable(L, i);
        results.push_back(VmToNumber(L, -1));
        VmSetTop(L, -2);
      }
    } else {
      results.push_back(VmToNumber(L, i));
    }
  }
  static inline std::vector<double> results;

  // Compares a w x h area at (x0, y0) with the expected colour of each pixel.
  template <typename F>
  void ExpectArea(int32_t x0, int32_t y0, int32_t w, int32_t h, F expected, const char* what) {
    int32_t bad = 0;
    for (int32_t y = y0; y < y0 + h; ++y)
      for (int32_t x = x0; x < x0 + w; ++x)
        if (At(x, y) != expected(x - x0, y - y0) && bad++ < 5)
          ADD_FAILURE() << what << " at " << x << "," << y << ": " << std::hex << At(x, y)
                        << " expected " << expected(x - x0, y - y0);
  }
};

TEST_F(TextLibTest, FontStyleCases) {
  struct Case {
    const char* name;
    std::vector<std::vector<Value>> calls;  // SetFontStyle argument lists, in order
    ErrorCode lastCode;
    int32_t flags, shadowSize, shadowDirection, edgeSize;
  };
  const Case cases[] = {
      {"normal clears all", {{2}, {4}, {8}, {64, 0xFF, 3}, {32}, {1}}, ERR_NONE, 1, 4, 3, 3},
      {"bold then italic", {{2}, {4}}, ERR_NONE, 1 | 2 | 4, 4, 3, 2},
      {"shadow size capped", {{32, 0, 100}}, ERR_NONE, 1 | 32, 64, 3, 2},
      {"shadow direction", {{32, 0, 4, 9}}, ERR_NONE, 1 | 32, 4, 3, 2},
      {"edge size", {{64, 0xFF, 0}}, ERR_NONE, 1 | 64, 4, 3, 1},
      {"bold with a colour", {{2, 1}}, ERR_TOOMANYARGS, 1, 4, 3, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(CallWith("SetFontStyle", {1}), ERR_NONE);
    *GetCurrentTextStyle() =
        TextStyle{1, 0xFFFFFF, 0, 0x0093DD, 4, 3, 2, GetCurrentTextStyle()->font};
    ErrorCode code = ERR_NONE;
    for (const auto& args : c.calls) code = CallWith("SetFontStyle", args);
    EXPECT_EQ(code, c.lastCode);
    const TextStyle* s = GetCurrentTextStyle();
    EXPECT_EQ(s->flags, c.flags);
    EXPECT_EQ(s->shadowSize, c.shadowSize);
    EXPECT_EQ(s->shadowDirection, c.shadowDirection);
    EXPECT_EQ(s->edgeSize, c.edgeSize);
  }
  ASSERT_EQ(CallWith("SetFontStyle", {32, 0x123456, 5, 2}), ERR_NONE);
  ASSERT_EQ(Call("GetFontStyle", 0), ERR_NONE);
  ASSERT_EQ(results.size(), 7u);  // the flags and the table read as the extent keys
  EXPECT_EQ(results[0], 33);
}

TEST_F(TextLibTest, CursorMarginsAndTabs) {
  OpenDisplay(false);
  EXPECT_EQ(d->textLeft, 0);
  EXPECT_EQ(d->textRight, W - 1);
  EXPECT_EQ(CallWith("SetMargins", {0, 319}), ERR_NONE);
  EXPECT_EQ(CallWith("Locate", {500, 10}), ERR_NONE);
  EXPECT_EQ(d->textX, 0);
  EXPECT_EQ(d->textY, 10);
  EXPECT_EQ(CallWith("Locate", {30, 12}), ERR_NONE);
  EXPECT_EQ(d->textX, 30);
  for (int32_t constant : {-100000, -90000, -80000})
    EXPECT_EQ(CallWith("Locate", {constant, 0}), ERR_NOCOORDCST);
  for (int32_t constant : {-70000, -60000, -100000})
    EXPECT_EQ(CallWith("Locate", {0, constant}), ERR_NOCOORDCST);

  // A right margin beyond the target is clamped before the test, so that
  // left > right is never stored.
  EXPECT_EQ(CallWith("SetMargins", {500, 1000}), ERR_WRONGUSAGE);
  EXPECT_EQ(d->textLeft, 0);
  EXPECT_EQ(d->textRight, 319);
  EXPECT_EQ(CallWith("SetMargins", {-5, 1000}), ERR_NONE);
  EXPECT_EQ(d->textLeft, 0);
  EXPECT_EQ(d->textRight, W - 1);
  EXPECT_EQ(CallWith("SetMargins", {40, 40}), ERR_WRONGUSAGE);

  for (int32_t i = 0; i < 31; ++i) ASSERT_EQ(CallWith("AddTab", {(31 - i) * 10}), ERR_NONE);
  EXPECT_EQ(CallWith("AddTab", {-1}), ERR_NEGCOORDS);
  EXPECT_EQ(CallWith("AddTab", {5, 7}), ERR_INTERNAL);  // the 32nd stays, the 33rd fails
  ASSERT_EQ(d->tabCount, 32);
  EXPECT_EQ(d->tabStops[0], 5);
  for (int32_t i = 1; i < 32; ++i) EXPECT_EQ(d->tabStops[i], i * 10);
  EXPECT_EQ(Call("ResetTabs", 0), ERR_NONE);
  EXPECT_EQ(d->tabCount, 0);
}

TEST_F(TextLibTest, MeasuringAndEncodings) {
  ASSERT_EQ(CallWith("TextExtent", {""}), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>(6, 0.0));
  ASSERT_EQ(CallWith("TextWidth", {"Hello"}), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>{40});
  ASSERT_EQ(CallWith("TextExtent", {"Hi"}), ERR_NONE);
  EXPECT_EQ(results, (std::vector<double>{0, 15, -6, 1, 16, 8}));
  ASSERT_EQ(CallWith("SetFontStyle", {64, 0xFF, 3}), ERR_NONE);
  ASSERT_EQ(CallWith("TextExtent", {"Hi"}), ERR_NONE);
  EXPECT_EQ(results, (std::vector<double>{-3, 18, -9, 4, 16, 8}));
  EXPECT_EQ(CallWith("TextWidth", {"a", 2}), ERR_WRONGUSAGE);

  EXPECT_EQ(CallWith("SetDefaultEncoding", {2}), ERR_WRONGUSAGE);
  // A string command without an encoding follows the string default.
  const char* twoBytes = "\xC3\xA4";
  ASSERT_EQ(CallWith("StrLen", {twoBytes}), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>{1});
  ASSERT_EQ(CallWith("SetDefaultEncoding", {1, 0}), ERR_NONE);
  ASSERT_EQ(CallWith("StrLen", {twoBytes}), ERR_NONE);
  EXPECT_EQ(results, std::vector<double>{2});
  EXPECT_EQ(CallWith("SetDefaultEncoding", {0, 5}), ERR_WRONGUSAGE);
  ASSERT_EQ(Call("GetDefaultEncoding", 0), ERR_NONE);
  EXPECT_EQ(results, (std::vector<double>{0, 0}));
}

TEST_F(TextLibTest, TagErrors) {
  OpenDisplay(false);
  struct Case {
    const char* text;
    ErrorCode code;
  };
  const Case cases[] = {
      {"a]b", ERR_TEXTSYNTAX},
      {"[bx]a", ERR_UNKTEXTFMT},
      {"[q]a", ERR_UNKTEXTFMT},
      {"[color]a", ERR_TEXTARG},
      {"[/color]a", ERR_TEXTSYNTAX},
      {"[b", ERR_SQBRACKETCLOSE},
      {"[color=$FF x]", ERR_SQBRACKETCLOSE},
      {"[edge=$FF,9]a", ERR_WRONGUSAGE},
      {"[edge=$FF,0]a", ERR_WRONGUSAGE},
      {"[shadow=$FF,65]a", ERR_WRONGUSAGE},
      {"[color=\"red\"]a", ERR_VALUEEXPECTED},
      {"[color=#NOSUCHCONSTANT]a", ERR_VALUEEXPECTED},
      {"[ B ]a[ /b]", ERR_NONE},
      {"[edge=$FF,8][shadow=$FF,64,7]a[/edge][/shadow]", ERR_NONE},
      {"[[a]]", ERR_NONE},
      {"[color=#ITALIC]a[/color]", ERR_NONE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(CallWith("TextOut", {0, 0, c.text}), c.code);
  }
  // Doubled brackets print single ones.
  ASSERT_EQ(CallWith("TextOut", {0, 50, "[[]]"}), ERR_NONE);
  ExpectArea(
      0, 50, 16, 8, [](int32_t x, int32_t y) { return TextBit("[]", x, y) ? WHITE : 0u; },
      "brackets");
}

TEST_F(TextLibTest, ColourTagsNestAndRestore) {
  OpenDisplay(false);
  // Forty nested tags with blanks and mixed case: each opening colours the
  // next glyph, each closing restores the colour before it.
  constexpr int N = 40;
  std::string text;
  auto colour = [](int k) { return static_cast<uint32_t>(0x010203 * (k + 1)); };
  for (int k = 0; k < N; ++k) {
    char tag[48];
    std::snprintf(tag, sizeof tag, "[ %s=$%06X]X", k % 2 ? "COLOR" : "CoLoR", colour(k));
    text += tag;
  }
  for (int k = 0; k < N; ++k) text += "[/ color]X";
  ASSERT_EQ(CallWith("TextOut", {0, 0, text.c_str(), Value::Table({{"align", -90000}})}), ERR_NONE);
  // Glyph k of 80 sits at x = 8k (wrapping at the display width is absent:
  // the display is only 400 wide, so rows past it are not checked).
  auto inkColour = [&](int cell) {
    for (int32_t y = 0; y < 8; ++y)
      for (int32_t x = 0; x < 8; ++x)
        if (TopazBit('X', x, y)) return At(cell * 8 + x, y);
    return 0xDEADu;
  };
  for (int cell = 0; cell < W / 8; ++cell) {
    int k = cell < N ? cell : 2 * N - 2 - cell;  // closing i restores colour N - 2 - i
    uint32_t expected = cell < N ? colour(cell) : k >= 0 ? colour(k) : WHITE;
    EXPECT_EQ(inkColour(cell), expected) << "cell " << cell;
  }
}

TEST_F(TextLibTest, PrintedGlyphsAndEffects) {
  OpenDisplay(false);
  ASSERT_EQ(CallWith("SetMargins", {20, W - 1}), ERR_NONE);
  const std::string text = "Hi";
  auto mask = [&](int32_t x, int32_t y) { return TextBit(text, x, y); };
  struct Case {
    const char* name;
    std::vector<Value> style;          // SetFontStyle arguments
    int32_t left, top, width, height;  // the area to compare, from the cursor
    std::function<uint32_t(int32_t, int32_t)> expected;
  };
  const Case cases[] = {
      {"plain", {1}, 0, 0, 24, 10, [&](int32_t x, int32_t y) { return mask(x, y) ? WHITE : 0u; }},
      {"edge 1 is the mask dilated by a 3x3 square",
       {64, 0xFF0000, 1},
       -2,
       -2,
       22,
       12,
       [&](int32_t x, int32_t y) {
         if (mask(x, y)) return WHITE;
         for (int dy = -1; dy <= 1; ++dy)
           for (int dx = -1; dx <= 1; ++dx)
             if (mask(x + dx, y + dy)) return 0xFF0000u;
         return 0u;
       }},
      {"south-east shadow of 4",
       {32, 0x00FF00, 4, 3},
       -1,
       -1,
       24,
       14,
       [&](int32_t x, int32_t y) {
         return mask(x, y) ? WHITE : mask(x - 4, y - 4) ? 0x00FF00u : 0u;
       }},
      {"synthetic bold",
       {2},
       0,
       0,
       20,
       9,
       [&](int32_t x, int32_t y) { return mask(x, y) || mask(x - 1, y) ? WHITE : 0u; }},
      {"synthetic italic",
       {4},
       -4,
       0,
       26,
       9,
       [&](int32_t x, int32_t y) {
         // Rows shift right by baseline / 2 at the top, one less every
         // second row.
         int32_t shift = 6 / 2 - y / 2;
         return mask(x - shift, y) ? WHITE : 0u;
       }},
      {"underline on row baseline + 1",
       {8},
       0,
       0,
       20,
       9,
       [&](int32_t x, int32_t y) { return mask(x, y) || (y == 7 && x < 16) ? WHITE : 0u; }},
  };
  int32_t row = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(CallWith("SetFontStyle", {1}), ERR_NONE);
    ASSERT_EQ(CallWith("SetFontStyle", c.style), ERR_NONE);
    ASSERT_EQ(CallWith("Locate", {40, row}), ERR_NONE);
    ASSERT_EQ(CallWith("Print", {text.c_str()}), ERR_NONE);
    EXPECT_EQ(d->textX, 56);
    EXPECT_EQ(d->textY, row);
    ExpectArea(
        40 + c.left, row + c.top, c.width, c.height,
        [&](int32_t x, int32_t y) { return c.expected(x + c.left, y + c.top); }, c.name);
    row += 20;
  }
}

TEST_F(TextLibTest, PrintMovesTheCursor) {
  OpenDisplay(false);
  ASSERT_EQ(CallWith("SetMargins", {8, W - 1}), ERR_NONE);
  ASSERT_EQ(CallWith("NPrint", {1, "a"}), ERR_NONE);
  EXPECT_EQ(d->textX, 8);
  EXPECT_EQ(d->textY, 8);
  ASSERT_EQ(CallWith("Print", {"1 a"}), ERR_NONE);
  ExpectArea(
      8, 0, 24, 16, [](int32_t x, int32_t y) { return TextBit("1 a", x, y % 8) ? WHITE : 0u; },
      "NPrint equals Print");
  EXPECT_EQ(d->textX, 32);
  ASSERT_EQ(Call("Print", 0), ERR_NONE);
  EXPECT_EQ(d->textX, 40);
  // Text past the right margin wraps to the left margin.
  ASSERT_EQ(CallWith("SetMargins", {8, 47}), ERR_NONE);
  ASSERT_EQ(CallWith("Print", {"abc def"}), ERR_NONE);
  EXPECT_EQ(d->textX, 8 + 24);
  EXPECT_EQ(d->textY, 8);
}

// Plain text takes a shorter road than tagged text; a leading "[b][/b]"
// forces the general one. Both must put the same pixels at the same places
// and leave the cursor at the same place.
TEST_F(TextLibTest, PlainTextDrawsAsTaggedTextDoes) {
  constexpr int32_t BW = 300, BH = 100;
  OpenDisplay(false);
  ASSERT_EQ(CallWith("CreateBrush", {1, BW, BH}), ERR_NONE);
  ASSERT_EQ(CallWith("SelectBrush", {1}), ERR_NONE);
  BrushObject* brush = nullptr;
  ASSERT_EQ(GetBrushObject(L, ObjectId{nullptr, 1}, &brush, 0), ERR_NONE);
  const char* text = "one [[two]]  \nthree four\n\n  end\r!";
  struct Case {
    const char* name;
    const char* font;  // null: topaz
    int32_t style;
    const char* command;
    std::vector<int32_t> margins;  // empty: the brush's
  };
  const Case cases[] = {
      {"topaz Print", nullptr, 1, "Print", {}},
      {"topaz Print within margins", nullptr, 1, "Print", {10, 200}},
      {"topaz Print that wraps", nullptr, 1, "Print", {10, 90}},
      {"topaz TextOut", nullptr, 1, "TextOut", {}},
      {"Vera Print", ":::default_sans", 1, "Print", {}},
      {"Vera anti-aliased Print", ":::default_sans", 16, "Print", {6, 250}},
      {"Vera anti-aliased TextOut", ":::default_sans", 16, "TextOut", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.font ? CallWith("SetFont", {c.font, 16}) : CallWith("SetFont", {"topaz", 8}),
              ERR_NONE);
    ASSERT_EQ(CallWith("SetFontStyle", {c.style}), ERR_NONE);
    struct Result {
      std::vector<uint32_t> pixels;
      int32_t x, y;
    } results[2];
    for (int pass = 0; pass < 2; ++pass) {
      FillBitmapRect(brush->bitmap, 0, 0, BW, BH, 0xFF102030);
      if (!c.margins.empty()) {
        ASSERT_EQ(CallWith("SetMargins", {c.margins[0], c.margins[1]}), ERR_NONE);
      }
      ASSERT_EQ(CallWith("Locate", {23, 4}), ERR_NONE);
      std::string shown = std::string(pass ? "[b][/b]" : "") + text;
      const bool print = std::string(c.command) == "Print";
      ASSERT_EQ(
          print ? CallWith("Print", {shown.c_str()}) : CallWith("TextOut", {17, 5, shown.c_str()}),
          ERR_NONE);
      uint32_t* argb = ReadBitmapRectARGB(brush->bitmap, 0, 0, BW, BH, 1);
      ASSERT_NE(argb, nullptr);
      results[pass].pixels.assign(argb, argb + BW * BH);
      FreeMemory(argb);
      for (uint32_t& v : results[pass].pixels) v &= 0xFFFFFF;
      results[pass].x = d->textX;
      results[pass].y = d->textY;
    }
    int32_t drawn = 0, partial = 0, differ = 0;
    for (size_t i = 0; i < results[0].pixels.size(); ++i) {
      uint32_t v = results[0].pixels[i];
      drawn += v != 0x102030;
      partial += v != 0x102030 && v != WHITE;
      if (v != results[1].pixels[i] && differ++ < 5)
        ADD_FAILURE() << "at " << i % BW << "," << i / BW << ": " << std::hex << v << " against "
                      << results[1].pixels[i];
    }
    EXPECT_GT(drawn, 100);
    EXPECT_EQ(partial > 0, (c.style & 16) != 0);
    EXPECT_EQ(results[0].x, results[1].x);
    EXPECT_EQ(results[0].y, results[1].y);
  }
  ASSERT_EQ(Call("EndSelect", 0), ERR_NONE);
}

TEST_F(TextLibTest, TextOutLimits) {
  OpenDisplay(false);
  std::vector<Value> words;
  for (int i = 0; i < 32767; ++i) words.push_back(i);
  EXPECT_EQ(
      CallWith("TextOut", {0, 0, "a b", Value::Table({{"wordwraptable", Value::List(words)}})}),
      ERR_INTERNAL);
  words.pop_back();
  EXPECT_EQ(
      CallWith("TextOut", {0, 0, "a b", Value::Table({{"wordwraptable", Value::List(words)}})}),
      ERR_NONE);
  EXPECT_EQ(CallWith("TextOut", {0, 0, "a", -90000, -1}), ERR_WRONGUSAGE);
  EXPECT_EQ(CallWith("TextOut", {0, 0, "a", Value::Table({{"encoding", 2}})}), ERR_WRONGUSAGE);
  EXPECT_EQ(CallWith("TextOut", {0, 0, "\xC3", Value::Table({{"encoding", 1}})}), ERR_INVALIDUTF8);
  ASSERT_EQ(CallWith("SetFontStyle", {16}), ERR_NONE);
  EXPECT_EQ(CallWith("TextOut", {0, 0, "a"}), ERR_ANTIALIAS);
}

// Layout from metrics alone: every expectation is built from MeasureText of
// the pieces.
class TextLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitFontEngines(&topaz), ERR_NONE);
    style = TextStyle{1, 0xFFFFFF, 0, 0x0093DD, 4, 3, 2, topaz};
  }
  void TearDown() override {
    FreeTextRecord(&record);
    ShutdownFontEngines();
  }
  int32_t Width(const char* piece) {
    TextMetrics m;
    EXPECT_EQ(MeasureText(piece, std::strlen(piece), 0, &m, &style), ERR_NONE);
    return m.advance;
  }
  ErrorCode Lay(const char* text, int32_t align, int32_t wrap, TextLayout* out) {
    record.style = style;
    record.align = align;
    record.wrapWidth = wrap;
    EXPECT_EQ(SetTextRecordText(&record, text), ERR_NONE);
    return LayoutText(nullptr, &record, 0, 0, wrap, out);
  }
  FontRecord* topaz = nullptr;
  TextStyle style{};
  TextRecord record{};
};

TEST_F(TextLayoutTest, TabStops) {
  record.tabCount = 2;
  record.tabs[0] = 20;
  record.tabs[1] = 60;
  TextLayout layout;
  ASSERT_EQ(Lay("ab\tc\td\te", ALIGN_LEFT, 0, &layout), ERR_NONE);
  ASSERT_EQ(layout.runs.size(), 4u);
  EXPECT_EQ(layout.runs[1].x, 20);
  EXPECT_EQ(layout.runs[2].x, 60);
  EXPECT_EQ(layout.runs[3].x, 0);  // no stop left: the tab broke the line
  EXPECT_EQ(layout.runs[3].line, 1);
  ASSERT_EQ(record.tabTableCount, 3);
  EXPECT_EQ(std::vector<int32_t>(record.tabTable, record.tabTable + 3),
            (std::vector<int32_t>{0, 1, -1}));
  FreeTextRecord(&record);
  record.tabCount = 0;
  TextLayout noStops;
  ASSERT_EQ(Lay("a\tb", ALIGN_LEFT, 0, &noStops), ERR_NONE);
  ASSERT_EQ(noStops.runs.size(), 2u);
  EXPECT_EQ(noStops.runs[1].line, 1);
}

TEST_F(TextLayoutTest, WrappingIsRecordedAndReplayed) {
  const char* text = "one two three four";
  int32_t wrap = Width("one two ") + Width("thr");  // "three" does not fit after "two "
  TextLayout layout;
  ASSERT_EQ(Lay(text, ALIGN_LEFT, wrap, &layout), ERR_NONE);
  ASSERT_EQ(record.wrapCount, 1);
  EXPECT_EQ(record.wrapTable[0], 2);
  EXPECT_EQ(layout.lines, 2);
  // A given table is replayed whatever the width.
  FreeTextRecord(&record);
  const int32_t given[] = {1, 3};
  record.wrapTable = static_cast<int32_t*>(AllocMemoryArray(2, sizeof(int32_t), 0));
  std::memcpy(record.wrapTable, given, sizeof given);
  record.wrapCount = 2;
  record.wrapTableSet = 1;
  TextLayout replay;
  ASSERT_EQ(Lay(text, ALIGN_LEFT, 10000, &replay), ERR_NONE);
  EXPECT_EQ(replay.lines, 3);
  ASSERT_EQ(replay.runs.size(), 3u);
  EXPECT_EQ(replay.runs[1].x, 0);
  EXPECT_EQ(replay.runs[1].line, 1);
  EXPECT_EQ(replay.runs[2].line, 2);
}

TEST_F(TextLayoutTest, AlignmentWithinTheWidestLine) {
  struct Case {
    int32_t align;
    const char* text;
    int32_t wrap;
    std::vector<int32_t> shortLineShift;  // per run of line 1, its shift
  };
  const int32_t wide = Width("abcdef"), narrow = Width("ab");
  const int32_t rest = wide - narrow;
  const Case cases[] = {
      {ALIGN_LEFT, "abcdef\nab", 0, {0}},
      {ALIGN_CENTER, "abcdef\nab", 0, {rest / 2}},
      {ALIGN_RIGHT, "abcdef\nab", 0, {rest}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.align);
    FreeTextRecord(&record);
    TextLayout layout;
    ASSERT_EQ(Lay(c.text, c.align, c.wrap, &layout), ERR_NONE);
    TextBlock block;
    ASSERT_EQ(EdgeDraw(layout, c.align, c.wrap, 0, &block), ERR_NONE);
    EXPECT_EQ(block.width, wide);
    // The short line's first lit column.
    int32_t first = -1;
    for (int32_t x = 0; x < block.width && first < 0; ++x)
      for (int32_t y = 8; y < 16; ++y)
        if (block.pixels[static_cast<size_t>(y) * block.width + x] >> 24) {
          first = x;
          break;
        }
    int32_t inkStart = -1;
    for (int32_t x = 0; x < 8 && inkStart < 0; ++x)
      for (int32_t y = 0; y < 8; ++y)
        if (TopazBit('a', x, y)) {
          inkStart = x;
          break;
        }
    EXPECT_EQ(first, c.shortLineShift[0] + inkStart);
  }
}

TEST_F(TextLayoutTest, JustifiedFillsAllButALooseLastLine) {
  // Topaz: 8 pixels a character, so a space is 8 and two spaces 16.
  struct Case {
    const char* text;
    int32_t wrap;
    int32_t line;    // the line looked at
    bool stretched;  // its last ink reaches the widest line's
  };
  const Case cases[] = {
      {"aa b cccccccc", 64, 0, true},       // a wrapped line always fills the width
      {"cccccccc\naa b", 0, 1, false},      // a last line whose one gap would grow by 32
      {"ccccccccc\naaa bb c", 0, 1, true},  // two gaps growing by 4 each
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FreeTextRecord(&record);
    TextLayout layout;
    ASSERT_EQ(Lay(c.text, ALIGN_JUSTIFIED, c.wrap, &layout), ERR_NONE);
    TextBlock block;
    ASSERT_EQ(EdgeDraw(layout, ALIGN_JUSTIFIED, c.wrap, 0, &block), ERR_NONE);
    auto lastLit = [&](int32_t line) {
      int32_t last = -1;
      for (int32_t y = line * 8; y < line * 8 + 8; ++y)
        for (int32_t x = 0; x < block.width; ++x)
          if (block.pixels[static_cast<size_t>(y) * block.width + x] >> 24)
            last = std::max(last, x);
      return last;
    };
    int32_t widest = std::max(lastLit(0), lastLit(1));
    EXPECT_EQ(lastLit(c.line) == widest, c.stretched) << lastLit(c.line) << " of " << widest;
  }
}

TEST(TextEdgeBuilders, AccumulatedEdgeMatchesAReferenceSum) {
  // A reference accumulation in 64 bits: sum over the square, / (2e+1),
  // capped at 255, times the opacity. Full coverage at e = 8 sums past
  // 16 bits.
  std::mt19937 random(7);
  for (int32_t e : {1, 8, 64}) {
    SCOPED_TRACE(e);
    Coverage8 source;
    source.width = 23;
    source.height = 17;
    source.bytes.resize(23 * 17);
    for (uint8_t& b : source.bytes) b = random() % 3 ? 255 : static_cast<uint8_t>(random());
    for (int32_t opacity : {255, 100}) {
      Coverage8 edged;
      BuildEdgeAlpha(source, e, opacity, &edged);
      ASSERT_EQ(edged.width, 23 + 2 * e);
      ASSERT_EQ(edged.height, 17 + 2 * e);
      int32_t bad = 0;
      for (int32_t y = 0; y < edged.height; ++y)
        for (int32_t x = 0; x < edged.width; ++x) {
          int64_t sum = 0;
          for (int32_t dy = -2 * e; dy <= 0; ++dy)
            for (int32_t dx = -2 * e; dx <= 0; ++dx) sum += source.at(x + dx, y + dy);
          int64_t v = std::min<int64_t>(sum / (2 * e + 1), 255);
          int64_t expected = (v * opacity + 127) / 255;
          if (edged.at(x, y) != expected && bad++ < 3)
            ADD_FAILURE() << x << "," << y << ": " << int(edged.at(x, y)) << " != " << expected;
        }
    }
  }
  Coverage8 huge;
  huge.width = huge.height = 1;
  huge.bytes.assign(1, 255);
  Coverage8 out;
  EXPECT_EQ(BuildOutlineCoverage(huge, int64_t{1} << 40, true, &out), ERR_BITMAP);
  ASSERT_EQ(BuildOutlineCoverage(huge, 2, false, &out), ERR_NONE);
  EXPECT_EQ(out.width, 6);
  EXPECT_EQ(out.height, 6);
}

// ---- Text objects ----

// The image of a text object as 0xAARRGGBB (alpha from its mask or alpha
// channel).
std::vector<uint32_t> ObjectPixels(VmState* L, int32_t id, int32_t* w, int32_t* h) {
  TextObject* o = nullptr;
  EXPECT_EQ(GetTextObject(L, ObjectId{nullptr, id}, &o, 0), ERR_NONE);
  if (!o) return {};
  TextObjectImage image;
  GetTextObjectImage(o, &image);
  *w = image.width;
  *h = image.height;
  uint32_t* argb =
      BitmapToARGBWithAlpha(image.bitmap, image.mask, image.alpha, image.width, image.height);
  std::vector<uint32_t> out(argb, argb + static_cast<size_t>(image.width) * image.height);
  FreeMemory(argb);
  return out;
}

TEST_F(TextLibTest, DisplayFontAttributesAreTheCurrentFonts) {
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenGraphicsLibrary(L), ERR_NONE);
  VmSetTop(L, 0);
  OpenDisplay(false);
  // GetAttribute of the display and of a text object made now, as text.
  auto attribute = [&](int32_t type, int32_t attr) {
    for (double n : {double(type), 1.0, double(attr)}) VmPushNumber(L, n);
    std::string out;
    ErrorCode e = testcall::CallCollecting(L, "GetAttribute", 3, [&](VmState* S, int i) {
      if (VmType(S, i) == VM_TYPE_STRING)
        out = VmToString(S, i);
      else if (VmType(S, i) == VM_TYPE_BOOLEAN)
        out = VmToBoolean(S, i) ? "true" : "false";
      else
        out = std::to_string(VmToNumber(S, i));
    });
    return e ? "error " + std::to_string(e) : out;
  };
  const int32_t FONT_ATTRIBUTES[] = {ATTRFONTASCENDER, ATTRFONTDESCENDER, ATTRFONTNAME,
                                     ATTRFONTSIZE,     ATTRFONTSCALABLE,  ATTRFONTAA};
  auto expectLikeATextObject = [&] {
    ASSERT_EQ(CallWith("CreateTextObject", {1, "Hi"}), ERR_NONE);
    for (int32_t a : FONT_ATTRIBUTES)
      EXPECT_EQ(attribute(OBJTYPE_DISPLAY, a), attribute(OBJTYPE_TEXTOBJECT, a)) << a;
  };
  EXPECT_EQ(attribute(OBJTYPE_DISPLAY, ATTRFONTNAME), "topaz");
  EXPECT_EQ(attribute(OBJTYPE_DISPLAY, ATTRFONTSIZE), std::to_string(8.0));
  expectLikeATextObject();
  ASSERT_EQ(CallWith("SetFont", {":::default_sans", 20}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFontStyle", {16}), ERR_NONE);
  EXPECT_EQ(attribute(OBJTYPE_DISPLAY, ATTRFONTSIZE), std::to_string(20.0));
  // True, as every yes-or-no attribute gives it: the number 1.
  EXPECT_EQ(attribute(OBJTYPE_DISPLAY, ATTRFONTSCALABLE), std::to_string(1.0));
  EXPECT_EQ(attribute(OBJTYPE_DISPLAY, ATTRFONTAA), std::to_string(1.0));
  EXPECT_NE(attribute(OBJTYPE_DISPLAY, ATTRFONTNAME), "topaz");
  expectLikeATextObject();
}

TEST_F(TextLibTest, TextLayersAnswerTheirFontAndText) {
  VmPushValue(L, VM_GLOBALS_INDEX);
  ASSERT_EQ(OpenGraphicsLibrary(L), ERR_NONE);
  VmSetTop(L, 0);
  OpenDisplay(true);
  auto attribute = [&](int32_t layer, int32_t attr) {
    for (double n : {double(OBJTYPE_LAYER), double(layer), double(attr)}) VmPushNumber(L, n);
    std::string out;
    ErrorCode e = testcall::CallCollecting(L, "GetAttribute", 3, [&](VmState* S, int i) {
      out = VmType(S, i) == VM_TYPE_STRING ? VmToString(S, i) : std::to_string(VmToNumber(S, i));
    });
    return e ? "error " + std::to_string(e) : out;
  };
  ASSERT_EQ(CallWith("Print", {"Hi"}), ERR_NONE);
  ASSERT_EQ(CallWith("TextOut", {0, 40, "Yo"}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateTextObject", {1, "Ok"}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayTextObject", {1, 30, 60}), ERR_NONE);
  ASSERT_EQ(CountLayers(d->bgpic), 3);
  // A later font and a freed object change nothing the layers show.
  ASSERT_EQ(CallWith("SetFont", {":::default_sans", 20}), ERR_NONE);
  ASSERT_EQ(CallWith("FreeTextObject", {1}), ERR_NONE);
  const char* texts[] = {"Hi", "Yo", "Ok"};
  for (int32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(texts[i]);
    EXPECT_EQ(attribute(i + 1, ATTRTEXT), texts[i]);
    EXPECT_EQ(attribute(i + 1, ATTRFONTNAME), "topaz");
    EXPECT_EQ(attribute(i + 1, ATTRFONTSIZE), std::to_string(8.0));
    EXPECT_EQ(attribute(i + 1, ATTRFONTASCENDER), std::to_string(6.0));
  }
}

// The text fields of a layer style: a change lays the text out again in
// the layer's place; GetLayerStyle gives the fields back.
TEST_F(TextLibTest, TextAndPrintLayersTakeTheirStyleFields) {
  constexpr uint32_t RED = 0xFF0000;
  OpenDisplay(true);
  ASSERT_EQ(CallWith("TextOut", {10, 20, "Hi"}), ERR_NONE);
  ASSERT_EQ(CallWith("Locate", {0, 50}), ERR_NONE);
  ASSERT_EQ(CallWith("Print", {"ab"}), ERR_NONE);
  auto style = [&](int layer, const Value& table) {
    return CallWith("SetLayerStyle", {layer, table});
  };
  auto field = [&](int layer, const char* name, int index = -1) {
    PushLayerStyle(L, GetCurrentLayerAt(layer));
    VmPushString(L, name);
    VmGetTable(L, -2);
    if (index >= 0) VmRawGetI(L, -1, index);
    std::string out =
        VmType(L, -1) == VM_TYPE_STRING ? VmToString(L, -1) : std::to_string(VmToNumber(L, -1));
    VmSetTop(L, 0);
    return out;
  };
  EXPECT_EQ(field(1, "text"), "Hi");
  ASSERT_EQ(style(1, Value::Table({{"text", "Yo"}, {"color", static_cast<double>(RED)}})),
            ERR_NONE);
  EXPECT_EQ(CountFXLayers(), 2);
  EXPECT_EQ(GetCurrentLayerAt(1)->type, LAYER_TEXTOUT);
  EXPECT_EQ(field(1, "text"), "Yo");
  EXPECT_EQ(field(1, "color"), std::to_string(double(RED)));
  ExpectArea(
      10, 20, 24, 8, [](int32_t x, int32_t y) { return TextBit("Yo", x, y) ? RED : 0u; },
      "restyled TextOut");
  // The edge bit switches the layer's border on instead of the text's.
  ASSERT_EQ(style(1, Value::Table({{"fontstyle", 64}})), ERR_NONE);
  EXPECT_EQ(GetCurrentLayerAt(1)->border.on, 1);
  EXPECT_EQ(field(1, "fontstyle"), std::to_string(1.0));
  // A font field opens the font anew: the text is laid out at its size.
  ASSERT_EQ(style(1, Value::Table({{"font", ":::default_sans"}, {"fontsize", 20}})), ERR_NONE);
  EXPECT_EQ(field(1, "fontsize"), std::to_string(20.0));
  EXPECT_GE(GetCurrentLayerAt(1)->base->height, 20);
  EXPECT_EQ(CallWith("SetLayerStyle", {1, Value::Table({{"font", "no such font"}})}), ERR_OPENFONT);

  // Print layers: tab stops kept ascending, at most 31 of them.
  ASSERT_EQ(style(2, Value::Table({{"tabs", Value::List({40, 8})}})), ERR_NONE);
  EXPECT_EQ(field(2, "tabs", 0), std::to_string(8.0));
  EXPECT_EQ(field(2, "tabs", 1), std::to_string(40.0));
  std::vector<Value> many;
  for (int i = 0; i < 32; ++i) many.push_back(i * 4);
  struct Refusal {
    const char* name;
    int layer;
    Value table;
    ErrorCode code;
  };
  const Refusal refusals[] = {
      {"32 tab stops", 2, Value::Table({{"tabs", Value::List(many)}}), ERR_INTERNAL},
      {"a tab stop that is no number", 2, Value::Table({{"tabs", Value::List({"x"})}}),
       ERR_NUMTABLEARG},
      {"a negative left margin", 2, Value::Table({{"leftmargin", -1}}), ERR_WRONGUSAGE},
      {"encoding 2", 1, Value::Table({{"encoding", 2}}), ERR_WRONGUSAGE},
  };
  for (const Refusal& r : refusals) EXPECT_EQ(style(r.layer, r.table), r.code) << r.name;
  ASSERT_EQ(style(2, Value::Table({{"text", "cd"}})), ERR_NONE);
  EXPECT_EQ(GetCurrentLayerAt(2)->type, LAYER_PRINT);
  ExpectArea(
      0, 50, 24, 8, [](int32_t x, int32_t y) { return TextBit("cd", x, y) ? WHITE : 0u; },
      "restyled Print");
}

TEST_F(TextLibTest, TextObjectsAreCopiedAndFreed) {
  OpenDisplay(false);
  ASSERT_EQ(CallWith("CreateTextObject", {1, "Hi"}), ERR_NONE);
  int32_t w = 0, h = 0;
  std::vector<uint32_t> pixels = ObjectPixels(L, 1, &w, &h);
  ASSERT_EQ(w, 16);
  ASSERT_EQ(h, 9);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      ASSERT_EQ(pixels[static_cast<size_t>(y) * w + x] >> 24 != 0, TextBit("Hi", x, y));
  EXPECT_EQ(CallWith("CopyTextObject", {1, 1}), ERR_WRONGUSAGE);
  ASSERT_EQ(CallWith("CopyTextObject", {1, 2}), ERR_NONE);
  int32_t w2 = 0, h2 = 0;
  EXPECT_EQ(ObjectPixels(L, 2, &w2, &h2), pixels);
  EXPECT_EQ(CallWith("FreeTextObject", {3}), ERR_FINDTEXTOBJECT);
  EXPECT_EQ(CallWith("CreateTextObject", {4, "a", -90000, -1}), ERR_WRONGUSAGE);
  ASSERT_EQ(CallWith("DisplayTextObject", {2, 30, 40}), ERR_NONE);
  ExpectArea(
      30, 40, 16, 8, [](int32_t x, int32_t y) { return TextBit("Hi", x, y) ? WHITE : 0u; },
      "displayed object");
  // A brush made of the object has its pixels.
  ASSERT_EQ(CallWith("ConvertToBrush", {8, 2, 5}), ERR_NONE);
  EXPECT_EQ(CallWith("FreeTextObject", {2}), ERR_NONE);
  EXPECT_EQ(CallWith("FreeTextObject", {2}), ERR_FINDTEXTOBJECT);
}

TEST_F(TextLibTest, AFreedTextObjectStaysWithItsLayer) {
  OpenDisplay(true);
  ASSERT_EQ(CallWith("CreateTextObject", {1, "Hi"}), ERR_NONE);
  ASSERT_EQ(CallWith("DisplayTextObject", {1, 30, 40}), ERR_NONE);
  ASSERT_EQ(CountLayers(d->bgpic), 1);
  auto hi = [](int32_t x, int32_t y) { return TextBit("Hi", x, y) ? WHITE : 0u; };
  ExpectArea(30, 40, 16, 8, hi, "layer");
  ASSERT_EQ(CallWith("FreeTextObject", {1}), ERR_NONE);
  // The identifier is free at once; the layer keeps the old look.
  ASSERT_EQ(CallWith("CreateTextObject", {1, "Yo"}), ERR_NONE);
  ASSERT_EQ(CallWith("RotateTextObject", {1, 90}), ERR_NONE);
  ExpectArea(30, 40, 16, 8, hi, "layer after the free");
  // A change of a shown object leaves its layer with the previous look.
  ASSERT_EQ(CallWith("DisplayTextObject", {1, 100, 40}), ERR_NONE);
  ASSERT_EQ(CallWith("ScaleTextObject", {1, 32, 32}), ERR_NONE);
  ASSERT_EQ(CallWith("RemoveLayer", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("RemoveLayer", {1}), ERR_NONE);
  ExpectArea(
      30, 40, 16, 8, [](int32_t, int32_t) { return 0u; }, "removed");
}

TEST_F(TextLibTest, TextObjectsRenderAnewWhenScaledOrRotated) {
  OpenDisplay(false);
  // Topaz is not scalable: a quarter turn turns its image.
  ASSERT_EQ(CallWith("CreateTextObject", {1, "Hi"}), ERR_NONE);
  int32_t w = 0, h = 0;
  std::vector<uint32_t> base = ObjectPixels(L, 1, &w, &h);
  ASSERT_EQ(CallWith("RotateTextObject", {1, 90}), ERR_NONE);
  int32_t rw = 0, rh = 0;
  std::vector<uint32_t> turned = ObjectPixels(L, 1, &rw, &rh);
  ASSERT_EQ(rw, h);
  ASSERT_EQ(rh, w);
  // Counter-clockwise, as "convert -rotate -90" turns it: (x, y) goes to
  // (y, w - 1 - x).
  int32_t bad = 0;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      bool set = base[static_cast<size_t>(y) * w + x] >> 24;
      bool turnedSet = turned[static_cast<size_t>(w - 1 - x) * rw + y] >> 24;
      if (set != turnedSet && bad++ < 5) ADD_FAILURE() << x << "," << y;
    }
  ASSERT_EQ(CallWith("RotateTextObject", {1, 360}), ERR_NONE);
  int32_t w0 = 0, h0 = 0;
  EXPECT_EQ(ObjectPixels(L, 1, &w0, &h0), base);
  TextObject* o = nullptr;
  ASSERT_EQ(GetTextObject(L, ObjectId{nullptr, 1}, &o, 0), ERR_NONE);
  TextObjectImage image;
  GetTextObjectImage(o, &image);
  EXPECT_EQ(image.originX, 0);
  EXPECT_EQ(image.originY, 0);

  // Vera is scalable: twice the size is rendered at twice the size, with
  // intermediate coverage, not as 2 x 2 blocks.
  ASSERT_EQ(CallWith("SetFont", {":::default_sans", 20}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFontStyle", {16}), ERR_NONE);
  ASSERT_EQ(CallWith("CreateTextObject", {2, "Ag"}), ERR_NONE);
  std::vector<uint32_t> vera = ObjectPixels(L, 2, &w, &h);
  ASSERT_EQ(CallWith("ScaleTextObject", {2, 2 * w, 2 * h}), ERR_NONE);
  int32_t sw = 0, sh = 0;
  std::vector<uint32_t> big = ObjectPixels(L, 2, &sw, &sh);
  EXPECT_NEAR(sw, 2 * w, 2);
  EXPECT_NEAR(sh, 2 * h, 2);
  int32_t partial = 0, unevenBlocks = 0;
  for (int32_t y = 0; y + 1 < sh; y += 2)
    for (int32_t x = 0; x + 1 < sw; x += 2) {
      uint32_t a = big[static_cast<size_t>(y) * sw + x] >> 24;
      partial += a > 0 && a < 255;
      unevenBlocks += a != big[static_cast<size_t>(y + 1) * sw + x + 1] >> 24;
    }
  EXPECT_GT(partial, 10);
  EXPECT_GT(unevenBlocks, 10);
  ASSERT_EQ(CallWith("ScaleTextObject", {2, w, h}), ERR_NONE);
  int32_t bw = 0, bh = 0;
  EXPECT_EQ(ObjectPixels(L, 2, &bw, &bh), vera);
}

TEST_F(TextLibTest, TextOutWithLayersMovesEffectsIntoTheLayerStyle) {
  OpenDisplay(true);
  ASSERT_EQ(CallWith("SetFontStyle", {64, 0xFF0000, 2}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFontStyle", {32, 0x00FF00, 3, 4}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFontColor", {static_cast<double>(0x40FFFFFFu)}), ERR_NONE);
  ASSERT_EQ(CallWith("TextOut", {100, 40, "Hi"}), ERR_NONE);
  ASSERT_EQ(CountLayers(d->bgpic), 1);
  qmLayer* layer = GetLayerByIndex(d->bgpic, 1);
  EXPECT_EQ(layer->type, LAYER_TEXTOUT);
  EXPECT_EQ(layer->border.on, 1);
  EXPECT_EQ(layer->border.colour, 0xFF0000u);
  EXPECT_EQ(layer->border.size, 2);
  EXPECT_EQ(layer->shadow.on, 1);
  EXPECT_EQ(layer->shadow.colour, 0x00FF00u);
  EXPECT_EQ(layer->shadow.size, 3);
  EXPECT_EQ(layer->shadow.direction, 4);
  EXPECT_EQ(layer->transparency, 0x40);
  // The image itself is the plain glyphs.
  EXPECT_EQ(layer->base->width, 16);
  ASSERT_EQ(CallWith("SetFontStyle", {1}), ERR_NONE);
  ASSERT_EQ(CallWith("SetFontColor", {static_cast<double>(WHITE)}), ERR_NONE);
  ASSERT_EQ(CallWith("Print", {"Hi"}), ERR_NONE);
  ASSERT_EQ(CountLayers(d->bgpic), 2);
  EXPECT_EQ(GetLayerByIndex(d->bgpic, 2)->type, LAYER_PRINT);
  ExpectArea(
      0, 0, 16, 8, [](int32_t x, int32_t y) { return TextBit("Hi", x, y) ? WHITE : 0u; },
      "print layer");
}

}  // namespace

// InKeyStr reads the keys injected through the host before the call.
class LineInputTest : public TextLibTest {
 protected:
  void SetUp() override {
    TextLibTest::SetUp();
    ASSERT_EQ(InitEventQueue(), ERR_NONE);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDrawLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
  }
  void TearDown() override {
    SetDisplayAdapterWait(AdapterWaitEvents);
    waitStep = nullptr;
    FreeDrawTables(L);
    FreeEventQueue(L);
    TextLibTest::TearDown();
  }
  // Replaces the adapter's event wait: each time the input waits for
  // events, the next step runs (it looks at the screen and posts keys).
  static inline std::function<void()> waitStep;
  static bool StepWait(VmState*, ErrorCode* error) {
    *error = ERR_NONE;
    if (waitStep) waitStep();
    return true;
  }
  void Char(uint32_t c) { Host(10, {c}); }
  void Key(int32_t code) {
    Host(4, {static_cast<uintptr_t>(code), 1, 0});
    Host(4, {static_cast<uintptr_t>(code), 0, 0});
  }
  void Host(int32_t kind, std::initializer_list<uintptr_t> words) {
    uintptr_t data[8] = {d->windowHandle};
    size_t i = 1;
    for (uintptr_t w : words) data[i++] = w;
    ASSERT_EQ(PostHostEvent(L, kind, data), ERR_NONE);
  }
  ErrorCode Read(std::vector<Value> args, std::string* typed) {
    for (const Value& a : args) PushValue(L, a);
    return testcall::CallCollecting(L, "InKeyStr", static_cast<int>(args.size()),
                                    [typed](VmState* L, int i) {
                                      const char* s = VmToString(L, i);
                                      typed->assign(s ? s : "", s ? VmStrLen(L, i) : 0);
                                    });
  }
};

TEST_F(LineInputTest, TypedLinesAreEditedAndPrinted) {
  constexpr int32_t RIGHT = 258, LEFT = 259, BACKSPACE = 271, RETURN = 274, SPACE = 276, DEL = 277;
  struct Step {
    uint32_t c;   // a typed character, or 0
    int32_t key;  // a key, or 0
  };
  struct Case {
    const char* name;
    std::vector<Value> args;
    std::vector<Step> steps;
    std::string typed, printed;
  };
  auto chars = [](const char* s) {
    std::vector<Step> steps;
    for (; *s; ++s) steps.push_back({static_cast<unsigned char>(*s), 0});
    return steps;
  };
  auto join = [](std::vector<Step> a, std::vector<Step> b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::string ae = GetDefaultTextEncoding() == 1 ? "\xC3\xA4\xC3\xB6" : "\xE4\xF6";
  const Case cases[] = {
      {"numerical, at most 3", {3, 3}, chars("12a34"), "123", "123"},
      {"backspace and delete at the cursor",
       {0, 0, 0, 1},
       join(chars("abc"),
            {{0, BACKSPACE}, {0, LEFT}, {0, LEFT}, {0, DEL}, {'x', 0}, {0, RIGHT}, {'y', 0}}),
       "xby",
       "xby"},
      {"cursor keys need the cursor", {0}, join(chars("ab"), {{0, LEFT}, {'c', 0}}), "abc", "abc"},
      {"a space comes once", {0}, {{'a', 0}, {0, SPACE}, {' ', 0}, {'b', 0}}, "a b", "a b"},
      {"brackets are literal", {0}, chars("[b]x"), "[b]x", "[b]x"},
      {"letters only", {2}, chars("a1b2"), "ab", "ab"},
      {"hexadecimal", {4}, chars("fg0Z"), "f0", "f0"},
      {"password", {0, 0, 1}, {{0xE4, 0}, {0xF6, 0}}, ae, "**"},
  };
  OpenDisplay(false);
  int32_t row = 8;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(CallWith("Locate", {16, row}), ERR_NONE);
    for (const Step& s : c.steps) {
      if (s.c) Char(s.c);
      if (s.key) Key(s.key);
    }
    Key(RETURN);
    std::string typed;
    ASSERT_EQ(Read(c.args, &typed), ERR_NONE);
    EXPECT_EQ(typed, c.typed);
    // The echo is gone: only the final print remains, the cursor behind it.
    EXPECT_EQ(d->layers, 0);
    EXPECT_EQ(CountFXLayers(), 0);
    EXPECT_EQ(d->textX, 16 + 8 * static_cast<int32_t>(c.printed.size()));
    EXPECT_EQ(d->textY, row);
    ExpectArea(
        16, row, 8 * static_cast<int32_t>(c.printed.size()) + 8, 8,
        [&](int32_t x, int32_t y) { return TextBit(c.printed, x, y) ? WHITE : 0u; }, c.name);
    row += 10;
  }
}

// With the cursor argument a one-pixel box of the font colour, as high as a
// line, stands at the insertion point while the echo of each character
// moves aside for inserted ones and closes up behind removed ones.
TEST_F(LineInputTest, CursorBoxFollowsTheInsertionPointAndTheEchoShifts) {
  constexpr int32_t LEFT = 259, BACKSPACE = 271, RETURN = 274, X0 = 16, Y0 = 20;
  struct Step {
    std::string shown;  // the echo on screen when the input waits
    int32_t point;      // the insertion point in characters
    std::vector<int32_t> keys;
    uint32_t c;  // then typed, or 0
  };
  const std::vector<Step> steps = {
      {"abc", 3, {LEFT, LEFT}, 0}, {"abc", 1, {}, 'x'}, {"axbc", 2, {BACKSPACE}, 0},
      {"abc", 1, {BACKSPACE}, 0},  {"bc", 0, {}, 0},
  };
  OpenDisplay(false);
  ASSERT_EQ(CallWith("Locate", {X0, Y0}), ERR_NONE);
  for (char c : std::string("abc")) Char(static_cast<unsigned char>(c));
  size_t next = 0;
  waitStep = [&] {
    if (next >= steps.size()) {
      Key(RETURN);
      return;
    }
    const Step& s = steps[next++];
    SCOPED_TRACE("wait " + std::to_string(next) + ": " + s.shown);
    const int32_t boxX = X0 + 8 * s.point;
    qmLayer* box = nullptr;
    for (int32_t i = 1; i <= CountFXLayers(); ++i)
      if (GetCurrentLayerAt(i)->type == SHAPE_BOX) box = GetCurrentLayerAt(i);
    EXPECT_EQ(CountFXLayers(), static_cast<int32_t>(s.shown.size()) + 1);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->display->x, boxX);
    EXPECT_EQ(box->display->y, Y0);
    EXPECT_EQ(box->display->width, 1);
    EXPECT_EQ(box->display->height, 8);
    EXPECT_EQ(d->textX, boxX);
    ExpectArea(
        X0, Y0, 8 * static_cast<int32_t>(s.shown.size()) + 8, 8,
        [&](int32_t x, int32_t y) { return X0 + x == boxX || TextBit(s.shown, x, y) ? WHITE : 0u; },
        s.shown.c_str());
    for (int32_t k : s.keys) Key(k);
    if (s.c) Char(s.c);
  };
  SetDisplayAdapterWait(StepWait);
  std::string typed;
  ASSERT_EQ(Read({0, 0, 0, 1}, &typed), ERR_NONE);
  EXPECT_EQ(next, steps.size());
  EXPECT_EQ(typed, "bc");
  EXPECT_EQ(CountFXLayers(), 0);
  ExpectArea(
      X0, Y0, 40, 8, [](int32_t x, int32_t y) { return TextBit("bc", x, y) ? WHITE : 0u; },
      "final print");
}

TEST_F(LineInputTest, OutputTargetsThatRefuseInput) {
  OpenDisplay(false);
  struct Case {
    const char* name;
    int32_t outputKind, doubleBuffer, collectRefreshes;
    bool animFrame;  // the selected brush is an anim's frame
    ErrorCode code;
  };
  const Case cases[] = {
      {"brush", OBJECT_BRUSH, 0, 0, false, ERR_SELECTBRUSH},
      {"brush while double buffering", OBJECT_BRUSH, 1, 0, false, ERR_ENDDOUBLEBUFFER},
      {"anim frame", OBJECT_BRUSH, 0, 0, true, ERR_SELECTANIM},
      {"background picture", OBJECT_BGPIC, 0, 0, false, ERR_SELECTBG},
      {"mask", OUTPUT_MASK, 0, 0, false, ERR_SELECTMASK},
      {"alpha channel", OUTPUT_ALPHA, 0, 0, false, ERR_SELECTALPHACHANNEL},
      {"refresh bracket", d->outputKind, 0, 1, false, ERR_BEGINREFRESH},
  };
  const int32_t kind = d->outputKind, buffered = d->doubleBuffer;
  BGPic* const device = d->deviceRecord;
  BGPic animDevice{};
  animDevice.selectionKind = OBJTYPE_ANIM;
  for (const Case& c : cases) {
    d->outputKind = c.outputKind;
    d->doubleBuffer = c.doubleBuffer;
    d->collectRefreshes = c.collectRefreshes;
    if (c.animFrame) d->deviceRecord = &animDevice;
    std::string typed;
    EXPECT_EQ(Read({0}, &typed), c.code) << c.name;
    d->outputKind = kind;
    d->doubleBuffer = buffered;
    d->collectRefreshes = 0;
    d->deviceRecord = device;
  }
}
