// Event names, user event types that plug-ins register, and the release of
// queued payloads. Invariant: type numbers are handed out from 32 upwards,
// each one the last one's plus 1, and no two types (built-in or user) share
// a name without regard to case. The event queue reaches the payload freer
// and the size-event filter only through the hooks installed with them.
#include <cstring>

#include "display/event_private.h"
#include "platform/linux/platform.h"
#include "display/context_private.h"

const char* const WindowEventNames[WINDOW_EVENT_NAMES] = {
    "onkeydown",        "onkeyup",           "onmousemove",     "closewindow",
    "movewindow",       "sizewindow",        "activewindow",    "inactivewindow",
    "hidewindow",       "showwindow",        "onmousedown",     "onmouseup",
    "onrightmousedown", "onrightmouseup",    "onwheeldown",     "onwheelup",
    "modeswitch",       "ondropfile",        "clipboardchange", "onmidmousedown",
    "onmidmouseup",     "orientationchange", "showkeyboard",    "hidekeyboard",
    "hotkey",           "trayicon",          "ontouch",         "onapplicationmessage",
    "onmenuselect",     "ondockyclick",      "vanillakey",      "onrawkeydown",
    "onrawkeyup",       "onaccelerometer",   "ongyroscope",
};

const char* const GlobalEventNames[GLOBAL_EVENT_NAMES] = {
    "onsampleloop",    "onsampleend",   "onmusicend",       "onarexx",    "onconnect",
    "ondisconnect",    "onreceivedata", "onreceiveudpdata", "onvideoend", "onusermessage",
    "fillmusicbuffer", "runfinished",   "directorychanged",
};

namespace {

bool nameTaken(const char* name) {
  for (const char* n : WindowEventNames)
    if (CompareNoCase(n, name) == 0) return true;
  for (const char* n : GlobalEventNames)
    if (CompareNoCase(n, name) == 0) return true;
  return FindUserEventType(name) != nullptr;
}

}  // namespace

int32_t AddUserEventType(const char* name, int32_t mode, UserEventMessageHook messageHook,
                         UserEventCallHook callHook, UserEventFreeHook freeHook, void* thirdHook,
                         int32_t builtin) {
  // A plug-in may add its type before the event library opens; its
  // payloads must reach its free hook all the same.
  SetEventQueueHooks(FreeEventPayload, DisplaySwallowsSizeEvents);
  if (!name || !*name || nameTaken(name) || displayContext.lastUserType == INT32_MAX) return 0;
  auto* t = static_cast<UserEventType*>(AllocMemory(sizeof(UserEventType), 1));
  if (!t) return 0;
  size_t length = std::strlen(name);
  t->name = static_cast<char*>(AllocMemory(length + 1, 0));
  if (!t->name) {
    FreeMemory(t);
    return 0;
  }
  std::memcpy(t->name, name, length + 1);
  t->type = ++displayContext.lastUserType;
  t->mode = mode;
  t->handler = VM_REF_NIL;
  t->userData = VM_REF_NIL;
  t->messageHook = messageHook;
  t->callHook = callHook;
  t->freeHook = freeHook;
  t->thirdHook = thirdHook;
  t->builtin = builtin;
  UserEventType** link = &displayContext.userTypes;
  while (*link) link = &(*link)->next;
  *link = t;
  return t->type;
}

UserEventType* FindUserEventType(const char* name) {
  for (UserEventType* t = displayContext.userTypes; t; t = t->next)
    if (CompareNoCase(t->name, name) == 0) return t;
  return nullptr;
}

UserEventType* FindUserEventTypeByNumber(int32_t type) {
  for (UserEventType* t = displayContext.userTypes; t; t = t->next)
    if (t->type == type) return t;
  return nullptr;
}

UserEventType* GetUserEventTypeList() { return displayContext.userTypes; }

void FreeAllUserEventTypes(VmState* L) {
  while (UserEventType* t = displayContext.userTypes) {
    displayContext.userTypes = t->next;
    if (L) {
      VmReleaseReference(L, VM_REGISTRY_INDEX, t->handler);
      VmReleaseReference(L, VM_REGISTRY_INDEX, t->userData);
    }
    FreeMemory(t->name);
    FreeMemory(t);
  }
  displayContext.lastUserType = EVENT_FIRSTUSERTYPE - 1;
}

// A user type's payload belongs to its free hook (a built-in type's hooks
// are never called); every other payload is one heap block.
void FreeEventPayload(VmState* L, int32_t type, void* payload) {
  if (!payload) return;
  if (type >= EVENT_FIRSTUSERTYPE) {
    UserEventType* t = FindUserEventTypeByNumber(type);
    if (t) {
      if (!t->builtin && t->freeHook) t->freeHook(L, payload);
      return;
    }
  }
  FreeMemory(payload);
}

// Scaled displays report their size through the scaling, not the window:
// either scaling mode without an explicit scale factor swallows the
// window's own size events.
bool DisplaySwallowsSizeEvents(const DisplayRecord* display) {
  return display && (display->autoscale || display->layerscale) && !display->scaleFactorActive;
}
