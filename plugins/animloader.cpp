// Anim loader plug-ins: the walk of the anim loader list that offers a file
// to the plug-ins a loader string admits, and the calls into the one that
// took it. A plug-in whose calls go through the call bridge is never asked:
// the bridge answers 0 on this platform, which OpenAnim's null would mean.
//
// Invariant: every call after OpenAnim goes to the plug-in that returned the
// handle, and a plug-in without one of the five entry points is skipped.
#include "platform/linux/platform.h"
#include "plugins/plugin_private.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

// The same admission rule as the image loaders use.
bool skipAnimLoader(const PluginBase* base, const char* loaders) {
  if (base->disabled || IsBridgedPlugin(base)) return true;
  if ((base->imageLoaderFlags & 1) && !base->overrideWord) return true;
  if (!IsLoaderAllowed(loaders, base->moduleName, 1)) return true;
  if (base->mustBeNamed && !IsLoaderNamed(loaders, base->moduleName)) return true;
  return false;
}

bool hasAnimEntries(PluginBase* base) {
  return PluginEntryOf(base, PE_OpenAnim) && PluginEntryOf(base, PE_LoadFrame) &&
         PluginEntryOf(base, PE_FreeFrame) && PluginEntryOf(base, PE_GetFrameDelay) &&
         PluginEntryOf(base, PE_CloseAnim);
}

}  // namespace

ErrorCode OpenAnimPlugin(const char* name, const char* loaders, QmAnimOpenRecord* record,
                         PluginBase** base, void** handle) {
  *base = nullptr;
  *handle = nullptr;
  ErrorCode error = CollectLoaderPlugins(loaders, PLUGINCAPS_ANIM);
  if (error) return error;
  const char* adapter = record->adapter;
  const uint32_t flags = record->flags;
  for (LoaderNode* n = GetPluginListForType(PLUGINCAPS_ANIM); n; n = n->next) {
    PluginBase* candidate = n->base;
    if (skipAnimLoader(candidate, loaders) || !hasAnimEntries(candidate)) continue;
    *record = QmAnimOpenRecord{};
    record->adapter = adapter;
    record->flags = flags;
    auto open = reinterpret_cast<QmOpenAnimFunc>(PluginEntryOf(candidate, PE_OpenAnim));
    void* opened = open(name, record);
    if (!opened) continue;
    *base = candidate;
    *handle = opened;
    return ERR_NONE;
  }
  return ERR_NONE;
}

uint32_t* LoadAnimPluginFrame(PluginBase* base, void* handle, int32_t index,
                              QmAnimFrameRecord* record) {
  auto load = reinterpret_cast<QmLoadFrameFunc>(PluginEntryOf(base, PE_LoadFrame));
  return load(handle, index, record, 0);
}

void FreeAnimPluginFrame(PluginBase* base, uint32_t* frame) {
  if (!frame) return;
  reinterpret_cast<QmFreeFrameFunc>(PluginEntryOf(base, PE_FreeFrame))(frame);
}

int32_t GetAnimPluginFrameDelay(PluginBase* base, void* handle, int32_t index) {
  return reinterpret_cast<QmGetFrameDelayFunc>(PluginEntryOf(base, PE_GetFrameDelay))(handle,
                                                                                      index);
}

void CloseAnimPlugin(PluginBase* base, void* handle) {
  reinterpret_cast<QmCloseAnimFunc>(PluginEntryOf(base, PE_CloseAnim))(handle);
}
