// The platform layer's own services and test hooks beside platform.h: the
// allocation fault hook, monotonic seconds, in-place mutexes, condition
// objects, the native-service stubs that only platform/linux calls, and
// the entry point's system glue. Used inside platform/linux and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/platform.h"

// ---- Memory, time, mutexes and condition objects --------------------------------

// Test hook for fault injection: the nth allocation counted from this call
// fails (n >= 1); with persistent set, every allocation after it fails too.
// n = 0 switches the hook off. Zero-size requests are not counted.
void SetAllocFailure(uint64_t n, bool persistent);
// Allocations the hook has failed since it was last set.
uint64_t GetAllocFailureCount();
// Test hook: while on, the largest size asked of AllocMemory is kept
// (turning it on or off starts again from 0).
void TrackLargestAllocation(bool on);
size_t GetLargestAllocation();
int InitRecursiveMutex(PlatformMutex* storage);  // 0 or the POSIX error
void DestroyMutex(PlatformMutex* mutex);         // for in-place mutexes
int TryLockMutex(PlatformMutex* mutex);          // 1 when taken without waiting

// Condition with a latched flag: a signal before the wait is not lost, and
// one signal releases one wait. Used with a mutex that the caller holds.
struct ConditionObject;
ConditionObject* AllocCondition();                               // null when memory is exhausted
int WaitCondition(ConditionObject* cond, PlatformMutex* mutex);  // 0, or -1
void SignalCondition(ConditionObject* cond);
void FreeCondition(ConditionObject* cond);  // null is ignored

// ---- Native-service stubs and platform hooks ----
// Services that other platforms provide natively (OS decoders, directory
// notification, driver and start-up hooks). The portable code calls them
// unconditionally; here they do nothing and return fixed results, which the
// callers take as a missing service and fall back to their own code.

// Built-in display driver.
void NativeUnlockBitmapHook(void* bitmap);
int NativeBeginDoubleBufferHook(void* display);  // 0
int NativeEndDoubleBufferHook(void* display);    // 0
int NativeFlipHook(void* display);               // 0
int GetNativeScreenDepth();                      // bits per pixel, 32 when unconfigured
void ResetDisplayHook(void* display);
int NativeDisplayAllowed();  // 1: displays may open
void ThreadLoopHook(void* thread);
int MonitorDirectoryNative(const char* path, void* request);  // 0: not supported
void StopDirectoryMonitorNative(void* request);

// OS sound decoder: opening sets the file name as the error argument and
// fails with ERR_OPENSOUND2.
ErrorCode NativeOpenSoundStub(const char* name, void** outSound);
void NativeSoundSeekStub(void* sound, int64_t frame);
void NativeSoundCloseStub(void* sound);
int32_t NativeSoundDecodeStub(void* sound, void* buffer, int32_t frames);  // 0 frames
const char* NativeSoundFormatNameStub(void* sound);                        // null

// Sound-file reader entry points of an OS decoder: recognise nothing.
void* NativeSoundReaderOpenStub(const char* name);                         // null
int NativeSoundReaderQueryStub(void* reader, int32_t what, void* out);     // 0
int32_t NativeSoundReaderReadStub(void* reader, void* buffer, int32_t n);  // 0
int NativeSoundReaderSeekStub(void* reader, int64_t frame);                // 0
void NativeSoundReaderCloseStub(void* reader);

// OS video decoder: opening sets the file name as the error argument and
// fails with ERR_LOADVIDEO; nothing is ever open, so the rest answer 0.
ErrorCode NativeOpenVideoStub(const char* name, void** outVideo);
void NativeVideoCloseStub(void* video);
int64_t NativeVideoPositionStub(void* video);                               // 0
int NativeVideoFormatStub(void* video, void* outFormat);                    // 0
int32_t NativeVideoFrameCountStub(void* video);                             // 0
int NativeVideoFetchFrameStub(void* video, int32_t frame);                  // 0
int NativeVideoCopyFrameStub(void* video, void* pixels, int32_t rowBytes);  // 0
int NativeVideoSeekStub(void* video, int64_t position);                     // 0
void NativeVideoSuspendStub(void* video);
void NativeVideoResumeStub(void* video);
void NativeVideoThreadHook(void* video);
ErrorCode NativeVideoExportStub(void* video, const char* name);  // ERR_WRONGUSAGE

// ---- Entry point and system glue ----
// The process entry (root/main.cpp) and the small platform services that the
// portable runtime calls directly: the run function that the portable main
// hands the script to, the running script's state, the quit switches of the
// event library, special directories, the desktop opener, the bell and the
// free-memory reading, and entry points that do nothing on this platform.

// The VM state of the running script, null while none runs.
VmState* GetRunningVmState();
void GetNominalDpi(int32_t* horizontal, int32_t* vertical);  // 72, 72
int ScreenModeAvailable();                                   // 1
int NativeFirstDisplayHook();                                // 0
void PlatformNoOp();
int PlatformNoOpZero();  // 0
