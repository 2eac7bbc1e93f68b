// Native services missing on this platform: each entry point answers with
// its fixed result, and the decoders that fail name the file.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "runtime/runtime.h"

namespace {

TEST(NativeStubs, EveryEntryPointGivesItsFixedResult) {
  int dummy = 0;
  void* h = &dummy;
  void* out = h;
  struct Case {
    const char* name;
    std::function<int64_t()> call;
    int64_t expected;
  };
  auto none = [](std::function<void()> f) {
    return [f] {
      f();
      return int64_t{0};
    };
  };
  const Case cases[] = {
      {"NativeUnlockBitmapHook", none([&] { NativeUnlockBitmapHook(h); }), 0},
      {"NativeBeginDoubleBufferHook", [&] { return int64_t{NativeBeginDoubleBufferHook(h)}; }, 0},
      {"NativeEndDoubleBufferHook", [&] { return int64_t{NativeEndDoubleBufferHook(h)}; }, 0},
      {"NativeFlipHook", [&] { return int64_t{NativeFlipHook(h)}; }, 0},
      {"GetNativeScreenDepth", [] { return int64_t{GetNativeScreenDepth()}; }, 32},
      {"AdapterSupportedBitmapFlags", [] { return int64_t{AdapterSupportedBitmapFlags(0xffff)}; },
       0},
      {"PlatformArgumentsHook", [&] { return int64_t{PlatformArgumentsHook(h)}; }, 0},
      {"NativeDisplayCleanupHook", none([] { NativeDisplayCleanupHook(); }), 0},
      {"ResetDisplayHook", none([&] { ResetDisplayHook(h); }), 0},
      {"NullAdapterHook", [] { return int64_t{NullAdapterHook()}; }, 0},
      {"ThreadLoopHook", none([&] { ThreadLoopHook(h); }), 0},
      {"MonitorDirectoryNative", [&] { return int64_t{MonitorDirectoryNative("/tmp", h)}; }, 0},
      {"StopDirectoryMonitorNative", none([&] { StopDirectoryMonitorNative(h); }), 0},
      {"NativeSoundSeekStub", none([&] { NativeSoundSeekStub(h, 5); }), 0},
      {"NativeSoundCloseStub", none([&] { NativeSoundCloseStub(h); }), 0},
      {"NativeSoundDecodeStub", [&] { return int64_t{NativeSoundDecodeStub(h, h, 64)}; }, 0},
      {"NativeSoundFormatNameStub",
       [&] { return int64_t{NativeSoundFormatNameStub(h) == nullptr}; }, 1},
      {"NativeLoadImageStub", [&] { return int64_t{NativeLoadImageStub("a.png", &out)}; },
       ERR_LOADPICTURE2},
      {"NativeImagePixelsStub", [&] { return int64_t{NativeImagePixelsStub(h) == nullptr}; }, 1},
      {"NativeImageReleaseStub", none([&] { NativeImageReleaseStub(h); }), 0},
      {"NativeAnimOpenStub", [] { return int64_t{NativeAnimOpenStub("a.anim") == nullptr}; }, 1},
      {"NativeAnimFrameStub", [&] { return int64_t{NativeAnimFrameStub(h, 1, h)}; }, 0},
      {"NativeAnimFrameDelayStub", [&] { return int64_t{NativeAnimFrameDelayStub(h, 1)}; }, 0},
      {"NativeAnimCloseStub", none([&] { NativeAnimCloseStub(h); }), 0},
      {"NativeSoundReaderOpenStub",
       [] { return int64_t{NativeSoundReaderOpenStub("a.snd") == nullptr}; }, 1},
      {"NativeSoundReaderQueryStub", [&] { return int64_t{NativeSoundReaderQueryStub(h, 1, h)}; },
       0},
      {"NativeSoundReaderReadStub", [&] { return int64_t{NativeSoundReaderReadStub(h, h, 9)}; }, 0},
      {"NativeSoundReaderSeekStub", [&] { return int64_t{NativeSoundReaderSeekStub(h, 9)}; }, 0},
      {"NativeSoundReaderCloseStub", none([&] { NativeSoundReaderCloseStub(h); }), 0},
      {"NativeVideoCloseStub", none([&] { NativeVideoCloseStub(h); }), 0},
      {"NativeVideoPositionStub", [&] { return NativeVideoPositionStub(h); }, 0},
      {"NativeVideoFormatStub", [&] { return int64_t{NativeVideoFormatStub(h, h)}; }, 0},
      {"NativeVideoFrameCountStub", [&] { return int64_t{NativeVideoFrameCountStub(h)}; }, 0},
      {"NativeVideoFetchFrameStub", [&] { return int64_t{NativeVideoFetchFrameStub(h, 1)}; }, 0},
      {"NativeVideoCopyFrameStub", [&] { return int64_t{NativeVideoCopyFrameStub(h, h, 4)}; }, 0},
      {"NativeVideoSeekStub", [&] { return int64_t{NativeVideoSeekStub(h, 4)}; }, 0},
      {"NativeVideoSuspendStub", none([&] { NativeVideoSuspendStub(h); }), 0},
      {"NativeVideoResumeStub", none([&] { NativeVideoResumeStub(h); }), 0},
      {"NativeVideoThreadHook", none([&] { NativeVideoThreadHook(h); }), 0},
      {"NativeVideoExportStub", [&] { return int64_t{NativeVideoExportStub(h, "x.avi")}; },
       ERR_WRONGUSAGE},
      {"NativeStartupHook", [&] { return int64_t{NativeStartupHook(h, h)}; }, 0},
      {"NativeCleanupHook", none([] { NativeCleanupHook(); }), 0},
      {"NativeDisplayAllowed", [] { return int64_t{NativeDisplayAllowed()}; }, 1},
      {"NetCleanupStub", [] { return int64_t{NetCleanupStub()}; }, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), c.expected) << c.name;
  }
  EXPECT_EQ(out, nullptr);  // the image decoder hands out nothing
}

TEST(NativeStubs, FailingDecodersNameTheFile) {
  struct Case {
    const char* file;
    ErrorCode (*open)(const char*, void**);
    ErrorCode expected;
  };
  const Case cases[] = {
      {"music/theme.ogx", NativeOpenSoundStub, ERR_OPENSOUND2},
      {"films/intro.vid", NativeOpenVideoStub, ERR_LOADVIDEO},
  };
  for (const Case& c : cases) {
    SetErrorArgString("stale");
    int dummy = 0;
    void* handle = &dummy;
    EXPECT_EQ(c.open(c.file, &handle), c.expected) << c.file;
    EXPECT_EQ(handle, nullptr) << c.file;
    EXPECT_STREQ(GetErrorArgString(), c.file);
  }
}

}  // namespace
