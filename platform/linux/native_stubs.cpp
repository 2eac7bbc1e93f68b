// Native services that this platform does not have: each entry point does
// nothing and returns the fixed result that its callers read as "no such
// service here", so they fall back to their own decoders and code paths.
#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"

void NativeUnlockBitmapHook(void*) {}
int NativeBeginDoubleBufferHook(void*) { return 0; }
int NativeEndDoubleBufferHook(void*) { return 0; }
int NativeFlipHook(void*) { return 0; }

void NativeDisplayCleanupHook() {}
void ResetDisplayHook(void*) {}
int NativeDisplayAllowed() { return 1; }

intptr_t NullAdapterHook() { return 0; }

ErrorCode PlatformArgumentsHook(void*) { return ERR_NONE; }
ErrorCode NativeStartupHook(void*, void*) { return ERR_NONE; }
void NativeCleanupHook() {}
void ThreadLoopHook(void*) {}
int MonitorDirectoryNative(const char*, void*) { return 0; }
void StopDirectoryMonitorNative(void*) {}
int NetCleanupStub() { return 1; }

ErrorCode NativeOpenSoundStub(const char* name, void** outSound) {
  if (outSound) *outSound = nullptr;
  SetPlatformErrorArgString(name);
  return ERR_OPENSOUND2;
}
void NativeSoundSeekStub(void*, int64_t) {}
void NativeSoundCloseStub(void*) {}
int32_t NativeSoundDecodeStub(void*, void*, int32_t) { return 0; }
const char* NativeSoundFormatNameStub(void*) { return nullptr; }

ErrorCode NativeLoadImageStub(const char*, void** outImage) {
  if (outImage) *outImage = nullptr;
  return ERR_LOADPICTURE2;
}
void* NativeImagePixelsStub(void*) { return nullptr; }
void NativeImageReleaseStub(void*) {}

void* NativeAnimOpenStub(const char*) { return nullptr; }
int NativeAnimFrameStub(void*, int32_t, void*) { return 0; }
int32_t NativeAnimFrameDelayStub(void*, int32_t) { return 0; }
void NativeAnimCloseStub(void*) {}

void* NativeSoundReaderOpenStub(const char*) { return nullptr; }
int NativeSoundReaderQueryStub(void*, int32_t, void*) { return 0; }
int32_t NativeSoundReaderReadStub(void*, void*, int32_t) { return 0; }
int NativeSoundReaderSeekStub(void*, int64_t) { return 0; }
void NativeSoundReaderCloseStub(void*) {}

ErrorCode NativeOpenVideoStub(const char* name, void** outVideo) {
  if (outVideo) *outVideo = nullptr;
  SetPlatformErrorArgString(name);
  return ERR_LOADVIDEO;
}
void NativeVideoCloseStub(void*) {}
int64_t NativeVideoPositionStub(void*) { return 0; }
int NativeVideoFormatStub(void*, void*) { return 0; }
int32_t NativeVideoFrameCountStub(void*) { return 0; }
int NativeVideoFetchFrameStub(void*, int32_t) { return 0; }
int NativeVideoCopyFrameStub(void*, void*, int32_t) { return 0; }
int NativeVideoSeekStub(void*, int64_t) { return 0; }
void NativeVideoSuspendStub(void*) {}
void NativeVideoResumeStub(void*) {}
void NativeVideoThreadHook(void*) {}
ErrorCode NativeVideoExportStub(void*, const char*) { return ERR_WRONGUSAGE; }

ErrorCode NativeCreatePort(const char*) { return ERR_CREATEPORT; }

ErrorCode NativeSendMessage(char* message) {
  FreeMemory(message);
  return ERR_FINDPORT;
}
