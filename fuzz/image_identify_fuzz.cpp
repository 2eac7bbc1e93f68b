// libFuzzer target over identification: any input is identified or refused
// with ERR_LOADPICTURE2, and an orientation found is always 1 to 8.
#include <cstdlib>

#include "fuzz/image_fuzz.h"
#include "media/image_private.h"
#include "runtime/stream_private.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileName name;
  StreamHandle* s = imagefuzz::OpenInput(&name, data, size);
  if (!s) return 0;
  int32_t format, width, height, alpha, transparent, orientation = 0;
  ErrorCode e = IdentifyImageFile(s, &format, &width, &height, &alpha, &transparent, &orientation);
  if (e != 0 && e != ERR_LOADPICTURE2) std::abort();
  if (orientation < 0 || orientation > 8) std::abort();
  imagefuzz::CloseInput(&name, s);
  return 0;
}
