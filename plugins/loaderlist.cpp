// The per-capability loader lists that loaders and adapters are tried from,
// and the loader strings with which scripts choose and order them.
//
// Invariant: each list is singly linked in registration order and holds
// loaded plug-ins only (ClosePluginLibrary unlinks a plug-in from every
// list before it goes); a failed append leaves the list unchanged.
#include <cstring>

#include "platform/linux/platform.h"
#include "plugins/plugin_private.h"
#include "runtime/runtime.h"
#include "plugins/context_private.h"

namespace {

constexpr uint32_t LIST_CAPABILITIES[7] = {
    PLUGINCAPS_IMAGE,       PLUGINCAPS_ANIM,       PLUGINCAPS_SOUND,         PLUGINCAPS_VIDEO,
    PLUGINCAPS_FILEADAPTER, PLUGINCAPS_DIRADAPTER, PLUGINCAPS_NETWORKADAPTER};

// Applets declaring a version below this may not extend the loader lists.
constexpr int32_t MIN_LIST_APPLET_VERSION = 6;
int32_t appletRevision = 0;

// Longest item of a loader string that names a plug-in.
constexpr size_t LOADER_ITEM_MAX = 255;

int listIndex(uint32_t capability) {
  for (int i = 0; i < 7; i++)
    if (LIST_CAPABILITIES[i] == capability) return i;
  return -1;
}

bool isClassName(const char* name) {
  return CompareNoCase(name, "inbuilt") == 0 || CompareNoCase(name, "native") == 0 ||
         CompareNoCase(name, "plugin") == 0;
}

// Calls visit(item, length) for each '|'-separated item until it returns true.
template <typename F>
bool anyItem(const char* loaders, F visit) {
  const char* p = loaders;
  for (;;) {
    const char* end = std::strchr(p, '|');
    size_t length = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (visit(p, length)) return true;
    if (!end) return false;
    p = end + 1;
  }
}

bool itemEquals(const char* item, size_t length, const char* name) {
  return std::strlen(name) == length && CompareNoCaseN(item, name, length) == 0;
}

}  // namespace

void SetAppletVersion(int32_t version, int32_t revision) {
  pluginContext.appletVersion = version;
  appletRevision = revision;
}

int32_t GetAppletVersion() { return pluginContext.appletVersion; }

ErrorCode AddToLoaderList(PluginBase* base, uint32_t capability) {
  int i = listIndex(capability);
  if (i < 0) return ERR_WRONGUSAGE;
  if (pluginContext.appletVersion < MIN_LIST_APPLET_VERSION) return ERR_OLDAPPLET;
  auto* node = static_cast<LoaderNode*>(AllocMemory(sizeof(LoaderNode), 1));
  if (!node) return ERR_MEM;
  node->base = base;
  LoaderNode** link = &pluginContext.lists[i];
  while (*link) link = &(*link)->next;
  *link = node;
  return ERR_NONE;
}

void RemoveFromLoaderList(PluginBase* base, uint32_t capability) {
  int i = listIndex(capability);
  if (i < 0) return;
  for (LoaderNode** link = &pluginContext.lists[i]; *link;) {
    if ((*link)->base == base) {
      LoaderNode* gone = *link;
      *link = gone->next;
      FreeMemory(gone);
    } else {
      link = &(*link)->next;
    }
  }
}

LoaderNode* GetPluginListForType(uint32_t capability) {
  int i = listIndex(capability);
  return i < 0 ? nullptr : pluginContext.lists[i];
}

void SetPluginListHead(void** record, uint32_t capability, void* value) {
  int i = listIndex(capability);
  if (record && i >= 0) record[i] = value;
}

void EmptyLoaderLists() {
  for (LoaderNode*& head : pluginContext.lists) {
    while (head) {
      LoaderNode* next = head->next;
      FreeMemory(head);
      head = next;
    }
  }
}

bool IsDefaultLoaderString(const char* loaders) {
  return !loaders || !loaders[0] || CompareNoCase(loaders, "default") == 0 ||
         CompareNoCase(loaders, "inbuilt") == 0 || CompareNoCase(loaders, "native") == 0;
}

bool IsLoaderAllowed(const char* loaders, const char* name, int classFlag) {
  if (!loaders || !loaders[0] || CompareNoCase(loaders, "default") == 0) return true;
  if (!name) return false;
  if (isClassName(name))
    return anyItem(loaders,
                   [&](const char* item, size_t length) { return itemEquals(item, length, name); });
  return anyItem(loaders, [&](const char* item, size_t length) {
    // An empty item ("a||b") names nothing.
    if (length == 0) return false;
    if (classFlag && itemEquals(item, length, "plugin")) return true;
    return std::strlen(name) >= length && CompareNoCaseN(item, name, length) == 0;
  });
}

bool IsLoaderNamed(const char* loaders, const char* name) {
  if (!loaders || !loaders[0] || CompareNoCase(loaders, "default") == 0) return false;
  return IsLoaderAllowed(loaders, name, 0);
}

ErrorCode CollectLoaderPlugins(const char* loaders, uint32_t capability) {
  if (!loaders || !loaders[0] || CompareNoCase(loaders, "default") == 0) return ERR_NONE;
  int i = listIndex(capability);
  if (i < 0) return ERR_NONE;
  ErrorCode error = ERR_NONE;
  anyItem(loaders, [&](const char* item, size_t length) {
    if (length == 0 || length > LOADER_ITEM_MAX) return false;
    char name[LOADER_ITEM_MAX + 1];
    std::memcpy(name, item, length);
    name[length] = '\0';
    if (isClassName(name)) return false;
    for (const PluginEntry* e = GetPluginList(); e; e = e->next) {
      PluginBase* base = GetPluginBase(e->handle);
      if (!base || base->disabled || !(base->capabilities & capability)) continue;
      if (CompareNoCase(e->moduleName, name) != 0) continue;
      bool listed = false;
      for (LoaderNode* n = pluginContext.lists[i]; n; n = n->next)
        if (n->base == base) listed = true;
      if (!listed) {
        error = AddToLoaderList(base, capability);
        if (error) return true;
        base->mustBeNamed = 1;
      }
      break;
    }
    return false;
  });
  return error;
}

ErrorCode CollectNetworkAdapters(const char* adapters) {
  return CollectLoaderPlugins(adapters, PLUGINCAPS_NETWORKADAPTER);
}

PluginBase* NextNetworkAdapter(PluginBase* after, const char* adapters) {
  LoaderNode* n = GetPluginListForType(PLUGINCAPS_NETWORKADAPTER);
  if (after) {
    while (n && n->base != after) n = n->next;
    if (n) n = n->next;
  }
  // Extension word of the capability bit 0x40000.
  constexpr int NETWORK_EXTENSION_WORD = 18;
  for (; n; n = n->next) {
    PluginBase* base = n->base;
    if (!base || base->disabled) continue;
    if (!IsLoaderAllowed(adapters, base->moduleName, 1)) continue;
    if (base->mustBeNamed && !IsLoaderNamed(adapters, base->moduleName)) continue;
    if ((base->extensions[NETWORK_EXTENSION_WORD] & QM_NETEXT_ENABLEDONLY) && !base->overrideWord)
      continue;
    return base;
  }
  return nullptr;
}

bool AdapterStringAdmitsInbuilt(const char* adapters) {
  return IsLoaderAllowed(adapters, "inbuilt", 0);
}
