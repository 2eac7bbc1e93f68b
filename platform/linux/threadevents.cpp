// The cross-thread event list: audio, video, program-watch and directory
// threads append notices that only the main thread's event dispatch takes
// out, oldest first. Invariants: the list is touched only under its lock;
// while it is closed (before the sound library opens it and after it is
// freed) a notice is dropped, as one whose node cannot be allocated is, so
// nothing is queued that no one will take.
#include <pthread.h>

#include "platform/linux/eventhooks_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11calls_private.h"

namespace {

struct ThreadEventNode {
  ThreadEventNode* next;
  ThreadEventRecord event;
};

// Process-wide, not per run: producer threads may outlive a run's context,
// so the list and its lock are static and the sound library opens and
// frees the list around each run.
pthread_mutex_t listLock = PTHREAD_MUTEX_INITIALIZER;
ThreadEventNode* head = nullptr;
ThreadEventNode* tail = nullptr;
bool open = false;

void freeNodes() {
  while (head) {
    ThreadEventNode* next = head->next;
    FreeMemory(head);
    head = next;
  }
  tail = nullptr;
}

}  // namespace

void OpenThreadEventList() {
  pthread_mutex_lock(&listLock);
  open = true;
  pthread_mutex_unlock(&listLock);
}

void CloseThreadEventList() {
  pthread_mutex_lock(&listLock);
  open = false;
  freeNodes();
  pthread_mutex_unlock(&listLock);
}

void PostThreadEvent(int32_t kind, uintptr_t argument1, uintptr_t argument2, uintptr_t value1,
                     uintptr_t value2, int32_t wake) {
  pthread_mutex_lock(&listLock);
  if (open) {
    auto* node = static_cast<ThreadEventNode*>(AllocMemory(sizeof(ThreadEventNode), 1));
    if (node) {
      node->event = {kind, argument1, argument2, value1, value2};
      if (tail)
        tail->next = node;
      else
        head = node;
      tail = node;
    }
  }
  pthread_mutex_unlock(&listLock);
  if (wake) WakeEventLoop();
}

int PopThreadEvent(ThreadEventRecord* out) {
  pthread_mutex_lock(&listLock);
  ThreadEventNode* node = head;
  if (node) {
    head = node->next;
    if (!head) tail = nullptr;
  }
  pthread_mutex_unlock(&listLock);
  if (!node) return 0;
  *out = node->event;
  FreeMemory(node);
  return 1;
}
