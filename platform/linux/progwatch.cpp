// The watcher thread of a program started in the background: it starts the
// program, reports its set-up to the starter, and watches for the program's
// end until its owner stops it. Invariant: the request's mutex and condition
// exist exactly while the watcher runs; it creates them and frees them on
// every way out, and the finished-run notice is given at most once.
#include <atomic>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "platform/linux/files_private.h"
#include "platform/linux/thread_private.h"
#include "platform/linux/eventhooks_private.h"

namespace {

constexpr useconds_t WATCH_PERIOD_US = 10000;  // one look at the child per 10 ms
constexpr int32_t EVENT_PROGRAM_FINISHED = 10;

void postFinished(ProgramRequest* request) {
  PostThreadEvent(EVENT_PROGRAM_FINISHED, 0, 0, 0, reinterpret_cast<uintptr_t>(request), 1);
}

// A test seam read by the watcher threads; no run state.
std::atomic<ProgramFinishedHandler> finishedHandler{postFinished};

void* programWatcherMain(void* argument) {
  ThreadRecord* thread = ThreadRecordFromArg(argument);
  auto* request = static_cast<ProgramRequest*>(GetThreadArgument(thread));
  int32_t code = 1;
  request->mutex = AllocMutex();
  request->condition = AllocCondition();
  int32_t child = 0;
  if (request->mutex && request->condition &&
      RunProgram(request->path, request->arguments, 1, 0, &child) == ERR_NONE) {
    SignalThreadStarted(thread);
    bool ended = false;
    while (!ThreadStopRequested(thread)) {
      if (!ended) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
          ended = true;
          // A program killed by a signal gives no notice.
          if (WIFEXITED(status)) finishedHandler.load()(request);
        }
      }
      usleep(WATCH_PERIOD_US);
    }
    WaitThreadRelease(thread);
    code = 0;
  }
  FreeCondition(request->condition);
  request->condition = nullptr;
  FreeMutex(request->mutex);
  request->mutex = nullptr;
  SetThreadExitCode(thread, code);
  return nullptr;
}

}  // namespace

void SetProgramFinishedHandler(ProgramFinishedHandler handler) {
  finishedHandler.store(handler ? handler : postFinished);
}

ErrorCode StartProgramWatcher(ProgramRequest* request) {
  request->thread = StartNamedThread("Quillmere external program thread", programWatcherMain,
                                     request, 0, 16384, 0);
  return request->thread ? ERR_NONE : ERR_THREAD;
}
