// InKeyStr: reads a line typed by the user. Each accepted character is
// echoed at the text cursor as a print layer of its own, so that editing
// can remove or shift single characters; at the end the echo goes away and
// the input (or one "*" per character in password mode) is printed once
// more where it began.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "text/layout_private.h"
#include "text/text.h"

namespace {

enum : int32_t { MODE_ALL, MODE_ALNUM, MODE_ALPHA, MODE_NUMERIC, MODE_HEX };
constexpr size_t MAX_CHARS = 1024;
constexpr int32_t NO_WRAP_MARGIN = 32768;
// The event layer's named keys.
constexpr int32_t KEY_RIGHT = 258, KEY_LEFT = 259, KEY_BACKSPACE = 271, KEY_ENTER = 273,
                  KEY_RETURN = 274, KEY_SPACE = 276, KEY_DEL = 277, KEY_LCONTROL = 312,
                  KEY_RCONTROL = 313;

bool isLetter(uint32_t c) {
  if (c < 128) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  if (c < 256) return c == 0xAA || c == 0xB5 || c == 0xBA || (c >= 0xC0 && c != 0xD7 && c != 0xF7);
  return std::iswalpha(static_cast<wint_t>(c)) != 0;
}
bool isDigit(uint32_t c) { return c >= '0' && c <= '9'; }
bool isPrintable(uint32_t c) { return c >= 32 && c != 127 && !(c >= 0x80 && c < 0xA0); }

bool accepted(int32_t mode, uint32_t c) {
  switch (mode) {
    case MODE_ALL:
      return isPrintable(c);
    case MODE_ALNUM:
      return isLetter(c) || isDigit(c);
    case MODE_ALPHA:
      return isLetter(c);
    case MODE_NUMERIC:
      return isDigit(c);
    case MODE_HEX:
      return isDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
    default:
      return false;
  }
}

// The character in the text encoding (empty: it has no form there).
std::string encode(uint32_t c, int32_t encoding) {
  if (encoding != TEXT_ENCODING_UTF8) return c < 256 ? std::string(1, static_cast<char>(c)) : "";
  if (c >= 0xD800 && c < 0xE000) return "";
  char buffer[UTF8_CHAR_BUFFER];
  size_t n = Utf8EncodeChar(buffer, c);
  return std::string(buffer, n);
}

ErrorCode outputRefusal(const DisplayRecord* d) {
  switch (d->outputKind) {
    case OBJECT_BRUSH:
      if (d->doubleBuffer) return ERR_ENDDOUBLEBUFFER;
      if (d->deviceRecord && d->deviceRecord->selectionKind == OBJTYPE_ANIM) return ERR_SELECTANIM;
      return ERR_SELECTBRUSH;
    case OBJECT_BGPIC:
      return ERR_SELECTBG;
    case OUTPUT_MASK:
      return ERR_SELECTMASK;
    case OUTPUT_ALPHA:
      return ERR_SELECTALPHACHANNEL;
    default:
      break;
  }
  if (d->collectRefreshes) return ERR_BEGINREFRESH;
  return ERR_NONE;
}

// One typed character: its text, its echo layer and the text cursor in
// front of it.
struct Slot {
  std::string text;
  qmLayer* layer;
  int32_t x, y;
};

struct LineInput {
  VmState* L;
  DisplayRecord* d;
  int32_t mode, maxLength, encoding;
  bool cursorKeys;
  std::vector<Slot> slots;  // the characters; the end position is (endX, endY)
  int32_t endX = 0, endY = 0;
  size_t point = 0;  // the insertion point, in characters
  bool done = false;
  ErrorCode error = ERR_NONE;
  qmLayer* cursorBox = nullptr;  // shown with the cursor argument
  // The two Control keys as the queued events have them. The display's key
  // table is written when the events are read, ahead of the queue, so a fast
  // Control+V could already show Control released when its V arrives.
  bool control[2] = {d->rawKeyStates[KEY_LCONTROL] != 0, d->rawKeyStates[KEY_RCONTROL] != 0};

  void cursorTo(size_t i) {
    d->textX = i < slots.size() ? slots[i].x : endX;
    d->textY = i < slots.size() ? slots[i].y : endY;
    if (cursorBox && LayerExists(cursorBox)) MoveLayerToPoint(L, cursorBox, d->textX, d->textY);
  }

