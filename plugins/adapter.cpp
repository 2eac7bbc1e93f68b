// Installation of the display adapter: the plug-in that takes over every
// window, blit, monitor list, frame wait and event wait of the display
// library. The record keeps the installation's flags and tag values and the
// hooks the loader resolved, so callers reach them without the loader's
// entry table.
//
// Invariant: at most one adapter is installed; once one that cannot be
// replaced is in, or once the first display window opened, the installed
// adapter stays until the plug-ins are freed.
#include <cstring>

#include "platform/linux/platform.h"
#include "plugins/context_private.h"
#include "plugins/plugin_private.h"
#include "plugins/plugins.h"

namespace {

constexpr uint32_t DEFAULT_WAKE_INTERVAL = 10;
constexpr uint32_t DEFAULT_PIXEL_FORMAT = 10;  // 32-bit 0x00RRGGBB
constexpr int32_t ADAPTER_MIN_APPLET_VERSION = 6;

template <typename F>
F hook(PluginBase* base, PluginEntryIndex index) {
  if (IsBridgedPlugin(base)) return nullptr;
  return reinterpret_cast<F>(PluginEntryOf(base, index));
}

}  // namespace

const DisplayAdapter* GetDisplayAdapter() {
  return pluginContext.displayAdapter.base ? &pluginContext.displayAdapter : nullptr;
}

int32_t RunMainLoopThroughAdapter(VmState* L, QmMainChunkFunc chunk, void* data) {
  const DisplayAdapter* adapter = GetDisplayAdapter();
  if (adapter && adapter->adapterMainLoop) return adapter->adapterMainLoop(L, chunk, data, 0, 0);
  return chunk(L, data);
}

void CloseAdapterInstallation() { pluginContext.installationClosed = 1; }

AdapterInstallationWindow::AdapterInstallationWindow() { pluginContext.installationOpen++; }
AdapterInstallationWindow::~AdapterInstallationWindow() { pluginContext.installationOpen--; }

ErrorCode InstallDisplayAdapter(PluginBase* base, uint32_t flags, const QmTagItem* tags) {
  if (!base) return ERR_WRONGUSAGE;
  if (pluginContext.appletVersion < ADAPTER_MIN_APPLET_VERSION) return ERR_OLDAPPLET;
  if (!(base->capabilities & PLUGINCAPS_DISPLAYADAPTER)) return ERR_WRONGUSAGE;
  if (!pluginContext.installationOpen || pluginContext.installationClosed) return ERR_SETADAPTER;
  const DisplayAdapter* current = GetDisplayAdapter();
  if (current && (current->flags & QM_ADAPTER_LOCKED)) return ERR_SETADAPTER;

  DisplayAdapter a = {};
  a.base = base;
  a.flags = flags;
  a.wakeInterval = DEFAULT_WAKE_INTERVAL;
  a.pixelFormat = DEFAULT_PIXEL_FORMAT;
  for (const QmTagItem* t = tags; t && t->tag; t++) {
    switch (t->tag) {
      case QM_ADAPTERTAG_WAKEINTERVAL:
        a.wakeInterval = t->data;
        break;
      case QM_ADAPTERTAG_DRAWCAPS:
        a.drawCapabilities = t->data;
        break;
      case QM_ADAPTERTAG_STORED:
        a.stored = t->data;
        break;
      case QM_ADAPTERTAG_PIXELFORMAT:
        a.pixelFormat = static_cast<uint32_t>(t->data);
        break;
      default:
        break;
    }
  }
  pluginContext.displayAdapter = a;
  pluginContext.activeAdapter = base;
  BindDisplayAdapterHooks(base);
  return ERR_NONE;
}

