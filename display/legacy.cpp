// Legacy events: the older numbered event system, in which a queued click,
// key or window event makes the script continue at a label named after the
// event ("ONBUTTONCLICK1", "ONKEYDOWN2", "CLOSEWINDOW", ...) as a
// subroutine. Legacy buttons are three events sharing one identifier and
// rectangle (over, left click, right click); key-down events carry a key
// name; window events are reported by their constant's name.
// Invariants: the list is appended at the end and walked in that order;
// the queue phase runs with the queue's lock held and only reads the list
// and the label table; a matched event and every older one leave the queue
// before the script jumps, so the next round starts after them.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "display/context_private.h"
#include "display/event_private.h"
#include "platform/linux/platform.h"

namespace {

enum : int32_t {
  ONBUTTONOVER = 1,
  ONBUTTONCLICK = 2,
  ONKEYDOWN = 3,
  ONBUTTONRIGHTCLICK = 5,
  MOVEWINDOW = 6,
  SIZEWINDOW = 7,
  INACTIVEWINDOW = 8,
  ACTIVEWINDOW = 9,
  CLOSEWINDOW = 10,
  ONBUTTONCLICKALL = 11,
  ONBUTTONRIGHTCLICKALL = 12,
  ONBUTTONOVERALL = 13,
  ONKEYDOWNALL = 14,
};

// Window events: the legacy type, the queued type it matches, its name.
struct WindowReport {
  int32_t type, queued;
  const char* name;
};
constexpr WindowReport WINDOW_REPORTS[] = {
    {MOVEWINDOW, EVENT_MOVEWINDOW, "MOVEWINDOW"},
    {SIZEWINDOW, EVENT_WINDOWSIZE, "SIZEWINDOW"},
    {INACTIVEWINDOW, EVENT_INACTIVEWINDOW, "INACTIVEWINDOW"},
    {ACTIVEWINDOW, EVENT_ACTIVEWINDOW, "ACTIVEWINDOW"},
    {CLOSEWINDOW, EVENT_CLOSEWINDOW, "CLOSEWINDOW"},
};

LegacyEvent*& head() { return displayContext.legacyEvents; }

LegacyEvent* find(int32_t type, int32_t id) {
  for (LegacyEvent* e = head(); e; e = e->next)
    if (e->type == type && e->id == id) return e;
  return nullptr;
}

void freeEvent(LegacyEvent* e) {
  FreeMemory(e->key);
  FreeMemory(e);
}

// Unlinks and frees every event of the types with the identifier; the
// number removed.
int removeEvents(std::initializer_list<int32_t> types, int32_t id) {
  int removed = 0;
  for (LegacyEvent** link = &head(); *link;) {
    LegacyEvent* e = *link;
    bool hit = false;
    for (int32_t t : types) hit = hit || (e->type == t && e->id == id);
    if (!hit) {
      link = &e->next;
      continue;
    }
    *link = e->next;
    if (displayContext.legacyOver == e) displayContext.legacyOver = nullptr;
    freeEvent(e);
    ++removed;
  }
  return removed;
}

LegacyEvent* append(int32_t type, int32_t id) {
  auto* e = static_cast<LegacyEvent*>(AllocMemory(sizeof(LegacyEvent), 1));
  if (!e) return nullptr;
  e->type = type;
  e->id = id;
  e->enabled = 1;
  LegacyEvent** link = &head();
  while (*link) link = &(*link)->next;
  *link = e;
  return e;
}

void setRect(LegacyEvent* e, const int32_t rect[4]) {
  e->x1 = rect[0];
  e->y1 = rect[1];
  e->x2 = rect[2];
  e->y2 = rect[3];
}

void readRect(VmState* L, int32_t rect[4]) {
  for (int i = 0; i < 4; ++i) rect[i] = VmCheckInteger(L, i + 2);
}

bool inside(const LegacyEvent* e, int32_t x, int32_t y) {
  return x >= e->x1 && x <= e->x2 && y >= e->y1 && y <= e->y2;
}

// The pointer of a queued mouse event in the drawing's coordinates.
void eventPosition(const EventRecord* q, int32_t* x, int32_t* y) {
  const DisplayRecord* d = q->display;
  double px = q->args[0], py = q->args[1];
  if (d) {
    px -= d->marginLeft;
    py -= d->marginTop;
    if (d->scaleX > 0) px /= d->scaleX;
    if (d->scaleY > 0) py /= d->scaleY;
  }
  *x = VmTruncInt32(px);
  *y = VmTruncInt32(py);
}

// The name a queued key has in key-down events: its key name, or the
// character as UTF-8.
void queuedKeyName(int32_t code, char* out, size_t size) {
  static constexpr struct {
    int32_t code;
    const char* name;
  } NAMES[] = {
      {272, "TAB"},       {274, "RETURN"},   {273, "ENTER"},    {276, "SPACE"},    {275, "ESC"},
      {256, "UP"},        {257, "DOWN"},     {258, "RIGHT"},    {259, "LEFT"},     {260, "HELP"},
      {271, "BACKSPACE"}, {277, "DEL"},      {278, "F11"},      {279, "F12"},      {280, "INSERT"},
      {281, "HOME"},      {282, "END"},      {283, "PAGEUP"},   {284, "PAGEDOWN"}, {285, "PRINT"},
      {286, "PAUSE"},     {301, "NPMUL"},    {302, "NPADD"},    {303, "NPSUB"},    {304, "NPDEC"},
      {305, "NPDIV"},     {306, "LSHIFT"},   {307, "RSHIFT"},   {308, "LALT"},     {309, "RALT"},
      {310, "LCOMMAND"},  {311, "RCOMMAND"}, {312, "LCONTROL"}, {313, "RCONTROL"},
  };
  for (const auto& n : NAMES) {
    if (n.code == code) {
      std::snprintf(out, size, "%s", n.name);
      return;
    }
  }
  if (code >= 261 && code <= 270) {
    std::snprintf(out, size, "F%d", code - 260);
  } else if (code >= 287 && code <= 290) {
    std::snprintf(out, size, "F%d", code - 274);
  } else if (code >= 291 && code <= 300) {
    std::snprintf(out, size, "NP%d", code - 291);
  } else {
    char text[8] = {};
    if (code > 0 && code < 0x110000) Utf8EncodeChar(text, static_cast<uint32_t>(code));
    std::snprintf(out, size, "%s", text);
  }
}

// The report of a legacy event that matched: "<name><id>", or the ALL
// report (the identifier then being the event code) while it is enabled.
void reportName(const char* name, int32_t allType, const LegacyEvent* e, char* out, size_t size,
                int32_t* code) {
  if (allType && displayContext.legacyAll[allType - ONBUTTONCLICKALL]) {
    std::snprintf(out, size, "%sALL", name);
  } else {
    std::snprintf(out, size, "%s%d", name, e->id);
  }
  *code = e->id;
}

// Whether the queued event matches the legacy event; the report name then.
bool matches(const EventRecord* q, const LegacyEvent* e, char* report, size_t size, int32_t* code) {
  if (!e->enabled) return false;
  switch (e->type) {
    case ONBUTTONCLICK:
    case ONBUTTONRIGHTCLICK: {
      int32_t wanted = e->type == ONBUTTONCLICK ? EVENT_LEFTBUTTON : EVENT_RIGHTBUTTON;
      if (q->type != wanted || !q->args[2]) return false;
      int32_t x, y;
      eventPosition(q, &x, &y);
      if (!inside(e, x, y)) return false;
      if (e->type == ONBUTTONCLICK)
        reportName("ONBUTTONCLICK", ONBUTTONCLICKALL, e, report, size, code);
      else
        reportName("ONBUTTONRIGHTCLICK", ONBUTTONRIGHTCLICKALL, e, report, size, code);
      return true;
    }
    case ONKEYDOWN: {
      if (q->type != EVENT_KEY || !q->args[0] || !e->key) return false;
      char name[16];
      queuedKeyName(q->args[2], name, sizeof name);
      if (!*name || CompareNoCase(name, e->key) != 0) return false;
      reportName("ONKEYDOWN", ONKEYDOWNALL, e, report, size, code);
      return true;
    }
    default:
      for (const WindowReport& w : WINDOW_REPORTS) {
        if (w.type != e->type || w.queued != q->type) continue;
        std::snprintf(report, size, "%s", w.name);
        *code = e->id;
        return true;
      }
      return false;
  }
}

struct QueueSearch {
  VmState* L;
  int32_t label;
  int32_t code;
};

// Visits queued events oldest first, each against the enabled legacy
// events in list order, until a report names an existing label.
int visitQueued(const EventRecord* q, void* context) {
  auto* search = static_cast<QueueSearch*>(context);
  for (const LegacyEvent* e = head(); e; e = e->next) {
    char report[64];
    int32_t code = 0;
    if (!matches(q, e, report, sizeof report, &code)) continue;
    int32_t label = VmFindLabel(search->L, report);
    if (label < 0) continue;
    search->label = label;
    search->code = code;
    return 1;
  }
  return 0;
}

// Step 5: the pointer over a legacy button, when nothing is queued. A
// button reports once when the pointer enters it.
int pointerOver(VmState* L, int32_t* label) {
  DisplayRecord* d = GetCurrentDisplay();
  if (!d || d->state != DISPSTATE_OPEN) return 0;
  int32_t x, y;
  GetDisplayMousePosition(d, &x, &y);
  if (displayContext.legacyOver && !inside(displayContext.legacyOver, x, y))
    displayContext.legacyOver = nullptr;
  for (LegacyEvent* e = head(); e; e = e->next) {
    if (!e->enabled || e->type != ONBUTTONOVER || !inside(e, x, y)) continue;
    if (displayContext.legacyOver == e) return 0;
    char report[64];
    int32_t code = 0;
    reportName("ONBUTTONOVER", ONBUTTONOVERALL, e, report, sizeof report, &code);
    int32_t position = VmFindLabel(L, report);
    if (position < 0) continue;
    displayContext.legacyOver = e;
    displayContext.legacyCode = code;
    *label = position;
    return 1;
  }
  return 0;
}

int32_t eventIdArg(VmState* L) { return VmCheckInteger(L, 1); }

int cmdCreateButton(VmState* L) {
  CheckArgCount(L, 5, 5, 0, 0);
  int32_t id = eventIdArg(L), rect[4];
  readRect(L, rect);
  removeEvents({ONBUTTONOVER, ONBUTTONCLICK, ONBUTTONRIGHTCLICK}, id);
  for (int32_t type : {ONBUTTONOVER, ONBUTTONCLICK, ONBUTTONRIGHTCLICK}) {
    LegacyEvent* e = append(type, id);
    if (!e) {
      removeEvents({ONBUTTONOVER, ONBUTTONCLICK, ONBUTTONRIGHTCLICK}, id);
      return ERR_MEM;
    }
    setRect(e, rect);
  }
  return 0;
}

ErrorCode notFound(int32_t id) {
  SetErrorArgNumber(id);
  return ERR_FINDBUTTON;
}

int cmdModifyButton(VmState* L) {
  CheckArgCount(L, 5, 5, 0, 0);
  int32_t id = eventIdArg(L), rect[4];
  readRect(L, rect);
  int found = 0;
  for (LegacyEvent* e = head(); e; e = e->next) {
    if (e->id != id ||
        (e->type != ONBUTTONOVER && e->type != ONBUTTONCLICK && e->type != ONBUTTONRIGHTCLICK))
      continue;
    setRect(e, rect);
    found = 1;
  }
  return found ? 0 : notFound(id);
}

int cmdRemoveButton(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t id = eventIdArg(L);
  return removeEvents({ONBUTTONOVER, ONBUTTONCLICK, ONBUTTONRIGHTCLICK}, id) ? 0 : notFound(id);
}

char* copyKey(VmState* L) {
  const char* key = VmCheckString(L, 2, nullptr);
  size_t n = std::strlen(key);
  auto* copy = static_cast<char*>(AllocMemory(n + 1, 0));
  if (copy) std::memcpy(copy, key, n + 1);
  return copy;
}

int cmdCreateKeyDown(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t id = eventIdArg(L);
  char* key = copyKey(L);
  if (!key) return ERR_MEM;
  removeEvents({ONKEYDOWN}, id);
  LegacyEvent* e = append(ONKEYDOWN, id);
  if (!e) {
    FreeMemory(key);
    return ERR_MEM;
  }
  e->key = key;
  return 0;
}

int cmdModifyKeyDown(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t id = eventIdArg(L);
  LegacyEvent* e = find(ONKEYDOWN, id);
  if (!e) {
    SetErrorArgNumber(id);
    return ERR_WRONGUSAGE;
  }
  char* key = copyKey(L);
  if (!key) return ERR_MEM;
  FreeMemory(e->key);
  e->key = key;
  return 0;
}

int cmdRemoveKeyDown(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return removeEvents({ONKEYDOWN}, eventIdArg(L)) ? 0 : ERR_WRONGUSAGE;
}

int switchEvent(VmState* L, int32_t on) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t type = VmCheckInteger(L, 1);
  int32_t id = VmCheckInteger(L, 2);
  if (type < ONBUTTONOVER || type > ONKEYDOWNALL || type == 4) return ERR_WRONGUSAGE;
  if (type >= ONBUTTONCLICKALL) {
    displayContext.legacyAll[type - ONBUTTONCLICKALL] = on;
    return 0;
  }
  LegacyEvent* e = find(type, id);
  // A window event comes into being when it is first switched.
  if (!e && type >= MOVEWINDOW) {
    e = append(type, id);
    if (!e) return ERR_MEM;
  }
  if (!e) {
    SetErrorArgNumber(id);
    return type == ONKEYDOWN ? ERR_WRONGUSAGE : ERR_FINDBUTTON;
  }
  e->enabled = on;
  if (type == CLOSEWINDOW) displayContext.legacyCloseReport = on;
  return 0;
}

