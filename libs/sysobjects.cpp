// The system library's plug-in commands and its generic access to every
// library's objects through the runtime's object registry: existence,
// listing, the type of a handle, and the named data items that scripts
// attach to objects.
#include <cstring>

#include "display/display.h"
#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

constexpr const char* PLUGIN_SUFFIX = ".qmp";

// The name without a trailing ".qmp" (any case), at most size-1 bytes.
void moduleNameOf(const char* name, char* out, size_t size) {
  StrCopyBounded(out, size, name);
  size_t n = std::strlen(out);
  if (n >= 4 && CompareNoCase(out + n - 4, PLUGIN_SUFFIX) == 0) out[n - 4] = '\0';
}

const PluginEntry* findPlugin(const char* name) {
  char wanted[PLUGIN_MODULE_NAME_SIZE];
  moduleNameOf(name, wanted, sizeof wanted);
  for (const PluginEntry* e = GetPluginList(); e; e = e->next)
    if (CompareNoCase(e->moduleName, wanted) == 0) return e;
  return nullptr;
}

// A plug-in's text in the run's text mode: outside UTF-8 mode valid UTF-8
// becomes Latin-1; in UTF-8 mode a text that is not UTF-8 is taken as
// Latin-1 and converted.
void setPluginText(VmState* L, const char* key, const char* text) {
  if (text == nullptr) text = "";
  int invalid = 0;
  Utf8ValidateString(text, &invalid);
  char* converted = nullptr;
  if (!unicodeUtf8Mode && !invalid)
    converted = Utf8ToLatin1Dup(text);
  else if (unicodeUtf8Mode && invalid)
    converted = Latin1ToUtf8Dup(text);
  OwnedMemory<char> owned(converted);
  SetTableFieldString(L, key, converted != nullptr ? converted : text);
}

// ---- Plug-ins ----------------------------------------------------------------------------------

int cmdHavePlugin(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  const char* name = VmCheckString(L, 1, nullptr);
  int32_t version = VmOptInteger(L, 2, 0);
  int32_t revision = VmOptInteger(L, 3, 0);
  const PluginEntry* e = findPlugin(name);
  int there = 0, loaded = 0;
  if (e != nullptr) {
    there = 1;
    if (e->handle != nullptr) {
      const PluginBase* base = GetPluginBase(e->handle);
      bool newEnough =
          base->version > version || (base->version == version && base->revision >= revision);
      there = newEnough ? 1 : 0;
      loaded = newEnough ? 1 : 0;
    }
  }
  VmPushNumber(L, there);
  VmPushNumber(L, loaded);
  return 2;
}

int cmdLoadPlugin(VmState* L) {
  CheckArgCount(L, 1, 2, 6, 0);
  const char* name = VmCheckString(L, 1, nullptr);
  int32_t version = 0, revision = 0;
  uint32_t flags = 0;
  if (VmType(L, 2) == VM_TYPE_TABLE) {
    int found = 0;
    GetTableFieldInt(L, 2, "version", &version, &found);
    GetTableFieldInt(L, 2, "revision", &revision, &found);
    int32_t skip = 0;
    GetTableFieldInt(L, 2, "skiprequire", &skip, &found);
    if (found && skip) flags |= 1;
  }
  const PluginEntry* e = findPlugin(name);
  if (e != nullptr && e->handle != nullptr) {
    char text[PLUGIN_MODULE_NAME_SIZE + 8];
    moduleNameOf(name, text, PLUGIN_MODULE_NAME_SIZE);
    std::strcat(text, PLUGIN_SUFFIX);
    SetErrorArgString(text);
    return ERR_PLUGINDOUBLET;
  }
  return LoadPluginFile(L, name, version, revision, flags, 0, 0);
}

int setPluginDisabled(VmState* L, int32_t disabled) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* name = VmCheckString(L, 1, nullptr);
  const PluginEntry* e = findPlugin(name);
  if (e == nullptr || e->handle == nullptr) {
    char text[PLUGIN_MODULE_NAME_SIZE];
    moduleNameOf(name, text, sizeof text);
    SetErrorArgString(text);
    return ERR_FINDPLUGIN;
  }
  GetPluginBase(e->handle)->disabled = disabled;
  return 0;
}

int cmdEnablePlugin(VmState* L) { return setPluginDisabled(L, 0); }
int cmdDisablePlugin(VmState* L) { return setPluginDisabled(L, 1); }

int cmdGetPlugins(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  ErrorCode error = PushPluginInfoList(L);
  return error ? error : 1;
}

// ---- Objects ---------------------------------------------------------------------------------

