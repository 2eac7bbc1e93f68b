// Object data: values that scripts attach to objects by name. Each object
// keeps a singly linked list of ObjectDataEntry records, names compared
// without regard to case. Invariant: every entry holds exactly one live
// reference, released when the entry goes or its value is replaced.
#include "runtime/objref.h"
#include "runtime/registries.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"

ObjectDataEntry* FindObjectDataEntry(ObjectDataEntry* list, const char* name) {
  for (ObjectDataEntry* e = list; e; e = e->next) {
    if (CompareNoCase(e->name, name) == 0) return e;
  }
  return nullptr;
}

ErrorCode SetObjectDataEntry(VmState* L, const char* name, int index, ObjectDataEntry** list) {
  if (ObjectDataEntry* existing = FindObjectDataEntry(*list, name)) {
    int32_t ref = CreateObjectRef(L, index);
    ReleaseObjectRef(L, existing->ref);
    existing->ref = ref;
    return ERR_NONE;
  }
  char* copy = nullptr;
  auto* entry = AllocRecordWithText<ObjectDataEntry>(name, &copy);
  if (!entry) return ERR_MEM;
  entry->name = copy;
  entry->ref = CreateObjectRef(L, index);
  ObjectDataEntry** link = list;
  while (*link) link = &(*link)->next;
  *link = entry;
  return ERR_NONE;
}

int ClearObjectDataEntry(VmState* L, ObjectDataEntry** list, const char* name) {
  for (ObjectDataEntry** link = list; *link; link = &(*link)->next) {
    ObjectDataEntry* e = *link;
    if (CompareNoCase(e->name, name) != 0) continue;
    *link = e->next;
    ReleaseObjectRef(L, e->ref);
    FreeMemory(e);
    return 1;
  }
  return 0;
}

void FreeObjectDataList(VmState* L, ObjectDataEntry** list) {
  for (ObjectDataEntry* e = *list; e;) {
    ObjectDataEntry* next = e->next;
    ReleaseObjectRef(L, e->ref);
    FreeMemory(e);
    e = next;
  }
  *list = nullptr;
}

ErrorCode CopyObjectDataList(VmState* L, const ObjectDataEntry* list, ObjectDataEntry** out) {
  *out = nullptr;
  ObjectDataEntry** link = out;
  for (const ObjectDataEntry* e = list; e; e = e->next) {
    char* copy = nullptr;
    auto* entry = AllocRecordWithText<ObjectDataEntry>(e->name, &copy);
    if (!entry) {
      FreeObjectDataList(L, out);
      return ERR_MEM;
    }
    entry->name = copy;
    entry->ref = CopyObjectRef(L, e->ref);
    *link = entry;
    link = &entry->next;
  }
  return ERR_NONE;
}