int cmdEnableEvent(VmState* L) { return switchEvent(L, 1); }
int cmdDisableEvent(VmState* L) { return switchEvent(L, 0); }

int cmdClearEvents(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  FreeLegacyEvents();
  return 0;
}

int cmdGetEventCode(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, displayContext.legacyCode);
  return 1;
}

// Keeps dispatching while the pointer stays on the legacy button it
// entered last.
int cmdWhileMouseOn(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  LegacyEvent* over = displayContext.legacyOver;
  if (!over) return 0;
  displayContext.whileMouseOnBroken = 0;
  for (;;) {
    DisplayRecord* d = GetCurrentDisplay();
    if (!d || displayContext.whileMouseOnBroken || displayContext.legacyOver != over) return 0;
    int32_t x, y;
    GetDisplayMousePosition(d, &x, &y);
    if (!inside(over, x, y)) return 0;
    int handled = 1;
    while (handled) {
      ErrorCode error = DispatchEvent(L, &handled);
      if (error != ERR_NONE) return error;
      if (int jump = TakeLegacyJump(L, -2)) return jump;
    }
    if (ErrorCode e = SleepViaAdapter(L, 10)) return e;
    if (ErrorCode e = PollWhileWaiting(L)) return e;
  }
}

int cmdBreakWhileMouseOn(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  displayContext.whileMouseOnBroken = 1;
  return 0;
}

}  // namespace

