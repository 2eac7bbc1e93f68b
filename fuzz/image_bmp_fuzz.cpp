// libFuzzer target over the BMP reader: any input decodes or fails with one
// of the reader's codes; a decoded picture is wholly addressable.
#include <cstdlib>

#include "fuzz/image_fuzz.h"
#include "media/image_private.h"
#include "runtime/stream_private.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileName name;
  StreamHandle* s = imagefuzz::OpenInput(&name, data, size);
  if (!s) return 0;
  int32_t w = 0, h = 0;
  uint32_t* pixels = nullptr;
  ErrorCode e = ReadBmpImage(s, 0, &w, &h, &pixels);
  if (e != 0 && e != ERR_LOADPICTURE2 && e != ERR_READ) std::abort();
  if (e == 0) {
    volatile uint32_t last = pixels[static_cast<size_t>(w) * static_cast<size_t>(h) - 1];
    (void)last;
    FreeMemory(pixels);
  }
  imagefuzz::CloseInput(&name, s);
  return 0;
}
