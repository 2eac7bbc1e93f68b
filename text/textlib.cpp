// The text library's settings commands: the style flags and effect sizes,
// the text cursor, margins and tab stops of the current display, the two
// default encodings, and measuring text with the current style.
//
// Invariant: the default encodings are one setting each, read by the text
// and string libraries alike; -1 means "not set yet", which follows the
// global UTF-8 mode.
#include <algorithm>
#include <cstring>

#include "engine/engine.h"
#include "text/layout_private.h"
#include "text/text.h"

namespace {

struct EncodingSettings {
  int32_t text = -1;
  int32_t string = -1;
};
EncodingSettings encodings;

int32_t modeEncoding() { return unicodeUtf8Mode ? 1 : 0; }

// The encoding argument at index: absent is the text encoding, above 1
// (or negative) is 1055.
ErrorCode encodingArgument(VmState* L, int index, int32_t* out) {
  *out = VmOptInteger(L, index, GetTextEncodingSetting());
  if (*out < 0 || *out > 1) return ERR_WRONGUSAGE;
  return ERR_NONE;
}

int cmdTextHeight(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmCheckString(L, 1, nullptr);
  FontRecord* font = GetCurrentFont();
  VmPushNumber(L, font ? font->height : 0);
  return 1;
}

ErrorCode measureArgument(VmState* L, TextMetrics* m, bool* empty) {
  size_t length = 0;
  const char* text = VmCheckString(L, 1, &length);
  int32_t encoding = 0;
  if (ErrorCode e = encodingArgument(L, 2, &encoding)) return e;
  *m = TextMetrics{};
  *empty = length == 0;
  if (*empty) return ERR_NONE;
  if (encoding == 1 && !Utf8CheckBytes(text, length)) return ERR_INVALIDUTF8;
  return MeasureText(text, length, encoding, m, GetCurrentTextStyle());
}

int cmdTextWidth(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  TextMetrics m;
  bool empty;
  if (ErrorCode e = measureArgument(L, &m, &empty)) return e;
  VmPushNumber(L, m.advance);
  return 1;
}

int cmdTextExtent(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  TextMetrics m;
  bool empty;
  if (ErrorCode e = measureArgument(L, &m, &empty)) return e;
  VmNewTable(L);
  SetTableFieldInt(L, "minx", empty ? 0 : m.inkLeft + m.marginLeft);
  SetTableFieldInt(L, "maxx", empty ? 0 : m.inkRight + m.marginRight);
  SetTableFieldInt(L, "miny", empty ? 0 : m.inkTop + m.marginTop);
  SetTableFieldInt(L, "maxy", empty ? 0 : m.inkBottom + m.marginBottom);
  SetTableFieldInt(L, "width", empty ? 0 : m.advance);
  SetTableFieldInt(L, "height", empty ? 0 : m.lineHeight);
  return 1;
}

int cmdResetTabs(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  GetOutputDisplay()->tabCount = 0;
  return 0;
}

int cmdAddTab(VmState* L) {
  CheckArgCount(L, 1, -1, 0, 0);
  DisplayRecord* d = GetOutputDisplay();
  int n = VmGetTop(L);
  for (int i = 1; i <= n; ++i) {
    int32_t pos = VmCheckInteger(L, i);
    if (d->tabCount >= TAB_STOPS) return ERR_INTERNAL;
    if (pos < 0) return ERR_NEGCOORDS;
    int32_t at = 0;
    while (at < d->tabCount && d->tabStops[at] <= pos) ++at;
    for (int32_t k = d->tabCount; k > at; --k) d->tabStops[k] = d->tabStops[k - 1];
    d->tabStops[at] = pos;
    ++d->tabCount;
  }
  return 0;
}

int cmdLocate(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t x = VmCheckInteger(L, 1), y = VmCheckInteger(L, 2);
  if (x == ALIGN_CENTER || x == ALIGN_LEFT || x == ALIGN_RIGHT) return ERR_NOCOORDCST;
  if (y == -70000 || y == -60000 || y == ALIGN_CENTER) return ERR_NOCOORDCST;
  DisplayRecord* d = GetOutputDisplay();
  d->textX = x >= d->textLeft && x <= d->textRight ? x : d->textLeft;
  d->textY = y;
  return 0;
}

int cmdSetMargins(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t left = VmCheckInteger(L, 1), right = VmCheckInteger(L, 2);
  DisplayRecord* d = GetOutputDisplay();
  int32_t width = 0, height = 0;
  GetOutputTargetSize(d, &width, &height);
  if (left < 0) left = 0;
  if (right >= width) right = width - 1;
  // Tested after the clamping, so that no margin pair with left > right is
  // ever stored.
  if (left >= right) return ERR_WRONGUSAGE;
  d->textLeft = left;
  d->textRight = right;
  d->textX = left;
  d->textY = 0;
  return 0;
}

int cmdSetFontStyle(VmState* L) {
  CheckArgCount(L, 1, 4, 0, 0);
  int n = VmGetTop(L);
  int32_t flags = VmCheckInteger(L, 1);
  TextStyle* s = GetCurrentTextStyle();
  if (flags & TEXTSTYLE_NORMAL) {
    s->flags = TEXTSTYLE_NORMAL;
    return 0;
  }
  TextStyle next = *s;
  if (flags == TEXTSTYLE_SHADOW) {
    if (n == 4) next.shadowDirection = VmCheckInteger(L, 4);
    if (n >= 3) next.shadowSize = VmCheckInteger(L, 3);
    if (n >= 2) next.shadowColor = static_cast<uint32_t>(VmCheckInteger(L, 2));
  } else if (flags == TEXTSTYLE_EDGE) {
    if (n == 4) return ERR_TOOMANYARGS;
    if (n == 3) next.edgeSize = VmCheckInteger(L, 3);
    if (n >= 2) next.edgeColor = static_cast<uint32_t>(VmCheckInteger(L, 2));
  } else if (n > 1) {
    return ERR_TOOMANYARGS;
  }
  next.flags |= flags;
  ClampTextStyle(&next);
  *s = next;
  return 0;
}

int cmdGetFontStyle(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  const TextStyle* s = GetCurrentTextStyle();
  VmPushNumber(L, s->flags);
  if (!(s->flags & (TEXTSTYLE_SHADOW | TEXTSTYLE_EDGE))) return 1;
  VmNewTable(L);
  if (s->flags & TEXTSTYLE_SHADOW) {
    SetTableFieldInt(L, "shadowcolor", static_cast<int32_t>(s->shadowColor));
    SetTableFieldInt(L, "shadowsize", s->shadowSize);
    SetTableFieldInt(L, "shadowdir", s->shadowDirection);
  }
  if (s->flags & TEXTSTYLE_EDGE) {
    SetTableFieldInt(L, "bordersize", s->edgeSize);
    SetTableFieldInt(L, "bordercolor", static_cast<int32_t>(s->edgeColor));
  }
  return 2;
}

int cmdSetDefaultEncoding(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  int32_t text = VmCheckInteger(L, 1);
  if (text < 0 || text > 1) return ERR_WRONGUSAGE;
  encodings.text = text;
  int32_t string = VmOptInteger(L, 2, -1);
  if (string == -1) return 0;
  if (string < 0 || string > 1) return ERR_WRONGUSAGE;
  encodings.string = string;
  return 0;
}

int cmdGetDefaultEncoding(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, GetDefaultTextEncoding());
  VmPushNumber(L, GetDefaultStringEncoding());
  return 2;
}