// Calls visit for each registered object until it answers true.
template <typename Visit>
ObjectHead* findObject(Visit visit) {
  for (const ObjectTypeEntry* t = GetObjectTypeList(); t; t = t->next) {
    if (t->list == nullptr) continue;
    for (ObjectHead* h = *t->list; h; h = h->next)
      if (visit(h)) return h;
  }
  return nullptr;
}

bool sameId(const ObjectHead* h, ObjectId id) {
  return id.autoId != nullptr ? h->autoId == id.autoId
                              : (h->autoId == nullptr && h->number == id.number);
}

int cmdHaveObject(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t type = VmCheckInteger(L, 1);
  ObjectId id = GetObjectIdArg(L, 2, nullptr);
  VmPushNumber(L, FindObjectEntry(type, id) != nullptr ? 1 : 0);
  return 1;
}

int cmdGetObjects(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t type = VmCheckInteger(L, 1);
  VmNewTable(L);
  int32_t count = 0;
  findObject([&](ObjectHead* h) {
    if (h->type != type) return false;
    PushObjectId(L, ObjectId{h->autoId, h->number});
    VmRawSetI(L, -2, count++);
    return false;
  });
  VmPushNumber(L, count);
  return 2;
}

int cmdGetObjectType(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmCheckType(L, 1, VM_TYPE_LIGHTUSERDATA);
  VmPushNumber(L, GetObjectTypeOfHandle(VmToUserdata(L, 1)));
  return 1;
}

// The data list of an object: ERR_FINDARRAY for an unknown object; layers
// (type 22) need the current display's layers (ERR_NOLAYERS) and a layer
// of that id (ERR_LAYERRANGE).
ErrorCode objectDataList(int32_t type, ObjectId id, ObjectDataEntry*** out) {
  if (type == OBJTYPE_LAYER) {
    DisplayRecord* display = GetCurrentDisplay();
    if (display == nullptr || !display->layers) return ERR_NOLAYERS;
    qmLayer* layer = id.autoId ? nullptr : GetCurrentLayerAt(id.number);
    if (layer == nullptr) return ERR_LAYERRANGE;
    *out = &layer->data;
    return ERR_NONE;
  }
  ObjectHead* h = FindObjectEntry(type, id);
  if (h == nullptr) return ERR_FINDARRAY;
  *out = &h->data;
  return ERR_NONE;
}

// Reads a name argument: ERR_WRONGUSAGE when it is empty.
const char* nameArg(VmState* L, int index, ErrorCode* error) {
  const char* name = VmCheckString(L, index, nullptr);
  *error = name[0] == '\0' ? ERR_WRONGUSAGE : ERR_NONE;
  return name;
}

int cmdSetObjectData(VmState* L) {
  CheckArgCount(L, 4, 4, 0, 0);
  int32_t type = VmCheckInteger(L, 1);
  ObjectId id = GetObjectIdArg(L, 2, nullptr);
  ErrorCode error;
  const char* name = nameArg(L, 3, &error);
  if (error) return error;
  ObjectDataEntry** list = nullptr;
  if ((error = objectDataList(type, id, &list))) return error;
  return SetObjectDataEntry(L, name, 4, list);
}

int cmdGetObjectData(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  int32_t type = VmCheckInteger(L, 1);
  ObjectId id = GetObjectIdArg(L, 2, nullptr);
  ErrorCode error;
  const char* name = nameArg(L, 3, &error);
  if (error) return error;
  ObjectDataEntry** list = nullptr;
  if ((error = objectDataList(type, id, &list))) return error;
  ObjectDataEntry* e = FindObjectDataEntry(*list, name);
  if (e == nullptr) {
    SetErrorArgString(name);
    return ERR_FINDOBJECTDATA;
  }
  VmRawGetI(L, VM_REGISTRY_INDEX, e->ref);
  return 1;
}

int cmdHaveObjectData(VmState* L) {
  CheckArgCount(L, 3, 3, 0, 0);
  int32_t type = VmCheckInteger(L, 1);
  ObjectId id = GetObjectIdArg(L, 2, nullptr);
  ErrorCode error;
  const char* name = nameArg(L, 3, &error);
  if (error) return error;
  ObjectDataEntry** list = nullptr;
  if ((error = objectDataList(type, id, &list))) return error;
  VmPushNumber(L, FindObjectDataEntry(*list, name) != nullptr ? 1 : 0);
  return 1;
}

