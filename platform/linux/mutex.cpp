// Recursive mutexes and condition objects with a latched flag.
// Invariant: every PlatformMutex is recursive; a ConditionObject's flag is 1
// exactly when a signal has not yet been consumed by a wait.
#include <new>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "platform/linux/files_private.h"

struct ConditionObject {
  int flag;  // set by a signal, cleared by the wait it releases
  pthread_cond_t cond;
};

int InitRecursiveMutex(PlatformMutex* storage) {
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (rc == 0) rc = pthread_mutex_init(&storage->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

void DestroyMutex(PlatformMutex* mutex) { pthread_mutex_destroy(&mutex->mutex); }

PlatformMutex* AllocMutex() {
  auto* m = static_cast<PlatformMutex*>(AllocMemory(sizeof(PlatformMutex), 1));
  if (!m) return nullptr;
  if (InitRecursiveMutex(m) != 0) {
    FreeMemory(m);
    return nullptr;
  }
  return m;
}

void FreeMutex(PlatformMutex* mutex) {
  if (!mutex) return;
  DestroyMutex(mutex);
  FreeMemory(mutex);
}

int LockMutex(PlatformMutex* mutex) { return pthread_mutex_lock(&mutex->mutex); }

int UnlockMutex(PlatformMutex* mutex) { return pthread_mutex_unlock(&mutex->mutex); }

int TryLockMutex(PlatformMutex* mutex) { return pthread_mutex_trylock(&mutex->mutex) == 0 ? 1 : 0; }

ConditionObject* AllocCondition() {
  auto* c = static_cast<ConditionObject*>(AllocMemory(sizeof(ConditionObject), 1));
  if (!c) return nullptr;
  if (pthread_cond_init(&c->cond, nullptr) != 0) {
    FreeMemory(c);
    return nullptr;
  }
  c->flag = 0;
  return c;
}

int WaitCondition(ConditionObject* cond, PlatformMutex* mutex) {
  // The loop absorbs spurious wake-ups: only a signal sets the flag.
  while (cond->flag == 0) {
    if (pthread_cond_wait(&cond->cond, &mutex->mutex) != 0) return -1;
  }
  cond->flag = 0;
  return 0;
}

void SignalCondition(ConditionObject* cond) {
  cond->flag = 1;
  pthread_cond_signal(&cond->cond);
}

void FreeCondition(ConditionObject* cond) {
  if (!cond) return;
  pthread_cond_destroy(&cond->cond);
  FreeMemory(cond);
}