int cmdGetKerningPair(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  size_t firstLength = 0, secondLength = 0;
  const char* first = VmCheckString(L, 1, &firstLength);
  const char* second = VmCheckString(L, 2, &secondLength);
  int32_t encoding = 0;
  if (ErrorCode e = encodingArgument(L, 3, &encoding)) return e;
  if (!firstLength || !secondLength) {
    VmPushNumber(L, 0);
    return 1;
  }
  // The pair goes to the engine in a buffer of 255 bytes.
  char pair[256];
  size_t a = std::min<size_t>(firstLength, 255);
  size_t b = std::min<size_t>(secondLength, 255 - a);
  std::memcpy(pair, first, a);
  std::memcpy(pair + a, second, b);
  pair[a + b] = '\0';
  VmPushNumber(L, GetFontKerning(GetCurrentFont(), pair, a + b, encoding));
  return 1;
}

const CommandTableEntry TEXT_SETTING_COMMANDS[] = {
    {"TextHeight", cmdTextHeight},
    {"TextWidth", cmdTextWidth},
    {"ResetTabs", cmdResetTabs},
    {"AddTab", cmdAddTab},
    {"Locate", cmdLocate},
    {"SetMargins", cmdSetMargins},
    {"SetFontStyle", cmdSetFontStyle},
    {"TextExtent", cmdTextExtent},
    {"SetDefaultEncoding", cmdSetDefaultEncoding},
    {"GetKerningPair", cmdGetKerningPair},
    {"GetDefaultEncoding", cmdGetDefaultEncoding},
    {"GetFontStyle", cmdGetFontStyle},
    {nullptr, nullptr},
};

const ConstantTableEntry TEXT_SETTING_CONSTANTS[] = {
    {"JUSTIFIED", nullptr, ALIGN_JUSTIFIED},
    {nullptr, nullptr, 0},
};

}  // namespace

ErrorCode OpenTextSettingCommands(VmState* L) {
  if (ErrorCode e = RegisterLibrary(TEXT_SETTING_COMMANDS, "text")) return e;
  VmRegisterFunctions(L, nullptr, TEXT_SETTING_COMMANDS, 0);
  VmRegisterConstants(L, TEXT_SETTING_CONSTANTS, 0);
  if (ErrorCode e = OpenPrintCommands(L)) return e;
  if (ErrorCode e = OpenLineInputCommand(L)) return e;
  return OpenTextObjectCommands(L);
}

void ResetTextSettings() { encodings = EncodingSettings{}; }

int32_t GetTextEncodingSetting() { return GetDefaultTextEncoding(); }

int32_t GetDefaultTextEncoding() { return encodings.text < 0 ? modeEncoding() : encodings.text; }
int32_t GetDefaultStringEncoding() {
  return encodings.string < 0 ? modeEncoding() : encodings.string;
}
