// The commands that put text on the current output target: Print and
// NPrint write at the display's text cursor and move it on, TextOut writes
// at a given position with its own alignment and wrap width and never
// moves the cursor.
#include <cstring>
#include <string>

#include "draw/draw.h"
#include "engine/engine.h"
#include "engine/optiontable.h"
#include "text/layout_private.h"
#include "text/text.h"

namespace {

// Word numbers a "wordwraptable" may hold.
constexpr int32_t MAX_WRAP_ENTRIES = 32766;

struct RecordOwner {
  TextRecord record{};
  ~RecordOwner() { FreeTextRecord(&record); }
};

// The values joined with one blank, each through the script's "tostring".
// A code that "tostring" returns is the command's.
ErrorCode joinValues(VmState* L, std::string* text) {
  int n = VmGetTop(L);
  for (int i = 1; i <= n; ++i) {
    VmPushString(L, "tostring");
    VmGetTable(L, VM_GLOBALS_INDEX);
    VmPushValue(L, i);
    if (ErrorCode e = VmCall(L, 1, 1)) return e;
    const char* s = VmToString(L, -1);
    size_t length = s ? VmStrLen(L, -1) : 0;
    if (i > 1) text->push_back(' ');
    if (s) text->append(s, length);
    VmSetTop(L, -2);
  }
  return ERR_NONE;
}

int cmdPrint(VmState* L) {
  std::string text;
  if (ErrorCode e = joinValues(L, &text)) return e;
  return PrintAtCursor(L, text.c_str(), 0);
}

int cmdNPrint(VmState* L) {
  std::string text;
  if (ErrorCode e = joinValues(L, &text)) return e;
  text.push_back('\n');
  return PrintAtCursor(L, text.c_str(), 0);
}

// The "wordwraptable" list from index 0 up to the first nil.
ErrorCode readWrapTable(VmState* L, int table, TextRecord* record) {
  VmPushString(L, "wordwraptable");
  VmGetTable(L, table);
  if (VmType(L, -1) != VM_TYPE_TABLE) {
    VmSetTop(L, -2);
    return ERR_NONE;
  }
  int list = VmGetTop(L);
  std::vector<int32_t> words;
  for (int32_t i = 0;; ++i) {
    VmRawGetI(L, list, i);
    bool end = VmType(L, -1) == VM_TYPE_NIL;
    if (!end) words.push_back(VmNumberToInteger(VmToNumber(L, -1)));
    VmSetTop(L, -2);
    if (end) break;
    if (static_cast<int32_t>(words.size()) > MAX_WRAP_ENTRIES) {
      VmSetTop(L, -2);
      return ERR_INTERNAL;
    }
  }
  VmSetTop(L, -2);
  record->wrapTable =
      static_cast<int32_t*>(AllocMemoryArray(words.empty() ? 1 : words.size(), sizeof(int32_t), 0));
  if (!record->wrapTable) return ERR_MEM;
  if (!words.empty()) std::memcpy(record->wrapTable, words.data(), words.size() * sizeof(int32_t));
  record->wrapCount = static_cast<int32_t>(words.size());
  record->wrapTableSet = 1;
  return ERR_NONE;
}

int cmdTextOut(VmState* L) {
  CheckArgCount(L, 3, 5, 0, 0);
  int n = VmGetTop(L);
  RecordOwner owner;
  TextRecord& r = owner.record;
  r.x = VmCheckInteger(L, 1);
  r.y = VmCheckInteger(L, 2);
  const char* text = VmCheckString(L, 3, nullptr);
  DisplayTransform t;
  ObjectStyle os;
  if (ErrorCode e =
          ParseDisplayOptions(L, 4, 0, 0, 0, 0, 0, &t, &os, DISPOPT_DEFAULTS | DISPOPT_NOSIZE))
    return e;
  r.style = *GetCurrentTextStyle();
  r.align = ALIGN_LEFT;
  r.encoding = GetDefaultTextEncoding();
  if (n == 4 && VmType(L, 4) == VM_TYPE_TABLE) {
    uint32_t colour = r.style.fontColor;
    const OptionField rows[] = {
        {.name = "align", .type = OPTION_INT, .to = &r.align},
        {.name = "wordwrap", .type = OPTION_INT, .to = &r.wrapWidth},
        {.name = "encoding", .type = OPTION_INT, .to = &r.encoding},
        {.name = "color", .type = OPTION_BITS, .to = &colour},
    };
    if (ErrorCode e = ReadOptionTable(L, 4, rows)) return e;
    r.style.fontColor = colour;
    if (ErrorCode e = readWrapTable(L, 4, &r)) return e;
  } else {
    r.align = VmOptInteger(L, 4, ALIGN_LEFT);
    r.wrapWidth = VmOptInteger(L, 5, 0);
  }
  if (r.wrapWidth < 0 || r.encoding < 0 || r.encoding > 1) return ERR_WRONGUSAGE;
  if (ErrorCode e = SetTextRecordText(&r, text)) return e;
  return DrawFormattedText(L, &r, LAYER_TEXTOUT, 0, &t, &os, nullptr);
}

const CommandTableEntry PRINT_COMMANDS[] = {
    {"Print", cmdPrint},
    {"NPrint", cmdNPrint},
    {"TextOut", cmdTextOut},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode PrintAtCursor(VmState* L, const char* text, int literal) {
  DisplayRecord* d = GetOutputDisplay();
  RecordOwner owner;
  TextRecord& r = owner.record;
  r.style = *GetCurrentTextStyle();
  r.x = ALIGN_CENTER;
  r.align = ALIGN_LEFT;
  r.cursorX = d->textX;
  r.cursorY = d->textY;
  r.leftMargin = d->textLeft;
  r.wrapWidth = d->textRight;
  r.tabCount = d->tabCount < 0 ? 0 : d->tabCount > TAB_STOPS ? TAB_STOPS : d->tabCount;
  std::memcpy(r.tabs, d->tabStops, sizeof r.tabs);
  r.encoding = GetDefaultTextEncoding();
  if (ErrorCode e = SetTextRecordText(&r, text)) return e;
  DisplayTransform t;
  ObjectStyle os;
  CopyDefaultTransform(&t);
  CopyDefaultObjectStyle(&os);
  return DrawFormattedText(L, &r, LAYER_PRINT, literal ? uint32_t{TEXTDRAW_LITERAL} : 0u, &t, &os,
                           nullptr);
}

ErrorCode OpenPrintCommands(VmState* L) {
  if (ErrorCode e = RegisterLibrary(PRINT_COMMANDS, "text")) return e;
  VmRegisterFunctions(L, nullptr, PRINT_COMMANDS, 0);
  RegisterTextLayerKinds();
  return ERR_NONE;
}