const CommandTableEntry LEGACY_COMMANDS[] = {
    {"CreateButton", cmdCreateButton},
    {"ModifyButton", cmdModifyButton},
    {"RemoveButton", cmdRemoveButton},
    {"CreateKeyDown", cmdCreateKeyDown},
    {"ModifyKeyDown", cmdModifyKeyDown},
    {"RemoveKeyDown", cmdRemoveKeyDown},
    {"EnableEvent", cmdEnableEvent},
    {"DisableEvent", cmdDisableEvent},
    {"ClearEvents", cmdClearEvents},
    {"GetEventCode", cmdGetEventCode},
    {"WhileMouseOn", cmdWhileMouseOn},
    {"BreakWhileMouseOn", cmdBreakWhileMouseOn},
    {nullptr, nullptr},
};

const ConstantTableEntry LEGACY_CONSTANTS[] = {
    {"ONBUTTONOVER", nullptr, ONBUTTONOVER},
    {"ONBUTTONCLICK", nullptr, ONBUTTONCLICK},
    {"ONKEYDOWN", nullptr, ONKEYDOWN},
    {"ONBUTTONRIGHTCLICK", nullptr, ONBUTTONRIGHTCLICK},
    {"MOVEWINDOW", nullptr, MOVEWINDOW},
    {"SIZEWINDOW", nullptr, SIZEWINDOW},
    {"INACTIVEWINDOW", nullptr, INACTIVEWINDOW},
    {"ACTIVEWINDOW", nullptr, ACTIVEWINDOW},
    {"CLOSEWINDOW", nullptr, CLOSEWINDOW},
    {"ONBUTTONCLICKALL", nullptr, ONBUTTONCLICKALL},
    {"ONBUTTONRIGHTCLICKALL", nullptr, ONBUTTONRIGHTCLICKALL},
    {"ONBUTTONOVERALL", nullptr, ONBUTTONOVERALL},
    {"ONKEYDOWNALL", nullptr, ONKEYDOWNALL},
    {nullptr, nullptr, 0},
};

int RunLegacyPhase(VmState* L) {
  if (!head()) return 0;
  QueueSearch search = {L, -1, 0};
  if (DropQueuedEventsThrough(L, visitQueued, &search)) {
    displayContext.legacyCode = search.code;
    displayContext.legacyJump = search.label;
    return 1;
  }
  if (!QueuedEventsPending()) {
    int32_t label = -1;
    if (pointerOver(L, &label)) {
      displayContext.legacyJump = label;
      return 1;
    }
  }
  return 0;
}

int TakeLegacyJump(VmState*, int repeat) {
  int32_t label = displayContext.legacyJump;
  if (label < 0) return 0;
  displayContext.legacyJump = -1;
  VmSetJumpDistance(label - VmGetCallPosition());
  return repeat;
}

bool LegacyReportsClose() { return displayContext.legacyCloseReport != 0; }

void FreeLegacyEvents() {
  while (LegacyEvent* e = head()) {
    head() = e->next;
    if (e->type == CLOSEWINDOW) displayContext.legacyCloseReport = 0;
    freeEvent(e);
  }
  displayContext.legacyOver = nullptr;
}
