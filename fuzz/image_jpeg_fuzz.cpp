// libFuzzer target over the JPEG reader: the first byte chooses the Exif
// orientation (any value, out-of-range ones included), the rest is decoded
// from memory; a decoded picture is wholly addressable.
#include <cstdlib>

#include "fuzz/image_fuzz.h"
#include "media/image_private.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static bool limited = (SetImagePixelLimit(imagefuzz::FUZZ_PIXEL_LIMIT), true);
  (void)limited;
  int32_t orientation = static_cast<int8_t>(data[0]) % 12;
  int32_t w = 0, h = 0;
  uint32_t* pixels = nullptr;
  ErrorCode e = DecodeJpegImage(nullptr, data + 1, size - 1, 0, orientation, &w, &h, &pixels);
  if (e != 0 && e != ERR_LOADPICTURE2) std::abort();
  if (e == 0) {
    volatile uint32_t last = pixels[static_cast<size_t>(w) * static_cast<size_t>(h) - 1];
    (void)last;
    FreeMemory(pixels);
  }
  return 0;
}
