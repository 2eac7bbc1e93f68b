// Formatted text layout: the text request's copies, measuring a run with
// the effects of its style, the inline tag parser and the one pass that
// splits the text into runs of one style on one line, at newlines, tab
// stops and the word-wrap width.
//
// Invariant: every byte of a run lies in the layout's scratch text, and
// runs are in text order; a re-layout of a record whose tables are set
// breaks the same words and reaches the same stops whatever the widths.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "text/layout_private.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int32_t* copyInts(const int32_t* from, int32_t count) {
  if (!from || count <= 0) return nullptr;
  auto* to =
      static_cast<int32_t*>(AllocMemoryArray(static_cast<size_t>(count), sizeof(int32_t), 0));
  if (to) std::memcpy(to, from, static_cast<size_t>(count) * sizeof(int32_t));
  return to;
}

// ---- Tag parser ----

enum ItemKind : uint8_t { ITEM_CHARS, ITEM_SPACE, ITEM_TAB, ITEM_NEWLINE, ITEM_STYLE };

struct Item {
  ItemKind kind;
  size_t start, length;  // ITEM_CHARS and ITEM_SPACE: bytes of the scratch text
  int32_t style;         // index into the parser's styles
};

struct Parser {
  VmState* L;
  const char* text;
  size_t length;
  size_t i = 0;
  bool literal;
  std::vector<char>* scratch;
  std::vector<Item> items;
  std::vector<TextStyle> styles;
  // Colours in force before each open colour tag; grows with the tags
  // rather than being sized by counting them beforehand.
  std::vector<uint32_t> colours;

  TextStyle& current() { return styles.back(); }

  void addChar(char c) {
    ItemKind kind = c == ' ' ? ITEM_SPACE : ITEM_CHARS;
    size_t at = scratch->size();
    scratch->push_back(c);
    int32_t style = static_cast<int32_t>(styles.size()) - 1;
    if (kind == ITEM_CHARS && !items.empty() && items.back().kind == ITEM_CHARS &&
        items.back().style == style && items.back().start + items.back().length == at) {
      items.back().length++;
      return;
    }
    items.push_back(Item{kind, at, 1, style});
  }
  void addMark(ItemKind kind) {
    items.push_back(Item{kind, 0, 0, static_cast<int32_t>(styles.size()) - 1});
  }
  void newStyle(const TextStyle& s) {
    styles.push_back(s);
    items.push_back(Item{ITEM_STYLE, 0, 0, static_cast<int32_t>(styles.size()) - 1});
  }

  void skipBlanks() {
    while (i < length && isBlank(text[i])) ++i;
  }

