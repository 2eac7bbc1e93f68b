// libFuzzer target over the GIF reader: an input that opens is read frame by
// frame forwards, then backwards (restarts at key frames), then restarted;
// every frame read is a whole canvas.
#include <cstdlib>

#include "fuzz/image_fuzz.h"
#include "media/image_private.h"
#include "runtime/stream_private.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileName name;
  StreamHandle* s = imagefuzz::OpenInput(&name, data, size);
  if (!s) return 0;
  int32_t w = 0, h = 0, count = 0;
  GifReader* r = OpenGifReader(s, &w, &h, &count, 0, size & 1, (size >> 1) & 1);
  if (r) {
    const size_t canvas = static_cast<size_t>(w) * static_cast<size_t>(h);
    auto read = [&](int32_t i) {
      int32_t transparency = 0;
      uint32_t* p = ReadGifFrame(r, i, &transparency);
      if (p) {
        volatile uint32_t last = p[canvas - 1];
        (void)last;
      }
      FreeMemory(p);
    };
    for (int32_t i = 0; i < count && i < 64; i++) read(i);
    for (int32_t i = count - 1; i >= 0 && i >= count - 8; i--) read(i);
    read(-1);
    read(count);
    GetGifFrameDelay(r, count - 1);
    CloseGifReader(r);
  }
  ReleaseMemoryFileName(&name);
  return 0;
}
