// The requesters of the display library: each goes to the requester
// adapter plug-in when its flags hand that requester over, else to the
// native requester of the platform. What the adapter allocates is copied
// into runtime memory and given back through its FreeRequest.
//
// Invariants: FreeRequest runs exactly once for every result the adapter
// filled, also when the copy fails; texts from the adapter are read only
// up to REQUEST_TEXT_MAX bytes. While any requester is open the displays
// do not switch between window and full screen.
#include <cstring>

#include "display/adapter_private.h"
#include "display/context_private.h"
#include "display/display.h"
#include "display/display_private.h"
#include "display/event_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"

namespace {

// The longest text or name list taken from an adapter (bytes).
constexpr size_t REQUEST_TEXT_MAX = 1 << 20;

// Button sets and icon types of SystemRequest.
struct ButtonSet {
  const char* text;
  uint32_t flag;
};
constexpr ButtonSet BUTTON_SETS[] = {
    {"OK", QM_REQBUTTONS_OK},
    {"OK|Cancel", QM_REQBUTTONS_OKCANCEL},
    {"Yes|No", QM_REQBUTTONS_YESNO},
    {"Yes|No|Cancel", QM_REQBUTTONS_YESNOCANCEL},
};
constexpr uint32_t TYPE_FLAGS[] = {QM_REQTYPE_INFO, QM_REQTYPE_ERROR, QM_REQTYPE_WARNING,
                                   QM_REQTYPE_QUESTION, QM_REQTYPE_NONE};

int32_t requestersOpen = 0;

// Counts the requester as open while it lives.
struct OpenRequester {
  OpenRequester() { requestersOpen++; }
  ~OpenRequester() { requestersOpen--; }
};

template <typename F>
F adapterHook(uint32_t bit, const char* name) {
  const RequesterAdapter* a = GetRequesterAdapter();
  if (!a || !(a->flags & bit)) return nullptr;
  return reinterpret_cast<F>(RequesterAdapterHook(name));
}

bool adapterHas(uint32_t bit) {
  const RequesterAdapter* a = GetRequesterAdapter();
  return a && (a->flags & bit);
}

void* windowOf(DisplayRecord* d) {
  if (!d) d = GetCurrentDisplay();
  return d && d->state == DISPSTATE_OPEN ? AdapterWindowOf(d) : nullptr;
}

// A bounded copy of an adapter's text (null stays null): false without
// memory.
bool copyText(const char* text, size_t limit, char** out) {
  *out = nullptr;
  if (!text) return true;
  size_t length = strnlen(text, limit);
  auto* copy = static_cast<char*>(AllocMemory(length + 1, 0));
  if (!copy) return false;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  *out = copy;
  return true;
}

// Gives the result back to the adapter once, whatever happened to it.
struct ResultGuard {
  int32_t kind;
  QmRequestResult* result;
  bool filled = false;
  ~ResultGuard() {
    if (!filled) return;
    auto release = reinterpret_cast<QmFreeRequestFunc>(RequesterAdapterHook("FreeRequest"));
    if (release) release(kind, result);
  }
};

}  // namespace

int RequesterIsOpen() { return requestersOpen > 0; }

ErrorCode ShowMessageRequester(VmState* L, DisplayRecord* d, const char* title, const char* body,
                               const char* buttons, int32_t type, int32_t defaultButton,
                               int32_t* choice) {
  *choice = 0;
  OpenRequester open;
  auto request = adapterHook<QmSystemRequestFunc>(QM_REQADAPTER_MESSAGE, "SystemRequest");
  if (!adapterHas(QM_REQADAPTER_MESSAGE))
    return NativeSystemRequester(L, title, body, buttons, type, choice);
  uint32_t flags = buttons ? QM_REQBUTTONS_CUSTOM : QM_REQBUTTONS_OK;
  for (const ButtonSet& set : BUTTON_SETS)
    if (buttons && CompareNoCase(buttons, set.text) == 0) flags = set.flag;
  if (type >= 0 && type < static_cast<int32_t>(sizeof TYPE_FLAGS / sizeof TYPE_FLAGS[0]))
    flags |= TYPE_FLAGS[type];
  QmTagItem tags[] = {
      {QM_REQTAG_DEFAULT, static_cast<uintptr_t>(defaultButton)},
      {flags & QM_REQBUTTONS_CUSTOM ? QM_REQTAG_BUTTONS : 0u, reinterpret_cast<uintptr_t>(buttons)},
      {0, 0}};
  return request ? request(windowOf(d), title, body, flags, choice, tags) : ERR_NONE;
}