  // One value: a number of the shared parser (fractions truncated) or a
  // "#" constant of the script.
  ErrorCode value(int64_t* out) {
    skipBlanks();
    if (i >= length || text[i] == '"') return ERR_VALUEEXPECTED;
    if (text[i] == '#') {
      size_t start = ++i;
      while (i < length && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_'))
        ++i;
      std::string name(text + start, i - start);
      const char* constantText = nullptr;
      double number = 0;
      if (name.empty() || !VmFindConstant(L, name.c_str(), &constantText, &number) || constantText)
        return ERR_VALUEEXPECTED;
      // A number that no 64-bit integer holds counts as 0.
      if (!VmIntegerOf(number, out)) *out = 0;
      return ERR_NONE;
    }
    // The number parser reads a terminated text: copy the candidate.
    size_t end = i;
    while (end < length && !isBlank(text[end]) && text[end] != ',' && text[end] != ']') ++end;
    std::string candidate(text + i, end - i);
    size_t used = 0;
    ErrorCode error = ERR_NONE;
    double number = ParseNumberString(candidate.c_str(), &used, &error);
    if (error || used == 0) return ERR_VALUEEXPECTED;
    i += used;
    // A number that no 64-bit integer holds counts as 0, as above.
    if (!VmIntegerOf(number, out)) *out = 0;
    return ERR_NONE;
  }

  // Up to max comma-separated values after "=".
  ErrorCode values(int64_t* out, int max, int* count) {
    *count = 0;
    for (;;) {
      if (ErrorCode e = value(&out[*count])) return e;
      ++*count;
      skipBlanks();
      if (*count < max && i < length && text[i] == ',') {
        ++i;
        continue;
      }
      return ERR_NONE;
    }
  }

  ErrorCode closeTag() {
    skipBlanks();
    if (i >= length || text[i] != ']') return ERR_SQBRACKETCLOSE;
    ++i;
    return ERR_NONE;
  }

  ErrorCode tag() {
    ++i;  // the "["
    skipBlanks();
    bool closing = false;
    if (i < length && text[i] == '/') {
      closing = true;
      ++i;
      skipBlanks();
    }
    size_t start = i;
    while (i < length && std::isalpha(static_cast<unsigned char>(text[i]))) ++i;
    std::string name;
    for (size_t k = start; k < i; ++k) name.push_back(lower(text[k]));
    TextStyle s = current();
    if (name == "b" || name == "i" || name == "u") {
      if (i < length && !isBlank(text[i]) && text[i] != ']') return ERR_UNKTEXTFMT;
      int32_t bit = name == "b"   ? TEXTSTYLE_BOLD
                    : name == "i" ? TEXTSTYLE_ITALIC
                                  : TEXTSTYLE_UNDERLINED;
      s.flags = closing ? s.flags & ~bit : s.flags | bit;
    } else if (name == "color") {
      if (closing) {
        if (colours.empty()) return ERR_TEXTSYNTAX;
        s.fontColor = colours.back();
        colours.pop_back();
      } else {
        skipBlanks();
        if (i >= length || text[i] != '=') return ERR_TEXTARG;
        ++i;
        skipBlanks();
        if (i >= length || text[i] == ']') return ERR_TEXTARG;
        int64_t v[1];
        int n = 0;
        if (ErrorCode e = values(v, 1, &n)) return e;
        colours.push_back(s.fontColor);
        s.fontColor = static_cast<uint32_t>(v[0]);
      }
    } else if (name == "shadow" || name == "edge") {
      bool shadow = name == "shadow";
      int32_t bit = shadow ? TEXTSTYLE_SHADOW : TEXTSTYLE_EDGE;
      if (closing) {
        s.flags &= ~bit;
      } else {
        s.flags |= bit;
        skipBlanks();
        if (i < length && text[i] == '=') {
          ++i;
          int64_t v[3];
          int n = 0;
          if (ErrorCode e = values(v, shadow ? 3 : 2, &n)) return e;
          int64_t limit = shadow ? MAX_EFFECT_SIZE : MAX_EDGE_TAG;
          if (n >= 2 && (v[1] < 1 || v[1] > limit)) return ERR_WRONGUSAGE;
          if (shadow) {
            if (n >= 1) s.shadowColor = static_cast<uint32_t>(v[0]);
            if (n >= 2) s.shadowSize = static_cast<int32_t>(v[1] & 0xFF);
            if (n >= 3) s.shadowDirection = static_cast<int32_t>(v[2] & 0xFF);
          } else {
            if (n >= 1) s.edgeColor = static_cast<uint32_t>(v[0]);
            if (n >= 2) s.edgeSize = static_cast<int32_t>(v[1] & 0xFF);
          }
        }
      }
    } else {
      return ERR_UNKTEXTFMT;
    }
    if (ErrorCode e = closeTag()) return e;
    newStyle(s);
    return ERR_NONE;
  }

  ErrorCode run() {
    while (i < length) {
      char c = text[i];
      if (c == '[' || c == ']') {
        if (i + 1 < length && text[i + 1] == c) {
          addChar(c);
          i += 2;
          continue;
        }
        if (literal) {
          addChar(c);
          ++i;
          continue;
        }
        if (c == ']') return ERR_TEXTSYNTAX;
        if (ErrorCode e = tag()) return e;
        continue;
      }
      ++i;
      if (c == '\r') continue;
      if (c == '\n') {
        addMark(ITEM_NEWLINE);
      } else if (c == '\t') {
        addMark(ITEM_TAB);
      } else {
        addChar(c);
      }
    }
    return ERR_NONE;
  }
};

// ---- Layout ----

struct Layouter {
  TextRecord* record = nullptr;
  Parser* parser = nullptr;
  TextLayout* out = nullptr;
  int32_t wrapWidth = 0;
  bool justified = false;
  int32_t x = 0;
  int32_t line = 0;
  bool lineHasRuns = false;
  bool gapPending = true;
  TextRun* open = nullptr;  // the run that characters extend
  std::vector<int32_t> wraps, tabs;
  size_t wrapReplay = 0, tabReplay = 0;