  // The cursor box: a filled box of the font colour at the text cursor, as
  // high as the font's lines and as wide as the desktop scale factor makes
  // one pixel. It is a box layer of the drawing library, drawn with a plain
  // fill whatever the drawing style says.
  ErrorCode showCursorBox() {
    TextMetrics metrics{};
    const TextStyle* style = GetCurrentTextStyle();
    if (ErrorCode e = MeasureText(" ", 1, encoding, &metrics, style)) return e;
    double scale = 1.0;
    GetDpiScaleFactor(&scale);
    const int32_t width = std::max<int32_t>(1, static_cast<int32_t>(std::lround(scale)));
    const int32_t height = std::max<int32_t>(1, metrics.lineHeight);
    DrawStyle* drawStyle = GetCurrentDrawStyle();
    const DrawStyle saved = *drawStyle;
    drawStyle->fillStyle = FILLCOLOR;
    drawStyle->formFlags = FORM_NORMAL;
    const int32_t before = CountFXLayers();
    VmPushString(L, "box");  // command names are kept in lower case
    VmGetTable(L, VM_GLOBALS_INDEX);
    ErrorCode e = ERR_NONE;
    if (VmType(L, -1) == VM_TYPE_NIL) {
      VmSetTop(L, -2);  // no drawing library: no cursor box
    } else {
      for (int32_t v : {d->textX, d->textY, width, height}) VmPushNumber(L, v);
      VmPushNumber(L, style->fontColor & 0xFFFFFF);
      e = VmPCall(L, 5, 0, 0);
    }
    *drawStyle = saved;
    if (e != ERR_NONE) return e;
    if (CountFXLayers() > before) cursorBox = GetCurrentLayerAt(CountFXLayers());
    return ERR_NONE;
  }
  // Moves the echo of the characters from `from` on by dx pixels.
  void shift(size_t from, int32_t dx) {
    for (size_t i = from; i < slots.size(); ++i) {
      slots[i].x += dx;
      if (slots[i].layer && LayerExists(slots[i].layer))
        MoveLayerToPoint(L, slots[i].layer, slots[i].layer->display->requestedX + dx, KEEPPOSITION);
    }
    endX += dx;
  }

  void insert(uint32_t c) {
    if (slots.size() >= MAX_CHARS) {
      done = true;
      return;
    }
    if (maxLength > 0 && static_cast<int32_t>(slots.size()) >= maxLength) return;
    if (!accepted(mode, c)) return;
    std::string text = encode(c, encoding);
    if (text.empty()) return;
    cursorTo(point);
    int32_t x = d->textX, y = d->textY;
    int32_t before = CountFXLayers();
    if (ErrorCode e = PrintAtCursor(L, text.c_str(), 1)) {
      error = e;
      done = true;
      return;
    }
    qmLayer* layer = CountFXLayers() > before ? GetCurrentLayerAt(CountFXLayers()) : nullptr;
    int32_t dx = d->textX - x;
    shift(point, dx);
    slots.insert(slots.begin() + static_cast<std::ptrdiff_t>(point), Slot{text, layer, x, y});
    ++point;
    cursorTo(point);
    if (slots.size() >= MAX_CHARS) done = true;
  }

  void remove(size_t i) {
    if (i >= slots.size()) return;
    int32_t next = i + 1 < slots.size() ? slots[i + 1].x : endX;
    int32_t dx = next - slots[i].x;
    if (slots[i].layer && LayerExists(slots[i].layer)) DeleteFXLayer(L, slots[i].layer);
    slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(i));
    shift(i, -dx);
    if (point > i) --point;
    cursorTo(point);
  }

  void key(int32_t code) {
    switch (code) {
      case KEY_SPACE:
        insert(' ');
        break;
      case KEY_RIGHT:
        if (cursorKeys && point < slots.size()) cursorTo(++point);
        break;
      case KEY_LEFT:
        if (cursorKeys && point > 0) cursorTo(--point);
        break;
      case KEY_BACKSPACE:
        if (point > 0) remove(point - 1);
        break;
      case KEY_DEL:
        remove(point);
        break;
      case KEY_RETURN:
      case KEY_ENTER:
        done = true;
        break;
      default:
        break;
    }
  }

