// VM extension records: plug-in hooks that take over calls of chosen
// built-in commands, and the notification of the running hook's error
// handler when an error unwinds through it.
//
// Invariant: `current` names the record whose hook is running (null
// outside hooks) and is restored when the hook returns or unwinds, so a
// raise outside every hook notifies nobody.
#include <cstring>

#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "plugins/context_private.h"
#include "plugins/plugin_private.h"

namespace {

bool holdsKey(const QmExtensionRecord* record, QmCommandFunction command) {
  for (int32_t i = 0; i < record->keyCount; i++)
    if (record->keys[i] == command) return true;
  return false;
}

// Restores the running record when the hook returns or a raise unwinds it.
struct CurrentGuard {
  QmExtensionRecord* saved;
  explicit CurrentGuard(QmExtensionRecord* record) : saved(pluginContext.current) {
    pluginContext.current = record;
  }
  ~CurrentGuard() { pluginContext.current = saved; }
};

}  // namespace

QmExtensionRecord* AddExtensionRecord(QmCommandHook hook, void* userData) {
  auto* record = static_cast<QmExtensionRecord*>(AllocMemory(sizeof(QmExtensionRecord), 1));
  if (!record) return nullptr;
  record->hook = hook;
  record->userData = userData;
  QmExtensionRecord** link = &pluginContext.records;
  while (*link) link = &(*link)->next;
  *link = record;
  return record;
}

void RemoveExtensionRecord(QmExtensionRecord* record) {
  for (QmExtensionRecord** link = &pluginContext.records; *link; link = &(*link)->next) {
    if (*link != record) continue;
    *link = record->next;
    if (pluginContext.current == record) pluginContext.current = nullptr;
    FreeMemory(record->keys);
    FreeMemory(record);
    return;
  }
}

ErrorCode AddExtensionKey(QmExtensionRecord* record, QmCommandFunction command) {
  if (!record || !command) return ERR_WRONGUSAGE;
  if (holdsKey(record, command)) return ERR_NONE;
  auto* keys = static_cast<QmCommandFunction*>(
      AllocMemoryArray(static_cast<size_t>(record->keyCount) + 1, sizeof(QmCommandFunction), 0));
  if (!keys) return ERR_MEM;
  if (record->keyCount)
    std::memcpy(keys, record->keys, sizeof(QmCommandFunction) * record->keyCount);
  keys[record->keyCount] = command;
  FreeMemory(record->keys);
  record->keys = keys;
  record->keyCount++;
  return ERR_NONE;
}

bool CallPluginCommandHook(VmState* L, int (*command)(VmState*), int* result) {
  for (QmExtensionRecord* r = pluginContext.records; r; r = r->next) {
    if (r->disabled || !r->hook || !holdsKey(r, command)) continue;
    CurrentGuard guard(r);
    *result = r->hook(r, L, command, r->userData);
    return true;
  }
  return false;
}

void CallPluginErrorHandler(VmState* L, ErrorCode status) {
  QmExtensionRecord* record = pluginContext.current;
  if (!record || !record->errorHandler) return;
  record->errorHandler(record, L, status, record->userData);
}

void FreeExtensionRecords() {
  while (pluginContext.records) {
    QmExtensionRecord* next = pluginContext.records->next;
    FreeMemory(pluginContext.records->keys);
    FreeMemory(pluginContext.records);
    pluginContext.records = next;
  }
  pluginContext.current = nullptr;
}