  ErrorCode advanceOf(size_t start, size_t length, const TextStyle& s, int32_t* width) {
    TextMetrics m;
    if (ErrorCode e = MeasureText(out->scratch.data() + start, length, record->encoding, &m, &s))
      return e;
    *width = m.advance;
    return ERR_NONE;
  }

  void endRun() { open = nullptr; }

  void newLine(bool wrapped) {
    endRun();
    out->lineWrapped.resize(static_cast<size_t>(line) + 1, 0);
    out->lineWrapped[static_cast<size_t>(line)] = wrapped ? 1 : 0;
    ++line;
    x = 0;
    lineHasRuns = false;
    gapPending = true;
  }

  ErrorCode place(const Item& item) {
    const TextStyle& s = parser->styles[static_cast<size_t>(item.style)];
    if (item.kind == ITEM_SPACE && justified) {
      endRun();
      x += out->spaceWidth;
      gapPending = true;
      return ERR_NONE;
    }
    int32_t width = 0;
    if (ErrorCode e = advanceOf(item.start, item.length, s, &width)) return e;
    bool extend = open && open->line == line && open->start + open->length == item.start &&
                  std::memcmp(&open->style, &s, sizeof s) == 0;
    if (extend) {
      open->length += item.length;
    } else {
      TextRun r{};
      r.start = item.start;
      r.length = item.length;
      r.x = x;
      r.line = line;
      r.y = line * out->lineHeight;
      r.followsGap = gapPending ? 1 : 0;
      r.style = s;
      out->runs.push_back(r);
      open = &out->runs.back();
      lineHasRuns = true;
    }
    gapPending = false;
    x += width;
    return ERR_NONE;
  }

  ErrorCode tab() {
    endRun();
    const int32_t margin = record->leftMargin;
    int32_t entry = -1;
    if (record->tabTableSet) {
      entry =
          tabReplay < static_cast<size_t>(record->tabTableCount) ? record->tabTable[tabReplay] : -1;
      ++tabReplay;
      if (entry >= record->tabCount) entry = -1;
    } else {
      for (int32_t k = 0; k < record->tabCount; ++k) {
        int64_t stop = record->tabs[k];
        if (stop > int64_t{x} + margin) {
          if (!wrapWidth || stop - margin < wrapWidth) entry = k;
          break;
        }
      }
      tabs.push_back(entry);
    }
    if (entry < 0) {
      newLine(true);
      return ERR_NONE;
    }
    x = record->tabs[entry] - margin;
    gapPending = true;
    return ERR_NONE;
  }

  // A word: the items from first up to the next space, tab or newline.
  ErrorCode word(size_t first, size_t end, int32_t number) {
    bool breakHere = false;
    if (record->wrapTableSet) {
      while (wrapReplay < static_cast<size_t>(record->wrapCount) &&
             record->wrapTable[wrapReplay] < number)
        ++wrapReplay;
      if (wrapReplay < static_cast<size_t>(record->wrapCount) &&
          record->wrapTable[wrapReplay] == number) {
        breakHere = lineHasRuns || x > 0;
        ++wrapReplay;
      }
    } else if (wrapWidth > 0 && (lineHasRuns || x > 0)) {
      int64_t width = 0;
      for (size_t k = first; k < end; ++k) {
        const Item& item = parser->items[k];
        if (item.kind != ITEM_CHARS) continue;
        int32_t w = 0;
        if (ErrorCode e =
                advanceOf(item.start, item.length, parser->styles[size_t(item.style)], &w))
          return e;
        width += w;
      }
      if (x + width > wrapWidth) {
        breakHere = true;
        wraps.push_back(number);
      }
    }
    if (breakHere) newLine(true);
    for (size_t k = first; k < end; ++k)
      if (parser->items[k].kind == ITEM_CHARS)
        if (ErrorCode e = place(parser->items[k])) return e;
    return ERR_NONE;
  }

