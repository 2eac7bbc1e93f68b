// Worker threads, POSIX timers and their signal thread, the program
// watcher and the pipe reader. Used inside platform/linux and by tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "platform/linux/platform.h"

// ---- Threads and timers ----
// Worker threads with a start hand-shake, a polled stop request and a join
// with release; POSIX timers whose signals are taken by one signal thread
// (SIGRTMIN and SIGRTMIN + 1 stay blocked everywhere else) and reach the
// main thread through the wake pipe; the shared 20 ms poll timer and the
// pipe reader that serves a display-adapter plug-in's event loop.

// Test seam: the creation call that CreateThread uses; null restores
// pthread_create.
using ThreadCreateFunc = int (*)(pthread_t* thread, const pthread_attr_t* attributes,
                                 ThreadEntry entry, void* argument);
void SetThreadCreateFunction(ThreadCreateFunc create);

TimerRecord* FindTimerRecord(int32_t oneShot, uintptr_t key1, uintptr_t key2, TimerRecord** next);
void MarkTimerFired(TimerRecord* record);  // ignored when no longer listed
// A timer message read from the wake pipe: marks its record fired.
struct WakeMessage;
void HandleTimerMessage(const WakeMessage* message);
void FreeAllTimers();
// FreeAllTimers, then the signal thread ends and the lock is freed.
void ShutdownTimers();
// 1 when a timer signalling SIGRTMIN with record as its value runs.
int CreatePosixTimer(int periodic, int32_t milliseconds, void* record, timer_t* id);

// The number of the termination signal that asked the run to end (0 while
// none did); unlike TakeTerminationSignal it forgets nothing.
int PendingTerminationSignal();

// Starts the watcher thread of a program run in the background (what
// StartProgramThread does): it runs the program and, once it ended normally,
// calls the finished handler; 0, or ERR_THREAD when the thread or the
// program could not be started. The owner ends it with StopAndJoinThread.
struct ProgramRequest;
ErrorCode StartProgramWatcher(ProgramRequest* request);

// The pipe reader runs only while a display-adapter plug-in drives the
// event loop: 0 or ERR_THREAD.
ErrorCode StartPipeReader();
void StopPipeReader();