ErrorCode RequestFiles(VmState* L, const char* title, const char* pattern, int32_t mode,
                       const char* folder, const char* file, char** outFolder, char** outFiles,
                       int32_t* count, int32_t* chosen) {
  *outFolder = *outFiles = nullptr;
  *count = *chosen = 0;
  OpenRequester open;
  if (!adapterHas(QM_REQADAPTER_FILE))
    return NativeFileRequester(L, title, pattern, mode, folder, file, outFolder, outFiles, count,
                               chosen);
  auto request = adapterHook<QmFileRequestFunc>(QM_REQADAPTER_FILE, "FileRequest");
  if (!request) return ERR_NONE;
  uint32_t flags = mode == 1 ? QM_REQFILE_MULTISELECT : mode == 2 ? QM_REQFILE_SAVE : 0;
  bool all =
      !pattern || !*pattern || std::strcmp(pattern, "*") == 0 || std::strcmp(pattern, "#?") == 0;
  QmRequestResult result = {};
  ResultGuard guard{QM_REQKIND_FILE, &result};
  ErrorCode error =
      request(windowOf(nullptr), title, all ? nullptr : pattern, folder, file, flags, &result);
  guard.filled = true;
  if (error != ERR_NONE || !result.chosen) return error;
  // The names: count of them, each ended by a zero byte, walked within
  // the bound.
  const char* names = result.text ? result.text : "";
  size_t length = 0;
  int32_t found = 0;
  while (found < result.count && length < REQUEST_TEXT_MAX) {
    size_t one = strnlen(names + length, REQUEST_TEXT_MAX - length);
    if (one == 0 || length + one >= REQUEST_TEXT_MAX) break;  // the end, or no terminator
    length += one + 1;
    found++;
  }
  char* folderCopy = nullptr;
  auto* files = static_cast<char*>(AllocMemory(length + 1, 1));
  if (!files || !copyText(result.folder ? result.folder : "", REQUEST_TEXT_MAX, &folderCopy)) {
    FreeMemory(files);
    return ERR_MEM;
  }
  std::memcpy(files, names, length);
  *outFolder = folderCopy;
  *outFiles = files;
  *count = found;
  *chosen = found > 0;
  return ERR_NONE;
}

ErrorCode RunPathRequester(VmState* L, const char* title, int32_t mode, const char* folder,
                           char** out) {
  *out = nullptr;
  OpenRequester open;
  if (!adapterHas(QM_REQADAPTER_PATH)) return NativePathRequester(L, title, mode, folder, out);
  auto request = adapterHook<QmPathRequestFunc>(QM_REQADAPTER_PATH, "PathRequest");
  if (!request) return ERR_NONE;
  QmRequestResult result = {};
  ResultGuard guard{QM_REQKIND_PATH, &result};
  ErrorCode error = request(windowOf(nullptr), title, folder, static_cast<uint32_t>(mode), &result);
  guard.filled = true;
  if (error != ERR_NONE || !result.chosen) return error;
  return copyText(result.text ? result.text : "", REQUEST_TEXT_MAX, out) ? ERR_NONE : ERR_MEM;
}

ErrorCode RunStringRequester(VmState* L, const char* title, const char* prompt, const char* text,
                             int32_t type, int32_t maxLength, int32_t hidden, char** out) {
  *out = nullptr;
  OpenRequester open;
  if (!adapterHas(QM_REQADAPTER_STRING))
    return NativeStringRequester(L, title, prompt, text, type, maxLength, hidden, out);
  auto request = adapterHook<QmStringRequestFunc>(QM_REQADAPTER_STRING, "StringRequest");
  QmRequestResult result = {};
  ErrorCode error = ERR_NONE;
  if (request) {
    ResultGuard guard{QM_REQKIND_STRING, &result};
    uint32_t flags = type >= 1 && type <= 4 ? 1u << (type - 1) : 0;
    error = request(windowOf(nullptr), title, prompt, text, flags, maxLength, &result);
    guard.filled = true;
    if (error == ERR_NONE)
      return copyText(result.chosen && result.text ? result.text : "", REQUEST_TEXT_MAX, out)
                 ? ERR_NONE
                 : ERR_MEM;
  }
  // Cancelled or refused: the empty text, as the native requester answers.
  if (error == ERR_NONE && !copyText("", 1, out)) return ERR_MEM;
  return error;
}

ErrorCode RunListRequester(VmState* L, const char* title, const char* body, const char* choices,
                           int32_t start, int32_t* index) {
  *index = -1;
  OpenRequester open;
  if (!adapterHas(QM_REQADAPTER_LIST))
    return NativeListRequester(L, title, body, choices, start, index);
  auto request = adapterHook<QmListRequestFunc>(QM_REQADAPTER_LIST, "ListRequest");
  return request ? request(windowOf(nullptr), title, body, choices, start, index) : ERR_NONE;
}

void SetRequesterParentGrabbed(int grab) {
  X11DisplayRecord* parent = FindRequesterParentRecord();
  if (!parent) return;
  // The requester takes the input while it is shown; the parent gets its
  // grab back afterwards.
  if (grab)
    GrabX11Input(parent);
  else
    ReleaseX11InputGrab(parent);
}