  ErrorCode run() {
    const std::vector<Item>& items = parser->items;
    int32_t number = 0;
    size_t k = 0;
    while (k < items.size()) {
      const Item& item = items[k];
      switch (item.kind) {
        case ITEM_SPACE:
          if (ErrorCode e = place(item)) return e;
          ++k;
          break;
        case ITEM_TAB:
          if (ErrorCode e = tab()) return e;
          ++k;
          break;
        case ITEM_NEWLINE:
          newLine(false);
          ++k;
          break;
        default: {
          size_t end = k;
          while (end < items.size() &&
                 (items[end].kind == ITEM_CHARS || items[end].kind == ITEM_STYLE))
            ++end;
          if (ErrorCode e = word(k, end, number++)) return e;
          k = end;
          break;
        }
      }
    }
    out->lineWrapped.resize(static_cast<size_t>(line) + 1, 0);
    out->lines = line + 1;
    out->endX = x;
    return ERR_NONE;
  }
};

bool isSpaceRun(const std::vector<char>& scratch, const TextRun& r) {
  return r.length > 0 && scratch[r.start + r.length - 1] == ' ';
}

}  // namespace

ErrorCode SetTextRecordText(TextRecord* record, const char* text) {
  size_t n = std::strlen(text);
  auto* copy = static_cast<char*>(AllocMemory(n + 1, 0));
  if (!copy) return ERR_MEM;
  std::memcpy(copy, text, n + 1);
  FreeMemory(record->text);
  record->text = copy;
  return ERR_NONE;
}

ErrorCode CopyTextRecord(const TextRecord* from, TextRecord* to) {
  *to = *from;
  to->text = nullptr;
  to->wrapTable = copyInts(from->wrapTable, from->wrapCount);
  to->tabTable = copyInts(from->tabTable, from->tabTableCount);
  bool ok = (to->wrapTable || from->wrapCount <= 0) && (to->tabTable || from->tabTableCount <= 0);
  if (ok && from->text && SetTextRecordText(to, from->text)) ok = false;
  if (!ok) {
    FreeTextRecord(to);
    return ERR_MEM;
  }
  return ERR_NONE;
}

void FreeTextRecord(TextRecord* record) {
  if (!record) return;
  FreeMemory(record->text);
  FreeMemory(record->wrapTable);
  FreeMemory(record->tabTable);
  record->text = nullptr;
  record->wrapTable = record->tabTable = nullptr;
  record->wrapCount = record->tabTableCount = 0;
  record->wrapTableSet = record->tabTableSet = 0;
}

bool FontHasNativeBold(const FontRecord* font) {
  if (!font) return false;
  if (font->type == FONT_TRUETYPE) return true;
  const auto* d = static_cast<const BitmapFontData*>(font->engineData);
  return (font->type == FONT_BITMAP || font->type == FONT_COLOR) && d && (d->style & 2);
}

bool FontHasNativeItalic(const FontRecord* font) {
  if (!font) return false;
  if (font->type == FONT_TRUETYPE) return true;
  const auto* d = static_cast<const BitmapFontData*>(font->engineData);
  return (font->type == FONT_BITMAP || font->type == FONT_COLOR) && d && (d->style & 4);
}

