// libFuzzer target over the PNG reader: any input decodes or fails with
// ERR_LOADPICTURE2 (ERR_MEM never happens at these sizes), and a decoded
// picture has the size the information request reported.
#include <cstdlib>

#include "fuzz/image_fuzz.h"
#include "media/image_private.h"
#include "runtime/stream_private.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileName name;
  StreamHandle* s = imagefuzz::OpenInput(&name, data, size);
  if (!s) return 0;
  int32_t w = 0, h = 0, iw = 0, ih = 0, alpha = 0;
  uint32_t* pixels = nullptr;
  ErrorCode info = ReadPng(s, 1, &iw, &ih, nullptr, &alpha);
  SeekFileStream(s, 0, 1);
  ErrorCode e = ReadPng(s, 0, &w, &h, &pixels, &alpha);
  if (e != 0 && e != ERR_LOADPICTURE2) std::abort();
  if (e == 0) {
    if (info != 0 || w != iw || h != ih) std::abort();
    volatile uint32_t last = pixels[static_cast<size_t>(w) * static_cast<size_t>(h) - 1];
    (void)last;
    FreeMemory(pixels);
  }
  imagefuzz::CloseInput(&name, s);
  return 0;
}
