// Hooks that plug-ins install: one append-only list of HookRecords walked in
// registration order. Invariant: no record is freed while a walk is running;
// a record removed during a walk is marked, skipped, and freed when the
// outermost walk has ended, so a hook may remove itself or any other hook.
#include "platform/linux/platform.h"
#include "runtime/registries.h"
#include "runtime/runtime.h"
#include "runtime/context_private.h"
#include "runtime/runtime_private.h"

namespace {

bool isListed(const HookRecord* hook) {
  for (HookRecord* r = runtimeContext.hooks; r; r = r->next) {
    if (r == hook) return !r->removePending;
  }
  return false;
}

void unlinkAndFree(HookRecord* hook) {
  HookRecord** link = &runtimeContext.hooks;
  while (*link && *link != hook) link = &(*link)->next;
  if (*link) *link = hook->next;
  FreeMemory(hook);
}

void sweepRemoved() {
  HookRecord** link = &runtimeContext.hooks;
  while (*link) {
    HookRecord* r = *link;
    if (r->removePending) {
      *link = r->next;
      FreeMemory(r);
    } else {
      link = &r->next;
    }
  }
  runtimeContext.hookSweepPending = false;
}

// Keeps removals deferred while any walk runs, also when a hook raises.
struct WalkGuard {
  WalkGuard() { ++runtimeContext.hookWalkDepth; }
  ~WalkGuard() {
    if (--runtimeContext.hookWalkDepth == 0 && runtimeContext.hookSweepPending) sweepRemoved();
  }
};

bool callable(const HookRecord* r, int32_t kind) {
  return r->kind == kind && !r->disabled && !r->removePending;
}

}  // namespace

HookRecord* AddHook(int32_t kind, HookFunc callback, void* userData, int32_t bridge) {
  if (kind < HOOK_LOOP || kind > HOOK_DISPLAYHANDLER) return nullptr;
  auto* hook = static_cast<HookRecord*>(AllocMemory(sizeof(HookRecord), 1));
  if (!hook) return nullptr;
  hook->kind = kind;
  hook->bridge = bridge;
  hook->userData = userData;
  switch (kind) {
    case HOOK_LOOP:
      hook->loop = reinterpret_cast<HookLoopFunc>(callback);
      break;
    case HOOK_POLL:
      hook->poll = reinterpret_cast<HookPollFunc>(callback);
      break;
    case HOOK_NOTIFY:
      hook->notify = reinterpret_cast<HookNotifyFunc>(callback);
      break;
    case HOOK_SCRIPTRELEASED:
      hook->scriptReleased = reinterpret_cast<HookNotifyFunc>(callback);
      break;
    default:
      hook->display = reinterpret_cast<HookDisplayFunc>(callback);
      break;
  }
  HookRecord** link = &runtimeContext.hooks;
  while (*link) link = &(*link)->next;
  *link = hook;
  return hook;
}

void SetHookDisabled(HookRecord* hook, int32_t flag) {
  if (isListed(hook)) hook->disabled = flag;
}

void RemoveHook(HookRecord* hook) {
  if (!isListed(hook)) return;
  if (runtimeContext.hookWalkDepth > 0) {
    hook->removePending = 1;
    runtimeContext.hookSweepPending = true;
  } else {
    unlinkAndFree(hook);
  }
}

int CallHooksOfKind(VmState* L, int32_t kind, uintptr_t a, uintptr_t b) {
  WalkGuard guard;
  for (HookRecord* r = runtimeContext.hooks; r; r = r->next) {
    if (!callable(r, kind)) continue;
    switch (kind) {
      case HOOK_LOOP:
        // The bridge always yields 0, which would mean "again" for ever: a
        // bridged loop hook ends the run at once instead.
        if (r->bridge) {
          NullAdapterHook();
          return 0;
        }
        for (;;) {
          int result = r->loop ? r->loop(r->userData) : -1;
          if (result == -1) return 0;
          if (result != 0) return result;
          if (!callable(r, kind)) return 0;  // it disabled or removed itself
        }
      case HOOK_POLL: {
        int result = r->bridge ? static_cast<int>(NullAdapterHook())
                               : (r->poll ? r->poll(L, r->userData) : 0);
        if (result != 0) return result;
        break;
      }
      case HOOK_NOTIFY:
      case HOOK_SCRIPTRELEASED: {
        HookNotifyFunc fn = kind == HOOK_NOTIFY ? r->notify : r->scriptReleased;
        if (r->bridge) {
          NullAdapterHook();
        } else if (fn) {
          fn(b, r->userData);
        }
        break;
      }
      case HOOK_DISPLAYHANDLER:
        if (r->bridge) {
          NullAdapterHook();
        } else if (r->display) {
          r->display(a, b, r->userData, 0);
        }
        break;
      default:
        return 0;
    }
  }
  return 0;
}

const HookRecord* GetHookList() { return runtimeContext.hooks; }

void FreeHookRecords() {
  if (runtimeContext.hookWalkDepth > 0) {
    // Shut-down started from inside a hook: the walk still holds records,
    // so they are only marked and go when it ends.
    for (HookRecord* r = runtimeContext.hooks; r; r = r->next) r->removePending = 1;
    runtimeContext.hookSweepPending = runtimeContext.hooks != nullptr;
    return;
  }
  for (HookRecord* r = runtimeContext.hooks; r;) {
    HookRecord* next = r->next;
    FreeMemory(r);
    r = next;
  }
  runtimeContext.hooks = nullptr;
  runtimeContext.hookSweepPending = false;
}