int cmdClearObjectData(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  int32_t type = VmCheckInteger(L, 1);
  ObjectId id = GetObjectIdArg(L, 2, nullptr);
  ErrorCode error = ERR_NONE;
  const char* name =
      VmGetTop(L) >= 3 && VmType(L, 3) != VM_TYPE_NIL ? nameArg(L, 3, &error) : nullptr;
  if (error) return error;
  ObjectDataEntry** list = nullptr;
  if ((error = objectDataList(type, id, &list))) return error;
  if (name == nullptr) {
    FreeObjectDataList(L, list);
    return 0;
  }
  if (!ClearObjectDataEntry(L, list, name)) {
    SetErrorArgString(name);
    return ERR_FINDOBJECTDATA;
  }
  return 0;
}

int cmdCopyObjectData(VmState* L) {
  CheckArgCount(L, 4, 5, 0, 0);
  int32_t sourceType = VmCheckInteger(L, 1);
  ObjectId sourceId = GetObjectIdArg(L, 2, nullptr);
  int32_t targetType = VmCheckInteger(L, 3);
  ObjectId targetId = GetObjectIdArg(L, 4, nullptr);
  bool overwrite = true;
  if (VmGetTop(L) >= 5 && VmType(L, 5) != VM_TYPE_NIL)
    overwrite = VmType(L, 5) == VM_TYPE_BOOLEAN ? VmToBoolean(L, 5) != 0 : VmCheckNumber(L, 5) != 0;
  ObjectDataEntry** source = nullptr;
  ObjectDataEntry** target = nullptr;
  ErrorCode error = objectDataList(sourceType, sourceId, &source);
  if (!error) error = objectDataList(targetType, targetId, &target);
  if (error) return error;
  if (source == target) return 0;
  for (ObjectDataEntry* e = *source; e; e = e->next) {
    if (!overwrite && FindObjectDataEntry(*target, e->name) != nullptr) continue;
    VmRawGetI(L, VM_REGISTRY_INDEX, e->ref);
    error = SetObjectDataEntry(L, e->name, VmGetTop(L), target);
    VmSetTop(L, -2);
    if (error) return error;
  }
  return 0;
}

const CommandTableEntry objectCommands[] = {
    {"HavePlugin", cmdHavePlugin},         {"LoadPlugin", cmdLoadPlugin},
    {"EnablePlugin", cmdEnablePlugin},     {"DisablePlugin", cmdDisablePlugin},
    {"GetPlugins", cmdGetPlugins},         {"HaveObject", cmdHaveObject},
    {"GetObjects", cmdGetObjects},         {"GetObjectType", cmdGetObjectType},
    {"SetObjectData", cmdSetObjectData},   {"GetObjectData", cmdGetObjectData},
    {"HaveObjectData", cmdHaveObjectData}, {"ClearObjectData", cmdClearObjectData},
    {"CopyObjectData", cmdCopyObjectData}, {nullptr, nullptr},
};

}  // namespace

ErrorCode PushPluginInfoList(VmState* L) {
  if (!VmCheckStack(L, 6)) return ERR_STACK;
  VmNewTable(L);
  int32_t index = 0;
  for (const PluginEntry* e = GetPluginList(); e; e = e->next) {
    if (e->handle == nullptr) continue;
    const PluginBase* base = GetPluginBase(e->handle);
    VmNewTable(L);
    SetTableFieldNumber(L, "version", base->version);
    SetTableFieldNumber(L, "revision", base->revision);
    SetTableFieldU32(L, "capabilities", e->capabilities);
    setPluginText(L, "name", base->text);
    setPluginText(L, "modulename", base->moduleName);
    static const char* const texts[] = {"author", "description", "copyright", "url",
                                        "date",   "settings",    "helpfile"};
    for (size_t i = 0; i < 7; i++) setPluginText(L, texts[i], base->infoTexts[i]);
    SetTableFieldNumber(L, "disabled", base->disabled ? 1 : 0);
    setPluginText(L, "path", e->path);
    VmRawSetI(L, -2, index++);
  }
  return ERR_NONE;
}

ObjectHead* FindObjectEntry(int32_t type, ObjectId id) {
  return findObject([&](ObjectHead* h) { return h->type == type && sameId(h, id); });
}

int32_t GetObjectTypeOfHandle(void* handle) {
  if (handle == nullptr) return -1;
  ObjectHead* h = findObject([&](ObjectHead* o) { return o->autoId == handle; });
  return h != nullptr ? h->type : -1;
}

ErrorCode OpenObjectCommands(VmState* L) {
  ErrorCode error = RegisterLibrary(objectCommands, "system");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, objectCommands, 0);
  return ERR_NONE;
}
