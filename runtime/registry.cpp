// The runtime's registries of command libraries, object types and custom
// error texts, the date stamp and the shut-down free of every registry.
// Invariant: each registry is a singly linked list appended at its tail, so
// walks see entries in registration order; a failed allocation leaves the
// list as it was.
#include <cstring>

#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "runtime/registries.h"
#include "runtime/runtime.h"
#include "runtime/context_private.h"
#include "runtime/runtime_private.h"

namespace {

template <typename T>
void appendEntry(T** head, T* entry) {
  T** link = head;
  while (*link) link = &(*link)->next;
  *link = entry;
}

}  // namespace

ErrorCode RegisterLibrary(const CommandTableEntry* commands, const char* name) {
  auto* entry = static_cast<LibraryEntry*>(AllocMemory(sizeof(LibraryEntry), 1));
  if (!entry) return ERR_MEM;
  entry->commands = commands;
  StrCopyBounded(entry->name, sizeof(entry->name), name ? name : "");
  appendEntry(&runtimeContext.libraries, entry);
  return ERR_NONE;
}

const LibraryEntry* GetLibraryList() { return runtimeContext.libraries; }

const char* RegisteredCommandSpelling(const char* name) {
  for (const LibraryEntry* lib = GetLibraryList(); lib != nullptr; lib = lib->next) {
    if (lib->commands == nullptr) continue;
    for (const CommandTableEntry* e = lib->commands; e->name != nullptr; e++)
      if (CompareNoCase(e->name, name) == 0) return e->name;
  }
  return nullptr;
}

ErrorCode RegisterObjectType(ObjectHead** list, const char* name, ObjectTypeHandler handler,
                             int32_t* outTypeId, int32_t bridge) {
  auto* entry = static_cast<ObjectTypeEntry*>(AllocMemory(sizeof(ObjectTypeEntry), 1));
  if (!entry) return ERR_MEM;
  entry->list = list;
  if (name) {
    size_t length = std::strlen(name);
    entry->name = static_cast<char*>(AllocMemory(length + 1, 0));
    if (!entry->name) {
      FreeMemory(entry);
      return ERR_MEM;
    }
    std::memcpy(entry->name, name, length + 1);
    entry->typeId = runtimeContext.nextObjectTypeId++;
    entry->handler = handler;
    entry->bridge = bridge;
    if (outTypeId) *outTypeId = entry->typeId;
  }
  appendEntry(&runtimeContext.objectTypes, entry);
  return ERR_NONE;
}

ErrorCode RegisterObjectList(ObjectHead** list) {
  return RegisterObjectType(list, nullptr, nullptr, nullptr, 0);
}

ErrorCode CallObjectTypeHandler(VmState* L, int32_t typeId, uintptr_t a, uintptr_t b) {
  for (ObjectTypeEntry* e = runtimeContext.objectTypes; e; e = e->next) {
    if (!e->name || e->typeId != typeId || !e->handler) continue;
    if (e->bridge) return static_cast<ErrorCode>(NullAdapterHook());
    return e->handler(L, a, b);
  }
  return ERR_WRONGUSAGE;
}

const ObjectTypeEntry* GetObjectTypeList() { return runtimeContext.objectTypes; }

int ListObjectsOfType(VmState* L, int32_t type) {
  int count = 0;
  for (const ObjectTypeEntry* e = GetObjectTypeList(); e != nullptr; e = e->next) {
    if (e->list == nullptr) continue;
    for (const ObjectHead* o = *e->list; o != nullptr; o = o->next) {
      if (o->type != type) continue;
      PushObjectId(L, ObjectId{o->autoId, o->number});
      VmRawSetI(L, -2, count++);
    }
  }
  return count;
}

int32_t CountObjectsOfType(int32_t type) {
  int32_t count = 0;
  for (const ObjectTypeEntry* e = runtimeContext.objectTypes; e; e = e->next) {
    if (e->list == nullptr) continue;
    for (const ObjectHead* h = *e->list; h; h = h->next)
      if (h->type == type) ++count;
  }
  return count;
}

int32_t GetUserObjectTypeCount() { return runtimeContext.nextObjectTypeId - FIRST_OBJECT_TYPE_ID; }

const ObjectTypeEntry* GetObjectTypeRecord(int32_t type) {
  for (const ObjectTypeEntry* e = runtimeContext.objectTypes; e; e = e->next)
    if (e->name != nullptr && e->typeId == type) return e;
  return nullptr;
}

ErrorCode RegisterAttributeReader(int32_t type, AttributeReader reader) {
  if (type < 0 || type >= ATTRIBUTE_READER_TYPES) return ERR_WRONGUSAGE;
  runtimeContext.attributeReaders[type] = reader;
  return ERR_NONE;
}

AttributeReader FindAttributeReader(int32_t type) {
  if (type < 0 || type >= ATTRIBUTE_READER_TYPES) return nullptr;
  return runtimeContext.attributeReaders[type];
}

int32_t CountObjectList(const ObjectHead* list) {
  int32_t count = 0;
  for (; list; list = list->next) ++count;
  return count;
}

ErrorCode ObjectNotFound(ObjectId id, ErrorCode code) {
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return code;
}

ErrorCode RegisterCustomError(const char* text) {
  char* copy = nullptr;
  auto* entry = AllocRecordWithText<CustomErrorEntry>(text, &copy);
  if (!entry) return ERR_MEM;
  entry->text = copy;
  ErrorCode number = ERR_FIRSTCUSTOM;
  CustomErrorEntry** link = &runtimeContext.customErrors;
  while (*link) {
    link = &(*link)->next;
    ++number;
  }
  *link = entry;
  return number;
}

const char* GetCustomErrorText(ErrorCode code) {
  if (code < ERR_FIRSTCUSTOM) return nullptr;
  ErrorCode number = ERR_FIRSTCUSTOM;
  for (CustomErrorEntry* e = runtimeContext.customErrors; e; e = e->next, ++number) {
    if (number == code) return e->text;
  }
  return nullptr;
}

ErrorCode GetCurrentDateStamp(DateFields* out) {
  TimeValue now;
  GetSysTime(&now);
  int64_t seconds = now.seconds;
  return TimeToDate(&seconds, out, 0) == 0 ? ERR_NONE : ERR_INTERNAL;
}

void* CopyLinkedAppletRecord(const void* record) {
  void* copy = AllocMemory(APPENDED_APPLET_RECORD_SIZE, 0);
  if (copy) std::memcpy(copy, record, APPENDED_APPLET_RECORD_SIZE);
  return copy;
}

void FreeRegistries(VmState* L) {
  FreeAttrHandlers();
  for (LibraryEntry* e = runtimeContext.libraries; e;) {
    LibraryEntry* next = e->next;
    FreeMemory(e);
    e = next;
  }
  runtimeContext.libraries = nullptr;
  for (CustomErrorEntry* e = runtimeContext.customErrors; e;) {
    CustomErrorEntry* next = e->next;
    FreeMemory(e);
    e = next;
  }
  runtimeContext.customErrors = nullptr;
  for (ObjectTypeEntry* e = runtimeContext.objectTypes; e;) {
    ObjectTypeEntry* next = e->next;
    FreeMemory(e->name);
    FreeMemory(e);
    e = next;
  }
  runtimeContext.objectTypes = nullptr;
  runtimeContext.nextObjectTypeId = FIRST_OBJECT_TYPE_ID;
  for (AttributeReader& reader : runtimeContext.attributeReaders) reader = nullptr;
  FreeHookRecords();
  GetPluginManagerHooks()->emptyLoaderLists();
  FreeEventQueue(L);
}
