// Global attributes: the words behind the built-in tags and the setter and
// getter handler chains that take every other tag. Invariant: the chains
// are append-only, so handlers are offered a tag in registration order.
//
// The words of tags 10 and 11 are the script engine's error policy; they
// live here behind GetCallbackDepth and GetErrorRaising until the engine
// keeps them itself.
#include "runtime/registries.h"
#include "runtime/runtime.h"

namespace {

struct AttrHandlerNode {
  AttrHandlerNode* next;
  SetAttrHandler setter;
  GetAttrHandler getter;
};

AttrHandlerNode* setters = nullptr;
AttrHandlerNode* getters = nullptr;

int quietFlag = 0;
int deferBitmaps = 0;
int scriptRunning = 0;
int callbackDepth = 0;
int errorRaising = 1;

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
  return appendHandler(&setters, handler, nullptr);
}

ErrorCode AddGetAttrHandler(GetAttrHandler handler) {
  return appendHandler(&getters, nullptr, handler);
}

int SetGlobalAttrs(VmState* L, const TagItem* tags) {
  int handled = 0;
  for (const TagItem* item = tags; item && item->tag != ATTR_DONE; ++item) {
    switch (item->tag) {
      case ATTR_QUIET:
        quietFlag = asFlag(item->data);
        ++handled;
        continue;
      case ATTR_DEFERBITMAPS:
        deferBitmaps = asFlag(item->data);
        ++handled;
        continue;
      case ATTR_CALLBACKDEPTH:
        // A lowering without a matching raise would leave the counter
        // negative, which reads as "inside a callback" for ever; stop at 0.
        if (item->data != 0) {
          ++callbackDepth;
        } else if (callbackDepth > 0) {
          --callbackDepth;
        }
        ++handled;
        continue;
      case ATTR_RAISEERRORS:
        errorRaising = asFlag(item->data);
        ++handled;
        continue;
      case ATTR_SCRIPTRUNNING:
        scriptRunning = asFlag(item->data);
        ++handled;
        continue;
      default:
        break;
    }
    for (AttrHandlerNode* node = setters; node; node = node->next) {
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
        word = quietFlag;
        break;
      case ATTR_DEFERBITMAPS:
        word = deferBitmaps;
        break;
      case ATTR_CALLBACKDEPTH:
        word = callbackDepth;
        break;
      case ATTR_RAISEERRORS:
        word = errorRaising;
        break;
      default:
        for (AttrHandlerNode* node = getters; node; node = node->next) {
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

int IsQuietMode() { return quietFlag; }
int GetDeferBitmapsFlag() { return deferBitmaps; }
int GetScriptRunningFlag() { return scriptRunning; }
int GetCallbackDepth() { return callbackDepth; }
int GetErrorRaising() { return errorRaising; }

void FreeAttrHandlers() {
  freeChain(&setters);
  freeChain(&getters);
}