// InitPlugin installs before the loader has resolved the entry points, so
// the loader binds them again once it has.
void BindDisplayAdapterHooks(PluginBase* base) {
  DisplayAdapter& a = pluginContext.displayAdapter;
  if (!base || a.base != base) return;
  a.handleEvents = hook<QmHandleEventsFunc>(base, PE_HandleEvents);
  a.waitEvents = hook<QmWaitEventsFunc>(base, PE_WaitEvents);
  a.forceEventLoopIteration = hook<QmForceEventLoopIterationFunc>(base, PE_ForceEventLoopIteration);
  a.sleep = hook<QmSleepFunc>(base, PE_Sleep);
  a.vwait = hook<QmVWaitFunc>(base, PE_VWait);
  a.determineBorderSizes = hook<QmDetermineBorderSizesFunc>(base, PE_DetermineBorderSizes);
  a.openDisplay = hook<QmOpenDisplayFunc>(base, PE_OpenDisplay);
  a.closeDisplay = hook<QmCloseDisplayFunc>(base, PE_CloseDisplay);
  a.showHideDisplay = hook<QmShowHideDisplayFunc>(base, PE_ShowHideDisplay);
  a.sizeMoveDisplay = hook<QmSizeMoveDisplayFunc>(base, PE_SizeMoveDisplay);
  a.setDisplayTitle = hook<QmSetDisplayTitleFunc>(base, PE_SetDisplayTitle);
  a.activateDisplay = hook<QmActivateDisplayFunc>(base, PE_ActivateDisplay);
  a.createPointer = hook<QmCreatePointerFunc>(base, PE_CreatePointer);
  a.freePointer = hook<QmFreePointerFunc>(base, PE_FreePointer);
  a.setPointer = hook<QmSetPointerFunc>(base, PE_SetPointer);
  a.showHidePointer = hook<QmShowHidePointerFunc>(base, PE_ShowHidePointer);
  a.movePointer = hook<QmMovePointerFunc>(base, PE_MovePointer);
  a.getMousePos = hook<QmGetMousePosFunc>(base, PE_GetMousePos);
  a.getQualifiers = hook<QmGetQualifiersFunc>(base, PE_GetQualifiers);
  a.bltBitMap = hook<QmBltBitMapFunc>(base, PE_BltBitMap);
  a.rectFill = hook<QmRectFillFunc>(base, PE_RectFill);
  a.writePixel = hook<QmWritePixelFunc>(base, PE_WritePixel);
  a.line = hook<QmLineFunc>(base, PE_Line);
  a.getMonitorInfo = hook<QmGetMonitorInfoFunc>(base, PE_GetMonitorInfo);
  a.freeMonitorInfo = hook<QmFreeMonitorInfoFunc>(base, PE_FreeMonitorInfo);
  a.grabScreenPixels = hook<QmGrabScreenPixelsFunc>(base, PE_GrabScreenPixels);
  a.freeGrabScreenPixels = hook<QmFreeGrabScreenPixelsFunc>(base, PE_FreeGrabScreenPixels);
  a.cls = hook<QmClsFunc>(base, PE_Cls);
  a.adapterMainLoop = hook<QmAdapterMainLoopFunc>(base, PE_AdapterMainLoop);
  a.allocVideoBitMap = hook<QmAllocVideoBitMapFunc>(base, PE_AllocVideoBitMap);
  a.freeVideoBitMap = hook<QmFreeVideoBitMapFunc>(base, PE_FreeVideoBitMap);
  a.readVideoPixels = hook<QmReadVideoPixelsFunc>(base, PE_ReadVideoPixels);
  a.freeVideoPixels = hook<QmFreeVideoPixelsFunc>(base, PE_FreeVideoPixels);
  a.doVideoBitMapMethod = hook<QmDoVideoBitMapMethodFunc>(base, PE_DoVideoBitMapMethod);
  a.allocBitMap = hook<QmAllocBitMapFunc>(base, PE_AllocBitMap);
  a.freeBitMap = hook<QmFreeBitMapFunc>(base, PE_FreeBitMap);
  a.lockBitMap = hook<QmLockBitMapFunc>(base, PE_LockBitMap);
  a.unLockBitMap = hook<QmUnLockBitMapFunc>(base, PE_UnLockBitMap);
  a.getBitMapAttr = hook<QmGetBitMapAttrFunc>(base, PE_GetBitMapAttr);
  a.beginDoubleBuffer = hook<QmBeginDoubleBufferFunc>(base, PE_BeginDoubleBuffer);
  a.endDoubleBuffer = hook<QmEndDoubleBufferFunc>(base, PE_EndDoubleBuffer);
  a.flip = hook<QmFlipFunc>(base, PE_Flip);
}

