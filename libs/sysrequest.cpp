// The system library's commands that talk to the user and the desktop: the
// bell, desktop notifications, the desktop opener, the seven requesters and
// the clipboard.
//
// Every requester resets the current display's input state once it is
// closed, so keys held while it had the input do not stay down.
#include <cstdlib>
#include <cstring>
#include <string>

#include "display/display.h"
#include "draw/draw.h"
#include "engine/engine.h"
#include "gfx/gfx.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "runtime/player.h"
#include "runtime/runtime.h"

namespace {

constexpr int32_t REQ_MODE_MASK = 0xFFFF;
constexpr int32_t REQ_HIDEICONS = 65536;
constexpr int32_t CLIPBOARD_TEXT = 1;
constexpr int32_t CLIPBOARD_IMAGE = 2;
constexpr int32_t DURATION_LONG = -2;
constexpr int32_t DURATION_SHORT = -1;
constexpr int32_t DURATION_SHORT_MS = 2000;
constexpr int32_t DURATION_LONG_MS = 3500;

// The title a requester shows: the applet's when the script gives none.
const char* titleOf(const char* title) {
  if (title[0] != '\0' || player.record == nullptr) return title;
  return player.record->title;
}

void afterRequester() {
  if (DisplayRecord* d = GetCurrentDisplay()) ResetDisplayState(d);
}

// The requester's answer: its error unless the user cancelled.
ErrorCode requesterResult(ErrorCode error) {
  afterRequester();
  return error == ERR_USERABORT ? ERR_NONE : error;
}

// ---- Bell, notifications, desktop ------------------------------------------------------------

int cmdBeep(VmState* L) {
  CheckArgCount(L, 0, 1, 8, 0);
  VmOptInteger(L, 1, 0);  // every kind rings the same bell
  SystemBeep();
  return 0;
}

int cmdShowNotification(VmState* L) {
  CheckArgCount(L, 2, 3, 8, 0);
  const char* title = titleOf(VmCheckString(L, 1, nullptr));
  const char* text = VmCheckString(L, 2, nullptr);
  int32_t icon = 0, timeout = 0, value = 0;
  int found = 0;
  if (VmType(L, 3) == VM_TYPE_TABLE) {
    GetTableFieldInt(L, 3, "icon", &icon, &found);
    GetTableFieldInt(L, 3, "timeout", &timeout, &found);
    // Read for other platforms; this notification service takes no sound
    // switch and no position.
    GetTableFieldInt(L, 3, "nosound", &value, &found);
    GetTableFieldInt(L, 3, "x", &value, &found);
    GetTableFieldInt(L, 3, "y", &value, &found);
  }
  if (timeout == DURATION_SHORT) timeout = DURATION_SHORT_MS;
  if (timeout == DURATION_LONG) timeout = DURATION_LONG_MS;
  return ShowDesktopNotification(L, title, text, icon, timeout);
}

int cmdOpenURL(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return OpenWithDesktop(VmCheckString(L, 1, nullptr));
}

// ---- Requesters --------------------------------------------------------------------------------

int cmdSystemRequest(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  const char* title = titleOf(VmCheckString(L, 1, nullptr));
  const char* body = VmCheckString(L, 2, nullptr);
  const char* buttons = VmCheckString(L, 3, nullptr);
  int32_t icon = VmOptInteger(L, 4, 0);
  // REQICON_ none, information, error, warning as the requester's types.
  static const int32_t types[] = {4, 0, 1, 2};
  int32_t type = icon >= 0 && icon < 4 ? types[icon] : 4;
  int32_t choice = 0;
  ErrorCode error =
      ShowMessageRequester(L, GetCurrentDisplay(), title, body, buttons, type, 1, &choice);
  if ((error = requesterResult(error))) return error;
  VmPushNumber(L, choice);
  return 1;
}

int cmdColorRequest(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  const char* title = titleOf(VmCheckString(L, 1, nullptr));
  int32_t start = VmOptInteger(L, 2, -1);
  int32_t colour = -1;
  ErrorCode error = requesterResult(NativeColorRequester(L, title, start, &colour));
  if (error) return error;
  VmPushNumber(L, colour);
  return 1;
}

int cmdListRequest(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  const char* title = titleOf(VmCheckString(L, 1, nullptr));
  const char* body = VmCheckString(L, 2, nullptr);
  VmCheckTable(L, 3);
  int32_t selected = VmOptInteger(L, 4, -1);
  std::string choices;
  int32_t count = 0;
  for (;; count++) {
    VmRawGetI(L, 3, count);
    if (VmType(L, -1) == VM_TYPE_NIL) break;
    size_t n = 0;
    const char* entry = VmCheckStringInContext(L, -1, "entry", &n);
    choices.append(entry, std::strlen(entry));
    choices.push_back('\0');
    VmSetTop(L, -2);
  }
  if (count == 0 || selected < -1 || selected >= count) return ERR_WRONGUSAGE;
  choices.push_back('\0');
  int32_t index = -1;
  ErrorCode error =
      requesterResult(RunListRequester(L, title, body, choices.data(), selected, &index));
  if (error) return error;
  VmPushNumber(L, index);
  return 1;
}

int cmdFontRequest(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  const char* title = titleOf(VmCheckString(L, 1, nullptr));
  const char* name = VmOptString(L, 2, "", nullptr);
  int32_t size = VmOptInteger(L, 3, 0);
  FontRequestResult result{};
  ErrorCode error = requesterResult(NativeFontRequester(L, title, name, size, &result));
  if (error) return error;
  VmNewTable(L);
  SetTableFieldString(L, "name", result.name);
  SetTableFieldInt(L, "size", result.size);
  SetTableFieldString(L, "family", result.name);
  SetTableFieldInt(L, "weight", result.weight);
  SetTableFieldInt(L, "slant", result.slant);
  SetTableFieldInt(L, "bold", result.bold);
  SetTableFieldInt(L, "italic", result.italic);
  SetTableFieldInt(L, "underline", 0);
  SetTableFieldInt(L, "strikeout", 0);
  SetTableFieldInt(L, "color", 0);
  return 1;
}

int cmdPathRequest(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  const char* title = titleOf(VmCheckString(L, 1, nullptr));
  int32_t flags = VmOptInteger(L, 2, 0);
  const char* folder = VmOptString(L, 3, "", nullptr);
  char* out = nullptr;
  ErrorCode error =
      requesterResult(RunPathRequester(L, title, flags & REQ_MODE_MASK, folder, &out));
  OwnedMemory<char> path(out);
  if (error) return error;
  VmPushString(L, path != nullptr ? path.get() : "");
  return 1;
}

// The full path of a chosen name: the name itself when it is absolute.
std::string fullPath(const char* folder, const char* name) {
  if (name[0] == '/' || folder == nullptr || folder[0] == '\0') return name;
  std::string path = folder;
  if (path.back() != '/') path.push_back('/');
  return path + name;
}

int cmdFileRequest(VmState* L) {
  CheckArgCount(L, 1, 5, 0, 0);
  const char* title = titleOf(VmCheckString(L, 1, nullptr));
  const char* pattern = VmOptString(L, 2, "", nullptr);
  int32_t flags = VmOptInteger(L, 3, 0);
  const char* folder = VmOptString(L, 4, "", nullptr);
  const char* file = VmOptString(L, 5, "", nullptr);
  int32_t mode = flags & REQ_MODE_MASK;
  if (mode > 2) return ERR_WRONGUSAGE;
  // REQ_HIDEICONS concerns icon files of other platforms; nothing to hide.
  static_cast<void>(flags & REQ_HIDEICONS);
  char* outFolder = nullptr;
  char* outFiles = nullptr;
  int32_t count = 0, chosen = 0;
  ErrorCode error = requesterResult(
      RequestFiles(L, title, pattern, mode, folder, file, &outFolder, &outFiles, &count, &chosen));
  OwnedMemory<char> ownedFolder(outFolder);
  OwnedMemory<char> ownedFiles(outFiles);
  if (error) return error;
  if (mode == 1) {
    VmNewTable(L);
    const char* name = outFiles;
    for (int32_t i = 0; chosen && name != nullptr && i < count; i++) {
      std::string path = fullPath(outFolder, name);
      VmPushLString(L, path.data(), path.size());
      VmRawSetI(L, -2, i);
      name += std::strlen(name) + 1;
    }
    return 1;
  }
  if (!chosen || outFiles == nullptr) {
    VmPushString(L, "");
    return 1;
  }
  std::string path = fullPath(outFolder, outFiles);
  VmPushLString(L, path.data(), path.size());
  return 1;
}

// Whether the text is wholly a number.
bool isNumberText(const char* text) {
  if (text[0] == '\0') return true;
  char* end = nullptr;
  std::strtod(text, &end);
  return end != text && *end == '\0';
}

int cmdStringRequest(VmState* L) {
  CheckArgCount(L, 2, 6, 0, 0);
  const char* title = titleOf(VmCheckString(L, 1, nullptr));
  const char* prompt = VmCheckString(L, 2, nullptr);
  std::string initial = VmOptString(L, 3, "", nullptr);
  int32_t type = VmOptInteger(L, 4, 0);
  int32_t maxLength = VmOptInteger(L, 5, 0);
  int32_t flags = VmOptInteger(L, 6, 0);
  if ((type != 0 && type != 3) || maxLength < 0) return ERR_WRONGUSAGE;
  if (type == 3 && !isNumberText(initial.c_str())) return ERR_WRONGUSAGE;
  if (maxLength > 0 && initial.size() > static_cast<size_t>(maxLength)) initial.resize(maxLength);
  char* out = nullptr;
  ErrorCode error = requesterResult(RunStringRequester(
      L, title, prompt, initial.c_str(), type == 3 ? 3 : 1, maxLength, flags & 1, &out));
  OwnedMemory<char> text(out);
  if (error) return error;
  const char* result = text != nullptr ? text.get() : "";
  VmPushString(L, result);
  VmPushNumber(L, result[0] != '\0' ? 1 : 0);
  return 2;
}

// ---- Clipboard ---------------------------------------------------------------------------------

int cmdClearClipboard(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  return SetClipboardOwner();
}

int cmdPeekClipboard(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  int32_t kind = 0;
  ErrorCode error = ReadClipboardText(L, &kind);
  if (error) return error;
  VmPushNumber(L, kind);
  return 1;
}

int cmdGetClipboard(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  ClipboardRecord record{};
  int32_t kind = 0;
  ErrorCode error = ReadClipboardData(L, &record, &kind);
  OwnedMemory<char> text(record.text);
  if (error) {
    FreeBitmap(record.bitmap);
    FreeBitmap(record.mask);
    FreeBitmap(record.alpha);
    return error;
  }
  VmPushNumber(L, kind);
  if (kind == CLIPBOARD_TEXT) {
    VmPushString(L, text != nullptr ? text.get() : "");
    return 2;
  }
  if (kind == CLIPBOARD_IMAGE) {
    ObjectId id{nullptr, 0};
    error = AddBrushObject(&id, 1, 0, record.width, record.height, record.width, 0, nullptr,
                           record.bitmap, -1, record.mask, record.alpha, nullptr, nullptr);
    if (error) {
      FreeBitmap(record.bitmap);
      FreeBitmap(record.mask);
      FreeBitmap(record.alpha);
      return error;
    }
    PushObjectId(L, id);
    return 2;
  }
  return 1;
}

int cmdSetClipboard(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t kind = VmCheckInteger(L, 1);
  ClipboardRecord record{};
  if (kind == CLIPBOARD_TEXT) {
    record.text = const_cast<char*>(VmCheckString(L, 2, nullptr));
  } else if (kind == CLIPBOARD_IMAGE) {
    BrushObject* brush = nullptr;
    ErrorCode error = GetBrushObject(L, GetObjectIdArg(L, 2, nullptr), &brush, BRUSH_NOVECTOR);
    if (error) return error;
    record.width = brush->width;
    record.height = brush->height;
    record.bitmap = brush->bitmap;
    record.mask = brush->mask;
    record.alpha = brush->alpha;
  } else {
    return ERR_WRONGUSAGE;
  }
  return PutClipboardData(kind, &record);
}

const CommandTableEntry requesterCommands[] = {
    {"Beep", cmdBeep},
    {"ShowNotification", cmdShowNotification},
    {"OpenURL", cmdOpenURL},
    {"SystemRequest", cmdSystemRequest},
    {"ColorRequest", cmdColorRequest},
    {"ListRequest", cmdListRequest},
    {"FontRequest", cmdFontRequest},
    {"PathRequest", cmdPathRequest},
    {"FileRequest", cmdFileRequest},
    {"StringRequest", cmdStringRequest},
    {"ClearClipboard", cmdClearClipboard},
    {"PeekClipboard", cmdPeekClipboard},
    {"GetClipboard", cmdGetClipboard},
    {"SetClipboard", cmdSetClipboard},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode OpenRequesterCommands(VmState* L) {
  ErrorCode error = RegisterLibrary(requesterCommands, "system");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, requesterCommands, 0);
  return ERR_NONE;
}
