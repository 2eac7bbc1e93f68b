// libFuzzer target over the ILBM reader: the input's length chooses the
// loader options (pen colour, the two mask modes, a base palette); any input
// decodes or fails with one of the reader's codes.
#include <cstdlib>

#include "fuzz/image_fuzz.h"
#include "media/image_private.h"
#include "runtime/stream_private.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileName name;
  StreamHandle* s = imagefuzz::OpenInput(&name, data, size);
  if (!s) return 0;
  int32_t base[256];
  for (int i = 0; i < 256; i++) base[i] = i < 4 ? i * 0x111111 : -1;
  int32_t w = 0, h = 0, transparent = 0;
  uint32_t* pixels = nullptr;
  uint32_t* palette = nullptr;
  ErrorCode e =
      ReadIlbmImage(s, 0, (size & 8) ? base : nullptr, (size & 1) ? 0xFF0000 : -1, (size >> 1) & 1,
                    (size >> 2) & 1, &transparent, &w, &h, &pixels, &palette);
  if (e != 0 && e != ERR_LOADPICTURE2) std::abort();
  if (e == 0) {
    volatile uint32_t last = pixels[static_cast<size_t>(w) * static_cast<size_t>(h) - 1];
    (void)last;
    FreeMemory(pixels);
    FreeMemory(palette);
  }
  imagefuzz::CloseInput(&name, s);
  return 0;
}