void ForgetDisplayAdapter(PluginBase* base) {
  if (!base) return;
  if (pluginContext.displayAdapter.base == base) SetActiveDisplayAdapter(nullptr);
  if (pluginContext.requesterAdapter.base == base) pluginContext.requesterAdapter = {};
  if (pluginContext.timerAdapter == base) {
    pluginContext.timerAdapter = nullptr;
    SetTimerAdapterHooks(nullptr, nullptr);
  }
}

namespace {

ErrorCode checkInstallation(PluginBase* base, uint32_t capability) {
  if (!base) return ERR_WRONGUSAGE;
  if (pluginContext.appletVersion < ADAPTER_MIN_APPLET_VERSION) return ERR_OLDAPPLET;
  if (!(base->capabilities & capability)) return ERR_WRONGUSAGE;
  if (!pluginContext.installationOpen) return ERR_SETADAPTER;
  return ERR_NONE;
}

uintptr_t registerTimer(int32_t milliseconds, int32_t periodic, void* host) {
  auto f = hook<QmRegisterTimerFunc>(pluginContext.timerAdapter, PE_RegisterTimer);
  return f ? f(milliseconds, periodic, host) : 0;
}

void freeTimer(uintptr_t timer) {
  auto f = hook<QmFreeTimerFunc>(pluginContext.timerAdapter, PE_FreeTimer);
  if (f) f(timer);
}

// Entry names of the requester hooks, in the loader's order.
struct HookName {
  const char* name;
  PluginEntryIndex index;
};
constexpr HookName REQUESTER_HOOKS[] = {
    {"SystemRequest", PE_SystemRequest}, {"FileRequest", PE_FileRequest},
    {"PathRequest", PE_PathRequest},     {"StringRequest", PE_StringRequest},
    {"ListRequest", PE_ListRequest},     {"FontRequest", PE_FontRequest},
    {"ColorRequest", PE_ColorRequest},   {"FreeRequest", PE_FreeRequest},
};

}  // namespace

const RequesterAdapter* GetRequesterAdapter() {
  return pluginContext.requesterAdapter.base ? &pluginContext.requesterAdapter : nullptr;
}

void* RequesterAdapterHook(const char* name) {
  PluginBase* base = pluginContext.requesterAdapter.base;
  if (!base || IsBridgedPlugin(base)) return nullptr;
  for (const HookName& h : REQUESTER_HOOKS)
    if (std::strcmp(h.name, name) == 0) return PluginEntryOf(base, h.index);
  return nullptr;
}

ErrorCode InstallRequesterAdapter(PluginBase* base, uint32_t flags) {
  ErrorCode error = checkInstallation(base, PLUGINCAPS_REQUESTERADAPTER);
  if (error != ERR_NONE) return error;
  const RequesterAdapter* current = GetRequesterAdapter();
  if (current && (current->flags & QM_REQADAPTER_LOCKED)) return ERR_SETADAPTER;
  pluginContext.requesterAdapter = RequesterAdapter{base, flags};
  return ERR_NONE;
}

ErrorCode InstallTimerAdapter(PluginBase* base, uint32_t) {
  ErrorCode error = checkInstallation(base, PLUGINCAPS_TIMERADAPTER);
  if (error != ERR_NONE) return error;
  pluginContext.timerAdapter = base;
  SetTimerAdapterHooks(registerTimer, freeTimer);
  return ERR_NONE;
}
