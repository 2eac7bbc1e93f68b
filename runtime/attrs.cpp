// Global attributes: the words behind the built-in tags and the setter and
// getter handler chains that take every other tag. Invariant: the chains
// are append-only, so handlers are offered a tag in registration order.
//
// The words of tags 10 and 11 are the script engine's error policy, which
// the engine keeps (GetCallbackDepth, GetErrorRaising); this file reads and
// sets them for the tags.
#include "engine/engine.h"
#include "runtime/registries.h"
#include "runtime/runtime.h"
#include "runtime/context_private.h"
#include "runtime/runtime_private.h"

struct AttrHandlerNode {
  AttrHandlerNode* next;
  SetAttrHandler setter;
  GetAttrHandler getter;
};

namespace {

ErrorCode appendHandler(AttrHandlerNode** head, SetAttrHandler setter, GetAttrHandler getter) {
  auto* node = static_cast<AttrHandlerNode*>(AllocMemory(sizeof(AttrHandlerNode), 1));
  if (!node) return ERR_MEM;
  node->setter = setter;
  node->getter = getter;
  AttrHandlerNode** link = head;
  while (*link) link = &(*link)->next;
  *link = node;
  return ERR_NONE;
}

void freeChain(AttrHandlerNode** head) {
  for (AttrHandlerNode* node = *head; node;) {
    AttrHandlerNode* next = node->next;
    FreeMemory(node);
    node = next;
  }
  *head = nullptr;
}

int asFlag(uintptr_t value) { return value != 0 ? 1 : 0; }

}  // namespace

ErrorCode AddSetAttrHandler(SetAttrHandler handler) {
  return appendHandler(&runtimeContext.attrSetters, handler, nullptr);
}

ErrorCode AddGetAttrHandler(GetAttrHandler handler) {
  return appendHandler(&runtimeContext.attrGetters, nullptr, handler);
}

int SetGlobalAttrs(VmState* L, const TagItem* tags) {
  int handled = 0;
  for (const TagItem* item = tags; item && item->tag != ATTR_DONE; ++item) {
    switch (item->tag) {
      case ATTR_QUIET:
        runtimeContext.quietFlag = asFlag(item->data);
        ++handled;
        continue;
      case ATTR_DEFERBITMAPS:
        runtimeContext.deferBitmaps = asFlag(item->data);
        ++handled;
        continue;
      case ATTR_CALLBACKDEPTH:
        StepCallbackDepth(asFlag(item->data));
        ++handled;
        continue;
      case ATTR_RAISEERRORS:
        SetErrorRaising(asFlag(item->data));
        ++handled;
        continue;
      case ATTR_SCRIPTRUNNING:
        runtimeContext.scriptRunning = asFlag(item->data);
        ++handled;
        continue;
      default:
        break;
    }
    for (AttrHandlerNode* node = runtimeContext.attrSetters; node; node = node->next) {
      if (node->setter(L, item->tag, item->data) != 0) {
        ++handled;
        break;
      }
    }
  }
  return handled;
}

int GetGlobalAttrs(VmState* L, const TagItem* tags) {
  int handled = 0;
  for (const TagItem* item = tags; item && item->tag != ATTR_DONE; ++item) {
    auto* result = reinterpret_cast<uintptr_t*>(item->data);
    int word;
    switch (item->tag) {
      case ATTR_QUIET:
        word = runtimeContext.quietFlag;
        break;
      case ATTR_DEFERBITMAPS:
        word = runtimeContext.deferBitmaps;
        break;
      case ATTR_CALLBACKDEPTH:
        word = GetCallbackDepth();
        break;
      case ATTR_RAISEERRORS:
        word = GetErrorRaising();
        break;
      default:
        for (AttrHandlerNode* node = runtimeContext.attrGetters; node; node = node->next) {
          if (node->getter(L, item->tag, result) != 0) {
            ++handled;
            break;
          }
        }
        continue;
    }
    if (result) {
      *result = static_cast<uintptr_t>(word);
      ++handled;
    }
  }
  return handled;
}

int IsQuietMode() { return runtimeContext.quietFlag; }
int GetDeferBitmapsFlag() { return runtimeContext.deferBitmaps; }
int GetScriptRunningFlag() { return runtimeContext.scriptRunning; }

int32_t GetLegacySwitch(LegacySwitch which) { return runtimeContext.legacySwitches[which]; }
void SetLegacySwitch(LegacySwitch which, int32_t value) {
  runtimeContext.legacySwitches[which] = value;
}

void FreeAttrHandlers() {
  freeChain(&runtimeContext.attrSetters);
  freeChain(&runtimeContext.attrGetters);
}