  void event(const EventRecord* e) {
    if (e->type == EVENT_CHAR) {
      // A space arrives as the space key too; that one adds it.
      if (e->args[2] != ' ') insert(static_cast<uint32_t>(e->args[2]));
    } else if (e->type == EVENT_KEY && e->args[0]) {
      key(e->args[2]);
    } else if (e->type == EVENT_RAWKEY) {
      if (e->args[2] == KEY_LCONTROL || e->args[2] == KEY_RCONTROL)
        control[e->args[2] == KEY_RCONTROL] = e->args[0] != 0;
      else if (e->args[0] && (e->args[2] | 0x20) == 'v' && (control[0] || control[1]))
        paste();
    }
  }

  // Control+V types the clipboard's text in, character by character (UTF-8
  // decoded in UTF-8 mode, else byte by byte); a clipboard that cannot be
  // read or holds no text sounds the bell.
  void paste() {
    ClipboardRecord record{};
    int32_t kind = 0;
    ErrorCode e = ReadClipboardData(L, &record, &kind);
    OwnedMemory<char> text(record.text);
    FreeBitmap(record.bitmap);
    FreeBitmap(record.mask);
    FreeBitmap(record.alpha);
    if (e != ERR_NONE || kind != CLIPBOARD_KIND_TEXT || !text) {
      SystemBeep();
      return;
    }
    const char* p = text.get();
    const char* end = p + std::strlen(p);
    while (p < end && !done) {
      uint32_t c = static_cast<unsigned char>(*p);
      size_t n = unicodeUtf8Mode ? Utf8DecodeNext(p, end, &c) : 1;
      p += n > 0 ? n : 1;
      insert(c);
    }
  }

  // Removes every echo layer and the cursor box.
  void clear() {
    for (Slot& s : slots)
      if (s.layer && LayerExists(s.layer)) DeleteFXLayer(L, s.layer);
    if (cursorBox && LayerExists(cursorBox)) DeleteFXLayer(L, cursorBox);
    cursorBox = nullptr;
  }
};

int cmdInKeyStr(VmState* L) {
  CheckArgCount(L, 1, 4, 0, 0);
  int32_t mode = VmCheckInteger(L, 1);
  int32_t maxLength = VmOptInteger(L, 2, 0);
  int32_t password = VmOptInteger(L, 3, 0);
  int32_t cursor = VmOptInteger(L, 4, 0);
  DisplayRecord* d = GetOutputDisplay();
  if (!d) return ERR_MEM;
  if (ErrorCode e = outputRefusal(d)) return e;

  LineInput in{L, d, mode, maxLength, GetDefaultTextEncoding(), cursor != 0, {}};
  const int32_t savedLayers = d->layers, savedRight = d->textRight;
  const int32_t startX = d->textX, startY = d->textY;
  d->layers = 1;
  d->textRight = NO_WRAP_MARGIN;
  in.endX = startX;
  in.endY = startY;
  if (in.cursorKeys) in.error = in.showCursorBox();
  while (!in.done && in.error == ERR_NONE) {
    ErrorCode polled = ERR_NONE;
    if (PollEvents(L, 2, 0, &polled)) {
      in.error = polled != ERR_NONE ? polled : ERR_USERABORT;
      break;
    }
    while (!in.done) {
      EventRecord* e = TakeNextEvent(L);
      if (!e) break;
      if (!e->display || e->display == d) in.event(e);
      ReleaseEventRecord(L, e);
    }
    FlushEvents(L, -1, 1);
    if (in.done) break;
    if (ErrorCode e = WaitPlatformEvent(L, 0, 0, nullptr)) {
      in.error = e;
      break;
    }
  }
  in.clear();
  d->layers = savedLayers;
  d->textRight = savedRight;
  d->textX = startX;
  d->textY = startY;
  if (in.error != ERR_NONE) return in.error;

  std::string typed;
  for (const Slot& s : in.slots) typed += s.text;
  if (!in.slots.empty()) {
    std::string shown = password ? std::string(in.slots.size(), '*') : typed;
    if (ErrorCode e = PrintAtCursor(L, shown.c_str(), 1)) return e;
  }
  VmPushLString(L, typed.data(), typed.size());
  return 1;
}

const CommandTableEntry INKEYSTR_COMMANDS[] = {
    {"InKeyStr", cmdInKeyStr},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode OpenLineInputCommand(VmState* L) {
  if (ErrorCode e = RegisterLibrary(INKEYSTR_COMMANDS, "text")) return e;
  VmRegisterFunctions(L, nullptr, INKEYSTR_COMMANDS, 0);
  return ERR_NONE;
}