ErrorCode MeasureText(const char* text, size_t length, int32_t encoding, TextMetrics* out,
                      const TextStyle* style) {
  *out = TextMetrics{};
  FontRecord* font = style->font;
  TextExtent e{};
  if (int32_t r = MeasureFontText(font, text, length, style->flags, encoding, &e)) return r;
  const int32_t lineHeight = font ? font->height : e.height;
  const int32_t baseline = font ? font->baseline : 0;
  out->advance = e.width;
  out->lineHeight = lineHeight;
  out->inkLeft = e.left;
  out->inkTop = e.top;
  out->inkRight = e.right;
  out->inkBottom = e.bottom;
  const int32_t flags = style->flags;
  if ((flags & TEXTSTYLE_BOLD) && !FontHasNativeBold(font) && !(flags & TEXTSTYLE_ANTIALIAS))
    out->inkRight += 1;
  if ((flags & TEXTSTYLE_ITALIC) && !FontHasNativeItalic(font)) {
    out->inkRight += baseline / 2;
    out->inkLeft -= (lineHeight - baseline) / 2;
  }
  out->totalWidth = std::max(out->advance, out->inkRight + 1);
  if (flags & TEXTSTYLE_EDGE) {
    out->marginTop -= style->edgeSize;
    out->marginLeft -= style->edgeSize;
    out->marginBottom += style->edgeSize;
    out->marginRight += style->edgeSize;
  }
  if (flags & TEXTSTYLE_SHADOW) {
    int32_t s = style->shadowSize;
    int32_t direction =
        style->shadowDirection > 7 || style->shadowDirection < 0 ? 3 : style->shadowDirection;
    // North is up; the directions go clockwise from it.
    static const int8_t DX[8] = {0, 1, 1, 1, 0, -1, -1, -1};
    static const int8_t DY[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
    if (DY[direction] < 0) out->marginTop = std::min(out->marginTop, -s);
    if (DY[direction] > 0) out->marginBottom = std::max(out->marginBottom, s);
    if (DX[direction] < 0) out->marginLeft = std::min(out->marginLeft, -s);
    if (DX[direction] > 0) out->marginRight = std::max(out->marginRight, s);
  }
  return ERR_NONE;
}

ErrorCode LayoutText(VmState* L, TextRecord* record, uint32_t flags, int32_t startX,
                     int32_t wrapWidth, TextLayout* out) {
  const TextStyle& style = record->style;
  FontRecord* font = style.font;
  if ((style.flags & TEXTSTYLE_ANTIALIAS) && (!font || font->type != FONT_TRUETYPE))
    return ERR_ANTIALIAS;
  const char* text = record->text ? record->text : "";
  size_t length = std::strlen(text);
  if (record->encoding == 1 && !Utf8CheckBytes(text, length)) return ERR_INVALIDUTF8;
  if (length == 0) text = " ", length = 1;

  Parser parser{L, text, length, 0, (flags & TEXTDRAW_LITERAL) != 0, &out->scratch, {}, {}, {}};
  out->scratch.reserve(length);
  parser.styles.push_back(style);
  if (ErrorCode e = parser.run()) return e;

  out->lineHeight = font ? font->height : 8;
  TextMetrics space;
  if (ErrorCode e = MeasureText(" ", 1, record->encoding, &space, &style)) return e;
  out->spaceWidth = space.advance;
  // Runs are pointed at while they grow: room for one run per item.
  out->runs.reserve(parser.items.size() + 1);

  Layouter layouter;
  layouter.record = record;
  layouter.parser = &parser;
  layouter.out = out;
  layouter.wrapWidth = wrapWidth;
  layouter.justified = record->align == ALIGN_JUSTIFIED;
  layouter.x = startX;
  if (ErrorCode e = layouter.run()) return e;

  // Trailing spaces count for neither alignment nor underlines.
  std::vector<TextRun> kept;
  kept.reserve(out->runs.size());
  for (TextRun& r : out->runs) {
    if (record->align != ALIGN_LEFT || (r.style.flags & TEXTSTYLE_UNDERLINED))
      while (isSpaceRun(out->scratch, r)) --r.length;
    if (r.length == 0) continue;
    if (ErrorCode e = MeasureText(out->scratch.data() + r.start, r.length, record->encoding,
                                  &r.metrics, &r.style))
      return e;
    kept.push_back(r);
  }
  out->runs.swap(kept);

  if (!record->wrapTableSet) {
    FreeMemory(record->wrapTable);
    record->wrapTable =
        copyInts(layouter.wraps.data(), static_cast<int32_t>(layouter.wraps.size()));
    if (!layouter.wraps.empty() && !record->wrapTable) return ERR_MEM;
    record->wrapCount = static_cast<int32_t>(layouter.wraps.size());
  }
  if (!record->tabTableSet) {
    FreeMemory(record->tabTable);
    record->tabTable = copyInts(layouter.tabs.data(), static_cast<int32_t>(layouter.tabs.size()));
    if (!layouter.tabs.empty() && !record->tabTable) return ERR_MEM;
    record->tabTableCount = static_cast<int32_t>(layouter.tabs.size());
  }
  return ERR_NONE;
}
